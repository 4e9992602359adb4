// Hardware configuration set and get, and the older forms that build the
// record from plain arguments.

#include "hardware/hardware_configuration.h"

#include "acquisition/acquisition_helpers.h"
#include "acquisition/integration_time.h"
#include "core/device_command.h"
#include "core/export_frame.h"
#include "core/interface_check.h"
#include "core/library_state.h"
#include "core/locks.h"
#include "hardware/actual_configuration.h"
#include "hardware/cooled_board.h"
#include "hardware/eeprom_image.h"
#include "hardware/sensor_tables.h"
#include "serial/qre_link.h"
#include "tarvik_request_block.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <mutex>

namespace tarvik {
namespace {

constexpr const char* kSetName = "KORAL_HWConfig_ParaSetHWConfigurationEx2";
constexpr const char* kGetName = "KORAL_HWConfig_ParaGetHWConfigurationEx2";
constexpr const char* kSetExName = "KORAL_ParaSetHWConfigurationEx";
constexpr const char* kSetOldName = "KORAL_ParaSetHWConfiguration";
constexpr const char* kFeeName = "KORAL_ParaSetFEE_SensorType";

constexpr uint32_t kRecordSize = sizeof(HWConfigurationEx2Record);
constexpr int32_t kInfoFrontEndType = 2;
constexpr int32_t kInfoMuxType = 3;
constexpr int32_t kInfoClockWord = 20;
constexpr int32_t kInfoInvalidConfiguration = 825; // "INVALID CONFIGURATION"
constexpr int16_t kKeep = -1;
constexpr int16_t kFromImages = -2;
constexpr uint16_t kAnyLengthBit = 0x8000;
constexpr uint32_t kRequestFlagRows = 0x4;

bool isSerialMux(uint32_t type) {
    return type == 7 || type == 9;
}

// What a set may change, to put back when it fails.
struct SlotSnapshot {
    explicit SlotSnapshot(const DeviceSlot& slot)
        : clockFrequency(slot.clockFrequency), clockDivider(slot.clockDivider),
          clockRate(slot.clockRate), frontEndType(slot.frontEndType), muxType(slot.muxType),
          muxPresent(slot.muxPresent), muxChannels(slot.muxChannels), muxSetting(slot.muxSetting),
          muxChannel(slot.muxChannel), serialMuxPortNumber(slot.serialMuxPortNumber),
          muxModeIndex(slot.qre.muxModeIndex), muxChannelIndex(slot.qre.muxChannelIndex),
          sensorType(slot.sensorType), pixelCount(slot.pixelCount), rows(slot.rows),
          fourthSensorWord(slot.fourthSensorWord), sensorCoefficients(slot.sensorCoefficients),
          revisionPixels(slot.revisionPixels), sensorTechnology(slot.sensorTechnology),
          sensorReversed(slot.sensorReversed), sensorFileLoaded(slot.sensorFileLoaded),
          revisionPixelFlag(slot.revisionPixelFlag), hardwareConfigured(slot.hardwareConfigured),
          acquisitionTime(slot.acquisitionIntegrationTime),
          deletingTime(slot.deletingIntegrationTime), minimumTime(slot.timeLimit1),
          maximumTime(slot.timeLimit2) {
        std::memcpy(head.data(), slot.requestBlock.bytes(), head.size());
        std::memcpy(tail.data(), slot.requestBlock.bytes() + kTailOffset, tail.size());
    }

