// End to end: the ringlet program's console front end as a child process, against
// fakemodem through the real telephony service. The program runs from a copy in a temp
// folder, so its settings file (beside the program) is the test's own.
#include "AppTestSupport.h"
#include "ProgramRun.h"
#include "common/AdExcept.h"
#include "platform/IniFile.h"
#include "platform/SerialDevice.h"
#include "tests/calls/BrokerTestSupport.h"
#include "tests/calls/NcidTestClient.h"
#include "tests/platform/PtyTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <map>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>

namespace {

using namespace AppTest;

// The program under test as a child process.
using TRinglet = TProgram;

class ConsoleTest : public ::testing::Test {
protected:
  void SetUp() override {
    fs::copy_file(RINGLET_BUILD_DIR "/app/ringlet", FProgram);
    ::setenv("RINGLET_TELEPHONY_CONFIG", (FFolder / "telephony.ini").c_str(), 1);
    ::setenv("RINGLET_REGISTRY_FILE", (FFolder / "registry").c_str(), 1);
    ::setenv("RINGLET_LIBRARY_PATH", RINGLET_BUILD_DIR "/telephony", 1);
    ::setenv("RINGLET_FAKEMODEM", RINGLET_BUILD_DIR "/tools/fakemodem/fakemodem", 1);
    // The call history goes to the test's folder, never the user's.
    ::setenv("XDG_DATA_HOME", (FFolder / "data").c_str(), 1);
    // The contacts and block lists of the test's own (none unless a test writes them).
    ::setenv("XDG_CONFIG_HOME", (FFolder / "config").c_str(), 1);
  }

  std::string Remembered() {
    std::ifstream In(FFolder / "ringlet.ini");
    std::stringstream Text;
    Text << In.rdbuf();
    return Text.str();
  }

