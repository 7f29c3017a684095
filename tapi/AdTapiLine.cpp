// The line device: registration, opening the line in answer mode, the waits, the line
// messages and their handlers, the caller-ID texts, the port hand-over and the hang-up.
#include "tapi/AdTapi.h"

#include "common/AdExcept.h"
#include "platform/Registry.h"
#include "platform/Text.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <sys/types.h>
#include <unistd.h>
#include <utility>

namespace {

// Components alive on this process: a message still queued for a component that is gone
// (its instance is a plain address) must not reach freed memory.
std::mutex LiveLock;
std::set<const TApdCustomTapiDevice*>& LiveDevices() {
  static std::set<const TApdCustomTapiDevice*> Devices;
  return Devices;
}

bool IsLive(const TApdCustomTapiDevice* Device) {
  std::lock_guard<std::mutex> Guard(LiveLock);
  return LiveDevices().count(Device) != 0;
}

constexpr DWORD AcceptedMediaModes[2] = {LINEMEDIAMODE_UNKNOWN | LINEMEDIAMODE_DATAMODEM |
                                             LINEMEDIAMODE_G3FAX,
                                         LINEMEDIAMODE_UNKNOWN | LINEMEDIAMODE_DATAMODEM |
                                             LINEMEDIAMODE_G3FAX | LINEMEDIAMODE_AUTOMATEDVOICE};
constexpr DWORD OpenPrivilege[2] = {LINECALLPRIVILEGE_OWNER, LINECALLPRIVILEGE_NONE};
constexpr DWORD OpenMediaMode[2] = {LINEMEDIAMODE_DATAMODEM, LINEMEDIAMODE_AUTOMATEDVOICE};

std::string RegistrationValueName(unsigned long Pid) {
  char Name[16];
  std::snprintf(Name, sizeof Name, "$%08lX", Pid & 0xFFFFFFFFul);
  return Name;
}

// Whether the process of a "$XXXXXXXX" value still runs; false for a name that is not one.
bool RegisteredProcessRuns(const std::string& Name, unsigned long& Pid) {
  if (Name.size() != 9 || Name[0] != '$')
    return false;
  for (size_t I = 1; I < Name.size(); ++I)
    if (!std::isxdigit(static_cast<unsigned char>(Name[I])))
      return false;
  Pid = std::stoul(Name.substr(1), nullptr, 16);
  if (Pid == 0 || Pid > 0x7FFFFFFFul)
    return false;
  return kill(static_cast<pid_t>(Pid), 0) == 0 || errno == EPERM;
}

// The program's full file name without its extension.
std::string ApplicationName() {
  char Path[4096];
  const ssize_t Length = readlink("/proc/self/exe", Path, sizeof Path - 1);
  if (Length <= 0)
    return "Ringlet";
  std::string Name(Path, static_cast<size_t>(Length));
  const size_t Slash = Name.rfind('/');
  const size_t Dot = Name.rfind('.');
  if (Dot != std::string::npos && (Slash == std::string::npos || Dot > Slash))
    Name.erase(Dot);
  return Name;
}

// The caller-ID text of one party field: the marker texts unless the address is present.
std::string PartyText(const TTapiRecord<LINECALLINFO>& Info, DWORD LINECALLINFO::*Size,
                      DWORD LINECALLINFO::*Offset) {
  if (!Info)
    return {};
  const DWORD Flags = Info->dwCallerIDFlags;
  if ((Flags & LINECALLPARTYID_ADDRESS) == 0) {
    if (Flags & LINECALLPARTYID_BLOCKED)
      return MessageText(ecTapiCallerIDBlocked);
    if (Flags & LINECALLPARTYID_OUTOFAREA)
      return MessageText(ecTapiOutOfAreaCall);
    if (Flags & LINECALLPARTYID_UNKNOWN)
      return "Unknown";
    if (Flags & LINECALLPARTYID_UNAVAIL)
      return "Unavailable";
  }
  return TapiRecordText(Info, Size, Offset);
}

} // namespace

void TApdCustomTapiDevice::SetLive(TApdCustomTapiDevice* Device, bool Live) {
  std::lock_guard<std::mutex> Guard(LiveLock);
  if (Live)
    LiveDevices().insert(Device);
  else
    LiveDevices().erase(Device);
}

