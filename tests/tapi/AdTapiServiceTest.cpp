// End to end: the line device component against the real telephony service (libtapi32.so of
// the build tree, loaded by name) with tools/fakemodem playing the calls on a pseudo-terminal.
// The device answers as the monitor does: on each caller ID it stops the call and answers
// again, from inside the handler.
#include "tapi/AdTapi.h"

#include "FakeModemChild.h"

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

} // namespace
