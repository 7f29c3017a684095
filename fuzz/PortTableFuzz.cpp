// PortTableFuzz: the ports table read from any ports.ini.
//
// Every "COM n" the file names must look up to its value, trimmed (the first entry for a number
// counts), by number and by both spellings of its name; numbers the file does not name keep
// their built-in paths. A name the table takes for a port number must be the canonical
// spelling of that number.
#include "fuzz/FuzzSupport.h"

#include "platform/IniFile.h"
#include "platform/PortTable.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

using namespace Platform;

namespace {

// Enough for the small tables the fuzzer makes, few enough to stay fast.
constexpr size_t MaxLookups = 4;

std::string TablePath() {
  static const std::string path = Fuzz::ScratchFolder() + "/ports.ini";
  return path;
}

std::string Trim(std::string_view text) {
  size_t begin = 0, end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])))
    ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])))
    --end;
  return std::string(text.substr(begin, end - begin));
}

std::string Upper(std::string s) {
  for (char& c : s)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

void CheckNameOf(const std::string& name, int number) {
  Fuzz::Check(number >= 0 && number <= MaxPortNumber, "a port number is within range", name);
  if (number == 0)
    return;
  std::string bare = name;
  if (bare.rfind("\\\\.\\", 0) == 0)
    bare.erase(0, 4);
  Fuzz::Check(Upper(bare) == "COM" + std::to_string(number), "a port name is its number's spelling",
              name);
}

void CheckLookup(int number, const std::string& expected) {
  const std::string path = PortDevicePath(number);
  Fuzz::Check(path == expected, "a port looks up to its table entry", path);
  Fuzz::Check(DevicePathFromName("COM" + std::to_string(number)) == path,
              "a port's name looks up as its number", path);
  Fuzz::Check(DevicePathFromName("\\\\.\\com" + std::to_string(number)) == path,
              "a port's device name looks up as its number", path);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("RINGLET_PORTS_FILE", TablePath().c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Fuzz::WriteScratchFile("ports.ini", std::string_view(reinterpret_cast<const char*>(data), size));
  std::map<int, std::string> named; // the first entry for each number
  for (const auto& [key, value] : ReadSection(TablePath(), "Ports")) {
    const int number = PortNumberFromName(Trim(key));
    CheckNameOf(Trim(key), number);
    if (number != 0)
      named.emplace(number, Trim(value));
  }
  size_t lookups = 0;
  for (const auto& [number, value] : named)
    if (++lookups <= MaxLookups)
      CheckLookup(number, value);
  // One port of each built-in range, and one past them, unless the file names it.
  for (int number : {1, 5, 21, 37, 51})
    if (!named.count(number))
      Fuzz::Check(PortDevicePath(number) == DefaultPortDevicePath(number),
                  "a port the file does not name keeps its built-in path", std::to_string(number));
  return 0;
}
