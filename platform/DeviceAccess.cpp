// Advice for a serial device the user may not open.
#include "platform/DeviceAccess.h"

#include <algorithm>
#include <cerrno>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform {

namespace {

std::string GroupNameOf(gid_t Group) {
  std::vector<char> Buffer(4096);
  group Entry{};
  group* Found = nullptr;
  while (::getgrgid_r(Group, &Entry, Buffer.data(), Buffer.size(), &Found) == ERANGE &&
         Buffer.size() < size_t{1024} * 1024)
    Buffer.resize(Buffer.size() * 2);
  return Found != nullptr ? std::string(Found->gr_name) : std::string();
}

std::vector<gid_t> ProcessGroups() {
  std::vector<gid_t> Groups{::getegid()};
  const int Count = ::getgroups(0, nullptr);
  if (Count > 0) {
    std::vector<gid_t> Supplementary(static_cast<size_t>(Count));
    const int Got = ::getgroups(Count, Supplementary.data());
    if (Got > 0)
      Groups.insert(Groups.end(), Supplementary.begin(), Supplementary.begin() + Got);
  }
  return Groups;
}

} // namespace

std::string DeviceAccessAdvice(const TDeviceAccessFacts& Facts) {
  if (Facts.Error != EACCES && Facts.Error != EPERM)
    return {};
  // Joining root's group is no advice to give; a group we are in refuses for other reasons.
  if (Facts.Group == 0 ||
      std::find(Facts.Groups.begin(), Facts.Groups.end(), Facts.Group) != Facts.Groups.end())
    return {};
  const std::string Name = Facts.GroupName.empty() ? std::to_string(Facts.Group) : Facts.GroupName;
  return "You may not use the modem " + Facts.Path + ": it belongs to the group \"" + Name +
         "\" and you are not in that group. Add yourself with \"sudo usermod -aG " + Name +
         " $USER\", then log out and in again.";
}

std::string DeviceAccessProblem(const std::string& Path) {
  TDeviceAccessFacts Facts;
  Facts.Path = Path;
  if (Path.empty() || ::access(Path.c_str(), R_OK | W_OK) == 0)
    return {};
  Facts.Error = errno;
  struct stat Info {};
  if (::stat(Path.c_str(), &Info) != 0)
    return {};
  Facts.Group = Info.st_gid;
  Facts.GroupName = GroupNameOf(Info.st_gid);
  Facts.Groups = ProcessGroups();
  return DeviceAccessAdvice(Facts);
}

} // namespace Platform
