// The vCard reader and writer. See Contacts.h.
#include "calls/Contacts.h"

#include "calls/CallText.h"
#include "platform/PlainText.h"

#include <cctype>
#include <optional>

namespace {

struct TContentLine {
  std::string Text;
  int Line = 0; // where it began
};

// The logical lines of Text: line ends of either kind, folded lines joined.
std::vector<TContentLine> Unfold(const std::string& Text) {
  std::vector<TContentLine> Lines;
  int Number = 0;
  size_t Start = 0;
  while (Start < Text.size()) {
    size_t End = Text.find('\n', Start);
    if (End == std::string::npos)
      End = Text.size();
    std::string Line = Text.substr(Start, End - Start);
    if (!Line.empty() && Line.back() == '\r')
      Line.pop_back();
    ++Number;
    Start = End + 1;
    if (!Line.empty() && (Line[0] == ' ' || Line[0] == '\t') && !Lines.empty())
      Lines.back().Text += Line.substr(1);
    else
      Lines.push_back({Line, Number});
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
  std::string Name = Upper(Line.substr(0, std::min(Colon, Line.find(';'))));
  if (const size_t Dot = Name.find('.'); Dot != std::string::npos)
    Name.erase(0, Dot + 1);
  return TProperty{Name, Line.substr(Colon + 1)};
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
      Card->Name = CleanName(Unescape(Property->Value));
    } else if (Property->Name == "N") {
      const std::vector<std::string> Parts = Components(Property->Value);
      FamilyGiven = (Parts.size() > 1 ? Parts[1] + " " : "") + Parts[0];
    } else if (Property->Name == "TEL") {
      Card->Numbers.push_back(Unescape(Property->Value));
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
