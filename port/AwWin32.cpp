// AwWin32: the termios device layer and the handed-over descriptor.
#include "port/AwWin32.h"

#include "common/AdExcept.h"
#include "platform/LastError.h"
#include "platform/PortTable.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

constexpr uint32_t NoTapiHandle = 2007; // the last error for a missing handed-over handle

Platform::TLineSettings ToDevice(const TApdLineSettings& S) {
  Platform::TLineSettings L;
  L.Baud = BaudFromCode(S.Baud);
  L.DataBits = S.DataBits;
  L.Parity = S.Parity;
  L.StopBits = S.StopBits;
  L.DtrControl = S.DtrControl;
  L.RtsControl = S.RtsControl;
  L.CtsOutFlow = S.CtsOutFlow;
  L.DsrOutFlow = S.DsrOutFlow;
  L.XonXoffOut = S.XonXoffOut;
  L.XonXoffIn = S.XonXoffIn;
  L.XonChar = S.XonChar;
  L.XoffChar = S.XoffChar;
  L.XonLimit = S.XonLimit;
  L.XoffLimit = S.XoffLimit;
  return L;
}

void FromDevice(const Platform::TLineSettings& L, TApdLineSettings& S) {
  // A driver baud code that stands for the device's rate is kept as it was given.
  if (BaudFromCode(S.Baud) != L.Baud) {
    S.Baud = L.Baud;
  }
  S.DataBits = L.DataBits;
  S.Parity = L.Parity;
  S.StopBits = L.StopBits;
  S.DtrControl = L.DtrControl;
  S.RtsControl = L.RtsControl;
  S.CtsOutFlow = L.CtsOutFlow;
  S.DsrOutFlow = L.DsrOutFlow;
  S.XonXoffOut = L.XonXoffOut;
  S.XonXoffIn = L.XonXoffIn;
  S.XonChar = L.XonChar;
  S.XoffChar = L.XoffChar;
  S.XonLimit = L.XonLimit;
  S.XoffLimit = L.XoffLimit;
}

int32_t LastErrorCode() {
  return -static_cast<int32_t>(Platform::GetLastError());
}

} // namespace

TApdWin32Dispatcher::TApdWin32Dispatcher(TApdCustomComPort* Owner) : TApdBaseDispatcher(Owner) {
  FDevice.SetPurpose("the serial port");
}

TApdWin32Dispatcher::~TApdWin32Dispatcher() {
  DestroyDispatcher();
  if (FTransmitWake >= 0) {
    ::close(FTransmitWake);
  }
}

bool TApdWin32Dispatcher::PrepareTransmitWake() {
  if (FTransmitWake < 0) {
    FTransmitWake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (FTransmitWake < 0) {
      return false;
    }
  }
  uint64_t Stale;
  while (::read(FTransmitWake, &Stale, sizeof Stale) > 0) {
  }
  FClosing.store(false);
  return true;
}

int32_t TApdWin32Dispatcher::DeviceOpen(const char* Name, uint32_t, uint32_t) {
  std::string Path = Platform::DevicePathFromName(Name != nullptr ? Name : "");
  if (Path.empty()) {
    Platform::SetLastError(Platform::errFileNotFound);
    return -1;
  }
  if (!FDevice.Open(Path)) {
    return -1;
  }
  if (!PrepareTransmitWake()) {
    FDevice.Close();
    return ecOutOfMemory;
  }
  return FDevice.Handle();
}

int32_t TApdWin32Dispatcher::DeviceClose() {
  if (ThreadsRunning()) {
    KillFlag.store(true);
    DeviceCancelWait();
    CommAck.Set();
    WakeDispatchThread();
    ThreadReady.Reset();
  }
  FClosing.store(true);
  DeviceWakeTransmit();
  {
    std::unique_lock<std::shared_mutex> Use(FTransmitUse);
    FDevice.Close();
  }
  FDeviceHandle.store(-1);
  return 0;
}

int32_t TApdWin32Dispatcher::DeviceEscape(int32_t Function) {
  switch (Function) {
  case efSetRts:
    FDevice.SetRts(true);
    break;
  case efClrRts:
    FDevice.SetRts(false);
    break;
  case efSetDtr:
    FDevice.SetDtr(true);
    break;
  case efClrDtr:
    FDevice.SetDtr(false);
    break;
  default:
    break; // no I/O base address to report here
  }
  return 0;
}

int32_t TApdWin32Dispatcher::DevicePurge(int32_t Queue) {
  bool Ok;
  if (Queue == 0) {
    // The output thread lets go of the run it is writing, and starts no new one, before the
    // ring is emptied: purged bytes are never sent afterwards.
    // Should the output thread not answer in time, the purge count voids its run.
    FOutputPurge.store(true);
    if (OutputThread.load() != nullptr) {
      FlushAck.Reset();
      SignalFlushRequest();
      Platform::WaitForEvent(FlushAck, FlushAckWaitMs);
    }
    {
      Platform::TCriticalSectionGuard Out(OutputLock);
      ++OutPurges;
      OutFull = false;
      OutHead = 0;
      OutTail = 0;
      Ok = FDevice.PurgeOutput();
    }
    FOutputPurge.store(false);
  } else {
    Ok = FDevice.PurgeInput();
  }
  return Ok ? 0 : LastErrorCode();
}

int32_t TApdWin32Dispatcher::DeviceErrors(TApdCommStatus& Status) {
  uint32_t Errors = 0;
  if (!FDevice.TakeLineErrors(Errors)) {
    Errors = 0;
  }
  int Waiting = FDevice.InQueue();
  Status.Flags = 0;
  Status.InQueue = Waiting > 0 ? static_cast<uint32_t>(Waiting) : 0;
  Platform::TCriticalSectionGuard Out(OutputLock);
  if (OutFull) {
    Status.OutQueue = OutQueueSize;
  } else if (OutTail < OutHead) {
    Status.OutQueue = OutHead - OutTail;
  } else if (OutTail > OutHead) {
    Status.OutQueue = OutQueueSize - OutTail + OutHead;
  } else {
    Status.OutQueue = 0;
  }
  return static_cast<int32_t>(Errors & 0x1F);
}

