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

#include <map>
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

  // The next line that is not a ring's CIDINFO line (at most 50 of those are passed over).
  std::string ReadCallLine(std::chrono::milliseconds Limit = 5000ms) {
    std::string Line;
    for (int I = 0; I < 50; ++I) {
      Line = ReadLine(Limit);
      if (Line.rfind("CIDINFO:", 0) != 0)
        break;
    }
    return Line;
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
    ASSERT_EQ(::send(FSocket, Text.data(), Text.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(Text.size()));
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

// A protocol line as a Tcl NCID client reads it: the label, then "*KEY*value*" pairs that it
// turns into a Tcl list of key and value words. An odd number of fields, or a LINE value of
// several words (the client keys its lines by that value as one word), makes that list
// uneven, and the client fails with "list must have an even number of elements".
struct TNcidFields {
  std::string Label; // "CID:", "CIDINFO:", ...
  std::map<std::string, std::string> Values;
  std::string Error; // "" when the client can read the line
};

inline TNcidFields ReadLikeTclClient(const std::string& Line) {
  TNcidFields Fields;
  const size_t Space = Line.find(' ');
  Fields.Label = Line.substr(0, Space);
  const std::string Rest = Space == std::string::npos ? "" : Line.substr(Space + 1);
  if (Rest.size() < 2 || Rest.front() != '*' || Rest.back() != '*') {
    Fields.Error = "not a field line";
    return Fields;
  }
  std::vector<std::string> Parts;
  size_t Start = 1;
  for (size_t Star; (Star = Rest.find('*', Start)) != std::string::npos; Start = Star + 1)
    Parts.push_back(Rest.substr(Start, Star - Start));
  const auto LineWords = [&Parts](size_t Index) {
    return Index + 1 < Parts.size() && Parts[Index] == "LINE" &&
           (Parts[Index + 1].empty() || Parts[Index + 1].find_first_of(" \t") != std::string::npos);
  };
  bool Uneven = Parts.size() % 2 != 0;
  for (size_t I = 0; I + 1 < Parts.size(); I += 2)
    Uneven = Uneven || LineWords(I);
  if (Uneven) {
    Fields.Error = "list must have an even number of elements";
    return Fields;
  }
  for (size_t I = 0; I + 1 < Parts.size(); I += 2)
    Fields.Values[Parts[I]] = Parts[I + 1];
  return Fields;
}

} // namespace NcidTest