  TTempFolder FFolder{"console"};
  const std::string FProgram = FFolder / "ringlet";
};

struct TCall {
  std::string Number, Name;
};

// A client of the program's NCID server once the server listens; nullptr when it never does.
std::unique_ptr<NcidTest::TNcidClient> ConnectNcid(uint16_t Port) {
  std::unique_ptr<NcidTest::TNcidClient> Client;
  BrokerTest::WaitFor(
      [&] {
        Client = std::make_unique<NcidTest::TNcidClient>(Port);
        return Client->Connected();
      },
      std::chrono::milliseconds(GenerousMs));
  return Client->Connected() ? std::move(Client) : nullptr;
}

// An unplugged modem stays away this long: more than two of the monitor's retries.
constexpr int GoneMs = 7000;
// A modem plugged back is used again within this, the longest a user should wait.
constexpr int BackWithinMs = 5000;

TEST_F(ConsoleTest, ThreeCallsGiveThreeLinesAndSigtermSavesTheName) {
  TFakeModem Modem;
  ASSERT_TRUE(Modem.Start());
  WriteTelephonyConfig(FFolder / "telephony.ini", {{"Fake Modem 1", Modem.Device()}});
  TRinglet Ringlet;
  ASSERT_TRUE(Ringlet.Start(FProgram, {"--console"}));
  // The modem answers the line's set-up before the first call is played.
  Modem.Send("sleep 1500");
  Modem.Send("call 5551234 \"JOHN DOE\" rings=2");
  Modem.Send("sleep 3500");
  Modem.Send("call 4075551212 \"Chmielewski Joh\" rings=2");
  Modem.Send("sleep 3500");
  Modem.Send("outofarea rings=2");
  ASSERT_TRUE(Ringlet.WaitForOutputLines(3)) << Ringlet.Stdout() << Ringlet.Stderr();
  Ringlet.Signal(SIGTERM);
  EXPECT_EQ(0, Ringlet.Wait()) << Ringlet.Stderr();

  const std::vector<std::string> Lines = Ringlet.Lines();
  ASSERT_EQ(3u, Lines.size()) << Ringlet.Stdout();
  TCall Call;
  ASSERT_TRUE(ParseCallLine(Lines[0], Call.Number, Call.Name)) << Lines[0];
  EXPECT_EQ("5551234", Call.Number);
  EXPECT_EQ("JOHN DOE", Call.Name);
  ASSERT_TRUE(ParseCallLine(Lines[1], Call.Number, Call.Name)) << Lines[1];
  EXPECT_EQ("4075551212", Call.Number);
  EXPECT_EQ("Chmielewski Joh", Call.Name);
  ASSERT_TRUE(ParseCallLine(Lines[2], Call.Number, Call.Name)) << Lines[2];
  EXPECT_NE("", Call.Number);
  EXPECT_EQ("[Settings]\nTapiDevice=Fake Modem 1\n", Remembered());
}

TEST_F(ConsoleTest, CallWithoutCallerIdDoesNotEndMonitoring) {
  TFakeModem Modem;
  ASSERT_TRUE(Modem.Start());
  WriteTelephonyConfig(FFolder / "telephony.ini", {{"Fake Modem 1", Modem.Device()}});
  TRinglet Ringlet;
  ASSERT_TRUE(Ringlet.Start(FProgram, {"--console"}));
  Modem.Send("sleep 1500");
  Modem.Send("nocid rings=2");
  // Long enough for the line to give the silent call up and close.
  Modem.Send("sleep 5000");
  Modem.Send("call 5559876 \"JANE ROE\" rings=3");
  ASSERT_TRUE(Ringlet.WaitForOutputLines(1)) << Ringlet.Stdout() << Ringlet.Stderr();
  Ringlet.Signal(SIGINT);
  EXPECT_EQ(0, Ringlet.Wait()) << Ringlet.Stderr();
  const std::vector<std::string> Lines = Ringlet.Lines();
  ASSERT_EQ(1u, Lines.size());
  TCall Call;
  ASSERT_TRUE(ParseCallLine(Lines[0], Call.Number, Call.Name)) << Lines[0];
  EXPECT_EQ("5559876", Call.Number);
  EXPECT_EQ("JANE ROE", Call.Name);
}

// However a modem interleaves rings and caller-ID lines, each call prints one line with every
// field the line sent for it, and two callers a moment apart print two lines.
struct TOrderCall {
  const char* Command; // fakemodem's; "" for a call that prints nothing
  const char* Number;  // the line's number and name, as printed
  const char* Name;
};

TEST_F(ConsoleTest, EveryOrderOfRingsAndCallerIdPrintsOneWholeLinePerCall) {
  const std::string Masked = MessageText(ecTapiOutOfAreaCall);
  const std::vector<TOrderCall> Calls = {
      {"call 5551234 \"JOHN DOE\" rings=3", "5551234", "JOHN DOE"},
      {"call 4075551212 \"Chmielewski Joh\" cidfirst rings=3", "4075551212", "Chmielewski Joh"},
      {"call 3125550147 \"Okafor Grace\" split=3 rings=3", "3125550147", "Okafor Grace"},
      {"call 2065550183 \"Lindqvist Per\" namefirst rings=3", "2065550183", "Lindqvist Per"},
      {"call 6175550122 numberonly split=3 mesg=070C4861646461642053616D6972 rings=3", "6175550122",
       "Haddad Samir"},
      {"call 5125550190 \"Moreau Claire\" masklate rings=3", Masked.c_str(), Masked.c_str()},
      {"call 7205550111 \"Tanaka Yui\" repeat rings=3", "7205550111", "Tanaka Yui"},
      {"nocid rings=2", "", ""},
      {"call 9195550164 \"Novak Tomas\" rings=3", "9195550164", "Novak Tomas"},
      // Two callers, the second ringing as soon as the first gives up.
      {"call 3035550138 \"Brennan Aoife\" rings=2", "3035550138", "Brennan Aoife"},
      {"call 4075559999 \"Second Caller\" rings=3", "4075559999", "Second Caller"},
  };
  TFakeModem Modem;
  ASSERT_TRUE(Modem.Start());
  // A short ring time-out, so that the calls can follow each other quickly.
  std::ofstream(FFolder / "telephony.ini")
      << "[Line1]\nName=Fake Modem 1\nDevice=" << Modem.Device()
      << "\nRingTimeout=1.5\nCheckInterval=0\nCallerIdPause=0.3\n";
  TRinglet Ringlet;
  ASSERT_TRUE(Ringlet.Start(FProgram, {"--console"}));
  Modem.Send("sleep 1500");
  std::vector<std::string> Expected;
  for (size_t I = 0; I < Calls.size(); ++I) {
    Modem.Send(Calls[I].Command);
    if (*Calls[I].Number)
      Expected.push_back(std::string(Calls[I].Number) + "|" + Calls[I].Name);
    // Calls one after the other, past the ring time-out, but for the pair at the end.
    if (I + 2 < Calls.size())
      Modem.Send("sleep 1700");
  }
  ASSERT_TRUE(Ringlet.WaitForOutputLines(Expected.size())) << Ringlet.Stdout() << Ringlet.Stderr();
  Ringlet.Signal(SIGINT);
  EXPECT_EQ(0, Ringlet.Wait()) << Ringlet.Stderr();
  std::vector<std::string> Printed;
  for (const std::string& Line : Ringlet.Lines()) {
    TCall Call;
    EXPECT_TRUE(ParseCallLine(Line, Call.Number, Call.Name)) << Line;
    Printed.push_back(Call.Number + "|" + Call.Name);
  }
  EXPECT_EQ(Expected, Printed);
}

TEST_F(ConsoleTest, UnpluggedModemIsToldOnceAndMonitoringResumesWhenPluggedBack) {
  // The configuration names a link that fakemodem removes when unplugged and makes again,
  // pointing at a new device, when plugged back: the same path, as a USB modem's by-id name.
  const std::string Link = FFolder / "modem";
  WriteTelephonyConfig(FFolder / "telephony.ini", {{"Fake Modem 1", Link}});
  TFakeModem Modem;
  ASSERT_TRUE(Modem.Start({"--link", Link, "--ring-spacing", "400"}));
  TRinglet Ringlet;
  ASSERT_TRUE(Ringlet.Start(FProgram, {"--console"}));
  Modem.Send("sleep 1500");
  Modem.Send("call 555 \"BEFORE\" rings=2");
  ASSERT_TRUE(Ringlet.WaitForOutputLines(1)) << Ringlet.Stderr();

  Modem.Send("unplug");
  ASSERT_TRUE(Ringlet.WaitForError("lost", GenerousMs)) << Ringlet.Stderr();
  // Gone for more than two of the monitor's retries: waiting, not spinning.
  const double CpuBefore = Ringlet.CpuSeconds();
  Ringlet.ReadFor(GoneMs);
  const double CpuWhileGone = Ringlet.CpuSeconds() - CpuBefore;
  EXPECT_LT(CpuWhileGone, GoneMs / 1000.0 / 4) << "seconds of CPU while the modem was gone";
  EXPECT_EQ(std::string::npos, Ringlet.Stderr().find("the line is back")) << Ringlet.Stderr();

  Modem.Send("plug");
  EXPECT_TRUE(Ringlet.WaitForError("the line is back", BackWithinMs))
      << "not back within 5 s of the plug: " << Ringlet.Stderr();
  Modem.Send("call 777 \"BACK AGAIN\" rings=3");
  ASSERT_TRUE(Ringlet.WaitForOutputLines(2)) << Ringlet.Stderr();
  Ringlet.Signal(SIGTERM);
  EXPECT_EQ(0, Ringlet.Wait());

  const std::vector<std::string> Lines = Ringlet.Lines();
  ASSERT_EQ(2u, Lines.size()) << Ringlet.Stdout();
  TCall Call;
  ASSERT_TRUE(ParseCallLine(Lines[1], Call.Number, Call.Name)) << Lines[1];
  EXPECT_EQ("777", Call.Number);
  EXPECT_EQ("BACK AGAIN", Call.Name);
  const std::string& Err = Ringlet.Stderr();
  const std::string LostText = "the line was lost";
  const size_t Lost = Err.find(LostText);
  ASSERT_NE(std::string::npos, Lost) << Err;
  EXPECT_NE(std::string::npos, Err.find("monitoring resumes when it is back", Lost)) << Err;
  EXPECT_EQ(std::string::npos, Err.find("lost", Lost + LostText.size())) << "told once: " << Err;
  const std::string BackText = "the line is back";
  const size_t Back = Err.find(BackText);
  EXPECT_EQ(std::string::npos, Err.find(BackText, Back + BackText.size())) << Err;
}

// A modem another program has open: the lost line says who holds it, and monitoring
// resumes when that program lets go.
TEST_F(ConsoleTest, ALineHeldByAnotherProgramSaysWhoHoldsItAndComesBackWhenFreed) {
  TFakeModem Modem;
  ASSERT_TRUE(Modem.Start());
  WriteTelephonyConfig(FFolder / "telephony.ini", {{"Fake Modem 1", Modem.Device()}});
  Platform::TSerialDevice Other; // as a terminal program opens it: exclusively
  ASSERT_TRUE(Other.Open(Modem.Device()));
  TRinglet Ringlet;
  ASSERT_TRUE(Ringlet.Start(FProgram, {"--console", "--all-lines"}));
  ASSERT_TRUE(Ringlet.WaitForError("monitoring resumes when it is back", GenerousMs))
      << Ringlet.Stderr();
  EXPECT_NE(Ringlet.Stderr().find("the modem is held by "), std::string::npos) << Ringlet.Stderr();
  EXPECT_NE(Ringlet.Stderr().find("process " + std::to_string(::getpid()) + " ("),
            std::string::npos)
      << Ringlet.Stderr();
  Other.Close();
  ASSERT_TRUE(Ringlet.WaitForError("the line is back", GenerousMs)) << Ringlet.Stderr();
  Modem.Send("call 5551234 \"JOHN DOE\" rings=2");
  ASSERT_TRUE(Ringlet.WaitForOutputLines(1)) << Ringlet.Stderr();
  Ringlet.Signal(SIGTERM);
  EXPECT_EQ(0, Ringlet.Wait());
  EXPECT_NE(Ringlet.Stdout().find("\t5551234\tJOHN DOE\tFake Modem 1\n"), std::string::npos)
      << Ringlet.Stdout();
}

TEST_F(ConsoleTest, SeveralLinesWithoutAChoicePrintTheNamesAndExitTwo) {
  WriteTelephonyConfig(FFolder / "telephony.ini",
                       {{"Modem A", "/dev/null-a"}, {"Modem B", "/dev/null-b"}});
  TRinglet Ringlet;
  ASSERT_TRUE(Ringlet.Start(FProgram, {"--console"}));
  EXPECT_EQ(2, Ringlet.Wait());
  EXPECT_EQ("Modem A\nModem B\n", Ringlet.Stdout());
  EXPECT_FALSE(Ringlet.Stderr().empty());
  EXPECT_FALSE(fs::exists(FFolder / "ringlet.ini"));
}

TEST_F(ConsoleTest, NoLineAndNoTelephonyLibraryAreToldApart) {
  WriteTelephonyConfig(FFolder / "telephony.ini", {});
  for (const bool AllLines : {false, true}) {
    TRinglet Ringlet;
    ASSERT_TRUE(Ringlet.Start(FProgram, AllLines
                                            ? std::vector<std::string>{"--console", "--all-lines"}
                                            : std::vector<std::string>{"--console"}));
    EXPECT_EQ(1, Ringlet.Wait());
    EXPECT_NE(std::string::npos, Ringlet.Stderr().find("no telephony line is configured"))
        << Ringlet.Stderr();
  }
  // The copy of the program finds no library beside it, and the search path leads nowhere.
  ::setenv("RINGLET_LIBRARY_PATH", FFolder.Path().c_str(), 1);
  for (const bool AllLines : {false, true}) {
    TRinglet Ringlet;
    ASSERT_TRUE(Ringlet.Start(FProgram, AllLines
                                            ? std::vector<std::string>{"--console", "--all-lines"}
                                            : std::vector<std::string>{"--console"}));
    EXPECT_EQ(1, Ringlet.Wait());
    const std::string Err = Ringlet.Stderr();
    EXPECT_NE(std::string::npos, Err.find("the telephony library libtapi32.so cannot be loaded"))
        << Err;
    EXPECT_EQ(std::string::npos, Err.find("no telephony line is configured")) << Err;
  }
}

TEST_F(ConsoleTest, DeviceOptionAndRememberedNamePickTheLine) {
  TFakeModem A, B;
  ASSERT_TRUE(A.Start());
  ASSERT_TRUE(B.Start());
  WriteTelephonyConfig(FFolder / "telephony.ini",
                       {{"Modem A", A.Device()}, {"Modem B", B.Device()}});
  {
    TRinglet Ringlet;
    ASSERT_TRUE(Ringlet.Start(FProgram, {"--console", "--device", "Modem B"}));
    B.Send("sleep 1500");
    B.Send("call 111 \"ON B\" rings=2");
    ASSERT_TRUE(Ringlet.WaitForOutputLines(1)) << Ringlet.Stderr();
    Ringlet.Signal(SIGTERM);
    EXPECT_EQ(0, Ringlet.Wait());
    EXPECT_NE(std::string::npos, Ringlet.Stdout().find("\t111\tON B"));
  }
  EXPECT_EQ("[Settings]\nTapiDevice=Modem B\n", Remembered());
  {
    // No option now: the remembered line is watched.
    TRinglet Ringlet;
    ASSERT_TRUE(Ringlet.Start(FProgram, {"--console"}));
    B.Send("sleep 5000");
    B.Send("call 222 \"AGAIN B\" rings=2");
    ASSERT_TRUE(Ringlet.WaitForOutputLines(1)) << Ringlet.Stderr();
    Ringlet.Signal(SIGINT);
    EXPECT_EQ(0, Ringlet.Wait());
    EXPECT_NE(std::string::npos, Ringlet.Stdout().find("\t222\tAGAIN B"));
  }
  {
    TRinglet Ringlet;
    ASSERT_TRUE(Ringlet.Start(FProgram, {"--console", "--device", "Modem Z"}));
    EXPECT_EQ(2, Ringlet.Wait());
    EXPECT_NE(std::string::npos, Ringlet.Stderr().find("Modem Z"));
  }
}

// All lines, one of them a modem that never answers: its open waits six seconds for each
// command, in the background, while the other line prints its call; only then is the hung
// line reported. (Opened on the main thread, the hung line held everything up and the
// other line's call rang unheard.)
TEST_F(ConsoleTest, AllLinesKeepPrintingCallsWhileOneLineOpensOnAHungModem) {
  PtyTest::TPty Hung; // nobody answers on its far end
  TFakeModem B;
  ASSERT_TRUE(B.Start());
  std::ofstream(FFolder / "telephony.ini")
      << "[Line1]\nName=Hung Modem\nDevice=" << Hung.SlavePath
      << "\nCommandTimeout=6\nCheckInterval=0\n"
      << "[Line2]\nName=Modem B\nDevice=" << B.Device()
      << "\nRingTimeout=3\nCheckInterval=0\nCallerIdPause=0.3\n";
  TRinglet Ringlet;
  ASSERT_TRUE(Ringlet.Start(FProgram, {"--console", "--all-lines"}));
  B.Send("sleep 1500");
  B.Send("call 111 \"ON B\" rings=2");
  ASSERT_TRUE(Ringlet.WaitForOutputLines(1)) << Ringlet.Stderr();
  EXPECT_NE(std::string::npos, Ringlet.Stdout().find("\t111\tON B\tModem B")) << Ringlet.Stdout();
  EXPECT_EQ(std::string::npos, Ringlet.Stderr().find("Hung Modem: the line was lost"))
      << "the hung line was given up before the other line's call: " << Ringlet.Stderr();
  EXPECT_TRUE(Ringlet.WaitForError("Hung Modem: the line was lost", GenerousMs))
      << Ringlet.Stderr();
  Ringlet.Signal(SIGTERM);
  EXPECT_EQ(0, Ringlet.Wait());
}

TEST_F(ConsoleTest, ListDevicesAndHelp) {
  WriteTelephonyConfig(FFolder / "telephony.ini",
                       {{"Modem A", "/dev/null-a"}, {"Second Line", "/dev/null-b"}});
  {
    TRinglet Ringlet;
    ASSERT_TRUE(Ringlet.Start(FProgram, {"--list-devices"}));
    EXPECT_EQ(0, Ringlet.Wait());
    EXPECT_EQ("Modem A\nSecond Line\n", Ringlet.Stdout());
  }
  {
    TRinglet Ringlet;
    ASSERT_TRUE(Ringlet.Start(FProgram, {"--help"}));
    EXPECT_EQ(0, Ringlet.Wait());
    for (const char* Topic :
         {"--console", "--device NAME", "--list-devices", "--demo", "SIGTERM",
          "RINGLET_TELEPHONY_CONFIG", "TapiDevice", "--no-block", "contacts.vcf", "blocklist.txt",
          "allowlist.txt", "Country", "[blocked]"})
      EXPECT_NE(std::string::npos, Ringlet.Stdout().find(Topic)) << Topic;
  }
  {
    TRinglet Ringlet;
    ASSERT_TRUE(Ringlet.Start(FProgram, {"--bogus"}));
    EXPECT_EQ(2, Ringlet.Wait());
  }
}

TEST_F(ConsoleTest, DemoModePlaysCallsThroughTheRealPathAndKeepsTheRememberedLine) {
  ::unsetenv("RINGLET_TELEPHONY_CONFIG");
  Platform::WriteProfileString(FFolder / "ringlet.ini", "Settings", "TapiDevice", "Kitchen modem");
  TRinglet Ringlet;
  ASSERT_TRUE(Ringlet.Start(FProgram, {"--console", "--demo"}));
  ASSERT_TRUE(Ringlet.WaitForOutputLines(1)) << Ringlet.Stderr();
  Ringlet.Signal(SIGTERM);
  EXPECT_EQ(0, Ringlet.Wait()) << Ringlet.Stderr();
  TCall Call;
  EXPECT_TRUE(ParseCallLine(Ringlet.Lines().at(0), Call.Number, Call.Name))
      << Ringlet.Lines().at(0);
  EXPECT_EQ("[Settings]\nTapiDevice=Kitchen modem\n", Remembered())
      << "the demo line is remembered in the demo's own folder only";
  EXPECT_EQ(std::string::npos, Ringlet.Stderr().find("fakemodem"))
      << "the simulated modem's account stays off the terminal:\n"
      << Ringlet.Stderr();
}

TEST_F(ConsoleTest, DemoModeThatCannotStartItsModemSaysWhy) {
  ::unsetenv("RINGLET_TELEPHONY_CONFIG");
  const fs::path Broken = FFolder / "broken-modem";
  std::ofstream(Broken) << "#!/bin/sh\necho 'fakemodem: no pseudo-terminal left' >&2\nexit 1\n";
  fs::permissions(Broken, fs::perms::owner_all);
  ::setenv("RINGLET_FAKEMODEM", Broken.c_str(), 1);
  TRinglet Ringlet;
  ASSERT_TRUE(Ringlet.Start(FProgram, {"--console", "--demo"}));
  EXPECT_EQ(1, Ringlet.Wait());
  EXPECT_NE(std::string::npos,
            Ringlet.Stderr().find("did not start: fakemodem: no pseudo-terminal left"))
      << Ringlet.Stderr();
}

TEST_F(ConsoleTest, AllLinesWatchesEveryLineServesNcidAndMqttAndRetriesALostLineAlone) {
  BrokerTest::TBroker Broker;
  ASSERT_TRUE(Broker.Start());
  BrokerTest::TSubscriber Subscriber(Broker.Port(), {"ringlet/+/call"});
  ASSERT_TRUE(Subscriber.WaitSubscribed());
  const uint16_t NcidPort = BrokerTest::FreeLoopbackPort();
  const std::string OfficeLink = FFolder / "office-modem";
  TFakeModem Kitchen;
  ASSERT_TRUE(Kitchen.Start());
  auto Office = std::make_unique<TFakeModem>();
  ASSERT_TRUE(Office->Start({"--link", OfficeLink, "--ring-spacing", "400"}));
  WriteTelephonyConfig(FFolder / "telephony.ini",
                       {{"Kitchen", Kitchen.Device()}, {"Office", OfficeLink}});

  TRinglet Ringlet;
  ASSERT_TRUE(Ringlet.Start(FProgram, {"--console", "--all-lines", "--ncid-listen",
                                       "127.0.0.1:" + std::to_string(NcidPort), "--mqtt",
                                       "mqtt://127.0.0.1:" + std::to_string(Broker.Port())}));
  std::unique_ptr<NcidTest::TNcidClient> Ncid = ConnectNcid(NcidPort);
  ASSERT_TRUE(Ncid) << "the NCID server never listened";
  const std::vector<std::string> Startup = Ncid->ReadStartup();
  EXPECT_NE(std::find(Startup.begin(), Startup.end(), "252 Call log empty"), Startup.end());
  const auto NextCalls = [&Ncid](size_t Count) {
    std::string Lines;
    for (size_t I = 0; I < Count; ++I)
      Lines += Ncid->ReadCallLine(std::chrono::milliseconds(GenerousMs)) + "\n";
    return Lines;
  };

  Kitchen.Send("sleep 1500");
  Kitchen.Send("call 111 \"IN KITCHEN\" rings=2");
  Office->Send("sleep 1500");
  Office->Send("call 222 \"IN OFFICE\" rings=2");
  ASSERT_TRUE(Ringlet.WaitForOutputLines(2)) << Ringlet.Stdout() << Ringlet.Stderr();
  EXPECT_NE(Ringlet.Stdout().find("\t111\tIN KITCHEN\tKitchen\n"), std::string::npos)
      << Ringlet.Stdout();
  EXPECT_NE(Ringlet.Stdout().find("\t222\tIN OFFICE\tOffice\n"), std::string::npos)
      << Ringlet.Stdout();
  const std::string Received = NextCalls(2);
  EXPECT_NE(Received.find("*LINE*Kitchen*NMBR*111*MESG*NONE*NAME*IN KITCHEN*"), std::string::npos)
      << Received;
  EXPECT_NE(Received.find("*LINE*Office*NMBR*222*MESG*NONE*NAME*IN OFFICE*"), std::string::npos)
      << Received;
  EXPECT_EQ(Subscriber.WaitOn("ringlet/kitchen/call", 1).size(), 1u);
  EXPECT_EQ(Subscriber.WaitOn("ringlet/office/call", 1).size(), 1u);

  // The office modem goes; the kitchen goes on.
  Office->Send("vanish");
  ASSERT_TRUE(Ringlet.WaitForError("Office: the line was lost", GenerousMs)) << Ringlet.Stderr();
  Kitchen.Send("call 333 \"STILL KITCHEN\" rings=2");
  ASSERT_TRUE(Ringlet.WaitForOutputLines(3)) << Ringlet.Stdout() << Ringlet.Stderr();
  EXPECT_NE(Ringlet.Stdout().find("\t333\tSTILL KITCHEN\tKitchen\n"), std::string::npos);
  Office = std::make_unique<TFakeModem>();
  ASSERT_TRUE(Office->Start({"--link", OfficeLink, "--ring-spacing", "400"}));
  ASSERT_TRUE(Ringlet.WaitForError("Office: the line is back", GenerousMs)) << Ringlet.Stderr();
  Office->Send("sleep 1000");
  Office->Send("call 444 \"OFFICE AGAIN\" rings=2");
  ASSERT_TRUE(Ringlet.WaitForOutputLines(4)) << Ringlet.Stdout() << Ringlet.Stderr();
  EXPECT_NE(Ringlet.Stdout().find("\t444\tOFFICE AGAIN\tOffice\n"), std::string::npos);
  EXPECT_EQ(Subscriber.WaitOn("ringlet/office/call", 2).size(), 2u);
  const std::string Later = NextCalls(2);
  EXPECT_NE(Later.find("*NMBR*333*"), std::string::npos) << Later;
  EXPECT_NE(Later.find("*NMBR*444*"), std::string::npos) << Later;

  Ringlet.Signal(SIGTERM);
  EXPECT_EQ(0, Ringlet.Wait()) << Ringlet.Stderr();
  EXPECT_EQ(Ringlet.Stderr().find("Kitchen: the line was lost"), std::string::npos)
      << Ringlet.Stderr();
  // All lines neither uses nor changes the remembered line.
  EXPECT_FALSE(fs::exists(FFolder / "ringlet.ini"));
}

// A call is printed the moment its block has a number and a name; the carrier's mask of the
// number at a later ring updates the call where it can be updated in place (MQTT: the same id,
// a revision) and adds no second line where it cannot (the console, NCID clients).
TEST_F(ConsoleTest, AMaskAfterTheCallIsAnUpdateNotASecondCall) {
  BrokerTest::TBroker Broker;
  ASSERT_TRUE(Broker.Start());
  BrokerTest::TSubscriber Subscriber(Broker.Port(), {"ringlet/+/call"});
  ASSERT_TRUE(Subscriber.WaitSubscribed());
  const uint16_t NcidPort = BrokerTest::FreeLoopbackPort();
  TFakeModem Modem;
  ASSERT_TRUE(Modem.Start());
  WriteTelephonyConfig(FFolder / "telephony.ini", {{"Kitchen", Modem.Device()}});
  TRinglet Ringlet;
  ASSERT_TRUE(Ringlet.Start(FProgram,
                            {"--console", "--ncid-listen", "127.0.0.1:" + std::to_string(NcidPort),
                             "--mqtt", "mqtt://127.0.0.1:" + std::to_string(Broker.Port())}));
  std::unique_ptr<NcidTest::TNcidClient> Ncid = ConnectNcid(NcidPort);
  ASSERT_TRUE(Ncid) << "the NCID server never listened";
  Ncid->ReadStartup();
  Modem.Send("sleep 1500");
  Modem.Send("say \\r\\nRING\\r\\n");
  Modem.Send(
      "say DATE = 1209\\r\\nTIME = 1200\\r\\nNMBR = 4075551212\\r\\nNAME = CHMIELEWSKI JOH\\r\\n");
  ASSERT_TRUE(Ringlet.WaitForOutputLines(1)) << Ringlet.Stdout() << Ringlet.Stderr();
  for (const char* Step :
       {"sleep 700", "say \\r\\nRING\\r\\n", "sleep 200", "say NMBR = O\\r\\n", "sleep 500",
        "say \\r\\nRING\\r\\n", "sleep 700", "say \\r\\nRING\\r\\n"})
    Modem.Send(Step);
  const auto Calls = Subscriber.WaitOn("ringlet/kitchen/call", 2);
  ASSERT_EQ(Calls.size(), 2u);
  EXPECT_NE(Calls[0].Payload.find("\"number\":\"4075551212\""), std::string::npos);
  EXPECT_NE(Calls[1].Payload.find("\"revision\":1,"), std::string::npos) << Calls[1].Payload;
  EXPECT_NE(Calls[1].Payload.find("\"number\":\"\""), std::string::npos) << Calls[1].Payload;
  EXPECT_EQ(Calls[1].Payload.substr(0, Calls[1].Payload.find(",\"revision\"")),
            Calls[0].Payload.substr(0, Calls[0].Payload.find(",\"time\"")))
      << "the same id";
  // The next call is a call of its own everywhere.
  Modem.Send("sleep 3500");
  Modem.Send("call 3125550147 \"OKAFOR GRACE\" rings=2");
  ASSERT_TRUE(Ringlet.WaitForOutputLines(2)) << Ringlet.Stdout() << Ringlet.Stderr();
  EXPECT_NE(Ringlet.Stdout().find("\t4075551212\tCHMIELEWSKI JOH\n"), std::string::npos)
      << Ringlet.Stdout();
  EXPECT_NE(Ringlet.Stdout().find("\t3125550147\tOKAFOR GRACE\n"), std::string::npos)
      << Ringlet.Stdout();
  EXPECT_NE(Ncid->ReadCallLine(std::chrono::milliseconds(GenerousMs)).find("*NMBR*4075551212*"),
            std::string::npos);
  EXPECT_NE(Ncid->ReadCallLine(std::chrono::milliseconds(GenerousMs)).find("*NMBR*3125550147*"),
            std::string::npos);
  Ringlet.Signal(SIGTERM);
  EXPECT_EQ(0, Ringlet.Wait()) << Ringlet.Stderr();
  EXPECT_EQ(std::count(Ringlet.Stdout().begin(), Ringlet.Stdout().end(), '\n'), 2)
      << Ringlet.Stdout();
}

// NCID clients as people run them read every line of the program: a line named with a blank
// gets an id of one word (here the one the settings file gives it), each ring is a CIDINFO line
// and the end of the ringing RING 0, and a client's message reaches the other clients. Rings a
// second apart: the line is open again before the next ring after the caller ID.
TEST_F(ConsoleTest, NcidClientsReadTheLineIdRingsAndMessages) {
  const uint16_t NcidPort = BrokerTest::FreeLoopbackPort();
  TFakeModem Modem;
  ASSERT_TRUE(Modem.Start({"--ring-spacing", "1000"}));
  WriteTelephonyConfig(FFolder / "telephony.ini", {{"Kitchen modem", Modem.Device()}});
  std::ofstream(FFolder / "ringlet.ini") << "[NCID Line IDs]\nkitchen MODEM = kitchen\n";
  TRinglet Ringlet;
  ASSERT_TRUE(Ringlet.Start(FProgram, {"--console", "--device", "Kitchen modem", "--ncid-listen",
                                       "127.0.0.1:" + std::to_string(NcidPort)}));
  std::unique_ptr<NcidTest::TNcidClient> Client = ConnectNcid(NcidPort);
  ASSERT_TRUE(Client) << "the NCID server never listened";
  std::unique_ptr<NcidTest::TNcidClient> Other;
  Other = std::make_unique<NcidTest::TNcidClient>(NcidPort);
  Client->ReadStartup();
  Other->ReadStartup();
  Modem.Send("sleep 1500");
  Modem.Send("call 4075551212 \"CHMIELEWSKI JOH\" rings=3");
  std::vector<std::string> Rings;
  std::string Call;
  for (int I = 0; I < 12 && (Rings.empty() || Rings.back() != "0"); ++I) {
    const std::string Line = Client->ReadLine(std::chrono::milliseconds(GenerousMs));
    const NcidTest::TNcidFields Fields = NcidTest::ReadLikeTclClient(Line);
    ASSERT_EQ(Fields.Error, "") << Line;
    EXPECT_EQ(Fields.Values.at("LINE"), "kitchen") << Line;
    if (Fields.Label == "CIDINFO:")
      Rings.push_back(Fields.Values.at("RING"));
    else if (Fields.Label == "CID:")
      Call = Fields.Values.at("NMBR") + "|" + Fields.Values.at("NAME");
  }
  EXPECT_EQ(Rings, (std::vector<std::string>{"1", "2", "3", "0"}));
  EXPECT_EQ(Call, "4075551212|CHMIELEWSKI JOH");
  Client->Send("MSG: back in five\r\n");
  std::string Message;
  for (int I = 0; I < 12 && Message.rfind("MSG:", 0) != 0; ++I)
    Message = Other->ReadLine(std::chrono::milliseconds(GenerousMs));
  EXPECT_EQ(Message, "MSG: back in five");
  Ringlet.Signal(SIGTERM);
  EXPECT_EQ(0, Ringlet.Wait()) << Ringlet.Stderr();
}

// A router's call monitor tells of a call once; NCID clients still see it ring (one CIDINFO
// per ring of a phone's cycle, here shortened) and stop ringing with RING 0, although the
// program drops the call and reopens the line after its caller ID.
TEST_F(ConsoleTest, NcidClientsSeeACallMonitorCallRingAndStop) {
  const uint16_t NcidPort = BrokerTest::FreeLoopbackPort();
  const int Listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Size = sizeof Address;
  ASSERT_EQ(::bind(Listener, reinterpret_cast<sockaddr*>(&Address), sizeof Address), 0);
  ASSERT_EQ(::listen(Listener, 2), 0);
  ASSERT_EQ(::getsockname(Listener, reinterpret_cast<sockaddr*>(&Address), &Size), 0);
  std::ofstream(FFolder / "telephony.ini")
      << "[Line1]\nName=Router\nKind=callmonitor\nHost=127.0.0.1\nPort=" << ntohs(Address.sin_port)
      << "\nRingCycle=0.4\n";
  TRinglet Ringlet;
  ASSERT_TRUE(Ringlet.Start(FProgram, {"--console", "--device", "Router", "--ncid-listen",
                                       "127.0.0.1:" + std::to_string(NcidPort)}));
  pollfd Ready{Listener, POLLIN, 0};
  ASSERT_EQ(::poll(&Ready, 1, GenerousMs), 1) << Ringlet.Stderr();
  const int Router = ::accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);
  ::close(Listener);
  ASSERT_GE(Router, 0);
  std::unique_ptr<NcidTest::TNcidClient> Client = ConnectNcid(NcidPort);
  ASSERT_TRUE(Client) << "the NCID server never listened";
  Client->ReadStartup();
  const auto Say = [&](const std::string& Line) {
    const std::string Text = Line + "\r\n";
    ASSERT_EQ(::write(Router, Text.data(), Text.size()), static_cast<ssize_t>(Text.size()));
  };
  Say("12.12.26 09:14:02;RING;0;3125550147;5551234;SIP0;");
  std::vector<std::string> Rings;
  std::string Call;
  for (int I = 0; I < 20 && (Rings.empty() || Rings.back() != "0"); ++I) {
    const std::string Line = Client->ReadLine(std::chrono::milliseconds(GenerousMs));
    const NcidTest::TNcidFields Fields = NcidTest::ReadLikeTclClient(Line);
    ASSERT_EQ(Fields.Error, "") << Line;
    if (Fields.Label == "CIDINFO:")
      Rings.push_back(Fields.Values.at("RING"));
    else if (Fields.Label == "CID:")
      Call = Fields.Values.at("NMBR");
    if (Rings.size() == 3 && Rings.back() == "3")
      Say("12.12.26 09:14:09;DISCONNECT;0;0;"); // the caller gives up
  }
  ::close(Router);
  EXPECT_EQ(Rings, (std::vector<std::string>{"1", "2", "3", "0"}));
  EXPECT_EQ(Call, "3125550147");
  Ringlet.Signal(SIGTERM);
  EXPECT_EQ(0, Ringlet.Wait()) << Ringlet.Stderr();
}

