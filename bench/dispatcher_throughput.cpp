// dispatcher_throughput: what the serial dispatcher costs against reading a tty directly.
//
// 1. Throughput: a writer thread pours bytes into the master side of a pseudo-terminal; the
//    dispatcher on the slave side announces them with the data-available notice to a hidden
//    window on the main thread, whose handler takes them there (as the port component does).
//    The same amount then goes through a plain poll()/read() loop on a second
//    pseudo-terminal in the same run, each after an untimed warm-up; the ratio of the two
//    rates is printed.
// 2. Idle cost: the process's CPU time while one port is open with no traffic, and how often
//    its threads woke (context switches of every thread of the process, from /proc).
// 3. Latency: from a single byte written by the peer to the data-available handler on the
//    main thread (median and 99th percentile).
//
// The throughput part also reports the cost of one notice: wall-clock and CPU time per notice
// (all threads), beside the plain loop's time per read.
//
// Usage: bench_dispatcher_throughput [--megabytes N] [--idle-seconds S] [--samples N]
#include "port/AwWin32.h"

#include "platform/Messages.h"

#include "bench/ProcessFigures.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

struct TPty {
  int Master = -1;
  std::string SlavePath;

  bool Open() {
    Master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (Master < 0 || grantpt(Master) != 0 || unlockpt(Master) != 0) {
      return false;
    }
    char Name[128] = {};
    ptsname_r(Master, Name, sizeof Name);
    SlavePath = Name;
    termios Raw{};
    tcgetattr(Master, &Raw);
    cfmakeraw(&Raw);
    tcsetattr(Master, TCSANOW, &Raw);
    return true;
  }
  ~TPty() {
    if (Master >= 0) {
      close(Master);
    }
  }
};

// Writes Total bytes to Fd (blocking), in chunks of 4096.
void Pour(int Fd, size_t Total) {
  std::vector<char> Chunk(4096);
  for (size_t I = 0; I < Chunk.size(); ++I) {
    Chunk[I] = static_cast<char>(I * 7);
  }
  size_t Done = 0;
  while (Done < Total) {
    ssize_t N = write(Fd, Chunk.data(), std::min(Chunk.size(), Total - Done));
    if (N > 0) {
      Done += static_cast<size_t>(N);
    } else if (N < 0 && errno != EINTR && errno != EAGAIN) {
      std::perror("write");
      return;
    }
  }
}

using Bench::ContextSwitches;
using Bench::CpuSeconds;

// The main thread's receiver: a hidden window that takes what each notice announces.
struct TReceiver {
  TApdBaseDispatcher* Dispatcher = nullptr;
  size_t Received = 0;
  size_t Notices = 0;
  TClock::time_point LastNotice;
  std::vector<char> Buffer = std::vector<char>(8192);
};

TReceiver Receiver;

intptr_t ReceiverProc(Platform::TWindowHandle, uint32_t Msg, uintptr_t WParam, intptr_t) {
  if (Msg == ApwTriggerAvail && Receiver.Dispatcher != nullptr) {
    Receiver.LastNotice = TClock::now();
    ++Receiver.Notices;
    Receiver.Received += Receiver.Dispatcher->GetBlock(
        Receiver.Buffer.data(), static_cast<uint32_t>(std::min<size_t>(WParam, 8192)));
  }
  return 0;
}

bool OpenWithReceiver(TApdWin32Dispatcher& D, const TPty& Pty, Platform::TWindowHandle Window) {
  int32_t Result = D.OpenPort(Pty.SlavePath.c_str(), 115200, 0, 8, 1, 8192, 8192, 0x03);
  if (Result != 0) {
    std::fprintf(stderr, "OpenPort failed: %d\n", Result);
    return false;
  }
  Receiver.Dispatcher = &D;
  D.RegisterWindowHandler(Window);
  D.RefreshHandlerFlags(1);
  D.SetAvailThreshold(1);
  return true;
}

// A dispatcher that stops announcing bytes would leave us waiting for ever: ten seconds
// without one byte more end the program with a failure.
void PumpUntil(size_t Bytes) {
  Platform::TMessage Msg;
  size_t Seen = Receiver.Received;
  auto Progress = TClock::now();
  while (Receiver.Received < Bytes) {
    if (Platform::PeekMessage(Msg, true)) {
      Platform::DispatchMessage(Msg);
    } else {
      Platform::WaitMessage(100);
    }
    if (Receiver.Received != Seen) {
      Seen = Receiver.Received;
      Progress = TClock::now();
    } else if (TClock::now() - Progress > std::chrono::seconds(10)) {
      std::printf("FAIL: stalled at %zu of %zu bytes\n", Receiver.Received, Bytes);
      std::exit(1);
    }
  }
}

