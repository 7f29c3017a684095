// The program's one log sink: what reaches it, replacing it, and reports from many threads.
#include "platform/Log.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

using Platform::Log;
using Platform::SetLogSink;

TEST(LogTest, MessagesReachTheSinkInstalledAndNoneWithoutOne) {
  const Platform::TLogSink Before = SetLogSink(nullptr);
  Log("nobody hears this");
  std::vector<std::string> Seen;
  EXPECT_FALSE(SetLogSink([&Seen](const std::string& Text) { Seen.push_back(Text); }));
  Log("Line1: not registered");
  Log("");
  // Replacing the sink hands back the one in place.
  const Platform::TLogSink Mine = SetLogSink(Before);
  ASSERT_TRUE(Mine);
  Log("after");
  EXPECT_EQ(Seen, (std::vector<std::string>{"Line1: not registered", ""}));
}

TEST(LogTest, ManyThreadsReportAtOnceAndASinkMayReportItself) {
  TestSupport::TLogCapture Capture;
  const Platform::TLogSink Collect = SetLogSink(nullptr);
  // A sink that reports again through the log: no lock of the log is held while it runs.
  SetLogSink([&Collect](const std::string& Text) {
    Collect(Text);
    if (Text == "ping")
      Log("pong");
  });
  std::vector<std::thread> Threads;
  for (int T = 0; T < 4; ++T)
    Threads.emplace_back([] {
      for (int I = 0; I < 200; ++I)
        Log("from a worker");
    });
  Log("ping");
  for (std::thread& Thread : Threads)
    Thread.join();
  SetLogSink(Collect);

  const std::string Text = Capture.Text();
  size_t Workers = 0;
  for (size_t At = Text.find("from a worker\n"); At != std::string::npos;
       At = Text.find("from a worker\n", At + 1))
    ++Workers;
  EXPECT_EQ(Workers, 800u);
  // The workers' lines may come between the two: the sink runs outside the log's lock.
  const size_t Ping = Text.find("ping\n");
  ASSERT_NE(Ping, std::string::npos) << Text;
  EXPECT_NE(Text.find("pong\n", Ping), std::string::npos) << Text;
}

} // namespace
