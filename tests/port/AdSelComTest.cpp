// The port probe: real pseudo-terminals named through a ports table file, missing devices,
// a device another opener holds, and the list of ports 1..50.
#include "port/AdSelCom.h"

#include "port/AwUser.h"

#include "platform/SerialDevice.h"

#include <gtest/gtest.h>

#include <pty.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct TPty {
  TPty() {
    termios Raw{};
    cfmakeraw(&Raw);
    char Name[128] = {};
    int Slave = -1;
    if (openpty(&Master, &Slave, Name, &Raw, nullptr) == 0) {
      ::close(Slave); // only the master keeps the pair alive
      Path = Name;
    }
  }
  ~TPty() {
    if (Master >= 0) {
      ::close(Master);
    }
  }
  int Master = -1;
  std::string Path;
};

class AdSelComTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string Pattern = (fs::temp_directory_path() / "adselcom-XXXXXX").string();
    ASSERT_NE(nullptr, ::mkdtemp(Pattern.data()));
    Folder = Pattern;
    if (const char* Old = std::getenv("RINGLET_PORTS_FILE")) {
      OldPortsFile = Old;
    }
    PortsFile = (Folder / "ports.ini").string();
    ::setenv("RINGLET_PORTS_FILE", PortsFile.c_str(), 1);
  }
  void TearDown() override {
    if (OldPortsFile) {
      ::setenv("RINGLET_PORTS_FILE", OldPortsFile->c_str(), 1);
    } else {
      ::unsetenv("RINGLET_PORTS_FILE");
    }
    fs::remove_all(Folder);
  }

  // A table that takes out every default port and names only the given ones.
  void WritePorts(const std::vector<std::pair<int, std::string>>& Ports) {
    std::ofstream Out(PortsFile);
    Out << "[Ports]\n";
    for (int Number = 1; Number <= MaxSelectablePort + 5; ++Number) {
      std::string Path;
      for (auto& Port : Ports) {
        if (Port.first == Number) {
          Path = Port.second;
        }
      }
      Out << "COM" << Number << "=" << Path << "\n";
    }
  }

  fs::path Folder;
  std::string PortsFile;
  std::optional<std::string> OldPortsFile;
};

TEST_F(AdSelComTest, ExistingMissingAndBusyDevices) {
  TPty One, Three, Seven, Beyond;
  ASSERT_FALSE(One.Path.empty());
  ASSERT_FALSE(Three.Path.empty());
  ASSERT_FALSE(Seven.Path.empty());
  ASSERT_FALSE(Beyond.Path.empty());
  std::string NotATerminal = (Folder / "plain-file").string();
  std::ofstream(NotATerminal) << "x";
  WritePorts({{1, One.Path},
              {2, (Folder / "no-such-device").string()},
              {3, Three.Path},
              {4, NotATerminal},
              {7, Seven.Path},
              {51, Beyond.Path}});

  // Port 7 is held by another opener for the whole test.
  Platform::TSerialDevice Holder;
  ASSERT_TRUE(Holder.Open(Seven.Path));

  int32_t Dispatchers = DispatcherListCount();
  EXPECT_FALSE(IsPortAvailable(0));
  EXPECT_FALSE(IsPortAvailable(-3));
  EXPECT_TRUE(IsPortAvailable(1));
  EXPECT_FALSE(IsPortAvailable(2));
  EXPECT_TRUE(IsPortAvailable(3));
  EXPECT_FALSE(IsPortAvailable(4));
  EXPECT_FALSE(IsPortAvailable(5)); // taken out of the table
  EXPECT_TRUE(IsPortAvailable(7));  // in use counts as present
  EXPECT_TRUE(IsPortAvailable(51));
  EXPECT_FALSE(IsPortAvailable(52)); // no default above 50
  // The temporary dispatchers are gone again.
  EXPECT_EQ(Dispatchers, DispatcherListCount());

  // The probe let go of what it opened: the ports open at once.
  Platform::TSerialDevice Device;
  ASSERT_TRUE(Device.Open(One.Path));
  Device.Close();
  ASSERT_TRUE(Device.Open(Three.Path));
  // ... and a port open here is busy for the next probe, yet listed.
  EXPECT_TRUE(IsPortAvailable(3));
  Device.Close();

  EXPECT_EQ((std::vector<std::string>{"COM1", "COM3", "COM7"}), AvailablePorts());
}

TEST_F(AdSelComTest, ListIsEmptyWithoutDevicesAndFollowsTheTable) {
  WritePorts({});
  EXPECT_TRUE(AvailablePorts().empty());

  // The table is read at every probe: a port named later is listed at once, in order.
  TPty Late, Early;
  ASSERT_FALSE(Late.Path.empty());
  ASSERT_FALSE(Early.Path.empty());
  WritePorts({{50, Late.Path}, {12, Early.Path}});
  EXPECT_EQ((std::vector<std::string>{"COM12", "COM50"}), AvailablePorts());
}

} // namespace
