#include "hardware/actual_configuration.h"

#include "core/export_frame.h"
#include "core/interface_check.h"
#include "core/last_error.h"
#include "core/library_state.h"
#include "core/locks.h"
#include "hardware/eeprom_image.h"
#include "hardware/i2c_access.h"
#include "hardware/sensor_description.h"
#include "hardware/sensor_tables.h"
#include "serial/qre_link.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

namespace tarvik {
namespace {

constexpr const char* kName2 = "KORAL_GetActualConfiguration2";

constexpr uint32_t kUnknownType = 0xFFFFFFFFu;
constexpr uint32_t kStartValue = static_cast<uint32_t>(-100);
constexpr size_t kChannels = 8;

constexpr int32_t kCodeUnknownImageVersion = 513; // "UNKNOWN EEPROM IMAGE VERSION"
constexpr int32_t kInfoInterfaceEeprom = 828;     // "READING EEPROM INTERFACE"

// The serial link's configuration block: status, then the short images.
constexpr size_t kBlockStatus = 2;
constexpr size_t kBlockInterface = 4; // interface image bytes 0-23
constexpr size_t kBlockInterfaceBytes = 24;
constexpr size_t kBlockFrontEnd = 28; // front-end image bytes 0-39
constexpr size_t kBlockFrontEndBytes = 40;
constexpr size_t kBlockMux = 68; // multiplexer image bytes 0-207
constexpr size_t kBlockMuxBytes = 208;
static_assert(kBlockMux + kBlockMuxBytes <= kQreConfigurationBlockSize);
constexpr uint16_t kBlockStatusRead = 1;
constexpr uint16_t kBlockStatusReadToo = 254;

// Flags of channels taken from images besides bit 3 or bit 8.
constexpr uint32_t kFrontEndChannelFlags = kConfigFromImages | KORAL_CONFIG_SAME_AS_CHANNEL0(0);
constexpr uint32_t kMuxChannelFlags = kConfigFromImages | kConfigMuxImage;

constinit std::atomic<ConfigurationDialogHook> g_dialogHook{nullptr};

struct Channel {
    uint32_t sensorType = kStartValue;
    uint32_t pixelCount = kStartValue;
    uint32_t rows = kStartValue;
    uint32_t fourthSensorWord = kStartValue;

    bool operator==(const Channel&) const = default;
};

bool isAbsentLength(uint16_t length) {
    return length == 0 || length == 255 || length == 65535;
}

bool isValidInterfaceType(uint32_t type) {
    switch (type) {
    case kTypeIsa:
    case kTypeSerial:
    case kTypePci:
    case kTypeBoard5:
    case kTypeUsb:
    case kTypeUsb2:
        return true;
    default:
        return false;
    }
}

bool isBoardType(uint32_t type) {
    return type == kTypePci || type == kTypeBoard5 || type == kTypeUsb || type == kTypeUsb2;
}

// Front-end types 4 and 5 are not accepted.
bool isValidFrontEndType(uint32_t type) {
    return type <= 11 && type != 4 && type != 5;
}

Channel channelOfImage(const ImageSensorEntry& entry) {
    const uint16_t rows = entry.rows == 0 || entry.rows == 65535 ? 1 : entry.rows;
    return {entry.sensorType, entry.pixelCount, rows, entry.fourthSensorWord};
}

void markFailed(uint8_t* image) {
    setImageU16(image, image_field::kLength, kImageFailedMark);
}

void clearImage(uint8_t* image) {
    std::memset(image, 0xFF, kEepromImageSize);
}

uint16_t imageType(const uint8_t* image) {
    return imageU16(image, image_field::kType);
}

enum class ImageCheck { Valid, UpgradeFailed, Rejected };

// An image read from the board: its kind word and checksum first, then the
// layout. An upgrade failure leaves its result.
ImageCheck checkBoardImage(uint8_t* image, uint8_t kind, uint16_t& upgradeResult) {
    CEepromImage view;
    view.Attach(image, kind);
    if (imageKindWord(image) != kind || !view.Verify()) {
        return ImageCheck::Rejected;
    }
    if (!view.UpgradeLayout(false)) {
        upgradeResult = view.GetResult();
        return ImageCheck::UpgradeFailed;
    }
    return ImageCheck::Valid;
}

// An image of the serial electronics' block: it carries no checksum of its
// own there, so it is only brought to the current layout.
bool upgradeBlockImage(uint8_t* image, uint8_t kind, uint16_t& upgradeResult) {
    CEepromImage view;
    if (view.Attach(image, kind) && view.UpgradeLayout(false)) {
        return true;
    }
    upgradeResult = view.GetResult();
    return false;
}

// One run of ReadHardwareConfiguration.
class ConfigurationReader {
public:
    ConfigurationReader(int32_t id, DeviceSlot& slot, ActualConfigurationRecord& record)
        : id_(id), slot_(slot), record_(record) {}

