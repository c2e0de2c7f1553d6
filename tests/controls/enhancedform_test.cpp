#include "controls/enhancedform.h"

#include "support/test_support.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QWidget>
#include <gtest/gtest.h>
#include <memory>

namespace {

QRgb Rgb(const QColor& c) {
    return c.rgb() & 0xffffffu;
}
QRgb At(const QImage& img, int x, int y) {
    return img.pixel(x, y) & 0xffffffu;
}

// A form whose caption colours are easy to tell apart: black to white when active.
std::unique_ptr<QWidget> MakeForm(Qt::WindowFlags flags = Qt::Window) {
    auto form = std::make_unique<QWidget>(nullptr, flags);
    QPalette pal = form->palette();
    pal.setColor(QPalette::Active, QPalette::Highlight, QColor(255, 255, 255));
    pal.setColor(QPalette::Active, QPalette::HighlightedText, QColor(255, 0, 0));
    pal.setColor(QPalette::Active, QPalette::Mid, QColor(0, 255, 0));
    pal.setColor(QPalette::Active, QPalette::Midlight, QColor(0, 0, 255));
    form->setPalette(pal);
    form->resize(400, 300);
    return form;
}

// Runs of equal colour along row y from column 0 to last.
std::vector<std::pair<int, QRgb>> Bands(const QImage& img, int y, int last) {
    std::vector<std::pair<int, QRgb>> bands; // (width, colour)
    for (int x = 0; x <= last; ++x) {
        const QRgb c = At(img, x, y);
        if (bands.empty() || bands.back().second != c)
            bands.emplace_back(1, c);
        else
            ++bands.back().first;
    }
    return bands;
}

} // namespace

TEST(EnhancedForm, MulDivRoundsHalvesAwayFromZero) {
    EXPECT_EQ(TEFTitleBar::MulDiv(1, 1, 2), 1);
    EXPECT_EQ(TEFTitleBar::MulDiv(-1, 1, 2), -1);
    EXPECT_EQ(TEFTitleBar::MulDiv(3, 2, 4), 2);
    EXPECT_EQ(TEFTitleBar::MulDiv(1, 1, 3), 0);
    EXPECT_EQ(TEFTitleBar::MulDiv(2, 1, 3), 1);
    EXPECT_EQ(TEFTitleBar::MulDiv(7, -255, 10), -179);
    EXPECT_EQ(TEFTitleBar::MulDiv(5, 1, 0), -1);
    EXPECT_EQ(TEFTitleBar::MulDiv(100000, 100000, 100000), 100000); // no 32-bit overflow in between
}

