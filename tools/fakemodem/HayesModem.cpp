// HayesModem: AT commands, rings, caller ID and the data path. See HayesModem.h.
#include "HayesModem.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <ctime>

namespace FakeModem {

namespace {

char Up(char c) {
  return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

// Digits at i (none reads as 0, as Hayes modems take "ATE" for "ATE0").
int Number(const std::string& s, std::size_t& i) {
  int v = 0;
  while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])) && v < 100000)
    v = v * 10 + (s[i++] - '0');
  return v;
}

bool HasNumber(const std::string& s, std::size_t i) {
  return i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]));
}

void Now(std::string& date, std::string& time) {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d%02d", tm.tm_mon + 1, tm.tm_mday);
  date = buf;
  std::snprintf(buf, sizeof buf, "%02d%02d", tm.tm_hour, tm.tm_min);
  time = buf;
}

const char* ResultText(int code) {
  switch (code) {
  case 0:
    return "OK";
  case 1:
    return "CONNECT";
  case 2:
    return "RING";
  case 3:
    return "NO CARRIER";
  case 4:
    return "ERROR";
  case 6:
    return "NO DIALTONE";
  case 7:
    return "BUSY";
  default:
    return "NO ANSWER";
  }
}

} // namespace

THayesModem::THayesModem(TModemConfig config, TLog log)
    : FConfig(std::move(config)), FLog(std::move(log)) {
  Reset();
}

void THayesModem::Reset() {
  FEcho = true;
  FVerbose = true;
  FQuiet = false;
  FCidMode = FConfig.CidDefault; // forgotten on reset, as many USB modems do
  FClass = 0;
  FRegisters = {{0, 0}, {2, 43}, {3, 13}, {4, 10}, {5, 8}, {12, 50}};
}

std::string THayesModem::TakeOutput() {
  std::string out;
  out.swap(FOut);
  return out;
}

std::string THayesModem::TakeData() {
  std::string data;
  data.swap(FDataIn);
  return data;
}

void THayesModem::Emit(std::string_view bytes) {
  if (!FSilent)
    FOut.append(bytes);
}

void THayesModem::SendRaw(std::string_view bytes) {
  Emit(bytes);
}

void THayesModem::SetSilent(bool silent) {
  FSilent = silent;
  FLog(silent ? "silent: no more answers" : "awake: answering again");
}

void THayesModem::Result(TResult code, const std::string& extra) {
  if (FQuiet)
    return;
  std::string text = ResultText(code);
  if (!extra.empty())
    text += " " + extra;
  FLog("-> " + text);
  if (FVerbose)
    Emit("\r\n" + text + "\r\n");
  else
    Emit(std::to_string(static_cast<int>(code)) + "\r");
}

void THayesModem::Info(const std::string& text) {
  FLog("-> " + text);
  Emit(FVerbose ? "\r\n" + text + "\r\n" : text + "\r\n");
}

void THayesModem::FromHost(std::string_view bytes, uint64_t nowMs) {
  if (FSilent) {
    FLog("silent: " + std::to_string(bytes.size()) + " bytes ignored");
    return; // a hung modem hears nothing
  }
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (FState == csOnline) {
      DataBytes(bytes.substr(i), nowMs);
      return;
    }
    if (FState == csAnswering && FConfig.AbortAnswerOnInput && bytes[i] != '\n') {
      // A character (but the LF of a terminal's line end) ends the answer, and is spent on it.
      FLog("answer aborted by a character from the host");
      EndCall("hung up by the host while answering");
      Result(rcNoCarrier);
      continue;
    }
    CommandByte(bytes[i], nowMs);
  }
}

void THayesModem::CommandByte(char c, uint64_t nowMs) {
  if (FEcho)
    Emit(std::string_view(&c, 1));
  if (c == '\r') {
    std::string line;
    line.swap(FLine);
    ExecuteLine(line, nowMs);
  } else if (c == '\b' || c == 0x7f) {
    if (!FLine.empty())
      FLine.pop_back();
  } else if (c == '\n') {
    // a terminal's CR LF: the LF has nothing to end
  } else if (FLine.size() < 256) {
    FLine.push_back(c);
    // "A/" repeats the last command at once, without a CR.
    if (FLine.size() == 2 && Up(FLine[0]) == 'A' && FLine[1] == '/') {
      FLine.clear();
      if (FEcho)
        Emit("\r");
      ExecuteLine(FLastLine, nowMs);
    }
  }
}

void THayesModem::ExecuteLine(const std::string& rawLine, uint64_t nowMs) {
  std::size_t start = rawLine.find_first_not_of(" \t");
  if (start == std::string::npos)
    return;
  std::string line = rawLine.substr(start);
  if (line.size() < 2 || Up(line[0]) != 'A' || Up(line[1]) != 'T')
    return; // not a command: a modem ignores it
  FLog("<- " + line);
  FLastLine = line;
  bool noFinal = false;
  bool ok = Execute(line.substr(2), nowMs, noFinal);
  if (!ok)
    Result(rcError);
  else if (!noFinal)
    Result(rcOk);
}

