// Rejecting an offered call - lineDevSpecific with Ringlet's reject operation - through the
// real libtapi32.so: against fakemodem playing each kind of modem on a real pseudo-terminal,
// and against a scripted peer for what fakemodem does not play (a modem that keeps silent at
// ATH1, rings that go on after the reject).
#include "FakeModemProcess.h"
#include "TapiTestSupport.h"

#include <gtest/gtest.h>

#include <string>

using namespace TapiTest;
using TestSupport::TFakeModem;

namespace {

constexpr DWORD_PTR Any = ~DWORD_PTR{0};
constexpr DWORD_PTR Instance = 0x5EC7;

// The registering thread's side of a line: open, watch the messages, reject.
class TRejectingLine {
public:
  ~TRejectingLine() {
    if (FLine)
      Tapi().Close(FLine);
    if (FApp) {
      EXPECT_EQ(Tapi().Shutdown(FApp), 0);
    }
  }

  void Open() {
    Received().clear();
    OnMessage() = nullptr;
    DWORD devices = 0;
    ASSERT_EQ(Tapi().Initialize(&FApp, nullptr, Callback, "RejectTest", &devices), 0);
    ASSERT_EQ(devices, 1u);
    ASSERT_EQ(Tapi().Open(FApp, 0, &FLine, TAPI_VERSION_1_4, 0, Instance, LINECALLPRIVILEGE_OWNER,
                          LINEMEDIAMODE_DATAMODEM, nullptr),
              0);
    ASSERT_EQ(Tapi().SetStatusMessages(FLine, LINEDEVSTATE_ALL, LINEADDRESSSTATE_ALL), 0);
  }

  LONG Reject(HCALL call) {
    DWORD operation = RINGLET_DEVSPECIFIC_REJECT;
    return Tapi().DevSpecific(FLine, 0, call, &operation, sizeof operation);
  }

  // The call whose caller ID came in at or after message `from`; 0 when none came.
  static HCALL CallerIdCall(size_t from, const std::function<void()>& meanwhile = {}) {
    const bool seen = PumpUntil([&] {
      if (meanwhile)
        meanwhile();
      return FindMsg(LINE_CALLINFO, LINECALLINFOSTATE_CALLERID, from) >= 0;
    });
    const int at = FindMsg(LINE_CALLINFO, LINECALLINFOSTATE_CALLERID, from);
    return seen ? static_cast<HCALL>(Received()[static_cast<size_t>(at)].Device) : 0;
  }

  // The result LINE_REPLY brings for a request, and the reply's place among the messages.
  static LONG ReplyOf(LONG request, int* at = nullptr) {
    EXPECT_GT(request, 0);
    EXPECT_TRUE(WaitMsg(LINE_REPLY, static_cast<DWORD_PTR>(request)));
    const int found = FindMsg(LINE_REPLY, static_cast<DWORD_PTR>(request));
    if (at)
      *at = found;
    return found < 0 ? -1 : static_cast<LONG>(Received()[static_cast<size_t>(found)].Param2);
  }

  // The index of the first call state `state` of `call` at or after `from`, -1 for none.
  static int StateOf(HCALL call, DWORD state, size_t from = 0) {
    for (size_t i = from; i < Received().size(); ++i) {
      const TLineMsg& msg = Received()[i];
      if (msg.Message == LINE_CALLSTATE && msg.Device == call && msg.Param1 == state)
        return static_cast<int>(i);
    }
    return -1;
  }

