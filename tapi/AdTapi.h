// AdTapi: the line device component. It registers with the telephony library (loaded at run
// time through AdTUtil), lists the usable lines, opens the chosen line in answer mode, follows
// the line messages, reads the caller ID, hands an answered call's modem to the serial port
// component, and reports status steps and log codes to an attached display and call log.
//
// Contract:
// - Everything runs on the thread that created the component (the user-interface thread):
//   the library posts line messages to that thread's queue and TapiLineCallback runs while it
//   pumps. The two waits pump themselves, so handlers (and the application's events) run
//   nested inside other handlers; an OnTapiCallerID handler may call StopCall and
//   StartAnswering. Closing, InReplyWait and InStateWait keep those nested calls safe.
// - An answered call's modem goes to the port only while the call is up: a CONNECTED state
//   that arrives while the call is being hung up opens nothing. While the port has it, a
//   trigger on the modem's NO CARRIER in the received data ends the call (HangUp) once the
//   line message that was running has finished; the trigger goes when the port closes.
// - Events that must follow the line message that caused them are posted to the component's
//   hidden window as TapiEventMessage (32437). OnTapiFail is raised at most once per attempt
//   (an opening of the line): a report left over from an attempt that a handler already
//   ended and restarted belongs to that attempt, not to the new one.
// - Once the destructor has begun, no event handler runs any more; the line is still closed.
// - Tested TAPI results raise the AdExcept class of -(13800 + n); exceptions escaping a line
//   message or a deferred event go to the application's exception handler, never further.
// - Every size and offset read from a record the library filled is checked against the
//   record's dwTotalSize and the block really allocated; a faulty record reads as empty text.
// - The registration is recorded in the registry store under TapiRegistryKey as "$" + the
//   process id (8 upper-case hex digits) = LineApp; values of processes that are gone are
//   removed at the next registration, values of running processes are kept.
#pragma once

#include "common/AdExcept.h"
#include "common/OoMisc.h"
#include "platform/Messages.h"
#include "port/AdPort.h"
#include "tapi/AdTUtil.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <vector>

inline constexpr uint32_t TapiEventMessage = 32437;
// wParam of TapiEventMessage.
inline constexpr uintptr_t teConnect = 0, tePortOpen = 1, tePortClose = 2, teFail = 3,
                           teLineCreate = 4, teFarEndGone = 5, teAnswering = 6;
// What the modem of a connected call sends, in the data, when the far end has gone.
inline constexpr const char* FarEndGoneText = "\r\nNO CARRIER\r\n";

// The longest reply or call-state wait, and the pause before retrying a registration that
// the library asked to re-initialise.
inline constexpr uint32_t DefaultTapiWaitLimit = 30000;
inline constexpr uint32_t DefaultTapiReinitPause = 5000;

inline constexpr const char* TapiRegistryKey = "SOFTWARE\\Quillwork\\Orvo\\TAPI";

// The wave device notifications the event window turns into OnTapiWaveNotify.
inline constexpr uint32_t MM_WOM_OPEN = 0x3BB;
inline constexpr uint32_t MM_WOM_CLOSE = 0x3BC;
inline constexpr uint32_t MM_WOM_DONE = 0x3BD;
inline constexpr uint32_t MM_WIM_OPEN = 0x3BE;
inline constexpr uint32_t MM_WIM_CLOSE = 0x3BF;
inline constexpr uint32_t MM_WIM_DATA = 0x3C0;

enum TTapiLogCode {
  ltapiNone,
  ltapiCallStart,
  ltapiCallFinish,
  ltapiDial,
  ltapiAccept,
  ltapiAnswer,
  ltapiConnect,
  ltapiCancel,
  ltapiDrop,
  ltapiBusy,
  ltapiDialFail,
  ltapiReceivedDigit
};

enum TWaveMessage { waPlayOpen, waPlayDone, waPlayClose, waRecordOpen, waDataReady, waRecordClose };

