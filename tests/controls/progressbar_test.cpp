#include "controls/progressbar.h"

#include <QCoreApplication>
#include <QFontMetrics>
#include <QImage>
#include <QMouseEvent>
#include <gtest/gtest.h>
#include <memory>

namespace {

QRgb Rgb(const QColor& c) {
    return c.rgb() & 0xffffffu;
}
QRgb At(const QImage& img, int x, int y) {
    return img.pixel(x, y) & 0xffffffu;
}

// The upload panel's bar: 289 x 25, lowered bevel, shaded blocks from navy to blue.
std::unique_ptr<TdxfProgressBar> MainWindowBar() {
    auto bar = std::make_unique<TdxfProgressBar>();
    bar->resize(289, 25);
    bar->SetBevelOuter(bvLowered);
    bar->SetBarBevelOuter(bvNone);
    bar->SetOrientation(orHorizontal);
    bar->SetMin(0);
    bar->SetMax(100);
    bar->SetPosition(0);
    bar->SetStyle(sExRectangles);
    bar->SetBeginColor(QColor(0, 0, 128));
    bar->SetEndColor(QColor(0, 0, 255));
    bar->SetStep(10);
    bar->SetShowTextStyle(stsPosition);
    bar->SetShowText(false);
    bar->SetTransparentGlyph(true);
    return bar;
}

// Runs of columns along row y whose colour differs from bg: (first, last) pairs.
std::vector<std::pair<int, int>> RunsAlongRow(const QImage& img, int y, QRgb bg, int from, int to) {
    std::vector<std::pair<int, int>> runs;
    int start = -1;
    for (int x = from; x <= to + 1; ++x) {
        const bool on = x <= to && At(img, x, y) != bg;
        if (on && start < 0) start = x;
        if (!on && start >= 0) {
            runs.emplace_back(start, x - 1);
            start = -1;
        }
    }
    return runs;
}

std::vector<std::pair<int, int>> RunsAlongColumn(const QImage& img, int x, QRgb bg, int from,
                                                 int to) {
    std::vector<std::pair<int, int>> runs;
    int start = -1;
    for (int y = from; y <= to + 1; ++y) {
        const bool on = y <= to && At(img, x, y) != bg;
        if (on && start < 0) start = y;
        if (!on && start >= 0) {
            runs.emplace_back(start, y - 1);
            start = -1;
        }
    }
    return runs;
}

// Blue of G(offset, 285) from navy (128) to blue (255).
int ShadedBlue(int offset) {
    return 128 + offset * 127 / 285;
}

} // namespace

TEST(ProgressBar, ConstructorDefaults) {
    TdxfProgressBar bar;
    EXPECT_EQ(bar.width(), 150);
    EXPECT_EQ(bar.height(), 16);
    EXPECT_EQ(bar.BarBevelOuter(), bvNone);
    EXPECT_EQ(bar.BevelOuter(), bvLowered);
    EXPECT_EQ(bar.Orientation(), orHorizontal);
    EXPECT_EQ(bar.Max(), 100);
    EXPECT_EQ(bar.Min(), 0);
    EXPECT_EQ(bar.Position(), 0);
    EXPECT_FALSE(bar.ShowText());
    EXPECT_EQ(bar.ShowTextStyle(), stsPercent);
    EXPECT_EQ(bar.BeginColor(), QColor(0, 0, 128));
    EXPECT_EQ(bar.EndColor(), QColor(255, 255, 255));
    EXPECT_EQ(bar.Style(), sRectangles);
    EXPECT_TRUE(bar.Glyph().isNull());
    EXPECT_EQ(bar.Step(), 10);
    EXPECT_TRUE(bar.TransparentGlyph());
}

