// The dispatcher core over real pseudo-terminals, with its real worker threads: open and
// close, the dispatch buffer filling up and wrapping, output through the ring with its
// rotation, purges, line settings, line errors, a close from inside a handler, and the
// dispatch thread's sleep: woken by bytes and armed triggers only.
#include "DispatcherTestSupport.h"

#include "common/AdExcept.h"
#include "platform/LastError.h"

#include <sys/ioctl.h>
#include <sys/resource.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <thread>

using namespace DispatcherTest;

namespace {

class DispatcherTest : public testing::Test {
protected:
  void SetUp() override { ASSERT_FALSE(Pty.SlavePath.empty()); }

  int32_t Open(TApdBaseDispatcher& D, uint32_t OutSize = 4096) {
    return D.OpenPort(Pty.SlavePath.c_str(), 9600, 0, 8, 1, 4096, OutSize, opDtrLevel | opRtsLevel);
  }

  // Bytes the device holds that the dispatcher has not read yet.
  static int DeviceInput(TApdBaseDispatcher& D) {
    int Waiting = -1;
    ioctl(D.DeviceHandle(), FIONREAD, &Waiting);
    return Waiting;
  }

  static std::string Take(TApdBaseDispatcher& D, uint32_t Count) {
    std::string Got(Count, '\0');
    Got.resize(D.GetBlock(Got.data(), Count));
    return Got;
  }

