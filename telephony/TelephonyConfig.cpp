#include "telephony/TelephonyConfig.h"

#include "platform/IniFile.h"

#include <cmath>
#include <cstdlib>
#include <pwd.h>
#include <set>
#include <strings.h>
#include <unistd.h>

namespace Telephony {

namespace {

std::string EnvOrEmpty(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

std::string HomeFolder() {
  std::string home = EnvOrEmpty("HOME");
  if (!home.empty())
    return home;
  // A service started without HOME still has a password entry to fall back on.
  if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir)
    return entry->pw_dir;
  return ".";
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  const size_t length = std::char_traits<char>::length(prefix);
  return text.size() >= length && strncasecmp(text.c_str(), prefix, length) == 0;
}

std::string ValueOf(const std::vector<std::pair<std::string, std::string>>& keys, const char* key) {
  for (const auto& [name, value] : keys)
    if (strcasecmp(name.c_str(), key) == 0)
      return value;
  return {};
}

// Seconds with an optional fraction ("8", "0.25"); false for anything else or out of range.
bool ParseSeconds(const std::string& text, double maxSeconds, bool allowZero, uint32_t& ms) {
  if (text.empty())
    return false;
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0' || !std::isfinite(seconds) || seconds < 0 ||
      seconds > maxSeconds || (!allowZero && seconds == 0))
    return false;
  ms = static_cast<uint32_t>(std::lround(seconds * 1000.0));
  return allowZero || ms > 0;
}

bool ParseBaud(const std::string& text, uint32_t& baud) {
  static const std::set<uint32_t> rates = {300,   1200,  2400,   4800,   9600,   19200,
                                           38400, 57600, 115200, 230400, 460800, 921600};
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 7)
    return false;
  baud = static_cast<uint32_t>(std::stoul(text));
  return rates.count(baud) != 0;
}

// One optional timing key; an absent key keeps the default.
bool ReadTiming(const std::vector<std::pair<std::string, std::string>>& keys, const char* key,
                double maxSeconds, bool allowZero, uint32_t& ms, std::string& problem) {
  const std::string text = ValueOf(keys, key);
  if (text.empty())
    return true;
  if (ParseSeconds(text, maxSeconds, allowZero, ms))
    return true;
  problem = std::string(key) + " \"" + text + "\" is not a number of seconds";
  return false;
}

bool ReadLine(const std::string& section,
              const std::vector<std::pair<std::string, std::string>>& keys, TLineConfig& line,
              std::string& problem) {
  line.Section = section;
  line.Name = ValueOf(keys, "Name");
  if (line.Name.empty())
    line.Name = section;
  line.Device = ValueOf(keys, "Device");
  if (line.Device.empty()) {
    problem = "no Device";
    return false;
  }
  if (const std::string baud = ValueOf(keys, "Baud");
      !baud.empty() && !ParseBaud(baud, line.Baud)) {
    problem = "Baud \"" + baud + "\" is not a supported rate";
    return false;
  }
  line.Init = ValueOf(keys, "Init");
  if (!line.Init.empty() && !IsSafeAtCommand(line.Init)) {
    problem = "Init \"" + line.Init + "\" is not an AT command";
    return false;
  }
  return ReadTiming(keys, "RingTimeout", 600, false, line.RingTimeoutMs, problem) &&
         ReadTiming(keys, "CommandTimeout", 60, false, line.CommandTimeoutMs, problem) &&
         ReadTiming(keys, "CheckInterval", 86400, true, line.CheckIntervalMs, problem) &&
         ReadTiming(keys, "CallerIdPause", 10, false, line.CallerIdPauseMs, problem) &&
         ReadTiming(keys, "EscapeGuard", 5, true, line.EscapeGuardMs, problem);
}

} // namespace

std::string TelephonyConfigPath() {
  if (std::string path = EnvOrEmpty("RINGLET_TELEPHONY_CONFIG"); !path.empty())
    return path;
  // Relative XDG paths are invalid by the base-directory rules and are ignored.
  if (std::string xdg = EnvOrEmpty("XDG_CONFIG_HOME"); !xdg.empty() && xdg[0] == '/')
    return xdg + "/ringlet/telephony.ini";
  return HomeFolder() + "/.config/ringlet/telephony.ini";
}

bool IsSafeAtCommand(const std::string& text) {
  if (text.size() < 2 || text.size() > 120 || !StartsWithNoCase(text, "AT"))
    return false;
  for (unsigned char c : text)
    if (c < 0x20 || c > 0x7E)
      return false;
  return true;
}

std::vector<TLineConfig> ReadTelephonyConfig(const std::string& path,
                                             std::vector<std::string>& problems) {
  std::vector<TLineConfig> lines;
  std::set<std::string> names;
  for (const std::string& section : Platform::ReadSectionNames(path)) {
    if (!StartsWithNoCase(section, "Line"))
      continue;
    TLineConfig line;
    std::string problem;
    if (ReadLine(section, Platform::ReadSection(path, section), line, problem) &&
        !names.insert(line.Name).second)
      problem = "the name \"" + line.Name + "\" is already used by another line";
    if (!problem.empty()) {
      problems.push_back(path + " [" + section + "]: " + problem + "; line skipped");
      continue;
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

} // namespace Telephony
