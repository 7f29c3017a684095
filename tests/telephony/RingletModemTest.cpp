// ringlet-modem end to end: detect against fakemodem writes the configuration without
// disturbing the rest of the file, list shows the service's lines, watch prints one row per
// call through the real telephony service.
#include "FakeModemProcess.h"
#include "platform/IniFile.h"

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <grp.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using TestSupport::TChildProcess;
using TestSupport::TFakeModem;

namespace {

const char* RingletModemPath() {
  return RINGLET_BUILD_DIR "/tools/ringlet-modem/ringlet-modem";
}

class RingletModemTest : public ::testing::Test {
protected:
  void SetUp() override {
    char dir[] = "/tmp/ringlet-modem-test-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    FDir = dir;
    FConfig = FDir + "/config/telephony.ini";
  }
  void TearDown() override { std::system(("rm -rf '" + FDir + "'").c_str()); }

  std::vector<std::string> Env() const {
    return {"RINGLET_TELEPHONY_CONFIG=" + FConfig, "RINGLET_TELEPHONY_TRACE="};
  }

  // Runs ringlet-modem to its end; its exit status.
  int Run(const std::vector<std::string>& args, TChildProcess& p) {
    EXPECT_TRUE(p.Start(RingletModemPath(), args, Env()));
    return p.Wait();
  }

  void WriteConfig(const std::string& text) {
    std::system(("mkdir -p '" + FDir + "/config'").c_str());
    std::ofstream(FConfig) << text;
  }

