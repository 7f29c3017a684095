// Screening: the call screen of a run (calls/CallScreen.h) as the front ends set it up, and
// how their rows mark a blocked call.
//
// Contract:
// - The country comes from Country in section [Settings] of the program's settings file
//   (two letters, default US); an unknown one is told through Warn and US is used.
// - A blocked call's row shows the name followed by BlockedMarker. The console keeps its three
//   (or, with --all-lines, four) tab-separated fields, so scripts that read them go on
//   working, and the marker is a suffix that no name from the network (upper case, at most
//   15 characters) or a "[" of its own turns into something else for a reader that looks for
//   it at the end of the field.
#pragma once

#include "app/RzRegIniFile.h"
#include "calls/CallScreen.h"

#include <functional>
#include <memory>
#include <string>

inline constexpr const char* SettingsCountryKey = "Country";
// The name as a row shows it.
std::string RowName(const TCallRecord& Call);

std::unique_ptr<TCallScreen> MakeCallScreen(TRzRegIniFile& Settings, bool Blocking,
                                            const std::function<void(const std::string&)>& Warn);
