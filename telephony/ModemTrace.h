// ModemTrace: an optional record of every line sent to and received from each modem, so a
// user can show why a call was missed.
//
// Contract: enabled when RINGLET_TELEPHONY_TRACE names a file (read once, at first use); each
// entry is appended as one line "YYYY-MM-DD hh:mm:ss.mmm <device> <dir> <text>" with dir ">"
// for what we sent, "<" for what the modem sent and "*" for the service's own notes.
// Control bytes are shown as \xNN. A new trace file is private to the user (0600): it holds
// callers' numbers and names. Safe from any thread; costs nothing when disabled.
#pragma once

#include <string_view>

namespace Telephony {

bool ModemTraceEnabled();
void TraceModem(std::string_view device, char direction, std::string_view text);

} // namespace Telephony
