// AwUser triggers: the handler lists, the trigger lists, the evaluation of data, timer and
// status triggers on the dispatch thread, and the delivery of notices to the handlers.
//
// No lock is held while a handler runs: a handler (on the main thread, reached by a send)
// may read data, close the port or change handlers and triggers, and all of that takes the
// dispatcher's locks. The evaluation works out what to send under the locks, releases
// them, and then sends.
#include "port/AwUser.h"

#include "common/AdExcept.h"
#include "common/OoMisc.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>

namespace {

using Guard = Platform::TCriticalSectionGuard;

template <typename T> void EraseRemoved(std::vector<T>& List) {
  // From the end, so that the indices still to be visited stay valid.
  for (size_t I = List.size(); I-- > 0;) {
    if (List[I].Removed) {
      List.erase(List.begin() + static_cast<std::ptrdiff_t>(I));
    }
  }
}

template <typename T> T* FindTrigger(std::vector<T>& List, int32_t Handle) {
  for (T& Trigger : List) {
    if (Trigger.Handle == Handle) {
      return &Trigger;
    }
  }
  return nullptr;
}

// Handles travel in the high word of lParam next to a 16-bit value: larger counts are
// reported as the largest value rather than spilling into the handle.
uint32_t LowWord(uint32_t Value) {
  return std::min<uint32_t>(Value, 0xFFFF);
}

} // namespace

// ---------------------------------------------------------------------------------------
// Handlers

void TApdBaseDispatcher::RegisterWindowHandler(Platform::TWindowHandle Window) {
  Guard Main(MainLock);
  WindowHandlers.push_back({Window, false});
  HandlersNeedService.store(true);
  AddLogEntry(dtTriggerHandlerAlloc, dstWndHandler, 0, nullptr, static_cast<uint32_t>(Window));
}

void TApdBaseDispatcher::RemoveWindowHandler(Platform::TWindowHandle Window) {
  Guard Main(MainLock);
  for (size_t I = 0; I < WindowHandlers.size(); ++I) {
    TApdWindowHandler& Handler = WindowHandlers[I];
    if (Handler.Window != Window || Handler.Removed) {
      continue;
    }
    AddLogEntry(dtTriggerHandlerDispose, dstWndHandler, 0, nullptr, static_cast<uint32_t>(Window));
    if (FInDispatch.load()) {
      // The notice in progress may be walking the list: mark now, delete afterwards.
      Handler.Removed = true;
      RemovalsPending = true;
    } else {
      WindowHandlers.erase(WindowHandlers.begin() + static_cast<std::ptrdiff_t>(I));
    }
    return;
  }
  RefreshHandlerFlags(0);
}

void TApdBaseDispatcher::RegisterProcHandler(TApdNotifyProc Proc) {
  Guard Main(MainLock);
  ProcedureHandlers.push_back({Proc, false});
  HandlersNeedService.store(true);
  AddLogEntry(dtTriggerHandlerAlloc, dstProcHandler, 0, nullptr,
              static_cast<uint32_t>(reinterpret_cast<uintptr_t>(Proc)));
}

void TApdBaseDispatcher::RemoveProcHandler(TApdNotifyProc Proc) {
  Guard Main(MainLock);
  for (size_t I = 0; I < ProcedureHandlers.size(); ++I) {
    TApdProcHandler& Handler = ProcedureHandlers[I];
    if (Handler.Proc != Proc || Handler.Removed) {
      continue;
    }
    AddLogEntry(dtTriggerHandlerDispose, dstProcHandler, 0, nullptr,
                static_cast<uint32_t>(reinterpret_cast<uintptr_t>(Proc)));
    if (FInDispatch.load()) {
      Handler.Removed = true;
      RemovalsPending = true;
    } else {
      ProcedureHandlers.erase(ProcedureHandlers.begin() + static_cast<std::ptrdiff_t>(I));
    }
    return;
  }
  RefreshHandlerFlags(0);
}

