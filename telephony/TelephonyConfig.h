// TelephonyConfig: the lines of the telephony service, read from its INI file.
//
// Contract: every section whose name begins with "Line" (any case) is one line, in file
// order. Name (the line name; default the section name) and Kind (modem, sip or callmonitor;
// default modem) belong to every kind.
// A modem: Device (serial device path, required), Baud (default 115200), Init (AT command that
// turns caller ID on; empty: try the usual ones), RingTimeout (seconds without a RING after
// which an unanswered call is over, default 8; also the longest a caller-ID block without its
// number or name waits for it). Tuning keys, in seconds, mainly so tests run fast:
// CommandTimeout (how long one AT command may take, default 2), CheckInterval (idle AT check,
// default 30, 0 = never), CallerIdPause (silence that ends the late fields - a message, a
// mask - that follow a caller-ID block already reported, default 0.7), EscapeGuard (guard time
// around "+++", default 1.1). A SIP extension: Registrar (sip: or sips: URI with an optional port
// and ;transport=udp|tcp|tls, required), User (required), AuthUser (default User), Password or
// PasswordFile (the first line of a regular file that only its owner may read or write: mode
// 0600 or 0400), TrustedPeers (addresses besides the registrar's that may offer calls, comma
// separated), Expires (seconds a registration asks for, default 600), LocalPort (default any).
// A router's call monitor: Host (required), Port (default 1012).
// Both: RetryInterval (seconds before the first retry after a failure, doubled up to 300 s;
// default 5) and RingCycle (seconds between the rings such a line counts for a call still
// ringing, default 5, 0.1 to 60; mainly for tests). A malformed section is described in `problems`
// and skipped; the others are kept. A missing file gives no lines and no problem. Problems never
// quote a password.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Telephony {

enum TLineKind { lkModem, lkSip, lkCallMonitor };

// A phone's ring cycle (a ring and the pause after it): how often a SIP or call monitor line,
// which hears of a call once, counts it ringing again.
constexpr uint32_t DefaultRingCycleMs = 5000;

enum TSipTransport { stUdp, stTcp, stTls };

// Where and as whom a SIP line registers.
struct TSipAccount {
  std::string Registrar; // as configured, for messages
  std::string Host;      // the registrar's host (a name or an address; IPv6 without brackets)
  uint16_t Port = 0;     // 0: the transport's usual port
  TSipTransport Transport = stUdp;
  std::string User;
  std::string AuthUser;
  std::string Password;
  std::vector<std::string> TrustedPeers; // numeric addresses
  uint32_t ExpiresS = 600;
  uint16_t LocalPort = 0;
};

struct TLineConfig {
  std::string Section;
  std::string Name;
  TLineKind Kind = lkModem;
  std::string Device;
  uint32_t Baud = 115200;
  std::string Init;
  uint32_t RingTimeoutMs = 8000;
  uint32_t CommandTimeoutMs = 2000;
  uint32_t CheckIntervalMs = 30000;
  uint32_t CallerIdPauseMs = 700;
  uint32_t EscapeGuardMs = 1100;
  TSipAccount Sip;
  std::string Host; // the call monitor's
  uint16_t Port = 1012;
  uint32_t RetryMs = 5000;
  uint32_t RingCycleMs = DefaultRingCycleMs; // a SIP or call monitor line's
};

const char* LineKindName(TLineKind kind);

// $RINGLET_TELEPHONY_CONFIG, else $XDG_CONFIG_HOME/ringlet/telephony.ini, else
// ~/.config/ringlet/telephony.ini.
std::string TelephonyConfigPath();

std::vector<TLineConfig> ReadTelephonyConfig(const std::string& path,
                                             std::vector<std::string>& problems);

// Whether text is a command we are willing to send as a line's Init: "AT" followed by
// printable characters only, so a configuration value can never smuggle a line break.
bool IsSafeAtCommand(const std::string& text);

} // namespace Telephony
