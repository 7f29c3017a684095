// The modem output parser against what real caller-ID modems send: every form of the modem
// transcripts, raw packets, line ends, split reads, over-long lines, noise and timing.
#include "telephony/CallerId.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

using namespace Telephony;

namespace {

const char* AbsenceText(TCallerIdAbsence a) {
  switch (a) {
  case caPrivate:
    return "P";
  case caOutOfArea:
    return "O";
  default:
    return "-";
  }
}

// One event as a short text, so that a table row can say what must come out.
std::string Describe(const TModemEvent& e) {
  switch (e.Kind) {
  case ekRing:
    return e.Text.empty() ? "RING" : "RING " + e.Text;
  case ekCallerId: {
    const TCallerIdInfo& c = e.CallerId;
    std::string s = c.Update ? "CID+ " : "CID ";
    s += c.Date + "|" + c.Time + "|" + c.Number + "|" + c.Name + "|" + AbsenceText(c.NumberAbsent) +
         AbsenceText(c.NameAbsent);
    for (const auto& p : c.Params) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "|%02X:", p.Type);
      s += hex;
      for (unsigned char b : p.Data) {
        std::snprintf(hex, sizeof hex, "%02X", b);
        s += hex;
      }
    }
    return s;
  }
  case ekResult:
    return "RESULT " + std::to_string(e.Result) + (e.Text.empty() ? "" : " " + e.Text);
  case ekEcho:
    return "ECHO " + e.Line;
  case ekBadData:
    return "BAD";
  case ekOther:
    return "OTHER " + e.Line;
  }
  return "?";
}

std::vector<std::string> Describe(const TModemEvents& events) {
  std::vector<std::string> r;
  for (const auto& e : events)
    r.push_back(Describe(e));
  return r;
}

// Feeds everything at time 0 and then lets the pause pass.
std::vector<std::string> ParseAll(const std::string& input, TModemParserOptions options = {}) {
  TModemLineParser parser(options);
  TModemEvents events = parser.FeedBytes(input, 0);
  TModemEvents late = parser.Poll(100000);
  events.insert(events.end(), late.begin(), late.end());
  return Describe(events);
}

std::string Crlf(std::initializer_list<std::string> lines) {
  std::string s;
  for (const auto& l : lines)
    s += l + "\r\n";
  return s;
}

std::string Crlf(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& l : lines)
    s += l + "\r\n";
  return s;
}

// A packet of type, length and body with the checksum that makes it add up.
std::string Packet(char type, const std::string& body) {
  std::string p{type, static_cast<char>(body.size())};
  p += body;
  unsigned sum = 0;
  for (unsigned char c : p)
    sum += c;
  p.push_back(static_cast<char>((256 - sum % 256) % 256));
  return p;
}

std::string HexOf(const std::string& bytes) {
  std::string hex;
  char pair[3];
  for (unsigned char b : bytes) {
    std::snprintf(pair, sizeof pair, "%02X", b);
    hex += pair;
  }
  return hex;
}

// A name of 120 characters, as a carrier with long names sends it: the packet's hex line is
// longer than any line of text.
const std::string LongName = std::string("WIRELESS CALLER SURVEY ") + std::string(97, 'Q');

std::string LongNamePacketLine() {
  const auto Param = [](char Type, const std::string& Data) {
    return std::string{Type, static_cast<char>(Data.size())} + Data;
  };
  return HexOf(Packet('\x80', Param('\x01', "05042149") + Param('\x02', "4075551212") +
                                  Param('\x07', LongName)));
}

struct TCase {
  const char* Title;
  std::string Input;
  std::vector<std::string> Expected;
};

