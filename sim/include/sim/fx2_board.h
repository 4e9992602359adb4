#pragma once
// A simulated USB interface board on the simulated USB bus, as the board
// driver kavrin meets it: the board's USB microcontroller (an EZ-USB FX2)
// with its RAM, its CPU control register 0xE600 and the chip's own load
// request, the boot EEPROM's identity, and the personality of the firmware
// that runs once the CPU is let go.
//
// Descriptors:
//   blank chip (no boot EEPROM)    the chip maker's ids 0x04B4:0x8613, release 0x0000
//   boot EEPROM, generation 1/2    the board's vendor id, product kBoardProductIdGeneration1
//                                  (+1 for generation 2), release = eepromRelease
//                                  (0x00FF: the id in the EEPROM is invalid)
//   running operating firmware     the same ids, release = ID switch | 0x10 on a
//                                  high-speed port; string 1 the maker
//                                  ("XXXXX..." on a restricted board), string 2
//                                  the board name; three bulk pipes 0x01, 0x81, 0x86
// Without firmware the chip has no strings and its default interface (bulk
// 0x01, 0x81, 0x02, 0x04, 0x86, 0x88).
//
// Requests:
//   0xA0  chip's load: OUT writes RAM (internal 0x0000..0x3FFF, scratch
//         0xE000..0xE1FF) while the CPU is held, or the CPU control register
//         (bit 0: hold); IN reads RAM. Served whatever runs.
//   0xA3  external load: served by the loader image while it runs; writes
//         anywhere below 0xE200.
//   0xDC  VR_GETFWID: loader and operating firmware: image index, hardware
//         word, firmware version, firmware type (8 bytes).
//   0xDB  VR_GERR: operating firmware: error code, 0, info, 0, 0, 0.
//   operating firmware only:
//   0xD1  VR_INIT: takes the 36-byte parameter block (pixel count at 22,
//         NumScans at 10, OP-Mode at 2, PreCnts at 4, 0x10000 - AcqIntCnts at 6)
//   0xD2  VR_GS: single OP-Modes: one frame on the scan pipe 0x86; the
//         continuous ones (6, 7, 48 to 51): streaming starts
//   0xD0  VR_DEINIT, 0xE0 VR_STOP: streaming ends
//   0xDE  VR_REINIT: the scan pipe's queue is emptied, streaming goes on
//   0xD3  VR_SET_DO (value the select bits, index the levels) and 0xD9
//         VR_SETDIM (value the latch word): kept in digitalLines();
//         0xD4 VR_GET_DI: 4 bytes, the input levels (config digital_inputs)
//   0xD8  VR_I2C_OP (value operation << 8 | address, index the register):
//         operations 16..129 on the board's I2C bus (i2c_bus.h, the
//         configuration EEPROMs of the set-up's image keys), 130/131 (OUT)
//         and 132 (IN) on the microcontroller's own bus, which holds the boot
//         EEPROM at 0xA0 (generation 1) or 0xA2 (generation 2); an address
//         that does not acknowledge stalls and leaves 165 for VR_GERR
//   0xE1  VR_I2C_CHECK: 12 bytes, word 0 = 0 present, 165 absent
//   0xE2  VR_GET_ALLTEMPS: 34 bytes: count, eight sensor ids, eight
//         temperatures in hundredths of a degree (config temperatures)
//   0xE3  VR_GET_ONETEMP (index the sensor id): 2 bytes; an unknown id
//         stalls and leaves 165
//   loader only:
//   0xDF  VR_JTAG: the pins of the board's JTAG chain (jtag_chain.h,
//         serveJtagRequest)
//   anything else stalls.
// VR_GERR answers the error set by setDeviceError, else the last I2C error,
// which reading it clears.
//
// Scan frames: NumScans scans (at least one), each two counter bytes, one
// 16-bit little-endian value per pixel and 0xFF 0x00. The values come from
// the sensor model (integration time: AcqIntCnts periods of the 8 MHz clock
// divided by PreCnts), or from a pattern a test sets. Streaming sends a frame
// every 1/frameRate s on the platform clock; with rate 0 only pushFrames()
// sends. A single-mode frame of several scans (a burst or an average) leaves
// the board one scan every 1/frameRate s, the first at once (rate 0: the
// whole frame at once); an INIT, DEINIT, STOP or REINIT drops the scans of a
// burst not yet sent. Frame faults act on the next frames, whoever sends them.
// With a bus rate every piece on the scan pipe keeps the bus's pace (real
// time, on average); a streamed frame that finds more than the board's buffer
// and itself still untaken by the host is dropped, and a burst faster than the bus goes
// at the bus's pace, both reported by VR_GERR as 194 (buffer full).
// Letting the CPU go runs what the RAM holds: a synthetic image (below) whose
// id block and sums agree runs as the loader (image 1) or as operating
// firmware; anything else runs nothing and answers only 0xA0. Operating
// firmware re-enumerates with its descriptors when they differ from the ones
// the board shows (the request that let the CPU go still gets its answer).
//
// Synthetic images (the firmware of this system is not ours to ship; these
// only identify themselves): an id block of 24 bytes at 0x0080, little-endian:
//   0 "VLDN", 4 image index, 6 firmware version, 8 firmware type, 10 0,
//   12 code start, 14 code length, 16 16-bit sum of the code bytes,
//   18 data start, 20 data length, 22 16-bit sum of the data bytes,
// with a jump to the code at 0x0000. The code lies in internal RAM, the data
// above 0x1B3F (only the loader can place it). fx2ImageHex writes an image as
// the driver reads it (Intel HEX).
//
// All members are thread-safe; callbacks run on the bus's device thread.

