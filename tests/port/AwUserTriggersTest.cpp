// Triggers and notices of the dispatcher: the byte matcher, the trigger lists with save and
// restore, timer and status evaluation on a dispatcher that is not open, and then over a
// real pseudo-terminal with the real worker threads (the test holds the master side and is
// the dispatcher's main thread, pumping its messages while it waits).
#include "DispatcherTestSupport.h"

#include "common/AdExcept.h"
#include "common/OoMisc.h"
#include "platform/Messages.h"
#include "port/AwUser.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace DispatcherTest;

// 1-based positions of the input bytes at which MatchByte reports a full match.
std::vector<int> MatchPositions(const std::string& Text, const std::string& Input,
                                bool IgnoreCase = false) {
  int32_t Progress[DataTriggerSlots] = {};
  std::vector<int> Found;
  for (size_t I = 0; I < Input.size(); ++I) {
    if (TApdBaseDispatcher::MatchByte(Progress, static_cast<uint8_t>(Input[I]),
                                      static_cast<int32_t>(Text.size()), IgnoreCase,
                                      Text.c_str())) {
      Found.push_back(static_cast<int>(I + 1));
    }
  }
  return Found;
}

uint32_t LowWord(intptr_t LParam) {
  return static_cast<uint32_t>(LParam) & 0xFFFF;
}
int32_t HighWord(intptr_t LParam) {
  return static_cast<int32_t>(LParam / 0x10000);
}

// One delivered notice, with what the handler saw or took.
struct TNotice {
  std::string Who;
  uint32_t Msg = 0;
  uintptr_t WParam = 0;
  intptr_t LParam = 0;
  std::string Data;
};

// Notices arrive on the dispatch thread (procedures, methods) and on the main thread
// (windows, methods run there).
class TRecorder {
public:
  void Add(TNotice Notice) {
    std::lock_guard<std::mutex> Lock(FLock);
    FList.push_back(std::move(Notice));
  }
  std::vector<TNotice> List() {
    std::lock_guard<std::mutex> Lock(FLock);
    return FList;
  }
  size_t Count(const std::string& Who, uint32_t Msg, uintptr_t WParam) {
    std::lock_guard<std::mutex> Lock(FLock);
    size_t N = 0;
    for (const auto& Notice : FList) {
      N += Notice.Who == Who && Notice.Msg == Msg && Notice.WParam == WParam;
    }
    return N;
  }
  void Clear() {
    std::lock_guard<std::mutex> Lock(FLock);
    FList.clear();
  }

private:
  std::mutex FLock;
  std::vector<TNotice> FList;
};

// The test's own tick clock; restores the real one when it goes.
std::atomic<uint32_t> FakeTicks{0};
uint32_t FakeTickSource() {
  return FakeTicks.load();
}
struct TFakeClock {
  explicit TFakeClock(uint32_t Start) {
    FakeTicks.store(Start);
    Previous = SetTickSource(&FakeTickSource);
  }
  ~TFakeClock() { SetTickSource(Previous); }
  TTickSource Previous;
};

// ---------------------------------------------------------------------------------------
// The matcher

TEST(AwUserTriggersTest, MatchByteKeepsCandidatesThatStartInsideAFailedOne) {
  // The candidate started at the second byte survives the first one failing at the third.
  EXPECT_EQ(std::vector<int>({4}), MatchPositions("aab", "aaab"));
  EXPECT_EQ(std::vector<int>({5}), MatchPositions("abc", "ababc"));
  EXPECT_EQ(std::vector<int>({7}), MatchPositions("aaaab", "aaaaaab"));
  EXPECT_EQ(std::vector<int>({2, 3}), MatchPositions("aa", "aaa"));
  // A full match empties all slots, so the overlapping candidate is lost.
  EXPECT_EQ(std::vector<int>({4}), MatchPositions("abab", "ababab"));
  EXPECT_EQ(std::vector<int>({4, 8}), MatchPositions("abab", "abababab"));
  EXPECT_EQ(std::vector<int>({1, 2, 3}), MatchPositions("x", "xxx"));
  EXPECT_TRUE(MatchPositions("abc", "abxabdab").empty());
}

TEST(AwUserTriggersTest, MatchByteComparesUpperCaseWhenCaseIsIgnored) {
  EXPECT_EQ(std::vector<int>({4, 7, 10}), MatchPositions("ATZ", "xatzATZAtZ", true));
  EXPECT_EQ(std::vector<int>({7}), MatchPositions("ATZ", "xatzATZAtZ", false));
  // The longest text a data trigger takes still fits the progress slots.
  const std::string Long(DataTriggerSlots, 'q');
  EXPECT_EQ(std::vector<int>({DataTriggerSlots}), MatchPositions(Long, Long + "r"));
}

// ---------------------------------------------------------------------------------------
// Lists, save and restore (no device)