const std::vector<TCase>& TranscriptCases() {
  static const std::vector<TCase> cases = {
      {"North America, spaces around =",
       "\r\nRING\r\n\r\nDATE = 0504\r\nTIME = 2149\r\nNMBR = 4075551212\r\nNAME = Chmielewski "
       "Joh\r\n\r\nRING\r\n",
       {"RING", "CID 0504|2149|4075551212|Chmielewski Joh|--", "RING"}},
      {"no spaces, no name: reported at the next ring",
       Crlf({"RING", "", "DATE=1203", "TIME=1452", "NMBR=07700900461", "", "RING"}),
       {"RING", "CID 1203|1452|07700900461||--", "RING"}},
      {"caller ID before the first ring, MESG call type, withheld",
       Crlf({"MESG = 110101", "DATE = 0421", "TIME = 0934", "NMBR = P", "NAME = WITHHELD", "",
             "RING"}),
       {"CID 0421|0934|||PP|11:01", "RING"}},
      {"out of area number and name",
       Crlf({"DATE = 0101", "TIME = 0000", "NMBR = O", "NAME = O"}),
       {"CID 0101|0000|||OO"}},
      {"number sent, then masked: masked wins",
       Crlf({"DATE = 0504", "TIME = 2149", "NMBR = 4075551212", "NMBR = O", "NAME = Unavailable"}),
       {"CID 0504|2149|||OO"}},
      {"mask first: a number after it does not unmask",
       Crlf({"NMBR = P", "NMBR = 4075551212", "NAME = PRIVATE"}),
       {"CID ||||PP"}},
      {"name before number",
       Crlf({"NAME = Kowalski Ann", "DATE = 0607", "NMBR = 5551234"}),
       {"CID 0607||5551234|Kowalski Ann|--"}},
      {"DDN_NMBR spelling",
       Crlf({"DATE = 0202", "TIME = 1010", "DDN_NMBR= 8005550199"}),
       {"CID 0202|1010|8005550199||--"}},
      {"NBR spelling: without a name the block waits past the first ring",
       Crlf({"NBR=3125550147", "RING"}),
       {"RING", "CID ||3125550147||--"}},
      {"CALLER NUMBER spelling with time and name",
       Crlf({"TIME: 10-17 12:34", "CALLER NUMBER: 5551212", "CALLER NAME: Dvorak Eva"}),
       {"CID 1017|1234|5551212|Dvorak Eva|--"}},
      {"REASON FOR NO CALLER NUMBER",
       Crlf({"TIME: 10-17 12:34", "REASON FOR NO CALLER NUMBER: P"}),
       {"CID 1017|1234|||P-"}},
      {"REASON FOR NO CALLER NUMBER, out of area, then a name",
       Crlf({"REASON FOR NO CALLER NUMBER: O", "REASON FOR NO CALLER NAME: O"}),
       {"CID ||||OO"}},
      {"malformed TIME is dropped, the rest kept",
       Crlf({"DATE = 0504", "TIME = 12541", "NMBR = 4075551212", "NAME = Chmielewski Joh"}),
       {"CID 0504||4075551212|Chmielewski Joh|--"}},
      {"8-bit name kept as bytes",
       Crlf({"NMBR = 0301234567", "NAME = M\xFCller J\xE9r\xF4me"}),
       {"CID ||0301234567|M\xFCller J\xE9r\xF4me|--"}},
      {"Restricted and OUT OF AREA",
       Crlf({"NMBR = OUT OF AREA", "NAME = Restricted"}),
       {"CID ||||OP"}},
      {"Bell Canada number as MESG",
       Crlf({"DATE = 1111", "MESG = 030735353531323132", "RING"}),
       {"RING", "CID 1111||5551212||--"}},
      {"unknown lines inside a block do not lose it",
       Crlf({"DATE = 0504", "SOMETHING ODD", "NMBR = 4075551212", "NAME = Chmielewski Joh"}),
       {"OTHER SOMETHING ODD", "CID 0504||4075551212|Chmielewski Joh|--"}},
      {"a ring without caller-ID service",
       Crlf({"RING", "", "RING", "", "RING"}),
       {"RING", "RING", "RING"}},
      {"distinctive rings",
       Crlf({"RING A", "RING 1", "DRON=5", "DROF=40", "RING", "RING"}),
       {"RING A", "RING 1", "RING DRON=5 DROF=40", "RING"}},
      {"a name containing RING is no ring",
       Crlf({"NMBR = 5550100", "NAME = RINGO STARR"}),
       {"CID ||5550100|RINGO STARR|--"}},
      {"RINGING and RINGO are no rings",
       Crlf({"RINGING", "RINGO"}),
       {"OTHER RINGING", "OTHER RINGO"}},
      {"result codes",
       Crlf({"OK", "ERROR", "CONNECT", "CONNECT 57600/V42", "NO CARRIER", "BUSY", "NO DIALTONE",
             "NO ANSWER", "NO DIAL TONE", "0", "4"}),
       {"RESULT 1", "RESULT 2", "RESULT 3", "RESULT 3 57600/V42", "RESULT 4", "RESULT 5",
        "RESULT 6", "RESULT 7", "RESULT 6", "OTHER 0", "OTHER 4"}},
      {"echo of our commands",
       "AT+VCID=1\r\r\nOK\r\nATZ\r\r\nOK\r\n",
       {"ECHO AT+VCID=1", "RESULT 1", "ECHO ATZ", "RESULT 1"}},
      {"a result ends a waiting block first",
       Crlf({"NMBR = 5550100", "NO CARRIER"}),
       {"CID ||5550100||--", "RESULT 4"}},
      {"MDMF capture 1",
       Crlf({"802401083038303731383337070F4B4C415641204D4152592020202020030735363333393733B5"}),
       {"CID 0807|1837|5633973|KLAVA MARY|--"}},
      {"MDMF capture 2",
       Crlf({"802401083038313131333234070F4272697420436F6C756D626961202003073936313932373907"}),
       {"CID 0811|1324|9619279|Brit Columbia|--"}},
      {"MDMF with absent reasons and an unknown parameter",
       Crlf({"80130108313232343135303504014F08015011010110"}),
       {"CID 1224|1505|||OP|11:01"}},
      {"SDMF with a number",
       Crlf({"040F30313031313230303535353132313203"}),
       {"CID 0101|1200|5551212||--"}},
      {"SDMF private", Crlf({"04093033313531383330500E"}), {"CID 0315|1830|||P-"}},
      {"bad checksum is discarded",
       Crlf({"802401083038303731383337070F4B4C415641204D4152592020202020030735363333393733B6"}),
       {"BAD"}},
      {"bad length is discarded",
       Crlf({"802501083038303731383337070F4B4C415641204D4152592020202020030735363333393733B5"}),
       {"BAD"}},
      {"MDMF parameter running past the end", Crlf({"800507144142439A"}), {"BAD"}},
      {"MESG that is not hex", Crlf({"MESG = 11ZZ01", "RING"}), {"BAD", "RING"}},
      {"MESG parameter running past the end", Crlf({"MESG = 1105AA", "RING"}), {"BAD", "RING"}},
      {"a packet line longer than any text line: a 120-character name",
       Crlf({LongNamePacketLine()}),
       {"CID 0504|2149|4075551212|" + LongName + "|--"}},
      {"control characters of the line: C1 as a raw byte and in UTF-8, a tab; letters kept",
       Crlf({"NMBR = 555\x9B-1234",
             "NAME = J\xC3\xBCrgen\t\xC2\x9B[2J \xD0\x9A\xD1\x83\xD1\x85\xD0\xBD\xD1\x8F\x85"}),
       {"CID ||555-1234|J\xC3\xBCrgen [2J \xD0\x9A\xD1\x83\xD1\x85\xD0\xBD\xD1\x8F|--"}},
      {"garbage bytes, then a call",
       std::string("\x00\x01\xFF\xFE\x13junk\r\n", 10) +
           Crlf({"DATE = 0504", "NMBR = 4075551212", "NAME = Chmielewski Joh"}),
       {"OTHER \xFF\xFEjunk", "CID 0504||4075551212|Chmielewski Joh|--"}},
  };
  return cases;
}