TEST(EnhancedForm, OwnerMustBeAFormWithoutAnotherInstance) {
    const auto message = [](auto&& make) -> std::string {
        try {
            make();
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "no error";
    };
    const std::string wrongOwner = "The owner of a TEnhancedForm component must be a form...";
    EXPECT_EQ(message([] { TEnhancedForm e(nullptr); }), wrongOwner);
    QObject plain;
    EXPECT_EQ(message([&] { TEnhancedForm e(&plain); }), wrongOwner);
    auto form = MakeForm();
    QWidget child(form.get());
    EXPECT_EQ(message([&] { TEnhancedForm e(&child); }), wrongOwner);

    auto* first = new TEnhancedForm(form.get());
    EXPECT_EQ(first->parent(), form.get());
    EXPECT_EQ(message([&] { new TEnhancedForm(form.get()); }),
              "Only one instance of TEnhancedForm per form is allowed...");
    EXPECT_EQ(form->findChildren<TEnhancedForm*>().size(), 1);
}

TEST(EnhancedForm, Defaults) {
    auto form = MakeForm();
    TEnhancedForm ef(form.get());
    EXPECT_TRUE(ef.Enabled());
    const TEFTitleBar& tb = ef.TitleBar();
    EXPECT_EQ(tb.Alignment(), taLeftJustify);
    EXPECT_EQ(tb.ApplicationInfo().FontStyle(), TFontStyles{fsBold});
    EXPECT_EQ(tb.CompanyInfo().FontStyle(), TFontStyles{fsBold | fsItalic});
    EXPECT_TRUE(tb.CompanyInfo().Enabled());
    EXPECT_TRUE(tb.CompanyInfo().Caption().isEmpty());
    EXPECT_EQ(tb.Color(), QColor(0, 0, 0));
    EXPECT_TRUE(tb.Enabled());
    EXPECT_EQ(tb.NbOfColors(), 0);
    EXPECT_EQ(tb.Type(), gtLeftToRight);
    const TEFTrayIcon& tray = ef.TrayIcon();
    EXPECT_TRUE(tray.Enabled());
    EXPECT_TRUE(tray.Icon().isNull());
    EXPECT_EQ(tray.IconList(), nullptr);
    EXPECT_EQ(tray.IconListIndex(), -1);
    EXPECT_EQ(tray.IconInterval(), 1000u);
    EXPECT_EQ(tray.IconType(), itSingle);
    EXPECT_EQ(tray.OpenAppOn(), ooDblClick);
    EXPECT_FALSE(tray.Test());
    EXPECT_EQ(ef.WallPaper().Display(), dwTile);
    EXPECT_TRUE(ef.WallPaper().Enabled());
    EXPECT_TRUE(ef.WallPaper().Bitmap().isNull());
}

TEST(EnhancedForm, GradientBands) {
    auto form = MakeForm();
    form->setWindowTitle(QString());
    TEnhancedForm ef(form.get());
    TEFTitleBar& tb = ef.TitleBar();
    ASSERT_EQ(ef.BorderStyle(), bsSizeable);
    const int buttons = tb.ButtonAreaWidth();
    ASSERT_EQ(buttons, 3 * tb.Metrics().ButtonWidth); // 2 + (w - 2) + 2w

    // 300 pixels of text area, one band per column at most 256: 256 bands from black to white.
    form->resize(300 + buttons, 200);
    ASSERT_EQ(tb.TextArea().width(), 300);
    QImage img = tb.Render(true);
    ASSERT_EQ(img.width(), 300 + buttons);
    auto bands = Bands(img, 0, 299);
    ASSERT_EQ(bands.size(), 256u);
    for (int k = 0; k < 256; ++k) {
        EXPECT_EQ(bands[k].first,
                  TEFTitleBar::MulDiv(k + 1, 300, 256) - TEFTitleBar::MulDiv(k, 300, 256))
            << k;
        EXPECT_EQ(bands[k].second, qRgb(k, k, k) & 0xffffffu) << k;
    }
    // Behind the buttons: the end colour.
    EXPECT_EQ(At(img, 300, 0), Rgb(Qt::white));
    EXPECT_EQ(At(img, img.width() - 1, 0), Rgb(Qt::white));

    // 100 pixels: 100 bands, one per column.
    form->resize(100 + buttons, 200);
    img = tb.Render(true);
    bands = Bands(img, 0, 99);
    ASSERT_EQ(bands.size(), 100u);
    for (int k = 0; k < 100; ++k) {
        const int v = TEFTitleBar::MulDiv(k, 255, 99);
        EXPECT_EQ(At(img, k, 0), qRgb(v, v, v) & 0xffffffu) << k;
    }

    // One colour is refused; two paint two solid halves.
    form->resize(300 + buttons, 200);
    for (int bad : {1, -1, 257}) {
        tb.SetNbOfColors(bad);
        EXPECT_EQ(tb.NbOfColors(), 0) << bad;
    }
    tb.SetNbOfColors(2);
    img = tb.Render(true);
    bands = Bands(img, 0, 299);
    ASSERT_EQ(bands.size(), 2u);
    EXPECT_EQ(bands[0], std::make_pair(150, Rgb(Qt::black)));
    EXPECT_EQ(bands[1], std::make_pair(150, Rgb(Qt::white)));
    tb.SetNbOfColors(256);
    EXPECT_EQ(tb.NbOfColors(), 256);

    // No gradient: the caption colour throughout.
    tb.SetType(gtNone);
    img = tb.Render(true);
    EXPECT_EQ(Bands(img, 0, img.width() - 1).size(), 1u);

    // Centre to border: caption colour at both edges, the title bar's colour in the middle.
    tb.SetType(gtCenterToBorder);
    // Five bands of 60: the first two run from white toward black, the last three from black
    // back to white.
    tb.SetNbOfColors(5);
    img = tb.Render(true);
    bands = Bands(img, 0, 299);
    const int down = 255 + TEFTitleBar::MulDiv(2, -255, 4); // 127
    const int up = 0 - TEFTitleBar::MulDiv(2, -255, 4);     // 128
    ASSERT_EQ(bands.size(), 5u);
    EXPECT_EQ(bands[0], std::make_pair(60, Rgb(Qt::white)));
    EXPECT_EQ(bands[1], std::make_pair(60, qRgb(down, down, down) & 0xffffffu));
    EXPECT_EQ(bands[2], std::make_pair(60, Rgb(Qt::black)));
    EXPECT_EQ(bands[3], std::make_pair(60, qRgb(up, up, up) & 0xffffffu));
    EXPECT_EQ(bands[4], std::make_pair(60, Rgb(Qt::white)));
    EXPECT_EQ(At(img, 300, 0), Rgb(Qt::white)); // behind the buttons: the start colour
}

TEST(EnhancedForm, InactiveColours) {
    auto form = MakeForm();
    form->setWindowTitle(QStringLiteral("WWWW"));
    TEnhancedForm ef(form.get());
    TEFTitleBar& tb = ef.TitleBar();
    const int textEnd = tb.TextArea().right();
    const QImage active = tb.Render(true);
    const QImage inactive = tb.Render(false);
    EXPECT_EQ(At(active, textEnd, 0), Rgb(Qt::white));
    EXPECT_EQ(At(inactive, textEnd, 0), Rgb(QColor(0, 255, 0)));
    EXPECT_EQ(At(inactive, 0, 0), Rgb(Qt::black));

    const auto count = [](const QImage& img, const QRect& r, QRgb c) {
        int n = 0;
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x)
                n += At(img, x, y) == c;
        return n;
    };
    const auto layout = tb.TextLayout();
    ASSERT_EQ(layout.size(), 1u);
    const QRect slot = layout[0].Slot;
    EXPECT_GT(count(active, slot, Rgb(QColor(255, 0, 0))), 0);
    EXPECT_EQ(count(active, slot, Rgb(QColor(0, 0, 255))), 0);
    EXPECT_GT(count(inactive, slot, Rgb(QColor(0, 0, 255))), 0);
    EXPECT_EQ(count(inactive, slot, Rgb(QColor(255, 0, 0))), 0);

    // The state follows what the window system reported last.
    tb.SetReportedActive(false);
    EXPECT_FALSE(tb.Active());
    tb.SetReportedActive(true);
    EXPECT_TRUE(tb.Active());
}

