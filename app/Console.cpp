// The console front end.
#include "app/Console.h"

#include "app/CallHistory.h"
#include "app/Monitor.h"
#include "common/OoMisc.h"
#include "platform/Messages.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <exception>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace {

int SignalPipe[2] = {-1, -1};
volatile std::sig_atomic_t StopRequested = 0;

void OnStopSignal(int) {
  StopRequested = 1;
  const char Byte = 1;
  // Wakes the loop; a full pipe already has a wake-up waiting.
  [[maybe_unused]] const ssize_t Ignored = ::write(SignalPipe[1], &Byte, 1);
}

// Installs the stop handlers for the run and puts the old ones back afterwards.
class TStopSignals {
public:
  TStopSignals() {
    StopRequested = 0;
    if (::pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
      SignalPipe[0] = SignalPipe[1] = -1;
    struct sigaction Action {};
    Action.sa_handler = OnStopSignal;
    sigemptyset(&Action.sa_mask);
    ::sigaction(SIGINT, &Action, &FOldInt);
    ::sigaction(SIGTERM, &Action, &FOldTerm);
  }
  ~TStopSignals() {
    ::sigaction(SIGINT, &FOldInt, nullptr);
    ::sigaction(SIGTERM, &FOldTerm, nullptr);
    for (int& End : SignalPipe) {
      if (End >= 0)
        ::close(End);
      End = -1;
    }
  }
  TStopSignals(const TStopSignals&) = delete;
  TStopSignals& operator=(const TStopSignals&) = delete;

private:
  struct sigaction FOldInt {};
  struct sigaction FOldTerm {};
};

void PrintError(const std::string& Text) {
  std::fprintf(stderr, "ringlet: %s\n", Text.c_str());
  std::fflush(stderr);
}

void PrintLines(const std::vector<std::string>& Lines, FILE* To) {
  for (const std::string& Line : Lines)
    std::fprintf(To, "%s\n", Line.c_str());
  std::fflush(To);
}

bool Listed(const std::vector<std::string>& Lines, const std::string& Name) {
  return std::find(Lines.begin(), Lines.end(), Name) != Lines.end();
}

} // namespace

int ListDevices() {
  TApplicationExceptionHandler Previous =
      SetApplicationExceptionHandler([](const std::exception& E) { PrintError(E.what()); });
  {
    TCallMonitor Form;
    PrintLines(Form.Phone()->DeviceList(), stdout);
  }
  SetApplicationExceptionHandler(Previous);
  return ConsoleOk;
}

int RunConsole(const TConsoleOptions& Options) {
  TApplicationExceptionHandler Previous =
      SetApplicationExceptionHandler([](const std::exception& E) { PrintError(E.what()); });
  TStopSignals Signals;
  int Result = ConsoleOk;
  try {
    TCallMonitor Form;
    Form.OnCall = [](const TCallRecord& Call) {
      std::fprintf(stdout, "%s\t%s\t%s\n", Call.Time.c_str(), Call.ID.c_str(), Call.IDName.c_str());
      std::fflush(stdout);
    };
    Form.OnLineLost = [](const std::string& Why) {
      PrintError("the line was lost (" + Why + "); monitoring resumes when it is back");
    };
    Form.OnLineBack = [] { PrintError("the line is back; monitoring again"); };

    const std::vector<std::string>& Lines = Form.Phone()->DeviceList();
    std::string Device = Options.Device;
    if (!Device.empty() && !Listed(Lines, Device)) {
      PrintError("there is no line named \"" + Device + "\"; the lines are:");
      PrintLines(Lines, stderr);
      return ConsoleNoChoice;
    }
    if (Device.empty()) {
      const std::string Remembered = Form.LoadSettings();
      if (!Remembered.empty() && Listed(Lines, Remembered))
        Device = Remembered;
      else if (Lines.size() == 1)
        Device = Lines.front();
    }
    if (Device.empty()) {
      if (Lines.empty()) {
        PrintError("no telephony line is configured");
        return ConsoleFailed;
      }
      PrintError("several lines; choose one with --device NAME:");
      PrintLines(Lines, stdout);
      return ConsoleNoChoice;
    }
    Form.Phone()->SetSelectedDevice(Device);
    const TMonitorHistory History(Form, [](const std::string& Text) { PrintError(Text); });
    Form.Start();

    const int Queue = Platform::QueueWakeDescriptor();
    while (StopRequested == 0) {
      pollfd Polls[2] = {{Queue, POLLIN, 0}, {SignalPipe[0], POLLIN, 0}};
      const int Ready = ::poll(Polls, 2, 250);
      if (Ready < 0 && errno != EINTR)
        throw std::runtime_error("poll failed");
      while (StopRequested == 0 && SafeYield()) {
      }
      Form.Poll();
    }
    Form.Stop();
    Form.SaveSettings(Form.Phone()->SelectedDevice());
  } catch (const std::exception& E) {
    PrintError(E.what());
    Result = ConsoleFailed;
  }
  SetApplicationExceptionHandler(Previous);
  return Result;
}
