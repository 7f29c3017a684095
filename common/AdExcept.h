// AdExcept: the error codes of the communications layer, the message table that gives each
// code its text, and the exceptions raised for failures.
//
// - An error code is a signed 32-bit number: 0 success, negative a failure. Positive numbers
//   of the same numbering name status and log texts; they are never raised.
// - MessageText() never fails: a code without a table entry takes the platform's system text
//   for that number (flattened to one line), and a code without either gives "".
// - CheckException() is the one place where a result becomes an exception: it passes 0 and
//   positive results through, raises nothing while the component is loading, and otherwise
//   throws the class that belongs to the code (EAPDException "Orvo exception" when none).
// - The table is constant data; everything here may be used from any thread.
// - TExceptionHandlerSlot is where a component's caught exceptions end: the handler the
//   program set, or the program's log (platform/Log) when there is none or when the handler
//   fails itself.
//   Setting and handling lock, so any thread may report; the handler runs outside the lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>

class TComponent;

// ---------------------------------------------------------------------------------------
// Error codes

inline constexpr int32_t ecOK = 0;

// File and device errors (the run time's numbers, negated).
inline constexpr int32_t ecFileNotFound = -2;
inline constexpr int32_t ecPathNotFound = -3;
inline constexpr int32_t ecTooManyFiles = -4;
inline constexpr int32_t ecAccessDenied = -5;
inline constexpr int32_t ecInvalidHandle = -6;
inline constexpr int32_t ecOutOfMemory = -8;
inline constexpr int32_t ecInvalidDrive = -15;
inline constexpr int32_t ecNoMoreFiles = -18;
inline constexpr int32_t ecDiskRead = -100;
inline constexpr int32_t ecDiskFull = -101;
inline constexpr int32_t ecNotAssigned = -102;
inline constexpr int32_t ecNotOpen = -103;
inline constexpr int32_t ecNotOpenInput = -104;
inline constexpr int32_t ecNotOpenOutput = -105;
inline constexpr int32_t ecWriteProtected = -150;
inline constexpr int32_t ecUnknownUnit = -151;
inline constexpr int32_t ecDriveNotReady = -152;
inline constexpr int32_t ecUnknownCommand = -153;
inline constexpr int32_t ecCrcError = -154;
inline constexpr int32_t ecBadStructLen = -155;
inline constexpr int32_t ecSeekError = -156;
inline constexpr int32_t ecUnknownMedia = -157;
inline constexpr int32_t ecSectorNotFound = -158;
inline constexpr int32_t ecOutOfPaper = -159;
inline constexpr int32_t ecDeviceWrite = -160;
inline constexpr int32_t ecDeviceRead = -161;
inline constexpr int32_t ecHardwareFailure = -162;

// Port, dispatcher, modem and trigger.
inline constexpr int32_t ecBadHandle = -1001;
inline constexpr int32_t ecBadArgument = -1002;
inline constexpr int32_t ecGotQuitMsg = -1003;
inline constexpr int32_t ecBufferTooBig = -1004;
inline constexpr int32_t ecPortNotAssigned = -1005;
inline constexpr int32_t ecInternal = -1006;
inline constexpr int32_t ecModemNotAssigned = -1007;
inline constexpr int32_t ecPhonebookNotAssigned = -1008;
inline constexpr int32_t ecCannotUseWithWinSock = -1009;
inline constexpr int32_t ecBadId = -2001;
inline constexpr int32_t ecBaudRate = -2002;
inline constexpr int32_t ecByteSize = -2003;
inline constexpr int32_t ecDefault = -2004;
inline constexpr int32_t ecHardware = -2005;
inline constexpr int32_t ecMemory = -2006;
inline constexpr int32_t ecCommNotOpen = -2007;
inline constexpr int32_t ecAlreadyOpen = -2008;
inline constexpr int32_t ecNoHandles = -2009;
inline constexpr int32_t ecNoTimers = -2010;
inline constexpr int32_t ecNoPortSelected = -2011;
inline constexpr int32_t ecNotOpenedByTapi = -2012;
inline constexpr int32_t ecNullApi = -3001;
inline constexpr int32_t ecNotSupported = -3002;
inline constexpr int32_t ecRegisterHandlerFailed = -3003;
inline constexpr int32_t ecPutBlockFail = -3004;
inline constexpr int32_t ecGetBlockFail = -3005;
inline constexpr int32_t ecOutputBufferTooSmall = -3006;
inline constexpr int32_t ecBufferIsEmpty = -3007;
inline constexpr int32_t ecTracingNotEnabled = -3008;
inline constexpr int32_t ecLoggingNotEnabled = -3009;
inline constexpr int32_t ecBaseAddressNotSet = -3010;
inline constexpr int32_t ecModemNotStarted = -4001;
inline constexpr int32_t ecModemBusy = -4002;
inline constexpr int32_t ecModemNotDialing = -4003;
inline constexpr int32_t ecNotDialing = -4004;
inline constexpr int32_t ecAlreadyDialing = -4005;
inline constexpr int32_t ecModemNotResponding = -4006;
inline constexpr int32_t ecModemRejectedCommand = -4007;
inline constexpr int32_t ecModemStatusMismatch = -4008;
inline constexpr int32_t ecDeviceNotSelected = -4009;
inline constexpr int32_t ecModemDetectedBusy = -4010;
inline constexpr int32_t ecModemNoDialtone = -4011;
inline constexpr int32_t ecModemNoCarrier = -4012;
inline constexpr int32_t ecModemNoAnswer = -4013;
inline constexpr int32_t ecModemInitFail = -4014;
inline constexpr int32_t ecLoginFail = -4015;
inline constexpr int32_t ecMinorServerError = -4016;
inline constexpr int32_t ecFatalServerError = -4017;
inline constexpr int32_t ecModemNotFound = -4020;
inline constexpr int32_t ecInvalidModemCapFile = -4021;
inline constexpr int32_t ecNoMoreTriggers = -5001;
inline constexpr int32_t ecTriggerTooLong = -5002;
inline constexpr int32_t ecBadTriggerHandle = -5003;

