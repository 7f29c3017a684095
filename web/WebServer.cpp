// The web page's server over libmicrohttpd. See WebServer.h.
#include "web/WebServer.h"

#include "web/WebAssets.h"
#include "web/WebGuard.h"

#include <gnutls/x509.h>
#include <microhttpd.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <optional>
#include <utility>
#include <vector>

namespace {

const char* const SecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; form-action 'self'; frame-ancestors 'none'; base-uri 'none'";

// Over TLS, browsers are told to come back over TLS only for a year.
const char* const TransportSecurity = "max-age=31536000";

// TLS 1.2 and 1.3 with key exchanges of forward secrecy and AEAD ciphers only (TLS 1.3 has
// no other kind); GnuTLS's own defaults for what is not named.
const char* const TlsPriorities =
    "SECURE128:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-KX-ALL:+ECDHE-ECDSA:+ECDHE-RSA:+DHE-RSA:"
    "-CIPHER-ALL:+CHACHA20-POLY1305:+AES-256-GCM:+AES-128-GCM:-MAC-ALL:+AEAD";

// Places beyond MaxConnections that the library keeps for connections being dropped while
// they close, so that its own limit never refuses the client room was made for.
constexpr unsigned SpareConnections = 16;

// How often the housekeeping thread looks for overdue requests and at the password file.
constexpr auto KeeperSlice = std::chrono::milliseconds(250);
constexpr int PasswordCheckSlices = 4;

uint64_t NowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

// What a request's body gathers while it comes in.
struct TUpload {
  std::string Body;
  bool TooLarge = false;
};

// One event stream: what is still to be sent and the last event it has, and whose it is.
struct TStream {
  TWebServer* Server = nullptr;
  uint64_t Serial = 0;
  std::string Pending;
  size_t Sent = 0;
  std::string Session;
  int Socket = -1;
};

// How often a quiet stream looks whether its client and its session are still there: a
// place among the few streams is not held long by a closed tab or an ended session.
constexpr int StreamCheckMs = 1000;

// Whether the client closed its end of the connection (or it failed).
bool ClientGone(int Socket) {
  if (Socket < 0)
    return false;
  pollfd Poll{Socket, POLLRDHUP, 0};
  return ::poll(&Poll, 1, 0) > 0 && (Poll.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

struct TResponseDeleter {
  void operator()(MHD_Response* Response) const { MHD_destroy_response(Response); }
};
using TResponse = std::unique_ptr<MHD_Response, TResponseDeleter>;

// False when the library refused one (out of memory, or a header it will not send): the
// answer is then not sent at all rather than sent without it.
bool AddHeaders(MHD_Response* Response,
                std::initializer_list<std::pair<const char*, const char*>> Headers) {
  for (const auto& [Name, Value] : Headers)
    if (MHD_add_response_header(Response, Name, Value) != MHD_YES)
      return false;
  return true;
}

// Whether the connection is one over TLS.
bool Secure(MHD_Connection* Connection) {
  return MHD_get_connection_info(Connection, MHD_CONNECTION_INFO_GNUTLS_SESSION) != nullptr;
}

bool AddSecurityHeaders(MHD_Connection* Connection, MHD_Response* Response, bool Api) {
  return AddHeaders(Response, {{"Content-Security-Policy", SecurityPolicy},
                               {"X-Content-Type-Options", "nosniff"},
                               {"Referrer-Policy", "no-referrer"},
                               {"X-Frame-Options", "DENY"}}) &&
         (!Api || AddHeaders(Response, {{"Cache-Control", "no-store"}})) &&
         (!Secure(Connection) ||
          AddHeaders(Response, {{"Strict-Transport-Security", TransportSecurity}}));
}

MHD_Result Queue(MHD_Connection* Connection, const TWebResponse& Answer, bool Api) {
  TResponse Response(MHD_create_response_from_buffer(
      Answer.Body.size(), const_cast<char*>(Answer.Body.data()), MHD_RESPMEM_MUST_COPY));
  if (!Response || !AddSecurityHeaders(Connection, Response.get(), Api))
    return MHD_NO;
  if (!Answer.ContentType.empty() &&
      !AddHeaders(Response.get(), {{"Content-Type", Answer.ContentType.c_str()}}))
    return MHD_NO;
  for (const auto& [Name, Value] : Answer.Headers)
    if (!AddHeaders(Response.get(), {{Name.c_str(), Value.c_str()}}))
      return MHD_NO;
  return MHD_queue_response(Connection, static_cast<unsigned>(Answer.Status), Response.get());
}

MHD_Result QueueError(MHD_Connection* Connection, int Status, const std::string& Text) {
  TWebResponse Answer;
  Answer.Status = Status;
  Answer.Body = "{\"error\":\"" + Text + "\"}";
  return Queue(Connection, Answer, true);
}

MHD_Result QueueAsset(MHD_Connection* Connection, const std::string& Method,
                      const std::string& Url) {
  if (Method != "GET" && Method != "HEAD")
    return QueueError(Connection, 405, "use GET");
  const TWebAsset* Asset = FindWebAsset(Url);
  if (Asset == nullptr)
    return QueueError(Connection, 404, "there is no such page");
  TResponse Response(MHD_create_response_from_buffer(
      Asset->Size, const_cast<unsigned char*>(Asset->Data), MHD_RESPMEM_PERSISTENT));
  if (!Response || !AddSecurityHeaders(Connection, Response.get(), false) ||
      !AddHeaders(Response.get(),
                  {{"Content-Type", Asset->ContentType}, {"Cache-Control", "no-cache"}}))
    return MHD_NO;
  return MHD_queue_response(Connection, MHD_HTTP_OK, Response.get());
}

std::string Value(MHD_Connection* Connection, MHD_ValueKind Kind, const char* Name) {
  const char* Text = MHD_lookup_connection_value(Connection, Kind, Name);
  return Text != nullptr ? Text : "";
}

MHD_Result AddParameter(void* Map, MHD_ValueKind, const char* Key, const char* Text) {
  auto& Parameters = *static_cast<std::map<std::string, std::string>*>(Map);
  if (Key != nullptr && Parameters.count(Key) == 0)
    Parameters[Key] = Text != nullptr ? Text : "";
  return MHD_YES;
}

std::string ClientGroupOf(MHD_Connection* Connection) {
  const MHD_ConnectionInfo* Info =
      MHD_get_connection_info(Connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  return ClientGroup(Info != nullptr ? Info->client_addr : nullptr);
}

TWebClients::TId IdOf(MHD_Connection* Connection) {
  return reinterpret_cast<TWebClients::TId>(Connection);
}

// A file's identity and last change, to tell that it was written since.
std::string Stamp(const std::string& Path) {
  struct stat Info {};
  if (::stat(Path.c_str(), &Info) != 0)
    return "none";
  return std::to_string(Info.st_dev) + ":" + std::to_string(Info.st_ino) + ":" +
         std::to_string(Info.st_size) + ":" + std::to_string(Info.st_mtim.tv_sec) + "." +
         std::to_string(Info.st_mtim.tv_nsec) + ":" + std::to_string(Info.st_ctim.tv_sec) + "." +
         std::to_string(Info.st_ctim.tv_nsec);
}

// A certificate or key file, read only when it is a regular file of at most MaxPemBytes (a
// device or a pipe would be read without end, or block); "" or why not.
std::string ReadPem(const std::string& Path, const std::string& What, std::string& Text) {
  const std::string Named = What + " " + Path;
  const int File = ::open(Path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (File < 0)
    return Named + " cannot be read (" + std::strerror(errno) + ")";
  struct stat Info {};
  std::string Why;
  if (::fstat(File, &Info) != 0 || !S_ISREG(Info.st_mode))
    Why = Named + " is not a regular file";
  else if (static_cast<size_t>(Info.st_size) > MaxPemBytes)
    Why = Named + " is too large for a PEM file (more than " + std::to_string(MaxPemBytes / 1024) +
          " KiB)";
  Text.clear();
  char Buffer[16384];
  while (Why.empty()) {
    const ssize_t Got = ::read(File, Buffer, sizeof Buffer);
    if (Got < 0 && errno == EINTR)
      continue;
    if (Got < 0)
      Why = Named + " cannot be read (" + std::strerror(errno) + ")";
    else if (Got == 0)
      break;
    else if (Text.size() + static_cast<size_t>(Got) > MaxPemBytes)
      Why = Named + " is too large for a PEM file";
    else
      Text.append(Buffer, static_cast<size_t>(Got));
  }
  ::close(File);
  return Why;
}

bool TooLong(MHD_Connection* Connection, size_t MaxBody) {
  const std::string Length = Value(Connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
  return Length.size() > 12 ||
         (!Length.empty() && Length.find_first_not_of("0123456789") == std::string::npos &&
          std::stoull(Length) > MaxBody);
}

struct TCertificateDeleter {
  void operator()(gnutls_x509_crt_int* Certificate) const { gnutls_x509_crt_deinit(Certificate); }
};
struct TKeyDeleter {
  void operator()(gnutls_x509_privkey_int* Key) const { gnutls_x509_privkey_deinit(Key); }
};

// The key id of a PEM certificate or private key; "" when the text is none.
template <typename TObject, typename TDeleter, typename TInit, typename TImport, typename TKeyId>
std::string KeyId(const std::string& Pem, TInit Init, TImport Import, TKeyId GetKeyId) {
  TObject* Raw = nullptr;
  if (Init(&Raw) != GNUTLS_E_SUCCESS)
    return "";
  const std::unique_ptr<TObject, TDeleter> Object(Raw);
  const gnutls_datum_t Data{reinterpret_cast<unsigned char*>(const_cast<char*>(Pem.data())),
                            static_cast<unsigned>(Pem.size())};
  unsigned char Id[64];
  size_t Size = sizeof Id;
  if (Import(Raw, &Data, GNUTLS_X509_FMT_PEM) != GNUTLS_E_SUCCESS ||
      GetKeyId(Raw, 0, Id, &Size) != GNUTLS_E_SUCCESS)
    return "";
  return std::string(reinterpret_cast<char*>(Id), Size);
}

// Whether the certificate and the key are PEM texts that belong together; checked here, with
// the objects freed, because the library's own set-up keeps what it parsed of a text it
// refuses.
std::string CheckTlsPair(const std::string& Cert, const std::string& CertFile,
                         const std::string& Key, const std::string& KeyFile) {
  const std::string CertId = KeyId<gnutls_x509_crt_int, TCertificateDeleter>(
      Cert, gnutls_x509_crt_init, gnutls_x509_crt_import, gnutls_x509_crt_get_key_id);
  if (CertId.empty())
    return "the certificate " + CertFile + " is not a PEM certificate";
  const std::string KeyOwnId = KeyId<gnutls_x509_privkey_int, TKeyDeleter>(
      Key, gnutls_x509_privkey_init, gnutls_x509_privkey_import, gnutls_x509_privkey_get_key_id);
  if (KeyOwnId.empty())
    return "the key " + KeyFile + " is not a PEM private key";
  return CertId == KeyOwnId ? "" : "the key " + KeyFile + " does not belong to the certificate";
}

} // namespace

// No exception may cross the library's C code: a callback that fails drops its connection.
struct TWebServer::TCallbacks {
  static MHD_Result Answer(void* Self, MHD_Connection* Connection, const char* Url,
                           const char* Method, const char*, const char* Data, size_t* DataSize,
                           void** State) {
    try {
      return Take(*static_cast<TWebServer*>(Self), Connection, Url, Method, Data, DataSize, State);
    } catch (...) {
      return MHD_NO;
    }
  }

  // The body as it comes in, then the answer.
  static MHD_Result Take(TWebServer& Server, MHD_Connection* Connection, const char* Url,
                         const char* Method, const char* Data, size_t* DataSize, void** State) {
    if (*State == nullptr) {
      *State = new TUpload;
      if (TooLong(Connection, Server.FOptions.MaxBody)) {
        Server.Arrived(Connection);
        return QueueError(Connection, 413, "the request is too large");
      }
      return MHD_YES;
    }
    auto& Upload = *static_cast<TUpload*>(*State);
    if (*DataSize > 0) {
      if (Upload.Body.size() + *DataSize > Server.FOptions.MaxBody)
        Upload.TooLarge = true;
      else
        Upload.Body.append(Data, *DataSize);
      *DataSize = 0;
      return MHD_YES;
    }
    Server.Arrived(Connection);
    if (Upload.TooLarge)
      return QueueError(Connection, 413, "the request is too large");
    return Dispatch(Server, Connection, Url, Method, std::move(Upload.Body));
  }

  // A request is over: a kept-alive connection waits for the next one.
  static void Completed(void* Self, MHD_Connection* Connection, void** State,
                        MHD_RequestTerminationCode) {
    delete static_cast<TUpload*>(*State);
    *State = nullptr;
    try {
      static_cast<TWebServer*>(Self)->Waiting(Connection);
    } catch (...) {
    }
  }

  static void Notify(void* Self, MHD_Connection* Connection, void**,
                     MHD_ConnectionNotificationCode Code) {
    auto& Server = *static_cast<TWebServer*>(Self);
    try {
      if (Code == MHD_CONNECTION_NOTIFY_STARTED)
        Server.Opened(Connection);
      else
        Server.Closed(Connection);
    } catch (...) {
      // Out of memory for the table: the connection is simply not counted.
    }
  }

  static ssize_t Read(void* Stream, uint64_t, char* Buffer, size_t Max) {
    try {
      return Next(*static_cast<TStream*>(Stream), Buffer, Max);
    } catch (...) {
      return MHD_CONTENT_READER_END_WITH_ERROR;
    }
  }

  // The stream's next bytes, waiting for an event (or the keep-alive's time) when all is sent.
  static ssize_t Next(TStream& Out, char* Buffer, size_t Max) {
    if (Out.Sent == Out.Pending.size())
      if (const std::optional<ssize_t> End = Refill(Out))
        return *End;
    const size_t Count = std::min(Max, Out.Pending.size() - Out.Sent);
    std::copy_n(Out.Pending.data() + Out.Sent, Count, Buffer); // bytes, not a C string
    Out.Sent += Count;
    return static_cast<ssize_t>(Count);
  }

  // Waits in short slices for the next events, or a keep-alive once KeepAliveMs passed
  // without any; the stream's end instead when the server stops, the session ended or the
  // client went away.
  static std::optional<ssize_t> Refill(TStream& Out) {
    TWebServer& Server = *Out.Server;
    std::vector<TWebEvent> Events;
    for (int Waited = 0; Events.empty() && Waited < Server.FOptions.KeepAliveMs;) {
      const int Slice = std::min(StreamCheckMs, Server.FOptions.KeepAliveMs - Waited);
      bool Stopped = false;
      Events = Server.FEvents.Wait(Out.Serial, Slice, Stopped);
      if (Stopped || Server.FSessions.Csrf(Out.Session, std::time(nullptr)).empty())
        return MHD_CONTENT_READER_END_OF_STREAM;
      if (ClientGone(Out.Socket))
        return MHD_CONTENT_READER_END_WITH_ERROR;
      Waited += Slice;
    }
    Out.Pending = Events.empty() ? ": keep-alive\n\n" : "";
    for (const TWebEvent& Event : Events) {
      Out.Pending += Server.FApi->EventText(Event);
      Out.Serial = Event.Serial;
    }
    Out.Sent = 0;
    return std::nullopt;
  }

  static void EndStream(void* Stream) {
    auto* Out = static_cast<TStream*>(Stream);
    --Out->Server->FStreams;
    delete Out;
  }

  static void Log(void* Self, const char* Format, va_list Arguments) {
    auto& Server = *static_cast<TWebServer*>(Self);
    char Text[512];
    std::vsnprintf(Text, sizeof Text, Format, Arguments);
    std::string Line = Text;
    while (!Line.empty() && (Line.back() == '\n' || Line.back() == '\r'))
      Line.pop_back();
    const std::lock_guard Guard(Server.FLogLock);
    Server.FLastLog = Line;
  }

  static MHD_Result Dispatch(TWebServer& Server, MHD_Connection* Connection, const std::string& Url,
                             const std::string& Method, std::string Body) {
    const TWebRequest Request = Server.MakeRequest(Connection, Url, Method, std::move(Body));
    TWebResponse Refusal;
    if (!AdmitWebRequest(Request, Server.FOptions.Hosts, Server.FOptions.Api.Secure, Refusal))
      return Queue(Connection, Refusal, true);
    if (Url.rfind("/api/", 0) != 0)
      return QueueAsset(Connection, Method, Url);
    if (Url == "/api/events" && Method == "GET")
      return OpenStream(Server, Connection, Request);
    try {
      return Queue(Connection, Server.FApi->Handle(Request), true);
    } catch (const std::exception&) {
      // A fault of this request only (a file or the history that failed unexpectedly).
      return QueueError(Connection, 500, "the request failed");
    }
  }

  static MHD_Result OpenStream(TWebServer& Server, MHD_Connection* Connection,
                               const TWebRequest& Request) {
    TWebResponse Refusal;
    if (!Server.FApi->MayListen(Request, Refusal))
      return Queue(Connection, Refusal, true);
    if (++Server.FStreams > Server.FOptions.MaxStreams) {
      --Server.FStreams;
      return QueueError(Connection, 503, "too many live views are open");
    }
    const MHD_ConnectionInfo* Info =
        MHD_get_connection_info(Connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    auto* Stream =
        new TStream{&Server, Server.FEvents.Latest(), "retry: 3000\n\n",
                    0,       Request.Session,         Info != nullptr ? Info->connect_fd : -1};
    TResponse Response(
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, Read, Stream, EndStream));
    if (!Response) {
      EndStream(Stream);
      return MHD_NO;
    }
    if (!AddSecurityHeaders(Connection, Response.get(), true) ||
        !AddHeaders(Response.get(), {{"Content-Type", "text/event-stream"}}))
      return MHD_NO;
    return MHD_queue_response(Connection, MHD_HTTP_OK, Response.get());
  }
};

void TWebServer::TStopDaemon::operator()(MHD_Daemon* Daemon) const {
  MHD_stop_daemon(Daemon);
}

TWebServer::TWebServer(TWebServerOptions Options)
    : FOptions(std::move(Options)), FSessions(FOptions.PasswordHash, FOptions.Sessions),
      FClients({FOptions.MaxConnections, FOptions.PerAddress, FOptions.RequestSeconds * 1000ull}) {}

TWebServer::~TWebServer() {
  Stop();
}

TWebRequest TWebServer::MakeRequest(MHD_Connection* Connection, const std::string& Url,
                                    const std::string& Method, std::string Body) const {
  TWebRequest Request;
  Request.Method = Method;
  Request.Path = Url;
  Request.Body = std::move(Body);
  Request.ContentType = Value(Connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_TYPE);
  Request.Session = Value(Connection, MHD_COOKIE_KIND, SessionCookie);
  Request.Csrf = Value(Connection, MHD_HEADER_KIND, "X-CSRF-Token");
  Request.Address = ClientGroupOf(Connection);
  Request.Host = Value(Connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
  Request.Origin = Value(Connection, MHD_HEADER_KIND, "Origin");
  Request.FetchSite = Value(Connection, MHD_HEADER_KIND, "Sec-Fetch-Site");
  MHD_get_connection_values(Connection, MHD_GET_ARGUMENT_KIND, AddParameter, &Request.Query);
  return Request;
}

std::string TWebServer::ReadTls(std::string& Cert, std::string& Key) const {
  if (FOptions.CertFile.empty() != FOptions.KeyFile.empty())
    return "HTTPS needs both a certificate (--web-cert) and its key (--web-key)";
  if (FOptions.CertFile.empty())
    return "";
  if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES)
    return "this build of libmicrohttpd has no TLS";
  if (std::string Why = ReadPem(FOptions.CertFile, "the certificate", Cert); !Why.empty())
    return Why;
  if (std::string Why = ReadPem(FOptions.KeyFile, "the key", Key); !Why.empty())
    return Why;
  return CheckTlsPair(Cert, FOptions.CertFile, Key, FOptions.KeyFile);
}

void TWebServer::Opened(MHD_Connection* Connection) {
  const MHD_ConnectionInfo* Info =
      MHD_get_connection_info(Connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  // A copy of the socket, closed only when the connection is: a connection is dropped by
  // shutting its socket down, and the copy makes sure it is this connection's socket even
  // when the library has closed its own descriptor and the number went to another.
  const int Copy = Info != nullptr ? ::fcntl(Info->connect_fd, F_DUPFD_CLOEXEC, 0) : -1;
  const std::string Group = ClientGroupOf(Connection);
  const std::lock_guard Guard(FClientsLock);
  if (Copy >= 0)
    FSockets[IdOf(Connection)] = Copy;
  for (const TWebClients::TId Id : FClients.Open(IdOf(Connection), Group, NowMs()))
    Drop(Id);
}

void TWebServer::Arrived(MHD_Connection* Connection) {
  const std::lock_guard Guard(FClientsLock);
  FClients.Arrived(IdOf(Connection));
}

void TWebServer::Waiting(MHD_Connection* Connection) {
  const std::lock_guard Guard(FClientsLock);
  FClients.Waiting(IdOf(Connection), NowMs());
}

void TWebServer::Closed(MHD_Connection* Connection) {
  const std::lock_guard Guard(FClientsLock);
  FClients.Close(IdOf(Connection));
  if (const auto Found = FSockets.find(IdOf(Connection)); Found != FSockets.end()) {
    ::close(Found->second);
    FSockets.erase(Found);
  }
}

void TWebServer::Drop(TWebClients::TId Id) {
  if (const auto Found = FSockets.find(Id); Found != FSockets.end())
    ::shutdown(Found->second, SHUT_RDWR);
}

void TWebServer::Keep() {
  std::unique_lock Lock(FKeeperLock);
  for (int Slice = 1; !FKeeperWake.wait_for(Lock, KeeperSlice, [this] { return FKeeperStop; });
       ++Slice) {
    Lock.unlock();
    {
      const std::lock_guard Guard(FClientsLock);
      for (const TWebClients::TId Id : FClients.Overdue(NowMs()))
        Drop(Id);
    }
    if (Slice % PasswordCheckSlices == 0)
      FollowPassword();
    Lock.lock();
  }
}

void TWebServer::FollowPassword() {
  if (FOptions.PasswordFile.empty() || !FOptions.ReadPasswordHash)
    return;
  const std::string Now = Stamp(FOptions.PasswordFile);
  if (Now == FPasswordStamp)
    return;
  FPasswordStamp = Now;
  try {
    const std::string Hash = FOptions.ReadPasswordHash();
    if (Hash == FPasswordHash)
      return;
    FPasswordHash = Hash;
    FSessions.SetPasswordHash(Hash);
  } catch (const std::exception&) {
    FPasswordStamp.clear(); // read again at the next look
  }
}

std::string TWebServer::LastLog() {
  const std::lock_guard Guard(FLogLock);
  return FLastLog;
}

std::string TWebServer::Start() {
  if (!CheckWebPasswordHash(FOptions.PasswordHash))
    return "no password is set for the web page; set one with ringlet --set-web-password";
  if (const std::string Why = ReadTls(FCert, FKey); !Why.empty())
    return Why;
  sockaddr_storage Address{};
  unsigned Flags = MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL |
                   MHD_USE_ERROR_LOG;
  auto* V4 = reinterpret_cast<sockaddr_in*>(&Address);
  auto* V6 = reinterpret_cast<sockaddr_in6*>(&Address);
  if (inet_pton(AF_INET, FOptions.Address.c_str(), &V4->sin_addr) == 1) {
    V4->sin_family = AF_INET;
    V4->sin_port = htons(FOptions.Port);
  } else if (inet_pton(AF_INET6, FOptions.Address.c_str(), &V6->sin6_addr) == 1) {
    V6->sin6_family = AF_INET6;
    V6->sin6_port = htons(FOptions.Port);
    Flags |= MHD_USE_IPv6;
  } else {
    return "\"" + FOptions.Address + "\" is not a numeric IPv4 or IPv6 address";
  }
  FOptions.Api.Secure = !FCert.empty();
  if (FOptions.Api.Secure)
    Flags |= MHD_USE_TLS;
  FApi = std::make_unique<TWebApi>(FOptions.Api, FSessions, FEvents);
  std::vector<MHD_OptionItem> Items = {
      {MHD_OPTION_SOCK_ADDR, 0, &Address},
      {MHD_OPTION_CONNECTION_LIMIT, FOptions.MaxConnections + SpareConnections, nullptr},
      {MHD_OPTION_CONNECTION_TIMEOUT, FOptions.IdleSeconds, nullptr},
      {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(FOptions.ConnectionMemory),
       nullptr},
      {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&TCallbacks::Completed), this},
      {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&TCallbacks::Notify), this},
      {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&TCallbacks::Log), this}};
  if (FOptions.Api.Secure) {
    Items.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(FCert.c_str())});
    Items.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(FKey.c_str())});
    Items.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(TlsPriorities)});
  }
  Items.push_back({MHD_OPTION_END, 0, nullptr});
  FDaemon.reset(MHD_start_daemon(Flags, FOptions.Port, nullptr, nullptr, &TCallbacks::Answer, this,
                                 MHD_OPTION_ARRAY, Items.data(), MHD_OPTION_END));
  if (!FDaemon) {
    const std::string Log = LastLog();
    return "cannot serve the web page on " + FOptions.Address + ":" +
           std::to_string(FOptions.Port) + (Log.empty() ? "" : " (" + Log + ")");
  }
  const MHD_DaemonInfo* Info = MHD_get_daemon_info(FDaemon.get(), MHD_DAEMON_INFO_BIND_PORT);
  FBoundPort = Info != nullptr ? Info->port : FOptions.Port;
  FPasswordHash = FOptions.PasswordHash;
  FKeeper = std::thread([this] { Keep(); });
  return "";
}

void TWebServer::Stop() {
  {
    const std::lock_guard Guard(FKeeperLock);
    FKeeperStop = true;
  }
  FKeeperWake.notify_all();
  if (FKeeper.joinable())
    FKeeper.join();
  FEvents.Stop();
  FDaemon.reset();
}

void TWebServer::Deliver(const TCallRecord& Call) {
  FEvents.AddCall(Call);
}

void TWebServer::SetLine(const std::string& Name, const std::string& State) {
  FEvents.SetLine(Name, State);
}
