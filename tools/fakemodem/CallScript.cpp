// CallScript: scenario commands and caller-ID blocks. See CallScript.h.
#include "CallScript.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace FakeModem {

namespace {

struct TToken {
  std::string Key; // empty for a positional token
  std::string Value;
  bool Quoted = false;
};

// Splits on blanks; "double quotes" keep blanks (and may follow key=).
bool Tokenize(const std::string& line, std::vector<TToken>& tokens, std::string& error) {
  std::size_t i = 0, n = line.size();
  while (i < n) {
    while (i < n && std::isspace(static_cast<unsigned char>(line[i])))
      ++i;
    if (i >= n)
      break;
    TToken t;
    std::string word;
    while (i < n && !std::isspace(static_cast<unsigned char>(line[i]))) {
      if (line[i] == '=' && t.Key.empty() && !t.Quoted && !word.empty()) {
        t.Key = word;
        word.clear();
        ++i;
        continue;
      }
      if (line[i] == '"') {
        std::size_t end = line.find('"', i + 1);
        if (end == std::string::npos) {
          error = "unterminated quote";
          return false;
        }
        word += line.substr(i + 1, end - i - 1);
        t.Quoted = true;
        i = end + 1;
        continue;
      }
      word += line[i++];
    }
    t.Value = word;
    tokens.push_back(t);
  }
  return true;
}

bool ParseNumber(const std::string& text, uint64_t& value) {
  if (text.empty() || text.size() > 12)
    return false;
  for (char c : text)
    if (c < '0' || c > '9')
      return false;
  value = std::strtoull(text.c_str(), nullptr, 10);
  return true;
}

bool IsFourDigits(const std::string& s) {
  return s.size() == 4 && std::isdigit(static_cast<unsigned char>(s[0])) &&
         std::isdigit(static_cast<unsigned char>(s[1])) &&
         std::isdigit(static_cast<unsigned char>(s[2])) &&
         std::isdigit(static_cast<unsigned char>(s[3]));
}

bool IsHexPacket(const std::string& s) {
  if (s.empty() || s.size() % 2 != 0)
    return false;
  for (char c : s)
    if (!std::isxdigit(static_cast<unsigned char>(c)))
      return false;
  return true;
}

// A flag word about the order of the caller-ID lines; false when the word is none of them.
bool ApplyOrderFlag(const std::string& word, TCall& call) {
  if (word == "repeat")
    call.RepeatCid = true;
  else if (word == "namefirst")
    call.NameFirst = true;
  else if (word == "masklate")
    call.MaskLate = true;
  else
    return false;
  return true;
}

// A key about the order of the caller-ID lines; false with an empty error when the key is none
// of them.
bool ApplyOrderKey(const TToken& t, TCall& call, std::string& error) {
  uint64_t n = 0;
  if (t.Key == "split") {
    if (!ParseNumber(t.Value, n) || n < 1 || n > 8) {
      error = "split wants 1 to 8 lines";
      return false;
    }
    call.SplitAt = static_cast<int>(n);
  } else if (t.Key == "mesg") {
    if (!IsHexPacket(t.Value)) {
      error = "mesg wants hex bytes";
      return false;
    }
    call.MesgHex = t.Value;
  } else {
    return false;
  }
  return true;
}

// A call's flag word; false when the word is none of them.
bool ApplyFlag(const std::string& word, TCall& call) {
  if (word == "private") {
    call.NumberAbsent = call.NameAbsent = 'P';
  } else if (word == "outofarea") {
    call.NumberAbsent = call.NameAbsent = 'O';
  } else if (word == "nocid") {
    call.NoCid = true;
  } else if (word == "numberonly") {
    call.NumberOnly = true;
  } else if (word == "cidfirst") {
    call.CidFirst = true;
  } else if (word == "compact") {
    call.Compact = true;
  } else if (word == "spaced") {
    call.Compact = false;
  } else {
    return false;
  }
  return true;
}

bool ApplyKey(const TToken& t, TCall& call, std::string& error) {
  uint64_t n = 0;
  if (t.Key == "rings" || t.Key == "giveup") {
    if (!ParseNumber(t.Value, n) || n < 1 || n > 1000) {
      error = t.Key + " wants 1 to 1000";
      return false;
    }
    call.Rings = static_cast<int>(n);
  } else if (t.Key == "spacing") {
    if (!ParseNumber(t.Value, n) || n < 1) {
      error = "spacing wants milliseconds";
      return false;
    }
    call.SpacingMs = n;
  } else if (t.Key == "date" || t.Key == "time") {
    if (!IsFourDigits(t.Value)) {
      error = t.Key + " wants four digits";
      return false;
    }
    (t.Key == "date" ? call.Date : call.Time) = t.Value;
  } else if (t.Key == "name") {
    call.Name = t.Value;
  } else if (t.Key == "number") {
    call.Number = t.Value;
  } else if (t.Key == "ring") {
    call.Distinctive = t.Value;
  } else if (t.Key == "mdmf") {
    if (!IsHexPacket(t.Value)) {
      error = "mdmf wants hex bytes";
      return false;
    }
    call.RawHex = t.Value;
  } else if (!ApplyOrderKey(t, call, error)) {
    if (error.empty())
      error = "unknown call setting " + t.Key;
    return false;
  }
  return true;
}

// call [NUMBER] ["NAME"] [flags] [key=value ...]
bool ParseCall(const std::vector<TToken>& tokens, std::size_t first, TCall& call,
               std::string& error) {
  int positional = 0;
  for (std::size_t i = first; i < tokens.size(); ++i) {
    const TToken& t = tokens[i];
    if (!t.Key.empty()) {
      if (!ApplyKey(t, call, error))
        return false;
    } else if (!t.Quoted && (ApplyFlag(t.Value, call) || ApplyOrderFlag(t.Value, call))) {
      continue;
    } else if (positional == 0 && !t.Quoted) {
      call.Number = t.Value;
      ++positional;
    } else if (positional <= 1) {
      call.Name = t.Value;
      positional = 2;
    } else {
      error = "unexpected " + t.Value;
      return false;
    }
  }
  return true;
}

std::string Rest(const std::string& line, const std::string& word) {
  std::size_t at = line.find(word);
  std::size_t start = line.find_first_not_of(" \t", at + word.size());
  return start == std::string::npos ? std::string() : line.substr(start);
}

} // namespace

