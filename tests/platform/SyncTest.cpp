#include "platform/Sync.h"
#include "platform/LastError.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

using namespace Platform;
using namespace std::chrono_literals;

namespace {

// Polls until the condition holds; the limit is a generous bound against a hang, not a
// measure of speed.
bool Eventually(const std::function<bool()>& condition) {
  const auto limit = std::chrono::steady_clock::now() + 20s;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > limit) {
      return false;
    }
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

struct TWaiterThreads {
  std::vector<std::thread> Threads;
  std::atomic<int> Released{0};
  ~TWaiterThreads() {
    for (auto& t : Threads) {
      t.join();
    }
  }
};

} // namespace

TEST(SyncTest, AutoResetReleasesExactlyOneWaiterPerSet) {
  constexpr int cWaiters = 4;
  TEvent event(false, false);
  TWaiterThreads waiters;
  for (int i = 0; i < cWaiters; ++i) {
    waiters.Threads.emplace_back([&] {
      EXPECT_EQ(WaitForEvent(event, INFINITE), wrObject0);
      ++waiters.Released;
    });
  }
  ASSERT_TRUE(Eventually([&] { return event.WaitingThreads() == cWaiters; }));
  for (int k = 1; k <= cWaiters; ++k) {
    event.Set();
    ASSERT_TRUE(Eventually([&] { return waiters.Released >= k; }));
    EXPECT_EQ(waiters.Released, k) << "one Set released more than one waiter";
    EXPECT_FALSE(event.IsSet()) << "an auto event stays set after releasing a waiter";
  }
  EXPECT_EQ(WaitForEvent(event, 0), wrTimeout);
}

TEST(SyncTest, AutoResetHandedToAWaiterIsNotLostToAnImmediateReset) {
  TEvent event(false, false);
  TWaiterThreads waiters;
  waiters.Threads.emplace_back([&] {
    EXPECT_EQ(WaitForEvent(event, INFINITE), wrObject0);
    ++waiters.Released;
  });
  ASSERT_TRUE(Eventually([&] { return event.WaitingThreads() == 1; }));
  event.Set();
  event.Reset();
  EXPECT_TRUE(Eventually([&] { return waiters.Released == 1; }));
}

TEST(SyncTest, ManualResetReleasesAllWaitersAndStaysSet) {
  constexpr int cWaiters = 5;
  TEvent event(true, false);
  TWaiterThreads waiters;
  for (int i = 0; i < cWaiters; ++i) {
    waiters.Threads.emplace_back([&] {
      EXPECT_EQ(WaitForEvent(event, INFINITE), wrObject0);
      ++waiters.Released;
    });
  }
  ASSERT_TRUE(Eventually([&] { return event.WaitingThreads() == cWaiters; }));
  event.Set();
  EXPECT_TRUE(Eventually([&] { return waiters.Released == cWaiters; }));
  EXPECT_TRUE(event.IsSet());
  EXPECT_EQ(WaitForEvent(event, 0), wrObject0);
  EXPECT_EQ(WaitForEvent(event, 0), wrObject0) << "a manual event is not taken by a wait";
  event.Reset();
  EXPECT_EQ(WaitForEvent(event, 0), wrTimeout);
}

TEST(SyncTest, ManualSetReleasesCurrentWaitersEvenWhenResetAtOnce) {
  constexpr int cWaiters = 3;
  TEvent event(true, false);
  TWaiterThreads waiters;
  for (int i = 0; i < cWaiters; ++i) {
    waiters.Threads.emplace_back([&] {
      EXPECT_EQ(WaitForEvent(event, INFINITE), wrObject0);
      ++waiters.Released;
    });
  }
  ASSERT_TRUE(Eventually([&] { return event.WaitingThreads() == cWaiters; }));
  event.Set();
  event.Reset();
  EXPECT_TRUE(Eventually([&] { return waiters.Released == cWaiters; }));
  EXPECT_FALSE(event.IsSet());
}

TEST(SyncTest, InitialStateAndTimeouts) {
  TEvent autoSet(false, true);
  EXPECT_EQ(WaitForEvent(autoSet, 0), wrObject0);
  EXPECT_EQ(WaitForEvent(autoSet, 0), wrTimeout) << "the first wait takes an auto event";

  TEvent unset(true, false);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForEvent(unset, 30), wrTimeout);
  // A lower bound only: a wait must never end before its time-out.
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
  EXPECT_EQ(unset.WaitingThreads(), 0u) << "a timed-out wait left its record behind";
}