    uint32_t run();

private:
    uint8_t* area(size_t offset) { return slot_.configuration.data() + offset; }
    bool optionAcceptsMissingImages() const { return (slot_.optionByte & 1) != 0; }

    void fail(int32_t level, int32_t code, int32_t info);
    // 4/303 with 828, 829 or 830: an earlier info stays.
    void failImage(int32_t info);
    // The same, and the image marked as failed.
    void failImageAt(uint8_t* image, int32_t info);
    // A failed image: 0xFF, and the mark and the record unless the slot's
    // option accepts missing images.
    void rejectImage(uint8_t* image, int32_t info);
    // A type that is not accepted: an image of a later version, or a bad value.
    void failType(uint16_t upgradeResult, int32_t imageInfo);
    // The type of an image read from the board: accept(image) for a valid one,
    // unknown after an upgrade failure, the fallback for a rejected one.
    template <class Accept>
    uint32_t boardImageType(uint8_t* image, uint8_t kind, uint16_t& upgradeResult, int32_t info,
                            uint32_t fallback, Accept accept);
    bool readImage(uint8_t address, uint8_t* image);
    void decideSerialBlock();
    const uint8_t* block() const { return qreLink()->configuration.data(); }
    uint16_t blockLength(size_t offset) const { return imageU16(block(), offset); }

    uint32_t interfaceType();
    uint32_t serialInterfaceType(uint32_t onEntry);
    uint32_t boardInterfaceType(uint32_t onEntry);
    uint32_t frontEndType();
    uint32_t serialFrontEndType(uint32_t configured);
    uint32_t boardFrontEndType(uint32_t configured);
    uint32_t muxType();
    uint32_t serialMuxType(uint32_t configured);
    uint32_t boardMuxType(uint32_t configured);
    uint32_t acceptFrontEnd(uint8_t* image);
    uint32_t acceptMux(uint8_t* image);
    uint32_t channels(uint32_t mux);
    Channel configuredChannel(size_t i) const;
    void fillConfigured(size_t entries);
    void loadDescriptionFile();
    void finish();

