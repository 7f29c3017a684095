// The telephony service end to end: a registered, pumping test thread drives libtapi32.so
// (loaded by dlopen) while a modem is played on a pseudo-terminal.
#include "ModemLinesShim.h"
#include "TapiTestSupport.h"
#include "platform/DeviceHolder.h"
#include "platform/SerialDevice.h"

#include <ctime>
#include <dirent.h>
#include <fstream>
#include <sstream>

using namespace TapiTest;

namespace {

constexpr DWORD_PTR Instance = 0x1234ABCD;
constexpr DWORD_PTR Any = ~DWORD_PTR{0};

// The trace is read once, at its first use: switch it on before anything runs.
const std::string TracePath = "/tmp/ringlet-tapi-trace-" + std::to_string(getpid()) + ".log";
const bool TraceSwitchedOn = [] {
  unlink(TracePath.c_str());
  return setenv("RINGLET_TELEPHONY_TRACE", TracePath.c_str(), 1) == 0;
}();

struct TCallerId {
  DWORD Flags = 0;
  std::string Number;
  std::string Name;
  DWORD MediaMode = 0;
  DWORD CallId = 0;
};

size_t OpenDescriptors() {
  size_t count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir))
      ++count;
    closedir(dir);
  }
  return count;
}

double ProcessCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

class LineServiceTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(TraceSwitchedOn);
    Received().clear();
    OnMessage() = nullptr;
    WriteConfig(Folder.Path() + "/telephony.ini",
                LineSection("Line1", "Test Modem", Peer.SlavePath(), Extra()));
  }
  void TearDown() override {
    OnMessage() = nullptr;
    if (FLine)
      Tapi().Close(FLine);
    if (FApp) {
      EXPECT_EQ(Tapi().Shutdown(FApp), 0);
    }
  }
  virtual std::string Extra() { return ""; }

  void Initialize() {
    DWORD devices = 0;
    ASSERT_EQ(Tapi().Initialize(&FApp, nullptr, Callback, "LineServiceTest", &devices), 0);
    ASSERT_EQ(devices, 1u);
    DWORD version = 0;
    LINEEXTENSIONID extension;
    ASSERT_EQ(Tapi().Negotiate(FApp, 0, TAPI_VERSION_1_4, TAPI_VERSION_1_4, &version, &extension),
              0);
    ASSERT_EQ(version, DWORD{TAPI_VERSION_1_4});
  }
  void Open() {
    ASSERT_EQ(Tapi().Open(FApp, 0, &FLine, TAPI_VERSION_1_4, 0, Instance, LINECALLPRIVILEGE_OWNER,
                          LINEMEDIAMODE_DATAMODEM, nullptr),
              0);
    ASSERT_EQ(Tapi().SetStatusMessages(FLine, LINEDEVSTATE_ALL, LINEADDRESSSTATE_ALL), 0);
  }
  void Reopen() {
    ASSERT_EQ(Tapi().Close(FLine), 0);
    FLine = 0;
    Open();
  }

  // Rings until the service offers the call; returns its handle.
  HCALL RingAndTakeCall() {
    const size_t from = Received().size();
    Peer.SendLine("RING");
    EXPECT_TRUE(WaitMsg(LINE_CALLSTATE, LINECALLSTATE_OFFERING, from));
    const int at = FindMsg(LINE_CALLSTATE, LINECALLSTATE_OFFERING, from);
    return at < 0 ? 0 : Received()[static_cast<size_t>(at)].Device;
  }

  TCallerId ReadCallerId(HCALL call) {
    TRecordBuffer info(1024);
    EXPECT_EQ(Tapi().GetCallInfo(call, info.As<LINECALLINFO>()), 0);
    const LINECALLINFO* record = info.As<LINECALLINFO>();
    TCallerId id;
    id.Flags = record->dwCallerIDFlags;
    id.MediaMode = record->dwMediaMode;
    id.CallId = record->dwCallID;
    if (record->dwCallerIDSize)
      id.Number = info.StringAt(record->dwCallerIDOffset, record->dwCallerIDSize - 1);
    if (record->dwCallerIDNameSize)
      id.Name = info.StringAt(record->dwCallerIDNameOffset, record->dwCallerIDNameSize - 1);
    return id;
  }

  DWORD CallState(HCALL call) {
    TRecordBuffer status(sizeof(LINECALLSTATUS));
    if (Tapi().GetCallStatus(call, status.As<LINECALLSTATUS>()) != 0)
      return 0;
    return status.As<LINECALLSTATUS>()->dwCallState;
  }

  // What the line device component does for the monitor: accept the offered call and wait for
  // the reply by pumping; on the caller ID record the call's number and name, drop the call,
  // wait for the reply and the idle state (pumping inside the callback), deallocate, close the
  // line and open it again at once.
  void DropOnCallerIdAndReopen(std::vector<TCallerId>& callers) {
    OnMessage() = [this, &callers](const TLineMsg& msg) {
      if (msg.Message == LINE_CALLSTATE && msg.Param1 == LINECALLSTATE_OFFERING) {
        const LONG accept = Tapi().Accept(static_cast<HCALL>(msg.Device), nullptr, 0);
        EXPECT_TRUE(PumpUntil([&] { return FindMsg(LINE_REPLY, DWORD_PTR(accept)) >= 0; }));
        return;
      }
      if (msg.Message != LINE_CALLINFO || !(msg.Param1 & LINECALLINFOSTATE_CALLERID))
        return;
      const HCALL call = static_cast<HCALL>(msg.Device);
      callers.push_back(ReadCallerId(call));
      const size_t from = Received().size();
      const LONG drop = Tapi().Drop(call, nullptr, 0);
      EXPECT_TRUE(PumpUntil([&] { return FindMsg(LINE_REPLY, DWORD_PTR(drop)) >= 0; }));
      EXPECT_TRUE(PumpUntil([&] { return CallState(call) == LINECALLSTATE_IDLE; }));
      EXPECT_TRUE(WaitMsg(LINE_CALLSTATE, LINECALLSTATE_IDLE, from));
      EXPECT_EQ(Tapi().Deallocate(call), 0);
      Reopen();
    };
  }

  // Waits for the LINE_REPLY of a request and returns its result.
  LONG ReplyOf(LONG request) {
    EXPECT_GT(request, 0);
    EXPECT_TRUE(WaitMsg(LINE_REPLY, static_cast<DWORD_PTR>(request)));
    const int at = FindMsg(LINE_REPLY, static_cast<DWORD_PTR>(request));
    return at < 0 ? -1 : static_cast<LONG>(Received()[static_cast<size_t>(at)].Param2);
  }

  TTempFolder Folder;
  TModemPeer Peer;
  HLINEAPP FApp = 0;
  HLINE FLine = 0;
};

