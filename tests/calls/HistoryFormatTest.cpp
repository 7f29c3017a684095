// Stored calls as text, CSV and JSON: a table of calls with the awkward texts a telephone
// line can send, and what each format makes of them.
#include "calls/HistoryFormat.h"

#include <gtest/gtest.h>

namespace {

TCallRecord Call(const std::string& Number, const std::string& Name) {
  TCallRecord Record;
  Record.Moment = 1764999900; // 2025-12-06 05:45:00 UTC
  Record.Time = "06/12/2025  06:45:00";
  Record.Line = "Kitchen";
  Record.Number = Record.ID = Number;
  Record.Name = Record.IDName = Name;
  return Record;
}

struct TFormatCase {
  const char* What;
  std::string Number, Name;
  const char* Text;
  const char* Csv;
  const char* Json;
};

const TFormatCase Cases[] = {
    {"plain", "5551234", "JOHN DOE", "06/12/2025  06:45:00\t5551234\tJOHN DOE\n",
     "2025-12-06T05:45:00Z,06/12/2025  06:45:00,Kitchen,5551234,JOHN DOE,,,,0\r\n",
     "{\"utc\":\"2025-12-06T05:45:00Z\",\"local_time\":\"06/12/2025  06:45:00\","
     "\"line\":\"Kitchen\",\"number\":\"5551234\",\"name\":\"JOHN DOE\","
     "\"number_absent\":null,\"name_absent\":null,\"contact\":\"\",\"blocked\":false}\n"},
    {"comma and quotes", "1", "Doe, \"Jo\"", "06/12/2025  06:45:00\t1\tDoe, \"Jo\"\n",
     "2025-12-06T05:45:00Z,06/12/2025  06:45:00,Kitchen,1,\"Doe, \"\"Jo\"\"\",,,,0\r\n",
     "{\"utc\":\"2025-12-06T05:45:00Z\",\"local_time\":\"06/12/2025  06:45:00\","
     "\"line\":\"Kitchen\",\"number\":\"1\",\"name\":\"Doe, \\\"Jo\\\"\","
     "\"number_absent\":null,\"name_absent\":null,\"contact\":\"\",\"blocked\":false}\n"},
    {"terminal escapes, line breaks, C1", "2\x1b]0;owned\x07",
     "A\r\nB\tC\xc2\x9b"
     "31mD\\",
     "06/12/2025  06:45:00\t2]0;owned\tABC31mD\\\n",
     "2025-12-06T05:45:00Z,06/12/2025  06:45:00,Kitchen,2]0;owned,ABC31mD\\,,,,0\r\n",
     "{\"utc\":\"2025-12-06T05:45:00Z\",\"local_time\":\"06/12/2025  06:45:00\","
     "\"line\":\"Kitchen\",\"number\":\"2]0;owned\",\"name\":\"ABC31mD\\\\\","
     "\"number_absent\":null,\"name_absent\":null,\"contact\":\"\",\"blocked\":false}\n"},
    {"8-bit name that is not UTF-8", "3", "M\xfcller \xc3\xa9t\xc3",
     "06/12/2025  06:45:00\t3\t"
     "M\xef\xbf\xbdller \xc3\xa9t\xef\xbf\xbd\n",
     "2025-12-06T05:45:00Z,06/12/2025  06:45:00,Kitchen,3,M\xef\xbf\xbdller "
     "\xc3\xa9t\xef\xbf\xbd,,,,0\r\n",
     "{\"utc\":\"2025-12-06T05:45:00Z\",\"local_time\":\"06/12/2025  06:45:00\","
     "\"line\":\"Kitchen\",\"number\":\"3\",\"name\":\"M\xef\xbf\xbdller \xc3\xa9t\xef\xbf\xbd\","
     "\"number_absent\":null,\"name_absent\":null,\"contact\":\"\",\"blocked\":false}\n"},
};

TEST(HistoryFormatTest, EachFormatOfEachCall) {
  for (const TFormatCase& Case : Cases) {
    const TCallRecord Record = Call(Case.Number, Case.Name);
    EXPECT_EQ(Case.Text, FormatHistoryCall(Record, fmText)) << Case.What;
    EXPECT_EQ(Case.Csv, FormatHistoryCall(Record, fmCsv)) << Case.What;
    EXPECT_EQ(Case.Json, FormatHistoryCall(Record, fmJson)) << Case.What;
  }
}

TEST(HistoryFormatTest, AbsentFieldsShowTheListTextsAndCarryTheReason) {
  TCallRecord Record = Call("", "");
  Record.ID = Record.IDName = "Caller ID Blocked";
  Record.NumberAbsent = abWithheld;
  Record.NameAbsent = abOutOfArea;
  EXPECT_EQ("06/12/2025  06:45:00\tCaller ID Blocked\tCaller ID Blocked\n",
            FormatHistoryCall(Record, fmText));
  EXPECT_EQ("2025-12-06T05:45:00Z,06/12/2025  06:45:00,Kitchen,,,withheld,out-of-area,,0\r\n",
            FormatHistoryCall(Record, fmCsv));
  const std::string Json = FormatHistoryCall(Record, fmJson);
  EXPECT_NE(std::string::npos,
            Json.find("\"number\":\"\",\"name\":\"\",\"number_absent\":\"withheld\","
                      "\"name_absent\":\"out-of-area\",\"contact\":\"\",\"blocked\":false}"))
      << Json;
}

TEST(HistoryFormatTest, AContactAndABlockedCallShowBothNamesAndTheMark) {
  TCallRecord Record = Call("4075551212", "CHMIELEWSKI JOH");
  Record.IDName = Record.Contact = "Aunt \"Jo\", home";
  Record.Blocked = true;
  EXPECT_EQ("06/12/2025  06:45:00\t4075551212\tAunt \"Jo\", home [blocked]\n",
            FormatHistoryCall(Record, fmText));
  EXPECT_EQ("2025-12-06T05:45:00Z,06/12/2025  06:45:00,Kitchen,4075551212,CHMIELEWSKI JOH,,,"
            "\"Aunt \"\"Jo\"\", home\",1\r\n",
            FormatHistoryCall(Record, fmCsv));
  const std::string Json = FormatHistoryCall(Record, fmJson);
  EXPECT_NE(std::string::npos,
            Json.find("\"name\":\"CHMIELEWSKI JOH\",\"number_absent\":null,\"name_absent\":null,"
                      "\"contact\":\"Aunt \\\"Jo\\\", home\",\"blocked\":true}"))
      << Json;
}

TEST(HistoryFormatTest, HeaderAndFormatWords) {
  EXPECT_EQ("utc,local_time,line,number,name,number_absent,name_absent,contact,blocked\r\n",
            FormatHistoryHeader(fmCsv));
  EXPECT_EQ("", FormatHistoryHeader(fmText));
  EXPECT_EQ("", FormatHistoryHeader(fmJson));
  THistoryFormat Format = fmText;
  EXPECT_TRUE(ParseHistoryFormat("json", Format));
  EXPECT_EQ(fmJson, Format);
  EXPECT_TRUE(ParseHistoryFormat("csv", Format));
  EXPECT_EQ(fmCsv, Format);
  EXPECT_FALSE(ParseHistoryFormat("CSV", Format));
  EXPECT_FALSE(ParseHistoryFormat("xml", Format));
  EXPECT_EQ(fmCsv, Format);
}

TEST(HistoryFormatTest, CleanTextKeepsValidTextAndDropsOverlongForms) {
  EXPECT_EQ("Zo\xc3\xab \xe2\x82\xac \xf0\x9f\x93\x9e",
            CleanText("Zo\xc3\xab \xe2\x82\xac \xf0\x9f\x93\x9e"));
  // An overlong slash and an encoded surrogate are not UTF-8.
  EXPECT_EQ("\xef\xbf\xbd\xef\xbf\xbd", CleanText("\xc0\xaf"));
  EXPECT_EQ("\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd", CleanText("\xed\xa0\x80"));
  EXPECT_EQ("", CleanText(std::string("\0\x7f\x01", 3)));
}

} // namespace
