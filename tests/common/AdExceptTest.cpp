// Tests of the error codes, the message table and lookup, and the code-to-exception rule.
#include "common/AdExcept.h"

#include "common/OoMisc.h"
#include "platform/SysMessage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

namespace {

// Runs CheckException and hands back what it threw, so that the caller can look at the
// exact dynamic class (a catch by base class alone would hide a wrong subclass).
template <class E> E RaisedBy(int32_t Code) {
  try {
    CheckException(nullptr, Code);
  } catch (const E& Raised) {
    return Raised;
  }
  ADD_FAILURE() << "code " << Code << " raised nothing of the expected type";
  throw std::logic_error("no exception");
}

// Code raises exactly class E, a kind of Group, with the given message and the code itself.
template <class E, class Group> void ExpectClass(int32_t Code, const std::string& Message) {
  SCOPED_TRACE("code " + std::to_string(Code));
  try {
    CheckException(nullptr, Code);
    ADD_FAILURE() << "nothing raised";
  } catch (const EAPDException& Raised) {
    EXPECT_EQ(typeid(Raised), typeid(E)) << typeid(Raised).name();
    EXPECT_NE(dynamic_cast<const Group*>(&Raised), nullptr);
    EXPECT_EQ(Raised.Message(), Message);
    EXPECT_STREQ(Raised.what(), Message.c_str());
    EXPECT_EQ(Raised.ErrorCode(), Code);
    EXPECT_EQ(Raised.HelpContext(), 0);
  }
}

void ExpectGeneric(int32_t Code) {
  SCOPED_TRACE("code " + std::to_string(Code));
  try {
    CheckException(nullptr, Code);
    ADD_FAILURE() << "nothing raised";
  } catch (const EAPDException& Raised) {
    EXPECT_EQ(typeid(Raised), typeid(EAPDException)) << typeid(Raised).name();
    EXPECT_EQ(Raised.Message(), "Orvo exception");
    EXPECT_EQ(Raised.ErrorCode(), 0);
  }
}

struct TRange {
  int32_t First;
  int32_t Last;
};

// The absolute codes the table must hold, range by range, written out independently of the
// table source.
const std::vector<TRange>& ExpectedRanges() {
  static const std::vector<TRange> Ranges = {
      {0, 0},         {2, 6},         {8, 8},         {15, 15},       {18, 18},
      {100, 105},     {150, 162},     {1001, 1009},   {2001, 2012},   {3001, 3010},
      {4001, 4017},   {4020, 4021},   {4101, 4101},   {4200, 4213},   {4301, 4312},
      {4401, 4403},   {4500, 4523},   {4550, 4553},   {4599, 4611},   {4630, 4633},
      {4660, 4671},   {4700, 4728},   {4730, 4730},   {4801, 4808},   {4820, 4828},
      {4830, 4832},   {4840, 4843},   {5001, 5003},   {5501, 5506},   {6001, 6016},
      {7001, 7014},   {7500, 7502},   {8001, 8005},   {8050, 8055},   {8060, 8075},
      {8080, 8083},   {8085, 8085},   {8087, 8092},   {8100, 8103},   {8300, 8305},
      {8310, 8318},   {8320, 8322},   {8330, 8332},   {8340, 8340},   {8500, 8500},
      {9001, 9007},   {10000, 10000}, {10004, 10004}, {10009, 10009}, {10013, 10014},
      {10022, 10022}, {10024, 10024}, {10035, 10071}, {10091, 10093}, {10101, 10101},
      {11001, 11004}, {13501, 13516}, {13533, 13557}, {13565, 13565}, {13597, 13601},
      {13650, 13670}, {13801, 13803}, {13805, 13848}, {13850, 13886}, {13928, 13945},
      {13950, 13959}, {13980, 13980}, {15001, 15021}, {15100, 15351}, {15501, 15502},
      {15601, 15608}, {15700, 15742}};
  return Ranges;
}

int32_t Abs(int32_t Code) {
  return Code < 0 ? -Code : Code;
}

std::string LongText(std::size_t Length) {
  std::string Text;
  for (std::size_t I = 0; I < Length; ++I) {
    Text.push_back(static_cast<char>('a' + I % 26));
  }
  return Text;
}

std::string LongSystemText(uint32_t /*Number*/) {
  return LongText(300) + "\r\n";
}

std::string WrappedSystemText(uint32_t Number) {
  return Number == 4242 ? "First  line.\r\nSecond\tline.\r\n" : "";
}

} // namespace

