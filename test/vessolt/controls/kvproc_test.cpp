#include "kvproc.h"

#include "kvcanvas.h"

#include <platform/registry.h>

#include <QDialog>
#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <stdexcept>

using namespace ostrel::vessolt::controls;
using ostrel::platform::RegistryKey;
using ostrel::platform::RegistryRoot;

TEST(KvProc, BinaryTextConversions) {
    EXPECT_EQ(KvIntToBin(5, 0), "101");
    EXPECT_EQ(KvIntToBin(5, 3), "0101");
    EXPECT_EQ(KvIntToBin(0, 0), "0");
    EXPECT_EQ(KvIntToBin(-1, 0), QString(32, u'1'));
    EXPECT_EQ(KvIntToBin(-1, 40), QString(32, u'1'));
    EXPECT_EQ(KvIntToBin(5, -3), "101");
    EXPECT_EQ(KvIntToBin(0xFF, 3), "1111");  // higher bits dropped
    EXPECT_EQ(KvBinToInt(QString(32, u'1')), -1);
    EXPECT_EQ(KvBinToInt("1x1"), 5);
    EXPECT_EQ(KvBinToLWord(u'1' + QString(32, u'0')), 0u);
    EXPECT_EQ(KvBinToSingle(KvSingleToBin(1.5f, 31)), 1.5f);
    EXPECT_EQ(KvRemoveSign("1,234,567", u','), "1234567");
}

TEST(KvProc, LabelListsIncludeTheirEndsAndAlwaysEnd) {
    EXPECT_EQ(KvLogRangeStr(0, 3, 3, "0", false), "1;10;100;1000;");
    EXPECT_EQ(KvLogRangeStr(0, 3, 3, "0", true), "1000;100;10;1;");
    EXPECT_EQ(KvLogRangeStr(0, 2, 3, "0", false), "1;10;100;");  // a step of 0 becomes 1
    EXPECT_EQ(KvLogRangeStr(-1, 1, 0, "0.#", false), "0.1;10;");  // count 0 counts as 1
    EXPECT_EQ(KvRangeStr(0, 100, 4, "0"), "100;75;50;25;0;");
    EXPECT_EQ(KvRangeStr(0, 10, 0, "0"), "10;0;");
    EXPECT_EQ(KvCalcLogStr(10, 2, "0", false), "10;100;1000;");
    EXPECT_EQ(KvCalcLogStr(10, 2, "0", true), "1000;100;10;");
    int32_t exponent = 0;
    EXPECT_EQ(KvRoundLogValue(900, exponent), 1000);
    EXPECT_EQ(exponent, 3);
    EXPECT_EQ(KvRoundLogValue(-5, exponent), 1);
    EXPECT_THROW((void)KvLog10(0), std::domain_error);
    EXPECT_THROW((void)KvPower(-2, 0.5L), std::domain_error);
    EXPECT_THROW((void)KvCalcLogStr(0, 2, "0", false), std::domain_error);
    EXPECT_NEAR(static_cast<double>(KvPower(2, 10)), 1024, 1e-9);

    QString list = QStringLiteral("a;bb;");
    EXPECT_EQ(KvStrToken(list, u';'), "a");
    EXPECT_EQ(list, "bb;");
    EXPECT_EQ(KvStrToken(list, u';'), "bb");
    EXPECT_EQ(KvStrToken(list, u';'), "");
    list = QStringLiteral("tail");
    EXPECT_EQ(KvStrToken(list, u';'), "tail");
    EXPECT_TRUE(list.isEmpty());
    EXPECT_EQ(KvCharCount("a|b|c", u'|'), 2);
    EXPECT_EQ(KvCharCount("", u'|'), 0);
}