    void restore(DeviceSlot& slot) const {
        slot.clockFrequency = clockFrequency;
        slot.clockDivider = clockDivider;
        slot.clockRate = clockRate;
        slot.frontEndType = frontEndType;
        slot.muxType = muxType;
        slot.muxPresent = muxPresent;
        slot.muxChannels = muxChannels;
        slot.muxSetting = muxSetting;
        slot.muxChannel = muxChannel;
        slot.serialMuxPortNumber = serialMuxPortNumber;
        slot.qre.muxModeIndex = muxModeIndex;
        slot.qre.muxChannelIndex = muxChannelIndex;
        slot.sensorType = sensorType;
        slot.pixelCount = pixelCount;
        slot.rows = rows;
        slot.fourthSensorWord = fourthSensorWord;
        slot.sensorCoefficients = sensorCoefficients;
        slot.revisionPixels = revisionPixels;
        slot.sensorTechnology = sensorTechnology;
        slot.sensorReversed = sensorReversed;
        slot.sensorFileLoaded = sensorFileLoaded;
        slot.revisionPixelFlag = revisionPixelFlag;
        slot.hardwareConfigured = hardwareConfigured;
        slot.acquisitionIntegrationTime = acquisitionTime;
        slot.deletingIntegrationTime = deletingTime;
        {
            std::lock_guard guard(rawDataLock());
            slot.timeLimit1 = minimumTime;
            slot.timeLimit2 = maximumTime;
        }
        // The scan data between head and tail belongs to the acquisition.
        std::memcpy(slot.requestBlock.bytes(), head.data(), head.size());
        std::memcpy(slot.requestBlock.bytes() + kTailOffset, tail.data(), tail.size());
    }

    static constexpr size_t kHeadSize = offsetof(DeviceRequestBlock, ScanData);
    static constexpr size_t kTailOffset = offsetof(DeviceRequestBlock, NumberPixel2);
    static constexpr size_t kTailSize = KORAL_REQUEST_BLOCK_DATA_OFFSET - kTailOffset;

    uint32_t clockFrequency, clockDivider, clockRate, frontEndType, muxType, muxPresent,
        muxChannels, muxSetting;
    uint8_t muxChannel, serialMuxPortNumber;
    uint32_t muxModeIndex, muxChannelIndex;
    std::array<uint32_t, 8> sensorType, pixelCount, rows, fourthSensorWord;
    std::array<double, 11> sensorCoefficients;
    std::array<uint32_t, 5> revisionPixels;
    uint16_t sensorTechnology;
    uint8_t sensorReversed, sensorFileLoaded, revisionPixelFlag, hardwareConfigured;
    uint32_t acquisitionTime, deletingTime;
    double minimumTime, maximumTime;
    std::array<uint8_t, kHeadSize> head{};
    std::array<uint8_t, kTailSize> tail{};
};

// One failure of the set: the record, and -1.
int32_t refuse(int32_t id, int32_t level, int32_t code, int32_t info) {
    recordError(id, level, code, info);
    return -1;
}

const uint8_t* image(const DeviceSlot& slot, size_t area) {
    return slot.configuration.data() + area;
}

// The channel entry i of the multiplexer image, or the front-end entry.
struct ChannelEntry {
    uint16_t sensorType, pixels, rows, fourth;
};
ChannelEntry muxEntry(const DeviceSlot& slot, size_t channel) {
    const uint8_t* mux = image(slot, kMuxImageArea) + image_field::kChannelEntries +
                         channel * image_field::kChannelEntrySize;
    return {imageU16(mux, 0), imageU16(mux, 2), imageU16(mux, 4), imageU16(mux, 6)};
}
ChannelEntry frontEndEntry(const DeviceSlot& slot) {
    const uint8_t* fee = image(slot, kFrontEndImageArea);
    return {imageU16(fee, image_field::kSensorType), imageU16(fee, image_field::kPixelCount),
            imageU16(fee, image_field::kRows), imageU16(fee, image_field::kFourthSensorWord)};
}

// The whole set, under the DeviceLock. Steps that fail leave their record.
class ConfigurationSet {
public:
    ConfigurationSet(int32_t id, DeviceSlot& slot, const HWConfigurationEx2Record& record)
        : id_(id), slot_(slot), block_(*slot.block()), record_(record) {}

