// The loader, the wrappers and the record growing, against the scripted stand-in library
// loaded through the real search path (RINGLET_LIBRARY_PATH) and dlopen.
#include "tapi/AdTUtil.h"

#include "common/AdExcept.h"
#include "platform/Messages.h"
#include "telephony/TapiNames.h"
#include "tests/tapi/fixtures/StandIn.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace {

struct TReceived {
  DWORD Device;
  DWORD Message;
  DWORD_PTR Instance, Param1, Param2, Param3;
};
std::vector<TReceived> Received;

void Callback(DWORD Device, DWORD Message, DWORD_PTR Instance, DWORD_PTR Param1, DWORD_PTR Param2,
              DWORD_PTR Param3) {
  Received.push_back({Device, Message, Instance, Param1, Param2, Param3});
}

// Pumps the calling thread until Count messages reached the callback (generous upper bound).
bool PumpUntil(size_t Count) {
  for (int Round = 0; Round < 1000 && Received.size() < Count; ++Round) {
    Platform::TMessage Message;
    while (Platform::PeekMessage(Message, true))
      Platform::DispatchMessage(Message);
    if (Received.size() < Count)
      Platform::WaitMessage(10);
  }
  return Received.size() >= Count;
}

void UseFolder(const std::string& Folder) {
  setenv("RINGLET_LIBRARY_PATH", Folder.c_str(), 1);
}

// A folder that holds no library, so only the (empty) system search remains.
std::string EmptyFolder() {
  const auto Path = std::filesystem::temp_directory_path() / "ringlet-tutil-empty";
  std::filesystem::create_directories(Path);
  return Path.string();
}

class TapiTest : public ::testing::Test {
protected:
  void SetUp() override {
    UnloadTapi();
    Received.clear();
    UseFolder(StandInFolder());
  }

  void TearDown() override {
    if (TapiLoaded() && StandIn.Reset != nullptr)
      StandIn.Reset();
    StandIn = TStandIn();
    UnloadTapi();
    Platform::TMessage Message;
    while (Platform::PeekMessage(Message, true)) {
    }
  }

  // Loads the stand-in, binds its control functions, and registers with one device.
  void Start() {
    ASSERT_TRUE(LoadTapi());
    ASSERT_TRUE(StandIn.Bind(TapiLibraryHandle()));
    StandIn.Reset();
    ASSERT_EQ(0,
              StandIn.SetDevCaps(0, "Modem A", LINEMEDIAMODE_DATAMODEM, LINEFEATURE_MAKECALL, 0));
    DWORD NumDevs = 0;
    ASSERT_EQ(0, tuLineInitialize(&App, nullptr, Callback, "Ringlet", &NumDevs));
    ASSERT_EQ(1u, NumDevs);
  }

  std::vector<DWORD> RecordSizes(const char* Function) const {
    std::vector<DWORD> Sizes;
    for (const StandInCall& Call : StandIn.CallsOf(Function))
      Sizes.push_back(Call.RecordSize);
    return Sizes;
  }

  TStandIn StandIn;
  HLINEAPP App = 0;
};

// Every loading wrapper, called with harmless arguments; the results in table order.
std::vector<LONG> CallEveryLoadingWrapper() {
  HLINEAPP App = 0;
  DWORD Count = 0, Version = 0;
  HLINE Line = 0;
  HCALL Call = 0;
  LINEEXTENSIONID Extension{};
  VARSTRING Buffer{};
  Buffer.dwTotalSize = sizeof Buffer;
  DWORD Operation = RINGLET_DEVSPECIFIC_REJECT;
  return {
      tuLineInitialize(&App, nullptr, Callback, "Ringlet", &Count),
      tuLineShutdown(App),
      tuLineNegotiateAPIVersion(App, 0, TAPI_VERSION_1_4, TAPI_VERSION_1_4, &Version, &Extension),
      tuLineOpen(App, 0, &Line, TAPI_VERSION_1_4, 0, 0, LINECALLPRIVILEGE_NONE,
                 LINEMEDIAMODE_DATAMODEM, nullptr),
      tuLineMakeCall(Line, &Call, "123", 0, nullptr),
      tuLineAccept(Call, nullptr, 0),
      tuLineAnswer(Call, nullptr, 0),
      tuLineDeallocateCall(Call),
      tuLineDrop(Call, nullptr, 0),
      tuLineClose(Line),
      tuLineGetID(Line, 0, Call, LINECALLSELECT_LINE, &Buffer, "comm"),
      tuLineSetStatusMessages(Line, LINEDEVSTATE_ALL, LINEADDRESSSTATE_ALL),
      tuLineGetDevConfig(0, &Buffer, "comm/datamodem"),
      tuLineMonitorDigits(Call, LINEDIGITMODE_DTMF),
      tuLineDevSpecific(Line, 0, Call, &Operation, sizeof Operation)};
}