class TApdCustomTapiDevice;
class TApdAbstractTapiStatus;
class TApdTapiLog;

using TTapiStatusEvent = TEventSlot<void(TObject* CP, bool First, bool Last, int Device,
                                         int Message, int Param1, int Param2, int Param3)>;
using TTapiLogEvent = TEventSlot<void(TObject* CP, TTapiLogCode Log)>;
using TTapiDTMFEvent = TEventSlot<void(TObject* CP, char Digit, int ErrorCode)>;
using TTapiCallerIDEvent =
    TEventSlot<void(TObject* CP, const std::string& ID, const std::string& IDName)>;
// The outcome of BeginAnswering: 0 when the line is open and answering, else the error code
// StartAnswering would have raised (an AdExcept code) and the line closed.
using TTapiAnsweringEvent = TEventSlot<void(TObject* CP, int ErrorCode)>;
using TTapiWaveNotify = TEventSlot<void(TObject* CP, TWaveMessage Msg)>;
using TTapiWaveSilence = TEventSlot<void(TObject* CP, bool& StopRecording, bool& Hangup)>;

struct TapiConfigRec {
  uint32_t DataSize = 0;
  uint8_t Data[1024] = {};
};

// ---------------------------------------------------------------------------------------
// The application's exception handler: exceptions caught in the line callback and in the
// event window end there. The default hands the message to the program's log (platform/Log).
// Returns the previous handler; an empty function restores the default.
using TApplicationExceptionHandler = TExceptionHandler;
TApplicationExceptionHandler SetApplicationExceptionHandler(TApplicationExceptionHandler Handler);
void HandleApplicationException(const std::exception& E);

// ---------------------------------------------------------------------------------------
// The device selection dialog, as the component sees it: the program installs a chooser
// (the Qt dialog), tests install a scripted one. Without a chooser every choice is refused.
struct TDeviceChooserRequest {
  bool ShowTapiDevices = true;
  bool ShowPorts = false;
  bool FilterUnsupportedDevices = false;
  bool EnableVoice = false;
  TTapiMode TapiMode = tmAuto; // tmOff: preselect the port ComNumber, else SelectedDevice
  uint16_t ComNumber = 0;
  std::string SelectedDevice;
};

struct TDeviceChooserResult {
  int ModalResult = 2;         // 1 OK, 2 cancel
  TTapiMode TapiMode = tmAuto; // tmOff: a direct port was chosen
  uint16_t ComNumber = 0;
  std::string SelectedDevice;
};

class TDeviceChooser {
public:
  virtual ~TDeviceChooser() = default;
  virtual TDeviceChooserResult Choose(const TDeviceChooserRequest& Request) = 0;
};

// Installs the chooser (not owned; nullptr removes it) and returns the previous one.
TDeviceChooser* SetDeviceChooser(TDeviceChooser* Chooser);
TDeviceChooser* DeviceChooser();

// ---------------------------------------------------------------------------------------
// The line device

class TApdCustomTapiDevice : public TApdBaseComponent {
public:
  explicit TApdCustomTapiDevice(TComponent* AOwner = nullptr);
  ~TApdCustomTapiDevice() override;

  void Loaded() override;
  void Notification(TComponent* AComponent, TOperation Operation) override;
  void Assign(TPersistent* Source) override;