// ---------------------------------------------------------------------------------------
// Results

int TApdCustomTapiDevice::TapiErrorCode(LONG Result) {
  const uint32_t Raw = static_cast<uint32_t>(Result);
  // LINEERR values are 0x80000000 + n; the loader's own failures are already our codes.
  return (Raw & 0xFFFF0000u) == 0x80000000u ? -TapiResultToCode(Raw) : Result;
}

LONG TApdCustomTapiDevice::CheckTapi(LONG Result) {
  if (Result >= 0)
    return Result;
  const uint32_t Raw = static_cast<uint32_t>(Result);
  // LINEERR values are 0x80000000 + n; the loader's own failures are already our codes.
  if ((Raw & 0xFFFF0000u) == 0x80000000u)
    CheckException(this, -TapiResultToCode(Raw));
  else
    CheckException(this, Result);
  return Result;
}

// ---------------------------------------------------------------------------------------
// Registration

bool TApdCustomTapiDevice::InitTapi() {
  if (FLineApp != 0)
    return true;
  if (FInitializing)
    return false;
  FInitializing = true;
  bool Success = false;
  try {
    Platform::TRegistryStore Store;
    Platform::TRegistryKey Key;
    if (Store.OpenKey(TapiRegistryKey, true, Key) == 0) {
      for (const std::string& Name : Key.ValueNames()) {
        try {
          unsigned long Pid = 0;
          // A second instance that still runs keeps its record.
          if (!RegisteredProcessRuns(Name, Pid) && Name.size() == 9 && Name[0] == '$')
            Key.DeleteValue(Name);
        } catch (...) {
        }
      }
    }
    const std::string AppName = ApplicationName();
    DWORD Count = 0;
    bool Retried = false;
    HLINEAPP App = 0;
    for (;;) {
      const LONG Result =
          tuLineInitialize(&App, nullptr, &TapiLineCallback, AppName.c_str(), &Count);
      if (Result == 0)
        break;
      if (static_cast<uint32_t>(Result) == LINEERR_REINIT && !Retried) {
        Retried = true;
        const uint32_t Start = AdTimeGetTime();
        while (AdTimeGetTime() - Start < FReinitPause)
          PumpOnce();
        continue;
      }
      // Anything else ends the registration attempt; the next line call reports its error.
      CheckTapi(Result < 0 ? Result : static_cast<LONG>(LINEERR_OPERATIONFAILED));
      throw ETapiUnexpected(ecTapiUnexpected);
    }
    FLineApp = App;
    if (FDeviceCount == 0)
      FDeviceCount = Count;
    if (Key.IsOpen())
      Key.WriteInteger(RegistrationValueName(static_cast<unsigned long>(getpid())), FLineApp);
    FLineHandle = 0;
    FCallHandle = 0;
    Success = true;
  } catch (...) {
    Success = false;
  }
  FInitializing = false;
  return Success;
}

void TApdCustomTapiDevice::ShutdownTapi() {
  if (FLineApp == 0)
    return;
  HangUp(true);
  const HLINEAPP App = FLineApp;
  FLineApp = 0;
  FLineHandle = 0;
  FCallHandle = 0;
  FLineOpen = false;
  const LONG Result = tuLineShutdown(App);
  Platform::TRegistryStore Store;
  Platform::TRegistryKey Key;
  if (Store.OpenKey(TapiRegistryKey, false, Key) == 0)
    Key.DeleteValue(RegistrationValueName(static_cast<unsigned long>(getpid())));
  CheckTapi(Result);
}

// ---------------------------------------------------------------------------------------
// Opening and answering

