// One redraw of the measurement program's chart: TSpectrumView::updateGraph
// with a 4,096-pixel current spectrum and 50 ticked stored spectra, then the
// chart rendered into an image, as a repaint would.

#include "mispecdataset.h"
#include "spectrumview.h"

#include <QApplication>
#include <QImage>
#include <QPainter>

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <vector>

namespace {

constexpr int kPixels = 4096;
constexpr int kStored = 50;

QApplication& application() {
    static int argc = 1;
    static char name[] = "revaduvo_redraw_bench";
    static char* argv[] = {name, nullptr};
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    static QApplication app(argc, argv);
    return app;
}

double curve(int i, int k) {
    return 20000.0 + 15000.0 * std::sin(i * 0.003 + k * 0.1) + (i * 37 + k * 11) % 50;
}

// The chart, its data and the image of one redraw.
struct Scene {
    Scene() {
        view.resize(1000, 600);
        view.show();
        for (int i = 0; i < kPixels; ++i) {
            wavelengths[static_cast<std::size_t>(i)] = 200.0 + 0.2 * i;
            current[static_cast<std::size_t>(i)] = curve(i, -1);
        }
        for (int k = 0; k < kStored; ++k) {
            mi::Data d;
            d.values.resize(kPixels + 1);
            for (int i = 0; i < kPixels; ++i) {
                d.values[static_cast<std::size_t>(i)] = curve(i, k);
            }
            set.spectra.push_back(std::move(d));
            view.appendStoredSeries();
        }
        input.kind = spectrum::kScope;
        input.pixelCount = kPixels;
        input.wavelengths = &wavelengths;
        input.current = &current;
        input.reference = &reference;
        input.stored = &set;
        input.checked.assign(kStored, true);
    }

    void render() {
        QPainter painter(&image);
        view.render(&painter);
        painter.end();
        benchmark::DoNotOptimize(image.constBits());
    }

    // The application exists before the first widget.
    QApplication& app = application();
    spectrum::TSpectrumView view;
    std::vector<double> wavelengths = std::vector<double>(kPixels);
    std::vector<double> current = std::vector<double>(kPixels + 1);
    const std::vector<double> reference = std::vector<double>(kPixels + 1, 0.0);
    mi::TSpecDataSet set;
    spectrum::TSpectrumView::Input input;
    QImage image{QSize(1000, 600), QImage::Format_ARGB32_Premultiplied};
};

// The whole redraw.
void BM_RedrawFiftyStored(benchmark::State& state) {
    Scene scene;
    for (auto _ : state) {
        scene.view.updateGraph(scene.input);
        scene.render();
    }
    state.SetLabel("4096 px current + 50 stored");
}
BENCHMARK(BM_RedrawFiftyStored)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

// Its two halves: the series filled anew, and the painting alone.
void BM_UpdateGraphOnly(benchmark::State& state) {
    Scene scene;
    for (auto _ : state) {
        scene.view.updateGraph(scene.input);
    }
}
BENCHMARK(BM_UpdateGraphOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RenderOnly(benchmark::State& state) {
    Scene scene;
    scene.view.updateGraph(scene.input);
    for (auto _ : state) {
        scene.render();
    }
}
BENCHMARK(BM_RenderOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
