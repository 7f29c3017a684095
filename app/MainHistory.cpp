// The main window's part of the call history: the earlier calls when it opens, and the
// history's messages.
#include "app/Main.h"

#include "app/CallHistory.h"

#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QTreeWidget>

#include <cstdio>

namespace {

// Marks the rows that came from the history, so that opening it again replaces them.
constexpr int EarlierRole = Qt::UserRole + 1;
const QColor EarlierColour(0x8C, 0x8C, 0x8C);

} // namespace

void TfrmMain::OpenHistory() {
  for (int I = lvwCallerID->topLevelItemCount() - 1; I >= 0; --I)
    if (lvwCallerID->topLevelItem(I)->data(0, EarlierRole).toBool())
      delete lvwCallerID->takeTopLevelItem(I);
  // The writer's thread tells; the window shows it on its own thread.
  QPointer<TfrmMain> Self(this);
  FHub->OpenHistory([Self](const std::string& Text) {
    std::fprintf(stderr, "ringlet: %s\n", Text.c_str());
    const QString Message = QString::fromLocal8Bit(Text.c_str());
    QMetaObject::invokeMethod(
        Self.data(),
        [Self, Message] {
          if (Self)
            Self->ShowHistoryMessage(Message);
        },
        Qt::QueuedConnection);
  });
  const TMonitorHistory* History = FHub->History();
  if (History == nullptr)
    return;
  std::string Message;
  ShowEarlierCalls(History->Earlier(EarlierCallCount, Message));
  if (!Message.empty())
    ShowHistoryMessage(QString::fromLocal8Bit(Message.c_str()));
}

void TfrmMain::ShowEarlierCalls(const std::vector<TCallRecord>& Calls) {
  if (Calls.empty())
    return;
  int At = 0;
  for (const TCallRecord& Call : Calls) {
    auto* Item = new QTreeWidgetItem;
    Item->setText(0, QString::fromLocal8Bit(Call.Time.c_str()));
    Item->setText(1, QString::fromLocal8Bit(Call.ID.c_str()));
    Item->setText(2, QString::fromLocal8Bit(Call.IDName.c_str()));
    for (int Column = 0; Column < 3; ++Column)
      Item->setForeground(Column, EarlierColour);
    Item->setData(0, EarlierRole, true);
    lvwCallerID->insertTopLevelItem(At++, Item);
  }
  auto* Separator = new QTreeWidgetItem;
  Separator->setText(0, "earlier calls above - this session's calls below");
  Separator->setForeground(0, EarlierColour);
  Separator->setTextAlignment(0, Qt::AlignCenter);
  Separator->setFlags(Qt::NoItemFlags);
  Separator->setData(0, EarlierRole, true);
  lvwCallerID->insertTopLevelItem(At, Separator);
  Separator->setFirstColumnSpanned(true);
  lvwCallerID->scrollToBottom();
}

void TfrmMain::ShowHistoryMessage(const QString& Text) {
  auto* Box = new QMessageBox(QMessageBox::Warning, windowTitle(), Text, QMessageBox::Ok, this);
  Box->setObjectName("HistoryMessage");
  Box->setAttribute(Qt::WA_DeleteOnClose);
  Box->setModal(false);
  Box->show();
}
