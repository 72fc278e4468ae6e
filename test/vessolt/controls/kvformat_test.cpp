#include "kvformat.h"

#include <QGuiApplication>
#include <QPalette>
#include <gtest/gtest.h>

#include <cmath>

using namespace ostrel::vessolt::controls;

namespace {
const KvSeparators kDot{u'.', u','};
const KvSeparators kComma{u',', u'.'};
QString fmt(const char* picture, double v, const KvSeparators& s = kDot) {
    return FormatFloat(QString::fromLatin1(picture), v, s);
}
} // namespace

TEST(KvFormat, PicturesRoundHalfAwayFromZeroAtFifteenDigits) {
    EXPECT_EQ(fmt("#0.#", 10), "10");
    EXPECT_EQ(fmt("#0.#", 10.5), "10.5");
    EXPECT_EQ(fmt("#0.#", 10.25), "10.3");   // 10.25 is exact: half away from zero
    EXPECT_EQ(fmt("#0.#", 10.35), "10.4");   // 10.3499999... is 10.35 at 15 digits
    EXPECT_EQ(fmt("#0.#", -0.04), "0");      // a zero result has no sign
    EXPECT_EQ(fmt("#0.#", -2.55), "-2.6");
    EXPECT_EQ(fmt("#0.#", 0.96), "1");
    EXPECT_EQ(fmt("#0.#", 99.96), "100");
    EXPECT_EQ(fmt("0.00", 1), "1.00");
    EXPECT_EQ(fmt("000", 7), "007");
    EXPECT_EQ(fmt("#.##", 0.5), ".5");
    EXPECT_EQ(fmt("#0.#", 10.5, kComma), "10,5");
    EXPECT_EQ(fmt("'x='0' ms'", 12), "x=12 ms");
}

TEST(KvFormat, ExponentsGroupingAndSections) {
    EXPECT_EQ(fmt("0e-0", 0.001), "1e-3");
    EXPECT_EQ(fmt("0e-0", 1000), "1e3");
    EXPECT_EQ(fmt("0.00E+00", 1234), "1.23E+03");
    EXPECT_EQ(fmt("0.0E+0", 0), "0.0E+0");
    EXPECT_EQ(fmt("#,##0", 1234567), "1,234,567");
    EXPECT_EQ(fmt("#,##0", 123), "123");
    EXPECT_EQ(fmt("#,##0", -1234), "-1,234");
    EXPECT_EQ(fmt("#,##0.00", 1234.5, kComma), "1.234,50");
    EXPECT_EQ(fmt("0;(0);'zero'", 5), "5");
    EXPECT_EQ(fmt("0;(0);'zero'", -5), "(5)");
    EXPECT_EQ(fmt("0;(0);'zero'", 0), "zero");
    EXPECT_EQ(fmt("0;;'zero'", -5), "-5");   // an empty section falls back to the first
    EXPECT_EQ(fmt("#0.#", 1.7E308), "1.7E308");  // beyond 18 integer digits: general form
    EXPECT_EQ(fmt("#0.#", 123456789012345678.0), "123456789012346000");
    EXPECT_EQ(fmt("", 0.1), "0.1");
    EXPECT_EQ(fmt("", 1E-5), "0.00001");
    EXPECT_EQ(fmt("", 1E-6), "1E-6");
    EXPECT_EQ(fmt("#0.#", -HUGE_VAL), "-INF");
}

TEST(KvFormat, ConversionsTakeTheWholeTextOrNothing) {
    EXPECT_EQ(StrToFloat("1.5", kDot), 1.5);
    EXPECT_EQ(StrToFloat(" 1,5 ", kComma), 1.5);
    EXPECT_EQ(StrToFloat("+2e3", kDot), 2000.0);
    EXPECT_FALSE(StrToFloat("1.5", kComma));
    EXPECT_FALSE(StrToFloat("1e", kDot));
    EXPECT_FALSE(StrToFloat("1E2.5", kDot));
    EXPECT_FALSE(StrToFloat("inf", kDot));
    EXPECT_FALSE(StrToFloat("1E400", kDot));
    EXPECT_FALSE(StrToFloat("", kDot));
    EXPECT_EQ(StrToInt("$1F"), 31);
    EXPECT_EQ(StrToInt("0x1f"), 31);
    EXPECT_EQ(StrToInt("$FFFFFFFF"), -1);
    EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
    EXPECT_FALSE(StrToInt("2147483648"));
    EXPECT_FALSE(StrToInt("$100000000"));
    EXPECT_FALSE(StrToInt("12a"));
    EXPECT_FALSE(StrToInt("+-1"));
    EXPECT_EQ(kvRound(2.5), 2);
    EXPECT_EQ(kvRound(3.5), 4);
    EXPECT_EQ(kvRound(-2.5), -2);
    EXPECT_EQ(kvRound(5E9), INT32_MAX);
    EXPECT_EQ(kvRound(-5E9), INT32_MIN);
    EXPECT_EQ(kvRound(NAN), 0);
}

TEST(KvFormat, ColoursSwapRedAndBlueAndResolveSystemColours) {
    EXPECT_EQ(kvColor(0x00336699), QColor(0x99, 0x66, 0x33));
    EXPECT_EQ(kvColor(clRed), QColor(Qt::red));
    const QPalette p = QGuiApplication::palette();
    EXPECT_EQ(kvColor(clWindow), p.color(QPalette::Base));
    EXPECT_EQ(kvColor(clBtnFace), p.color(QPalette::Button));
    EXPECT_EQ(kvColor(clBtnShadow), p.color(QPalette::Dark));
    EXPECT_EQ(kvColor(clBtnHighlight), p.color(QPalette::Light));
    const QColor base = p.color(QPalette::Base);
    EXPECT_EQ(kvColorToRgb(clWindow), static_cast<TColor>(base.red() | base.green() << 8 | base.blue() << 16));
}
