// LineWatch: the telephony service as ringlet-modem uses it - the lines it offers and the
// console monitor that prints one row per incoming call.
//
// Contract: both register with libtapi32.so (lineInitialize) on the calling thread and pump
// that thread's message queue for the callbacks. WatchLines opens every line as the owner of
// incoming data-modem calls and prints "dd/mm/yyyy  hh:mm:ss  number  name" on `out` for
// each call, at its first caller ID (or when a call without caller ID ends); it returns when
// `stopFd` becomes readable. A line that closes under it (device gone) is reopened every
// few seconds. Diagnostics go to stderr. Results are process exit codes.
#pragma once

#include <cstdio>
#include <string>

#include "telephony/Tapi.h"

namespace RingletModem {

int ListLines(std::FILE* out);
int WatchLines(std::FILE* out, int stopFd);

// The caller's number and name as the call information gives them, with the usual texts for
// a blocked, out-of-area, unknown or unavailable caller. Offsets outside the record read as
// empty, blanks and control characters around the texts are trimmed.
void CallerTexts(const LINECALLINFO* info, std::string& number, std::string& name);

// "dd/mm/yyyy  hh:mm:ss  number  name" for the local time now.
std::string CallRow(const std::string& number, const std::string& name);

} // namespace RingletModem