// ---------------------------------------------------------------------------------------
// The table's shape

TEST(AdExceptTable, HasExactlyTheExpectedCodesInAscendingOrder) {
  const auto Table = MessageTable();
  ASSERT_EQ(Table.size(), 892u);
  for (std::size_t I = 1; I < Table.size(); ++I) {
    EXPECT_LT(Abs(Table[I - 1].Code), Abs(Table[I].Code)) << "at index " << I;
  }
  std::set<int32_t> Expected;
  for (const TRange& Range : ExpectedRanges()) {
    for (int32_t Code = Range.First; Code <= Range.Last; ++Code) {
      Expected.insert(Code);
    }
  }
  std::set<int32_t> Actual;
  for (const TMessageEntry& Entry : Table) {
    Actual.insert(Abs(Entry.Code));
  }
  EXPECT_EQ(Expected.size(), 892u);
  EXPECT_EQ(Actual, Expected);
  EXPECT_EQ(Table.front().Code, 0);
  EXPECT_STREQ(Table.front().Text, "OK");
}

TEST(AdExceptTable, FailuresAreNegativeAndTextsPositiveWithOnlyTheNamedTextsEmpty) {
  const std::set<int32_t> EmptyTexts = {4200, 4600, 4630, 4660,  4725, 4726,
                                        4727, 4728, 4730, 10000, 15100};
  for (const TMessageEntry& Entry : MessageTable()) {
    SCOPED_TRACE("code " + std::to_string(Entry.Code));
    const int32_t A = Abs(Entry.Code);
    const bool StatusText = (A >= 4101 && A <= 4843) || (A >= 9001 && A <= 11004) ||
                            (A >= 13501 && A <= 13670) || A == 13933 || A >= 15001;
    if (A != 0) {
      EXPECT_EQ(Entry.Code > 0, StatusText);
    }
    ASSERT_NE(Entry.Text, nullptr);
    EXPECT_EQ(std::strlen(Entry.Text) == 0, EmptyTexts.count(A) == 1);
    EXPECT_LE(std::strlen(Entry.Text), MaxMessageLength);
  }
}

TEST(AdExceptTable, GivenTextsAreExact) {
  EXPECT_EQ(MessageText(ecOK), "OK");
  EXPECT_EQ(MessageText(13933), "TAPI disabled for 16-bit environments");
  EXPECT_EQ(MessageText(ecTapiAllocated), "Already allocated");
  EXPECT_EQ(MessageText(ecTapiDialDialtone), "Dial failed, no dialtone");
  EXPECT_EQ(MessageText(ecTapiNoMultipleInstance), "No multiple instance");
  EXPECT_EQ(MessageText(ecTapiNotSet), "TapiMode not set in TApdComPort");
  EXPECT_EQ(MessageText(ecVoIPNotSupported),
            "Voice over IP not available (requires Windows 2000 and above)");
  EXPECT_EQ(MessageText(ecRasLoadFail), "Failed to find/load RASAPI32.DLL");
  EXPECT_EQ(MessageText(ecBadHandle), "Bad handle passed to com function");
  EXPECT_EQ(MessageText(ecBadId), "ie_BadId - Specified comport doesn't exist");
  EXPECT_EQ(MessageText(ecNoPortSelected),
            "The ComNumber property of the TApdComPort has not been set");
  EXPECT_EQ(MessageText(ecInvalidModemCapFile), "Invalid modemcap file");
  EXPECT_EQ(MessageText(ecHardwareFailure), "General failure");
  EXPECT_EQ(MessageText(ecLogKindBase + 0), "No event");
  EXPECT_EQ(MessageText(ecLogKindBase + 20), "Script");
  EXPECT_EQ(MessageText(ecLogSubKindBase), "");
  EXPECT_EQ(MessageText(ecLogSubKindBase + 1), "ReadCom");
  EXPECT_EQ(MessageText(ecLogSubKindBase + 19), "Method");
  EXPECT_EQ(MessageText(ecLogHeaderTitles),
            "Time      Type      SubType       Data      OtherData");
  EXPECT_EQ(MessageText(ecLogHeaderRule), "--------  --------  ------------  --------  ---------");
  EXPECT_EQ(MessageText(ecLogModemStatusBase + 0), "DCTS ");
  EXPECT_EQ(MessageText(ecLogModemStatusBase + 7), "DCD ");
  EXPECT_FALSE(MessageText(ecLogTelnetOptionBase + 42).empty());
  EXPECT_FALSE(MessageText(ecLogSubKindBase + 251).empty());
}