    int32_t run() {
        if (frontEnd() != 0 || multiplexer() != 0 || sensorType() != 0 || pixels() != 0 ||
            checkConfiguration() != 0 || bringMuxIntoOperation() != 0) {
            return -1;
        }
        if (fillSlotAndBlock() != 0) {
            return -1;
        }
        return applyIntegrationTimes();
    }

private:
    // Clock, divider and pre-scan count of the front end.
    int32_t frontEnd() {
        const int32_t requested = record_.frontEndType;
        frontEnd_ = requested == kKeep ? slot_.frontEndType : static_cast<uint32_t>(requested);
        if (requested < kKeep) {
            return refuse(id_, KORAL_LEVEL_IGNORED, code::kInvalidParameter, kInfoFrontEndType);
        }
        uint32_t clock = slot_.clockFrequency;
        uint32_t divider = slot_.clockDivider;
        preScan_ = 800;
        pixelPeriod_ = 0;
        switch (frontEnd_) {
        case 0:
            clock = 1250000;
            divider = 16;
            break;
        case 1:
            clock = 20000000;
            divider = 64;
            preScan_ = 200;
            break;
        case 2:
            clock = 20000000;
            divider = 256;
            break;
        case 3:
            clock = 24000000;
            divider = 128;
            break;
        case 6:
        case 7:
            clock = 24000000;
            divider = 32;
            break;
        case 8:
            break;
        case 9:
        case 10:
        case 11: {
            const uint16_t word = imageU16(image(slot_, kFrontEndImageArea),
                                           image_field::kClockValue); // kHz
            if (word == 0) {
                return refuse(id_, KORAL_LEVEL_IGNORED, code::kInvalidParameter, kInfoClockWord);
            }
            clock = 32000000;
            divider = 32000 / word;
            preScan_ = frontEnd_ == 10 ? 200 : 800;
            pixelPeriod_ = word * 1000u;
            clockCode_ = ClockValueToCode(word);
            break;
        }
        default:
            return refuse(id_, KORAL_LEVEL_IGNORED, code::kInvalidParameter, kInfoFrontEndType);
        }
        slot_.clockFrequency = clock;
        slot_.clockDivider = divider;
        block_.PreCnts = static_cast<uint16_t>(preScan_);
        return 0;
    }

    int32_t multiplexer() {
        const int32_t requested = record_.muxType;
        if (requested == kKeep) {
            mux_ = slot_.muxType;
        } else if (requested < 0 || requested > 10) {
            return refuse(id_, KORAL_LEVEL_IGNORED, code::kInvalidParameter, kInfoMuxType);
        } else {
            mux_ = static_cast<uint32_t>(requested);
        }
        if (mux_ == 8) {
            variant_ = GetConfigVariantCode(id_);
            if (variant_ == 0) {
                return refuse(id_, KORAL_LEVEL_NOT_DONE, code::kInvalidParameter,
                              code::kInvalidEepromValue);
            }
            slot_.muxChannels = static_cast<uint32_t>(variant_);
            block_.MuxMode = 2;
            block_.MuxSpec = static_cast<uint8_t>(variant_);
            block_.MuxChanNum = static_cast<uint16_t>(variant_);
        }
        return 0;
    }

    // The channels' sensor types; 128 loads the description file.
    int32_t sensorType() {
        const int16_t requested = record_.channel[0].sensorType;
        if (requested == kKeep) {
            slot_.sensorType.fill(slot_.sensorType[0]);
        } else if (requested == kFromImages) {
            const uint32_t flags = slot_.configurationWord;
            if ((flags & kConfigMuxImage) != 0) {
                for (size_t i = 0; i < slot_.sensorType.size(); ++i) {
                    slot_.sensorType[i] = isSerialMux(mux_) ? frontEndEntry(slot_).sensorType
                                                            : muxEntry(slot_, i).sensorType;
                }
            } else if ((flags & kConfigFrontEndImage) != 0) {
                slot_.sensorType.fill(frontEndEntry(slot_).sensorType);
            } else {
                return refuse(id_, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                              code::kInvalidSensorType);
            }
            for (uint32_t& type : slot_.sensorType) {
                type = RemapSensorTypeCode(static_cast<uint16_t>(type));
            }
        } else if (requested < 0) {
            return refuse(id_, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                          code::kInvalidSensorType);
        } else {
            const uint16_t type = RemapSensorTypeCode(static_cast<uint16_t>(requested));
            if (FindSensorType(type) == nullptr) {
                return refuse(id_, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                              code::kInvalidSensorType);
            }
            slot_.sensorType.fill(type);
        }
        type_ = slot_.sensorType[0];
        if (type_ == kFileSensorType) {
            uint32_t pixels = 0;
            uint32_t rows = 0;
            uint32_t fourth = 0;
            const int32_t loaded = LoadSlotSensorDescription(id_, slot_, pixels, rows, fourth);
            if (loaded != 0) {
                slot_.sensorFileLoaded = 0;
                slot_.revisionPixelFlag = 0;
                return refuse(id_, KORAL_LEVEL_NOT_DONE, code::kLoadingConfigurationFile, loaded);
            }
        }
        row_ = FindSensorType(type_);
        if (row_ == nullptr) {
            return refuse(id_, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                          code::kInvalidSensorType);
        }
        return 0;
    }

