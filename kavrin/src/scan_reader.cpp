// IOCTL_BOARD_GET_SCANS: one frame per request in the single modes; in the
// continuous modes the scan reader and the frame parser threads, the scan
// ring, and the pending scan request they complete.

#include "acquisition.h"

#include "board_status.h"
#include "driver.h"
#include "firmware.h"
#include "vendor_requests.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <new>
#include <optional>
#include <thread>

namespace kavrin {

namespace {

using platform::IoRequestPtr;

// How long a new reader or parser may take to run: a busy machine is no
// failure of the board.
constexpr uint32_t kThreadStartTimeoutMs = 5000;
constexpr int kMaxReadRetries = 10;
// How soon a reader whose reads the bus all refused for memory asks again.
constexpr uint32_t kNoMemoryRetryMs = 2;
constexpr uint16_t kStatusInfoOverrun = 100;
constexpr uint8_t kInitFlagFifoProtection = 0x01;
// Ring scans times kept pixels beyond this are refused as no memory.
constexpr uint64_t kMaxRingBytes = 1ull << 30;
// A pipe that brought nothing for this long holds nothing more of what a
// stopped board sent (a board's buffer crosses the bus in well under that).
constexpr uint32_t kScanPipeQuietMs = 20;
// The rest of a cut frame is due by its exposure, its bus time and this.
constexpr uint32_t kCutFrameMarginMs = 500;
// Bus time of a cut frame's rest: bytes per ms at high and at full speed,
// well below what each carries.
constexpr uint64_t kHighSpeedBytesPerMs = 20000;
constexpr uint64_t kFullSpeedBytesPerMs = 1000;
// A pipe that has not quieted this long after a cut frame's rest was due
// has a board that goes on sending: no request can vouch for what it reads.
constexpr uint32_t kScanPipeSettleLimitMs = 2000;
// The zero-length packet that ends a frame of whole packets follows its last
// packet at once.
constexpr uint32_t kFrameEndTimeoutMs = 100;

bool started(const DEVICE_EXTENSION& device) {
    return device.state.load() == DeviceState::Started;
}

// A single-mode frame whose read did not end whole: the board goes on
// sending its rest, and the next request would read that first. The frame
// is stopped (the buffer emptied and the pipe reset where the generation
// allows), and what of it may still come is left for emptyScanPipe: its
// next scan is due one exposure after the last that came, the whole rest by
// the frame's exposure. The board gets the next INIT whatever it holds: the
// stop ends its set-up.
void cutFrame(DEVICE_EXTENSION& device, uint64_t bytesRead, platform::TimePoint begun) {
    Acquisition& acq = device.acquisition;
    const AcquisitionSettings& s = acq.settings;
    if (started(device)) {
        StopStreaming(device, s.layout.pixelCount);
        RestartStreaming(device, s.layout.keptPixelCount);
        ResetPipe(device);
    }
    const uint64_t frameBytes = s.frameSize;
    const uint64_t toCome = frameBytes - std::min(bytesRead, frameBytes);
    const uint64_t scanBytes = (uint64_t{s.layout.pixelCount} + 2) * 2;
    const uint64_t scansCome = bytesRead / scanBytes;
    const uint64_t busMs =
        toCome / (device.readIdentity().highSpeed ? kHighSpeedBytesPerMs : kFullSpeedBytesPerMs);
    const auto dueAfter = [&](uint64_t scans, uint64_t ms) {
        return platform::addSaturating(begun,
                                       std::chrono::microseconds(s.scanExposureUs * scans) +
                                           std::chrono::milliseconds(ms + kCutFrameMarginMs));
    };
    const platform::TimePoint nextDue = dueAfter(scansCome + 1, 0);
    const platform::TimePoint lastDue = dueAfter(s.layout.wireScans(), busMs);
    std::lock_guard lock(acq.lock);
    ScanPipeResidue& residue = acq.residue;
    residue.pending = true;
    residue.bytes += toCome;
    residue.nextDue = std::max(residue.nextDue, nextDue);
    residue.lastDue = std::max(residue.lastDue, lastDue);
    residue.scanExposureUs = std::max(residue.scanExposureUs, s.scanExposureUs);
    acq.sentSinceStart = false;
}

// What no request will read may still come (the frames a stopped stream
// sent before its stop, the rest of a refused frame): emptied before the
// next start.
void markScanPipeToEmpty(Acquisition& acq) {
    std::lock_guard lock(acq.lock);
    acq.residue.pending = true;
}

uint32_t msUntil(platform::TimePoint from, platform::TimePoint to) {
    if (to <= from) {
        return 0;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(to - from).count();
    return static_cast<uint32_t>(std::min<int64_t>(ms, platform::kInfinite - 1));
}

// Reads what earlier requests left on the scan pipe before a start-scan: the
// rest of cut frames for as long as their next scan is due, then until the
// pipe is quiet. 0: the pipe is empty. ECANCELED: given up. Else the pipe did
// not empty (it stays to be emptied before the next start).
int emptyScanPipe(DEVICE_EXTENSION& device, const std::function<bool()>& givenUp) {
    Acquisition& acq = device.acquisition;
    ScanPipeResidue residue;
    {
        std::lock_guard lock(acq.lock);
        residue = acq.residue;
    }
    if (!residue.pending) {
        return 0;
    }
    std::vector<uint8_t> sink;
    try {
        sink.assign(kMaxPipePiece, 0);
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
    platform::Clock& clock = platform::clock();
    const platform::TimePoint limit = platform::addSaturating(
        std::max(clock.now(), residue.lastDue), std::chrono::milliseconds(kScanPipeSettleLimitMs));
    uint64_t toCome = residue.bytes;
    for (;;) {
        uint32_t waitMs = kScanPipeQuietMs;
        if (toCome != 0) {
            waitMs = static_cast<uint32_t>(std::min<uint64_t>(
                uint64_t{msUntil(clock.now(), residue.nextDue)} + kScanPipeQuietMs,
                platform::kInfinite - 1));
        }
        const platform::usb::TransferResult read =
            ReadPipeOnce(device, kScanPipeIndex, sink, waitMs, givenUp);
        if (givenUp && givenUp()) {
            return ECANCELED;
        }
        if (read.status == ETIMEDOUT && read.length == 0) {
            break; // quiet, and no scan is due any more
        }
        if (!read.ok() && read.status != ETIMEDOUT) {
            return read.status;
        }
        const platform::TimePoint now = clock.now();
        if (now >= limit) {
            return EIO;
        }
        if (read.length != 0 && toCome != 0) {
            toCome -= std::min<uint64_t>(toCome, read.length);
            residue.nextDue =
                platform::addSaturating(now, std::chrono::microseconds(residue.scanExposureUs) +
                                                 std::chrono::milliseconds(kCutFrameMarginMs));
        }
    }
    std::lock_guard lock(acq.lock);
    acq.residue = {};
    return 0;
}

// The data area a request really carries, bounded by DataLength words.
std::span<uint8_t> dataAreaOf(RequestBlock& block) {
    const std::span<uint8_t> area = block.dataArea();
    const uint64_t declared = static_cast<uint64_t>(block.get<rb::DataLength>()) * 2;
    return area.first(static_cast<std::size_t>(std::min<uint64_t>(declared, area.size())));
}

// The request's answer once its block is filled: a request whose cancel
// routine runs is completed there instead.
void completeTaken(DEVICE_EXTENSION& device, const IoRequestPtr& request) {
    if (!request) {
        return;
    }
    device.acquisition.pendingFlag = false;
    if (request->clearCancelRoutine()) {
        request->setInformation(request->inputBufferLength());
        request->complete(platform::kStatusSuccess);
        device.removeLock.release();
    }
    device.acquisition.changed.notify_all();
}

// Continuous answer (under the lock): a pending error, else the oldest scan;
// then the lost count, a loss, and the warnings.
void answerLocked(Acquisition& acq, RequestBlock& block) {
    SCAN_RING_BUFFER& ring = acq.ring;
    bool copied = false;
    uint16_t scanStatus = 0;
    if (ring.pendingError != 0) {
        block.set<rb::Status>(ring.pendingError);
        block.set<rb::StatusInfo>(0);
        block.set<rb::Warning>(ring.pendingWarning);
        ring.pendingError = 0;
        ring.pendingWarning = 0;
    } else if (CopyScansFromRing(ring, block, acq.settings.requestFlags, scanStatus)) {
        copied = true;
    } else {
        block.set<rb::Status>(kBoardStatusOverflow);
    }
    block.set<rb::LostScans>(static_cast<uint16_t>(std::min<uint32_t>(ring.lost, 0xFFFF)));
    if (ring.lossMarked) {
        if (ring.pendingWarning == 0) {
            block.set<rb::Warning>(kBoardWarningScansLost);
        } else if (ring.pendingWarning == kBoardWarningFrameDropped) {
            block.set<rb::Warning>(kBoardWarningFrameDropped);
            ring.pendingWarning = 0;
        }
        ring.lossMarked = false;
        ring.lost = 0;
    }
    if (ring.pendingWarning == kBoardWarningBufferFull) {
        block.set<rb::Warning>(kBoardWarningBufferFull);
        ring.pendingWarning = 0;
    } else if (copied && block.get<rb::Warning>() == 0) {
        block.set<rb::Warning>(scanStatus != 0 ? scanStatus : ring.pendingWarning);
    }
}

// Takes the pending request when there is something to answer it with.
IoRequestPtr takeAnswerableLocked(Acquisition& acq) {
    if (!acq.pendingScan || (acq.ring.count == 0 && acq.ring.pendingError == 0)) {
        return nullptr;
    }
    IoRequestPtr request = std::move(acq.pendingScan);
    acq.pendingScan.reset();
    RequestBlock block(request->systemBuffer());
    answerLocked(acq, block);
    return request;
}

void markLossLocked(SCAN_RING_BUFFER& ring) {
    ++ring.lost;
    ring.lossMarked = true;
}

// The board's state: a full buffer there is the stream's lost scans. Read by
// the parser, not the reader, so that the reader's reads stay posted.
bool boardBufferFull(DEVICE_EXTENSION& device) {
    uint16_t code = 0;
    return device.state.load() != DeviceState::SurpriseRemoved &&
           ReadDeviceError(device, code) == 0 && code == kBoardWarningBufferFull;
}

uint32_t frameParserThread(DEVICE_EXTENSION& device, platform::Thread& self) {
    Acquisition& acq = device.acquisition;
    self.signalRunning();
    while (acq.frameReady.wait(platform::kInfinite) == platform::WaitResult::Signalled) {
        bool ended = false;
        // Every frame handed over since the last wake-up, oldest first.
        for (;;) {
            uint32_t flags = 0;
            std::size_t index = 0;
            bool caughtUp = false;
            // An INIT that sends nothing may still change the window or the
            // flags: read them for each frame.
            FrameLayout layout;
            uint16_t mode = 0;
            {
                std::lock_guard lock(acq.lock);
                flags = acq.parseFlags;
                if (flags == kParseEnd) {
                    ended = true;
                    break;
                }
                if (acq.handedCount == 0) {
                    break;
                }
                index = acq.handed[0];
                --acq.handedCount;
                std::copy_n(acq.handed.begin() + 1, acq.handedCount, acq.handed.begin());
                caughtUp = acq.handedCount == 0;
                layout = acq.settings.layout;
                mode = acq.settings.sensorWorkMode;
            }
            const std::size_t scanBytes = static_cast<std::size_t>(layout.keptPixelCount) * 4;
            // Once per catch-up rather than per frame: a parser that fell
            // behind (a slow state request) then catches up. The board keeps
            // its code until it is read, so none is missed.
            const bool boardFull = caughtUp && boardBufferFull(device);
            const ParseResult result =
                ParseFrame(acq.parseBuffer, acq.frames[index], flags | kParseToState, layout);
            IoRequestPtr answered;
            {
                std::lock_guard lock(acq.lock);
                acq.withParser[index] = false;
                ++acq.framesHandled;
                if (boardFull) {
                    acq.ring.pendingWarning = kBoardWarningBufferFull;
                }
                ReportParse(result, acq.ring.pendingWarning, acq.ring.pendingError);
                if (!result.ok()) {
                    markLossLocked(acq.ring);
                } else {
                    StoreScanInRing(acq.ring, mode,
                                    std::span<const uint8_t>(acq.parseBuffer).first(scanBytes));
                }
                answered = takeAnswerableLocked(acq);
            }
            acq.changed.notify_all();
            completeTaken(device, answered);
        }
        if (ended) {
            break;
        }
    }
    return 0;
}

bool allocateReaderBuffers(Acquisition& acq) {
    try {
        const std::size_t frame = static_cast<std::size_t>(acq.settings.frameSize);
        acq.parseBuffer.assign(static_cast<std::size_t>(acq.settings.layout.pixelCount) * 4, 0);
        acq.frameCount = std::clamp<std::size_t>(
            kReaderBufferBytes / std::max<std::size_t>(frame, 1), 2, kFrameBuffers);
        for (std::size_t i = 0; i < acq.frameCount; ++i) {
            acq.frames[i].assign(frame, 0);
        }
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

void freeReaderBuffers(Acquisition& acq) {
    acq.parseBuffer = {};
    for (std::vector<uint8_t>& buffer : acq.frames) {
        buffer = {};
    }
}

// A frame read the reader has posted, into a buffer of its own.
struct PostedFrame {
    std::size_t buffer = 0;
    PostedFrameRead read;
};

// A buffer neither posted into nor with the parser; frameCount when none.
std::size_t freeFrameLocked(const Acquisition& acq, const std::array<bool, kFrameBuffers>& posted) {
    for (std::size_t i = 0; i < acq.frameCount; ++i) {
        if (!posted[i] && !acq.withParser[i]) {
            return i;
        }
    }
    return acq.frameCount;
}

uint32_t bulkReaderThread(DEVICE_EXTENSION& device, platform::Thread& self) {
    Acquisition& acq = device.acquisition;
    const AcquisitionSettings settings = acq.settings;
    acq.running = true;
    const bool allocated = allocateReaderBuffers(acq);
    self.signalRunning();
    if (allocated) {
        // Oldest first; the board's frames fill them in this order.
        std::deque<PostedFrame> posted;
        std::array<bool, kFrameBuffers> isPosted{};
        // Up to the first read the bus has no memory for: the reads posted
        // go on, and the next round asks again. None after a read that
        // failed at posting: the stream's bytes after it belong to no frame.
        const auto postFreeBuffers = [&] {
            while (posted.empty() || !posted.back().read.failure) {
                std::size_t buffer = 0;
                {
                    std::lock_guard lock(acq.lock);
                    buffer = freeFrameLocked(acq, isPosted);
                }
                if (buffer == acq.frameCount) {
                    return;
                }
                PostedFrameRead read = PostFrameRead(device, kScanPipeIndex, acq.frames[buffer]);
                if (read.noMemory) {
                    return;
                }
                isPosted[buffer] = true;
                posted.push_back({buffer, std::move(read)});
            }
        };
        {
            std::lock_guard lock(acq.lock);
            acq.parseFlags =
                settings.acquisitionMode == 1 ? (kParse32Bit | kParseAverage) : kParse32Bit;
        }
        // What an earlier request or stream left on the pipe belongs to no
        // frame of this stream.
        if (emptyScanPipe(device, [&] { return acq.stopRequest.load(); }) != 0) {
            // A board that left meanwhile gets the removal's answer instead.
            if (!acq.stopRequest.exchange(true) && started(device) && !device.usb->isGone()) {
                std::lock_guard lock(acq.lock);
                acq.ring.pendingError = kBoardStatusCommunication;
            }
        } else {
            // The reads wait before the board starts, so that its first
            // frames find them however late this thread runs on.
            postFreeBuffers();
            if (StartScan(device) != 0) {
                acq.stopRequest = true;
            }
        }
        int retries = 0;
        // Since when the bus has had memory for no read.
        std::optional<platform::TimePoint> unposted;
        while (!acq.stopRequest.load()) {
            postFreeBuffers();
            platform::usb::TransferResult read{ENOMEM, 0};
            std::size_t current = acq.frameCount;
            if (posted.empty()) {
                // The bus had memory for no read (the reader keeps a buffer
                // when it hands one over): soon again, for as long as a
                // frame's read may take; past that the frame is lost as in a
                // failed read.
                const platform::TimePoint now = platform::clock().now();
                if (!unposted) {
                    unposted = now;
                }
                const platform::TimePoint due = platform::addSaturating(
                    *unposted, std::chrono::milliseconds(settings.scanReadTimeoutMs));
                if (now < due) {
                    std::unique_lock lock(acq.lock);
                    platform::clock().waitUntil(
                        acq.changed, lock,
                        std::min(due,
                                 platform::deadlineAfterMs(platform::clock(), kNoMemoryRetryMs)));
                    continue;
                }
                unposted.reset();
            } else {
                unposted.reset();
                current = posted.front().buffer;
                read = WaitFrameRead(posted.front().read, settings.scanReadTimeoutMs);
            }
            if (acq.stopRequest.load()) {
                break;
            }
            if (current != acq.frameCount && read.ok() &&
                read.length == acq.frames[current].size()) {
                posted.pop_front();
                retries = 0;
                bool handed = true;
                {
                    std::unique_lock lock(acq.lock);
                    if (posted.empty()) {
                        // The frame's buffer is the only one left to read
                        // into: a parser late by its wake-up costs no frame,
                        // the reader waits for a buffer as long as it would
                        // wait for a frame, and drops this frame only when
                        // none is free then.
                        const platform::TimePoint grace = platform::deadlineAfterMs(
                            platform::clock(), settings.scanReadTimeoutMs);
                        while (freeFrameLocked(acq, isPosted) == acq.frameCount &&
                               platform::clock().waitUntil(acq.changed, lock, grace) ==
                                   std::cv_status::no_timeout) {
                        }
                        handed = freeFrameLocked(acq, isPosted) != acq.frameCount;
                    }
                    isPosted[current] = false;
                    if (handed) {
                        acq.withParser[current] = true;
                        acq.handed[acq.handedCount++] = current;
                    } else {
                        markLossLocked(acq.ring);
                        acq.ring.pendingWarning = kBoardWarningFrameDropped;
                        ++acq.framesHandled;
                    }
                }
                if (handed) {
                    acq.frameReady.set();
                } else {
                    acq.changed.notify_all();
                }
                continue;
            }
            // The reads after a failed one hold no whole frame: dropped (and
            // cancelled) before the pipe is reset.
            posted.clear();
            isPosted.fill(false);
            if (!started(device) || read.status == ENODEV || device.usb->isGone()) {
                // Gone or stopped: nothing more comes, and the removal ends
                // a pending request.
                break;
            }
            ResetPipe(device);
            uint16_t error = 0;
            const int restart = RestartStreaming(device, settings.layout.keptPixelCount);
            if (restart == ENODEV) {
                break; // left the bus meanwhile
            }
            if (restart != 0) {
                error = kBoardStatusRestartFailed;
                acq.stopRequest = true;
            } else if (++retries > kMaxReadRetries) {
                error = kBoardStatusReaderFailed;
            }
            IoRequestPtr answered;
            {
                std::lock_guard lock(acq.lock);
                ++acq.framesHandled;
                if (error != 0) {
                    acq.ring.pendingError = error;
                } else {
                    markLossLocked(acq.ring);
                    acq.ring.pendingWarning = kBoardWarningFrameDropped;
                }
                if (acq.ring.pendingError != 0) {
                    answered = takeAnswerableLocked(acq);
                }
            }
            acq.changed.notify_all();
            completeTaken(device, answered);
        }
    }
    {
        std::lock_guard lock(acq.lock);
        acq.parseFlags = kParseEnd;
    }
    acq.frameReady.set();
    acq.parser.join();
    if (started(device)) {
        StopStreaming(device, settings.layout.pixelCount);
        markScanPipeToEmpty(acq);
    }
    freeReaderBuffers(acq);
    // A reader that ends by itself leaves no request waiting for scans that
    // will not come; a stop completes it on its own.
    const bool gone = !started(device) || !device.usb || device.usb->isGone();
    IoRequestPtr orphan;
    {
        std::lock_guard lock(acq.lock);
        acq.running = false;
        if (!acq.stopAsked.load() && acq.pendingScan) {
            orphan = std::move(acq.pendingScan);
            acq.pendingScan.reset();
            RequestBlock block(orphan->systemBuffer());
            block.set<rb::Status>(acq.ring.pendingError != 0 ? acq.ring.pendingError
                                  : gone                     ? kBoardStatusStopped
                                                             : kBoardStatusModeNotAvailable);
            block.set<rb::StatusInfo>(0);
            acq.ring.pendingError = 0;
        }
    }
    completeTaken(device, orphan);
    return 0;
}

bool singleModeDestination(RequestBlock& block, const AcquisitionSettings& s,
                           std::span<uint8_t>& destination, uint32_t& flags) {
    const uint64_t kept = s.layout.keptPixelCount;
    const uint64_t words = block.get<rb::DataLength>();
    const bool toData = (s.requestFlags & KORAL_RF_SCANS_TO_DATA) != 0;
    switch (s.acquisitionMode) {
    case 0:
    case 1:
        if (toData && (words < 2 * kept || dataAreaOf(block).size() < 4 * kept)) {
            block.set<rb::Status>(kBoardStatusBufferTooSmall);
            return false;
        }
        destination = toData ? dataAreaOf(block) : block.area<rb::ScanData>();
        flags = kParse32Bit | (s.acquisitionMode == 1 ? kParseAverage : 0);
        return true;
    case 2: {
        const uint64_t needed = std::max<uint32_t>(s.layout.numScans, 1) * kept;
        if (words < needed || dataAreaOf(block).size() < 2 * needed) {
            block.set<rb::Status>(kBoardStatusBufferTooSmall);
            return false;
        }
        destination = dataAreaOf(block);
        flags = kParseBurst;
        return true;
    }
    default:
        block.set<rb::Status>(kBoardStatusModeNotAvailable);
        return false;
    }
}

// While a single-mode request waits for its frame, a cancel of it (a client
// that gives up on the scan, as a close does past its wait) ends the read in
// flight rather than leaving the client to wait out the whole frame. The
// cancel runs on the cancelling thread, which may outlast the request's own
// hold on the device: it holds the device itself for its run, and leaves the
// pipes alone once a removal began (the removal ends the read).
class CancellableScan {
public:
    explicit CancellableScan(DEVICE_EXTENSION& device, IoRequestPtr request)
        : request_(std::move(request)) {
        armed_ = request_ && request_->setCancelRoutine(
                                 [&device](platform::DeviceObject&, const IoRequestPtr& cancelled) {
                                     const RemoveLockHold hold(device.removeLock);
                                     if (hold.acquired()) {
                                         AbortPipe(device, kScanPipeIndex);
                                     }
                                     cancelled->complete(platform::kStatusCancelled);
                                 });
    }
    ~CancellableScan() {
        if (armed_) {
            request_->clearCancelRoutine();
        }
    }
    CancellableScan(const CancellableScan&) = delete;
    CancellableScan& operator=(const CancellableScan&) = delete;

    bool cancelled() const { return request_ && request_->isCancelled(); }
    // The request's answer once cancelled (the first completion counts).
    void completeCancelled() const { request_->complete(platform::kStatusCancelled); }

private:
    IoRequestPtr request_;
    bool armed_ = false;
};

// Reads the zero-length packet that ends a frame of whole packets, so that
// it stays no packet of the next request.
platform::usb::TransferResult readFrameEnd(DEVICE_EXTENSION& device,
                                           const std::function<bool()>& givenUp) {
    std::vector<uint8_t> end(device.pipes[kScanPipeIndex].maxPacketSize(), 0);
    return ReadPipeOnce(device, kScanPipeIndex, end, kFrameEndTimeoutMs, givenUp);
}

void singleModeScans(DEVICE_EXTENSION& device, RequestBlock& block, std::span<uint8_t> destination,
                     uint32_t flags, const IoRequestPtr& request) {
    const AcquisitionSettings& s = device.acquisition.settings;
    const CancellableScan scan(device, request);
    const std::function<bool()> givenUp = [&] { return scan.cancelled(); };
    if (scan.cancelled()) {
        scan.completeCancelled();
        return;
    }
    // Whatever earlier requests left on the pipe goes before this request's
    // frame is asked for.
    const int emptied = emptyScanPipe(device, givenUp);
    if (scan.cancelled()) {
        scan.completeCancelled();
        return;
    }
    if (emptied != 0) {
        ReportTransferFailure(device, block);
        return;
    }
    const platform::TimePoint begun = platform::clock().now();
    if (StartScan(device) != 0) {
        ReportTransferFailure(device, block);
        // The board may have begun the frame all the same.
        cutFrame(device, 0, begun);
        return;
    }
    // Made while the board takes its scans.
    std::vector<uint8_t> frame;
    try {
        frame.assign(static_cast<std::size_t>(s.frameSize), 0);
    } catch (const std::bad_alloc&) {
        block.set<rb::Status>(kBoardStatusNoMemory);
        cutFrame(device, 0, begun);
        return;
    }
    const platform::usb::TransferResult read =
        ReadPipe(device, kScanPipeIndex, frame, s.singleReadTimeoutMs, true, givenUp);
    bool whole = read.ok() && read.length == frame.size();
    bool overrun = read.status == EOVERFLOW;
    // The board sends a frame of several scans scan by scan, as it takes
    // them: its transfer ends with the last scan, and only a scan that fills
    // its last packet is followed by the empty one.
    const uint64_t scanBytes = (uint64_t{s.layout.pixelCount} + 2) * 2;
    if (whole && EndsWithZeroLengthPacket(device, kScanPipeIndex, scanBytes)) {
        const platform::usb::TransferResult end = readFrameEnd(device, givenUp);
        if (end.length != 0) {
            // More came where the frame ended: the pipe is out of step with
            // the frames, and this one cannot be vouched for.
            whole = false;
            overrun = true;
        } else if (!end.ok()) {
            markScanPipeToEmpty(device.acquisition);
        }
    }
    if (scan.cancelled()) {
        if (!whole) {
            cutFrame(device, read.length, begun);
        }
        scan.completeCancelled();
        return;
    }
    if (overrun) {
        block.set<rb::Status>(kBoardStatusOverflow);
        block.set<rb::StatusInfo>(kStatusInfoOverrun);
        cutFrame(device, frame.size(), begun);
        return;
    }
    if (!whole) {
        ReportTransferFailure(device, block);
        if (block.get<rb::Status>() == kBoardStatusCommunication && read.length < frame.size()) {
            block.set<rb::Status>(kBoardStatusIncompleteFrame);
        }
        cutFrame(device, read.length, begun);
        return;
    }
    if ((device.acquisition.lastSent.get8(INIT_PARAMETER_BLOCK::Flags) & kInitFlagFifoProtection) !=
        0) {
        uint16_t code = 0;
        if (ReadDeviceError(device, code) == 0 && code == kBoardWarningBufferFull) {
            block.set<rb::Warning>(kBoardWarningBufferFull);
        }
    }
    const ParseResult result = ParseFrame(destination, frame, flags, s.layout);
    uint16_t warning = block.get<rb::Warning>();
    uint16_t status = block.get<rb::Status>();
    ReportParse(result, warning, status);
    block.set<rb::Warning>(warning);
    block.set<rb::Status>(status);
    if (!result.ok()) {
        ResetPipe(device);
        markScanPipeToEmpty(device.acquisition);
    }
}

} // namespace

bool SetUpScanRingBuffer(SCAN_RING_BUFFER& ring, uint32_t capacity, uint64_t keptPixels) {
    capacity = std::max<uint32_t>(capacity, 1);
    const uint64_t bytes = static_cast<uint64_t>(capacity) * keptPixels * 4;
    if (keptPixels == 0 || bytes > kMaxRingBytes) {
        return false;
    }
    if (ring.capacity != capacity || static_cast<uint64_t>(ring.scanBytes) * capacity != bytes) {
        try {
            ring.scans.assign(static_cast<std::size_t>(bytes), 0);
            ring.status.assign(capacity, 0);
        } catch (const std::bad_alloc&) {
            ring.scans = {};
            ring.status = {};
            ring.capacity = 0;
            return false;
        }
        ring.capacity = capacity;
        ring.scanBytes = static_cast<uint32_t>(keptPixels * 4);
    }
    std::fill(ring.status.begin(), ring.status.end(), uint16_t{0});
    ring.resetIndexes();
    return true;
}

void StoreScanInRing(SCAN_RING_BUFFER& ring, uint16_t mode, std::span<const uint8_t> scan) {
    if (ring.capacity == 0) {
        return;
    }
    if (mode == 6 || mode == 0xFF20) {
        if (ring.count >= ring.capacity) {
            ++ring.lost;
            ring.writeIndex = ring.readIndex = ring.count = 0;
            ring.lossMarked = true;
        }
    } else if (mode == 7 || (mode >= 48 && mode <= 51) || mode == 0xFF21) {
        if (ring.count >= ring.capacity) {
            ++ring.lost;
            ring.lossMarked = true;
            if (ring.pendingWarning == kBoardWarningSaturationLow ||
                ring.pendingWarning == kBoardWarningSaturationHigh) {
                ring.pendingWarning = 0;
            }
            return;
        }
    } else {
        return;
    }
    ring.status[ring.writeIndex] = ring.pendingWarning;
    ring.pendingError = 0;
    if (ring.pendingWarning == kBoardWarningSaturationLow ||
        ring.pendingWarning == kBoardWarningSaturationHigh) {
        ring.pendingWarning = 0;
    }
    const std::size_t n = std::min<std::size_t>(scan.size(), ring.scanBytes);
    std::memcpy(ring.scans.data() + static_cast<std::size_t>(ring.writeIndex) * ring.scanBytes,
                scan.data(), n);
    ring.writeIndex = (ring.writeIndex + 1) % ring.capacity;
    ++ring.count;
}

bool CopyScansFromRing(SCAN_RING_BUFFER& ring, RequestBlock& block, uint32_t requestFlags,
                       uint16_t& scanStatus) {
    if (ring.count == 0) {
        return false;
    }
    scanStatus = ring.status[ring.readIndex];
    const std::span<uint8_t> destination = (requestFlags & KORAL_RF_SCANS_TO_DATA) != 0
                                               ? dataAreaOf(block)
                                               : std::span<uint8_t>(block.area<rb::ScanData>());
    if (destination.size() < ring.scanBytes) {
        return false;
    }
    std::memcpy(destination.data(),
                ring.scans.data() + static_cast<std::size_t>(ring.readIndex) * ring.scanBytes,
                ring.scanBytes);
    block.set<rb::ScansInRing>(static_cast<uint16_t>(std::min<uint32_t>(ring.count, 0xFFFF)));
    ring.readIndex = (ring.readIndex + 1) % ring.capacity;
    --ring.count;
    return true;
}

bool StartContinuousAcquisition(DEVICE_EXTENSION& device, RequestBlock& block) {
    Acquisition& acq = device.acquisition;
    acq.reader.join(); // earlier threads that ended by themselves
    acq.parser.join();
    {
        std::lock_guard lock(acq.lock);
        if (!SetUpScanRingBuffer(acq.ring, acq.settings.ringCapacity,
                                 acq.settings.layout.keptPixelCount)) {
            block.set<rb::Status>(kBoardStatusNoMemory);
            return false;
        }
        acq.handedCount = 0;
        acq.withParser.fill(false);
        acq.frameCount = 0;
        // A reader that ended after its parser (one stopped at a start that
        // timed out) left the end flag signalled: a new parser would take it
        // and end at once, and every frame would be dropped unparsed.
        acq.parseFlags = 0;
        acq.frameReady.reset();
    }
    acq.stopRequest = false;
    if (!acq.reader.start(
            [&device](platform::Thread& self) { return bulkReaderThread(device, self); },
            kThreadStartTimeoutMs)) {
        block.set<rb::Status>(kBoardStatusModeNotAvailable);
        return false;
    }
    if (!acq.parser.start(
            [&device](platform::Thread& self) { return frameParserThread(device, self); },
            kThreadStartTimeoutMs)) {
        block.set<rb::Status>(kBoardStatusModeNotAvailable);
        StopContinuousAcquisition(device, false);
        return false;
    }
    return true;
}

void StopContinuousAcquisition(DEVICE_EXTENSION& device, bool completePending) {
    Acquisition& acq = device.acquisition;
    acq.stopAsked = true;
    acq.stopRequest = true;
    // The read in flight ends now rather than at its time-out, and so does
    // a wait for the bus's memory; a read that began just after an abort is
    // caught by the next one.
    while (!acq.reader.finished().isSignalled()) {
        AbortPipe(device, kScanPipeIndex);
        acq.changed.notify_all();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    acq.reader.join();
    acq.parser.join();
    acq.stopRequest = false;
    acq.stopAsked = false;
    if (!completePending) {
        return;
    }
    IoRequestPtr request;
    {
        std::lock_guard lock(acq.lock);
        request = std::move(acq.pendingScan);
        acq.pendingScan.reset();
    }
    if (request) {
        RequestBlock block(request->systemBuffer());
        block.set<rb::Status>(kBoardStatusStopped);
        completeTaken(device, request);
    }
}

bool HandleGetScans(DEVICE_EXTENSION& device, RequestBlock& block, const IoRequestPtr& request) {
    Acquisition& acq = device.acquisition;
    const AcquisitionSettings& s = acq.settings;
    if (!s.initialised) {
        block.set<rb::Status>(kBoardStatusInvalidData);
        return false;
    }
    const BoardIdentity identity = device.readIdentity();
    const int type = GetFirmwareTypeForMode(s.sensorWorkMode, 0);
    const int image = SelectFirmwareImage(type, identity.generation);
    if (image == kImageNone || image != identity.currentImage) {
        block.set<rb::Status>(kBoardStatusFirmwareUnsupported);
        return false;
    }
    std::span<uint8_t> destination;
    uint32_t flags = 0;
    if (!singleModeDestination(block, s, destination, flags)) {
        return false;
    }
    if (!IsContinuousMode(s.sensorWorkMode)) {
        singleModeScans(device, block, destination, flags, request);
        return false;
    }
    std::unique_lock lock(acq.lock);
    // A reader that ended on an error still has that error told.
    if (!acq.running.load() && acq.ring.pendingError == 0) {
        block.set<rb::Status>(kBoardStatusModeNotAvailable);
        return false;
    }
    if (acq.ring.count == 0 && acq.ring.pendingError == 0) {
        if (s.sensorWorkMode == 0xFF20 || s.sensorWorkMode == 0xFF21) {
            block.set<rb::Status>(kBoardStatusNoSpectra);
            return false;
        }
        if (!request) {
            return true;
        }
        const bool held = request->setCancelRoutine(
            [&device](platform::DeviceObject&, const IoRequestPtr& cancelled) {
                Acquisition& a = device.acquisition;
                {
                    std::lock_guard guard(a.lock);
                    if (a.pendingScan == cancelled) {
                        a.pendingScan.reset();
                        a.pendingFlag = false;
                    }
                }
                cancelled->complete(platform::kStatusCancelled);
                device.removeLock.release();
                a.changed.notify_all();
            });
        if (!held) {
            request->complete(platform::kStatusCancelled);
            return false;
        }
        request->markPending();
        acq.pendingScan = request;
        acq.pendingFlag = true;
        return true;
    }
    answerLocked(acq, block);
    return false;
}

} // namespace kavrin
