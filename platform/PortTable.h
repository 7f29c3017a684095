// PortTable: which device a port number ("COM n") stands for.
//
// The table is the file ports.ini: $RINGLET_PORTS_FILE when set, else
// $XDG_CONFIG_HOME/ringlet/ports.ini, else ~/.config/ringlet/ports.ini.  It is read on every
// look-up, so an edit counts at once; a missing file means the defaults alone.  Its
// [Ports] section maps numbers to paths, one per line; an empty value takes the number out:
//
//   [Ports]
//   ; the USB adapter by its stable name
//   COM3=/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1234567-if00-port0
//   COM4=
//
// Numbers the file does not name keep their defaults:
//   COM1..COM4   /dev/ttyS0..3      (on-board ports)
//   COM5..COM20  /dev/ttyUSB0..15   (USB serial adapters)
//   COM21..COM36 /dev/ttyACM0..15   (USB modems, CDC-ACM)
//   COM37..COM50 /dev/ttyS4..17     (further on-board or card ports)
// Numbers up to MaxPortNumber may be given paths in the file; above 50 there are no defaults.
#pragma once

#include <string>
#include <string_view>

namespace Platform {

inline constexpr int MaxPortNumber = 256;

// The table file's path as the rule above gives it ("" when no folder can be found).
std::string PortsFilePath();

// The built-in device path of a port number, "" when it has none.
std::string DefaultPortDevicePath(int number);

// The device path of a port number after the table file; "" for no device.
std::string PortDevicePath(int number);

// "COM12", "com12" and "\\.\COM12" give 12; anything else (no number, a leading zero, a
// number outside 1..MaxPortNumber, trailing text) gives 0.
int PortNumberFromName(std::string_view name);

// A port name through the table, any other name unchanged: what to hand to Open().
std::string DevicePathFromName(std::string_view name);

} // namespace Platform
