// LineService: the state behind the line API - registrations, lines, calls and request ids -
// and the delivery of line messages.
//
// Contract: one instance per process, safe to call from any thread. A registration belongs to
// the thread that called Initialize: its messages are queued here and posted to a hidden
// window of that thread, and the callback runs when that thread pumps, one message per post,
// in order. A message whose line was closed or whose call was deallocated before it was
// dispatched is dropped, as an application expects after lineClose/lineDeallocateCall. The
// callback is never called with a lock held, so it may call back into the API.
// Modem events arrive on each open line's reader thread; opening and closing the modem (which
// may take seconds) happen without holding the service lock.
// A line of another kind (a SIP extension, a router's call monitor) reports whole calls
// (CallLine.h). It is started at its first lineOpen and kept, registered or connected, until
// the last registration shuts down, because the monitor closes and reopens its line after
// every call; a lineOpen fails while it is out of service (waiting up to FirstOutcomeMs for
// its first outcome), and it closes the open line (LINE_CLOSE) when it falls out of service.
// A lineOpen with RINGLET_OPENOPTION_BACKGROUND (Tapi.h) returns at once: the line's set-up
// (the modem's initialisation, the call line's first outcome) runs on a thread of the line
// and its outcome comes as LINE_REPLY; a line given up meanwhile (lineClose, lineShutdown)
// stops its set-up at the next step and lets its modem go then, and no reply follows;
// lineShutdown waits for that (moments), so that no set-up outlives the registration.
// Its calls that the application dropped or rejected are never offered again; those that
// rang while the line was closed are offered at the next open. It has no comm handle and
// never answers (lineAnswer fails); lineDevSpecific with RINGLET_DEVSPECIFIC_REJECT rejects
// where the kind can (a SIP line: 603), and fails at once where it cannot.
// On a modem, an offered call that the application dropped after its caller ID is over for it,
// but a later report of the same caller that changes who is calling (a mask of the number sent
// at the next ring) offers it again as an update: a new call handle with the same dwCallID and
// the merged caller ID, so that the application replaces what it showed.
// Rings: every RING of a modem line is a LINE_LINEDEVSTATE RINGING with the call's ring count in
// dwParam3, also for the rings of a call the application dropped (the phone still rings), and
// when the ringing stops (the ring time-out, the call answered or rejected) one more with
// dwParam3 = 0, Ringlet's own way of saying that the line is quiet again.
// A SIP or call monitor line rings the same way for the call it offered last: ring 1 comes
// with the offer (before its caller ID), a ring follows every RingCycleMs of the line's
// configuration while the call rings - also after the application dropped it - and ring 0
// once when it stops (cancelled, answered elsewhere, rejected, timed out, the connection
// lost). What came while the line was closed, or before the application asked for RINGING
// with lineSetStatusMessages, is told then: the count as it stands, or the end that the
// application has not heard (also one it lost by closing the line before it was delivered).
// On a modem, reject (RINGLET_DEVSPECIFIC_REJECT) ends an offered call without connecting it;
// while it runs a lineDrop waits for it. A call being dropped or rejected is never handed
// over: lineGetID "comm/datamodem" refuses it.
// Settings: lineGetDevConfig "comm/datamodem" (or "comm") gives a line's settings as text for
// people to read; "comm/datamodem/portname" gives a modem line's serial device alone (no open
// line needed), and LINEERR_INVALDEVICECLASS for a line without one.
#pragma once

