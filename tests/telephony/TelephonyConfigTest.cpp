// The telephony configuration as the service reads it: which sections are lines, defaults,
// malformed sections reported and skipped, and where the file is looked for.
#include "TapiTestSupport.h"

#include "telephony/TelephonyConfig.h"

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
  TestSupport::TLogCapture log;
  const TListed listed = ListLines();
  const std::string errors = log.Text();

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

namespace {

// The kinds of line and their keys, as the reader gives them to the service.
class LineKindsTest : public ::testing::Test {
protected:
  std::vector<Telephony::TLineConfig> Read(const std::string& text) {
    std::ofstream(Path) << text;
    Problems.clear();
    return Telephony::ReadTelephonyConfig(Path, Problems);
  }
  std::string AllProblems() const {
    std::string all;
    for (const std::string& problem : Problems)
      all += problem + "\n";
    return all;
  }
  void WriteSecret(const std::string& path, mode_t mode, const std::string& text) {
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
  }

  TTempFolder Folder;
  const std::string Path = Folder.Path() + "/telephony.ini";
  std::vector<std::string> Problems;
};

TEST_F(LineKindsTest, SipAndCallMonitorLinesBesideAModem) {
  const std::string secret = Folder.Path() + "/sip-password";
  WriteSecret(secret, 0600, "s3cr;et\nsecond line ignored\n");
  const auto lines =
      Read("[Line1]\nName = Kitchen modem        ; what the window shows\n"
           "Device = /dev/ttyACM0\n"
           "[Line3]\nName = Home SIP\nKind = sip                ; not the modem\n"
           "Registrar = sip:192.168.1.1        ; the router\n"
           "User = 621\nPassword = pa ss;word\n"
           "[Line4]\nName = Router\nKind = callmonitor\nHost = 192.168.1.1\n"
           "[Line5]\nName=PBX\nKind=SIP\nRegistrar=sips:[fd00::1]:5061\nUser=621\n"
           "AuthUser=auth621\nPasswordFile=" +
           secret +
           "\n"
           "TrustedPeers=10.0.0.2, fd00::2\nExpires=120\nLocalPort=5062\n"
           "RetryInterval=0.5\nRingCycle=0.25\n"
           "[Line6]\nName=Other PBX\nKind=sip\nRegistrar=sip:pbx.lan:5070;transport=tcp;lr\n"
           "User=7\n"
           "[Line7]\nName=Other router\nKind=callmonitor\nHost=fritz.box\nPort=1013\n");
  ASSERT_EQ(lines.size(), 6u) << AllProblems();
  EXPECT_EQ(lines[0].Kind, Telephony::lkModem);
  EXPECT_EQ(lines[0].Name, "Kitchen modem");
  const Telephony::TSipAccount& home = lines[1].Sip;
  EXPECT_EQ(lines[1].Kind, Telephony::lkSip);
  EXPECT_EQ(home.Host, "192.168.1.1");
  EXPECT_EQ(home.Port, 0);
  EXPECT_EQ(home.Transport, Telephony::stUdp);
  EXPECT_EQ(home.User, "621");
  EXPECT_EQ(home.AuthUser, "621");        // defaults to User
  EXPECT_EQ(home.Password, "pa ss;word"); // a ';' in a password is no comment
  EXPECT_EQ(home.ExpiresS, 600u);
  EXPECT_EQ(lines[1].RetryMs, 5000u);
  EXPECT_EQ(lines[1].RingCycleMs, Telephony::DefaultRingCycleMs);
  EXPECT_EQ(lines[2].Kind, Telephony::lkCallMonitor);
  EXPECT_EQ(lines[2].Host, "192.168.1.1");
  EXPECT_EQ(lines[2].Port, 1012);
  const Telephony::TSipAccount& pbx = lines[3].Sip;
  EXPECT_EQ(pbx.Host, "fd00::1");
  EXPECT_EQ(pbx.Port, 5061);
  EXPECT_EQ(pbx.Transport, Telephony::stTls);
  EXPECT_EQ(pbx.AuthUser, "auth621");
  EXPECT_EQ(pbx.Password, "s3cr;et");
  EXPECT_EQ(pbx.TrustedPeers, (std::vector<std::string>{"10.0.0.2", "fd00::2"}));
  EXPECT_EQ(pbx.ExpiresS, 120u);
  EXPECT_EQ(pbx.LocalPort, 5062);
  EXPECT_EQ(lines[3].RetryMs, 500u);
  EXPECT_EQ(lines[3].RingCycleMs, 250u);
  EXPECT_EQ(lines[4].Sip.Host, "pbx.lan");
  EXPECT_EQ(lines[4].Sip.Port, 5070);
  EXPECT_EQ(lines[4].Sip.Transport, Telephony::stTcp);
  EXPECT_TRUE(lines[4].Sip.Password.empty());
  EXPECT_EQ(lines[5].Port, 1013);
}

TEST_F(LineKindsTest, MalformedSectionsAreSaidAndSkippedWithoutQuotingPasswords) {
  const std::string open = Folder.Path() + "/open-password";
  const std::string folder = Folder.Path() + "/a-folder";
  WriteSecret(open, 0644, "hunter2-open\n");
  mkdir(folder.c_str(), 0700);
  const auto lines =
      Read("[LineKind]\nKind=isdn\nDevice=/dev/x\n"
           "[LineNoRegistrar]\nKind=sip\nUser=1\n"
           "[LineBadRegistrar]\nKind=sip\nRegistrar=http://192.168.1.1\nUser=1\n"
           "[LineBadTransport]\nKind=sip\nRegistrar=sips:pbx;transport=udp\nUser=1\n"
           "[LineBadHost]\nKind=sip\nRegistrar=sip:pbx lan\nUser=1\n"
           "[LineNulHost]\nKind=sip\nRegistrar=sips:[fd00::1" +
           std::string(3, '\0') +
           "]:5061\nUser=1\n"
           "[LineNoUser]\nKind=sip\nRegistrar=sip:pbx\n"
           "[LineOpenFile]\nKind=sip\nRegistrar=sip:pbx\nUser=1\nPasswordFile=" +
           open +
           "\n"
           "[LineFolder]\nKind=sip\nRegistrar=sip:pbx\nUser=1\nPasswordFile=" +
           folder +
           "\n"
           "[LineMissingFile]\nKind=sip\nRegistrar=sip:pbx\nUser=1\nPasswordFile=" +
           folder +
           "/none\n"
           "[LineBoth]\nKind=sip\nRegistrar=sip:pbx\nUser=1\nPassword=hunter2-both\nPasswordFile=" +
           open +
           "\n"
           "[LinePeers]\nKind=sip\nRegistrar=sip:pbx\nUser=1\nTrustedPeers=pbx.lan\n"
           "[LineNulPeer]\nKind=sip\nRegistrar=sip:pbx\nUser=1\nTrustedPeers=10.0.0.2" +
           std::string(1, '\0') +
           "x\n"
           "[LineNoHost]\nKind=callmonitor\n"
           "[LinePort]\nKind=callmonitor\nHost=router\nPort=70000\n"
           "[LineRetry]\nKind=callmonitor\nHost=router\nRetryInterval=never\n"
           "[LineRingFlood]\nKind=callmonitor\nHost=router\nRingCycle=0.01\n"
           "[LineRingNever]\nKind=sip\nRegistrar=sip:pbx\nUser=1\nRingCycle=0\n");
  EXPECT_TRUE(lines.empty());
  const std::string all = AllProblems();
  for (const char* expected : {"[LineKind]: Kind \"isdn\" is not modem, sip or callmonitor",
                               "[LineNoRegistrar]: no Registrar",
                               "[LineBadRegistrar]: Registrar",
                               "[LineBadTransport]",
                               "[LineBadHost]",
                               "[LineNulHost]",
                               "[LineNoUser]: User is missing",
                               "[LineOpenFile]: PasswordFile",
                               "mode 0644",
                               "chmod 600",
                               "[LineFolder]: PasswordFile",
                               "is not a regular file",
                               "[LineMissingFile]",
                               "[LineBoth]: give Password or PasswordFile, not both",
                               "[LinePeers]: TrustedPeers",
                               "[LineNulPeer]: TrustedPeers",
                               "[LineNoHost]: no Host",
                               "[LinePort]: Port",
                               "[LineRetry]: RetryInterval",
                               "[LineRingFlood]: RingCycle must be at least 0.1",
                               "[LineRingNever]: RingCycle"})
    EXPECT_NE(all.find(expected), std::string::npos) << expected << " in\n" << all;
  EXPECT_EQ(all.find("hunter2"), std::string::npos) << all;
}

} // namespace
