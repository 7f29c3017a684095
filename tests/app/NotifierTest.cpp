// Desktop notifications against a real private session bus (dbus-daemon started by each test)
// with a notification service of the test's own that records every Notify call: the
// notifier itself, the window with it, and the ringlet program's console end to end.
#include "app/Notifier.h"

#include "AppTestSupport.h"
#include "PrivateBus.h"
#include "ProgramRun.h"
#include "app/AdTSel.h"
#include "app/Main.h"
#include "tapi/AdTUtil.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

namespace {

using namespace AppTest;

TCallRecord Call(uint64_t Key, const std::string& ID, const std::string& IDName) {
  TCallRecord Record = MakeCallRecord(std::time(nullptr), "Fake Modem", ID, IDName);
  Record.CallKey = Key;
  return Record;
}

std::string Text(const QString& Value) {
  return Value.toStdString();
}

// ---------------------------------------------------------------------------------------
// What a notification says, and whether a front end sends them.

TEST(NotificationTextTest, BodyIsTheNumberAndTheNameAsTheListShowsThem) {
  const struct {
    std::string ID, IDName, Body;
  } Cases[] = {
      {"5551234", "JOHN DOE", "5551234\nJOHN DOE"},
      {"Caller ID Blocked", "Caller ID Blocked", "Caller ID Blocked\nCaller ID Blocked"},
      {"Out of Area Call", "Out of Area Call", "Out of Area Call\nOut of Area Call"},
      {"4075551212", "", "4075551212"},
      {"", "", ""},
      // From the line, so data: control characters go, markup characters are escaped.
      {"555\x1b[2J1234", "A<b>&\"B\"\x07\r\n", "555[2J1234\nA&lt;b&gt;&amp;&quot;B&quot;"},
      {"  555  ", "Zo\xc3\xab \xe2\x98\x8e", "555\nZo\xc3\xab \xe2\x98\x8e"},
      {std::string(200, '9'), std::string(81, 'N'),
       std::string(NotifyFieldLimit, '9') + "\n" + std::string(NotifyFieldLimit, 'N')},
  };
  for (const auto& Case : Cases)
    EXPECT_EQ(Case.Body, Text(NotificationBody(Call(1, Case.ID, Case.IDName))))
        << Case.ID << " / " << Case.IDName;
}

TEST(NotificationTextTest, ContactsShowTheNetworksNameAndBlockedCallsTheMark) {
  TCallRecord Mum = Call(1, "4075551212", "DOE JANE");
  Mum.Contact = Mum.IDName = "Mum";
  EXPECT_EQ("4075551212\nMum\n(DOE JANE)", Text(NotificationBody(Mum)));
  Mum.Name.clear();
  EXPECT_EQ("4075551212\nMum", Text(NotificationBody(Mum)));
  TCallRecord Nuisance = Call(2, "9005550000", "WIN A <PRIZE>");
  Nuisance.Blocked = true;
  EXPECT_EQ("9005550000\nWIN A &lt;PRIZE&gt; [blocked]", Text(NotificationBody(Nuisance)));
}

TEST(NotificationTextTest, CutNeverSplitsACharacter) {
  // 79 letters, then a character outside the basic plane (two UTF-16 units) across the cut.
  const std::string Name = std::string(NotifyFieldLimit - 1, 'A') + "\xf0\x9f\x93\x9e" + "B";
  const QString Body = NotificationBody(Call(1, "1", Name));
  const QString Shown = Body.mid(2);
  EXPECT_EQ(NotifyFieldLimit - 1, Shown.size());
  EXPECT_FALSE(Shown.back().isSurrogate());
}

TEST(NotificationTextTest, CommandLineThenSettingThenTheFrontEndsDefault) {
  const struct {
    TNotifyChoice Choice;
    std::string Setting;
    bool Default, Wanted;
  } Cases[] = {
      {ncDefault, "", true, true},     {ncDefault, "", false, false},
      {ncDefault, "off", true, false}, {ncDefault, " OFF ", true, false},
      {ncDefault, "no", true, false},  {ncDefault, "false", true, false},
      {ncDefault, "0", true, false},   {ncDefault, "on", true, true},
      {ncDefault, "1", false, false},  {ncOn, "off", false, true},
      {ncOn, "", false, true},         {ncOff, "", true, false},
      {ncOff, "on", true, false},
  };
  for (const auto& Case : Cases)
    EXPECT_EQ(Case.Wanted, NotificationsWanted(Case.Choice, Case.Setting, Case.Default))
        << Case.Choice << " '" << Case.Setting << "' " << Case.Default;
}

// ---------------------------------------------------------------------------------------
// The notifier on a private bus.

class NotifierTest : public ::testing::Test {
protected:
  void SetUp() override {
    App();
    ASSERT_TRUE(FBus.Start()) << "dbus-daemon did not start";
  }