TEST(EnhancedForm, TextsThatDoNotFitDropTheCompanyFirst) {
    auto form = MakeForm();
    form->setWindowTitle(QStringLiteral("Velmoran ImgLift"));
    TEnhancedForm ef(form.get());
    TEFTitleBar& tb = ef.TitleBar();
    tb.CompanyInfo().SetCaption(QStringLiteral("Velmoran Software"));
    tb.ApplicationInfo().SetCaption(QStringLiteral("ImgLift 1.0"));
    const QFont base = tb.CaptionFont();
    QFont bold = base, boldItalic = base;
    bold.setBold(true);
    boldItalic.setBold(true);
    boldItalic.setItalic(true);
    const int company = QFontMetrics(boldItalic).horizontalAdvance("Velmoran Software") + 5;
    const int app = QFontMetrics(bold).horizontalAdvance("ImgLift 1.0") + 5;
    const int caption = QFontMetrics(base).horizontalAdvance("Velmoran ImgLift") + 5;
    const int fixed = tb.ButtonAreaWidth() + 1 + tb.Metrics().SmallIconWidth; // buttons, icon

    const auto shown = [&] {
        std::vector<QString> texts;
        for (const auto& t : tb.TextLayout())
            texts.push_back(t.Text);
        return texts;
    };
    form->resize(fixed + company + app + caption, 100);
    EXPECT_EQ(shown(),
              (std::vector<QString>{"Velmoran Software", "ImgLift 1.0", "Velmoran ImgLift"}));
    auto layout = tb.TextLayout();
    EXPECT_EQ(layout[0].Slot.left(), 1 + tb.Metrics().SmallIconWidth + 3);
    EXPECT_EQ(layout[0].Slot.width(), company);
    EXPECT_EQ(layout[1].Slot.left(), layout[0].Slot.right() + 1);
    EXPECT_TRUE(layout[0].Font.italic());

    form->resize(fixed + company + app + caption - 1, 100);
    EXPECT_EQ(shown(), (std::vector<QString>{"ImgLift 1.0", "Velmoran ImgLift"}));
    form->resize(fixed + app + caption - 1, 100);
    EXPECT_EQ(shown(), (std::vector<QString>{"Velmoran ImgLift"}));
    form->resize(fixed + caption / 2, 100);
    layout = tb.TextLayout();
    ASSERT_EQ(layout.size(), 1u);
    EXPECT_TRUE(layout[0].Text.endsWith(QChar(0x2026))) << layout[0].Text.toStdString();

    // A disabled special caption takes no part; right alignment ends the texts 3 pixels past
    // the text area.
    form->resize(fixed + company + app + caption + 40, 100);
    tb.CompanyInfo().SetEnabled(false);
    EXPECT_EQ(shown(), (std::vector<QString>{"ImgLift 1.0", "Velmoran ImgLift"}));
    tb.SetAlignment(taRightJustify);
    layout = tb.TextLayout();
    EXPECT_EQ(layout.back().Slot.right() + 1, tb.TextArea().right() + 1 + 3);
    tb.SetAlignment(taCenter);
    layout = tb.TextLayout();
    const int areaLeft = 1 + tb.Metrics().SmallIconWidth;
    const int areaWidth = tb.TextArea().width() - areaLeft;
    EXPECT_EQ(layout[0].Slot.left(), areaLeft + (areaWidth - app - caption) / 2 + 3);
}

