// fakemodem as a modem user sees it: AT commands over its pseudo-terminal, calls parsed by the
// caller-ID parser, the answered call's data path, and the faults it can play.
#include "FakeModemProcess.h"
#include "telephony/CallerId.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

using namespace Telephony;
using TestSupport::TFakeModem;

namespace {

// Fast rings so that a call takes a fraction of a second.
const std::vector<std::string> Fast = {"--ring-spacing", "150", "--answer-delay", "20",
                                       "--guard",        "100"};

std::vector<std::string> With(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// Reads the device through the parser, as the line service does.
class TModemUser {
public:
  explicit TModemUser(TFakeModem& modem) : FModem(modem) {}

  // Waits until an event satisfies done; every event seen is kept in Events().
  bool WaitEvent(const std::function<bool(const TModemEvent&)>& done) {
    std::size_t checked = 0;
    return FModem.ReadUntil([&](const std::string&) {
      Parse();
      for (; checked < FEvents.size(); ++checked)
        if (done(FEvents[checked])) {
          ++checked;
          return true;
        }
      return false;
    });
  }

  // Sends a command line and collects the events up to its final result.
  TModemEvents Command(const std::string& command) {
    FEvents.clear();
    FModem.Write(command + "\r");
    bool got = WaitEvent([](const TModemEvent& e) { return e.Kind == ekResult; });
    EXPECT_TRUE(got) << "no result for " << command;
    return FEvents;
  }

  const TModemEvents& Events() const { return FEvents; }
  void Clear() { FEvents.clear(); }
  TModemLineParser& Parser() { return FParser; }

private:
  void Parse() {
    std::string bytes = FModem.TakeReceived();
    uint64_t now = NowMs();
    for (auto& e : FParser.FeedBytes(bytes, now))
      FEvents.push_back(std::move(e));
    for (auto& e : FParser.Poll(now))
      FEvents.push_back(std::move(e));
  }
  static uint64_t NowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
  }

  TFakeModem& FModem;
  TModemLineParser FParser;
  TModemEvents FEvents;
};

TModemResult FinalResult(const TModemEvents& events) {
  return events.empty() || events.back().Kind != ekResult ? mrNone : events.back().Result;
}

std::vector<std::string> Lines(const TModemEvents& events, TModemEventKind kind) {
  std::vector<std::string> r;
  for (const auto& e : events)
    if (e.Kind == kind)
      r.push_back(e.Line);
  return r;
}

std::vector<TCallerIdInfo> CallerIds(const TModemEvents& events) {
  std::vector<TCallerIdInfo> r;
  for (const auto& e : events)
    if (e.Kind == ekCallerId)
      r.push_back(e.CallerId);
  return r;
}

int Rings(const TModemEvents& events) {
  int n = 0;
  for (const auto& e : events)
    n += e.Kind == ekRing;
  return n;
}

TEST(FakeModemTest, AnswersAtCommandsAsAHayesModem) {
  TFakeModem modem;
  ASSERT_TRUE(modem.Start(Fast));
  TModemUser user(modem);

  auto ev = user.Command("AT");
  EXPECT_EQ(FinalResult(ev), mrOk);
  EXPECT_EQ(Lines(ev, ekEcho), std::vector<std::string>{"AT"}) << "echo is on after start";

  EXPECT_EQ(FinalResult(user.Command("ATE0")), mrOk);
  ev = user.Command("AT");
  EXPECT_EQ(FinalResult(ev), mrOk);
  EXPECT_TRUE(Lines(ev, ekEcho).empty()) << "ATE0 turns echo off";

  ev = user.Command("ATI3");
  EXPECT_EQ(Lines(ev, ekOther), std::vector<std::string>{"Ringlet FakeModem V.92"});
  ev = user.Command("AT+GMM");
  EXPECT_EQ(Lines(ev, ekOther), std::vector<std::string>{"Ringlet FakeModem V.92"});
  ev = user.Command("AT+FCLASS=?");
  EXPECT_EQ(Lines(ev, ekOther), std::vector<std::string>{"0,1,8"});
  EXPECT_EQ(FinalResult(user.Command("AT+FCLASS=8;+VCID=1")), mrOk);
  EXPECT_EQ(FinalResult(user.Command("AT-STE=1;+VCID=1")), mrOk);
  ev = user.Command("AT+VCID?");
  EXPECT_EQ(Lines(ev, ekOther), std::vector<std::string>{"1"});

  EXPECT_EQ(FinalResult(user.Command("ATU")), mrError) << "unknown command";
  EXPECT_EQ(FinalResult(user.Command("AT+NOPE=1")), mrError);
  EXPECT_EQ(FinalResult(user.Command("ATD5551212")), mrNoDialtone);

  // Numeric results.
  modem.Write("ATV0\r");
  ASSERT_TRUE(modem.ReadUntil([](const std::string& s) { return s == "0\r"; }))
      << "ATV0 answers 0 CR";
  modem.Write("AT+NOPE\r");
  ASSERT_TRUE(modem.ReadUntil([](const std::string& s) { return s == "0\r4\r"; }));
  modem.TakeReceived();

  // ATZ: echo, verbose results and caller-ID reporting back to their defaults.
  // The result of ATZ already comes in the restored verbose form.
  modem.Write("ATZ\r");
  ASSERT_TRUE(modem.ReadUntil([](const std::string& s) { return s == "\r\nOK\r\n"; }));
  modem.TakeReceived();
  ev = user.Command("AT+VCID?");
  EXPECT_EQ(Lines(ev, ekEcho), std::vector<std::string>{"AT+VCID?"});
  EXPECT_EQ(Lines(ev, ekOther), std::vector<std::string>{"0"});
  EXPECT_EQ(FinalResult(ev), mrOk);
}

TEST(FakeModemTest, AcceptsOnlyTheConfiguredCallerIdCommands) {
  TFakeModem modem;
  ASSERT_TRUE(modem.Start(With(Fast, {"--cid-commands", "#CID,%ccid"})));
  TModemUser user(modem);
  EXPECT_EQ(FinalResult(user.Command("AT+VCID=1")), mrError);
  EXPECT_EQ(FinalResult(user.Command("AT+CID=1")), mrError);
  EXPECT_EQ(FinalResult(user.Command("AT%CCID=1")), mrOk);
  EXPECT_EQ(FinalResult(user.Command("AT#CID=1")), mrOk);
  EXPECT_EQ(FinalResult(user.Command("AT#CID=3")), mrError);
}

TEST(FakeModemTest, CallIsParsedIntoRingsAndCallerId) {
  TFakeModem modem;
  ASSERT_TRUE(modem.Start(Fast));
  TModemUser user(modem);
  ASSERT_EQ(FinalResult(user.Command("ATE0V1")), mrOk);
  ASSERT_EQ(FinalResult(user.Command("AT+VCID=1")), mrOk);
  user.Clear();
  modem.Process().Send(R"(call 4075551212 "Chmielewski Joh" rings=3 date=0504 time=2149)");
  ASSERT_TRUE(modem.Process().WaitStderr("gave up after 3 rings"));
  ASSERT_TRUE(user.WaitEvent([](const TModemEvent& e) { return e.Kind == ekRing; }));
  const auto& ev = user.Events();
  EXPECT_EQ(Rings(ev), 3);
  auto ids = CallerIds(ev);
  ASSERT_EQ(ids.size(), 1u);
  EXPECT_EQ(ids[0].Date, "0504");
  EXPECT_EQ(ids[0].Time, "2149");
  EXPECT_EQ(ids[0].Number, "4075551212");
  EXPECT_EQ(ids[0].Name, "Chmielewski Joh");
  EXPECT_EQ(ev[0].Kind, ekRing) << "North American caller ID follows the first ring";
}

struct TCallCase {
  const char* Command;
  const char* Init;
  TCallerIdInfo Expected; // Date and Time are not compared
  bool CidBeforeFirstRing;
};

TEST(FakeModemTest, CallVariantsReachTheParser) {
  auto info = [](std::string number, std::string name, TCallerIdAbsence na, TCallerIdAbsence nma) {
    TCallerIdInfo i;
    i.Number = number;
    i.Name = name;
    i.NumberAbsent = na;
    i.NameAbsent = nma;
    return i;
  };
  const std::vector<TCallCase> cases = {
      {"private rings=2", "AT+VCID=1", info("", "", caPrivate, caPrivate), false},
      {"outofarea rings=2", "AT#CID=1", info("", "", caOutOfArea, caOutOfArea), false},
      {"numberonly 07700900461 rings=2 compact", "AT+VCID=1",
       info("07700900461", "", caNone, caNone), false},
      {"cidfirst 01632960001 \"Hughes R\" rings=2", "AT%CCID=1",
       info("01632960001", "Hughes R", caNone, caNone), true},
      {"call 5633973 \"KLAVA MARY\" rings=2", "AT+VCID=2",
       info("5633973", "KLAVA MARY", caNone, caNone), false},
      {"mdmf 802401083038303731383337070F4B4C415641204D4152592020202020030735363333393733B5 "
       "rings=2",
       "AT+VCID=1", info("5633973", "KLAVA MARY", caNone, caNone), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Command);
    TFakeModem modem;
    ASSERT_TRUE(modem.Start(Fast));
    TModemUser user(modem);
    ASSERT_EQ(FinalResult(user.Command(c.Init)), mrOk);
    user.Clear();
    modem.Process().Send(c.Command);
    ASSERT_TRUE(modem.Process().WaitStderr("gave up after 2 rings"));
    ASSERT_TRUE(user.WaitEvent([](const TModemEvent& e) { return e.Kind == ekRing; }));
    user.WaitEvent([&](const TModemEvent&) { return Rings(user.Events()) == 2; });
    const auto& ev = user.Events();
    EXPECT_EQ(Rings(ev), 2);
    auto ids = CallerIds(ev);
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_EQ(ids[0].Number, c.Expected.Number);
    EXPECT_EQ(ids[0].Name, c.Expected.Name);
    EXPECT_EQ(ids[0].NumberAbsent, c.Expected.NumberAbsent);
    EXPECT_EQ(ids[0].NameAbsent, c.Expected.NameAbsent);
    EXPECT_EQ(ev.front().Kind == ekCallerId, c.CidBeforeFirstRing);
  }
}

std::size_t Count(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
    ++n;
  return n;
}

std::vector<std::string> NonBlankLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (char c : text + "\n") {
    if (c != '\r' && c != '\n') {
      line += c;
    } else if (!line.empty()) {
      lines.push_back(line);
      line.clear();
    }
  }
  return lines;
}