  // Published properties.
  const std::string& SelectedDevice() const { return FSelectedDevice; }
  void SetSelectedDevice(const std::string& Value);
  TApdCustomComPort* ComPort() const { return FComPort; }
  void SetComPort(TApdCustomComPort* Value);
  TApdAbstractTapiStatus* StatusDisplay() const { return FStatusDisplay; }
  void SetStatusDisplay(TApdAbstractTapiStatus* Value);
  TApdTapiLog* TapiLog() const { return FTapiLog; }
  void SetTapiLog(TApdTapiLog* Value);
  uint8_t AnswerOnRing() const { return FAnswerOnRing; }
  void SetAnswerOnRing(uint8_t Value) { FAnswerOnRing = Value; }
  uint16_t RetryWait() const { return FRetryWait; }
  void SetRetryWait(uint16_t Value) { FRetryWait = Value; }
  uint16_t MaxAttempts() const { return FMaxAttempts; }
  void SetMaxAttempts(uint16_t Value) { FMaxAttempts = Value; }
  bool ShowTapiDevices() const { return FShowTapiDevices; }
  void SetShowTapiDevices(bool Value) { FShowTapiDevices = Value; }
  bool ShowPorts() const { return FShowPorts; }
  void SetShowPorts(bool Value) { FShowPorts = Value; }
  bool EnableVoice() const { return FEnableVoice; }
  void SetEnableVoice(bool Value);
  bool FilterUnsupportedDevices() const { return FFilterUnsupportedDevices; }
  void SetFilterUnsupportedDevices(bool Value);

  TTapiStatusEvent OnTapiStatus;
  TTapiLogEvent OnTapiLog;
  TNotifyEvent OnTapiPortOpen;
  TNotifyEvent OnTapiPortClose;
  TNotifyEvent OnTapiConnect;
  TNotifyEvent OnTapiFail;
  TTapiDTMFEvent OnTapiDTMF;
  TTapiCallerIDEvent OnTapiCallerID;
  TTapiWaveNotify OnTapiWaveNotify;
  TTapiWaveSilence OnTapiWaveSilence;
  TTapiAnsweringEvent OnTapiAnswering;

  // Device list and selection.
  void BuildDeviceList();
  // The id of the line named Name (case-sensitive, filter not applied), -1 for none.
  int FindDeviceID(const std::string& Name);
  // Sets DeviceID from SelectedDevice, taking a lone listed line or asking the chooser;
  // raises ETapiNoSelect (-13930) when nothing is chosen.
  void ResolveDeviceID();
  int ChooseDevice(); // 1 OK, 2 cancel
  TapiConfigRec ReadModemConfig();

  // Line and call handling.
  bool InitTapi(); // true when registered afterwards
  void ShutdownTapi();
  void SetLineOpen(bool Value);
  void StartAnswering();
  // StartAnswering without waiting for the line's set-up, which the library runs on a thread
  // of the line (a silent modem takes several command time-outs): what StartAnswering checks,
  // and what the library refuses at once, raises here; the set-up's outcome follows as
  // OnTapiAnswering, never inside this call. StopCall (or another start) meanwhile gives the
  // opening up, and no outcome is told. A library without background opening opens at once.
  void BeginAnswering();
  bool LineOpening() const { return FOpenRequest != 0; }
  void StopCall();
  LONG WaitForReply(LONG RequestID); // 0, a LINEERR value, 1 line gone, 2 timed out
  int WaitForCallState(DWORD State); // 0 reached, 1 line gone or nested, 2 timed out
  int CurrentCallState();            // bit position of the call's state, 0 without a call
  void RefreshCallInfo(HCALL Call);
  void HangUp(bool NoRedial);

  // Reports.
  void DoStatus(bool First, bool Last, DWORD Device, DWORD Message, DWORD_PTR Param1,
                DWORD_PTR Param2, DWORD_PTR Param3);
  void DoLog(TTapiLogCode Code);

  // The caller-ID texts of the held call information ("" without one).
  std::string CallerIDNumber() const;
  std::string CallerIDName() const;

