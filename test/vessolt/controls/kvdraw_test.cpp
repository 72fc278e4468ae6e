#include "kvcanvas.h"
#include "kvproc.h"

#include <QImage>
#include <gtest/gtest.h>

#include <array>

using namespace ostrel::vessolt::controls;

namespace {

QImage blank(int w, int h) {
    QImage image = kvWorkBitmap(w, h);
    image.fill(Qt::white);
    return image;
}
QRgb rgbAt(const QImage& image, int x, int y) { return image.pixel(x, y) & 0xFFFFFFu; }
QRgb q(TColor c) { return kvColor(c).rgb() & 0xFFFFFFu; }
constexpr QRgb kWhite = 0xFFFFFF;
constexpr QRgb kRed = 0xFF0000;
constexpr QRgb kBlack = 0;

} // namespace

TEST(KvCanvas, ShapesCoverTheirBoxWithoutRightAndBottomEdges) {
    QImage image = blank(20, 20);
    KvCanvas canvas(image);
    canvas.setPen(Qt::red, 1);
    canvas.setBrush(Qt::blue);
    canvas.rectangle(2, 2, 10, 10);
    EXPECT_EQ(rgbAt(image, 2, 5), kRed);
    EXPECT_EQ(rgbAt(image, 9, 5), kRed);
    EXPECT_EQ(rgbAt(image, 5, 9), kRed);
    EXPECT_EQ(rgbAt(image, 10, 5), kWhite);
    EXPECT_EQ(rgbAt(image, 5, 10), kWhite);
    EXPECT_EQ(rgbAt(image, 5, 5), 0x0000FFu);

    image.fill(Qt::white);
    canvas.moveTo(0, 15);
    canvas.lineTo(8, 15);  // horizontal: 0..7
    canvas.lineTo(8, 19);  // vertical: 15..18
    canvas.moveTo(10, 10);
    canvas.lineTo(14, 14);  // diagonal: 10..13
    EXPECT_EQ(rgbAt(image, 7, 15), kRed);
    EXPECT_EQ(rgbAt(image, 8, 15), kRed);  // start of the second line
    EXPECT_EQ(rgbAt(image, 8, 18), kRed);
    EXPECT_EQ(rgbAt(image, 8, 19), kWhite);
    EXPECT_EQ(rgbAt(image, 13, 13), kRed);
    EXPECT_EQ(rgbAt(image, 14, 14), kWhite);

    image.fill(Qt::white);
    canvas.setBrush(Qt::green);
    canvas.ellipse(0, 0, 10, 6);
    canvas.fillRect(18, 18, 15, 15, Qt::black);  // reversed: 15..17
    EXPECT_EQ(rgbAt(image, 9, 3), kRed);
    EXPECT_EQ(rgbAt(image, 10, 3), kWhite);
    EXPECT_EQ(rgbAt(image, 5, 5), kRed);
    EXPECT_EQ(rgbAt(image, 5, 6), kWhite);
    EXPECT_EQ(rgbAt(image, 15, 15), kBlack);
    EXPECT_EQ(rgbAt(image, 17, 17), kBlack);
    EXPECT_EQ(rgbAt(image, 18, 18), kWhite);
    EXPECT_EQ(image.format(), QImage::Format_RGB32);
}

TEST(KvCanvas, PieRunsCounterClockwiseBetweenItsRadialPoints) {
    QImage image = blank(40, 20);
    KvCanvas canvas(image);
    canvas.setPen(Qt::black, 1);
    canvas.setBrush(Qt::red);
    // From the top of the ellipse counter-clockwise to its right end: the upper-left quarter and
    // both lower quarters, the upper right left out.
    canvas.pie(0, 0, 40, 20, 20, 0, 40, 10);
    EXPECT_EQ(rgbAt(image, 10, 6), kRed);
    EXPECT_EQ(rgbAt(image, 10, 14), kRed);
    EXPECT_EQ(rgbAt(image, 30, 14), kRed);
    EXPECT_EQ(rgbAt(image, 30, 6), kWhite);
    image.fill(Qt::white);
    canvas.pie(0, 0, 40, 20, 40, 10, 20, 0);  // reversed: only the upper-right quarter
    EXPECT_EQ(rgbAt(image, 30, 6), kRed);
    EXPECT_EQ(rgbAt(image, 10, 6), kWhite);
    EXPECT_EQ(rgbAt(image, 30, 14), kWhite);
}

