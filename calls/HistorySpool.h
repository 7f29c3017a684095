// HistorySpool: the calls that wait for the call history file, kept in a small text file beside
// it ("<history>.pending"), so that they outlive the program (an exit, a kill) while the file
// cannot be written, and so that other programs reading the history see them meanwhile.
//
// Contract:
// - One call a line after a header line: its token and arrival, then every field of the
//   record (CallKey aside) as tab-separated text in which a backslash, a tab and a line break
//   are escaped. A line that cannot be read is skipped; the others count. Texts are kept as
//   the line sent them (the readers clean them where they show them).
// - A call is known by its token: adding one that is there already replaces it, and removing
//   takes out the calls of those tokens only, so the calls other writers left are kept.
// - UpdateSpool changes the file under its lock ("<spool>.lock") and
//   replace it atomically (mode 0600: the calls are private); a spool left empty is removed.
//   ReadSpool needs no lock. Results are the error numbers of platform/LastError.h, 0 for
//   success; a missing spool reads as no calls.
#pragma once

#include "calls/HistoryStore.h"

#include <cstdint>
#include <string>
#include <vector>

// The spool of the history at HistoryPath.
std::string SpoolFile(const std::string& HistoryPath);

// The text of calls in the spool's form, and back.
std::string SpoolText(const std::vector<THistoryCall>& Calls);
std::vector<THistoryCall> ParseSpool(const std::string& Text);

uint32_t ReadSpool(const std::string& Spool, std::vector<THistoryCall>& Calls);
// Takes out the calls of Remove's tokens, then adds Add's (in place of the same token).
uint32_t UpdateSpool(const std::string& Spool, const std::vector<std::string>& Remove,
                     const std::vector<THistoryCall>& Add);
