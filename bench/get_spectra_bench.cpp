// One KORAL_GetSpectra round trip as a client sees it: the exports of
// libtarvik.so, the slot's worker, the device layer and a simulated board,
// then the spectrum preparation into a mapped record. Wall time per spectrum.
//
// Two roads: the request-block board (the simulated board driver, which
// answers at once: what is left is our own cost), at 1024, 2048 and 8352
// pixels; and the FX2 board through kavrin on the simulated USB bus at 2048
// pixels, whose counter bus_ratio sets the spectra per second against the
// single scans the simulated bus carries at the USB 2.0 high-speed bulk rate
// it imposes (53.2 MB/s): 1 would be a road bound by the bus alone.

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

constexpr double kBusBytesPerSecond = sim::kUsbHighSpeedBulkBytesPerSecond;

struct Board {
    uint32_t id;
    uint32_t pixels;
    bool throughKavrin;
};

// Interface IDs are the boards' own IDs (request-block boards 1..3, the FX2
// board 4).
constexpr Board kBoards[] = {
    {1, 1024, false},
    {2, 2048, false},
    {3, 8352, false},
    {4, 2048, true},
};

// Every board opened, initialised and mapped once; closed at exit.
class SimulatedBoards {
public:
    SimulatedBoards() {
        directory_ = std::filesystem::temp_directory_path() /
                     ("get_spectra_bench_" + std::to_string(::getpid()));
        std::filesystem::create_directories(directory_);
        const std::filesystem::path setup = directory_ / "sim.ini";
        std::ofstream out(setup);
        for (const Board& board : kBoards) {
            out << "[board b" << board.id
                << "]\ninterface_type = 6\nusb_board = " << (board.throughKavrin ? 1 : 0)
                << "\nboard_id = " << board.id << "\npixels = " << board.pixels << "\n";
        }
        out.close();
        ::setenv("VELDON_DRIVER_PATH", VELDON_SIM_DRIVER, 1);
        ::setenv("VELDON_SIMULATION", setup.c_str(), 1);
        ::setenv("VELDON_USB_REAL", "0", 1);
        ::setenv("VELDON_MACHINE_CONFIG", (directory_ / "machine").c_str(), 1);
        KORAL_ErrorMessages(0);
        for (const Board& board : kBoards) {
            uint32_t& record = records_[board.id];
            uint32_t sensor = 0;
            uint32_t pixels = 0;
            double c[4] = {};
            const char* failed =
                KORAL_OpenOperationElectronicsDevice(0, KORAL_INTERFACE_USB, board.id) != 0 ? "open"
                : KORAL_InitializeOperationElectronics(0, board.id) != 0 ? "initialise"
                : KORAL_AllocRawData(&record) != 0 ||
                        KORAL_ParaSetMapping(&record, 1, board.id) != 0
                    ? "map a record"
                : KORAL_HWConfig_GetSensorParams(&sensor, &pixels, &c[0], &c[1], &c[2], &c[3], 1,
                                                 board.id) != 0 ||
                        pixels != board.pixels
                    ? "see its pixels"
                    : nullptr;
            if (failed != nullptr && error_.empty()) {
                error_ = "board " + std::to_string(board.id) + " failed to " + failed;
            }
        }
    }
    ~SimulatedBoards() {
        for (const Board& board : kBoards) {
            KORAL_FreeRawData(&records_[board.id]);
            KORAL_CloseOperationElectronics(board.id);
        }
        std::filesystem::remove_all(directory_);
    }
    const std::string& error() const { return error_; }

private:
    std::filesystem::path directory_;
    uint32_t records_[5] = {};
    std::string error_;
};

SimulatedBoards& boards() {
    static SimulatedBoards instance;
    return instance;
}

void BM_GetSpectra(benchmark::State& state) {
    const Board& board = kBoards[state.range(0)];
    if (!boards().error().empty()) {
        state.SkipWithError(boards().error().c_str());
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (KORAL_GetSpectra(board.id) != 0) {
            state.SkipWithError("KORAL_GetSpectra failed");
            break;
        }
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    const double perSecond = static_cast<double>(state.iterations()) / elapsed.count();
    state.counters["spectra_per_s"] = perSecond;
    if (board.throughKavrin) {
        // A scan on the wire: two counter bytes, the pixels and the terminator.
        state.counters["bus_ratio"] = perSecond / (kBusBytesPerSecond / ((board.pixels + 2) * 2.0));
    }
    state.SetLabel(std::string(board.throughKavrin ? "kavrin, " : "request block, ") +
                   std::to_string(board.pixels) + " pixels");
}
BENCHMARK(BM_GetSpectra)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace
