// The call history in the program: the console front end writing it against fakemodem, the
// real built program printing it (--history) in every format, the options and the settings
// that turn it off, and its faults seen from the program - the call is printed all the same.
#include "ProgramRun.h"

#include "calls/History.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <ctime>

namespace {

using namespace AppTest;

class CallHistoryTest : public ::testing::Test {
protected:
  void SetUp() override {
    fs::copy_file(RINGLET_BUILD_DIR "/app/ringlet", FProgram);
    ::setenv("RINGLET_TELEPHONY_CONFIG", (FFolder / "telephony.ini").c_str(), 1);
    ::setenv("RINGLET_REGISTRY_FILE", (FFolder / "registry").c_str(), 1);
    ::setenv("RINGLET_LIBRARY_PATH", RINGLET_BUILD_DIR "/telephony", 1);
    ::setenv("XDG_DATA_HOME", (FFolder / "data").c_str(), 1);
  }

  // Starts the console on the modem's line and waits for Count call lines after the modem
  // played Commands.
  void ConsoleRun(TFakeModem& Modem, const std::vector<std::string>& Commands, size_t Count,
                  const std::vector<std::string>& Extra, std::string& Out, std::string& Err) {
    TProgram Ringlet;
    std::vector<std::string> Args{"--console"};
    Args.insert(Args.end(), Extra.begin(), Extra.end());
    ASSERT_TRUE(Ringlet.Start(FProgram, Args));
    Modem.Send("sleep 1500");
    for (const std::string& Command : Commands)
      Modem.Send(Command);
    ASSERT_TRUE(Ringlet.WaitForOutputLines(Count)) << Ringlet.Stdout() << Ringlet.Stderr();
    Ringlet.Signal(SIGTERM);
    EXPECT_EQ(0, Ringlet.Wait()) << Ringlet.Stderr();
    Out = Ringlet.Stdout();
    Err = Ringlet.Stderr();
  }

  std::string DefaultFile() const { return FFolder / "data/ringlet/calls.sqlite"; }

