// AwUser: the dispatcher under every open serial port.
//
// Contract:
// - TApdBaseDispatcher owns one open device (through the device operations a device layer
//   supplies, AwWin32.h), an 8192-byte input ring (the dispatch buffer), an output ring of
//   OutSize bytes, shadows of the modem-status and line-error state, the trigger and handler
//   lists, the dispatch log and the trace.
// - Three worker threads run while the port is open: the comm thread waits for device events,
//   the dispatch thread moves received bytes into the dispatch buffer and evaluates triggers
//   (after every event, and every 50 ms while a timer or status trigger is armed, sooner when
//   a timer trigger is due sooner; an open port with nothing armed sleeps until bytes or
//   device events come), the output thread writes queued output. While bytes keep arriving
//   during a pass, the dispatch thread takes and announces them in further rounds of the
//   same pass, as long as the dispatch buffer has room. Notices
//   0x7E01..0x7E04 reach window handlers as sends with a 3000 ms time-out, with the
//   dispatcher's handle in the high word of lParam.
// - Every public operation is for the thread that created the dispatcher (the main thread),
//   also from inside a handler; closing from inside a handler defers the release of the
//   buffers until the dispatch thread has ended. Waits for the workers pump that thread's
//   messages, so workers that hand work to it can finish.
// - Results are error codes of AdExcept (0 success, negative failure) where stated.
// - Locks: BufferLock may be held while MainLock is taken, MainLock while OutputLock is
//   taken, never the other way round. No lock is held while waiting for a worker to end.
//
// Sources: AwUser.cpp (core: registry, open/close, line control, status, buffers),
// AwUserThreads.cpp (the worker threads), AwUserTriggers.cpp (handlers, triggers, notices),
// AwUserLog.cpp (dispatch log and trace).
#pragma once

#include "platform/Messages.h"
#include "platform/SerialDevice.h"
#include "platform/Sync.h"
#include "platform/Threads.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class TApdCustomComPort;
class TApdBaseDispatcher;

// ---------------------------------------------------------------------------------------
// Notices sent to handlers (wParam / low word of lParam as noted).

inline constexpr uint32_t ApwTriggerAvail = 0x7E01;  // bytes announced / 0
inline constexpr uint32_t ApwTriggerData = 0x7E02;   // trigger handle / matched length
inline constexpr uint32_t ApwTriggerTimer = 0x7E03;  // trigger handle / 0
inline constexpr uint32_t ApwTriggerStatus = 0x7E04; // trigger handle / count or 0

// Size of the input ring, independent of the input queue size asked for.
inline constexpr uint32_t DispatchBufferSize = 8192;

// Time-outs and limits of the thread handshakes.
inline constexpr uint32_t ThreadStartWaitMs = 3000;
inline constexpr uint32_t FlushAckWaitMs = 5000;
inline constexpr uint32_t NoticeSendTimeoutMs = 3000;
inline constexpr uint32_t DispatchPassMs = 50;
inline constexpr uint32_t StopWaitTicks = 36; // of 55 ms, twice, for the dispatch thread

// Keep values of SetLineParams.
inline constexpr int32_t KeepBaud = 0;
inline constexpr uint8_t KeepParity = 5;
inline constexpr uint8_t KeepDataBits = 9;
inline constexpr uint8_t KeepStopBits = 3;

// OpenPort option bits.
inline constexpr uint8_t opDtrLevel = 0x01;
inline constexpr uint8_t opRtsLevel = 0x02;
inline constexpr uint8_t opDtrHandshake = 0x10;
inline constexpr uint8_t opRtsHandshake = 0x20;

// Hardware and software flow option bits (SetHardwareFlow, SetSoftwareFlow, GetFlowState).
inline constexpr uint32_t hfUseDtr = 0x01;
inline constexpr uint32_t hfUseRts = 0x02;
inline constexpr uint32_t hfRequireDsr = 0x04;
inline constexpr uint32_t hfRequireCts = 0x08;
inline constexpr uint32_t sfTransmit = 0x01;
inline constexpr uint32_t sfReceive = 0x02;