TEST_F(ConsoleTest, NetworkOptionsAreCheckedBeforeMonitoring) {
  TFakeModem Modem;
  ASSERT_TRUE(Modem.Start());
  WriteTelephonyConfig(FFolder / "telephony.ini", {{"Fake Modem 1", Modem.Device()}});
  std::ofstream(FFolder / "huge-password") << std::string(5000, 'x');
  const std::vector<std::pair<std::vector<std::string>, std::string>> Cases = {
      {{"--console", "--ncid-listen", "localhost:3333"}, "not a numeric IP address"},
      // A device would be read for a line forever, a huge file whole.
      {{"--console", "--mqtt", "mqtt://127.0.0.1", "--mqtt-password-file", "/dev/zero"},
       "/dev/zero is not a regular file"},
      {{"--console", "--mqtt", "mqtt://127.0.0.1", "--mqtt-password-file",
        FFolder / "huge-password"},
       "is larger than 4 KiB"},
      {{"--console", "--mqtt", "http://broker"}, "is not an MQTT URL"},
      {{"--console", "--mqtt", "mqtt://127.0.0.1", "--mqtt-password-file", FFolder / "none"},
       "cannot be read"},
  };
  for (const auto& [Args, Message] : Cases) {
    TRinglet Ringlet;
    ASSERT_TRUE(Ringlet.Start(FProgram, Args));
    EXPECT_EQ(1, Ringlet.Wait()) << Args[2];
    EXPECT_NE(Ringlet.Stderr().find(Message), std::string::npos) << Ringlet.Stderr();
  }
  TRinglet Window;
  ASSERT_TRUE(Window.Start(FProgram, {"--all-lines"}));
  EXPECT_EQ(2, Window.Wait());
}