// The lines a call puts on the wire, blank lines left out, once the caller gave up and as many
// lines as expected arrived (or the time-out passed).
std::vector<std::string> WireLines(TFakeModem& modem, const std::string& command,
                                   std::size_t expected) {
  const std::size_t over = Count(modem.Process().Stderr(), "call over:");
  modem.Process().Send(command);
  EXPECT_TRUE(
      modem.Process().WaitFor([&] { return Count(modem.Process().Stderr(), "call over:") > over; },
                              {}, TestSupport::GenerousMs))
      << command;
  modem.ReadUntil([&](const std::string& got) { return NonBlankLines(got).size() >= expected; });
  return NonBlankLines(modem.TakeReceived());
}

struct TWireCase {
  const char* Command;
  std::vector<std::string> Expected;
};

TEST(FakeModemTest, CallerIdOrdersAreScriptedOnTheWire) {
  const std::string call = "call 4075551212 \"Chmielewski Joh\" date=0504 time=2149 ";
  const std::vector<TWireCase> cases = {
      {"split=3 rings=2",
       {"DATE = 0504", "TIME = 2149", "NMBR = 4075551212", "RING", "NAME = Chmielewski Joh",
        "RING"}},
      {"split=1 rings=1",
       {"DATE = 0504", "RING", "TIME = 2149", "NMBR = 4075551212", "NAME = Chmielewski Joh"}},
      {"namefirst rings=1",
       {"RING", "NAME = Chmielewski Joh", "DATE = 0504", "TIME = 2149", "NMBR = 4075551212"}},
      {"masklate rings=1",
       {"RING", "DATE = 0504", "TIME = 2149", "NMBR = 4075551212", "NMBR = O",
        "NAME = Chmielewski Joh"}},
      {"numberonly mesg=070F43686D69656C6577736B69204A6F68 rings=1",
       {"RING", "DATE = 0504", "TIME = 2149", "NMBR = 4075551212",
        "MESG = 070F43686D69656C6577736B69204A6F68"}},
      {"repeat rings=2",
       {"RING", "DATE = 0504", "TIME = 2149", "NMBR = 4075551212", "NAME = Chmielewski Joh", "RING",
        "DATE = 0504", "TIME = 2149", "NMBR = 4075551212", "NAME = Chmielewski Joh"}},
  };
  TFakeModem modem;
  ASSERT_TRUE(modem.Start(Fast));
  TModemUser user(modem);
  ASSERT_EQ(FinalResult(user.Command("ATE0V1")), mrOk);
  ASSERT_EQ(FinalResult(user.Command("AT+VCID=1")), mrOk);
  modem.TakeReceived();
  for (const auto& c : cases)
    EXPECT_EQ(WireLines(modem, call + c.Command, c.Expected.size()), c.Expected) << c.Command;

  // Bad values are refused with a reason, and no call is played.
  const std::vector<std::pair<const char*, const char*>> bad = {{"call split=0", "split wants"},
                                                                {"call split=9", "split wants"},
                                                                {"call split=x", "split wants"},
                                                                {"call mesg=XYZ", "mesg wants"}};
  for (const auto& [command, reason] : bad) {
    const std::size_t before = Count(modem.Process().Stderr(), reason);
    modem.Process().Send(command);
    EXPECT_TRUE(
        modem.Process().WaitFor([&] { return Count(modem.Process().Stderr(), reason) > before; },
                                {}, TestSupport::GenerousMs))
        << command;
  }
  EXPECT_EQ(Count(modem.Process().Stderr(), "call from"), cases.size());
}