TEST(ProgressBar, MainWindowBarAtHalf) {
    auto bar = MainWindowBar();
    bar->SetPosition(50);
    const QImage img = bar->Render();
    ASSERT_EQ(img.size(), QSize(289, 25));
    const QRgb bg = Rgb(bar->Color());

    // Blocks 14 wide at a pitch of 16, the first flush with the inner left edge at column 2.
    const auto runs = RunsAlongRow(img, 12, bg, 2, 286);
    ASSERT_EQ(runs.size(), 8u);
    for (size_t k = 0; k < runs.size(); ++k) {
        EXPECT_EQ(runs[k].first, 2 + 16 * static_cast<int>(k));
        EXPECT_EQ(runs[k].second, 15 + 16 * static_cast<int>(k));
        // The block ending before column x takes G(x - 2).
        EXPECT_EQ(At(img, runs[k].first, 12), qRgb(0, 0, ShadedBlue(16 * (k + 1))) & 0xffffffu);
    }
    EXPECT_EQ(At(img, 2, 2), qRgb(0, 0, 135) & 0xffffffu);
    // Every inner row is covered.
    EXPECT_EQ(At(img, 8, 2), At(img, 8, 22));
    EXPECT_EQ(At(img, 8, 1), bg);
    EXPECT_EQ(At(img, 8, 23), bg);

    // The same position as a solid bar shows where the bar ends: column 144 is the first left out.
    bar->SetStyle(sSolid);
    const QImage solid = bar->Render();
    EXPECT_EQ(At(solid, 2, 12), Rgb(QColor(0, 0, 128)));
    EXPECT_EQ(At(solid, 143, 12), Rgb(QColor(0, 0, 128)));
    EXPECT_EQ(At(solid, 144, 12), bg);
}

TEST(ProgressBar, MainWindowBarFullAndAboveMax) {
    auto bar = MainWindowBar();
    bar->SetPosition(100);
    const QImage full = bar->Render();
    const QRgb bg = Rgb(bar->Color());
    const auto runs = RunsAlongRow(full, 12, bg, 2, 286);
    ASSERT_EQ(runs.size(), 18u); // 17 blocks and the final one
    EXPECT_EQ(runs[16].first, 258);
    EXPECT_EQ(runs[16].second, 271);
    EXPECT_EQ(runs[17].first, 274);
    EXPECT_EQ(runs[17].second, 286);
    EXPECT_EQ(At(full, 280, 12), qRgb(0, 0, ShadedBlue(272)) & 0xffffffu);
    EXPECT_EQ(At(full, 287, 12), bg); // inner right edge is exclusive

    // Above Max: the same full bar, never past the inner edge.
    bar->SetPosition(250);
    EXPECT_EQ(bar->Render(), full);
    bar->SetStyle(sSolid);
    const QImage solid = bar->Render();
    EXPECT_EQ(At(solid, 286, 12), Rgb(QColor(0, 0, 128)));
    EXPECT_EQ(At(solid, 287, 12), bg);

    // Just below Max there is no final block.
    bar->SetStyle(sExRectangles);
    bar->SetPosition(99);
    EXPECT_EQ(RunsAlongRow(bar->Render(), 12, bg, 2, 286).size(), 17u);
}

TEST(ProgressBar, PositionAtMinDrawsOnlyBackgroundAndBevel) {
    for (TdxfPBStyle style : {sSolid, sRectangles, sExSolid, sExRectangles}) {
        auto bar = MainWindowBar();
        bar->SetStyle(style);
        bar->SetPosition(40);
        bar->SetPosition(0);
        const QImage img = bar->Render();
        const QRgb bg = Rgb(bar->Color());
        const QRgb dark = Rgb(bar->palette().color(QPalette::Dark));
        const QRgb light = Rgb(bar->palette().color(QPalette::Light));
        for (int y = 1; y < 24; ++y)
            for (int x = 1; x < 288; ++x)
                ASSERT_EQ(At(img, x, y), bg) << x << "," << y;
        // Sunken: shadow along top and left, highlight along bottom and right.
        EXPECT_EQ(At(img, 100, 0), dark);
        EXPECT_EQ(At(img, 0, 12), dark);
        EXPECT_EQ(At(img, 100, 24), light);
        EXPECT_EQ(At(img, 288, 12), light);
    }
}