// What fakemodem did during each call it played: its account split at "call from".
std::map<std::string, std::string> CallAccounts(const std::string& File) {
  std::ifstream In(File);
  std::map<std::string, std::string> Accounts;
  std::string Current;
  for (std::string Line; std::getline(In, Line);) {
    if (const size_t From = Line.find("call from "); From != std::string::npos) {
      const size_t Start = From + 10;
      Current = Line.substr(Start, Line.find(' ', Start) - Start);
    }
    if (!Current.empty())
      Accounts[Current] += Line + "\n";
  }
  return Accounts;
}

void WriteFile(const fs::path& Path, const std::string& Text) {
  fs::create_directories(Path.parent_path());
  std::ofstream(Path) << Text;
}

// "ringlet --console | head -n1": once the reader is gone, every call is still recorded,
// screened and handed to other screens, and standard error says once that the rows cannot be
// printed. Then the same with standard output closed from the start, publishing to MQTT.
TEST_F(ConsoleTest, AClosedStandardOutputStillRecordsScreensAndPublishesEveryCall) {
  WriteFile(FFolder / "config/ringlet/blocklist.txt", "5550003\n");
  const std::string ModemLog = FFolder / "fakemodem.log";
  TFakeModem Modem;
  ASSERT_TRUE(Modem.Start({"--ring-spacing", "400", "--answer-delay", "30000"}, ModemLog));
  WriteTelephonyConfig(FFolder / "telephony.ini", {{"Fake Modem 1", Modem.Device()}});
  const auto Stored = [&](size_t Count) {
    std::string Out;
    BrokerTest::WaitFor(
        [&] {
          Out = RunToEnd(FProgram, {"--history"}).Out;
          return static_cast<size_t>(std::count(Out.begin(), Out.end(), '\n')) >= Count;
        },
        std::chrono::milliseconds(GenerousMs));
    return Out;
  };

  const uint16_t NcidPort = BrokerTest::FreeLoopbackPort();
  TRinglet Ringlet;
  ASSERT_TRUE(Ringlet.Start(
      FProgram, {"--console", "--ncid-listen", "127.0.0.1:" + std::to_string(NcidPort)}));
  std::unique_ptr<NcidTest::TNcidClient> Ncid = ConnectNcid(NcidPort);
  ASSERT_TRUE(Ncid) << "the NCID server never listened";
  Ncid->ReadStartup();
  Modem.Send("sleep 1500");
  Modem.Send("call 5550001 \"FIRST\" rings=1");
  ASSERT_TRUE(Ringlet.WaitForOutputLines(1)) << Ringlet.Stderr();
  Ringlet.CloseStdout();
  Modem.Send("sleep 2500");
  Modem.Send("call 5550002 \"SECOND\" rings=1");
  Modem.Send("sleep 2500");
  Modem.Send("call 5550003 \"THIRD\" rings=1");
  std::string Shown;
  for (int I = 0; I < 3; ++I)
    Shown += Ncid->ReadCallLine(std::chrono::milliseconds(GenerousMs)) + "\n";
  EXPECT_NE(Shown.find("*NMBR*5550003*"), std::string::npos) << Shown << Ringlet.Stderr();
  const std::string History = Stored(3);
  EXPECT_NE(History.find("\t5550002\tSECOND\n"), std::string::npos) << History << Ringlet.Stderr();
  EXPECT_NE(History.find("\t5550003\tTHIRD [blocked]\n"), std::string::npos) << History;
  ASSERT_TRUE(Ringlet.WaitForError("standard output", GenerousMs)) << Ringlet.Stderr();
  Ringlet.Signal(SIGTERM);
  EXPECT_EQ(0, Ringlet.Wait()) << Ringlet.Stderr();
  const std::string& Err = Ringlet.Stderr();
  EXPECT_EQ(Err.find("standard output"), Err.rfind("standard output")) << "told once: " << Err;
  Modem.Stop();
  const std::string Blocked = CallAccounts(ModemLog).at("5550003");
  EXPECT_NE(Blocked.find("<- ATH1"), std::string::npos) << "the blocked call was picked up";
  EXPECT_EQ(Blocked.find("<- ATA"), std::string::npos) << "and never answered: " << Blocked;

  // Standard output closed before the program starts: nothing else may take its place.
  BrokerTest::TBroker Broker;
  ASSERT_TRUE(Broker.Start());
  BrokerTest::TSubscriber Subscriber(Broker.Port(), {"ringlet/+/call"});
  ASSERT_TRUE(Subscriber.WaitSubscribed());
  TFakeModem Second;
  ASSERT_TRUE(Second.Start({"--ring-spacing", "400"}));
  WriteTelephonyConfig(FFolder / "telephony.ini", {{"Fake Modem 1", Second.Device()}});
  TRinglet Closed;
  ASSERT_TRUE(Closed.Start("/bin/sh", {"-c", "exec \"$0\" --console --mqtt \"$1\" >&-", FProgram,
                                       "mqtt://127.0.0.1:" + std::to_string(Broker.Port())}));
  Second.Send("sleep 1500");
  Second.Send("call 5550004 \"FOURTH\" rings=1");
  EXPECT_NE(Stored(4).find("\t5550004\tFOURTH\n"), std::string::npos) << Closed.Stderr();
  EXPECT_EQ(Subscriber.WaitOn("ringlet/fake_modem_1/call", 1).size(), 1u);
  ASSERT_TRUE(Closed.WaitForError("standard output", GenerousMs)) << Closed.Stderr();
  Closed.Signal(SIGTERM);
  EXPECT_EQ(0, Closed.Wait()) << Closed.Stderr();
}

