// Builders of the configuration and boot EEPROM images.

#include "sim/eeprom_images.h"

#include <bit>
#include <cstring>

namespace sim {

namespace {

constexpr uint16_t kKindInterface = 1;
constexpr uint16_t kKindFrontEnd = 2;
constexpr uint16_t kKindMux = 3;
constexpr std::size_t kChecked = 4;
constexpr std::size_t kBootChecked = 20;
constexpr uint16_t kLengthLimit = 253;
constexpr uint16_t kBootLengthLimit = 237;
constexpr uint16_t kBootLength = 28;

void putWord(EepromContents& image, std::size_t offset, uint16_t value) {
    image[offset] = static_cast<uint8_t>(value);
    image[offset + 1] = static_cast<uint8_t>(value >> 8);
}

void putFloat(EepromContents& image, std::size_t offset, float value) {
    const auto bits = std::bit_cast<uint32_t>(value);
    for (std::size_t i = 0; i < 4; ++i) {
        image[offset + i] = static_cast<uint8_t>(bits >> (8 * i));
    }
}

EepromContents blank() {
    EepromContents image;
    image.fill(0xFF);
    return image;
}

void putHeader(EepromContents& image, uint16_t kind, const ImageHeader& header, uint16_t length) {
    putWord(image, 0, length);
    putWord(image, 4, kind);
    putWord(image, 6, header.type);
    putWord(image, 8, static_cast<uint16_t>((header.assembly & 0x0FFF) | header.version << 12));
    putWord(image, 10, header.hardwareVersion);
    putWord(image, 12, header.serialNumber);
    putWord(image, 14, header.logicVersion);
}

void putSensor(EepromContents& image, std::size_t offset, const SensorChannel& sensor) {
    putWord(image, offset, sensor.sensorType);
    putWord(image, offset + 2, sensor.pixels);
    putWord(image, offset + 4, sensor.rows);
    putWord(image, offset + 6, sensor.fourthSensorWord);
    for (std::size_t i = 0; i < 4; ++i) {
        putFloat(image, offset + 8 + 4 * i, sensor.coefficients[i]);
    }
}

// Sensor types whose physical rows are 64.
uint16_t physicalRows(uint16_t sensorType) {
    switch (sensorType) {
    case 6:
    case 7:
    case 8:
    case 9:
    case 17:
        return 64;
    default:
        return 1;
    }
}

SensorChannel sensorOf(const BoardConfig& config) {
    SensorChannel sensor;
    sensor.sensorType = config.sensorType;
    sensor.pixels = config.pixels;
    sensor.rows = 1;
    sensor.fourthSensorWord = physicalRows(config.sensorType);
    for (std::size_t i = 0; i < sensor.coefficients.size(); ++i) {
        sensor.coefficients[i] = static_cast<float>(config.coefficients[i]);
    }
    return sensor;
}

} // namespace

uint16_t crc16(std::span<const uint8_t> bytes) {
    uint16_t crc = 0xFFFF;
    for (uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            const bool low = (crc & 1) != 0;
            crc = static_cast<uint16_t>(crc >> 1);
            if (low) {
                crc ^= 0xA001;
            }
        }
    }
    return crc;
}

uint16_t wordSum(std::span<const uint8_t> bytes) {
    uint16_t sum = 0;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        sum = static_cast<uint16_t>(sum + (bytes[i] | bytes[i + 1] << 8));
    }
    return sum;
}

uint16_t imageWord(const EepromContents& image, std::size_t offset) {
    return static_cast<uint16_t>(image[offset] | image[offset + 1] << 8);
}

void setImageWord(EepromContents& image, std::size_t offset, uint16_t value) {
    putWord(image, offset, value);
}

int muxChannelCount(uint16_t assemblyCode, uint16_t assemblyRevision) {
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
        return assemblyRevision == 0   ? 1
               : assemblyRevision == 1 ? 2
               : assemblyRevision == 2 ? 4
                                       : 0;
    default:
        return 0;
    }
}