bool THayesModem::Execute(const std::string& body, uint64_t nowMs, bool& noFinal) {
  std::size_t i = 0;
  while (i < body.size()) {
    char c = Up(body[i++]);
    switch (c) {
    case ' ':
      break;
    case 'E':
      FEcho = Number(body, i) != 0;
      break;
    case 'V':
      FVerbose = Number(body, i) != 0;
      break;
    case 'Q':
      FQuiet = Number(body, i) != 0;
      break;
    case 'Z':
      OnHook(nowMs); // a reset puts the modem on the hook
      Reset();
      FLog("reset");
      return true; // the rest of the line is not read after a reset
    case 'I': {
      int n = Number(body, i);
      if (n > 9)
        return false;
      Info(n == 0 ? "56000" : n == 3 ? FConfig.Model : n == 4 ? FConfig.Manufacturer : "OK");
      break;
    }
    case 'H':
      if (Number(body, i) != 0) {
        if (!OffHook(nowMs))
          return false;
      } else {
        OnHook(nowMs);
      }
      break;
    case 'A':
      Answer(nowMs);
      noFinal = true;
      return true;
    case 'D':
      // There is no line to dial out on.
      FLog("dial refused: no dial tone");
      Result(rcNoDialtone);
      noFinal = true;
      return true;
    case 'O':
      Number(body, i);
      if (FState != csEscaped)
        return false;
      FState = csOnline;
      Result(rcConnect, FRate);
      noFinal = true;
      return true;
    case 'S': {
      int reg = Number(body, i);
      if (i < body.size() && body[i] == '=') {
        ++i;
        FRegisters[reg] = Number(body, i);
      } else if (i < body.size() && body[i] == '?') {
        ++i;
        char buf[16];
        std::snprintf(buf, sizeof buf, "%03d", FRegisters[reg]);
        Info(buf);
      } else {
        return false;
      }
      break;
    }
    case '&':
      if (i >= body.size())
        return false;
      c = Up(body[i++]);
      Number(body, i);
      if (c == 'F') {
        Reset();
        FLog("factory settings");
      }
      break;
    case '+':
    case '#':
    case '%':
    case '-':
      --i;
      if (!Extended(body, i, nowMs))
        return false;
      break;
    case 'M':
    case 'L':
    case 'X':
    case 'B':
    case 'N':
    case 'W':
    case 'P':
    case 'T':
    case 'Y':
    case 'C':
      Number(body, i);
      break;
    default:
      return false;
    }
  }
  return true;
}

// +NAME, +NAME=value, +NAME?, +NAME=? ; several joined by ';'.
bool THayesModem::Extended(const std::string& body, std::size_t& i, uint64_t nowMs) {
  (void)nowMs;
  std::string name(1, body[i++]);
  while (i < body.size() && (std::isalnum(static_cast<unsigned char>(body[i])) || body[i] == '_'))
    name += Up(body[i++]);
  bool query = false, range = false, set = false;
  int value = 0;
  if (i < body.size() && body[i] == '?') {
    query = true;
    ++i;
  } else if (i < body.size() && body[i] == '=') {
    ++i;
    if (i < body.size() && body[i] == '?') {
      range = true;
      ++i;
    } else {
      set = true;
      if (!HasNumber(body, i))
        return false;
      value = Number(body, i);
    }
  }
  if (i < body.size() && body[i] == ';')
    ++i;

  if (name == "+VCID" || name == "#CID" || name == "%CCID" || name == "+CID") {
    if (!FConfig.CidCommands.count(name)) {
      FLog(name + " not supported by this modem");
      return false;
    }
    if (set && value > 0 && FConfig.CidNeedsVoice && FClass != 8) {
      FLog(name + " refused: voice class 8 first");
      return false;
    }
    if (set && value == 1 && FConfig.RawOnly) {
      FLog(name + " refused: this modem reports raw packets only");
      return false;
    }
    if (range) {
      Info("(0-2)");
    } else if (query) {
      Info(std::to_string(FCidMode));
    } else if (set) {
      if (value > 2)
        return false;
      FCidMode = value;
      FLog("caller ID " + std::string(value == 0 ? "off" : value == 1 ? "on" : "on, raw"));
    }
    return true;
  }
  if (name == "+FCLASS") {
    if (range) {
      Info(FConfig.Voice ? "0,1,8" : "0,1");
    } else if (query) {
      Info(std::to_string(FClass));
    } else if (set) {
      if (value != 0 && value != 1 && !(value == 8 && FConfig.Voice))
        return false;
      FClass = value;
    }
    return true;
  }
  if (name == "+GMM" || name == "+GMI" || name == "+GMR" || name == "+GSN") {
    if (set || range)
      return false;
    Info(name == "+GMM"   ? FConfig.Model
         : name == "+GMI" ? FConfig.Manufacturer
         : name == "+GMR" ? std::string("1.0")
                          : std::string("0000001"));
    return true;
  }
  if (name == "-STE")
    return true; // telephony extension: accepted, nothing to do
  FLog(name + " unknown");
  return false;
}