void TApdBaseDispatcher::RegisterMethodHandler(const void* Object, TApdNotifyMethod Method,
                                               bool OnMainThread) {
  Guard Main(MainLock);
  MethodHandlers.push_back({Object, std::move(Method), false, OnMainThread});
  HandlersNeedService.store(true);
  AddLogEntry(dtTriggerHandlerAlloc, dstEventHandler, 0, nullptr,
              static_cast<uint32_t>(reinterpret_cast<uintptr_t>(Object)));
}

void TApdBaseDispatcher::RemoveMethodHandler(const void* Object) {
  Guard Main(MainLock);
  for (size_t I = 0; I < MethodHandlers.size(); ++I) {
    TApdMethodHandler& Handler = MethodHandlers[I];
    if (Handler.Object != Object || Handler.Removed) {
      continue;
    }
    AddLogEntry(dtTriggerHandlerDispose, dstEventHandler, 0, nullptr,
                static_cast<uint32_t>(reinterpret_cast<uintptr_t>(Object)));
    if (FInDispatch.load()) {
      Handler.Removed = true;
      RemovalsPending = true;
    } else {
      MethodHandlers.erase(MethodHandlers.begin() + static_cast<std::ptrdiff_t>(I));
    }
    return;
  }
  RefreshHandlerFlags(0);
}

void TApdBaseDispatcher::RefreshHandlerFlags(int32_t Mode) {
  Guard Main(MainLock);
  // The port's own window alone needs no notices unless the port has event handlers.
  const bool Any =
      WindowHandlers.size() > 1 || !ProcedureHandlers.empty() || !MethodHandlers.empty();
  switch (Mode) {
  case 0:
    HandlersNeedService.store(Any || PortHandlerPresent);
    break;
  case 1:
    PortHandlerPresent = true;
    HandlersNeedService.store(true);
    break;
  case 2:
    PortHandlerPresent = false;
    HandlersNeedService.store(Any);
    break;
  default:
    break;
  }
}

// ---------------------------------------------------------------------------------------
// Trigger lists

void TApdBaseDispatcher::SetAvailThreshold(int32_t Count) {
  Guard Main(MainLock);
  AvailThreshold.store(Count);
  AddLogEntry(dtTriggerDataChange, dstAvailTrigger, 0, nullptr, static_cast<uint32_t>(Count));
  // Bytes already in the buffer may now be worth a notice.
  WakeDispatchThread();
}

void TApdBaseDispatcher::ClearTriggers() {
  Guard Main(MainLock);
  AvailThreshold.store(0);
  TimerTriggerList.clear();
  DataTriggerList.clear();
  StatusTriggerList.clear();
  NextTriggerHandle = 1;
}

void TApdBaseDispatcher::SaveTriggers(TApdSavedTriggers& Saved) {
  FreeSavedTriggers(Saved);
  Guard Main(MainLock);
  Saved.AvailThreshold = AvailThreshold.load();
  Saved.TimerTriggers = TimerTriggerList;
  Saved.DataTriggers = DataTriggerList;
  Saved.StatusTriggers = StatusTriggerList;
}

void TApdBaseDispatcher::RestoreTriggers(const TApdSavedTriggers& Saved) {
  Guard Main(MainLock);
  AvailThreshold.store(Saved.AvailThreshold);
  TimerTriggerList.clear();
  DataTriggerList.clear();
  StatusTriggerList.clear();
  // Handles handed out later must not repeat a restored one.
  int32_t Highest = 0;
  if (Saved.TimerTriggers) {
    TimerTriggerList = *Saved.TimerTriggers;
    for (const auto& Trigger : TimerTriggerList) {
      Highest = std::max(Highest, Trigger.Handle);
    }
  }
  if (Saved.DataTriggers) {
    DataTriggerList = *Saved.DataTriggers;
    for (const auto& Trigger : DataTriggerList) {
      Highest = std::max(Highest, Trigger.Handle);
    }
  }
  if (Saved.StatusTriggers) {
    StatusTriggerList = *Saved.StatusTriggers;
    for (const auto& Trigger : StatusTriggerList) {
      Highest = std::max(Highest, Trigger.Handle);
    }
  }
  if (Highest >= NextTriggerHandle) {
    NextTriggerHandle = Highest + 1;
  }
  WakeDispatchThread(); // restored triggers may be armed
}

