// console_soak: many calls through fakemodem into the console front end, to show that every
// call gives its row and that the program's memory stays flat over a long run.
//
// The console runs as a user runs it (ringlet --console, from a copy in a temporary folder so
// its settings and logs are the benchmark's own) on a telephony line whose device is the
// --link of a fakemodem. Each call rings once and sends its caller ID; the next call is played
// once the console opened the line again after the call before began (the modem is asked
// AT+FCLASS=? at the end of every line opening; the console prints the row before it reopens),
// and a settle time later (--settle-ms, default 50): the shortest gap at which the monitor,
// which closes and reopens the line after each caller ID, is listening again. Calls are paced
// on fakemodem's own report, so a lost call costs one wait of at most 10 s, not the rest of
// the run. Rows are counted on the console's standard output and each must carry the number
// of a call played and not yet shown. The console's resident memory (VmRSS) is read at
// the start (line open, no call yet), in the middle and at the end.
//
// Prints calls in, rows out, calls per second and the three memory figures; prints a FAIL
// line and exits 1 when rows out differ from calls in, a row is wrong, the memory grew from
// the middle to the end by more than the larger of 1 MiB and 5 %, fakemodem or the console
// ended, or the run passed its time limit (default: one second a call plus a minute).
//
// Usage: bench_console_soak [--calls N] [--timeout-seconds S] [--ring-spacing MS]
//                           [--settle-ms MS] [--ringlet PATH] [--fakemodem PATH]
//                           [--library-dir PATH]
// The paths default to the build folder this benchmark was built in.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using TClock = std::chrono::steady_clock;

volatile std::sig_atomic_t GStop = 0;

void OnStop(int) {
  GStop = 1;
}

// A child process with pipes for the streams the benchmark uses.
class TChild {
public:
  TChild() = default;
  TChild(const TChild&) = delete;
  TChild& operator=(const TChild&) = delete;
  ~TChild() { Kill(); }

  bool Start(const std::vector<std::string>& args, const std::string& folder, bool withInput) {
    int in[2] = {-1, -1}, out[2], err[2];
    if ((withInput && pipe2(in, O_CLOEXEC) != 0) || pipe2(out, O_CLOEXEC) != 0 ||
        pipe2(err, O_CLOEXEC) != 0)
      return false;
    std::vector<char*> argv;
    for (const std::string& a : args)
      argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    FPid = fork();
    if (FPid == 0) {
      if (withInput)
        dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(err[1], 2);
      if (chdir(folder.c_str()) != 0)
        _exit(126);
      execv(argv[0], argv.data());
      _exit(127);
    }
    if (withInput)
      close(in[0]);
    close(out[1]);
    close(err[1]);
    FIn = in[1];
    FOut = out[0];
    FErr = err[0];
    fcntl(FOut, F_SETFL, O_NONBLOCK);
    fcntl(FErr, F_SETFL, O_NONBLOCK);
    return FPid > 0;
  }

  bool Send(const std::string& line) {
    const std::string text = line + "\n";
    return write(FIn, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }

  // Appends what the pipe holds; false at its end.
  static bool Drain(int fd, std::string& into) {
    char buf[8192];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
      into.append(buf, static_cast<std::size_t>(n));
    return n != 0;
  }

  // Waits up to limitMs for the child to end by itself; its exit status or -1.
  int Wait(int limitMs) {
    const auto end = TClock::now() + std::chrono::milliseconds(limitMs);
    while (FPid > 0 && TClock::now() < end) {
      int status = 0;
      if (waitpid(FPid, &status, WNOHANG) == FPid) {
        FPid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      usleep(20000);
    }
    return -1;
  }

  // How the child ended, waiting a moment for it: " (exit status N)", " (signal N)" or "".
  std::string EndText() {
    int status = 0;
    for (int i = 0; i < 50 && FPid > 0; ++i) {
      if (waitpid(FPid, &status, WNOHANG) == FPid) {
        FPid = -1;
        return WIFEXITED(status)     ? " (exit status " + std::to_string(WEXITSTATUS(status)) + ")"
               : WIFSIGNALED(status) ? " (signal " + std::to_string(WTERMSIG(status)) + ")"
                                     : "";
      }
      usleep(20000);
    }
    return "";
  }

  void Signal(int number) {
    if (FPid > 0)
      kill(FPid, number);
  }

  void Kill() {
    if (FPid > 0) {
      kill(FPid, SIGKILL);
      waitpid(FPid, nullptr, 0);
      FPid = -1;
    }
    for (int* fd : {&FIn, &FOut, &FErr}) {
      if (*fd >= 0)
        close(*fd);
      *fd = -1;
    }
  }

  pid_t Pid() const { return FPid; }
  int Out() const { return FOut; }
  int Err() const { return FErr; }

private:
  pid_t FPid = -1;
  int FIn = -1, FOut = -1, FErr = -1;
};

// VmRSS of a process in kB, 0 when it cannot be read.
long ResidentKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0)
      return std::strtol(line.c_str() + 6, nullptr, 10);
  return 0;
}

