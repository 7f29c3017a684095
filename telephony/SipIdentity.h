// SipIdentity: the caller of an offered SIP call, as the caller-ID block of a modem would give
// it, from the headers of the INVITE.
//
// Contract: pure (no I/O, no SIP stack); any bytes in, a bounded result out. The identity comes
// from P-Asserted-Identity, then Remote-Party-ID (party=calling or no party), then From: the
// number from the first of them that carries one (a sip:/sips: user part or a tel: number,
// percent-decoded, visual separators of a telephone number dropped), the name from the display
// name of that one, or of a later one with the same number. `Privacy: id` (or header, user),
// a Remote-Party-ID privacy=full|uri, or an anonymous address (anonymous, restricted, private,
// withheld, or the host anonymous.invalid) before the first header with a number make the
// number withheld (caPrivate, the reason a modem gives for a private caller), and then the
// name too unless one is given. Numbers keep at most 32 printable characters, names 64 bytes (never
// cutting a UTF-8 character); control characters are dropped.
#pragma once

#include "telephony/CallerId.h"

#include <string>
#include <vector>

namespace Telephony {

struct TSipIdentityHeaders {
  std::vector<std::string> AssertedIdentity; // every P-Asserted-Identity header, in order
  std::vector<std::string> RemotePartyId;    // every Remote-Party-ID header, in order
  std::string From;
  std::vector<std::string> Privacy; // every Privacy header
};

TCallerIdInfo SipCallerId(const TSipIdentityHeaders& headers);

} // namespace Telephony
