// telephony_latency: how quickly the telephony service turns a caller-ID block into
// LINE_CALLINFO, and what an open, idle line costs.
//
// The benchmark plays the modem itself on a pseudo-terminal (so it knows to the microsecond
// when the last byte of each caller-ID block was written), registers with libtapi32.so on
// its main thread and opens the line as the owner, as the monitor does. For each call it
// writes RING, then the whole caller-ID block in one write, and measures from the end of
// that write to the callback of LINE_CALLINFO (caller ID) on the registering thread. Then it
// leaves the line open with no calls and measures the process's CPU time, which is the
// service's: the benchmark's own threads sleep meanwhile.
//
// Usage: bench_telephony_latency [--calls N] [--idle-seconds S]
#include "telephony/Tapi.h"

#include "platform/Messages.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;

// The modem: answers every command line with OK; calls are written by the main thread.
class TPeer {
public:
  bool Open() {
    FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (FMaster < 0 || grantpt(FMaster) || unlockpt(FMaster))
      return false;
    char name[128];
    if (ptsname_r(FMaster, name, sizeof name))
      return false;
    FPath = name;
    // Held open in raw mode so nothing is cooked or echoed before the service opens it.
    FSlave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    if (FSlave < 0 || tcgetattr(FSlave, &t))
      return false;
    cfmakeraw(&t);
    tcsetattr(FSlave, TCSANOW, &t);
    if (pipe(FStop))
      return false;
    FThread = std::thread([this] { Serve(); });
    return true;
  }

  void Close() {
    if (FThread.joinable()) {
      [[maybe_unused]] ssize_t n = write(FStop[1], "x", 1);
      FThread.join();
    }
    for (int fd : {FMaster, FSlave, FStop[0], FStop[1]})
      if (fd >= 0)
        close(fd);
  }

  void Write(const std::string& bytes) {
    std::lock_guard lock(FWriteLock);
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = write(FMaster, bytes.data() + done, bytes.size() - done);
      if (n > 0)
        done += static_cast<std::size_t>(n);
      else if (n < 0 && errno != EINTR)
        return;
    }
  }

  const std::string& Path() const { return FPath; }
  int Commands() const { return FCommands.load(); }

private:
  void Serve() {
    std::string line;
    for (;;) {
      pollfd fds[2] = {{FMaster, POLLIN, 0}, {FStop[0], POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 && errno != EINTR)
        return;
      if (fds[1].revents)
        return;
      char buf[256];
      ssize_t n = read(FMaster, buf, sizeof buf);
      if (n <= 0)
        continue;
      for (ssize_t i = 0; i < n; ++i) {
        if (buf[i] != '\r') {
          line.push_back(buf[i]);
          continue;
        }
        if (line.size() >= 2) {
          ++FCommands;
          Write("\r\nOK\r\n");
        }
        line.clear();
      }
    }
  }

  int FMaster = -1, FSlave = -1;
  int FStop[2] = {-1, -1};
  std::string FPath;
  std::thread FThread;
  std::mutex FWriteLock;
  std::atomic<int> FCommands{0};
};

struct TState {
  HCALL Call = 0;
  bool Offered = false;
  bool Idle = false;
  bool CallerId = false;
  TClock::time_point CallerIdAt;
};

TState GState;

void Callback(DWORD device, DWORD message, DWORD_PTR, DWORD_PTR p1, DWORD_PTR, DWORD_PTR) {
  if (message == LINE_CALLINFO && (p1 & LINECALLINFOSTATE_CALLERID) && !GState.CallerId) {
    GState.CallerIdAt = TClock::now();
    GState.CallerId = true;
  } else if (message == LINE_CALLSTATE && p1 == LINECALLSTATE_OFFERING) {
    GState.Call = device;
    GState.Offered = true;
  } else if (message == LINE_CALLSTATE && p1 == LINECALLSTATE_IDLE) {
    GState.Idle = true;
  }
}

// Pumps the registering thread's queue until done() or the time-out.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
  const auto end = TClock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    Platform::TMessage m;
    while (Platform::PeekMessage(m, true))
      Platform::DispatchMessage(m);
    if (done())
      return true;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - TClock::now());
    if (left.count() <= 0)
      return false;
    pollfd p{Platform::QueueWakeDescriptor(), POLLIN, 0};
    poll(&p, 1, static_cast<int>(left.count()));
  }
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  std::size_t i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

} // namespace

