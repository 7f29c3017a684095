// The port table: defaults, the user's ports.ini and its path rule, and port names.
#include "platform/PortTable.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <unistd.h>

using namespace Platform;

namespace {

// Sets an environment variable for one test and puts the old value back afterwards.
class TEnvSetting {
public:
  TEnvSetting(const char* name, const char* value) : FName(name) {
    if (const char* old = std::getenv(name)) {
      FOld = old;
    }
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~TEnvSetting() {
    if (FOld) {
      setenv(FName, FOld->c_str(), 1);
    } else {
      unsetenv(FName);
    }
  }

private:
  const char* FName;
  std::optional<std::string> FOld;
};

class PortTableTest : public testing::Test {
protected:
  void SetUp() override {
    char folder[] = "/tmp/ringlet-ports-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    Folder = folder;
    File = Folder + "/ports.ini";
  }
  void TearDown() override { std::system(("rm -rf '" + Folder + "'").c_str()); }
  void WriteTable(const std::string& text) const { std::ofstream(File) << text; }

  std::string Folder;
  std::string File;
};

} // namespace

TEST_F(PortTableTest, DefaultsCoverBoardAndUsbPorts) {
  TEnvSetting file("RINGLET_PORTS_FILE", (Folder + "/none.ini").c_str());
  EXPECT_EQ(PortDevicePath(1), "/dev/ttyS0");
  EXPECT_EQ(PortDevicePath(4), "/dev/ttyS3");
  EXPECT_EQ(PortDevicePath(5), "/dev/ttyUSB0");
  EXPECT_EQ(PortDevicePath(20), "/dev/ttyUSB15");
  EXPECT_EQ(PortDevicePath(21), "/dev/ttyACM0");
  EXPECT_EQ(PortDevicePath(36), "/dev/ttyACM15");
  EXPECT_EQ(PortDevicePath(37), "/dev/ttyS4");
  EXPECT_EQ(PortDevicePath(50), "/dev/ttyS17");
  EXPECT_EQ(PortDevicePath(51), "");
  EXPECT_EQ(PortDevicePath(0), "");
  EXPECT_EQ(PortDevicePath(-3), "");
  // No two numbers share a device.
  for (int a = 1; a <= 50; ++a) {
    for (int b = a + 1; b <= 50; ++b) {
      EXPECT_NE(DefaultPortDevicePath(a), DefaultPortDevicePath(b)) << a << " " << b;
    }
  }
}

TEST_F(PortTableTest, TheFileOverridesNumberByNumber) {
  TEnvSetting file("RINGLET_PORTS_FILE", File.c_str());
  WriteTable("; ports of this machine\n"
             "[Other]\n"
             "COM6=/dev/not-this\n"
             "[ports]\n"
             "# the modem\n"
             "  com3 =  /dev/serial/by-id/usb-modem  \n"
             "COM4=\n"
             "COM60=/dev/ttyXR0\n"
             "COM300=/dev/ignored\n"
             "LPT1=/dev/lp0\n");
  EXPECT_EQ(PortDevicePath(3), "/dev/serial/by-id/usb-modem");
  EXPECT_EQ(PortDevicePath(4), "") << "an empty value takes the number out";
  EXPECT_EQ(PortDevicePath(60), "/dev/ttyXR0") << "beyond the defaults";
  EXPECT_EQ(PortDevicePath(6), "/dev/ttyUSB1") << "other sections do not count";
  EXPECT_EQ(PortDevicePath(1), "/dev/ttyS0");
  EXPECT_EQ(PortDevicePath(300), "");

  // An edit counts at the next look-up.
  WriteTable("[Ports]\nCOM3=/dev/ttyS9\n");
  EXPECT_EQ(PortDevicePath(3), "/dev/ttyS9");
  EXPECT_EQ(PortDevicePath(4), "/dev/ttyS3");
  unlink(File.c_str());
  EXPECT_EQ(PortDevicePath(3), "/dev/ttyS2") << "no file, the defaults";
}

TEST_F(PortTableTest, FilePathRule) {
  {
    TEnvSetting file("RINGLET_PORTS_FILE", File.c_str());
    TEnvSetting config("XDG_CONFIG_HOME", "/somewhere");
    EXPECT_EQ(PortsFilePath(), File);
  }
  TEnvSetting file("RINGLET_PORTS_FILE", nullptr);
  {
    TEnvSetting config("XDG_CONFIG_HOME", Folder.c_str());
    EXPECT_EQ(PortsFilePath(), Folder + "/ringlet/ports.ini");
    ASSERT_EQ(std::system(("mkdir -p '" + Folder + "/ringlet'").c_str()), 0);
    std::ofstream(Folder + "/ringlet/ports.ini") << "[Ports]\nCOM2=/dev/ttyXDG\n";
    EXPECT_EQ(PortDevicePath(2), "/dev/ttyXDG");
  }
  TEnvSetting home("HOME", "/home/someone");
  {
    TEnvSetting config("XDG_CONFIG_HOME", "relative/ignored");
    EXPECT_EQ(PortsFilePath(), "/home/someone/.config/ringlet/ports.ini");
  }
  TEnvSetting config("XDG_CONFIG_HOME", nullptr);
  EXPECT_EQ(PortsFilePath(), "/home/someone/.config/ringlet/ports.ini");
}

TEST_F(PortTableTest, PortNames) {
  EXPECT_EQ(PortNumberFromName("COM12"), 12);
  EXPECT_EQ(PortNumberFromName("com1"), 1);
  EXPECT_EQ(PortNumberFromName("\\\\.\\COM12"), 12);
  EXPECT_EQ(PortNumberFromName("\\\\.\\com256"), 256);
  for (const char* wrong : {"COM", "COM0", "COM012", "COM257", "COM12x", "COM-1", "LPT1", "\\\\.\\",
                            "\\\\?\\COM1", " COM1", "/dev/ttyS0", ""}) {
    EXPECT_EQ(PortNumberFromName(wrong), 0) << wrong;
  }
  TEnvSetting file("RINGLET_PORTS_FILE", File.c_str());
  WriteTable("[Ports]\nCOM7=/dev/ttyFancy\n");
  EXPECT_EQ(DevicePathFromName("\\\\.\\COM7"), "/dev/ttyFancy");
  EXPECT_EQ(DevicePathFromName("COM1"), "/dev/ttyS0");
  EXPECT_EQ(DevicePathFromName("/dev/pts/4"), "/dev/pts/4");
}