TEST_F(ConsoleTest, ContactsNameCallersAndBlockedCallsArePickedUpAndPutDown) {
  WriteFile(FFolder / "config/ringlet/contacts.vcf",
            "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Mum\r\nTEL;TYPE=HOME:+1 (407) 555-1212\r\n"
            "END:VCARD\r\nBEGIN:VCARD\r\nVERSION:3.0\r\nFN:The Plumber\r\n"
            "TEL:1-800-555-0777\r\nEND:VCARD\r\n");
  WriteFile(FFolder / "config/ringlet/blocklist.txt",
            "# nuisance calls\n(555) 010-0199\nwithheld\n8005550*\n");
  WriteFile(FFolder / "config/ringlet/allowlist.txt", "800-555-0123  # the pharmacy\n");
  const std::string ModemLog = FFolder / "fakemodem.log";
  TFakeModem Modem;
  // Rings far enough apart that a caller cut off after the caller ID never hears a second.
  ASSERT_TRUE(Modem.Start({"--ring-spacing", "3000"}, ModemLog));
  WriteTelephonyConfig(FFolder / "telephony.ini", {{"Fake Modem 1", Modem.Device()}});
  const uint16_t NcidPort = BrokerTest::FreeLoopbackPort();
  TRinglet Ringlet;
  ASSERT_TRUE(Ringlet.Start(
      FProgram, {"--console", "--ncid-listen", "127.0.0.1:" + std::to_string(NcidPort)}));
  std::unique_ptr<NcidTest::TNcidClient> Ncid = ConnectNcid(NcidPort);
  ASSERT_TRUE(Ncid) << "the NCID server never listened";
  const std::vector<std::string> Startup = Ncid->ReadStartup();
  EXPECT_NE(std::find(Startup.begin(), Startup.end(), "OPT: hangup"), Startup.end());
  Modem.Send("sleep 1500");
  Modem.Send("call 4075551212 \"DOE JOHN\" rings=1");
  Modem.Send("sleep 3500");
  Modem.Send("call 5550100199 \"CARD SERVICES\" rings=2");
  Modem.Send("sleep 3500");
  Modem.Send("private rings=2");
  Modem.Send("sleep 3500");
  Modem.Send("call 8005550123 \"PHARMACY\" rings=1");
  Modem.Send("sleep 3500");
  Modem.Send("call 8005550777 \"PLUMBING CO\" rings=1");
  ASSERT_TRUE(Ringlet.WaitForOutputLines(5)) << Ringlet.Stdout() << Ringlet.Stderr();
  Ringlet.Signal(SIGTERM);
  EXPECT_EQ(0, Ringlet.Wait()) << Ringlet.Stderr();
  Modem.Stop();

  const std::vector<std::string> Lines = Ringlet.Lines();
  ASSERT_EQ(5u, Lines.size()) << Ringlet.Stdout();
  const std::vector<TCall> Expected = {{"4075551212", "Mum"},
                                       {"5550100199", "CARD SERVICES [blocked]"},
                                       {"Caller ID Blocked", "Caller ID Blocked [blocked]"},
                                       {"8005550123", "PHARMACY"},
                                       {"8005550777", "The Plumber"}};
  for (size_t I = 0; I < Expected.size(); ++I) {
    TCall Call;
    ASSERT_TRUE(ParseCallLine(Lines[I], Call.Number, Call.Name)) << Lines[I];
    EXPECT_EQ(Expected[I].Number, Call.Number);
    EXPECT_EQ(Expected[I].Name, Call.Name);
  }
  // NCID clients see the calls hung up on as such.
  std::string Labels;
  for (size_t I = 0; I < Expected.size(); ++I)
    Labels += Ncid->ReadCallLine(std::chrono::milliseconds(GenerousMs)).substr(0, 4);
  EXPECT_EQ("CID:HUP:HUP:CID:CID:", Labels);

  // The modem took the blocked calls off hook and put them down before their second ring,
  // never answering them, and left the others alone.
  const std::map<std::string, std::string> Accounts = CallAccounts(ModemLog);
  ASSERT_EQ(5u, Accounts.size());
  for (const char* Blocked : {"5550100199", "P"}) {
    const std::string& Account = Accounts.at(Blocked);
    const size_t OffHook = Account.find("<- ATH1");
    const size_t OnHook = Account.find("<- ATH0");
    EXPECT_NE(OffHook, std::string::npos) << Account;
    EXPECT_NE(OnHook, std::string::npos) << Account;
    EXPECT_LT(OffHook, OnHook) << Account;
    EXPECT_NE(Account.find("the caller is cut off"), std::string::npos) << Account;
    EXPECT_EQ(Account.find("<- ATA"), std::string::npos) << Account;
    EXPECT_EQ(Account.find("ring 2/2"), std::string::npos) << Account;
  }
  for (const char* Let : {"4075551212", "8005550123", "8005550777"}) {
    EXPECT_EQ(Accounts.at(Let).find("<- ATA"), std::string::npos) << Accounts.at(Let);
    EXPECT_EQ(Accounts.at(Let).find("<- ATH1"), std::string::npos) << Accounts.at(Let);
  }
}