TEST(EnhancedForm, CaptionButtonsAndFlags) {
    auto form = MakeForm();
    TEnhancedForm ef(form.get());
    TEFTitleBar& tb = ef.TitleBar();
    const int w = tb.Metrics().ButtonWidth;
    const int top = 2;
    auto places = tb.ButtonPlaces();
    ASSERT_EQ(places.size(), 3u);
    EXPECT_EQ(places[0].Button, TEFTitleBar::cbClose);
    EXPECT_EQ(places[0].Rect, QRect(400 - 2 - (w + 2), top, w + 2, tb.TitleRect().height() - 4));
    EXPECT_EQ(places[1].Button, TEFTitleBar::cbMaximize);
    EXPECT_EQ(places[1].Rect.left(), places[0].Rect.left() - (w + 4));
    EXPECT_EQ(places[2].Button, TEFTitleBar::cbMinimize);
    EXPECT_EQ(places[2].Rect.left(), places[1].Rect.left() - (w + 2));
    for (const auto& p : places)
        EXPECT_FALSE(p.Inactive);

    // Minimise without maximise: the pair stays, maximise drawn inactive.
    auto noMax = MakeForm(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint);
    TEnhancedForm ef2(noMax.get());
    places = ef2.TitleBar().ButtonPlaces();
    ASSERT_EQ(places.size(), 3u);
    EXPECT_TRUE(places[1].Inactive);
    EXPECT_FALSE(places[2].Inactive);

    // A dialog with help: close and help, each w - 2 in the button area.
    auto dialog = MakeForm(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint | Qt::WindowContextHelpButtonHint);
    TEnhancedForm ef3(dialog.get());
    EXPECT_EQ(ef3.BorderStyle(), bsDialog);
    EXPECT_EQ(ef3.TitleBar().ButtonAreaWidth(), 2 + 2 * (w - 2));
    places = ef3.TitleBar().ButtonPlaces();
    ASSERT_EQ(places.size(), 2u);
    EXPECT_EQ(places[1].Button, TEFTitleBar::cbHelp);
    EXPECT_EQ(places[1].Rect.left(), places[0].Rect.left() - (w + 4));

    // A fixed size is a single border; a form without a border gets no title bar at all.
    auto fixed = MakeForm();
    fixed->setFixedSize(300, 200);
    TEnhancedForm ef4(fixed.get());
    EXPECT_EQ(ef4.BorderStyle(), bsSingle);
    const int th = ef4.TitleBar().TitleRect().height();
    EXPECT_EQ(fixed->minimumSize(), QSize(300, 200 + th));
    EXPECT_EQ(fixed->maximumSize(), QSize(300, 200 + th));
    EXPECT_EQ(fixed->contentsRect().size(), QSize(300, 200));
    auto bare = MakeForm(Qt::Window | Qt::FramelessWindowHint);
    TEnhancedForm ef5(bare.get());
    EXPECT_EQ(ef5.BorderStyle(), bsNone);
    EXPECT_TRUE(ef5.TitleBar().TitleRect().isEmpty());
    EXPECT_FALSE(ef5.DrawsTitle());
    EXPECT_EQ(ef5.TitleStrip(), nullptr);
    EXPECT_TRUE(ef5.TitleBar().ButtonPlaces().empty());
}

