// fakemodem: a simulated caller-ID modem on a pseudo-terminal.
//
// Prints the slave device's path as the first line of standard output, then behaves as a
// Hayes modem with caller ID on that device: it answers AT commands and plays the calls that
// a --script file and then standard input describe (see --help). Data the host sends during a
// connected call is printed on standard output as "data <escaped bytes>"; everything the
// modem does is told on standard error. unplug and plug take the device away and bring a new
// one back at the --link path, as a USB modem pulled out and put back in. Exits on quit,
// vanish, SIGINT or SIGTERM.
#include "CallScript.h"
#include "HayesModem.h"
#include "Profiles.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <vector>

using namespace FakeModem;

namespace {

volatile std::sig_atomic_t GStop = 0;

void OnSignal(int) {
  GStop = 1;
}

uint64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

uint64_t GStartMs = 0;

void Log(const std::string& text) {
  uint64_t t = NowMs() - GStartMs;
  std::fprintf(stderr, "fakemodem %llu.%03llu: %s\n", static_cast<unsigned long long>(t / 1000),
               static_cast<unsigned long long>(t % 1000), text.c_str());
}

// unplug and plug: the device pulled out and put back in. Handled here, beside the
// pseudo-terminal they replace, rather than in the call script.
enum TPlugCommand { pcUnplug, pcPlug };

std::optional<TPlugCommand> ParsePlugCommand(const std::string& line) {
  std::size_t start = line.find_first_not_of(" \t");
  std::size_t end = line.find_last_not_of(" \t\r\n");
  if (start == std::string::npos)
    return std::nullopt;
  const std::string word = line.substr(start, end - start + 1);
  if (word == "unplug")
    return pcUnplug;
  if (word == "plug")
    return pcPlug;
  return std::nullopt;
}

const char* PlugHelp() {
  return R"(Unplugging (with --link the host finds the new device at the same path):
  unplug              the device is pulled out: the pseudo-terminal closes (its user
                      reads EIO), the --link is removed, the modem loses its settings
  plug                the device is put back: a new pseudo-terminal, the --link made
                      again to point at it
)";
}

void Usage(FILE* to) {
  std::fprintf(to, "%s", R"(Usage: fakemodem [OPTIONS]
A simulated caller-ID modem on a pseudo-terminal. The first line of standard output is the
device path; data the host sends while a call is connected follows as "data <bytes>" lines.

Options:
  --profile NAME        the modem to play (see Profiles below; default kind); the options
                        after it change what it sets, those before it are replaced
  --link PATH           also make PATH a symbolic link to the device (removed on exit)
  --script FILE         play the commands of FILE first, then those of standard input
  --cid-commands LIST   caller-ID commands the modem accepts, comma-separated, from
                        +VCID,#CID,%CCID,+CID (default: all four; "none" for none)
  --cid-default N       caller-ID reporting after reset: 0 off (default), 1 on, 2 raw
  --rings N             rings before a caller gives up (default 4)
  --ring-spacing MS     time from one ring to the next (default 6000)
  --answer-delay MS     from ATA to CONNECT (default 300)
  --guard MS            +++ escape guard time (default 1000)
  --demo-gap MS         quiet time between demo calls (default 4000)
  --model TEXT          the answer to AT+GMM and ATI3
  --no-voice            no voice class (+FCLASS=8 answers ERROR)
  --compact             caller ID as NMBR=x (default NMBR = x)
  --seed N              seed of the garbage command's bytes
  -h, --help            this text

The modem: echo (ATE0/ATE1), verbose or numeric results (ATV1/ATV0), quiet (ATQ), ATZ and
AT&F reset (caller ID off again), ATI0-9, AT+GMM/+GMI/+GMR/+GSN, AT+FCLASS=?/?/=n,
AT+VCID=n, AT#CID=n, AT%CCID=n, AT+CID=n (0 off, 1 formatted, 2 raw MDMF packet),
AT-STE=n, ATSn=v/ATSn? (S0 > 0 answers by itself), ATA, ATH (ATH0: on hook), ATH1 (off
hook: a ringing call is picked up; put down after 0.5 s or more the caller is cut off),
ATO, ATD (NO DIALTONE), A/ (repeat), +++ with guard time during a call.

)");
  std::fprintf(to, "%s\n", ProfileHelp().c_str());
  std::fprintf(to, "%s", CommandHelp());
  std::fprintf(to, "%s", PlugHelp());
}

