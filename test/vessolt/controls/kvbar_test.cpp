#include "kvbar.h"
#include "kvcanvas.h"
#include "kvvalind.h"

#include <QImage>
#include <gtest/gtest.h>

#include <vector>

using namespace ostrel::vessolt::controls;

namespace {

QRgb rgbAt(const QImage& image, int x, int y) { return image.pixel(x, y) & 0xFFFFFFu; }
QRgb q(TColor c) { return kvColor(c).rgb() & 0xFFFFFFu; }
constexpr QRgb kLime = 0x00FF00;
constexpr QRgb kBlack = 0;
constexpr QRgb kRed = 0xFF0000;

struct TextRecord {
    int x, y;
    QString text;
};

// Records every text the canvases write while it lives.
struct TextRecorder {
    std::vector<TextRecord> texts;
    TextRecorder() {
        KvSetTextOutHook([this](int x, int y, const QString& t) { texts.push_back({x, y, t}); });
    }
    ~TextRecorder() { KvSetTextOutHook(nullptr); }
};

QImage redImage(int w, int h) {
    QImage image = kvWorkBitmap(w, h);
    image.fill(Qt::red);
    return image;
}

QImage paintBar(TBarSettings& bar, int w, int h, int value) {
    QImage image = redImage(w + 2, h + 2);
    KvCanvas canvas(image);
    bar.BarRect = {1, 1, 1 + w, 1 + h};
    bar.PaintBar(canvas, value);
    return image;
}

} // namespace

TEST(KvValInd, BoxAnchorsCaptionAndValue) {
    TKvValInd ind;
    QImage image = redImage(200, 100);
    KvCanvas canvas(image);
    ind.DrawValue(canvas, 12.5);  // no Draw yet: nothing
    EXPECT_EQ(image, redImage(200, 100));

    TextRecorder recorder;
    ind.Caption().SetText("Volts");
    ind.Caption().SetPos(toMidLeft);
    ind.Draw(canvas, {100, 50}, toBotRight);
    EXPECT_EQ(rgbAt(image, 100, 49), q(0xFFFFFF));  // bottom-right ring colour
    EXPECT_EQ(rgbAt(image, 101, 49), kRed);
    EXPECT_EQ(rgbAt(image, 100, 50), kRed);
    const int th = QFontMetrics(ind.Font().font()).height();
    const int tw = QFontMetrics(ind.Font().font()).horizontalAdvance("##0.0");
    const int margin = th / 7;
    EXPECT_EQ(ind.rightMargin(), margin);
    const int w = tw + 4 + 2 * margin;
    const int left = 101 - w;
    EXPECT_EQ(rgbAt(image, left, 49), q(0xFFFFFF));
    EXPECT_EQ(rgbAt(image, left, 45), q(0x737373));  // top-left ring colour
    EXPECT_EQ(rgbAt(image, left - 1, 40), kRed);
    EXPECT_EQ(ind.valueRect(), (TRect{left + 2, 50 - th - 4 + 2, 99, 48}));

    ASSERT_EQ(recorder.texts.size(), 2u);
    EXPECT_EQ(recorder.texts[0].text, "Volts");
    const int captionWidth = QFontMetrics(ind.Caption().Font().font()).horizontalAdvance("Volts");
    EXPECT_EQ(recorder.texts[0].x + captionWidth, left - 1);
    EXPECT_EQ(recorder.texts[1].text, "##0.0");
    EXPECT_EQ(recorder.texts[1].x + tw, 99 - margin + 1);

    // The value replaces the pattern whatever lay under it.
    const QRect box(left + 2, 50 - th - 2, w - 4, th);
    const QImage pattern = image.copy(box);
    ind.DrawValue(canvas, 7.25);
    EXPECT_EQ(recorder.texts.back().text, "7.3");
    const QImage first = image.copy(box);
    EXPECT_NE(first, pattern);
    QImage other = kvWorkBitmap(200, 100);
    other.fill(Qt::blue);
    KvCanvas otherCanvas(other);
    ind.Draw(otherCanvas, {100, 50}, toBotRight);
    ind.DrawValue(otherCanvas, 7.25);
    EXPECT_EQ(other.copy(box), first);

    // An 8-point font (11 pixels) has no right margin; 10 points (13 pixels) one.
    KvFont small;
    small.SetSize(5);
    ind.SetFont(small);
    ind.Draw(canvas, {100, 50}, toTopLeft);
    EXPECT_EQ(ind.rightMargin(), QFontMetrics(small.font()).height() / 7);
    ind.SetVisible(false);
    const QImage before = image;
    ind.Draw(canvas, {10, 10}, toTopLeft);
    EXPECT_EQ(image, before);
}