// Line functions of DeviceEscape.
inline constexpr int32_t efSetRts = 3;
inline constexpr int32_t efClrRts = 4;
inline constexpr int32_t efSetDtr = 5;
inline constexpr int32_t efClrDtr = 6;
inline constexpr int32_t efGetBaseAddress = 10;

// Device events the comm thread waits for (received byte, CTS, DSR, DCD, break, error, ring).
inline constexpr uint32_t DispatchEventMask = 0x01F9;
// Events after which the modem status is read again (CTS, DSR, DCD, ring, ring edge).
inline constexpr uint32_t ModemEventMask = 0x2138;

// Baud-code rule: driver baud codes to rates; any other value is the rate itself.
uint32_t BaudFromCode(uint32_t Value);

// The line settings the dispatcher keeps and a device layer applies. The last five flags
// are stored and read back only: a raw termios line is always binary, never checks parity
// on its own account, ignores DSR for input, keeps sending after an Xoff it sent and keeps
// null bytes.
struct TApdLineSettings {
  uint32_t Baud = 9600; // a rate, or a driver baud code (BaudFromCode)
  uint8_t DataBits = 8;
  Platform::TParity Parity = Platform::paNone;
  Platform::TStopBits StopBits = Platform::sbOne;
  Platform::TDtrControl DtrControl = Platform::dtrOn;
  Platform::TRtsControl RtsControl = Platform::rtsOn;
  bool CtsOutFlow = false;
  bool DsrOutFlow = false;
  bool XonXoffOut = false;
  bool XonXoffIn = false;
  uint8_t XonChar = 0x11;
  uint8_t XoffChar = 0x13;
  uint16_t XonLimit = 0;
  uint16_t XoffLimit = 0;
  bool Binary = true;
  bool ParityCheck = false;
  bool DsrSensitivity = false;
  bool TxContinueOnXoff = true;
  bool NullStrip = false;

  bool operator==(const TApdLineSettings&) const = default;
};

// Device status as the device layer reports it; OutQueue is the dispatcher's own output ring.
struct TApdCommStatus {
  uint32_t Flags = 0;
  uint32_t InQueue = 0;
  uint32_t OutQueue = 0;
};

// ---------------------------------------------------------------------------------------
// Handlers and triggers (AwUserTriggers.cpp)

using TApdNotifyProc = void (*)(uint32_t Msg, uintptr_t WParam, intptr_t LParam);
using TApdNotifyMethod = std::function<void(uint32_t Msg, uintptr_t WParam, intptr_t LParam)>;

struct TApdWindowHandler {
  Platform::TWindowHandle Window = 0;
  bool Removed = false;
};

struct TApdProcHandler {
  TApdNotifyProc Proc = nullptr;
  bool Removed = false;
};

struct TApdMethodHandler {
  const void* Object = nullptr; // identifies the handler for removal
  TApdNotifyMethod Method;
  bool Removed = false;
  bool OnMainThread = false;
};

struct TApdTimerTrigger {
  int32_t Handle = 0;
  uint32_t StartTicks = 0;
  uint32_t ExpireTicks = 0;
  uint32_t Reserved1 = 0; // not consulted by the dispatcher
  uint32_t Reserved2 = 0;
  bool Active = false;
};

inline constexpr int DataTriggerSlots = 22;
inline constexpr int MaxTriggerText = 24;
// Triggers of one kind a dispatcher keeps at most (bounds the per-byte matching cost).
inline constexpr int MaxTriggersPerList = 64;

struct TApdDataTrigger {
  int32_t Handle = 0;
  int32_t Length = 0; // 0 = disabled
  int32_t Progress[DataTriggerSlots] = {};
  int32_t Matched = 0; // -1 or 0
  int32_t IgnoreCase = 0;
  char Text[MaxTriggerText] = {};
};

enum TApdStatusTriggerType : int32_t {
  stNotActive,
  stModem,
  stLine,
  stOutBuffFree,
  stOutBuffUsed,
  stOutSent
};

