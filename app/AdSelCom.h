// AdSelCom (dialog): the port selection dialog the port component shows when it is to open
// without a configured port.
//
// Contract:
// - On creation the list holds "COM<n>" for every present port 1..50 in ascending order
//   (the probe of port/AdSelCom.h; a port another program holds is listed) and the first
//   item is selected.
// - OK ends the dialog with modal result 1, Cancel with 3, Escape and the close box with 2.
// - SelectedPort() is the number of the selected item; with no item selected it raises
//   ENoPortSelected (-2011), the failure the port component reports for a cancelled choice.
// - TQtPortChooser is the port chooser the program installs for the port component: it shows
//   the dialog modally and hands back the chosen port on OK.
#pragma once

#include "port/AdPort.h"

#include <QDialog>

class QComboBox;
class QFrame;
class QLabel;
class QPushButton;

class TComSelectForm : public QDialog {
  Q_OBJECT
public:
  explicit TComSelectForm(QWidget* Parent = nullptr);
  ~TComSelectForm() override;

  int SelectedPort() const;

  // Escape and the close box: modal result 2 (cancel).
  void reject() override { done(2); }

  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QFrame* Bevel1 = nullptr;
  QPushButton* OkBtn = nullptr;
  QPushButton* AbortBtn = nullptr;
  QComboBox* PortsComboBox = nullptr;

protected:
  void showEvent(QShowEvent* Event) override;

private:
  void FormCreate();
};

class TQtPortChooser : public TPortChooser {
public:
  int Choose(uint16_t& ComNumber) override;
};
