// AwUser core: the dispatcher registry, open and close, line control, status, the two rings.
// The three worker threads live in AwUserThreads.cpp, handlers, triggers and notices in
// AwUserTriggers.cpp, the dispatch log and the trace in AwUserLog.cpp.
#include "port/AwUser.h"

#include "common/AdExcept.h"
#include "common/OoMisc.h"
#include "platform/LastError.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>

namespace {

// The length of a tick of CurrentTicks() on the clock.
constexpr uint32_t MsPerTick = 55;

Platform::TCriticalSection& RegistryLock() {
  static Platform::TCriticalSection Lock;
  return Lock;
}

std::vector<TApdBaseDispatcher*>& Registry() {
  static std::vector<TApdBaseDispatcher*> List;
  return List;
}

constexpr uint32_t BaudCodeTable[24] = {110,   300, 600, 1200,   2400, 4800, 9600, 14400,
                                        19200, 0,   0,   38400,  0,    0,    0,    56000,
                                        0,     0,   0,   128000, 0,    0,    0,    256000};

} // namespace

uint32_t BaudFromCode(uint32_t Value) {
  if (Value == 0xFEFF) {
    return 115200;
  }
  if (Value >= 0xFF10 && Value <= 0xFF27) {
    uint32_t Rate = BaudCodeTable[Value - 0xFF10];
    return Rate != 0 ? Rate : Value;
  }
  return Value;
}

Platform::TCriticalSection& DispatcherListLock() {
  return RegistryLock();
}

TApdBaseDispatcher* DispatcherFromHandle(int32_t Handle) {
  auto& List = Registry();
  if (Handle < 0 || static_cast<size_t>(Handle) >= List.size()) {
    return nullptr;
  }
  return List[Handle];
}

int32_t DispatcherListCount() {
  Platform::TCriticalSectionGuard Guard(RegistryLock());
  return static_cast<int32_t>(Registry().size());
}

// ---------------------------------------------------------------------------------------
// Construction and destruction

TApdBaseDispatcher::TApdBaseDispatcher(TApdCustomComPort* Owner) : FOwner(Owner) {
  FMainThreadId = Platform::CurrentThreadId();
  FSyncWindow = Platform::CreateHiddenWindow(
      [](Platform::TWindowHandle, uint32_t Msg, uintptr_t WParam, intptr_t) -> intptr_t {
        if (Msg != TApdDispatcherThread::SyncCallMessage) {
          return 0;
        }
        auto* Thread = reinterpret_cast<TApdDispatcherThread*>(WParam);
        try {
          if (Thread->pMethod != nullptr && *Thread->pMethod) {
            (*Thread->pMethod)(Thread->pMsg, Thread->pTrigger, Thread->plParam);
          }
        } catch (...) {
          Thread->FSyncError = std::current_exception();
        }
        return 1;
      });
  Platform::TCriticalSectionGuard Guard(RegistryLock());
  auto& List = Registry();
  auto Free = std::find(List.begin(), List.end(), nullptr);
  if (Free != List.end()) {
    *Free = this;
    FDispatcherHandle = static_cast<int32_t>(Free - List.begin());
  } else {
    List.push_back(this);
    FDispatcherHandle = static_cast<int32_t>(List.size() - 1);
  }
}

void TApdBaseDispatcher::DestroyDispatcher() {
  if (FDestroyed) {
    return;
  }
  FDestroyed = true;
  if (FCloseDeferred.load()) {
    ReleaseBuffers();
  } else {
    ClosePort();
  }
  PumpUntil([this] { return FLiveThreads.load() <= 0; }, Platform::INFINITE);
  for (auto& Worker : FWorkers) {
    Worker.reset(); // joins
  }
}

TApdBaseDispatcher::~TApdBaseDispatcher() {
  // A device layer has run DestroyDispatcher() already; the device operations are gone here.
  for (auto& Worker : FWorkers) {
    Worker.reset();
  }
  {
    Platform::TCriticalSectionGuard Guard(RegistryLock());
    auto& List = Registry();
    if (FDispatcherHandle >= 0 && static_cast<size_t>(FDispatcherHandle) < List.size() &&
        List[FDispatcherHandle] == this) {
      List[FDispatcherHandle] = nullptr;
    }
    while (!List.empty() && List.back() == nullptr) {
      List.pop_back();
    }
  }
  if (FSyncWindow != 0) {
    Platform::DestroyWindow(FSyncWindow);
  }
}

// ---------------------------------------------------------------------------------------
// Open and close

