// A client of the NCID protocol written for the tests from the protocol: connects over
// loopback, reads lines with a bounded wait, sends lines.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace NcidTest {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

class TNcidClient {
public:
  explicit TNcidClient(uint16_t Port) {
    FSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_port = htons(Port);
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    FConnected = ::connect(FSocket, reinterpret_cast<sockaddr*>(&Address), sizeof Address) == 0;
  }
  ~TNcidClient() { ::close(FSocket); }
  TNcidClient(const TNcidClient&) = delete;
  TNcidClient& operator=(const TNcidClient&) = delete;

  bool Connected() const { return FConnected; }

  // The next line without its CR LF; "" with Closed() or after the time-out.
  std::string ReadLine(std::chrono::milliseconds Limit = 5000ms) {
    const auto Until = TClock::now() + Limit;
    for (;;) {
      const size_t End = FIn.find("\r\n");
      if (End != std::string::npos) {
        std::string Line = FIn.substr(0, End);
        FIn.erase(0, End + 2);
        return Line;
      }
      if (FClosed || !WaitReadable(Until))
        return "";
      char Buffer[4096];
      const ssize_t Got = ::recv(FSocket, Buffer, sizeof Buffer, 0);
      if (Got <= 0)
        FClosed = true;
      else
        FIn.append(Buffer, static_cast<size_t>(Got));
    }
  }

  // The lines up to and including "300 End of connection startup".
  std::vector<std::string> ReadStartup() {
    std::vector<std::string> Lines;
    for (int I = 0; I < 2000; ++I) {
      Lines.push_back(ReadLine());
      if (Lines.back().empty() || Lines.back().rfind("300 ", 0) == 0)
        break;
    }
    return Lines;
  }

  // True when the server closed the connection within the time-out.
  bool WaitClosed(std::chrono::milliseconds Limit = 5000ms) {
    const auto Until = TClock::now() + Limit;
    while (!FClosed && WaitReadable(Until)) {
      char Buffer[65536];
      const ssize_t Got = ::recv(FSocket, Buffer, sizeof Buffer, 0);
      if (Got <= 0)
        FClosed = true;
    }
    return FClosed;
  }

  void Send(const std::string& Text) {
    ASSERT_EQ(::send(FSocket, Text.data(), Text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(Text.size()));
  }

  void ShrinkReceiveBuffer() {
    const int Size = 4096;
    ::setsockopt(FSocket, SOL_SOCKET, SO_RCVBUF, &Size, sizeof Size);
  }

private:
  bool WaitReadable(TClock::time_point Until) {
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Until - TClock::now());
    if (Left.count() <= 0)
      return false;
    pollfd Poll{FSocket, POLLIN, 0};
    return ::poll(&Poll, 1, static_cast<int>(Left.count())) > 0;
  }

  int FSocket = -1;
  bool FConnected = false;
  bool FClosed = false;
  std::string FIn;
};

} // namespace NcidTest
