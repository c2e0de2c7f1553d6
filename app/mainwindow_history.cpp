// The upload history: every successful upload recorded, the history window, and taking an
// uploaded picture off its server again.

#include "app/mainwindow.h"

#include "app/historywindow.h"
#include "app/timage.h"
#include "capture/vhtml.h"
#include "history/history.h"

#include <QComboBox>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QScopeGuard>
#include <QScopedValueRollback>
#include <iterator>

Q_LOGGING_CATEGORY(lcUploadHistory, "imglift.history.window", QtInfoMsg)

namespace {

// The protocol an entry names, by entry of "Security : ".
const QString Protocols[] = {QStringLiteral("ftp"), QStringLiteral("ftp+tls"),
                             QStringLiteral("ftpes"), QStringLiteral("ftps"),
                             QStringLiteral("sftp")};

} // namespace

TUploadHistory& TForm1::History() {
    if (!FHistory) FHistory = std::make_unique<TUploadHistory>();
    return *FHistory;
}

void TForm1::RecordUpload() {
    UploadEntryId = 0;
    try {
        THistoryEntry entry;
        entry.Time = QDateTime::currentDateTimeUtc();
        const int security = ComboBox1->currentIndex();
        entry.Protocol = Protocols[std::clamp<int>(security, 0, int(std::size(Protocols)) - 1)];
        entry.Host = Edit1->text();
        entry.Port = Edit5->text();
        entry.User = Edit2->text();
        entry.Folder = Edit4->text();
        entry.Name = Edit10->text();
        entry.Address = UploadAddress;
        entry.Size = UploadSize;
        entry.Width = Image5->Picture().width();
        entry.Height = Image5->Picture().height();
        entry.Source = PictureSource;
        entry.Thumbnail = TUploadHistory::MakeThumbnail(Image5->Picture());
        if (const std::optional<qint64> id = History().Record(entry)) UploadEntryId = *id;
    } catch (const std::exception& e) {
        // The upload has succeeded all the same.
        qCWarning(lcUploadHistory) << "recording the upload failed:" << e.what();
    }
    if (HistoryWindow) HistoryWindow->Refresh();
}

bool TForm1::DeleteUploadedFile(const THistoryEntry& Entry) {
    const auto* const protocol =
        std::find(std::begin(Protocols), std::end(Protocols), Entry.Protocol);
    if (protocol == std::end(Protocols)) {
        ShowStop(QStringLiteral("Unknown protocol '%1'.").arg(Entry.Protocol));
        return false;
    }
    const bool sameAccount =
        Entry.Host == Edit1->text() && Entry.Port == Edit5->text() && Entry.User == Edit2->text();
    // The entry's server stands in the FTP page's controls for the length of the delete, as if
    // loaded: nothing is stored and the port does not follow the security choice.
    const QScopedValueRollback loading(FLoading, true);
    const QString host = Edit1->text(), port = Edit5->text(), user = Edit2->text(),
                  password = Edit3->text(), folder = Edit4->text(), name = Edit6->text();
    const int security = ComboBox1->currentIndex();
    const auto restore = qScopeGuard([&] {
        Edit1->setText(host);
        Edit5->setText(port);
        Edit2->setText(user);
        Edit3->setText(password);
        Edit4->setText(folder);
        ComboBox1->setCurrentIndex(security);
        Edit6->setText(name);
    });
    Edit1->setText(Entry.Host);
    Edit5->setText(Entry.Port);
    Edit2->setText(Entry.User);
    if (!sameAccount) Edit3->clear();
    Edit4->setText(Entry.Folder);
    ComboBox1->setCurrentIndex(int(protocol - std::begin(Protocols)));
    Edit6->setText(Entry.Name);
    Button1Click();
    const bool deleted = Outcome == TOutcome::Deleted;
    if (deleted) History().MarkDeleted(Entry.Id);
    return deleted;
}

void TForm1::SpeedButton5Click() {
    if (!HistoryWindow) {
        HistoryWindow = new THistoryWindow(History(), FDialogs, this);
        HistoryWindow->OnDeleteFromServer = [this](const THistoryEntry& Entry) {
            bool deleted = false;
            Guard([&] { deleted = DeleteUploadedFile(Entry); });
            return deleted;
        };
        HistoryWindow->OnOpen = [this](const QString& Address) { VHTML1->CallExternUrl(Address); };
    }
    HistoryWindow->Refresh();
    HistoryWindow->show();
    HistoryWindow->raise();
    HistoryWindow->activateWindow();
}
