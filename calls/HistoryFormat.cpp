// Stored calls as text, CSV and JSON.
#include "calls/HistoryFormat.h"

#include "platform/Text.h"

#include <cstdio>
#include <ctime>

namespace {

const char* const Replacement = "\xEF\xBF\xBD";

// The length of the valid UTF-8 sequence at Text[At], 0 when there is none.
size_t SequenceLength(const std::string& Text, size_t At) {
  const auto Byte = [&](size_t I) { return static_cast<unsigned char>(Text[I]); };
  const unsigned char Lead = Byte(At);
  size_t Length;
  uint32_t Code;
  if (Lead < 0x80)
    return 1;
  if (Lead >= 0xC2 && Lead <= 0xDF) {
    Length = 2;
    Code = Lead & 0x1F;
  } else if (Lead >= 0xE0 && Lead <= 0xEF) {
    Length = 3;
    Code = Lead & 0x0F;
  } else if (Lead >= 0xF0 && Lead <= 0xF4) {
    Length = 4;
    Code = Lead & 0x07;
  } else {
    return 0;
  }
  if (At + Length > Text.size())
    return 0;
  for (size_t I = 1; I < Length; ++I) {
    if ((Byte(At + I) & 0xC0) != 0x80)
      return 0;
    Code = (Code << 6) | (Byte(At + I) & 0x3F);
  }
  const bool Overlong = (Length == 3 && Code < 0x800) || (Length == 4 && Code < 0x10000);
  const bool Surrogate = Code >= 0xD800 && Code <= 0xDFFF;
  if (Overlong || Surrogate || Code > 0x10FFFF)
    return 0;
  return Length;
}

bool IsControl(const std::string& Text, size_t At, size_t Length) {
  const unsigned char Lead = static_cast<unsigned char>(Text[At]);
  if (Length == 1)
    return Lead < 0x20 || Lead == 0x7F;
  // C1 controls, U+0080 to U+009F.
  return Length == 2 && Lead == 0xC2 && static_cast<unsigned char>(Text[At + 1]) < 0xA0;
}

std::string CsvField(const std::string& Raw) {
  const std::string Text = CleanText(Raw);
  if (Text.find_first_of(",\"\r\n") == std::string::npos)
    return Text;
  std::string Quoted = "\"";
  for (char C : Text) {
    if (C == '"')
      Quoted += '"';
    Quoted += C;
  }
  return Quoted + "\"";
}

std::string JsonString(const std::string& Raw) {
  std::string Quoted = "\"";
  for (char C : CleanText(Raw)) {
    if (C == '"' || C == '\\')
      Quoted += '\\';
    Quoted += C;
  }
  return Quoted + "\"";
}

std::string JsonAbsence(TAbsence Reason) {
  return Reason == abNone ? "null" : JsonString(AbsenceWord(Reason));
}

} // namespace

bool ParseHistoryFormat(const std::string& Word, THistoryFormat& Format) {
  if (Word == "text")
    Format = fmText;
  else if (Word == "csv")
    Format = fmCsv;
  else if (Word == "json")
    Format = fmJson;
  else
    return false;
  return true;
}

std::string CleanText(const std::string& Text) {
  std::string Clean;
  Clean.reserve(Text.size());
  for (size_t At = 0; At < Text.size();) {
    const size_t Length = SequenceLength(Text, At);
    if (Length == 0) {
      Clean += Replacement;
      ++At;
      continue;
    }
    if (!IsControl(Text, At, Length))
      Clean.append(Text, At, Length);
    At += Length;
  }
  return Clean;
}

std::string FormatHistoryHeader(THistoryFormat Format) {
  return Format == fmCsv
             ? "utc,local_time,line,number,name,number_absent,name_absent,contact,blocked\r\n"
             : "";
}

std::string FormatHistoryCall(const TCallRecord& Call, THistoryFormat Format) {
  switch (Format) {
  case fmCsv:
    return CsvField(Platform::UtcText(Call.Moment)) + "," + CsvField(Call.Time) + "," +
           CsvField(Call.Line) + "," + CsvField(Call.Number) + "," + CsvField(Call.Name) + "," +
           CsvField(AbsenceWord(Call.NumberAbsent)) + "," + CsvField(AbsenceWord(Call.NameAbsent)) +
           "," + CsvField(Call.Contact) + "," + (Call.Blocked ? "1" : "0") + "\r\n";
  case fmJson:
    return "{\"utc\":" + JsonString(Platform::UtcText(Call.Moment)) +
           ",\"local_time\":" + JsonString(Call.Time) + ",\"line\":" + JsonString(Call.Line) +
           ",\"number\":" + JsonString(Call.Number) + ",\"name\":" + JsonString(Call.Name) +
           ",\"number_absent\":" + JsonAbsence(Call.NumberAbsent) +
           ",\"name_absent\":" + JsonAbsence(Call.NameAbsent) +
           ",\"contact\":" + JsonString(Call.Contact) +
           ",\"blocked\":" + (Call.Blocked ? "true" : "false") + "}\n";
  case fmText:
    break;
  }
  return CleanText(Call.Time) + "\t" + CleanText(Call.ID) + "\t" + CleanText(Call.IDName) +
         (Call.Blocked ? BlockedMarker : "") + "\n";
}
