// WebEvents: what the web page's live view follows - the calls as they come and the states of
// the lines - and the recent calls kept in memory for a run without a history file.
//
// Contract:
// - AddCall and SetLine are called from the monitor's thread and return at once: they only
//   append to a bounded ring (RingSize events, the oldest dropped) and wake the waiting
//   streams. A later report of the same call (same Line and CallKey) replaces it in Recent.
// - Each event has a serial number, rising from 1. Wait returns the events after a serial,
//   waiting up to a time for one; a stream that fell behind the ring gets what is left.
//   After Stop every Wait returns at once with Stopped set.
// - Thread-safe.
#pragma once

#include "calls/CallRecord.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

enum TWebEventKind { wkCall, wkLine };

struct TWebEvent {
  uint64_t Serial = 0;
  TWebEventKind Kind = wkCall;
  TCallRecord Call;        // wkCall
  std::string Line, State; // wkLine
};

struct TWebLine {
  std::string Name;
  std::string State; // "watching", "lost" or "stopped"
};

class TWebEvents {
public:
  explicit TWebEvents(size_t RingSize = 256, size_t RecentLimit = 1000);

  void AddCall(const TCallRecord& Call);
  void SetLine(const std::string& Name, const std::string& State);
  std::vector<TWebLine> Lines();
  // The calls of this run, oldest first.
  std::vector<TCallRecord> Recent();
  // The serial of the latest event (0 before any).
  uint64_t Latest();

  // The events after Serial; empty when none came within WaitMs or the events stopped.
  std::vector<TWebEvent> Wait(uint64_t Serial, int WaitMs, bool& Stopped);
  void Stop();

private:
  void Push(TWebEvent Event);

  const size_t FRingSize, FRecentLimit;
  std::mutex FLock;
  std::condition_variable FWake;
  std::deque<TWebEvent> FRing;
  uint64_t FSerial = 0;
  std::deque<TCallRecord> FRecent;
  std::vector<TWebLine> FLines;
  bool FStopped = false;
};
