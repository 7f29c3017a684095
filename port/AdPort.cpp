// The serial port component: properties, open and close, the notice window. The trace and
// the log are in AdPortRecorder.cpp.
#include "port/AdPort.h"

#include "common/AdExcept.h"
#include "platform/SerialDevice.h"
#include "platform/SerialDeviceDetail.h"
#include "port/AwWin32.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <termios.h>
#include <thread>

namespace {

TPortChooser* GChooser = nullptr;

TExceptionHandlerSlot GExceptionHandlers;

constexpr char ComWindowClass[] = "awComWindow";

// Dispatchers whose port went away while their close was deferred; the notice window that
// finishes the close frees them (main thread only, keyed by that window). At the program's end
// those whose threads have ended (or end within a short while) are freed and their threads
// joined; one whose handler still runs is left as it is, so that the program does not wait for
// that handler.
class TOrphans : public std::map<Platform::TWindowHandle, std::unique_ptr<TApdBaseDispatcher>> {
public:
  TOrphans() = default;
  TOrphans(const TOrphans&) = delete;
  TOrphans& operator=(const TOrphans&) = delete;
  ~TOrphans() {
    // Threads told to stop a moment ago are given a short while to end.
    const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (auto& [Window, Dispatcher] : *this) {
      while (Dispatcher && Dispatcher->ThreadsRunning() && std::chrono::steady_clock::now() < Until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (Dispatcher && Dispatcher->ThreadsRunning())
        static_cast<void>(Dispatcher.release());
    }
  }
};

TOrphans& Orphans() {
  static TOrphans Map;
  return Map;
}

bool DescriptorOpen(int Fd) {
  return Fd >= 0 && (::fcntl(Fd, F_GETFD) != -1 || errno != EBADF);
}

uint32_t HWFlowMask(THWFlowOptionSet Options) {
  uint32_t Mask = 0;
  if (Options & HWFlowBit(hwfUseDTR))
    Mask |= hfUseDtr;
  if (Options & HWFlowBit(hwfUseRTS))
    Mask |= hfUseRts;
  if (Options & HWFlowBit(hwfRequireDSR))
    Mask |= hfRequireDsr;
  if (Options & HWFlowBit(hwfRequireCTS))
    Mask |= hfRequireCts;
  return Mask;
}

uint32_t SWFlowValue(TSWFlowOptions Options) {
  switch (Options) {
  case swfReceive:
    return sfReceive;
  case swfTransmit:
    return sfTransmit;
  case swfBoth:
    return sfReceive | sfTransmit;
  default:
    return 0;
  }
}

std::string Formatted(const char* Format, int Number) {
  char Name[32];
  std::snprintf(Name, sizeof Name, Format, Number);
  return Name;
}

} // namespace

TPortChooser* SetPortChooser(TPortChooser* Chooser) {
  TPortChooser* Previous = GChooser;
  GChooser = Chooser;
  return Previous;
}

TPortChooser* PortChooser() {
  return GChooser;
}

TPortExceptionHandler SetPortExceptionHandler(TPortExceptionHandler Handler) {
  return GExceptionHandlers.Set(std::move(Handler));
}

void HandlePortException(const std::exception& E) {
  GExceptionHandlers.Handle(E);
}

uint32_t RoundHalfEven(uint32_t Value, uint32_t Num, uint32_t Den) {
  const uint64_t Product = static_cast<uint64_t>(Value) * Num;
  uint64_t Quotient = Product / Den;
  const uint64_t Twice = (Product % Den) * 2;
  if (Twice > Den || (Twice == Den && (Quotient & 1) != 0))
    ++Quotient;
  return static_cast<uint32_t>(Quotient);
}

// ---------------------------------------------------------------------------------------
// Construction and destruction

TApdCustomComPort::TApdCustomComPort(TComponent* AOwner) : TApdBaseComponent(AOwner) {}

TApdCustomComPort::~TApdCustomComPort() {
  if (FOpenState == ostOpen) {
    try {
      PerformClose();
    } catch (const std::exception& E) {
      HandlePortException(E);
    }
  }
  if (FDispatcher) {
    // Destroyed from inside one of its own events: the dispatcher's handlers are still
    // running, so the notice window finishes the close and frees it later.
    if (FNotifyWindow != 0) {
      Platform::SetWindowData(FNotifyWindow, nullptr);
      Orphans()[FNotifyWindow] = std::move(FDispatcher);
    } else {
      FDispatcher.reset();
    }
  }
  FListeners.clear();
  TApdBaseDispatcher::FreeSavedTriggers(FSavedTriggers);
}

bool TApdCustomComPort::LoadingOrDesigning() const {
  return (ComponentState() & (csLoading | csDesigning)) != 0;
}

int32_t TApdCustomComPort::Check(int32_t Code) const {
  return CheckException(this, Code);
}

// ---------------------------------------------------------------------------------------
// Plain and forwarding setters

void TApdCustomComPort::SetDeviceLayer(TDeviceLayer Value) {
  if (FOpenState != ostClosed || (FSupportedLayers & (1u << Value)) == 0)
    return;
  FDeviceLayer = Value;
  LayerChanged();
}

void TApdCustomComPort::SetComNumber(uint16_t Value) {
  if (Value == FComNumber)
    return;
  if (FOpenState != ostOpen) {
    FComNumber = Value;
    return;
  }
  TApdSavedTriggers Saved;
  FDispatcher->SaveTriggers(Saved);
  const TTraceLogState WasTracing = FTracing;
  const TTraceLogState WasLogging = FLogging;
  // A dump that failed on the way closed the port all the same: the change goes on and the
  // failure is raised after it.
  std::exception_ptr CloseFailure;
  try {
    SetOpen(false);
  } catch (...) {
    if (FOpenState == ostOpen)
      throw;
    CloseFailure = std::current_exception();
  }
  FComNumber = Value;
  SetTracing(WasTracing);
  SetLogging(WasLogging);
  SetOpen(true);
  if (FOpenState == ostOpen)
    FDispatcher->RestoreTriggers(Saved);
  TApdBaseDispatcher::FreeSavedTriggers(Saved);
  if (CloseFailure)
    std::rethrow_exception(CloseFailure);
}

void TApdCustomComPort::SetBaud(int32_t Value) {
  FBaud = Value;
  if (FOpenState == ostOpen)
    Check(FDispatcher->SetLineParams(FBaud, static_cast<uint8_t>(FParity),
                                     static_cast<uint8_t>(FDataBits),
                                     static_cast<uint8_t>(FStopBits)));
}

void TApdCustomComPort::SetParity(TParity Value) {
  FParity = Value;
  SetBaud(FBaud);
}

void TApdCustomComPort::SetDataBits(uint16_t Value) {
  FDataBits = Value;
  SetBaud(FBaud);
}

void TApdCustomComPort::SetStopBits(uint16_t Value) {
  FStopBits = Value;
  SetBaud(FBaud);
}

void TApdCustomComPort::SetInSize(uint16_t Value) {
  FInSize = Value;
  if (FOpenState == ostOpen)
    FDispatcher->SetupQueues(FInSize, FOutSize);
}

void TApdCustomComPort::SetOutSize(uint16_t Value) {
  FOutSize = Value;
  if (FOpenState == ostOpen)
    FDispatcher->SetupQueues(FInSize, FOutSize);
}

void TApdCustomComPort::SetDTR(bool Value) {
  if (Value == FDTR && !FForceApply)
    return;
  int32_t Result = 0;
  if (FOpenState == ostOpen)
    Result = Check(FDispatcher->SetDtr(Value));
  if (FOpenState != ostOpen || Result == 0)
    FDTR = Value;
}

void TApdCustomComPort::SetRTS(bool Value) {
  if (Value == FRTS && !FForceApply)
    return;
  int32_t Result = 0;
  if (FOpenState == ostOpen)
    Result = Check(FDispatcher->SetRts(Value));
  if (FOpenState != ostOpen || Result == 0)
    FRTS = Value;
}

void TApdCustomComPort::SetHWFlowOptions(THWFlowOptionSet Value) {
  if (Value == FHWFlowOptions && !FForceApply)
    return;
  const uint32_t Mask = HWFlowMask(Value);
  if (Mask != 0) {
    if (FBufferFull == 0 || FBufferFull > FInSize)
      FBufferFull = static_cast<uint16_t>(RoundHalfEven(FInSize, 9, 10));
    if (FBufferResume == 0 || FBufferResume > FBufferFull)
      FBufferResume = static_cast<uint16_t>(RoundHalfEven(FInSize, 1, 10));
  }
  if (FOpenState == ostOpen)
    Check(FDispatcher->SetHardwareFlow(FBufferFull, FBufferResume, Mask));
  FHWFlowOptions = Value;
  if (Value & (HWFlowBit(hwfUseRTS) | HWFlowBit(hwfRequireCTS)))
    SetRS485Mode(false);
}

void TApdCustomComPort::SetSWFlowOptions(TSWFlowOptions Value) {
  if (Value == FSWFlowOptions && !FForceApply)
    return;
  const uint32_t Options = SWFlowValue(Value);
  if (Options != 0) {
    if (FBufferFull == 0 || FBufferFull > FInSize)
      FBufferFull = static_cast<uint16_t>(RoundHalfEven(FInSize, 3, 4));
    if (FBufferResume == 0 || FBufferResume > FBufferFull)
      FBufferResume = static_cast<uint16_t>(RoundHalfEven(FInSize, 1, 4));
  }
  if (FOpenState == ostOpen) {
    if (Options != 0)
      Check(FDispatcher->SetSoftwareFlow(FBufferFull, FBufferResume, Options));
    else
      Check(FDispatcher->SoftwareFlowOff());
  }
  FSWFlowOptions = Value;
}

void TApdCustomComPort::SetXOnChar(char Value) {
  if (Value == FXOnChar && !FForceApply)
    return;
  FXOnChar = Value;
  if (FOpenState == ostOpen)
    Check(
        FDispatcher->SetFlowChars(static_cast<uint8_t>(FXOnChar), static_cast<uint8_t>(FXOffChar)));
}

void TApdCustomComPort::SetXOffChar(char Value) {
  if (Value == FXOffChar && !FForceApply)
    return;
  FXOffChar = Value;
  if (FOpenState == ostOpen)
    Check(
        FDispatcher->SetFlowChars(static_cast<uint8_t>(FXOnChar), static_cast<uint8_t>(FXOffChar)));
}

void TApdCustomComPort::SetBufferFull(uint16_t Value) {
  if (Value == FBufferFull && !FForceApply)
    return;
  FBufferFull = Value > FInSize ? static_cast<uint16_t>(RoundHalfEven(FInSize, 9, 10)) : Value;
  const bool WasForced = FForceApply;
  FForceApply = true;
  try {
    SetHWFlowOptions(FHWFlowOptions);
    SetSWFlowOptions(FSWFlowOptions);
  } catch (...) {
    FForceApply = WasForced;
    throw;
  }
  FForceApply = WasForced;
}

void TApdCustomComPort::SetBufferResume(uint16_t Value) {
  if (Value == FBufferResume && !FForceApply)
    return;
  FBufferResume =
      Value > FBufferFull ? static_cast<uint16_t>(RoundHalfEven(FBufferFull, 1, 10)) : Value;
  const bool WasForced = FForceApply;
  FForceApply = true;
  try {
    SetHWFlowOptions(FHWFlowOptions);
    SetSWFlowOptions(FSWFlowOptions);
  } catch (...) {
    FForceApply = WasForced;
    throw;
  }
  FForceApply = WasForced;
}

void TApdCustomComPort::SetUseMSRShadow(bool /*Value*/) {
  // The modem status is always read from the dispatcher's shadow.
}

void TApdCustomComPort::SetUseEventWord(bool Value) {
  if (Value == FUseEventWord && !FForceApply)
    return;
  FUseEventWord = Value;
  if (FOpenState == ostOpen) {
    if (Value)
      FDispatcher->SetOptionBits(4);
    else
      FDispatcher->ClearOptionBits(4);
  }
}

void TApdCustomComPort::SetRS485Mode(bool Value) {
  if (Value == FRS485Mode && !FForceApply)
    return;
  FRS485Mode = Value;
  if (FOpenState == ostOpen)
    FDispatcher->SetRs485(Value);
  if (Value) {
    SetHWFlowOptions(FHWFlowOptions & ~(HWFlowBit(hwfUseRTS) | HWFlowBit(hwfRequireCTS)));
    SetRTS(false);
  }
}

void TApdCustomComPort::SetThreadPriorityBoost(uint8_t Value) {
  if (Value == FThreadPriorityBoost && !FForceApply)
    return;
  FThreadPriorityBoost = Value;
  if (FOpenState == ostOpen)
    FDispatcher->ApplyThreadBoost(Value);
}

void TApdCustomComPort::SetAvailTriggerLength(uint16_t Value) {
  if (Value == FAvailTriggerLength && !FForceApply)
    return;
  FAvailTriggerLength = Value;
  if (FOpenState == ostOpen)
    FDispatcher->SetAvailThreshold(Value);
}

// ---------------------------------------------------------------------------------------
// Events

void TApdCustomComPort::SetOnTrigger(TTriggerEvent Value) {
  FOnTrigger = std::move(Value);
  SyncHandlerMode();
}
void TApdCustomComPort::SetOnTriggerAvail(TTriggerAvailEvent Value) {
  FOnTriggerAvail = std::move(Value);
  SyncHandlerMode();
}
void TApdCustomComPort::SetOnTriggerData(TTriggerDataEvent Value) {
  FOnTriggerData = std::move(Value);
  SyncHandlerMode();
}
void TApdCustomComPort::SetOnTriggerStatus(TTriggerStatusEvent Value) {
  FOnTriggerStatus = std::move(Value);
  SyncHandlerMode();
}
void TApdCustomComPort::SetOnTriggerTimer(TTriggerTimerEvent Value) {
  FOnTriggerTimer = std::move(Value);
  SyncHandlerMode();
}
void TApdCustomComPort::SetOnTriggerLineError(TTriggerLineErrorEvent Value) {
  FOnTriggerLineError = std::move(Value);
  SyncHandlerMode();
}
void TApdCustomComPort::SetOnTriggerModemStatus(TNotifyEvent Value) {
  FOnTriggerModemStatus = std::move(Value);
  SyncHandlerMode();
}
void TApdCustomComPort::SetOnTriggerOutbuffFree(TNotifyEvent Value) {
  FOnTriggerOutbuffFree = std::move(Value);
  SyncHandlerMode();
}
void TApdCustomComPort::SetOnTriggerOutbuffUsed(TNotifyEvent Value) {
  FOnTriggerOutbuffUsed = std::move(Value);
  SyncHandlerMode();
}
void TApdCustomComPort::SetOnTriggerOutSent(TNotifyEvent Value) {
  FOnTriggerOutSent = std::move(Value);
  SyncHandlerMode();
}

bool TApdCustomComPort::AnyTriggerEventAssigned() const {
  return FOnTrigger.Assigned() || FOnTriggerAvail.Assigned() || FOnTriggerData.Assigned() ||
         FOnTriggerStatus.Assigned() || FOnTriggerTimer.Assigned() ||
         FOnTriggerLineError.Assigned() || FOnTriggerModemStatus.Assigned() ||
         FOnTriggerOutbuffFree.Assigned() || FOnTriggerOutbuffUsed.Assigned() ||
         FOnTriggerOutSent.Assigned();
}

void TApdCustomComPort::SyncHandlerMode() {
  if (FOpenState != ostOpen)
    return;
  FDispatcher->RefreshHandlerFlags(AnyTriggerEventAssigned() ? 1 : 2);
}

void TApdCustomComPort::FireTrigger(uint16_t Msg, uint16_t TriggerHandle, uint16_t Data) {
  FOnTrigger(this, Msg, TriggerHandle, Data);
}
void TApdCustomComPort::FireTriggerAvail(uint16_t Count) {
  FOnTriggerAvail(this, Count);
}
void TApdCustomComPort::FireTriggerData(uint16_t TriggerHandle) {
  FOnTriggerData(this, TriggerHandle);
}
void TApdCustomComPort::FireTriggerStatus(uint16_t TriggerHandle) {
  FOnTriggerStatus(this, TriggerHandle);
}
void TApdCustomComPort::FireTriggerTimer(uint16_t TriggerHandle) {
  FOnTriggerTimer(this, TriggerHandle);
}
void TApdCustomComPort::FireTriggerLineError(uint16_t Error, bool LineBreak) {
  FOnTriggerLineError(this, Error, LineBreak);
}
void TApdCustomComPort::FireTriggerModemStatus() {
  FOnTriggerModemStatus(this);
}
void TApdCustomComPort::FireTriggerOutbuffFree() {
  FOnTriggerOutbuffFree(this);
}
void TApdCustomComPort::FireTriggerOutbuffUsed() {
  FOnTriggerOutbuffUsed(this);
}
void TApdCustomComPort::FireTriggerOutSent() {
  FOnTriggerOutSent(this);
}
void TApdCustomComPort::FireWaitChar(char Ch) {
  OnWaitChar(this, Ch);
}

// ---------------------------------------------------------------------------------------
// Listeners

int TApdCustomComPort::AddListener(TApdPortListener Listener) {
  Listener.Id = FNextListenerId++;
  FListeners.push_back(std::move(Listener));
  return FListeners.back().Id;
}

bool TApdCustomComPort::RemoveListener(int Id) {
  for (auto It = FListeners.begin(); It != FListeners.end(); ++It) {
    if (It->Id == Id) {
      FListeners.erase(It);
      return true;
    }
  }
  return false;
}

// Listeners are visited last first; a copy keeps the walk safe when one of them registers
// or removes listeners.
void TApdCustomComPort::NotifyOpened() {
  const std::vector<TApdPortListener> Copy = FListeners;
  for (auto It = Copy.rbegin(); It != Copy.rend(); ++It) {
    if (It->Window != 0)
      Platform::SendMessage(It->Window, ApwPortOpen, 0, 0);
    else if (It->WantsClosing) {
      if (It->Extended)
        It->Extended(this, plOpened);
    } else if (It->Simple)
      It->Simple(this, true);
  }
  OnPortOpen(this);
}

void TApdCustomComPort::NotifyClosed() {
  const std::vector<TApdPortListener> Copy = FListeners;
  for (auto It = Copy.rbegin(); It != Copy.rend(); ++It) {
    if (It->Window != 0)
      Platform::SendMessage(It->Window, ApwPortClose, 0, 0);
    else if (It->WantsClosing) {
      if (It->Extended)
        It->Extended(this, plClosed);
    } else if (It->Simple)
      It->Simple(this, false);
  }
  OnPortClose(this);
}

void TApdCustomComPort::NotifyClosing() {
  const std::vector<TApdPortListener> Copy = FListeners;
  for (auto It = Copy.rbegin(); It != Copy.rend(); ++It) {
    if (!It->WantsClosing)
      continue;
    if (It->Window != 0)
      Platform::SendMessage(It->Window, ApwPortClosing, 0, 0);
    else if (It->Extended)
      It->Extended(this, plClosing);
  }
}

// ---------------------------------------------------------------------------------------
// Dispatcher access and forwarding

TApdBaseDispatcher* TApdCustomComPort::ActiveDispatcher() {
  if (!FDispatcher && !LoadingOrDesigning() && FOpenState != ostOpen && FAutoOpen)
    SetOpen(true);
  return FDispatcher.get();
}

TApdBaseDispatcher* TApdCustomComPort::RequireDispatcher() {
  TApdBaseDispatcher* D = ActiveDispatcher();
  if (D == nullptr)
    Check(ecCommNotOpen);
  return D;
}

uint16_t TApdCustomComPort::LineErrorCode() {
  return FOpenState == ostOpen ? FDispatcher->LineErrorCode() : 0;
}

bool TApdCustomComPort::BreakReceived() {
  return FOpenState == ostOpen && FDispatcher->BreakReceived();
}

void TApdCustomComPort::PurgeInput() {
  if (Closing())
    return;
  if (TApdBaseDispatcher* D = RequireDispatcher())
    Check(D->PurgeInput());
}

void TApdCustomComPort::PurgeOutput() {
  if (Closing())
    return;
  if (TApdBaseDispatcher* D = RequireDispatcher())
    Check(D->PurgeOutput());
}

void TApdCustomComPort::YieldDevice() {
  if (Closing())
    return;
  if (TApdBaseDispatcher* D = RequireDispatcher()) {
    // DeviceIdle is one of the device layer's own operations; reach it as a subclass would.
    struct TIdle : TApdBaseDispatcher {
      static int32_t Call(TApdBaseDispatcher* X) { return (X->*(&TIdle::DeviceIdle))(); }
    };
    Check(TIdle::Call(D));
  }
}

int TApdCustomComPort::DeviceHandle() const {
  return FDispatcher ? FDispatcher->DeviceHandle() : -1;
}

std::string TApdCustomComPort::DispatcherDeviceName() const {
  return FDispatcher ? FDispatcher->DeviceName() : std::string();
}

void TApdCustomComPort::SetDispatcherDeviceName(const std::string& Value) {
  if (FDispatcher)
    FDispatcher->SetDeviceName(Value);
}

// ---------------------------------------------------------------------------------------
// Open and close

void TApdCustomComPort::SetOpen(bool Value) {
  // The latest wish counts: a reopen asked for during a deferred close is dropped by a
  // close asked for after it (Open already reads False then).
  if (!Value)
    FReopenPending = false;
  if (Value == FOpen)
    return;
  if (LoadingOrDesigning()) {
    FOpen = Value;
    if (Value)
      FOpenAfterLoad = true;
    return;
  }
  if (!Value) {
    PerformClose();
  } else if (FOpenState == ostClosed) {
    PerformOpen();
  } else {
    FReopenPending = true;
  }
}

void TApdCustomComPort::EnsurePortNumber() {
  if (FComNumber != 0)
    return;
  if (!FPromptForPort) {
    Check(ecNoPortSelected);
    return;
  }
  uint16_t Chosen = 0;
  const int Result = GChooser != nullptr ? GChooser->Choose(Chosen) : 2;
  if (Result != 1 || Chosen == 0) {
    Check(ecNoPortSelected);
    return;
  }
  SetComNumber(Chosen);
}

TApdBaseDispatcher* TApdCustomComPort::MakeDispatcher() {
  if (FDispatcherFactory)
    return FDispatcherFactory(this);
  if (FDeviceLayer != dlWin32) {
    Check(ecNullApi);
    return nullptr;
  }
  if (FTapiMode == tmOn)
    return new TApdTAPI32Dispatcher(this, FTapiHandle);
  return new TApdWin32Dispatcher(this);
}

// The line device hands over a line it has set up: its settings become the properties.
// The descriptor is read directly because the dispatcher takes it over only in OpenPort.
void TApdCustomComPort::ReadBackTapiDevice() {
  termios Current{};
  if (::tcgetattr(FTapiHandle, &Current) != 0)
    return; // not a terminal: OpenPort reports it
  Platform::TLineSettings Line;
  Platform::Detail::SettingsFromTermios(Current, Line);
  uint32_t Rate = 0;
  if (Platform::Detail::GetActualBaud(FTapiHandle, Rate) == 0 && Rate != 0)
    FBaud = static_cast<int32_t>(Rate);
  FParity = static_cast<TParity>(Line.Parity);
  FDataBits = Line.DataBits;
  FStopBits = Line.StopBits == Platform::sbOne ? 1 : 2;
  THWFlowOptionSet Hw = 0;
  if (Line.DtrControl == Platform::dtrHandshake)
    Hw |= HWFlowBit(hwfUseDTR);
  if (Line.RtsControl == Platform::rtsHandshake)
    Hw |= HWFlowBit(hwfUseRTS);
  if (Line.DsrOutFlow)
    Hw |= HWFlowBit(hwfRequireDSR);
  if (Line.CtsOutFlow)
    Hw |= HWFlowBit(hwfRequireCTS);
  FHWFlowOptions = Hw;
  // Transmit Xon/Xoff is the output side, receive the input side.
  if (Line.XonXoffOut && Line.XonXoffIn)
    FSWFlowOptions = swfBoth;
  else if (Line.XonXoffOut)
    FSWFlowOptions = swfTransmit;
  else if (Line.XonXoffIn)
    FSWFlowOptions = swfReceive;
  else
    FSWFlowOptions = swfNone;
  FXOnChar = static_cast<char>(Line.XonChar);
  FXOffChar = static_cast<char>(Line.XoffChar);
}

void TApdCustomComPort::StartDevice() {
  char Name[13] = {};
  if (FTapiMode != tmOn)
    std::snprintf(Name, sizeof Name, "\\\\.\\COM%d", FComNumber);
  uint8_t Options = 0;
  if (FDTR)
    Options |= opDtrLevel;
  if (FRTS)
    Options |= opRtsLevel;
  if (FHWFlowOptions & HWFlowBit(hwfUseDTR))
    Options |= opDtrHandshake;
  if (FHWFlowOptions & HWFlowBit(hwfUseRTS))
    Options |= opRtsHandshake;
  int32_t Result = FDispatcher->OpenPort(
      FTapiMode == tmOn ? nullptr : Name, FBaud, static_cast<uint8_t>(FParity),
      static_cast<uint8_t>(FDataBits), static_cast<uint8_t>(FStopBits), FInSize, FOutSize, Options);
  if (Result == ecAccessDenied)
    Result = ecAlreadyOpen;
  else if (Result == ecFileNotFound || Result == ecPathNotFound)
    Result = ecBadId;
  if (Result != 0) {
    // A handed-over descriptor the device layer took and closed is gone for good.
    if (FTapiMode == tmOn && !DescriptorOpen(FTapiHandle))
      FTapiHandle = -1;
    // Raised even while loading: a port that did not open must not look open.
    CheckException(nullptr, Result < 0 ? Result : ecInternal);
  }
}

void TApdCustomComPort::PerformOpen() {
  if (FTapiMode != tmOn)
    EnsurePortNumber();
  FDispatcher.reset(MakeDispatcher());
  if (!FDispatcher) {
    FOpen = false;
    return; // refused while loading
  }
  FDispatcher->SetDeviceName(Formatted("COM%d", FComNumber));
  try {
    if (FTapiMode == tmOn) {
      if (FTapiHandle < 0)
        CheckException(nullptr, ecNotOpenedByTapi);
      ReadBackTapiDevice();
    }
    StartDevice();
    FOpenState = ostOpen;
    SyncHandlerMode();
    FForceApply = true;
    SetTracing(FTracing);
    SetLogging(FLogging);
    SetHWFlowOptions(FHWFlowOptions);
    SetSWFlowOptions(FSWFlowOptions);
    SetXOnChar(FXOnChar);
    SetXOffChar(FXOffChar);
    SetAvailTriggerLength(FAvailTriggerLength);
    SetDTR(FDTR);
    SetRTS(FRTS);
    SetUseEventWord(FUseEventWord);
    SetRS485Mode(FRS485Mode);
    SetThreadPriorityBoost(FThreadPriorityBoost);
    FForceApply = false;
    FOpen = true;
    BindNotifyWindow(true);
    if (FTriggersSaved) {
      FTriggersSaved = false;
      FDispatcher->RestoreTriggers(FSavedTriggers);
    }
    NotifyOpened();
  } catch (...) {
    FForceApply = false;
    if (FNotifyWindow != 0)
      BindNotifyWindow(false);
    FOpen = false;
    FOpenState = ostClosed;
    FDispatcher.reset();
    if (FTapiMode == tmOn && !DescriptorOpen(FTapiHandle))
      FTapiHandle = -1;
    throw;
  }
}

void TApdCustomComPort::FinishClose() {
  if (FNotifyWindow != 0)
    BindNotifyWindow(false);
  FDispatcher.reset();
  FOpenState = ostClosed;
  FOpen = false;
  // The device layer closed a handed-over descriptor with the port.
  if (FTapiMode == tmOn)
    FTapiHandle = -1;
}

void TApdCustomComPort::PerformClose() {
  if (FOpenState != ostOpen)
    return;
  // A dump that cannot be written must not keep the port open: the first failure is
  // raised once the port is closed.
  std::exception_ptr DumpFailure;
  for (void (TApdCustomComPort::*Dump)(TTraceLogState) :
       {&TApdCustomComPort::SetTracing, &TApdCustomComPort::SetLogging}) {
    try {
      (this->*Dump)(tlDump);
    } catch (...) {
      if (!DumpFailure)
        DumpFailure = std::current_exception();
    }
  }
  FOpenState = ostClosing;
  // Open reads False from here on, so Open := True during a deferred close asks for a reopen.
  FOpen = false;
  NotifyClosing();
  FDispatcher->SaveTriggers(FSavedTriggers);
  FTriggersSaved = true;
  FDispatcher->ClosePort();
  if (FDispatcher->InDispatch() && FNotifyWindow != 0) {
    Platform::PostMessage(FNotifyWindow, ApwPortClosing, 0,
                          static_cast<intptr_t>(FDispatcher->DispatcherHandle()) << 16);
    SafeYield();
  } else {
    FinishClose();
  }
  NotifyClosed();
  if (DumpFailure)
    std::rethrow_exception(DumpFailure);
}

void TApdCustomComPort::Loaded() {
  TApdBaseComponent::Loaded();
  if ((ComponentState() & csDesigning) != 0)
    return;
  if (FOpenAfterLoad)
    FOpen = true;
  if (!FOpen)
    return;
  FOpenAfterLoad = false;
  // PerformOpen runs only on a closed port that Open says is closed.
  FOpen = false;
  try {
    PerformOpen();
  } catch (const std::exception& E) {
    FOpen = false;
    HandlePortException(E);
  }
}

// ---------------------------------------------------------------------------------------
// The notice window

intptr_t ComWindowProc(Platform::TWindowHandle Window, uint32_t Message, uintptr_t WParam,
                       intptr_t LParam) {
  if ((Message < ApwTriggerAvail || Message > ApwTriggerStatus) && Message != ApwPortClosing)
    return 0;
  auto* Port = static_cast<TApdCustomComPort*>(Platform::GetWindowData(Window));
  const int32_t Handle = static_cast<int32_t>((static_cast<uintptr_t>(LParam) >> 16) & 0xFFFF);
  const uint16_t Low = static_cast<uint16_t>(LParam & 0xFFFF);
  if (Port == nullptr) {
    // The port went away during a deferred close: finish it for the dispatcher left behind.
    auto It = Orphans().find(Window);
    if (Message != ApwPortClosing || It == Orphans().end())
      return 0;
    if (It->second->ThreadsRunning()) {
      It->second->PostWhenThreadsEnded(Window, ApwPortClosing, LParam);
      return 0;
    }
    It->second->RemoveWindowHandler(Window);
    std::unique_ptr<TApdBaseDispatcher> Done = std::move(It->second);
    Orphans().erase(It);
    Done.reset();
    Platform::DestroyWindow(Window);
    return 0;
  }
  // A handler may free the port; its destructor clears the window's data.
  auto Alive = [Window, Port] { return Platform::GetWindowData(Window) == Port; };
  try {
    bool Teardown = false;
    {
      Platform::TCriticalSectionGuard Lock(DispatcherListLock());
      TApdBaseDispatcher* D = DispatcherFromHandle(Handle);
      if (D == nullptr || D != Port->Dispatcher())
        return 0;
      if (Message != ApwPortClosing) {
        const uint16_t W = static_cast<uint16_t>(WParam);
        Port->FireTrigger(static_cast<uint16_t>(Message), W, Message == ApwTriggerAvail ? W : Low);
        if (!Alive())
          return 0;
        switch (Message) {
        case ApwTriggerAvail:
          Port->FireTriggerAvail(W);
          break;
        case ApwTriggerData:
          Port->FireTriggerData(W);
          break;
        case ApwTriggerTimer:
          Port->FireTriggerTimer(W);
          break;
        case ApwTriggerStatus: {
          Port->FireTriggerStatus(W);
          if (!Alive())
            return 0;
          int32_t Type = stNotActive;
          if (Port->Dispatcher() == D) {
            TApdSavedTriggers Current;
            D->SaveTriggers(Current);
            if (Current.StatusTriggers)
              for (const TApdStatusTrigger& T : *Current.StatusTriggers)
                if (T.Handle == static_cast<int32_t>(W))
                  Type = T.Type;
          }
          switch (Type) {
          case stModem:
            Port->FireTriggerModemStatus();
            break;
          case stLine: {
            const bool Break = Port->BreakReceived();
            Port->FireTriggerLineError(Port->LineErrorCode(), Break);
            break;
          }
          case stOutBuffFree:
            Port->FireTriggerOutbuffFree();
            break;
          case stOutBuffUsed:
            Port->FireTriggerOutbuffUsed();
            break;
          case stOutSent:
            Port->FireTriggerOutSent();
            break;
          default:
            break;
          }
          break;
        }
        default:
          break;
        }
      } else if (D->ThreadsRunning()) {
        // Asked again when the last worker has ended, not polled in a loop of messages.
        D->PostWhenThreadsEnded(Window, ApwPortClosing, LParam);
      } else {
        Teardown = true;
      }
    }
    if (Teardown) {
      // Outside the registry lock: freeing the dispatcher joins its threads.
      Port->FinishClose();
      if (Port->FReopenPending) {
        Port->FReopenPending = false;
        Port->PerformOpen();
      }
    }
  } catch (const std::exception& E) {
    HandlePortException(E);
  } catch (...) {
    HandlePortException(std::runtime_error("Unknown exception"));
  }
  return 0;
}

void TApdCustomComPort::BindNotifyWindow(bool Bind) {
  if (Bind) {
    static std::once_flag Registered;
    std::call_once(Registered, [] {
      if (!Platform::IsWindowClassRegistered(ComWindowClass))
        Platform::RegisterWindowClass(ComWindowClass, ComWindowProc);
    });
    FNotifyWindow = Platform::CreateHiddenWindow(ComWindowClass, this);
    if (FNotifyWindow != 0 && FDispatcher)
      FDispatcher->RegisterWindowHandler(FNotifyWindow);
    return;
  }
  if (FNotifyWindow == 0)
    return;
  if (FDispatcher)
    FDispatcher->RemoveWindowHandler(FNotifyWindow);
  Platform::DestroyWindow(FNotifyWindow);
  FNotifyWindow = 0;
}

// ---------------------------------------------------------------------------------------
// Assign

void TApdCustomComPort::Assign(TPersistent* Source) {
  auto* Src = dynamic_cast<TApdCustomComPort*>(Source);
  if (Src == nullptr)
    return;
  FListeners = Src->FListeners;
  // Closing this port below saves its own triggers: the source's are put in place after.
  std::optional<TApdSavedTriggers> SourceTriggers;
  if (Src->FOpenState == ostOpen) {
    SourceTriggers.emplace();
    Src->FDispatcher->SaveTriggers(*SourceTriggers);
  }
  FForceApply = Src->FForceApply;
  FDeviceLayer = Src->FDeviceLayer;
  FComNumber = Src->FComNumber;
  FBaud = Src->FBaud;
  FParity = Src->FParity;
  FDataBits = Src->FDataBits;
  FStopBits = Src->FStopBits;
  FInSize = Src->FInSize;
  FOutSize = Src->FOutSize;
  SetOpen(false);
  if (SourceTriggers) {
    FSavedTriggers = std::move(*SourceTriggers);
    FTriggersSaved = true;
  }
  FAutoOpen = Src->FAutoOpen;
  FPromptForPort = Src->FPromptForPort;
  FRS485Mode = Src->FRS485Mode;
  FThreadPriorityBoost = Src->FThreadPriorityBoost;
  FDTR = Src->FDTR;
  FRTS = Src->FRTS;
  FBufferFull = Src->FBufferFull;
  FBufferResume = Src->FBufferResume;
  FHWFlowOptions = Src->FHWFlowOptions;
  FSWFlowOptions = Src->FSWFlowOptions;
  FXOnChar = Src->FXOnChar;
  FXOffChar = Src->FXOffChar;
  FTracing = Src->FTracing;
  FTraceSize = Src->FTraceSize;
  FTraceName = Src->FTraceName;
  FTraceHex = Src->FTraceHex;
  FTraceAllHex = Src->FTraceAllHex;
  FLogging = Src->FLogging;
  FLogSize = Src->FLogSize;
  FLogName = Src->FLogName;
  FLogHex = Src->FLogHex;
  FLogAllHex = Src->FLogAllHex;
  FAvailTriggerLength = Src->FAvailTriggerLength;
  SetOnTrigger(Src->FOnTrigger);
  SetOnTriggerAvail(Src->FOnTriggerAvail);
  SetOnTriggerData(Src->FOnTriggerData);
  SetOnTriggerStatus(Src->FOnTriggerStatus);
  SetOnTriggerTimer(Src->FOnTriggerTimer);
  OnPortOpen = Src->OnPortOpen;
  OnPortClose = Src->OnPortClose;
  FTapiMode = Src->FTapiMode;
}

// ---------------------------------------------------------------------------------------

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
