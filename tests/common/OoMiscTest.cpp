// Tests of the component tree, event slots, clock, tick timers, pump step and small tests.
#include "common/OoMisc.h"

#include "platform/Messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

using TLog = std::vector<std::string>;

size_t CountOf(const TLog& Log, const std::string& Line) {
  return static_cast<size_t>(std::count(Log.begin(), Log.end(), Line));
}

// Logs what happens to it; optionally frees FVictim when it hears that FTrigger went.
class TProbe : public TApdBaseComponent {
public:
  TProbe(TComponent* AOwner, TLog* ALog, const std::string& AName)
      : TApdBaseComponent(AOwner), FLog(ALog) {
    SetName(AName);
  }
  ~TProbe() override {
    FLog->push_back("destroy " + Name() +
                    (FlagIsSet(ComponentState(), csDestroying) ? "" : " plain"));
  }
  void Loaded() override {
    FLog->push_back("loaded " + Name() + (IsLoading() ? " loading" : ""));
    if (FThrowOnLoad) {
      throw std::runtime_error("load failed"); // and no base call
    }
    TApdBaseComponent::Loaded();
  }
  void Notification(TComponent* AComponent, TOperation Operation) override {
    FLog->push_back(Name() + (Operation == opInsert ? " insert " : " remove ") +
                    AComponent->Name());
    TApdBaseComponent::Notification(AComponent, Operation);
    if (FSpawn && Operation == opRemove && FlagIsSet(Owner()->ComponentState(), csDestroying)) {
      try {
        CreateComponent<TComponent>(Owner());
        FLog->push_back("spawned");
      } catch (const EComponentError&) {
        FLog->push_back("refused");
      }
    }
    if (Operation == opRemove && AComponent == FTrigger && FVictim != nullptr) {
      TComponent* Victim = std::exchange(FVictim, nullptr);
      Victim->Free();
    }
  }
  TLog* FLog;
  bool FThrowOnLoad = false;
  bool FSpawn = false; // tries to add to its dying owner
  TComponent* FTrigger = nullptr;
  TComponent* FVictim = nullptr;
};

struct TFakePort : TProbe {
  using TProbe::TProbe;
  bool FOpen = true;
};

// Holds its port like a device does and touches it when destroyed, so a stale reference
// shows under AddressSanitizer.
struct TFakeDevice : TProbe {
  using TProbe::TProbe;
  ~TFakeDevice() override {
    if (FPort != nullptr) {
      FPort->FOpen = false;
    }
  }
  void SetPort(TFakePort* APort) {
    FPort = APort;
    FPort->FreeNotification(this);
  }
  void Notification(TComponent* AComponent, TOperation Operation) override {
    TProbe::Notification(AComponent, Operation);
    if (Operation == opRemove && AComponent == FPort) {
      FPort = nullptr;
    } else if (auto* Port = dynamic_cast<TFakePort*>(AComponent); Port && !FPort) {
      SetPort(Port); // found on insertion only if the port is already complete
    }
  }
  TFakePort* FPort = nullptr;
};

struct TOwner : TComponent {
  explicit TOwner(TLog* ALog = nullptr) : FLog(ALog) {}
  void Loaded() override {
    FLog->push_back("loaded owner");
    TComponent::Loaded();
  }
  TLog* FLog;
};

