// The device layers over real pseudo-terminals: opening by port name through the port table,
// the handed-over descriptor of the line device, a device that goes away, and the pending
// output count that comes from the dispatcher's own ring.
#include "DispatcherTestSupport.h"

#include "common/AdExcept.h"
#include "platform/LastError.h"

#include <cstdio>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

using namespace DispatcherTest;

namespace {

class DeviceLayerTest : public testing::Test {
protected:
  void SetUp() override { ASSERT_FALSE(Pty.SlavePath.empty()); }

  static std::string Take(TApdBaseDispatcher& D, uint32_t Count) {
    std::string Got(Count, '\0');
    Got.resize(D.GetBlock(Got.data(), Count));
    return Got;
  }

  TNoLockFiles NoLocks;
  TPty Pty;
};

TEST_F(DeviceLayerTest, PortNamesMapToDevicesThroughThePortTable) {
  char Folder[] = "/tmp/ringlet-awwin32-XXXXXX";
  ASSERT_NE(mkdtemp(Folder), nullptr);
  const std::string Table = std::string(Folder) + "/ports.ini";
  std::ofstream(Table) << "[Ports]\nCOM77=" << Pty.SlavePath << "\nCOM78=\n";
  setenv("RINGLET_PORTS_FILE", Table.c_str(), 1);

  {
    TApdWin32Dispatcher D(nullptr);
    ASSERT_EQ(D.OpenPort("\\\\.\\COM77", 9600, 0, 8, 1, 4096, 4096, 0), 0);
    Pty.Send("via table");
    ASSERT_TRUE(PumpUntil([&] { return D.InputUsed() == 9; }));
    EXPECT_EQ(Take(D, 9), "via table");
    D.ClosePort();
    ASSERT_EQ(D.OpenPort("COM77", 9600, 0, 8, 1, 4096, 4096, 0), 0);
  }
  {
    // A number the table takes out has no device.
    TApdWin32Dispatcher D(nullptr);
    EXPECT_EQ(D.OpenPort("\\\\.\\COM78", 9600, 0, 8, 1, 4096, 4096, 0),
              -static_cast<int32_t>(Platform::errFileNotFound));
    EXPECT_FALSE(D.ThreadsRunning());
  }
  unsetenv("RINGLET_PORTS_FILE");
  std::remove(Table.c_str());
  rmdir(Folder);
}

TEST_F(DeviceLayerTest, HandedOverDescriptorIsUsedAndClosedWithThePort) {
  const int Fd = open(Pty.SlavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(Fd, 0);
  auto D = std::make_unique<TApdTAPI32Dispatcher>(nullptr, Fd);
  EXPECT_EQ(D->DeviceHandle(), Fd);
  ASSERT_EQ(D->OpenPort(nullptr, 9600, 0, 8, 1, 4096, 4096, opDtrLevel), 0);
  EXPECT_EQ(D->DeviceHandle(), Fd);
  EXPECT_TRUE(D->ThreadsRunning());

  Pty.Send("RING\r\n");
  ASSERT_TRUE(PumpUntil([&] { return D->InputUsed() == 6; }));
  EXPECT_EQ(Take(*D, 6), "RING\r\n");
  ASSERT_EQ(D->PutBlock("ATA\r", 4), 4);
  EXPECT_EQ(Pty.Receive(4), "ATA\r");

  D->ClosePort();
  EXPECT_LT(D->DeviceHandle(), 0);
  EXPECT_FALSE(D->ThreadsRunning());
  errno = 0;
  EXPECT_EQ(fcntl(Fd, F_GETFD), -1); // closed with the port
  EXPECT_EQ(errno, EBADF);
}

TEST_F(DeviceLayerTest, MissingHandedOverDescriptorFailsWith2007) {
  TApdTAPI32Dispatcher D(nullptr, -1);
  EXPECT_EQ(D.OpenPort(nullptr, 9600, 0, 8, 1, 4096, 4096, 0), ecCommNotOpen);
  EXPECT_EQ(Platform::GetLastError(), 2007u);
  EXPECT_FALSE(D.ThreadsRunning());
  EXPECT_EQ(D.LiveThreads(), 0);
}

TEST_F(DeviceLayerTest, PendingOutputIsTheDispatchersOwnRing) {
  TProbeDispatcher D;
  ASSERT_EQ(D.OpenPort(Pty.SlavePath.c_str(), 9600, 0, 8, 1, 4096, 700, 0), 0);
  D.Allow(0);
  ASSERT_EQ(D.PutBlock(Pattern(300).data(), 300), 300);
  EXPECT_EQ(D.OutputUsed(), 300u); // nothing has reached the driver
  EXPECT_EQ(D.OutputFree(), 400u);
  // Exactly the room to the end of the ring brings its head back to the start.
  ASSERT_EQ(D.PutBlock(Pattern(400, 9).data(), 400), 400);
  uint32_t Head, Tail;
  bool Full;
  D.OutputIndices(Head, Tail, Full);
  EXPECT_EQ(Head, 0u);
  EXPECT_EQ(Tail, 0u);
  EXPECT_TRUE(Full);
  EXPECT_EQ(D.OutputUsed(), 700u);
  D.Allow(-1);
  EXPECT_EQ(Pty.Receive(700), Pattern(300) + Pattern(400, 9));
  ASSERT_TRUE(PumpUntil([&] { return D.OutputUsed() == 0; }));
}

TEST_F(DeviceLayerTest, VanishedDeviceEndsTheCommThreadAndStillCloses) {
  TApdWin32Dispatcher D(nullptr);
  ASSERT_EQ(D.OpenPort(Pty.SlavePath.c_str(), 9600, 0, 8, 1, 4096, 4096, 0), 0);
  Pty.Send("last");
  ASSERT_TRUE(PumpUntil([&] { return D.InputUsed() == 4; }));
  Pty.CloseMaster();
  // The comm thread's wait fails for good; the other two keep serving until the close.
  ASSERT_TRUE(PumpUntil([&] { return D.LiveThreads() == 2; }));
  EXPECT_EQ(Take(D, 4), "last");
  EXPECT_EQ(D.PutBlock("lost", 4), 4); // dropped by the output thread, never spun on
  ASSERT_TRUE(PumpUntil([&] { return D.OutputUsed() == 0; }));
  D.ClosePort();
  EXPECT_EQ(D.LiveThreads(), 0);
  EXPECT_FALSE(D.ThreadsRunning());
}

TEST_F(DeviceLayerTest, APortReopenedAgainAndAgainReceivesEveryTime) {
  // The close's stop sequence cancels the comm thread's wait, sometimes after the device is
  // closed; that cancel once ended the first wait of the next open, and its comm thread with
  // it: the reopened port received nothing. Bytes sent at once after every reopen arrive.
  TApdWin32Dispatcher D(nullptr);
  for (int Round = 0; Round < 20; ++Round) {
    ASSERT_EQ(D.OpenPort(Pty.SlavePath.c_str(), 9600, 0, 8, 1, 4096, 4096, 0), 0) << Round;
    const std::string Text = "round " + std::to_string(Round);
    Pty.Send(Text);
    ASSERT_TRUE(PumpUntil([&] { return D.InputUsed() == Text.size(); })) << Round;
    EXPECT_EQ(Take(D, static_cast<uint32_t>(Text.size())), Text);
    D.ClosePort();
  }
}

TEST_F(DeviceLayerTest, ReopeningAndDestroyingAPortAgainAndAgainNeverHangs) {
  // A comm thread whose first wait ends at once (a close right after the open cancels it) once
  // counted itself the last worker before the other two had started; the dispatcher then
  // counted as stopped, the close left those two running and destroying it waited for ever.
  // The rounds run in a child, so that such a hang fails the test instead of holding it.
  const pid_t Child = ::fork();
  ASSERT_GE(Child, 0);
  if (Child == 0) {
    // Bounded in rounds and in time: a sanitizer build runs fewer rounds, not past the limit.
    const auto Stop = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    for (int Round = 0; Round < 200 && std::chrono::steady_clock::now() < Stop; ++Round) {
      TApdWin32Dispatcher D(nullptr);
      if (D.OpenPort(Pty.SlavePath.c_str(), 9600, 0, 8, 1, 4096, 4096, 0) != 0)
        std::_Exit(2);
      D.ClosePort();
      if (D.OpenPort(Pty.SlavePath.c_str(), 9600, 0, 8, 1, 4096, 4096, 0) != 0)
        std::_Exit(2);
    }
    std::_Exit(0);
  }
  int Status = 0;
  const bool Ended = ChildEndsWithin(Child, 60000, Status);
  ASSERT_TRUE(Ended) << "destroying a reopened port never ended";
  ASSERT_TRUE(WIFEXITED(Status)) << Status;
  EXPECT_EQ(0, WEXITSTATUS(Status)) << "a reopen failed";
}

} // namespace
