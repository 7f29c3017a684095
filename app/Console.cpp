// The console front end.
#include "app/Console.h"

#include "app/Monitor.h"
#include "app/NetworkOutlets.h"
#include "app/Notifier.h"
#include "app/OutletHub.h"
#include "app/Screening.h"
#include "common/OoMisc.h"
#include "platform/DynLib.h"
#include "platform/Messages.h"
#include "platform/PlainText.h"
#include "tapi/AdTUtil.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <memory>
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

// Installs the stop handlers for the run and puts the old ones back afterwards. SIGPIPE is
// ignored meanwhile: a reader of the rows that goes away ("| head -n1") must not end the
// monitor, whose calls still go to the history and the other outlets.
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
    struct sigaction Ignore {};
    Ignore.sa_handler = SIG_IGN;
    sigemptyset(&Ignore.sa_mask);
    ::sigaction(SIGPIPE, &Ignore, &FOldPipe);
  }
  ~TStopSignals() {
    ::sigaction(SIGINT, &FOldInt, nullptr);
    ::sigaction(SIGTERM, &FOldTerm, nullptr);
    ::sigaction(SIGPIPE, &FOldPipe, nullptr);
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
  struct sigaction FOldPipe {};
};

// Whether the rows can no longer be printed (standard output closed or its reader gone).
bool OutputGone = false;

void LoseOutput(const char* Why) {
  if (OutputGone)
    return;
  OutputGone = true;
  std::fprintf(stderr,
               "ringlet: standard output %s; the calls are no longer printed, but still "
               "recorded, screened and handed on\n",
               Why);
  std::fflush(stderr);
}

// A standard descriptor that is closed gets /dev/null, so that no file or socket the program
// opens later takes its number (and a row printed there would land in it).
void GuardStandardDescriptors() {
  OutputGone = false;
  for (const int Descriptor : {0, 2, 1}) {
    if (::fcntl(Descriptor, F_GETFD) >= 0)
      continue;
    const int Null = ::open("/dev/null", Descriptor == 0 ? O_RDONLY : O_WRONLY);
    if (Null >= 0 && Null != Descriptor) {
      ::dup2(Null, Descriptor);
      ::close(Null);
    }
    if (Descriptor == 1)
      LoseOutput("is closed");
  }
}

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

namespace {

// Why there is no line to watch: a library that cannot be loaded is not a missing line.
std::string NoLineText() {
  if (TapiLoaded())
    return "no telephony line is configured";
  std::string Text =
      "the telephony library " + Platform::LibraryFileName("TAPI32") + " cannot be loaded";
  const std::string Why = Platform::LibraryErrorText();
  if (!Why.empty())
    Text += " (" + Why + ")";
  return Text + "; it comes with ringlet: reinstalling the package puts it back";
}

// The fields come from a caller, an address book or a file: the terminal gets no control
// character of any of them, nor a tab that would split a field.
void PrintCall(const TCallRecord& Call, bool WithLine) {
  // One line per call: a printed line cannot be changed, so an update is not printed again.
  if (OutputGone || Call.Update)
    return;
  const std::string Time = Platform::StripControls(Call.Time);
  const std::string Number = Platform::StripControls(Call.ID);
  const std::string Name = Platform::StripControls(RowName(Call));
  if (WithLine)
    std::fprintf(stdout, "%s\t%s\t%s\t%s\n", Time.c_str(), Number.c_str(), Name.c_str(),
                 Platform::StripControls(Call.Line).c_str());
  else
    std::fprintf(stdout, "%s\t%s\t%s\n", Time.c_str(), Number.c_str(), Name.c_str());
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0)
    LoseOutput(("cannot be written (" + std::string(std::strerror(errno)) + ")").c_str());
}

// Rows on standard output, line reports on standard error; with several lines each names
// its line.
class TConsoleView : public TFrontView {
public:
  explicit TConsoleView(bool Several) : FSeveral(Several) {}
  void ShowCall(const TCallRecord& Call) override { PrintCall(Call, FSeveral); }
  void ShowLineState(const TLineReport& Report) override {
    const std::string Prefix = FSeveral ? Report.Line + ": " : "";
    if (Report.State == lsLost)
      PrintError(Prefix + "the line was lost (" + Report.Why +
                 "); monitoring resumes when it is back");
    else if (Report.State == lsWatching)
      PrintError(Prefix + "the line is back; monitoring again");
  }

private:
  bool FSeveral;
};

// The line to watch of the one-line console, or "" with the exit status in Result.
std::string ChooseLine(TCallMonitor& Form, const TConsoleOptions& Options, int& Result) {
  const std::vector<std::string>& Lines = Form.Phone()->DeviceList();
  std::string Device = Options.Device;
  if (!Device.empty() && !Listed(Lines, Device)) {
    PrintError("there is no line named \"" + Device + "\"; the lines are:");
    PrintLines(Lines, stderr);
    Result = ConsoleNoChoice;
    return "";
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
      PrintError(NoLineText());
      Result = ConsoleFailed;
      return "";
    }
    PrintError("several lines; choose one with --device NAME:");
    PrintLines(Lines, stdout);
    Result = ConsoleNoChoice;
  }
  return Device;
}

