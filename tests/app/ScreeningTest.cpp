// The front ends' call screen: the country from the real settings file, and the row's mark.
#include "app/Screening.h"

#include "AppTestSupport.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

using namespace AppTest;

TEST(ScreeningTest, CountryComesFromTheSettingsFileAndAnUnknownOneIsTold) {
  TTempFolder Folder("screening");
  ::setenv("XDG_CONFIG_HOME", (Folder / "config").c_str(), 1);
  const struct {
    std::string Ini;
    std::string Country;
    bool Warned;
  } Cases[] = {
      {"[Settings]\nCountry = GB\n", "GB", false},
      {"[Settings]\nCountry=gb\n", "GB", false},
      {"[Settings]\nTapiDevice=x\n", "US", false},
      {"[Settings]\nCountry=Britain\n", "US", true},
  };
  for (const auto& Case : Cases) {
    std::ofstream(Folder / "ringlet.ini") << Case.Ini;
    TRzRegIniFile Settings;
    Settings.SetPath(Folder / "ringlet.ini");
    std::vector<std::string> Warnings;
    const std::unique_ptr<TCallScreen> Screen =
        MakeCallScreen(Settings, false, [&](const std::string& Text) { Warnings.push_back(Text); });
    EXPECT_EQ(Case.Country, Screen->Country().Code) << Case.Ini;
    EXPECT_EQ(Case.Warned, !Warnings.empty()) << Case.Ini;
    EXPECT_FALSE(Screen->Blocking());
    EXPECT_EQ(fs::path(Folder / "config/ringlet/contacts.vcf"), Screen->Files().Contacts);
  }
}

TEST(ScreeningTest, BlockedRowsEndInTheMark) {
  TCallRecord Call;
  Call.IDName = "CARD SERVICES";
  EXPECT_EQ("CARD SERVICES", RowName(Call));
  Call.Blocked = true;
  EXPECT_EQ("CARD SERVICES [blocked]", RowName(Call));
}

} // namespace
