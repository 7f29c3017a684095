// Safe texts of a call for the outlets' formats.
#include "calls/CallText.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace {

bool IsControl(unsigned char Byte) { return Byte < 0x20 || Byte == 0x7F; }

// The length of the valid UTF-8 sequence at Text[At], or 0 when there is none.
size_t Utf8SequenceLength(const std::string& Text, size_t At) {
  const auto Byte = [&](size_t I) { return static_cast<unsigned char>(Text[I]); };
  const unsigned char Lead = Byte(At);
  size_t Length = 0;
  unsigned Min = 0;
  if (Lead < 0x80)
    return 1;
  if ((Lead & 0xE0) == 0xC0) {
    Length = 2;
    Min = 0x80;
  } else if ((Lead & 0xF0) == 0xE0) {
    Length = 3;
    Min = 0x800;
  } else if ((Lead & 0xF8) == 0xF0) {
    Length = 4;
    Min = 0x10000;
  } else {
    return 0;
  }
  if (At + Length > Text.size())
    return 0;
  unsigned Code = Lead & (0x7F >> Length);
  for (size_t I = 1; I < Length; ++I) {
    if ((Byte(At + I) & 0xC0) != 0x80)
      return 0;
    Code = (Code << 6) | (Byte(At + I) & 0x3F);
  }
  // Overlong forms, surrogates and values past the last code point are not valid.
  if (Code < Min || Code > 0x10FFFF || (Code >= 0xD800 && Code <= 0xDFFF))
    return 0;
  return Length;
}

void AppendLatin1(std::string& Out, unsigned char Byte) {
  Out += static_cast<char>(0xC0 | (Byte >> 6));
  Out += static_cast<char>(0x80 | (Byte & 0x3F));
}

} // namespace

std::string PlainField(const std::string& Text, const std::string& Forbidden, size_t MaxLength) {
  std::string Out;
  Out.reserve(std::min(Text.size(), MaxLength));
  for (const char C : Text) {
    if (Out.size() >= MaxLength)
      break;
    const bool Bad = IsControl(static_cast<unsigned char>(C)) ||
                     Forbidden.find(C) != std::string::npos;
    Out += Bad ? ' ' : C;
  }
  return Out;
}

std::string Utf8Text(const std::string& Text) {
  std::string Out;
  Out.reserve(Text.size());
  for (size_t At = 0; At < Text.size();) {
    const size_t Length = Utf8SequenceLength(Text, At);
    if (Length == 0) {
      AppendLatin1(Out, static_cast<unsigned char>(Text[At]));
      ++At;
    } else {
      Out.append(Text, At, Length);
      At += Length;
    }
  }
  return Out;
}

std::string JsonString(const std::string& Text) {
  const std::string Valid = Utf8Text(Text);
  std::string Out = "\"";
  for (const char C : Valid) {
    const auto Byte = static_cast<unsigned char>(C);
    if (C == '"' || C == '\\') {
      Out += '\\';
      Out += C;
    } else if (IsControl(Byte)) {
      char Escape[8];
      std::snprintf(Escape, sizeof Escape, "\\u%04x", Byte);
      Out += Escape;
    } else {
      Out += C;
    }
  }
  return Out + "\"";
}

std::string IsoLocalTime(std::time_t Moment) {
  std::tm Local{};
  localtime_r(&Moment, &Local);
  char Text[40];
  std::strftime(Text, sizeof Text, "%Y-%m-%dT%H:%M:%S%z", &Local);
  // strftime gives +hhmm; ISO 8601 with a colon is what most readers expect.
  std::string Out = Text;
  if (Out.size() >= 5)
    Out.insert(Out.size() - 2, ":");
  return Out;
}

std::string CallJson(const TCallRecord& Call) {
  const auto Reason = [](TAbsence Absence) {
    return Absence == abNone ? std::string("null") : JsonString(AbsenceWord(Absence));
  };
  return "{\"time\":" + JsonString(IsoLocalTime(Call.Moment)) +
         ",\"line\":" + JsonString(Call.Line) + ",\"number\":" + JsonString(Call.Number) +
         ",\"name\":" + JsonString(Call.Name) + ",\"absent\":{\"number\":" +
         Reason(Call.NumberAbsent) + ",\"name\":" + Reason(Call.NameAbsent) +
         "},\"contact\":" + (Call.Contact.empty() ? std::string("null") : JsonString(Call.Contact)) +
         ",\"blocked\":" + (Call.Blocked ? "true" : "false") + "}";
}

std::string TopicSlug(const std::string& Text) {
  std::string Out;
  for (const char C : Text) {
    if (C >= 'A' && C <= 'Z')
      Out += static_cast<char>(C - 'A' + 'a');
    else if ((C >= 'a' && C <= 'z') || (C >= '0' && C <= '9'))
      Out += C;
    else if (!Out.empty() && Out.back() != '_')
      Out += '_';
  }
  while (!Out.empty() && Out.back() == '_')
    Out.pop_back();
  return Out.empty() ? "line" : Out.substr(0, 64);
}