void TApdCustomTapiDevice::SetLineOpen(bool Value) {
  if (!Value) {
    if (FLineOpen || FOpenRequest != 0)
      HangUp(true);
    return;
  }
  InitTapi();
  ResolveDeviceID();
  if (FLineOpen)
    return;
  ++FAttemptId;
  FFailReported = false;
  HLINE Line = 0;
  CheckTapi(tuLineOpen(FLineApp, static_cast<DWORD>(FDeviceID), &Line, FAPIVersion, 0,
                       reinterpret_cast<DWORD_PTR>(this), OpenPrivilege[FDialing ? 1 : 0],
                       OpenMediaMode[FEnableVoice ? 1 : 0], nullptr));
  FLineHandle = Line;
  FTapiActive = true;
  FEverOpened = true;
  const LONG Result = tuLineSetStatusMessages(FLineHandle, LINEDEVSTATE_ALL, 0x1FF);
  if (Result != 0) {
    // A line we cannot follow is closed again, or it would stay open unseen.
    tuLineClose(FLineHandle);
    FLineHandle = 0;
    FTapiActive = false;
    CheckTapi(Result);
  }
  FLineOpen = true;
  if (!FDialing)
    DoLog(ltapiCallStart);
}

void TApdCustomTapiDevice::PrepareAnswering() {
  if (FComPort == nullptr)
    throw EPortNotAssigned(ecPortNotAssigned);
  if (FComPort->TapiMode() == tmAuto)
    FComPort->SetTapiMode(tmOn);
  if (FComPort->TapiMode() == tmOn) {
    if (CurrentCallState() != 0)
      throw ETapiBusy(ecTapiBusy);
  } else {
    throw ETapiNotSet(ecTapiNotSet);
  }
  InitTapi();
  FCancelled = false;
  FDialing = false;
  FStatusSuppressed = false;
  SetLineOpen(false);
}

void TApdCustomTapiDevice::StartAnswering() {
  PrepareAnswering();
  SetLineOpen(true);
  FAnswering = true;
  if (FStatusDisplay != nullptr)
    FStatusDisplay->SetAnswering(true);
}

void TApdCustomTapiDevice::BeginAnswering() {
  PrepareAnswering();
  ResolveDeviceID();
  ++FAttemptId;
  FFailReported = false;
  HLINE Line = 0;
  const auto Open = [&](DWORD Options) {
    return tuLineOpen(FLineApp, static_cast<DWORD>(FDeviceID), &Line, FAPIVersion, 0,
                      reinterpret_cast<DWORD_PTR>(this), OpenPrivilege[0] | Options,
                      OpenMediaMode[FEnableVoice ? 1 : 0], nullptr);
  };
  LONG Result = Open(RINGLET_OPENOPTION_BACKGROUND);
  // A library that opens only while the caller waits refuses the option.
  if (static_cast<uint32_t>(Result) == LINEERR_INVALPRIVSELECT)
    Result = Open(0);
  CheckTapi(Result);
  FLineHandle = Line;
  FTapiActive = true;
  FEverOpened = true;
  FAnswering = true;
  if (FStatusDisplay != nullptr)
    FStatusDisplay->SetAnswering(true);
  if (Result > 0) {
    FOpenRequest = Result; // the rest follows its LINE_REPLY
    return;
  }
  // Opened at once: the outcome is still told after this call, as it would be later.
  FOpenedAtOnce = FollowOpenedLine();
  PostEvent(teAnswering, FAttemptId);
}

LONG TApdCustomTapiDevice::FollowOpenedLine() {
  const LONG Result = tuLineSetStatusMessages(FLineHandle, LINEDEVSTATE_ALL, 0x1FF);
  if (Result != 0) {
    // A line we cannot follow is closed again, or it would stay open unseen.
    tuLineClose(FLineHandle);
    FLineHandle = 0;
    FTapiActive = false;
    FAnswering = false;
    return Result;
  }
  FLineOpen = true;
  DoLog(ltapiCallStart);
  return 0;
}

void TApdCustomTapiDevice::LineOpened(LONG Result) {
  FOpenRequest = 0;
  if (Result == 0) {
    Result = FollowOpenedLine();
  } else {
    // The library has let the line go; the handle is void.
    FLineHandle = 0;
    FTapiActive = false;
    FAnswering = false;
  }
  OnTapiAnswering(this, Result == 0 ? 0 : TapiErrorCode(Result));
}

void TApdCustomTapiDevice::StopCall() {
  FWavePlaying = false;
  FCancelled = true;
  DoLog(ltapiCancel);
  HangUp(true);
  FAnswering = false;
}

