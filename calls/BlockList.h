// BlockList: the rules of the block list and of the allow list, one rule a line, and whether
// a call meets one of them.
//
// Contract:
// - A rule is one of: a number (formatting ignored, matched as PhoneNumber.h says); a prefix
//   ending in "*" ("1900*", "+49*"); "name:TEXT", a case-insensitive (ASCII) substring of the
//   name the network sent; "withheld" (the caller withheld the number); "out-of-area" (the
//   network could not deliver it). Keywords are case-insensitive; "#" starts a comment;
//   blank lines are ignored; a UTF-8 byte-order mark at the start is not part of the first line.
// - A line that is none of these is skipped with a warning naming it; the others still count.
// - Matching looks at Number, NumberAbsent and Name of the record as the network sent them,
//   never at the display texts. Pure: no I/O.
#pragma once

#include "calls/CallRecord.h"
#include "calls/PhoneNumber.h"

#include <string>
#include <vector>

enum TRuleKind { rkNumber, rkPrefix, rkName, rkWithheld, rkOutOfArea };

struct TBlockRule {
  TRuleKind Kind = rkNumber;
  std::string Text; // canonical number or prefix, or the upper-case name text
  int Line = 0;
};

class TRuleList {
public:
  TRuleList() = default;
  // Reads the rules of Text; Warnings gets "<Source>:<line>: ..." for each line skipped.
  TRuleList(const std::string& Text, const std::string& Source, const TCountryRule& Country,
            std::vector<std::string>& Warnings);

  // The first rule Call meets, nullptr for none.
  const TBlockRule* Match(const TCallRecord& Call) const;
  // Whether Number is a number rule of the list already.
  bool HasNumber(const std::string& Number) const;
  const std::vector<TBlockRule>& Rules() const { return FRules; }

private:
  const TCountryRule* FCountry = &DefaultCountry();
  std::vector<TBlockRule> FRules;
};
