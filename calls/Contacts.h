// Contacts: the address book of names for known numbers, read from a vCard file as address
// books export it, and written back one card at a time.
//
// Contract:
// - ReadVCards takes vCard 2.1, 3.0 and 4.0 text: CRLF or LF line ends, a UTF-8 byte-order
//   mark, folded lines (a line beginning with a blank or a tab continues the one before),
//   property names in any case, with or without a group ("item1.TEL"), escaped values (\,
//   \; \n \\), UTF-8; 2.1's quoted-printable values (soft line breaks, "=XX" bytes) in UTF-8
//   or with CHARSET=ISO-8859-1. A card's name
//   is FN, else the given and family names of N; its numbers are every TEL, as text
//   ("+1 (555) 010-2030") or as a tel: URI. The name is cleaned: valid UTF-8 only (other
//   bytes read as Latin-1), no control characters (C1 ones included), at most ContactNameLimit
//   bytes.
// - A card that is broken (a line without ":", a BEGIN inside a card, no END before the
//   file ends, stray text between cards) is skipped with one warning naming the line where it
//   went wrong; the other cards are read. A card without a name or a number is of no use
//   here and is left out silently.
// - TContactBook finds a card's name for a number with the country's matching rules
//   (PhoneNumber.h); when two cards share a number the first one in the file wins.
// - ContactCard is the text of a new vCard 3.0 card, lines folded at 75 bytes, CRLF ends.
// Pure: no I/O.
#pragma once

#include "calls/PhoneNumber.h"

#include <map>
#include <string>
#include <vector>

inline constexpr size_t ContactNameLimit = 64;

struct TContact {
  std::string Name;
  std::vector<std::string> Numbers; // as the file wrote them
  int Line = 0;                     // of BEGIN:VCARD, 1-based
};

// The cards of Text; Warnings gets "<Source>:<line>: ..." for each card skipped.
std::vector<TContact> ReadVCards(const std::string& Text, const std::string& Source,
                                 std::vector<std::string>& Warnings);

// The cleaned form of a name from a file or a person (see above).
std::string CleanName(const std::string& Text);

// The text of one card for Name and Number.
std::string ContactCard(const std::string& Name, const std::string& Number);

class TContactBook {
public:
  TContactBook() = default;
  TContactBook(const std::vector<TContact>& Contacts, const TCountryRule& Country);

  // The name for Number, "" when no card has it.
  std::string Find(const std::string& Number) const;
  size_t Size() const { return FByNumber.size(); }

private:
  const TCountryRule* FCountry = &DefaultCountry();
  std::map<std::string, std::string> FByNumber; // canonical number -> name
};