int32_t TApdBaseDispatcher::OpenPort(const char* DeviceName, int32_t Baud, uint8_t Parity,
                                     uint8_t DataBits, uint8_t StopBits, uint32_t InSize,
                                     uint32_t OutSize, uint8_t Options) {
  RingSeen.store(false);
  {
    Platform::TCriticalSectionGuard Buf(BufferLock);
    DispatchBuffer.reset();
  }
  {
    Platform::TCriticalSectionGuard Out(OutputLock);
    OutputRing.reset();
  }
  FInDispatch.store(false);
  {
    Platform::TCriticalSectionGuard Main(MainLock);
    RemovalsPending = false;
  }
  // The events exist as long as the dispatcher; a new open starts them all unsignalled.
  for (Platform::TEvent* Event : {&CommEvent, &CommAck, &ThreadReady, &OutputReady, &WriteDone,
                                  &FlushRequest, &FlushAck, &PassWake}) {
    Event->Reset();
  }

  int32_t Handle = DeviceOpen(DeviceName, InSize, OutSize);
  if (Handle < 0) {
    int32_t Code =
        Handle == ecOutOfMemory ? ecOutOfMemory : -static_cast<int32_t>(Platform::GetLastError());
    if (Code == 0) {
      Code = Handle;
    }
    ClosePort();
    return Code;
  }
  FDeviceHandle.store(Handle);

  int32_t Result = SetupQueues(InSize, OutSize);
  if (Result < 0) {
    ClosePort();
    return Result;
  }

  try {
    auto Dispatch = std::make_unique<uint8_t[]>(DispatchBufferSize);
    auto Out = std::make_unique<uint8_t[]>(OutSize > 0 ? OutSize : 1);
    {
      Platform::TCriticalSectionGuard Buf(BufferLock);
      DispatchBuffer = std::move(Dispatch);
      FDispatchFull = false;
      ReadCount = 0;
    }
    Platform::TCriticalSectionGuard Out2(OutputLock);
    OutputRing = std::move(Out);
    OutHead = 0;
    OutTail = 0;
    OutFull = false;
    OutQueueSize = OutSize;
  } catch (const std::bad_alloc&) {
    ClosePort();
    return ecOutOfMemory;
  }
  InQueueSize = InSize;
  FLineErrors.store(0);
  OutputSentPending.store(false);
  FCloseDeferred.store(false);
  FRs485On = false;
  UartBase = 0;

  {
    Platform::TCriticalSectionGuard Main(MainLock);
    DeviceGetState(Dcb);
  }

  if (Options & opDtrHandshake) {
    DtrByHandshake = true;
  } else {
    DtrByHandshake = false;
    SetDtr((Options & opDtrLevel) != 0);
  }
  if (Options & opRtsHandshake) {
    RtsByHandshake = true;
  } else {
    RtsByHandshake = false;
    SetRts((Options & opRtsLevel) != 0);
  }

  ScanPosition = 0;
  ClearTriggers();
  {
    Platform::TCriticalSectionGuard Buf(BufferLock);
    DispHead = 0;
    DispTail = 0;
    FReceivedTotal = 0;
    CountingReads = false;
  }
  AvailNotifiedAt = 0;
  FLastFill = 0;
  {
    Platform::TCriticalSectionGuard Main(MainLock);
    ResetStatusHits();
    ModemStatusByte = 0;
  }
  ReadModemStatus(0xF0);
  FLastBaudRate = 115200;

  Result = SetLineParams(Baud, Parity, DataBits, StopBits);
  if (Result < 0) {
    ClosePort();
    return Result;
  }

  RefreshLineErrors();
  {
    Platform::TCriticalSectionGuard Main(MainLock);
    DiscardTrace();
    TraceHead = 0;
    TraceCapacity = 0;
    TraceWrapped = false;
    DiscardLog();
    LogHead = 0;
    LogTail = 0;
    LogFree = 0;
    LogRingSize = 0;
    LogStartTime = AdTimeGetTime();
  }

  StartThreads();
  return 0;
}

void TApdBaseDispatcher::ClosePort() {
  if (FDeviceHandle.load() >= 0) {
    PurgeOutput();
    PurgeInput();
    DeviceClose();
  }
  if (FInDispatch.load()) {
    // A handler closed the port: the dispatch thread releases the buffers when it ends.
    FCloseDeferred.store(true);
  } else {
    ReleaseBuffers();
  }
}