struct TApdStatusTrigger {
  int32_t Handle = 0;
  int32_t Type = stNotActive;
  uint16_t Value = 0;
  bool Armed = false;
  bool Hit = false;
};

// Triggers kept by the port across a recreation of its dispatcher; a list that was never
// saved is absent.
struct TApdSavedTriggers {
  int32_t AvailThreshold = 0;
  std::optional<std::vector<TApdTimerTrigger>> TimerTriggers;
  std::optional<std::vector<TApdDataTrigger>> DataTriggers;
  std::optional<std::vector<TApdStatusTrigger>> StatusTriggers;
};

// ---------------------------------------------------------------------------------------
// Dispatch log (AwUserLog.cpp)

enum TDispatchType : uint8_t {
  dtNone,
  dtDispatch,
  dtTrigger,
  dtError,
  dtThread,
  dtTriggerAlloc,
  dtTriggerDispose,
  dtTriggerHandlerAlloc,
  dtTriggerHandlerDispose,
  dtTriggerDataChange,
  dtTelnet,
  dtFax,
  dtXModem,
  dtYModem,
  dtZModem,
  dtKermit,
  dtAscii,
  dtBPlus,
  dtPacket,
  dtUser,
  dtScript
};

enum TDispatchSubType : uint8_t {
  dstNone,
  dstReadCom,
  dstWriteCom,
  dstLineStatus,
  dstModemStatus,
  dstAvail,
  dstTimer,
  dstData,
  dstStatus,
  dstThreadStart,
  dstThreadExit,
  dstThreadSleep,
  dstThreadWake,
  dstDataTrigger,
  dstTimerTrigger,
  dstStatusTrigger,
  dstAvailTrigger,
  dstWndHandler,
  dstProcHandler,
  dstEventHandler
};

// The 16-byte header of a log entry; Length data bytes follow it in the ring.
struct TApdLogEntryHeader {
  uint8_t Kind = 0;
  uint8_t SubKind = 0;
  uint16_t Reserved = 0;
  uint32_t Time = 0; // ms since LogStartTime
  uint32_t Data = 0;
  uint32_t Length = 0;
};
static_assert(sizeof(TApdLogEntryHeader) == 16);

inline constexpr uint32_t DefaultLogSize = 10000;
inline constexpr uint32_t DefaultTraceSize = 10000;
inline constexpr uint32_t MaxTraceCapacity = 4000000;

// ---------------------------------------------------------------------------------------
// Worker threads (AwUserThreads.cpp)

// A worker of one dispatcher. The dispatcher owns the object; the system thread ends on its
// own (the dispatcher joins it before it frees the object).
class TApdDispatcherThread {
public:
  explicit TApdDispatcherThread(TApdBaseDispatcher* Dispatcher);
  virtual ~TApdDispatcherThread();
  TApdDispatcherThread(const TApdDispatcherThread&) = delete;
  TApdDispatcherThread& operator=(const TApdDispatcherThread&) = delete;

  void Start();
  // Whether the body has returned (the thread may then be joined at once).
  bool Finished() const;
  void Join();
  bool SetPriority(Platform::TThreadPriority Priority);
  Platform::TThreadPriority Priority() const;

  // Runs Method(Msg, Trigger, LParam) on the dispatcher's main thread and waits until it has
  // run there (the worker blocks; the main thread runs it when it pumps). Called on this
  // thread only.
  void SyncNotify(uint32_t Msg, uintptr_t Trigger, intptr_t LParam, const TApdNotifyMethod& Method);

protected:
  virtual void Execute() = 0;

  TApdBaseDispatcher* H; // the dispatcher served
  // The notice being handed to the main thread by SyncNotify.
  uint32_t pMsg = 0;
  uintptr_t pTrigger = 0;
  intptr_t plParam = 0;
  const TApdNotifyMethod* pMethod = nullptr;

private:
  friend class TApdBaseDispatcher;
  // SyncNotify's call travels as this message to the dispatcher's hidden window; wParam is
  // the worker.
  static constexpr uint32_t SyncCallMessage = Platform::WM_USER + 0x7E0;
  std::exception_ptr FSyncError; // raised by a method run through SyncNotify
  std::unique_ptr<Platform::TThread> FThread;
};

