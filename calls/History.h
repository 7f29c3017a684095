// History: the call history as an outlet (THistoryWriter) and as something to read
// (THistoryReader), over one HistoryStore file and its spool (HistorySpool.h).
//
// Contract:
// - The writer is the one writer of its process. Deliver only queues the call (bounded by
//   QueueLimit, the oldest goes first when it overflows) and wakes the writer's thread, so a
//   locked or slow disk never holds the monitor back. The thread writes every queued call in
//   one transaction; a call stays queued until it is committed. A failed write is tried again
//   at the next call and on a timer, RetryFirstMs after the failure and twice as long each
//   time after that, up to RetryMaxMs.
// - Order: each call gets its arrival when it is delivered: its moment in milliseconds, or
//   one more than the call before it when that is not larger (two calls in one second, a
//   clock set back). The first arrival is never smaller than the latest one in the file or
//   the spool. Readers list by arrival, so the history keeps the order in which calls came.
// - Each call gets a random token when it is delivered; it names the call in the file and the
//   spool for good, so a call written twice (taken in from the spool, or written just before
//   the program was killed) is one row. A later report of the same call (same Line and
//   CallKey, CallKey not 0) keeps the call's token and arrival: it replaces the queued one, or
//   updates the row already written.
// - While calls wait, they are kept in the spool beside the file (written after each failed
//   attempt and when the writer ends), so that another program's reader sees them and they
//   outlive the process; the next writer of the file takes them in when it starts. Read gives
//   this process's readers the file, the spool and the queue together.
// - Before each write the writer checks that the path still names the file it has open; a
//   file deleted or replaced by another program is closed (its log goes with it), told once,
//   and the calls go to the file at the path now, listed after the calls it holds.
// - Faults are told through OnMessage once each, not per call, and again once a write
//   succeeds after them; OnMessage runs on the writer's thread. A damaged file is moved aside
//   (MoveDamagedAside) and a new one started; so is a file that is not a database when
//   MoveAsideNotADatabase (the program's own default file), else it is left alone and the
//   calls wait. A file of a later version is left alone.
// - Creating a writer sets SIGXFSZ to be ignored for the process: past a file size limit a
//   write fails (and is told) instead of ending the program.
// - The reader opens the file read-only and never creates it: a missing file reads as no
//   calls (and the spool's). Readers work while another process writes.
#pragma once

#include "calls/CallRecord.h"
#include "calls/HistoryStore.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

// $XDG_DATA_HOME/ringlet/calls.sqlite, else ~/.local/share/ringlet/calls.sqlite.
std::string DefaultHistoryFile();

struct THistoryWriterOptions {
  int BusyMs = 1000;         // how long one write waits for another program's lock
  size_t QueueLimit = 10000; // calls kept while the file cannot be written
  int RetryFirstMs = 1000;   // the first retry after a failed write
  int RetryMaxMs = 30000;    // the longest wait between retries
  bool MoveAsideNotADatabase = false;
};

class THistoryWriter : public TCallOutlet {
public:
  using TMessage = std::function<void(const std::string&)>;

  THistoryWriter(std::string Path, TMessage OnMessage, THistoryWriterOptions Options = {});
  ~THistoryWriter() override;
  THistoryWriter(const THistoryWriter&) = delete;
  THistoryWriter& operator=(const THistoryWriter&) = delete;

  void Deliver(const TCallRecord& Call) override;

  const std::string& Path() const { return FPath; }
  // The history with the calls still waiting, as THistoryReader::Read; any thread.
  std::vector<TCallRecord> Read(const THistoryQuery& Query) const;
  // Waits until the thread has tried to write everything delivered so far; false when
  // LimitMs passed first. For an orderly end and for tests.
  bool WaitIdle(int LimitMs);
  // The calls still waiting to be written.
  size_t Pending();
  // The fault of the last attempt (hfNone after a success).
  THistoryFault LastFault();

private:
  struct TPending {
    THistoryCall Item;
    uint64_t Serial = 0; // which delivery this is; a replaced call gets a new one
  };
  // A call delivered lately: its line and key, and its token and arrival for a later report.
  struct TRecent {
    std::string Line;
    uint64_t CallKey = 0;
    std::string Token;
    int64_t Arrival = 0;
  };

  void Run();
  void Attempt();
  void WriteQueued();
  void Open();
  void CheckStillThere();
  // Whether the attempt may go on with a new file.
  bool Fail(const EHistory& Failure);
  // Keeps the waiting calls in the spool; 0, or the error number.
  uint32_t Spool();
  // Takes the calls that no longer wait out of the spool.
  void Unspool();
  void KeepAtEnd();
  void Tell(const std::string& Text);
  int64_t NextArrival(const TCallRecord& Call);
  std::string NewToken();
  std::vector<THistoryCall> Waiting() const;

  const std::string FPath;
  const std::string FSpool;
  const TMessage FOnMessage;
  const THistoryWriterOptions FOptions;

  mutable std::mutex FLock;
  std::condition_variable FWake;
  std::condition_variable FIdle;
  std::deque<TPending> FQueue;
  std::deque<TRecent> FRecent;
  int64_t FLastArrival = 0;
  std::mt19937_64 FRandom;
  uint64_t FDelivered = 0; // serial of the latest delivery
  uint64_t FAttempted = 0; // serial the thread had seen when its last attempt ended
  uint64_t FRounds = 0;    // attempts made
  size_t FDropped = 0;
  bool FStop = false;
  THistoryFault FLastFault = hfNone;

  // The thread's own.
  std::unique_ptr<THistoryStore> FStore;
  THistoryFault FTold = hfNone;
  uint64_t FSpooled = 0;                 // the latest delivery the spool holds
  std::vector<std::string> FSpoolTokens; // the calls this writer put there
  bool FSpoolFailed = false;             // told already
  bool FReplaced = false;                // the file was replaced: its calls come first
  std::string FFirstWord;                // what the thread tells first (about the spool)

  std::thread FThread;
};

class THistoryReader {
public:
  explicit THistoryReader(std::string Path, int BusyMs = 1000);
  // The stored calls that match, with the spool's and Waiting (calls of this process not yet
  // written) among them in the order of arrival; a call both stored and waiting is shown as
  // it waits. Throws EHistory when the file exists but cannot be read as a call history.
  std::vector<TCallRecord> Read(const THistoryQuery& Query,
                                const std::vector<THistoryCall>& Waiting = {});

private:
  std::string FPath;
  int FBusyMs;
  std::unique_ptr<THistoryStore> FStore;
};
