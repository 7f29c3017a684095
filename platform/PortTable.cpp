// Port numbers to device paths: built-in defaults, overridden by the user's ports.ini.
#include "platform/PortTable.h"

#include "platform/IniFile.h"
#include "platform/Text.h"

#include <cstdlib>

namespace Platform {

namespace {

constexpr std::string_view DevicePrefix = "\\\\.\\";

} // namespace

std::string PortsFilePath() {
  if (const char* file = std::getenv("RINGLET_PORTS_FILE"); file && *file) {
    return file;
  }
  // XDG says a relative XDG_CONFIG_HOME is to be ignored.
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/') {
    return std::string(config) + "/ringlet/ports.ini";
  }
  if (const char* home = std::getenv("HOME"); home && *home) {
    return std::string(home) + "/.config/ringlet/ports.ini";
  }
  return {};
}

std::string DefaultPortDevicePath(int number) {
  if (number >= 1 && number <= 4) {
    return "/dev/ttyS" + std::to_string(number - 1);
  }
  if (number >= 5 && number <= 20) {
    return "/dev/ttyUSB" + std::to_string(number - 5);
  }
  if (number >= 21 && number <= 36) {
    return "/dev/ttyACM" + std::to_string(number - 21);
  }
  if (number >= 37 && number <= 50) {
    return "/dev/ttyS" + std::to_string(number - 33);
  }
  return {};
}

std::string PortDevicePath(int number) {
  if (number < 1 || number > MaxPortNumber) {
    return {};
  }
  const std::string file = PortsFilePath();
  if (!file.empty()) {
    for (const auto& [key, value] : ReadSection(file, "Ports")) {
      if (PortNumberFromName(Trim(key)) == number) {
        return std::string(Trim(value));
      }
    }
  }
  return DefaultPortDevicePath(number);
}

int PortNumberFromName(std::string_view name) {
  if (name.substr(0, DevicePrefix.size()) == DevicePrefix) {
    name.remove_prefix(DevicePrefix.size());
  }
  if (name.size() < 4 || name.size() > 6) {
    return 0;
  }
  for (size_t i = 0; i < 3; ++i) {
    if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) {
      return 0;
    }
  }
  if (name[3] == '0') {
    return 0;
  }
  int number = 0;
  for (char digit : name.substr(3)) {
    if (digit < '0' || digit > '9') {
      return 0;
    }
    number = number * 10 + (digit - '0');
  }
  return number <= MaxPortNumber ? number : 0;
}

std::string DevicePathFromName(std::string_view name) {
  if (const int number = PortNumberFromName(name)) {
    return PortDevicePath(number);
  }
  return std::string(name);
}

} // namespace Platform