// ---------------------------------------------------------------------------------------
// Lookup

TEST(AdExceptLookup, FindsEveryEntryBySignedAndAbsoluteCode) {
  for (const TMessageEntry& Entry : MessageTable()) {
    SCOPED_TRACE("code " + std::to_string(Entry.Code));
    EXPECT_EQ(LookupMessage(MessageTable(), Entry.Code, nullptr), Entry.Text);
    EXPECT_EQ(LookupMessage(MessageTable(), -Entry.Code, nullptr), Entry.Text);
  }
  // Between entries, below the first and above the last: nothing, and no system text asked.
  for (int32_t Missing : {1, 7, 1000, 13804, 13849, 15743, 32767}) {
    EXPECT_EQ(LookupMessage(MessageTable(), Missing, nullptr), "") << Missing;
  }
}

TEST(AdExceptLookup, TakesTheCodeAsSixteenBits) {
  EXPECT_EQ(MessageText(ecTapiLoadFail - 65536), "Failed to find/load TAPI.DLL");
  EXPECT_EQ(MessageText(ecTapiLoadFail + 65536), "Failed to find/load TAPI.DLL");
  EXPECT_EQ(MessageText(65536 + 2), "File not found");
  EXPECT_EQ(MessageText(2), MessageText(-2));
  EXPECT_EQ(MessageText(INT32_MIN), "OK"); // low 16 bits are zero
  // -32768 has no positive counterpart in 16 bits; it is looked up as 32768 and falls back.
  EXPECT_EQ(MessageText(-32768), FlattenSystemText(Platform::SystemErrorText(32768)));
}

TEST(AdExceptLookup, MiddleIndexRoundsHalvesToEven) {
  // Deliberately unordered tables, so that only the specified probe order finds (or misses)
  // the entries. Two entries: the first middle is 0.5 -> 0, so key 5 is never reached.
  const TMessageEntry Two[] = {{10, "ten"}, {5, "five"}};
  EXPECT_EQ(LookupMessage(Two, 10, nullptr), "ten");
  EXPECT_EQ(LookupMessage(Two, 5, nullptr), "");
  // Five entries: probes 2 then 3.5 -> 4, which holds key 4; rounding down would probe 3.
  const TMessageEntry Five[] = {{1, "one"}, {2, "two"}, {3, "three"}, {9, "nine"}, {4, "four"}};
  EXPECT_EQ(LookupMessage(Five, 4, nullptr), "four");
  EXPECT_EQ(LookupMessage(Five, 9, nullptr), "");
  EXPECT_EQ(LookupMessage(std::span<const TMessageEntry>(), 4, nullptr), "");
}

TEST(AdExceptLookup, CutsTextsTo255Characters) {
  const std::string Long = LongText(300);
  const TMessageEntry Table[] = {{-1, "short"}, {-2, Long.c_str()}};
  const std::string Found = LookupMessage(Table, -2, nullptr);
  EXPECT_EQ(Found.size(), MaxMessageLength);
  EXPECT_EQ(Found, Long.substr(0, 255));
  EXPECT_EQ(LookupMessage(Table, -1, nullptr), "short");

  const std::string System = LookupMessage(Table, -3, &LongSystemText);
  EXPECT_EQ(System, Long.substr(0, 255));
}

TEST(AdExceptLookup, SystemTextIsFlattenedToOneLine) {
  const TMessageEntry Table[] = {{0, "OK"}};
  EXPECT_EQ(LookupMessage(Table, -4242, &WrappedSystemText), "First line. Second line. ");
  EXPECT_EQ(LookupMessage(Table, -4243, &WrappedSystemText), "");

  EXPECT_EQ(FlattenSystemText("a\r\n\r\nb"), "a b");
  EXPECT_EQ(FlattenSystemText("a    b  "), "a b ");
  EXPECT_EQ(FlattenSystemText(std::string("x\0y", 3)), "x y");
  EXPECT_EQ(FlattenSystemText("\x1f\x7f\xe9"), " \x7f\xe9"); // only bytes below 32 change
  EXPECT_EQ(FlattenSystemText(""), "");
}

