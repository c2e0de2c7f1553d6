// "&Upload" and "&Delete": the scaled picture to the FTP server, a named file off it.

#include "app/mainwindow.h"

#include "app/platform/application.h"
#include "app/platform/dialogs.h"
#include "app/timage.h"
#include "controls/progressbar.h"
#include "ftp/ftpclient.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <algorithm>
#include <limits>
#include <utility>

namespace {

std::string Std(const QLineEdit* Edit) {
    return Edit->text().toStdString();
}

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

} // namespace

void TForm1::SetServer() {
    // Always the texts as they stand, the password as typed.
    VFTP->SetHostName(Std(Edit1));
    VFTP->SetPort(Std(Edit5));
    VFTP->SetHostDirName(Std(Edit4));
    VFTP->SetUserName(Std(Edit2));
    VFTP->SetPassWord(Std(Edit3));
}

qint64 TForm1::FileSizeOf(const QString& Path) {
    QFile file(Path);
    if (!file.open(QIODevice::ReadOnly)) return 0;
    const qint64 size = file.seek(file.size()) ? file.pos() : 0;
    return size;
}

void TForm1::BitBtn5Click() {
    TBusy busy(*this);
    UpdateData(BitBtn5);
    ResizeImage(*Image2, *Image5);
    UserAbort = false;
    const QString temp = CreateFilename(QStringLiteral("temp.jpg"));
    SaveToFile(*Image5, temp);
    Delay(500);

    UploadSize = 0;
    while (UploadSize == 0 && !UserAbort && !application::Terminated()) {
        UploadSize = int(std::min<qint64>(FileSizeOf(temp), std::numeric_limits<int>::max()));
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    }
    if (UserAbort || application::Terminated()) return;

    const QString question =
        QStringLiteral("Upload %1 KB to '%2' ?").arg(UploadSize / 1000).arg(Edit10->text());
    if (FDialogs.MessageBox(this, QStringLiteral("Velmoran"), question, TDialogs::Icon::Question,
                            TDialogs::Buttons::YesNo) != TDialogs::Result::Yes)
        return;

    bool failed = false;
    VFTP->Abort();
    SetServer();
    VFTP->SetLocalFileName(QFile::encodeName(temp).toStdString());
    VFTP->SetHostFileName(Std(Edit10));
    try {
        // A size counts only when the request got that far; an earlier failure leaves the
        // last request's size behind.
        if (VFTP->FileSize() && VFTP->SizeResult() != 0) VFTP->Delete();
        // Closes a control connection that a failed step left open.
        VFTP->Abort();
        if (!VFTP->Transmit()) failed = true;
    } catch (const std::exception&) {
        failed = true;
    }
    QFile::remove(temp);
    busy.End();

    if (UserAbort) {
        ShowStop(QStringLiteral("Transmission aborted by user."));
    } else if (failed) {
        ShowStop(QStringLiteral("File NOT transmitted."));
    } else {
        FDialogs.MessageBox(this, QStringLiteral("Velmoran"),
                            QStringLiteral("File sucessfully transmitted."),
                            TDialogs::Icon::Information, TDialogs::Buttons::Ok);
        PageControl1->setCurrentIndex(0);
        if (CheckBox1->isChecked()) application::Terminate();
    }
}

void TForm1::SpeedButton4Click() {
    VFTP->Abort();
    UserAbort = true;
}

void TForm1::VFTPProgress(QObject*, qint64 Count, bool&) {
    if (UploadSize <= 0) return;
    const qint64 percent = Count * 100 / UploadSize;
    CGauge1->SetPosition(percent == 0 ? 0 : std::int32_t(percent + 1));
    QCoreApplication::processEvents();
}

void TForm1::Button1Click() {
    bool found = false;
    bool failed = false;
    VFTP->Abort();
    SetServer();
    VFTP->SetHostFileName(Std(Edit6));
    try {
        if (VFTP->FileSize() && VFTP->SizeResult() != 0) {
            found = true;
            if (!VFTP->Delete()) failed = true;
        }
    } catch (const std::exception&) {
        failed = true;
    }
    if (!found)
        ShowStop(QStringLiteral("File not found."));
    else if (failed)
        ShowStop(QStringLiteral("Could not delete File."));
    else
        FDialogs.MessageBox(this, QStringLiteral("Velmoran"),
                            QStringLiteral("File sucessfully deleted."),
                            TDialogs::Icon::Information, TDialogs::Buttons::Ok);
}
