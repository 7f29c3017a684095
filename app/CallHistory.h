// CallHistory: the call history in the program - its command-line options, printing it
// (--history), and the history writer of a front end's monitor.
//
// Contract:
// - TakeHistoryOption consumes one history option (and its value) from the command line.
// - PrintHistory prints the stored calls that match, newest last, in the chosen format; none
//   prints nothing. Status 0, 1 when the file cannot be read, 2 for a wrong date or format.
// - The front ends take the history choice of the process (SetProgramHistory, made by main);
//   until it is made there is no history, so a program or test that did not ask writes
//   nothing. The writer is also off when the settings file says [History] Enabled=0.
// - TMonitorHistory is the history of a front end's monitors: it opens the writer the
//   program's choice and the settings ask for; the outlet hub (app/OutletHub.h) owns it and
//   hands the writer to each monitor. Its messages come on the writer's thread.
#pragma once

#include "app/Monitor.h"
#include "calls/History.h"

#include <memory>
#include <string>
#include <vector>

inline constexpr const char* HistorySection = "History";
inline constexpr const char* HistoryEnabledKey = "Enabled";
// How many earlier calls the window shows when it opens.
inline constexpr size_t EarlierCallCount = 200;

struct THistoryOptions {
  bool Print = false; // --history
  bool Off = false;   // --no-history
  std::string File;   // --history-file, "" for DefaultHistoryFile()
  std::string Since;  // --since YYYY-MM-DD
  std::string Line;   // --line NAME
  std::string Format = "text";

  std::string Path() const { return File.empty() ? DefaultHistoryFile() : File; }
};

enum THistoryOptionResult { toNotMine, toTaken, toWrongUsage };

// Looks at Argv[I]; a taken option with a value moves I past it. Wrong usage is printed.
THistoryOptionResult TakeHistoryOption(int Argc, char** Argv, int& I, THistoryOptions& Options);

// Whether the options taken go together; prints why not.
bool HistoryOptionsFit(const THistoryOptions& Options);

// The option lines of the usage text.
extern const char* const HistoryUsage;

int PrintHistory(const THistoryOptions& Options);

void SetProgramHistory(const THistoryOptions& Options);
void ClearProgramHistory();

class TMonitorHistory {
public:
  // Without a program history choice, or turned off (in the choice or in Settings), nothing
  // is written (Active() false).
  TMonitorHistory(TRzRegIniFile& Settings, THistoryWriter::TMessage OnMessage);
  TMonitorHistory(const TMonitorHistory&) = delete;
  TMonitorHistory& operator=(const TMonitorHistory&) = delete;

  bool Active() const { return FWriter != nullptr; }
  THistoryWriter* Writer() const { return FWriter.get(); }
  // The latest Count stored calls, newest last; a file that cannot be read gives none and
  // its message.
  std::vector<TCallRecord> Earlier(size_t Count, std::string& Message) const;

private:
  std::unique_ptr<THistoryWriter> FWriter;
};