// Packets, protocols, INI database and scripts.
inline constexpr int32_t ecPacketTooLong = -5501;
inline constexpr int32_t ecPacketTimeout = -5502;
inline constexpr int32_t ecPacketBadStart = -5503;
inline constexpr int32_t ecPacketBadEnd = -5504;
inline constexpr int32_t ecPacketDisabled = -5505;
inline constexpr int32_t ecPacketAborted = -5506;
inline constexpr int32_t ecProtocolInitFail = -6001;
inline constexpr int32_t ecCancelRequested = -6002;
inline constexpr int32_t ecDuplicateBlock = -6003;
inline constexpr int32_t ecSequenceError = -6004;
inline constexpr int32_t ecDirNotFound = -6005;
inline constexpr int32_t ecNoMatchingFiles = -6006;
inline constexpr int32_t ecLongPacket = -6007;
inline constexpr int32_t ecEndFile = -6008;
inline constexpr int32_t ecHandshakeInProgress = -6009;
inline constexpr int32_t ecFileRenamed = -6010;
inline constexpr int32_t ecFileAlreadyExists = -6011;
inline constexpr int32_t ecInvalidFileSize = -6012;
inline constexpr int32_t ecInvalidDateTime = -6013;
inline constexpr int32_t ecUnexpectedChar = -6014;
inline constexpr int32_t ecBlockCheckError = -6015;
inline constexpr int32_t ecNoSearchMask = -6016;
inline constexpr int32_t ecKeyTooLong = -7001;
inline constexpr int32_t ecDataTooLarge = -7002;
inline constexpr int32_t ecNoFieldsDefined = -7003;
inline constexpr int32_t ecIniWrite = -7004;
inline constexpr int32_t ecIniRead = -7005;
inline constexpr int32_t ecNoIndexKey = -7006;
inline constexpr int32_t ecRecordExists = -7007;
inline constexpr int32_t ecRecordNotFound = -7008;
inline constexpr int32_t ecMustHaveIndexValue = -7009;
inline constexpr int32_t ecDatabaseFull = -7010;
inline constexpr int32_t ecDatabaseEmpty = -7011;
inline constexpr int32_t ecDatabaseNotPrepared = -7012;
inline constexpr int32_t ecBadFieldList = -7013;
inline constexpr int32_t ecBadFieldForIndex = -7014;
inline constexpr int32_t ecScriptBadCommand = -7500;
inline constexpr int32_t ecScriptLabelNotFound = -7501;
inline constexpr int32_t ecScriptBadArgument = -7502;

