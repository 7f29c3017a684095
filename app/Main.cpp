// The main window.
#include "app/Main.h"

#include "app/QtPump.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMetaObject>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QTreeWidget>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

namespace {

// TColor values are 0x00BBGGRR.
QColor FromTColor(uint32_t Value) {
  return QColor(static_cast<int>(Value & 0xFF), static_cast<int>((Value >> 8) & 0xFF),
                static_cast<int>((Value >> 16) & 0xFF));
}

constexpr uint32_t ButtonFace = 15791348;
constexpr uint32_t ButtonFrame = 7617536;
// The default size of a push button of the form.
// The CallKey of a row added by this run's monitor (rows from the history have none).
constexpr int LiveCallKeyRole = Qt::UserRole + 2;

constexpr int ButtonWidth = 75;
constexpr int ButtonHeight = 25;

QFont FormFont() {
  // The form's face rarely exists here; a condensed sans keeps the 120-pixel columns wide
  // enough for "dd/mm/yyyy  hh:mm:ss", as the narrow original face did.
  QFont::insertSubstitutions("MS Sans Serif", {"DejaVu Sans Condensed", "Liberation Sans Narrow",
                                               "Liberation Sans", "Arial"});
  QFont Font("MS Sans Serif");
  Font.setPixelSize(11);
  return Font;
}

QIcon EllipsisIcon() {
  QPixmap Pixmap(16, 16);
  Pixmap.fill(Qt::transparent);
  QPainter Painter(&Pixmap);
  Painter.setBrush(Qt::black);
  for (int X : {3, 7, 11})
    Painter.drawRect(X, 10, 1, 1);
  return QIcon(Pixmap);
}

} // namespace

TRotatedLabel::TRotatedLabel(const QString& Caption, QWidget* Parent)
    : QWidget(Parent), FCaption(Caption) {
  QFont Font("Verdana");
  Font.setPixelSize(11);
  setFont(Font);
}

void TRotatedLabel::paintEvent(QPaintEvent*) {
  QPainter Painter(this);
  Painter.setPen(Qt::gray);
  Painter.setFont(font());
  // Reading upwards: turn the text a quarter to the left around the bottom left corner.
  Painter.translate(0, height());
  Painter.rotate(-90);
  Painter.drawText(QRect(0, 0, height(), width()), Qt::AlignLeft | Qt::AlignVCenter, FCaption);
}

QPixmap RingletLogo() {
  QPixmap Pixmap(128, 128);
  Pixmap.fill(Qt::white);
  QPainter Painter(&Pixmap);
  Painter.setRenderHint(QPainter::Antialiasing);
  QLinearGradient Back(0, 0, 128, 128);
  Back.setColorAt(0, QColor(0x2E, 0x7D, 0xC8));
  Back.setColorAt(1, QColor(0x0B, 0x3C, 0x74));
  Painter.setBrush(Back);
  Painter.setPen(Qt::NoPen);
  Painter.drawEllipse(QRectF(14, 14, 100, 100));
  // A handset: two ear pieces joined by a bow.
  QPainterPath Handset;
  Handset.moveTo(40, 80);
  Handset.cubicTo(36, 60, 48, 44, 70, 38);
  Handset.lineTo(76, 48);
  Handset.cubicTo(60, 54, 54, 64, 56, 76);
  Handset.closeSubpath();
  Painter.setBrush(Qt::white);
  Painter.drawPath(Handset);
  Painter.drawRoundedRect(QRectF(32, 74, 26, 14), 5, 5);
  Painter.drawRoundedRect(QRectF(64, 32, 14, 24), 5, 5);
  // Rings going out.
  QPen Ring(Qt::white, 4, Qt::SolidLine, Qt::RoundCap);
  Painter.setPen(Ring);
  Painter.setBrush(Qt::NoBrush);
  for (int R : {14, 24})
    Painter.drawArc(QRectF(78 - R, 70 - R, 2 * R, 2 * R), -60 * 16, 80 * 16);
  return Pixmap;
}

TfrmMain::TfrmMain(QWidget* Parent) : QWidget(Parent) {
  setObjectName("frmMain");
  setWindowTitle("Ringlet");
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setFont(FormFont());
  setFixedSize(729, 418);
  QPalette Palette = palette();
  Palette.setColor(QPalette::Window, Qt::white);
  setPalette(Palette);
  setAutoFillBackground(true);

  // The form description: its components first, then the controls, then the create handler.
  FPump = new TQtPump(this);
  FForm = std::make_unique<TCallMonitor>();
  FHub = std::make_unique<TOutletHub>(static_cast<TFrontView&>(*this));
  FHub->Attach(*FForm);
  FForm->OnStarted = [this](const std::exception_ptr& Failure) { LineStarted(Failure); };
  BuildControls();

  FRearmTimer = new QTimer(this);
  FRearmTimer->setObjectName("RearmTimer");
  FRearmTimer->setInterval(250);
  // A modal dialog's loop may run inside a call into Phone (the device or port selection):
  // the re-arm waits until the dialog has closed and the loop is the window's own again.
  connect(FRearmTimer, &QTimer::timeout, this, [this] {
    if (!TQtPump::InCorePump() && QApplication::activeModalWidget() == nullptr)
      GuardedHandler([this] { FForm->Poll(); });
  });
  FRearmTimer->start();

  if (QScreen* Screen = QGuiApplication::primaryScreen())
    move(Screen->availableGeometry().center() - rect().center());
  GuardedHandler([this] { FormCreate(); });
}

