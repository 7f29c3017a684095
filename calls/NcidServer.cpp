// The NCID-protocol server.
#include "calls/NcidServer.h"

#include "calls/CallText.h"
#include "platform/PlainText.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Calls waiting for the server's thread; past this the oldest go (the thread is stuck).
constexpr size_t WaitingCallLimit = 1000;

std::string NcidDate(std::time_t Moment, const char* Format) {
  std::tm Local{};
  localtime_r(&Moment, &Local);
  char Text[16];
  std::strftime(Text, sizeof Text, Format, &Local);
  return Text;
}

std::string NcidField(const std::string& Text, TAbsence Absent, const char* Missing) {
  switch (Absent) {
  case abWithheld:
    return "PRIVATE";
  case abOutOfArea:
    return "OUT-OF-AREA";
  case abUnavailable:
    return Missing;
  case abNone:
    break;
  }
  const std::string Plain = PlainField(Text, "*");
  return Plain.find_first_not_of(' ') == std::string::npos ? Missing : Plain;
}

std::string ErrnoText(const char* What) {
  return std::string(What) + ": " + std::strerror(errno);
}

} // namespace

bool ParseListenAddress(const std::string& Text, std::string& Address, uint16_t& Port,
                        std::string& Error) {
  size_t Colon = Text.rfind(':');
  if (Colon == std::string::npos || Colon == 0) {
    Error = "\"" + Text + "\" is not ADDRESS:PORT (for example 127.0.0.1:3333)";
    return false;
  }
  std::string Host = Text.substr(0, Colon);
  const std::string PortText = Text.substr(Colon + 1);
  if (Host.size() >= 2 && Host.front() == '[' && Host.back() == ']')
    Host = Host.substr(1, Host.size() - 2);
  in6_addr Any6{};
  in_addr Any4{};
  if (::inet_pton(AF_INET, Host.c_str(), &Any4) != 1 &&
      ::inet_pton(AF_INET6, Host.c_str(), &Any6) != 1) {
    Error = "\"" + Host +
            "\" is not a numeric IP address (127.0.0.1 for this machine only, "
            "0.0.0.0 for every network)";
    return false;
  }
  if (PortText.empty() || PortText.size() > 5 ||
      PortText.find_first_not_of("0123456789") != std::string::npos ||
      std::stoul(PortText) > 65535) {
    Error = "\"" + PortText + "\" is not a port number";
    return false;
  }
  Address = Host;
  Port = static_cast<uint16_t>(std::stoul(PortText));
  return true;
}

std::string NcidLineId(const std::string& Line, const std::map<std::string, std::string>& LineIds) {
  // Keys of a settings file are read without regard to case.
  const auto Chosen = std::find_if(LineIds.begin(), LineIds.end(), [&Line](const auto& Entry) {
    return strcasecmp(Entry.first.c_str(), Line.c_str()) == 0;
  });
  // C1 controls too (a 0x9B starts an escape sequence on a client's terminal, as ESC [ does).
  std::string Id =
      PlainField(Platform::StripControls(Chosen != LineIds.end() ? Chosen->second : Line), "*");
  const size_t First = Id.find_first_not_of(' ');
  if (First == std::string::npos)
    return "-";
  Id = Id.substr(First, Id.find_last_not_of(' ') - First + 1);
  std::replace(Id.begin(), Id.end(), ' ', '_');
  return Id;
}

std::string NcidCallLine(const std::string& Prefix, const TCallRecord& Call,
                         const std::map<std::string, std::string>& LineIds) {
  return Prefix + " *DATE*" + NcidDate(Call.Moment, "%m%d%Y") + "*TIME*" +
         NcidDate(Call.Moment, "%H%M") + "*LINE*" + NcidLineId(Call.Line, LineIds) + "*NMBR*" +
         NcidField(Call.Number, Call.NumberAbsent, "NO NUMBER") + "*MESG*NONE*NAME*" +
         NcidField(Call.Name, Call.NameAbsent, "NO NAME") + "*";
}

std::string NcidRingLine(const TRingReport& Report,
                         const std::map<std::string, std::string>& LineIds) {
  return "CIDINFO: *LINE*" + NcidLineId(Report.Line, LineIds) + "*RING*" +
         std::to_string(Report.Ring) + "*TIME*" + NcidDate(Report.Moment, "%H:%M:%S") + "*";
}

const char* NcidLabel(const TCallRecord& Call, bool Log) {
  if (Call.Blocked)
    return Log ? "HUPLOG:" : "HUP:";
  return Log ? "CIDLOG:" : "CID:";
}

TNcidServer::TNcidServer(TNcidOptions Options) : FOptions(std::move(Options)) {}

