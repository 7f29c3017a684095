#include "platform/Registry.h"

#include "platform/LastError.h"
#include "platform/SafeFile.h"
#include "platform/Text.h"

#include <cstdlib>
#include <pwd.h>
#include <string_view>
#include <unistd.h>

namespace Platform {

namespace {

// One line under a key: a value we understand, or any other line kept as it was.
struct TRegItem {
  bool IsValue = false;
  std::string Name;
  TRegValueKind Kind = rvkNone;
  std::string Text;
  uint32_t Number = 0;
  std::string Raw;
};

struct TRegKeyData {
  std::string Path; // components joined by '\\', in their created spelling; "" is the root
  std::vector<TRegItem> Items;
};

struct TRegTree {
  std::vector<std::string> Preamble; // lines before the first key
  std::vector<TRegKeyData> Keys;     // in file order
};

constexpr std::string_view IntegerTag = "integer:";
constexpr const char* FilePreamble =
    "; Ringlet registry: a [key\\path] line per key, then one line per value,\n"
    "; \"name\"=\"text\" or \"name\"=integer:N (\\\\, \\\", \\n, \\r, \\t, \\xHH escapes).";

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsControl(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7F;
}

// Splits a key path into its names; false when a name cannot be stored.
bool SplitPath(std::string_view path, std::vector<std::string>& parts) {
  parts.clear();
  size_t start = 0;
  while (start <= path.size()) {
    size_t sep = path.find('\\', start);
    if (sep == std::string_view::npos)
      sep = path.size();
    std::string_view part = path.substr(start, sep - start);
    if (!part.empty()) {
      for (char c : part)
        if (IsControl(c))
          return false;
      parts.emplace_back(part);
    }
    start = sep + 1;
  }
  return true;
}

std::string JoinPath(const std::vector<std::string>& parts, size_t count) {
  std::string path;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0)
      path += '\\';
    path += parts[i];
  }
  return path;
}

bool NormalisePath(std::string_view path, std::string& normal) {
  std::vector<std::string> parts;
  if (!SplitPath(path, parts))
    return false;
  normal = JoinPath(parts, parts.size());
  return true;
}

// True when `path` lies strictly below `ancestor` ("" is everybody's ancestor).
bool IsBelow(std::string_view path, std::string_view ancestor) {
  if (ancestor.empty())
    return !path.empty();
  return path.size() > ancestor.size() + 1 && path[ancestor.size()] == '\\' &&
         SameNameNoCase(path.substr(0, ancestor.size()), ancestor);
}

std::string Quote(std::string_view s) {
  static const char Hex[] = "0123456789ABCDEF";
  std::string out = "\"";
  for (char c : s) {
    switch (c) {
    case '\\':
      out += "\\\\";
      break;
    case '"':
      out += "\\\"";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\t':
      out += "\\t";
      break;
    default:
      if (IsControl(c)) {
        unsigned char u = static_cast<unsigned char>(c);
        out += "\\x";
        out += Hex[u >> 4];
        out += Hex[u & 0xF];
      } else {
        out += c;
      }
    }
  }
  out += '"';
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  c = Lower(c);
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  return -1;
}

// Reads a quoted string at `pos`, leaving `pos` after its closing quote.
bool Unquote(std::string_view s, size_t& pos, std::string& out) {
  out.clear();
  if (pos >= s.size() || s[pos] != '"')
    return false;
  for (++pos; pos < s.size(); ++pos) {
    char c = s[pos];
    if (c == '"') {
      ++pos;
      return true;
    }
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++pos >= s.size())
      return false;
    switch (s[pos]) {
    case '\\':
      out += '\\';
      break;
    case '"':
      out += '"';
      break;
    case 'n':
      out += '\n';
      break;
    case 'r':
      out += '\r';
      break;
    case 't':
      out += '\t';
      break;
    case 'x': {
      if (pos + 2 >= s.size())
        return false;
      int high = HexDigit(s[pos + 1]), low = HexDigit(s[pos + 2]);
      if (high < 0 || low < 0)
        return false;
      out += static_cast<char>(high * 16 + low);
      pos += 2;
      break;
    }
    default:
      return false;
    }
  }
  return false;
}

bool ParseNumber(std::string_view s, uint32_t& number) {
  if (s.empty() || s.size() > 10)
    return false;
  uint64_t value = 0;
  for (char c : s) {
    if (c < '0' || c > '9')
      return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > UINT32_MAX)
    return false;
  number = static_cast<uint32_t>(value);
  return true;
}

