// Ringlet as a SIP extension against real peers on loopback: kamailio as registrar and forking
// proxy, SIPp as callers and as a second extension of the same user.
#include "SipPeers.h"

#include "telephony/SipLine.h"

#include <memory>

using namespace CallLineTest;
using namespace SipTest;
using namespace Telephony;

namespace {

// An answer of the second extension to the last request.
std::string Answer(const std::string& status, const std::string& cseq, bool withSdp = false) {
  return "SIP/2.0 " + status +
         "\n[last_Via:]\n[last_Record-Route:]\n[last_From:]\n"
         "[last_To:];tag=[pid]ext[call_number]\n[last_Call-ID:]\nCSeq: " +
         cseq +
         "\n"
         "Contact: <sip:621@[local_ip]:[local_port]>\n" +
         (withSdp ? std::string("Content-Type: application/sdp\nContent-Length: [len]\n\n") + Sdp
                  : std::string("Content-Length: 0\n"));
}

class SipLineTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    if (!HaveProgram("/usr/sbin/kamailio") || !HaveProgram("/usr/bin/sipp"))
      return;
    Shared = std::make_unique<TShared>();
    Shared->Registrar = std::make_unique<TKamailio>(Shared->Folder.Path(), FreeSipPort());
    if (!Shared->Registrar->Start())
      Shared.reset();
  }
  static void TearDownTestSuite() { Shared.reset(); }

  void SetUp() override {
    if (!Shared)
      GTEST_SKIP() << "kamailio or sipp (sip-tester) is not installed or would not start";
  }

  TLineConfig Config(const std::string& password = Password) const {
    TLineConfig config;
    config.Name = "Home SIP";
    config.Kind = lkSip;
    config.RetryMs = 300;
    config.Sip.Registrar = "sip:127.0.0.1:" + std::to_string(Shared->Registrar->Port());
    config.Sip.Host = "127.0.0.1";
    config.Sip.Port = Shared->Registrar->Port();
    config.Sip.User = config.Sip.AuthUser = User;
    config.Sip.Password = password;
    config.Sip.LocalPort = FreeSipPort();
    return config;
  }
  std::string Registrar() const { return "127.0.0.1:" + std::to_string(Shared->Registrar->Port()); }
  const std::string& Folder() const { return Shared->Folder.Path(); }

  // The second extension: registers the same user with the contact of a SIPp that answers as
  // `scenario` says.
  void StartSecondExtension(TSipp& extension, const std::string& scenario) {
    const uint16_t port = FreeSipPort();
    ASSERT_TRUE(extension.Start(Scenario(scenario), Registrar(), "127.0.0.1", port, {}));
    const std::string aor = "sip:621@" + Registrar();
    const std::string registerScenario =
        Scenario(Send("REGISTER sip:" + Registrar() +
                          " SIP/2.0\n"
                          "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]\n"
                          "From: <" +
                          aor + ">;tag=[call_number]reg\nTo: <" + aor +
                          ">\n"
                          "Call-ID: [call_id]\nCSeq: 1 REGISTER\n"
                          "Contact: <sip:621@127.0.0.1:" +
                          std::to_string(port) +
                          ">\nExpires: 60\n"
                          "Max-Forwards: 70\nContent-Length: 0\n",
                      true) +
                 "<recv response=\"401\" auth=\"true\"/>\n" +
                 Send("REGISTER sip:" + Registrar() +
                          " SIP/2.0\n"
                          "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]\n"
                          "From: <" +
                          aor + ">;tag=[call_number]reg\nTo: <" + aor +
                          ">\n"
                          "Call-ID: [call_id]\nCSeq: 2 REGISTER\n"
                          "Contact: <sip:621@127.0.0.1:" +
                          std::to_string(port) +
                          ">\nExpires: 60\n"
                          "[authentication]\nMax-Forwards: 70\nContent-Length: 0\n",
                      true) +
                 "<recv response=\"200\"/>\n");
    TSipp registration(Folder(), "ext-register");
    ASSERT_TRUE(registration.Start(registerScenario, Registrar(), "127.0.0.1", FreeSipPort()));
    ASSERT_EQ(registration.Wait(), 0) << registration.Report();
  }

  struct TShared {
    TapiTest::TTempFolder Folder;
    std::unique_ptr<TKamailio> Registrar;
  };
  static std::unique_ptr<TShared> Shared;
};

std::unique_ptr<SipLineTest::TShared> SipLineTest::Shared;

