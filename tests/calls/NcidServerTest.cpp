// The NCID-protocol server against clients written here from the protocol, over loopback.
#include "calls/NcidServer.h"

#include "tests/calls/NcidTestClient.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using NcidTest::TNcidClient;

TCallRecord Call(std::time_t Moment, const std::string& Number, const std::string& Name,
                 TAbsence NumberAbsent = abNone, TAbsence NameAbsent = abNone) {
  TCallRecord Record;
  Record.Moment = Moment;
  Record.Line = "Kitchen";
  Record.Number = Number;
  Record.Name = Name;
  Record.NumberAbsent = NumberAbsent;
  Record.NameAbsent = NameAbsent;
  return Record;
}

// 2026-12-08 21:05 in the test's local time.
std::time_t LocalMoment(int Hour, int Minute) {
  std::tm Local{};
  Local.tm_year = 2026 - 1900;
  Local.tm_mon = 11;
  Local.tm_mday = 8;
  Local.tm_hour = Hour;
  Local.tm_min = Minute;
  Local.tm_isdst = -1;
  return std::mktime(&Local);
}

class NcidServerTest : public ::testing::Test {
protected:
  std::unique_ptr<TNcidServer> StartServer(TNcidOptions Options = {}) {
    Options.Address = "127.0.0.1";
    Options.Port = 0;
    Options.Version = "9.8.7";
    auto Server = std::make_unique<TNcidServer>(std::move(Options));
    const std::string Why = Server->Start();
    EXPECT_EQ(Why, "");
    return Server;
  }
};

TEST(NcidCallLineTest, FieldsFollowTheProtocolsConventions) {
  const std::time_t At = LocalMoment(21, 5);
  EXPECT_EQ(NcidCallLine("CID:", Call(At, "4075551212", "Chmielewski Joh")),
            "CID: *DATE*12082026*TIME*2105*LINE*Kitchen*NMBR*4075551212*MESG*NONE*NAME*"
            "Chmielewski Joh*");
  EXPECT_EQ(NcidCallLine("CID:", Call(At, "", "", abWithheld, abWithheld)),
            "CID: *DATE*12082026*TIME*2105*LINE*Kitchen*NMBR*PRIVATE*MESG*NONE*NAME*PRIVATE*");
  EXPECT_EQ(NcidCallLine("CIDLOG:", Call(At, "", "", abOutOfArea, abOutOfArea)),
            "CIDLOG: *DATE*12082026*TIME*2105*LINE*Kitchen*NMBR*OUT-OF-AREA*MESG*NONE*NAME*"
            "OUT-OF-AREA*");
  EXPECT_EQ(NcidCallLine("CID:", Call(At, "07700900461", "", abNone, abUnavailable)),
            "CID: *DATE*12082026*TIME*2105*LINE*Kitchen*NMBR*07700900461*MESG*NONE*NAME*NO NAME*");
}

TEST(NcidCallLineTest, TextFromTheLineCannotBreakTheLineOrItsFields) {
  TCallRecord Hostile = Call(LocalMoment(9, 0), "555*1\r\n", "A*B\nCID: *FAKE*");
  Hostile.Line = "Line*\r\nX";
  const std::string Text = NcidCallLine("CID:", Hostile);
  EXPECT_EQ(Text.find_first_of("\r\n"), std::string::npos);
  // Exactly the protocol's 13 separators: 6 names, 6 values, the closing one.
  size_t Stars = 0;
  for (char C : Text)
    Stars += C == '*';
  EXPECT_EQ(Stars, 13u) << Text;
  EXPECT_NE(Text.find("*NMBR*555 1  *"), std::string::npos) << Text;
  // A name of blanks only is no name.
  EXPECT_NE(NcidCallLine("CID:", Call(0, "1", "\x01\x02")).find("*NAME*NO NAME*"),
            std::string::npos);
}

