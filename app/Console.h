// Console: the front end without a window. It runs the same monitoring flow (TCallMonitor,
// the window's form description) and prints one line per call to standard output, flushed
// at once: "dd/mm/yyyy  hh:mm:ss<TAB>number<TAB>name". Errors go to standard error.
//
// All lines: one monitor a configured line, each row with the line's name as a fourth field;
// a line that fails or vanishes is reported (its name first) and retried on its own while
// the others go on. The remembered line is neither used nor changed then.
//
// The outlets (the call history, NCID-protocol server, MQTT, the web page, notifications)
// are the outlet hub's (app/OutletHub.h), as in the window; they are started before
// monitoring, and one that cannot start ends the run with ConsoleFailed (a history that
// cannot be written only says so).
//
// Line choice: the given name, else the remembered one (if that line is still there), else
// the only line; several lines and no choice print the names and give ConsoleNoChoice.
// SIGINT and SIGTERM stop the device, save the line's name and end with 0.
// With Notify each call is also a desktop notification (app/Notifier.h).
// Every call goes through the call screen (app/Screening.h): contacts' names, the block list;
// a blocked call's name field ends in BlockedMarker.
#pragma once

#include "app/NetworkOutlets.h"
#include "app/WebPage.h"

#include <cstdio>
#include <string>

inline constexpr int ConsoleOk = 0;
inline constexpr int ConsoleFailed = 1;
inline constexpr int ConsoleNoChoice = 2;

struct TConsoleOptions {
  std::string Device;  // "" for none given
  bool Notify = false; // --notify
  bool AllLines = false;
  bool NoBlock = false; // --no-block: blocked calls are only marked
  TNetworkOptions Network;
  TWebOptions Web; // settings already read (ReadWebSettings)
};

int RunConsole(const TConsoleOptions& Options);
// Prints the usable line names, one a line; returns ConsoleOk.
int ListDevices();