TEST(AwUserTriggersTest, TriggersGetHandlesInTurnAndBadRequestsAreRefused) {
  TProbeDispatcher Disp;
  EXPECT_EQ(1, Disp.AddTimerTrigger());
  EXPECT_EQ(2, Disp.AddDataTrigger("RING", false));
  EXPECT_EQ(3, Disp.AddStatusTrigger(stModem));

  EXPECT_EQ(ecTriggerTooLong,
            Disp.AddDataTrigger(std::string(DataTriggerSlots + 1, 'x').c_str(), false));
  EXPECT_EQ(4, Disp.AddDataTrigger(std::string(DataTriggerSlots, 'x').c_str(), false));
  EXPECT_EQ(ecBadArgument, Disp.AddDataTrigger("", false));
  EXPECT_EQ(ecBadArgument, Disp.AddDataTrigger(nullptr, false));
  EXPECT_EQ(ecBadArgument, Disp.AddStatusTrigger(stOutSent + 1));
  EXPECT_EQ(ecBadArgument, Disp.AddStatusTrigger(-1));

  EXPECT_EQ(ecBadTriggerHandle, Disp.SetTimerTrigger(2, 1, true));  // a data trigger
  EXPECT_EQ(ecBadTriggerHandle, Disp.SetStatusTrigger(1, 0, true)); // a timer trigger
  EXPECT_EQ(ecBadArgument, Disp.SetTimerTrigger(1, MaxTimerTicks + 1, true));
  EXPECT_EQ(ecOK, Disp.SetTimerTrigger(1, MaxTimerTicks, true));
  EXPECT_EQ(ecOK, Disp.SetStatusTrigger(3, 0x8080, true));

  EXPECT_EQ(ecOK, Disp.RemoveTrigger(2));
  EXPECT_EQ(ecBadTriggerHandle, Disp.RemoveTrigger(2));
  EXPECT_EQ(ecBadTriggerHandle, Disp.RemoveTrigger(99));
  EXPECT_EQ(5, Disp.AddTimerTrigger()); // handles are not reused

  // Each list is bounded.
  int32_t Last = 0;
  for (int I = 2; I < MaxTriggersPerList; ++I) { // two timers exist
    Last = Disp.AddTimerTrigger();
    ASSERT_GT(Last, 0) << "timer trigger " << I;
  }
  EXPECT_EQ(ecNoMoreTriggers, Disp.AddTimerTrigger());
  EXPECT_GT(Disp.AddStatusTrigger(stLine), Last); // the other lists are not full
  EXPECT_EQ(ecOK, Disp.RemoveTrigger(Last));
  EXPECT_GT(Disp.AddTimerTrigger(), 0);

  Disp.ClearTriggers();
  EXPECT_EQ(ecBadTriggerHandle, Disp.RemoveTrigger(3));
  EXPECT_EQ(1, Disp.AddDataTrigger("OK", true));
}

TEST(AwUserTriggersTest, SavedTriggersComeBackAndNewHandlesDoNotRepeatThem) {
  TProbeDispatcher Disp;
  Disp.SetAvailThreshold(7);
  const int32_t Timer = Disp.AddTimerTrigger();
  const int32_t Data = Disp.AddDataTrigger("Ring", true);
  const int32_t Status = Disp.AddStatusTrigger(stLine);
  ASSERT_EQ(ecOK, Disp.SetTimerTrigger(Timer, 100, true));
  ASSERT_EQ(ecOK, Disp.SetStatusTrigger(Status, 0x0004, true));

  TApdSavedTriggers Saved;
  Saved.TimerTriggers.emplace(3); // whatever it held goes first
  Disp.SaveTriggers(Saved);
  EXPECT_EQ(7, Saved.AvailThreshold);
  ASSERT_TRUE(Saved.TimerTriggers && Saved.DataTriggers && Saved.StatusTriggers);
  ASSERT_EQ(1u, Saved.TimerTriggers->size());
  EXPECT_EQ(Timer, (*Saved.TimerTriggers)[0].Handle);
  EXPECT_TRUE((*Saved.TimerTriggers)[0].Active);
  ASSERT_EQ(1u, Saved.DataTriggers->size());
  EXPECT_EQ(4, (*Saved.DataTriggers)[0].Length);
  EXPECT_STREQ("RING", (*Saved.DataTriggers)[0].Text); // kept in upper case for the matcher
  EXPECT_EQ(1, (*Saved.DataTriggers)[0].IgnoreCase);
  ASSERT_EQ(1u, Saved.StatusTriggers->size());
  EXPECT_EQ(stLine, (*Saved.StatusTriggers)[0].Type);
  EXPECT_EQ(0x0004, (*Saved.StatusTriggers)[0].Value);
  EXPECT_TRUE((*Saved.StatusTriggers)[0].Armed);

  // As across a reopen: the triggers are cleared, then the saved ones come back.
  Disp.ClearTriggers();
  EXPECT_EQ(ecBadTriggerHandle, Disp.RemoveTrigger(Data));
  Disp.RestoreTriggers(Saved);
  TApdSavedTriggers Again;
  Disp.SaveTriggers(Again);
  EXPECT_EQ(7, Again.AvailThreshold);
  ASSERT_EQ(1u, Again.DataTriggers->size());
  EXPECT_EQ(0, std::memcmp(&(*Saved.DataTriggers)[0], &(*Again.DataTriggers)[0],
                           sizeof(TApdDataTrigger)));
  const int32_t Fresh = Disp.AddTimerTrigger();
  EXPECT_GT(Fresh, Status);
  EXPECT_EQ(ecOK, Disp.RemoveTrigger(Timer));
  EXPECT_EQ(ecOK, Disp.RemoveTrigger(Fresh));

  // The saved copies are the port's own: changing the dispatcher leaves them alone.
  EXPECT_EQ(1u, Saved.TimerTriggers->size());

  // A list that was never saved restores as empty.
  TApdSavedTriggers OnlyData;
  OnlyData.DataTriggers = Saved.DataTriggers;
  Disp.RestoreTriggers(OnlyData);
  EXPECT_EQ(ecBadTriggerHandle, Disp.RemoveTrigger(Status));
  EXPECT_EQ(ecOK, Disp.RemoveTrigger(Data));

  TApdBaseDispatcher::FreeSavedTriggers(Saved);
  EXPECT_FALSE(Saved.TimerTriggers || Saved.DataTriggers || Saved.StatusTriggers);
}