void TApdBaseDispatcher::ReleaseBuffers() {
  ReleasePending.store(false);
  if (FThreadsRunning.load()) {
    StopThreads();
  }
  // A worker that is still running (one StopThreads gave up on) may still use the rings;
  // then the dispatch thread frees them when it ends.
  {
    std::lock_guard<std::mutex> End(FEndLock);
    if (CommThread.load() != nullptr || OutputThread.load() != nullptr ||
        DispatchThread.load() != nullptr) {
      ReleasePending.store(true);
      return;
    }
  }
  {
    Platform::TCriticalSectionGuard Buf(BufferLock);
    DispatchBuffer.reset();
    DispHead = 0;
    DispTail = 0;
    FReceivedTotal = 0;
    FDispatchFull = false;
  }
  Platform::TCriticalSectionGuard Out(OutputLock);
  OutputRing.reset();
  OutHead = 0;
  OutTail = 0;
  OutFull = false;
}

// ---------------------------------------------------------------------------------------
// Line control

int32_t TApdBaseDispatcher::SetLineParams(int32_t Baud, uint8_t Parity, uint8_t DataBits,
                                          uint8_t StopBits) {
  uint32_t NewBaud;
  Platform::TParity NewParity;
  uint8_t NewDataBits;
  Platform::TStopBits NewStopBits;
  {
    Platform::TCriticalSectionGuard Main(MainLock);
    DeviceGetState(Dcb);
    Dcb.Binary = true;
    Dcb.ParityCheck = false;
    Dcb.DsrSensitivity = false;
    Dcb.TxContinueOnXoff = true;
    Dcb.NullStrip = false;

    NewBaud = Baud == KeepBaud ? Dcb.Baud : static_cast<uint32_t>(Baud);
    NewParity = Parity == KeepParity ? Dcb.Parity : static_cast<Platform::TParity>(Parity);
    NewDataBits = DataBits == KeepDataBits ? Dcb.DataBits : DataBits;
    if (StopBits == KeepStopBits) {
      NewStopBits = Dcb.StopBits;
    } else {
      NewStopBits = StopBits <= 1 ? Platform::sbOne : Platform::sbTwo;
    }
    if (NewDataBits == 5 && !(DataBits == KeepDataBits && StopBits == KeepStopBits)) {
      NewStopBits = Platform::sbOneHalf;
    }
    if (NewBaud == Dcb.Baud && NewParity == Dcb.Parity && NewDataBits == Dcb.DataBits &&
        NewStopBits == Dcb.StopBits) {
      return 0;
    }
  }

  // Let queued output leave at the old settings: our ring, then the driver's queue (the
  // kernel's tty buffer can hold seconds of output at a low rate).
  for (int Poll = 0; Poll < 5000; ++Poll) {
    if (OutputUsed() == 0 && DeviceOutputDrained()) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  uint64_t PauseMs = 0;
  {
    Platform::TCriticalSectionGuard Main(MainLock);
    DeviceGetState(Dcb);
    uint32_t Rate = BaudFromCode(Dcb.Baud);
    if (Rate != 0) {
      uint64_t Bits = Dcb.DataBits + 2u;
      if (Dcb.Parity != Platform::paNone) {
        ++Bits;
      }
      if (Dcb.StopBits != Platform::sbOne) {
        ++Bits;
      }
      uint64_t Units = static_cast<uint64_t>(10000000u / Rate) * Bits * 18u; // 100 ns
      if (Units < 10000) {
        Units *= 2;
      }
      PauseMs = (Units + 9999) / 10000;
    }
  }
  if (PauseMs > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(PauseMs));
  }

  Platform::TCriticalSectionGuard Main(MainLock);
  DeviceGetState(Dcb);
  TApdLineSettings Wanted = Dcb;
  Wanted.Baud = NewBaud;
  Wanted.Parity = NewParity;
  Wanted.DataBits = NewDataBits;
  Wanted.StopBits = NewStopBits;
  int32_t Result = ApplyDcb(Wanted);
  if (Result == 0) {
    Dcb = Wanted;
  } else {
    DeviceGetState(Dcb); // the working copy stays what the device holds
  }
  return Result;
}

int32_t TApdBaseDispatcher::GetLineParams(int32_t& Baud, int16_t& Parity, uint8_t& DataBits,
                                          uint8_t& StopBits) {
  Platform::TCriticalSectionGuard Main(MainLock);
  int32_t Result = DeviceGetState(Dcb);
  Baud = static_cast<int32_t>(BaudFromCode(Dcb.Baud));
  Parity = static_cast<int16_t>(Dcb.Parity);
  DataBits = Dcb.DataBits;
  StopBits = Dcb.StopBits == Platform::sbOne ? 1 : 2;
  return Result;
}

