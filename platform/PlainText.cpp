// Text from outside without control characters. See PlainText.h.
#include "platform/PlainText.h"

#include <cstdint>

namespace Platform {

namespace {

// The length of the valid UTF-8 sequence that starts Text, 0 when there is none (a stray
// byte, a sequence cut short, an overlong form, a surrogate, a value past U+10FFFF).
size_t SequenceLength(std::string_view Text) {
  const auto Byte = [&Text](size_t At) { return static_cast<unsigned char>(Text[At]); };
  const unsigned char Lead = Byte(0);
  size_t Length = 0;
  uint32_t Code = 0, Least = 0;
  if (Lead < 0x80)
    return 1;
  if (Lead >= 0xC2 && Lead <= 0xDF) {
    Length = 2;
    Code = Lead & 0x1F;
    Least = 0x80;
  } else if (Lead >= 0xE0 && Lead <= 0xEF) {
    Length = 3;
    Code = Lead & 0x0F;
    Least = 0x800;
  } else if (Lead >= 0xF0 && Lead <= 0xF4) {
    Length = 4;
    Code = Lead & 0x07;
    Least = 0x10000;
  } else {
    return 0;
  }
  if (Text.size() < Length)
    return 0;
  for (size_t At = 1; At < Length; ++At) {
    if ((Byte(At) & 0xC0) != 0x80)
      return 0;
    Code = (Code << 6) | (Byte(At) & 0x3F);
  }
  if (Code < Least || Code > 0x10FFFF || (Code >= 0xD800 && Code <= 0xDFFF))
    return 0;
  return Length;
}

bool IsControl(std::string_view Sequence) {
  const auto Lead = static_cast<unsigned char>(Sequence[0]);
  if (Sequence.size() == 1)
    return Lead < 0x20 || Lead == 0x7F;
  // U+0080 to U+009F.
  return Sequence.size() == 2 && Lead == 0xC2 && static_cast<unsigned char>(Sequence[1]) < 0xA0;
}

} // namespace

std::string StripControls(std::string_view Text) {
  std::string Clean;
  Clean.reserve(Text.size());
  while (!Text.empty()) {
    const size_t Length = SequenceLength(Text);
    if (Length == 0) {
      // A stray byte: one of 0xA0 and above is a Latin-1 letter, one below is a C1 control.
      if (static_cast<unsigned char>(Text[0]) >= 0xA0)
        Clean += Text[0];
      Text.remove_prefix(1);
      continue;
    }
    const std::string_view Sequence = Text.substr(0, Length);
    if (Sequence == "\t")
      Clean += ' ';
    else if (!IsControl(Sequence))
      Clean += Sequence;
    Text.remove_prefix(Length);
  }
  return Clean;
}

} // namespace Platform
