// AdSelCom: which serial ports exist, for the port selection dialog and the device lists.
//
// - IsPortAvailable(n) opens port n ("\\.\COMn", mapped through the port table) with a
//   temporary device-layer dispatcher and closes it again at once. A port that opens is
//   present; so is one that another opener holds (access denied), since the user may still
//   pick it. Port 0, numbers without a device and devices that fail otherwise are not.
// - AvailablePorts() lists "COMn" for every present port 1..MaxSelectablePort, ascending.
// - Both are for one thread at a time per port: a probe holds the device for a moment.
#pragma once

#include <string>
#include <vector>

// Ports above this number are never offered for selection.
inline constexpr int MaxSelectablePort = 50;

bool IsPortAvailable(int Number);
std::vector<std::string> AvailablePorts();