int32_t TApdBaseDispatcher::ApplyDcb(TApdLineSettings& Settings) {
  Platform::TCriticalSectionGuard Main(MainLock);
  if (!DtrByHandshake) {
    Settings.DtrControl = DtrLevel ? Platform::dtrOn : Platform::dtrOff;
  }
  if (!RtsByHandshake) {
    Settings.RtsControl = RtsLevel ? Platform::rtsOn : Platform::rtsOff;
  }
  int32_t Result = DeviceSetState(Settings);
  FLastBaudRate = Settings.Baud;
  SetDtr(DtrLevel);
  if (!FRs485On) {
    SetRts(RtsLevel);
  }
  return Result;
}

int32_t TApdBaseDispatcher::SetDtr(bool Level) {
  if (DtrByHandshake) {
    return 1;
  }
  int32_t Result = DeviceEscape(Level ? efSetDtr : efClrDtr);
  DtrLevel = Level;
  return Result < 0 ? ecBadArgument : Result;
}

int32_t TApdBaseDispatcher::SetRts(bool Level) {
  if (RtsByHandshake) {
    return 1;
  }
  int32_t Result = DeviceEscape(Level ? efSetRts : efClrRts);
  RtsLevel = Level;
  return Result < 0 ? ecBadArgument : Result;
}

int32_t TApdBaseDispatcher::SetHardwareFlow(uint32_t BufferFull, uint32_t BufferResume,
                                            uint32_t Options) {
  if (BufferFull < BufferResume || BufferFull > InQueueSize) {
    return ecBadArgument;
  }
  Platform::TCriticalSectionGuard Main(MainLock);
  DeviceGetState(Dcb);
  Dcb.CtsOutFlow = false;
  Dcb.DsrOutFlow = false;
  Dcb.DtrControl = Platform::dtrOff;
  Dcb.RtsControl = Platform::rtsOff;
  DtrByHandshake = false;
  RtsByHandshake = false;
  if (Options & hfUseDtr) {
    Dcb.DtrControl = Platform::dtrHandshake;
    DtrByHandshake = true;
  } else if (DtrLevel) {
    Dcb.DtrControl = Platform::dtrOn;
  }
  if (Options & hfUseRts) {
    Dcb.RtsControl = Platform::rtsHandshake;
    RtsByHandshake = true;
  } else if (RtsLevel) {
    Dcb.RtsControl = Platform::rtsOn;
  }
  if (FRs485On) {
    // The driver drops RTS after the last bit (its RS-485 mode).
    Dcb.RtsControl = Platform::rtsToggle;
    RtsByHandshake = true;
  }
  Dcb.XoffLimit = static_cast<uint16_t>(InQueueSize - BufferFull);
  Dcb.XonLimit = static_cast<uint16_t>(BufferResume);
  Dcb.DsrOutFlow = (Options & hfRequireDsr) != 0;
  Dcb.CtsOutFlow = (Options & hfRequireCts) != 0;
  return ApplyDcb(Dcb);
}

int32_t TApdBaseDispatcher::SetSoftwareFlow(uint32_t BufferFull, uint32_t BufferResume,
                                            uint32_t Options) {
  if (BufferFull < BufferResume || BufferFull > InQueueSize) {
    return ecBadArgument;
  }
  Platform::TCriticalSectionGuard Main(MainLock);
  DeviceGetState(Dcb);
  if (Options & sfReceive) {
    Dcb.XonXoffIn = true;
    Dcb.XoffLimit = static_cast<uint16_t>(InQueueSize - BufferFull);
    Dcb.XonLimit = static_cast<uint16_t>(BufferResume);
    Dcb.XonChar = 0x11;
    Dcb.XoffChar = 0x13;
  }
  if (Options & sfTransmit) {
    Dcb.XonXoffOut = true;
    Dcb.XonChar = 0x11;
    Dcb.XoffChar = 0x13;
  }
  return ApplyDcb(Dcb);
}

int32_t TApdBaseDispatcher::SoftwareFlowOff() {
  Platform::TCriticalSectionGuard Main(MainLock);
  DeviceGetState(Dcb);
  Dcb.XonXoffIn = false;
  Dcb.XonXoffOut = false;
  return ApplyDcb(Dcb);
}

int32_t TApdBaseDispatcher::SetFlowChars(uint8_t XOn, uint8_t XOff) {
  Platform::TCriticalSectionGuard Main(MainLock);
  DeviceGetState(Dcb);
  Dcb.XonChar = XOn;
  Dcb.XoffChar = XOff;
  return ApplyDcb(Dcb);
}

