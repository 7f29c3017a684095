// Spin: looking for a moment before sleeping.
//
// While messages flow between threads, the answer to a send or the next message is usually
// microseconds away, and a sleep with its wake-up costs far more (tens of microseconds of
// scheduling delay on a virtual machine whose idle processors halt). The message layer's
// waits therefore look for a short while without sleeping first, and the short locks of the
// message layer and the events are tried a few times before a thread sleeps on them. With one
// processor the other side cannot run meanwhile, so nothing spins there.
//
// Event waits do not spin: the thread that sets an event usually has more work for the
// processors than the waiter, and a spinning waiter was seen to keep the thread it waits for
// from running on a two-processor machine.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

namespace Platform {

// How long a wait looks before it sleeps.
inline constexpr std::chrono::microseconds SpinBeforeSleep{50};
// How often a short lock is tried before the thread sleeps on it.
inline constexpr int LockSpinRounds = 200;

inline bool WorthSpinning() {
  static const bool Worth = std::thread::hardware_concurrency() > 1;
  return Worth;
}

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// Whether Ready() came true within Most; it is asked once more at the end, and only once
// when spinning is not worth it.
template <typename TReady> bool SpinUntil(TReady Ready, std::chrono::microseconds Most) {
  if (!WorthSpinning() || Most.count() <= 0)
    return Ready();
  const auto Deadline = std::chrono::steady_clock::now() + Most;
  for (unsigned Round = 1;; ++Round) {
    if (Ready())
      return true;
    CpuRelax();
    if (Round % 64 == 0 && std::chrono::steady_clock::now() >= Deadline)
      return Ready();
  }
}

// The wait of a caller that gave TimeoutMs (INFINITE: none) spins for at most this long.
inline std::chrono::microseconds SpinFor(uint32_t TimeoutMs) {
  return std::min<std::chrono::microseconds>(SpinBeforeSleep, std::chrono::milliseconds(TimeoutMs));
}

// A mutex for short bookkeeping: a thread that finds it taken tries again for a moment
// before it sleeps. Usable with std::condition_variable_any.
class TBriefMutex {
public:
  void lock() {
    for (int Round = 0; WorthSpinning() && Round < LockSpinRounds; ++Round) {
      if (FMutex.try_lock())
        return;
      CpuRelax();
    }
    FMutex.lock();
  }
  bool try_lock() { return FMutex.try_lock(); }
  void unlock() { FMutex.unlock(); }

private:
  std::mutex FMutex;
};

} // namespace Platform
