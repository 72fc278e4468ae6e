#include "kvbevel.h"
#include "kvcanvas.h"
#include "kvgclass.h"
#include "kvvalind.h"

#include <platform/ini.h>
#include <platform/process.h>

#include <QTemporaryDir>
#include <QFileInfo>
#include <QFile>
#include <gtest/gtest.h>

#include <vector>

using namespace ostrel::vessolt::controls;

namespace {

QRgb rgbAt(const QImage& image, int x, int y) { return image.pixel(x, y) & 0xFFFFFFu; }

// A widget that records what reached its parameter-change hook.
class RecordingControl : public TKvCustomControl {
public:
    std::vector<KvChangeSource> senders;
    int invalidated = 0;
    void ParamChange(KvChangeSource sender) override { senders.push_back(sender); }
    void Invalidate() override { ++invalidated; }
};

class RecordingGraphic : public TKvGraphicControl {
public:
    std::vector<KvChangeSource> senders;
    void ParamChange(KvChangeSource sender) override { senders.push_back(sender); }
};

} // namespace

TEST(KvGClass, NestedFontChangeReachesTheWidgetWithTheFontAsSender) {
    RecordingControl widget;
    TKvValInd indicator;
    indicator.OnChange = [&](KvSender* sender) { widget.ParamChange(sender); };
    indicator.Caption().Font().SetColor(clRed);
    ASSERT_EQ(widget.senders.size(), 1u);  // no intermediate Change of the caption
    EXPECT_EQ(widget.senders[0], &indicator.Caption().Font());
    indicator.Caption().Font().SetColor(clRed);  // equal: nobody hears
    EXPECT_EQ(widget.senders.size(), 1u);
    indicator.SetColor(clBlue);
    EXPECT_EQ(widget.senders.back(), &indicator);
    indicator.TxtSpacing().SetTop(2);
    EXPECT_EQ(widget.senders.back(), &indicator.TxtSpacing());

    // The panel bevel reports changes inside its margins and face gradient as its own.
    TKvSBevel bevel;
    std::vector<KvSender*> heard;
    bevel.OnChange = [&](KvSender* s) { heard.push_back(s); };
    bevel.Offset().SetLeft(3);
    bevel.SurfaceGrad().SetVisible(true);
    EXPECT_EQ(heard, (std::vector<KvSender*>{&bevel, &bevel}));
}

TEST(KvGClass, UpdatesNotifyOnceAtTheOutermostEnd) {
    RecordingGraphic graphic;
    graphic.BeginUpdate();
    graphic.BeginUpdate();
    graphic.Change();
    graphic.EndUpdate();
    EXPECT_TRUE(graphic.senders.empty());
    graphic.EndUpdate();
    ASSERT_EQ(graphic.senders.size(), 1u);
    EXPECT_EQ(graphic.senders[0], &graphic);
    graphic.EndUpdate();  // unbalanced
    EXPECT_EQ(graphic.updateCount(), 0);
    EXPECT_EQ(graphic.senders.size(), 2u);

    RecordingControl custom;
    custom.BeginUpdate();
    custom.EndUpdate();
    custom.EndUpdate();
    EXPECT_EQ(custom.invalidated, 2);
    EXPECT_EQ(custom.updateCount(), 0);
    EXPECT_TRUE(custom.senders.empty());
}

TEST(KvGClass, OffsetMarginsWriteSilentlyAndShrink) {
    TKvOffset offset;
    int calls = 0;
    offset.OnChange = [&](KvSender*) { ++calls; };
    offset.Write(1, 2, 3, 4);
    offset.SetTop(1);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(offset.SetOffset({0, 0, 100, 50}), (TRect{2, 1, 97, 46}));
    TKvOffset other;
    other.OnChange = [&](KvSender*) { calls += 10; };
    other.assign(offset);
    EXPECT_EQ(calls, 10);
    EXPECT_EQ(other.Bottom(), 4);
}