void TApdBaseDispatcher::FreeSavedTriggers(TApdSavedTriggers& Saved) {
  Saved.TimerTriggers.reset();
  Saved.DataTriggers.reset();
  Saved.StatusTriggers.reset();
}

void TApdBaseDispatcher::ResetStatusHits() {
  // The lists change under MainLock from the main thread while the dispatch thread resets.
  Guard Main(MainLock);
  for (size_t I = StatusTriggerList.size(); I-- > 0;) {
    StatusTriggerList[I].Hit = false;
  }
  StatusHitThisRound = false;
}

void TApdBaseDispatcher::ResetDataMatches() {
  Guard Main(MainLock);
  for (auto& Trigger : DataTriggerList) {
    std::fill(std::begin(Trigger.Progress), std::end(Trigger.Progress), 0);
  }
}

// ---------------------------------------------------------------------------------------
// Single triggers

int32_t TApdBaseDispatcher::AddTimerTrigger() {
  Guard Main(MainLock);
  if (TimerTriggerList.size() >= MaxTriggersPerList || NextTriggerHandle <= 0) {
    return ecNoMoreTriggers;
  }
  TApdTimerTrigger Trigger;
  Trigger.Handle = NextTriggerHandle++;
  TimerTriggerList.push_back(Trigger);
  AddLogEntry(dtTriggerAlloc, dstTimerTrigger, 0, nullptr, static_cast<uint32_t>(Trigger.Handle));
  return Trigger.Handle;
}

int32_t TApdBaseDispatcher::SetTimerTrigger(int32_t Handle, uint32_t Ticks, bool Activate) {
  Guard Main(MainLock);
  TApdTimerTrigger* Trigger = FindTrigger(TimerTriggerList, Handle);
  if (Trigger == nullptr) {
    return ecBadTriggerHandle;
  }
  if (Ticks > MaxTimerTicks) {
    // Longer timers could not be told apart from a wrapped clock.
    return ecBadArgument;
  }
  TEventTimer Timer;
  NewTimer(Timer, Ticks);
  Trigger->StartTicks = Timer.StartTicks;
  Trigger->ExpireTicks = Timer.ExpireTicks;
  Trigger->Active = Activate;
  AddLogEntry(dtTriggerDataChange, dstTimerTrigger, 0, nullptr, static_cast<uint32_t>(Handle));
  // The dispatch thread may be asleep with nothing armed: it works out its next pass again.
  WakeDispatchThread();
  return ecOK;
}

int32_t TApdBaseDispatcher::AddDataTrigger(const char* Text, bool IgnoreCase) {
  if (Text == nullptr || *Text == '\0') {
    return ecBadArgument;
  }
  const size_t Length = std::strlen(Text);
  if (Length > static_cast<size_t>(DataTriggerSlots)) {
    return ecTriggerTooLong;
  }
  Guard Main(MainLock);
  if (DataTriggerList.size() >= MaxTriggersPerList || NextTriggerHandle <= 0) {
    return ecNoMoreTriggers;
  }
  TApdDataTrigger Trigger;
  Trigger.Handle = NextTriggerHandle++;
  Trigger.Length = static_cast<int32_t>(Length);
  Trigger.IgnoreCase = IgnoreCase ? 1 : 0;
  for (size_t I = 0; I < Length; ++I) {
    // MatchByte compares upper case with upper case when the case is ignored.
    const auto Ch = static_cast<unsigned char>(Text[I]);
    Trigger.Text[I] = static_cast<char>(IgnoreCase ? std::toupper(Ch) : Ch);
  }
  DataTriggerList.push_back(Trigger);
  AddLogEntry(dtTriggerAlloc, dstDataTrigger, static_cast<uint32_t>(Length), Text,
              static_cast<uint32_t>(Trigger.Handle));
  return Trigger.Handle;
}