// ---------------------------------------------------------------------------------------
// Waits

void TApdCustomTapiDevice::PumpOnce() {
  if (!SafeYield())
    Platform::WaitMessage(10);
}

LONG TApdCustomTapiDevice::WaitForReply(LONG RequestID) {
  if (FInReplyWait)
    return 1;
  if (RequestID <= 0)
    return RequestID;
  FInReplyWait = true;
  FReplyID = RequestID;
  FReplyReceived = false;
  FReplyResult = static_cast<LONG>(LINEERR_OPERATIONFAILED);
  const uint32_t Start = AdTimeGetTime();
  LONG Result = 2;
  try {
    for (;;) {
      if (FReplyReceived) {
        Result = FReplyResult;
        break;
      }
      PumpOnce();
      if (FReplyReceived)
        continue;
      if (!FTapiActive) {
        Result = 1;
        break;
      }
      if (AdTimeGetTime() - Start > FWaitLimit) {
        Result = 2;
        break;
      }
    }
  } catch (...) {
    FInReplyWait = false;
    throw;
  }
  FInReplyWait = false;
  return Result;
}

int TApdCustomTapiDevice::WaitForCallState(DWORD State) {
  if (FInStateWait)
    return 1;
  FInStateWait = true;
  FStateChanged = false;
  const uint32_t Start = AdTimeGetTime();
  int Result = 0;
  try {
    while (FLastCallState != State) {
      PumpOnce();
      if (State == 0 && FStateChanged)
        break;
      if (FLastCallState == State)
        break;
      if (!FTapiActive) {
        Result = 1;
        break;
      }
      if (AdTimeGetTime() - Start > FWaitLimit) {
        Result = 2;
        break;
      }
    }
  } catch (...) {
    FInStateWait = false;
    throw;
  }
  FInStateWait = false;
  return Result;
}

int TApdCustomTapiDevice::CurrentCallState() {
  if (FCallHandle == 0)
    return 0;
  TTapiRecord<LINECALLSTATUS> Status;
  if (tuLineGetCallStatus(FCallHandle, Status) != 0 || !Status)
    return 0;
  const DWORD State = Status->dwCallState;
  for (int Bit = 0; Bit <= 14; ++Bit)
    if (State == (1u << Bit))
      return Bit;
  return 15;
}

void TApdCustomTapiDevice::RefreshCallInfo(HCALL Call) {
  FCallInfo.Reset();
  TTapiRecord<LINECALLINFO> Info;
  // A block handed out together with an error holds nothing we may trust.
  if (tuLineGetCallInfo(Call, Info) == 0)
    FCallInfo = std::move(Info);
}

// ---------------------------------------------------------------------------------------
// Hang-up

bool TApdCustomTapiDevice::CloseTapiPort() {
  if (FComPort == nullptr)
    return false;
  const bool WasOpen = FComPort->Open();
  FComPort->SetOpen(false);
  FComPort->SetTapiHandle(-1);
  return WasOpen;
}

void TApdCustomTapiDevice::EndOfCallReport(bool WasConnected) {
  if (FStatusSuppressed)
    return;
  DoStatus(false, true, 0, 0, 0, 0, 0);
  DoLog(ltapiCallFinish);
  if (!WasConnected) {
    DoLog(ltapiDialFail);
    PostEvent(teFail, FAttemptId);
  }
}