TEST(ProgressBar, BevelsAndBarEdges) {
    auto bar = MainWindowBar();
    const QRgb bg = Rgb(bar->Color());
    const QRgb dark = Rgb(bar->palette().color(QPalette::Dark));
    const QRgb light = Rgb(bar->palette().color(QPalette::Light));
    ASSERT_NE(dark, light);

    bar->SetBevelOuter(bvRaised);
    QImage img = bar->Render();
    EXPECT_EQ(At(img, 100, 0), light);
    EXPECT_EQ(At(img, 100, 24), dark);

    // Without a bevel the bar starts at column 0 and the pitch follows the full height: 18.
    bar->SetBevelOuter(bvNone);
    bar->SetStyle(sRectangles);
    bar->SetPosition(100);
    img = bar->Render();
    const auto runs = RunsAlongRow(img, 12, bg, 0, 288);
    ASSERT_GE(runs.size(), 2u);
    EXPECT_EQ(runs[0], std::make_pair(0, 15));
    EXPECT_EQ(runs[1], std::make_pair(18, 33));
    EXPECT_EQ(At(img, 5, 0), Rgb(QColor(0, 0, 128)));

    // A raised edge around each block.
    bar->SetBevelOuter(bvLowered);
    bar->SetBarBevelOuter(bvRaised);
    img = bar->Render();
    EXPECT_EQ(At(img, 2, 2), light);  // block's top-left
    EXPECT_EQ(At(img, 8, 2), light);  // top side
    EXPECT_EQ(At(img, 15, 22), dark); // bottom-right corner
    EXPECT_EQ(At(img, 15, 10), dark); // right side
    EXPECT_EQ(At(img, 8, 10), Rgb(QColor(0, 0, 128)));
    EXPECT_EQ(At(img, 18, 2), light); // next block
}

TEST(ProgressBar, GradientColumnsAndRows) {
    auto bar = MainWindowBar();
    bar->SetStyle(sExSolid);
    bar->SetPosition(100);
    QImage img = bar->Render();
    for (int x : {2, 3, 100, 144, 286})
        for (int y : {2, 12, 22})
            EXPECT_EQ(At(img, x, y), qRgb(0, 0, ShadedBlue(x - 2)) & 0xffffffu) << x << "," << y;
    // A column keeps its colour however far the bar has grown.
    bar->SetPosition(50);
    img = bar->Render();
    EXPECT_EQ(At(img, 100, 12), qRgb(0, 0, ShadedBlue(98)) & 0xffffffu);
    EXPECT_EQ(At(img, 144, 12), Rgb(bar->Color()));

    // Vertical: rows counted upward from the inner bottom, the lowest row at offset 1.
    bar->SetOrientation(orVertical);
    bar->resize(25, 289);
    bar->SetPosition(100);
    img = bar->Render();
    for (int y : {286, 285, 200, 2})
        for (int x : {2, 12, 22})
            EXPECT_EQ(At(img, x, y), qRgb(0, 0, ShadedBlue(287 - y)) & 0xffffffu) << x << "," << y;

    // Each channel on its own, falling as well as rising.
    bar->SetOrientation(orHorizontal);
    bar->resize(289, 25);
    bar->SetBeginColor(QColor(200, 10, 90));
    bar->SetEndColor(QColor(20, 250, 90));
    img = bar->Render();
    // red trunc(200 - 63.16) = 136, green trunc(10 + 84.21) = 94
    EXPECT_EQ(At(img, 2 + 100, 12), qRgb(136, 94, 90) & 0xffffffu);
}

TEST(ProgressBar, VerticalBlocks) {
    auto bar = MainWindowBar();
    bar->SetOrientation(orVertical);
    bar->resize(25, 289);
    bar->SetStyle(sRectangles);
    bar->SetPosition(50);
    const QRgb bg = Rgb(bar->Color());
    QImage img = bar->Render();
    // Inner 2..287; the bar top is at 287 - 142 = 145; marks at 286 - 16k, blocks y+2 .. y+15.
    auto runs = RunsAlongColumn(img, 12, bg, 2, 286);
    ASSERT_EQ(runs.size(), 8u);
    EXPECT_EQ(runs[7], std::make_pair(272, 285));
    EXPECT_EQ(runs[0], std::make_pair(160, 173));
    EXPECT_EQ(At(img, 2, 280), Rgb(QColor(0, 0, 128)));
    EXPECT_EQ(At(img, 22, 280), Rgb(QColor(0, 0, 128)));
    EXPECT_EQ(At(img, 23, 280), bg);

    bar->SetStyle(sExRectangles);
    img = bar->Render();
    EXPECT_EQ(At(img, 12, 280), qRgb(0, 0, 135) & 0xffffffu); // G(16, 285)

    bar->SetPosition(100);
    img = bar->Render();
    runs = RunsAlongColumn(img, 12, bg, 2, 286);
    ASSERT_EQ(runs.size(), 18u);
    EXPECT_EQ(runs[0], std::make_pair(2, 13)); // the final block, from the top to the last mark
    EXPECT_EQ(runs[1], std::make_pair(16, 29));
    EXPECT_EQ(At(img, 12, 5), qRgb(0, 0, ShadedBlue(287 - 14)) & 0xffffffu);

    bar->SetStyle(sSolid);
    bar->SetPosition(50);
    img = bar->Render();
    EXPECT_EQ(At(img, 12, 144), bg);
    EXPECT_EQ(At(img, 12, 145), Rgb(QColor(0, 0, 128)));
    EXPECT_EQ(At(img, 12, 286), Rgb(QColor(0, 0, 128)));
}

