// The boot EEPROM image of a USB board as read at open or by the boot EEPROM
// exports: checked as kind 10 (a CRC over a length of its own) and upgraded.
// No read beyond the 256 bytes, a CRC that agrees with the simulation's, the
// microcontroller's bytes 0..15 never changed, and a written image valid.
#include "hardware/eeprom_image.h"
#include "sim/eeprom_images.h"

#include "fuzz_check.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

using fuzz::check;
using namespace tarvik;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto image = std::make_unique<uint8_t[]>(kEepromImageSize);
    std::memset(image.get(), 0xFF, kEepromImageSize);
    std::memcpy(image.get(), data, std::min(size, kEepromImageSize));
    uint8_t controller[16];
    std::memcpy(controller, image.get(), sizeof controller);

    CEepromImage view;
    check(view.Attach(image.get(), kImageKindBoot));
    const uint16_t length = imageU16(image.get(), image_field::kBootLength);
    if (view.ComputeChecksum(false)) {
        check(length < kBootLengthLimit);
        check(view.GetChecksum() == sim::crc16({image.get() + image_field::kBootChecked, length}));
    } else {
        check(length >= kBootLengthLimit && view.GetResult() == kImageResultLength);
    }
    const bool valid = view.Verify() && view.UpgradeLayout(false);
    check(valid == IsValidEepromImage(image.get(), kImageKindBoot));

    if (view.UpgradeLayout(true)) {
        check(view.bootImage().version() == kBootImageVersion);
        check(view.bootImage().length() == kBootImageLength);
        check(IsValidEepromImage(image.get(), kImageKindBoot));
        check(std::all_of(image.get() + 48, image.get() + kEepromImageSize,
                          [](uint8_t b) { return b == 0xFF; }));
    } else {
        check(view.IsError());
    }
    check(std::memcmp(controller, image.get(), sizeof controller) == 0);
    return 0;
}