  TTempFolder FFolder{"history"};
  const std::string FProgram = FFolder / "ringlet";
};

std::string Today(int DaysLater = 0) {
  std::time_t Now = std::time(nullptr) + DaysLater * 86400;
  std::tm Local{};
  localtime_r(&Now, &Local);
  char Text[16];
  std::strftime(Text, sizeof Text, "%Y-%m-%d", &Local);
  return Text;
}

size_t LineCount(const std::string& Text) {
  return static_cast<size_t>(std::count(Text.begin(), Text.end(), '\n'));
}

TEST_F(CallHistoryTest, TwoConsoleRunsThenEveryFormatPrintsTheCallsOfBoth) {
  TFakeModem Modem;
  ASSERT_TRUE(Modem.Start());
  WriteTelephonyConfig(FFolder / "telephony.ini", {{"Fake Modem 1", Modem.Device()}});
  std::string First, Second, Err;
  ConsoleRun(Modem, {"call 5551234 \"DOE, JOHN\" rings=2"}, 1, {}, First, Err);
  EXPECT_TRUE(Err.empty()) << Err;
  ConsoleRun(Modem, {"sleep 3000", "private rings=2"}, 1, {}, Second, Err);
  ASSERT_TRUE(fs::exists(DefaultFile()));

  const TRun Text = RunToEnd(FProgram, {"--history"});
  EXPECT_EQ(0, Text.Status) << Text.Err;
  EXPECT_EQ(First + Second, Text.Out) << "the console's rows, newest last";

  const TRun Csv = RunToEnd(FProgram, {"--history", "--format", "csv"});
  EXPECT_EQ(0, Csv.Status) << Csv.Err;
  const std::string Header =
      "utc,local_time,line,number,name,number_absent,name_absent,contact,blocked\r\n";
  ASSERT_EQ(0u, Csv.Out.rfind(Header, 0)) << Csv.Out;
  EXPECT_EQ(3u, LineCount(Csv.Out)) << Csv.Out;
  EXPECT_NE(std::string::npos, Csv.Out.find(",Fake Modem 1,5551234,\"DOE, JOHN\",,,,0\r\n"))
      << Csv.Out;
  EXPECT_NE(std::string::npos, Csv.Out.find(",Fake Modem 1,,,withheld,withheld,,0\r\n")) << Csv.Out;
  EXPECT_EQ(First.substr(0, 20), Csv.Out.substr(Header.size() + 21, 20)) << "the local time";

  const TRun Json = RunToEnd(FProgram, {"--history", "--format", "json"});
  EXPECT_EQ(0, Json.Status);
  ASSERT_EQ(2u, LineCount(Json.Out)) << Json.Out;
  EXPECT_EQ(0u, Json.Out.find("{\"utc\":\"")) << Json.Out;
  EXPECT_NE(std::string::npos, Json.Out.find("\"number\":\"5551234\",\"name\":\"DOE, JOHN\""))
      << Json.Out;
  EXPECT_NE(std::string::npos, Json.Out.find("\"number_absent\":\"withheld\"")) << Json.Out;

  EXPECT_EQ(First + Second, RunToEnd(FProgram, {"--history", "--line", "Fake Modem 1"}).Out);
  EXPECT_EQ(First + Second, RunToEnd(FProgram, {"--history", "--since", Today()}).Out);
  const TRun None = RunToEnd(FProgram, {"--history", "--line", "Another line"});
  EXPECT_EQ(0, None.Status);
  EXPECT_EQ("", None.Out + None.Err);
  EXPECT_EQ("", RunToEnd(FProgram, {"--history", "--since", Today(2)}).Out);
}

TEST_F(CallHistoryTest, OptionsAndAnEmptyHistory) {
  const TRun Empty = RunToEnd(FProgram, {"--history"});
  EXPECT_EQ(0, Empty.Status);
  EXPECT_EQ("", Empty.Out + Empty.Err) << "nothing stored, nothing printed";
  EXPECT_FALSE(fs::exists(DefaultFile())) << "reading creates nothing";

  for (const std::vector<std::string>& Wrong :
       {std::vector<std::string>{"--history", "--since", "2026-02-30"},
        {"--history", "--since", "yesterday"},
        {"--history", "--format", "xml"},
        {"--history", "--no-history"},
        {"--since", "2026-01-01"},
        {"--history-file"}}) {
    const TRun Run = RunToEnd(FProgram, Wrong);
    EXPECT_EQ(2, Run.Status) << Wrong.back();
    EXPECT_FALSE(Run.Err.empty()) << Wrong.back();
    EXPECT_EQ("", Run.Out) << Wrong.back();
  }

  const std::string Garbage = FFolder / "notes.txt";
  std::ofstream(Garbage) << "shopping list\n";
  const TRun NotADatabase = RunToEnd(FProgram, {"--history", "--history-file", Garbage});
  EXPECT_EQ(1, NotADatabase.Status);
  EXPECT_NE(std::string::npos, NotADatabase.Err.find("is not a database")) << NotADatabase.Err;

  const TRun Help = RunToEnd(FProgram, {"--help"});
  for (const char* Topic : {"--history", "--since", "--line", "--format", "--history-file",
                            "--no-history", "[History]"})
    EXPECT_NE(std::string::npos, Help.Out.find(Topic)) << Topic;
}

TEST_F(CallHistoryTest, ControlCharactersInStoredCallsNeverReachTheTerminal) {
  const std::string File = FFolder / "calls.sqlite";
  {
    THistoryWriter Writer(File, nullptr);
    TCallRecord Call;
    Call.Moment = 1764999900;
    Call.Time = "06/12/2025  06:45:00";
    Call.Line = "Line\x1b[2J";
    Call.Number = Call.ID = "555\r\n1234";
    Call.Name = Call.IDName = "EVIL\x1b]0;title\x07 \xc2\x9b"
                              "31m";
    Writer.Deliver(Call);
    ASSERT_TRUE(Writer.WaitIdle(GenerousMs));
  }
  for (const char* Format : {"text", "csv", "json"}) {
    const TRun Run = RunToEnd(FProgram, {"--history", "--history-file", File, "--format", Format});
    EXPECT_EQ(0, Run.Status) << Run.Err;
    EXPECT_NE(std::string::npos, Run.Out.find("5551234")) << Format << ": " << Run.Out;
    EXPECT_NE(std::string::npos, Run.Out.find("EVIL]0;title 31m")) << Format << ": " << Run.Out;
    for (size_t I = 0; I < Run.Out.size(); ++I) {
      const unsigned char C = static_cast<unsigned char>(Run.Out[I]);
      const bool LineEnd =
          C == '\n' || (C == '\r' && I + 1 < Run.Out.size() && Run.Out[I + 1] == '\n');
      EXPECT_TRUE(C >= 0x20 || C == '\t' || LineEnd) << Format << " byte " << I << ": " << int(C);
      EXPECT_FALSE(C == 0xC2 && I + 1 < Run.Out.size() &&
                   static_cast<unsigned char>(Run.Out[I + 1]) < 0xA0)
          << Format << ": a C1 control at " << I;
    }
  }
}

TEST_F(CallHistoryTest, HistoryIsReadWhileAMonitorWritesAndALockedFileLosesNoCall) {
  TFakeModem Modem;
  ASSERT_TRUE(Modem.Start());
  WriteTelephonyConfig(FFolder / "telephony.ini", {{"Fake Modem 1", Modem.Device()}});
  TProgram Ringlet;
  ASSERT_TRUE(Ringlet.Start(FProgram, {"--console"}));
  Modem.Send("sleep 1500");
  Modem.Send("call 111 \"FIRST\" rings=2");
  ASSERT_TRUE(Ringlet.WaitForOutputLines(1)) << Ringlet.Stderr();
  // The writer's thread commits right after the row is printed.
  auto Printed = [&](const std::string& Part) {
    const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(GenerousMs);
    for (;;) {
      const TRun Run = RunToEnd(FProgram, {"--history"});
      if (Run.Out.find(Part) != std::string::npos || std::chrono::steady_clock::now() > End)
        return Run;
      ::usleep(50000);
    }
  };
  EXPECT_NE(std::string::npos, Printed("\t111\tFIRST").Out.find("\t111\tFIRST"));

  // Another program takes the write lock and keeps it.
  sqlite3* Holder = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(DefaultFile().c_str(), &Holder));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(Holder, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr));
  Modem.Send("sleep 3500");
  Modem.Send("call 222 \"SECOND\" rings=2");
  ASSERT_TRUE(Ringlet.WaitForOutputLines(2)) << Ringlet.Stderr();
  const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(GenerousMs);
  while (Ringlet.Stderr().find("locked") == std::string::npos &&
         std::chrono::steady_clock::now() < End)
    Ringlet.Read(100);
  EXPECT_NE(std::string::npos, Ringlet.Stderr().find("locked by another program"))
      << Ringlet.Stderr();
  // Readers are still welcome, and see the call that waits.
  const TRun WhileLocked = RunToEnd(FProgram, {"--history"});
  EXPECT_EQ(0, WhileLocked.Status) << WhileLocked.Err;
  EXPECT_EQ(Ringlet.Stdout(), WhileLocked.Out);
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(Holder, "COMMIT;", nullptr, nullptr, nullptr));
  // No call comes: the waiting one is written all the same, in its place.
  const auto Stored = [&] {
    sqlite3_stmt* Count = nullptr;
    int Rows = -1;
    if (sqlite3_prepare_v2(Holder, "SELECT count(*) FROM calls;", -1, &Count, nullptr) ==
            SQLITE_OK &&
        sqlite3_step(Count) == SQLITE_ROW)
      Rows = sqlite3_column_int(Count, 0);
    sqlite3_finalize(Count);
    return Rows;
  };
  const auto Until = std::chrono::steady_clock::now() + std::chrono::milliseconds(GenerousMs);
  while (Stored() < 2 && std::chrono::steady_clock::now() < Until)
    Ringlet.Read(100);
  EXPECT_EQ(2, Stored());
  sqlite3_close(Holder);

  Modem.Send("sleep 3500");
  Modem.Send("call 333 \"THIRD\" rings=2");
  ASSERT_TRUE(Ringlet.WaitForOutputLines(3)) << Ringlet.Stderr();
  const TRun After = Printed("\t333\tTHIRD");
  Ringlet.Signal(SIGTERM);
  EXPECT_EQ(0, Ringlet.Wait());
  EXPECT_EQ(Ringlet.Stdout(), After.Out) << "the locked call was written later";
  const std::string& Err = Ringlet.Stderr();
  EXPECT_EQ(Err.find("locked by another"), Err.rfind("locked by another")) << "told once: " << Err;
  EXPECT_NE(std::string::npos, Err.find("written again")) << Err;
}

