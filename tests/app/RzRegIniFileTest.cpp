// The settings component against real INI files and a real registry file in temp folders.
#include "app/RzRegIniFile.h"

#include "AppTestSupport.h"
#include "platform/IniFile.h"
#include "platform/Registry.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

using AppTest::TTempFolder;
namespace fs = std::filesystem;

TEST(RzRegIniFileTest, FirstRunReadsDefaultAndCreatesNothingUntilTheFirstWrite) {
  TTempFolder Folder("ini-first");
  const std::string File = Folder / "ringlet.ini";
  TRzRegIniFile Settings;
  Settings.SetPath(File);
  EXPECT_EQ("", Settings.ReadString("Settings", "TapiDevice", ""));
  EXPECT_EQ("dflt", Settings.ReadString("Settings", "TapiDevice", "dflt"));
  EXPECT_FALSE(fs::exists(File)) << "reading created the file";
  Settings.WriteString("Settings", "TapiDevice", "Modem A");
  ASSERT_TRUE(fs::exists(File));
  EXPECT_EQ("Modem A", Platform::GetProfileString(File, "Settings", "TapiDevice", ""));
}

TEST(RzRegIniFileTest, NameWithSpacesRoundTripsThroughAFreshComponent) {
  TTempFolder Folder("ini-spaces");
  const std::string File = Folder / "x.ini";
  const std::string Name = "USB  Caller ID Modem #2 (ttyACM0)";
  {
    TRzRegIniFile Settings;
    Settings.SetPath(File);
    Settings.WriteString("Settings", "TapiDevice", Name);
  }
  TRzRegIniFile Again;
  Again.SetPath(File);
  EXPECT_EQ(Name, Again.ReadString("Settings", "TapiDevice", ""));
  EXPECT_EQ(Name, Again.ReadString("settings", "tapidevice", "")) << "names ignore case";
}

TEST(RzRegIniFileTest, OpensLazilyAndReopensOnlyAfterARealChange) {
  TTempFolder Folder("ini-lazy");
  TRzRegIniFile Settings;
  EXPECT_TRUE(Settings.ReopenPending());
  EXPECT_EQ(0, Settings.OpenCount());
  Settings.SetPath(Folder / "a.ini");
  Settings.WriteString("S", "K", "one");
  EXPECT_EQ(1, Settings.OpenCount());
  EXPECT_FALSE(Settings.ReopenPending());
  Settings.ReadString("S", "K", "");
  EXPECT_EQ(1, Settings.OpenCount()) << "a second access reopened";

  Settings.SetPath(Folder / "a.ini");
  Settings.SetPathType(ptIniFile);
  Settings.SetRegKey(hkeyCurrentUser);
  Settings.SetRegAccess({keyAllAccess});
  EXPECT_FALSE(Settings.ReopenPending()) << "setting equal values marked a reopen";

  Settings.SetPath(Folder / "b.ini");
  EXPECT_TRUE(Settings.ReopenPending());
  EXPECT_EQ(1, Settings.OpenCount()) << "a change must not open by itself";
  EXPECT_EQ("", Settings.ReadString("S", "K", "")) << "still reading the old file";
  EXPECT_EQ(2, Settings.OpenCount());
  Settings.SetRegKey(hkeyLocalMachine);
  EXPECT_TRUE(Settings.ReopenPending());
  Settings.SetRegKey(hkeyCurrentUser);
  Settings.ReadString("S", "K", "");
  EXPECT_EQ(3, Settings.OpenCount());
  EXPECT_FALSE(fs::exists(Folder / "b.ini"));
}

TEST(RzRegIniFileTest, EmptyPathBecomesTheProgramsIniFileAndIsStoredBack) {
  TRzRegIniFile Settings;
  Settings.ReadString("Settings", "TapiDevice", "");
  const std::string Program = ProgramFileName();
  ASSERT_FALSE(Program.empty());
  EXPECT_EQ(DefaultIniFileName(Program), Settings.Path());
  EXPECT_EQ(fs::path(Program).filename().string() + ".ini",
            fs::path(Settings.Path()).filename().string());
}

TEST(RzRegIniFileTest, IniNameRuleReplacesOnlyTheFileNamesExtension) {
  TTempFolder Folder("ini-rule");
  fs::create_directories(Folder / "tools.d");
  EXPECT_EQ(Folder / "prog.ini", DefaultIniFileName(Folder / "prog"));
  EXPECT_EQ(Folder / "X.ini", DefaultIniFileName(Folder / "X.exe"));
  EXPECT_EQ(Folder / "a.b.ini", DefaultIniFileName(Folder / "a.b.bin"));
  EXPECT_EQ(Folder / "tools.d/prog.ini", DefaultIniFileName(Folder / "tools.d/prog"));
}

TEST(RzRegIniFileTest, ProgramInAFolderThatIsNotWritableKeepsItsSettingsAtHome) {
  std::string ReadOnly;
  for (const char* Candidate : {"/sys", "/proc/sys", "/usr/bin"}) {
    if (::access(Candidate, F_OK) == 0 && ::access(Candidate, W_OK) != 0) {
      ReadOnly = Candidate;
      break;
    }
  }
  if (ReadOnly.empty())
    GTEST_SKIP() << "no folder here is closed to writing";
  TTempFolder Home("ini-home");
  EXPECT_EQ(Home / "ringlet/ringlet.ini", DefaultIniFileName(ReadOnly + "/ringlet", Home / ""));
}