// Fax, fax printer, SMS and phone.
inline constexpr int32_t ecFaxBadFormat = -8001;
inline constexpr int32_t ecBadGraphicsFormat = -8002;
inline constexpr int32_t ecConvertAbort = -8003;
inline constexpr int32_t ecUnpackAbort = -8004;
inline constexpr int32_t ecCantMakeBitmap = -8005;
inline constexpr int32_t ecNoImageLoaded = -8050;
inline constexpr int32_t ecNoImageBlockMarked = -8051;
inline constexpr int32_t ecFontFileNotFound = -8052;
inline constexpr int32_t ecInvalidPageNumber = -8053;
inline constexpr int32_t ecBitmapTooBig = -8054;
inline constexpr int32_t ecFontTooBig = -8055;
inline constexpr int32_t ecFaxBadMachine = -8060;
inline constexpr int32_t ecFaxBadModemResult = -8061;
inline constexpr int32_t ecFaxTrainError = -8062;
inline constexpr int32_t ecFaxInitError = -8063;
inline constexpr int32_t ecFaxBusy = -8064;
inline constexpr int32_t ecFaxVoiceCall = -8065;
inline constexpr int32_t ecFaxDataCall = -8066;
inline constexpr int32_t ecFaxNoDialTone = -8067;
inline constexpr int32_t ecFaxNoCarrier = -8068;
inline constexpr int32_t ecFaxSessionError = -8069;
inline constexpr int32_t ecFaxPageError = -8070;
inline constexpr int32_t ecFaxPrintError = -8071;
inline constexpr int32_t ecFaxMixedResolution = -8072;
inline constexpr int32_t ecFaxConverterInitFail = -8073;
inline constexpr int32_t ecFaxNoAnswer = -8074;
inline constexpr int32_t ecFaxAlreadyMonitored = -8075;
inline constexpr int32_t ecFaxDriverInstalled = -8080;
inline constexpr int32_t ecCannotGetSysDir = -8081;
inline constexpr int32_t ecCannotGetWinDir = -8082;
inline constexpr int32_t ecUnknownLayout = -8083;
inline constexpr int32_t ecCannotInstallFile = -8085;
inline constexpr int32_t ecDriverCopyError = -8087;
inline constexpr int32_t ecCannotAddPrinter = -8088;
inline constexpr int32_t ecDriverBadResources = -8089;
inline constexpr int32_t ecDriverNotFound = -8090;
inline constexpr int32_t ecCannotGetDriverDir = -8091;
inline constexpr int32_t ecInstallDriverFailed = -8092;
inline constexpr int32_t ecSmsBusy = -8100;
inline constexpr int32_t ecSmsTimedOut = -8101;
inline constexpr int32_t ecSmsTooLong = -8102;
inline constexpr int32_t ecSmsUnknownStatus = -8103;
inline constexpr int32_t ecPhoneFailure = -8300;
inline constexpr int32_t ecSmsServiceReserved = -8301;
inline constexpr int32_t ecOperationNotAllowed = -8302;
inline constexpr int32_t ecOperationNotSupported = -8303;
inline constexpr int32_t ecInvalidPduParameter = -8304;
inline constexpr int32_t ecInvalidTextParameter = -8305;
inline constexpr int32_t ecSimNotInserted = -8310;
inline constexpr int32_t ecSimPinRequired = -8311;
inline constexpr int32_t ecPhSimPinRequired = -8312;
inline constexpr int32_t ecSimFailure = -8313;
inline constexpr int32_t ecSimBusy = -8314;
inline constexpr int32_t ecSimWrong = -8315;
inline constexpr int32_t ecSimPukRequired = -8316;
inline constexpr int32_t ecSimPin2Required = -8317;
inline constexpr int32_t ecSimPuk2Required = -8318;
inline constexpr int32_t ecPhoneMemoryFailure = -8320;
inline constexpr int32_t ecInvalidMemoryIndex = -8321;
inline constexpr int32_t ecPhoneMemoryFull = -8322;
inline constexpr int32_t ecSmscAddressUnknown = -8330;
inline constexpr int32_t ecNoNetworkService = -8331;
inline constexpr int32_t ecNetworkTimeout = -8332;
inline constexpr int32_t ecNoAckExpected = -8340;
inline constexpr int32_t ecUnknownPhoneError = -8500;

