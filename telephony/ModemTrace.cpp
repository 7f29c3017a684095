#include "telephony/ModemTrace.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>

namespace Telephony {

namespace {

struct TTraceFile {
  std::mutex Lock;
  FILE* File = nullptr;

  TTraceFile() {
    const char* path = std::getenv("RINGLET_TELEPHONY_TRACE");
    if (!path || !*path)
      return;
    // Callers' numbers and names go in: a new trace is the user's alone.
    const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0 && !(File = ::fdopen(fd, "a")))
      ::close(fd);
  }
  ~TTraceFile() {
    if (File)
      std::fclose(File);
  }
};

TTraceFile& Trace() {
  static TTraceFile trace;
  return trace;
}

std::string Printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c >= 0x20 && c != 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

} // namespace

bool ModemTraceEnabled() {
  return Trace().File != nullptr;
}

void TraceModem(std::string_view device, char direction, std::string_view text) {
  TTraceFile& trace = Trace();
  if (!trace.File)
    return;
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  const std::string line = Printable(text);
  std::lock_guard lock(trace.Lock);
  std::fprintf(trace.File, "%s.%03d %.*s %c %s\n", stamp, static_cast<int>(ms),
               static_cast<int>(device.size()), device.data(), direction, line.c_str());
  std::fflush(trace.File);
}

} // namespace Telephony
