// CallerIdCheck: what every event of the modem output parser must satisfy, whatever it was fed;
// shared by the two caller-ID fuzz targets.
//
// A caller-ID block of lines holds something (a raw packet may be empty); its date and time
// are empty or four digits of a real day and time of day; its number and name carry no control
// byte and no blanks at either end, and are not both given and said to be absent; parameters
// kept as data are of the types that no field takes, one of each. The line an event came from
// carries no control byte and fits the parser's line length.
#pragma once

#include "telephony/CallerId.h"

namespace Fuzz {

void CheckCallerId(const Telephony::TCallerIdInfo& info);
void CheckEvent(const Telephony::TModemEvent& event, const Telephony::TModemParserOptions& options);
void CheckSameEvents(const Telephony::TModemEvents& a, const Telephony::TModemEvents& b);

} // namespace Fuzz