  // State, read-only.
  HLINEAPP LineApp() const { return FLineApp; }
  HLINE LineHandle() const { return FLineHandle; }
  HCALL CallHandle() const { return FCallHandle; }
  int DeviceID() const { return FDeviceID; }
  DWORD APIVersion() const { return FAPIVersion; }
  DWORD DeviceCount() const { return FDeviceCount; }
  int ListedCount() const { return FListedCount; }
  const std::vector<std::string>& DeviceList() const { return FDeviceList; }
  bool LineOpen() const { return FLineOpen; }
  bool TapiActive() const { return FTapiActive; }
  bool Connected() const { return FConnected; }
  bool Answering() const { return FAnswering; }
  bool FailReported() const { return FFailReported; } // for the current attempt
  DWORD LastCallState() const { return FLastCallState; }
  DWORD DisconnectReason() const { return FDisconnectReason; }
  const TTapiRecord<LINECALLINFO>& CallInfo() const { return FCallInfo; }
  Platform::TWindowHandle EventWindow() const { return FEventWindow; }
  bool StatusSuppressed() const { return FStatusSuppressed; }
  void SetStatusSuppressed(bool Value) { FStatusSuppressed = Value; }
  bool WaveInterrupt() const { return FWaveInterrupt; }
  void SetWaveInterrupt(bool Value) { FWaveInterrupt = Value; }

  // The two waits' limit and the re-initialisation pause, in ms (tests shorten them).
  uint32_t WaitLimit() const { return FWaitLimit; }
  void SetWaitLimit(uint32_t Value) { FWaitLimit = Value; }
  uint32_t ReinitPause() const { return FReinitPause; }
  void SetReinitPause(uint32_t Value) { FReinitPause = Value; }

  // The line callback registered with lineInitialize.
  static void TapiLineCallback(DWORD Device, DWORD Message, DWORD_PTR Instance, DWORD_PTR Param1,
                               DWORD_PTR Param2, DWORD_PTR Param3);

protected:
  // One handler per line message, in slot order.
  virtual void LineCallInfo(DWORD Device, DWORD_PTR Param1, DWORD_PTR Param2, DWORD_PTR Param3);
  virtual void LineCallState(DWORD Device, DWORD_PTR Param1, DWORD_PTR Param2, DWORD_PTR Param3);
  virtual void LineClose(DWORD Device, DWORD_PTR Param1, DWORD_PTR Param2, DWORD_PTR Param3);
  virtual void LineCreate(DWORD Device, DWORD_PTR Param1, DWORD_PTR Param2, DWORD_PTR Param3);
  virtual void LineDevState(DWORD Device, DWORD_PTR Param1, DWORD_PTR Param2, DWORD_PTR Param3);
  virtual void LineGenerate(DWORD Device, DWORD_PTR Param1, DWORD_PTR Param2, DWORD_PTR Param3);
  virtual void LineMonitorDigits(DWORD Device, DWORD_PTR Param1, DWORD_PTR Param2,
                                 DWORD_PTR Param3);
  virtual void LineMonitorMedia(DWORD Device, DWORD_PTR Param1, DWORD_PTR Param2, DWORD_PTR Param3);
  virtual void LineMonitorTone(DWORD Device, DWORD_PTR Param1, DWORD_PTR Param2, DWORD_PTR Param3);
  virtual void LineReply(DWORD Device, DWORD_PTR Param1, DWORD_PTR Param2, DWORD_PTR Param3);
  virtual void LineRequest(DWORD Device, DWORD_PTR Param1, DWORD_PTR Param2, DWORD_PTR Param3);

  // Messages of the event window not handled above; WM_QUERYENDSESSION answers 1.
  virtual intptr_t DispatchWindowMessage(uint32_t Message, uintptr_t WParam, intptr_t LParam);

private:
  friend class TApdAbstractTapiStatus;
  friend class TApdTapiLog;

