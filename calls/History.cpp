// The history writer and reader.
#include "calls/History.h"

#include "calls/HistoryFormat.h"
#include "calls/HistorySpool.h"
#include "platform/SysMessage.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace {

constexpr size_t RememberedCalls = 64;

std::string ErrorText(uint32_t Code) {
  std::string Text = Platform::SystemErrorText(Code);
  while (!Text.empty() && (Text.back() == '\n' || Text.back() == '\r'))
    Text.pop_back();
  return Text.empty() ? "error " + std::to_string(Code) : Text;
}

// The latest arrival of an existing file, 0 when it cannot be read (the writer's thread tells).
int64_t LatestArrivalOf(const std::string& Path, int BusyMs) {
  std::error_code Missing;
  if (!std::filesystem::exists(Path, Missing))
    return 0;
  try {
    THistoryStore Store(Path, hoRead, BusyMs);
    return Store.SchemaVersion() > 0 ? Store.LatestArrival() : 0;
  } catch (const EHistory&) {
    return 0;
  }
}

} // namespace

std::string DefaultHistoryFile() {
  const char* Data = std::getenv("XDG_DATA_HOME");
  if (Data != nullptr && Data[0] == '/')
    return std::string(Data) + "/ringlet/calls.sqlite";
  const char* Home = std::getenv("HOME");
  return std::string(Home != nullptr ? Home : "") + "/.local/share/ringlet/calls.sqlite";
}