TEST(CallerIdTest, TranscriptTable) {
  for (const auto& c : TranscriptCases())
    EXPECT_EQ(ParseAll(c.Input), c.Expected) << c.Title;
}

// Every withheld and unavailable spelling that carriers use, as number and as name.
// ATV0 codes only when the owner says the modem is in numeric mode: otherwise a bare digit is
// the answer to a query.
TEST(CallerIdTest, NumericResultsOnlyWhenAsked) {
  const std::string input = Crlf({"0", "2", "1", "3", "4", "6", "7", "8", "9"});
  EXPECT_EQ(ParseAll(input),
            (std::vector<std::string>{"OTHER 0", "OTHER 2", "OTHER 1", "OTHER 3", "OTHER 4",
                                      "OTHER 6", "OTHER 7", "OTHER 8", "OTHER 9"}));
  TModemParserOptions numeric;
  numeric.NumericResults = true;
  EXPECT_EQ(ParseAll("0\r2\r1\r3\r4\r6\r7\r8\r9\r", numeric),
            (std::vector<std::string>{"RESULT 1", "RING", "RESULT 3", "RESULT 4", "RESULT 2",
                                      "RESULT 6", "RESULT 5", "RESULT 7", "OTHER 9"}));
}

TEST(CallerIdTest, AbsenceSpellings) {
  const std::vector<std::pair<std::string, TCallerIdAbsence>> marks = {
      {"P", caPrivate},
      {"PRIVATE", caPrivate},
      {"WITHHELD", caPrivate},
      {"Restricted", caPrivate},
      {"O", caOutOfArea},
      {"Unavailable", caOutOfArea},
      {"OUT OF AREA", caOutOfArea},
      {"Kowalski", caNone},
      {"Pat", caNone},
      {"0", caNone},
  };
  for (const auto& [mark, absence] : marks) {
    EXPECT_EQ(CallerIdAbsenceOf(mark), absence) << mark;
    TModemLineParser parser;
    TModemEvents ev = parser.FeedBytes(Crlf({"NMBR = " + mark, "NAME = " + mark}), 0);
    EXPECT_TRUE(parser.Poll(100000).empty()) << mark;
    ASSERT_EQ(ev.size(), 1u) << mark;
    EXPECT_EQ(ev[0].CallerId.NumberAbsent, absence) << mark;
    EXPECT_EQ(ev[0].CallerId.NameAbsent, absence) << mark;
    EXPECT_EQ(ev[0].CallerId.Number.empty(), absence != caNone) << mark;
  }
}

