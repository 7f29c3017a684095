// ModemProbe: AT probing of serial devices. See ModemProbe.h.
#include "ModemProbe.h"

#include "platform/DeviceAccess.h"
#include "platform/LastError.h"
#include "platform/SerialDevice.h"
#include "platform/SysMessage.h"
#include "telephony/CallerId.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <glob.h>
#include <unistd.h>

namespace RingletModem {

namespace {

using Telephony::TModemEvent;
using Telephony::TModemLineParser;

uint64_t NowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

// The system's text without its line end.
std::string ErrorText(uint32_t err) {
  std::string text = Platform::SystemErrorText(err);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.'))
    text.pop_back();
  return text;
}

class TProbe {
public:
  TProbe(Platform::TSerialDevice& device, uint32_t timeoutMs)
      : FDevice(device), FTimeoutMs(timeoutMs) {}

  // Sends one command; the final result (mrNone when none came in time) and the lines it
  // printed before it.
  Telephony::TModemResult Command(const std::string& command, std::vector<std::string>& info) {
    info.clear();
    FParser.Reset();
    std::string line = command + "\r";
    if (FDevice.Write(line.data(), line.size()) != static_cast<int>(line.size()))
      return Telephony::mrNone;
    const uint64_t end = NowMs() + FTimeoutMs;
    for (uint64_t now = NowMs(); now < end; now = NowMs()) {
      uint32_t events = 0;
      auto wait = FDevice.WaitEvent(Platform::seRxChar, events, static_cast<uint32_t>(end - now));
      if (wait == Platform::swGone || wait == Platform::swFailed)
        return Telephony::mrNone;
      char buf[512];
      int n;
      while ((n = FDevice.Read(buf, sizeof buf)) > 0) {
        for (const TModemEvent& e : FParser.FeedBytes(std::string_view(buf, n), NowMs())) {
          if (e.Kind == Telephony::ekOther)
            info.push_back(e.Line);
          else if (e.Kind == Telephony::ekResult)
            return e.Result;
        }
      }
    }
    return Telephony::mrNone;
  }

  // A modem left in numeric mode answers "0": accepted until ATV1 is in force.
  void SetNumeric(bool numeric) {
    Telephony::TModemParserOptions options;
    options.NumericResults = numeric;
    FParser = TModemLineParser(options);
  }

private:
  Platform::TSerialDevice& FDevice;
  uint32_t FTimeoutMs;
  TModemLineParser FParser;
};

} // namespace

TProbeResult ProbeModem(const std::string& path, uint32_t baud, uint32_t timeoutMs) {
  TProbeResult result;
  Platform::TSerialDevice device;
  if (!device.Open(path)) {
    const uint32_t err = Platform::GetLastError();
    // "Access denied" is either another program's lock or a group the user is not in.
    if (err == Platform::errAccessDenied)
      result.Advice = Platform::DeviceAccessProblem(path);
    result.Error = !result.Advice.empty()             ? "not allowed to open it"
                   : err == Platform::errAccessDenied ? "in use by another program"
                                                      : ErrorText(err);
    return result;
  }
  Platform::TLineSettings settings;
  settings.Baud = baud;
  if (!device.SetLineSettings(settings)) {
    result.Error = ErrorText(Platform::GetLastError());
    return result;
  }
  device.PurgeInput();

  TProbe probe(device, timeoutMs);
  std::vector<std::string> info;
  probe.SetNumeric(true);
  // Twice: the first AT may only wake a modem or end a half-typed line.
  if (probe.Command("AT", info) != Telephony::mrOk &&
      probe.Command("AT", info) != Telephony::mrOk) {
    result.Error = device.Gone() ? "device vanished" : "no answer to AT";
    return result;
  }
  result.Answered = true;
  probe.Command("ATE0V1", info);
  probe.SetNumeric(false);

  for (const char* ask : {"AT+GMM", "ATI3", "ATI"}) {
    if (probe.Command(ask, info) == Telephony::mrOk && !info.empty()) {
      result.Model = info.front();
      break;
    }
  }
  for (const char* cid : {"+VCID", "#CID", "%CCID", "+CID"}) {
    if (probe.Command(std::string("AT") + cid + "=?", info) == Telephony::mrOk) {
      result.Init = std::string("AT") + cid + "=1";
      break;
    }
  }
  return result;
}

std::vector<std::string> CandidateDevices() {
  std::vector<std::string> devices;
  for (const char* pattern : {"/dev/ttyACM*", "/dev/ttyUSB*", "/dev/ttyS*"}) {
    glob_t g{};
    if (glob(pattern, 0, nullptr, &g) == 0) {
      std::vector<std::string> found(g.gl_pathv, g.gl_pathv + g.gl_pathc);
      // ttyS10 after ttyS9.
      std::sort(found.begin(), found.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
      });
      devices.insert(devices.end(), found.begin(), found.end());
    }
    globfree(&g);
  }
  return devices;
}

std::string StableDevicePath(const std::string& device) {
  char real[PATH_MAX];
  if (!realpath(device.c_str(), real))
    return device;
  const std::string dir = "/dev/serial/by-id";
  DIR* d = opendir(dir.c_str());
  if (!d)
    return device;
  std::string stable = device;
  while (dirent* entry = readdir(d)) {
    std::string link = dir + "/" + entry->d_name;
    char target[PATH_MAX];
    if (entry->d_name[0] != '.' && realpath(link.c_str(), target) && std::string(target) == real) {
      stable = link;
      break;
    }
  }
  closedir(d);
  return stable;
}

} // namespace RingletModem