    int32_t pixels() {
        const HWConfigurationChannelEntry& first = record_.channel[0];
        if (first.pixelCount == kKeep) {
            slot_.pixelCount.fill(block_.NumberPixel2Long);
            rows_ = 1;
        } else if (first.pixelCount == kFromImages) {
            const uint32_t flags = slot_.configurationWord;
            if ((flags & kConfigMuxImage) != 0) {
                for (size_t i = 0; i < slot_.pixelCount.size(); ++i) {
                    const ChannelEntry entry =
                        isSerialMux(mux_) ? frontEndEntry(slot_) : muxEntry(slot_, i);
                    slot_.pixelCount[i] = entry.pixels;
                    slot_.rows[i] = entry.rows;
                    slot_.fourthSensorWord[i] = entry.fourth;
                }
            } else if ((flags & kConfigFrontEndImage) != 0) {
                const ChannelEntry entry = frontEndEntry(slot_);
                slot_.pixelCount.fill(entry.pixels);
                slot_.rows.fill(entry.rows);
                slot_.fourthSensorWord.fill(entry.fourth);
            }
            rows_ = slot_.rows[0];
        } else if (first.pixelCount < 0) {
            return refuse(id_, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                          code::kInvalidSensorLength);
        } else {
            const bool anyLength = (row_->lengthMask & kAnyLengthBit) != 0;
            const auto pixels = static_cast<uint32_t>(first.pixelCount);
            if (type_ != kFileSensorType && !anyLength &&
                !IsSensorLengthSupportedByType(static_cast<uint32_t>(FindSensorTypeIndex(type_)),
                                               pixels)) {
                return refuse(id_, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                              code::kInvalidSensorLength);
            }
            if (first.rows >= 2 && !anyLength) {
                return refuse(id_, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                              code::kInvalidSensorRows);
            }
            // A line sensor has one row; a negative count is none.
            const uint32_t rows = first.rows < 1 ? 1u : static_cast<uint32_t>(first.rows);
            slot_.pixelCount.fill(pixels);
            slot_.rows.fill(rows);
            slot_.fourthSensorWord.fill(static_cast<uint16_t>(first.fourthSensorWord));
            rows_ = rows;
        }
        if (slot_.pixelCount[0] == 0) {
            return refuse(id_, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                          code::kInvalidSensorLength);
        }
        return 0;
    }

    int32_t checkConfiguration() {
        const uint32_t word =
            makeSensorConfigWord(slot_.boardType, clockCode_, frontEnd_, mux_, type_);
        if (!IsSensorConfigSupported(word) && type_ != kFileSensorType) {
            return refuse(id_, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                          kInfoInvalidConfiguration);
        }
        if (slot_.boardType == kTypeSerial && type_ == 13 && slot_.qre.firmwareVersion() < 316) {
            return refuse(id_, KORAL_LEVEL_IGNORED, code::kDriverNoSupport,
                          code::kInvalidSensorType);
        }
        if (!AreChannelSensorsUniform(id_)) {
            return refuse(id_, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                          kInfoInvalidConfiguration);
        }
        if (rows_ > 1) {
            const uint16_t driver = block_.DriverVersion;
            const bool supported = (slot_.boardType == kTypePci && driver >= 1020) ||
                                   (slot_.boardType == kTypeUsb && driver >= 800);
            if (!supported) {
                return refuse(id_, KORAL_LEVEL_IGNORED, code::kDriverNoSupport,
                              code::kInvalidSensorRows);
            }
        }
        return 0;
    }

    // The mode call sees the new multiplexer type, so that an optical or
    // serial multiplexer is switched as the one now configured.
    int32_t setMuxMode() {
        slot_.muxPresent = 1;
        slot_.muxType = mux_;
        ErrorBoxOff boxOff;
        return KORAL_ParaSetMUXMode(1, 1, static_cast<uint32_t>(id_)) == 0 ? 0 : -1;
    }

