// AdPort: the serial port component.
//
// Contract:
// - The port keeps line settings, flow control, trace and log settings and trigger events as
//   properties. Opening creates a dispatcher (AwUser.h) on the device layer the mode asks for
//   (AwWin32.h): tmOn works on the descriptor the line device stored in TapiHandle and reads
//   that device's line settings back into the properties; any other mode opens port
//   ComNumber ("\\.\COMn" through the port table), asking the installed port chooser when
//   the number is 0 and PromptForPort is set. While open, every setter forwards its value.
// - Open failures raise the exception of their code (AdExcept.h): -2011 no port chosen,
//   -3001 no device layer, -2012 tmOn without a handle, -2008 device in use, -2001 no such
//   device; the port is then closed with no dispatcher. While loading, Open only remembers
//   the wish and Loaded() carries it out (a failure there goes to the port exception
//   handler, so loading goes on).
// - An open port owns its device: closing it closes a handed-over descriptor too and sets
//   TapiHandle back to -1, so a stale descriptor is never taken twice.
// - Closing writes a running trace or log to TraceName / LogName; both then read tlOff. A
//   dump that fails does not keep the port open: it is raised once the port has closed.
//   Triggers are kept across a close and restored at the next open; Assign from an open
//   port hands its triggers to the next open of this one.
// - Dispatcher notices reach a hidden "awComWindow" window and become the On* events on the
//   thread that opened the port. A close requested from inside an event is finished when the
//   dispatcher's threads have ended (message 0x7E0A); Open set True meanwhile reopens then.
// - Everything belongs to the thread that owns the component tree.
#pragma once

#include "common/AdExcept.h"
#include "common/OoMisc.h"
#include "platform/Messages.h"
#include "port/AwUser.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

enum TTapiMode { tmNone, tmAuto, tmOn, tmOff };

enum TTraceLogState { tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause };

enum TDeviceLayer { dlWin32, dlWinsock };
using TDeviceLayers = unsigned; // bit (1 << layer) per supported layer

enum TParity { pNone, pOdd, pEven, pMark, pSpace };

enum THWFlowOptions { hwfUseDTR, hwfUseRTS, hwfRequireDSR, hwfRequireCTS };
using THWFlowOptionSet = unsigned; // bit (1 << option) per option
constexpr THWFlowOptionSet HWFlowBit(THWFlowOptions Option) {
  return 1u << Option;
}

enum TSWFlowOptions { swfNone, swfReceive, swfTransmit, swfBoth };

// OpenState values.
inline constexpr uint8_t ostClosed = 0;
inline constexpr uint8_t ostClosing = 1;
inline constexpr uint8_t ostOpen = 2;

// Notices of the port's own window and of window listeners.
inline constexpr uint32_t ApwPortOpen = 0x7E08;
inline constexpr uint32_t ApwPortClose = 0x7E09;
inline constexpr uint32_t ApwPortClosing = 0x7E0A;

inline constexpr uint32_t MaxTraceSize = 4000000;
inline constexpr uint32_t MaxLogSize = 16000000;

class TApdCustomComPort;

using TTriggerEvent =
    TEventSlot<void(TObject* CP, uint16_t Msg, uint16_t TriggerHandle, uint16_t Data)>;
using TTriggerAvailEvent = TEventSlot<void(TObject* CP, uint16_t Count)>;
using TTriggerDataEvent = TEventSlot<void(TObject* CP, uint16_t TriggerHandle)>;
using TTriggerStatusEvent = TTriggerDataEvent;
using TTriggerTimerEvent = TTriggerDataEvent;
using TTriggerLineErrorEvent = TEventSlot<void(TObject* CP, uint16_t Error, bool LineBreak)>;
using TWaitCharEvent = TEventSlot<void(TObject* CP, char Ch)>;

// Kinds of the extended listener callback.
enum TPortListenerKind { plOpened, plClosing, plClosed };

