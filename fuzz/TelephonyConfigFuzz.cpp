// TelephonyConfigFuzz: the telephony service's configuration reader on any file.
//
// Every "Line" section must come out either as a line or as one problem; a line that comes out
// has a name no other line has and what its kind needs: a modem a device, a supported rate, an
// Init that is safe to send and timings within their ranges; a SIP line a registrar host and a
// user without control bytes; a call monitor a host and a port.
#include "fuzz/FuzzSupport.h"

#include "platform/IniFile.h"
#include "telephony/TelephonyConfig.h"

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <strings.h>
#include <vector>

using namespace Telephony;

namespace {

bool IsLineSection(const std::string& section) {
  return section.size() >= 4 && strncasecmp(section.c_str(), "Line", 4) == 0;
}

void CheckLine(const TLineConfig& line) {
  static const std::set<uint32_t> rates = {300,   1200,  2400,   4800,   9600,   19200,
                                           38400, 57600, 115200, 230400, 460800, 921600};
  Fuzz::Check(IsLineSection(line.Section), "a line comes from a Line section", line.Section);
  Fuzz::Check(!line.Name.empty(), "a line has a name", line.Section);
  if (line.Kind == lkSip) {
    Fuzz::Check(!line.Sip.Host.empty() && !Fuzz::HasControl(line.Sip.Host),
                "a SIP line has a registrar host", line.Sip.Host);
    Fuzz::Check(!line.Sip.User.empty() && !Fuzz::HasControl(line.Sip.User) &&
                    !Fuzz::HasControl(line.Sip.AuthUser) && !Fuzz::HasControl(line.Sip.Password),
                "a SIP line's user and password hold no control byte", line.Sip.User);
    return;
  }
  if (line.Kind == lkCallMonitor) {
    Fuzz::Check(!line.Host.empty() && !Fuzz::HasControl(line.Host) && line.Port != 0,
                "a call monitor line has a host and a port", line.Host);
    return;
  }
  Fuzz::Check(!line.Device.empty(), "a line has a device", line.Section);
  Fuzz::Check(rates.count(line.Baud) == 1, "a line's rate is supported", std::to_string(line.Baud));
  Fuzz::Check(line.Init.empty() || IsSafeAtCommand(line.Init), "a line's Init is safe to send",
              line.Init);
  Fuzz::Check(!Fuzz::HasControl(line.Init) && line.Init.find('\t') == std::string::npos,
              "a line's Init holds no control byte", line.Init);
  Fuzz::Check(line.RingTimeoutMs > 0 && line.RingTimeoutMs <= 600000, "RingTimeout is within range",
              std::to_string(line.RingTimeoutMs));
  Fuzz::Check(line.CommandTimeoutMs > 0 && line.CommandTimeoutMs <= 60000,
              "CommandTimeout is within range", std::to_string(line.CommandTimeoutMs));
  Fuzz::Check(line.CheckIntervalMs <= 86400000, "CheckInterval is within range",
              std::to_string(line.CheckIntervalMs));
  Fuzz::Check(line.CallerIdPauseMs > 0 && line.CallerIdPauseMs <= 10000,
              "CallerIdPause is within range", std::to_string(line.CallerIdPauseMs));
  Fuzz::Check(line.EscapeGuardMs <= 5000, "EscapeGuard is within range",
              std::to_string(line.EscapeGuardMs));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = Fuzz::WriteScratchFile(
      "telephony.ini", std::string_view(reinterpret_cast<const char*>(data), size));
  std::vector<std::string> problems;
  const std::vector<TLineConfig> lines = ReadTelephonyConfig(path, problems);

  size_t sections = 0;
  for (const std::string& section : Platform::ReadSectionNames(path))
    sections += IsLineSection(section) ? 1 : 0;
  Fuzz::Check(lines.size() + problems.size() == sections,
              "every Line section is a line or a problem", std::to_string(sections));
  std::set<std::string> names;
  for (const TLineConfig& line : lines) {
    CheckLine(line);
    Fuzz::Check(names.insert(line.Name).second, "line names are unique", line.Name);
  }
  for (const std::string& problem : problems)
    Fuzz::Check(problem.find(path) == 0, "a problem names the file", problem);
  return 0;
}
