// Support for the dispatcher tests: a pseudo-terminal whose master side the test holds
// (tests/platform/PtyTestSupport.h), a dispatcher on the real termios layer that records what
// its device operations were asked and can hold back the device's acceptance of output, and
// waits that pump the test thread's messages (workers hand notices to it).
#pragma once

#include "common/OoMisc.h"
#include "platform/Messages.h"
#include "platform/Threads.h"
#include "port/AwWin32.h"
#include "tests/platform/PtyTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace DispatcherTest {

// Generous upper bound for anything a test waits for; never a measure of speed.
constexpr int PatienceMs = 20000;

using PtyTest::TPty;

// Bytes that show their position, so that a lost or reordered byte is seen.
inline std::string Pattern(size_t Count, size_t Seed = 0) {
  std::string Text(Count, '\0');
  for (size_t I = 0; I < Count; ++I) {
    Text[I] = static_cast<char>((I + Seed) * 7 % 251);
  }
  return Text;
}

// Pumps the calling thread's messages until Done() or the patience ran out.
inline bool PumpUntil(const std::function<bool()>& Done, int TimeoutMs = PatienceMs) {
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  while (!Done()) {
    if (std::chrono::steady_clock::now() >= Deadline) {
      return Done();
    }
    if (!SafeYield()) {
      Platform::WaitMessage(5);
    }
  }
  return true;
}

// Waits for a forked child to end, at most TimeoutMs; one that has not ended by then is
// killed (so that a hang fails the test instead of holding it). Whether it ended on its own;
// its wait status goes to Status.
inline bool ChildEndsWithin(pid_t Child, int TimeoutMs, int& Status) {
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  while (std::chrono::steady_clock::now() < Deadline) {
    if (::waitpid(Child, &Status, WNOHANG) == Child)
      return true;
    ::usleep(10000);
  }
  if (::waitpid(Child, &Status, WNOHANG) == Child)
    return true;
  ::kill(Child, SIGKILL);
  ::waitpid(Child, &Status, 0);
  return false;
}

// A dispatcher on the real device layer that records the reads and writes its device
// operations are asked for, and whose device accepts output only as far as the test allows
// (Allow(-1): without limit, the default).
class TProbeDispatcher : public TApdWin32Dispatcher {
public:
  struct TCall {
    uint32_t Offset; // in the ring the call works on
    uint32_t Count;  // asked for
    int32_t Result;
  };

  explicit TProbeDispatcher(TApdCustomComPort* Owner = nullptr) : TApdWin32Dispatcher(Owner) {}
  ~TProbeDispatcher() override { DestroyDispatcher(); }

  void Allow(int64_t Bytes) {
    Allowance.store(Bytes);
    Gate.Set();
  }
  void InjectLineErrors(uint32_t Bits) { Injected.fetch_or(Bits); }

  std::vector<TCall> Reads() {
    std::lock_guard<std::mutex> Lock(CallLock);
    return FReads;
  }
  std::vector<TCall> Transmits() {
    std::lock_guard<std::mutex> Lock(CallLock);
    return FTransmits;
  }
  void ForgetCalls() {
    std::lock_guard<std::mutex> Lock(CallLock);
    FReads.clear();
    FTransmits.clear();
  }

  // The output ring's indices, read under its lock.
  void OutputIndices(uint32_t& Head, uint32_t& Tail, bool& Full) {
    Platform::TCriticalSectionGuard Out(OutputLock);
    Head = OutHead;
    Tail = OutTail;
    Full = OutFull;
  }
  void InputIndices(uint32_t& Head, uint32_t& Tail) {
    Platform::TCriticalSectionGuard Buf(BufferLock);
    Head = DispHead;
    Tail = DispTail;
  }

  // The settings last handed to the device.
  TApdLineSettings LastApplied() {
    std::lock_guard<std::mutex> Lock(CallLock);
    return FLastApplied;
  }

  using TApdWin32Dispatcher::StartThreads;
  using TApdWin32Dispatcher::StopThreads;

  std::atomic<int> SetStateCalls{0};
  std::atomic<int> DrainChecks{0};
  // The system ids of the workers, as seen in the device operations each one calls: the
  // comm thread waits for events, the dispatch thread reads, the output thread transmits.
  std::atomic<pid_t> CommTid{0};
  std::atomic<pid_t> DispatchTid{0};
  std::atomic<pid_t> OutputTid{0};

protected:
  int32_t DeviceSetState(const TApdLineSettings& Settings) override {
    SetStateCalls.fetch_add(1);
    {
      std::lock_guard<std::mutex> Lock(CallLock);
      FLastApplied = Settings;
    }
    return TApdWin32Dispatcher::DeviceSetState(Settings);
  }
  bool DeviceOutputDrained() override {
    DrainChecks.fetch_add(1);
    return TApdWin32Dispatcher::DeviceOutputDrained();
  }
  int32_t DeviceErrors(TApdCommStatus& Status) override {
    int32_t Errors = TApdWin32Dispatcher::DeviceErrors(Status);
    return Errors | static_cast<int32_t>(Injected.exchange(0));
  }
  bool DeviceWaitEvent(std::atomic<uint32_t>& Mask) override {
    CommTid.store(Platform::CurrentSystemThreadId());
    return TApdWin32Dispatcher::DeviceWaitEvent(Mask);
  }
  int32_t DeviceRead(void* Buffer, uint32_t Count) override {
    DispatchTid.store(Platform::CurrentSystemThreadId());
    // Called with BufferLock held, so the ring stays where it is.
    const auto Offset = static_cast<uint32_t>(static_cast<uint8_t*>(Buffer) - DispatchBuffer.get());
    int32_t Result = TApdWin32Dispatcher::DeviceRead(Buffer, Count);
    std::lock_guard<std::mutex> Lock(CallLock);
    FReads.push_back({Offset, Count, Result});
    return Result;
  }
  int32_t DeviceTransmit(const uint8_t* Data, uint32_t Count) override {
    OutputTid.store(Platform::CurrentSystemThreadId());
    int64_t Allowed = Allowance.load();
    if (Allowed == 0) {
      return 0;
    }
    uint32_t Take = Allowed < 0 ? Count : static_cast<uint32_t>(std::min<int64_t>(Count, Allowed));
    int32_t Result = TApdWin32Dispatcher::DeviceTransmit(Data, Take);
    if (Result > 0 && Allowed > 0) {
      Allowance.fetch_sub(Result);
    }
    std::lock_guard<std::mutex> Lock(CallLock);
    FTransmits.push_back({static_cast<uint32_t>(Data - OutputRing.get()), Count, Result});
    return Result;
  }
  int32_t DeviceAwaitTransmit() override {
    if (Allowance.load() == 0) {
      Platform::WaitForEvent(Gate);
      return 0;
    }
    return TApdWin32Dispatcher::DeviceAwaitTransmit();
  }
  void DeviceWakeTransmit() override {
    Gate.Set();
    TApdWin32Dispatcher::DeviceWakeTransmit();
  }

private:
  std::atomic<int64_t> Allowance{-1};
  std::atomic<uint32_t> Injected{0};
  Platform::TEvent Gate{false};
  std::mutex CallLock;
  std::vector<TCall> FReads;
  std::vector<TCall> FTransmits;
  TApdLineSettings FLastApplied;
};

// Lock files go to a folder of the test's own (an empty name turns them off).
class TNoLockFiles {
public:
  TNoLockFiles() { setenv("RINGLET_LOCK_DIR", "", 1); }
  ~TNoLockFiles() { unsetenv("RINGLET_LOCK_DIR"); }
};

} // namespace DispatcherTest
