// AwUser's worker threads: the thread objects, starting and stopping the three workers,
// their priorities and their bodies (comm, dispatch, output).
#include "port/AwUser.h"

#include "common/AdExcept.h"
#include "common/OoMisc.h"
#include "platform/Log.h"

#include <algorithm>
#include <string>

namespace {

// The worker whose body runs on this thread, if any.
thread_local TApdDispatcherThread* CurrentWorker = nullptr;

// While a wait pumps, a worker's ending posts a wake-up; this only bounds a missed one.
constexpr uint32_t PumpBackstopMs = 20;

} // namespace

// ---------------------------------------------------------------------------------------
// Worker thread objects

TApdDispatcherThread::TApdDispatcherThread(TApdBaseDispatcher* Dispatcher) : H(Dispatcher) {
  FThread = std::make_unique<Platform::TThread>(
      [this](Platform::TThread&) {
        CurrentWorker = this;
        try {
          Execute();
        } catch (const std::exception& E) {
          // Execute() ends through ThreadEnded() on every path of its own; an exception
          // still has to leave the worker accounted for.
          Platform::Log(std::string("dispatcher thread: ") + E.what());
          H->ThreadEnded(this);
        } catch (...) {
          Platform::Log("dispatcher thread: unknown exception");
          H->ThreadEnded(this);
        }
      },
      true);
}

TApdDispatcherThread::~TApdDispatcherThread() {
  Join();
}

void TApdDispatcherThread::Start() {
  FThread->Start();
}

bool TApdDispatcherThread::Finished() const {
  return FThread->Finished();
}

void TApdDispatcherThread::Join() {
  if (FThread->Started()) {
    FThread->Join();
  }
}

bool TApdDispatcherThread::SetPriority(Platform::TThreadPriority Priority) {
  return FThread->SetPriority(Priority);
}

Platform::TThreadPriority TApdDispatcherThread::Priority() const {
  return FThread->Priority();
}

void TApdDispatcherThread::SyncNotify(uint32_t Msg, uintptr_t Trigger, intptr_t LParam,
                                      const TApdNotifyMethod& Method) {
  pMsg = Msg;
  pTrigger = Trigger;
  plParam = LParam;
  pMethod = &Method;
  FSyncError = nullptr;
  intptr_t Result = 0;
  Platform::SendMessageTimeout(H->FSyncWindow, SyncCallMessage, reinterpret_cast<uintptr_t>(this),
                               0, Platform::MessageWaitInfinite, &Result);
  pMethod = nullptr;
  if (FSyncError) {
    std::exception_ptr Error = FSyncError;
    FSyncError = nullptr;
    std::rethrow_exception(Error);
  }
}

// ---------------------------------------------------------------------------------------
// Priorities

namespace {

// A priority Steps above normal, within the platform's range.
Platform::TThreadPriority StepAbove(int Steps) {
  int Step = static_cast<int>(Platform::tpNormal) + Steps;
  return static_cast<Platform::TThreadPriority>(std::clamp(Step, 0, 6));
}

} // namespace

void TApdBaseDispatcher::SetRs485(bool On) {
  Platform::TCriticalSectionGuard Main(MainLock);
  FRs485On = On;
  std::lock_guard<std::mutex> End(FEndLock); // the worker objects stay while we use them
  if (TApdDispatcherThread* Out = OutputThread.load()) {
    Out->SetPriority(StepAbove(FBoostLevel + (On ? 1 : 0)));
  }
}

void TApdBaseDispatcher::ApplyThreadBoost(uint8_t Boost) {
  if (Boost == FBoostLevel) {
    return;
  }
  FBoostLevel = Boost;
  std::lock_guard<std::mutex> End(FEndLock);
  if (TApdDispatcherThread* Comm = CommThread.load()) {
    Comm->SetPriority(StepAbove(Boost));
  }
  if (TApdDispatcherThread* Disp = DispatchThread.load()) {
    Disp->SetPriority(StepAbove(Boost));
  }
  if (TApdDispatcherThread* Out = OutputThread.load()) {
    Out->SetPriority(StepAbove(Boost + (FRs485On ? 1 : 0)));
  }
}