  static void SetLive(TApdCustomTapiDevice* Device, bool Live);
  void ClearEvents();
  intptr_t EventWindowProc(uint32_t Message, uintptr_t WParam, intptr_t LParam);
  void HandleLineMessage(DWORD Device, DWORD Message, DWORD_PTR Param1, DWORD_PTR Param2,
                         DWORD_PTR Param3);
  void DeferredEvent(uintptr_t Which, intptr_t LParam);
  void WaveNotification(uint32_t Message);
  void PostEvent(uintptr_t Which, intptr_t LParam = 0);
  LONG CheckTapi(LONG Result);
  static int TapiErrorCode(LONG Result);
  void PrepareAnswering();
  LONG FollowOpenedLine();
  void LineOpened(LONG Result);
  bool Negotiate(HLINEAPP App, DWORD ID);
  bool HasWaveDevice(DWORD ID, const LINEDEVCAPS& Caps);
  void VoiceCheck();
  void SwitchPortMode(TApdCustomComPort* Port);
  void AttachStatus(TApdAbstractTapiStatus* Value);
  void AttachLog(TApdTapiLog* Value);
  void OpenTapiPort();
  bool CloseTapiPort();
  void WatchFarEnd();
  void StopWatchingFarEnd();
  int GetCommHandle();
  void EndOfCallReport(bool WasConnected);
  void PumpOnce();

  std::string FSelectedDevice;
  TApdCustomComPort* FComPort = nullptr;
  TApdAbstractTapiStatus* FStatusDisplay = nullptr;
  TApdTapiLog* FTapiLog = nullptr;
  uint8_t FAnswerOnRing = 2;
  uint16_t FRetryWait = 60;
  uint16_t FMaxAttempts = 3;
  uint16_t FAttempt = 0;
  bool FShowTapiDevices = true;
  bool FShowPorts = true;
  bool FEnableVoice = false;
  bool FFilterUnsupportedDevices = true;

  HLINEAPP FLineApp = 0;
  HLINE FLineHandle = 0;
  HCALL FCallHandle = 0;
  int FDeviceID = -1;
  LINEEXTENSIONID FExtensionID{};
  DWORD FAPIVersion = 0;
  DWORD FDeviceCount = 0;
  int FListedCount = 0;
  std::vector<std::string> FDeviceList;
  TTapiRecord<LINECALLINFO> FCallInfo;
  std::string FDialNumber;

  bool FLineOpen = false;
  bool FEverOpened = false;
  bool FTapiActive = false;
  bool FConnected = false;
  bool FClosing = false;
  bool FInitializing = false;
  bool FAnswering = false;
  bool FCancelled = false;
  bool FDialing = false;
  DWORD FLastCallState = 0;
  bool FStateChanged = false;
  LONG FOpenRequest = 0;  // the LINE_REPLY that ends a background opening
  LONG FOpenedAtOnce = 0; // the outcome of one the library did not run in the background
  LONG FReplyID = 0;
  LONG FReplyResult = 0;
  bool FReplyReceived = false;
  bool FInReplyWait = false;
  bool FInStateWait = false;
  bool FFailReported = false;
  // Each opening of the line (and each report on a closed one) is an attempt of its own; a
  // failure report carries its attempt, so that a late one cannot use up a later one's.
  uint32_t FAttemptId = 0;
  uint32_t FFailReportedAttempt = 0;
  DWORD FDisconnectReason = 0;
  bool FStatusSuppressed = false;
  bool FWaveInterrupt = true;
  bool FWavePlaying = false;
  uint32_t FWaitLimit = DefaultTapiWaitLimit;
  uint32_t FReinitPause = DefaultTapiReinitPause;

  // Voice settings (kept for the wave handling; nothing starts playback or recording here).
  uint16_t FWaveChannels = 1;
  uint32_t FWaveSampleRate = 8000;
  uint16_t FWaveBitsPerSample = 16;
  uint32_t FMaxMessageLength = 60;
  uint32_t FSilenceThreshold = 50;
  uint32_t FConsecutiveSilence = 2;

  Platform::TWindowHandle FEventWindow = 0;
  // The port's NO CARRIER trigger and the listener that removes it when the port closes.
  int32_t FFarEndTrigger = 0;
  int FFarEndListener = 0;
};

class TApdTapiDevice : public TApdCustomTapiDevice {
public:
  using TApdCustomTapiDevice::TApdCustomTapiDevice;
};

// ---------------------------------------------------------------------------------------
// Status display