    int32_t bringMuxIntoOperation() {
        if (!isSerialMux(mux_)) {
            CloseMuxPort(id_);
        }
        switch (mux_) {
        case 1:
        case 2:
        case 3:
        case 4:
        case 5:
        case 6:
            return setMuxMode();
        case 7:
        case 9: {
            if (slot_.serialMuxPort != kNoSerialPort) {
                return setMuxMode();
            }
            const uint8_t* interface = image(slot_, kInterfaceImageArea);
            slot_.serialMuxPortNumber = interface[image_field::kSerialMuxConfig] & 0x0F;
            const int32_t opened = OpenMuxPort(id_);
            if (opened != 0) {
                CloseMuxPort(id_);
                return refuse(id_, KORAL_LEVEL_IGNORED, code::kMuxKrdCommunication, opened + 1000);
            }
            // A MUX-KRL has told its assembly at the open.
            const uint8_t assembly = interface[image_field::kSerialMuxConfig] >> 4;
            if (mux_ == 9 && (assembly < 1 || assembly > 5)) {
                CloseMuxPort(id_);
                return refuse(id_, KORAL_LEVEL_IGNORED, code::kMuxKrdCommunication,
                              assembly == 15 ? code::kNoMux : code::kMuxTypeNotSupported);
            }
            return setMuxMode();
        }
        case 8:
            slot_.muxPresent = 1;
            return 0;
        default: // 0 and 10
            block_.MuxMode = 0;
            slot_.muxPresent = 0;
            block_.MuxSpec = 1;
            return 0;
        }
    }

    int32_t fillSlotAndBlock() {
        if (frontEnd_ == 6) {
            if (type_ == 10) {
                slot_.clockDivider = 16;
            } else if (type_ == 11) {
                slot_.clockDivider = 64;
            }
        }
        uint32_t preScan = preScan_;
        if (type_ == kFileSensorType) {
            // The description's prescaler reaches a 16-bit field: refused
            // unless it fits.
            const double value = std::round(slot_.sensorCoefficients[1]);
            if (!(value >= 1.0 && value <= 65535.0)) {
                return refuse(id_, KORAL_LEVEL_NOT_DONE, code::kLoadingConfigurationFile, 0);
            }
            preScan = static_cast<uint32_t>(value);
            const uint32_t type = slot_.boardType;
            if (type != kTypePci && type != kTypeBoard5 && type != kTypeUsb && type != kTypeUsb2) {
                preScan /= 2;
            }
        }
        if (slot_.longTimeMode != 0) {
            preScan = slot_.longTimeMode * 1000u;
        }
        if (pixelPeriod_ == 0) {
            pixelPeriod_ = slot_.clockDivider == 0 ? 0 : slot_.clockFrequency / slot_.clockDivider;
        }
        slot_.clockRate = pixelPeriod_;
        slot_.frontEndType = frontEnd_;
        slot_.muxType = mux_;
        block_.PreCnts = static_cast<uint16_t>(preScan);
        slot_.muxChannels = slot_.boardType == kTypeUsb2
                                ? static_cast<uint32_t>(std::max(1, GetConfigVariantCode(id_)))
                                : 1u;

        const uint32_t pixels = slot_.pixelCount[0];
        const uint16_t technology =
            type_ == kFileSensorType ? slot_.sensorTechnology : row_->technology();
        block_.SaturationStart = 0;
        block_.SaturationEndMargin = 0;
        switch (technology) {
        case 2: {
            const bool doubled = (type_ == 5 || type_ == 18 || type_ == 19) && pixels < 512;
            block_.NumberPixel2 = static_cast<uint16_t>(pixels);
            block_.NumberPixel2Long = pixels;
            block_.NumberPixel = static_cast<uint16_t>(doubled ? 2 * pixels : pixels);
            break;
        }
        case 3:
            block_.SaturationStart = 10;
            block_.SaturationEndMargin = 10;
            if (rows_ < 2) {
                block_.NumberPixel2 = static_cast<uint16_t>(pixels);
                block_.NumberPixel = static_cast<uint16_t>(pixels);
                block_.NumberPixelLong = pixels;
                block_.NumberPixel2Long = pixels;
                block_.RequestFlags &= ~kRequestFlagRows;
            } else {
                block_.NumberPixel2 = 0xFFFF;
                block_.NumberPixel = 0xFFFF;
                block_.NumberPixelLong = rows_ * pixels;
                block_.NumberPixel2Long = rows_ * pixels;
                block_.RequestFlags |= kRequestFlagRows;
            }
            break;
        default:
            block_.NumberPixel2 = static_cast<uint16_t>(pixels);
            block_.NumberPixel = static_cast<uint16_t>(pixels);
            block_.NumberPixel2Long = pixels;
            break;
        }
        block_.SaturationPeriod = static_cast<uint16_t>(pixels);
        block_.FEEType = static_cast<uint8_t>(frontEnd_);
        block_.SensorType = static_cast<uint8_t>(type_);
        return 0;
    }

