// Text from outside without control characters: what a caller or an address book may send
// and what a terminal would make of it.
#include "platform/PlainText.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cwchar>
#include <locale.h>
#include <random>
#include <string>
#include <vector>

namespace {

using Platform::StripControls;

// Whether Text still holds a control character a terminal would act on: a C0 control or DEL,
// a C1 control in UTF-8, or a byte below 0xA0 that is not part of a valid UTF-8 sequence. The
// C library's own UTF-8 decoder tells what is valid.
bool HoldsControl(const std::string& Text) {
  static const locale_t Utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
  const locale_t Before = ::uselocale(Utf8);
  bool Found = false;
  std::mbstate_t State{};
  for (size_t At = 0; At < Text.size() && !Found;) {
    wchar_t Char = 0;
    const size_t Length = std::mbrtowc(&Char, Text.data() + At, Text.size() - At, &State);
    if (Length == static_cast<size_t>(-1) || Length == static_cast<size_t>(-2)) {
      Found = static_cast<unsigned char>(Text[At]) < 0xA0;
      State = {};
      ++At;
      continue;
    }
    Found = Char < 0x20 || (Char >= 0x7F && Char < 0xA0);
    At += Length == 0 ? 1 : Length;
  }
  ::uselocale(Before);
  return Found;
}

TEST(PlainTextTest, ControlsGoLettersStay) {
  struct TCase {
    const char* Title;
    std::string Input, Expected;
  };
  const std::vector<TCase> Cases = {
      {"plain text", "DOE JOHN", "DOE JOHN"},
      {"ESC and the C0 controls", "EVIL\x1b[2J\x07\r\n\x01\x7f!", "EVIL[2J!"},
      {"a tab keeps words apart", "JOHN\tDOE", "JOHN DOE"},
      {"C1 CSI as a raw byte",
       "555\x9b"
       "1234",
       "5551234"},
      {"every raw C1 byte",
       std::string("A\x80\x85\x90\x9b\x9f"
                   "B"),
       "AB"},
      {"C1 controls in UTF-8", "Eve\xc2\x9b[2J\xc2\x85\xc2\x80", "Eve[2J"},
      {"UTF-8 letters", "J\xc3\xbcrgen \xd0\x9a\xd1\x83\xd1\x85\xd0\xbd\xd1\x8f \xe2\x98\x8e",
       "J\xc3\xbcrgen \xd0\x9a\xd1\x83\xd1\x85\xd0\xbd\xd1\x8f \xe2\x98\x8e"},
      {"a four-byte character", "\xf0\x9f\x93\x9e", "\xf0\x9f\x93\x9e"},
      {"no-break space is no control",
       "A\xc2\xa0"
       "B",
       "A\xc2\xa0"
       "B"},
      {"Latin-1 letters of an 8-bit line", "M\xfcller J\xe9r\xf4me", "M\xfcller J\xe9r\xf4me"},
      // A byte of 0xA0 and above that starts no valid sequence is a Latin-1 letter; the
      // control bytes after it go.
      {"a sequence cut short", "\xe2\x80", "\xe2"},
      {"an overlong form of CSI",
       "\xc0\x9b"
       "x",
       "\xc0x"},
      {"a lone lead byte then a control", "\xc2\x01\x9b", "\xc2"},
      {"nothing", "", ""},
  };
  for (const TCase& Case : Cases) {
    const std::string Clean = StripControls(Case.Input);
    EXPECT_EQ(Case.Expected, Clean) << Case.Title;
    EXPECT_FALSE(HoldsControl(Clean)) << Case.Title;
  }
}

// Any bytes at all: the result holds no control, and cleaning it again changes nothing.
TEST(PlainTextTest, AnyBytesComeOutCleanAndStayAsTheyAre) {
  std::mt19937 Random(20260512);
  std::uniform_int_distribution<int> Byte(0, 255), Size(0, 40);
  const std::string Tricky = "\x9b\xc2\xe2\x80\xf0\x9f\xd0\x1b\t\xa0";
  for (int Round = 0; Round < 20000; ++Round) {
    std::string Input;
    for (int I = Size(Random); I > 0; --I)
      Input += Round % 2 == 0 ? static_cast<char>(Byte(Random))
                              : Tricky[static_cast<size_t>(Byte(Random)) % Tricky.size()];
    const std::string Clean = StripControls(Input);
    ASSERT_FALSE(HoldsControl(Clean)) << testing::PrintToString(Input);
    ASSERT_EQ(Clean, StripControls(Clean)) << testing::PrintToString(Input);
  }
}

} // namespace