int32_t TApdBaseDispatcher::AddStatusTrigger(int32_t Type) {
  if (Type < stNotActive || Type > stOutSent) {
    return ecBadArgument;
  }
  Guard Main(MainLock);
  if (StatusTriggerList.size() >= MaxTriggersPerList || NextTriggerHandle <= 0) {
    return ecNoMoreTriggers;
  }
  TApdStatusTrigger Trigger;
  Trigger.Handle = NextTriggerHandle++;
  Trigger.Type = Type;
  StatusTriggerList.push_back(Trigger);
  const auto TypeByte = static_cast<uint8_t>(Type);
  AddLogEntry(dtTriggerAlloc, dstStatusTrigger, 1, &TypeByte,
              static_cast<uint32_t>(Trigger.Handle));
  return Trigger.Handle;
}

int32_t TApdBaseDispatcher::SetStatusTrigger(int32_t Handle, uint16_t Value, bool Activate) {
  Guard Main(MainLock);
  TApdStatusTrigger* Trigger = FindTrigger(StatusTriggerList, Handle);
  if (Trigger == nullptr) {
    return ecBadTriggerHandle;
  }
  Trigger->Value = Value;
  Trigger->Armed = Activate;
  Trigger->Hit = false;
  AddLogEntry(dtTriggerDataChange, dstStatusTrigger, 0, nullptr, static_cast<uint32_t>(Handle));
  WakeDispatchThread(); // as for a timer trigger
  return ecOK;
}

int32_t TApdBaseDispatcher::RemoveTrigger(int32_t Handle) {
  Guard Main(MainLock);
  auto Remove = [Handle](auto& List) {
    auto It = std::find_if(List.begin(), List.end(),
                           [Handle](const auto& Trigger) { return Trigger.Handle == Handle; });
    if (It == List.end()) {
      return false;
    }
    List.erase(It);
    return true;
  };
  uint8_t SubKind;
  if (Remove(TimerTriggerList)) {
    SubKind = dstTimerTrigger;
  } else if (Remove(DataTriggerList)) {
    SubKind = dstDataTrigger;
  } else if (Remove(StatusTriggerList)) {
    SubKind = dstStatusTrigger;
  } else {
    return ecBadTriggerHandle;
  }
  AddLogEntry(dtTriggerDispose, SubKind, 0, nullptr, static_cast<uint32_t>(Handle));
  return ecOK;
}

// ---------------------------------------------------------------------------------------
// Notices