TEST(KvGClass, IniSettingsCheckNamesPlaceFilesAndReportFailedSaves) {
    TIniSettings ini;
    int handled = 0;
    ini.OnHandleIniEvent = [&](ostrel::platform::IniFile& file, bool read) {
        ++handled;
        if (read)
            EXPECT_EQ(file.readInteger("Gauge", "Max", 0), 250);
        else
            file.writeInteger("Gauge", "Max", 250);
    };
    ini.Handle(true);
    EXPECT_TRUE(ini.Error());
    EXPECT_EQ(ini.ErrorText(), "Invalid SectionName");
    ini.Section = "Gauge";
    ini.Handle(true);
    EXPECT_EQ(ini.ErrorText(), "Invalid FileName");
    EXPECT_EQ(handled, 0);

    const QString appDir = QString::fromStdString(ostrel::platform::executableDir());
    ini.FileName = R"(C:\Program\gauge.ini)";
    EXPECT_EQ(ini.path(), appDir + "/gauge.ini");
    ini.FileName = "/elsewhere/deep/gauge.ini";
    EXPECT_EQ(ini.path(), appDir + "/gauge.ini");
    ini.FileName = "D:gauge.ini";
    EXPECT_EQ(ini.path(), appDir + "/gauge.ini");

    QTemporaryDir dir;
    ini.UseAppDir = false;
    ini.FileName = dir.filePath("gauge.ini");
    ini.AutoHandle(false);  // AutoLoadSave is off
    EXPECT_EQ(handled, 0);
    ini.AutoLoadSave = true;
    ini.AutoHandle(false);
    EXPECT_FALSE(ini.Error());
    ini.Handle(true);
    EXPECT_FALSE(ini.Error());
    EXPECT_EQ(handled, 2);

    ini.FileName = dir.filePath("missing/gauge.ini");
    ini.Handle(false);
    EXPECT_TRUE(ini.Error());
    EXPECT_TRUE(ini.ErrorText().contains("missing/gauge.ini"));

    // A file too large to read is not replaced by the one section written, and the text says why.
    QFile big(dir.filePath("big.ini"));
    ASSERT_TRUE(big.open(QIODevice::WriteOnly) && big.resize((qint64{16} << 20) + 1));
    big.close();
    ini.FileName = big.fileName();
    ini.Handle(false);
    EXPECT_TRUE(ini.Error());
    EXPECT_TRUE(ini.ErrorText().endsWith("(File too large)")) << ini.ErrorText().toStdString();
    EXPECT_EQ(QFileInfo(big.fileName()).size(), (qint64{16} << 20) + 1);
}

// Copies are typed: a settings object takes only its own class.
template <typename D, typename S>
concept AssignsFrom = requires(D& d, const S& s) { d.assign(s); };
static_assert(AssignsFrom<TKvSBevel, TKvSBevel>);
static_assert(!AssignsFrom<TKvBtnBevel, TKvSBevel>);
static_assert(!AssignsFrom<TKvOffset, TKvGradSettings>);
static_assert(!std::is_copy_assignable_v<TKvSBevel>);

TEST(KvBevel, GradedRingsRaisedAndLowered) {
    TKvSBevel bevel;
    bevel.SetColorHighLightFrom(0x000000);
    bevel.SetColorHighLightTo(0x0000C8);
    bevel.SetColorShadowFrom(0x000000);
    bevel.SetColorShadowTo(0x00C800);
    QImage image = kvWorkBitmap(20, 20);
    KvCanvas canvas(image);
    TRect r{0, 0, 20, 20};
    bevel.PaintGradBevel(canvas, r, true, true, clWhite);
    EXPECT_EQ(r, (TRect{2, 2, 18, 18}));
    EXPECT_EQ(rgbAt(image, 0, 10), 0x640000u);   // red 100
    EXPECT_EQ(rgbAt(image, 1, 10), 0xC80000u);   // red 200
    EXPECT_EQ(rgbAt(image, 19, 10), 0x006400u);  // green 100
    EXPECT_EQ(rgbAt(image, 18, 10), 0x00C800u);
    EXPECT_EQ(rgbAt(image, 10, 10), 0xFFFFFFu);
    r = {0, 0, 20, 20};
    bevel.PaintGradBevel(canvas, r, false, false, clWhite);
    EXPECT_EQ(rgbAt(image, 0, 10), 0x006400u);   // shadow pair reversed: to, then from
    EXPECT_EQ(rgbAt(image, 1, 10), 0x000000u);
    EXPECT_EQ(rgbAt(image, 19, 10), 0x640000u);
    EXPECT_EQ(rgbAt(image, 18, 10), 0x000000u);

    TKvBtnBevel btn;
    btn.SetWidth(-1);
    EXPECT_EQ(btn.Width(), 2);
    btn.SetWidth(0);
    r = {0, 0, 20, 20};
    image.fill(Qt::white);
    btn.PaintBevel(canvas, r, true, false, clBlack);
    EXPECT_EQ(r, (TRect{0, 0, 20, 20}));
    EXPECT_EQ(rgbAt(image, 0, 0), 0xFFFFFFu);
}

