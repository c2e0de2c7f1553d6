#include "app/mainwindow.h"

#include "app/timage.h"
#include "capture/vstatus.h"
#include "controls/progressbar.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTabWidget>
#include <QToolButton>
#include <functional>
#include <limits>

namespace {

enum class TKind {
    Pages,         // the page control
    Page,          // a page of the page control; the caption is its tab's
    Group,         // group box
    Label,         // plain text
    RightLabel,    // text aligned to the right, as the labels beside the edits
    Icon,          // a 32 x 32 glyph
    Line,          // a sunken line behind its neighbours
    Edit,          // line edit; the caption is its design text
    Password,      // line edit that shows "*" for every character
    CheckBox,      // check box with its caption
    Choice,        // drop-down list; the caption holds its entries, one a line
    BigButton,     // glyph above the text
    FlatButton,    // flat, small glyph beside the text
    BigFlatButton, // flat, large glyph beside the text
    GlyphButton,   // flat, glyph only
    Button,        // push button, with a glyph when one is given
    Holder,        // picture holder that takes the size of its picture, never seen
    Thumbnail,     // picture squeezed into the control
    ImagePanel,    // raised panel with centred text
    StatusBar,     // the bar along the bottom edge
    StatusText,    // "Tahoma" text on the status bar
    Link,          // blue underlined "Tahoma" text with a hand cursor
    BusyPanel,     // panel without bevel, hidden until busy
    Gauge,         // the gradient progress bar
};

// Where a new control is kept: one of the window's members, whatever its type.
class TSlot {
public:
    TSlot() = default;
    template <class W>
    TSlot(W*& Member)
        : FSet([&Member](QWidget* Widget) {
              Member = dynamic_cast<W*>(Widget);
              Q_ASSERT(Member); // the kind makes a control of the member's type
          }),
          FGet([&Member]() -> QWidget* { return Member; }) {}
    void Set(QWidget* Widget) const {
        if (FSet) FSet(Widget);
    }
    QWidget* Get() const { return FGet ? FGet() : nullptr; }

private:
    std::function<void(QWidget*)> FSet;
    std::function<QWidget*()> FGet;
};

constexpr auto kNoGlyph = QStyle::SP_CustomBase;

struct TControl {
    TSlot Slot; // empty for controls the program never touches again
    TKind Kind;
    TSlot Parent; // empty: the window itself
    const char* Caption;
    QRect Geometry;
    QStyle::StandardPixmap Glyph = kNoGlyph;
};

// Glyph sizes in pixels; 0 keeps the control's default.
int GlyphSize(TKind Kind) {
    switch (Kind) {
    case TKind::Icon:
    case TKind::BigButton:
    case TKind::BigFlatButton:
        return 32;
    case TKind::FlatButton:
        return 16;
    default:
        return 0;
    }
}

QFont Tahoma() {
    QFont font(QStringLiteral("Tahoma"));
    font.setPointSize(8);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

QToolButton* MakeToolButton(QWidget* Parent, const QString& Caption, Qt::ToolButtonStyle Style,
                            bool Flat) {
    auto* const button = new QToolButton(Parent);
    button->setText(Caption);
    button->setToolButtonStyle(Style);
    button->setAutoRaise(Flat);
    return button;
}

QLabel* MakeLabel(QWidget* Parent, const QString& Caption, Qt::Alignment Alignment) {
    auto* const label = new QLabel(Caption, Parent);
    if (Alignment) label->setAlignment(Alignment);
    return label;
}

QFrame* MakeLine(QWidget* Parent) {
    auto* const line = new QFrame(Parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

QLineEdit* MakeEdit(QWidget* Parent, const QString& Caption, bool Password) {
    auto* const edit = new QLineEdit(Parent);
    // Stored values have no length limit; QLineEdit would cut them at 32767 characters.
    edit->setMaxLength(std::numeric_limits<int>::max());
    edit->setText(Caption);
    if (Password) edit->setEchoMode(QLineEdit::Password);
    return edit;
}

TImage* MakeHolder(QWidget* Parent, bool AutoSize, bool Stretch) {
    auto* const image = new TImage(Parent);
    image->SetAutoSize(AutoSize);
    image->SetStretch(Stretch);
    return image;
}

QLabel* MakeStatusText(QWidget* Parent, const QString& Caption, bool Link) {
    auto* const label = new QLabel(Caption, Parent);
    QFont font = Tahoma();
    font.setUnderline(Link);
    label->setFont(font);
    if (Link) {
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, Qt::blue);
        label->setPalette(palette);
        label->setCursor(Qt::PointingHandCursor);
    }
    return label;
}

QWidget* Create(const TControl& Control, QWidget* Parent) {
    const QString caption = QString::fromUtf8(Control.Caption);
    switch (Control.Kind) {
    case TKind::Pages:
        return new QTabWidget(Parent);
    case TKind::Page: {
        auto* const page = new QWidget;
        static_cast<QTabWidget*>(Parent)->addTab(page, caption);
        return page;
    }
    case TKind::Group:
        return new QGroupBox(caption, Parent);
    case TKind::Label:
        return MakeLabel(Parent, caption, {});
    case TKind::RightLabel:
        return MakeLabel(Parent, caption, Qt::AlignRight | Qt::AlignVCenter);
    case TKind::Icon:
        return new QLabel(Parent);
    case TKind::Line:
        return MakeLine(Parent);
    case TKind::Edit:
    case TKind::Password:
        return MakeEdit(Parent, caption, Control.Kind == TKind::Password);
    case TKind::CheckBox:
        return new QCheckBox(caption, Parent);
    case TKind::Choice: {
        auto* const choice = new QComboBox(Parent);
        choice->addItems(caption.split(u'\n'));
        return choice;
    }
    case TKind::BigButton:
        return MakeToolButton(Parent, caption, Qt::ToolButtonTextUnderIcon, false);
    case TKind::FlatButton:
    case TKind::BigFlatButton:
        return MakeToolButton(Parent, caption, Qt::ToolButtonTextBesideIcon, true);
    case TKind::GlyphButton:
        return MakeToolButton(Parent, caption, Qt::ToolButtonIconOnly, true);
    case TKind::Button:
        return new QPushButton(caption, Parent);
    case TKind::Holder:
        return MakeHolder(Parent, true, false);
    case TKind::Thumbnail:
        return MakeHolder(Parent, false, true);
    case TKind::ImagePanel: {
        auto* const panel = MakeLabel(Parent, caption, Qt::AlignCenter);
        panel->setFrameShape(QFrame::Panel);
        panel->setFrameShadow(QFrame::Raised);
        return panel;
    }
    case TKind::StatusBar:
        return new TVStatus(Parent);
    case TKind::StatusText:
    case TKind::Link:
        return MakeStatusText(Parent, caption, Control.Kind == TKind::Link);
    case TKind::BusyPanel: {
        auto* const panel = new QFrame(Parent);
        panel->setFrameShape(QFrame::NoFrame);
        panel->setAutoFillBackground(true);
        return panel;
    }
    case TKind::Gauge:
        return new TdxfProgressBar(Parent);
    }
    return nullptr;
}

void SetGlyph(QWidget* Widget, QStyle::StandardPixmap Glyph, int Size) {
    const QIcon icon = Widget->style()->standardIcon(Glyph);
    if (auto* const button = qobject_cast<QAbstractButton*>(Widget)) {
        button->setIcon(icon);
        if (Size > 0) button->setIconSize(QSize(Size, Size));
    } else if (auto* const label = qobject_cast<QLabel*>(Widget)) {
        label->setPixmap(icon.pixmap(Size, Size));
    }
}

} // namespace

void TForm1::BuildLayout() {
    using enum TKind;
    using enum QStyle::StandardPixmap;
    QLabel* securityLabel = nullptr;
    QLabel* webLabel = nullptr;
    // clang-format off
    const TControl controls[] = {
        // Control   Kind           Parent        Caption                      Left, top, width, height
        {Image2,       Holder,        {},           "",                          {-1000, -1000, 54, 30}},
        {Image5,       Holder,        {},           "",                          {-1000, -1000, 54, 30}},
        {PageControl1, Pages,         {},           "",                          {8, 8, 377, 241}},

        {TabSheet1,    Page,          PageControl1, "Sour&ce",                   {}},
        {BitBtn1,      BigButton,     TabSheet1,    "&Twain",                    {8, 12, 90, 100}, SP_DriveCDIcon},
        {BitBtn2,      BigButton,     TabSheet1,    "S&creenshot",               {97, 12, 90, 100}, SP_ComputerIcon},
        {BitBtn6,      BigButton,     TabSheet1,    "Clipboard",                 {186, 12, 90, 100}, SP_FileDialogContentsView},
        {BitBtn3,      BigButton,     TabSheet1,    "&File (drag&&drop)",        {275, 12, 90, 100}, SP_DialogOpenButton},
        {Bevel1,       Line,          TabSheet1,    "",                          {8, 104, 353, 17}},
        {SpeedButton2, FlatButton,    TabSheet1,    "&Twain Source",             {8, 128, 105, 25}, SP_DirIcon},
        {CheckBox3,    CheckBox,      TabSheet1,    "Scan &whole glass",         {16, 160, 105, 17}},
        {CheckBox6,    CheckBox,      TabSheet1,    "Choose &area",              {216, 136, 145, 17}},
        {CheckBox1,    CheckBox,      TabSheet1,    "&Close Program after done", {16, 184, 145, 17}},
        {SpeedButton1, BigFlatButton, TabSheet1,    "E&xit Application",         {216, 168, 145, 41}, SP_DialogCloseButton},
        {SpeedButton5, FlatButton,    TabSheet1,    "Upload &History",           {216, 128, 145, 25}, SP_FileDialogListView},

        {TabSheet2,    Page,          PageControl1, "&FTP Settings",             {}},
        {GroupBox1,    Group,         TabSheet2,    "",                          {8, 8, 353, 185}},
        {{},           Icon,          GroupBox1,    "",                          {8, 16, 32, 32}, SP_DriveNetIcon},
        {{},           RightLabel,    GroupBox1,    "Host : ",                   {6, 24, 80, 21}},
        {{},           RightLabel,    GroupBox1,    "Username : ",               {6, 56, 80, 21}},
        {{},           RightLabel,    GroupBox1,    "Password : ",               {6, 80, 80, 21}},
        {{},           RightLabel,    GroupBox1,    "Directory : ",              {6, 120, 80, 21}},
        {{},           RightLabel,    GroupBox1,    "Port : ",                   {6, 144, 80, 21}},
        {Edit1,        Edit,          GroupBox1,    "Edit1",                     {96, 24, 177, 21}},
        {Edit2,        Edit,          GroupBox1,    "Edit2",                     {96, 56, 177, 21}},
        {Edit3,        Password,      GroupBox1,    "Edit3",                     {96, 80, 97, 21}},
        {Edit4,        Edit,          GroupBox1,    "Edit4",                     {96, 120, 177, 21}},
        {Edit5,        Edit,          GroupBox1,    "Edit5",                     {96, 144, 41, 21}},
        {SpeedButton3, FlatButton,    GroupBox1,    "&Reset",                    {280, 24, 65, 25}, SP_BrowserReload},
        {Button4,      FlatButton,    GroupBox1,    "T&est",                     {280, 52, 65, 25}, SP_DialogApplyButton},
        {CheckBox5,    CheckBox,      GroupBox1,    "Passi&ve mode",             {208, 82, 137, 17}},
        {securityLabel, RightLabel,   GroupBox1,    "Securit&y : ",              {140, 144, 56, 21}},
        {ComboBox1,    Choice,        GroupBox1,    "Plain FTP\nTLS if offered\nTLS required\nImplicit TLS\nSFTP (SSH)", {200, 144, 145, 21}},
        {webLabel,     RightLabel,    GroupBox1,    "We&b address : ",           {6, 101, 80, 19}},
        {Edit11,       Edit,          GroupBox1,    "",                          {96, 101, 249, 19}},

        {TabSheet3,    Page,          PageControl1, "&Image Settings",           {}},
        {GroupBox2,    Group,         TabSheet3,    "",                          {8, 8, 353, 153}},
        {{},           Icon,          GroupBox2,    "",                          {8, 16, 32, 32}, SP_FileDialogDetailedView},
        {{},           Icon,          GroupBox2,    "",                          {8, 112, 32, 32}, SP_FileDialogInfoView},
        {{},           Label,         GroupBox2,    "Resize :",                  {48, 16, 40, 21}},
        {{},           Line,          GroupBox2,    "",                          {16, 88, 329, 17}},
        {{},           RightLabel,    GroupBox2,    "Maximal Width (Pixel) : ",  {80, 16, 126, 21}},
        {{},           RightLabel,    GroupBox2,    "Maximal Height (Pixel) : ", {80, 40, 126, 21}},
        {{},           RightLabel,    GroupBox2,    "Image Quality (1-100) : ",  {80, 112, 126, 21}},
        {Edit7,        Edit,          GroupBox2,    "600",                       {208, 16, 49, 21}},
        {Edit8,        Edit,          GroupBox2,    "400",                       {208, 40, 49, 21}},
        {CheckBox4,    CheckBox,      GroupBox2,    "Constrain &Porportions",    {208, 64, 137, 17}},
        {CheckBox2,    CheckBox,      GroupBox2,    "&Keep Original Size",       {208, 80, 137, 22}},
        {Edit9,        Edit,          GroupBox2,    "80",                        {208, 112, 49, 21}},
        {BitBtn4,      Button,        TabSheet3,    "&Preview",                  {8, 173, 105, 33}, SP_FileDialogContentsView},
        {BitBtn5,      Button,        TabSheet3,    "&Upload",                   {120, 173, 113, 33}, SP_ArrowUp},
        {{},           Label,         TabSheet3,    "Imagefilename :",           {240, 164, 121, 17}},
        {Edit10,       Edit,          TabSheet3,    "image.jpg",                 {240, 184, 121, 21}},

        {TabSheet4,    Page,          PageControl1, "Advanced",                  {}},
        {GroupBox3,    Group,         TabSheet4,    "Delete File : ",            {8, 8, 353, 57}},
        {{},           Label,         GroupBox3,    "FileName : ",               {8, 24, 56, 21}},
        {Edit6,        Edit,          GroupBox3,    "",                          {64, 24, 193, 21}},
        {Button1,      Button,        GroupBox3,    "&Delete",                   {264, 24, 81, 25}},
        {GroupBox4,    Group,         TabSheet4,    "Current Image : ",          {8, 72, 353, 137}},
        {Panel2,       ImagePanel,    GroupBox4,    "(no image)",                {64, 16, 113, 113}},
        {Image6,       Thumbnail,     Panel2,       "",                          {2, 2, 109, 109}},
        {Button2,      Button,        GroupBox4,    "&Clear Image",              {192, 16, 105, 25}},
        {Button3,      Button,        GroupBox4,    "&Save As ...",              {192, 48, 105, 25}},

        {VStatus1,     StatusBar,     {},           "",                          {0, 254, 385, 20}},
        {Label11,      StatusText,    VStatus1,     "Pictures to your web server", {8, 4, 240, 14}},
        {Label12,      Link,          VStatus1,     "www.velmoran.example",      {256, 4, 129, 14}},

        {Panel1,       BusyPanel,     {},           "",                          {12, 194, 369, 47}},
        {CGauge1,      Gauge,         Panel1,       "",                          {8, 16, 289, 25}},
        {SpeedButton4, GlyphButton,   Panel1,       "",                          {304, 16, 57, 25}, SP_BrowserStop},
    };
    // clang-format on

    for (const TControl& control : controls) {
        QWidget* const parent = control.Parent.Get() ? control.Parent.Get() : ClientArea;
        QWidget* const widget = Create(control, parent);
        if (control.Kind != TKind::Page) widget->setGeometry(control.Geometry);
        if (control.Glyph != kNoGlyph) SetGlyph(widget, control.Glyph, GlyphSize(control.Kind));
        // Lines lie behind the controls they separate.
        if (control.Kind == TKind::Line) widget->lower();
        if (control.Kind == TKind::Holder || control.Kind == TKind::BusyPanel) widget->hide();
        control.Slot.Set(widget);
    }
    securityLabel->setBuddy(ComboBox1);
    webLabel->setBuddy(Edit11);
}
