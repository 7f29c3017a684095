// History: the call history as an outlet (THistoryWriter) and as something to read
// (THistoryReader), over one HistoryStore file.
//
// Contract:
// - The writer is the one writer of its process. Deliver only queues the call (bounded by
//   QueueLimit, the oldest goes first when it overflows) and wakes the writer's thread, so a
//   locked or slow disk never holds the monitor back. The thread writes every queued call in
//   one transaction; a call stays queued until it is committed, and a failed write is tried
//   again at the next call (and once more when the writer is destroyed).
// - A later report of the same call (same Line and CallKey, CallKey not 0) replaces the queued
//   one, or updates the row already written.
// - Faults are told through OnMessage once each, not per call, and again once a write
//   succeeds after them; OnMessage runs on the writer's thread. A damaged file is moved aside
//   (MoveDamagedAside) and a new one started. A file that is not a database, or is of a later
//   version, is left alone and the calls wait in the queue.
// - Creating a writer sets SIGXFSZ to be ignored for the process: past a file size limit a
//   write fails (and is told) instead of ending the program.
// - The reader opens the file read-only and never creates it: a missing file reads as no
//   calls. Readers work while another process writes.
#pragma once

#include "calls/CallRecord.h"
#include "calls/HistoryStore.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// $XDG_DATA_HOME/ringlet/calls.sqlite, else ~/.local/share/ringlet/calls.sqlite.
std::string DefaultHistoryFile();

struct THistoryWriterOptions {
  int BusyMs = 1000;         // how long one write waits for another program's lock
  size_t QueueLimit = 10000; // calls kept while the file cannot be written
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
  // Waits until the thread has tried to write everything delivered so far; false when
  // LimitMs passed first. For an orderly end and for tests.
  bool WaitIdle(int LimitMs);
  // The calls still waiting to be written.
  size_t Pending();
  // The fault of the last attempt (hfNone after a success).
  THistoryFault LastFault();

private:
  struct TPending {
    TCallRecord Call;
    uint64_t Serial = 0; // which delivery this is; a replaced call gets a new one
  };
  using TKey = std::pair<std::string, uint64_t>;

  void Run();
  void Attempt();
  void WriteQueued();
  void Open();
  void Fail(const EHistory& Failure);
  void Tell(const std::string& Text);
  int64_t KnownRow(const TCallRecord& Call) const;
  void RememberRow(const TCallRecord& Call, int64_t Row);

  const std::string FPath;
  const TMessage FOnMessage;
  const THistoryWriterOptions FOptions;

  std::mutex FLock;
  std::condition_variable FWake;
  std::condition_variable FIdle;
  std::deque<TPending> FQueue;
  uint64_t FDelivered = 0; // serial of the latest delivery
  uint64_t FAttempted = 0; // serial the thread had seen when its last attempt ended
  uint64_t FRounds = 0;    // attempts made
  size_t FDropped = 0;
  bool FStop = false;
  THistoryFault FLastFault = hfNone;

  // The thread's own.
  std::unique_ptr<THistoryStore> FStore;
  THistoryFault FTold = hfNone;
  std::deque<std::pair<TKey, int64_t>> FRows; // rows of the latest calls, for their updates

  std::thread FThread;
};

class THistoryReader {
public:
  explicit THistoryReader(std::string Path, int BusyMs = 1000);
  // Throws EHistory when the file exists but cannot be read as a call history.
  std::vector<TCallRecord> Read(const THistoryQuery& Query);

private:
  std::string FPath;
  int FBusyMs;
  std::unique_ptr<THistoryStore> FStore;
};
