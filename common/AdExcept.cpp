// Message lookup, exception construction and the code-to-class rule.
#include "common/AdExcept.h"

#include "common/OoMisc.h"
#include "platform/Log.h"
#include "platform/SysMessage.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

namespace {

constexpr const char* GenericText = "Orvo exception";

// Each raising function throws the class of one code.
using TRaiser = void (*)(int32_t Code);

template <class E> [[noreturn]] void Raise(int32_t Code) {
  throw E(Code, false);
}

struct TClassEntry {
  int32_t Code;
  TRaiser RaiseFor;
};

// Every code with a class of its own, sorted by code (descending, i.e. ascending magnitude).
constexpr TClassEntry ClassEntries[] = {
    {ecBadArgument, Raise<EBadArgument>},
    {ecGotQuitMsg, Raise<EGotQuitMsg>},
    {ecBufferTooBig, Raise<EBufferTooBig>},
    {ecPortNotAssigned, Raise<EPortNotAssigned>},
    {ecInternal, Raise<EInternal>},
    {ecModemNotAssigned, Raise<EModemNotAssigned>},
    {ecPhonebookNotAssigned, Raise<EPhonebookNotAssigned>},
    {ecCannotUseWithWinSock, Raise<ECannotUseWithWinSock>},
    {ecBadId, Raise<EBadId>},
    {ecBaudRate, Raise<EBaudRate>},
    {ecByteSize, Raise<EByteSize>},
    {ecDefault, Raise<EDefault>},
    {ecHardware, Raise<EHardware>},
    {ecMemory, Raise<EMemory>},
    {ecCommNotOpen, Raise<ECommNotOpen>},
    {ecAlreadyOpen, Raise<EAlreadyOpen>},
    {ecNoHandles, Raise<ENoHandles>},
    {ecNoTimers, Raise<ENoTimers>},
    {ecNoPortSelected, Raise<ENoPortSelected>},
    {ecNotOpenedByTapi, Raise<ENotOpenedByTapi>},
    {ecNullApi, Raise<ENullApi>},
    {ecRegisterHandlerFailed, Raise<ERegisterHandlerFailed>},
    {ecPutBlockFail, Raise<EPutBlockFail>},
    {ecGetBlockFail, Raise<EGetBlockFail>},
    {ecOutputBufferTooSmall, Raise<EOutputBufferTooSmall>},
    {ecBufferIsEmpty, Raise<EBufferIsEmpty>},
    {ecTracingNotEnabled, Raise<ETracingNotEnabled>},
    {ecLoggingNotEnabled, Raise<ELoggingNotEnabled>},
    {ecBaseAddressNotSet, Raise<EBaseAddressNotSet>},
    {ecModemNotStarted, Raise<EModemNotStarted>},
    {ecModemBusy, Raise<EModemBusy>},
    {ecModemNotDialing, Raise<EModemNotDialing>},
    {ecNotDialing, Raise<ENotDialing>},
    {ecAlreadyDialing, Raise<EAlreadyDialing>},
    {ecModemNotResponding, Raise<EModemNotResponding>},
    {ecModemRejectedCommand, Raise<EModemRejectedCommand>},
    {ecModemStatusMismatch, Raise<EModemStatusMismatch>},
    {ecNoMoreTriggers, Raise<ENoMoreTriggers>},
    {ecTriggerTooLong, Raise<ETriggerTooLong>},
    {ecBadTriggerHandle, Raise<EBadTriggerHandle>},
    {ecNoMatchingFiles, Raise<EProtocol>},
    {ecEndFile, Raise<EProtocol>},
    {ecHandshakeInProgress, Raise<EProtocol>},
    {ecKeyTooLong, Raise<EKeyTooLong>},
    {ecDataTooLarge, Raise<EDataTooLarge>},
    {ecNoFieldsDefined, Raise<EInternal>},
    {ecIniWrite, Raise<EIniWrite>},
    {ecIniRead, Raise<EIniRead>},
    {ecNoIndexKey, Raise<EInternal>},
    {ecRecordExists, Raise<ERecordExists>},
    {ecRecordNotFound, Raise<ERecordNotFound>},
    {ecDatabaseFull, Raise<EDatabaseFull>},
    {ecDatabaseEmpty, Raise<EDatabaseEmpty>},
    {ecDatabaseNotPrepared, Raise<EInternal>},
    {ecBadFieldList, Raise<EBadFieldList>},
    {ecBadFieldForIndex, Raise<EBadFieldForIndex>},
    {ecFaxBadFormat, Raise<EFaxBadFormat>},
    {ecBadGraphicsFormat, Raise<EBadGraphicsFormat>},
    {ecConvertAbort, Raise<EConvertAbort>},
    {ecUnpackAbort, Raise<EUnpackAbort>},
    {ecCantMakeBitmap, Raise<ECantMakeBitmap>},
    {ecInvalidPageNumber, Raise<EInvalidPageNumber>},
    {ecFaxBadMachine, Raise<EFaxBadMachine>},
    {ecFaxBadModemResult, Raise<EFaxBadModemResult>},
    {ecFaxTrainError, Raise<EFaxTrainError>},
    {ecFaxInitError, Raise<EFaxInitError>},
    {ecFaxBusy, Raise<EFaxBusy>},
    {ecFaxVoiceCall, Raise<EFaxVoiceCall>},
    {ecFaxDataCall, Raise<EFaxDataCall>},
    {ecFaxNoDialTone, Raise<EFaxNoDialTone>},
    {ecFaxNoCarrier, Raise<EFaxNoCarrier>},
    {ecFaxSessionError, Raise<EFaxSessionError>},
    {ecFaxPageError, Raise<EFaxPageError>},
    {ecTapiAllocated, Raise<ETapiAllocated>},
    {ecTapiBadDeviceID, Raise<ETapiBadDeviceID>},
    {ecTapiBearerModeUnavail, Raise<ETapiBearerModeUnavail>},
    {ecTapiCallUnavail, Raise<ETapiCallUnavail>},
    {ecTapiCompletionOverrun, Raise<ETapiCompletionOverrun>},
    {ecTapiConferenceFull, Raise<ETapiConferenceFull>},
    {ecTapiDialBilling, Raise<ETapiDialBilling>},
    {ecTapiDialDialtone, Raise<ETapiDialDialtone>},
    {ecTapiDialPrompt, Raise<ETapiDialPrompt>},
    {ecTapiDialQuiet, Raise<ETapiDialQuiet>},
    {ecTapiIncompatibleApiVersion, Raise<ETapiIncompatibleApiVersion>},
    {ecTapiIncompatibleExtVersion, Raise<ETapiIncompatibleExtVersion>},
    {ecTapiIniFileCorrupt, Raise<ETapiIniFileCorrupt>},
    {ecTapiInUse, Raise<ETapiInUse>},
    {ecTapiInvalAddress, Raise<ETapiInvalAddress>},
    {ecTapiInvalAddressID, Raise<ETapiInvalAddressID>},
    {ecTapiInvalAddressMode, Raise<ETapiInvalAddressMode>},
    {ecTapiInvalAddressState, Raise<ETapiInvalAddressState>},
    {ecTapiInvalAppHandle, Raise<ETapiInvalAppHandle>},
    {ecTapiInvalAppName, Raise<ETapiInvalAppName>},
    {ecTapiInvalBearerMode, Raise<ETapiInvalBearerMode>},
    {ecTapiInvalCallComplMode, Raise<ETapiInvalCallComplMode>},
    {ecTapiInvalCallHandle, Raise<ETapiInvalCallHandle>},
    {ecTapiInvalCallParams, Raise<ETapiInvalCallParams>},
    {ecTapiInvalCallPrivilege, Raise<ETapiInvalCallPrivilege>},
    {ecTapiInvalCallSelect, Raise<ETapiInvalCallSelect>},
    {ecTapiInvalCallState, Raise<ETapiInvalCallState>},
    {ecTapiInvalCallStatelist, Raise<ETapiInvalCallStatelist>},
    {ecTapiInvalCard, Raise<ETapiInvalCard>},
    {ecTapiInvalCompletionID, Raise<ETapiInvalCompletionID>},
    {ecTapiInvalConfCallHandle, Raise<ETapiInvalConfCallHandle>},
    {ecTapiInvalConsultCallHandle, Raise<ETapiInvalConsultCallHandle>},
    {ecTapiInvalCountryCode, Raise<ETapiInvalCountryCode>},
    {ecTapiInvalDeviceClass, Raise<ETapiInvalDeviceClass>},
    {ecTapiInvalDeviceHandle, Raise<ETapiInvalDeviceHandle>},
    {ecTapiInvalDialParams, Raise<ETapiInvalDialParams>},
    {ecTapiInvalDigitList, Raise<ETapiInvalDigitList>},
    {ecTapiInvalDigitMode, Raise<ETapiInvalDigitMode>},
    {ecTapiInvalDigits, Raise<ETapiInvalDigits>},
    {ecTapiInvalExtVersion, Raise<ETapiInvalExtVersion>},
    {ecTapiInvalGroupID, Raise<ETapiInvalGroupID>},
    {ecTapiInvalLineHandle, Raise<ETapiInvalLineHandle>},
    {ecTapiInvalLineState, Raise<ETapiInvalLineState>},
    {ecTapiInvalLocation, Raise<ETapiInvalLocation>},
    {ecTapiInvalMediaList, Raise<ETapiInvalMediaList>},
    {ecTapiInvalMediaMode, Raise<ETapiInvalMediaMode>},
    {ecTapiInvalMessageID, Raise<ETapiInvalMessageID>},
    {ecTapiInvalParam, Raise<ETapiInvalParam>},
    {ecTapiInvalParkID, Raise<ETapiInvalParkID>},
    {ecTapiInvalParkMode, Raise<ETapiInvalParkMode>},
    {ecTapiInvalPointer, Raise<ETapiInvalPointer>},
    {ecTapiInvalPrivSelect, Raise<ETapiInvalPrivSelect>},
    {ecTapiInvalRate, Raise<ETapiInvalRate>},
    {ecTapiInvalRequestMode, Raise<ETapiInvalRequestMode>},
    {ecTapiInvalTerminalID, Raise<ETapiInvalTerminalID>},
    {ecTapiInvalTerminalMode, Raise<ETapiInvalTerminalMode>},
    {ecTapiInvalTimeout, Raise<ETapiInvalTimeout>},
    {ecTapiInvalTone, Raise<ETapiInvalTone>},
    {ecTapiInvalToneList, Raise<ETapiInvalToneList>},
    {ecTapiInvalToneMode, Raise<ETapiInvalToneMode>},
    {ecTapiInvalTransferMode, Raise<ETapiInvalTransferMode>},
    {ecTapiLineMapperFailed, Raise<ETapiLineMapperFailed>},
    {ecTapiNoConference, Raise<ETapiNoConference>},
    {ecTapiNoDevice, Raise<ETapiNoDevice>},
    {ecTapiNoDriver, Raise<ETapiNoDriver>},
    {ecTapiNoMem, Raise<ETapiNoMem>},
    {ecTapiNoRequest, Raise<ETapiNoRequest>},
    {ecTapiNotOwner, Raise<ETapiNotOwner>},
    {ecTapiNotRegistered, Raise<ETapiNotRegistered>},
    {ecTapiOperationFailed, Raise<ETapiOperationFailed>},
    {ecTapiOperationUnavail, Raise<ETapiOperationUnavail>},
    {ecTapiRateUnavail, Raise<ETapiRateUnavail>},
    {ecTapiResourceUnavail, Raise<ETapiResourceUnavail>},
    {ecTapiRequestOverrun, Raise<ETapiRequestOverrun>},
    {ecTapiStructureTooSmall, Raise<ETapiStructureTooSmall>},
    {ecTapiTargetNotFound, Raise<ETapiTargetNotFound>},
    {ecTapiTargetSelf, Raise<ETapiTargetSelf>},
    {ecTapiUninitialized, Raise<ETapiUninitialized>},
    {ecTapiUserUserInfoTooBig, Raise<ETapiUserUserInfoTooBig>},
    {ecTapiReinit, Raise<ETapiReinit>},
    {ecTapiAddressBlocked, Raise<ETapiAddressBlocked>},
    {ecTapiBillingRejected, Raise<ETapiBillingRejected>},
    {ecTapiInvalFeature, Raise<ETapiInvalFeature>},
    {ecTapiNoMultipleInstance, Raise<ETapiNoMultipleInstance>},
    {ecTapiBusy, Raise<ETapiBusy>},
    {ecTapiNotSet, Raise<ETapiNotSet>},
    {ecTapiNoSelect, Raise<ETapiNoSelect>},
    {ecTapiLoadFail, Raise<ETapiLoadFail>},
    {ecTapiGetAddrFail, Raise<ETapiGetAddrFail>},
    {ecTapiVoiceNotSupported, Raise<ETapiVoiceNotSupported>},
    {ecTapiWaveFail, Raise<ETapiWaveFail>},
    {ecTapiTranslateFail, Raise<ETapiTranslateFail>},
    {ecRasLoadFail, Raise<ERasLoadFail>},
};

constexpr bool ClassEntriesSorted() {
  for (std::size_t I = 1; I < std::size(ClassEntries); ++I) {
    if (ClassEntries[I - 1].Code <= ClassEntries[I].Code) {
      return false;
    }
  }
  return true;
}
static_assert(ClassEntriesSorted(), "class entries are sorted by descending code, no repeats");

TRaiser FindRaiser(int32_t Code) {
  const auto* It =
      std::lower_bound(std::begin(ClassEntries), std::end(ClassEntries), Code,
                       [](const TClassEntry& Entry, int32_t Key) { return Entry.Code > Key; });
  if (It != std::end(ClassEntries) && It->Code == Code) {
    return It->RaiseFor;
  }
  return nullptr;
}

// The binary search the table is made for. The middle index is the mean of the bounds,
// rounded to the nearest integer with halves going to the even neighbour.
const TMessageEntry* FindEntry(std::span<const TMessageEntry> Table, uint32_t Key) {
  std::ptrdiff_t Low = 0;
  std::ptrdiff_t High = static_cast<std::ptrdiff_t>(Table.size()) - 1;
  while (Low <= High) {
    const std::ptrdiff_t Sum = Low + High;
    std::ptrdiff_t Middle = Sum / 2;
    if (Sum % 2 != 0 && Middle % 2 != 0) {
      ++Middle;
    }
    const int64_t Code = Table[static_cast<std::size_t>(Middle)].Code;
    const uint64_t EntryKey = static_cast<uint64_t>(Code < 0 ? -Code : Code);
    if (EntryKey == Key) {
      return &Table[static_cast<std::size_t>(Middle)];
    }
    if (EntryKey < Key) {
      Low = Middle + 1;
    } else {
      High = Middle - 1;
    }
  }
  return nullptr;
}

std::string CutText(const char* Text) {
  return std::string(Text, ::strnlen(Text, MaxMessageLength));
}

} // namespace