TEST(ProgressBar, PicturesAddTheLastGlyphOnlyAtMax) {
    auto bar = MainWindowBar();
    // 15 x 21: the inner width 285 holds exactly 19 glyphs. Bottom-left pixel is the key colour.
    QImage glyph(15, 21, QImage::Format_RGB32);
    glyph.fill(QColor(255, 0, 0));
    const QColor key(0, 255, 0);
    glyph.setPixelColor(0, 20, key);
    glyph.setPixelColor(7, 10, key);
    bar->resize(289, 10);
    bar->SetGlyph(glyph);
    EXPECT_EQ(bar->height(), 25); // glyph height + 4
    EXPECT_TRUE(bar->GlyphTransparent());
    bar->SetStyle(sPictures);
    const QRgb bg = Rgb(bar->Color());
    const QRgb red = qRgb(255, 0, 0) & 0xffffffu;

    bar->SetPosition(100);
    QImage img = bar->Render();
    for (int k = 0; k < 19; ++k)
        EXPECT_EQ(At(img, 2 + 15 * k + 3, 12), red) << k;
    EXPECT_EQ(At(img, 286, 12), red);
    EXPECT_EQ(At(img, 2 + 7, 2 + 10), bg); // key colour left out
    EXPECT_EQ(At(img, 287, 12), bg);

    bar->SetPosition(101);
    img = bar->Render();
    EXPECT_EQ(At(img, 271, 12), red);
    EXPECT_EQ(At(img, 280, 12), bg);

    bar->SetPosition(99);
    img = bar->Render();
    EXPECT_EQ(At(img, 271, 12), red);
    EXPECT_EQ(At(img, 280, 12), bg);

    bar->SetTransparentGlyph(false);
    EXPECT_FALSE(bar->GlyphTransparent());
    img = bar->Render();
    EXPECT_EQ(At(img, 2 + 7, 2 + 10), qRgb(0, 255, 0) & 0xffffffu);

    // A glyph wider than what is left of the inner width never covers the bevel.
    QImage wide(40, 21, QImage::Format_RGB32);
    wide.fill(QColor(255, 0, 0));
    bar->SetGlyph(wide);
    bar->SetPosition(100);
    img = bar->Render();
    EXPECT_EQ(At(img, 286, 12), red); // 7 glyphs to 282, the eighth from 282 on
    EXPECT_EQ(At(img, 287, 12), bg);
    EXPECT_EQ(At(img, 288, 12), Rgb(bar->palette().color(QPalette::Light)));
}

TEST(ProgressBar, VerticalPictures) {
    auto bar = MainWindowBar();
    bar->SetOrientation(orVertical);
    bar->resize(10, 100);
    QImage glyph(21, 12, QImage::Format_RGB32);
    glyph.fill(QColor(255, 0, 0));
    bar->SetTransparentGlyph(false);
    bar->SetGlyph(glyph);
    EXPECT_EQ(bar->width(), 25);
    EXPECT_EQ(bar->height(), 100);
    bar->SetStyle(sPictures);
    const QRgb bg = Rgb(bar->Color());
    // Inner rows 2..97 (bottom 98), marks at 97 - 12k, each glyph covering rows mark .. mark + 11.
    bar->SetPosition(50); // top 98 - 48 = 50: marks 85, 73, 61
    QImage img = bar->Render();
    auto runs = RunsAlongColumn(img, 12, bg, 2, 97);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0], std::make_pair(61, 96));
    EXPECT_EQ(At(img, 2, 70), qRgb(255, 0, 0) & 0xffffffu);
    EXPECT_EQ(At(img, 23, 70), bg);

    bar->SetPosition(100); // marks 85 .. 13, then one more glyph at 1, cut at the inner top
    runs = RunsAlongColumn(bar->Render(), 12, bg, 1, 97);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0], std::make_pair(2, 96));

    bar->SetPosition(101);
    runs = RunsAlongColumn(bar->Render(), 12, bg, 1, 97);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0], std::make_pair(13, 96));
}