// The two real captures through the packet decoder itself.
TEST(CallerIdTest, DecodesPacketsDirectly) {
  auto bytes = [](const std::string& hex) {
    std::string b;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
      b.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return b;
  };
  TCallerIdInfo info;
  std::string error;
  ASSERT_TRUE(DecodeCallerIdPacket(
      bytes("802401083038303731383337070F4B4C415641204D4152592020202020030735363333393733B5"), info,
      error))
      << error;
  EXPECT_EQ(info.Date, "0807");
  EXPECT_EQ(info.Time, "1837");
  EXPECT_EQ(info.Name, "KLAVA MARY");
  EXPECT_EQ(info.Number, "5633973");
  EXPECT_TRUE(info.Raw);

  ASSERT_TRUE(DecodeCallerIdPacket(
      bytes("802401083038313131333234070F4272697420436F6C756D626961202003073936313932373907"), info,
      error));
  EXPECT_EQ(info.Name, "Brit Columbia");
  EXPECT_EQ(info.Number, "9619279");

  EXPECT_FALSE(DecodeCallerIdPacket(bytes("80"), info, error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(DecodeCallerIdPacket(bytes("050341424332"), info, error)) << "unknown type";
  EXPECT_FALSE(DecodeCallerIdPacket(bytes("040341424333"), info, error)) << "SDMF too short";
}

// Packets and MESG parameters carry any bytes; none of the control bytes among them may reach
// a number or a name, where they would drive the terminal or break a log line.
TEST(CallerIdTest, ControlBytesNeverReachANumberOrAName) {
  TCallerIdInfo info;
  std::string error;
  // The fuzzer's find: an SDMF packet whose number is one XOFF byte.
  const std::string found("\x04\x09\xFF\x00\x05\xFF\xFF\xFF\xFF\xFF\x13\xE1", 12);
  ASSERT_TRUE(DecodeCallerIdPacket(found, info, error)) << error;
  EXPECT_FALSE(info.HasNumber()) << "number \"" << info.Number << "\"";

  const std::string escape =
      Packet('\x80', std::string("\x07\x09\x1B[2JEve\n ", 11) + "\x02\x05" + "55\r01");
  ASSERT_TRUE(DecodeCallerIdPacket(escape, info, error)) << error;
  EXPECT_EQ(info.Name, "[2JEve");
  EXPECT_EQ(info.Number, "5501");

  TModemLineParser parser;
  EXPECT_EQ(Describe(parser.FeedBytes(HexOf(escape) + "\r\n", 0)),
            std::vector<std::string>{"CID ||5501|[2JEve|--"});
  parser.Reset();
  // A block of fields is reported once it has its number and name.
  EXPECT_EQ(Describe(parser.FeedBytes(Crlf({"MESG = 0703410142", "MESG = 0203350A35"}), 0)),
            std::vector<std::string>{"CID ||55|AB|--"});
}

const std::string NorthAmericaCall =
    "\r\nRING\r\n\r\nDATE = 0504\r\nTIME = 2149\r\nNMBR = 4075551212\r\nNAME = Chmielewski "
    "Joh\r\n\r\nRING\r\n";

std::string ReplaceAll(std::string s, const std::string& from, const std::string& to) {
  std::string r;
  std::size_t pos = 0, hit;
  while ((hit = s.find(from, pos)) != std::string::npos) {
    r += s.substr(pos, hit - pos) + to;
    pos = hit + from.size();
  }
  return r + s.substr(pos);
}

TEST(CallerIdTest, LineEndsAllGiveTheSameEvents) {
  const auto expected = ParseAll(NorthAmericaCall);
  ASSERT_EQ(expected.size(), 3u);
  for (const char* end : {"\n", "\r", "\n\r", "\r\r\n"})
    EXPECT_EQ(ParseAll(ReplaceAll(NorthAmericaCall, "\r\n", end)), expected)
        << "line end of " << std::string(end).size() << " bytes";
}

TEST(CallerIdTest, SplitReadsGiveTheSameEvents) {
  const auto expected = ParseAll(NorthAmericaCall);
  // Every place a read can split the stream, CR and LF torn apart included.
  for (std::size_t cut = 0; cut <= NorthAmericaCall.size(); ++cut) {
    TModemLineParser parser;
    TModemEvents ev = parser.FeedBytes(NorthAmericaCall.substr(0, cut), 0);
    TModemEvents rest = parser.FeedBytes(NorthAmericaCall.substr(cut), 0);
    ev.insert(ev.end(), rest.begin(), rest.end());
    EXPECT_EQ(Describe(ev), expected) << "cut at " << cut;
  }
  // And one byte per read.
  TModemLineParser parser;
  std::vector<std::string> got;
  for (char c : NorthAmericaCall)
    for (const auto& e : parser.FeedBytes(std::string(1, c), 0))
      got.push_back(Describe(e));
  EXPECT_EQ(got, expected);
}

TEST(CallerIdTest, RingSplitOverTwoReadsIsOneRing) {
  TModemLineParser parser;
  EXPECT_TRUE(parser.FeedBytes("\r\nRI", 0).empty());
  TModemEvents ev = parser.FeedBytes("NG\r\n", 10);
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].Kind, ekRing);
  // A line that never ends never counts.
  EXPECT_TRUE(parser.FeedBytes("RING", 20).empty());
  EXPECT_TRUE(parser.Poll(100000).empty());
}

TEST(CallerIdTest, OverLongLinesAreDiscarded) {
  std::string max(256, 'x');
  std::string over(257, 'x');
  EXPECT_EQ(ParseAll(max + "\r\n"), std::vector<std::string>{"OTHER " + max});
  EXPECT_EQ(ParseAll(over + "\r\nRING\r\n"), (std::vector<std::string>{"BAD", "RING"}));
  // An over-long line ending in what looks like a field or a ring is still discarded whole.
  EXPECT_EQ(ParseAll(std::string(300, 'y') + "NAME = RING\r\nRING\r\n"),
            (std::vector<std::string>{"BAD", "RING"}));
  // A hex line may be as long as the longest packet, and not a digit longer.
  const std::string longest(2 * (3 + 255), 'A');
  EXPECT_EQ(ParseAll(longest + "\r\n"), std::vector<std::string>{"OTHER " + longest});
  EXPECT_EQ(ParseAll(longest + "AB\r\nRING\r\n"), (std::vector<std::string>{"BAD", "RING"}));
  EXPECT_EQ(ParseAll(std::string(300, 'A') + "y\r\nRING\r\n"),
            (std::vector<std::string>{"BAD", "RING"}));
  // A flood without any line end gives one report and keeps nothing of it.
  TModemLineParser parser;
  TModemEvents ev = parser.FeedBytes(std::string(100000, 'z'), 0);
  EXPECT_EQ(Describe(ev), std::vector<std::string>{"BAD"});
  EXPECT_EQ(Describe(parser.FeedBytes("\r\nRING\r\n", 0)), std::vector<std::string>{"RING"});
  EXPECT_EQ(Describe(parser.FeedBytes(std::string(100000, 'A'), 0)),
            std::vector<std::string>{"BAD"});
  EXPECT_EQ(Describe(parser.FeedBytes("\r\nRING\r\n", 0)), std::vector<std::string>{"RING"});
  EXPECT_EQ(Describe(parser.FeedLine(LongNamePacketLine(), 0)),
            std::vector<std::string>{"CID 0504|2149|4075551212|" + LongName + "|--"});
  // Through FeedLine as well.
  EXPECT_EQ(Describe(parser.FeedLine(over, 0)), std::vector<std::string>{"BAD"});
  // The limit is an option.
  TModemParserOptions small;
  small.MaxLineLength = 8;
  EXPECT_EQ(ParseAll("NMBR = 12345\r\nRING\r\n", small), (std::vector<std::string>{"BAD", "RING"}));
}

