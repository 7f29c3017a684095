// Monitor: the monitoring flow that the window and the console front end share. It is the
// form description of the main window without its controls: the port PhoneCom, the line
// device Phone and the settings store IniSettings, created in that order with their property
// values while loading, then Loaded.
//
// Contract:
// - Start puts Phone into answer mode (AnswerOnRing 50) and enters Monitoring; a failure
//   raises and leaves the state as it was. When the user may not open the line's serial
//   device for want of its group (dialout), the failure raised is EDeviceAccess, saying so
//   and how to join the group; when a process (this one or another) holds the device, it is
//   EDeviceHeld, saying who (and the lost-line reports below say so too). Stop ends
//   Monitoring and stops the device.
// - Begin is Start with the set-up in the background: the line's choice (which may open the
//   selection dialog) and what the library refuses at once still raise inside Begin, as in
//   Start; otherwise Monitoring and Starting are true at once, and the outcome follows as
//   OnStarted, never inside Begin: nullptr once the line answers, else the exception Start
//   would have raised, with Monitoring false again. Stop meanwhile gives the set-up up, and
//   no outcome is told.
// - Each caller ID stops the device, reports one call (OnCall), and ReopenPauseMs later Poll
//   answers again. A caller ID that the line offers again under the call id of the call
//   reported last (the same call, with who is calling changed: a number masked at the next
//   ring) is reported as an update of that call: the same CallKey, time and moment, Update set.
//   While Monitoring, a call that ends without a caller ID (or a line that closes by itself)
//   leaves the line closed: Poll sees the closed line and re-arms the device. When re-arming
//   fails (the modem is gone) OnLineLost is told once, and Poll retries every RearmRetryMs
//   until it succeeds, then OnLineBack.
// - Only Start waits for a modem's set-up (the one-line console, which has nothing else to
//   serve before its line answers, uses it): Begin, re-arming and Watch open the line in the
//   background (TApdTapiDevice::BeginAnswering) and learn the outcome from the line device's
//   event, so a silent modem holds up neither the window nor the console's other lines. Poll
//   leaves a line being set up alone.
// - Each call goes to OnCall first (the row on the screen), then to every outlet in the order
//   they were added; an outlet that throws is skipped for that call, the others still get it.
//   Each ring the line reports, and the end of the ringing (ring 0), goes to every outlet's
//   Ringing the same way.
// - Screening: with a call screen set, each call is screened (contact name, blocked) after its
//   record is made and before anyone sees it. A blocked call is rejected by the telephony
//   library (its own lineDevSpecific operation: the line takes the call and puts it down, the
//   caller is cut off, nothing connects); the stop that follows every caller ID waits for that.
//   A library without the operation gets the older answer and drop instead; a line that
//   cannot reject leaves the call ringing, and then it is not marked Blocked. Then the call is
//   reported like any other call.
// - Poll is the front end's timer tick; it does nothing while a call into Phone is running.
//   The front end must not call it from a modal loop that runs inside a call into Phone.
// - Everything belongs to the thread that created the monitor.
#pragma once

#include "app/RzRegIniFile.h"
#include "calls/CallRecord.h"
#include "calls/CallScreen.h"
#include "common/OoMisc.h"
#include "port/AdPort.h"
#include "tapi/AdTapi.h"

#include <cstdint>
#include <ctime>
#include <exception>
#include <functional>
#include <string>
#include <vector>

// The modem's device may not be opened by this user; the message says how to fix that.
class EDeviceAccess : public Exception {
public:
  using Exception::Exception;
};

// The modem's device is held by another program or another part of this one; the message
// says who.
class EDeviceHeld : public Exception {
public:
  using Exception::Exception;
};

// The list's date and time text of a moment.
std::string CallTimeText(std::time_t Moment);

inline constexpr const char* SettingsSection = "Settings";
inline constexpr const char* SettingsDeviceKey = "TapiDevice";

// The settings file of every monitor created from now on; "" (the default) leaves the choice
// to the settings store. The demo mode points it into its own temporary folder, so that the
// demo line never replaces the line remembered for a real modem.
void SetSettingsFileName(const std::string& FileName);
const std::string& SettingsFileName();

class TCallMonitor : public TComponent {
public:
  explicit TCallMonitor(TComponent* AOwner = nullptr);
  ~TCallMonitor() override;

