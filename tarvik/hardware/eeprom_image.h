#pragma once
// The configuration EEPROM images of an interface (interface board 0xA2, front
// end 0xA0, multiplexer 0xA4, 256 bytes each), the boot EEPROM image of the
// USB boards, their two checksums, and CEepromImage, the view that verifies an
// image and brings its layout to the current image version.
//
// Images are byte buffers from the board, i.e. outside input: every field is
// read and written by offset, little-endian, and nothing here reads or writes
// beyond the 256 bytes whatever the image holds.
//
// Use for an image read over I2C:
//     CEepromImage image;
//     image.Attach(bytes, kImageKindFrontEnd);
//     if (imageKindWord(bytes) == kImageKindFrontEnd && image.Verify() &&
//         image.UpgradeLayout(false)) { ...FrontEndImageView(bytes)... }
// Nothing here takes a lock; callers use it under their own DeviceLock.

#include <array>
#include <cstddef>
#include <cstdint>

namespace tarvik {

inline constexpr size_t kEepromImageSize = 256;

// Image kinds (header word at 4; kind 10 is the boot image, which has no kind word).
inline constexpr uint8_t kImageKindInterface = 1;
inline constexpr uint8_t kImageKindFrontEnd = 2;
inline constexpr uint8_t kImageKindMux = 3;
inline constexpr uint8_t kImageKindBoot = 10;

// I2C addresses of the configuration EEPROMs.
inline constexpr uint8_t kFrontEndEepromAddress = 0xA0;
inline constexpr uint8_t kInterfaceEepromAddress = 0xA2;
inline constexpr uint8_t kMuxEepromAddress = 0xA4;

// The areas of the slot's ConfigurationImageBlock (DeviceSlot::configuration).
inline constexpr size_t kInterfaceImageArea = 0;
inline constexpr size_t kFrontEndImageArea = 256;
inline constexpr size_t kMuxImageArea = 512;
inline constexpr size_t kBootImageArea = 768;

// First word of an image that could not be read or did not verify.
inline constexpr uint16_t kImageFailedMark = 65534;

// CEepromImage result codes.
inline constexpr uint16_t kImageResultOk = 0;
inline constexpr uint16_t kImageResultVersion = 1;     // image version not supported
inline constexpr uint16_t kImageResultChecksum = 2;    // checksum mismatch
inline constexpr uint16_t kImageResultKind = 4;        // unknown image kind
inline constexpr uint16_t kImageResultMuxCode = 5;     // multiplexer assembly code
inline constexpr uint16_t kImageResultMuxRevision = 6; // assembly revision (assembly code 8)
inline constexpr uint16_t kImageResultLength = 7;      // length out of range
inline constexpr uint16_t kImageResultNoImage = 255;   // no image attached

// Current layouts.
inline constexpr uint16_t kInterfaceImageVersion = 0;
inline constexpr uint16_t kInterfaceImageLength = 20;
inline constexpr uint16_t kFrontEndImageVersion = 2;
inline constexpr uint16_t kFrontEndImageLength = 42;
inline constexpr uint16_t kMuxImageVersion = 2;
inline constexpr uint16_t kMuxImageLength = 236;
inline constexpr uint8_t kBootImageVersion = 0;
inline constexpr uint16_t kBootImageLength = 28;
// Lengths must stay below these (checked bytes from offset 4, boot: from 20).
inline constexpr uint16_t kImageLengthLimit = 253;
inline constexpr uint16_t kBootLengthLimit = 237;

// Field offsets.
namespace image_field {
// Common header of the interface, front-end and multiplexer images.
inline constexpr size_t kLength = 0;
inline constexpr size_t kChecksum = 2;
inline constexpr size_t kKind = 4;
inline constexpr size_t kType = 6;
inline constexpr size_t kAssembly = 8;         // bits 0-11 assembly number, 12-15 image version
inline constexpr size_t kHardwareVersion = 10; // times 10
inline constexpr size_t kSerialNumber = 12;
inline constexpr size_t kLogicVersion = 14; // times 100
inline constexpr size_t kChecked = 4;       // first checked byte
// Interface board image.
inline constexpr size_t kFifoSize = 16;
inline constexpr size_t kSerialMuxType = 18;   // u8: 7 MUX-KRD, 9 MUX-KRL, 255 none
inline constexpr size_t kSerialMuxConfig = 19; // u8: bits 0-3 COM port, 4-7 assembly code
inline constexpr size_t kIntegrationBase = 20; // f32, Hz
// Front-end image.
inline constexpr size_t kSensorType = 16;
inline constexpr size_t kPixelCount = 18;
inline constexpr size_t kRows = 20;
inline constexpr size_t kFourthSensorWord = 22;
inline constexpr size_t kCoefficients = 24; // f32 c0..c4 at 24 + 4 i
inline constexpr size_t kClockValue = 44;
// Multiplexer image: channel i at 16 + 24 i (sensor type, pixels, rows,
// fourth word, c0..c3), c4 of channel i at 208 + 4 i.
inline constexpr size_t kChannelEntries = 16;
inline constexpr size_t kChannelEntrySize = 24;
inline constexpr size_t kChannelCoefficients = 8;
inline constexpr size_t kChannelC4 = 208;
inline constexpr size_t kMuxChannels = 8;
// Boot image.
inline constexpr size_t kBootLength = 16;
inline constexpr size_t kBootChecksum = 18;
inline constexpr size_t kBootVersion = 20; // u8
inline constexpr size_t kBootChecked = 20;
} // namespace image_field

// Sensor type of a multiplexer channel that is not fitted.
inline constexpr uint16_t kChannelNotFitted = 65535;
// Serial multiplexer types of the interface board image.
inline constexpr uint8_t kSerialMuxKrd = 7;
inline constexpr uint8_t kSerialMuxKrl = 9;
inline constexpr uint8_t kNoSerialMux = 255;

// Little-endian fields of an image; offsets must leave room for the field.
uint16_t imageU16(const uint8_t* image, size_t offset);
void setImageU16(uint8_t* image, size_t offset, uint16_t value);
float imageF32(const uint8_t* image, size_t offset);
void setImageF32(uint8_t* image, size_t offset, float value);
// The header's image kind word (offset 4).
inline uint16_t imageKindWord(const uint8_t* image) {
    return imageU16(image, image_field::kKind);
}

// CRC-16 with the reflected polynomial 0xA001 (the MODBUS parameters): start
// with crc = 0xFFFF; returns the new value and leaves it in crc.
uint16_t UpdateCrc16(const uint8_t* data, size_t count, uint16_t& crc);
// 16-bit wrapping sum of `words` little-endian words.
uint16_t WordSum16(const uint8_t* data, size_t words);

// Channel entries of a multiplexer image for its assembly code and revision
// (0 for an unsupported combination).
int32_t GetMuxChannelCount(uint32_t assemblyCode, uint32_t assemblyRevision);

// The sensor description of the front-end image or of one multiplexer channel.
struct ImageSensorEntry {
    uint16_t sensorType = 0;
    uint16_t pixelCount = 0;
    uint16_t rows = 0;
    uint16_t fourthSensorWord = 0;
    std::array<float, 5> coefficients{}; // c0..c4
};

// Header fields of the interface, front-end and multiplexer images.
class EepromHeaderView {
public:
    explicit EepromHeaderView(uint8_t* image) : image_(image) {}
    uint16_t length() const;
    void setLength(uint16_t value) const;
    uint16_t checksum() const;
    uint16_t kind() const;
    uint16_t type() const;
    void setType(uint16_t value) const;
    uint16_t assemblyNumber() const; // bits 0-11 of the word at 8
    uint16_t imageVersion() const;   // bits 12-15 of the word at 8
    void setImageVersion(uint16_t version) const;
    uint16_t hardwareVersion() const;
    uint16_t serialNumber() const;
    uint16_t logicVersion() const;
    uint8_t* image() const { return image_; }

protected:
    uint8_t* image_;
};

class InterfaceImageView : public EepromHeaderView {
public:
    using EepromHeaderView::EepromHeaderView;
    uint16_t fifoSize() const;
    uint8_t serialMuxType() const;
    uint8_t serialMuxConfig() const;
    void setSerialMux(uint8_t type, uint8_t config) const;
    float integrationBase() const;
};

class FrontEndImageView : public EepromHeaderView {
public:
    using EepromHeaderView::EepromHeaderView;
    ImageSensorEntry sensor() const;
    void setSensor(const ImageSensorEntry& entry) const;
    uint16_t clockValue() const;
};

class MuxImageView : public EepromHeaderView {
public:
    using EepromHeaderView::EepromHeaderView;
    // channel 0..7 (other values read as a channel that is not fitted).
    ImageSensorEntry channel(size_t channel) const;
    void setChannel(size_t channel, const ImageSensorEntry& entry) const;
};

class BootImageView {
public:
    explicit BootImageView(uint8_t* image) : image_(image) {}
    uint16_t length() const;
    uint16_t checksum() const;
    uint8_t version() const;
    uint8_t* image() const { return image_; }

private:
    uint8_t* image_;
};

// One image, verified and upgraded in place. A plain class made on the stack
// for one image; it does not own the bytes.
class CEepromImage {
public:
    CEepromImage() = default;