  TNoLockFiles NoLocks;
  TPty Pty;
};

TEST_F(DispatcherTest, OpenStartsThreadsAndCloseEndsThemAndReleasesTheDevice) {
  TProbeDispatcher D;
  ASSERT_EQ(Open(D), 0);
  EXPECT_GE(D.DeviceHandle(), 0);
  EXPECT_TRUE(D.ThreadsRunning());
  EXPECT_EQ(D.LiveThreads(), 3);
  EXPECT_EQ(D.InputUsed(), 0u);
  EXPECT_FALSE(D.DispatchFull());
  EXPECT_EQ(D.OutputUsed(), 0u);
  EXPECT_EQ(D.OutputFree(), 4096u);
  EXPECT_EQ(D.LastBaudRate(), 9600u);

  // The device is ours alone while open.
  TProbeDispatcher Second;
  EXPECT_EQ(Open(Second), -static_cast<int32_t>(Platform::errAccessDenied));
  EXPECT_LT(Second.DeviceHandle(), 0);
  EXPECT_FALSE(Second.ThreadsRunning());

  D.ClosePort();
  EXPECT_LT(D.DeviceHandle(), 0);
  EXPECT_FALSE(D.ThreadsRunning());
  EXPECT_EQ(D.LiveThreads(), 0);
  EXPECT_EQ(D.InputUsed(), 0u);
  EXPECT_EQ(D.PutBlock("x", 1), ecNotOpen);

  // Closed means released: the device opens again, now for the second dispatcher.
  ASSERT_EQ(Open(Second), 0);
  Pty.Send("ok");
  ASSERT_TRUE(PumpUntil([&] { return Second.InputUsed() == 2; }));
  EXPECT_EQ(Take(Second, 2), "ok");
}

TEST_F(DispatcherTest, StartingRunningThreadsAgainRaises) {
  TProbeDispatcher D;
  ASSERT_EQ(Open(D), 0);
  try {
    D.StartThreads();
    ADD_FAILURE() << "no exception";
  } catch (const EAPDException& E) {
    EXPECT_EQ(E.Message(), "Dispatcher already started");
  }
  EXPECT_EQ(D.LiveThreads(), 3);
}

TEST_F(DispatcherTest, OpenFailuresReportTheSystemErrorAndLeaveNothingRunning) {
  TProbeDispatcher D;
  EXPECT_EQ(D.OpenPort("/dev/ringlet-no-such-device", 9600, 0, 8, 1, 4096, 4096, 0),
            -static_cast<int32_t>(Platform::errFileNotFound));
  EXPECT_FALSE(D.ThreadsRunning());
  EXPECT_EQ(D.LiveThreads(), 0);
  // Settings the device refuses end the open too, and close what was opened.
  EXPECT_LT(D.OpenPort(Pty.SlavePath.c_str(), 9600, 0, 4, 1, 4096, 4096, 0), 0);
  EXPECT_LT(D.DeviceHandle(), 0);
  EXPECT_FALSE(D.ThreadsRunning());
  ASSERT_EQ(Open(D), 0);
}

TEST_F(DispatcherTest, RegistryHandsOutTheLowestFreeSlotAndTrimsTheEnd) {
  const int32_t Before = DispatcherListCount();
  auto A = std::make_unique<TProbeDispatcher>();
  auto B = std::make_unique<TProbeDispatcher>();
  EXPECT_EQ(A->DispatcherHandle(), Before);
  EXPECT_EQ(B->DispatcherHandle(), Before + 1);
  {
    Platform::TCriticalSectionGuard Lock(DispatcherListLock());
    EXPECT_EQ(DispatcherFromHandle(A->DispatcherHandle()), A.get());
    EXPECT_EQ(DispatcherFromHandle(B->DispatcherHandle()), B.get());
    EXPECT_EQ(DispatcherFromHandle(-1), nullptr);
  }
  const int32_t HandleA = A->DispatcherHandle();
  A.reset();
  EXPECT_EQ(DispatcherListCount(), Before + 2); // a hole inside the list stays
  {
    Platform::TCriticalSectionGuard Lock(DispatcherListLock());
    EXPECT_EQ(DispatcherFromHandle(HandleA), nullptr);
  }
  auto C = std::make_unique<TProbeDispatcher>();
  EXPECT_EQ(C->DispatcherHandle(), HandleA);
  C.reset();
  B.reset();
  EXPECT_EQ(DispatcherListCount(), Before);
}

TEST_F(DispatcherTest, FullDispatchBufferLeavesFurtherDataInTheDevice) {
  TProbeDispatcher D;
  ASSERT_EQ(Open(D), 0);
  const std::string Sent = Pattern(10000);
  Pty.Send(Sent);

  ASSERT_TRUE(PumpUntil([&] { return D.DispatchFull(); }));
  EXPECT_EQ(D.InputUsed(), 8192u);
  uint32_t Head, Tail;
  D.InputIndices(Head, Tail);
  EXPECT_EQ(Head, Tail);
  // The rest stays with the driver until there is room.
  ASSERT_TRUE(PumpUntil([&] { return DeviceInput(D) == 10000 - 8192; }));
  EXPECT_EQ(D.InputUsed(), 8192u);
  for (const auto& Read : D.Reads()) {
    EXPECT_LE(Read.Offset + std::max(Read.Result, 0), 8192u);
  }

  std::string Got = Take(D, 8192);
  EXPECT_EQ(Got, Sent.substr(0, 8192));
  EXPECT_FALSE(D.DispatchFull());
  ASSERT_TRUE(PumpUntil([&] { return D.InputUsed() == 10000 - 8192; }));
  EXPECT_EQ(Take(D, 10000), Sent.substr(8192));
  EXPECT_EQ(D.InputUsed(), 0u);
}

TEST_F(DispatcherTest, ReadCrossingTheEndOfTheDispatchBufferIsSplitInTwo) {
  TProbeDispatcher D;
  ASSERT_EQ(Open(D), 0);
  const std::string First = Pattern(8000);
  Pty.Send(First);
  ASSERT_TRUE(PumpUntil([&] { return D.InputUsed() == 8000; }));
  ASSERT_EQ(Take(D, 8000), First);
  D.ForgetCalls();

  const std::string Second = Pattern(500, 3);
  Pty.Send(Second);
  ASSERT_TRUE(PumpUntil([&] { return D.InputUsed() == 500; }));
  uint32_t Head, Tail;
  D.InputIndices(Head, Tail);
  EXPECT_EQ(Tail, 8000u);
  EXPECT_EQ(Head, 308u);

  // Every read asks for no more than the room up to the end of the buffer, the end is met
  // exactly, and reading goes on at the start.
  bool MetTheEnd = false;
  bool WentOnAtStart = false;
  for (const auto& Read : D.Reads()) {
    if (Read.Result <= 0) {
      continue;
    }
    if (Read.Offset >= 8000) {
      EXPECT_EQ(Read.Count, 8192u - Read.Offset);
      MetTheEnd = MetTheEnd || Read.Offset + static_cast<uint32_t>(Read.Result) == 8192;
    } else {
      EXPECT_TRUE(MetTheEnd) << "read at " << Read.Offset << " before the end was met";
      WentOnAtStart = WentOnAtStart || Read.Offset == 0;
    }
  }
  EXPECT_TRUE(MetTheEnd);
  EXPECT_TRUE(WentOnAtStart);
  EXPECT_EQ(Take(D, 500), Second);
}

TEST_F(DispatcherTest, OutputIsWrittenInOrderAcrossTheEndOfTheRing) {
  TProbeDispatcher D;
  ASSERT_EQ(Open(D, 1000), 0);
  D.Allow(0);
  const std::string A = Pattern(600, 1);
  const std::string B = Pattern(500, 2);
  ASSERT_EQ(D.PutBlock(A.data(), 600), 600);
  EXPECT_EQ(D.OutputUsed(), 600u);

  // The device takes part of the run; the rest waits in the ring.
  D.Allow(250);
  ASSERT_TRUE(PumpUntil([&] { return D.OutputUsed() == 350; }));
  EXPECT_EQ(D.PutBlock(B.data(), 651), ecOutputBufferTooSmall);
  ASSERT_EQ(D.PutBlock(B.data(), 500), 500);
  uint32_t Head, Tail;
  bool Full;
  D.OutputIndices(Head, Tail, Full);
  EXPECT_EQ(Tail, 250u);
  EXPECT_EQ(Head, 100u); // wrapped
  EXPECT_EQ(D.OutputUsed(), 850u);
  EXPECT_EQ(D.OutputFree(), 150u);

  D.Allow(-1);
  EXPECT_EQ(Pty.Receive(1100), A + B);
  ASSERT_TRUE(PumpUntil([&] { return D.OutputUsed() == 0; }));

  // The run in progress was finished first (bytes 250..599); then the wrapped data (B at
  // 600..999 and 0..99) went out in one write from the start of the rotated ring.
  const auto Writes = D.Transmits();
  ASSERT_GE(Writes.size(), 2u);
  const auto& Last = Writes[Writes.size() - 1];
  const auto& BeforeLast = Writes[Writes.size() - 2];
  EXPECT_EQ(BeforeLast.Offset, 250u);
  EXPECT_EQ(BeforeLast.Count, 350u);
  EXPECT_EQ(BeforeLast.Result, 350);
  EXPECT_EQ(Last.Offset, 0u);
  EXPECT_EQ(Last.Count, 500u);
  EXPECT_EQ(Last.Result, 500);
  D.OutputIndices(Head, Tail, Full);
  EXPECT_EQ(Head, 0u);
  EXPECT_EQ(Tail, 0u);
}

TEST_F(DispatcherTest, FillingTheOutputRingExactlyKeepsEveryByte) {
  TProbeDispatcher D;
  ASSERT_EQ(Open(D, 512), 0);
  D.Allow(0);
  const std::string Text = Pattern(512, 5);
  ASSERT_EQ(D.PutBlock(Text.data(), 512), 512);
  EXPECT_EQ(D.OutputUsed(), 512u);
  EXPECT_EQ(D.OutputFree(), 0u);
  EXPECT_EQ(D.PutBlock("x", 1), ecOutputBufferTooSmall);
  D.Allow(-1);
  EXPECT_EQ(Pty.Receive(512), Text);
}

TEST_F(DispatcherTest, OutputPurgeDropsQueuedBytesOnly) {
  TProbeDispatcher D;
  ASSERT_EQ(Open(D, 1000), 0);
  D.Allow(0);
  ASSERT_EQ(D.PutBlock("discarded", 9), 9);
  EXPECT_EQ(D.OutputUsed(), 9u);
  EXPECT_EQ(D.PurgeOutput(), 0);
  EXPECT_EQ(D.OutputUsed(), 0u);
  D.Allow(-1);
  ASSERT_EQ(D.PutBlock("kept", 4), 4);
  EXPECT_EQ(Pty.Receive(4), "kept");
  ASSERT_TRUE(PumpUntil([&] { return D.OutputUsed() == 0; }));
  EXPECT_FALSE(Pty.HasInput());
}

TEST_F(DispatcherTest, InputPurgeDropsBufferedAndWaitingBytes) {
  TProbeDispatcher D;
  ASSERT_EQ(Open(D), 0);
  Pty.Send("old");
  ASSERT_TRUE(PumpUntil([&] { return D.InputUsed() == 3; }));
  EXPECT_EQ(D.PurgeInput(), 0);
  EXPECT_EQ(D.InputUsed(), 0u);
  Pty.Send("new");
  ASSERT_TRUE(PumpUntil([&] { return D.InputUsed() == 3; }));
  EXPECT_EQ(Take(D, 3), "new");
}

TEST_F(DispatcherTest, LineParamsEqualOrKeptApplyNothing) {
  TProbeDispatcher D;
  // A pseudo-terminal keeps the rate and the stop bits (it is always 8 bits, no parity).
  ASSERT_EQ(D.OpenPort(Pty.SlavePath.c_str(), 19200, 0, 8, 2, 4096, 4096, 0), 0);
  int32_t Baud;
  int16_t Parity;
  uint8_t DataBits, StopBits;
  ASSERT_EQ(D.GetLineParams(Baud, Parity, DataBits, StopBits), 0);
  EXPECT_EQ(Baud, 19200);
  EXPECT_EQ(Parity, 0);
  EXPECT_EQ(DataBits, 8);
  EXPECT_EQ(StopBits, 2);

  const int Applied = D.SetStateCalls.load();
  const int Drains = D.DrainChecks.load();
  EXPECT_EQ(D.SetLineParams(19200, 0, 8, 2), 0);
  EXPECT_EQ(D.SetLineParams(KeepBaud, KeepParity, KeepDataBits, KeepStopBits), 0);
  EXPECT_EQ(D.SetLineParams(19200, KeepParity, 8, KeepStopBits), 0);
  EXPECT_EQ(D.SetLineParams(KeepBaud, 0, KeepDataBits, 2), 0);
  EXPECT_EQ(D.SetStateCalls.load(), Applied);
  EXPECT_EQ(D.DrainChecks.load(), Drains); // no wait for the output either

  // A change is applied once, after the output has drained, and reads back.
  EXPECT_EQ(D.SetLineParams(KeepBaud, KeepParity, KeepDataBits, 1), 0);
  EXPECT_EQ(D.SetStateCalls.load(), Applied + 1);
  EXPECT_GT(D.DrainChecks.load(), Drains);
  EXPECT_EQ(D.SetLineParams(2400, KeepParity, KeepDataBits, KeepStopBits), 0);
  EXPECT_EQ(D.SetStateCalls.load(), Applied + 2);
  ASSERT_EQ(D.GetLineParams(Baud, Parity, DataBits, StopBits), 0);
  EXPECT_EQ(Baud, 2400);
  EXPECT_EQ(StopBits, 1);
  EXPECT_EQ(D.LastBaudRate(), 2400u);
  EXPECT_EQ(D.LastApplied().Baud, 2400u);
}

TEST_F(DispatcherTest, FiveDataBitsStoreOneAndAHalfStopBits) {
  TProbeDispatcher D;
  ASSERT_EQ(Open(D), 0);
  // What is applied is what the device is given (a pseudo-terminal stays at 8 bits).
  int Applied = D.SetStateCalls.load();
  ASSERT_EQ(D.SetLineParams(KeepBaud, KeepParity, 5, 1), 0);
  EXPECT_EQ(D.SetStateCalls.load(), Applied + 1);
  EXPECT_EQ(D.LastApplied().DataBits, 5);
  EXPECT_EQ(D.LastApplied().StopBits, Platform::sbOneHalf);
  EXPECT_EQ(D.LineSettings().StopBits, Platform::sbOneHalf);

  Applied = D.SetStateCalls.load();
  ASSERT_EQ(D.SetLineParams(KeepBaud, KeepParity, 5, 2), 0);
  EXPECT_EQ(D.SetStateCalls.load(), Applied + 1);
  EXPECT_EQ(D.LastApplied().StopBits, Platform::sbOneHalf);
  ASSERT_EQ(D.SetLineParams(KeepBaud, KeepParity, 8, 1), 0);
  EXPECT_EQ(D.LastApplied().DataBits, 8);
  EXPECT_EQ(D.LastApplied().StopBits, Platform::sbOne);

  // Keeping both leaves the stored stop bits as they are.
  Applied = D.SetStateCalls.load();
  EXPECT_EQ(D.SetLineParams(KeepBaud, KeepParity, KeepDataBits, KeepStopBits), 0);
  EXPECT_EQ(D.SetStateCalls.load(), Applied);
  EXPECT_EQ(D.LineSettings().StopBits, Platform::sbOne);
}

TEST_F(DispatcherTest, BaudCodesMapToRates) {
  EXPECT_EQ(BaudFromCode(0xFEFF), 115200u);
  EXPECT_EQ(BaudFromCode(0xFF10), 110u);
  EXPECT_EQ(BaudFromCode(0xFF16), 9600u);
  EXPECT_EQ(BaudFromCode(0xFF1B), 38400u);
  EXPECT_EQ(BaudFromCode(0xFF27), 256000u);
  EXPECT_EQ(BaudFromCode(0xFF19), 0xFF19u); // an empty entry is the value itself
  EXPECT_EQ(BaudFromCode(0xFF28), 0xFF28u);
  EXPECT_EQ(BaudFromCode(57600), 57600u);

  TProbeDispatcher D;
  ASSERT_EQ(D.OpenPort(Pty.SlavePath.c_str(), 0xFF16, 0, 8, 1, 4096, 4096, 0), 0);
  int32_t Baud;
  int16_t Parity;
  uint8_t DataBits, StopBits;
  ASSERT_EQ(D.GetLineParams(Baud, Parity, DataBits, StopBits), 0);
  EXPECT_EQ(Baud, 9600);
}

TEST_F(DispatcherTest, LineErrorCodeReportsTheFirstErrorAndKeepsTheBreak) {
  TProbeDispatcher D;
  ASSERT_EQ(Open(D), 0);
  EXPECT_EQ(D.LineErrorCode(), 0);
  D.InjectLineErrors(0x02 | 0x08 | 0x10);
  D.RefreshLineErrors();
  EXPECT_EQ(D.LineErrors() & 0x1F, 0x1Au);
  EXPECT_EQ(D.LineErrorCode(), 2);
  EXPECT_EQ(D.LineErrors() & 0x1F, 0x10u); // the framing error went with it, the break stays
  EXPECT_TRUE(D.BreakReceived());
  EXPECT_FALSE(D.BreakReceived());
  EXPECT_EQ(D.LineErrorCode(), 0);

  const struct {
    uint32_t Bits;
    uint8_t Code;
  } Cases[] = {{0x01 | 0x04, 1}, {0x04 | 0x08, 3}, {0x08, 4}, {0x10, 9}};
  for (const auto& Case : Cases) {
    D.InjectLineErrors(Case.Bits);
    D.RefreshLineErrors();
    EXPECT_EQ(D.LineErrorCode(), Case.Code) << Case.Bits;
    D.BreakReceived();
    EXPECT_EQ(D.LineErrors() & 0x1F, 0u);
  }
}

TEST_F(DispatcherTest, FlowSettingsAreCheckedAppliedAndReadBack) {
  TProbeDispatcher D;
  ASSERT_EQ(Open(D), 0);
  const int Applied = D.SetStateCalls.load();
  EXPECT_EQ(D.SetHardwareFlow(100, 200, hfUseRts | hfRequireCts), ecBadArgument);
  EXPECT_EQ(D.SetHardwareFlow(5000, 100, hfUseRts | hfRequireCts), ecBadArgument);
  EXPECT_EQ(D.SetSoftwareFlow(5000, 100, sfTransmit), ecBadArgument);
  EXPECT_EQ(D.SetStateCalls.load(), Applied);

  uint32_t Hw, Sw;
  uint8_t XOn, XOff;
  ASSERT_EQ(D.SetHardwareFlow(3000, 1000, hfUseRts | hfRequireCts), 0);
  ASSERT_EQ(D.GetFlowState(Hw, Sw, XOn, XOff), 0);
  EXPECT_EQ(Hw, hfUseRts | hfRequireCts);
  EXPECT_EQ(D.LineSettings().XoffLimit, 4096 - 3000);
  EXPECT_EQ(D.LineSettings().XonLimit, 1000);
  EXPECT_EQ(D.SetRts(false), 1); // the driver has RTS now

  ASSERT_EQ(D.SetSoftwareFlow(3000, 1000, sfTransmit | sfReceive), 0);
  ASSERT_EQ(D.GetFlowState(Hw, Sw, XOn, XOff), 0);
  EXPECT_EQ(Sw, sfTransmit | sfReceive);
  EXPECT_EQ(XOn, 17);
  EXPECT_EQ(XOff, 19);
  ASSERT_EQ(D.SetFlowChars('Q', 'S'), 0);
  ASSERT_EQ(D.GetFlowState(Hw, Sw, XOn, XOff), 0);
  EXPECT_EQ(XOn, 'Q');
  EXPECT_EQ(XOff, 'S');
  ASSERT_EQ(D.SoftwareFlowOff(), 0);
  ASSERT_EQ(D.SetHardwareFlow(3000, 1000, 0), 0);
  ASSERT_EQ(D.GetFlowState(Hw, Sw, XOn, XOff), 0);
  EXPECT_EQ(Hw, 0u);
  EXPECT_EQ(Sw, 0u);
  EXPECT_EQ(D.SetRts(true), 0);
}

// The nice value the system holds for a thread.
int NiceOf(pid_t Tid) {
  errno = 0;
  const int Nice = getpriority(PRIO_PROCESS, static_cast<id_t>(Tid));
  EXPECT_EQ(errno, 0) << "no thread " << Tid;
  return Nice;
}

// Whether this process may raise a thread's priority (it needs privilege).
bool MayRaisePriorities() {
  bool Raised = false;
  std::thread Probe([&] {
    const pid_t Me = Platform::CurrentSystemThreadId();
    Raised = setpriority(PRIO_PROCESS, static_cast<id_t>(Me), NiceOf(Me) - 1) == 0;
  });
  Probe.join();
  return Raised;
}

TEST_F(DispatcherTest, PriorityBoostReachesTheWorkers) {
  if (!MayRaisePriorities()) {
    GTEST_SKIP() << "raising a thread's priority needs privilege here";
  }
  TProbeDispatcher D;
  ASSERT_EQ(Open(D), 0);
  // Each worker shows its system id in the device operation it calls.
  Pty.Send("abc");
  ASSERT_EQ(D.PutBlock("xyz", 3), 3);
  EXPECT_EQ(Pty.Receive(3), "xyz");
  ASSERT_TRUE(PumpUntil(
      [&] { return D.InputUsed() == 3 && D.CommTid.load() != 0 && D.OutputTid.load() != 0; }));
  const pid_t Comm = D.CommTid.load();
  const pid_t Dispatch = D.DispatchTid.load();
  const pid_t Output = D.OutputTid.load();
  ASSERT_NE(Comm, Dispatch);
  ASSERT_NE(Dispatch, Output);
  const int Normal = NiceOf(static_cast<pid_t>(getpid()));
  EXPECT_EQ(NiceOf(Comm), Normal);
  EXPECT_EQ(NiceOf(Dispatch), Normal);
  EXPECT_EQ(NiceOf(Output), Normal);

  // One step up: nice 5 below the process's.
  D.ApplyThreadBoost(1);
  EXPECT_EQ(NiceOf(Comm), Normal - 5);
  EXPECT_EQ(NiceOf(Dispatch), Normal - 5);
  EXPECT_EQ(NiceOf(Output), Normal - 5);
  // RS-485 puts the output thread a step above the others, and back.
  D.SetRs485(true);
  EXPECT_EQ(NiceOf(Output), Normal - 10);
  EXPECT_EQ(NiceOf(Dispatch), Normal - 5);
  D.SetRs485(false);
  EXPECT_EQ(NiceOf(Output), Normal - 5);
  D.ApplyThreadBoost(0);
  EXPECT_EQ(NiceOf(Comm), Normal);
  EXPECT_EQ(NiceOf(Dispatch), Normal);
  EXPECT_EQ(NiceOf(Output), Normal);
}

TEST_F(DispatcherTest, CloseInsideAHandlerIsDeferredUntilTheDispatchThreadEnds) {
  auto D = std::make_unique<TProbeDispatcher>();
  ASSERT_EQ(Open(*D), 0);
  int Calls = 0;
  bool DeferredInside = false;
  bool InDispatchInside = false;
  std::string SeenAfterClose;
  const int Key = 0;
  D->RegisterMethodHandler(
      &Key,
      [&](uint32_t Msg, uintptr_t WParam, intptr_t) {
        if (Msg != ApwTriggerAvail) {
          return;
        }
        ++Calls;
        D->ClosePort();
        DeferredInside = D->CloseDeferred();
        InDispatchInside = D->InDispatch();
        // The buffers stay while the notice is delivered: the data is still readable.
        std::string Data(WParam, '\0');
        Data.resize(D->PeekBlock(Data.data(), static_cast<uint32_t>(WParam)));
        SeenAfterClose = Data;
      },
      true);
  D->SetAvailThreshold(1);
  Pty.Send("hello");
  ASSERT_TRUE(PumpUntil([&] { return Calls > 0; }));
  ASSERT_TRUE(PumpUntil([&] { return D->LiveThreads() == 0; }));
  EXPECT_EQ(Calls, 1);
  EXPECT_TRUE(DeferredInside);
  EXPECT_TRUE(InDispatchInside);
  EXPECT_FALSE(SeenAfterClose.empty());
  EXPECT_EQ(SeenAfterClose, std::string("hello").substr(0, SeenAfterClose.size()));
  EXPECT_FALSE(D->ThreadsRunning());
  EXPECT_LT(D->DeviceHandle(), 0);
  // The dispatch thread released the buffers when it ended.
  char Byte;
  EXPECT_EQ(D->PeekBlock(&Byte, 1), 0u);
  EXPECT_EQ(D->InputUsed(), 0u);
  D.reset();
}

} // namespace

