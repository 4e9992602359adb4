#pragma once
// Simulated serial electronics QRE at frame level: units at RS485 addresses
// 1 to 15 on one line, of which only the addressed one answers. A unit
// acknowledges commands, asks for a frame again, serves block requests in
// 40-byte data frames (continue, acknowledge and its final reply), takes
// block writes piece by piece, keeps its own sequence byte, and injects the
// faults of a real line into the frames it sends: dropped, truncated or
// corrupted frames, unequal address nibbles, wrong block type or index,
// repeated frames, replies from another address, late replies, a unit stuck
// on one frame, and a unit that never gets ready.
//
// What a unit's blocks mean and what its commands do is its behaviour's
// business (SerialUnitBehaviour); by default commands are acknowledged and
// blocks are plain storage of the sizes of the wire format.
//
// Served in-process behind a fake serial line (it is the line's device), or
// on the master end of a pseudo-terminal by a thread of its own (for smoke
// tests of the termios backend). Thread-safe; behaviours are called with the
// electronics' lock held and may use their unit freely.

#include "tarvik_serial_frame.h"

#include "platform/serial_fake.h"
#include "platform/thread.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <vector>

namespace sim {

enum class SerialFault {
    Drop,               // the frame is not sent (a repeat request gets it)
    Truncate,           // only the first `argument` bytes are sent
    BadXor,             // the XOR byte is wrong
    BadSum,             // the 16-bit sum is wrong
    UnequalDestination, // byte 0's nibbles differ
    UnequalSource,      // byte 1's nibbles differ
    WrongBlockType,     // a data frame of the next block type (data frames only)
    WrongIndex,         // a data frame's byte 3 two too high (data frames only)
    Repeat,             // the frame is sent twice
    ForeignSource,      // sent as from address `argument`
    Late,               // sent `argument` ms later than usual
    Stale,              // the frame sent before goes out again instead (a unit stuck)
    CorruptByte,        // byte `argument` XOR `mask` on the way, the checks as sent
};

struct SerialFaultSpec {
    SerialFault kind = SerialFault::Drop;
    int count = 1; // frames it applies to
    int argument = 0;
    uint8_t mask = 0; // CorruptByte
};

// A good frame the line carried (towards a unit or from one).
struct SerialFrameRecord {
    platform::TimePoint time{};
    std::vector<uint8_t> bytes;

    uint8_t destination() const { return bytes[0] & 0x0F; }
    uint8_t source() const { return bytes[1] & 0x0F; }
    bool isCommand() const { return (bytes[2] >> 4) == tarvik::qre::kCommandKind; }
    uint8_t code() const { return bytes[3] & 0x0F; }    // command frames
    uint8_t parameter() const { return bytes[3] >> 4; } // command frames
    uint8_t blockType() const { return bytes[2] >> 4; } // data frames
    uint8_t sequence() const { return bytes[4]; }       // command frames
};

class SerialUnit;

class SerialUnitBehaviour {
public:
    virtual ~SerialUnitBehaviour() = default;
    // Commands 4..8, 13, 14: the reply code (2 acknowledge, 1 ask for the
    // frame again), or 0 for no reply.
    virtual uint8_t command(SerialUnit& unit, uint8_t code);
    // A block write has arrived whole.
    virtual void blockWritten(SerialUnit& unit, uint8_t type);
    // A block is about to be sent.
    virtual void beforeBlockRead(SerialUnit& unit, uint8_t type);
};

class SerialUnit {
public:
    explicit SerialUnit(uint8_t address);

    uint8_t address() const { return address_; }
    // The unit's block of a type, sized by the wire format; empty for types
    // without one. For behaviours, and for tests while nothing runs.
    std::span<uint8_t> block(uint8_t type);

