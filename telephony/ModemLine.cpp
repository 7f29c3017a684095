#include "telephony/ModemLine.h"

#include "platform/DeviceHolder.h"
#include "platform/LastError.h"
#include "telephony/ModemTrace.h"

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace Telephony {

const char* const DefaultCallerIdCommands[4] = {"AT+VCID=1", "AT#CID=1", "AT%CCID=1", "AT+CID=1"};

namespace {

using Platform::INFINITE;

// How long a modem may take to answer or dial before we give up on the call.
constexpr uint64_t CallSetupMs = 90000;
// How long DTR stays low for a modem to notice it.
constexpr uint32_t DtrDropMs = 600;
// How long a modem in command mode may take to answer a bare AT.
constexpr uint32_t ProbeMs = 500;

uint64_t NowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

bool OffersVoice(const std::vector<std::string>& info) {
  for (const std::string& line : info) {
    std::string token;
    for (char c : line + ",") {
      if (c == ',' || c == '(' || c == ')' || c == ' ') {
        if (token == "8")
          return true;
        token.clear();
      } else {
        token += c;
      }
    }
  }
  return false;
}

// The line in a message about who holds a device.
std::string LineWords(const TLineConfig& config) {
  return "the telephony line \"" + config.Name + "\"";
}

TModemParserOptions ParserOptions(const TLineConfig& config) {
  TModemParserOptions options;
  options.PauseMs = config.CallerIdPauseMs;
  options.CallGapMs = std::max<uint64_t>(10000, config.RingTimeoutMs + 2000);
  // A call without rings has no ring time-out to end it: its late fields wait as long.
  options.LateFieldMs = config.RingTimeoutMs;
  return options;
}

} // namespace

TModemLine::TModemLine(const TLineConfig& config, TModemLineEvents& events)
    : FConfig(config), FEvents(events), FParser(ParserOptions(config)) {
  FDevice.SetPurpose(LineWords(config));
}

TModemLine::~TModemLine() {
  Close();
}

LONG TModemLine::Open(std::string& preferred, bool& voice) {
  if (!FDevice.Open(FConfig.Device)) {
    const uint32_t error = Platform::GetLastError();
    const std::string holders =
        error == Platform::errAccessDenied ? Platform::DescribeDeviceHolders(FConfig.Device) : "";
    TraceModem(FConfig.Device, '*',
               "open failed, error " + std::to_string(error) +
                   (holders.empty() ? std::string() : ": " + holders));
    return static_cast<LONG>(error == Platform::errAccessDenied ? LINEERR_ALLOCATED
                                                                : LINEERR_RESOURCEUNAVAIL);
  }
  Platform::TLineSettings settings;
  settings.Baud = FConfig.Baud;
  if (!FDevice.SetLineSettings(settings)) {
    FDevice.Close();
    return static_cast<LONG>(LINEERR_RESOURCEUNAVAIL);
  }
  FDevice.PurgeInput();
  // A modem that ignores the reset is not a working modem: fail rather than hang.
  if (Command("ATZ", FConfig.CommandTimeoutMs) != mrOk ||
      Command("ATE0V1", FConfig.CommandTimeoutMs) != mrOk) {
    TraceModem(FConfig.Device, '*', "modem does not answer the init commands");
    FDevice.Close();
    return static_cast<LONG>(LINEERR_OPERATIONFAILED);
  }
  // Caller ID goes on at every open: many modems forget it on reset.
  std::vector<std::string> candidates;
  for (const std::string& command : {FConfig.Init, preferred})
    if (!command.empty())
      candidates.push_back(command);
  for (const char* command : DefaultCallerIdCommands)
    if (std::find(candidates.begin(), candidates.end(), command) == candidates.end())
      candidates.emplace_back(command);
  preferred.clear();
  for (const std::string& command : candidates) {
    const TModemResult result = Command(command, FConfig.CommandTimeoutMs);
    if (result == mrOk) {
      preferred = command;
      break;
    }
    if (FDevice.Gone() || Stopping())
      break;
  }
  if (preferred.empty())
    TraceModem(FConfig.Device, '*', "no caller-ID command accepted; rings only");
  std::vector<std::string> classes;
  voice =
      Command("AT+FCLASS=?", FConfig.CommandTimeoutMs, &classes) == mrOk && OffersVoice(classes);
  if (FDevice.Gone() || Stopping()) {
    FDevice.Close();
    return static_cast<LONG>(LINEERR_RESOURCEUNAVAIL);
  }
  // The parser is kept: a caller-ID block may have begun during the last command.
  FNextCheckMs = FConfig.CheckIntervalMs ? NowMs() + FConfig.CheckIntervalMs : 0;
  return 0;
}

void TModemLine::ContinueRinging(uint64_t lastRingMs) {
  if (FReader.joinable())
    return; // the reader's own state from now on
  FRinging = true;
  FLastRingMs = lastRingMs;
}

void TModemLine::StartReading() {
  if (!FReader.joinable()) {
    TraceModem(FConfig.Device, '*', "watching");
    FReader = std::thread([this] { Run(); });
  }
}

void TModemLine::Abort() {
  {
    std::lock_guard lock(FLock);
    FStop = true;
  }
  FDevice.Cancel();
}

bool TModemLine::Stopping() {
  std::lock_guard lock(FLock);
  return FStop;
}

void TModemLine::Close() {
  {
    std::lock_guard lock(FLock);
    FStop = true;
  }
  FDevice.Cancel();
  if (FReader.joinable())
    FReader.join();
  FDevice.Close();
}

bool TModemLine::Answer() {
  {
    std::lock_guard lock(FLock);
    if (FMode != mdIdle || FStop)
      return false;
    FMode = mdAnswering;
    FCarrierLost = false;
    FCallDeadline = NowMs() + CallSetupMs;
  }
  const bool written = WriteText("ATA\r");
  FDevice.Cancel(); // the reader recomputes its time-outs
  return written;
}

bool TModemLine::Reject() {
  {
    std::lock_guard lock(FLock);
    if (FMode != mdIdle || FStop)
      return false;
    FMode = mdRejecting;
    FRejectRequested = true;
  }
  FDevice.Cancel();
  return true;
}

bool TModemLine::Dial(const std::string& digits) {
  {
    std::lock_guard lock(FLock);
    if (FMode != mdIdle || FStop)
      return false;
    FMode = mdDialing;
    FCarrierLost = false;
    FCallDeadline = NowMs() + CallSetupMs;
  }
  const bool written = WriteText("ATD" + digits + "\r");
  FDevice.Cancel();
  return written;
}

void TModemLine::HangUp() {
  {
    std::lock_guard lock(FLock);
    FHangUpRequested = true;
  }
  FDevice.Cancel();
}

int TModemLine::HandOver() {
  std::lock_guard lock(FLock);
  // A call being hung up is not handed to anyone: its descriptor would outlive the call.
  if ((FMode != mdConnected && FMode != mdHandedOver) || FCarrierLost || FHangUpRequested ||
      FHangingUp)
    return -1;
  const int fd = fcntl(FDevice.Handle(), F_DUPFD_CLOEXEC, 0);
  if (fd < 0)
    return -1;
  if (FMode == mdConnected && FDevice.HasModemLines()) {
    uint32_t status = 0;
    FDcdWasOn = FDevice.GetModemStatus(status) && (status & Platform::msDcdOn);
  }
  FMode = mdHandedOver;
  Platform::NoteDescriptorPurpose(fd, "the modem of an answered call on " + LineWords(FConfig));
  TraceModem(FConfig.Device, '*', "descriptor handed over");
  FDevice.Cancel();
  return fd;
}

void TModemLine::Run() {
  for (;;) {
    bool hangUp = false;
    bool reject = false;
    {
      std::lock_guard lock(FLock);
      if (FStop)
        break;
      hangUp = FHangUpRequested;
      FHangUpRequested = false;
      reject = FRejectRequested;
      FRejectRequested = false;
    }
    if (hangUp)
      DoHangUp();
    else if (reject)
      DoReject();
    if (!WaitOnce(NowMs()))
      return; // gone: the device is released by Close()
  }
  // A call still up when the line closes is hung up, not left connected.
  TMode mode;
  {
    std::lock_guard lock(FLock);
    mode = FMode;
  }
  if (mode != mdIdle && mode != mdGone && !FDevice.Gone())
    DoHangUp();
}

// One wait for input, carrier or a time-out, and what follows from it. False once the device
// is gone.
bool TModemLine::WaitOnce(uint64_t now) {
  if (!FHeld.empty())
    HandleEvents(std::exchange(FHeld, {}), now);
  TMode mode;
  {
    std::lock_guard lock(FLock);
    mode = FMode;
  }
  uint32_t mask = mode == mdHandedOver ? 0 : Platform::seRxChar;
  if (FDevice.HasModemLines() && (mode == mdConnected || mode == mdHandedOver))
    mask |= Platform::seDcd;
  uint32_t seen = 0;
  const Platform::TSerialWait result = FDevice.WaitEvent(mask, seen, WaitTimeout(now));
  now = NowMs();
  if (result == Platform::swGone || result == Platform::swFailed) {
    if (mode != mdHandedOver)
      ReadAvailable(now); // what came before the hang-up still counts
    Gone(false);
    return false;
  }
  if (mode != mdHandedOver && (seen & Platform::seRxChar))
    ReadAvailable(now);
  if (mode == mdConnected || mode == mdHandedOver)
    CheckCarrier();
  HandleEvents(FParser.Poll(now), now);
  CheckTimers(now);
  std::lock_guard lock(FLock);
  return FMode != mdGone;
}

uint32_t TModemLine::WaitTimeout(uint64_t now) {
  uint64_t deadline = UINT64_MAX;
  if (auto parser = FParser.NextDeadline())
    deadline = std::min(deadline, *parser);
  if (FRinging)
    deadline = std::min<uint64_t>(deadline, FLastRingMs + FConfig.RingTimeoutMs);
  if (FCheckDeadline)
    deadline = std::min(deadline, FCheckDeadline);
  else if (FNextCheckMs)
    deadline = std::min(deadline, FNextCheckMs);
  {
    std::lock_guard lock(FLock);
    if (FMode == mdAnswering || FMode == mdDialing)
      deadline = std::min(deadline, FCallDeadline);
  }
  if (deadline == UINT64_MAX)
    return INFINITE;
  return deadline <= now ? 0 : static_cast<uint32_t>(std::min<uint64_t>(deadline - now, 3600000));
}

void TModemLine::ReadAvailable(uint64_t now) {
  char buffer[512];
  for (;;) {
    const int count = FDevice.Read(buffer, sizeof buffer);
    if (count <= 0)
      return;
    TraceIncoming(buffer, static_cast<size_t>(count));
    // Anything the modem says shows it is alive.
    FCheckDeadline = 0;
    FCheckTries = 0;
    if (FConfig.CheckIntervalMs)
      FNextCheckMs = now + FConfig.CheckIntervalMs;
    HandleEvents(FParser.FeedBytes(std::string_view(buffer, static_cast<size_t>(count)), now), now);
  }
}

void TModemLine::HandleEvents(const TModemEvents& events, uint64_t now) {
  for (const TModemEvent& event : events) {
    TMode mode;
    {
      std::lock_guard lock(FLock);
      mode = FMode;
    }
    switch (event.Kind) {
    case ekRing:
      if (mode == mdIdle) {
        FRinging = true;
        FLastRingMs = now;
        FEvents.OnModemRing(event.Text);
      }
      break;
    case ekCallerId:
      if (mode == mdIdle) {
        FRinging = true;
        FLastRingMs = now;
        FEvents.OnModemCallerId(event.CallerId);
      }
      break;
    case ekResult:
      HandleResult(event.Result);
      break;
    case ekBadData:
      TraceModem(FConfig.Device, '*', "discarded: " + event.Text);
      break;
    default:
      break; // echo and text nobody understands are ignored, the call goes on
    }
  }
}

void TModemLine::HandleResult(TModemResult result) {
  bool report = false;
  {
    std::lock_guard lock(FLock);
    switch (FMode) {
    case mdAnswering:
    case mdDialing:
      if (result == mrConnect) {
        FMode = mdConnected;
        FDcdWasOn = false;
        report = true;
      } else if (result != mrOk) {
        FMode = mdIdle;
        report = true;
      }
      break;
    case mdConnected:
      if (result == mrNoCarrier) {
        FMode = mdIdle;
        FCarrierLost = true;
        report = true;
      }
      break;
    default:
      break; // the answer to an idle check, or a stray result
    }
  }
  if (report)
    FEvents.OnModemResult(result);
}

void TModemLine::CheckCarrier() {
  if (!FDevice.HasModemLines())
    return;
  uint32_t status = 0;
  if (!FDevice.GetModemStatus(status))
    return;
  const bool on = status & Platform::msDcdOn;
  bool lost = false;
  {
    std::lock_guard lock(FLock);
    if (on) {
      FDcdWasOn = true;
    } else if (FDcdWasOn && !FCarrierLost) {
      FCarrierLost = true;
      lost = true;
      if (FMode == mdConnected)
        FMode = mdIdle;
    }
  }
  if (lost) {
    TraceModem(FConfig.Device, '*', "carrier lost");
    FEvents.OnModemCarrierLost();
  }
}

void TModemLine::CheckTimers(uint64_t now) {
  if (FRinging && now >= FLastRingMs + FConfig.RingTimeoutMs) {
    // A block still pending belongs to this call: report it before the call ends.
    HandleEvents(FParser.EndCall(), now);
    FRinging = false;
    FEvents.OnModemRingsStopped();
  }
  bool callTimedOut = false;
  {
    std::lock_guard lock(FLock);
    if ((FMode == mdAnswering || FMode == mdDialing) && now >= FCallDeadline) {
      FMode = mdIdle;
      callTimedOut = true;
    }
  }
  if (callTimedOut) {
    WriteText("\r"); // any character stops a modem that is still answering or dialling
    FEvents.OnModemResult(mrNoAnswer);
  }
  if (FCheckDeadline && now >= FCheckDeadline) {
    FCheckDeadline = 0;
    if (++FCheckTries >= 2) {
      TraceModem(FConfig.Device, '*', "modem stopped answering");
      Gone(true);
      return;
    }
    FNextCheckMs = now; // try once more at once
  }
  TMode mode;
  {
    std::lock_guard lock(FLock);
    mode = FMode;
  }
  if (FNextCheckMs && !FCheckDeadline && now >= FNextCheckMs) {
    // Only an idle modem is checked: during a call the modem has better things to say.
    if (mode == mdIdle && !FRinging) {
      WriteText("AT\r");
      FCheckDeadline = now + FConfig.CommandTimeoutMs;
    }
    FNextCheckMs = now + FConfig.CheckIntervalMs;
  }
}

void TModemLine::DoHangUp() {
  TMode mode;
  bool carrierLost;
  {
    std::lock_guard lock(FLock);
    mode = FMode;
    carrierLost = FCarrierLost;
    FHangingUp = true;
  }
  const bool inData = (mode == mdConnected || mode == mdHandedOver) && !carrierLost;
  if (mode == mdAnswering || mode == mdDialing)
    WriteText("\r");
  else if (inData)
    LeaveDataMode(mode == mdHandedOver);
  FParser.Reset();
  bool confirmed = Command("ATH", FConfig.CommandTimeoutMs) == mrOk;
  if (!confirmed)
    confirmed = ResetAfterFailedHangUp();
  BackToIdle();
  FEvents.OnModemHungUp(confirmed);
}

// ATH1, a pause off hook for the exchange to see the call answered, ATH0: the caller is cut
// off and nothing ever connects. A modem without ATH1 answers and is hung up at once.
void TModemLine::DoReject() {
  FParser.Reset();
  bool confirmed;
  if (Command("ATH1", FConfig.CommandTimeoutMs) == mrOk) {
    TraceModem(FConfig.Device, '*', "off hook: the call is taken");
    Listen(RejectHoldMs);
    FParser.Reset();
    confirmed = Command("ATH0", FConfig.CommandTimeoutMs) == mrOk;
  } else {
    TraceModem(FConfig.Device, '*', "off hook refused: answering to hang up");
    confirmed = !FDevice.Gone() && AnswerToHangUp();
  }
  if (!confirmed && !FDevice.Gone())
    confirmed = ResetAfterFailedHangUp();
  // Rings and caller ID held back meanwhile were the rejected caller's.
  FHeld.clear();
  BackToIdle();
  TraceModem(FConfig.Device, '*', confirmed ? "call rejected" : "reject not confirmed");
  FEvents.OnModemRejected(confirmed);
}

bool TModemLine::AnswerToHangUp() {
  if (!WriteText("ATA\r"))
    return false;
  const TModemResult answer = AwaitResult(RejectAnswerMs, nullptr, true);
  if (answer == mrConnect)
    LeaveDataMode(false);
  else if (answer == mrNone)
    WriteText("\r"); // still answering: any character stops a modem that answers
  FParser.Reset();
  return Command("ATH", FConfig.CommandTimeoutMs) == mrOk;
}

void TModemLine::LeaveDataMode(bool mayBeInCommandMode) {
  if (FDevice.HasModemLines()) {
    // Dropping DTR is the reliable way off the line for a modem that has the wire.
    FDevice.SetDtr(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(DtrDropMs));
    FDevice.SetDtr(true);
    return;
  }
  if (mayBeInCommandMode) {
    // The descriptor's owner read what the modem said meanwhile, a NO CARRIER perhaps: a modem
    // back in command mode answers a bare AT at once. In data mode it is two bytes of data.
    FDevice.PurgeInput();
    FParser.Reset();
    if (Command("AT", ProbeMs) == mrOk)
      return;
  }
  // The escape needs its guard times even while closing, or the modem takes it as data.
  std::this_thread::sleep_for(std::chrono::milliseconds(FConfig.EscapeGuardMs));
  FParser.Reset();
  WriteText("+++");
  // The modem confirms the escape with its own OK, which must not pass for the answer to ATH.
  // Without one the modem may have been in command mode after all, holding "+++" as the start
  // of a line: a carriage return ends that line before the ATH.
  if (AwaitResult(FConfig.EscapeGuardMs + FConfig.CommandTimeoutMs) != mrOk)
    WriteText("\r");
}

bool TModemLine::ResetAfterFailedHangUp() {
  // A reset puts every modem on the hook; if even that is not confirmed, the caller is told.
  TraceModem(FConfig.Device, '*', "hang-up not confirmed; resetting");
  return Command("ATZ", FConfig.CommandTimeoutMs) == mrOk &&
         Command("ATE0V1", FConfig.CommandTimeoutMs) == mrOk;
}

void TModemLine::BackToIdle() {
  FDevice.PurgeInput();
  FParser.Reset();
  FRinging = false;
  {
    std::lock_guard lock(FLock);
    if (FMode != mdGone)
      FMode = mdIdle;
    FCarrierLost = false;
    FDcdWasOn = false;
    FHangingUp = false;
  }
  if (FConfig.CheckIntervalMs)
    FNextCheckMs = NowMs() + FConfig.CheckIntervalMs;
}

void TModemLine::Gone(bool silent) {
  {
    std::lock_guard lock(FLock);
    FMode = mdGone;
  }
  TraceModem(FConfig.Device, '*', silent ? "modem silent" : "device gone");
  FEvents.OnModemGone(silent);
}

TModemResult TModemLine::Command(const std::string& command, uint32_t timeoutMs,
                                 std::vector<std::string>* info) {
  if (!WriteText(command + "\r"))
    return mrNone;
  return AwaitResult(timeoutMs, info);
}

TModemResult TModemLine::AwaitResult(uint32_t timeoutMs, std::vector<std::string>* info,
                                     bool anyResult) {
  const uint64_t deadline = NowMs() + timeoutMs;
  char buffer[256];
  for (;;) {
    const uint64_t now = NowMs();
    if (now >= deadline || Stopping())
      return mrNone;
    uint32_t seen = 0;
    const Platform::TSerialWait wait =
        FDevice.WaitEvent(Platform::seRxChar, seen, static_cast<uint32_t>(deadline - now));
    if (wait == Platform::swGone || wait == Platform::swFailed)
      return mrNone;
    int count;
    while ((count = FDevice.Read(buffer, sizeof buffer)) > 0) {
      TraceIncoming(buffer, static_cast<size_t>(count));
      TModemResult final = mrNone;
      for (const TModemEvent& event :
           FParser.FeedBytes(std::string_view(buffer, static_cast<size_t>(count)), NowMs())) {
        // A call may start while the modem answers: what it sends is the reader's to handle,
        // also when it came in the same read as the answer.
        if (event.Kind == ekRing || event.Kind == ekCallerId)
          FHeld.push_back(event);
        else if (final != mrNone)
          continue;
        else if (event.Kind == ekResult &&
                 (anyResult || event.Result == mrOk || event.Result == mrError))
          final = event.Result;
        else if (event.Kind == ekOther && info)
          info->push_back(event.Line);
      }
      if (final != mrNone)
        return final;
    }
    if (FDevice.Gone())
      return mrNone;
  }
}

bool TModemLine::Listen(uint32_t timeoutMs) {
  const uint64_t deadline = NowMs() + timeoutMs;
  char buffer[256];
  for (uint64_t now = NowMs(); now < deadline; now = NowMs()) {
    uint32_t seen = 0;
    const Platform::TSerialWait wait =
        FDevice.WaitEvent(Platform::seRxChar, seen, static_cast<uint32_t>(deadline - now));
    if (wait == Platform::swGone || wait == Platform::swFailed)
      return false;
    int count;
    while ((count = FDevice.Read(buffer, sizeof buffer)) > 0)
      TraceIncoming(buffer, static_cast<size_t>(count));
  }
  return true;
}

bool TModemLine::WriteText(const std::string& text) {
  TraceModem(FConfig.Device, '>',
             !text.empty() && text.back() == '\r'
                 ? std::string_view(text).substr(0, text.size() - 1)
                 : std::string_view(text));
  size_t done = 0;
  const uint64_t deadline = NowMs() + 2000;
  while (done < text.size()) {
    const int count = FDevice.Write(text.data() + done, text.size() - done);
    if (count < 0)
      return false;
    done += static_cast<size_t>(count);
    if (done < text.size()) {
      if (NowMs() >= deadline)
        return false; // output stuck (flow control held): give up rather than hang
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  return true;
}

void TModemLine::TraceIncoming(const char* data, size_t size) {
  if (!ModemTraceEnabled())
    return;
  for (size_t i = 0; i < size; ++i) {
    const char c = data[i];
    if (c == '\r' || c == '\n') {
      if (!FTraceLine.empty())
        TraceModem(FConfig.Device, '<', FTraceLine);
      FTraceLine.clear();
    } else if (FTraceLine.size() < 300) {
      FTraceLine += c;
    }
  }
}

} // namespace Telephony