void TApdCustomTapiDevice::HangUp(bool /*NoRedial*/) {
  if (FClosing)
    return;
  // A line still being set up is given up: its outcome is never reported.
  FOpenRequest = 0;
  const bool WasConnected = FConnected;
  if (FTapiActive) {
    FClosing = true;
    try {
      bool PortWasOpen = false;
      try {
        PortWasOpen = CloseTapiPort();
      } catch (const std::exception& E) {
        HandleApplicationException(E);
      }
      if (FCallHandle != 0) {
        if (CurrentCallState() != 0) {
          WaitForReply(tuLineDrop(FCallHandle, nullptr, 0));
          WaitForCallState(LINECALLSTATE_IDLE);
        }
        tuLineDeallocateCall(FCallHandle);
      }
      if (FLineHandle != 0)
        tuLineClose(FLineHandle);
      FCallHandle = 0;
      FLineHandle = 0;
      FLineOpen = false;
      FConnected = false;
      FTapiActive = false;
      if (PortWasOpen)
        PostEvent(tePortClose);
      DoLog(ltapiDrop);
    } catch (...) {
      // The report and the flags below still run; then the failure goes to the caller.
      FCallHandle = 0;
      FLineHandle = 0;
      FLineOpen = false;
      FConnected = false;
      try {
        EndOfCallReport(WasConnected);
      } catch (...) {
      }
      FClosing = false;
      FTapiActive = false;
      throw;
    }
    try {
      EndOfCallReport(WasConnected);
    } catch (...) {
      FClosing = false;
      FTapiActive = false;
      throw;
    }
    FClosing = false;
    FTapiActive = false;
    return;
  }
  if (FEverOpened) {
    // A stop on a closed line reports the failure once more, as an attempt of its own.
    ++FAttemptId;
    FFailReported = false;
    EndOfCallReport(WasConnected);
  }
  FCallHandle = 0;
  FLineHandle = 0;
  FLineOpen = false;
  FConnected = false;
}

// ---------------------------------------------------------------------------------------
// Caller ID

std::string TApdCustomTapiDevice::CallerIDNumber() const {
  return PartyText(FCallInfo, &LINECALLINFO::dwCallerIDSize, &LINECALLINFO::dwCallerIDOffset);
}

std::string TApdCustomTapiDevice::CallerIDName() const {
  return PartyText(FCallInfo, &LINECALLINFO::dwCallerIDNameSize,
                   &LINECALLINFO::dwCallerIDNameOffset);
}

// ---------------------------------------------------------------------------------------
// Port hand-over

int TApdCustomTapiDevice::GetCommHandle() {
  TTapiRecord<VARSTRING> Buffer = NewVarString(VarStringBufferSize);
  if (!Buffer)
    return -1;
  if (tuLineGetID(FLineHandle, 0, FCallHandle, LINECALLSELECT_CALL, Buffer.Get(),
                  "comm/datamodem") != 0)
    return -1;
  const std::string_view Data =
      TapiRecordBytes(Buffer, &VARSTRING::dwStringSize, &VARSTRING::dwStringOffset);
  if (Data.size() < sizeof(int32_t))
    return -1;
  int32_t Handle = -1;
  std::memcpy(&Handle, Data.data(), sizeof Handle);
  return Handle;
}

void TApdCustomTapiDevice::OpenTapiPort() {
  if (FComPort == nullptr)
    return;
  int Handle = -1;
  try {
    FComPort->SetOpen(false);
    Handle = GetCommHandle();
    FComPort->SetTapiHandle(Handle);
    FComPort->SetOpen(true);
    Handle = -1; // the open port owns it now
    FComPort->FlushInBuffer();
    FComPort->FlushOutBuffer();
    FComPort->SetDispatcherDeviceName(FSelectedDevice);
    WatchFarEnd();
    FAnswering = false;
    PostEvent(tePortOpen);
  } catch (...) {
    // A handle the port did not take is ours to close, or it would leak. One its device layer
    // took and closed already is gone from TapiHandle: closing it again could hit a reused
    // descriptor.
    if (Handle >= 0 && !FComPort->Open() && FComPort->TapiHandle() == Handle) {
      ::close(Handle);
      FComPort->SetTapiHandle(-1);
    }
    PostEvent(teFail, FAttemptId);
  }
}