std::string FlattenSystemText(std::string_view Text) {
  std::string Result;
  Result.reserve(Text.size());
  for (char C : Text) {
    // 8-bit text: only the control characters become blanks, not the upper half.
    if (static_cast<unsigned char>(C) < 32) {
      C = ' ';
    }
    if (C == ' ' && !Result.empty() && Result.back() == ' ') {
      continue;
    }
    Result.push_back(C);
  }
  return Result;
}

std::string LookupMessage(std::span<const TMessageEntry> Table, int32_t Code,
                          TSystemTextSource SystemText) {
  // Codes are 16-bit numbers at heart; anything wider is folded into that range first.
  const int32_t Code16 = static_cast<int16_t>(Code);
  const uint32_t Key = static_cast<uint32_t>(Code16 < 0 ? -Code16 : Code16);
  if (const TMessageEntry* Entry = FindEntry(Table, Key)) {
    return CutText(Entry->Text);
  }
  if (SystemText == nullptr) {
    return std::string();
  }
  std::string Raw = SystemText(Key);
  if (Raw.size() > MaxMessageLength) {
    Raw.resize(MaxMessageLength);
  }
  return FlattenSystemText(Raw);
}

std::string MessageText(int32_t Code) {
  return LookupMessage(MessageTable(), Code, &Platform::SystemErrorText);
}

