// OutletHub: where a front end's monitors hand their calls and line states on - the front
// end's own view, the call history, the NCID-protocol server, the MQTT publisher, the web
// page and the desktop notifications - owned by the hub and wired the same way for the
// window and the console.
//
// Contract:
// - Attach takes a monitor: each of its calls goes to the view first (ShowCall), then to the
//   hub's outlets in this order: the history writer, NCID, MQTT, the web page and the
//   notification; each change of its line's state goes to the view and the web page as a
//   TLineReport value. A line name "" stands for the monitor's chosen line (the window's,
//   chosen later). Attach may come before or after OpenHistory and Start.
// - OpenHistory opens the history (app/CallHistory.h: the program's choice and the first
//   monitor's settings file, so it needs one attached) and gives its writer to every monitor,
//   before the other outlets; Messages gets the history's messages on the writer's thread.
//   Opening it again replaces it; after Start it raises (the outlets read the open one). A
//   history that cannot be written stops nothing: its messages say why. History() is the
//   front end's read access (the window's earlier calls), nullptr when none is kept.
// - Start starts what the options ask for, the command line winning over the first
//   monitor's settings file ([NCID], [MQTT]; [Web] is read by the caller, see WebPage.h):
//   "" or why one cannot start (then none of them runs). The NCID server's clients get the
//   stored calls of the history when one is kept, and so does the web page.
// - SetLineState tells the web page and the view a state the front end decided (watching
//   after a start, stopped after a stop).
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
  void OpenHistory(THistoryWriter::TMessage Messages);
  const TMonitorHistory* History() const;
  // Lines: the lines watched (the MQTT instance's default name comes from them); Files and
  // Country those of the call screen, which must outlive the hub.
  std::string Start(const THubOptions& Options, const std::vector<std::string>& Lines,
                    const TScreenFiles& Files, const TCountryRule& Country);
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
  // Before the outlets that read it, so that it goes after them.
  std::unique_ptr<TMonitorHistory> FHistory;
  TNetworkOutlets FNetwork;
  TWebPage FWeb;
  std::vector<std::unique_ptr<TAttached>> FAttached;
};