TEST(OoMiscOwnership, OrderDestructionAndLeaving) {
  TLog Log;
  auto* Form = new TOwner;
  auto* A = CreateComponent<TProbe>(Form, &Log, "A");
  auto* B = CreateComponent<TProbe>(Form, &Log, "B");
  auto* C = CreateComponent<TProbe>(Form, &Log, "C");
  auto* D = CreateComponent<TProbe>(Form, &Log, "D");
  CreateComponent<TProbe>(D, &Log, "Inner");
  ASSERT_EQ(Form->ComponentCount(), 4);
  EXPECT_EQ(Form->Components(2), C);
  EXPECT_EQ(C->Owner(), Form);
  EXPECT_THROW(Form->Components(4), std::out_of_range);
  EXPECT_THROW(A->SetName("b"), EComponentError); // names are unique, any case
  EXPECT_EQ(Form->FindComponent("c"), C);

  B->Free(); // on its own: leaves, the others hear of it
  delete C;  // plain delete: the same, without csDestroying in the destructor
  EXPECT_EQ(Form->ComponentCount(), 2);
  EXPECT_EQ(Form->Components(1), D);
  EXPECT_EQ(CountOf(Log, "A remove B"), 1u);
  EXPECT_EQ(CountOf(Log, "D remove C"), 1u);
  EXPECT_EQ(CountOf(Log, "destroy C plain"), 1u);

  Log.clear();
  delete Form;
  TLog Destroyed;
  std::copy_if(Log.begin(), Log.end(), std::back_inserter(Destroyed),
               [](const std::string& L) { return L.rfind("destroy", 0) == 0; });
  // D's own destructor body runs before its base frees what D owns.
  EXPECT_EQ(Destroyed, (TLog{"destroy D", "destroy Inner", "destroy A"}));
  EXPECT_EQ(CountOf(Log, "A remove D"), 1u);
}

TEST(OoMiscOwnership, MovingBetweenOwners) {
  TLog Log;
  TOwner First, Second;
  CreateComponent<TProbe>(&First, &Log, "W1");
  CreateComponent<TProbe>(&Second, &Log, "W2");
  auto* Mover = CreateComponent<TProbe>(&First, &Log, "Mover");
  auto* Child = CreateComponent<TProbe>(Mover, &Log, "Child");
  Log.clear();
  Second.InsertComponent(Mover);
  EXPECT_EQ(Mover->Owner(), &Second);
  EXPECT_EQ(Log, (TLog{"W1 remove Mover", "Mover insert Mover", "Child insert Mover",
                       "W2 insert Mover"}));
  EXPECT_THROW(Child->InsertComponent(Mover), EComponentError); // no cycles
  Second.RemoveComponent(Mover);
  EXPECT_EQ(Mover->Owner(), nullptr);
  delete Mover;
}

TEST(OoMiscNotification, InsertSeesTheFinishedObjectAndRemoveClears) {
  TLog Log;
  TOwner Form;
  auto* Device = CreateComponent<TFakeDevice>(&Form, &Log, "Phone");
  auto* Port = CreateComponent<TFakePort>(&Form, &Log, "PhoneCom");
  EXPECT_EQ(Device->FPort, Port);
  Port->Free();
  EXPECT_EQ(Device->FPort, nullptr);
  auto* Port2 = CreateComponent<TFakePort>(&Form, &Log, "Port2");
  ASSERT_EQ(Device->FPort, Port2);
  delete Port2;
  EXPECT_EQ(Device->FPort, nullptr);
}

TEST(OoMiscNotification, FreeNotificationBothDirectionsAndWithTheOwner) {
  TLog Log;
  auto* FormA = new TOwner;
  auto* FormB = new TOwner;
  auto* Device = CreateComponent<TFakeDevice>(FormA, &Log, "Phone");
  auto* Port = CreateComponent<TFakePort>(FormB, &Log, "PhoneCom");
  EXPECT_EQ(Device->FPort, nullptr) << "another owner's insertion is not announced";
  Device->SetPort(Port);
  delete Device; // touches its port, then the port hears of it
  EXPECT_FALSE(Port->FOpen);
  EXPECT_EQ(CountOf(Log, "PhoneCom remove Phone"), 1u);

  auto* Device2 = CreateComponent<TFakeDevice>(FormA, &Log, "Phone2");
  Device2->SetPort(Port);
  auto* Watcher = CreateComponent<TProbe>(FormA, &Log, "Watcher");
  Watcher->FreeNotification(Port);
  Watcher->RemoveFreeNotification(Port);
  FormB->Free(); // takes the port along
  EXPECT_EQ(Device2->FPort, nullptr);
  EXPECT_EQ(CountOf(Log, "Watcher remove PhoneCom"), 0u);
  delete FormA; // Device2's destructor must not reach the freed port
}