  std::string ReadConfig() const {
    std::ifstream in(FConfig);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::string Key(const std::string& section, const std::string& key) const {
    return Platform::GetProfileString(FConfig, section, key, "<none>");
  }

  std::string FDir;
  std::string FConfig;
};

TEST_F(RingletModemTest, DetectAddsTheModemAndKeepsTheRestOfTheFile) {
  const std::string before = "; lines of this machine\n"
                             "[Settings]\n"
                             "Trace = off\n"
                             "\n"
                             "[Line1]\n"
                             "Name = Old modem\n"
                             "Device = /dev/ttyNOSUCH9\n";
  WriteConfig(before);
  TFakeModem modem;
  const std::string link = FDir + "/ttyFAKE0";
  ASSERT_TRUE(modem.Start({"--link", link}, false));

  TChildProcess detect;
  ASSERT_EQ(Run({"detect", "--no-scan", link}, detect), 0) << detect.Stderr();
  EXPECT_NE(detect.Stdout().find("[Line2]"), std::string::npos) << detect.Stdout();

  const std::string after = ReadConfig();
  EXPECT_EQ(after.substr(0, before.size()), before) << "what was there stays byte for byte";
  EXPECT_EQ(Key("Line2", "Name"), "Ringlet FakeModem V.92");
  EXPECT_EQ(Key("Line2", "Device"), link);
  EXPECT_EQ(Key("Line2", "Baud"), "115200");
  EXPECT_EQ(Key("Line2", "Init"), "AT+VCID=1");
  EXPECT_EQ(Key("Line2", "RingTimeout"), "8");

  // Once configured, a device is not added again.
  TChildProcess again;
  ASSERT_EQ(Run({"detect", "--no-scan", link}, again), 0);
  EXPECT_NE(again.Stdout().find("already configured as [Line2]"), std::string::npos)
      << again.Stdout();
  EXPECT_EQ(ReadConfig(), after);
}

TEST_F(RingletModemTest, DetectFindsTheCallerIdCommandTheModemKnows) {
  TFakeModem modem;
  const std::string link = FDir + "/ttyFAKE1";
  ASSERT_TRUE(
      modem.Start({"--link", link, "--cid-commands", "%CCID", "--model", "Lab 56K"}, false));
  TChildProcess dry;
  ASSERT_EQ(Run({"detect", "--no-scan", "--dry-run", link}, dry), 0);
  EXPECT_NE(dry.Stdout().find("AT%CCID=1"), std::string::npos) << dry.Stdout();
  EXPECT_TRUE(ReadConfig().empty()) << "a dry run writes nothing";

  TChildProcess detect;
  ASSERT_EQ(Run({"detect", "--no-scan", link}, detect), 0) << detect.Stderr();
  EXPECT_EQ(Key("Line1", "Name"), "Lab 56K");
  EXPECT_EQ(Key("Line1", "Init"), "AT%CCID=1");
}

TEST_F(RingletModemTest, DetectReportsDevicesThatAreNoModem) {
  TFakeModem silent;
  const std::string link = FDir + "/ttyFAKE2";
  std::ofstream(FDir + "/silent.txt") << "silent\n";
  ASSERT_TRUE(silent.Start({"--link", link, "--script", FDir + "/silent.txt"}, false));
  ASSERT_TRUE(silent.Process().WaitStderr("silent: no more answers"));
  TChildProcess detect;
  EXPECT_EQ(Run({"detect", "--no-scan", "--timeout", "200", link, FDir + "/nothing-here"}, detect),
            1);
  EXPECT_NE(detect.Stdout().find(link + ": no modem (no answer to AT)"), std::string::npos)
      << detect.Stdout();
  EXPECT_NE(detect.Stdout().find("nothing-here: no modem"), std::string::npos);
  EXPECT_NE(detect.Stdout().find("no modem found"), std::string::npos);
  EXPECT_TRUE(ReadConfig().empty());

  TChildProcess bad;
  EXPECT_EQ(Run({"detect", "--timeout", "soon"}, bad), 2);
  TChildProcess unknown;
  EXPECT_EQ(Run({"frobnicate"}, unknown), 2);
}

// A user outside the devices' group is told why nothing could be probed and how to fix it.
TEST_F(RingletModemTest, DetectAsAUserOutsideTheDevicesGroupSaysHowToJoinIt) {
  if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0)
    GTEST_SKIP() << "needs root and setpriv to run ringlet-modem as an unprivileged user";
  ASSERT_EQ(chmod(FDir.c_str(), 0755), 0);
  const group* dialout = getgrnam("dialout");
  const gid_t gid = dialout ? dialout->gr_gid : 20;
  const std::string name = dialout ? "dialout" : "20";
  const std::vector<std::string> devices = {FDir + "/ttyACM0", FDir + "/ttyACM1"};
  for (const std::string& device : devices) {
    std::ofstream(device) << "";
    ASSERT_EQ(chown(device.c_str(), 0, gid), 0);
    ASSERT_EQ(chmod(device.c_str(), 0660), 0);
  }
  TChildProcess detect;
  ASSERT_TRUE(detect.Start("/usr/bin/setpriv",
                           {"--reuid=65534", "--regid=65534", "--clear-groups", RingletModemPath(),
                            "detect", "--no-scan", devices[0], devices[1]},
                           Env()));
  EXPECT_EQ(detect.Wait(), 1) << detect.Stderr();
  EXPECT_NE(detect.Stdout().find(devices[0] + ": no modem (not allowed to open it)"),
            std::string::npos)
      << detect.Stdout();
  EXPECT_EQ(detect.Stdout().find("in use by another program"), std::string::npos);
  EXPECT_NE(detect.Stderr().find("You may not use the modem " + devices[0] +
                                 ": it belongs to "
                                 "the group \"" +
                                 name + "\""),
            std::string::npos)
      << detect.Stderr();
  EXPECT_NE(detect.Stderr().find("sudo usermod -aG " + name + " $USER"), std::string::npos);
  EXPECT_NE(detect.Stderr().find("(and 1 more device alike)"), std::string::npos) << "said once";
}

TEST_F(RingletModemTest, ListShowsTheServicesLines) {
  WriteConfig("[LineA]\nName=Front desk\nDevice=/dev/ttyNOSUCH1\n"
              "[Other]\nName=not a line\n"
              "[LineB]\nName=Back office\nDevice=/dev/ttyNOSUCH2\n");
  TChildProcess list;
  ASSERT_EQ(Run({"list"}, list), 0) << list.Stderr();
  EXPECT_EQ(list.Stdout(), "0  Front desk  (data modem)\n1  Back office  (data modem)\n");

  WriteConfig("");
  TChildProcess none;
  ASSERT_EQ(Run({"list"}, none), 0);
  EXPECT_EQ(none.Stdout(), "no lines configured\n");
}

// Rows as watch prints them, the time stamp checked for its form ("dd/mm/yyyy  hh:mm:ss  ").
std::vector<std::string> Rows(const std::string& out) {
  const std::string form = "99/99/9999  99:99:99  ";
  std::vector<std::string> rows;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    bool ok = line.size() >= form.size();
    for (std::size_t i = 0; ok && i < form.size(); ++i)
      ok = form[i] == '9' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0
                          : line[i] == form[i];
    rows.push_back(ok ? line.substr(form.size()) : "MALFORMED " + line);
  }
  return rows;
}

