// A mosquitto broker of the test's own on a free loopback port, and a subscriber that records
// what it receives. The broker keeps its state in a folder of the test, so that it can be
// stopped and started again with the subscriber's session intact.
#pragma once

#include <mosquitto.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <pwd.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace BrokerTest {

using namespace std::chrono_literals;

inline uint16_t FreeLoopbackPort() {
  const int Socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(Socket, reinterpret_cast<sockaddr*>(&Address), sizeof Address);
  socklen_t Length = sizeof Address;
  ::getsockname(Socket, reinterpret_cast<sockaddr*>(&Address), &Length);
  ::close(Socket);
  return ntohs(Address.sin_port);
}

inline bool PortAccepts(uint16_t Port) {
  const int Socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_port = htons(Port);
  Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool Accepts =
      ::connect(Socket, reinterpret_cast<sockaddr*>(&Address), sizeof Address) == 0;
  ::close(Socket);
  return Accepts;
}

// Waits at most Limit for Condition, polling.
inline bool WaitFor(const std::function<bool()>& Condition, std::chrono::milliseconds Limit) {
  const auto Until = std::chrono::steady_clock::now() + Limit;
  while (!Condition()) {
    if (std::chrono::steady_clock::now() >= Until)
      return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

class TBroker {
public:
  // Extra lines go into the listener's configuration (TLS files).
  explicit TBroker(std::string ExtraConfig = "") : FExtra(std::move(ExtraConfig)) {
    char Template[] = "/tmp/ringlet-broker-XXXXXX";
    FFolder = ::mkdtemp(Template);
    FPort = FreeLoopbackPort();
    std::ofstream Config(FFolder + "/mosquitto.conf");
    // Started as root, the broker would switch to its own user, who cannot use our folder.
    const passwd* User = ::getpwuid(::geteuid());
    Config << "user " << (User != nullptr ? User->pw_name : "root") << "\n"
           << "listener " << FPort << " 127.0.0.1\n"
           << FExtra << "allow_anonymous true\n"
           << "persistence true\npersistence_location " << FFolder << "/\n"
           << "log_dest file " << FFolder << "/broker.log\n";
  }
  ~TBroker() {
    Stop();
    std::error_code Ignored;
    std::filesystem::remove_all(FFolder, Ignored);
  }
  TBroker(const TBroker&) = delete;
  TBroker& operator=(const TBroker&) = delete;

  uint16_t Port() const { return FPort; }
  const std::string& Folder() const { return FFolder; }

  bool Start() {
    FPid = ::fork();
    if (FPid == 0) {
      ::execlp("mosquitto", "mosquitto", "-c", (FFolder + "/mosquitto.conf").c_str(), nullptr);
      ::_exit(127);
    }
    return FPid > 0 && WaitFor([this] { return PortAccepts(FPort) || Ended(); }, 10000ms) &&
           !Ended();
  }

  // A broker that stops answering without closing a connection (a hung box): SIGSTOP, and
  // SIGCONT to go on.
  void Freeze() { ::kill(FPid, SIGSTOP); }
  void Thaw() { ::kill(FPid, SIGCONT); }

  // A clean stop (the broker saves its sessions), bounded; a broker that hangs is killed.
  void Stop() {
    if (FPid <= 0)
      return;
    ::kill(FPid, SIGCONT);
    ::kill(FPid, SIGTERM);
    if (!WaitFor([this] { return Ended(); }, 10000ms)) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
    }
    FPid = -1;
  }

private:
  bool Ended() {
    if (FPid <= 0)
      return true;
    if (::waitpid(FPid, nullptr, WNOHANG) == FPid) {
      FPid = -1;
      return true;
    }
    return false;
  }

  std::string FExtra;
  std::string FFolder;
  uint16_t FPort = 0;
  pid_t FPid = -1;
};

struct TReceived {
  std::string Topic;
  std::string Payload;
  bool Retained = false;
};

// A subscriber with a session the broker keeps (clean session off), QoS 1.
class TSubscriber {
public:
  TSubscriber(uint16_t Port, std::vector<std::string> Topics,
              const std::string& Id = "ringlet-test-sub")
      : FTopics(std::move(Topics)) {
    mosquitto_lib_init();
    FClient = mosquitto_new(Id.c_str(), false, this);
    mosquitto_connect_callback_set(FClient, [](mosquitto* Client, void* Self, int Result) {
      if (Result != 0)
        return;
      auto* Subscriber = static_cast<TSubscriber*>(Self);
      for (const std::string& Topic : Subscriber->FTopics)
        mosquitto_subscribe(Client, nullptr, Topic.c_str(), 1);
    });
    mosquitto_subscribe_callback_set(FClient, [](mosquitto*, void* Self, int, int, const int*) {
      auto* Subscriber = static_cast<TSubscriber*>(Self);
      std::lock_guard<std::mutex> Guard(Subscriber->FLock);
      ++Subscriber->FSubscribed;
    });
    mosquitto_message_callback_set(
        FClient, [](mosquitto*, void* Self, const mosquitto_message* Message) {
          auto* Subscriber = static_cast<TSubscriber*>(Self);
          std::lock_guard<std::mutex> Guard(Subscriber->FLock);
          Subscriber->FReceived.push_back(
              {Message->topic,
               std::string(static_cast<const char*>(Message->payload), Message->payloadlen),
               Message->retain});
        });
    mosquitto_reconnect_delay_set(FClient, 1, 1, false);
    mosquitto_connect_async(FClient, "127.0.0.1", Port, 10);
    mosquitto_loop_start(FClient);
  }
  ~TSubscriber() {
    mosquitto_disconnect(FClient);
    mosquitto_loop_stop(FClient, false);
    mosquitto_destroy(FClient);
    mosquitto_lib_cleanup();
  }
  TSubscriber(const TSubscriber&) = delete;
  TSubscriber& operator=(const TSubscriber&) = delete;

  bool WaitSubscribed(int Times = 1) {
    return WaitFor(
        [&] {
          std::lock_guard<std::mutex> Guard(FLock);
          return FSubscribed >= static_cast<int>(FTopics.size()) * Times;
        },
        10000ms);
  }

  std::vector<TReceived> On(const std::string& Topic) {
    std::lock_guard<std::mutex> Guard(FLock);
    std::vector<TReceived> Found;
    for (const TReceived& Message : FReceived)
      if (Message.Topic == Topic)
        Found.push_back(Message);
    return Found;
  }

  // Waits until Topic has received Count messages.
  std::vector<TReceived> WaitOn(const std::string& Topic, size_t Count,
                                std::chrono::milliseconds Limit = 30000ms) {
    WaitFor([&] { return On(Topic).size() >= Count; }, Limit);
    return On(Topic);
  }

private:
  std::vector<std::string> FTopics;
  mosquitto* FClient = nullptr;
  std::mutex FLock;
  int FSubscribed = 0;
  std::vector<TReceived> FReceived;
};

} // namespace BrokerTest