// ---- The loader ---------------------------------------------------------------------------

TEST_F(TapiTest, WithoutLibraryEveryWrapperFailsAndNothingIsCached) {
  UseFolder(EmptyFolder());
  for (int Attempt = 0; Attempt < 2; ++Attempt) {
    const std::vector<LONG> Results = CallEveryLoadingWrapper();
    ASSERT_EQ(15u, Results.size());
    for (LONG Result : Results)
      EXPECT_EQ(ecTapiLoadFail, Result);
    EXPECT_FALSE(TapiLoaded());
    EXPECT_EQ(nullptr, TapiLibraryHandle());
    for (int I = 0; I < TapiEntryPointCount; ++I)
      EXPECT_EQ(nullptr, TapiEntryPointAddress(static_cast<TTapiEntryPoint>(I)));
  }
  // The library turns up: the very next call loads it.
  UseFolder(StandInFolder());
  DWORD NumDevs = 99;
  EXPECT_EQ(0, tuLineInitialize(&App, nullptr, Callback, "Ringlet", &NumDevs));
  EXPECT_TRUE(TapiLoaded());
  EXPECT_EQ(0u, NumDevs);
  EXPECT_EQ(0, tuLineShutdown(App));
}

TEST_F(TapiTest, TableHoldsEveryNameInOrderAndLoadsOnce) {
  ASSERT_TRUE(LoadTapi());
  Platform::TLibraryHandle First = TapiLibraryHandle();
  ASSERT_NE(nullptr, First);
  // The enumeration and the list of names agree at both ends and in between.
  for (const auto& [Entry, Name] :
       {std::pair{tepLineGenerateTone, "lineGenerateTone"},
        std::pair{tepLineInitialize, "lineInitialize"}, std::pair{tepLineOpen, "lineOpen"},
        std::pair{tepLineGetCallInfo, "lineGetCallInfo"},
        std::pair{tepLineDevSpecific, "lineDevSpecific"}})
    EXPECT_STREQ(Name, TapiEntryPointName(Entry)) << Entry;
  for (int I = 0; I < TapiEntryPointCount; ++I) {
    const auto Entry = static_cast<TTapiEntryPoint>(I);
    EXPECT_STREQ(TapiFunctionNames[I], TapiEntryPointName(Entry)) << I;
    void* Expected = Platform::GetProcAddress(First, TapiFunctionNames[I]);
    ASSERT_NE(nullptr, Expected) << TapiFunctionNames[I];
    EXPECT_EQ(Expected, TapiEntryPointAddress(Entry)) << TapiFunctionNames[I];
  }
  // Loaded once: later calls keep the same handle, even when the search path changes.
  UseFolder(EmptyFolder());
  EXPECT_TRUE(LoadTapi());
  EXPECT_EQ(First, TapiLibraryHandle());
  EXPECT_STREQ("", TapiEntryPointName(static_cast<TTapiEntryPoint>(TapiEntryPointCount)));
}

TEST_F(TapiTest, UnloadEmptiesTheTableAndTheNextCallLoadsAgain) {
  Start();
  EXPECT_EQ(0, tuLineShutdown(App));
  UnloadTapi();
  EXPECT_FALSE(TapiLoaded());
  for (int I = 0; I < TapiEntryPointCount; ++I)
    EXPECT_EQ(nullptr, TapiEntryPointAddress(static_cast<TTapiEntryPoint>(I)));
  UnloadTapi(); // a second unload is harmless
  DWORD NumDevs = 0;
  EXPECT_EQ(0, tuLineInitialize(&App, nullptr, Callback, "Ringlet", &NumDevs));
  EXPECT_TRUE(TapiLoaded());
  ASSERT_TRUE(StandIn.Bind(TapiLibraryHandle()));
  // A fresh copy of the library: the earlier registration and its record are gone.
  EXPECT_EQ(1, StandIn.CountOf("lineInitialize"));
  EXPECT_EQ(0, tuLineShutdown(App));
}

