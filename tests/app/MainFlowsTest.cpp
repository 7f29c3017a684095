// The main window, offscreen, against fakemodem playing each modem profile: every flow of
// ProfileFlows.h, one cell a test, through the real line device and telephony service. The
// cell's folder is the working folder meanwhile, as the program's is, so the dispatch log of
// an answered call is the cell's own.
#include "app/Main.h"

#include "AppTestSupport.h"
#include "ModalWatcher.h"
#include "ProfileFlows.h"
#include "tapi/AdTUtil.h"

#include <QMessageBox>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

using namespace AppTest;

class TWindowFront : public TFlowFront {
public:
  TWindowFront(TfrmMain& Window, const std::vector<std::string>& Errors)
      : FWindow(Window), FErrors(Errors) {}

  void Serve(int Ms) override {
    ServeUntil([] { return false; }, Ms);
  }
  size_t RowCount() override {
    return static_cast<size_t>(FWindow.lvwCallerID->topLevelItemCount());
  }
  std::pair<std::string, std::string> Row(size_t Index) override {
    const QTreeWidgetItem* Item = FWindow.lvwCallerID->topLevelItem(static_cast<int>(Index));
    return {Item->text(1).toStdString(), Item->text(2).toStdString()};
  }
  bool Lost() override { return FWindow.Form()->LineLost(); }
  bool Back() override { return !FWindow.Form()->LineLost() && FWindow.Phone()->LineOpen(); }
  std::string Said() override {
    std::string Text = "errors:\n";
    for (const std::string& Error : FErrors)
      Text += Error + "\n";
    for (const QMessageBox* Box : FWindow.findChildren<QMessageBox*>())
      Text += "message: " + Box->text().toStdString() + "\n";
    return Text;
  }

private:
  TfrmMain& FWindow;
  const std::vector<std::string>& FErrors;
};

class MainFlowsTest : public ::testing::TestWithParam<TFlowCell> {
protected:
  void SetUp() override {
    App();
    char Here[4096];
    ASSERT_NE(::getcwd(Here, sizeof Here), nullptr);
    FWorkDir = Here;
    ASSERT_EQ(::chdir(FFolder.Path().c_str()), 0);
    FPrevious = SetApplicationExceptionHandler(
        [this](const std::exception& E) { FErrors.push_back(E.what()); });
    FWatcher = std::make_unique<TModalWatcher>();
  }
  void TearDown() override {
    FWatcher.reset();
    SetApplicationExceptionHandler(FPrevious);
    UnloadTapi();
    EXPECT_EQ(::chdir(FWorkDir.c_str()), 0);
  }

  TTempFolder FFolder{"flows"};
  std::string FWorkDir;
  std::vector<std::string> FErrors;
  TApplicationExceptionHandler FPrevious;
  std::unique_ptr<TModalWatcher> FWatcher;
};

TEST_P(MainFlowsTest, TheCallAfterTheFlowIsPrinted) {
  TFlowRun Run(GetParam(), FFolder);
  ASSERT_NO_FATAL_FAILURE(Run.Prepare());
  UnloadTapi(); // the library starts afresh, with this cell's line and trace
  TfrmMain Window;
  Window.IniSettings()->SetPath(FFolder / "ringlet.ini");
  Window.FormCreate();
  Window.show();
  Window.edtTAPIDevice->setText("Fake Modem");
  PressStart(Window);
  ASSERT_TRUE(Window.Phone()->LineOpen()) << (FErrors.empty() ? "" : FErrors.front());
  TWindowFront Front(Window, FErrors);
  Run.Play(Front);
  EXPECT_TRUE(FWatcher->Seen().empty()) << "a dialog came up: " << FWatcher->Seen()[0].Text;
  Window.close();
  EXPECT_FALSE(Window.Phone()->LineOpen());
}

INSTANTIATE_TEST_SUITE_P(ByProfile, MainFlowsTest, ::testing::ValuesIn(FlowCells()), FlowCellName);

} // namespace
