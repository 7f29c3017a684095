// Profiles: the modems fakemodem can play, by name - how each answers the host and what its
// calls look like on the wire. The one table of them: --profile NAME applies one before the
// options that follow it, --help lists them.
//
// A profile is only a set of TModemConfig knobs and the defaults of the calls it plays, so
// every option given after --profile still changes the profile's value.
#pragma once

#include "CallScript.h"
#include "HayesModem.h"

#include <string>
#include <vector>

namespace FakeModem {

struct TProfile {
  std::string Name;
  std::string Summary; // one line for --help
  TModemConfig Modem;
  TCall Call; // what a call command starts from
};

// Every profile, the default ("kind") first.
const std::vector<TProfile>& Profiles();
// The profile called name, or nullptr.
const TProfile* FindProfile(const std::string& name);
// The --help section that lists them.
std::string ProfileHelp();

} // namespace FakeModem