TEST(ProgressBar, TextPercentHalvesToEven) {
    TdxfProgressBar bar;
    bar.SetMax(8);
    bar.SetShowTextStyle(stsPercent);
    const std::pair<int, const char*> cases[] = {{1, "12 %"}, {3, "38 %"},  {5, "62 %"},
                                                 {7, "88 %"}, {8, "100 %"}, {-1, "-12 %"},
                                                 {2, "25 %"}};
    for (const auto& [pos, text] : cases) {
        bar.SetPosition(pos);
        EXPECT_EQ(bar.Text(), QString::fromLatin1(text)) << pos;
    }
    bar.SetShowTextStyle(stsPosition);
    bar.SetPosition(12345);
    EXPECT_EQ(bar.Text(), QStringLiteral("12345"));
}

namespace {

// Bounding box of the pixels drawn in the text colour.
QRect TextBox(const QImage& img, QRgb ink) {
    QRect box;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (At(img, x, y) == ink) box |= QRect(x, y, 1, 1);
    return box;
}

} // namespace

TEST(ProgressBar, TextIsCentredAndTurnedWhenVertical) {
    auto bar = MainWindowBar();
    bar->resize(289, 40);
    QPalette pal = bar->palette();
    pal.setColor(QPalette::WindowText, QColor(255, 0, 255));
    bar->setPalette(pal);
    const QRgb ink = qRgb(255, 0, 255) & 0xffffffu;
    bar->SetStyle(sExSolid);
    bar->SetPosition(100);
    EXPECT_FALSE(TextBox(bar->Render(), ink).isValid()); // ShowText false
    bar->SetShowText(true);
    QImage img = bar->Render();
    QRect box = TextBox(img, ink);
    ASSERT_TRUE(box.isValid());
    EXPECT_GT(box.width(), box.height()); // "100" runs across
    EXPECT_NEAR(box.center().x(), 144, 3);
    EXPECT_NEAR(box.center().y(), 20, 4);
    // Drawn over the bar with a transparent background: block colour around the glyphs.
    EXPECT_EQ(At(img, box.left() - 1, box.top() + box.height() / 2), At(img, box.left() - 1, 3));
    EXPECT_NE(At(img, box.left() - 1, 3), Rgb(bar->Color()));

    bar->SetOrientation(orVertical);
    bar->resize(40, 289);
    img = bar->Render();
    box = TextBox(img, ink);
    ASSERT_TRUE(box.isValid());
    EXPECT_GT(box.height(), box.width()); // turned
    EXPECT_NEAR(box.center().x(), 20, 4);
    EXPECT_NEAR(box.center().y(), 144, 3);

    // Running downward: the thin "1" is at the top, the two rings of "00" below it.
    const auto inkIn = [&](int from, int to) {
        int count = 0;
        for (int y = from; y < to; ++y)
            for (int x = box.left(); x <= box.right(); ++x)
                count += At(img, x, y) != At(img, 3, y);
        return count;
    };
    const int third = box.height() / 3;
    EXPECT_LT(inkIn(box.top(), box.top() + third),
              inkIn(box.bottom() + 1 - third, box.bottom() + 1));
}