int32_t TApdBaseDispatcher::GetFlowState(uint32_t& HwOptions, uint32_t& SwOptions, uint8_t& XOn,
                                         uint8_t& XOff) {
  Platform::TCriticalSectionGuard Main(MainLock);
  int32_t Result = DeviceGetState(Dcb);
  HwOptions = 0;
  if (Dcb.DtrControl == Platform::dtrHandshake) {
    HwOptions |= hfUseDtr;
  }
  if (Dcb.RtsControl == Platform::rtsHandshake) {
    HwOptions |= hfUseRts;
  }
  if (Dcb.DsrOutFlow) {
    HwOptions |= hfRequireDsr;
  }
  if (Dcb.CtsOutFlow) {
    HwOptions |= hfRequireCts;
  }
  SwOptions = 0;
  if (Dcb.XonXoffOut) {
    SwOptions |= sfTransmit;
  }
  if (Dcb.XonXoffIn) {
    SwOptions |= sfReceive;
  }
  XOn = Dcb.XonChar;
  XOff = Dcb.XoffChar;
  return Result;
}

int32_t TApdBaseDispatcher::SetupQueues(uint32_t InSize, uint32_t OutSize) {
  if (!DeviceSetupQueues(InSize, OutSize)) {
    return -static_cast<int32_t>(Platform::GetLastError());
  }
  return 0;
}

void TApdBaseDispatcher::SetOptionBits(uint32_t Mask) {
  FOptionBits |= Mask;
}

void TApdBaseDispatcher::ClearOptionBits(uint32_t Mask) {
  FOptionBits &= ~Mask;
}

// ---------------------------------------------------------------------------------------
// Status

uint8_t TApdBaseDispatcher::ReadModemStatus(uint8_t KeepMask) {
  Platform::TCriticalSectionGuard Main(MainLock);
  uint32_t Lines = DeviceModemStatus() & 0xF0;
  ModemStatusByte = (ModemStatusByte & 0x0F) | Lines;
  if (RingSeen.exchange(false)) {
    ModemStatusByte |= 0x04;
  }
  uint8_t Result = static_cast<uint8_t>(ModemStatusByte);
  ModemStatusByte &= KeepMask;
  return Result;
}

uint8_t TApdBaseDispatcher::ModemStatus() {
  return ReadModemStatus(0xF0);
}

void TApdBaseDispatcher::RefreshModemDeltas() {
  Platform::TCriticalSectionGuard Main(MainLock);
  uint32_t Old = ModemStatusByte;
  ReadModemStatus(0xFF);
  ModemStatusByte |= ((Old ^ ModemStatusByte) >> 4) & 0x0F;
}

void TApdBaseDispatcher::RefreshLineErrors() {
  Platform::TCriticalSectionGuard Out(OutputLock);
  TApdCommStatus Status;
  int32_t Errors = DeviceErrors(Status);
  CommStatus = Status;
  if (Errors > 0) {
    FLineErrors.fetch_or(static_cast<uint32_t>(Errors) & 0x1F);
  }
}

uint8_t TApdBaseDispatcher::LineErrorCode() {
  Platform::TCriticalSectionGuard Main(MainLock);
  static constexpr struct {
    uint32_t Bit;
    uint8_t Code;
  } Order[] = {{0x01, 1}, {0x02, 2}, {0x04, 3}, {0x08, 4}, {0x10, 9}};
  uint32_t Errors = FLineErrors.load();
  for (;;) {
    uint8_t Code = 0;
    for (const auto& Entry : Order) {
      if (Errors & Entry.Bit) {
        Code = Entry.Code;
        break;
      }
    }
    if (Code == 0) {
      return 0;
    }
    // The break bit stays for BreakReceived().
    if (FLineErrors.compare_exchange_weak(Errors, Errors & ~0x0Fu)) {
      return Code;
    }
  }
}

bool TApdBaseDispatcher::BreakReceived() {
  return (FLineErrors.fetch_and(~0x10u) & 0x10u) != 0;
}

uint32_t TApdBaseDispatcher::InputUsed() {
  Platform::TCriticalSectionGuard Buf(BufferLock);
  uint32_t Used;
  if (DispHead == DispTail) {
    Used = FDispatchFull ? DispatchBufferSize : 0;
  } else {
    Used = (DispHead + DispatchBufferSize - DispTail) % DispatchBufferSize;
  }
  if (CountingReads) {
    Used = Used > ReadCount ? Used - ReadCount : 0;
  }
  return Used;
}

bool TApdBaseDispatcher::DispatchFull() {
  Platform::TCriticalSectionGuard Buf(BufferLock);
  return FDispatchFull;
}

uint32_t TApdBaseDispatcher::OutputUsed() {
  Platform::TCriticalSectionGuard Out(OutputLock);
  RefreshLineErrors();
  return CommStatus.OutQueue;
}

