// The simulated modem of the demo mode.
#include "app/Demo.h"

#include "app/Monitor.h"
#include "app/RzRegIniFile.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

std::string FakeModemProgram() {
  if (const char* Given = std::getenv("RINGLET_FAKEMODEM"); Given != nullptr && *Given != '\0')
    return Given;
  const fs::path Folder = fs::path(ProgramFileName()).parent_path();
  for (const fs::path& Candidate :
       {Folder / "fakemodem", Folder / ".." / "tools" / "fakemodem" / "fakemodem"}) {
    std::error_code Ignored;
    if (fs::is_regular_file(Candidate, Ignored) && ::access(Candidate.c_str(), X_OK) == 0)
      return Candidate.lexically_normal().string();
  }
  return "fakemodem";
}

namespace {

// ": <the file's last line>", or "" when it has none.
std::string LastLineOf(const std::string& Path) {
  std::ifstream File(Path);
  std::string Line, Last;
  while (std::getline(File, Line))
    if (!Line.empty())
      Last = Line;
  return Last.empty() ? "" : ": " + Last;
}

} // namespace

TDemoModem::~TDemoModem() {
  Stop();
}

bool TDemoModem::Start(const std::string& Program) {
  char Template[] = "/tmp/ringlet-demo-XXXXXX";
  if (::mkdtemp(Template) == nullptr) {
    FError = std::string("cannot make a temporary folder: ") + std::strerror(errno);
    return false;
  }
  FFolder = Template;
  int In[2], Out[2];
  if (::pipe2(In, O_CLOEXEC) != 0 || ::pipe2(Out, O_CLOEXEC) != 0) {
    FError = std::string("cannot make pipes: ") + std::strerror(errno);
    return false;
  }
  // The modem tells every command it plays; that account goes to a file in the demo's folder
  // instead of the user's terminal, and its last line explains a modem that did not start.
  const std::string LogPath = FFolder + "/fakemodem.log";
  const int Log = ::open(LogPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  FPid = ::fork();
  if (FPid == 0) {
    // The modem must not outlive a program that was killed before it could stop it.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    ::dup2(In[0], 0);
    ::dup2(Out[1], 1);
    if (Log >= 0)
      ::dup2(Log, 2);
    ::execlp(Program.c_str(), Program.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  if (Log >= 0)
    ::close(Log);
  ::close(In[0]);
  ::close(Out[1]);
  FInput = In[1];
  if (FPid < 0) {
    ::close(Out[0]);
    FError = std::string("cannot start the simulated modem: ") + std::strerror(errno);
    return false;
  }
  // Its first line is the device path; a generous bound covers a busy machine.
  const auto End = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  std::string Line;
  bool Complete = false;
  while (!Complete && std::chrono::steady_clock::now() < End) {
    pollfd Poll{Out[0], POLLIN, 0};
    if (::poll(&Poll, 1, 100) <= 0)
      continue;
    char C;
    if (::read(Out[0], &C, 1) != 1)
      break;
    if (C == '\n')
      Complete = true;
    else
      Line += C;
  }
  ::close(Out[0]);
  if (!Complete || Line.empty()) {
    FError = "the simulated modem (" + Program + ") did not start" + LastLineOf(LogPath);
    Stop();
    return false;
  }
  FDevicePath = Line;
  FConfigPath = FFolder + "/telephony.ini";
  {
    std::ofstream Config(FConfigPath);
    Config << "[Line1]\nName=" << DemoLineName << "\nDevice=" << FDevicePath << "\n";
    if (!Config) {
      FError = "cannot write " + FConfigPath;
      Stop();
      return false;
    }
  }
  ::setenv("RINGLET_TELEPHONY_CONFIG", FConfigPath.c_str(), 1);
  FSettingsPath = FFolder + "/ringlet.ini";
  FOuterSettingsPath = SettingsFileName();
  SetSettingsFileName(FSettingsPath);
  const std::string Demo = "demo\n";
  if (::write(FInput, Demo.data(), Demo.size()) != static_cast<ssize_t>(Demo.size())) {
    FError = "cannot start the demo calls";
    Stop();
    return false;
  }
  return true;
}

void TDemoModem::Stop() {
  if (FInput >= 0)
    ::close(FInput);
  FInput = -1;
  if (FPid > 0) {
    ::kill(FPid, SIGTERM);
    ::waitpid(FPid, nullptr, 0);
  }
  FPid = -1;
  if (!FSettingsPath.empty()) {
    SetSettingsFileName(FOuterSettingsPath);
    FSettingsPath.clear();
  }
  if (!FFolder.empty()) {
    std::error_code Ignored;
    fs::remove_all(FFolder, Ignored);
    FFolder.clear();
  }
}