// A party told of open and close: by message when Window is set, else by one callback.
struct TApdPortListener {
  Platform::TWindowHandle Window = 0;
  std::function<void(TApdCustomComPort* Port, bool Opening)> Simple;
  std::function<void(TApdCustomComPort* Port, TPortListenerKind Kind)> Extended;
  bool WantsClosing = false; // selects Extended and the closing notice
  int Id = 0;                // given by AddListener
};

using TDispatcherFactory = std::function<TApdBaseDispatcher*(TApdCustomComPort* Port)>;

// The port selection dialog, as the component sees it: the program installs a chooser (the
// Qt dialog), tests a scripted one. Choose returns the modal result (1 OK) and, on OK, the
// port number. Without a chooser nothing is chosen.
class TPortChooser {
public:
  virtual ~TPortChooser() = default;
  virtual int Choose(uint16_t& ComNumber) = 0;
};
// Installs the chooser (not owned; nullptr removes it) and returns the previous one.
TPortChooser* SetPortChooser(TPortChooser* Chooser);
TPortChooser* PortChooser();

// Where exceptions raised by the port's events (and by an open carried out by Loaded) end:
// the program shows them, the default hands them to the program's log (platform/Log). Returns the
// previous handler; an empty function restores the default.
using TPortExceptionHandler = TExceptionHandler;
TPortExceptionHandler SetPortExceptionHandler(TPortExceptionHandler Handler);
void HandlePortException(const std::exception& E);

class TApdCustomComPort : public TApdBaseComponent {
public:
  explicit TApdCustomComPort(TComponent* AOwner = nullptr);
  ~TApdCustomComPort() override;

  // ----- Published properties
  TDeviceLayer DeviceLayer() const { return FDeviceLayer; }
  void SetDeviceLayer(TDeviceLayer Value);
  TDeviceLayers SupportedLayers() const { return FSupportedLayers; }
  uint16_t ComNumber() const { return FComNumber; }
  // On an open port: closes it, stores the number and opens it again with its triggers.
  void SetComNumber(uint16_t Value);
  int32_t Baud() const { return FBaud; }
  void SetBaud(int32_t Value);
  bool PromptForPort() const { return FPromptForPort; }
  void SetPromptForPort(bool Value) { FPromptForPort = Value; }
  TParity Parity() const { return FParity; }
  void SetParity(TParity Value);
  uint16_t DataBits() const { return FDataBits; }
  void SetDataBits(uint16_t Value);
  uint16_t StopBits() const { return FStopBits; }
  void SetStopBits(uint16_t Value);
  uint16_t InSize() const { return FInSize; }
  void SetInSize(uint16_t Value);
  uint16_t OutSize() const { return FOutSize; }
  void SetOutSize(uint16_t Value);
  bool AutoOpen() const { return FAutoOpen; }
  void SetAutoOpen(bool Value) { FAutoOpen = Value; }
  bool Open() const { return FOpen; }
  void SetOpen(bool Value);
  bool DTR() const { return FDTR; }
  void SetDTR(bool Value);
  bool RTS() const { return FRTS; }
  void SetRTS(bool Value);
  THWFlowOptionSet HWFlowOptions() const { return FHWFlowOptions; }
  void SetHWFlowOptions(THWFlowOptionSet Value);
  TSWFlowOptions SWFlowOptions() const { return FSWFlowOptions; }
  void SetSWFlowOptions(TSWFlowOptions Value);
  char XOnChar() const { return FXOnChar; }
  void SetXOnChar(char Value);
  char XOffChar() const { return FXOffChar; }
  void SetXOffChar(char Value);
  uint16_t BufferFull() const { return FBufferFull; }
  void SetBufferFull(uint16_t Value);
  uint16_t BufferResume() const { return FBufferResume; }
  void SetBufferResume(uint16_t Value);
  TTraceLogState Tracing() const { return FTracing; }
  void SetTracing(TTraceLogState Value);
  uint32_t TraceSize() const { return FTraceSize; }
  void SetTraceSize(uint32_t Value);
  const std::string& TraceName() const { return FTraceName; }
  void SetTraceName(const std::string& Value) { FTraceName = Value.substr(0, 255); }
  bool TraceHex() const { return FTraceHex; }
  void SetTraceHex(bool Value) { FTraceHex = Value; }
  bool TraceAllHex() const { return FTraceAllHex; }
  void SetTraceAllHex(bool Value) { FTraceAllHex = Value; }
  TTraceLogState Logging() const { return FLogging; }
  void SetLogging(TTraceLogState Value);
  uint32_t LogSize() const { return FLogSize; }
  void SetLogSize(uint32_t Value);
  const std::string& LogName() const { return FLogName; }
  void SetLogName(const std::string& Value) { FLogName = Value.substr(0, 255); }
  bool LogHex() const { return FLogHex; }
  void SetLogHex(bool Value) { FLogHex = Value; }
  bool LogAllHex() const { return FLogAllHex; }
  void SetLogAllHex(bool Value) { FLogAllHex = Value; }
  bool UseMSRShadow() const { return true; }
  virtual void SetUseMSRShadow(bool Value);
  bool UseEventWord() const { return FUseEventWord; }
  void SetUseEventWord(bool Value);
  uint16_t CommNotificationLevel() const { return FCommNotificationLevel; }
  void SetCommNotificationLevel(uint16_t Value) { FCommNotificationLevel = Value; }
  TTapiMode TapiMode() const { return FTapiMode; }
  void SetTapiMode(TTapiMode Value) { FTapiMode = Value; }
  bool RS485Mode() const { return FRS485Mode; }
  void SetRS485Mode(bool Value);

