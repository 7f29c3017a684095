// The settings component: INI file or registry store, opened lazily.
#include "app/RzRegIniFile.h"

#include "platform/IniFile.h"
#include "platform/Registry.h"
#include "platform/SafeFile.h"

#include <cstdlib>
#include <filesystem>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::string& TitleStorage() {
  static std::string Title;
  return Title;
}

constexpr uint32_t AccessMasks[] = {0x1,  0x2,     0x4,     0x8,     0x10,
                                    0x20, 0x20019, 0x20006, 0x20019, 0xF003F};
constexpr uint32_t KeyQueryValueMask = 0x1;
constexpr unsigned PrivateFolderMode = 0700;
constexpr unsigned PrivateFileMode = 0600;
constexpr uint32_t KeySetValueMask = 0x2;

const char* const RootNames[] = {
    "HKEY_CLASSES_ROOT",     "HKEY_CURRENT_USER",   "HKEY_LOCAL_MACHINE", "HKEY_USERS",
    "HKEY_PERFORMANCE_DATA", "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA"};

std::string ConfigFolder(const std::string& ConfigHome) {
  if (!ConfigHome.empty())
    return ConfigHome;
  if (const char* Xdg = std::getenv("XDG_CONFIG_HOME"); Xdg != nullptr && *Xdg != '\0')
    return Xdg;
  const char* Home = std::getenv("HOME");
  return std::string(Home != nullptr ? Home : "") + "/.config";
}

} // namespace

uint32_t RegKeyRootValue(TRzRegKey Key) {
  return 0x80000000u + static_cast<uint32_t>(Key);
}

uint32_t RegAccessMask(const TRzRegAccess& Access) {
  uint32_t Mask = 0;
  for (TRzRegAccessKey Member : Access)
    Mask |= AccessMasks[Member];
  return Mask;
}

const std::string& ApplicationTitle() {
  return TitleStorage();
}

void SetApplicationTitle(const std::string& Title) {
  TitleStorage() = Title;
}

std::string ProgramFileName() {
  std::error_code Error;
  const fs::path Self = fs::read_symlink("/proc/self/exe", Error);
  return Error ? std::string() : Self.string();
}

std::string DefaultIniFileName(const std::string& Program, const std::string& ConfigHome) {
  fs::path Ini(Program);
  Ini.replace_extension(".ini");
  const fs::path Folder = Ini.parent_path();
  // An installed program cannot write beside itself; its users keep settings at home.
  if (Program.empty() || ::access(Folder.empty() ? "." : Folder.c_str(), W_OK) != 0)
    return (fs::path(ConfigFolder(ConfigHome)) / "ringlet" / "ringlet.ini").string();
  return Ini.string();
}

std::string DefaultRegistryPath(const std::string& Title, const std::string& Program) {
  const std::string Name = !Title.empty() ? Title : fs::path(Program).stem().string();
  return "\\Software\\Temp\\" + Name;
}

TRzRegIniFile::TRzRegIniFile(TComponent* AOwner) : TComponent(AOwner) {}

void TRzRegIniFile::SetPath(const std::string& Value) {
  if (Value != FPath) {
    FPath = Value;
    FReopen = true;
  }
}

void TRzRegIniFile::SetPathType(TRzPathType Value) {
  if (Value != FPathType) {
    FPathType = Value;
    FReopen = true;
  }
}

void TRzRegIniFile::SetRegKey(TRzRegKey Value) {
  if (Value != FRegKey) {
    FRegKey = Value;
    FReopen = true;
  }
}

void TRzRegIniFile::SetRegAccess(const TRzRegAccess& Value) {
  if (Value != FRegAccess) {
    FRegAccess = Value;
    FReopen = true;
  }
}

void TRzRegIniFile::Open() {
  if (!FReopen)
    return;
  FIniFileName.reset();
  FRegistryKeyPath.clear();
  std::string Used = FPath;
  if (FPathType == ptIniFile) {
    FMakeFolder = false;
    if (Used.empty()) {
      const std::string Program = ProgramFileName();
      Used = DefaultIniFileName(Program);
      FMakeFolder = fs::path(Used).parent_path() != fs::path(Program).parent_path();
    }
    FIniFileName = Used;
  } else {
    if (Used.empty())
      Used = DefaultRegistryPath(ApplicationTitle(), ProgramFileName());
    FOpenMask = RegAccessMask(FRegAccess);
    // The store is the current user's tree; other roots live beside it under their names.
    FRegistryKeyPath =
        FRegKey == hkeyCurrentUser ? Used : std::string(RootNames[FRegKey]) + "\\" + Used;
    Platform::TRegistryStore Store;
    Platform::TRegistryKey Key;
    if ((FOpenMask & 0x4) != 0 && Store.OpenKey(FRegistryKeyPath, true, Key) != 0)
      throw ERegistryException("Failed to create key " + Used);
  }
  FPath = Used;
  FReopen = false;
  ++FOpenCount;
}

std::string TRzRegIniFile::ReadString(const std::string& Section, const std::string& Key,
                                      const std::string& Default) {
  Open();
  if (FIniFileName)
    return Platform::GetProfileString(*FIniFileName, Section, Key, Default);
  if ((FOpenMask & KeyQueryValueMask) == 0)
    return Default;
  Platform::TRegistryStore Store;
  Platform::TRegistryKey SectionKey;
  if (Store.OpenKey(FRegistryKeyPath + "\\" + Section, false, SectionKey) != 0)
    return Default;
  std::optional<std::string> Value = SectionKey.ReadString(Key);
  if (!Value)
    return Default;
  if (Value->size() > Platform::ProfileValueLimit)
    Value->resize(Platform::ProfileValueLimit);
  return *Value;
}

void TRzRegIniFile::WriteString(const std::string& Section, const std::string& Key,
                                const std::string& Value) {
  Open();
  if (FIniFileName) {
    // The per-user fall-back folder may not exist yet (one that cannot be made fails the write
    // below). Settings may hold secrets (the web page's password hash): a folder or file made
    // here is the user's alone.
    if (FMakeFolder)
      Platform::MakeDirectories(fs::path(*FIniFileName).parent_path().string(), PrivateFolderMode);
    if (Platform::WriteProfileString(*FIniFileName, Section, Key, Value, PrivateFileMode) != 0)
      throw EIniFileException("Unable to write to " + *FIniFileName);
    return;
  }
  Platform::TRegistryStore Store;
  Platform::TRegistryKey SectionKey;
  if ((FOpenMask & KeySetValueMask) == 0 ||
      Store.OpenKey(FRegistryKeyPath + "\\" + Section, (FOpenMask & 0x4) != 0, SectionKey) != 0 ||
      SectionKey.WriteString(Key, Value) != 0)
    throw ERegistryException("Failed to set data for '" + Key + "'");
}
