// The line device component against the scripted stand-in libtapi32.so, loaded through the
// real search path and dlopen; line messages arrive through the real message layer while the
// test (or the component's own waits) pump.
#include "tapi/AdTapi.h"

#include "common/AdExcept.h"
#include "platform/Registry.h"
#include "tests/TestSupport.h"
#include "tests/tapi/fixtures/StandIn.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

using TestSupport::GenerousMs;

bool PumpUntil(const std::function<bool()>& Done, int LimitMs = GenerousMs) {
  const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(LimitMs);
  while (!Done()) {
    if (std::chrono::steady_clock::now() > End)
      return false;
    if (!SafeYield())
      Platform::WaitMessage(10);
  }
  return true;
}

// A chooser that answers from a script and remembers what it was asked.
class TScriptedChooser : public TDeviceChooser {
public:
  TDeviceChooserResult Choose(const TDeviceChooserRequest& Request) override {
    Requests.push_back(Request);
    return Answer;
  }
  TDeviceChooserResult Answer;
  std::vector<TDeviceChooserRequest> Requests;
};

struct TStep {
  bool First, Last;
  DWORD Device, Message, Param1, Param2, Param3;
};

class TRecordingDisplay : public TApdAbstractTapiStatus {
public:
  using TApdAbstractTapiStatus::TApdAbstractTapiStatus;
  void UpdateDisplay(bool First, bool Last, DWORD Device, DWORD Message, DWORD Param1, DWORD Param2,
                     DWORD Param3) override {
    Steps.push_back({First, Last, Device, Message, Param1, Param2, Param3});
  }
  std::vector<TStep> Steps;
};

std::vector<std::string> ReadLines(const std::string& Name) {
  std::ifstream In(Name, std::ios::binary);
  std::stringstream Buffer;
  Buffer << In.rdbuf();
  std::vector<std::string> Lines;
  std::string Text = Buffer.str();
  size_t Start = 0;
  for (size_t End; (End = Text.find("\r\n", Start)) != std::string::npos; Start = End + 2)
    Lines.push_back(Text.substr(Start, End - Start));
  EXPECT_EQ(Start, Text.size()) << "every line ends in CR LF";
  return Lines;
}

// The text after " : " of each history line ("" for the empty line after a finished call).
std::vector<std::string> HistoryTexts(const std::string& Name) {
  std::vector<std::string> Texts;
  for (const std::string& Line : ReadLines(Name)) {
    const size_t Mark = Line.find(" : ");
    Texts.push_back(Mark == std::string::npos ? Line : Line.substr(Mark + 3));
  }
  return Texts;
}

