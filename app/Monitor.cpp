// The monitoring flow shared by the front ends.
#include "app/Monitor.h"

#include "common/AdExcept.h"
#include "platform/DeviceAccess.h"
#include "platform/DeviceHolder.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <utility>

namespace {

// Counts the monitor's own calls into the device, so that Poll never re-enters them.
class TBusy {
public:
  explicit TBusy(int& Depth) : FDepth(Depth) { ++FDepth; }
  ~TBusy() { --FDepth; }
  TBusy(const TBusy&) = delete;
  TBusy& operator=(const TBusy&) = delete;

private:
  int& FDepth;
};

} // namespace

std::string CallTimeText(std::time_t Moment) {
  std::tm Local{};
  localtime_r(&Moment, &Local);
  char Text[32];
  std::strftime(Text, sizeof Text, "%d/%m/%Y  %H:%M:%S", &Local);
  return Text;
}

namespace {

std::string& SettingsFileStorage() {
  static std::string FileName;
  return FileName;
}

// The reason a field is absent, read from the marker texts the line device shows for it.
TAbsence AbsenceOf(const std::string& Text) {
  if (Text.empty() || Text == "Unknown" || Text == "Unavailable")
    return abUnavailable;
  if (Text == MessageText(ecTapiCallerIDBlocked))
    return abWithheld;
  if (Text == MessageText(ecTapiOutOfAreaCall))
    return abOutOfArea;
  return abNone;
}

// Why the caller-ID parts are absent, from the flags the texts were made from: a party without
// its address shows the marker of its flags for the number and the name alike.
TAbsence FlagAbsence(DWORD Flags) {
  if (Flags & LINECALLPARTYID_BLOCKED)
    return abWithheld;
  if (Flags & LINECALLPARTYID_OUTOFAREA)
    return abOutOfArea;
  return abUnavailable;
}

void PartyAbsences(DWORD Flags, const std::string& ID, const std::string& IDName, TAbsence& Number,
                   TAbsence& Name) {
  if ((Flags & LINECALLPARTYID_ADDRESS) == 0) {
    Number = Name = FlagAbsence(Flags);
    return;
  }
  Number = ID.empty() ? abUnavailable : abNone;
  Name = (Flags & LINECALLPARTYID_NAME) && !IDName.empty() ? abNone : abUnavailable;
}

// The serial device of the selected line, as the library names it; "" when no line is
// selected (asking then could open the selection dialog) or the line has no serial device.
std::string SelectedDevicePath(TApdTapiDevice& Phone) {
  if (Phone.SelectedDevice().empty())
    return {};
  const int Id = Phone.FindDeviceID(Phone.SelectedDevice());
  TTapiRecord<VARSTRING> Buffer = NewVarString();
  if (Id < 0 || !Buffer ||
      tuLineGetDevConfig(static_cast<DWORD>(Id), Buffer.Get(), "comm/datamodem/portname") != 0)
    return {};
  const std::string_view Path =
      TapiRecordBytes(Buffer, &VARSTRING::dwStringSize, &VARSTRING::dwStringOffset);
  return std::string(Path.substr(0, Path.find('\0')));
}

// The words for what a line function returned: a LINEERR value or a code of the loader.
std::string LineResultText(LONG Result) {
  const auto Raw = static_cast<uint32_t>(Result);
  return MessageText((Raw & 0xFFFF0000u) == 0x80000000u ? -TapiResultToCode(Raw) : Result);
}

} // namespace

void SetSettingsFileName(const std::string& FileName) {
  SettingsFileStorage() = FileName;
}

const std::string& SettingsFileName() {
  return SettingsFileStorage();
}

TCallRecord MakeCallRecord(std::time_t Moment, const std::string& Line, const std::string& ID,
                           const std::string& IDName) {
  return MakeCallRecord(Moment, Line, ID, IDName, AbsenceOf(ID), AbsenceOf(IDName));
}

