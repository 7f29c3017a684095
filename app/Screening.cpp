// The front ends' call screen. See Screening.h.
#include "app/Screening.h"

#include "app/Monitor.h"

std::string RowName(const TCallRecord& Call) {
  return Call.Blocked ? Call.IDName + BlockedMarker : Call.IDName;
}

std::unique_ptr<TCallScreen> MakeCallScreen(TRzRegIniFile& Settings, bool Blocking,
                                            const std::function<void(const std::string&)>& Warn) {
  const std::string Code = Settings.ReadString(SettingsSection, SettingsCountryKey, "");
  const TCountryRule* Country = Code.empty() ? &DefaultCountry() : FindCountry(Code);
  if (Country == nullptr) {
    Warn("unknown Country \"" + Code + "\" in the settings file (known: " + KnownCountries() +
         "); numbers are read as in " + DefaultCountry().Code);
    Country = &DefaultCountry();
  }
  auto Screen = std::make_unique<TCallScreen>(DefaultScreenFiles(), *Country);
  Screen->SetBlocking(Blocking);
  Screen->OnWarning = Warn;
  return Screen;
}
