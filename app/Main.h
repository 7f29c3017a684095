// Main: the program's window, TfrmMain. It lists one row per incoming call (date and time,
// number, name) and lets the user pick the line, start and stop monitoring and exit.
//
// Contract:
// - The window owns its form description (TCallMonitor: PhoneCom, Phone, IniSettings, created
//   in that order while loading) and builds its controls at the sizes and places of the
//   form; FormCreate then loads the remembered device name into the device box, or, when
//   nothing is remembered and exactly one line is configured, that line's name.
// - States: Idle (Start enabled, Stop disabled) and Monitoring (the reverse). Start with an
//   empty device box only shows "A TAPI device has not been selected."; otherwise it chooses
//   the line (which may open the selection dialog; cancelled, the window stays Idle) and
//   enters Monitoring at once while the line is set up in the background (TCallMonitor::
//   Begin): the window goes on answering, and Stop gives the set-up up. A set-up that fails
//   puts the window back to Idle and hands the failure to the application's exception
//   handler, as a failing start always did. Closing the window stops the device and then
//   saves the device box text.
// - With a history (CallHistory), FormCreate opens it in the hub and shows its latest calls
//   in a muted colour above a separator row; the calls of this run follow below it, each one
//   scrolled into view. The history's messages are shown in message boxes.
// - Every handler hands its exceptions to the application's exception handler; none crosses
//   Qt. The main thread's queue is drained from Qt's loop while the window exists; a timer
//   carries out the monitor's re-arms, never while a modal dialog is open (its loop may run
//   inside a call into Phone): the re-arm follows once the dialog has closed.
// - Calls go through the call screen (app/Screening.h), made by FormCreate from the settings
//   file. A blocked call's row has BlockedMarker after its name and grey text. A row's context
//   menu (CallMenu) offers "Add to contacts…" (the name asked, the network's name proposed)
//   and "Block this number"; both are disabled for a row without a number, and a failure to
//   write the file is shown in a message box.
// - The window is the view of its outlet hub (app/OutletHub.h): StartOutlets starts what
//   the options and settings ask for - the NCID server, the MQTT publisher, the web page,
//   the desktop notifications (on unless turned off) - for the window's life. The outlets get
//   every call and the line's state: watching once Start's set-up succeeded, stopped after
//   Stop and on
//   closing, lost and back as the monitor tells; a lost line shows a message box.
#pragma once

#include "app/Monitor.h"
#include "app/OutletHub.h"
#include "app/Screening.h"
#include "app/WebPage.h"

#include <QWidget>

#include <exception>
#include <memory>
#include <string>
#include <vector>

class QLabel;
class QMenu;
class QTreeWidgetItem;
class QLineEdit;
class QAction;
class QPushButton;
class QTreeWidget;
class QTimer;
class TQtPump;

// A label painted rotated by 90 degrees, reading upwards.
class TRotatedLabel : public QWidget {
  Q_OBJECT
public:
  explicit TRotatedLabel(const QString& Caption, QWidget* Parent = nullptr);
  QString Caption() const { return FCaption; }

protected:
  void paintEvent(QPaintEvent* Event) override;

private:
  QString FCaption;
};

// The program's logo, 128 x 128.
QPixmap RingletLogo();

class TfrmMain : public QWidget, private TFrontView {
  Q_OBJECT
public:
  explicit TfrmMain(QWidget* Parent = nullptr);
  ~TfrmMain() override;

  TCallMonitor* Form() const { return FForm.get(); }
  TApdComPort* PhoneCom() const { return FForm->PhoneCom(); }
  TApdTapiDevice* Phone() const { return FForm->Phone(); }
  TRzRegIniFile* IniSettings() const { return FForm->IniSettings(); }
  TCallScreen* Screen() const { return FScreen.get(); }
  // Whether blocked calls are picked up and put down (--no-block: false); kept across
  // FormCreate.
  void SetBlocking(bool Value);
  // Starts the outlets (after FormCreate, which opens the hub's history): "" or why one
  // cannot start. StartWebPage starts the web page alone, without notifications.
  std::string StartOutlets(const THubOptions& Options);
  std::string StartWebPage(const TWebOptions& Options);
  TWebPage* WebPage() const; // nullptr when the page is not served
  TOutletHub& Hub() const { return *FHub; }

  QLabel* NxGlyph1 = nullptr;
  QLabel* RzLabel1 = nullptr;
  QLineEdit* edtTAPIDevice = nullptr;
  QAction* edtTAPIDeviceButton = nullptr;
  QTreeWidget* lvwCallerID = nullptr;
  QPushButton* btnStart = nullptr;
  QPushButton* btnStop = nullptr;
  QPushButton* btnExit = nullptr;
  TRotatedLabel* RzLabel2 = nullptr;

  // The handlers, as the controls call them.
  void FormCreate();
  void edtTAPIDeviceButtonClick();
  void btnStartClick();
  void btnStopClick();
  void btnExitClick();
  void FormClose();
  // The context menu of a row, owned by the caller.
  QMenu* CallMenu(QTreeWidgetItem* Item);
  void AddToContacts(QTreeWidgetItem* Item);
  void BlockNumber(QTreeWidgetItem* Item);

protected:
  void closeEvent(QCloseEvent* Event) override;

private:
  void BuildControls();
  void AddCallRow(const TCallRecord& Record);
  // The row of a call of this run with that key, nullptr when it is not listed.
  QTreeWidgetItem* LiveRow(uint64_t CallKey) const;
  void OpenHistory();
  void ShowEarlierCalls(const std::vector<TCallRecord>& Calls);
  void ShowHistoryMessage(const QString& Text);
  void LoadSettings();
  void SaveSettings();
  void TellMonitoring(bool Monitoring);
  // The outcome of Start's set-up: nullptr when the line answers.
  void LineStarted(const std::exception_ptr& Failure);
  void ShowCall(const TCallRecord& Call) override;
  void ShowLineState(const TLineReport& Report) override;

  std::unique_ptr<TCallMonitor> FForm;
  std::unique_ptr<TCallScreen> FScreen;
  std::unique_ptr<TOutletHub> FHub;
  bool FBlocking = true;
  TQtPump* FPump = nullptr;
  QTimer* FRearmTimer = nullptr;
};

inline constexpr const char* NoDeviceMessage = "A TAPI device has not been selected.";
inline constexpr const char* AddContactCaption = "Add to contacts\u2026";
inline constexpr const char* BlockNumberCaption = "Block this number";
inline constexpr const char* PublisherNotice = "Ringlet - free caller ID for Linux";
