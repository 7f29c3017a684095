// The words of the absence reasons.
#include "calls/CallRecord.h"

const char* AbsenceWord(TAbsence Reason) {
  switch (Reason) {
  case abWithheld:
    return "withheld";
  case abOutOfArea:
    return "out-of-area";
  case abUnavailable:
    return "unavailable";
  case abNone:
    break;
  }
  return "";
}
