#pragma once
// A simulated board at the level of the request block: what it stamps into
// every reply, what the board commands it serves do to it, a log of the
// requests it got, and the test controls (injected answers, held requests).
//
// Commands served: IOCTL_BOARD_INIT (its parameters are kept; with
// RequestFlags 0x10 the 256 configuration bytes of Data too),
// IOCTL_BOARD_DEINIT, IOCTL_BOARD_OPEN (answered with Status 0),
// IOCTL_BOARD_GET_USB_VERSION (first word of Data: 20,
// a high-speed board), IOCTL_BOARD_GET_SCANS from the board's sensor model
// (sensor_model.h, also its scan ring in the continuous modes; its latency, or
// the wait for the ring's next scan, passes on the platform clock before the
// request is served, and a stop request of the calling thread ends the wait
// with kStatusCancelled), and from the board's I2C bus (built from config(): the
// configuration EEPROMs and the boot EEPROM, see i2c_bus.h)
// IOCTL_BOARD_I2C_OPERATION, IOCTL_BOARD_I2C_CHECK_DEVICE and
// IOCTL_BOARD_BOOT_EEPROM as the USB board's driver answers them (types 5 and
// 8 also carry their own temperature sensor at 0x90):
//   - while continuous acquisition runs (an INIT of work mode 6, 7, 48..51,
//     0xFF20 or 0xFF21 and no DEINIT or single-mode INIT since): Status 151;
//   - a transfer longer than 256 bytes: Status 156, StatusInfo 256;
//   - an address that does not acknowledge: Status 165;
//   - a verified write (operations 64 and 129) whose read-back differs: 166;
//   - a boot write whose first I2CData byte is not 0: Status 153;
//   - a data area too small for the bytes the transfer moves: Status 154.
// The digital lines (digital_lines.h) as the board types have them:
// IOCTL_BOARD_SET_DIGITAL_OUTPUT keeps the levels of the selected lines;
// IOCTL_BOARD_GET_DIGITAL_INPUT answers the levels of the inputs the type has
// (type 1 input 1, type 8 inputs 1 and 2, the others 1 to 3) in bits 16..18
// of DigitalInputWord; IOCTL_BOARD_SET_INPUT_LATCH_MODE (types 4, 6 and 8)
// keeps the latch mode. IOCTL_BOARD_GET_TEMPERATURES answers the firmware's
// sensors (firmware_sensors.h): with I2CDevice 0 the list in Data (count,
// ids, hundredths; Status 154 when DataLength or the area cannot hold it),
// else the sensor's value in Temperature (Status 165 for an unknown id).
// A command of the set-up's refused_commands is answered with Status 156 and
// changes nothing.
// Every other board command answers kStatusInvalidDeviceRequest, as the
// board drivers answer a function code they do not serve. The board's
// peripherals answer from the one command switch (serveLocked), with the
// stamping and the injections in front of them.
//
// Every reply in the block (also an injected Status) starts as the drivers'
// do: Status and WarningCode cleared, DriverVersion, FirmwareVersion,
// FirmwareType, HardwareWord and BoardId stamped from identity(). A served
// request returns its input length.
//
// All members are thread-safe.

#include "sim/digital_lines.h"
#include "sim/firmware_sensors.h"
#include "sim/i2c_bus.h"
#include "sim/sensor_model.h"
#include "sim/setup.h"

#include "platform/driver.h"
#include "tarvik_request_block.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace sim {

inline constexpr std::size_t kConfigurationBytes = 256;
// Oldest records go first beyond this (a demo runs for hours).
inline constexpr std::size_t kMaxRequestLog = 4096;
// GET_USB_VERSION's answer of a board on a high-speed port.
inline constexpr uint16_t kUsbVersionHighSpeed = 20;
// INIT with RequestFlags 0x10 whose data area cannot hold the 256 bytes, or
// an I2C transfer whose data area cannot hold its bytes.
inline constexpr uint16_t kStatusBufferTooSmall = 154; // "DRVERROR BURST BUFFER TO SMALL"
inline constexpr uint16_t kStatusWrongWorkMode = 151;  // I2C while scanning continuously
inline constexpr uint16_t kStatusInvalidData = 153;    // a refused boot-EEPROM write
inline constexpr uint16_t kStatusNotSupported = 156;   // an I2C transfer above 256 bytes; a refused command
inline constexpr uint16_t kStatusI2cNoAcknowledge = 165;
inline constexpr uint16_t kStatusI2cCompare = 166;

struct BoardIdentity {
    uint8_t boardId = 1;
    uint16_t driverVersion = 3114;
    uint16_t hardwareWord = 0x1064;
    uint16_t firmwareVersion = 204;
    uint16_t firmwareType = 1;