// Exit handlers run last-registered first: one registered before the library is loaded runs
// after the loader's own and sees whether that unloaded the library.
void ExitWithLoadState() {
  std::_Exit(TapiLoaded() ? 1 : 7);
}

TEST(TapiExitDeathTest, LibraryIsUnloadedAtProgramEnd) {
  // A fresh process: the hook is registered once per process, at the first load.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  UnloadTapi();
  UseFolder(StandInFolder());
  EXPECT_EXIT(
      {
        std::atexit(ExitWithLoadState);
        if (!LoadTapi())
          std::_Exit(2);
        std::exit(0);
      },
      ::testing::ExitedWithCode(7), "");
}

TEST_F(TapiTest, MissingFunctionFailsAloneTheOthersWork) {
  UseFolder(StandInPartialFolder());
  ASSERT_TRUE(LoadTapi());
  EXPECT_EQ(nullptr, TapiEntryPointAddress(tepLineMonitorDigits));
  EXPECT_EQ(nullptr, TapiEntryPointAddress(tepLineDevSpecific));
  for (int I = 0; I < TapiEntryPointCount; ++I) {
    if (I != tepLineMonitorDigits && I != tepLineDevSpecific) {
      EXPECT_NE(nullptr, TapiEntryPointAddress(static_cast<TTapiEntryPoint>(I))) << I;
    }
  }
  ASSERT_TRUE(StandIn.Bind(TapiLibraryHandle()));
  StandIn.Reset();
  ASSERT_EQ(0, StandIn.SetDevCaps(0, "Modem A", LINEMEDIAMODE_DATAMODEM, 0, 0));
  DWORD NumDevs = 0;
  ASSERT_EQ(0, tuLineInitialize(&App, nullptr, Callback, "Ringlet", &NumDevs));
  HLINE Line = 0;
  ASSERT_EQ(0, tuLineOpen(App, 0, &Line, TAPI_VERSION_1_4, 0, 7, LINECALLPRIVILEGE_OWNER,
                          LINEMEDIAMODE_DATAMODEM, nullptr));
  const HCALL Call = StandIn.NewCall(Line, LINEMEDIAMODE_DATAMODEM);
  ASSERT_NE(0u, Call);
  EXPECT_EQ(ecTapiGetAddrFail, tuLineMonitorDigits(Call, LINEDIGITMODE_DTMF));
  DWORD Operation = RINGLET_DEVSPECIFIC_REJECT;
  EXPECT_EQ(ecTapiGetAddrFail, tuLineDevSpecific(Line, 0, Call, &Operation, sizeof Operation));
  EXPECT_EQ(0, tuLineDeallocateCall(Call));
  EXPECT_EQ(0, tuLineClose(Line));
  EXPECT_EQ(0, tuLineShutdown(App));
}

// ---- The loading wrappers -----------------------------------------------------------------