TNcidServer::~TNcidServer() {
  Stop();
}

std::string TNcidServer::Start() {
  sockaddr_storage Storage{};
  socklen_t Length = 0;
  auto* V4 = reinterpret_cast<sockaddr_in*>(&Storage);
  auto* V6 = reinterpret_cast<sockaddr_in6*>(&Storage);
  if (::inet_pton(AF_INET, FOptions.Address.c_str(), &V4->sin_addr) == 1) {
    V4->sin_family = AF_INET;
    V4->sin_port = htons(FOptions.Port);
    Length = sizeof *V4;
  } else if (::inet_pton(AF_INET6, FOptions.Address.c_str(), &V6->sin6_addr) == 1) {
    V6->sin6_family = AF_INET6;
    V6->sin6_port = htons(FOptions.Port);
    Length = sizeof *V6;
  } else {
    return "\"" + FOptions.Address + "\" is not a numeric IP address";
  }
  FListener = ::socket(Storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (FListener < 0)
    return ErrnoText("socket");
  const int On = 1;
  ::setsockopt(FListener, SOL_SOCKET, SO_REUSEADDR, &On, sizeof On);
  if (::bind(FListener, reinterpret_cast<sockaddr*>(&Storage), Length) != 0 ||
      ::listen(FListener, 16) != 0) {
    const std::string Why = ErrnoText(
        ("cannot listen on " + FOptions.Address + ":" + std::to_string(FOptions.Port)).c_str());
    ::close(FListener);
    FListener = -1;
    return Why;
  }
  sockaddr_storage Bound{};
  socklen_t BoundLength = sizeof Bound;
  ::getsockname(FListener, reinterpret_cast<sockaddr*>(&Bound), &BoundLength);
  FBoundPort =
      ntohs(Bound.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&Bound)->sin_port
                                       : reinterpret_cast<sockaddr_in6*>(&Bound)->sin6_port);
  FWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (FWake < 0) {
    const std::string Why = ErrnoText("eventfd");
    ::close(FListener);
    FListener = -1;
    return Why;
  }
  FStopping = false;
  FThread = std::thread([this] { Run(); });
  return "";
}

void TNcidServer::Stop() {
  if (FThread.joinable()) {
    FStopping = true;
    Wake();
    FThread.join();
  }
  CloseClients();
  for (int* Descriptor : {&FListener, &FWake}) {
    if (*Descriptor >= 0)
      ::close(*Descriptor);
    *Descriptor = -1;
  }
}

void TNcidServer::Wake() {
  const uint64_t One = 1;
  [[maybe_unused]] const ssize_t Ignored = ::write(FWake, &One, sizeof One);
}

void TNcidServer::Deliver(const TCallRecord& Call) {
  // A client shows each line it gets as a call of its own: an update would be a second call.
  if (Call.Update)
    return;
  Send(NcidCallLine(NcidLabel(Call, false), Call, FOptions.LineIds));
}

void TNcidServer::Ringing(const TRingReport& Report) {
  Send(NcidRingLine(Report, FOptions.LineIds));
}

void TNcidServer::Send(std::string Line) {
  if (FWake < 0)
    return;
  {
    std::lock_guard<std::mutex> Guard(FLock);
    if (FCalls.size() >= WaitingCallLimit)
      FCalls.pop_front();
    FCalls.push_back(std::move(Line) + "\r\n");
  }
  Wake();
}

// On the server's thread: a client's message to every client, as plain text of bounded length.
void TNcidServer::Relay(const std::string& Text) {
  std::string Plain = Platform::StripControls(Text);
  Plain.erase(0, std::min(Plain.size(), Plain.find_first_not_of(' ')));
  if (Plain.size() > FOptions.MaxMessageLength) {
    size_t Cut = FOptions.MaxMessageLength;
    while (Cut > 0 && (static_cast<unsigned char>(Plain[Cut]) & 0xC0) == 0x80)
      --Cut; // not inside a character of several bytes
    Plain.resize(Cut);
  }
  if (!Plain.empty())
    FRelayed += "MSG: " + Plain + "\r\n";
}