bool TApdBaseDispatcher::SendNotice(uint32_t Message, uintptr_t WParam, uint32_t Value) {
  if (!HandlersNeedService.load()) {
    return true;
  }
  {
    Guard Main(MainLock);
    FInDispatch.store(true);
  }
  const bool Counting = Message == ApwTriggerAvail || Message == ApwTriggerData;
  {
    Guard Buf(BufferLock);
    MaxReadCount = 0;
    CountingReads = Counting;
  }
  const intptr_t LParam =
      static_cast<intptr_t>(Value) + static_cast<intptr_t>(FDispatcherHandle) * 0x10000;

  // Ends the notice: handler records removed meanwhile go now.
  auto Finish = [this] {
    Guard Main(MainLock);
    FInDispatch.store(false);
    if (RemovalsPending) {
      EraseRemoved(MethodHandlers);
      EraseRemoved(ProcedureHandlers);
      EraseRemoved(WindowHandlers);
      RemovalsPending = false;
      RefreshHandlerFlags(0);
    }
  };
  // A notice cut short leaves the tail where it was.
  auto Abandon = [this, &Finish] {
    {
      Guard Buf(BufferLock);
      CountingReads = false;
      ReadCount = 0;
    }
    Finish();
  };
  auto BeforeHandler = [this] {
    Guard Buf(BufferLock);
    ReadCount = 0;
  };
  // After each handler: false when the port was closed from inside it.
  auto AfterHandler = [this]() -> bool {
    if (FCloseDeferred.load()) {
      return false;
    }
    Guard Buf(BufferLock);
    MaxReadCount = std::max(MaxReadCount, ReadCount);
    return true;
  };

  // The records are copied out under the lock and called without it; a handler may register
  // more (the list may grow and move) but removal during a notice only marks.
  try {
    for (size_t I = 0;; ++I) {
      TApdNotifyMethod Method;
      bool OnMainThread;
      {
        Guard Main(MainLock);
        if (I >= MethodHandlers.size()) {
          break;
        }
        if (MethodHandlers[I].Removed || !MethodHandlers[I].Method) {
          continue;
        }
        Method = MethodHandlers[I].Method;
        OnMainThread = MethodHandlers[I].OnMainThread;
      }
      BeforeHandler();
      TApdDispatcherThread* Worker = DispatchThread.load();
      const bool OnWorker = Worker != nullptr && Worker->FThread &&
                            Worker->FThread->ThreadId() == Platform::CurrentSystemThreadId();
      if (OnMainThread && OnWorker && Platform::CurrentThreadId() != FMainThreadId) {
        Worker->SyncNotify(Message, WParam, LParam, Method);
      } else {
        Method(Message, WParam, LParam);
      }
      if (!AfterHandler()) {
        Abandon();
        return false;
      }
    }

    for (size_t I = 0;; ++I) {
      TApdNotifyProc Proc;
      {
        Guard Main(MainLock);
        if (I >= ProcedureHandlers.size()) {
          break;
        }
        if (ProcedureHandlers[I].Removed || ProcedureHandlers[I].Proc == nullptr) {
          continue;
        }
        Proc = ProcedureHandlers[I].Proc;
      }
      BeforeHandler();
      Proc(Message, WParam, LParam);
      if (!AfterHandler()) {
        Abandon();
        return false;
      }
    }

    bool ServeWindows;
    {
      Guard Main(MainLock);
      ServeWindows = WindowHandlers.size() > 1 || PortHandlerPresent;
    }
    for (size_t I = 0; ServeWindows; ++I) {
      Platform::TWindowHandle Window;
      {
        Guard Main(MainLock);
        if (I >= WindowHandlers.size()) {
          break;
        }
        if (WindowHandlers[I].Removed) {
          continue;
        }
        Window = WindowHandlers[I].Window;
      }
      BeforeHandler();
      // A window that does not answer in time is given up for this notice only.
      intptr_t Result = 0;
      Platform::SendMessageTimeout(Window, Message, WParam, LParam, NoticeSendTimeoutMs, &Result);
      if (!AfterHandler()) {
        Abandon();
        return false;
      }
    }
  } catch (...) {
    Abandon();
    throw;
  }

  bool Result = true;
  if (Counting) {
    Guard Buf(BufferLock);
    CountingReads = false;
    if (DispatchBuffer) {
      DispTail = (DispTail + MaxReadCount) % DispatchBufferSize;
      if (MaxReadCount > 0) {
        FDispatchFull = false;
      }
    }
    // Bytes announced but not taken are not announced again until more arrive.
    if (Message == ApwTriggerAvail && MaxReadCount != WParam) {
      Result = false;
    }
  }
  Finish();
  {
    Guard Buf(BufferLock);
    ReadCount = 0;
  }
  return Result;
}

// ---------------------------------------------------------------------------------------
// Evaluation

bool TApdBaseDispatcher::MatchByte(int32_t* Progress, uint8_t Byte, int32_t Length, bool IgnoreCase,
                                   const char* Text) {
  if (IgnoreCase) {
    Byte = static_cast<uint8_t>(std::toupper(Byte));
  }
  const auto First = static_cast<uint8_t>(Text[0]);
  bool Matched = false;
  bool Started = false;
  bool Examine = true;
  for (int32_t I = 0; I < Length; ++I) {
    if (Examine) {
      const int32_t P = Progress[I];
      if (static_cast<uint8_t>(Text[P]) == Byte) {
        if (P + 1 == Length) {
          // A full match empties every slot, also those still to be walked for this byte.
          Matched = true;
          std::fill(Progress, Progress + DataTriggerSlots, 0);
        } else {
          Progress[I] = P + 1;
        }
      } else if (First == Byte) {
        Progress[I] = 1;
        Started = true;
      } else {
        Progress[I] = 0;
      }
    }
    if (Progress[I] == 1) {
      Started = true;
    }
    if (I + 1 < Length) {
      // Live candidates advance together; a new one starts in the first free slot reached
      // while none has started for this byte.
      Examine = Started ? Progress[I + 1] != 0 : (Progress[I + 1] != 0 || First == Byte);
    }
  }
  return Matched;
}

