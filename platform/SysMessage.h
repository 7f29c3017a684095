// SysMessage: the system's own wording for the platform layer's error numbers.
//
// SystemErrorText() returns the text for a number of the LastError numbering, formatted as
// system message texts are: one or more sentences, each line ending in "\r\n" (a few texts
// span two lines).  A number that has no text gives "".  The texts cover every number the
// layer itself produces, so a caller can always show something better than a bare number.
#pragma once

#include <cstdint>
#include <string>

namespace Platform {

std::string SystemErrorText(uint32_t code);

} // namespace Platform