namespace {

TEST_F(DispatcherTest, TraceRecordsWhatIsSentAndReceived) {
  TProbeDispatcher D;
  ASSERT_EQ(Open(D), 0);
  ASSERT_EQ(D.StartTrace(100), 0);
  ASSERT_EQ(D.PutBlock("AT\r", 3), 3);
  EXPECT_EQ(Pty.Receive(3), "AT\r");
  Pty.Send("OK");
  ASSERT_TRUE(PumpUntil([&] { return D.InputUsed() == 2; }));

  char Folder[] = "/tmp/ringlet-trace-XXXXXX";
  ASSERT_NE(mkdtemp(Folder), nullptr);
  const std::string File = std::string(Folder) + "/port.trc";
  ASSERT_EQ(D.WriteTrace(File, false, false), 0);
  std::string Text;
  if (FILE* In = std::fopen(File.c_str(), "rb")) {
    char Buffer[256];
    size_t N;
    while ((N = std::fread(Buffer, 1, sizeof Buffer, In)) > 0) {
      Text.append(Buffer, N);
    }
    std::fclose(In);
  }
  EXPECT_EQ(Text, "Transmit: \r\nAT[13]\r\n\r\nReceive: \r\nOK");
  std::remove(File.c_str());
  rmdir(Folder);
}

} // namespace

