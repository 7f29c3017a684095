// Text: the small text routines every layer needs, in one place so that they agree.
//
// Contract:
// - Trim drops ASCII white space (blank, tab, CR, LF, vertical tab, form feed) from both ends
//   and nothing else: bytes of 8-bit or UTF-8 text are never taken for blanks, whatever the
//   locale. The result is a view into the argument.
// - SameNameNoCase compares two names ignoring the case of ASCII letters only.
// - UtcText writes a moment as ISO 8601 in UTC ("2026-03-01T08:05:09Z"); a moment the C
//   library cannot break down (far outside any calendar) gives "".
// - Pure; safe from any thread.
#pragma once

#include <ctime>
#include <string>
#include <string_view>

namespace Platform {

std::string_view Trim(std::string_view Text);
bool SameNameNoCase(std::string_view A, std::string_view B);
std::string UtcText(std::time_t Moment);

} // namespace Platform
