// Profiles: the table of modems fakemodem plays. See Profiles.h.
#include "Profiles.h"

namespace FakeModem {

namespace {

// What common data/voice modems do: CONNECT about 0.2 s after ATA, then data mode, and a
// character from the host while answering aborts the answer. The rest is the default already:
// +++ only with its guard time, a host hang-up answered by OK alone, NO CARRIER only when the
// far end goes, ATH1 takes the line off hook.
TModemConfig Strict() {
  TModemConfig modem;
  modem.AnswerDelayMs = 200;
  modem.AbortAnswerOnInput = true;
  return modem;
}

std::vector<TProfile> MakeProfiles() {
  std::vector<TProfile> profiles;
  profiles.push_back({"kind", "the forgiving test modem (the default): CONNECT 0.3 s after ATA",
                      TModemConfig{}, TCall{}});
  profiles.push_back({"strict",
                      "as common modems behave: CONNECT 0.2 s after ATA, a key aborts the answer, "
                      "+++ needs its guard time, ATH answers OK alone",
                      Strict(), TCall{}});
  {
    TProfile p{"no-offhook",
               "strict, but ATH1 answers ERROR: the line cannot be taken off "
               "hook without answering",
               Strict(), TCall{}};
    p.Modem.OffHook = false;
    profiles.push_back(p);
  }
  {
    TProfile p{"compact",
               "strict, AT#CID only, caller ID as NMBR=x without a name (US Robotics "
               "style)",
               Strict(), TCall{}};
    p.Modem.CidCommands = {"#CID"};
    p.Call.Compact = true;
    p.Call.NumberOnly = true;
    profiles.push_back(p);
  }
  {
    TProfile p{"uk",
               "strict, caller ID before the first ring with a MESG line and no name, "
               "rings 3 s apart (BT lines)",
               Strict(), TCall{}};
    p.Call.CidFirst = true;
    p.Call.NumberOnly = true;
    p.Call.MesgHex = "110101";
    p.Call.SpacingMs = 3000;
    profiles.push_back(p);
  }
  {
    TProfile p{"raw",
               "strict, caller ID only as raw MDMF packets: AT#CID=2 (AT#CID=1 answers "
               "ERROR)",
               Strict(), TCall{}};
    p.Modem.CidCommands = {"#CID"};
    p.Modem.RawOnly = true;
    profiles.push_back(p);
  }
  {
    TProfile p{"usb-voice",
               "strict, AT+VCID only and only in voice class 8 "
               "(AT+FCLASS=8;+VCID=1); caller ID forgotten at every reset",
               Strict(), TCall{}};
    p.Modem.CidCommands = {"+VCID"};
    p.Modem.CidNeedsVoice = true;
    p.Modem.Model = "Ringlet FakeModem USB";
    profiles.push_back(p);
  }
  return profiles;
}

} // namespace

const std::vector<TProfile>& Profiles() {
  static const std::vector<TProfile> profiles = MakeProfiles();
  return profiles;
}

const TProfile* FindProfile(const std::string& name) {
  for (const TProfile& profile : Profiles())
    if (profile.Name == name)
      return &profile;
  return nullptr;
}

std::string ProfileHelp() {
  constexpr std::size_t Indent = 24, Width = 92;
  std::string text = "Profiles (--profile NAME):\n";
  for (const TProfile& profile : Profiles()) {
    std::string line = "  " + profile.Name;
    line.resize(Indent, ' ');
    std::size_t column = Indent;
    std::size_t start = 0;
    // Word-wrapped under the first word of the summary.
    while (start < profile.Summary.size()) {
      std::size_t end = profile.Summary.find(' ', start);
      if (end == std::string::npos)
        end = profile.Summary.size();
      const std::string word = profile.Summary.substr(start, end - start);
      if (column > Indent && column + 1 + word.size() > Width) {
        text += line + "\n";
        line.assign(Indent, ' ');
        column = Indent;
      } else if (column > Indent) {
        line += ' ';
        ++column;
      }
      line += word;
      column += word.size();
      start = end + 1;
    }
    text += line + "\n";
  }
  return text;
}

} // namespace FakeModem
