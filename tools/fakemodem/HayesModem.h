// HayesModem: the simulated modem itself - the AT command interpreter, the ringing line and
// the caller ID it reports, the answered call's data path.
//
// Contract: no I/O and no clock of its own. The owner passes what the host wrote (FromHost)
// and its monotonic time, calls Tick when NextTimer comes due, and writes TakeOutput() to the
// host. Data the host sends while connected is collected for TakeData(). Everything it does
// is told to the log callback, one line each.
#pragma once

#include "CallScript.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace FakeModem {

struct TModemConfig {
  // The caller-ID commands this modem understands; the others answer ERROR.
  std::set<std::string> CidCommands = {"+VCID", "#CID", "%CCID", "+CID"};
  int CidDefault = 0; // caller-ID reporting after reset: 0 off, 1 formatted, 2 raw packets
  std::string Model = "Ringlet FakeModem V.92";
  std::string Manufacturer = "Ringlet";
  bool Voice = true; // offers +FCLASS=8
  uint64_t AnswerDelayMs = 300;
  uint64_t GuardMs = 1000; // +++ escape guard time
  std::string ConnectRate = "33600";
  // ATH1 takes the line off hook, which answers a ringing call; false: ATH1 answers ERROR.
  bool OffHook = true;
  // Off hook at least this long and back on, the exchange cuts the ringing caller off; a
  // shorter lift goes unseen and the call rings on.
  uint64_t CutOffMs = 500;
  // A character from the host while answering aborts the answer (NO CARRIER), as real modems do.
  bool AbortAnswerOnInput = false;
  // The caller-ID commands answer ERROR unless voice class 8 was chosen first.
  bool CidNeedsVoice = false;
  // Caller ID only as raw packets: reporting value 1 (formatted) answers ERROR.
  bool RawOnly = false;
};

enum TCallState {
  csIdle,
  csRinging,   // an incoming call rings
  csAnswering, // ATA given, carrier not yet there
  csOnline,    // connected, data mode
  csEscaped,   // connected, command mode after +++
  csOffHook    // ATH1: the line is taken, a ringing call picked up, nothing connected
};

class THayesModem {
public:
  using TLog = std::function<void(const std::string&)>;

  THayesModem(TModemConfig config, TLog log);

  void FromHost(std::string_view bytes, uint64_t nowMs);
  void Tick(uint64_t nowMs);
  std::optional<uint64_t> NextTimer() const;

  // The scenario's side.
  void StartCall(const TCall& call, uint64_t nowMs);
  bool CallInProgress() const {
    return FState == csRinging || FState == csAnswering || FState == csOffHook;
  }
  void Connect(const std::string& rate, uint64_t nowMs);
  void RemoteHangup();
  void SendData(std::string_view bytes);
  void SendRaw(std::string_view bytes); // as is, whatever the state (noise, say)
  void SetSilent(bool silent);

  std::string TakeOutput();
  std::string TakeData();

  TCallState State() const { return FState; }
  int CidMode() const { return FCidMode; }
  bool Echo() const { return FEcho; }

private:
  enum TResult {
    rcOk = 0,
    rcConnect = 1,
    rcRing = 2,
    rcNoCarrier = 3,
    rcError = 4,
    rcNoDialtone = 6,
    rcBusy = 7,
    rcNoAnswer = 8
  };

  void CommandByte(char c, uint64_t nowMs);
  void DataBytes(std::string_view bytes, uint64_t nowMs);
  void ExecuteLine(const std::string& line, uint64_t nowMs);
  // Runs the commands after "AT"; false for ERROR. Sets noFinal when the command answers
  // later by itself (ATA, ATD, ATO).
  bool Execute(const std::string& body, uint64_t nowMs, bool& noFinal);
  bool Extended(const std::string& body, std::size_t& i, uint64_t nowMs);
  void Reset();
  void Answer(uint64_t nowMs);
  bool OffHook(uint64_t nowMs);
  void OnHook(uint64_t nowMs);
  void Result(TResult code, const std::string& extra = {});
  void Info(const std::string& text);
  void Emit(std::string_view bytes);
  void ScheduleCallerId(uint64_t firstRingAt);
  void SendCallerId();
  std::vector<std::string> CallerIdLines() const;
  void EndCall(const std::string& why);

  TModemConfig FConfig;
  TLog FLog;
  std::string FOut;
  std::string FDataIn;
  bool FSilent = false;

  // Command state.
  bool FEcho = true;
  bool FVerbose = true;
  bool FQuiet = false;
  int FCidMode = 0;
  int FClass = 0;
  std::map<int, int> FRegisters;
  std::string FLine;     // command line being typed
  std::string FLastLine; // for A/

  // The call.
  TCallState FState = csIdle;
  TCall FCall;
  bool FHasCall = false;
  int FRingsDone = 0;
  uint64_t FNextRingAt = 0;
  // The caller-ID sends still to come, each a part of the block: lines [From, To) of it.
  struct TCidSend {
    uint64_t At = 0;
    std::size_t From = 0;
    std::size_t To = 0;
  };
  std::vector<TCidSend> FCidSends; // in time order
  std::string FCidDate, FCidTime;  // the call's, for every part and repeat
  uint64_t FAnswerAt = 0;
  uint64_t FOffHookAt = 0;
  std::string FRate;

  // +++ escape.
  int FPlusCount = 0;
  uint64_t FLastDataMs = 0;
  uint64_t FPlusAt = 0;
};

} // namespace FakeModem
