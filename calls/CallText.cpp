// Safe texts of a call for the outlets' formats.
#include "calls/CallText.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>

namespace {

bool IsControl(unsigned char Byte) {
  return Byte < 0x20 || Byte == 0x7F;
}

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
    const bool Bad =
        IsControl(static_cast<unsigned char>(C)) || Forbidden.find(C) != std::string::npos;
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

std::string CallJson(const TCallRecord& Call, const std::string& Id, unsigned Revision) {
  const auto Reason = [](TAbsence Absence) {
    return Absence == abNone ? std::string("null") : JsonString(AbsenceWord(Absence));
  };
  return "{" + (Id.empty() ? std::string() : "\"id\":" + JsonString(Id) + ",") +
         (Revision == 0 ? std::string() : "\"revision\":" + std::to_string(Revision) + ",") +
         "\"time\":" + JsonString(IsoLocalTime(Call.Moment)) +
         ",\"line\":" + JsonString(Call.Line) + ",\"number\":" + JsonString(Call.Number) +
         ",\"name\":" + JsonString(Call.Name) +
         ",\"absent\":{\"number\":" + Reason(Call.NumberAbsent) +
         ",\"name\":" + Reason(Call.NameAbsent) + "},\"contact\":" +
         (Call.Contact.empty() ? std::string("null") : JsonString(Call.Contact)) +
         ",\"blocked\":" + (Call.Blocked ? "true" : "false") + "}";
}

namespace {

// Plain Latin for the letters of Latin-1, Latin Extended-A and Cyrillic, by code point ranges
// (each code point of a range gets the range's text). Letters not listed have no plain form.
struct TPlainRange {
  uint32_t First, Last;
  const char* Plain;
};

constexpr TPlainRange PlainLetters[] = {
    {0xC0, 0xC5, "a"},    {0xC6, 0xC6, "ae"},   {0xC7, 0xC7, "c"},    {0xC8, 0xCB, "e"},
    {0xCC, 0xCF, "i"},    {0xD0, 0xD0, "d"},    {0xD1, 0xD1, "n"},    {0xD2, 0xD6, "o"},
    {0xD8, 0xD8, "o"},    {0xD9, 0xDC, "u"},    {0xDD, 0xDD, "y"},    {0xDE, 0xDE, "th"},
    {0xDF, 0xDF, "ss"},   {0xE0, 0xE5, "a"},    {0xE6, 0xE6, "ae"},   {0xE7, 0xE7, "c"},
    {0xE8, 0xEB, "e"},    {0xEC, 0xEF, "i"},    {0xF0, 0xF0, "d"},    {0xF1, 0xF1, "n"},
    {0xF2, 0xF6, "o"},    {0xF8, 0xF8, "o"},    {0xF9, 0xFC, "u"},    {0xFD, 0xFD, "y"},
    {0xFE, 0xFE, "th"},   {0xFF, 0xFF, "y"},    {0x100, 0x105, "a"},  {0x106, 0x10D, "c"},
    {0x10E, 0x111, "d"},  {0x112, 0x11B, "e"},  {0x11C, 0x123, "g"},  {0x124, 0x127, "h"},
    {0x128, 0x131, "i"},  {0x132, 0x133, "ij"}, {0x134, 0x135, "j"},  {0x136, 0x138, "k"},
    {0x139, 0x142, "l"},  {0x143, 0x149, "n"},  {0x14A, 0x14B, "ng"}, {0x14C, 0x151, "o"},
    {0x152, 0x153, "oe"}, {0x154, 0x159, "r"},  {0x15A, 0x161, "s"},  {0x162, 0x167, "t"},
    {0x168, 0x173, "u"},  {0x174, 0x175, "w"},  {0x176, 0x178, "y"},  {0x179, 0x17E, "z"},
    {0x17F, 0x17F, "s"},  {0x401, 0x401, "yo"}, {0x404, 0x404, "ye"}, {0x406, 0x406, "i"},
    {0x407, 0x407, "yi"}, {0x40E, 0x40E, "u"},  {0x451, 0x451, "yo"}, {0x454, 0x454, "ye"},
    {0x456, 0x456, "i"},  {0x457, 0x457, "yi"}, {0x45E, 0x45E, "u"},  {0x490, 0x491, "g"},
};

// А to я, in the order of the alphabet, upper and lower case alike.
constexpr const char* CyrillicLetters[32] = {
    "a", "b", "v", "g", "d", "e",  "zh", "z",  "i",  "y",    "k", "l", "m", "n", "o",  "p",
    "r", "s", "t", "u", "f", "kh", "ts", "ch", "sh", "shch", "",  "y", "",  "e", "yu", "ya"};

// The plain form of a code point: letters as text, nullptr for one that has none.
const char* PlainForm(uint32_t Code) {
  if (Code >= 0x410 && Code <= 0x44F)
    return CyrillicLetters[(Code - 0x410) % 32];
  for (const TPlainRange& Range : PlainLetters)
    if (Code >= Range.First && Code <= Range.Last)
      return Range.Plain;
  return nullptr;
}

// Spaces, punctuation and symbols of Latin-1 and the general punctuation block: separators.
bool Punctuation(uint32_t Code) {
  return (Code >= 0xA0 && Code <= 0xBF) || Code == 0xD7 || Code == 0xF7 ||
         (Code >= 0x2000 && Code <= 0x206F);
}

// The code point at Text[At], read as UTF-8 or, for a byte that is none, as Latin-1.
uint32_t CodePoint(const std::string& Text, size_t& At) {
  const size_t Length = Utf8SequenceLength(Text, At);
  const auto Byte = [&](size_t I) { return static_cast<unsigned char>(Text[I]); };
  if (Length <= 1)
    return Byte(At++);
  uint32_t Code = Byte(At) & (0x7F >> Length);
  for (size_t I = 1; I < Length; ++I)
    Code = (Code << 6) | (Byte(At + I) & 0x3F);
  At += Length;
  return Code;
}

} // namespace

std::string TopicSlug(const std::string& Text, bool WithHash) {
  std::string Out;
  bool Lossy = false;
  const auto Separate = [&Out] {
    if (!Out.empty() && Out.back() != '_')
      Out += '_';
  };
  for (size_t At = 0; At < Text.size();) {
    const uint32_t C = CodePoint(Text, At);
    if (C >= 'A' && C <= 'Z')
      Out += static_cast<char>(C - 'A' + 'a');
    else if ((C >= 'a' && C <= 'z') || (C >= '0' && C <= '9'))
      Out += static_cast<char>(C);
    else if (const char* Plain = C >= 0x80 ? PlainForm(C) : nullptr; Plain != nullptr)
      Out += Plain;
    else if (C < 0x80 || Punctuation(C))
      Separate();
    else {
      Lossy = true;
      Separate();
    }
  }
  const auto Trim = [](std::string Slug, size_t Limit) {
    Slug = Slug.substr(0, Limit);
    while (!Slug.empty() && Slug.back() == '_')
      Slug.pop_back();
    return Slug;
  };
  if (!Lossy && !WithHash) {
    Out = Trim(Out, 64);
    return Out.empty() ? "line" : Out;
  }
  // FNV-1a of the whole name: the same name, the same suffix, in every run.
  uint32_t Hash = 2166136261u;
  for (const char C : Text)
    Hash = (Hash ^ static_cast<unsigned char>(C)) * 16777619u;
  char Suffix[16];
  std::snprintf(Suffix, sizeof Suffix, "_%08x", Hash);
  Out = Trim(Out, 55);
  return (Out.empty() ? "line" : Out) + Suffix;
}
