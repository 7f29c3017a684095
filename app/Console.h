// Console: the front end without a window. It runs the same monitoring flow (TCallMonitor,
// the window's form description) and prints one line per call to standard output, flushed
// at once: "dd/mm/yyyy  hh:mm:ss<TAB>number<TAB>name". Errors go to standard error.
//
// Line choice: the given name, else the remembered one (if that line is still there), else
// the only line; several lines and no choice print the names and give ConsoleNoChoice.
// SIGINT and SIGTERM stop the device, save the line's name and end with 0.
// With Notify each call is also a desktop notification (app/Notifier.h).
#pragma once

#include <cstdio>
#include <string>

inline constexpr int ConsoleOk = 0;
inline constexpr int ConsoleFailed = 1;
inline constexpr int ConsoleNoChoice = 2;

struct TConsoleOptions {
  std::string Device; // "" for none given
  bool Notify = false; // --notify
};

int RunConsole(const TConsoleOptions& Options);
// Prints the usable line names, one a line; returns ConsoleOk.
int ListDevices();
