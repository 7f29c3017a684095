// The caller of an INVITE, from header values as real PBXes, carriers and phones send them.
#include "telephony/SipIdentity.h"

#include <gtest/gtest.h>

using namespace Telephony;

namespace {

struct TCase {
  const char* What;
  TSipIdentityHeaders Headers;
  std::string Number;
  std::string Name;
  TCallerIdAbsence NumberAbsent = caNone;
  TCallerIdAbsence NameAbsent = caNone;
};

TSipIdentityHeaders FromOnly(const std::string& from) {
  TSipIdentityHeaders headers;
  headers.From = from;
  return headers;
}

const TCase Cases[] = {
    {"From with a quoted name", FromOnly(R"("Okafor Grace" <sip:3125550147@pbx.lan>;tag=1a2b)"),
     "3125550147", "Okafor Grace"},
    {"From with a token name", FromOnly("Front Desk <sip:201@10.0.0.1:5060>;tag=x"), "201",
     "Front Desk"},
    {"bare From: the tag is no part of the number", FromOnly("sip:+4930123456@carrier.de;tag=9"),
     "+4930123456", ""},
    {"escaped quote in the name", FromOnly(R"("Li \"Ace\" Wu" <sip:555@h>)"), "555",
     "Li \"Ace\" Wu"},
    {"percent-encoded user part", FromOnly("<sip:%2B1%20555%20010%200199@h;user=phone>"),
     "+15550100199", ""},
    {"tel: URI with separators and parameters",
     FromOnly("\"Acme\" <tel:+1-555-010-0199;phone-context=example.com>"), "+15550100199", "Acme"},
    {"sips: URI, password and user parameters dropped", FromOnly("<sips:0301234;npdi:secret@h>"),
     "0301234", ""},
    {"a SIP user name is kept as it is", FromOnly("\"Alice\" <sip:alice.smith@example.org>"),
     "alice.smith", "Alice"},
    {"anonymous From is withheld",
     FromOnly(R"("Anonymous" <sip:anonymous@anonymous.invalid>;tag=1)"), "", "", caPrivate,
     caPrivate},
    {"restricted user is withheld", FromOnly("<sip:Restricted@carrier.net>"), "", "", caPrivate,
     caPrivate},
    {"anonymous host is withheld", FromOnly("<sip:0301234@anonymous.invalid>"), "", "", caPrivate,
     caPrivate},
    {"From without a user part names no number", FromOnly("<sip:pbx.lan>"), "", ""},
    {"P-Asserted-Identity wins over From",
     {{R"("Net Name" <sip:+15550001111@carrier>, <tel:+15550001111>)"}, {}, "<sip:999@x>", {}},
     "+15550001111",
     "Net Name"},
    {"a name from From when the asserted number matches",
     {{"<tel:+15550001111>"}, {}, R"("Bob" <sip:+15550001111@pbx>)", {}},
     "+15550001111",
     "Bob"},
    {"no name from a From with another number",
     {{"<tel:+15550001111>"}, {}, R"("Spoofed" <sip:123@pbx>)", {}},
     "+15550001111",
     ""},
    {"Remote-Party-ID when there is no asserted identity",
     {{},
      {R"("Rpid Caller" <sip:7775551234@gw>;party=calling;screen=yes;privacy=off)"},
      "<sip:1@x>",
      {}},
     "7775551234",
     "Rpid Caller"},
    {"Remote-Party-ID of the called party is not the caller",
     {{}, {"<sip:111@gw>;party=called"}, "\"From\" <sip:222@x>", {}},
     "222",
     "From"},
    {"Remote-Party-ID privacy=full withholds",
     {{}, {R"("Hidden" <sip:7775551234@gw>;party=calling;privacy=full)"}, "<sip:7775551234@x>", {}},
     "",
     "",
     caPrivate,
     caPrivate},
    {"Remote-Party-ID privacy=name keeps the number",
     {{}, {R"("Hidden" <sip:7775551234@gw>;privacy=name)"}, "", {}},
     "7775551234",
     "",
     caNone,
     caPrivate},
    {"Privacy: id withholds whatever the headers say",
     {{"<sip:+15550001111@carrier>"}, {}, R"("Bob" <sip:+15550001111@x>)", {"id"}},
     "",
     "",
     caPrivate,
     caPrivate},
    {"Privacy: header;user withholds",
     {{}, {}, "<sip:5@x>", {"header; user"}},
     "",
     "",
     caPrivate,
     caPrivate},
    {"Privacy: none withholds nothing", {{}, {}, "<sip:5@x>", {"none"}}, "5", ""},
    {"an anonymous From after an asserted number keeps the number",
     {{"<tel:+15550001111>"}, {}, "\"Anonymous\" <sip:anonymous@anonymous.invalid>", {}},
     "+15550001111",
     ""},
    {"an anonymous asserted identity withholds a From number",
     {{"<sip:anonymous@anonymous.invalid>"}, {}, "<sip:5551234@x>", {}},
     "",
     "",
     caPrivate,
     caPrivate},
    {"control characters and overlong fields are cut",
     FromOnly("\"A\x01"
              "BCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJ\" "
              "<sip:12345678901234567890123456789012345@x>"),
     "12345678901234567890123456789012",
     "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789AB"},
    {"C1 controls, in UTF-8 or as raw bytes, never reach a terminal",
     FromOnly("\"J\xC3\xBCrgen\xC2\x9B"
              "2J M\x9B"
              "1m\" <sip:5551234@x>"),
     "5551234", "J\xC3\xBCrgen2J M1m"},
    {"a name is never cut inside a character",
     FromOnly("\"" + std::string(63, 'x') + "\xC3\xA9\" <sip:1@x>"), "1", std::string(63, 'x')},
    {"unterminated quote or bracket is no address", FromOnly("\"Broken <sip:1@x>"), "", ""},
    {"missing closing bracket", FromOnly("Broken <sip:1@x"), "", ""},
    {"empty headers", {}, "", ""},
};

TEST(SipIdentityTest, CallerFromHeaders) {
  for (const TCase& test : Cases) {
    const TCallerIdInfo info = SipCallerId(test.Headers);
    EXPECT_EQ(info.Number, test.Number) << test.What;
    EXPECT_EQ(info.Name, test.Name) << test.What;
    EXPECT_EQ(info.NumberAbsent, test.NumberAbsent) << test.What;
    EXPECT_EQ(info.NameAbsent, test.NameAbsent) << test.What;
  }
}

} // namespace