// What one way of reading cost.
struct TTally {
  size_t Bytes = 0;
  double Seconds = 0;
  double Cpu = 0;
  double Switches = 0;
  size_t Steps = 0; // notices, or reads

  double Rate() const { return Seconds > 0 ? static_cast<double>(Bytes) / Seconds : 0; }
  double PerStep(double Value) const {
    return Value / static_cast<double>(std::max<size_t>(Steps, 1)) * 1e6;
  }
};

void DispatcherRun(size_t Total, Platform::TWindowHandle Window, TTally& Tally) {
  TPty Pty;
  if (!Pty.Open()) {
    return;
  }
  TApdWin32Dispatcher D(nullptr);
  if (!OpenWithReceiver(D, Pty, Window)) {
    return;
  }
  Receiver.Received = 0;
  Receiver.Notices = 0;
  double CpuBefore = CpuSeconds();
  uint64_t SwitchesBefore = ContextSwitches();
  auto Start = TClock::now();
  std::thread Writer(Pour, Pty.Master, Total);
  PumpUntil(Total);
  Tally.Seconds += std::chrono::duration<double>(TClock::now() - Start).count();
  Writer.join();
  Tally.Cpu += CpuSeconds() - CpuBefore;
  // The writer has ended: only the threads that stay are counted.
  Tally.Switches += static_cast<double>(ContextSwitches() - SwitchesBefore);
  Tally.Steps += Receiver.Notices;
  Tally.Bytes += Total;
  D.ClosePort();
  Receiver.Dispatcher = nullptr;
}

