#include "app/mainwindow.h"

#include "app/imaging.h"
#include "app/platform/application.h"
#include "app/platform/desktop.h"
#include "app/platform/dialogs.h"
#include "app/platform/picture.h"
#include "app/preview.h"
#include "app/timage.h"
#include "capture/vhtml.h"
#include "capture/vstatus.h"
#include "controls/progressbar.h"
#include "ftp/ftpclient.h"
#include "settings/vkeey.h"
#include "settings/vreg.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <limits>
#include <utility>

const char* const TForm1::WebAddress = "https://www.velmoran.example/";
const char* const TForm1::DefaultHost = "ftp.example.com";

namespace {

template <class W> W* Place(W* Widget, int Left, int Top, int Width, int Height) {
    Widget->setGeometry(Left, Top, Width, Height);
    return Widget;
}

QToolButton* GlyphButton(QWidget* Parent, const QString& Caption, QStyle::StandardPixmap Glyph,
                         Qt::ToolButtonStyle Style, bool Flat) {
    auto* const button = new QToolButton(Parent);
    button->setText(Caption);
    button->setIcon(Parent->style()->standardIcon(Glyph));
    button->setIconSize(QSize(32, 32));
    button->setToolButtonStyle(Style);
    button->setAutoRaise(Flat);
    return button;
}

QLabel* RightLabel(QWidget* Parent, const QString& Text, int Left, int Top, int Width) {
    auto* const label = new QLabel(Text, Parent);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return Place(label, Left, Top, Width, 21);
}

QLineEdit* Edit(QWidget* Parent, const QString& Text, int Left, int Top, int Width) {
    auto* const edit = new QLineEdit(Text, Parent);
    return Place(edit, Left, Top, Width, 21);
}

QLabel* Icon(QWidget* Parent, QStyle::StandardPixmap Glyph, int Left, int Top) {
    auto* const icon = new QLabel(Parent);
    icon->setPixmap(Parent->style()->standardIcon(Glyph).pixmap(32, 32));
    return Place(icon, Left, Top, 32, 32);
}

std::string Std(const QLineEdit* Edit) {
    return Edit->text().toStdString();
}

QString Qt8(const std::string& Text) {
    return QString::fromStdString(Text);
}

} // namespace

