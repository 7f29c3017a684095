#include "platform/IniFile.h"

#include "platform/LastError.h"
#include "platform/SafeFile.h"
#include "platform/Text.h"

#include <cerrno>
#include <string_view>
#include <sys/stat.h>

namespace Platform {

namespace {

enum TLineKind { lkBlank, lkComment, lkSection, lkBrokenSection, lkEntry, lkJunk };

struct TLineInfo {
  TLineKind Kind = lkBlank;
  std::string Name;  // section or key, blanks dropped
  std::string Value; // entries only
};

// The file as lines without their '\n'; a '\r' before it stays part of the line, so that
// writing the lines back gives the same bytes.
struct TIniText {
  std::vector<std::string> Lines;
  std::vector<TLineInfo> Info;
  bool FinalNewline = false;
  std::string Eol = "\n";
};

struct TSectionRange {
  size_t Header; // index of the "[name]" line
  size_t End;    // one past its last line: the next header or the end of the file
};

constexpr std::string_view Utf8Bom = "\xEF\xBB\xBF";

TLineInfo Classify(std::string_view raw, bool firstLine) {
  if (firstLine && raw.substr(0, Utf8Bom.size()) == Utf8Bom)
    raw.remove_prefix(Utf8Bom.size());
  TLineInfo info;
  std::string_view t = Trim(raw);
  if (t.empty())
    return info;
  if (t[0] == ';' || t[0] == '#') {
    info.Kind = lkComment;
    return info;
  }
  if (t[0] == '[') {
    size_t close = t.find(']');
    if (close == std::string_view::npos) {
      info.Kind = lkBrokenSection;
    } else {
      info.Kind = lkSection;
      info.Name = std::string(Trim(t.substr(1, close - 1)));
    }
    return info;
  }
  size_t eq = t.find('=');
  std::string_view key = eq == std::string_view::npos ? std::string_view{} : Trim(t.substr(0, eq));
  if (key.empty()) {
    info.Kind = lkJunk;
    return info;
  }
  info.Kind = lkEntry;
  info.Name = std::string(key);
  info.Value = std::string(Trim(t.substr(eq + 1)));
  return info;
}

TIniText Parse(const std::string& content) {
  TIniText text;
  size_t start = 0;
  bool eolKnown = false;
  while (start < content.size()) {
    size_t nl = content.find('\n', start);
    if (nl == std::string::npos) {
      text.Lines.push_back(content.substr(start));
      break;
    }
    text.Lines.push_back(content.substr(start, nl - start));
    if (!eolKnown) {
      eolKnown = true;
      if (!text.Lines.back().empty() && text.Lines.back().back() == '\r')
        text.Eol = "\r\n";
    }
    start = nl + 1;
  }
  text.FinalNewline = !content.empty() && content.back() == '\n';
  text.Info.reserve(text.Lines.size());
  for (size_t i = 0; i < text.Lines.size(); ++i)
    text.Info.push_back(Classify(text.Lines[i], i == 0));
  return text;
}

std::string Serialize(const TIniText& text) {
  std::string out;
  for (size_t i = 0; i < text.Lines.size(); ++i) {
    if (i > 0)
      out += '\n';
    out += text.Lines[i];
  }
  if (text.FinalNewline && !text.Lines.empty())
    out += '\n';
  return out;
}

bool IsHeader(TLineKind kind) {
  return kind == lkSection || kind == lkBrokenSection;
}

std::optional<TSectionRange> FindSection(const TIniText& text, std::string_view name,
                                         size_t from = 0) {
  for (size_t i = from; i < text.Info.size(); ++i) {
    if (text.Info[i].Kind != lkSection || !SameNameNoCase(text.Info[i].Name, name))
      continue;
    size_t end = i + 1;
    while (end < text.Info.size() && !IsHeader(text.Info[end].Kind))
      ++end;
    return TSectionRange{i, end};
  }
  return std::nullopt;
}

// Inserts a line written by us, in the file's own line-ending style.
void InsertLine(TIniText& text, size_t pos, const std::string& body) {
  const bool crlf = text.Eol == "\r\n";
  if (pos == text.Lines.size()) {
    // The old last line may have had no line break at all; it gets one now.
    if (!text.Lines.empty() && crlf && !text.FinalNewline &&
        (text.Lines.back().empty() || text.Lines.back().back() != '\r'))
      text.Lines.back() += '\r';
    text.FinalNewline = true;
  }
  std::string raw = crlf ? body + "\r" : body;
  text.Info.insert(text.Info.begin() + static_cast<std::ptrdiff_t>(pos), Classify(raw, pos == 0));
  text.Lines.insert(text.Lines.begin() + static_cast<std::ptrdiff_t>(pos), std::move(raw));
}

void EraseLines(TIniText& text, size_t first, size_t last) {
  if (last == text.Lines.size())
    text.FinalNewline = true; // the line now last was followed by a break before
  text.Lines.erase(text.Lines.begin() + static_cast<std::ptrdiff_t>(first),
                   text.Lines.begin() + static_cast<std::ptrdiff_t>(last));
  text.Info.erase(text.Info.begin() + static_cast<std::ptrdiff_t>(first),
                  text.Info.begin() + static_cast<std::ptrdiff_t>(last));
}

bool HasLineBreakOrNul(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// A section or key name as the caller gave it, without the blanks around it. A line feed is
// not taken for a blank here: a name holding one, even at an end, names nothing and is refused.
std::string_view NameOf(std::string_view raw) {
  return raw.find('\n') == std::string_view::npos ? Trim(raw) : raw;
}

bool ValidSection(std::string_view section) {
  return !section.empty() && !HasLineBreakOrNul(section) &&
         section.find(']') == std::string_view::npos;
}

bool ValidKey(std::string_view key) {
  return !key.empty() && !HasLineBreakOrNul(key) && key.find('=') == std::string_view::npos &&
         key[0] != '[' && key[0] != ';' && key[0] != '#';
}

uint32_t Result(uint32_t code) {
  if (code != errSuccess)
    SetLastError(code);
  return code;
}

// Read, edit and replace the file under the writers' lock.  `edit` returns false when it
// changed nothing, so that no write happens.  A file made anew gets newFileMode less the umask.
template <class TEdit>
uint32_t EditProfile(const std::string& file, bool createIfMissing, TEdit edit,
                     unsigned newFileMode = 0666) {
  if (file.empty())
    return Result(errInvalidParameter);
  const std::string path = ResolveLinks(file);
  struct stat st {};
  if (!createIfMissing && ::stat(path.c_str(), &st) != 0 && errno == ENOENT)
    return errSuccess; // nothing to remove, and no lock file left behind either
  TFileLock lock;
  uint32_t code = lock.Acquire(LockFileFor(path), flmExclusive);
  if (code != errSuccess)
    return Result(code);
  std::string old;
  code = ReadWholeFile(path, old);
  const bool existed = code == errSuccess;
  if (code != errSuccess && code != errFileNotFound)
    return Result(code);
  if (!existed && !createIfMissing)
    return errSuccess;
  TIniText text = Parse(old);
  if (!edit(text))
    return errSuccess;
  std::string content = Serialize(text);
  if (existed && content == old)
    return errSuccess;
  return Result(ReplaceFileContents(path, content, newFileMode));
}

// Reads the file for a lookup; false when there is nothing readable.
bool LoadForReading(const std::string& file, TIniText& text) {
  std::string content;
  if (file.empty() || ReadWholeFile(file, content) != errSuccess)
    return false;
  text = Parse(content);
  return true;
}

} // namespace

std::string GetProfileString(const std::string& file, const std::string& section,
                             const std::string& key, const std::string& defaultValue) {
  std::string result = defaultValue;
  TIniText text;
  if (LoadForReading(file, text)) {
    std::string_view wantSection = NameOf(section);
    std::string_view wantKey = NameOf(key);
    if (auto range = FindSection(text, wantSection)) {
      for (size_t i = range->Header + 1; i < range->End; ++i) {
        if (text.Info[i].Kind == lkEntry && SameNameNoCase(text.Info[i].Name, wantKey)) {
          result = text.Info[i].Value;
          break;
        }
      }
    }
  }
  if (result.size() > ProfileValueLimit)
    result.resize(ProfileValueLimit);
  return result;
}

uint32_t WriteProfileString(const std::string& file, const std::string& section,
                            const std::string& key, const std::string& value,
                            unsigned newFileMode) {
  const std::string sectionName(NameOf(section));
  const std::string keyName(NameOf(key));
  if (!ValidSection(sectionName) || !ValidKey(keyName) || HasLineBreakOrNul(value))
    return Result(errInvalidParameter);
  const auto edit = [&](TIniText& text) {
    auto range = FindSection(text, sectionName);
    if (!range) {
      if (!text.Lines.empty() && text.Info.back().Kind != lkBlank)
        InsertLine(text, text.Lines.size(), "");
      InsertLine(text, text.Lines.size(), "[" + sectionName + "]");
      InsertLine(text, text.Lines.size(), keyName + "=" + value);
      return true;
    }
    size_t insertAt = range->Header + 1;
    for (size_t i = range->Header + 1; i < range->End; ++i) {
      if (text.Info[i].Kind != lkEntry)
        continue;
      if (!SameNameNoCase(text.Info[i].Name, keyName)) {
        insertAt = i + 1;
        continue;
      }
      // Keep the line's own spelling and spacing up to the value.
      std::string& raw = text.Lines[i];
      const bool cr = !raw.empty() && raw.back() == '\r';
      size_t valueAt = raw.find('=') + 1;
      while (valueAt < raw.size() && (raw[valueAt] == ' ' || raw[valueAt] == '\t'))
        ++valueAt;
      std::string replaced = raw.substr(0, valueAt) + value + (cr ? "\r" : "");
      if (replaced == raw)
        return false;
      raw = std::move(replaced);
      text.Info[i].Value = std::string(Trim(value));
      return true;
    }
    InsertLine(text, insertAt, keyName + "=" + value);
    return true;
  };
  return EditProfile(file, true, edit, newFileMode);
}

uint32_t WriteProfileString(const std::string& file, const std::string& section,
                            const std::string& key, std::nullopt_t) {
  return DeleteProfileKey(file, section, key);
}

uint32_t WriteProfileString(const std::string& file, const std::string& section, std::nullopt_t) {
  return DeleteProfileSection(file, section);
}

uint32_t DeleteProfileKey(const std::string& file, const std::string& section,
                          const std::string& key) {
  const std::string sectionName(NameOf(section));
  const std::string keyName(NameOf(key));
  if (!ValidSection(sectionName) || !ValidKey(keyName))
    return Result(errInvalidParameter);
  return EditProfile(file, false, [&](TIniText& text) {
    auto range = FindSection(text, sectionName);
    if (!range)
      return false;
    bool changed = false;
    for (size_t i = range->End; i-- > range->Header + 1;) {
      if (text.Info[i].Kind == lkEntry && SameNameNoCase(text.Info[i].Name, keyName)) {
        EraseLines(text, i, i + 1);
        changed = true;
      }
    }
    return changed;
  });
}

uint32_t DeleteProfileSection(const std::string& file, const std::string& section) {
  const std::string sectionName(NameOf(section));
  if (!ValidSection(sectionName))
    return Result(errInvalidParameter);
  return EditProfile(file, false, [&](TIniText& text) {
    bool changed = false;
    while (auto range = FindSection(text, sectionName)) {
      EraseLines(text, range->Header, range->End);
      changed = true;
    }
    return changed;
  });
}

std::vector<std::string> ReadSectionNames(const std::string& file) {
  std::vector<std::string> names;
  TIniText text;
  if (!LoadForReading(file, text))
    return names;
  for (const TLineInfo& info : text.Info) {
    if (info.Kind != lkSection)
      continue;
    bool seen = false;
    for (const std::string& name : names)
      seen = seen || SameNameNoCase(name, info.Name);
    if (!seen)
      names.push_back(info.Name);
  }
  return names;
}

std::vector<std::pair<std::string, std::string>> ReadSection(const std::string& file,
                                                             const std::string& section) {
  std::vector<std::pair<std::string, std::string>> entries;
  TIniText text;
  if (!LoadForReading(file, text))
    return entries;
  auto range = FindSection(text, NameOf(section));
  if (!range)
    return entries;
  for (size_t i = range->Header + 1; i < range->End; ++i) {
    const TLineInfo& info = text.Info[i];
    if (info.Kind != lkEntry)
      continue;
    bool seen = false;
    for (const auto& entry : entries)
      seen = seen || SameNameNoCase(entry.first, info.Name);
    if (!seen)
      entries.emplace_back(info.Name, info.Value);
  }
  return entries;
}

} // namespace Platform
