// A configuration EEPROM image as the board hands it over: the first input
// byte picks the kind CEepromImage is told, the rest is the image (padded
// with 0xFF like an erased EEPROM). No read or write beyond the 256 bytes,
// checksums that agree with the simulation's independent ones, and an image
// that the upgrade wrote is valid, current and stays as it is when upgraded
// again.
#include "hardware/eeprom_image.h"
#include "sim/eeprom_images.h"

#include "fuzz_check.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

using fuzz::check;
using namespace tarvik;

namespace {

uint16_t independentChecksum(const uint8_t* image) {
    const uint16_t length = imageU16(image, image_field::kLength);
    const uint16_t kind = imageKindWord(image);
    const uint16_t version = imageU16(image, image_field::kAssembly) >> 12;
    const std::span<const uint8_t> checked(image + image_field::kChecked, length);
    const bool crc = kind == kImageKindInterface ? version >= 1 : version >= 2;
    return crc ? sim::crc16(checked) : sim::wordSum(checked);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const uint8_t kind = data[0] % 5; // 0..3 and one unknown kind
    // A heap block of exactly 256 bytes, so that the sanitizer sees any overrun.
    const auto image = std::make_unique<uint8_t[]>(kEepromImageSize);
    std::memset(image.get(), 0xFF, kEepromImageSize);
    std::memcpy(image.get(), data + 1, std::min(size - 1, kEepromImageSize));

    CEepromImage view;
    check(view.Attach(image.get(), kind));
    if (view.ComputeChecksum(false)) {
        check(imageU16(image.get(), image_field::kLength) < kImageLengthLimit);
        check(view.GetChecksum() == independentChecksum(image.get()));
    } else {
        const uint16_t result = view.GetResult();
        check(result == kImageResultLength || result == kImageResultKind);
    }
    const bool verified = view.Verify();
    check(verified || view.IsError());

    // The views read every field of every layout without leaving the image.
    const ImageSensorEntry frontEnd = view.frontEndImage().sensor();
    const InterfaceImageView face = view.interfaceImage();
    uint32_t sink = frontEnd.sensorType + face.fifoSize() + face.serialMuxType();
    for (size_t channel = 0; channel <= image_field::kMuxChannels; ++channel) {
        sink += view.muxImage().channel(channel).pixelCount;
    }
    (void)sink;

    const uint16_t kindWord = imageKindWord(image.get());
    if (view.UpgradeLayout(true)) {
        check(view.IsUpgraded());
        check(kind == kImageKindInterface || kind == kImageKindFrontEnd || kind == kImageKindMux);
        const EepromHeaderView header = view.header();
        if (kind == kImageKindFrontEnd) {
            check(header.imageVersion() == kFrontEndImageVersion);
            check(header.length() == kFrontEndImageLength);
        } else if (kind == kImageKindMux) {
            check(header.imageVersion() == kMuxImageVersion);
            check(header.length() == kMuxImageLength);
            check(GetMuxChannelCount(header.type(), header.assemblyNumber()) > 0);
        } else {
            check(header.imageVersion() == kInterfaceImageVersion);
            check(header.length() == kInterfaceImageLength);
        }
        // The checksum follows the kind word, which the upgrade does not touch.
        check(imageKindWord(image.get()) == kindWord);
        if (kindWord == kind) {
            uint8_t copy[kEepromImageSize];
            std::memcpy(copy, image.get(), kEepromImageSize);
            check(IsValidEepromImage(image.get(), kind));
            CEepromImage again;
            check(again.Attach(image.get(), kind) && again.UpgradeLayout(true));
            check(std::memcmp(copy, image.get(), kEepromImageSize) == 0);
        }
    } else {
        // A layout brought up to date whose checksum then cannot be stored
        // (a kind word the method cannot follow) fails but counts as upgraded.
        check(view.IsError());
        check(!view.IsUpgraded() || view.GetResult() == kImageResultKind);
    }
    return 0;
}