  std::unique_ptr<TDesktopNotifier> MakeNotifier(const QString& Address) {
    auto Notifier = std::make_unique<TDesktopNotifier>(Address);
    Notifier->OnFailure = [this](const std::string& Why) { FFailures.push_back(Why); };
    return Notifier;
  }

  // Serves Qt until every notification sent was answered.
  static bool AllAnswered(const TDesktopNotifier& Notifier) {
    return ServeUntil([&] { return Notifier.Waiting() == 0; });
  }

  TPrivateBus FBus;
  std::vector<std::string> FFailures;
};

TEST_F(NotifierTest, EachCallBecomesANotificationWithItsTexts) {
  TNotificationService Service(FBus.QAddress());
  ASSERT_TRUE(Service.Register());
  auto Notifier = MakeNotifier(FBus.QAddress());
  ASSERT_TRUE(Notifier->Connected());
  Notifier->Deliver(Call(1, "5551234", "JOHN DOE"));
  Notifier->Deliver(Call(2, "Caller ID Blocked", "Caller ID Blocked"));
  Notifier->Deliver(Call(3, "Out of Area Call", "Out of Area Call"));
  ASSERT_TRUE(ServeUntil([&] { return Service.Count() >= 3; })) << Service.Count();
  ASSERT_TRUE(AllAnswered(*Notifier));

  const std::vector<TNotifyCall> Calls = Service.Calls();
  ASSERT_EQ(3u, Calls.size());
  const char* const Bodies[] = {"5551234\nJOHN DOE", "Caller ID Blocked\nCaller ID Blocked",
                                "Out of Area Call\nOut of Area Call"};
  for (size_t I = 0; I < Calls.size(); ++I) {
    EXPECT_EQ("susssasa{sv}i", Text(Calls[I].Signature));
    EXPECT_EQ("Ringlet", Text(Calls[I].AppName));
    EXPECT_EQ("org.ringlet.Ringlet", Text(Calls[I].Icon));
    EXPECT_EQ("Incoming call", Text(Calls[I].Summary));
    EXPECT_EQ(Bodies[I], Text(Calls[I].Body));
    EXPECT_EQ(0u, Calls[I].ReplacesId) << "a new call adds a notification";
    EXPECT_TRUE(Calls[I].Actions.isEmpty());
    EXPECT_EQ(-1, Calls[I].Expire) << "the desktop decides how long it stays";
  }
  EXPECT_NE(Calls[0].Id, Calls[1].Id);
  EXPECT_TRUE(FFailures.empty()) << FFailures.front();
}

TEST_F(NotifierTest, ALaterReportOfACallReplacesItsNotificationAndANewCallGetsItsOwn) {
  TNotificationService Service(FBus.QAddress());
  ASSERT_TRUE(Service.Register());
  auto Notifier = MakeNotifier(FBus.QAddress());
  Notifier->Deliver(Call(7, "5551234", ""));
  ASSERT_TRUE(AllAnswered(*Notifier));
  Notifier->Deliver(Call(7, "5551234", "JOHN DOE"));
  ASSERT_TRUE(AllAnswered(*Notifier));
  Notifier->Deliver(Call(8, "5559876", "JANE ROE"));
  ASSERT_TRUE(AllAnswered(*Notifier));
  Notifier->Deliver(Call(7, "5551234", "JOHN H DOE"));
  ASSERT_TRUE(AllAnswered(*Notifier));

  const std::vector<TNotifyCall> Calls = Service.Calls();
  ASSERT_EQ(4u, Calls.size());
  EXPECT_EQ(0u, Calls[0].ReplacesId);
  EXPECT_EQ(Calls[0].Id, Calls[1].ReplacesId) << "same call: the returned id is reused";
  EXPECT_EQ("5551234\nJOHN DOE", Text(Calls[1].Body));
  EXPECT_EQ(0u, Calls[2].ReplacesId) << "another call";
  EXPECT_NE(Calls[0].Id, Calls[2].Id);
  EXPECT_EQ(Calls[0].Id, Calls[3].ReplacesId) << "the first call still has its id";
  EXPECT_TRUE(FFailures.empty());
}

TEST_F(NotifierTest, AReportWhileTheFirstIsUnansweredWaitsForItsId) {
  TNotificationService Service(FBus.QAddress());
  ASSERT_TRUE(Service.Register());
  Service.HoldAnswers(true);
  auto Notifier = MakeNotifier(FBus.QAddress());
  Notifier->Deliver(Call(3, "5551234", ""));
  ASSERT_TRUE(ServeUntil([&] { return Service.Count() == 1; }));
  Notifier->Deliver(Call(3, "5551234", "JOHN DOE"));
  EXPECT_EQ(1, Notifier->Waiting()) << "the later report is kept, not sent as a new one";
  Service.HoldAnswers(false);
  ASSERT_TRUE(ServeUntil([&] { return Service.Count() == 2 && Notifier->Waiting() == 0; }))
      << Service.Count();
  const std::vector<TNotifyCall> Calls = Service.Calls();
  EXPECT_EQ(0u, Calls[0].ReplacesId);
  EXPECT_EQ(Calls[0].Id, Calls[1].ReplacesId);
  EXPECT_EQ("5551234\nJOHN DOE", Text(Calls[1].Body));
}

TEST_F(NotifierTest, AMissingServiceIsToldOnceAndCallsGoOn) {
  auto Notifier = MakeNotifier(FBus.QAddress());
  ASSERT_TRUE(Notifier->Connected());
  EXPECT_TRUE(FFailures.empty()) << "nothing is told before a call";
  Notifier->Deliver(Call(1, "5551234", "JOHN DOE"));
  ASSERT_TRUE(AllAnswered(*Notifier));
  ASSERT_EQ(1u, FFailures.size());
  EXPECT_NE(std::string::npos, FFailures[0].find("ServiceUnknown")) << FFailures[0];
  Notifier->Deliver(Call(2, "5559876", "JANE ROE"));
  Notifier->Deliver(Call(3, "Caller ID Blocked", "Caller ID Blocked"));
  ASSERT_TRUE(AllAnswered(*Notifier));
  EXPECT_EQ(1u, FFailures.size()) << "then silence";

  // A service that starts later gets the calls after.
  TNotificationService Service(FBus.QAddress());
  ASSERT_TRUE(Service.Register());
  Notifier->Deliver(Call(4, "777", "BACK AGAIN"));
  ASSERT_TRUE(ServeUntil([&] { return Service.Count() == 1 && Notifier->Waiting() == 0; }));
  EXPECT_EQ("777\nBACK AGAIN", Text(Service.Calls()[0].Body));
  EXPECT_EQ(1u, FFailures.size());
}

TEST_F(NotifierTest, NoBusIsToldOnceAtTheFirstCall) {
  TTempFolder Nowhere("nobus");
  auto Notifier = MakeNotifier(QString::fromStdString("unix:path=" + (Nowhere / "socket")));
  EXPECT_FALSE(Notifier->Connected());
  EXPECT_TRUE(FFailures.empty()) << "nothing is told before a call";
  Notifier->Deliver(Call(1, "5551234", "JOHN DOE"));
  ASSERT_EQ(1u, FFailures.size());
  EXPECT_NE(std::string::npos, FFailures[0].find("no session bus")) << FFailures[0];
  Notifier->Deliver(Call(2, "5559876", "JANE ROE"));
  EXPECT_EQ(0, Notifier->Waiting());
  EXPECT_EQ(1u, FFailures.size());
}

TEST_F(NotifierTest, TheSettingTurnsTheWindowsNotificationsOffAndTheSessionBusIsUsed) {
  TTempFolder Folder("notify-setting");
  ::setenv("RINGLET_TELEPHONY_CONFIG", (Folder / "telephony.ini").c_str(), 1);
  ::setenv("RINGLET_REGISTRY_FILE", (Folder / "registry").c_str(), 1);
  ::setenv("DBUS_SESSION_BUS_ADDRESS", FBus.Address().c_str(), 1);
  TNotificationService Service(FBus.QAddress());
  ASSERT_TRUE(Service.Register());
  TCallMonitor Monitor;
  Monitor.IniSettings()->SetPath(Folder / "ringlet.ini");

  std::unique_ptr<TMonitorNotifier> Notifications = WantedNotifier(Monitor, ncDefault, true);
  ASSERT_NE(nullptr, Notifications);
  // The session bus of the environment.
  EXPECT_TRUE(Notifications->Notifier().Connected());
  Notifications->Notifier().Deliver(Call(1, "5551234", "JOHN DOE"));
  ASSERT_TRUE(ServeUntil([&] { return Service.Count() == 1; }));
  Notifications.reset();

  Monitor.IniSettings()->WriteString(SettingsSection, NotifySettingKey, "off");
  EXPECT_EQ(nullptr, WantedNotifier(Monitor, ncDefault, true));
  EXPECT_EQ(nullptr, WantedNotifier(Monitor, ncOff, true));
  EXPECT_NE(nullptr, WantedNotifier(Monitor, ncOn, false)) << "the command line asked";
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

// The window with a notifier as the program sets it up: calls played by fakemodem through the
// real telephony service become rows and notifications.
TEST_F(NotifierTest, TheWindowsCallsBecomeNotifications) {
  TTempFolder Folder("notify-window");
  ::setenv("RINGLET_TELEPHONY_CONFIG", (Folder / "telephony.ini").c_str(), 1);
  ::setenv("RINGLET_REGISTRY_FILE", (Folder / "registry").c_str(), 1);
  ::setenv("RINGLET_LIBRARY_PATH", RINGLET_BUILD_DIR "/telephony", 1);
  UnloadTapi();
  TQtDeviceChooser Chooser;
  SetDeviceChooser(&Chooser);
  std::vector<std::string> Errors;
  TApplicationExceptionHandler Previous = SetApplicationExceptionHandler(
      [&Errors](const std::exception& E) { Errors.push_back(E.what()); });
  TNotificationService Service(FBus.QAddress());
  ASSERT_TRUE(Service.Register());
  TFakeModem Modem;
  ASSERT_TRUE(Modem.Start());
  WriteTelephonyConfig(Folder / "telephony.ini", {{"Fake Modem", Modem.Device()}});
  {
    TfrmMain Window;
    Window.IniSettings()->SetPath(Folder / "ringlet.ini");
    TMonitorNotifier Notifications(*Window.Form(), FBus.QAddress());
    Window.edtTAPIDevice->setText("Fake Modem");
    PressStart(Window);
    Modem.Send("call 5551234 \"JOHN DOE\" rings=2");
    Modem.Send("sleep 3500");
    Modem.Send("private rings=2");
    ASSERT_TRUE(ServeUntil([&] {
      return Window.lvwCallerID->topLevelItemCount() >= 2 && Service.Count() >= 2;
    })) << Service.Count();
    Window.btnStop->click();
    const std::vector<TNotifyCall> Calls = Service.Calls();
    ASSERT_EQ(2u, Calls.size());
    EXPECT_EQ("5551234\nJOHN DOE", Text(Calls[0].Body));
    EXPECT_EQ("Caller ID Blocked\nCaller ID Blocked", Text(Calls[1].Body));
    EXPECT_EQ(0u, Calls[1].ReplacesId) << "a second call is a notification of its own";
    EXPECT_TRUE(ServeUntil([&] { return Notifications.Notifier().Waiting() == 0; }));
  }
  SetApplicationExceptionHandler(Previous);
  SetDeviceChooser(nullptr);
  UnloadTapi();
  EXPECT_TRUE(Errors.empty()) << Errors.front();
}

// ---------------------------------------------------------------------------------------
// End to end: the ringlet program's console as a child, on the private bus through its
// environment, against fakemodem; the service answers from this process.

// The program as a child, with Qt served while it runs: the service answers from this process.
class TServedProgram : public TProgram {
public:
  // Reads what the program wrote while serving Qt, until Done or the bound passes.
  bool ServeUntil(const std::function<bool()>& Done) {
    return AppTest::ServeUntil([&] {
      Read(0);
      return Done();
    });
  }

  size_t OutputLines() const {
    return static_cast<size_t>(std::count(Stdout().begin(), Stdout().end(), '\n'));
  }

  // Stops the program with SIGTERM; its exit status, or -1 when it did not end in time.
  int Stop() {
    Signal(SIGTERM);
    int Status = -1;
    return ServeUntil([&] { return Ended(Status); }) ? Status : -1;
  }

  std::vector<std::string> ErrorLines() const {
    std::vector<std::string> Lines;
    std::istringstream In(Stderr());
    for (std::string Line; std::getline(In, Line);)
      Lines.push_back(Line);
    return Lines;
  }
};

class NotifierConsoleTest : public NotifierTest {
protected:
  void SetUp() override {
    NotifierTest::SetUp();
    fs::copy_file(RINGLET_BUILD_DIR "/app/ringlet", FProgram);
    ::setenv("RINGLET_TELEPHONY_CONFIG", (FFolder / "telephony.ini").c_str(), 1);
    ::setenv("RINGLET_REGISTRY_FILE", (FFolder / "registry").c_str(), 1);
    ::setenv("RINGLET_LIBRARY_PATH", RINGLET_BUILD_DIR "/telephony", 1);
    ASSERT_TRUE(FModem.Start());
    WriteTelephonyConfig(FFolder / "telephony.ini", {{"Fake Modem 1", FModem.Device()}});
  }
  void TearDown() override { ::unsetenv("DBUS_SESSION_BUS_ADDRESS"); }

  // Runs the console with Args on the bus at Address while fakemodem plays two calls.
  void TwoCalls(TServedProgram& Ringlet, const std::string& Address,
                const std::vector<std::string>& Args) {
    ::setenv("DBUS_SESSION_BUS_ADDRESS", Address.c_str(), 1);
    ASSERT_TRUE(Ringlet.Start(FProgram, Args));
    FModem.Send("sleep 1500");
    FModem.Send("call 5551234 \"JOHN DOE\" rings=2");
    FModem.Send("sleep 3500");
    FModem.Send("private rings=2");
    ASSERT_TRUE(Ringlet.ServeUntil([&] { return Ringlet.OutputLines() >= 2; }))
        << Ringlet.Stdout() << Ringlet.Stderr();
  }

  TTempFolder FFolder{"notify-console"};
  const std::string FProgram = FFolder / "ringlet";
  TFakeModem FModem;
};

TEST_F(NotifierConsoleTest, NotifyShowsEveryCallOnTheSessionBus) {
  TNotificationService Service(FBus.QAddress());
  ASSERT_TRUE(Service.Register());
  TServedProgram Ringlet;
  TwoCalls(Ringlet, FBus.Address(), {"--console", "--notify"});
  ASSERT_TRUE(Ringlet.ServeUntil([&] { return Service.Count() >= 2; })) << Service.Count();
  EXPECT_EQ(0, Ringlet.Stop()) << Ringlet.Stderr();

  const std::vector<TNotifyCall> Calls = Service.Calls();
  ASSERT_EQ(2u, Calls.size());
  EXPECT_EQ("Ringlet", Text(Calls[0].AppName));
  EXPECT_EQ("org.ringlet.Ringlet", Text(Calls[0].Icon));
  EXPECT_EQ("Incoming call", Text(Calls[0].Summary));
  EXPECT_EQ("5551234\nJOHN DOE", Text(Calls[0].Body));
  EXPECT_EQ("Caller ID Blocked\nCaller ID Blocked", Text(Calls[1].Body));
  EXPECT_EQ(0u, Calls[1].ReplacesId);
  EXPECT_NE(std::string::npos, Ringlet.Stdout().find("\t5551234\tJOHN DOE\n"));
  EXPECT_EQ("", Ringlet.Stderr());
}

TEST_F(NotifierConsoleTest, NoNotifySendsNothing) {
  TNotificationService Service(FBus.QAddress());
  ASSERT_TRUE(Service.Register());
  TServedProgram Ringlet;
  TwoCalls(Ringlet, FBus.Address(), {"--console", "--no-notify"});
  EXPECT_EQ(0, Ringlet.Stop()) << Ringlet.Stderr();
  // Whatever the program sent went out before it ended; a notification of the test's own
  // sent now is received after it.
  auto Probe = MakeNotifier(FBus.QAddress());
  Probe->Deliver(Call(1, "probe", ""));
  ASSERT_TRUE(ServeUntil([&] { return Service.Count() >= 1 && Probe->Waiting() == 0; }));
  const std::vector<TNotifyCall> Calls = Service.Calls();
  ASSERT_EQ(1u, Calls.size());
  EXPECT_EQ("probe", Text(Calls[0].Body));
  EXPECT_EQ("", Ringlet.Stderr());
}

TEST_F(NotifierConsoleTest, MissingServiceIsOneLineOnStandardErrorAndMonitoringGoesOn) {
  TServedProgram Ringlet;
  TwoCalls(Ringlet, FBus.Address(), {"--console", "--notify"});
  // The first call's failed notification is told: wait for that line.
  ASSERT_TRUE(Ringlet.ServeUntil([&] { return !Ringlet.Stderr().empty(); }));
  EXPECT_EQ(0, Ringlet.Stop());
  EXPECT_EQ(2u, Ringlet.OutputLines()) << Ringlet.Stdout();
  const std::vector<std::string> Errors = Ringlet.ErrorLines();
  ASSERT_EQ(1u, Errors.size()) << Ringlet.Stderr();
  EXPECT_NE(std::string::npos, Errors[0].find("desktop notification")) << Errors[0];
  EXPECT_NE(std::string::npos, Errors[0].find("ServiceUnknown")) << Errors[0];
}

TEST_F(NotifierConsoleTest, NoSessionBusIsOneLineOnStandardErrorAndMonitoringGoesOn) {
  TServedProgram Ringlet;
  TwoCalls(Ringlet, "unix:path=" + (FFolder / "no-bus-here"), {"--console", "--notify"});
  EXPECT_EQ(0, Ringlet.Stop());
  EXPECT_EQ(2u, Ringlet.OutputLines()) << Ringlet.Stdout();
  const std::vector<std::string> Errors = Ringlet.ErrorLines();
  ASSERT_EQ(1u, Errors.size()) << Ringlet.Stderr();
  EXPECT_NE(std::string::npos, Errors[0].find("no session bus")) << Errors[0];
}

} // namespace
