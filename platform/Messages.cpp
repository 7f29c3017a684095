// Messages: one process-wide registry of windows, classes and thread queues under one mutex.
// Procedures always run outside that mutex, so they may post, send, pump and destroy freely.
#include "platform/Messages.h"

#include "platform/Spin.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

namespace Platform {

namespace {

// A queue that nobody drains must not grow without bound; posts beyond this fail.
constexpr size_t MaxPostedMessages = 10000;

struct TQueue;

enum TSendState { ssWaiting, ssRunning, ssDone, ssFailed, ssWithdrawn };

// One cross-thread send. The sender keeps it alive on its stack frame's shared_ptr; the
// owner's queue holds it while it waits to be served.
struct TSendRecord {
  TWindowHandle Window = 0;
  uint32_t Message = 0;
  uintptr_t WParam = 0;
  intptr_t LParam = 0;
  std::atomic<TSendState> State{ssWaiting}; // changed under the registry lock only
  intptr_t Result = 0;
  std::shared_ptr<TQueue> Sender;
};

struct TWindow {
  TWindowHandle Handle = 0;
  TWindowProc Proc;
  void* Data = nullptr;
  std::string ClassKey; // empty for a window with its own procedure
  std::shared_ptr<TQueue> Owner;
  bool Destroying = false;
};

struct TQueue {
  uint64_t ThreadId = 0;
  std::deque<TMessage> Posted;
  std::deque<std::shared_ptr<TSendRecord>> Incoming;
  bool QuitPending = false;
  int QuitCode = 0;
  bool Dead = false;
  std::condition_variable_any Changed;
  int WakeFd = -1;
  bool WakeSignalled = false;
  // HasWork() as of the last change, for a look without the registry lock.
  std::atomic<bool> WorkWaiting{false};
};

struct TRegistry {
  TBriefMutex Lock;
  std::unordered_map<TWindowHandle, std::shared_ptr<TWindow>> Windows;
  std::unordered_map<uint64_t, std::shared_ptr<TQueue>> Queues;
  std::unordered_map<std::string, TWindowProc> Classes;
  TWindowHandle LastHandle = 0;
};

// Never destroyed: thread teardown (including the main thread's at exit) still needs it.
TRegistry& Registry() {
  static TRegistry* registry = new TRegistry;
  return *registry;
}

std::atomic<uint64_t> LastThreadId{0};
thread_local uint64_t ThisThreadId = 0;
// Set once this thread's queue owner has been destroyed; trivially destructible, so it stays
// readable from other thread-local destructors that run later.
thread_local bool ThreadQueueGone = false;

std::string ClassKey(const std::string& name) {
  std::string key = name;
  std::transform(key.begin(), key.end(), key.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return key;
}

bool HasWork(const TQueue& queue) {
  return !queue.Posted.empty() || queue.QuitPending || !queue.Incoming.empty();
}

// Keeps the wake descriptor readable exactly while work is waiting, and wakes the owner when
// work arrives (unless the caller wakes it itself once the lock is let go: notify false).
// Called with the registry lock held after every change to the queue.
void QueueChanged(TQueue& queue, bool notify = true) {
  const bool work = HasWork(queue);
  queue.WorkWaiting.store(work, std::memory_order_release);
  if (queue.WakeFd >= 0 && work != queue.WakeSignalled) {
    uint64_t value = 1;
    ssize_t done =
        work ? write(queue.WakeFd, &value, sizeof value) : read(queue.WakeFd, &value, sizeof value);
    if (done == static_cast<ssize_t>(sizeof value))
      queue.WakeSignalled = work;
  }
  if (work && notify)
    queue.Changed.notify_all();
}

// Ends a send that can no longer be served and releases its sender.
void FailSend(TSendRecord& record) {
  record.State = ssFailed;
  if (record.Sender)
    record.Sender->Changed.notify_all();
}

void TearDownQueue(const std::shared_ptr<TQueue>& queue);

struct TThreadQueueOwner {
  std::shared_ptr<TQueue> Queue;
  ~TThreadQueueOwner() {
    ThreadQueueGone = true;
    if (Queue)
      TearDownQueue(Queue);
  }
};

thread_local TThreadQueueOwner ThreadOwner;

uint64_t ThreadIdNoQueue() {
  if (ThisThreadId == 0)
    ThisThreadId = LastThreadId.fetch_add(1, std::memory_order_relaxed) + 1;
  return ThisThreadId;
}

// The calling thread's queue, created on first use; nullptr once the thread is ending.
const std::shared_ptr<TQueue>* CurrentQueue() {
  if (ThreadQueueGone)
    return nullptr;
  TThreadQueueOwner& owner = ThreadOwner;
  if (!owner.Queue) {
    auto queue = std::make_shared<TQueue>();
    queue->ThreadId = ThreadIdNoQueue();
    queue->WakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    TRegistry& registry = Registry();
    std::lock_guard lock(registry.Lock);
    registry.Queues.emplace(queue->ThreadId, queue);
    owner.Queue = std::move(queue);
  }
  return &owner.Queue;
}

void TearDownQueue(const std::shared_ptr<TQueue>& queue) {
  // Window records (and the procedures' captures) are released after the lock is dropped,
  // since their destructors may call back into this unit.
  std::vector<std::shared_ptr<TWindow>> released;
  std::deque<std::shared_ptr<TSendRecord>> failed;
  {
    TRegistry& registry = Registry();
    std::lock_guard lock(registry.Lock);
    queue->Dead = true;
    registry.Queues.erase(queue->ThreadId);
    for (auto it = registry.Windows.begin(); it != registry.Windows.end();) {
      if (it->second->Owner == queue) {
        released.push_back(std::move(it->second));
        it = registry.Windows.erase(it);
      } else {
        ++it;
      }
    }
    failed.swap(queue->Incoming);
    for (auto& record : failed)
      FailSend(*record);
    queue->Posted.clear();
    queue->QuitPending = false;
    if (queue->WakeFd >= 0)
      close(queue->WakeFd);
    queue->WakeFd = -1;
    queue->WakeSignalled = false;
  }
  for (auto& window : released)
    window->Owner.reset(); // the window no longer keeps the queue alive
}

std::shared_ptr<TWindow> FindWindow(TRegistry& registry, TWindowHandle handle) {
  auto it = registry.Windows.find(handle);
  return it == registry.Windows.end() ? nullptr : it->second;
}

// Serves the oldest incoming send of the calling thread's queue. False when none waits.
bool ServeOneSend(const std::shared_ptr<TQueue>& queue) {
  TRegistry& registry = Registry();
  std::shared_ptr<TSendRecord> record;
  std::shared_ptr<TWindow> window;
  {
    std::lock_guard lock(registry.Lock);
    while (!queue->Incoming.empty() && !window) {
      record = std::move(queue->Incoming.front());
      queue->Incoming.pop_front();
      window = FindWindow(registry, record->Window);
      if (window && window->Owner == queue)
        record->State = ssRunning;
      else {
        FailSend(*record);
        window.reset();
      }
    }
    QueueChanged(*queue);
    if (!window)
      return false;
  }
  // A procedure that throws still releases its sender, with failure.
  struct TFailOnUnwind {
    TSendRecord& Record;
    bool Armed = true;
    ~TFailOnUnwind() {
      if (Armed) {
        std::lock_guard lock(Registry().Lock);
        FailSend(Record);
      }
    }
  } guard{*record};
  intptr_t result = window->Proc(record->Window, record->Message, record->WParam, record->LParam);
  guard.Armed = false;
  std::shared_ptr<TQueue> sender;
  {
    std::lock_guard lock(registry.Lock);
    record->Result = result;
    record->State = ssDone;
    sender = record->Sender;
  }
  // Woken once the lock is free, so that the sender does not wake only to wait for it.
  if (sender)
    sender->Changed.notify_all();
  return true;
}

// Takes a send its sender no longer waits for out of the owner's queue, unless it already
// runs: the sender has moved on and the parameters may describe memory that no longer exists.
// Called with the registry lock held.
void Withdraw(TQueue& owner, const std::shared_ptr<TSendRecord>& record) {
  if (record->State != ssWaiting)
    return;
  auto& incoming = owner.Incoming;
  incoming.erase(std::remove(incoming.begin(), incoming.end(), record), incoming.end());
  record->State = ssWithdrawn;
  QueueChanged(owner);
}

bool PostTo(TQueue& queue, const TMessage& message) {
  if (queue.Dead || queue.Posted.size() >= MaxPostedMessages)
    return false;
  queue.Posted.push_back(message);
  QueueChanged(queue);
  return true;
}

TWindowHandle AddWindow(TWindowProc proc, std::string classKey, void* userData) {
  const std::shared_ptr<TQueue>* queue = CurrentQueue();
  if (!queue || !proc)
    return 0;
  auto window = std::make_shared<TWindow>();
  window->Proc = std::move(proc);
  window->Data = userData;
  window->ClassKey = std::move(classKey);
  window->Owner = *queue;
  TRegistry& registry = Registry();
  std::lock_guard lock(registry.Lock);
  window->Handle = ++registry.LastHandle;
  registry.Windows.emplace(window->Handle, window);
  return window->Handle;
}

} // namespace

bool RegisterWindowClass(const std::string& name, TWindowProc proc) {
  if (name.empty() || !proc)
    return false;
  TRegistry& registry = Registry();
  std::lock_guard lock(registry.Lock);
  return registry.Classes.emplace(ClassKey(name), std::move(proc)).second;
}

bool UnregisterWindowClass(const std::string& name) {
  TRegistry& registry = Registry();
  std::optional<TWindowProc> released; // destroyed after the lock is dropped
  std::lock_guard lock(registry.Lock);
  const std::string key = ClassKey(name);
  auto it = registry.Classes.find(key);
  if (it == registry.Classes.end())
    return false;
  for (const auto& entry : registry.Windows)
    if (entry.second->ClassKey == key)
      return false;
  released.emplace(std::move(it->second));
  registry.Classes.erase(it);
  return true;
}

bool IsWindowClassRegistered(const std::string& name) {
  TRegistry& registry = Registry();
  std::lock_guard lock(registry.Lock);
  return registry.Classes.count(ClassKey(name)) != 0;
}

TWindowHandle CreateHiddenWindow(const std::string& className, void* userData) {
  std::string key = ClassKey(className);
  TWindowProc proc;
  {
    TRegistry& registry = Registry();
    std::lock_guard lock(registry.Lock);
    auto it = registry.Classes.find(key);
    if (it == registry.Classes.end())
      return 0;
    proc = it->second;
  }
  return AddWindow(std::move(proc), std::move(key), userData);
}

TWindowHandle CreateHiddenWindow(TWindowProc proc, void* userData) {
  return AddWindow(std::move(proc), std::string(), userData);
}

bool DestroyWindow(TWindowHandle handle) {
  const std::shared_ptr<TQueue>* queue = CurrentQueue();
  if (!queue)
    return false;
  TRegistry& registry = Registry();
  std::shared_ptr<TWindow> window;
  {
    std::lock_guard lock(registry.Lock);
    window = FindWindow(registry, handle);
    if (!window || window->Owner != *queue || window->Destroying)
      return false;
    window->Destroying = true;
  }
  // The window is removed even when its procedure throws on WM_DESTROY.
  struct TRemoveOnExit {
    TRegistry& Registry;
    const std::shared_ptr<TWindow>& Window;
    ~TRemoveOnExit() {
      std::deque<std::shared_ptr<TSendRecord>> failed;
      std::lock_guard lock(Registry.Lock);
      Registry.Windows.erase(Window->Handle);
      TQueue& owner = *Window->Owner;
      std::erase_if(owner.Posted,
                    [&](const TMessage& message) { return message.Window == Window->Handle; });
      std::erase_if(owner.Incoming, [&](const std::shared_ptr<TSendRecord>& record) {
        if (record->Window != Window->Handle)
          return false;
        FailSend(*record);
        return true;
      });
      QueueChanged(owner);
    }
  } remove{registry, window};
  window->Proc(handle, WM_DESTROY, 0, 0);
  return true;
}

bool IsWindow(TWindowHandle handle) {
  TRegistry& registry = Registry();
  std::lock_guard lock(registry.Lock);
  return registry.Windows.count(handle) != 0;
}

void* GetWindowData(TWindowHandle handle) {
  TRegistry& registry = Registry();
  std::lock_guard lock(registry.Lock);
  auto window = FindWindow(registry, handle);
  return window ? window->Data : nullptr;
}

bool SetWindowData(TWindowHandle handle, void* data) {
  TRegistry& registry = Registry();
  std::lock_guard lock(registry.Lock);
  auto window = FindWindow(registry, handle);
  if (!window)
    return false;
  window->Data = data;
  return true;
}

uint64_t WindowThreadId(TWindowHandle handle) {
  TRegistry& registry = Registry();
  std::lock_guard lock(registry.Lock);
  auto window = FindWindow(registry, handle);
  return window ? window->Owner->ThreadId : 0;
}

bool PostMessage(TWindowHandle handle, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  TRegistry& registry = Registry();
  std::lock_guard lock(registry.Lock);
  auto window = FindWindow(registry, handle);
  if (!window)
    return false;
  return PostTo(*window->Owner, TMessage{handle, message, wParam, lParam});
}

bool PostThreadMessage(uint64_t threadId, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  TRegistry& registry = Registry();
  std::lock_guard lock(registry.Lock);
  auto it = registry.Queues.find(threadId);
  if (it == registry.Queues.end())
    return false;
  return PostTo(*it->second, TMessage{0, message, wParam, lParam});
}

size_t BroadcastMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
  TRegistry& registry = Registry();
  std::lock_guard lock(registry.Lock);
  size_t reached = 0;
  for (const auto& [handle, window] : registry.Windows)
    if (PostTo(*window->Owner, TMessage{handle, message, wParam, lParam}))
      ++reached;
  return reached;
}

void PostQuitMessage(int exitCode) {
  const std::shared_ptr<TQueue>* queue = CurrentQueue();
  if (!queue)
    return;
  TRegistry& registry = Registry();
  std::lock_guard lock(registry.Lock);
  (*queue)->QuitPending = true;
  (*queue)->QuitCode = exitCode;
  QueueChanged(**queue);
}

bool SendMessageTimeout(TWindowHandle handle, uint32_t message, uintptr_t wParam, intptr_t lParam,
                        uint32_t timeoutMs, intptr_t* result) {
  if (result)
    *result = 0;
  const std::shared_ptr<TQueue>* current = CurrentQueue();
  if (!current)
    return false;
  const std::shared_ptr<TQueue>& self = *current;
  TRegistry& registry = Registry();
  std::unique_lock lock(registry.Lock);
  auto window = FindWindow(registry, handle);
  if (!window)
    return false;
  if (window->Owner == self) {
    lock.unlock();
    intptr_t value = window->Proc(handle, message, wParam, lParam);
    if (result)
      *result = value;
    return true;
  }
  // Held so that a withdrawal after the owner has ended still finds its queue.
  const std::shared_ptr<TQueue> ownerQueue = window->Owner;
  TQueue& owner = *ownerQueue;
  if (owner.Dead)
    return false;
  auto record = std::make_shared<TSendRecord>();
  record->Window = handle;
  record->Message = message;
  record->WParam = wParam;
  record->LParam = lParam;
  record->Sender = self;
  owner.Incoming.push_back(record);
  QueueChanged(owner, false);
  window.reset();
  // The owner is woken once the lock is free (ownerQueue keeps its queue alive meanwhile).
  lock.unlock();
  owner.Changed.notify_all();
  SpinUntil(
      [&] {
        const TSendState state = record->State.load(std::memory_order_acquire);
        return state == ssDone || state == ssFailed ||
               self->WorkWaiting.load(std::memory_order_acquire);
      },
      SpinBeforeSleep);
  lock.lock();

  using TClock = std::chrono::steady_clock;
  const bool forever = timeoutMs == MessageWaitInfinite;
  const TClock::time_point deadline = TClock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (record->State == ssDone) {
      if (result)
        *result = record->Result;
      return true;
    }
    if (record->State == ssFailed)
      return false;
    if (!self->Incoming.empty()) {
      // Serve sends to this thread while we wait, or two threads sending to each other
      // would wait for each other forever.
      lock.unlock();
      try {
        ServeOneSend(self);
      } catch (...) {
        // We leave by the exception: our own send must not run later either.
        lock.lock();
        Withdraw(owner, record);
        throw;
      }
      lock.lock();
      continue;
    }
    if (!forever && TClock::now() >= deadline) {
      Withdraw(owner, record);
      return false;
    }
    if (forever)
      self->Changed.wait(lock);
    else
      self->Changed.wait_until(lock, deadline);
  }
}