    bool operator==(const BoardIdentity&) const = default;
};

// The parameter fields of an IOCTL_BOARD_INIT, as the block carried them.
struct InitParameters {
    uint16_t workMode = 0;
    uint16_t acquisitionMode = 0;
    uint16_t preCnts = 0;
    uint16_t acqIntCnts = 0;
    uint16_t delIntCnts = 0;
    uint16_t numberPixel = 0;
    uint32_t numberPixelLong = 0;
    uint16_t numScans = 0;
    uint8_t flashHW = 0;
    uint8_t flashOpt = 0;
    uint16_t muxMode = 0;
    uint16_t muxChanNum = 0;
    uint16_t noInterruptMode = 0;
    uint32_t toTimeExtTrig = 0;
    uint32_t digitalOutputWord = 0;
    uint32_t requestFlags = 0;
    uint16_t etDelay = 0;
    uint16_t numberPixel2 = 0;
    uint32_t numberPixel2Long = 0;
    uint16_t inputSource = 0;
    uint8_t muxSpec = 0;
    uint16_t ringCapacity = 0;
    uint16_t saturationPeriod = 0;
    uint8_t saturationStart = 0;
    uint8_t saturationEndMargin = 0;
    uint8_t feeType = 0;
    uint8_t sensorType = 0;
    uint16_t burstBlocks = 0;
    uint16_t gen2BufferSize = 0;

    // NumberPixel, or NumberPixelLong when it is 0xFFFF.
    uint32_t pixelCount() const { return numberPixel == 0xFFFF ? numberPixelLong : numberPixel; }

    bool operator==(const InitParameters&) const = default;
};

struct InitState {
    bool initialised = false;  // an INIT was served and no DEINIT since
    uint32_t initCount = 0;    // INIT requests served
    uint32_t deinitCount = 0;  // DEINIT requests served
    InitParameters parameters; // of the last INIT served
    // The 256 bytes of the last INIT with RequestFlags 0x10; empty before one.
    std::vector<uint8_t> configuration;
};

enum class RequestOutcome {
    Served,          // the command ran; its answer is in the block
    InjectedStatus,  // an injected Status/StatusInfo answered; the command did not run
    InjectedFailure, // failed at request level by injection
    Held,            // held by an injected hang (served when released)
    Unsupported,     // a board command not served: kStatusInvalidDeviceRequest
    Refused,         // not a board request, or the buffers hold no whole block
};

// One request as it arrived; the key fields are 0 when there was no block.
struct RequestRecord {
    uint32_t ioControlCode = 0;
    uint32_t inputLength = 0;
    uint32_t outputLength = 0;
    RequestOutcome outcome = RequestOutcome::Served;
    platform::DriverStatus requestStatus = platform::kStatusSuccess; // kStatusPending: held
    uint16_t status = 0;                                             // answered in the block
    uint16_t statusInfo = 0;

    uint16_t workMode = 0;
    uint16_t acquisitionMode = 0;
    uint16_t numberPixel = 0;
    uint32_t numberPixelLong = 0;
    uint16_t numScans = 0;
    uint32_t requestFlags = 0;
    uint8_t i2cDevice = 0;
    uint8_t i2cOperation = 0;
    uint8_t i2cIndex = 0;
    uint8_t i2cLength = 0;
    uint16_t i2cIndexLong = 0;
    uint16_t i2cLengthLong = 0;
    uint32_t dataLength = 0;
    uint32_t digitalOutputWord = 0;
    uint32_t digitalInputWord = 0; // as it came
    // The first 256 bytes of Data when RequestFlags has 0x10 (as many as came).
    std::vector<uint8_t> configuration;
};

// An answer that tests inject for the next requests of one control code.
struct Injection {
    enum class Kind {
        Status,         // the block answers status and statusInfo; the command does not run
        RequestFailure, // the request fails with requestStatus (an errno value)
        Hang,           // the request stays pending until released or cancelled
    };
    Kind kind = Kind::Status;
    uint16_t status = 0;
    uint16_t statusInfo = 0;
    platform::DriverStatus requestStatus = platform::kStatusUnsuccessful;
};

class BoardModel {
public:
    BoardModel(BoardConfig config, std::string instanceId);
    BoardModel(const BoardModel&) = delete;
    BoardModel& operator=(const BoardModel&) = delete;

    // As declared in the set-up (the identity may change later; see below).
    const BoardConfig& config() const { return config_; }
    const std::string& name() const { return config_.name; }
    int interfaceType() const { return config_.interfaceType; }
    // The bus's name of the board (unique in the process).
    const std::string& instanceId() const { return instanceId_; }

