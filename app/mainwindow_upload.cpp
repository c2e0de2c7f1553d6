// "&Upload" and "&Delete": the scaled picture to the FTP server, a named file off it.

#include "app/mainwindow.h"

#include "app/platform/application.h"
#include "app/platform/dialogs.h"
#include "app/timage.h"
#include "capture/vhtml.h"
#include "controls/progressbar.h"
#include "ftp/ftpclient.h"
#include "ftp/sftpclient.h"

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QUrl>
#include <algorithm>
#include <limits>
#include <utility>

namespace {

std::string Std(const QLineEdit* Edit) {
    return Edit->text().toStdString();
}

const QString Title = QStringLiteral("Velmoran");

// Ends the busy state on every way out of the upload, errors included.
class TBusy {
public:
    explicit TBusy(TForm1& Form) : FForm(Form) { FForm.BeginBusy(); }
    ~TBusy() { End(); }
    TBusy(const TBusy&) = delete;
    TBusy& operator=(const TBusy&) = delete;
    void End() {
        if (std::exchange(FActive, false)) FForm.EndBusy();
    }

private:
    TForm1& FForm;
    bool FActive = true;
};

// The upload's own JPEG file, removed on every way out: after the transfer, after No at the
// confirmation, after an abort or an error. Its random name is never used again.
class TTempFile {
public:
    explicit TTempFile(QString Path) : FPath(std::move(Path)) {}
    ~TTempFile() { Remove(); }
    TTempFile(const TTempFile&) = delete;
    TTempFile& operator=(const TTempFile&) = delete;
    const QString& Path() const { return FPath; }
    void Remove() {
        if (!FPath.isEmpty()) QFile::remove(std::exchange(FPath, QString()));
    }

private:
    QString FPath;
};

} // namespace

bool TForm1::UsesSftp() const {
    return ComboBox1->currentIndex() == secSftp;
}

bool TForm1::PassiveMode() const {
    return CheckBox5->isChecked();
}

QString TForm1::WebAddressSetting() const {
    return Edit11->text().trimmed();
}

TTransferClient& TForm1::Client() {
    if (!UsesSftp()) return *VFTP;
    if (!VSFTP) {
        VSFTP = new TSftpClient(this);
        VSFTP->SetTimeout(VFTP->Timeout());
        VSFTP->SetProgressHandler([this](QObject* Sender, qint64 Count, bool& Abort) {
            Guard([&] { VFTPProgress(Sender, Count, Abort); });
        });
        VSFTP->OnUnknownHostKey = [this](QObject*, const std::string& KeyType,
                                         const std::string& Fingerprint, bool& Accept) {
            Guard([&] { AskHostKey(KeyType, Fingerprint, Accept); });
        };
    }
    // $HOME, not the password database: the SSH folder follows the environment.
    VSFTP->SetSshDir(QFile::encodeName(QDir::homePath() + QStringLiteral("/.ssh")).toStdString());
    return *VSFTP;
}

void TForm1::SetServer(TTransferClient& Target) {
    // Always the texts as they stand, the password as typed.
    Target.SetHostName(Std(Edit1));
    Target.SetPort(Std(Edit5));
    Target.SetHostDirName(Std(Edit4));
    Target.SetUserName(Std(Edit2));
    Target.SetPassWord(Std(Edit3));
    SetConnectionSecurity();
    FTrustRefused = false;
}

void TForm1::AskHostKey(const std::string& KeyType, const std::string& Fingerprint, bool& Accept) {
    // One question per operation: a No stands for the rest of it.
    Accept = false;
    if (FTrustRefused) return;
    // The host as known_hosts and ssh name it.
    const QString port = Edit5->text().trimmed();
    const QString host = port.isEmpty() || port == "22" || port == "ssh"
                             ? Edit1->text()
                             : QStringLiteral("[%1]:%2").arg(Edit1->text(), port);
    const QString text =
        QStringLiteral("The authenticity of host '%1' can't be established.\n"
                       "%2 key fingerprint is %3.\n"
                       "Are you sure you want to continue connecting?")
            .arg(host, QString::fromStdString(KeyType), QString::fromStdString(Fingerprint));
    const QString knownHosts = QDir::homePath() + QStringLiteral("/.ssh/known_hosts");
    const QString sshPort = port.isEmpty() || port == "ssh" ? QStringLiteral("22") : port;
    const QString howTo =
        QStringLiteral("To trust it, compare the fingerprint with the one the server's "
                       "administrator gives you, then add the key to %1: connect once with "
                       "\"ssh -p %2 %3@%4\" and answer yes, or append the output of "
                       "\"ssh-keyscan -p %2 %4\".")
            .arg(knownHosts, sshPort, Edit2->text(), Edit1->text());
    Accept = FDialogs.AskTrust(this, Title, text, howTo) == TDialogs::Result::Yes;
    if (!Accept) FTrustRefused = true;
}

QString TForm1::PictureAddress(const QString& Base, const QString& Name) {
    if (Base.isEmpty()) return {};
    const QString folder = Base.endsWith('/') ? Base : Base + '/';
    return folder + QString::fromLatin1(QUrl::toPercentEncoding(Name));
}

