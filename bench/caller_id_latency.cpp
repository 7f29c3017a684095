// caller_id_latency: how soon a caller ID is shown - from the last caller-ID byte a modem writes
// to the row of `ringlet --console` and to the "CID:" line an NCID client of `--ncid-listen`
// receives, beside the same bytes read by a bare reader of a pseudo-terminal.
//
// The benchmark plays the modem itself on a pseudo-terminal (it answers every AT command OK and
// keeps the terminal's other end open, so the line's close and reopen after each call never
// hangs it up), and writes each call's bytes, in the same loop, to a second pseudo-terminal that
// a bare poll()/read() reader of the benchmark watches: the baseline, taken on the same run. A
// call is one RING, then the caller-ID block in one write; a block with a name is shown the
// moment its last byte is read, a block without one at the next RING (sent --ring-spacing after
// the block; the line's ring time-out is 3 s), so its figure is about the spacing. Each call waits
// until the console has opened the line again after the call before (its last init command) and
// --settle-ms more.
//
// Prints, for blocks with a name and number-only blocks, the median and 99th percentile in
// milliseconds of the baseline, the console row and the NCID line, and whether the goal for
// blocks with a name (median <= 2 ms, 99th percentile <= 10 ms) was met. A FAIL line and exit
// status 1 when a row or an NCID line is missing or the console ends.
//
// Usage: bench_caller_id_latency [--calls N] [--number-only-calls N] [--ring-spacing MS]
//                                [--settle-ms MS] [--ringlet PATH] [--library-dir PATH]
// Build: cmake --build build -j2 --target ringlet tapi32 bench_caller_id_latency
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using TClock = std::chrono::steady_clock;

struct TOptions {
  long Calls = 200;
  long NumberOnlyCalls = 20;
  long RingSpacingMs = 1000;
  long SettleMs = 100;
  std::string Ringlet, LibraryDir;
};

bool ParseOptions(int argc, char** argv, TOptions& o) {
  const fs::path build = fs::read_symlink("/proc/self/exe").parent_path().parent_path();
  o.Ringlet = build / "app/ringlet";
  o.LibraryDir = build / "telephony";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i], value = argv[i + 1];
    if (key == "--calls")
      o.Calls = std::atol(value.c_str());
    else if (key == "--number-only-calls")
      o.NumberOnlyCalls = std::atol(value.c_str());
    else if (key == "--ring-spacing")
      o.RingSpacingMs = std::atol(value.c_str());
    else if (key == "--settle-ms")
      o.SettleMs = std::atol(value.c_str());
    else if (key == "--ringlet")
      o.Ringlet = value;
    else if (key == "--library-dir")
      o.LibraryDir = value;
    else
      return false;
  }
  return argc % 2 == 1 && o.Calls >= 1 && o.NumberOnlyCalls >= 0 && o.RingSpacingMs >= 50 &&
         o.SettleMs >= 0;
}

class TFolder {
public:
  TFolder() {
    char name[] = "/tmp/ringlet-latency-XXXXXX";
    if (mkdtemp(name))
      FPath = name;
  }
  ~TFolder() {
    std::error_code ignored;
    if (!FPath.empty())
      fs::remove_all(FPath, ignored);
  }
  const std::string& Path() const { return FPath; }

private:
  std::string FPath;
};

// A pseudo-terminal whose other end stays open here too.
struct TPty {
  int Master = -1;
  int Slave = -1;
  std::string Path;

  bool Open() {
    Master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (Master < 0 || grantpt(Master) != 0 || unlockpt(Master) != 0)
      return false;
    const char* name = ptsname(Master);
    if (name == nullptr)
      return false;
    Path = name;
    Slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    termios raw{};
    if (Slave < 0 || tcgetattr(Slave, &raw) != 0)
      return false;
    cfmakeraw(&raw);
    fcntl(Master, F_SETFL, O_NONBLOCK);
    return tcsetattr(Slave, TCSANOW, &raw) == 0;
  }
  ~TPty() {
    for (int fd : {Master, Slave})
      if (fd >= 0)
        close(fd);
  }
};

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno != EAGAIN && errno != EINTR)
      return false;
    if (n > 0)
      done += static_cast<size_t>(n);
  }
  return true;
}

uint16_t FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  uint16_t port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &length) == 0)
    port = ntohs(a.sin_port);
  close(s);
  return port;
}

int Connect(uint16_t port) {
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(s);
    return -1;
  }
  fcntl(s, F_SETFL, O_NONBLOCK);
  return s;
}

using TSamples = std::vector<double>; // milliseconds

double Percentile(TSamples samples, double p) {
  if (samples.empty())
    return 0;
  std::sort(samples.begin(), samples.end());
  const size_t at = static_cast<size_t>(p * static_cast<double>(samples.size() - 1) + 0.5);
  return samples[std::min(at, samples.size() - 1)];
}