    const int32_t id_;
    DeviceSlot& slot_;
    ActualConfigurationRecord& record_;
    uint32_t flags_ = 0;
    bool error_ = false;
    bool useBlock_ = false;
    bool blockPending_ = false;
    bool frontEndValid_ = false;
    bool muxValid_ = false;
    uint16_t interfaceUpgrade_ = kImageResultOk;
    uint16_t frontEndUpgrade_ = kImageResultOk;
    uint16_t muxUpgrade_ = kImageResultOk;
    uint32_t channelCount_ = 1;
    std::array<Channel, kChannels> channels_{};
};

void ConfigurationReader::fail(int32_t level, int32_t code, int32_t info) {
    recordError(id_, level, code, info);
    error_ = true;
}

void ConfigurationReader::failImage(int32_t info) {
    const int32_t kept = lastErrorRecord().info;
    fail(KORAL_LEVEL_NOT_DONE, code::kDeviceIo, kept != 0 ? kept : info);
}

void ConfigurationReader::failImageAt(uint8_t* image, int32_t info) {
    markFailed(image);
    failImage(info);
}

void ConfigurationReader::rejectImage(uint8_t* image, int32_t info) {
    clearImage(image);
    if (!optionAcceptsMissingImages()) {
        failImageAt(image, info);
    }
}

// The board's read of a whole image; its own failure record is not kept.
void ConfigurationReader::failType(uint16_t upgradeResult, int32_t imageInfo) {
    if (upgradeResult == kImageResultVersion) {
        fail(KORAL_LEVEL_NOT_DONE, kCodeUnknownImageVersion, imageInfo);
    } else {
        fail(KORAL_LEVEL_NOT_DONE, code::kDeviceIo, code::kInvalidEepromValue);
    }
}

template <class Accept>
uint32_t ConfigurationReader::boardImageType(uint8_t* image, uint8_t kind, uint16_t& upgradeResult,
                                             int32_t info, uint32_t fallback, Accept accept) {
    switch (checkBoardImage(image, kind, upgradeResult)) {
    case ImageCheck::Valid:
        return accept(image);
    case ImageCheck::UpgradeFailed:
        return kUnknownType;
    case ImageCheck::Rejected:
        break;
    }
    rejectImage(image, info);
    return fallback;
}

bool ConfigurationReader::readImage(uint8_t address, uint8_t* image) {
    SaveLastError();
    const bool done = KORAL_I2C_Read_EEPROM_X(address, image, static_cast<uint32_t>(id_)) == 0;
    RestoreLastError();
    return done;
}

// The serial electronics' images come from the link's configuration block:
// copied when nothing was read yet and the link has read the block, kept from
// an earlier valid read otherwise.
void ConfigurationReader::decideSerialBlock() {
    const uint32_t word = slot_.configurationWord;
    if (qreLink() == nullptr) {
        return;
    }
    const uint16_t status = imageU16(block(), kBlockStatus);
    blockPending_ =
        word == kConfigNothingRead && (status == kBlockStatusRead || status == kBlockStatusReadToo);
    useBlock_ = blockPending_ || (word != 0 && (word & kConfigError) == 0);
}

uint32_t ConfigurationReader::run() {
    recordErrorInfo(0);
    decideSerialBlock();
    {
        // Nested exports show nothing; this read's failure is shown once, by
        // its caller.
        ErrorBoxOff boxOff;
        interfaceType();
        record_.frontEndType = frontEndType();
        record_.muxType = muxType();
    }
    record_.muxType = channels(record_.muxType);
    if (channels_[0].sensorType == kFileSensorType) {
        loadDescriptionFile();
    }
    finish();
    slot_.configurationWord = flags_ | (error_ ? kConfigError : 0);
    return slot_.configurationWord;
}

uint32_t ConfigurationReader::interfaceType() {
    const uint32_t onEntry = record_.interfaceType;
    uint32_t type = kUnknownType;
    if (onEntry == kTypeIsa) {
        type = kTypeIsa;
    } else if (onEntry == kTypeSerial) {
        type = serialInterfaceType(onEntry);
    } else if (isBoardType(onEntry)) {
        type = boardInterfaceType(onEntry);
    } else {
        fail(KORAL_LEVEL_IGNORED, code::kInvalidParameter, code::kInvalidInterfaceType);
        flags_ = 0;
    }
    if (isValidInterfaceType(type)) {
        record_.interfaceType = type;
    } else {
        record_.interfaceType = kTypeUsb;
        flags_ = 0;
        failType(interfaceUpgrade_, kInfoInterfaceEeprom);
    }
    return record_.interfaceType;
}

uint32_t ConfigurationReader::serialInterfaceType(uint32_t onEntry) {
    uint8_t* image = area(kInterfaceImageArea);
    if (!useBlock_) {
        setImageU16(image, image_field::kLength, 0);
        return libraryState()->interfaceTypeInUse;
    }
    if (isAbsentLength(blockLength(kBlockInterface))) {
        failImageAt(image, kInfoInterfaceEeprom);
        return onEntry;
    }
    if (blockPending_) {
        std::memcpy(image, block() + kBlockInterface, kBlockInterfaceBytes);
    }
    if (upgradeBlockImage(image, kImageKindInterface, interfaceUpgrade_)) {
        flags_ |= kConfigInterfaceImage;
        return imageType(image);
    }
    failImageAt(image, kInfoInterfaceEeprom);
    return onEntry;
}

uint32_t ConfigurationReader::boardInterfaceType(uint32_t onEntry) {
    uint8_t* image = area(kInterfaceImageArea);
    if (!readImage(kInterfaceEepromAddress, image)) {
        clearImage(image);
        failImageAt(image, kInfoInterfaceEeprom);
        return onEntry;
    }
    return boardImageType(image, kImageKindInterface, interfaceUpgrade_, kInfoInterfaceEeprom,
                          onEntry, [this](uint8_t* valid) {
                              flags_ |= kConfigInterfaceImage;
                              return imageType(valid);
                          });
}

uint32_t ConfigurationReader::acceptFrontEnd(uint8_t* image) {
    RemapImageSensorType(image + image_field::kSensorType);
    frontEndValid_ = true;
    flags_ |= kConfigFrontEndImage;
    return imageType(image);
}

uint32_t ConfigurationReader::frontEndType() {
    const uint32_t configured = slot_.frontEndType;
    uint32_t type = configured;
    if (record_.interfaceType == kTypeSerial) {
        type = serialFrontEndType(configured);
    } else if (isBoardType(record_.interfaceType)) {
        type = boardFrontEndType(configured);
    }
    if (isValidFrontEndType(type)) {
        return type;
    }
    failType(frontEndUpgrade_, code::kReadingEepromFrontEnd);
    return 3;
}

uint32_t ConfigurationReader::serialFrontEndType(uint32_t configured) {
    uint8_t* image = area(kFrontEndImageArea);
    if (!useBlock_) {
        return configured;
    }
    if (isAbsentLength(blockLength(kBlockFrontEnd))) {
        if (!optionAcceptsMissingImages()) {
            failImageAt(image, code::kReadingEepromFrontEnd);
        }
        return configured;
    }
    if (blockPending_) {
        std::memcpy(image, block() + kBlockFrontEnd, kBlockFrontEndBytes);
        setImageF32(image, image_field::kCoefficients + 4 * 4, 0.0f);
    }
    if (upgradeBlockImage(image, kImageKindFrontEnd, frontEndUpgrade_)) {
        return acceptFrontEnd(image);
    }
    failImageAt(image, code::kReadingEepromFrontEnd);
    return configured;
}

uint32_t ConfigurationReader::boardFrontEndType(uint32_t configured) {
    uint8_t* image = area(kFrontEndImageArea);
    if (!readImage(kFrontEndEepromAddress, image)) {
        rejectImage(image, code::kReadingEepromFrontEnd);
        return configured;
    }
    return boardImageType(image, kImageKindFrontEnd, frontEndUpgrade_, code::kReadingEepromFrontEnd,
                          configured, [this](uint8_t* valid) { return acceptFrontEnd(valid); });
}

uint32_t ConfigurationReader::acceptMux(uint8_t* image) {
    for (size_t i = 0; i < image_field::kMuxChannels; ++i) {
        RemapImageSensorType(image + image_field::kChannelEntries +
                             i * image_field::kChannelEntrySize);
    }
    muxValid_ = true;
    return imageType(image);
}

uint32_t ConfigurationReader::muxType() {
    const uint32_t configured = slot_.muxType;
    if (record_.interfaceType == kTypeSerial) {
        return serialMuxType(configured);
    }
    if (isBoardType(record_.interfaceType)) {
        return boardMuxType(configured);
    }
    return configured;
}

uint32_t ConfigurationReader::serialMuxType(uint32_t configured) {
    uint8_t* image = area(kMuxImageArea);
    if (!useBlock_) {
        return configured;
    }
    const uint16_t length = blockLength(kBlockMux);
    if (length == 0) {
        setImageU16(image, image_field::kLength, 0);
        return configured;
    }
    if (isAbsentLength(length)) {
        failImageAt(image, code::kReadingEepromMux);
        return 0;
    }
    if (blockPending_) {
        std::memcpy(image, block() + kBlockMux, kBlockMuxBytes);
        std::memset(image + image_field::kChannelC4, 0, 4 * image_field::kMuxChannels);
    }
    if (upgradeBlockImage(image, kImageKindMux, muxUpgrade_)) {
        return acceptMux(image);
    }
    failImageAt(image, code::kReadingEepromMux);
    return configured;
}

uint32_t ConfigurationReader::boardMuxType(uint32_t configured) {
    uint8_t* image = area(kMuxImageArea);
    // A board without a multiplexer EEPROM is no failure: the probe and the
    // read leave no record.
    SaveLastError();
    const bool read =
        ProbeI2CDevice(kMuxEepromAddress, static_cast<uint32_t>(id_)) &&
        KORAL_I2C_Read_EEPROM_X(kMuxEepromAddress, image, static_cast<uint32_t>(id_)) == 0;
    RestoreLastError();
    if (!read) {
        clearImage(image);
        setImageU16(image, image_field::kLength, 0);
        const uint8_t serialMux = area(kInterfaceImageArea)[image_field::kSerialMuxType];
        if (serialMux == kSerialMuxKrd || serialMux == kSerialMuxKrl) {
            muxValid_ = true;
            return serialMux;
        }
        return configured;
    }
    return boardImageType(image, kImageKindMux, muxUpgrade_, code::kReadingEepromMux, 0,
                          [this](uint8_t* valid) { return acceptMux(valid); });
}

Channel ConfigurationReader::configuredChannel(size_t i) const {
    return {slot_.sensorType[i], slot_.block()->NumberPixel2Long, slot_.rows[i],
            slot_.fourthSensorWord[i]};
}

// The configured channel count with the configured values; every entry below
// the count gets them, also beyond the multiplexer's own entries.
void ConfigurationReader::fillConfigured(size_t entries) {
    channelCount_ = std::min<uint32_t>(slot_.muxChannels, kChannels);
    const size_t filled = std::min(kChannels, std::max<size_t>(entries, channelCount_));
    for (size_t i = 0; i < filled; ++i) {
        channels_[i] = configuredChannel(i);
    }
}

// Returns the multiplexer type the record keeps.
uint32_t ConfigurationReader::channels(uint32_t mux) {
    uint8_t* frontEnd = area(kFrontEndImageArea);
    uint8_t* muxImage = area(kMuxImageArea);
    switch (mux) {
    case 0:
        channelCount_ = 1;
        if (frontEndValid_) {
            channels_[0] = channelOfImage(FrontEndImageView(frontEnd).sensor());
            flags_ |= kFrontEndChannelFlags;
        } else {
            channels_[0] = configuredChannel(0);
        }
        return mux;
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
    case 8: {
        const size_t entries = mux == 5 ? 8 : mux == 6 ? 2 : 4;
        if (!muxValid_) {
            fillConfigured(entries);
            return mux;
        }
        const MuxImageView view(muxImage);
        channelCount_ = 0;
        for (size_t i = 0; i < entries; ++i) {
            channels_[i] = channelOfImage(view.channel(i));
            if (channels_[i].sensorType < kChannelNotFitted) {
                ++channelCount_;
            }
        }
        for (size_t i = 0; i < entries; ++i) {
            if (channels_[i].sensorType < kChannelNotFitted && channels_[i] == channels_[0]) {
                flags_ |= KORAL_CONFIG_SAME_AS_CHANNEL0(i);
            }
        }
        flags_ |= kMuxChannelFlags;
        return mux;
    }
    case kSerialMuxKrd:
    case kSerialMuxKrl: {
        const auto entries = static_cast<size_t>(
            std::clamp<int32_t>(GetSerialMuxChannelCount(id_), 0, static_cast<int32_t>(kChannels)));
        if (!frontEndValid_) {
            fillConfigured(entries);
            return mux;
        }
        const Channel channel = channelOfImage(FrontEndImageView(frontEnd).sensor());
        channelCount_ = static_cast<uint32_t>(entries);
        for (size_t i = 0; i < entries; ++i) {
            channels_[i] = channel;
            if (channel.sensorType < kChannelNotFitted) {
                flags_ |= KORAL_CONFIG_SAME_AS_CHANNEL0(i);
            }
        }
        flags_ |= kMuxChannelFlags;
        return mux;
    }
    default:
        channelCount_ = 1;
        channels_[0] = {0, 256, 1, 1};
        failType(muxUpgrade_, code::kReadingEepromMux);
        return 0;
    }
}

void ConfigurationReader::loadDescriptionFile() {
    Channel& first = channels_[0];
    const int32_t result =
        LoadSlotSensorDescription(id_, slot_, first.pixelCount, first.rows, first.fourthSensorWord);
    if (result != 0) {
        fail(KORAL_LEVEL_NOT_DONE, code::kLoadingConfigurationFile, result);
        return;
    }
    for (size_t i = 1; i < channelCount_; ++i) {
        channels_[i].pixelCount = first.pixelCount;
        channels_[i].rows = first.rows;
        channels_[i].fourthSensorWord = first.fourthSensorWord;
    }
}

void ConfigurationReader::finish() {
    record_.reserved = 0;
    record_.channelCount = channelCount_;
    for (size_t i = 0; i < kChannels; ++i) {
        const Channel channel = i < channelCount_ ? channels_[i] : Channel{0, 0, 0, 0};
        record_.sensorType[i] = channel.sensorType;
        record_.pixelCount[i] = channel.pixelCount;
        record_.rows[i] = channel.rows;
        record_.fourthSensorWord[i] = channel.fourthSensorWord;
    }
}

} // namespace

uint32_t ReadHardwareConfiguration(int32_t interfaceId, ActualConfigurationRecord& record) {
    DeviceSlot* slot = deviceSlot(interfaceId);
    if (slot == nullptr) {
        recordError(interfaceId, KORAL_LEVEL_IGNORED, code::kDeviceNotOpen, code::kInvalidUse);
        return kConfigError;
    }
    return ConfigurationReader(interfaceId, *slot, record).run();
}

int32_t LoadSlotSensorDescription(int32_t interfaceId, DeviceSlot& slot, uint32_t& pixelCount,
                                  uint32_t& rows, uint32_t& fourthSensorWord) {
    const LibraryState* state = libraryState();
    const std::string name = state != nullptr && interfaceId >= 1 && interfaceId <= kMaxInterfaceId
                                 ? state->sensorDescriptionFiles[static_cast<size_t>(interfaceId)]
                                 : std::string();
    slot.revisionPixels.fill(kNoRevisionPixel);
    const int32_t result = ReadSensorDescriptionFile(
        name.c_str(), &pixelCount, &rows, &fourthSensorWord, &slot.sensorTechnology,
        static_cast<int32_t>(slot.sensorCoefficients.size()), slot.sensorCoefficients.data(),
        static_cast<int32_t>(slot.revisionPixels.size()), slot.revisionPixels.data(),
        &slot.sensorReversed);
    if (result != 0) {
        slot.sensorFileLoaded = 0;
        slot.revisionPixelFlag = 0;
        return result;
    }
    slot.sensorFileLoaded = 1;
    slot.revisionPixelFlag = std::any_of(slot.revisionPixels.begin(), slot.revisionPixels.end(),
                                         [](uint32_t pixel) { return pixel != kNoRevisionPixel; })
                                 ? 1
                                 : 0;
    return 0;
}

ConfigurationDialogHook setConfigurationDialogHook(ConfigurationDialogHook hook) {
    return g_dialogHook.exchange(hook);
}

int32_t KORAL_GetActualConfiguration2(uint32_t mode, ActualConfigurationRecord* record,
                                      uint32_t interfaceId) {
    return runExport(kName2, [&]() -> int32_t {
        const auto id = static_cast<int32_t>(interfaceId);
        if (checkInterfaceForExport(kName2, kCheckSlotExists, id) != 0) {
            return -1;
        }
        std::lock_guard guard(deviceLock());
        const LibraryState* state = libraryState();
        DeviceSlot* slot = deviceSlot(id);
        // ID 0 would pair the scratch slot with the actual interface.
        if (id == 0 || slot == nullptr || state == nullptr || state->actualInterfaceId == 0) {
            return failExport(kName2, id, KORAL_LEVEL_IGNORED, code::kDeviceNotOpen,
                              code::kInvalidUse);
        }
        if (record == nullptr) {
            return failExport(kName2, 0, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        }
        if (mode == kConfigModeCached) {
            *record = slot->actualConfiguration;
            return 0;
        }
        ActualConfigurationRecord read{};
        read.interfaceType = state->interfaceTypeInUse;
        const uint32_t flags = ReadHardwareConfiguration(id, read);
        *record = read;
        if (mode == kConfigModeDialog1 || mode == kConfigModeDialog2) {
            if (ConfigurationDialogHook hook = g_dialogHook.load()) {
                SaveLastError();
                hook(0, 0);
                RestoreLastError();
            }
        }
        if ((flags & kConfigError) != 0) {
            failExport(kName2);
        }
        return static_cast<int32_t>(flags);
    });
}

} // namespace tarvik

// --- exports

using namespace tarvik;

namespace {

// KORAL_GetActualConfiguration2 with the box off; the failure is shown once,
// under the export's name, with the box as it was. The copy runs under the
// DeviceLock.
template <class Copy>
int32_t runConfigurationExport(const char* name, uint32_t mode, const void* output,
                               uint32_t interfaceId, Copy&& copy) {
    return runExport(name, [&]() -> int32_t {
        if (output == nullptr) {
            return failExport(name, 0, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        }
        ActualConfigurationRecord record{};
        int32_t result = 0;
        {
            ErrorBoxOff boxOff;
            result = KORAL_GetActualConfiguration2(mode, &record, interfaceId);
        }
        if (result < 0) {
            return failExport(name);
        }
        std::lock_guard guard(deviceLock());
        copy(record);
        return result;
    });
}

} // namespace

extern "C" int32_t KORAL_GetActualConfiguration(uint32_t mode, uint32_t values[7],
                                                uint32_t interfaceId) {
    return runConfigurationExport("KORAL_GetActualConfiguration", mode, values, interfaceId,
                                  [&](const ActualConfigurationRecord& record) {
                                      values[0] = record.interfaceType;
                                      values[1] = record.reserved;
                                      values[2] = record.frontEndType;
                                      values[3] = record.muxType;
                                      values[4] = record.channelCount;
                                      values[5] = record.sensorType[0];
                                      values[6] = record.pixelCount[0];
                                  });
}

extern "C" int32_t KORAL_GetActualConfigurationEx(uint32_t mode, void* buffer,
                                                  uint32_t interfaceId) {
    return runConfigurationExport("KORAL_GetActualConfigurationEx", mode, buffer, interfaceId,
                                  [&](const ActualConfigurationRecord& record) {
                                      std::memcpy(buffer, &record,
                                                  KORAL_ACTUAL_CONFIGURATION_EX_SIZE);
                                  });
}
