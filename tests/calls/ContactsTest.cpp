// vCard files as address books export them, read into names for numbers.
#include "calls/Contacts.h"

#include <gtest/gtest.h>

namespace {

// As a phone's address book exports 3.0: CRLF, groups, TYPE lists, a long name folded, a
// photo folded over many lines, several numbers.
const char* const PhoneExport =
    "BEGIN:VCARD\r\n"
    "VERSION:3.0\r\n"
    "PRODID:-//Example Corp.//Address Book 14.0//EN\r\n"
    "N:Doe;John;;;\r\n"
    "FN:John Doe\r\n"
    "item1.TEL;type=pref:+1 (407) 555-1212\r\n"
    "TEL;TYPE=CELL;TYPE=VOICE:407.555.3434\r\n"
    "TEL;TYPE=WORK:1-321-555-0000 ext. 12\r\n"
    "PHOTO;ENCODING=b;TYPE=JPEG:/9j/4AAQSkZJRgABAQAAAQABAAD/2wBDAAgGBgcGBQgHBwcJCQgKDBQNDA\r\n"
    " sLDBkSEw8UHRofHh0aHBwgJC4nICIsIxwcKDcpLDAxNDQ0Hyc5PTgyPC4zNDL/2wBDAQkJCQwLDBgN\r\n"
    "END:VCARD\r\n"
    "BEGIN:VCARD\r\n"
    "VERSION:3.0\r\n"
    "FN:Zo\xc3\xab Chmielewska-Wi\xc5\x9bniewska of the Very Long Family Name That Needs Fo\r\n"
    " lding\r\n"
    "TEL;TYPE=HOME:+44 (0)20 7946 0958\r\n"
    "END:VCARD\r\n";

// As a mail client's address book exports 4.0: LF ends, tel: URIs, quoted parameters.
const char* const MailExport = "BEGIN:VCARD\n"
                               "VERSION:4.0\n"
                               "N:Ro\xc3\xa9;Jane;;;\n"
                               "TEL;VALUE=uri;TYPE=\"voice,home\":tel:+1-555-010-2030\n"
                               "TEL;VALUE=uri;PREF=1;TYPE=\"cell\":tel:+1-555-010-4040;ext=5\n"
                               "NOTE:Neighbour\\, calls about the dog\\nand the fence\n"
                               "END:VCARD\n"
                               "begin:vcard\n"
                               "version:4.0\n"
                               "fn:Acme Plumbing\n"
                               "email:info@example.com\n"
                               "end:vcard\n";

TEST(ContactsTest, PhoneExportWithFoldedLinesGroupsAndSeveralNumbers) {
  std::vector<std::string> Warnings;
  const std::vector<TContact> Cards = ReadVCards(PhoneExport, "contacts.vcf", Warnings);
  EXPECT_TRUE(Warnings.empty()) << Warnings.front();
  ASSERT_EQ(Cards.size(), 2u);
  EXPECT_EQ(Cards[0].Name, "John Doe");
  EXPECT_EQ(Cards[0].Numbers.size(), 3u);
  EXPECT_EQ(Cards[0].Line, 1);
  // The folded name is one name again, its UTF-8 intact, cut at the limit without a half
  // character.
  EXPECT_EQ(Cards[1].Name.rfind("Zo\xc3\xab Chmielewska-Wi\xc5\x9bniewska of the", 0), 0u)
      << Cards[1].Name;
  EXPECT_LE(Cards[1].Name.size(), ContactNameLimit);

  const TContactBook Book(Cards, *FindCountry("US"));
  EXPECT_EQ(Book.Find("4075551212"), "John Doe");
  EXPECT_EQ(Book.Find("14075553434"), "John Doe");
  EXPECT_EQ(Book.Find("3215550000"), "John Doe");
  EXPECT_EQ(Book.Find("4075559999"), "");
  EXPECT_EQ(Book.Find(""), "");
  const TContactBook British(Cards, *FindCountry("GB"));
  EXPECT_EQ(British.Find("02079460958"), Cards[1].Name);
}

TEST(ContactsTest, MailExportWithUrisAndNameFromN) {
  std::vector<std::string> Warnings;
  const std::vector<TContact> Cards = ReadVCards(MailExport, "mail.vcf", Warnings);
  EXPECT_TRUE(Warnings.empty());
  ASSERT_EQ(Cards.size(), 1u); // the plumber has no number
  EXPECT_EQ(Cards[0].Name, "Jane Ro\xc3\xa9");
  const TContactBook Book(Cards, *FindCountry("US"));
  EXPECT_EQ(Book.Find("5550102030"), "Jane Ro\xc3\xa9");
  EXPECT_EQ(Book.Find("15550104040"), "Jane Ro\xc3\xa9");
}

// Many phones still export vCard 2.1: names in quoted-printable with a charset, long values
// broken with "=" at the line end (soft line breaks), the encoding as a bare parameter.
TEST(ContactsTest, VCard21QuotedPrintableNamesAreDecoded) {
  const std::string Text =
      "\xEF\xBB\xBF"
      "BEGIN:VCARD\r\nVERSION:2.1\r\n"
      "N;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:M=C3=BCller;J=C3=BCrgen;;;\r\n"
      "FN;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:J=C3=BCrgen M=C3=BCller\r\n"
      "TEL;CELL:+49 170 1234567\r\nEND:VCARD\r\n"
      "BEGIN:VCARD\r\nVERSION:2.1\r\n"
      "N;ENCODING=QUOTED-PRINTABLE;CHARSET=UTF-8:=C3=89l=C3=A9onore;Fran=C3=A7oise=\r\n"
      "-Ren=C3=A9e;;;\r\n"
      "TEL;HOME;VOICE:01 23 45 67 89\r\nEND:VCARD\r\n"
      "BEGIN:VCARD\r\nVERSION:2.1\r\n"
      "FN;QUOTED-PRINTABLE;CHARSET=ISO-8859-1:Ren=E9 =3D Gro=DF\r\n"
      "TEL:5550001\r\nEND:VCARD\r\n"
      "BEGIN:VCARD\r\nVERSION:2.1\r\n"
      "FN;ENCODING=QUOTED-PRINTABLE:Broken =ZZ escape=\r\n"
      " and a fold\r\n"
      "TEL:5550002\r\nEND:VCARD\r\n";
  std::vector<std::string> Warnings;
  const std::vector<TContact> Cards = ReadVCards(Text, "phone.vcf", Warnings);
  EXPECT_TRUE(Warnings.empty()) << Warnings.front();
  ASSERT_EQ(Cards.size(), 4u);
  EXPECT_EQ(Cards[0].Name, "J\xc3\xbcrgen M\xc3\xbcller");
  EXPECT_EQ(Cards[1].Name, "Fran\xc3\xa7oise-Ren\xc3\xa9"
                           "e \xc3\x89l\xc3\xa9onore");
  EXPECT_EQ(Cards[2].Name, "Ren\xc3\xa9 = Gro\xc3\x9f");
  EXPECT_EQ(Cards[3].Name, "Broken =ZZ escape and a fold") << "a bad escape stays as it was";
}

TEST(ContactsTest, BrokenCardsAreSkippedWithOneWarningNamingTheLine) {
  const std::string Text = std::string("BEGIN:VCARD\nVERSION:3.0\nFN:Good One\nTEL:5550001\n"
                                       "END:VCARD\n"
                                       "BEGIN:VCARD\nVERSION:3.0\nFN:Broken\n"
                                       "this line has no colon\nTEL:5550002\nmore junk\n"
                                       "END:VCARD\n"
                                       "BEGIN:VCARD\nFN:No End\nTEL:5550003\n"
                                       "BEGIN:VCARD\nFN:Good Two\nTEL:5550004\nEND:VCARD\n"
                                       "stray words\n"
                                       "BEGIN:VCARD\nFN:Cut Off\nTEL:5550005\n");
  std::vector<std::string> Warnings;
  const std::vector<TContact> Cards = ReadVCards(Text, "c.vcf", Warnings);
  ASSERT_EQ(Cards.size(), 2u);
  EXPECT_EQ(Cards[0].Name, "Good One");
  EXPECT_EQ(Cards[1].Name, "Good Two");
  const std::vector<std::string> Expected = {
      "c.vcf:9: card skipped: a line without \":\"",
      "c.vcf:16: card skipped: a card begins inside another one",
      "c.vcf:20: card skipped: text outside a card",
      "c.vcf:21: card skipped: no END:VCARD before the end of the file",
  };
  EXPECT_EQ(Warnings, Expected);
}

TEST(ContactsTest, NamesAreCleanedAndWrittenCardsReadBack) {
  EXPECT_EQ(CleanName("  Bob\x1b[31m \r\nSmith "), "Bob [31m   Smith");
  EXPECT_EQ(CleanName("M\xfcller"), "M\xc3\xbcller"); // Latin-1 from an old export
  EXPECT_EQ(CleanName(" \t "), "");
  // C1 controls, from a page (U+009B in UTF-8) or an old export (the byte 0x9B), drive a
  // terminal as ESC does; letters of any script stay.
  EXPECT_EQ(CleanName("Eve\xc2\x9b[2J\xc2\x85"), "Eve[2J");
  EXPECT_EQ(CleanName("Eve\x9b[31m"), "Eve[31m");
  EXPECT_EQ(CleanName("J\xc3\xbcrgen \xd0\x9a\xd1\x83\xd1\x85\xd0\xbd\xd1\x8f"),
            "J\xc3\xbcrgen \xd0\x9a\xd1\x83\xd1\x85\xd0\xbd\xd1\x8f");

  const std::string Long = "Zo\xc3\xab, the; \\ neighbour " + std::string(40, 'x');
  const std::string Card = ContactCard(Long, "+44 20 7946 0958");
  for (size_t Start = 0, End; (End = Card.find("\r\n", Start)) != std::string::npos;
       Start = End + 2)
    EXPECT_LE(End - Start, 75u) << Card;
  std::vector<std::string> Warnings;
  const std::vector<TContact> Cards = ReadVCards(Card, "new", Warnings);
  ASSERT_EQ(Cards.size(), 1u) << Card;
  EXPECT_TRUE(Warnings.empty());
  EXPECT_EQ(Cards[0].Name, CleanName(Long));
  EXPECT_EQ(Cards[0].Numbers, std::vector<std::string>{"+44 20 7946 0958"});
}

} // namespace
