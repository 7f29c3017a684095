// CallerIdCheck: the properties of the parser's events. See CallerIdCheck.h.
#include "fuzz/CallerIdCheck.h"

#include "fuzz/FuzzSupport.h"
#include "platform/PlainText.h"

#include <algorithm>
#include <cctype>

namespace Fuzz {

using namespace Telephony;

namespace {

bool AllDigits(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int Pair(std::string_view s) {
  return (s[0] - '0') * 10 + (s[1] - '0');
}

void CheckDate(const std::string& date) {
  if (date.empty())
    return;
  Check(date.size() == 4 && AllDigits(date), "a date is four digits", date);
  Check(Pair(date) >= 1 && Pair(date) <= 12, "a date's month is 1..12", date);
  Check(Pair(date.substr(2)) >= 1 && Pair(date.substr(2)) <= 31, "a date's day is 1..31", date);
}

void CheckTime(const std::string& time) {
  if (time.empty())
    return;
  Check(time.size() == 4 && AllDigits(time), "a time is four digits", time);
  Check(Pair(time) <= 23 && Pair(time.substr(2)) <= 59, "a time is a time of day", time);
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// A number or a name is its own clean form: no control character of any kind (C1 ones
// included), and no tab.
void CheckText(const std::string& text, const char* noControl, const char* trimmed) {
  Check(!HasControl(text) && Platform::StripControls(text) == text, noControl, text);
  Check(text.empty() || (!IsBlank(text.front()) && !IsBlank(text.back())), trimmed, text);
}

bool FieldType(uint8_t type) {
  return type == 0x01 || type == 0x02 || type == 0x03 || type == 0x04 || type == 0x07 ||
         type == 0x08;
}

} // namespace

void CheckCallerId(const TCallerIdInfo& info) {
  CheckDate(info.Date);
  CheckTime(info.Time);
  CheckText(info.Number, "a number holds no control byte", "a number has no blanks at its ends");
  CheckText(info.Name, "a name holds no control byte", "a name has no blanks at its ends");
  Check(info.Number.empty() || info.NumberAbsent == caNone, "a number is not both given and absent",
        info.Number);
  Check(info.Name.empty() || info.NameAbsent == caNone, "a name is not both given and absent",
        info.Name);
  // A raw packet may carry no parameter at all; a block of lines starts with a field.
  Check(info.Raw || !info.Date.empty() || !info.Time.empty() || info.HasNumber() ||
            info.HasName() || !info.Params.empty(),
        "a caller-ID block of lines holds something");
  for (size_t i = 0; i < info.Params.size(); ++i) {
    Check(!FieldType(info.Params[i].Type), "a kept parameter is of no field's type",
          info.Params[i].Data);
    for (size_t j = 0; j < i; ++j)
      Check(info.Params[j].Type != info.Params[i].Type, "a block keeps one parameter per type",
            info.Params[i].Data);
  }
}

void CheckEvent(const TModemEvent& event, const TModemParserOptions& options) {
  Check(!HasControl(event.Line), "an event's line holds no control byte", event.Line);
  const bool hex = std::all_of(event.Line.begin(), event.Line.end(),
                               [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
  Check(event.Line.size() <=
            (hex ? std::max(options.MaxLineLength, MaxPacketLineLength) : options.MaxLineLength),
        "an event's line fits the line length (a hex line: the longest packet)", event.Line);
  Check(!HasControl(event.Text), "an event's text holds no control byte", event.Text);
  switch (event.Kind) {
  case ekCallerId:
    CheckCallerId(event.CallerId);
    break;
  case ekResult:
    Check(event.Result != mrNone, "a result event names its result", event.Line);
    break;
  case ekBadData:
    Check(!event.Text.empty(), "discarded data says why", event.Line);
    break;
  default:
    Check(event.Result == mrNone, "only a result event has a result", event.Line);
  }
}

void CheckSameEvents(const TModemEvents& a, const TModemEvents& b) {
  Check(a.size() == b.size(), "bytes and lines give as many events",
        std::to_string(a.size()) + " against " + std::to_string(b.size()));
  for (size_t i = 0; i < a.size(); ++i) {
    Check(a[i].Kind == b[i].Kind && a[i].Result == b[i].Result,
          "bytes and lines give events of the same kind", a[i].Line + " | " + b[i].Line);
    Check(a[i].Text == b[i].Text, "bytes and lines give the same event texts",
          a[i].Text + " | " + b[i].Text);
    Check(a[i].Line == b[i].Line, "bytes and lines give the same event lines",
          a[i].Line + " | " + b[i].Line);
    Check(a[i].CallerId == b[i].CallerId, "bytes and lines give the same caller-ID blocks",
          a[i].Line);
  }
}

} // namespace Fuzz