TCallRecord MakeCallRecord(std::time_t Moment, const std::string& Line, const std::string& ID,
                           const std::string& IDName, TAbsence NumberAbsent, TAbsence NameAbsent) {
  TCallRecord Record;
  Record.Time = CallTimeText(Moment);
  Record.ID = ID;
  Record.IDName = IDName;
  Record.Moment = Moment;
  Record.Line = Line;
  Record.NumberAbsent = NumberAbsent;
  Record.NameAbsent = NameAbsent;
  if (Record.NumberAbsent == abNone)
    Record.Number = ID;
  if (Record.NameAbsent == abNone)
    Record.Name = IDName;
  return Record;
}

TCallMonitor::TCallMonitor(TComponent* AOwner) : TComponent(AOwner) {
  BeginLoading();
  try {
    FPhoneCom = CreateComponent<TApdComPort>(this);
    FPhoneCom->SetName("PhoneCom");
    FPhoneCom->SetAutoOpen(false);
    FPhoneCom->SetTraceName("CallerID.trc");
    FPhoneCom->SetLogging(tlOn);
    FPhoneCom->SetLogName("CallerID.log");

    FPhone = CreateComponent<TApdTapiDevice>(this);
    FPhone->SetName("Phone");
    FPhone->SetComPort(FPhoneCom);
    FPhone->SetAnswerOnRing(50);
    FPhone->SetRetryWait(15);
    FPhone->SetMaxAttempts(1);
    FPhone->SetShowTapiDevices(true);
    FPhone->SetShowPorts(false);
    FPhone->SetEnableVoice(false);
    FPhone->OnTapiCallerID = [this](TObject* CP, const std::string& ID, const std::string& IDName) {
      PhoneTapiCallerID(CP, ID, IDName);
    };
    FPhone->OnTapiFail = [this](TObject* Sender) { PhoneTapiFail(Sender); };
    FPhone->OnTapiStatus = [this](TObject*, bool, bool, int, int Message, int Param1, int,
                                  int Param3) {
      if (Message == LINE_LINEDEVSTATE && Param1 == LINEDEVSTATE_RINGING)
        ReportRing(static_cast<unsigned>(Param3));
    };
    FPhone->OnTapiAnswering = [this](TObject*, int ErrorCode) { PhoneTapiAnswering(ErrorCode); };

    FIniSettings = CreateComponent<TRzRegIniFile>(this);
    FIniSettings->SetName("IniSettings");
    if (!SettingsFileName().empty())
      FIniSettings->SetPath(SettingsFileName());
  } catch (...) {
    EndLoading();
    throw;
  }
  EndLoading();
}

TCallMonitor::~TCallMonitor() {
  // The device may call back while it goes; nothing of ours must run then.
  if (FPhone != nullptr) {
    FPhone->OnTapiCallerID = nullptr;
    FPhone->OnTapiFail = nullptr;
    FPhone->OnTapiStatus = nullptr;
    FPhone->OnTapiAnswering = nullptr;
  }
}

std::string TCallMonitor::LoadSettings() {
  return FIniSettings->ReadString(SettingsSection, SettingsDeviceKey, "");
}

void TCallMonitor::SaveSettings(const std::string& DeviceName) {
  FIniSettings->WriteString(SettingsSection, SettingsDeviceKey, DeviceName);
}

void TCallMonitor::StartMonitoring() {
  TBusy Busy(FBusy);
  FPhone->SetAnswerOnRing(50);
  FPhone->StartAnswering();
}

void TCallMonitor::BeginMonitoring() {
  TBusy Busy(FBusy);
  FPhone->SetAnswerOnRing(50);
  FPhone->BeginAnswering();
}

void TCallMonitor::StopMonitoring() {
  TBusy Busy(FBusy);
  FPhone->StopCall();
}

void TCallMonitor::Start() {
  try {
    StartMonitoring();
  } catch (const std::exception& E) {
    RaiseStartFailure(E);
  }
  EnterMonitoring();
}

void TCallMonitor::Begin() {
  try {
    BeginMonitoring();
  } catch (const std::exception& E) {
    RaiseStartFailure(E);
  }
  EnterMonitoring();
  FStarting = true;
}

void TCallMonitor::EnterMonitoring() {
  FMonitoring = true;
  FLost = false;
  FRearmPending = false;
}

