// The MQTT publisher over libmosquitto.
#include "calls/MqttPublisher.h"

#include "calls/CallText.h"

#include <mosquitto.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

constexpr int QosAtLeastOnce = 1;
constexpr int KeepAliveSeconds = 30;
constexpr int MaxBackoffSeconds = 60;
const char* const StatusTopic = "ringlet/status";

std::string CallTopic(const std::string& Line, const char* Leaf) {
  return "ringlet/" + TopicSlug(Line) + "/" + Leaf;
}

std::string DiscoveryTopic(const std::string& Line) {
  return "homeassistant/sensor/ringlet_" + TopicSlug(Line) + "/last_caller/config";
}

// A sensor whose state is the last caller's name (else number) and whose attributes are the
// whole call.
std::string DiscoveryPayload(const std::string& Line) {
  const std::string Slug = TopicSlug(Line);
  const std::string State = CallTopic(Line, "last_call");
  return "{\"name\":" + JsonString("Last caller " + Line) +
         ",\"unique_id\":" + JsonString("ringlet_" + Slug + "_last_caller") +
         ",\"object_id\":" + JsonString("ringlet_" + Slug + "_last_caller") +
         ",\"state_topic\":" + JsonString(State) +
         ",\"value_template\":\"{{ value_json.name if value_json.name else value_json.number }}\""
         ",\"json_attributes_topic\":" + JsonString(State) +
         ",\"availability_topic\":\"ringlet/status\",\"icon\":\"mdi:phone-incoming\""
         ",\"device\":{\"identifiers\":[" + JsonString("ringlet_" + Slug) +
         "],\"name\":" + JsonString("Ringlet " + Line) + ",\"model\":\"Caller-ID line\"}}";
}

} // namespace

// libmosquitto wants one init before the first client and one cleanup after the last.
struct TMqttPublisher::TLibrary {
  TLibrary() { mosquitto_lib_init(); }
  ~TLibrary() { mosquitto_lib_cleanup(); }

  static std::shared_ptr<TLibrary> Use() {
    static std::mutex Lock;
    static std::weak_ptr<TLibrary> Shared;
    std::lock_guard<std::mutex> Guard(Lock);
    std::shared_ptr<TLibrary> Library = Shared.lock();
    if (!Library) {
      Library = std::make_shared<TLibrary>();
      Shared = Library;
    }
    return Library;
  }
};

bool ParseMqttUrl(const std::string& Url, TMqttOptions& Options, std::string& Error) {
  std::string Rest;
  if (Url.rfind("mqtt://", 0) == 0) {
    Options.Tls = false;
    Options.Port = 1883;
    Rest = Url.substr(7);
  } else if (Url.rfind("mqtts://", 0) == 0) {
    Options.Tls = true;
    Options.Port = 8883;
    Rest = Url.substr(8);
  } else {
    Error = "\"" + Url + "\" is not an MQTT URL (mqtt://[user:password@]host[:port])";
    return false;
  }
  if (!Rest.empty() && Rest.back() == '/')
    Rest.pop_back();
  const size_t At = Rest.rfind('@');
  if (At != std::string::npos) {
    const std::string Credentials = Rest.substr(0, At);
    Rest = Rest.substr(At + 1);
    const size_t Colon = Credentials.find(':');
    Options.User = Credentials.substr(0, Colon);
    if (Colon != std::string::npos)
      Options.Password = Credentials.substr(Colon + 1);
  }
  std::string Host = Rest;
  const size_t Colon = Rest.rfind(':');
  const size_t Bracket = Rest.rfind(']');
  if (Colon != std::string::npos && (Bracket == std::string::npos || Colon > Bracket)) {
    const std::string PortText = Rest.substr(Colon + 1);
    if (PortText.empty() || PortText.size() > 5 ||
        PortText.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(PortText) == 0 || std::stoul(PortText) > 65535) {
      Error = "\"" + PortText + "\" is not a port number";
      return false;
    }
    Options.Port = static_cast<uint16_t>(std::stoul(PortText));
    Host = Rest.substr(0, Colon);
  }
  if (Host.size() >= 2 && Host.front() == '[' && Host.back() == ']')
    Host = Host.substr(1, Host.size() - 2);
  if (Host.empty() || Host.find_first_of("/?# ") != std::string::npos) {
    Error = "\"" + Url + "\" names no broker host";
    return false;
  }
  Options.Host = Host;
  return true;
}

