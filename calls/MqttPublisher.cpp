// The MQTT publisher over libmosquitto.
#include "calls/MqttPublisher.h"

#include "calls/CallText.h"
#include "platform/LastError.h"
#include "platform/Log.h"
#include "platform/SafeFile.h"
#include "platform/SysMessage.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <unistd.h>

namespace {

constexpr int QosAtLeastOnce = 1;
constexpr int MaxBackoffSeconds = 60;
constexpr const char* QueueHeader = "ringlet mqtt queue 1";
constexpr unsigned QueueFileMode = 0600; // the calls are private
constexpr auto SaveEvery = std::chrono::seconds(1);
// Calls whose id an update may still need.
constexpr size_t RememberedCallIds = 64;

std::string DiscoveryTopic(const std::string& Slug) {
  return "homeassistant/sensor/ringlet_" + Slug + "/last_caller/config";
}

// A sensor whose state is the last caller's name (else number) and whose attributes are the
// whole call.
std::string DiscoveryPayload(const std::string& Line, const std::string& Slug,
                             const std::string& Status) {
  const std::string State = "ringlet/" + Slug + "/last_call";
  return "{\"name\":" + JsonString("Last caller " + Line) +
         ",\"unique_id\":" + JsonString("ringlet_" + Slug + "_last_caller") +
         ",\"object_id\":" + JsonString("ringlet_" + Slug + "_last_caller") +
         ",\"state_topic\":" + JsonString(State) +
         ",\"value_template\":\"{{ value_json.name if value_json.name else value_json.number }}\""
         ",\"json_attributes_topic\":" +
         JsonString(State) + ",\"availability_topic\":" + JsonString(Status) +
         ",\"icon\":\"mdi:phone-incoming\""
         ",\"device\":{\"identifiers\":[" +
         JsonString("ringlet_" + Slug) + "],\"name\":" + JsonString("Ringlet " + Line) +
         ",\"model\":\"Caller-ID line\"}}";
}

std::string ErrorText(uint32_t Code) {
  std::string Text = Platform::SystemErrorText(Code);
  while (!Text.empty() && (Text.back() == '\n' || Text.back() == '\r'))
    Text.pop_back();
  return Text.empty() ? "error " + std::to_string(Code) : Text;
}

bool IsCall(const std::string& Topic) {
  return Topic.size() > 5 && Topic.compare(Topic.size() - 5, 5, "/call") == 0;
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

std::string InstanceName(const std::string& Text) {
  std::string Name;
  for (const char C : Text) {
    if (C >= 'A' && C <= 'Z')
      Name += static_cast<char>(C - 'A' + 'a');
    else if ((C >= 'a' && C <= 'z') || (C >= '0' && C <= '9') || C == '-' || C == '_')
      Name += C;
    else
      Name += '_';
  }
  return Name.empty() ? "ringlet" : Name.substr(0, 64);
}

TMqttPublisher::TMqttPublisher(TMqttOptions Options)
    : FOptions(std::move(Options)), FClient(nullptr, mosquitto_destroy) {
  FOptions.Instance = InstanceName(FOptions.Instance);
  // The configured lines take their slugs first and in their order, so that they are the
  // same in every run.
  for (const std::string& Line : FOptions.Lines) {
    FLines.insert(Line);
    SlugLocked(Line);
  }
}

TMqttPublisher::~TMqttPublisher() {
  Stop();
}

std::string TMqttPublisher::StatusTopic() const {
  return "ringlet/" + FOptions.Instance + "/status";
}

std::string TMqttPublisher::LineSlug(const std::string& Line) {
  std::lock_guard<std::mutex> Guard(FLock);
  return SlugLocked(Line);
}

// Calls FLock held.
std::string TMqttPublisher::SlugLocked(const std::string& Line) {
  const auto Known = FSlugs.find(Line);
  if (Known != FSlugs.end())
    return Known->second;
  std::string Slug = TopicSlug(Line);
  const auto Taken = [&](const std::string& Candidate) {
    return std::any_of(FSlugs.begin(), FSlugs.end(),
                       [&](const auto& Entry) { return Entry.second == Candidate; });
  };
  if (Taken(Slug))
    Slug = TopicSlug(Line, true);
  // Two names of the same hash: numbered, in the order they came.
  const std::string Base = Slug;
  for (int N = 2; Taken(Slug); ++N)
    Slug = Base + "_" + std::to_string(N);
  FSlugs.emplace(Line, Slug);
  return Slug;
}

// A client for one connection, set up with the will, the credentials and TLS.
std::string TMqttPublisher::NewClient(TClient& Client) {
  Client.reset(mosquitto_new(("ringlet-" + FOptions.Instance).c_str(), true, this));
  if (!Client)
    return "the MQTT client could not be created";
  mosquitto* C = Client.get();
  mosquitto_connect_callback_set(C, ConnectCallback);
  mosquitto_publish_callback_set(C, PublishCallback);
  mosquitto_threaded_set(C, true);
  const std::string Status = StatusTopic();
  int Result = mosquitto_will_set(C, Status.c_str(), 7, "offline", QosAtLeastOnce, true);
  if (Result == MOSQ_ERR_SUCCESS && !FOptions.User.empty())
    Result = mosquitto_username_pw_set(
        C, FOptions.User.c_str(), FOptions.Password.empty() ? nullptr : FOptions.Password.c_str());
  if (Result == MOSQ_ERR_SUCCESS && FOptions.Tls)
    Result = mosquitto_tls_set(C, FOptions.CaFile.empty() ? nullptr : FOptions.CaFile.c_str(),
                               FOptions.CaFile.empty() ? "/etc/ssl/certs" : nullptr, nullptr,
                               nullptr, nullptr);
  return Result == MOSQ_ERR_SUCCESS ? "" : std::string("MQTT: ") + mosquitto_strerror(Result);
}

std::string TMqttPublisher::Start() {
  FLibrary = TLibrary::Use();
  const std::string Why = NewClient(FClient);
  if (!Why.empty())
    return Why;
  LoadQueue();
  FStopping = false;
  FThread = std::thread([this] { Run(); });
  FStarted = true;
  return "";
}

// The network loop: connects, serves the connection while it lasts, and after every failure
// waits (1 s doubling up to 60 s) before the next attempt with a new client, so that nothing
// the old one still held goes out behind our queue's back. A broker that is not there yet is
// not an error. The waits end at once on Stop; meanwhile the queue is written as it changes.
void TMqttPublisher::Run() {
  bool First = true;
  while (!FStopping) {
    std::string Why;
    if (!First) {
      TClient Fresh(nullptr, mosquitto_destroy);
      Why = NewClient(Fresh);
      if (Why.empty()) {
        std::lock_guard<std::mutex> Guard(FLock);
        FClient.swap(Fresh);
      }
    }
    First = false;
    if (Why.empty() && mosquitto_connect_async(FClient.get(), FOptions.Host.c_str(), FOptions.Port,
                                               FOptions.KeepAliveSeconds) == MOSQ_ERR_SUCCESS)
      Serve();
    if (FStopping)
      break;
    HandleDisconnect();
    const auto Until = std::chrono::steady_clock::now() + std::chrono::seconds(FBackoff);
    while (!FStopping && std::chrono::steady_clock::now() < Until) {
      SaveQueue(false);
      std::unique_lock<std::mutex> Guard(FLock);
      FWakeUp.wait_until(Guard, std::min(Until, std::chrono::steady_clock::now() + SaveEvery),
                         [this] { return FStopping.load(); });
    }
    FBackoff = std::min(FBackoff * 2, MaxBackoffSeconds);
  }
}

void TMqttPublisher::Serve() {
  while (!FStopping && mosquitto_loop(FClient.get(), 1000, 1) == MOSQ_ERR_SUCCESS)
    SaveQueue(false);
}

void TMqttPublisher::Stop() {
  if (!FStarted)
    return;
  FStarted = false;
  {
    std::lock_guard<std::mutex> Guard(FLock);
    // A clean goodbye: the will is not sent then, so say offline ourselves.
    const std::string Status = StatusTopic();
    if (FConnected)
      mosquitto_publish(FClient.get(), nullptr, Status.c_str(), 7, "offline", QosAtLeastOnce, true);
    FStopping = true;
    mosquitto_disconnect(FClient.get());
  }
  FWakeUp.notify_all();
  FThread.join();
  FClient.reset();
  size_t Left;
  {
    std::lock_guard<std::mutex> Guard(FLock);
    FDirty = true;
    Left = WaitingCalls();
  }
  SaveQueue(true);
  if (Left == 0)
    return;
  const std::string Count = std::to_string(Left) + " call(s) not acknowledged by the MQTT broker";
  Warn(FOptions.QueueFile.empty()
           ? Count + " were not published"
           : Count + " are kept in " + FOptions.QueueFile + " and published at the next start",
       true);
}

void TMqttPublisher::ConnectCallback(mosquitto*, void* Self, int Result) {
  static_cast<TMqttPublisher*>(Self)->HandleConnect(Result);
}

void TMqttPublisher::PublishCallback(mosquitto*, void* Self, int Mid) {
  static_cast<TMqttPublisher*>(Self)->HandleAck(Mid);
}

void TMqttPublisher::HandleConnect(int Result) {
  if (Result != 0) {
    Warn(std::string("the MQTT broker refused the connection: ") +
         mosquitto_connack_string(Result));
    return;
  }
  std::lock_guard<std::mutex> Guard(FLock);
  FConnected = true;
  FWarned = false;
  FBackoff = 1;
  FInFlight = -1;
  const std::string Status = StatusTopic();
  mosquitto_publish(FClient.get(), nullptr, Status.c_str(), 6, "online", QosAtLeastOnce, true);
  for (const std::string& Line : FLines)
    Announce(Line);
  SendNext();
}

void TMqttPublisher::HandleDisconnect() {
  {
    std::lock_guard<std::mutex> Guard(FLock);
    FInFlight = -1;
    if (!FConnected)
      return; // told already, or never connected (a call that waits says so)
    FConnected = false;
  }
  Warn("the MQTT broker at " + FOptions.Host + ":" + std::to_string(FOptions.Port) +
       " went away; calls are kept until it is back");
}

void TMqttPublisher::HandleAck(int Mid) {
  std::lock_guard<std::mutex> Guard(FLock);
  if (Mid != FInFlight || FQueue.empty())
    return; // the status or a discovery message
  FQueue.pop_front();
  FInFlight = -1;
  FDirty = true;
  SendNext();
}

void TMqttPublisher::Deliver(const TCallRecord& Call) {
  std::string Dropped; // the oldest call's topic, when it had to go
  bool Offline = false;
  {
    std::lock_guard<std::mutex> Guard(FLock);
    const std::string Slug = SlugLocked(Call.Line);
    if (FLines.insert(Call.Line).second && FConnected)
      Announce(Call.Line);
    unsigned Revision = 0;
    const std::string Id = CallIdLocked(Call, Revision);
    const std::string Json = CallJson(Call, Id, Revision);
    // Two messages a call; past the bound the oldest call goes, never the one in flight.
    while (!FQueue.empty() && FQueue.size() + 2 > FOptions.QueueLimit * 2) {
      const size_t Oldest = FInFlight >= 0 ? 1 : 0;
      if (Oldest >= FQueue.size())
        break;
      if (IsCall(FQueue[Oldest].Topic))
        Dropped = FQueue[Oldest].Topic;
      FQueue.erase(FQueue.begin() + static_cast<long>(Oldest));
    }
    FQueue.push_back({"ringlet/" + Slug + "/call", Json, false});
    FQueue.push_back({"ringlet/" + Slug + "/last_call", Json, true});
    FDirty = true;
    Offline = !FConnected;
    SendNext();
  }
  if (!Dropped.empty())
    Warn("too many calls waiting for the MQTT broker; the oldest call (" + Dropped +
             ") was dropped",
         true);
  if (Offline)
    Warn("the MQTT broker at " + FOptions.Host + ":" + std::to_string(FOptions.Port) +
         " is not reachable; calls are kept until it is back");
}

// Calls FLock held. An update of a call keeps the id of its first message.
std::string TMqttPublisher::CallIdLocked(const TCallRecord& Call, unsigned& Revision) {
  const auto Known = std::find_if(FCallIds.begin(), FCallIds.end(), [&](const TCallId& Id) {
    return Call.CallKey != 0 && Id.Line == Call.Line && Id.CallKey == Call.CallKey;
  });
  if (Call.Update && Known != FCallIds.end()) {
    Revision = ++Known->Revision;
    return Known->Id;
  }
  Revision = 0;
  const auto Now = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  const std::string Id =
      FOptions.Instance + "-" + std::to_string(Now.count()) + "-" + std::to_string(++FDelivered);
  if (Call.CallKey != 0) {
    FCallIds.push_back({Call.Line, Call.CallKey, Id, 0});
    if (FCallIds.size() > RememberedCallIds)
      FCallIds.pop_front();
  }
  return Id;
}

// Calls FLock held.
void TMqttPublisher::Announce(const std::string& Line) {
  const std::string Slug = SlugLocked(Line);
  const std::string Topic = DiscoveryTopic(Slug);
  const std::string Payload = DiscoveryPayload(Line, Slug, StatusTopic());
  mosquitto_publish(FClient.get(), nullptr, Topic.c_str(), static_cast<int>(Payload.size()),
                    Payload.data(), QosAtLeastOnce, true);
}

// Calls FLock held. Hands the broker the queue's head when it has nothing of ours: one
// message at a time, so the order is the queue's whatever happens to the connection.
void TMqttPublisher::SendNext() {
  if (!FConnected || FInFlight >= 0 || FQueue.empty())
    return;
  const TMessage& Head = FQueue.front();
  int Mid = -1;
  if (mosquitto_publish(FClient.get(), &Mid, Head.Topic.c_str(),
                        static_cast<int>(Head.Payload.size()), Head.Payload.data(), QosAtLeastOnce,
                        Head.Retain) == MOSQ_ERR_SUCCESS)
    FInFlight = Mid; // else not connected after all: the next connect sends it
}

// Calls FLock held.
size_t TMqttPublisher::WaitingCalls() const {
  return static_cast<size_t>(std::count_if(FQueue.begin(), FQueue.end(),
                                           [](const TMessage& M) { return IsCall(M.Topic); }));
}

void TMqttPublisher::LoadQueue() {
  if (FOptions.QueueFile.empty())
    return;
  std::string Text;
  const uint32_t Code = Platform::ReadWholeFile(FOptions.QueueFile, Text);
  if (Code == Platform::errFileNotFound || Code == Platform::errPathNotFound)
    return;
  if (Code != 0) {
    Warn("the MQTT queue " + FOptions.QueueFile + " cannot be read (" + ErrorText(Code) + ")",
         true);
    return;
  }
  // One message a line: retain flag, topic, payload (JSON, which holds no tab or line break).
  std::deque<TMessage> Loaded;
  size_t Start = Text.find('\n');
  if (Text.compare(0, Start, QueueHeader) != 0)
    Start = std::string::npos;
  while (Start != std::string::npos && Start + 1 < Text.size()) {
    const size_t End = Text.find('\n', Start + 1);
    const std::string Line =
        Text.substr(Start + 1, End == std::string::npos ? End : End - Start - 1);
    Start = End;
    const size_t Tab1 = Line.find('\t');
    const size_t Tab2 = Tab1 == std::string::npos ? Tab1 : Line.find('\t', Tab1 + 1);
    if (Tab2 == std::string::npos || (Line[0] != '0' && Line[0] != '1') || Tab1 != 1)
      continue;
    Loaded.push_back(
        {Line.substr(Tab1 + 1, Tab2 - Tab1 - 1), Line.substr(Tab2 + 1), Line[0] == '1'});
  }
  while (Loaded.size() > FOptions.QueueLimit * 2)
    Loaded.pop_front();
  std::lock_guard<std::mutex> Guard(FLock);
  FQueue.insert(FQueue.begin(), Loaded.begin(), Loaded.end());
  const size_t Calls = WaitingCalls();
  if (Calls > 0 && OnWarning)
    OnWarning(std::to_string(Calls) + " call(s) of an earlier run wait in " + FOptions.QueueFile +
              " for the MQTT broker");
}

// Writes the queue when it changed, at most once a second unless Now; an empty queue removes
// the file.
void TMqttPublisher::SaveQueue(bool Now) {
  if (FOptions.QueueFile.empty())
    return;
  std::string Text = std::string(QueueHeader) + "\n";
  bool Empty;
  {
    std::lock_guard<std::mutex> Guard(FLock);
    const auto Time = std::chrono::steady_clock::now();
    if (!FDirty || (!Now && !FQueue.empty() && Time - FSaved < SaveEvery))
      return;
    for (const TMessage& Message : FQueue)
      Text += std::string(Message.Retain ? "1" : "0") + "\t" + Message.Topic + "\t" +
              Message.Payload + "\n";
    Empty = FQueue.empty();
    FDirty = false;
    FSaved = Time;
  }
  uint32_t Code = 0;
  if (Empty) {
    if (::unlink(FOptions.QueueFile.c_str()) != 0 && errno != ENOENT)
      Code = Platform::ErrorFromErrno(errno);
  } else {
    Code = Platform::MakeDirectories(Platform::FolderOf(FOptions.QueueFile), 0700);
    if (Code == 0)
      Code = Platform::ReplaceFileContents(FOptions.QueueFile, Text, QueueFileMode);
  }
  if (Code == 0)
    return;
  {
    // Tried again a second later.
    std::lock_guard<std::mutex> Guard(FLock);
    FDirty = true;
  }
  Warn("the calls waiting for the MQTT broker cannot be kept in " + FOptions.QueueFile + " (" +
       ErrorText(Code) + ")");
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
    Platform::Log(Text);
}