bool ParseMs(const char* text, uint64_t& value) {
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text, &end, 10);
  if (errno || end == text || *end || text[0] == '-')
    return false;
  value = v;
  return true;
}

struct TOptions {
  std::string Link;
  std::string Script;
  TModemConfig Modem;
  TCall Defaults;
  uint64_t DemoGapMs = 4000;
  uint64_t Seed = 1;
};

// Returns 0 to go on, otherwise the exit status + 1.
int ParseOptions(int argc, char** argv, TOptions& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    auto number = [&](uint64_t& to) {
      const char* v = value();
      if (!v || !ParseMs(v, to)) {
        std::fprintf(stderr, "fakemodem: %s wants a number\n", a.c_str());
        return false;
      }
      return true;
    };
    uint64_t n = 0;
    if (a == "-h" || a == "--help") {
      Usage(stdout);
      return 1;
    } else if (a == "--profile") {
      const char* v = value();
      const TProfile* profile = v ? FindProfile(v) : nullptr;
      if (!profile) {
        std::fprintf(stderr, "fakemodem: --profile wants one of the profiles (see --help)\n");
        return 3;
      }
      o.Modem = profile->Modem;
      o.Defaults = profile->Call;
    } else if (a == "--link" || a == "--script" || a == "--model" || a == "--cid-commands") {
      const char* v = value();
      if (!v) {
        std::fprintf(stderr, "fakemodem: %s wants a value\n", a.c_str());
        return 3;
      }
      if (a == "--link") {
        o.Link = v;
      } else if (a == "--script") {
        o.Script = v;
      } else if (a == "--model") {
        o.Modem.Model = v;
      } else {
        o.Modem.CidCommands.clear();
        std::string list = v;
        std::size_t pos = 0;
        while (list != "none" && pos <= list.size()) {
          std::size_t comma = list.find(',', pos);
          std::string item = list.substr(pos, comma == std::string::npos ? comma : comma - pos);
          for (char& c : item)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
          if (item != "+VCID" && item != "#CID" && item != "%CCID" && item != "+CID") {
            std::fprintf(stderr, "fakemodem: unknown caller-ID command %s\n", item.c_str());
            return 3;
          }
          o.Modem.CidCommands.insert(item);
          if (comma == std::string::npos)
            break;
          pos = comma + 1;
        }
      }
    } else if (a == "--cid-default") {
      if (!number(n) || n > 2)
        return 3;
      o.Modem.CidDefault = static_cast<int>(n);
    } else if (a == "--rings") {
      if (!number(n) || n < 1 || n > 1000)
        return 3;
      o.Defaults.Rings = static_cast<int>(n);
    } else if (a == "--ring-spacing") {
      if (!number(n) || n < 1)
        return 3;
      o.Defaults.SpacingMs = n;
    } else if (a == "--answer-delay") {
      if (!number(o.Modem.AnswerDelayMs))
        return 3;
    } else if (a == "--guard") {
      if (!number(o.Modem.GuardMs))
        return 3;
    } else if (a == "--demo-gap") {
      if (!number(o.DemoGapMs))
        return 3;
    } else if (a == "--seed") {
      if (!number(o.Seed))
        return 3;
    } else if (a == "--no-voice") {
      o.Modem.Voice = false;
    } else if (a == "--compact") {
      o.Defaults.Compact = true;
    } else {
      std::fprintf(stderr, "fakemodem: unknown option %s (see --help)\n", a.c_str());
      return 3;
    }
  }
  return 0;
}