TEST(FakeModemTest, NoCallerIdUntilTheHostTurnsItOnAndAfterReset) {
  TFakeModem modem;
  ASSERT_TRUE(modem.Start(Fast));
  TModemUser user(modem);
  ASSERT_EQ(FinalResult(user.Command("AT+VCID=1")), mrOk);
  ASSERT_EQ(FinalResult(user.Command("ATZ")), mrOk);
  user.Clear();
  modem.Process().Send("call rings=2");
  ASSERT_TRUE(modem.Process().WaitStderr("gave up after 2 rings"));
  user.WaitEvent([&](const TModemEvent&) { return Rings(user.Events()) == 2; });
  EXPECT_EQ(Rings(user.Events()), 2);
  EXPECT_TRUE(CallerIds(user.Events()).empty());
  EXPECT_TRUE(modem.Process().StderrHas("caller ID not sent: reporting is off"));
}

TEST(FakeModemTest, DistinctiveRingAndGiveUp) {
  TFakeModem modem;
  ASSERT_TRUE(modem.Start(Fast));
  TModemUser user(modem);
  ASSERT_EQ(FinalResult(user.Command("ATE0")), mrOk);
  user.Clear();
  modem.Process().Send("call nocid ring=A rings=1");
  modem.Process().Send("giveup 2");
  ASSERT_TRUE(modem.Process().WaitStderr("gave up after 2 rings"));
  user.WaitEvent([&](const TModemEvent&) { return Rings(user.Events()) == 3; });
  ASSERT_EQ(Rings(user.Events()), 3);
  EXPECT_EQ(user.Events()[0].Text, "A");
  EXPECT_TRUE(modem.Process().StderrHas("gave up after 1 ring\n"));
}

