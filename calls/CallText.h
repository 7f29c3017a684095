// CallText: turning the texts of a call (which come from a telephone line, a stranger's choice)
// into safe pieces of the formats the outlets speak.
//
// Contract:
// - Every function is pure and takes any bytes: control characters, invalid UTF-8 and
//   separators of the target format never pass through unchanged.
// - Text is 8-bit as the line sends it; bytes that are not valid UTF-8 are read as Latin-1
//   where a format needs UTF-8 (JSON, MQTT topics).
#pragma once

#include "calls/CallRecord.h"

#include <string>

// The text with every control character (below 0x20, and 0x7F) and every character of
// Forbidden replaced by a blank, cut to MaxLength bytes.
std::string PlainField(const std::string& Text, const std::string& Forbidden = "",
                       size_t MaxLength = 256);

// The text as valid UTF-8: valid sequences kept, every other byte taken as Latin-1.
std::string Utf8Text(const std::string& Text);

// A JSON string literal, quotes included, of the text read as Utf8Text.
std::string JsonString(const std::string& Text);

// A JSON object of the call: id (when Id is not empty), revision (when not 0: the call's
// update), time (ISO 8601 with the local offset),
// line, number, name, and absent {number, name} holding the reason word or null, contact (the
// contact's name or null) and blocked (true or false).
std::string CallJson(const TCallRecord& Call, const std::string& Id = "", unsigned Revision = 0);

// The moment as ISO 8601 in local time with its offset, e.g. "2026-12-08T22:36:05+01:00".
std::string IsoLocalTime(std::time_t Moment);

// A name fit for one MQTT topic level and an identifier: lower-case letters, digits and '_'
// only, never empty, at most 64 bytes. Latin letters with accents and Cyrillic letters are
// written in plain Latin ("Kuche", "Кухня" as "kukhnya"); a name with characters that have no
// such form (or WithHash, for a name whose slug another name had first) ends in "_" and eight
// hex digits of a hash of the whole name, so different names keep different slugs.
std::string TopicSlug(const std::string& Text, bool WithHash = false);
