// TSerialDevice over real pseudo-terminals: the test holds the master and plays the far end.
#include "platform/SerialDevice.h"
#include "platform/LastError.h"
#include "platform/SerialDeviceDetail.h"
#include "tests/platform/PtyTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace Platform;

namespace {

// Generous upper bound for anything the test waits for; never a measure of speed.
constexpr int PatienceMs = 10000;

using PtyTest::TPty;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool Exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

// A child process that lives until killed, to own a lock file.
pid_t StartSleeper() {
  const pid_t child = fork();
  if (child == 0) {
    for (;;) {
      pause();
    }
  }
  return child;
}

void StopChild(pid_t child) {
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}

// Reads what the device has until `count` bytes came, waiting for input between reads.
std::string DrainDevice(TSerialDevice& device, size_t count) {
  std::string got;
  uint32_t events = 0;
  while (got.size() < count) {
    char buffer[4096];
    const int n = device.Read(buffer, sizeof buffer);
    if (n < 0) {
      break;
    }
    if (n > 0) {
      got.append(buffer, static_cast<size_t>(n));
    } else if (device.WaitEvent(seRxChar, events, PatienceMs) != swEvents) {
      break;
    }
  }
  return got;
}

class SerialDeviceTest : public testing::Test {
protected:
  void SetUp() override {
    char folder[] = "/tmp/ringlet-serial-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    LockDir = folder;
    setenv("RINGLET_LOCK_DIR", LockDir.c_str(), 1);
    ASSERT_FALSE(Pty.SlavePath.empty());
    std::string name = Pty.SlavePath.substr(5); // "pts/3" is locked as "pts_3"
    std::replace(name.begin(), name.end(), '/', '_');
    LockFile = LockDir + "/LCK.." + name;
  }
  void TearDown() override {
    unsetenv("RINGLET_LOCK_DIR");
    std::string command = "rm -rf '" + LockDir + "'";
    std::system(command.c_str());
  }

  void WriteLock(const std::string& text) const { std::ofstream(LockFile) << text; }

  TPty Pty;
  std::string LockDir;
  std::string LockFile;
};

} // namespace

