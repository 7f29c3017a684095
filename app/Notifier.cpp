// Desktop notifications of calls over D-Bus.
#include "app/Notifier.h"

#include "app/Screening.h"

#include <QCoreApplication>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace {

const char* const NotifyService = "org.freedesktop.Notifications";
const char* const NotifyPath = "/org/freedesktop/Notifications";
const char* const NotifyInterface = "org.freedesktop.Notifications";
// Notifications whose id is kept for a later report of the same call.
constexpr size_t ShownLimit = 32;
// The service chooses how long a notification stays.
constexpr int ServerExpiry = -1;

QString NextConnectionName() {
  static int Counter = 0;
  return QStringLiteral("ringlet-notifier-%1").arg(++Counter);
}

QDBusConnection ConnectTo(const QString& BusAddress, const QString& Name) {
  if (BusAddress.isEmpty())
    return QDBusConnection::connectToBus(QDBusConnection::SessionBus, Name);
  return QDBusConnection::connectToBus(BusAddress, Name);
}

// A field from the telephone line as the body shows it: no control characters, bounded,
// and escaped, since services may read the body as markup.
QString BodyField(const std::string& Text) {
  QString Clean;
  for (const QChar C : QString::fromLocal8Bit(Text.c_str()))
    if (C.category() != QChar::Other_Control)
      Clean += C;
  Clean = Clean.trimmed();
  if (Clean.size() > NotifyFieldLimit) {
    // Never split a surrogate pair.
    const int Cut =
        Clean.at(NotifyFieldLimit - 1).isHighSurrogate() ? NotifyFieldLimit - 1 : NotifyFieldLimit;
    Clean.truncate(Cut);
  }
  return Clean.toHtmlEscaped();
}

// One line of text from a D-Bus error.
std::string ErrorText(const QDBusError& Error) {
  QString Text = Error.message().simplified();
  if (Text.isEmpty())
    Text = Error.name();
  else if (!Error.name().isEmpty())
    Text += QStringLiteral(" (%1)").arg(Error.name());
  return Text.toStdString();
}

} // namespace

QString NotificationBody(const TCallRecord& Call) {
  QStringList Lines;
  // There is room for the network's name beside a contact's.
  const std::string Network =
      !Call.Contact.empty() && !Call.Name.empty() && Call.Name != Call.Contact
          ? "(" + Call.Name + ")"
          : "";
  const std::string Name = RowName(Call);
  for (const std::string* Field : {&Call.ID, &Name, &Network}) {
    const QString Text = BodyField(*Field);
    if (!Text.isEmpty())
      Lines << Text;
  }
  return Lines.join(QLatin1Char('\n'));
}

TDesktopNotifier::TDesktopNotifier(const QString& BusAddress, QObject* Parent)
    : QObject(Parent), FConnectionName(NextConnectionName()),
      FBus(ConnectTo(BusAddress, FConnectionName)) {}

TDesktopNotifier::~TDesktopNotifier() {
  QDBusConnection::disconnectFromBus(FConnectionName);
}

bool TDesktopNotifier::Connected() const {
  return FBus.isConnected();
}

void TDesktopNotifier::Deliver(const TCallRecord& Call) {
  if (!FBus.isConnected()) {
    Fail("no session bus: " + ErrorText(FBus.lastError()));
    return;
  }
  TShown& Shown = FShown[Call.CallKey];
  if (Shown.Unanswered) {
    // Sent as soon as the id is known, so that it replaces rather than adds.
    Shown.Later = Call;
    return;
  }
  Send(Call, Shown.Id);
  Forget();
}

void TDesktopNotifier::Send(const TCallRecord& Call, uint32_t ReplacesId) {
  QDBusMessage Message =
      QDBusMessage::createMethodCall(NotifyService, NotifyPath, NotifyInterface, "Notify");
  Message << QString(NotifyAppName) << static_cast<uint>(ReplacesId) << QString(NotifyIconName)
          << QString(NotifySummary) << NotificationBody(Call) << QStringList() << QVariantMap()
          << ServerExpiry;
  auto* Watcher = new QDBusPendingCallWatcher(FBus.asyncCall(Message, NotifyReplyTimeoutMs), this);
  FShown[Call.CallKey].Unanswered = true;
  ++FWaiting;
  const uint64_t Key = Call.CallKey;
  connect(Watcher, &QDBusPendingCallWatcher::finished, this,
          [this, Key](QDBusPendingCallWatcher* Finished) { Answered(Key, Finished); });
}

void TDesktopNotifier::Answered(uint64_t CallKey, QDBusPendingCallWatcher* Watcher) {
  --FWaiting;
  Watcher->deleteLater();
  const QDBusPendingReply<uint> Reply = *Watcher;
  if (Reply.isError())
    Fail("the desktop notification failed: " + ErrorText(Reply.error()));
  const auto Shown = FShown.find(CallKey);
  if (Shown == FShown.end())
    return;
  Shown->second.Unanswered = false;
  if (!Reply.isError())
    Shown->second.Id = Reply.value();
  if (Shown->second.Later) {
    const TCallRecord Later = *Shown->second.Later;
    Shown->second.Later.reset();
    Send(Later, Shown->second.Id);
  }
}

void TDesktopNotifier::Fail(const std::string& Why) {
  if (FFailureTold)
    return;
  FFailureTold = true;
  if (OnFailure) {
    OnFailure(Why);
  } else {
    std::fprintf(stderr, "ringlet: %s\n", Why.c_str());
    std::fflush(stderr);
  }
}

void TDesktopNotifier::Forget() {
  // Call keys grow, so the first entries are the oldest calls.
  while (FShown.size() > ShownLimit)
    FShown.erase(FShown.begin());
}

bool NotificationsWanted(TNotifyChoice Choice, const std::string& Setting, bool FrontEndDefault) {
  if (Choice != ncDefault)
    return Choice == ncOn;
  std::string Word;
  for (const char C : Setting)
    if (!std::isspace(static_cast<unsigned char>(C)))
      Word += static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  const bool Off = Word == "off" || Word == "no" || Word == "false" || Word == "0";
  return FrontEndDefault && !Off;
}

TMonitorNotifier::TMonitorNotifier(TCallMonitor& Monitor, const QString& BusAddress)
    : FMonitor(Monitor) {
  if (QCoreApplication::instance() == nullptr) {
    static int Argc = 1;
    static char Name[] = "ringlet";
    static char* Argv[] = {Name, nullptr};
    FApplication = std::make_unique<QCoreApplication>(Argc, Argv);
  }
  FNotifier = std::make_unique<TDesktopNotifier>(BusAddress);
  FMonitor.AddOutlet(FNotifier.get());
}

TMonitorNotifier::~TMonitorNotifier() {
  FMonitor.RemoveOutlet(FNotifier.get());
  FNotifier.reset();
  FApplication.reset();
}

void TMonitorNotifier::Serve() {
  QCoreApplication::processEvents();
}

std::unique_ptr<TMonitorNotifier> WantedNotifier(TCallMonitor& Monitor, TNotifyChoice Choice,
                                                 bool FrontEndDefault) {
  const std::string Setting =
      Monitor.IniSettings()->ReadString(SettingsSection, NotifySettingKey, "");
  if (!NotificationsWanted(Choice, Setting, FrontEndDefault))
    return nullptr;
  return std::make_unique<TMonitorNotifier>(Monitor);
}
