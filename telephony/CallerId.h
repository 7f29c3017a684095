// CallerId: turns what a caller-ID modem sends into events - rings, caller-ID blocks, result
// codes - for the line service's reader thread.
//
// Contract: the parser is pure. It does no I/O, starts no threads and reads no clock: the owner
// feeds it raw bytes as they are read (FeedBytes) or whole lines (FeedLine), passes its own
// monotonic time in milliseconds with every call, calls Poll when NextDeadline comes due, and
// takes the events out of the returned vectors. One parser serves one modem; it is not
// thread-safe.
//
// Lines: CR LF, LF and CR all end a line; only whole lines count; a line longer than
// MaxLineLength bytes is discarded (one ekBadData event), except a line of hex digits, which
// may be as long as the longest raw packet (MaxPacketLineLength), so that every packet a
// modem can send is read whole. NUL and other control bytes are dropped; bytes of 0x80 and
// above are kept as they are (8-bit names). A number or a name keeps no control character in
// any form (platform/PlainText.h: C1 controls as raw bytes or in UTF-8 too), while UTF-8 and
// Latin-1 letters stay.
//
// Caller-ID blocks: the fields (DATE, TIME, NMBR, NAME, MESG and their other spellings, or one
// raw SDMF/MDMF packet) are collected into one TCallerIdInfo and reported as an ekCallerId
// event as soon as it says who is calling; what comes later is an update (below). Modems
// interleave rings and caller-ID lines in many orders (fields before the first ring, split
// around it, a late NAME or MESG), so:
// - a block that has both the number and the name (a value or an absent reason) is reported
//   the moment the second of them arrives (a monitor shows the caller at once);
// - a block that lacks one of them waits for it: it is reported at the second RING after it
//   began, or at the first when it began between two rings of a call (no later after the last
//   RING than the rings are apart, or after a call's first RING), or after LateFieldMs
//   without a further line or RING;
// - a result code or EndCall reports whatever is pending. A raw packet is a whole block.
//
// One call, one block: after a block was reported it stays open for the same call. A later
// block that is the same caller (SameCaller: a repeat at the next ring, the fields it lacked, or
// a lone mask of its number: the masked form wins) is merged into it; if that changes the
// number, the name or an absent reason, the merged block is reported again with Update set. A
// block with another number or name is another caller and is reported as a new block. The
// reported block closes at a result code, at EndCall, or when CallGapMs pass without a RING or
// caller-ID line. Fields that follow a reported block (a MESG, a repeat, a mask) wait PauseMs
// without a further line, or the next RING, before they are merged: a new caller's block may
// begin with such a field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Telephony {

// Why a number or a name is missing from a caller-ID block.
enum TCallerIdAbsence {
  caNone,     // not missing (or not said)
  caPrivate,  // "P": the caller asked for privacy (withheld, blocked, restricted)
  caOutOfArea // "O": out of area, unavailable
};

// A caller-ID parameter that the parser keeps as data: its type byte and its bytes.
struct TCallerIdParam {
  uint8_t Type = 0;
  std::string Data;
  bool operator==(const TCallerIdParam&) const = default;
};

struct TCallerIdInfo {
  std::string Date;   // "MMDD", empty when not sent or malformed
  std::string Time;   // "HHMM", empty when not sent or malformed
  std::string Number; // as sent, empty when absent
  std::string Name;   // as sent (8-bit bytes kept), trailing blanks trimmed, empty when absent
  TCallerIdAbsence NumberAbsent = caNone;
  TCallerIdAbsence NameAbsent = caNone;
  std::vector<TCallerIdParam> Params; // MESG/MDMF parameters not turned into a field above
  bool Raw = false;                   // decoded from a raw SDMF/MDMF packet
  bool Update = false; // a later report of a block already reported, with late fields merged

  bool HasNumber() const { return !Number.empty() || NumberAbsent != caNone; }
  bool HasName() const { return !Name.empty() || NameAbsent != caNone; }
  bool operator==(const TCallerIdInfo&) const = default;
};

enum TModemEventKind {
  ekRing,     // a RING line; Text holds the distinctive ring text ("A", "1", "DRON=5 DROF=40")
  ekCallerId, // a caller-ID block; CallerId holds it
  ekResult,   // a result code; Result says which, Text holds what follows CONNECT (the rate)
  ekEcho,     // the echo of an AT command line
  ekBadData,  // discarded input: over-long line, bad packet checksum or length, bad MESG hex;
              // Text says why
  ekOther     // a line nobody here understands; ignored
};

enum TModemResult {
  mrNone,
  mrOk,
  mrError,
  mrConnect,
  mrNoCarrier,
  mrBusy,
  mrNoDialtone,
  mrNoAnswer
};

struct TModemEvent {
  TModemEventKind Kind = ekOther;
  TModemResult Result = mrNone;
  std::string Text;
  TCallerIdInfo CallerId;
  std::string Line; // the line that completed the event (empty for a pause or EndCall report)
};

using TModemEvents = std::vector<TModemEvent>;

// One field of a caller-ID block as a line or a parameter gives it (the parser's working unit).
struct TCallerIdField;

