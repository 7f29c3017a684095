// Canonical telephone numbers. See PhoneNumber.h.
#include "calls/PhoneNumber.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace {

// The countries and how their people write numbers. NANP numbers are ten digits after the
// "1", which is both the trunk prefix and the calling code there. The national lengths are
// those of whole numbers without the trunk prefix; each minimum plus the code is longer than
// the longest local number (without area code) of the country.
constexpr TCountryRule Countries[] = {
    {"US", "1", "1", "011", 10, 0, 0}, {"CA", "1", "1", "011", 10, 0, 0},
    {"GB", "44", "0", "00", 0, 9, 10}, {"IE", "353", "0", "00", 0, 7, 9},
    {"DE", "49", "0", "00", 0, 8, 11}, {"FR", "33", "0", "00", 0, 9, 9},
    {"NL", "31", "0", "00", 0, 9, 9},  {"AU", "61", "0", "0011", 0, 9, 9},
    {"NZ", "64", "0", "00", 0, 8, 10},
};

constexpr size_t MinDigits = 3;
constexpr size_t MaxDigits = 15; // the longest international number

bool StartsWith(std::string_view Text, std::string_view Head) {
  return Text.substr(0, Head.size()) == Head;
}

// Lower-case copy for the extension markers.
std::string Lower(std::string_view Text) {
  std::string Result(Text);
  for (char& C : Result)
    C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  return Result;
}

// The text before an extension: "x12", "ext. 12", ";ext=12" (a tel: URI), "#12" or ",12".
std::string_view WithoutExtension(std::string_view Text) {
  const std::string Low = Lower(Text);
  size_t Cut = Text.size();
  for (const char* Marker : {"ext", "x", ";", "#", ","})
    Cut = std::min(Cut, Low.find(Marker));
  return Text.substr(0, Cut);
}

// The digits of Text and whether it was written as international ("+"); false for text that
// holds anything but digits, spaces and the usual separators.
bool Digits(std::string_view Text, std::string& Result, bool& International) {
  if (StartsWith(Lower(Text.substr(0, 4)), "tel:"))
    Text.remove_prefix(4);
  Text = WithoutExtension(Text);
  // "+44 (0)20 ...": the trunk prefix shown for those who dial from inside the country.
  std::string Written(Text);
  if (const size_t Trunk = Written.find("(0)"); Trunk != std::string::npos)
    Written.erase(Trunk, 3);
  Result.clear();
  International = false;
  for (char C : Written) {
    if (std::isdigit(static_cast<unsigned char>(C)) != 0)
      Result.push_back(C);
    else if (C == '+' && Result.empty() && !International)
      International = true;
    else if (C != ' ' && C != '-' && C != '.' && C != '(' && C != ')' && C != '/' && C != '\t')
      return false;
  }
  return true;
}

std::string Canonical(const std::string& Text, const TCountryRule& Country, bool Prefix) {
  std::string Number;
  bool International = false;
  if (!Digits(Text, Number, International))
    return "";
  if (!International && StartsWith(Number, Country.ExitPrefix)) {
    International = true;
    Number.erase(0, std::string_view(Country.ExitPrefix).size());
  }
  if (International) {
    if (!StartsWith(Number, Country.CallingCode))
      return Number.empty() || Number.size() > MaxDigits ? "" : "+" + Number;
    Number.erase(0, std::string_view(Country.CallingCode).size());
  } else if (StartsWith(Number, Country.TrunkPrefix)) {
    const size_t Rest = Number.size() - std::string_view(Country.TrunkPrefix).size();
    if (Prefix || Country.NationalDigits == 0 || Rest == Country.NationalDigits)
      Number.erase(0, std::string_view(Country.TrunkPrefix).size());
  } else if (!Prefix && StartsWith(Number, Country.CallingCode)) {
    // The own code without "+": only a whole national number after it makes it one.
    const size_t Rest = Number.size() - std::string_view(Country.CallingCode).size();
    if (Rest >= Country.MinNational && Rest <= Country.MaxNational && Country.MaxNational > 0)
      Number.erase(0, std::string_view(Country.CallingCode).size());
  }
  if (Number.size() > MaxDigits || Number.size() < (Prefix ? 1 : MinDigits))
    return "";
  return Number;
}

} // namespace

const TCountryRule* FindCountry(const std::string& Code) {
  std::string Upper = Code;
  for (char& C : Upper)
    C = static_cast<char>(std::toupper(static_cast<unsigned char>(C)));
  for (const TCountryRule& Rule : Countries)
    if (Upper == Rule.Code)
      return &Rule;
  return nullptr;
}

const TCountryRule& DefaultCountry() {
  return Countries[0];
}

std::string KnownCountries() {
  std::string Result;
  for (const TCountryRule& Rule : Countries)
    Result += (Result.empty() ? "" : ", ") + std::string(Rule.Code);
  return Result;
}

std::string CanonicalNumber(const std::string& Text, const TCountryRule& Country) {
  return Canonical(Text, Country, false);
}

std::string CanonicalPrefix(const std::string& Text, const TCountryRule& Country) {
  return Canonical(Text, Country, true);
}

bool PlainNumber(const std::string& Text) {
  std::string Number;
  bool International = false;
  return Text.find_first_not_of("0123456789+ -.()") == std::string::npos &&
         Digits(Text, Number, International) && Number.size() >= MinDigits &&
         Number.size() <= MaxDigits;
}

bool SameNumber(const std::string& A, const std::string& B, const TCountryRule& Country) {
  const std::string Left = CanonicalNumber(A, Country);
  return !Left.empty() && Left == CanonicalNumber(B, Country);
}
