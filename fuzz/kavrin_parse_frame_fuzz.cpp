// Scan frames from the board: whatever the bytes and whatever the counts the
// last initialisation recorded, the parser reads only the frame, writes only
// its destination, and answers 0, 105 or 158 with a saturation of 0, 198 or
// 199. A frame that has the size and terminators the counts ask for parses.
//
// Input: 8 bytes of layout and flags, then the frame.
#include "frame_parser.h"

#include "fuzz_check.h"

#include <algorithm>
#include <cstring>
#include <vector>

using fuzz::check;
using namespace kavrin;

namespace {

constexpr std::size_t kGuard = 16;
constexpr uint8_t kGuardByte = 0xA5;

bool wellFormed(const std::vector<uint8_t>& frame, const FrameLayout& layout) {
    if (frame.size() != layout.frameSize()) {
        return false;
    }
    const std::size_t scanBytes = (static_cast<std::size_t>(layout.pixelCount) + 2) * 2;
    for (std::size_t end = scanBytes; end <= frame.size(); end += scanBytes) {
        if (frame[end - 2] != kTerminator0 || frame[end - 1] != kTerminator1) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8) {
        return 0;
    }
    FrameLayout layout;
    layout.pixelCount = data[0] % 65;
    layout.keptPixelCount = data[1] % 66;
    layout.numScans = data[2] % 9;
    layout.differential = (data[3] & 0x80) != 0;
    layout.saturationCheck = (data[3] & 0x40) != 0;
    layout.saturationPeriod = data[4];
    layout.saturationStart = data[5] & 0x0F;
    layout.saturationEndMargin = data[5] >> 4;
    const uint32_t flags = data[6] & 0x0F;
    const std::size_t capacity = data[7] * 8u;
    const std::vector<uint8_t> frame(data + 8, data + size);

    std::vector<uint8_t> destination(capacity + kGuard, kGuardByte);
    const ParseResult result =
        ParseFrame(std::span<uint8_t>(destination).first(capacity), frame, flags, layout);
    check(result.error == 0 || result.error == 105 || result.error == 158);
    check(result.saturation == 0 || result.saturation == 198 || result.saturation == 199);
    check(std::all_of(destination.end() - kGuard, destination.end(),
                      [](uint8_t b) { return b == kGuardByte; }));

    const uint64_t kept = std::min(layout.keptPixelCount, layout.pixelCount);
    const uint64_t results =
        (flags & kParseAverage) != 0 || layout.differential ? 1 : layout.wireScans();
    const uint64_t needed = results * kept * ((flags & kParse32Bit) != 0 ? 4 : 2);
    if (wellFormed(frame, layout) && needed <= capacity) {
        check(result.ok());
    }
    if (frame.size() < layout.frameSize() && kept * ((flags & kParse32Bit) ? 4 : 2) <= capacity) {
        check(!result.ok());
    }

    uint16_t warning = 198;
    uint16_t status = 0;
    ReportParse(result, warning, status);
    check(status == result.error);
    check(warning == result.saturation);
    return 0;
}
