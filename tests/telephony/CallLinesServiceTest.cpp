// SIP and call monitor lines through the line API, as the line device component sees them:
// listed beside a modem line, opened, offering calls with caller ID, going idle when the call
// ends, dropped without ending the call elsewhere, rejected where the kind can, and ringing
// as a modem line rings: a count per ring, on across the monitor's drop and reopen, and 0 once
// at the end.
#include "SipPeers.h"
#include "TapiTestSupport.h"

#include <netinet/in.h>

using namespace TapiTest;
using namespace SipTest;

namespace {

constexpr DWORD_PTR Instance = 0x5151;
constexpr DWORD Reject = RINGLET_DEVSPECIFIC_REJECT;

// A call monitor on loopback that takes one client.
class TMonitorServer {
public:
  TMonitorServer() {
    FListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(FListen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(FListen, 2) != 0 ||
        getsockname(FListen, reinterpret_cast<sockaddr*>(&address), &size) != 0)
      throw std::runtime_error("no call monitor server");
    FPort = ntohs(address.sin_port);
  }
  ~TMonitorServer() {
    if (FClient >= 0)
      close(FClient);
    close(FListen);
  }
  uint16_t Port() const { return FPort; }
  // Accepts by pumping the test thread's queue meanwhile (lineOpen is waiting on another path).
  bool Accepted() {
    if (FClient >= 0)
      return true;
    pollfd ready{FListen, POLLIN, 0};
    if (poll(&ready, 1, 0) == 1)
      FClient = accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
    return FClient >= 0;
  }
  void DropClient() {
    close(FClient);
    FClient = -1;
  }
  void Send(const std::string& line) {
    const std::string text = line + "\r\n";
    ASSERT_EQ(write(FClient, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }

private:
  int FListen = -1;
  int FClient = -1;
  uint16_t FPort = 0;
};

class CallLinesServiceTest : public ::testing::Test {
protected:
  void SetUp() override {
    Received().clear();
    OnMessage() = nullptr;
    if (!HaveProgram("/usr/sbin/kamailio") || !HaveProgram("/usr/bin/sipp"))
      GTEST_SKIP() << "kamailio or sipp (sip-tester) is not installed";
    Registrar = std::make_unique<TKamailio>(Folder.Path(), CallLineTest::FreeSipPort());
    ASSERT_TRUE(Registrar->Start()) << Registrar->Log();
    SipPort = CallLineTest::FreeSipPort();
    const std::string registrar = "127.0.0.1:" + std::to_string(Registrar->Port());
    const std::string secret = Folder.Path() + "/sip-password";
    std::ofstream(secret) << Password << "\n";
    chmod(secret.c_str(), 0600);
    WriteConfig(Folder.Path() + "/telephony.ini",
                LineSection("Line1", "Kitchen modem", Modem.SlavePath()) +
                    "[Line2]\nName=Home SIP\nKind=sip\nRegistrar=sip:" + registrar +
                    "\nUser=621\nPasswordFile=" + secret +
                    "\nLocalPort=" + std::to_string(SipPort) +
                    "\nRetryInterval=0.3\nRingCycle=0.3\n\n"
                    "[Line3]\nName=Router\nKind=callmonitor\nHost=127.0.0.1\nPort=" +
                    std::to_string(Router.Port()) + "\nRetryInterval=0.3\nRingCycle=0.3\n");
    DWORD devices = 0;
    ASSERT_EQ(Tapi().Initialize(&App, nullptr, Callback, "CallLinesServiceTest", &devices), 0);
    ASSERT_EQ(devices, 3u);
  }
  void TearDown() override {
    OnMessage() = nullptr;
    for (HLINE line : Lines)
      Tapi().Close(line);
    if (App) {
      EXPECT_EQ(Tapi().Shutdown(App), 0);
    }
  }

  HLINE Open(DWORD device, LONG expected = 0) {
    HLINE line = 0;
    EXPECT_EQ(Tapi().Open(App, device, &line, TAPI_VERSION_1_4, 0, Instance,
                          LINECALLPRIVILEGE_OWNER, LINEMEDIAMODE_DATAMODEM, nullptr),
              expected);
    if (line) {
      Lines.push_back(line);
      // As the line device component does: it hears of rings.
      EXPECT_EQ(Tapi().SetStatusMessages(line, LINEDEVSTATE_ALL, 0), 0);
    }
    return line;
  }
  void Close(HLINE line) {
    EXPECT_EQ(Tapi().Close(line), 0);
    Lines.erase(std::remove(Lines.begin(), Lines.end(), line), Lines.end());
  }

  // The next offered call at or after `from`, with its caller ID read as the component does.
  HCALL TakeOffer(size_t from) {
    EXPECT_TRUE(WaitMsg(LINE_CALLINFO, LINECALLINFOSTATE_CALLERID, from));
    const int at = FindMsg(LINE_CALLSTATE, LINECALLSTATE_OFFERING, from);
    return at < 0 ? 0 : Received()[static_cast<size_t>(at)].Device;
  }
  std::pair<std::string, std::string> CallerOf(HCALL call, DWORD* flags = nullptr) {
    TRecordBuffer info(1024);
    EXPECT_EQ(Tapi().GetCallInfo(call, info.As<LINECALLINFO>()), 0);
    const LINECALLINFO* record = info.As<LINECALLINFO>();
    if (flags)
      *flags = record->dwCallerIDFlags;
    EXPECT_TRUE(record->dwMediaMode & LINEMEDIAMODE_UNKNOWN); // what the component accepts
    return {record->dwCallerIDSize
                ? info.StringAt(record->dwCallerIDOffset, record->dwCallerIDSize - 1)
                : "",
            record->dwCallerIDNameSize
                ? info.StringAt(record->dwCallerIDNameOffset, record->dwCallerIDNameSize - 1)
                : ""};
  }
  bool WaitReply(LONG request, LONG result, size_t from) {
    return PumpUntil([&] {
      for (size_t i = from; i < Received().size(); ++i)
        if (Received()[i].Message == LINE_REPLY && Received()[i].Param1 == DWORD_PTR(request))
          return static_cast<LONG>(static_cast<DWORD>(Received()[i].Param2)) == result;
      return false;
    });
  }
  // The ring counts told from `from` on (0: the ringing stopped), and the line of each.
  static std::vector<std::pair<DWORD_PTR, HLINE>> RingsFrom(size_t from) {
    std::vector<std::pair<DWORD_PTR, HLINE>> rings;
    for (size_t i = from; i < Received().size(); ++i)
      if (Received()[i].Message == LINE_LINEDEVSTATE &&
          Received()[i].Param1 == LINEDEVSTATE_RINGING)
        rings.emplace_back(Received()[i].Param3, Received()[i].Device);
    return rings;
  }
  // Until a ring of at least `count` is told from `from` on (count 0: the end of the ringing).
  static bool WaitRing(DWORD_PTR count, size_t from) {
    return PumpUntil([&] {
      const auto rings = RingsFrom(from);
      return std::any_of(rings.begin(), rings.end(), [&](const auto& ring) {
        return count == 0 ? ring.first == 0 : ring.first >= count;
      });
    });
  }
  // Ring 1 of an offered call comes between its offer and its caller ID, as a modem's does.
  static void ExpectFirstRingBeforeCallerId(size_t from) {
    const int offering = FindMsg(LINE_CALLSTATE, LINECALLSTATE_OFFERING, from);
    const int ring = FindMsg(LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, from);
    const int callerId = FindMsg(LINE_CALLINFO, LINECALLINFOSTATE_CALLERID, from);
    ASSERT_GE(offering, 0);
    ASSERT_GE(ring, 0);
    EXPECT_LT(offering, ring);
    EXPECT_LT(ring, callerId);
    EXPECT_EQ(Received()[static_cast<size_t>(ring)].Param3, 1u);
  }
  // Counts going up one by one from 1 (a ring during a close and reopen may be told only by
  // the count after it), then one 0 on `last`, and nothing after it.
  static void ExpectRingsThenQuiet(const std::vector<std::pair<DWORD_PTR, HLINE>>& rings,
                                   DWORD_PTR atLeast, HLINE last) {
    ASSERT_GE(rings.size(), 2u);
    EXPECT_EQ(rings.front().first, 1u);
    for (size_t i = 1; i + 1 < rings.size(); ++i)
      EXPECT_GT(rings[i].first, rings[i - 1].first) << "ring " << i;
    EXPECT_GE(rings[rings.size() - 2].first, atLeast);
    EXPECT_EQ(rings.back(), std::make_pair(DWORD_PTR{0}, last));
  }
  std::string SipTarget() const { return "127.0.0.1:" + std::to_string(SipPort); }

  TTempFolder Folder;
  TModemPeer Modem;
  TMonitorServer Router;
  std::unique_ptr<TKamailio> Registrar;
  uint16_t SipPort = 0;
  HLINEAPP App = 0;
  std::vector<HLINE> Lines;
};

TEST_F(CallLinesServiceTest, LinesOfEveryKindAreListedWithWhatTheyAre) {
  const char* names[] = {"Kitchen modem", "Home SIP", "Router"};
  const char* providers[] = {"Ringlet AT modem service", "Ringlet SIP extension",
                             "Ringlet call monitor"};
  for (DWORD id = 0; id < 3; ++id) {
    TRecordBuffer caps(1024);
    ASSERT_EQ(Tapi().GetDevCaps(App, id, TAPI_VERSION_1_4, 0, caps.As<LINEDEVCAPS>()), 0);
    const LINEDEVCAPS* record = caps.As<LINEDEVCAPS>();
    EXPECT_EQ(caps.StringAt(record->dwLineNameOffset, record->dwLineNameSize - 1), names[id]);
    EXPECT_EQ(caps.StringAt(record->dwProviderInfoOffset, record->dwProviderInfoSize - 1),
              providers[id]);
    // What the component's device list asks of a line.
    EXPECT_TRUE(record->dwMediaModes & LINEMEDIAMODE_DATAMODEM);
    EXPECT_TRUE(record->dwLineFeatures & LINEFEATURE_MAKECALL);
  }
  const HLINE sip = Open(1);
  ASSERT_NE(sip, 0u);
  TRecordBuffer config(1028);
  ASSERT_EQ(Tapi().GetDevConfig(1, config.As<VARSTRING>(), "comm/datamodem"), 0);
  const std::string text =
      config.StringAt(config.As<VARSTRING>()->dwStringOffset, config.As<VARSTRING>()->dwStringSize);
  EXPECT_NE(text.find("Kind=sip\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("State=registered at sip:127.0.0.1:"), std::string::npos) << text;
  EXPECT_EQ(text.find(Password), std::string::npos) << text;
  EXPECT_EQ(Tapi().GetDevConfig(1, config.As<VARSTRING>(), "comm/datamodem/portname"),
            LINEERR_INVALDEVICECLASS);
  TRecordBuffer status(sizeof(LINEDEVSTATUS));
  ASSERT_EQ(Tapi().GetLineDevStatus(sip, status.As<LINEDEVSTATUS>()), 0);
  EXPECT_TRUE(status.As<LINEDEVSTATUS>()->dwDevStatusFlags & LINEDEVSTATUSFLAGS_INSERVICE);
}

TEST_F(CallLinesServiceTest, SipCallsAreOfferedDroppedWithoutEndingThemAndRejected) {
  const HLINE sip = Open(1);
  ASSERT_NE(sip, 0u);
  const std::string uri = "sip:621@" + SipTarget();

  // A call the application drops: nothing goes out, the caller gives up by itself later.
  size_t from = Received().size();
  TSipp first(Folder.Path(), "service-dropped");
  ASSERT_TRUE(first.Start(
      CallerScenario(uri, "\"Okafor Grace\" <sip:3125550147@127.0.0.1>", "Privacy: none\n", 2500),
      SipTarget(), "127.0.0.1", CallLineTest::FreeSipPort()));
  HCALL call = TakeOffer(from);
  ASSERT_NE(call, 0u);
  ExpectFirstRingBeforeCallerId(from);
  EXPECT_EQ(CallerOf(call), std::make_pair(std::string("3125550147"), std::string("Okafor Grace")));
  EXPECT_EQ(Tapi().Answer(call, nullptr, 0), static_cast<LONG>(LINEERR_OPERATIONUNAVAIL));
  TRecordBuffer id(1028);
  EXPECT_EQ(Tapi().GetID(0, 0, call, LINECALLSELECT_CALL, id.As<VARSTRING>(), "comm/datamodem"),
            static_cast<LONG>(LINEERR_INVALDEVICECLASS));
  const LONG drop = Tapi().Drop(call, nullptr, 0);
  ASSERT_GT(drop, 0);
  ASSERT_TRUE(WaitReply(drop, 0, from));
  ASSERT_TRUE(WaitMsg(LINE_CALLSTATE, LINECALLSTATE_IDLE, from));
  EXPECT_EQ(Tapi().Deallocate(call), 0);
  // As the monitor does: close and open again while the call still rings; it is not offered
  // again, and the caller's CANCEL (not a 603 or a 200 from us) ends it.
  Close(sip);
  const HLINE again = Open(1);
  ASSERT_NE(again, 0u);
  EXPECT_EQ(first.Wait(), 0) << first.Report();
  const std::string messages = first.Messages();
  EXPECT_EQ(messages.find("SIP/2.0 603"), std::string::npos);
  size_t answers = 0; // the one 200 answers the CANCEL, never the INVITE
  for (size_t at = messages.find("SIP/2.0 200"); at != std::string::npos;
       at = messages.find("SIP/2.0 200", at + 1))
    ++answers;
  EXPECT_EQ(answers, 1u) << messages;
  EXPECT_NE(messages.find("SIP/2.0 487"), std::string::npos) << messages;
  // It rang on for the reopened line (2.5 s, a ring every 0.3 s) until the caller gave up.
  ASSERT_TRUE(WaitRing(0, from));
  PumpFor(400);
  EXPECT_EQ(CountMsg(LINE_CALLSTATE, LINECALLSTATE_OFFERING), 1u);
  ExpectRingsThenQuiet(RingsFrom(from), 4, again);

  // A call the application rejects: 603, then disconnected and idle.
  from = Received().size();
  TSipp second(Folder.Path(), "service-rejected");
  ASSERT_TRUE(second.Start(CallerScenario(uri, "<sip:anonymous@anonymous.invalid>", "", 0, "603"),
                           SipTarget(), "127.0.0.1", CallLineTest::FreeSipPort()));
  call = TakeOffer(from);
  ASSERT_NE(call, 0u);
  ExpectFirstRingBeforeCallerId(from);
  ASSERT_TRUE(WaitRing(2, from));
  DWORD flags = 0;
  EXPECT_EQ(CallerOf(call, &flags), std::make_pair(std::string(), std::string()));
  EXPECT_TRUE(flags & LINECALLPARTYID_BLOCKED);
  EXPECT_EQ(Tapi().DevSpecific(again, 0, call, nullptr, 0),
            static_cast<LONG>(LINEERR_INVALPOINTER));
  const DWORD unknown = 77;
  EXPECT_EQ(Tapi().DevSpecific(again, 0, call, const_cast<DWORD*>(&unknown), sizeof unknown),
            static_cast<LONG>(LINEERR_OPERATIONUNAVAIL));
  const LONG request =
      Tapi().DevSpecific(again, 0, call, const_cast<DWORD*>(&Reject), sizeof Reject);
  ASSERT_GT(request, 0);
  ASSERT_TRUE(WaitReply(request, 0, from));
  ASSERT_TRUE(WaitMsg(LINE_CALLSTATE, LINECALLSTATE_IDLE, from));
  const int disconnected = FindMsg(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED, from);
  ASSERT_GE(disconnected, 0);
  EXPECT_EQ(Received()[static_cast<size_t>(disconnected)].Param2,
            DWORD_PTR{LINEDISCONNECTMODE_REJECT});
  EXPECT_EQ(second.Wait(), 0) << second.Report();
  PumpFor(400);
  const auto rings = RingsFrom(from);
  ExpectRingsThenQuiet(rings, 2, again);
  // The ringing stopped before the call went: a component that closes the line then hears it.
  EXPECT_LT(FindMsg(LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, static_cast<size_t>(disconnected)), 0);

  // As the monitor handles a blocked caller: reject, and close before anything the line said
  // since is read (the caller has its 603, so the end of the ringing is on its way). It is not
  // lost: the line opened again hears it.
  from = Received().size();
  TSipp third(Folder.Path(), "service-blocked");
  ASSERT_TRUE(third.Start(CallerScenario(uri, "<sip:+19005550100@127.0.0.1>", "", 0, "603"),
                          SipTarget(), "127.0.0.1", CallLineTest::FreeSipPort()));
  call = TakeOffer(from);
  ASSERT_NE(call, 0u);
  ASSERT_GT(Tapi().DevSpecific(again, 0, call, const_cast<DWORD*>(&Reject), sizeof Reject), 0);
  EXPECT_EQ(third.Wait(), 0) << third.Report();
  Close(again);
  const HLINE last = Open(1);
  ASSERT_NE(last, 0u);
  ASSERT_TRUE(WaitRing(0, from));
  PumpFor(400);
  ExpectRingsThenQuiet(RingsFrom(from), 1, last);
}

TEST_F(CallLinesServiceTest, CallMonitorCallsAndAClosedRouter) {
  // The router answers the connection only once the line asks; lineOpen waits for it.
  std::thread accept([this] {
    for (int i = 0; i < 500 && !Router.Accepted(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  });
  const HLINE router = Open(2);
  accept.join();
  ASSERT_NE(router, 0u);
  ASSERT_TRUE(Router.Accepted());
  size_t from = Received().size();
  Router.Send("12.12.26 09:14:02;RING;0;3125550147;5551234;SIP0;");
  HCALL call = TakeOffer(from);
  ASSERT_NE(call, 0u);
  ExpectFirstRingBeforeCallerId(from);
  EXPECT_EQ(CallerOf(call).first, "3125550147");
  EXPECT_EQ(Tapi().DevSpecific(router, 0, call, const_cast<DWORD*>(&Reject), sizeof Reject),
            static_cast<LONG>(LINEERR_OPERATIONUNAVAIL)); // the protocol cannot refuse
  ASSERT_TRUE(WaitRing(3, from));
  Router.Send("12.12.26 09:14:09;CONNECT;0;11;3125550147;");
  ASSERT_TRUE(WaitMsg(LINE_CALLSTATE, LINECALLSTATE_IDLE, from));
  EXPECT_EQ(Tapi().Deallocate(call), 0);
  // Answered: the ringing stopped, told before the call went idle.
  const int idle = FindMsg(LINE_CALLSTATE, LINECALLSTATE_IDLE, from);
  EXPECT_LT(FindMsg(LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, static_cast<size_t>(idle)), 0);
  ExpectRingsThenQuiet(RingsFrom(from), 3, router);

  // A call that rings while the line is closed is offered when it opens again.
  Close(router);
  Router.Send("12.12.26 09:15:00;RING;1;;5551234;SIP0;");
  PumpFor(200);
  from = Received().size();
  const HLINE again = Open(2);
  ASSERT_NE(again, 0u);
  call = TakeOffer(from);
  DWORD flags = 0;
  CallerOf(call, &flags);
  EXPECT_TRUE(flags & LINECALLPARTYID_BLOCKED); // an empty caller is withheld
  ASSERT_TRUE(WaitRing(1, from));               // told once the line listens for rings

  // As the monitor does after the caller ID: drop, close, open again; the call is not offered
  // again, and its rings go on on the line opened again.
  const LONG drop = Tapi().Drop(call, nullptr, 0);
  ASSERT_GT(drop, 0);
  ASSERT_TRUE(WaitReply(drop, 0, from));
  Close(again);
  const HLINE third = Open(2);
  ASSERT_NE(third, 0u);
  const size_t reopened = Received().size();
  ASSERT_TRUE(WaitRing(3, reopened));
  EXPECT_EQ(FindMsg(LINE_CALLSTATE, LINECALLSTATE_OFFERING, reopened), -1);

  // The router goes: the ringing call ends and the line closes, as a modem's line does when
  // the modem vanishes, so that the monitor reports it lost and opens it again.
  Router.DropClient();
  ASSERT_TRUE(WaitMsg(LINE_CLOSE, ~DWORD_PTR{0}, reopened));
  const int closed = FindMsg(LINE_CLOSE, ~DWORD_PTR{0}, reopened);
  Lines.clear(); // the service closed it
  const auto rings = RingsFrom(from);
  ExpectRingsThenQuiet(rings, 3, third);
  EXPECT_LT(FindMsg(LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, static_cast<size_t>(closed)), 0);
}

TEST_F(CallLinesServiceTest, AnUnreachableRouterFailsTheOpenAndSaysWhy) {
  WriteConfig(Folder.Path() + "/telephony.ini",
              "[Line1]\nName=Router\nKind=callmonitor\nHost=127.0.0.1\nPort=" +
                  std::to_string(CallLineTest::FreePort()) + "\nRetryInterval=5\n");
  ASSERT_EQ(Tapi().Shutdown(App), 0);
  App = 0;
  DWORD devices = 0;
  ASSERT_EQ(Tapi().Initialize(&App, nullptr, Callback, "CallLinesServiceTest", &devices), 0);
  ASSERT_EQ(devices, 1u);
  TestSupport::TLogCapture log;
  Open(0, static_cast<LONG>(LINEERR_RESOURCEUNAVAIL));
  Open(0, static_cast<LONG>(LINEERR_RESOURCEUNAVAIL)); // and again, as the monitor retries
  // Opened in the background, the same outcome comes as the reply, and the handle is void.
  HLINE line = 0;
  const LONG request = Tapi().Open(App, 0, &line, TAPI_VERSION_1_4, 0, Instance,
                                   LINECALLPRIVILEGE_OWNER | RINGLET_OPENOPTION_BACKGROUND,
                                   LINEMEDIAMODE_DATAMODEM, nullptr);
  ASSERT_GT(request, 0);
  ASSERT_TRUE(WaitMsg(LINE_REPLY, static_cast<DWORD_PTR>(request)));
  const auto& reply = Received()[static_cast<size_t>(FindMsg(LINE_REPLY, DWORD_PTR(request)))];
  EXPECT_EQ(static_cast<DWORD>(reply.Param2), DWORD{LINEERR_RESOURCEUNAVAIL});
  EXPECT_EQ(Tapi().Close(line), static_cast<LONG>(LINEERR_INVALLINEHANDLE));
  const std::string errors = log.Text();
  EXPECT_NE(errors.find("Router: the router's call monitor at 127.0.0.1:"), std::string::npos)
      << errors;
  EXPECT_NE(errors.find("Connection refused"), std::string::npos) << errors;
}

} // namespace