void sealImage(EepromContents& image) {
    const uint16_t length = imageWord(image, 0);
    const uint16_t kind = imageWord(image, 4);
    const uint16_t version = imageWord(image, 8) >> 12;
    if (length >= kLengthLimit) {
        return;
    }
    const std::span<const uint8_t> checked(image.data() + kChecked, length);
    bool crc = false;
    switch (kind) {
    case kKindInterface:
        crc = version >= 1;
        break;
    case kKindFrontEnd:
    case kKindMux:
        crc = version >= 2;
        break;
    default:
        return;
    }
    putWord(image, 2, crc ? crc16(checked) : wordSum(checked.first(length / 2 * 2)));
}

void sealBootImage(EepromContents& image) {
    const uint16_t length = imageWord(image, 16);
    if (length >= kBootLengthLimit) {
        return;
    }
    putWord(image, 18, crc16(std::span<const uint8_t>(image.data() + kBootChecked, length)));
}

EepromContents buildInterfaceImage(const InterfaceImageSpec& spec) {
    EepromContents image = blank();
    putHeader(image, kKindInterface, spec.header, 20);
    putWord(image, 16, spec.fifoSize);
    image[18] = spec.serialMuxType;
    image[19] = spec.serialMuxConfig;
    putFloat(image, 20, spec.integrationBase);
    sealImage(image);
    return image;
}

EepromContents buildFrontEndImage(const FrontEndImageSpec& spec) {
    EepromContents image = blank();
    const uint16_t version = spec.header.version;
    const uint16_t length = version == 0 ? 36 : version == 1 ? 40 : 42;
    putHeader(image, kKindFrontEnd, spec.header, length);
    putSensor(image, 16, spec.sensor);
    if (version >= 1) {
        putFloat(image, 40, spec.sensor.coefficients[4]);
    }
    if (version >= 2) {
        putWord(image, 44, spec.clockValue);
    }
    sealImage(image);
    return image;
}

EepromContents buildMuxImage(const MuxImageSpec& spec) {
    EepromContents image = blank();
    const uint16_t version = spec.header.version;
    putHeader(image, kKindMux, spec.header, version == 0 ? 204 : 236);
    const int channels = muxChannelCount(spec.header.type, spec.header.assembly);
    for (int i = 0; i < channels; ++i) {
        const auto index = static_cast<std::size_t>(i);
        putSensor(image, 16 + 24 * index, spec.channels[index]);
        if (version >= 1) {
            putFloat(image, 208 + 4 * index, spec.channels[index].coefficients[4]);
        }
    }
    sealImage(image);
    return image;
}

EepromContents buildBootImage(const BootImageSpec& spec) {
    EepromContents image = blank();
    std::memcpy(image.data(), spec.controllerBytes.data(), spec.controllerBytes.size());
    putWord(image, 16, kBootLength);
    image[20] = spec.version;
    std::memcpy(image.data() + 32, spec.configuration.data(), spec.configuration.size());
    sealBootImage(image);
    return image;
}

BoardImages boardImages(const BoardConfig& config) {
    BoardImages images;
    const SensorChannel sensor = sensorOf(config);
    if (config.interfaceImage != kNoImage) {
        InterfaceImageSpec spec;
        spec.header.type = static_cast<uint16_t>(config.interfaceType);
        spec.header.version = static_cast<uint16_t>(config.interfaceImage);
        spec.header.logicVersion = config.firmwareVersion;
        spec.serialMuxType = config.serialMux;
        spec.serialMuxConfig = config.serialMuxConfig;
        images.interfaceImage = buildInterfaceImage(spec);
    }
    if (config.frontEndImage != kNoImage) {
        FrontEndImageSpec spec;
        spec.header.type = config.frontEndType;
        spec.header.version = static_cast<uint16_t>(config.frontEndImage);
        spec.sensor = sensor;
        spec.clockValue = config.clockValue;
        images.frontEndImage = buildFrontEndImage(spec);
    }
    if (config.muxImage != kNoImage) {
        MuxImageSpec spec;
        spec.header.type = config.muxAssembly;
        spec.header.assembly = config.muxRevision;
        spec.header.version = static_cast<uint16_t>(config.muxImage);
        spec.channels.fill(sensor);
        images.muxImage = buildMuxImage(spec);
    }
    if (config.bootImage != kNoImage && (config.interfaceType == 6 || config.interfaceType == 8)) {
        BootImageSpec spec;
        spec.version = static_cast<uint8_t>(config.bootImage);
        images.bootImage = buildBootImage(spec);
    }
    return images;
}

} // namespace sim
