// Answers the modal dialogs a test provokes: every few milliseconds it looks for the active
// modal widget, records what it showed and lets the test's action close it.
#pragma once

#include "app/AdTSel.h"

#include <QApplication>
#include <QComboBox>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <functional>
#include <string>
#include <vector>

namespace AppTest {

struct TSeenDialog {
  std::string Kind; // "message", "device" or "input"
  std::string Title;
  std::string Text;
  QMessageBox::Icon Icon = QMessageBox::NoIcon;
  int ButtonCount = 0;
  std::vector<std::string> Entries; // the device dialog's list
  std::string Current;              // its preselected entry, or the input's proposed text
};

class TModalWatcher {
public:
  // What to do with a device dialog: the entry to pick ("" cancels), by default OK on the
  // preselected one.
  std::function<void(TDeviceSelectionForm&)> OnDevice = [](TDeviceSelectionForm& Form) {
    Form.dsfOkBitBtn->click();
  };

  // What to do with a text input dialog: by default OK on the proposed text.
  std::function<void(QInputDialog&)> OnInput = [](QInputDialog& Dialog) { Dialog.accept(); };

  TModalWatcher() {
    QObject::connect(&FTimer, &QTimer::timeout, [this] { Look(); });
    FTimer.start(20);
  }

  const std::vector<TSeenDialog>& Seen() const { return FSeen; }

private:
  void Look() {
    QWidget* Modal = QApplication::activeModalWidget();
    // A dialog on the stack can reuse an address, so the mark is kept on the widget itself.
    if (Modal == nullptr || Modal->property("ringletSeen").toBool())
      return;
    if (auto* Box = qobject_cast<QMessageBox*>(Modal)) {
      Modal->setProperty("ringletSeen", true);
      TSeenDialog Seen{
          "message",   Box->windowTitle().toStdString(),        Box->text().toStdString(),
          Box->icon(), static_cast<int>(Box->buttons().size()), {},
          {}};
      FSeen.push_back(Seen);
      QTimer::singleShot(0, Box, [Box] { Box->buttons().front()->click(); });
    } else if (auto* Input = qobject_cast<QInputDialog*>(Modal)) {
      Modal->setProperty("ringletSeen", true);
      TSeenDialog Seen{"input",
                       Input->windowTitle().toStdString(),
                       Input->labelText().toStdString(),
                       QMessageBox::NoIcon,
                       0,
                       {},
                       Input->textValue().toStdString()};
      FSeen.push_back(Seen);
      QTimer::singleShot(0, Input, [this, Input] { OnInput(*Input); });
    } else if (auto* Form = qobject_cast<TDeviceSelectionForm*>(Modal)) {
      Modal->setProperty("ringletSeen", true);
      TSeenDialog Seen{"device",
                       Form->windowTitle().toStdString(),
                       {},
                       QMessageBox::NoIcon,
                       0,
                       Form->Entries(),
                       Form->dsfComboBox->currentText().toStdString()};
      FSeen.push_back(Seen);
      QTimer::singleShot(0, Form, [this, Form] {
        OnDevice(*Form);
        // The same dialog object may be shown again later.
        Form->setProperty("ringletSeen", false);
      });
    }
  }

  QTimer FTimer;
  std::vector<TSeenDialog> FSeen;
};

} // namespace AppTest
