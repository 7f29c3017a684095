// AdTSel: the device selection dialog and the chooser through which the line device
// component opens it.
//
// Contract:
// - The caller sets the public fields, shows the dialog modally and reads them back. The
//   list is filled the first time the dialog is shown and kept for later showings: the
//   telephony lines in device order (with FilterUnsupportedDevices, only lines that can
//   make data calls), then "Direct to COM<n>" for every present port 1..50 when ShowPorts.
// - Preselection: "Direct to COM" + ComNumber when TapiMode is tmOff, else the entry equal to
//   SelectedDevice (case-insensitive); the first entry when nothing matches.
// - OK takes the selected entry: a "Direct to COM" entry gives TapiMode tmOff and its number,
//   a line gives tmAuto and ComNumber 0. OK with an empty list, Cancel, Escape and the close
//   box all give modal result 2.
// - TQtDeviceChooser is the chooser the program installs for the line device component.
#pragma once

#include "port/AdPort.h"
#include "tapi/AdTapi.h"

#include <QDialog>

#include <cstdint>
#include <string>
#include <vector>

class QComboBox;
class QPushButton;

inline constexpr const char* DirectToComPrefix = "Direct to COM";

class TDeviceSelectionForm : public QDialog {
  Q_OBJECT
public:
  explicit TDeviceSelectionForm(QWidget* Parent = nullptr);
  ~TDeviceSelectionForm() override;

  bool ShowTapiDevices = false;
  bool ShowPorts = false;
  bool FilterUnsupportedDevices = false;
  bool EnableVoice = false;
  TTapiMode TapiMode = tmAuto;
  uint16_t ComNumber = 0;
  std::string SelectedDevice;

  QComboBox* dsfComboBox = nullptr;
  QPushButton* dsfOkBitBtn = nullptr;
  QPushButton* dsfCancelBitBtn = nullptr;

  // The entries found by the fill, and how often the dialog has filled its list.
  const std::vector<std::string>& Entries() const { return FEntries; }
  int FillCount() const { return FFillCount; }

public:
  // Escape and the close box: modal result 2, like Cancel.
  void reject() override { done(2); }

protected:
  void showEvent(QShowEvent* Event) override;

private:
  void FillList();
  void FillTapiLines();
  void FillPorts();
  void OkClick();

  std::vector<std::string> FEntries;
  bool FFilled = false;
  int FFillCount = 0;
};

class TQtDeviceChooser : public TDeviceChooser {
public:
  TDeviceChooserResult Choose(const TDeviceChooserRequest& Request) override;
};