TScriptCommand ParseCommand(const std::string& rawLine, const TCall& defaults) {
  TScriptCommand cmd;
  std::string line = rawLine;
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
    line.pop_back();
  // data and say carry raw text: quotes in it are text, not syntax.
  std::size_t wordStart = line.find_first_not_of(" \t");
  if (wordStart != std::string::npos) {
    std::size_t wordEnd = line.find_first_of(" \t", wordStart);
    std::string first = line.substr(wordStart, wordEnd == std::string::npos ? std::string::npos
                                                                            : wordEnd - wordStart);
    if (first == "data" || first == "say") {
      cmd.Kind = first == "data" ? ckData : ckSay;
      cmd.Text = DecodeEscapes(Rest(line, first));
      return cmd;
    }
  }
  std::vector<TToken> tokens;
  if (!Tokenize(line, tokens, cmd.Error)) {
    cmd.Kind = ckInvalid;
    return cmd;
  }
  if (tokens.empty() || tokens[0].Value[0] == '#')
    return cmd;
  const std::string word = tokens[0].Value;
  auto invalid = [&](std::string why) {
    cmd.Kind = ckInvalid;
    cmd.Error = std::move(why);
    return cmd;
  };
  auto numberArg = [&](uint64_t fallback, bool required) {
    if (tokens.size() < 2)
      return required ? false : (cmd.Number = fallback, true);
    return tokens.size() == 2 && ParseNumber(tokens[1].Value, cmd.Number);
  };
  cmd.Call = defaults;
  if (word == "call" || word == "giveup" || word == "mdmf" ||
      (word != "spaced" && word != "compact" && ApplyFlag(word, cmd.Call))) {
    cmd.Kind = ckCall;
    std::size_t first = 1;
    if (word == "giveup") {
      cmd.Call.Rings = 1;
      if (tokens.size() > 1 && tokens[1].Key.empty() && ParseNumber(tokens[1].Value, cmd.Number) &&
          cmd.Number >= 1 && cmd.Number <= 1000) {
        cmd.Call.Rings = static_cast<int>(cmd.Number);
        first = 2;
      }
    } else if (word == "mdmf") {
      if (tokens.size() < 2 || !IsHexPacket(tokens[1].Value))
        return invalid("mdmf wants the packet in hex");
      cmd.Call.RawHex = tokens[1].Value;
      first = 2;
    }
    if (!ParseCall(tokens, first, cmd.Call, cmd.Error))
      return invalid(cmd.Error);
    return cmd;
  }
  if (word == "sleep") {
    if (!numberArg(0, true))
      return invalid("sleep wants milliseconds");
    cmd.Kind = ckSleep;
  } else if (word == "garbage") {
    if (!numberArg(64, false) || cmd.Number > 1000000)
      return invalid("garbage wants a byte count");
    cmd.Kind = ckGarbage;
  } else if (word == "longline") {
    if (!numberArg(1000, false) || cmd.Number > 1000000)
      return invalid("longline wants a byte count");
    cmd.Kind = ckLongLine;
  } else if (word == "silent" || word == "wake" || word == "vanish" || word == "demo" ||
             word == "hangup" || word == "quit") {
    if (tokens.size() != 1)
      return invalid(word + " takes nothing");
    cmd.Kind = word == "silent"   ? ckSilent
               : word == "wake"   ? ckWake
               : word == "vanish" ? ckVanish
               : word == "demo"   ? ckDemo
               : word == "hangup" ? ckHangup
                                  : ckQuit;
  } else if (word == "connect") {
    cmd.Kind = ckConnect;
    cmd.Text = tokens.size() > 1 ? tokens[1].Value : "";
  } else {
    return invalid("unknown command " + word);
  }
  return cmd;
}