void THayesModem::Answer(uint64_t nowMs) {
  if (FState == csOnline || FState == csEscaped) {
    Result(rcError);
    return;
  }
  FLog(FHasCall ? "answering" : "answering with no call");
  FState = csAnswering;
  FAnswerAt = nowMs + FConfig.AnswerDelayMs;
  FCidSends.clear();
}

// ATH1. A ringing call is answered by it: the rings stop, the caller hears the line taken.
bool THayesModem::OffHook(uint64_t nowMs) {
  if (!FConfig.OffHook) {
    FLog("off hook refused: this modem has no ATH1");
    return false;
  }
  if (FState == csRinging || FState == csIdle) {
    FLog(FState == csRinging ? "off hook: the ringing call is picked up" : "off hook: no call");
    FState = csOffHook;
    FOffHookAt = nowMs;
    FCidSends.clear();
  }
  return true;
}

// ATH (ATH0), or a reset: back on the hook, ending whatever call there is.
void THayesModem::OnHook(uint64_t nowMs) {
  if (FState == csEscaped || FState == csAnswering) {
    EndCall("hung up by the host");
  } else if (FState == csOffHook && !FHasCall) {
    FLog("on hook");
    FState = csIdle;
  } else if (FState == csOffHook) {
    const uint64_t held = nowMs - FOffHookAt;
    if (held >= FConfig.CutOffMs) {
      EndCall("picked up and put down after " + std::to_string(held) +
              " ms: the caller is cut off");
    } else {
      FLog("put down after " + std::to_string(held) +
           " ms, too soon for the exchange to notice: the caller rings on");
      FState = csRinging;
    }
  }
}

void THayesModem::StartCall(const TCall& call, uint64_t nowMs) {
  if (FState != csIdle)
    EndCall("replaced by a new call");
  FCall = call;
  FHasCall = true;
  FState = csRinging;
  FRingsDone = 0;
  Now(FCidDate, FCidTime);
  // Caller ID before the first ring, whole or in part, puts that ring a little later.
  FNextRingAt = call.CidFirst || call.SplitAt > 0 ? nowMs + call.SpacingMs / 3 : nowMs;
  ScheduleCallerId(FNextRingAt);
  FLog("call from " + (call.NumberAbsent ? std::string(1, call.NumberAbsent) : call.Number) +
       " \"" + call.Name + "\", " + std::to_string(call.Rings) + " rings every " +
       std::to_string(call.SpacingMs) + " ms");
}

// When the parts of the call's caller ID go out, from the time of its first ring.
void THayesModem::ScheduleCallerId(uint64_t firstRingAt) {
  FCidSends.clear();
  if (FCall.NoCid)
    return;
  const uint64_t delay = FCall.SpacingMs / 3;
  const std::size_t all = SIZE_MAX; // cut to the block's length when it is sent
  if (FCall.SplitAt > 0) {
    const auto split = static_cast<std::size_t>(FCall.SplitAt);
    FCidSends.push_back({firstRingAt - delay, 0, split});
    FCidSends.push_back({firstRingAt + delay, split, all});
  } else {
    FCidSends.push_back({FCall.CidFirst ? firstRingAt - delay : firstRingAt + delay, 0, all});
  }
  if (FCall.RepeatCid && FCall.Rings >= 2)
    FCidSends.push_back({firstRingAt + FCall.SpacingMs + delay, 0, all});
}

// The block as this modem reports it now: formatted lines, or one raw packet line.
std::vector<std::string> THayesModem::CallerIdLines() const {
  if (!FCall.RawHex.empty() || FCidMode == 2)
    return {FCall.RawHex.empty() ? MdmfHex(FCall, FCidDate, FCidTime) : FCall.RawHex};
  return FormattedCallerId(FCall, FCidDate, FCidTime);
}