// The pseudo-terminal. The slave side is kept open here in raw mode, so that what we send
// before the host opens it is not cooked or echoed back to us by the line discipline, and so
// that the host closing and reopening the device never hangs up the master.
struct TPty {
  int Master = -1;
  int Slave = -1;
  std::string Path;

  bool Open() {
    Master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (Master < 0 || grantpt(Master) != 0 || unlockpt(Master) != 0)
      return false;
    char name[128];
    if (ptsname_r(Master, name, sizeof name) != 0)
      return false;
    Path = name;
    Slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (Slave < 0)
      return false;
    termios t{};
    if (tcgetattr(Slave, &t) == 0) {
      cfmakeraw(&t);
      tcsetattr(Slave, TCSANOW, &t);
    }
    return fcntl(Master, F_SETFL, fcntl(Master, F_GETFL) | O_NONBLOCK) == 0;
  }

  void Close() {
    if (Master >= 0)
      close(Master);
    if (Slave >= 0)
      close(Slave);
    Master = Slave = -1;
  }
};

bool MakeLink(const std::string& link, const std::string& target) {
  struct stat st {};
  if (lstat(link.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      std::fprintf(stderr, "fakemodem: %s exists and is not a link; not replaced\n", link.c_str());
      return false;
    }
    unlink(link.c_str());
  }
  if (symlink(target.c_str(), link.c_str()) != 0) {
    std::fprintf(stderr, "fakemodem: cannot link %s: %s\n", link.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

constexpr std::size_t MaxPendingOut = 1 << 20;

class TRunner {
public:
  TRunner(TOptions options, TPty& pty)
      : FOptions(std::move(options)), FPty(pty),
        FModem(FOptions.Modem, [](const std::string& s) { Log(s); }), FRandom(FOptions.Seed) {}

  void Queue(const std::string& line, const std::string& origin) {
    FQueue.push_back({line, origin});
  }
  // quit is obeyed at once, whatever is in progress.
  bool QuitRequested(const std::string& line) {
    TScriptCommand c = ParseCommand(line, FOptions.Defaults);
    return c.Kind == ckQuit;
  }

  void FromHost(const char* data, std::size_t n, uint64_t now) {
    FModem.FromHost(std::string_view(data, n), now);
  }

  // Runs what is due; false when the program should end.
  bool Step(uint64_t now) {
    FModem.Tick(now);
    while (!FQueue.empty() && now >= FBusyUntil && !FModem.CallInProgress() && !FDemo) {
      auto [line, origin] = FQueue.front();
      FQueue.pop_front();
      if (!Execute(line, origin, now))
        return false;
      FModem.Tick(now);
    }
    if (FDemo && !FModem.CallInProgress() && now >= FBusyUntil) {
      if (FDemoCallActive) {
        FDemoCallActive = false;
        FBusyUntil = now + FOptions.DemoGapMs;
      } else {
        FModem.StartCall(DemoCall(FDemoCount++, FOptions.Defaults), now);
        FDemoCallActive = true;
      }
    }
    return true;
  }

  uint64_t NextWake(uint64_t now) const {
    uint64_t next = now + 1000; // noticed signals and flags at least once a second
    if (auto t = FModem.NextTimer())
      next = std::min(next, *t);
    if (FBusyUntil > now && (!FQueue.empty() || FDemo))
      next = std::min(next, FBusyUntil);
    return next;
  }

  // Moves the modem's output to the device; false when the device is gone.
  void Flush() {
    FPending += FModem.TakeOutput();
    if (FPty.Master < 0)
      FPending.clear(); // unplugged: nobody to hear it
    if (FPending.size() > MaxPendingOut) {
      Log("host not reading: " + std::to_string(FPending.size() - MaxPendingOut) +
          " bytes dropped");
      FPending.erase(0, FPending.size() - MaxPendingOut);
    }
    while (!FPending.empty()) {
      ssize_t n = write(FPty.Master, FPending.data(), FPending.size());
      if (n > 0) {
        FPending.erase(0, static_cast<std::size_t>(n));
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        break; // full: poll tells us when there is room
      }
    }
    std::string data = FModem.TakeData();
    if (!data.empty()) {
      std::printf("data %s\n", EncodeEscapes(data).c_str());
      std::fflush(stdout);
      Log("data in: " + EncodeEscapes(data));
    }
  }

  bool WantsToWrite() const { return !FPending.empty(); }

private:
  bool Execute(const std::string& line, const std::string& origin, uint64_t now) {
    if (std::optional<TPlugCommand> plug = ParsePlugCommand(line))
      return *plug == pcUnplug ? Unplug() : Plug();
    TScriptCommand c = ParseCommand(line, FOptions.Defaults);
    switch (c.Kind) {
    case ckNone:
      return true;
    case ckInvalid:
      Log(origin + ": " + c.Error + ": " + line);
      return true;
    case ckCall:
      FModem.StartCall(c.Call, now);
      return true;
    case ckSleep:
      FBusyUntil = now + c.Number;
      return true;
    case ckGarbage: {
      std::string noise;
      for (uint64_t i = 0; i < c.Number; ++i)
        noise.push_back(static_cast<char>(NextRandom() & 0xff));
      Log("sending " + std::to_string(c.Number) + " bytes of garbage");
      FModem.SendRaw(noise);
      return true;
    }
    case ckLongLine: {
      std::string text;
      for (uint64_t i = 0; i < c.Number; ++i)
        text.push_back(static_cast<char>('A' + i % 26));
      Log("sending a line of " + std::to_string(c.Number) + " bytes");
      FModem.SendRaw(text + "\r\n");
      return true;
    }
    case ckSilent:
      FModem.SetSilent(true);
      return true;
    case ckWake:
      FModem.SetSilent(false);
      return true;
    case ckVanish:
      Flush();
      Log("vanishing: device closed");
      return false;
    case ckDemo:
      Log("demo: calls until stopped");
      FDemo = true;
      return true;
    case ckConnect:
      FModem.Connect(c.Text, now);
      return true;
    case ckData:
      FModem.SendData(c.Text);
      return true;
    case ckHangup:
      FModem.RemoteHangup();
      return true;
    case ckSay:
      Log("say: " + EncodeEscapes(c.Text));
      FModem.SendRaw(c.Text + "\r\n");
      return true;
    case ckQuit:
      Log("quit");
      return false;
    }
    return true;
  }

  // The pseudo-terminal closes as a pulled-out USB device does; the modem in it loses power.
  bool Unplug() {
    if (FPty.Master < 0) {
      Log("unplug: already unplugged");
      return true;
    }
    FPty.Close();
    FPending.clear();
    if (!FOptions.Link.empty())
      unlink(FOptions.Link.c_str());
    if (FModem.State() != csIdle)
      Log("the call in progress is lost with the device");
    FModem = THayesModem(FOptions.Modem, [](const std::string& s) { Log(s); });
    Log("unplugged: device closed" +
        (FOptions.Link.empty() ? std::string() : ", " + FOptions.Link + " removed"));
    return true;
  }

  // A new pseudo-terminal, and the link pointed at it: the same path for the host as before.
  bool Plug() {
    if (FPty.Master >= 0) {
      Log("plug: already plugged in");
      return true;
    }
    if (!FPty.Open()) {
      Log(std::string("plug: no pseudo-terminal: ") + std::strerror(errno));
      FPty.Close();
      return false;
    }
    if (!FOptions.Link.empty() && !MakeLink(FOptions.Link, FPty.Path)) {
      FPty.Close();
      return false;
    }
    Log("plugged in: modem on " + FPty.Path +
        (FOptions.Link.empty() ? "" : " (" + FOptions.Link + ")"));
    return true;
  }

  uint64_t NextRandom() {
    // xorshift64*: repeatable noise for a given --seed.
    FRandom ^= FRandom >> 12;
    FRandom ^= FRandom << 25;
    FRandom ^= FRandom >> 27;
    return (FRandom * 2685821657736338717ULL) >> 32;
  }

  TOptions FOptions;
  TPty& FPty;
  THayesModem FModem;
  std::deque<std::pair<std::string, std::string>> FQueue;
  std::string FPending;
  uint64_t FBusyUntil = 0;
  bool FDemo = false;
  bool FDemoCallActive = false;
  uint64_t FDemoCount = 0;
  uint64_t FRandom;
};

} // namespace

int main(int argc, char** argv) {
  GStartMs = NowMs();
  TOptions options;
  options.Seed = 1;
  if (int rc = ParseOptions(argc, argv, options))
    return rc - 1;
  if (options.Seed == 0)
    options.Seed = 1; // xorshift stays at zero forever

  std::vector<std::string> scriptLines;
  if (!options.Script.empty()) {
    std::ifstream in(options.Script);
    if (!in) {
      std::fprintf(stderr, "fakemodem: cannot read %s\n", options.Script.c_str());
      return 2;
    }
    for (std::string line; std::getline(in, line);)
      scriptLines.push_back(line);
  }

  TPty pty;
  if (!pty.Open()) {
    std::fprintf(stderr, "fakemodem: no pseudo-terminal: %s\n", std::strerror(errno));
    return 1;
  }
  if (!options.Link.empty() && !MakeLink(options.Link, pty.Path)) {
    pty.Close();
    return 1;
  }

  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  std::printf("%s\n", pty.Path.c_str());
  std::fflush(stdout);
  Log("modem on " + pty.Path + (options.Link.empty() ? "" : " (" + options.Link + ")"));

  TRunner runner(options, pty);
  for (std::size_t i = 0; i < scriptLines.size(); ++i)
    runner.Queue(scriptLines[i], options.Script + ":" + std::to_string(i + 1));

  bool stdinOpen = true;
  std::string stdinLine;
  bool running = true;
  while (running && !GStop) {
    uint64_t now = NowMs();
    running = runner.Step(now);
    runner.Flush();
    if (!running)
      break;
    uint64_t wake = runner.NextWake(now);
    pollfd fds[2] = {{pty.Master, POLLIN, 0}, {stdinOpen ? 0 : -1, POLLIN, 0}};
    if (runner.WantsToWrite())
      fds[0].events |= POLLOUT;
    int timeout = wake > now ? static_cast<int>(wake - now) : 0;
    int n = poll(fds, 2, timeout);
    if (n < 0 && errno != EINTR) {
      Log(std::string("poll: ") + std::strerror(errno));
      break;
    }
    now = NowMs();
    if (n > 0 && (fds[0].revents & POLLIN)) {
      char buf[4096];
      ssize_t got;
      while ((got = read(pty.Master, buf, sizeof buf)) > 0)
        runner.FromHost(buf, static_cast<std::size_t>(got), now);
    }
    if (n > 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      char buf[4096];
      ssize_t got = read(0, buf, sizeof buf);
      if (got <= 0) {
        stdinOpen = false; // the modem carries on; quit or a signal ends it
      } else {
        stdinLine.append(buf, static_cast<std::size_t>(got));
        std::size_t eol;
        while ((eol = stdinLine.find('\n')) != std::string::npos) {
          std::string line = stdinLine.substr(0, eol);
          stdinLine.erase(0, eol + 1);
          if (runner.QuitRequested(line)) {
            Log("quit");
            running = false;
            break;
          }
          runner.Queue(line, "stdin");
        }
      }
    }
  }
  if (GStop)
    Log("stopped by signal");
  pty.Close();
  if (!options.Link.empty())
    unlink(options.Link.c_str());
  return 0;
}