TEST(OoMiscNotification, HandlersFreeingComponentsDuringWalks) {
  TLog Log;
  auto* Form = new TOwner;
  auto* Early = CreateComponent<TProbe>(Form, &Log, "Early");
  auto* Trigger = CreateComponent<TProbe>(Form, &Log, "Trigger");
  auto* Reaper = CreateComponent<TProbe>(Form, &Log, "Reaper");
  // The walk runs last to first: the reaper frees Early before Early's turn.
  Reaper->FTrigger = Trigger;
  Reaper->FVictim = Early;
  Trigger->Free();
  EXPECT_EQ(CountOf(Log, "destroy Early"), 1u);
  EXPECT_EQ(CountOf(Log, "Early remove Trigger"), 0u);
  ASSERT_EQ(Form->ComponentCount(), 1);

  delete Form;

  // The same while the owner destroys its components; nothing may join it meanwhile.
  Form = new TOwner;
  auto* Victim = CreateComponent<TProbe>(Form, &Log, "V");
  Reaper = CreateComponent<TProbe>(Form, &Log, "Reaper");
  Reaper->FTrigger = CreateComponent<TProbe>(Form, &Log, "C");
  Reaper->FVictim = Victim;
  Reaper->FSpawn = true;
  Log.clear();
  Form->Free();
  EXPECT_EQ(Log, (TLog{"Reaper remove C", "refused", "Reaper remove V", "refused", "destroy V",
                       "destroy C", "destroy Reaper"}));
}

TEST(OoMiscLoading, StateDuringAndAfterLoading) {
  TLog Log;
  TOwner Form(&Log);
  auto* Before = CreateComponent<TProbe>(&Form, &Log, "Before");
  Form.BeginLoading();
  EXPECT_TRUE(FlagIsSet(Before->ComponentState(), csLoading));
  auto* Port = CreateComponent<TProbe>(&Form, &Log, "PhoneCom");
  auto* Phone = CreateComponent<TProbe>(&Form, &Log, "Phone");
  EXPECT_TRUE(Port->IsLoading() && Form.IsLoading());
  Form.BeginLoading(); // nested: only the outermost end loads
  Form.EndLoading();
  EXPECT_TRUE(Phone->IsLoading());
  Phone->FThrowOnLoad = true;
  Log.clear();
  EXPECT_THROW(Form.EndLoading(), std::runtime_error);
  EXPECT_EQ(Log, (TLog{"loaded Before loading", "loaded PhoneCom loading", "loaded Phone loading",
                       "loaded owner"}));
  EXPECT_FALSE(Before->IsLoading() || Port->IsLoading() || Phone->IsLoading() || Form.IsLoading());
  EXPECT_FALSE(CreateComponent<TProbe>(&Form, &Log, "After")->IsLoading());
  Log.clear();
  Form.EndLoading(); // unmatched: nothing
  EXPECT_TRUE(Log.empty());
}

TEST(OoMiscBase, VersionAndAssign) {
  TApdBaseComponent Target;
  Target.SetVersion("v9.99");
  EXPECT_EQ(Target.Version(), "v4.06");
  TLog Log;
  TProbe Source(nullptr, &Log, "");
  try {
    Target.Assign(&Source);
    FAIL() << "assigned without support";
  } catch (const EConvertError& E) {
    const std::string Text = E.what();
    EXPECT_EQ(Text.rfind("Cannot assign a ", 0), 0u) << Text;
    EXPECT_NE(Text.find("TProbe to a TApdBaseComponent"), std::string::npos) << Text;
  }
}

