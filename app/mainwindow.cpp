#include "app/mainwindow.h"

#include "app/platform/accelerators.h"
#include "app/platform/application.h"
#include "app/platform/dialogs.h"
#include "app/preview.h"
#include "capture/vhtml.h"
#include "capture/vsnapshot.h"
#include "controls/enhancedform.h"
#include "controls/progressbar.h"
#include "ftp/ftpclient.h"
#include "history/history.h"
#include "settings/passwordstore.h"
#include "settings/vkeey.h"
#include "settings/vreg.h"
#include "twain/bitmap.h"
#include "twain/srtwain.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <utility>

const char* const TForm1::WebAddress = "https://www.velmoran.example/";
const char* const TForm1::DefaultHost = "ftp.example.com";

TForm1::TForm1(TDialogs& Dialogs, QStringList Arguments, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      FDialogs(Dialogs), FArguments(std::move(Arguments)) {
    setWindowTitle(QStringLiteral("Velmoran ImgLift 1.0"));
    setWindowIcon(QIcon(QStringLiteral(IMGLIFT_ICON)));
    // The designer's fonts are not on Linux: the closest metric matches stand in for them.
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               {QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                                QStringLiteral("DejaVu Sans")});
    QFont::insertSubstitutions(QStringLiteral("Tahoma"),
                               {QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPointSize(8);
    font.setStyleHint(QFont::SansSerif);
    setFont(font);
    setFixedSize(385, 274);
    // The client area fills the form's contents rectangle, which leaves room for the title bar.
    ClientArea = new QWidget(this);
    ClientArea->setFixedSize(size());
    auto* const frame = new QVBoxLayout(this);
    frame->setSizeConstraint(QLayout::SetNoConstraint);
    frame->setContentsMargins(0, 0, 0, 0);
    frame->addWidget(ClientArea, 0, Qt::AlignLeft | Qt::AlignTop);

    BuildLayout();
    SetUpComponents();
    SetUpScanner();
    ConnectHandlers();

    // Only the file button takes drops; the window refuses them everywhere else, the edit fields
    // included (they would take dropped text).
    setAcceptDrops(false);
    for (QLineEdit* const edit : ClientArea->findChildren<QLineEdit*>())
        edit->setAcceptDrops(false);

    Timer1->start();
    Guard([this] { FormCreate(); });
    // The preview is made hidden, after the main window's own start-up.
    Form2 = new TForm2(this);

    // Centred on the screen.
    if (QScreen* const screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

TForm1::~TForm1() = default;

void TForm1::SetUpComponents() {
    CGauge1->SetMin(0);
    CGauge1->SetMax(100);
    CGauge1->SetPosition(0);
    CGauge1->SetStep(10);
    CGauge1->SetOrientation(orHorizontal);
    CGauge1->SetBevelOuter(bvLowered);
    CGauge1->SetBarBevelOuter(bvNone);
    CGauge1->SetShowTextStyle(stsPosition);
    CGauge1->SetStyle(sExRectangles);
    CGauge1->SetBeginColor(QColor(0, 0, 128));
    CGauge1->SetEndColor(QColor(0, 0, 255));
    CGauge1->SetTransparentGlyph(true);
    CGauge1->Loaded();

    VHTML1 = new TVHTML(this);
    VFTP = new TFtpClient(this);
    VFTP->SetTimeout(15);
    VFTP->SetMultiThreaded(false);
    VFTP->SetPort("ftp");
    VFTP->SetLocalAddr("0.0.0.0");
    VFTP->SetDisplayFileFlag(false);
    VFTP->SetBinary(true);
    VFTP->SetShareMode(ftpShareExclusive);
    VFTP->SetOptions(ftpAcceptLF);
    VFTP->SetConnectionType(ftpDirect);
    VFTP->OnProgress = [this](QObject* Sender, qint64 Count, bool& Abort) {
        Guard([&] { VFTPProgress(Sender, Count, Abort); });
    };
    VReg1 = new TVReg(this);
    VReg1->SetProgrammname("ImgLift");
    VReg1->SetFirmenname("Velmoran");
    VKeey1 = new TVKeey(this);
    VKeey1->SetProgrammID(11);
    VKeey1->SetSchluessel("mirobask");
    FPasswords = std::make_unique<TPasswordStore>(*VReg1, *VKeey1);
    VSnapShot1 = new TVSnapShot(this);

    // The painted title bar: the window becomes frameless and taller by the bar.
    EnhancedForm1 = new TEnhancedForm(this);
    EnhancedForm1->TitleBar().ApplicationInfo().SetFontStyle(fsBold);
    EnhancedForm1->TitleBar().CompanyInfo().SetFontStyle(fsBold | fsItalic);
    EnhancedForm1->TitleBar().SetNbOfColors(0);
    EnhancedForm1->Loaded();
    // Shared accelerators press their first control, as on the platform the window comes from.
    new TAcceleratorRule(this);

    Timer1 = new QTimer(this);
    Timer1->setInterval(100);
    DelayTimer = new QTimer(this);
    CommandLineTimer = new QTimer(this);
    CommandLineTimer->setInterval(100);
}

void TForm1::ConnectHandlers() {
    // Every handler runs guarded: what it raises goes to the standard error report.
    const auto on = [this](auto* Sender, auto Signal, void (TForm1::*Handler)()) {
        connect(Sender, Signal, this,
                [this, Handler] { Guard([this, Handler] { (this->*Handler)(); }); });
    };
    on(BitBtn2, &QToolButton::clicked, &TForm1::BitBtn2Click);
    on(BitBtn6, &QToolButton::clicked, &TForm1::BitBtn6Click);
    on(BitBtn3, &QToolButton::clicked, &TForm1::BitBtn3Click);
    on(SpeedButton1, &QToolButton::clicked, &TForm1::SpeedButton1Click);
    on(SpeedButton3, &QToolButton::clicked, &TForm1::SpeedButton3Click);
    on(Button4, &QToolButton::clicked, &TForm1::Button4Click);
    on(SpeedButton5, &QToolButton::clicked, &TForm1::SpeedButton5Click);
    on(BitBtn4, &QPushButton::clicked, &TForm1::BitBtn4Click);
    on(BitBtn5, &QPushButton::clicked, &TForm1::BitBtn5Click);
    on(Edit10, &QLineEdit::textChanged, &TForm1::Edit10Change);
    on(Button1, &QPushButton::clicked, &TForm1::Button1Click);
    on(Button2, &QPushButton::clicked, &TForm1::Button2Click);
    on(Button3, &QPushButton::clicked, &TForm1::SavePicture);
    on(SpeedButton4, &QToolButton::clicked, &TForm1::SpeedButton4Click);
    on(Timer1, &QTimer::timeout, &TForm1::Timer1Timer);
    on(DelayTimer, &QTimer::timeout, &TForm1::DelayTimerTimer);
    on(CommandLineTimer, &QTimer::timeout, &TForm1::CommandLineTimerTimer);

    for (QLineEdit* const edit : {Edit1, Edit2, Edit3, Edit4, Edit5, Edit11})
        connect(edit, &QLineEdit::textChanged, this,
                [this, edit] { Guard([this, edit] { SaveData(edit); }); });
    for (QLineEdit* const edit : {Edit7, Edit8, Edit9})
        connect(edit, &QLineEdit::textChanged, this,
                [this, edit] { Guard([this, edit] { UpdateData(edit); }); });
    // The FTP page's connection choices are stored as soon as they change.
    connect(CheckBox5, &QCheckBox::toggled, this,
            [this] { Guard([this] { SaveData(CheckBox5); }); });
    connect(ComboBox1, &QComboBox::currentIndexChanged, this,
            [this](int index) { Guard([this, index] { ComboBox1Change(index); }); });
    connect(PageControl1, &QTabWidget::currentChanged, this,
            [this](int index) { Guard([this, index] { PageControl1Change(index); }); });
    // The status-bar address reacts to clicks, the file button to drops.
    Label12->installEventFilter(this);
}

// Start-up

void TForm1::FormCreate() {
    // Without the scanner manager the rest of the start-up is skipped.
    TWAIN1->InitTWAIN();
    // The file button alone takes drops; its events pass through FileButtonWndProc.
    BitBtn3->installEventFilter(this);
    BitBtn3->setAcceptDrops(true);
    CommandLineTimer->start();
}

void TForm1::FormShow() {
    LoadData(this);
    PageControl1->setCurrentIndex(0);
}

void TForm1::showEvent(QShowEvent* event) {
    // A restore from the task bar is no new show.
    if (!FShown && !event->spontaneous()) {
        FShown = true;
        Guard([this] { FormShow(); });
    }
    QWidget::showEvent(event);
}

bool TForm1::FormCloseQuery() {
    SaveData(CheckBox1);
    return true;
}

void TForm1::closeEvent(QCloseEvent* event) {
    bool canClose = true;
    // A store that cannot be written is reported, but never keeps the window from closing.
    Guard([&] { canClose = FormCloseQuery(); });
    if (canClose)
        event->accept();
    else
        event->ignore();
}

void TForm1::SpeedButton1Click() {
    close();
}

void TForm1::Timer1Timer() {
    const bool keep = CheckBox2->isChecked();
    for (QLineEdit* const edit : {Edit7, Edit8}) {
        QPalette palette = edit->palette();
        palette.setColor(QPalette::Base, keep ? QApplication::palette().color(QPalette::Button)
                                              : QApplication::palette().color(QPalette::Base));
        edit->setPalette(palette);
        edit->setEnabled(!keep);
    }
}

void TForm1::DelayTimerTimer() {
    DelayTimer->stop();
    DelayDone = true;
}

void TForm1::CommandLineTimerTimer() {
    CommandLineTimer->stop();
    GetCommandLineFile();
}

void TForm1::Label12Click() {
    VHTML1->CallExternUrl(QString::fromLatin1(WebAddress));
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == BitBtn3) return FileButtonWndProc(event);
    if (watched == Label12 && event->type() == QEvent::MouseButtonRelease) {
        Guard([this] { Label12Click(); });
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

// Busy state and waits

void TForm1::BeginBusy() {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    QCoreApplication::processEvents();
    CGauge1->SetPosition(0);
    Panel1->show();
    Panel1->raise();
    PageControl1->setEnabled(false);
}

void TForm1::EndBusy() {
    QApplication::restoreOverrideCursor();
    QCoreApplication::processEvents();
    Panel1->hide();
    PageControl1->setEnabled(true);
}

void TForm1::Delay(int Milliseconds) {
    DelayTimer->setInterval(Milliseconds);
    DelayDone = false;
    DelayTimer->start();
    // Sleeps in the event loop until the next event, so the wait costs no CPU.
    while (!DelayDone && !application::Terminated())
        application::WaitForEvents(50);
}

// Errors

void TForm1::ShowStop(const QString& Text) {
    FDialogs.MessageBox(this, QStringLiteral("Velmoran"), Text, TDialogs::Icon::Stop,
                        TDialogs::Buttons::Ok);
}

void TForm1::ReportError(const std::exception& E) {
    ShowException(FDialogs, this, E);
}

void TForm1::ReportUnknownError() {
    ShowException(FDialogs, this, QStringLiteral("An unexpected error occurred."));
}