void PlainReadRun(size_t Total, TTally& Tally) {
  TPty Pty;
  if (!Pty.Open()) {
    return;
  }
  int Slave = open(Pty.SlavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  termios Raw{};
  tcgetattr(Slave, &Raw);
  cfmakeraw(&Raw);
  tcsetattr(Slave, TCSANOW, &Raw);
  std::vector<char> Buffer(8192);
  size_t Got = 0;
  size_t Reads = 0;
  double CpuBefore = CpuSeconds();
  auto Start = TClock::now();
  std::thread Writer(Pour, Pty.Master, Total);
  while (Got < Total) {
    ssize_t N = read(Slave, Buffer.data(), Buffer.size());
    if (N > 0) {
      Got += static_cast<size_t>(N);
      ++Reads;
    } else {
      pollfd Input{Slave, POLLIN, 0};
      poll(&Input, 1, 100);
    }
  }
  Tally.Seconds += std::chrono::duration<double>(TClock::now() - Start).count();
  Writer.join();
  Tally.Cpu += CpuSeconds() - CpuBefore;
  close(Slave);
  Tally.Steps += Reads;
  Tally.Bytes += Total;
}

// Both ways first move a few megabytes untimed: on the virtual machines we measure on, the
// first megabytes of a run through the dispatcher were several times slower than the rest
// (and a 2 MB run as slow as such a start), so a cold start would weigh on one way only.
void Throughput(size_t Total, Platform::TWindowHandle Window) {
  const size_t WarmUp = 4 * 1024 * 1024;
  TTally Unused;
  DispatcherRun(WarmUp, Window, Unused);
  PlainReadRun(WarmUp, Unused);
  TTally Dispatcher;
  TTally Plain;
  DispatcherRun(Total, Window, Dispatcher);
  PlainReadRun(Total, Plain);
  std::printf("dispatcher: %zu bytes in %.3f s, %zu notices (%.0f bytes per notice)\n",
              Dispatcher.Bytes, Dispatcher.Seconds, Dispatcher.Steps,
              static_cast<double>(Dispatcher.Bytes) /
                  static_cast<double>(std::max<size_t>(Dispatcher.Steps, 1)));
  std::printf("cost per notice: %.1f us wall, %.1f us CPU (all threads, writer included), "
              "%.2f context switches of the dispatcher's and the main thread\n",
              Dispatcher.PerStep(Dispatcher.Seconds), Dispatcher.PerStep(Dispatcher.Cpu),
              Dispatcher.Switches / static_cast<double>(std::max<size_t>(Dispatcher.Steps, 1)));
  std::printf("plain read(): %zu bytes in %.3f s, %zu reads (%.1f us wall, %.1f us CPU per read)\n",
              Plain.Bytes, Plain.Seconds, Plain.Steps, Plain.PerStep(Plain.Seconds),
              Plain.PerStep(Plain.Cpu));
  std::printf("throughput: dispatcher %.1f MB/s, plain read() %.1f MB/s, ratio %.2f\n",
              Dispatcher.Rate() / 1e6, Plain.Rate() / 1e6,
              Plain.Rate() > 0 ? Dispatcher.Rate() / Plain.Rate() : 0.0);
}

void IdleCost(int Seconds, Platform::TWindowHandle Window) {
  TPty Pty;
  if (!Pty.Open()) {
    return;
  }
  TApdWin32Dispatcher D(nullptr);
  if (!OpenWithReceiver(D, Pty, Window)) {
    return;
  }
  double Before = CpuSeconds();
  uint64_t SwitchesBefore = ContextSwitches();
  auto Start = TClock::now();
  auto End = Start + std::chrono::seconds(Seconds);
  // The main thread waits for messages as an idle program does, without a periodic wake-up of
  // its own; none should come.
  Platform::TMessage Msg;
  for (auto Now = Start; Now < End; Now = TClock::now()) {
    if (Platform::PeekMessage(Msg, true)) {
      Platform::DispatchMessage(Msg);
    } else {
      auto Left = std::chrono::ceil<std::chrono::milliseconds>(End - Now).count();
      Platform::WaitMessage(static_cast<uint32_t>(Left));
    }
  }
  double Used = CpuSeconds() - Before;
  uint64_t Switches = ContextSwitches() - SwitchesBefore;
  double Wall = std::chrono::duration<double>(TClock::now() - Start).count();
  std::printf("idle open port: %.1f ms CPU over %.1f s (%.3f %% of one core, %.2f ms per 10 s)\n",
              Used * 1000, Wall, Used / Wall * 100, Used * 1000 / Wall * 10);
  std::printf("idle wake-ups: %llu context switches over %.1f s (%.1f per second, all threads)\n",
              static_cast<unsigned long long>(Switches), Wall,
              static_cast<double>(Switches) / Wall);
  D.ClosePort();
  Receiver.Dispatcher = nullptr;
}

void Latency(int Samples, Platform::TWindowHandle Window) {
  TPty Pty;
  if (!Pty.Open()) {
    return;
  }
  TApdWin32Dispatcher D(nullptr);
  if (!OpenWithReceiver(D, Pty, Window)) {
    return;
  }
  std::vector<double> Micros;
  Micros.reserve(Samples);
  Receiver.Received = 0;
  for (int I = 0; I < Samples; ++I) {
    // Let the dispatch thread settle into its wait at a different phase of its 50 ms pass.
    std::this_thread::sleep_for(std::chrono::microseconds(1000 + (I * 337) % 4000));
    size_t Want = Receiver.Received + 1;
    auto Sent = TClock::now();
    char Byte = static_cast<char>(I);
    if (write(Pty.Master, &Byte, 1) != 1) {
      std::perror("write");
      break;
    }
    PumpUntil(Want);
    Micros.push_back(std::chrono::duration<double, std::micro>(Receiver.LastNotice - Sent).count());
  }
  std::sort(Micros.begin(), Micros.end());
  if (!Micros.empty()) {
    auto At = [&](double Q) {
      return Micros[std::min(Micros.size() - 1, static_cast<size_t>(Q * Micros.size()))];
    };
    std::printf("latency byte -> handler on main thread over %zu samples: median %.0f us, "
                "99th percentile %.0f us, max %.0f us\n",
                Micros.size(), At(0.5), At(0.99), Micros.back());
  }
  D.ClosePort();
  Receiver.Dispatcher = nullptr;
}

} // namespace

int main(int Argc, char** Argv) {
  size_t Megabytes = 16;
  int IdleSeconds = 10;
  int Samples = 1000;
  for (int I = 1; I + 1 < Argc; I += 2) {
    if (std::strcmp(Argv[I], "--megabytes") == 0) {
      Megabytes = static_cast<size_t>(std::atol(Argv[I + 1]));
    } else if (std::strcmp(Argv[I], "--idle-seconds") == 0) {
      IdleSeconds = std::atoi(Argv[I + 1]);
    } else if (std::strcmp(Argv[I], "--samples") == 0) {
      Samples = std::atoi(Argv[I + 1]);
    }
  }
  // A pseudo-terminal needs no UUCP lock file.
  setenv("RINGLET_LOCK_DIR", "", 1);
  Platform::TWindowHandle Window = Platform::CreateHiddenWindow(ReceiverProc);

  const size_t Total = Megabytes * 1024 * 1024;
  Throughput(Total, Window);

  Latency(Samples, Window);
  IdleCost(IdleSeconds, Window);
  Platform::DestroyWindow(Window);
  return 0;
}
