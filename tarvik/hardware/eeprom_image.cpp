#include "hardware/eeprom_image.h"

#include <bit>
#include <cstring>

namespace tarvik {
namespace {

namespace f = image_field;

// The standard table of the reflected polynomial 0xA001.
constexpr std::array<uint16_t, 256> makeCrcTable() {
    std::array<uint16_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint16_t value = static_cast<uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit) {
            value = (value & 1) != 0 ? static_cast<uint16_t>((value >> 1) ^ 0xA001)
                                     : static_cast<uint16_t>(value >> 1);
        }
        table[i] = value;
    }
    return table;
}
constexpr std::array<uint16_t, 256> kCrcTable = makeCrcTable();

constexpr uint16_t kAssemblyMask = 0x0FFF;
constexpr int kVersionShift = 12;

// Reserved areas filled with 0xFF by the upgrades.
constexpr size_t kInterfaceReservedFrom = 24;
constexpr size_t kReservedTo = 80; // exclusive
constexpr size_t kFrontEndReservedFrom = 46;
constexpr size_t kBootReserved1From = 21;
constexpr size_t kBootReserved1To = 32;
constexpr size_t kBootReserved2From = 48;

// Sensor types whose front-end images of versions 0 and 1 mean 64 physical rows.
bool hasSixtyFourRows(uint16_t sensorType) {
    switch (sensorType) {
    case 6:
    case 7:
    case 8:
    case 9:
    case 17:
        return true;
    default:
        return false;
    }
}

void fillFF(uint8_t* image, size_t from, size_t to) {
    std::memset(image + from, 0xFF, to - from);
}

uint16_t versionOf(const uint8_t* image) {
    return static_cast<uint16_t>(imageU16(image, f::kAssembly) >> kVersionShift);
}

// The word at 8 with the version replaced and the assembly number kept.
void setVersion(uint8_t* image, uint16_t version) {
    const uint16_t word = imageU16(image, f::kAssembly);
    setImageU16(image, f::kAssembly,
                static_cast<uint16_t>((word & kAssemblyMask) | (version << kVersionShift)));
}

} // namespace

uint16_t imageU16(const uint8_t* image, size_t offset) {
    return static_cast<uint16_t>(image[offset] | image[offset + 1] << 8);
}

void setImageU16(uint8_t* image, size_t offset, uint16_t value) {
    image[offset] = static_cast<uint8_t>(value);
    image[offset + 1] = static_cast<uint8_t>(value >> 8);
}

float imageF32(const uint8_t* image, size_t offset) {
    const uint32_t bits = static_cast<uint32_t>(image[offset]) |
                          static_cast<uint32_t>(image[offset + 1]) << 8 |
                          static_cast<uint32_t>(image[offset + 2]) << 16 |
                          static_cast<uint32_t>(image[offset + 3]) << 24;
    return std::bit_cast<float>(bits);
}

void setImageF32(uint8_t* image, size_t offset, float value) {
    const auto bits = std::bit_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i) {
        image[offset + static_cast<size_t>(i)] = static_cast<uint8_t>(bits >> (8 * i));
    }
}

uint16_t UpdateCrc16(const uint8_t* data, size_t count, uint16_t& crc) {
    uint16_t value = crc;
    for (size_t i = 0; i < count; ++i) {
        value = static_cast<uint16_t>((value >> 8) ^ kCrcTable[(value ^ data[i]) & 0xFF]);
    }
    crc = value;
    return value;
}

uint16_t WordSum16(const uint8_t* data, size_t words) {
    uint16_t sum = 0;
    for (size_t i = 0; i < words; ++i) {
        sum = static_cast<uint16_t>(sum + imageU16(data, 2 * i));
    }
    return sum;
}

int32_t GetMuxChannelCount(uint32_t assemblyCode, uint32_t assemblyRevision) {
    switch (assemblyCode) {
    case 1:
    case 2:
    case 3:
    case 4:
        return 4;
    case 5:
        return 8;
    case 6:
        return 2;
    case 8:
        switch (assemblyRevision) {
        case 0:
            return 1;
        case 1:
            return 2;
        case 2:
            return 4;
        default:
            return 0;
        }
    default:
        return 0;
    }
}