namespace {

TEST_F(DispatcherTest, StopGivesUpOnAHangingDispatchThreadAndItCleansUpWhenItEnds) {
  auto D = std::make_unique<TProbeDispatcher>();
  ASSERT_EQ(Open(*D), 0);
  Platform::TEvent Entered{true};
  Platform::TEvent Release{true};
  const int Key = 0;
  // Runs on the dispatch thread and does not return until the test lets it.
  D->RegisterMethodHandler(
      &Key,
      [&](uint32_t Msg, uintptr_t, intptr_t) {
        if (Msg == ApwTriggerAvail) {
          Entered.Set();
          Platform::WaitForEvent(Release, PatienceMs);
        }
      },
      false);
  D->SetAvailThreshold(1);
  Pty.Send("x");
  ASSERT_EQ(Platform::WaitForEvent(Entered, PatienceMs), Platform::wrObject0);

  // The comm and output threads end; the dispatch thread is waited for twice, then left.
  D->StopThreads();
  EXPECT_EQ(D->LiveThreads(), 1);
  EXPECT_TRUE(D->ThreadsRunning());
  EXPECT_TRUE(D->InDispatch());

  // Closing now is deferred, and the buffers stay while the handler still runs.
  D->ClosePort();
  EXPECT_TRUE(D->CloseDeferred());
  char Byte = 0;
  EXPECT_EQ(D->PeekBlock(&Byte, 1), 1u);
  EXPECT_EQ(Byte, 'x');

  Release.Set();
  ASSERT_TRUE(PumpUntil([&] { return D->LiveThreads() == 0; }));
  EXPECT_FALSE(D->ThreadsRunning());
  EXPECT_EQ(D->PeekBlock(&Byte, 1), 0u); // released by the dispatch thread as it ended
  D.reset();
}

} // namespace

