// The web page of the program. See WebPage.h.
#include "app/WebPage.h"

#include "calls/NcidServer.h"
#include "web/WebSessions.h"

#include <termios.h>
#include <unistd.h>

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
  return Why.empty() ? First : "";
}

} // namespace

void ReadWebSettings(TRzRegIniFile& Settings, TWebOptions& Options) {
  const auto Fill = [&Settings](std::string& Value, const char* Key) {
    if (Value.empty())
      Value = Settings.ReadString(WebSection, Key, "");
  };
  Fill(Options.Listen, "Listen");
  Fill(Options.Cert, "Cert");
  Fill(Options.Key, "Key");
  Fill(Options.PasswordHash, WebPasswordKey);
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