void TForm1::ShowAddress(const QString& Address) {
    QGuiApplication::clipboard()->setText(Address);
    Label11->setTextFormat(Qt::RichText);
    Label11->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
    Label11->setText(QStringLiteral("<a href=\"%1\">%1</a>").arg(Address.toHtmlEscaped()));
    Label11->setToolTip(Address);
    connect(Label11, &QLabel::linkActivated, VHTML1, &TVHTML::CallExternUrl, Qt::UniqueConnection);
}

qint64 TForm1::FileSizeOf(const QString& Path) {
    QFile file(Path);
    if (!file.open(QIODevice::ReadOnly)) return 0;
    const qint64 size = file.seek(file.size()) ? file.pos() : 0;
    return size;
}

void TForm1::BitBtn5Click() {
    Outcome = TOutcome::None;
    OutcomeReason.clear();
    TBusy busy(*this);
    UpdateData(BitBtn5);
    ResizeImage(*Image2, *Image5);
    UserAbort = false;
    // Written and closed here, so its size is there at once: no fixed wait before measuring it.
    TTempFile temp(SaveToTempFile(*Image5));

    UploadSize = 0;
    while (UploadSize == 0 && !UserAbort && !application::Terminated()) {
        UploadSize =
            int(std::min<qint64>(FileSizeOf(temp.Path()), std::numeric_limits<int>::max()));
        if (UploadSize == 0)
            application::WaitForEvents(50);
        else
            QCoreApplication::processEvents();
    }
    if (UserAbort || application::Terminated()) {
        Outcome = TOutcome::Aborted;
        return;
    }

    const QString question =
        QStringLiteral("Upload %1 KB to '%2' ?").arg(UploadSize / 1000).arg(Edit10->text());
    if (FDialogs.MessageBox(this, Title, question, TDialogs::Icon::Question,
                            TDialogs::Buttons::YesNo) != TDialogs::Result::Yes)
        return;

    bool failed = false;
    // ssh's warning about a changed host key, shown before the outcome.
    QString warning;
    TTransferClient& client = Client();
    client.Abort();
    SetServer(client);
    client.SetLocalFileName(QFile::encodeName(temp.Path()).toStdString());
    client.SetHostFileName(Std(Edit10));
    try {
        if (!UserAbort && !client.Upload()) {
            failed = true;
            // A trust question the user turned down has said all there is to say.
            if (!FTrustRefused) {
                OutcomeReason = QString::fromStdString(client.ErrorMessage());
                if (client.LastFailure() == TTransferFailure::Untrusted) warning = OutcomeReason;
            }
        }
    } catch (const std::exception& e) {
        failed = true;
        OutcomeReason = QString::fromLocal8Bit(e.what());
    }
    temp.Remove();
    busy.End();

    if (!warning.isEmpty()) ShowStop(warning);
    if (UserAbort) {
        Outcome = TOutcome::Aborted;
        ShowStop(QStringLiteral("Transmission aborted by user."));
    } else if (failed) {
        Outcome = TOutcome::NotTransmitted;
        ShowStop(QStringLiteral("File NOT transmitted."));
    } else {
        Outcome = TOutcome::Transmitted;
        UploadAddress = PictureAddress(WebAddressSetting(), Edit10->text());
        if (!UploadAddress.isEmpty()) ShowAddress(UploadAddress);
        RecordUpload();
        FDialogs.MessageBox(this, Title, QStringLiteral("File sucessfully transmitted."),
                            TDialogs::Icon::Information, TDialogs::Buttons::Ok);
        PageControl1->setCurrentIndex(0);
        if (CheckBox1->isChecked()) application::Terminate();
    }
}

void TForm1::SpeedButton4Click() {
    if (FSettingsTest) return FSettingsTest->Abort();
    Client().Abort();
    UserAbort = true;
}

void TForm1::VFTPProgress(QObject*, qint64 Count, bool&) {
    if (OnUploadProgress) OnUploadProgress(Count);
    if (UploadSize <= 0) return;
    const qint64 percent = Count * 100 / UploadSize;
    CGauge1->SetPosition(percent == 0 ? 0 : std::int32_t(percent + 1));
    QCoreApplication::processEvents();
}

void TForm1::Button1Click() {
    bool found = false;
    bool failed = false;
    OutcomeReason.clear();
    TTransferClient& client = Client();
    client.Abort();
    SetServer(client);
    client.SetHostFileName(Std(Edit6));
    try {
        if (client.FileSize() && client.SizeResult() != 0) {
            found = true;
            if (!client.Delete()) failed = true;
        } else if (client.LastFailure() == TTransferFailure::Untrusted && !FTrustRefused) {
            ShowStop(QString::fromStdString(client.ErrorMessage()));
        }
        if ((!found || failed) && !FTrustRefused)
            OutcomeReason = QString::fromStdString(client.ErrorMessage());
    } catch (const std::exception& e) {
        failed = true;
        OutcomeReason = QString::fromLocal8Bit(e.what());
    }
    if (!found) {
        Outcome = TOutcome::NotFound;
        ShowStop(QStringLiteral("File not found."));
    } else if (failed) {
        Outcome = TOutcome::NotDeleted;
        ShowStop(QStringLiteral("Could not delete File."));
    } else {
        Outcome = TOutcome::Deleted;
        FDialogs.MessageBox(this, Title, QStringLiteral("File sucessfully deleted."),
                            TDialogs::Icon::Information, TDialogs::Buttons::Ok);
    }
}