TEST(SyncTest, WaitOnTwoEventsReportsWhichOne) {
  TEvent first(false, false);
  TEvent second(false, false);
  second.Set();
  EXPECT_EQ(WaitForEvents(first, second, false, 0), wrObject1);
  EXPECT_FALSE(second.IsSet());
  first.Set();
  EXPECT_EQ(WaitForEvents(first, second, false, 0), wrObject0);
  first.Set();
  second.Set();
  EXPECT_EQ(WaitForEvents(first, second, false, 0), wrObject0) << "lowest index wins";
  EXPECT_EQ(WaitForEvents(first, second, false, 0), wrObject1);
  EXPECT_EQ(WaitForEvents(first, second, false, 10), wrTimeout);

  std::atomic<uint32_t> result{wrFailed};
  std::thread waiter([&] { result = WaitForEvents(first, second, false, INFINITE); });
  ASSERT_TRUE(Eventually([&] { return second.WaitingThreads() == 1; }));
  second.Set();
  waiter.join();
  EXPECT_EQ(result, wrObject1);
  EXPECT_EQ(first.WaitingThreads(), 0u);
  EXPECT_EQ(second.WaitingThreads(), 0u);
  EXPECT_FALSE(first.IsSet());
  EXPECT_FALSE(second.IsSet());
}

TEST(SyncTest, AnAutoEventHandedToOneWaitIsNotAlsoTakenByTheOther) {
  // Two any-of waits share an event; each Set serves one of them.
  TEvent shared(false, false);
  TEvent a(false, false);
  TEvent b(false, false);
  std::atomic<int> released{0};
  std::thread one([&] {
    EXPECT_EQ(WaitForEvents(a, shared, false, INFINITE), wrObject1);
    ++released;
  });
  std::thread two([&] {
    EXPECT_EQ(WaitForEvents(shared, b, false, INFINITE), wrObject0);
    ++released;
  });
  ASSERT_TRUE(Eventually([&] { return shared.WaitingThreads() == 2; }));
  shared.Set();
  ASSERT_TRUE(Eventually([&] { return released >= 1; }));
  EXPECT_EQ(released, 1);
  shared.Set();
  ASSERT_TRUE(Eventually([&] { return released == 2; }));
  one.join();
  two.join();
  EXPECT_FALSE(shared.IsSet());
}

TEST(SyncTest, WaitAllNeedsBothAndTakesBoth) {
  TEvent first(false, false);
  TEvent second(true, false);
  first.Set();
  EXPECT_EQ(WaitForEvents(first, second, true, 10), wrTimeout);
  EXPECT_TRUE(first.IsSet()) << "a failed all-of wait must not take the event it saw";

  std::atomic<uint32_t> result{wrFailed};
  std::thread waiter([&] { result = WaitForEvents(first, second, true, INFINITE); });
  ASSERT_TRUE(Eventually([&] { return second.WaitingThreads() == 1; }));
  EXPECT_EQ(result, wrFailed) << "released with only one event set";
  second.Set();
  waiter.join();
  EXPECT_EQ(result, wrObject0);
  EXPECT_FALSE(first.IsSet()) << "the auto event is taken";
  EXPECT_TRUE(second.IsSet()) << "the manual event stays set";
}

TEST(SyncTest, AnAllOfWaitDoesNotStealFromASingleWait) {
  TEvent first(false, false);
  TEvent second(false, false);
  std::atomic<uint32_t> allResult{wrFailed};
  std::atomic<uint32_t> singleResult{wrFailed};
  std::thread all([&] { allResult = WaitForEvents(first, second, true, INFINITE); });
  std::thread single([&] { singleResult = WaitForEvent(first, INFINITE); });
  ASSERT_TRUE(Eventually([&] { return first.WaitingThreads() == 2; }));
  first.Set();
  single.join();
  EXPECT_EQ(singleResult, wrObject0);
  first.Set();
  second.Set();
  all.join();
  EXPECT_EQ(allResult, wrObject0);
  EXPECT_FALSE(first.IsSet());
  EXPECT_FALSE(second.IsSet());
}

