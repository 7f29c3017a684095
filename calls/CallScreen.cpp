// The call screen. See CallScreen.h.
#include "calls/CallScreen.h"

#include "platform/LastError.h"
#include "platform/SafeFile.h"
#include "platform/SysMessage.h"

#include <cstdlib>
#include <functional>
#include <sys/stat.h>
#include <vector>

namespace {

constexpr unsigned NewFileMode = 0600; // an address book is private
constexpr unsigned NewFolderMode = 0700;

std::string ErrorText(uint32_t Code) {
  std::string Text = Platform::SystemErrorText(Code);
  while (!Text.empty() && (Text.back() == '\n' || Text.back() == '\r'))
    Text.pop_back();
  return Text.empty() ? "error " + std::to_string(Code) : Text;
}

// Rewrites the file under its lock: Change gets the whole text ("" for a missing file) and
// returns the new one, or false to leave the file as it is.
std::string RewriteFile(const std::string& Path,
                        const std::function<bool(const std::string&, std::string&)>& Change) {
  uint32_t Code = Platform::MakeDirectories(Platform::FolderOf(Path), NewFolderMode);
  Platform::TFileLock Lock;
  if (Code == 0)
    Code = Lock.Acquire(Platform::LockFileFor(Path), Platform::flmExclusive);
  std::string Text;
  if (Code == 0) {
    Code = Platform::ReadWholeFile(Path, Text);
    if (Code == Platform::errFileNotFound)
      Code = 0;
  }
  std::string Changed;
  if (Code == 0 && Change(Text, Changed))
    Code = Platform::ReplaceFileContents(Path, Changed, NewFileMode);
  return Code == 0 ? "" : Path + ": " + ErrorText(Code);
}

// Appends Addition to the file under its lock, keeping what is there.
std::string AppendToFile(const std::string& Path, const std::string& Addition) {
  return RewriteFile(Path, [&Addition](const std::string& Text, std::string& Changed) {
    Changed = Text;
    if (!Changed.empty() && Changed.back() != '\n')
      Changed += Changed.find("\r\n") != std::string::npos ? "\r\n" : "\n";
    Changed += Addition;
    return true;
  });
}

// Text without the lines that are a rule for Number alone; Removed counts them.
std::string WithoutNumberRules(const std::string& Text, const std::string& Number,
                               const TCountryRule& Country, size_t& Removed) {
  std::string Kept;
  for (size_t At = 0; At < Text.size();) {
    const size_t End = Text.find('\n', At);
    const size_t Next = End == std::string::npos ? Text.size() : End + 1;
    const std::string Line = Text.substr(At, Next - At);
    std::vector<std::string> Ignored;
    if (TRuleList(Line, "", Country, Ignored).HasNumber(Number))
      ++Removed;
    else
      Kept += Line;
    At = Next;
  }
  return Kept;
}

} // namespace

TScreenFiles DefaultScreenFiles(const std::string& Folder) {
  std::string Base = Folder;
  if (Base.empty()) {
    // A relative XDG_CONFIG_HOME is to be ignored.
    if (const char* Xdg = std::getenv("XDG_CONFIG_HOME"); Xdg != nullptr && *Xdg == '/')
      Base = std::string(Xdg) + "/ringlet";
    else if (const char* Home = std::getenv("HOME"); Home != nullptr)
      Base = std::string(Home) + "/.config/ringlet";
    else
      Base = ".config/ringlet";
  }
  return {Base + "/contacts.vcf", Base + "/blocklist.txt", Base + "/allowlist.txt"};
}

TCallScreen::TCallScreen(TScreenFiles Files, const TCountryRule& Country)
    : FFiles(std::move(Files)), FCountry(&Country) {
  FContactsFile.Path = FFiles.Contacts;
  FBlockFile.Path = FFiles.BlockList;
  FAllowFile.Path = FFiles.AllowList;
}

bool TCallScreen::Changed(TWatched& File, std::string& Text) {
  TStamp Now;
  struct stat Info {};
  if (::stat(File.Path.c_str(), &Info) == 0) {
    Now = {true, Info.st_mtim.tv_sec, Info.st_mtim.tv_nsec, Info.st_size, Info.st_ino};
  }
  if (File.Read && Now == File.Stamp)
    return false;
  Text.clear();
  if (Now.Exists) {
    if (const uint32_t Code = Platform::ReadWholeFile(File.Path, Text); Code != 0) {
      // The stamp stays that of the last good read, so the next call tries again.
      if (!File.Failing)
        Warn({File.Path + ": " + ErrorText(Code) + "; what was read from it before is kept"});
      File.Failing = true;
      Text.clear();
      return false;
    }
  }
  File.Stamp = Now;
  File.Read = true;
  File.Failing = false;
  return true;
}

void TCallScreen::Warn(const std::vector<std::string>& Warnings) {
  for (const std::string& Warning : Warnings)
    if (OnWarning)
      OnWarning(Warning);
}

void TCallScreen::Refresh() {
  std::string Text;
  std::vector<std::string> Warnings;
  if (Changed(FContactsFile, Text))
    FContacts = TContactBook(ReadVCards(Text, FFiles.Contacts, Warnings), *FCountry);
  if (Changed(FBlockFile, Text))
    FBlock = TRuleList(Text, FFiles.BlockList, *FCountry, Warnings);
  if (Changed(FAllowFile, Text))
    FAllow = TRuleList(Text, FFiles.AllowList, *FCountry, Warnings);
  Warn(Warnings);
}

void TCallScreen::Screen(TCallRecord& Call) {
  Refresh();
  Call.Contact = Call.NumberAbsent == abNone ? FContacts.Find(Call.Number) : "";
  Call.Blocked = false;
  if (!Call.Contact.empty()) {
    Call.IDName = Call.Contact;
    return;
  }
  Call.Blocked = FBlocking && FBlock.Match(Call) != nullptr && FAllow.Match(Call) == nullptr;
}

std::string TCallScreen::AddContact(const std::string& Name, const std::string& Number) {
  if (CleanName(Name).empty())
    return "the name is empty";
  if (!PlainNumber(Number))
    return "\"" + Number + "\" is not a telephone number";
  return AppendToFile(FFiles.Contacts, ContactCard(Name, Number));
}

std::string TCallScreen::BlockNumber(const std::string& Number) {
  if (!PlainNumber(Number))
    return "\"" + Number + "\" is not a telephone number";
  Refresh();
  if (FBlock.HasNumber(Number))
    return "";
  return AppendToFile(FFiles.BlockList, Number + "\n");
}

bool TCallScreen::NumberBlocked(const std::string& Number) {
  Refresh();
  return FBlock.HasNumber(Number);
}

std::string TCallScreen::UnblockNumber(const std::string& Number, bool& Found) {
  Found = false;
  if (!PlainNumber(Number))
    return "\"" + Number + "\" is not a telephone number";
  size_t Removed = 0;
  const std::string Why =
      RewriteFile(FFiles.BlockList, [&](const std::string& Text, std::string& Changed) {
        Changed = WithoutNumberRules(Text, Number, *FCountry, Removed);
        return Removed > 0;
      });
  Found = Why.empty() && Removed > 0;
  return Why;
}
