// Who holds a device: /proc, the lock file, and the notes of this process.
#include "platform/DeviceHolder.h"

#include "platform/SerialDevice.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace Platform {

namespace {

// What a descriptor was for, and the file it showed when that was noted.
struct TNote {
  std::string Purpose;
  dev_t Device = 0;
  ino_t Inode = 0;
};

std::mutex NotesLock;
std::map<int, TNote>& Notes() {
  static std::map<int, TNote> notes;
  return notes;
}

// The name of a process as the system shows it ("" when it is gone or not ours to read).
std::string ProcessName(long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(in, name);
  return name;
}

std::string ProcessText(long pid) {
  const std::string name = ProcessName(pid);
  return "process " + std::to_string(pid) + (name.empty() ? "" : " (" + name + ")");
}

// The purpose noted for one of our descriptors, when the note is still about the same file.
std::string PurposeOf(int fd) {
  struct stat now {};
  if (fstat(fd, &now) != 0)
    return {};
  std::lock_guard lock(NotesLock);
  const auto found = Notes().find(fd);
  if (found == Notes().end() || found->second.Device != now.st_dev ||
      found->second.Inode != now.st_ino)
    return {};
  return found->second.Purpose;
}

// The descriptors of process pid that are the character device rdev; empty when none or when
// they are not ours to read.
std::vector<int> DescriptorsOf(const std::string& pid, dev_t rdev) {
  std::vector<int> found;
  const std::string folder = "/proc/" + pid + "/fd";
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
  if (!dir)
    return found;
  while (const dirent* entry = readdir(dir.get())) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0')
      continue;
    struct stat target {};
    if (stat((folder + "/" + entry->d_name).c_str(), &target) == 0 && S_ISCHR(target.st_mode) &&
        target.st_rdev == rdev)
      found.push_back(static_cast<int>(fd));
  }
  return found;
}

// This process and what its descriptors of the device are for.
std::string OwnHolderText(const std::vector<int>& fds) {
  std::string text;
  for (int fd : fds) {
    const std::string purpose = PurposeOf(fd);
    text += (text.empty() ? "" : ", ") + (purpose.empty() ? std::string() : purpose + ", ") +
            "descriptor " + std::to_string(fd);
  }
  return "this process (" + text + ")";
}

// "A", "A and B", "A, B and C".
std::string JoinAnd(const std::vector<std::string>& items) {
  std::string text;
  for (size_t i = 0; i < items.size(); ++i)
    text += (i == 0 ? "" : i + 1 == items.size() ? " and " : ", ") + items[i];
  return text;
}

} // namespace

void NoteDescriptorPurpose(int Fd, const std::string& Purpose) {
  struct stat file {};
  if (Fd < 0 || fstat(Fd, &file) != 0)
    return;
  std::lock_guard lock(NotesLock);
  Notes()[Fd] = TNote{Purpose, file.st_dev, file.st_ino};
}

void ForgetDescriptorPurpose(int Fd) {
  std::lock_guard lock(NotesLock);
  Notes().erase(Fd);
}

std::string DescribeDeviceHolders(const std::string& Path) {
  struct stat device {};
  if (Path.empty() || stat(Path.c_str(), &device) != 0 || !S_ISCHR(device.st_mode))
    return {};
  const long self = static_cast<long>(getpid());
  std::vector<std::string> holders;
  std::set<long> seen;
  std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), closedir);
  while (proc) {
    const dirent* entry = readdir(proc.get());
    if (!entry)
      break;
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || pid <= 0)
      continue;
    const std::vector<int> fds = DescriptorsOf(entry->d_name, device.st_rdev);
    if (fds.empty())
      continue;
    seen.insert(pid);
    holders.push_back(pid == self ? OwnHolderText(fds) : ProcessText(pid));
  }
  std::string text = holders.empty() ? std::string() : "held by " + JoinAnd(holders);
  const long locker = TSerialDevice::LockOwner(Path);
  if (locker > 0 && !seen.count(locker) &&
      (kill(static_cast<pid_t>(locker), 0) == 0 || errno == EPERM))
    text += (text.empty() ? "locked by " : "; locked by ") +
            (locker == self ? std::string("this process") : ProcessText(locker));
  return text;
}

} // namespace Platform
