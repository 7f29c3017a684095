#include "platform/Threads.h"
#include "platform/LastError.h"
#include "platform/Sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <sched.h>
#include <stdexcept>
#include <sys/resource.h>
#include <unistd.h>

using namespace Platform;

namespace {

int NiceOf(pid_t tid) {
  errno = 0;
  const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
  EXPECT_EQ(errno, 0);
  return nice;
}

} // namespace

TEST(ThreadsTest, RunningThreadRunsItsBodyOnItsOwnThread) {
  std::atomic<pid_t> seenId{0};
  TThread* seenSelf = nullptr;
  TThread thread([&](TThread& self) {
    seenSelf = &self;
    seenId = CurrentSystemThreadId();
  });
  EXPECT_NE(thread.ThreadId(), 0);
  EXPECT_NE(thread.ThreadId(), CurrentSystemThreadId());
  ASSERT_TRUE(thread.WaitFor(20000));
  EXPECT_TRUE(thread.Finished());
  EXPECT_TRUE(thread.Started());
  EXPECT_EQ(seenId, thread.ThreadId());
  EXPECT_EQ(seenSelf, &thread);
  EXPECT_EQ(thread.FatalException(), nullptr);
}

TEST(ThreadsTest, SuspendedThreadWaitsForStart) {
  std::atomic<bool> ran{false};
  TThread thread([&](TThread&) { ran = true; }, true);
  EXPECT_NE(thread.ThreadId(), 0) << "a suspended thread already has its id";
  EXPECT_FALSE(thread.Started());
  EXPECT_FALSE(thread.WaitFor(30)) << "a suspended thread cannot finish";
  EXPECT_FALSE(ran);
  thread.Start();
  ASSERT_TRUE(thread.WaitFor(20000));
  EXPECT_TRUE(ran);
  thread.Start(); // a second start changes nothing
  EXPECT_TRUE(thread.Finished());
}

TEST(ThreadsTest, DestroyingASuspendedThreadSkipsItsBody) {
  std::atomic<bool> ran{false};
  {
    TThread thread([&](TThread&) { ran = true; }, true);
  }
  EXPECT_FALSE(ran);
}

TEST(ThreadsTest, TerminateIsSeenByTheBodyAndDestructionWaits) {
  TEvent running(true, false);
  std::atomic<int> loops{0};
  std::atomic<bool> leftLoop{false};
  {
    TThread thread([&](TThread& self) {
      running.Set();
      while (!self.Terminated()) {
        ++loops;
        std::this_thread::yield();
      }
      leftLoop = true;
    });
    ASSERT_EQ(WaitForEvent(running, 20000), wrObject0);
    EXPECT_FALSE(thread.WaitFor(10)) << "the body ended without being asked";
    EXPECT_FALSE(thread.Terminated());
    thread.Terminate();
    EXPECT_TRUE(thread.Terminated());
    ASSERT_TRUE(thread.WaitFor(20000));
  }
  EXPECT_TRUE(leftLoop);
  EXPECT_GT(loops, 0);

  // The destructor alone also ends a looping body.
  std::atomic<bool> ended{false};
  {
    TThread thread([&](TThread& self) {
      while (!self.Terminated()) {
        std::this_thread::yield();
      }
      ended = true;
    });
  }
  EXPECT_TRUE(ended);
}

TEST(ThreadsTest, AnExceptionInTheBodyIsKeptNotFatal) {
  TThread thread([](TThread&) { throw std::runtime_error("worker failed"); });
  ASSERT_TRUE(thread.WaitFor(20000));
  ASSERT_NE(thread.FatalException(), nullptr);
  try {
    std::rethrow_exception(thread.FatalException());
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "worker failed");
  }
}

TEST(ThreadsTest, WaitingForItselfIsRefused) {
  std::atomic<int> result{-1};
  std::atomic<uint32_t> error{0};
  TThread thread([&](TThread& self) {
    result = self.WaitFor(INFINITE) ? 1 : 0;
    error = GetLastError();
  });
  ASSERT_TRUE(thread.WaitFor(20000));
  EXPECT_EQ(result, 0);
  EXPECT_EQ(error, errInvalidParameter);
}