TEST(FakeModemTest, AnsweredCallCarriesDataBothWaysAndHangsUp) {
  TFakeModem modem;
  ASSERT_TRUE(modem.Start(Fast));
  TModemUser user(modem);
  ASSERT_EQ(FinalResult(user.Command("ATE0")), mrOk);
  modem.Process().Send("call rings=50");
  ASSERT_TRUE(user.WaitEvent([](const TModemEvent& e) { return e.Kind == ekRing; }));
  auto ev = user.Command("ATA");
  ASSERT_EQ(FinalResult(ev), mrConnect);
  EXPECT_EQ(ev.back().Text, "33600");
  modem.TakeReceived();

  // Host to far end: shows on fakemodem's standard output.
  modem.Write("hello\x01world");
  std::string line = modem.Process().StdoutLine();
  EXPECT_EQ(line, "data hello\\x01world");
  // Far end to host: arrives as it is, not as lines.
  modem.Process().Send("data ping\\x00\\r\\n");
  ASSERT_TRUE(modem.ReadUntil([](const std::string& s) { return s.size() >= 7; }));
  EXPECT_EQ(modem.TakeReceived(), std::string("ping\0\r\n", 7));

  modem.Process().Send("hangup");
  user.Clear();
  ASSERT_TRUE(user.WaitEvent([](const TModemEvent& e) { return e.Kind == ekResult; }));
  EXPECT_EQ(user.Events().back().Result, mrNoCarrier);
  EXPECT_EQ(FinalResult(user.Command("AT")), mrOk) << "command mode after NO CARRIER";
}

