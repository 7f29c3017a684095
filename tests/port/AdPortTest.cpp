// The first cut of the port component: defaults, opening on a handed-over descriptor of a
// real pseudo-terminal, ownership of that descriptor, the purges, loading, FindComPort.
#include "port/AdPort.h"

#include "common/AdExcept.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace {

// A raw pseudo-terminal pair; the test closes what the port does not own.
struct TPty {
  TPty() {
    termios Raw{};
    cfmakeraw(&Raw);
    if (openpty(&Master, &Slave, nullptr, &Raw, nullptr) != 0)
      Master = Slave = -1;
  }
  ~TPty() {
    if (Master >= 0)
      ::close(Master);
    if (Slave >= 0 && IsOpen(Slave))
      ::close(Slave);
  }
  static bool IsOpen(int Fd) { return ::fcntl(Fd, F_GETFD) != -1 || errno != EBADF; }
  int Master = -1;
  int Slave = -1;
};

// Whether Fd becomes readable within TimeoutMs (an upper bound, not a measurement).
bool Readable(int Fd, int TimeoutMs) {
  pollfd Poll{Fd, POLLIN, 0};
  return ::poll(&Poll, 1, TimeoutMs) == 1 && (Poll.revents & POLLIN) != 0;
}

class TOwner : public TComponent {
public:
  using TComponent::TComponent;
};

TEST(AdPortTest, DefaultsOfAFreshPort) {
  TApdComPort Port;
  EXPECT_EQ(tmAuto, Port.TapiMode());
  EXPECT_EQ(-1, Port.TapiHandle());
  EXPECT_TRUE(Port.AutoOpen());
  EXPECT_FALSE(Port.Open());
  EXPECT_EQ(0, Port.ComNumber());
  EXPECT_EQ(-1, Port.DeviceHandle());
  EXPECT_EQ("", Port.DispatcherDeviceName());
  Port.SetDispatcherDeviceName("ignored while closed");
  EXPECT_EQ("", Port.DispatcherDeviceName());
}

TEST(AdPortTest, OpeningWithoutWhatTheModeNeedsRaises) {
  TApdComPort Port;
  Port.SetTapiMode(tmOn);
  try {
    Port.SetOpen(true);
    FAIL() << "opened without a TAPI handle";
  } catch (const ENotOpenedByTapi& E) {
    EXPECT_EQ(ecNotOpenedByTapi, E.ErrorCode());
  }
  EXPECT_FALSE(Port.Open());

  Port.SetTapiMode(tmAuto);
  try {
    Port.SetOpen(true);
    FAIL() << "opened without a port number";
  } catch (const ENoPortSelected& E) {
    EXPECT_EQ(ecNoPortSelected, E.ErrorCode());
  }
  EXPECT_FALSE(Port.Open());
}

TEST(AdPortTest, TapiHandleIsTakenOwnedAndClosedWithThePort) {
  TPty Pty;
  ASSERT_GE(Pty.Slave, 0);
  TApdComPort Port;
  Port.SetTapiMode(tmOn);
  Port.SetTapiHandle(Pty.Slave);
  Port.SetOpen(true);
  ASSERT_TRUE(Port.Open());
  EXPECT_EQ(Pty.Slave, Port.DeviceHandle());
  EXPECT_EQ("COM0", Port.DispatcherDeviceName());
  Port.SetDispatcherDeviceName("Modem A");
  EXPECT_EQ("Modem A", Port.DispatcherDeviceName());
  Port.SetOpen(true); // already open: nothing changes
  EXPECT_EQ("Modem A", Port.DispatcherDeviceName());

  Port.SetOpen(false);
  EXPECT_FALSE(Port.Open());
  EXPECT_FALSE(TPty::IsOpen(Pty.Slave));
  EXPECT_EQ(-1, Port.TapiHandle()); // never taken twice
  EXPECT_EQ(-1, Port.DeviceHandle());
  EXPECT_EQ("", Port.DispatcherDeviceName());
  EXPECT_THROW(Port.SetOpen(true), ENotOpenedByTapi);
}

TEST(AdPortTest, DestroyingAnOpenPortClosesItsHandle) {
  TPty Pty;
  ASSERT_GE(Pty.Slave, 0);
  auto Owner = std::make_unique<TOwner>();
  auto* Port = CreateComponent<TApdComPort>(Owner.get());
  Port->SetTapiMode(tmOn);
  Port->SetTapiHandle(Pty.Slave);
  Port->SetOpen(true);
  ASSERT_TRUE(TPty::IsOpen(Pty.Slave));
  Owner.reset();
  EXPECT_FALSE(TPty::IsOpen(Pty.Slave));
}

TEST(AdPortTest, FlushInBufferDiscardsPendingInput) {
  TPty Pty;
  ASSERT_GE(Pty.Slave, 0);
  TApdComPort Port;
  Port.SetTapiMode(tmOn);
  Port.SetTapiHandle(Pty.Slave);
  Port.SetOpen(true);
  ASSERT_EQ(3, ::write(Pty.Master, "abc", 3));
  ASSERT_TRUE(Readable(Pty.Slave, 5000));
  Port.FlushInBuffer();
  EXPECT_FALSE(Readable(Pty.Slave, 0));
  // Later input still arrives.
  ASSERT_EQ(1, ::write(Pty.Master, "z", 1));
  ASSERT_TRUE(Readable(Pty.Slave, 5000));
  char Byte = 0;
  EXPECT_EQ(1, ::read(Pty.Slave, &Byte, 1));
  EXPECT_EQ('z', Byte);
}

