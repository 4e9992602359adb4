#pragma once
// Firmware images as the driver loads them from its firmware directory, and
// FIRMWARE_RECORD, the unit it sends to the board.
//
// An image file is Intel HEX text: lines ":LLAAAATT<data>CC" (hex digits of
// either case; LL data bytes, AAAA load address, TT record type, CC the two's
// complement of the sum of the other bytes), LF or CR LF line ends, blank lines
// allowed. Only data records (00) of 1 to 255 bytes and one end record (01, no
// data) at the end are accepted. Every record is checked before anything is
// sent: checksum, length, type, the load range, the end record, the size of
// the file and the number of records. A data record longer than 16 bytes
// becomes several FIRMWARE_RECORDs.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kavrin {

#pragma pack(push, 1)
struct FIRMWARE_RECORD {
    uint8_t length; // data bytes used, 0..16
    uint8_t padding1;
    uint16_t address; // load address in the microcontroller's memory
    uint8_t type;     // 0 data; any other value ends the image
    uint8_t data[16];
    uint8_t padding2;
};
#pragma pack(pop)
static_assert(sizeof(FIRMWARE_RECORD) == 22);
static_assert(offsetof(FIRMWARE_RECORD, address) == 2);
static_assert(offsetof(FIRMWARE_RECORD, type) == 4);
static_assert(offsetof(FIRMWARE_RECORD, data) == 5);

inline constexpr uint8_t kRecordTypeData = 0;
inline constexpr uint8_t kRecordTypeEnd = 1;
inline constexpr std::size_t kMaxRecordData = 16;

// Load ranges (exclusive ends). Program and data memory and the scratch RAM
// end at 0xE200; the registers above, the CPU control register among them,
// are the driver's alone. The loader image must fit where the chip's own load
// request places it.
inline constexpr uint32_t kLoadableEnd = 0xE200;
inline constexpr uint32_t kLoaderLoadEnd = 0x1B40;

inline constexpr std::size_t kMaxImageFileSize = 512 * 1024;
inline constexpr std::size_t kMaxImageRecords = 16384;
inline constexpr std::size_t kMaxHexLineLength = 1 + 2 * (5 + 255);

struct FirmwareImage {
    // Data records in file order, then one end record (type 1, length 0).
    std::vector<FIRMWARE_RECORD> records;
};

struct ImageProblem {
    bool missing = false; // the file does not exist
    std::size_t line = 0; // 1-based; 0 for the file as a whole
    std::string text;

    std::string describe() const;
};

// loadEnd: the exclusive end of the range every data record must lie in.
std::optional<FirmwareImage> ParseFirmwareImage(std::string_view text, uint32_t loadEnd,
                                                ImageProblem& problem);
std::optional<FirmwareImage> ReadFirmwareImageFile(const std::filesystem::path& path,
                                                   uint32_t loadEnd, ImageProblem& problem);

// The data bytes of a record.
inline std::span<const uint8_t> recordData(const FIRMWARE_RECORD& record) {
    return {record.data, record.length};
}

} // namespace kavrin