// --- views

uint16_t EepromHeaderView::length() const {
    return imageU16(image_, f::kLength);
}
void EepromHeaderView::setLength(uint16_t value) const {
    setImageU16(image_, f::kLength, value);
}
uint16_t EepromHeaderView::checksum() const {
    return imageU16(image_, f::kChecksum);
}
uint16_t EepromHeaderView::kind() const {
    return imageU16(image_, f::kKind);
}
uint16_t EepromHeaderView::type() const {
    return imageU16(image_, f::kType);
}
void EepromHeaderView::setType(uint16_t value) const {
    setImageU16(image_, f::kType, value);
}
uint16_t EepromHeaderView::assemblyNumber() const {
    return imageU16(image_, f::kAssembly) & kAssemblyMask;
}
uint16_t EepromHeaderView::imageVersion() const {
    return versionOf(image_);
}
void EepromHeaderView::setImageVersion(uint16_t version) const {
    setVersion(image_, version);
}
uint16_t EepromHeaderView::hardwareVersion() const {
    return imageU16(image_, f::kHardwareVersion);
}
uint16_t EepromHeaderView::serialNumber() const {
    return imageU16(image_, f::kSerialNumber);
}
uint16_t EepromHeaderView::logicVersion() const {
    return imageU16(image_, f::kLogicVersion);
}

uint16_t InterfaceImageView::fifoSize() const {
    return imageU16(image_, f::kFifoSize);
}
uint8_t InterfaceImageView::serialMuxType() const {
    return image_[f::kSerialMuxType];
}
uint8_t InterfaceImageView::serialMuxConfig() const {
    return image_[f::kSerialMuxConfig];
}
void InterfaceImageView::setSerialMux(uint8_t type, uint8_t config) const {
    image_[f::kSerialMuxType] = type;
    image_[f::kSerialMuxConfig] = config;
}
float InterfaceImageView::integrationBase() const {
    return imageF32(image_, f::kIntegrationBase);
}

ImageSensorEntry FrontEndImageView::sensor() const {
    ImageSensorEntry entry;
    entry.sensorType = imageU16(image_, f::kSensorType);
    entry.pixelCount = imageU16(image_, f::kPixelCount);
    entry.rows = imageU16(image_, f::kRows);
    entry.fourthSensorWord = imageU16(image_, f::kFourthSensorWord);
    for (size_t i = 0; i < entry.coefficients.size(); ++i) {
        entry.coefficients[i] = imageF32(image_, f::kCoefficients + 4 * i);
    }
    return entry;
}

void FrontEndImageView::setSensor(const ImageSensorEntry& entry) const {
    setImageU16(image_, f::kSensorType, entry.sensorType);
    setImageU16(image_, f::kPixelCount, entry.pixelCount);
    setImageU16(image_, f::kRows, entry.rows);
    setImageU16(image_, f::kFourthSensorWord, entry.fourthSensorWord);
    for (size_t i = 0; i < entry.coefficients.size(); ++i) {
        setImageF32(image_, f::kCoefficients + 4 * i, entry.coefficients[i]);
    }
}

uint16_t FrontEndImageView::clockValue() const {
    return imageU16(image_, f::kClockValue);
}

ImageSensorEntry MuxImageView::channel(size_t channel) const {
    ImageSensorEntry entry;
    if (channel >= f::kMuxChannels) {
        entry.sensorType = kChannelNotFitted;
        return entry;
    }
    const size_t base = f::kChannelEntries + f::kChannelEntrySize * channel;
    entry.sensorType = imageU16(image_, base);
    entry.pixelCount = imageU16(image_, base + 2);
    entry.rows = imageU16(image_, base + 4);
    entry.fourthSensorWord = imageU16(image_, base + 6);
    for (size_t i = 0; i < 4; ++i) {
        entry.coefficients[i] = imageF32(image_, base + f::kChannelCoefficients + 4 * i);
    }
    entry.coefficients[4] = imageF32(image_, f::kChannelC4 + 4 * channel);
    return entry;
}