TEST_F(LineServiceTest, OneCallAsTheRegisteredThreadSeesIt) {
  Initialize();
  Open();
  for (const char* command : {"ATZ", "ATE0V1", "AT+VCID=1"})
    EXPECT_EQ(Peer.CountCommand(command), 1u) << command;

  const HCALL call = RingAndTakeCall();
  ASSERT_NE(call, 0u);
  Peer.Send("\r\nDATE = 0504\r\nTIME = 2149\r\nNMBR = 4075551212\r\nNAME = Chmielewski Joh\r\n");
  ASSERT_TRUE(WaitMsg(LINE_CALLINFO));
  Peer.SendLine("RING");
  Peer.SendLine("RING");
  ASSERT_TRUE(WaitMsg(LINE_CALLSTATE, LINECALLSTATE_IDLE));

  // The whole sequence, in order, every message carrying the line's instance.
  std::vector<std::string> seen;
  for (const TLineMsg& msg : Received()) {
    EXPECT_EQ(msg.Instance, Instance);
    std::ostringstream text;
    if (msg.Message == LINE_CALLSTATE) {
      text << "state " << msg.Param1;
      EXPECT_EQ(msg.Device, call);
    } else if (msg.Message == LINE_LINEDEVSTATE) {
      text << "ring " << msg.Param3;
      EXPECT_EQ(msg.Param1, DWORD_PTR{LINEDEVSTATE_RINGING});
      EXPECT_EQ(msg.Device, FLine);
    } else if (msg.Message == LINE_CALLINFO) {
      text << "info " << msg.Param1;
      EXPECT_EQ(msg.Device, call);
    } else {
      text << "other " << msg.Message;
    }
    seen.push_back(text.str());
  }
  // The end of the ringing (ring 0) comes before the call goes idle.
  const std::vector<std::string> expected = {"state 2", "ring 1", "info 32768", "ring 2",
                                             "ring 3",  "ring 0", "state 1"};
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(Received()[0].Param3, DWORD_PTR{LINECALLPRIVILEGE_OWNER});

  const TCallerId id = ReadCallerId(call);
  EXPECT_EQ(id.Flags, DWORD{LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME});
  EXPECT_EQ(id.Number, "4075551212");
  EXPECT_EQ(id.Name, "Chmielewski Joh");
  EXPECT_EQ(id.MediaMode, DWORD{LINEMEDIAMODE_DATAMODEM | LINEMEDIAMODE_UNKNOWN});

  EXPECT_EQ(CallState(call), DWORD{LINECALLSTATE_IDLE});
  EXPECT_EQ(Tapi().Drop(call, nullptr, 0), LONG(LINEERR_INVALCALLSTATE));
  EXPECT_EQ(Tapi().Deallocate(call), 0);
  EXPECT_EQ(Tapi().GetCallStatus(call, TRecordBuffer(64).As<LINECALLSTATUS>()),
            LONG(LINEERR_INVALCALLHANDLE));

  // The trace shows the conversation with its time stamps.
  std::ifstream trace(TracePath);
  const std::string log((std::istreambuf_iterator<char>(trace)), std::istreambuf_iterator<char>());
  EXPECT_NE(log.find(Peer.SlavePath() + " > ATZ\n"), std::string::npos);
  EXPECT_NE(log.find(Peer.SlavePath() + " < RING"), std::string::npos);
  EXPECT_NE(log.find(Peer.SlavePath() + " < NMBR = 4075551212"), std::string::npos);
}

TEST_F(LineServiceTest, CallerIdBeforeTheFirstRingAndWithheldOrMaskedCallers) {
  Initialize();
  Open();
  Peer.Send("\r\nMESG = 110101\r\nDATE = 0421\r\nTIME = 0934\r\nNMBR = P\r\nNAME = WITHHELD\r\n");
  ASSERT_TRUE(WaitMsg(LINE_CALLINFO));
  Peer.SendLine("RING");
  ASSERT_TRUE(WaitMsg(LINE_LINEDEVSTATE));
  const int offered = FindMsg(LINE_CALLSTATE, LINECALLSTATE_OFFERING);
  ASSERT_GE(offered, 0);
  EXPECT_LT(offered, FindMsg(LINE_CALLINFO));
  EXPECT_LT(FindMsg(LINE_CALLINFO), FindMsg(LINE_LINEDEVSTATE));
  EXPECT_EQ(Received()[static_cast<size_t>(FindMsg(LINE_LINEDEVSTATE))].Param3, 1u);
  const HCALL first = Received()[static_cast<size_t>(offered)].Device;
  TCallerId id = ReadCallerId(first);
  EXPECT_EQ(id.Flags, DWORD{LINECALLPARTYID_BLOCKED});
  EXPECT_EQ(id.Number, "");
  EXPECT_EQ(id.Name, "");
  ASSERT_TRUE(WaitMsg(LINE_CALLSTATE, LINECALLSTATE_IDLE));
  ASSERT_EQ(Tapi().Deallocate(first), 0);

  // A carrier that sends the number and then masks it: the mask wins.
  const size_t from = Received().size();
  const HCALL second = RingAndTakeCall();
  ASSERT_NE(second, first);
  Peer.Send("\r\nNMBR = 4075551212\r\nNMBR = O\r\nNAME = O\r\n");
  Peer.SendLine("RING");
  ASSERT_TRUE(WaitMsg(LINE_CALLSTATE, LINECALLSTATE_IDLE, from));
  id = ReadCallerId(second);
  EXPECT_EQ(id.Flags, DWORD{LINECALLPARTYID_OUTOFAREA});
  EXPECT_EQ(id.Number, "");
}

// A call that starts just as the modem answers the last command of the initialisation: its
// ring and caller ID arrive in the same read as that OK, before the line counts as open.
TEST_F(LineServiceTest, ACallThatArrivesWithTheLastAnswerOfTheInitIsNotLost) {
  Peer.SetAfterInit("\r\nRING\r\n\r\nDATE = 0504\r\nTIME = 2149\r\nNMBR = 4075551212\r\n"
                    "NAME = Chmielewski Joh\r\n");
  Initialize();
  Open();
  ASSERT_TRUE(WaitMsg(LINE_CALLINFO)) << "the call that came with the OK was lost";
  const int offered = FindMsg(LINE_CALLSTATE, LINECALLSTATE_OFFERING);
  ASSERT_GE(offered, 0);
  const TCallerId id = ReadCallerId(Received()[static_cast<size_t>(offered)].Device);
  EXPECT_EQ(id.Number, "4075551212");
  EXPECT_EQ(id.Name, "Chmielewski Joh");
}

