// TelephonyConfig: the lines of the telephony service, read from its INI file.
//
// Contract: every section whose name begins with "Line" (any case) is one line, in file
// order. Keys: Name (the line name; default the section name), Device (serial device path,
// required), Baud (default 115200), Init (AT command that turns caller ID on; empty: try the
// usual ones), RingTimeout (seconds without a RING after which an unanswered call is over,
// default 8; also the longest a caller-ID block without its number or name waits for it).
// Tuning keys, in seconds, mainly so tests run fast: CommandTimeout (how long one AT command
// may take, default 2), CheckInterval (idle AT check, default 30, 0 = never), CallerIdPause
// (silence that ends a caller-ID block holding its number and name, default 0.7), EscapeGuard
// (guard time around "+++", default 1.1). A malformed section is described in `problems` and
// skipped; the others are kept. A missing file gives no lines and no problem.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Telephony {

struct TLineConfig {
  std::string Section;
  std::string Name;
  std::string Device;
  uint32_t Baud = 115200;
  std::string Init;
  uint32_t RingTimeoutMs = 8000;
  uint32_t CommandTimeoutMs = 2000;
  uint32_t CheckIntervalMs = 30000;
  uint32_t CallerIdPauseMs = 700;
  uint32_t EscapeGuardMs = 1100;
};

// $RINGLET_TELEPHONY_CONFIG, else $XDG_CONFIG_HOME/ringlet/telephony.ini, else
// ~/.config/ringlet/telephony.ini.
std::string TelephonyConfigPath();

std::vector<TLineConfig> ReadTelephonyConfig(const std::string& path,
                                             std::vector<std::string>& problems);

// Whether text is a command we are willing to send as a line's Init: "AT" followed by
// printable characters only, so a configuration value can never smuggle a line break.
bool IsSafeAtCommand(const std::string& text);

} // namespace Telephony