// TAPI: LINEERR results (13800 + n), then the layer's own TAPI and RAS codes.
inline constexpr int32_t ecTapiAllocated = -13801;
inline constexpr int32_t ecTapiBadDeviceID = -13802;
inline constexpr int32_t ecTapiBearerModeUnavail = -13803;
inline constexpr int32_t ecTapiCallUnavail = -13805;
inline constexpr int32_t ecTapiCompletionOverrun = -13806;
inline constexpr int32_t ecTapiConferenceFull = -13807;
inline constexpr int32_t ecTapiDialBilling = -13808;
inline constexpr int32_t ecTapiDialDialtone = -13809;
inline constexpr int32_t ecTapiDialPrompt = -13810;
inline constexpr int32_t ecTapiDialQuiet = -13811;
inline constexpr int32_t ecTapiIncompatibleApiVersion = -13812;
inline constexpr int32_t ecTapiIncompatibleExtVersion = -13813;
inline constexpr int32_t ecTapiIniFileCorrupt = -13814;
inline constexpr int32_t ecTapiInUse = -13815;
inline constexpr int32_t ecTapiInvalAddress = -13816;
inline constexpr int32_t ecTapiInvalAddressID = -13817;
inline constexpr int32_t ecTapiInvalAddressMode = -13818;
inline constexpr int32_t ecTapiInvalAddressState = -13819;
inline constexpr int32_t ecTapiInvalAppHandle = -13820;
inline constexpr int32_t ecTapiInvalAppName = -13821;
inline constexpr int32_t ecTapiInvalBearerMode = -13822;
inline constexpr int32_t ecTapiInvalCallComplMode = -13823;
inline constexpr int32_t ecTapiInvalCallHandle = -13824;
inline constexpr int32_t ecTapiInvalCallParams = -13825;
inline constexpr int32_t ecTapiInvalCallPrivilege = -13826;
inline constexpr int32_t ecTapiInvalCallSelect = -13827;
inline constexpr int32_t ecTapiInvalCallState = -13828;
inline constexpr int32_t ecTapiInvalCallStatelist = -13829;
inline constexpr int32_t ecTapiInvalCard = -13830;
inline constexpr int32_t ecTapiInvalCompletionID = -13831;
inline constexpr int32_t ecTapiInvalConfCallHandle = -13832;
inline constexpr int32_t ecTapiInvalConsultCallHandle = -13833;
inline constexpr int32_t ecTapiInvalCountryCode = -13834;
inline constexpr int32_t ecTapiInvalDeviceClass = -13835;
inline constexpr int32_t ecTapiInvalDeviceHandle = -13836;
inline constexpr int32_t ecTapiInvalDialParams = -13837;
inline constexpr int32_t ecTapiInvalDigitList = -13838;
inline constexpr int32_t ecTapiInvalDigitMode = -13839;
inline constexpr int32_t ecTapiInvalDigits = -13840;
inline constexpr int32_t ecTapiInvalExtVersion = -13841;
inline constexpr int32_t ecTapiInvalGroupID = -13842;
inline constexpr int32_t ecTapiInvalLineHandle = -13843;
inline constexpr int32_t ecTapiInvalLineState = -13844;
inline constexpr int32_t ecTapiInvalLocation = -13845;
inline constexpr int32_t ecTapiInvalMediaList = -13846;
inline constexpr int32_t ecTapiInvalMediaMode = -13847;
inline constexpr int32_t ecTapiInvalMessageID = -13848;
inline constexpr int32_t ecTapiInvalParam = -13850;
inline constexpr int32_t ecTapiInvalParkID = -13851;
inline constexpr int32_t ecTapiInvalParkMode = -13852;
inline constexpr int32_t ecTapiInvalPointer = -13853;
inline constexpr int32_t ecTapiInvalPrivSelect = -13854;
inline constexpr int32_t ecTapiInvalRate = -13855;
inline constexpr int32_t ecTapiInvalRequestMode = -13856;
inline constexpr int32_t ecTapiInvalTerminalID = -13857;
inline constexpr int32_t ecTapiInvalTerminalMode = -13858;
inline constexpr int32_t ecTapiInvalTimeout = -13859;
inline constexpr int32_t ecTapiInvalTone = -13860;
inline constexpr int32_t ecTapiInvalToneList = -13861;
inline constexpr int32_t ecTapiInvalToneMode = -13862;
inline constexpr int32_t ecTapiInvalTransferMode = -13863;
inline constexpr int32_t ecTapiLineMapperFailed = -13864;
inline constexpr int32_t ecTapiNoConference = -13865;
inline constexpr int32_t ecTapiNoDevice = -13866;
inline constexpr int32_t ecTapiNoDriver = -13867;
inline constexpr int32_t ecTapiNoMem = -13868;
inline constexpr int32_t ecTapiNoRequest = -13869;
inline constexpr int32_t ecTapiNotOwner = -13870;
inline constexpr int32_t ecTapiNotRegistered = -13871;
inline constexpr int32_t ecTapiOperationFailed = -13872;
inline constexpr int32_t ecTapiOperationUnavail = -13873;
inline constexpr int32_t ecTapiRateUnavail = -13874;
inline constexpr int32_t ecTapiResourceUnavail = -13875;
inline constexpr int32_t ecTapiRequestOverrun = -13876;
inline constexpr int32_t ecTapiStructureTooSmall = -13877;
inline constexpr int32_t ecTapiTargetNotFound = -13878;
inline constexpr int32_t ecTapiTargetSelf = -13879;
inline constexpr int32_t ecTapiUninitialized = -13880;
inline constexpr int32_t ecTapiUserUserInfoTooBig = -13881;
inline constexpr int32_t ecTapiReinit = -13882;
inline constexpr int32_t ecTapiAddressBlocked = -13883;
inline constexpr int32_t ecTapiBillingRejected = -13884;
inline constexpr int32_t ecTapiInvalFeature = -13885;
inline constexpr int32_t ecTapiNoMultipleInstance = -13886;
inline constexpr int32_t ecTapiBusy = -13928;
inline constexpr int32_t ecTapiNotSet = -13929;
inline constexpr int32_t ecTapiNoSelect = -13930;
inline constexpr int32_t ecTapiLoadFail = -13931;
inline constexpr int32_t ecTapiGetAddrFail = -13932;
inline constexpr int32_t ecTapi16BitDisabled = 13933;
inline constexpr int32_t ecTapiUnexpected = -13934;
inline constexpr int32_t ecTapiVoiceNotSupported = -13935;
inline constexpr int32_t ecTapiWaveFail = -13936;
inline constexpr int32_t ecTapiCallerIDBlocked = -13937;
inline constexpr int32_t ecTapiOutOfAreaCall = -13938;
inline constexpr int32_t ecTapiNotWaveFile = -13939;
inline constexpr int32_t ecTapiWaveReadError = -13940;
inline constexpr int32_t ecTapiWaveBadFormat = -13941;
inline constexpr int32_t ecTapiTranslateFail = -13942;
inline constexpr int32_t ecTapiWaveDeviceInUse = -13943;
inline constexpr int32_t ecTapiWaveFileExists = -13944;
inline constexpr int32_t ecTapiWaveNoData = -13945;
inline constexpr int32_t ecVoIPNotSupported = -13950;
inline constexpr int32_t ecVoIPCallBusy = -13951;
inline constexpr int32_t ecVoIPBadAddress = -13952;
inline constexpr int32_t ecVoIPNoAnswer = -13953;
inline constexpr int32_t ecVoIPCancelled = -13954;
inline constexpr int32_t ecVoIPRejected = -13955;
inline constexpr int32_t ecVoIPFailed = -13956;
inline constexpr int32_t ecVoIPInterfaceFailure = -13957;
inline constexpr int32_t ecVoIPH323NotFound = -13958;
inline constexpr int32_t ecVoIPNotifyFailure = -13959;
inline constexpr int32_t ecRasLoadFail = -13980;

