// The call history in the program.
#include "app/CallHistory.h"

#include "calls/HistoryFormat.h"

#include <cctype>
#include <cstdio>
#include <ctime>
#include <exception>
#include <optional>

const char* const HistoryUsage =
    "  --history         print the stored calls, newest last, and exit; with\n"
    "    --since YYYY-MM-DD   only the calls from that day (local time) on\n"
    "    --line NAME          only the calls of that line\n"
    "    --format text|csv|json  text is the console's row, CSV has a header row,\n"
    "                         JSON is one object per line\n"
    "  --history-file FILE  the call history database (default:\n"
    "                    $XDG_DATA_HOME/ringlet/calls.sqlite or ~/.local/share/ringlet/)\n"
    "  --no-history      do not keep this run's calls (for good: Enabled=0 in section\n"
    "                    [History] of the settings file)\n";

namespace {

std::optional<THistoryOptions> ProgramHistory;

// Local midnight of a YYYY-MM-DD day; nothing for a malformed or impossible date.
std::optional<std::time_t> DayStart(const std::string& Text) {
  if (Text.size() != 10 || Text[4] != '-' || Text[7] != '-')
    return std::nullopt;
  for (size_t I : {0, 1, 2, 3, 5, 6, 8, 9})
    if (Text[I] < '0' || Text[I] > '9')
      return std::nullopt;
  std::tm Day{};
  Day.tm_year = std::stoi(Text.substr(0, 4)) - 1900;
  Day.tm_mon = std::stoi(Text.substr(5, 2)) - 1;
  Day.tm_mday = std::stoi(Text.substr(8, 2));
  Day.tm_isdst = -1;
  const int Year = Day.tm_year, Month = Day.tm_mon, Date = Day.tm_mday;
  const std::time_t Moment = std::mktime(&Day);
  // mktime carries 2026-02-30 over into March: such a day does not exist.
  if (Moment == -1 || Day.tm_year != Year || Day.tm_mon != Month || Day.tm_mday != Date)
    return std::nullopt;
  return Moment;
}

bool HistoryEnabledSetting(std::string Value) {
  for (char& C : Value)
    C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  return Value != "0" && Value != "false" && Value != "no" && Value != "off";
}

void PrintHistoryError(const std::string& Text) {
  std::fprintf(stderr, "ringlet: %s\n", Text.c_str());
  std::fflush(stderr);
}

} // namespace

THistoryOptionResult TakeHistoryOption(int Argc, char** Argv, int& I, THistoryOptions& Options) {
  const std::string Arg = Argv[I];
  std::string* Value = nullptr;
  if (Arg == "--history")
    Options.Print = true;
  else if (Arg == "--no-history")
    Options.Off = true;
  else if (Arg == "--history-file")
    Value = &Options.File;
  else if (Arg == "--since")
    Value = &Options.Since;
  else if (Arg == "--line")
    Value = &Options.Line;
  else if (Arg == "--format")
    Value = &Options.Format;
  else
    return toNotMine;
  if (Value == nullptr)
    return toTaken;
  if (I + 1 >= Argc || Argv[I + 1][0] == '\0') {
    PrintHistoryError(Arg + " needs a value");
    return toWrongUsage;
  }
  *Value = Argv[++I];
  return toTaken;
}

bool HistoryOptionsFit(const THistoryOptions& Options) {
  if (!Options.Print &&
      (!Options.Since.empty() || !Options.Line.empty() || Options.Format != "text")) {
    PrintHistoryError("--since, --line and --format go with --history");
    return false;
  }
  if (Options.Print && Options.Off) {
    PrintHistoryError("--history and --no-history do not go together");
    return false;
  }
  return true;
}

int PrintHistory(const THistoryOptions& Options) {
  THistoryFormat Format;
  if (!ParseHistoryFormat(Options.Format, Format)) {
    PrintHistoryError("--format takes text, csv or json");
    return 2;
  }
  THistoryQuery Query;
  if (!Options.Since.empty()) {
    Query.Since = DayStart(Options.Since);
    if (!Query.Since) {
      PrintHistoryError("--since takes a day as YYYY-MM-DD, not \"" + CleanText(Options.Since) +
                        "\"");
      return 2;
    }
  }
  Query.Line = Options.Line;
  std::vector<TCallRecord> Calls;
  try {
    Calls = THistoryReader(Options.Path()).Read(Query);
  } catch (const std::exception& E) {
    PrintHistoryError(E.what());
    return 1;
  }
  if (Calls.empty())
    return 0;
  std::string Output = FormatHistoryHeader(Format);
  for (const TCallRecord& Call : Calls)
    Output += FormatHistoryCall(Call, Format);
  std::fwrite(Output.data(), 1, Output.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}

void SetProgramHistory(const THistoryOptions& Options) {
  ProgramHistory = Options;
}

void ClearProgramHistory() {
  ProgramHistory.reset();
}

TMonitorHistory::TMonitorHistory(TRzRegIniFile& Settings, THistoryWriter::TMessage OnMessage) {
  if (!ProgramHistory || ProgramHistory->Off)
    return;
  if (!HistoryEnabledSetting(Settings.ReadString(HistorySection, HistoryEnabledKey, "1")))
    return;
  // The program's own default file is its to move aside when it is not a database; a file
  // the user named is left as it is.
  THistoryWriterOptions Options;
  Options.MoveAsideNotADatabase = ProgramHistory->File.empty();
  FWriter = std::make_unique<THistoryWriter>(ProgramHistory->Path(), std::move(OnMessage), Options);
}

std::vector<TCallRecord> TMonitorHistory::Earlier(size_t Count, std::string& Message) const {
  if (FWriter == nullptr)
    return {};
  THistoryQuery Query;
  Query.Limit = Count;
  try {
    return FWriter->Read(Query);
  } catch (const std::exception& E) {
    Message = E.what();
    return {};
  }
}