intptr_t SendMessage(TWindowHandle handle, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  intptr_t result = 0;
  SendMessageTimeout(handle, message, wParam, lParam, MessageWaitInfinite, &result);
  return result;
}

bool PeekMessage(TMessage& message, bool remove) {
  const std::shared_ptr<TQueue>* current = CurrentQueue();
  if (!current)
    return false;
  const std::shared_ptr<TQueue>& self = *current;
  TRegistry& registry = Registry();
  // Serve the sends that were waiting on entry; later arrivals wait for the next call, so a
  // steady stream of sends cannot keep this call from returning.
  size_t waiting;
  {
    std::lock_guard lock(registry.Lock);
    waiting = self->Incoming.size();
  }
  while (waiting-- > 0 && ServeOneSend(self)) {
  }
  std::lock_guard lock(registry.Lock);
  if (!self->Posted.empty()) {
    message = self->Posted.front();
    if (remove) {
      self->Posted.pop_front();
      QueueChanged(*self);
    }
    return true;
  }
  if (self->QuitPending) {
    message = TMessage{0, WM_QUIT, static_cast<uintptr_t>(self->QuitCode), 0};
    if (remove) {
      self->QuitPending = false;
      QueueChanged(*self);
    }
    return true;
  }
  return false;
}

bool GetMessage(TMessage& message) {
  const std::shared_ptr<TQueue>* current = CurrentQueue();
  if (!current) {
    message = TMessage{0, WM_QUIT, 0, 0};
    return false;
  }
  const std::shared_ptr<TQueue>& self = *current;
  TRegistry& registry = Registry();
  for (;;) {
    if (PeekMessage(message, true))
      return message.Message != WM_QUIT;
    std::unique_lock lock(registry.Lock);
    self->Changed.wait(lock, [&] { return HasWork(*self); });
  }
}