// The LINE field is one word however the line is named: a client that reads the fields as a
// list of words (as the Tcl client does) splits a name with a blank and fails.
TEST(NcidCallLineTest, TheLineIsAnIdOfOneWord) {
  const std::map<std::string, std::string> Chosen = {
      {"kitchen MODEM", "kitchen"}, {"Office", "front office*2"}, {"Hall", " \x01 "}};
  const std::vector<std::pair<std::string, std::string>> Cases = {
      {"Kitchen modem", "kitchen"}, // chosen, the name read without regard to case
      {"Office", "front_office_2"}, // a chosen id is made one word as well
      {"Ringlet Demo Modem", "Ringlet_Demo_Modem"},
      {"Line*1", "Line_1"},
      {"  Cellar  ", "Cellar"},
      {"Tab\there", "Tab_here"},
      {"Hall\u009B31m", "Hall31m"}, // a C1 control in UTF-8 goes
      {"Hall\23331m", "Hall31m"},   // and as a raw byte (0x9B)
      {"", "-"},
      {"   ", "-"},
      {"Hall", "-"}, // a chosen id of nothing is no id
  };
  for (const auto& [Name, Id] : Cases) {
    EXPECT_EQ(NcidLineId(Name, Chosen), Id) << "\"" << Name << "\"";
    TCallRecord Record = Call(LocalMoment(21, 5), "4075551212", "Chmielewski Joh");
    Record.Line = Name;
    const NcidTest::TNcidFields Fields =
        NcidTest::ReadLikeTclClient(NcidCallLine("CID:", Record, Chosen));
    EXPECT_EQ(Fields.Error, "") << "\"" << Name << "\"";
    ASSERT_EQ(Fields.Values.count("LINE"), 1u);
    EXPECT_EQ(Fields.Values.at("LINE"), Id);
    EXPECT_EQ(Fields.Values.at("NAME"), "Chmielewski Joh");
  }
  // The line as it was sent before: the full name, which that client cannot read.
  EXPECT_EQ(NcidTest::ReadLikeTclClient("CID: *DATE*12082026*TIME*2105*LINE*Kitchen modem*NMBR*1*"
                                        "MESG*NONE*NAME*A B*")
                .Error,
            "list must have an even number of elements");
  EXPECT_NE(NcidTest::ReadLikeTclClient("CIDINFO: *LINE*a*RING*").Error, "");
}

TEST(NcidListenAddressTest, TakesNumericAddressesWithPortsOnly) {
  std::string Address, Error;
  uint16_t Port = 0;
  EXPECT_TRUE(ParseListenAddress("127.0.0.1:3333", Address, Port, Error));
  EXPECT_EQ(Address, "127.0.0.1");
  EXPECT_EQ(Port, 3333);
  EXPECT_TRUE(ParseListenAddress("[::1]:4000", Address, Port, Error));
  EXPECT_EQ(Address, "::1");
  EXPECT_EQ(Port, 4000);
  for (const char* Bad : {"3333", ":3333", "localhost:3333", "127.0.0.1:", "127.0.0.1:65536",
                          "127.0.0.1:33a", "0.0.0.0"}) {
    Error.clear();
    EXPECT_FALSE(ParseListenAddress(Bad, Address, Port, Error)) << Bad;
    EXPECT_FALSE(Error.empty()) << Bad;
  }
}

TEST_F(NcidServerTest, StartupWithoutHistorySaysTheLogIsEmptyThenCallsArrive) {
  auto Server = StartServer();
  TNcidClient Client(Server->BoundPort());
  ASSERT_TRUE(Client.Connected());
  EXPECT_EQ(
      Client.ReadStartup(),
      (std::vector<std::string>{"200 Server: ringlet (NCID) 9.8.7", "210 API: 1.0 Feature Set 1",
                                "252 Call log empty", "300 End of connection startup"}));
  Server->Deliver(Call(LocalMoment(21, 5), "4075551212", "Chmielewski Joh"));
  EXPECT_EQ(Client.ReadLine(), "CID: *DATE*12082026*TIME*2105*LINE*Kitchen*NMBR*4075551212*MESG*"
                               "NONE*NAME*Chmielewski Joh*");
}

