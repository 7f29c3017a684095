// The outlets of a front end and its view, fed by its monitors.
#include "app/OutletHub.h"

#include <stdexcept>
#include <utility>

const char* LineStateName(TLineState State) {
  switch (State) {
  case lsWatching:
    return "watching";
  case lsLost:
    return "lost";
  case lsStopped:
    break;
  }
  return "stopped";
}

TOutletHub::TOutletHub(TFrontView& View) : FView(View) {}

TOutletHub::~TOutletHub() {
  for (const auto& Attached : FAttached)
    RemoveOutlets(*Attached);
}

void TOutletHub::Attach(TCallMonitor& Monitor, const std::string& Line) {
  auto Attached = std::make_unique<TAttached>();
  Attached->Monitor = &Monitor;
  Attached->Line = Line;
  TAttached* Self = Attached.get();
  Monitor.OnCall = [this](const TCallRecord& Call) { FView.ShowCall(Call); };
  Monitor.OnLineLost = [this, Self](const std::string& Why) {
    SetLineState({LineOf(*Self), lsLost, Why});
  };
  Monitor.OnLineBack = [this, Self] { SetLineState({LineOf(*Self), lsWatching, ""}); };
  AddOutlets(*Attached);
  FAttached.push_back(std::move(Attached));
}

void TOutletHub::OpenHistory(THistoryWriter::TMessage Messages) {
  if (FStarted)
    throw std::logic_error("the history is opened before the outlets start");
  if (FAttached.empty())
    throw std::logic_error("the history needs a monitor's settings");
  for (const auto& Attached : FAttached)
    RemoveOutlets(*Attached);
  FHistory.reset();
  FHistory = std::make_unique<TMonitorHistory>(*FAttached.front()->Monitor->IniSettings(),
                                               std::move(Messages));
  for (const auto& Attached : FAttached)
    AddOutlets(*Attached);
}

const TMonitorHistory* TOutletHub::History() const {
  return FHistory && FHistory->Active() ? FHistory.get() : nullptr;
}

std::string TOutletHub::Start(const THubOptions& Options, const std::vector<std::string>& Lines,
                              const TScreenFiles& Files, const TCountryRule& Country) {
  FOptions = Options;
  if (!FAttached.empty())
    ReadNetworkSettings(*FAttached.front()->Monitor->IniSettings(), FOptions.Network);
  const TMonitorHistory* History = this->History();
  // Called on the NCID server's thread: it reads the history that stays open from here on.
  const auto CallLog = [History] {
    std::string Ignored; // a history that cannot be read is an empty log here; the writer tells
    return History != nullptr ? History->Earlier(NcidCallLogLimit, Ignored)
                              : std::vector<TCallRecord>{};
  };
  std::string Why = FNetwork.Start(FOptions.Network, Lines, CallLog);
  if (Why.empty())
    Why =
        FWeb.Start(FOptions.Web, History != nullptr ? History->Writer() : nullptr, Files, Country);
  if (!Why.empty()) {
    FNetwork = TNetworkOutlets();
    return Why;
  }
  FStarted = true;
  for (const auto& Attached : FAttached)
    AddOutlets(*Attached);
  return "";
}

void TOutletHub::AddOutlets(TAttached& Attached) {
  TCallMonitor& Monitor = *Attached.Monitor;
  // A monitor takes an outlet once: Start adds the others after the history's writer.
  if (const TMonitorHistory* Kept = History())
    Monitor.AddOutlet(Kept->Writer());
  if (!FStarted)
    return;
  FNetwork.AttachTo(Monitor);
  if (TWebServer* Server = FWeb.Server()) {
    Monitor.AddOutlet(Server);
    if (!Attached.Line.empty())
      FWeb.SetLine(Attached.Line, LineStateName(lsWatching));
  }
  Attached.Notifier = WantedNotifier(Monitor, FOptions.Notify, FOptions.NotifyByDefault);
}

void TOutletHub::RemoveOutlets(TAttached& Attached) {
  TCallMonitor& Monitor = *Attached.Monitor;
  Attached.Notifier.reset();
  if (const TMonitorHistory* Kept = History())
    Monitor.RemoveOutlet(Kept->Writer());
  if (FNetwork.Ncid() != nullptr)
    Monitor.RemoveOutlet(FNetwork.Ncid());
  if (FNetwork.Mqtt() != nullptr)
    Monitor.RemoveOutlet(FNetwork.Mqtt());
  if (FWeb.Server() != nullptr)
    Monitor.RemoveOutlet(FWeb.Server());
}

std::string TOutletHub::LineOf(const TAttached& Attached) const {
  return Attached.Line.empty() ? Attached.Monitor->Phone()->SelectedDevice() : Attached.Line;
}

void TOutletHub::SetLineState(const TLineReport& Report) {
  FWeb.SetLine(Report.Line, LineStateName(Report.State));
  FView.ShowLineState(Report);
}

void TOutletHub::Serve() {
  for (const auto& Attached : FAttached)
    if (Attached->Notifier)
      Attached->Notifier->Serve();
}
