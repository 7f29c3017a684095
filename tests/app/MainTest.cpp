// The main window, offscreen, with the real line device over the real telephony service and
// fakemodem playing the calls.
#include "app/Main.h"

#include "AppTestSupport.h"
#include "ModalWatcher.h"
#include "app/AdSelCom.h"
#include "app/AdTSel.h"
#include "app/Demo.h"
#include "platform/IniFile.h"
#include "tapi/AdTUtil.h"
#include "tests/calls/BrokerTestSupport.h"
#include "tests/calls/NcidTestClient.h"
#include "tests/platform/PtyTestSupport.h"
#include "tests/web/WebTestSupport.h"

#include <QAction>
#include <QHeaderView>
#include <QInputDevice>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

namespace {

using namespace AppTest;

// "dd/mm/yyyy  hh:mm:ss" as "yyyymmddhhmmss", which sorts as the moments do.
std::string SortableMoment(const std::string& Text) {
  if (!IsListDateTime(Text))
    return Text;
  return Text.substr(6, 4) + Text.substr(3, 2) + Text.substr(0, 2) + Text.substr(12, 2) +
         Text.substr(15, 2) + Text.substr(18, 2);
}

// A local time zone, for the object's life, in which midnight is the given number of seconds
// ahead.
class TZoneNearMidnight {
public:
  explicit TZoneNearMidnight(int SecondsAhead) {
    if (const char* Old = std::getenv("TZ"))
      FOld = Old;
    const std::time_t Now = std::time(nullptr);
    std::tm Utc{};
    gmtime_r(&Now, &Utc);
    const long SinceUtcMidnight = Utc.tm_hour * 3600L + Utc.tm_min * 60L + Utc.tm_sec;
    // Local time is UTC plus Shift; the zone's offset is written the other way round.
    const long Shift = ((86400L - SecondsAhead - SinceUtcMidnight) % 86400L + 86400L) % 86400L;
    char Zone[32];
    std::snprintf(Zone, sizeof Zone, "RLT-%02ld:%02ld:%02ld", Shift / 3600, Shift / 60 % 60,
                  Shift % 60);
    ::setenv("TZ", Zone, 1);
    ::tzset();
    FMidnight = Now + SecondsAhead;
  }
  ~TZoneNearMidnight() {
    if (FOld)
      ::setenv("TZ", FOld->c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
  }
  TZoneNearMidnight(const TZoneNearMidnight&) = delete;
  TZoneNearMidnight& operator=(const TZoneNearMidnight&) = delete;

  std::time_t Midnight() const { return FMidnight; }

private:
  std::optional<std::string> FOld;
  std::time_t FMidnight = 0;
};

class MainTest : public ::testing::Test {
protected:
  void SetUp() override {
    App();
    ::setenv("RINGLET_TELEPHONY_CONFIG", (FFolder / "telephony.ini").c_str(), 1);
    ::setenv("RINGLET_REGISTRY_FILE", (FFolder / "registry").c_str(), 1);
    ::setenv("RINGLET_LIBRARY_PATH", RINGLET_BUILD_DIR "/telephony", 1);
    ::setenv("XDG_CONFIG_HOME", (FFolder / "config").c_str(), 1);
    UnloadTapi();
    FPrevious = SetApplicationExceptionHandler(
        [this](const std::exception& E) { FErrors.push_back(E.what()); });
    SetDeviceChooser(&FChooser);
    // Every test gets one, so that a dialog nobody expected fails the test instead of hanging it.
    FWatcher = std::make_unique<TModalWatcher>();
  }
  void TearDown() override {
    FWatcher.reset();
    SetSettingsFileName("");
    SetDeviceChooser(nullptr);
    SetApplicationExceptionHandler(FPrevious);
    UnloadTapi();
  }

  // The window on a settings file of the test's own, loaded again as at creation.
  std::unique_ptr<TfrmMain> MakeWindow() {
    auto Window = std::make_unique<TfrmMain>();
    Window->IniSettings()->SetPath(FFolder / "ringlet.ini");
    Window->FormCreate();
    Window->show();
    return Window;
  }

  void OneModem(TFakeModem& Modem, const std::string& Name = "Fake Modem") {
    ASSERT_TRUE(Modem.Start());
    WriteTelephonyConfig(FFolder / "telephony.ini", {{Name, Modem.Device()}});
  }

