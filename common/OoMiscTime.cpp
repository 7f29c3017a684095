// OoMisc: the millisecond clock, 55 ms tick timers and the file test.
#include "common/OoMisc.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <sys/stat.h>

namespace {

constexpr uint32_t MsPerTick = 55;

// Installed by tests; the dispatcher's threads read it, hence atomic.
std::atomic<TTickSource> TickSourceOverride{nullptr};

} // namespace

uint32_t AdTimeGetTime() {
  // The high-resolution counter is CLOCK_MONOTONIC in nanoseconds: frequency 1e9 counts a
  // second, so one millisecond is frequency / 1000, rounded to the nearest count.
  constexpr uint64_t Frequency = 1000000000;
  constexpr uint64_t CountsPerMs = Frequency / 1000 + ((Frequency % 1000) > 500 ? 1 : 0);
  uint64_t Count = 0;
  timespec Now{};
  if (clock_gettime(CLOCK_MONOTONIC, &Now) == 0) {
    Count = static_cast<uint64_t>(Now.tv_sec) * Frequency + static_cast<uint64_t>(Now.tv_nsec);
  } else {
    // No counter: fall back to the library's steady clock, the same time base.
    Count = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                      std::chrono::steady_clock::now().time_since_epoch())
                                      .count());
  }
  // Callers work with the 32-bit millisecond value and its wrap.
  return static_cast<uint32_t>(Count / CountsPerMs);
}

TTickSource SetTickSource(TTickSource Source) {
  return TickSourceOverride.exchange(Source);
}

uint32_t CurrentTicks() {
  TTickSource Source = TickSourceOverride.load();
  return Source != nullptr ? Source() : AdTimeGetTime() / MsPerTick;
}

void NewTimer(TEventTimer& ET, uint32_t Ticks) {
  ET.StartTicks = CurrentTicks();
  ET.ExpireTicks = ET.StartTicks + std::min(Ticks, MaxTimerTicks);
}

bool TickTimerExpired(uint32_t StartTicks, uint32_t ExpireTicks, uint32_t Now) {
  if (Now > ExpireTicks) {
    return true;
  }
  if (Now < StartTicks) {
    // The counter wrapped after the start. The expiry tick was not wrapped (it may lie
    // beyond the counter's range), so count Now on from before the wrap. A timer is at most
    // half the range long, so a distant expiry is never mistaken for a wrap.
    return static_cast<uint64_t>(Now) + TicksPerWrap > ExpireTicks;
  }
  return false;
}

bool TimerExpired(const TEventTimer& ET) {
  return TickTimerExpired(ET.StartTicks, ET.ExpireTicks, CurrentTicks());
}

uint32_t TimerTicksElapsed(const TEventTimer& ET) {
  const uint32_t Now = CurrentTicks();
  return Now >= ET.StartTicks ? Now - ET.StartTicks : Now + TicksPerWrap - ET.StartTicks;
}

uint32_t TimerTicksRemaining(const TEventTimer& ET) {
  const uint32_t Now = CurrentTicks();
  if (TickTimerExpired(ET.StartTicks, ET.ExpireTicks, Now)) {
    return 0;
  }
  const uint32_t Unwrapped = Now >= ET.StartTicks ? Now : Now + TicksPerWrap;
  return ET.ExpireTicks - Unwrapped;
}

bool ExistsFile(const char* FileName) {
  if (FileName == nullptr || *FileName == '\0') {
    return false;
  }
  struct stat Info {};
  return stat(FileName, &Info) == 0 && !S_ISDIR(Info.st_mode);
}