    // Points the views at the 256 bytes; a nonzero kind replaces the kind.
    // Null: result 255, false.
    bool Attach(uint8_t* image, uint8_t kind);
    // Computes the image's checksum (method by kind and image version) into
    // checksum(); with store also into the image. False with result 7 (length
    // out of range), 4 (unknown kind) or 255 (no image).
    bool ComputeChecksum(bool store);
    // ComputeChecksum(false) and the comparison with the stored value;
    // mismatch: result 2, false.
    bool Verify();
    // Brings the layout to the current image version in memory; with write
    // also the version, the length and the checksum. False with the result.
    bool UpgradeLayout(bool write);
    // All 256 bytes 0xFF; false (result 255) without an image.
    bool Clear();

    bool IsUpgraded() const { return upgraded_ != 0; }
    bool IsError() const { return result_ != kImageResultOk; }
    uint16_t GetResult() const { return result_; }
    uint16_t GetChecksum() const { return checksum_; }
    uint8_t GetKind() const { return kind_; }
    // Null (result 255) without an image.
    uint8_t* GetImage();
    uint8_t* GetHeader();

    // Typed views (valid after a successful Attach).
    EepromHeaderView header() const { return EepromHeaderView(image_); }
    InterfaceImageView interfaceImage() const { return InterfaceImageView(image_); }
    FrontEndImageView frontEndImage() const { return FrontEndImageView(image_); }
    MuxImageView muxImage() const { return MuxImageView(image_); }
    BootImageView bootImage() const { return BootImageView(image_); }

private:
    bool fail(uint16_t result);
    bool upgradeInterface(bool write);
    bool upgradeFrontEnd(bool write);
    bool upgradeMux(bool write);
    bool upgradeBoot(bool write);

    uint8_t* image_ = nullptr;
    uint8_t* header_ = nullptr;
    uint8_t kind_ = 0;
    uint8_t upgraded_ = 0;
    uint16_t checksum_ = 0;
    uint16_t result_ = kImageResultOk;
};

// Attach, Verify and UpgradeLayout without write: the test of a valid image
// (the kind word is not looked at; callers that need it check it first).
bool IsValidEepromImage(uint8_t* image, uint8_t kind, uint16_t* result = nullptr);

} // namespace tarvik
