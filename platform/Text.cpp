// The text routines every layer shares. See Text.h.
#include "platform/Text.h"

namespace Platform {

namespace {

constexpr std::string_view Blanks = " \t\r\n\v\f";

char LowerAscii(char C) {
  return C >= 'A' && C <= 'Z' ? static_cast<char>(C - 'A' + 'a') : C;
}

} // namespace

std::string_view Trim(std::string_view Text) {
  const size_t First = Text.find_first_not_of(Blanks);
  if (First == std::string_view::npos)
    return {};
  return Text.substr(First, Text.find_last_not_of(Blanks) - First + 1);
}

bool SameNameNoCase(std::string_view A, std::string_view B) {
  if (A.size() != B.size())
    return false;
  for (size_t I = 0; I < A.size(); ++I)
    if (LowerAscii(A[I]) != LowerAscii(B[I]))
      return false;
  return true;
}

std::string UtcText(std::time_t Moment) {
  std::tm Utc{};
  if (gmtime_r(&Moment, &Utc) == nullptr)
    return {};
  char Text[64];
  if (std::strftime(Text, sizeof Text, "%Y-%m-%dT%H:%M:%SZ", &Utc) == 0)
    return {};
  return Text;
}

} // namespace Platform
