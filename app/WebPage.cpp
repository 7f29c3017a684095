// The web page of the program. See WebPage.h.
#include "app/WebPage.h"

#include "calls/NcidServer.h"
#include "platform/IniFile.h"
#include "web/WebSessions.h"

#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

namespace {

// Turns the terminal's echo off for its life, when From is a terminal.
class TNoEcho {
public:
  explicit TNoEcho(int Descriptor) : FDescriptor(Descriptor) {
    FActive = ::isatty(Descriptor) == 1 && ::tcgetattr(Descriptor, &FOld) == 0;
    if (!FActive)
      return;
    termios Quiet = FOld;
    Quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    FActive = ::tcsetattr(Descriptor, TCSAFLUSH, &Quiet) == 0;
  }
  ~TNoEcho() {
    if (FActive)
      ::tcsetattr(FDescriptor, TCSAFLUSH, &FOld);
  }
  TNoEcho(const TNoEcho&) = delete;
  TNoEcho& operator=(const TNoEcho&) = delete;

private:
  int FDescriptor;
  termios FOld{};
  bool FActive = false;
};

// One line of From without its line end; false at the end of the input.
bool ReadLine(FILE* From, std::string& Line) {
  Line.clear();
  for (int C = std::fgetc(From); C != EOF; C = std::fgetc(From)) {
    if (C == '\n')
      return true;
    if (Line.size() < 4096)
      Line += static_cast<char>(C);
  }
  return !Line.empty();
}

void Prompt(FILE* To, const char* Text) {
  std::fputs(Text, To);
  std::fflush(To);
}

// Characters, not bytes: the bytes that begin a UTF-8 sequence.
size_t Characters(const std::string& Text) {
  size_t Count = 0;
  for (const char C : Text)
    Count += (static_cast<unsigned char>(C) & 0xC0) != 0x80 ? 1 : 0;
  return Count;
}

// The password typed: asked twice on a terminal. "" with Why when there is none.
std::string AskPassword(FILE* From, FILE* To, std::string& Why) {
  const bool Terminal = ::isatty(::fileno(From)) == 1;
  TNoEcho Quiet(::fileno(From));
  std::string First, Second;
  if (Terminal)
    Prompt(To, "Password for the web page: ");
  const bool Read = ReadLine(From, First);
  if (Terminal && Read) {
    Prompt(To, "\nThe same again: ");
    ReadLine(From, Second);
    Prompt(To, "\n");
  }
  if (!First.empty() && First.back() == '\r')
    First.pop_back();
  if (First.empty())
    Why = "the password is empty; nothing was changed";
  else if (Terminal && Second != First)
    Why = "the two passwords differ; nothing was changed";
  else if (Characters(First) < MinWebPasswordLength)
    Why = "the password is too short: use at least " + std::to_string(MinWebPasswordLength) +
          " characters; nothing was changed";
  return Why.empty() ? First : "";
}

// The file of settings in INI form, "" for the registry.
std::string SettingsFileOf(const TRzRegIniFile& Settings) {
  return Settings.PathType() == ptIniFile ? Settings.Path() : "";
}

// Takes the permissions of the group and of others off a settings file that holds the
// password hash; what was done, or what the user should do, or "".
std::string MakePrivate(const std::string& File) {
  struct stat Info {};
  if (File.empty() || ::stat(File.c_str(), &Info) != 0 || (Info.st_mode & 077) == 0)
    return "";
  const std::string Held = "the settings file " + File +
                           " holds the web page's password hash and was readable by other users";
  if (::chmod(File.c_str(), Info.st_mode & 07700) != 0)
    return Held + " (" + std::strerror(errno) + "); make it private: chmod 600 " + File;
  return Held + "; it is now yours alone";
}

std::vector<std::string> Names(const std::string& List) {
  std::vector<std::string> Found;
  size_t At = 0;
  while ((At = List.find_first_not_of(", \t", At)) != std::string::npos) {
    const size_t End = List.find_first_of(", \t", At);
    Found.push_back(List.substr(At, End - At));
    At = End;
  }
  return Found;
}

} // namespace

