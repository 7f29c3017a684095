// The program entry: the window, or the console front end, optionally on the simulated modem.
#include "app/AdSelCom.h"
#include "app/AdTSel.h"
#include "app/CallHistory.h"
#include "app/Console.h"
#include "app/Demo.h"
#include "app/Main.h"
#include "app/Notifier.h"
#include "app/RzRegIniFile.h"
#include "app/WebPage.h"
#include "platform/Log.h"

#include <QApplication>
#include <QMessageBox>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>

namespace {

const char* const Usage =
    "Usage: ringlet [OPTIONS]\n"
    "Lists the caller ID of every incoming call on a telephone line watched through a\n"
    "caller-ID modem.\n"
    "\n"
    "Without options the window opens: choose the line with the button of the device box,\n"
    "press Start, and each call adds a row with its date and time, number and name.\n"
    "\n"
    "Options:\n"
    "  --console         monitor without a window; one line per call on standard output:\n"
    "                    dd/mm/yyyy  hh:mm:ss<TAB>number<TAB>name\n"
    "                    Errors go to standard error. SIGINT or SIGTERM stops monitoring,\n"
    "                    saves the line's name and exits with 0.\n"
    "  --device NAME     with --console: the line to watch. Without it the remembered line\n"
    "                    is used, else the only line; with several lines and no choice the\n"
    "                    line names are printed and the exit status is 2.\n"
    "  --all-lines       with --console: watch every configured line at once; each row\n"
    "                    gets the line's name as a fourth field, and a line that fails is\n"
    "                    reported and retried on its own\n"
    "  --ncid-listen ADDR:PORT\n"
    "                    serve the calls to NCID clients on ADDR:PORT (window or --console)\n"
    "                    (127.0.0.1:3333 for this machine only, 0.0.0.0:3333 for the\n"
    "                    network; the protocol has no password)\n"
    "  --mqtt URL        publish the calls to an MQTT broker (window or --console),\n"
    "                    mqtt://[user:password@]host[:port] or mqtts://... for TLS\n"
    "  --mqtt-password-file FILE\n"
    "                    the broker's password: the first line of FILE\n"
    "  --mqtt-ca-file FILE\n"
    "                    with mqtts://: the certificate authorities to trust\n"
    "  --mqtt-instance NAME\n"
    "                    this Ringlet's name on the broker: client id ringlet-NAME and\n"
    "                    status topic ringlet/NAME/status (default: the host name and a\n"
    "                    short hash of the settings file and the lines)\n"
    "  --web-listen ADDR:PORT\n"
    "                    serve the web page of the calls, the history, the contacts and\n"
    "                    the block list on ADDR:PORT (window or --console), e.g.\n"
    "                    127.0.0.1:8080 for this machine only, 0.0.0.0:8080 for the\n"
    "                    network; it needs a password (--set-web-password)\n"
    "  --web-cert FILE   with --web-listen: serve HTTPS with this PEM certificate...\n"
    "  --web-key FILE    ...and its PEM private key\n"
    "  --set-web-password\n"
    "                    read the web page's password (at least 10 characters) from\n"
    "                    standard input (twice, without echo, on a terminal), store only\n"
    "                    its salted hash and exit\n"
    "  --no-block        block no call in this run: the block list is left unused\n"
    "  --list-devices    print the names of the usable lines and exit\n"
    "  --notify          also show each call as a desktop notification; with --console it\n"
    "                    is off unless asked for, in the window on unless turned off\n"
    "  --no-notify       no desktop notifications for this run; Notifications=off in\n"
    "                    section [Settings] of the settings file turns them off for good\n"
    "                    (--notify still asks for them)\n"
    "  --demo            start the simulated modem (fakemodem) on a pseudo-terminal, playing\n"
    "                    a call every few seconds, and watch it (window or --console)\n"
    "  --version         print the program's name and version and exit\n"
    "  -h, --help        this text\n"
    "%s"
    "\n"
    "The lines come from the telephony configuration: $RINGLET_TELEPHONY_CONFIG, else\n"
    "ringlet/telephony.ini in the user's configuration folder ($XDG_CONFIG_HOME or ~/.config).\n"
    "The chosen line's name is remembered as TapiDevice in section [Settings] of the\n"
    "program's settings file: the program's name with \".ini\" beside it, or\n"
    "ringlet/ringlet.ini in the user's configuration folder when the program's folder is\n"
    "not writable.\n"
    "The same file may set the network outlets for good: Listen and MaxClients in\n"
    "section [NCID], Url, PasswordFile and CaFile in section [MQTT], Listen, Cert, Key and\n"
    "Hosts (the page's host names) in section [Web] (where PasswordHash is kept too);\n"
    "options win.\n"
    "\n"
    "Contacts and the block list: a call whose number is in ringlet/contacts.vcf of the\n"
    "user's configuration folder (vCard 3.0 or 4.0, as address books export them) shows\n"
    "the contact's name. A call that meets a rule of ringlet/blocklist.txt (one a line: a\n"
    "number, a prefix ending in *, name:TEXT, withheld or out-of-area; # comments), none of\n"
    "ringlet/allowlist.txt (the same form) and is no contact's is blocked: the modem takes\n"
    "it off hook and puts it down, and the name field of its row ends in \" [blocked]\" (a\n"
    "suffix, so the console's fields stay as they are). The files are read again when they\n"
    "change. Numbers match whatever their formatting, with the trunk prefix and calling\n"
    "code of Country in section [Settings] (US by default; also CA, GB, IE, DE, FR, NL, AU,\n"
    "NZ). In the window the list's context menu adds a number to the contacts or blocks it.\n"
    "\n"
    "Exit status: 0 success, 1 failure, 2 no line chosen or wrong usage.\n";

class TRingletApplication : public QApplication {
public:
  using QApplication::QApplication;