// A pseudo-terminal shows no effect of an output purge, so this checks that the purge goes to
// the device's output queue and leaves pending input alone.
TEST(AdPortTest, FlushOutBufferLeavesPendingInputAlone) {
  TPty Pty;
  ASSERT_GE(Pty.Slave, 0);
  TApdComPort Port;
  Port.SetTapiMode(tmOn);
  Port.SetTapiHandle(Pty.Slave);
  Port.SetOpen(true);
  ASSERT_EQ(3, ::write(Pty.Master, "abc", 3));
  ASSERT_TRUE(Readable(Pty.Slave, 5000));
  Port.FlushOutBuffer();
  ASSERT_TRUE(Readable(Pty.Slave, 0));
  char Bytes[4] = {};
  EXPECT_EQ(3, ::read(Pty.Slave, Bytes, sizeof Bytes));
  EXPECT_STREQ("abc", Bytes);
}

TEST(AdPortTest, FlushOnAClosedPortOpensItOnlyWithAutoOpen) {
  TPty Pty;
  ASSERT_GE(Pty.Slave, 0);
  TApdComPort Port;
  Port.SetTapiMode(tmOn);
  Port.SetTapiHandle(Pty.Slave);
  Port.SetAutoOpen(false);
  try {
    Port.FlushInBuffer();
    FAIL() << "flushed a closed port";
  } catch (const ECommNotOpen& E) {
    EXPECT_EQ(ecCommNotOpen, E.ErrorCode());
  }
  EXPECT_FALSE(Port.Open());
  Port.SetAutoOpen(true);
  Port.FlushOutBuffer();
  EXPECT_TRUE(Port.Open());
  EXPECT_EQ(Pty.Slave, Port.DeviceHandle());
}

TEST(AdPortTest, FlushOfADeviceThatIsNoTerminalRaises) {
  int Pipe[2];
  ASSERT_EQ(0, ::pipe(Pipe));
  TApdComPort Port;
  Port.SetTapiMode(tmOn);
  Port.SetTapiHandle(Pipe[0]);
  Port.SetOpen(true);
  EXPECT_THROW(Port.FlushInBuffer(), Exception);
  EXPECT_THROW(Port.FlushOutBuffer(), Exception);
  EXPECT_TRUE(Port.Open());
  Port.SetOpen(false);
  EXPECT_FALSE(TPty::IsOpen(Pipe[0]));
  ::close(Pipe[1]);
}

TEST(AdPortTest, OpenWhileLoadingWaitsForLoaded) {
  TPty Pty;
  ASSERT_GE(Pty.Slave, 0);
  TOwner Owner;
  Owner.BeginLoading();
  auto* Port = CreateComponent<TApdComPort>(&Owner);
  Port->SetTapiMode(tmOn);
  Port->SetOpen(true); // no handle yet: nothing is raised while loading
  EXPECT_FALSE(Port->Open());
  Port->SetTapiHandle(Pty.Slave);
  EXPECT_NO_THROW(Port->FlushInBuffer()); // loading: neither opens nor raises
  EXPECT_FALSE(Port->Open());
  Owner.EndLoading();
  EXPECT_TRUE(Port->Open());
  EXPECT_EQ(Pty.Slave, Port->DeviceHandle());
}

TEST(AdPortTest, ChangingComNumberOfAnOpenPortReopensIt) {
  TApdComPort Port;
  Port.SetTapiMode(tmOff);
  Port.SetComNumber(3);
  Port.SetOpen(true);
  ASSERT_TRUE(Port.Open());
  EXPECT_EQ("COM3", Port.DispatcherDeviceName());
  Port.SetDispatcherDeviceName("renamed");
  Port.SetComNumber(12);
  EXPECT_TRUE(Port.Open());
  EXPECT_EQ(12, Port.ComNumber());
  EXPECT_EQ("COM12", Port.DispatcherDeviceName());
  Port.FlushInBuffer(); // no device behind it yet: nothing to discard, nothing raised
}

TEST(AdPortTest, FindComPortSearchesDepthFirstAndKeepsANestedPort) {
  TOwner Form;
  EXPECT_EQ(nullptr, FindComPort(&Form));
  EXPECT_EQ(nullptr, FindComPort(nullptr));

  auto* Panel = CreateComponent<TOwner>(&Form);
  auto* Empty = CreateComponent<TOwner>(Panel);
  auto* Inner = CreateComponent<TOwner>(Panel);
  auto* Nested = CreateComponent<TApdComPort>(Inner);
  auto* After = CreateComponent<TOwner>(&Form);
  auto* Direct = CreateComponent<TApdComPort>(&Form);
  (void)Empty;
  (void)After;
  // The port inside Panel comes first in depth-first order, and later siblings (one of them
  // a port owned by the form itself) do not replace it.
  EXPECT_EQ(Nested, FindComPort(&Form));
  EXPECT_EQ(Nested, FindComPort(Panel));

  Nested->Free();
  EXPECT_EQ(Direct, FindComPort(&Form));
  EXPECT_EQ(nullptr, FindComPort(Panel));
}

} // namespace
