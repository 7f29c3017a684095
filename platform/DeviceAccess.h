// DeviceAccess: why the user may not open a serial device, in words that say how to fix it.
//
// A modem's device belongs to a group (normally "dialout") whose members may read and write
// it. A user outside that group only hears "access denied" from open(); the fix is joining the
// group and logging in again, since a login's groups are fixed when it starts.
// - DeviceAccessAdvice decides from the facts alone (no I/O): a refusal (EACCES, EPERM) of a
//   device whose group, other than root's, is not among the process's groups gets the advice;
//   anything else (another error, a group the process is in, a root-only device) gets "".
// - DeviceAccessProblem gathers the facts for a path: whether the calling process may read and
//   write it, the device's group and name, the process's effective and supplementary groups.
//   It opens nothing, so a modem is never disturbed by the check. Any thread may call both.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace Platform {

struct TDeviceAccessFacts {
  std::string Path;
  int Error = 0;             // errno of the refused read and write access; 0 when allowed
  gid_t Group = 0;           // the device's group
  std::string GroupName;     // its name; "" when the system does not know it
  std::vector<gid_t> Groups; // the process's effective and supplementary groups
};

std::string DeviceAccessAdvice(const TDeviceAccessFacts& Facts);
std::string DeviceAccessProblem(const std::string& Path);

} // namespace Platform
