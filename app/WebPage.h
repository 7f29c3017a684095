// WebPage: the web page of the program (web/WebServer.h) as the front ends start it - its
// command-line options and settings, setting its password, and following the monitors.
//
// Contract:
// - A command-line value wins over the settings file's section [Web]: keys Listen
//   ("ADDR:PORT"), Cert, Key, Hosts (the names the page answers to besides its addresses and
//   localhost, separated by commas or blanks), and PasswordHash (only ever written by
//   SetWebPassword). The settings are read before the demo mode moves the monitors' settings
//   elsewhere, so the demo serves the page with the real password.
// - A settings file that holds the hash is the user's alone: ReadWebSettings and
//   SetWebPassword take the other users' permissions off one that has them, and say so.
// - Nothing is started without a Listen address. Start says why the page cannot be served:
//   no password set (and how to set one), a bad address, an address in use, a certificate
//   or key that cannot be used. While it runs, the settings file is followed: a password set
//   meanwhile takes effect within seconds and ends the sessions of the old one.
// - SetWebPassword reads the password from standard input, twice and without echo when that
//   is a terminal, refuses an empty one, one of fewer than MinWebPasswordLength characters or
//   two that differ, and stores only its hash.
// - Follow adds the server as an outlet of a monitor and reports the monitor's line as
//   "watching", then "lost" and "watching" again as the monitor tells; the page takes itself
//   out of every monitor it follows when it goes. Without a line name (the window, whose
//   line is chosen later) the line is the monitor's chosen one and SetLine tells when it
//   starts and stops.
#pragma once

#include "app/Monitor.h"
#include "calls/History.h"
#include "web/WebServer.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

inline constexpr const char* WebSection = "Web";
inline constexpr const char* WebPasswordKey = "PasswordHash";
inline constexpr size_t MinWebPasswordLength = 10;

struct TWebOptions {
  std::string Listen; // "ADDR:PORT", "" for no page
  std::string Cert, Key;
  std::string PasswordHash;
  std::vector<std::string> Hosts;
  std::string SettingsFile; // where PasswordHash came from; "" when not from a file
};

// A note for the user when the settings file was made private, else "".
std::string ReadWebSettings(TRzRegIniFile& Settings, TWebOptions& Options);

// Status 0 when the hash is stored, 1 when not (the reason printed on To).
int SetWebPassword(TRzRegIniFile& Settings, FILE* From, FILE* To);

class TWebPage {
public:
  TWebPage() = default;
  ~TWebPage();
  TWebPage(const TWebPage&) = delete;
  TWebPage& operator=(const TWebPage&) = delete;

  // History nullptr when no history is kept (it must outlive the page); Files and Country
  // those of the monitors' screen (Country must outlive the page).
  std::string Start(const TWebOptions& Options, const THistoryWriter* History,
                    const TScreenFiles& Files, const TCountryRule& Country);
  bool Running() const { return FServer != nullptr; }
  TWebServer* Server() const { return FServer.get(); }

  void Follow(TCallMonitor& Monitor, const std::string& Line = "");
  // State: "watching", "lost" or "stopped".
  void SetLine(const std::string& Line, const std::string& State);

private:
  std::unique_ptr<TWebServer> FServer;
  std::vector<TCallMonitor*> FMonitors;
};