  TTempFolder FFolder{"main"};
  std::vector<std::string> FErrors;
  TApplicationExceptionHandler FPrevious;
  TQtDeviceChooser FChooser;
  std::unique_ptr<TModalWatcher> FWatcher;
};

TEST_F(MainTest, LayoutCaptionsColumnsAndInitialState) {
  WriteTelephonyConfig(FFolder / "telephony.ini", {});
  auto W = MakeWindow();
  EXPECT_EQ("Ringlet", W->windowTitle().toStdString());
  EXPECT_EQ(QSize(729, 418), W->size());
  EXPECT_EQ(QSize(729, 418), W->minimumSize()) << "not resizable";
  EXPECT_EQ(QSize(729, 418), W->maximumSize());
  const Qt::WindowFlags Flags = W->windowFlags();
  EXPECT_TRUE(Flags & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(Flags & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(QColor(Qt::white), W->palette().color(QPalette::Window));

  EXPECT_EQ(QRect(-10, 9, 128, 128), W->NxGlyph1->geometry());
  EXPECT_EQ(QSize(128, 128), W->NxGlyph1->pixmap().size());
  EXPECT_EQ(QRect(128, 13, 64, 13), W->RzLabel1->geometry());
  EXPECT_EQ("TAPI Device:", W->RzLabel1->text().toStdString());
  EXPECT_EQ(QRect(200, 10, 441, 21), W->edtTAPIDevice->geometry());
  EXPECT_TRUE(W->edtTAPIDevice->isReadOnly());
  EXPECT_TRUE(W->edtTAPIDevice->text().isEmpty());
  EXPECT_EQ(QRect(128, 40, 513, 369), W->lvwCallerID->geometry());
  EXPECT_EQ(QPoint(648, 8), W->btnStart->pos());
  EXPECT_EQ(QPoint(648, 40), W->btnStop->pos());
  EXPECT_EQ(QPoint(648, 72), W->btnExit->pos());
  EXPECT_EQ(QRect(680, 144, 13, 221), W->RzLabel2->geometry());
  EXPECT_FALSE(W->RzLabel2->Caption().isEmpty());

  ASSERT_EQ(3, W->lvwCallerID->columnCount());
  const QTreeWidgetItem* Header = W->lvwCallerID->headerItem();
  EXPECT_EQ("Date", Header->text(0).toStdString());
  EXPECT_EQ("ID", Header->text(1).toStdString());
  EXPECT_EQ("ID Name", Header->text(2).toStdString());
  EXPECT_EQ(120, W->lvwCallerID->columnWidth(0));
  EXPECT_EQ(120, W->lvwCallerID->columnWidth(1));
  EXPECT_EQ(252, W->lvwCallerID->columnWidth(2));
  EXPECT_FALSE(W->lvwCallerID->header()->sectionsClickable());
  EXPECT_FALSE(W->lvwCallerID->isSortingEnabled());
  EXPECT_EQ(QAbstractItemView::NoEditTriggers, W->lvwCallerID->editTriggers());

  EXPECT_EQ("Start", W->btnStart->text().toStdString());
  EXPECT_EQ("Stop", W->btnStop->text().toStdString());
  EXPECT_EQ("Exit", W->btnExit->text().toStdString());
  EXPECT_TRUE(W->btnStart->isEnabled());
  EXPECT_FALSE(W->btnStop->isEnabled());
  EXPECT_TRUE(W->btnExit->isEnabled());
  EXPECT_NE(std::string::npos, W->btnStart->styleSheet().toStdString().find("#f4f4f0"))
      << "face colour 15791348";
  EXPECT_NE(std::string::npos, W->btnStart->styleSheet().toStdString().find("#003c74"))
      << "frame colour 7617536";
  EXPECT_NE(std::string::npos, W->btnStart->styleSheet().toStdString().find(":hover"));

  // Tab order: list, device box, Start, Stop, Exit (inner parts of a control are skipped).
  const std::vector<QWidget*> Controls{W->lvwCallerID, W->edtTAPIDevice, W->btnStart, W->btnStop,
                                       W->btnExit};
  auto NextControl = [&](QWidget* From) -> QWidget* {
    for (QWidget* Next = From->nextInFocusChain(); Next != From; Next = Next->nextInFocusChain())
      if (std::find(Controls.begin(), Controls.end(), Next) != Controls.end())
        return Next;
    return nullptr;
  };
  for (size_t I = 0; I + 1 < Controls.size(); ++I)
    EXPECT_EQ(Controls[I + 1], NextControl(Controls[I])) << "after control " << I;

  // The form description: the port, then the device using it, then the settings.
  TCallMonitor* Form = W->Form();
  ASSERT_EQ(3, Form->ComponentCount());
  EXPECT_EQ(W->PhoneCom(), Form->Components(0));
  EXPECT_EQ(W->Phone(), Form->Components(1));
  EXPECT_EQ(W->IniSettings(), Form->Components(2));
  EXPECT_EQ(W->PhoneCom(), W->Phone()->ComPort());
  EXPECT_EQ(tmOn, W->PhoneCom()->TapiMode()) << "Loaded switched the port's mode";
  EXPECT_FALSE(W->PhoneCom()->AutoOpen());
  EXPECT_EQ("CallerID.trc", W->PhoneCom()->TraceName());
  EXPECT_EQ(tlOn, W->PhoneCom()->Logging());
  EXPECT_EQ("CallerID.log", W->PhoneCom()->LogName());
  EXPECT_EQ(50, W->Phone()->AnswerOnRing());
  EXPECT_EQ(15, W->Phone()->RetryWait());
  EXPECT_EQ(1, W->Phone()->MaxAttempts());
  EXPECT_FALSE(W->Phone()->ShowPorts());
  EXPECT_TRUE(W->Phone()->ShowTapiDevices());
  EXPECT_FALSE(W->Form()->IsLoading());
}

TEST_F(MainTest, RememberedDeviceFillsTheBox) {
  WriteTelephonyConfig(FFolder / "telephony.ini", {});
  Platform::WriteProfileString(FFolder / "ringlet.ini", "Settings", "TapiDevice", "My Modem 2");
  auto W = MakeWindow();
  EXPECT_EQ("My Modem 2", W->edtTAPIDevice->text().toStdString());
}

// First run: nothing remembered. One line is shown at once, so the first Start needs no
// choice; with several lines the box stays empty.
TEST_F(MainTest, FirstRunOnTheOnlyLineShowsItAndStartsWithoutAChoice) {
  TFakeModem Modem;
  OneModem(Modem, "Only Modem");
  auto W = MakeWindow();
  EXPECT_EQ("Only Modem", W->edtTAPIDevice->text().toStdString());
  TModalWatcher& Watcher = *FWatcher;
  PressStart(*W);
  EXPECT_TRUE(Watcher.Seen().empty()) << "neither the message nor the chooser";
  ASSERT_TRUE(FErrors.empty()) << FErrors.front();
  EXPECT_TRUE(W->Form()->Monitoring());
  EXPECT_TRUE(W->Phone()->LineOpen());
  W->close();
  EXPECT_EQ("Only Modem",
            Platform::GetProfileString(FFolder / "ringlet.ini", "Settings", "TapiDevice", ""));
}

TEST_F(MainTest, FirstRunWithSeveralLinesLeavesTheBoxEmpty) {
  WriteTelephonyConfig(FFolder / "telephony.ini",
                       {{"Modem A", "/dev/null-a"}, {"Modem B", "/dev/null-b"}});
  auto W = MakeWindow();
  EXPECT_EQ(2u, W->Phone()->DeviceList().size());
  EXPECT_TRUE(W->edtTAPIDevice->text().isEmpty());
}

TEST_F(MainTest, ARememberedLineWinsOverTheOnlyLine) {
  WriteTelephonyConfig(FFolder / "telephony.ini", {{"Only Modem", "/dev/null-a"}});
  Platform::WriteProfileString(FFolder / "ringlet.ini", "Settings", "TapiDevice", "Old Modem");
  auto W = MakeWindow();
  EXPECT_EQ("Old Modem", W->edtTAPIDevice->text().toStdString());
}

// The demo line shows at once and starts; the line remembered for the real modem (the
// user's settings file) is neither shown nor overwritten.
TEST_F(MainTest, DemoShowsItsLineAtOnceAndKeepsTheRememberedLine) {
  const std::string UserSettings = FFolder / "ringlet.ini";
  Platform::WriteProfileString(UserSettings, "Settings", "TapiDevice", "Kitchen modem");
  SetSettingsFileName(UserSettings);
  TDemoModem Demo;
  ASSERT_TRUE(Demo.Start(RINGLET_BUILD_DIR "/tools/fakemodem/fakemodem")) << Demo.Error();
  const std::string DemoSettings = Demo.SettingsPath();
  {
    TfrmMain W;
    W.show();
    EXPECT_EQ(DemoLineName, W.edtTAPIDevice->text().toStdString());
    TModalWatcher& Watcher = *FWatcher;
    PressStart(W);
    EXPECT_TRUE(Watcher.Seen().empty()) << "neither the message nor the chooser";
    ASSERT_TRUE(FErrors.empty()) << FErrors.front();
    EXPECT_TRUE(W.Form()->Monitoring());
    W.close();
    EXPECT_EQ(DemoSettings, W.IniSettings()->Path());
    EXPECT_EQ(DemoLineName, Platform::GetProfileString(DemoSettings, "Settings", "TapiDevice", ""));
  }
  EXPECT_EQ("Kitchen modem",
            Platform::GetProfileString(UserSettings, "Settings", "TapiDevice", ""));
  Demo.Stop();
  EXPECT_EQ(UserSettings, SettingsFileName()) << "the settings file before the demo is back";
  EXPECT_FALSE(fs::exists(DemoSettings)) << "the demo's folder is gone";
}

TEST_F(MainTest, StartWithAnEmptyBoxShowsTheMessageAndStaysIdle) {
  TFakeModem A, B;
  ASSERT_TRUE(A.Start());
  ASSERT_TRUE(B.Start());
  WriteTelephonyConfig(FFolder / "telephony.ini",
                       {{"Modem A", A.Device()}, {"Modem B", B.Device()}});
  auto W = MakeWindow();
  TModalWatcher& Watcher = *FWatcher;
  W->btnStart->click();
  ASSERT_EQ(1u, Watcher.Seen().size());
  const TSeenDialog& Box = Watcher.Seen()[0];
  EXPECT_EQ("message", Box.Kind);
  EXPECT_EQ(NoDeviceMessage, Box.Text);
  EXPECT_EQ(QMessageBox::Critical, Box.Icon);
  EXPECT_EQ(1, Box.ButtonCount);
  EXPECT_TRUE(W->btnStart->isEnabled());
  EXPECT_FALSE(W->btnStop->isEnabled());
  EXPECT_FALSE(W->Phone()->LineOpen());
  EXPECT_FALSE(W->Form()->Monitoring());
  EXPECT_TRUE(FErrors.empty());
}

TEST_F(MainTest, StartThenStop) {
  TFakeModem Modem;
  OneModem(Modem);
  auto W = MakeWindow();
  W->edtTAPIDevice->setText("anything");
  PressStart(*W);
  ASSERT_TRUE(FErrors.empty()) << FErrors.front();
  EXPECT_TRUE(W->Phone()->LineOpen());
  EXPECT_EQ("Fake Modem", W->Phone()->SelectedDevice()) << "the only line is taken";
  EXPECT_FALSE(W->btnStart->isEnabled());
  EXPECT_TRUE(W->btnStop->isEnabled());
  W->btnStop->click();
  EXPECT_FALSE(W->Phone()->LineOpen());
  EXPECT_TRUE(W->btnStart->isEnabled());
  EXPECT_FALSE(W->btnStop->isEnabled());
  EXPECT_TRUE(FErrors.empty());
}

TEST_F(MainTest, CallsAddRowsOldestFirstIncludingABlockedCaller) {
  TFakeModem Modem;
  OneModem(Modem);
  auto W = MakeWindow();
  W->edtTAPIDevice->setText("Fake Modem");
  PressStart(*W);
  ASSERT_TRUE(W->Phone()->LineOpen());
  // The day changes between the first two calls (unless the first one takes longer).
  TZoneNearMidnight Zone(6);
  Modem.Send("call 5551234 \"JOHN DOE\" rings=2");
  ASSERT_TRUE(ServeUntil([&] { return W->lvwCallerID->topLevelItemCount() >= 1; }));
  const bool FirstBeforeMidnight = std::time(nullptr) < Zone.Midnight();
  // Rings closer together than the line's ring time-out belong to the same caller.
  Modem.Send("sleep 3500");
  EXPECT_TRUE(ServeUntil([&] { return std::time(nullptr) > Zone.Midnight(); }));
  Modem.Send("call 5559876 \"JANE ROE\" rings=2");
  ASSERT_TRUE(ServeUntil([&] { return W->lvwCallerID->topLevelItemCount() >= 2; }));
  Modem.Send("sleep 3500");
  Modem.Send("private rings=2");
  ASSERT_TRUE(ServeUntil([&] { return W->lvwCallerID->topLevelItemCount() >= 3; }));

  auto Row = [&](int I) { return W->lvwCallerID->topLevelItem(I); };
  auto When = [&](int I) { return Row(I)->text(0).toStdString(); };
  for (int I = 0; I < 3; ++I)
    EXPECT_TRUE(IsListDateTime(When(I))) << When(I);
  EXPECT_EQ("5551234", Row(0)->text(1).toStdString());
  EXPECT_EQ("JOHN DOE", Row(0)->text(2).toStdString());
  EXPECT_EQ("5559876", Row(1)->text(1).toStdString());
  EXPECT_EQ("JANE ROE", Row(1)->text(2).toStdString());
  if (FirstBeforeMidnight) {
    EXPECT_NE(When(0).substr(0, 10), When(1).substr(0, 10)) << "the day did not change";
  }
  EXPECT_LE(SortableMoment(When(0)), SortableMoment(When(1))) << When(0) << " / " << When(1);
  EXPECT_LE(SortableMoment(When(1)), SortableMoment(When(2))) << When(1) << " / " << When(2);
  EXPECT_EQ("Caller ID Blocked", Row(2)->text(1).toStdString());
  EXPECT_EQ("Caller ID Blocked", Row(2)->text(2).toStdString());
  EXPECT_FALSE(W->btnStart->isEnabled()) << "the buttons are not touched by calls";
  EXPECT_TRUE(W->btnStop->isEnabled());
  // The line opens again in the background, a moment after the call.
  EXPECT_TRUE(ServeUntil([&] { return W->Phone()->LineOpen(); })) << "answering again";
  EXPECT_TRUE(FErrors.empty());
}

TEST_F(MainTest, TheWebPageFollowsTheWindowsLineAndCalls) {
  TFakeModem Modem;
  OneModem(Modem);
  auto W = MakeWindow();
  TWebOptions Options;
  Options.Listen = "127.0.0.1:0";
  EXPECT_NE(std::string::npos, W->StartWebPage(Options).find("ringlet --set-web-password"));
  EXPECT_EQ(nullptr, W->WebPage());
  Options.PasswordHash = WebTest::PasswordHash();
  ASSERT_EQ("", W->StartWebPage(Options));
  const uint16_t Port = W->WebPage()->Server()->BoundPort();
  const WebTest::TAnswer Login = WebTest::Ask(
      Port, {"POST", "/api/login", WebTest::TJson{{"password", WebTest::Password}}.dump()});
  ASSERT_EQ(200, Login.Status);
  const std::string Session = WebTest::SessionOf(Login);
  const auto Lines = [&] { return WebTest::Ask(Port, {"GET", "/api/lines", "", Session}).Json(); };
  EXPECT_EQ(WebTest::TJson::parse(R"({"lines":[]})"), Lines()) << "a line before Start";

  W->edtTAPIDevice->setText("Fake Modem");
  PressStart(*W);
  ASSERT_TRUE(W->Phone()->LineOpen());
  EXPECT_EQ(WebTest::TJson::parse(R"({"lines":[{"name":"Fake Modem","state":"watching"}]})"),
            Lines());
  Modem.Send("call 5551234 \"<b>JOHN</b>\" rings=2");
  ASSERT_TRUE(ServeUntil([&] { return W->lvwCallerID->topLevelItemCount() >= 1; }));
  const WebTest::TJson Calls = WebTest::Ask(Port, {"GET", "/api/calls", "", Session}).Json();
  ASSERT_EQ(1u, Calls["calls"].size()) << Calls.dump();
  EXPECT_EQ("<b>JOHN</b>", Calls["calls"][0]["name"]);
  W->btnStop->click();
  EXPECT_EQ(WebTest::TJson::parse(R"({"lines":[{"name":"Fake Modem","state":"stopped"}]})"),
            Lines());
  EXPECT_TRUE(FErrors.empty()) << FErrors.front();
}

TEST_F(MainTest, LineClosedWhileADialogIsOpenIsReopenedOnlyAfterItCloses) {
  TFakeModem Modem;
  OneModem(Modem);
  auto W = MakeWindow();
  W->edtTAPIDevice->setText("Fake Modem");
  PressStart(*W);
  ASSERT_TRUE(W->Phone()->LineOpen());
  QTimer* Rearm = W->findChild<QTimer*>("RearmTimer");
  ASSERT_NE(nullptr, Rearm);
  int Ticks = 0;
  const QMetaObject::Connection Counting =
      QObject::connect(Rearm, &QTimer::timeout, Rearm, [&] { ++Ticks; });

  // Inside a dialog: let the re-arm timer tick a few times, then note whether the line
  // was reopened meanwhile.
  int TicksInDialog = 0;
  bool ReopenedInDialog = false;
  auto WhileOpen = [&] {
    const int Start = Ticks;
    EXPECT_TRUE(ServeUntil([&] { return Ticks >= Start + 3; })) << "the re-arm timer stopped";
    TicksInDialog = Ticks - Start;
    ReopenedInDialog = W->Phone()->LineOpen();
  };
  TModalWatcher& Watcher = *FWatcher;
  Watcher.OnDevice = [&](TDeviceSelectionForm& Form) {
    WhileOpen();
    Form.dsfOkBitBtn->click();
  };
  Watcher.OnPort = [&](TComSelectForm& Form) {
    WhileOpen();
    Form.AbortBtn->click();
  };

  // The line closes while monitoring, and the device dialog opens before the loop runs.
  W->Phone()->StopCall();
  ASSERT_FALSE(W->Phone()->LineOpen());
  W->edtTAPIDeviceButton->trigger();
  ASSERT_EQ(1u, Watcher.Seen().size());
  EXPECT_EQ("device", Watcher.Seen()[0].Kind);
  EXPECT_GE(TicksInDialog, 3);
  EXPECT_FALSE(ReopenedInDialog) << "the re-arm entered the line device from the dialog's loop";
  EXPECT_TRUE(ServeUntil([&] { return W->Phone()->LineOpen(); }))
      << "the line was not reopened after the dialog closed";

  // The same with the port selection dialog.
  W->Phone()->StopCall();
  ASSERT_FALSE(W->Phone()->LineOpen());
  TQtPortChooser Ports;
  uint16_t Chosen = 0;
  EXPECT_EQ(3, Ports.Choose(Chosen));
  ASSERT_EQ(2u, Watcher.Seen().size());
  EXPECT_EQ("port", Watcher.Seen()[1].Kind);
  EXPECT_GE(TicksInDialog, 3);
  EXPECT_FALSE(ReopenedInDialog) << "the re-arm entered the line device from the dialog's loop";
  EXPECT_TRUE(ServeUntil([&] { return W->Phone()->LineOpen(); }))
      << "the line was not reopened after the dialog closed";
  QObject::disconnect(Counting);
  EXPECT_TRUE(W->Form()->Monitoring());
  EXPECT_TRUE(FErrors.empty()) << FErrors.front();
}

// The boxes telling that the line was lost, open or not.
std::vector<QMessageBox*> LostLineBoxes(TfrmMain& Window) {
  std::vector<QMessageBox*> Boxes;
  for (QMessageBox* Box : Window.findChildren<QMessageBox*>())
    if (Box->text().startsWith("The line was lost ("))
      Boxes.push_back(Box);
  return Boxes;
}

TEST_F(MainTest, UnpluggedModemShowsOneMessageAndMonitoringResumesWhenPluggedBack) {
  // The line's device is a link that fakemodem removes when unplugged and makes again,
  // pointing at a new device, when plugged back.
  const std::string Link = FFolder / "modem";
  TFakeModem Modem;
  ASSERT_TRUE(Modem.Start({"--link", Link, "--ring-spacing", "400"}));
  WriteTelephonyConfig(FFolder / "telephony.ini", {{"Fake Modem", Link}});
  auto W = MakeWindow();
  W->edtTAPIDevice->setText("Fake Modem");
  PressStart(*W);
  ASSERT_TRUE(W->Phone()->LineOpen()) << (FErrors.empty() ? "" : FErrors.front());

  Modem.Send("unplug");
  ASSERT_TRUE(ServeUntil([&] { return !LostLineBoxes(*W).empty(); }))
      << "no message about the lost line";
  // Gone for more than two of the monitor's retries: still the one message.
  ServeUntil([] { return false; }, 7000);
  std::vector<QMessageBox*> Boxes = LostLineBoxes(*W);
  ASSERT_EQ(1u, Boxes.size());
  EXPECT_TRUE(Boxes[0]->text().endsWith("). Monitoring resumes when it is back."))
      << Boxes[0]->text().toStdString();
  EXPECT_FALSE(Boxes[0]->isModal()) << "the window goes on while the line is away";
  EXPECT_TRUE(W->Form()->LineLost());
  EXPECT_FALSE(W->Phone()->LineOpen());

  Modem.Send("plug");
  EXPECT_TRUE(ServeUntil([&] { return !W->Form()->LineLost() && W->Phone()->LineOpen(); }, 5000))
      << "not back within 5 s of the plug";
  Modem.Send("call 777 \"BACK AGAIN\" rings=3");
  ASSERT_TRUE(ServeUntil([&] { return W->lvwCallerID->topLevelItemCount() >= 1; }));
  EXPECT_EQ(1, W->lvwCallerID->topLevelItemCount());
  EXPECT_EQ("777", W->lvwCallerID->topLevelItem(0)->text(1).toStdString());
  EXPECT_EQ("BACK AGAIN", W->lvwCallerID->topLevelItem(0)->text(2).toStdString());
  EXPECT_EQ(1u, LostLineBoxes(*W).size());
  EXPECT_FALSE(W->btnStart->isEnabled()) << "still monitoring";
  EXPECT_TRUE(W->btnStop->isEnabled());
  EXPECT_TRUE(FErrors.empty()) << FErrors.front();
}

TEST_F(MainTest, ExitWhileMonitoringStopsAndSavesTheBox) {
  TFakeModem Modem;
  OneModem(Modem);
  auto W = MakeWindow();
  W->edtTAPIDevice->setText("Fake Modem  A");
  PressStart(*W);
  ASSERT_TRUE(W->Phone()->LineOpen());
  // The line is dropped while the settings file does not exist yet: stop, then save.
  const std::string File = FFolder / "ringlet.ini";
  int Drops = 0;
  bool SavedBeforeDrop = false;
  W->Phone()->OnTapiLog = [&](TObject*, TTapiLogCode Code) {
    if (Code == ltapiDrop) {
      ++Drops;
      SavedBeforeDrop = SavedBeforeDrop || std::filesystem::exists(File);
    }
  };
  W->btnExit->click();
  EXPECT_FALSE(W->isVisible());
  EXPECT_FALSE(W->Phone()->LineOpen());
  EXPECT_EQ(1, Drops);
  EXPECT_FALSE(SavedBeforeDrop);
  EXPECT_FALSE(W->Form()->Monitoring());
  EXPECT_EQ("Fake Modem  A", Platform::GetProfileString(File, "Settings", "TapiDevice", "?"));
  EXPECT_TRUE(FErrors.empty());
}

TEST_F(MainTest, CloseStillStopsWhenTheSettingsCannotBeWritten) {
  TFakeModem Modem;
  OneModem(Modem);
  auto W = MakeWindow();
  W->IniSettings()->SetPath(FFolder / "no-such-folder/ringlet.ini");
  W->edtTAPIDevice->setText("x");
  PressStart(*W);
  ASSERT_TRUE(W->Phone()->LineOpen());
  W->close();
  EXPECT_FALSE(W->Phone()->LineOpen()) << "stopped before the failing save";
  ASSERT_EQ(1u, FErrors.size());
  EXPECT_EQ("Unable to write to " + (FFolder / "no-such-folder/ringlet.ini"), FErrors[0]);
}

TEST_F(MainTest, DeviceButtonWithOneLine) {
  TFakeModem Modem;
  OneModem(Modem, "Only Modem");
  auto W = MakeWindow();
  TModalWatcher& Watcher = *FWatcher;
  W->edtTAPIDeviceButton->trigger();
  ASSERT_TRUE(FErrors.empty()) << FErrors.front();
  ASSERT_EQ(1u, Watcher.Seen().size()) << "the chooser opens once, the resolution is silent";
  EXPECT_EQ(std::vector<std::string>{"Only Modem"}, Watcher.Seen()[0].Entries);
  EXPECT_EQ("Only Modem", Watcher.Seen()[0].Current);
  EXPECT_EQ("Only Modem", W->edtTAPIDevice->text().toStdString());
}

TEST_F(MainTest, DeviceButtonWithSeveralLinesAsksFirstThenChooses) {
  TFakeModem A, B;
  ASSERT_TRUE(A.Start());
  ASSERT_TRUE(B.Start());
  WriteTelephonyConfig(FFolder / "telephony.ini",
                       {{"Modem A", A.Device()}, {"Modem B", B.Device()}});
  auto W = MakeWindow();
  TModalWatcher& Watcher = *FWatcher;
  Watcher.OnDevice = [](TDeviceSelectionForm& Form) {
    Form.dsfComboBox->setCurrentIndex(1);
    Form.dsfOkBitBtn->click();
  };
  W->edtTAPIDeviceButton->trigger();
  ASSERT_TRUE(FErrors.empty()) << FErrors.front();
  ASSERT_EQ(2u, Watcher.Seen().size());
  EXPECT_EQ((std::vector<std::string>{"Modem A", "Modem B"}), Watcher.Seen()[0].Entries);
  EXPECT_EQ("Modem A", Watcher.Seen()[0].Current) << "no selection yet: the first line";
  EXPECT_EQ("Modem B", Watcher.Seen()[1].Current) << "preset to the current selection";
  EXPECT_EQ("Modem B", W->edtTAPIDevice->text().toStdString());
  EXPECT_EQ("Modem B", W->Phone()->SelectedDevice());
}

TEST_F(MainTest, DeviceButtonCancelledChangesNothing) {
  TFakeModem A, B;
  ASSERT_TRUE(A.Start());
  ASSERT_TRUE(B.Start());
  WriteTelephonyConfig(FFolder / "telephony.ini",
                       {{"Modem A", A.Device()}, {"Modem B", B.Device()}});
  Platform::WriteProfileString(FFolder / "ringlet.ini", "Settings", "TapiDevice", "Old Name");
  auto W = MakeWindow();
  TModalWatcher& Watcher = *FWatcher;
  Watcher.OnDevice = [](TDeviceSelectionForm& Form) { Form.dsfCancelBitBtn->click(); };
  W->edtTAPIDeviceButton->trigger();
  ASSERT_EQ(1u, Watcher.Seen().size());
  ASSERT_EQ(1u, FErrors.size());
  EXPECT_EQ("No TAPI device selected", FErrors[0]);
  EXPECT_EQ("Old Name", W->edtTAPIDevice->text().toStdString());
  EXPECT_EQ("", W->Phone()->SelectedDevice());
}

// A modem on a pseudo-terminal that answers OK to every command until it is silenced; then
// it takes what it is sent and never answers, as a hung modem does.
class THangingModem {
public:
  THangingModem() : FThread([this] { Run(); }) {}
  ~THangingModem() {
    FStop = true;
    FThread.join();
  }
  THangingModem(const THangingModem&) = delete;
  THangingModem& operator=(const THangingModem&) = delete;

  const std::string& Device() const { return FPty.SlavePath; }
  void Silence() { FSilent = true; }
  void Wake() { FSilent = false; }
  void Send(const std::string& Text) { FPty.Send(Text); }

private:
  void Run() {
    std::string Line;
    while (!FStop) {
      pollfd In{FPty.Master, POLLIN, 0};
      if (poll(&In, 1, 20) <= 0)
        continue;
      char Buffer[256];
      const ssize_t N = read(FPty.Master, Buffer, sizeof Buffer);
      for (ssize_t I = 0; I < N; ++I) {
        if (Buffer[I] != '\r') {
          Line += Buffer[I];
          continue;
        }
        if (!FSilent && Line.rfind("AT", 0) == 0)
          FPty.Send("\r\nOK\r\n");
        Line.clear();
      }
    }
  }

  PtyTest::TPty FPty;
  std::atomic<bool> FSilent{false};
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

// Measures how long the window takes to answer input and repaint: another thread posts a key
// press to the call list every few milliseconds; the list's filter notes how late each one is
// handled, and how late the repaint it asks for comes.
class TLatencyProbe : public QObject {
public:
  explicit TLatencyProbe(QTreeWidget& List) : FList(List) {
    FList.installEventFilter(this);
    FList.viewport()->installEventFilter(this);
    // The keyboard device the key events name is made here, on the window's thread: made on
    // the poster's thread, Qt would never free it.
    QInputDevice::primaryKeyboard();
    FThread = std::thread([this] {
      while (!FStop) {
        if (FSent == 0) {
          FSent = Now();
          QCoreApplication::postEvent(
              &FList, new QKeyEvent(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    });
  }
  ~TLatencyProbe() override {
    FStop = true;
    FThread.join();
    FList.removeEventFilter(this);
    FList.viewport()->removeEventFilter(this);
  }
  TLatencyProbe(const TLatencyProbe&) = delete;
  TLatencyProbe& operator=(const TLatencyProbe&) = delete;

  int64_t WorstInputMs() const { return FWorstInput; }
  int64_t WorstPaintMs() const { return FWorstPaint; }
  int Answered() const { return FAnswered; }

protected:
  bool eventFilter(QObject* Target, QEvent* Event) override {
    if (Target == &FList && Event->type() == QEvent::KeyPress && FSent != 0) {
      const int64_t Sent = FSent;
      FWorstInput = std::max(FWorstInput, Now() - Sent);
      ++FAnswered;
      FPaintAsked = Sent;
      FList.viewport()->update();
      FSent = 0; // the next key goes out now
      return true;
    }
    if (Target == FList.viewport() && Event->type() == QEvent::Paint && FPaintAsked != 0) {
      FWorstPaint = std::max(FWorstPaint, Now() - FPaintAsked);
      FPaintAsked = 0;
    }
    return false;
  }

private:
  static int64_t Now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }

  QTreeWidget& FList;
  std::atomic<int64_t> FSent{0};
  std::atomic<bool> FStop{false};
  int64_t FPaintAsked = 0;
  int64_t FWorstInput = 0;
  int64_t FWorstPaint = 0;
  int FAnswered = 0;
  std::thread FThread;
};

// A modem that hangs after a call: the line opens again while every command waits six
// seconds for an answer that never comes. Meanwhile the window answers input and repaints
// at once; then the open fails and the line is reported lost. (Opening the line inside the
// call's handler, as before, left both waiting about six seconds.)
TEST_F(MainTest, WindowAnswersInputWhileTheLineOpensOnAHungModem) {
  THangingModem Modem;
  std::ofstream(FFolder / "telephony.ini")
      << "[Line1]\nName=Hung Modem\nDevice=" << Modem.Device()
      << "\nCommandTimeout=6\nRingTimeout=3\nCheckInterval=0\nCallerIdPause=0.3\n";
  auto W = MakeWindow();
  PressStart(*W);
  ASSERT_TRUE(W->Phone()->LineOpen());
  TLatencyProbe Probe(*W->lvwCallerID);

  Modem.Silence();
  Modem.Send("\r\nRING\r\n\r\nDATE = 1209\r\nTIME = 1200\r\nNMBR = 5551234\r\n"
             "NAME = HUNG UP\r\n\r\n");
  ASSERT_TRUE(ServeUntil([&] { return W->lvwCallerID->topLevelItemCount() == 1; }));
  ASSERT_TRUE(ServeUntil([&] { return !LostLineBoxes(*W).empty(); }))
      << "the open on the hung modem never failed";
  std::printf("input answered %d times, at worst after %lld ms; repainted at worst after %lld ms\n",
              Probe.Answered(), static_cast<long long>(Probe.WorstInputMs()),
              static_cast<long long>(Probe.WorstPaintMs()));
  // About ten times the goal: load on the machine may delay a step, a blocked loop cannot hide.
  EXPECT_LT(Probe.WorstInputMs(), 1000);
  EXPECT_LT(Probe.WorstPaintMs(), 1000);
  EXPECT_GT(Probe.Answered(), 20) << "the probe did not run through the open";
  EXPECT_TRUE(W->Form()->Monitoring());
  W->btnStop->click();
}

// The telephony configuration of one line on Modem whose commands each wait two seconds.
void WriteHungModemConfig(const std::string& Path, const THangingModem& Modem) {
  std::ofstream(Path) << "[Line1]\nName=Hung Modem\nDevice=" << Modem.Device()
                      << "\nCommandTimeout=2\nRingTimeout=3\nCheckInterval=0\n"
                         "CallerIdPause=0.3\n";
}

// Start on a modem that never answers: the set-up waits out its command time-outs while the
// window answers input, Start disabled at once; then the window is Idle again and the failure
// goes to the application's handler with the text a waiting Start raised. (Start used to wait
// for the set-up inside the click, the window frozen and Start enabled throughout.)
TEST_F(MainTest, StartOnASilentModemKeepsTheWindowAnsweringAndEndsIdleWithTheFailure) {
  THangingModem Modem;
  Modem.Silence();
  WriteHungModemConfig(FFolder / "telephony.ini", Modem);
  auto W = MakeWindow();
  TLatencyProbe Probe(*W->lvwCallerID);
  W->btnStart->click();
  const bool StartDisabledAtOnce = !W->btnStart->isEnabled();
  const bool StopEnabledAtOnce = W->btnStop->isEnabled();
  ASSERT_TRUE(ServeUntil([&] { return !FErrors.empty(); })) << "the set-up never failed";
  std::printf("input answered %d times, at worst after %lld ms; repainted at worst after %lld ms\n",
              Probe.Answered(), static_cast<long long>(Probe.WorstInputMs()),
              static_cast<long long>(Probe.WorstPaintMs()));
  EXPECT_TRUE(StartDisabledAtOnce);
  EXPECT_TRUE(StopEnabledAtOnce);
  // About ten times the goal: load on the machine may delay a step, a blocked loop cannot hide.
  EXPECT_LT(Probe.WorstInputMs(), 1000);
  EXPECT_LT(Probe.WorstPaintMs(), 1000);
  EXPECT_GT(Probe.Answered(), 20) << "the probe did not run through the set-up";
  ASSERT_EQ(1u, FErrors.size());
  EXPECT_EQ(MessageText(ecTapiOperationFailed), FErrors[0]) << "what a waiting Start raised";
  EXPECT_TRUE(W->btnStart->isEnabled());
  EXPECT_FALSE(W->btnStop->isEnabled());
  EXPECT_FALSE(W->Form()->Monitoring());
  EXPECT_FALSE(W->Phone()->LineOpen());
}

// Stop while the line is being set up gives the set-up up and leaves the window Idle, no
// failure told; once the modem answers again, Start reaches Monitoring and a call gives a row.
TEST_F(MainTest, StopDuringTheSetUpLeavesIdleAndALaterStartWorks) {
  THangingModem Modem;
  Modem.Silence();
  WriteHungModemConfig(FFolder / "telephony.ini", Modem);
  auto W = MakeWindow();
  W->btnStart->click();
  ASSERT_TRUE(W->Phone()->LineOpening());
  W->btnStop->click();
  EXPECT_TRUE(W->btnStart->isEnabled());
  EXPECT_FALSE(W->btnStop->isEnabled());
  EXPECT_FALSE(W->Form()->Monitoring());
  EXPECT_FALSE(W->Phone()->LineOpening());
  // Long enough for the given-up set-up to fail on the silent modem: nothing of it is told.
  ServeUntil([] { return false; }, 2500);
  EXPECT_TRUE(FErrors.empty()) << FErrors.front();
  EXPECT_TRUE(W->btnStart->isEnabled());

  Modem.Wake();
  PressStart(*W);
  ASSERT_TRUE(ServeUntil([&] { return W->Phone()->LineOpen() && !W->Form()->Starting(); }))
      << (FErrors.empty() ? "" : FErrors.front());
  EXPECT_TRUE(W->Form()->Monitoring());
  EXPECT_FALSE(W->btnStart->isEnabled());
  EXPECT_TRUE(W->btnStop->isEnabled());
  Modem.Send("\r\nRING\r\n\r\nDATE = 1209\r\nTIME = 1200\r\nNMBR = 5551234\r\n"
             "NAME = AFTER STOP\r\n\r\n");
  ASSERT_TRUE(ServeUntil([&] { return W->lvwCallerID->topLevelItemCount() == 1; }));
  EXPECT_EQ("5551234", W->lvwCallerID->topLevelItem(0)->text(1).toStdString());
  W->btnStop->click();
  EXPECT_TRUE(FErrors.empty()) << FErrors.front();
}

// The window's outlets are the console's: an NCID client (the address from the settings
// file's [NCID] section) and an MQTT broker (from the options) get the window's call.
TEST_F(MainTest, WindowServesNcidClientsAndPublishesToMqtt) {
  BrokerTest::TBroker Broker;
  ASSERT_TRUE(Broker.Start());
  BrokerTest::TSubscriber Subscriber(Broker.Port(), {"ringlet/+/call"});
  ASSERT_TRUE(Subscriber.WaitSubscribed());
  const uint16_t NcidPort = BrokerTest::FreeLoopbackPort();
  Platform::WriteProfileString(FFolder / "ringlet.ini", "NCID", "Listen",
                               "127.0.0.1:" + std::to_string(NcidPort));
  TFakeModem Modem;
  OneModem(Modem, "Kitchen");
  auto W = MakeWindow();
  THubOptions Options;
  Options.Network.MqttUrl = "mqtt://127.0.0.1:" + std::to_string(Broker.Port());
  Options.Notify = ncOff;
  ASSERT_EQ("", W->StartOutlets(Options));
  NcidTest::TNcidClient Ncid(NcidPort);
  ASSERT_TRUE(Ncid.Connected());
  const std::vector<std::string> Startup = Ncid.ReadStartup();
  EXPECT_NE(std::find(Startup.begin(), Startup.end(), "252 Call log empty"), Startup.end());

  PressStart(*W);
  ASSERT_TRUE(W->Phone()->LineOpen());
  Modem.Send("call 5551234 \"JOHN DOE\" rings=2");
  ASSERT_TRUE(ServeUntil([&] { return W->lvwCallerID->topLevelItemCount() == 1; }));
  const std::string Line = Ncid.ReadCallLine(std::chrono::milliseconds(GenerousMs));
  EXPECT_NE(Line.find("*LINE*Kitchen*NMBR*5551234*MESG*NONE*NAME*JOHN DOE*"), std::string::npos)
      << Line;
  const auto Published = Subscriber.WaitOn("ringlet/kitchen/call", 1);
  ASSERT_EQ(1u, Published.size());
  EXPECT_NE(Published[0].Payload.find("5551234"), std::string::npos) << Published[0].Payload;
  W->btnStop->click();
  EXPECT_TRUE(FErrors.empty());
}

TEST_F(MainTest, StartWithSeveralLinesAndTheDialogCancelledStaysIdle) {
  TFakeModem A, B;
  ASSERT_TRUE(A.Start());
  ASSERT_TRUE(B.Start());
  WriteTelephonyConfig(FFolder / "telephony.ini",
                       {{"Modem A", A.Device()}, {"Modem B", B.Device()}});
  Platform::WriteProfileString(FFolder / "ringlet.ini", "Settings", "TapiDevice", "Modem B");
  auto W = MakeWindow();
  TModalWatcher& Watcher = *FWatcher;
  Watcher.OnDevice = [](TDeviceSelectionForm& Form) { Form.reject(); };
  PressStart(*W);
  ASSERT_EQ(1u, Watcher.Seen().size()) << "StartAnswering asks for the line";
  ASSERT_EQ(1u, FErrors.size());
  EXPECT_EQ("No TAPI device selected", FErrors[0]);
  EXPECT_TRUE(W->btnStart->isEnabled());
  EXPECT_FALSE(W->btnStop->isEnabled());
  EXPECT_FALSE(W->Form()->Monitoring());
}

std::string ReadText(const std::string& Path) {
  std::ifstream In(Path);
  std::stringstream Text;
  Text << In.rdbuf();
  return Text.str();
}

// The action of a row's context menu with Caption.
QAction* MenuAction(QMenu& Menu, const char* Caption) {
  for (QAction* Action : Menu.actions())
    if (Action->text() == QString::fromUtf8(Caption))
      return Action;
  return nullptr;
}

TEST_F(MainTest, ContextMenuAddsContactsAndBlocksNumbersKeepingTheFiles) {
  auto W = MakeWindow();
  const std::string Contacts = FFolder / "config/ringlet/contacts.vcf";
  const std::string BlockList = FFolder / "config/ringlet/blocklist.txt";
  std::filesystem::create_directories(FFolder / "config/ringlet");
  const std::string Existing = "BEGIN:VCARD\nVERSION:4.0\nFN:Gran\nTEL:5550001\nEND:VCARD\n";
  std::ofstream(Contacts) << Existing;
  std::ofstream(BlockList) << "# mine\nwithheld\n";
  // The calls as the monitor hands them to the window.
  W->Form()->OnCall(MakeCallRecord(0, "Fake Modem", "4075551212", "DOE JOHN"));
  W->Form()->OnCall(MakeCallRecord(0, "Fake Modem", "9005550000", "WIN A PRIZE"));
  TCallRecord Withheld = MakeCallRecord(0, "Fake Modem", "Caller ID Blocked", "Caller ID Blocked");
  Withheld.NumberAbsent = abWithheld;
  Withheld.Number.clear();
  Withheld.Blocked = true;
  W->Form()->OnCall(Withheld);
  ASSERT_EQ(3, W->lvwCallerID->topLevelItemCount());
  QTreeWidgetItem* John = W->lvwCallerID->topLevelItem(0);
  QTreeWidgetItem* Prize = W->lvwCallerID->topLevelItem(1);
  QTreeWidgetItem* Private = W->lvwCallerID->topLevelItem(2);
  EXPECT_EQ("Caller ID Blocked [blocked]", Private->text(2).toStdString());
  EXPECT_EQ(QColor(Qt::gray), Private->foreground(1).color());

  {
    // No number: nothing to add or block.
    const std::unique_ptr<QMenu> Menu(W->CallMenu(Private));
    ASSERT_NE(MenuAction(*Menu, AddContactCaption), nullptr);
    EXPECT_FALSE(MenuAction(*Menu, AddContactCaption)->isEnabled());
    EXPECT_FALSE(MenuAction(*Menu, BlockNumberCaption)->isEnabled());
  }
  {
    FWatcher = std::make_unique<TModalWatcher>(); // a fresh record for this dialog
    TModalWatcher& Watcher = *FWatcher;
    Watcher.OnInput = [](QInputDialog& Dialog) {
      Dialog.setTextValue(QString::fromUtf8("Zo\xc3\xab, next door"));
      Dialog.accept();
    };
    const std::unique_ptr<QMenu> Menu(W->CallMenu(John));
    QAction* Add = MenuAction(*Menu, AddContactCaption);
    ASSERT_NE(Add, nullptr);
    ASSERT_TRUE(Add->isEnabled());
    Add->trigger();
    ASSERT_EQ(1u, Watcher.Seen().size());
    EXPECT_EQ("input", Watcher.Seen()[0].Kind);
    EXPECT_EQ("DOE JOHN", Watcher.Seen()[0].Current) << "the network's name is proposed";
    EXPECT_NE(Watcher.Seen()[0].Text.find("4075551212"), std::string::npos);
  }
  EXPECT_EQ("Zo\xc3\xab, next door", John->text(2).toStdString());
  const std::string Written = ReadText(Contacts);
  EXPECT_EQ(0u, Written.rfind(Existing, 0)) << Written;
  EXPECT_NE(Written.find("FN:Zo\xc3\xab\\, next door\r\nTEL;TYPE=VOICE:4075551212"),
            std::string::npos)
      << Written;
  {
    // Cancelled: the file stays as it is.
    FWatcher = std::make_unique<TModalWatcher>(); // a fresh record for this dialog
    TModalWatcher& Watcher = *FWatcher;
    Watcher.OnInput = [](QInputDialog& Dialog) { Dialog.reject(); };
    const std::unique_ptr<QMenu> Menu(W->CallMenu(Prize));
    MenuAction(*Menu, AddContactCaption)->trigger();
    EXPECT_EQ(1u, Watcher.Seen().size());
  }
  EXPECT_EQ(Written, ReadText(Contacts));
  {
    const std::unique_ptr<QMenu> Menu(W->CallMenu(Prize));
    MenuAction(*Menu, BlockNumberCaption)->trigger();
  }
  EXPECT_EQ("# mine\nwithheld\n9005550000\n", ReadText(BlockList));

  // The screen reads what the menu wrote: the new contact names the next call.
  TCallRecord Next = MakeCallRecord(0, "Fake Modem", "14075551212", "DOE JOHN");
  W->Screen()->Screen(Next);
  EXPECT_EQ("Zo\xc3\xab, next door", Next.IDName);
  TCallRecord Again = MakeCallRecord(0, "Fake Modem", "9005550000", "WIN A PRIZE");
  W->Screen()->Screen(Again);
  EXPECT_TRUE(Again.Blocked);
  EXPECT_TRUE(FErrors.empty());
}

TEST_F(MainTest, ContextMenuTellsWhenTheFileCannotBeWritten) {
  // The configuration "folder" is a plain file: nothing can be written under it.
  std::ofstream(FFolder / "config") << "not a folder";
  auto W = MakeWindow();
  W->Form()->OnCall(MakeCallRecord(0, "Fake Modem", "9005550000", "WIN A PRIZE"));
  TModalWatcher& Watcher = *FWatcher;
  const std::unique_ptr<QMenu> Menu(W->CallMenu(W->lvwCallerID->topLevelItem(0)));
  MenuAction(*Menu, BlockNumberCaption)->trigger();
  ASSERT_EQ(1u, Watcher.Seen().size());
  EXPECT_EQ("message", Watcher.Seen()[0].Kind);
  EXPECT_EQ(QMessageBox::Warning, Watcher.Seen()[0].Icon);
  EXPECT_NE(Watcher.Seen()[0].Text.find("blocklist.txt"), std::string::npos)
      << Watcher.Seen()[0].Text;
}

} // namespace

namespace {

// An update of a call is written into the call's row (the number masked, the menu's number
// gone with it); the row of a call with another key is not touched.
TEST_F(MainTest, AnUpdateRewritesTheRowOfItsCall) {
  auto W = MakeWindow();
  TCallRecord First = MakeCallRecord(0, "Fake Modem", "4075551212", "DOE JOHN");
  First.CallKey = 1;
  TCallRecord Other = MakeCallRecord(0, "Fake Modem", "3125550147", "OKAFOR GRACE");
  Other.CallKey = 2;
  W->Form()->OnCall(First);
  W->Form()->OnCall(Other);
  TCallRecord Masked =
      MakeCallRecord(0, "Fake Modem", "Out of Area", "DOE JOHN", abOutOfArea, abNone);
  Masked.CallKey = 1;
  Masked.Update = true;
  W->Form()->OnCall(Masked);
  ASSERT_EQ(2, W->lvwCallerID->topLevelItemCount());
  QTreeWidgetItem* Row = W->lvwCallerID->topLevelItem(0);
  EXPECT_EQ("Out of Area", Row->text(1).toStdString());
  EXPECT_EQ("DOE JOHN", Row->text(2).toStdString());
  EXPECT_TRUE(Row->data(1, Qt::UserRole).toString().isEmpty());
  EXPECT_EQ("3125550147", W->lvwCallerID->topLevelItem(1)->text(1).toStdString());
  // An update whose row is gone is shown as a row of its own rather than lost.
  W->lvwCallerID->clear();
  W->Form()->OnCall(Masked);
  EXPECT_EQ(1, W->lvwCallerID->topLevelItemCount());
  EXPECT_TRUE(FErrors.empty());
}

} // namespace
