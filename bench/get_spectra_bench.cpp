// One KORAL_GetSpectra round trip through the library: the export, the
// slot's worker, the simulated board driver with its sensor model (no
// latency), and the spectrum preparation into a mapped record. Per pixel
// count of the board; items are pixels. The library's code is linked in so
// that the slots can be given the boards' pixel counts, which the hardware
// configuration would otherwise send.

#include "core/library_attach.h"
#include "core/library_state.h"
#include "core/locks.h"
#include "tarvik.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <unistd.h>

namespace {

constexpr uint32_t kPixelCounts[] = {1024, 2048, 8352};

// Three simulated USB boards, IDs 1..3, one per pixel count; opened and
// initialised once, closed at exit.
class SimulatedBoards {
public:
    SimulatedBoards() {
        setup_ = "/tmp/get_spectra_bench_" + std::to_string(::getpid()) + ".ini";
        std::ofstream out(setup_);
        for (uint32_t i = 0; i < 3; ++i) {
            out << "[board b" << i << "]\ninterface_type = 6\nusb_board = 0\nboard_id = " << i + 1
                << "\npixels = " << kPixelCounts[i] << "\n";
        }
        out.close();
        ::setenv("VELDON_DRIVER_PATH", VELDON_SIM_DRIVER, 1);
        ::setenv("VELDON_SIMULATION", setup_.c_str(), 1);
        ok_ = tarvik::LibraryAttach() == 1;
        KORAL_ErrorMessages(0);
        for (uint32_t id = 1; id <= 3; ++id) {
            ok_ = ok_ && KORAL_OpenOperationElectronicsDevice(0, KORAL_INTERFACE_USB, id) == 0 &&
                  KORAL_InitializeOperationElectronics(0, id) == 0 && setPixels(id) &&
                  KORAL_AllocRawData(&records_[id - 1]) == 0 &&
                  KORAL_ParaSetMapping(&records_[id - 1], 1, id) == 0;
        }
    }
    ~SimulatedBoards() {
        for (uint32_t id = 1; id <= 3; ++id) {
            KORAL_FreeRawData(&records_[id - 1]);
            KORAL_CloseOperationElectronics(id);
        }
        tarvik::LibraryDetach();
        std::remove(setup_.c_str());
    }
    bool ok() const { return ok_; }

private:
    static bool setPixels(uint32_t id) {
        std::lock_guard guard(tarvik::deviceLock());
        tarvik::DeviceSlot* slot = tarvik::deviceSlot(static_cast<int32_t>(id));
        if (slot == nullptr) {
            return false;
        }
        const uint32_t pixels = kPixelCounts[id - 1];
        DeviceRequestBlock& block = *slot->block();
        block.NumberPixel = static_cast<uint16_t>(pixels);
        block.NumberPixelLong = pixels;
        block.NumberPixel2 = static_cast<uint16_t>(pixels);
        block.NumberPixel2Long = pixels;
        return true;
    }

    std::string setup_;
    uint32_t records_[3] = {};
    bool ok_ = true;
};

SimulatedBoards& boards() {
    static SimulatedBoards instance;
    return instance;
}

void BM_GetSpectra(benchmark::State& state) {
    const auto index = static_cast<uint32_t>(state.range(0));
    if (!boards().ok()) {
        state.SkipWithError("simulated boards could not be opened");
        return;
    }
    for (auto _ : state) {
        if (KORAL_GetSpectra(index + 1) != 0) {
            state.SkipWithError("KORAL_GetSpectra failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kPixelCounts[index]);
    state.SetLabel(std::to_string(kPixelCounts[index]) + " pixels");
}
BENCHMARK(BM_GetSpectra)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

} // namespace