TMqttPublisher::TMqttPublisher(TMqttOptions Options)
    : FOptions(std::move(Options)), FClient(nullptr, mosquitto_destroy) {
  for (const std::string& Line : FOptions.Lines)
    FLines.insert(Line);
}

TMqttPublisher::~TMqttPublisher() { Stop(); }

std::string TMqttPublisher::Start() {
  FLibrary = TLibrary::Use();
  FClient.reset(mosquitto_new(FOptions.ClientId.c_str(), true, this));
  if (!FClient)
    return "the MQTT client could not be created";
  mosquitto* Client = FClient.get();
  mosquitto_connect_callback_set(Client, ConnectCallback);
  mosquitto_disconnect_callback_set(Client, DisconnectCallback);
  mosquitto_publish_callback_set(Client, PublishCallback);
  mosquitto_threaded_set(Client, true);
  int Result = mosquitto_will_set(Client, StatusTopic, 7, "offline", QosAtLeastOnce, true);
  if (Result == MOSQ_ERR_SUCCESS && !FOptions.User.empty())
    Result = mosquitto_username_pw_set(Client, FOptions.User.c_str(),
                                       FOptions.Password.empty() ? nullptr : FOptions.Password.c_str());
  if (Result == MOSQ_ERR_SUCCESS && FOptions.Tls)
    Result = mosquitto_tls_set(Client, FOptions.CaFile.empty() ? nullptr : FOptions.CaFile.c_str(),
                               FOptions.CaFile.empty() ? "/etc/ssl/certs" : nullptr, nullptr,
                               nullptr, nullptr);
  if (Result != MOSQ_ERR_SUCCESS)
    return std::string("MQTT: ") + mosquitto_strerror(Result);
  FStopping = false;
  FThread = std::thread([this] { Run(); });
  FStarted = true;
  return "";
}

// The network loop: connects, serves the connection while it lasts, and after every failure
// waits (1 s doubling up to 60 s) before the next attempt. A broker that is not there yet is
// not an error. The waits end at once on Stop.
void TMqttPublisher::Run() {
  mosquitto* Client = FClient.get();
  bool First = true;
  while (!FStopping) {
    const int Result = First ? mosquitto_connect_async(Client, FOptions.Host.c_str(), FOptions.Port,
                                                       KeepAliveSeconds)
                             : mosquitto_reconnect_async(Client);
    First = false;
    if (Result == MOSQ_ERR_SUCCESS) {
      while (!FStopping && mosquitto_loop(Client, 1000, 1) == MOSQ_ERR_SUCCESS) {
      }
    }
    if (FStopping)
      break;
    HandleDisconnect(MOSQ_ERR_CONN_LOST);
    std::unique_lock<std::mutex> Guard(FLock);
    FWakeUp.wait_for(Guard, std::chrono::seconds(FBackoff), [this] { return FStopping.load(); });
    FBackoff = std::min(FBackoff * 2, MaxBackoffSeconds);
  }
}

void TMqttPublisher::Stop() {
  if (!FStarted)
    return;
  FStarted = false;
  mosquitto* Client = FClient.get();
  {
    std::lock_guard<std::mutex> Guard(FLock);
    // A clean goodbye: the will is not sent then, so say offline ourselves.
    if (FConnected)
      mosquitto_publish(Client, nullptr, StatusTopic, 7, "offline", QosAtLeastOnce, true);
    FStopping = true;
  }
  FWakeUp.notify_all();
  mosquitto_disconnect(Client);
  FThread.join();
  FClient.reset();
}

void TMqttPublisher::ConnectCallback(mosquitto*, void* Self, int Result) {
  static_cast<TMqttPublisher*>(Self)->HandleConnect(Result);
}

void TMqttPublisher::DisconnectCallback(mosquitto*, void* Self, int Result) {
  static_cast<TMqttPublisher*>(Self)->HandleDisconnect(Result);
}

void TMqttPublisher::PublishCallback(mosquitto*, void* Self, int Mid) {
  static_cast<TMqttPublisher*>(Self)->HandleAck(Mid);
}

