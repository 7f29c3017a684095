// End to end: an answered call. The line device answers a call that tools/fakemodem plays
// through the real telephony service, hands the connected modem to a port set up as the
// monitor sets up its own (log on, "CallerID.log"), the port reads what the caller sends,
// and hanging up closes the port, which writes the log and turns logging off.
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
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

using TapiTest::GenerousMs;
using TapiTest::PumpUntil;
using TapiTest::TFakeModem;

std::string ReadFile(const fs::path& Path) {
  std::ifstream In(Path, std::ios::binary);
  std::ostringstream Text;
  Text << In.rdbuf();
  return Text.str();
}

std::vector<std::string> Lines(const std::string& Text) {
  std::vector<std::string> Result;
  std::string Line;
  for (char C : Text) {
    if (C == '\n') {
      if (!Line.empty() && Line.back() == '\r')
        Line.pop_back();
      Result.push_back(Line);
      Line.clear();
    } else {
      Line += C;
    }
  }
  if (!Line.empty())
    Result.push_back(Line);
  return Result;
}

// The data column of every ReadCom entry, its continuation lines joined back on.
std::string ReadComText(const std::vector<std::string>& Log) {
  constexpr std::size_t DataColumn = 44;
  std::string Text;
  bool InReadCom = false;
  for (const std::string& Line : Log) {
    const bool Continuation = !Line.empty() && Line[0] == ' ';
    if (!Continuation)
      InReadCom = Line.find(" ReadCom ") != std::string::npos;
    if (InReadCom && Line.size() > DataColumn)
      Text += Line.substr(DataColumn);
  }
  return Text;
}

class AnsweredCallTest : public ::testing::Test {
protected:
  void SetUp() override {
    FFolder = fs::temp_directory_path() / ("ringlet-answered-" + std::to_string(getpid()));
    fs::remove_all(FFolder);
    fs::create_directories(FFolder);
    FLogPath = FFolder / "CallerID.log";
    ASSERT_TRUE(FModem.Start({"--answer-delay", "100"}));
    const std::string DevicePath = FModem.FirstLine();
    ASSERT_FALSE(DevicePath.empty());
    {
      std::ofstream Config(FFolder / "telephony.ini");
      Config << "[Line1]\nName=Fake Modem\nDevice=" << DevicePath
             << "\nRingTimeout=1\nCheckInterval=0\nCallerIdPause=0.3\n";
    }
    setenv("RINGLET_TELEPHONY_CONFIG", (FFolder / "telephony.ini").c_str(), 1);
    setenv("RINGLET_REGISTRY_FILE", (FFolder / "registry").c_str(), 1);
    setenv("RINGLET_LIBRARY_PATH", RINGLET_BUILD_DIR "/telephony", 1);
    UnloadTapi();
    FPrevious = SetApplicationExceptionHandler(
        [this](const std::exception& E) { FErrors.push_back(E.what()); });

    // Owned as the monitor owns them, and set up the same way.
    FOwner = std::make_unique<TComponent>();
    FOwner->BeginLoading();
    FPort = CreateComponent<TApdComPort>(FOwner.get());
    FPort->SetName("PhoneCom");
    FPort->SetAutoOpen(false);
    FPort->SetTraceName((FFolder / "CallerID.trc").string());
    FPort->SetLogging(tlOn);
    FPort->SetLogName(FLogPath.string());
    FDevice = CreateComponent<TApdTapiDevice>(FOwner.get());
    FDevice->SetName("Phone");
    FDevice->SetComPort(FPort);
    FOwner->EndLoading();
    ASSERT_NE(0u, FDevice->LineApp()) << "registered with the service";
    FDevice->SetAnswerOnRing(3);
    FDevice->OnTapiPortOpen = [this](TObject*) { ++FPortOpens; };
    FPort->SetOnTriggerAvail([this](TObject*, uint16_t Count) {
      std::string Bytes(Count, '\0');
      const uint32_t Got = FPort->Dispatcher()->GetBlock(Bytes.data(), Count);
      FReceived += Bytes.substr(0, Got);
    });
  }

  void TearDown() override {
    if (FDevice != nullptr)
      FDevice->StopCall();
    FOwner.reset();
    SetApplicationExceptionHandler(FPrevious);
    UnloadTapi();
    EXPECT_TRUE(FErrors.empty()) << (FErrors.empty() ? "" : FErrors.front());
    FModem.Stop();
    fs::remove_all(FFolder);
  }