// Pumps the line messages and polls every monitor until a stop signal; the notifications'
// replies are served on the way.
void RunUntilStopped(const std::vector<TCallMonitor*>& Forms, TOutletHub& Hub) {
  const int Queue = Platform::QueueWakeDescriptor();
  while (StopRequested == 0) {
    pollfd Polls[2] = {{Queue, POLLIN, 0}, {SignalPipe[0], POLLIN, 0}};
    const int Ready = ::poll(Polls, 2, 250);
    if (Ready < 0 && errno != EINTR)
      throw std::runtime_error("poll failed");
    while (StopRequested == 0 && SafeYield()) {
    }
    Hub.Serve();
    for (TCallMonitor* Form : Forms)
      Form->Poll();
  }
}

// The hub's options from the console's own.
THubOptions HubOptions(const TConsoleOptions& Options) {
  THubOptions Hub;
  Hub.Network = Options.Network;
  Hub.Network.NcidHangUp = !Options.NoBlock;
  Hub.Web = Options.Web;
  Hub.Notify = Options.Notify ? ncOn : ncDefault;
  Hub.NotifyByDefault = false;
  return Hub;
}

// Opens the history and starts the hub's outlets; false (the reason printed) when one
// cannot start.
bool StartOutlets(TOutletHub& Hub, const TConsoleOptions& Options,
                  const std::vector<std::string>& Lines, const TCallScreen& Screen) {
  Hub.OpenHistory(PrintError);
  const std::string Why = Hub.Start(HubOptions(Options), Lines, Screen.Files(), Screen.Country());
  if (!Why.empty())
    PrintError(Why);
  return Why.empty();
}

int WatchOneLine(const TConsoleOptions& Options) {
  TCallMonitor Form;
  int Result = ConsoleOk;
  const std::string Device = ChooseLine(Form, Options, Result);
  if (Device.empty())
    return Result;
  const std::unique_ptr<TCallScreen> Screen =
      MakeCallScreen(*Form.IniSettings(), !Options.NoBlock, PrintError);
  TConsoleView View(false);
  TOutletHub Hub(View);
  Hub.Attach(Form, Device);
  if (!StartOutlets(Hub, Options, {Device}, *Screen))
    return ConsoleFailed;
  Form.SetScreen(Screen.get());
  Form.Phone()->SetSelectedDevice(Device);
  Form.Start();
  RunUntilStopped({&Form}, Hub);
  Form.Stop();
  Form.SaveSettings(Form.Phone()->SelectedDevice());
  return ConsoleOk;
}

// One monitor a line; a line that fails is reported and retried on its own.
int WatchAllLines(const TConsoleOptions& Options) {
  TCallMonitor First;
  const std::vector<std::string> Lines = First.Phone()->DeviceList();
  if (Lines.empty()) {
    PrintError(NoLineText());
    return ConsoleFailed;
  }
  std::vector<std::unique_ptr<TCallMonitor>> Others;
  std::vector<TCallMonitor*> Forms{&First};
  for (size_t I = 1; I < Lines.size(); ++I) {
    Others.push_back(std::make_unique<TCallMonitor>());
    Forms.push_back(Others.back().get());
  }
  const std::unique_ptr<TCallScreen> Screen =
      MakeCallScreen(*First.IniSettings(), !Options.NoBlock, PrintError);
  TConsoleView View(true);
  TOutletHub Hub(View);
  for (size_t I = 0; I < Lines.size(); ++I)
    Hub.Attach(*Forms[I], Lines[I]);
  // One history writer for every line, from the first line's settings.
  if (!StartOutlets(Hub, Options, Lines, *Screen))
    return ConsoleFailed;
  for (size_t I = 0; I < Lines.size(); ++I) {
    Forms[I]->SetScreen(Screen.get());
    Forms[I]->Phone()->SetSelectedDevice(Lines[I]);
    Forms[I]->Watch();
  }
  RunUntilStopped(Forms, Hub);
  for (TCallMonitor* Form : Forms)
    Form->Stop();
  return ConsoleOk;
}

} // namespace

int RunConsole(const TConsoleOptions& Options) {
  TApplicationExceptionHandler Previous =
      SetApplicationExceptionHandler([](const std::exception& E) { PrintError(E.what()); });
  TStopSignals Signals;
  GuardStandardDescriptors();
  int Result = ConsoleOk;
  try {
    Result = Options.AllLines ? WatchAllLines(Options) : WatchOneLine(Options);
  } catch (const std::exception& E) {
    PrintError(E.what());
    Result = ConsoleFailed;
  }
  SetApplicationExceptionHandler(Previous);
  return Result;
}
