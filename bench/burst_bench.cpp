// A burst of 1,000 spectra of 1,044 pixels through the whole road: the
// library's exports (libtarvik.so), the USB board driver kavrin and the
// simulated USB bus, where the simulated FX2 board takes the burst's scans as
// fast as the bus carries them at the USB 2.0 high-speed bulk rate it imposes
// (53.2 MB/s: 25,450 scans of 1,044 pixels a second). Wall time per burst;
// counters: spectra per second and their ratio to the scans the bus carries
// (1 would be the bus itself).

#include "tarvik.h"

#include "sim/fx2_board.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

constexpr uint32_t kPixels = 1044;
constexpr int32_t kBurst = 1000;
constexpr double kBusBytesPerSecond = sim::kUsbHighSpeedBulkBytesPerSecond;
// A scan on the wire: two counter bytes, the pixels and the terminator.
constexpr double kBusScansPerSecond = kBusBytesPerSecond / ((kPixels + 2) * 2.0);

class UsbBoard {
public:
    UsbBoard() {
        directory_ =
            std::filesystem::temp_directory_path() / ("burst_bench_" + std::to_string(::getpid()));
        std::filesystem::create_directories(directory_);
        const std::filesystem::path setup = directory_ / "sim.ini";
        std::ofstream(setup) << "[board usb]\ninterface_type = 6\npixels = " << kPixels
                             << "\nframe_rate = " << kBusScansPerSecond << "\n";
        ::setenv("VELDON_DRIVER_PATH", VELDON_SIM_DRIVER, 1);
        ::setenv("VELDON_SIMULATION", setup.c_str(), 1);
        ::setenv("VELDON_USB_REAL", "0", 1);
        ::setenv("VELDON_MACHINE_CONFIG", (directory_ / "machine").c_str(), 1);
        KORAL_ErrorMessages(0);
        double ms = 10.0;
        int32_t n = kBurst;
        ok_ = KORAL_OpenOperationElectronicsDevice(0, KORAL_INTERFACE_USB, 1) == 0 &&
              KORAL_InitializeOperationElectronics(0, 1) == 0 &&
              KORAL_AllocRawData(&record_) == 0 && KORAL_ParaSetMapping(&record_, 1, 1) == 0 &&
              KORAL_ParaSetIntegrationTime(&ms, 1) == 0 && KORAL_ParaSetBurstNumber(&n, 1) == 0;
    }
    ~UsbBoard() {
        KORAL_FreeRawData(&record_);
        KORAL_CloseOperationElectronics(1);
        std::filesystem::remove_all(directory_);
    }
    bool ok() const { return ok_; }
    uint32_t* record() { return &record_; }

private:
    std::filesystem::path directory_;
    uint32_t record_ = 0;
    bool ok_ = false;
};

void BM_BurstThroughKavrin(benchmark::State& state) {
    static UsbBoard board;
    if (!board.ok()) {
        state.SkipWithError("the simulated USB board could not be opened");
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (KORAL_GetSpectra(1) != 0) {
            state.SkipWithError("KORAL_GetSpectra failed");
            return;
        }
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    uint32_t stored = 0;
    if (KORAL_GetStoredBurstNumber(board.record(), &stored) != 0 ||
        stored != static_cast<uint32_t>(kBurst)) {
        state.SkipWithError("the burst did not arrive whole");
        return;
    }
    const double perSecond = static_cast<double>(state.iterations()) * kBurst / elapsed.count();
    state.counters["spectra_per_s"] = perSecond;
    state.counters["bus_ratio"] = perSecond / kBusScansPerSecond;
}
BENCHMARK(BM_BurstThroughKavrin)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

} // namespace
