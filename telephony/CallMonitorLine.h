// CallMonitorLine: the call monitor that many home routers offer on TCP port 1012 - one text
// line per event of the router's telephone lines - as a line of calls.
//
// Contract: a TCallLine. Its own thread connects to Host:Port (connect time-out 5 s), keeps
// the connection with TCP keep-alive (a dead peer is noticed within about a minute) and, when
// it fails or ends, connects again after RetryMs, doubled with each failure up to 300 s; the
// state text says "connected to ..." or that the router cannot be reached and why.
// "date;RING;id;caller;callee;line;" offers a call with the caller's number (an empty caller
// is withheld); "date;CONNECT;id;..." (answered) and "date;DISCONNECT;id;seconds;" end it;
// "date;CALL;..." (an outgoing call) is ignored, as is any line that is not one of these.
// The connection's end ends every ringing call, as does MaxRingMs without news of it. The
// router says nothing while the phones ring: a call is reported ringing again every
// RingCycleMs until it ends. At most MaxCalls ring at once; lines are at most 512 bytes,
// numbers 32 printable characters. The protocol has no way to refuse a call: Reject() always
// fails.
#pragma once

#include "telephony/CallLine.h"
#include "telephony/TelephonyConfig.h"

#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace Telephony {

enum TCallMonitorKind { cmRing, cmCall, cmConnect, cmDisconnect };

struct TCallMonitorEvent {
  TCallMonitorKind Kind = cmRing;
  std::string Id;     // the router's connection id
  std::string Caller; // RING only; empty: withheld
};

// One line of the protocol, without its line end; false for anything else.
bool ParseCallMonitorLine(std::string_view line, TCallMonitorEvent& event);

class TCallMonitorLine final : public TCallLine {
public:
  static constexpr size_t MaxCalls = 16;
  static constexpr uint32_t MaxRingMs = 300000;
  static constexpr uint32_t ConnectTimeoutMs = 5000;

  TCallMonitorLine(const TLineConfig& config, TCallLineEvents& events);
  ~TCallMonitorLine() override;
  TCallMonitorLine(const TCallMonitorLine&) = delete;
  TCallMonitorLine& operator=(const TCallMonitorLine&) = delete;

  void Start() override;
  void Stop() override;
  bool CanReject() const override { return false; }
  bool Reject(uint64_t) override { return false; }
  std::vector<std::pair<uint64_t, TCallerIdInfo>> RingingCalls() const override;
  bool InService() const override;
  bool Settled() const override;
  std::string StateText() const override;

private:
  struct TRinging {
    uint64_t Key = 0;
    TCallerIdInfo Caller;
    uint64_t SinceMs = 0;
    uint64_t NextRingMs = 0;
    uint32_t Rings = 1;
  };

  void Run();
  int Connect(std::string& why);
  std::string Serve(int fd);
  void HandleLine(std::string_view line, uint64_t now);
  void EndCall(const std::string& id);
  void EndAll();
  void ExpireCalls(uint64_t now);
  void RingOn(uint64_t now);
  bool WaitForStop(uint64_t ms);
  bool Stopping() const;
  void SetState(bool inService, const std::string& text);
  std::string Where() const;

  const TLineConfig FConfig;
  TCallLineEvents& FEvents;
  int FWakeFd = -1;
  uint64_t FNextKey = 0; // the line's thread only

  mutable std::mutex FLock; // guards the fields below
  bool FStop = false;
  bool FInService = false;
  bool FSettled = false;
  std::string FState = "not connected yet";
  std::map<std::string, TRinging> FRinging; // by the router's id

  std::thread FThread;
};

} // namespace Telephony