TEST_F(LineServiceTest, NotUnderstoodOutputAndOverlongLinesDoNotLoseTheCall) {
  Initialize();
  Open();
  const HCALL call = RingAndTakeCall();
  Peer.Send("\x01\x02\xff garbage here\r\n");
  Peer.Send("NMBR = " + std::string(300, '9') + "\r\n"); // over 256 bytes: discarded
  Peer.Send("\r\nDATE=1203\r\nTIME=1452\r\nNMBR=07700900461\r\nNAME=Brit Columbia\r\n");
  Peer.SendLine("RING");
  ASSERT_TRUE(PumpUntil([] { return CountMsg(LINE_LINEDEVSTATE) == 2; }));
  const TCallerId id = ReadCallerId(call);
  EXPECT_EQ(id.Number, "07700900461");
  EXPECT_EQ(id.Name, "Brit Columbia");
  EXPECT_EQ(CountMsg(LINE_CALLSTATE, LINECALLSTATE_OFFERING), 1u);
  const int secondRing = FindMsg(LINE_LINEDEVSTATE, Any, FindMsg(LINE_LINEDEVSTATE) + 1);
  ASSERT_GE(secondRing, 0);
  EXPECT_EQ(Received()[static_cast<size_t>(secondRing)].Param3, 2u);
}

TEST_F(LineServiceTest, AnswerConnectsAndNoCarrierDisconnects) {
  Initialize();
  Open();
  const HCALL call = RingAndTakeCall();
  const LONG accept = Tapi().Accept(call, nullptr, 0);
  EXPECT_EQ(ReplyOf(accept), 0);
  ASSERT_TRUE(WaitMsg(LINE_CALLSTATE, LINECALLSTATE_ACCEPTED));
  const LONG answer = Tapi().Answer(call, nullptr, 0);
  ASSERT_GT(answer, 0);
  ASSERT_TRUE(Peer.WaitCommand("ATA"));
  Peer.SendLine("CONNECT 33600");
  EXPECT_EQ(ReplyOf(answer), 0);
  ASSERT_TRUE(WaitMsg(LINE_CALLSTATE, LINECALLSTATE_CONNECTED));
  EXPECT_EQ(CallState(call), DWORD{LINECALLSTATE_CONNECTED});

  Peer.SendLine("NO CARRIER");
  ASSERT_TRUE(WaitMsg(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED));
  EXPECT_EQ(
      Received()[static_cast<size_t>(FindMsg(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED))].Param2,
      DWORD_PTR{LINEDISCONNECTMODE_NORMAL});
  const size_t from = Received().size();
  EXPECT_EQ(ReplyOf(Tapi().Drop(call, nullptr, 0)), 0);
  ASSERT_TRUE(WaitMsg(LINE_CALLSTATE, LINECALLSTATE_IDLE, from));
  EXPECT_TRUE(Peer.WaitCommand("ATH"));
  EXPECT_EQ(Tapi().Deallocate(call), 0);
}

TEST_F(LineServiceTest, ConnectedCallHandsOverTheModemAndDropHangsUp) {
  Initialize();
  Open();
  const HCALL call = RingAndTakeCall();
  const LONG answer = Tapi().Answer(call, nullptr, 0);
  ASSERT_TRUE(Peer.WaitCommand("ATA"));
  Peer.SendLine("CONNECT");
  EXPECT_EQ(ReplyOf(answer), 0);
  ASSERT_TRUE(WaitMsg(LINE_CALLSTATE, LINECALLSTATE_CONNECTED));

  // Too small a VARSTRING: only the sizes, and no descriptor is created for nobody.
  const size_t descriptors = OpenDescriptors();
  TRecordBuffer small(sizeof(VARSTRING) + 2);
  ASSERT_EQ(
      Tapi().GetID(FLine, 0, call, LINECALLSELECT_CALL, small.As<VARSTRING>(), "comm/datamodem"),
      0);
  EXPECT_EQ(small.As<VARSTRING>()->dwNeededSize,
            sizeof(VARSTRING) + 4 + Peer.SlavePath().size() + 1);
  EXPECT_EQ(small.As<VARSTRING>()->dwStringSize, 0u);
  EXPECT_TRUE(small.GuardIntact());
  EXPECT_EQ(OpenDescriptors(), descriptors);

  TRecordBuffer id(1028);
  ASSERT_EQ(Tapi().GetID(FLine, 0, call, LINECALLSELECT_CALL, id.As<VARSTRING>(), "comm/datamodem"),
            0);
  const VARSTRING* record = id.As<VARSTRING>();
  EXPECT_EQ(record->dwStringFormat, DWORD{STRINGFORMAT_BINARY});
  ASSERT_EQ(record->dwStringSize, 4 + Peer.SlavePath().size() + 1);
  int32_t fd = -1;
  std::memcpy(&fd, id.Bytes.data() + record->dwStringOffset, sizeof fd);
  EXPECT_EQ(id.StringAt(record->dwStringOffset + 4, record->dwStringSize - 5), Peer.SlavePath());
  ASSERT_GE(fd, 0);

  // Data passes both ways, and the service keeps its hands off the modem meanwhile.
  Peer.SetDataMode(true);
  ASSERT_EQ(write(fd, "hello\r\n", 7), 7);
  EXPECT_TRUE(Peer.WaitReceived("hello"));
  Peer.Send("RING\r\nworld");
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(GenerousMs);
  while (got.find("world") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd readable{fd, POLLIN, 0};
    char buffer[64];
    if (poll(&readable, 1, 50) > 0) {
      const ssize_t count = read(fd, buffer, sizeof buffer);
      if (count > 0)
        got.append(buffer, static_cast<size_t>(count));
    }
  }
  EXPECT_EQ(got, "RING\r\nworld");
  PumpFor(100);
  // The data "RING" was not taken for a ring: one ring, and the end of the ringing at CONNECT.
  std::vector<DWORD_PTR> rings;
  for (const TLineMsg& msg : Received())
    if (msg.Message == LINE_LINEDEVSTATE)
      rings.push_back(msg.Param3);
  EXPECT_EQ(rings, (std::vector<DWORD_PTR>{1, 0}));
  close(fd);

  // Still in data mode: the bare AT the service tries first is data, the escape follows.
  const size_t from = Received().size();
  EXPECT_EQ(ReplyOf(Tapi().Drop(call, nullptr, 0)), 0);
  ASSERT_TRUE(WaitMsg(LINE_CALLSTATE, LINECALLSTATE_IDLE, from));
  EXPECT_TRUE(Peer.WaitReceived("AT\r"));
  EXPECT_EQ(Peer.CountCommand("AT"), 0u) << "taken for a command in data mode";
  EXPECT_EQ(Peer.CountCommand("+++"), 1u);
  EXPECT_EQ(Peer.CountCommand("ATH"), 1u);
  EXPECT_EQ(Tapi().Deallocate(call), 0);

  // Back on the hook, the next call is offered as usual.
  EXPECT_NE(RingAndTakeCall(), 0u);
}