TEST(AdExceptLookup, CodeWithoutEntryTakesThePlatformText) {
  const std::string Raw = Platform::SystemErrorText(7);
  ASSERT_FALSE(Raw.empty()) << "the platform layer has no text for 7";
  const std::string Text = MessageText(-7);
  EXPECT_EQ(Text, FlattenSystemText(Raw));
  EXPECT_EQ(Text.find_first_of("\r\n"), std::string::npos);
  EXPECT_EQ(Text.find("  "), std::string::npos);
}

TEST(AdExceptLookup, IsSafeFromSeveralThreads) {
  std::vector<std::string> Expected;
  for (const TMessageEntry& Entry : MessageTable()) {
    Expected.push_back(MessageText(Entry.Code));
  }
  std::vector<int> Mismatches(4, 0);
  std::vector<std::thread> Threads;
  for (int T = 0; T < 4; ++T) {
    Threads.emplace_back([&, T] {
      for (int Round = 0; Round < 5; ++Round) {
        std::size_t I = 0;
        for (const TMessageEntry& Entry : MessageTable()) {
          Mismatches[T] += MessageText(Entry.Code) != Expected[I++];
        }
        Mismatches[T] += MessageText(-7) != MessageText(7);
      }
    });
  }
  for (std::thread& Thread : Threads) {
    Thread.join();
  }
  EXPECT_EQ(Mismatches, std::vector<int>(4, 0));
}

// ---------------------------------------------------------------------------------------
// CheckException

TEST(AdExceptCheck, PassesZeroAndPositiveResults) {
  for (int32_t Result : {0, 1, 13933, 15001, 0x12345, INT32_MAX}) {
    EXPECT_EQ(CheckException(nullptr, Result), Result);
  }
}

TEST(AdExceptCheck, RaisesNothingWhileTheComponentLoads) {
  TComponent Owner;
  TComponent* Child = CreateComponent<TComponent>(&Owner);
  Owner.BeginLoading();
  ASSERT_NE(Child->ComponentState() & csLoading, 0u);
  for (int32_t Result : {-1, -2, -7, -8, -1001, ecNoPortSelected, ecTapiLoadFail, INT32_MIN}) {
    EXPECT_EQ(CheckException(Child, Result), Result);
    EXPECT_EQ(CheckException(&Owner, Result), Result);
  }
  Owner.EndLoading();
  EXPECT_THROW(CheckException(Child, ecNoPortSelected), ENoPortSelected);
  EXPECT_THROW(CheckException(&Owner, -2), EInOutError);
  // A designing component is not loading.
  Child->SetDesigning(true);
  EXPECT_THROW(CheckException(Child, ecTapiLoadFail), ETapiLoadFail);
}

TEST(AdExceptCheck, FileErrorsRaiseInOutErrorWithThePositiveNumber) {
  const EInOutError NotFound = RaisedBy<EInOutError>(ecFileNotFound);
  EXPECT_EQ(NotFound.Message(), "File not found");
  EXPECT_EQ(NotFound.ErrorCode(), 2);
  const EInOutError Failure = RaisedBy<EInOutError>(-162);
  EXPECT_EQ(Failure.Message(), "General failure");
  EXPECT_EQ(Failure.ErrorCode(), 162);
  const EInOutError Read = RaisedBy<EInOutError>(-100);
  EXPECT_EQ(Read.Message(), "Attempt to read beyond end of file");
  EXPECT_EQ(Read.ErrorCode(), 100);

  // -7 has no entry: the flattened system text, still an input/output error.
  const EInOutError Seven = RaisedBy<EInOutError>(-7);
  EXPECT_EQ(Seven.Message(), FlattenSystemText(Platform::SystemErrorText(7)));
  EXPECT_FALSE(Seven.Message().empty());
  EXPECT_EQ(Seven.ErrorCode(), 7);

  // Just outside the range: the generic exception.
  ExpectGeneric(-1);
  ExpectGeneric(-163);
}

TEST(AdExceptCheck, OutOfMemoryIsABadAllocNotAnInOutError) {
  try {
    CheckException(nullptr, ecOutOfMemory);
    ADD_FAILURE() << "nothing raised";
  } catch (const EInOutError&) {
    ADD_FAILURE() << "-8 raised the input/output error";
  } catch (const std::bad_alloc& Raised) {
    EXPECT_NE(dynamic_cast<const EOutOfMemory*>(&Raised), nullptr);
    EXPECT_STREQ(Raised.what(), "Insufficient memory");
  }
  // A handler that only knows std::exception still sees it.
  EXPECT_THROW(CheckException(nullptr, ecOutOfMemory), std::exception);
}

