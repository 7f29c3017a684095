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
  // A registrar of its own for each test: contacts another test registered (a SIPp that has
  // ended) would be rung too, and keep the proxy waiting for them.
  void SetUp() override {
    if (!HaveProgram("/usr/sbin/kamailio") || !HaveProgram("/usr/bin/sipp"))
      GTEST_SKIP() << "kamailio or sipp (sip-tester) is not installed";
    Shared = std::make_unique<TShared>();
    Shared->Registrar = std::make_unique<TKamailio>(Shared->Folder.Path(), FreeSipPort());
    ASSERT_TRUE(Shared->Registrar->Start()) << Shared->Registrar->Log();
  }
  void TearDown() override { Shared.reset(); }

  TLineConfig Config(const std::string& password = Password) const {
    TLineConfig config;
    config.Name = "Home SIP";
    config.Kind = lkSip;
    config.RetryMs = 300;
    config.RingCycleMs = 200;
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
  std::unique_ptr<TShared> Shared;
};

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
  ASSERT_TRUE(events.WaitRings(call.Call, 2));
  ASSERT_TRUE(line.Reject(call.Call));
  ASSERT_TRUE(events.WaitEnded(call.Call));
  EXPECT_EQ(events.Rejected, (std::vector<std::pair<uint64_t, bool>>{{call.Call, true}}));
  EXPECT_EQ(caller.Wait(), 0) << caller.Report();       // the caller heard 603
  EXPECT_EQ(extension.Wait(), 0) << extension.Report(); // the other phone got its CANCEL
  EXPECT_FALSE(line.Reject(call.Call));                 // nothing left to reject
  line.Stop();
  EXPECT_EQ(events.RingsAfterEnd, 0u); // a declined call rings no more
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
  // It rang here as long as there (1.5 s, a ring every 0.2 s), counted one by one, and no
  // more once answered there.
  const std::vector<uint32_t> counts = events.RingsOf(call.Call);
  ASSERT_GE(counts.size(), 2u);
  for (size_t i = 0; i < counts.size(); ++i)
    EXPECT_EQ(counts[i], i + 2);
  EXPECT_EQ(events.RingsAfterEnd, 0u);
}

TEST_F(SipLineTest, RegistrationFailureRefreshAndFarewell) {
  {
    TRecorder events;
    TSipLine wrong(Config("not the password"), events);
    wrong.Start();
    ASSERT_TRUE(events.WaitState(false, "refused the user name or password (401"))
        << events.LastState();
    EXPECT_FALSE(wrong.InService());
    EXPECT_EQ(events.LastState().find("not the password"), std::string::npos);
  }
  TLineConfig config = Config();
  config.Sip.ExpiresS = 2;
  const std::string contact = "<sip:621@127.0.0.1:" + std::to_string(config.Sip.LocalPort);
  const auto registers = [&] {
    const std::string log = Shared->Registrar->Log();
    size_t count = 0;
    for (size_t at = log.find("contact " + contact); at != std::string::npos;
         at = log.find("contact " + contact, at + 1))
      ++count;
    return count;
  };
  TRecorder events;
  TSipLine line(config, events);
  line.Start();
  ASSERT_TRUE(events.WaitState(true, "registered"));
  // Refreshed before each 2 s registration runs out: more REGISTERs follow by themselves.
  const size_t first = registers();
  ASSERT_TRUE(events.Poll([&] { return registers() >= first + 3; }));
  EXPECT_TRUE(line.InService());
  line.Stop();
  // The farewell: a REGISTER that ends the registration.
  ASSERT_TRUE(events.Poll([&] {
    return Shared->Registrar->Log().find("contact " + contact + ">;expires=0") !=
               std::string::npos ||
           Shared->Registrar->Log().find("contact " + contact + "> expires 0") != std::string::npos;
  })) << Shared->Registrar->Log();
}

