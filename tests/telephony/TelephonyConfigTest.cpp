// The telephony configuration as the service reads it: which sections are lines, defaults,
// malformed sections reported and skipped, and where the file is looked for.
#include "TapiTestSupport.h"

#include <map>
#include <sys/stat.h>

using namespace TapiTest;

namespace {

// The line names and settings the service offers for the file as it now stands.
struct TListed {
  std::vector<std::string> Names;
  std::vector<std::string> Configs;
};

TListed ListLines() {
  TListed listed;
  HLINEAPP app = 0;
  DWORD devices = 0;
  EXPECT_EQ(Tapi().Initialize(&app, nullptr, Callback, "TelephonyConfigTest", &devices), 0);
  for (DWORD id = 0; id < devices; ++id) {
    TRecordBuffer caps(1024);
    EXPECT_EQ(Tapi().GetDevCaps(app, id, TAPI_VERSION_1_4, 0, caps.As<LINEDEVCAPS>()), 0);
    const LINEDEVCAPS* record = caps.As<LINEDEVCAPS>();
    listed.Names.push_back(caps.StringAt(record->dwLineNameOffset, record->dwLineNameSize - 1));
    TRecordBuffer config(1028);
    EXPECT_EQ(Tapi().GetDevConfig(id, config.As<VARSTRING>(), "comm/datamodem"), 0);
    listed.Configs.push_back(config.StringAt(config.As<VARSTRING>()->dwStringOffset,
                                             config.As<VARSTRING>()->dwStringSize));
  }
  EXPECT_EQ(Tapi().Shutdown(app), 0);
  return listed;
}

class TelephonyConfigTest : public ::testing::Test {
protected:
  void TearDown() override {
    for (const auto& [name, value] : FSaved) {
      if (value.second)
        setenv(name.c_str(), value.first.c_str(), 1);
      else
        unsetenv(name.c_str());
    }
  }
  void SetEnv(const std::string& name, const char* value) {
    if (!FSaved.count(name)) {
      const char* old = std::getenv(name.c_str());
      FSaved[name] = {old ? old : "", old != nullptr};
    }
    if (value)
      setenv(name.c_str(), value, 1);
    else
      unsetenv(name.c_str());
  }

  TTempFolder Folder;
  std::map<std::string, std::pair<std::string, bool>> FSaved;
};

TEST_F(TelephonyConfigTest, LineSectionsInFileOrderWithMalformedOnesSkipped) {
  SetEnv("RINGLET_TELEPHONY_CONFIG", (Folder.Path() + "/t.ini").c_str());
  std::ofstream(Folder.Path() + "/t.ini")
      << "[Settings]\nName=not a line\nDevice=/dev/null\n"
         "[Line1]\nName=First\nDevice=/dev/ttyACM0\nBaud=57600\nInit=AT+VCID=1\n"
         "[Line2]\nName=No device\n"
         "[LineBaud]\nDevice=/dev/ttyUSB0\nBaud=12345\n"
         "[LineInit]\nDevice=/dev/ttyUSB1\nInit=VCID=1\n"
         "[LineRing]\nDevice=/dev/ttyUSB2\nRingTimeout=soon\n"
         "[Line9]\nDevice=/dev/ttyS0\nRingTimeout=2.5\n"
         "[line3]\nName=First\nDevice=/dev/ttyS1\n";
  testing::internal::CaptureStderr();
  const TListed listed = ListLines();
  const std::string errors = testing::internal::GetCapturedStderr();

  EXPECT_EQ(listed.Names, (std::vector<std::string>{"First", "Line9"}));
  ASSERT_EQ(listed.Configs.size(), 2u);
  EXPECT_NE(listed.Configs[0].find("Baud=57600"), std::string::npos);
  EXPECT_NE(listed.Configs[0].find("Init=AT+VCID=1"), std::string::npos);
  EXPECT_NE(listed.Configs[1].find("Baud=115200"), std::string::npos); // the default
  EXPECT_NE(listed.Configs[1].find("RingTimeout=2.5\r\n"), std::string::npos);
  for (const char* section : {"[Line2]: no Device", "[LineBaud]", "[LineInit]", "[LineRing]",
                              "[line3]: the name \"First\""})
    EXPECT_NE(errors.find(section), std::string::npos) << section << " in " << errors;
  EXPECT_EQ(errors.find("[Settings]"), std::string::npos);
  EXPECT_EQ(errors.find("[Line9]"), std::string::npos);
}

TEST_F(TelephonyConfigTest, DefaultRingTimeoutIsEightSeconds) {
  SetEnv("RINGLET_TELEPHONY_CONFIG", (Folder.Path() + "/t.ini").c_str());
  std::ofstream(Folder.Path() + "/t.ini") << "[Line1]\nDevice=/dev/ttyACM0\n";
  const TListed listed = ListLines();
  EXPECT_EQ(listed.Names, (std::vector<std::string>{"Line1"})); // no Name: the section's
  ASSERT_EQ(listed.Configs.size(), 1u);
  EXPECT_NE(listed.Configs[0].find("RingTimeout=8\r\n"), std::string::npos) << listed.Configs[0];
}

TEST_F(TelephonyConfigTest, FileIsFoundByTheEnvironmentThenXdgThenHome) {
  const std::string xdg = Folder.Path() + "/xdg";
  const std::string home = Folder.Path() + "/home";
  mkdir(xdg.c_str(), 0700);
  mkdir((xdg + "/ringlet").c_str(), 0700);
  mkdir(home.c_str(), 0700);
  mkdir((home + "/.config").c_str(), 0700);
  mkdir((home + "/.config/ringlet").c_str(), 0700);
  std::ofstream(xdg + "/ringlet/telephony.ini") << "[Line1]\nName=From XDG\nDevice=/dev/a\n";
  std::ofstream(home + "/.config/ringlet/telephony.ini")
      << "[Line1]\nName=From home\nDevice=/dev/b\n";
  std::ofstream(Folder.Path() + "/own.ini") << "[Line1]\nName=From variable\nDevice=/dev/c\n";

  SetEnv("HOME", home.c_str());
  SetEnv("XDG_CONFIG_HOME", xdg.c_str());
  SetEnv("RINGLET_TELEPHONY_CONFIG", (Folder.Path() + "/own.ini").c_str());
  EXPECT_EQ(ListLines().Names, (std::vector<std::string>{"From variable"}));
  SetEnv("RINGLET_TELEPHONY_CONFIG", nullptr);
  EXPECT_EQ(ListLines().Names, (std::vector<std::string>{"From XDG"}));
  SetEnv("XDG_CONFIG_HOME", nullptr);
  EXPECT_EQ(ListLines().Names, (std::vector<std::string>{"From home"}));
  // No file at all: no lines, and registering still works.
  SetEnv("HOME", (Folder.Path() + "/nowhere").c_str());
  EXPECT_TRUE(ListLines().Names.empty());
}

} // namespace
