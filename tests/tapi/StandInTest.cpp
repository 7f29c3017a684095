// The scripted stand-in itself, through the loader's wrappers: the message path the line
// device component relies on (the registering thread's queue, instances, dropping, re-entry),
// the scripting of replies and follow-up messages, and the comm handle of a connected call.
#include "tapi/AdTUtil.h"

#include "platform/Messages.h"
#include "tests/tapi/fixtures/StandIn.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

struct TSeen {
  DWORD Device;
  DWORD Message;
  DWORD_PTR Instance, Param1, Param2, Param3;
  uint64_t Thread;
};
std::vector<TSeen> Seen;
// Set by a test that wants the callback to read call information from inside.
HCALL ReadInsideCallback = 0;
std::string ReadInsideText;

void Callback(DWORD Device, DWORD Message, DWORD_PTR Instance, DWORD_PTR Param1, DWORD_PTR Param2,
              DWORD_PTR Param3) {
  Seen.push_back({Device, Message, Instance, Param1, Param2, Param3, Platform::CurrentThreadId()});
  if (ReadInsideCallback != 0 && Message == LINE_CALLINFO) {
    TTapiRecord<LINECALLINFO> Info;
    if (tuLineGetCallInfo(ReadInsideCallback, Info) == 0)
      ReadInsideText = TapiRecordText(Info, &LINECALLINFO::dwCallerIDNameSize,
                                      &LINECALLINFO::dwCallerIDNameOffset);
  }
}

// Pumps the calling thread until Count messages were seen (generous upper bound), then a
// little more for any that should not come.
bool PumpUntil(size_t Count) {
  for (int Round = 0; Round < 1000 && Seen.size() < Count; ++Round) {
    Platform::TMessage Message;
    while (Platform::PeekMessage(Message, true))
      Platform::DispatchMessage(Message);
    if (Seen.size() < Count)
      Platform::WaitMessage(10);
  }
  return Seen.size() >= Count;
}

void Drain() {
  Platform::TMessage Message;
  while (Platform::PeekMessage(Message, true))
    Platform::DispatchMessage(Message);
}

class StandInTest : public ::testing::Test {
protected:
  void SetUp() override {
    UnloadTapi();
    Seen.clear();
    ReadInsideCallback = 0;
    ReadInsideText.clear();
    setenv("RINGLET_LIBRARY_PATH", StandInFolder(), 1);
    ASSERT_TRUE(LoadTapi());
    ASSERT_TRUE(StandIn.Bind(TapiLibraryHandle()));
    StandIn.Reset();
    ASSERT_EQ(0, StandIn.SetDevCaps(0, "Modem A", LINEMEDIAMODE_DATAMODEM, 0, 0));
    DWORD NumDevs = 0;
    ASSERT_EQ(0, tuLineInitialize(&App, nullptr, Callback, "Ringlet", &NumDevs));
    ASSERT_EQ(0, tuLineOpen(App, 0, &Line, TAPI_VERSION_1_4, 0, 0x5A5A, LINECALLPRIVILEGE_OWNER,
                            LINEMEDIAMODE_DATAMODEM, nullptr));
    Call = StandIn.NewCall(Line, LINEMEDIAMODE_DATAMODEM);
    ASSERT_NE(0u, Call);
  }

  void TearDown() override {
    StandIn.Reset();
    Drain();
    UnloadTapi();
  }

  TStandIn StandIn;
  HLINEAPP App = 0;
  HLINE Line = 0;
  HCALL Call = 0;
};

TEST_F(StandInTest, DeliveredMessagesReachTheCallbackWithTheLineInstance) {
  EXPECT_EQ(StandIn.LastApp(), App);
  EXPECT_EQ(StandIn.LastLine(), Line);
  ASSERT_EQ(
      1, StandIn.Deliver(Call, LINE_CALLSTATE, LINECALLSTATE_OFFERING, 0, LINECALLPRIVILEGE_OWNER));
  ASSERT_EQ(1, StandIn.Deliver(Line, LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 0, 1));
  EXPECT_EQ(2, StandIn.PendingMessages());
  EXPECT_TRUE(Seen.empty()); // nothing runs before the thread pumps
  ASSERT_TRUE(PumpUntil(2));
  EXPECT_EQ(0, StandIn.PendingMessages());
  EXPECT_EQ(Call, Seen[0].Device);
  EXPECT_EQ(static_cast<DWORD>(LINE_CALLSTATE), Seen[0].Message);
  EXPECT_EQ(0x5A5Au, Seen[0].Instance);
  EXPECT_EQ(DWORD_PTR{LINECALLPRIVILEGE_OWNER}, Seen[0].Param3);
  EXPECT_EQ(Line, Seen[1].Device);
  EXPECT_EQ(static_cast<DWORD>(LINE_LINEDEVSTATE), Seen[1].Message);
  EXPECT_EQ(0x5A5Au, Seen[1].Instance);

  // The delivered state is what lineGetCallStatus reports.
  ASSERT_EQ(1, StandIn.Deliver(Call, LINE_CALLSTATE, LINECALLSTATE_CONNECTED, 0, 0));
  TTapiRecord<LINECALLSTATUS> Status;
  ASSERT_EQ(0, tuLineGetCallStatus(Call, Status));
  EXPECT_EQ(DWORD{LINECALLSTATE_CONNECTED}, Status->dwCallState);
}