int main(int argc, char** argv) {
  int calls = 200;
  int idleSeconds = 10;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--calls"))
      calls = std::max(1, std::atoi(argv[i + 1]));
    else if (!std::strcmp(argv[i], "--idle-seconds"))
      idleSeconds = std::max(1, std::atoi(argv[i + 1]));
  }

  TPeer peer;
  if (!peer.Open()) {
    std::perror("telephony_latency: pseudo-terminal");
    return 1;
  }
  char dir[] = "/tmp/telephony-latency-XXXXXX";
  if (!mkdtemp(dir)) {
    std::perror("telephony_latency: temp folder");
    return 1;
  }
  const std::string config = std::string(dir) + "/telephony.ini";
  // A short ring time-out so that each call is over soon after its last ring.
  std::ofstream(config) << "[Line1]\nName=Bench line\nDevice=" << peer.Path()
                        << "\nInit=AT+VCID=1\nRingTimeout=0.2\n";
  setenv("RINGLET_TELEPHONY_CONFIG", config.c_str(), 1);

  HLINEAPP app = 0;
  DWORD devices = 0;
  HLINE line = 0;
  LONG r = lineInitialize(&app, nullptr, Callback, "telephony_latency", &devices);
  if (r == 0 && devices == 1)
    r = lineOpen(app, 0, &line, TAPI_VERSION_1_4, 0, 0, LINECALLPRIVILEGE_OWNER,
                 LINEMEDIAMODE_DATAMODEM, nullptr);
  if (r != 0 || devices != 1) {
    std::fprintf(stderr, "telephony_latency: line not opened (0x%08X, %u lines)\n",
                 static_cast<unsigned>(r), devices);
    return 1;
  }

  const std::string block = "\r\nDATE = 0504\r\nTIME = 2149\r\nNMBR = 4075551212\r\n"
                            "NAME = Chmielewski Joh\r\n";
  std::vector<double> latencies;
  for (int c = 0; c < calls; ++c) {
    GState = TState{};
    peer.Write("\r\nRING\r\n");
    if (!PumpUntil([] { return GState.Offered; }, 10000)) {
      std::fprintf(stderr, "telephony_latency: call %d not offered\n", c);
      return 1;
    }
    peer.Write(block);
    const auto written = TClock::now();
    if (!PumpUntil([] { return GState.CallerId; }, 10000)) {
      std::fprintf(stderr, "telephony_latency: no caller ID for call %d\n", c);
      return 1;
    }
    latencies.push_back(
        std::chrono::duration<double, std::micro>(GState.CallerIdAt - written).count());
    if (!PumpUntil([] { return GState.Idle; }, 10000)) {
      std::fprintf(stderr, "telephony_latency: call %d never ended\n", c);
      return 1;
    }
    lineDeallocateCall(GState.Call);
  }

  // Idle: the line stays open, nothing happens on it.
  const int commandsBefore = peer.Commands();
  const double cpuBefore = CpuSeconds();
  const auto idleStart = TClock::now();
  PumpUntil([] { return false; }, idleSeconds * 1000);
  const double wall = std::chrono::duration<double>(TClock::now() - idleStart).count();
  const double cpu = CpuSeconds() - cpuBefore;

  std::printf("telephony_latency: caller-ID block written -> LINE_CALLINFO callback\n");
  std::printf("  calls              %zu\n", latencies.size());
  std::printf("  median             %.1f us\n", Percentile(latencies, 0.5));
  std::printf("  90th percentile    %.1f us\n", Percentile(latencies, 0.90));
  std::printf("  99th percentile    %.1f us\n", Percentile(latencies, 0.99));
  std::printf("  max                %.1f us\n", Percentile(latencies, 1.0));
  std::printf("  over 1 ms          %zu calls\n",
              static_cast<std::size_t>(std::count_if(latencies.begin(), latencies.end(),
                                                     [](double us) { return us > 1000; })));
  std::printf("telephony_latency: open idle line\n");
  std::printf("  wall time          %.2f s\n", wall);
  std::printf("  CPU time           %.2f ms (%.4f %% of one core)\n", cpu * 1000,
              100.0 * cpu / wall);
  std::printf("  modem commands     %d while idle\n", peer.Commands() - commandsBefore);

  lineClose(line);
  lineShutdown(app);
  peer.Close();
  unlink(config.c_str());
  rmdir(dir);
  return 0;
}