  TApdComPort* PhoneCom() const { return FPhoneCom; }
  TApdTapiDevice* Phone() const { return FPhone; }
  TRzRegIniFile* IniSettings() const { return FIniSettings; }

  // The remembered device name ("" by default), and storing it.
  std::string LoadSettings();
  void SaveSettings(const std::string& DeviceName);

  // The two internal operations of the window.
  void StartMonitoring();
  void StopMonitoring();
  // StartMonitoring with the line set up in the background.
  void BeginMonitoring();

  void Start();
  void Begin();
  bool Starting() const { return FStarting; }
  // Start for a line that may not be there yet, in the background: a failure is a lost line
  // (OnLineLost, with what Start would have raised, then retried by Poll) instead of an
  // exception; Monitoring is true at once.
  void Watch();
  void Stop();
  bool Monitoring() const { return FMonitoring; }
  bool LineLost() const { return FLost; }
  bool RearmPending() const { return FRearmPending; }

  void Poll();
  // How long after a call the line is opened again.
  static constexpr uint32_t ReopenPauseMs = 100;
  uint32_t RearmRetryMs() const { return FRearmRetryMs; }
  void SetRearmRetryMs(uint32_t Value) { FRearmRetryMs = Value; }

  // The screen is not owned; nullptr (the default) screens nothing.
  void SetScreen(TCallScreen* Screen) { FScreen = Screen; }
  TCallScreen* Screen() const { return FScreen; }

  // Outlets are not owned; one must be removed before it is destroyed.
  void AddOutlet(TCallOutlet* Outlet);
  void RemoveOutlet(TCallOutlet* Outlet);

  std::function<void(const TCallRecord&)> OnCall;
  std::function<void(const std::string&)> OnLineLost;
  std::function<void()> OnLineBack;
  std::function<void(std::exception_ptr Failure)> OnStarted;

private:
  // Monitoring, with no lost line and no re-arm pending.
  void EnterMonitoring();
  void PhoneTapiCallerID(TObject* CP, const std::string& ID, const std::string& IDName);
  void PhoneTapiFail(TObject* Sender);
  // The record of the caller ID the device reports: a new call, or an update of the last one.
  TCallRecord NewRecord(const std::string& ID, const std::string& IDName);
  void PhoneTapiAnswering(int ErrorCode);
  // Begin's outcome: OnStarted with nullptr, or with what Start would have raised.
  void Started(int ErrorCode);
  // Raises what Start raises for the failure being handled (call it inside a handler).
  [[noreturn]] void RaiseStartFailure(const std::exception& E);
  // A failed open: OnLineLost once, and a retry after RearmRetryMs.
  void LineFailed(const std::string& What);
  void ReportCall(const TCallRecord& Record);
  void ReportRing(unsigned Ring);
  void ScreenCall(TCallRecord& Record);
  void ScheduleRearm(uint32_t DelayMs);
  void Rearm();
  // What a failure to open the line says, with who holds the modem when someone does; the
  // advice for a user who may not open the modem's device ("" when that is not the problem).
  std::string FailureText(const std::string& What);
  std::string AccessAdvice();

  TApdComPort* FPhoneCom = nullptr;
  TApdTapiDevice* FPhone = nullptr;
  TRzRegIniFile* FIniSettings = nullptr;
  bool FMonitoring = false;
  bool FLost = false;
  bool FRearmPending = false;
  bool FWatchOpening = false; // Watch's first open has not had its outcome yet
  bool FStarting = false;     // Begin's open has not had its outcome yet
  uint32_t FRearmDue = 0;
  uint32_t FRearmRetryMs = 3000;
  int FBusy = 0;
  uint64_t FLastCallKey = 0;
  DWORD FLastLineCallId = 0; // the line's id of the call reported last
  TCallRecord FLastCall;
  std::vector<TCallOutlet*> FOutlets;
  TCallScreen* FScreen = nullptr;
};

// The record of a caller ID as the line device reports it: the texts as shown, and the
// number and name with the reason for each one that is absent.
TCallRecord MakeCallRecord(std::time_t Moment, const std::string& Line, const std::string& ID,
                           const std::string& IDName);
// The same with the reasons given as values (the line device's caller-ID flags say them).
TCallRecord MakeCallRecord(std::time_t Moment, const std::string& Line, const std::string& ID,
                           const std::string& IDName, TAbsence NumberAbsent, TAbsence NameAbsent);