uint32_t TApdBaseDispatcher::OutputFree() {
  Platform::TCriticalSectionGuard Out(OutputLock);
  uint32_t Used = OutputUsed();
  return OutQueueSize > Used ? OutQueueSize - Used : 0;
}

int32_t TApdBaseDispatcher::PurgeOutput() {
  return DevicePurge(0);
}

int32_t TApdBaseDispatcher::PurgeInput() {
  Platform::TCriticalSectionGuard Buf(BufferLock);
  int32_t Result = DevicePurge(1);
  if (CountingReads) {
    // The notice in progress consumes everything when it ends.
    uint32_t Count = DispHead == DispTail
                         ? (FDispatchFull ? DispatchBufferSize : 0)
                         : (DispHead + DispatchBufferSize - DispTail) % DispatchBufferSize;
    MaxReadCount = Count;
  } else {
    DispTail = DispHead;
    ReadCount = 0;
  }
  FDispatchFull = false;
  Platform::TCriticalSectionGuard Main(MainLock);
  ResetDataMatches();
  return Result;
}

TApdLineSettings TApdBaseDispatcher::LineSettings() {
  Platform::TCriticalSectionGuard Main(MainLock);
  return Dcb;
}

// ---------------------------------------------------------------------------------------
// Data in and out

int32_t TApdBaseDispatcher::PutBlock(const void* Data, uint32_t Count) {
  {
    Platform::TCriticalSectionGuard Out(OutputLock);
    if (!OutputRing || FDeviceHandle.load() < 0) {
      return ecNotOpen;
    }
    if (Count == 0) {
      return 0;
    }
    uint32_t Used =
        OutFull ? OutQueueSize : (OutHead + OutQueueSize - OutTail) % std::max(OutQueueSize, 1u);
    if (Count > OutQueueSize - Used) {
      return ecOutputBufferTooSmall;
    }
  }
  int32_t Result = DeviceWrite(Data, Count);
  if (Result > 0) {
    AddTraceBytes('T', Data, static_cast<uint32_t>(Result));
  }
  return Result;
}

uint32_t TApdBaseDispatcher::GetBlock(void* Data, uint32_t Count) {
  bool WasFull;
  uint32_t Taken;
  {
    Platform::TCriticalSectionGuard Buf(BufferLock);
    if (!DispatchBuffer) {
      return 0;
    }
    WasFull = FDispatchFull;
    Taken = std::min(Count, InputUsed());
    uint32_t Start = (DispTail + (CountingReads ? ReadCount : 0)) % DispatchBufferSize;
    uint32_t First = std::min(Taken, DispatchBufferSize - Start);
    auto* Out = static_cast<uint8_t*>(Data);
    std::memcpy(Out, DispatchBuffer.get() + Start, First);
    std::memcpy(Out + First, DispatchBuffer.get(), Taken - First);
    if (CountingReads) {
      ReadCount += Taken;
    } else if (Taken > 0) {
      DispTail = (DispTail + Taken) % DispatchBufferSize;
      FDispatchFull = false;
    }
  }
  if (WasFull && Taken > 0) {
    // Bytes may be waiting in the device for the room just made: fetch them now. A pass of
    // its own, not one for a device event: that would release the comm thread for a wait it
    // has not begun, and it would then take no notice of bytes that come meanwhile.
    WakeDispatchThread();
  }
  return Taken;
}

uint32_t TApdBaseDispatcher::PeekBlock(void* Data, uint32_t Count) {
  Platform::TCriticalSectionGuard Buf(BufferLock);
  if (!DispatchBuffer) {
    return 0;
  }
  uint32_t Taken = std::min(Count, InputUsed());
  uint32_t Start = (DispTail + (CountingReads ? ReadCount : 0)) % DispatchBufferSize;
  uint32_t First = std::min(Taken, DispatchBufferSize - Start);
  auto* Out = static_cast<uint8_t*>(Data);
  std::memcpy(Out, DispatchBuffer.get() + Start, First);
  std::memcpy(Out + First, DispatchBuffer.get(), Taken - First);
  return Taken;
}