TfrmMain::~TfrmMain() {
  FRearmTimer->stop();
  // The outlets (the history's writer among them) go first: they are the monitor's outlets
  // and may still call back.
  FHub.reset();
  // The components go before the pump that serves their queue.
  FForm.reset();
}

void TfrmMain::BuildControls() {
  NxGlyph1 = new QLabel(this);
  NxGlyph1->setObjectName("NxGlyph1");
  NxGlyph1->setPixmap(RingletLogo());
  NxGlyph1->setGeometry(-10, 9, 128, 128);

  RzLabel1 = new QLabel("TAPI Device:", this);
  RzLabel1->setObjectName("RzLabel1");
  RzLabel1->setGeometry(128, 13, 64, 13);

  edtTAPIDevice = new QLineEdit(this);
  edtTAPIDevice->setObjectName("edtTAPIDevice");
  edtTAPIDevice->setGeometry(200, 10, 441, 21);
  edtTAPIDevice->setReadOnly(true);
  edtTAPIDeviceButton = edtTAPIDevice->addAction(EllipsisIcon(), QLineEdit::TrailingPosition);
  edtTAPIDeviceButton->setObjectName("edtTAPIDeviceButton");
  edtTAPIDeviceButton->setToolTip("Choose the line");
  connect(edtTAPIDeviceButton, &QAction::triggered, this,
          [this] { GuardedHandler([this] { edtTAPIDeviceButtonClick(); }); });

  lvwCallerID = new QTreeWidget(this);
  lvwCallerID->setObjectName("lvwCallerID");
  lvwCallerID->setGeometry(128, 40, 513, 369);
  lvwCallerID->setColumnCount(3);
  lvwCallerID->setHeaderLabels({"Date", "ID", "ID Name"});
  lvwCallerID->setColumnWidth(0, 120);
  lvwCallerID->setColumnWidth(1, 120);
  lvwCallerID->setColumnWidth(2, 252);
  lvwCallerID->setRootIsDecorated(false);
  lvwCallerID->setItemsExpandable(false);
  lvwCallerID->setUniformRowHeights(true);
  lvwCallerID->setEditTriggers(QAbstractItemView::NoEditTriggers);
  lvwCallerID->setSortingEnabled(false);
  lvwCallerID->header()->setSectionsClickable(false);
  lvwCallerID->header()->setSectionsMovable(false);
  lvwCallerID->header()->setStretchLastSection(false);
  lvwCallerID->setFrameShape(QFrame::StyledPanel); // the shared frame style: frames visible
  lvwCallerID->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(lvwCallerID, &QWidget::customContextMenuRequested, this, [this](const QPoint& At) {
    QTreeWidgetItem* Item = lvwCallerID->itemAt(At);
    if (Item == nullptr)
      return;
    const std::unique_ptr<QMenu> Menu(CallMenu(Item));
    Menu->exec(lvwCallerID->viewport()->mapToGlobal(At));
  });
  edtTAPIDevice->setFrame(true);

  const QString Face = FromTColor(ButtonFace).name();
  const QString Frame = FromTColor(ButtonFrame).name();
  const QString ButtonStyle =
      QString("QPushButton { background-color: %1; border: 1px solid %2; border-radius: 3px; }"
              "QPushButton:hover { background-color: %3; border: 2px solid %2; }"
              "QPushButton:pressed { background-color: %4; }"
              "QPushButton:disabled { color: #a0a0a0; border-color: #b8b8b8; }")
          .arg(Face, Frame, FromTColor(ButtonFace).lighter(104).name(),
               FromTColor(ButtonFace).darker(110).name());
  auto MakeButton = [&](const char* Name, const char* Caption, int Top) {
    auto* Button = new QPushButton(Caption, this);
    Button->setObjectName(Name);
    Button->setGeometry(648, Top, ButtonWidth, ButtonHeight);
    Button->setStyleSheet(ButtonStyle);
    Button->setAttribute(Qt::WA_Hover);
    return Button;
  };
  btnStart = MakeButton("btnStart", "Start", 8);
  btnStop = MakeButton("btnStop", "Stop", 40);
  btnExit = MakeButton("btnExit", "Exit", 72);
  btnStop->setEnabled(false);
  connect(btnStart, &QPushButton::clicked, this,
          [this] { GuardedHandler([this] { btnStartClick(); }); });
  connect(btnStop, &QPushButton::clicked, this,
          [this] { GuardedHandler([this] { btnStopClick(); }); });
  connect(btnExit, &QPushButton::clicked, this,
          [this] { GuardedHandler([this] { btnExitClick(); }); });

  RzLabel2 = new TRotatedLabel(PublisherNotice, this);
  RzLabel2->setObjectName("RzLabel2");
  RzLabel2->setGeometry(680, 144, 13, 221);

  setTabOrder(lvwCallerID, edtTAPIDevice);
  setTabOrder(edtTAPIDevice, btnStart);
  setTabOrder(btnStart, btnStop);
  setTabOrder(btnStop, btnExit);
  lvwCallerID->setFocus();
}