#include "sim/digital_lines.h"
#include "sim/firmware_sensors.h"
#include "sim/i2c_bus.h"
#include "sim/jtag_chain.h"
#include "sim/sensor_model.h"
#include "sim/setup.h"

#include "platform/clock.h"
#include "platform/thread.h"
#include "platform/usb.h"
#include "platform/usb_sim.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace sim {

inline constexpr uint16_t kFx2ChipVendorId = 0x04B4;
inline constexpr uint16_t kFx2ChipProductId = 0x8613;
inline constexpr uint16_t kBoardVendorId = 0x7D30;
inline constexpr uint16_t kBoardVendorIdSecond = 0x7D31;
inline constexpr uint16_t kBoardProductIdGeneration1 = 0x0210;

inline constexpr uint8_t kFx2RequestInternalLoad = 0xA0;
inline constexpr uint8_t kFx2RequestExternalLoad = 0xA3;
inline constexpr uint8_t kFx2RequestGetError = 0xDB;
inline constexpr uint8_t kFx2RequestGetFirmwareId = 0xDC;
inline constexpr uint16_t kFx2CpuControl = 0xE600;
inline constexpr uint8_t kFx2RequestDeinit = 0xD0;
inline constexpr uint8_t kFx2RequestInit = 0xD1;
inline constexpr uint8_t kFx2RequestGetScans = 0xD2;
inline constexpr uint8_t kFx2RequestSetDigitalOutput = 0xD3;
inline constexpr uint8_t kFx2RequestGetDigitalInput = 0xD4;
inline constexpr uint8_t kFx2RequestSetInputLatch = 0xD9;
inline constexpr uint8_t kFx2RequestReinit = 0xDE;
inline constexpr uint8_t kFx2RequestStop = 0xE0;
inline constexpr uint8_t kFx2RequestI2cOperation = 0xD8;
inline constexpr uint8_t kFx2RequestI2cCheck = 0xE1;
inline constexpr uint8_t kFx2RequestGetAllTemperatures = 0xE2;
inline constexpr uint8_t kFx2RequestGetOneTemperature = 0xE3;
inline constexpr uint8_t kFx2RequestJtag = 0xDF;
inline constexpr uint16_t kFx2I2cNoAcknowledge = 165;
inline constexpr std::size_t kFx2MaxTemperatureSensors = 8;
inline constexpr uint8_t kFx2ScanPipe = 0x86;
inline constexpr std::size_t kFx2InitBlockSize = 36;
// What the board's VR_GERR reports after its buffer overran.
inline constexpr uint16_t kFx2ErrorBufferFull = 194;
// USB 2.0 high-speed bulk: at most 13 packets of 512 bytes a 125 µs microframe.
inline constexpr double kUsbHighSpeedBulkBytesPerSecond = 13.0 * 512 * 8000;
// The scan pipe's buffer of the board: four packets.
inline constexpr std::size_t kFx2BufferBytes = 4 * 512;

// What can go wrong with a frame.
// What can go wrong with the JTAG requests.
enum class Fx2JtagFault {
    None,
    TdoStuckLow,  // every TDO read answers 0
    TdoStuckHigh, // every TDO read answers 1
    TdoFlipped,   // every TDO read answers the other level
    Stall,        // every JTAG request stalls
    Unplug,       // the board leaves the bus at the request
};