TEST(ProgressBar, SettersIgnoreEqualValuesAndRepaint) {
    auto bar = MainWindowBar();
    const QRect whole = bar->rect();
    bar->ClearInvalidated();

    bar->SetStyle(sExRectangles);
    bar->SetBevelOuter(bvLowered);
    bar->SetBarBevelOuter(bvNone);
    bar->SetOrientation(orHorizontal);
    bar->SetMax(100);
    bar->SetMin(0);
    bar->SetPosition(0);
    bar->SetShowText(false);
    bar->SetBeginColor(QColor(0, 0, 128));
    bar->SetEndColor(QColor(0, 0, 255));
    bar->SetTransparentGlyph(true);
    EXPECT_TRUE(bar->Invalidated().empty());

    const auto repaintsWhole = [&](const auto& change) {
        bar->ClearInvalidated();
        change();
        return bar->Invalidated().size() == 1 && bar->Invalidated()[0] == whole;
    };
    EXPECT_TRUE(repaintsWhole([&] { bar->SetStyle(sSolid); }));
    EXPECT_TRUE(repaintsWhole([&] { bar->SetBevelOuter(bvRaised); }));
    EXPECT_TRUE(repaintsWhole([&] { bar->SetBarBevelOuter(bvLowered); }));
    EXPECT_TRUE(repaintsWhole([&] { bar->SetOrientation(orVertical); }));
    EXPECT_TRUE(repaintsWhole([&] { bar->SetOrientation(orHorizontal); }));
    EXPECT_TRUE(repaintsWhole([&] { bar->SetMax(200); }));
    EXPECT_TRUE(repaintsWhole([&] { bar->SetMin(-5); }));
    EXPECT_TRUE(repaintsWhole([&] { bar->SetShowText(true); }));
    EXPECT_TRUE(repaintsWhole([&] { bar->SetShowTextStyle(stsPercent); }));
    EXPECT_TRUE(repaintsWhole([&] { bar->SetBeginColor(Qt::red); }));
    EXPECT_TRUE(repaintsWhole([&] { bar->SetTransparentGlyph(false); }));
    EXPECT_TRUE(repaintsWhole([&] { bar->Loaded(); }));

    // Changes that leave the picture as it is.
    bar->ClearInvalidated();
    bar->SetEndColor(Qt::green); // sSolid does not use it
    EXPECT_EQ(bar->EndColor(), QColor(Qt::green));
    bar->SetStep(3);
    EXPECT_EQ(bar->Step(), 3);
    bar->SetShowText(false);
    bar->ClearInvalidated();
    bar->SetShowTextStyle(stsPosition);
    EXPECT_EQ(bar->ShowTextStyle(), stsPosition);
    bar->SetStyle(sPictures);
    bar->ClearInvalidated();
    bar->SetBeginColor(Qt::blue);
    EXPECT_EQ(bar->BeginColor(), QColor(Qt::blue));
    EXPECT_TRUE(bar->Invalidated().empty());
    EXPECT_TRUE(repaintsWhole([&] { bar->SetStyle(sExSolid); }));
    EXPECT_TRUE(repaintsWhole([&] { bar->SetEndColor(Qt::yellow); }));
}

TEST(ProgressBar, RangeRules) {
    TdxfProgressBar bar;
    bar.SetMin(10);
    bar.SetMax(5); // below Min
    EXPECT_EQ(bar.Max(), 100);
    bar.SetMin(101); // above Max
    EXPECT_EQ(bar.Min(), 10);
    bar.SetMax(10); // equal is fine
    EXPECT_EQ(bar.Max(), 10);
    bar.SetMin(10);
    EXPECT_EQ(bar.Min(), 10);
    bar.SetMin(11);
    EXPECT_EQ(bar.Min(), 10);

    // Position is not clamped, and an empty range still paints.
    bar.SetPosition(50);
    EXPECT_EQ(bar.Position(), 50);
    // Above an empty range the bar is full (blocks of 8 at a pitch of 10 on 150 x 16).
    QImage img = bar.Render();
    EXPECT_EQ(At(img, 5, 8), Rgb(QColor(0, 0, 128)));
    EXPECT_EQ(At(img, 146, 8), Rgb(QColor(0, 0, 128)));
    bar.SetShowTextStyle(stsPercent);
    EXPECT_EQ(bar.Text(), QStringLiteral("100 %"));
    bar.SetPosition(-3);
    EXPECT_EQ(bar.Position(), -3);
    img = bar.Render();
    EXPECT_EQ(At(img, 5, 8), Rgb(bar.Color()));
    EXPECT_EQ(bar.Text(), QStringLiteral("0 %"));
}