TEST(KvCanvas, Frame3DRingsTopLeftFirstAndShrinks) {
    QImage image = blank(12, 12);
    KvCanvas canvas(image);
    int l = 0, t = 0, r = 12, b = 12;
    canvas.frame3D(l, t, r, b, Qt::red, Qt::black, 2);
    EXPECT_EQ((std::array{l, t, r, b}), (std::array{2, 2, 10, 10}));
    EXPECT_EQ(rgbAt(image, 0, 5), kRed);
    EXPECT_EQ(rgbAt(image, 5, 0), kRed);
    EXPECT_EQ(rgbAt(image, 11, 5), kBlack);
    EXPECT_EQ(rgbAt(image, 5, 11), kBlack);
    EXPECT_EQ(rgbAt(image, 0, 11), kBlack);  // corners go to the second colour
    EXPECT_EQ(rgbAt(image, 11, 0), kBlack);
    EXPECT_EQ(rgbAt(image, 1, 5), kRed);
    EXPECT_EQ(rgbAt(image, 10, 5), kBlack);
    EXPECT_EQ(rgbAt(image, 2, 5), kWhite);
}

TEST(KvCanvas, StretchMirrorsReversedBoxesXorInvertsAndClipsAreElliptic) {
    QImage source = blank(2, 1);
    source.setPixel(0, 0, 0xFFFF0000);
    QImage image = blank(10, 10);
    KvCanvas canvas(image);
    canvas.stretchDraw(0, 0, 4, 2, source);
    EXPECT_EQ(rgbAt(image, 1, 1), kRed);
    EXPECT_EQ(rgbAt(image, 2, 1), kWhite);
    canvas.stretchDraw(8, 4, 4, 6, source);  // mirrored left to right
    EXPECT_EQ(rgbAt(image, 5, 5), kWhite);
    EXPECT_EQ(rgbAt(image, 6, 5), kRed);

    QImage mask = blank(10, 10);
    mask.fill(0xFF00FF00);
    canvas.draw(0, 0, mask, KvCopyMode::SrcInvert);
    EXPECT_EQ(rgbAt(image, 1, 1), 0xFFFF00u);  // red ^ green
    EXPECT_EQ(rgbAt(image, 9, 9), 0xFF00FFu);  // white ^ green
    EXPECT_EQ(image.pixel(9, 9) >> 24, 0xFFu);  // still opaque

    image.fill(Qt::white);
    canvas.setClipEllipse(0, 0, 10, 10);
    EXPECT_EQ(canvas.clipBox(), QRect(0, 0, 10, 10));
    canvas.fillRect(0, 0, 10, 10, Qt::black);
    EXPECT_EQ(rgbAt(image, 0, 0), kWhite);
    EXPECT_EQ(rgbAt(image, 5, 5), kBlack);
    canvas.clearClip();
    EXPECT_EQ(canvas.clipBox(), image.rect());
    canvas.setClipEllipse(0, 0, 10, 10);  // clipping again after it was off, also for images
    canvas.draw(0, 0, mask);
    EXPECT_EQ(rgbAt(image, 0, 0), kWhite);
    EXPECT_EQ(rgbAt(image, 5, 5), 0x00FF00u);
}

TEST(KvDraw, HighlightsAndShadowsSitWhereTheyShade) {
    QImage image = blank(40, 40);
    KvCanvas canvas(image);
    KvCircleAtPoint(canvas, {20, 20}, 15, clBlack, clWhite);
    EXPECT_EQ(rgbAt(image, 20 + 10, 20 + 11), q(clBtnShadow));  // lower right
    EXPECT_EQ(rgbAt(image, 20 - 10, 20 - 11), q(clBtnHighlight));
    image.fill(Qt::white);
    KvDrawLED(canvas, {0, 0, 40, 40}, sRound, clBlack, clRed);
    int below = 0;  // the lower half of the lamp is all fill
    for (int y = 22; y < 40; ++y)
        for (int x = 0; x < 40; ++x)
            below += (x - 20) * (x - 20) + (y - 20) * (y - 20) < 17 * 17 && rgbAt(image, x, y) != kRed ? 1 : 0;
    EXPECT_EQ(below, 0);
    int glint = 0;
    for (int x = 5; x < 20; ++x)
        glint += rgbAt(image, x, 20 - (20 - x) * 7 / 10) == q(clBtnHighlight) ? 1 : 0;
    EXPECT_GT(glint, 0);
}