void MuxImageView::setChannel(size_t channel, const ImageSensorEntry& entry) const {
    if (channel >= f::kMuxChannels) {
        return;
    }
    const size_t base = f::kChannelEntries + f::kChannelEntrySize * channel;
    setImageU16(image_, base, entry.sensorType);
    setImageU16(image_, base + 2, entry.pixelCount);
    setImageU16(image_, base + 4, entry.rows);
    setImageU16(image_, base + 6, entry.fourthSensorWord);
    for (size_t i = 0; i < 4; ++i) {
        setImageF32(image_, base + f::kChannelCoefficients + 4 * i, entry.coefficients[i]);
    }
    setImageF32(image_, f::kChannelC4 + 4 * channel, entry.coefficients[4]);
}

uint16_t BootImageView::length() const {
    return imageU16(image_, f::kBootLength);
}
uint16_t BootImageView::checksum() const {
    return imageU16(image_, f::kBootChecksum);
}
uint8_t BootImageView::version() const {
    return image_[f::kBootVersion];
}

// --- CEepromImage

bool CEepromImage::fail(uint16_t result) {
    result_ = result;
    return false;
}

bool CEepromImage::Attach(uint8_t* image, uint8_t kind) {
    if (image == nullptr) {
        return fail(kImageResultNoImage);
    }
    image_ = image;
    header_ = image;
    if (kind != 0) {
        kind_ = kind;
    }
    upgraded_ = 0;
    checksum_ = 0;
    result_ = kImageResultOk;
    return true;
}

uint8_t* CEepromImage::GetImage() {
    if (image_ == nullptr) {
        result_ = kImageResultNoImage;
    }
    return image_;
}

uint8_t* CEepromImage::GetHeader() {
    if (header_ == nullptr) {
        result_ = kImageResultNoImage;
    }
    return header_;
}

bool CEepromImage::Clear() {
    if (image_ == nullptr) {
        return fail(kImageResultNoImage);
    }
    std::memset(image_, 0xFF, kEepromImageSize);
    return true;
}

bool CEepromImage::ComputeChecksum(bool store) {
    result_ = kImageResultOk;
    if (image_ == nullptr) {
        return fail(kImageResultNoImage);
    }
    uint16_t value = 0xFFFF;
    if (kind_ == kImageKindBoot) {
        const uint16_t length = imageU16(image_, f::kBootLength);
        if (length >= kBootLengthLimit) {
            return fail(kImageResultLength);
        }
        UpdateCrc16(image_ + f::kBootChecked, length, value);
        checksum_ = value;
        if (store) {
            setImageU16(image_, f::kBootChecksum, value);
        }
        return true;
    }
    if (kind_ != kImageKindInterface && kind_ != kImageKindFrontEnd && kind_ != kImageKindMux) {
        return fail(kImageResultKind);
    }
    const uint16_t length = imageU16(image_, f::kLength);
    if (length >= kImageLengthLimit || (store && length == 0)) {
        return fail(kImageResultLength);
    }
    // The method follows the image's own kind word and version.
    const uint16_t kindWord = imageKindWord(image_);
    const uint16_t version = versionOf(image_);
    bool crc = false;
    switch (kindWord) {
    case kImageKindInterface:
        crc = version >= 1;
        break;
    case kImageKindFrontEnd:
    case kImageKindMux:
        crc = version >= 2;
        break;
    default:
        return fail(kImageResultKind);
    }
    if (crc) {
        UpdateCrc16(image_ + f::kChecked, length, value);
    } else {
        value = WordSum16(image_ + f::kChecked, length / 2);
    }
    checksum_ = value;
    if (store) {
        setImageU16(image_, f::kChecksum, value);
    }
    return true;
}

bool CEepromImage::Verify() {
    if (!ComputeChecksum(false)) {
        return false;
    }
    const size_t at = kind_ == kImageKindBoot ? f::kBootChecksum : f::kChecksum;
    if (imageU16(image_, at) != checksum_) {
        return fail(kImageResultChecksum);
    }
    return true;
}