TEST(AdExceptCheck, TapiCodesRaiseTheirClasses) {
  ExpectClass<ETapiAllocated, ETapi>(ecTapiAllocated, "Already allocated");
  ExpectClass<ETapiDialPrompt, ETapi>(-13810, "Dial failed");
  ExpectClass<ETapiInvalParam, ETapi>(-13850, "Invalid parameter");
  ExpectClass<ETapiStructureTooSmall, ETapi>(-13877, "Structure too small");
  ExpectClass<ETapiNoMultipleInstance, ETapi>(-13886, "No multiple instance");
  ExpectClass<ETapiBusy, ETapi>(-13928, "TAPI already open, dialing or answering");
  ExpectClass<ETapiLoadFail, ETapi>(-13931, "Failed to find/load TAPI.DLL");
  ExpectClass<ETapiGetAddrFail, ETapi>(-13932, "Failed to get TAPI address");
  ExpectClass<ETapiVoiceNotSupported, ETapi>(-13935,
                                             "TAPI device does not support voice extensions");
  ExpectClass<ETapiWaveFail, ETapi>(-13936, "TAPI wave file error");
  ExpectClass<ETapiTranslateFail, ETapi>(-13942, "Unable to translate address");
  ExpectClass<ERasLoadFail, ERas>(-13980, "Failed to find/load RASAPI32.DLL");
}

TEST(AdExceptCheck, PortModemAndTriggerCodesRaiseTheirClasses) {
  ExpectClass<EBadArgument, EGeneral>(-1002, "Bad argument passed to function");
  ExpectClass<EPortNotAssigned, EGeneral>(-1005, "ComPort component not assigned");
  ExpectClass<ECannotUseWithWinSock, EGeneral>(-1009, "Component not compatible with WinSock");
  ExpectClass<EBadId, EOpenComm>(-2001, "ie_BadId - Specified comport doesn't exist");
  ExpectClass<EAlreadyOpen, EOpenComm>(-2008, "ie_Open - device already open");
  ExpectClass<ENoPortSelected, EOpenComm>(
      -2011, "The ComNumber property of the TApdComPort has not been set");
  ExpectClass<ENotOpenedByTapi, EOpenComm>(-2012, "Comport was not opened by Tapi");
  ExpectClass<ENullApi, ESerialIO>(-3001, "No device layer specified");
  ExpectClass<EBaseAddressNotSet, ESerialIO>(-3010, "Base address not set");
  ExpectClass<EModemNotStarted, EModem>(-4001, "StartModem has not been called");
  ExpectClass<ENotDialing, EModem>(-4004, "Dialer is not dialing");
  ExpectClass<EAlreadyDialing, EModem>(-4005, "Dialer is already dialing");
  ExpectClass<EModemStatusMismatch, EModem>(-4008, "Wrong modem status requested");
  ExpectClass<ENoMoreTriggers, ETrigger>(-5001, "No more trigger slots");
  ExpectClass<EBadTriggerHandle, ETrigger>(-5003, "Bad trigger handle");
}

TEST(AdExceptCheck, IniFaxAndSharedClasses) {
  ExpectClass<EKeyTooLong, EINI>(-7001, MessageText(-7001));
  ExpectClass<EIniWrite, EINI>(-7004, MessageText(-7004));
  ExpectClass<EBadFieldForIndex, EINI>(-7014, MessageText(-7014));
  ExpectClass<EFaxBadFormat, EFax>(-8001, MessageText(-8001));
  ExpectClass<EInvalidPageNumber, EFax>(-8053, MessageText(-8053));
  ExpectClass<EFaxPageError, EFax>(-8070, MessageText(-8070));

  // Four codes share EInternal, each keeping its own code and text.
  std::set<std::string> InternalTexts;
  for (int32_t Code : {-1006, -7003, -7006, -7012}) {
    ExpectClass<EInternal, EGeneral>(Code, MessageText(Code));
    InternalTexts.insert(MessageText(Code));
  }
  EXPECT_EQ(InternalTexts.size(), 4u);
  EXPECT_EQ(MessageText(-1006), "Internal error creating window class");
  // Three share EProtocol itself; their neighbours have no class.
  for (int32_t Code : {-6006, -6008, -6009}) {
    ExpectClass<EProtocol, EProtocol>(Code, MessageText(Code));
  }
  ExpectGeneric(-6007);
  ExpectGeneric(-7009);
  ExpectGeneric(-8071);
}