TEST_F(TapiTest, WrappersPassArgumentsAndResultsUnchanged) {
  Start();
  HLINE Line = 0;
  const DWORD_PTR Instance = reinterpret_cast<DWORD_PTR>(this);
  ASSERT_EQ(0, tuLineOpen(App, 0, &Line, TAPI_VERSION_1_4, 0, Instance, LINECALLPRIVILEGE_OWNER,
                          LINEMEDIAMODE_DATAMODEM, nullptr));
  const std::vector<StandInCall> Opens = StandIn.CallsOf("lineOpen");
  ASSERT_EQ(1u, Opens.size());
  EXPECT_EQ(App, Opens[0].Args[0]);
  EXPECT_EQ(0u, Opens[0].Args[1]);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(&Line), Opens[0].Args[2]);
  EXPECT_EQ(uint64_t{TAPI_VERSION_1_4}, Opens[0].Args[3]);
  EXPECT_EQ(uint64_t{Instance}, Opens[0].Args[5]);
  EXPECT_EQ(uint64_t{LINECALLPRIVILEGE_OWNER}, Opens[0].Args[6]);
  EXPECT_EQ(uint64_t{LINEMEDIAMODE_DATAMODEM}, Opens[0].Args[7]);

  EXPECT_EQ(0, tuLineSetStatusMessages(Line, 0x01FFFFFF, 0x1FF));
  const StandInCall Status = StandIn.CallsOf("lineSetStatusMessages").at(0);
  EXPECT_EQ(uint64_t{Line}, Status.Args[0]);
  EXPECT_EQ(0x01FFFFFFu, Status.Args[1]);
  EXPECT_EQ(0x1FFu, Status.Args[2]);

  // LINEERR values come back as they are, never turned into codes here.
  StandIn.SetResult("lineOpen", static_cast<LONG>(LINEERR_INUSE));
  HLINE Second = 0;
  EXPECT_EQ(static_cast<LONG>(LINEERR_INUSE),
            tuLineOpen(App, 0, &Second, TAPI_VERSION_1_4, 0, 0, LINECALLPRIVILEGE_OWNER,
                       LINEMEDIAMODE_DATAMODEM, nullptr));
  StandIn.SetResult("lineClose", static_cast<LONG>(LINEERR_OPERATIONFAILED));
  EXPECT_EQ(static_cast<LONG>(LINEERR_OPERATIONFAILED), tuLineClose(Line));
  StandIn.SetResult("lineClose", 0);
  EXPECT_EQ(0, tuLineClose(Line));
  EXPECT_EQ(static_cast<LONG>(LINEERR_INVALLINEHANDLE), tuLineClose(Line));
  EXPECT_EQ(0, tuLineShutdown(App));
}

TEST_F(TapiTest, PositiveRequestIdsComeBackUnchanged) {
  Start();
  HLINE Line = 0;
  ASSERT_EQ(0, tuLineOpen(App, 0, &Line, TAPI_VERSION_1_4, 0, 42, LINECALLPRIVILEGE_OWNER,
                          LINEMEDIAMODE_DATAMODEM, nullptr));
  const HCALL Call = StandIn.NewCall(Line, LINEMEDIAMODE_DATAMODEM);
  StandIn.SetNextRequestId(0x7FFFFFF0);
  EXPECT_EQ(0x7FFFFFF0, tuLineAccept(Call, nullptr, 0));
  EXPECT_EQ(0x7FFFFFF1, tuLineAnswer(Call, nullptr, 0));
  EXPECT_EQ(0x7FFFFFF2, tuLineDrop(Call, nullptr, 0));
  HCALL Outgoing = 0;
  EXPECT_EQ(0x7FFFFFF3, tuLineMakeCall(Line, &Outgoing, "5551234", 0, nullptr));
  EXPECT_NE(0u, Outgoing);
  DWORD Operation = RINGLET_DEVSPECIFIC_REJECT;
  EXPECT_EQ(0x7FFFFFF4, tuLineDevSpecific(Line, 0, Call, &Operation, sizeof Operation));
  const StandInCall Reject = StandIn.CallsOf("lineDevSpecific").at(0);
  EXPECT_EQ(uint64_t{Line}, Reject.Args[0]);
  EXPECT_EQ(uint64_t{Call}, Reject.Args[2]);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(&Operation), Reject.Args[3]);
  EXPECT_EQ(uint64_t{RINGLET_DEVSPECIFIC_REJECT}, Reject.Args[5]);
  StandIn.SetResult("lineAnswer", 12345);
  EXPECT_EQ(12345, tuLineAnswer(Call, nullptr, 0));

  // The replies arrive through the message queue, with the line's instance.
  ASSERT_TRUE(PumpUntil(5));
  ASSERT_EQ(5u, Received.size());
  for (size_t I = 0; I < 5; ++I) {
    EXPECT_EQ(static_cast<DWORD>(LINE_REPLY), Received[I].Message);
    EXPECT_EQ(42u, Received[I].Instance);
    EXPECT_EQ(0x7FFFFFF0u + I, Received[I].Param1);
    EXPECT_EQ(0u, Received[I].Param2);
  }
  EXPECT_EQ(0, tuLineShutdown(App));
}

// ---- The sizing wrappers ------------------------------------------------------------------

