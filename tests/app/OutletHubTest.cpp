// The outlet hub with real monitors over the real telephony service, a real NCID server on
// a free loopback port, and a settings file in a temporary folder.
#include "app/OutletHub.h"

#include "AppTestSupport.h"
#include "app/CallHistory.h"
#include "platform/IniFile.h"
#include "tapi/AdTUtil.h"
#include "tests/calls/BrokerTestSupport.h"
#include "tests/calls/NcidTestClient.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace AppTest;

class TRecordingView : public TFrontView {
public:
  void ShowCall(const TCallRecord& Call) override { Calls.push_back(Call); }
  void ShowLineState(const TLineReport& Report) override { Reports.push_back(Report); }
  std::vector<TCallRecord> Calls;
  std::vector<TLineReport> Reports;
};

// An outlet that notes, for each call it gets, whether the hub's history had it by then.
class THistoryProbe : public TCallOutlet {
public:
  explicit THistoryProbe(const TOutletHub& Hub) : FHub(Hub) {}
  void Deliver(const TCallRecord& Call) override {
    bool Kept = false;
    if (const TMonitorHistory* History = FHub.History()) {
      std::string Message;
      for (const TCallRecord& Stored : History->Earlier(100, Message))
        Kept = Kept || (Stored.Number == Call.Number && Stored.Line == Call.Line);
    }
    Seen.emplace_back(Call.Line, Kept);
  }
  std::vector<std::pair<std::string, bool>> Seen; // the call's line, and whether it was kept

private:
  const TOutletHub& FHub;
};

class OutletHubTest : public ::testing::Test {
protected:
  void SetUp() override {
    App();
    ::setenv("RINGLET_TELEPHONY_CONFIG", (FFolder / "telephony.ini").c_str(), 1);
    ::setenv("RINGLET_REGISTRY_FILE", (FFolder / "registry").c_str(), 1);
    ::setenv("RINGLET_LIBRARY_PATH", RINGLET_BUILD_DIR "/telephony", 1);
    ::setenv("XDG_DATA_HOME", (FFolder / "data").c_str(), 1);
    WriteTelephonyConfig(FFolder / "telephony.ini", {{"Gone Modem", FFolder / "no-such-device"}});
    UnloadTapi();
  }
  void TearDown() override {
    ClearProgramHistory();
    UnloadTapi();
  }

  std::string Start(TOutletHub& Hub, const THubOptions& Options) {
    return Hub.Start(Options, {"Gone Modem"}, DefaultScreenFiles(FFolder / "config"),
                     DefaultCountry());
  }

  TTempFolder FFolder{"hub"};
  const std::string FSettings = FFolder / "ringlet.ini";
};

// The settings file fills what the options leave open, the options win, and an outlet that
// cannot start leaves the hub without any.
TEST_F(OutletHubTest, OptionsWinOverTheSettingsAndAFailingOutletStartsNone) {
  const uint16_t NcidPort = BrokerTest::FreeLoopbackPort();
  Platform::WriteProfileString(FSettings, "NCID", "Listen",
                               "127.0.0.1:" + std::to_string(NcidPort));
  Platform::WriteProfileString(FSettings, "MQTT", "Url", "http://broker.lan");
  TCallMonitor Monitor;
  Monitor.IniSettings()->SetPath(FSettings);
  TRecordingView View;
  THubOptions Options;
  Options.Notify = ncOff;
  {
    TOutletHub Hub(View);
    Hub.Attach(Monitor, "Gone Modem");
    const std::string Why = Start(Hub, Options);
    EXPECT_NE(std::string::npos, Why.find("is not an MQTT URL")) << Why;
    EXPECT_EQ(nullptr, Hub.Network().Ncid()) << "the NCID server was started and stopped again";
    EXPECT_EQ(nullptr, Hub.Network().Mqtt());
  }
  TOutletHub Hub(View);
  Hub.Attach(Monitor, "Gone Modem");
  // Nobody listens there: the calls would wait for the broker, which is no reason to fail.
  Options.Network.MqttUrl = "mqtt://127.0.0.1:" + std::to_string(BrokerTest::FreeLoopbackPort());
  ASSERT_EQ("", Start(Hub, Options));
  ASSERT_NE(nullptr, Hub.Network().Ncid());
  EXPECT_NE(nullptr, Hub.Network().Mqtt());
  NcidTest::TNcidClient Client(NcidPort);
  EXPECT_TRUE(Client.Connected()) << "the settings file's NCID address is served";
}

