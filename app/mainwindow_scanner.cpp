// The scanner source: the TWAIN interface prepared with the window, the scan into the current
// image and the choice of scanner.

#include "app/mainwindow.h"

#include "app/platform/application.h"
#include "app/timage.h"
#include "twain/apphook.h"
#include "twain/bitmap.h"
#include "twain/srtwain.h"

#include <QCheckBox>
#include <QFrame>
#include <QLineEdit>
#include <QPointer>
#include <QTabWidget>
#include <QToolButton>

void TForm1::SetUpScanner() {
    TWAIN1 = new TSRTWAIN(this);
    TWAIN1->SetDestination(xfNative);
    TWAIN1->SetShowUI(true);
    TWAIN1->SetProductname(QStringLiteral("Velmoran ImgLift"));
    TWAIN1->SetManufacturer(QStringLiteral("Velmoran"));
    TWAIN1->SetProductFamily(QStringLiteral("ImgLift"));
    TWAIN1->SetLanguage(lgAmerican);
    TWAIN1->SetCountry(ctUSA);
    TWAIN1->SetFileFormat(ffBMP);
    TWAIN1->SetVersionInfo(QStringLiteral("Twain component"));
    TWAIN1->SetVersionMajor(1);
    TWAIN1->SetVersionMinor(0);
    TWAIN1->SetFilename(QStringLiteral("C:\\TWAIN.BMP"));
    TWAIN1->SetCursor(Qt::ArrowCursor);
    TWAIN1->OnScanReady = [this](QObject* Sender) { TWAIN1ScanReady(Sender); };

    // The scan lands in the current image.
    FScanBitmap = std::make_unique<TBitmap>();
    FScanBitmap->OnChange = [this] { Image2->SetPicture(FScanBitmap->Image()); };

    // What the source's events raise under the main loop goes to the standard error report.
    apphook::SetOnException([form = QPointer<TForm1>(this)](std::exception_ptr Error) {
        if (form)
            form->Guard([&] { std::rethrow_exception(Error); });
        else
            apphook::LogException(Error);
    });

    const auto on = [this](QToolButton* Button, void (TForm1::*Handler)()) {
        connect(Button, &QToolButton::clicked, this,
                [this, Handler] { Guard([this, Handler] { (this->*Handler)(); }); });
    };
    on(BitBtn1, &TForm1::BitBtn1Click);
    on(SpeedButton2, &TForm1::SpeedButton2Click);
}

void TForm1::BitBtn1Click() {
    BeginBusy();
    try {
        TWAIN1->SetShowUI(!CheckBox3->isChecked());
        TWAIN1->Acquire(*FScanBitmap);
        // Cleared only now: the end of the scan is reported from later message processing.
        ScanFinished = false;
        while (!ScanFinished && !application::Terminated())
            apphook::ProcessMessages(50);
    } catch (...) {
        EndBusy();
        throw;
    }
    EndBusy();
    PageControl1->setCurrentIndex(2);
    Edit10->setText(QStringLiteral("scanjob.jpg"));
    Edit6->setText(QStringLiteral("scanjob.jpg"));
    PictureSource = QStringLiteral("scanner");
}

void TForm1::SpeedButton2Click() {
    TWAIN1->SelectDataSource();
}

void TForm1::TWAIN1ScanReady(QObject*) {
    ScanFinished = true;
}