// ---------------------------------------------------------------------------------------
// Timer and status evaluation, called directly (no worker threads)

TEST(AwUserTriggersTest, TimersFireOnceAlsoAcrossTheClockWrap) {
  TFakeClock Clock(1000);
  TProbeDispatcher Disp;
  const int32_t Timer = Disp.AddTimerTrigger();
  const int32_t Idle = Disp.AddTimerTrigger(); // never set: never fires
  ASSERT_GT(Idle, 0);

  // Without handlers a firing trigger sends nothing and lets the evaluation go on.
  ASSERT_EQ(ecOK, Disp.SetTimerTrigger(Timer, 10, true));
  FakeTicks.store(1011);
  EXPECT_TRUE(Disp.CheckTimerTriggers());
  EXPECT_FALSE(Disp.CheckTimerTriggers());

  TRecorder Got;
  int Marker = 0;
  Disp.RegisterMethodHandler(
      &Marker,
      [&Got](uint32_t Msg, uintptr_t W, intptr_t L) {
        Got.Add({"m", Msg, W, L, ""});
      },
      false);

  ASSERT_EQ(ecOK, Disp.SetTimerTrigger(Timer, 10, true));
  FakeTicks.store(1021);
  EXPECT_FALSE(Disp.CheckTimerTriggers()); // at the expiry tick, not past it
  EXPECT_TRUE(Got.List().empty());
  FakeTicks.store(1022);
  EXPECT_TRUE(Disp.CheckTimerTriggers());
  ASSERT_EQ(1u, Got.List().size());
  const TNotice Notice = Got.List()[0];
  EXPECT_EQ(ApwTriggerTimer, Notice.Msg);
  EXPECT_EQ(static_cast<uintptr_t>(Timer), Notice.WParam);
  EXPECT_EQ(0u, LowWord(Notice.LParam));
  EXPECT_EQ(Disp.DispatcherHandle(), HighWord(Notice.LParam));
  FakeTicks.store(5000);
  EXPECT_FALSE(Disp.CheckTimerTriggers()); // fired once, stays inactive
  EXPECT_EQ(1u, Got.List().size());

  // Started four ticks before the counter wraps, for ten ticks: it runs out six ticks
  // after the wrap, not half a wrap later.
  FakeTicks.store(TicksPerWrap - 4);
  ASSERT_EQ(ecOK, Disp.SetTimerTrigger(Timer, 10, true));
  FakeTicks.store(TicksPerWrap - 1);
  EXPECT_FALSE(Disp.CheckTimerTriggers());
  FakeTicks.store(2);
  EXPECT_FALSE(Disp.CheckTimerTriggers());
  FakeTicks.store(7);
  EXPECT_TRUE(Disp.CheckTimerTriggers());
  EXPECT_EQ(2u, Got.Count("m", ApwTriggerTimer, static_cast<uintptr_t>(Timer)));
  EXPECT_EQ(0u, Got.Count("m", ApwTriggerTimer, static_cast<uintptr_t>(Idle)));

  // A removed handler hears nothing more.
  Disp.RemoveMethodHandler(&Marker);
  ASSERT_EQ(ecOK, Disp.SetTimerTrigger(Timer, 0, true));
  FakeTicks.store(100);
  EXPECT_TRUE(Disp.CheckTimerTriggers());
  EXPECT_EQ(2u, Got.List().size());
}

TEST(AwUserTriggersTest, AHandlerThatThrowsDoesNotLeaveTheNoticeOpen) {
  TFakeClock Clock(50);
  TProbeDispatcher Disp;
  int Marker = 0, Calls = 0;
  Disp.RegisterMethodHandler(
      &Marker,
      [&Calls](uint32_t, uintptr_t, intptr_t) {
        if (++Calls == 1) {
          throw std::runtime_error("handler failed");
        }
      },
      false);
  const int32_t Timer = Disp.AddTimerTrigger();
  ASSERT_EQ(ecOK, Disp.SetTimerTrigger(Timer, 0, true));
  FakeTicks.store(51);
  EXPECT_THROW(Disp.CheckTimerTriggers(), std::runtime_error);
  EXPECT_FALSE(Disp.InDispatch());
  // Evaluation and removal work as before.
  ASSERT_EQ(ecOK, Disp.SetTimerTrigger(Timer, 0, true));
  FakeTicks.store(52);
  EXPECT_TRUE(Disp.CheckTimerTriggers());
  EXPECT_EQ(2, Calls);
  Disp.RemoveMethodHandler(&Marker);
  ASSERT_EQ(ecOK, Disp.SetTimerTrigger(Timer, 0, true));
  FakeTicks.store(53);
  EXPECT_TRUE(Disp.CheckTimerTriggers());
  EXPECT_EQ(2, Calls);
}

