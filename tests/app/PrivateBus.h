// A private session bus for the notification tests: a dbus-daemon of its own in a temporary
// folder, and a notification service that records every Notify call it gets.
#pragma once

#include "AppTestSupport.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QStringList>
#include <QVariantMap>

#include <mutex>
#include <vector>

namespace AppTest {

// dbus-daemon with a configuration of its own: a socket in the test's folder, no services
// started on demand. Ended (and waited for) when the object goes, whatever the test did.
class TPrivateBus {
public:
  TPrivateBus() : FFolder("bus") {}
  ~TPrivateBus() { Stop(); }
  TPrivateBus(const TPrivateBus&) = delete;
  TPrivateBus& operator=(const TPrivateBus&) = delete;

  // Starts the daemon and waits (bounded) for the address it prints.
  bool Start() {
    const std::string Config = FFolder / "bus.conf";
    {
      std::ofstream Out(Config);
      Out << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
             " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
             "<busconfig>\n"
             "  <type>session</type>\n"
             "  <listen>unix:path="
          << (FFolder / "socket")
          << "</listen>\n"
             "  <auth>EXTERNAL</auth>\n"
             "  <policy context=\"default\">\n"
             "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
             "    <allow eavesdrop=\"true\"/>\n"
             "    <allow own=\"*\"/>\n"
             "  </policy>\n"
             "</busconfig>\n";
    }
    int Out[2];
    if (::pipe2(Out, O_CLOEXEC) != 0)
      return false;
    const std::string ConfigArg = "--config-file=" + Config;
    FPid = ::fork();
    if (FPid == 0) {
      // Its complaints about limits it may not raise here are noise in the test's output.
      const int Null = ::open("/dev/null", O_WRONLY);
      ::dup2(Out[1], 1);
      if (Null >= 0)
        ::dup2(Null, 2);
      ::execlp("dbus-daemon", "dbus-daemon", ConfigArg.c_str(), "--nofork", "--print-address",
               static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(Out[1]);
    if (FPid <= 0) {
      ::close(Out[0]);
      return false;
    }
    std::string Line;
    const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(GenerousMs);
    while (std::chrono::steady_clock::now() < End) {
      pollfd Poll{Out[0], POLLIN, 0};
      if (::poll(&Poll, 1, 100) <= 0)
        continue;
      char C;
      if (::read(Out[0], &C, 1) != 1)
        break;
      if (C == '\n') {
        FAddress = Line;
        break;
      }
      Line += C;
    }
    ::close(Out[0]);
    return !FAddress.empty();
  }

  const std::string& Address() const { return FAddress; }
  QString QAddress() const { return QString::fromStdString(FAddress); }

  void Stop() {
    if (FPid <= 0)
      return;
    ::kill(FPid, SIGTERM);
    const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(5000);
    while (::waitpid(FPid, nullptr, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > End) {
        ::kill(FPid, SIGKILL);
        ::waitpid(FPid, nullptr, 0);
        break;
      }
      ::usleep(10000);
    }
    FPid = -1;
  }

private:
  TTempFolder FFolder;
  pid_t FPid = -1;
  std::string FAddress;
};

// One Notify call as the service got it.
struct TNotifyCall {
  QString AppName;
  uint ReplacesId = 0;
  QString Icon;
  QString Summary;
  QString Body;
  QStringList Actions;
  QVariantMap Hints;
  int Expire = 0;
  QString Signature;
  uint Id = 0; // what the service answered
};

// org.freedesktop.Notifications on its own connection to the bus. It answers Notify as a
// desktop would (a new id, or the replaced one), or holds the answers back until Release.
class TNotificationService : public QDBusVirtualObject {
public:
  explicit TNotificationService(const QString& Address)
      : FName(QStringLiteral("notification-service-%1").arg(++Counter())),
        FBus(QDBusConnection::connectToBus(Address, FName)) {}
  ~TNotificationService() override {
    if (FRegistered)
      FBus.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
    QDBusConnection::disconnectFromBus(FName);
  }

  bool Register() {
    FRegistered =
        FBus.isConnected() &&
        FBus.registerVirtualObject(QStringLiteral("/org/freedesktop/Notifications"), this) &&
        FBus.registerService(QStringLiteral("org.freedesktop.Notifications"));
    return FRegistered;
  }

  void HoldAnswers(bool Hold) {
    std::vector<QDBusMessage> Held;
    {
      std::lock_guard<std::mutex> Lock(FMutex);
      FHold = Hold;
      if (!Hold)
        Held.swap(FHeld);
    }
    for (const QDBusMessage& Reply : Held)
      FBus.send(Reply);
  }

  std::vector<TNotifyCall> Calls() const {
    std::lock_guard<std::mutex> Lock(FMutex);
    return FCalls;
  }
  size_t Count() const {
    std::lock_guard<std::mutex> Lock(FMutex);
    return FCalls.size();
  }

  QString introspect(const QString&) const override {
    return QStringLiteral(
        "<interface name=\"org.freedesktop.Notifications\">"
        "<method name=\"Notify\"><arg type=\"s\" direction=\"in\"/><arg type=\"u\" "
        "direction=\"in\"/><arg type=\"s\" direction=\"in\"/><arg type=\"s\" direction=\"in\"/>"
        "<arg type=\"s\" direction=\"in\"/><arg type=\"as\" direction=\"in\"/><arg "
        "type=\"a{sv}\" direction=\"in\"/><arg type=\"i\" direction=\"in\"/><arg type=\"u\" "
        "direction=\"out\"/></method></interface>");
  }

  bool handleMessage(const QDBusMessage& Message, const QDBusConnection& Connection) override {
    if (Message.interface() != QLatin1String("org.freedesktop.Notifications") ||
        Message.member() != QLatin1String("Notify"))
      return false;
    const QList<QVariant> Args = Message.arguments();
    TNotifyCall Call;
    Call.Signature = Message.signature();
    if (Args.size() == 8) {
      Call.AppName = Args[0].toString();
      Call.ReplacesId = Args[1].toUInt();
      Call.Icon = Args[2].toString();
      Call.Summary = Args[3].toString();
      Call.Body = Args[4].toString();
      Call.Actions = Args[5].toStringList();
      Call.Hints = qdbus_cast<QVariantMap>(Args[6]);
      Call.Expire = Args[7].toInt();
    }
    QDBusMessage Reply;
    {
      std::lock_guard<std::mutex> Lock(FMutex);
      Call.Id = Call.ReplacesId != 0 ? Call.ReplacesId : ++FLastId;
      FCalls.push_back(Call);
      Reply = Message.createReply(QVariant::fromValue(Call.Id));
      if (FHold) {
        FHeld.push_back(Reply);
        return true;
      }
    }
    Connection.send(Reply);
    return true;
  }

private:
  static int& Counter() {
    static int Value = 0;
    return Value;
  }

  QString FName;
  QDBusConnection FBus;
  bool FRegistered = false;
  mutable std::mutex FMutex;
  std::vector<TNotifyCall> FCalls;
  std::vector<QDBusMessage> FHeld;
  bool FHold = false;
  uint FLastId = 0;
};

} // namespace AppTest
