#include "telephony/CallMonitorLine.h"

#include "telephony/ModemTrace.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Telephony {

namespace {

constexpr size_t MaxLineLength = 512;
constexpr size_t MaxNumber = 32;
constexpr uint64_t MaxRetryMs = 300000;

uint64_t NowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  for (size_t at = line.find(';'); at != std::string_view::npos; at = line.find(';', start)) {
    fields.push_back(line.substr(start, at - start));
    start = at + 1;
  }
  fields.push_back(line.substr(start));
  return fields;
}

bool IsId(std::string_view id) {
  return !id.empty() && id.size() <= 8 &&
         id.find_first_not_of("0123456789") == std::string_view::npos;
}

// TCP keep-alive tuned so a router that vanished (power, cable) is noticed within a minute.
void KeepAlive(int fd) {
  const int on = 1, idle = 30, interval = 10, count = 3;
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

std::string Seconds(uint64_t ms) {
  return std::to_string((ms + 999) / 1000) + " s";
}

} // namespace

bool ParseCallMonitorLine(std::string_view line, TCallMonitorEvent& event) {
  if (line.size() > MaxLineLength)
    return false;
  const std::vector<std::string_view> fields = Fields(line);
  if (fields.size() < 3 || !IsId(fields[2]))
    return false;
  const std::string_view kind = fields[1];
  event = TCallMonitorEvent{};
  event.Id = std::string(fields[2]);
  if (kind == "RING") {
    if (fields.size() < 4)
      return false;
    event.Kind = cmRing;
    for (unsigned char c : fields[3])
      if (c > 0x20 && c < 0x7F && event.Caller.size() < MaxNumber)
        event.Caller += static_cast<char>(c);
    return true;
  }
  if (kind == "CALL")
    event.Kind = cmCall;
  else if (kind == "CONNECT")
    event.Kind = cmConnect;
  else if (kind == "DISCONNECT")
    event.Kind = cmDisconnect;
  else
    return false;
  return true;
}

TCallMonitorLine::TCallMonitorLine(const TLineConfig& config, TCallLineEvents& events)
    : FConfig(config), FEvents(events) {
  FWakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

TCallMonitorLine::~TCallMonitorLine() {
  Stop();
  if (FWakeFd >= 0)
    ::close(FWakeFd);
}

void TCallMonitorLine::Start() {
  if (FThread.joinable())
    return;
  {
    std::lock_guard lock(FLock);
    FStop = false;
  }
  FThread = std::thread([this] { Run(); });
}

void TCallMonitorLine::Stop() {
  if (!FThread.joinable())
    return;
  {
    std::lock_guard lock(FLock);
    FStop = true;
  }
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(FWakeFd, &one, sizeof one);
  FThread.join();
}

std::vector<std::pair<uint64_t, TCallerIdInfo>> TCallMonitorLine::RingingCalls() const {
  std::lock_guard lock(FLock);
  std::vector<std::pair<uint64_t, TCallerIdInfo>> calls;
  for (const auto& [id, call] : FRinging)
    calls.emplace_back(call.Key, call.Caller);
  std::sort(calls.begin(), calls.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  return calls;
}

bool TCallMonitorLine::InService() const {
  std::lock_guard lock(FLock);
  return FInService;
}

bool TCallMonitorLine::Settled() const {
  std::lock_guard lock(FLock);
  return FSettled;
}

std::string TCallMonitorLine::StateText() const {
  std::lock_guard lock(FLock);
  return FState;
}

bool TCallMonitorLine::Stopping() const {
  std::lock_guard lock(FLock);
  return FStop;
}

std::string TCallMonitorLine::Where() const {
  const bool v6 = FConfig.Host.find(':') != std::string::npos;
  return (v6 ? "[" + FConfig.Host + "]" : FConfig.Host) + ":" + std::to_string(FConfig.Port);
}

void TCallMonitorLine::SetState(bool inService, const std::string& text) {
  bool changed = false;
  {
    std::lock_guard lock(FLock);
    changed = FInService != inService || FState != text;
    FInService = inService;
    FState = text;
  }
  if (changed) {
    TraceModem(Where(), '*', text);
    FEvents.OnLineState(inService, text);
  }
  // Only now: whoever waits for the first outcome finds it reported.
  std::lock_guard lock(FLock);
  FSettled = true;
}

void TCallMonitorLine::Run() {
  uint32_t failures = 0;
  while (!Stopping()) {
    std::string why;
    const int fd = Connect(why);
    if (fd >= 0) {
      failures = 0;
      SetState(true, "connected to the call monitor at " + Where());
      why = Serve(fd);
      ::close(fd);
      EndAll();
    }
    if (Stopping())
      break;
    uint64_t delay = FConfig.RetryMs;
    for (uint32_t i = 0; i < failures && delay < MaxRetryMs; ++i)
      delay *= 2;
    delay = std::min(delay, MaxRetryMs);
    ++failures;
    SetState(false, "the router's call monitor at " + Where() + " cannot be reached (" + why +
                        "); trying again in " + Seconds(delay));
    if (WaitForStop(delay))
      break;
  }
  EndAll();
}

// True when a stop came within `ms`.
bool TCallMonitorLine::WaitForStop(uint64_t ms) {
  const uint64_t deadline = NowMs() + ms;
  for (uint64_t now = NowMs(); now < deadline; now = NowMs()) {
    pollfd wake{FWakeFd, POLLIN, 0};
    ::poll(&wake, 1, static_cast<int>(std::min<uint64_t>(deadline - now, 60000)));
    if (Stopping())
      return true;
  }
  return Stopping();
}

int TCallMonitorLine::Connect(std::string& why) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(FConfig.Port);
  if (const int err = getaddrinfo(FConfig.Host.c_str(), port.c_str(), &hints, &found)) {
    why = gai_strerror(err);
    return -1;
  }
  int connected = -1;
  why = "no address";
  for (addrinfo* at = found; at && connected < 0 && !Stopping(); at = at->ai_next) {
    const int fd =
        ::socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, at->ai_protocol);
    if (fd < 0) {
      why = std::strerror(errno);
      continue;
    }
    int err = ::connect(fd, at->ai_addr, at->ai_addrlen) == 0 ? 0 : errno;
    if (err == EINPROGRESS) {
      pollfd polls[2] = {{fd, POLLOUT, 0}, {FWakeFd, POLLIN, 0}};
      const int ready = ::poll(polls, 2, static_cast<int>(ConnectTimeoutMs));
      socklen_t size = sizeof err;
      if (ready <= 0 || !(polls[0].revents & (POLLOUT | POLLERR | POLLHUP)))
        err = ETIMEDOUT;
      else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &size) != 0)
        err = errno;
    }
    if (err) {
      why = err == ETIMEDOUT ? "no answer" : std::strerror(err);
      ::close(fd);
      continue;
    }
    KeepAlive(fd);
    connected = fd;
  }
  freeaddrinfo(found);
  return connected;
}