TEST(RzRegIniFileTest, FailedWriteRaisesUnableToWriteWithTheFileName) {
  TTempFolder Folder("ini-fail");
  const std::string File = Folder / "missing-folder/x.ini";
  TRzRegIniFile Settings;
  Settings.SetPath(File);
  try {
    Settings.WriteString("Settings", "TapiDevice", "x");
    FAIL() << "no exception";
  } catch (const EIniFileException& E) {
    EXPECT_EQ("Unable to write to " + File, E.Message());
  }
  EXPECT_FALSE(fs::exists(File));
}

class RzRegIniFileRegistryTest : public ::testing::Test {
protected:
  void SetUp() override {
    const char* Old = std::getenv("RINGLET_REGISTRY_FILE");
    FOld = Old != nullptr ? std::optional<std::string>(Old) : std::nullopt;
    ::setenv("RINGLET_REGISTRY_FILE", (FFolder / "registry").c_str(), 1);
    FOldTitle = ApplicationTitle();
  }
  void TearDown() override {
    if (FOld)
      ::setenv("RINGLET_REGISTRY_FILE", FOld->c_str(), 1);
    else
      ::unsetenv("RINGLET_REGISTRY_FILE");
    SetApplicationTitle(FOldTitle);
  }
  TTempFolder FFolder{"registry"};
  std::optional<std::string> FOld;
  std::string FOldTitle;
};

TEST_F(RzRegIniFileRegistryTest, EmptyPathWithTitleStoresUnderSoftwareTempTitle) {
  SetApplicationTitle("Ringlet");
  TRzRegIniFile Settings;
  Settings.SetPathType(ptRegistry);
  EXPECT_EQ("", Settings.ReadString("Settings", "TapiDevice", ""));
  Settings.WriteString("Settings", "TapiDevice", "Fake Modem 1");
  EXPECT_EQ("\\Software\\Temp\\Ringlet", Settings.Path());
  Platform::TRegistryStore Store;
  Platform::TRegistryKey Key;
  ASSERT_EQ(0u, Store.OpenKey("Software\\Temp\\Ringlet\\Settings", false, Key));
  EXPECT_EQ(std::optional<std::string>("Fake Modem 1"), Key.ReadString("TapiDevice"));
  EXPECT_EQ("Fake Modem 1", Settings.ReadString("Settings", "TapiDevice", ""));
}

TEST_F(RzRegIniFileRegistryTest, EmptyTitleUsesTheProgramsBareName) {
  SetApplicationTitle("");
  TRzRegIniFile Settings;
  Settings.SetPathType(ptRegistry);
  Settings.WriteString("Settings", "TapiDevice", "x");
  EXPECT_EQ("\\Software\\Temp\\" + fs::path(ProgramFileName()).stem().string(), Settings.Path());
}

TEST_F(RzRegIniFileRegistryTest, OtherRootsAreKeptApartFromTheCurrentUser) {
  TRzRegIniFile Machine, User;
  Machine.SetPathType(ptRegistry);
  Machine.SetRegKey(hkeyLocalMachine);
  Machine.SetPath("Software\\Ringlet");
  User.SetPathType(ptRegistry);
  User.SetPath("Software\\Ringlet");
  Machine.WriteString("Settings", "TapiDevice", "machine");
  User.WriteString("Settings", "TapiDevice", "user");
  EXPECT_EQ("machine", Machine.ReadString("Settings", "TapiDevice", ""));
  EXPECT_EQ("user", User.ReadString("Settings", "TapiDevice", ""));
}

TEST_F(RzRegIniFileRegistryTest, ReadOnlyAccessRefusesWritesAndKeepsTheStore) {
  TRzRegIniFile Settings;
  Settings.SetPathType(ptRegistry);
  Settings.SetPath("Software\\ReadOnly");
  Settings.SetRegAccess({keyRead});
  EXPECT_THROW(Settings.WriteString("Settings", "TapiDevice", "x"), ERegistryException);
  EXPECT_FALSE(Platform::TRegistryStore().KeyExists("Software\\ReadOnly\\Settings"));
}

TEST(RzRegIniFileTest, RootValuesAndAccessMasks) {
  EXPECT_EQ(0x80000000u, RegKeyRootValue(hkeyClassesRoot));
  EXPECT_EQ(0x80000001u, RegKeyRootValue(hkeyCurrentUser));
  EXPECT_EQ(0x80000006u, RegKeyRootValue(hkeyDynData));
  EXPECT_EQ(0xF003Fu, RegAccessMask({keyAllAccess}));
  EXPECT_EQ(0x2001Fu, RegAccessMask({keyRead, keyWrite}));
  EXPECT_EQ(0x3u, RegAccessMask({keyQueryValue, keySetValue}));
  EXPECT_EQ(0u, RegAccessMask({}));
}

} // namespace
