// The live preview of the measurement program with a 4,096-pixel sensor:
// redraws per second of the main window while the preview worker acquires.
// The device delivers at once, so the figure is what the window can show.

#include "device.h"
#include "fmmain.h"

#include <QApplication>
#include <QCoreApplication>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

constexpr int kPixels = 4096;

// Set up before the application object exists (main below).
void prepareEnvironment() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    // The window's dialogs remember their settings: never in the user's file.
    if (qEnvironmentVariableIsEmpty("VELDON_REVADUVO_DIR")) {
        qputenv("VELDON_REVADUVO_DIR",
                QByteArray("/tmp/revaduvo_bench_") + QByteArray::number(::getpid()));
    }
}

// A sensor that answers at once with a moving curve.
class InstantDevice : public spectrum::TDevice {
public:
    InstantDevice() : TDevice(3) {}
    int getDigitalInput(int) override { return 0; }
    void setDigitalOutput(int, int) override {}
    void setInputSource(int) override {}
    bool open() override {
        pixelCount_ = kPixels;
        coefficients_ = {200.0, 0.2, 0.0, 0.0};
        computeWavelengths();
        opened_ = true;
        return true;
    }
    bool getDarkCurrent() override { return true; }
    bool prepare() override { return true; }
    bool setParameters() override { return true; }
    bool getRawData(std::vector<double>& data) override {
        phase_ += 0.05;
        for (int i = 0; i < kPixels; ++i) {
            data[static_cast<std::size_t>(i)] = 30000.0 + 20000.0 * std::sin(i * 0.004 + phase_);
        }
        return true;
    }
    void writeI2C(std::uint8_t, const std::uint8_t*, int) override {}

private:
    double phase_ = 0.0;
};

int shownCount(const spectrum::TfmMain& window) {
    return window.countText().mid(8).toInt();
}

void BM_PreviewRedrawsPerSecond(benchmark::State& state) {
    const std::string socket = "revaduvo-preview-bench-" + std::to_string(::getpid());
    ::setenv("VELDON_SPECTSTART_SOCKET", socket.c_str(), 1);
    spectrum::TfmMain window(QStringList{}, std::make_unique<InstantDevice>());
    window.devTimer()->stop();
    window.resize(1000, 640);
    window.show();
    window.TimerDevTimer();
    window.acPreviewExecute();
    for (auto _ : state) {
        // One spectrum taken over and the window painted with it.
        const int before = shownCount(window);
        while (shownCount(window) == before) {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
        }
    }
    state.counters["redraws/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    window.btStopClick();
    while (window.previewActive()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
}
BENCHMARK(BM_PreviewRedrawsPerSecond)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();

} // namespace

// The application object lives in main, so that it goes before Qt's own
// globals do at exit (a function-static one outlived them).
int main(int argc, char** argv) {
    prepareEnvironment();
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    QApplication app(qtArgc, qtArgv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
