#include "platform/Messages.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace Platform;

namespace {

// Generous upper bound for waits that should end almost at once.
constexpr uint32_t LongWaitMs = 20000;

bool WakeReadable(int fd) {
  pollfd entry{fd, POLLIN, 0};
  return poll(&entry, 1, 0) == 1 && (entry.revents & POLLIN) != 0;
}

// Dispatches everything waiting, returns how many posted messages were taken.
int Drain() {
  TMessage message;
  int taken = 0;
  while (PeekMessage(message, true)) {
    ++taken;
    if (message.Message != WM_QUIT)
      DispatchMessage(message);
  }
  return taken;
}

struct TRecorder {
  std::mutex Lock;
  std::vector<uint32_t> Messages;
  void Add(uint32_t message) {
    std::lock_guard lock(Lock);
    Messages.push_back(message);
  }
  std::vector<uint32_t> Take() {
    std::lock_guard lock(Lock);
    return std::move(Messages);
  }
};

TWindowProc Recording(TRecorder& recorder) {
  return [&recorder](TWindowHandle, uint32_t message, uintptr_t wParam, intptr_t) {
    recorder.Add(message);
    return static_cast<intptr_t>(wParam * 2);
  };
}

} // namespace

TEST(MessagesTest, PostedMessagesArriveInOrderFromAnyThread) {
  TRecorder recorder;
  TWindowHandle window = CreateHiddenWindow(Recording(recorder));
  ASSERT_NE(window, 0u);
  EXPECT_EQ(WindowThreadId(window), CurrentThreadId());

  ASSERT_TRUE(PostMessage(window, WM_USER + 1, 0, 0));
  std::thread([&] {
    for (uint32_t i = 2; i <= 50; ++i)
      EXPECT_TRUE(PostMessage(window, WM_USER + i, i, -static_cast<intptr_t>(i)));
  }).join();
  ASSERT_TRUE(PostThreadMessage(CurrentThreadId(), WM_USER + 51, 51, 0));

  TMessage peeked;
  ASSERT_TRUE(PeekMessage(peeked, false));
  EXPECT_EQ(peeked.Message, WM_USER + 1);
  ASSERT_TRUE(PeekMessage(peeked, false)); // not removed
  EXPECT_EQ(peeked.Message, WM_USER + 1);

  std::vector<uint32_t> order;
  TMessage message;
  while (PeekMessage(message, true)) {
    order.push_back(message.Message);
    if (message.Message >= WM_USER + 2 && message.Message <= WM_USER + 50) {
      EXPECT_EQ(message.Window, window);
      EXPECT_EQ(message.WParam, message.Message - WM_USER);
      EXPECT_EQ(message.LParam, -static_cast<intptr_t>(message.Message - WM_USER));
    }
    EXPECT_EQ(DispatchMessage(message), message.Window ? intptr_t(message.WParam * 2) : 0);
  }
  ASSERT_EQ(order.size(), 51u);
  for (uint32_t i = 0; i < 51; ++i)
    EXPECT_EQ(order[i], WM_USER + 1 + i);
  EXPECT_EQ(recorder.Take().size(), 50u) << "a thread message reaches no procedure";
  EXPECT_TRUE(DestroyWindow(window));
}

TEST(MessagesTest, ConcurrentPostersKeepTheirOwnOrder) {
  constexpr int Producers = 4, PerProducer = 2000;
  std::vector<int> next(Producers, 0);
  int received = 0;
  bool inOrder = true;
  TWindowHandle window = CreateHiddenWindow([&](TWindowHandle, uint32_t, uintptr_t w, intptr_t l) {
    inOrder = inOrder && next[w] == l;
    next[w] = static_cast<int>(l) + 1;
    ++received;
    return intptr_t(0);
  });
  std::vector<std::thread> producers;
  for (int p = 0; p < Producers; ++p)
    producers.emplace_back([=] {
      for (int i = 0; i < PerProducer; ++i)
        while (!PostMessage(window, WM_USER, p, i))
          std::this_thread::yield(); // queue full: the consumer catches up
    });
  TMessage message;
  while (received < Producers * PerProducer && WaitMessage(LongWaitMs))
    while (PeekMessage(message, true))
      DispatchMessage(message);
  for (auto& producer : producers)
    producer.join();
  EXPECT_EQ(received, Producers * PerProducer);
  EXPECT_TRUE(inOrder);
  DestroyWindow(window);
}