class TComThread : public TApdDispatcherThread {
public:
  using TApdDispatcherThread::TApdDispatcherThread;

protected:
  void Execute() override;
};

class TDispThread : public TApdDispatcherThread {
public:
  using TApdDispatcherThread::TApdDispatcherThread;

protected:
  void Execute() override;
};

class TOutThread : public TApdDispatcherThread {
public:
  using TApdDispatcherThread::TApdDispatcherThread;

protected:
  void Execute() override;
};

// ---------------------------------------------------------------------------------------
// Dispatcher registry: process-wide list of live dispatchers, indexed by DispatcherHandle.

// Hold this while using a dispatcher found by its handle.
Platform::TCriticalSection& DispatcherListLock();
// The dispatcher with this handle, nullptr for none; call with DispatcherListLock() held.
TApdBaseDispatcher* DispatcherFromHandle(int32_t Handle);
// Slots in the list (trailing empty slots are trimmed); for diagnostics and tests.
int32_t DispatcherListCount();

// ---------------------------------------------------------------------------------------
// The dispatcher

class TApdBaseDispatcher {
  friend class TApdDispatcherThread;
  friend class TComThread;
  friend class TDispThread;
  friend class TOutThread;

public:
  // Registers the dispatcher; the calling thread becomes its main thread.
  explicit TApdBaseDispatcher(TApdCustomComPort* Owner);
  virtual ~TApdBaseDispatcher();
  TApdBaseDispatcher(const TApdBaseDispatcher&) = delete;
  TApdBaseDispatcher& operator=(const TApdBaseDispatcher&) = delete;

  // ----- Lifecycle (AwUser.cpp)
  // DeviceName nullptr for a handed-over device. Parity 0..4, StopBits 1 or 2, Options opXxx.
  int32_t OpenPort(const char* DeviceName, int32_t Baud, uint8_t Parity, uint8_t DataBits,
                   uint8_t StopBits, uint32_t InSize, uint32_t OutSize, uint8_t Options);
  void ClosePort();

  // ----- Line control (AwUser.cpp)
  int32_t SetLineParams(int32_t Baud, uint8_t Parity, uint8_t DataBits, uint8_t StopBits);
  int32_t GetLineParams(int32_t& Baud, int16_t& Parity, uint8_t& DataBits, uint8_t& StopBits);
  int32_t SetDtr(bool Level);
  int32_t SetRts(bool Level);
  int32_t SetHardwareFlow(uint32_t BufferFull, uint32_t BufferResume, uint32_t Options);
  int32_t SetSoftwareFlow(uint32_t BufferFull, uint32_t BufferResume, uint32_t Options);
  int32_t SoftwareFlowOff();
  int32_t SetFlowChars(uint8_t XOn, uint8_t XOff);
  int32_t GetFlowState(uint32_t& HwOptions, uint32_t& SwOptions, uint8_t& XOn, uint8_t& XOff);
  int32_t SetupQueues(uint32_t InSize, uint32_t OutSize);
  void SetOptionBits(uint32_t Mask);
  void ClearOptionBits(uint32_t Mask);
  // The output thread's and the workers' priorities (AwUserThreads.cpp).
  void SetRs485(bool On);
  virtual void ApplyThreadBoost(uint8_t Boost); // slot 16

  // ----- Status (AwUser.cpp)
  uint8_t ReadModemStatus(uint8_t KeepMask);
  uint8_t ModemStatus();
  void RefreshModemDeltas();
  void RefreshLineErrors();
  uint8_t LineErrorCode();
  bool BreakReceived();
  uint32_t InputUsed();
  uint32_t OutputUsed();
  uint32_t OutputFree();
  int32_t PurgeOutput();
  int32_t PurgeInput();