// Takes the whole lines off the front of buffer.
std::vector<std::string> TakeLines(std::string& buffer) {
  std::vector<std::string> lines;
  std::size_t eol;
  while ((eol = buffer.find('\n')) != std::string::npos) {
    lines.push_back(buffer.substr(0, eol));
    buffer.erase(0, eol + 1);
  }
  return lines;
}

// The number field of a console row "date  time<TAB>number<TAB>name".
std::string RowNumber(const std::string& row) {
  const std::size_t first = row.find('\t');
  const std::size_t second = first == std::string::npos ? first : row.find('\t', first + 1);
  return second == std::string::npos ? std::string() : row.substr(first + 1, second - first - 1);
}

constexpr long CallNumberBase = 5550000;

std::string CallNumber(long index) {
  return std::to_string(CallNumberBase + index);
}

struct TOptions {
  long Calls = 10000;
  long TimeoutSeconds = 0; // 0: one second a call plus a minute
  long RingSpacingMs = 60;
  long SettleMs = 50;
  std::string Ringlet, FakeModem, LibraryDir;
};

bool ParseOptions(int argc, char** argv, TOptions& o) {
  const fs::path build = fs::read_symlink("/proc/self/exe").parent_path().parent_path();
  o.Ringlet = build / "app/ringlet";
  o.FakeModem = build / "tools/fakemodem/fakemodem";
  o.LibraryDir = build / "telephony";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i], value = argv[i + 1];
    if (key == "--calls")
      o.Calls = std::atol(value.c_str());
    else if (key == "--timeout-seconds")
      o.TimeoutSeconds = std::atol(value.c_str());
    else if (key == "--ring-spacing")
      o.RingSpacingMs = std::atol(value.c_str());
    else if (key == "--settle-ms")
      o.SettleMs = std::atol(value.c_str());
    else if (key == "--ringlet")
      o.Ringlet = value;
    else if (key == "--fakemodem")
      o.FakeModem = value;
    else if (key == "--library-dir")
      o.LibraryDir = value;
    else
      return false;
  }
  if (argc % 2 == 0 || o.Calls < 2 || o.TimeoutSeconds < 0 || o.RingSpacingMs < 3 || o.SettleMs < 0)
    return false;
  if (o.TimeoutSeconds == 0)
    o.TimeoutSeconds = o.Calls + 60;
  return true;
}