TEST(ProgressBar, StepItAndStepBy) {
    auto bar = MainWindowBar();
    bar->ClearInvalidated();
    bar->SetStep(0);
    bar->StepIt();
    bar->StepBy(0);
    EXPECT_EQ(bar->Position(), 0);
    EXPECT_TRUE(bar->Invalidated().empty());
    bar->SetStep(10);
    bar->StepIt();
    bar->StepIt();
    EXPECT_EQ(bar->Position(), 20);
    bar->StepBy(-25);
    EXPECT_EQ(bar->Position(), -5);
    bar->StepBy(130);
    EXPECT_EQ(bar->Position(), 125);
    EXPECT_EQ(bar->Invalidated().size(), 4u);
}

TEST(ProgressBar, InvalidatedStrips) {
    auto bar = MainWindowBar(); // 289 x 25, blocks: widened by trunc(50 / 3) + 2 = 18
    bar->ClearInvalidated();
    bar->SetPosition(50); // ends: 0 and trunc(289 * 50 / 100) = 144
    ASSERT_EQ(bar->Invalidated().size(), 1u);
    EXPECT_EQ(bar->Invalidated()[0], QRect(QPoint(-2 - 18, 0), QPoint(146 + 18 - 1, 24)));

    bar->ClearInvalidated();
    bar->SetPosition(49); // trunc(289 * 49 / 100) = 141
    ASSERT_EQ(bar->Invalidated().size(), 1u);
    EXPECT_EQ(bar->Invalidated()[0], QRect(QPoint(141 - 2 - 18, 0), QPoint(144 + 2 + 18 - 1, 24)));

    bar->SetStyle(sSolid);
    bar->SetPosition(50);
    bar->ClearInvalidated();
    bar->SetPosition(60); // trunc(289 * 60 / 100) = 173, no widening
    ASSERT_EQ(bar->Invalidated().size(), 1u);
    EXPECT_EQ(bar->Invalidated()[0], QRect(QPoint(142, 0), QPoint(174, 24)));

    bar->SetStyle(sExSolid);
    bar->ClearInvalidated();
    bar->SetPosition(60);
    EXPECT_TRUE(bar->Invalidated().empty()); // no change, no strip

    QImage glyph(15, 21, QImage::Format_RGB32);
    glyph.fill(Qt::red);
    bar->SetGlyph(glyph);
    bar->SetStyle(sPictures);
    bar->ClearInvalidated();
    bar->SetPosition(40); // 115 .. 173, widened by the glyph width
    ASSERT_EQ(bar->Invalidated().size(), 1u);
    EXPECT_EQ(bar->Invalidated()[0], QRect(QPoint(115 - 2 - 15, 0), QPoint(173 + 2 + 15 - 1, 24)));

    // Vertical, 25 x 200, blocks: measured from the bottom, widened by 18 rows.
    auto v = MainWindowBar();
    v->SetOrientation(orVertical);
    v->resize(25, 200);
    v->ClearInvalidated();
    v->SetPosition(50); // ends 0 and 100
    ASSERT_EQ(v->Invalidated().size(), 1u);
    EXPECT_EQ(v->Invalidated()[0],
              QRect(QPoint(0, 200 - 100 - 2 - 18), QPoint(24, 200 + 2 + 18 - 1)));
    v->ClearInvalidated();
    v->SetPosition(75); // ends 100 and 150
    EXPECT_EQ(v->Invalidated()[0], QRect(QPoint(0, 50 - 2 - 18), QPoint(24, 100 + 2 + 18 - 1)));

    // A bar without height has no strip to invalidate.
    auto flat = MainWindowBar();
    flat->resize(289, 0);
    flat->ClearInvalidated();
    flat->SetPosition(30);
    EXPECT_TRUE(flat->Invalidated().empty());
}