TEST_F(CallHistoryTest, NoHistoryOptionSettingAndABadFileStopNothing) {
  TFakeModem Modem;
  ASSERT_TRUE(Modem.Start());
  WriteTelephonyConfig(FFolder / "telephony.ini", {{"Fake Modem 1", Modem.Device()}});
  std::string Out, Err;
  ConsoleRun(Modem, {"call 111 \"ONE\" rings=2"}, 1, {"--no-history"}, Out, Err);
  EXPECT_NE(std::string::npos, Out.find("\t111\tONE"));
  EXPECT_FALSE(fs::exists(FFolder / "data")) << "nothing written for this run";

  // For good: the program's settings file.
  std::ofstream(FFolder / "ringlet.ini") << "[History]\nEnabled=0\n";
  ConsoleRun(Modem, {"sleep 3500", "call 222 \"TWO\" rings=2"}, 1, {}, Out, Err);
  EXPECT_NE(std::string::npos, Out.find("\t222\tTWO"));
  EXPECT_FALSE(fs::exists(FFolder / "data"));

  std::ofstream(FFolder / "ringlet.ini") << "[History]\nEnabled=1\n";
  const std::string Garbage = FFolder / "garbage.sqlite";
  std::ofstream(Garbage) << std::string(3000, '\x7f');
  ConsoleRun(Modem, {"sleep 3500", "call 333 \"THREE\" rings=2"}, 1, {"--history-file", Garbage},
             Out, Err);
  EXPECT_NE(std::string::npos, Out.find("\t333\tTHREE")) << "the call is printed all the same";
  EXPECT_NE(std::string::npos, Err.find("is not a database")) << Err;
  EXPECT_NE(std::string::npos, Err.find("1 call(s) could not be written")) << Err;
  EXPECT_EQ(std::string(3000, '\x7f'), [&] {
    std::ifstream In(Garbage);
    return std::string(std::istreambuf_iterator<char>(In), {});
  }()) << "left as it was";

  // The program's own file is its own: moved aside, and the call kept in a new one.
  fs::create_directories(fs::path(DefaultFile()).parent_path());
  std::ofstream(DefaultFile()) << std::string(3000, '\x7f');
  ConsoleRun(Modem, {"sleep 3500", "call 444 \"FOUR\" rings=2"}, 1, {}, Out, Err);
  EXPECT_NE(std::string::npos,
            Err.find("is not a database; it was moved to " + DefaultFile() + ".damaged-"))
      << Err;
  EXPECT_EQ(std::string::npos, Err.find("could not be written")) << Err;
  EXPECT_EQ(Out, RunToEnd(FProgram, {"--history"}).Out);
}

} // namespace