    BoardIdentity identity() const;
    // Takes effect with the next request (e.g. an obsolete DriverVersion).
    void setIdentity(const BoardIdentity& identity);

    // Plugged in (as far as the registry's hot-plug goes).
    bool present() const;

    InitState initState() const;
    DigitalLineState digitalLines() const;
    // An INIT of a continuous work mode is in force.
    bool continuousAcquisition() const;

    // --- the I2C bus and the boot EEPROM (under the board's lock; f must not
    // call back into the board)
    template <class F> decltype(auto) withI2cBus(F&& f) {
        std::lock_guard lock(mutex_);
        return std::forward<F>(f)(bus_);
    }
    // --- the sensor front end (under the board's lock; f must not call back
    // into the board)
    template <class F> decltype(auto) withSensor(F&& f) {
        std::lock_guard lock(mutex_);
        return std::forward<F>(f)(sensor_);
    }
    EepromContents bootEeprom() const;
    void setBootEeprom(const EepromContents& contents);

    // --- request log
    std::vector<RequestRecord> requests() const;
    std::size_t requestCount(uint32_t ioControlCode) const;
    std::size_t droppedRequests() const; // records pushed out by kMaxRequestLog
    void clearRequests();

    // --- injection: the next count requests of the code get the answer;
    // injections of one code are used in the order they were made.
    void inject(uint32_t ioControlCode, const Injection& injection, unsigned count = 1);
    void injectStatus(uint32_t ioControlCode, uint16_t status, uint16_t statusInfo,
                      unsigned count = 1);
    void injectRequestFailure(uint32_t ioControlCode, platform::DriverStatus status,
                              unsigned count = 1);
    void injectHang(uint32_t ioControlCode, unsigned count = 1);
    void clearInjections();

    // --- held requests (a cancelled one leaves the list and ends with
    // kStatusCancelled, or with what its cancelling gave the caller)
    std::size_t heldCount() const;
    // A handshake: until n requests are held; false after the limit.
    bool waitForHeld(std::size_t n,
                     std::chrono::milliseconds limit = std::chrono::seconds(30)) const;
    // Serves every held request now and completes it; the number released.
    std::size_t releaseHeld();

    // --- front end (the board driver)
    struct Answer {
        bool hold = false; // keep the request pending (holdRequest)
        platform::DriverStatus status = platform::kStatusSuccess;
        uint32_t information = 0; // bytes of the reply
    };
    // Logs and answers one device-control request on its buffer.
    Answer handle(uint32_t ioControlCode, std::span<uint8_t> buffer, uint32_t inputLength,
                  uint32_t outputLength);
    // Serves a released request (no injection, not logged again).
    Answer serveReleased(uint32_t ioControlCode, std::span<uint8_t> buffer, uint32_t inputLength);
    // Parks a request that handle() said to hold; false when it was
    // cancelled meanwhile (the caller completes it).
    bool holdRequest(const platform::IoRequestPtr& request);
    // A cancel routine's part: forgets a held request.
    void forgetHeld(const platform::IoRequestPtr& request);

private:
    friend class BoardRegistry;
    void setPresent(bool present);

    struct PendingInjection {
        uint32_t ioControlCode;
        Injection injection;
        unsigned remaining;
    };

    std::optional<Injection> takeInjectionLocked(uint32_t ioControlCode);
    platform::DriverStatus serveLocked(uint32_t ioControlCode, std::span<uint8_t> block,
                                       uint32_t inputLength, const Injection* injected);
    void serveInitLocked(std::span<uint8_t> block, uint32_t inputLength);
    bool continuousLocked() const;
    void serveI2cOperationLocked(std::span<uint8_t> block, uint32_t inputLength);
    void serveI2cCheckLocked(std::span<uint8_t> block);
    void serveBootEepromLocked(std::span<uint8_t> block, uint32_t inputLength);
    platform::DriverStatus serveDigitalLinesLocked(uint32_t ioControlCode,
                                                   std::span<uint8_t> block);
    void serveTemperaturesLocked(std::span<uint8_t> block, uint32_t inputLength);
    void appendLocked(RequestRecord record);

    const BoardConfig config_;
    const std::string instanceId_;

    mutable std::mutex mutex_;
    mutable std::condition_variable heldChanged_;
    BoardIdentity identity_;
    bool present_ = false;
    InitState init_;
    DigitalLineState lines_;
    std::vector<FirmwareTemperatureSensor> temperatures_ = defaultFirmwareTemperatures();
    I2cBus bus_;
    SensorModel sensor_;
    I2cEeprom boot_;
    std::deque<RequestRecord> log_;
    std::size_t dropped_ = 0;
    std::deque<PendingInjection> injections_;
    std::deque<platform::IoRequestPtr> held_;
};

} // namespace sim
