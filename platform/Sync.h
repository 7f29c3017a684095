// Sync: events, waits on one or two events, and recursive critical sections.
//
// TEvent is a manual- or auto-reset event.  Set() on a manual event releases every thread
// waiting at that moment (even if Reset() follows at once) and keeps the event signalled;
// Set() on an auto event releases exactly one waiter, or, when none waits, stays signalled
// until one wait takes it.  WaitForEvent()/WaitForEvents() return wrObject0 + index of the
// event that ended the wait, or wrTimeout; a time-out of 0 only tests, INFINITE never ends.
// With waitAll, WaitForEvents() returns wrObject0 once both events are signalled at the same
// time and takes both.  An event must outlive every wait on it.
// TCriticalSection is a recursive lock: its owner may enter again and must leave as often.
// Atomic counters are plain std::atomic<int32_t> (fetch_add / fetch_sub); no wrapper here.
#pragma once

#include "platform/Spin.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace Platform {

inline constexpr uint32_t INFINITE = 0xFFFFFFFFu;

// Results of the waits.
inline constexpr uint32_t wrObject0 = 0;
inline constexpr uint32_t wrObject1 = 1;
inline constexpr uint32_t wrTimeout = 258;
inline constexpr uint32_t wrFailed = 0xFFFFFFFFu;

namespace Detail {
struct TEventWaiter;
}

class TEvent {
public:
  explicit TEvent(bool manualReset = false, bool initialState = false);
  ~TEvent() = default;
  TEvent(const TEvent&) = delete;
  TEvent& operator=(const TEvent&) = delete;

  void Set();
  void Reset();
  bool ManualReset() const { return FManualReset; }
  // A snapshot for diagnostics and tests; another thread may change it at once.
  bool IsSet() const;
  // How many waits are blocked on this event now; a snapshot, as IsSet().
  size_t WaitingThreads() const;

private:
  friend uint32_t WaitForEventList(TEvent* const* events, size_t count, bool waitAll,
                                   uint32_t timeoutMs);
  struct TWaiterSlot {
    Detail::TEventWaiter* Waiter;
    uint32_t Index;
  };

  const bool FManualReset;
  bool FSignalled;
  mutable TBriefMutex FLock;
  std::vector<TWaiterSlot> FWaiters; // in arrival order, so auto events serve the oldest first
};

uint32_t WaitForEvent(TEvent& event, uint32_t timeoutMs = INFINITE);
uint32_t WaitForEvents(TEvent& first, TEvent& second, bool waitAll = false,
                       uint32_t timeoutMs = INFINITE);
// The general form behind both: one or two events, none of them twice.
// Returns wrFailed (last error errInvalidParameter) for an empty or duplicate list.
uint32_t WaitForEventList(TEvent* const* events, size_t count, bool waitAll, uint32_t timeoutMs);

class TCriticalSection {
public:
  TCriticalSection() = default;
  TCriticalSection(const TCriticalSection&) = delete;
  TCriticalSection& operator=(const TCriticalSection&) = delete;

  void Enter();
  bool TryEnter();
  // Leaving a section the calling thread does not hold is refused (false, last error
  // errNotOwner) instead of corrupting the lock.
  bool Leave();
  bool OwnedByCurrentThread() const;
  // How often the calling thread has entered; 0 when another thread or nobody holds it.
  uint32_t RecursionCount() const;

private:
  mutable std::mutex FLock; // guards the owner and count, held only briefly
  std::condition_variable FFree;
  std::thread::id FOwner;
  uint32_t FCount = 0;
};

// Holds a critical section for one scope.
class TCriticalSectionGuard {
public:
  explicit TCriticalSectionGuard(TCriticalSection& section) : FSection(section) {
    FSection.Enter();
  }
  ~TCriticalSectionGuard() { FSection.Leave(); }
  TCriticalSectionGuard(const TCriticalSectionGuard&) = delete;
  TCriticalSectionGuard& operator=(const TCriticalSectionGuard&) = delete;

private:
  TCriticalSection& FSection;
};

} // namespace Platform
