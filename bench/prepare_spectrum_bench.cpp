// Spectrum preparation per pixel: a plain spectrum, dark-corrected and
// mirrored, an interleaved four-channel block, revision pixels, and a burst,
// beside the baseline of the single-scan cases: a plain copy of the same words
// out of the block, each divided by 100 into a double. Wall time;
// reported per pixel prepared (items).

#include "acquisition/prepare_spectrum.h"
#include "acquisition/raw_data.h"
#include "core/device_command.h"
#include "core/library_attach.h"
#include "core/library_state.h"
#include "core/locks.h"
#include "tarvik.h"

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

using namespace tarvik;

constexpr int32_t kId = 1;

// The library with one open slot whose channels have records; gone at the end.
class Library {
public:
    Library() {
        LibraryAttach();
        std::lock_guard guard(deviceLock());
        CreateDeviceSlot(kId);
        slot_ = deviceSlot(kId);
        slot_->deviceHandle = platform::kPlaceholderDeviceHandle;
        slot_->initialised = 1;
        slot_->active = 1;
        libraryState()->interfaceTypeInUse = kTypeUsb;
        ++libraryState()->openInterfaces;
        libraryState()->actualInterfaceId = kId;
        for (int32_t channel = 1; channel <= 4; ++channel) {
            uint32_t handle = 0;
            KORAL_AllocRawData(&handle);
            KORAL_ParaSetMapping(&handle, channel, kId);
        }
    }
    ~Library() {
        ReleaseAllRawData();
        LibraryDetach();
    }
    DeviceSlot& slot() { return *slot_; }
    DeviceRequestBlock& block() { return *slot_->block(); }

private:
    DeviceSlot* slot_ = nullptr;
};

void prepareLoop(benchmark::State& state, Library& library, int64_t pixelsPerCall) {
    std::lock_guard guard(deviceLock());
    for (auto _ : state) {
        if (PrepareSpectrumData(kPrepareSpectrum) != 0) {
            state.SkipWithError("preparation failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * pixelsPerCall);
    (void)library;
}

void scanRamp(Library& library, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        library.block().ScanData[i] = i * 100;
    }
}

// One channel of n pixels, one scan, values in ScanData.
void singleChannel(Library& library, uint32_t n) {
    library.block().NumberPixel2Long = n;
    library.block().NumScans = 1;
    library.block().MuxChanNum = 1;
    scanRamp(library, n);
}

// The baseline: n words out of the packed block, converted into doubles.
void BM_CopyAndConvert(benchmark::State& state) {
    Library library;
    const auto n = static_cast<uint32_t>(state.range(0));
    scanRamp(library, n);
    std::vector<double> out(n);
    const auto* words =
        reinterpret_cast<const uint8_t*>(&library.block()) + offsetof(DeviceRequestBlock, ScanData);
    for (auto _ : state) {
        for (uint32_t i = 0; i < n; ++i) {
            uint32_t word = 0;
            std::memcpy(&word, words + 4u * i, sizeof word);
            out[i] = word / 100.0;
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_CopyAndConvert)->Arg(1024)->Arg(8192)->Arg(8352)->UseRealTime();

void BM_PlainSpectrum(benchmark::State& state) {
    Library library;
    const auto n = static_cast<uint32_t>(state.range(0));
    singleChannel(library, n);
    prepareLoop(state, library, n);
}
BENCHMARK(BM_PlainSpectrum)->Arg(1024)->Arg(8352)->UseRealTime();

void BM_DarkCorrectedMirrored(benchmark::State& state) {
    Library library;
    const auto n = static_cast<uint32_t>(state.range(0));
    singleChannel(library, n);
    library.slot().sensorType[0] = 1;
    {
        std::lock_guard guard(deviceLock());
        PrepareSpectrumData(kPrepareDarkCurrent);
    }
    prepareLoop(state, library, n);
}
BENCHMARK(BM_DarkCorrectedMirrored)->Arg(1024)->Arg(8352)->UseRealTime();

void BM_InterleavedFourChannels(benchmark::State& state) {
    Library library;
    const uint32_t n = 2048;
    library.block().NumberPixel2Long = n;
    library.block().NumScans = 1;
    library.block().MuxMode = 2;
    library.block().MuxChanNum = 4;
    library.slot().muxType = 3;
    scanRamp(library, 4 * n);
    prepareLoop(state, library, 4 * n);
}
BENCHMARK(BM_InterleavedFourChannels)->UseRealTime();

void BM_RevisionPixels(benchmark::State& state) {
    Library library;
    const uint32_t n = 1024;
    singleChannel(library, n);
    library.slot().sensorType[0] = 128;
    library.slot().pixelCount[0] = n;
    library.slot().revisionPixels = {0, 100, 500, 501, 1023};
    library.slot().revisionPixelFlag = 1;
    prepareLoop(state, library, n);
}
BENCHMARK(BM_RevisionPixels)->UseRealTime();

void BM_Burst(benchmark::State& state) {
    Library library;
    const uint32_t n = 1024;
    const auto spectra = static_cast<uint32_t>(state.range(0));
    library.block().NumberPixel2Long = n;
    library.block().AcquisitionMode = 2;
    library.block().NumScans = static_cast<uint16_t>(spectra);
    library.block().BurstBlocks = 1;
    library.block().MuxChanNum = 1;
    {
        std::lock_guard guard(deviceLock());
        ResizeRequestBlock(kId, n * spectra);
    }
    prepareLoop(state, library, int64_t{n} * spectra);
}
BENCHMARK(BM_Burst)->Arg(10)->Arg(100)->UseRealTime();

} // namespace