int32_t TApdWin32Dispatcher::DeviceReadFailed(int32_t) {
  return 0;
}

int32_t TApdWin32Dispatcher::DeviceGetState(TApdLineSettings& Settings) {
  Platform::TLineSettings Line;
  if (!FDevice.GetLineSettings(Line)) {
    return -1;
  }
  FromDevice(Line, Settings);
  return 0;
}

int32_t TApdWin32Dispatcher::DeviceRead(void* Buffer, uint32_t Count) {
  return FDevice.Read(Buffer, Count);
}

int32_t TApdWin32Dispatcher::DeviceSetState(const TApdLineSettings& Settings) {
  return FDevice.SetLineSettings(ToDevice(Settings)) ? 0 : LastErrorCode();
}

int32_t TApdWin32Dispatcher::DeviceWrite(const void* Buffer, uint32_t Count) {
  {
    Platform::TCriticalSectionGuard Out(OutputLock);
    if (!OutputRing || Count == 0) {
      return 0;
    }
    auto* Data = static_cast<const uint8_t*>(Buffer);
    int64_t Room = static_cast<int64_t>(OutQueueSize) - OutHead;
    if (Room >= Count) {
      std::memcpy(OutputRing.get() + OutHead, Data, Count);
      OutHead = Room == Count ? 0 : OutHead + Count;
    } else {
      std::memcpy(OutputRing.get() + OutHead, Data, static_cast<size_t>(Room));
      std::memcpy(OutputRing.get(), Data + Room, Count - static_cast<size_t>(Room));
      OutHead = Count - static_cast<uint32_t>(Room);
    }
    // Head meeting tail after a write means full, not empty: without the flag the whole
    // ring would read as empty and be lost.
    if (OutHead == OutTail) {
      OutFull = true;
    }
  }
  OutputReady.Set();
  return static_cast<int32_t>(Count);
}

bool TApdWin32Dispatcher::DeviceWaitEvent(std::atomic<uint32_t>& Mask) {
  uint32_t Events = 0;
  Platform::TSerialWait Result = FDevice.WaitEvent(DispatchEventMask, Events, Platform::INFINITE);
  if (Result != Platform::swEvents) {
    return false;
  }
  Mask.store(Events);
  return true;
}

bool TApdWin32Dispatcher::DeviceSetupQueues(uint32_t, uint32_t) {
  return true; // the kernel sizes a tty's queues itself
}

void TApdWin32Dispatcher::StartThreads() {
  StartDispatcherThreads();
}

void TApdWin32Dispatcher::StopThreads() {
  StopDispatcherThreads();
}

int32_t TApdWin32Dispatcher::DeviceIdle() {
  sched_yield();
  return 0;
}

int32_t TApdWin32Dispatcher::DeviceTransmit(const uint8_t* Data, uint32_t Count) {
  return FDevice.Write(Data, Count);
}

int32_t TApdWin32Dispatcher::DeviceAwaitTransmit() {
  std::shared_lock<std::shared_mutex> Use(FTransmitUse);
  if (FClosing.load()) {
    return 0;
  }
  int Fd = FDevice.Handle();
  if (Fd < 0 || FTransmitWake < 0) {
    return -1;
  }
  pollfd Fds[2] = {{Fd, POLLOUT, 0}, {FTransmitWake, POLLIN, 0}};
  int Result = ::poll(Fds, 2, -1);
  if (Result < 0) {
    return errno == EINTR ? 0 : -1;
  }
  if (Fds[1].revents & POLLIN) {
    if (!FClosing.load()) {
      uint64_t Count;
      while (::read(FTransmitWake, &Count, sizeof Count) > 0) {
      }
    }
    return 0;
  }
  if (Fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
    return -1;
  }
  return (Fds[0].revents & POLLOUT) ? 1 : 0;
}

void TApdWin32Dispatcher::DeviceWakeTransmit() {
  if (FTransmitWake >= 0) {
    uint64_t One = 1;
    ssize_t Written = ::write(FTransmitWake, &One, sizeof One);
    (void)Written; // a counter at its limit is still readable, which is all we need
  }
}

void TApdWin32Dispatcher::DeviceCancelWait() {
  FDevice.Cancel();
}

bool TApdWin32Dispatcher::DeviceOutputDrained() {
  return FDevice.OutQueue() <= 0;
}

uint32_t TApdWin32Dispatcher::DeviceModemStatus() {
  uint32_t Status = 0;
  if (!FDevice.GetModemStatus(Status)) {
    return 0;
  }
  return Status;
}

// ---------------------------------------------------------------------------------------

TApdTAPI32Dispatcher::TApdTAPI32Dispatcher(TApdCustomComPort* Owner, int Handle)
    : TApdWin32Dispatcher(Owner) {
  FDevice.SetPurpose("the serial port of an answered call");
  FDeviceHandle.store(Handle);
}

int32_t TApdTAPI32Dispatcher::DeviceOpen(const char*, uint32_t, uint32_t) {
  if (!PrepareTransmitWake()) {
    DeviceClose();
    return -1;
  }
  int Handle = FDeviceHandle.load();
  if (Handle < 0) {
    Platform::SetLastError(NoTapiHandle);
    return -static_cast<int32_t>(NoTapiHandle);
  }
  if (!FDevice.Adopt(Handle)) {
    return -1; // the descriptor stays its owner's
  }
  return Handle;
}
