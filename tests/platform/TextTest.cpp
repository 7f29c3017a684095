// The text routines every layer shares: which bytes are blanks, names compared without case,
// moments in UTC.
#include "platform/Text.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

using Platform::SameNameNoCase;
using Platform::Trim;
using Platform::UtcText;

TEST(TextTest, TrimDropsAsciiWhiteSpaceOnlyAndOnlyAtTheEnds) {
  const struct {
    std::string In, Out;
  } Cases[] = {
      {"", ""},
      {" \t\r\n\v\f", ""},
      {"  Modem One\t", "Modem One"},
      {"\r\nkey = value\r", "key = value"},
      {"a \t b", "a \t b"},
      // A no-break space in UTF-8 and a Latin-1 byte are text, whatever the locale says.
      {"\xC2\xA0Jürgen\xA0", "\xC2\xA0Jürgen\xA0"},
      // A NUL or another control is no blank: the callers strip controls on their own.
      {std::string("\0x\x01", 3), std::string("\0x\x01", 3)},
  };
  for (const auto& Case : Cases)
    EXPECT_EQ(Case.Out, Trim(Case.In)) << '"' << Case.In << '"';
}

TEST(TextTest, NamesCompareWithoutTheCaseOfAsciiLetters) {
  EXPECT_TRUE(SameNameNoCase("TapiDevice", "tapidevice"));
  EXPECT_TRUE(SameNameNoCase("", ""));
  EXPECT_FALSE(SameNameNoCase("Line1", "Line"));
  EXPECT_FALSE(SameNameNoCase("Line1", "Line2"));
  // 8-bit letters keep their case: "É" is not "é".
  EXPECT_FALSE(SameNameNoCase("\xC3\x89", "\xC3\xA9"));
  EXPECT_FALSE(SameNameNoCase("[", "{")); // 0x5B and 0x7B differ by the case bit only
}

TEST(TextTest, UtcTextIsIso8601AndEmptyForAMomentNoCalendarHolds) {
  EXPECT_EQ("1970-01-01T00:00:00Z", UtcText(0));
  EXPECT_EQ("2026-03-01T08:05:09Z", UtcText(1772352309));
  EXPECT_EQ("1969-12-31T23:59:59Z", UtcText(-1));
  EXPECT_EQ("", UtcText(static_cast<std::time_t>(LLONG_MAX)));
}

} // namespace
