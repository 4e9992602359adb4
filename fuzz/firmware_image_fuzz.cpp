// Firmware image files of the driver's firmware directory: whatever the text,
// an accepted image is a walk of in-range data records of 1 to 16 bytes that
// ends in one end record, and writing it out again reads back the same.
#include "firmware_image.h"

#include "fuzz_check.h"
#include "sim/fx2_board.h"

#include <cstring>
#include <string>
#include <string_view>

using fuzz::check;
using namespace kavrin;

namespace {

std::string toHex(const FirmwareImage& image) {
    std::string text;
    for (const FIRMWARE_RECORD& record : image.records) {
        text += sim::intelHexLine(record.type, record.address, recordData(record));
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