class AdTapiTest : public ::testing::Test {
protected:
  void SetUp() override {
    Folder = fs::temp_directory_path() /
             ("ringlet-adtapi-" + std::to_string(getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Folder);
    fs::create_directories(Folder);
    setenv("RINGLET_REGISTRY_FILE", (Folder / "registry").c_str(), 1);
    setenv("RINGLET_LIBRARY_PATH", StandInFolder(), 1);
    UnloadTapi();
    ASSERT_TRUE(LoadTapi());
    ASSERT_TRUE(StandIn.Bind(TapiLibraryHandle()));
    StandIn.Reset();
    PreviousHandler = SetApplicationExceptionHandler(
        [this](const std::exception& E) { HandledErrors.push_back(E.what()); });
    PreviousChooser = SetDeviceChooser(&Chooser);
    Owner = std::make_unique<TComponent>();
  }

  void TearDown() override {
    // Destruction still reports; handlers that captured a test's locals must not hear it.
    if (Device != nullptr) {
      Device->OnTapiCallerID = nullptr;
      Device->OnTapiLog = nullptr;
      Device->OnTapiFail = nullptr;
      Device->OnTapiConnect = nullptr;
      Device->OnTapiPortOpen = nullptr;
      Device->OnTapiPortClose = nullptr;
      Device->OnTapiDTMF = nullptr;
      Device->OnTapiWaveNotify = nullptr;
    }
    Owner.reset();
    SetDeviceChooser(PreviousChooser);
    SetApplicationExceptionHandler(PreviousHandler);
    StandIn.Reset();
    UnloadTapi();
    Platform::TMessage Message;
    while (Platform::PeekMessage(Message, true)) {
    }
    fs::remove_all(Folder);
  }

  void AddModem(DWORD ID, const char* Name, DWORD Modes = LINEMEDIAMODE_DATAMODEM,
                DWORD Features = LINEFEATURE_MAKECALL) {
    ASSERT_EQ(0, StandIn.SetDevCaps(ID, Name, Modes, Features, 0));
  }

  // A port and a device, created as a form creates them (port first, then loaded).
  void Create(bool WithLog = true) {
    Owner->BeginLoading();
    Port = CreateComponent<TApdComPort>(Owner.get());
    if (WithLog) {
      Log = CreateComponent<TApdTapiLog>(Owner.get());
      Log->SetTapiHistoryName((Folder / "calls.his").string());
    }
    Device = CreateComponent<TApdTapiDevice>(Owner.get());
    Owner->EndLoading();
    Device->OnTapiLog = [this](TObject*, TTapiLogCode Code) { Logged.push_back(Code); };
    Device->OnTapiStatus = [this](TObject*, bool First, bool Last, int Dev, int Msg, int P1, int P2,
                                  int P3) {
      Statuses.push_back({First, Last, static_cast<DWORD>(Dev), static_cast<DWORD>(Msg),
                          static_cast<DWORD>(P1), static_cast<DWORD>(P2), static_cast<DWORD>(P3)});
    };
    Device->OnTapiFail = [this](TObject*) { ++Fails; };
  }

  void Drain() {
    EXPECT_TRUE(PumpUntil([this] { return StandIn.PendingMessages() == 0; }));
    while (SafeYield()) {
    }
  }

  // An offered call on the open line with this caller identification, made to go idle when
  // it is dropped.
  HCALL Offer(DWORD Flags, const char* Number, const char* Name,
              DWORD Media = LINEMEDIAMODE_DATAMODEM) {
    const HCALL Call = StandIn.NewCall(StandIn.LastLine(), Media);
    EXPECT_NE(0u, Call);
    StandInCallInfo Info{Flags, Number, Name, 0};
    EXPECT_EQ(0, StandIn.SetCallInfo(Call, &Info));
    StandIn.AfterCall("lineDrop", STANDIN_THIS_CALL, LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, 0);
    StandIn.Deliver(Call, LINE_CALLSTATE, LINECALLSTATE_OFFERING, 0, 0);
    return Call;
  }

  bool HasStatus(DWORD Message) const {
    for (const TStep& Step : Statuses)
      if (Step.Message == Message)
        return true;
    return false;
  }

  fs::path Folder;
  TStandIn StandIn;
  TScriptedChooser Chooser;
  TDeviceChooser* PreviousChooser = nullptr;
  TApplicationExceptionHandler PreviousHandler;
  std::vector<std::string> HandledErrors;
  std::unique_ptr<TComponent> Owner;
  TApdComPort* Port = nullptr;
  TApdTapiLog* Log = nullptr;
  TApdTapiDevice* Device = nullptr;
  std::vector<TTapiLogCode> Logged;
  std::vector<TStep> Statuses;
  int Fails = 0;
};

// ---------------------------------------------------------------------------------------
// The road of one call

TEST_F(AdTapiTest, OneCallCallerIdStopInsideHandlerAndRestart) {
  AddModem(0, "Modem A");
  Create();
  Device->SetAnswerOnRing(50);
  std::vector<std::string> Events;
  bool InHandler = false;
  Device->OnTapiCallerID = [&](TObject* CP, const std::string& ID, const std::string& Name) {
    EXPECT_EQ(Device, CP);
    InHandler = true;
    Events.push_back("callerid " + ID + " / " + Name);
    Device->StopCall();
    Events.push_back(Device->LineOpen() ? "open after stop" : "closed after stop");
    Device->StartAnswering();
    InHandler = false;
  };
  Device->OnTapiFail = [&](TObject*) {
    Events.push_back(InHandler ? "fail inside handler" : "fail");
    ++Fails;
  };

  ASSERT_EQ(tmOn, Port->TapiMode()) << "loading switched the port from tmAuto";
  Device->StartAnswering();
  EXPECT_TRUE(Device->LineOpen());
  EXPECT_EQ("Modem A", Device->SelectedDevice()) << "the only line is taken";
  EXPECT_TRUE(Chooser.Requests.empty());
  const HLINE FirstLine = StandIn.LastLine();

  // One message after the other, as a line reports them.
  const HCALL Call = Offer(LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME, "5551234", "JOHN DOE");
  Drain();
  StandIn.Deliver(FirstLine, LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 1, 1);
  Drain();
  StandIn.Deliver(Call, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID, 0, 0);
  ASSERT_TRUE(PumpUntil([&] { return Fails > 0; }));
  Drain();

  const std::vector<std::string> Expected = {"callerid 5551234 / JOHN DOE", "closed after stop",
                                             "fail"};
  EXPECT_EQ(Expected, Events);
  EXPECT_EQ(1, Fails);
  EXPECT_EQ(1, StandIn.CountOf("lineAccept"));
  EXPECT_EQ(0, StandIn.CountOf("lineAnswer")) << "one ring is below AnswerOnRing";
  ASSERT_EQ(1, StandIn.CountOf("lineDrop"));
  EXPECT_EQ(Call, StandIn.CallsOf("lineDrop")[0].Args[0]);
  EXPECT_EQ(1, StandIn.CountOf("lineDeallocateCall"));
  EXPECT_FALSE(StandIn.CallExists(Call));
  EXPECT_EQ(2, StandIn.CountOf("lineOpen"));
  EXPECT_EQ(1, StandIn.CountOf("lineClose"));
  EXPECT_TRUE(Device->LineOpen()) << "answering again";
  EXPECT_NE(0u, StandIn.LastLine());
  EXPECT_NE(FirstLine, StandIn.LastLine());
  EXPECT_EQ(0u, Device->CallHandle());

  const std::vector<TTapiLogCode> Codes = {ltapiCallStart,  ltapiAccept,   ltapiCancel,   ltapiDrop,
                                           ltapiCallFinish, ltapiDialFail, ltapiCallStart};
  EXPECT_EQ(Codes, Logged);
  const std::vector<std::string> History = {"call started",  "  accepting",   "  cancelled",
                                            "  dropped",     "call finished", "",
                                            "  dial failed", "call started"};
  EXPECT_EQ(History, HistoryTexts(Log->TapiHistoryName()));

  // Offering (first), ringing, call information; the end-of-call step never reaches here.
  ASSERT_GE(Statuses.size(), 3u);
  EXPECT_EQ((DWORD)LINE_CALLSTATE, Statuses[0].Message);
  EXPECT_TRUE(Statuses[0].First);
  EXPECT_EQ((DWORD)LINE_LINEDEVSTATE, Statuses[1].Message);
  EXPECT_EQ(1u, Statuses[1].Param3);
  for (const TStep& Step : Statuses)
    EXPECT_NE(0u, Step.Message | Step.Param1 | Step.Param2 | Step.Param3);
  EXPECT_TRUE(HandledErrors.empty());
}

TEST_F(AdTapiTest, ACallWithoutCallerIdAfterARestartStillReportsItsFailure) {
  AddModem(0, "Modem A");
  Create();
  Device->SetAnswerOnRing(50);
  int CallerIds = 0;
  // What the monitor does: stop and answer again from inside the caller-ID handler.
  Device->OnTapiCallerID = [&](TObject*, const std::string&, const std::string&) {
    ++CallerIds;
    Device->StopCall();
    Device->StartAnswering();
  };
  Device->StartAnswering();

  const HCALL First = Offer(LINECALLPARTYID_ADDRESS, "5551234", nullptr);
  Drain();
  StandIn.Deliver(First, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID, 0, 0);
  ASSERT_TRUE(PumpUntil([&] { return Fails >= 1; })) << "the stopped call reports its failure";
  Drain();
  ASSERT_TRUE(Device->LineOpen()) << "answering again after the first call";
  EXPECT_EQ(1, Fails);

  // The next call on the restarted line ends without a caller ID.
  const HCALL Second = Offer(0, nullptr, nullptr);
  Drain();
  ASSERT_EQ(Second, Device->CallHandle());
  StandIn.Deliver(Second, LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, 0);
  ASSERT_TRUE(PumpUntil([&] { return !Device->LineOpen(); }));
  PumpUntil([&] { return Fails >= 2; });
  Drain();
  EXPECT_EQ(1, CallerIds);
  EXPECT_EQ(2, Fails) << "the restart's leftover report used up the second call's failure";
  EXPECT_TRUE(HandledErrors.empty());
}

TEST_F(AdTapiTest, DestroyingTheDeviceDuringACallRunsNoHandlerOfItsOwner) {
  AddModem(0, "Modem A");
  Create();
  Device->SetAnswerOnRing(50);
  std::vector<std::string> Heard;
  bool Destroying = false;
  auto Hear = [&](const char* What) {
    if (Destroying)
      Heard.push_back(What);
  };
  Device->OnTapiStatus = [&](TObject*, bool, bool, int, int, int, int, int) { Hear("status"); };
  Device->OnTapiLog = [&](TObject*, TTapiLogCode) { Hear("log"); };
  Device->OnTapiCallerID = [&](TObject*, const std::string&, const std::string&) {
    Hear("caller id");
  };
  Device->OnTapiFail = [&](TObject*) { Hear("fail"); };
  Device->OnTapiConnect = [&](TObject*) { Hear("connect"); };
  Device->OnTapiPortOpen = [&](TObject*) { Hear("port open"); };
  Device->OnTapiPortClose = [&](TObject*) { Hear("port close"); };
  Device->OnTapiDTMF = [&](TObject*, char, int) { Hear("digit"); };
  Device->OnTapiWaveNotify = [&](TObject*, TWaveMessage) { Hear("wave"); };
  Device->StartAnswering();
  const HCALL Call = Offer(LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME, "5551234", "ANNA");
  Drain();
  ASSERT_EQ(Call, Device->CallHandle());

  // Messages still queued for the call when its owner lets the device go; the drop's wait
  // pumps them inside the destructor.
  StandIn.Deliver(Call, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID, 0, 0);
  StandIn.Deliver(StandIn.LastLine(), LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 1, 1);
  StandIn.Deliver(StandIn.LastLine(), LINE_MONITORDIGITS, '5', 0, 0);
  Destroying = true;
  TApdTapiDevice* Gone = Device;
  Device = nullptr;
  Gone->Free();
  Drain();
  std::string Names;
  for (const std::string& Name : Heard)
    Names += " " + Name;
  EXPECT_TRUE(Heard.empty()) << "handlers ran after the destructor began:" << Names;
  EXPECT_EQ(1, StandIn.CountOf("lineDrop")) << "the call is still dropped";
  EXPECT_FALSE(StandIn.CallExists(Call));
  EXPECT_EQ(1, StandIn.CountOf("lineShutdown"));
  EXPECT_TRUE(HandledErrors.empty());
}

TEST_F(AdTapiTest, RingsWithoutAnOfferedCallAreReportedButNeverAnswered) {
  AddModem(0, "Modem A");
  Create();
  std::vector<int> Rings;
  Device->OnTapiStatus = [&](TObject*, bool, bool, int, int Message, int Param1, int, int Param3) {
    if (Message == LINE_LINEDEVSTATE && Param1 == LINEDEVSTATE_RINGING)
      Rings.push_back(Param3);
  };
  Device->SetAnswerOnRing(2);
  Device->StartAnswering();
  // The rings of a call dropped before this open go on, and then stop.
  for (int Ring : {4, 5, 0}) {
    StandIn.Deliver(StandIn.LastLine(), LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 1, Ring);
    Drain();
  }
  EXPECT_EQ((std::vector<int>{4, 5, 0}), Rings);
  EXPECT_EQ(0, StandIn.CountOf("lineAnswer"));

  const HCALL Call = Offer(0, nullptr, nullptr);
  Drain();
  StandIn.Deliver(StandIn.LastLine(), LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 1, 2);
  Drain();
  ASSERT_EQ(1, StandIn.CountOf("lineAnswer"));
  EXPECT_EQ(Call, StandIn.CallsOf("lineAnswer")[0].Args[0]);
}

TEST_F(AdTapiTest, RingingAtAnswerOnRingAnswersAndConnectsThePort) {
  AddModem(0, "Modem A");
  // The modem behind the call: the far side of a pseudo-terminal.
  const int Master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(Master, 0);
  ASSERT_EQ(0, grantpt(Master));
  ASSERT_EQ(0, unlockpt(Master));
  const int Modem = open(ptsname(Master), O_RDWR | O_NOCTTY);
  ASSERT_GE(Modem, 0);
  StandIn.SetCommDevice(Modem, ptsname(Master));
  Create();
  int Connects = 0, Opens = 0, Closes = 0;
  Device->OnTapiConnect = [&](TObject*) { ++Connects; };
  Device->OnTapiPortOpen = [&](TObject*) { ++Opens; };
  Device->OnTapiPortClose = [&](TObject*) { ++Closes; };
  Device->StartAnswering();
  const HCALL Call = Offer(0, nullptr, nullptr);
  Drain();
  StandIn.Deliver(StandIn.LastLine(), LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 1, 1);
  Drain();
  EXPECT_EQ(0, StandIn.CountOf("lineAnswer"));
  StandIn.Deliver(StandIn.LastLine(), LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 1, 2);
  Drain();
  ASSERT_EQ(1, StandIn.CountOf("lineAnswer"));
  EXPECT_EQ(Call, StandIn.CallsOf("lineAnswer")[0].Args[0]);
  StandIn.Deliver(Call, LINE_CALLSTATE, LINECALLSTATE_CONNECTED, 0, 0);
  StandIn.Deliver(Call, LINE_CALLSTATE, LINECALLSTATE_CONNECTED, 0, 0); // once per call
  Drain();
  EXPECT_TRUE(Device->Connected());
  EXPECT_TRUE(Port->Open());
  EXPECT_GE(Port->DeviceHandle(), 0);
  EXPECT_EQ("Modem A", Port->DispatcherDeviceName());
  EXPECT_EQ(1, Connects);
  EXPECT_EQ(1, Opens);
  EXPECT_EQ(1, StandIn.CountOf("lineGetID"));
  EXPECT_FALSE(Device->Answering());

  StandIn.Deliver(Call, LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, 0);
  Drain();
  EXPECT_FALSE(Port->Open());
  EXPECT_EQ(-1, Port->TapiHandle());
  EXPECT_FALSE(Device->LineOpen());
  EXPECT_EQ(1, Closes);
  EXPECT_EQ(0, Fails) << "a connected call did not fail";
  const std::vector<TTapiLogCode> Codes = {ltapiCallStart, ltapiAccept, ltapiAnswer,
                                           ltapiConnect,   ltapiDrop,   ltapiCallFinish};
  EXPECT_EQ(Codes, Logged);
  StandIn.SetCommDevice(-1, "");
  close(Modem);
  close(Master);
}

// A modem that connects just as the call is being dropped: the CONNECTED state arrives while
// the hang-up waits for the line, and must not hand the modem to the port, which nobody would
// close again (every later open of the device would find it taken).
TEST_F(AdTapiTest, ConnectedArrivingWhileTheCallIsDroppedNeverOpensThePort) {
  AddModem(0, "Modem A");
  const int Master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(Master, 0);
  ASSERT_EQ(0, grantpt(Master));
  ASSERT_EQ(0, unlockpt(Master));
  const int Modem = open(ptsname(Master), O_RDWR | O_NOCTTY);
  ASSERT_GE(Modem, 0);
  StandIn.SetCommDevice(Modem, ptsname(Master));
  Create();
  int Opens = 0;
  Device->OnTapiPortOpen = [&](TObject*) { ++Opens; };
  Device->StartAnswering();
  const HCALL Call = StandIn.NewCall(StandIn.LastLine(), LINEMEDIAMODE_DATAMODEM);
  StandInCallInfo Info{LINECALLPARTYID_ADDRESS, "5551234", nullptr, 0};
  ASSERT_EQ(0, StandIn.SetCallInfo(Call, &Info));
  // The modem is slow to hang up: the drop's reply and the idle state come late (here: never,
  // the waits give up), while the CONNECTED state of the answer is already queued.
  StandIn.SetAutoReply("lineDrop", 0, 0);
  StandIn.AfterCall("lineDrop", STANDIN_THIS_CALL, LINE_CALLSTATE, LINECALLSTATE_CONNECTED, 0, 0);
  Device->SetWaitLimit(300);
  // The monitor's old way with a blocked caller: answer, then stop at once.
  Device->OnTapiCallerID = [&](TObject*, const std::string&, const std::string&) {
    EXPECT_GT(tuLineAnswer(Device->CallHandle(), nullptr, 0), 0);
    Device->StopCall();
  };
  StandIn.Deliver(Call, LINE_CALLSTATE, LINECALLSTATE_OFFERING, 0, 0);
  StandIn.Deliver(Call, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID, 0, 0);
  Drain();
  ASSERT_EQ(1, StandIn.CountOf("lineDrop"));
  EXPECT_EQ(0, StandIn.CountOf("lineGetID")) << "the dropped call's modem was asked for";
  EXPECT_EQ(0, Opens);
  EXPECT_FALSE(Port->Open()) << "the port holds the modem of a call that is over";
  EXPECT_EQ(-1, Port->TapiHandle());
  EXPECT_FALSE(Device->LineOpen());
  EXPECT_FALSE(Device->Connected());
  EXPECT_TRUE(HandledErrors.empty()) << HandledErrors.front();
  StandIn.SetCommDevice(-1, "");
  close(Modem);
  close(Master);
}

TEST_F(AdTapiTest, EverythingQueuedAtOnceRunsNestedInsideTheAcceptWait) {
  AddModem(0, "Modem A");
  Create();
  Device->SetAnswerOnRing(50);
  int Depth = 0, CallerIds = 0, Restarts = 0;
  Device->OnTapiCallerID = [&](TObject*, const std::string& ID, const std::string&) {
    ++CallerIds;
    EXPECT_EQ("777", ID);
    Device->StopCall();
    Device->StartAnswering();
    ++Restarts;
  };
  Device->OnTapiLog = [&](TObject*, TTapiLogCode Code) {
    Logged.push_back(Code);
    Depth += Code == ltapiAccept;
  };
  Device->StartAnswering();
  const HCALL Call = Offer(LINECALLPARTYID_ADDRESS, "777", nullptr);
  StandIn.Deliver(StandIn.LastLine(), LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 1, 1);
  StandIn.Deliver(Call, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID, 0, 0);
  ASSERT_TRUE(PumpUntil([&] { return Fails > 0; }));
  Drain();
  EXPECT_EQ(1, CallerIds);
  EXPECT_EQ(1, Restarts);
  EXPECT_EQ(1, Depth);
  EXPECT_EQ(1, StandIn.CountOf("lineDrop"));
  EXPECT_EQ(1, StandIn.CountOf("lineDeallocateCall"));
  EXPECT_TRUE(Device->LineOpen());
  EXPECT_EQ(0u, Device->CallHandle());
  // The caller ID ran inside the accept's reply wait: the accept is logged after the restart.
  const std::vector<TTapiLogCode> Codes = {ltapiCallStart,  ltapiCancel,   ltapiDrop,
                                           ltapiCallFinish, ltapiDialFail, ltapiCallStart,
                                           ltapiAccept};
  EXPECT_EQ(Codes, Logged);
  EXPECT_TRUE(HandledErrors.empty());
}

TEST_F(AdTapiTest, FailingStatusMessagesCloseTheNewLineAgain) {
  AddModem(0, "Modem A");
  Create();
  StandIn.QueueResult("lineSetStatusMessages", static_cast<LONG>(LINEERR_OPERATIONFAILED), 0);
  try {
    Device->StartAnswering();
    FAIL() << "expected the TAPI error";
  } catch (const ETapi& E) {
    EXPECT_EQ(-(13800 + 0x48), E.ErrorCode());
  }
  EXPECT_EQ(1, StandIn.CountOf("lineClose"));
  EXPECT_EQ(0u, StandIn.LastLine());
  EXPECT_FALSE(Device->LineOpen());
  Device->StartAnswering();
  EXPECT_TRUE(Device->LineOpen());
  EXPECT_NE(0u, StandIn.LastLine());
}

TEST_F(AdTapiTest, LinksToPortDisplayAndLogAndAssign) {
  AddModem(0, "Modem A");
  auto* Device1 = CreateComponent<TApdTapiDevice>(Owner.get());
  EXPECT_EQ(nullptr, Device1->ComPort());
  auto* Port1 = CreateComponent<TApdComPort>(Owner.get());
  EXPECT_EQ(Port1, Device1->ComPort()) << "a port that joins later is taken";
  EXPECT_EQ(tmOn, Port1->TapiMode());
  EXPECT_FALSE(Port1->AutoOpen());
  auto* Log1 = CreateComponent<TApdTapiLog>(Owner.get());
  EXPECT_EQ(Log1, Device1->TapiLog());
  EXPECT_EQ(Device1, Log1->TapiDevice());
  EXPECT_EQ("ORVOTAPI.HIS", Log1->TapiHistoryName());

  auto* Device2 = CreateComponent<TApdTapiDevice>(Owner.get());
  EXPECT_EQ(nullptr, Device2->TapiLog()) << "the log already has a device";
  EXPECT_EQ(2, Device2->AnswerOnRing());
  EXPECT_EQ(60, Device2->RetryWait());
  EXPECT_EQ(3, Device2->MaxAttempts());
  EXPECT_TRUE(Device2->ShowTapiDevices());
  EXPECT_TRUE(Device2->ShowPorts());
  EXPECT_FALSE(Device2->EnableVoice());
  EXPECT_TRUE(Device2->FilterUnsupportedDevices());
  EXPECT_EQ(-1, Device2->DeviceID());

  Device1->SetSelectedDevice("Modem A");
  Device1->SetAnswerOnRing(9);
  Device1->SetRetryWait(5);
  Device2->Assign(Device1);
  EXPECT_EQ("Modem A", Device2->SelectedDevice());
  EXPECT_EQ(9, Device2->AnswerOnRing());
  EXPECT_EQ(5, Device2->RetryWait());
  EXPECT_EQ(Port1, Device2->ComPort());
  EXPECT_EQ(Log1, Device2->TapiLog());
  EXPECT_TRUE(Device2->DeviceList().empty());
  EXPECT_EQ(1, Device2->ListedCount());
  Device2->SetSelectedDevice("");
  Chooser.Answer = {2, tmAuto, 0, ""};
  EXPECT_THROW(Device2->ResolveDeviceID(), ETapiNoSelect)
      << "a count without the list behind it takes no name";

  Log1->Free();
  EXPECT_EQ(nullptr, Device1->TapiLog());
  EXPECT_EQ(nullptr, Device2->TapiLog());
  Port1->Free();
  EXPECT_EQ(nullptr, Device1->ComPort());
  EXPECT_EQ(nullptr, Device2->ComPort());
}

TEST_F(AdTapiTest, OfferOfAnUnacceptedMediaModeIsIgnored) {
  AddModem(0, "Modem A");
  Create();
  Device->StartAnswering();
  Offer(0, nullptr, nullptr, LINEMEDIAMODE_INTERACTIVEVOICE);
  Drain();
  EXPECT_EQ(0, StandIn.CountOf("lineAccept"));
  EXPECT_EQ(0u, Device->CallHandle());
  EXPECT_FALSE(HasStatus(LINE_CALLSTATE));
  EXPECT_EQ(std::vector<TTapiLogCode>{ltapiCallStart}, Logged);
}

TEST_F(AdTapiTest, ReplyWaitIgnoresOtherRequestsAndTimesOut) {
  AddModem(0, "Modem A");
  Create();
  EXPECT_EQ(DefaultTapiWaitLimit, Device->WaitLimit());
  EXPECT_EQ(1, Device->WaitForReply(5)) << "no line: the wait ends at once";
  Device->StartAnswering();
  Device->SetWaitLimit(300);
  EXPECT_EQ(0, Device->WaitForReply(0));
  EXPECT_EQ(-7, Device->WaitForReply(-7)) << "synchronous results pass unchanged";

  StandIn.Reply(77, 0);
  EXPECT_EQ(2, Device->WaitForReply(5)) << "the reply for request 77 is not ours";
  StandIn.Reply(5, static_cast<LONG>(LINEERR_INVALCALLHANDLE));
  EXPECT_EQ(static_cast<LONG>(LINEERR_INVALCALLHANDLE), Device->WaitForReply(5));

  // An accept whose reply never comes: the offer handler gives up and goes on.
  StandIn.SetAutoReply("lineAccept", 0, 0);
  Offer(0, nullptr, nullptr);
  Drain();
  EXPECT_EQ(1, StandIn.CountOf("lineAccept"));
  EXPECT_EQ((std::vector<TTapiLogCode>{ltapiCallStart, ltapiAccept}), Logged);
  EXPECT_EQ(2, Device->WaitForCallState(LINECALLSTATE_CONNECTED));
}

TEST_F(AdTapiTest, CallerIdTextsForMarkersAndTwoCallInfoMessages) {
  AddModem(0, "Modem A");
  Create();
  std::vector<std::pair<std::string, std::string>> Seen;
  Device->OnTapiCallerID = [&](TObject*, const std::string& ID, const std::string& Name) {
    Seen.emplace_back(ID, Name);
  };
  Device->StartAnswering();
  const HCALL Call = Offer(LINECALLPARTYID_ADDRESS, " 5551234\t", nullptr);
  Drain();
  StandIn.Deliver(Call, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID, 0, 0);
  Drain();
  StandInCallInfo Both{LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME, "5551234", "  ANNA  ", 0};
  StandIn.SetCallInfo(Call, &Both);
  StandIn.Deliver(Call, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID, 0, 0);
  StandIn.Deliver(Call, LINE_CALLINFO, 0x1, 0, 0); // not caller ID: no event, a status step
  Drain();
  const std::vector<std::pair<std::string, std::string>> Expected = {{"5551234", ""},
                                                                     {"5551234", "ANNA"}};
  EXPECT_EQ(Expected, Seen);
  EXPECT_TRUE(HasStatus(LINE_CALLINFO));

  const struct {
    DWORD Flags;
    const char* Text;
  } Markers[] = {{LINECALLPARTYID_BLOCKED, "Caller ID Blocked"},
                 {LINECALLPARTYID_OUTOFAREA, "Out of Area Call"},
                 {LINECALLPARTYID_UNKNOWN, "Unknown"},
                 {LINECALLPARTYID_UNAVAIL, "Unavailable"},
                 {LINECALLPARTYID_BLOCKED | LINECALLPARTYID_UNAVAIL, "Caller ID Blocked"},
                 {LINECALLPARTYID_OUTOFAREA | LINECALLPARTYID_NAME, "Out of Area Call"}};
  for (const auto& Marker : Markers) {
    Seen.clear();
    StandInCallInfo Info{Marker.Flags, "999", "SOMEONE", 0};
    StandIn.SetCallInfo(Call, &Info);
    StandIn.Deliver(Call, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID, 0, 0);
    Drain();
    ASSERT_EQ(1u, Seen.size()) << Marker.Text;
    EXPECT_EQ(Marker.Text, Seen[0].first);
    EXPECT_EQ(Marker.Text, Seen[0].second);
  }
  // With the address present the number is read, whatever else the flags say.
  Seen.clear();
  StandInCallInfo Mixed{LINECALLPARTYID_ADDRESS | LINECALLPARTYID_BLOCKED, "4242", "X", 0};
  StandIn.SetCallInfo(Call, &Mixed);
  StandIn.Deliver(Call, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID, 0, 0);
  Drain();
  ASSERT_EQ(1u, Seen.size());
  EXPECT_EQ("4242", Seen[0].first);
  EXPECT_EQ("X", Seen[0].second);
}

TEST_F(AdTapiTest, FaultyRecordSizesReadAsEmptyText) {
  AddModem(0, "Modem A");
  Create();
  std::vector<std::string> Seen;
  Device->OnTapiCallerID = [&](TObject*, const std::string& ID, const std::string& Name) {
    Seen.push_back(ID + "|" + Name);
  };
  Device->StartAnswering();
  StandIn.SetPatch("lineGetCallInfo", offsetof(LINECALLINFO, dwCallerIDOffset), 0xFFFFFFF0u);
  StandIn.SetPatch("lineGetCallInfo", offsetof(LINECALLINFO, dwCallerIDNameSize), 0x7FFFFFFFu);
  const HCALL Call = Offer(LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME, "5551234", "ANNA");
  StandIn.Deliver(Call, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID, 0, 0);
  Drain();
  EXPECT_EQ(std::vector<std::string>{"|"}, Seen);
}

TEST_F(AdTapiTest, FailingCallInfoOnOfferGoesToTheExceptionHandler) {
  AddModem(0, "Modem A");
  Create();
  Device->StartAnswering();
  StandIn.SetResult("lineGetCallInfo", static_cast<LONG>(LINEERR_OPERATIONFAILED));
  Offer(0, nullptr, nullptr);
  Drain();
  ASSERT_EQ(1u, HandledErrors.size());
  EXPECT_EQ(MessageText(ecTapiUnexpected), HandledErrors[0]);
  EXPECT_EQ(0, StandIn.CountOf("lineAccept"));
  EXPECT_TRUE(Device->LineOpen()) << "the line state stays as it was";
}

// ---------------------------------------------------------------------------------------
// Reports

TEST_F(AdTapiTest, EndOfCallStepReachesTheDisplayButNotOnTapiStatus) {
  AddModem(0, "Modem A");
  auto* Display = CreateComponent<TRecordingDisplay>(Owner.get());
  Create(false);
  ASSERT_EQ(Display, Device->StatusDisplay()) << "the free display was found";
  EXPECT_EQ(Device, Display->TapiDevice());
  EXPECT_EQ("Call Progress", Display->Caption());
  Device->StartAnswering();
  EXPECT_TRUE(Display->Answering());
  Device->StopCall();
  Drain();
  ASSERT_FALSE(Display->Steps.empty());
  const TStep& End = Display->Steps.back();
  EXPECT_TRUE(End.Last);
  EXPECT_FALSE(End.First);
  EXPECT_EQ(0u, End.Device | End.Message | End.Param1 | End.Param2 | End.Param3);
  for (const TStep& Step : Statuses)
    EXPECT_FALSE(Step.Last && Step.Message == 0);
  EXPECT_TRUE(Statuses.empty());
  EXPECT_EQ(1, Fails);

  // Suppressed steps reach nobody; a destroyed display detaches itself.
  const size_t Before = Display->Steps.size();
  Device->SetStatusSuppressed(true);
  Device->DoStatus(false, false, 1, 2, 3, 4, 5);
  EXPECT_EQ(Before, Display->Steps.size());
  Display->Free();
  EXPECT_EQ(nullptr, Device->StatusDisplay());
  Device->SetStatusSuppressed(false);
  Device->DoStatus(false, false, 1, 2, 3, 4, 5);
  EXPECT_EQ(1u, Statuses.size());
}

TEST_F(AdTapiTest, StopCallWithoutAnOpenLine) {
  AddModem(0, "Modem A");
  Create();
  Device->StopCall();
  Drain();
  EXPECT_EQ(std::vector<TTapiLogCode>{ltapiCancel}, Logged) << "never opened: no report";
  EXPECT_EQ(0, Fails);

  Device->StartAnswering();
  Device->StopCall();
  Drain();
  EXPECT_EQ(1, Fails);
  Logged.clear();
  Device->StopCall(); // closed now, but a line was open once
  Drain();
  EXPECT_EQ((std::vector<TTapiLogCode>{ltapiCancel, ltapiCallFinish, ltapiDialFail}), Logged);
  EXPECT_EQ(2, Fails) << "the failure event is raised again";
  EXPECT_EQ(0u, Device->LineHandle());
}

TEST_F(AdTapiTest, HistoryFileIsCreatedThenAppended) {
  Create();
  const std::string Name = (Folder / "history.his").string();
  Log->SetTapiHistoryName(Name);
  ASSERT_FALSE(fs::exists(Name));
  Log->UpdateLog(ltapiCallStart);
  ASSERT_TRUE(fs::exists(Name));
  EXPECT_EQ(std::vector<std::string>{"call started"}, HistoryTexts(Name));
  Log->UpdateLog(ltapiNone);
  Log->UpdateLog(ltapiCallFinish);
  Log->UpdateLog(ltapiReceivedDigit);
  const std::vector<std::string> Lines = ReadLines(Name);
  ASSERT_EQ(4u, Lines.size());
  EXPECT_NE(std::string::npos, Lines[1].find(" : call finished"));
  EXPECT_EQ("", Lines[2]);
  EXPECT_EQ(Lines[0].find(" : "), Lines[3].find(" : ")) << "one date and time format";
  EXPECT_GT(Lines[0].find(" : "), 8u);

  Log->SetTapiHistoryName("");
  Log->UpdateLog(ltapiCallStart); // no file, nothing happens
  Log->SetTapiHistoryName((Folder / "missing" / "x.his").string());
  EXPECT_THROW(Log->UpdateLog(ltapiCallStart), EInOutError);

  EXPECT_EQ("  dialing 555", TapiLogText(ltapiDial, "555"));
  EXPECT_EQ("  busy", TapiLogText(ltapiBusy));
  EXPECT_EQ("  answering", TapiLogText(ltapiAnswer));
  EXPECT_EQ("  connected", TapiLogText(ltapiConnect));
}

TEST_F(AdTapiTest, DigitsAndWaveNotifications) {
  AddModem(0, "Modem A");
  Create();
  std::string Digits;
  std::vector<TWaveMessage> Waves;
  Device->OnTapiDTMF = [&](TObject*, char Digit, int Error) {
    Digits += Digit;
    EXPECT_EQ(0, Error);
  };
  Device->OnTapiWaveNotify = [&](TObject*, TWaveMessage Msg) { Waves.push_back(Msg); };
  Device->StartAnswering();
  for (DWORD Digit : {DWORD('5'), DWORD(0), DWORD(' '), DWORD('#')})
    StandIn.Deliver(StandIn.LastLine(), LINE_MONITORDIGITS, Digit, 0, 0);
  Drain();
  EXPECT_EQ("5#", Digits);
  EXPECT_EQ((std::vector<TTapiLogCode>{ltapiCallStart, ltapiReceivedDigit, ltapiReceivedDigit}),
            Logged);
  for (uint32_t Msg :
       {MM_WOM_OPEN, MM_WOM_DONE, MM_WOM_CLOSE, MM_WIM_OPEN, MM_WIM_DATA, MM_WIM_CLOSE})
    Platform::PostMessage(Device->EventWindow(), Msg, 0, 0);
  Drain();
  EXPECT_EQ((std::vector<TWaveMessage>{waPlayOpen, waPlayDone, waPlayClose, waRecordOpen,
                                       waDataReady, waRecordClose}),
            Waves);
  EXPECT_EQ(1, Platform::SendMessage(Device->EventWindow(), Platform::WM_QUERYENDSESSION, 0, 0));
}

TEST_F(AdTapiTest, ExceptionsOfWaveNotificationsGoToTheExceptionHandler) {
  AddModem(0, "Modem A");
  Create();
  std::vector<TWaveMessage> Waves;
  Device->OnTapiWaveNotify = [&](TObject*, TWaveMessage Msg) {
    Waves.push_back(Msg);
    throw std::runtime_error("wave handler failed");
  };
  Platform::PostMessage(Device->EventWindow(), MM_WOM_DONE, 0, 0);
  Platform::PostMessage(Device->EventWindow(), MM_WIM_DATA, 0, 0);
  try {
    Drain();
  } catch (const std::exception& E) {
    ADD_FAILURE() << "an exception left the event window: " << E.what();
  }
  Drain();
  EXPECT_EQ((std::vector<TWaveMessage>{waPlayDone, waDataReady}), Waves);
  EXPECT_EQ((std::vector<std::string>{"wave handler failed", "wave handler failed"}),
            HandledErrors);
  EXPECT_EQ(1, Platform::SendMessage(Device->EventWindow(), Platform::WM_QUERYENDSESSION, 0, 0))
      << "the window still works";
}

// ---------------------------------------------------------------------------------------
// Devices and their choice

TEST_F(AdTapiTest, StoredNameMatchingNoLineAsksAgain) {
  AddModem(0, "Modem A");
  AddModem(1, "Modem B");
  Create();
  EXPECT_EQ((std::vector<std::string>{"Modem A", "Modem B"}), Device->DeviceList());
  Device->SetSelectedDevice("Gone Modem");
  Chooser.Answer = {1, tmAuto, 0, "Modem B"};
  Device->StartAnswering();
  ASSERT_EQ(1u, Chooser.Requests.size());
  EXPECT_TRUE(Chooser.Requests[0].ShowTapiDevices);
  EXPECT_FALSE(Chooser.Requests[0].ShowPorts);
  EXPECT_EQ("Modem B", Device->SelectedDevice());
  EXPECT_EQ(1, Device->DeviceID());
  ASSERT_EQ(1, StandIn.CountOf("lineOpen"));
  EXPECT_EQ(1u, StandIn.CallsOf("lineOpen")[0].Args[1]);
  Device->StopCall();

  // Cancelled, or with neither list shown: no device selected.
  Device->SetSelectedDevice("Gone Again");
  Chooser.Answer = {2, tmAuto, 0, ""};
  try {
    Device->StartAnswering();
    FAIL() << "expected ETapiNoSelect";
  } catch (const ETapiNoSelect& E) {
    EXPECT_EQ(ecTapiNoSelect, E.ErrorCode());
  }
  EXPECT_EQ(2u, Chooser.Requests.size());
  Device->SetShowPorts(false);
  Device->SetShowTapiDevices(false);
  EXPECT_THROW(Device->ResolveDeviceID(), ETapiNoSelect);
  EXPECT_EQ(2u, Chooser.Requests.size()) << "no dialog without lists";
}

TEST_F(AdTapiTest, ChooseDeviceAndPortChecks) {
  AddModem(0, "Modem A");
  AddModem(1, "Modem B");
  Create();
  Device->SetSelectedDevice("Modem A");
  Chooser.Answer = {2, tmAuto, 0, "Modem B"};
  EXPECT_EQ(2, Device->ChooseDevice());
  EXPECT_EQ("Modem A", Device->SelectedDevice()) << "cancel changes nothing";
  ASSERT_EQ(1u, Chooser.Requests.size());
  EXPECT_EQ("Modem A", Chooser.Requests[0].SelectedDevice);
  EXPECT_EQ(tmOn, Chooser.Requests[0].TapiMode);
  Chooser.Answer = {1, tmAuto, 0, "Modem B"};
  EXPECT_EQ(1, Device->ChooseDevice());
  EXPECT_EQ("Modem B", Device->SelectedDevice());
  EXPECT_EQ(tmAuto, Port->TapiMode());

  Chooser.Answer = {1, tmOff, 3, ""};
  EXPECT_EQ(1, Device->ChooseDevice());
  EXPECT_EQ(tmOff, Port->TapiMode());
  EXPECT_EQ(3, Port->ComNumber());
  EXPECT_THROW(Device->StartAnswering(), ETapiNotSet);

  Port->SetTapiMode(tmAuto);
  Device->StartAnswering();
  EXPECT_EQ(tmOn, Port->TapiMode());
  Device->StopCall();

  Port->Free();
  EXPECT_EQ(nullptr, Device->ComPort());
  EXPECT_THROW(Device->StartAnswering(), EPortNotAssigned);
}

TEST_F(AdTapiTest, FilterUnsupportedDevicesToggles) {
  AddModem(0, "Modem A");
  AddModem(1, "Voice Line", LINEMEDIAMODE_INTERACTIVEVOICE);
  AddModem(2, "ISDN Line", LINEMEDIAMODE_DIGITALDATA);
  AddModem(3, "No Dial", LINEMEDIAMODE_DATAMODEM, 0);
  AddModem(4, "Modem E");
  Create();
  const std::vector<std::string> Filtered = {"Modem A", "Modem E"};
  const std::vector<std::string> All = {"Modem A", "Voice Line", "ISDN Line", "No Dial", "Modem E"};
  EXPECT_EQ(Filtered, Device->DeviceList());
  EXPECT_EQ(2, Device->ListedCount());
  const int Reads = StandIn.CountOf("lineGetDevCaps");
  Device->SetFilterUnsupportedDevices(true);
  EXPECT_EQ(Reads, StandIn.CountOf("lineGetDevCaps")) << "the same value does nothing";
  Device->SetFilterUnsupportedDevices(false);
  EXPECT_EQ(All, Device->DeviceList());
  EXPECT_EQ(5, Device->ListedCount());
  Device->SetFilterUnsupportedDevices(true);
  EXPECT_EQ(Filtered, Device->DeviceList());
  EXPECT_EQ(3, Device->FindDeviceID("No Dial")) << "the filter does not apply to the search";
  EXPECT_EQ(-1, Device->FindDeviceID("modem a")) << "names compare case-sensitively";

  // A capability read that fails ends the list; a refused version skips the line.
  StandIn.QueueResult("lineNegotiateAPIVersion", static_cast<LONG>(LINEERR_INCOMPATIBLEAPIVERSION),
                      0);
  Device->BuildDeviceList();
  EXPECT_EQ(std::vector<std::string>{"Modem E"}, Device->DeviceList());
  StandIn.SetPatch("lineGetDevCaps", offsetof(LINEDEVCAPS, dwLineNameOffset), 0xFFFFFF00u);
  Device->BuildDeviceList();
  EXPECT_TRUE(Device->DeviceList().empty()) << "a name outside the record reads as empty";
}

TEST_F(AdTapiTest, ModemConfigAndVoiceCheck) {
  AddModem(0, "Modem A");
  AddModem(1, "Voice Modem", LINEMEDIAMODE_DATAMODEM | LINEMEDIAMODE_AUTOMATEDVOICE);
  const char Config[] = "\x01\x02config";
  ASSERT_EQ(0, StandIn.SetDevConfig(0, Config, sizeof Config, STRINGFORMAT_BINARY));
  Create();
  Device->SetSelectedDevice("Modem A");
  const TapiConfigRec Rec = Device->ReadModemConfig();
  ASSERT_EQ(sizeof Config, Rec.DataSize);
  EXPECT_EQ(0, std::memcmp(Config, Rec.Data, sizeof Config));

  EXPECT_THROW(Device->SetEnableVoice(true), ETapiVoiceNotSupported);
  EXPECT_FALSE(Device->EnableVoice());
  Device->SetSelectedDevice("Voice Modem");
  Device->SetEnableVoice(true);
  EXPECT_TRUE(Device->EnableVoice());
  EXPECT_EQ(StandIn.CountOf("lineInitialize"), StandIn.CountOf("lineShutdown") + 1)
      << "every temporary registration was shut down";
}

// ---------------------------------------------------------------------------------------
// Registration

TEST_F(AdTapiTest, RegistrationBookkeepingInTheRegistry) {
  // A process that is gone, and one that still runs.
  const pid_t Gone = fork();
  if (Gone == 0)
    _exit(0);
  ASSERT_GT(Gone, 0);
  waitpid(Gone, nullptr, 0);
  const pid_t Running = getppid();
  char GoneName[16], RunningName[16], OwnName[16];
  std::snprintf(GoneName, sizeof GoneName, "$%08X", static_cast<unsigned>(Gone));
  std::snprintf(RunningName, sizeof RunningName, "$%08X", static_cast<unsigned>(Running));
  std::snprintf(OwnName, sizeof OwnName, "$%08X", static_cast<unsigned>(getpid()));
  Platform::TRegistryStore Store;
  Platform::TRegistryKey Key;
  ASSERT_EQ(0u, Store.OpenKey(TapiRegistryKey, true, Key));
  Key.WriteInteger(GoneName, 7);
  Key.WriteInteger(RunningName, 8);
  Key.WriteString("NotARegistration", "x");

  AddModem(0, "Modem A");
  Create();
  ASSERT_NE(0u, Device->LineApp());
  EXPECT_FALSE(Key.ValueExists(GoneName));
  EXPECT_EQ(std::optional<uint32_t>(8), Key.ReadInteger(RunningName));
  EXPECT_TRUE(Key.ValueExists("NotARegistration"));
  EXPECT_EQ(std::optional<uint32_t>(Device->LineApp()), Key.ReadInteger(OwnName));
  EXPECT_EQ(1, StandIn.CountOf("lineInitialize"));
  EXPECT_TRUE(Device->InitTapi());
  EXPECT_EQ(1, StandIn.CountOf("lineInitialize")) << "registered once";

  // A re-initialisation request ends the registration; answering starts a fresh one.
  const HLINEAPP Old = Device->LineApp();
  Device->StartAnswering();
  StandIn.Deliver(StandIn.LastLine(), LINE_LINEDEVSTATE, LINEDEVSTATE_REINIT, 0, 0);
  Drain();
  EXPECT_EQ(0u, Device->LineApp());
  EXPECT_FALSE(Device->LineOpen());
  EXPECT_FALSE(Key.ValueExists(OwnName));
  EXPECT_EQ(1, StandIn.CountOf("lineShutdown"));
  Device->StartAnswering();
  EXPECT_NE(0u, Device->LineApp());
  EXPECT_NE(Old, Device->LineApp());
  EXPECT_TRUE(Device->LineOpen());
  EXPECT_EQ(2, StandIn.CountOf("lineInitialize"));
  EXPECT_TRUE(HandledErrors.empty());
}

TEST_F(AdTapiTest, RegistrationFailuresEndTheAttempt) {
  AddModem(0, "Modem A");
  StandIn.SetResult("lineInitialize", static_cast<LONG>(LINEERR_NODRIVER));
  Create();
  EXPECT_EQ(0u, Device->LineApp());
  // Construction registers, then the device list tries once more: one call each.
  EXPECT_EQ(2, StandIn.CountOf("lineInitialize")) << "no retry";
  EXPECT_TRUE(Device->DeviceList().empty());
  EXPECT_FALSE(Device->InitTapi());
  EXPECT_EQ(3, StandIn.CountOf("lineInitialize"));
  EXPECT_THROW(Device->StartAnswering(), ETapi) << "without a registration no line opens";
  StandIn.SetResult("lineInitialize", 0);
  StandIn.ClearCalls();

  // A re-initialisation is retried once after the pause; twice ends the attempt.
  Device->SetReinitPause(50);
  StandIn.QueueResult("lineInitialize", static_cast<LONG>(LINEERR_REINIT), 0);
  StandIn.QueueResult("lineInitialize", static_cast<LONG>(LINEERR_REINIT), 0);
  EXPECT_FALSE(Device->InitTapi());
  EXPECT_EQ(2, StandIn.CountOf("lineInitialize"));
  StandIn.QueueResult("lineInitialize", static_cast<LONG>(LINEERR_REINIT), 0);
  EXPECT_TRUE(Device->InitTapi());
  EXPECT_EQ(4, StandIn.CountOf("lineInitialize"));
  Device->BuildDeviceList();
  EXPECT_EQ(std::vector<std::string>{"Modem A"}, Device->DeviceList());
}

TEST_F(AdTapiTest, LineCreateAddsTheNewDevice) {
  AddModem(0, "Modem A");
  Create();
  AddModem(1, "Modem B");
  StandIn.Deliver(0, LINE_CREATE, 1, 0, 0);
  Drain();
  EXPECT_EQ(2u, Device->DeviceCount());
  EXPECT_EQ((std::vector<std::string>{"Modem A", "Modem B"}), Device->DeviceList());
}

TEST_F(AdTapiTest, MessagesForADestroyedDeviceAreNotDelivered) {
  AddModem(0, "Modem A");
  Create();
  Device->StartAnswering();
  const HLINEAPP App = StandIn.LastApp();
  const DWORD_PTR Instance = reinterpret_cast<DWORD_PTR>(Device);
  TApdTapiDevice* Gone = Device;
  Device = nullptr;
  Gone->Free();
  // A registration of the test's own, carrying the freed component's address.
  HLINEAPP Other = 0;
  DWORD Count = 0;
  ASSERT_EQ(
      0, tuLineInitialize(&Other, nullptr, &TApdCustomTapiDevice::TapiLineCallback, "x", &Count));
  EXPECT_NE(App, Other);
  StandIn.DeliverTo(Other, 0, LINE_LINEDEVSTATE, Instance, LINEDEVSTATE_RINGING, 0, 5);
  Drain();
  EXPECT_TRUE(HandledErrors.empty());
  tuLineShutdown(Other);
}

} // namespace