TEST(OoMiscEventSlot, UnassignedSkippedAssignedCalled) {
  TEventSlot<int(TObject*, int)> Compute;
  EXPECT_FALSE(Compute.Assigned());
  EXPECT_EQ(Compute(nullptr, 7), 0);
  TObject Sender;
  TObject* Seen = nullptr;
  Compute = [&Seen](TObject* S, int X) { return Seen = S, X * 2; };
  EXPECT_EQ(Compute(&Sender, 21), 42);
  EXPECT_EQ(Seen, &Sender);
  auto Copy = Compute;
  Compute = nullptr;
  EXPECT_FALSE(Compute.Assigned());
  EXPECT_EQ(Copy(nullptr, 5), 10);

  // A handler that clears its own slot keeps running on its own captured state.
  TNotifyEvent OnEvent;
  auto Big = std::make_shared<std::vector<int>>(100, 7);
  int Sum = 0;
  OnEvent = [&OnEvent, Big, &Sum](TObject*) {
    OnEvent = nullptr;
    Sum += (*Big)[99];
  };
  Big.reset();
  OnEvent(nullptr);
  EXPECT_EQ(Sum, 7);
  EXPECT_FALSE(OnEvent.Assigned());
}

TEST(OoMiscClock, MonotonicMilliseconds) {
  auto Ms = [] {
    timespec T{};
    clock_gettime(CLOCK_MONOTONIC, &T);
    return static_cast<uint32_t>(static_cast<uint64_t>(T.tv_sec) * 1000 + T.tv_nsec / 1000000);
  };
  const uint32_t Before = Ms(), Value = AdTimeGetTime(), After = Ms();
  EXPECT_LE(Value - Before, After - Before); // unsigned: right across a wrap too
  const uint32_t TickBefore = AdTimeGetTime() / 55, Tick = CurrentTicks();
  EXPECT_LE(Tick - TickBefore, AdTimeGetTime() / 55 - TickBefore);
}

std::atomic<uint32_t> FakeTick{0};
uint32_t ReadFakeTick() {
  return FakeTick.load();
}

class OoMiscTimer : public ::testing::Test {
protected:
  void SetUp() override { EXPECT_EQ(SetTickSource(&ReadFakeTick), nullptr); }
  void TearDown() override { EXPECT_EQ(SetTickSource(nullptr), &ReadFakeTick); }
  // Expiry seen at each of the ticks given.
  static std::vector<bool> Expiry(const TEventTimer& ET, std::initializer_list<uint32_t> Ticks) {
    std::vector<bool> Result;
    for (uint32_t T : Ticks) {
      FakeTick = T;
      Result.push_back(TimerExpired(ET));
    }
    return Result;
  }
};

TEST_F(OoMiscTimer, ExpiryAndClamp) {
  TEventTimer ET;
  FakeTick = 1000;
  NewTimer(ET, 18);
  EXPECT_EQ(ET.ExpireTicks, 1018u);
  EXPECT_EQ(TimerTicksRemaining(ET), 18u);
  EXPECT_EQ(Expiry(ET, {1000, 1018, 1019, 5000}), (std::vector<bool>{false, false, true, true}));
  EXPECT_EQ(TimerTicksElapsed(ET), 4000u);
  EXPECT_EQ(TimerTicksRemaining(ET), 0u);
  EXPECT_EQ(2 * MaxTimerTicks, TicksPerWrap);
  EXPECT_EQ(TicksPerWrap, 0xFFFFFFFFu / 55);
  FakeTick = 100;
  NewTimer(ET, 0xFFFFFFFF);
  EXPECT_EQ(ET.ExpireTicks, 100u + 39045157u);
  NewTimer(ET, 39045156);
  EXPECT_EQ(ET.ExpireTicks, 100u + 39045156u);
}

TEST_F(OoMiscTimer, ShortTimerAcrossTheWrap) {
  TEventTimer ET;
  FakeTick = TicksPerWrap - 4;
  NewTimer(ET, 20);
  FakeTick = 0;
  EXPECT_EQ(TimerTicksElapsed(ET), 4u);
  EXPECT_EQ(TimerTicksRemaining(ET), 16u);
  EXPECT_EQ(Expiry(ET, {TicksPerWrap, 0, 16, 17}), (std::vector<bool>{false, false, false, true}));
}

