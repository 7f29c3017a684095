#include "telephony/TelephonyConfig.h"

#include "platform/IniFile.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <set>
#include <strings.h>
#include <sys/stat.h>
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

using TKeys = std::vector<std::pair<std::string, std::string>>;

// The value as written, comments and all: for a password, where ';' is just a character.
std::string RawValueOf(const TKeys& keys, const char* key) {
  for (const auto& [name, value] : keys)
    if (strcasecmp(name.c_str(), key) == 0)
      return value;
  return {};
}

// The value without a trailing comment (a ';' after a blank), as the examples write them.
std::string ValueOf(const TKeys& keys, const char* key) {
  std::string value = RawValueOf(keys, key);
  for (size_t at = value.find(';'); at != std::string::npos; at = value.find(';', at + 1)) {
    if (at > 0 && (value[at - 1] == ' ' || value[at - 1] == '\t')) {
      value.erase(at);
      value.erase(value.find_last_not_of(" \t") + 1);
      break;
    }
  }
  return value;
}

constexpr uint32_t MinRingCycleMs = 100;

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

bool HasControl(const std::string& text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7F)
      return true;
  return false;
}

// A host name or a numeric address (IPv6 in brackets); nothing that could end a header.
bool ParseHost(const std::string& text, std::string& host) {
  if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
    host = text.substr(1, text.size() - 2);
    in6_addr address{};
    // inet_pton reads up to the first NUL: one inside would pass with bytes behind it.
    return host.find('\0') == std::string::npos && inet_pton(AF_INET6, host.c_str(), &address) == 1;
  }
  host = text;
  if (host.empty() || host.size() > 253)
    return false;
  for (char c : host)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-')
      return false;
  return true;
}

bool ParsePort(const std::string& text, bool allowZero, uint16_t& port) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const unsigned long value = std::stoul(text);
  if (value > 65535 || (!allowZero && value == 0))
    return false;
  port = static_cast<uint16_t>(value);
  return true;
}

// "sip:host[:port][;transport=udp|tcp|tls]" or "sips:...", a user part before '@' ignored.
bool ParseRegistrar(const std::string& uri, TSipAccount& account) {
  std::string rest;
  if (StartsWithNoCase(uri, "sips:")) {
    rest = uri.substr(5);
    account.Transport = stTls;
  } else if (StartsWithNoCase(uri, "sip:")) {
    rest = uri.substr(4);
    account.Transport = stUdp;
  } else {
    return false;
  }
  const bool secure = account.Transport == stTls;
  std::string params;
  if (const size_t semicolon = rest.find(';'); semicolon != std::string::npos) {
    params = rest.substr(semicolon + 1);
    rest.erase(semicolon);
  }
  if (const size_t at = rest.rfind('@'); at != std::string::npos)
    rest.erase(0, at + 1);
  std::string hostPart = rest;
  std::string portPart;
  const size_t bracket = rest.rfind(']');
  const size_t colon = rest.rfind(':');
  if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
    hostPart = rest.substr(0, colon);
    portPart = rest.substr(colon + 1);
    if (!ParsePort(portPart, false, account.Port))
      return false;
  }
  if (!ParseHost(hostPart, account.Host))
    return false;
  while (!params.empty()) {
    const size_t end = params.find(';');
    const std::string param = params.substr(0, end);
    params = end == std::string::npos ? "" : params.substr(end + 1);
    if (!StartsWithNoCase(param, "transport="))
      continue; // lr and the like mean nothing to a registration
    const std::string transport = param.substr(10);
    if (strcasecmp(transport.c_str(), "udp") == 0 && !secure)
      account.Transport = stUdp;
    else if (strcasecmp(transport.c_str(), "tcp") == 0 && !secure)
      account.Transport = stTcp;
    else if (strcasecmp(transport.c_str(), "tls") == 0)
      account.Transport = stTls;
    else
      return false;
  }
  account.Registrar = uri;
  return true;
}

bool ParsePeers(const std::string& text, std::vector<std::string>& peers) {
  std::string item;
  for (char c : text + ",") {
    if (c != ',' && c != ' ' && c != '\t') {
      item += c;
      continue;
    }
    if (item.empty())
      continue;
    in_addr v4{};
    in6_addr v6{};
    if (item.find('\0') != std::string::npos ||
        (inet_pton(AF_INET, item.c_str(), &v4) != 1 && inet_pton(AF_INET6, item.c_str(), &v6) != 1))
      return false;
    peers.push_back(item);
    item.clear();
  }
  return true;
}

// The first line of a file that only its owner may read: a password kept out of the
// configuration. The problem never quotes the file's content.
bool ReadPasswordFile(const std::string& path, std::string& password, std::string& problem) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    problem = "PasswordFile " + path + " cannot be read (" + std::strerror(errno) + ")";
    return false;
  }
  struct stat info {};
  bool ok = fstat(fd, &info) == 0;
  if (ok && !S_ISREG(info.st_mode)) {
    problem = "PasswordFile " + path + " is not a regular file";
    ok = false;
  } else if (ok && (info.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    problem = "PasswordFile " + path + " may be read by others (mode " + mode +
              "); allow its owner only: chmod 600 " + path;
    ok = false;
  }
  std::string text;
  if (ok) {
    char buffer[1024];
    ssize_t count;
    while (text.size() <= 4096 && (count = ::read(fd, buffer, sizeof buffer)) > 0)
      text.append(buffer, static_cast<size_t>(count));
  }
  ::close(fd);
  if (!ok)
    return false;
  password = text.substr(0, text.find_first_of("\r\n"));
  if (password.empty() || password.size() > 1024 || HasControl(password)) {
    problem = "PasswordFile " + path + " holds no usable password on its first line";
    return false;
  }
  return true;
}

