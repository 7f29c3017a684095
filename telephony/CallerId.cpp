// CallerId: the modem output parser. See CallerId.h for the contract.
#include "telephony/CallerId.h"

#include "platform/PlainText.h"
#include "platform/Text.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>

namespace Telephony {

enum TCallerIdFieldKind { fkDate, fkTime, fkNumber, fkName, fkNumberAbsent, fkNameAbsent, fkParam };

struct TCallerIdField {
  TCallerIdFieldKind Kind = fkParam;
  std::string Value;
  TCallerIdAbsence Absence = caNone;
  TCallerIdParam Param;
};

namespace {

using Platform::Trim;
using TFields = std::vector<TCallerIdField>;

TCallerIdField TextField(TCallerIdFieldKind kind, std::string value) {
  TCallerIdField f;
  f.Kind = kind;
  f.Value = std::move(value);
  return f;
}

TCallerIdField AbsentField(TCallerIdFieldKind kind, TCallerIdAbsence absence) {
  TCallerIdField f;
  f.Kind = kind;
  f.Absence = absence;
  return f;
}

// What a field did to a block.
enum TMerge {
  mgMerged,    // the block took it
  mgDuplicate, // the block already said so; nothing changed
  mgConflict   // the block already holds this field with something else
};

constexpr std::size_t MaxDistinctive = 64;

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// ASCII only: 8-bit bytes of names stay as they are.
std::string Upper(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
  return r;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

bool IsDigits(std::string_view s) {
  for (char c : s)
    if (c < '0' || c > '9')
      return false;
  return !s.empty();
}

int HexValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

// Hex text to bytes; blanks between the digits are allowed (some modems group them).
bool HexToBytes(std::string_view hex, std::string& bytes) {
  bytes.clear();
  int high = -1;
  for (char c : hex) {
    if (IsBlank(c))
      continue;
    int v = HexValue(c);
    if (v < 0)
      return false;
    if (high < 0) {
      high = v;
    } else {
      bytes.push_back(static_cast<char>(high * 16 + v));
      high = -1;
    }
  }
  return high < 0 && !bytes.empty();
}

bool IsHexDigit(char c) {
  return HexValue(c) >= 0;
}

int TwoDigits(std::string_view s) {
  return (s[0] - '0') * 10 + (s[1] - '0');
}

bool ValidDate(std::string_view mmdd) {
  int month = TwoDigits(mmdd), day = TwoDigits(mmdd.substr(2));
  return month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

bool ValidTime(std::string_view hhmm) {
  return TwoDigits(hhmm) <= 23 && TwoDigits(hhmm.substr(2)) <= 59;
}

// "0504", "05-04", "2149", "21:49", "10-17 12:34" and "MMDDHHMM": digits with separators.
// Gives the date and/or time it holds; a malformed value ("12541") gives neither.
void DateTimeFields(std::string_view value, bool isDate, TFields& out) {
  std::string digits;
  for (char c : value) {
    if (c >= '0' && c <= '9')
      digits.push_back(c);
    else if (c != '-' && c != '/' && c != ':' && c != '.' && !IsBlank(c))
      return;
  }
  if (digits.size() == 8) {
    std::string_view d(digits);
    if (ValidDate(d.substr(0, 4)) && ValidTime(d.substr(4)))
      out.insert(out.end(), {TextField(fkDate, std::string(d.substr(0, 4))),
                             TextField(fkTime, std::string(d.substr(4)))});
  } else if (digits.size() == 4) {
    if (isDate ? ValidDate(digits) : ValidTime(digits))
      out.push_back(TextField(isDate ? fkDate : fkTime, digits));
  }
}

// Packets, MESG parameters and 8-bit lines carry any bytes; a number or a name keeps no
// control character (C1 ones included), so that none reaches a screen or a log.
void NumberFields(std::string_view raw, TFields& out) {
  const std::string clean = Platform::StripControls(raw);
  std::string_view value = Trim(clean);
  if (value.empty())
    return;
  if (TCallerIdAbsence a = CallerIdAbsenceOf(value); a != caNone)
    out.push_back(AbsentField(fkNumberAbsent, a));
  else
    out.push_back(TextField(fkNumber, std::string(value)));
}

void NameFields(std::string_view raw, TFields& out) {
  const std::string clean = Platform::StripControls(raw);
  std::string_view value = Trim(clean);
  if (value.empty())
    return;
  if (TCallerIdAbsence a = CallerIdAbsenceOf(value); a != caNone)
    out.push_back(AbsentField(fkNameAbsent, a));
  else
    out.push_back(TextField(fkName, std::string(value)));
}

// A stated reason means the field is absent; a reason we cannot read is taken as unavailable.
TCallerIdAbsence ReasonOf(std::string_view value) {
  TCallerIdAbsence a = CallerIdAbsenceOf(value);
  return a != caNone ? a : caOutOfArea;
}

// The parameter types shared by MDMF packets and MESG lines.
void ParamFields(uint8_t type, std::string_view data, TFields& out) {
  switch (type) {
  case 0x01:
    if (data.size() == 8 && IsDigits(data))
      DateTimeFields(data, true, out);
    return;
  case 0x02:
  case 0x03:
    NumberFields(data, out);
    return;
  case 0x04:
    out.push_back(AbsentField(fkNumberAbsent, ReasonOf(Trim(data))));
    return;
  case 0x07:
    NameFields(data, out);
    return;
  case 0x08:
    out.push_back(AbsentField(fkNameAbsent, ReasonOf(Trim(data))));
    return;
  default:
    TCallerIdField f;
    f.Kind = fkParam;
    f.Param = {type, std::string(data)};
    out.push_back(std::move(f));
  }
}

// type, length, data ... as in an MDMF body; false when a length runs past the end.
bool ParamListFields(std::string_view body, TFields& out, std::string& error) {
  while (!body.empty()) {
    if (body.size() < 2) {
      error = "parameter header cut short";
      return false;
    }
    auto type = static_cast<uint8_t>(body[0]);
    auto length = static_cast<uint8_t>(body[1]);
    if (body.size() - 2 < length) {
      char text[64];
      std::snprintf(text, sizeof text, "parameter 0x%02X of length %u runs past the end", type,
                    length);
      error = text;
      return false;
    }
    ParamFields(type, body.substr(2, length), out);
    body.remove_prefix(2 + length);
  }
  return true;
}

bool SameParamType(const TCallerIdInfo& b, uint8_t type) {
  for (const auto& p : b.Params)
    if (p.Type == type)
      return true;
  return false;
}

// Puts one field into a block. A masked number or name stays masked: the mask wins whichever
// way round the two come.
TMerge Merge(TCallerIdInfo& b, const TCallerIdField& f) {
  auto text = [&](std::string& slot) {
    if (slot.empty()) {
      slot = f.Value;
      return mgMerged;
    }
    return slot == f.Value ? mgDuplicate : mgConflict;
  };
  switch (f.Kind) {
  case fkDate:
    return text(b.Date);
  case fkTime:
    return text(b.Time);
  case fkNumber:
    if (b.NumberAbsent != caNone) // masked wins over a number that follows the mask
      return mgDuplicate;
    return text(b.Number);
  case fkName:
    if (b.NameAbsent != caNone)
      return mgDuplicate;
    return text(b.Name);
  case fkNumberAbsent:
    if (b.NumberAbsent == caNone) { // masks a number sent before it
      b.Number.clear();
      b.NumberAbsent = f.Absence;
      return mgMerged;
    }
    return b.NumberAbsent == f.Absence ? mgDuplicate : mgConflict;
  case fkNameAbsent:
    if (b.NameAbsent == caNone) { // masks a name as it masks a number
      b.Name.clear();
      b.NameAbsent = f.Absence;
      return mgMerged;
    }
    return b.NameAbsent == f.Absence ? mgDuplicate : mgConflict;
  case fkParam:
    if (!SameParamType(b, f.Param.Type)) {
      b.Params.push_back(f.Param);
      return mgMerged;
    }
    for (const auto& p : b.Params)
      if (p == f.Param)
        return mgDuplicate;
    return mgConflict;
  }
  return mgDuplicate;
}

bool SameParty(const TCallerIdInfo& a, const TCallerIdInfo& b) {
  return a.Number == b.Number && a.Name == b.Name && a.NumberAbsent == b.NumberAbsent &&
         a.NameAbsent == b.NameAbsent;
}

// One party field (number or name) of two blocks: agreeing when either lacks it, when both say
// the same, or when the later one is a lone mask of a value the earlier one has.
bool PartAgrees(const std::string& value, TCallerIdAbsence absent, const std::string& laterValue,
                TCallerIdAbsence laterAbsent, bool loneMask) {
  const bool has = !value.empty() || absent != caNone;
  const bool laterHas = !laterValue.empty() || laterAbsent != caNone;
  if (!has || !laterHas || (value == laterValue && absent == laterAbsent))
    return true;
  return loneMask && laterAbsent != caNone && absent == caNone;
}

TModemEvent Event(TModemEventKind kind, std::string_view line, std::string text = {}) {
  TModemEvent e;
  e.Kind = kind;
  e.Line = std::string(line);
  e.Text = std::move(text);
  return e;
}

} // namespace

bool SameCaller(const TCallerIdInfo& earlier, const TCallerIdInfo& later) {
  const bool undated = later.Date.empty() && later.Time.empty();
  return PartAgrees(earlier.Number, earlier.NumberAbsent, later.Number, later.NumberAbsent,
                    undated && !later.HasName()) &&
         PartAgrees(earlier.Name, earlier.NameAbsent, later.Name, later.NameAbsent,
                    undated && !later.HasNumber());
}

bool MergeCallerId(TCallerIdInfo& block, const TCallerIdInfo& later) {
  const TCallerIdInfo before = block;
  if (block.Date.empty())
    block.Date = later.Date;
  if (block.Time.empty())
    block.Time = later.Time;
  if (later.NumberAbsent != caNone && block.NumberAbsent == caNone) {
    block.Number.clear();
    block.NumberAbsent = later.NumberAbsent;
  } else if (!block.HasNumber()) {
    block.Number = later.Number;
  }
  if (later.NameAbsent != caNone && block.NameAbsent == caNone) {
    block.Name.clear();
    block.NameAbsent = later.NameAbsent;
  } else if (!block.HasName()) {
    block.Name = later.Name;
  }
  for (const auto& p : later.Params)
    if (!SameParamType(block, p.Type))
      block.Params.push_back(p);
  return !SameParty(before, block);
}

TCallerIdAbsence CallerIdAbsenceOf(std::string_view value) {
  static constexpr std::array<std::string_view, 7> privateMarks = {
      "P", "PRIVATE", "WITHHELD", "RESTRICTED", "BLOCKED", "ANONYMOUS", "PRIVATE NUMBER"};
  static constexpr std::array<std::string_view, 8> absentMarks = {
      "O",           "OUT OF AREA", "OUT-OF-AREA",   "OUTOFAREA",
      "UNAVAILABLE", "UNKNOWN",     "NOT AVAILABLE", "UNKNOWN NUMBER"};
  std::string v = Upper(Trim(value));
  for (auto m : privateMarks)
    if (v == m)
      return caPrivate;
  for (auto m : absentMarks)
    if (v == m)
      return caOutOfArea;
  return caNone;
}

bool DecodeCallerIdPacket(std::string_view packet, TCallerIdInfo& info, std::string& error) {
  info = {};
  if (packet.size() < 3) {
    error = "caller-ID packet too short";
    return false;
  }
  auto type = static_cast<uint8_t>(packet[0]);
  std::size_t length = static_cast<uint8_t>(packet[1]);
  if (length + 3 != packet.size()) {
    error = "caller-ID packet says " + std::to_string(length) + " bytes but carries " +
            std::to_string(packet.size() - 3);
    return false;
  }
  unsigned sum = 0;
  for (char c : packet)
    sum += static_cast<uint8_t>(c);
  if (sum % 256 != 0) {
    error = "caller-ID packet checksum does not add up";
    return false;
  }
  std::string_view body = packet.substr(2, length);
  TFields fields;
  if (type == 0x04) {
    if (body.size() < 8) {
      error = "SDMF packet shorter than its date and time";
      return false;
    }
    if (IsDigits(body.substr(0, 8)))
      DateTimeFields(body.substr(0, 8), true, fields);
    NumberFields(body.substr(8), fields);
  } else if (type == 0x80) {
    if (!ParamListFields(body, fields, error)) {
      error = "MDMF packet: " + error;
      return false;
    }
  } else {
    char text[48];
    std::snprintf(text, sizeof text, "unknown caller-ID packet type 0x%02X", type);
    error = text;
    return false;
  }
  for (const auto& f : fields)
    Merge(info, f);
  info.Raw = true;
  return true;
}

TModemLineParser::TModemLineParser(TModemParserOptions options) : FOptions(options) {}

std::size_t TModemLineParser::LineLimit(bool hex) const {
  return hex ? std::max(FOptions.MaxLineLength, MaxPacketLineLength) : FOptions.MaxLineLength;
}

void TModemLineParser::Reset() {
  TModemParserOptions options = FOptions;
  *this = TModemLineParser(options);
}

TModemEvents TModemLineParser::FeedBytes(std::string_view bytes, uint64_t nowMs) {
  TModemEvents out;
  Expire(nowMs, out);
  for (char ch : bytes) {
    if (ch == '\n' && FLastWasCr) { // the second half of CR LF
      FLastWasCr = false;
      continue;
    }
    FLastWasCr = ch == '\r';
    if (ch == '\r' || ch == '\n') {
      if (FDiscarding) {
        FDiscarding = false;
      } else {
        std::string line;
        line.swap(FPartial);
        HandleLine(line, nowMs, out);
      }
      FPartialHex = true;
      continue;
    }
    if (FDiscarding)
      continue;
    auto c = static_cast<unsigned char>(ch);
    if ((c < 0x20 && c != '\t') || c == 0x7f) // line noise, XON/XOFF, NULs
      continue;
    FPartial.push_back(ch);
    FPartialHex = FPartialHex && IsHexDigit(ch);
    if (FPartial.size() > LineLimit(FPartialHex)) {
      FPartial.clear();
      FDiscarding = true;
      out.push_back(TooLong());
    }
  }
  return out;
}

TModemEvent TModemLineParser::TooLong() const {
  return Event(ekBadData, {},
               "line longer than " + std::to_string(FOptions.MaxLineLength) + " bytes discarded");
}

TModemEvents TModemLineParser::FeedLine(std::string_view line, uint64_t nowMs) {
  TModemEvents out;
  Expire(nowMs, out);
  std::string clean;
  for (char ch : line) {
    auto c = static_cast<unsigned char>(ch);
    if ((c >= 0x20 && c != 0x7f) || c == '\t')
      clean.push_back(ch);
  }
  if (line.size() > LineLimit(std::all_of(clean.begin(), clean.end(), IsHexDigit))) {
    out.push_back(TooLong());
    return out;
  }
  HandleLine(clean, nowMs, out);
  return out;
}

TModemEvents TModemLineParser::Poll(uint64_t nowMs) {
  TModemEvents out;
  Expire(nowMs, out);
  return out;
}

std::optional<uint64_t> TModemLineParser::NextDeadline() const {
  if (!FPendingActive)
    return std::nullopt;
  return FPendingLastMs + (PendingComplete() ? FOptions.PauseMs : FOptions.LateFieldMs);
}

TModemEvents TModemLineParser::EndCall() {
  TModemEvents out;
  FlushPending({}, out);
  EndOfCall();
  FDistinctive.clear();
  return out;
}

void TModemLineParser::EndOfCall() {
  FReportedOpen = false;
  FCallRings = 0;
  FRingPeriodMs = 0;
}

void TModemLineParser::Expire(uint64_t nowMs, TModemEvents& out) {
  if (auto deadline = NextDeadline(); deadline && nowMs >= *deadline)
    FlushPending({}, out);
  if (!FPendingActive && nowMs >= FLastActivityMs + FOptions.CallGapMs)
    EndOfCall();
}

void TModemLineParser::HandleLine(std::string_view rawLine, uint64_t nowMs, TModemEvents& out) {
  std::string_view line = Trim(rawLine);
  if (line.empty()) // the blank lines that frame verbose results
    return;
  std::string upper = Upper(line);
  if (StartsWith(upper, "AT") || StartsWith(upper, "A/")) {
    out.push_back(Event(ekEcho, line));
    return;
  }
  if (HandleRing(upper, line, nowMs, out) || HandleResult(upper, line, out) ||
      HandleField(upper, line, nowMs, out) || HandlePacket(line, nowMs, out))
    return;
  out.push_back(Event(ekOther, line));
}

bool TModemLineParser::HandleResult(std::string_view upper, std::string_view line,
                                    TModemEvents& out) {
  struct TCode {
    std::string_view Text;
    TModemResult Result;
  };
  // Verbose texts and the numeric codes of ATV0.
  static constexpr std::array<TCode, 14> codes = {{{"OK", mrOk},
                                                   {"0", mrOk},
                                                   {"ERROR", mrError},
                                                   {"4", mrError},
                                                   {"NO CARRIER", mrNoCarrier},
                                                   {"3", mrNoCarrier},
                                                   {"BUSY", mrBusy},
                                                   {"7", mrBusy},
                                                   {"NO DIALTONE", mrNoDialtone},
                                                   {"NO DIAL TONE", mrNoDialtone},
                                                   {"6", mrNoDialtone},
                                                   {"NO ANSWER", mrNoAnswer},
                                                   {"8", mrNoAnswer},
                                                   {"1", mrConnect}}};
  TModemResult result = mrNone;
  std::string text;
  bool numeric = upper.size() == 1;
  for (const auto& c : codes)
    if (upper == c.Text && (!numeric || FOptions.NumericResults))
      result = c.Result;
  if (result == mrNone && (upper == "CONNECT" || StartsWith(upper, "CONNECT "))) {
    result = mrConnect;
    text = std::string(Trim(line.substr(7)));
  }
  if (result == mrNone)
    return false;
  // A result means the modem is talking about something else now: the block is over.
  FlushPending(line, out);
  EndOfCall();
  TModemEvent e = Event(ekResult, line, std::move(text));
  e.Result = result;
  out.push_back(std::move(e));
  return true;
}

bool TModemLineParser::HandleRing(std::string_view upper, std::string_view line, uint64_t nowMs,
                                  TModemEvents& out) {
  if (StartsWith(upper, "DRON") || StartsWith(upper, "DROF")) {
    std::string_view rest = Trim(upper.substr(4));
    if (rest.empty() || rest.front() != '=' || !IsDigits(Trim(rest.substr(1))))
      return false;
    // The cadence comes before its RING: keep it for that ring.
    std::string mark = std::string(upper.substr(0, 4)) + "=" + std::string(Trim(rest.substr(1)));
    if (FDistinctive.size() + mark.size() < MaxDistinctive)
      FDistinctive += (FDistinctive.empty() ? "" : " ") + mark;
    return true;
  }
  std::string text;
  if (upper == "RING" || (upper == "2" && FOptions.NumericResults)) {
    text.swap(FDistinctive);
  } else if (StartsWith(upper, "RING ")) {
    text = std::string(Trim(line.substr(5)));
    FDistinctive.clear();
  } else {
    return false;
  }
  if (FCallRings > 0)
    FRingPeriodMs = nowMs - FLastRingMs;
  FLastRingMs = nowMs;
  ++FCallRings;
  if (FPendingActive) {
    // A whole block is over at the next ring. One that lacks its number or name waits for it
    // past a ring that follows its first fields (fields split around it), but not past the
    // next ring of the call. A block unlike the one reported is another caller: the rings
    // before it were not its own.
    ++FPendingRings;
    if (PendingComplete() || FPendingRings >= 2 || (FPendingBetweenRings && !FReportedOpen))
      FlushPending(line, out);
    else
      FPendingLastMs = nowMs;
  }
  FLastActivityMs = nowMs;
  out.push_back(Event(ekRing, line, std::move(text)));
  return true;
}

bool TModemLineParser::HandleField(std::string_view upper, std::string_view line, uint64_t nowMs,
                                   TModemEvents& out) {
  std::size_t sep = upper.find_first_of("=:");
  if (sep == std::string_view::npos)
    return false;
  std::string_view key = Trim(upper.substr(0, sep));
  std::string_view value = Trim(line.substr(sep + 1));
  TFields fields;
  if (key == "DATE") {
    DateTimeFields(value, true, fields);
  } else if (key == "TIME") {
    DateTimeFields(value, false, fields);
  } else if (key == "NMBR" || key == "DDN_NMBR" || key == "NBR" || key == "CALLER NUMBER") {
    NumberFields(value, fields);
  } else if (key == "NAME" || key == "CALLER NAME") {
    NameFields(value, fields);
  } else if (key == "REASON FOR NO CALLER NUMBER") {
    fields.push_back(AbsentField(fkNumberAbsent, ReasonOf(value)));
  } else if (key == "REASON FOR NO CALLER NAME") {
    fields.push_back(AbsentField(fkNameAbsent, ReasonOf(value)));
  } else if (key == "MESG") {
    std::string bytes, error;
    if (!HexToBytes(value, bytes)) {
      out.push_back(Event(ekBadData, line, "MESG is not hex"));
      return true;
    }
    if (!ParamListFields(bytes, fields, error)) {
      out.push_back(Event(ekBadData, line, "MESG: " + error));
      return true;
    }
  } else {
    return false;
  }
  // A malformed or empty value still belongs to the block: it keeps the block's pause going.
  ApplyFields(fields, line, nowMs, out);
  return true;
}

bool TModemLineParser::HandlePacket(std::string_view line, uint64_t nowMs, TModemEvents& out) {
  if (line.size() < 6 || line.size() % 2 != 0)
    return false;
  std::string bytes;
  for (char c : line)
    if (HexValue(c) < 0)
      return false;
  HexToBytes(line, bytes);
  auto type = static_cast<uint8_t>(bytes[0]);
  if (type != 0x04 && type != 0x80)
    return false;
  TCallerIdInfo info;
  std::string error;
  if (!DecodeCallerIdPacket(bytes, info, error)) {
    out.push_back(Event(ekBadData, line, error));
    return true;
  }
  ApplyBlock(info, line, nowMs, out);
  return true;
}

void TModemLineParser::StartPending(uint64_t nowMs) {
  FPending = {};
  FPendingActive = true;
  FPendingLastMs = nowMs;
  FPendingRings = 0;
  // Long after the last ring (another call's, say) the block comes before its own first ring.
  FPendingBetweenRings =
      FCallRings > 0 && (FRingPeriodMs == 0 || nowMs - FLastRingMs <= FRingPeriodMs);
}

bool TModemLineParser::PendingComplete() const {
  // More of a call already reported needs no more than the pause.
  return (FPending.HasNumber() && FPending.HasName()) ||
         (FReportedOpen && SameCaller(FReported, FPending));
}

void TModemLineParser::ApplyFields(const std::vector<TCallerIdField>& fields, std::string_view line,
                                   uint64_t nowMs, TModemEvents& out) {
  FLastActivityMs = nowMs;
  if (fields.empty()) {
    if (FPendingActive)
      FPendingLastMs = nowMs;
    return;
  }
  if (!FPendingActive)
    StartPending(nowMs);
  for (const auto& f : fields) {
    if (Merge(FPending, f) == mgConflict) { // a second value for a field: the next block
      FlushPending(line, out);
      StartPending(nowMs);
      Merge(FPending, f);
    }
  }
  FPendingLastMs = nowMs;
  // Who is calling is known: a MESG that might follow is seldom sent and merges as an update.
  if (FPending.HasNumber() && FPending.HasName())
    FlushPending(line, out);
}

void TModemLineParser::ApplyBlock(const TCallerIdInfo& info, std::string_view line, uint64_t nowMs,
                                  TModemEvents& out) {
  // A packet is a whole block by itself.
  FlushPending(line, out);
  FLastActivityMs = nowMs;
  Report(info, line, out);
}

void TModemLineParser::FlushPending(std::string_view line, TModemEvents& out) {
  if (!FPendingActive)
    return;
  FPendingActive = false;
  TCallerIdInfo block = std::move(FPending);
  FPending = {};
  Report(std::move(block), line, out);
}

void TModemLineParser::Report(TCallerIdInfo info, std::string_view line, TModemEvents& out) {
  if (FReportedOpen && SameCaller(FReported, info)) {
    // More of the same call: reported again only when it changes who is calling.
    if (MergeCallerId(FReported, info)) {
      TModemEvent e = Event(ekCallerId, line);
      e.CallerId = FReported;
      e.CallerId.Update = true;
      out.push_back(std::move(e));
    }
    return;
  }
  TModemEvent e = Event(ekCallerId, line);
  e.CallerId = info;
  out.push_back(std::move(e));
  FReported = std::move(info);
  FReportedOpen = true;
}

} // namespace Telephony
