// TestSupport: what the tests of every layer share.
//
// - GenerousMs bounds a wait on another thread, process or server; it is never a speed check,
//   only the point at which a test that waits in vain gives up (long, for sanitised runs on a
//   loaded machine).
// - TTempFolder is a fresh folder of its own under the system's temporary folder, removed with
//   everything in it at the end, also what a test made read-only or immutable.
// - TLogCapture collects what the layers report through the program's log (platform/Log)
//   while it lives, and puts the sink that was there back at the end.
#pragma once

#include "platform/Log.h"

#include <gtest/gtest.h>

#include <linux/fs.h>

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

namespace TestSupport {

inline constexpr int GenerousMs = 60000;

class TTempFolder {
public:
  explicit TTempFolder(const std::string& Tag = "test") {
    std::string Pattern =
        (std::filesystem::temp_directory_path() / ("ringlet-" + Tag + "-XXXXXX")).string();
    if (::mkdtemp(Pattern.data()) == nullptr)
      ADD_FAILURE() << "mkdtemp failed, errno " << errno;
    else
      FPath = Pattern;
  }
  ~TTempFolder() {
    if (FPath.empty())
      return;
    std::error_code Ignored;
    Free(FPath);
    for (const auto& Entry : std::filesystem::recursive_directory_iterator(FPath, Ignored))
      Free(Entry.path());
    std::filesystem::remove_all(FPath, Ignored);
  }
  TTempFolder(const TTempFolder&) = delete;
  TTempFolder& operator=(const TTempFolder&) = delete;

  const std::string& Path() const { return FPath; }
  std::string operator/(const std::string& Name) const { return FPath + "/" + Name; }

private:
  // Makes a folder the owner may change again and drops an immutable flag, so that the
  // removal cannot fail on what a test left behind.
  static void Free(const std::filesystem::path& Item) {
    std::error_code Ignored;
    if (std::filesystem::is_directory(std::filesystem::symlink_status(Item, Ignored)))
      std::filesystem::permissions(Item, std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, Ignored);
    const int Fd = ::open(Item.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (Fd < 0)
      return;
    int Flags = 0;
    if (::ioctl(Fd, FS_IOC_GETFLAGS, &Flags) == 0 && (Flags & FS_IMMUTABLE_FL) != 0) {
      Flags &= ~FS_IMMUTABLE_FL;
      ::ioctl(Fd, FS_IOC_SETFLAGS, &Flags);
    }
    ::close(Fd);
  }

  std::string FPath;
};

class TLogCapture {
public:
  TLogCapture()
      : FPrevious(Platform::SetLogSink([this](const std::string& Text) {
          std::lock_guard<std::mutex> Guard(FLock);
          FText += Text + "\n";
        })) {}
  ~TLogCapture() { Platform::SetLogSink(FPrevious); }
  TLogCapture(const TLogCapture&) = delete;
  TLogCapture& operator=(const TLogCapture&) = delete;

  // Every message so far, one a line.
  std::string Text() {
    std::lock_guard<std::mutex> Guard(FLock);
    return FText;
  }

private:
  std::mutex FLock;
  std::string FText;
  Platform::TLogSink FPrevious;
};

} // namespace TestSupport
