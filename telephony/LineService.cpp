#include "telephony/LineService.h"

#include "telephony/CallMonitorLine.h"
#include "telephony/ModemTrace.h"
#include "telephony/SipLine.h"
#include "telephony/TapiRecords.h"

#include "platform/Log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <strings.h>
#include <system_error>
#include <thread>
#include <utility>

namespace Telephony {

namespace {

// Private messages of a registration's hidden window.
constexpr uint32_t WakeMessage = Platform::WM_USER + 0x0601;
constexpr uint32_t DestroyMessage = Platform::WM_USER + 0x0602;

constexpr DWORD SupportedStates = LINECALLSTATE_IDLE | LINECALLSTATE_OFFERING |
                                  LINECALLSTATE_ACCEPTED | LINECALLSTATE_DIALING |
                                  LINECALLSTATE_PROCEEDING | LINECALLSTATE_BUSY |
                                  LINECALLSTATE_CONNECTED | LINECALLSTATE_DISCONNECTED;
constexpr DWORD ReportedLineStates =
    LINEDEVSTATE_RINGING | LINEDEVSTATE_OUTOFSERVICE | LINEDEVSTATE_REINIT;
constexpr size_t MaxDialLength = 60;

LONG Err(DWORD code) {
  return static_cast<LONG>(code);
}

uint64_t NowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

uint32_t MsSince(uint64_t startMs) {
  return static_cast<uint32_t>(NowMs() - startMs);
}

bool IsRinging(DWORD state) {
  return state == LINECALLSTATE_OFFERING || state == LINECALLSTATE_ACCEPTED;
}

// Only characters a modem dials: nothing that could end the command or start another.
bool DialString(const char* address, std::string& digits) {
  if (!address)
    return false;
  for (const char* p = address; *p; ++p) {
    const char c = *p;
    if (c == ' ' || c == '-' || c == '(' || c == ')' || c == '.')
      continue;
    if (!std::strchr("0123456789*#,+ABCDabcdTtPpWw!@$", c))
      return false;
    digits += c;
  }
  return !digits.empty() && digits.size() <= MaxDialLength;
}

DWORD CallFeatures(DWORD state, bool answering) {
  switch (state) {
  case LINECALLSTATE_OFFERING:
    return answering ? LINECALLFEATURE_DROP
                     : LINECALLFEATURE_ACCEPT | LINECALLFEATURE_ANSWER | LINECALLFEATURE_DROP;
  case LINECALLSTATE_ACCEPTED:
    return answering ? LINECALLFEATURE_DROP : LINECALLFEATURE_ANSWER | LINECALLFEATURE_DROP;
  case LINECALLSTATE_IDLE:
    return 0;
  default:
    return LINECALLFEATURE_DROP;
  }
}

DWORD FlagOfAbsence(TCallerIdAbsence absence) {
  return absence == caPrivate     ? LINECALLPARTYID_BLOCKED
         : absence == caOutOfArea ? LINECALLPARTYID_OUTOFAREA
                                  : 0;
}

// The caller-ID flags, number and name of a call as LINECALLINFO carries them. A withheld
// marker wins over a number sent earlier (carriers mask numbers after sending them).
DWORD CallerIdParts(const TCallerIdInfo& info, bool known, std::string& number, std::string& name) {
  if (!known)
    return LINECALLPARTYID_UNKNOWN;
  DWORD flags = FlagOfAbsence(info.NumberAbsent);
  if (!flags && !info.Number.empty()) {
    flags |= LINECALLPARTYID_ADDRESS;
    number = WithZero(info.Number);
  }
  if (info.NameAbsent == caNone && !info.Name.empty()) {
    flags |= LINECALLPARTYID_NAME;
    name = WithZero(info.Name);
  } else if (!(flags & LINECALLPARTYID_ADDRESS)) {
    flags |= FlagOfAbsence(info.NameAbsent);
  }
  return flags ? flags : LINECALLPARTYID_UNKNOWN;
}

// Seconds as a person writes them: "8", "2.5".
std::string Seconds(uint32_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", ms / 1000.0);
  std::string out = text;
  out.erase(out.find_last_not_of('0') + 1);
  if (out.back() == '.')
    out.pop_back();
  return out;
}

bool SameClass(LPCSTR given, const char* expected) {
  return given && strcasecmp(given, expected) == 0;
}

} // namespace

// An open line: the application's view (handle, instance, masks, current call) and the modem.
class TLineService::TOpenLine final : public TModemLineEvents {
public:
  TOpenLine(TLineService& service, HLINE handle, const TLineConfig& config)
      : Handle(handle), FService(service), Modem(config, *this) {}
  // A line opened in the background goes once its set-up has ended; never on that thread.
  ~TOpenLine() override {
    if (Opener.joinable())
      Opener.join();
  }
  TOpenLine(const TOpenLine&) = delete;
  TOpenLine& operator=(const TOpenLine&) = delete;

  void OnModemRing(const std::string&) override { FService.OnRing(Handle); }
  void OnModemCallerId(const TCallerIdInfo& info) override { FService.OnCallerId(Handle, info); }
  void OnModemResult(TModemResult result) override { FService.OnResult(Handle, result); }
  void OnModemRingsStopped() override { FService.OnRingsStopped(Handle); }
  void OnModemHungUp(bool confirmed) override { FService.OnHungUp(Handle, confirmed); }
  void OnModemRejected(bool confirmed) override { FService.OnRejected(Handle, confirmed); }
  void OnModemCarrierLost() override { FService.OnCarrierLost(Handle); }
  void OnModemGone(bool) override { FService.OnGone(Handle); }