bool ParseValueLine(std::string_view line, TRegItem& item) {
  size_t pos = 0;
  if (!Unquote(line, pos, item.Name))
    return false;
  std::string_view rest = Trim(line.substr(pos));
  if (rest.empty() || rest[0] != '=')
    return false;
  rest = Trim(rest.substr(1));
  if (!rest.empty() && rest[0] == '"') {
    size_t at = 0;
    if (!Unquote(rest, at, item.Text) || at != rest.size())
      return false;
    item.Kind = rvkString;
  } else if (rest.substr(0, IntegerTag.size()) == IntegerTag) {
    if (!ParseNumber(Trim(rest.substr(IntegerTag.size())), item.Number))
      return false;
    item.Kind = rvkInteger;
  } else {
    return false;
  }
  item.IsValue = true;
  return true;
}

TRegKeyData* FindKey(TRegTree& tree, std::string_view path) {
  for (TRegKeyData& key : tree.Keys)
    if (SameNameNoCase(key.Path, path))
      return &key;
  return nullptr;
}

// A key exists when it has its own line or something lies below it (a hand-written file
// may name only the deepest keys).
bool KeyPresent(const TRegTree& tree, std::string_view path) {
  if (path.empty())
    return true;
  for (const TRegKeyData& key : tree.Keys)
    if (SameNameNoCase(key.Path, path) || IsBelow(key.Path, path))
      return true;
  return false;
}

TRegTree Parse(const std::string& content) {
  TRegTree tree;
  TRegKeyData* current = nullptr;
  size_t start = 0;
  while (start < content.size()) {
    size_t nl = content.find('\n', start);
    if (nl == std::string::npos)
      nl = content.size();
    std::string_view raw(content.data() + start, nl - start);
    start = nl + 1;
    std::string_view line = Trim(raw);
    std::string path;
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']' &&
        NormalisePath(line.substr(1, line.size() - 2), path)) {
      current = FindKey(tree, path);
      if (!current) {
        tree.Keys.push_back(TRegKeyData{path, {}});
        current = &tree.Keys.back();
      }
      continue;
    }
    TRegItem item;
    if (current == nullptr || line.empty() || !ParseValueLine(line, item)) {
      item = TRegItem{};
      item.Raw = std::string(raw);
    }
    if (current == nullptr)
      tree.Preamble.push_back(item.Raw);
    else
      current->Items.push_back(std::move(item));
  }
  return tree;
}

std::string Serialize(const TRegTree& tree) {
  std::string out;
  for (const std::string& line : tree.Preamble)
    out += line + "\n";
  for (const TRegKeyData& key : tree.Keys) {
    out += "[" + key.Path + "]\n";
    for (const TRegItem& item : key.Items) {
      if (!item.IsValue)
        out += item.Raw;
      else if (item.Kind == rvkInteger)
        out += Quote(item.Name) + "=" + std::string(IntegerTag) + std::to_string(item.Number);
      else
        out += Quote(item.Name) + "=" + Quote(item.Text);
      out += '\n';
    }
  }
  return out;
}

uint32_t Result(uint32_t code) {
  if (code != errSuccess)
    SetLastError(code);
  return code;
}

// Loads the tree under the shared lock; a missing or unreadable file is an empty tree.
TRegTree LoadShared(const std::string& fileName) {
  const std::string path = ResolveLinks(fileName);
  TFileLock lock;
  std::string content;
  if (lock.Acquire(LockFileFor(path), flmShared) != errSuccess ||
      ReadWholeFile(path, content) != errSuccess)
    return TRegTree{};
  return Parse(content);
}

// Read-modify-write under the exclusive lock.  `edit` returns errSuccess after a change,
// an error number to give up, or errNoMoreItems for "nothing to do".  Only creating a key
// may create the file; everything else needs a key that is there.
template <class TEdit> uint32_t Modify(const std::string& fileName, bool canCreate, TEdit edit) {
  if (fileName.empty())
    return Result(errInvalidParameter);
  const std::string path = ResolveLinks(fileName);
  if (!canCreate && ::access(path.c_str(), F_OK) != 0)
    return Result(errFileNotFound); // no file, so no key: and no folders or lock file made
  uint32_t code = MakeDirectories(FolderOf(path), 0700);
  if (code != errSuccess)
    return Result(code);
  TFileLock lock;
  code = lock.Acquire(LockFileFor(path), flmExclusive);
  if (code != errSuccess)
    return Result(code);
  std::string old;
  code = ReadWholeFile(path, old);
  if (code != errSuccess && code != errFileNotFound)
    return Result(code);
  TRegTree tree = Parse(old);
  if (code == errFileNotFound)
    tree.Preamble.push_back(FilePreamble);
  code = edit(tree);
  if (code == errNoMoreItems)
    return errSuccess;
  if (code != errSuccess)
    return Result(code);
  return Result(ReplaceFileContents(path, Serialize(tree), 0600));
}

