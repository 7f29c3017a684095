// PhoneNumber: telephone numbers compared the way a person means them, whatever the formatting.
//
// Contract:
// - A number is brought to one canonical form per country: digits only, extensions cut off,
//   the country's own calling code and trunk prefix dropped ("+1 (407) 555-1212",
//   "1-407-555-1212" and "4075551212" are all "4075551212" in the US; "+44 20 7946 0958",
//   "0044 20 7946 0958" and "020 7946 0958" are all "2079460958" in GB). A number of another
//   country keeps its calling code behind a "+" ("011 49 30 1234567" is "+49301234567").
//   The country's own code written without "+" or the exit prefix ("442079460958" in GB) is
//   dropped too, but only when what follows has the length of a whole national number there,
//   so that a short local number that starts with the same digits stays as it is.
// - Text that is not a number (letters, no digits, fewer than 3 or more than 15 digits) has
//   no canonical form (""), so it matches nothing.
// - A prefix (for the block list) is canonical in the same way, except that the trunk prefix
//   is dropped whatever the length left; an empty prefix is no prefix.
// - The country rules are the one table in PhoneNumber.cpp; pure functions, no I/O.
#pragma once

#include <string>

struct TCountryRule {
  const char* Code;        // ISO 3166 two letters, upper case
  const char* CallingCode; // the country's own code, without "+"
  const char* TrunkPrefix; // dialled before a national number ("0", "1")
  const char* ExitPrefix;  // dialled before another country's code ("00", "011")
  unsigned NationalDigits; // the trunk prefix is dropped only when this many remain (0: any)
  // A number that starts with CallingCode (no "+", no exit prefix) is one of this country's
  // when MinNational to MaxNational digits follow the code (0: never; the trunk prefix rules).
  unsigned MinNational;
  unsigned MaxNational;
};

// The rule of Code (case-insensitive), nullptr when the table has none.
const TCountryRule* FindCountry(const std::string& Code);
// The default country, US.
const TCountryRule& DefaultCountry();
// The codes the table knows, comma-separated, for messages.
std::string KnownCountries();

// The canonical form of Text, "" when it is no number.
std::string CanonicalNumber(const std::string& Text, const TCountryRule& Country);
// The canonical form of a prefix, "" when it is none.
std::string CanonicalPrefix(const std::string& Text, const TCountryRule& Country);
// Whether Text is a number written plainly: digits, a leading "+" and the usual separators
// only (no extension, nothing else), at least MinDigits digits; safe to write into a file line.
bool PlainNumber(const std::string& Text);
// Whether A and B are the same number in Country.
bool SameNumber(const std::string& A, const std::string& B, const TCountryRule& Country);
