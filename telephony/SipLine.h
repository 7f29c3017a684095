// SipLine: Ringlet as an extension of a PBX or router - it registers, hears every INVITE to
// the extension as an offered call, and never takes one.
//
// Contract: a TCallLine. Its own thread runs the SIP stack (libre, with an event loop of its
// own for that thread): it registers with digest authentication, refreshes before the
// registration expires, and after a failure, or when the local address towards the registrar
// changes, registers again after RetryMs, doubled with each failure up to 300 s. The state
// text says "registered at ... as ..." or why not; the password never appears in it, in a
// trace or anywhere else.
// An INVITE from the registrar's address (the configured one, or the one whose answer
// registered us) or from a TrustedPeers address is an offered call: answered 180 Ringing and
// never 200. A CANCEL (the caller gave up, or another phone answered) ends it with 487.
// Reject() answers 603 Decline, which a forking proxy turns into the end of the call at every
// phone. A call that is neither ended nor rejected within MaxRingMs is let go with 480 (which
// ends nothing elsewhere). Requests from other addresses are refused statelessly (403), as are
// INVITEs beyond MaxCalls ringing at once (486): a flood costs neither memory nor time.
// An offered call is reported ringing again every RingCycleMs until one of those ends it (a
// CANCEL, 603, 480 or the stop), whatever its owner does meanwhile.
// OPTIONS from a trusted peer is answered 200, other methods 405 or 481. Stop() lets ringing
// calls go (480) and unregisters, waiting at most a second or two for the answers.
// With RINGLET_TELEPHONY_TRACE set, every SIP message sent or received is traced line by line
// under "sip:<user>@<registrar host>", with authorization headers hidden.
#pragma once

#include "telephony/CallLine.h"
#include "telephony/TelephonyConfig.h"

#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace Telephony {

class TSipAgent;

class TSipLine final : public TCallLine {
public:
  static constexpr size_t MaxCalls = 8;
  static constexpr uint32_t MaxRingMs = 300000;

  TSipLine(const TLineConfig& config, TCallLineEvents& events);
  ~TSipLine() override;
  TSipLine(const TSipLine&) = delete;
  TSipLine& operator=(const TSipLine&) = delete;

  void Start() override;
  void Stop() override;
  bool CanReject() const override { return true; }
  bool Reject(uint64_t call) override;
  std::vector<std::pair<uint64_t, TCallerIdInfo>> RingingCalls() const override;
  bool InService() const override;
  bool Settled() const override;
  std::string StateText() const override;

private:
  friend class TSipAgent;

  void Run();
  void Wake();
  // The SIP thread's side of the shared state.
  void SetState(bool inService, const std::string& text);
  void AddRinging(uint64_t call, const TCallerIdInfo& caller);
  bool RemoveRinging(uint64_t call);
  bool TakeCommands(std::vector<uint64_t>& rejects);

  const TLineConfig FConfig;
  TCallLineEvents& FEvents;
  int FWakeFd = -1; // an eventfd the SIP thread listens to

  mutable std::mutex FLock; // guards the fields below
  bool FStop = false;
  bool FInService = false;
  bool FSettled = false;
  std::string FState = "not registered yet";
  std::map<uint64_t, TCallerIdInfo> FRinging;
  std::vector<uint64_t> FRejects;

  std::thread FThread;
};

} // namespace Telephony