  // Answers one call, receives "hello\r\n" on the port and hangs up; the port is closed after.
  void AnswerOneCall() {
    const int OpensBefore = FPortOpens;
    FReceived.clear();
    FDevice->StartAnswering();
    ASSERT_TRUE(FDevice->LineOpen());
    ASSERT_TRUE(FModem.Send("call 5551234 \"JOHN DOE\" nocid rings=20 spacing=100"));
    ASSERT_TRUE(PumpUntil([&] { return FPortOpens > OpensBefore; })) << "port never opened";
    EXPECT_TRUE(FPort->Open());
    EXPECT_GE(FPort->DeviceHandle(), 0);
    ASSERT_TRUE(FModem.Send("data hello\\r\\n"));
    ASSERT_TRUE(PumpUntil([&] { return FReceived.find("hello\r\n") != std::string::npos; }))
        << "received only: " << FReceived;
    // A pseudo-terminal has no carrier detect: the call ends only when we hang up.
    FDevice->StopCall();
    ASSERT_TRUE(PumpUntil([&] { return !FPort->Open() && FPort->OpenState() == ostClosed; }))
        << "port still open after hanging up";
    EXPECT_EQ(-1, FPort->TapiHandle());
  }

  fs::path FFolder;
  fs::path FLogPath;
  TFakeModem FModem;
  std::vector<std::string> FErrors;
  TApplicationExceptionHandler FPrevious;
  std::unique_ptr<TComponent> FOwner;
  TApdComPort* FPort = nullptr;
  TApdTapiDevice* FDevice = nullptr;
  int FPortOpens = 0;
  std::string FReceived;
};

TEST_F(AnsweredCallTest, HangingUpWritesTheLogWithWhatTheCallerSent) {
  AnswerOneCall();
  if (HasFatalFailure())
    return;
  ASSERT_TRUE(fs::exists(FLogPath)) << "no CallerID.log after hanging up";
  const std::vector<std::string> Log = Lines(ReadFile(FLogPath));
  ASSERT_GE(Log.size(), 7u);
  EXPECT_EQ(0u, Log[1].rfind("Compiler : ", 0)) << Log[1];
  EXPECT_EQ(0u, Log[2].rfind("Operating System : ", 0)) << Log[2];
  EXPECT_EQ(0u, Log[3].rfind("Device: ", 0)) << Log[3];
  const std::string Expected = FPort->LogHex() ? "hello[0D][0A]" : "hello[13][10]";
  EXPECT_NE(std::string::npos, ReadComText(Log).find(Expected)) << ReadFile(FLogPath);
  EXPECT_EQ(tlOff, FPort->Logging()) << "the log ends with the port";
}

// The far end hangs up: its modem says NO CARRIER in the data the port reads, and that ends
// the call - the port closes and writes the log, the line closes, the modem is free again.
TEST_F(AnsweredCallTest, TheFarEndsNoCarrierEndsTheCallAndFreesTheModem) {
  FDevice->StartAnswering();
  ASSERT_TRUE(FModem.Send("call 5551234 nocid rings=20 spacing=100"));
  ASSERT_TRUE(PumpUntil([&] { return FPortOpens > 0; })) << "port never opened";
  ASSERT_TRUE(FModem.Send("data hello\\r\\n"));
  ASSERT_TRUE(PumpUntil([&] { return FReceived.find("hello\r\n") != std::string::npos; }));
  ASSERT_TRUE(FModem.Send("hangup"));
  ASSERT_TRUE(PumpUntil([&] { return !FPort->Open() && !FDevice->LineOpen(); }))
      << "the call goes on after the far end hung up";
  EXPECT_EQ(-1, FPort->TapiHandle());
  EXPECT_FALSE(FDevice->Connected());
  ASSERT_TRUE(fs::exists(FLogPath));
  EXPECT_NE(std::string::npos, ReadComText(Lines(ReadFile(FLogPath))).find("CARRIER"));
  // Nothing kept the modem: the line opens again at once.
  FDevice->StartAnswering();
  EXPECT_TRUE(FDevice->LineOpen());
}

TEST_F(AnsweredCallTest, ASecondCallWritesNoNewLog) {
  AnswerOneCall();
  if (HasFatalFailure())
    return;
  ASSERT_TRUE(fs::exists(FLogPath)) << "the first call wrote no log";
  ASSERT_TRUE(fs::remove(FLogPath));
  ASSERT_EQ(tlOff, FPort->Logging());

  // Past the ring time-out, so that the next call is a new caller.
  ASSERT_TRUE(FModem.Send("sleep 1500"));
  AnswerOneCall();
  if (HasFatalFailure())
    return;
  EXPECT_FALSE(fs::exists(FLogPath)) << "logging was off, yet a log was written";
  EXPECT_EQ(tlOff, FPort->Logging());
}

} // namespace