TEST(AwUserTriggersTest, StatusTriggersFireOnceAndAModemMaskOfZeroNever) {
  TProbeDispatcher Disp; // not open: the modem status byte is all zero
  TRecorder Got;
  int Marker = 0;
  Disp.RegisterMethodHandler(
      &Marker,
      [&Got](uint32_t Msg, uintptr_t W, intptr_t L) {
        Got.Add({"m", Msg, W, L, ""});
      },
      false);

  const int32_t NoMask = Disp.AddStatusTrigger(stModem);
  const int32_t Dcd = Disp.AddStatusTrigger(stModem);
  const int32_t DcdLow = Disp.AddStatusTrigger(stModem);
  const int32_t Inactive = Disp.AddStatusTrigger(stNotActive);
  const int32_t Sent = Disp.AddStatusTrigger(stOutSent);
  const int32_t Line = Disp.AddStatusTrigger(stLine);
  ASSERT_EQ(ecOK, Disp.SetStatusTrigger(NoMask, 0x00FF, true)); // every level differs
  ASSERT_EQ(ecOK, Disp.SetStatusTrigger(Dcd, 0x8080, true));    // expects DCD high
  ASSERT_EQ(ecOK, Disp.SetStatusTrigger(DcdLow, 0x8000, true)); // expects DCD low: as it is
  ASSERT_EQ(ecOK, Disp.SetStatusTrigger(Inactive, 0xFFFF, true));
  ASSERT_EQ(ecOK, Disp.SetStatusTrigger(Sent, 0, true));
  ASSERT_EQ(ecOK, Disp.SetStatusTrigger(Line, 0x0004, true)); // parity errors

  EXPECT_TRUE(Disp.CheckStatusTriggers());
  EXPECT_FALSE(Disp.CheckStatusTriggers());
  Disp.ResetStatusHits();
  EXPECT_FALSE(Disp.CheckStatusTriggers()); // fired once: disarmed
  ASSERT_EQ(1u, Got.List().size());
  EXPECT_EQ(ApwTriggerStatus, Got.List()[0].Msg);
  EXPECT_EQ(static_cast<uintptr_t>(Dcd), Got.List()[0].WParam);
  EXPECT_EQ(Disp.DispatcherHandle(), HighWord(Got.List()[0].LParam));

  // A framing error is not what the line trigger waits for; a parity error is.
  Disp.InjectLineErrors(0x08);
  Disp.RefreshLineErrors();
  EXPECT_FALSE(Disp.CheckStatusTriggers());
  Disp.InjectLineErrors(0x04);
  Disp.RefreshLineErrors();
  EXPECT_TRUE(Disp.CheckStatusTriggers());
  EXPECT_EQ(1u, Got.Count("m", ApwTriggerStatus, static_cast<uintptr_t>(Line)));
  TApdSavedTriggers Saved;
  Disp.SaveTriggers(Saved);
  for (const auto& Trigger : *Saved.StatusTriggers) {
    if (Trigger.Handle == Line) {
      EXPECT_EQ(0x000C, Trigger.Value); // the errors seen when it fired
      EXPECT_FALSE(Trigger.Armed);
    }
  }
  EXPECT_EQ(3, Disp.LineErrorCode()); // parity comes before framing

  // Re-armed, it fires again; the others stay quiet.
  ASSERT_EQ(ecOK, Disp.SetStatusTrigger(Dcd, 0x8080, true));
  Disp.ResetStatusHits();
  EXPECT_TRUE(Disp.CheckStatusTriggers());
  EXPECT_FALSE(Disp.CheckStatusTriggers());
  EXPECT_EQ(2u, Got.Count("m", ApwTriggerStatus, static_cast<uintptr_t>(Dcd)));
  for (int32_t Quiet : {NoMask, DcdLow, Inactive, Sent}) {
    EXPECT_EQ(0u, Got.Count("m", ApwTriggerStatus, static_cast<uintptr_t>(Quiet))) << Quiet;
  }
}

// ---------------------------------------------------------------------------------------
// Over a pseudo-terminal with the worker threads

// The dispatcher, with a look at its device's input queue.
class TTriggerDispatcher : public TProbeDispatcher {
public:
  // The workers end before any part of the object goes.
  ~TTriggerDispatcher() override { DestroyDispatcher(); }
  int DeviceInQueue() { return FDevice.InQueue(); }
};

class AwUserTriggersPortTest : public ::testing::Test {
protected:
  void SetUp() override {
    Disp = std::make_unique<TTriggerDispatcher>();
    ASSERT_EQ(0, Disp->OpenPort(Pty.SlavePath.c_str(), 9600, 0, 8, 1, 4096, 4096,
                                opDtrLevel | opRtsLevel));
  }
  void TearDown() override {
    // Notices still under way (after a failed assertion) must not reach the test's state.
    TearingDown.store(true);
    Disp.reset(); // waits for the workers, pumping
    for (Platform::TWindowHandle Window : Windows) {
      Platform::DestroyWindow(Window);
    }
  }

  using THandler = std::function<void(uint32_t Msg, uintptr_t WParam, intptr_t LParam)>;

  // A hidden window of the test thread whose notices go to Handler.
  Platform::TWindowHandle MakeWindow(THandler Handler) {
    const Platform::TWindowHandle Window =
        Platform::CreateHiddenWindow([this, Handler](Platform::TWindowHandle, uint32_t Msg,
                                                     uintptr_t W, intptr_t L) -> intptr_t {
          if (TearingDown.load()) {
            return 0;
          }
          if (Msg == ApwTriggerTimer && GateHandle != 0 &&
              W == static_cast<uintptr_t>(GateHandle)) {
            PassGate();
          } else if (Msg == ApwTriggerTimer && W == static_cast<uintptr_t>(LastGate)) {
            // The gate's notice reaching another window.
          } else if (Msg >= ApwTriggerAvail && Msg <= ApwTriggerStatus) {
            Handler(Msg, W, L);
          }
          return 0;
        });
    EXPECT_NE(0u, Window);
    Windows.push_back(Window);
    return Window;
  }