void TCallMonitor::RaiseStartFailure(const std::exception& E) {
  const std::string Advice = AccessAdvice();
  if (!Advice.empty())
    throw EDeviceAccess(Advice);
  const std::string Text = FailureText(E.what());
  if (Text == E.what())
    throw;
  throw EDeviceHeld(Text);
}

void TCallMonitor::Started(int ErrorCode) {
  FStarting = false;
  std::exception_ptr Failure;
  if (ErrorCode != 0) {
    FMonitoring = false;
    // The exception the waiting open raises for the same code, made the same way.
    try {
      try {
        CheckException(nullptr, ErrorCode);
        throw std::runtime_error(MessageText(ErrorCode)); // a code that is not a failure's
      } catch (const std::exception& E) {
        RaiseStartFailure(E);
      }
    } catch (...) {
      Failure = std::current_exception();
    }
  }
  if (OnStarted)
    OnStarted(Failure);
}

void TCallMonitor::Watch() {
  EnterMonitoring();
  FWatchOpening = true;
  try {
    BeginMonitoring();
  } catch (const std::exception& E) {
    LineFailed(E.what());
  }
}

std::string TCallMonitor::AccessAdvice() {
  // "Access denied" alone leaves a user outside the modem's group without a clue, and
  // "already allocated" one whose modem another program has.
  return Platform::DeviceAccessProblem(SelectedDevicePath(*FPhone));
}

std::string TCallMonitor::FailureText(const std::string& What) {
  const std::string Holders = Platform::DescribeDeviceHolders(SelectedDevicePath(*FPhone));
  return Holders.empty() ? What : What + "; the modem is " + Holders;
}

void TCallMonitor::LineFailed(const std::string& What) {
  // The first open of a watched line says what Start would have raised.
  const bool First = std::exchange(FWatchOpening, false);
  const std::string Advice = First ? AccessAdvice() : std::string();
  if (!FLost) {
    FLost = true;
    if (OnLineLost)
      OnLineLost(!Advice.empty() ? Advice : FailureText(What));
  }
  ScheduleRearm(FRearmRetryMs);
}

void TCallMonitor::PhoneTapiAnswering(int ErrorCode) {
  if (!FMonitoring)
    return;
  if (FStarting) {
    Started(ErrorCode);
    return;
  }
  if (ErrorCode != 0) {
    LineFailed(MessageText(ErrorCode));
    return;
  }
  FWatchOpening = false;
  if (FLost) {
    FLost = false;
    if (OnLineBack)
      OnLineBack();
  }
}

void TCallMonitor::Stop() {
  FMonitoring = false;
  FStarting = false;
  FRearmPending = false;
  FLost = false;
  StopMonitoring();
}

void TCallMonitor::PhoneTapiCallerID(TObject* /*CP*/, const std::string& ID,
                                     const std::string& IDName) {
  // The line is closed on purpose until the restart below; Poll must not step in.
  TBusy Busy(FBusy);
  TCallRecord Record = NewRecord(ID, IDName);
  ScreenCall(Record);
  StopMonitoring();
  ReportCall(Record);
  // The line opens again a moment later, on the front end's timer, in the background.
  if (FMonitoring)
    ScheduleRearm(ReopenPauseMs);
}

TCallRecord TCallMonitor::NewRecord(const std::string& ID, const std::string& IDName) {
  const TTapiRecord<LINECALLINFO>& Info = FPhone->CallInfo();
  const DWORD LineCallId = Info ? Info->dwCallID : 0;
  const bool Update = LineCallId != 0 && LineCallId == FLastLineCallId;
  TAbsence NumberAbsent = abNone, NameAbsent = abNone;
  if (Info) {
    PartyAbsences(Info->dwCallerIDFlags, ID, IDName, NumberAbsent, NameAbsent);
  } else {
    NumberAbsent = AbsenceOf(ID);
    NameAbsent = AbsenceOf(IDName);
  }
  TCallRecord Record =
      MakeCallRecord(Update ? FLastCall.Moment : std::time(nullptr), FPhone->SelectedDevice(), ID,
                     IDName, NumberAbsent, NameAbsent);
  Record.CallKey = Update ? FLastCall.CallKey : ++FLastCallKey;
  Record.Update = Update;
  FLastLineCallId = LineCallId;
  return Record;
}

