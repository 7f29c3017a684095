// The ringlet program as a child process: its arguments, its output and error collected, a
// signal to stop it, and its exit status - every wait bounded.
#pragma once

#include "AppTestSupport.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

namespace AppTest {

class TProgram {
public:
  ~TProgram() { Kill(); }

  // WorkDir: the folder the program runs in; "" keeps ours.
  bool Start(const std::string& Program, const std::vector<std::string>& Args,
             const std::string& WorkDir = "") {
    int Out[2], Err[2];
    if (::pipe2(Out, O_CLOEXEC) != 0 || ::pipe2(Err, O_CLOEXEC) != 0)
      return false;
    std::vector<char*> Argv{const_cast<char*>(Program.c_str())};
    for (const std::string& Arg : Args)
      Argv.push_back(const_cast<char*>(Arg.c_str()));
    Argv.push_back(nullptr);
    FPid = ::fork();
    if (FPid == 0) {
      ::dup2(Out[1], 1);
      ::dup2(Err[1], 2);
      if (!WorkDir.empty() && ::chdir(WorkDir.c_str()) != 0)
        ::_exit(126);
      ::execv(Program.c_str(), Argv.data());
      ::_exit(127);
    }
    ::close(Out[1]);
    ::close(Err[1]);
    FOut = Out[0];
    FErr = Err[0];
    return FPid > 0;
  }

  void Read(int LimitMs) {
    pollfd Polls[2] = {{FOut, POLLIN, 0}, {FErr, POLLIN, 0}};
    if (::poll(Polls, 2, LimitMs) <= 0)
      return;
    char Buffer[4096];
    for (int I = 0; I < 2; ++I) {
      if ((Polls[I].revents & (POLLIN | POLLHUP)) == 0)
        continue;
      const ssize_t N = ::read(Polls[I].fd, Buffer, sizeof Buffer);
      if (N > 0)
        (I == 0 ? FStdout : FStderr).append(Buffer, static_cast<size_t>(N));
    }
  }

  bool WaitForOutputLines(size_t Count) {
    const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(GenerousMs);
    while (std::chrono::steady_clock::now() < End) {
      if (static_cast<size_t>(std::count(FStdout.begin(), FStdout.end(), '\n')) >= Count)
        return true;
      Read(100);
    }
    return false;
  }

  // Waits until standard error holds Text; false when LimitMs passed first.
  bool WaitForError(const std::string& Text, int LimitMs) {
    const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(LimitMs);
    while (FStderr.find(Text) == std::string::npos) {
      if (std::chrono::steady_clock::now() >= End)
        return false;
      Read(50);
    }
    return true;
  }

  // Keeps reading for Ms, whatever comes.
  void ReadFor(int Ms) {
    const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(Ms);
    while (std::chrono::steady_clock::now() < End)
      Read(50);
  }

  // The user and system time the program used so far, from /proc.
  double CpuSeconds() const {
    std::ifstream In("/proc/" + std::to_string(FPid) + "/stat");
    std::string Text;
    std::getline(In, Text);
    // The fields after the command name, which may hold blanks, in parentheses.
    std::istringstream Fields(Text.substr(Text.rfind(')') + 2));
    std::string Field;
    unsigned long long Ticks = 0;
    for (int I = 3; I <= 15 && Fields >> Field; ++I)
      if (I >= 14)
        Ticks += std::stoull(Field);
    return static_cast<double>(Ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }

  // The exit status; -1 when it did not end in time or ended by a signal.
  int Wait() {
    const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(GenerousMs);
    while (std::chrono::steady_clock::now() < End) {
      int Status = 0;
      if (::waitpid(FPid, &Status, WNOHANG) == FPid) {
        FPid = -1;
        for (int I = 0; I < 5; ++I)
          Read(20);
        return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
      }
      Read(50);
    }
    return -1;
  }

  // Whether the program has ended, and then its exit status (-1 for a signal); never waits.
  bool Ended(int& Status) {
    int Raw = 0;
    if (FPid <= 0 || ::waitpid(FPid, &Raw, WNOHANG) != FPid)
      return false;
    FPid = -1;
    for (int I = 0; I < 5; ++I)
      Read(0);
    Status = WIFEXITED(Raw) ? WEXITSTATUS(Raw) : -1;
    return true;
  }

  // Closes the reading end of the program's standard output, as "| head -n1" does once it has
  // its line: the program's next write fails.
  void CloseStdout() {
    if (FOut >= 0)
      ::close(FOut);
    FOut = -1;
  }

  void Signal(int Number) { ::kill(FPid, Number); }
  void Kill() {
    if (FPid > 0) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
      FPid = -1;
    }
    for (int* Fd : {&FOut, &FErr}) {
      if (*Fd >= 0)
        ::close(*Fd);
      *Fd = -1;
    }
  }

  std::vector<std::string> Lines() const {
    std::vector<std::string> Result;
    std::istringstream In(FStdout);
    for (std::string Line; std::getline(In, Line);)
      Result.push_back(Line);
    return Result;
  }
  const std::string& Stdout() const { return FStdout; }
  const std::string& Stderr() const { return FStderr; }

private:
  pid_t FPid = -1;
  int FOut = -1;
  int FErr = -1;
  std::string FStdout;
  std::string FStderr;
};

// Runs the program to its end; its status, output and error.
struct TRun {
  int Status = -1;
  std::string Out, Err;
};

inline TRun RunToEnd(const std::string& Program, const std::vector<std::string>& Args) {
  TProgram Child;
  TRun Run;
  if (!Child.Start(Program, Args))
    return Run;
  Run.Status = Child.Wait();
  Run.Out = Child.Stdout();
  Run.Err = Child.Stderr();
  return Run;
}

} // namespace AppTest