TEST(MessagesTest, FullQueueRefusesPostsUntilDrained) {
  TWindowHandle window =
      CreateHiddenWindow([](TWindowHandle, uint32_t, uintptr_t, intptr_t) { return intptr_t(0); });
  int accepted = 0;
  while (accepted < 20000 && PostMessage(window, WM_USER, 0, 0))
    ++accepted;
  EXPECT_EQ(accepted, 10000);
  EXPECT_FALSE(PostThreadMessage(CurrentThreadId(), WM_USER, 0, 0));
  EXPECT_EQ(Drain(), 10000);
  EXPECT_TRUE(PostMessage(window, WM_USER, 0, 0));
  EXPECT_EQ(Drain(), 1);
  DestroyWindow(window);
}

TEST(MessagesTest, WindowClassesAreRegisteredByNameOnce) {
  TRecorder recorder;
  ASSERT_TRUE(RegisterWindowClass("msgTestClass", Recording(recorder)));
  EXPECT_FALSE(RegisterWindowClass("MSGTESTCLASS", Recording(recorder)));
  EXPECT_TRUE(IsWindowClassRegistered("msgtestclass"));
  EXPECT_FALSE(RegisterWindowClass("", Recording(recorder)));
  EXPECT_FALSE(RegisterWindowClass("msgTestOther", TWindowProc()));
  EXPECT_EQ(CreateHiddenWindow("noSuchClass"), 0u);

  int data = 5, other = 6;
  TWindowHandle first = CreateHiddenWindow("msgTestClass", &data);
  TWindowHandle second = CreateHiddenWindow("MsgTestClass");
  ASSERT_NE(first, 0u);
  ASSERT_NE(second, 0u);
  EXPECT_NE(first, second);
  EXPECT_EQ(GetWindowData(first), &data);
  EXPECT_EQ(GetWindowData(second), nullptr);
  EXPECT_TRUE(SetWindowData(second, &other));
  EXPECT_EQ(GetWindowData(second), &other);

  // A send to a window of this thread runs the procedure directly, without pumping.
  intptr_t result = 0;
  EXPECT_TRUE(SendMessageTimeout(first, WM_USER + 3, 21, 0, 0, &result));
  EXPECT_EQ(result, 42);
  EXPECT_EQ(SendMessage(second, WM_USER + 4, 4, 0), 8);
  EXPECT_EQ(recorder.Take(), (std::vector<uint32_t>{WM_USER + 3, WM_USER + 4}));

  EXPECT_FALSE(UnregisterWindowClass("msgTestClass")) << "windows of the class still exist";
  EXPECT_TRUE(DestroyWindow(first));
  EXPECT_TRUE(DestroyWindow(second));
  EXPECT_FALSE(DestroyWindow(second));
  EXPECT_EQ(recorder.Take(), (std::vector<uint32_t>{WM_DESTROY, WM_DESTROY}));
  EXPECT_EQ(GetWindowData(first), nullptr);
  EXPECT_FALSE(SetWindowData(first, &data));
  EXPECT_EQ(WindowThreadId(first), 0u);
  EXPECT_TRUE(UnregisterWindowClass("MSGTESTCLASS"));
  EXPECT_FALSE(IsWindowClassRegistered("msgTestClass"));
  EXPECT_FALSE(UnregisterWindowClass("msgTestClass"));
}