TEST_F(SerialDeviceTest, OpenGoesRawAndCloseRestoresTheSettings) {
  // A second descriptor of our own keeps the tty, and lets us look at its settings.
  const int probe = open(Pty.SlavePath.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(probe, 0);
  termios before{};
  tcgetattr(probe, &before);
  before.c_lflag |= ICANON | ECHO;
  before.c_iflag |= ICRNL | IXON;
  cfsetspeed(&before, B1200);
  ASSERT_EQ(tcsetattr(probe, TCSANOW, &before), 0);

  TSerialDevice device;
  ASSERT_TRUE(device.Open(Pty.SlavePath)) << GetLastError();
  EXPECT_TRUE(device.IsOpen());
  EXPECT_EQ(device.Path(), Pty.SlavePath);
  EXPECT_EQ(fcntl(device.Handle(), F_GETFL) & O_NONBLOCK, O_NONBLOCK);
  termios during{};
  tcgetattr(probe, &during);
  EXPECT_EQ(during.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(during.c_iflag & (ICRNL | IXON), 0u);
  EXPECT_EQ(during.c_oflag & OPOST, 0u);
  EXPECT_EQ(during.c_cc[VMIN], 1);
  EXPECT_EQ(cfgetospeed(&during), static_cast<speed_t>(B1200)) << "the rate is kept";

  // The lock file: our pid as ten characters, right-aligned, and a newline.
  char expected[16];
  std::snprintf(expected, sizeof expected, "%10d\n", static_cast<int>(getpid()));
  EXPECT_EQ(ReadFile(LockFile), expected);

  device.Close();
  EXPECT_FALSE(device.IsOpen());
  EXPECT_EQ(device.Handle(), -1);
  EXPECT_FALSE(Exists(LockFile));
  termios after{};
  tcgetattr(probe, &after);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
  close(probe);

  // Closed means closed: calls fail instead of touching a stale descriptor.
  char byte = 0;
  EXPECT_EQ(device.Read(&byte, 1), -1);
  EXPECT_EQ(GetLastError(), errInvalidHandle);
  device.Close(); // twice is harmless
  ASSERT_TRUE(device.Open(Pty.SlavePath)) << "reopening after close";
}

TEST_F(SerialDeviceTest, SecondOpenerIsRefusedEvenAsRoot) {
  TSerialDevice first;
  ASSERT_TRUE(first.Open(Pty.SlavePath));
  EXPECT_FALSE(first.Open(Pty.SlavePath));
  EXPECT_EQ(GetLastError(), errBusy);

  TSerialDevice second;
  EXPECT_FALSE(second.Open(Pty.SlavePath));
  EXPECT_EQ(GetLastError(), errAccessDenied);
  EXPECT_FALSE(second.IsOpen());
  EXPECT_TRUE(Exists(LockFile)) << "the refused opener must not remove the holder's lock";

  // Another process is refused the same way.
  const pid_t child = fork();
  if (child == 0) {
    TSerialDevice other;
    _exit(other.Open(Pty.SlavePath) ? 0 : static_cast<int>(GetLastError()));
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(errAccessDenied));

  first.Close();
  EXPECT_TRUE(second.Open(Pty.SlavePath)) << "free again after the first closed";
}

TEST_F(SerialDeviceTest, LockFilesOfOthers) {
  // A live owner refuses us and keeps its lock.
  const pid_t owner = StartSleeper();
  char text[16];
  std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(owner));
  WriteLock(text);
  TSerialDevice device;
  EXPECT_FALSE(device.Open(Pty.SlavePath));
  EXPECT_EQ(GetLastError(), errAccessDenied);
  EXPECT_EQ(ReadFile(LockFile), text);

  // Once the owner is gone, its lock is stale and ours replaces it.
  StopChild(owner);
  ASSERT_TRUE(device.Open(Pty.SlavePath)) << GetLastError();
  EXPECT_EQ(std::atoi(ReadFile(LockFile).c_str()), static_cast<int>(getpid()));
  device.Close();
  EXPECT_FALSE(Exists(LockFile));

  // A lock naming no process at all is stale too.
  WriteLock("garbage\n");
  ASSERT_TRUE(device.Open(Pty.SlavePath));
  EXPECT_EQ(std::atoi(ReadFile(LockFile).c_str()), static_cast<int>(getpid()));
  device.Close();

  // No temporary files are left behind in the lock folder.
  EXPECT_EQ(std::system(("test -z \"$(ls -A '" + LockDir + "')\"").c_str()), 0);
}

TEST_F(SerialDeviceTest, LineSettingsRoundTrip) {
  TSerialDevice device;
  ASSERT_TRUE(device.Open(Pty.SlavePath));

  // A pty keeps rate, stop bits, flow control and the flow characters; the rest is ours.
  TLineSettings plain;
  plain.Baud = 115200;
  TLineSettings slow = plain;
  slow.Baud = 1200;
  slow.StopBits = sbTwo;
  slow.XonXoffIn = true;
  slow.XonXoffOut = true;
  slow.XonChar = 0x01;
  slow.XoffChar = 0x02;
  slow.XonLimit = 100;
  slow.XoffLimit = 200;
  TLineSettings odd = plain;
  odd.Baud = 250000; // no Bnnn constant for this one
  odd.CtsOutFlow = true;
  odd.RtsControl = rtsHandshake;
  TLineSettings dsr = plain;
  dsr.Baud = 31250;
  dsr.DsrOutFlow = true;
  dsr.DtrControl = dtrHandshake;
  TLineSettings off = plain;
  off.Baud = 9600;
  off.DtrControl = dtrOff;
  off.RtsControl = rtsOff;
  TLineSettings toggle = plain;
  toggle.RtsControl = rtsToggle;

  for (const TLineSettings& wanted : {plain, slow, odd, dsr, off, toggle}) {
    ASSERT_TRUE(device.SetLineSettings(wanted)) << GetLastError();
    TLineSettings got;
    ASSERT_TRUE(device.GetLineSettings(got));
    EXPECT_EQ(got.Baud, wanted.Baud);
    EXPECT_EQ(got.StopBits, wanted.StopBits);
    EXPECT_TRUE(got == wanted) << "baud " << wanted.Baud;
  }

  // What reached termios itself.
  ASSERT_TRUE(device.SetLineSettings(odd));
  termios now{};
  tcgetattr(device.Handle(), &now);
  EXPECT_NE(now.c_cflag & CRTSCTS, 0u);
  ASSERT_TRUE(device.SetLineSettings(slow));
  tcgetattr(device.Handle(), &now);
  EXPECT_EQ(now.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
  EXPECT_NE(now.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(now.c_cc[VSTART], 0x01);
  EXPECT_EQ(now.c_cc[VSTOP], 0x02);
  EXPECT_EQ(cfgetospeed(&now), static_cast<speed_t>(B1200));

  // The read-back tells what the device does, not what it was asked: a pty is always 8N.
  TLineSettings sevenEven = plain;
  sevenEven.DataBits = 7;
  sevenEven.Parity = paEven;
  ASSERT_TRUE(device.SetLineSettings(sevenEven));
  TLineSettings got;
  ASSERT_TRUE(device.GetLineSettings(got));
  EXPECT_EQ(got.DataBits, 8);
  EXPECT_EQ(got.Parity, paNone);

  // Invalid settings are refused and change nothing.
  ASSERT_TRUE(device.SetLineSettings(slow));
  TLineSettings bad = plain;
  bad.DataBits = 9;
  TLineSettings badHalf = plain;
  badHalf.StopBits = sbOneHalf;
  TLineSettings badBaud = plain;
  badBaud.Baud = 0;
  TLineSettings badChars = plain;
  badChars.XonXoffOut = true;
  badChars.XonChar = badChars.XoffChar;
  TLineSettings badParity = plain;
  badParity.Parity = static_cast<TParity>(7);
  for (const TLineSettings& wrong : {bad, badHalf, badBaud, badChars, badParity}) {
    EXPECT_FALSE(device.SetLineSettings(wrong));
    EXPECT_EQ(GetLastError(), errInvalidParameter);
    ASSERT_TRUE(device.GetLineSettings(got));
    EXPECT_TRUE(got == slow);
  }
}

TEST(SerialDeviceTermiosTest, CharacterFormatsMapBothWays) {
  // What a pty cannot show: data bits, parity and stop bits in termios, and back.
  for (uint8_t bits = 5; bits <= 8; ++bits) {
    for (TParity parity : {paNone, paOdd, paEven, paMark, paSpace}) {
      for (TStopBits stop : {sbOne, sbOneHalf, sbTwo}) {
        if ((stop == sbOneHalf) != (bits == 5 && stop != sbOne)) {
          continue; // 1.5 exists with 5 bits only, and 2 with 5 bits reads back as 1.5
        }
        TLineSettings wanted;
        wanted.DataBits = bits;
        wanted.Parity = parity;
        wanted.StopBits = stop;
        termios settings{};
        settings.c_cflag = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS; // all wrong
        settings.c_lflag = ICANON | ECHO;
        Detail::SettingsToTermios(wanted, settings);
        EXPECT_EQ(settings.c_lflag & (ICANON | ECHO), 0u);
        EXPECT_EQ(settings.c_cflag & CRTSCTS, 0u);
        EXPECT_NE(settings.c_cflag & CLOCAL, 0u);
        TLineSettings got;
        got.DataBits = 0;
        Detail::SettingsFromTermios(settings, got);
        EXPECT_EQ(got.DataBits, bits);
        EXPECT_EQ(got.Parity, parity) << int(bits) << " " << int(parity);
        EXPECT_EQ(got.StopBits, stop) << int(bits) << " " << int(stop);
      }
    }
  }
  termios settings{};
  TLineSettings wanted;
  wanted.DataBits = 7;
  wanted.Parity = paMark;
  Detail::SettingsToTermios(wanted, settings);
  EXPECT_EQ(settings.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR),
            static_cast<tcflag_t>(CS7 | PARENB | PARODD | CMSPAR));
  wanted.DataBits = 5;
  wanted.Parity = paSpace;
  wanted.StopBits = sbTwo;
  Detail::SettingsToTermios(wanted, settings);
  EXPECT_EQ(settings.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB),
            static_cast<tcflag_t>(CS5 | PARENB | CMSPAR | CSTOPB));

  // CRTSCTS switched on by someone else reads as both directions of hardware flow.
  settings.c_cflag |= CRTSCTS;
  TLineSettings got;
  Detail::SettingsFromTermios(settings, got);
  EXPECT_TRUE(got.CtsOutFlow);
  EXPECT_EQ(got.RtsControl, rtsHandshake);
}

TEST_F(SerialDeviceTest, DataPassesBothWays) {
  TSerialDevice device;
  ASSERT_TRUE(device.Open(Pty.SlavePath));
  ASSERT_EQ(device.Write("AT+VCID=1\r", 10), 10);
  EXPECT_EQ(Pty.Receive(10), "AT+VCID=1\r");
  Pty.Send("\r\nOK\r\n");
  EXPECT_EQ(DrainDevice(device, 6), "\r\nOK\r\n");

  // A block larger than the tty buffers, in both directions at once, byte for byte.
  std::string block(200000, '\0');
  for (size_t i = 0; i < block.size(); ++i) {
    block[i] = static_cast<char>(i * 7 + i / 251);
  }
  std::string echoed;
  std::thread peer([&] {
    Pty.Send(block);
    echoed = Pty.Receive(block.size());
  });
  size_t sent = 0;
  std::string got;
  uint32_t events = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while ((sent < block.size() || got.size() < block.size()) &&
         std::chrono::steady_clock::now() < deadline) {
    const int put =
        sent < block.size() ? device.Write(block.data() + sent, block.size() - sent) : 0;
    ASSERT_GE(put, 0);
    sent += static_cast<size_t>(put);
    char buffer[4096];
    const int n = device.Read(buffer, sizeof buffer);
    ASSERT_GE(n, 0);
    got.append(buffer, static_cast<size_t>(n));
    if (put == 0 && n == 0) {
      ASSERT_NE(device.WaitEvent(seRxChar | seTxEmpty, events, PatienceMs), swFailed);
    }
  }
  peer.join();
  EXPECT_TRUE(got == block);
  EXPECT_TRUE(echoed == block);
}

TEST_F(SerialDeviceTest, QueueCountsAndPurge) {
  TSerialDevice device;
  ASSERT_TRUE(device.Open(Pty.SlavePath));
  EXPECT_EQ(device.InQueue(), 0);
  EXPECT_EQ(device.OutQueue(), 0);
  Pty.Send("0123456789");
  uint32_t events = 0;
  ASSERT_EQ(device.WaitEvent(seRxChar, events, PatienceMs), swEvents);
  // The bytes may come over in more than one piece; wait for all ten.
  for (int i = 0; i < 100 && device.InQueue() < 10; ++i) {
    device.WaitEvent(seRxChar, events, 50);
  }
  EXPECT_EQ(device.InQueue(), 10);
  char buffer[4];
  ASSERT_EQ(device.Read(buffer, sizeof buffer), 4);
  EXPECT_EQ(device.InQueue(), 6);

  EXPECT_TRUE(device.PurgeInput());
  EXPECT_EQ(device.InQueue(), 0);
  EXPECT_EQ(device.Read(buffer, sizeof buffer), 0) << "purged bytes are gone";
  EXPECT_TRUE(device.PurgeOutput());
  EXPECT_TRUE(device.Drain(PatienceMs));

  // After the purge new input is news again.
  Pty.Send("x");
  ASSERT_EQ(device.WaitEvent(seRxChar, events, PatienceMs), swEvents);
  EXPECT_EQ(device.Read(buffer, sizeof buffer), 1);
  EXPECT_EQ(buffer[0], 'x');
}

TEST_F(SerialDeviceTest, PseudoTerminalHasNoModemLines) {
  TSerialDevice device;
  ASSERT_TRUE(device.Open(Pty.SlavePath));
  EXPECT_FALSE(device.HasModemLines());
  uint32_t status = 0xFFFF;
  EXPECT_TRUE(device.GetModemStatus(status));
  EXPECT_EQ(status, 0u);
  EXPECT_TRUE(device.SetDtr(false));
  EXPECT_TRUE(device.SetRts(true));
  EXPECT_TRUE(device.SetBreak(true));
  EXPECT_TRUE(device.SetBreak(false));
  uint32_t errors = 0xFFFF;
  EXPECT_TRUE(device.TakeLineErrors(errors));
  EXPECT_EQ(errors, 0u);
  // Asking for modem events alone on such a device just times out, without failing.
  uint32_t events = 0;
  EXPECT_EQ(device.WaitEvent(seCts | seDsr | seDcd | seRing | seBreak | seError, events, 30),
            swTimeout);
  EXPECT_EQ(events, 0u);
}

TEST_F(SerialDeviceTest, WaitEndsByDataCancelOrTimeout) {
  TSerialDevice device;
  ASSERT_TRUE(device.Open(Pty.SlavePath));
  uint32_t events = 0;

  // Time-out: nothing happens, so nothing is reported, and not before its time.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(device.WaitEvent(seRxChar, events, 60), swTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
  EXPECT_EQ(events, 0u);
  EXPECT_EQ(device.WaitEvent(seRxChar, events, 0), swTimeout) << "0 only looks";

  // Data from the far end while a thread waits without a time-out.
  std::atomic<int> result{-1};
  std::atomic<uint32_t> seen{0};
  std::thread waiter([&] {
    uint32_t got = 0;
    result = device.WaitEvent(seRxChar, got);
    seen = got;
  });
  Pty.Send("RING\r\n");
  waiter.join();
  EXPECT_EQ(result, swEvents);
  EXPECT_EQ(seen, seRxChar);

  // Cancel from another thread.
  std::atomic<bool> waiting{false};
  waiter = std::thread([&] {
    uint32_t got = 0;
    waiting = true;
    result = device.WaitEvent(seTxEmpty, got);
  });
  while (!waiting) {
    std::this_thread::yield();
  }
  device.Cancel();
  waiter.join();
  EXPECT_EQ(result, swCancelled);

  // A cancel with nobody waiting ends the next wait, and only that one.
  device.Cancel();
  EXPECT_EQ(device.WaitEvent(seRxChar, events, PatienceMs), swCancelled);
  EXPECT_EQ(device.WaitEvent(seTxEmpty, events, 20), swTimeout);

  // A cancel after the close (a stop sequence that ran late) is not carried into the next
  // open: its first wait runs its course.
  device.Close();
  device.Cancel();
  ASSERT_TRUE(device.Open(Pty.SlavePath));
  EXPECT_EQ(device.WaitEvent(seTxEmpty, events, 20), swTimeout);
}

TEST_F(SerialDeviceTest, InputIsReportedOnceUntilMoreArrives) {
  TSerialDevice device;
  ASSERT_TRUE(device.Open(Pty.SlavePath));
  Pty.Send("abc");
  uint32_t events = 0;
  ASSERT_EQ(device.WaitEvent(seRxChar, events, PatienceMs), swEvents);
  // Unread bytes are not news: a waiter that cannot take them yet must not spin.
  EXPECT_EQ(device.WaitEvent(seRxChar, events, 60), swTimeout);
  Pty.Send("d");
  EXPECT_EQ(device.WaitEvent(seRxChar, events, PatienceMs), swEvents);
  EXPECT_EQ(DrainDevice(device, 4), "abcd");
  EXPECT_EQ(device.WaitEvent(seRxChar, events, 30), swTimeout);

  // Bytes taken through another descriptor (a line handed over) do not hide new ones.
  Pty.Send("abcdef");
  ASSERT_EQ(device.WaitEvent(seRxChar, events, PatienceMs), swEvents);
  for (int i = 0; i < 100 && device.InQueue() < 6; ++i) {
    device.WaitEvent(seRxChar, events, 20);
  }
  const int other = dup(device.Handle());
  char buffer[16];
  EXPECT_EQ(read(other, buffer, sizeof buffer), 6);
  close(other);
  Pty.Send("xy");
  for (int i = 0; i < PatienceMs && device.InQueue() < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1)); // both there before the wait
  }
  EXPECT_EQ(device.WaitEvent(seRxChar, events, PatienceMs), swEvents);
  EXPECT_EQ(DrainDevice(device, 2), "xy");

  // Output: drained after a write; nothing to report without one.
  EXPECT_EQ(device.WaitEvent(seTxEmpty, events, 30), swTimeout);
  ASSERT_EQ(device.Write("ATA\r", 4), 4);
  EXPECT_EQ(device.WaitEvent(seTxEmpty, events, PatienceMs), swEvents);
  EXPECT_EQ(events, seTxEmpty);
  EXPECT_EQ(device.WaitEvent(seTxEmpty, events, 30), swTimeout);
}

