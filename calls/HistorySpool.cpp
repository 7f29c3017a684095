// The spool of calls waiting for the history file. See HistorySpool.h.
#include "calls/HistorySpool.h"

#include "platform/LastError.h"
#include "platform/SafeFile.h"

#include <algorithm>
#include <cerrno>
#include <functional>
#include <unistd.h>

namespace {

constexpr const char* Header = "ringlet pending calls 1";
constexpr unsigned SpoolMode = 0600;
constexpr size_t FieldCount = 13;

std::string Escape(const std::string& Text) {
  std::string Out;
  for (const char C : Text) {
    switch (C) {
    case '\\':
      Out += "\\\\";
      break;
    case '\t':
      Out += "\\t";
      break;
    case '\n':
      Out += "\\n";
      break;
    case '\r':
      Out += "\\r";
      break;
    default:
      Out += C;
    }
  }
  return Out;
}

// The fields of one line, unescaped.
std::vector<std::string> Fields(const std::string& Line) {
  std::vector<std::string> Result(1);
  for (size_t I = 0; I < Line.size(); ++I) {
    if (Line[I] == '\t') {
      Result.emplace_back();
    } else if (Line[I] == '\\' && I + 1 < Line.size()) {
      const char Next = Line[++I];
      Result.back() += Next == 't' ? '\t' : Next == 'n' ? '\n' : Next == 'r' ? '\r' : Next;
    } else {
      Result.back() += Line[I];
    }
  }
  return Result;
}

bool Number(const std::string& Text, int64_t& Value) {
  if (Text.empty() || Text.size() > 19 ||
      Text.find_first_not_of("0123456789", Text[0] == '-' ? 1 : 0) != std::string::npos ||
      Text == "-")
    return false;
  Value = std::stoll(Text);
  return true;
}

TAbsence Reason(const std::string& Word) {
  for (TAbsence Absence : {abWithheld, abOutOfArea, abUnavailable})
    if (Word == AbsenceWord(Absence))
      return Absence;
  return abNone;
}

// Reads the spool, lets Change edit its calls and writes the result (or removes the file
// when none are left), all under the spool's lock.
uint32_t ChangeSpool(const std::string& Spool,
                     const std::function<void(std::vector<THistoryCall>&)>& Change) {
  Platform::TFileLock Lock;
  const std::string Folder = Platform::FolderOf(Spool);
  uint32_t Code = Platform::MakeDirectories(Folder, 0700);
  // A folder that cannot be written is told as such, not as the lock file it lacks.
  if (Code == 0 && ::access(Folder.c_str(), W_OK) != 0)
    Code = Platform::ErrorFromErrno(errno);
  if (Code == 0)
    Code = Lock.Acquire(Platform::LockFileFor(Spool), Platform::flmExclusive);
  std::vector<THistoryCall> Calls;
  if (Code == 0)
    Code = ReadSpool(Spool, Calls);
  if (Code != 0)
    return Code;
  Change(Calls);
  if (!Calls.empty())
    return Platform::ReplaceFileContents(Spool, SpoolText(Calls), SpoolMode);
  if (::unlink(Spool.c_str()) != 0 && errno != ENOENT)
    return Platform::ErrorFromErrno(errno);
  return 0;
}

} // namespace

std::string SpoolFile(const std::string& HistoryPath) {
  return HistoryPath + ".pending";
}

std::string SpoolText(const std::vector<THistoryCall>& Calls) {
  std::string Text = std::string(Header) + "\n";
  for (const THistoryCall& Item : Calls) {
    const TCallRecord& C = Item.Call;
    const std::string Values[FieldCount] = {Item.Token,
                                            std::to_string(Item.Arrival),
                                            std::to_string(static_cast<int64_t>(C.Moment)),
                                            C.Line,
                                            C.Time,
                                            C.ID,
                                            C.IDName,
                                            C.Number,
                                            C.Name,
                                            AbsenceWord(C.NumberAbsent),
                                            AbsenceWord(C.NameAbsent),
                                            C.Contact,
                                            C.Blocked ? "1" : "0"};
    for (size_t I = 0; I < FieldCount; ++I)
      Text += (I == 0 ? "" : "\t") + Escape(Values[I]);
    Text += "\n";
  }
  return Text;
}

std::vector<THistoryCall> ParseSpool(const std::string& Text) {
  std::vector<THistoryCall> Calls;
  size_t Start = Text.find('\n');
  if (Text.compare(0, Start, Header) != 0)
    return Calls;
  while (Start != std::string::npos && Start + 1 < Text.size()) {
    const size_t End = Text.find('\n', Start + 1);
    const std::string Line =
        Text.substr(Start + 1, End == std::string::npos ? End : End - Start - 1);
    Start = End;
    const std::vector<std::string> F = Fields(Line);
    THistoryCall Item;
    int64_t Moment = 0;
    if (F.size() != FieldCount || F[0].empty() || !Number(F[1], Item.Arrival) ||
        !Number(F[2], Moment))
      continue;
    Item.Token = F[0];
    TCallRecord& C = Item.Call;
    C.Moment = static_cast<std::time_t>(Moment);
    C.Line = F[3];
    C.Time = F[4];
    C.ID = F[5];
    C.IDName = F[6];
    C.Number = F[7];
    C.Name = F[8];
    C.NumberAbsent = Reason(F[9]);
    C.NameAbsent = Reason(F[10]);
    C.Contact = F[11];
    C.Blocked = F[12] == "1";
    Calls.push_back(std::move(Item));
  }
  return Calls;
}

uint32_t ReadSpool(const std::string& Spool, std::vector<THistoryCall>& Calls) {
  std::string Text;
  const uint32_t Code = Platform::ReadWholeFile(Spool, Text);
  Calls.clear();
  if (Code == Platform::errFileNotFound || Code == Platform::errPathNotFound)
    return 0;
  if (Code == 0)
    Calls = ParseSpool(Text);
  return Code;
}

uint32_t UpdateSpool(const std::string& Spool, const std::vector<std::string>& Remove,
                     const std::vector<THistoryCall>& Add) {
  return ChangeSpool(Spool, [&](std::vector<THistoryCall>& Kept) {
    std::erase_if(Kept, [&Remove](const THistoryCall& Item) {
      return std::find(Remove.begin(), Remove.end(), Item.Token) != Remove.end();
    });
    for (const THistoryCall& Item : Add) {
      const auto Same = std::find_if(Kept.begin(), Kept.end(), [&](const THistoryCall& Old) {
        return Old.Token == Item.Token;
      });
      if (Same != Kept.end())
        *Same = Item;
      else
        Kept.push_back(Item);
    }
  });
}
