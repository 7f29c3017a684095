// The history writer and reader.
#include "calls/History.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>

namespace {

constexpr size_t RememberedRows = 64;

} // namespace

std::string DefaultHistoryFile() {
  const char* Data = std::getenv("XDG_DATA_HOME");
  if (Data != nullptr && Data[0] == '/')
    return std::string(Data) + "/ringlet/calls.sqlite";
  const char* Home = std::getenv("HOME");
  return std::string(Home != nullptr ? Home : "") + "/.local/share/ringlet/calls.sqlite";
}

THistoryWriter::THistoryWriter(std::string Path, TMessage OnMessage, THistoryWriterOptions Options)
    : FPath(std::move(Path)), FOnMessage(std::move(OnMessage)), FOptions(Options) {
  // A file size limit must fail the write, not end the monitor.
  std::signal(SIGXFSZ, SIG_IGN);
  FThread = std::thread([this] { Run(); });
}

THistoryWriter::~THistoryWriter() {
  {
    std::lock_guard<std::mutex> Guard(FLock);
    FStop = true;
  }
  FWake.notify_all();
  FThread.join();
}

void THistoryWriter::Deliver(const TCallRecord& Call) {
  {
    std::lock_guard<std::mutex> Guard(FLock);
    const uint64_t Serial = ++FDelivered;
    bool Replaced = false;
    if (Call.CallKey != 0) {
      for (TPending& Queued : FQueue) {
        if (Queued.Call.CallKey == Call.CallKey && Queued.Call.Line == Call.Line) {
          Queued = {Call, Serial};
          Replaced = true;
        }
      }
    }
    if (!Replaced) {
      if (FQueue.size() >= FOptions.QueueLimit) {
        FQueue.pop_front();
        ++FDropped;
      }
      FQueue.push_back({Call, Serial});
    }
  }
  FWake.notify_all();
}

bool THistoryWriter::WaitIdle(int LimitMs) {
  std::unique_lock<std::mutex> Guard(FLock);
  const uint64_t Target = FDelivered;
  return FIdle.wait_for(Guard, std::chrono::milliseconds(LimitMs),
                        [&] { return FRounds > 0 && FAttempted >= Target; });
}

size_t THistoryWriter::Pending() {
  std::lock_guard<std::mutex> Guard(FLock);
  return FQueue.size();
}

THistoryFault THistoryWriter::LastFault() {
  std::lock_guard<std::mutex> Guard(FLock);
  return FLastFault;
}

void THistoryWriter::Run() {
  // Opening at once tells the user about a bad file before the first call comes.
  Attempt();
  std::unique_lock<std::mutex> Guard(FLock);
  for (;;) {
    FWake.wait(Guard, [&] { return FStop || FAttempted < FDelivered; });
    const bool Stopping = FStop;
    Guard.unlock();
    Attempt();
    Guard.lock();
    if (Stopping)
      break;
  }
  const size_t Lost = FQueue.size() + FDropped;
  Guard.unlock();
  if (Lost > 0)
    Tell(std::to_string(Lost) + " call(s) could not be written to the call history " + FPath);
}

void THistoryWriter::Attempt() {
  uint64_t Seen;
  {
    std::lock_guard<std::mutex> Guard(FLock);
    Seen = FDelivered;
  }
  THistoryFault Fault = hfNone;
  // A damaged file is moved aside and the calls go to a new one at once: two rounds.
  for (int Round = 0; Round < 2; ++Round) {
    try {
      if (FStore == nullptr)
        Open();
      WriteQueued();
      Fault = hfNone;
      break;
    } catch (const EHistory& Failure) {
      Fault = Failure.Fault();
      Fail(Failure);
      if (Fault != hfDamaged)
        break;
    }
  }
  if (Fault == hfNone && FTold != hfNone) {
    FTold = hfNone;
    Tell("the call history " + FPath + " is written again");
  }
  {
    std::lock_guard<std::mutex> Guard(FLock);
    FLastFault = Fault;
    FAttempted = Seen;
    ++FRounds;
  }
  FIdle.notify_all();
}

