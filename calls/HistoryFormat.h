// HistoryFormat: stored calls as text for a terminal, a spreadsheet or a program.
//
// Contract:
// - fmText is the console's row, "dd/mm/yyyy  hh:mm:ss<TAB>number<TAB>name", with the texts
//   the list shows. fmCsv follows RFC 4180: CSV header and rows end in CR LF, a field with a
//   comma, a quote or a line break is quoted and its quotes doubled. fmJson is one object per
//   line.
// - CSV and JSON carry the data: the UTC and local times, the line, the number and the name as
//   the line sent them, and why each one is absent ("withheld", "out-of-area", "unavailable";
//   empty in CSV and null in JSON when present).
// - Numbers and names come from a telephone line: every field goes through CleanText, so no
//   control character and no broken UTF-8 reaches the reader's terminal, in any format.
#pragma once

#include "calls/CallRecord.h"

#include <string>

enum THistoryFormat { fmText, fmCsv, fmJson };

// "text", "csv" or "json"; false for anything else.
bool ParseHistoryFormat(const std::string& Word, THistoryFormat& Format);

// Text without control characters (C0, DEL, C1); a byte that is not valid UTF-8 becomes
// U+FFFD.
std::string CleanText(const std::string& Text);

// What comes before the first call: the CSV header row, else "".
std::string FormatHistoryHeader(THistoryFormat Format);
// One call, with its line end.
std::string FormatHistoryCall(const TCallRecord& Call, THistoryFormat Format);