  // ----- Data (AwUser.cpp)
  // Queues Count bytes for output and never waits: Count; ecOutputBufferTooSmall when the
  // ring has not that much room free now; ecNotOpen when the port is closed.
  int32_t PutBlock(const void* Data, uint32_t Count);
  // Takes up to Count received bytes; inside a data notice it reads at tail + ReadCount and
  // advances ReadCount (every handler of a notice sees the same bytes), otherwise it moves
  // the tail. Result: bytes taken.
  uint32_t GetBlock(void* Data, uint32_t Count);
  // Copies up to Count received bytes without taking them.
  uint32_t PeekBlock(void* Data, uint32_t Count);

  // ----- Handlers and triggers (AwUserTriggers.cpp)
  void RegisterWindowHandler(Platform::TWindowHandle Window);
  void RemoveWindowHandler(Platform::TWindowHandle Window);
  void RegisterProcHandler(TApdNotifyProc Proc);
  void RemoveProcHandler(TApdNotifyProc Proc);
  void RegisterMethodHandler(const void* Object, TApdNotifyMethod Method, bool OnMainThread);
  void RemoveMethodHandler(const void* Object);
  virtual void RefreshHandlerFlags(int32_t Mode); // slot 17
  void SetAvailThreshold(int32_t Count);
  void ClearTriggers();
  void SaveTriggers(TApdSavedTriggers& Saved);
  void RestoreTriggers(const TApdSavedTriggers& Saved);
  static void FreeSavedTriggers(TApdSavedTriggers& Saved);
  void ResetStatusHits();
  void ResetDataMatches();
  bool SendNotice(uint32_t Message, uintptr_t WParam, uint32_t Value);
  static bool MatchByte(int32_t* Progress, uint8_t Byte, int32_t Length, bool IgnoreCase,
                        const char* Text);
  bool CheckDataTriggers();
  bool CheckTimerTriggers();
  bool CheckStatusTriggers();
  // Single triggers, ours: a new trigger's handle (> 0), or ecNoMoreTriggers, ecTriggerTooLong
  // (more than DataTriggerSlots characters), ecBadTriggerHandle, ecBadArgument. A new timer
  // or status trigger is idle until set; Ticks of 55 ms, at most MaxTimerTicks.
  int32_t AddTimerTrigger();
  int32_t SetTimerTrigger(int32_t Handle, uint32_t Ticks, bool Activate);
  int32_t AddDataTrigger(const char* Text, bool IgnoreCase);
  int32_t AddStatusTrigger(int32_t Type);
  int32_t SetStatusTrigger(int32_t Handle, uint16_t Value, bool Activate);
  int32_t RemoveTrigger(int32_t Handle);

  // ----- Dispatch log (AwUserLog.cpp)
  void StartLog(uint32_t Size);
  void ClearLog();
  void PauseLog();
  void ResumeLog();
  void DiscardLog();
  void AddLogEntry(uint8_t Kind, uint8_t SubKind, uint32_t DataLength, const void* DataBytes,
                   uint32_t DataValue);
  int32_t DumpLog(const std::string& FileName, bool Append, bool InHex, bool AllHex);
  int32_t WriteLog(const std::string& FileName, bool InHex, bool AllHex);
  int32_t AppendLog(const std::string& FileName, bool InHex, bool AllHex);

  // ----- Trace (AwUserLog.cpp)
  int32_t StartTrace(uint32_t Capacity);
  int32_t ClearTrace();
  void PauseTrace();
  void ResumeTrace();
  void DiscardTrace();
  void AddTraceEntry(char Tag, uint8_t Ch);
  // Count characters with one tag ('T' sent, 'R' received) under one lock.
  void AddTraceBytes(char Tag, const void* Data, uint32_t Count);
  int32_t DumpTrace(const std::string& FileName, bool Append, bool InHex, bool AllHex);
  int32_t WriteTrace(const std::string& FileName, bool InHex, bool AllHex);
  int32_t AppendTrace(const std::string& FileName, bool InHex, bool AllHex);

  // Posts Message (wParam 0, LParam) to Window once no worker runs any more, at once when
  // none does; a later call replaces a notice still pending.
  void PostWhenThreadsEnded(Platform::TWindowHandle Window, uint32_t Message, intptr_t LParam);