THistoryWriter::THistoryWriter(std::string Path, TMessage OnMessage, THistoryWriterOptions Options)
    : FPath(std::move(Path)), FSpool(SpoolFile(FPath)), FOnMessage(std::move(OnMessage)),
      FOptions(Options), FRandom(std::random_device{}()) {
  // A file size limit must fail the write, not end the monitor.
  std::signal(SIGXFSZ, SIG_IGN);
  // Calls an earlier run could not write come first, in their own order.
  std::vector<THistoryCall> Spooled;
  const uint32_t Code = ReadSpool(FSpool, Spooled);
  for (THistoryCall& Item : Spooled) {
    FLastArrival = std::max(FLastArrival, Item.Arrival);
    FSpoolTokens.push_back(Item.Token);
    FQueue.push_back({std::move(Item), ++FDelivered});
  }
  FSpooled = FDelivered;
  FLastArrival = std::max(FLastArrival, LatestArrivalOf(FPath, FOptions.BusyMs));
  if (Code != 0)
    FFirstWord = "the calls waiting in " + FSpool + " cannot be read (" + ErrorText(Code) + ")";
  else if (FSpooled > 0)
    FFirstWord = std::to_string(FSpooled) + " call(s) of an earlier run waiting in " + FSpool +
                 " go to the call history " + FPath + " now";
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

int64_t THistoryWriter::NextArrival(const TCallRecord& Call) {
  FLastArrival = std::max<int64_t>(static_cast<int64_t>(Call.Moment) * 1000, FLastArrival + 1);
  return FLastArrival;
}

std::string THistoryWriter::NewToken() {
  char Text[17];
  std::snprintf(Text, sizeof Text, "%016llx", static_cast<unsigned long long>(FRandom()));
  return Text;
}

void THistoryWriter::Deliver(const TCallRecord& Call) {
  {
    std::lock_guard<std::mutex> Guard(FLock);
    const uint64_t Serial = ++FDelivered;
    bool Replaced = false;
    if (Call.CallKey != 0) {
      for (TPending& Queued : FQueue) {
        if (Queued.Item.Call.CallKey == Call.CallKey && Queued.Item.Call.Line == Call.Line) {
          Queued.Item.Call = Call;
          Queued.Serial = Serial;
          Replaced = true;
        }
      }
    }
    if (!Replaced) {
      // A later report of a call written already keeps its token, and so its row.
      const auto Recent = std::find_if(FRecent.begin(), FRecent.end(), [&](const TRecent& R) {
        return Call.CallKey != 0 && R.Line == Call.Line && R.CallKey == Call.CallKey;
      });
      THistoryCall Item{Call, 0, ""};
      if (Recent != FRecent.end()) {
        Item.Arrival = Recent->Arrival;
        Item.Token = Recent->Token;
      } else {
        Item.Arrival = NextArrival(Call);
        Item.Token = NewToken();
      }
      if (FQueue.size() >= FOptions.QueueLimit) {
        FQueue.pop_front();
        ++FDropped;
      }
      if (Call.CallKey != 0 && Recent == FRecent.end()) {
        FRecent.push_back({Call.Line, Call.CallKey, Item.Token, Item.Arrival});
        if (FRecent.size() > RememberedCalls)
          FRecent.pop_front();
      }
      FQueue.push_back({std::move(Item), Serial});
    }
  }
  FWake.notify_all();
}

std::vector<THistoryCall> THistoryWriter::Waiting() const {
  std::vector<THistoryCall> Items;
  for (const TPending& Queued : FQueue)
    Items.push_back(Queued.Item);
  return Items;
}

std::vector<TCallRecord> THistoryWriter::Read(const THistoryQuery& Query) const {
  std::vector<THistoryCall> Items;
  {
    std::lock_guard<std::mutex> Guard(FLock);
    Items = Waiting();
  }
  // Taken before the file is read: a call committed meanwhile is in both, and shown once.
  return THistoryReader(FPath, FOptions.BusyMs).Read(Query, Items);
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
  if (!FFirstWord.empty())
    Tell(FFirstWord);
  // Opening at once tells the user about a bad file before the first call comes.
  Attempt();
  std::unique_lock<std::mutex> Guard(FLock);
  int Delay = FOptions.RetryFirstMs;
  for (;;) {
    const auto Due = [&] { return FStop || FAttempted < FDelivered; };
    if (FLastFault != hfNone && !FQueue.empty()) {
      // Calls wait for a file that failed: try again on a timer, waiting longer each time.
      if (!FWake.wait_for(Guard, std::chrono::milliseconds(Delay), Due))
        Delay = std::min(Delay * 2, FOptions.RetryMaxMs);
    } else {
      FWake.wait(Guard, Due);
    }
    const bool Stopping = FStop;
    Guard.unlock();
    Attempt();
    Guard.lock();
    if (FLastFault == hfNone)
      Delay = FOptions.RetryFirstMs;
    if (Stopping)
      break;
  }
  Guard.unlock();
  KeepAtEnd();
}

void THistoryWriter::Attempt() {
  uint64_t Seen;
  {
    std::lock_guard<std::mutex> Guard(FLock);
    Seen = FDelivered;
  }
  THistoryFault Fault = hfNone;
  // A file moved aside is followed by a new one at once: two rounds.
  for (int Round = 0; Round < 2; ++Round) {
    try {
      CheckStillThere();
      if (FStore == nullptr)
        Open();
      WriteQueued();
      Fault = hfNone;
      break;
    } catch (const EHistory& Failure) {
      Fault = Failure.Fault();
      if (!Fail(Failure))
        break;
    }
  }
  if (Fault == hfNone && FTold != hfNone) {
    FTold = hfNone;
    Tell("the call history " + FPath + " is written again");
  }
  if (Fault != hfNone) {
    const uint32_t Code = Spool();
    if (Code != 0 && !FSpoolFailed)
      Tell("the calls waiting for the call history cannot be kept in " + FSpool + " (" +
           ErrorText(Code) + ")");
    FSpoolFailed = Code != 0;
  }
  {
    std::lock_guard<std::mutex> Guard(FLock);
    FLastFault = Fault;
    FAttempted = Seen;
    ++FRounds;
  }
  FIdle.notify_all();
}

void THistoryWriter::CheckStillThere() {
  if (FStore == nullptr || FStore->SameFile())
    return;
  // Closing takes the old file's log and index with it, so they are not laid over the file
  // that has the name now.
  FStore.reset();
  FReplaced = true;
  Tell("the call history " + FPath + " was deleted or replaced by another program; the calls " +
       "go to the file at that name now");
}

void THistoryWriter::Open() {
  FStore = std::make_unique<THistoryStore>(FPath, hoWrite, FOptions.BusyMs);
  int64_t Latest = FStore->LatestArrival();
  std::lock_guard<std::mutex> Guard(FLock);
  if (FReplaced) {
    // The calls that wait came after everything the file that took the name holds.
    for (TPending& Queued : FQueue)
      Queued.Item.Arrival = Latest = std::max(Queued.Item.Arrival, Latest + 1);
    for (TRecent& Recent : FRecent)
      Recent.Arrival = std::max(Recent.Arrival, Latest);
    FReplaced = false;
  }
  FLastArrival = std::max(FLastArrival, Latest);
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
  FStore->Begin();
  try {
    for (const TPending& Queued : Batch)
      FStore->Write(Queued.Item);
    FStore->Commit();
  } catch (...) {
    FStore->Rollback();
    throw;
  }
  FStore->Checkpoint();
  {
    // What was delivered meanwhile stays, a replaced call included (its serial is newer).
    std::lock_guard<std::mutex> Guard(FLock);
    for (const TPending& Item : Batch)
      std::erase_if(FQueue, [&](const TPending& Queued) { return Queued.Serial == Item.Serial; });
  }
  Unspool();
}

bool THistoryWriter::Fail(const EHistory& Failure) {
  // Whatever went wrong, the next attempt starts from a fresh connection.
  FStore.reset();
  const THistoryFault Fault = Failure.Fault();
  const bool NotADatabase = Fault == hfNotADatabase && FOptions.MoveAsideNotADatabase;
  if (Fault == hfDamaged || NotADatabase) {
    const std::string Aside = MoveDamagedAside(FPath, std::time(nullptr));
    const std::string What = NotADatabase ? "the call history " + FPath + " is not a database"
                                          : std::string(Failure.what());
    Tell(Aside.empty() ? What + "; it could not be moved aside"
                       : What + "; it was moved to " + Aside + " and a new one is started");
    FTold = Aside.empty() ? Fault : hfNone;
    return !Aside.empty();
  }
  if (FTold != Fault) {
    FTold = Fault;
    Tell(std::string(Failure.what()) + "; the calls are kept and written later");
  }
  return false;
}

uint32_t THistoryWriter::Spool() {
  std::vector<THistoryCall> Items;
  uint64_t Latest;
  {
    std::lock_guard<std::mutex> Guard(FLock);
    if (FSpooled == FDelivered)
      return 0;
    Items = Waiting();
    Latest = FDelivered;
  }
  // The spool holds what waits now: the calls dropped from the queue meanwhile go from it too.
  std::vector<std::string> Tokens;
  for (const THistoryCall& Item : Items)
    Tokens.push_back(Item.Token);
  std::vector<std::string> Gone;
  for (const std::string& Token : FSpoolTokens)
    if (std::find(Tokens.begin(), Tokens.end(), Token) == Tokens.end())
      Gone.push_back(Token);
  const uint32_t Code = UpdateSpool(FSpool, Gone, Items);
  if (Code == 0) {
    FSpoolTokens = std::move(Tokens);
    FSpooled = Latest;
  }
  return Code;
}

void THistoryWriter::Unspool() {
  std::vector<THistoryCall> Items;
  {
    std::lock_guard<std::mutex> Guard(FLock);
    Items = Waiting();
  }
  // What this writer put in the spool and no longer waits (written, or dropped) goes.
  std::vector<std::string> Gone;
  for (const std::string& Token : FSpoolTokens)
    if (std::none_of(Items.begin(), Items.end(),
                     [&Token](const THistoryCall& Item) { return Item.Token == Token; }))
      Gone.push_back(Token);
  if (Gone.empty())
    return;
  // Left there, a written call is only written over itself at the next start.
  if (const uint32_t Code = UpdateSpool(FSpool, Gone, {}); Code != 0) {
    if (!FSpoolFailed)
      Tell("the written calls cannot be taken out of " + FSpool + " (" + ErrorText(Code) + ")");
    FSpoolFailed = true;
    return;
  }
  std::erase_if(FSpoolTokens, [&Gone](const std::string& Token) {
    return std::find(Gone.begin(), Gone.end(), Token) != Gone.end();
  });
}

void THistoryWriter::KeepAtEnd() {
  std::vector<THistoryCall> Items;
  size_t Dropped;
  {
    std::lock_guard<std::mutex> Guard(FLock);
    Items = Waiting();
    Dropped = FDropped;
  }
  if (Dropped > 0)
    Tell(std::to_string(Dropped) + " call(s) were dropped: too many were waiting for the call " +
         "history " + FPath);
  if (Items.empty())
    return;
  const std::string Count = std::to_string(Items.size()) + " call(s) could not be written to the " +
                            "call history " + FPath;
  const uint32_t Code = Spool();
  if (Code == 0) {
    Tell(Count + "; they are kept in " + FSpool + " and written at the next start");
    return;
  }
  // Nowhere to keep them: the user gets them here rather than not at all.
  std::string Calls;
  for (const THistoryCall& Item : Items) {
    std::string Row = FormatHistoryCall(Item.Call, fmText);
    Row.pop_back();
    Calls += "\n  " + Row;
  }
  Tell(Count + " nor kept in " + FSpool + " (" + ErrorText(Code) + "); they were:" + Calls);
}

void THistoryWriter::Tell(const std::string& Text) {
  if (FOnMessage)
    FOnMessage(Text);
}

THistoryReader::THistoryReader(std::string Path, int BusyMs)
    : FPath(std::move(Path)), FBusyMs(BusyMs) {}

std::vector<TCallRecord> THistoryReader::Read(const THistoryQuery& Query,
                                              const std::vector<THistoryCall>& Waiting) {
  std::vector<THistoryCall> Calls;
  std::error_code Missing;
  if (FStore == nullptr && std::filesystem::exists(FPath, Missing))
    FStore = std::make_unique<THistoryStore>(FPath, hoRead, FBusyMs);
  try {
    // A file no writer has set up yet holds no calls. The calls to merge may be among the
    // newest, so the page is cut after merging.
    if (FStore != nullptr && FStore->SchemaVersion() != 0) {
      THistoryQuery Stored = Query;
      Stored.Limit = Query.Limit == 0 ? 0 : Query.Limit + Query.Offset;
      Stored.Offset = 0;
      Calls = FStore->Query(Stored);
    }
  } catch (const EHistory&) {
    FStore.reset();
    throw;
  }
  // An unreadable spool is the writer's to tell; here it only adds nothing.
  std::vector<THistoryCall> Extra;
  ReadSpool(SpoolFile(FPath), Extra);
  Extra.insert(Extra.end(), Waiting.begin(), Waiting.end());
  for (THistoryCall Item : Extra) {
    if (!MatchesQuery(Item.Call, Query))
      continue;
    const auto Same = std::find_if(Calls.begin(), Calls.end(), [&](const THistoryCall& Stored) {
      return !Item.Token.empty() && Stored.Token == Item.Token;
    });
    // A call not written yet has no row; one written already keeps its row and place.
    Item.Call.HistoryId = 0;
    if (Same != Calls.end()) {
      Item.Call.HistoryId = Same->Call.HistoryId;
      Item.Arrival = Same->Arrival;
      *Same = std::move(Item);
    } else {
      Calls.push_back(std::move(Item));
    }
  }
  std::stable_sort(Calls.begin(), Calls.end(), [](const THistoryCall& A, const THistoryCall& B) {
    return A.Arrival < B.Arrival;
  });
  const size_t End = Calls.size() - std::min(Calls.size(), Query.Offset);
  const size_t Begin = Query.Limit == 0 ? 0 : End - std::min(End, Query.Limit);
  std::vector<TCallRecord> Page;
  for (size_t I = Begin; I < End; ++I)
    Page.push_back(std::move(Calls[I].Call));
  return Page;
}