TEST(CallerIdTest, FeedLineMatchesFeedBytes) {
  TModemLineParser parser;
  std::vector<std::string> got;
  for (const char* line : {"", "RING", "DATE = 0504", "TIME = 2149", "NMBR = 4075551212",
                           "NAME = Chmielewski Joh", "", "RING"})
    for (const auto& e : parser.FeedLine(line, 0))
      got.push_back(Describe(e));
  EXPECT_EQ(got, ParseAll(NorthAmericaCall));
}

// --- Timing: the pause, late fields, the call gap.

// A block is reported the moment it has both its number and its name; what follows it waits
// the pause, and is reported again only when it changes who is calling.
TEST(CallerIdTest, WholeBlockAtOnceAndLateFieldsAfterThePause) {
  TModemParserOptions options;
  options.PauseMs = 500;
  TModemLineParser parser(options);
  EXPECT_FALSE(parser.NextDeadline());
  EXPECT_TRUE(
      parser.FeedBytes(Crlf({"DATE=1203", "TIME=1452", "NAME=Brit Columbia"}), 1000).empty());
  // The name alone waits for its number, no pause.
  ASSERT_TRUE(parser.NextDeadline());
  EXPECT_EQ(*parser.NextDeadline(), 1000u + options.LateFieldMs);
  // The second of the two reports the block in the same read, before the line's end is awaited.
  EXPECT_EQ(Describe(parser.FeedBytes("NMBR=07700900461\r", 1200)),
            std::vector<std::string>{"CID 1203|1452|07700900461|Brit Columbia|--"});
  EXPECT_FALSE(parser.NextDeadline());
  EXPECT_TRUE(parser.FeedBytes("\n", 1201).empty()) << "the LF of the CR LF ends no second line";
  // A MESG after it joins the call silently: it changes nobody.
  EXPECT_TRUE(parser.FeedBytes(Crlf({"MESG = 110101"}), 1300).empty());
  ASSERT_TRUE(parser.NextDeadline());
  EXPECT_EQ(*parser.NextDeadline(), 1800u);
  EXPECT_TRUE(parser.Poll(1800).empty());
  // A mask waits the pause, then updates the call.
  EXPECT_TRUE(parser.FeedBytes(Crlf({"NMBR = O"}), 2000).empty());
  EXPECT_TRUE(parser.Poll(2499).empty());
  EXPECT_EQ(Describe(parser.Poll(2500)),
            std::vector<std::string>{"CID+ 1203|1452||Brit Columbia|O-|11:01"});
  EXPECT_TRUE(parser.Poll(5000).empty()) << "reported once";
}

TEST(CallerIdTest, BlockWithoutItsNameWaitsForTheSecondRingOrTheLateFieldTime) {
  TModemParserOptions options;
  options.PauseMs = 500;
  options.LateFieldMs = 4000;
  // Without rings: the late-field time after the last line.
  {
    TModemLineParser parser(options);
    EXPECT_TRUE(
        parser.FeedBytes(Crlf({"DATE=1203", "TIME=1452", "NMBR=07700900461"}), 1000).empty());
    ASSERT_TRUE(parser.NextDeadline());
    EXPECT_EQ(*parser.NextDeadline(), 5000u);
    EXPECT_TRUE(parser.Poll(4999).empty());
    EXPECT_EQ(Describe(parser.Poll(5000)),
              std::vector<std::string>{"CID 1203|1452|07700900461||--"});
  }
  // Before the first ring: past that ring (which restarts the wait), up to the second.
  {
    TModemLineParser parser(options);
    EXPECT_TRUE(parser.FeedBytes(Crlf({"NMBR=07700900461"}), 0).empty());
    EXPECT_EQ(Describe(parser.FeedBytes(Crlf({"RING"}), 300)), std::vector<std::string>{"RING"});
    EXPECT_EQ(*parser.NextDeadline(), 4300u);
    EXPECT_TRUE(parser.Poll(3300).empty());
    EXPECT_EQ(Describe(parser.FeedBytes(Crlf({"RING"}), 3300)),
              (std::vector<std::string>{"CID ||07700900461||--", "RING"}));
  }
  // After the first ring: at the second.
  {
    TModemLineParser parser(options);
    parser.FeedBytes(Crlf({"RING"}), 0);
    EXPECT_TRUE(parser.FeedBytes(Crlf({"NMBR=07700900461"}), 2500).empty());
    EXPECT_TRUE(parser.Poll(3500).empty());
    EXPECT_EQ(Describe(parser.FeedBytes(Crlf({"RING"}), 3600)),
              (std::vector<std::string>{"CID ||07700900461||--", "RING"}));
  }
}

// --- Call orders: however rings and caller-ID lines interleave, the first report of a call
// holds every field the line sent for it, and a call gives one report (CID); a further one
// (CID+) only when a field changes who is calling after the call was reported.

struct TStep {
  uint64_t AtMs;
  std::vector<std::string> Lines;
};

struct TOrderCase {
  const char* Title;
  std::vector<TStep> Steps;
  std::vector<std::string> Expected;
};

const std::vector<std::string> Block = {"DATE = 0504", "TIME = 2149", "NMBR = 4075551212",
                                        "NAME = Chmielewski Joh"};
const std::vector<std::string> NoName = {"DATE = 0504", "TIME = 2149", "NMBR = 4075551212"};
const char* const Whole = "CID 0504|2149|4075551212|Chmielewski Joh|--";
const std::vector<std::string> Ring = {"RING"};

