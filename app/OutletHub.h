// OutletHub: where a front end's monitors hand their calls and line states on - the front
// end's own view, the NCID-protocol server, the MQTT publisher, the web page and the desktop
// notifications - wired the same way for the window and the console.
//
// Contract:
// - Attach takes a monitor: each of its calls goes to the view first (ShowCall), then to the
//   monitor's outlets in the order they were added (the front end's history writer, then
//   NCID, MQTT, the web page and the notification); each change of its line's state goes to
//   the view and the web page as a TLineReport value. A line name "" stands for the
//   monitor's chosen line (the window's, chosen later). Attach may come before or after Start.
// - Start starts what the options ask for, the command line winning over the first
//   monitor's settings file ([NCID], [MQTT]; [Web] is read by the caller, see WebPage.h):
//   "" or why one cannot start (then none of them runs). The NCID server's clients get the
//   stored calls of History when one is kept.
// - SetLineState tells the web page and the view a state the front end decided (watching
//   after a start, stopped after a stop).
// - The history stays the front end's own (the window shows its earlier calls from it); the
//   hub hands it to the outlets that read it.
// - Serve runs the notifications' replies for a front end without Qt's loop.
// - Everything belongs to the thread that made the hub; the hub takes its outlets out of the
//   monitors when it goes, so it must go before them.
#pragma once

#include "app/CallHistory.h"
#include "app/Monitor.h"
#include "app/NetworkOutlets.h"
#include "app/Notifier.h"
#include "app/WebPage.h"

#include <memory>
#include <string>
#include <vector>

// The newest stored calls an NCID client gets when it connects.
inline constexpr size_t NcidCallLogLimit = 1000;

enum TLineState { lsWatching, lsLost, lsStopped };

// The web page's word for a state: "watching", "lost", "stopped".
const char* LineStateName(TLineState State);

struct TLineReport {
  std::string Line;
  TLineState State = lsStopped;
  std::string Why; // for lsLost: what failed
};

// The front end's own view of its calls and lines.
class TFrontView {
public:
  virtual ~TFrontView() = default;
  virtual void ShowCall(const TCallRecord& Call) = 0;
  virtual void ShowLineState(const TLineReport& Report) = 0;
};

struct THubOptions {
  TNetworkOptions Network;
  TWebOptions Web; // settings already read (ReadWebSettings)
  TNotifyChoice Notify = ncDefault;
  bool NotifyByDefault = false; // the front end's default: the window notifies, the console not
};

class TOutletHub {
public:
  explicit TOutletHub(TFrontView& View);
  ~TOutletHub();
  TOutletHub(const TOutletHub&) = delete;
  TOutletHub& operator=(const TOutletHub&) = delete;

  void Attach(TCallMonitor& Monitor, const std::string& Line = "");
  // Lines: the lines watched (the MQTT instance's default name comes from them); History
  // nullptr when none is kept; Files and Country those of the call screen, which must outlive
  // the hub.
  std::string Start(const THubOptions& Options, const std::vector<std::string>& Lines,
                    const TMonitorHistory* History, const TScreenFiles& Files,
                    const TCountryRule& Country);
  void SetLineState(const TLineReport& Report);
  void Serve();

  TNetworkOutlets& Network() { return FNetwork; }
  TWebPage& Web() { return FWeb; }

private:
  struct TAttached {
    TCallMonitor* Monitor = nullptr;
    std::string Line;
    std::unique_ptr<TMonitorNotifier> Notifier;
  };

  void AddOutlets(TAttached& Attached);
  void RemoveOutlets(TAttached& Attached);
  std::string LineOf(const TAttached& Attached) const;

  TFrontView& FView;
  bool FStarted = false;
  THubOptions FOptions;
  TNetworkOutlets FNetwork;
  TWebPage FWeb;
  std::vector<std::unique_ptr<TAttached>> FAttached;
};