void TMqttPublisher::HandleConnect(int Result) {
  if (Result != 0) {
    Warn(std::string("the MQTT broker refused the connection: ") + mosquitto_connack_string(Result));
    return;
  }
  std::lock_guard<std::mutex> Guard(FLock);
  FConnected = true;
  FWarned = false;
  FBackoff = 1;
  mosquitto_publish(FClient.get(), nullptr, StatusTopic, 6, "online", QosAtLeastOnce, true);
  for (const std::string& Line : FLines)
    Announce(Line);
  SendWaiting();
}

void TMqttPublisher::HandleDisconnect(int Result) {
  {
    std::lock_guard<std::mutex> Guard(FLock);
    if (!FConnected)
      return; // told already, or never connected (a call that waits says so)
    FConnected = false;
  }
  if (Result != 0)
    Warn("the MQTT broker at " + FOptions.Host + ":" + std::to_string(FOptions.Port) +
         " went away; calls are kept until it is back");
}

void TMqttPublisher::HandleAck(int Mid) {
  std::lock_guard<std::mutex> Guard(FLock);
  for (auto It = FQueue.begin(); It != FQueue.end(); ++It) {
    if (It->Mid == Mid) {
      FQueue.erase(It);
      return;
    }
  }
}

void TMqttPublisher::Deliver(const TCallRecord& Call) {
  const std::string Json = CallJson(Call);
  {
    std::lock_guard<std::mutex> Guard(FLock);
    if (FLines.insert(Call.Line).second && FConnected)
      Announce(Call.Line);
  }
  Enqueue({CallTopic(Call.Line, "call"), Json, false}, true);
  Enqueue({CallTopic(Call.Line, "last_call"), Json, true}, false);
}

// Calls FLock held.
void TMqttPublisher::Announce(const std::string& Line) {
  const std::string Topic = DiscoveryTopic(Line);
  const std::string Payload = DiscoveryPayload(Line);
  mosquitto_publish(FClient.get(), nullptr, Topic.c_str(), static_cast<int>(Payload.size()),
                    Payload.data(), QosAtLeastOnce, true);
}

void TMqttPublisher::Enqueue(TMessage Message, bool Call) {
  std::string Dropped;
  bool Offline = false;
  {
    std::lock_guard<std::mutex> Guard(FLock);
    if (FQueue.size() >= FOptions.QueueLimit * 2) {
      // Two messages a call; the oldest unsent one goes, one in flight stays with the broker.
      for (auto It = FQueue.begin(); It != FQueue.end(); ++It) {
        if (It->Mid < 0) {
          Dropped = It->Topic;
          FQueue.erase(It);
          break;
        }
      }
    }
    FQueue.push_back(std::move(Message));
    Offline = !FConnected;
    if (!Offline)
      SendWaiting();
  }
  if (!Dropped.empty())
    Warn("too many calls waiting for the MQTT broker; the oldest (" + Dropped + ") was dropped",
         true);
  if (Offline && Call)
    Warn("the MQTT broker at " + FOptions.Host + ":" + std::to_string(FOptions.Port) +
         " is not reachable; calls are kept until it is back");
}

// Calls FLock held. Sends every message not yet with the broker, in order; libmosquitto keeps
// those it has until they are acknowledged, resending them after a reconnect.
void TMqttPublisher::SendWaiting() {
  for (TMessage& Message : FQueue) {
    if (Message.Mid >= 0)
      continue;
    int Mid = -1;
    const int Result = mosquitto_publish(FClient.get(), &Mid, Message.Topic.c_str(),
                                         static_cast<int>(Message.Payload.size()),
                                         Message.Payload.data(), QosAtLeastOnce, Message.Retain);
    if (Result != MOSQ_ERR_SUCCESS)
      return; // not connected after all: the next connect sends it
    Message.Mid = Mid;
  }
}

size_t TMqttPublisher::Waiting() const {
  std::lock_guard<std::mutex> Guard(FLock);
  return FQueue.size();
}

bool TMqttPublisher::Connected() const {
  std::lock_guard<std::mutex> Guard(FLock);
  return FConnected;
}

void TMqttPublisher::Warn(const std::string& Text, bool Always) {
  {
    std::lock_guard<std::mutex> Guard(FLock);
    if (FWarned && !Always)
      return;
    FWarned = true;
  }
  if (OnWarning)
    OnWarning(Text);
  else
    std::fprintf(stderr, "ringlet: %s\n", Text.c_str());
}
