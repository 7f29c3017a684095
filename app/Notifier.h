// Notifier: a desktop notification for every call, through the session bus's
// org.freedesktop.Notifications service (Qt's D-Bus module).
//
// Contract:
// - TDesktopNotifier is a call outlet. Each call becomes a notification from "Ringlet" with the
//   icon named "org.ringlet.Ringlet" (the hicolor icon the package installs), the summary
//   "Incoming call" and as body the number and the name as the list shows them (a blocked
//   call's name marked as in the list), then for a contact the network's name in
//   parentheses, one a line (control characters removed, each cut to NotifyFieldLimit
//   characters, markup characters escaped). A later report of a call already
//   shown (the same CallKey) replaces that notification through the id the service returned;
//   one that comes while the first is still unanswered is sent as soon as the id is in.
// - Deliver never waits on the bus: each notification is an asynchronous call with a time-out
//   of NotifyReplyTimeoutMs, and its reply comes in through the Qt event loop of the thread
//   that created the notifier; the front end must run that loop (or Serve below).
// - The bus connection is made when the notifier is created. No session bus, or a service that
//   is missing or fails: OnFailure is told once (at the first call that meets it), never again,
//   and the calls go on; without OnFailure the text goes to standard error.
// - A QCoreApplication must exist while a notifier does. Everything belongs to the thread that
//   created it.
#pragma once

#include "app/Monitor.h"
#include "calls/CallRecord.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

class QCoreApplication;
class QDBusPendingCallWatcher;

inline constexpr int NotifyFieldLimit = 80;
inline constexpr int NotifyReplyTimeoutMs = 5000;
inline constexpr const char* NotifyAppName = "Ringlet";
inline constexpr const char* NotifyIconName = "org.ringlet.Ringlet"; // the installed icon's name
inline constexpr const char* NotifySummary = "Incoming call";
// The setting in section [Settings] of the program's settings file that turns the
// notifications off: "off", "no", "false" or "0".
inline constexpr const char* NotifySettingKey = "Notifications";

// The body of a call's notification.
QString NotificationBody(const TCallRecord& Call);

class TDesktopNotifier : public QObject, public TCallOutlet {
  Q_OBJECT
public:
  // BusAddress empty: the user's session bus.
  explicit TDesktopNotifier(const QString& BusAddress = QString(), QObject* Parent = nullptr);
  ~TDesktopNotifier() override;

  void Deliver(const TCallRecord& Call) override;

  // Whether the bus was reached when the notifier was created.
  bool Connected() const;
  // Notifications sent whose reply has not come in yet.
  int Waiting() const { return FWaiting; }

  std::function<void(const std::string&)> OnFailure;

private:
  struct TShown {
    uint32_t Id = 0; // the service's id, 0 until it replied
    bool Unanswered = false;
    std::optional<TCallRecord> Later; // a later report that waits for the id
  };

  void Send(const TCallRecord& Call, uint32_t ReplacesId);
  void Answered(uint64_t CallKey, QDBusPendingCallWatcher* Watcher);
  void Fail(const std::string& Why);
  void Forget();

  QString FConnectionName;
  QDBusConnection FBus;
  std::map<uint64_t, TShown> FShown;
  int FWaiting = 0;
  bool FFailureTold = false;
};

// The command line's word on notifications.
enum TNotifyChoice { ncDefault, ncOn, ncOff };

// Whether a front end notifies: the command line decides when it says something, else a
// setting that turns them off, else the front end's default.
bool NotificationsWanted(TNotifyChoice Choice, const std::string& Setting, bool FrontEndDefault);

// A desktop notifier added to a monitor's outlets for the life of this object. It makes the
// core application that Qt's D-Bus needs when the front end has none (the console), and
// Serve then runs the replies that came in.
class TMonitorNotifier {
public:
  explicit TMonitorNotifier(TCallMonitor& Monitor, const QString& BusAddress = QString());
  ~TMonitorNotifier();
  TMonitorNotifier(const TMonitorNotifier&) = delete;
  TMonitorNotifier& operator=(const TMonitorNotifier&) = delete;

  void Serve();
  TDesktopNotifier& Notifier() { return *FNotifier; }

private:
  TCallMonitor& FMonitor;
  std::unique_ptr<QCoreApplication> FApplication;
  std::unique_ptr<TDesktopNotifier> FNotifier;
};

// The monitor's notifier when NotificationsWanted says so (the setting read from the
// monitor's settings store), else none.
std::unique_ptr<TMonitorNotifier> WantedNotifier(TCallMonitor& Monitor, TNotifyChoice Choice,
                                                 bool FrontEndDefault);
