// The program's entry as a user meets it: the real ringlet program run as a child process, for
// --version and --help, and as an unprivileged user whose groups may not open the modem.
#include "AppTestSupport.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>

namespace {

using namespace AppTest;

const char* const Program = RINGLET_BUILD_DIR "/app/ringlet";
constexpr uid_t NobodyId = 65534;

struct TRun {
  int Status = -1; // the exit status; -1 when killed or not ended in time
  std::string Out, Err;
};

// Runs the program to its end with Env added to the environment; as the user and group
// NobodyId (no supplementary groups) when AsNobody. Reading is bounded by GenerousMs.
TRun RunRinglet(const std::vector<std::string>& Args, const std::vector<std::string>& Env = {},
                bool AsNobody = false) {
  TRun Result;
  int Out[2], Err[2];
  if (::pipe2(Out, O_CLOEXEC) != 0 || ::pipe2(Err, O_CLOEXEC) != 0)
    return Result;
  std::vector<char*> Argv{const_cast<char*>(Program)};
  for (const std::string& Arg : Args)
    Argv.push_back(const_cast<char*>(Arg.c_str()));
  Argv.push_back(nullptr);
  const pid_t Pid = ::fork();
  if (Pid == 0) {
    ::dup2(Out[1], 1);
    ::dup2(Err[1], 2);
    for (const std::string& Entry : Env)
      ::putenv(const_cast<char*>(Entry.c_str()));
    if (AsNobody &&
        (::setgroups(0, nullptr) != 0 || ::setgid(NobodyId) != 0 || ::setuid(NobodyId) != 0))
      ::_exit(126);
    ::execv(Program, Argv.data());
    ::_exit(127);
  }
  ::close(Out[1]);
  ::close(Err[1]);
  const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(GenerousMs);
  bool Open[2] = {true, true};
  while ((Open[0] || Open[1]) && std::chrono::steady_clock::now() < End) {
    pollfd Polls[2] = {{Open[0] ? Out[0] : -1, POLLIN, 0}, {Open[1] ? Err[0] : -1, POLLIN, 0}};
    if (::poll(Polls, 2, 100) <= 0)
      continue;
    for (int I = 0; I < 2; ++I) {
      if ((Polls[I].revents & (POLLIN | POLLHUP)) == 0)
        continue;
      char Buffer[4096];
      const ssize_t N = ::read(Polls[I].fd, Buffer, sizeof Buffer);
      if (N > 0)
        (I == 0 ? Result.Out : Result.Err).append(Buffer, static_cast<size_t>(N));
      else
        Open[I] = false;
    }
  }
  ::close(Out[0]);
  ::close(Err[0]);
  if (Open[0] || Open[1])
    ::kill(Pid, SIGKILL);
  int Status = 0;
  if (::waitpid(Pid, &Status, 0) == Pid && WIFEXITED(Status) && !Open[0] && !Open[1])
    Result.Status = WEXITSTATUS(Status);
  return Result;
}

TEST(RingletMainTest, VersionPrintsTheProjectVersionAndExitsZero) {
  const TRun Run = RunRinglet({"--version"});
  EXPECT_EQ(0, Run.Status) << Run.Err;
  EXPECT_EQ(std::string("ringlet ") + RINGLET_VERSION + "\n", Run.Out);
  EXPECT_EQ("", Run.Err);
  EXPECT_NE(std::string::npos, RunRinglet({"--help"}).Out.find("--version"))
      << "the help names the option";
}

// A user outside the modem's group is told so and how to join it, not only "access denied".
// Dropping to an unprivileged user needs root; a root process may open any device.
TEST(RingletMainTest, AModemTheUsersGroupsMayNotOpenSaysHowToJoinTheGroup) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root to run the program as an unprivileged user";
  TTempFolder Folder("dialout");
  fs::permissions(Folder.Path(), fs::perms(0755));
  const group* Dialout = ::getgrnam("dialout");
  const gid_t DeviceGroup = Dialout != nullptr ? Dialout->gr_gid : 20;
  const std::string GroupName = Dialout != nullptr ? "dialout" : "20";
  const std::string Device = Folder / "ttyACM0";
  { std::ofstream Touch(Device); }
  ASSERT_EQ(0, ::chown(Device.c_str(), 0, DeviceGroup));
  ASSERT_EQ(0, ::chmod(Device.c_str(), 0660));
  WriteTelephonyConfig(Folder / "telephony.ini", {{"Kitchen modem", Device}});
  fs::permissions(Folder / "telephony.ini", fs::perms(0644));

  const TRun Run = RunRinglet({"--console"},
                              {"RINGLET_TELEPHONY_CONFIG=" + (Folder / "telephony.ini"),
                               "RINGLET_LIBRARY_PATH=" RINGLET_BUILD_DIR "/telephony",
                               "RINGLET_LOCK_DIR=", "HOME=" + Folder.Path(),
                               "XDG_CONFIG_HOME=" + (Folder / "config")},
                              true);
  EXPECT_EQ(1, Run.Status) << Run.Err;
  EXPECT_EQ("", Run.Out);
  EXPECT_NE(std::string::npos, Run.Err.find("You may not use the modem " + Device)) << Run.Err;
  EXPECT_NE(std::string::npos, Run.Err.find("you are not in that group")) << Run.Err;
  EXPECT_NE(std::string::npos, Run.Err.find("sudo usermod -aG " + GroupName + " $USER")) << Run.Err;
  EXPECT_NE(std::string::npos, Run.Err.find("log out and in again")) << Run.Err;
}

} // namespace