  // ----- Read-only views
  TApdCustomComPort* Owner() const { return FOwner; }
  int32_t DispatcherHandle() const { return FDispatcherHandle; }
  int32_t DeviceHandle() const { return FDeviceHandle.load(); }
  bool DispatchFull();
  uint32_t LineErrors() const { return FLineErrors.load(); }
  bool ThreadsRunning() const { return FThreadsRunning.load(); }
  bool CloseDeferred() const { return FCloseDeferred.load(); }
  bool InDispatch() const { return FInDispatch.load(); }
  int32_t LiveThreads() const { return FLiveThreads.load(); }
  uint32_t LastBaudRate() const { return FLastBaudRate; }
  uint32_t OptionBits() const { return FOptionBits; }
  bool Rs485On() const { return FRs485On; }
  uint8_t BoostLevel() const { return FBoostLevel; }
  TApdLineSettings LineSettings(); // the working copy, under MainLock
  const std::string& DeviceName() const { return FDeviceName; }
  void SetDeviceName(const std::string& Value) { FDeviceName = Value; }

protected:
  // ----- Device operations (slots 0..15), supplied by a device layer
  virtual int32_t DeviceEscape(int32_t Function) = 0;                   // 0
  virtual int32_t DevicePurge(int32_t Queue) = 0;                       // 1
  virtual int32_t DeviceErrors(TApdCommStatus& Status) = 0;             // 2
  virtual int32_t DeviceReadFailed(int32_t Code) = 0;                   // 3
  virtual int32_t DeviceGetState(TApdLineSettings& Settings) = 0;       // 4
  virtual int32_t DeviceRead(void* Buffer, uint32_t Count) = 0;         // 5
  virtual int32_t DeviceSetState(const TApdLineSettings& Settings) = 0; // 6
  virtual int32_t DeviceWrite(const void* Buffer, uint32_t Count) = 0;  // 7
  // Blocks until device events in Mask's sense arrive (stored in Mask) or the wait is
  // cancelled (DeviceCancelWait) or fails: false.
  virtual bool DeviceWaitEvent(std::atomic<uint32_t>& Mask) = 0;                       // 8
  virtual bool DeviceSetupQueues(uint32_t InSize, uint32_t OutSize) = 0;               // 9
  virtual void ReleaseBuffers();                                                       // 10
  virtual void StartThreads() = 0;                                                     // 11
  virtual void StopThreads() = 0;                                                      // 12
  virtual int32_t DeviceOpen(const char* Name, uint32_t InSize, uint32_t OutSize) = 0; // 13
  virtual int32_t DeviceClose() = 0;                                                   // 14
  virtual int32_t DeviceIdle() = 0;                                                    // 15

  // Transmit path of the output thread: write what the device takes now (bytes, or -1 on
  // failure), and wait until it takes more or DeviceWakeTransmit() is called (false when
  // woken or the device failed).
  virtual int32_t DeviceTransmit(const uint8_t* Data, uint32_t Count) = 0;
  // > 0 the device takes more, 0 woken (or nothing to report), < 0 the device failed.
  virtual int32_t DeviceAwaitTransmit() = 0;
  virtual void DeviceWakeTransmit() = 0;
  // Ends a DeviceWaitEvent in progress (clearing the device event mask).
  virtual void DeviceCancelWait() = 0;
  // Whether output written to the device has left it.
  virtual bool DeviceOutputDrained() = 0;
  // ms* bits of CTS, DSR, RI and DCD; 0 when the device has no modem lines.
  virtual uint32_t DeviceModemStatus() = 0;

  // Closes the port (or finishes a deferred close), waits until every worker has ended and
  // joins them. Every class that overrides a device operation calls it first thing in its
  // destructor, so that no worker calls into a half-destroyed object; later calls do
  // nothing.
  void DestroyDispatcher();