// The descriptor's owner read the modem's NO CARRIER: the modem is in command mode already
// and answers the bare AT, so the hang-up spends no guard times on an escape.
TEST_F(LineServiceTest, HandedOverModemThatSaidNoCarrierHangsUpWithoutEscape) {
  Initialize();
  Open();
  const HCALL call = RingAndTakeCall();
  const LONG answer = Tapi().Answer(call, nullptr, 0);
  ASSERT_TRUE(Peer.WaitCommand("ATA"));
  Peer.SendLine("CONNECT 33600");
  EXPECT_EQ(ReplyOf(answer), 0);
  ASSERT_TRUE(WaitMsg(LINE_CALLSTATE, LINECALLSTATE_CONNECTED));
  TRecordBuffer id(1028);
  ASSERT_EQ(Tapi().GetID(FLine, 0, call, LINECALLSELECT_CALL, id.As<VARSTRING>(), "comm/datamodem"),
            0);
  int32_t fd = -1;
  std::memcpy(&fd, id.Bytes.data() + id.As<VARSTRING>()->dwStringOffset, sizeof fd);
  ASSERT_GE(fd, 0);
  Peer.SendLine("NO CARRIER");
  std::string got;
  ASSERT_TRUE(PumpUntil([&] {
    char buffer[64];
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count > 0)
      got.append(buffer, static_cast<size_t>(count));
    return got.find("NO CARRIER") != std::string::npos;
  })) << "the owner of the descriptor reads what the modem says";
  close(fd);

  const size_t from = Received().size();
  EXPECT_EQ(ReplyOf(Tapi().Drop(call, nullptr, 0)), 0);
  ASSERT_TRUE(WaitMsg(LINE_CALLSTATE, LINECALLSTATE_IDLE, from));
  EXPECT_EQ(Peer.CountCommand("AT"), 1u);
  EXPECT_EQ(Peer.CountCommand("+++"), 0u);
  EXPECT_EQ(Peer.CountCommand("ATH"), 1u);
  EXPECT_EQ(Tapi().Deallocate(call), 0);
}

// Once the application drops a connected call, nobody gets its modem any more: a descriptor
// handed out now would keep the device after the call.
TEST_F(LineServiceTest, CallBeingDroppedIsNotHandedOver) {
  Initialize();
  Open();
  const HCALL call = RingAndTakeCall();
  const LONG answer = Tapi().Answer(call, nullptr, 0);
  ASSERT_TRUE(Peer.WaitCommand("ATA"));
  Peer.SendLine("CONNECT 33600");
  EXPECT_EQ(ReplyOf(answer), 0);
  ASSERT_TRUE(WaitMsg(LINE_CALLSTATE, LINECALLSTATE_CONNECTED));
  Peer.SetDataMode(true);
  const size_t descriptors = OpenDescriptors();
  const LONG drop = Tapi().Drop(call, nullptr, 0);
  ASSERT_GT(drop, 0);
  TRecordBuffer id(1028);
  EXPECT_EQ(Tapi().GetID(FLine, 0, call, LINECALLSELECT_CALL, id.As<VARSTRING>(), "comm/datamodem"),
            static_cast<LONG>(LINEERR_INVALCALLSTATE));
  EXPECT_EQ(OpenDescriptors(), descriptors);
  EXPECT_EQ(ReplyOf(drop), 0);
  ASSERT_TRUE(WaitMsg(LINE_CALLSTATE, LINECALLSTATE_IDLE));
  EXPECT_EQ(Tapi().Deallocate(call), 0);
}

// The same modem with modem lines, as a real serial or USB modem has them.
class ModemLinesTest : public LineServiceTest {
protected:
  void SetUp() override {
    ASSERT_TRUE(ModemLinesShim::Attach(Peer.SlavePath(),
                                       TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR | TIOCM_CD));
    LineServiceTest::SetUp();
  }
  void TearDown() override {
    LineServiceTest::TearDown();
    ModemLinesShim::Detach();
  }

  HCALL ConnectedCall() {
    Initialize();
    Open();
    const HCALL call = RingAndTakeCall();
    const LONG answer = Tapi().Answer(call, nullptr, 0);
    EXPECT_TRUE(Peer.WaitCommand("ATA"));
    Peer.SendLine("CONNECT 33600");
    EXPECT_EQ(ReplyOf(answer), 0);
    EXPECT_TRUE(WaitMsg(LINE_CALLSTATE, LINECALLSTATE_CONNECTED));
    return call;
  }
};

// The far end goes while the application has the modem: the carrier's drop ends the call,
// and the hang-up that follows needs neither DTR nor an escape.
TEST_F(ModemLinesTest, CarrierDropEndsAHandedOverCall) {
  const HCALL call = ConnectedCall();
  TRecordBuffer id(1028);
  ASSERT_EQ(Tapi().GetID(FLine, 0, call, LINECALLSELECT_CALL, id.As<VARSTRING>(), "comm/datamodem"),
            0);
  int32_t fd = -1;
  std::memcpy(&fd, id.Bytes.data() + id.As<VARSTRING>()->dwStringOffset, sizeof fd);
  ASSERT_GE(fd, 0);
  const size_t from = Received().size();
  ModemLinesShim::SetLine(TIOCM_CD, false);
  ASSERT_TRUE(WaitMsg(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED, from));
  EXPECT_EQ(
      Received()[static_cast<size_t>(FindMsg(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED, from))]
          .Param2,
      DWORD_PTR{LINEDISCONNECTMODE_NORMAL});
  close(fd);
  EXPECT_EQ(ReplyOf(Tapi().Drop(call, nullptr, 0)), 0);
  ASSERT_TRUE(WaitMsg(LINE_CALLSTATE, LINECALLSTATE_IDLE, from));
  EXPECT_EQ(Peer.CountCommand("AT"), 0u);
  EXPECT_EQ(Peer.CountCommand("+++"), 0u);
  EXPECT_EQ(Peer.CountCommand("ATH"), 1u);
  EXPECT_EQ(ModemLinesShim::DtrDrops, 0);
  EXPECT_EQ(Tapi().Deallocate(call), 0);
}

// The application hangs up while the carrier is there: DTR drops, no escape is needed.
TEST_F(ModemLinesTest, HangUpOfAConnectedCallDropsDtr) {
  const HCALL call = ConnectedCall();
  const size_t from = Received().size();
  EXPECT_EQ(ReplyOf(Tapi().Drop(call, nullptr, 0)), 0);
  ASSERT_TRUE(WaitMsg(LINE_CALLSTATE, LINECALLSTATE_IDLE, from));
  EXPECT_EQ(ModemLinesShim::DtrDrops, 1);
  EXPECT_TRUE(ModemLinesShim::Lines & TIOCM_DTR) << "DTR is up again for the next call";
  EXPECT_EQ(Peer.CountCommand("+++"), 0u);
  EXPECT_EQ(Peer.CountCommand("ATH"), 1u);
  EXPECT_EQ(Tapi().Deallocate(call), 0);
}

