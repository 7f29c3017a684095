// The live events of the web page. See WebEvents.h.
#include "web/WebEvents.h"

#include <algorithm>
#include <chrono>

TWebEvents::TWebEvents(size_t RingSize, size_t RecentLimit)
    : FRingSize(std::max<size_t>(RingSize, 1)), FRecentLimit(RecentLimit) {}

void TWebEvents::Push(TWebEvent Event) {
  Event.Serial = ++FSerial;
  FRing.push_back(std::move(Event));
  while (FRing.size() > FRingSize)
    FRing.pop_front();
  FWake.notify_all();
}

void TWebEvents::AddCall(const TCallRecord& Call) {
  const std::lock_guard Guard(FLock);
  const auto Same = std::find_if(FRecent.begin(), FRecent.end(), [&Call](const TCallRecord& Old) {
    return Call.CallKey != 0 && Old.CallKey == Call.CallKey && Old.Line == Call.Line;
  });
  if (Same != FRecent.end()) {
    *Same = Call;
  } else {
    FRecent.push_back(Call);
    while (FRecent.size() > FRecentLimit)
      FRecent.pop_front();
  }
  TWebEvent Event;
  Event.Kind = wkCall;
  Event.Call = Call;
  Push(std::move(Event));
}

void TWebEvents::SetLine(const std::string& Name, const std::string& State) {
  const std::lock_guard Guard(FLock);
  const auto Known = std::find_if(FLines.begin(), FLines.end(),
                                  [&Name](const TWebLine& Line) { return Line.Name == Name; });
  if (Known == FLines.end())
    FLines.push_back({Name, State});
  else if (Known->State == State)
    return;
  else
    Known->State = State;
  TWebEvent Event;
  Event.Kind = wkLine;
  Event.Line = Name;
  Event.State = State;
  Push(std::move(Event));
}

std::vector<TWebLine> TWebEvents::Lines() {
  const std::lock_guard Guard(FLock);
  return FLines;
}

std::vector<TCallRecord> TWebEvents::Recent() {
  const std::lock_guard Guard(FLock);
  return {FRecent.begin(), FRecent.end()};
}

uint64_t TWebEvents::Latest() {
  const std::lock_guard Guard(FLock);
  return FSerial;
}

std::vector<TWebEvent> TWebEvents::Wait(uint64_t Serial, int WaitMs, bool& Stopped) {
  std::unique_lock Guard(FLock);
  FWake.wait_for(Guard, std::chrono::milliseconds(WaitMs),
                 [&] { return FStopped || FSerial > Serial; });
  Stopped = FStopped;
  std::vector<TWebEvent> Events;
  if (Stopped)
    return Events;
  for (const TWebEvent& Event : FRing)
    if (Event.Serial > Serial)
      Events.push_back(Event);
  return Events;
}

void TWebEvents::Stop() {
  const std::lock_guard Guard(FLock);
  FStopped = true;
  FWake.notify_all();
}