// The port reads the modem now, and with it the modem's NO CARRIER when the far end hangs up.
// The notice comes on the dispatcher's thread: it only posts, so the hang-up runs here later.
void TApdCustomTapiDevice::WatchFarEnd() {
  TApdBaseDispatcher* Dispatcher = FComPort->Dispatcher();
  if (Dispatcher == nullptr || FFarEndListener != 0)
    return;
  const int32_t Trigger = Dispatcher->AddDataTrigger(FarEndGoneText, false);
  if (Trigger <= 0)
    return;
  const Platform::TWindowHandle Window = FEventWindow;
  const auto Attempt = static_cast<intptr_t>(FAttemptId);
  Dispatcher->RegisterMethodHandler(
      this,
      [Window, Trigger, Attempt](uint32_t Message, uintptr_t WParam, intptr_t) {
        if (Message == ApwTriggerData && static_cast<int32_t>(WParam) == Trigger)
          Platform::PostMessage(Window, TapiEventMessage, teFarEndGone, Attempt);
      },
      false);
  FFarEndTrigger = Trigger;
  TApdPortListener Listener;
  Listener.WantsClosing = true;
  // Before the port keeps its triggers for the next open: this one belongs to this call.
  Listener.Extended = [this](TApdCustomComPort*, TPortListenerKind Kind) {
    if (Kind == plClosing)
      StopWatchingFarEnd();
  };
  FFarEndListener = FComPort->AddListener(std::move(Listener));
}

void TApdCustomTapiDevice::StopWatchingFarEnd() {
  if (FFarEndListener == 0 || FComPort == nullptr)
    return;
  if (TApdBaseDispatcher* Dispatcher = FComPort->Dispatcher()) {
    Dispatcher->RemoveTrigger(FFarEndTrigger);
    Dispatcher->RemoveMethodHandler(this);
  }
  FComPort->RemoveListener(FFarEndListener);
  FFarEndListener = 0;
  FFarEndTrigger = 0;
}

// ---------------------------------------------------------------------------------------
// Deferred events

void TApdCustomTapiDevice::DeferredEvent(uintptr_t Which, intptr_t LParam) {
  switch (Which) {
  case teConnect:
    OnTapiConnect(this);
    break;
  case tePortOpen:
    OnTapiPortOpen(this);
    break;
  case tePortClose:
    OnTapiPortClose(this);
    break;
  case teFail: {
    const auto Attempt = static_cast<uint32_t>(LParam);
    if (Attempt == FFailReportedAttempt)
      break;
    FFailReportedAttempt = Attempt;
    if (Attempt == FAttemptId)
      FFailReported = true;
    OnTapiFail(this);
    if (!FLineOpen)
      FAnswering = false;
    break;
  }
  case teLineCreate:
    LineCreate(0, static_cast<DWORD_PTR>(LParam), 0, 0);
    break;
  case teAnswering: {
    // Only for the attempt that opened at once, and only while its line is still open.
    if (static_cast<uint32_t>(LParam) == FAttemptId && (FOpenedAtOnce != 0 || FLineOpen))
      OnTapiAnswering(this, FOpenedAtOnce == 0 ? 0 : TapiErrorCode(FOpenedAtOnce));
    break;
  }
  case teFarEndGone:
    // Only for the call whose port saw it, and only while that call is up.
    if (static_cast<uint32_t>(LParam) == FAttemptId && FConnected && !FClosing)
      HangUp(false);
    break;
  default:
    break;
  }
}

// ---------------------------------------------------------------------------------------
// Line messages

void TApdCustomTapiDevice::TapiLineCallback(DWORD Device, DWORD Message, DWORD_PTR Instance,
                                            DWORD_PTR Param1, DWORD_PTR Param2, DWORD_PTR Param3) {
  try {
    // The library gives LINE_CREATE no instance: every window of ours hears of it.
    if (Message == LINE_CREATE)
      Platform::BroadcastMessage(TapiEventMessage, teLineCreate, static_cast<intptr_t>(Param1));
    auto* Self = reinterpret_cast<TApdCustomTapiDevice*>(Instance);
    if (Self == nullptr || !IsLive(Self))
      return;
    Self->HandleLineMessage(Device, Message, Param1, Param2, Param3);
  } catch (const std::exception& E) {
    HandleApplicationException(E);
  } catch (...) {
    HandleApplicationException(std::runtime_error("Unknown exception"));
  }
}