TEST_F(ConsoleTest, NoBlockOnlyShowsTheCallAndWarningsNameTheLine) {
  WriteFile(FFolder / "config/ringlet/blocklist.txt", "withheld\nnonsense here\n");
  WriteFile(FFolder / "ringlet.ini", "[Settings]\nCountry=ZZ\n");
  const std::string ModemLog = FFolder / "fakemodem.log";
  TFakeModem Modem;
  ASSERT_TRUE(Modem.Start({"--ring-spacing", "400"}, ModemLog));
  WriteTelephonyConfig(FFolder / "telephony.ini", {{"Fake Modem 1", Modem.Device()}});
  TRinglet Ringlet;
  ASSERT_TRUE(Ringlet.Start(FProgram, {"--console", "--no-block"}));
  Modem.Send("sleep 1500");
  Modem.Send("private rings=2");
  ASSERT_TRUE(Ringlet.WaitForOutputLines(1)) << Ringlet.Stderr();
  Ringlet.Signal(SIGTERM);
  EXPECT_EQ(0, Ringlet.Wait()) << Ringlet.Stderr();
  Modem.Stop();
  TCall Call;
  ASSERT_TRUE(ParseCallLine(Ringlet.Lines().at(0), Call.Number, Call.Name));
  EXPECT_EQ("Caller ID Blocked", Call.Name);
  EXPECT_EQ(CallAccounts(ModemLog).at("P").find("<- ATA"), std::string::npos);
  EXPECT_NE(Ringlet.Stderr().find("blocklist.txt:2: rule skipped"), std::string::npos)
      << Ringlet.Stderr();
  EXPECT_NE(Ringlet.Stderr().find("unknown Country \"ZZ\""), std::string::npos) << Ringlet.Stderr();
}

} // namespace

