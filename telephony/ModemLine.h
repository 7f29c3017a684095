// ModemLine: one open AT modem - its initialisation, a reader thread that turns what the modem
// sends into events, answering, rejecting, dialling, hanging up, the hand-over of its
// descriptor and the idle AT check.
//
// Contract: Open() initialises the modem synchronously (reset, echo off, verbose results,
// caller ID on with the configured or first accepted command, voice probe) and fails with a
// LINEERR value within a few command time-outs, or at once after Abort() from another
// thread; the reader thread runs from StartReading() until Close(), so that the owner counts
// the line as open before its first event comes.
// Rings and caller ID that arrive while a command waits for its answer (the init's, or a
// check's) are kept and handled in order by the reader, never dropped.
// Events are delivered on the reader thread, never while a lock of this object is held, so a
// handler may call back into Answer/Reject/Dial/HangUp/HandOver (which never block). Close()
// joins the reader thread and must not be called from it; it hangs up a call still in progress.
// Reject() cuts a ringing caller off without a data call: ATH1, RejectHoldMs off hook, ATH0;
// a modem that refuses ATH1 answers instead (ATA, CONNECT awaited at most RejectAnswerMs) and
// is hung up at once. Either way the descriptor is never handed over, rings and caller ID of
// the rejected call are not reported, and OnModemRejected follows with the line idle again.
// HandOver() refuses while a hang-up is asked for or running. A hang-up of a handed-over
// descriptor first asks the modem a bare AT: one that is back in command mode (its owner read
// NO CARRIER) needs no +++ escape.
// The modem is "ringing" from a RING or caller-ID line until RingTimeoutMs pass without one;
// then OnModemRingsStopped follows. While the descriptor is handed over nothing is read;
// carrier loss is watched where the device has modem lines. A vanished device or a modem that
// fails the idle check ends the reader with OnModemGone; nothing ever spins.
#pragma once

#include "platform/SerialDevice.h"
#include "telephony/CallerId.h"
#include "telephony/Tapi.h"
#include "telephony/TelephonyConfig.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace Telephony {

class TModemLineEvents {
public:
  virtual ~TModemLineEvents() = default;
  virtual void OnModemRing(const std::string& distinctive) = 0;
  virtual void OnModemCallerId(const TCallerIdInfo& info) = 0;
  // A result that ends or changes a call being answered, dialled or connected.
  virtual void OnModemResult(TModemResult result) = 0;
  virtual void OnModemRingsStopped() = 0;
  virtual void OnModemHungUp(bool confirmed) = 0;
  // A Reject() is done and the line idle; confirmed false when the modem did not confirm it.
  virtual void OnModemRejected(bool confirmed) = 0;
  virtual void OnModemCarrierLost() = 0;
  // The device vanished (silent = false) or stopped answering the idle check (silent = true).
  virtual void OnModemGone(bool silent) = 0;
};

// The caller-ID commands tried in order when a line names none.
extern const char* const DefaultCallerIdCommands[4];

// How long a rejected call is held off hook: long enough for the exchange to see it answered.
inline constexpr uint32_t RejectHoldMs = 1000;
// How long a modem that answers to reject (no ATH1) may take to CONNECT.
inline constexpr uint32_t RejectAnswerMs = 3000;

class TModemLine {
public:
  TModemLine(const TLineConfig& config, TModemLineEvents& events);
  ~TModemLine();
  TModemLine(const TModemLine&) = delete;
  TModemLine& operator=(const TModemLine&) = delete;

  // preferred: a caller-ID command known to work (tried first); on success it holds the one
  // that answered OK (empty when none did) and voice whether the modem offers voice class 8.
  LONG Open(std::string& preferred, bool& voice);
  // Before StartReading: the line was ringing until lastRingMs (a call the owner heard on an
  // earlier open), so its ring time-out ends with OnModemRingsStopped as if it rang here.
  void ContinueRinging(uint64_t lastRingMs);
  // Starts the reader thread after a successful Open.
  void StartReading();
  // Makes an Open running on another thread give up at once; the line is not used again.
  void Abort();
  void Close();

  bool Answer();
  // Starts rejecting the ringing call; false when the line is not idle.
  bool Reject();
  bool Dial(const std::string& digits);
  void HangUp();
  // A descriptor of the modem for the caller to own and close; -1 when no call is connected.
  int HandOver();
  bool HasModemLines() const { return FDevice.HasModemLines(); }
  const std::string& DevicePath() const { return FConfig.Device; }

private:
  enum TMode { mdIdle, mdAnswering, mdRejecting, mdDialing, mdConnected, mdHandedOver, mdGone };

  void Run();
  bool WaitOnce(uint64_t now);
  void ReadAvailable(uint64_t now);
  void HandleEvents(const TModemEvents& events, uint64_t now);
  void HandleResult(TModemResult result);
  void CheckTimers(uint64_t now);
  void CheckCarrier();
  void DoHangUp();
  void DoReject();
  bool AnswerToHangUp();
  // Out of a connected call's data mode: DTR dropped where the device has the wire, else the
  // +++ escape with its guard times (after a bare AT when the modem may be in command mode).
  void LeaveDataMode(bool mayBeInCommandMode);
  bool ResetAfterFailedHangUp();
  void BackToIdle();
  void Gone(bool silent);
  bool Stopping();

  TModemResult Command(const std::string& command, uint32_t timeoutMs,
                       std::vector<std::string>* info = nullptr);
  // Reads until OK or ERROR (with anyResult, any result line: CONNECT, NO CARRIER...); other
  // lines go to info; mrNone after timeoutMs or when gone.
  TModemResult AwaitResult(uint32_t timeoutMs, std::vector<std::string>* info = nullptr,
                           bool anyResult = false);
  // Reads for timeoutMs, tracing what comes and acting on none of it; false when gone.
  bool Listen(uint32_t timeoutMs);
  bool WriteText(const std::string& text);
  void TraceIncoming(const char* data, size_t size);
  uint32_t WaitTimeout(uint64_t now);

  const TLineConfig FConfig;
  TModemLineEvents& FEvents;
  Platform::TSerialDevice FDevice;
  TModemLineParser FParser; // reader thread only (and Open before it starts)
  TModemEvents FHeld;       // rings and caller ID seen while a command awaited its answer
  std::string FTraceLine;   // incoming bytes of the line being traced

  std::mutex FLock; // guards the fields below
  TMode FMode = mdIdle;
  bool FStop = false;
  bool FHangUpRequested = false;
  bool FRejectRequested = false;
  bool FHangingUp = false; // DoHangUp runs
  bool FCarrierLost = false;
  bool FDcdWasOn = false;
  uint64_t FCallDeadline = 0; // answer or dial must have an outcome by then

  // Reader thread only.
  bool FRinging = false;
  uint64_t FLastRingMs = 0;
  uint64_t FNextCheckMs = 0;
  uint64_t FCheckDeadline = 0; // an AT check awaits its answer until then
  int FCheckTries = 0;

  std::thread FReader;
};

} // namespace Telephony