TEST_F(TapiTest, DevCapsNeedingMoreAreReadAgainOnceAtTheNeededSize) {
  Start();
  ASSERT_EQ(0,
            StandIn.SetDevCaps(0, "Modem A", LINEMEDIAMODE_DATAMODEM, LINEFEATURE_MAKECALL, 300));
  TTapiRecord<LINEDEVCAPS> Caps;
  EXPECT_EQ(0, tuLineGetDevCaps(App, 0, TAPI_VERSION_1_4, 0, Caps));
  ASSERT_TRUE(Caps);
  EXPECT_EQ(std::vector<DWORD>({240, 300}), RecordSizes("lineGetDevCaps"));
  EXPECT_EQ(300u, Caps.AllocatedSize());
  EXPECT_EQ(300u, Caps->dwTotalSize);
  EXPECT_EQ(300u, Caps->dwNeededSize);
  EXPECT_EQ("Modem A",
            TapiRecordText(Caps, &LINEDEVCAPS::dwLineNameSize, &LINEDEVCAPS::dwLineNameOffset));
  EXPECT_EQ(LINEFEATURE_MAKECALL, Caps->dwLineFeatures);
  EXPECT_EQ(LINEMEDIAMODE_DATAMODEM, Caps->dwMediaModes);
}

TEST_F(TapiTest, TooSmallFirstTryGrowsTo1024AndStopsWhenThatFits) {
  Start();
  StandIn.QueueResult("lineGetDevCaps", static_cast<LONG>(LINEERR_STRUCTURETOOSMALL), 0);
  TTapiRecord<LINEDEVCAPS> Caps;
  EXPECT_EQ(0, tuLineGetDevCaps(App, 0, TAPI_VERSION_1_4, 0, Caps));
  ASSERT_TRUE(Caps);
  EXPECT_EQ(std::vector<DWORD>({240, 1024}), RecordSizes("lineGetDevCaps"));
  EXPECT_EQ(1024u, Caps.AllocatedSize());
  EXPECT_EQ("Modem A",
            TapiRecordText(Caps, &LINEDEVCAPS::dwLineNameSize, &LINEDEVCAPS::dwLineNameOffset));
}

TEST_F(TapiTest, FailureAfterGrowingHandsOutNothing) {
  Start();
  // Growing to the needed size, then failing.
  ASSERT_EQ(0, StandIn.SetDevCaps(0, "Modem A", LINEMEDIAMODE_DATAMODEM, 0, 300));
  StandIn.QueueResult("lineGetDevCaps", 0, 0);
  StandIn.QueueResult("lineGetDevCaps", static_cast<LONG>(LINEERR_OPERATIONFAILED), 0);
  TTapiRecord<LINEDEVCAPS> Caps = TTapiRecord<LINEDEVCAPS>::Allocate(400);
  ASSERT_TRUE(Caps);
  EXPECT_EQ(static_cast<LONG>(LINEERR_OPERATIONFAILED),
            tuLineGetDevCaps(App, 0, TAPI_VERSION_1_4, 0, Caps));
  EXPECT_FALSE(Caps); // whatever it held before is released, nothing new handed out
  EXPECT_EQ(std::vector<DWORD>({240, 300}), RecordSizes("lineGetDevCaps"));

  // Growing to 1024 after "too small", then failing.
  StandIn.ClearCalls();
  StandIn.QueueResult("lineGetDevCaps", static_cast<LONG>(LINEERR_STRUCTURETOOSMALL), 0);
  StandIn.QueueResult("lineGetDevCaps", static_cast<LONG>(LINEERR_NOMEM), 0);
  EXPECT_EQ(static_cast<LONG>(LINEERR_NOMEM), tuLineGetDevCaps(App, 0, TAPI_VERSION_1_4, 0, Caps));
  EXPECT_FALSE(Caps);
  EXPECT_EQ(std::vector<DWORD>({240, 1024}), RecordSizes("lineGetDevCaps"));
}