TEST_F(SerialDeviceTest, MasterClosingIsDeviceGoneNotSpinning) {
  TSerialDevice device;
  ASSERT_TRUE(device.Open(Pty.SlavePath));
  std::atomic<int> loops{0};
  std::atomic<int> lastWait{-1};
  std::atomic<size_t> received{0};
  std::string lines;
  // The reader of a modem line: wait, read what came, until the device goes.
  std::thread reader([&] {
    while (loops < 1000) {
      ++loops;
      uint32_t events = 0;
      const TSerialWait result = device.WaitEvent(seRxChar, events, PatienceMs);
      lastWait = result;
      if (result != swEvents) {
        break;
      }
      char buffer[256];
      int n = 0;
      while ((n = device.Read(buffer, sizeof buffer)) > 0) {
        lines.append(buffer, static_cast<size_t>(n));
        received = lines.size();
      }
      if (n < 0) {
        break;
      }
    }
  });
  Pty.Send("NO CARRIER\r\n");
  for (int i = 0; i < 1000 && received < 12 && loops < 1000; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  Pty.CloseMaster();
  reader.join();
  EXPECT_EQ(lines, "NO CARRIER\r\n");
  EXPECT_LE(loops, 4) << "the reader spun instead of learning that the device is gone";
  EXPECT_TRUE(lastWait == swGone || device.Gone());
  EXPECT_TRUE(device.Gone());

  uint32_t events = 0;
  EXPECT_EQ(device.WaitEvent(seRxChar, events, PatienceMs), swGone) << "at once, every time";
  char byte = 0;
  EXPECT_EQ(device.Read(&byte, 1), -1);
  EXPECT_EQ(GetLastError(), errDeviceNotConnected);
  EXPECT_EQ(device.Write("x", 1), -1);
  EXPECT_EQ(GetLastError(), errDeviceNotConnected);
  EXPECT_EQ(device.InQueue(), -1);
  TLineSettings settings;
  EXPECT_FALSE(device.GetLineSettings(settings));
  EXPECT_EQ(GetLastError(), errDeviceNotConnected);
  device.Close();
  EXPECT_FALSE(Exists(LockFile));
}

TEST_F(SerialDeviceTest, HungUpTerminalIsDeviceGone) {
  // A hang-up is what a USB unplug leaves behind: read() gives 0, ioctl() and write() EIO.
  TSerialDevice device;
  ASSERT_TRUE(device.Open(Pty.SlavePath));
  if (ioctl(device.Handle(), TIOCVHANGUP) != 0) {
    GTEST_SKIP() << "hanging up a tty needs CAP_SYS_ADMIN";
  }
  char byte = 0;
  EXPECT_EQ(device.Read(&byte, 1), -1) << "0 from read() is not 'no data yet'";
  EXPECT_EQ(GetLastError(), errDeviceNotConnected);
  EXPECT_TRUE(device.Gone());
  uint32_t events = 0;
  EXPECT_EQ(device.WaitEvent(seRxChar, events, PatienceMs), swGone);

  TSerialDevice waiter;
  Pty.CloseMaster();
  TPty other;
  ASSERT_TRUE(waiter.Open(other.SlavePath));
  std::atomic<int> result{-1};
  std::thread thread([&] {
    uint32_t got = 0;
    result = waiter.WaitEvent(0, got, PatienceMs); // nothing asked: the hang-up still ends it
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ioctl(waiter.Handle(), TIOCVHANGUP);
  thread.join();
  EXPECT_EQ(result, swGone) << "a wait in progress learns of the hang-up";
}

TEST_F(SerialDeviceTest, OpenFailuresAreMapped) {
  TSerialDevice device;
  EXPECT_FALSE(device.Open(LockDir + "/ttyMissing"));
  EXPECT_EQ(GetLastError(), errFileNotFound);
  const std::string regular = LockDir + "/plain";
  std::ofstream(regular) << "not a device";
  EXPECT_FALSE(device.Open(regular + "/ttyS0"));
  EXPECT_EQ(GetLastError(), errPathNotFound);
  EXPECT_FALSE(device.Open(regular));
  EXPECT_EQ(GetLastError(), errInvalidFunction) << "a regular file is no terminal";
  EXPECT_FALSE(device.IsOpen());
  unlink(regular.c_str());
  // Nothing of the failed attempts is left locked.
  EXPECT_TRUE(device.Open(Pty.SlavePath));
}

TEST_F(SerialDeviceTest, DetachHandsTheLineOverAndAdoptTakesIt) {
  TSerialDevice owner;
  ASSERT_TRUE(owner.Open(Pty.SlavePath));
  const int fd = owner.Detach();
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(owner.IsOpen());
  EXPECT_GE(fcntl(fd, F_GETFD), 0) << "detaching must not close";
  EXPECT_TRUE(Exists(LockFile)) << "the line is still in use";
  TSerialDevice intruder;
  EXPECT_FALSE(intruder.Open(Pty.SlavePath)) << "the handed-over descriptor keeps the line";

  TSerialDevice caller;
  ASSERT_TRUE(caller.Adopt(fd));
  EXPECT_EQ(caller.Path(), Pty.SlavePath);
  ASSERT_EQ(caller.Write("ATH\r", 4), 4);
  EXPECT_EQ(Pty.Receive(4), "ATH\r");
  Pty.Send("OK\r\n");
  EXPECT_EQ(DrainDevice(caller, 4), "OK\r\n");
  caller.Close();
  EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "the adopter closes";
  EXPECT_FALSE(Exists(LockFile));
  EXPECT_TRUE(owner.Open(Pty.SlavePath));
  EXPECT_FALSE(caller.Adopt(-1));
}

TEST_F(SerialDeviceTest, CloseEndsAWaitInProgressAndKeepsCallersOut) {
  TSerialDevice device;
  ASSERT_TRUE(device.Open(Pty.SlavePath));
  std::atomic<bool> started{false};
  std::atomic<int> loops{0};
  std::atomic<int> last{-1};
  // A careless waiter that comes straight back after anything but a failure.
  std::thread waiter([&] {
    uint32_t events = 0;
    started = true;
    while (loops < 100000) {
      ++loops;
      last = device.WaitEvent(seRxChar, events);
      if (last == swFailed) {
        break;
      }
    }
  });
  while (!started) {
    std::this_thread::yield();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  device.Close(); // must not hang, however eager the waiter
  EXPECT_FALSE(device.IsOpen());
  waiter.join();
  EXPECT_EQ(last, swFailed);
  EXPECT_LE(loops, 2) << "the wait in progress ends, the next one is refused";
}

TEST_F(SerialDeviceTest, DeviceReplacedBehindALinkIsOpenedAfreshWithItsOwnLock) {
  // A USB modem's stable name is a link; pulled out and put back, it points at a new device.
  const std::string link = LockDir + "/ttyModem";
  ASSERT_EQ(symlink(Pty.SlavePath.c_str(), link.c_str()), 0);
  TSerialDevice device;
  ASSERT_TRUE(device.Open(link)) << GetLastError();
  EXPECT_EQ(device.Path(), Pty.SlavePath) << "the device itself, not the link";
  EXPECT_TRUE(Exists(LockFile)) << "locked under the device's own name";

  Pty.CloseMaster();
  uint32_t events = 0;
  EXPECT_EQ(device.WaitEvent(seRxChar, events, PatienceMs), swGone);
  ASSERT_EQ(unlink(link.c_str()), 0);
  EXPECT_FALSE(device.Open(link)) << "still open, however gone";
  EXPECT_EQ(GetLastError(), errBusy);
  device.Close();
  EXPECT_FALSE(Exists(LockFile)) << "a gone device's lock goes with it";
  EXPECT_FALSE(device.Open(link)) << "nothing behind the name while unplugged";

  TPty replacement;
  ASSERT_FALSE(replacement.SlavePath.empty());
  ASSERT_EQ(symlink(replacement.SlavePath.c_str(), link.c_str()), 0);
  std::string name = replacement.SlavePath.substr(5);
  std::replace(name.begin(), name.end(), '/', '_');
  const std::string replacementLock = LockDir + "/LCK.." + name;
  ASSERT_TRUE(device.Open(link)) << GetLastError();
  EXPECT_EQ(device.Path(), replacement.SlavePath);
  EXPECT_TRUE(Exists(replacementLock));
  EXPECT_FALSE(device.Gone());
  replacement.Send("RING\r\n");
  EXPECT_EQ(DrainDevice(device, 6), "RING\r\n");
  ASSERT_EQ(device.Write("AT\r", 3), 3);
  EXPECT_EQ(replacement.Receive(3), "AT\r");
  device.Close();
  EXPECT_FALSE(Exists(replacementLock));
}
