// The advice for a modem the user may not open: the decision from its facts (a table), and the
// facts gathered from real files by a child process that runs as an unprivileged user.
#include "platform/DeviceAccess.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace Platform;
namespace fs = std::filesystem;

const std::string JoinDialout = "Add yourself with \"sudo usermod -aG dialout $USER\", then "
                                "log out and in again.";

struct TAdviceCase {
  const char* Why;
  TDeviceAccessFacts Facts;
  std::string Expected;
};

TEST(DeviceAccessTest, AdviceFromTheFacts) {
  const TAdviceCase Cases[] = {
      {"refused, not in the device's group",
       {"/dev/ttyACM0", EACCES, 20, "dialout", {1000, 24, 27}},
       "You may not use the modem /dev/ttyACM0: it belongs to the group \"dialout\" and you "
       "are not in that group. " +
           JoinDialout},
      {"EPERM counts as a refusal",
       {"/dev/ttyUSB1", EPERM, 20, "dialout", {1000}},
       "You may not use the modem /dev/ttyUSB1: it belongs to the group \"dialout\" and you "
       "are not in that group. " +
           JoinDialout},
      {"a group without a name is given by number",
       {"/dev/ttyS0", EACCES, 987, "", {1000}},
       "You may not use the modem /dev/ttyS0: it belongs to the group \"987\" and you are not "
       "in that group. Add yourself with \"sudo usermod -aG 987 $USER\", then log out and in "
       "again."},
      {"in the group as a supplementary group",
       {"/dev/ttyACM0", EACCES, 20, "dialout", {1000, 20}},
       ""},
      {"in the group as the effective group", {"/dev/ttyACM0", EACCES, 20, "dialout", {20}}, ""},
      {"a root-only device", {"/dev/ttyACM0", EACCES, 0, "root", {1000}}, ""},
      {"no such device", {"/dev/ttyACM9", ENOENT, 20, "dialout", {1000}}, ""},
      {"busy is not a matter of groups", {"/dev/ttyACM0", EBUSY, 20, "dialout", {1000}}, ""},
      {"allowed", {"/dev/ttyACM0", 0, 20, "dialout", {1000}}, ""},
  };
  for (const TAdviceCase& Case : Cases)
    EXPECT_EQ(Case.Expected, DeviceAccessAdvice(Case.Facts)) << Case.Why;
}

// Runs DeviceAccessProblem(Path) in a child that is user and group 65534 with the given
// supplementary groups, and returns what it said ("<failed>" when the child could not run).
std::string ProblemAsNobody(const std::string& Path, const std::vector<gid_t>& Groups) {
  int Pipe[2];
  if (::pipe(Pipe) != 0)
    return "<failed>";
  const pid_t Pid = ::fork();
  if (Pid == 0) {
    ::close(Pipe[0]);
    if (::setgroups(Groups.size(), Groups.data()) != 0 || ::setgid(65534) != 0 ||
        ::setuid(65534) != 0)
      ::_exit(1);
    const std::string Text = DeviceAccessProblem(Path);
    const bool Written =
        ::write(Pipe[1], Text.data(), Text.size()) == static_cast<ssize_t>(Text.size());
    ::_exit(Written ? 0 : 1);
  }
  ::close(Pipe[1]);
  std::string Text;
  char Buffer[512];
  for (ssize_t N; (N = ::read(Pipe[0], Buffer, sizeof Buffer)) > 0;)
    Text.append(Buffer, static_cast<size_t>(N));
  ::close(Pipe[0]);
  int Status = 0;
  if (Pid < 0 || ::waitpid(Pid, &Status, 0) != Pid || !WIFEXITED(Status) ||
      WEXITSTATUS(Status) != 0)
    return "<failed>";
  return Text;
}

class DeviceAccessFilesTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (::geteuid() != 0)
      GTEST_SKIP() << "needs root to take the part of an unprivileged user";
    FFolder = fs::temp_directory_path() / ("ringlet-access-" + std::to_string(::getpid()));
    fs::create_directories(FFolder);
    fs::permissions(FFolder, fs::perms(0755));
    const group* Dialout = ::getgrnam("dialout");
    FGroup = Dialout != nullptr ? Dialout->gr_gid : 20;
    FGroupName = Dialout != nullptr ? "dialout" : "20";
  }
  void TearDown() override {
    std::error_code Ignored;
    if (!FFolder.empty())
      fs::remove_all(FFolder, Ignored);
  }
  std::string Device(const std::string& Name, gid_t Group, mode_t Mode) {
    const std::string Path = (FFolder / Name).string();
    { std::ofstream Touch(Path); }
    EXPECT_EQ(0, ::chown(Path.c_str(), 0, Group));
    EXPECT_EQ(0, ::chmod(Path.c_str(), Mode));
    return Path;
  }

  fs::path FFolder;
  gid_t FGroup = 20;
  std::string FGroupName;
};

TEST_F(DeviceAccessFilesTest, OutsideTheDevicesGroupTheAdviceNamesItAndTheFix) {
  const std::string Path = Device("ttyACM0", FGroup, 0660);
  const std::string Text = ProblemAsNobody(Path, {});
  EXPECT_EQ("You may not use the modem " + Path + ": it belongs to the group \"" + FGroupName +
                "\" and you are not in that group. Add yourself with \"sudo usermod -aG " +
                FGroupName + " $USER\", then log out and in again.",
            Text);
}

TEST_F(DeviceAccessFilesTest, NoAdviceWhenTheDeviceCanBeOpenedOrTheCauseIsAnother) {
  EXPECT_EQ("", ProblemAsNobody(Device("member", FGroup, 0660), {FGroup})) << "in the group";
  EXPECT_EQ("", ProblemAsNobody(Device("open", FGroup, 0666), {})) << "open to everyone";
  EXPECT_EQ("", ProblemAsNobody(Device("readonly", FGroup, 0640), {FGroup}))
      << "the group may not write: joining it would not help";
  EXPECT_EQ("", ProblemAsNobody(Device("rootonly", 0, 0600), {})) << "root's own";
  EXPECT_EQ("", ProblemAsNobody((FFolder / "absent").string(), {})) << "no such device";
  EXPECT_EQ("", DeviceAccessProblem(Device("asroot", FGroup, 0600))) << "root opens anything";
}

} // namespace
