// Continuous mode 7 of the USB board driver: the simulated board streams
// frames of 1044 pixels over the simulated USB 2.0 bus (53.2 MB/s, its
// high-speed bulk rate, about 25,400 such frames a second) through its buffer
// of four packets, into the driver's ring of 256 scans, while a client takes
// 2,000 scans a round. Four arms:
//   rate:5000/pace:0    the board at 5,000 scans/s, the client as fast as it
//                       can: it keeps up, and its ring loses nothing;
//   rate:5000/pace:50   the same board, the client at half its rate: the ring
//                       overflows and the driver reports the lost scans;
//   rate:0/pace:0       the board at the full bus rate: bus_ratio shows
//                       whether the road through the driver carries it;
//   rate:0/pace:50      the same, the client at half the bus rate.
// The driver's reader keeps a read posted in every frame buffer the parser
// does not hold, so a client that keeps up loses nothing, in the ring or on
// the board, up to the full bus rate. Wall time per round. Counters: sent_MB/s,
// what the board put on the bus; scans/s, what the client took; lost, the
// scans lost in all, the driver's count (its ring full, reported with the
// answers) plus the board's (its buffer full because the driver did not read
// in time); driver_lost and board_lost apart; unmade, the frames the
// simulated board's own thread skipped (more than a batch behind its clock:
// neither sent nor lost), which should stay near 0.

#include "acquisition.h"
#include "event_log.h"

#include "sim/fx2_board.h"

#include "platform/usb.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using namespace kavrin;

constexpr uint16_t kPixels = 1044;
constexpr int kScansPerRound = 2000;
constexpr uint16_t kRingCapacity = 256; // smaller than a round: a slow client loses scans
constexpr double kFrameBytes = (kPixels + 2) * 2.0;
constexpr double kBusScansPerSecond = sim::kUsbHighSpeedBulkBytesPerSecond / kFrameBytes;

// A started board at the level of the driver's functions.
class StreamingBoard {
public:
    explicit StreamingBoard(double frameRate) {
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
        config.busBytesPerSecond = sim::kUsbHighSpeedBulkBytesPerSecond;
        config.frameRate = frameRate;
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

// The board's frame rate for a rate argument of 0: the full bus rate.
constexpr int64_t kAtBusRate = 0;

void BM_Continuous(benchmark::State& state) {
    const double frameRate =
        state.range(0) == kAtBusRate ? kBusScansPerSecond : static_cast<double>(state.range(0));
    StreamingBoard streaming(frameRate);
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
    // The client's pace: 0 as fast as it can, else that share of the board's
    // frame rate.
    const double pace = static_cast<double>(state.range(1)) / 100.0;
    const auto interval = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(pace > 0 ? 1.0 / (frameRate * pace) : 0.0));
    Acquisition& acq = streaming.device.acquisition;
    // What gathered in the ring while the board started is not the rounds'
    // business: take it, losses and all, before counting.
    for (;;) {
        RequestBlock answer(bytes);
        answer.set<rb::Status>(0);
        if (HandleGetScans(streaming.device, answer, nullptr) || answer.get<rb::Status>() != 0) {
            break;
        }
        std::lock_guard lock(acq.lock);
        if (acq.ring.count == 0) {
            break;
        }
    }
    int64_t taken = 0;
    int64_t driverLost = 0;
    int64_t bufferFull = 0;
    double seconds = 0;
    const std::size_t sentBefore = streaming.board->framesSent();
    const std::size_t droppedBefore = streaming.board->scansDropped();
    const auto first = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kScansPerRound;) {
            if (pace > 0) {
                std::this_thread::sleep_until(start + interval * i);
            }
            RequestBlock answer(bytes);
            answer.set<rb::Status>(0);
            answer.set<rb::LostScans>(0);
            answer.set<rb::Warning>(0);
            if (HandleGetScans(streaming.device, answer, nullptr)) {
                // Empty: wait as a pending request would, for the parser (a
                // guard against a board that stopped, not a measurement).
                std::unique_lock lock(acq.lock);
                if (!acq.changed.wait_for(lock, std::chrono::seconds(10), [&] {
                        return acq.ring.count > 0 || acq.ring.pendingError != 0 ||
                               acq.ring.lost > 0;
                    })) {
                    state.SkipWithError("no scan for 10 s");
                    return;
                }
                continue;
            }
            if (answer.get<rb::Status>() != 0) {
                state.SkipWithError(
                    ("a scan request failed with " + std::to_string(answer.get<rb::Status>()))
                        .c_str());
                return;
            }
            driverLost += answer.get<rb::LostScans>();
            bufferFull += answer.get<rb::Warning>() == 194 ? 1 : 0;
            ++taken;
            ++i;
        }
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - first).count();
    const auto sent = static_cast<double>(streaming.board->framesSent() - sentBefore);
    const auto boardLost = static_cast<double>(streaming.board->scansDropped() - droppedBefore);
    state.counters["sent_MB/s"] = elapsed > 0 ? sent * kFrameBytes / elapsed / 1e6 : 0;
    state.counters["scans/s"] = seconds > 0 ? static_cast<double>(taken) / seconds : 0;
    state.counters["bus_ratio"] = seconds > 0 ? taken / seconds / kBusScansPerSecond : 0;
    state.counters["scans"] = static_cast<double>(taken);
    state.counters["lost"] = static_cast<double>(driverLost) + boardLost;
    state.counters["driver_lost"] = static_cast<double>(driverLost);
    state.counters["board_lost"] = boardLost;
    state.counters["warnings_194"] = static_cast<double>(bufferFull);
    // Ticks the simulated board's streamer was too late for: neither sent nor
    // lost, so that "lost" does not count them.
    state.counters["unmade"] = std::max(0.0, frameRate * elapsed - sent - boardLost);
}
BENCHMARK(BM_Continuous)
    ->ArgNames({"rate", "pace"})
    ->Args({5000, 0})
    ->Args({5000, 50})
    ->Args({kAtBusRate, 0})
    ->Args({kAtBusRate, 50})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->UseRealTime();