namespace {

// A dispatcher whose first transmit is held until the test lets it go, and whose device
// vanishes while an output purge asks the output thread to let go of its run: the comm
// thread ends then, on its own way out.
class TVanishingDispatcher : public TProbeDispatcher {
public:
  explicit TVanishingDispatcher(TPty& Pty) : FPty(Pty) {}
  ~TVanishingDispatcher() override { DestroyDispatcher(); }

  // Threads blocked waiting for the output thread to let go of its run.
  size_t PurgeWaiters() const { return FlushAck.WaitingThreads(); }

  Platform::TEvent InTransmit{true};
  Platform::TEvent LetGo{true};
  std::atomic<bool> VanishOnWake{false};

protected:
  int32_t DeviceTransmit(const uint8_t* Data, uint32_t Count) override {
    if (!FHeld.exchange(true)) {
      InTransmit.Set();
      Platform::WaitForEvent(LetGo, PatienceMs);
    }
    return TProbeDispatcher::DeviceTransmit(Data, Count);
  }
  void DeviceWakeTransmit() override {
    if (VanishOnWake.exchange(false)) {
      FPty.CloseMaster();
      const auto Deadline =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(PatienceMs);
      while (CommThread.load() != nullptr && std::chrono::steady_clock::now() < Deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    }
    TProbeDispatcher::DeviceWakeTransmit();
  }

private:
  TPty& FPty;
  std::atomic<bool> FHeld{false};
};

TEST_F(DispatcherTest, OutputPurgeWhileTheCommThreadEndsSendsNothingStale) {
  TVanishingDispatcher D(Pty);
  ASSERT_EQ(Open(D), 0);
  ASSERT_EQ(D.PutBlock("abcdef", 6), 6);
  ASSERT_EQ(Platform::WaitForEvent(D.InTransmit, PatienceMs), Platform::wrObject0);

  // The held transmit goes on once the purge waits for it, or has ended without waiting.
  std::atomic<bool> PurgeDone{false};
  std::thread Releaser([&] {
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(PatienceMs);
    while (!PurgeDone.load() && D.PurgeWaiters() == 0 &&
           std::chrono::steady_clock::now() < Deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    D.LetGo.Set();
  });
  D.VanishOnWake.store(true);
  D.PurgeOutput(); // reports the vanished device; the ring is emptied all the same
  PurgeDone.store(true);
  Releaser.join();
  ASSERT_TRUE(PumpUntil([&] { return D.LiveThreads() == 2; })); // the comm thread ended

  // The held transmit comes back; the output thread must not go on with a ring emptied
  // under it.
  ASSERT_TRUE(PumpUntil([&] { return !D.Transmits().empty(); }));
  ASSERT_TRUE(PumpUntil([&] {
    uint32_t Head, Tail;
    bool Full;
    D.OutputIndices(Head, Tail, Full);
    return Head == Tail && !Full;
  }));
  D.ClosePort(); // the output thread has ended: what it sent is all there is
  const std::vector<TProbeDispatcher::TCall> Sent = D.Transmits();
  ASSERT_EQ(Sent.size(), 1u) << "a transmit after the purge, of " << Sent.back().Count << " bytes";
  EXPECT_EQ(Sent[0].Offset, 0u);
  EXPECT_EQ(Sent[0].Count, 6u);
}

} // namespace

// ---------------------------------------------------------------------------------------
// Waking the dispatch thread: a sleeping port still announces and fires when it should.

namespace {

// A device whose read hands over as much as it is asked for once that much has come, as a
// driver may that receives while it copies: one fill can then take a whole ring's worth.
class TGreedyReadDispatcher : public TProbeDispatcher {
protected:
  int32_t DeviceRead(void* Buffer, uint32_t Count) override {
    auto* Out = static_cast<uint8_t*>(Buffer);
    uint32_t Got = 0;
    for (int Round = 0; Got < Count && Round < 2000; ++Round) {
      int32_t N = TProbeDispatcher::DeviceRead(Out + Got, Count - Got);
      if (N < 0) {
        return Got > 0 ? static_cast<int32_t>(Got) : N;
      }
      Got += static_cast<uint32_t>(N);
      if (Got < Count) {
        pollfd Input{DeviceHandle(), POLLIN, 0};
        poll(&Input, 1, 10);
      }
    }
    return static_cast<int32_t>(Got);
  }
};

// Context switches (voluntary and not) of the given threads of this process so far.
uint64_t ThreadSwitches(const std::vector<pid_t>& Threads) {
  uint64_t Total = 0;
  for (pid_t Thread : Threads) {
    std::ifstream Status("/proc/self/task/" + std::to_string(Thread) + "/status");
    std::string Line;
    while (std::getline(Status, Line)) {
      if (Line.find("ctxt_switches:") != std::string::npos) {
        Total += std::stoull(Line.substr(Line.find(':') + 1));
      }
    }
  }
  return Total;
}

} // namespace

TEST_F(DispatcherTest, AWholeRingOfNewBytesInOneFillIsStillAnnounced) {
  // The first fill takes exactly 8192 bytes, which brings the head back to where the last
  // notice (none yet, at 0) left it: the bytes are new all the same.
  TGreedyReadDispatcher D;
  ASSERT_EQ(Open(D), 0);
  std::string Got;
  int Notices = 0;
  int Marker = 0;
  D.RegisterMethodHandler(
      &Marker,
      [&](uint32_t Msg, uintptr_t Count, intptr_t) {
        if (Msg == ApwTriggerAvail) {
          ++Notices;
          std::string Part(Count, '\0');
          Part.resize(D.GetBlock(Part.data(), static_cast<uint32_t>(Count)));
          Got += Part;
        }
      },
      true);
  D.SetAvailThreshold(1);
  const std::string Sent = Pattern(8192);
  Pty.Send(Sent);
  ASSERT_TRUE(PumpUntil([&] { return Got.size() >= Sent.size(); }))
      << "announced " << Got.size() << " of " << Sent.size() << " bytes in " << Notices
      << " notices";
  EXPECT_EQ(Got, Sent);
  D.ClosePort();
}

TEST_F(DispatcherTest, ATimerTriggerWakesASleepingPortAndFiresOnce) {
  TProbeDispatcher D;
  ASSERT_EQ(Open(D), 0);
  std::vector<uintptr_t> Fired;
  int Marker = 0;
  D.RegisterMethodHandler(
      &Marker,
      [&](uint32_t Msg, uintptr_t Handle, intptr_t) {
        if (Msg == ApwTriggerTimer) {
          Fired.push_back(Handle);
        }
      },
      true);
  const int32_t Timer = D.AddTimerTrigger();
  ASSERT_GT(Timer, 0);
  ASSERT_EQ(ecOK, D.SetTimerTrigger(Timer, 2, true));
  ASSERT_TRUE(PumpUntil([&] { return !Fired.empty(); })) << "the timer trigger never fired";
  EXPECT_EQ(std::vector<uintptr_t>({static_cast<uintptr_t>(Timer)}), Fired);

  // Armed again while the port sleeps with nothing armed: it fires again.
  ASSERT_EQ(ecOK, D.SetTimerTrigger(Timer, 1, true));
  ASSERT_TRUE(PumpUntil([&] { return Fired.size() == 2; })) << "the re-armed timer never fired";
  D.ClosePort();
}

TEST_F(DispatcherTest, AnIdlePortWithNothingArmedLetsItsThreadsSleep) {
  TProbeDispatcher D;
  ASSERT_EQ(Open(D), 0);
  int Marker = 0;
  D.RegisterMethodHandler(
      &Marker, [](uint32_t, uintptr_t, intptr_t) {}, true);
  D.SetAvailThreshold(1);
  // Some traffic each way, so that each worker has shown its thread.
  const std::string Sent = Pattern(100);
  Pty.Send(Sent);
  ASSERT_TRUE(PumpUntil([&] { return D.InputUsed() == 100; }));
  EXPECT_EQ(Take(D, 100), Sent);
  ASSERT_EQ(5, D.PutBlock("ATZ\r\n", 5));
  EXPECT_EQ("ATZ\r\n", Pty.Receive(5));
  ASSERT_TRUE(
      PumpUntil([&] { return D.CommTid.load() && D.DispatchTid.load() && D.OutputTid.load(); }));
  const std::vector<pid_t> Workers = {D.CommTid.load(), D.DispatchTid.load(), D.OutputTid.load()};

  // Let the traffic settle, then watch for a second: a pass every 50 ms would be about
  // twenty wake-ups; a sleeping port has none of its own.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const uint64_t Before = ThreadSwitches(Workers);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const uint64_t Woken = ThreadSwitches(Workers) - Before;
  EXPECT_LT(Woken, 6u) << "the idle port's workers woke " << Woken << " times in a second";

  // Bytes still wake it.
  Pty.Send(Sent);
  ASSERT_TRUE(PumpUntil([&] { return D.InputUsed() == 100; }));
  EXPECT_EQ(Take(D, 100), Sent);
  D.ClosePort();
}
