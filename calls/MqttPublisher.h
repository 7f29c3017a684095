// MqttPublisher: every call to an MQTT broker, for home automation.
//
// Contract:
// - Each call is published as JSON (CallJson, with "id") to "ringlet/<line>/call" with QoS 1
//   and, retained, to "ringlet/<line>/last_call". <line> is the line's topic slug: TopicSlug
//   of its name, unique among the lines this publisher knows (a name whose slug another line
//   had first gets a short hash of the name added), and the same in every run for the same
//   configured lines. The id is made when the call is delivered and stays with the message
//   through reconnects and restarts: QoS 1 may bring a message twice, and a subscriber drops
//   a repeat by its id and revision. A later report of a call (Update) is published with the
//   id of the call's first message and the next "revision" (1, 2, ...; the first message has
//   none), so a subscriber replaces the call it has, and the retained last_call holds it.
// - Per instance (Instance, e.g. "kitchenbox-3fa2"): the client id "ringlet-<instance>" and
//   "ringlet/<instance>/status", "online" while connected and "offline" (the will, retained)
//   when the publisher goes away; so two Ringlets on one broker never throw each other off.
//   On every connect a Home Assistant discovery message (retained) describes a "last caller"
//   sensor for each line the publisher knows.
// - The order is this publisher's: its own queue hands the broker one message at a time and
//   the next only after the broker acknowledged the one before. Each connection is a new
//   client, so after a reconnect the message that was not acknowledged is sent again first
//   and the rest follow in order; the retained last_call is always the newest call.
// - The broker going away loses no call: calls wait in the queue (QueueLimit calls; the
//   oldest is dropped with a warning past it). With a QueueFile the queue outlives the
//   program: it is written there (at most once a second while it changes, and at Stop) and
//   read back at Start, and the file is removed when the queue is empty. Stop says how many
//   calls were left and where. Reconnects back off from 1 s to 60 s.
// - Deliver may be called from any thread and never blocks on the network or the disk: the
//   publisher's own thread does that work from Start to Stop, and Stop ends it at once, even
//   in the middle of a back-off. Failures are reported once per outage through OnWarning.
#pragma once

#include "calls/CallRecord.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
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
  std::string Instance = "ringlet"; // topic-safe: letters, digits, '-' and '_'
  size_t QueueLimit = 1000;
  std::string QueueFile;          // where the queue outlives the program; "" for nowhere
  int KeepAliveSeconds = 30;      // how soon a broker that stopped answering is noticed
  std::vector<std::string> Lines; // the lines to announce at once (more are added by calls)
};

// Reads "mqtt://[user:password@]host[:port]" or "mqtts://..." into Options. False with the
// reason in Error when the text is not such a URL.
bool ParseMqttUrl(const std::string& Url, TMqttOptions& Options, std::string& Error);

// Text as an instance name: lower-case letters, digits, '-' and '_' (others become '_'),
// never empty.
std::string InstanceName(const std::string& Text);

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

  // Messages not yet acknowledged by the broker (two a call).
  size_t Waiting() const;
  bool Connected() const;
  // The topic slug of a line's name (see above).
  std::string LineSlug(const std::string& Line);
  std::string StatusTopic() const;

  std::function<void(const std::string&)> OnWarning;

private:
  struct TMessage {
    std::string Topic;
    std::string Payload;
    bool Retain = false;
  };
  struct TLibrary;
  using TClient = std::unique_ptr<mosquitto, void (*)(mosquitto*)>;

  static void ConnectCallback(mosquitto* Client, void* Self, int Result);
  static void PublishCallback(mosquitto* Client, void* Self, int Mid);

  std::string NewClient(TClient& Client);
  void Run();
  void Serve();
  void HandleConnect(int Result);
  void HandleAck(int Mid);
  void HandleDisconnect();
  void SendNext();
  void Announce(const std::string& Line);
  std::string SlugLocked(const std::string& Line);
  std::string CallIdLocked(const TCallRecord& Call, unsigned& Revision);
  void LoadQueue();
  void SaveQueue(bool Now);
  size_t WaitingCalls() const;
  // Once per outage, unless Always (a call lost is always told).
  void Warn(const std::string& Text, bool Always = false);

  TMqttOptions FOptions;
  std::shared_ptr<TLibrary> FLibrary;
  TClient FClient;
  mutable std::mutex FLock;
  std::deque<TMessage> FQueue;
  int FInFlight = -1; // the message id of the queue's head while the broker has it
  std::set<std::string> FLines;
  std::map<std::string, std::string> FSlugs; // line -> slug
  uint64_t FDelivered = 0;                   // for the ids
  struct TCallId {
    std::string Line;
    uint64_t CallKey = 0;
    std::string Id;
    unsigned Revision = 0;
  };
  std::deque<TCallId> FCallIds; // the newest calls' ids, for their updates
  bool FConnected = false;
  bool FWarned = false;
  bool FStarted = false;
  bool FDirty = false; // the queue changed since it was last written
  std::chrono::steady_clock::time_point FSaved;
  int FBackoff = 1; // seconds
  std::atomic<bool> FStopping{false};
  std::condition_variable FWakeUp;
  std::thread FThread;
};
