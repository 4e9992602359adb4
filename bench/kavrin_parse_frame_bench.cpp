// The frame parser against a plain copy of the same bytes, for the frames of
// a single scan and of an average of 100 scans. Bytes are frame bytes; the
// USB 2.0 bus carries at most 60 MB/s (480 Mbit/s).

#include "frame_parser.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace {

using namespace kavrin;

std::vector<uint8_t> makeFrame(const FrameLayout& layout) {
    std::vector<uint8_t> frame;
    for (uint64_t s = 0; s < layout.wireScans(); ++s) {
        frame.push_back(0);
        frame.push_back(0);
        for (uint32_t j = 0; j < layout.pixelCount; ++j) {
            const uint16_t v = static_cast<uint16_t>(500 + (j * 7 + s) % 3000);
            frame.push_back(static_cast<uint8_t>(v));
            frame.push_back(static_cast<uint8_t>(v >> 8));
        }
        frame.push_back(kTerminator0);
        frame.push_back(kTerminator1);
    }
    return frame;
}

FrameLayout layoutFor(uint32_t pixels, uint32_t scans) {
    FrameLayout layout;
    layout.pixelCount = pixels;
    layout.keptPixelCount = pixels;
    layout.numScans = scans;
    layout.saturationCheck = true;
    layout.saturationPeriod = static_cast<uint16_t>(pixels);
    return layout;
}

void BM_ParseFrame(benchmark::State& state) {
    const FrameLayout layout =
        layoutFor(static_cast<uint32_t>(state.range(0)), static_cast<uint32_t>(state.range(1)));
    const std::vector<uint8_t> frame = makeFrame(layout);
    std::vector<uint8_t> destination(static_cast<std::size_t>(layout.pixelCount) * 4);
    const uint32_t flags = kParse32Bit | (layout.numScans > 1 ? kParseAverage : 0);
    for (auto _ : state) {
        const ParseResult result = ParseFrame(destination, frame, flags, layout);
        benchmark::DoNotOptimize(result);
        benchmark::DoNotOptimize(destination.data());
        if (!result.ok()) {
            state.SkipWithError("the frame did not parse");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(frame.size()));
}
BENCHMARK(BM_ParseFrame)->Args({1044, 1})->Args({2048, 1})->Args({1044, 100})->UseRealTime();

void BM_CopyFrame(benchmark::State& state) {
    const FrameLayout layout =
        layoutFor(static_cast<uint32_t>(state.range(0)), static_cast<uint32_t>(state.range(1)));
    const std::vector<uint8_t> frame = makeFrame(layout);
    std::vector<uint8_t> destination(frame.size());
    for (auto _ : state) {
        std::memcpy(destination.data(), frame.data(), frame.size());
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(frame.size()));
}
BENCHMARK(BM_CopyFrame)->Args({1044, 1})->Args({2048, 1})->Args({1044, 100})->UseRealTime();

} // namespace
