// PlainText: text from outside (a telephone line, an address book, a web client) made safe to
// put on a terminal, into a log line or a notification.
//
// Contract:
// - StripControls removes every control character: the C0 controls (below 0x20) and DEL, the
//   C1 controls U+0080 to U+009F written in UTF-8, and the bytes 0x80 to 0x9F that are not
//   part of a valid UTF-8 sequence (a terminal in an 8-bit mode takes them for C1 controls:
//   0x9B starts an escape sequence as ESC [ does). A tab becomes a blank, so that the words it
//   kept apart stay apart.
// - Everything else is kept byte for byte: valid UTF-8 ("Jürgen", "Кухня") and the bytes 0xA0
//   to 0xFF that 8-bit lines send for Latin-1 letters.
// - The result holds no control character in any of these forms, and cleaning it again
//   changes nothing.
// - Pure; any bytes are allowed.
#pragma once

#include <string>
#include <string_view>

namespace Platform {

std::string StripControls(std::string_view Text);

} // namespace Platform