// A line that cannot be opened reaches the view as a value: its name, lost, and why; a state
// the front end decides goes the same way.
TEST_F(OutletHubTest, LineStatesReachTheViewAsValues) {
  TCallMonitor Monitor;
  Monitor.IniSettings()->SetPath(FSettings);
  TRecordingView View;
  TOutletHub Hub(View);
  Hub.Attach(Monitor, "Gone Modem");
  THubOptions Options;
  Options.Notify = ncOff;
  ASSERT_EQ("", Start(Hub, Options));
  Monitor.Phone()->SetSelectedDevice("Gone Modem");
  Monitor.Watch();
  ASSERT_TRUE(ServeUntil([&] { return !View.Reports.empty(); }));
  EXPECT_EQ("Gone Modem", View.Reports[0].Line);
  EXPECT_EQ(lsLost, View.Reports[0].State);
  EXPECT_FALSE(View.Reports[0].Why.empty());
  Monitor.Stop();
  Hub.SetLineState({"Gone Modem", lsStopped, ""});
  ASSERT_EQ(2u, View.Reports.size());
  EXPECT_EQ(lsStopped, View.Reports[1].State);
  EXPECT_STREQ("stopped", LineStateName(View.Reports[1].State));
  EXPECT_TRUE(View.Calls.empty());
}

// The hub's history gets the calls of every monitor, the one attached after it opened too,
// before the outlets that Start adds (NCID and the others): an outlet added between them
// finds each call already kept, and the NCID client still gets both.
TEST_F(OutletHubTest, EveryMonitorsCallsReachTheHistoryBeforeTheNetworkOutlets) {
  THistoryOptions Kept;
  Kept.File = FFolder / "calls.sqlite";
  SetProgramHistory(Kept);
  TFakeModem A, B;
  ASSERT_TRUE(A.Start());
  ASSERT_TRUE(B.Start());
  WriteTelephonyConfig(FFolder / "telephony.ini", {{"Line A", A.Device()}, {"Line B", B.Device()}});
  const uint16_t NcidPort = BrokerTest::FreeLoopbackPort();
  Platform::WriteProfileString(FSettings, "NCID", "Listen",
                               "127.0.0.1:" + std::to_string(NcidPort));
  TCallMonitor First, Second;
  First.IniSettings()->SetPath(FSettings);
  Second.IniSettings()->SetPath(FSettings);
  TRecordingView View;
  TOutletHub Hub(View);
  Hub.Attach(First, "Line A");
  Hub.OpenHistory([](const std::string& Text) { ADD_FAILURE() << "history: " << Text; });
  ASSERT_NE(nullptr, Hub.History());
  Hub.Attach(Second, "Line B");
  THistoryProbe Probe(Hub);
  First.AddOutlet(&Probe);
  Second.AddOutlet(&Probe);
  THubOptions Options;
  Options.Notify = ncOff;
  ASSERT_EQ("", Start(Hub, Options));
  EXPECT_THROW(Hub.OpenHistory({}), std::logic_error) << "the running outlets read this one";
  NcidTest::TNcidClient Client(NcidPort);
  ASSERT_TRUE(Client.Connected());
  Client.ReadStartup();
  First.Phone()->SetSelectedDevice("Line A");
  Second.Phone()->SetSelectedDevice("Line B");
  First.Watch();
  Second.Watch();
  ASSERT_TRUE(ServeUntil([&] { return First.Phone()->LineOpen() && Second.Phone()->LineOpen(); }));

  A.Send("call 5551111 \"ALICE\" rings=2");
  ASSERT_TRUE(ServeUntil([&] { return Probe.Seen.size() == 1; }));
  B.Send("call 5552222 \"BOB\" rings=2");
  ASSERT_TRUE(ServeUntil([&] { return Probe.Seen.size() == 2; }));
  EXPECT_EQ((std::vector<std::pair<std::string, bool>>{{"Line A", true}, {"Line B", true}}),
            Probe.Seen);
  for (const char* Number : {"*NMBR*5551111*", "*NMBR*5552222*"}) {
    const std::string Line = Client.ReadCallLine();
    EXPECT_NE(std::string::npos, Line.find(Number)) << Line;
  }
  ASSERT_EQ(2u, View.Calls.size());
  First.Stop();
  Second.Stop();
  First.RemoveOutlet(&Probe);
  Second.RemoveOutlet(&Probe);
}

} // namespace
