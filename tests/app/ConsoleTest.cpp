// End to end: the ringlet program's console front end as a child process, against
// fakemodem through the real telephony service. The program runs from a copy in a temp
// folder, so its settings file (beside the program) is the test's own.
#include "AppTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

namespace {

using namespace AppTest;

class TRinglet {
public:
  ~TRinglet() { Kill(); }

  bool Start(const std::string& Program, const std::vector<std::string>& Args) {
    int Out[2], Err[2];
    if (::pipe2(Out, O_CLOEXEC) != 0 || ::pipe2(Err, O_CLOEXEC) != 0)
      return false;
    std::vector<char*> Argv{const_cast<char*>(Program.c_str())};
    for (const std::string& Arg : Args)
      Argv.push_back(const_cast<char*>(Arg.c_str()));
    Argv.push_back(nullptr);
    FPid = ::fork();
    if (FPid == 0) {
      ::dup2(Out[1], 1);
      ::dup2(Err[1], 2);
      ::execv(Program.c_str(), Argv.data());
      ::_exit(127);
    }
    ::close(Out[1]);
    ::close(Err[1]);
    FOut = Out[0];
    FErr = Err[0];
    return FPid > 0;
  }

  // Reads what is there; true when output or error reached end of file.
  void Read(int LimitMs) {
    pollfd Polls[2] = {{FOut, POLLIN, 0}, {FErr, POLLIN, 0}};
    if (::poll(Polls, 2, LimitMs) <= 0)
      return;
    char Buffer[4096];
    for (int I = 0; I < 2; ++I) {
      if ((Polls[I].revents & (POLLIN | POLLHUP)) == 0)
        continue;
      const ssize_t N = ::read(Polls[I].fd, Buffer, sizeof Buffer);
      if (N > 0)
        (I == 0 ? FStdout : FStderr).append(Buffer, static_cast<size_t>(N));
    }
  }

  bool WaitForOutputLines(size_t Count) {
    const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(GenerousMs);
    while (std::chrono::steady_clock::now() < End) {
      if (static_cast<size_t>(std::count(FStdout.begin(), FStdout.end(), '\n')) >= Count)
        return true;
      Read(100);
    }
    return false;
  }

  // Waits until standard error holds Text; false when LimitMs passed first.
  bool WaitForError(const std::string& Text, int LimitMs) {
    const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(LimitMs);
    while (FStderr.find(Text) == std::string::npos) {
      if (std::chrono::steady_clock::now() >= End)
        return false;
      Read(50);
    }
    return true;
  }

  // Keeps reading for Ms, whatever comes.
  void ReadFor(int Ms) {
    const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(Ms);
    while (std::chrono::steady_clock::now() < End)
      Read(50);
  }

  // The user and system time the program used so far, from /proc.
  double CpuSeconds() const {
    std::ifstream In("/proc/" + std::to_string(FPid) + "/stat");
    std::string Text;
    std::getline(In, Text);
    // The fields after the command name, which may hold blanks, in parentheses.
    std::istringstream Fields(Text.substr(Text.rfind(')') + 2));
    std::string Field;
    unsigned long long Ticks = 0;
    for (int I = 3; I <= 15 && Fields >> Field; ++I)
      if (I >= 14)
        Ticks += std::stoull(Field);
    return static_cast<double>(Ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }

  // The exit status, -1 when it did not end in time or ended by a signal.
  int Wait() {
    const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(GenerousMs);
    while (std::chrono::steady_clock::now() < End) {
      int Status = 0;
      const pid_t Done = ::waitpid(FPid, &Status, WNOHANG);
      if (Done == FPid) {
        FPid = -1;
        for (int I = 0; I < 5; ++I)
          Read(20);
        return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
      }
      Read(50);
    }
    return -1;
  }

  void Signal(int Number) { ::kill(FPid, Number); }
  void Kill() {
    if (FPid > 0) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
      FPid = -1;
    }
    for (int* Fd : {&FOut, &FErr}) {
      if (*Fd >= 0)
        ::close(*Fd);
      *Fd = -1;
    }
  }

  std::vector<std::string> Lines() const {
    std::vector<std::string> Result;
    std::istringstream In(FStdout);
    for (std::string Line; std::getline(In, Line);)
      Result.push_back(Line);
    return Result;
  }
  const std::string& Stdout() const { return FStdout; }
  const std::string& Stderr() const { return FStderr; }

private:
  pid_t FPid = -1;
  int FOut = -1;
  int FErr = -1;
  std::string FStdout;
  std::string FStderr;
};

class ConsoleTest : public ::testing::Test {
protected:
  void SetUp() override {
    fs::copy_file(RINGLET_BUILD_DIR "/app/ringlet", FProgram);
    ::setenv("RINGLET_TELEPHONY_CONFIG", (FFolder / "telephony.ini").c_str(), 1);
    ::setenv("RINGLET_REGISTRY_FILE", (FFolder / "registry").c_str(), 1);
    ::setenv("RINGLET_LIBRARY_PATH", RINGLET_BUILD_DIR "/telephony", 1);
    ::setenv("RINGLET_FAKEMODEM", RINGLET_BUILD_DIR "/tools/fakemodem/fakemodem", 1);
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
    for (const char* Topic : {"--console", "--device NAME", "--list-devices", "--demo", "SIGTERM",
                              "RINGLET_TELEPHONY_CONFIG", "TapiDevice"})
      EXPECT_NE(std::string::npos, Ringlet.Stdout().find(Topic)) << Topic;
  }
  {
    TRinglet Ringlet;
    ASSERT_TRUE(Ringlet.Start(FProgram, {"--bogus"}));
    EXPECT_EQ(2, Ringlet.Wait());
  }
}

TEST_F(ConsoleTest, DemoModePlaysCallsThroughTheRealPath) {
  ::unsetenv("RINGLET_TELEPHONY_CONFIG");
  TRinglet Ringlet;
  ASSERT_TRUE(Ringlet.Start(FProgram, {"--console", "--demo"}));
  ASSERT_TRUE(Ringlet.WaitForOutputLines(1)) << Ringlet.Stderr();
  Ringlet.Signal(SIGTERM);
  EXPECT_EQ(0, Ringlet.Wait()) << Ringlet.Stderr();
  TCall Call;
  EXPECT_TRUE(ParseCallLine(Ringlet.Lines().at(0), Call.Number, Call.Name))
      << Ringlet.Lines().at(0);
  EXPECT_EQ("[Settings]\nTapiDevice=Ringlet Demo Modem\n", Remembered());
}

} // namespace