void TfrmMain::FormCreate() {
  LoadSettings();
  OpenHistory();
  FScreen = MakeCallScreen(*FForm->IniSettings(), FBlocking, [](const std::string& Warning) {
    std::fprintf(stderr, "ringlet: %s\n", Warning.c_str());
  });
  FForm->SetScreen(FScreen.get());
}

void TfrmMain::SetBlocking(bool Value) {
  FBlocking = Value;
  if (FScreen)
    FScreen->SetBlocking(Value);
}

void TfrmMain::LoadSettings() {
  std::string Device = FForm->LoadSettings();
  // A first run on a single line shows that line, so the first Start needs no choice.
  const std::vector<std::string>& Lines = Phone()->DeviceList();
  if (Device.empty() && Lines.size() == 1)
    Device = Lines.front();
  edtTAPIDevice->setText(QString::fromLocal8Bit(Device.c_str()));
}

void TfrmMain::SaveSettings() {
  FForm->SaveSettings(edtTAPIDevice->text().toLocal8Bit().toStdString());
}

void TfrmMain::edtTAPIDeviceButtonClick() {
  // Resolves the line first: with several lines and no choice the dialog opens here.
  (void)Phone()->ReadModemConfig();
  if (Phone()->ChooseDevice() == 1)
    edtTAPIDevice->setText(QString::fromLocal8Bit(Phone()->SelectedDevice().c_str()));
}

void TfrmMain::btnStartClick() {
  if (edtTAPIDevice->text().isEmpty()) {
    QMessageBox::critical(this, windowTitle(), NoDeviceMessage, QMessageBox::Ok);
    return;
  }
  // The line's choice may open the selection dialog here; the set-up runs on the line's
  // thread and its outcome comes to LineStarted.
  FForm->Begin();
  btnStart->setEnabled(false);
  btnStop->setEnabled(true);
}

void TfrmMain::LineStarted(const std::exception_ptr& Failure) {
  if (!Failure) {
    TellMonitoring(true);
    return;
  }
  btnStart->setEnabled(true);
  btnStop->setEnabled(false);
  // The outcome comes while the core's queue is drained; the message box's own loop runs
  // from the window's loop instead.
  QMetaObject::invokeMethod(
      this, [Failure] { GuardedHandler([Failure] { std::rethrow_exception(Failure); }); },
      Qt::QueuedConnection);
}

void TfrmMain::btnStopClick() {
  FForm->Stop();
  btnStart->setEnabled(true);
  btnStop->setEnabled(false);
  TellMonitoring(false);
}

void TfrmMain::btnExitClick() {
  close();
}

void TfrmMain::FormClose() {
  // The name is saved even when stopping fails, so a closing error never loses it.
  std::exception_ptr StopFailure;
  try {
    FForm->Stop();
  } catch (...) {
    StopFailure = std::current_exception();
  }
  SaveSettings();
  TellMonitoring(false);
  if (StopFailure)
    std::rethrow_exception(StopFailure);
}

void TfrmMain::TellMonitoring(bool Monitoring) {
  FHub->SetLineState({Phone()->SelectedDevice(), Monitoring ? lsWatching : lsStopped, ""});
}

void TfrmMain::ShowCall(const TCallRecord& Call) {
  AddCallRow(Call);
}

void TfrmMain::ShowLineState(const TLineReport& Report) {
  if (Report.State != lsLost)
    return;
  auto* Box = new QMessageBox(
      QMessageBox::Warning, windowTitle(),
      QString::fromLocal8Bit(
          ("The line was lost (" + Report.Why + "). Monitoring resumes when it is back.").c_str()),
      QMessageBox::Ok, this);
  Box->setAttribute(Qt::WA_DeleteOnClose);
  Box->setModal(false);
  Box->show();
}

