// The port selection dialog.
#include "app/AdSelCom.h"

#include "common/AdExcept.h"
#include "port/AdSelCom.h"

#include <QComboBox>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>

TComSelectForm::TComSelectForm(QWidget* Parent) : QDialog(Parent) {
  setObjectName("ComSelectForm");
  setWindowTitle("Select Port");
  // A dialog frame with the system menu only: no minimise, maximise or help buttons.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  QFont Font("MS Sans Serif");
  Font.setPixelSize(11);
  setFont(Font);
  QPalette Colours = palette();
  Colours.setColor(QPalette::WindowText, Qt::black);
  setPalette(Colours);
  setFixedSize(220, 131);

  Bevel1 = new QFrame(this);
  Bevel1->setObjectName("Bevel1");
  Bevel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
  Bevel1->setGeometry(8, 8, 201, 42);

  Label1 = new QLabel("The configured serial port is not valid.", this);
  Label1->setObjectName("Label1");
  Label1->setGeometry(18, 14, 176, 13);

  Label2 = new QLabel("Please choose another port.", this);
  Label2->setObjectName("Label2");
  Label2->setGeometry(18, 30, 133, 13);

  OkBtn = new QPushButton("OK", this);
  OkBtn->setObjectName("OkBtn");
  OkBtn->setGeometry(8, 95, 85, 27);
  OkBtn->setDefault(true);
  OkBtn->setAutoDefault(true);

  AbortBtn = new QPushButton("Cancel", this);
  AbortBtn->setObjectName("AbortBtn");
  AbortBtn->setGeometry(124, 95, 85, 27);

  PortsComboBox = new QComboBox(this);
  PortsComboBox->setObjectName("PortsComboBox");
  PortsComboBox->setEditable(false);
  PortsComboBox->setGeometry(8, 64, 201, 21);

  setTabOrder(OkBtn, AbortBtn);
  setTabOrder(AbortBtn, PortsComboBox);
  OkBtn->setFocus();

  connect(OkBtn, &QPushButton::clicked, this, [this] { done(1); });
  connect(AbortBtn, &QPushButton::clicked, this, [this] { done(3); });

  FormCreate();
}

TComSelectForm::~TComSelectForm() = default;

void TComSelectForm::FormCreate() {
  for (const std::string& Port : AvailablePorts()) {
    PortsComboBox->addItem(QString::fromLatin1(Port.c_str()));
  }
  PortsComboBox->setCurrentIndex(PortsComboBox->count() > 0 ? 0 : -1);
}

int TComSelectForm::SelectedPort() const {
  if (PortsComboBox->currentIndex() < 0) {
    throw ENoPortSelected(ecNoPortSelected);
  }
  return PortsComboBox->currentText().mid(3).toInt();
}

void TComSelectForm::showEvent(QShowEvent* Event) {
  QDialog::showEvent(Event);
  if (!Event->spontaneous()) {
    if (QScreen* Screen = QGuiApplication::primaryScreen()) {
      move(Screen->availableGeometry().center() - rect().center());
    }
  }
}

int TQtPortChooser::Choose(uint16_t& ComNumber) {
  TComSelectForm Form;
  const int Result = Form.exec();
  if (Result == 1) {
    ComNumber = static_cast<uint16_t>(Form.SelectedPort());
  }
  return Result;
}
