// One redraw of glimra's chart window with 60 curves of 4,096 points: the
// curves over the kept static picture (every new spectrum), and the same with
// the static picture rendered again (a changed range or title).

#include "glimra/chart.h"
#include "glimra/dialog.h"

#include <QApplication>
#include <QImage>
#include <QWidget>

#include <benchmark/benchmark.h>

#include <cmath>

namespace {

constexpr int kCurves = 60;
constexpr int kPoints = 4096;

QApplication& application() {
    static int argc = 1;
    static char name[] = "glimra_chart_redraw_bench";
    static char* argv[] = {name, nullptr};
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    static QApplication app(argc, argv);
    return app;
}

struct Scene {
    Scene() {
        parent.resize(1010, 610);
        chart.Create(glimra::WS_CHILD | glimra::WS_VISIBLE, glimra::RECT{0, 0, 1000, 600},
                     &parent, 1);
        chart.SetRange(0, kPoints, 0, 65535);
        chart.SetCurveCount(kCurves);
        chart.AllocCurves(kPoints);
        for (int c = 0; c < kCurves; ++c) {
            chart.GetCurve(c)->color = glimra::RGB(c * 4, 255 - c * 4, 128);
            for (int i = 0; i < kPoints; ++i) {
                chart.SetPoint(i, 30000 + 25000 * std::sin(i * 0.004 + c * 0.1) + (i * 37) % 900,
                               i, c);
            }
        }
        chart.render(&image); // the static picture once
    }

    QWidget parent;
    glimra::CChart chart;
    QImage image{1000, 600, QImage::Format_ARGB32_Premultiplied};
};

void BM_ChartRedrawCurves(benchmark::State& state) {
    application();
    Scene scene;
    for (auto _ : state) {
        scene.chart.Redraw(glimra::FALSE);
        scene.chart.render(&scene.image);
        benchmark::DoNotOptimize(scene.image.constBits());
    }
    state.SetItemsProcessed(state.iterations() * kCurves * kPoints);
}
BENCHMARK(BM_ChartRedrawCurves)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ChartRedrawWithStaticPicture(benchmark::State& state) {
    application();
    Scene scene;
    for (auto _ : state) {
        scene.chart.Redraw(glimra::TRUE);
        scene.chart.render(&scene.image);
        benchmark::DoNotOptimize(scene.image.constBits());
    }
    state.SetItemsProcessed(state.iterations() * kCurves * kPoints);
}
BENCHMARK(BM_ChartRedrawWithStaticPicture)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
