// Log: the program's one way to report what goes wrong where no caller waits for an answer:
// a line's trouble, a worker's failure, an exception nothing else took, an outlet's warning.
//
// Contract:
// - The library layers report through Log() and never write to standard error themselves;
//   the program decides where the messages go by registering one sink at its start (the
//   console, the window and the service write them to standard error with the program's
//   prefix).
// - A message is one line of text without the program's prefix and without a line end; the
//   sink adds what its medium needs.
// - Log() may be called on any thread; the sink runs on the reporting thread, outside any lock
//   of this unit, so it must be safe to call from several threads at once and may log itself.
// - Without a sink a message is dropped (a program that wants it registers one).
#pragma once

#include <functional>
#include <string>

namespace Platform {

using TLogSink = std::function<void(const std::string& Text)>;

// Installs Sink (an empty one: none) and returns the previous one.
TLogSink SetLogSink(TLogSink Sink);
void Log(const std::string& Text);

} // namespace Platform