TEST(KvProc, ColourArithmeticStaysInItsChannels) {
    EXPECT_EQ(KvSetBrightness(0x00804020, 50), 0x00402010u);
    EXPECT_EQ(KvSetBrightness(0x00C0C0C0, 200), 0x00FFFFFFu);  // clamped, no spill into blue's neighbour
    EXPECT_EQ(KvCalcColor(clBlack, clWhite, 4, 1), 0x00404040u);
    EXPECT_EQ(KvCalcColor(clRed, clRed, 4, 1), clRed);
    EXPECT_EQ(KvCalcColor(clBlack, 0x000064, 0, 1), 0x000064u);
}

TEST(KvProc, Geometry) {
    EXPECT_EQ(KvCenterPoint({-3, -3, 0, 0}), (TPoint{-1, -1}));
    EXPECT_EQ(KvRotate({10, 0}, {0, 0}, 90, true), (TPoint{0, 10}));
    EXPECT_EQ(KvRotate({10, 0}, {0, 0}, 90, false), (TPoint{0, -10}));
    EXPECT_EQ(KvRotate({15, 5}, {5, 5}, 180, true), (TPoint{-5, 5}));
    const TRect r{0, 0, 10, 20};
    EXPECT_FALSE(KvInRect(10, 5, r));
    EXPECT_TRUE(KvInRect(5, 20, r));
    TRect both;
    EXPECT_TRUE(KvRectIntersection(r, {5, 5, 30, 30}, both));
    EXPECT_EQ(both, (TRect{5, 5, 10, 20}));
    EXPECT_FALSE(KvRectIntersection(r, {11, 0, 30, 30}, both));
    EXPECT_TRUE(KvRectInRect({0, 0, 10, 20}, r));
    EXPECT_FALSE(KvRectInRect({0, 0, 11, 20}, r));
    TRect b = r;
    KvBorder(b, 2);
    EXPECT_EQ(b, (TRect{2, 2, 8, 18}));
    KvGetMaxRect(-4, 30, b);
    EXPECT_EQ(b, (TRect{-4, 2, 8, 30}));
    EXPECT_EQ(KvGetRadius(r), 5);
    EXPECT_EQ(KvMinMaxInt(50, 0, 10), 10);
    EXPECT_NEAR(KvGetAngle({0, 0}, {10, 0}), 270.0, 1e-3);
    EXPECT_NEAR(KvGetAngle({0, 0}, {0, -10}), 180.0, 1e-3);
    TPoint packed;
    KvArrowSettings(packed, 0, 1, 2, 3, 4);
    EXPECT_EQ(packed, (TPoint{513, 1027}));
}

TEST(KvProc, TextAnchorsAndExtentsOnACanvas) {
    QImage image(200, 100, QImage::Format_RGB32);
    image.fill(Qt::white);
    KvCanvas canvas(image);
    int32_t w = 0, h = 0;
    KvGetMaxTokenSize(canvas, w, h, "1;10;100");
    EXPECT_EQ(w, canvas.textWidth("100"));
    EXPECT_EQ(h, canvas.textHeight("1;10;100"));
    TPoint half;
    KvGetTextSize(canvas, w, h, half, "Wide text");
    EXPECT_EQ(half, (TPoint{w / 2, h / 2}));

    // Bottom-right anchor at (150, 80): ink ends left of x 150 and above y 80.
    canvas.setBrush(Qt::NoBrush);
    KvTextOut(canvas, 150, 80, "MMM", toBotRight);
    canvas.painter().end();
    QRect ink;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) != qRgb(255, 255, 255))
                ink |= QRect(x, y, 1, 1);
    ASSERT_FALSE(ink.isEmpty());
    EXPECT_LT(ink.right(), 150);
    EXPECT_GT(ink.left(), 150 - canvas.textWidth("MMM") - 2);
    EXPECT_LT(ink.bottom(), 80);
    EXPECT_GE(ink.top(), 80 - canvas.textHeight("MMM"));
}

