// The device selection dialog.
#include "app/AdTSel.h"

#include "port/AdSelCom.h"
#include "tapi/AdTUtil.h"

#include <QApplication>
#include <QComboBox>
#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>

#include <cstdlib>
#include <strings.h>

namespace {

void IgnoreLineMessages(DWORD, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

constexpr DWORD DialogApiVersion = 0x00010004;

} // namespace

TDeviceSelectionForm::TDeviceSelectionForm(QWidget* Parent) : QDialog(Parent) {
  setWindowTitle("Device Selection");
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  QFont Font("MS Sans Serif");
  Font.setPixelSize(11);
  setFont(Font);
  setFixedSize(226, 75);

  dsfComboBox = new QComboBox(this);
  dsfComboBox->setObjectName("dsfComboBox");
  dsfComboBox->setEditable(false);
  dsfComboBox->setGeometry(8, 8, 209, dsfComboBox->sizeHint().height());

  dsfOkBitBtn = new QPushButton("OK", this);
  dsfOkBitBtn->setObjectName("dsfOkBitBtn");
  dsfOkBitBtn->setGeometry(56, 40, 75, 27);
  dsfOkBitBtn->setDefault(true);
  dsfOkBitBtn->setAutoDefault(true);

  dsfCancelBitBtn = new QPushButton("Cancel", this);
  dsfCancelBitBtn->setObjectName("dsfCancelBitBtn");
  dsfCancelBitBtn->setGeometry(140, 40, 75, 27);

  setTabOrder(dsfOkBitBtn, dsfCancelBitBtn);
  setTabOrder(dsfCancelBitBtn, dsfComboBox);
  dsfOkBitBtn->setFocus();

  connect(dsfOkBitBtn, &QPushButton::clicked, this, [this] { OkClick(); });
  // Escape and the close box reject the dialog as well.
  connect(dsfCancelBitBtn, &QPushButton::clicked, this, [this] { done(2); });
}

TDeviceSelectionForm::~TDeviceSelectionForm() = default;

void TDeviceSelectionForm::showEvent(QShowEvent* Event) {
  QDialog::showEvent(Event);
  if (Event->spontaneous())
    return;
  if (!FFilled) {
    FFilled = true;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    FillList();
    QApplication::restoreOverrideCursor();
    dsfComboBox->clear();
    for (const std::string& Entry : FEntries)
      dsfComboBox->addItem(QString::fromLocal8Bit(Entry.c_str()));
  }
  const std::string Wanted = TapiMode == tmOff
                                 ? std::string(DirectToComPrefix) + std::to_string(ComNumber)
                                 : SelectedDevice;
  int Index = 0;
  for (size_t I = 0; I < FEntries.size(); ++I) {
    if (strcasecmp(FEntries[I].c_str(), Wanted.c_str()) == 0) {
      Index = static_cast<int>(I);
      break;
    }
  }
  if (!FEntries.empty())
    dsfComboBox->setCurrentIndex(Index);
  if (QScreen* Screen = QGuiApplication::primaryScreen())
    move(Screen->availableGeometry().center() - rect().center());
  dsfOkBitBtn->setFocus();
}

void TDeviceSelectionForm::FillList() {
  ++FFillCount;
  FEntries.clear();
  if (ShowTapiDevices)
    FillTapiLines();
  if (ShowPorts && !(FilterUnsupportedDevices && EnableVoice))
    FillPorts();
}

void TDeviceSelectionForm::FillTapiLines() {
  HLINEAPP App = 0;
  DWORD Count = 0;
  if (tuLineInitialize(&App, nullptr, IgnoreLineMessages, "", &Count) == 0) {
    for (DWORD ID = 0; ID < Count; ++ID) {
      DWORD Version = 0;
      LINEEXTENSIONID Extension{};
      if (tuLineNegotiateAPIVersion(App, ID, DialogApiVersion, DialogApiVersion, &Version,
                                    &Extension) != 0)
        continue;
      TTapiRecord<LINEDEVCAPS> Caps;
      if (tuLineGetDevCaps(App, ID, Version, 0, Caps) != 0 || !Caps)
        continue;
      // The checked reader stops at the terminating zero the name's size counts.
      const std::string Name = TapiRecordText(Caps.Get(), Caps.AllocatedSize(),
                                              Caps->dwLineNameSize, Caps->dwLineNameOffset);
      if (FilterUnsupportedDevices) {
        bool Passes = (Caps->dwMediaModes & LINEMEDIAMODE_DATAMODEM) != 0;
        // There are no wave devices behind these lines, so a line without the data-modem
        // mode never passes the voice test.
        if ((Caps->dwLineFeatures & LINEFEATURE_MAKECALL) == 0)
          Passes = false;
        if (!Passes)
          continue;
      }
      if (!Name.empty())
        FEntries.push_back(Name);
    }
  }
  tuLineShutdown(App);
}

void TDeviceSelectionForm::FillPorts() {
  for (int Number = 1; Number <= MaxSelectablePort; ++Number) {
    if (IsPortAvailable(Number))
      FEntries.push_back(std::string(DirectToComPrefix) + std::to_string(Number));
    QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  }
}

void TDeviceSelectionForm::OkClick() {
  const int Index = dsfComboBox->currentIndex();
  if (Index < 0 || Index >= static_cast<int>(FEntries.size())) {
    done(2); // nothing to take
    return;
  }
  SelectedDevice = FEntries[static_cast<size_t>(Index)];
  const size_t Prefix = SelectedDevice.find(DirectToComPrefix);
  if (Prefix != std::string::npos) {
    TapiMode = tmOff;
    ComNumber = static_cast<uint16_t>(std::atoi(SelectedDevice.c_str() + 13));
  } else {
    TapiMode = tmAuto;
    ComNumber = 0;
  }
  done(1);
}

TDeviceChooserResult TQtDeviceChooser::Choose(const TDeviceChooserRequest& Request) {
  TDeviceSelectionForm Form(QApplication::activeWindow());
  Form.ShowTapiDevices = Request.ShowTapiDevices;
  Form.ShowPorts = Request.ShowPorts;
  Form.FilterUnsupportedDevices = Request.FilterUnsupportedDevices;
  Form.EnableVoice = Request.EnableVoice;
  Form.TapiMode = Request.TapiMode == tmOff ? tmOff : tmAuto;
  Form.ComNumber = Request.ComNumber;
  Form.SelectedDevice = Request.SelectedDevice;
  TDeviceChooserResult Result;
  Result.ModalResult = Form.exec() == 1 ? 1 : 2;
  if (Result.ModalResult == 1) {
    Result.TapiMode = Form.TapiMode;
    Result.ComNumber = Form.ComNumber;
    Result.SelectedDevice = Form.SelectedDevice;
  }
  return Result;
}