void SeparateFromPrevious(TRegTree& tree) {
  if (!tree.Keys.empty()) {
    auto& items = tree.Keys.back().Items;
    if (!items.empty() && !items.back().IsValue && Trim(items.back().Raw).empty())
      return;
    items.push_back(TRegItem{});
    return;
  }
  if (!tree.Preamble.empty() && !Trim(tree.Preamble.back()).empty())
    tree.Preamble.push_back("");
}

// Creates the key and its missing parents; `spelled` receives the path as stored.
void CreatePath(TRegTree& tree, const std::vector<std::string>& parts, std::string& spelled,
                bool& changed) {
  spelled.clear();
  for (size_t i = 0; i < parts.size(); ++i) {
    std::string wanted = spelled.empty() ? parts[i] : spelled + "\\" + parts[i];
    if (const TRegKeyData* key = FindKey(tree, wanted)) {
      spelled = key->Path;
      continue;
    }
    SeparateFromPrevious(tree);
    tree.Keys.push_back(TRegKeyData{wanted, {}});
    spelled = wanted;
    changed = true;
  }
}

// The key's own line, made when the key so far existed only through its subkeys.
TRegKeyData* KeyForWriting(TRegTree& tree, const std::string& path) {
  if (TRegKeyData* key = FindKey(tree, path))
    return key;
  if (!KeyPresent(tree, path))
    return nullptr;
  SeparateFromPrevious(tree);
  tree.Keys.push_back(TRegKeyData{path, {}});
  return &tree.Keys.back();
}

std::optional<TRegItem> ReadItem(const std::string& fileName, const std::string& path,
                                 const std::string& name) {
  TRegTree tree = LoadShared(fileName);
  if (const TRegKeyData* key = FindKey(tree, path))
    for (const TRegItem& item : key->Items)
      if (item.IsValue && SameNameNoCase(item.Name, name))
        return item;
  return std::nullopt;
}

uint32_t WriteItem(const std::string& fileName, const std::string& path, TRegItem value) {
  return Modify(fileName, false, [&](TRegTree& tree) -> uint32_t {
    TRegKeyData* key = KeyForWriting(tree, path);
    if (key == nullptr)
      return errFileNotFound;
    size_t insertAt = 0;
    for (size_t i = 0; i < key->Items.size(); ++i) {
      TRegItem& item = key->Items[i];
      if (!item.IsValue)
        continue;
      if (SameNameNoCase(item.Name, value.Name)) {
        value.Name = item.Name; // keep the first spelling
        item = std::move(value);
        return errSuccess;
      }
      insertAt = i + 1;
    }
    key->Items.insert(key->Items.begin() + static_cast<std::ptrdiff_t>(insertAt), std::move(value));
    return errSuccess;
  });
}

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home)
    return home;
  struct passwd entry {};
  struct passwd* found = nullptr;
  char buffer[4096];
  if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found &&
      found->pw_dir)
    return found->pw_dir;
  return "/tmp";
}

} // namespace

std::string TRegistryStore::DefaultFileName() {
  if (const char* file = std::getenv("RINGLET_REGISTRY_FILE"); file && *file)
    return file;
  std::string config;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/')
    config = xdg; // relative values are to be ignored
  else
    config = HomeFolder() + "/.config";
  return config + "/ringlet/registry";
}

uint32_t TRegistryStore::OpenKey(const std::string& path, bool canCreate, TRegistryKey& key) const {
  key.Close();
  std::vector<std::string> parts;
  if (!SplitPath(path, parts))
    return Result(errInvalidParameter);
  std::string spelled = JoinPath(parts, parts.size());
  if (canCreate && !parts.empty()) {
    uint32_t code = Modify(FFileName, true, [&](TRegTree& tree) -> uint32_t {
      bool changed = false;
      CreatePath(tree, parts, spelled, changed);
      return changed ? errSuccess : errNoMoreItems;
    });
    if (code != errSuccess)
      return code;
  } else {
    TRegTree tree = LoadShared(FFileName);
    if (!KeyPresent(tree, spelled))
      return Result(errFileNotFound);
    if (const TRegKeyData* found = FindKey(tree, spelled))
      spelled = found->Path;
  }
  key.FStore = *this;
  key.FPath = spelled;
  key.FOpen = true;
  return errSuccess;
}

uint32_t TRegistryStore::CreateKey(const std::string& path) const {
  TRegistryKey key;
  return OpenKey(path, true, key);
}

