// Registry: the per-user tree of keys holding named string and integer values.
//
// Keys are addressed by paths such as "SOFTWARE\\Quillwork\\Orvo\\TAPI": components split at
// '\\', empty components ignored (so "\\Software\\Temp\\" works), names matched without
// regard to case and kept in the spelling they were created with.  The tree lives in one
// readable text file, by default $RINGLET_REGISTRY_FILE, else $XDG_CONFIG_HOME/ringlet/registry,
// else $HOME/.config/ringlet/registry.  Any number of processes may use it at once: every
// change is a read-modify-write under an exclusive lock on "<file>.lock" and replaces the
// file atomically; reads take the shared lock and never create anything.  Hand-made lines
// the store does not understand are kept where they are.
//
// Results are the error numbers of LastError.h (0 = success, the last error set on
// failure); a key or value that is not there gives errFileNotFound, a name that cannot be
// stored (control characters in a key name, an empty path where a key is needed)
// errInvalidParameter, a closed TRegistryKey errInvalidHandle.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Platform {

enum TRegValueKind { rvkNone, rvkString, rvkInteger };

class TRegistryKey;

// One registry file.  Cheap to copy: it is the file's name.
class TRegistryStore {
public:
  TRegistryStore() : FFileName(DefaultFileName()) {}
  explicit TRegistryStore(std::string fileName) : FFileName(std::move(fileName)) {}

  static std::string DefaultFileName();
  const std::string& FileName() const { return FFileName; }

  // Opens the key at `path`; with `canCreate` the key and its missing parents are created.
  // The empty path is the root, which holds keys but cannot be created or deleted.
  uint32_t OpenKey(const std::string& path, bool canCreate, TRegistryKey& key) const;
  uint32_t CreateKey(const std::string& path) const;
  bool KeyExists(const std::string& path) const;
  // Deletes the key with all its subkeys and values.
  uint32_t DeleteKey(const std::string& path) const;

private:
  std::string FFileName;
};

// An open key.  It refers to the key by path, so another process may delete it meanwhile:
// reads then find nothing and writes give errFileNotFound.
class TRegistryKey {
public:
  TRegistryKey() = default;

  bool IsOpen() const { return FOpen; }
  const std::string& Path() const { return FPath; }
  const TRegistryStore& Store() const { return FStore; }
  void Close() { FOpen = false; }
  // Whether the key is still in the file.
  bool Exists() const;

  std::optional<std::string> ReadString(const std::string& name) const;
  std::optional<uint32_t> ReadInteger(const std::string& name) const;
  TRegValueKind ValueKind(const std::string& name) const;
  bool ValueExists(const std::string& name) const { return ValueKind(name) != rvkNone; }

  // Writing replaces the value whatever its kind was.
  uint32_t WriteString(const std::string& name, const std::string& value) const;
  uint32_t WriteInteger(const std::string& name, uint32_t value) const;
  uint32_t DeleteValue(const std::string& name) const;

  // Names in the order they were first written; subkeys are the direct children only.
  std::vector<std::string> ValueNames() const;
  std::vector<std::string> SubKeyNames() const;

  uint32_t OpenSubKey(const std::string& name, bool canCreate, TRegistryKey& key) const;

private:
  friend class TRegistryStore;
  TRegistryStore FStore{std::string()};
  std::string FPath;
  bool FOpen = false;
};

} // namespace Platform
