// Helpers for the settings store tests: a private temporary folder, whole-file access,
// running a step in a child process, and ways to make a folder unwritable that hold even
// for root (a read-only bind mount in a private mount namespace, or the immutable flag).
#pragma once

#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <linux/fs.h>
#include <optional>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace SettingsTest {

using TestSupport::TTempFolder;

// A child's answer when the environment does not allow the step at all.
inline constexpr uint32_t NotPossible = 0xFFFFFFFFu;

inline bool SetImmutable(const std::string& path, bool on) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  int flags = 0;
  bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (ok) {
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  ::close(fd);
  return ok;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

inline bool Exists(const std::string& path) {
  return ::access(path.c_str(), F_OK) == 0;
}

inline std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  return names;
}

// Runs `step` in a forked child and returns what it returned; nullopt when the child died.
template <class TStep> std::optional<uint32_t> RunInChild(TStep step) {
  int fds[2];
  if (::pipe(fds) != 0)
    return std::nullopt;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    uint32_t result = step();
    ssize_t written = ::write(fds[1], &result, sizeof result);
    ::_exit(written == sizeof result ? 0 : 1);
  }
  ::close(fds[1]);
  uint32_t result = 0;
  ssize_t got = pid > 0 ? ::read(fds[0], &result, sizeof result) : -1;
  ::close(fds[0]);
  int status = 0;
  if (pid > 0)
    ::waitpid(pid, &status, 0);
  if (got != sizeof result || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return std::nullopt;
  return result;
}

// For a child process only: puts it in a mount namespace of its own where `folder` is a
// read-only bind of itself.  Nothing outside the child sees the change.
inline bool MakeFolderReadOnlyHere(const std::string& folder) {
  return ::unshare(CLONE_NEWNS) == 0 &&
         ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         ::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
         ::mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
}

// Waits for forked children and tells whether all of them ended with status 0.
inline bool AllChildrenSucceeded(const std::vector<pid_t>& children) {
  bool ok = true;
  for (pid_t pid : children) {
    int status = 0;
    ok = ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0 && ok;
  }
  return ok;
}

} // namespace SettingsTest