enum TPosition {
  poDesigned,
  poDefault,
  poDefaultPosOnly,
  poDefaultSizeOnly,
  poScreenCenter,
  poDesktopCenter,
  poMainFormCenter,
  poOwnerFormCenter
};

// The form a concrete status display drives.
class TTapiStatusForm {
public:
  virtual ~TTapiStatusForm() = default;
  virtual TPosition Position() const = 0;
  virtual void SetPosition(TPosition Value) = 0;
  virtual bool Ctl3D() const = 0;
  virtual void SetCtl3D(bool Value) = 0;
  virtual bool Visible() const = 0;
  virtual void SetVisible(bool Value) = 0;
  virtual std::string Caption() const = 0;
  virtual void SetCaption(const std::string& Value) = 0;
};

// A status display: receives every status step of its device. A concrete display supplies
// CreateDisplay/DestroyDisplay (setting Display()) and UpdateDisplay; it calls InitDisplay()
// at the end of its constructor and DoneDisplay() at the start of its destructor, since a
// base class cannot reach the derived operations there. Destroyed, it detaches itself.
class TApdAbstractTapiStatus : public TApdBaseComponent {
public:
  explicit TApdAbstractTapiStatus(TComponent* AOwner = nullptr);
  ~TApdAbstractTapiStatus() override;

  virtual void UpdateDisplay(bool First, bool Last, DWORD Device, DWORD Message, DWORD Param1,
                             DWORD Param2, DWORD Param3) = 0;

  TPosition Position() const { return FPosition; }
  void SetPosition(TPosition Value);
  bool Ctl3D() const { return FCtl3D; }
  void SetCtl3D(bool Value);
  bool Visible() const { return FVisible; }
  void SetVisible(bool Value);
  const std::string& Caption() const { return FCaption; }
  void SetCaption(const std::string& Value);
  TApdCustomTapiDevice* TapiDevice() const { return FTapiDevice; }
  void SetTapiDevice(TApdCustomTapiDevice* Value);
  bool Answering() const { return FAnswering; }
  void SetAnswering(bool Value) { FAnswering = Value; }
  TTapiStatusForm* Display() const { return FDisplay; }

  void Notification(TComponent* AComponent, TOperation Operation) override;

protected:
  friend class TApdCustomTapiDevice;
  virtual void CreateDisplay() {}
  virtual void DestroyDisplay() {}
  void SetDisplay(TTapiStatusForm* Value) { FDisplay = Value; }
  void InitDisplay();
  void DoneDisplay();

private:
  TPosition FPosition = poScreenCenter;
  bool FCtl3D = true;
  bool FVisible = false;
  std::string FCaption;
  TApdCustomTapiDevice* FTapiDevice = nullptr;
  TTapiStatusForm* FDisplay = nullptr;
  bool FAnswering = false;
};

// ---------------------------------------------------------------------------------------
// Call log: one line per log code in the call history file (text, appended, closed after
// every line). Raises EInOutError when the file cannot be opened or written.
class TApdTapiLog : public TApdBaseComponent {
public:
  explicit TApdTapiLog(TComponent* AOwner = nullptr);
  ~TApdTapiLog() override;

  virtual void UpdateLog(TTapiLogCode Log);

  const std::string& TapiHistoryName() const { return FTapiHistoryName; }
  void SetTapiHistoryName(const std::string& Value) { FTapiHistoryName = Value; }
  TApdCustomTapiDevice* TapiDevice() const { return FTapiDevice; }
  void SetTapiDevice(TApdCustomTapiDevice* Value);

  void Notification(TComponent* AComponent, TOperation Operation) override;

private:
  friend class TApdCustomTapiDevice;
  std::string FTapiHistoryName = "ORVOTAPI.HIS";
  TApdCustomTapiDevice* FTapiDevice = nullptr;
};

// The text a log code writes after " : " (with the number being dialled for ltapiDial).
std::string TapiLogText(TTapiLogCode Log, const std::string& DialNumber = std::string());
