#include "kvcanvas.h"
#include "kvscale.h"

#include <QImage>
#include <gtest/gtest.h>

#include <vector>

using namespace ostrel::vessolt::controls;

namespace {

struct Label {
    int x, y;
    QString text;
};

struct Labels {
    std::vector<Label> all;
    Labels() {
        KvSetTextOutHook([this](int x, int y, const QString& t) { all.push_back({x, y, t}); });
    }
    ~Labels() { KvSetTextOutHook(nullptr); }
    [[nodiscard]] QStringList texts() const {
        QStringList out;
        for (const auto& l : all)
            out << l.text;
        return out;
    }
};

QImage whiteImage(int w, int h) {
    QImage image = kvWorkBitmap(w, h);
    image.fill(Qt::white);
    return image;
}

bool dark(const QImage& image, int x, int y) { return (image.pixel(x, y) & 0xFFFFFFu) == 0; }

// A font small enough for one-pixel main ticks.
void smallFont(TScaleSettings& scale) { scale.Font().SetSize(10); }

} // namespace

TEST(TScaleSettings, StepLimitsAndLogSteps) {
    TScaleSettings scale;
    int changes = 0;
    scale.OnChange = [&](KvSender*) { ++changes; };
    scale.SetSteps(0);
    scale.SetSteps(25);
    scale.SetSubSteps(0);
    scale.SetSubSteps(11);
    EXPECT_EQ(scale.Steps(), 5);
    EXPECT_EQ(scale.SubSteps(), 2);
    EXPECT_EQ(changes, 0);
    scale.SetSteps(20);
    scale.SetSubSteps(10);
    EXPECT_EQ(scale.Steps(), 20);
    EXPECT_EQ(scale.SubSteps(), 10);
    scale.Font().SetSize(12);  // the owned font reports through the scale
    EXPECT_EQ(changes, 3);

    EXPECT_EQ(TScaleSettings::CalcLogScaleSteps(5, 6), 3);
    EXPECT_EQ(TScaleSettings::CalcLogScaleSteps(5, 7), 1);
    EXPECT_EQ(TScaleSettings::CalcLogScaleSteps(1, 6), 1);
    EXPECT_EQ(TScaleSettings::CalcLogScaleSteps(5, 0), 1);
    EXPECT_EQ(TScaleSettings::CalcLogScaleSteps(5, 4), 4);

    TScaleSettings copy;
    copy.assign(scale);
    EXPECT_EQ(copy.Steps(), 20);
    EXPECT_EQ(copy.Font().Size(), 12);
}

TEST(TScaleSettings, VerticalTicksAndLabelsPixelExact) {
    TScaleSettings scale;
    smallFont(scale);
    QImage image = whiteImage(120, 130);
    KvCanvas canvas(image);
    scale.CalcSize(canvas, 0, 100);
    ASSERT_EQ(scale.MainPenWidth, 1) << "text height " << scale.TextHeight;
    EXPECT_EQ(scale.MainTickLength, kvRound(scale.TextHeight / 1.4));
    EXPECT_EQ(scale.SubTickLength, scale.MainTickLength / 2);
    EXPECT_EQ(scale.TextGap, scale.TextHeight / 3);
    EXPECT_EQ(scale.ScaleWidth, scale.MaxTextWidth + scale.MainTickLength + scale.TextGap);
    EXPECT_EQ(scale.ScaleHeight, kvRound(scale.TextHeight * 5 * 1.4));

    Labels labels;
    scale.VertiScala(canvas, {10, 10, 60, 110});
    EXPECT_EQ(scale.ScaleStart, 110);
    EXPECT_EQ(scale.ScaleEnd, 10);
    const int mainEnd = 10 + scale.MainTickLength - 1;
    const int subEnd = 10 + scale.SubTickLength - 1;
    for (int y = 10; y <= 110; ++y) {
        const bool main = (y - 10) % 20 == 0;
        const bool sub = (y - 10) % 10 == 0;
        EXPECT_EQ(dark(image, mainEnd, y), main) << y;
        EXPECT_EQ(dark(image, subEnd, y), sub) << y;
        EXPECT_TRUE(dark(image, 10, y)) << "base line at " << y;
    }
    EXPECT_FALSE(dark(image, 10, 9));
    EXPECT_FALSE(dark(image, 10, 111));
    EXPECT_FALSE(dark(image, mainEnd + 1, 30));
    EXPECT_EQ(labels.texts(), QStringList({"100", "80", "60", "40", "20", "0"}));
    for (std::size_t i = 1; i < labels.all.size(); ++i) {
        EXPECT_GT(labels.all[i].y, labels.all[i - 1].y);
        EXPECT_GE(labels.all[i].x, 10 + scale.MainTickLength + scale.TextGap);
    }

    // Labels on the left: ticks hang from the right edge.
    QImage left = whiteImage(120, 130);
    KvCanvas leftCanvas(left);
    scale.SetPosLeftTop(true);
    scale.CalcSize(leftCanvas, 0, 100);
    scale.VertiScala(leftCanvas, {10, 10, 60, 110});
    EXPECT_TRUE(dark(left, 60 - scale.MainTickLength + 1, 30));
    EXPECT_FALSE(dark(left, 60 - scale.MainTickLength, 30));
}