TEST(MessagesTest, OnlyTheOwnerDestroysOrDispatches) {
  TRecorder recorder;
  TWindowHandle window = CreateHiddenWindow(Recording(recorder));
  std::thread([&] {
    EXPECT_FALSE(DestroyWindow(window));
    EXPECT_EQ(DispatchMessage(TMessage{window, WM_USER, 1, 0}), 0);
    EXPECT_TRUE(IsWindow(window));
  }).join();
  EXPECT_TRUE(recorder.Take().empty());
  EXPECT_EQ(DispatchMessage(TMessage{window, WM_USER, 1, 0}), 2);
  EXPECT_TRUE(DestroyWindow(window));
  EXPECT_FALSE(IsWindow(window));
  EXPECT_EQ(DispatchMessage(TMessage{window, WM_USER, 1, 0}), 0);
}

TEST(MessagesTest, SendTimesOutWhenOwnerDoesNotPumpAndIsNeverDeliveredLate) {
  std::atomic<int> calls{0};
  std::promise<TWindowHandle> created;
  std::promise<void> pumpNow, drained;
  std::thread owner([&] {
    TWindowHandle window = CreateHiddenWindow([&](TWindowHandle, uint32_t, uintptr_t w, intptr_t) {
      ++calls;
      return intptr_t(w + 1);
    });
    created.set_value(window);
    pumpNow.get_future().wait(); // not pumping meanwhile
    Drain();
    drained.set_value();
    TMessage message;
    while (GetMessage(message))
      DispatchMessage(message);
    DestroyWindow(window);
  });
  TWindowHandle window = created.get_future().get();
  intptr_t result = 99;
  EXPECT_FALSE(SendMessageTimeout(window, WM_USER, 1, 0, 50, &result));
  EXPECT_EQ(result, 0);
  pumpNow.set_value();
  drained.get_future().wait();
  EXPECT_EQ(calls.load(), 0) << "a withdrawn send ran after its time-out";

  // The owner pumps now: sends complete with their own results.
  EXPECT_TRUE(SendMessageTimeout(window, WM_USER, 10, 0, LongWaitMs, &result));
  EXPECT_EQ(result, 11);
  EXPECT_EQ(calls.load(), 1);
  PostThreadMessage(WindowThreadId(window), WM_QUIT, 0, 0);
  owner.join();
}

TEST(MessagesTest, LateReplyOfARunningSendIsDroppedSafely) {
  std::promise<TWindowHandle> created;
  std::atomic<bool> entered{false};
  std::promise<void> senderGaveUp;
  std::shared_future<void> gaveUp = senderGaveUp.get_future().share();
  std::thread owner([&] {
    TWindowHandle window =
        CreateHiddenWindow([&](TWindowHandle, uint32_t m, uintptr_t w, intptr_t) {
          if (m == WM_USER + 1) {
            entered = true;
            gaveUp.wait(); // reply only after the sender has stopped waiting
            return intptr_t(-1);
          }
          return intptr_t(w * 3);
        });
    created.set_value(window);
    TMessage message;
    while (GetMessage(message))
      DispatchMessage(message);
    DestroyWindow(window);
  });
  TWindowHandle window = created.get_future().get();
  // On a busy machine the owner may not pick a send up within its time-out; such a send is
  // withdrawn, so try until one is running when its time-out passes.
  intptr_t result = 7;
  for (int attempt = 0; attempt < 200 && !entered; ++attempt) {
    result = 7;
    EXPECT_FALSE(SendMessageTimeout(window, WM_USER + 1, 0, 0, 100, &result));
    EXPECT_EQ(result, 0);
  }
  ASSERT_TRUE(entered.load());
  senderGaveUp.set_value();
  // The late -1 must not turn up as the reply of the next send.
  for (uintptr_t i = 1; i <= 20; ++i) {
    ASSERT_TRUE(SendMessageTimeout(window, WM_USER + 2, i, 0, LongWaitMs, &result));
    EXPECT_EQ(result, intptr_t(i * 3));
  }
  PostMessage(window, WM_QUIT, 0, 0);
  owner.join();
}

