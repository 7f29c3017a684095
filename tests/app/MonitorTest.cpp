// The monitor's own use of the line functions with a blocked caller, against the scripted
// stand-in library: the reject operation where the library has it, the older answer and drop
// where it lacks it, and a line that cannot reject.
#include "app/Monitor.h"

#include "AppTestSupport.h"
#include "app/Screening.h"
#include "tests/tapi/fixtures/StandIn.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

using namespace AppTest;

struct TBlockCase {
  const char* Library; // the stand-in's folder
  LONG RejectResult;   // scripted result of lineDevSpecific (0: its natural work)
  bool Rejected;       // lineDevSpecific with the reject code is called
  bool Answered;       // lineAnswer is called
  bool MarkedBlocked;  // the record says the call was blocked
};

TEST(MonitorTest, BlockedCallerIsRejectedOrAnsweredAndDroppedByAnOlderLibrary) {
  const TBlockCase Cases[] = {
      {StandInFolder(), 0, true, false, true},
      {StandInPartialFolder(), 0, false, true, true},
      // A line that cannot reject (a router's call list, say): the call rings on, unmarked.
      {StandInFolder(), static_cast<LONG>(LINEERR_OPERATIONUNAVAIL), true, false, false},
  };
  for (const TBlockCase& Case : Cases) {
    SCOPED_TRACE(std::string(Case.Library) + " " + std::to_string(Case.RejectResult));
    TTempFolder Folder("monitor");
    ::setenv("RINGLET_REGISTRY_FILE", (Folder / "registry").c_str(), 1);
    ::setenv("RINGLET_LIBRARY_PATH", Case.Library, 1);
    ::setenv("XDG_CONFIG_HOME", (Folder / "config").c_str(), 1);
    fs::create_directories(Folder / "config/ringlet");
    std::ofstream(Folder / "config/ringlet/blocklist.txt") << "5550100199\n";
    UnloadTapi();
    ASSERT_TRUE(LoadTapi());
    TStandIn StandIn;
    ASSERT_TRUE(StandIn.Bind(TapiLibraryHandle()));
    StandIn.Reset();
    ASSERT_EQ(0, StandIn.SetDevCaps(0, "Modem A", LINEMEDIAMODE_DATAMODEM, 0, 0));
    if (Case.RejectResult != 0)
      StandIn.SetResult("lineDevSpecific", Case.RejectResult);
    {
      TCallMonitor Form;
      Form.IniSettings()->SetPath(Folder / "ringlet.ini");
      const std::unique_ptr<TCallScreen> Screen =
          MakeCallScreen(*Form.IniSettings(), true, [](const std::string&) {});
      Form.SetScreen(Screen.get());
      std::vector<TCallRecord> Calls;
      Form.OnCall = [&](const TCallRecord& Call) { Calls.push_back(Call); };
      Form.Phone()->SetSelectedDevice("Modem A");
      Form.Start();
      const HCALL Call = StandIn.NewCall(StandIn.LastLine(), LINEMEDIAMODE_DATAMODEM);
      StandInCallInfo Info{LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME, "5550100199",
                           "CARD SERVICES", 0};
      ASSERT_EQ(0, StandIn.SetCallInfo(Call, &Info));
      StandIn.AfterCall("lineDrop", STANDIN_THIS_CALL, LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, 0);
      StandIn.Deliver(Call, LINE_CALLSTATE, LINECALLSTATE_OFFERING, 0, 0);
      StandIn.Deliver(Call, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID, 0, 0);
      ASSERT_TRUE(ServeUntil([&] { return !Calls.empty(); }));
      EXPECT_EQ(Case.MarkedBlocked, Calls[0].Blocked);
      const std::vector<StandInCall> Rejects = StandIn.CallsOf("lineDevSpecific");
      ASSERT_EQ(Case.Rejected ? 1u : 0u, Rejects.size());
      if (Case.Rejected) {
        EXPECT_EQ(uint64_t{Call}, Rejects[0].Args[2]);
        EXPECT_EQ(uint64_t{RINGLET_DEVSPECIFIC_REJECT}, Rejects[0].Args[5]);
      }
      EXPECT_EQ(Case.Answered ? 1 : 0, StandIn.CountOf("lineAnswer"));
      EXPECT_EQ(1, StandIn.CountOf("lineDrop")) << "the stop after every caller ID";
      Form.Stop();
    }
    StandIn.Reset();
    UnloadTapi();
  }
}

} // namespace