double Ms(TClock::time_point from, TClock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

struct TKindFigures {
  TSamples Baseline, Console, Ncid;
};

class TBench {
public:
  TBench(const TOptions& options, TPty& modem, TPty& bare, int consoleOut)
      : FOptions(options), FModem(modem), FBare(bare), FConsoleOut(consoleOut) {}
  ~TBench() {
    if (FNcid >= 0)
      close(FNcid);
  }
  TBench(const TBench&) = delete;
  TBench& operator=(const TBench&) = delete;

  std::string Run(uint16_t ncidPort, TKindFigures& named, TKindFigures& numberOnly) {
    // The console has the line open when it answered the last init command.
    if (!Serve([&] { return FOpenings > 0; }, 20000))
      return "the console never opened the line";
    for (int tries = 0; tries < 100 && FNcid < 0; ++tries) {
      FNcid = Connect(ncidPort);
      if (FNcid < 0)
        usleep(50000);
    }
    if (FNcid < 0)
      return "no NCID server on port " + std::to_string(ncidPort);
    if (!Serve([&] { return FNcidIn.find("300 End of connection startup") != std::string::npos; },
               5000))
      return "the NCID server sent no greeting";
    FNcidIn.clear();
    long number = 5550000;
    for (long i = 0; i < FOptions.Calls + FOptions.NumberOnlyCalls; ++i) {
      const bool withName = i < FOptions.Calls;
      const std::string why =
          PlayCall(std::to_string(++number), withName, withName ? named : numberOnly);
      if (!why.empty())
        return why;
    }
    return "";
  }

private:
  std::string PlayCall(const std::string& number, bool withName, TKindFigures& figures) {
    const long openings = FOpenings;
    const std::string block = "\r\nDATE = 1209\r\nTIME = 1200\r\nNMBR = " + number + "\r\n" +
                              (withName ? "NAME = BENCH CALLER\r\n" : "");
    if (!WriteAll(FModem.Master, "\r\nRING\r\n"))
      return "the modem cannot be written";
    Serve([] { return false; }, 50);
    // The same bytes to both terminals, each timed just after its last byte went out.
    FBareIn.clear();
    if (!WriteAll(FModem.Master, block))
      return "the modem cannot be written";
    const auto sent = TClock::now();
    if (!WriteAll(FBare.Master, block))
      return "the baseline terminal cannot be written";
    const auto bareSent = TClock::now();
    std::optional<TClock::time_point> bareAt, rowAt, ncidAt;
    const std::string ncidMark = "*NMBR*" + number + "*";
    const auto arrived = [&] {
      const auto now = TClock::now();
      if (!bareAt && FBareIn.size() >= block.size())
        bareAt = now;
      if (!rowAt && FConsoleIn.find("\t" + number + "\t") != std::string::npos)
        rowAt = now;
      if (!ncidAt && FNcidIn.find(ncidMark) != std::string::npos &&
          FNcidIn.rfind("CID:", FNcidIn.find(ncidMark)) != std::string::npos)
        ncidAt = now;
      return bareAt && rowAt && ncidAt;
    };
    if (!withName) {
      Serve(arrived, FOptions.RingSpacingMs);
      if (!WriteAll(FModem.Master, "\r\nRING\r\n"))
        return "the modem cannot be written";
    }
    if (!Serve(arrived, 10000))
      return std::string(!rowAt    ? "no console row"
                         : !ncidAt ? "no NCID line"
                                   : "no baseline") +
             " for " + number;
    figures.Baseline.push_back(Ms(bareSent, *bareAt));
    figures.Console.push_back(Ms(sent, *rowAt));
    figures.Ncid.push_back(Ms(sent, *ncidAt));
    FConsoleIn.clear();
    FNcidIn.clear();
    // The console closes and opens the line again after every call.
    if (!Serve([&] { return FOpenings > openings; }, 10000))
      return "the console did not open the line again after " + number;
    Serve([] { return false; }, FOptions.SettleMs);
    return "";
  }

  // Serves every descriptor until done() or limitMs; false when the limit passed first.
  template <typename TDone> bool Serve(TDone done, long limitMs) {
    const auto until = TClock::now() + std::chrono::milliseconds(limitMs);
    while (!done()) {
      const long left =
          std::chrono::duration_cast<std::chrono::milliseconds>(until - TClock::now()).count();
      if (left <= 0 || FGone)
        return false;
      pollfd fds[4] = {{FModem.Master, POLLIN, 0},
                       {FBare.Slave, POLLIN, 0},
                       {FConsoleOut, POLLIN, 0},
                       {FNcid, POLLIN, 0}};
      if (poll(fds, FNcid < 0 ? 3 : 4, static_cast<int>(left)) < 0 && errno != EINTR)
        return false;
      if (fds[1].revents & POLLIN)
        Drain(FBare.Slave, FBareIn);
      if (fds[2].revents & (POLLIN | POLLHUP))
        FGone = !Drain(FConsoleOut, FConsoleIn);
      if (FNcid >= 0 && (fds[3].revents & (POLLIN | POLLHUP)))
        Drain(FNcid, FNcidIn);
      if (fds[0].revents & POLLIN)
        AnswerCommands();
    }
    return true;
  }

  static bool Drain(int fd, std::string& into) {
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
      into.append(buffer, static_cast<size_t>(n));
    return n != 0;
  }

  // Every command line gets OK; the last one of a line's opening counts the opening.
  void AnswerCommands() {
    Drain(FModem.Master, FCommands);
    size_t end;
    while ((end = FCommands.find('\r')) != std::string::npos) {
      const std::string command = FCommands.substr(0, end);
      FCommands.erase(0, end + 1);
      if (command.find("AT") == std::string::npos)
        continue;
      WriteAll(FModem.Master, command == "AT+FCLASS=?" ? "\r\n0,1,8\r\n\r\nOK\r\n" : "\r\nOK\r\n");
      if (command == "AT+FCLASS=?")
        ++FOpenings;
    }
  }

  const TOptions& FOptions;
  TPty& FModem;
  TPty& FBare;
  int FConsoleOut;
  int FNcid = -1;
  bool FGone = false;
  long FOpenings = 0;
  std::string FCommands, FBareIn, FConsoleIn, FNcidIn;
};

void PrintKind(const char* title, const TKindFigures& f) {
  std::printf("caller_id_latency: %-12s %4zu calls  baseline %7.3f / %7.3f  console %8.3f / %8.3f"
              "  ncid %8.3f / %8.3f\n",
              title, f.Console.size(), Percentile(f.Baseline, 0.5), Percentile(f.Baseline, 0.99),
              Percentile(f.Console, 0.5), Percentile(f.Console, 0.99), Percentile(f.Ncid, 0.5),
              Percentile(f.Ncid, 0.99));
}

} // namespace