TEST(MessagesTest, NestedSendIsServedWhileOwnerPumpsInsideAHandler) {
  std::mutex lock;
  std::vector<std::string> trace;
  auto note = [&](std::string text) {
    std::lock_guard guard(lock);
    trace.push_back(std::move(text));
  };
  std::promise<TWindowHandle> created;
  std::promise<void> outerStarted;
  std::thread owner([&] {
    bool nestedSeen = false;
    TWindowHandle window =
        CreateHiddenWindow([&](TWindowHandle, uint32_t m, uintptr_t w, intptr_t) -> intptr_t {
          if (m == WM_USER + 1) {
            note("outer begin");
            outerStarted.set_value();
            TMessage message;
            // Pump inside the handler until the nested send has been served.
            while (!nestedSeen && WaitMessage(LongWaitMs))
              while (PeekMessage(message, true))
                DispatchMessage(message);
            note("outer end");
            return 100;
          }
          if (m == WM_USER + 2) {
            note("nested");
            nestedSeen = true;
            return intptr_t(w + 1000);
          }
          return 0;
        });
    created.set_value(window);
    TMessage message;
    while (GetMessage(message))
      DispatchMessage(message);
    DestroyWindow(window);
  });
  TWindowHandle window = created.get_future().get();
  std::future<intptr_t> outer = std::async(std::launch::async, [&] {
    intptr_t result = 0;
    EXPECT_TRUE(SendMessageTimeout(window, WM_USER + 1, 0, 0, LongWaitMs, &result));
    return result;
  });
  outerStarted.get_future().wait();
  intptr_t nested = 0;
  EXPECT_TRUE(SendMessageTimeout(window, WM_USER + 2, 5, 0, LongWaitMs, &nested));
  EXPECT_EQ(nested, 1005);
  EXPECT_EQ(outer.get(), 100);
  EXPECT_EQ(trace, (std::vector<std::string>{"outer begin", "nested", "outer end"}));
  PostMessage(window, WM_QUIT, 0, 0);
  owner.join();
}

TEST(MessagesTest, TwoThreadsSendingToEachOtherDoNotDeadlock) {
  constexpr int Rounds = 200;
  std::promise<TWindowHandle> createdA, createdB;
  std::shared_future<TWindowHandle> windowA = createdA.get_future().share();
  std::shared_future<TWindowHandle> windowB = createdB.get_future().share();
  std::barrier start(2);
  std::atomic<int> failures{0};
  auto side = [&](std::promise<TWindowHandle>& mine, std::shared_future<TWindowHandle> peer) {
    TWindowHandle own = CreateHiddenWindow([&](TWindowHandle, uint32_t m, uintptr_t w, intptr_t) {
      // A send that sends back: the original sender must serve it while it waits.
      if (m == WM_USER + 1)
        return SendMessage(peer.get(), WM_USER + 2, w, 0) + 1;
      return intptr_t(w * 2);
    });
    mine.set_value(own);
    TWindowHandle other = peer.get();
    for (int i = 0; i < Rounds; ++i) {
      start.arrive_and_wait(); // both send at the same moment
      intptr_t result = 0;
      if (!SendMessageTimeout(other, WM_USER + 1, i, 0, LongWaitMs, &result) ||
          result != 2 * i + 1) {
        ++failures;
        start.arrive_and_drop(); // one deadlocked round is enough; the peer goes on alone
        return;
      }
    }
    start.arrive_and_wait(); // the peer's window must outlive its last send
    DestroyWindow(own);
  };
  std::thread a(side, std::ref(createdA), windowB);
  std::thread b(side, std::ref(createdB), windowA);
  a.join();
  b.join();
  EXPECT_EQ(failures.load(), 0);
}