// Positive numbers of the table that other units index into.
inline constexpr int32_t ecTapiCallStateBase = 13501; // + bit index of the call state
inline constexpr int32_t ecTapiLineStateBase = 13533; // + bit index of the line state
inline constexpr int32_t ecTapiReplyText = 13565;
inline constexpr int32_t ecTapiReplyBase = 13597;
inline constexpr int32_t ecTapiDisconnectBase = 13650; // + bit index of the disconnect mode
inline constexpr int32_t ecLogKindBase = 15001;        // + dispatch log entry kind
inline constexpr int32_t ecLogSubKindBase = 15100;     // + dispatch log entry subkind
inline constexpr int32_t ecLogHeaderTitles = 15501;
inline constexpr int32_t ecLogHeaderRule = 15502;
inline constexpr int32_t ecLogModemStatusBase = 15601;  // + bit index of the modem status
inline constexpr int32_t ecLogTelnetOptionBase = 15700; // + Telnet option number (0..42)

// ---------------------------------------------------------------------------------------
// Message table and lookup

struct TMessageEntry {
  int32_t Code; // as the code is used: negative for failures
  const char* Text;
};

// Longest text a lookup returns.
inline constexpr std::size_t MaxMessageLength = 255;

// The program's table: ascending by absolute code, no absolute code twice.
std::span<const TMessageEntry> MessageTable();

// The text for Code: the code is taken as a 16-bit signed number and looked up by its
// absolute value; without an entry the platform's system text for that number is used,
// flattened. At most MaxMessageLength characters, possibly empty.
std::string MessageText(int32_t Code);

// The lookup itself over any table sorted like MessageTable(), with the source of system
// texts given; MessageText() is this over the program's table and the platform's texts.
using TSystemTextSource = std::string (*)(uint32_t Number);
std::string LookupMessage(std::span<const TMessageEntry> Table, int32_t Code,
                          TSystemTextSource SystemText);

// One line of a system text: characters below 32 become blanks, runs of blanks become one.
std::string FlattenSystemText(std::string_view Text);

// A synchronous TAPI result as a (positive) code: 0 stays 0, a LINEERR 0x80000000 + n
// gives 13800 + n. A value that would not fit an int32_t gives ecTapiUnexpected's number.
int32_t TapiResultToCode(uint32_t Result);

// ---------------------------------------------------------------------------------------
// Exceptions

// The root of the program's own exceptions: a message text and a help context (never set).
// Copies share the text, so copying never throws.
class Exception : public std::exception {
public:
  explicit Exception(std::string Message);

  const char* what() const noexcept override;
  const std::string& Message() const noexcept { return *FMessage; }
  int HelpContext() const noexcept { return 0; }

private:
  std::shared_ptr<const std::string> FMessage;
};

// A failure of the communications layer, carrying the code it was raised for.
class EAPDException : public Exception {
public:
  // The message is the table's text for Code; the flag is accepted and has no effect.
  explicit EAPDException(int32_t Code, bool Ignored = false);
  // A message of the caller's; ErrorCode() is 0.
  explicit EAPDException(const std::string& Text);
  explicit EAPDException(const char* Text) : EAPDException(std::string(Text)) {}

  int32_t ErrorCode() const noexcept { return FErrorCode; }

private:
  int32_t FErrorCode;
};

// A file or device error (-162..-2 except -8). ErrorCode() is the positive error number.
class EInOutError : public Exception {
public:
  EInOutError(std::string Message, int32_t Code)
      : Exception(std::move(Message)), FErrorCode(Code) {}

  int32_t ErrorCode() const noexcept { return FErrorCode; }

private:
  int32_t FErrorCode;
};

