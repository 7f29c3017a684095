// Block and allow rules as people write them, against calls as the line reports them.
#include "calls/BlockList.h"

#include <gtest/gtest.h>

namespace {

TCallRecord Call(const std::string& Number, const std::string& Name,
                 TAbsence NumberAbsent = abNone) {
  TCallRecord Record;
  Record.Number = NumberAbsent == abNone ? Number : "";
  Record.ID = NumberAbsent == abNone ? Number : "Private";
  Record.NumberAbsent = NumberAbsent;
  Record.Name = Name;
  Record.IDName = Name;
  return Record;
}

const char* const Rules = "# calls nobody wants\n"
                          "(407) 555-0100   # the timeshare people\n"
                          "1-900*\n"
                          "+49*\n"
                          "name:Sales\n"
                          "NAME:  robo \n"
                          "Withheld\n"
                          "\n"
                          "not a rule\n"
                          "name:\n"
                          "+1*\n";

TEST(BlockListTest, EachKindOfRuleMeetsItsCallsOnly) {
  std::vector<std::string> Warnings;
  const TRuleList List(Rules, "blocklist.txt", *FindCountry("US"), Warnings);
  ASSERT_EQ(List.Rules().size(), 6u);
  const std::vector<std::string> Expected = {
      "blocklist.txt:9: rule skipped: not a number, prefix, name: rule, withheld or out-of-area",
      "blocklist.txt:10: rule skipped: name: without a text",
      "blocklist.txt:11: rule skipped: not a number prefix",
  };
  EXPECT_EQ(Warnings, Expected);

  const struct {
    TCallRecord Record;
    int Line; // of the rule met, 0 for none
  } Cases[] = {
      {Call("4075550100", "TIMESHARE"), 2},
      {Call("14075550100", ""), 2},
      {Call("4075550101", ""), 0},
      {Call("19005551234", ""), 3},
      {Call("9005551234", ""), 3},
      {Call("011493012345", ""), 4},
      {Call("4075551212", "ACME SALES INC"), 5},
      {Call("4075551212", "sales"), 5},
      {Call("4075551212", "ROBOCALLER"), 6},
      {Call("", "", abWithheld), 7},
      {Call("", "", abOutOfArea), 0},
      {Call("4075551212", "JOHN DOE"), 0},
  };
  for (const auto& Case : Cases) {
    const TBlockRule* Rule = List.Match(Case.Record);
    EXPECT_EQ(Rule == nullptr ? 0 : Rule->Line, Case.Line)
        << Case.Record.Number << " " << Case.Record.Name;
  }
  EXPECT_TRUE(List.HasNumber("407-555-0100"));
  EXPECT_FALSE(List.HasNumber("9005551234")); // met by a prefix, but no number rule
}

TEST(BlockListTest, OutOfAreaAndGbNumbers) {
  std::vector<std::string> Warnings;
  const TRuleList List("out-of-area\n0870*\n020 7946 0000\n", "b", *FindCountry("GB"), Warnings);
  EXPECT_TRUE(Warnings.empty());
  EXPECT_NE(List.Match(Call("", "", abOutOfArea)), nullptr);
  EXPECT_EQ(List.Match(Call("", "", abWithheld)), nullptr);
  EXPECT_NE(List.Match(Call("08701234567", "")), nullptr);
  EXPECT_NE(List.Match(Call("+44 870 123 4567", "")), nullptr);
  EXPECT_NE(List.Match(Call("02079460000", "")), nullptr);
  EXPECT_EQ(List.Match(Call("02079460001", "")), nullptr);
  // The country code without "+" or "00", as some lines send it.
  EXPECT_NE(List.Match(Call("442079460000", "")), nullptr);
  EXPECT_NE(List.Match(Call("448701234567", "")), nullptr);
  EXPECT_EQ(List.Match(Call("442079460001", "")), nullptr);
}

} // namespace
