// The router's call monitor as a line of calls: the protocol's lines, and a real TCP
// connection to a call monitor played by the test on loopback.
#include "CallLineTestSupport.h"

#include "telephony/CallMonitorLine.h"

#include <arpa/inet.h>
#include <poll.h>
#include <thread>

using namespace CallLineTest;
using namespace Telephony;

namespace {

TEST(CallMonitorLineTest, ProtocolLines) {
  struct TCase {
    const char* Line;
    bool Valid;
    TCallMonitorKind Kind;
    const char* Id;
    const char* Caller;
  };
  const TCase cases[] = {
      {"12.12.26 09:14:02;RING;0;3125550147;5551234;SIP0;", true, cmRing, "0", "3125550147"},
      {"12.12.26 09:14:02;RING;1;;5551234;SIP0;", true, cmRing, "1", ""},
      {"12.12.26 09:14:02;RING;2;+49 30 1234;5551234;ISDN;", true, cmRing, "2", "+49301234"},
      {"12.12.26 09:14:09;CONNECT;0;11;3125550147;", true, cmConnect, "0", ""},
      {"12.12.26 09:15:40;DISCONNECT;0;91;", true, cmDisconnect, "0", ""},
      {"12.12.26 09:16:00;CALL;3;10;5551234;0301234;SIP1;", true, cmCall, "3", ""},
      {"12.12.26 09:16:00;RING;x;123;456;SIP0;", false, cmRing, "", ""},
      {"12.12.26 09:16:00;RING;123456789;123;456;SIP0;", false, cmRing, "", ""},
      {"12.12.26 09:16:00;RING;4", false, cmRing, "", ""},
      {"12.12.26 09:16:00;HANGUP;4;", false, cmRing, "", ""},
      {"", false, cmRing, "", ""},
      {"garbage without separators", false, cmRing, "", ""},
  };
  for (const TCase& test : cases) {
    TCallMonitorEvent event;
    ASSERT_EQ(ParseCallMonitorLine(test.Line, event), test.Valid) << test.Line;
    if (!test.Valid)
      continue;
    EXPECT_EQ(event.Kind, test.Kind) << test.Line;
    EXPECT_EQ(event.Id, test.Id) << test.Line;
    EXPECT_EQ(event.Caller, test.Caller) << test.Line;
  }
  TCallMonitorEvent event;
  EXPECT_FALSE(
      ParseCallMonitorLine("12.12.26 09:16:00;RING;1;" + std::string(600, '5') + ";;", event));
  EXPECT_TRUE(ParseCallMonitorLine("d;RING;1;" + std::string(60, '5') + ";;", event));
  EXPECT_EQ(event.Caller, std::string(32, '5')); // a number is bounded
}

// A router's call monitor: listens on a loopback port, takes one client at a time.
class TRouter {
public:
  explicit TRouter(uint16_t port) : FPort(port) {}
  ~TRouter() { Close(); }