// The lines of each step at its time, then long enough for every wait to pass.
std::vector<std::string> Play(const std::vector<TStep>& steps) {
  TModemLineParser parser; // the default pause and waits, as a line without tuning has them
  std::vector<std::string> got;
  for (const TStep& step : steps)
    for (const auto& e : parser.FeedBytes(Crlf(step.Lines), step.AtMs))
      got.push_back(Describe(e));
  for (const auto& e : parser.Poll(steps.back().AtMs + 100000))
    got.push_back(Describe(e));
  return got;
}

std::vector<std::string> Joined(std::vector<std::string> lines,
                                const std::vector<std::string>& more) {
  lines.insert(lines.end(), more.begin(), more.end());
  return lines;
}

const std::vector<TOrderCase>& OrderCases() {
  // Rings 6 s apart, caller ID about 2.5 s after a ring, as North American lines have them.
  static const std::vector<TOrderCase> cases = {
      {"the usual order: between the first two rings",
       {{0, Ring}, {2500, Block}, {6000, Ring}, {12000, Ring}},
       {"RING", Whole, "RING", "RING"}},
      {"every field before the first ring",
       {{0,
         {"MESG = 110101", "DATE = 0504", "TIME = 2149", "NMBR = 4075551212",
          "NAME = Chmielewski Joh"}},
        {300, Ring},
        {3300, Ring}},
       {"CID 0504|2149|4075551212|Chmielewski Joh|--|11:01", "RING", "RING"}},
      {"DATE, TIME and NMBR before the first ring, NAME after it",
       {{0, NoName}, {300, Ring}, {2500, {"NAME = Chmielewski Joh"}}, {3300, Ring}},
       {"RING", Whole, "RING"}},
      {"NAME before NMBR",
       {{0, Ring},
        {2500, {"NAME = Chmielewski Joh", "DATE = 0504", "TIME = 2149", "NMBR = 4075551212"}},
        {6000, Ring}},
       {"RING", Whole, "RING"}},
      {"NAME before NMBR, a pause between them",
       {{0, Ring}, {2500, {"NAME = Chmielewski Joh"}}, {3500, NoName}, {6000, Ring}},
       {"RING", Whole, "RING"}},
      {"a late NAME",
       {{0, Ring}, {2500, NoName}, {4000, {"NAME = Chmielewski Joh"}}, {6000, Ring}},
       {"RING", Whole, "RING"}},
      {"a late MESG with the name",
       {{0, Ring},
        {2500, NoName},
        {4000, {"MESG = 070F43686D69 656C6577 736B6920 4A6F68"}},
        {6000, Ring}},
       {"RING", Whole, "RING"}},
      {"a late MESG that masks the number: the call at once, then the mask as its update",
       {{0, Ring}, {2500, Block}, {2600, {"MESG = 04014F"}}, {6000, Ring}},
       {"RING", Whole, "CID+ 0504|2149||Chmielewski Joh|O-", "RING"}},
      {"the block repeated at the second ring",
       {{0, Ring}, {2500, Block}, {6000, Ring}, {8500, Block}, {12000, Ring}},
       {"RING", Whole, "RING", "RING"}},
      {"the masked form: NMBR = 4075551212 then NMBR = O",
       {{0, Ring},
        {2500, {"DATE = 0504", "TIME = 2149", "NMBR = 4075551212", "NMBR = O", "NAME = O"}},
        {6000, Ring}},
       {"RING", "CID 0504|2149|||OO", "RING"}},
      {"the masked form, repeated at the second ring",
       {{0, Ring},
        {2500, {"DATE = 0504", "TIME = 2149", "NMBR = 4075551212", "NMBR = O", "NAME = O"}},
        {6000, Ring},
        {8500, {"DATE = 0504", "TIME = 2149", "NMBR = 4075551212", "NMBR = O", "NAME = O"}},
        {12000, Ring}},
       {"RING", "CID 0504|2149|||OO", "RING", "RING"}},
      {"a raw packet repeated at the second ring",
       {{0, Ring},
        {2500, {"802401083038303731383337070F4B4C415641204D4152592020202020030735363333393733B5"}},
        {6000, Ring},
        {8500, {"802401083038303731383337070F4B4C415641204D4152592020202020030735363333393733B5"}},
        {12000, Ring}},
       {"RING", "CID 0807|1837|5633973|KLAVA MARY|--", "RING", "RING"}},
      {"two different callers a few seconds apart",
       {{0, Ring},
        {2500, Block},
        {6000, Ring},
        {9000, Ring},
        {11500, {"DATE = 0504", "TIME = 2150", "NMBR = 3125550147", "NAME = Okafor Grace"}},
        {15000, Ring}},
       {"RING", Whole, "RING", "RING", "CID 0504|2150|3125550147|Okafor Grace|--", "RING"}},
      {"two different callers, the second without a name: at its second ring after the block",
       {{0, Ring},
        {2500, Block},
        {6000, Ring},
        {9000, Ring},
        {11500, {"DATE = 0504", "TIME = 2150", "NMBR = 3125550147"}},
        {15000, Ring},
        {21000, Ring}},
       {"RING", Whole, "RING", "RING", "RING", "CID 0504|2150|3125550147||--", "RING"}},
      {"two callers, the second's fields split around its first ring",
       {{0, Ring},
        {2500, Block},
        {6000, Ring},
        {8000, {"DATE = 0504", "TIME = 2150", "NMBR = 3125550147"}},
        {8300, Ring},
        {10500, {"NAME = Okafor Grace"}},
        {14300, Ring}},
       {"RING", Whole, "RING", "RING", "CID 0504|2150|3125550147|Okafor Grace|--", "RING"}},
      {"after another call's rings, fields split around the first ring of their own",
       {{0, Ring},
        {400, Ring},
        {800, Ring},
        {2500, {"DATE = 0504", "TIME = 2150", "NMBR = 3125550147"}},
        {2633, Ring},
        {2766, {"NAME = Okafor Grace"}},
        {3033, Ring}},
       {"RING", "RING", "RING", "RING", "CID 0504|2150|3125550147|Okafor Grace|--", "RING"}},
      {"a call with only rings, then a caller-ID call",
       {{0, Ring}, {6000, Ring}, {12000, Ring}, {30000, Ring}, {32500, Block}, {36000, Ring}},
       {"RING", "RING", "RING", "RING", Whole, "RING"}},
      {"a line without names: at the second ring",
       {{0, Ring}, {2500, NoName}, {6000, Ring}, {12000, Ring}},
       {"RING", "CID 0504|2149|4075551212||--", "RING", "RING"}},
      {"a line without names, caller ID before the first ring",
       {{0, NoName}, {300, Ring}, {3300, Ring}},
       {"RING", "CID 0504|2149|4075551212||--", "RING"}},
  };
  return cases;
}