    // A refused time fails the set; a limited one is adapted and stands. The
    // second apply sends everything to the board.
    int32_t applyIntegrationTimes() {
        double minimum = 0;
        {
            std::lock_guard guard(rawDataLock());
            minimum = slot_.timeLimit1;
        }
        double deleting = 0;
        double acquisition = 0;
        if (minimum > 0) {
            deleting = slot_.deletingIntegrationTime / 1000.0;
            acquisition = slot_.acquisitionIntegrationTime / 1000.0;
            if (ApplyIntegrationTime(&deleting, kIntegrationKindDeleting, 0) == -1) {
                return -1;
            }
        } else {
            if (ApplyIntegrationTime(&deleting, kIntegrationKindDeleting, 0) == -1) {
                return -1;
            }
            deleting *= 2;
            acquisition = deleting;
            if (ApplyIntegrationTime(&deleting, kIntegrationKindDeleting, 0) == -1) {
                return -1;
            }
        }
        if (ApplyIntegrationTime(&acquisition, kIntegrationKindAcquisition, 0) == -1) {
            return -1;
        }
        slot_.hardwareConfigured = 1;
        // The serial electronics take their parameter set in place of INIT.
        sendFailed_ = (slot_.boardType == kTypeSerial ? SendQreWorkModeParameters()
                                                      : SendDeviceCommand(KORAL_CMD_INIT)) != 0;
        return sendFailed_ ? -1 : 0;
    }

public:
    // A failed send leaves the new configuration in place: the next send
    // carries it.
    bool sendFailed() const { return sendFailed_; }

private:
    int32_t id_;
    DeviceSlot& slot_;
    DeviceRequestBlock& block_;
    const HWConfigurationEx2Record& record_;
    uint32_t frontEnd_ = 0;
    uint32_t mux_ = 0;
    uint32_t type_ = 0;
    uint32_t rows_ = 1;
    uint32_t preScan_ = 800;
    uint32_t pixelPeriod_ = 0;
    uint32_t clockCode_ = 0;
    int32_t variant_ = 0;
    const SensorTypeRow* row_ = nullptr;
    bool sendFailed_ = false;
};

// Null record, wrong size, reserved words: refused before any slot access.
bool recordIsUsable(const HWConfigurationEx2Record* record, uint32_t reserved, int32_t id) {
    if (record == nullptr) {
        recordError(id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        return false;
    }
    if (record->size != kRecordSize) {
        recordError(id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, code::kInvalidParameterSize);
        return false;
    }
    if (reserved != 0 || record->reserved != 0) {
        recordError(0, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        return false;
    }
    return true;
}

// The older forms forward with the box off and report under their own name.
template <class Call> int32_t forwardQuietly(const char* name, Call&& call) {
    int32_t result = 0;
    {
        ErrorBoxOff boxOff;
        result = call();
    }
    if (result != 0) {
        return failExport(name);
    }
    return 0;
}

// A record of one sensor on every channel of the multiplexer: the channel
// count from its type and the image's sub-type word, and the entry in every
// channel, the first one also without channels (the set reads it).
HWConfigurationEx2Record uniformRecord(uint32_t boardType, int16_t frontEnd, uint32_t muxType,
                                       const DeviceSlot* slot, int32_t id,
                                       HWConfigurationChannelEntry entry) {
    HWConfigurationEx2Record record{};
    record.size = kRecordSize;
    record.interfaceType = static_cast<uint16_t>(boardType);
    record.frontEndType = frontEnd;
    record.muxType = static_cast<int16_t>(muxType);
    const uint32_t subType =
        slot != nullptr ? imageU16(image(*slot, kMuxImageArea), image_field::kAssembly) & 0x0FFF
                        : 0;
    record.channelCount =
        static_cast<int16_t>(std::clamp(GetFrontEndChannelCount(muxType, subType, id), 0, 16));
    for (int i = 0; i < std::max<int>(record.channelCount, 1); ++i) {
        record.channel[i] = entry;
    }
    return record;
}

} // namespace

HWConfigurationEx2Record BuildSlotHardwareConfiguration(int32_t interfaceId,
                                                        const DeviceSlot& slot) {
    const bool fromImages = (slot.configurationWord & 0x20u) != 0;
    return uniformRecord(
        slot.boardType, static_cast<int16_t>(slot.frontEndType), slot.muxType, &slot, interfaceId,
        {fromImages ? kFromImages : static_cast<int16_t>(slot.sensorType[0]),
         static_cast<int16_t>(slot.pixelCount[0]), static_cast<int16_t>(slot.rows[0]),
         static_cast<int16_t>(slot.fourthSensorWord[0])});
}

void AdoptActualConfiguration(DeviceSlot& slot) {
    const ActualConfigurationRecord& actual = slot.actualConfiguration;
    slot.frontEndType = actual.frontEndType;
    slot.muxType = actual.muxType;
    slot.furtherWord = actual.channelCount;
    const size_t channels = std::min<size_t>(actual.channelCount, 8);
    for (size_t i = 0; i < slot.sensorType.size(); ++i) {
        // Channels beyond the count take channel 1's values.
        const size_t from = i < channels ? i : 0;
        slot.sensorType[i] = actual.sensorType[from];
        slot.pixelCount[i] = actual.pixelCount[from];
        slot.rows[i] = std::max<uint32_t>(actual.rows[from], 1);
        slot.fourthSensorWord[i] = actual.fourthSensorWord[from];
    }
}

int32_t ApplySlotHardwareConfiguration(int32_t interfaceId) {
    const DeviceSlot* slot = deviceSlot(interfaceId);
    if (slot == nullptr) {
        return -1;
    }
    HWConfigurationEx2Record record = BuildSlotHardwareConfiguration(interfaceId, *slot);
    ErrorBoxOff boxOff;
    return KORAL_HWConfig_ParaSetHWConfigurationEx2(0, &record,
                                                    static_cast<uint32_t>(interfaceId)) == 0
               ? 0
               : -1;
}

} // namespace tarvik

using namespace tarvik;

extern "C" int32_t KORAL_HWConfig_ParaSetHWConfigurationEx2(uint32_t reserved,
                                                            HWConfigurationEx2Record* record,
                                                            uint32_t interfaceId) {
    return runExport(kSetName, [&]() -> int32_t {
        const auto id = static_cast<int32_t>(interfaceId);
        if (!recordIsUsable(record, reserved, id)) {
            return failExport(kSetName);
        }
        if (checkInterfaceForExport(kSetName, kCheckSlotExists, id) != 0) {
            return -1;
        }
        std::lock_guard guard(deviceLock());
        DeviceSlot* slot = deviceSlot(id);
        if (id == 0 || slot == nullptr) {
            return failExport(kSetName, id, KORAL_LEVEL_IGNORED, code::kDeviceNotOpen,
                              code::kInvalidUse);
        }
        // The caller's record is copied: it may be changed on another thread.
        const HWConfigurationEx2Record copy = *record;
        const SlotSnapshot before(*slot);
        ConfigurationSet set(id, *slot, copy);
        if (set.run() != 0) {
            if (!set.sendFailed()) {
                before.restore(*slot);
            }
            return failExport(kSetName);
        }
        return 0;
    });
}

extern "C" int32_t KORAL_HWConfig_ParaGetHWConfigurationEx2(uint32_t reserved,
                                                            HWConfigurationEx2Record* record,
                                                            uint32_t interfaceId) {
    return runExport(kGetName, [&]() -> int32_t {
        const auto id = static_cast<int32_t>(interfaceId);
        if (!recordIsUsable(record, reserved, id)) {
            return failExport(kGetName);
        }
        if (checkInterfaceForExport(kGetName, kCheckDeviceOpen, id) != 0) {
            return -1;
        }
        std::lock_guard guard(deviceLock());
        if (id == 0 || deviceSlot(id) == nullptr) {
            return failExport(kGetName, id, KORAL_LEVEL_IGNORED, code::kDeviceNotOpen,
                              code::kInvalidUse);
        }
        ActualConfigurationRecord actual{};
        actual.interfaceType = libraryState()->interfaceTypeInUse;
        const auto result = static_cast<int32_t>(ReadHardwareConfiguration(id, actual));
        if (result < 0) {
            return failExport(kGetName);
        }
        record->interfaceType = static_cast<uint16_t>(actual.interfaceType);
        record->frontEndType = static_cast<int16_t>(actual.frontEndType);
        record->muxType = static_cast<int16_t>(actual.muxType);
        record->channelCount = static_cast<int16_t>(actual.channelCount);
        record->reserved = 0;
        // A configured cooled detector board bins the rows.
        const std::shared_ptr<CZTKBoard>& cooled = deviceSlot(id)->ztkBoard;
        const bool binned = cooled && cooled->IsConfigured();
        const size_t channels = std::min<size_t>(actual.channelCount, 8);
        for (size_t i = 0; i < channels; ++i) {
            const uint32_t rows = binned ? cooled->GetAppliedBinning() : actual.rows[i];
            record->channel[i] = {static_cast<int16_t>(actual.sensorType[i]),
                                  static_cast<int16_t>(actual.pixelCount[i]),
                                  static_cast<int16_t>(rows),
                                  static_cast<int16_t>(actual.fourthSensorWord[i])};
        }
        return result;
    });
}

extern "C" int32_t KORAL_ParaSetHWConfigurationEx(uint16_t feeType, uint32_t muxType,
                                                  uint16_t sensorType, uint16_t pixels,
                                                  int32_t rows, uint32_t interfaceId) {
    return runExport(kSetExName, [&]() -> int32_t {
        const auto id = static_cast<int32_t>(interfaceId);
        if (checkInterfaceForExport(kSetExName, kCheckSlotExists, id) != 0) {
            return -1;
        }
        HWConfigurationEx2Record record{};
        {
            std::lock_guard guard(deviceLock());
            const DeviceSlot* slot = deviceSlot(id);
            if (slot != nullptr && slot->boardType == kTypeUsb2) {
                return failExport(kSetExName, id, KORAL_LEVEL_IGNORED, code::kNotAvailable,
                                  code::kInvalidInterfaceType);
            }
            record = uniformRecord(slot != nullptr ? slot->boardType : 0,
                                   static_cast<int16_t>(feeType), muxType, slot, id,
                                   {static_cast<int16_t>(sensorType), static_cast<int16_t>(pixels),
                                    static_cast<int16_t>(rows),
                                    static_cast<int16_t>(rows < 2 ? 1 : 64)});
        }
        return forwardQuietly(kSetExName, [&] {
            return KORAL_HWConfig_ParaSetHWConfigurationEx2(0, &record, interfaceId);
        });
    });
}

extern "C" int32_t KORAL_ParaSetHWConfiguration(uint16_t feeType, uint32_t muxType,
                                                uint16_t sensorType, uint16_t pixels,
                                                uint32_t interfaceId) {
    return runExport(kSetOldName, [&]() -> int32_t {
        return forwardQuietly(kSetOldName, [&] {
            return KORAL_ParaSetHWConfigurationEx(feeType, muxType, sensorType, pixels, 1,
                                                  interfaceId);
        });
    });
}

extern "C" int32_t KORAL_ParaSetFEE_SensorType(uint32_t feeType, uint32_t sensorType,
                                               uint32_t pixels, uint32_t interfaceId) {
    return runExport(kFeeName, [&]() -> int32_t {
        uint32_t frontEnd = feeType;
        uint32_t mode = 0;
        if (feeType == 4 || feeType == 5) {
            frontEnd = 0;
            mode = feeType == 4 ? 1 : 2;
        }
        return forwardQuietly(kFeeName, [&] {
            return KORAL_ParaSetHWConfiguration(static_cast<uint16_t>(frontEnd), mode,
                                                static_cast<uint16_t>(sensorType),
                                                static_cast<uint16_t>(pixels), interfaceId);
        });
    });
}
