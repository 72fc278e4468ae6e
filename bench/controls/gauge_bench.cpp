// Targets: a 200x200 round gauge (filled bevel, 270-degree scale with 10 steps of 5, three sector
// pies, an arrow pointer, a value indicator) painted at successive values in under 1 ms (60 Hz with
// room to spare); a value change through the gauge's bookkeeping in under 20 us. The scale's
// measuring and drawing alone are reported for reference. With OSTREL_GAUGE_PNG set to a folder,
// the gauge is also written there as gauge.png at three values, for a look.
#include "kvanalog.h"
#include "kvcanvas.h"
#include "kvscale.h"
#include "kvvalind.h"

#include <QApplication>
#include <QDir>
#include <benchmark/benchmark.h>

#include <array>
#include <cstdlib>

using namespace ostrel::vessolt::controls;

namespace {

constexpr int kStart = -135;
constexpr int kSweep = 270;

// A round gauge as a concrete descendant would paint it.
class BenchGauge : public TKvAnalogGControl {
public:
    BenchGauge() {
        resize(200, 200);
        loaded();
        bevel.SetBevelLine(blBoth);
        bevel.SurfaceGrad().SetVisible(true);
        bevel.SurfaceGrad().SetStyle(gsElliptic2);
        scale.SetSteps(10);
        scale.SetSubSteps(5);
        scale.Font().SetSize(8);
    }

    void paintTo(KvCanvas& canvas) {
        TRect face{0, 0, width(), height()};
        bevel.PaintFilledBevel(canvas, face);
        scale.CalcRSize(canvas, SignalSettings().ValueFrom(), SignalSettings().ValueTo());
        TRect ring = face;
        // Measure the tick circle first so that the sectors lie under the ticks.
        QImage scratch = kvWorkBitmap(1, 1);
        KvCanvas none(scratch);
        scale.RoundScala(none, ring, kStart, kSweep);
        const auto& s = SectorSettings();
        const std::array<std::array<int32_t, 3>, 3> sectors{{{s.Sector1From(), s.Sector1To(), int32_t(s.Sector1Color())},
                                                           {s.Sector2From(), s.Sector2To(), int32_t(s.Sector2Color())},
                                                           {s.Sector3From(), s.Sector3To(), int32_t(s.Sector3Color())}}};
        canvas.setPen(QPen(Qt::NoPen));
        for (const auto& sector : sectors) {
            canvas.setBrush(QBrush(kvColor(static_cast<TColor>(sector[2]))));
            KvRoundSector(canvas, ring, kStart + sector[0] * kSweep / 1000.0f, kStart + sector[1] * kSweep / 1000.0f);
        }
        canvas.setBrush(QBrush(kvColor(bevel.Color())));
        canvas.setPen(kvColor(bevel.Color()));
        canvas.ellipse(scale.InnerTopLeft.x, scale.InnerTopLeft.y, scale.InnerBottomRight.x, scale.InnerBottomRight.y);
        TRect ticks = face;
        scale.RoundScala(canvas, ticks, kStart, kSweep);

        const TPoint c = scale.Center;
        const int32_t len = c.y - scale.InnerTopLeft.y;
        const std::array<TPoint, 6> arrow{{{5, 0}, c, {c.x - 4, c.y + 8}, {c.x, c.y - len}, {c.x + 4, c.y + 8}, {c.x, c.y + 4}}};
        std::array<TPoint, 6> turned{};
        canvas.setPen(kvColor(clBlack));
        canvas.setBrush(QBrush(kvColor(scale.PointerColor())));
        KvArrowDraw(canvas, kStart + PPT * kSweep / 1000.0f, arrow, turned, true);

        indicator.Draw(canvas, {c.x, face.bottom - 12}, toBotCenter);
        indicator.DrawValue(canvas, Value());
    }

    TKvSBevel bevel;
    TScaleSettings scale;
    TKvValInd indicator;
};

void GaugePaint200(benchmark::State& state) {
    BenchGauge gauge;
    QImage image = kvWorkBitmap(200, 200);
    KvCanvas canvas(image);
    int step = 0;
    for (auto _ : state) {
        gauge.SetValue(static_cast<float>(step * 100 / 59));
        gauge.paintTo(canvas);
        step = (step + 1) % 60;
        benchmark::DoNotOptimize(image.constBits());
    }
}
BENCHMARK(GaugePaint200)->Unit(benchmark::kMicrosecond);

void GaugeSetValue(benchmark::State& state) {
    BenchGauge gauge;
    gauge.SetHintOptions({hoAutoHint, hoValue, hoName1});
    int step = 0;
    for (auto _ : state) {
        gauge.SetValue(static_cast<float>(step));
        step = (step + 1) % 120;
        benchmark::DoNotOptimize(gauge.PPT);
    }
}
BENCHMARK(GaugeSetValue)->Unit(benchmark::kMicrosecond);

void RoundScale200(benchmark::State& state) {
    TScaleSettings scale;
    scale.SetSteps(10);
    scale.SetSubSteps(5);
    scale.Font().SetSize(8);
    QImage image = kvWorkBitmap(200, 200);
    KvCanvas canvas(image);
    for (auto _ : state) {
        TRect r{0, 0, 200, 200};
        scale.CalcRSize(canvas, 0, 100);
        scale.RoundScala(canvas, r, kStart, kSweep);
        benchmark::DoNotOptimize(image.constBits());
    }
}
BENCHMARK(RoundScale200)->Unit(benchmark::kMicrosecond);

void writePictures(const char* folder) {
    BenchGauge gauge;
    QImage strip = kvWorkBitmap(600, 200);
    for (int i = 0; i < 3; ++i) {
        QImage image = kvWorkBitmap(200, 200);
        KvCanvas canvas(image);
        gauge.SetValue(static_cast<float>(10 + 40 * i));
        gauge.paintTo(canvas);
        KvCanvas target(strip);
        target.draw(200 * i, 0, image);
    }
    strip.save(QDir(QString::fromLocal8Bit(folder)).filePath(QStringLiteral("gauge.png")));

    // Linear and logarithmic scales in both orientations and label positions.
    QImage scales = kvWorkBitmap(420, 260);
    scales.fill(Qt::white);
    KvCanvas canvas(scales);
    TScaleSettings scale;
    scale.Font().SetSize(8);
    scale.CalcSize(canvas, 0, 100);
    scale.VertiScala(canvas, {10, 20, 60, 230});
    scale.SetPosLeftTop(true);
    scale.LogScale = true;
    scale.SetSubSteps(10);
    scale.CalcSize(canvas, 1, 1000);
    scale.VertiScala(canvas, {70, 20, 130, 230});
    scale.CalcHSize(canvas, 0.1f, 1000);
    scale.HorizScala(canvas, {160, 10, 400, 60});
    scale.LogScale = false;
    scale.SetPosLeftTop(false);
    scale.SetSubSteps(4);
    scale.CalcHSize(canvas, -50, 50);
    scale.HorizScala(canvas, {160, 90, 400, 140});
    scale.CalcRSize(canvas, 0, 100);
    TRect dial{250, 150, 350, 250};
    scale.DialScala(canvas, dial, -90, 180);
    scales.save(QDir(QString::fromLocal8Bit(folder)).filePath(QStringLiteral("scales.png")));
}

} // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    if (const char* folder = std::getenv("OSTREL_GAUGE_PNG"))
        writePictures(folder);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
