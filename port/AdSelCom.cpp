// AdSelCom: the port probe behind the port selection dialog.
#include "port/AdSelCom.h"

#include "port/AwWin32.h"

#include "platform/LastError.h"

#include <cstdio>

namespace {

// Opens and closes the device exactly as a port would, without threads or buffers.
class TProbeDispatcher : public TApdWin32Dispatcher {
public:
  TProbeDispatcher() : TApdWin32Dispatcher(nullptr) {}
  using TApdWin32Dispatcher::DeviceClose;
  using TApdWin32Dispatcher::DeviceOpen;
};

std::string PortName(const char* Format, int Number) {
  char Name[32];
  std::snprintf(Name, sizeof Name, Format, Number);
  return Name;
}

} // namespace

bool IsPortAvailable(int Number) {
  if (Number <= 0) {
    return false;
  }
  std::string Name = PortName("\\\\.\\COM%d", Number);
  TProbeDispatcher Probe;
  if (Probe.DeviceOpen(Name.c_str(), 64, 64) >= 0) {
    Probe.DeviceClose();
    return true;
  }
  // Held by another program: still a port the user may choose.
  return Platform::GetLastError() == Platform::errAccessDenied;
}

std::vector<std::string> AvailablePorts() {
  std::vector<std::string> Ports;
  for (int Number = 1; Number <= MaxSelectablePort; ++Number) {
    if (IsPortAvailable(Number)) {
      Ports.push_back(PortName("COM%d", Number));
    }
  }
  return Ports;
}