TEST_F(SipLineTest, ABlockedCallerIsDeclinedAndStopsRingingAtTheOtherExtension) {
  TRecorder events;
  TSipLine line(Config(), events);
  line.Start();
  ASSERT_TRUE(events.WaitState(true, "registered at sip:" + Registrar() + " as 621"))
      << events.LastState();
  EXPECT_TRUE(line.InService());

  TSipp extension(Folder(), "ext-cancelled");
  StartSecondExtension(extension,
                       "<recv request=\"INVITE\"/>\n" + Send(Answer("180 Ringing", "1 INVITE")) +
                           "<recv request=\"CANCEL\"/>\n" + Send(Answer("200 OK", "1 CANCEL")) +
                           Send(Answer("487 Request Terminated", "1 INVITE")) +
                           "<recv request=\"ACK\"/>\n");
  const std::string uri = "sip:621@" + Registrar();
  const std::string from = "\"Nuisance Caller\" <sip:+19005550100@127.0.0.1>";
  TSipp caller(Folder(), "caller-blocked");
  ASSERT_TRUE(caller.Start(
      Scenario(Send(Invite(uri, from, "P-Asserted-Identity: <tel:+19005550100>\n"), true) +
               "<recv response=\"100\" optional=\"true\"/>\n"
               "<recv response=\"180\" optional=\"true\"/>\n"
               "<recv response=\"180\" optional=\"true\"/>\n"
               "<recv response=\"603\"/>\n" +
               Send(AckFailure(uri, from))),
      Registrar(), "127.0.0.1", FreeSipPort()));
  ASSERT_TRUE(events.WaitOffered(1));
  const TOffered call = events.OfferedAt(0);
  EXPECT_EQ(call.Caller.Number, "+19005550100");
  EXPECT_EQ(call.Caller.Name, "Nuisance Caller");
  ASSERT_EQ(line.RingingCalls().size(), 1u);
  ASSERT_TRUE(line.Reject(call.Call));
  ASSERT_TRUE(events.WaitEnded(call.Call));
  EXPECT_EQ(events.Rejected, (std::vector<std::pair<uint64_t, bool>>{{call.Call, true}}));
  EXPECT_EQ(caller.Wait(), 0) << caller.Report();       // the caller heard 603
  EXPECT_EQ(extension.Wait(), 0) << extension.Report(); // the other phone got its CANCEL
  EXPECT_FALSE(line.Reject(call.Call));                 // nothing left to reject
  line.Stop();
}

TEST_F(SipLineTest, AnUnblockedCallKeepsRingingElsewhereAndEndsWhenAnsweredThere) {
  TRecorder events;
  TSipLine line(Config(), events);
  line.Start();
  ASSERT_TRUE(events.WaitState(true, "registered"));
  TSipp extension(Folder(), "ext-answers");
  StartSecondExtension(
      extension,
      "<recv request=\"INVITE\"/>\n" + Send(Answer("180 Ringing", "1 INVITE")) +
          "<pause milliseconds=\"1500\"/>\n" + Send(Answer("200 OK", "1 INVITE", true), true) +
          "<recv request=\"ACK\"/>\n<recv request=\"BYE\"/>\n" + Send(Answer("200 OK", "2 BYE")));
  const std::string uri = "sip:621@" + Registrar();
  const std::string from = "\"Okafor Grace\" <sip:3125550147@127.0.0.1>";
  TSipp caller(Folder(), "caller-answered");
  ASSERT_TRUE(caller.Start(
      Scenario(Send(Invite(uri, from, ""), true) +
               "<recv response=\"100\" optional=\"true\"/>\n"
               "<recv response=\"180\" optional=\"true\"/>\n"
               "<recv response=\"180\" optional=\"true\"/>\n"
               "<recv response=\"200\" rrs=\"true\"/>\n" +
               Send("ACK [next_url] SIP/2.0\n"
                    "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]\n[routes]\n"
                    "From: " +
                    from +
                    ";tag=[pid]caller[call_number]\n"
                    "To: <" +
                    uri +
                    ">[peer_tag_param]\nCall-ID: [call_id]\nCSeq: 1 ACK\n"
                    "Max-Forwards: 70\nContent-Length: 0\n") +
               Send("BYE [next_url] SIP/2.0\n"
                    "Via: SIP/2.0/[transport] [local_ip]:[local_port];branch=[branch]\n[routes]\n"
                    "From: " +
                        from +
                        ";tag=[pid]caller[call_number]\n"
                        "To: <" +
                        uri +
                        ">[peer_tag_param]\nCall-ID: [call_id]\nCSeq: 2 BYE\n"
                        "Max-Forwards: 70\nContent-Length: 0\n",
                    true) +
               "<recv response=\"200\"/>\n"),
      Registrar(), "127.0.0.1", FreeSipPort()));
  ASSERT_TRUE(events.WaitOffered(1));
  const TOffered call = events.OfferedAt(0);
  EXPECT_EQ(call.Caller.Number, "3125550147");
  // Ringlet does nothing with it: the other phone keeps ringing and answers; Ringlet's branch
  // is cancelled and the call ends here.
  ASSERT_TRUE(events.WaitEnded(call.Call));
  EXPECT_EQ(caller.Wait(), 0) << caller.Report(); // answered by the other extension
  EXPECT_EQ(extension.Wait(), 0) << extension.Report();
  EXPECT_TRUE(events.Rejected.empty());
  EXPECT_TRUE(line.RingingCalls().empty());
  line.Stop();
}

} // namespace
