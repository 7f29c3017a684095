// message_roundtrip: what one cross-thread send costs, as a worker thread hands each notice to
// a window of the main thread and waits for its answer (the path of every dispatcher notice).
//
// A worker sends Count messages one after the other, doing a few microseconds of work between
// them; the main thread pumps with PeekMessage / WaitMessage as a message loop does. Printed:
// microseconds per send (wall clock), CPU per send of the whole process, and how often a
// thread went to sleep and was woken per send (context switches of the process's threads, from
// /proc). The last figure varies least from run to run while the processors have nothing else
// to do; the first two follow the machine's load.
//
// Usage: bench_message_roundtrip [--sends N]
#include "platform/Messages.h"

#include "bench/ProcessFigures.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

using TClock = std::chrono::steady_clock;

constexpr uint32_t NoticeMessage = 0x7E01;

std::atomic<size_t> Served{0};

intptr_t Handler(Platform::TWindowHandle, uint32_t Msg, uintptr_t, intptr_t) {
  if (Msg == NoticeMessage) {
    Served.fetch_add(1);
  }
  return 0;
}

using Bench::ContextSwitches;
using Bench::CpuSeconds;

// A few microseconds of work, as the dispatch thread reads the device between two notices.
void Work() {
  volatile uint32_t Sink = 0;
  for (uint32_t I = 0; I < 2000; ++I) {
    Sink = Sink + I;
  }
}

} // namespace

int main(int Argc, char** Argv) {
  size_t Sends = 20000;
  for (int I = 1; I + 1 < Argc; I += 2) {
    if (std::strcmp(Argv[I], "--sends") == 0) {
      Sends = static_cast<size_t>(std::atol(Argv[I + 1]));
    }
  }
  Platform::TWindowHandle Window = Platform::CreateHiddenWindow(Handler);
  std::atomic<bool> Sending{true};
  std::atomic<bool> Counted{false};
  uint64_t SwitchesAtEnd = 0;
  const uint64_t SwitchesBefore = ContextSwitches();
  const double CpuBefore = CpuSeconds();
  const auto Start = TClock::now();
  std::thread Worker([&] {
    for (size_t I = 0; I < Sends; ++I) {
      Work();
      intptr_t Result = 0;
      Platform::SendMessageTimeout(Window, NoticeMessage, I, 0, 3000, &Result);
    }
    Sending = false;
    // Stay until the main thread has counted this thread's switches too.
    while (!Counted.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  Platform::TMessage Msg;
  while (Sending.load()) {
    if (Platform::PeekMessage(Msg, true)) {
      Platform::DispatchMessage(Msg);
    } else {
      Platform::WaitMessage(100);
    }
  }
  const double Elapsed = std::chrono::duration<double>(TClock::now() - Start).count();
  const double Cpu = CpuSeconds() - CpuBefore;
  SwitchesAtEnd = ContextSwitches();
  Counted = true;
  Worker.join();
  Platform::DestroyWindow(Window);
  if (Served.load() != Sends) {
    std::printf("FAIL: %zu of %zu sends were served\n", Served.load(), Sends);
    return 1;
  }
  const double PerSend = 1e6 / static_cast<double>(Sends);
  std::printf("round trip over %zu sends: %.1f us wall, %.1f us CPU (whole process), "
              "%.2f context switches per send\n",
              Sends, Elapsed * PerSend, Cpu * PerSend,
              static_cast<double>(SwitchesAtEnd - SwitchesBefore) / static_cast<double>(Sends));
  return 0;
}