TEST_F(LineServiceTest, DroppedOfferedCallIsNotOfferedAgainByItsRings) {
  Initialize();
  Open();
  const HCALL call = RingAndTakeCall();
  EXPECT_EQ(ReplyOf(Tapi().Drop(call, nullptr, 0)), 0);
  ASSERT_TRUE(WaitMsg(LINE_CALLSTATE, LINECALLSTATE_IDLE));
  EXPECT_EQ(Tapi().Deallocate(call), 0);
  Reopen(); // what the monitor does after each caller ID

  for (int ring = 0; ring < 3; ++ring) {
    Peer.SendLine("RING");
    PumpFor(250);
  }
  EXPECT_EQ(CountMsg(LINE_CALLSTATE, LINECALLSTATE_OFFERING), 1u);
  EXPECT_EQ(Peer.CountCommand("ATA"), 0u);

  // Once the rings have stopped for the ring time-out, a ring is a new call.
  PumpFor(2500);
  EXPECT_NE(RingAndTakeCall(), 0u);
  EXPECT_EQ(CountMsg(LINE_CALLSTATE, LINECALLSTATE_OFFERING), 2u);
}

TEST_F(LineServiceTest, NewCallerIdBlockIsANewCallEvenBeforeTheRingTimeOut) {
  Initialize();
  Open();
  // The first caller gives up after one ring; the next one calls before the ring time-out.
  const HCALL first = RingAndTakeCall();
  Peer.Send("\r\nDATE = 0504\r\nTIME = 2149\r\nNMBR = 4075551212\r\nNAME = First Caller\r\n");
  ASSERT_TRUE(WaitMsg(LINE_CALLINFO));
  Peer.SendLine("RING");
  Peer.Send("\r\nDATE = 0504\r\nTIME = 2150\r\nNMBR = 3125550147\r\nNAME = Second Caller\r\n");
  ASSERT_TRUE(PumpUntil([] { return CountMsg(LINE_CALLINFO) == 2; }));
  EXPECT_EQ(CountMsg(LINE_CALLSTATE, LINECALLSTATE_OFFERING), 2u);
  const int idle = FindMsg(LINE_CALLSTATE, LINECALLSTATE_IDLE);
  ASSERT_GE(idle, 0);
  EXPECT_EQ(Received()[static_cast<size_t>(idle)].Device, first);
  const int secondInfo = FindMsg(LINE_CALLINFO, Any, FindMsg(LINE_CALLINFO) + 1);
  const HCALL second = Received()[static_cast<size_t>(secondInfo)].Device;
  ASSERT_NE(second, first);
  EXPECT_EQ(ReadCallerId(first).Name, "First Caller");
  EXPECT_EQ(ReadCallerId(second).Name, "Second Caller");

  // The monitor's way: drop on the caller ID and reopen. The rings of the dropped call are
  // swallowed, the next caller's block is not.
  EXPECT_EQ(ReplyOf(Tapi().Drop(second, nullptr, 0)), 0);
  EXPECT_EQ(Tapi().Deallocate(second), 0);
  Reopen();
  const size_t from = Received().size();
  Peer.SendLine("RING");
  PumpFor(250);
  EXPECT_EQ(FindMsg(LINE_CALLSTATE, LINECALLSTATE_OFFERING, from), -1);
  Peer.Send("\r\nDATE = 0504\r\nTIME = 2151\r\nNMBR = 2065550183\r\nNAME = Third Caller\r\n");
  ASSERT_TRUE(WaitMsg(LINE_CALLINFO, Any, from));
  const HCALL third = Received()[static_cast<size_t>(FindMsg(LINE_CALLINFO, Any, from))].Device;
  EXPECT_EQ(ReadCallerId(third).Number, "2065550183");
}

// The monitor's way again: the call is shown at its first report and dropped. What its caller's
// line sends later changes the call only when it changes who is calling: a repeat offers
// nothing, a mask offers the call again under its call id, with the number masked.
TEST_F(LineServiceTest, MaskAfterTheDropIsOfferedAsTheSameCall) {
  Initialize();
  Open();
  std::vector<TCallerId> callers;
  DropOnCallerIdAndReopen(callers);
  Peer.SendLine("RING");
  PumpFor(100);
  Peer.Send("\r\nDATE = 0504\r\nTIME = 2149\r\nNMBR = 4075551212\r\nNAME = Chmielewski Joh\r\n");
  ASSERT_TRUE(PumpUntil([&] { return callers.size() == 1; }));
  PumpFor(300);
  Peer.Send("\r\nRING\r\n\r\nDATE = 0504\r\nTIME = 2149\r\nNMBR = 4075551212\r\n"
            "NAME = Chmielewski Joh\r\n");
  PumpFor(300);
  EXPECT_EQ(callers.size(), 1u) << "a repeat is no news";
  Peer.SendLine("NMBR = O");
  PumpFor(300);
  Peer.SendLine("RING");
  ASSERT_TRUE(PumpUntil([&] { return callers.size() == 2; }));
  OnMessage() = nullptr;
  EXPECT_EQ(callers[0].Number, "4075551212");
  EXPECT_EQ(callers[1].Number, "");
  EXPECT_TRUE(callers[1].Flags & LINECALLPARTYID_OUTOFAREA);
  EXPECT_EQ(callers[1].Name, "Chmielewski Joh");
  EXPECT_NE(callers[0].CallId, 0u);
  EXPECT_EQ(callers[1].CallId, callers[0].CallId);
}

// The phone rings on after the application dropped the call on its caller ID: the rings are
// still counted to the application, on the reopened line, and the end of the ringing is one
// more RINGING with the count 0 - also when the last ring came before the line was reopened.
TEST_F(LineServiceTest, RingsOfADroppedCallAreCountedAndTheirEndIsRingZero) {
  Initialize();
  Open();
  std::vector<TCallerId> callers;
  DropOnCallerIdAndReopen(callers);
  const auto Rings = [] {
    std::vector<DWORD_PTR> counts;
    for (const TLineMsg& msg : Received())
      if (msg.Message == LINE_LINEDEVSTATE && msg.Param1 == LINEDEVSTATE_RINGING)
        counts.push_back(msg.Param3);
    return counts;
  };
  Peer.SendLine("RING");
  PumpFor(100);
  Peer.Send("\r\nDATE = 0504\r\nTIME = 2149\r\nNMBR = 4075551212\r\nNAME = Chmielewski Joh\r\n");
  ASSERT_TRUE(PumpUntil([&] { return callers.size() == 1; }));
  for (int ring = 0; ring < 2; ++ring) {
    PumpFor(500);
    Peer.SendLine("RING");
  }
  // Past the ring time-out of 1.5 s.
  ASSERT_TRUE(PumpUntil([&] { return Rings().size() == 4; }));
  PumpFor(300);
  EXPECT_EQ(Rings(), (std::vector<DWORD_PTR>{1, 2, 3, 0}));
  EXPECT_EQ(CountMsg(LINE_CALLSTATE, LINECALLSTATE_OFFERING), 1u);

  // A caller who gives up at the first ring: its end is told by the line opened after it.
  Peer.SendLine("RING");
  PumpFor(100);
  Peer.Send("\r\nDATE = 0504\r\nTIME = 2150\r\nNMBR = 3125550147\r\nNAME = Okafor Grace\r\n");
  ASSERT_TRUE(PumpUntil([&] { return callers.size() == 2; }));
  ASSERT_TRUE(PumpUntil([&] { return Rings().size() == 6; }));
  OnMessage() = nullptr;
  EXPECT_EQ(Rings(), (std::vector<DWORD_PTR>{1, 2, 3, 0, 1, 0}));
}