TEST(KvValInd, ScaleSettingsGuardsAndOwnedObjects) {
    TKvFlexScale scale;
    int calls = 0;
    std::vector<KvSender*> senders;
    scale.OnChange = [&](KvSender* s) {
        ++calls;
        senders.push_back(s);
    };
    scale.SetSubStepAt(0);
    scale.SetStepMulti(-1);
    scale.SetSubStepsVis(0);
    EXPECT_EQ(calls, 0);
    scale.SetStepMulti(3);
    EXPECT_EQ(scale.StepMulti(), 3);
    scale.SetFont(scale.Font());  // its own font: nothing
    EXPECT_EQ(calls, 1);
    KvFont big;
    big.SetSize(20);
    scale.SetFont(big);  // the copy reports through the font, then the scale itself
    EXPECT_EQ(scale.Font().Size(), 20);
    EXPECT_EQ(senders.back(), &scale);
    EXPECT_EQ(scale.StepLines().Pen().Color(), clWhite);
    EXPECT_EQ(scale.StepLines().Pen().Width(), 2);
    scale.SubStepLines().Pen().SetWidth(3);
    EXPECT_EQ(senders.back(), &scale.SubStepLines().Pen());
    EXPECT_EQ(scale.FormatStr(), "##0.#");
}

TEST(KvBar, OrientationBidirectionalBarAndPoint) {
    TBarSettings bar;
    QImage image = paintBar(bar, 40, 10, 500);  // horizontal
    EXPECT_EQ(rgbAt(image, 10, 5), kLime);
    EXPECT_EQ(rgbAt(image, 30, 5), kBlack);
    EXPECT_EQ(rgbAt(image, 0, 5), kRed);
    image = paintBar(bar, 10, 40, 500);  // vertical, growing upward
    EXPECT_EQ(rgbAt(image, 5, 30), kLime);
    EXPECT_EQ(rgbAt(image, 5, 10), kBlack);
    image = paintBar(bar, 20, 20, 500);  // square: vertical
    EXPECT_EQ(rgbAt(image, 15, 15), kLime);
    EXPECT_EQ(rgbAt(image, 15, 5), kBlack);

    bar.SetOptions(opBidir);
    bar.ZeroPos = 500;
    image = paintBar(bar, 200, 10, 200);
    EXPECT_EQ(rgbAt(image, 1 + 39, 5), kBlack);
    EXPECT_EQ(rgbAt(image, 1 + 40, 5), kLime);
    EXPECT_EQ(rgbAt(image, 1 + 99, 5), kLime);
    EXPECT_EQ(rgbAt(image, 1 + 100, 5), kBlack);

    bar.SetOptions(0);
    bar.SetStyle(bsPoint);
    image = paintBar(bar, 103, 10, 500);  // s = 0.1: marker on 50..52
    EXPECT_EQ(rgbAt(image, 1 + 49, 5), kBlack);
    EXPECT_EQ(rgbAt(image, 1 + 50, 5), kLime);
    EXPECT_EQ(rgbAt(image, 1 + 52, 5), kLime);
    EXPECT_EQ(rgbAt(image, 1 + 53, 5), kBlack);

    bar.SetStyle(bsMultiColor);
    image = paintBar(bar, 100, 10, 800);
    EXPECT_EQ(rgbAt(image, 1 + 10, 5), q(0x00FFFF));
    EXPECT_EQ(rgbAt(image, 1 + 50, 5), q(0x008000));
    EXPECT_EQ(rgbAt(image, 1 + 75, 5), q(0x0000FF));
    EXPECT_EQ(rgbAt(image, 1 + 85, 5), kBlack);

    image = paintBar(bar, 0, 10, 500);  // empty: nothing
    EXPECT_EQ(image, redImage(2, 12));
}

