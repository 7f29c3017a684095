// AwWin32: the device layers of the dispatcher.
//
// TApdWin32Dispatcher opens a serial device by name: "\\.\COMn" (and "COMn") through the port
// table, any other name as a device path. Reads never block, writes go through the output
// ring to the output thread, the comm thread waits for device events on the device itself.
// TApdTAPI32Dispatcher works on a terminal descriptor handed over by its owner (the comm
// handle of a connected call): it opens nothing, and closing the port closes the descriptor.
// Open failures leave the thread's last error set (file or path not found, access denied);
// a descriptor of -1 gives -2007 with last error 2007.
#pragma once

#include "port/AwUser.h"

#include "platform/SerialDevice.h"

#include <atomic>
#include <shared_mutex>

class TApdWin32Dispatcher : public TApdBaseDispatcher {
public:
  explicit TApdWin32Dispatcher(TApdCustomComPort* Owner);
  ~TApdWin32Dispatcher() override;

protected:
  int32_t DeviceEscape(int32_t Function) override;
  int32_t DevicePurge(int32_t Queue) override;
  int32_t DeviceErrors(TApdCommStatus& Status) override;
  int32_t DeviceReadFailed(int32_t Code) override;
  int32_t DeviceGetState(TApdLineSettings& Settings) override;
  int32_t DeviceRead(void* Buffer, uint32_t Count) override;
  int32_t DeviceSetState(const TApdLineSettings& Settings) override;
  int32_t DeviceWrite(const void* Buffer, uint32_t Count) override;
  bool DeviceWaitEvent(std::atomic<uint32_t>& Mask) override;
  bool DeviceSetupQueues(uint32_t InSize, uint32_t OutSize) override;
  void StartThreads() override;
  void StopThreads() override;
  int32_t DeviceOpen(const char* Name, uint32_t InSize, uint32_t OutSize) override;
  int32_t DeviceClose() override;
  int32_t DeviceIdle() override;
  int32_t DeviceTransmit(const uint8_t* Data, uint32_t Count) override;
  int32_t DeviceAwaitTransmit() override;
  void DeviceWakeTransmit() override;
  void DeviceCancelWait() override;
  bool DeviceOutputDrained() override;
  uint32_t DeviceModemStatus() override;

  // Makes the transmit wait and wake-up ready (false: out of resources).
  bool PrepareTransmitWake();

  Platform::TSerialDevice FDevice;

private:
  // Wakes the output thread's wait for room in the device (an eventfd).
  int FTransmitWake = -1;
  // Held shared while the output thread polls the device descriptor, exclusively while the
  // device is closed, so the poll never sees a descriptor number that was reused.
  std::shared_mutex FTransmitUse;
  std::atomic<bool> FClosing{false};
};

class TApdTAPI32Dispatcher : public TApdWin32Dispatcher {
public:
  // Handle: the handed-over descriptor, -1 for none.
  TApdTAPI32Dispatcher(TApdCustomComPort* Owner, int Handle);

protected:
  int32_t DeviceOpen(const char* Name, uint32_t InSize, uint32_t OutSize) override;
};