TEST(CallerIdTest, EveryOrderOfRingsAndFieldsGivesOneWholeReportPerCall) {
  for (const auto& c : OrderCases())
    EXPECT_EQ(Play(c.Steps), c.Expected) << c.Title;
}

// The same orders read in one go, as a slow reader finds them, lose nothing either.
TEST(CallerIdTest, OrdersReadAllAtOnceKeepEveryField) {
  EXPECT_EQ(ParseAll(Crlf(Joined(NoName, {"RING", "NAME = Chmielewski Joh", "RING"}))),
            (std::vector<std::string>{"RING", Whole, "RING"}));
  EXPECT_EQ(ParseAll(Crlf(Joined({"RING", "NAME = Chmielewski Joh"}, Joined(NoName, Ring)))),
            (std::vector<std::string>{"RING", Whole, "RING"}));
  EXPECT_EQ(ParseAll(Crlf(Joined(Joined(Ring, Block), Joined(Joined(Ring, Block), Ring)))),
            (std::vector<std::string>{"RING", Whole, "RING", "RING"}));
}

TEST(CallerIdTest, LateNameAfterTheCallWasReportedIsAnUpdate) {
  TModemLineParser parser;
  std::vector<std::string> got;
  auto take = [&](const TModemEvents& ev) {
    for (const auto& e : ev)
      got.push_back(Describe(e));
  };
  take(parser.FeedBytes(Crlf({"RING"}), 0));
  take(parser.FeedBytes(Crlf({"DATE = 0504", "TIME = 2149", "NMBR = 4075551212"}), 2500));
  take(parser.FeedBytes(Crlf({"RING"}), 6000)); // the second ring: reported without the name
  // The name comes after that ring, no Poll in between: merged and reported again.
  take(parser.FeedBytes(Crlf({"NAME = Chmielewski Joh"}), 8000));
  take(parser.Poll(100000));
  EXPECT_EQ(got, (std::vector<std::string>{"RING", "CID 0504|2149|4075551212||--", "RING",
                                           "CID+ 0504|2149|4075551212|Chmielewski Joh|--"}));
}

TEST(CallerIdTest, LateFieldsThatChangeNothingAreNotReportedAgain) {
  TModemLineParser parser;
  ASSERT_EQ(parser.FeedBytes(Crlf({"NAME = Kowalski Ann", "NMBR = 5551234"}), 0).size(), 1u);
  // Date and time after the report join it silently.
  EXPECT_TRUE(parser.FeedBytes(Crlf({"DATE = 0607", "TIME = 0809"}), 1100).empty());
  EXPECT_TRUE(parser.Poll(100000).empty());
}

TEST(CallerIdTest, MaskAfterTheReportIsReportedAgain) {
  TModemLineParser parser;
  ASSERT_EQ(Describe(parser.FeedBytes(Crlf({"NAME = O", "NMBR = 4075551212"}), 0)),
            std::vector<std::string>{"CID ||4075551212||-O"});
  EXPECT_TRUE(parser.FeedBytes(Crlf({"NMBR = O"}), 1100).empty());
  EXPECT_EQ(Describe(parser.Poll(2000)), std::vector<std::string>{"CID+ ||||OO"});
}

TEST(CallerIdTest, WhatEndsTheLateFieldWindow) {
  const std::string first = Crlf({"RING", "NMBR = 5550100", "RING"});
  // After the call gap a name belongs to a new block.
  {
    TModemParserOptions options;
    options.CallGapMs = 3000;
    TModemLineParser parser(options);
    EXPECT_EQ(parser.FeedBytes(first, 0).size(), 3u);
    EXPECT_TRUE(parser.FeedBytes(Crlf({"NAME = Nowak Piotr"}), 3000).empty());
    EXPECT_EQ(Describe(parser.Poll(100000)), std::vector<std::string>{"CID |||Nowak Piotr|--"});
  }
  // Rings keep the window open past the gap measured from the block.
  {
    TModemParserOptions options;
    options.CallGapMs = 3000;
    TModemLineParser parser(options);
    parser.FeedBytes(first, 0);
    parser.FeedBytes(Crlf({"RING"}), 2500);
    EXPECT_TRUE(parser.FeedBytes(Crlf({"NAME = Nowak Piotr"}), 5000).empty());
    EXPECT_EQ(Describe(parser.Poll(6000)),
              std::vector<std::string>{"CID+ ||5550100|Nowak Piotr|--"});
  }
  // EndCall and result codes close it.
  for (int how = 0; how < 2; ++how) {
    TModemLineParser parser;
    parser.FeedBytes(first, 0);
    if (how == 0)
      EXPECT_TRUE(parser.EndCall().empty());
    else
      parser.FeedBytes(Crlf({"NO CARRIER"}), 10);
    EXPECT_TRUE(parser.FeedBytes(Crlf({"NAME = Nowak Piotr"}), 20).empty()) << how;
    EXPECT_EQ(Describe(parser.Poll(100000)), std::vector<std::string>{"CID |||Nowak Piotr|--"})
        << how;
  }
}