bool TApdBaseDispatcher::FillDispatchBuffer() {
  Platform::TCriticalSectionGuard Buf(BufferLock);
  if (!DispatchBuffer) {
    return false;
  }
  if (FDispatchFull) {
    return true;
  }
  FLastFill = 0;
  RefreshLineErrors();
  uint32_t Avail;
  {
    Platform::TCriticalSectionGuard Out(OutputLock);
    Avail = CommStatus.InQueue;
  }
  if (Avail == 0) {
    return false;
  }
  uint32_t Room = DispatchBufferSize - DispHead;
  uint32_t Free = DispHead == DispTail
                      ? DispatchBufferSize
                      : (DispTail + DispatchBufferSize - DispHead) % DispatchBufferSize;
  if (DispTail > DispHead) {
    Room = Free;
  }
  uint32_t Total = std::min(Free, Avail);
  uint32_t Second = Room < Total ? Total - Room : 0;

  auto ReadPart = [this](uint32_t Count) -> uint32_t {
    int32_t N = DeviceRead(DispatchBuffer.get() + DispHead, Count);
    if (N < 0) {
      DeviceReadFailed(-1);
      N = 0;
    }
    AddLogEntry(dtDispatch, dstReadCom, static_cast<uint32_t>(N), DispatchBuffer.get() + DispHead,
                static_cast<uint32_t>(N));
    if (N > 0) {
      AddTraceBytes('R', DispatchBuffer.get() + DispHead, static_cast<uint32_t>(N));
    }
    FReceivedTotal += static_cast<uint32_t>(N);
    FLastFill += static_cast<uint32_t>(N);
    return static_cast<uint32_t>(N);
  };

  uint32_t N = ReadPart(Room);
  DispHead += N;
  if (N < Room) {
    Second = 0;
  }
  if (DispHead == DispatchBufferSize) {
    DispHead = 0;
  }
  if (N > 0) {
    FDispatchFull = DispHead == DispTail;
  }
  if (Second > 0) {
    N = ReadPart(Second);
    DispHead += N;
    FDispatchFull = DispHead == DispTail;
  }
  return true;
}

// ---------------------------------------------------------------------------------------
// The passes of the dispatch thread

void TApdBaseDispatcher::HandleCommEvent(uint32_t Mask) {
  auto StatusPass = [this]() -> bool {
    if (!FInDispatch.load()) {
      bool Fired = false;
      while (CheckStatusTriggers()) {
        Fired = true;
        if (FCloseDeferred.load()) {
          return false;
        }
      }
      if (FCloseDeferred.load()) {
        return false;
      }
      if (Fired || StatusHitThisRound) {
        Platform::TCriticalSectionGuard Main(MainLock);
        ResetStatusHits();
      }
    }
    return true;
  };

  if (Mask & ModemEventMask) {
    RefreshModemDeltas();
    if (!StatusPass()) {
      return;
    }
  }
  if ((Mask & 0xFF) >= 0x40) {
    RefreshLineErrors();
    if (!StatusPass()) {
      return;
    }
  }
  FillDispatchBuffer();
  if (!FInDispatch.load()) {
    uint8_t Status = ModemStatus();
    {
      Platform::TCriticalSectionGuard Main(MainLock);
      ModemStatusByte = Status;
    }
    while (CheckStatusTriggers()) {
      if (FCloseDeferred.load()) {
        return;
      }
    }
    if (FCloseDeferred.load()) {
      return;
    }
    while (CheckDataTriggers()) {
      if (FCloseDeferred.load()) {
        return;
      }
    }
    if (FCloseDeferred.load()) {
      return;
    }
  }
  if (StatusHitThisRound) {
    Platform::TCriticalSectionGuard Main(MainLock);
    ResetStatusHits();
  }
}

void TApdBaseDispatcher::DispatchPass() {
  uint32_t Mask = EventMask.load();
  for (;;) {
    HandleCommEvent(Mask);
    if (FCloseDeferred.load()) {
      return; // the thread ends; the stop sequence releases the comm thread
    }
    PollTriggers();
    if (KillFlag.load() || FCloseDeferred.load() || !MoreInputWaiting()) {
      break;
    }
    // Later rounds answer the bytes only: the device events were handled in the first.
    Mask = Platform::seRxChar;
  }
  // Only a pass for an event releases the comm thread for its next wait: a pass of its own
  // may have read the device before the event's bytes came.
  if (FEventPass && !FCloseDeferred.load()) {
    CommAck.Set();
  }
}

bool TApdBaseDispatcher::MoreInputWaiting() {
  if (FLastFill == 0) {
    return false;
  }
  {
    Platform::TCriticalSectionGuard Buf(BufferLock);
    if (!DispatchBuffer || FDispatchFull) {
      return false;
    }
  }
  RefreshLineErrors();
  Platform::TCriticalSectionGuard Out(OutputLock);
  return CommStatus.InQueue > 0;
}