  // ----- Core helpers (AwUser.cpp)
  int32_t ApplyDcb(TApdLineSettings& Settings);
  bool FillDispatchBuffer();
  // One round of a pass: device events in Mask, the fill, status and data triggers.
  void HandleCommEvent(uint32_t Mask);
  void PollTriggers();
  // A pass of the dispatch thread: rounds while bytes keep coming, then, for a device event,
  // the ack that lets the comm thread wait again.
  void DispatchPass();
  // Whether the device holds bytes the dispatch buffer has room for, after a round that
  // read some.
  bool MoreInputWaiting();
  // How long the dispatch thread may sleep before a trigger needs a pass (INFINITE: none).
  uint32_t NextPassWait();
  // Wakes the dispatch thread for a pass without a device event (a trigger armed, a stop).
  void WakeDispatchThread();
  void DrainOutput();
  // The flush request to the output thread, also waking a transmit wait.
  void SignalFlushRequest();

  // ----- Worker helpers (AwUserThreads.cpp)
  void ThreadEnded(TApdDispatcherThread* Thread);
  // The shared body of the device layers' StartThreads / StopThreads.
  void StartDispatcherThreads();
  void StopDispatcherThreads();
  // Pumps the calling thread's messages until Done() or the time-out (INFINITE: none).
  bool PumpUntil(const std::function<bool()>& Done, uint32_t TimeoutMs);
  void WakeMainThread();

  // ----- Log and trace helpers (AwUserLog.cpp)
  bool PutLogBytes(const void* Bytes, uint32_t Count);
  bool TakeLogEntry(TApdLogEntryHeader& Header, uint8_t* Data, uint32_t& Length);