// Reads lines until the connection ends or a stop comes; returns why it ended.
std::string TCallMonitorLine::Serve(int fd) {
  std::string line;
  bool discarding = false;
  for (;;) {
    uint64_t now = NowMs();
    uint64_t next = now + 60000;
    {
      std::lock_guard lock(FLock);
      for (const auto& [id, call] : FRinging)
        next = std::min({next, call.SinceMs + MaxRingMs, call.NextRingMs});
    }
    pollfd polls[2] = {{fd, POLLIN, 0}, {FWakeFd, POLLIN, 0}};
    const int ready = ::poll(polls, 2, static_cast<int>(next > now ? next - now : 0));
    if (Stopping())
      return "stopped";
    if (ready < 0 && errno != EINTR)
      return std::strerror(errno);
    now = NowMs();
    ExpireCalls(now);
    RingOn(now);
    if (ready <= 0 || !(polls[0].revents & (POLLIN | POLLHUP | POLLERR)))
      continue;
    char buffer[1024];
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count == 0)
      return "the router closed the connection";
    if (count < 0) {
      if (errno == EAGAIN || errno == EINTR)
        continue;
      return std::strerror(errno);
    }
    for (ssize_t i = 0; i < count; ++i) {
      const char c = buffer[i];
      if (c == '\n' || c == '\r') {
        if (!discarding && !line.empty())
          HandleLine(line, now);
        line.clear();
        discarding = false;
      } else if (line.size() >= MaxLineLength) {
        discarding = true; // the rest of an over-long line is junk
      } else if (!discarding) {
        line += c;
      }
    }
  }
}

void TCallMonitorLine::HandleLine(std::string_view text, uint64_t now) {
  TraceModem(Where(), '<', text);
  TCallMonitorEvent event;
  if (!ParseCallMonitorLine(text, event))
    return;
  if (event.Kind == cmConnect || event.Kind == cmDisconnect) {
    EndCall(event.Id);
    return;
  }
  if (event.Kind != cmRing)
    return;          // our own outgoing calls are nobody's caller ID
  EndCall(event.Id); // the router reuses ids: a RING on a known one is a new call
  TRinging call;
  call.Key = ++FNextKey;
  call.SinceMs = now;
  call.NextRingMs = now + FConfig.RingCycleMs;
  if (event.Caller.empty())
    call.Caller.NumberAbsent = call.Caller.NameAbsent = caPrivate;
  else
    call.Caller.Number = event.Caller;
  {
    std::lock_guard lock(FLock);
    if (FRinging.size() >= MaxCalls)
      return;
    FRinging[event.Id] = call;
  }
  FEvents.OnCallOffered(call.Key, call.Caller);
}

void TCallMonitorLine::EndCall(const std::string& id) {
  uint64_t key = 0;
  {
    std::lock_guard lock(FLock);
    auto found = FRinging.find(id);
    if (found == FRinging.end())
      return;
    key = found->second.Key;
    FRinging.erase(found);
  }
  FEvents.OnCallEnded(key);
}

void TCallMonitorLine::EndAll() {
  std::vector<std::string> ids;
  {
    std::lock_guard lock(FLock);
    for (const auto& [id, call] : FRinging)
      ids.push_back(id);
  }
  for (const std::string& id : ids)
    EndCall(id);
}

// The router tells of a call once; its phones ring on until it ends.
void TCallMonitorLine::RingOn(uint64_t now) {
  std::vector<std::pair<uint64_t, uint32_t>> rings;
  {
    std::lock_guard lock(FLock);
    for (auto& [id, call] : FRinging) {
      if (now < call.NextRingMs)
        continue;
      // After a stall, one ring and the cycle from now: never a burst to catch up.
      call.NextRingMs += FConfig.RingCycleMs;
      if (call.NextRingMs <= now)
        call.NextRingMs = now + FConfig.RingCycleMs;
      rings.emplace_back(call.Key, ++call.Rings);
    }
  }
  for (const auto& [key, count] : rings)
    FEvents.OnCallRinging(key, count);
}

void TCallMonitorLine::ExpireCalls(uint64_t now) {
  std::vector<std::string> ids;
  {
    std::lock_guard lock(FLock);
    for (const auto& [id, call] : FRinging)
      if (now >= call.SinceMs + MaxRingMs)
        ids.push_back(id);
  }
  for (const std::string& id : ids)
    EndCall(id);
}

} // namespace Telephony