uint32_t TApdBaseDispatcher::NextPassWait() {
  Platform::TCriticalSectionGuard Main(MainLock);
  bool Armed = std::any_of(StatusTriggerList.begin(), StatusTriggerList.end(),
                           [](const TApdStatusTrigger& Trigger) { return Trigger.Armed; });
  uint32_t Wait = Armed ? DispatchPassMs : Platform::INFINITE;
  // A timer runs out once the tick counter has passed its expiry tick: at the start of the
  // tick after it. A test's own tick source has no tie to the clock; the 50 ms pass serves it.
  const uint32_t NowMs = AdTimeGetTime();
  for (const TApdTimerTrigger& Trigger : TimerTriggerList) {
    if (!Trigger.Active) {
      continue;
    }
    uint32_t Due = DispatchPassMs;
    if (CurrentTicks() == NowMs / MsPerTick) {
      int64_t Left = (static_cast<int64_t>(Trigger.ExpireTicks) + 1) * MsPerTick - NowMs;
      Due = static_cast<uint32_t>(std::clamp<int64_t>(Left, 1, DispatchPassMs));
    }
    Wait = std::min(Wait, Due);
  }
  return Wait;
}

void TApdBaseDispatcher::WakeDispatchThread() {
  // Without a dispatch thread the event stays set until the next open resets it.
  PassWake.Set();
}

void TApdBaseDispatcher::PollTriggers() {
  if (FCloseDeferred.load() || FInDispatch.load()) {
    return;
  }
  StatusHitThisRound = false;
  for (;;) {
    bool Status = CheckStatusTriggers();
    if (FCloseDeferred.load()) {
      return;
    }
    bool Timer = CheckTimerTriggers();
    if (FCloseDeferred.load() || !(Status || Timer)) {
      break;
    }
  }
  if (StatusHitThisRound) {
    Platform::TCriticalSectionGuard Main(MainLock);
    ResetStatusHits();
  }
}

// ---------------------------------------------------------------------------------------
// Output

void TApdBaseDispatcher::DrainOutput() {
  bool Wrote = false;
  for (;;) {
    const uint8_t* Run;
    uint32_t RunLength;
    uint32_t Purges;
    {
      Platform::TCriticalSectionGuard Out(OutputLock);
      if (!OutputRing || (!OutFull && OutHead == OutTail) || FOutputPurge.load()) {
        break;
      }
      Purges = OutPurges;
      uint32_t Size = OutQueueSize;
      if (!OutFull && OutTail < OutHead) {
        RunLength = OutHead - OutTail;
      } else if (OutHead > 0) {
        // The data wraps: rotate it in place so that one write takes all of it.
        std::rotate(OutputRing.get(), OutputRing.get() + OutTail, OutputRing.get() + Size);
        OutHead += Size - OutTail;
        OutTail = 0;
        RunLength = OutHead;
        if (OutHead == Size) {
          OutHead = 0; // a full ring stays full
        }
      } else {
        RunLength = Size - OutTail;
      }
      Run = OutputRing.get() + OutTail;
    }

    // False once a purge emptied the ring under the run: nothing of it counts or goes out.
    auto Current = [this, Purges] {
      Platform::TCriticalSectionGuard Out(OutputLock);
      return OutPurges == Purges;
    };
    auto Advance = [this, Purges](uint32_t N) {
      if (N == 0) {
        return;
      }
      Platform::TCriticalSectionGuard Out(OutputLock);
      if (OutPurges != Purges) {
        return;
      }
      OutFull = false;
      OutTail += N;
      if (OutTail == OutQueueSize) {
        OutTail = 0;
      }
      if (OutTail == OutHead) {
        OutTail = 0;
        OutHead = 0;
      }
    };

    uint32_t Done = 0;
    bool Flushed = false;
    while (Done < RunLength) {
      if (!Current()) {
        return;
      }
      int32_t N = DeviceTransmit(Run + Done, RunLength - Done);
      if (N < 0) {
        break; // a failed write drops the run
      }
      Advance(static_cast<uint32_t>(N));
      Done += static_cast<uint32_t>(N);
      Wrote = Wrote || N > 0;
      if (Done == RunLength) {
        break;
      }
      int32_t Ready = DeviceAwaitTransmit();
      if (Platform::WaitForEvent(FlushRequest, 0) == Platform::wrObject0) {
        ThreadReady.Set();
        FlushAck.Set();
        Flushed = true;
        break;
      }
      if (KillFlag.load()) {
        return;
      }
      if (Ready < 0) {
        break;
      }
    }
    if (Flushed) {
      return;
    }
    if (!Current()) {
      return;
    }
    if (Done < RunLength) {
      Advance(RunLength - Done);
    }
  }
  if (Wrote) {
    OutputSentPending.store(true);
  }
}

void TApdBaseDispatcher::SignalFlushRequest() {
  FlushRequest.Set();
  DeviceWakeTransmit();
}
