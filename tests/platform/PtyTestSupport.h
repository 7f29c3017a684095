// A pseudo-terminal for tests that play the far end of a serial line: the test holds the
// master side, the code under test opens the slave by its path. Both sides pass bytes
// through unchanged (raw), the master never blocks, and every wait is bounded.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace PtyTest {

// Generous upper bound for the far end's waits; never a measure of speed.
constexpr int PtyPatienceMs = 20000;

class TPty {
public:
  TPty() {
    Master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (Master < 0 || grantpt(Master) != 0 || unlockpt(Master) != 0) {
      ADD_FAILURE() << "no pseudo-terminal";
      return;
    }
    char Name[128] = {};
    ptsname_r(Master, Name, sizeof Name);
    SlavePath = Name;
    fcntl(Master, F_SETFL, fcntl(Master, F_GETFL) | O_NONBLOCK);
    termios Raw{};
    tcgetattr(Master, &Raw);
    cfmakeraw(&Raw);
    tcsetattr(Master, TCSANOW, &Raw);
  }
  ~TPty() { CloseMaster(); }
  TPty(const TPty&) = delete;
  TPty& operator=(const TPty&) = delete;

  // The far end goes away: the slave side sees the device vanish.
  void CloseMaster() {
    if (Master >= 0) {
      close(Master);
      Master = -1;
    }
  }

  void Send(const std::string& Text) const {
    size_t Done = 0;
    while (Done < Text.size()) {
      const ssize_t N = write(Master, Text.data() + Done, Text.size() - Done);
      if (N > 0) {
        Done += static_cast<size_t>(N);
      } else {
        pollfd Room{Master, POLLOUT, 0};
        ASSERT_GT(poll(&Room, 1, PtyPatienceMs), 0) << "the slave side never read";
      }
    }
  }

  // Reads until Count bytes came or the patience ran out.
  std::string Receive(size_t Count) const {
    std::string Got;
    const auto Deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(PtyPatienceMs);
    while (Got.size() < Count && std::chrono::steady_clock::now() < Deadline) {
      char Buffer[4096];
      const ssize_t N = read(Master, Buffer, std::min(sizeof Buffer, Count - Got.size()));
      if (N > 0) {
        Got.append(Buffer, static_cast<size_t>(N));
      } else {
        pollfd Input{Master, POLLIN, 0};
        poll(&Input, 1, 50);
      }
    }
    return Got;
  }

  // Whether anything is waiting to be read on the master side right now.
  bool HasInput() const {
    pollfd Input{Master, POLLIN, 0};
    return poll(&Input, 1, 0) > 0;
  }

  int Master = -1;
  std::string SlavePath;
};

} // namespace PtyTest
