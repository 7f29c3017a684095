// CallLine: a line device that reports whole calls - an offered call with its caller, and its
// end - rather than rings and caller-ID blocks the way a modem does. The SIP extension
// (SipLine) and the router's call monitor (CallMonitorLine) are such lines; the line service
// drives them through this interface and never knows which one it talks to.
//
// Contract: Start() returns at once; the line then works on its own thread (registering,
// connecting, retrying with back-off) until Stop(), which joins that thread and must not be
// called from it. Events come on that thread, never while a lock of the line is held, so a
// handler may call back into the line. A call is known by a key that is never reused within
// the line's life. Calls the line still sees ringing are listed by RingingCalls(), so that an
// owner who was away (the line closed between two calls) can take them up.
// Rings: an offered call has rung once. While it still rings, the line reports it ringing
// again every RingCycleMs of its configuration (TLineConfig), counting on from 2, as a phone
// on that line would ring; no ring of a call follows its OnCallEnded (or OnCallRejected).
// The kind decides what can be done: Reject() ends the offered call for every phone it rings
// (asynchronous: OnCallRejected follows, then OnCallEnded). An owner that is done with a call
// without rejecting it simply stops listening: the line sends nothing that would end the call
// elsewhere, and reports its end as usual.
#pragma once

#include "telephony/CallerId.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace Telephony {

class TCallLineEvents {
public:
  virtual ~TCallLineEvents() = default;
  // Ring 1 of the call.
  virtual void OnCallOffered(uint64_t call, const TCallerIdInfo& caller) = 0;
  // Ring `rings` (2, 3, ...) of a call still ringing.
  virtual void OnCallRinging(uint64_t call, uint32_t rings) = 0;
  // Cancelled by the caller, answered elsewhere, rejected, or gone with the connection.
  virtual void OnCallEnded(uint64_t call) = 0;
  // The outcome of Reject(): done (the refusal went out) or not.
  virtual void OnCallRejected(uint64_t call, bool done) = 0;
  // In service ("registered", "connected to ...") or not, and why.
  virtual void OnLineState(bool inService, const std::string& text) = 0;
};

class TCallLine {
public:
  virtual ~TCallLine() = default;
  virtual void Start() = 0;
  virtual void Stop() = 0;
  virtual bool CanReject() const = 0;
  // False when the call is unknown, no longer ringing, or the kind cannot reject.
  virtual bool Reject(uint64_t call) = 0;
  virtual std::vector<std::pair<uint64_t, TCallerIdInfo>> RingingCalls() const = 0;
  virtual bool InService() const = 0;
  // Whether the line has had its first outcome (in service or failed) since Start().
  virtual bool Settled() const = 0;
  virtual std::string StateText() const = 0;
};

} // namespace Telephony