// The hex line of the longest raw packet: type, length, 255 bytes of body, checksum.
inline constexpr std::size_t MaxPacketLineLength = std::size_t{2} * (3 + 255);

struct TModemParserOptions {
  uint64_t PauseMs = 700;      // silence that ends the fields that follow a reported block
  uint64_t CallGapMs = 10000;  // silence after which a reported block takes no late fields
  uint64_t LateFieldMs = 8000; // how long a block without its number or name waits for it
  std::size_t MaxLineLength = 256;
  // Bare digits as ATV0 result codes ("0" OK, "2" RING, ...). Off by default: the line is
  // driven in verbose mode, where a bare digit is an answer to a query (AT+VCID? gives "1").
  bool NumericResults = false;
};

class TModemLineParser {
public:
  explicit TModemLineParser(TModemParserOptions options = {});

  // Raw bytes as read from the modem; partial lines wait for the rest.
  TModemEvents FeedBytes(std::string_view bytes, uint64_t nowMs);
  // One whole line without its line end.
  TModemEvents FeedLine(std::string_view line, uint64_t nowMs);
  // Reports a block that the pause has ended; cheap, call it whenever convenient.
  TModemEvents Poll(uint64_t nowMs);
  // The time at which Poll has work to do, or nothing when no block is waiting.
  std::optional<uint64_t> NextDeadline() const;
  // The owner knows the call is over (ring time-out, hang-up): report what is pending and take
  // no late fields for it.
  TModemEvents EndCall();
  // Forgets everything, partial line included (modem reset, device reopened).
  void Reset();

  const TModemParserOptions& Options() const { return FOptions; }

private:
  // The longest line kept: a line of hex digits may hold a whole packet.
  std::size_t LineLimit(bool hex) const;
  TModemEvent TooLong() const;
  void HandleLine(std::string_view line, uint64_t nowMs, TModemEvents& out);
  bool HandleResult(std::string_view upper, std::string_view line, TModemEvents& out);
  bool HandleRing(std::string_view upper, std::string_view line, uint64_t nowMs, TModemEvents& out);
  bool HandleField(std::string_view upper, std::string_view line, uint64_t nowMs,
                   TModemEvents& out);
  bool HandlePacket(std::string_view line, uint64_t nowMs, TModemEvents& out);
  void ApplyFields(const std::vector<TCallerIdField>& fields, std::string_view line, uint64_t nowMs,
                   TModemEvents& out);
  void ApplyBlock(const TCallerIdInfo& info, std::string_view line, uint64_t nowMs,
                  TModemEvents& out);
  void StartPending(uint64_t nowMs);
  bool PendingComplete() const;
  void FlushPending(std::string_view line, TModemEvents& out);
  void Report(TCallerIdInfo info, std::string_view line, TModemEvents& out);
  void EndOfCall();
  void Expire(uint64_t nowMs, TModemEvents& out);

  TModemParserOptions FOptions;
  std::string FPartial;     // bytes of the line being received
  bool FPartialHex = true;  // it holds hex digits only so far
  bool FDiscarding = false; // the line being received is over-long: drop it to its end
  bool FLastWasCr = false;  // a LF right after a CR ends no second line
  std::string FDistinctive; // DRON/DROF seen since the last RING
  TCallerIdInfo FPending;   // the block being collected
  bool FPendingActive = false;
  uint64_t FPendingLastMs = 0; // when its last field (or a RING while it waits) arrived
  TCallerIdInfo FReported;     // the last block reported, open for late fields
  bool FReportedOpen = false;
  uint64_t FLastActivityMs = 0; // last RING or caller-ID line
  unsigned FCallRings = 0;      // RINGs of the call so far
  uint64_t FLastRingMs = 0;
  uint64_t FRingPeriodMs = 0;        // between the call's last two RINGs; 0 before its second
  unsigned FPendingRings = 0;        // RINGs since the pending block began
  bool FPendingBetweenRings = false; // it began between two rings of a call
};

// Decodes a raw SDMF (0x04) or MDMF (0x80) packet given as bytes. Returns false and a reason
// when the length or the checksum is wrong.
bool DecodeCallerIdPacket(std::string_view packet, TCallerIdInfo& info, std::string& error);

// Whether `later` can be more of the call that `earlier` describes: the same number and name
// where both have one, the fields `earlier` lacks, or a lone mask of its number or name (a
// masking line without date, time or the other party field; a new caller's block has them).
// Dates and times are not compared: a repeat may fall in the next minute.
bool SameCaller(const TCallerIdInfo& earlier, const TCallerIdInfo& later);

// Merges `later` into `block`: fields it lacks are filled, a mask wins over a number or a name.
// True when the number, the name or an absent reason changed.
bool MergeCallerId(TCallerIdInfo& block, const TCallerIdInfo& later);

// Maps a withheld/unavailable marker ("P", "O", "WITHHELD", "Unavailable", ...) to its reason;
// caNone for anything else.
TCallerIdAbsence CallerIdAbsenceOf(std::string_view value);

} // namespace Telephony