TEST_F(SipLineTest, AnAbsentRegistrarIsRetriedWithBackOff) {
  TapiTest::TTempFolder folder;
  TKamailio late(folder.Path(), FreeSipPort());
  TLineConfig config = Config();
  config.Sip.Port = late.Port();
  config.Sip.Transport = stTcp; // a refused connection is said at once
  config.Sip.Registrar = "sip:127.0.0.1:" + std::to_string(late.Port()) + ";transport=tcp";
  TRecorder events;
  TSipLine line(config, events);
  line.Start();
  ASSERT_TRUE(events.WaitState(false, "no answer from sip:127.0.0.1:")) << events.LastState();
  EXPECT_NE(events.LastState().find("Connection refused"), std::string::npos) << events.LastState();
  ASSERT_TRUE(late.Start()) << late.Log();
  ASSERT_TRUE(events.WaitState(true, "registered")) << events.LastState();
  line.Stop();
}

// Everything below is sent straight to Ringlet's port, as a PBX (or someone else) would.
TEST_F(SipLineTest, IdentitiesStrangersJunkAndAFlood) {
  TLineConfig config = Config();
  TRecorder events;
  TSipLine line(config, events);
  line.Start();
  ASSERT_TRUE(events.WaitState(true, "registered"));
  const std::string target = "127.0.0.1:" + std::to_string(config.Sip.LocalPort);
  const std::string uri = "sip:621@" + target;
  struct TIdentity {
    const char* From;
    const char* Headers;
    const char* Number;
    const char* Name;
    TCallerIdAbsence Absent;
  };
  const TIdentity identities[] = {
      {"<sip:100@127.0.0.1>", "Remote-Party-ID: \"Rpid Name\" <sip:7775551234@gw>;party=calling\n",
       "7775551234", "Rpid Name", caNone},
      {"\"Shown\" <sip:5551234@127.0.0.1>",
       "P-Asserted-Identity: <sip:+15550001111@carrier>\n"
       "Privacy: id\n",
       "", "", caPrivate},
      {"\"Unbalanced <sip:1@127.0.0.1>", "", "", "", caNone},
  };
  size_t offered = 0;
  for (const TIdentity& identity : identities) {
    TSipp caller(Folder(), "identity");
    ASSERT_TRUE(caller.Start(CallerScenario(uri, identity.From, identity.Headers, 200), target,
                             "127.0.0.1", FreeSipPort()));
    ASSERT_TRUE(events.WaitOffered(++offered)) << identity.From;
    const TOffered call = events.OfferedAt(offered - 1);
    EXPECT_EQ(call.Caller.Number, identity.Number) << identity.From;
    EXPECT_EQ(call.Caller.Name, identity.Name) << identity.From;
    EXPECT_EQ(call.Caller.NumberAbsent, identity.Absent) << identity.From;
    EXPECT_EQ(caller.Wait(), 0) << caller.Report();
    EXPECT_TRUE(events.WaitEnded(call.Call));
  }

  // A stranger (another address than the registrar's) is refused and offers nothing.
  TSipp stranger(Folder(), "stranger");
  ASSERT_TRUE(stranger.Start(CallerScenario(uri, "<sip:666@127.0.0.2>", "", 0, "403"), target,
                             "127.0.0.2", FreeSipPort()));
  EXPECT_EQ(stranger.Wait(), 0) << stranger.Report();

  // Junk from a trusted address: nothing is offered, nothing breaks.
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(config.Sip.LocalPort);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const std::string junk[] = {
      "\x01\x02garbage\xff",
      "INVITE sip:621@127.0.0.1 SIP/2.0\r\n\r\n",
      "INVITE sip:621@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:9;branch=z9hG4bKj\r\n"
      "Content-Length: 99999\r\n\r\n",
      "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 127.0.0.1:9;branch=z9hG4bKx\r\nCSeq: 1 INVITE\r\n\r\n",
      std::string(60000, 'A'),
  };
  for (const std::string& datagram : junk)
    sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  close(fd);

  // A flood: more INVITEs at once than a line keeps; the rest get 486 without state.
  size_t most = 0;
  TSipp flood(Folder(), "flood");
  const std::string from = "<sip:999@127.0.0.1>";
  ASSERT_TRUE(flood.Start(Scenario(Send(Invite(uri, from, ""), true) +
                                   "<recv response=\"100\" optional=\"true\"/>\n"
                                   "<recv response=\"486\" optional=\"true\" next=\"1\"/>\n"
                                   "<recv response=\"180\"/>\n<pause milliseconds=\"300\"/>\n" +
                                   Send(Cancel(uri, from), true) + "<recv response=\"200\"/>\n" +
                                   "<recv response=\"487\"/>\n" + Send(AckFailure(uri, from)) +
                                   "<nop next=\"2\"/>\n<label id=\"1\"/>\n" +
                                   Send(AckFailure(uri, from)) + "<label id=\"2\"/>\n"),
                          target, "127.0.0.1", FreeSipPort(),
                          {"-m", "120", "-r", "400", "-l", "120"}));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  int status = -1;
  while (!flood.Ended(status) && std::chrono::steady_clock::now() < deadline) {
    most = std::max(most, line.RingingCalls().size());
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(status, 0) << flood.Report();
  EXPECT_LE(most, TSipLine::MaxCalls);
  EXPECT_GT(most, 1u); // the flood did ring several at once
  EXPECT_NE(flood.Messages().find("SIP/2.0 486 Busy Here"), std::string::npos);
  ASSERT_TRUE(events.Poll([&] { return line.RingingCalls().empty(); }))
      << line.RingingCalls().size() << " ringing; offered " << events.Offered.size() << ", ended "
      << events.Ended.size() << "\n"
      << flood.Report().substr(0, 4000);
  // The line still takes the next caller.
  const size_t before = events.Offered.size();
  TSipp after(Folder(), "after-flood");
  ASSERT_TRUE(after.Start(CallerScenario(uri, "\"After\" <sip:42@127.0.0.1>", "", 200), target,
                          "127.0.0.1", FreeSipPort()));
  ASSERT_TRUE(events.WaitFor([&] {
    return std::any_of(events.Offered.begin() + static_cast<long>(before), events.Offered.end(),
                       [](const TOffered& call) { return call.Caller.Name == "After"; });
  }));
  EXPECT_EQ(after.Wait(), 0) << after.Report();
  EXPECT_EQ(std::count_if(events.Offered.begin(), events.Offered.end(),
                          [](const TOffered& call) { return call.Caller.Number == "666"; }),
            0);
  line.Stop();
}

// A real softphone as the caller: baresip, headless (a sine for a microphone, no speaker),
// dials the extension through kamailio and hangs up when it quits.
TEST_F(SipLineTest, ARealSoftphoneCallsThroughTheProxy) {
  if (!HaveProgram("/usr/bin/baresip"))
    GTEST_SKIP() << "baresip is not installed";
  TRecorder events;
  TSipLine line(Config(), events);
  line.Start();
  ASSERT_TRUE(events.WaitState(true, "registered"));
  const std::string folder = Folder() + "/baresip";
  mkdir(folder.c_str(), 0700);
  std::ofstream(folder + "/config")
      << "poll_method epoll\nsip_listen 127.0.0.1:" << FreeSipPort() << "\n"
      << "audio_player aubridge,nil\naudio_source ausine,440\naudio_alert aubridge,nil\n"
         "module_path /usr/lib/baresip/modules\nmodule g711.so\n"
         "module ausine.so\nmodule aubridge.so\nmodule_app account.so\nmodule_app menu.so\n";
  std::ofstream(folder + "/accounts") << "\"Baresip Caller\" <sip:5550142@127.0.0.1>;regint=0\n";
  TPeerProcess softphone;
  ASSERT_TRUE(softphone.Start(
      {"/usr/bin/baresip", "-f", folder, "-e", "/dial sip:621@" + Registrar(), "-t", "3"},
      folder + "/log"));
  ASSERT_TRUE(events.WaitOffered(1)) << ReadFile(folder + "/log");
  const TOffered call = events.OfferedAt(0);
  EXPECT_EQ(call.Caller.Number, "5550142");
  EXPECT_EQ(call.Caller.Name, "Baresip Caller");
  ASSERT_TRUE(events.WaitEnded(call.Call)) << ReadFile(folder + "/log"); // it hung up
  EXPECT_EQ(softphone.Wait(), 0);
  EXPECT_NE(ReadFile(folder + "/log").find("180 Ringing"), std::string::npos);
  line.Stop();
}

} // namespace