TEST_F(LineServiceTest, VanishedDeviceEndsTheCallAndTheLineWithoutSpinning) {
  Initialize();
  Open();
  const HCALL call = RingAndTakeCall();
  Peer.Vanish();
  ASSERT_TRUE(WaitMsg(LINE_CLOSE));
  const int idle = FindMsg(LINE_CALLSTATE, LINECALLSTATE_IDLE);
  const int outOfService = FindMsg(LINE_LINEDEVSTATE, LINEDEVSTATE_OUTOFSERVICE);
  ASSERT_GE(idle, 0);
  ASSERT_GE(outOfService, 0);
  EXPECT_LT(idle, outOfService);
  EXPECT_LT(outOfService, FindMsg(LINE_CLOSE));
  EXPECT_EQ(Received()[static_cast<size_t>(idle)].Device, call);

  // Closed by the service: the handle is no longer the application's.
  EXPECT_EQ(Tapi().Close(FLine), LONG(LINEERR_INVALLINEHANDLE));
  FLine = 0;

  // Nothing keeps running for the vanished device.
  const double before = ProcessCpuSeconds();
  PumpFor(1000);
  EXPECT_LT(ProcessCpuSeconds() - before, 0.5);
}

TEST_F(LineServiceTest, ApplicationThatClosesOnOutOfServiceGetsNoLineClose) {
  Initialize();
  Open();
  OnMessage() = [this](const TLineMsg& msg) {
    if (msg.Message == LINE_LINEDEVSTATE && msg.Param1 == LINEDEVSTATE_OUTOFSERVICE) {
      EXPECT_EQ(Tapi().Close(FLine), 0);
      FLine = 0;
    }
  };
  Peer.Vanish();
  ASSERT_TRUE(WaitMsg(LINE_LINEDEVSTATE, LINEDEVSTATE_OUTOFSERVICE));
  PumpFor(300);
  EXPECT_EQ(CountMsg(LINE_CLOSE), 0u);
  EXPECT_EQ(FLine, 0u);
}

TEST_F(LineServiceTest, ModemThatDoesNotAnswerMakesOpenFailQuickly) {
  Initialize();
  Peer.SetSilent(true);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Tapi().Open(FApp, 0, &FLine, TAPI_VERSION_1_4, 0, Instance, LINECALLPRIVILEGE_OWNER,
                        LINEMEDIAMODE_DATAMODEM, nullptr),
            LONG(LINEERR_OPERATIONFAILED));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  FLine = 0;
  // The device was released: a modem that answers again can be opened.
  Peer.SetSilent(false);
  Open();
}

// Opened in the background, a line is set up on a thread of its own: the caller gets the
// handle and a request at once, the outcome comes as LINE_REPLY, and until then the handle
// serves lineClose only. Three outcomes: a modem that answers, one that never does, and a
// line given up while its silent modem is still being set up.
TEST_F(LineServiceTest, OpenInTheBackgroundRepliesWithTheOutcomeOfTheSetUp) {
  Initialize();
  const auto OpenInBackground = [this] {
    return Tapi().Open(FApp, 0, &FLine, TAPI_VERSION_1_4, 0, Instance,
                       LINECALLPRIVILEGE_OWNER | RINGLET_OPENOPTION_BACKGROUND,
                       LINEMEDIAMODE_DATAMODEM, nullptr);
  };

  // Silent: the set-up is still waiting for ATZ when lineOpen has returned.
  Peer.SetSilent(true);
  LONG request = OpenInBackground();
  ASSERT_GT(request, 0);
  ASSERT_NE(FLine, 0u);
  EXPECT_EQ(Tapi().SetStatusMessages(FLine, LINEDEVSTATE_ALL, 0), LONG(LINEERR_INVALLINEHANDLE))
      << "not open before the reply";
  EXPECT_EQ(FindMsg(LINE_REPLY, DWORD_PTR(request)), -1);
  EXPECT_EQ(ReplyOf(request), LONG(LINEERR_OPERATIONFAILED));
  EXPECT_EQ(Tapi().Close(FLine), LONG(LINEERR_INVALLINEHANDLE)) << "a failed open leaves no line";

  // Answering: the reply says open, and the line works from then on.
  Peer.SetSilent(false);
  request = OpenInBackground();
  ASSERT_GT(request, 0);
  EXPECT_EQ(ReplyOf(request), 0);
  ASSERT_EQ(Tapi().SetStatusMessages(FLine, LINEDEVSTATE_ALL, LINEADDRESSSTATE_ALL), 0);
  const HCALL call = RingAndTakeCall();
  EXPECT_NE(call, 0u);
  ASSERT_EQ(Tapi().Close(FLine), 0);

  // Given up while its modem is silent: no reply ever comes, and once the set-up has ended
  // the device can be opened again.
  Peer.SetSilent(true);
  request = OpenInBackground();
  ASSERT_GT(request, 0);
  ASSERT_EQ(Tapi().Close(FLine), 0);
  FLine = 0;
  PumpFor(2500); // longer than the command time-out of ATZ
  EXPECT_EQ(FindMsg(LINE_REPLY, DWORD_PTR(request)), -1);
  Peer.SetSilent(false);
  Open();
}

