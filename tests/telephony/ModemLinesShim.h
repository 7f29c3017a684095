// Modem lines for a pseudo-terminal, which has none: the test program defines ioctl itself
// (and exports it, see tests/CMakeLists.txt), so that the modem-line requests on the one
// device a test attaches read and change lines the test controls - DCD dropping as a carrier
// does, DTR dropped by the code under test. Every other request, and every other device, goes
// to the real ioctl. Include it in one source of a test program only.
#pragma once

#include <atomic>
#include <cstdarg>
#include <dlfcn.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>

namespace ModemLinesShim {

inline std::atomic<dev_t> Device{0}; // the device with lines; 0: none
inline std::atomic<int> Lines{0};    // its TIOCM_* bits
inline std::atomic<int> DtrDrops{0}; // how often DTR was cleared

// From now on the device at Path has modem lines, set as Initial.
inline bool Attach(const std::string& Path, int Initial) {
  struct stat Node {};
  if (stat(Path.c_str(), &Node) != 0 || !S_ISCHR(Node.st_mode))
    return false;
  Lines = Initial;
  DtrDrops = 0;
  Device = Node.st_rdev;
  return true;
}
inline void Detach() {
  Device = 0;
}
inline void SetLine(int Bit, bool On) {
  if (On)
    Lines |= Bit;
  else
    Lines &= ~Bit;
}

// True when the request was one of the modem-line requests on the attached device.
inline bool Handle(int Fd, unsigned long Request, void* Argument, int& Result) {
  const dev_t Attached = Device;
  if (Attached == 0 || Argument == nullptr ||
      (Request != TIOCMGET && Request != TIOCMSET && Request != TIOCMBIS && Request != TIOCMBIC))
    return false;
  struct stat File {};
  if (fstat(Fd, &File) != 0 || !S_ISCHR(File.st_mode) || File.st_rdev != Attached)
    return false;
  int& Bits = *static_cast<int*>(Argument);
  if (Request == TIOCMGET) {
    Bits = Lines;
  } else {
    const int Before = Lines;
    const int After = Request == TIOCMSET   ? Bits
                      : Request == TIOCMBIS ? Before | Bits
                                            : Before & ~Bits;
    Lines = After;
    if ((Before & TIOCM_DTR) && !(After & TIOCM_DTR))
      ++DtrDrops;
  }
  Result = 0;
  return true;
}

} // namespace ModemLinesShim

extern "C" int ioctl(int Fd, unsigned long Request, ...) noexcept {
  va_list Arguments;
  va_start(Arguments, Request);
  void* Argument = va_arg(Arguments, void*);
  va_end(Arguments);
  int Result = -1;
  if (ModemLinesShim::Handle(Fd, Request, Argument, Result))
    return Result;
  using TIoctl = int (*)(int, unsigned long, ...);
  static const TIoctl Real = reinterpret_cast<TIoctl>(dlsym(RTLD_NEXT, "ioctl"));
  return Real(Fd, Request, Argument);
}