TEST(KvDraw, BtnBevelRingsAndShrink) {
    QImage image = blank(20, 20);
    KvCanvas canvas(image);
    TRect r{0, 0, 20, 20};
    KvBtnBevel(canvas, r, true, true, clBtnFace);
    EXPECT_EQ(r, (TRect{2, 2, 18, 18}));
    EXPECT_EQ(rgbAt(image, 0, 10), q(clBtnHighlight));
    EXPECT_EQ(rgbAt(image, 19, 10), kBlack);
    EXPECT_EQ(rgbAt(image, 1, 10), 0xD2D2D2u);
    EXPECT_EQ(rgbAt(image, 18, 10), q(clBtnShadow));
    EXPECT_EQ(rgbAt(image, 10, 10), q(clBtnFace));
    r = {0, 0, 20, 20};
    KvBtnBevel(canvas, r, false, false, clBtnFace);
    EXPECT_EQ(rgbAt(image, 0, 10), kBlack);
    EXPECT_EQ(rgbAt(image, 19, 10), q(clBtnHighlight));
    EXPECT_EQ(rgbAt(image, 18, 10), 0xD2D2D2u);
}

TEST(KvDraw, GradFillStylesEqualColoursAndEmptyRects) {
    QImage image = blank(40, 100);
    KvCanvas canvas(image);
    for (int style = 0; style < kGradientStyleCount; ++style) {
        image.fill(Qt::white);
        KvGradFill(canvas, {0, 0, 40, 30}, 0x336699, 0x336699, static_cast<TGradientStyle>(style));
        for (const auto& [x, y] : {std::pair{0, 0}, {39, 29}, {20, 15}, {5, 25}})
            EXPECT_EQ(rgbAt(image, x, y), 0x996633u) << style;
        EXPECT_EQ(rgbAt(image, 20, 30), kWhite);
        // Another pair of colours covers the rect too, and an empty rect paints nothing.
        KvGradFill(canvas, {0, 0, 40, 30}, clBlack, clWhite, static_cast<TGradientStyle>(style));
        EXPECT_EQ(rgbAt(image, 20, 30), kWhite);
        KvGradFill(canvas, {0, 40, 40, 40}, clBlack, clWhite, static_cast<TGradientStyle>(style));
        KvGradFill(canvas, {10, 50, 0, 60}, clBlack, clWhite, static_cast<TGradientStyle>(style));
        EXPECT_EQ(rgbAt(image, 5, 40), kWhite);
        EXPECT_EQ(rgbAt(image, 5, 55), kWhite);
    }
    KvGradFill(canvas, {0, 0, 40, 100}, clBlack, 0xFF0000, gsHorizontal1);
    EXPECT_EQ(rgbAt(image, 10, 0), 0u);
    EXPECT_EQ(rgbAt(image, 10, 50), 127u);
    EXPECT_EQ(rgbAt(image, 10, 99), 252u);
    KvGradFill(canvas, {0, 0, 40, 100}, clBlack, 0xFF0000, gsVertical2);  // centre from, edges to
    EXPECT_EQ(rgbAt(image, 20, 50), 0u);
    EXPECT_GT(rgbAt(image, 0, 50), 240u);
    KvGradFill(canvas, {0, 0, 40, 100}, clBlack, 0xFF0000, gsElliptic1);  // centre near from
    EXPECT_LT(rgbAt(image, 20, 50), 10u);
    EXPECT_EQ(rgbAt(image, 0, 0), 255u);
    KvGradFill(canvas, {0, 0, 40, 100}, clBlack, 0xFF0000, gsTopLeft);
    EXPECT_LT(rgbAt(image, 0, 0), 5u);
    EXPECT_GT(rgbAt(image, 39, 99), 250u);
}