std::vector<std::string> FormattedCallerId(const TCall& call, const std::string& date,
                                           const std::string& time) {
  const char* eq = call.Compact ? "=" : " = ";
  std::vector<std::string> lines;
  const std::string name =
      std::string("NAME") + eq + (call.NameAbsent ? std::string(1, call.NameAbsent) : call.Name);
  if (call.NameFirst && !call.NumberOnly)
    lines.push_back(name);
  lines.push_back(std::string("DATE") + eq + (call.Date.empty() ? date : call.Date));
  lines.push_back(std::string("TIME") + eq + (call.Time.empty() ? time : call.Time));
  lines.push_back(std::string("NMBR") + eq +
                  (call.NumberAbsent ? std::string(1, call.NumberAbsent) : call.Number));
  if (call.MaskLate)
    lines.push_back(std::string("NMBR") + eq + "O");
  if (!call.NameFirst && !call.NumberOnly)
    lines.push_back(name);
  if (!call.MesgHex.empty())
    lines.push_back(std::string("MESG") + eq + call.MesgHex);
  return lines;
}

std::string MdmfHex(const TCall& call, const std::string& date, const std::string& time) {
  std::string body;
  auto param = [&](uint8_t type, const std::string& data) {
    std::string d = data.substr(0, 80); // one length byte, and the packet must stay in 255
    body.push_back(static_cast<char>(type));
    body.push_back(static_cast<char>(d.size()));
    body += d;
  };
  param(0x01, (call.Date.empty() ? date : call.Date) + (call.Time.empty() ? time : call.Time));
  if (call.NumberAbsent)
    param(0x04, std::string(1, call.NumberAbsent));
  else
    param(0x02, call.Number);
  if (call.NameAbsent)
    param(0x08, std::string(1, call.NameAbsent));
  else if (!call.NumberOnly)
    param(0x07, call.Name);
  std::string packet;
  packet.push_back(static_cast<char>(0x80));
  packet.push_back(static_cast<char>(body.size()));
  packet += body;
  unsigned sum = 0;
  for (char c : packet)
    sum += static_cast<uint8_t>(c);
  packet.push_back(static_cast<char>((256 - sum % 256) % 256));
  std::string hex;
  char buf[3];
  for (char c : packet) {
    std::snprintf(buf, sizeof buf, "%02X", static_cast<uint8_t>(c));
    hex += buf;
  }
  return hex;
}