  HLINE Line() const { return FLine; }

private:
  HLINEAPP FApp = 0;
  HLINE FLine = 0;
};

// The reject ended the call as it should: its reply came first, then DISCONNECTED (reject),
// then IDLE; the call never connected and its modem was never handed out.
void ExpectRejected(HCALL call, size_t from, int replyAt) {
  ASSERT_TRUE(
      PumpUntil([&] { return TRejectingLine::StateOf(call, LINECALLSTATE_IDLE, from) >= 0; }));
  const int disconnected = TRejectingLine::StateOf(call, LINECALLSTATE_DISCONNECTED, from);
  ASSERT_GE(disconnected, 0);
  EXPECT_EQ(Received()[static_cast<size_t>(disconnected)].Param2,
            DWORD_PTR{LINEDISCONNECTMODE_REJECT});
  EXPECT_LT(replyAt, disconnected);
  EXPECT_LT(disconnected, TRejectingLine::StateOf(call, LINECALLSTATE_IDLE, from));
  EXPECT_EQ(TRejectingLine::StateOf(call, LINECALLSTATE_CONNECTED), -1) << "the call connected";
  EXPECT_EQ(Tapi().Deallocate(call), 0);
}

struct TProfileCase {
  const char* Profile;
  const char* CutOff; // what fakemodem says once the rejected caller is gone
};

class RejectProfileTest : public ::testing::TestWithParam<TProfileCase> {};

// Each kind of modem: a rejected caller is cut off and never connected; a drop made while the
// reject runs is answered when it is done; then the line offers the next call with its caller
// ID.
TEST_P(RejectProfileTest, RejectedCallerIsCutOffAndTheNextCallIsOffered) {
  TFakeModem modem;
  // The escape's guard time well inside the line's, so that a modem that answers to reject
  // takes the +++ for what it is.
  ASSERT_TRUE(modem.Start(
      {"--profile", GetParam().Profile, "--ring-spacing", "300", "--guard", "50"}, false));
  TTempFolder folder;
  WriteConfig(folder.Path() + "/telephony.ini", LineSection("Line1", "Fake", modem.Path()));
  TRejectingLine line;
  ASSERT_NO_FATAL_FAILURE(line.Open());
  const auto collect = [&] { modem.Process().Collect(); };

  size_t from = Received().size();
  modem.Process().Send(R"(call 5550100199 "CARD SERVICES" rings=30)");
  const HCALL first = TRejectingLine::CallerIdCall(from, collect);
  ASSERT_NE(first, 0u);
  const LONG reject = line.Reject(first);
  ASSERT_GT(reject, 0);
  EXPECT_EQ(line.Reject(first), static_cast<LONG>(LINEERR_INVALCALLSTATE)) << "one at a time";
  int replyAt = -1;
  EXPECT_EQ(TRejectingLine::ReplyOf(reject, &replyAt), 0);
  ExpectRejected(first, from, replyAt);
  EXPECT_TRUE(modem.Process().WaitStderr(GetParam().CutOff));
  EXPECT_FALSE(modem.Process().StderrHas("the caller gave up")) << "the caller was not cut off";

  from = Received().size();
  modem.Process().Send(R"(call 5550100111 "SECOND NUISANCE" rings=30)");
  const HCALL second = TRejectingLine::CallerIdCall(from, collect);
  ASSERT_NE(second, 0u);
  const LONG rejectSecond = line.Reject(second);
  const LONG drop = Tapi().Drop(second, nullptr, 0);
  ASSERT_GT(drop, 0) << "a drop while the reject runs is taken";
  int rejectAt = -1, dropAt = -1;
  EXPECT_EQ(TRejectingLine::ReplyOf(rejectSecond, &rejectAt), 0);
  EXPECT_EQ(TRejectingLine::ReplyOf(drop, &dropAt), 0);
  EXPECT_LT(rejectAt, dropAt);
  ExpectRejected(second, from, dropAt);

  from = Received().size();
  modem.Process().Send(R"(call 4075551212 "DOE JOHN" rings=2)");
  const HCALL next = TRejectingLine::CallerIdCall(from, collect);
  ASSERT_NE(next, 0u) << "the line does not watch again";
  EXPECT_NE(next, second);
}

INSTANTIATE_TEST_SUITE_P(Profiles, RejectProfileTest,
                         ::testing::Values(TProfileCase{"kind", "the caller is cut off"},
                                           TProfileCase{"strict", "the caller is cut off"},
                                           TProfileCase{"no-offhook", "hung up by the host"}),
                         [](const auto& info) {
                           std::string name = info.param.Profile;
                           std::erase(name, '-');
                           return name;
                         });

// What fakemodem does not play: a modem that takes ATH1 and says nothing, and a caller whose
// rings go on after the reject.
class RejectPeerTest : public ::testing::Test {
protected:
  void SetUp() override {
    WriteConfig(Folder.Path() + "/telephony.ini",
                LineSection("Line1", "Test Modem", Peer.SlavePath()));
    ASSERT_NO_FATAL_FAILURE(Line.Open());
  }

  HCALL RingWithCallerId(const std::string& number) {
    const size_t from = Received().size();
    Peer.SendLine("RING");
    Peer.Send("\r\nDATE = 0504\r\nTIME = 2149\r\nNMBR = " + number + "\r\nNAME = X\r\n");
    return TRejectingLine::CallerIdCall(from);
  }

  TTempFolder Folder;
  TModemPeer Peer;
  TRejectingLine Line;
};

TEST_F(RejectPeerTest, ModemSilentAtOffHookIsAnsweredAndHungUpWithoutAHandOver) {
  Peer.Ignore("ATH1");
  const HCALL call = RingWithCallerId("5550100199");
  ASSERT_NE(call, 0u);
  const size_t from = Received().size();
  const LONG reject = Line.Reject(call);
  ASSERT_GT(reject, 0);
  ASSERT_TRUE(Peer.WaitCommand("ATA"));
  Peer.SendLine("CONNECT 33600");
  TRecordBuffer id(1028);
  EXPECT_EQ(
      Tapi().GetID(Line.Line(), 0, call, LINECALLSELECT_CALL, id.As<VARSTRING>(), "comm/datamodem"),
      static_cast<LONG>(LINEERR_INVALCALLSTATE));
  int replyAt = -1;
  EXPECT_EQ(TRejectingLine::ReplyOf(reject, &replyAt), 0);
  ExpectRejected(call, from, replyAt);
  EXPECT_EQ(Peer.CountCommand("+++"), 1u);
  EXPECT_EQ(Peer.CountCommand("ATH"), 1u);
}

TEST_F(RejectPeerTest, RingsOfTheRejectedCallerOfferNoNewCall) {
  const HCALL call = RingWithCallerId("5550100199");
  ASSERT_NE(call, 0u);
  const LONG reject = Line.Reject(call);
  EXPECT_EQ(TRejectingLine::ReplyOf(reject), 0);
  ASSERT_TRUE(PumpUntil([&] { return TRejectingLine::StateOf(call, LINECALLSTATE_IDLE) >= 0; }));
  EXPECT_EQ(Peer.CountCommand("ATH1"), 1u);
  EXPECT_EQ(Peer.CountCommand("ATH0"), 1u);
  EXPECT_EQ(Tapi().Deallocate(call), 0);

  // The exchange did not cut this caller off: the rings and caller ID go on, and belong to the
  // call that was rejected.
  const size_t before = CountMsg(LINE_CALLSTATE, LINECALLSTATE_OFFERING);
  Peer.SendLine("RING");
  Peer.Send("\r\nDATE = 0504\r\nTIME = 2149\r\nNMBR = 5550100199\r\nNAME = X\r\n");
  Peer.SendLine("RING");
  PumpFor(500);
  EXPECT_EQ(CountMsg(LINE_CALLSTATE, LINECALLSTATE_OFFERING), before);
  // Another caller is a new call at once.
  EXPECT_NE(RingWithCallerId("4075551212"), 0u);
}

} // namespace