intptr_t DispatchMessage(const TMessage& message) {
  if (message.Window == 0)
    return 0;
  const std::shared_ptr<TQueue>* current = CurrentQueue();
  if (!current)
    return 0;
  std::shared_ptr<TWindow> window;
  {
    TRegistry& registry = Registry();
    std::lock_guard lock(registry.Lock);
    window = FindWindow(registry, message.Window);
    // Only the owner runs a window's procedure.
    if (!window || window->Owner != *current)
      return 0;
  }
  return window->Proc(message.Window, message.Message, message.WParam, message.LParam);
}

void TranslateMessage(const TMessage&) {}

bool WaitMessage(uint32_t timeoutMs) {
  const std::shared_ptr<TQueue>* current = CurrentQueue();
  if (!current)
    return false;
  const std::shared_ptr<TQueue>& self = *current;
  if (SpinUntil([&] { return self->WorkWaiting.load(std::memory_order_acquire); },
                SpinFor(timeoutMs)))
    return true;
  TRegistry& registry = Registry();
  std::unique_lock lock(registry.Lock);
  auto ready = [&] { return HasWork(*self); };
  if (timeoutMs == MessageWaitInfinite) {
    self->Changed.wait(lock, ready);
    return true;
  }
  return self->Changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
}

int QueueWakeDescriptor() {
  const std::shared_ptr<TQueue>* current = CurrentQueue();
  if (!current)
    return -1;
  TRegistry& registry = Registry();
  std::lock_guard lock(registry.Lock);
  return (*current)->WakeFd;
}

uint64_t CurrentThreadId() {
  CurrentQueue(); // asking for the id makes the thread reachable by PostThreadMessage
  return ThreadIdNoQueue();
}

} // namespace Platform