  // ----- Events (assign through the setters, so the dispatcher learns whether to notify)
  TNotifyEvent OnPortOpen;
  TNotifyEvent OnPortClose;
  const TTriggerEvent& OnTrigger() const { return FOnTrigger; }
  void SetOnTrigger(TTriggerEvent Value);
  const TTriggerAvailEvent& OnTriggerAvail() const { return FOnTriggerAvail; }
  void SetOnTriggerAvail(TTriggerAvailEvent Value);
  const TTriggerDataEvent& OnTriggerData() const { return FOnTriggerData; }
  void SetOnTriggerData(TTriggerDataEvent Value);
  const TTriggerStatusEvent& OnTriggerStatus() const { return FOnTriggerStatus; }
  void SetOnTriggerStatus(TTriggerStatusEvent Value);
  const TTriggerTimerEvent& OnTriggerTimer() const { return FOnTriggerTimer; }
  void SetOnTriggerTimer(TTriggerTimerEvent Value);
  const TTriggerLineErrorEvent& OnTriggerLineError() const { return FOnTriggerLineError; }
  void SetOnTriggerLineError(TTriggerLineErrorEvent Value);
  const TNotifyEvent& OnTriggerModemStatus() const { return FOnTriggerModemStatus; }
  void SetOnTriggerModemStatus(TNotifyEvent Value);
  const TNotifyEvent& OnTriggerOutbuffFree() const { return FOnTriggerOutbuffFree; }
  void SetOnTriggerOutbuffFree(TNotifyEvent Value);
  const TNotifyEvent& OnTriggerOutbuffUsed() const { return FOnTriggerOutbuffUsed; }
  void SetOnTriggerOutbuffUsed(TNotifyEvent Value);
  const TNotifyEvent& OnTriggerOutSent() const { return FOnTriggerOutSent; }
  void SetOnTriggerOutSent(TNotifyEvent Value);
  TWaitCharEvent OnWaitChar; // not published

  // ----- Unpublished state
  bool ForceApply() const { return FForceApply; }
  uint8_t OpenState() const { return FOpenState; }
  bool ReopenPending() const { return FReopenPending; }
  bool OpenAfterLoad() const { return FOpenAfterLoad; }
  bool TriggersSaved() const { return FTriggersSaved; }
  const TApdSavedTriggers& SavedTriggers() const { return FSavedTriggers; }
  Platform::TWindowHandle NotifyWindow() const { return FNotifyWindow; }
  const TDispatcherFactory& DispatcherFactory() const { return FDispatcherFactory; }
  void SetDispatcherFactory(TDispatcherFactory Value) { FDispatcherFactory = std::move(Value); }
  TApdBaseDispatcher* Dispatcher() const { return FDispatcher.get(); }
  // The descriptor of a connected call, stored by the line device; -1 for none.
  int TapiHandle() const { return FTapiHandle; }
  void SetTapiHandle(int Value) { FTapiHandle = Value; }
  uint8_t ThreadPriorityBoost() const { return FThreadPriorityBoost; }
  void SetThreadPriorityBoost(uint8_t Value);
  uint16_t AvailTriggerLength() const { return FAvailTriggerLength; }
  void SetAvailTriggerLength(uint16_t Value);

