// Worker threads on std::thread, with priorities through the per-thread nice value and the
// idle scheduling class.
#include "platform/Threads.h"

#include "platform/LastError.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace Platform {

namespace {

constexpr int cNiceMin = -20;
constexpr int cNiceMax = 19;

int NiceOffset(TThreadPriority priority) {
  switch (priority) {
  case tpIdle:
  case tpLowest:
    return 10;
  case tpLower:
    return 5;
  case tpNormal:
    return 0;
  case tpHigher:
    return -5;
  case tpHighest:
    return -10;
  case tpTimeCritical:
    return -20;
  }
  return 0;
}

} // namespace

pid_t CurrentSystemThreadId() {
  return static_cast<pid_t>(::syscall(SYS_gettid));
}

TThread::TThread(TBody body, bool createSuspended)
    : FBody(std::move(body)), FThread([this] { Run(); }) {
  std::unique_lock lock(FLock);
  // The id is known before the constructor returns, so the thread can be addressed at once.
  FChanged.wait(lock, [this] { return FIdReady; });
  if (!createSuspended) {
    FStarted = true;
    FChanged.notify_all();
  }
}

TThread::~TThread() {
  Terminate();
  {
    std::lock_guard lock(FLock);
    if (!FStarted) {
      FSkipBody = true;
      FChanged.notify_all();
    }
  }
  if (FThread.joinable()) {
    FThread.join();
  }
}

void TThread::Run() {
  {
    std::unique_lock lock(FLock);
    FThreadId = CurrentSystemThreadId();
    // tpNormal is the process's own nice (its main thread's), not that of whichever thread
    // happened to create this one.
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::getpid()));
    FBaseNice = errno == 0 ? nice : 0;
    FIdReady = true;
    FChanged.notify_all();
    FChanged.wait(lock, [this] { return FStarted || FSkipBody; });
    if (FSkipBody) {
      FFinished = true;
      FChanged.notify_all();
      return;
    }
  }
  std::exception_ptr fatal;
  try {
    if (FBody) {
      FBody(*this);
    }
  } catch (...) {
    fatal = std::current_exception();
  }
  std::lock_guard lock(FLock);
  FFatalException = fatal;
  FFinished = true;
  FChanged.notify_all();
}

void TThread::Start() {
  std::lock_guard lock(FLock);
  if (!FStarted && !FSkipBody) {
    FStarted = true;
    FChanged.notify_all();
  }
}

bool TThread::Started() const {
  std::lock_guard lock(FLock);
  return FStarted;
}

bool TThread::Finished() const {
  std::lock_guard lock(FLock);
  return FFinished;
}

bool TThread::WaitFor(uint32_t timeoutMs) {
  if (std::this_thread::get_id() == FThread.get_id()) {
    SetLastError(errInvalidParameter);
    return false;
  }
  std::unique_lock lock(FLock);
  auto finished = [this] { return FFinished; };
  if (timeoutMs == INFINITE) {
    FChanged.wait(lock, finished);
    return true;
  }
  return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), finished);
}

bool TThread::SetPriority(TThreadPriority priority) {
  std::lock_guard lock(FLock);
  FPriority = priority;
  FPriorityApplied = ApplyPriorityLocked(priority);
  return FPriorityApplied;
}

bool TThread::ApplyPriorityLocked(TThreadPriority priority) {
  // Once the body has returned the id may soon belong to another thread: leave it alone.
  if (FFinished) {
    return false;
  }
  sched_param param{};
  param.sched_priority = 0;
  const int policy = priority == tpIdle ? SCHED_IDLE : SCHED_OTHER;
  if (::sched_getscheduler(FThreadId) != policy &&
      ::sched_setscheduler(FThreadId, policy, &param) != 0) {
    return false;
  }
  const int nice = std::clamp(FBaseNice + NiceOffset(priority), cNiceMin, cNiceMax);
  return ::setpriority(PRIO_PROCESS, static_cast<id_t>(FThreadId), nice) == 0;
}

TThreadPriority TThread::Priority() const {
  std::lock_guard lock(FLock);
  return FPriority;
}

bool TThread::PriorityApplied() const {
  std::lock_guard lock(FLock);
  return FPriorityApplied;
}

std::exception_ptr TThread::FatalException() const {
  std::lock_guard lock(FLock);
  return FFatalException;
}

} // namespace Platform