TEST(KvBar, LedBarPitchGapsAndShortBars) {
    TBarSettings bar;
    bar.SetStyle(bsLED_Bar);
    bar.Sectors().SetSector2From(500);  // 334..499 is a gap
    QImage image = paintBar(bar, 40, 5, 1000);  // n = 10, p = 0, 100 .. 1000
    const int x0 = 1;
    EXPECT_EQ(rgbAt(image, x0 + 0, 2), kBlack);  // gap column between LEDs
    EXPECT_EQ(rgbAt(image, x0 + 1, 2), q(0x00FFFF));
    EXPECT_EQ(rgbAt(image, x0 + 3, 2), q(0x00FFFF));
    EXPECT_EQ(rgbAt(image, x0 + 4, 2), kBlack);
    EXPECT_EQ(rgbAt(image, x0 + 4 * 4 + 2, 2), kBlack);  // LED 4 at 400: lit but in the gap
    EXPECT_EQ(rgbAt(image, x0 + 4 * 5 + 2, 2), q(0x008000));
    EXPECT_EQ(rgbAt(image, x0 + 4 * 8 + 2, 2), q(0x0000FF));

    image = paintBar(bar, 40, 5, 250);
    EXPECT_EQ(rgbAt(image, x0 + 4 * 2 + 2, 2), q(0x00FFFF));  // 200: lit
    EXPECT_EQ(rgbAt(image, x0 + 4 * 3 + 2, 2), kBlack);       // 300: beyond the value

    bar.SetBkAuto(true);
    bar.SetBkBrightness(50);
    image = paintBar(bar, 40, 5, 250);
    EXPECT_EQ(rgbAt(image, x0 + 4 * 3 + 2, 2), q(KvSetBrightness(0x00FFFF, 50)));  // dimmed sector colour

    EXPECT_EQ(paintBar(bar, 3, 2, 1000), redImage(5, 4));  // shorter than one LED pitch
    EXPECT_EQ(paintBar(bar, 2, 3, 1000), redImage(4, 5));
    EXPECT_NE(paintBar(bar, 4, 2, 1000), redImage(6, 4));
}

TEST(KvBar, ValueTextInvertsUnderTheTextOnly) {
    TBarSettings bar;
    const QImage plain = paintBar(bar, 80, 20, 1000);
    bar.SetOptions(opValue);
    EXPECT_EQ(paintBar(bar, 80, 20, 1000), plain);  // empty text: unchanged
    bar.ValueText = "88";
    const QImage text = paintBar(bar, 80, 20, 1000);
    int inverted = 0;
    const QRgb white = q(clBtnHighlight);
    for (int y = 1; y <= 20; ++y)
        for (int x = 1; x <= 80; ++x)
            if (rgbAt(text, x, y) != kLime) {
                EXPECT_EQ(rgbAt(text, x, y), kLime ^ white);
                ++inverted;
            }
    EXPECT_GT(inverted, 10);
    EXPECT_EQ(rgbAt(text, 2, 2), kLime);
    EXPECT_EQ(rgbAt(text, 79, 19), kLime);

    TextRecorder recorder;
    bar.SetOptions(opValue | opUnit);
    bar.UnitText = "V";
    (void)paintBar(bar, 80, 20, 500);
    (void)paintBar(bar, 20, 80, 500);
    ASSERT_EQ(recorder.texts.size(), 3u);
    EXPECT_EQ(recorder.texts[0].text, "88 V");
    EXPECT_EQ(recorder.texts[1].text, "88");  // vertical: two lines
    EXPECT_EQ(recorder.texts[2].text, "V");
    EXPECT_LT(recorder.texts[1].y, recorder.texts[2].y);
}