  // ----- Listeners: AddListener returns the id by which RemoveListener removes it.
  int AddListener(TApdPortListener Listener);
  bool RemoveListener(int Id);
  const std::vector<TApdPortListener>& Listeners() const { return FListeners; }

  // ----- Dispatcher access and forwarding
  // The dispatcher; a closed port with AutoOpen (not loading or designing) is opened first.
  TApdBaseDispatcher* ActiveDispatcher();
  // ActiveDispatcher, raising ECommNotOpen (-2007) when there is none.
  TApdBaseDispatcher* RequireDispatcher();
  uint16_t LineErrorCode();
  bool BreakReceived();
  void PurgeInput();
  void PurgeOutput();
  // The line device's names for the purges.
  void FlushInBuffer() { PurgeInput(); }
  void FlushOutBuffer() { PurgeOutput(); }
  virtual void YieldDevice();
  // The descriptor the open port works on (-1 when it has none).
  int DeviceHandle() const;
  // The device name in the dispatch log: "COM<n>" on opening, replaceable while open; ""
  // (and setting it does nothing) while there is no dispatcher.
  std::string DispatcherDeviceName() const;
  void SetDispatcherDeviceName(const std::string& Value);

  // ----- Trace and log (nothing while Closing)
  void TraceStart(uint32_t Size);
  void TraceDump(const std::string& Name, bool InHex);
  void TraceAppend(const std::string& Name, bool InHex);
  void TraceClear();
  void TraceStop();
  void TraceResume();
  void TracePause();
  void LogStart(uint32_t Size);
  void LogDump(const std::string& Name, bool InHex);
  void LogAppend(const std::string& Name, bool InHex);
  void LogClear();
  void LogStop();
  void LogResume();
  void LogPause();

  // ----- Event raisers (each calls its event when assigned)
  virtual void FireTrigger(uint16_t Msg, uint16_t TriggerHandle, uint16_t Data);
  virtual void FireTriggerAvail(uint16_t Count);
  virtual void FireTriggerData(uint16_t TriggerHandle);
  virtual void FireTriggerStatus(uint16_t TriggerHandle);
  virtual void FireTriggerTimer(uint16_t TriggerHandle);
  virtual void FireTriggerLineError(uint16_t Error, bool LineBreak);
  virtual void FireTriggerModemStatus();
  virtual void FireTriggerOutbuffFree();
  virtual void FireTriggerOutbuffUsed();
  virtual void FireTriggerOutSent();
  virtual void FireWaitChar(char Ch);

  void Assign(TPersistent* Source) override;
  void Loaded() override;

protected:
  virtual TApdBaseDispatcher* MakeDispatcher();
  virtual void LayerChanged() {}
  virtual void StartDevice();
  virtual void BindNotifyWindow(bool Bind);
  virtual void EnsurePortNumber();
  virtual void SyncHandlerMode();
  virtual void PerformClose();
  virtual void PerformOpen();
  virtual void NotifyOpened();
  virtual void NotifyClosed();
  virtual void NotifyClosing();

private:
  friend intptr_t ComWindowProc(Platform::TWindowHandle Window, uint32_t Message, uintptr_t WParam,
                                intptr_t LParam);
  bool LoadingOrDesigning() const;
  bool Closing() const { return FOpenState == ostClosing; }
  int32_t Check(int32_t Code) const;
  void ReadBackTapiDevice();
  // The end of a close: window, dispatcher and state.
  void FinishClose();
  bool AnyTriggerEventAssigned() const;

