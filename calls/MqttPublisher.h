// MqttPublisher: every call to an MQTT broker, for home automation.
//
// Contract:
// - Each call is published as JSON (CallJson) to "ringlet/<line>/call" with QoS 1 and, retained,
//   to "ringlet/<line>/last_call"; <line> is the line's TopicSlug. "ringlet/status" is "online"
//   while connected and "offline" (the will, retained) when the publisher goes away. On every
//   connect a Home Assistant discovery message (retained) describes a "last caller" sensor for
//   each line the publisher knows.
// - The broker going away loses no call: calls wait in a queue of QueueLimit (the oldest is
//   dropped with a warning past it) and are published in order once the connection is back;
//   a call leaves the queue only when the broker has acknowledged it. Reconnects back off
//   from 1 s to 60 s.
// - Deliver may be called from any thread and never blocks on the network: the publisher's own
//   thread does the network work from Start to Stop, and Stop ends it at once, even in the
//   middle of a back-off. Failures are reported once per outage through OnWarning.
#pragma once

#include "calls/CallRecord.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

struct mosquitto;

struct TMqttOptions {
  std::string Host;
  uint16_t Port = 1883;
  bool Tls = false;
  std::string CaFile; // with Tls: the authorities to trust; "" for the system's
  std::string User;
  std::string Password;
  std::string ClientId = "ringlet";
  size_t QueueLimit = 1000;
  std::vector<std::string> Lines; // the lines to announce at once (more are added by calls)
};

// Reads "mqtt://[user:password@]host[:port]" or "mqtts://..." into Options. False with the
// reason in Error when the text is not such a URL.
bool ParseMqttUrl(const std::string& Url, TMqttOptions& Options, std::string& Error);

class TMqttPublisher : public TCallOutlet {
public:
  explicit TMqttPublisher(TMqttOptions Options);
  ~TMqttPublisher() override;
  TMqttPublisher(const TMqttPublisher&) = delete;
  TMqttPublisher& operator=(const TMqttPublisher&) = delete;

  // Starts connecting in the background. "" on success, else why it cannot start at all (a
  // bad option, TLS files that cannot be read); a broker that is not there is not an error.
  std::string Start();
  void Stop();

  void Deliver(const TCallRecord& Call) override;

  // Calls not yet acknowledged by the broker.
  size_t Waiting() const;
  bool Connected() const;

  std::function<void(const std::string&)> OnWarning;

private:
  struct TMessage {
    std::string Topic;
    std::string Payload;
    bool Retain = false;
    int Mid = -1; // the message id while it is with the broker, -1 before it is sent
  };
  struct TLibrary;

  static void ConnectCallback(mosquitto* Client, void* Self, int Result);
  static void DisconnectCallback(mosquitto* Client, void* Self, int Result);
  static void PublishCallback(mosquitto* Client, void* Self, int Mid);

  void Run();
  void HandleConnect(int Result);
  void HandleDisconnect(int Result);
  void HandleAck(int Mid);
  void Enqueue(TMessage Message, bool Call);
  void SendWaiting();
  void Announce(const std::string& Line);
  // Once per outage, unless Always (a call lost is always told).
  void Warn(const std::string& Text, bool Always = false);

  TMqttOptions FOptions;
  std::shared_ptr<TLibrary> FLibrary;
  std::unique_ptr<mosquitto, void (*)(mosquitto*)> FClient;
  mutable std::mutex FLock;
  std::deque<TMessage> FQueue;
  std::set<std::string> FLines;
  bool FConnected = false;
  bool FWarned = false;
  bool FStarted = false;
  int FBackoff = 1; // seconds
  std::atomic<bool> FStopping{false};
  std::condition_variable FWakeUp;
  std::thread FThread;
};
