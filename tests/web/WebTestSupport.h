// What the web tests share: a temporary folder, a plain HTTP/1.1 client over a loopback
// socket written for the tests (every read bounded), and a server started on a free port with
// its own history file and configuration folder.
#pragma once

#include "calls/CallRecord.h"
#include "calls/HistoryStore.h"
#include "tests/TestSupport.h"
#include "web/WebServer.h"
#include "web/WebSessions.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

namespace WebTest {

namespace fs = std::filesystem;
using TestSupport::TTempFolder;
using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;
using TJson = nlohmann::json;

inline constexpr const char* Password = "correct horse";

// Hashing is slow on purpose: once for the whole binary.
inline const std::string& PasswordHash() {
  static const std::string Hash = HashWebPassword(Password);
  return Hash;
}

inline std::string ReadFile(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  std::stringstream Text;
  Text << In.rdbuf();
  return Text.str();
}

inline void WriteFile(const std::string& Path, const std::string& Text) {
  std::ofstream(Path, std::ios::binary) << Text;
}

struct TAnswer {
  int Status = 0;                             // 0: no answer (closed or timed out)
  std::map<std::string, std::string> Headers; // names in lower case
  std::string Body;

  std::string Header(const std::string& Name) const {
    const auto Found = Headers.find(Name);
    return Found == Headers.end() ? "" : Found->second;
  }
  TJson Json() const { return TJson::parse(Body, nullptr, false); }
};

// One connection to 127.0.0.1:Port, from the loopback address From (any 127.x.y.z: the server
// sees as many clients as the test uses addresses).
class TConnection {
public:
  explicit TConnection(uint16_t Port, const std::string& From = "127.0.0.1") {
    FSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in Source{};
    Source.sin_family = AF_INET;
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_port = htons(Port);
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    FConnected = FSocket >= 0 && ::inet_pton(AF_INET, From.c_str(), &Source.sin_addr) == 1 &&
                 ::bind(FSocket, reinterpret_cast<sockaddr*>(&Source), sizeof Source) == 0 &&
                 ::connect(FSocket, reinterpret_cast<sockaddr*>(&Address), sizeof Address) == 0;
  }
  ~TConnection() {
    if (FSocket >= 0)
      ::close(FSocket);
  }
  TConnection(const TConnection&) = delete;
  TConnection& operator=(const TConnection&) = delete;

  bool Connected() const { return FConnected; }

  bool Send(const std::string& Text) {
    size_t Sent = 0;
    while (Sent < Text.size()) {
      const ssize_t Count = ::send(FSocket, Text.data() + Sent, Text.size() - Sent, MSG_NOSIGNAL);
      if (Count <= 0)
        return false;
      Sent += static_cast<size_t>(Count);
    }
    return true;
  }

  // Reads until Done(what came so far) or the bound passes or the peer closes; what came.
  template <typename TDone>
  std::string ReadUntil(TDone Done, std::chrono::milliseconds Limit = 10000ms) {
    const auto Until = TClock::now() + Limit;
    while (!Done(FIn) && !FClosed) {
      const auto Left =
          std::chrono::duration_cast<std::chrono::milliseconds>(Until - TClock::now());
      pollfd Poll{FSocket, POLLIN, 0};
      if (Left.count() <= 0 || ::poll(&Poll, 1, static_cast<int>(Left.count())) <= 0)
        break;
      char Buffer[8192];
      const ssize_t Got = ::recv(FSocket, Buffer, sizeof Buffer, 0);
      if (Got <= 0)
        FClosed = true;
      else
        FIn.append(Buffer, static_cast<size_t>(Got));
    }
    return FIn;
  }

  bool Closed() const { return FClosed; }

  // Whether the server closes the connection within the bound.
  bool WaitClosed(std::chrono::milliseconds Limit = 10000ms) {
    ReadUntil([](const std::string&) { return false; }, Limit);
    return FClosed;
  }

  // One whole answer (Content-Length or up to the close).
  TAnswer ReadAnswer(std::chrono::milliseconds Limit = 10000ms) {
    const std::string Text = ReadUntil([](const std::string& In) { return Complete(In); }, Limit);
    return Parse(Text);
  }

  static TAnswer Parse(const std::string& Text) {
    TAnswer Answer;
    const size_t End = Text.find("\r\n\r\n");
    if (End == std::string::npos || Text.rfind("HTTP/1.1 ", 0) != 0)
      return Answer;
    Answer.Status = std::stoi(Text.substr(9, 3));
    std::istringstream Head(Text.substr(0, End));
    std::string Line;
    std::getline(Head, Line);
    while (std::getline(Head, Line)) {
      if (!Line.empty() && Line.back() == '\r')
        Line.pop_back();
      const size_t Colon = Line.find(':');
      if (Colon == std::string::npos)
        continue;
      std::string Name = Line.substr(0, Colon);
      for (char& C : Name)
        C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
      Answer.Headers[Name] = Line.substr(Line.find_first_not_of(' ', Colon + 1));
    }
    Answer.Body = Text.substr(End + 4);
    return Answer;
  }

private:
  static bool Complete(const std::string& In) {
    const size_t End = In.find("\r\n\r\n");
    if (End == std::string::npos)
      return false;
    const TAnswer Head = Parse(In);
    const std::string Length = Head.Header("content-length");
    return !Length.empty() && In.size() - End - 4 >= std::stoul(Length);
  }

