// IniFileFuzz: the INI profile store reading any file, then writing one value into it.
//
// The input gives a section, a key and a value (libFuzzer's FuzzedDataProvider strings), then
// the file's bytes. Reading must give section names once each and entries once each, every
// entry readable by name with the value the section listing gives. Then the value is written:
// a section, key or value that the store refuses must be refused with the file left exactly as
// it was; anything else must read back (trimmed, as reading trims) while every other entry of
// the file reads as before; deleting the key again must leave the key unreadable and the
// others still as they were.
#include "fuzz/FuzzSupport.h"

#include "platform/IniFile.h"
#include "platform/LastError.h"
#include "platform/SafeFile.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

using namespace Platform;

namespace {

// Enough to reach every line of the small files the fuzzer makes, few enough to stay fast.
constexpr size_t MaxSections = 4;
constexpr size_t MaxLookups = 6;
const std::string Missing = "\x01missing";

constexpr std::string_view Blanks = " \t\r\v\f";

std::string Trim(std::string_view s) {
  const size_t first = s.find_first_not_of(Blanks);
  if (first == std::string_view::npos)
    return {};
  return std::string(s.substr(first, s.find_last_not_of(Blanks) - first + 1));
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  return s;
}

bool HasBreakOrNul(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// The header's rules for what can be stored faithfully.
bool Storable(const std::string& section, const std::string& key, const std::string& value) {
  const std::string s = Trim(section), k = Trim(key);
  return !s.empty() && !HasBreakOrNul(s) && s.find(']') == std::string::npos && !k.empty() &&
         !HasBreakOrNul(k) && k.find('=') == std::string::npos && k[0] != '[' && k[0] != ';' &&
         k[0] != '#' && !HasBreakOrNul(value);
}

// Every entry of the first sections, by lower-case section and key.
using TSnapshot = std::map<std::pair<std::string, std::string>, std::string>;

TSnapshot Snapshot(const std::string& path) {
  TSnapshot snapshot;
  std::vector<std::string> seen;
  size_t lookups = 0;
  for (const std::string& name : ReadSectionNames(path)) {
    Fuzz::Check(name.find('\n') == std::string::npos, "a section name holds no line break", name);
    for (const std::string& other : seen)
      Fuzz::Check(Lower(other) != Lower(name), "each section is named once", name);
    seen.push_back(name);
    if (seen.size() > MaxSections)
      continue;
    std::vector<std::string> keys;
    for (const auto& [key, value] : ReadSection(path, name)) {
      Fuzz::Check(!key.empty() && Trim(key) == key, "a key is not empty and trimmed", key);
      Fuzz::Check(key.find('=') == std::string::npos && key.find('\n') == std::string::npos,
                  "a key holds no '=' and no line break", key);
      Fuzz::Check(Trim(value) == value && value.find('\n') == std::string::npos,
                  "a value is trimmed and holds no line break", value);
      for (const std::string& other : keys)
        Fuzz::Check(Lower(other) != Lower(key), "each key of a section is listed once", key);
      keys.push_back(key);
      if (++lookups <= MaxLookups) {
        const std::string read = GetProfileString(path, name, key, Missing);
        Fuzz::Check(read == value.substr(0, ProfileValueLimit),
                    "an entry reads as the section lists it", key);
      }
      snapshot[{Lower(name), Lower(key)}] = value;
    }
  }
  return snapshot;
}

// Everything but the written entry is as before.
void CheckOthersKept(const TSnapshot& before, const TSnapshot& after,
                     const std::pair<std::string, std::string>& written) {
  for (const auto& [where, value] : before) {
    if (where == written)
      continue;
    auto it = after.find(where);
    Fuzz::Check(it != after.end(), "a write keeps the other entries", where.second);
    Fuzz::Check(it->second == value, "a write keeps the other entries' values", where.second);
  }
}

std::string FileContent(const std::string& path) {
  std::string content;
  Fuzz::Check(ReadWholeFile(path, content) == errSuccess, "the profile can be read", path);
  return content;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string section = input.ConsumeRandomLengthString(48);
  const std::string key = input.ConsumeRandomLengthString(48);
  const std::string value = input.ConsumeRandomLengthString(128);
  const std::string content = input.ConsumeRemainingBytesAsString();
  const std::string path = Fuzz::WriteScratchFile("profile.ini", content);

  const TSnapshot before = Snapshot(path);
  const uint32_t written = WriteProfileString(path, section, key, value);
  if (!Storable(section, key, value)) {
    Fuzz::Check(written == errInvalidParameter, "what cannot be stored is refused", key);
    Fuzz::Check(FileContent(path) == content, "a refused write leaves the file as it was");
    return 0;
  }
  Fuzz::Check(written == errSuccess, "a storable value is written", key);
  const std::string readBack = GetProfileString(path, section, key, Missing);
  Fuzz::Check(readBack == Trim(value), "a written value reads back", readBack);
  const std::pair<std::string, std::string> where{Lower(Trim(section)), Lower(Trim(key))};
  CheckOthersKept(before, Snapshot(path), where);

  Fuzz::Check(DeleteProfileKey(path, section, key) == errSuccess, "a written key can be deleted",
              key);
  Fuzz::Check(GetProfileString(path, section, key, Missing) == Missing,
              "a deleted key reads as the default", key);
  CheckOthersKept(before, Snapshot(path), where);
  return 0;
}