TEST(EnhancedForm, TakesOverTheFrameAndGivesItBack) {
    auto form = MakeForm();
    form->show();
    const Qt::WindowFlags flags = form->windowFlags();
    {
        TEnhancedForm ef(form.get());
        ASSERT_TRUE(ef.DrawsTitle());
        EXPECT_TRUE(form->windowFlags() & Qt::FramelessWindowHint);
        EXPECT_TRUE(form->isVisible());
        const QRect title = ef.TitleBar().TitleRect();
        EXPECT_EQ(title, QRect(0, 0, 400, ef.TitleBar().Metrics().CaptionHeight - 1));
        ASSERT_NE(ef.TitleStrip(), nullptr);
        EXPECT_EQ(ef.TitleStrip()->geometry(), title);
        EXPECT_EQ(form->contentsMargins().top(), title.height());
        // The client area keeps its size; the strip comes on top of it.
        EXPECT_EQ(form->height(), 300 + title.height());
        EXPECT_EQ(form->contentsRect(), QRect(0, title.height(), 400, 300));
        form->resize(500, 300 + title.height());
        EXPECT_EQ(ef.TitleStrip()->width(), 500);

        // The strip shows what the title bar renders.
        const QImage strip =
            ef.TitleStrip()->grab().toImage().convertToFormat(QImage::Format_RGB32);
        EXPECT_EQ(strip, ef.TitleBar().Render(ef.TitleBar().Active()));

        ef.SetEnabled(false);
        EXPECT_FALSE(ef.DrawsTitle());
        EXPECT_EQ(ef.TitleStrip(), nullptr);
        EXPECT_EQ(form->windowFlags(), flags);
        EXPECT_EQ(form->contentsMargins().top(), 0);
        EXPECT_EQ(form->size(), QSize(500, 300));
        ef.SetEnabled(true);
        EXPECT_EQ(form->size(), QSize(500, 300 + title.height()));
        EXPECT_TRUE(ef.DrawsTitle());
        ef.TitleBar().SetEnabled(false);
        EXPECT_FALSE(ef.DrawsTitle());
        ef.TitleBar().SetEnabled(true);
        EXPECT_TRUE(ef.DrawsTitle());
    }
    // Destroyed while the form lives: the form has its own frame again.
    EXPECT_EQ(form->size(), QSize(500, 300));
    EXPECT_EQ(form->windowFlags(), flags);
    EXPECT_EQ(form->contentsMargins().top(), 0);
    EXPECT_TRUE(form->isVisible());

    // The same for a hidden form, and nothing of the strip is left behind to paint.
    form->hide();
    {
        TEnhancedForm ef(form.get());
        EXPECT_TRUE(form->windowFlags() & Qt::FramelessWindowHint);
    }
    EXPECT_EQ(form->windowFlags(), flags);
    EXPECT_FALSE(form->isVisible());
    EXPECT_TRUE(form->findChildren<QWidget*>().isEmpty());
    form->show();
    testsupport::PumpFor(50);

    // Deleted with its form.
    auto other = MakeForm();
    other->show();
    new TEnhancedForm(other.get());
    other.reset();
}

