// RzRegIniFile: the settings component. It keeps strings by section and key either in an INI
// file or in the per-user registry store, and hides which from its user.
//
// Contract:
// - Nothing is opened until the first ReadString/WriteString; a change of Path, PathType,
//   RegKey or RegAccess to a different value only marks the component for reopening, which
//   the next read or write carries out. Opening stores the file or key path it used in Path.
// - INI mode with an empty Path: the program's own file name with its extension (if any)
//   replaced by ".ini"; when the program's folder is not writable (an installed program),
//   ringlet/ringlet.ini under the user's configuration folder instead.
// - Registry mode with an empty Path: "\Software\Temp\" + the application title, or the
//   program's file name without folder and extension when the title is empty. The current
//   user's root is the store itself; the other roots are top-level keys named after them.
//   A section is a subkey, a key a string value in it.
// - Missing files, sections and keys read as the default; reading never creates anything.
//   A settings file (and the fall-back folder) that a write creates is private to the user
//   (0600, 0700): settings may hold secrets.
//   Values come back cut to 2048 characters. A failed INI write raises EIniFileException
//   "Unable to write to <file>"; a failed registry write ERegistryException.
// - Belongs to the thread that created it.
#pragma once

#include "common/AdExcept.h"
#include "common/OoMisc.h"

#include <cstdint>
#include <optional>
#include <set>
#include <string>

enum TRzPathType { ptIniFile, ptRegistry };

enum TRzRegKey {
  hkeyClassesRoot,
  hkeyCurrentUser,
  hkeyLocalMachine,
  hkeyUsers,
  hkeyPerformanceData,
  hkeyCurrentConfig,
  hkeyDynData
};

enum TRzRegAccessKey {
  keyQueryValue,
  keySetValue,
  keyCreateSubKey,
  keyEnumerateSubKeys,
  keyNotify,
  keyCreateLink,
  keyRead,
  keyWrite,
  keyExecute,
  keyAllAccess
};
using TRzRegAccess = std::set<TRzRegAccessKey>;

// The root handle value of a TRzRegKey (0x80000000 + its position).
uint32_t RegKeyRootValue(TRzRegKey Key);
// The access mask a set stands for: the OR of its members' masks.
uint32_t RegAccessMask(const TRzRegAccess& Access);

class EIniFileException : public Exception {
public:
  using Exception::Exception;
};

class ERegistryException : public Exception {
public:
  using Exception::Exception;
};

// The program's title as the application object holds it ("" until set).
const std::string& ApplicationTitle();
void SetApplicationTitle(const std::string& Title);

// The full file name of the running program ("" when it cannot be read).
std::string ProgramFileName();

// The INI file name for an empty Path: Program with its extension replaced by ".ini"; when
// Program's folder is not writable, <ConfigHome>/ringlet/ringlet.ini. ConfigHome empty:
// $XDG_CONFIG_HOME, else ~/.config.
std::string DefaultIniFileName(const std::string& Program,
                               const std::string& ConfigHome = std::string());
// The registry key path for an empty Path.
std::string DefaultRegistryPath(const std::string& Title, const std::string& Program);

class TRzRegIniFile : public TComponent {
public:
  explicit TRzRegIniFile(TComponent* AOwner = nullptr);

  const std::string& Path() const { return FPath; }
  void SetPath(const std::string& Value);
  TRzPathType PathType() const { return FPathType; }
  void SetPathType(TRzPathType Value);
  TRzRegKey RegKey() const { return FRegKey; }
  void SetRegKey(TRzRegKey Value);
  const TRzRegAccess& RegAccess() const { return FRegAccess; }
  void SetRegAccess(const TRzRegAccess& Value);
  std::string About() const { return "Ringlet settings store"; }
  void SetAbout(const std::string& /*Value*/) {}

  std::string ReadString(const std::string& Section, const std::string& Key,
                         const std::string& Default);
  void WriteString(const std::string& Section, const std::string& Key, const std::string& Value);

  // Whether the next read or write opens the store anew.
  bool ReopenPending() const { return FReopen; }
  // How often the store has been (re)opened.
  int OpenCount() const { return FOpenCount; }
  // The registry key path in the store, root prefix included, once opened in registry mode.
  const std::string& RegistryKeyPath() const { return FRegistryKeyPath; }

private:
  void Open();

  std::string FPath;
  TRzPathType FPathType = ptIniFile;
  TRzRegKey FRegKey = hkeyCurrentUser;
  TRzRegAccess FRegAccess{keyAllAccess};
  bool FReopen = true;
  int FOpenCount = 0;
  // What the open state refers to: the INI file name or the registry key path.
  std::optional<std::string> FIniFileName;
  std::string FRegistryKeyPath;
  uint32_t FOpenMask = 0;
  bool FMakeFolder = false; // the default moved to the user's folder, made on first write
};