void TApdCustomTapiDevice::HandleLineMessage(DWORD Device, DWORD Message, DWORD_PTR Param1,
                                             DWORD_PTR Param2, DWORD_PTR Param3) {
  switch (Message) {
  case LINE_CALLINFO:
    LineCallInfo(Device, Param1, Param2, Param3);
    break;
  case LINE_CALLSTATE:
    LineCallState(Device, Param1, Param2, Param3);
    break;
  case LINE_CLOSE:
    LineClose(Device, Param1, Param2, Param3);
    break;
  case LINE_GENERATE:
    LineGenerate(Device, Param1, Param2, Param3);
    break;
  case LINE_LINEDEVSTATE:
    LineDevState(Device, Param1, Param2, Param3);
    break;
  case LINE_MONITORDIGITS:
    LineMonitorDigits(Device, Param1, Param2, Param3);
    break;
  case LINE_MONITORMEDIA:
    LineMonitorMedia(Device, Param1, Param2, Param3);
    break;
  case LINE_MONITORTONE:
    LineMonitorTone(Device, Param1, Param2, Param3);
    break;
  case LINE_REPLY:
    LineReply(Device, Param1, Param2, Param3);
    break;
  case LINE_REQUEST:
    LineRequest(Device, Param1, Param2, Param3);
    break;
  case LINE_CREATE:
    LineCreate(Device, Param1, Param2, Param3);
    break;
  default:
    break;
  }
}

void TApdCustomTapiDevice::LineCallInfo(DWORD Device, DWORD_PTR Param1, DWORD_PTR Param2,
                                        DWORD_PTR Param3) {
  RefreshCallInfo(Device);
  if (Param1 & LINECALLINFOSTATE_CALLERID) {
    const std::string Name(Platform::Trim(CallerIDName()));
    const std::string Number(Platform::Trim(CallerIDNumber()));
    OnTapiCallerID(this, Number, Name);
  }
  DoStatus(false, false, Device, LINE_CALLINFO, Param1, Param2, Param3);
}

void TApdCustomTapiDevice::LineCallState(DWORD Device, DWORD_PTR Param1, DWORD_PTR Param2,
                                         DWORD_PTR Param3) {
  FLastCallState = static_cast<DWORD>(Param1);
  FStateChanged = true;
  switch (Param1) {
  case LINECALLSTATE_IDLE:
    DoStatus(false, false, Device, LINE_CALLSTATE, Param1, Param2, Param3);
    HangUp(false);
    break;
  case LINECALLSTATE_OFFERING:
    RefreshCallInfo(Device);
    if (!FCallInfo)
      throw ETapiUnexpected(ecTapiUnexpected);
    if ((FCallInfo->dwMediaMode & AcceptedMediaModes[FEnableVoice ? 1 : 0]) == 0)
      break;
    FCallHandle = Device;
    DoStatus(true, false, Device, LINE_CALLSTATE, Param1, Param2, Param3);
    WaitForReply(tuLineAccept(FCallHandle, nullptr, 0));
    DoLog(ltapiAccept);
    break;
  case LINECALLSTATE_DIALTONE:
    DoStatus(true, false, Device, LINE_CALLSTATE, Param1, Param2, Param3);
    break;
  case LINECALLSTATE_BUSY:
    DoLog(ltapiBusy);
    DoStatus(false, false, Device, LINE_CALLSTATE, Param1, Param2, Param3);
    HangUp(false);
    break;
  case LINECALLSTATE_SPECIALINFO:
    DoStatus(false, false, Device, LINE_CALLSTATE, Param1, Param2, Param3);
    HangUp(false);
    break;
  case LINECALLSTATE_CONNECTED:
    // A call being hung up stays down: its modem is handed to nobody.
    if (FConnected || FClosing)
      break;
    RefreshCallInfo(FCallHandle != 0 ? FCallHandle : Device);
    FConnected = true;
    if (FEnableVoice) {
      if (tuLineMonitorDigits(FCallHandle, LINEDIGITMODE_DTMF) != 0 && !OnTapiDTMF.Assigned())
        throw ETapiVoiceNotSupported(ecTapiVoiceNotSupported);
    } else {
      OpenTapiPort();
    }
    DoStatus(false, true, Device, LINE_CALLSTATE, Param1, Param2, Param3);
    PostEvent(teConnect);
    DoLog(ltapiConnect);
    break;
  case LINECALLSTATE_DISCONNECTED:
    FDisconnectReason = static_cast<DWORD>(Param2);
    DoStatus(false, false, Device, LINE_CALLSTATE, Param1, Param2, Param3);
    if (Param2 == LINEDISCONNECTMODE_BUSY)
      DoLog(ltapiBusy);
    HangUp(false);
    break;
  default: // ACCEPTED, DIALING, RINGBACK, PROCEEDING, ONHOLD and the rest
    DoStatus(false, false, Device, LINE_CALLSTATE, Param1, Param2, Param3);
    break;
  }
}