TEST(ProgressBar, TextAreaInvalidatedWithTheStrip) {
    auto bar = MainWindowBar();
    bar->resize(289, 40);
    bar->SetStyle(sSolid);
    bar->SetShowText(true);
    bar->ClearInvalidated();
    bar->SetPosition(5);
    ASSERT_EQ(bar->Invalidated().size(), 2u);
    const QRect text = bar->Invalidated()[1];
    const QFontMetrics fm(bar->font(), bar.get());
    // The widest text is the decimal Max, "100", centred on the control.
    EXPECT_EQ(text.width(), fm.horizontalAdvance(QStringLiteral("100")));
    EXPECT_EQ(text.height(), fm.height());
    EXPECT_EQ(text.left(), (289 - text.width()) / 2);
    EXPECT_EQ(text.top(), (40 - text.height()) / 2);

    bar->SetShowTextStyle(stsPercent);
    bar->ClearInvalidated();
    bar->SetPosition(6);
    ASSERT_EQ(bar->Invalidated().size(), 2u);
    EXPECT_EQ(bar->Invalidated()[1].width(), fm.horizontalAdvance(QStringLiteral("100 %")));

    // Vertical: the rectangle turns with the text.
    bar->SetOrientation(orVertical);
    bar->resize(40, 289);
    bar->ClearInvalidated();
    bar->SetPosition(7);
    ASSERT_EQ(bar->Invalidated().size(), 2u);
    EXPECT_EQ(bar->Invalidated()[1].height(), fm.horizontalAdvance(QStringLiteral("100 %")));
    EXPECT_EQ(bar->Invalidated()[1].width(), fm.height());

    // An unclamped value wider than the widest regular text is still covered.
    bar->SetShowTextStyle(stsPosition);
    bar->ClearInvalidated();
    bar->SetPosition(123456);
    ASSERT_EQ(bar->Invalidated().size(), 2u);
    EXPECT_GE(bar->Invalidated()[1].height(), fm.horizontalAdvance(QStringLiteral("123456")));
}

TEST(ProgressBar, ScreenShowsTheOffScreenPicture) {
    auto bar = MainWindowBar();
    bar->SetPosition(64);
    bar->SetShowText(true);
    const QImage screen = bar->grab().toImage().convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(screen, bar->Render());
}

TEST(ProgressBar, NonZeroMinShowsTheFractionOfTheRange) {
    auto bar = MainWindowBar();
    bar->SetStyle(sSolid);
    bar->SetMax(150);
    bar->SetMin(50);
    bar->SetPosition(100);
    const QImage img = bar->Render();
    EXPECT_EQ(At(img, 143, 12), Rgb(QColor(0, 0, 128)));
    EXPECT_EQ(At(img, 144, 12), Rgb(bar->Color()));
    bar->SetShowTextStyle(stsPercent);
    EXPECT_EQ(bar->Text(), QStringLiteral("50 %"));
}

TEST(ProgressBar, MouseEventsReachTheHandlers) {
    TdxfProgressBar bar;
    std::vector<std::string> seen;
    bar.OnMouseDown = [&](QObject* sender, Qt::MouseButton button, Qt::KeyboardModifiers, int x,
                          int y) {
        EXPECT_EQ(sender, &bar);
        seen.push_back("down " + std::to_string(button) + " " + std::to_string(x) + "," +
                       std::to_string(y));
    };
    bar.OnMouseUp = [&](QObject*, Qt::MouseButton, Qt::KeyboardModifiers, int x, int) {
        seen.push_back("up " + std::to_string(x));
    };
    bar.OnClick = [&](QObject* sender) {
        EXPECT_EQ(sender, &bar);
        seen.push_back("click");
    };
    bar.OnDblClick = [&](QObject*) { seen.push_back("dblclick"); };
    const auto send = [&](QEvent::Type type, QPoint pos) {
        QMouseEvent ev(type, QPointF(pos), QPointF(bar.mapToGlobal(pos)), Qt::LeftButton,
                       type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton,
                       Qt::NoModifier);
        QCoreApplication::sendEvent(&bar, &ev);
    };
    send(QEvent::MouseButtonPress, {5, 6});
    send(QEvent::MouseButtonRelease, {7, 6});
    // Released outside the control: no click.
    send(QEvent::MouseButtonPress, {5, 6});
    send(QEvent::MouseButtonRelease, {500, 6});
    send(QEvent::MouseButtonDblClick, {5, 6});
    const std::vector<std::string> expected = {"down 1 5,6", "click",    "up 7",      "down 1 5,6",
                                               "up 500",     "dblclick", "down 1 5,6"};
    EXPECT_EQ(seen, expected);
}