bool TApdBaseDispatcher::CheckDataTriggers() {
  if (FInDispatch.load()) {
    return false;
  }
  // What to send, worked out under the locks. At most one notice per data trigger.
  bool SendAvail = false;
  uint32_t AvailCount = 0;
  std::array<std::pair<int32_t, int32_t>, MaxTriggersPerList> Matches; // handle, length
  size_t MatchCount = 0;
  {
    Guard Buf(BufferLock);
    Guard Main(MainLock);
    if (!DispatchBuffer) {
      return false;
    }
    const uint32_t Head = DispHead;
    const uint32_t Tail = DispTail;
    const uint32_t Used = Head == Tail ? (FDispatchFull ? DispatchBufferSize : 0)
                                       : (Head + DispatchBufferSize - Tail) % DispatchBufferSize;
    // Bytes taken past the scan position (a reader outside a notice, a purge) are gone:
    // scanning them would look at stale bytes, or at bytes the ring has meanwhile
    // overwritten out of order, and could stop the scan short of the head.
    uint32_t Pos = ScanPosition % DispatchBufferSize;
    if ((Pos + DispatchBufferSize - Tail) % DispatchBufferSize > Used) {
      Pos = Tail;
    }
    const int32_t Threshold = AvailThreshold.load();
    const uint32_t Start =
        (Tail + (CountingReads ? ReadCount : 0)) % DispatchBufferSize; // unread bytes begin

    bool Found = false;
    int32_t Longest = 0;
    while (Pos != Head) {
      const uint8_t Byte = DispatchBuffer[Pos];
      for (auto& Trigger : DataTriggerList) {
        if (Trigger.Length == 0) {
          continue;
        }
        if (Trigger.Matched == 0 && MatchByte(Trigger.Progress, Byte, Trigger.Length,
                                              Trigger.IgnoreCase != 0, Trigger.Text)) {
          Trigger.Matched = -1;
        }
        if (Trigger.Matched != 0) {
          Found = true;
          Longest = std::max(Longest, Trigger.Length);
        }
      }
      if (Found) {
        break;
      }
      Pos = (Pos + 1) % DispatchBufferSize;
    }

    // The received count at a ring position within the unread bytes.
    auto CountAt = [this, Head](uint32_t Position) {
      return FReceivedTotal - (Head + DispatchBufferSize - Position) % DispatchBufferSize;
    };
    if (Found) {
      const uint32_t At = Pos;
      if (Threshold != 0 && CountAt(At) != AvailNotifiedAt) {
        // Bytes from the first unread one up to the one before the matched text.
        const int64_t UpToMatch = (At + DispatchBufferSize - Start) % DispatchBufferSize + 1;
        const int64_t Before = std::max<int64_t>(0, UpToMatch - Longest);
        if (Before >= Threshold) {
          SendAvail = true;
          AvailCount = static_cast<uint32_t>(Before);
          AvailNotifiedAt = CountAt(At);
        }
      }
      for (size_t I = DataTriggerList.size(); I-- > 0;) {
        TApdDataTrigger& Trigger = DataTriggerList[I];
        if (Trigger.Matched != 0 && Trigger.Length != 0) {
          Trigger.Matched = 0;
          Matches[MatchCount++] = {Trigger.Handle, Trigger.Length};
        }
      }
      ScanPosition = (At + 1) % DispatchBufferSize;
    } else {
      ScanPosition = Head;
      const uint32_t Unread = CountingReads ? (Used > ReadCount ? Used - ReadCount : 0) : Used;
      if (Threshold == 0 || FReceivedTotal == AvailNotifiedAt ||
          static_cast<int64_t>(Unread) < Threshold) {
        return false;
      }
      SendAvail = true;
      AvailCount = Unread;
      AvailNotifiedAt = FReceivedTotal;
    }
  }

  // So the data before a match is announced before the match itself.
  bool Result = false;
  if (SendAvail) {
    AddLogEntry(dtTrigger, dstAvail, 0, nullptr, AvailCount);
    Result = SendNotice(ApwTriggerAvail, AvailCount, 0);
  }
  for (size_t I = 0; I < MatchCount; ++I) {
    if (FCloseDeferred.load()) {
      return false;
    }
    const auto [Handle, Length] = Matches[I];
    AddLogEntry(dtTrigger, dstData, 0, nullptr, static_cast<uint32_t>(Handle));
    Result =
        SendNotice(ApwTriggerData, static_cast<uintptr_t>(Handle), static_cast<uint32_t>(Length));
  }
  return Result;
}