TEST_F(StandInTest, MessagesOfADeallocatedCallOrClosedLineAreDropped) {
  ASSERT_EQ(1, StandIn.Deliver(Call, LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, 0));
  EXPECT_EQ(0, tuLineDeallocateCall(Call));
  EXPECT_EQ(0, StandIn.CallExists(Call));
  ASSERT_EQ(1, StandIn.Deliver(Line, LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 0, 0));
  ASSERT_EQ(1, StandIn.DeliverTo(App, 77, LINE_CREATE, 0, 3, 0, 0)); // never dropped
  EXPECT_EQ(0, tuLineClose(Line));
  ASSERT_TRUE(PumpUntil(1));
  Drain();
  ASSERT_EQ(1u, Seen.size());
  EXPECT_EQ(static_cast<DWORD>(LINE_CREATE), Seen[0].Message);
  EXPECT_EQ(3u, Seen[0].Param1);
}

TEST_F(StandInTest, CallbackMayCallBackIn) {
  const StandInCallInfo Info{LINECALLPARTYID_NAME | LINECALLPARTYID_ADDRESS, "5551234", "JANE ROE",
                             0};
  ASSERT_EQ(0, StandIn.SetCallInfo(Call, &Info));
  ReadInsideCallback = Call;
  ASSERT_EQ(1, StandIn.Deliver(Call, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID, 0, 0));
  ASSERT_TRUE(PumpUntil(1));
  EXPECT_EQ("JANE ROE", ReadInsideText);
}

TEST_F(StandInTest, RepliesAndFollowUpMessagesAreScripted) {
  StandIn.SetNextRequestId(40);
  StandIn.AfterCall("lineAnswer", STANDIN_THIS_CALL, LINE_CALLSTATE, LINECALLSTATE_CONNECTED,
                    LINECONNECTEDMODE_ACTIVE, 0);
  EXPECT_EQ(40, tuLineAnswer(Call, nullptr, 0));
  EXPECT_EQ(40, StandIn.LastRequestId());
  ASSERT_TRUE(PumpUntil(2));
  EXPECT_EQ(static_cast<DWORD>(LINE_REPLY), Seen[0].Message);
  EXPECT_EQ(40u, Seen[0].Param1);
  EXPECT_EQ(static_cast<DWORD>(LINE_CALLSTATE), Seen[1].Message);
  EXPECT_EQ(Call, Seen[1].Device);
  EXPECT_EQ(DWORD_PTR{LINECALLSTATE_CONNECTED}, Seen[1].Param1);

  // A failed reply, sent by hand; the follow-up was used up by the first answer.
  Seen.clear();
  StandIn.SetAutoReply("lineDrop", 0, 0);
  EXPECT_EQ(41, tuLineDrop(Call, nullptr, 0));
  Drain();
  EXPECT_TRUE(Seen.empty());
  ASSERT_EQ(1, StandIn.Reply(41, static_cast<LONG>(LINEERR_OPERATIONFAILED)));
  ASSERT_TRUE(PumpUntil(1));
  EXPECT_EQ(41u, Seen[0].Param1);
  EXPECT_EQ(DWORD_PTR{LINEERR_OPERATIONFAILED}, Seen[0].Param2);
  EXPECT_EQ(0x5A5Au, Seen[0].Instance);
  EXPECT_EQ(42, tuLineAnswer(Call, nullptr, 0));
  ASSERT_TRUE(PumpUntil(2));
  Drain();
  EXPECT_EQ(2u, Seen.size());
}

