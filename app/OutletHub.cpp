// The outlets of a front end and its view, fed by its monitors.
#include "app/OutletHub.h"

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
  if (FStarted)
    AddOutlets(*Attached);
  FAttached.push_back(std::move(Attached));
}

std::string TOutletHub::Start(const THubOptions& Options, const std::vector<std::string>& Lines,
                              const TMonitorHistory* History, const TScreenFiles& Files,
                              const TCountryRule& Country) {
  FOptions = Options;
  if (!FAttached.empty())
    ReadNetworkSettings(*FAttached.front()->Monitor->IniSettings(), FOptions.Network);
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
