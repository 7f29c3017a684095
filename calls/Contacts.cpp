// The vCard reader and writer. See Contacts.h.
#include "calls/Contacts.h"

#include "calls/CallText.h"
#include "platform/PlainText.h"

#include <cctype>
#include <optional>
#include <string_view>

namespace {

// A UTF-8 byte-order mark, as some programs start a file with.
constexpr std::string_view ByteOrderMark = "\xEF\xBB\xBF";

struct TContentLine {
  std::string Text;
  int Line = 0; // where it began
};

// Whether the parameters of a content line (the text before its value, or only its
// parameters) ask for quoted-printable, as vCard 2.1 writes "ENCODING=QUOTED-PRINTABLE" or the
// bare word.
bool QuotedPrintable(const std::string& Line) {
  std::string Parameters = Line.substr(0, Line.find(':'));
  for (char& C : Parameters)
    C = static_cast<char>(std::toupper(static_cast<unsigned char>(C)));
  return Parameters.find(";ENCODING=QUOTED-PRINTABLE") != std::string::npos ||
         Parameters.find(";QUOTED-PRINTABLE") != std::string::npos;
}

// The logical lines of Text: line ends of either kind, folded lines joined, and a
// quoted-printable value that ends in "=" (a soft line break) joined with the next line.
std::vector<TContentLine> Unfold(const std::string& Text) {
  std::vector<TContentLine> Lines;
  int Number = 0;
  size_t Start = Text.rfind(ByteOrderMark, 0) == 0 ? ByteOrderMark.size() : 0;
  bool SoftBreak = false;
  while (Start < Text.size()) {
    size_t End = Text.find('\n', Start);
    if (End == std::string::npos)
      End = Text.size();
    std::string Line = Text.substr(Start, End - Start);
    if (!Line.empty() && Line.back() == '\r')
      Line.pop_back();
    ++Number;
    Start = End + 1;
    if (SoftBreak)
      Lines.back().Text += Line;
    else if (!Line.empty() && (Line[0] == ' ' || Line[0] == '\t') && !Lines.empty())
      Lines.back().Text += Line.substr(1);
    else
      Lines.push_back({Line, Number});
    std::string& Joined = Lines.back().Text;
    SoftBreak = !Joined.empty() && Joined.back() == '=' && QuotedPrintable(Joined);
    if (SoftBreak)
      Joined.pop_back();
  }
  return Lines;
}

std::string Upper(std::string Text) {
  for (char& C : Text)
    C = static_cast<char>(std::toupper(static_cast<unsigned char>(C)));
  return Text;
}

bool Blank(const std::string& Text) {
  return Text.find_first_not_of(" \t") == std::string::npos;
}

// "\n", "\,", "\;" and "\\" of a text value.
std::string Unescape(const std::string& Value) {
  std::string Result;
  for (size_t I = 0; I < Value.size(); ++I) {
    if (Value[I] != '\\' || I + 1 == Value.size()) {
      Result.push_back(Value[I]);
      continue;
    }
    const char Next = Value[++I];
    Result.push_back(Next == 'n' || Next == 'N' ? ' ' : Next);
  }
  return Result;
}

// The components of a structured value (N), split at unescaped ";".
std::vector<std::string> Components(const std::string& Value) {
  std::vector<std::string> Parts(1);
  for (size_t I = 0; I < Value.size(); ++I) {
    if (Value[I] == '\\' && I + 1 < Value.size()) {
      Parts.back() += Value.substr(I, 2);
      ++I;
    } else if (Value[I] == ';') {
      Parts.emplace_back();
    } else {
      Parts.back().push_back(Value[I]);
    }
  }
  for (std::string& Part : Parts)
    Part = Unescape(Part);
  return Parts;
}

struct TProperty {
  std::string Name; // upper case, group removed
  std::string Value;
  std::string Parameters; // upper case, each after a ";"
};

// Name and value of a content line; nullopt without a ":". Parameter values may be quoted
// and hold ":" (a 4.0 TYPE list, a LABEL), so the colon is the first one outside quotes.
std::optional<TProperty> Split(const std::string& Line) {
  bool Quoted = false;
  size_t Colon = std::string::npos;
  for (size_t I = 0; I < Line.size() && Colon == std::string::npos; ++I) {
    if (Line[I] == '"')
      Quoted = !Quoted;
    else if (Line[I] == ':' && !Quoted)
      Colon = I;
  }
  if (Colon == std::string::npos || Colon == 0)
    return std::nullopt;
  const size_t NameEnd = std::min(Colon, Line.find(';'));
  std::string Name = Upper(Line.substr(0, NameEnd));
  if (const size_t Dot = Name.find('.'); Dot != std::string::npos)
    Name.erase(0, Dot + 1);
  return TProperty{Name, Line.substr(Colon + 1), Upper(Line.substr(NameEnd, Colon - NameEnd))};
}

int HexDigit(char C) {
  if (C >= '0' && C <= '9')
    return C - '0';
  if (C >= 'A' && C <= 'F')
    return C - 'A' + 10;
  if (C >= 'a' && C <= 'f')
    return C - 'a' + 10;
  return -1;
}

// "=XX" as the byte XX; an "=" that is not followed by two hex digits stays as it is.
std::string DecodeQuotedPrintable(const std::string& Value) {
  std::string Bytes;
  for (size_t I = 0; I < Value.size(); ++I) {
    const int High = Value[I] == '=' && I + 2 < Value.size() ? HexDigit(Value[I + 1]) : -1;
    const int Low = High >= 0 ? HexDigit(Value[I + 2]) : -1;
    if (Low < 0) {
      Bytes.push_back(Value[I]);
      continue;
    }
    Bytes.push_back(static_cast<char>(High * 16 + Low));
    I += 2;
  }
  return Bytes;
}

// Bytes of a Latin-1 text as UTF-8.
std::string Latin1ToUtf8(const std::string& Bytes) {
  std::string Text;
  for (const char C : Bytes) {
    const auto Byte = static_cast<unsigned char>(C);
    if (Byte < 0x80) {
      Text.push_back(C);
    } else {
      Text.push_back(static_cast<char>(0xC0 | (Byte >> 6)));
      Text.push_back(static_cast<char>(0x80 | (Byte & 0x3F)));
    }
  }
  return Text;
}

// The value as text: quoted-printable decoded, and a Latin-1 charset turned into UTF-8
// (other charsets are taken as UTF-8; CleanName reads what is not as Latin-1).
std::string ValueText(const TProperty& Property) {
  const std::string& P = Property.Parameters;
  if (!QuotedPrintable(P))
    return Property.Value;
  const std::string Bytes = DecodeQuotedPrintable(Property.Value);
  for (const char* Latin1 : {";CHARSET=ISO-8859-1", ";CHARSET=LATIN1", ";CHARSET=WINDOWS-1252"})
    if (P.find(Latin1) != std::string::npos)
      return Latin1ToUtf8(Bytes);
  return Bytes;
}

// Removes a trailing partial UTF-8 sequence after a cut.
void TrimPartialSequence(std::string& Text) {
  size_t Lead = Text.size();
  while (Lead > 0 && (static_cast<unsigned char>(Text[Lead - 1]) & 0xC0) == 0x80)
    --Lead;
  if (Lead == 0)
    return;
  const unsigned char C = static_cast<unsigned char>(Text[Lead - 1]);
  const size_t Want = C >= 0xF0 ? 4 : C >= 0xE0 ? 3 : C >= 0xC0 ? 2 : 1;
  if (Text.size() - (Lead - 1) < Want)
    Text.erase(Lead - 1);
}

} // namespace

