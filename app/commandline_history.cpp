// The command line's upload history verbs, and the notification after an upload.

#include "app/commandline_p.h"

#include "app/commandline.h"
#include "app/mainwindow.h"
#include "app/platform/notifier.h"
#include "app/timage.h"
#include "capture/vhtml.h"
#include "common/posix_file.h"
#include "history/history.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QEventLoop>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QTimer>
#include <array>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace commandline {

namespace {

QString Column(QString Text) {
    for (QChar& c : Text)
        if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    return Text;
}

const char* StateName(THistoryEntry::TState State) {
    switch (State) {
    case THistoryEntry::TState::Replaced:
        return "replaced";
    case THistoryEntry::TState::Deleted:
        return "deleted";
    case THistoryEntry::TState::Current:
        break;
    }
    return "current";
}

} // namespace

// After the upload: a desktop notification, and its buttons while it shows (at most ~30 s).
void NotifyOutcome(TForm1& Form, bool Transmitted, const QString& Reason) {
    const std::unique_ptr<notifier::TNotifier> notifier = notifier::ChooseNotifier();
    if (!notifier) return;
    const QString name = Form.Edit10->text();
    const QString address = Form.UploadAddress;
    notifier::TNotice notice;
    const QImage& picture =
        Form.Image5->Picture().isNull() ? Form.Image2->Picture() : Form.Image5->Picture();
    if (!picture.isNull())
        notice.Image = picture.scaled(128, 128, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    if (Transmitted) {
        notice.Summary = QStringLiteral("Uploaded %1").arg(name);
        notice.Body =
            address.isEmpty() ? QStringLiteral("%1 on %2").arg(name, Form.Edit1->text()) : address;
        if (!address.isEmpty())
            notice.Actions = {{QStringLiteral("copy"), QStringLiteral("Copy link")},
                              {QStringLiteral("open"), QStringLiteral("Open")}};
    } else {
        notice.Summary = QStringLiteral("Upload failed: %1").arg(name);
        notice.Body = Reason;
    }
    if (!notifier->Show(notice) || notice.Actions.empty() || !notifier->OffersActions()) return;

    // Whoever reads standard output is not kept waiting for the buttons.
    std::fflush(stdout);
    if (const posix::UniqueFd null(::open("/dev/null", O_WRONLY | O_CLOEXEC)); null.Valid())
        ::dup2(null.Get(), STDOUT_FILENO);
    QEventLoop wait;
    QTimer::singleShot(30000, &wait, &QEventLoop::quit);
    bool copied = false;
    notifier->OnClosed = [&] { wait.quit(); };
    notifier->OnAction = [&](const QString& Key) {
        if (Key == QStringLiteral("copy")) {
            QGuiApplication::clipboard()->setText(address);
            copied = true;
        } else if (Key == QStringLiteral("open")) {
            Form.VHTML1->CallExternUrl(address);
        }
        wait.quit();
    };
    wait.exec();
    if (!copied) return;
    // The clipboard's text lives as long as its owner: stay until another program owns the
    // clipboard (a clipboard manager takes it over at once), at most 30 s.
    QEventLoop hold;
    QTimer::singleShot(30000, &hold, &QEventLoop::quit);
    QObject::connect(
        QGuiApplication::clipboard(), &QClipboard::changed, &hold, [&](QClipboard::Mode Mode) {
            if (Mode == QClipboard::Clipboard && !QGuiApplication::clipboard()->ownsClipboard())
                hold.quit();
        });
    hold.exec();
}

int ListHistory(int Limit, bool Json, const char* Program) {
    int qtArgc = 1;
    std::array<char*, 2> qtArgv{const_cast<char*>(Program), nullptr};
    const QCoreApplication app(qtArgc, qtArgv.data());
    TUploadHistory history;
    if (!history.Available()) {
        Print(stderr, history.Problem());
        return ExitFailed;
    }
    if (!Json)
        std::fputs("id\ttime\tprotocol\thost\tport\tuser\tfolder\tname\taddress\tsize\twidth\t"
                   "height\tsource\tstate\n",
                   stdout);
    // Each line written as it is read: ten thousand entries are not held at once.
    QByteArray out;
    const bool read = history.ForEach({}, Limit, false, [&](const THistoryEntry& e) {
        out.clear();
        const QString time = e.Time.toString(Qt::ISODate);
        if (Json) {
            const QJsonObject object{{"id", e.Id},
                                     {"time", time},
                                     {"protocol", e.Protocol},
                                     {"host", e.Host},
                                     {"port", e.Port},
                                     {"user", e.User},
                                     {"folder", e.Folder},
                                     {"name", e.Name},
                                     {"address", e.Address},
                                     {"size", e.Size},
                                     {"width", e.Width},
                                     {"height", e.Height},
                                     {"source", e.Source},
                                     {"state", QString::fromLatin1(StateName(e.State))}};
            out = QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
            std::fwrite(out.constData(), 1, std::size_t(out.size()), stdout);
            return;
        }
        const QStringList columns{QString::number(e.Id),
                                  time,
                                  e.Protocol,
                                  e.Host,
                                  e.Port,
                                  e.User,
                                  e.Folder,
                                  e.Name,
                                  e.Address,
                                  QString::number(e.Size),
                                  QString::number(e.Width),
                                  QString::number(e.Height),
                                  e.Source,
                                  QString::fromLatin1(StateName(e.State))};
        QStringList cleaned;
        for (const QString& column : columns)
            cleaned << Column(column);
        out += cleaned.join('\t').toUtf8() + '\n';
        std::fwrite(out.constData(), 1, std::size_t(out.size()), stdout);
    });
    if (!read) {
        Print(stderr, history.Problem());
        return ExitFailed;
    }
    return std::fflush(stdout) == 0 ? ExitOk : ExitFailed;
}

} // namespace commandline