// A sender looks for its answer, and an idle pump for its next message, for a moment before
// sleeping: every send of a quick stream must still come back with its own result, none
// twice, none lost, whichever side sleeps.
TEST(MessagesTest, AQuickStreamOfSendsGetsEveryAnswerRight) {
  constexpr uintptr_t Sends = 5000;
  std::atomic<uintptr_t> served{0};
  TWindowHandle window = CreateHiddenWindow([&](TWindowHandle, uint32_t m, uintptr_t w, intptr_t) {
    if (m != WM_USER)
      return intptr_t(0);
    served.fetch_add(1);
    return intptr_t(w * 3 + 1);
  });
  std::atomic<bool> done{false};
  std::atomic<uintptr_t> wrong{0};
  std::thread sender([&] {
    for (uintptr_t i = 0; i < Sends; ++i) {
      // Every hundredth pause outlasts the pump's look, so that it sleeps too.
      if (i % 100 == 0)
        std::this_thread::sleep_for(std::chrono::microseconds(300));
      intptr_t result = 0;
      if (!SendMessageTimeout(window, WM_USER, i, 0, LongWaitMs, &result) ||
          result != intptr_t(i * 3 + 1))
        wrong.fetch_add(1);
    }
    done = true;
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(LongWaitMs);
  TMessage message;
  while (!done && std::chrono::steady_clock::now() < deadline) {
    if (PeekMessage(message, true))
      DispatchMessage(message);
    else
      WaitMessage(50);
  }
  sender.join();
  DestroyWindow(window);
  EXPECT_EQ(served.load(), Sends);
  EXPECT_EQ(wrong.load(), 0u);
}

TEST(MessagesTest, QuitComesAfterPostedMessagesAndCanBePostedAgain) {
  TRecorder recorder;
  TWindowHandle window = CreateHiddenWindow(Recording(recorder));
  PostMessage(window, WM_USER + 1, 0, 0);
  PostQuitMessage(7);
  PostMessage(window, WM_USER + 2, 0, 0);
  TMessage message;
  ASSERT_TRUE(GetMessage(message));
  EXPECT_EQ(message.Message, WM_USER + 1);
  ASSERT_TRUE(GetMessage(message));
  EXPECT_EQ(message.Message, WM_USER + 2);

  // A pump step that meets the quit puts it back for the main loop.
  ASSERT_TRUE(PeekMessage(message, true));
  ASSERT_EQ(message.Message, WM_QUIT);
  EXPECT_EQ(message.WParam, 7u);
  PostQuitMessage(static_cast<int>(message.WParam));

  EXPECT_FALSE(GetMessage(message));
  EXPECT_EQ(message.Message, WM_QUIT);
  EXPECT_EQ(message.WParam, 7u);
  EXPECT_FALSE(PeekMessage(message, true)) << "quit taken once";

  // A quit posted from another thread ends a blocked GetMessage there.
  std::promise<uint64_t> started;
  std::thread loop([&] {
    started.set_value(CurrentThreadId());
    TMessage m;
    int taken = 0;
    while (GetMessage(m))
      ++taken;
    EXPECT_EQ(taken, 1);
    EXPECT_EQ(m.WParam, 3u);
  });
  uint64_t loopId = started.get_future().get();
  EXPECT_TRUE(PostThreadMessage(loopId, WM_USER, 0, 0));
  EXPECT_TRUE(PostThreadMessage(loopId, WM_QUIT, 3, 0));
  loop.join();
  EXPECT_FALSE(PostThreadMessage(loopId, WM_USER, 0, 0)) << "the thread's queue has gone";
  DestroyWindow(window);
}

TEST(MessagesTest, BroadcastReachesEveryWindowOfEveryThread) {
  constexpr size_t Threads = 3, PerThread = 2;
  // Windows that other code of this process may own; WM_NULL means nothing to them.
  const size_t baseline = BroadcastMessage(WM_NULL, 0, 0);
  std::atomic<size_t> hits{0};
  std::barrier ready(Threads + 1);
  std::vector<std::thread> threads;
  std::mutex lock;
  std::vector<TWindowHandle> all;
  auto proc = [&](TWindowHandle, uint32_t m, uintptr_t w, intptr_t l) {
    if (m == WM_USER + 9 && w == 1 && l == 2)
      ++hits;
    return intptr_t(0);
  };
  for (size_t t = 0; t < Threads; ++t)
    threads.emplace_back([&] {
      std::vector<TWindowHandle> mine;
      for (size_t i = 0; i < PerThread; ++i)
        mine.push_back(CreateHiddenWindow(proc));
      {
        std::lock_guard guard(lock);
        all.insert(all.end(), mine.begin(), mine.end());
      }
      ready.arrive_and_wait(); // windows exist
      ready.arrive_and_wait(); // broadcast done
      Drain();
      for (TWindowHandle window : mine)
        DestroyWindow(window);
    });
  TWindowHandle own = CreateHiddenWindow(proc);
  ready.arrive_and_wait();
  EXPECT_EQ(BroadcastMessage(WM_USER + 9, 1, 2), baseline + Threads * PerThread + 1);
  ready.arrive_and_wait();
  Drain();
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(hits.load(), Threads * PerThread + 1);
  for (TWindowHandle window : all)
    EXPECT_FALSE(IsWindow(window)) << "windows of ended threads";
  DestroyWindow(own);
  EXPECT_EQ(BroadcastMessage(WM_USER + 9, 1, 2), baseline);
}

TEST(MessagesTest, WakeDescriptorFollowsWaitingWork) {
  TRecorder recorder;
  TWindowHandle window = CreateHiddenWindow(Recording(recorder));
  int fd = QueueWakeDescriptor();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(QueueWakeDescriptor(), fd);
  Drain();
  EXPECT_FALSE(WakeReadable(fd));
  EXPECT_FALSE(WaitMessage(0));

  std::thread([&] { PostMessage(window, WM_USER + 1, 0, 0); }).join();
  std::thread([&] { PostMessage(window, WM_USER + 2, 0, 0); }).join();
  EXPECT_TRUE(WakeReadable(fd));
  EXPECT_TRUE(WakeReadable(fd)) << "level, not edge: polling does not consume it";
  TMessage message;
  ASSERT_TRUE(PeekMessage(message, true));
  EXPECT_TRUE(WakeReadable(fd)) << "one message still waiting";
  ASSERT_TRUE(PeekMessage(message, false));
  EXPECT_TRUE(WakeReadable(fd)) << "peeking without removing leaves it waiting";
  ASSERT_TRUE(PeekMessage(message, true));
  EXPECT_FALSE(WakeReadable(fd));

  // A send from another thread makes it readable; serving the send quiets it.
  std::atomic<bool> sent{false};
  std::thread sender([&] {
    intptr_t result = 0;
    EXPECT_TRUE(SendMessageTimeout(window, WM_USER + 3, 4, 0, LongWaitMs, &result));
    EXPECT_EQ(result, 8);
    sent = true;
  });
  pollfd entry{fd, POLLIN, 0};
  ASSERT_EQ(poll(&entry, 1, static_cast<int>(LongWaitMs)), 1);
  EXPECT_TRUE(WaitMessage(0));
  EXPECT_FALSE(PeekMessage(message, true)) << "a send is served, not returned";
  sender.join();
  EXPECT_TRUE(sent.load());
  EXPECT_FALSE(WakeReadable(fd));

  PostQuitMessage(0);
  EXPECT_TRUE(WakeReadable(fd));
  ASSERT_TRUE(PeekMessage(message, true));
  EXPECT_EQ(message.Message, WM_QUIT);
  EXPECT_FALSE(WakeReadable(fd));

  PostMessage(window, WM_USER + 4, 0, 0);
  EXPECT_TRUE(WakeReadable(fd));
  DestroyWindow(window); // its pending messages go with it
  EXPECT_FALSE(WakeReadable(fd));
  EXPECT_EQ(recorder.Take(), (std::vector<uint32_t>{WM_USER + 3, WM_DESTROY}));
}

TEST(MessagesTest, DestroyedWindowDropsItsPendingMessagesAndFailsSends) {
  TRecorder recorder, otherRecorder;
  TWindowHandle window = CreateHiddenWindow(Recording(recorder));
  TWindowHandle other = CreateHiddenWindow(Recording(otherRecorder));
  Drain();
  std::future<bool> sendResult = std::async(std::launch::async, [&] {
    return SendMessageTimeout(window, WM_USER + 3, 0, 0, MessageWaitInfinite, nullptr);
  });
  // Nothing is posted yet, so the work that WaitMessage sees is the queued send; it waits
  // for it without serving it.
  ASSERT_TRUE(WaitMessage(LongWaitMs));
  for (int i = 0; i < 3; ++i)
    PostMessage(window, WM_USER + 1, 0, 0);
  PostMessage(other, WM_USER + 2, 0, 0);
  PostMessage(window, WM_USER + 1, 0, 0);

  EXPECT_TRUE(DestroyWindow(window));
  ASSERT_EQ(sendResult.wait_for(std::chrono::milliseconds(LongWaitMs)), std::future_status::ready);
  EXPECT_FALSE(sendResult.get()) << "a send to a destroyed window must fail";
  EXPECT_FALSE(IsWindow(window));
  EXPECT_FALSE(PostMessage(window, WM_USER, 0, 0));
  EXPECT_FALSE(SendMessageTimeout(window, WM_USER, 0, 0, 0, nullptr));

  EXPECT_EQ(Drain(), 1);
  EXPECT_EQ(recorder.Take(), (std::vector<uint32_t>{WM_DESTROY}));
  EXPECT_EQ(otherRecorder.Take(), (std::vector<uint32_t>{WM_USER + 2}));
  DestroyWindow(other);
}

TEST(MessagesTest, WindowMayDestroyItselfInsideItsProcedure) {
  int destroys = 0;
  TWindowHandle window = 0;
  window = CreateHiddenWindow([&](TWindowHandle self, uint32_t m, uintptr_t, intptr_t) {
    if (m == WM_DESTROY) {
      ++destroys;
      EXPECT_FALSE(DestroyWindow(self)) << "already being destroyed";
    } else if (m == WM_USER) {
      EXPECT_TRUE(DestroyWindow(self));
      PostMessage(self, WM_USER, 0, 0); // refused: the window is gone
    }
    return intptr_t(0);
  });
  PostMessage(window, WM_USER, 0, 0);
  PostMessage(window, WM_USER, 0, 0);
  TMessage message;
  ASSERT_TRUE(PeekMessage(message, true));
  DispatchMessage(message);
  EXPECT_FALSE(PeekMessage(message, true)) << "the second message went with the window";
  EXPECT_EQ(destroys, 1);
}

TEST(MessagesTest, ThreadThatEndsReleasesSendersAndItsWindows) {
  std::promise<TWindowHandle> created;
  std::promise<void> stop;
  std::thread owner([&] {
    TWindowHandle window = CreateHiddenWindow(
        [](TWindowHandle, uint32_t, uintptr_t, intptr_t) { return intptr_t(1); });
    created.set_value(window);
    // Wait until the send is waiting here, then end without serving it.
    EXPECT_TRUE(WaitMessage(LongWaitMs));
    stop.get_future().wait();
  });
  TWindowHandle window = created.get_future().get();
  uint64_t ownerId = WindowThreadId(window);
  EXPECT_NE(ownerId, 0u);
  EXPECT_NE(ownerId, CurrentThreadId());
  std::future<bool> send = std::async(std::launch::async, [&] {
    intptr_t result = 5;
    bool ok = SendMessageTimeout(window, WM_USER, 0, 0, MessageWaitInfinite, &result);
    EXPECT_EQ(result, 0);
    return ok;
  });
  stop.set_value();
  owner.join();
  ASSERT_EQ(send.wait_for(std::chrono::milliseconds(LongWaitMs)), std::future_status::ready);
  EXPECT_FALSE(send.get());
  EXPECT_FALSE(IsWindow(window));
  EXPECT_FALSE(PostMessage(window, WM_USER, 0, 0));
  EXPECT_FALSE(PostThreadMessage(ownerId, WM_USER, 0, 0));
  EXPECT_FALSE(SendMessageTimeout(window, WM_USER, 0, 0, LongWaitMs, nullptr));
}

TEST(MessagesTest, ThrowingProcedureReleasesItsSender) {
  std::promise<TWindowHandle> created;
  std::atomic<bool> caught{false};
  std::thread owner([&] {
    TWindowHandle window =
        CreateHiddenWindow([](TWindowHandle, uint32_t m, uintptr_t, intptr_t) -> intptr_t {
          if (m == WM_USER)
            throw std::runtime_error("handler failed");
          return 0;
        });
    created.set_value(window);
    TMessage message;
    for (;;) {
      try {
        if (!GetMessage(message))
          break;
        DispatchMessage(message);
      } catch (const std::runtime_error&) {
        caught = true;
      }
    }
    DestroyWindow(window);
  });
  TWindowHandle window = created.get_future().get();
  intptr_t result = 3;
  EXPECT_FALSE(SendMessageTimeout(window, WM_USER, 0, 0, LongWaitMs, &result));
  EXPECT_EQ(result, 0);
  PostMessage(window, WM_QUIT, 0, 0);
  owner.join();
  EXPECT_TRUE(caught.load()) << "the exception reaches the owner's pump";
}

TEST(MessagesTest, SendWhoseSenderLeavesByAnExceptionIsWithdrawn) {
  // The owner of the target window does not pump until the sender has left.
  std::atomic<int> calls{0};
  std::promise<TWindowHandle> created;
  std::promise<void> pumpNow, drained;
  std::thread owner([&] {
    TWindowHandle window = CreateHiddenWindow([&](TWindowHandle, uint32_t, uintptr_t, intptr_t) {
      ++calls;
      return intptr_t(1);
    });
    created.set_value(window);
    pumpNow.get_future().wait();
    Drain();
    drained.set_value();
    TMessage message;
    while (GetMessage(message))
      DispatchMessage(message);
    DestroyWindow(window);
  });
  const TWindowHandle target = created.get_future().get();

  // A send to this thread's own window that throws while the sender serves it.
  const TWindowHandle mine =
      CreateHiddenWindow([](TWindowHandle, uint32_t m, uintptr_t, intptr_t) -> intptr_t {
        if (m == WM_USER + 5)
          throw std::runtime_error("served send failed");
        return 0;
      });
  Drain();
  std::future<bool> incoming = std::async(std::launch::async, [&] {
    return SendMessageTimeout(mine, WM_USER + 5, 0, 0, LongWaitMs, nullptr);
  });
  pollfd wake{QueueWakeDescriptor(), POLLIN, 0};
  ASSERT_EQ(1, poll(&wake, 1, LongWaitMs)) << "the incoming send never arrived";

  {
    int parameter = 42; // the send describes memory of this block
    EXPECT_THROW(SendMessageTimeout(target, WM_USER, 0, reinterpret_cast<intptr_t>(&parameter),
                                    LongWaitMs, nullptr),
                 std::runtime_error);
  }
  ASSERT_EQ(incoming.wait_for(std::chrono::milliseconds(LongWaitMs)), std::future_status::ready);
  EXPECT_FALSE(incoming.get());
  pumpNow.set_value();
  ASSERT_EQ(drained.get_future().wait_for(std::chrono::milliseconds(LongWaitMs)),
            std::future_status::ready);
  EXPECT_EQ(calls.load(), 0) << "the abandoned send ran after its sender had left";

  intptr_t result = 0;
  EXPECT_TRUE(SendMessageTimeout(target, WM_USER, 0, 0, LongWaitMs, &result));
  EXPECT_EQ(result, 1);
  PostMessage(target, WM_QUIT, 0, 0);
  owner.join();
  EXPECT_TRUE(DestroyWindow(mine));
}

TEST(MessagesTest, ThreadIdsAreDistinct) {
  uint64_t mine = CurrentThreadId();
  EXPECT_NE(mine, 0u);
  EXPECT_EQ(CurrentThreadId(), mine);
  uint64_t first = 0, second = 0;
  std::thread([&] { first = CurrentThreadId(); }).join();
  std::thread([&] { second = CurrentThreadId(); }).join();
  EXPECT_NE(first, mine);
  EXPECT_NE(second, first) << "ids are not reused";
}