TEST_F(LineServiceTest, CallerIdCommandFallsBackAndIsSentFirstOnTheNextOpen) {
  Peer.Refuse("AT+VCID=1");
  Peer.SetFaxClasses("0,1,2,8");
  Initialize();
  Open();
  EXPECT_EQ(Peer.CountCommand("AT+VCID=1"), 1u);
  EXPECT_EQ(Peer.CountCommand("AT#CID=1"), 1u);
  EXPECT_EQ(Peer.CountCommand("AT%CCID=1"), 0u);

  TRecordBuffer config(1028);
  ASSERT_EQ(Tapi().GetDevConfig(0, config.As<VARSTRING>(), "comm/datamodem"), 0);
  const VARSTRING* text = config.As<VARSTRING>();
  const std::string settings = config.StringAt(text->dwStringOffset, text->dwStringSize);
  EXPECT_NE(settings.find("Init=AT#CID=1"), std::string::npos) << settings;
  EXPECT_NE(settings.find("Device=" + Peer.SlavePath()), std::string::npos);
  TRecordBuffer port(1028);
  ASSERT_EQ(Tapi().GetDevConfig(0, port.As<VARSTRING>(), "comm/datamodem/portname"), 0);
  const VARSTRING* name = port.As<VARSTRING>();
  EXPECT_EQ(port.StringAt(name->dwStringOffset, name->dwStringSize), Peer.SlavePath() + '\0');

  // The modem said it has voice class 8.
  TRecordBuffer caps(1024);
  ASSERT_EQ(Tapi().GetDevCaps(FApp, 0, TAPI_VERSION_1_4, 0, caps.As<LINEDEVCAPS>()), 0);
  EXPECT_EQ(caps.As<LINEDEVCAPS>()->dwMediaModes,
            DWORD{LINEMEDIAMODE_DATAMODEM | LINEMEDIAMODE_AUTOMATEDVOICE});

  Reopen();
  const std::vector<std::string> commands = Peer.Commands();
  const auto secondReset = std::find(commands.rbegin(), commands.rend(), "ATE0V1");
  ASSERT_NE(secondReset, commands.rend());
  EXPECT_EQ(*(secondReset - 1), "AT#CID=1"); // the one that worked goes first now
  EXPECT_EQ(Peer.CountCommand("AT+VCID=1"), 1u);
}

class IdleCheckTest : public LineServiceTest {
  std::string Extra() override { return "CheckInterval=0.3\n"; }
};

TEST_F(IdleCheckTest, ModemThatStopsAnsweringGoesOutOfService) {
  Initialize();
  Open();
  ASSERT_TRUE(Peer.WaitCommand("AT", 2)); // checks answered: still in service
  EXPECT_EQ(CountMsg(LINE_LINEDEVSTATE), 0u);
  Peer.SetSilent(true);
  ASSERT_TRUE(WaitMsg(LINE_LINEDEVSTATE, LINEDEVSTATE_OUTOFSERVICE));
}

TEST_F(LineServiceTest, OutgoingCallDialsAndReportsBusy) {
  Initialize();
  Open();
  HCALL call = 0;
  EXPECT_EQ(Tapi().MakeCall(FLine, &call, "555\r\nATZ", 0, nullptr), LONG(LINEERR_INVALADDRESS));
  const LONG request = Tapi().MakeCall(FLine, &call, "(407) 555-1212", 0, nullptr);
  EXPECT_EQ(ReplyOf(request), 0);
  ASSERT_TRUE(Peer.WaitCommand("ATD4075551212"));
  ASSERT_TRUE(WaitMsg(LINE_CALLSTATE, LINECALLSTATE_DIALING));
  Peer.SendLine("BUSY");
  ASSERT_TRUE(WaitMsg(LINE_CALLSTATE, LINECALLSTATE_BUSY));
  EXPECT_EQ(ReplyOf(Tapi().Drop(call, nullptr, 0)), 0);
  ASSERT_TRUE(WaitMsg(LINE_CALLSTATE, LINECALLSTATE_IDLE));
  EXPECT_EQ(Tapi().Deallocate(call), 0);
}

TEST_F(LineServiceTest, MessagesOfAClosedLineAreNotDelivered) {
  Initialize();
  Open();
  Peer.SendLine("RING");
  ASSERT_TRUE(WaitMsg(LINE_LINEDEVSTATE));
  // Messages may already be queued for the line; after lineClose none may arrive.
  const size_t before = Received().size();
  Peer.SendLine("RING");
  std::this_thread::sleep_for(std::chrono::milliseconds(200)); // let them queue, unpumped
  ASSERT_EQ(Tapi().Close(FLine), 0);
  FLine = 0;
  PumpFor(300);
  EXPECT_EQ(Received().size(), before);
}

TEST_F(LineServiceTest, MonitorFlowDropsInsideTheCallerIdHandlerAndReopens) {
  Initialize();
  Open();
  std::vector<TCallerId> callers;
  DropOnCallerIdAndReopen(callers);
  Peer.SendLine("RING");
  Peer.Send("\r\nDATE = 0504\r\nTIME = 2149\r\nNMBR = 4075551212\r\nNAME = JOHN\r\n");
  ASSERT_TRUE(PumpUntil([&] { return callers.size() == 1; }));
  for (int ring = 0; ring < 3; ++ring) {
    Peer.SendLine("RING");
    PumpFor(250);
  }
  EXPECT_EQ(CountMsg(LINE_CALLSTATE, LINECALLSTATE_OFFERING), 1u);
  PumpFor(2500);
  Peer.SendLine("RING");
  Peer.Send("\r\nDATE = 0504\r\nTIME = 2150\r\nNMBR = 5551234\r\nNAME = MARY\r\n");
  ASSERT_TRUE(PumpUntil([&] { return callers.size() == 2; }));
  EXPECT_EQ(callers[0].Number, "4075551212");
  EXPECT_EQ(callers[1].Number, "5551234");
  EXPECT_EQ(CountMsg(LINE_CALLSTATE, LINECALLSTATE_OFFERING), 2u);
  OnMessage() = nullptr;
}

TEST_F(LineServiceTest, HangUpTheModemDoesNotConfirmIsReportedAsAFailure) {
  Initialize();
  Open();
  const HCALL call = RingAndTakeCall();
  const LONG answer = Tapi().Answer(call, nullptr, 0);
  ASSERT_TRUE(Peer.WaitCommand("ATA"));
  Peer.SendLine("CONNECT");
  EXPECT_EQ(ReplyOf(answer), 0);
  Peer.Refuse("ATH");
  Peer.Refuse("ATZ");
  const size_t from = Received().size();
  EXPECT_EQ(ReplyOf(Tapi().Drop(call, nullptr, 0)), LONG(LINEERR_OPERATIONFAILED));
  ASSERT_TRUE(WaitMsg(LINE_CALLSTATE, LINECALLSTATE_IDLE, from)); // over for the application
  EXPECT_EQ(Peer.CountCommand("ATZ"), 2u);                        // the open's and the retry's
  EXPECT_EQ(Tapi().Deallocate(call), 0);
  // Nothing keeps the modem after the failed hang-up: once the line is closed, another
  // program opens it exclusively.
  ASSERT_EQ(Tapi().Close(FLine), 0);
  FLine = 0;
  Platform::TSerialDevice Other;
  EXPECT_TRUE(Other.Open(Peer.SlavePath())) << Platform::DescribeDeviceHolders(Peer.SlavePath());
}

// ---- Orders of rings and caller-ID lines, through the monitor's flow ---------------------
// The monitor keeps the first caller ID of a call and drops the call at once, so that report
// must hold every field the line sends for the call; what comes after the drop (the rest of
// the rings, a repeated block) must not make another call of it. One call, one row; two
// callers, two rows.

