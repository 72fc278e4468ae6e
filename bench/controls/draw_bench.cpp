// Targets: a 200x200 face (filled bevel with a face gradient, LED bar with inverted value text, a
// value indicator) repainted with a new value in under 1 ms. Gradient fills of every style at
// 200x200 are measured for reference (the elliptic and rectangle styles overdraw).
#include "kvbar.h"
#include "kvcanvas.h"
#include "kvvalind.h"

#include <QGuiApplication>
#include <benchmark/benchmark.h>

#include <cstdlib>

using namespace ostrel::vessolt::controls;

namespace {

void GradFill200(benchmark::State& state) {
    QImage image = kvWorkBitmap(200, 200);
    KvCanvas canvas(image);
    const auto style = static_cast<TGradientStyle>(state.range(0));
    for (auto _ : state) {
        KvGradFill(canvas, {0, 0, 200, 200}, 0xE2E2E2, 0x202020, style);
        benchmark::DoNotOptimize(image.constBits());
    }
}
BENCHMARK(GradFill200)->DenseRange(0, kGradientStyleCount - 1);

void FaceRepaint200(benchmark::State& state) {
    QImage image = kvWorkBitmap(200, 200);
    KvCanvas canvas(image);
    TKvSBevel bevel;
    bevel.SetBevelLine(blBoth);
    bevel.SurfaceGrad().SetVisible(true);
    bevel.SurfaceGrad().SetStyle(gsElliptic2);
    TBarSettings bar;
    bar.SetStyle(bsLED_Bar);
    bar.SetOptions(opValue | opUnit);
    bar.SetBkAuto(true);
    bar.SetBkBrightness(30);
    bar.UnitText = QStringLiteral("%");
    TKvValInd indicator;
    int value = 0;
    for (auto _ : state) {
        TRect face{0, 0, 200, 200};
        bevel.PaintFilledBevel(canvas, face);
        indicator.Draw(canvas, {100, 60}, toMidCenter);
        indicator.DrawValue(canvas, value / 10.0);
        bar.BarRect = {face.left + 10, 150, face.right - 10, 170};
        bar.ValueText = QString::number(value / 10.0, 'f', 1);
        bar.PaintBar(canvas, value);
        value = (value + 7) % 1001;
        benchmark::DoNotOptimize(image.constBits());
    }
}
BENCHMARK(FaceRepaint200)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
