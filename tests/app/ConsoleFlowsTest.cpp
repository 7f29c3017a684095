// The console front end against fakemodem playing each modem profile: every flow of
// ProfileFlows.h, one cell a test. The program runs from a copy in the cell's folder, in that
// folder, so its settings file and the dispatch log of an answered call are the cell's own.
#include "ProfileFlows.h"
#include "ProgramRun.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace AppTest;

class TConsoleFront : public TFlowFront {
public:
  explicit TConsoleFront(TProgram& Program) : FProgram(Program) {}

  void Serve(int Ms) override { FProgram.Read(Ms); }
  size_t RowCount() override {
    return static_cast<size_t>(
        std::count(FProgram.Stdout().begin(), FProgram.Stdout().end(), '\n'));
  }
  std::pair<std::string, std::string> Row(size_t Index) override {
    std::string Number, Name;
    EXPECT_TRUE(ParseCallLine(FProgram.Lines().at(Index), Number, Name))
        << FProgram.Lines().at(Index);
    return {Number, Name};
  }
  bool Lost() override { return FProgram.Stderr().find("the line was lost") != std::string::npos; }
  bool Back() override { return FProgram.Stderr().find("the line is back") != std::string::npos; }
  std::string Said() override {
    return "standard output:\n" + FProgram.Stdout() + "standard error:\n" + FProgram.Stderr();
  }

private:
  TProgram& FProgram;
};

class ConsoleFlowsTest : public ::testing::TestWithParam<TFlowCell> {};

TEST_P(ConsoleFlowsTest, TheCallAfterTheFlowIsPrinted) {
  TTempFolder Folder("flows");
  const std::string Program = Folder / "ringlet";
  fs::copy_file(RINGLET_BUILD_DIR "/app/ringlet", Program);
  TFlowRun Run(GetParam(), Folder);
  ASSERT_NO_FATAL_FAILURE(Run.Prepare());
  TProgram Ringlet;
  ASSERT_TRUE(Ringlet.Start(Program, {"--console"}, Folder.Path()));
  TConsoleFront Front(Ringlet);
  Run.Play(Front);
  Ringlet.Signal(SIGTERM);
  EXPECT_EQ(0, Ringlet.Wait()) << Ringlet.Stderr();
}

INSTANTIATE_TEST_SUITE_P(ByProfile, ConsoleFlowsTest, ::testing::ValuesIn(FlowCells()),
                         FlowCellName);

} // namespace