TForm1::TForm1(TDialogs& Dialogs, QStringList Arguments, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      FDialogs(Dialogs), FArguments(std::move(Arguments)) {
    setWindowTitle(QStringLiteral("Velmoran ImgLift 1.0"));
    // The designer's font is not on Linux: the closest metric match stands in for it.
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

    // The picture holders lie outside the client area and are never seen.
    Image2 = new TImage(this);
    Image2->setGeometry(-1000, -1000, 54, 30);
    Image2->SetAutoSize(true);
    Image2->hide();
    Image5 = new TImage(this);
    Image5->setGeometry(-1000, -1000, 54, 30);
    Image5->SetAutoSize(true);
    Image5->hide();

    PageControl1 = Place(new QTabWidget(this), 8, 8, 377, 241);
    BuildSourcePage();
    BuildFtpPage();
    BuildImagePage();
    BuildAdvancedPage();
    BuildStatusBar();
    BuildBusyPanel();

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

    for (QLineEdit* const edit : {Edit1, Edit2, Edit3, Edit4, Edit5})
        connect(edit, &QLineEdit::textChanged, this,
                [this, edit] { Guard([this, edit] { SaveData(edit); }); });
    for (QLineEdit* const edit : {Edit7, Edit8, Edit9})
        connect(edit, &QLineEdit::textChanged, this,
                [this, edit] { Guard([this, edit] { UpdateData(edit); }); });
    connect(PageControl1, &QTabWidget::currentChanged, this,
            [this](int index) { Guard([this, index] { PageControl1Change(index); }); });
    connect(BitBtn4, &QPushButton::clicked, this, [this] { Guard([this] { BitBtn4Click(); }); });
    connect(Button3, &QPushButton::clicked, this, [this] { Guard([this] { SavePicture(); }); });
    connect(BitBtn5, &QPushButton::clicked, this, [this] { Guard([this] { BitBtn5Click(); }); });
    connect(SpeedButton4, &QToolButton::clicked, this,
            [this] { Guard([this] { SpeedButton4Click(); }); });
    connect(Button1, &QPushButton::clicked, this, [this] { Guard([this] { Button1Click(); }); });
    connect(Edit10, &QLineEdit::textChanged, this, [this] { Guard([this] { Edit10Change(); }); });
    connect(SpeedButton3, &QToolButton::clicked, this,
            [this] { Guard([this] { SpeedButton3Click(); }); });

    Timer1 = new QTimer(this);
    Timer1->setInterval(100);
    connect(Timer1, &QTimer::timeout, this, [this] { Guard([this] { Timer1Timer(); }); });
    DelayTimer = new QTimer(this);
    connect(DelayTimer, &QTimer::timeout, this, [this] { Guard([this] { DelayTimerTimer(); }); });
    CommandLineTimer = new QTimer(this);
    CommandLineTimer->setInterval(100);
    connect(CommandLineTimer, &QTimer::timeout, this,
            [this] { Guard([this] { CommandLineTimerTimer(); }); });

    // Only the file button takes drops; the window refuses them everywhere else.
    setAcceptDrops(false);

    Timer1->start();
    Guard([this] { FormCreate(); });
    // The preview is made hidden, after the main window's own start-up.
    Form2 = new TForm2(this);

    // Centred on the screen.
    if (QScreen* const screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

TForm1::~TForm1() = default;

void TForm1::BuildSourcePage() {
    TabSheet1 = new QWidget;
    PageControl1->addTab(TabSheet1, QStringLiteral("Sour&ce"));
    const auto above = Qt::ToolButtonTextUnderIcon;
    BitBtn1 = Place(
        GlyphButton(TabSheet1, QStringLiteral("&Twain"), QStyle::SP_DriveCDIcon, above, false), 8,
        12, 90, 100);
    BitBtn2 = Place(GlyphButton(TabSheet1, QStringLiteral("S&creenshot"), QStyle::SP_ComputerIcon,
                                above, false),
                    97, 12, 90, 100);
    BitBtn6 = Place(GlyphButton(TabSheet1, QStringLiteral("Clipboard"),
                                QStyle::SP_FileDialogContentsView, above, false),
                    186, 12, 90, 100);
    BitBtn3 = Place(GlyphButton(TabSheet1, QStringLiteral("&File (drag&&drop)"),
                                QStyle::SP_DialogOpenButton, above, false),
                    275, 12, 90, 100);
    Bevel1 = Place(new QFrame(TabSheet1), 8, 104, 353, 17);
    Bevel1->setFrameShape(QFrame::HLine);
    Bevel1->setFrameShadow(QFrame::Sunken);
    Bevel1->lower();
    SpeedButton2 = Place(GlyphButton(TabSheet1, QStringLiteral("&Twain Source"), QStyle::SP_DirIcon,
                                     Qt::ToolButtonTextBesideIcon, true),
                         8, 128, 105, 25);
    SpeedButton2->setIconSize(QSize(16, 16));
    CheckBox3 =
        Place(new QCheckBox(QStringLiteral("Scan &whole glass"), TabSheet1), 16, 160, 105, 17);
    CheckBox1 = Place(new QCheckBox(QStringLiteral("&Close Program after done"), TabSheet1), 16,
                      184, 145, 17);
    SpeedButton1 =
        Place(GlyphButton(TabSheet1, QStringLiteral("E&xit Application"),
                          QStyle::SP_DialogCloseButton, Qt::ToolButtonTextBesideIcon, true),
              216, 168, 145, 41);

    connect(BitBtn2, &QToolButton::clicked, this, [this] { Guard([this] { BitBtn2Click(); }); });
    connect(BitBtn6, &QToolButton::clicked, this, [this] { Guard([this] { BitBtn6Click(); }); });
    connect(BitBtn3, &QToolButton::clicked, this, [this] { Guard([this] { BitBtn3Click(); }); });
    connect(SpeedButton1, &QToolButton::clicked, this,
            [this] { Guard([this] { SpeedButton1Click(); }); });
}

void TForm1::BuildFtpPage() {
    TabSheet2 = new QWidget;
    PageControl1->addTab(TabSheet2, QStringLiteral("&FTP Settings"));
    GroupBox1 = Place(new QGroupBox(TabSheet2), 8, 8, 353, 185);
    Icon(GroupBox1, QStyle::SP_DriveNetIcon, 8, 16);
    RightLabel(GroupBox1, QStringLiteral("Host : "), 6, 24, 80);
    RightLabel(GroupBox1, QStringLiteral("Username : "), 6, 56, 80);
    RightLabel(GroupBox1, QStringLiteral("Password : "), 6, 80, 80);
    RightLabel(GroupBox1, QStringLiteral("Directory : "), 6, 120, 80);
    RightLabel(GroupBox1, QStringLiteral("Port : "), 6, 144, 80);
    Edit1 = Edit(GroupBox1, QStringLiteral("Edit1"), 96, 24, 177);
    Edit2 = Edit(GroupBox1, QStringLiteral("Edit2"), 96, 56, 177);
    Edit3 = Edit(GroupBox1, QStringLiteral("Edit3"), 96, 80, 97);
    Edit3->setEchoMode(QLineEdit::Password);
    Edit4 = Edit(GroupBox1, QStringLiteral("Edit4"), 96, 120, 177);
    Edit5 = Edit(GroupBox1, QStringLiteral("Edit5"), 96, 144, 41);
    SpeedButton3 = Place(GlyphButton(GroupBox1, QStringLiteral("&Reset"), QStyle::SP_BrowserReload,
                                     Qt::ToolButtonTextBesideIcon, true),
                         280, 24, 65, 25);
    SpeedButton3->setIconSize(QSize(16, 16));
}

void TForm1::BuildImagePage() {
    TabSheet3 = new QWidget;
    PageControl1->addTab(TabSheet3, QStringLiteral("&Image Settings"));
    GroupBox2 = Place(new QGroupBox(TabSheet3), 8, 8, 353, 153);
    Icon(GroupBox2, QStyle::SP_FileDialogDetailedView, 8, 16);
    Icon(GroupBox2, QStyle::SP_FileDialogInfoView, 8, 112);
    Place(new QLabel(QStringLiteral("Resize :"), GroupBox2), 48, 16, 40, 21);
    auto* const line = Place(new QFrame(GroupBox2), 16, 88, 329, 17);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    line->lower();
    RightLabel(GroupBox2, QStringLiteral("Maximal Width (Pixel) : "), 80, 16, 126);
    RightLabel(GroupBox2, QStringLiteral("Maximal Height (Pixel) : "), 80, 40, 126);
    RightLabel(GroupBox2, QStringLiteral("Image Quality (1-100) : "), 80, 112, 126);
    Edit7 = Edit(GroupBox2, QStringLiteral("600"), 208, 16, 49);
    Edit8 = Edit(GroupBox2, QStringLiteral("400"), 208, 40, 49);
    CheckBox4 =
        Place(new QCheckBox(QStringLiteral("Constrain &Porportions"), GroupBox2), 208, 64, 137, 17);
    CheckBox2 =
        Place(new QCheckBox(QStringLiteral("&Keep Original Size"), GroupBox2), 208, 80, 137, 22);
    Edit9 = Edit(GroupBox2, QStringLiteral("80"), 208, 112, 49);

    BitBtn4 = Place(new QPushButton(style()->standardIcon(QStyle::SP_FileDialogContentsView),
                                    QStringLiteral("&Preview"), TabSheet3),
                    8, 173, 105, 33);
    BitBtn5 = Place(new QPushButton(style()->standardIcon(QStyle::SP_ArrowUp),
                                    QStringLiteral("&Upload"), TabSheet3),
                    120, 173, 113, 33);
    Place(new QLabel(QStringLiteral("Imagefilename :"), TabSheet3), 240, 164, 121, 17);
    Edit10 = Edit(TabSheet3, QStringLiteral("image.jpg"), 240, 184, 121);
}

void TForm1::BuildAdvancedPage() {
    TabSheet4 = new QWidget;
    PageControl1->addTab(TabSheet4, QStringLiteral("Advanced"));
    GroupBox3 = Place(new QGroupBox(QStringLiteral("Delete File : "), TabSheet4), 8, 8, 353, 57);
    Place(new QLabel(QStringLiteral("FileName : "), GroupBox3), 8, 24, 56, 21);
    Edit6 = Edit(GroupBox3, QString(), 64, 24, 193);
    Button1 = Place(new QPushButton(QStringLiteral("&Delete"), GroupBox3), 264, 24, 81, 25);
    GroupBox4 =
        Place(new QGroupBox(QStringLiteral("Current Image : "), TabSheet4), 8, 72, 353, 137);
    Panel2 = Place(new QLabel(QStringLiteral("(no image)"), GroupBox4), 64, 16, 113, 113);
    Panel2->setAlignment(Qt::AlignCenter);
    Panel2->setFrameShape(QFrame::Panel);
    Panel2->setFrameShadow(QFrame::Raised);
    Image6 = Place(new TImage(Panel2), 2, 2, 109, 109);
    Image6->SetStretch(true);
    Button2 = Place(new QPushButton(QStringLiteral("&Clear Image"), GroupBox4), 192, 16, 105, 25);
    Button3 = Place(new QPushButton(QStringLiteral("&Save As ..."), GroupBox4), 192, 48, 105, 25);

    connect(Button2, &QPushButton::clicked, this, [this] { Guard([this] { Button2Click(); }); });
}

void TForm1::BuildStatusBar() {
    VStatus1 = Place(new TVStatus(this), 0, 254, 385, 20);
    QFont tahoma(QStringLiteral("Tahoma"));
    tahoma.setPointSize(8);
    tahoma.setStyleHint(QFont::SansSerif);
    Label11 =
        Place(new QLabel(QStringLiteral("Pictures to your web server"), VStatus1), 8, 4, 240, 14);
    Label11->setFont(tahoma);
    Label12 = Place(new QLabel(QStringLiteral("www.velmoran.example"), VStatus1), 256, 4, 129, 14);
    QFont link = tahoma;
    link.setUnderline(true);
    Label12->setFont(link);
    QPalette palette = Label12->palette();
    palette.setColor(QPalette::WindowText, Qt::blue);
    Label12->setPalette(palette);
    Label12->setCursor(Qt::PointingHandCursor);
    Label12->installEventFilter(this);
}

void TForm1::BuildBusyPanel() {
    Panel1 = Place(new QFrame(this), 12, 194, 369, 47);
    Panel1->setFrameShape(QFrame::NoFrame);
    Panel1->setAutoFillBackground(true);
    CGauge1 = Place(new TdxfProgressBar(Panel1), 8, 16, 289, 25);
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
    SpeedButton4 = Place(new QToolButton(Panel1), 304, 16, 57, 25);
    SpeedButton4->setIcon(style()->standardIcon(QStyle::SP_BrowserStop));
    SpeedButton4->setAutoRaise(true);
    Panel1->hide();
    Panel1->raise();
}

// Start-up

void TForm1::FormCreate() {
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

// Upload and remote delete

namespace {

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

// Settings page binding

void TForm1::SaveData(QObject* Sender) {
    // Only what the user typed or ticked is stored; texts the program sets are not.
    const auto* const edit = qobject_cast<const QLineEdit*>(Sender);
    const bool typed = edit && edit->hasFocus();
    if (!typed && !qobject_cast<const QCheckBox*>(Sender)) return;
    VReg1->PushCheckBox("AutoClose", CheckBox1);
    VReg1->PushCheckBox("OrginalSize", CheckBox2);
    VReg1->PushCheckBox("ScanAll", CheckBox3);
    VReg1->PushCheckBox("ConstrainPorportions", CheckBox4);
    VReg1->Push("Host", Std(Edit1));
    VReg1->Push("User", Std(Edit2));
    VReg1->Push("Password", VKeey1->Encode(Std(Edit3)));
    VReg1->Push("Directory", Std(Edit4));
    VReg1->Push("Port", Std(Edit5));
    VReg1->Push("MaxWidth", Std(Edit7));
    VReg1->Push("MaxHeight", Std(Edit8));
    VReg1->Push("Quality", Std(Edit9));
    VReg1->Push("ImageName", Std(Edit10));
}

bool TForm1::ResetData(QObject*) {
    VReg1->Push("OrginalSize", "0");
    VReg1->Push("ScanAll", "0");
    VReg1->Push("AutoClose", "0");
    VReg1->Push("ConstrainPorportions", "1");
    VReg1->Push("Host", DefaultHost);
    VReg1->Push("User", "testuser");
    VReg1->Push("Password", "");
    VReg1->Push("Directory", "/");
    VReg1->Push("Port", "21");
    VReg1->Push("MaxWidth", "620");
    VReg1->Push("MaxHeight", "480");
    VReg1->Push("Quality", "80");
    VReg1->Push("ImageName", "image.jpg");
    VReg1->Push("Reset", "0");
    return true;
}

void TForm1::LoadData(QObject* Sender) {
    if (VReg1->Pop("Reset") != "0") ResetData(Sender);
    CheckBox1->setChecked(VReg1->PopCheckBox("AutoClose", true));
    CheckBox2->setChecked(VReg1->PopCheckBox("OrginalSize", true));
    CheckBox3->setChecked(VReg1->PopCheckBox("ScanAll", true));
    CheckBox4->setChecked(VReg1->PopCheckBox("ConstrainPorportions", true));
    Edit1->setText(Qt8(VReg1->Pop("Host")));
    Edit2->setText(Qt8(VReg1->Pop("User")));
    Edit3->setText(Qt8(VKeey1->Decode(VReg1->Pop("Password"))));
    Edit4->setText(Qt8(VReg1->Pop("Directory")));
    Edit5->setText(Qt8(VReg1->Pop("Port")));
    Edit7->setText(Qt8(VReg1->Pop("MaxWidth")));
    Edit8->setText(Qt8(VReg1->Pop("MaxHeight")));
    Edit9->setText(Qt8(VReg1->Pop("Quality")));
    Edit10->setText(Qt8(VReg1->Pop("ImageName")));
    Edit6->setText(Edit10->text());
}

void TForm1::SpeedButton3Click() {
    ResetData(SpeedButton3);
    LoadData(SpeedButton3);
}

void TForm1::Edit10Change() {
    Edit6->setText(Edit10->text());
    SaveData(Edit10);
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
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
}

// Image sources

QString TForm1::FileExtension(const QString& Path) {
    return ::FileExtension(Path);
}

bool TForm1::CheckImageFileType(const QString& Path) {
    return ::CheckImageFileType(Path);
}

bool TForm1::LoadImageFile(TImage& Image, const QString& Path) {
    Image.SetAutoSize(true);
    Image.ClearPicture();
    const auto kind = PictureKindOfExtension(FileExtension(Path));
    if (!kind) return false;
    try {
        Image.SetPicture(LoadPicture(Path, *kind));
        return true;
    } catch (const std::exception&) {
        Image.ClearPicture();
        return false;
    }
}

void TForm1::ShowStop(const QString& Text) {
    FDialogs.MessageBox(this, QStringLiteral("Velmoran"), Text, TDialogs::Icon::Stop,
                        TDialogs::Buttons::Ok);
}

void TForm1::SetUploadName(const QString& Name) {
    Edit10->setText(Name);
    Edit6->setText(Name);
}

void TForm1::ProcessImageFile() {
    if (!CheckImageFileType(ImageFile)) {
        ShowStop(QStringLiteral("Not supportet Image File"));
        ImageFile.clear();
        return;
    }
    if (!LoadImageFile(*Image2, ImageFile)) {
        ShowStop(QStringLiteral("Error loading Image File"));
        ImageFile.clear();
        return;
    }
    SetUploadName(UploadFileName(ImageFile));
    PageControl1->setCurrentIndex(2);
}

void TForm1::SnapShot(TImage& Image) {
    desktop::ClearClipboard();
    Delay(500);
    desktop::PressPrintScreen();
    Delay(500);
    const QImage shot = QGuiApplication::clipboard()->image();
    if (!shot.isNull()) {
        Image.SetAutoSize(true);
        Image.SetPicture(shot);
    }
}

void TForm1::BitBtn2Click() {
    setWindowState(windowState() | Qt::WindowMinimized);
    SnapShot(*Image2);
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    activateWindow();
    PageControl1->setCurrentIndex(2);
    SetUploadName(QStringLiteral("screenshot.jpg"));
}

void TForm1::BitBtn6Click() {
    if (const auto files = desktop::ClipboardFileList()) {
        ImageFile.clear();
        ImageFile = files->first();
    }
    ProcessImageFile();
}

void TForm1::BitBtn3Click() {
    TDialogs::OpenRequest request;
    request.Title = QStringLiteral("Load Image File");
    request.Filter = QStringLiteral(
        "All pictures (*.jpg *.jpeg *.bmp *.ico *.emf *.wmf *.JPG *.JPEG *.BMP *.ICO *.EMF "
        "*.WMF);;JPEG Image File (*.jpg *.jpeg *.JPG *.JPEG);;Bitmaps (*.bmp *.BMP);;Icons "
        "(*.ico *.ICO);;Enhanced Metafiles (*.emf *.EMF);;Metafiles (*.wmf *.WMF)");
    if (const auto path = FDialogs.OpenFile(this, request)) {
        ImageFile = *path;
        ProcessImageFile();
    }
}

bool TForm1::FileButtonAcceptsDrops() const {
    return BitBtn3->acceptDrops();
}

bool TForm1::FileButtonWndProc(QEvent* event) {
    switch (event->type()) {
    case QEvent::DragEnter: // a QDragMoveEvent as well
    case QEvent::DragMove: {
        auto* const drag = static_cast<QDragMoveEvent*>(event);
        if (BitBtn3->acceptDrops() && drag->mimeData()->hasUrls())
            drag->acceptProposedAction();
        else
            drag->ignore();
        return true;
    }
    case QEvent::Drop: {
        auto* const drop = static_cast<QDropEvent*>(event);
        QStringList files;
        for (const QUrl& url : drop->mimeData()->urls())
            if (url.isLocalFile()) files << url.toLocalFile();
        drop->acceptProposedAction();
        Guard([&] { FilesDropped(files); });
        return true;
    }
    default:
        return false; // everything else takes the button's own way
    }
}

void TForm1::FilesDropped(const QStringList& Files) {
    BitBtn3->setAcceptDrops(false);
    if (!Files.isEmpty()) {
        for (const QString& file : Files)
            if (QFileInfo(file).isFile()) ImageFile = file;
        BitBtn3->setAcceptDrops(true);
        ProcessImageFile();
    } else {
        BitBtn3->setAcceptDrops(true);
    }
}

void TForm1::GetCommandLineFile() {
    for (const QString& argument : FArguments) {
        if (QFileInfo(argument).isFile()) {
            QCoreApplication::processEvents();
            ImageFile = argument;
        }
    }
    if (!FArguments.isEmpty()) ProcessImageFile();
}

void TForm1::Button2Click() {
    Image2->ClearPicture();
    Image5->ClearPicture();
    Image6->ClearPicture();
    ImageFile.clear();
    UpdateData(Button2);
    ResizeImage(*Image2, *Image5);
    Image6->SetPicture(Image5->Picture());
}

// Scaling, JPEG output and the preview

void TForm1::UpdateData(QObject* Sender) {
    const TImageSettings settings = ParseImageSettings(Edit7->text(), Edit8->text(), Edit9->text());
    MaxWidth = settings.MaxWidth;
    MaxHeight = settings.MaxHeight;
    Quality = settings.Quality;
    SaveData(Sender);
}

void TForm1::ResizeImage(const TImage& Source, TImage& Destination) {
    Destination.ClearPicture();
    const TImageSettings settings{MaxWidth, MaxHeight, Quality};
    const bool keep = CheckBox2->isChecked();
    const bool constrain = CheckBox4->isChecked();
    const QImage scaled = ::ResizeImage(Source.Picture(), Source.size(), settings, keep, constrain);
    // The size is known to fit: ResizeImage refuses what it cannot allocate.
    const TScaledSize size =
        ComputeScaledSize(Source.Width(), Source.Height(), MaxWidth, MaxHeight, keep, constrain);
    Destination.SetAutoSize(false);
    Destination.resize(int(size.Width), int(size.Height));
    Destination.SetPicture(scaled);
}

void TForm1::SaveToFile(const TImage& Image, const QString& Path) const {
    // A computed width or height of 0 is refused here rather than written as a broken file.
    WriteJpeg(Image.Picture(), Path, Quality);
}

QString TForm1::CreateFilename(const QString& Name) const {
    return ::CreateFilename(QString::fromStdString(VReg1->AppDir()), Name);
}

void TForm1::SavePicture() {
    TDialogs::SaveRequest request;
    request.Title = QStringLiteral("Save Picture");
    request.DefaultExt = QStringLiteral("jpg");
    request.Filter = QStringLiteral("JPEG-Format (*.jpg);;BMP-Format (Windows) (*.bmp)");
    const auto answer = FDialogs.SaveFile(this, request);
    if (!answer) return;
    if (answer->FilterIndex == 2)
        WriteBitmap(Image5->Picture(), answer->Path);
    else
        WriteJpeg(Image5->Picture(), answer->Path, Quality);
}

void TForm1::PageControl1Change(int Index) {
    if (Index != 3) return;
    UpdateData(PageControl1);
    ResizeImage(*Image2, *Image5);
    Image6->SetPicture(Image5->Picture());
}

void TForm1::BitBtn4Click() {
    UpdateData(BitBtn4);
    ResizeImage(*Image2, *Image5);
    Form2->Image1->resize(Image5->size());
    Form2->Image1->SetPicture(Image5->Picture());
    Form2->ShowModal();
}

// Errors

void TForm1::ReportError(const std::exception& E) {
    ShowException(FDialogs, this, E);
}

void TForm1::ReportUnknownError() {
    ShowException(FDialogs, this, QStringLiteral("An unexpected error occurred."));
}
