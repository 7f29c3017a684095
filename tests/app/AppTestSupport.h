// Shared helpers of the program's tests: one offscreen QApplication, temporary folders, the
// simulated modem as a child process, and waiting with Qt and the core's queue served.
#pragma once

#include "common/OoMisc.h"
#include "platform/Messages.h"
#include "tests/TestSupport.h"

#include <QApplication>
#include <QCoreApplication>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace AppTest {

namespace fs = std::filesystem;

using TestSupport::GenerousMs;
using TestSupport::TTempFolder;

inline QApplication& App() {
  static int Argc = 1;
  static char Name[] = "app_tests";
  static char* Argv[] = {Name, nullptr};
  static QApplication* Instance = [] {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    return new QApplication(Argc, Argv);
  }();
  return *Instance;
}

// Serves Qt and the core's queue until Done() or the bound passes.
inline bool ServeUntil(const std::function<bool()>& Done, int LimitMs = GenerousMs) {
  const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(LimitMs);
  while (!Done()) {
    if (std::chrono::steady_clock::now() > End)
      return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    while (SafeYield()) {
    }
    Platform::WaitMessage(10);
  }
  return true;
}

// Presses a window's Start and serves until the line's set-up, which runs in the background,
// has its outcome (or the bound passes).
template <class TWindow> void PressStart(TWindow& Window) {
  Window.btnStart->click();
  ServeUntil([&] { return !Window.Form()->Starting(); });
}

// fakemodem as a child: commands on its standard input, its device path first on its output.
class TFakeModem {
public:
  ~TFakeModem() { Stop(); }

  // ErrFile: where its account of what the modem did (standard error) goes; "" inherits ours.
  bool Start(const std::vector<std::string>& Args = {"--ring-spacing", "400"},
             const std::string& ErrFile = "") {
    int In[2], Out[2];
    if (::pipe2(In, O_CLOEXEC) != 0 || ::pipe2(Out, O_CLOEXEC) != 0)
      return false;
    const std::string Program = RINGLET_BUILD_DIR "/tools/fakemodem/fakemodem";
    std::vector<char*> Argv{const_cast<char*>(Program.c_str())};
    for (const std::string& Arg : Args)
      Argv.push_back(const_cast<char*>(Arg.c_str()));
    Argv.push_back(nullptr);
    FPid = ::fork();
    if (FPid == 0) {
      ::dup2(In[0], 0);
      ::dup2(Out[1], 1);
      if (!ErrFile.empty()) {
        const int Err = ::open(ErrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (Err < 0)
          ::_exit(126);
        ::dup2(Err, 2);
      }
      ::execv(Program.c_str(), Argv.data());
      ::_exit(127);
    }
    ::close(In[0]);
    ::close(Out[1]);
    FIn = In[1];
    FOut = Out[0];
    if (FPid <= 0)
      return false;
    std::string Line;
    const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(GenerousMs);
    while (std::chrono::steady_clock::now() < End) {
      pollfd Poll{FOut, POLLIN, 0};
      if (::poll(&Poll, 1, 100) <= 0)
        continue;
      char C;
      if (::read(FOut, &C, 1) != 1)
        break;
      if (C == '\n') {
        FDevice = Line;
        return true;
      }
      Line += C;
    }
    return false;
  }

  const std::string& Device() const { return FDevice; }

  bool Send(const std::string& Command) {
    const std::string Line = Command + "\n";
    return ::write(FIn, Line.data(), Line.size()) == static_cast<ssize_t>(Line.size());
  }

  void Stop() {
    if (FIn >= 0)
      ::close(FIn);
    FIn = -1;
    if (FPid > 0) {
      ::kill(FPid, SIGTERM);
      ::waitpid(FPid, nullptr, 0);
    }
    FPid = -1;
    if (FOut >= 0)
      ::close(FOut);
    FOut = -1;
  }

private:
  pid_t FPid = -1;
  int FIn = -1;
  int FOut = -1;
  std::string FDevice;
};

// Whether Text is "dd/mm/yyyy  hh:mm:ss" (checked by hand: <regex> trips GCC 12's
// uninitialised-use warning under the sanitizers).
inline bool IsListDateTime(const std::string& Text) {
  const std::string Form = "00/00/0000  00:00:00";
  if (Text.size() != Form.size())
    return false;
  for (size_t I = 0; I < Form.size(); ++I) {
    const bool Digit = Text[I] >= '0' && Text[I] <= '9';
    if (Form[I] == '0' ? !Digit : Text[I] != Form[I])
      return false;
  }
  return true;
}

// Splits a console call line "dd/mm/yyyy  hh:mm:ss<TAB>number<TAB>name".
inline bool ParseCallLine(const std::string& Line, std::string& Number, std::string& Name) {
  const size_t First = Line.find('\t');
  const size_t Second = First == std::string::npos ? First : Line.find('\t', First + 1);
  if (Second == std::string::npos || Line.find('\t', Second + 1) != std::string::npos ||
      !IsListDateTime(Line.substr(0, First)))
    return false;
  Number = Line.substr(First + 1, Second - First - 1);
  Name = Line.substr(Second + 1);
  return true;
}

// A telephony configuration with one line per (name, device), fast timings for tests.
inline void WriteTelephonyConfig(const std::string& File,
                                 const std::vector<std::pair<std::string, std::string>>& Lines) {
  std::ofstream Config(File);
  int Index = 0;
  for (const auto& [Name, Device] : Lines)
    Config << "[Line" << ++Index << "]\nName=" << Name << "\nDevice=" << Device
           << "\nRingTimeout=3\nCheckInterval=0\nCallerIdPause=0.3\n";
}

} // namespace AppTest