  const HLINE Handle;
  HLINEAPP App = 0;
  DWORD DeviceId = 0;
  DWORD_PTR Instance = 0;
  DWORD Privileges = 0;
  DWORD MediaModes = 0;
  DWORD LineStates = 0;
  DWORD AddressStates = 0;
  HCALL Call = 0;
  DWORD Rings = 0;
  bool Ready = false; // the modem answered its init; events count from now on
  bool Dead = false;  // the device vanished or stopped answering
  // Opened in the background: the request its LINE_REPLY answers, the thread that sets the
  // line up, whether that set-up has ended, and whether the application gave the line up
  // before it had.
  DWORD OpenRequest = 0;
  std::thread Opener;
  bool SetUpDone = false;
  std::atomic<bool> Abandoned{false};

private:
  TLineService& FService;

public:
  TModemLine Modem; // last, so it stops (and its reader with it) before the rest goes
};

namespace {
// Created on first use; freed only when the library unloads, after every line (and so every
// reader thread that could still report) has been closed.
TLineService* Service = nullptr;
std::once_flag ServiceCreated;
} // namespace

TLineService& TLineService::Instance() {
  std::call_once(ServiceCreated, [] { Service = new TLineService; });
  return *Service;
}

void TLineService::DestroyInstance() {
  if (!Service)
    return;
  Service->ShutdownAll();
  delete Service;
  Service = nullptr;
}

// ---- Registration ------------------------------------------------------------------------

LONG TLineService::Initialize(HLINEAPP* app, LINECALLBACK callback, LPCSTR, DWORD* numDevs) {
  if (!app || !callback || !numDevs)
    return Err(LINEERR_INVALPOINTER);
  std::unique_lock lock(FLock);
  // The line table is read afresh only when nobody holds a line of the old one.
  if (FApps.empty() && FLines.empty())
    LoadDevices();
  const HLINEAPP handle = NewHandle();
  auto registration = std::make_unique<TRegistration>();
  registration->Handle = handle;
  registration->Callback = callback;
  registration->Thread = Platform::CurrentThreadId();
  registration->Window = Platform::CreateHiddenWindow(
      [this, handle](Platform::TWindowHandle window, uint32_t message, uintptr_t, intptr_t) {
        if (message == WakeMessage)
          Dispatch(handle);
        else if (message == DestroyMessage)
          Platform::DestroyWindow(window);
        return intptr_t{0};
      });
  if (!registration->Window)
    return Err(LINEERR_NOMEM);
  FApps.emplace(handle, std::move(registration));
  *app = handle;
  *numDevs = static_cast<DWORD>(FDevices.size());
  return 0;
}

void TLineService::LoadDevices() {
  std::vector<std::string> problems;
  std::vector<TLineConfig> lines = ReadTelephonyConfig(TelephonyConfigPath(), problems);
  for (const std::string& problem : problems)
    Platform::Log(problem);
  FDevices.clear();
  for (TLineConfig& line : lines) {
    TDevice device;
    device.Config = std::move(line);
    FDevices.push_back(std::move(device));
  }
}

LONG TLineService::Shutdown(HLINEAPP app) {
  std::vector<std::unique_ptr<TOpenLine>> closing = TakeParked(false);
  std::vector<std::shared_ptr<TCallLine>> callLines;
  std::unique_ptr<TRegistration> registration;
  {
    std::lock_guard lock(FLock);
    auto found = FApps.find(app);
    if (found == FApps.end())
      return Err(LINEERR_INVALAPPHANDLE);
    std::vector<HLINE> lines, opening;
    // A line still inside its lineOpen is finished (and dropped) by that lineOpen; one being
    // set up in the background is given up and goes once its set-up has ended.
    for (const auto& [handle, line] : FLines)
      if (line->App == app && line->Ready)
        lines.push_back(handle);
      else if (line->App == app && line->Opener.joinable())
        opening.push_back(handle);
    for (HLINE handle : lines)
      closing.push_back(TakeLine(handle));
    for (HLINE handle : opening)
      Abandon(handle);
    registration = std::move(found->second);
    FApps.erase(found);
    if (FApps.empty())
      callLines = TakeCallLines();
  }
  closing.clear(); // stops the modems, outside the lock
  // The set-ups given up stop at their next step; none may outlive the registration, or it
  // could still run while the program ends.
  TakeParked(true).clear();
  StopCallLines(callLines);
  if (registration->Thread == Platform::CurrentThreadId())
    Platform::DestroyWindow(registration->Window);
  else
    Platform::PostMessage(registration->Window, DestroyMessage, 0, 0);
  return 0;
}

void TLineService::ShutdownAll() {
  std::vector<std::unique_ptr<TOpenLine>> closing;
  std::vector<std::shared_ptr<TCallLine>> callLines;
  std::vector<std::unique_ptr<TRegistration>> apps;
  {
    std::lock_guard lock(FLock);
    std::vector<HLINE> lines, opening;
    for (const auto& [handle, line] : FLines)
      if (line->Ready)
        lines.push_back(handle);
      else if (line->Opener.joinable())
        opening.push_back(handle);
    for (HLINE handle : lines)
      closing.push_back(TakeLine(handle));
    for (HLINE handle : opening)
      Abandon(handle);
    for (auto& [handle, registration] : FApps)
      apps.push_back(std::move(registration));
    FApps.clear();
    callLines = TakeCallLines();
  }
  closing.clear();
  StopCallLines(callLines);
  // The library goes: every set-up still running is waited for (a few command time-outs).
  closing = TakeParked(true);
  closing.clear();
  for (const auto& registration : apps)
    if (registration->Thread == Platform::CurrentThreadId())
      Platform::DestroyWindow(registration->Window);
}

LONG TLineService::NegotiateApiVersion(HLINEAPP app, DWORD device, DWORD low, DWORD high,
                                       DWORD* version, LINEEXTENSIONID* extension) {
  std::lock_guard lock(FLock);
  if (!FindApp(app))
    return Err(LINEERR_INVALAPPHANDLE);
  if (device >= FDevices.size())
    return Err(LINEERR_BADDEVICEID);
  if (!version || !extension)
    return Err(LINEERR_INVALPOINTER);
  if (low > TAPI_VERSION_1_4 || high < TAPI_VERSION_1_4)
    return Err(LINEERR_INCOMPATIBLEAPIVERSION);
  *version = TAPI_VERSION_1_4;
  std::memset(extension, 0, sizeof *extension);
  return 0;
}

LONG TLineService::GetDevCaps(HLINEAPP app, DWORD device, DWORD version, DWORD extVersion,
                              LINEDEVCAPS* caps) {
  std::lock_guard lock(FLock);
  if (!FindApp(app))
    return Err(LINEERR_INVALAPPHANDLE);
  if (device >= FDevices.size())
    return Err(LINEERR_BADDEVICEID);
  if (version != TAPI_VERSION_1_4)
    return Err(LINEERR_INCOMPATIBLEAPIVERSION);
  if (extVersion != 0)
    return Err(LINEERR_INCOMPATIBLEEXTVERSION);
  const TDevice& line = FDevices[device];
  LINEDEVCAPS fixed{};
  fixed.dwPermanentLineID = device;
  fixed.dwStringFormat = STRINGFORMAT_ASCII;
  fixed.dwAddressModes = LINEADDRESSMODE_ADDRESSID;
  fixed.dwNumAddresses = 1;
  fixed.dwBearerModes = LINEBEARERMODE_VOICE | LINEBEARERMODE_PASSTHROUGH;
  fixed.dwMaxRate = line.Config.Baud;
  fixed.dwMediaModes = LINEMEDIAMODE_DATAMODEM | (line.Voice ? LINEMEDIAMODE_AUTOMATEDVOICE : 0);
  fixed.dwDevCapFlags = LINEDEVCAPFLAGS_CLOSEDROP;
  fixed.dwMaxNumActiveCalls = 1;
  fixed.dwAnswerMode = LINEANSWERMODE_NONE;
  fixed.dwRingModes = 1;
  fixed.dwLineStates = ReportedLineStates;
  fixed.dwLineFeatures = LINEFEATURE_MAKECALL;
  // The line device component lists only lines that take data-modem calls and can make calls;
  // a line of another kind says the same so that it is listed and opened like a modem.
  const std::string provider =
      WithZero(line.Config.Kind == lkSip           ? "Ringlet SIP extension"
               : line.Config.Kind == lkCallMonitor ? "Ringlet call monitor"
                                                   : "Ringlet AT modem service");
  const std::string name = WithZero(line.Config.Name);
  return FillRecord(
      caps, fixed,
      {{&LINEDEVCAPS::dwProviderInfoSize, &LINEDEVCAPS::dwProviderInfoOffset, provider},
       {&LINEDEVCAPS::dwLineNameSize, &LINEDEVCAPS::dwLineNameOffset, name}});
}

LONG TLineService::GetDevConfig(DWORD device, VARSTRING* config, LPCSTR deviceClass) {
  std::lock_guard lock(FLock);
  if (FApps.empty())
    return Err(LINEERR_UNINITIALIZED);
  if (device >= FDevices.size())
    return Err(LINEERR_BADDEVICEID);
  const TDevice& line = FDevices[device];
  if (SameClass(deviceClass, "comm/datamodem/portname")) {
    // The serial device as a value of its own, for those who want only that; a line
    // without a modem has none.
    if (line.Config.Kind != lkModem)
      return Err(LINEERR_INVALDEVICECLASS);
    return FillVarString(config, STRINGFORMAT_ASCII, WithZero(line.Config.Device));
  }
  if (!SameClass(deviceClass, "comm/datamodem") && !SameClass(deviceClass, "comm"))
    return Err(LINEERR_INVALDEVICECLASS);
  if (line.Config.Kind != lkModem)
    return FillVarString(config, STRINGFORMAT_ASCII, WithZero(CallLineConfig(line)));
  std::string text =
      "Device=" + line.Config.Device + "\r\nBaud=" + std::to_string(line.Config.Baud) +
      "\r\nInit=" + (line.Config.Init.empty() ? line.CallerIdCommand : line.Config.Init) +
      "\r\nRingTimeout=" + Seconds(line.Config.RingTimeoutMs) + "\r\n";
  return FillVarString(config, STRINGFORMAT_ASCII, WithZero(text));
}

// ---- Lines -------------------------------------------------------------------------------

LONG TLineService::Open(HLINEAPP app, DWORD device, HLINE* lineOut, DWORD version, DWORD extVersion,
                        DWORD_PTR instance, DWORD privileges, DWORD mediaModes) {
  // A modem given up by an earlier open is let go before this one may need its device.
  TakeParked(false).clear();
  const bool background = (privileges & RINGLET_OPENOPTION_BACKGROUND) != 0;
  privileges &= ~DWORD{RINGLET_OPENOPTION_BACKGROUND};
  TOpenLine* line = nullptr;
  std::string command;
  {
    std::lock_guard lock(FLock);
    if (!FindApp(app))
      return Err(LINEERR_INVALAPPHANDLE);
    if (device >= FDevices.size())
      return Err(LINEERR_BADDEVICEID);
    if (!lineOut)
      return Err(LINEERR_INVALPOINTER);
    if (version != TAPI_VERSION_1_4)
      return Err(LINEERR_INCOMPATIBLEAPIVERSION);
    if (extVersion != 0)
      return Err(LINEERR_INCOMPATIBLEEXTVERSION);
    const DWORD privilegeBits =
        privileges & (LINECALLPRIVILEGE_NONE | LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER);
    if (!privilegeBits || privilegeBits != privileges ||
        ((privileges & LINECALLPRIVILEGE_NONE) && privileges != LINECALLPRIVILEGE_NONE))
      return Err(LINEERR_INVALPRIVSELECT);
    TDevice& target = FDevices[device];
    const DWORD supported = LINEMEDIAMODE_DATAMODEM | LINEMEDIAMODE_UNKNOWN |
                            (target.Voice ? LINEMEDIAMODE_AUTOMATEDVOICE : 0);
    if ((privileges & LINECALLPRIVILEGE_OWNER) && (!mediaModes || (mediaModes & ~supported)))
      return Err(LINEERR_INVALMEDIAMODE);
    if (target.OpenLine)
      return Err(LINEERR_ALLOCATED);
    const HLINE handle = NewHandle();
    auto created = std::make_unique<TOpenLine>(*this, handle, target.Config);
    created->App = app;
    created->DeviceId = device;
    created->Instance = instance;
    created->Privileges = privileges;
    created->MediaModes = mediaModes;
    line = created.get();
    target.OpenLine = handle;
    command = target.CallerIdCommand;
    FLines.emplace(handle, std::move(created));
    if (background)
      return OpenInBackground(*line, lineOut, command);
  }
  // The modem takes its time to reset; nobody else waits for that.
  bool voice = false;
  LONG result = SetUpLine(*line, command, voice);
  std::unique_ptr<TOpenLine> failed;
  {
    std::lock_guard lock(FLock);
    result = FinishOpen(*line, result, command, voice);
    if (result == 0)
      *lineOut = line->Handle;
    else
      failed = TakeLine(line->Handle);
  }
  return result;
}

// With FLock held: the line's set-up goes to a thread of its own; the caller has the handle
// and the request id at once.
LONG TLineService::OpenInBackground(TOpenLine& line, HLINE* lineOut, const std::string& command) {
  line.OpenRequest = NewRequest();
  try {
    // Started under the lock, which the thread takes before it touches the line's state.
    line.Opener = std::thread([this, &line, command] { SetUpInBackground(line, command); });
  } catch (const std::system_error&) {
    FParked.push_back(TakeLine(line.Handle)); // never set up: it goes at the next reaping
    FParked.back()->SetUpDone = true;
    return Err(LINEERR_NOMEM);
  }
  *lineOut = line.Handle;
  return static_cast<LONG>(line.OpenRequest);
}

void TLineService::SetUpInBackground(TOpenLine& line, std::string command) {
  bool voice = false;
  LONG result = SetUpLine(line, command, voice);
  std::lock_guard lock(FLock);
  line.SetUpDone = true;
  if (line.Abandoned)
    return; // closed or shut down meanwhile: nobody waits for a reply
  result = FinishOpen(line, result, command, voice);
  Post(line.App, TLineMessage{0, LINE_REPLY, line.Instance, line.OpenRequest,
                              static_cast<DWORD_PTR>(static_cast<DWORD>(result)), 0,
                              result == 0 ? line.Handle : 0, 0});
  if (result != 0)
    FParked.push_back(TakeLine(line.Handle)); // this thread cannot wait for itself
}

// Without the lock: the slow part of an open - the modem's initialisation, or a SIP or call
// monitor line's first outcome (only the first open waits; later ones find it settled).
LONG TLineService::SetUpLine(TOpenLine& line, std::string& command, bool& voice) {
  if (!IsCallLine(line))
    return line.Modem.Open(command, voice);
  const std::shared_ptr<TCallLine> callLine = StartCallLine(line.DeviceId);
  const uint64_t start = NowMs();
  while (!callLine->Settled() && MsSince(start) < FirstOutcomeMs && !line.Abandoned)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return 0;
}

// With FLock held, after the set-up: the line counts as open from here, or why it does not.
LONG TLineService::FinishOpen(TOpenLine& line, LONG result, const std::string& command,
                              bool voice) {
  TDevice& device = FDevices[line.DeviceId];
  if (IsCallLine(line)) {
    if (!FindApp(line.App))
      return Err(LINEERR_INVALAPPHANDLE);
    // The reason went to standard error and the line's state.
    if (!device.CallLine || !device.CallLine->InService() || line.Dead)
      return Err(LINEERR_RESOURCEUNAVAIL);
    line.Ready = true;
    OfferWaitingCall(line);
    return 0;
  }
  if (result != 0)
    return result;
  if (line.Dead)
    return Err(LINEERR_RESOURCEUNAVAIL);
  if (!FindApp(line.App))
    return Err(LINEERR_INVALAPPHANDLE);
  device.CallerIdCommand = command;
  device.Voice = voice;
  line.Ready = true;
  // A call the application dropped may still ring: its end is told from this line.
  if (device.SuppressRings && device.CallRings)
    line.Modem.ContinueRinging(device.LastSuppressedMs);
  // Only now, and under the lock that Close takes too: a ring or caller ID read at once
  // must find the line ready, not be dropped.
  line.Modem.StartReading();
  return 0;
}

// With FLock held: the application gave up a line whose set-up still runs; the set-up stops
// at its next step.
void TLineService::Abandon(HLINE handle) {
  std::unique_ptr<TOpenLine> line = TakeLine(handle);
  line->Abandoned = true;
  line->Modem.Abort();
  FParked.push_back(std::move(line));
}

// Lines given up or failed in the background whose set-up has ended (all of them, waiting
// for the rest, with all); the caller destroys them without the lock.
std::vector<std::unique_ptr<TLineService::TOpenLine>> TLineService::TakeParked(bool all) {
  std::vector<std::unique_ptr<TOpenLine>> done;
  std::lock_guard lock(FLock);
  for (auto parked = FParked.begin(); parked != FParked.end();) {
    if (all || (*parked)->SetUpDone) {
      done.push_back(std::move(*parked));
      parked = FParked.erase(parked);
    } else {
      ++parked;
    }
  }
  return done;
}

LONG TLineService::Close(HLINE handle) {
  std::unique_ptr<TOpenLine> line;
  {
    std::lock_guard lock(FLock);
    TOpenLine* found = FindLine(handle);
    if (found && !found->Ready && found->Opener.joinable()) {
      Abandon(handle); // its modem goes once the set-up has ended, without holding us up
      return 0;
    }
    if (!found || !found->Ready)
      return Err(LINEERR_INVALLINEHANDLE);
    line = TakeLine(handle);
  }
  return 0; // the modem stops here, outside the lock
}

// Removes a line, its calls and its claim on the device; the caller destroys it unlocked.
std::unique_ptr<TLineService::TOpenLine> TLineService::TakeLine(HLINE handle) {
  auto found = FLines.find(handle);
  if (found == FLines.end())
    return nullptr;
  std::unique_ptr<TOpenLine> line = std::move(found->second);
  FLines.erase(found);
  for (auto call = FCalls.begin(); call != FCalls.end();)
    call = call->second.Line == handle ? FCalls.erase(call) : std::next(call);
  if (line->DeviceId < FDevices.size() && FDevices[line->DeviceId].OpenLine == handle)
    FDevices[line->DeviceId].OpenLine = 0;
  return line;
}

LONG TLineService::SetStatusMessages(HLINE handle, DWORD lineStates, DWORD addressStates) {
  std::lock_guard lock(FLock);
  TOpenLine* line = FindLine(handle);
  if (!line || !line->Ready)
    return Err(LINEERR_INVALLINEHANDLE);
  if (lineStates & ~DWORD{LINEDEVSTATE_ALL})
    return Err(LINEERR_INVALLINESTATE);
  if (addressStates & ~DWORD{LINEADDRESSSTATE_ALL})
    return Err(LINEERR_INVALADDRESSSTATE);
  line->LineStates = lineStates;
  line->AddressStates = addressStates;
  if (IsCallLine(*line))
    TellRings(FDevices[line->DeviceId], line);
  return 0;
}

LONG TLineService::GetStatusMessages(HLINE handle, DWORD* lineStates, DWORD* addressStates) {
  std::lock_guard lock(FLock);
  TOpenLine* line = FindLine(handle);
  if (!line || !line->Ready)
    return Err(LINEERR_INVALLINEHANDLE);
  if (!lineStates || !addressStates)
    return Err(LINEERR_INVALPOINTER);
  *lineStates = line->LineStates;
  *addressStates = line->AddressStates;
  return 0;
}

LONG TLineService::GetLineDevStatus(HLINE handle, LINEDEVSTATUS* status) {
  std::lock_guard lock(FLock);
  TOpenLine* line = FindLine(handle);
  if (!line || !line->Ready)
    return Err(LINEERR_INVALLINEHANDLE);
  const TCall* call = CurrentCall(*line);
  LINEDEVSTATUS fixed{};
  fixed.dwNumOpens = 1;
  fixed.dwOpenMediaModes = line->MediaModes;
  fixed.dwNumActiveCalls = call ? 1 : 0;
  fixed.dwLineFeatures = call || line->Dead ? 0 : LINEFEATURE_MAKECALL;
  fixed.dwRingMode = 1;
  const bool callLine = IsCallLine(*line);
  if (callLine)
    fixed.dwLineFeatures = 0; // it only listens
  const auto& lineOfCalls = FDevices[line->DeviceId].CallLine;
  const bool inService = !line->Dead && (!callLine || (lineOfCalls && lineOfCalls->InService()));
  fixed.dwDevStatusFlags =
      inService ? LINEDEVSTATUSFLAGS_CONNECTED | LINEDEVSTATUSFLAGS_INSERVICE : 0;
  return FillRecord(status, fixed, {});
}

// ---- Calls -------------------------------------------------------------------------------

LONG TLineService::MakeCall(HLINE handle, HCALL* callOut, LPCSTR address) {
  std::lock_guard lock(FLock);
  TOpenLine* line = FindLine(handle);
  if (!line || !line->Ready)
    return Err(LINEERR_INVALLINEHANDLE);
  if (!callOut)
    return Err(LINEERR_INVALPOINTER);
  std::string digits;
  if (!DialString(address, digits))
    return Err(LINEERR_INVALADDRESS);
  if (IsCallLine(*line))
    return Err(LINEERR_OPERATIONUNAVAIL);
  if (line->Dead)
    return Err(LINEERR_OPERATIONFAILED);
  if (CurrentCall(*line))
    return Err(LINEERR_CALLUNAVAIL);
  if (!line->Modem.Dial(digits))
    return Err(LINEERR_OPERATIONFAILED);
  TCall call;
  call.Handle = NewHandle();
  call.Line = handle;
  call.DeviceId = line->DeviceId;
  call.Origin = LINECALLORIGIN_OUTBOUND;
  call.MediaMode = LINEMEDIAMODE_DATAMODEM;
  call.CallId = ++FNextCallId;
  call.Dialled = digits;
  TCall& stored = FCalls.emplace(call.Handle, std::move(call)).first->second;
  line->Call = stored.Handle;
  *callOut = stored.Handle;
  const DWORD request = NewRequest();
  PostReply(handle, request, 0);
  PostCallState(stored, LINECALLSTATE_DIALING, 0);
  PostCallState(stored, LINECALLSTATE_PROCEEDING, 0);
  return static_cast<LONG>(request);
}

LONG TLineService::Accept(HCALL handle) {
  std::lock_guard lock(FLock);
  TCall* call = FindCall(handle);
  if (!call)
    return Err(LINEERR_INVALCALLHANDLE);
  if (call->State != LINECALLSTATE_OFFERING)
    return Err(LINEERR_INVALCALLSTATE);
  const DWORD request = NewRequest();
  PostReply(call->Line, request, 0);
  PostCallState(*call, LINECALLSTATE_ACCEPTED, 0);
  return static_cast<LONG>(request);
}

LONG TLineService::Answer(HCALL handle) {
  std::lock_guard lock(FLock);
  TCall* call = FindCall(handle);
  if (!call)
    return Err(LINEERR_INVALCALLHANDLE);
  if (call->Privilege != LINECALLPRIVILEGE_OWNER)
    return Err(LINEERR_NOTOWNER);
  if (!IsRinging(call->State) || call->Answering)
    return Err(LINEERR_INVALCALLSTATE);
  TOpenLine* line = FindLine(call->Line);
  if (line && IsCallLine(*line))
    return Err(LINEERR_OPERATIONUNAVAIL); // Ringlet never takes a call of another phone system
  if (!line || line->Dead || !line->Modem.Answer())
    return Err(LINEERR_OPERATIONFAILED);
  // The reply waits for the modem's verdict: CONNECT, or a failure.
  call->Answering = true;
  call->AnswerRequest = NewRequest();
  return static_cast<LONG>(call->AnswerRequest);
}

LONG TLineService::Drop(HCALL handle) {
  std::lock_guard lock(FLock);
  TCall* call = FindCall(handle);
  if (!call)
    return Err(LINEERR_INVALCALLHANDLE);
  if (call->Privilege != LINECALLPRIVILEGE_OWNER)
    return Err(LINEERR_NOTOWNER);
  if (call->State == LINECALLSTATE_IDLE || call->DropRequest)
    return Err(LINEERR_INVALCALLSTATE);
  TOpenLine* line = FindLine(call->Line);
  const DWORD request = NewRequest();
  if (!line || line->Dead) {
    PostReply(call->Line, request, 0);
    PostCallState(*call, LINECALLSTATE_IDLE, 0);
    return static_cast<LONG>(request);
  }
  if (IsCallLine(*line)) {
    // Only our interest ends: nothing is sent that would end the call for the other phones.
    TDevice& device = FDevices[line->DeviceId];
    for (const auto& [key, caller] : device.CallLine->RingingCalls())
      if (key == call->LineCall)
        device.Finished.insert(key);
    PostReply(call->Line, request, 0);
    PostCallState(*call, LINECALLSTATE_IDLE, 0);
    return static_cast<LONG>(request);
  }
  if (call->RejectRequest) {
    call->DropRequest = request; // answered when the reject is done
    return static_cast<LONG>(request);
  }
  if (IsRinging(call->State) && !call->Answering) {
    // Nothing to hang up: the call is over for the application.
    SuppressRingsOf(*call, FDevices[line->DeviceId]);
    PostReply(call->Line, request, 0);
    PostCallState(*call, LINECALLSTATE_IDLE, 0);
    return static_cast<LONG>(request);
  }
  if (call->Answering) {
    call->Answering = false;
    PostReply(call->Line, call->AnswerRequest, Err(LINEERR_OPERATIONFAILED));
  }
  call->DropRequest = request;
  line->Modem.HangUp();
  return static_cast<LONG>(request);
}

LONG TLineService::DeallocateCall(HCALL handle) {
  std::lock_guard lock(FLock);
  TCall* call = FindCall(handle);
  if (!call)
    return Err(LINEERR_INVALCALLHANDLE);
  if (call->State != LINECALLSTATE_IDLE)
    return Err(LINEERR_INVALCALLSTATE);
  if (TOpenLine* line = FindLine(call->Line); line && line->Call == handle)
    line->Call = 0;
  FCalls.erase(handle);
  return 0;
}

LONG TLineService::GetCallInfo(HCALL handle, LINECALLINFO* info) {
  std::lock_guard lock(FLock);
  const TCall* call = FindCall(handle);
  if (!call)
    return Err(LINEERR_INVALCALLHANDLE);
  LINECALLINFO fixed{};
  fixed.hLine = call->Line;
  fixed.dwLineDeviceID = call->DeviceId;
  fixed.dwBearerMode = LINEBEARERMODE_VOICE;
  fixed.dwMediaMode = call->MediaMode;
  fixed.dwCallID = call->CallId;
  fixed.dwCallStates = SupportedStates;
  fixed.dwOrigin = call->Origin;
  fixed.dwReason = LINECALLREASON_DIRECT;
  fixed.dwNumOwners = 1;
  std::string number, name, called;
  fixed.dwCallerIDFlags = CallerIdParts(call->CallerId, call->HasCallerId, number, name);
  if (!call->Dialled.empty()) {
    fixed.dwCalledIDFlags = LINECALLPARTYID_ADDRESS;
    called = WithZero(call->Dialled);
  } else {
    fixed.dwCalledIDFlags = LINECALLPARTYID_UNKNOWN;
  }
  fixed.dwConnectedIDFlags = LINECALLPARTYID_UNKNOWN;
  fixed.dwRedirectionIDFlags = LINECALLPARTYID_UNKNOWN;
  fixed.dwRedirectingIDFlags = LINECALLPARTYID_UNKNOWN;
  return FillRecord(info, fixed,
                    {{&LINECALLINFO::dwCallerIDSize, &LINECALLINFO::dwCallerIDOffset, number},
                     {&LINECALLINFO::dwCallerIDNameSize, &LINECALLINFO::dwCallerIDNameOffset, name},
                     {&LINECALLINFO::dwCalledIDSize, &LINECALLINFO::dwCalledIDOffset, called}});
}

LONG TLineService::GetCallStatus(HCALL handle, LINECALLSTATUS* status) {
  std::lock_guard lock(FLock);
  const TCall* call = FindCall(handle);
  if (!call)
    return Err(LINEERR_INVALCALLHANDLE);
  LINECALLSTATUS fixed{};
  fixed.dwCallState = call->State;
  fixed.dwCallStateMode = call->StateMode;
  fixed.dwCallPrivilege = call->Privilege;
  fixed.dwCallFeatures = CallFeatures(call->State, call->Answering || call->RejectRequest);
  if (const TOpenLine* line = FindLine(call->Line); line && IsCallLine(*line))
    fixed.dwCallFeatures &= ~DWORD{LINECALLFEATURE_ANSWER};
  return FillRecord(status, fixed, {});
}

LONG TLineService::GetId(HLINE lineHandle, DWORD addressId, HCALL callHandle, DWORD select,
                         VARSTRING* id, LPCSTR deviceClass) {
  std::lock_guard lock(FLock);
  TOpenLine* line = nullptr;
  TCall* call = nullptr;
  if (select == LINECALLSELECT_CALL) {
    call = FindCall(callHandle);
    line = call ? FindLine(call->Line) : nullptr;
    if (!line)
      return Err(LINEERR_INVALCALLHANDLE);
  } else if (select == LINECALLSELECT_LINE || select == LINECALLSELECT_ADDRESS) {
    line = FindLine(lineHandle);
    if (!line)
      return Err(LINEERR_INVALLINEHANDLE);
    if (select == LINECALLSELECT_ADDRESS && addressId != 0)
      return Err(LINEERR_INVALADDRESSID);
    call = CurrentCall(*line);
  } else {
    return Err(LINEERR_INVALCALLSELECT);
  }
  if (!id)
    return Err(LINEERR_INVALPOINTER);
  if (IsCallLine(*line))
    return Err(LINEERR_INVALDEVICECLASS); // no serial device, no comm handle
  const std::string& path = line->Modem.DevicePath();
  if (SameClass(deviceClass, "comm") || SameClass(deviceClass, "comm/datamodem/portname"))
    return FillVarString(id, STRINGFORMAT_ASCII, WithZero(path));
  if (!SameClass(deviceClass, "comm/datamodem"))
    return Err(LINEERR_INVALDEVICECLASS);
  if (select != LINECALLSELECT_CALL)
    return Err(LINEERR_OPERATIONUNAVAIL);
  // A call on its way down keeps its modem: a descriptor handed out now would outlive it.
  if (!call || call->State != LINECALLSTATE_CONNECTED || call->DropRequest || line->Dead)
    return Err(LINEERR_INVALCALLSTATE);
  // Four bytes of descriptor, then the device name.
  std::string data(sizeof(int32_t), '\0');
  data += WithZero(path);
  if (sizeof(VARSTRING) + data.size() > TotalSizeOf(id))
    return FillVarString(id, STRINGFORMAT_BINARY, data); // sizes only: no descriptor leaks
  const int fd = line->Modem.HandOver();
  if (fd < 0)
    return Err(LINEERR_OPERATIONFAILED);
  const int32_t handle = fd;
  std::memcpy(data.data(), &handle, sizeof handle);
  return FillVarString(id, STRINGFORMAT_BINARY, data);
}

// ---- Modem events ------------------------------------------------------------------------

bool TLineService::RingBelongsToDroppedCall(TDevice& device) {
  if (!device.SuppressRings)
    return false;
  const uint64_t now = NowMs();
  if (now - device.LastSuppressedMs < device.Config.RingTimeoutMs) {
    device.LastSuppressedMs = now;
    return true;
  }
  device.SuppressRings = false;
  return false;
}

void TLineService::SuppressRingsOf(const TCall& call, TDevice& device) {
  device.SuppressRings = true;
  device.LastSuppressedMs = NowMs();
  device.DroppedCallerId = call.HasCallerId ? call.CallerId : TCallerIdInfo{};
  device.DroppedCallId = call.HasCallerId ? call.CallId : 0;
}

void TLineService::OfferUpdate(TOpenLine& line, TDevice& device) {
  TCall* call = CurrentCall(line);
  if (call && call->CallId != device.DroppedCallId)
    return; // the line is busy with another call
  if (!call)
    call = OfferCall(line);
  if (!call)
    return;
  call->CallId = device.DroppedCallId;
  call->CallerId = device.DroppedCallerId;
  call->HasCallerId = true;
  Post(line.App, TLineMessage{call->Handle, LINE_CALLINFO, line.Instance,
                              LINECALLINFOSTATE_CALLERID, 0, 0, line.Handle, call->Handle});
}

TLineService::TCall* TLineService::OfferCall(TOpenLine& line) {
  if (!(line.Privileges & (LINECALLPRIVILEGE_OWNER | LINECALLPRIVILEGE_MONITOR)))
    return nullptr;
  TCall call;
  call.Handle = NewHandle();
  call.Line = line.Handle;
  call.DeviceId = line.DeviceId;
  call.CallId = ++FNextCallId;
  call.Privilege = (line.Privileges & LINECALLPRIVILEGE_OWNER) ? LINECALLPRIVILEGE_OWNER
                                                               : LINECALLPRIVILEGE_MONITOR;
  TCall& stored = FCalls.emplace(call.Handle, std::move(call)).first->second;
  line.Call = stored.Handle;
  line.Rings = 0;
  PostCallState(stored, LINECALLSTATE_OFFERING, LINEOFFERINGMODE_ACTIVE, stored.Privilege);
  return &stored;
}

void TLineService::OnRing(HLINE handle) {
  std::lock_guard lock(FLock);
  TOpenLine* line = FindLine(handle);
  if (!line || !line->Ready || line->Dead)
    return;
  TDevice& device = FDevices[line->DeviceId];
  if (RingBelongsToDroppedCall(device)) {
    // Over for the application, but the phone rings on: it hears how often.
    PostDevState(*line, LINEDEVSTATE_RINGING, 1, ++device.CallRings);
    return;
  }
  TCall* call = CurrentCall(*line);
  if (!call)
    call = OfferCall(*line);
  else if (!IsRinging(call->State) || call->RejectRequest)
    return; // a ring during another call's setup means nothing to it
  ++line->Rings;
  FDevices[line->DeviceId].CallRings = line->Rings;
  PostDevState(*line, LINEDEVSTATE_RINGING, 1, line->Rings);
}

void TLineService::PostRingsStopped(TOpenLine& line, TDevice& device) {
  if (device.CallRings == 0)
    return;
  device.CallRings = 0;
  PostDevState(line, LINEDEVSTATE_RINGING, 1, 0);
}

void TLineService::OnCallerId(HLINE handle, const TCallerIdInfo& info) {
  std::lock_guard lock(FLock);
  TOpenLine* line = FindLine(handle);
  if (!line || !line->Ready || line->Dead)
    return;
  // While the rings of a dropped call go on, caller ID that fits it (repeated at a later ring,
  // or fields it lacked, sent after the drop and reopening) is still that call's; another
  // number or name is a new caller, even before the ring time-out.
  TDevice& device = FDevices[line->DeviceId];
  if (RingBelongsToDroppedCall(device)) {
    if (info.Update || SameCaller(device.DroppedCallerId, info)) {
      // More of the caller the application has shown: only a change of who is calling (a mask)
      // is worth showing again, in place of what it showed.
      if (device.DroppedCallId != 0 && MergeCallerId(device.DroppedCallerId, info))
        OfferUpdate(*line, device);
      return;
    }
    device.SuppressRings = false;
  }
  TCall* call = CurrentCall(*line);
  if (call && call->RejectRequest)
    return; // the caller being cut off
  if (call && call->HasCallerId && IsRinging(call->State) && !call->Answering &&
      !SameCaller(call->CallerId, info)) {
    PostCallState(*call, LINECALLSTATE_IDLE, 0); // the caller before gave up
    call = nullptr;
  }
  if (!call)
    call = OfferCall(*line); // caller ID before the first ring (UK), or a new caller
  if (!call || !IsRinging(call->State))
    return;
  if (call->HasCallerId && !MergeCallerId(call->CallerId, info))
    return; // nothing the application does not know yet
  if (!call->HasCallerId)
    call->CallerId = info;
  call->HasCallerId = true;
  Post(line->App, TLineMessage{call->Handle, LINE_CALLINFO, line->Instance,
                               LINECALLINFOSTATE_CALLERID, 0, 0, line->Handle, call->Handle});
}

void TLineService::OnRingsStopped(HLINE handle) {
  std::lock_guard lock(FLock);
  TOpenLine* line = FindLine(handle);
  if (!line || !line->Ready)
    return;
  line->Rings = 0;
  TDevice& device = FDevices[line->DeviceId];
  device.SuppressRings = false;
  PostRingsStopped(*line, device);
  TCall* call = CurrentCall(*line);
  if (call && IsRinging(call->State) && !call->Answering && !call->RejectRequest)
    PostCallState(*call, LINECALLSTATE_IDLE, 0);
}

void TLineService::OnResult(HLINE handle, TModemResult result) {
  std::lock_guard lock(FLock);
  TOpenLine* line = FindLine(handle);
  TCall* call = line ? CurrentCall(*line) : nullptr;
  if (!call)
    return;
  if (call->Answering) {
    call->Answering = false;
    PostRingsStopped(*line, FDevices[line->DeviceId]);
    if (result == mrConnect) {
      PostReply(call->Line, call->AnswerRequest, 0);
      PostCallState(*call, LINECALLSTATE_CONNECTED, LINECONNECTEDMODE_ACTIVE);
    } else {
      PostReply(call->Line, call->AnswerRequest, Err(LINEERR_OPERATIONFAILED));
      PostCallState(*call, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNAVAIL);
    }
    return;
  }
  if (call->State == LINECALLSTATE_DIALING || call->State == LINECALLSTATE_PROCEEDING) {
    switch (result) {
    case mrConnect:
      PostCallState(*call, LINECALLSTATE_CONNECTED, LINECONNECTEDMODE_ACTIVE);
      break;
    case mrBusy:
      PostCallState(*call, LINECALLSTATE_BUSY, LINEBUSYMODE_UNKNOWN);
      break;
    case mrNoDialtone:
      PostCallState(*call, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NODIALTONE);
      break;
    case mrNoAnswer:
    case mrNoCarrier:
      PostCallState(*call, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NOANSWER);
      break;
    default:
      PostCallState(*call, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNAVAIL);
      break;
    }
    return;
  }
  if (call->State == LINECALLSTATE_CONNECTED && result == mrNoCarrier)
    PostCallState(*call, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL);
}

void TLineService::OnHungUp(HLINE handle, bool confirmed) {
  std::lock_guard lock(FLock);
  TOpenLine* line = FindLine(handle);
  TCall* call = line ? CurrentCall(*line) : nullptr;
  if (!call || !call->DropRequest)
    return;
  // The call is over for the application either way; an unconfirmed hang-up is not a success.
  PostReply(call->Line, call->DropRequest, confirmed ? 0 : Err(LINEERR_OPERATIONFAILED));
  call->DropRequest = 0;
  PostCallState(*call, LINECALLSTATE_IDLE, 0);
}

void TLineService::OnRejected(HLINE handle, bool confirmed) {
  std::lock_guard lock(FLock);
  TOpenLine* line = FindLine(handle);
  TCall* call = line ? CurrentCall(*line) : nullptr;
  if (!call || !call->RejectRequest)
    return;
  const LONG result = confirmed ? 0 : Err(LINEERR_OPERATIONFAILED);
  PostReply(call->Line, std::exchange(call->RejectRequest, 0), result);
  if (call->DropRequest)
    PostReply(call->Line, std::exchange(call->DropRequest, 0), result);
  SuppressRingsOf(*call, FDevices[line->DeviceId]);
  PostRingsStopped(*line, FDevices[line->DeviceId]);
  PostCallState(*call, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_REJECT);
  PostCallState(*call, LINECALLSTATE_IDLE, 0);
}

void TLineService::OnCarrierLost(HLINE handle) {
  std::lock_guard lock(FLock);
  TOpenLine* line = FindLine(handle);
  TCall* call = line ? CurrentCall(*line) : nullptr;
  if (call && call->State == LINECALLSTATE_CONNECTED)
    PostCallState(*call, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL);
}

void TLineService::OnGone(HLINE handle) {
  std::lock_guard lock(FLock);
  TOpenLine* line = FindLine(handle);
  if (!line || line->Dead)
    return;
  line->Dead = true;
  if (!line->Ready)
    return; // still inside lineOpen, which fails instead
  if (TCall* call = CurrentCall(*line)) {
    if (call->Answering) {
      call->Answering = false;
      PostReply(call->Line, call->AnswerRequest, Err(LINEERR_OPERATIONFAILED));
    }
    if (call->RejectRequest)
      PostReply(call->Line, std::exchange(call->RejectRequest, 0), Err(LINEERR_OPERATIONFAILED));
    if (call->DropRequest) {
      PostReply(call->Line, call->DropRequest, 0);
      call->DropRequest = 0;
    }
    PostCallState(*call, LINECALLSTATE_IDLE, 0);
  }
  PostDevState(*line, LINEDEVSTATE_OUTOFSERVICE, 0, 0);
  // The service closes the line; an application that closes it first never sees this.
  Post(line->App, TLineMessage{line->Handle, LINE_CLOSE, line->Instance, 0, 0, 0, line->Handle, 0});
}

// ---- Messages ----------------------------------------------------------------------------

void TLineService::Post(HLINEAPP app, const TLineMessage& message) {
  TRegistration* registration = FindApp(app);
  if (!registration)
    return;
  registration->Queue.push_back(message);
  if (!Platform::PostMessage(registration->Window, WakeMessage, 0, 0))
    registration->Queue.pop_back(); // the registering thread has ended
}

void TLineService::PostCallState(TCall& call, DWORD state, DWORD mode, DWORD privilege) {
  call.State = state;
  call.StateMode = mode;
  TOpenLine* line = FindLine(call.Line);
  if (!line)
    return;
  Post(line->App, TLineMessage{call.Handle, LINE_CALLSTATE, line->Instance, state, mode, privilege,
                               line->Handle, call.Handle});
}

void TLineService::PostDevState(TOpenLine& line, DWORD state, DWORD_PTR param2, DWORD_PTR param3) {
  if (!(line.LineStates & state) && state != LINEDEVSTATE_REINIT)
    return;
  Post(line.App, TLineMessage{line.Handle, LINE_LINEDEVSTATE, line.Instance, state, param2, param3,
                              line.Handle, 0});
}

void TLineService::PostReply(HLINE handle, DWORD request, LONG result) {
  TOpenLine* line = FindLine(handle);
  if (!line || !request)
    return;
  // The reply carries the line's instance: that is where the application looks for it.
  Post(line->App,
       TLineMessage{0, LINE_REPLY, line->Instance, request,
                    static_cast<DWORD_PTR>(static_cast<DWORD>(result)), 0, line->Handle, 0});
}

void TLineService::Dispatch(HLINEAPP app) {
  LINECALLBACK callback = nullptr;
  TLineMessage message;
  std::unique_ptr<TOpenLine> closed;
  {
    std::lock_guard lock(FLock);
    TRegistration* registration = FindApp(app);
    if (!registration || registration->Queue.empty())
      return;
    message = registration->Queue.front();
    registration->Queue.pop_front();
    TOpenLine* line = message.Line ? FindLine(message.Line) : nullptr;
    if ((message.Line && (!line || line->App != app)) ||
        (message.Call && !FindCall(message.Call))) {
      RingsLost(message);
      return; // its line or call is gone: the application no longer expects it
    }
    if (message.Message == LINE_CLOSE)
      closed = TakeLine(message.Line);
    callback = registration->Callback;
  }
  closed.reset();
  try {
    callback(message.Device, message.Message, message.Instance, message.Param1, message.Param2,
             message.Param3);
  } catch (...) {
    // Nothing may unwind into the message pump; the application had its chance to catch.
  }
}

// ---- Lookups -----------------------------------------------------------------------------

DWORD TLineService::NewHandle() {
  if (++FNextHandle == 0)
    FNextHandle = 0x10000;
  return FNextHandle;
}

DWORD TLineService::NewRequest() {
  // Request ids stay positive: a negative LONG would read as an error.
  FNextRequest = FNextRequest % 0x7FFFFFFF + 1;
  return FNextRequest;
}

TLineService::TRegistration* TLineService::FindApp(HLINEAPP app) {
  auto found = FApps.find(app);
  return found == FApps.end() ? nullptr : found->second.get();
}

TLineService::TOpenLine* TLineService::FindLine(HLINE line) {
  auto found = FLines.find(line);
  return found == FLines.end() ? nullptr : found->second.get();
}

TLineService::TCall* TLineService::FindCall(HCALL call) {
  auto found = FCalls.find(call);
  return found == FCalls.end() ? nullptr : &found->second;
}

// The line's call that is still going on (an idle call waiting for deallocation is not).
TLineService::TCall* TLineService::CurrentCall(TOpenLine& line) {
  TCall* call = line.Call ? FindCall(line.Call) : nullptr;
  return call && call->State != LINECALLSTATE_IDLE ? call : nullptr;
}

// ---- Lines of calls: SIP extensions and routers' call monitors ---------------------------

// Hands a call line's events to the service, naming the device they belong to.
class TLineService::TCallSink final : public TCallLineEvents {
public:
  TCallSink(TLineService& service, DWORD device) : FService(service), FDevice(device) {}
  void OnCallOffered(uint64_t call, const TCallerIdInfo& caller) override {
    FService.OnLineCallOffered(FDevice, call, caller);
  }
  void OnCallRinging(uint64_t call, uint32_t rings) override {
    FService.OnLineCallRinging(FDevice, call, rings);
  }
  void OnCallEnded(uint64_t call) override { FService.OnLineCallEnded(FDevice, call); }
  void OnCallRejected(uint64_t call, bool done) override {
    FService.OnLineCallRejected(FDevice, call, done);
  }
  void OnLineState(bool inService, const std::string& text) override {
    FService.OnLineState(FDevice, inService, text);
  }

private:
  TLineService& FService;
  const DWORD FDevice;
};

namespace {

// A call line with the sink it reports to; the line goes first, so no event outlives the sink.
struct TCallLineHolder {
  std::unique_ptr<TCallLineEvents> Sink;
  std::unique_ptr<TCallLine> Line;
  ~TCallLineHolder() { Line.reset(); }
};

} // namespace

bool TLineService::IsCallLine(const TOpenLine& line) const {
  return line.DeviceId < FDevices.size() && FDevices[line.DeviceId].Config.Kind != lkModem;
}

TLineService::TOpenLine* TLineService::OpenLineOf(DWORD device) {
  if (device >= FDevices.size() || !FDevices[device].OpenLine)
    return nullptr;
  TOpenLine* line = FindLine(FDevices[device].OpenLine);
  return line && line->Ready && !line->Dead ? line : nullptr;
}

std::string TLineService::CallLineConfig(const TDevice& device) const {
  const TLineConfig& config = device.Config;
  std::string text = std::string("Kind=") + LineKindName(config.Kind) + "\r\n";
  if (config.Kind == lkSip)
    text += "Registrar=" + config.Sip.Registrar + "\r\nUser=" + config.Sip.User + "\r\n";
  else
    text += "Host=" + config.Host + "\r\nPort=" + std::to_string(config.Port) + "\r\n";
  const std::string state =
      device.CallLine ? device.CallLine->StateText() : std::string("not started");
  return text + "State=" + state + "\r\n";
}

// The device's call line, started at its first open and kept until the last registration goes.
std::shared_ptr<TCallLine> TLineService::StartCallLine(DWORD deviceId) {
  std::lock_guard lock(FLock);
  TDevice& device = FDevices[deviceId];
  if (!device.CallLine) {
    auto holder = std::make_shared<TCallLineHolder>();
    holder->Sink = std::make_unique<TCallSink>(*this, deviceId);
    if (device.Config.Kind == lkSip)
      holder->Line = std::make_unique<TSipLine>(device.Config, *holder->Sink);
    else
      holder->Line = std::make_unique<TCallMonitorLine>(device.Config, *holder->Sink);
    holder->Line->Start();
    device.CallLine = std::shared_ptr<TCallLine>(holder, holder->Line.get());
  }
  return device.CallLine;
}

std::vector<std::shared_ptr<TCallLine>> TLineService::TakeCallLines() {
  std::vector<std::shared_ptr<TCallLine>> lines;
  for (TDevice& device : FDevices) {
    if (device.CallLine)
      lines.push_back(std::move(device.CallLine));
    device.CallLine.reset();
    device.Finished.clear();
    if (device.Config.Kind != lkModem) {
      device.LineRings.clear();
      device.HeardCall = device.ToldCall = 0;
      device.CallRings = 0;
    }
  }
  return lines;
}

// Outside the lock: a line's thread may be waiting for it to report an event.
void TLineService::StopCallLines(std::vector<std::shared_ptr<TCallLine>>& lines) {
  for (const auto& line : lines)
    line->Stop();
  lines.clear();
}

// Offers the oldest call still ringing that the application has not had yet, when the line
// has no call going on.
void TLineService::OfferWaitingCall(TOpenLine& line) {
  if (CurrentCall(line))
    return;
  TDevice& device = FDevices[line.DeviceId];
  if (!device.CallLine)
    return;
  for (const auto& [key, caller] : device.CallLine->RingingCalls()) {
    if (device.Finished.count(key))
      continue;
    const bool had =
        std::any_of(FCalls.begin(), FCalls.end(), [&, lineCall = key](const auto& entry) {
          return entry.second.Line == line.Handle && entry.second.LineCall == lineCall;
        });
    if (had)
      continue;
    TCall* call = OfferCall(line);
    if (!call)
      return;
    call->LineCall = key;
    call->MediaMode = LINEMEDIAMODE_INTERACTIVEVOICE | LINEMEDIAMODE_UNKNOWN;
    call->CallerId = caller;
    call->HasCallerId = true;
    // Its rings from now on, and the first before its caller ID, as a modem's ring comes
    // before the caller ID (the monitor closes the line at the caller ID).
    device.LineRings.emplace(key, 1); // the line's own report may still be on its way
    device.HeardCall = key;
    TellRings(device, &line);
    Post(line.App, TLineMessage{call->Handle, LINE_CALLINFO, line.Instance,
                                LINECALLINFOSTATE_CALLERID, 0, 0, line.Handle, call->Handle});
    return;
  }
}

void TLineService::TellRings(TDevice& device, TOpenLine* line) {
  if (!line || !(line->LineStates & LINEDEVSTATE_RINGING))
    return; // told when it listens
  const auto post = [&](DWORD rings) {
    device.CallRings = rings;
    Post(line->App, TLineMessage{line->Handle, LINE_LINEDEVSTATE, line->Instance,
                                 LINEDEVSTATE_RINGING, 1, rings, line->Handle, 0, line->DeviceId});
  };
  if (device.ToldCall != device.HeardCall && device.CallRings != 0)
    post(0); // the call it heard stopped ringing
  device.ToldCall = device.HeardCall;
  const auto found = device.LineRings.find(device.HeardCall);
  const DWORD rings = found == device.LineRings.end() ? 0 : found->second;
  if (rings != device.CallRings)
    post(rings);
}

// A call line's ring 0 that never reached the application (it closed the line first) is owed
// to it still: it hears it on the line open now, or at the next open.
void TLineService::RingsLost(const TLineMessage& message) {
  if (message.RingsOf >= FDevices.size() || message.Param3 != 0)
    return; // a count: the next ring tells a newer one
  TDevice& device = FDevices[message.RingsOf];
  if (device.Config.Kind == lkModem || device.CallRings != 0)
    return; // the lines were read anew; or it hears another call ring, whose end it will hear
  device.CallRings = 1;
  TellRings(device, OpenLineOf(message.RingsOf));
}

void TLineService::OnLineCallOffered(DWORD device, uint64_t key, const TCallerIdInfo&) {
  std::lock_guard lock(FLock);
  if (device >= FDevices.size())
    return;
  FDevices[device].LineRings.emplace(key, 1);
  if (TOpenLine* line = OpenLineOf(device))
    OfferWaitingCall(*line);
}

void TLineService::OnLineCallRinging(DWORD device, uint64_t key, uint32_t rings) {
  std::lock_guard lock(FLock);
  if (device >= FDevices.size())
    return;
  TDevice& owner = FDevices[device];
  const auto found = owner.LineRings.find(key);
  if (found == owner.LineRings.end())
    return; // over already
  found->second = rings;
  if (key == owner.HeardCall)
    TellRings(owner, OpenLineOf(device));
}

// With FLock held: the call the application hears ringing stopped.
void TLineService::StopHearing(TDevice& device, DWORD deviceId, uint64_t key) {
  if (device.HeardCall != key)
    return;
  device.HeardCall = 0;
  TellRings(device, OpenLineOf(deviceId));
}

void TLineService::OnLineCallEnded(DWORD device, uint64_t key) {
  std::lock_guard lock(FLock);
  if (device >= FDevices.size())
    return;
  FDevices[device].Finished.erase(key);
  FDevices[device].LineRings.erase(key);
  StopHearing(FDevices[device], device, key); // before the idle state, which closes the line
  TOpenLine* line = OpenLineOf(device);
  if (!line)
    return;
  TCall* call = CurrentCall(*line);
  if (call && call->LineCall == key && !call->RejectRequest)
    PostCallState(*call, LINECALLSTATE_IDLE, 0); // cancelled, or answered at another phone
  OfferWaitingCall(*line);
}

void TLineService::OnLineCallRejected(DWORD device, uint64_t key, bool done) {
  std::lock_guard lock(FLock);
  if (device >= FDevices.size())
    return;
  StopHearing(FDevices[device], device, key); // refused or not, the line lets it go
  TOpenLine* line = OpenLineOf(device);
  TCall* call = line ? CurrentCall(*line) : nullptr;
  if (!call || call->LineCall != key || !call->RejectRequest)
    return;
  PostReply(call->Line, call->RejectRequest, done ? 0 : Err(LINEERR_OPERATIONFAILED));
  call->RejectRequest = 0;
  if (done)
    PostCallState(*call, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_REJECT);
  PostCallState(*call, LINECALLSTATE_IDLE, 0);
}

void TLineService::OnLineState(DWORD device, bool inService, const std::string& text) {
  HLINE lost = 0;
  {
    std::lock_guard lock(FLock);
    if (device >= FDevices.size())
      return;
    Platform::Log(FDevices[device].Config.Name + ": " + text);
    if (TOpenLine* line = OpenLineOf(device); line && !inService)
      lost = line->Handle;
  }
  if (lost)
    OnGone(lost); // the open line closes; the application opens it again once it is back
}

LONG TLineService::DevSpecific(HLINE lineHandle, DWORD addressId, HCALL callHandle, LPVOID params,
                               DWORD size) {
  std::lock_guard lock(FLock);
  TOpenLine* line = FindLine(lineHandle);
  if (!line || !line->Ready)
    return Err(LINEERR_INVALLINEHANDLE);
  if (addressId != 0)
    return Err(LINEERR_INVALADDRESSID);
  if (!params || size < sizeof(DWORD))
    return Err(LINEERR_INVALPOINTER);
  DWORD operation = 0;
  std::memcpy(&operation, params, sizeof operation);
  if (operation != RINGLET_DEVSPECIFIC_REJECT)
    return Err(LINEERR_OPERATIONUNAVAIL);
  TCall* call = FindCall(callHandle);
  if (!call || call->Line != lineHandle)
    return Err(LINEERR_INVALCALLHANDLE);
  if (call->Privilege != LINECALLPRIVILEGE_OWNER)
    return Err(LINEERR_NOTOWNER);
  if (!IsRinging(call->State) || call->Answering || call->DropRequest || call->RejectRequest)
    return Err(LINEERR_INVALCALLSTATE);
  if (!IsCallLine(*line)) {
    // A modem goes off hook and back on its reader thread; OnRejected answers the request.
    if (line->Dead || !line->Modem.Reject())
      return Err(LINEERR_OPERATIONFAILED);
    call->RejectRequest = NewRequest();
    return static_cast<LONG>(call->RejectRequest);
  }
  TDevice& device = FDevices[line->DeviceId];
  // A call monitor cannot refuse a call.
  if (line->Dead || !device.CallLine || !device.CallLine->CanReject())
    return Err(LINEERR_OPERATIONUNAVAIL);
  if (!device.CallLine->Reject(call->LineCall))
    return Err(LINEERR_INVALCALLSTATE); // it ended meanwhile: its idle state is on its way
  device.Finished.insert(call->LineCall);
  call->RejectRequest = NewRequest();
  return static_cast<LONG>(call->RejectRequest);
}

} // namespace Telephony
