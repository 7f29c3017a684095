// What the end-to-end tests of the line device share: tools/fakemodem as a child process, and
// pumping the calling thread's messages until a condition holds.
#pragma once

#include "common/OoMisc.h"
#include "platform/Messages.h"
#include "tests/TestSupport.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace TapiTest {

using TestSupport::GenerousMs;

// fakemodem as a child: commands go to its standard input, its device path comes first on
// its standard output.
class TFakeModem {
public:
  ~TFakeModem() { Stop(); }

  // Starts it with the given options (for example "--answer-delay", "100").
  bool Start(const std::vector<std::string>& Options) {
    int In[2], Out[2];
    if (pipe2(In, O_CLOEXEC) != 0 || pipe2(Out, O_CLOEXEC) != 0)
      return false;
    const std::string Program = RINGLET_BUILD_DIR "/tools/fakemodem/fakemodem";
    FPid = fork();
    if (FPid == 0) {
      dup2(In[0], 0);
      dup2(Out[1], 1);
      std::vector<char*> Argv{const_cast<char*>(Program.c_str())};
      for (const std::string& Option : Options)
        Argv.push_back(const_cast<char*>(Option.c_str()));
      Argv.push_back(nullptr);
      execv(Program.c_str(), Argv.data());
      _exit(127);
    }
    close(In[0]);
    close(Out[1]);
    FIn = In[1];
    FOut = Out[0];
    return FPid > 0;
  }

  // The first line of its output, within a generous bound.
  std::string FirstLine() {
    std::string Line;
    const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(GenerousMs);
    while (std::chrono::steady_clock::now() < End) {
      pollfd Poll{FOut, POLLIN, 0};
      if (poll(&Poll, 1, 100) <= 0)
        continue;
      char C;
      if (read(FOut, &C, 1) != 1)
        break;
      if (C == '\n')
        return Line;
      Line += C;
    }
    return {};
  }

  bool Send(const std::string& Command) {
    const std::string Line = Command + "\n";
    return write(FIn, Line.data(), Line.size()) == static_cast<ssize_t>(Line.size());
  }

  void Stop() {
    if (FIn >= 0)
      close(FIn);
    FIn = -1;
    if (FPid > 0) {
      kill(FPid, SIGTERM);
      waitpid(FPid, nullptr, 0);
      FPid = -1;
    }
    if (FOut >= 0)
      close(FOut);
    FOut = -1;
  }

private:
  pid_t FPid = -1;
  int FIn = -1;
  int FOut = -1;
};

inline bool PumpUntil(const std::function<bool()>& Done, int LimitMs = GenerousMs) {
  const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(LimitMs);
  while (!Done()) {
    if (std::chrono::steady_clock::now() > End)
      return false;
    if (!SafeYield())
      Platform::WaitMessage(20);
  }
  return true;
}

} // namespace TapiTest