  // The last line of defence: whatever a handler let through is shown, not fatal.
  bool notify(QObject* Receiver, QEvent* Event) override {
    try {
      return QApplication::notify(Receiver, Event);
    } catch (const std::exception& E) {
      HandleApplicationException(E);
    } catch (...) {
      HandleApplicationException(std::runtime_error("Unknown exception"));
    }
    return false;
  }
};

void ShowException(const std::exception& E) {
  QMessageBox::critical(QApplication::activeWindow(), QString::fromStdString(ApplicationTitle()),
                        QString::fromLocal8Bit(E.what()), QMessageBox::Ok);
}

int StopPipe[2] = {-1, -1};

void OnStopSignal(int) {
  const char Byte = 1;
  [[maybe_unused]] const ssize_t Ignored = ::write(StopPipe[1], &Byte, 1);
}

// SIGINT and SIGTERM close the window the ordinary way, so the device is stopped, the name
// saved and the demo modem ended.
void CloseOnStopSignals(QWidget& Window) {
  if (::pipe2(StopPipe, O_CLOEXEC | O_NONBLOCK) != 0)
    return;
  auto* Notifier = new QSocketNotifier(StopPipe[0], QSocketNotifier::Read, &Window);
  QObject::connect(Notifier, &QSocketNotifier::activated, &Window, [&Window] { Window.close(); });
  struct sigaction Action {};
  Action.sa_handler = OnStopSignal;
  sigemptyset(&Action.sa_mask);
  ::sigaction(SIGINT, &Action, nullptr);
  ::sigaction(SIGTERM, &Action, nullptr);
}

// In the build tree the telephony library lies in a folder of its own; an installed program
// finds it in its private library folder through its run path, and must never load the
// build's library even where the build tree still exists.
void AddBuildTreeLibraryFolder() {
#ifdef RINGLET_TELEPHONY_DIR
  std::error_code Error;
  if (!std::filesystem::equivalent(ProgramFileName(), RINGLET_BUILD_PROGRAM, Error))
    return;
  const char* Current = std::getenv("RINGLET_LIBRARY_PATH");
  std::string Path = Current != nullptr ? Current : "";
  if (Path.find(RINGLET_TELEPHONY_DIR) == std::string::npos) {
    Path = Path.empty() ? std::string(RINGLET_TELEPHONY_DIR) : Path + ":" + RINGLET_TELEPHONY_DIR;
    ::setenv("RINGLET_LIBRARY_PATH", Path.c_str(), 1);
  }
#endif
}

// The window's outlets; false (the reason shown) when one cannot start.
bool StartWindowOutlets(TfrmMain& Window, const TConsoleOptions& Options, TNotifyChoice Notify) {
  THubOptions Hub;
  Hub.Network = Options.Network;
  Hub.Web = Options.Web;
  Hub.Notify = Notify;
  const std::string Why = Window.StartOutlets(Hub);
  if (Why.empty())
    return true;
  std::fprintf(stderr, "ringlet: %s\n", Why.c_str());
  QMessageBox::critical(nullptr, "Ringlet", QString::fromLocal8Bit(Why.c_str()), QMessageBox::Ok);
  return false;
}

} // namespace