TEST(KvBevel, BorderWidthLinesSpacingAndOffsetShrinkTheFace) {
    TKvSBevel bevel;
    const int32_t base = bevel.Spacing() + bevel.Width();
    EXPECT_EQ(bevel.totalBorderWidth(), base);
    const std::pair<TBevelLine, int> lines[] = {{blOuter, 1}, {blInner, 1}, {blBoth, 2}, {blNone, 0}};
    for (const auto& [line, extra] : lines) {
        bevel.SetBevelLine(line);
        EXPECT_EQ(bevel.totalBorderWidth(), base + extra);
    }
    bevel.SetWidth(-3);
    EXPECT_EQ(bevel.Width(), 2);

    bevel.SetBevelLine(blBoth);
    bevel.SetPenColor(clRed);
    bevel.Offset().SetLeft(3);
    bevel.SurfaceGrad().SetVisible(true);
    bevel.SurfaceGrad().SetColorFrom(clBlue);
    bevel.SurfaceGrad().SetColorTo(clBlue);
    QImage image = kvWorkBitmap(100, 60);
    image.fill(Qt::white);
    KvCanvas canvas(image);
    TRect r{0, 0, 100, 60};
    bevel.PaintFilledBevel(canvas, r);
    const int t = bevel.totalBorderWidth();
    EXPECT_EQ(r, (TRect{t + 3, t, 100 - t, 60 - t}));
    EXPECT_EQ(rgbAt(image, 0, 30), 0xFF0000u);   // outer line
    EXPECT_EQ(rgbAt(image, 3, 30), 0xFF0000u);   // inner line inside the two rings
    EXPECT_EQ(rgbAt(image, 4, 30), 0x0000FFu);   // face gradient
    EXPECT_EQ(rgbAt(image, 50, 30), 0x0000FFu);

    image.fill(Qt::white);
    r = {0, 0, 100, 60};
    bevel.PaintBevel(canvas, r);
    EXPECT_EQ(r, (TRect{t + 3, t, 100 - t, 60 - t}));
    EXPECT_EQ(rgbAt(image, 50, 30), 0xFFFFFFu);  // face left alone
    EXPECT_EQ(rgbAt(image, 99, 30), 0xFF0000u);

    TKvBevelSettings plain;
    plain.SetColorFrom(clGray);
    plain.SetColorTo(clGray);
    int calls = 0;
    plain.OnChange = [&](KvSender*) { ++calls; };
    plain.SwapColors();
    EXPECT_EQ(calls, 1);

    TKvSBevel copy;
    copy.OnChange = [&](KvSender*) { ++calls; };
    copy.assign(bevel);
    EXPECT_EQ(copy.totalBorderWidth(), t);
    EXPECT_EQ(copy.Offset().Left(), 3);
    EXPECT_TRUE(copy.SurfaceGrad().Visible());
}

TEST(KvBevel, RoundBevelKeepsTheCallersClip) {
    TKvSBevel bevel;
    QImage image = kvWorkBitmap(60, 60);
    image.fill(Qt::white);
    KvCanvas canvas(image);
    TRect r{0, 0, 60, 60};
    bevel.PaintRoundBevel(canvas, r);  // round surface off: nothing
    EXPECT_EQ(r, (TRect{0, 0, 60, 60}));
    bevel.setRoundSurface(true);
    EXPECT_EQ(bevel.surfaceBitmap().size(), QSize(30, 30));
    r = {0, 0, 4, 60};
    bevel.PaintRoundBevel(canvas, r);
    EXPECT_EQ(r, (TRect{0, 0, 4, 60}));
    EXPECT_EQ(rgbAt(image, 1, 30), 0xFFFFFFu);

    bevel.SurfaceGrad().SetVisible(true);
    canvas.setClipRect(QRect(0, 0, 50, 60));
    r = {0, 0, 60, 60};
    bevel.PaintRoundBevel(canvas, r);
    EXPECT_EQ(r, (TRect{7, 7, 53, 53}));
    EXPECT_EQ(canvas.clipBox(), QRect(0, 0, 50, 60));
    EXPECT_EQ(rgbAt(image, 0, 0), 0xFFFFFFu);       // outside the disc
    EXPECT_NE(rgbAt(image, 30, 30), 0xFFFFFFu);     // face painted
    canvas.fillRect(0, 0, 60, 5, Qt::black);
    EXPECT_EQ(rgbAt(image, 0, 0), 0u);              // the elliptic clip is gone
    EXPECT_EQ(rgbAt(image, 55, 0), 0xFFFFFFu);      // the caller's clip is back
}