enum class Fx2FrameFault {
    BadTerminator, // the first scan ends with 0xFF 0x01
    Short,         // the last four bytes are missing
    Long,          // two bytes too many
    Slow,          // sent after the slow-frame delay
    Missing,       // never sent
    BulkError,     // the scan pipe halts instead
    Disconnect,    // half the frame, then the board leaves the bus
};

// The boot EEPROM on the microcontroller's own bus.
inline constexpr uint8_t fx2BootEepromAddress(int generation) {
    return generation == 2 ? 0xA2 : 0xA0;
}

// A temperature sensor the firmware manages.
using Fx2TemperatureSensor = FirmwareTemperatureSensor;

// A raw value per (scan of the board's life, pixel), in place of the sensor.
using Fx2ScanPattern = std::function<uint16_t(uint64_t scan, uint32_t pixel)>;

inline constexpr uint16_t kFx2ImageIdAddress = 0x0080;
inline constexpr std::size_t kFx2ImageIdSize = 24;

// What an image says of itself.
struct Fx2ImageId {
    uint16_t image = 0;
    uint16_t firmwareVersion = 0;
    uint16_t firmwareType = 0;
    uint16_t codeStart = 0x0100;
    uint16_t codeLength = 0;
    uint16_t dataStart = 0x2000;
    uint16_t dataLength = 0; // the loader has none

    bool operator==(const Fx2ImageId&) const = default;
};

// The images shipped for the simulated board (image index 1, 2, 3, 5);
// nothing for another index.
std::optional<Fx2ImageId> fx2ShippedImage(int image);
// The memory an image fills, in load order: (address, bytes).
std::vector<std::pair<uint16_t, std::vector<uint8_t>>> fx2ImageContents(const Fx2ImageId& id);
// The image as Intel HEX: 16-byte data records, then the end record.
std::string fx2ImageHex(const Fx2ImageId& id);
// One Intel HEX record line (with its line feed) of any type and data.
std::string intelHexLine(uint8_t type, uint16_t address, std::span<const uint8_t> data);

struct Fx2BoardConfig {
    bool bootEeprom = true; // false: a blank chip
    int generation = 1;     // 1 or 2: the product id of the boot EEPROM
    uint16_t vendorId = kBoardVendorId;
    uint16_t eepromRelease = 0x0001; // device release from the boot EEPROM
    uint8_t switchId = 1;            // the ID switch, shown by the running firmware
    uint16_t hardwareWord = 0x064;   // the board's hardware word (12 bits)
    bool restricted = false;         // the firmware's string 1 begins with "XXXXX"
    platform::usb::UsbSpeed speed = platform::usb::UsbSpeed::High;
    // Runs this image from the start (as after an earlier download).
    std::optional<Fx2ImageId> running;
    // The sensor front end behind it (dark, signal, front-end type), and the
    // EEPROM images of its I2C bus and its boot EEPROM (eeprom_images.h).
    BoardConfig sensor;
    // The firmware's temperature sensors (at most eight are reported).
    std::vector<Fx2TemperatureSensor> temperatures = defaultFirmwareTemperatures();
    double frameRate = 0; // streamed frames per second; 0: pushFrames only
    // The rate the scan pipe's bytes cross the bus (bytes per second); 0: at
    // once. With a rate, a streamed frame that finds more than bufferBytes
    // and itself not yet taken by the host is dropped (scansDropped, VR_GERR 194), and
    // a burst the bus cannot carry at the frame rate goes at the bus's pace
    // (VR_GERR 194 too).
    double busBytesPerSecond = 0;
    std::size_t bufferBytes = kFx2BufferBytes;
    // The logic device on the JTAG chain.
    JtagChainConfig cpld;
};

class Fx2Board : public platform::usb::SimulatedDevice {
public:
    enum class Runs { Nothing, Loader, Firmware };

    struct Request {
        uint8_t request = 0;
        uint16_t value = 0;
        uint16_t index = 0;
        bool in = false;
        uint16_t length = 0;       // wLength
        std::vector<uint8_t> data; // an OUT request's data
        enum class Outcome { Answered, Stalled, Silent, Unplugged } outcome = Outcome::Answered;
        bool cpuHeld = false; // when it arrived

        bool operator==(const Request&) const = default;
    };

    explicit Fx2Board(Fx2BoardConfig config = {});

    // Plugs the board into the simulated bus with the descriptors of its
    // current state.
    static std::shared_ptr<platform::usb::SimPort> plug(const std::shared_ptr<Fx2Board>& board);