std::string CleanName(const std::string& Text) {
  // Blanks for the C0 controls (a line break splits words), then no C1 control either: an
  // old export's byte 0x9B reads as U+009B, which drives a terminal as ESC [ does.
  std::string Name = Platform::StripControls(PlainField(Utf8Text(Text), "", std::string::npos));
  const size_t First = Name.find_first_not_of(' ');
  if (First == std::string::npos)
    return "";
  Name = Name.substr(First, Name.find_last_not_of(' ') - First + 1);
  if (Name.size() > ContactNameLimit) {
    Name.resize(ContactNameLimit);
    TrimPartialSequence(Name);
  }
  return Name;
}

std::vector<TContact> ReadVCards(const std::string& Text, const std::string& Source,
                                 std::vector<std::string>& Warnings) {
  std::vector<TContact> Contacts;
  std::optional<TContact> Card;
  std::string FamilyGiven; // from N, when there is no FN
  bool Broken = false;     // the card already warned about; skip to its END
  auto Warn = [&](int Line, const std::string& Why) {
    Warnings.push_back(Source + ":" + std::to_string(Line) + ": card skipped: " + Why);
  };
  const std::vector<TContentLine> Lines = Unfold(Text);
  for (const TContentLine& Line : Lines) {
    if (Blank(Line.Text))
      continue;
    const std::optional<TProperty> Property = Split(Line.Text);
    const bool Begin = Property && Property->Name == "BEGIN" && Upper(Property->Value) == "VCARD";
    const bool End = Property && Property->Name == "END" && Upper(Property->Value) == "VCARD";
    if (!Card) {
      if (Begin) {
        Card = TContact{{}, {}, Line.Line};
        FamilyGiven.clear();
        Broken = false;
      } else {
        Warn(Line.Line, "text outside a card");
      }
      continue;
    }
    if (Begin) {
      if (!Broken)
        Warn(Line.Line, "a card begins inside another one");
      Card = TContact{{}, {}, Line.Line};
      FamilyGiven.clear();
      Broken = false;
      continue;
    }
    if (End) {
      if (Card->Name.empty())
        Card->Name = CleanName(FamilyGiven);
      if (!Broken && !Card->Name.empty() && !Card->Numbers.empty())
        Contacts.push_back(std::move(*Card));
      Card.reset();
      continue;
    }
    if (Broken)
      continue;
    if (!Property) {
      Warn(Line.Line, "a line without \":\"");
      Broken = true;
    } else if (Property->Name == "FN") {
      Card->Name = CleanName(Unescape(ValueText(*Property)));
    } else if (Property->Name == "N") {
      const std::vector<std::string> Parts = Components(ValueText(*Property));
      FamilyGiven = (Parts.size() > 1 ? Parts[1] + " " : "") + Parts[0];
    } else if (Property->Name == "TEL") {
      Card->Numbers.push_back(Unescape(ValueText(*Property)));
    }
  }
  if (Card && !Broken)
    Warn(Card->Line, "no END:VCARD before the end of the file");
  return Contacts;
}

