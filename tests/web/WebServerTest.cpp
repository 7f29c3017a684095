// The web page's server over real HTTP on a loopback port: the files, the session and its
// CSRF token, the calls with their filters and pages, contacts and the block list, the event
// stream, and the bounds on requests and connections.
#include "WebTestSupport.h"

#include <algorithm>
#include <thread>
#include <vector>

namespace {

using namespace WebTest;

class WebServerTest : public TServerFixture {};

// A day of March 2026 at Hours, local time.
std::time_t Moment(int Day, int Hours = 12) {
  std::tm Local{};
  Local.tm_year = 2026 - 1900;
  Local.tm_mon = 2;
  Local.tm_mday = Day;
  Local.tm_hour = Hours;
  Local.tm_isdst = -1;
  return std::mktime(&Local);
}

TEST_F(WebServerTest, ThePageIsServedWithItsSecurityHeadersAndNothingElseIs) {
  Start(Options());
  const TAnswer Page = Get("/");
  ASSERT_EQ(200, Page.Status);
  EXPECT_EQ("text/html; charset=utf-8", Page.Header("content-type"));
  EXPECT_NE(std::string::npos, Page.Body.find("<html")) << Page.Body.substr(0, 200);
  const std::string Policy = Page.Header("content-security-policy");
  EXPECT_NE(std::string::npos, Policy.find("script-src 'self'")) << Policy;
  EXPECT_EQ(std::string::npos, Policy.find("unsafe-inline")) << Policy;
  EXPECT_EQ("nosniff", Page.Header("x-content-type-options"));
  EXPECT_EQ("DENY", Page.Header("x-frame-options"));
  EXPECT_EQ("no-referrer", Page.Header("referrer-policy"));
  EXPECT_EQ("", Page.Header("strict-transport-security")) << "HSTS over plain HTTP";
  EXPECT_EQ(200, Get("/app.js").Status);
  EXPECT_EQ("text/javascript; charset=utf-8", Get("/app.js").Header("content-type"));
  EXPECT_EQ(200, Get("/style.css").Status);
  const TAnswer Missing = Get("/../etc/passwd");
  EXPECT_EQ(404, Missing.Status);
  EXPECT_EQ(404, Get("/index.html.bak").Status);
  EXPECT_EQ(405, Ask(FPort, {"POST", "/", "{}"}).Status);
}

TEST_F(WebServerTest, LoginGivesAStrictHttpOnlyCookieAndAWrongPasswordIsRefused) {
  Start(Options());
  const TAnswer Wrong = Ask(FPort, {"POST", "/api/login", R"({"password": "guess"})"});
  EXPECT_EQ(401, Wrong.Status);
  EXPECT_EQ("", Wrong.Header("set-cookie"));
  EXPECT_EQ("wrong password", Wrong.Json().value("error", ""));
  const TAnswer Right = Ask(FPort, {"POST", "/api/login", TJson{{"password", Password}}.dump()});
  ASSERT_EQ(200, Right.Status);
  const std::string Cookie = Right.Header("set-cookie");
  EXPECT_NE(std::string::npos, Cookie.find("; HttpOnly")) << Cookie;
  EXPECT_NE(std::string::npos, Cookie.find("; SameSite=Strict")) << Cookie;
  EXPECT_NE(std::string::npos, Cookie.find("; Max-Age=43200")) << Cookie;
  EXPECT_EQ(std::string::npos, Cookie.find("Secure")) << Cookie;
  EXPECT_EQ("no-store", Right.Header("cache-control"));
  const std::string Csrf = Right.Json().value("csrf", "");
  const TAnswer Session = Ask(FPort, {"GET", "/api/session", "", SessionOf(Right)});
  ASSERT_EQ(200, Session.Status);
  EXPECT_EQ(Csrf, Session.Json().value("csrf", ""));
}

TEST_F(WebServerTest, EveryApiCallButLoginNeedsTheSessionCookie) {
  Start(Options());
  for (const char* Path : {"/api/calls", "/api/lines", "/api/events", "/api/history.csv",
                           "/api/session", "/api/nothing"})
    EXPECT_EQ(401, Get(Path).Status) << Path;
  EXPECT_EQ(401, Ask(FPort, {"GET", "/api/calls", "", std::string(64, 'a')}).Status);
  EXPECT_EQ(401, Write("POST", "/api/block", R"({"number": "5551234"})").Status);
  EXPECT_EQ(401, Write("DELETE", "/api/block/5551234", "").Status);
}

TEST_F(WebServerTest, WritingCallsNeedTheSessionsCsrfToken) {
  Start(Options());
  LogIn();
  const std::string Body = R"({"number": "5551234"})";
  EXPECT_EQ(403, Ask(FPort, {"POST", "/api/block", Body, FSession}).Status);
  EXPECT_EQ(403, Ask(FPort, {"POST", "/api/block", Body, FSession, std::string(64, '0')}).Status);
  EXPECT_EQ(403, Ask(FPort, {"POST", "/api/logout", "", FSession}).Status);
  EXPECT_FALSE(fs::exists(FFolder / "config/blocklist.txt"));
  // Another session's token is no good either.
  const std::string Mine = FSession, MyCsrf = FCsrf;
  LogIn();
  EXPECT_EQ(403, Ask(FPort, {"POST", "/api/block", Body, Mine, FCsrf}).Status);
  EXPECT_EQ(201, Ask(FPort, {"POST", "/api/block", Body, Mine, MyCsrf}).Status);
}

TEST_F(WebServerTest, LogoutEndsTheSessionAndClearsTheCookie) {
  Start(Options());
  LogIn();
  const TAnswer Out = Write("POST", "/api/logout", "");
  EXPECT_EQ(204, Out.Status);
  EXPECT_NE(std::string::npos, Out.Header("set-cookie").find("ringlet_session=;"));
  EXPECT_NE(std::string::npos, Out.Header("set-cookie").find("Max-Age=0"));
  EXPECT_EQ(401, Get("/api/calls").Status);
}

TEST_F(WebServerTest, CallsComeNewestFirstInPagesWithMoreToTell) {
  std::vector<TCallRecord> Calls;
  for (int I = 0; I < 120; ++I)
    Calls.push_back(MakeCall(Moment(1) + I * 60, "55500" + std::to_string(100 + I), "CALLER"));
  Store(Calls);
  Start(Options());
  LogIn();
  const TJson First = Get("/api/calls").Json();
  ASSERT_EQ(50u, First["calls"].size()) << First.dump();
  EXPECT_EQ("55500219", First["calls"][0]["number"]);
  EXPECT_EQ("55500170", First["calls"][49]["number"]);
  EXPECT_EQ(true, First["more"]);
  EXPECT_EQ(50, First["limit"]);
  const TJson Last = Get("/api/calls?limit=30&offset=100").Json();
  ASSERT_EQ(20u, Last["calls"].size()) << Last.dump();
  EXPECT_EQ("55500119", Last["calls"][0]["number"]);
  EXPECT_EQ("55500100", Last["calls"][19]["number"]);
  EXPECT_EQ(false, Last["more"]);
  EXPECT_EQ(100, Last["offset"]);
  const TJson Exact = Get("/api/calls?limit=20&offset=100").Json();
  EXPECT_EQ(20u, Exact["calls"].size());
  EXPECT_EQ(false, Exact["more"]);
  const TJson Call = First["calls"][0];
  EXPECT_EQ(120, Call["id"]);
  EXPECT_EQ(Moment(1) + 119 * 60, Call["moment"].get<std::time_t>());
  EXPECT_EQ("Line 1", Call["line"]);
  EXPECT_EQ("", Call["numberAbsent"]);
  EXPECT_EQ(false, Call["numberBlocked"]);
}

TEST_F(WebServerTest, SearchAndDaysFilterTheCalls) {
  Store({MakeCall(Moment(1), "3125550147", "OKAFOR GRACE"),
         MakeCall(Moment(2, 0) + 30, "4075551212", "CHMIELEWSKI JOH"),
         MakeCall(Moment(2, 23), "5551234", "Okafor Ltd"), MakeCall(Moment(3), "5559999", "")});
  Start(Options());
  LogIn();
  const auto Numbers = [this](const std::string& Query) {
    std::vector<std::string> Found;
    const TJson Answer = Get("/api/calls?" + Query).Json();
    for (const TJson& Call : Answer["calls"])
      Found.push_back(Call["number"]);
    return Found;
  };
  EXPECT_EQ((std::vector<std::string>{"5551234", "3125550147"}), Numbers("q=okafor"));
  EXPECT_EQ((std::vector<std::string>{"4075551212"}), Numbers("q=407555"));
  EXPECT_EQ((std::vector<std::string>{"5551234", "4075551212"}),
            Numbers("since=2026-03-02&until=2026-03-02"));
  EXPECT_EQ((std::vector<std::string>{"5559999", "5551234", "4075551212"}),
            Numbers("since=2026-03-02"));
  EXPECT_EQ((std::vector<std::string>{"3125550147"}), Numbers("until=2026-03-01"));
  EXPECT_EQ((std::vector<std::string>{"5551234"}), Numbers("q=OKAFOR%20L&since=2026-03-02"));
}

TEST_F(WebServerTest, AMalformedParameterIsABadRequest) {
  Start(Options());
  LogIn();
  for (const char* Query :
       {"limit=0", "limit=501", "limit=-1", "limit=ten", "offset=x", "since=2026-3-1",
        "until=2026-13-01", "since=2026-02-30", "since=yesterday"}) {
    const TAnswer Answer = Get(std::string("/api/calls?") + Query);
    EXPECT_EQ(400, Answer.Status) << Query;
    EXPECT_FALSE(Answer.Json().value("error", "").empty()) << Query;
  }
  EXPECT_EQ(400, Get("/api/history.csv?since=bad").Status);
  EXPECT_EQ(200, Get("/api/calls?limit=500&q=").Status);
}

TEST_F(WebServerTest, AMalformedRequestLineOrBodyIsABadRequest) {
  Start(Options());
  TConnection Garbage(FPort);
  ASSERT_TRUE(Garbage.Send("THIS IS NOT HTTP\r\n\r\n"));
  EXPECT_EQ(400, Garbage.ReadAnswer().Status);
  for (const char* Body : {"{\"password\": ", "[]", "{\"password\": 5}", "password=x", ""}) {
    const TAnswer Answer = Ask(FPort, {"POST", "/api/login", Body});
    EXPECT_EQ(400, Answer.Status) << Body;
  }
  LogIn();
  EXPECT_EQ(400, Write("POST", "/api/block", "{\"number\": }").Status);
  EXPECT_EQ(400, Write("POST", "/api/block", R"({"number": ""})").Status);
  EXPECT_EQ(400, Write("POST", "/api/block", R"({"number": "555\n1234"})").Status);
  EXPECT_EQ(400, Write("POST", "/api/contacts", R"({"name": "", "number": "5551234"})").Status);
  EXPECT_EQ(400, Write("POST", "/api/contacts", R"({"name": "A", "number": "call me"})").Status);
  EXPECT_FALSE(fs::exists(FFolder / "config/blocklist.txt"));
  EXPECT_FALSE(fs::exists(FFolder / "config/contacts.vcf"));
}

TEST_F(WebServerTest, AnOverLongBodyIsRefusedWith413) {
  Start(Options());
  LogIn();
  const std::string Long = R"({"number": "5551234", "pad": ")" + std::string(20000, 'x') + "\"}";
  EXPECT_EQ(413, Write("POST", "/api/block", Long).Status);
  // Sent in chunks, without a length to tell it first.
  TConnection Chunked(FPort);
  std::string Text = "POST /api/login HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
  for (int I = 0; I < 20; ++I)
    Text += "400\r\n" + std::string(0x400, 'x') + "\r\n";
  ASSERT_TRUE(Chunked.Send(Text + "0\r\n\r\n"));
  EXPECT_EQ(413, Chunked.ReadAnswer().Status);
  EXPECT_FALSE(fs::exists(FFolder / "config/blocklist.txt"));
}

