// End to end: the line device component against the real telephony service (libtapi32.so of
// the build tree, loaded by name) with tools/fakemodem playing the calls on a pseudo-terminal.
// The device answers as the monitor does: on each caller ID it stops the call and answers
// again, from inside the handler.
#include "tapi/AdTapi.h"

#include "FakeModemChild.h"
#include "common/AdExcept.h"

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

using TapiTest::GenerousMs;
using TapiTest::PumpUntil;
using TapiTest::TFakeModem;

TEST(AdTapiServiceTest, CallerIdFromFakeModemThroughTheService) {
  const fs::path Folder =
      fs::temp_directory_path() / ("ringlet-adtapi-service-" + std::to_string(getpid()));
  fs::remove_all(Folder);
  fs::create_directories(Folder);
  TFakeModem Modem;
  ASSERT_TRUE(Modem.Start({"--ring-spacing", "400"}));
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

// BeginAnswering returns before the line is set up and tells the outcome afterwards, once per
// opening: open on a modem that answers, the failure on one that has gone silent, and nothing
// for an opening that StopCall gave up.
TEST(AdTapiServiceTest, BeginAnsweringTellsTheOutcomeOfTheSetUpLater) {
  const fs::path Folder =
      fs::temp_directory_path() / ("ringlet-adtapi-begin-" + std::to_string(getpid()));
  fs::remove_all(Folder);
  fs::create_directories(Folder);
  TFakeModem Modem;
  ASSERT_TRUE(Modem.Start({"--ring-spacing", "400"}));
  const std::string DevicePath = Modem.FirstLine();
  ASSERT_FALSE(DevicePath.empty());
  std::ofstream(Folder / "telephony.ini")
      << "[Line1]\nName=Fake Modem\nDevice=" << DevicePath
      << "\nRingTimeout=1\nCommandTimeout=1\nCheckInterval=0\nCallerIdPause=0.3\n";
  setenv("RINGLET_TELEPHONY_CONFIG", (Folder / "telephony.ini").c_str(), 1);
  setenv("RINGLET_REGISTRY_FILE", (Folder / "registry").c_str(), 1);
  setenv("RINGLET_LIBRARY_PATH", RINGLET_BUILD_DIR "/telephony", 1);
  UnloadTapi();
  {
    auto Owner = std::make_unique<TComponent>();
    Owner->BeginLoading();
    CreateComponent<TApdComPort>(Owner.get());
    auto* Device = CreateComponent<TApdTapiDevice>(Owner.get());
    Owner->EndLoading();
    std::vector<int> Outcomes;
    Device->OnTapiAnswering = [&](TObject*, int Code) { Outcomes.push_back(Code); };
    std::vector<std::string> Calls;
    Device->OnTapiCallerID = [&](TObject*, const std::string& ID, const std::string&) {
      Calls.push_back(ID);
    };

    Device->BeginAnswering();
    EXPECT_TRUE(Device->LineOpening());
    EXPECT_FALSE(Device->LineOpen());
    EXPECT_TRUE(Outcomes.empty()) << "never inside the call";
    ASSERT_TRUE(PumpUntil([&] { return !Outcomes.empty(); }));
    EXPECT_EQ(0, Outcomes[0]);
    EXPECT_TRUE(Device->LineOpen());
    EXPECT_FALSE(Device->LineOpening());
    Modem.Send("call 5551234 \"JOHN DOE\" rings=2");
    ASSERT_TRUE(PumpUntil([&] { return !Calls.empty(); })) << "the line answers";
    Device->StopCall();

    // fakemodem takes a command once the call has stopped ringing: open until the outcome
    // shows the modem's new state (bounded).
    const auto OpenUntil = [&](bool Open) {
      const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(GenerousMs);
      do {
        const size_t Before = Outcomes.size();
        Device->BeginAnswering();
        if (!PumpUntil([&] { return Outcomes.size() > Before; }))
          return -1;
        if ((Outcomes.back() == 0) == Open)
          return Outcomes.back();
        Device->StopCall();
      } while (std::chrono::steady_clock::now() < End);
      return -1;
    };
    Modem.Send("silent");
    EXPECT_EQ(-TapiResultToCode(LINEERR_OPERATIONFAILED), OpenUntil(false));
    EXPECT_FALSE(Device->LineOpen());
    EXPECT_FALSE(Device->LineOpening());

    const size_t Told = Outcomes.size();
    Device->BeginAnswering();
    Device->StopCall();
    EXPECT_FALSE(Device->LineOpening());
    // Past the set-up's command time-out: nothing is told.
    EXPECT_FALSE(PumpUntil([&] { return Outcomes.size() > Told; }, 1500));

    Modem.Send("wake");
    EXPECT_EQ(0, OpenUntil(true)) << "the device is free again";
    Device->StopCall();
    Owner.reset();
  }
  UnloadTapi();
  Modem.Stop();
  fs::remove_all(Folder);
}

} // namespace