TEST(CallerIdTest, RepeatedBlockIsTheSameCallAnotherCallerANewReport) {
  TModemLineParser parser;
  // What a read and the pause after it report.
  const auto Read = [&parser](const std::string& bytes, uint64_t at) {
    TModemEvents ev = parser.FeedBytes(bytes, at);
    const TModemEvents late = parser.Poll(at + 900);
    ev.insert(ev.end(), late.begin(), late.end());
    return Describe(ev);
  };
  const std::string block = Crlf({"DATE = 0101", "NMBR = 5550100", "NAME = Nowak Piotr"});
  EXPECT_EQ(Read(block, 0), std::vector<std::string>{"CID 0101||5550100|Nowak Piotr|--"});
  // The same block again is the same call.
  EXPECT_TRUE(Read(block, 1100).empty());
  // Another number while a block is still being collected: the first is reported as it stood.
  EXPECT_EQ(Read(Crlf({"DATE = 0202", "NMBR = 111", "NMBR = 222", "NAME = B"}), 2100),
            (std::vector<std::string>{"CID 0202||111||--", "CID ||222|B|--"}));
  // A lone masking of the number is that call's; a masked caller with a name is another one.
  EXPECT_EQ(Read(Crlf({"NMBR = P"}), 3100), std::vector<std::string>{"CID+ |||B|P-"});
  EXPECT_EQ(Read(Crlf({"DATE = 0202", "NMBR = P", "NAME = P"}), 4100),
            std::vector<std::string>{"CID 0202||||PP"});
}

TEST(CallerIdTest, SameCallerAndMerge) {
  TCallerIdInfo first;
  first.Date = "0504";
  first.Number = "4075551212";
  TCallerIdInfo name;
  name.Name = "Chmielewski Joh";
  EXPECT_TRUE(SameCaller(first, name));
  EXPECT_TRUE(SameCaller(name, first));
  TCallerIdInfo merged = first;
  EXPECT_TRUE(MergeCallerId(merged, name));
  EXPECT_EQ(merged.Number, "4075551212");
  EXPECT_EQ(merged.Name, "Chmielewski Joh");
  EXPECT_FALSE(MergeCallerId(merged, first)) << "nothing new";

  TCallerIdInfo other = first;
  other.Number = "3125550147";
  EXPECT_FALSE(SameCaller(first, other));
  TCallerIdInfo lateMask;
  lateMask.NumberAbsent = caOutOfArea;
  EXPECT_TRUE(SameCaller(merged, lateMask));
  TCallerIdInfo maskedCaller = lateMask;
  maskedCaller.Date = "0504";
  EXPECT_FALSE(SameCaller(merged, maskedCaller)) << "a dated block is a caller of its own";
  maskedCaller = lateMask;
  maskedCaller.NameAbsent = caOutOfArea;
  EXPECT_FALSE(SameCaller(merged, maskedCaller));
  // The mask wins, whichever way round.
  EXPECT_TRUE(MergeCallerId(merged, lateMask));
  EXPECT_EQ(merged.Number, "");
  EXPECT_EQ(merged.NumberAbsent, caOutOfArea);
  EXPECT_FALSE(MergeCallerId(merged, first));
  EXPECT_EQ(merged.NumberAbsent, caOutOfArea);
  // A block without a number or a name fits any call.
  EXPECT_TRUE(SameCaller(TCallerIdInfo{}, other));
  EXPECT_TRUE(SameCaller(other, TCallerIdInfo{}));
}

TEST(CallerIdTest, EndCallReportsWhatIsPending) {
  TModemLineParser parser;
  EXPECT_TRUE(parser.FeedBytes(Crlf({"NMBR = 5550100"}), 0).empty());
  EXPECT_EQ(Describe(parser.EndCall()), std::vector<std::string>{"CID ||5550100||--"});
  EXPECT_TRUE(parser.EndCall().empty());
  EXPECT_FALSE(parser.NextDeadline());
}

TEST(CallerIdTest, LateLineAfterThePauseWithoutPollStillEndsTheOldBlock) {
  TModemLineParser parser;
  parser.FeedBytes(Crlf({"NMBR = 111"}), 0);
  // Nobody polled: the next line comes long after the pause. The old block goes out first.
  auto ev = parser.FeedBytes(Crlf({"OK"}), 60000);
  EXPECT_EQ(Describe(ev), (std::vector<std::string>{"CID ||111||--", "RESULT 1"}));
}

TEST(CallerIdTest, ResetForgetsPartialLinesAndBlocks) {
  TModemLineParser parser;
  parser.FeedBytes("NMBR = 5550100\r\nRI", 0);
  parser.Reset();
  EXPECT_FALSE(parser.NextDeadline());
  EXPECT_EQ(Describe(parser.FeedBytes("NG\r\n", 10)), std::vector<std::string>{"OTHER NG"});
  EXPECT_TRUE(parser.Poll(100000).empty());
}

} // namespace
