// Numbers as people write them and as the line sends them, matched per country.
#include "calls/PhoneNumber.h"

#include <gtest/gtest.h>

namespace {

struct TCase {
  const char* Country;
  const char* Text;
  const char* Canonical; // "" for no number
};

TEST(PhoneNumberTest, CanonicalFormsOfUsAndGbNumbers) {
  const TCase Cases[] = {
      // US: the ten digits, whatever the formatting, the "1" or the "+1".
      {"US", "4075551212", "4075551212"},
      {"US", "(407) 555-1212", "4075551212"},
      {"US", "407.555.1212", "4075551212"},
      {"US", "1-407-555-1212", "4075551212"},
      {"US", "14075551212", "4075551212"},
      {"US", "+1 407 555 1212", "4075551212"},
      {"US", "tel:+1-407-555-1212", "4075551212"},
      {"US", "TEL:+1-407-555-1212;ext=22", "4075551212"},
      {"US", "407-555-1212 x123", "4075551212"},
      {"US", "407-555-1212 ext. 123", "4075551212"},
      {"US", "407 555 1212 #9", "4075551212"},
      {"US", "5551234", "5551234"}, // seven-digit local number
      {"US", "1555123", "1555123"}, // a "1" before six digits is no trunk prefix
      {"US", "011 44 20 7946 0958", "+442079460958"},
      {"US", "+44 20 7946 0958", "+442079460958"},
      // GB: the national number without the trunk "0", whatever the formatting.
      {"GB", "020 7946 0958", "2079460958"},
      {"GB", "02079460958", "2079460958"},
      {"GB", "+44 (0)20 7946 0958", "2079460958"},
      {"GB", "+44 20 7946 0958", "2079460958"},
      {"GB", "0044 20 7946 0958", "2079460958"},
      {"GB", "07700 900123", "7700900123"},
      {"GB", "+1 407 555 1212", "+14075551212"},
      {"GB", "00 1 407 555 1212", "+14075551212"},
      // Garbage: nothing to match.
      {"US", "", ""},
      {"US", "unknown", ""},
      {"US", "1-800-FLOWERS", ""},
      {"US", "12", ""},
      {"US", "++14075551212", ""},
      {"US", "1234567890123456", ""},
      {"GB", "0", ""},
      {"US", "---", ""},
  };
  for (const TCase& Case : Cases) {
    const TCountryRule* Country = FindCountry(Case.Country);
    ASSERT_NE(Country, nullptr) << Case.Country;
    EXPECT_EQ(CanonicalNumber(Case.Text, *Country), Case.Canonical)
        << Case.Country << " \"" << Case.Text << "\"";
  }
}

// Some lines and exports write an international number with its country code but without
// "+" or the exit prefix. Such a number of one's own country is the national number, as long
// as what follows the code is as long as a national number there; a short local number that
// happens to start with the same digits stays what it is.
TEST(PhoneNumberTest, CountryCodeWithoutPlusOrExitPrefix) {
  const TCase Cases[] = {
      {"GB", "442079460958", "2079460958"},
      {"GB", "447700900123", "7700900123"},
      {"GB", "44 20 7946 0958", "2079460958"},
      {"GB", "441632960", "441632960"},         // nine digits in all: a local number
      {"GB", "4420794609581", "4420794609581"}, // too long for a GB number after the code
      {"IE", "35312345678", "12345678"},
      {"IE", "3531234567", "1234567"},
      {"IE", "3531234", "3531234"},
      {"DE", "4930123456789", "30123456789"},
      {"DE", "491701234567", "1701234567"},
      {"DE", "4912345", "4912345"}, // a local number in some town
      {"DE", "49123456", "49123456"},
      {"FR", "33123456789", "123456789"},
      {"FR", "3312345678", "3312345678"},
      {"NL", "31201234567", "201234567"},
      {"AU", "61212345678", "212345678"},
      {"AU", "61234567", "61234567"},
      {"NZ", "6491234567", "91234567"},
      {"NZ", "642112345678", "2112345678"},
      {"NZ", "6412345", "6412345"},
      {"US", "14075551212", "4075551212"},
      {"US", "4475551212", "4475551212"}, // a US number, not a GB one
  };
  for (const TCase& Case : Cases) {
    const TCountryRule* Country = FindCountry(Case.Country);
    ASSERT_NE(Country, nullptr) << Case.Country;
    EXPECT_EQ(CanonicalNumber(Case.Text, *Country), Case.Canonical)
        << Case.Country << " \"" << Case.Text << "\"";
  }
  const TCountryRule& Gb = *FindCountry("GB");
  EXPECT_TRUE(SameNumber("442079460958", "020 7946 0958", Gb));
  EXPECT_TRUE(SameNumber("442079460958", "+44 20 7946 0958", Gb));
}

TEST(PhoneNumberTest, SameNumberAcrossFormatsButNeverForGarbage) {
  const TCountryRule& Us = *FindCountry("us");
  const TCountryRule& Gb = *FindCountry("GB");
  EXPECT_TRUE(SameNumber("+1 (407) 555-1212", "14075551212", Us));
  EXPECT_TRUE(SameNumber("020 7946 0958", "+442079460958", Gb));
  EXPECT_FALSE(SameNumber("020 7946 0958", "+442079460958", Us)); // a US reader: two numbers
  EXPECT_FALSE(SameNumber("4075551212", "4075551213", Us));
  EXPECT_FALSE(SameNumber("5551212", "4075551212", Us)); // no guessing of the area code
  EXPECT_FALSE(SameNumber("garbage", "garbage", Us));
  EXPECT_FALSE(SameNumber("", "", Gb));
}

TEST(PhoneNumberTest, PrefixesDropTheTrunkPrefixWhateverTheLength) {
  const TCountryRule& Us = *FindCountry("US");
  const TCountryRule& Gb = *FindCountry("GB");
  EXPECT_EQ(CanonicalPrefix("1900", Us), "900");
  EXPECT_EQ(CanonicalPrefix("+1 900", Us), "900");
  EXPECT_EQ(CanonicalPrefix("0870", Gb), "870");
  EXPECT_EQ(CanonicalPrefix("+49", Gb), "+49");
  EXPECT_EQ(CanonicalPrefix("+44", Gb), ""); // all of one's own country is no prefix
  EXPECT_EQ(CanonicalPrefix("abc", Gb), "");
}

TEST(PhoneNumberTest, CountryTableAndPlainNumbers) {
  EXPECT_EQ(FindCountry("XX"), nullptr);
  EXPECT_STREQ(DefaultCountry().Code, "US");
  EXPECT_NE(KnownCountries().find("GB"), std::string::npos);
  EXPECT_TRUE(PlainNumber("+44 20 7946 0958"));
  EXPECT_TRUE(PlainNumber("(407) 555-1212"));
  EXPECT_FALSE(PlainNumber("5551234#\nwithheld"));
  EXPECT_FALSE(PlainNumber("555 1212 x1"));
  EXPECT_FALSE(PlainNumber("12"));
}

} // namespace