bool TApdBaseDispatcher::CheckTimerTriggers() {
  int32_t Handle = 0;
  {
    Guard Main(MainLock);
    const uint32_t Now = CurrentTicks();
    for (auto& Trigger : TimerTriggerList) {
      // The shared tick test also handles a clock that wrapped after the start.
      if (Trigger.Active && TickTimerExpired(Trigger.StartTicks, Trigger.ExpireTicks, Now)) {
        Trigger.Active = false; // a timer fires once
        Handle = Trigger.Handle;
        break;
      }
    }
  }
  if (Handle == 0) {
    return false;
  }
  AddLogEntry(dtTrigger, dstTimer, 0, nullptr, static_cast<uint32_t>(Handle));
  return SendNotice(ApwTriggerTimer, static_cast<uintptr_t>(Handle), 0);
}

bool TApdBaseDispatcher::CheckStatusTriggers() {
  if (FInDispatch.load()) {
    return false;
  }
  int32_t Handle = 0;
  uint32_t Value = 0;
  {
    Guard Main(MainLock);
    // MainLock is held throughout, so the list cannot change under the walk; a handler
    // changes it only between two checks.
    for (TApdStatusTrigger& Trigger : StatusTriggerList) {
      if (!Trigger.Armed || Trigger.Hit) {
        continue;
      }
      bool Fires = false;
      uint32_t Report = 0;
      switch (Trigger.Type) {
      case stModem: {
        const uint32_t Levels = Trigger.Value & 0xFF;
        const uint32_t Mask = Trigger.Value >> 8;
        Fires = ((Levels ^ ModemStatusByte) & Mask) != 0;
        break;
      }
      case stLine: {
        const uint32_t Errors = FLineErrors.load();
        Fires = (Trigger.Value & Errors) != 0;
        if (Fires) {
          Trigger.Value = static_cast<uint16_t>(Errors & 0xFFFF);
        }
        break;
      }
      case stOutBuffFree: {
        const uint32_t Free = OutputFree();
        Fires = Free >= Trigger.Value;
        Report = Free;
        break;
      }
      case stOutBuffUsed: {
        const uint32_t Used = OutputUsed();
        Fires = Used <= Trigger.Value;
        Report = Used;
        break;
      }
      case stOutSent:
        Fires = OutputSentPending.exchange(false);
        break;
      default:
        break;
      }
      if (Fires) {
        Trigger.Armed = false; // fires once
        Trigger.Hit = true;
        StatusHitThisRound = true;
        Handle = Trigger.Handle;
        Value = LowWord(Report);
        break;
      }
    }
  }
  if (Handle == 0) {
    return false;
  }
  AddLogEntry(dtTrigger, dstStatus, 0, nullptr, static_cast<uint32_t>(Handle));
  return SendNotice(ApwTriggerStatus, static_cast<uintptr_t>(Handle), Value);
}
