// Answers the modal dialogs a test provokes: every few milliseconds it looks for the active
// modal widget, records what it showed and lets the test's action close it. A dialog that is
// still open when the watcher's limit has passed (an action that did not close it, a kind of
// dialog nobody expected) is closed by the watcher and becomes a test failure, so a test never
// hangs in a modal loop.
#pragma once

#include "AppTestSupport.h"
#include "app/AdSelCom.h"
#include "app/AdTSel.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QInputDialog>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace AppTest {

struct TSeenDialog {
  std::string Kind; // "message", "device", "port" or "input"
  std::string Title;
  std::string Text;
  QMessageBox::Icon Icon = QMessageBox::NoIcon;
  int ButtonCount = 0;
  std::vector<std::string> Entries; // the list of the device or port dialog
  std::string Current;              // its preselected entry, or the input's proposed text
};

class TModalWatcher {
public:
  // What to do with a device dialog: by default OK on the preselected entry.
  std::function<void(TDeviceSelectionForm&)> OnDevice = [](TDeviceSelectionForm& Form) {
    Form.dsfOkBitBtn->click();
  };
  // What to do with a port dialog: by default OK on the preselected port.
  std::function<void(TComSelectForm&)> OnPort = [](TComSelectForm& Form) { Form.OkBtn->click(); };
  // What to do with a text input dialog: by default OK on the proposed text.
  std::function<void(QInputDialog&)> OnInput = [](QInputDialog& Dialog) { Dialog.accept(); };

  explicit TModalWatcher(int LimitMs = GenerousMs) : FLimitMs(LimitMs) {
    QObject::connect(&FTimer, &QTimer::timeout, [this] { Look(); });
    FTimer.start(20);
  }

  // Dialogs the watcher had to close are failures, unless the test took them.
  ~TModalWatcher() {
    for (const std::string& Title : FStuck)
      ADD_FAILURE() << "the modal dialog \"" << Title << "\" was still open after " << FLimitMs
                    << " ms; the watcher closed it";
  }

  TModalWatcher(const TModalWatcher&) = delete;
  TModalWatcher& operator=(const TModalWatcher&) = delete;

  const std::vector<TSeenDialog>& Seen() const { return FSeen; }

  // The titles of the dialogs the watcher closed itself, for a test that expects them.
  std::vector<std::string> TakeStuck() { return std::move(FStuck); }

private:
  void Look() {
    QWidget* Modal = QApplication::activeModalWidget();
    if (Modal != FCurrent) {
      FCurrent = Modal;
      FOpenSince.start();
    }
    if (Modal == nullptr)
      return;
    if (FOpenSince.elapsed() > FLimitMs) {
      CloseStuck(*Modal);
      return;
    }
    // A dialog on the stack can reuse an address, so the mark is kept on the widget itself.
    if (Modal->property("ringletSeen").toBool())
      return;
    Modal->setProperty("ringletSeen", true);
    if (auto* Box = qobject_cast<QMessageBox*>(Modal))
      AnswerMessage(*Box);
    else if (auto* Form = qobject_cast<TDeviceSelectionForm*>(Modal))
      AnswerDevice(*Form);
    else if (auto* Ports = qobject_cast<TComSelectForm*>(Modal))
      AnswerPort(*Ports);
    else if (auto* Input = qobject_cast<QInputDialog*>(Modal))
      AnswerInput(*Input);
  }

  void CloseStuck(QWidget& Modal) {
    FStuck.push_back(Modal.windowTitle().toStdString());
    FCurrent = nullptr;
    if (auto* Dialog = qobject_cast<QDialog*>(&Modal))
      Dialog->reject();
    else
      Modal.close();
  }

  void AnswerMessage(QMessageBox& Box) {
    FSeen.push_back({"message",
                     Box.windowTitle().toStdString(),
                     Box.text().toStdString(),
                     Box.icon(),
                     static_cast<int>(Box.buttons().size()),
                     {},
                     {}});
    QTimer::singleShot(0, &Box, [&Box] { Box.buttons().front()->click(); });
  }

  void AnswerDevice(TDeviceSelectionForm& Form) {
    FSeen.push_back({"device",
                     Form.windowTitle().toStdString(),
                     {},
                     QMessageBox::NoIcon,
                     0,
                     Form.Entries(),
                     Form.dsfComboBox->currentText().toStdString()});
    QTimer::singleShot(0, &Form, [this, &Form] {
      OnDevice(Form);
      // The same dialog object may be shown again later.
      Form.setProperty("ringletSeen", false);
    });
  }

  void AnswerPort(TComSelectForm& Form) {
    TSeenDialog Seen{"port", Form.windowTitle().toStdString(), {}, QMessageBox::NoIcon, 0, {}, {}};
    for (int I = 0; I < Form.PortsComboBox->count(); ++I)
      Seen.Entries.push_back(Form.PortsComboBox->itemText(I).toStdString());
    Seen.Current = Form.PortsComboBox->currentText().toStdString();
    FSeen.push_back(Seen);
    QTimer::singleShot(0, &Form, [this, &Form] {
      OnPort(Form);
      Form.setProperty("ringletSeen", false);
    });
  }

  void AnswerInput(QInputDialog& Dialog) {
    FSeen.push_back({"input",
                     Dialog.windowTitle().toStdString(),
                     Dialog.labelText().toStdString(),
                     QMessageBox::NoIcon,
                     0,
                     {},
                     Dialog.textValue().toStdString()});
    QTimer::singleShot(0, &Dialog, [this, &Dialog] { OnInput(Dialog); });
  }

  int FLimitMs;
  QTimer FTimer;
  QPointer<QWidget> FCurrent;
  QElapsedTimer FOpenSince;
  std::vector<TSeenDialog> FSeen;
  std::vector<std::string> FStuck;
};

} // namespace AppTest
