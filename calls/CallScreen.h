// CallScreen: what is decided about a call before anyone sees it. A contact's number gets the
// contact's name; a call the block list names (and the allow list does not) is to be blocked.
//
// Contract:
// - The files are contacts.vcf, blocklist.txt and allowlist.txt in the user's configuration
//   folder ($XDG_CONFIG_HOME/ringlet, else ~/.config/ringlet); a missing file is an empty one.
// - Screen reads a file again when its modification time, size or inode changed since the
//   last read (one stat per file and call: simple, and a call is rare). Warnings (a bad card
//   or rule) go to OnWarning once per read of the file. A file that exists but cannot be read
//   keeps the rules of its last good read, is told once, and is tried again at every call
//   until a read succeeds.
// - Decision: a contact is never blocked; otherwise a call that meets a block rule and no
//   allow rule is blocked, unless blocking is off (--no-block), when it is only shown.
// - AddContact and BlockNumber add to the files and keep what is there: under the file's lock,
//   the whole text is read, the new card or line appended, and the file replaced atomically
//   (temporary file, fsync, rename). They return "" or the reason they failed.
// - UnblockNumber takes the number's own rules (a line that is this number, in any
//   formatting) out of the block list the same way; prefixes, names, comments and every other
//   line stay as they are.
// - Not thread-safe: one screen belongs to the thread of the monitors it serves.
#pragma once

#include "calls/BlockList.h"
#include "calls/CallRecord.h"
#include "calls/Contacts.h"
#include "calls/PhoneNumber.h"

#include <functional>
#include <string>
#include <sys/types.h>

struct TScreenFiles {
  std::string Contacts;
  std::string BlockList;
  std::string AllowList;
};

// The files in Folder; Folder empty: the user's configuration folder.
TScreenFiles DefaultScreenFiles(const std::string& Folder = "");

class TCallScreen {
public:
  TCallScreen(TScreenFiles Files, const TCountryRule& Country);

  const TScreenFiles& Files() const { return FFiles; }
  const TCountryRule& Country() const { return *FCountry; }
  bool Blocking() const { return FBlocking; }
  void SetBlocking(bool Value) { FBlocking = Value; }

  // Fills Contact, IDName and Blocked of Call.
  void Screen(TCallRecord& Call);

  std::string AddContact(const std::string& Name, const std::string& Number);
  std::string BlockNumber(const std::string& Number);
  // Found: whether the list had a rule of the number's own.
  std::string UnblockNumber(const std::string& Number, bool& Found);
  // Whether the block list has a rule of Number's own (what UnblockNumber would take out).
  bool NumberBlocked(const std::string& Number);

  std::function<void(const std::string&)> OnWarning;

private:
  // What a file was when last read.
  struct TStamp {
    bool Exists = false;
    long long Seconds = 0, Nanoseconds = 0, Size = 0;
    ino_t Inode = 0;
    bool operator==(const TStamp&) const = default;
  };
  struct TWatched {
    std::string Path;
    TStamp Stamp;
    bool Read = false;
    bool Failing = false; // the last read failed and was told
  };

  void Refresh();
  // The text of File when it changed since the last good read; false when it did not or
  // when it cannot be read now.
  bool Changed(TWatched& File, std::string& Text);
  void Warn(const std::vector<std::string>& Warnings);

  TScreenFiles FFiles;
  const TCountryRule* FCountry;
  bool FBlocking = true;
  TWatched FContactsFile, FBlockFile, FAllowFile;
  TContactBook FContacts;
  TRuleList FBlock, FAllow;
};
