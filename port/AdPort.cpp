// The serial port component, first cut: open state, the TAPI hand-over and the purges.
#include "port/AdPort.h"

#include "common/AdExcept.h"
#include "platform/LastError.h"

#include <cerrno>
#include <termios.h>
#include <unistd.h>

TApdCustomComPort::TApdCustomComPort(TComponent* AOwner) : TApdBaseComponent(AOwner) {}

TApdCustomComPort::~TApdCustomComPort() {
  // The descriptor taken over from the line device must not outlive the component.
  DoClose();
}

void TApdCustomComPort::SetComNumber(uint16_t Value) {
  if (Value == FComNumber)
    return;
  if (!FOpen) {
    FComNumber = Value;
    return;
  }
  SetOpen(false);
  FComNumber = Value;
  SetOpen(true);
}

void TApdCustomComPort::SetOpen(bool Value) {
  if ((ComponentState() & (csLoading | csDesigning)) != 0) {
    // Carried out once the form has finished loading.
    FOpenAfterLoad = Value;
    return;
  }
  if (Value == FOpen)
    return;
  if (Value)
    DoOpen();
  else
    DoClose();
}

void TApdCustomComPort::DoOpen() {
  if (FTapiMode == tmOn) {
    if (FTapiHandle < 0) {
      CheckException(this, ecNotOpenedByTapi);
      return;
    }
    FDeviceHandle = FTapiHandle;
    FOwnsDeviceHandle = true;
  } else if (FComNumber == 0) {
    CheckException(this, ecNoPortSelected);
    return;
  }
  FDispatcherDeviceName = "COM" + std::to_string(FComNumber);
  FOpen = true;
}

void TApdCustomComPort::DoClose() {
  if (!FOpen)
    return;
  if (FOwnsDeviceHandle && FDeviceHandle >= 0) {
    ::close(FDeviceHandle);
    if (FTapiHandle == FDeviceHandle)
      FTapiHandle = -1;
  }
  FDeviceHandle = -1;
  FOwnsDeviceHandle = false;
  FDispatcherDeviceName.clear();
  FOpen = false;
}

void TApdCustomComPort::SetDispatcherDeviceName(const std::string& Value) {
  if (FOpen)
    FDispatcherDeviceName = Value;
}

void TApdCustomComPort::Loaded() {
  TApdBaseComponent::Loaded();
  if (FOpenAfterLoad) {
    FOpenAfterLoad = false;
    SetOpen(true);
  }
}

void TApdCustomComPort::FlushInBuffer() {
  Flush(TCIFLUSH);
}

void TApdCustomComPort::FlushOutBuffer() {
  Flush(TCOFLUSH);
}

void TApdCustomComPort::Flush(int Queue) {
  if (!FOpen && FAutoOpen && (ComponentState() & (csLoading | csDesigning)) == 0)
    SetOpen(true);
  if (!FOpen) {
    CheckException(this, ecCommNotOpen);
    return;
  }
  if (FDeviceHandle < 0)
    return; // opened without a device: nothing is queued anywhere
  if (::tcflush(FDeviceHandle, Queue) != 0)
    CheckException(this, -static_cast<int32_t>(Platform::ErrorFromErrno(errno)));
}

TApdCustomComPort* FindComPort(TComponent* Owner) {
  if (Owner == nullptr)
    return nullptr;
  for (int I = 0; I < Owner->ComponentCount(); ++I) {
    TComponent* Component = Owner->Components(I);
    if (auto* Port = dynamic_cast<TApdCustomComPort*>(Component))
      return Port;
    if (TApdCustomComPort* Nested = FindComPort(Component))
      return Nested;
  }
  return nullptr;
}