struct TOrderStep {
  int WaitMs; // pumped before the text is sent
  std::string Text;
};

struct TOrderCase {
  const char* Name;
  std::vector<TOrderStep> Steps;
  std::vector<std::string> Rows; // "number|name"; a masked number reads "O" or "P"
};

const std::string Ring = "\r\nRING\r\n";
const std::string Block =
    "\r\nDATE = 0504\r\nTIME = 2149\r\nNMBR = 4075551212\r\nNAME = Chmielewski Joh\r\n";
const std::string NoName = "\r\nDATE = 0504\r\nTIME = 2149\r\nNMBR = 4075551212\r\n";
const std::string NameLine = "\r\nNAME = Chmielewski Joh\r\n";
const std::string Whole = "4075551212|Chmielewski Joh";

std::string Row(const TCallerId& id) {
  std::string number = id.Number;
  if (number.empty() && (id.Flags & LINECALLPARTYID_OUTOFAREA))
    number = "O";
  if (number.empty() && (id.Flags & LINECALLPARTYID_BLOCKED))
    number = "P";
  return number + "|" + id.Name;
}

// Rings 0.7 s apart, under the line's ring time-out of 1.5 s.
const std::vector<TOrderCase> OrderCases = {
    {"UsualOrder", {{0, Ring}, {300, Block}, {700, Ring}, {700, Ring}}, {Whole}},
    {"AllBeforeTheFirstRing", {{0, Block}, {100, Ring}, {700, Ring}, {700, Ring}}, {Whole}},
    {"NameAfterTheFirstRing",
     {{0, NoName}, {100, Ring}, {300, NameLine}, {700, Ring}, {700, Ring}},
     {Whole}},
    {"NameBeforeNumber",
     {{0, Ring}, {300, NameLine}, {400, NoName}, {700, Ring}, {700, Ring}},
     {Whole}},
    {"LateName", {{0, Ring}, {300, NoName}, {400, NameLine}, {700, Ring}, {700, Ring}}, {Whole}},
    {"LateMesgWithTheName",
     {{0, Ring},
      {300, NoName},
      {400, "\r\nMESG = 070F43686D69656C6577736B69204A6F68\r\n"},
      {700, Ring},
      {700, Ring}},
     {Whole}},
    {"BlockRepeatedAtTheSecondRing",
     {{0, Ring}, {300, Block}, {700, Ring}, {300, Block}, {700, Ring}, {300, Block}},
     {Whole}},
    {"NumberSentThenMasked",
     {{0, Ring},
      {300, "\r\nDATE = 0504\r\nTIME = 2149\r\nNMBR = 4075551212\r\nNMBR = O\r\nNAME = O\r\n"},
      {700, Ring},
      {700, Ring}},
     {"O|"}},
    {"TwoCallersAFewSecondsApart",
     {{0, Ring},
      {300, Block},
      {700, Ring},
      {700, Ring},
      {300, "\r\nDATE = 0504\r\nTIME = 2150\r\nNMBR = 3125550147\r\nNAME = Okafor Grace\r\n"},
      {700, Ring}},
     {Whole, "3125550147|Okafor Grace"}},
    {"OnlyRingsThenACallerIdCall",
     {{0, Ring}, {700, Ring}, {700, Ring}, {2500, Ring}, {300, Block}, {700, Ring}},
     {Whole}},
    {"NumberOnlyLine", {{0, Ring}, {300, NoName}, {700, Ring}, {700, Ring}}, {"4075551212|"}},
};

void PrintTo(const TOrderCase& c, std::ostream* os) {
  *os << c.Name;
}

class CallerIdOrderTest : public LineServiceTest,
                          public ::testing::WithParamInterface<TOrderCase> {};

TEST_P(CallerIdOrderTest, OneRowPerCallWithEveryField) {
  Initialize();
  Open();
  std::vector<TCallerId> callers;
  DropOnCallerIdAndReopen(callers);
  for (const TOrderStep& step : GetParam().Steps) {
    PumpFor(step.WaitMs);
    Peer.Send(step.Text);
  }
  // Past the ring time-out: whatever the line sent has been reported by now.
  PumpFor(2500);
  OnMessage() = nullptr;
  std::vector<std::string> rows;
  for (const TCallerId& id : callers)
    rows.push_back(Row(id));
  EXPECT_EQ(rows, GetParam().Rows);
}

INSTANTIATE_TEST_SUITE_P(Orders, CallerIdOrderTest, ::testing::ValuesIn(OrderCases),
                         [](const ::testing::TestParamInfo<TOrderCase>& info) {
                           return std::string(info.param.Name);
                         });

// Records on which thread each message was delivered.
std::mutex ThreadLock;
std::vector<std::pair<std::thread::id, DWORD>> ThreadDeliveries;

void ThreadCallback(DWORD, DWORD message, DWORD_PTR, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
  std::lock_guard lock(ThreadLock);
  ThreadDeliveries.emplace_back(std::this_thread::get_id(), message);
}

TEST_F(LineServiceTest, MessagesReachTheCallbackOnTheRegisteringThreadOnly) {
  std::atomic<bool> opened{false};
  std::atomic<bool> done{false};
  std::thread::id registrar;
  std::thread worker([&] {
    registrar = std::this_thread::get_id();
    HLINEAPP app = 0;
    HLINE line = 0;
    DWORD devices = 0;
    ASSERT_EQ(Tapi().Initialize(&app, nullptr, ThreadCallback, "worker", &devices), 0);
    ASSERT_EQ(Tapi().Open(app, 0, &line, TAPI_VERSION_1_4, 0, 0, LINECALLPRIVILEGE_OWNER,
                          LINEMEDIAMODE_DATAMODEM, nullptr),
              0);
    ASSERT_EQ(Tapi().SetStatusMessages(line, LINEDEVSTATE_ALL, 0), 0);
    opened = true;
    PumpUntil([&] {
      std::lock_guard lock(ThreadLock);
      return ThreadDeliveries.size() >= 2;
    });
    EXPECT_EQ(Tapi().Shutdown(app), 0); // closes the line too
    done = true;
  });
  ASSERT_TRUE(PumpUntil([&] { return opened.load(); }));
  Peer.SendLine("RING");
  PumpUntil([&] { return done.load(); }); // this thread pumps too, and must get nothing
  worker.join();
  EXPECT_TRUE(Received().empty());
  std::lock_guard lock(ThreadLock);
  ASSERT_EQ(ThreadDeliveries.size(), 2u);
  for (const auto& [thread, message] : ThreadDeliveries)
    EXPECT_EQ(thread, registrar);
  EXPECT_EQ(ThreadDeliveries[0].second, DWORD{LINE_CALLSTATE});
  EXPECT_EQ(ThreadDeliveries[1].second, DWORD{LINE_LINEDEVSTATE});
}

} // namespace