void TNcidServer::Run() {
  std::vector<pollfd> Polls;
  while (!FStopping) {
    Polls.clear();
    Polls.push_back({FWake, POLLIN, 0});
    Polls.push_back({FListener, POLLIN, 0});
    for (const TClient& Client : FClients)
      Polls.push_back(
          {Client.Socket, static_cast<short>(POLLIN | (Client.Out.empty() ? 0 : POLLOUT)), 0});
    if (::poll(Polls.data(), Polls.size(), -1) < 0 && errno != EINTR)
      break;
    if (Polls[0].revents & POLLIN) {
      uint64_t Count = 0;
      [[maybe_unused]] const ssize_t Ignored = ::read(FWake, &Count, sizeof Count);
      TakeCalls();
    }
    // Clients first, by their poll entries; accepting changes the list.
    std::vector<TClient> Kept;
    for (size_t I = 0; I < FClients.size(); ++I) {
      TClient& Client = FClients[I];
      const short Events = I + 2 < Polls.size() ? Polls[I + 2].revents : 0;
      bool Keep = Client.Out.size() <= FOptions.ClientBufferLimit;
      if (Keep && (Events & (POLLIN | POLLHUP | POLLERR)))
        Keep = ReadClient(Client);
      if (Keep && !Client.Out.empty())
        Keep = WriteClient(Client);
      if (Keep)
        Kept.push_back(std::move(Client));
      else
        ::close(Client.Socket);
    }
    FClients = std::move(Kept);
    // Messages go out once every client has been read, to the clients still there.
    for (TClient& Client : FClients)
      Client.Out += FRelayed;
    FRelayed.clear();
    if (Polls[1].revents & POLLIN)
      AcceptClients();
  }
}

void TNcidServer::TakeCalls() {
  std::deque<std::string> Calls;
  {
    std::lock_guard<std::mutex> Guard(FLock);
    Calls.swap(FCalls);
  }
  for (const std::string& Line : Calls)
    for (TClient& Client : FClients)
      Client.Out += Line;
}

void TNcidServer::AcceptClients() {
  for (;;) {
    const int Socket = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (Socket < 0)
      return; // EAGAIN, or out of descriptors: the next poll tries again
    if (FClients.size() >= FOptions.MaxClients) {
      ::close(Socket);
      continue;
    }
    // A small kernel buffer per client, so that one that stops reading reaches its limit
    // soon and costs little memory until then.
    const int SendBuffer = 64 * 1024;
    ::setsockopt(Socket, SOL_SOCKET, SO_SNDBUF, &SendBuffer, sizeof SendBuffer);
    TClient Client;
    Client.Socket = Socket;
    Greet(Client);
    if (WriteClient(Client))
      FClients.push_back(std::move(Client));
    else
      ::close(Socket);
  }
}

void TNcidServer::Greet(TClient& Client) {
  Client.Out =
      "200 Server: ringlet (NCID) " + FOptions.Version + "\r\n" + "210 API: 1.0 Feature Set 1\r\n";
  std::vector<TCallRecord> Log;
  if (FOptions.CallLog) {
    try {
      Log = FOptions.CallLog();
    } catch (const std::exception&) {
      Log.clear(); // a history that cannot be read is an empty log, not a lost client
    }
  }
  const size_t First = Log.size() > FOptions.CallLogLimit ? Log.size() - FOptions.CallLogLimit : 0;
  for (size_t I = First; I < Log.size(); ++I)
    Client.Out += NcidCallLine(NcidLabel(Log[I], true), Log[I], FOptions.LineIds) + "\r\n";
  Client.Out += Log.empty() ? "252 Call log empty\r\n" : "250 End of call log\r\n";
  if (FOptions.HangUp)
    Client.Out += "OPT: hangup\r\n";
  Client.Out += "300 End of connection startup\r\n";
}

bool TNcidServer::ReadClient(TClient& Client) {
  char Buffer[4096];
  for (;;) {
    const ssize_t Got = ::recv(Client.Socket, Buffer, sizeof Buffer, 0);
    if (Got == 0)
      return false;
    if (Got < 0)
      return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    Client.In.append(Buffer, static_cast<size_t>(Got));
    size_t End;
    while ((End = Client.In.find('\n')) != std::string::npos) {
      std::string Line = Client.In.substr(0, End);
      Client.In.erase(0, End + 1);
      if (!Line.empty() && Line.back() == '\r')
        Line.pop_back();
      if (Line.size() > FOptions.MaxLineLength)
        return false;
      if (Line == "GOODBYE")
        return false;
      if (Line.rfind("MSG:", 0) == 0)
        Relay(Line.substr(4));
    }
    if (Client.In.size() > FOptions.MaxLineLength)
      return false;
  }
}

bool TNcidServer::WriteClient(TClient& Client) {
  while (!Client.Out.empty()) {
    const ssize_t Sent = ::send(Client.Socket, Client.Out.data(), Client.Out.size(), MSG_NOSIGNAL);
    if (Sent < 0)
      return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    Client.Out.erase(0, static_cast<size_t>(Sent));
  }
  return true;
}

void TNcidServer::CloseClients() {
  for (TClient& Client : FClients)
    ::close(Client.Socket);
  FClients.clear();
}