TEST_F(TapiTest, FirstFailureWithoutNeededSizeReturnsTheBlock) {
  Start();
  StandIn.QueueResult("lineGetDevCaps", static_cast<LONG>(LINEERR_BADDEVICEID), 0);
  TTapiRecord<LINEDEVCAPS> Caps;
  EXPECT_EQ(static_cast<LONG>(LINEERR_BADDEVICEID),
            tuLineGetDevCaps(App, 0, TAPI_VERSION_1_4, 0, Caps));
  ASSERT_TRUE(Caps);
  EXPECT_EQ(240u, Caps.AllocatedSize());
  EXPECT_EQ(240u, Caps->dwTotalSize);
  EXPECT_EQ(0u, Caps->dwNeededSize);
  EXPECT_EQ(1, StandIn.CountOf("lineGetDevCaps"));

  // The natural error of an unknown device behaves the same.
  EXPECT_EQ(static_cast<LONG>(LINEERR_BADDEVICEID),
            tuLineGetDevCaps(App, 5, TAPI_VERSION_1_4, 0, Caps));
  EXPECT_TRUE(Caps);
}

TEST_F(TapiTest, FirstFailureWithNeededSizeStillGrowsOnce) {
  Start();
  StandIn.QueueResult("lineGetDevCaps", static_cast<LONG>(LINEERR_OPERATIONFAILED), 500);
  TTapiRecord<LINEDEVCAPS> Caps;
  EXPECT_EQ(0, tuLineGetDevCaps(App, 0, TAPI_VERSION_1_4, 0, Caps));
  ASSERT_TRUE(Caps);
  EXPECT_EQ(std::vector<DWORD>({240, 500}), RecordSizes("lineGetDevCaps"));
  EXPECT_EQ(500u, Caps.AllocatedSize());
}

TEST_F(TapiTest, NeedsGrowingBetweenCallsGetNoFourthAttempt) {
  Start();
  StandIn.QueueResult("lineGetDevCaps", static_cast<LONG>(LINEERR_STRUCTURETOOSMALL), 0);
  StandIn.QueueResult("lineGetDevCaps", 0, 2000);
  StandIn.QueueResult("lineGetDevCaps", 0, 2100);
  TTapiRecord<LINEDEVCAPS> Caps;
  EXPECT_EQ(0, tuLineGetDevCaps(App, 0, TAPI_VERSION_1_4, 0, Caps));
  ASSERT_TRUE(Caps);
  EXPECT_EQ(std::vector<DWORD>({240, 1024, 2000}), RecordSizes("lineGetDevCaps"));
  EXPECT_EQ(2000u, Caps->dwTotalSize);
  EXPECT_EQ(2100u, Caps->dwNeededSize);
  // Filled as the library could: fixed part only, no name.
  EXPECT_EQ("", TapiRecordText(Caps, &LINEDEVCAPS::dwLineNameSize, &LINEDEVCAPS::dwLineNameOffset));
}

TEST_F(TapiTest, AbsurdNeededSizeIsRefusedWithoutAllocating) {
  Start();
  StandIn.QueueResult("lineGetDevCaps", 0, 0xFFFFFF00u);
  TTapiRecord<LINEDEVCAPS> Caps;
  EXPECT_EQ(static_cast<LONG>(LINEERR_NOMEM), tuLineGetDevCaps(App, 0, TAPI_VERSION_1_4, 0, Caps));
  EXPECT_FALSE(Caps);
  EXPECT_EQ(1, StandIn.CountOf("lineGetDevCaps"));
}

