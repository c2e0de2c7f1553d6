#include "app/historywindow.h"

#include "app/platform/dialogs.h"
#include "history/history.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

enum TColumn { colName, colAddress, colHost, colTime };

QString StateText(THistoryEntry::TState State) {
    switch (State) {
    case THistoryEntry::TState::Replaced:
        return QStringLiteral(" (replaced)");
    case THistoryEntry::TState::Deleted:
        return QStringLiteral(" (deleted)");
    case THistoryEntry::TState::Current:
        break;
    }
    return {};
}

} // namespace

THistoryWindow::THistoryWindow(TUploadHistory& History, TDialogs& Dialogs, QWidget* Parent)
    : QWidget(Parent, Qt::Window), FHistory(History), FDialogs(Dialogs) {
    setWindowTitle(QStringLiteral("Upload History"));
    resize(760, 420);

    Search = new QLineEdit(this);
    Search->setPlaceholderText(QStringLiteral("Search name, address, host or source"));
    Search->setClearButtonEnabled(true);
    Problem = new QLabel(this);
    Problem->setWordWrap(true);
    Problem->setStyleSheet(QStringLiteral("color: #a00000"));
    Problem->hide();

    List = new QTreeWidget(this);
    List->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Address"),
                           QStringLiteral("Host"), QStringLiteral("Time")});
    List->setRootIsDecorated(false);
    List->setIconSize(QSize(64, 64));
    List->setSelectionMode(QAbstractItemView::SingleSelection);
    List->header()->setStretchLastSection(false);
    List->header()->setSectionResizeMode(colAddress, QHeaderView::Stretch);
    List->setColumnWidth(colName, 220);
    List->setColumnWidth(colHost, 110);
    List->setColumnWidth(colTime, 130);

    CopyButton = new QPushButton(QStringLiteral("&Copy address"), this);
    OpenButton = new QPushButton(QStringLiteral("&Open in browser"), this);
    DeleteButton = new QPushButton(QStringLiteral("&Delete from server"), this);
    RemoveButton = new QPushButton(QStringLiteral("&Remove from history"), this);

    auto* const buttons = new QHBoxLayout;
    for (QPushButton* const button : {CopyButton, OpenButton, DeleteButton, RemoveButton})
        buttons->addWidget(button);
    buttons->addStretch();
    auto* const layout = new QVBoxLayout(this);
    layout->addWidget(Search);
    layout->addWidget(Problem);
    layout->addWidget(List);
    layout->addLayout(buttons);

    connect(Search, &QLineEdit::textChanged, this, &THistoryWindow::Refresh);
    connect(List, &QTreeWidget::itemSelectionChanged, this, &THistoryWindow::UpdateButtons);
    connect(List, &QTreeWidget::itemDoubleClicked, this, &THistoryWindow::OpenAddress);
    connect(CopyButton, &QPushButton::clicked, this, &THistoryWindow::CopyAddress);
    connect(OpenButton, &QPushButton::clicked, this, &THistoryWindow::OpenAddress);
    connect(DeleteButton, &QPushButton::clicked, this, &THistoryWindow::DeleteFromServer);
    connect(RemoveButton, &QPushButton::clicked, this, &THistoryWindow::RemoveFromHistory);
    UpdateButtons();
}

void THistoryWindow::Refresh() {
    const std::optional<qint64> selected =
        Selected() ? std::optional(Selected()->Id) : std::nullopt;
    List->clear();
    const std::vector<THistoryEntry> entries = FHistory.Query(Search->text().trimmed(), Shown);
    Problem->setText(FHistory.Problem());
    Problem->setVisible(!FHistory.Problem().isEmpty());
    for (const THistoryEntry& entry : entries) {
        auto* const item = new QTreeWidgetItem(List);
        item->setData(colName, Qt::UserRole, entry.Id);
        item->setText(colName, entry.Name + StateText(entry.State));
        item->setText(colAddress, entry.Address);
        item->setText(colHost, entry.Host);
        item->setText(colTime,
                      entry.Time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm")));
        item->setToolTip(colName, entry.Source);
        QPixmap thumbnail;
        if (thumbnail.loadFromData(entry.Thumbnail, "JPG")) item->setIcon(colName, thumbnail);
        if (entry.State == THistoryEntry::TState::Deleted)
            for (int column = 0; column < List->columnCount(); ++column)
                item->setForeground(column, palette().brush(QPalette::Disabled, QPalette::Text));
        if (selected != 0 && selected == entry.Id) item->setSelected(true);
    }
    UpdateButtons();
}

std::optional<THistoryEntry> THistoryWindow::Selected() const {
    const QList<QTreeWidgetItem*> items = List->selectedItems();
    if (items.isEmpty()) return std::nullopt;
    return FHistory.Entry(items.first()->data(colName, Qt::UserRole).toLongLong());
}

void THistoryWindow::UpdateButtons() {
    const std::optional<THistoryEntry> entry = Selected();
    const bool address = entry && !entry->Address.isEmpty();
    CopyButton->setEnabled(address);
    OpenButton->setEnabled(address);
    DeleteButton->setEnabled(entry && entry->State != THistoryEntry::TState::Deleted);
    RemoveButton->setEnabled(entry.has_value());
}

void THistoryWindow::CopyAddress() {
    if (const std::optional<THistoryEntry> entry = Selected(); entry && !entry->Address.isEmpty())
        QGuiApplication::clipboard()->setText(entry->Address);
}

void THistoryWindow::OpenAddress() {
    const std::optional<THistoryEntry> entry = Selected();
    if (entry && !entry->Address.isEmpty() && OnOpen) OnOpen(entry->Address);
}

void THistoryWindow::DeleteFromServer() {
    const std::optional<THistoryEntry> entry = Selected();
    if (!entry || !OnDeleteFromServer) return;
    const QString question = QStringLiteral("Delete '%1' from %2?").arg(entry->Name, entry->Host);
    if (FDialogs.MessageBox(this, QStringLiteral("Velmoran"), question, TDialogs::Icon::Question,
                            TDialogs::Buttons::YesNo) != TDialogs::Result::Yes)
        return;
    OnDeleteFromServer(*entry);
    Refresh();
}

void THistoryWindow::RemoveFromHistory() {
    if (const std::optional<THistoryEntry> entry = Selected()) {
        FHistory.Remove(entry->Id);
        Refresh();
    }
}