std::string TfrmMain::StartOutlets(const THubOptions& Options) {
  THubOptions Wanted = Options;
  Wanted.Network.NcidHangUp = FBlocking;
  Wanted.NotifyByDefault = true;
  // A window whose set-up failed (and said so) has no screen: the defaults are the same files.
  const std::string Why =
      FHub->Start(Wanted, Phone()->DeviceList(), FScreen ? FScreen->Files() : DefaultScreenFiles(),
                  FScreen ? FScreen->Country() : DefaultCountry());
  if (!Why.empty())
    return Why;
  if (FForm->Monitoring() && !FForm->Starting())
    TellMonitoring(true);
  return "";
}

std::string TfrmMain::StartWebPage(const TWebOptions& Options) {
  THubOptions Wanted;
  Wanted.Web = Options;
  Wanted.Notify = ncOff;
  return StartOutlets(Wanted);
}

TWebPage* TfrmMain::WebPage() const {
  return FHub->Web().Running() ? &FHub->Web() : nullptr;
}

void TfrmMain::closeEvent(QCloseEvent* Event) {
  GuardedHandler([this] { FormClose(); });
  Event->accept();
}

void TfrmMain::AddCallRow(const TCallRecord& Record) {
  // An update of a call shown is written into its row, not added as another.
  QTreeWidgetItem* Item = Record.Update ? LiveRow(Record.CallKey) : nullptr;
  const bool Added = Item == nullptr;
  if (Added) {
    Item = new QTreeWidgetItem(lvwCallerID);
    Item->setData(0, LiveCallKeyRole, QVariant::fromValue<qulonglong>(Record.CallKey));
  }
  Item->setText(0, QString::fromLocal8Bit(Record.Time.c_str()));
  Item->setText(1, QString::fromLocal8Bit(Record.ID.c_str()));
  Item->setText(2, QString::fromLocal8Bit(RowName(Record).c_str()));
  // What the menu needs: the number and the name as the network sent them.
  Item->setData(1, Qt::UserRole, QString::fromLocal8Bit(Record.Number.c_str()));
  Item->setData(2, Qt::UserRole, QString::fromLocal8Bit(Record.Name.c_str()));
  if (Record.Blocked)
    for (int Column = 0; Column < 3; ++Column)
      Item->setForeground(Column, Qt::gray);
  if (Added)
    lvwCallerID->addTopLevelItem(Item);
  lvwCallerID->scrollToItem(Item);
}

QTreeWidgetItem* TfrmMain::LiveRow(uint64_t CallKey) const {
  // The newest rows are at the end, and an update follows its call closely.
  for (int Index = lvwCallerID->topLevelItemCount() - 1; Index >= 0; --Index) {
    QTreeWidgetItem* Item = lvwCallerID->topLevelItem(Index);
    if (Item->data(0, LiveCallKeyRole).toULongLong() == CallKey)
      return Item;
  }
  return nullptr;
}

QMenu* TfrmMain::CallMenu(QTreeWidgetItem* Item) {
  auto* Menu = new QMenu(this);
  const bool HasNumber = !Item->data(1, Qt::UserRole).toString().isEmpty();
  QAction* Add = Menu->addAction(QString::fromUtf8(AddContactCaption));
  QAction* Block = Menu->addAction(BlockNumberCaption);
  Add->setEnabled(HasNumber);
  Block->setEnabled(HasNumber);
  connect(Add, &QAction::triggered, this,
          [this, Item] { GuardedHandler([this, Item] { AddToContacts(Item); }); });
  connect(Block, &QAction::triggered, this,
          [this, Item] { GuardedHandler([this, Item] { BlockNumber(Item); }); });
  return Menu;
}

void TfrmMain::AddToContacts(QTreeWidgetItem* Item) {
  const QString Number = Item->data(1, Qt::UserRole).toString();
  bool Ok = false;
  const QString Name =
      QInputDialog::getText(this, "Add to contacts", "Name for " + Number + ":", QLineEdit::Normal,
                            Item->data(2, Qt::UserRole).toString(), &Ok);
  if (!Ok || FScreen == nullptr)
    return;
  const std::string Why = FScreen->AddContact(Name.toStdString(), Number.toStdString());
  if (!Why.empty()) {
    QMessageBox::warning(this, windowTitle(), QString::fromStdString(Why), QMessageBox::Ok);
    return;
  }
  Item->setText(2, QString::fromStdString(CleanName(Name.toStdString())));
}

void TfrmMain::BlockNumber(QTreeWidgetItem* Item) {
  if (FScreen == nullptr)
    return;
  const std::string Why =
      FScreen->BlockNumber(Item->data(1, Qt::UserRole).toString().toStdString());
  if (!Why.empty())
    QMessageBox::warning(this, windowTitle(), QString::fromStdString(Why), QMessageBox::Ok);
}