std::string ContactCard(const std::string& Name, const std::string& Number) {
  std::string Escaped;
  for (char C : CleanName(Name)) {
    if (C == '\\' || C == ',' || C == ';')
      Escaped.push_back('\\');
    Escaped.push_back(C);
  }
  // Folded at 75 bytes, never inside a UTF-8 sequence.
  const std::string Long = "FN:" + Escaped;
  std::string Folded;
  size_t Width = 0;
  for (char C : Long) {
    const bool Continuation = (static_cast<unsigned char>(C) & 0xC0) == 0x80;
    if (Width >= 74 && !Continuation) {
      Folded += "\r\n ";
      Width = 1;
    }
    Folded.push_back(C);
    ++Width;
  }
  std::string Digits = PlainField(Number, "\\,;:", 64);
  return "BEGIN:VCARD\r\nVERSION:3.0\r\n" + Folded + "\r\nTEL;TYPE=VOICE:" + Digits +
         "\r\nEND:VCARD\r\n";
}

TContactBook::TContactBook(const std::vector<TContact>& Contacts, const TCountryRule& Country)
    : FCountry(&Country) {
  for (const TContact& Contact : Contacts)
    for (const std::string& Number : Contact.Numbers) {
      const std::string Key = CanonicalNumber(Number, Country);
      if (!Key.empty())
        FByNumber.emplace(Key, Contact.Name);
    }
}

std::string TContactBook::Find(const std::string& Number) const {
  const std::string Key = CanonicalNumber(Number, *FCountry);
  if (Key.empty())
    return "";
  const auto Found = FByNumber.find(Key);
  return Found == FByNumber.end() ? "" : Found->second;
}