void TCallMonitor::ScreenCall(TCallRecord& Record) {
  if (FScreen == nullptr)
    return;
  FScreen->Screen(Record);
  if (!Record.Blocked)
    return;
  // The line cuts the caller off on its own; the stop that follows waits until it has.
  DWORD Operation = RINGLET_DEVSPECIFIC_REJECT;
  LONG Request = tuLineDevSpecific(FPhone->LineHandle(), 0, FPhone->CallHandle(), &Operation,
                                   sizeof Operation);
  if (Request == ecTapiGetAddrFail) {
    // A library without the operation: off hook by answering; the stop drops the call.
    Request = tuLineAnswer(FPhone->CallHandle(), nullptr, 0);
  }
  if (Request < 0) {
    std::fprintf(stderr, "ringlet: the blocked call could not be rejected (%s)\n",
                 LineResultText(Request).c_str());
    Record.Blocked = false;
  }
}

void TCallMonitor::AddOutlet(TCallOutlet* Outlet) {
  if (Outlet != nullptr && std::find(FOutlets.begin(), FOutlets.end(), Outlet) == FOutlets.end())
    FOutlets.push_back(Outlet);
}

void TCallMonitor::RemoveOutlet(TCallOutlet* Outlet) {
  FOutlets.erase(std::remove(FOutlets.begin(), FOutlets.end(), Outlet), FOutlets.end());
}

void TCallMonitor::ReportCall(const TCallRecord& Record) {
  FLastCall = Record;
  if (OnCall)
    OnCall(Record);
  // A copy: an outlet may remove itself while the call goes round.
  const std::vector<TCallOutlet*> Outlets = FOutlets;
  for (TCallOutlet* Outlet : Outlets) {
    try {
      Outlet->Deliver(Record);
    } catch (const std::exception& E) {
      std::fprintf(stderr, "ringlet: a call could not be handed on: %s\n", E.what());
    } catch (...) {
      std::fprintf(stderr, "ringlet: a call could not be handed on\n");
    }
  }
}

void TCallMonitor::ReportRing(unsigned Ring) {
  const TRingReport Report{FPhone->SelectedDevice(), Ring, std::time(nullptr)};
  const std::vector<TCallOutlet*> Outlets = FOutlets;
  for (TCallOutlet* Outlet : Outlets) {
    try {
      Outlet->Ringing(Report);
    } catch (const std::exception& E) {
      std::fprintf(stderr, "ringlet: a ring could not be handed on: %s\n", E.what());
    }
  }
}

void TCallMonitor::PhoneTapiFail(TObject* /*Sender*/) {
  // A call that ended without a caller ID closes the line; answering must go on. A re-arm
  // already planned (the pause after a call, a retry) keeps its time.
  if (FMonitoring && !FPhone->LineOpen() && !FRearmPending)
    ScheduleRearm(0);
}

void TCallMonitor::ScheduleRearm(uint32_t DelayMs) {
  FRearmPending = true;
  FRearmDue = AdTimeGetTime() + DelayMs;
}

void TCallMonitor::Poll() {
  // A line being set up is neither closed nor opened twice: its outcome comes as an event
  // (Begin's too when the library opened at once).
  if (FBusy > 0 || FPhone->LineOpening() || FStarting)
    return;
  if (!FMonitoring) {
    FRearmPending = false;
    return;
  }
  // Not every closed line comes with a failure report (a call that connected and ended, a
  // report suppressed): the line's state itself is what counts here.
  if (!FRearmPending && !FPhone->LineOpen())
    ScheduleRearm(0);
  if (!FRearmPending)
    return;
  // Wrap-safe: due when the difference, read as signed, is not negative.
  if (static_cast<int32_t>(AdTimeGetTime() - FRearmDue) < 0)
    return;
  Rearm();
}

void TCallMonitor::Rearm() {
  FRearmPending = false;
  if (FPhone->LineOpen() && !FLost)
    return;
  try {
    BeginMonitoring();
  } catch (const std::exception& E) {
    LineFailed(E.what());
  }
}
