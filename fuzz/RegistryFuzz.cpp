// RegistryFuzz: the registry store reading any file as its tree, then writing one value into it.
//
// The input gives a value name, a text, a number and which key to write to (libFuzzer's
// FuzzedDataProvider), then the file's bytes. Walking the tree from the root, every listed
// subkey must open and exist, and every listed value must read as the kind it says it is.
// Then, in the chosen key, the text is written and must read back, the number is written over
// it and must read back, and the value is deleted and must be gone; after that every other value
// of the tree reads as before.
#include "fuzz/FuzzSupport.h"

#include "platform/LastError.h"
#include "platform/Registry.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

using namespace Platform;

namespace {

// Enough for the small trees the fuzzer makes, few enough to stay fast.
constexpr size_t MaxKeys = 6;
constexpr size_t MaxValues = 8;

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  return s;
}

struct TValue {
  TRegValueKind Kind = rvkNone;
  std::string Text;
  uint32_t Number = 0;
  bool operator==(const TValue&) const = default;
};

TValue ReadValue(const TRegistryKey& key, const std::string& name) {
  TValue v;
  v.Kind = key.ValueKind(name);
  const std::optional<std::string> text = key.ReadString(name);
  const std::optional<uint32_t> number = key.ReadInteger(name);
  Fuzz::Check(text.has_value() == (v.Kind == rvkString), "a string value reads as a string", name);
  Fuzz::Check(number.has_value() == (v.Kind == rvkInteger), "an integer value reads as one", name);
  v.Text = text.value_or("");
  v.Number = number.value_or(0);
  return v;
}

struct TTree {
  std::vector<std::string> Keys;                                // paths, the root first
  std::map<std::pair<std::string, std::string>, TValue> Values; // by lower-case path and name
};

TTree Walk(const TRegistryStore& store) {
  TTree tree;
  tree.Keys.push_back("");
  size_t values = 0;
  for (size_t i = 0; i < tree.Keys.size() && i < MaxKeys; ++i) {
    const std::string path = tree.Keys[i];
    TRegistryKey key;
    Fuzz::Check(store.OpenKey(path, false, key) == errSuccess, "a listed key opens", path);
    Fuzz::Check(key.Exists() && store.KeyExists(path), "a listed key exists", path);
    for (const std::string& name : key.ValueNames()) {
      if (++values > MaxValues)
        break;
      const TValue v = ReadValue(key, name);
      Fuzz::Check(v.Kind != rvkNone, "a listed value reads", name);
      tree.Values.emplace(std::make_pair(Lower(path), Lower(name)), v);
    }
    for (const std::string& child : key.SubKeyNames()) {
      Fuzz::Check(!child.empty() && child.find('\\') == std::string::npos &&
                      !Fuzz::HasControl(child) && child.find('\t') == std::string::npos,
                  "a subkey is one name without control bytes", child);
      tree.Keys.push_back(path.empty() ? child : path + "\\" + child);
    }
  }
  return tree;
}

void CheckOthersKept(const TTree& before, const TRegistryStore& store,
                     const std::pair<std::string, std::string>& written) {
  const TTree after = Walk(store);
  for (const auto& [where, value] : before.Values) {
    if (where == written)
      continue;
    auto it = after.Values.find(where);
    if (it != after.Values.end()) {
      Fuzz::Check(it->second == value, "a write keeps the other values", where.second);
      continue;
    }
    // Beyond the walk's bounds now (a new value came first): read it directly.
    TRegistryKey key;
    Fuzz::Check(store.OpenKey(where.first, false, key) == errSuccess, "a write keeps the keys",
                where.first);
    Fuzz::Check(ReadValue(key, where.second) == value, "a write keeps the other values",
                where.second);
  }
  Fuzz::Check(after.Keys.size() >= std::min(before.Keys.size(), MaxKeys),
              "a write keeps the other keys");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string name = input.ConsumeRandomLengthString(32);
  const std::string text = input.ConsumeRandomLengthString(64);
  const auto number = input.ConsumeIntegral<uint32_t>();
  const auto pick = input.ConsumeIntegral<uint8_t>();
  const std::string content = input.ConsumeRemainingBytesAsString();
  const TRegistryStore store(Fuzz::WriteScratchFile("registry", content));

  const TTree before = Walk(store);
  const std::string path = before.Keys[pick % std::min(before.Keys.size(), MaxKeys)];
  TRegistryKey key;
  Fuzz::Check(store.OpenKey(path, false, key) == errSuccess, "the chosen key opens", path);
  const std::pair<std::string, std::string> where{Lower(path), Lower(name)};

  Fuzz::Check(key.WriteString(name, text) == errSuccess, "a string is written", name);
  Fuzz::Check(key.ReadString(name) == text, "a written string reads back", text);
  Fuzz::Check(key.WriteInteger(name, number) == errSuccess, "an integer is written", name);
  Fuzz::Check(key.ReadInteger(name) == number, "a written integer reads back", name);
  Fuzz::Check(key.DeleteValue(name) == errSuccess, "a written value can be deleted", name);
  Fuzz::Check(!key.ValueExists(name), "a deleted value is gone", name);
  CheckOthersKept(before, store, where);
  return 0;
}