TEST_F(WebServerTest, OverlongHeadersAreRefused) {
  Start(Options());
  TRequest Request{"GET", "/api/calls"};
  for (int I = 0; I < 100; ++I)
    Request.Extra += "X-Filler-" + std::to_string(I) + ": " + std::string(500, 'y') + "\r\n";
  const TAnswer Answer = Ask(FPort, Request);
  EXPECT_TRUE(Answer.Status == 431 || Answer.Status == 413) << Answer.Status;
}

// One address holds at most its share of places. With each of them busy (live views here), a
// further connection of that address is refused, while other addresses are served; kept-alive
// connections that only wait for their next request give their places up to new ones.
TEST_F(WebServerTest, OneAddressGetsOnlyItsShareOfConnections) {
  TWebServerOptions Settings = Options();
  Settings.PerAddress = 3;
  Start(std::move(Settings));
  LogIn();
  const auto Opened = [](const std::string& In) { return In.find("retry:") != std::string::npos; };
  std::vector<std::unique_ptr<TConnection>> Streams;
  for (int I = 0; I < 3; ++I) {
    Streams.push_back(std::make_unique<TConnection>(FPort, "127.0.0.2"));
    ASSERT_TRUE(Streams.back()->Send(RequestText({"GET", "/api/events", "", FSession})));
    ASSERT_TRUE(Opened(Streams.back()->ReadUntil(Opened)));
  }
  TConnection OneMore(FPort, "127.0.0.2");
  EXPECT_TRUE(OneMore.WaitClosed()) << "a fourth connection from one address was kept";
  EXPECT_EQ(200, Ask(FPort, {"GET", "/"}, "127.0.0.3").Status);
  Streams.pop_back();
  // The server sees the close on its own time: ask until a connection is served again.
  int Status = 0;
  for (int I = 0; I < 100 && Status != 200; ++I) {
    Status = Ask(FPort, {"GET", "/"}, "127.0.0.2").Status;
    if (Status != 200)
      std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(200, Status);

  std::vector<std::unique_ptr<TConnection>> KeptAlive;
  for (int I = 0; I < 3; ++I) {
    KeptAlive.push_back(std::make_unique<TConnection>(FPort, "127.0.0.4"));
    ASSERT_TRUE(KeptAlive.back()->Send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    ASSERT_EQ(200, KeptAlive.back()->ReadAnswer().Status);
  }
  EXPECT_EQ(200, Ask(FPort, {"GET", "/"}, "127.0.0.4").Status);
  EXPECT_TRUE(KeptAlive.front()->WaitClosed()) << "the longest waiting kept its place";
}

// Clients that send a request line and a header and then nothing (or a byte now and then)
// from four addresses take every place: a client that talks normally, from a fifth address or
// from one of theirs, is served all the same, the API too.
TEST_F(WebServerTest, SlowClientsFromFourAddressesDoNotShutThePage) {
  TWebServerOptions Settings = Options();
  Settings.RequestSeconds = 300; // the slow ones keep their places unless room is made
  Start(std::move(Settings));
  std::vector<std::unique_ptr<TConnection>> Slow;
  for (const char* From : {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"})
    for (int I = 0; I < 16; ++I) {
      Slow.push_back(std::make_unique<TConnection>(FPort, From));
      ASSERT_TRUE(Slow.back()->Connected()) << From;
      ASSERT_TRUE(Slow.back()->Send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n")) << From;
    }
  EXPECT_EQ(200, Ask(FPort, {"GET", "/"}, "127.0.0.6").Status) << "a new address was refused";
  EXPECT_EQ(200, Ask(FPort, {"GET", "/app.js"}, "127.0.0.2").Status)
      << "a new client of a slow client's address was refused";
  const TAnswer Login =
      Ask(FPort, {"POST", "/api/login", TJson{{"password", Password}}.dump()}, "127.0.0.7");
  ASSERT_EQ(200, Login.Status);
  EXPECT_EQ(200, Ask(FPort, {"GET", "/api/calls", "", SessionOf(Login)}, "127.0.0.7").Status);
}

// A request has a time to arrive whole, headers and body: sending a little now and then, so
// that the connection is never idle, does not hold a place beyond it.
TEST_F(WebServerTest, ARequestThatTricklesInIsDroppedAtItsDeadline) {
  TWebServerOptions Settings = Options();
  Settings.IdleSeconds = 1;
  Settings.RequestSeconds = 2;
  Start(std::move(Settings));
  TConnection Headers(FPort, "127.0.0.2"), Body(FPort, "127.0.0.3");
  ASSERT_TRUE(Headers.Send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n"));
  ASSERT_TRUE(Body.Send("POST /api/login HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                        "application/json\r\nContent-Length: 1000\r\n\r\n{"));
  const auto Until = TClock::now() + 20s;
  for (int I = 0; TClock::now() < Until && !(Headers.Closed() && Body.Closed()); ++I) {
    if (!Headers.Closed())
      Headers.Send("X-Slow-" + std::to_string(I) + ": y\r\n");
    if (!Body.Closed())
      Body.Send(" ");
    Headers.WaitClosed(100ms);
    Body.WaitClosed(100ms);
  }
  EXPECT_TRUE(Headers.Closed()) << "headers sent a line at a time held their place";
  EXPECT_TRUE(Body.Closed()) << "a body sent a byte at a time held its place";
}

TEST_F(WebServerTest, AnIdleConnectionIsClosed) {
  TWebServerOptions Settings = Options();
  Settings.IdleSeconds = 1;
  Start(std::move(Settings));
  TConnection Idle(FPort);
  ASSERT_TRUE(Idle.Connected());
  ASSERT_TRUE(Idle.Send("GET / HTTP/1.1\r\n"));
  EXPECT_TRUE(Idle.WaitClosed(15000ms)) << "a client that stopped half-way held its connection";
}

TEST_F(WebServerTest, TheEventStreamBringsEachCallAndLineAsItComes) {
  Start(Options());
  FServer->SetLine("Line 1", "watching");
  LogIn();
  TConnection Stream(FPort);
  ASSERT_TRUE(Stream.Send(RequestText({"GET", "/api/events", "", FSession})));
  const std::string Head = Stream.ReadUntil(
      [](const std::string& In) { return In.find("retry:") != std::string::npos; });
  ASSERT_NE(std::string::npos, Head.find("text/event-stream")) << Head;
  TCallRecord Call = MakeCall(std::time(nullptr), "3125550147", "OKAFOR GRACE", 7);
  FServer->Deliver(Call);
  FServer->SetLine("Line 1", "lost");
  const std::string Text = Stream.ReadUntil(
      [](const std::string& In) { return In.find("event: line") != std::string::npos; });
  const size_t At = Text.find("event: call\ndata: ");
  ASSERT_NE(std::string::npos, At) << Text;
  const size_t Begin = At + 18;
  const TJson Event =
      TJson::parse(Text.substr(Begin, Text.find('\n', Begin) - Begin), nullptr, false);
  EXPECT_EQ("3125550147", Event.value("number", "")) << Event.dump();
  EXPECT_EQ("7", Event.value("key", ""));
  EXPECT_EQ(0, Event.value("id", -1));
  EXPECT_NE(std::string::npos, Text.find(R"(data: {"name":"Line 1","state":"lost"})")) << Text;
  const TJson Lines = Get("/api/lines").Json();
  EXPECT_EQ(TJson::parse(R"({"lines":[{"name":"Line 1","state":"lost"}]})"), Lines);
}

TEST_F(WebServerTest, AQuietStreamGetsKeepAlivesAndStreamsAreBounded) {
  TWebServerOptions Settings = Options();
  Settings.KeepAliveMs = 200;
  Settings.MaxStreams = 2;
  Start(std::move(Settings));
  LogIn();
  TConnection First(FPort), Second(FPort);
  ASSERT_TRUE(First.Send(RequestText({"GET", "/api/events", "", FSession})));
  ASSERT_TRUE(Second.Send(RequestText({"GET", "/api/events", "", FSession})));
  const auto KeptAlive = [](const std::string& In) {
    return In.find(": keep-alive") != std::string::npos;
  };
  EXPECT_TRUE(KeptAlive(First.ReadUntil(KeptAlive)));
  EXPECT_TRUE(KeptAlive(Second.ReadUntil(KeptAlive)));
  EXPECT_EQ(503, Get("/api/events").Status);
}

TEST_F(WebServerTest, AStreamEndsWithItsClientOrItsSessionLongBeforeItsKeepAlive) {
  TWebServerOptions Settings = Options();
  Settings.KeepAliveMs = 120000;
  Settings.MaxStreams = 1;
  Start(std::move(Settings));
  LogIn();
  const auto Opened = [](const std::string& In) {
    return In.find("retry:") != std::string::npos || In.find(" 503 ") != std::string::npos;
  };
  auto Stream = std::make_unique<TConnection>(FPort);
  ASSERT_TRUE(Stream->Send(RequestText({"GET", "/api/events", "", FSession})));
  ASSERT_NE(std::string::npos, Stream->ReadUntil(Opened).find("retry:"));
  Stream.reset(); // the tab is closed
  bool Reopened = false;
  for (int Attempt = 0; Attempt < 40 && !Reopened; ++Attempt) {
    Stream = std::make_unique<TConnection>(FPort);
    ASSERT_TRUE(Stream->Send(RequestText({"GET", "/api/events", "", FSession})));
    Reopened = Stream->ReadUntil(Opened).find("retry:") != std::string::npos;
    if (!Reopened)
      std::this_thread::sleep_for(250ms);
  }
  ASSERT_TRUE(Reopened) << "the closed stream still held the only place";
  EXPECT_EQ(204, Write("POST", "/api/logout", "").Status);
  EXPECT_TRUE(Stream->WaitClosed()) << "the stream outlived its session";
}

TEST_F(WebServerTest, WithoutAHistoryTheCallsOfThisRunAreListed) {
  Start(Options(false));
  FServer->Deliver(MakeCall(100, "5551234", "FIRST", 1));
  FServer->Deliver(MakeCall(200, "5555678", "SECOND", 2));
  FServer->Deliver(MakeCall(200, "5555678", "SECOND LATER", 2));
  LogIn();
  const TJson Calls = Get("/api/calls").Json();
  ASSERT_EQ(2u, Calls["calls"].size()) << Calls.dump();
  EXPECT_EQ("SECOND LATER", Calls["calls"][0]["name"]);
  EXPECT_EQ("FIRST", Calls["calls"][1]["name"]);
  EXPECT_EQ(1u, Get("/api/calls?q=first").Json()["calls"].size());
}

TEST_F(WebServerTest, BlockAndUnblockChangeOnlyTheNumbersOwnLines) {
  fs::create_directories(FFolder / "config");
  const std::string Before = "# nuisance callers\r\n1900*\r\nname:SURVEY\r\n+1 (555) 123-4567\r\n";
  WriteFile(FFolder / "config/blocklist.txt", Before);
  Store({MakeCall(Moment(1), "5551234567", "SOMEONE"), MakeCall(Moment(2), "3125550147", "ANY")});
  Start(Options());
  LogIn();
  EXPECT_EQ(true, Get("/api/calls").Json()["calls"][1]["numberBlocked"]);
  EXPECT_EQ(false, Get("/api/calls").Json()["calls"][0]["numberBlocked"]);
  EXPECT_EQ(200, Write("POST", "/api/block", R"({"number": "555-123-4567"})").Status);
  EXPECT_EQ(201, Write("POST", "/api/block", R"({"number": "3125550147"})").Status);
  EXPECT_EQ(Before + "3125550147\n", ReadFile(FFolder / "config/blocklist.txt"));
  EXPECT_EQ(true, Get("/api/calls").Json()["calls"][0]["numberBlocked"]);
  EXPECT_EQ(204, Write("DELETE", "/api/block/%2B15551234567", "").Status);
  EXPECT_EQ("# nuisance callers\r\n1900*\r\nname:SURVEY\r\n3125550147\n",
            ReadFile(FFolder / "config/blocklist.txt"));
  EXPECT_EQ(404, Write("DELETE", "/api/block/5551234567", "").Status);
  EXPECT_EQ(404, Write("DELETE", "/api/block/19005550000", "").Status) << "a prefix is no number";
  EXPECT_EQ(204, Write("DELETE", "/api/block/3125550147", "").Status);
  EXPECT_EQ("# nuisance callers\r\n1900*\r\nname:SURVEY\r\n",
            ReadFile(FFolder / "config/blocklist.txt"));
}

TEST_F(WebServerTest, AddingAContactNamesTheCallers) {
  Store({MakeCall(Moment(1), "3125550147", "OKAFOR GRACE")});
  Start(Options());
  LogIn();
  EXPECT_EQ("", Get("/api/calls").Json()["calls"][0]["contact"]);
  EXPECT_EQ(201, Write("POST", "/api/contacts",
                       R"({"name": "Grace Okafor", "number": "+1 312 555 0147"})")
                     .Status);
  EXPECT_NE(std::string::npos, ReadFile(FFolder / "config/contacts.vcf").find("FN:Grace Okafor"));
  EXPECT_EQ("Grace Okafor", Get("/api/calls").Json()["calls"][0]["contact"]);
}

TEST_F(WebServerTest, MarkupInANameComesBackAsTheSameCharacters) {
  const std::string Markup = "<img src=x onerror=alert(1)>";
  Store({MakeCall(Moment(1), "5551234", Markup + "\x01\x1b[2J")});
  Start(Options());
  LogIn();
  const TAnswer Answer = Get("/api/calls");
  EXPECT_EQ("application/json", Answer.Header("content-type"));
  EXPECT_EQ(Markup + "[2J", Answer.Json()["calls"][0]["name"]) << "control characters are dropped";
  EXPECT_EQ(
      201,
      Write("POST", "/api/contacts", TJson{{"name", Markup}, {"number", "5551234"}}.dump()).Status);
  EXPECT_EQ(Markup, Get("/api/calls").Json()["calls"][0]["contact"]);
}

TEST_F(WebServerTest, TheCsvDownloadKeepsFormulasFromSpreadsheets) {
  Store({MakeCall(Moment(1), "5551234", "=HYPERLINK(\"http://x\")"),
         MakeCall(Moment(2), "5555678", "@SUM(A1)"),
         MakeCall(Moment(3), "5550000", "PLAIN, NAME")});
  Start(Options());
  LogIn();
  const TAnswer Csv = Get("/api/history.csv");
  ASSERT_EQ(200, Csv.Status);
  EXPECT_EQ("text/csv; charset=utf-8", Csv.Header("content-type"));
  EXPECT_EQ("attachment; filename=\"ringlet-calls.csv\"", Csv.Header("content-disposition"));
  std::vector<std::string> Rows;
  std::istringstream In(Csv.Body);
  for (std::string Row; std::getline(In, Row);)
    Rows.push_back(Row);
  ASSERT_EQ(4u, Rows.size()) << Csv.Body;
  EXPECT_EQ(0u, Rows[0].rfind("utc,local_time,line,number,name", 0));
  EXPECT_NE(std::string::npos, Rows[1].find(",\"PLAIN, NAME\","));
  EXPECT_NE(std::string::npos, Rows[2].find(",'@SUM(A1),"));
  EXPECT_NE(std::string::npos, Rows[3].find(",\"'=HYPERLINK(\"\"http://x\"\")\","));
  const std::string Since = Get("/api/history.csv?since=2026-03-02").Body;
  EXPECT_EQ(3, std::count(Since.begin(), Since.end(), '\n')) << Since;
}

TEST_F(WebServerTest, RepeatedWrongPasswordsSlowTheAddressDown) {
  Start(Options());
  int Status = 0;
  TAnswer Answer;
  for (int I = 0; I < 10 && Status != 429; ++I) {
    Answer = Ask(FPort, {"POST", "/api/login", R"({"password": "guess"})"});
    Status = Answer.Status;
  }
  ASSERT_EQ(429, Status);
  EXPECT_GE(std::stoi(Answer.Header("retry-after")), 1);
  // Even the right password waits now.
  EXPECT_EQ(429, Ask(FPort, {"POST", "/api/login", TJson{{"password", Password}}.dump()}).Status);
}

// A page elsewhere can post to the login through the owner's browser only as a simple
// request (text/plain, no header of its own): such a post is refused before the password is
// looked at, so it costs the owner's address nothing.
TEST_F(WebServerTest, AnotherSiteCannotSpendTheOwnersLoginAttempts) {
  Start(Options());
  const std::string Owner = "127.0.0.8";
  TRequest Guess{"POST", "/api/login", R"({"password": "guess"})"};
  Guess.ContentType = "text/plain;charset=UTF-8";
  for (int I = 0; I < 8; ++I)
    EXPECT_EQ(415, Ask(FPort, Guess, Owner).Status);
  Guess.ContentType = "";
  EXPECT_EQ(415, Ask(FPort, Guess, Owner).Status);
  EXPECT_EQ(200,
            Ask(FPort, {"POST", "/api/login", TJson{{"password", Password}}.dump()}, Owner).Status)
      << "the guesses of another site made the owner wait";
}

// What a browser says about where a request comes from: another site (or a sandboxed frame,
// or another port of this machine) may neither log in nor write; the page itself may.
TEST_F(WebServerTest, CrossSiteLoginsAndWritesAreRefused) {
  Start(Options());
  LogIn();
  const std::string Own = "127.0.0.1:" + std::to_string(FPort);
  const auto With = [&Own](TRequest Request, const std::string& Headers) {
    Request.Host = Own;
    Request.Extra = Headers + "\r\n";
    return Request;
  };
  const std::string Right = TJson{{"password", Password}}.dump();
  const std::string Block = R"({"number": "5551234"})";
  for (const char* Header :
       {"Origin: http://evil.example", "Origin: null", "Origin: http://127.0.0.1:1",
        "Origin: https://127.0.0.1", "Sec-Fetch-Site: cross-site", "Sec-Fetch-Site: same-site"}) {
    EXPECT_EQ(403, Ask(FPort, With({"POST", "/api/login", Right}, Header), "127.0.0.9").Status)
        << Header;
    EXPECT_EQ(403,
              Ask(FPort, With({"POST", "/api/block", Block, FSession, FCsrf}, Header), "127.0.0.10")
                  .Status)
        << Header;
    EXPECT_EQ(
        403, Ask(FPort, With({"DELETE", "/api/block/5551234", "", FSession, FCsrf}, Header)).Status)
        << Header;
  }
  TRequest Plain{"POST", "/api/block", Block, FSession, FCsrf};
  Plain.ContentType = "text/plain";
  EXPECT_EQ(415, Ask(FPort, Plain).Status);
  EXPECT_FALSE(fs::exists(FFolder / "config/blocklist.txt"));
  const std::string Page = "Origin: http://" + Own + "\r\nSec-Fetch-Site: same-origin";
  EXPECT_EQ(200, Ask(FPort, With({"POST", "/api/login", Right}, Page), "127.0.0.11").Status);
  EXPECT_EQ(201, Ask(FPort, With({"POST", "/api/block", Block, FSession, FCsrf}, Page)).Status);
  EXPECT_EQ(204, Ask(FPort, With({"DELETE", "/api/block/5551234", "", FSession, FCsrf},
                                 "Sec-Fetch-Site: same-origin"))
                     .Status);
}

// A name of another site that resolves to this machine (DNS rebinding) gets nothing: only the
// addresses, localhost and the names set for the server are answered.
TEST_F(WebServerTest, OnlyTheServersOwnNamesAreAnswered) {
  TWebServerOptions Settings = Options();
  Settings.Hosts = {"ringlet.lan", "Phone-Box"};
  Start(std::move(Settings));
  const std::string Port = ":" + std::to_string(FPort);
  const auto Status = [this](const std::string& Host, const std::string& Path = "/") {
    TRequest Request{"GET", Path};
    Request.Host = Host;
    return Ask(FPort, Request).Status;
  };
  for (const std::string& Host :
       std::vector<std::string>{"evil.example", "evil.example" + Port, "localhost.evil.example",
                                "127.0.0.1.evil.example" + Port, "ringlet.lan.evil.example"}) {
    EXPECT_EQ(421, Status(Host)) << Host;
    EXPECT_EQ(421, Status(Host, "/api/session")) << Host;
  }
  TRequest Rebound{"POST", "/api/login", TJson{{"password", Password}}.dump()};
  Rebound.Host = "evil.example" + Port;
  EXPECT_EQ(421, Ask(FPort, Rebound).Status);
  for (const std::string& Host :
       std::vector<std::string>{"127.0.0.1" + Port, "localhost" + Port, "LOCALHOST", "[::1]" + Port,
                                "192.168.1.20", "ringlet.lan" + Port, "phone-box"})
    EXPECT_EQ(200, Status(Host)) << Host;
}

TEST_F(WebServerTest, WithoutAPasswordTheServerRefusesToStart) {
  TWebServerOptions Settings = Options();
  Settings.PasswordHash.clear();
  TWebServer Server(std::move(Settings));
  const std::string Why = Server.Start();
  EXPECT_NE(std::string::npos, Why.find("ringlet --set-web-password")) << Why;
}

TEST_F(WebServerTest, ABadAddressOrAnAddressInUseIsTold) {
  TWebServerOptions Settings = Options();
  Settings.Address = "localhost";
  EXPECT_NE("", TWebServer(Settings).Start());
  Start(Options());
  Settings = Options();
  Settings.Port = FPort;
  const std::string Why = TWebServer(Settings).Start();
  EXPECT_NE(std::string::npos, Why.find("cannot serve the web page on 127.0.0.1:")) << Why;
}

} // namespace