std::string ReadWebSettings(TRzRegIniFile& Settings, TWebOptions& Options) {
  const auto Fill = [&Settings](std::string& Value, const char* Key) {
    if (Value.empty())
      Value = Settings.ReadString(WebSection, Key, "");
  };
  Fill(Options.Listen, "Listen");
  Fill(Options.Cert, "Cert");
  Fill(Options.Key, "Key");
  Fill(Options.PasswordHash, WebPasswordKey);
  if (Options.Hosts.empty())
    Options.Hosts = Names(Settings.ReadString(WebSection, "Hosts", ""));
  Options.SettingsFile = SettingsFileOf(Settings);
  return Options.PasswordHash.empty() ? "" : MakePrivate(Options.SettingsFile);
}

int SetWebPassword(TRzRegIniFile& Settings, FILE* From, FILE* To) {
  std::string Why;
  const std::string Password = AskPassword(From, To, Why);
  if (Password.empty()) {
    std::fprintf(To, "ringlet: %s\n", Why.c_str());
    return 1;
  }
  const std::string Hash = HashWebPassword(Password);
  if (Hash.empty()) {
    std::fprintf(To, "ringlet: the password cannot be hashed; nothing was changed\n");
    return 1;
  }
  try {
    Settings.WriteString(WebSection, WebPasswordKey, Hash);
  } catch (const std::exception& Failure) {
    std::fprintf(To, "ringlet: %s\n", Failure.what());
    return 1;
  }
  std::fprintf(To, "ringlet: the web page's password is set (in %s)\n", Settings.Path().c_str());
  if (const std::string Note = MakePrivate(SettingsFileOf(Settings)); !Note.empty())
    std::fprintf(To, "ringlet: %s\n", Note.c_str());
  return 0;
}

TWebPage::~TWebPage() {
  for (TCallMonitor* Monitor : FMonitors)
    Monitor->RemoveOutlet(FServer.get());
  if (FServer)
    FServer->Stop();
}

std::string TWebPage::Start(const TWebOptions& Options, const THistoryWriter* History,
                            const TScreenFiles& Files, const TCountryRule& Country) {
  if (Options.Listen.empty())
    return "";
  TWebServerOptions Server;
  std::string Error;
  if (!ParseListenAddress(Options.Listen, Server.Address, Server.Port, Error))
    return "--web-listen: " + Error;
  Server.CertFile = Options.Cert;
  Server.KeyFile = Options.Key;
  Server.PasswordHash = Options.PasswordHash;
  Server.Hosts = Options.Hosts;
  Server.PasswordFile = Options.SettingsFile;
  if (!Options.SettingsFile.empty())
    Server.ReadPasswordHash = [File = Options.SettingsFile] {
      return Platform::GetProfileString(File, WebSection, WebPasswordKey, "");
    };
  if (History != nullptr) {
    // The calls waiting for a locked or lost file are on the page too.
    Server.Api.HistoryPath = History->Path();
    Server.Api.ReadHistory = [History](const THistoryQuery& Query) { return History->Read(Query); };
  }
  Server.Api.Files = Files;
  Server.Api.Country = &Country;
  FServer = std::make_unique<TWebServer>(std::move(Server));
  const std::string Why = FServer->Start();
  if (!Why.empty())
    FServer.reset();
  return Why.empty() ? "" : "web page: " + Why;
}

void TWebPage::Follow(TCallMonitor& Monitor, const std::string& Line) {
  if (!FServer)
    return;
  TWebServer* Server = FServer.get();
  Monitor.AddOutlet(Server);
  FMonitors.push_back(&Monitor);
  if (!Line.empty())
    Server->SetLine(Line, "watching");
  const auto Name = [&Monitor, Line] {
    return Line.empty() ? Monitor.Phone()->SelectedDevice() : Line;
  };
  Monitor.OnLineLost = [Server, Name, Told = Monitor.OnLineLost](const std::string& Why) {
    Server->SetLine(Name(), "lost");
    if (Told)
      Told(Why);
  };
  Monitor.OnLineBack = [Server, Name, Told = Monitor.OnLineBack] {
    Server->SetLine(Name(), "watching");
    if (Told)
      Told();
  };
}

void TWebPage::SetLine(const std::string& Line, const std::string& State) {
  if (FServer)
    FServer->SetLine(Line, State);
}