TEST(AdExceptCheck, CodesWithoutClassRaiseTheGenericException) {
  for (int32_t Code :
       {ecBadHandle, ecTapiUnexpected, ecNotSupported, ecDeviceNotSelected, ecModemNotFound,
        ecTapiCallerIDBlocked, ecTapiWaveReadError, -13959, ecUnknownPhoneError, ecProtocolInitFail,
        ecPacketAborted, -13804, -13849, -13933, -15001, -20000, INT32_MIN}) {
    ExpectGeneric(Code);
  }
}

TEST(AdExceptCheck, EveryClassedCodeKeepsItsCodeAndText) {
  // Walks all failure codes of the table: each raises either its own class, carrying the
  // code and the table's text, or the generic exception. 166 codes have a class.
  int Classed = 0;
  for (const TMessageEntry& Entry : MessageTable()) {
    if (Entry.Code >= 0 || (Entry.Code >= -162 && Entry.Code <= -2)) {
      continue;
    }
    try {
      CheckException(nullptr, Entry.Code);
      ADD_FAILURE() << Entry.Code << " raised nothing";
    } catch (const EAPDException& Raised) {
      if (typeid(Raised) == typeid(EAPDException)) {
        EXPECT_EQ(Raised.ErrorCode(), 0) << Entry.Code;
        EXPECT_EQ(Raised.Message(), "Orvo exception") << Entry.Code;
      } else {
        ++Classed;
        EXPECT_EQ(Raised.ErrorCode(), Entry.Code);
        EXPECT_EQ(Raised.Message(), Entry.Text) << Entry.Code;
      }
    }
  }
  EXPECT_EQ(Classed, 166);
}

// ---------------------------------------------------------------------------------------
// TAPI results and direct construction

TEST(AdExceptTapi, ResultsMapIntoTheCodeSpace) {
  EXPECT_EQ(TapiResultToCode(0), 0);
  EXPECT_EQ(TapiResultToCode(0x80000001u), 13801);
  EXPECT_EQ(TapiResultToCode(0x8000004Du), 13877);
  EXPECT_EQ(TapiResultToCode(0x80000056u), 13886);
  ExpectClass<ETapiStructureTooSmall, ETapi>(-TapiResultToCode(0x8000004Du), "Structure too small");
  // LINEERR 4 and 0x31 have no entry and no class.
  ExpectGeneric(-TapiResultToCode(0x80000004u));
  ExpectGeneric(-TapiResultToCode(0x80000031u));
  // Values far beyond any LINEERR must not wrap around into a negative or unrelated code.
  EXPECT_EQ(TapiResultToCode(0xFFFFFFFFu), -ecTapiUnexpected);
  EXPECT_EQ(TapiResultToCode(0x7FFFFFFFu), -ecTapiUnexpected);
  EXPECT_EQ(TapiResultToCode(0x80000000u + (INT32_MAX - 13800)), INT32_MAX);
}

TEST(AdExceptConstruct, FromCodeAndFromText) {
  const ETapiLoadFail Load(ecTapiLoadFail, true);
  EXPECT_EQ(Load.ErrorCode(), ecTapiLoadFail);
  EXPECT_EQ(Load.Message(), "Failed to find/load TAPI.DLL");
  const EAPDException Plain(ecTapiLoadFail, false);
  EXPECT_EQ(Plain.Message(), Load.Message());

  const ETapiWaveFail Wave(std::string("MMIO Write Error"));
  EXPECT_EQ(Wave.ErrorCode(), 0);
  EXPECT_EQ(Wave.Message(), "MMIO Write Error");

  const ETapiUnexpected Unexpected(ecTapiUnexpected);
  EXPECT_EQ(Unexpected.Message(), "Unexpected TAPI error");
  const ETapiWaveFail Read(ecTapiWaveReadError);
  EXPECT_EQ(Read.Message(), "Unable to read wave file data");
  EXPECT_EQ(Read.ErrorCode(), -13940);

  // An empty table text gives an empty message.
  const EAPDException Empty(-15100);
  EXPECT_EQ(Empty.Message(), "");
  EXPECT_STREQ(Empty.what(), "");

  // Copies share the text and keep the code.
  const ENoPortSelected Original(ecNoPortSelected);
  const ENoPortSelected Copy = Original;
  EXPECT_EQ(Copy.Message(), Original.Message());
  EXPECT_EQ(Copy.what(), Original.what());
  EXPECT_EQ(Copy.ErrorCode(), ecNoPortSelected);
}