TEST(FakeModemTest, EscapeWithGuardTimeThenHangUp) {
  TFakeModem modem;
  ASSERT_TRUE(modem.Start(Fast));
  TModemUser user(modem);
  ASSERT_EQ(FinalResult(user.Command("ATE0S0=2")), mrOk);
  user.Clear();
  modem.Process().Send("call rings=50");
  // S0=2: the modem answers by itself on the second ring.
  ASSERT_TRUE(user.WaitEvent([](const TModemEvent& e) { return e.Kind == ekResult; }));
  EXPECT_EQ(user.Events().back().Result, mrConnect);
  EXPECT_EQ(Rings(user.Events()), 2);

  // "+++" inside data is data.
  modem.Write("a+++b");
  EXPECT_EQ(modem.Process().StdoutLine(), "data a+++b");
  // After the guard time, alone: the escape.
  ASSERT_TRUE(modem.Process().WaitStderr("data in: a+++b"));
  usleep(250000); // the guard time must pass before the escape; any longer is as good
  user.Clear();
  modem.Write("+++");
  ASSERT_TRUE(user.WaitEvent([](const TModemEvent& e) { return e.Kind == ekResult; }));
  EXPECT_EQ(user.Events().back().Result, mrOk);
  EXPECT_EQ(FinalResult(user.Command("ATH")), mrOk);
  EXPECT_TRUE(modem.Process().WaitStderr("hung up by the host"));
}

TEST(FakeModemTest, OffHookPicksTheCallUpAndOnlyALongEnoughLiftCutsTheCallerOff) {
  TFakeModem modem;
  ASSERT_TRUE(modem.Start(Fast));
  TModemUser user(modem);
  ASSERT_EQ(FinalResult(user.Command("ATE0")), mrOk);
  user.Clear();
  modem.Process().Send("call nocid rings=100");
  ASSERT_TRUE(user.WaitEvent([](const TModemEvent& e) { return e.Kind == ekRing; }));
  EXPECT_EQ(FinalResult(user.Command("ATH1")), mrOk);
  ASSERT_TRUE(modem.Process().WaitStderr("off hook: the ringing call is picked up"));
  // Put down at once: the exchange never saw the line taken, and the call rings on.
  EXPECT_EQ(FinalResult(user.Command("ATH0")), mrOk);
  ASSERT_TRUE(modem.Process().WaitStderr("the caller rings on"));
  user.Clear();
  ASSERT_TRUE(user.WaitEvent([](const TModemEvent& e) { return e.Kind == ekRing; }));

  EXPECT_EQ(FinalResult(user.Command("ATH1")), mrOk);
  usleep(600000); // longer than the exchange needs to see the line answered; any longer is as good
  EXPECT_EQ(FinalResult(user.Command("ATH")), mrOk);
  ASSERT_TRUE(modem.Process().WaitStderr("the caller is cut off"));
  // The next call is played only now: the one before is over.
  modem.Process().Send("call 5551234 rings=1");
  ASSERT_TRUE(modem.Process().WaitStderr("gave up after 1 ring"));
  EXPECT_EQ(FinalResult(user.Command("ATH1")), mrOk);
  EXPECT_TRUE(modem.Process().WaitStderr("off hook: no call"));
  EXPECT_EQ(FinalResult(user.Command("ATZ")), mrOk) << "a reset puts the modem on the hook";
  EXPECT_TRUE(modem.Process().WaitStderr("on hook\n"));
}