TEST(SyncTest, BadWaitListsAreRefused) {
  TEvent event(false, true);
  TEvent* duplicate[] = {&event, &event};
  SetLastError(errSuccess);
  EXPECT_EQ(WaitForEventList(duplicate, 2, false, 0), wrFailed);
  EXPECT_EQ(GetLastError(), errInvalidParameter);
  EXPECT_EQ(WaitForEventList(duplicate, 0, false, 0), wrFailed);
  TEvent* withNull[] = {&event, nullptr};
  EXPECT_EQ(WaitForEventList(withNull, 2, false, 0), wrFailed);
  EXPECT_TRUE(event.IsSet()) << "a refused wait must not take the event";
  // The two-event form accepts one event twice as that event.
  EXPECT_EQ(WaitForEvents(event, event, true, 0), wrObject0);
  EXPECT_FALSE(event.IsSet());
}

TEST(SyncTest, PingPongLosesNoWakeups) {
  constexpr int cRounds = 20000;
  TEvent ping(false, false);
  TEvent pong(false, false);
  TEvent stop(true, false);
  int exchanged = 0;
  std::thread partner([&] {
    for (;;) {
      if (WaitForEvents(ping, stop, false, INFINITE) == wrObject1) {
        return;
      }
      pong.Set();
    }
  });
  for (int i = 0; i < cRounds; ++i) {
    ping.Set();
    ASSERT_EQ(WaitForEvent(pong, 20000), wrObject0) << "round " << i;
    ++exchanged;
  }
  stop.Set();
  partner.join();
  EXPECT_EQ(exchanged, cRounds);
}

TEST(SyncTest, CriticalSectionIsRecursiveForItsOwner) {
  TCriticalSection section;
  EXPECT_FALSE(section.OwnedByCurrentThread());
  section.Enter();
  section.Enter();
  EXPECT_TRUE(section.TryEnter());
  EXPECT_EQ(section.RecursionCount(), 3u);
  EXPECT_TRUE(section.OwnedByCurrentThread());

  std::atomic<int> otherTry{-1};
  std::thread other([&] {
    otherTry = section.TryEnter() ? 1 : 0;
    SetLastError(errSuccess);
    EXPECT_FALSE(section.Leave()) << "a thread that does not hold it left it";
    EXPECT_EQ(GetLastError(), errNotOwner);
    EXPECT_EQ(section.RecursionCount(), 0u);
  });
  other.join();
  EXPECT_EQ(otherTry, 0);
  EXPECT_EQ(section.RecursionCount(), 3u) << "a refused Leave changed the count";

  EXPECT_TRUE(section.Leave());
  EXPECT_TRUE(section.Leave());
  EXPECT_TRUE(section.OwnedByCurrentThread()) << "released before the last Leave";
  EXPECT_TRUE(section.Leave());
  EXPECT_FALSE(section.OwnedByCurrentThread());
  EXPECT_FALSE(section.Leave());

  std::thread later([&] {
    EXPECT_TRUE(section.TryEnter());
    EXPECT_TRUE(section.Leave());
  });
  later.join();
}

TEST(SyncTest, CriticalSectionExcludesOtherThreads) {
  constexpr int cThreads = 4;
  constexpr int cRounds = 5000;
  TCriticalSection section;
  long counter = 0; // plain on purpose: only the section protects it
  std::atomic<int> inside{0};
  std::atomic<bool> overlap{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < cThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < cRounds; ++i) {
        TCriticalSectionGuard outer(section);
        if (++inside != 1) {
          overlap = true;
        }
        {
          TCriticalSectionGuard nested(section); // re-entry by the owner must not block
          ++counter;
        }
        --inside;
      }
    });
  }
  for (auto& t : threads) {
    t.join();
  }
  EXPECT_FALSE(overlap);
  EXPECT_EQ(counter, static_cast<long>(cThreads) * cRounds);
  EXPECT_FALSE(section.OwnedByCurrentThread());
}

TEST(SyncTest, EnterBlocksUntilTheOwnerLeavesEveryLevel) {
  TCriticalSection section;
  TEvent entered(true, false);
  section.Enter();
  section.Enter();
  std::thread other([&] {
    section.Enter();
    entered.Set();
    section.Leave();
  });
  section.Leave();
  EXPECT_EQ(WaitForEvent(entered, 50), wrTimeout) << "entered while still held once";
  section.Leave();
  EXPECT_EQ(WaitForEvent(entered, 20000), wrObject0);
  other.join();
}