void TApdCustomTapiDevice::LineClose(DWORD /*Device*/, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
  FLineHandle = 0;
  FCallHandle = 0;
  HangUp(true);
}

void TApdCustomTapiDevice::LineCreate(DWORD /*Device*/, DWORD_PTR Param1, DWORD_PTR, DWORD_PTR) {
  if (Param1 >= FDeviceCount)
    FDeviceCount = static_cast<DWORD>(Param1) + 1;
  BuildDeviceList();
}

void TApdCustomTapiDevice::LineDevState(DWORD Device, DWORD_PTR Param1, DWORD_PTR Param2,
                                        DWORD_PTR Param3) {
  switch (Param1) {
  case LINEDEVSTATE_RINGING:
    DoStatus(false, false, Device, LINE_LINEDEVSTATE, Param1, Param2, Param3);
    // Rings of a call that was dropped (the phone rings on) or the end of the ringing (0)
    // have no call to answer.
    if (FCallHandle != 0 && Param3 != 0 && FAnswerOnRing <= Param3) {
      WaitForReply(tuLineAnswer(FCallHandle, nullptr, 0));
      DoLog(ltapiAnswer);
    }
    break;
  case LINEDEVSTATE_DISCONNECTED:
  case LINEDEVSTATE_OUTOFSERVICE:
  case LINEDEVSTATE_MAINTENANCE:
    HangUp(true);
    break;
  case LINEDEVSTATE_REINIT:
    if (Param2 == 0)
      ShutdownTapi();
    else if (Param2 == LINE_LINEDEVSTATE)
      LineDevState(Device, Param3, 0, 0);
    else if (Param2 == LINE_CREATE)
      LineCreate(Device, Param3, 0, 0);
    break;
  default:
    break;
  }
}

void TApdCustomTapiDevice::LineGenerate(DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

void TApdCustomTapiDevice::LineMonitorDigits(DWORD /*Device*/, DWORD_PTR Param1, DWORD_PTR,
                                             DWORD_PTR) {
  const char Digit = static_cast<char>(Param1 & 0xFF);
  if (Digit == 0 || Digit == ' ')
    return;
  if (FWaveInterrupt) {
    FWavePlaying = false; // nothing plays here; an interrupt stops any output
    OnTapiDTMF(this, Digit, 0);
  } else if (!FWavePlaying) {
    OnTapiDTMF(this, Digit, 0);
  }
  DoLog(ltapiReceivedDigit);
}

void TApdCustomTapiDevice::LineMonitorMedia(DWORD Device, DWORD_PTR Param1, DWORD_PTR Param2,
                                            DWORD_PTR Param3) {
  DoStatus(false, false, Device, LINE_MONITORMEDIA, Param1, Param2, Param3);
}

void TApdCustomTapiDevice::LineMonitorTone(DWORD Device, DWORD_PTR Param1, DWORD_PTR Param2,
                                           DWORD_PTR Param3) {
  DoStatus(false, false, Device, LINE_MONITORTONE, Param1, Param2, Param3);
}

void TApdCustomTapiDevice::LineReply(DWORD /*Device*/, DWORD_PTR Param1, DWORD_PTR Param2,
                                     DWORD_PTR) {
  if (FOpenRequest != 0 && static_cast<LONG>(Param1) == FOpenRequest) {
    LineOpened(static_cast<LONG>(Param2));
    return;
  }
  if (static_cast<LONG>(Param1) == FReplyID) {
    FReplyReceived = true;
    FReplyResult = static_cast<LONG>(Param2);
  }
}

void TApdCustomTapiDevice::LineRequest(DWORD Device, DWORD_PTR Param1, DWORD_PTR Param2,
                                       DWORD_PTR Param3) {
  DoStatus(false, false, Device, LINE_REQUEST, Param1, Param2, Param3);
}