TEST(KvDraw, PointerSectorLedScaleAndArrow) {
    QImage image = blank(100, 60);
    KvCanvas canvas(image);
    canvas.setPen(Qt::black, 1);
    canvas.setBrush(Qt::red);
    KvDrawHPointer(canvas, {10, 10, 90, 30}, 500, 4, 8, false);
    EXPECT_EQ(rgbAt(image, 50, 10), kBlack);  // the tip
    EXPECT_EQ(rgbAt(image, 50, 15), kRed);
    EXPECT_EQ(rgbAt(image, 49, 10), kWhite);
    EXPECT_EQ(CalcTotalDigit(-2, 3), 5);
    EXPECT_EQ(CalcTotalDigit(2, -1), 0);
    EXPECT_EQ(KvMakeCenterSquare({0, 0, 100, 50}), (TRect{25, 0, 75, 50}));
    EXPECT_EQ(KvMakeSquare({0, 0, 100, 50}), (TRect{0, 0, 50, 50}));
    EXPECT_TRUE(KvInCircle(50, 25, {0, 0, 50, 50}));
    EXPECT_FALSE(KvInCircle(1, 1, {0, 0, 50, 50}));

    image.fill(Qt::white);
    KvDrawLED(canvas, {0, 0, 13, 13}, sArrowUp, clBlack, clLime);
    EXPECT_EQ(rgbAt(image, 6, 9), 0x00FF00u);
    EXPECT_EQ(rgbAt(image, 0, 12), kBlack);
    EXPECT_EQ(rgbAt(image, 1, 1), kWhite);

    image.fill(Qt::white);
    canvas.setBrush(Qt::red);
    KvRoundSector(canvas, {0, 0, 40, 40}, 0, 90);  // from 12 to 3 o'clock, clockwise on screen
    EXPECT_EQ(rgbAt(image, 28, 12), kRed);
    EXPECT_EQ(rgbAt(image, 12, 12), kWhite);
    EXPECT_EQ(rgbAt(image, 28, 28), kWhite);

    // A scale of no divisions draws nothing; 2 x 2 divisions lay out ticks and labels.
    image.fill(Qt::white);
    TRect scale{0, 0, 100, 60};
    KvHorizScala(canvas, "0;5;10;", scale, 0, 2, true);
    KvHorizScala(canvas, "0;5;10;", scale, 2, 0, true);
    EXPECT_EQ(scale, (TRect{0, 0, 100, 60}));
    EXPECT_EQ(image, [] { QImage w = kvWorkBitmap(100, 60); w.fill(Qt::white); return w; }());
    std::vector<std::pair<QPoint, QString>> texts;
    KvSetTextOutHook([&](int x, int y, const QString& t) { texts.emplace_back(QPoint(x, y), t); });
    KvHorizScala(canvas, "0;5;10;", scale, 2, 2, false);
    KvSetTextOutHook(nullptr);
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0].second, "0");
    EXPECT_EQ(texts[2].second, "10");
    EXPECT_EQ(scale.width() % 4, 0);
    EXPECT_EQ(rgbAt(image, scale.left, 1), kBlack);             // base line
    EXPECT_EQ(rgbAt(image, scale.left + scale.width() / 4, 8), kBlack);   // sub tick
    EXPECT_EQ(rgbAt(image, scale.left + scale.width() / 4, 15), kWhite);  // not as long as a main tick

    // An arrow whose count claims more points than the arrays hold stays inside them.
    std::array<TPoint, 5> source{};
    KvArrowSettings(source[0], 0, 200, 0, 0, 0);
    source[1] = {50, 30};
    source[2] = {50, 10};
    source[3] = {55, 30};
    source[4] = {45, 30};
    std::array<TPoint, 5> target{};
    image.fill(Qt::white);
    KvArrowDraw(canvas, 90, source, target, true);
    EXPECT_EQ(target[2], (TPoint{70, 30}));
    EXPECT_EQ(target[4], (TPoint{50, 25}));
    EXPECT_EQ(rgbAt(image, 60, 30), kRed);
}

TEST(KvDraw, ClippedProceduresLeaveTheCallersClip) {
    QImage image = blank(60, 60);
    KvCanvas canvas(image);
    canvas.setClipRect(QRect(0, 0, 30, 60));
    KvCircleGradFill(canvas, {0, 0, 40, 40}, clBlack, clWhite);
    Kv3DEllipse(canvas, {0, 0}, {20, 20}, 10, 10, clRed, true, true);
    EXPECT_EQ(canvas.clipBox(), QRect(0, 0, 30, 60));
    canvas.fillRect(0, 50, 60, 60, Qt::black);
    EXPECT_EQ(rgbAt(image, 29, 55), kBlack);
    EXPECT_EQ(rgbAt(image, 30, 55), kWhite);
    int ring = 0;  // the ring's left side inside the clip
    for (int x = 9; x < 14; ++x)
        ring += rgbAt(image, x, 20) == kRed ? 1 : 0;
    EXPECT_GE(ring, 1);
    EXPECT_EQ(rgbAt(image, 20, 20), kWhite);
}