int32_t TapiResultToCode(uint32_t Result) {
  if (Result == 0) {
    return 0;
  }
  const uint64_t Code = 13800u + static_cast<uint64_t>(Result & 0x7FFFFFFFu);
  // A result this large is no LINEERR value; do not let it wrap into an unrelated code.
  if (Code > static_cast<uint64_t>(INT32_MAX)) {
    return -ecTapiUnexpected;
  }
  return static_cast<int32_t>(Code);
}

Exception::Exception(std::string Message)
    : FMessage(std::make_shared<const std::string>(std::move(Message))) {}

const char* Exception::what() const noexcept {
  return FMessage->c_str();
}

EAPDException::EAPDException(int32_t Code, bool /*Ignored*/)
    : Exception(MessageText(Code)), FErrorCode(Code) {}

EAPDException::EAPDException(const std::string& Text) : Exception(Text), FErrorCode(0) {}

EOutOfMemory::EOutOfMemory() noexcept : FMessage("") {
  // Straight from the table: no allocation on the way to reporting that memory ran out.
  if (const TMessageEntry* Entry = FindEntry(MessageTable(), -ecOutOfMemory)) {
    FMessage = Entry->Text;
  }
}

int32_t CheckException(const TComponent* Component, int32_t Result) {
  if (Result >= 0) {
    return Result;
  }
  if (Component != nullptr && (Component->ComponentState() & csLoading) != 0) {
    return Result;
  }
  if (Result >= -162 && Result <= -2) {
    if (Result == ecOutOfMemory) {
      throw EOutOfMemory();
    }
    throw EInOutError(MessageText(-Result), -Result);
  }
  if (TRaiser RaiseFor = FindRaiser(Result)) {
    RaiseFor(Result);
  }
  throw EAPDException(GenericText);
}

TExceptionHandler TExceptionHandlerSlot::Set(TExceptionHandler Handler) {
  std::lock_guard<std::mutex> Guard(FLock);
  TExceptionHandler Previous = std::move(FHandler);
  FHandler = std::move(Handler);
  return Previous;
}

void TExceptionHandlerSlot::Handle(const std::exception& E) {
  TExceptionHandler Handler;
  {
    std::lock_guard<std::mutex> Guard(FLock);
    Handler = FHandler;
  }
  if (Handler) {
    try {
      Handler(E);
      return;
    } catch (...) {
      // A handler that fails itself must not take the message loop down.
    }
  }
  Platform::Log(E.what());
}
