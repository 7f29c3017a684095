// CallRecord: what the monitor knows of one call once its caller ID is in, and the outlets it
// hands every call to (the history, notifications, other screens).
//
// Contract:
// - Time, ID and IDName are the texts the list and the console show; ID and IDName hold the
//   withheld or out-of-area texts when the line sent no number or name. Number and Name are
//   what the line sent ("" when absent) and NumberAbsent / NameAbsent say why one is absent,
//   so that an outlet never has to read the display texts back.
// - CallKey is the same for every report of one call (a later field of the same caller), and
//   different for different calls of one monitor. A later report has Update set: an outlet
//   that can show it in place (a row, a record, a notification, a retained message) replaces
//   what it showed for that call; one that sends a line per call (a console, NCID clients)
//   has sent it already and lets the update pass. HistoryId is the history's own id of a
//   record read back from it (its row), 0 for a call that was not.
// - Contact and Blocked are what the call screen decided (calls/CallScreen.h) before anyone
//   saw the call: when the number is a contact's, Contact and IDName hold the contact's name
//   while Name keeps the network's; Blocked says the call was picked up and put down at once.
// - Ringing tells the outlets that show a line's ringing each ring of a call and the end of it
//   (TRingReport), before, between and after the call's Deliver.
// - An outlet's Deliver runs on the monitor's thread and must return at once: an outlet that
//   talks to a disk or a network queues the call (bounded) and does the work elsewhere. It
//   reports its own failures (once, not per call) and never throws for them; an exception
//   that escapes anyway is caught by the monitor so that the other outlets still get the call.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

enum TAbsence {
  abNone,       // present
  abWithheld,   // the caller asked for privacy ("P")
  abOutOfArea,  // the network could not deliver it ("O")
  abUnavailable // the line sent nothing for it
};

// The stable lower-case word of a reason, for files and protocols: "", "withheld",
// "out-of-area", "unavailable".
const char* AbsenceWord(TAbsence Reason);

struct TCallRecord {
  std::string Time;       // "dd/mm/yyyy  hh:mm:ss", local time
  std::string ID;         // the number as shown
  std::string IDName;     // the name as shown
  std::time_t Moment = 0; // when the caller ID came in, seconds since the epoch (UTC)
  std::string Line;       // the name of the line the call came in on
  std::string Number;     // as the line sent it, "" when absent
  std::string Name;       // as the line sent it, "" when absent
  TAbsence NumberAbsent = abNone;
  TAbsence NameAbsent = abNone;
  uint64_t CallKey = 0;
  bool Update = false; // a later report of the call with this CallKey
  uint64_t HistoryId = 0;
  std::string Contact;  // the contact's name for the number, "" when none
  bool Blocked = false; // answered and hung up at once by the block list
};

// What a blocked call's name is followed by where rows are printed or shown.
inline constexpr const char* BlockedMarker = " [blocked]";

// A line's ringing as the monitor hears it: the call's ring count so far (1, 2, ...), or 0
// when the ringing stopped (the caller gave up, the call was answered or blocked).
struct TRingReport {
  std::string Line; // the line's name
  unsigned Ring = 0;
  std::time_t Moment = 0; // when the ring came, seconds since the epoch (UTC)
};

class TCallOutlet {
public:
  virtual ~TCallOutlet() = default;
  virtual void Deliver(const TCallRecord& Call) = 0;
  // Each ring and the end of the ringing, for an outlet that shows them; the same rules as
  // Deliver. Most outlets show calls only.
  virtual void Ringing(const TRingReport& /*Report*/) {}
};