TEST_F(TapiTest, CallInfoAndCallStatusFollowTheSameProtocol) {
  Start();
  HLINE Line = 0;
  ASSERT_EQ(0, tuLineOpen(App, 0, &Line, TAPI_VERSION_1_4, 0, 0, LINECALLPRIVILEGE_OWNER,
                          LINEMEDIAMODE_DATAMODEM, nullptr));
  const HCALL Call = StandIn.NewCall(Line, LINEMEDIAMODE_DATAMODEM);
  const StandInCallInfo Info{LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME, "5551234", "JOHN DOE",
                             0};
  ASSERT_EQ(0, StandIn.SetCallInfo(Call, &Info));

  // The caller-id texts do not fit 296 bytes: one more read at exactly the needed size.
  TTapiRecord<LINECALLINFO> Record;
  EXPECT_EQ(0, tuLineGetCallInfo(Call, Record));
  ASSERT_TRUE(Record);
  const DWORD Needed = 296 + 8 + 9;
  EXPECT_EQ(std::vector<DWORD>({296, Needed}), RecordSizes("lineGetCallInfo"));
  EXPECT_EQ("5551234",
            TapiRecordText(Record, &LINECALLINFO::dwCallerIDSize, &LINECALLINFO::dwCallerIDOffset));
  EXPECT_EQ("JOHN DOE", TapiRecordText(Record, &LINECALLINFO::dwCallerIDNameSize,
                                       &LINECALLINFO::dwCallerIDNameOffset));
  EXPECT_EQ(DWORD{LINECALLPARTYID_ADDRESS | LINECALLPARTYID_NAME}, Record->dwCallerIDFlags);

  StandIn.QueueResult("lineGetCallInfo", static_cast<LONG>(LINEERR_STRUCTURETOOSMALL), 0);
  EXPECT_EQ(0, tuLineGetCallInfo(Call, Record));
  EXPECT_EQ(1024u, Record.AllocatedSize());
  EXPECT_EQ(std::vector<DWORD>({296, Needed, 296, 1024}), RecordSizes("lineGetCallInfo"));

  // Call status fits its 36 bytes at once.
  ASSERT_EQ(0, StandIn.SetCallState(Call, LINECALLSTATE_CONNECTED, 0));
  TTapiRecord<LINECALLSTATUS> Status;
  EXPECT_EQ(0, tuLineGetCallStatus(Call, Status));
  ASSERT_TRUE(Status);
  EXPECT_EQ(std::vector<DWORD>({36}), RecordSizes("lineGetCallStatus"));
  EXPECT_EQ(DWORD{LINECALLSTATE_CONNECTED}, Status->dwCallState);

  StandIn.QueueResult("lineGetCallStatus", static_cast<LONG>(LINEERR_STRUCTURETOOSMALL), 0);
  StandIn.QueueResult("lineGetCallStatus", static_cast<LONG>(LINEERR_INVALCALLHANDLE), 0);
  EXPECT_EQ(static_cast<LONG>(LINEERR_INVALCALLHANDLE), tuLineGetCallStatus(Call, Status));
  EXPECT_FALSE(Status);
  EXPECT_EQ(std::vector<DWORD>({36, 36, 1024}), RecordSizes("lineGetCallStatus"));

  // A call that is gone: the natural error with the untouched block.
  EXPECT_EQ(0, tuLineDeallocateCall(Call));
  EXPECT_EQ(static_cast<LONG>(LINEERR_INVALCALLHANDLE), tuLineGetCallStatus(Call, Status));
  EXPECT_TRUE(Status);
  EXPECT_EQ(0, tuLineShutdown(App));
}

TEST_F(TapiTest, SizingWrappersDoNotLoadTheLibrary) {
  TTapiRecord<LINEDEVCAPS> Caps = TTapiRecord<LINEDEVCAPS>::Allocate(240);
  TTapiRecord<LINECALLINFO> Info;
  TTapiRecord<LINECALLSTATUS> Status;
  EXPECT_EQ(ecTapiLoadFail, tuLineGetDevCaps(1, 0, TAPI_VERSION_1_4, 0, Caps));
  EXPECT_EQ(ecTapiLoadFail, tuLineGetCallInfo(1, Info));
  EXPECT_EQ(ecTapiLoadFail, tuLineGetCallStatus(1, Status));
  EXPECT_FALSE(Caps);
  EXPECT_FALSE(TapiLoaded());
}

// ---- Checked readers ----------------------------------------------------------------------

TEST_F(TapiTest, ReadersRefuseLyingOffsetsAndSizes) {
  Start();
  ASSERT_EQ(0, StandIn.SetDevCaps(0, "Modem A", LINEMEDIAMODE_DATAMODEM, 0, 300));
  TTapiRecord<LINEDEVCAPS> Caps;
  // An offset far outside the block.
  StandIn.SetPatch("lineGetDevCaps", offsetof(LINEDEVCAPS, dwLineNameOffset), 0xFFFFFFF0u);
  ASSERT_EQ(0, tuLineGetDevCaps(App, 0, TAPI_VERSION_1_4, 0, Caps));
  ASSERT_TRUE(Caps);
  EXPECT_EQ("", TapiRecordText(Caps, &LINEDEVCAPS::dwLineNameSize, &LINEDEVCAPS::dwLineNameOffset));
  // Offset + size wrapping around 32 bits.
  StandIn.SetPatch("lineGetDevCaps", offsetof(LINEDEVCAPS, dwLineNameSize), 0x20u);
  ASSERT_EQ(0, tuLineGetDevCaps(App, 0, TAPI_VERSION_1_4, 0, Caps));
  EXPECT_EQ("", TapiRecordText(Caps, &LINEDEVCAPS::dwLineNameSize, &LINEDEVCAPS::dwLineNameOffset));
}