    void setBehaviour(std::shared_ptr<SerialUnitBehaviour> behaviour);
    void injectFault(SerialFaultSpec fault);
    void clearFaults() { faults_.clear(); }
    // Answers every frame with a request to send it again.
    void setNeverReady(bool neverReady) { neverReady_ = neverReady; }
    // An absent unit answers nothing.
    void setPresent(bool present) { present_ = present; }
    // Answers nothing, not even a repeat request, before `until` (a unit
    // that restarts).
    void setSilentUntil(platform::TimePoint until) { silentUntil_ = until; }
    // After `after` more frames have arrived, the next `frames` addressed to
    // the unit are lost on the way.
    void loseIncoming(int frames, int after = 0) {
        lose_ = frames;
        loseAfter_ = after;
    }
    // false: every reply carries the same sequence byte.
    void setNumbersReplies(bool numbers) { numbers_ = numbers; }
    // Time between the end of a frame and the start of the answer.
    void setTurnaround(platform::Duration turnaround) { turnaround_ = turnaround; }

    // Good frames addressed to the unit, in order.
    const std::vector<SerialFrameRecord>& received() const { return received_; }
    // The codes of the command frames among them.
    std::vector<uint8_t> commands() const;
    uint8_t sequence() const { return sequence_; }

private:
    friend class SerialElectronics;
    using Sink = std::function<void(std::span<const uint8_t>, platform::Duration)>;

    void take(const SerialFrameRecord& frame, const Sink& sink);
    void takeCommand(const SerialFrameRecord& frame, const Sink& sink);
    void takeData(const SerialFrameRecord& frame, const Sink& sink);
    void reply(uint8_t code, const Sink& sink);
    void sendPiece(std::size_t index, const Sink& sink);
    void emit(std::vector<uint8_t> frame, const Sink& sink);

    uint8_t address_;
    std::map<uint8_t, std::vector<uint8_t>> blocks_;
    std::shared_ptr<SerialUnitBehaviour> behaviour_;
    std::deque<SerialFaultSpec> faults_;
    bool neverReady_ = false;
    bool present_ = true;
    platform::TimePoint silentUntil_{};
    platform::Duration turnaround_ = std::chrono::microseconds(500);
    uint8_t sequence_ = 0;
    int lose_ = 0;
    int loseAfter_ = 0;
    bool numbers_ = true;
    std::vector<uint8_t> lastSent_; // the frame meant last, for a repeat request
    std::vector<uint8_t> wentOut_;  // the frame that went out last
    std::vector<SerialFrameRecord> received_;
    // A block being read: its bytes as they were at the request.
    std::optional<uint8_t> readType_;
    std::vector<uint8_t> readCopy_;
    std::size_t readNext_ = 0;
    // A block being written.
    std::optional<uint8_t> writeType_;
    std::size_t writeFrames_ = 0;
    std::size_t writeNext_ = 0;
};

class SerialElectronics final : public platform::serial::FakeSerialDevice {
public:
    SerialElectronics();
    ~SerialElectronics() override;

    // A unit at address 1..15 (the existing one when there is one).
    SerialUnit& addUnit(uint8_t address);
    SerialUnit* unit(uint8_t address);
    // Runs fn with the electronics' lock held (for tests that look at units
    // while a thread serves them).
    void withLock(const std::function<void()>& fn);

    // Every good frame seen on the line, either way, in order.
    std::vector<SerialFrameRecord> frames() const;
    // Bytes that made no good frame.
    std::size_t discardedBytes() const;
    // Noise on the line: each byte, either way, is corrupted (one bit or
    // more flipped) with this probability; the same seed, the same bytes.
    void setByteErrorRate(double rate, uint32_t seed = 1);
    std::size_t corruptedBytes() const;

    // FakeSerialDevice.
    void received(platform::serial::FakeSerialLine& line, std::span<const uint8_t> bytes) override;

    // Serves the master end of a pseudo-terminal from a thread of its own
    // until stopPty() (or the destructor).
    bool servePty(int masterFd);
    void stopPty();

private:
    void process(std::span<const uint8_t> bytes, const SerialUnit::Sink& sink);
    void corrupt(std::span<uint8_t> bytes);

    mutable std::recursive_mutex mutex_;
    std::map<uint8_t, std::unique_ptr<SerialUnit>> units_;
    std::vector<uint8_t> pending_;
    std::vector<SerialFrameRecord> frames_;
    std::size_t discarded_ = 0;
    double errorRate_ = 0.0;
    std::mt19937 noise_;
    std::size_t corrupted_ = 0;
    platform::TimePoint lastWrite_{};
    platform::Thread ptyThread_;
};

} // namespace sim