void THayesModem::SendCallerId() {
  const TCidSend send = FCidSends.front();
  FCidSends.erase(FCidSends.begin());
  if (FCidMode == 0) {
    FLog("caller ID not sent: reporting is off");
    return;
  }
  const bool raw = !FCall.RawHex.empty() || FCidMode == 2;
  const std::vector<std::string> lines = CallerIdLines();
  const std::size_t to = std::min(send.To, lines.size());
  if (send.From >= to)
    return; // a raw packet goes out whole with the first part
  std::string block = "\r\n";
  for (std::size_t i = send.From; i < to; ++i) {
    FLog((raw ? "-> caller ID packet " : "-> ") + lines[i]);
    block += lines[i] + "\r\n";
  }
  Emit(raw ? block : block + "\r\n");
}

void THayesModem::EndCall(const std::string& why) {
  FLog("call over: " + why);
  FState = csIdle;
  FHasCall = false;
  FCidSends.clear();
  FPlusCount = 0;
}

void THayesModem::Connect(const std::string& rate, uint64_t nowMs) {
  (void)nowMs;
  if (FState == csOnline || FState == csEscaped) {
    FLog("connect: already connected");
    return;
  }
  FRate = rate.empty() ? FConfig.ConnectRate : rate;
  FState = csOnline;
  FCidSends.clear();
  FLastDataMs = nowMs;
  Result(rcConnect, FRate);
}

void THayesModem::RemoteHangup() {
  switch (FState) {
  case csIdle:
    FLog("hangup: no call");
    return;
  case csRinging:
    EndCall("the caller hung up while ringing");
    return;
  case csOffHook:
    EndCall("the caller hung up");
    return;
  default:
    EndCall("the far end hung up");
    Result(rcNoCarrier);
  }
}

void THayesModem::SendData(std::string_view bytes) {
  if (FState != csOnline) {
    FLog("data: not connected, dropped");
    return;
  }
  FLog("data out: " + EncodeEscapes(std::string(bytes)));
  Emit(bytes);
}

void THayesModem::DataBytes(std::string_view bytes, uint64_t nowMs) {
  for (char c : bytes) {
    // "+++" counts as an escape only with the guard time of silence before and after it.
    if (c == '+' && FPlusCount < 3 && (FPlusCount > 0 || nowMs >= FLastDataMs + FConfig.GuardMs)) {
      ++FPlusCount;
      FPlusAt = nowMs;
      continue;
    }
    if (FPlusCount > 0) {
      FDataIn.append(FPlusCount, '+');
      FPlusCount = 0;
    }
    FDataIn.push_back(c);
    FLastDataMs = nowMs;
  }
}

std::optional<uint64_t> THayesModem::NextTimer() const {
  std::optional<uint64_t> next;
  auto take = [&](uint64_t t) {
    if (!next || t < *next)
      next = t;
  };
  if (FState == csRinging) {
    take(FNextRingAt);
    if (!FCidSends.empty())
      take(FCidSends.front().At);
  }
  if (FState == csAnswering)
    take(FAnswerAt);
  if (FState == csOnline && FPlusCount > 0)
    take(FPlusAt + FConfig.GuardMs);
  return next;
}

void THayesModem::Tick(uint64_t nowMs) {
  if (FSilent)
    return;
  for (int guard = 0; guard < 16; ++guard) {
    if (FState == csRinging && !FCidSends.empty() && nowMs >= FCidSends.front().At) {
      SendCallerId();
      continue;
    }
    if (FState == csRinging && nowMs >= FNextRingAt) {
      if (FRingsDone >= FCall.Rings) {
        EndCall("the caller gave up after " + std::to_string(FRingsDone) +
                (FRingsDone == 1 ? " ring" : " rings"));
        continue;
      }
      ++FRingsDone;
      FNextRingAt += FCall.SpacingMs;
      FLog("ring " + std::to_string(FRingsDone) + "/" + std::to_string(FCall.Rings));
      if (FCall.Distinctive.empty() || !FVerbose)
        Result(rcRing);
      else if (!FQuiet)
        Emit("\r\nRING " + FCall.Distinctive + "\r\n");
      if (FRegisters[0] > 0 && FRingsDone >= FRegisters[0])
        Answer(nowMs);
      continue;
    }
    if (FState == csAnswering && nowMs >= FAnswerAt) {
      if (FHasCall) {
        Connect({}, nowMs);
      } else {
        EndCall("answered, nobody there");
        Result(rcNoCarrier);
      }
      continue;
    }
    if (FState == csOnline && FPlusCount == 3 && nowMs >= FPlusAt + FConfig.GuardMs) {
      FPlusCount = 0;
      FState = csEscaped;
      FLog("escape: command mode, call held");
      Result(rcOk);
      continue;
    }
    if (FState == csOnline && FPlusCount > 0 && FPlusCount < 3 &&
        nowMs >= FPlusAt + FConfig.GuardMs) {
      // Fewer than three: they were data after all.
      FDataIn.append(FPlusCount, '+');
      FPlusCount = 0;
      FLastDataMs = nowMs;
      continue;
    }
    break;
  }
}

} // namespace FakeModem