TEST(KvProc, RotatedTextTurnsClockwiseAboutItsAnchor) {
    QImage image(200, 200, QImage::Format_RGB32);
    image.fill(Qt::white);
    KvCanvas canvas(image);
    KvRotTextOut(canvas, {100, 20}, 90, "MMMM", toTopLeft);
    canvas.painter().end();
    QRect ink;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) != qRgb(255, 255, 255))
                ink |= QRect(x, y, 1, 1);
    ASSERT_FALSE(ink.isEmpty());
    // Running downward from the point, hanging to its left.
    EXPECT_GT(ink.height(), ink.width());
    EXPECT_LE(ink.right(), 101);
    EXPECT_GE(ink.top(), 19);
}

TEST(KvProc, MultiLineAnd3DTextAndBackupImage) {
    QImage image(200, 120, QImage::Format_RGB32);
    image.fill(Qt::white);
    KvCanvas canvas(image);
    canvas.setBrush(Qt::NoBrush);
    KvTextOutMultiLine3D(canvas, 100, 60, 2, clWhite, clGray, clBlue, "A|B|C", toMidCenter, true);
    canvas.setClipRect(QRect(0, 0, 100, 120));
    QImage backup(40, 40, QImage::Format_RGB32);
    backup.fill(Qt::black);
    GetBkUpImage(canvas, backup, {80, 40, 120, 80});
    canvas.painter().end();
    // Left half from the canvas, right half (outside the clip box) left as it was.
    EXPECT_EQ(backup.pixel(5, 5), image.pixel(85, 45));
    EXPECT_EQ(backup.pixel(35, 5), qRgb(0, 0, 0));
    bool blue = false;
    for (int y = 0; y < 120 && !blue; ++y)
        for (int x = 90; x < 110 && !blue; ++x)
            blue = image.pixel(x, y) == qRgb(0, 0, 255);
    EXPECT_TRUE(blue);
    QImage untouched(10, 10, QImage::Format_RGB32);
    untouched.fill(Qt::black);
    QImage other(100, 100, QImage::Format_RGB32);
    KvCanvas small(other);
    GetBkUpImage(small, untouched, {200, 200, 210, 210});
    EXPECT_EQ(untouched.pixel(0, 0), qRgb(0, 0, 0));
}

TEST(KvProc, FormPositionsRoundTripThroughTheRegistryOnScreen) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    qputenv("OSTREL_REGISTRY_DIR", dir.path().toLocal8Bit());
    QDialog form;
    form.resize(200, 100);
    form.move(120, 90);
    const QSize screen(800, 600);
    ASSERT_TRUE(KvSaveFormPos(form, screen));
    auto key = RegistryKey::open(RegistryRoot::LocalMachine, "software\\kvarts\\data\\QDialog");
    ASSERT_TRUE(key);
    const auto bytes = key->readBinary("Position");
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, (std::vector<uint8_t>{120, 0, 0, 0, 90, 0, 0, 0}));

    form.move(0, 0);
    KvLoadFormPos(form, screen);
    EXPECT_EQ(form.pos(), QPoint(120, 90));

    const int32_t farAway[2] = {5000, -40};
    key->writeBinary("Position", farAway, sizeof farAway);
    ASSERT_TRUE(key->flush());
    KvLoadFormPos(form, screen);
    EXPECT_EQ(form.pos(), QPoint(800 - form.frameGeometry().width(), 0));
    // A store that refuses the write is a failed save: a folder where the temporary file goes.
    const QString temp = dir.path() + QStringLiteral("/HKEY_LOCAL_MACHINE/SOFTWARE/Kvarts/Data/QDialog/.values.tmp");
    ASSERT_TRUE(QDir().mkpath(temp));
    form.move(130, 95);
    EXPECT_FALSE(KvSaveFormPos(form, screen));
    ASSERT_TRUE(QDir(temp).removeRecursively());
    RegistryKey::remove(RegistryRoot::LocalMachine, "software\\kvarts");
    form.move(-30, 10);
    KvLoadFormPos(form, screen);  // nothing stored: the current place, kept on screen
    EXPECT_EQ(form.pos(), QPoint(0, 10));
    qunsetenv("OSTREL_REGISTRY_DIR");
}