std::string DecodeEscapes(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c != '\\' || i + 1 >= text.size()) {
      out.push_back(c);
      continue;
    }
    char e = text[++i];
    switch (e) {
    case 'r':
      out.push_back('\r');
      break;
    case 'n':
      out.push_back('\n');
      break;
    case 't':
      out.push_back('\t');
      break;
    case 'x':
      if (i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
          std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
        out.push_back(static_cast<char>(std::strtoul(text.substr(i + 1, 2).c_str(), nullptr, 16)));
        i += 2;
      } else {
        out += "\\x";
      }
      break;
    default:
      out.push_back(e);
    }
  }
  return out;
}

std::string EncodeEscapes(const std::string& bytes) {
  std::string out;
  char buf[5];
  for (char ch : bytes) {
    auto c = static_cast<unsigned char>(ch);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c >= 0x7f) {
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else {
      out.push_back(ch);
    }
  }
  return out;
}

TCall DemoCall(uint64_t n, const TCall& defaults) {
  struct TPerson {
    const char* Number;
    const char* Name;
  };
  static constexpr std::array<TPerson, 8> people = {{{"4075551212", "Chmielewski Joh"},
                                                     {"3125550147", "Okafor Grace"},
                                                     {"2065550183", "Lindqvist Per"},
                                                     {"6175550122", "Haddad Samir"},
                                                     {"5125550190", "Moreau Claire"},
                                                     {"7205550111", "Tanaka Yui"},
                                                     {"9195550164", "Novak Tomas"},
                                                     {"3035550138", "Brennan Aoife"}}};
  TCall call = defaults;
  const TPerson& p = people[n % people.size()];
  call.Number = p.Number;
  call.Name = p.Name;
  call.Rings = 2 + static_cast<int>(n % 3);
  // Now and then the callers that real lines bring too.
  switch (n % 7) {
  case 3:
    call.NumberAbsent = call.NameAbsent = 'P';
    break;
  case 5:
    call.NumberAbsent = call.NameAbsent = 'O';
    break;
  case 6:
    call.NumberOnly = true;
    break;
  default:
    break;
  }
  return call;
}

const char* CommandHelp() {
  return R"(Commands (a --script file or standard input, one per line; # starts a comment):
  call [NUMBER] ["NAME"] [FLAGS] [KEY=VALUE...]
                      an incoming call. FLAGS: private, outofarea, nocid, numberonly,
                      cidfirst, compact (NMBR=x instead of NMBR = x), spaced,
                      repeat (the caller ID again after the second ring), namefirst
                      (NAME before the other fields), masklate (NMBR = number, then
                      NMBR = O). KEYS: rings=N (the caller gives up after N rings),
                      spacing=MS, date=MMDD, time=HHMM, ring=TEXT (distinctive:
                      "RING TEXT"), name=..., number=..., mdmf=HEX (raw packet as the
                      caller ID), split=N (the first N caller-ID lines before the first
                      ring, the rest after it), mesg=HEX (a MESG line after the fields)
  private, outofarea, nocid, numberonly, cidfirst [...]
                      a call with that flag, same arguments as call
  mdmf HEX [...]      a call whose caller ID is this raw packet line
  giveup [N]          a call whose caller hangs up after N rings (default 1)
  connect [RATE]      the ringing call connects now, as after ATA ("CONNECT RATE")
  data TEXT           sends TEXT to the host while connected (\r \n \xHH escapes)
  hangup              the far end hangs up: NO CARRIER when connected, rings stop
  say TEXT            sends the line TEXT (with CR LF) to the host as it is
  garbage [N]         sends N random bytes (default 64)
  longline [N]        sends one line of N bytes (default 1000)
  silent              stops answering: nothing more is sent or understood
  wake                answers again after silent
  vanish              closes the pseudo-terminal: the device disappears; then exits
  sleep MS            waits before the next command
  demo                plays plausible calls every few seconds, forever
  quit                exits (also taken while a call or sleep is in progress)
A call holds the next command back until it stops ringing (answered or given up).
)";
}

} // namespace FakeModem
