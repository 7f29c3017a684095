// Demo: the simulated modem for the demo mode. It starts tools/fakemodem playing its demo
// calls on a pseudo-terminal, writes a telephony configuration with one line on that device
// into a temporary folder and points $RINGLET_TELEPHONY_CONFIG at it. The monitors keep their
// settings in that folder too (SetSettingsFileName), so the demo line is the only line and
// nothing is remembered: the window shows it at once, and the line remembered for a real modem
// stays untouched. Start it before the line device registers; destroying it ends the modem,
// puts the settings file back as it was and removes the folder.
#pragma once

#include <string>
#include <sys/types.h>

inline constexpr const char* DemoLineName = "Ringlet Demo Modem";

// Where fakemodem is: $RINGLET_FAKEMODEM, else beside the program (and in the build tree's
// tools folder), else the search path.
std::string FakeModemProgram();

class TDemoModem {
public:
  TDemoModem() = default;
  ~TDemoModem();
  TDemoModem(const TDemoModem&) = delete;
  TDemoModem& operator=(const TDemoModem&) = delete;

  // Starts the modem and writes the configuration; false with Error() set on failure.
  bool Start(const std::string& Program = FakeModemProgram());
  void Stop();
  const std::string& DevicePath() const { return FDevicePath; }
  const std::string& ConfigPath() const { return FConfigPath; }
  const std::string& SettingsPath() const { return FSettingsPath; }
  const std::string& Error() const { return FError; }

private:
  pid_t FPid = -1;
  int FInput = -1;
  std::string FFolder;
  std::string FDevicePath;
  std::string FConfigPath;
  std::string FSettingsPath;
  std::string FOuterSettingsPath; // the settings file before the demo, put back by Stop
  std::string FError;
};