// Raised for -8. It is a std::bad_alloc, so code that already handles allocation failure
// handles it too and `catch (const std::exception&)` still sees it; it is deliberately not an
// Exception (two std::exception bases would make that catch ambiguous and miss it). Its text
// lives in static storage: raising and copying it never allocates, as befits a report that
// memory has run out.
class EOutOfMemory : public std::bad_alloc {
public:
  EOutOfMemory() noexcept;
  const char* what() const noexcept override { return FMessage; }

private:
  const char* FMessage;
};

// Each class below is a code's own class: it adds nothing to its group. The arguments are
// class names, which cannot stand in parentheses.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define ADEXCEPT_CLASS(Name, Base)                                                                 \
  class Name : public Base {                                                                       \
  public:                                                                                          \
    using Base::Base;                                                                              \
  }
// NOLINTEND(bugprone-macro-parentheses)

ADEXCEPT_CLASS(EGeneral, EAPDException);
ADEXCEPT_CLASS(EOpenComm, EAPDException);
ADEXCEPT_CLASS(ESerialIO, EAPDException);
ADEXCEPT_CLASS(EModem, EAPDException);
ADEXCEPT_CLASS(ETrigger, EAPDException);
ADEXCEPT_CLASS(EProtocol, EAPDException);
ADEXCEPT_CLASS(EINI, EAPDException);
ADEXCEPT_CLASS(EFax, EAPDException);
ADEXCEPT_CLASS(ETapi, EAPDException);
ADEXCEPT_CLASS(ERas, EAPDException);

ADEXCEPT_CLASS(EBadArgument, EGeneral);
ADEXCEPT_CLASS(EGotQuitMsg, EGeneral);
ADEXCEPT_CLASS(EBufferTooBig, EGeneral);
ADEXCEPT_CLASS(EPortNotAssigned, EGeneral);
ADEXCEPT_CLASS(EInternal, EGeneral);
ADEXCEPT_CLASS(EModemNotAssigned, EGeneral);
ADEXCEPT_CLASS(EPhonebookNotAssigned, EGeneral);
ADEXCEPT_CLASS(ECannotUseWithWinSock, EGeneral);

ADEXCEPT_CLASS(EBadId, EOpenComm);
ADEXCEPT_CLASS(EBaudRate, EOpenComm);
ADEXCEPT_CLASS(EByteSize, EOpenComm);
ADEXCEPT_CLASS(EDefault, EOpenComm);
ADEXCEPT_CLASS(EHardware, EOpenComm);
ADEXCEPT_CLASS(EMemory, EOpenComm);
ADEXCEPT_CLASS(ECommNotOpen, EOpenComm);
ADEXCEPT_CLASS(EAlreadyOpen, EOpenComm);
ADEXCEPT_CLASS(ENoHandles, EOpenComm);
ADEXCEPT_CLASS(ENoTimers, EOpenComm);
ADEXCEPT_CLASS(ENoPortSelected, EOpenComm);
ADEXCEPT_CLASS(ENotOpenedByTapi, EOpenComm);

ADEXCEPT_CLASS(ENullApi, ESerialIO);
ADEXCEPT_CLASS(ERegisterHandlerFailed, ESerialIO);
ADEXCEPT_CLASS(EPutBlockFail, ESerialIO);
ADEXCEPT_CLASS(EGetBlockFail, ESerialIO);
ADEXCEPT_CLASS(EOutputBufferTooSmall, ESerialIO);
ADEXCEPT_CLASS(EBufferIsEmpty, ESerialIO);
ADEXCEPT_CLASS(ETracingNotEnabled, ESerialIO);
ADEXCEPT_CLASS(ELoggingNotEnabled, ESerialIO);
ADEXCEPT_CLASS(EBaseAddressNotSet, ESerialIO);

ADEXCEPT_CLASS(EModemNotStarted, EModem);
ADEXCEPT_CLASS(EModemBusy, EModem);
ADEXCEPT_CLASS(EModemNotDialing, EModem);
ADEXCEPT_CLASS(EModemNotResponding, EModem);
ADEXCEPT_CLASS(EModemRejectedCommand, EModem);
ADEXCEPT_CLASS(EModemStatusMismatch, EModem);
ADEXCEPT_CLASS(EAlreadyDialing, EModem);
ADEXCEPT_CLASS(ENotDialing, EModem);

ADEXCEPT_CLASS(ENoMoreTriggers, ETrigger);
ADEXCEPT_CLASS(ETriggerTooLong, ETrigger);
ADEXCEPT_CLASS(EBadTriggerHandle, ETrigger);

ADEXCEPT_CLASS(EKeyTooLong, EINI);
ADEXCEPT_CLASS(EDataTooLarge, EINI);
ADEXCEPT_CLASS(EIniWrite, EINI);
ADEXCEPT_CLASS(EIniRead, EINI);
ADEXCEPT_CLASS(ERecordExists, EINI);
ADEXCEPT_CLASS(ERecordNotFound, EINI);
ADEXCEPT_CLASS(EDatabaseFull, EINI);
ADEXCEPT_CLASS(EDatabaseEmpty, EINI);
ADEXCEPT_CLASS(EBadFieldList, EINI);
ADEXCEPT_CLASS(EBadFieldForIndex, EINI);