  int FSocket = -1;
  bool FConnected = false;
  bool FClosed = false;
  std::string FIn;
};

struct TRequest {
  TRequest(std::string TheMethod, std::string ThePath, std::string TheBody = "",
           std::string TheCookie = "", std::string TheCsrf = "")
      : Method(std::move(TheMethod)), Path(std::move(ThePath)), Body(std::move(TheBody)),
        Cookie(std::move(TheCookie)), Csrf(std::move(TheCsrf)) {}

  std::string Method;
  std::string Path;
  std::string Body;
  std::string Cookie; // the session's value
  std::string Csrf;
  std::string Extra; // more header lines, each ending in CR LF
  std::string Host = "127.0.0.1";
  std::string ContentType = "application/json"; // of a body or a POST; "" for none
};

inline std::string RequestText(const TRequest& Request) {
  std::string Text = Request.Method + " " + Request.Path + " HTTP/1.1\r\nHost: " + Request.Host +
                     "\r\nConnection: close\r\n";
  if (!Request.Cookie.empty())
    Text += "Cookie: ringlet_session=" + Request.Cookie + "\r\n";
  if (!Request.Csrf.empty())
    Text += "X-CSRF-Token: " + Request.Csrf + "\r\n";
  if (!Request.Body.empty() || Request.Method == "POST") {
    if (!Request.ContentType.empty())
      Text += "Content-Type: " + Request.ContentType + "\r\n";
    Text += "Content-Length: " + std::to_string(Request.Body.size()) + "\r\n";
  }
  return Text + Request.Extra + "\r\n" + Request.Body;
}

inline TAnswer Ask(uint16_t Port, const TRequest& Request, const std::string& From = "127.0.0.1") {
  TConnection Connection(Port, From);
  if (!Connection.Connected() || !Connection.Send(RequestText(Request)))
    return {};
  return Connection.ReadAnswer();
}

// The session cookie's value of a login answer.
inline std::string SessionOf(const TAnswer& Answer) {
  const std::string Cookie = Answer.Header("set-cookie");
  const std::string Prefix = "ringlet_session=";
  if (Cookie.rfind(Prefix, 0) != 0)
    return "";
  return Cookie.substr(Prefix.size(), Cookie.find(';') - Prefix.size());
}

inline TCallRecord MakeCall(std::time_t Moment, const std::string& Number, const std::string& Name,
                            uint64_t Key = 0) {
  TCallRecord Call;
  Call.Moment = Moment;
  Call.Time = "t" + std::to_string(Moment);
  Call.Line = "Line 1";
  Call.Number = Call.ID = Number;
  Call.Name = Call.IDName = Name;
  Call.CallKey = Key;
  return Call;
}

// A server on a free loopback port with a history file and configuration folder of its own.
class TServerFixture : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_FALSE(PasswordHash().empty()); }

  TWebServerOptions Options(bool WithHistory = true) {
    TWebServerOptions Result;
    Result.PasswordHash = PasswordHash();
    Result.Api.HistoryPath = WithHistory ? FFolder / "calls.sqlite" : "";
    Result.Api.Files = DefaultScreenFiles(FFolder / "config");
    return Result;
  }

  void Start(TWebServerOptions Settings) {
    FServer = std::make_unique<TWebServer>(std::move(Settings));
    const std::string Why = FServer->Start();
    ASSERT_EQ("", Why);
    FPort = FServer->BoundPort();
    ASSERT_NE(0, FPort);
  }

  // Writes Calls to the history file, oldest first.
  void Store(const std::vector<TCallRecord>& Calls) {
    THistoryStore Store(FFolder / "calls.sqlite", hoWrite, 1000);
    Store.Begin();
    for (const TCallRecord& Call : Calls)
      Store.Insert(Call);
    Store.Commit();
  }

  // Logs in; the session in FSession, the CSRF token in FCsrf.
  void LogIn() {
    const TAnswer Answer = Ask(FPort, {"POST", "/api/login", TJson{{"password", Password}}.dump()});
    ASSERT_EQ(200, Answer.Status) << Answer.Body;
    FSession = SessionOf(Answer);
    FCsrf = Answer.Json().value("csrf", "");
    ASSERT_EQ(64u, FSession.size());
    ASSERT_EQ(64u, FCsrf.size());
  }

  TAnswer Get(const std::string& Path) { return Ask(FPort, {"GET", Path, "", FSession}); }
  TAnswer Write(const std::string& Method, const std::string& Path, const std::string& Body) {
    return Ask(FPort, {Method, Path, Body, FSession, FCsrf});
  }

  TTempFolder FFolder{"server"};
  std::unique_ptr<TWebServer> FServer;
  uint16_t FPort = 0;
  std::string FSession, FCsrf;
};

} // namespace WebTest