// ---------------------------------------------------------------------------------------
// Starting and stopping the workers

void TApdBaseDispatcher::StartDispatcherThreads() {
  Platform::TCriticalSectionGuard Main(MainLock);
  if (FThreadsRunning.load()) {
    throw EAPDException("Dispatcher already started");
  }
  // Objects of an earlier run have left their loops; collect them.
  for (auto& Worker : FWorkers) {
    Worker.reset();
  }
  FThreadsRunning.store(true);
  KillFlag.store(false);

  auto Launch = [this](size_t Slot, std::unique_ptr<TApdDispatcherThread> Worker,
                       std::atomic<TApdDispatcherThread*>& Ref, int Steps) {
    TApdDispatcherThread* Raw = Worker.get();
    {
      std::lock_guard<std::mutex> End(FEndLock);
      FWorkers[Slot] = std::move(Worker);
      Ref.store(Raw);
    }
    Raw->SetPriority(StepAbove(Steps));
    Raw->Start();
    Platform::WaitForEvent(ThreadReady, ThreadStartWaitMs);
  };
  // All three are counted before the first runs: a comm thread that ends at once (its first
  // device wait failing) must not count itself the last worker and mark the dispatcher
  // stopped while the other two, not yet started, go on running with no one to stop them.
  constexpr int WorkerCount = 3;
  FLiveThreads.fetch_add(WorkerCount);
  int Started = 0;
  try {
    Launch(0, std::make_unique<TComThread>(this), CommThread, FBoostLevel);
    ++Started;
    Launch(1, std::make_unique<TDispThread>(this), DispatchThread, FBoostLevel);
    ++Started;
    Launch(2, std::make_unique<TOutThread>(this), OutputThread, FBoostLevel + (FRs485On ? 1 : 0));
  } catch (...) {
    // The workers that never started will not count themselves out.
    std::lock_guard<std::mutex> End(FEndLock);
    if (FLiveThreads.fetch_sub(WorkerCount - Started) == WorkerCount - Started) {
      FThreadsRunning.store(false);
    }
    throw;
  }
}

bool TApdBaseDispatcher::PumpUntil(const std::function<bool()>& Done, uint32_t TimeoutMs) {
  uint32_t Start = AdTimeGetTime();
  uint64_t Me = Platform::CurrentThreadId();
  uint64_t Previous = FStopperThreadId.exchange(Me);
  bool Result = true;
  while (!Done()) {
    if (SafeYield()) {
      continue;
    }
    uint32_t Wait = PumpBackstopMs;
    if (TimeoutMs != Platform::INFINITE) {
      uint32_t Elapsed = AdTimeGetTime() - Start;
      if (Elapsed >= TimeoutMs) {
        Result = Done();
        break;
      }
      Wait = std::min(Wait, TimeoutMs - Elapsed);
    }
    Platform::WaitMessage(Wait);
  }
  FStopperThreadId.store(Previous);
  return Result;
}

void TApdBaseDispatcher::WakeMainThread() {
  Platform::PostThreadMessage(FMainThreadId, Platform::WM_NULL, 0, 0);
  uint64_t Stopper = FStopperThreadId.load();
  if (Stopper != 0 && Stopper != FMainThreadId) {
    Platform::PostThreadMessage(Stopper, Platform::WM_NULL, 0, 0);
  }
}

void TApdBaseDispatcher::StopDispatcherThreads() {
  if (!FThreadsRunning.load()) {
    return;
  }
  // No lock is held while waiting: the workers take MainLock and BufferLock in their passes.
  KillFlag.store(true);
  WakeDispatchThread();
  // Stopping from inside a worker (the dispatch thread finishing a deferred close) must not
  // wait for itself.
  TApdDispatcherThread* Self = CurrentWorker;

  if (OutputThread.load() != nullptr && OutputThread.load() != Self) {
    SignalFlushRequest();
    PumpUntil([this] { return OutputThread.load() == nullptr; }, Platform::INFINITE);
  }
  if (CommThread.load() != nullptr && CommThread.load() != Self) {
    DeviceCancelWait();
    CommAck.Set();
    ThreadReady.Reset();
    PumpUntil([this] { return CommThread.load() == nullptr; }, Platform::INFINITE);
  }
  if (DispatchThread.load() != nullptr && DispatchThread.load() != Self) {
    KillFlag.store(true);
    auto Ended = [this] { return DispatchThread.load() == nullptr; };
    if (!PumpUntil(Ended, StopWaitTicks * 55)) {
      CommEvent.Set();
      PumpUntil(Ended, StopWaitTicks * 55);
    }
    // A dispatch thread that is still running (a handler that does not return) is left to
    // end on its own; the buffers and the object stay until it has.
  }
}

