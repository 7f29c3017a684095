// Events and critical sections on a mutex and condition variables.
//
// A wait registers one waiter record with every event it waits on.  Set() on an auto event
// hands the event straight to the oldest single-event or any-of waiter (the record's Granted),
// so a Reset() right after Set() cannot steal it; all-of waiters are only woken to look again,
// because they may take the event only together with the other one.
#include "platform/Sync.h"

#include "platform/LastError.h"

#include <algorithm>
#include <chrono>

namespace Platform {

namespace Detail {
struct TEventWaiter {
  TBriefMutex Lock;
  std::condition_variable_any Wake;
  bool WaitAll = false;
  int64_t Granted = -1; // index of the event handed to this waiter, any-of waits only
  bool Woken = false;   // something changed; look again (all-of waits)
};
} // namespace Detail

using Detail::TEventWaiter;

namespace {

using TClock = std::chrono::steady_clock;

// Locks the mutexes of up to two events (the waits never need more) without lock-order
// deadlocks: std::scoped_lock orders them itself.
class TEventsLock {
public:
  TEventsLock(TEvent* const* events, size_t count, TBriefMutex* (*lockOf)(TEvent*))
      : FFirst(lockOf(events[0])), FSecond(count > 1 ? lockOf(events[1]) : nullptr) {
    if (FSecond != nullptr) {
      std::lock(*FFirst, *FSecond);
    } else {
      FFirst->lock();
    }
  }
  ~TEventsLock() {
    FFirst->unlock();
    if (FSecond != nullptr) {
      FSecond->unlock();
    }
  }
  TEventsLock(const TEventsLock&) = delete;
  TEventsLock& operator=(const TEventsLock&) = delete;

private:
  TBriefMutex* FFirst;
  TBriefMutex* FSecond;
};

} // namespace

TEvent::TEvent(bool manualReset, bool initialState)
    : FManualReset(manualReset), FSignalled(initialState) {}

void TEvent::Set() {
  // A waiter is woken after its own lock is let go, so that it does not wake only to block
  // on that lock again. It cannot leave its wait (and free its record) before this returns:
  // every way out of a wait passes through this event's lock, held here throughout.
  std::lock_guard lock(FLock);
  if (FManualReset) {
    FSignalled = true;
    for (const TWaiterSlot& slot : FWaiters) {
      {
        std::lock_guard waiterLock(slot.Waiter->Lock);
        if (!slot.Waiter->WaitAll && slot.Waiter->Granted < 0) {
          slot.Waiter->Granted = slot.Index;
        }
        slot.Waiter->Woken = true;
      }
      slot.Waiter->Wake.notify_one();
    }
    return;
  }
  if (FSignalled) {
    return;
  }
  bool handedOver = false;
  for (const TWaiterSlot& slot : FWaiters) {
    bool notify = false;
    {
      std::lock_guard waiterLock(slot.Waiter->Lock);
      if (slot.Waiter->WaitAll) {
        slot.Waiter->Woken = true;
        notify = true;
      } else if (!handedOver && slot.Waiter->Granted < 0) {
        slot.Waiter->Granted = slot.Index;
        handedOver = notify = true;
      }
    }
    if (notify) {
      slot.Waiter->Wake.notify_one();
    }
  }
  FSignalled = !handedOver;
}

void TEvent::Reset() {
  std::lock_guard lock(FLock);
  FSignalled = false;
}

bool TEvent::IsSet() const {
  std::lock_guard lock(FLock);
  return FSignalled;
}

size_t TEvent::WaitingThreads() const {
  std::lock_guard lock(FLock);
  return FWaiters.size();
}

uint32_t WaitForEventList(TEvent* const* events, size_t count, bool waitAll, uint32_t timeoutMs) {
  if (events == nullptr || count == 0 || count > 2 ||
      std::find(events, events + count, nullptr) != events + count ||
      (count == 2 && events[0] == events[1])) {
    SetLastError(errInvalidParameter);
    return wrFailed;
  }
  const bool infinite = timeoutMs == INFINITE;
  const TClock::time_point deadline = TClock::now() + std::chrono::milliseconds(timeoutMs);
  auto lockOf = [](TEvent* event) { return &event->FLock; };

  TEventWaiter waiter;
  waiter.WaitAll = waitAll && count > 1;
  bool registered = false;
  auto unregister = [&] {
    for (size_t i = 0; i < count; ++i) {
      auto& list = events[i]->FWaiters;
      list.erase(std::remove_if(list.begin(), list.end(),
                                [&](const TEvent::TWaiterSlot& s) { return s.Waiter == &waiter; }),
                 list.end());
    }
  };

  for (;;) {
    {
      TEventsLock locked(events, count, lockOf);
      if (registered) {
        std::lock_guard waiterLock(waiter.Lock);
        if (waiter.Granted >= 0) {
          // An auto event was handed over (it never became signalled for anyone else), or a
          // manual event was set while we waited.
          unregister();
          return wrObject0 + static_cast<uint32_t>(waiter.Granted);
        }
        waiter.Woken = false;
      }
      if (waiter.WaitAll) {
        if (events[0]->FSignalled && events[1]->FSignalled) {
          for (size_t i = 0; i < count; ++i) {
            if (!events[i]->FManualReset) {
              events[i]->FSignalled = false;
            }
          }
          if (registered) {
            unregister();
          }
          return wrObject0;
        }
      } else {
        for (size_t i = 0; i < count; ++i) {
          if (events[i]->FSignalled) {
            if (!events[i]->FManualReset) {
              events[i]->FSignalled = false;
            }
            if (registered) {
              unregister();
            }
            return wrObject0 + static_cast<uint32_t>(i);
          }
        }
      }
      if (!infinite && TClock::now() >= deadline) {
        if (registered) {
          unregister();
        }
        return wrTimeout;
      }
      if (!registered) {
        for (size_t i = 0; i < count; ++i) {
          events[i]->FWaiters.push_back({&waiter, static_cast<uint32_t>(i)});
        }
        registered = true;
      }
    }
    std::unique_lock waiterLock(waiter.Lock);
    auto changed = [&] { return waiter.Granted >= 0 || waiter.Woken; };
    if (infinite) {
      waiter.Wake.wait(waiterLock, changed);
    } else {
      waiter.Wake.wait_until(waiterLock, deadline, changed);
    }
  }
}

uint32_t WaitForEvent(TEvent& event, uint32_t timeoutMs) {
  TEvent* list[] = {&event};
  return WaitForEventList(list, 1, false, timeoutMs);
}

uint32_t WaitForEvents(TEvent& first, TEvent& second, bool waitAll, uint32_t timeoutMs) {
  if (&first == &second) {
    // Both "either" and "both" of one event mean that event.
    return WaitForEvent(first, timeoutMs);
  }
  TEvent* list[] = {&first, &second};
  return WaitForEventList(list, 2, waitAll, timeoutMs);
}

void TCriticalSection::Enter() {
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock lock(FLock);
  if (FCount > 0 && FOwner == self) {
    ++FCount;
    return;
  }
  FFree.wait(lock, [&] { return FCount == 0; });
  FOwner = self;
  FCount = 1;
}

bool TCriticalSection::TryEnter() {
  const std::thread::id self = std::this_thread::get_id();
  std::lock_guard lock(FLock);
  if (FCount == 0) {
    FOwner = self;
    FCount = 1;
    return true;
  }
  if (FOwner == self) {
    ++FCount;
    return true;
  }
  return false;
}

bool TCriticalSection::Leave() {
  std::unique_lock lock(FLock);
  if (FCount == 0 || FOwner != std::this_thread::get_id()) {
    lock.unlock();
    SetLastError(errNotOwner);
    return false;
  }
  if (--FCount == 0) {
    FOwner = std::thread::id();
    lock.unlock();
    FFree.notify_one();
  }
  return true;
}

bool TCriticalSection::OwnedByCurrentThread() const {
  std::lock_guard lock(FLock);
  return FCount > 0 && FOwner == std::this_thread::get_id();
}

uint32_t TCriticalSection::RecursionCount() const {
  std::lock_guard lock(FLock);
  return FCount > 0 && FOwner == std::this_thread::get_id() ? FCount : 0;
}

} // namespace Platform
