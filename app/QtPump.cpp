// The bridge between the core's message queue and Qt's loop.
#include "app/QtPump.h"

#include "common/OoMisc.h"
#include "platform/Messages.h"

#include <QCoreApplication>
#include <QSocketNotifier>

namespace {

int CorePumpDepth = 0;

void LetQtRun() {
  // Core waits pump through here: let Qt paint and run timers, but hold user input back
  // until the wait is over, and leave the queue to the wait itself.
  ++CorePumpDepth;
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                  QEventLoop::ExcludeSocketNotifiers);
  --CorePumpDepth;
}

} // namespace

TQtPump::TQtPump(QObject* Parent) : QObject(Parent) {
  FNotifier = new QSocketNotifier(static_cast<qintptr>(Platform::QueueWakeDescriptor()),
                                  QSocketNotifier::Read, this);
  connect(FNotifier, &QSocketNotifier::activated, this, [this] { Drain(); });
  FPreviousHook = SetYieldHook(LetQtRun);
}

TQtPump::~TQtPump() {
  SetYieldHook(FPreviousHook);
}

void TQtPump::Drain() {
  FNotifier->setEnabled(false);
  GuardedHandler([] {
    while (SafeYield()) {
    }
  });
  FNotifier->setEnabled(true);
}

bool TQtPump::InCorePump() {
  return CorePumpDepth > 0;
}