bool TRegistryStore::KeyExists(const std::string& path) const {
  std::string normal;
  return NormalisePath(path, normal) && KeyPresent(LoadShared(FFileName), normal);
}

uint32_t TRegistryStore::DeleteKey(const std::string& path) const {
  std::string normal;
  if (!NormalisePath(path, normal) || normal.empty())
    return Result(errInvalidParameter);
  return Modify(FFileName, false, [&](TRegTree& tree) -> uint32_t {
    if (!KeyPresent(tree, normal))
      return errFileNotFound;
    std::erase_if(tree.Keys, [&](const TRegKeyData& key) {
      return SameNameNoCase(key.Path, normal) || IsBelow(key.Path, normal);
    });
    return errSuccess;
  });
}

bool TRegistryKey::Exists() const {
  return FOpen && KeyPresent(LoadShared(FStore.FileName()), FPath);
}

std::optional<std::string> TRegistryKey::ReadString(const std::string& name) const {
  if (!FOpen)
    return std::nullopt;
  auto item = ReadItem(FStore.FileName(), FPath, name);
  if (!item || item->Kind != rvkString)
    return std::nullopt;
  return std::move(item->Text);
}

std::optional<uint32_t> TRegistryKey::ReadInteger(const std::string& name) const {
  if (!FOpen)
    return std::nullopt;
  auto item = ReadItem(FStore.FileName(), FPath, name);
  if (!item || item->Kind != rvkInteger)
    return std::nullopt;
  return item->Number;
}

TRegValueKind TRegistryKey::ValueKind(const std::string& name) const {
  if (!FOpen)
    return rvkNone;
  auto item = ReadItem(FStore.FileName(), FPath, name);
  return item ? item->Kind : rvkNone;
}

uint32_t TRegistryKey::WriteString(const std::string& name, const std::string& value) const {
  if (!FOpen)
    return Result(errInvalidHandle);
  TRegItem item;
  item.IsValue = true;
  item.Name = name;
  item.Kind = rvkString;
  item.Text = value;
  return WriteItem(FStore.FileName(), FPath, std::move(item));
}

uint32_t TRegistryKey::WriteInteger(const std::string& name, uint32_t value) const {
  if (!FOpen)
    return Result(errInvalidHandle);
  TRegItem item;
  item.IsValue = true;
  item.Name = name;
  item.Kind = rvkInteger;
  item.Number = value;
  return WriteItem(FStore.FileName(), FPath, std::move(item));
}

uint32_t TRegistryKey::DeleteValue(const std::string& name) const {
  if (!FOpen)
    return Result(errInvalidHandle);
  return Modify(FStore.FileName(), false, [&](TRegTree& tree) -> uint32_t {
    TRegKeyData* key = FindKey(tree, FPath);
    if (key == nullptr)
      return errFileNotFound;
    size_t before = key->Items.size();
    std::erase_if(key->Items, [&](const TRegItem& item) {
      return item.IsValue && SameNameNoCase(item.Name, name);
    });
    return key->Items.size() == before ? errFileNotFound : errSuccess;
  });
}

std::vector<std::string> TRegistryKey::ValueNames() const {
  std::vector<std::string> names;
  if (!FOpen)
    return names;
  TRegTree tree = LoadShared(FStore.FileName());
  if (const TRegKeyData* key = FindKey(tree, FPath))
    for (const TRegItem& item : key->Items)
      if (item.IsValue)
        names.push_back(item.Name);
  return names;
}

std::vector<std::string> TRegistryKey::SubKeyNames() const {
  std::vector<std::string> names;
  if (!FOpen)
    return names;
  TRegTree tree = LoadShared(FStore.FileName());
  const size_t skip = FPath.empty() ? 0 : FPath.size() + 1;
  for (const TRegKeyData& key : tree.Keys) {
    if (!IsBelow(key.Path, FPath))
      continue;
    std::string_view rest = std::string_view(key.Path).substr(skip);
    std::string child(rest.substr(0, rest.find('\\')));
    bool seen = false;
    for (const std::string& name : names)
      seen = seen || SameNameNoCase(name, child);
    if (!seen)
      names.push_back(std::move(child));
  }
  return names;
}

uint32_t TRegistryKey::OpenSubKey(const std::string& name, bool canCreate,
                                  TRegistryKey& key) const {
  if (!FOpen) {
    key.Close();
    return Result(errInvalidHandle);
  }
  return FStore.OpenKey(FPath.empty() ? name : FPath + "\\" + name, canCreate, key);
}

} // namespace Platform