int main(int argc, char** argv) {
  // What the layers report goes where the program's own messages go, in the console, the
  // service and the window alike.
  Platform::SetLogSink([](const std::string& Text) {
    std::fprintf(stderr, "ringlet: %s\n", Text.c_str());
    std::fflush(stderr);
  });
  bool Console = false, Demo = false, List = false, SetPassword = false;
  TNotifyChoice Notify = ncDefault;
  TConsoleOptions Options;
  THistoryOptions History;
  for (int I = 1; I < argc; ++I) {
    const std::string Arg = argv[I];
    if (const THistoryOptionResult Taken = TakeHistoryOption(argc, argv, I, History);
        Taken != toNotMine) {
      if (Taken == toWrongUsage)
        return 2;
    } else if (Arg == "-h" || Arg == "--help") {
      std::printf(Usage, HistoryUsage);
      return 0;
    } else if (Arg == "--version") {
      std::printf("ringlet %s\n", RINGLET_VERSION);
      return 0;
    } else if (Arg == "--console") {
      Console = true;
    } else if (Arg == "--demo") {
      Demo = true;
    } else if (Arg == "--notify" || Arg == "--no-notify") {
      Notify = Arg == "--notify" ? ncOn : ncOff;
    } else if (Arg == "--list-devices") {
      List = true;
    } else if (Arg == "--device" && I + 1 < argc) {
      Options.Device = argv[++I];
    } else if (Arg == "--no-block") {
      Options.NoBlock = true;
    } else if (Arg == "--all-lines") {
      Options.AllLines = true;
    } else if (Arg == "--ncid-listen" && I + 1 < argc) {
      Options.Network.NcidListen = argv[++I];
    } else if (Arg == "--mqtt" && I + 1 < argc) {
      Options.Network.MqttUrl = argv[++I];
    } else if (Arg == "--mqtt-password-file" && I + 1 < argc) {
      Options.Network.MqttPasswordFile = argv[++I];
    } else if (Arg == "--mqtt-ca-file" && I + 1 < argc) {
      Options.Network.MqttCaFile = argv[++I];
    } else if (Arg == "--mqtt-instance" && I + 1 < argc) {
      Options.Network.MqttInstance = argv[++I];
    } else if (Arg == "--web-listen" && I + 1 < argc) {
      Options.Web.Listen = argv[++I];
    } else if (Arg == "--web-cert" && I + 1 < argc) {
      Options.Web.Cert = argv[++I];
    } else if (Arg == "--web-key" && I + 1 < argc) {
      Options.Web.Key = argv[++I];
    } else if (Arg == "--set-web-password") {
      SetPassword = true;
    } else {
      std::fprintf(stderr, "ringlet: unknown option %s\n", Arg.c_str());
      std::fprintf(stderr, Usage, HistoryUsage);
      return 2;
    }
  }
  const bool ConsoleOnly = !Options.Device.empty() || Options.AllLines;
  if (ConsoleOnly && !Console) {
    std::fprintf(stderr, "ringlet: --device and --all-lines need --console\n");
    return 2;
  }
  if (Options.AllLines && !Options.Device.empty()) {
    std::fprintf(stderr, "ringlet: --all-lines watches every line; leave out --device\n");
    return 2;
  }
  if (!HistoryOptionsFit(History))
    return 2;
  if (SetPassword) {
    TRzRegIniFile Settings;
    return SetWebPassword(Settings, stdin, stderr);
  }
  {
    // Before the demo moves the monitors' settings into its own folder.
    TRzRegIniFile Settings;
    if (const std::string Note = ReadWebSettings(Settings, Options.Web); !Note.empty())
      std::fprintf(stderr, "ringlet: %s\n", Note.c_str());
  }
  if (History.Print)
    return PrintHistory(History);
  SetProgramHistory(History);
  SetApplicationTitle("Ringlet");
  AddBuildTreeLibraryFolder();

  TDemoModem DemoModem;
  if (Demo && !DemoModem.Start()) {
    std::fprintf(stderr, "ringlet: %s\n", DemoModem.Error().c_str());
    return 1;
  }
  if (List)
    return ListDevices();
  Options.Notify = Notify == ncOn;
  if (Console)
    return RunConsole(Options);

  TRingletApplication App(argc, argv);
  QApplication::setApplicationName("Ringlet");
  QApplication::setApplicationDisplayName("Ringlet");
  SetApplicationExceptionHandler(ShowException);
  SetPortExceptionHandler(ShowException);
  TQtDeviceChooser Chooser;
  SetDeviceChooser(&Chooser);
  TQtPortChooser PortChooser;
  SetPortChooser(&PortChooser);
  int Result = 0;
  {
    TfrmMain Window;
    Window.SetBlocking(!Options.NoBlock);
    if (StartWindowOutlets(Window, Options, Notify)) {
      CloseOnStopSignals(Window);
      Window.show();
      Result = QApplication::exec();
    } else {
      Result = 1;
    }
  }
  SetPortChooser(nullptr);
  SetDeviceChooser(nullptr);
  SetPortExceptionHandler(nullptr);
  SetApplicationExceptionHandler(nullptr);
  return Result;
}