TEST_F(StandInTest, ConnectedCallHandsOutACopyOfTheModemDescriptor) {
  int Master = -1, Slave = -1;
  ASSERT_EQ(0, openpty(&Master, &Slave, nullptr, nullptr, nullptr));
  StandIn.SetCommDevice(Slave, "/dev/pts/test");
  TTapiRecord<VARSTRING> Id = NewVarString();
  // Not connected yet: refused, as by the service.
  EXPECT_EQ(static_cast<LONG>(LINEERR_INVALCALLSTATE),
            tuLineGetID(Line, 0, Call, LINECALLSELECT_CALL, Id.Get(), "comm/datamodem"));
  ASSERT_EQ(1, StandIn.Deliver(Call, LINE_CALLSTATE, LINECALLSTATE_CONNECTED, 0, 0));
  ASSERT_EQ(0, tuLineGetID(Line, 0, Call, LINECALLSELECT_CALL, Id.Get(), "comm/datamodem"));
  const std::string_view Bytes =
      TapiRecordBytes(Id, &VARSTRING::dwStringSize, &VARSTRING::dwStringOffset);
  ASSERT_EQ(4u + 14u, Bytes.size());
  int32_t Handed = -1;
  std::memcpy(&Handed, Bytes.data(), sizeof Handed);
  EXPECT_EQ("/dev/pts/test", std::string(Bytes.substr(4, 13)));
  ASSERT_GE(Handed, 0);
  EXPECT_NE(Slave, Handed);
  struct stat Ours {};
  struct stat Theirs {};
  ASSERT_EQ(0, fstat(Slave, &Ours));
  ASSERT_EQ(0, fstat(Handed, &Theirs));
  EXPECT_EQ(Ours.st_rdev, Theirs.st_rdev);
  ::close(Handed); // the caller's copy; ours stays usable
  EXPECT_NE(-1, ::fcntl(Slave, F_GETFD));
  ::close(Slave);
  ::close(Master);
}

TEST_F(StandInTest, WaveDevicesOnlyWhereScripted) {
  TTapiRecord<VARSTRING> Id = NewVarString();
  EXPECT_EQ(static_cast<LONG>(LINEERR_NODEVICE),
            tuLineGetID(Line, 0, 0, LINECALLSELECT_LINE, Id.Get(), "wave/in"));
  ASSERT_EQ(0, StandIn.SetWave(0, 0, 1));
  EXPECT_EQ(static_cast<LONG>(LINEERR_NODEVICE),
            tuLineGetID(Line, 0, 0, LINECALLSELECT_LINE, Id.Get(), "wave/in"));
  EXPECT_EQ(0, tuLineGetID(Line, 0, 0, LINECALLSELECT_LINE, Id.Get(), "wave/out"));
  EXPECT_EQ(4u, Id->dwStringSize);
}

TEST_F(StandInTest, RegistrationBelongsToTheThreadThatMadeIt) {
  std::atomic<int> State{0}; // 1 registered, -1 failed
  std::atomic<uint64_t> WorkerId{0};
  std::atomic<HLINEAPP> WorkerApp{0};
  std::vector<TSeen> WorkerSeen;
  std::thread Worker([&] {
    WorkerId = Platform::CurrentThreadId();
    DWORD NumDevs = 0;
    HLINEAPP Handle = 0;
    if (tuLineInitialize(&Handle, nullptr, Callback, "Worker", &NumDevs) != 0) {
      State = -1;
      return;
    }
    WorkerApp = Handle;
    State = 1;
    for (int Round = 0; Round < 1000 && Seen.empty(); ++Round) {
      Platform::TMessage Message;
      while (Platform::PeekMessage(Message, true))
        Platform::DispatchMessage(Message);
      Platform::WaitMessage(10);
    }
    WorkerSeen = Seen;
    tuLineShutdown(Handle);
  });
  for (int Round = 0; Round < 1000 && State == 0; ++Round)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  // Posted from here, run over there.
  const int Posted = State == 1 ? StandIn.DeliverTo(WorkerApp, 0, LINE_CREATE, 9, 1, 0, 0) : 0;
  Worker.join();
  ASSERT_EQ(1, State.load());
  EXPECT_EQ(1, Posted);
  ASSERT_EQ(1u, WorkerSeen.size());
  EXPECT_EQ(WorkerId.load(), WorkerSeen[0].Thread);
  EXPECT_EQ(9u, WorkerSeen[0].Instance);
  // The registering thread is recorded with the call.
  const std::vector<StandInCall> Inits = StandIn.CallsOf("lineInitialize");
  ASSERT_EQ(2u, Inits.size());
  EXPECT_EQ(WorkerId.load(), Inits[1].Thread);
  EXPECT_STREQ("Worker", Inits[1].Text);
  EXPECT_EQ(Platform::CurrentThreadId(), Inits[0].Thread);
}

TEST_F(StandInTest, ResetEndsEveryRegistration) {
  StandIn.Reset();
  EXPECT_EQ(0u, StandIn.LastApp());
  EXPECT_EQ(0u, StandIn.LastLine());
  EXPECT_EQ(0, StandIn.Deliver(0, LINE_REPLY, 1, 0, 0));
  EXPECT_EQ(static_cast<LONG>(LINEERR_INVALAPPHANDLE), tuLineShutdown(App));
  EXPECT_EQ(1, StandIn.CallCount()); // only the shutdown just made
}

} // namespace