  // A method handler, keyed by Object, that hears nothing once the test is over.
  void AddMethod(const void* Object, THandler Handler, bool OnMainThread) {
    Disp->RegisterMethodHandler(
        Object,
        [this, Handler](uint32_t Msg, uintptr_t W, intptr_t L) {
          if (!TearingDown.load()) {
            Handler(Msg, W, L);
          }
        },
        OnMainThread);
  }

  // The usual set-up of the port: its window, and event handlers behind it.
  Platform::TWindowHandle PortWindow(THandler Handler) {
    const Platform::TWindowHandle Window = MakeWindow(std::move(Handler));
    Disp->RegisterWindowHandler(Window);
    Disp->RefreshHandlerFlags(1);
    return Window;
  }

  // Sends Text so that the dispatcher reads all of it at once, whatever the pseudo-terminal
  // would do: it is written while the dispatch thread waits for a timer notice, and that
  // notice ends only when the device has all of it.
  void SendInOnePiece(const std::string& Text) {
    GateText = Text;
    GateHandle = Disp->AddTimerTrigger();
    ASSERT_GT(GateHandle, 0);
    ASSERT_EQ(ecOK, Disp->SetTimerTrigger(GateHandle, 0, true));
    ASSERT_TRUE(PumpUntil([&] { return GateHandle == 0; }));
  }
  void PassGate() {
    const int32_t Handle = GateHandle;
    GateHandle = 0;
    LastGate = Handle;
    Pty.Send(GateText);
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(PatienceMs);
    while (Disp->DeviceInQueue() < static_cast<int>(GateText.size()) &&
           std::chrono::steady_clock::now() < Deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(static_cast<int>(GateText.size()), Disp->DeviceInQueue());
    EXPECT_EQ(ecOK, Disp->RemoveTrigger(Handle));
  }

  std::string Take(uint32_t Count) {
    std::string Data(Count, '\0');
    Data.resize(Disp->GetBlock(Data.data(), Count));
    return Data;
  }
  std::string Peek() {
    std::string Data(DispatchBufferSize, '\0');
    Data.resize(Disp->PeekBlock(Data.data(), DispatchBufferSize));
    return Data;
  }

  TNoLockFiles NoLocks;
  TPty Pty;
  std::unique_ptr<TTriggerDispatcher> Disp;
  std::vector<Platform::TWindowHandle> Windows;
  TRecorder Got;
  std::atomic<bool> TearingDown{false};
  int32_t GateHandle = 0; // main thread only
  int32_t LastGate = 0;
  std::string GateText;
};

TEST_F(AwUserTriggersPortTest, DataTriggersMatchReceivedTextAsTheMatcherDoes) {
  PortWindow([this](uint32_t Msg, uintptr_t W, intptr_t L) {
    Got.Add({"w", Msg, W, L, Msg == ApwTriggerData ? Peek() : ""});
  });
  struct TCase {
    std::string Text, Input;
    size_t Matches;
  };
  for (const TCase& Case : {TCase{"aab", "aaab", 1}, TCase{"aa", "aaa", 2},
                            TCase{"abab", "ababab", 1}, TCase{"ring", "xRiNg ring", 1}}) {
    SCOPED_TRACE(Case.Text + " in " + Case.Input);
    Got.Clear();
    const int32_t Trigger = Disp->AddDataTrigger(Case.Text.c_str(), false);
    const int32_t End = Disp->AddDataTrigger("Z", false); // everything before it was scanned
    ASSERT_GT(Trigger, 0);
    ASSERT_GT(End, 0);
    Pty.Send(Case.Input + "Z");
    ASSERT_TRUE(PumpUntil([&] { return Got.Count("w", ApwTriggerData, End) == 1; }));

    const std::vector<TNotice> List = Got.List();
    ASSERT_EQ(Case.Matches + 1, List.size());
    for (size_t I = 0; I < List.size(); ++I) {
      const bool Last = I + 1 == List.size();
      EXPECT_EQ(ApwTriggerData, List[I].Msg);
      EXPECT_EQ(static_cast<uintptr_t>(Last ? End : Trigger), List[I].WParam);
      EXPECT_EQ(Last ? 1u : Case.Text.size(), LowWord(List[I].LParam));
      EXPECT_EQ(Disp->DispatcherHandle(), HighWord(List[I].LParam));
    }
    // Nobody took anything: the whole input is still there, in order.
    EXPECT_EQ(Case.Input + "Z", List.back().Data);
    EXPECT_EQ(Case.Input.size() + 1, Take(DispatchBufferSize).size());
    EXPECT_EQ(ecOK, Disp->RemoveTrigger(Trigger));
    EXPECT_EQ(ecOK, Disp->RemoveTrigger(End));
  }
}

TEST_F(AwUserTriggersPortTest, DataBeforeAMatchIsAnnouncedFirst) {
  PortWindow([this](uint32_t Msg, uintptr_t W, intptr_t L) {
    // Takes what is announced, and the matched text.
    const uint32_t Count = Msg == ApwTriggerAvail ? static_cast<uint32_t>(W) : LowWord(L);
    Got.Add({"w", Msg, W, L, Take(Count)});
  });
  Disp->SetAvailThreshold(5);
  const int32_t Hash = Disp->AddDataTrigger("#", false);
  const int32_t Ok = Disp->AddDataTrigger("OK\r", true);

  SendInOnePiece("hello#");
  ASSERT_TRUE(PumpUntil([&] { return Got.Count("w", ApwTriggerData, Hash) == 1; }));
  std::vector<TNotice> List = Got.List();
  ASSERT_EQ(2u, List.size());
  EXPECT_EQ(ApwTriggerAvail, List[0].Msg);
  EXPECT_EQ(5u, List[0].WParam);
  EXPECT_EQ(0u, LowWord(List[0].LParam));
  EXPECT_EQ(Disp->DispatcherHandle(), HighWord(List[0].LParam));
  EXPECT_EQ("hello", List[0].Data);
  EXPECT_EQ(ApwTriggerData, List[1].Msg);
  EXPECT_EQ("#", List[1].Data);
  EXPECT_EQ(1u, LowWord(List[1].LParam));

  // Fewer bytes before the match than the threshold: only the match is notified.
  Got.Clear();
  SendInOnePiece("a ok\r");
  ASSERT_TRUE(PumpUntil([&] { return Got.Count("w", ApwTriggerData, Ok) == 1; }));
  List = Got.List();
  ASSERT_EQ(1u, List.size());
  EXPECT_EQ(3u, LowWord(List[0].LParam));
  EXPECT_EQ("a o", List[0].Data); // the handler took three bytes from the first unread one
  EXPECT_EQ(2u, Disp->InputUsed());
  EXPECT_EQ("k\r", Take(10));
}

TEST_F(AwUserTriggersPortTest, EveryHandlerOfANoticeSeesTheSameDataAndTheMostTakenGoes) {
  TRecorder Threads;
  const uint64_t MainThread = Platform::CurrentThreadId();
  int OnWorker = 0, OnMain = 0;
  AddMethod(
      &OnWorker,
      [&](uint32_t Msg, uintptr_t W, intptr_t L) {
        Got.Add({"worker", Msg, W, L, Take(2)});
        Threads.Add({Platform::CurrentThreadId() == MainThread ? "main" : "other", 0, 0, 0, ""});
      },
      false);
  AddMethod(
      &OnMain,
      [&](uint32_t Msg, uintptr_t W, intptr_t L) {
        Got.Add({"main", Msg, W, L, Take(3)});
        Threads.Add({Platform::CurrentThreadId() == MainThread ? "main" : "other", 0, 0, 0, ""});
      },
      true);
  PortWindow([this](uint32_t Msg, uintptr_t W, intptr_t L) {
    Got.Add({"w", Msg, W, L, Take(static_cast<uint32_t>(W))});
  });
  Disp->SetAvailThreshold(5);

  Pty.Send("hello");
  ASSERT_TRUE(PumpUntil([&] { return Got.List().size() == 3; }));
  Pty.Send("world");
  ASSERT_TRUE(PumpUntil([&] { return Got.List().size() == 6; }));

  const std::vector<TNotice> List = Got.List();
  const char* Expected[] = {"he", "hel", "hello", "wo", "wor", "world"};
  const char* Who[] = {"worker", "main", "w"};
  for (size_t I = 0; I < 6; ++I) {
    EXPECT_EQ(Who[I % 3], List[I].Who) << I; // methods, then procedures, then windows
    EXPECT_EQ(ApwTriggerAvail, List[I].Msg) << I;
    EXPECT_EQ(5u, List[I].WParam) << I;
    EXPECT_EQ(Expected[I], List[I].Data) << I;
  }
  const std::vector<TNotice> Where = Threads.List();
  ASSERT_EQ(4u, Where.size());
  EXPECT_EQ("other", Where[0].Who);
  EXPECT_EQ("main", Where[1].Who);
  EXPECT_EQ(0u, Disp->InputUsed());
}

TEST_F(AwUserTriggersPortTest, BytesTakenBeyondAMatchAreNeitherMatchedNorAnnouncedAgain) {
  // The match handler takes everything there is, also past the matched text.
  PortWindow([this](uint32_t Msg, uintptr_t W, intptr_t L) {
    Got.Add({"w", Msg, W, L,
             Take(Msg == ApwTriggerAvail ? static_cast<uint32_t>(W) : DispatchBufferSize)});
  });
  Disp->SetAvailThreshold(1);
  const int32_t Hash = Disp->AddDataTrigger("#", false);
  const int32_t C = Disp->AddDataTrigger("c", false);
  const int32_t End = Disp->AddDataTrigger("Z", false);

  SendInOnePiece("ab#cd");
  ASSERT_TRUE(PumpUntil([&] { return Got.Count("w", ApwTriggerData, Hash) == 1; }));
  Pty.Send("Z");
  ASSERT_TRUE(PumpUntil([&] { return Got.Count("w", ApwTriggerData, End) == 1; }));

  std::string TakenAtHash;
  size_t Taken = 0;
  for (const TNotice& Notice : Got.List()) {
    if (Notice.Msg == ApwTriggerAvail) {
      EXPECT_LE(Notice.WParam, 6u) << "announced more than ever arrived";
    }
    if (Notice.Msg == ApwTriggerData && Notice.WParam == static_cast<uintptr_t>(Hash)) {
      TakenAtHash = Notice.Data;
    }
    Taken += Notice.Data.size();
  }
  EXPECT_EQ(0u, TakenAtHash.rfind("#", 0)) << TakenAtHash;
  // A "c" the match handler took is gone; one that came later is matched as usual.
  const bool TookC = TakenAtHash.find('c') != std::string::npos;
  EXPECT_EQ(TookC ? 0u : 1u, Got.Count("w", ApwTriggerData, C)) << TakenAtHash;
  EXPECT_EQ(6u, Taken); // every byte once
}

TEST_F(AwUserTriggersPortTest, AnnouncedDataLeftUnreadIsNotAnnouncedAgainUntilMoreArrives) {
  bool TakeAll = false;
  PortWindow([&](uint32_t Msg, uintptr_t W, intptr_t L) {
    Got.Add({"w", Msg, W, L, TakeAll ? Take(static_cast<uint32_t>(W)) : ""});
  });
  Disp->SetAvailThreshold(2);
  const int32_t Tick = Disp->AddTimerTrigger();

  Pty.Send("xy");
  ASSERT_TRUE(PumpUntil([&] { return Got.List().size() == 1; }));
  // Let several passes of the dispatch thread go by: a timer that runs out two ticks on.
  ASSERT_EQ(ecOK, Disp->SetTimerTrigger(Tick, 2, true));
  ASSERT_TRUE(PumpUntil([&] { return Got.Count("w", ApwTriggerTimer, Tick) == 1; }));
  TakeAll = true;
  Pty.Send("z");
  ASSERT_TRUE(PumpUntil([&] { return Got.Count("w", ApwTriggerAvail, 3) == 1; }));

  const std::vector<TNotice> List = Got.List();
  ASSERT_EQ(3u, List.size());
  EXPECT_EQ(ApwTriggerAvail, List[0].Msg);
  EXPECT_EQ(2u, List[0].WParam);
  EXPECT_EQ(ApwTriggerTimer, List[1].Msg);
  EXPECT_EQ("xyz", List[2].Data);
}

TEST_F(AwUserTriggersPortTest, StatusAndTimerTriggersFireOnceOnAnOpenPort) {
  PortWindow([this](uint32_t Msg, uintptr_t W, intptr_t L) { Got.Add({"w", Msg, W, L, ""}); });
  // A pseudo-terminal has no modem lines: every level reads low.
  const int32_t NoMask = Disp->AddStatusTrigger(stModem);
  const int32_t Dcd = Disp->AddStatusTrigger(stModem);
  const int32_t Free = Disp->AddStatusTrigger(stOutBuffFree);
  const int32_t Used = Disp->AddStatusTrigger(stOutBuffUsed);
  const int32_t Line = Disp->AddStatusTrigger(stLine);
  const int32_t Tick = Disp->AddTimerTrigger();
  ASSERT_EQ(ecOK, Disp->SetStatusTrigger(NoMask, 0x00F0, true));
  ASSERT_EQ(ecOK, Disp->SetStatusTrigger(Dcd, 0x8080, true));
  ASSERT_EQ(ecOK, Disp->SetStatusTrigger(Free, 100, true));
  ASSERT_EQ(ecOK, Disp->SetStatusTrigger(Used, 0, true));
  ASSERT_EQ(ecOK, Disp->SetStatusTrigger(Line, 0x0002, true));
  ASSERT_EQ(ecOK, Disp->SetTimerTrigger(Tick, 1, true));

  ASSERT_TRUE(PumpUntil([&] {
    return Got.Count("w", ApwTriggerStatus, Dcd) && Got.Count("w", ApwTriggerStatus, Free) &&
           Got.Count("w", ApwTriggerStatus, Used) && Got.Count("w", ApwTriggerTimer, Tick);
  }));
  Disp->InjectLineErrors(0x02); // an overrun
  ASSERT_TRUE(PumpUntil([&] { return Got.Count("w", ApwTriggerStatus, Line) == 1; }));
  // More passes, to show nothing fires twice: the timer again, later.
  ASSERT_EQ(ecOK, Disp->SetTimerTrigger(Tick, 3, true));
  ASSERT_TRUE(PumpUntil([&] { return Got.Count("w", ApwTriggerTimer, Tick) == 2; }));

  EXPECT_EQ(0u, Got.Count("w", ApwTriggerStatus, NoMask));
  for (int32_t Once : {Dcd, Free, Used, Line}) {
    EXPECT_EQ(1u, Got.Count("w", ApwTriggerStatus, Once)) << Once;
  }
  for (const TNotice& Notice : Got.List()) {
    EXPECT_EQ(Disp->DispatcherHandle(), HighWord(Notice.LParam));
    const auto Handle = static_cast<int32_t>(Notice.WParam);
    const uint32_t Expected = Handle == Free ? 4096u : 0u; // the free count, else nothing
    EXPECT_EQ(Expected, LowWord(Notice.LParam)) << Handle;
  }
}

TEST_F(AwUserTriggersPortTest, ACountAboveSixteenBitsDoesNotSpillIntoTheHandle) {
  // A port opens with a dispatcher of its own.
  Disp.reset();
  Disp = std::make_unique<TTriggerDispatcher>();
  ASSERT_EQ(0, Disp->OpenPort(Pty.SlavePath.c_str(), 9600, 0, 8, 1, 4096, 70000,
                              opDtrLevel | opRtsLevel));
  PortWindow([this](uint32_t Msg, uintptr_t W, intptr_t L) { Got.Add({"w", Msg, W, L, ""}); });
  const int32_t Free = Disp->AddStatusTrigger(stOutBuffFree);
  ASSERT_EQ(ecOK, Disp->SetStatusTrigger(Free, 0, true));
  ASSERT_TRUE(PumpUntil([&] { return Got.Count("w", ApwTriggerStatus, Free) == 1; }));
  EXPECT_EQ(70000u, Disp->OutputFree());
  const TNotice Notice = Got.List()[0];
  EXPECT_EQ(0xFFFFu, LowWord(Notice.LParam));
  EXPECT_EQ(Disp->DispatcherHandle(), HighWord(Notice.LParam));
}

TEST_F(AwUserTriggersPortTest, HandlersRemovedDuringANoticeAreSkippedAndThenGone) {
  static TRecorder* ProcGot = nullptr;
  ProcGot = &Got;
  const TApdNotifyProc Proc = [](uint32_t Msg, uintptr_t W, intptr_t L) {
    ProcGot->Add({"p", Msg, W, L, ""});
  };
  Platform::TWindowHandle W1 = 0, W2 = 0, W3 = 0;
  int Marker = 0;
  // The method (on the dispatch thread) removes the second window before its turn.
  AddMethod(
      &Marker,
      [&](uint32_t Msg, uintptr_t W, intptr_t L) {
        Got.Add({"m", Msg, W, L, ""});
        if (Got.Count("m", Msg, W) == 1) {
          Disp->RemoveWindowHandler(W2);
        }
      },
      false);
  Disp->RegisterProcHandler(Proc);
  W1 = MakeWindow([&](uint32_t Msg, uintptr_t W, intptr_t L) {
    Got.Add({"w1", Msg, W, L, ""});
    Disp->RemoveWindowHandler(W1); // itself
    Disp->RemoveProcHandler(Proc); // already served in this notice
  });
  W2 = MakeWindow([&](uint32_t Msg, uintptr_t W, intptr_t L) { Got.Add({"w2", Msg, W, L, ""}); });
  W3 = MakeWindow([&](uint32_t Msg, uintptr_t W, intptr_t L) { Got.Add({"w3", Msg, W, L, ""}); });
  for (Platform::TWindowHandle Window : {W1, W2, W3}) {
    Disp->RegisterWindowHandler(Window);
  }
  Disp->RefreshHandlerFlags(1);
  const int32_t Tick = Disp->AddTimerTrigger();

  ASSERT_EQ(ecOK, Disp->SetTimerTrigger(Tick, 0, true));
  ASSERT_TRUE(PumpUntil([&] { return Got.Count("w3", ApwTriggerTimer, Tick) == 1; }));
  ASSERT_EQ(ecOK, Disp->SetTimerTrigger(Tick, 0, true));
  ASSERT_TRUE(PumpUntil([&] { return Got.Count("w3", ApwTriggerTimer, Tick) == 2; }));

  std::vector<std::string> Order;
  for (const TNotice& Notice : Got.List()) {
    Order.push_back(Notice.Who);
  }
  EXPECT_EQ(std::vector<std::string>({"m", "p", "w1", "w3", "m", "w3"}), Order);

  // Once gone, removing again finds nothing; the last window alone still gets notices
  // because the port has event handlers.
  Disp->RemoveWindowHandler(W1);
  Disp->RemoveMethodHandler(&Marker);
  ASSERT_EQ(ecOK, Disp->SetTimerTrigger(Tick, 0, true));
  ASSERT_TRUE(PumpUntil([&] { return Got.Count("w3", ApwTriggerTimer, Tick) == 3; }));
  EXPECT_EQ(7u, Got.List().size());
  ProcGot = nullptr;
}

TEST_F(AwUserTriggersPortTest, ClosingFromInsideAHandlerWaitsForTheDispatchThread) {
  std::atomic<bool> Closed{false};
  bool DeferredInside = false, RunningInside = false;
  std::string StillThere;
  Platform::TWindowHandle First = MakeWindow([&](uint32_t Msg, uintptr_t W, intptr_t L) {
    Got.Add({"first", Msg, W, L, ""});
    Disp->ClosePort();
    DeferredInside = Disp->CloseDeferred();
    RunningInside = Disp->ThreadsRunning();
    StillThere = Peek(); // the buffers outlive the close until the thread has ended
    Closed.store(true);
  });
  Platform::TWindowHandle Second = MakeWindow([&](uint32_t Msg, uintptr_t W, intptr_t L) {
    Got.Add({"second", Msg, W, L, ""});
  });
  Disp->RegisterWindowHandler(First);
  Disp->RegisterWindowHandler(Second);
  const int32_t Hash = Disp->AddDataTrigger("#", false);
  const int32_t Star = Disp->AddDataTrigger("*", false);

  SendInOnePiece("abc#*");
  ASSERT_TRUE(PumpUntil([&] { return Closed.load(); }));
  EXPECT_TRUE(DeferredInside);
  EXPECT_TRUE(RunningInside);
  EXPECT_EQ("abc#*", StillThere);
  ASSERT_TRUE(PumpUntil([&] { return !Disp->ThreadsRunning() && Disp->LiveThreads() == 0; }));

  // Delivery stopped after the handler that closed: neither the second window nor the next
  // match was served.
  const std::vector<TNotice> List = Got.List();
  ASSERT_EQ(1u, List.size());
  EXPECT_EQ("first", List[0].Who);
  EXPECT_EQ(static_cast<uintptr_t>(Hash), List[0].WParam);
  EXPECT_EQ(0u, Got.Count("first", ApwTriggerData, Star));
  EXPECT_FALSE(Disp->InDispatch());
  EXPECT_EQ(0u, Peek().size()); // released
}

} // namespace