#include "platform/Messages.h"
#include "telephony/CallLine.h"
#include "telephony/CallerId.h"
#include "telephony/ModemLine.h"
#include "telephony/Tapi.h"
#include "telephony/TelephonyConfig.h"

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace Telephony {

class TLineService {
public:
  static TLineService& Instance();
  // Closes every line and frees the service; for the library's unload only.
  static void DestroyInstance();

  LONG Initialize(HLINEAPP* app, LINECALLBACK callback, LPCSTR appName, DWORD* numDevs);
  LONG Shutdown(HLINEAPP app);
  LONG NegotiateApiVersion(HLINEAPP app, DWORD device, DWORD low, DWORD high, DWORD* version,
                           LINEEXTENSIONID* extension);
  LONG GetDevCaps(HLINEAPP app, DWORD device, DWORD version, DWORD extVersion, LINEDEVCAPS* caps);
  LONG Open(HLINEAPP app, DWORD device, HLINE* line, DWORD version, DWORD extVersion,
            DWORD_PTR instance, DWORD privileges, DWORD mediaModes);
  LONG Close(HLINE line);
  LONG SetStatusMessages(HLINE line, DWORD lineStates, DWORD addressStates);
  LONG GetStatusMessages(HLINE line, DWORD* lineStates, DWORD* addressStates);
  LONG GetLineDevStatus(HLINE line, LINEDEVSTATUS* status);
  LONG MakeCall(HLINE line, HCALL* call, LPCSTR address);
  LONG Accept(HCALL call);
  LONG Answer(HCALL call);
  LONG Drop(HCALL call);
  LONG DeallocateCall(HCALL call);
  LONG GetCallInfo(HCALL call, LINECALLINFO* info);
  LONG GetCallStatus(HCALL call, LINECALLSTATUS* status);
  LONG GetId(HLINE line, DWORD addressId, HCALL call, DWORD select, VARSTRING* id,
             LPCSTR deviceClass);
  LONG GetDevConfig(DWORD device, VARSTRING* config, LPCSTR deviceClass);
  LONG DevSpecific(HLINE line, DWORD addressId, HCALL call, LPVOID params, DWORD size);

  // How long the first lineOpen of a SIP or call monitor line waits for it to come into service.
  static constexpr uint32_t FirstOutcomeMs = 5000;

  // Closes every line and forgets every registration (the library is being unloaded).
  void ShutdownAll();

private:
  class TOpenLine;
  friend class TOpenLine;

  static constexpr DWORD NoDevice = ~DWORD{0};

  struct TLineMessage {
    DWORD Device = 0;
    DWORD Message = 0;
    DWORD_PTR Instance = 0;
    DWORD_PTR Param1 = 0, Param2 = 0, Param3 = 0;
    HLINE Line = 0;           // the message is dropped once this line is closed
    HCALL Call = 0;           // ... or this call deallocated
    DWORD RingsOf = NoDevice; // a call line's rings: the device whose count it tells
  };

  struct TRegistration {
    HLINEAPP Handle = 0;
    LINECALLBACK Callback = nullptr;
    Platform::TWindowHandle Window = 0;
    uint64_t Thread = 0;
    std::deque<TLineMessage> Queue;
  };

  // What a line device keeps between opens.
  struct TDevice {
    TLineConfig Config;
    std::string CallerIdCommand; // the command that last answered OK
    bool Voice = false;
    HLINE OpenLine = 0;         // set while opening, too
    bool SuppressRings = false; // an offered call was dropped: its rings are not a new call
    uint64_t LastSuppressedMs = 0;
    TCallerIdInfo DroppedCallerId; // what that call had reported (empty: nothing yet)
    DWORD DroppedCallId = 0;       // its call id, kept by a later report of the same caller
    DWORD CallRings = 0; // rings of the call ringing now as told to the application; 0: none
    // A SIP or call monitor line: runs from its first open until the last registration goes.
    std::shared_ptr<TCallLine> CallLine;
    std::set<uint64_t> Finished;         // its calls the application dropped or rejected
    std::map<uint64_t, DWORD> LineRings; // the rings of each of its calls still ringing
    uint64_t HeardCall = 0;              // the call whose rings the application hears; 0: none
    uint64_t ToldCall = 0;               // the call CallRings counts
  };

  struct TCall {
    HCALL Handle = 0;
    HLINE Line = 0;
    DWORD DeviceId = 0;
    DWORD State = LINECALLSTATE_IDLE;
    DWORD StateMode = 0;
    DWORD Origin = LINECALLORIGIN_INBOUND;
    DWORD MediaMode = LINEMEDIAMODE_DATAMODEM | LINEMEDIAMODE_UNKNOWN;
    DWORD Privilege = LINECALLPRIVILEGE_OWNER;
    DWORD CallId = 0;
    TCallerIdInfo CallerId;
    bool HasCallerId = false;
    std::string Dialled;
    bool Answering = false;
    DWORD AnswerRequest = 0;
    DWORD DropRequest = 0;
    uint64_t LineCall = 0;   // the call line's key
    DWORD RejectRequest = 0; // set while the line rejects the call
  };

  TLineService() = default;

  // Modem events, on the line's reader thread.
  void OnRing(HLINE line);
  void OnCallerId(HLINE line, const TCallerIdInfo& info);
  void OnResult(HLINE line, TModemResult result);
  void OnRingsStopped(HLINE line);
  void OnHungUp(HLINE line, bool confirmed);
  void OnRejected(HLINE line, bool confirmed);
  void OnCarrierLost(HLINE line);
  void OnGone(HLINE line);

  // Call line events, on the line's own thread.
  class TCallSink;
  void OnLineCallOffered(DWORD device, uint64_t key, const TCallerIdInfo& caller);
  void OnLineCallRinging(DWORD device, uint64_t key, uint32_t rings);
  void OnLineCallEnded(DWORD device, uint64_t key);
  void OnLineCallRejected(DWORD device, uint64_t key, bool done);
  void OnLineState(DWORD device, bool inService, const std::string& text);
  // The halves of lineOpen: the set-up without the lock, the rest with it.
  LONG SetUpLine(TOpenLine& line, std::string& command, bool& voice);
  LONG FinishOpen(TOpenLine& line, LONG result, const std::string& command, bool voice);
  std::shared_ptr<TCallLine> StartCallLine(DWORD deviceId);
  // A lineOpen with RINGLET_OPENOPTION_BACKGROUND: the set-up on the line's own thread.
  LONG OpenInBackground(TOpenLine& line, HLINE* lineOut, const std::string& command);
  void SetUpInBackground(TOpenLine& line, std::string command);
  void Abandon(HLINE handle);
  std::vector<std::unique_ptr<TOpenLine>> TakeParked(bool all);
  std::vector<std::shared_ptr<TCallLine>> TakeCallLines();
  static void StopCallLines(std::vector<std::shared_ptr<TCallLine>>& lines);

  // Everything below runs with FLock held.
  void LoadDevices();
  DWORD NewHandle();
  DWORD NewRequest();
  TRegistration* FindApp(HLINEAPP app);
  TOpenLine* FindLine(HLINE line);
  TCall* FindCall(HCALL call);
  TCall* CurrentCall(TOpenLine& line);
  bool RingBelongsToDroppedCall(TDevice& device);
  // Tells the application that the line stopped ringing, once per call.
  void PostRingsStopped(TOpenLine& line, TDevice& device);
  // The rings still coming are this call's caller, not a new call.
  void SuppressRingsOf(const TCall& call, TDevice& device);
  TCall* OfferCall(TOpenLine& line);
  // Offers the dropped call again with its caller ID as it now stands, under its call id.
  void OfferUpdate(TOpenLine& line, TDevice& device);
  bool IsCallLine(const TOpenLine& line) const;
  TOpenLine* OpenLineOf(DWORD device);
  void OfferWaitingCall(TOpenLine& line);
  // Tells the application what it has not heard of a call line's rings, once it listens.
  void TellRings(TDevice& device, TOpenLine* line);
  void StopHearing(TDevice& device, DWORD deviceId, uint64_t key);
  void RingsLost(const TLineMessage& message);
  std::string CallLineConfig(const TDevice& device) const;
  void Post(HLINEAPP app, const TLineMessage& message);
  void PostCallState(TCall& call, DWORD state, DWORD mode, DWORD privilege = 0);
  void PostDevState(TOpenLine& line, DWORD state, DWORD_PTR param2, DWORD_PTR param3);
  void PostReply(HLINE line, DWORD request, LONG result);
  std::unique_ptr<TOpenLine> TakeLine(HLINE line);

  // Runs on the registration's thread: delivers the oldest queued message.
  void Dispatch(HLINEAPP app);

  std::mutex FLock;
  std::vector<TDevice> FDevices;
  std::map<HLINEAPP, std::unique_ptr<TRegistration>> FApps;
  std::map<HLINE, std::unique_ptr<TOpenLine>> FLines;
  std::map<HCALL, TCall> FCalls;
  // Lines opened in the background that failed or were given up, kept until their set-up
  // thread has ended (a thread cannot wait for itself, and the caller must not wait for it).
  std::vector<std::unique_ptr<TOpenLine>> FParked;
  DWORD FNextHandle = 0x10000;
  DWORD FNextRequest = 0;
  DWORD FNextCallId = 0;
};

} // namespace Telephony
