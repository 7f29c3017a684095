// The program's one log sink. See Log.h.
#include "platform/Log.h"

#include <mutex>
#include <utility>

namespace Platform {

namespace {

std::mutex SinkLock;

TLogSink& Sink() {
  static TLogSink Installed;
  return Installed;
}

} // namespace

TLogSink SetLogSink(TLogSink NewSink) {
  std::lock_guard<std::mutex> Guard(SinkLock);
  TLogSink Previous = std::move(Sink());
  Sink() = std::move(NewSink);
  return Previous;
}

void Log(const std::string& Text) {
  TLogSink Current;
  {
    std::lock_guard<std::mutex> Guard(SinkLock);
    Current = Sink();
  }
  if (Current)
    Current(Text);
}

} // namespace Platform