// Each profile as a modem user meets it: what it accepts, how it answers, how its calls look.
TEST(FakeModemTest, ProfilesBehaveAsTheModemsTheyStandFor) {
  auto start = [](TFakeModem& modem, const std::string& profile) {
    return modem.Start({"--profile", profile, "--ring-spacing", "150", "--guard", "100"});
  };
  {
    TFakeModem modem;
    ASSERT_TRUE(start(modem, "strict"));
    TModemUser user(modem);
    ASSERT_EQ(FinalResult(user.Command("ATE0")), mrOk);
    modem.Process().Send("call nocid rings=50");
    ASSERT_TRUE(user.WaitEvent([](const TModemEvent& e) { return e.Kind == ekRing; }));
    // A character while the modem answers stops the answer: NO CARRIER, the call is over.
    modem.Write("ATA\r\r");
    user.Clear();
    ASSERT_TRUE(user.WaitEvent([](const TModemEvent& e) { return e.Kind == ekResult; }));
    EXPECT_EQ(user.Events().back().Result, mrNoCarrier);
    ASSERT_TRUE(modem.Process().WaitStderr("hung up by the host while answering"));
    modem.Process().Send("call nocid rings=50");
    ASSERT_TRUE(user.WaitEvent([](const TModemEvent& e) { return e.Kind == ekRing; }));
    EXPECT_EQ(FinalResult(user.Command("ATA")), mrConnect);
  }
  {
    TFakeModem modem;
    ASSERT_TRUE(start(modem, "no-offhook"));
    TModemUser user(modem);
    EXPECT_EQ(FinalResult(user.Command("ATH1")), mrError);
    EXPECT_EQ(FinalResult(user.Command("ATH0")), mrOk);
  }
  {
    TFakeModem modem;
    ASSERT_TRUE(start(modem, "compact"));
    TModemUser user(modem);
    EXPECT_EQ(FinalResult(user.Command("AT+VCID=1")), mrError);
    ASSERT_EQ(FinalResult(user.Command("AT#CID=1")), mrOk);
    modem.TakeReceived();
    EXPECT_EQ(WireLines(modem, "call 07700900461 date=1203 time=1452 rings=1", 4),
              (std::vector<std::string>{"RING", "DATE=1203", "TIME=1452", "NMBR=07700900461"}));
  }
  {
    TFakeModem modem;
    ASSERT_TRUE(start(modem, "uk"));
    TModemUser user(modem);
    ASSERT_EQ(FinalResult(user.Command("AT+VCID=1")), mrOk);
    modem.TakeReceived();
    EXPECT_EQ(WireLines(modem, "call private date=0421 time=0934 rings=1", 5),
              (std::vector<std::string>{"DATE = 0421", "TIME = 0934", "NMBR = P", "MESG = 110101",
                                        "RING"}));
  }
  {
    TFakeModem modem;
    ASSERT_TRUE(start(modem, "raw"));
    TModemUser user(modem);
    EXPECT_EQ(FinalResult(user.Command("AT#CID=1")), mrError);
    ASSERT_EQ(FinalResult(user.Command("AT#CID=2")), mrOk);
    user.Clear();
    modem.Process().Send(R"(call 5633973 "KLAVA MARY" rings=1)");
    ASSERT_TRUE(user.WaitEvent([](const TModemEvent& e) { return e.Kind == ekCallerId; }));
    const TCallerIdInfo id = CallerIds(user.Events()).at(0);
    EXPECT_EQ(id.Number, "5633973");
    EXPECT_EQ(id.Name, "KLAVA MARY");
  }
  {
    TFakeModem modem;
    ASSERT_TRUE(start(modem, "usb-voice"));
    TModemUser user(modem);
    EXPECT_EQ(FinalResult(user.Command("AT+VCID=1")), mrError) << "not in voice class";
    EXPECT_EQ(FinalResult(user.Command("AT#CID=1")), mrError);
    EXPECT_EQ(FinalResult(user.Command("AT+FCLASS=8;+VCID=1")), mrOk);
    ASSERT_EQ(FinalResult(user.Command("ATZ")), mrOk);
    EXPECT_EQ(Lines(user.Command("AT+VCID?"), ekOther), std::vector<std::string>{"0"})
        << "caller ID forgotten at the reset";
  }
}

TEST(FakeModemTest, GarbageAndLongLinesDoNotHideTheNextCall) {
  TFakeModem modem;
  ASSERT_TRUE(modem.Start(With(Fast, {"--seed", "7"})));
  TModemUser user(modem);
  ASSERT_EQ(FinalResult(user.Command("ATE0")), mrOk);
  ASSERT_EQ(FinalResult(user.Command("AT+VCID=1")), mrOk);
  user.Clear();
  modem.Process().Send("garbage 2000");
  modem.Process().Send("longline 5000");
  modem.Process().Send("say ");
  modem.Process().Send(R"(call 3125550147 "Okafor Grace" rings=2)");
  ASSERT_TRUE(modem.Process().WaitStderr("gave up after 2 rings"));
  user.WaitEvent([&](const TModemEvent&) { return Rings(user.Events()) >= 2; });
  bool bad = false;
  for (const auto& e : user.Events())
    bad |= e.Kind == ekBadData;
  EXPECT_TRUE(bad) << "the long line is reported as discarded";
  auto ids = CallerIds(user.Events());
  ASSERT_FALSE(ids.empty());
  EXPECT_EQ(ids.back().Number, "3125550147");
  EXPECT_EQ(ids.back().Name, "Okafor Grace");
}

TEST(FakeModemTest, SilentModemAnswersNothingUntilWoken) {
  TFakeModem modem;
  ASSERT_TRUE(modem.Start(Fast));
  TModemUser user(modem);
  ASSERT_EQ(FinalResult(user.Command("AT")), mrOk);
  modem.Process().Send("silent");
  ASSERT_TRUE(modem.Process().WaitStderr("silent: no more answers"));
  modem.Write("AT\r");
  ASSERT_TRUE(modem.Process().WaitStderr("bytes ignored"));
  modem.Process().Send("wake");
  ASSERT_TRUE(modem.Process().WaitStderr("awake"));
  user.Clear();
  auto ev = user.Command("ATI3");
  // Only the command sent after waking is answered.
  EXPECT_EQ(Lines(ev, ekEcho), std::vector<std::string>{"ATI3"});
  EXPECT_EQ(Lines(ev, ekOther), std::vector<std::string>{"Ringlet FakeModem V.92"});
}

