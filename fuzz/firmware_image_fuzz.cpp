// Firmware image files of the driver's firmware directory: whatever the text,
// an accepted image is a walk of in-range data records of 1 to 16 bytes that
// ends in one end record, and writing it out again reads back the same.
#include "firmware_image.h"

#include "fuzz_check.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

using fuzz::check;
using namespace kavrin;

namespace {

std::string toHex(const FirmwareImage& image) {
    std::string text;
    char field[8];
    for (const FIRMWARE_RECORD& record : image.records) {
        unsigned sum =
            record.length + (record.address >> 8) + (record.address & 0xFF) + record.type;
        std::snprintf(field, sizeof field, ":%02X", record.length);
        text += field;
        std::snprintf(field, sizeof field, "%04X", record.address);
        text += field;
        std::snprintf(field, sizeof field, "%02X", record.type);
        text += field;
        for (uint8_t i = 0; i < record.length; ++i) {
            std::snprintf(field, sizeof field, "%02X", record.data[i]);
            text += field;
            sum += record.data[i];
        }
        std::snprintf(field, sizeof field, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
        text += field;
    }
    return text;
}

void checkImage(std::string_view text, uint32_t loadEnd) {
    ImageProblem problem;
    const std::optional<FirmwareImage> image = ParseFirmwareImage(text, loadEnd, problem);
    if (!image) {
        check(!problem.text.empty());
        return;
    }
    check(image->records.size() >= 2 && image->records.size() <= kMaxImageRecords + 1);
    const FIRMWARE_RECORD& end = image->records.back();
    check(end.type == kRecordTypeEnd && end.length == 0);
    for (std::size_t i = 0; i + 1 < image->records.size(); ++i) {
        const FIRMWARE_RECORD& record = image->records[i];
        check(record.type == kRecordTypeData);
        check(record.length >= 1 && record.length <= kMaxRecordData);
        check(record.address + record.length <= loadEnd);
    }
    ImageProblem again;
    const std::optional<FirmwareImage> reread = ParseFirmwareImage(toHex(*image), loadEnd, again);
    check(reread && reread->records.size() == image->records.size());
    check(std::memcmp(reread->records.data(), image->records.data(),
                      image->records.size() * sizeof(FIRMWARE_RECORD)) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    checkImage(text, kLoadableEnd);
    checkImage(text, kLoaderLoadEnd);
    return 0;
}