void THistoryWriter::Open() {
  FStore = std::make_unique<THistoryStore>(FPath, hoWrite, FOptions.BusyMs);
  // Row ids of another file mean nothing here.
  FRows.clear();
}

void THistoryWriter::WriteQueued() {
  std::vector<TPending> Batch;
  size_t Dropped;
  {
    std::lock_guard<std::mutex> Guard(FLock);
    Batch.assign(FQueue.begin(), FQueue.end());
    Dropped = FDropped;
    FDropped = 0;
  }
  if (Dropped > 0)
    Tell(std::to_string(Dropped) + " call(s) were dropped: too many were waiting for the call " +
         "history " + FPath);
  if (Batch.empty())
    return;
  std::vector<std::pair<TCallRecord, int64_t>> Written;
  FStore->Begin();
  try {
    for (const TPending& Item : Batch) {
      const int64_t Known = KnownRow(Item.Call);
      if (Known != 0) {
        FStore->Update(Known, Item.Call);
        Written.emplace_back(Item.Call, Known);
      } else {
        Written.emplace_back(Item.Call, FStore->Insert(Item.Call));
      }
    }
    FStore->Commit();
  } catch (...) {
    FStore->Rollback();
    throw;
  }
  for (const auto& [Call, Row] : Written)
    RememberRow(Call, Row);
  // What was delivered meanwhile stays, a replaced call included (its serial is newer).
  std::lock_guard<std::mutex> Guard(FLock);
  for (const TPending& Item : Batch)
    std::erase_if(FQueue, [&](const TPending& Queued) { return Queued.Serial == Item.Serial; });
}

void THistoryWriter::Fail(const EHistory& Failure) {
  // Whatever went wrong, the next attempt starts from a fresh connection.
  FStore.reset();
  if (Failure.Fault() == hfDamaged) {
    const std::string Aside = MoveDamagedAside(FPath, std::time(nullptr));
    Tell(Aside.empty() ? std::string(Failure.what()) + "; it could not be moved aside"
                       : std::string(Failure.what()) + "; it was moved to " + Aside +
                             " and a new one is started");
    FTold = Aside.empty() ? hfDamaged : hfNone;
    return;
  }
  if (FTold == Failure.Fault())
    return;
  FTold = Failure.Fault();
  Tell(std::string(Failure.what()) + "; the calls are kept and written later");
}

void THistoryWriter::Tell(const std::string& Text) {
  if (FOnMessage)
    FOnMessage(Text);
}

int64_t THistoryWriter::KnownRow(const TCallRecord& Call) const {
  if (Call.CallKey == 0)
    return 0;
  for (const auto& [Key, Row] : FRows)
    if (Key.second == Call.CallKey && Key.first == Call.Line)
      return Row;
  return 0;
}

void THistoryWriter::RememberRow(const TCallRecord& Call, int64_t Row) {
  if (Call.CallKey == 0 || KnownRow(Call) != 0)
    return;
  FRows.emplace_back(TKey{Call.Line, Call.CallKey}, Row);
  if (FRows.size() > RememberedRows)
    FRows.pop_front();
}

THistoryReader::THistoryReader(std::string Path, int BusyMs)
    : FPath(std::move(Path)), FBusyMs(BusyMs) {}

std::vector<TCallRecord> THistoryReader::Read(const THistoryQuery& Query) {
  if (FStore == nullptr) {
    std::error_code Missing;
    if (!std::filesystem::exists(FPath, Missing))
      return {};
    FStore = std::make_unique<THistoryStore>(FPath, hoRead, FBusyMs);
  }
  try {
    // A file no writer has set up yet holds no calls.
    if (FStore->SchemaVersion() == 0)
      return {};
    return FStore->Query(Query);
  } catch (const EHistory&) {
    FStore.reset();
    throw;
  }
}
