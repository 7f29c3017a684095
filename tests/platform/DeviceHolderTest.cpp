// Who holds a device, on real pseudo-terminals: another process with a descriptor of it, this
// process with a descriptor whose purpose was noted (through a serial device that opened it),
// a live process that only the lock file names, and nobody.
#include "platform/DeviceHolder.h"

#include "PtyTestSupport.h"
#include "platform/SerialDevice.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using PtyTest::TPty;

// A child that keeps Path open (when given) until it is killed; its pid.
pid_t Holder(const std::string& Path) {
  int Ready[2];
  if (pipe(Ready) != 0)
    return -1;
  const pid_t Pid = fork();
  if (Pid == 0) {
    if (!Path.empty() && open(Path.c_str(), O_RDWR | O_NOCTTY) < 0)
      _exit(1);
    const char One = '1';
    [[maybe_unused]] const ssize_t Told = write(Ready[1], &One, 1);
    pause();
    _exit(0);
  }
  close(Ready[1]);
  char Got = 0;
  [[maybe_unused]] const ssize_t Heard = read(Ready[0], &Got, 1);
  close(Ready[0]);
  return Pid;
}

void Stop(pid_t Pid) {
  kill(Pid, SIGKILL);
  waitpid(Pid, nullptr, 0);
}

std::string NameOf(pid_t Pid) {
  std::ifstream In("/proc/" + std::to_string(Pid) + "/comm");
  std::string Name;
  std::getline(In, Name);
  return Name;
}

class DeviceHolderTest : public ::testing::Test {
protected:
  void SetUp() override {
    char Folder[] = "/tmp/ringlet-holder-XXXXXX";
    ASSERT_NE(mkdtemp(Folder), nullptr);
    LockDir = Folder;
    setenv("RINGLET_LOCK_DIR", LockDir.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("RINGLET_LOCK_DIR");
    std::system(("rm -rf '" + LockDir + "'").c_str());
  }
  std::string LockDir;
};

TEST_F(DeviceHolderTest, NobodyHoldsAFreshDeviceAndAPathThatIsNoDeviceHasNoHolders) {
  TPty Pty;
  EXPECT_EQ(Platform::DescribeDeviceHolders(Pty.SlavePath), "");
  EXPECT_EQ(Platform::DescribeDeviceHolders(LockDir), "");
  EXPECT_EQ(Platform::DescribeDeviceHolders(LockDir + "/none"), "");
}

TEST_F(DeviceHolderTest, AnotherProcessIsNamedWithItsPid) {
  TPty Pty;
  const pid_t Pid = Holder(Pty.SlavePath);
  ASSERT_GT(Pid, 0);
  EXPECT_EQ(Platform::DescribeDeviceHolders(Pty.SlavePath),
            "held by process " + std::to_string(Pid) + " (" + NameOf(Pid) + ")");
  Stop(Pid);
  EXPECT_EQ(Platform::DescribeDeviceHolders(Pty.SlavePath), "");
}

TEST_F(DeviceHolderTest, ThisProcessSaysWhatItsDescriptorIsFor) {
  TPty Pty;
  Platform::TSerialDevice Device;
  Device.SetPurpose("the serial port of an answered call");
  ASSERT_TRUE(Device.Open(Pty.SlavePath));
  const std::string Descriptor = std::to_string(Device.Handle());
  EXPECT_EQ(Platform::DescribeDeviceHolders(Pty.SlavePath),
            "held by this process (the serial port of an answered call, descriptor " + Descriptor +
                ")");
  // A plain descriptor of ours beside it, with nothing noted.
  const int Plain = open(Pty.SlavePath.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
  if (Plain >= 0) { // TIOCEXCL keeps others out; root passes it
    EXPECT_NE(
        Platform::DescribeDeviceHolders(Pty.SlavePath).find("descriptor " + std::to_string(Plain)),
        std::string::npos);
    close(Plain);
  }
  Device.Close();
  EXPECT_EQ(Platform::DescribeDeviceHolders(Pty.SlavePath), "");
}

TEST_F(DeviceHolderTest, ANoteNeverPassesToAnotherFileUnderTheSameNumber) {
  TPty First, Second;
  const int Fd = open(First.SlavePath.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(Fd, 0);
  Platform::NoteDescriptorPurpose(Fd, "the telephony line \"Kitchen\"");
  close(Fd); // without forgetting the note
  const int Reused = open(Second.SlavePath.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(Reused, Fd) << "the lowest free number is taken again";
  EXPECT_EQ(Platform::DescribeDeviceHolders(Second.SlavePath),
            "held by this process (descriptor " + std::to_string(Reused) + ")");
  close(Reused);
}

TEST_F(DeviceHolderTest, ALiveProcessThatOnlyTheLockFileNamesIsTold) {
  TPty Pty;
  const pid_t Pid = Holder("");
  ASSERT_GT(Pid, 0);
  const std::string Lock = LockDir + "/LCK.." + Pty.SlavePath.substr(5).replace(3, 1, "_");
  std::ofstream(Lock) << "      " << Pid << "\n";
  EXPECT_EQ(Platform::DescribeDeviceHolders(Pty.SlavePath),
            "locked by process " + std::to_string(Pid) + " (" + NameOf(Pid) + ")");
  Stop(Pid);
  EXPECT_EQ(Platform::DescribeDeviceHolders(Pty.SlavePath), "") << "a stale lock holds nothing";
}

} // namespace