  // The trace and the log run one state machine and one set of operations; each brings its
  // own fields and dispatcher operations (AdPort.cpp).
  struct TRecorder;
  static const TRecorder TraceRecorder;
  static const TRecorder LogRecorder;
  void SetRecorderState(const TRecorder& R, TTraceLogState Value);
  void SetRecorderSize(const TRecorder& R, uint32_t Value);
  TApdBaseDispatcher* RecorderDispatcher();
  void RecorderStart(const TRecorder& R, uint32_t Size);
  void RecorderWrite(const TRecorder& R, bool Append, const std::string& Name, bool InHex);
  void RecorderClear(const TRecorder& R);
  void RecorderStop(const TRecorder& R);
  void RecorderResume(const TRecorder& R);
  void RecorderPause(const TRecorder& R);

  bool FForceApply = false;
  uint8_t FOpenState = ostClosed;
  bool FReopenPending = false;
  bool FOpenAfterLoad = false;
  std::vector<TApdPortListener> FListeners;
  int FNextListenerId = 1;
  bool FTriggersSaved = false;
  TApdSavedTriggers FSavedTriggers;
  Platform::TWindowHandle FNotifyWindow = 0;
  TDispatcherFactory FDispatcherFactory;
  TDeviceLayer FDeviceLayer = dlWin32;
  TDeviceLayers FSupportedLayers = 1u << dlWin32;
  std::unique_ptr<TApdBaseDispatcher> FDispatcher;
  int FTapiHandle = -1;
  uint8_t FThreadPriorityBoost = 0;
  uint16_t FAvailTriggerLength = 1;

  uint16_t FComNumber = 0;
  int32_t FBaud = 19200;
  bool FPromptForPort = true;
  TParity FParity = pNone;
  uint16_t FDataBits = 8;
  uint16_t FStopBits = 1;
  uint16_t FInSize = 4096;
  uint16_t FOutSize = 4096;
  bool FAutoOpen = true;
  bool FOpen = false;
  bool FDTR = true;
  bool FRTS = true;
  THWFlowOptionSet FHWFlowOptions = 0;
  TSWFlowOptions FSWFlowOptions = swfNone;
  char FXOnChar = 17;
  char FXOffChar = 19;
  uint16_t FBufferFull = 0;
  uint16_t FBufferResume = 0;
  TTraceLogState FTracing = tlOff;
  uint32_t FTraceSize = 10000;
  std::string FTraceName = "ORVO.TRC";
  bool FTraceHex = true;
  bool FTraceAllHex = false;
  TTraceLogState FLogging = tlOff;
  uint32_t FLogSize = 10000;
  std::string FLogName = "ORVO.LOG";
  bool FLogHex = true;
  bool FLogAllHex = false;
  bool FUseEventWord = true;
  uint16_t FCommNotificationLevel = 10;
  TTapiMode FTapiMode = tmAuto;
  bool FRS485Mode = false;

  TTriggerEvent FOnTrigger;
  TTriggerAvailEvent FOnTriggerAvail;
  TTriggerDataEvent FOnTriggerData;
  TTriggerStatusEvent FOnTriggerStatus;
  TTriggerTimerEvent FOnTriggerTimer;
  TTriggerLineErrorEvent FOnTriggerLineError;
  TNotifyEvent FOnTriggerModemStatus;
  TNotifyEvent FOnTriggerOutbuffFree;
  TNotifyEvent FOnTriggerOutbuffUsed;
  TNotifyEvent FOnTriggerOutSent;
};

// The published form of the port; it adds nothing.
class TApdComPort : public TApdCustomComPort {
public:
  using TApdCustomComPort::TApdCustomComPort;
};

// Round(Value * Num / Den) to the nearest integer, halves to even.
uint32_t RoundHalfEven(uint32_t Value, uint32_t Num, uint32_t Den);

// The first port among Owner's components in component order; a component that is not a
// port is searched the same way among its own components, and a port found there is the
// result. nullptr when there is none (or Owner is nullptr).
TApdCustomComPort* FindComPort(TComponent* Owner);