// A client shows every line it gets as a call: an update of a call sent already is not sent.
TEST_F(NcidServerTest, AnUpdateOfACallIsNotASecondLine) {
  auto Server = StartServer();
  TNcidClient Client(Server->BoundPort());
  ASSERT_EQ(Client.ReadStartup().size(), 4u);
  TCallRecord First = Call(LocalMoment(21, 5), "4075551212", "Chmielewski Joh");
  First.CallKey = 3;
  TCallRecord Masked = Call(LocalMoment(21, 5), "", "Chmielewski Joh", abOutOfArea);
  Masked.CallKey = 3;
  Masked.Update = true;
  Server->Deliver(First);
  Server->Deliver(Masked);
  Server->Deliver(Call(LocalMoment(21, 6), "3125550147", "Okafor Grace"));
  EXPECT_NE(Client.ReadLine().find("*NMBR*4075551212*"), std::string::npos);
  EXPECT_NE(Client.ReadLine().find("*NMBR*3125550147*"), std::string::npos)
      << "the next line is the next call";
}

// Each ring is a CIDINFO line with the ring's count, and the end of the ringing one with RING 0,
// as the clients that show a phone "ringing" need; every client gets them.
TEST_F(NcidServerTest, RingsAreCidinfoLinesAndTheirEndIsRingZero) {
  TNcidOptions Options;
  Options.LineIds = {{"Kitchen modem", "kitchen"}};
  auto Server = StartServer(Options);
  TNcidClient First(Server->BoundPort()), Second(Server->BoundPort());
  ASSERT_EQ(First.ReadStartup().size(), 4u);
  ASSERT_EQ(Second.ReadStartup().size(), 4u);
  const std::time_t At = LocalMoment(21, 5) + 7;
  for (unsigned Ring : {1u, 2u, 0u})
    Server->Ringing(TRingReport{"Kitchen modem", Ring, At});
  Server->Ringing(TRingReport{"Office line", 1, At});
  for (TNcidClient* Client : {&First, &Second}) {
    std::vector<std::string> Rings;
    for (int I = 0; I < 4; ++I) {
      const std::string Line = Client->ReadLine();
      const NcidTest::TNcidFields Fields = NcidTest::ReadLikeTclClient(Line);
      ASSERT_EQ(Fields.Error, "") << Line;
      EXPECT_EQ(Fields.Label, "CIDINFO:");
      EXPECT_EQ(Fields.Values.at("TIME"), "21:05:07");
      Rings.push_back(Fields.Values.at("LINE") + " " + Fields.Values.at("RING"));
    }
    EXPECT_EQ(Rings,
              (std::vector<std::string>{"kitchen 1", "kitchen 2", "kitchen 0", "Office_line 1"}));
  }
}

// A client's message goes to every client, itself included, as plain text of bounded length;
// what is not a message is not sent on.
TEST_F(NcidServerTest, AClientsMessageGoesToEveryClientAsPlainText) {
  TNcidOptions Options;
  Options.MaxMessageLength = 12;
  auto Server = StartServer(Options);
  TNcidClient Sender(Server->BoundPort()), Other(Server->BoundPort());
  ASSERT_EQ(Sender.ReadStartup().size(), 4u);
  ASSERT_EQ(Other.ReadStartup().size(), 4u);
  Sender.Send("MSG: door\x1b[2J\x07 bell\r\n");
  EXPECT_EQ(Other.ReadLine(), "MSG: door[2J bell");
  EXPECT_EQ(Sender.ReadLine(), "MSG: door[2J bell");
  // Cut at the limit, never inside a letter of two bytes; blanks only and other lines are
  // not sent on.
  Sender.Send("MSG:    \r\nCID: *NMBR*666*\r\nMSG: abcdefghijk\xc3\xa9z\r\n");
  EXPECT_EQ(Other.ReadLine(), "MSG: abcdefghijk");
  Server->Deliver(Call(LocalMoment(21, 6), "3125550147", "Okafor Grace"));
  EXPECT_NE(Other.ReadLine().find("*NMBR*3125550147*"), std::string::npos)
      << "the call came next: nothing else was sent on";
}