ADEXCEPT_CLASS(EFaxBadFormat, EFax);
ADEXCEPT_CLASS(EBadGraphicsFormat, EFax);
ADEXCEPT_CLASS(EConvertAbort, EFax);
ADEXCEPT_CLASS(EUnpackAbort, EFax);
ADEXCEPT_CLASS(ECantMakeBitmap, EFax);
ADEXCEPT_CLASS(EInvalidPageNumber, EFax);
ADEXCEPT_CLASS(EFaxBadMachine, EFax);
ADEXCEPT_CLASS(EFaxBadModemResult, EFax);
ADEXCEPT_CLASS(EFaxTrainError, EFax);
ADEXCEPT_CLASS(EFaxInitError, EFax);
ADEXCEPT_CLASS(EFaxBusy, EFax);
ADEXCEPT_CLASS(EFaxVoiceCall, EFax);
ADEXCEPT_CLASS(EFaxDataCall, EFax);
ADEXCEPT_CLASS(EFaxNoDialTone, EFax);
ADEXCEPT_CLASS(EFaxNoCarrier, EFax);
ADEXCEPT_CLASS(EFaxSessionError, EFax);
ADEXCEPT_CLASS(EFaxPageError, EFax);

ADEXCEPT_CLASS(ETapiAllocated, ETapi);
ADEXCEPT_CLASS(ETapiBadDeviceID, ETapi);
ADEXCEPT_CLASS(ETapiBearerModeUnavail, ETapi);
ADEXCEPT_CLASS(ETapiCallUnavail, ETapi);
ADEXCEPT_CLASS(ETapiCompletionOverrun, ETapi);
ADEXCEPT_CLASS(ETapiConferenceFull, ETapi);
ADEXCEPT_CLASS(ETapiDialBilling, ETapi);
ADEXCEPT_CLASS(ETapiDialDialtone, ETapi);
ADEXCEPT_CLASS(ETapiDialPrompt, ETapi);
ADEXCEPT_CLASS(ETapiDialQuiet, ETapi);
ADEXCEPT_CLASS(ETapiIncompatibleApiVersion, ETapi);
ADEXCEPT_CLASS(ETapiIncompatibleExtVersion, ETapi);
ADEXCEPT_CLASS(ETapiIniFileCorrupt, ETapi);
ADEXCEPT_CLASS(ETapiInUse, ETapi);
ADEXCEPT_CLASS(ETapiInvalAddress, ETapi);
ADEXCEPT_CLASS(ETapiInvalAddressID, ETapi);
ADEXCEPT_CLASS(ETapiInvalAddressMode, ETapi);
ADEXCEPT_CLASS(ETapiInvalAddressState, ETapi);
ADEXCEPT_CLASS(ETapiInvalAppHandle, ETapi);
ADEXCEPT_CLASS(ETapiInvalAppName, ETapi);
ADEXCEPT_CLASS(ETapiInvalBearerMode, ETapi);
ADEXCEPT_CLASS(ETapiInvalCallComplMode, ETapi);
ADEXCEPT_CLASS(ETapiInvalCallHandle, ETapi);
ADEXCEPT_CLASS(ETapiInvalCallParams, ETapi);
ADEXCEPT_CLASS(ETapiInvalCallPrivilege, ETapi);
ADEXCEPT_CLASS(ETapiInvalCallSelect, ETapi);
ADEXCEPT_CLASS(ETapiInvalCallState, ETapi);
ADEXCEPT_CLASS(ETapiInvalCallStatelist, ETapi);
ADEXCEPT_CLASS(ETapiInvalCard, ETapi);
ADEXCEPT_CLASS(ETapiInvalCompletionID, ETapi);
ADEXCEPT_CLASS(ETapiInvalConfCallHandle, ETapi);
ADEXCEPT_CLASS(ETapiInvalConsultCallHandle, ETapi);
ADEXCEPT_CLASS(ETapiInvalCountryCode, ETapi);
ADEXCEPT_CLASS(ETapiInvalDeviceClass, ETapi);
ADEXCEPT_CLASS(ETapiInvalDeviceHandle, ETapi);
ADEXCEPT_CLASS(ETapiInvalDialParams, ETapi);
ADEXCEPT_CLASS(ETapiInvalDigitList, ETapi);
ADEXCEPT_CLASS(ETapiInvalDigitMode, ETapi);
ADEXCEPT_CLASS(ETapiInvalDigits, ETapi);
ADEXCEPT_CLASS(ETapiInvalExtVersion, ETapi);
ADEXCEPT_CLASS(ETapiInvalGroupID, ETapi);
ADEXCEPT_CLASS(ETapiInvalLineHandle, ETapi);
ADEXCEPT_CLASS(ETapiInvalLineState, ETapi);
ADEXCEPT_CLASS(ETapiInvalLocation, ETapi);
ADEXCEPT_CLASS(ETapiInvalMediaList, ETapi);
ADEXCEPT_CLASS(ETapiInvalMediaMode, ETapi);
ADEXCEPT_CLASS(ETapiInvalMessageID, ETapi);
ADEXCEPT_CLASS(ETapiInvalParam, ETapi);
ADEXCEPT_CLASS(ETapiInvalParkID, ETapi);
ADEXCEPT_CLASS(ETapiInvalParkMode, ETapi);
ADEXCEPT_CLASS(ETapiInvalPointer, ETapi);
ADEXCEPT_CLASS(ETapiInvalPrivSelect, ETapi);
ADEXCEPT_CLASS(ETapiInvalRate, ETapi);
ADEXCEPT_CLASS(ETapiInvalRequestMode, ETapi);
ADEXCEPT_CLASS(ETapiInvalTerminalID, ETapi);
ADEXCEPT_CLASS(ETapiInvalTerminalMode, ETapi);
ADEXCEPT_CLASS(ETapiInvalTimeout, ETapi);
ADEXCEPT_CLASS(ETapiInvalTone, ETapi);
ADEXCEPT_CLASS(ETapiInvalToneList, ETapi);
ADEXCEPT_CLASS(ETapiInvalToneMode, ETapi);
ADEXCEPT_CLASS(ETapiInvalTransferMode, ETapi);
ADEXCEPT_CLASS(ETapiLineMapperFailed, ETapi);
ADEXCEPT_CLASS(ETapiNoConference, ETapi);
ADEXCEPT_CLASS(ETapiNoDevice, ETapi);
ADEXCEPT_CLASS(ETapiNoDriver, ETapi);
ADEXCEPT_CLASS(ETapiNoMem, ETapi);
ADEXCEPT_CLASS(ETapiNoRequest, ETapi);
ADEXCEPT_CLASS(ETapiNotOwner, ETapi);
ADEXCEPT_CLASS(ETapiNotRegistered, ETapi);
ADEXCEPT_CLASS(ETapiOperationFailed, ETapi);
ADEXCEPT_CLASS(ETapiOperationUnavail, ETapi);
ADEXCEPT_CLASS(ETapiRateUnavail, ETapi);
ADEXCEPT_CLASS(ETapiResourceUnavail, ETapi);
ADEXCEPT_CLASS(ETapiRequestOverrun, ETapi);
ADEXCEPT_CLASS(ETapiStructureTooSmall, ETapi);
ADEXCEPT_CLASS(ETapiTargetNotFound, ETapi);
ADEXCEPT_CLASS(ETapiTargetSelf, ETapi);
ADEXCEPT_CLASS(ETapiUninitialized, ETapi);
ADEXCEPT_CLASS(ETapiUserUserInfoTooBig, ETapi);
ADEXCEPT_CLASS(ETapiReinit, ETapi);
ADEXCEPT_CLASS(ETapiAddressBlocked, ETapi);
ADEXCEPT_CLASS(ETapiBillingRejected, ETapi);
ADEXCEPT_CLASS(ETapiInvalFeature, ETapi);
ADEXCEPT_CLASS(ETapiNoMultipleInstance, ETapi);
ADEXCEPT_CLASS(ETapiBusy, ETapi);
ADEXCEPT_CLASS(ETapiNotSet, ETapi);
ADEXCEPT_CLASS(ETapiNoSelect, ETapi);
ADEXCEPT_CLASS(ETapiLoadFail, ETapi);
ADEXCEPT_CLASS(ETapiGetAddrFail, ETapi);
ADEXCEPT_CLASS(ETapiUnexpected, ETapi);
ADEXCEPT_CLASS(ETapiVoiceNotSupported, ETapi);
ADEXCEPT_CLASS(ETapiWaveFail, ETapi);
ADEXCEPT_CLASS(ETapiTranslateFail, ETapi);

ADEXCEPT_CLASS(ERasLoadFail, ERas);

#undef ADEXCEPT_CLASS

// Passes Result through when it is 0 or positive, or while Component (may be null) is being
// loaded. Otherwise throws: EOutOfMemory for -8, EInOutError for -162..-2, the code's own
// class for a code that has one, else EAPDException("Orvo exception") with ErrorCode() 0.
int32_t CheckException(const TComponent* Component, int32_t Result);

// ---------------------------------------------------------------------------------------
// Where caught exceptions end

using TExceptionHandler = std::function<void(const std::exception&)>;

class TExceptionHandlerSlot {
public:
  // Installs Handler (an empty one restores the default) and returns the previous one.
  TExceptionHandler Set(TExceptionHandler Handler);
  // Hands E to the handler; without one, or when it throws itself, reports E.what().
  void Handle(const std::exception& E);

private:
  std::mutex FLock;
  TExceptionHandler FHandler;
};