TEST(ThreadsTest, LoweredPrioritiesAreApplied) {
  const int base = NiceOf(CurrentSystemThreadId());
  if (base > 9) {
    GTEST_SKIP() << "the test runs at nice " << base << ", no room to lower";
  }
  TEvent check(false, false);
  TEvent checked(false, false);
  std::atomic<int> niceSeen{0};
  std::atomic<int> policySeen{-1};
  TThread thread(
      [&](TThread& self) {
        while (!self.Terminated()) {
          if (WaitForEvent(check, 100) == wrObject0) {
            niceSeen = NiceOf(CurrentSystemThreadId());
            policySeen = ::sched_getscheduler(0);
            checked.Set();
          }
        }
      },
      true);
  EXPECT_EQ(thread.Priority(), tpNormal);
  // Set while suspended: the thread runs at the step from its first instruction.
  EXPECT_TRUE(thread.SetPriority(tpLower));
  thread.Start();
  check.Set();
  ASSERT_EQ(WaitForEvent(checked, 20000), wrObject0);
  EXPECT_EQ(niceSeen, base + 5);
  EXPECT_EQ(policySeen, SCHED_OTHER);

  EXPECT_TRUE(thread.SetPriority(tpLowest));
  check.Set();
  ASSERT_EQ(WaitForEvent(checked, 20000), wrObject0);
  EXPECT_EQ(niceSeen, base + 10);
  EXPECT_EQ(thread.Priority(), tpLowest);
  EXPECT_TRUE(thread.PriorityApplied());

  EXPECT_TRUE(thread.SetPriority(tpIdle));
  check.Set();
  ASSERT_EQ(WaitForEvent(checked, 20000), wrObject0);
  EXPECT_EQ(policySeen, SCHED_IDLE);
  EXPECT_EQ(thread.Priority(), tpIdle);
  thread.Terminate();
}

TEST(ThreadsTest, RaisedPrioritiesAreBestEffort) {
  const int base = NiceOf(CurrentSystemThreadId());
  TThread thread([](TThread& self) {
    while (!self.Terminated()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  const bool applied = thread.SetPriority(tpHighest);
  EXPECT_EQ(thread.Priority(), tpHighest) << "the asked step is remembered either way";
  EXPECT_EQ(thread.PriorityApplied(), applied);
  if (applied) {
    EXPECT_EQ(NiceOf(thread.ThreadId()), std::max(base - 10, -20));
    // Back to normal is a raise from a lowered step and a fall from a raised one.
    EXPECT_TRUE(thread.SetPriority(tpNormal));
    EXPECT_EQ(NiceOf(thread.ThreadId()), base);
  } else {
    EXPECT_EQ(NiceOf(thread.ThreadId()), base) << "a refused raise changed the nice";
  }
  thread.Terminate();
}

TEST(ThreadsTest, RefusedRaiseIsRememberedAndReported) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // Without privilege a raise must be refused quietly; an unprivileged child shows it.
  EXPECT_EXIT(
      {
        if (::geteuid() == 0 && ::setuid(65534) != 0) {
          std::_Exit(10);
        }
        const int base = NiceOf(CurrentSystemThreadId());
        TThread thread([](TThread& self) {
          while (!self.Terminated()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          }
        });
        if (thread.SetPriority(tpHigher)) {
          std::_Exit(base <= -20 ? 0 : 11); // already at the top: nothing to refuse
        }
        if (thread.Priority() != tpHigher || thread.PriorityApplied()) {
          std::_Exit(12);
        }
        if (NiceOf(thread.ThreadId()) != base) {
          std::_Exit(13);
        }
        thread.Terminate();
        std::_Exit(thread.WaitFor(20000) ? 0 : 14);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(ThreadsTest, PriorityOfAFinishedThreadIsOnlyRemembered) {
  TThread thread([](TThread&) {});
  ASSERT_TRUE(thread.WaitFor(20000));
  EXPECT_FALSE(thread.SetPriority(tpLower));
  EXPECT_EQ(thread.Priority(), tpLower);
  EXPECT_FALSE(thread.PriorityApplied());
}

TEST(ThreadsTest, StepsCountFromTheProcessNotFromTheCreatingThread) {
  const int base = NiceOf(::getpid());
  if (base > 9) {
    GTEST_SKIP() << "the test runs at nice " << base << ", no room to lower";
  }
  std::atomic<int> innerNice{0};
  std::atomic<bool> innerApplied{false};
  TThread outer(
      [&](TThread&) {
        // Created by a lowered thread, so it starts lowered too.
        TThread inner([](TThread& self) {
          while (!self.Terminated()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          }
        });
        innerApplied = inner.SetPriority(tpLowest);
        innerNice = NiceOf(inner.ThreadId());
      },
      true);
  ASSERT_TRUE(outer.SetPriority(tpLower));
  outer.Start();
  ASSERT_TRUE(outer.WaitFor(20000));
  EXPECT_TRUE(innerApplied);
  EXPECT_EQ(innerNice, base + 10);
}