TEST(EnhancedForm, CaptionButtonsWork) {
    auto form = MakeForm();
    form->show();
    TEnhancedForm ef(form.get());
    QWidget* strip = ef.TitleStrip();
    ASSERT_NE(strip, nullptr);
    const auto click = [&](TEFTitleBar::TEFCaptionButton which) {
        for (const auto& place : ef.TitleBar().ButtonPlaces()) {
            if (place.Button != which) continue;
            const QPointF at = QPointF(place.Rect.center() - strip->pos());
            QMouseEvent press(QEvent::MouseButtonPress, at, strip->mapToGlobal(at), Qt::LeftButton,
                              Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(strip, &press);
            QMouseEvent release(QEvent::MouseButtonRelease, at, strip->mapToGlobal(at),
                                Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
            QCoreApplication::sendEvent(strip, &release);
        }
    };
    click(TEFTitleBar::cbMaximize);
    EXPECT_TRUE(testsupport::PumpUntil(
        [&] { return bool(form->windowState() & Qt::WindowMaximized); }, 2000));
    click(TEFTitleBar::cbMaximize);
    EXPECT_TRUE(
        testsupport::PumpUntil([&] { return !(form->windowState() & Qt::WindowMaximized); }, 2000));
    click(TEFTitleBar::cbClose);
    EXPECT_TRUE(testsupport::PumpUntil([&] { return !form->isVisible(); }, 2000));
}

TEST(EnhancedForm, TrayIcon) {
    auto form = MakeForm();
    TEnhancedForm ef(form.get());
    TEFTrayIcon& tray = ef.TrayIcon();
    ef.Loaded();
    EXPECT_FALSE(tray.Added()); // enabled, but nothing to show

    QPixmap pm(16, 16);
    pm.fill(Qt::red);
    const QIcon red(pm);
    tray.SetIcon(red);
    EXPECT_TRUE(tray.Added());
    tray.SetEnabled(false);
    EXPECT_FALSE(tray.Added());
    tray.SetEnabled(true);
    EXPECT_TRUE(tray.Added());
    ef.SetEnabled(false);
    EXPECT_FALSE(tray.Added());
    ef.SetEnabled(true);
    EXPECT_TRUE(tray.Added());

    // A list animates while no index is fixed.
    QList<QIcon> list;
    for (QColor c : {Qt::red, Qt::green, Qt::blue}) {
        QPixmap p(16, 16);
        p.fill(c);
        list.push_back(QIcon(p));
    }
    tray.SetIconInterval(10);
    tray.SetIconList(&list);
    tray.SetIconType(itList);
    EXPECT_TRUE(tray.Animating());
    std::vector<int> seen{tray.ListPosition()};
    EXPECT_TRUE(testsupport::PumpUntil(
        [&] {
            if (tray.ListPosition() != seen.back()) seen.push_back(tray.ListPosition());
            return seen.size() >= 5;
        },
        3000));
    EXPECT_EQ(seen[0], 0);
    EXPECT_EQ(seen[1], 1);
    EXPECT_EQ(seen[2], 2);
    EXPECT_EQ(seen[3], 0);

    tray.SetIconListIndex(1);
    EXPECT_FALSE(tray.Animating());
    EXPECT_EQ(tray.ShownIcon().cacheKey(), list[1].cacheKey());
    tray.SetIconListIndex(-2); // refused
    EXPECT_EQ(tray.IconListIndex(), 1);
    tray.SetIconListIndex(7); // beyond the list: back to animation
    EXPECT_EQ(tray.IconListIndex(), -1);
    EXPECT_TRUE(tray.Animating());

    // Mouse reports.
    int clicks = 0, dbl = 0, ups = 0;
    tray.OnClick = [&](QObject* s) { clicks += s == &ef; };
    tray.OnDblClick = [&](QObject*) { ++dbl; };
    tray.OnMouseUp = [&](QObject*, Qt::MouseButton b, Qt::KeyboardModifiers, int x, int y) {
        ups += b == Qt::RightButton && x == 5 && y == 6;
    };
    form->hide();
    tray.LeftButtonUp(); // ooDblClick: the click alone leaves the form hidden
    EXPECT_FALSE(form->isVisible());
    tray.LeftButtonDblClick();
    EXPECT_TRUE(form->isVisible());
    tray.SetOpenAppOn(ooClick);
    form->hide();
    tray.LeftButtonUp();
    EXPECT_TRUE(form->isVisible());
    tray.RightButtonUp(QPoint(5, 6));
    EXPECT_EQ(clicks, 2);
    EXPECT_EQ(dbl, 1);
    EXPECT_EQ(ups, 1);

    // Minimised with the icon shown: the form goes to the tray.
    form->showMinimized();
    EXPECT_TRUE(testsupport::PumpUntil([&] { return !form->isVisible(); }, 2000));
    tray.SetIconList(nullptr);
    EXPECT_FALSE(tray.Added());
}

TEST(EnhancedForm, WallPaper) {
    auto form = MakeForm();
    form->setWindowTitle(QStringLiteral("Wall"));
    form->resize(200, 150);
    TEnhancedForm ef(form.get());
    QImage tile(7, 5, QImage::Format_RGB32);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 7; ++x)
            tile.setPixel(x, y, qRgb(30 * x, 40 * y, 200));
    ef.WallPaper().SetBitmap(tile);
    form->show();
    const QRect client = form->contentsRect();
    ASSERT_GT(client.top(), 0);
    QImage shot = form->grab().toImage().convertToFormat(QImage::Format_RGB32);
    for (const QPoint p :
         {QPoint(0, 0), QPoint(6, 4), QPoint(7, 5), QPoint(123, 77), QPoint(199, 100)})
        EXPECT_EQ(At(shot, client.left() + p.x(), client.top() + p.y()),
                  tile.pixel(p.x() % 7, p.y() % 5) & 0xffffffu)
            << p.x() << "," << p.y();

    // Centred: the picture in the middle of the prepared screen-sized picture, the rest in the
    // form's colour.
    ef.WallPaper().SetDisplay(dwCenter);
    shot = form->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QSize prepared = ef.WallPaper().Prepared().size();
    EXPECT_GE(prepared.width(), form->screen()->size().width());
    const int bx = (prepared.width() - 7) / 2 - (prepared.width() - client.width()) / 2;
    const int by = (prepared.height() - 5) / 2 - (prepared.height() - client.height()) / 2;
    EXPECT_EQ(At(shot, client.left() + bx + 3, client.top() + by + 2),
              tile.pixel(3, 2) & 0xffffffu);
    EXPECT_EQ(At(shot, client.left() + 2, client.top() + 2),
              Rgb(form->palette().color(QPalette::Window)));

    // Disabled: the form's own background.
    ef.WallPaper().SetDisplay(dwTile);
    ef.WallPaper().SetEnabled(false);
    shot = form->grab().toImage().convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(At(shot, client.left() + 1, client.top() + 1),
              Rgb(form->palette().color(QPalette::Window)));
}
