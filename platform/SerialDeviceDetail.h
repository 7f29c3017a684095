// SerialDeviceDetail: the pieces of SerialDevice that translate between TLineSettings and
// termios, kept visible so that they can be checked where a pseudo-terminal cannot show
// them (a pty forces 8 data bits and no parity whatever it is told).
//
// The rate is not part of these: SetArbitraryBaud()/GetActualBaud() go through termios2
// (BOTHER), whose kernel declarations cannot share a translation unit with <termios.h>, so
// they live in SerialDeviceBaud.cpp.  Both return 0 or an errno value.
#pragma once

#include <cstdint>

struct termios;

namespace Platform {
struct TLineSettings;
}

namespace Platform::Detail {

// Raw mode as this layer uses it (see SerialDevice.cpp for the choices).
void MakeRaw(termios& settings);
// Character size, parity, stop bits, hardware and software flow and the flow characters,
// on top of raw mode; the rate is left alone.
void SettingsToTermios(const TLineSettings& settings, termios& result);
// The same fields read back; the others of `settings` are left as they are.
void SettingsFromTermios(const termios& source, TLineSettings& settings);

// Sets input and output rate to baud, leaving every other setting as it is.
int SetArbitraryBaud(int fd, uint32_t baud);
// The output rate the driver is using, in bits per second.
int GetActualBaud(int fd, uint32_t& baud);

} // namespace Platform::Detail