TEST(FakeModemTest, VanishClosesTheDeviceAndRemovesTheLink) {
  char dir[] = "/tmp/fakemodem-test-XXXXXX";
  ASSERT_TRUE(mkdtemp(dir));
  std::string link = std::string(dir) + "/ttyFAKE0";
  TFakeModem modem;
  ASSERT_TRUE(modem.Start(With(Fast, {"--link", link}), false));
  struct stat st {};
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_TRUE(modem.OpenDevice());
  modem.Process().Send("vanish");
  EXPECT_EQ(modem.Process().Wait(), 0);
  // The device is gone for its user: a read fails with EIO, a poll says hang-up.
  pollfd p{modem.Fd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, TestSupport::GenerousMs), 1);
  EXPECT_TRUE(p.revents & POLLHUP);
  char c = 'x';
  errno = 0;
  ssize_t got = read(modem.Fd(), &c, 1);
  EXPECT_TRUE(got == 0 || (got == -1 && errno == EIO)) << "end of file or EIO, not 'no data'";
  EXPECT_EQ(write(modem.Fd(), &c, 1), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_NE(lstat(link.c_str(), &st), 0) << "link removed";
  rmdir(dir);
}

// A folder of the test's own, removed with whatever is left in it however the test ends.
class TTempDir {
public:
  TTempDir() {
    char name[] = "/tmp/fakemodem-test-XXXXXX";
    if (mkdtemp(name))
      FPath = name;
  }
  ~TTempDir() {
    std::error_code ignored;
    if (!FPath.empty())
      std::filesystem::remove_all(FPath, ignored);
  }
  const std::string& Path() const { return FPath; }

private:
  std::string FPath;
};

// Line ends made visible in a failure message.
std::string Visible(const std::string& bytes) {
  std::string out;
  for (char ch : bytes)
    out += ch == '\r' ? std::string("\\r") : ch == '\n' ? std::string("\\n") : std::string(1, ch);
  return out;
}

// Sends one command line to a device the test opened itself; the reply up to the final result.
std::string Ask(TestSupport::TChildProcess& process, int fd, const std::string& command) {
  const std::string line = command + "\r";
  EXPECT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  std::string reply;
  bool done = process.WaitFor(
      [&] {
        return reply.find("OK\r\n") != std::string::npos ||
               reply.find("ERROR\r\n") != std::string::npos;
      },
      {fd}, TestSupport::GenerousMs,
      [&](int readable) {
        char buf[512];
        ssize_t n;
        while ((n = read(readable, buf, sizeof buf)) > 0)
          reply.append(buf, static_cast<std::size_t>(n));
      });
  EXPECT_TRUE(done) << "no final result for " << command << ": " << Visible(reply);
  return reply;
}

TEST(FakeModemTest, UnplugTakesTheDeviceAwayAndPlugBringsANewOneAtTheLink) {
  TTempDir dir;
  ASSERT_FALSE(dir.Path().empty());
  const std::string link = dir.Path() + "/ttyFAKE0";
  TFakeModem modem;
  ASSERT_TRUE(modem.Start(With(Fast, {"--link", link})));
  TModemUser user(modem);
  ASSERT_EQ(FinalResult(user.Command("AT+VCID=1")), mrOk);

  modem.Process().Send("unplug");
  // Gone for its user as a pulled-out USB device: a hang-up, writes fail with EIO.
  pollfd p{modem.Fd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, TestSupport::GenerousMs), 1);
  EXPECT_TRUE(p.revents & POLLHUP);
  char c = 'x';
  EXPECT_EQ(write(modem.Fd(), &c, 1), -1);
  EXPECT_EQ(errno, EIO);
  ASSERT_TRUE(modem.Process().WaitStderr("unplugged")) << modem.Process().Stderr();
  struct stat st {};
  EXPECT_NE(lstat(link.c_str(), &st), 0) << "link removed while unplugged";
  EXPECT_EQ(open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC), -1);

  modem.Process().Send("plug");
  ASSERT_TRUE(modem.Process().WaitStderr("plugged in")) << modem.Process().Stderr();
  ASSERT_EQ(lstat(link.c_str(), &st), 0) << "link made again";
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  // The same path leads to a working modem, which lost its settings with the power.
  const int fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(fd, 0) << strerror(errno);
  termios t{};
  ASSERT_EQ(tcgetattr(fd, &t), 0);
  cfmakeraw(&t);
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
  const std::string reply = Ask(modem.Process(), fd, "AT+VCID?");
  close(fd);
  EXPECT_NE(reply.find("\r\n0\r\n"), std::string::npos) << Visible(reply);
  EXPECT_NE(reply.find("\r\nOK\r\n"), std::string::npos) << Visible(reply);
  EXPECT_EQ(write(modem.Fd(), &c, 1), -1) << "the old device stays gone";

  modem.Process().Send("quit");
  EXPECT_EQ(modem.Process().Wait(), 0);
  EXPECT_NE(lstat(link.c_str(), &st), 0) << "link removed on exit";
}

