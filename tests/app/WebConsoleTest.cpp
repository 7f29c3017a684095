// End to end: the web page of the ringlet program's console front end, with its password
// set through --set-web-password, against fakemodem through the real telephony service.
#include "AppTestSupport.h"
#include "ProgramRun.h"
#include "tests/calls/BrokerTestSupport.h"
#include "tests/web/WebTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>

namespace {

using AppTest::GenerousMs;
using AppTest::TProgram;
using WebTest::TJson;

class WebConsoleTest : public ::testing::Test {
protected:
  void SetUp() override {
    AppTest::fs::copy_file(RINGLET_BUILD_DIR "/app/ringlet", FProgram);
    ::setenv("RINGLET_TELEPHONY_CONFIG", (FFolder / "telephony.ini").c_str(), 1);
    ::setenv("RINGLET_REGISTRY_FILE", (FFolder / "registry").c_str(), 1);
    ::setenv("RINGLET_LIBRARY_PATH", RINGLET_BUILD_DIR "/telephony", 1);
    ::setenv("XDG_DATA_HOME", (FFolder / "data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (FFolder / "config").c_str(), 1);
  }

  // The status of `printf Input | ringlet --set-web-password`; its messages in FMessages.
  int SetPassword(const std::string& Input) {
    WebTest::WriteFile(FFolder / "input", Input);
    const int Status = std::system(
        (FProgram + " --set-web-password < " + FFolder / "input" + " 2> " + FFolder / "messages")
            .c_str());
    FMessages = WebTest::ReadFile(FFolder / "messages");
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
  }

  // The status of the program run with Arguments and no input; its messages in FMessages.
  int Run(const std::string& Arguments) {
    const int Status = std::system(
        (FProgram + " " + Arguments + " < /dev/null > /dev/null 2> " + FFolder / "messages")
            .c_str());
    FMessages = WebTest::ReadFile(FFolder / "messages");
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
  }

  // The permission bits of a file or folder, -1 when it is not there.
  static int Mode(const std::string& Path) {
    struct stat Info {};
    return ::stat(Path.c_str(), &Info) == 0 ? static_cast<int>(Info.st_mode & 07777) : -1;
  }

  AppTest::TTempFolder FFolder{"web-console"};
  const std::string FProgram = FFolder / "ringlet";
  std::string FMessages;
};

// The program's own console with the page on a free port, against fakemodem; the port in Port.
class TPageRun {
public:
  bool Start(const std::string& Program, const std::string& TelephonyConfig) {
    if (!FModem.Start())
      return false;
    AppTest::WriteTelephonyConfig(TelephonyConfig, {{"Fake Modem 1", FModem.Device()}});
    Port = BrokerTest::FreeLoopbackPort();
    return FRinglet.Start(Program,
                          {"--console", "--web-listen", "127.0.0.1:" + std::to_string(Port)}) &&
           BrokerTest::WaitFor([this] { return BrokerTest::PortAccepts(Port); },
                               std::chrono::milliseconds(GenerousMs));
  }
  int Stop() {
    FRinglet.Signal(SIGTERM);
    return FRinglet.Wait();
  }
  std::string Stderr() { return FRinglet.Stderr(); }

  WebTest::TAnswer LogIn(const std::string& Password) {
    return WebTest::Ask(Port, {"POST", "/api/login", TJson{{"password", Password}}.dump()});
  }

  uint16_t Port = 0;

private:
  AppTest::TFakeModem FModem;
  TProgram FRinglet;
};

TEST_F(WebConsoleTest, SetWebPasswordStoresOnlyASaltedHash) {
  EXPECT_EQ(1, SetPassword("\n"));
  EXPECT_NE(std::string::npos, FMessages.find("the password is empty")) << FMessages;
  EXPECT_EQ(1, SetPassword(""));
  EXPECT_FALSE(AppTest::fs::exists(FFolder / "ringlet.ini"));
  ASSERT_EQ(0, SetPassword("open sesame\n")) << FMessages;
  const std::string Settings = WebTest::ReadFile(FFolder / "ringlet.ini");
  EXPECT_NE(std::string::npos, Settings.find("[Web]\nPasswordHash=$argon2id$")) << Settings;
  EXPECT_EQ(std::string::npos, Settings.find("open sesame")) << Settings;
}

// A password a guesser finds at once is refused; the file that keeps the hash is the user's
// alone, whatever the umask lets others have.
TEST_F(WebConsoleTest, AShortPasswordIsRefusedAndTheHashIsKeptPrivate) {
  const mode_t Umask = ::umask(022);
  EXPECT_EQ(1, SetPassword("2short4u\n"));
  EXPECT_NE(std::string::npos, FMessages.find("at least 10 characters")) << FMessages;
  // Characters, not bytes: six letters in twelve bytes are still six.
  EXPECT_EQ(1, SetPassword("\xc3\xa4\xc3\xb6\xc3\xbc\xc3\xa4\xc3\xb6\xc3\xbc\n"));
  EXPECT_FALSE(AppTest::fs::exists(FFolder / "ringlet.ini"));
  ASSERT_EQ(0, SetPassword("open sesame\n")) << FMessages;
  EXPECT_EQ(0600, Mode(FFolder / "ringlet.ini"));
  ::umask(Umask);
}

// A settings file that an older version wrote readable by everyone is made private once it
// holds the hash; one without a hash is left as it is (other programs may read it).
TEST_F(WebConsoleTest, ASettingsFileHoldingTheHashIsMadePrivate) {
  const std::string Settings = FFolder / "ringlet.ini";
  WebTest::WriteFile(Settings, "[Settings]\nTapiDevice=Kitchen\n");
  ::chmod(Settings.c_str(), 0644);
  EXPECT_EQ(0, Run("--list-devices")) << FMessages;
  EXPECT_EQ(0644, Mode(Settings));
  ASSERT_EQ(0, SetPassword("open sesame\n")) << FMessages;
  EXPECT_EQ(0600, Mode(Settings));
  ::chmod(Settings.c_str(), 0644);
  EXPECT_EQ(0, Run("--list-devices")) << FMessages;
  EXPECT_EQ(0600, Mode(Settings));
  EXPECT_NE(std::string::npos, FMessages.find(Settings)) << FMessages;
  EXPECT_NE(std::string::npos, FMessages.find("other users")) << FMessages;
}

// Installed, the program cannot write beside itself and keeps its settings in a folder of the
// user's configuration that it makes: that folder is private too. Root writes anywhere, so the
// program runs without the capabilities that let it.
TEST_F(WebConsoleTest, TheSettingsFolderRingletMakesIsPrivate) {
  const std::string Bin = FFolder / "bin";
  AppTest::fs::create_directories(Bin);
  AppTest::fs::copy_file(FProgram, Bin + "/ringlet");
  ::chmod(Bin.c_str(), 0555);
  WebTest::WriteFile(FFolder / "input", "open sesame\n");
  const pid_t Child = ::fork();
  if (Child == 0) {
    // Out of the bounding set, so that the program does not get them back when it starts,
    // and out of the child's own sets.
    __user_cap_header_struct Header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct Data[2] = {};
    for (const int Capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
      ::prctl(PR_CAPBSET_DROP, Capability, 0, 0, 0);
      if (::syscall(SYS_capget, &Header, Data) == 0) {
        Data[0].effective &= ~(1u << Capability);
        Data[0].permitted &= ~(1u << Capability);
        ::syscall(SYS_capset, &Header, Data);
      }
    }
    if (::access(Bin.c_str(), W_OK) == 0)
      ::_exit(125);
    ::umask(022);
    const int Input = ::open((FFolder / "input").c_str(), O_RDONLY);
    const int Messages = ::open((FFolder / "messages").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(Input, 0);
    ::dup2(Messages, 2);
    const std::string Program = Bin + "/ringlet";
    ::execl(Program.c_str(), Program.c_str(), "--set-web-password", nullptr);
    ::_exit(127);
  }
  int Status = -1;
  const auto Until = std::chrono::steady_clock::now() + std::chrono::milliseconds(GenerousMs);
  while (::waitpid(Child, &Status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > Until) {
      ::kill(Child, SIGKILL);
      ::waitpid(Child, &Status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::chmod(Bin.c_str(), 0755);
  if (WIFEXITED(Status) && WEXITSTATUS(Status) == 125)
    GTEST_SKIP() << "the program's folder cannot be closed to writing here";
  ASSERT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0)
      << Status << " " << WebTest::ReadFile(FFolder / "messages");
  EXPECT_EQ(0700, Mode(FFolder / "config/ringlet"));
  EXPECT_EQ(0600, Mode(FFolder / "config/ringlet/ringlet.ini"));
}

// A password changed with --set-web-password while the page runs takes effect within a few
// seconds, and the sessions made with the old one end.
TEST_F(WebConsoleTest, ANewPasswordReachesTheRunningPageAndEndsItsSessions) {
  ASSERT_EQ(0, SetPassword("open sesame\n")) << FMessages;
  TPageRun Page;
  ASSERT_TRUE(Page.Start(FProgram, FFolder / "telephony.ini")) << Page.Stderr();
  const std::string Session = WebTest::SessionOf(Page.LogIn("open sesame"));
  ASSERT_FALSE(Session.empty());
  ASSERT_EQ(0, SetPassword("a kettle on the hob\n")) << FMessages;
  EXPECT_TRUE(BrokerTest::WaitFor(
      [&] {
        return WebTest::Ask(Page.Port, {"GET", "/api/session", "", Session}).Status == 401;
      },
      std::chrono::milliseconds(15000)))
      << "the session of the old password lives on";
  EXPECT_EQ(401, Page.LogIn("open sesame").Status);
  EXPECT_EQ(200, Page.LogIn("a kettle on the hob").Status);
  EXPECT_EQ(0, Page.Stop()) << Page.Stderr();
}

// The program with a pseudo-terminal as its standard input and output, as a person runs it.
class TOnTerminal {
public:
  explicit TOnTerminal(const std::string& Program) {
    FMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (FMaster < 0 || ::grantpt(FMaster) != 0 || ::unlockpt(FMaster) != 0)
      return;
    const std::string Slave = ::ptsname(FMaster);
    FPid = ::fork();
    if (FPid == 0) {
      ::setsid();
      const int Terminal = ::open(Slave.c_str(), O_RDWR);
      ::dup2(Terminal, 0);
      ::dup2(Terminal, 1);
      ::dup2(Terminal, 2);
      ::execl(Program.c_str(), Program.c_str(), "--set-web-password", nullptr);
      ::_exit(127);
    }
  }
  ~TOnTerminal() {
    if (FPid > 0 && ::waitpid(FPid, nullptr, WNOHANG) == 0) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
    }
    if (FMaster >= 0)
      ::close(FMaster);
  }
  TOnTerminal(const TOnTerminal&) = delete;
  TOnTerminal& operator=(const TOnTerminal&) = delete;

  // Waits for Prompt on the terminal, then types Line; false when it did not come in time.
  bool Answer(const std::string& Prompt, const std::string& Line) {
    const auto Until = std::chrono::steady_clock::now() + std::chrono::milliseconds(GenerousMs);
    while (FShown.find(Prompt) == std::string::npos) {
      pollfd Poll{FMaster, POLLIN, 0};
      if (std::chrono::steady_clock::now() > Until || ::poll(&Poll, 1, 100) < 0)
        return false;
      char Buffer[512];
      if (Poll.revents & POLLIN) {
        const ssize_t Got = ::read(FMaster, Buffer, sizeof Buffer);
        if (Got <= 0)
          return false;
        FShown.append(Buffer, static_cast<size_t>(Got));
      }
    }
    FShown.clear();
    return ::write(FMaster, Line.data(), Line.size()) == static_cast<ssize_t>(Line.size());
  }

  // The exit status and what the terminal showed to the end; -1 when it did not end in time.
  int Wait(std::string& Shown) {
    const auto Until = std::chrono::steady_clock::now() + std::chrono::milliseconds(GenerousMs);
    int Status = 0;
    while (::waitpid(FPid, &Status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > Until)
        return -1;
      Read(50);
    }
    // What it wrote just before it ended is still on its way.
    while (Read(0)) {
    }
    FPid = -1;
    Shown = FShown;
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
  }

private:
  // Adds what the terminal shows within WaitMs to FShown; false when nothing came.
  bool Read(int WaitMs) {
    pollfd Poll{FMaster, POLLIN, 0};
    char Buffer[512];
    if (::poll(&Poll, 1, WaitMs) <= 0 || (Poll.revents & POLLIN) == 0)
      return false;
    const ssize_t Got = ::read(FMaster, Buffer, sizeof Buffer);
    if (Got <= 0)
      return false;
    FShown.append(Buffer, static_cast<size_t>(Got));
    return true;
  }

  int FMaster = -1;
  pid_t FPid = -1;
  std::string FShown;
};

TEST_F(WebConsoleTest, OnATerminalThePasswordIsAskedTwiceWithoutEcho) {
  std::string Shown;
  {
    TOnTerminal Person(FProgram);
    ASSERT_TRUE(Person.Answer("Password for the web page: ", "first try\n"));
    ASSERT_TRUE(Person.Answer("The same again: ", "first tyr\n"));
    EXPECT_EQ(1, Person.Wait(Shown));
    EXPECT_NE(std::string::npos, Shown.find("the two passwords differ")) << Shown;
  }
  EXPECT_FALSE(AppTest::fs::exists(FFolder / "ringlet.ini"));
  TOnTerminal Person(FProgram);
  ASSERT_TRUE(Person.Answer("Password for the web page: ", "open sesame\n"));
  ASSERT_TRUE(Person.Answer("The same again: ", "open sesame\n"));
  EXPECT_EQ(0, Person.Wait(Shown)) << Shown;
  EXPECT_EQ(std::string::npos, Shown.find("sesame")) << "the password was echoed: " << Shown;
  EXPECT_NE(std::string::npos,
            WebTest::ReadFile(FFolder / "ringlet.ini").find("PasswordHash=$argon2id$"));
}

TEST_F(WebConsoleTest, WithoutAPasswordTheConsoleRefusesToServeThePage) {
  AppTest::TFakeModem Modem;
  ASSERT_TRUE(Modem.Start());
  AppTest::WriteTelephonyConfig(FFolder / "telephony.ini", {{"Fake Modem 1", Modem.Device()}});
  TProgram Ringlet;
  ASSERT_TRUE(Ringlet.Start(FProgram, {"--console", "--web-listen", "127.0.0.1:1"}));
  EXPECT_EQ(1, Ringlet.Wait());
  EXPECT_NE(std::string::npos, Ringlet.Stderr().find("set one with ringlet --set-web-password"))
      << Ringlet.Stderr();
  ASSERT_EQ(0, SetPassword("open sesame\n"));
  TProgram Bad;
  ASSERT_TRUE(Bad.Start(FProgram, {"--console", "--web-listen", "localhost:8080"}));
  EXPECT_EQ(1, Bad.Wait());
  EXPECT_NE(std::string::npos, Bad.Stderr().find("--web-listen")) << Bad.Stderr();
}

TEST_F(WebConsoleTest, ACallOfTheLineShowsUpInTheApi) {
  ASSERT_EQ(0, SetPassword("open sesame\n")) << FMessages;
  AppTest::TFakeModem Modem;
  ASSERT_TRUE(Modem.Start());
  AppTest::WriteTelephonyConfig(FFolder / "telephony.ini", {{"Fake Modem 1", Modem.Device()}});
  const uint16_t Port = BrokerTest::FreeLoopbackPort();
  TProgram Ringlet;
  ASSERT_TRUE(
      Ringlet.Start(FProgram, {"--console", "--web-listen", "127.0.0.1:" + std::to_string(Port)}));
  ASSERT_TRUE(BrokerTest::WaitFor([Port] { return BrokerTest::PortAccepts(Port); },
                                  std::chrono::milliseconds(GenerousMs)))
      << Ringlet.Stderr();
  const WebTest::TAnswer Login =
      WebTest::Ask(Port, {"POST", "/api/login", R"({"password": "open sesame"})"});
  ASSERT_EQ(200, Login.Status) << Login.Body;
  const std::string Session = WebTest::SessionOf(Login);
  const TJson Lines = WebTest::Ask(Port, {"GET", "/api/lines", "", Session}).Json();
  EXPECT_EQ(TJson::parse(R"({"lines":[{"name":"Fake Modem 1","state":"watching"}]})"), Lines);

  Modem.Send("sleep 1500");
  Modem.Send("call 5551234 \"JOHN DOE\" rings=2");
  ASSERT_TRUE(Ringlet.WaitForOutputLines(1)) << Ringlet.Stdout() << Ringlet.Stderr();
  // The history is written on its own thread: the call is there at once (id 0 while it
  // waits to be written), and soon with its row's id.
  TJson Calls;
  ASSERT_TRUE(BrokerTest::WaitFor(
      [&] {
        Calls = WebTest::Ask(Port, {"GET", "/api/calls", "", Session}).Json();
        return Calls.is_object() && Calls["calls"].size() == 1 && Calls["calls"][0]["id"] != 0;
      },
      std::chrono::milliseconds(GenerousMs)))
      << Calls.dump();
  EXPECT_EQ("5551234", Calls["calls"][0]["number"]);
  EXPECT_EQ("JOHN DOE", Calls["calls"][0]["name"]);
  EXPECT_EQ("Fake Modem 1", Calls["calls"][0]["line"]);
  EXPECT_EQ(1, Calls["calls"][0]["id"]);
  Ringlet.Signal(SIGTERM);
  EXPECT_EQ(0, Ringlet.Wait()) << Ringlet.Stderr();
}

TEST_F(WebConsoleTest, WithAllLinesThePageFollowsEachLineOnItsOwn) {
  ASSERT_EQ(0, SetPassword("open sesame\n")) << FMessages;
  const std::string OfficeLink = FFolder / "office-modem";
  AppTest::TFakeModem Kitchen;
  ASSERT_TRUE(Kitchen.Start());
  AppTest::TFakeModem Office;
  ASSERT_TRUE(Office.Start({"--link", OfficeLink, "--ring-spacing", "400"}));
  AppTest::WriteTelephonyConfig(FFolder / "telephony.ini",
                                {{"Kitchen", Kitchen.Device()}, {"Office", OfficeLink}});
  const uint16_t Port = BrokerTest::FreeLoopbackPort();
  TProgram Ringlet;
  ASSERT_TRUE(Ringlet.Start(
      FProgram, {"--console", "--all-lines", "--web-listen", "127.0.0.1:" + std::to_string(Port)}));
  ASSERT_TRUE(BrokerTest::WaitFor([Port] { return BrokerTest::PortAccepts(Port); },
                                  std::chrono::milliseconds(GenerousMs)))
      << Ringlet.Stderr();
  const std::string Session = WebTest::SessionOf(
      WebTest::Ask(Port, {"POST", "/api/login", R"({"password": "open sesame"})"}));
  ASSERT_FALSE(Session.empty());
  const auto Lines = [&] { return WebTest::Ask(Port, {"GET", "/api/lines", "", Session}).Json(); };
  EXPECT_EQ(TJson::parse(R"({"lines":[{"name":"Kitchen","state":"watching"},)"
                         R"({"name":"Office","state":"watching"}]})"),
            Lines());

  Office.Send("vanish");
  ASSERT_TRUE(Ringlet.WaitForError("Office: the line was lost", GenerousMs)) << Ringlet.Stderr();
  EXPECT_EQ(TJson::parse(R"({"lines":[{"name":"Kitchen","state":"watching"},)"
                         R"({"name":"Office","state":"lost"}]})"),
            Lines());
  Kitchen.Send("sleep 1500");
  Kitchen.Send("call 111 \"IN KITCHEN\" rings=2");
  ASSERT_TRUE(Ringlet.WaitForOutputLines(1)) << Ringlet.Stdout() << Ringlet.Stderr();
  TJson Calls;
  ASSERT_TRUE(BrokerTest::WaitFor(
      [&] {
        Calls = WebTest::Ask(Port, {"GET", "/api/calls", "", Session}).Json();
        return Calls.is_object() && Calls["calls"].size() == 1;
      },
      std::chrono::milliseconds(GenerousMs)))
      << Calls.dump();
  EXPECT_EQ("Kitchen", Calls["calls"][0]["line"]);
  Ringlet.Signal(SIGTERM);
  EXPECT_EQ(0, Ringlet.Wait()) << Ringlet.Stderr();
}

} // namespace
