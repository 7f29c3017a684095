// Test support for the lines of calls (SIP extension, call monitor): an events sink that
// records what a line reports and waits for it with a deadline, and free loopback ports.
#pragma once

#include "telephony/CallLine.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace CallLineTest {

using TestSupport::GenerousMs;

struct TOffered {
  uint64_t Call = 0;
  Telephony::TCallerIdInfo Caller;
};

class TRecorder : public Telephony::TCallLineEvents {
public:
  void OnCallOffered(uint64_t call, const Telephony::TCallerIdInfo& caller) override {
    Note([&] { Offered.push_back({call, caller}); });
  }
  void OnCallRinging(uint64_t call, uint32_t rings) override {
    Note([&] {
      Rings.emplace_back(call, rings);
      if (std::count(Ended.begin(), Ended.end(), call) > 0)
        ++RingsAfterEnd;
    });
  }
  void OnCallEnded(uint64_t call) override {
    Note([&] { Ended.push_back(call); });
  }
  void OnCallRejected(uint64_t call, bool done) override {
    Note([&] { Rejected.emplace_back(call, done); });
  }
  void OnLineState(bool inService, const std::string& text) override {
    Note([&] { States.emplace_back(inService, text); });
  }

  // Waits until `done` holds (checked under the recorder's lock).
  bool WaitFor(const std::function<bool()>& done, int timeoutMs = GenerousMs) {
    std::unique_lock lock(Lock);
    return Changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
  }
  // Waits for a condition outside the recorder (a log file, the line's own state): looked at
  // every 20 ms.
  bool Poll(const std::function<bool()>& done, int timeoutMs = GenerousMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline)
        return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }
  bool WaitOffered(size_t count, int timeoutMs = GenerousMs) {
    return WaitFor([&] { return Offered.size() >= count; }, timeoutMs);
  }
  bool WaitEnded(uint64_t call, int timeoutMs = GenerousMs) {
    return WaitFor([&] { return std::count(Ended.begin(), Ended.end(), call) > 0; }, timeoutMs);
  }
  bool WaitState(bool inService, const std::string& part, int timeoutMs = GenerousMs) {
    return WaitFor(
        [&] {
          return !States.empty() && States.back().first == inService &&
                 States.back().second.find(part) != std::string::npos;
        },
        timeoutMs);
  }
  // Until the call has rung `rings` times (its offer is ring 1).
  bool WaitRings(uint64_t call, uint32_t rings, int timeoutMs = GenerousMs) {
    return WaitFor([&] { return CountsOf(call).size() + 1 >= rings; }, timeoutMs);
  }
  // The counts reported for a call after its offer, in order.
  std::vector<uint32_t> RingsOf(uint64_t call) {
    std::lock_guard lock(Lock);
    return CountsOf(call);
  }
  TOffered OfferedAt(size_t index) {
    std::lock_guard lock(Lock);
    return index < Offered.size() ? Offered[index] : TOffered{};
  }
  std::string LastState() {
    std::lock_guard lock(Lock);
    return States.empty() ? "" : States.back().second;
  }

  std::mutex Lock;
  std::condition_variable Changed;
  std::vector<TOffered> Offered;
  std::vector<uint64_t> Ended;
  std::vector<std::pair<uint64_t, uint32_t>> Rings;
  size_t RingsAfterEnd = 0;
  std::vector<std::pair<uint64_t, bool>> Rejected;
  std::vector<std::pair<bool, std::string>> States;

private:
  std::vector<uint32_t> CountsOf(uint64_t call) const {
    std::vector<uint32_t> counts;
    for (const auto& [which, count] : Rings)
      if (which == call)
        counts.push_back(count);
    return counts;
  }
  template <class F> void Note(F&& change) {
    std::lock_guard lock(Lock);
    change();
    Changed.notify_all();
  }
};

// A port nobody listens on right now (the kernel's choice), for servers the test starts.
inline uint16_t FreePort(int type = SOCK_STREAM) {
  const int fd = socket(AF_INET, type, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    if (fd >= 0)
      close(fd);
    return 0;
  }
  close(fd);
  return ntohs(address.sin_port);
}

// A port free for UDP and TCP alike, as a SIP server listens on both.
inline uint16_t FreeSipPort() {
  for (int tries = 0; tries < 50; ++tries) {
    const uint16_t port = FreePort(SOCK_DGRAM);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool free =
        fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0)
      close(fd);
    if (free && port)
      return port;
  }
  return 0;
}

} // namespace CallLineTest