TEST_F(TapiTest, ReadersTrustNeitherTotalSizeNorTheBlockAlone) {
  Start();
  ASSERT_EQ(0, StandIn.SetDevCaps(0, "Modem A", LINEMEDIAMODE_DATAMODEM, 0, 300));
  // The library claims a bigger record than the block and points the name past the block.
  StandIn.SetPatch("lineGetDevCaps", offsetof(LINEDEVCAPS, dwTotalSize), 5000);
  StandIn.SetPatch("lineGetDevCaps", offsetof(LINEDEVCAPS, dwLineNameOffset), 296);
  TTapiRecord<LINEDEVCAPS> Caps;
  ASSERT_EQ(0, tuLineGetDevCaps(App, 0, TAPI_VERSION_1_4, 0, Caps));
  ASSERT_TRUE(Caps);
  EXPECT_EQ(300u, Caps.AllocatedSize());
  EXPECT_EQ(5000u, Caps->dwTotalSize);
  EXPECT_EQ(8u, Caps->dwLineNameSize); // "Modem A" and its zero
  EXPECT_EQ("", TapiRecordText(Caps, &LINEDEVCAPS::dwLineNameSize, &LINEDEVCAPS::dwLineNameOffset));

  // A record whose dwTotalSize is smaller than the block bounds the read as well.
  char Block[64] = {};
  const DWORD Total = 32;
  std::memcpy(Block, &Total, sizeof Total);
  std::memcpy(Block + 40, "hidden", 7);
  std::memcpy(Block + 24, "seen", 5);
  EXPECT_EQ("", TapiRecordText(Block, sizeof Block, 7, 40));
  EXPECT_EQ("seen", TapiRecordText(Block, sizeof Block, 5, 24));
  EXPECT_EQ("", TapiRecordText(Block, sizeof Block, 9, 24));   // runs past dwTotalSize
  EXPECT_EQ("se", TapiRecordText(Block, sizeof Block, 2, 24)); // no zero inside: all of it
  EXPECT_EQ(std::string_view("seen\0", 5), TapiRecordBytes(Block, sizeof Block, 5, 24));
  EXPECT_EQ("", TapiRecordText(Block, 30, 5, 28)); // past the block, inside dwTotalSize
  EXPECT_EQ("", TapiRecordText(nullptr, 64, 5, 24));
  EXPECT_EQ("", TapiRecordText(Block, 2, 1, 0)); // too small to hold dwTotalSize
  EXPECT_EQ("", TapiRecordText(Block, sizeof Block, 0, 24));
}

TEST_F(TapiTest, VarStringsFromLineGetIDAndDevConfig) {
  Start();
  const char Config[] = "Device=/dev/ttyS0\r\n";
  ASSERT_EQ(0, StandIn.SetDevConfig(0, Config, sizeof Config, STRINGFORMAT_ASCII));
  TTapiRecord<VARSTRING> Buffer = NewVarString();
  ASSERT_TRUE(Buffer);
  EXPECT_EQ(1028u, Buffer->dwTotalSize);
  EXPECT_EQ(0, tuLineGetDevConfig(0, Buffer.Get(), "comm/datamodem"));
  EXPECT_EQ(1028u, StandIn.CallsOf("lineGetDevConfig").at(0).RecordSize);
  EXPECT_STREQ("comm/datamodem", StandIn.CallsOf("lineGetDevConfig").at(0).Text);
  EXPECT_EQ(std::string(Config),
            TapiRecordText(Buffer, &VARSTRING::dwStringSize, &VARSTRING::dwStringOffset));
  EXPECT_EQ(sizeof Config,
            TapiRecordBytes(Buffer, &VARSTRING::dwStringSize, &VARSTRING::dwStringOffset).size());
  EXPECT_FALSE(NewVarString(8)); // smaller than the record itself
  EXPECT_EQ(0, tuLineShutdown(App));
}

} // namespace
