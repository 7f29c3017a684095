// ringlet-modem: the command-line side of the telephony service.
//
//   ringlet-modem detect [options] [DEVICE...]   find modems, add them as [LineN] sections
//   ringlet-modem list                           the lines the telephony service offers
//   ringlet-modem watch                          one row per incoming call, until stopped
//
// detect writes the telephony configuration file with the INI profile store, so every other
// section, line and comment of the file stays as it was.
#include "LineWatch.h"
#include "ModemProbe.h"

#include "platform/IniFile.h"
#include "platform/Log.h"
#include "platform/SysMessage.h"
#include "telephony/TelephonyConfig.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace RingletModem;

namespace {

void Usage(std::FILE* to) {
  std::fprintf(to, "%s", R"(Usage: ringlet-modem COMMAND [OPTIONS]

Commands:
  detect [DEVICE...]  probe /dev/ttyACM*, /dev/ttyUSB*, /dev/ttyS* and the given devices
                      for AT modems and add each new one as a [LineN] section (Name,
                      Device, Baud, Init, RingTimeout) to the telephony configuration
      --no-scan       probe only the given devices
      --dry-run       report what would be added, write nothing
      --timeout MS    how long each command may take to answer (default 400)
      --baud N        line speed for probing and for the new lines (default 115200)
      -v              also report devices that did not answer
  list                the lines the telephony service offers
  watch               open every line and print one row per incoming call:
                      "dd/mm/yyyy  hh:mm:ss  number  name"; stops on Ctrl-C or SIGTERM

The configuration file is $RINGLET_TELEPHONY_CONFIG, else
$XDG_CONFIG_HOME/ringlet/telephony.ini, else ~/.config/ringlet/telephony.ini.
)");
}

std::string RealPath(const std::string& path) {
  char real[PATH_MAX];
  return realpath(path.c_str(), real) ? std::string(real) : path;
}

std::string Lower(std::string s) {
  for (char& c : s)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool MakeParentDirs(const std::string& file) {
  std::size_t slash = file.rfind('/');
  if (slash == std::string::npos || slash == 0)
    return true;
  std::string dir = file.substr(0, slash);
  for (std::size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos == dir.size() || dir[pos] == '/') {
      std::string part = dir.substr(0, pos);
      if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    }
  }
  return true;
}

std::string FreeLineSection(const std::string& path) {
  std::set<std::string> used;
  for (const auto& name : Platform::ReadSectionNames(path))
    used.insert(Lower(name));
  for (int n = 1;; ++n)
    if (!used.count("line" + std::to_string(n)))
      return "Line" + std::to_string(n);
}

struct TDetectOptions {
  bool Scan = true;
  bool DryRun = false;
  bool Verbose = false;
  uint32_t TimeoutMs = 400;
  uint32_t Baud = 115200;
  std::vector<std::string> Devices;
};

bool ParseNumber(const char* text, uint32_t& value) {
  char* end = nullptr;
  errno = 0;
  unsigned long v = std::strtoul(text, &end, 10);
  if (errno || end == text || *end || text[0] == '-' || v == 0 || v > 10000000)
    return false;
  value = static_cast<uint32_t>(v);
  return true;
}

uint32_t WriteLine(const std::string& path, const std::string& section,
                   const std::map<std::string, std::string>& keys) {
  for (const char* key : {"Name", "Device", "Baud", "Init", "RingTimeout"}) {
    auto it = keys.find(key);
    if (it == keys.end())
      continue;
    if (uint32_t err = Platform::WriteProfileString(path, section, key, it->second))
      return err;
  }
  return 0;
}

int Detect(const TDetectOptions& o) {
  const std::string path = Telephony::TelephonyConfigPath();
  std::vector<std::string> problems;
  std::map<std::string, std::string> configured; // real device path -> section
  for (const auto& line : Telephony::ReadTelephonyConfig(path, problems))
    if (line.Kind == Telephony::lkModem) // SIP and call monitor lines have no device
      configured[RealPath(line.Device)] = line.Section;
  for (const auto& p : problems)
    std::fprintf(stderr, "ringlet-modem: %s: %s\n", path.c_str(), p.c_str());

  std::vector<std::string> candidates = o.Scan ? CandidateDevices() : std::vector<std::string>{};
  std::set<std::string> explicitOnes;
  for (const auto& d : o.Devices) {
    candidates.push_back(d);
    explicitOnes.insert(d);
  }
  std::set<std::string> seen;
  int found = 0, added = 0, refused = 0;
  std::string advice; // for the first device the user's groups refuse
  for (const auto& device : candidates) {
    const std::string real = RealPath(device);
    if (!seen.insert(real).second)
      continue;
    if (auto it = configured.find(real); it != configured.end()) {
      std::printf("%s: already configured as [%s]\n", device.c_str(), it->second.c_str());
      ++found;
      continue;
    }
    TProbeResult probe = ProbeModem(device, o.Baud, o.TimeoutMs);
    if (!probe.Answered) {
      if (!probe.Advice.empty() && refused++ == 0)
        advice = probe.Advice;
      if (o.Verbose || explicitOnes.count(device))
        std::printf("%s: no modem (%s)\n", device.c_str(), probe.Error.c_str());
      continue;
    }
    ++found;
    std::string name = probe.Model.empty() ? "Modem on " + device : probe.Model;
    std::map<std::string, std::string> keys = {{"Name", name},
                                               {"Device", StableDevicePath(device)},
                                               {"Baud", std::to_string(o.Baud)},
                                               {"RingTimeout", "8"}};
    if (!probe.Init.empty() && Telephony::IsSafeAtCommand(probe.Init))
      keys["Init"] = probe.Init;
    const std::string section = FreeLineSection(path);
    std::printf("%s: \"%s\", caller ID by %s -> [%s]%s\n", device.c_str(), name.c_str(),
                probe.Init.empty() ? "the usual commands" : probe.Init.c_str(), section.c_str(),
                o.DryRun ? " (dry run)" : "");
    if (o.DryRun)
      continue;
    if (!MakeParentDirs(path)) {
      std::fprintf(stderr, "ringlet-modem: cannot create the folder of %s: %s\n", path.c_str(),
                   std::strerror(errno));
      return 1;
    }
    if (uint32_t err = WriteLine(path, section, keys)) {
      std::fprintf(stderr, "ringlet-modem: cannot write %s: %s\n", path.c_str(),
                   Platform::SystemErrorText(err).c_str());
      return 1;
    }
    configured[real] = section;
    ++added;
  }
  // Said once: a user outside dialout is refused every serial device of the scan alike.
  if (refused > 0)
    std::fprintf(stderr, "ringlet-modem: %s%s\n", advice.c_str(),
                 refused == 1 ? ""
                 : refused == 2
                     ? " (and 1 more device alike)"
                     : (" (and " + std::to_string(refused - 1) + " more devices alike)").c_str());
  if (found == 0) {
    std::printf("no modem found\n");
    return 1;
  }
  if (added > 0)
    std::printf("%d line%s added to %s\n", added, added == 1 ? "" : "s", path.c_str());
  return 0;
}

int GStopPipe[2] = {-1, -1};

void OnStopSignal(int) {
  int saved = errno;
  char c = 's';
  [[maybe_unused]] ssize_t n = write(GStopPipe[1], &c, 1);
  errno = saved;
}

int Watch() {
  if (pipe2(GStopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::perror("ringlet-modem: pipe");
    return 1;
  }
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  int rc = WatchLines(stdout, GStopPipe[0]);
  close(GStopPipe[0]);
  close(GStopPipe[1]);
  return rc;
}

} // namespace

int main(int argc, char** argv) {
  // The telephony service's reports (a configuration it cannot use) go with the tool's own.
  Platform::SetLogSink([](const std::string& Text) {
    std::fprintf(stderr, "ringlet-modem: %s\n", Text.c_str());
    std::fflush(stderr);
  });
  if (argc < 2) {
    Usage(stderr);
    return 2;
  }
  std::string command = argv[1];
  if (command == "-h" || command == "--help" || command == "help") {
    Usage(stdout);
    return 0;
  }
  if (command == "list" || command == "watch") {
    if (argc != 2) {
      std::fprintf(stderr, "ringlet-modem: %s takes no arguments\n", command.c_str());
      return 2;
    }
    return command == "list" ? ListLines(stdout) : Watch();
  }
  if (command != "detect") {
    std::fprintf(stderr, "ringlet-modem: unknown command %s (see --help)\n", command.c_str());
    return 2;
  }
  TDetectOptions o;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--no-scan") {
      o.Scan = false;
    } else if (a == "--dry-run") {
      o.DryRun = true;
    } else if (a == "-v") {
      o.Verbose = true;
    } else if (a == "--timeout" || a == "--baud") {
      if (i + 1 >= argc || !ParseNumber(argv[++i], a == "--timeout" ? o.TimeoutMs : o.Baud)) {
        std::fprintf(stderr, "ringlet-modem: %s wants a positive number\n", a.c_str());
        return 2;
      }
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "ringlet-modem: unknown option %s (see --help)\n", a.c_str());
      return 2;
    } else {
      o.Devices.push_back(a);
    }
  }
  return Detect(o);
}