TEST_F(RingletModemTest, WatchPrintsOneRowPerCall) {
  TFakeModem modem;
  const std::string link = FDir + "/ttyFAKE3";
  ASSERT_TRUE(modem.Start({"--link", link, "--ring-spacing", "300"}, false));
  WriteConfig("[Line1]\nName=Fake line\nDevice=" + link + "\nRingTimeout=1\n");

  TChildProcess watch;
  ASSERT_TRUE(watch.Start(RingletModemPath(), {"watch"}, Env()));
  ASSERT_TRUE(watch.WaitStderr("watching line 0")) << watch.Stderr();
  // Each call ends (no ring for RingTimeout) before the next begins.
  modem.Process().Send(R"(call 4075551212 "Chmielewski Joh" rings=2)");
  modem.Process().Send("sleep 2500");
  modem.Process().Send("private rings=2");
  modem.Process().Send("sleep 2500");
  modem.Process().Send("outofarea rings=1 cidfirst");
  modem.Process().Send("sleep 2500");
  modem.Process().Send("nocid rings=1");
  const std::vector<std::string> expected = {
      "4075551212  Chmielewski Joh", "Caller ID Blocked  Caller ID Blocked",
      "Out of Area Call  Out of Area Call", "(no caller ID)  "};
  EXPECT_TRUE(
      watch.WaitFor([&] { return Rows(watch.Stdout()).size() >= expected.size(); }, {}, 30000))
      << watch.Stdout() << watch.Stderr();
  EXPECT_EQ(Rows(watch.Stdout()), expected);

  EXPECT_EQ(watch.Terminate(), 0) << "SIGTERM is a normal end";
}

TEST_F(RingletModemTest, WatchReopensALineWhoseDeviceCameBack) {
  const std::string link = FDir + "/ttyFAKE4";
  WriteConfig("[Line1]\nName=Fake line\nDevice=" + link + "\nRingTimeout=1\n");
  auto first = std::make_unique<TFakeModem>();
  ASSERT_TRUE(first->Start({"--link", link, "--ring-spacing", "300"}, false));
  TChildProcess watch;
  ASSERT_TRUE(watch.Start(RingletModemPath(), {"watch"}, Env()));
  ASSERT_TRUE(watch.WaitStderr("watching line 0")) << watch.Stderr();
  first->Process().Send("vanish");
  ASSERT_EQ(first->Process().Wait(), 0);
  ASSERT_TRUE(watch.WaitStderr("closed; reopening")) << watch.Stderr();

  // The device comes back under the same name: watch takes it up again by itself.
  TFakeModem second;
  ASSERT_TRUE(second.Start({"--link", link, "--ring-spacing", "300"}, false));
  auto opened = [&] {
    std::size_t n = 0;
    for (std::size_t at = 0; (at = watch.Stderr().find("watching line 0", at)) != std::string::npos;
         ++at)
      ++n;
    return n;
  };
  ASSERT_TRUE(watch.WaitFor([&] { return opened() == 2; }, {}, 30000)) << watch.Stderr();
  second.Process().Send(R"(call 3125550147 "Okafor Grace" rings=2)");
  EXPECT_TRUE(watch.WaitFor([&] { return !Rows(watch.Stdout()).empty(); }, {}, 30000))
      << watch.Stderr();
  EXPECT_EQ(Rows(watch.Stdout()), std::vector<std::string>{"3125550147  Okafor Grace"});
  EXPECT_EQ(watch.Terminate(), 0);
}

} // namespace
