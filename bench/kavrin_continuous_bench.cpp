// Continuous mode 7 of the USB board driver at the bus limit: the simulated
// board streams frames of 1044 pixels as fast as USB 2.0 could carry them
// (60 MB/s) or its simulated bus allows, while a client takes every scan from
// the ring. Counters: scans taken, scans lost (the driver's count, must be 0)
// and the stream's rate.

#include "acquisition.h"
#include "event_log.h"

#include "sim/fx2_board.h"

#include "platform/usb.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using namespace kavrin;

constexpr uint16_t kPixels = 1044;
constexpr int kFramesPerRound = 2000;
// USB 2.0: 480 Mbit/s.
constexpr double kBusBytesPerSecond = 60e6;

// A started board at the level of the driver's functions.
class StreamingBoard {
public:
    StreamingBoard() {
        directory_ = std::filesystem::temp_directory_path() /
                     ("kavrin_continuous_bench_" + std::to_string(::getpid()));
        std::filesystem::create_directories(directory_);
        std::ofstream(directory_ / "image2.hex") << sim::fx2ImageHex(*sim::fx2ShippedImage(2));
        context_.name = "kavrin-bench";
        context_.firmwareDirectory = directory_;
        context_.boardIds.slots[0].taken = true;
        device.driver = &context_;
        device.slot = 0;
        sim::Fx2BoardConfig config;
        config.running = sim::fx2ShippedImage(2);
        board = std::make_shared<sim::Fx2Board>(config);
        board->setScanPattern(
            [](uint64_t, uint32_t pixel) { return static_cast<uint16_t>(500 + pixel); });
        port_ = sim::Fx2Board::plug(board);
        device.usb = port_->hostDevice();
        device.usb->selectConfiguration(1);
        device.pipes = device.usb->configurations().front().interfaces.front().endpoints;
        device.updateIdentity([](BoardIdentity& identity) {
            identity.boardId = 1;
            identity.generation = 1;
            identity.currentImage = 2;
            identity.loadedFirmwareType = 1;
        });
        device.state = DeviceState::Started;
        device.firstInitialisation = false;
    }
    ~StreamingBoard() {
        StopContinuousAcquisition(device, true);
        port_->unplug();
        std::filesystem::remove_all(directory_);
    }

    DEVICE_EXTENSION device;
    std::shared_ptr<sim::Fx2Board> board;

private:
    std::filesystem::path directory_;
    DriverContext context_;
    std::shared_ptr<platform::usb::SimPort> port_;
};

void BM_ContinuousAtBusLimit(benchmark::State& state) {
    StreamingBoard streaming;
    std::vector<uint8_t> bytes(KORAL_REQUEST_BLOCK_SIZE);
    RequestBlock block(bytes);
    block.set<rb::SensorWorkMode>(7);
    block.set<rb::PixelCount>(kPixels);
    block.set<rb::KeptPixelCount>(kPixels);
    block.set<rb::NumScans>(1);
    block.set<rb::PreCnts>(1);
    block.set<rb::RingCapacity>(4096);
    block.set<rb::HardwareWord>(0x1064);
    HandleInit(streaming.device, block);
    if (block.get<rb::Status>() != 0) {
        state.SkipWithError("INIT failed");
        return;
    }
    while (!streaming.board->streaming()) {
        std::this_thread::yield();
    }
    const double frameBytes = (kPixels + 2) * 2.0;
    const double rate = kBusBytesPerSecond * static_cast<double>(state.range(0)) / 100.0;
    const auto period = std::chrono::duration<double>(frameBytes / rate);
    int64_t taken = 0;
    int64_t lost = 0;
    double seconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        std::thread producer([&] {
            for (int i = 0; i < kFramesPerRound; ++i) {
                std::this_thread::sleep_until(
                    start +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(period * i));
                streaming.board->pushFrames(1);
            }
        });
        int received = 0;
        int lostThisRound = 0;
        Acquisition& acq = streaming.device.acquisition;
        while (received + lostThisRound < kFramesPerRound) {
            std::fill(bytes.begin(), bytes.end(), 0);
            RequestBlock answer(bytes);
            if (HandleGetScans(streaming.device, answer, nullptr)) {
                // Empty: wait as a pending request would, for the parser.
                std::unique_lock lock(acq.lock);
                if (!acq.changed.wait_for(lock, std::chrono::seconds(2), [&] {
                        return acq.ring.count > 0 || acq.ring.pendingError != 0 ||
                               acq.ring.lost > 0;
                    })) {
                    state.SkipWithError("the stream stopped");
                    break;
                }
                continue;
            }
            lostThisRound += answer.get<rb::LostScans>();
            if (answer.get<rb::Status>() != 0) {
                state.SkipWithError(
                    ("a scan request failed with " + std::to_string(answer.get<rb::Status>()))
                        .c_str());
                break;
            }
            ++received;
        }
        lost += lostThisRound;
        producer.join();
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        taken += received;
    }
    state.counters["scans"] = static_cast<double>(taken);
    state.counters["lost"] = static_cast<double>(lost);
    state.counters["MB/s"] = seconds > 0 ? taken * frameBytes / seconds / 1e6 : 0;
    state.counters["scans/s"] = seconds > 0 ? taken / seconds : 0;
}
BENCHMARK(BM_ContinuousAtBusLimit)
    ->Arg(100)
    ->Arg(50)
    ->Arg(25)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->UseRealTime();

} // namespace
