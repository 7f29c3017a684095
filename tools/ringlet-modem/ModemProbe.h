// ModemProbe: finds out whether a serial device has an AT modem behind it, what it calls
// itself and which command turns its caller ID on.
//
// Contract: ProbeModem opens the device for exclusive use (a device in use is reported, never
// disturbed), sends a few harmless commands (AT, ATE0V1, AT+GMM or ATI3/ATI, the caller-ID
// commands' "=?" tests), each with timeoutMs to answer, and closes it again. It never throws.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace RingletModem {

struct TProbeResult {
  bool Answered = false; // answered AT with OK
  std::string Model;     // what AT+GMM (or ATI3, ATI) said; empty when nothing
  std::string Init;      // the caller-ID command its "=?" test accepted, e.g. "AT+VCID=1"
  std::string Error;     // why it could not be probed or did not answer
  std::string Advice;    // how to be allowed to open it, when the user's groups refuse it
};

TProbeResult ProbeModem(const std::string& device, uint32_t baud, uint32_t timeoutMs);

// /dev/ttyACM*, /dev/ttyUSB*, /dev/ttyS*, in that order, each sorted by number.
std::vector<std::string> CandidateDevices();

// The /dev/serial/by-id name of a device where there is one (it survives re-plugging),
// otherwise the path as given.
std::string StableDevicePath(const std::string& device);

} // namespace RingletModem