TEST_F(NcidServerTest, StartupSendsTheStoredCallsOldestFirst) {
  TNcidOptions Options;
  Options.CallLog = [] {
    return std::vector<TCallRecord>{Call(LocalMoment(8, 1), "111", "FIRST"),
                                    Call(LocalMoment(8, 2), "222", "SECOND")};
  };
  auto Server = StartServer(Options);
  TNcidClient Client(Server->BoundPort());
  const std::vector<std::string> Lines = Client.ReadStartup();
  ASSERT_EQ(Lines.size(), 6u);
  EXPECT_EQ(Lines[2],
            "CIDLOG: *DATE*12082026*TIME*0801*LINE*Kitchen*NMBR*111*MESG*NONE*NAME*FIRST*");
  EXPECT_EQ(Lines[3],
            "CIDLOG: *DATE*12082026*TIME*0802*LINE*Kitchen*NMBR*222*MESG*NONE*NAME*SECOND*");
  EXPECT_EQ(Lines[4], "250 End of call log");
  EXPECT_EQ(Lines[5], "300 End of connection startup");
}

// A call the monitor hung up on is a HUP line, in the stored calls and as it happens, and the
// greeting says that this server hangs up on blocked callers.
TEST_F(NcidServerTest, BlockedCallsAreHangUpLinesAndTheGreetingAnnouncesHangUp) {
  TNcidOptions Options;
  Options.HangUp = true;
  Options.CallLog = [] {
    TCallRecord Blocked = Call(LocalMoment(8, 1), "5550100199", "CARD SERVICES");
    Blocked.Blocked = true;
    return std::vector<TCallRecord>{Blocked, Call(LocalMoment(8, 2), "222", "SECOND")};
  };
  auto Server = StartServer(Options);
  TNcidClient Client(Server->BoundPort());
  EXPECT_EQ(Client.ReadStartup(),
            (std::vector<std::string>{
                "200 Server: ringlet (NCID) 9.8.7", "210 API: 1.0 Feature Set 1",
                "HUPLOG: *DATE*12082026*TIME*0801*LINE*Kitchen*NMBR*5550100199*MESG*NONE*NAME*"
                "CARD SERVICES*",
                "CIDLOG: *DATE*12082026*TIME*0802*LINE*Kitchen*NMBR*222*MESG*NONE*NAME*SECOND*",
                "250 End of call log", "OPT: hangup", "300 End of connection startup"}));
  TCallRecord Withheld = Call(LocalMoment(21, 5), "", "", abWithheld, abWithheld);
  Withheld.Blocked = true;
  Server->Deliver(Withheld);
  Server->Deliver(Call(LocalMoment(21, 6), "4075551212", "Chmielewski Joh"));
  EXPECT_EQ(Client.ReadLine(),
            "HUP: *DATE*12082026*TIME*2105*LINE*Kitchen*NMBR*PRIVATE*MESG*NONE*NAME*PRIVATE*");
  EXPECT_EQ(Client.ReadLine(), "CID: *DATE*12082026*TIME*2106*LINE*Kitchen*NMBR*4075551212*MESG*"
                               "NONE*NAME*Chmielewski Joh*");
}