// The benchmark's folder: the console's copy, settings, logs and the modem's link.
class TFolder {
public:
  TFolder() {
    char name[] = "/tmp/ringlet-soak-XXXXXX";
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

// What one run saw.
struct TRun {
  long Played = 0;
  long Rows = 0;
  long WrongRows = 0;
  long Openings = 0; // line openings the modem saw (AT+FCLASS=?)
  long Stalls = 0;   // calls played after waiting the longest for the line
  long RssStart = 0, RssMiddle = 0, RssEnd = 0;
  double Seconds = 0;
  bool TimedOut = false;
  std::string Ended; // why the run ended early: a program gone, a signal
  std::string ConsoleErrors;
  std::string ModemLog; // the last of fakemodem's report
};

class TSoak {
public:
  TSoak(const TOptions& options, TChild& modem, TChild& console)
      : FOptions(options), FModem(modem), FConsole(console) {}

  TRun Run() {
    const auto deadline = TClock::now() + std::chrono::seconds(FOptions.TimeoutSeconds);
    if (!WaitUntil([&] { return FReadyAfter == 0; }, deadline)) {
      FRun.TimedOut = FRun.Ended.empty();
      return FRun;
    }
    FRun.RssStart = ResidentKb(FConsole.Pid());
    const auto start = TClock::now();
    for (long i = 0; i < FOptions.Calls; ++i) {
      // The row of the call before, and the line open again after it.
      const auto callLimit = std::min(deadline, TClock::now() + std::chrono::seconds(10));
      if (!WaitUntil([&] { return FReadyAfter == i; }, callLimit)) {
        if (!FRun.Ended.empty())
          break;
        if (TClock::now() >= deadline) {
          FRun.TimedOut = true;
          break;
        }
        ++FRun.Stalls;
      }
      // The line has been open a moment before the call rings.
      WaitUntil([] { return false; },
                std::min(deadline, TClock::now() + std::chrono::milliseconds(FOptions.SettleMs)));
      if (i == FOptions.Calls / 2)
        FRun.RssMiddle = ResidentKb(FConsole.Pid());
      if (i > 0 && i % 1000 == 0) {
        std::printf("console_soak: %ld calls in, %ld rows out, %.0f s\n", i, FRun.Rows,
                    std::chrono::duration<double>(TClock::now() - start).count());
        std::fflush(stdout);
      }
      FModem.Send("call " + CallNumber(i) + " \"Soak Caller\" rings=1");
      ++FRun.Played;
    }
    const auto lastLimit = std::min(deadline, TClock::now() + std::chrono::seconds(10));
    WaitUntil([&] { return FRun.Rows >= FRun.Played; }, lastLimit);
    FRun.Seconds = std::chrono::duration<double>(TClock::now() - start).count();
    FRun.RssEnd = ResidentKb(FConsole.Pid());
    return FRun;
  }

private:
  // Serves the pipes until done(); false when the limit passed or the run had to end.
  template <typename TDone> bool WaitUntil(TDone done, TClock::time_point limit) {
    while (!done()) {
      if (GStop)
        End("interrupted by a signal");
      if (!FRun.Ended.empty())
        return false;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(limit - TClock::now()).count();
      if (left <= 0)
        return false;
      pollfd fds[4] = {{FModem.Out(), POLLIN, 0},
                       {FModem.Err(), POLLIN, 0},
                       {FConsole.Out(), POLLIN, 0},
                       {FConsole.Err(), POLLIN, 0}};
      if (poll(fds, 4, static_cast<int>(std::min<long>(left, 200))) < 0 && errno != EINTR)
        return false;
      Read();
    }
    return true;
  }

  void End(const std::string& why) {
    if (FRun.Ended.empty())
      FRun.Ended = why;
  }

  void Read() {
    std::string ignored;
    // The end of a pipe is the end of its program: nothing more can come.
    if (!TChild::Drain(FModem.Out(), ignored) || !TChild::Drain(FModem.Err(), FModemErr))
      End("fakemodem ended" + FModem.EndText());
    for (const std::string& line : TakeLines(FModemErr)) {
      // One stream, in order: a line opening after the latest call began readies the next.
      FCallsBegun += line.find(": call from ") != std::string::npos;
      if (line.find("<- AT+FCLASS=?") != std::string::npos) {
        ++FRun.Openings;
        FReadyAfter = FCallsBegun;
      }
      FRun.ModemLog += line + "\n";
    }
    if (FRun.ModemLog.size() > 8192)
      FRun.ModemLog.erase(0, FRun.ModemLog.size() - 8192);
    if (!TChild::Drain(FConsole.Out(), FRows))
      End("the console ended" + FConsole.EndText());
    for (const std::string& row : TakeLines(FRows)) {
      // A row belongs to a call played and not yet shown; a lost row does not shift the rest.
      const long index = std::atol(RowNumber(row).c_str()) - CallNumberBase;
      if (index >= FNextRow && index < FRun.Played)
        FNextRow = index + 1;
      else
        ++FRun.WrongRows;
      ++FRun.Rows;
    }
    TChild::Drain(FConsole.Err(), FRun.ConsoleErrors);
    if (FRun.ConsoleErrors.size() > 65536)
      FRun.ConsoleErrors.erase(0, FRun.ConsoleErrors.size() - 65536);
  }

  const TOptions& FOptions;
  TChild& FModem;
  TChild& FConsole;
  TRun FRun;
  std::string FModemErr;
  std::string FRows;
  long FNextRow = 0;
  long FCallsBegun = 0;
  long FReadyAfter = -1; // calls begun when the line was last opened
};

bool WriteConfig(const std::string& folder) {
  std::ofstream config(folder + "/telephony.ini");
  config << "[Line1]\nName=Soak Modem\nDevice=" << folder << "/modem\n"
         << "RingTimeout=1\nCheckInterval=0\nCallerIdPause=0.1\n";
  return static_cast<bool>(config);
}

// The modem's first line is its device: the link is there once it has been printed.
bool WaitForDevice(TChild& modem) {
  std::string out;
  const auto end = TClock::now() + std::chrono::seconds(10);
  while (out.find('\n') == std::string::npos && TClock::now() < end) {
    pollfd fd{modem.Out(), POLLIN, 0};
    poll(&fd, 1, 100);
    if (!TChild::Drain(modem.Out(), out))
      return false;
  }
  return out.find('\n') != std::string::npos;
}

// Stops the console as a user does (SIGTERM) and the modem with quit; kills what hangs.
void Stop(TChild& console, TChild& modem) {
  console.Signal(SIGTERM);
  if (console.Wait(10000) < 0)
    console.Kill();
  modem.Send("quit");
  if (modem.Wait(5000) < 0)
    modem.Kill();
}

int Report(const TRun& run, long calls) {
  std::printf("console_soak: calls in %ld, rows out %ld, %.1f s, %.2f calls/s\n", run.Played,
              run.Rows, run.Seconds, run.Seconds > 0 ? run.Rows / run.Seconds : 0.0);
  std::printf("console_soak: VmRSS start %ld kB, middle %ld kB, end %ld kB\n", run.RssStart,
              run.RssMiddle, run.RssEnd);
  std::printf("console_soak: line openings %ld, calls played after a 10 s wait %ld\n", run.Openings,
              run.Stalls);
  std::vector<std::string> failures;
  if (run.TimedOut)
    failures.push_back("the run passed its time limit");
  if (!run.Ended.empty())
    failures.push_back(run.Ended);
  if (run.Played != calls)
    failures.push_back("played " + std::to_string(run.Played) + " of " + std::to_string(calls) +
                       " calls");
  if (run.Rows != run.Played)
    failures.push_back("rows out " + std::to_string(run.Rows) + " != calls in " +
                       std::to_string(run.Played));
  if (run.WrongRows != 0)
    failures.push_back(std::to_string(run.WrongRows) + " rows without their call's number");
  const long growth = run.RssEnd - run.RssMiddle;
  if (run.RssMiddle == 0 || run.RssEnd == 0)
    failures.push_back("the console's memory could not be read");
  else if (growth > std::max(1024L, run.RssMiddle / 20))
    failures.push_back("memory grew by " + std::to_string(growth) +
                       " kB from the middle to the end");
  for (const std::string& failure : failures)
    std::printf("console_soak: FAIL: %s\n", failure.c_str());
  if (failures.empty()) {
    std::printf("console_soak: PASS\n");
    return 0;
  }
  std::fflush(stdout);
  std::fprintf(stderr, "console_soak: the console's last messages:\n%s", run.ConsoleErrors.c_str());
  std::fprintf(stderr, "console_soak: fakemodem's last messages:\n%s", run.ModemLog.c_str());
  return 1;
}

} // namespace

int main(int argc, char** argv) {
  TOptions options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr, "usage: bench_console_soak [--calls N>=2] [--timeout-seconds S] "
                         "[--ring-spacing MS] [--settle-ms MS] [--ringlet PATH] [--fakemodem PATH] "
                         "[--library-dir PATH]\n");
    return 2;
  }
  std::signal(SIGPIPE, SIG_IGN);
  // Stopped early, it still stops its programs and removes its folder.
  struct sigaction stop {};
  stop.sa_handler = OnStop;
  sigaction(SIGINT, &stop, nullptr);
  sigaction(SIGTERM, &stop, nullptr);
  TFolder folder;
  std::error_code error;
  if (folder.Path().empty() || !fs::copy_file(options.Ringlet, folder.Path() + "/ringlet", error) ||
      !WriteConfig(folder.Path())) {
    std::printf("console_soak: FAIL: cannot prepare a folder with %s: %s\n",
                options.Ringlet.c_str(), error.message().c_str());
    return 1;
  }
  setenv("RINGLET_TELEPHONY_CONFIG", (folder.Path() + "/telephony.ini").c_str(), 1);
  setenv("RINGLET_REGISTRY_FILE", (folder.Path() + "/registry").c_str(), 1);
  setenv("RINGLET_LIBRARY_PATH", options.LibraryDir.c_str(), 1);

  TChild modem, console;
  const std::string spacing = std::to_string(options.RingSpacingMs);
  if (!modem.Start({options.FakeModem, "--link", folder.Path() + "/modem", "--ring-spacing",
                    spacing, "--rings", "1"},
                   folder.Path(), true) ||
      !WaitForDevice(modem) ||
      !console.Start({folder.Path() + "/ringlet", "--console"}, folder.Path(), false)) {
    std::printf("console_soak: FAIL: cannot start fakemodem or the console\n");
    return 1;
  }
  std::printf("console_soak: %ld calls, rings every %ld ms, time limit %ld s\n", options.Calls,
              options.RingSpacingMs, options.TimeoutSeconds);
  std::fflush(stdout);
  TSoak soak(options, modem, console);
  const TRun run = soak.Run();
  Stop(console, modem);
  return Report(run, options.Calls);
}
