// CallRecord: what the monitor knows of one call once its caller ID is in, and the outlets it
// hands every call to (the history, notifications, other screens).
//
// Contract:
// - Time, ID and IDName are the texts the list and the console show; ID and IDName hold the
//   withheld or out-of-area texts when the line sent no number or name. Number and Name are
//   what the line sent ("" when absent) and NumberAbsent / NameAbsent say why one is absent,
//   so that an outlet never has to read the display texts back.
// - CallKey is the same for every report of one call (a later field of the same caller), and
//   different for different calls of one monitor. HistoryId is the history's own id of a
//   record read back from it (its row), 0 for a call that was not.
// - Contact and Blocked are what the call screen decided (calls/CallScreen.h) before anyone
//   saw the call: when the number is a contact's, Contact and IDName hold the contact's name
//   while Name keeps the network's; Blocked says the call was picked up and put down at once.
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
  std::string Time;   // "dd/mm/yyyy  hh:mm:ss", local time
  std::string ID;     // the number as shown
  std::string IDName; // the name as shown
  std::time_t Moment = 0; // when the caller ID came in, seconds since the epoch (UTC)
  std::string Line;       // the name of the line the call came in on
  std::string Number;     // as the line sent it, "" when absent
  std::string Name;       // as the line sent it, "" when absent
  TAbsence NumberAbsent = abNone;
  TAbsence NameAbsent = abNone;
  uint64_t CallKey = 0;
  uint64_t HistoryId = 0;
  std::string Contact;  // the contact's name for the number, "" when none
  bool Blocked = false; // answered and hung up at once by the block list
};

// What a blocked call's name is followed by where rows are printed or shown.
inline constexpr const char* BlockedMarker = " [blocked]";

class TCallOutlet {
public:
  virtual ~TCallOutlet() = default;
  virtual void Deliver(const TCallRecord& Call) = 0;
};
