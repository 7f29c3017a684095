// QtPump: joins the main thread's message queue and Qt's event loop.
//
// Contract:
// - While a TQtPump exists, the queue is drained from Qt's loop whenever its wake descriptor
//   becomes readable, and every pump step inside the core (its waits) lets Qt process its
//   pending events except user input and socket notices, so the window repaints and timers
//   run while the core waits.
// - InCorePump() tells whether Qt code is running from inside such a core pump step; work
//   that would re-enter the core (a timer's re-arm) waits until it is false.
// - One per thread; main thread only.
#pragma once

#include <QObject>

class QSocketNotifier;

class TQtPump : public QObject {
  Q_OBJECT
public:
  explicit TQtPump(QObject* Parent = nullptr);
  ~TQtPump() override;

  // Runs every message waiting in the queue now.
  void Drain();
  static bool InCorePump();

private:
  QSocketNotifier* FNotifier = nullptr;
  void (*FPreviousHook)() = nullptr;
};

// Runs Body; an exception goes to the application's exception handler instead of Qt.
template <class F> void GuardedHandler(F&& Body);
#include "app/QtPumpGuard.h"
