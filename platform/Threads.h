// Threads: a worker thread object with a body, seven priority steps and a bounded wait.
//
// The system thread exists from construction on (so ThreadId() and SetPriority() work on a
// suspended thread); a suspended thread runs its body only after Start().  The body gets the
// thread object and should return soon after Terminated() turns true.  An exception leaving
// the body ends the thread quietly and is kept for FatalException().
// Priorities map to the system best effort: tpIdle is the idle scheduling class, the other
// steps are nice values around the process's nice (tpNormal; -5 / -10 / -20 for the raised
// steps, +5 / +10 for the lowered ones).  A change the system refuses (raising
// needs privilege) is not an error: Priority() keeps the step asked for and
// PriorityApplied() says whether the system took it.
// Destroying the object asks the thread to terminate and waits until its body has returned;
// it must not be destroyed from its own body.
#pragma once

#include "platform/Sync.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <sys/types.h>
#include <thread>

namespace Platform {

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

class TThread {
public:
  using TBody = std::function<void(TThread& self)>;

  explicit TThread(TBody body, bool createSuspended = false);
  ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Lets a suspended thread run its body; no effect on a started one.
  void Start();
  void Terminate() { FTerminated.store(true); }
  bool Terminated() const { return FTerminated.load(); }
  bool Started() const;
  bool Finished() const;

  // True once the body has returned; false after the time-out.  A thread waiting for itself
  // would never return: that is refused at once (false, last error errInvalidParameter).
  bool WaitFor(uint32_t timeoutMs = INFINITE);
  void Join() { WaitFor(INFINITE); }

  // The system's id of the thread (as gettid() gives it inside the thread).
  pid_t ThreadId() const { return FThreadId; }

  // Returns whether the system applied the step; the step is remembered either way.
  bool SetPriority(TThreadPriority priority);
  TThreadPriority Priority() const;
  bool PriorityApplied() const;

  std::exception_ptr FatalException() const;

private:
  void Run();
  bool ApplyPriorityLocked(TThreadPriority priority);

  TBody FBody;
  std::atomic<bool> FTerminated{false};
  mutable std::mutex FLock; // guards the state below
  std::condition_variable FChanged;
  bool FStarted = false;
  bool FSkipBody = false; // destroyed while still suspended
  bool FFinished = false;
  bool FIdReady = false;
  pid_t FThreadId = 0;
  int FBaseNice = 0; // the process's nice: the tpNormal step
  TThreadPriority FPriority = tpNormal;
  bool FPriorityApplied = true;
  std::exception_ptr FFatalException;
  std::thread FThread; // last: started once everything above is constructed
};

// The kernel's id of the calling thread (gettid()); ids are reused once a thread has ended.
pid_t CurrentSystemThreadId();

} // namespace Platform
