// Block and allow list rules. See BlockList.h.
#include "calls/BlockList.h"

#include "platform/Text.h"

#include <cctype>
#include <string_view>

namespace {

std::string Upper(std::string Text) {
  for (char& C : Text)
    C = static_cast<char>(std::toupper(static_cast<unsigned char>(C)));
  return Text;
}

// A UTF-8 byte-order mark, as some editors start a file with.
constexpr std::string_view ByteOrderMark = "\xEF\xBB\xBF";

// The rule of one line without its comment; Why says what is wrong when it is none.
bool ParseRule(const std::string& Text, const TCountryRule& Country, TBlockRule& Rule,
               std::string& Why) {
  const std::string Word = Upper(Text);
  if (Word == "WITHHELD") {
    Rule.Kind = rkWithheld;
  } else if (Word == "OUT-OF-AREA") {
    Rule.Kind = rkOutOfArea;
  } else if (Word.rfind("NAME:", 0) == 0) {
    Rule.Kind = rkName;
    Rule.Text = Platform::Trim(Word.substr(5));
    Why = "name: without a text";
  } else if (!Text.empty() && Text.back() == '*') {
    Rule.Kind = rkPrefix;
    Rule.Text = CanonicalPrefix(Text.substr(0, Text.size() - 1), Country);
    Why = "not a number prefix";
  } else {
    Rule.Kind = rkNumber;
    Rule.Text = CanonicalNumber(Text, Country);
    Why = "not a number, prefix, name: rule, withheld or out-of-area";
  }
  return Rule.Kind == rkWithheld || Rule.Kind == rkOutOfArea || !Rule.Text.empty();
}

} // namespace

TRuleList::TRuleList(const std::string& Text, const std::string& Source,
                     const TCountryRule& Country, std::vector<std::string>& Warnings)
    : FCountry(&Country) {
  int Number = 0;
  size_t Start = Text.rfind(ByteOrderMark, 0) == 0 ? ByteOrderMark.size() : 0;
  while (Start < Text.size()) {
    size_t End = Text.find('\n', Start);
    if (End == std::string::npos)
      End = Text.size();
    std::string Line = Text.substr(Start, End - Start);
    Start = End + 1;
    ++Number;
    Line = Platform::Trim(Line.substr(0, Line.find('#')));
    if (Line.empty())
      continue;
    TBlockRule Rule;
    Rule.Line = Number;
    std::string Why;
    if (ParseRule(Line, Country, Rule, Why))
      FRules.push_back(Rule);
    else
      Warnings.push_back(Source + ":" + std::to_string(Number) + ": rule skipped: " + Why);
  }
}

const TBlockRule* TRuleList::Match(const TCallRecord& Call) const {
  const std::string Number =
      Call.NumberAbsent == abNone ? CanonicalNumber(Call.Number, *FCountry) : "";
  const std::string Name = Upper(Call.Name);
  for (const TBlockRule& Rule : FRules) {
    bool Met = false;
    switch (Rule.Kind) {
    case rkNumber:
      Met = !Number.empty() && Number == Rule.Text;
      break;
    case rkPrefix:
      Met = !Number.empty() && Number.rfind(Rule.Text, 0) == 0;
      break;
    case rkName:
      Met = Name.find(Rule.Text) != std::string::npos;
      break;
    case rkWithheld:
      Met = Call.NumberAbsent == abWithheld;
      break;
    case rkOutOfArea:
      Met = Call.NumberAbsent == abOutOfArea;
      break;
    }
    if (Met)
      return &Rule;
  }
  return nullptr;
}

bool TRuleList::HasNumber(const std::string& Number) const {
  const std::string Key = CanonicalNumber(Number, *FCountry);
  for (const TBlockRule& Rule : FRules)
    if (Rule.Kind == rkNumber && Rule.Text == Key)
      return !Key.empty();
  return false;
}