TEST(TScaleSettings, HorizontalAndLogarithmicLabels) {
    TScaleSettings scale;
    smallFont(scale);
    QImage image = whiteImage(260, 60);
    KvCanvas canvas(image);
    scale.CalcHSize(canvas, 0, 100);
    EXPECT_EQ(scale.TextGap, scale.TextHeight / 5);
    EXPECT_EQ(scale.ScaleWidth, kvRound(scale.MaxTextWidth * 5 * 1.4));
    {
        Labels labels;
        scale.HorizScala(canvas, {20, 5, 220, 50});
        EXPECT_EQ(labels.texts(), QStringList({"0", "20", "40", "60", "80", "100"}));
        EXPECT_EQ(scale.ScaleStart, 20);
        EXPECT_EQ(scale.ScaleEnd, 220);
        EXPECT_TRUE(dark(image, 60, 5 + scale.MainTickLength - 1));
        EXPECT_FALSE(dark(image, 60, 5 + scale.MainTickLength));
    }

    scale.LogScale = true;
    scale.CalcSize(canvas, 1, 1000);
    EXPECT_EQ(scale.RangeText, "1e3;1e2;1e1;1e0;");
    EXPECT_EQ(scale.LogLow, 0);
    EXPECT_EQ(scale.LogHigh, 3);
    EXPECT_EQ(scale.LogSteps, 3);
    scale.CalcHSize(canvas, 1, 1000);
    EXPECT_EQ(scale.RangeText, "1e0;1e1;1e2;1e3;");
    EXPECT_NO_THROW(scale.CalcSize(canvas, 0, 100));
    EXPECT_EQ(scale.LogLow, 0);
    EXPECT_EQ(scale.LogHigh, 2);
    EXPECT_NO_THROW(scale.CalcRSize(canvas, -5, 0));

    // Log sub ticks fall on 2x, 4x, 6x, 8x of each decade, measured up from its low end.
    scale.SetSubSteps(5);
    QImage logImage = whiteImage(100, 220);
    KvCanvas logCanvas(logImage);
    scale.CalcSize(logCanvas, 1, 1000);
    scale.VertiScala(logCanvas, {10, 10, 60, 190});  // 60 pixels a decade
    const int subEnd = 10 + scale.SubTickLength - 1;
    for (int k : {2, 4, 6, 8})
        EXPECT_TRUE(dark(logImage, subEnd, 190 - kvRound(std::log10(k) * 60))) << k;
}

TEST(TScaleSettings, RoundAndDialForms) {
    TScaleSettings scale;
    smallFont(scale);
    QImage image = whiteImage(220, 220);
    KvCanvas canvas(image);
    scale.CalcRSize(canvas, 0, 100);
    EXPECT_EQ(scale.TextGap, std::max(scale.TextHeight, scale.MaxTextWidth) / 2 + 1);
    {
        Labels labels;
        TRect r{10, 10, 210, 210};
        scale.RoundScala(canvas, r, -135, 270);
        EXPECT_EQ(labels.all.size(), 6u);
        EXPECT_EQ(labels.texts().front(), "0");
        EXPECT_EQ(labels.texts().back(), "100");
        const int rad = (200 - 2 * scale.TextGap) / 2 - scale.MaxTextWidth / 2 + scale.TextGap;
        EXPECT_EQ(scale.MainTickLength, rad / 8);
        EXPECT_EQ(scale.Center, (TPoint{110, 10 + rad + scale.TextHeight / 2}));
        // The start tick points down-left at -135 degrees, the end tick down-right.
        EXPECT_LT(scale.StartPoint.x, scale.Center.x);
        EXPECT_GT(scale.StartPoint.y, scale.Center.y);
        EXPECT_GT(scale.EndPoint.x, scale.Center.x);
        EXPECT_GT(scale.EndPoint.y, scale.Center.y);
        EXPECT_TRUE(dark(image, scale.StartPoint.x, scale.StartPoint.y));
        // The rect became the tick circle, moved in by one for one-pixel pens.
        const int w = scale.MaxTextWidth / 2;
        EXPECT_EQ(r.left, scale.Center.x - rad + w + 1);
        EXPECT_EQ(r.right, scale.Center.x + rad - w - 1);
    }
    {
        Labels labels;
        TRect r{10, 10, 210, 210};
        scale.RoundScala(canvas, r, 0, 360);
        EXPECT_EQ(labels.all.size(), 5u);
    }
    {
        Labels labels;
        TRect r{10, 10, 210, 210};
        scale.DialScala(canvas, r, 0, 360);
        EXPECT_EQ(labels.all.size(), 6u);
    }
    TRect tiny{0, 0, 20, 20};
    scale.CalcRSize(canvas, 0, 100);
    scale.DialScala(canvas, tiny, -90, 180);
    EXPECT_EQ(scale.MainTickLength, 3);
    EXPECT_EQ(scale.SubTickLength, 1);
}

TEST(TScaleSettings, LargeFontThickensTicks) {
    TScaleSettings scale;
    scale.Font().SetSize(21);  // 28 pixels
    QImage image = whiteImage(100, 100);
    KvCanvas canvas(image);
    scale.CalcSize(canvas, 0, 100);
    ASSERT_GE(scale.TextHeight, 21);
    EXPECT_EQ(scale.MainPenWidth, kvRound(scale.TextHeight / 14.0));
    EXPECT_EQ(scale.SubTickLength, kvRound(scale.MainTickLength / 1.4));
    EXPECT_EQ(scale.LineOffset, scale.MainPenWidth / 2 + 3);
}
