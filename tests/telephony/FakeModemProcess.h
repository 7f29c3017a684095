// Test support: runs the built fakemodem as a child process and talks to it - the device
// through its pseudo-terminal as a modem user would, the scenario through its standard input,
// its report through standard output and standard error. Every wait has a generous upper
// bound and fails the test when it passes.
#pragma once

#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace TestSupport {

inline const char* FakeModemPath() {
  return RINGLET_BUILD_DIR "/tools/fakemodem/fakemodem";
}

class TChildProcess {
public:
  TChildProcess() = default;
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;
  ~TChildProcess() { Kill(); }

  // Starts program with args and extra NAME=VALUE environment entries (they replace
  // inherited ones);
  // its stdin, stdout and stderr are pipes of ours.
  bool Start(const std::string& program, const std::vector<std::string>& args,
             const std::vector<std::string>& env = {}) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
      return false;
    std::vector<std::string> all = {program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    // The environment is made before fork: the child only execs.
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
      std::string entry = *e;
      bool replaced = false;
      for (const auto& x : env)
        replaced |= entry.compare(0, x.find('=') + 1, x, 0, x.find('=') + 1) == 0;
      if (!replaced)
        envStrings.push_back(entry);
    }
    envStrings.insert(envStrings.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& e : envStrings)
      envp.push_back(e.data());
    envp.push_back(nullptr);
    FPid = fork();
    if (FPid == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(err[1], 2);
      execve(program.c_str(), argv.data(), envp.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    FIn = in[1];
    FOut = out[0];
    FErr = err[0];
    fcntl(FOut, F_SETFL, O_NONBLOCK);
    fcntl(FErr, F_SETFL, O_NONBLOCK);
    return FPid > 0;
  }

  void Send(const std::string& line) {
    std::string s = line + "\n";
    ASSERT_EQ(write(FIn, s.data(), s.size()), static_cast<ssize_t>(s.size()));
  }
  void CloseInput() {
    if (FIn >= 0)
      close(FIn);
    FIn = -1;
  }

  // Waits for a whole stdout line; empty on time-out or end.
  std::string StdoutLine(int timeoutMs = GenerousMs) {
    std::string line;
    WaitFor([&] { return TakeLine(FStdout, line); }, {}, timeoutMs);
    return line;
  }
  // Takes what the process wrote so far, without waiting.
  void Collect() {
    Drain(FOut, FStdout);
    Drain(FErr, FStderr);
  }
  bool StderrHas(const std::string& text) const { return FStderr.find(text) != std::string::npos; }
  bool WaitStderr(const std::string& text, int timeoutMs = GenerousMs) {
    return WaitFor([&] { return StderrHas(text); }, {}, timeoutMs);
  }
  const std::string& Stderr() const { return FStderr; }
  const std::string& Stdout() const { return FStdout; }

  // Polls our pipes and the extra descriptors until done() or the time-out. onReadable is
  // called for each extra descriptor that has input.
  bool WaitFor(const std::function<bool()>& done, const std::vector<int>& extra, int timeoutMs,
               const std::function<void(int)>& onReadable = {}) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      end - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0)
        return false;
      std::vector<pollfd> fds = {{FOut, POLLIN, 0}, {FErr, POLLIN, 0}};
      for (int fd : extra)
        fds.push_back({fd, POLLIN, 0});
      int n = poll(fds.data(), fds.size(), static_cast<int>(std::min<long>(left, 100)));
      if (n < 0 && errno != EINTR)
        return false;
      Drain(FOut, FStdout);
      Drain(FErr, FStderr);
      for (std::size_t i = 2; i < fds.size(); ++i)
        if (fds[i].revents && onReadable)
          onReadable(fds[i].fd);
    }
    return true;
  }

  // Waits for the process to end by itself; its exit status, or -1 on time-out.
  int Wait(int timeoutMs = GenerousMs) {
    int status = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
      Drain(FOut, FStdout);
      Drain(FErr, FStderr);
      pid_t r = waitpid(FPid, &status, WNOHANG);
      if (r == FPid) {
        FPid = -1;
        Drain(FOut, FStdout);
        Drain(FErr, FStderr);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      usleep(10000);
    }
    return -1;
  }

  // SIGTERM, then the exit status (-1 when it had to be killed or was not running).
  int Terminate() {
    if (FPid <= 0)
      return -1;
    kill(FPid, SIGTERM);
    int status = Wait();
    if (status < 0)
      Kill();
    return status;
  }

  void Kill() {
    if (FPid > 0) {
      kill(FPid, SIGKILL);
      waitpid(FPid, nullptr, 0);
      FPid = -1;
    }
    for (int* fd : {&FIn, &FOut, &FErr})
      if (*fd >= 0) {
        close(*fd);
        *fd = -1;
      }
  }

  pid_t Pid() const { return FPid; }

private:
  static void Drain(int fd, std::string& into) {
    char buf[4096];
    ssize_t n;
    while (fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0)
      into.append(buf, static_cast<std::size_t>(n));
  }
  static bool TakeLine(std::string& buffer, std::string& line) {
    std::size_t eol = buffer.find('\n');
    if (eol == std::string::npos)
      return false;
    line = buffer.substr(0, eol);
    buffer.erase(0, eol + 1);
    return true;
  }

  pid_t FPid = -1;
  int FIn = -1, FOut = -1, FErr = -1;
  std::string FStdout, FStderr;
};

// fakemodem with its device opened raw, as a modem user opens it.
class TFakeModem {
public:
  ~TFakeModem() {
    if (FFd >= 0)
      close(FFd);
  }

  bool Start(const std::vector<std::string>& args, bool openDevice = true) {
    if (!FProcess.Start(FakeModemPath(), args))
      return false;
    FPath = FProcess.StdoutLine();
    if (FPath.empty())
      return false;
    return !openDevice || OpenDevice();
  }

  bool OpenDevice() {
    FFd = open(FPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (FFd < 0)
      return false;
    termios t{};
    tcgetattr(FFd, &t);
    cfmakeraw(&t);
    return tcsetattr(FFd, TCSANOW, &t) == 0;
  }

  void Write(const std::string& bytes) {
    ASSERT_EQ(write(FFd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // Reads from the device until done(received) or the time-out; false on time-out.
  bool ReadUntil(const std::function<bool(const std::string&)>& done, int timeoutMs = GenerousMs) {
    return FProcess.WaitFor([&] { return done(FReceived); }, {FFd}, timeoutMs,
                            [&](int fd) {
                              char buf[4096];
                              ssize_t n;
                              while ((n = read(fd, buf, sizeof buf)) > 0)
                                FReceived.append(buf, static_cast<std::size_t>(n));
                              if (n < 0 && errno == EIO)
                                FGone = true;
                            });
  }

  std::string TakeReceived() {
    std::string r;
    r.swap(FReceived);
    return r;
  }

  TChildProcess& Process() { return FProcess; }
  const std::string& Path() const { return FPath; }
  int Fd() const { return FFd; }
  bool Gone() const { return FGone; }

private:
  TChildProcess FProcess;
  std::string FPath;
  int FFd = -1;
  std::string FReceived;
  bool FGone = false;
};

} // namespace TestSupport