  // ----- Fields, in the order of the dispatcher's record
  TApdCustomComPort* FOwner;
  int32_t FDispatcherHandle = -1;
  std::atomic<int32_t> FDeviceHandle{-1};
  std::atomic<uint32_t> FLineErrors{0}; // changed from several threads: atomic bit ops
  uint32_t InQueueSize = 0;
  uint32_t OutQueueSize = 0;
  uint32_t ModemStatusByte = 0; // MainLock
  TApdCommStatus CommStatus;    // OutputLock
  TApdLineSettings Dcb;         // MainLock
  uint32_t FLastBaudRate = 0;
  uint32_t FOptionBits = 0;
  bool DtrLevel = false;
  bool DtrByHandshake = false;
  bool RtsLevel = false;
  bool RtsByHandshake = false;
  bool FRs485On = false;
  uint16_t UartBase = 0;
  bool PortHandlerPresent = false;
  std::atomic<bool> HandlersNeedService{false};
  std::vector<TApdWindowHandler> WindowHandlers;    // MainLock
  std::vector<TApdProcHandler> ProcedureHandlers;   // MainLock
  std::vector<TApdMethodHandler> MethodHandlers;    // MainLock
  std::vector<TApdTimerTrigger> TimerTriggerList;   // MainLock
  std::vector<TApdDataTrigger> DataTriggerList;     // MainLock
  std::vector<TApdStatusTrigger> StatusTriggerList; // MainLock
  uint32_t ScanPosition = 0;                        // dispatch thread
  std::atomic<int32_t> AvailThreshold{0};
  bool StatusHitThisRound = false; // dispatch thread
  bool CountingReads = false;      // BufferLock
  uint32_t ReadCount = 0;          // BufferLock
  uint32_t MaxReadCount = 0;       // BufferLock
  bool FDispatchFull = false;      // BufferLock
  // The received count (FReceivedTotal) at the bytes the last avail notice covered; a count
  // rather than a ring position, so that a whole ring's worth of new bytes, which brings the
  // head back to the same position, is still announced.
  uint64_t AvailNotifiedAt = 0; // dispatch thread
  uint64_t FReceivedTotal = 0;  // BufferLock; bytes put into the dispatch buffer since open
  uint32_t FLastFill = 0;       // dispatch thread; bytes the last fill read
  std::atomic<bool> KillFlag{false};
  std::atomic<TApdDispatcherThread*> CommThread{nullptr};
  std::atomic<TApdDispatcherThread*> DispatchThread{nullptr};
  std::atomic<TApdDispatcherThread*> OutputThread{nullptr};
  uint8_t FBoostLevel = 0;
  Platform::TCriticalSection MainLock;
  Platform::TCriticalSection OutputLock;
  Platform::TCriticalSection BufferLock;
  // The events live as long as the dispatcher, so a late worker never waits on a freed
  // one; "creating" them at open resets them.
  Platform::TEvent CommEvent{false};
  Platform::TEvent CommAck{false};
  Platform::TEvent ThreadReady{false};
  Platform::TEvent OutputReady{false};
  Platform::TEvent WriteDone{true};
  Platform::TEvent FlushRequest{false};
  // The output thread has let go of its run after a flush request. Of its own, because
  // ThreadReady is set by any worker that ends (the comm thread, when the device vanishes).
  Platform::TEvent FlushAck{false};
  // A pass of the dispatch thread without a device event: a trigger was armed, room was made
  // in a full dispatch buffer, or a stop.
  Platform::TEvent PassWake{false};
  std::array<Platform::TEvent*, 2> IdleWait{&OutputReady, &FlushRequest};
  std::array<Platform::TEvent*, 2> WriteWait{&WriteDone, &FlushRequest};
  std::atomic<uint32_t> EventMask{0};
  std::atomic<bool> RingSeen{false};
  std::unique_ptr<uint8_t[]> OutputRing; // OutputLock
  uint32_t OutHead = 0;                  // OutputLock
  uint32_t OutTail = 0;                  // OutputLock
  bool OutFull = false;                  // OutputLock
  uint32_t OutPurges = 0;                // OutputLock; a run taken before a purge is void
  std::unique_ptr<uint8_t[]> DispatchBuffer;
  uint32_t DispHead = 0; // BufferLock
  uint32_t DispTail = 0; // BufferLock
  std::atomic<bool> FInDispatch{false};
  bool RemovalsPending = false; // MainLock
  std::atomic<bool> FCloseDeferred{false};
  std::atomic<bool> OutputSentPending{false};
  // Trace (MainLock)
  bool TracingOn = false;
  std::unique_ptr<uint8_t[]> TraceRing; // TraceCapacity pairs (tag, character)
  uint32_t TraceHead = 0;
  uint32_t TraceCapacity = 0;
  bool TraceWrapped = false;
  // Dispatch log (MainLock)
  bool LoggingOn = false;
  std::unique_ptr<uint8_t[]> LogRing;
  uint32_t LogHead = 0;
  uint32_t LogTail = 0;
  uint32_t LogFree = 0;
  uint32_t LogRingSize = 0;
  std::unique_ptr<uint8_t[]> LogScratch;
  uint32_t LogScratchSize = 0;
  uint32_t LogStartTime = 0;
  int32_t NextTriggerHandle = 1; // MainLock
  std::atomic<bool> FThreadsRunning{false};
  std::atomic<bool> ReleasePending{false};
  std::atomic<int32_t> FLiveThreads{0};
  std::string FDeviceName;

  // Of our own: the thread that created the dispatcher (it runs SyncNotify calls and is
  // woken when a worker ends), the hidden window that carries SyncNotify calls to it, the
  // thread waiting in StopThreads (woken when a worker ends), the worker objects (joined
  // before they are freed) and a guard against a second StopThreads running meanwhile.
  uint64_t FMainThreadId = 0;
  Platform::TWindowHandle FSyncWindow = 0;
  std::atomic<uint64_t> FStopperThreadId{0};
  std::array<std::unique_ptr<TApdDispatcherThread>, 3> FWorkers; // comm, dispatch, output
  std::mutex FEndLock; // a worker's ending: its reference, LiveThreads, ThreadsRunning
  struct TEndNotice {
    Platform::TWindowHandle Window = 0;
    uint32_t Message = 0;
    intptr_t LParam = 0;
  };
  std::optional<TEndNotice> FEndNotice; // FEndLock
  bool FDestroyed = false;
  // The pass running on the dispatch thread answers a device event (only such a pass
  // releases the comm thread for its next wait: a timer pass may have read the device
  // before the event's bytes came).
  bool FEventPass = false;
  // An output purge is emptying the ring: the output thread starts no new run meanwhile.
  std::atomic<bool> FOutputPurge{false};
};