TEST_F(OoMiscTimer, DistantExpiryIsNotTakenForAWrap) {
  TEventTimer ET;
  FakeTick = 60000000; // longest timer, due well after the wrap
  NewTimer(ET, MaxTimerTicks);
  const uint32_t Due = 60000000 + MaxTimerTicks - TicksPerWrap;
  EXPECT_EQ(Expiry(ET, {TicksPerWrap, 0, Due - 1, Due, Due + 1}),
            (std::vector<bool>{false, false, false, false, true}));
  FakeTick = 100; // no wrap: simply early
  NewTimer(ET, MaxTimerTicks);
  EXPECT_EQ(Expiry(ET, {101, 39045257, 39045258}), (std::vector<bool>{false, false, true}));
  EXPECT_FALSE(TickTimerExpired(50000000, 50000000 + MaxTimerTicks, 10000000));
}

TEST(OoMiscPump, DispatchesAndHandsTheQuitBack) {
  std::vector<uint32_t> Seen; // on a thread of its own, so the quit stays there
  std::vector<bool> Steps;
  Platform::TMessage Left;
  static thread_local int HookCalls = 0;
  int WorkerHookCalls = 0;
  std::thread Worker([&] {
    EXPECT_EQ(SetYieldHook([] { ++HookCalls; }), nullptr);
    Platform::TWindowHandle Window = Platform::CreateHiddenWindow(
        [&Seen](Platform::TWindowHandle, uint32_t Msg, uintptr_t, intptr_t) -> intptr_t {
          Seen.push_back(Msg);
          return 0;
        });
    Steps.push_back(SafeYield());
    Platform::PostMessage(Window, Platform::WM_USER + 1, 0, 0);
    Platform::PostQuitMessage(3);
    Steps.push_back(SafeYield()); // the message
    Steps.push_back(SafeYield()); // the quit: posted again
    Platform::PeekMessage(Left, true);
    Platform::DestroyWindow(Window);
    WorkerHookCalls = HookCalls;
  });
  Worker.join();
  EXPECT_EQ(WorkerHookCalls, 3) << "once per step";
  SafeYield();
  EXPECT_EQ(HookCalls, 0) << "the hook belongs to the thread that set it";
  EXPECT_EQ(Steps, (std::vector<bool>{false, true, false}));
  EXPECT_EQ(Left.Message, Platform::WM_QUIT);
  EXPECT_EQ(Left.WParam, 3u);
  EXPECT_EQ(std::count(Seen.begin(), Seen.end(), Platform::WM_USER + 1), 1);
  EXPECT_EQ(std::count(Seen.begin(), Seen.end(), Platform::WM_QUIT), 0);
}

TEST(OoMiscSmall, FlagsAndFiles) {
  EXPECT_TRUE(FlagIsSet(0x0110, 0x0010));
  EXPECT_FALSE(FlagIsSet(0x0110, 0x0001));
  EXPECT_FALSE(FlagIsSet(0xFFFFFFFF, 0));
  namespace fs = std::filesystem;
  const fs::path Dir = fs::temp_directory_path() / ("oomisc-" + std::to_string(getpid()));
  fs::create_directories(Dir);
  std::ofstream(Dir / "CallerID.log") << "x";
  EXPECT_TRUE(ExistsFile((Dir / "CallerID.log").c_str()));
  EXPECT_FALSE(ExistsFile((Dir / "missing.log").c_str()));
  EXPECT_FALSE(ExistsFile(Dir.c_str())); // a folder is not a file
  EXPECT_FALSE(ExistsFile(""));
  EXPECT_FALSE(ExistsFile(nullptr));
  fs::remove_all(Dir);
}

} // namespace