TEST(KvBar, SettingsGuardsSectorsLampAndCopies) {
    TLED led;
    for (int w : {3, 81})
        led.SetWidth(w);
    EXPECT_EQ(led.Width(), 13);
    led.SetWidth(4);
    EXPECT_EQ(led.Width(), 4);
    led.SetHeight(80);
    EXPECT_EQ(led.Height(), 80);

    // Lit and unlit differ in their fill, both outlined in the button shadow.
    led.LEDRect = {0, 0, 20, 20};
    led.SetShape(sRectangle);
    QImage image = kvWorkBitmap(20, 20);
    KvCanvas canvas(image);
    led.Draw(canvas, true);
    EXPECT_EQ(rgbAt(image, 10, 10), kLime);
    EXPECT_EQ(rgbAt(image, 0, 10), q(clBtnShadow));
    led.Draw(canvas, false);
    EXPECT_EQ(rgbAt(image, 10, 10), q(clBtnFace));
    EXPECT_EQ(rgbAt(image, 19, 10), q(clBtnShadow));

    TBarSettings bar;
    int calls = 0;
    std::vector<KvSender*> senders;
    bar.OnChange = [&](KvSender* s) {
        ++calls;
        senders.push_back(s);
    };
    bar.SetminWidth(5);
    EXPECT_EQ(calls, 1);
    bar.SetminWidth(0);
    bar.SetminHeight(-2);
    EXPECT_EQ(calls, 1);
    bar.Bevel().Offset().SetTop(2);
    EXPECT_EQ(senders.back(), &bar.Bevel());
    bar.Font().SetSize(12);
    EXPECT_EQ(senders.back(), &bar.Font());
    bar.Sectors().SetSector1Color(clRed);  // not chained
    EXPECT_EQ(calls, 3);

    TSectorSettings sectors;
    TColor c = clBlack;
    EXPECT_TRUE(sectors.CheckSectorColor(333, c));
    EXPECT_EQ(c, 0x00FFFFu);
    EXPECT_TRUE(sectors.CheckSectorColor(334, c));
    EXPECT_EQ(c, 0x008000u);
    c = clBlue;
    EXPECT_FALSE(sectors.CheckSectorColor(1001, c));
    EXPECT_EQ(c, clBlue);

    TKvSBevel raised;
    raised.SetSpacing(9);
    bar.SetBevel(raised);
    EXPECT_EQ(bar.Bevel().Spacing(), 9);
    EXPECT_EQ(senders.back(), &bar);
    const int before = calls;
    bar.SetBevel(bar.Bevel());  // its own bevel: nothing
    EXPECT_EQ(calls, before);

    TBarSettings copy;
    bar.SetColor(clRed);
    bar.SetBkAuto(true);
    copy.assign(bar);
    EXPECT_EQ(copy.Color(), clRed);
    EXPECT_EQ(copy.Font().Size(), 12);
    EXPECT_EQ(copy.Bevel().Spacing(), 9);
    EXPECT_FALSE(copy.BkAuto());

    // Sectors across the whole range: no leading or trailing background when they reach the ends.
    QImage strip = kvWorkBitmap(100, 10);
    strip.fill(Qt::white);
    KvCanvas sectorCanvas(strip);
    copy.DrawSector(sectorCanvas, {0, 0, 100, 10}, 0, sectors, false);
    EXPECT_EQ(rgbAt(strip, 0, 5), q(0x00FFFF));
    EXPECT_EQ(rgbAt(strip, 99, 5), q(0x0000FF));
    copy.DrawHSector(sectorCanvas, {0, 0, 100, 10}, 500, sectors);
    EXPECT_EQ(rgbAt(strip, 40, 5), q(0x008000));
    EXPECT_EQ(rgbAt(strip, 60, 5), kBlack);
}
