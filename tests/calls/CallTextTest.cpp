// The safe texts of a call for the outlets' formats, on hostile and 8-bit input.
#include "calls/CallText.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(CallTextTest, PlainFieldRemovesControlsAndForbiddenCharactersAndBoundsTheLength) {
  EXPECT_EQ(PlainField("A*B\r\nC\x1b[2J\x7f", "*"), "A B  C [2J ");
  EXPECT_EQ(PlainField(std::string(1000, 'x'), "", 10), std::string(10, 'x'));
  EXPECT_EQ(PlainField("M\xfcller"), "M\xfcller"); // 8-bit text is the line's own
}

TEST(CallTextTest, Utf8TextKeepsValidSequencesAndReadsOtherBytesAsLatin1) {
  const struct {
    std::string In, Out;
  } Cases[] = {
      {"plain", "plain"},
      {"M\xc3\xbcller", "M\xc3\xbcller"},           // valid UTF-8 stays
      {"M\xfcller", "M\xc3\xbcller"},               // Latin-1 u-umlaut
      {"\xc3", "\xc3\x83"},                         // a lead byte at the end
      {"\xc0\xaf", "\xc3\x80\xc2\xaf"},             // an overlong slash is not a slash
      {"\xed\xa0\x80", "\xc3\xad\xc2\xa0\xc2\x80"}, // a surrogate
      {"\xf0\x9f\x93\x9e", "\xf0\x9f\x93\x9e"},     // a four-byte character
  };
  for (const auto& Case : Cases)
    EXPECT_EQ(Utf8Text(Case.In), Case.Out) << Case.In;
}

TEST(CallTextTest, JsonStringEscapesQuotesBackslashesAndControls) {
  EXPECT_EQ(JsonString("say \"hi\"\\"), "\"say \\\"hi\\\"\\\\\"");
  EXPECT_EQ(JsonString(std::string("a\0b\n", 4)), "\"a\\u0000b\\u000a\"");
  EXPECT_EQ(JsonString("\xe9"), "\"\xc3\xa9\"");
}

TEST(CallTextTest, CallJsonHoldsTheFieldsAndTheReasonsOfAbsentOnes) {
  ::setenv("TZ", "UTC0", 1);
  ::tzset();
  TCallRecord Call;
  Call.Moment = 1796767200;
  Call.Line = "Kitchen";
  Call.NumberAbsent = abOutOfArea;
  Call.Name = "O'Brien \"Jr\"";
  EXPECT_EQ(CallJson(Call),
            "{\"time\":\"2026-12-08T22:00:00+00:00\",\"line\":\"Kitchen\",\"number\":\"\","
            "\"name\":\"O'Brien \\\"Jr\\\"\",\"absent\":{\"number\":\"out-of-area\",\"name\":null},"
            "\"contact\":null,\"blocked\":false}");
  Call.Contact = "Zo\xc3\xab";
  Call.Blocked = true;
  EXPECT_NE(CallJson(Call).find(",\"contact\":\"Zo\xc3\xab\",\"blocked\":true}"), std::string::npos)
      << CallJson(Call);
  ::setenv("TZ", "EST5EDT", 1);
  ::tzset();
  EXPECT_EQ(IsoLocalTime(1796767200), "2026-12-08T17:00:00-05:00");
  ::unsetenv("TZ");
  ::tzset();
}

TEST(CallTextTest, TopicSlugIsOneSafeLevel) {
  EXPECT_EQ(TopicSlug("Kitchen modem"), "kitchen_modem");
  EXPECT_EQ(TopicSlug("a/b+#c"), "a_b_c");
  EXPECT_EQ(TopicSlug("  --  "), "line");
  EXPECT_EQ(TopicSlug(std::string(300, 'z')).size(), 64u);
}

// Names in other scripts keep a slug of their own: letters with accents and Cyrillic letters in
// plain Latin, anything else with a hash of the name, never the same slug for two names.
TEST(CallTextTest, TopicSlugsOfNamesBeyondAsciiAreReadableAndDistinct) {
  EXPECT_EQ(TopicSlug("Caf\xc3\xa9 2"), "cafe_2");
  EXPECT_EQ(TopicSlug("K\xc3\xbc"
                      "che \xc5\x81\xc3\xb3"
                      "d\xc5\xba"),
            "kuche_lodz");
  EXPECT_EQ(TopicSlug("Stra\xc3\x9f"
                      "e"),
            "strasse");
  EXPECT_EQ(TopicSlug("M\xfcller"), "muller") << "Latin-1 bytes as the line may send them";
  EXPECT_EQ(TopicSlug("\xd0\x9a\xd1\x83\xd1\x85\xd0\xbd\xd1\x8f"), "kukhnya"); // Кухня
  EXPECT_EQ(TopicSlug("\xd0\x9e\xd1\x84\xd0\xb8\xd1\x81"), "ofis");            // Офис
  EXPECT_EQ(TopicSlug("Line \xe2\x80\x93 2"), "line_2") << "a dash is punctuation";
  const std::string Kitchen = TopicSlug("\xe5\x8e\xa8\xe6\x88\xbf");            // 厨房
  const std::string Office = TopicSlug("\xe5\x8a\x9e\xe5\x85\xac\xe5\xae\xa4"); // 办公室
  EXPECT_EQ(Kitchen.size(), 13u) << Kitchen;
  EXPECT_EQ(Kitchen.rfind("line_", 0), 0u) << Kitchen;
  EXPECT_NE(Kitchen, Office);
  EXPECT_EQ(Kitchen, TopicSlug("\xe5\x8e\xa8\xe6\x88\xbf")) << "the same in every run";
  EXPECT_EQ(TopicSlug("Kitchen modem", true).rfind("kitchen_modem_", 0), 0u);
  EXPECT_NE(TopicSlug("Kitchen modem", true), TopicSlug("kitchen-modem", true));
  for (const std::string& Name : {Kitchen, Office, TopicSlug(std::string(300, '\xff'), true)}) {
    EXPECT_LE(Name.size(), 64u);
    EXPECT_EQ(Name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_"), std::string::npos);
  }
}

} // namespace