    const Fx2BoardConfig& config() const { return config_; }
    platform::usb::SimDescriptors descriptors() const;

    bool cpuHeld() const;
    Runs runs() const;
    uint16_t runningImage() const; // 0 while nothing known runs
    std::vector<uint8_t> memory(uint16_t address, std::size_t length) const;
    std::size_t reenumerations() const;
    std::size_t portResets() const;
    // Until the host reset the board's port n times in all (a real-time guard).
    bool waitForPortResets(std::size_t n,
                           std::chrono::milliseconds realLimit = std::chrono::seconds(30)) const;
    std::vector<Request> requests() const;
    void clearRequests();
    // Until a logged request satisfies the predicate (a guard of real time
    // against a hung test, not a measurement).
    bool waitForRequest(const std::function<bool(const Request&)>& match,
                        std::chrono::milliseconds realLimit = std::chrono::seconds(30)) const;

    // Fault injection, for requests from now on.
    void failLoadAt(uint16_t address);     // a load request (0xA0, 0xA3) at it stalls
    void stallRequest(uint8_t request);    // every such vendor request stalls
    void silenceRequest(uint8_t request);  // never answered: the host's time-out ends it
    void unplugOnRequest(uint8_t request); // the board leaves the bus instead of answering
    // Every such vendor request is answered only after delay on the platform
    // clock, as by a board busy elsewhere.
    void delayRequest(uint8_t request, platform::Duration delay);
    void clearFaults();
    void setDeviceError(uint16_t code, uint16_t info);
    // Acts on the JTAG requests after the next `after` ones.
    void injectJtagFault(Fx2JtagFault fault, std::size_t after = 0);

    // --- the JTAG chain (under the board's lock; f must not call back into
    // the board)
    template <class F> decltype(auto) withJtagChain(F&& f) const {
        std::lock_guard lock(mutex_);
        return std::forward<F>(f)(std::as_const(jtag_));
    }
    // The last end of programming the loader was told: true for success.
    std::optional<bool> programmingEnd() const;

    // --- the board's I2C bus and the boot EEPROM (under the board's lock;
    // f must not call back into the board)
    template <class F> decltype(auto) withI2cBus(F&& f) {
        std::lock_guard lock(mutex_);
        return std::forward<F>(f)(bus_);
    }
    EepromContents bootEeprom() const;
    void setBootEeprom(const EepromContents& contents);

    // --- scans
    void injectFrameFault(Fx2FrameFault fault, unsigned frames = 1);
    void setSlowFrameDelay(platform::Duration delay);
    void setScanPattern(Fx2ScanPattern pattern); // empty: the sensor model
    void setFrameRate(double framesPerSecond);
    void setDigitalInput(uint32_t value);
    DigitalLineState digitalLines() const;
    // Sends n frames now while streaming; false when not streaming or unplugged.
    bool pushFrames(unsigned n);
    bool streaming() const;
    std::size_t framesSent() const; // frames put on the pipe (faulty ones too)
    // Streamed frames dropped for want of room in the board's buffer.
    std::size_t scansDropped() const;
    std::optional<std::array<uint8_t, kFx2InitBlockSize>> initBlock() const;
    // The frame the current parameter block asks for (no fault applied).
    std::vector<uint8_t> nextFrame();

    platform::usb::SimReply handleControl(platform::usb::SimPort& port,
                                          const platform::usb::ControlSetup& setup,
                                          std::span<const uint8_t> data, uint16_t length) override;
    void portReset(platform::usb::SimPort& port) override;