int main(int argc, char** argv) {
  TOptions options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr, "usage: bench_caller_id_latency [--calls N>=1] [--number-only-calls N] "
                         "[--ring-spacing MS>=50] [--settle-ms MS] [--ringlet PATH] "
                         "[--library-dir PATH]\n");
    return 2;
  }
  std::signal(SIGPIPE, SIG_IGN);
  TFolder folder;
  TPty modem, bare;
  std::error_code error;
  if (folder.Path().empty() || !modem.Open() || !bare.Open() ||
      !fs::copy_file(options.Ringlet, folder.Path() + "/ringlet", error)) {
    std::printf("caller_id_latency: FAIL: cannot prepare the folder and terminals\n");
    return 1;
  }
  std::ofstream(folder.Path() + "/telephony.ini")
      << "[Line1]\nName=Bench Modem\nDevice=" << modem.Path
      << "\nInit=AT+VCID=1\nRingTimeout=3\nCheckInterval=0\n";
  const uint16_t port = FreePort();
  setenv("RINGLET_TELEPHONY_CONFIG", (folder.Path() + "/telephony.ini").c_str(), 1);
  setenv("RINGLET_REGISTRY_FILE", (folder.Path() + "/registry").c_str(), 1);
  setenv("RINGLET_LIBRARY_PATH", options.LibraryDir.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (folder.Path() + "/config").c_str(), 1);
  setenv("XDG_DATA_HOME", (folder.Path() + "/data").c_str(), 1);
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0)
    return 1;
  const std::string program = folder.Path() + "/ringlet";
  const std::string listen = "127.0.0.1:" + std::to_string(port);
  const pid_t console = fork();
  if (console == 0) {
    dup2(out[1], 1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    if (chdir(folder.Path().c_str()) != 0)
      _exit(126);
    execl(program.c_str(), program.c_str(), "--console", "--ncid-listen", listen.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  fcntl(out[0], F_SETFL, O_NONBLOCK);
  std::printf("caller_id_latency: %ld calls with a name, %ld without, next RING %ld ms after a "
              "block without a name; figures in ms, median / 99th percentile\n",
              options.Calls, options.NumberOnlyCalls, options.RingSpacingMs);
  std::fflush(stdout);
  TKindFigures named, numberOnly;
  std::string failure;
  {
    TBench bench(options, modem, bare, out[0]);
    failure = bench.Run(port, named, numberOnly);
  }
  kill(console, SIGTERM);
  int status = 0;
  for (int i = 0; i < 100 && waitpid(console, &status, WNOHANG) == 0; ++i)
    usleep(50000);
  if (waitpid(console, &status, WNOHANG) == 0) {
    kill(console, SIGKILL);
    waitpid(console, &status, 0);
  }
  close(out[0]);
  PrintKind("with a name", named);
  if (!numberOnly.Console.empty())
    PrintKind("number only", numberOnly);
  const bool met = Percentile(named.Console, 0.5) <= 2 && Percentile(named.Console, 0.99) <= 10 &&
                   Percentile(named.Ncid, 0.5) <= 2 && Percentile(named.Ncid, 0.99) <= 10;
  std::printf("caller_id_latency: goal for blocks with a name (median <= 2 ms, 99th percentile "
              "<= 10 ms, console and NCID): %s\n",
              met ? "met" : "not met");
  if (!failure.empty()) {
    std::printf("caller_id_latency: FAIL: %s\n", failure.c_str());
    return 1;
  }
  return 0;
}
