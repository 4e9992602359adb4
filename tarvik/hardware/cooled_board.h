#pragma once
// The cooled detector board of front-end types 7 and 11: CZTKBoard, one object
// per slot (DeviceSlot::ztkBoard), created on first use and deleted with the
// close. It sits at I2C 0x74 and takes one-byte transfers: the register
// number in the high nibble, the data in the low one; a register is read by
// writing its number with data 0xF and reading one byte. Its operations go
// through the full-form I2C exports (peripheralI2c) with the caller holding
// the DeviceLock.

#include <cstdint>

namespace tarvik {

// Last results.
inline constexpr uint32_t kZtkNone = 0;
inline constexpr uint32_t kZtkStatusError = 1;
inline constexpr uint32_t kZtkWriteFailed = 2;
inline constexpr uint32_t kZtkReadFailed = 3;
inline constexpr uint32_t kZtkJumperSet = 4;
inline constexpr uint32_t kZtkNotReady = 5; // not initialised or not configured
inline constexpr uint32_t kZtkCoolingError = 6;

inline constexpr uint8_t kZtkAddress = 0x74;

class CZTKBoard {
public:
    explicit CZTKBoard(uint32_t interfaceId) : interfaceId_(interfaceId) {}
    ~CZTKBoard() = default;
    CZTKBoard(const CZTKBoard&) = delete;
    CZTKBoard& operator=(const CZTKBoard&) = delete;

    uint32_t GetLastResult() const { return lastResult_; }
    bool IsInitialised() const { return initialised_ != 0; }
    bool IsConfigured() const { return configured_ != 0; }
    uint8_t GetFirmwareVersion();
    bool SetParameters(uint16_t sensorType, uint16_t parA9, uint16_t pixels, uint16_t parA10);
    uint16_t GetAppliedBinning();
    uint16_t GetBinningDivisor();
    bool IsUnbinned();

    // Status, version and jumpers; initialised when all pass.
    bool Open();
    // Registers 9, 10, 11, 13, 12 into the status fields.
    bool ReadStatus();
    // Bit 0 cooling error, 1 B2, 2 B1, 3 status code set, 4 not ready;
    // nonzero is a failure (result 6 for a cooling error alone, else 1).
    uint32_t EvaluateStatus();
    bool SetCoolingEnable(bool on);
    // The configuration writers: binning PAR_A10 / PAR_A9 (the initialise's),
    // binning modes 0 and 1 (unbinned), binning mode 2 (fully binned).
    bool ApplyConfiguration();
    bool ApplyBinningMode();
    bool ApplyBinningMode2();

    bool WriteRegister0();
    bool WriteRegister1();
    bool WriteRegister2();
    bool WriteRegister3();
    bool WriteBinningRegister(uint16_t value);

    // The status fields, as the last ReadStatus left them.
    bool CoolingOn() const { return coolingOn_ != 0; }
    bool CoolingAvailable() const { return coolingAvailable_ != 0; }

private:
    bool writeByte(uint8_t byte);
    // One register's low nibble; false (result 2 or 3) when the bus failed.
    bool readRegister(uint8_t reg, uint8_t& value);
    bool statusPasses();
    bool applyWith(uint16_t binningValue, uint16_t applied);

    uint32_t interfaceId_;
    uint8_t initialised_ = 0;
    uint8_t coolingOn_ = 0;
    uint8_t jumperError_ = 0;
    uint8_t firmwareVersion_ = 0;
    uint8_t coolingError_ = 0;
    uint8_t statusB2_ = 0;
    uint8_t statusB1_ = 0;
    uint8_t statusCode_ = 0;
    uint8_t ready_ = 0;
    uint8_t coolingAvailable_ = 0;
    uint32_t lastResult_ = kZtkNone;
    uint8_t configured_ = 0;
    uint16_t sensorType_ = 0;
    uint16_t pixels_ = 0;
    uint16_t parA10_ = 0;
    uint16_t parA9_ = 0;
    uint16_t appliedBinning_ = 0;
};

// The initialise's step for a front-end type 11 slot: the board object, its
// self-check and channel 1's sensor values applied. A board that does not
// answer (I2C status 164 or 165) or whose jumpers are set leaves the
// initialise going. 0, or -1 with the record written (level 4 with code 514
// and the info of the board's result, or 5/201). The caller holds the
// DeviceLock.
int32_t PrepareCooledDetectorBoard(int32_t interfaceId);

} // namespace tarvik
