// The main window with a call history, offscreen: the latest stored calls when it opens, muted
// and above a separator, the calls of this run below them; a history that cannot be used is
// told in the window and the call is listed all the same.
#include "app/CallHistory.h"
#include "app/Main.h"

#include "AppTestSupport.h"
#include "tapi/AdTUtil.h"

#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>

#include <gtest/gtest.h>

namespace {

using namespace AppTest;

class MainHistoryTest : public ::testing::Test {
protected:
  void SetUp() override {
    App();
    ::setenv("RINGLET_TELEPHONY_CONFIG", (FFolder / "telephony.ini").c_str(), 1);
    ::setenv("RINGLET_REGISTRY_FILE", (FFolder / "registry").c_str(), 1);
    ::setenv("RINGLET_LIBRARY_PATH", RINGLET_BUILD_DIR "/telephony", 1);
    UnloadTapi();
    FPrevious = SetApplicationExceptionHandler(
        [this](const std::exception& E) { FErrors.push_back(E.what()); });
    THistoryOptions Options;
    Options.File = FFile;
    SetProgramHistory(Options);
  }
  void TearDown() override {
    ClearProgramHistory();
    SetApplicationExceptionHandler(FPrevious);
    UnloadTapi();
  }

  std::unique_ptr<TfrmMain> MakeWindow() {
    auto Window = std::make_unique<TfrmMain>();
    Window->IniSettings()->SetPath(FFolder / "ringlet.ini");
    Window->FormCreate();
    Window->show();
    return Window;
  }

  // The line, before the window loads the telephony service.
  void OneModem(TFakeModem& Modem) {
    ASSERT_TRUE(Modem.Start());
    WriteTelephonyConfig(FFolder / "telephony.ini", {{"Fake Modem", Modem.Device()}});
  }

  // Starts monitoring the modem's line and plays one call; waits for Rows rows.
  void PlayCall(TfrmMain& W, TFakeModem& Modem, int Rows) {
    W.edtTAPIDevice->setText("Fake Modem");
    PressStart(W);
    ASSERT_TRUE(W.Phone()->LineOpen());
    Modem.Send("call 5551234 \"JOHN DOE\" rings=2");
    ASSERT_TRUE(ServeUntil([&] { return W.lvwCallerID->topLevelItemCount() >= Rows; }));
  }

  TTempFolder FFolder{"mainhistory"};
  const std::string FFile = FFolder / "calls.sqlite";
  std::vector<std::string> FErrors;
  TApplicationExceptionHandler FPrevious;
};

TEST_F(MainHistoryTest, TheLatest200CallsAreShownMutedAboveTheCallsOfThisRun) {
  {
    THistoryWriter Writer(FFile, nullptr);
    for (int I = 1; I <= 205; ++I)
      Writer.Deliver(MakeCallRecord(1764999900 + 60 * I, "Old Line", std::to_string(1000 + I),
                                    "EARLIER " + std::to_string(I)));
    ASSERT_TRUE(Writer.WaitIdle(GenerousMs));
  }
  TFakeModem Modem;
  OneModem(Modem);
  // Created, then opened again on the test's settings file: the earlier rows are not doubled.
  auto W = MakeWindow();
  QTreeWidget* List = W->lvwCallerID;
  ASSERT_EQ(201, List->topLevelItemCount());
  EXPECT_EQ("1006", List->topLevelItem(0)->text(1).toStdString()) << "the latest 200";
  EXPECT_EQ("EARLIER 205", List->topLevelItem(199)->text(2).toStdString());
  EXPECT_EQ(CallTimeText(1764999900 + 60 * 205), List->topLevelItem(199)->text(0).toStdString());
  const QColor Muted = List->topLevelItem(0)->foreground(1).color();
  const QColor Normal = List->palette().color(QPalette::Text);
  EXPECT_NE(Normal, Muted);
  QTreeWidgetItem* Separator = List->topLevelItem(200);
  EXPECT_FALSE(Separator->flags() & Qt::ItemIsSelectable);
  EXPECT_TRUE(Separator->isFirstColumnSpanned());
  EXPECT_NE(std::string::npos, Separator->text(0).toStdString().find("earlier calls above"));

  PlayCall(*W, Modem, 202);
  QTreeWidgetItem* New = List->topLevelItem(201);
  EXPECT_EQ("5551234", New->text(1).toStdString());
  EXPECT_EQ("JOHN DOE", New->text(2).toStdString());
  EXPECT_NE(Muted, New->foreground(1).color()) << "this run's call is not muted";
  EXPECT_TRUE(ServeUntil([&] { return W->Form()->Monitoring(); }));
  W.reset();
  const std::vector<TCallRecord> Stored = THistoryReader(FFile).Read({});
  ASSERT_EQ(206u, Stored.size());
  EXPECT_EQ("5551234", Stored.back().Number);
  EXPECT_EQ("Fake Modem", Stored.back().Line);
  EXPECT_TRUE(FErrors.empty());
}

TEST_F(MainHistoryTest, AFileThatIsNotADatabaseIsToldAndTheCallStillListed) {
  std::ofstream(FFile) << "definitely not a database";
  TFakeModem Modem;
  OneModem(Modem);
  auto W = MakeWindow();
  QMessageBox* Told = nullptr;
  ASSERT_TRUE(ServeUntil([&] {
    Told = W->findChild<QMessageBox*>("HistoryMessage");
    return Told != nullptr && Told->isVisible();
  }));
  EXPECT_NE(std::string::npos, Told->text().toStdString().find("is not a database"))
      << Told->text().toStdString();
  EXPECT_EQ(0, W->lvwCallerID->topLevelItemCount());
  PlayCall(*W, Modem, 1);
  EXPECT_EQ("JOHN DOE", W->lvwCallerID->topLevelItem(0)->text(2).toStdString());
  EXPECT_TRUE(FErrors.empty());
}

TEST_F(MainHistoryTest, WithoutAHistoryChoiceTheWindowWritesNothing) {
  ClearProgramHistory();
  TFakeModem Modem;
  OneModem(Modem);
  auto W = MakeWindow();
  PlayCall(*W, Modem, 1);
  W.reset();
  EXPECT_FALSE(fs::exists(FFile));
}

} // namespace