TEST(FakeModemTest, HelpDocumentsUnplugAndPlug) {
  TestSupport::TChildProcess p;
  ASSERT_TRUE(p.Start(TestSupport::FakeModemPath(), {"--help"}));
  ASSERT_EQ(p.Wait(), 0);
  for (const char* word : {"unplug", "plug", "--link"})
    EXPECT_NE(p.Stdout().find(std::string("\n  ") + word), std::string::npos) << word;
}

TEST(FakeModemTest, ScriptFileAndDemoPlayCalls) {
  char dir[] = "/tmp/fakemodem-test-XXXXXX";
  ASSERT_TRUE(mkdtemp(dir));
  std::string script = std::string(dir) + "/calls.txt";
  {
    std::ofstream out(script);
    out << "# two calls and then the demo\n"
        << "sleep 300\n"
        << "call 2065550183 \"Lindqvist Per\" rings=1\n"
        << "bogus command\n"
        << "private rings=1\n"
        << "demo\n";
  }
  TFakeModem modem;
  ASSERT_TRUE(modem.Start(
      With(Fast, {"--script", script, "--cid-default", "1", "--rings", "1", "--demo-gap", "50"})));
  TModemUser user(modem);
  // Two scripted calls, then at least two from the demo.
  ASSERT_TRUE(
      user.WaitEvent([&](const TModemEvent&) { return CallerIds(user.Events()).size() >= 4; }));
  auto ids = CallerIds(user.Events());
  EXPECT_EQ(ids[0].Number, "2065550183");
  EXPECT_EQ(ids[1].NumberAbsent, caPrivate);
  EXPECT_NE(ids[2].Number, ids[3].Number) << "the demo varies its callers";
  EXPECT_TRUE(modem.Process().StderrHas("calls.txt:4: unknown command bogus"));
  modem.Process().Send("quit");
  EXPECT_EQ(modem.Process().Wait(), 0);
  unlink(script.c_str());
  rmdir(dir);
}

TEST(FakeModemTest, HelpListsTheProfilesAndAnUnknownOneIsRefused) {
  TestSupport::TChildProcess p;
  ASSERT_TRUE(p.Start(TestSupport::FakeModemPath(), {"--help"}));
  ASSERT_EQ(p.Wait(), 0);
  for (const char* profile : {"kind", "strict", "no-offhook", "compact", "uk", "raw", "usb-voice"})
    EXPECT_NE(p.Stdout().find(std::string("\n  ") + profile + " "), std::string::npos) << profile;
  TestSupport::TChildProcess bad;
  ASSERT_TRUE(bad.Start(TestSupport::FakeModemPath(), {"--profile", "bogus"}));
  EXPECT_EQ(bad.Wait(), 2);
  EXPECT_NE(bad.Stderr().find("--profile wants one of the profiles"), std::string::npos);
}

TEST(FakeModemTest, HelpDocumentsEveryCommand) {
  TestSupport::TChildProcess p;
  ASSERT_TRUE(p.Start(TestSupport::FakeModemPath(), {"--help"}));
  ASSERT_EQ(p.Wait(), 0);
  for (const char* word :
       {"--link",    "--script", "--cid-commands", "--ring-spacing", "call",     "private",
        "outofarea", "nocid",    "numberonly",     "cidfirst",       "mdmf",     "giveup",
        "connect",   "data",     "hangup",         "garbage",        "longline", "silent",
        "vanish",    "sleep",    "demo",           "split=",         "repeat",   "namefirst",
        "masklate",  "mesg="})
    EXPECT_NE(p.Stdout().find(word), std::string::npos) << word;

  TestSupport::TChildProcess bad;
  ASSERT_TRUE(bad.Start(TestSupport::FakeModemPath(), {"--rings", "zero"}));
  EXPECT_EQ(bad.Wait(), 2);
}

} // namespace