    ~Fx2Board() override;

private:
    struct Outgoing {
        std::vector<uint8_t> bytes;
        bool send = true;
        bool halt = false;
        bool unplugAfter = false;
        bool lastPiece = true; // false: more of the frame follows
        bool streamed = false; // a continuous-mode frame: lost when the buffer is full
    };
    // Bytes the streamer sends when they are due: a slow frame, or a frame
    // of a board that integrates in real time.
    struct Delayed {
        platform::TimePoint due;
        std::vector<uint8_t> bytes;
    };
    // A burst, sent a scan at a time at the frame rate: from its frame, or
    // with the frame empty each scan taken when it is due.
    struct Burst {
        std::vector<uint8_t> frame;
        std::size_t scanBytes = 0;
        std::size_t scans = 0;
        std::size_t next = 0; // the next scan to send
        platform::TimePoint start;
        platform::Duration period{};
        platform::Duration exposure{}; // of one scan; zero when not in real time
        platform::TimePoint dueOf(std::size_t k) const;
    };
    std::vector<uint8_t> frameLocked();
    // One scan of the current parameter block (which must be set).
    void appendScanLocked(std::vector<uint8_t>& frame);
    void startBurstLocked(std::vector<uint8_t> frame);
    // Integration time times scans of the current init block.
    platform::Duration acquisitionTimeLocked() const;
    // Builds the next frame with the next fault applied; a slow one is queued.
    Outgoing takeFrameLocked();
    // A whole single-mode frame of several scans is handed to the streamer to
    // go out one scan at a time at the frame rate; false: send it at once.
    bool paceFrameLocked(Outgoing& frame);
    void dropBurstScansLocked();
    void sendOutgoing(platform::usb::SimPort& port, Outgoing out);
    // How long the bus takes for n bytes (zero on an instant bus).
    std::chrono::steady_clock::duration carryTime(std::size_t n) const;
    // Waits until the bus may take the bytes (a pace kept on average), then
    // books them.
    void waitForBus(std::size_t n);
    void startStreamerLocked();
    uint32_t streamLoop(platform::Thread& self);
    platform::usb::SimReply serveScanRequestLocked(const platform::usb::ControlSetup& setup,
                                                   std::span<const uint8_t> data,
                                                   std::optional<Outgoing>& frame, bool& flush);

    platform::usb::SimReply serveI2cLocked(const platform::usb::ControlSetup& setup,
                                           std::span<const uint8_t> data, uint16_t length);
    platform::usb::SimReply i2cFailureLocked();
    // VR_JTAG while the loader runs; unplug: the board leaves the bus instead.
    platform::usb::SimReply serveJtagLocked(const platform::usb::ControlSetup& setup, bool& unplug);

    platform::usb::SimDescriptors chipDescriptorsLocked() const;
    platform::usb::SimDescriptors firmwareDescriptorsLocked() const;
    std::optional<Fx2ImageId> imageInRamLocked() const;
    platform::usb::SimReply serveLocked(const platform::usb::ControlSetup& setup,
                                        std::span<const uint8_t> data, uint16_t length,
                                        bool& reenumerate);
    bool writeRamLocked(uint16_t address, std::span<const uint8_t> data, uint32_t end);
    void recordLocked(Request request);

    const Fx2BoardConfig config_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<uint8_t> ram_;
    bool cpuHeld_ = false;
    Runs runs_ = Runs::Nothing;
    std::optional<Fx2ImageId> image_; // what runs
    platform::usb::SimDescriptors shown_;
    std::size_t reenumerations_ = 0;
    std::size_t portResets_ = 0;
    std::deque<Request> requests_;
    std::set<uint16_t> failingLoads_;
    std::set<uint8_t> stalled_;
    std::set<uint8_t> silent_;
    std::map<uint8_t, platform::Duration> slowRequests_;
    std::set<uint8_t> unplugging_;
    uint16_t errorCode_ = 0;
    uint16_t errorInfo_ = 0;
    uint16_t i2cError_ = 0; // until VR_GERR reads it
    I2cBus bus_;
    I2cBus controllerBus_; // the boot EEPROM
    JtagChain jtag_;
    Fx2JtagFault jtagFault_ = Fx2JtagFault::None;
    std::size_t jtagFaultAfter_ = 0;
    std::optional<bool> programmingEnd_;

    std::weak_ptr<platform::usb::SimPort> port_;
    SensorModel sensor_;
    std::optional<std::array<uint8_t, kFx2InitBlockSize>> init_;
    Fx2ScanPattern pattern_;
    std::vector<Fx2FrameFault> faults_; // in order, one per frame
    platform::Duration slowDelay_ = std::chrono::milliseconds(500);
    double frameRate_ = 0;
    bool streaming_ = false;
    uint64_t scanCounter_ = 0;
    std::size_t framesSent_ = 0;
    uint32_t digitalInput_ = 0;
    DigitalLineState lines_;
    std::vector<Delayed> delayed_;
    std::optional<Burst> burst_;
    std::size_t scansDropped_ = 0;
    bool overrun_ = false; // until VR_GERR reports it
    // The bus: the moment it has carried what was booked (real time; the
    // bus's pace is not the platform clock's).
    std::mutex busMutex_;
    std::chrono::steady_clock::time_point busFree_{};
    platform::TimePoint nextTick_{};
    std::condition_variable streamChanged_;
    bool streamerStop_ = false;
    platform::Thread streamer_; // last: joined before the rest goes
};

} // namespace sim