TEST_F(NcidServerTest, ClientLinesAreReadHelloIsNotAnsweredGoodbyeCloses) {
  auto Server = StartServer();
  TNcidClient Client(Server->BoundPort());
  Client.ReadStartup();
  Client.Send("HELLO: IDENT: test client 1.0\r\n\r\nHELLO: CMD: no_log\n");
  EXPECT_EQ(Client.ReadLine(300ms), "");
  Server->Deliver(Call(LocalMoment(7, 0), "1", "ONE"));
  EXPECT_NE(Client.ReadLine().find("*NMBR*1*"), std::string::npos);
  Client.Send("GOODBYE\r\n");
  EXPECT_TRUE(Client.WaitClosed());
}

TEST_F(NcidServerTest, AnOverlongLineDropsThatClientOnly) {
  auto Server = StartServer();
  TNcidClient Rude(Server->BoundPort());
  TNcidClient Polite(Server->BoundPort());
  Rude.ReadStartup();
  Polite.ReadStartup();
  Rude.Send(std::string(5000, 'x'));
  EXPECT_TRUE(Rude.WaitClosed());
  Server->Deliver(Call(LocalMoment(7, 0), "2", "TWO"));
  EXPECT_NE(Polite.ReadLine().find("*NMBR*2*"), std::string::npos);
}

TEST_F(NcidServerTest, AClientThatStopsReadingIsDroppedAndNeverDelaysAnother) {
  TNcidOptions Options;
  Options.ClientBufferLimit = 16 * 1024;
  auto Server = StartServer(Options);
  TNcidClient Stuck(Server->BoundPort());
  Stuck.ShrinkReceiveBuffer();
  TNcidClient Reader(Server->BoundPort());
  Reader.ReadStartup();
  // Far more than the socket buffers and the client's limit hold together.
  const int Calls = 20000;
  int Seen = 0;
  for (int I = 0; I < Calls; ++I) {
    Server->Deliver(Call(LocalMoment(10, 0), std::to_string(I), "FLOOD"));
    if (I % 100 == 99) {
      for (int J = 0; J < 100; ++J)
        Seen += Reader.ReadLine().find("*NAME*FLOOD*") != std::string::npos ? 1 : 0;
    }
  }
  EXPECT_EQ(Seen, Calls);
  EXPECT_TRUE(Stuck.WaitClosed(10000ms)) << "a client that never reads must be dropped";
}

TEST_F(NcidServerTest, OneClientMoreThanAllowedIsClosedAtOnce) {
  TNcidOptions Options;
  Options.MaxClients = 32;
  auto Server = StartServer(Options);
  std::vector<std::unique_ptr<TNcidClient>> Clients;
  for (int I = 0; I < 32; ++I) {
    Clients.push_back(std::make_unique<TNcidClient>(Server->BoundPort()));
    ASSERT_EQ(Clients.back()->ReadStartup().back(), "300 End of connection startup") << I;
  }
  TNcidClient Extra(Server->BoundPort());
  EXPECT_TRUE(Extra.WaitClosed());
  Server->Deliver(Call(LocalMoment(7, 0), "3", "THREE"));
  for (auto& Client : Clients)
    EXPECT_NE(Client->ReadLine().find("*NMBR*3*"), std::string::npos);
  // A place that frees up is served again.
  Clients.front()->Send("GOODBYE\n");
  EXPECT_TRUE(Clients.front()->WaitClosed());
  bool Served = false;
  for (int Try = 0; Try < 50 && !Served; ++Try) {
    TNcidClient Late(Server->BoundPort());
    Served = Late.ReadLine(1000ms).rfind("200 ", 0) == 0;
  }
  EXPECT_TRUE(Served);
}

TEST_F(NcidServerTest, AnAddressInUseIsReportedNotThrown) {
  auto First = StartServer();
  TNcidOptions Options;
  Options.Address = "127.0.0.1";
  Options.Port = First->BoundPort();
  TNcidServer Second(Options);
  const std::string Why = Second.Start();
  EXPECT_NE(Why.find("cannot listen on 127.0.0.1:"), std::string::npos) << Why;
  Second.Deliver(Call(0, "1", "x")); // a server that never started takes calls harmlessly
}

} // namespace
