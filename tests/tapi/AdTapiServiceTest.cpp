// End to end: the line device component against the real telephony service (libtapi32.so of
// the build tree, loaded by name) with tools/fakemodem playing the calls on a pseudo-terminal.
// The device answers as the monitor does: on each caller ID it stops the call and answers
// again, from inside the handler.
#include "tapi/AdTapi.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int GenerousMs = 60000;

// fakemodem as a child: commands go to its standard input, its device path comes first on
// its standard output.
class TFakeModem {
public:
  ~TFakeModem() { Stop(); }

  bool Start() {
    int In[2], Out[2];
    if (pipe2(In, O_CLOEXEC) != 0 || pipe2(Out, O_CLOEXEC) != 0)
      return false;
    const std::string Program = RINGLET_BUILD_DIR "/tools/fakemodem/fakemodem";
    FPid = fork();
    if (FPid == 0) {
      dup2(In[0], 0);
      dup2(Out[1], 1);
      execl(Program.c_str(), Program.c_str(), "--ring-spacing", "400", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(In[0]);
    close(Out[1]);
    FIn = In[1];
    FOut = Out[0];
    return FPid > 0;
  }

  // The first line of its output, within a generous bound.
  std::string FirstLine() {
    std::string Line;
    const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(GenerousMs);
    while (std::chrono::steady_clock::now() < End) {
      pollfd Poll{FOut, POLLIN, 0};
      if (poll(&Poll, 1, 100) <= 0)
        continue;
      char C;
      if (read(FOut, &C, 1) != 1)
        break;
      if (C == '\n')
        return Line;
      Line += C;
    }
    return {};
  }

  void Send(const std::string& Command) {
    const std::string Line = Command + "\n";
    ASSERT_EQ(static_cast<ssize_t>(Line.size()), write(FIn, Line.data(), Line.size()));
  }

  void Stop() {
    if (FIn >= 0)
      close(FIn);
    FIn = -1;
    if (FPid > 0) {
      kill(FPid, SIGTERM);
      waitpid(FPid, nullptr, 0);
      FPid = -1;
    }
    if (FOut >= 0)
      close(FOut);
    FOut = -1;
  }

private:
  pid_t FPid = -1;
  int FIn = -1;
  int FOut = -1;
};

bool PumpUntil(const std::function<bool()>& Done, int LimitMs = GenerousMs) {
  const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(LimitMs);
  while (!Done()) {
    if (std::chrono::steady_clock::now() > End)
      return false;
    if (!SafeYield())
      Platform::WaitMessage(20);
  }
  return true;
}

TEST(AdTapiServiceTest, CallerIdFromFakeModemThroughTheService) {
  const fs::path Folder =
      fs::temp_directory_path() / ("ringlet-adtapi-service-" + std::to_string(getpid()));
  fs::remove_all(Folder);
  fs::create_directories(Folder);
  TFakeModem Modem;
  ASSERT_TRUE(Modem.Start());
  const std::string DevicePath = Modem.FirstLine();
  ASSERT_FALSE(DevicePath.empty());
  {
    std::ofstream Config(Folder / "telephony.ini");
    Config << "[Line1]\nName=Fake Modem\nDevice=" << DevicePath
           << "\nRingTimeout=1\nCheckInterval=0\nCallerIdPause=0.3\n";
  }
  setenv("RINGLET_TELEPHONY_CONFIG", (Folder / "telephony.ini").c_str(), 1);
  setenv("RINGLET_REGISTRY_FILE", (Folder / "registry").c_str(), 1);
  setenv("RINGLET_LIBRARY_PATH", RINGLET_BUILD_DIR "/telephony", 1);
  UnloadTapi();

  std::vector<std::string> Errors;
  TApplicationExceptionHandler Previous =
      SetApplicationExceptionHandler([&](const std::exception& E) { Errors.push_back(E.what()); });
  std::vector<std::pair<std::string, std::string>> Calls;
  {
    auto Owner = std::make_unique<TComponent>();
    Owner->BeginLoading();
    auto* Port = CreateComponent<TApdComPort>(Owner.get());
    auto* Device = CreateComponent<TApdTapiDevice>(Owner.get());
    Owner->EndLoading();
    ASSERT_NE(0u, Device->LineApp()) << "registered with the service";
    ASSERT_EQ(std::vector<std::string>{"Fake Modem"}, Device->DeviceList());
    EXPECT_EQ(tmOn, Port->TapiMode());
    Device->SetAnswerOnRing(50);
    Device->OnTapiCallerID = [&](TObject*, const std::string& ID, const std::string& Name) {
      Calls.emplace_back(ID, Name);
      Device->StopCall();
      usleep(100 * 1000);
      Device->StartAnswering();
    };
    Device->StartAnswering();
    ASSERT_TRUE(Device->LineOpen());

    Modem.Send("call 5551234 \"JOHN DOE\" rings=3");
    ASSERT_TRUE(PumpUntil([&] { return Calls.size() >= 1; })) << "no caller ID";
    EXPECT_EQ("5551234", Calls[0].first);
    EXPECT_EQ("JOHN DOE", Calls[0].second);
    EXPECT_TRUE(Device->LineOpen()) << "answering again";

    // A new caller only once the first one has stopped ringing for longer than RingTimeout.
    Modem.Send("sleep 2500");
    Modem.Send("private rings=3");
    ASSERT_TRUE(PumpUntil([&] { return Calls.size() >= 2; })) << "no second caller ID";
    EXPECT_EQ("Caller ID Blocked", Calls[1].first);
    EXPECT_EQ("Caller ID Blocked", Calls[1].second);
    EXPECT_EQ(2u, Calls.size());
    Device->StopCall();
    Owner.reset();
  }
  SetApplicationExceptionHandler(Previous);
  UnloadTapi();
  EXPECT_TRUE(Errors.empty()) << (Errors.empty() ? "" : Errors.front());
  Modem.Stop();
  fs::remove_all(Folder);
}

} // namespace