bool ReadSipLine(const TKeys& keys, TLineConfig& line, std::string& problem) {
  TSipAccount& sip = line.Sip;
  const std::string registrar = ValueOf(keys, "Registrar");
  if (registrar.empty()) {
    problem = "no Registrar";
    return false;
  }
  if (!ParseRegistrar(registrar, sip)) {
    problem = "Registrar \"" + registrar +
              "\" is not a sip: or sips: address (sip:host[:port][;transport=udp|tcp|tls])";
    return false;
  }
  sip.User = ValueOf(keys, "User");
  sip.AuthUser = ValueOf(keys, "AuthUser");
  if (sip.AuthUser.empty())
    sip.AuthUser = sip.User;
  for (const std::string* user : {&sip.User, &sip.AuthUser}) {
    if (user->empty() || user->size() > 128 || HasControl(*user) ||
        user->find_first_of(" <>\"@:;") != std::string::npos) {
      problem =
          user == &sip.User ? "User is missing or not a user name" : "AuthUser is not a user name";
      return false;
    }
  }
  const std::string password = RawValueOf(keys, "Password");
  const std::string passwordFile = ValueOf(keys, "PasswordFile");
  if (!password.empty() && !passwordFile.empty()) {
    problem = "give Password or PasswordFile, not both";
    return false;
  }
  if (!passwordFile.empty() && !ReadPasswordFile(passwordFile, sip.Password, problem))
    return false;
  if (!password.empty()) {
    if (HasControl(password)) {
      problem = "Password holds a control character";
      return false;
    }
    sip.Password = password;
  }
  if (const std::string peers = ValueOf(keys, "TrustedPeers");
      !peers.empty() && !ParsePeers(peers, sip.TrustedPeers)) {
    problem = "TrustedPeers \"" + peers + "\" is not a list of addresses";
    return false;
  }
  uint32_t expiresMs = sip.ExpiresS * 1000;
  if (!ReadTiming(keys, "Expires", 86400, false, expiresMs, problem))
    return false;
  sip.ExpiresS = std::max<uint32_t>(expiresMs / 1000, 1);
  if (const std::string port = ValueOf(keys, "LocalPort");
      !port.empty() && !ParsePort(port, true, sip.LocalPort)) {
    problem = "LocalPort \"" + port + "\" is not a port number";
    return false;
  }
  return true;
}

bool ReadCallMonitorLine(const TKeys& keys, TLineConfig& line, std::string& problem) {
  const std::string host = ValueOf(keys, "Host");
  if (host.empty()) {
    problem = "no Host";
    return false;
  }
  if (!ParseHost(host, line.Host)) {
    problem = "Host \"" + host + "\" is not a host name or address";
    return false;
  }
  if (const std::string port = ValueOf(keys, "Port");
      !port.empty() && !ParsePort(port, false, line.Port)) {
    problem = "Port \"" + port + "\" is not a port number";
    return false;
  }
  return true;
}

bool ReadModemLine(const TKeys& keys, TLineConfig& line, std::string& problem) {
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

bool ReadLine(const std::string& section, const TKeys& keys, TLineConfig& line,
              std::string& problem) {
  line.Section = section;
  line.Name = ValueOf(keys, "Name");
  if (line.Name.empty())
    line.Name = section;
  const std::string kind = ValueOf(keys, "Kind");
  if (kind.empty() || strcasecmp(kind.c_str(), "modem") == 0)
    line.Kind = lkModem;
  else if (strcasecmp(kind.c_str(), "sip") == 0)
    line.Kind = lkSip;
  else if (strcasecmp(kind.c_str(), "callmonitor") == 0)
    line.Kind = lkCallMonitor;
  else {
    problem = "Kind \"" + kind + "\" is not modem, sip or callmonitor";
    return false;
  }
  if (line.Kind == lkModem)
    return ReadModemLine(keys, line, problem);
  if (!ReadTiming(keys, "RetryInterval", 300, false, line.RetryMs, problem) ||
      !ReadTiming(keys, "RingCycle", 60, false, line.RingCycleMs, problem))
    return false;
  if (line.RingCycleMs < MinRingCycleMs) {
    problem = "RingCycle must be at least 0.1 seconds"; // a flood of rings helps nobody
    return false;
  }
  return line.Kind == lkSip ? ReadSipLine(keys, line, problem)
                            : ReadCallMonitorLine(keys, line, problem);
}

} // namespace

const char* LineKindName(TLineKind kind) {
  return kind == lkSip ? "sip" : kind == lkCallMonitor ? "callmonitor" : "modem";
}

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
