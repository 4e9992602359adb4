// Continuous mode 7 of the USB board driver at the bus limit: the simulated
// board streams frames of 1044 pixels at 100 %, 50 % and 25 % of what USB 2.0
// could carry (60 MB/s), into a ring of 256 scans, smaller than the round of
// 2000, while a client takes every scan from the ring. Wall time per round.
// Counters: sent_MB/s, the rate the board really streamed (the target when
// target_ratio is near 1; a loaded machine falls short of it), scans taken,
// lost (what the board sent less what arrived: 0 while the client keeps up),
// driver_lost (the driver's own count, which must agree) and scans/s taken.

#include "acquisition.h"
#include "event_log.h"

#include "sim/fx2_board.h"

#include "platform/usb.h"

#include <benchmark/benchmark.h>

#include <atomic>
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
constexpr uint16_t kRingCapacity = 256; // smaller than a round: a slow client loses scans
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
    block.set<rb::RingCapacity>(kRingCapacity);
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
    int64_t sent = 0;
    int64_t taken = 0;
    int64_t driverLost = 0;
    double seconds = 0;
    double sendingSeconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        std::atomic<int> pushed{0};
        std::atomic<bool> done{false};
        std::chrono::steady_clock::time_point lastPush = start;
        std::thread producer([&] {
            for (int i = 0; i < kFramesPerRound; ++i) {
                std::this_thread::sleep_until(
                    start +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(period * i));
                if (streaming.board->pushFrames(1)) {
                    pushed.fetch_add(1);
                }
            }
            lastPush = std::chrono::steady_clock::now();
            done = true;
        });
        int received = 0;
        int lostThisRound = 0;
        Acquisition& acq = streaming.device.acquisition;
        // Until the board sent its round and the driver holds nothing more:
        // every scan either arrived or was counted lost, or a quiet spell of
        // 200 ms after the last one says the rest never came.
        auto quietSince = std::chrono::steady_clock::now();
        while (!done || received + lostThisRound < pushed.load()) {
            RequestBlock answer(bytes);
            answer.set<rb::Status>(0);
            answer.set<rb::LostScans>(0);
            if (HandleGetScans(streaming.device, answer, nullptr)) {
                // Empty: wait as a pending request would, for the parser.
                std::unique_lock lock(acq.lock);
                const bool more = acq.changed.wait_for(lock, std::chrono::milliseconds(5), [&] {
                    return acq.ring.count > 0 || acq.ring.pendingError != 0 || acq.ring.lost > 0;
                });
                if (!more && done &&
                    std::chrono::steady_clock::now() - quietSince >
                        std::chrono::milliseconds(200)) {
                    break;
                }
                continue;
            }
            quietSince = std::chrono::steady_clock::now();
            lostThisRound += answer.get<rb::LostScans>();
            if (answer.get<rb::Status>() != 0) {
                state.SkipWithError(
                    ("a scan request failed with " + std::to_string(answer.get<rb::Status>()))
                        .c_str());
                break;
            }
            ++received;
        }
        producer.join();
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        sendingSeconds += std::chrono::duration<double>(lastPush - start).count();
        sent += pushed.load();
        taken += received;
        driverLost += lostThisRound;
    }
    const double sentRate = sendingSeconds > 0 ? sent * frameBytes / sendingSeconds : 0;
    state.counters["sent_MB/s"] = sentRate / 1e6;
    state.counters["target_ratio"] = sentRate / rate;
    state.counters["scans"] = static_cast<double>(taken);
    state.counters["lost"] = static_cast<double>(sent - taken);
    state.counters["driver_lost"] = static_cast<double>(driverLost);
    state.counters["scans/s"] = seconds > 0 ? taken / seconds : 0;
    if (driverLost != sent - taken) {
        state.SetLabel("the driver's lost count differs from what did not arrive");
    }
}
BENCHMARK(BM_ContinuousAtBusLimit)
    ->Arg(100)
    ->Arg(50)
    ->Arg(25)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->UseRealTime();

} // namespace