  void Listen() {
    FListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(FPort);
    ASSERT_EQ(bind(FListen, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(FListen, 4), 0);
  }
  bool Accept(int timeoutMs = GenerousMs) {
    pollfd ready{FListen, POLLIN, 0};
    if (poll(&ready, 1, timeoutMs) != 1)
      return false;
    FClient = accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
    return FClient >= 0;
  }
  void Send(const std::string& text) {
    ASSERT_EQ(write(FClient, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void DropClient() {
    if (FClient >= 0)
      close(FClient);
    FClient = -1;
  }
  void Close() {
    DropClient();
    if (FListen >= 0)
      close(FListen);
    FListen = -1;
  }

private:
  uint16_t FPort;
  int FListen = -1;
  int FClient = -1;
};

TLineConfig MonitorConfig(uint16_t port) {
  TLineConfig config;
  config.Name = "Router";
  config.Kind = lkCallMonitor;
  config.Host = "127.0.0.1";
  config.Port = port;
  config.RetryMs = 200;
  return config;
}

TEST(CallMonitorLineTest, CallsFromTheRouterAndTheirEnds) {
  const uint16_t port = FreePort();
  TRouter router(port);
  router.Listen();
  TRecorder events;
  TCallMonitorLine line(MonitorConfig(port), events);
  line.Start();
  ASSERT_TRUE(router.Accept());
  ASSERT_TRUE(
      events.WaitState(true, "connected to the call monitor at 127.0.0.1:" + std::to_string(port)));
  EXPECT_TRUE(line.InService());
  EXPECT_FALSE(line.CanReject());

  router.Send("12.12.26 09:16:00;CALL;7;10;5551234;0301234;SIP1;\r\n" // ours: ignored
              "junk;\r\n" +
              std::string(2000, 'x') +
              "\r\n" // never a call
              "12.12.26 09:14:02;RING;0;3125550147;5551234;SIP0;\r\n");
  ASSERT_TRUE(events.WaitOffered(1));
  const TOffered first = events.OfferedAt(0);
  EXPECT_EQ(first.Caller.Number, "3125550147");
  EXPECT_EQ(first.Caller.NumberAbsent, caNone);
  EXPECT_EQ(line.RingingCalls().size(), 1u);
  EXPECT_FALSE(line.Reject(first.Call)); // the protocol cannot refuse a call

  // Split across writes, without a CR: a withheld caller rings while the first is answered.
  router.Send("12.12.26 09:14:05;RI");
  router.Send("NG;1;;5551234;SIP0;\n12.12.26 09:14:09;CONNECT;0;11;3125550147;\n");
  ASSERT_TRUE(events.WaitOffered(2));
  ASSERT_TRUE(events.WaitEnded(first.Call));
  const TOffered withheld = events.OfferedAt(1);
  EXPECT_EQ(withheld.Caller.NumberAbsent, caPrivate);
  EXPECT_EQ(withheld.Caller.NameAbsent, caPrivate);
  EXPECT_TRUE(withheld.Caller.Number.empty());

  router.Send("12.12.26 09:15:40;DISCONNECT;1;0;\r\n");
  ASSERT_TRUE(events.WaitEnded(withheld.Call));
  EXPECT_TRUE(line.RingingCalls().empty());

  // The router goes away while a call rings: the call ends, the state says why, and the line
  // is back once the router is.
  router.Send("12.12.26 09:17:00;RING;2;0301234;5551234;SIP0;\r\n");
  ASSERT_TRUE(events.WaitOffered(3));
  router.Close();
  ASSERT_TRUE(events.WaitEnded(events.OfferedAt(2).Call));
  ASSERT_TRUE(events.WaitState(false, "cannot be reached"));
  EXPECT_FALSE(line.InService());
  router.Listen();
  ASSERT_TRUE(router.Accept());
  ASSERT_TRUE(events.WaitState(true, "connected"));
  router.Send("12.12.26 09:18:00;RING;0;0301999;5551234;SIP0;\r\n");
  ASSERT_TRUE(events.WaitOffered(4));
  EXPECT_EQ(events.OfferedAt(3).Caller.Number, "0301999");
  line.Stop();
  EXPECT_TRUE(events.WaitEnded(events.OfferedAt(3).Call, 0)); // a stop ends what rang
}

// The router says RING once; the line counts the rings a phone would ring until the call
// ends, each call on its own, and none after its end.
TEST(CallMonitorLineTest, RingsAreCountedUntilTheCallEnds) {
  const uint16_t port = FreePort();
  TRouter router(port);
  router.Listen();
  TRecorder events;
  TLineConfig config = MonitorConfig(port);
  config.RingCycleMs = 150;
  TCallMonitorLine line(config, events);
  line.Start();
  ASSERT_TRUE(router.Accept());
  ASSERT_TRUE(events.WaitState(true, "connected"));

  router.Send("12.12.26 09:14:02;RING;0;3125550147;5551234;SIP0;\r\n");
  ASSERT_TRUE(events.WaitOffered(1));
  const uint64_t first = events.OfferedAt(0).Call;
  ASSERT_TRUE(events.WaitRings(first, 3));
  router.Send("12.12.26 09:14:05;RING;1;0301234;5551234;SIP0;\r\n");
  ASSERT_TRUE(events.WaitOffered(2));
  const uint64_t second = events.OfferedAt(1).Call;
  ASSERT_TRUE(events.WaitRings(second, 3));
  router.Send("12.12.26 09:14:09;CONNECT;0;11;3125550147;\r\n");
  ASSERT_TRUE(events.WaitEnded(first));
  ASSERT_TRUE(events.WaitRings(second, 5)); // the other one rings on
  router.DropClient();                      // and ends with the connection
  ASSERT_TRUE(events.WaitEnded(second));
  ASSERT_TRUE(events.WaitState(false, "cannot be reached"));
  line.Stop();

  for (const uint64_t call : {first, second}) {
    const std::vector<uint32_t> counts = events.RingsOf(call);
    ASSERT_FALSE(counts.empty());
    for (size_t i = 0; i < counts.size(); ++i)
      EXPECT_EQ(counts[i], i + 2) << "call " << call; // one by one from 2
  }
  EXPECT_EQ(events.RingsAfterEnd, 0u);
}

TEST(CallMonitorLineTest, UnreachableRouterIsSaidAndRetriedWithBackOff) {
  const uint16_t port = FreePort();
  TRecorder events;
  TCallMonitorLine line(MonitorConfig(port), events);
  line.Start();
  ASSERT_TRUE(events.WaitState(false, "Connection refused"));
  EXPECT_TRUE(events.Poll([&] { return line.Settled(); }));
  EXPECT_NE(line.StateText().find("cannot be reached"), std::string::npos) << line.StateText();
  // The waits double (0.2 s, 0.4 s, 0.8 s, 1.6 s): the fourth says so.
  ASSERT_TRUE(events.WaitState(false, "trying again in 2 s"));
  TRouter router(port);
  router.Listen();
  ASSERT_TRUE(router.Accept());
  ASSERT_TRUE(events.WaitState(true, "connected"));
  line.Stop();
}

} // namespace