// The process's resident memory (VmRSS) in bytes; 0 when unknown.
double residentBytes() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            double kilobytes = 0;
            status >> kilobytes;
            return kilobytes * 1024;
        }
        status.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    return 0;
}

// Eight boards in continuous mode 7 at once, each averaging 62 scans of 1,044
// pixels into frames of 129,704 bytes, 20 frames a second, a client taking
// their scans: what the process holds while they stream. rss_MB is the
// process's resident memory, reads_MB the frame buffers the driver's readers
// keep (a read posted in each one the parser does not hold): on a real bus
// that is USB buffer memory of the kernel, whose budget is for the whole
// machine.
void BM_ContinuousBoardsMemory(benchmark::State& state) {
    constexpr int kBoards = 8;
    constexpr uint16_t kAveraged = 62;
    constexpr double kFrameRate = 20;
    std::vector<std::unique_ptr<StreamingBoard>> boards;
    std::vector<uint8_t> bytes(KORAL_REQUEST_BLOCK_SIZE);
    for (int b = 0; b < kBoards; ++b) {
        boards.push_back(std::make_unique<StreamingBoard>(kFrameRate));
        RequestBlock block(bytes);
        block.set<rb::SensorWorkMode>(7);
        block.set<rb::AcquisitionMode>(1);
        block.set<rb::PixelCount>(kPixels);
        block.set<rb::KeptPixelCount>(kPixels);
        block.set<rb::NumScans>(kAveraged);
        block.set<rb::PreCnts>(1);
        block.set<rb::RingCapacity>(16);
        block.set<rb::HardwareWord>(0x1064);
        HandleInit(boards.back()->device, block);
        if (block.get<rb::Status>() != 0) {
            state.SkipWithError("INIT failed");
            return;
        }
    }
    int64_t taken = 0;
    for (auto _ : state) {
        // A second of scans from every board.
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (std::chrono::steady_clock::now() < end) {
            for (const auto& board : boards) {
                RequestBlock answer(bytes);
                answer.set<rb::Status>(0);
                if (!HandleGetScans(board->device, answer, nullptr) &&
                    answer.get<rb::Status>() == 0) {
                    ++taken;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    double reads = 0;
    for (const auto& board : boards) {
        const Acquisition& acq = board->device.acquisition;
        for (std::size_t i = 0; i < acq.frameCount; ++i) {
            reads += static_cast<double>(acq.frames[i].size());
        }
    }
    state.counters["rss_MB"] = residentBytes() / 1e6;
    state.counters["reads_MB"] = reads / 1e6;
    state.counters["scans"] = static_cast<double>(taken);
}
BENCHMARK(BM_ContinuousBoardsMemory)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

} // namespace