bool CEepromImage::upgradeInterface(bool write) {
    if (versionOf(image_) > kInterfaceImageVersion) {
        return fail(kImageResultVersion);
    }
    const uint8_t mux = image_[f::kSerialMuxType];
    if (mux != kSerialMuxKrd && mux != kSerialMuxKrl) {
        image_[f::kSerialMuxType] = kNoSerialMux;
        image_[f::kSerialMuxConfig] = 0xFF;
    }
    fillFF(image_, kInterfaceReservedFrom, kReservedTo);
    if (write) {
        setVersion(image_, kInterfaceImageVersion);
        setImageU16(image_, f::kLength, kInterfaceImageLength);
    }
    return true;
}

bool CEepromImage::upgradeFrontEnd(bool write) {
    const uint16_t version = versionOf(image_);
    if (version > kFrontEndImageVersion) {
        return fail(kImageResultVersion);
    }
    if (version < 2) {
        if (version == 0) {
            setImageF32(image_, f::kCoefficients + 16, 0.0f);
        }
        setImageU16(image_, f::kClockValue, 0);
        if (hasSixtyFourRows(imageU16(image_, f::kSensorType))) {
            setImageU16(image_, f::kFourthSensorWord, 64);
        } else {
            setImageU16(image_, f::kRows, 1);
            setImageU16(image_, f::kFourthSensorWord, 1);
        }
    }
    fillFF(image_, kFrontEndReservedFrom, kReservedTo);
    if (write) {
        setVersion(image_, kFrontEndImageVersion);
        setImageU16(image_, f::kLength, kFrontEndImageLength);
    }
    return true;
}

bool CEepromImage::upgradeMux(bool write) {
    const uint16_t version = versionOf(image_);
    if (version > kMuxImageVersion) {
        return fail(kImageResultVersion);
    }
    const uint16_t code = imageU16(image_, f::kType);
    const uint16_t revision = imageU16(image_, f::kAssembly) & kAssemblyMask;
    if (code == 0 || code == 7 || code > 8) {
        return fail(kImageResultMuxCode);
    }
    const auto channels = static_cast<size_t>(GetMuxChannelCount(code, revision));
    if (channels == 0) {
        return fail(kImageResultMuxRevision);
    }
    if (write) {
        setImageU16(image_, f::kLength, kMuxImageLength);
    }
    for (size_t i = 0; i < channels; ++i) {
        const size_t base = f::kChannelEntries + f::kChannelEntrySize * i;
        if (version == 0) {
            setImageF32(image_, f::kChannelC4 + 4 * i, 0.0f);
        }
        setImageU16(image_, base + 4, 1);
        setImageU16(image_, base + 6, 1);
    }
    fillFF(image_, f::kChannelEntries + f::kChannelEntrySize * channels, f::kChannelC4);
    fillFF(image_, f::kChannelC4 + 4 * channels, kEepromImageSize);
    if (write) {
        setVersion(image_, kMuxImageVersion);
    }
    return true;
}

bool CEepromImage::upgradeBoot(bool write) {
    if (image_[f::kBootVersion] > kBootImageVersion) {
        return fail(kImageResultVersion);
    }
    if (write) {
        image_[f::kBootVersion] = kBootImageVersion;
        setImageU16(image_, f::kBootLength, kBootImageLength);
        fillFF(image_, kBootReserved1From, kBootReserved1To);
        fillFF(image_, kBootReserved2From, kEepromImageSize);
    }
    return true;
}

bool CEepromImage::UpgradeLayout(bool write) {
    result_ = kImageResultOk;
    if (image_ == nullptr) {
        return fail(kImageResultNoImage);
    }
    bool done = false;
    switch (kind_) {
    case kImageKindInterface:
        done = upgradeInterface(write);
        break;
    case kImageKindFrontEnd:
        done = upgradeFrontEnd(write);
        break;
    case kImageKindMux:
        done = upgradeMux(write);
        break;
    case kImageKindBoot:
        done = upgradeBoot(write);
        break;
    default:
        return fail(kImageResultKind);
    }
    if (!done) {
        return false;
    }
    upgraded_ = 1;
    return ComputeChecksum(write);
}

bool IsValidEepromImage(uint8_t* image, uint8_t kind, uint16_t* result) {
    CEepromImage view;
    const bool valid = view.Attach(image, kind) && view.Verify() && view.UpgradeLayout(false);
    if (result != nullptr) {
        *result = view.GetResult();
    }
    return valid;
}

} // namespace tarvik