void TApdBaseDispatcher::ThreadEnded(TApdDispatcherThread* Thread) {
  bool WasDispatch = false;
  {
    std::lock_guard<std::mutex> End(FEndLock);
    TApdDispatcherThread* Expected = Thread;
    CommThread.compare_exchange_strong(Expected, nullptr);
    Expected = Thread;
    WasDispatch = DispatchThread.compare_exchange_strong(Expected, nullptr);
    Expected = Thread;
    OutputThread.compare_exchange_strong(Expected, nullptr);
  }
  if (WasDispatch && ReleasePending.load()) {
    ReleaseBuffers();
    ReleasePending.store(false);
  }
  std::optional<TEndNotice> Notice;
  {
    std::lock_guard<std::mutex> End(FEndLock);
    if (FLiveThreads.fetch_sub(1) == 1) {
      FThreadsRunning.store(false);
      Notice.swap(FEndNotice);
    }
  }
  if (Notice) {
    Platform::PostMessage(Notice->Window, Notice->Message, 0, Notice->LParam);
  }
  WakeMainThread();
}

void TApdBaseDispatcher::PostWhenThreadsEnded(Platform::TWindowHandle Window, uint32_t Message,
                                              intptr_t LParam) {
  {
    std::lock_guard<std::mutex> End(FEndLock);
    if (FThreadsRunning.load()) {
      FEndNotice = TEndNotice{Window, Message, LParam};
      return;
    }
  }
  Platform::PostMessage(Window, Message, 0, LParam);
}

// ---------------------------------------------------------------------------------------
// Worker bodies

void TComThread::Execute() {
  H->ThreadReady.Set();
  for (;;) {
    if (!H->DeviceWaitEvent(H->EventMask)) {
      break; // cancelled by the stop sequence, or the device failed
    }
    if (H->EventMask.load() & (0x2000u | Platform::seRing)) {
      H->RingSeen.store(true);
    }
    if (H->KillFlag.load()) {
      break;
    }
    H->CommEvent.Set();
    Platform::WaitForEvent(H->CommAck);
    if (H->KillFlag.load()) {
      break;
    }
  }
  H->ThreadReady.Set();
  H->ThreadEnded(this);
}

void TDispThread::Execute() {
  H->ThreadReady.Set();
  for (;;) {
    uint32_t Which = Platform::WaitForEvents(H->CommEvent, H->PassWake, false, H->NextPassWait());
    H->FEventPass = Which == Platform::wrObject0;
    if (H->KillFlag.load()) {
      // The thread stopping us frees the buffers itself.
      H->ThreadEnded(this);
      return;
    }
    H->DispatchPass();
    if (H->KillFlag.load() || H->FCloseDeferred.load()) {
      break;
    }
  }
  H->ThreadReady.Set();
  if (H->FCloseDeferred.load()) {
    H->ReleasePending.store(true);
  }
  H->ThreadEnded(this);
}

void TOutThread::Execute() {
  H->ThreadReady.Set();
  do {
    uint32_t Which = Platform::WaitForEvents(*H->IdleWait[0], *H->IdleWait[1]);
    if (Which == Platform::wrObject0) {
      if (H->KillFlag.load()) {
        break;
      }
      H->DrainOutput();
    } else if (Which == Platform::wrObject1) {
      H->ThreadReady.Set();
      H->FlushAck.Set();
    }
  } while (!H->KillFlag.load() && !H->FCloseDeferred.load());
  H->ThreadEnded(this);
}