namespace {

// The hex line of a raw MDMF packet with a date, a number and a name, as a modem sends it.
std::string MdmfLine(const std::string& Number, const std::string& Name) {
  const auto Param = [](char Type, const std::string& Data) {
    return std::string{Type, static_cast<char>(Data.size())} + Data;
  };
  std::string Packet =
      Param('\x80', Param('\x01', "05042149") + Param('\x02', Number) + Param('\x07', Name));
  unsigned Sum = 0;
  for (const unsigned char C : Packet)
    Sum += C;
  Packet += static_cast<char>((256 - Sum % 256) % 256);
  std::string Hex;
  char Pair[3];
  for (const unsigned char C : Packet) {
    std::snprintf(Pair, sizeof Pair, "%02X", C);
    Hex += Pair;
  }
  return Hex;
}

// Names from the line and from the address book reach the terminal without any control
// character (the C1 byte 0x9B is an escape sequence's start, as ESC [ is), while letters of
// every script stay; a raw packet longer than any text line still gives its row and its block
// decision.
TEST_F(ConsoleTest, NoControlCharacterOfACallerOrAContactReachesTheTerminal) {
  const std::string Kitchen = "\xd0\x9a\xd1\x83\xd1\x85\xd0\xbd\xd1\x8f"; // in Cyrillic
  WriteFile(FFolder / "config/ringlet/contacts.vcf", "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:" + Kitchen +
                                                         "\xc2\x9b[2J\r\nTEL:4075551212\r\n"
                                                         "END:VCARD\r\n");
  WriteFile(FFolder / "config/ringlet/blocklist.txt", "name:survey\n");
  TFakeModem Modem;
  ASSERT_TRUE(Modem.Start());
  WriteTelephonyConfig(FFolder / "telephony.ini", {{"Fake Modem 1", Modem.Device()}});
  TRinglet Ringlet;
  ASSERT_TRUE(Ringlet.Start(FProgram, {"--console", "--no-history"}));
  const std::string Long = "WIRELESS CALLER SURVEY " + std::string(97, 'Q');
  Modem.Send("sleep 1500");
  Modem.Send("mdmf " + MdmfLine("5551234", "J\xc3\xbcrgen\x9b[2J\x1b[H") + " rings=1");
  Modem.Send("sleep 1500");
  Modem.Send("mdmf " + MdmfLine("2065550183", Long) + " rings=2");
  Modem.Send("sleep 1500");
  Modem.Send("call 4075551212 \"DOE JOHN\" rings=1");
  ASSERT_TRUE(Ringlet.WaitForOutputLines(3)) << Ringlet.Stdout() << Ringlet.Stderr();
  Ringlet.Signal(SIGTERM);
  EXPECT_EQ(0, Ringlet.Wait()) << Ringlet.Stderr();
  const std::vector<TCall> Expected = {{"5551234", "J\xc3\xbcrgen[2J[H"},
                                       {"2065550183", Long + " [blocked]"},
                                       {"4075551212", Kitchen + "[2J"}};
  const std::vector<std::string> Lines = Ringlet.Lines();
  ASSERT_EQ(Expected.size(), Lines.size()) << Ringlet.Stdout();
  for (size_t I = 0; I < Expected.size(); ++I) {
    TCall Call;
    ASSERT_TRUE(ParseCallLine(Lines[I], Call.Number, Call.Name)) << Lines[I];
    EXPECT_EQ(Expected[I].Number, Call.Number);
    EXPECT_EQ(Expected[I].Name, Call.Name);
  }
}

} // namespace
