#include "firmware_image.h"

#include "platform/device.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <system_error>

namespace kavrin {

namespace {

std::string hex2(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X", value & 0xFF);
    return text;
}

std::optional<FirmwareImage> fail(ImageProblem& problem, std::size_t line, std::string text) {
    problem.line = line;
    problem.text = std::move(text);
    return std::nullopt;
}

// The bytes of one line (after the colon), or a reason.
bool decodeLine(std::string_view line, std::vector<uint8_t>& bytes, std::string& reason) {
    if (line.size() > kMaxHexLineLength) {
        reason = "line too long";
        return false;
    }
    if (line.front() != ':') {
        reason = "line does not start with ':'";
        return false;
    }
    const std::string_view digits = line.substr(1);
    if (digits.size() % 2 != 0) {
        reason = "odd number of hex digits";
        return false;
    }
    bytes.clear();
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        const int high = platform::detail::hexDigit(digits[i]);
        const int low = platform::detail::hexDigit(digits[i + 1]);
        if (high < 0 || low < 0) {
            reason = "not a hex digit";
            return false;
        }
        bytes.push_back(static_cast<uint8_t>(high << 4 | low));
    }
    if (bytes.size() < 5) {
        reason = "record too short";
        return false;
    }
    if (bytes.size() != bytes[0] + 5u) {
        reason = "record length " + std::to_string(bytes[0]) + " does not match its data";
        return false;
    }
    unsigned sum = 0;
    for (uint8_t b : bytes) {
        sum += b;
    }
    if ((sum & 0xFF) != 0) {
        reason = "checksum mismatch";
        return false;
    }
    return true;
}

} // namespace

std::string ImageProblem::describe() const {
    if (line == 0) {
        return text;
    }
    return "line " + std::to_string(line) + ": " + text;
}

std::optional<FirmwareImage> ParseFirmwareImage(std::string_view text, uint32_t loadEnd,
                                                ImageProblem& problem) {
    problem = {};
    if (text.size() > kMaxImageFileSize) {
        return fail(problem, 0,
                    "image larger than " + std::to_string(kMaxImageFileSize) + " bytes");
    }
    FirmwareImage image;
    bool ended = false;
    std::vector<uint8_t> bytes;
    std::size_t lineNumber = 0;
    std::size_t position = 0;
    while (position < text.size()) {
        std::size_t end = text.find('\n', position);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view line = text.substr(position, end - position);
        position = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty()) {
            continue;
        }
        if (ended) {
            return fail(problem, lineNumber, "data after the end record");
        }
        std::string reason;
        if (!decodeLine(line, bytes, reason)) {
            return fail(problem, lineNumber, reason);
        }
        const uint8_t length = bytes[0];
        const uint32_t address = static_cast<uint32_t>(bytes[1] << 8 | bytes[2]);
        const uint8_t type = bytes[3];
        if (type == kRecordTypeEnd) {
            if (length != 0) {
                return fail(problem, lineNumber, "end record with data");
            }
            ended = true;
            continue;
        }
        if (type != kRecordTypeData) {
            return fail(problem, lineNumber, "record type " + hex2(type) + " not supported");
        }
        if (length == 0) {
            return fail(problem, lineNumber, "data record without data");
        }
        if (address + length > loadEnd) {
            return fail(problem, lineNumber,
                        "data at 0x" + hex2(address >> 8) + hex2(address) + ".." +
                            std::to_string(length) + " bytes outside the load range");
        }
        for (std::size_t offset = 0; offset < length; offset += kMaxRecordData) {
            if (image.records.size() >= kMaxImageRecords) {
                return fail(problem, lineNumber,
                            "more than " + std::to_string(kMaxImageRecords) + " records");
            }
            FIRMWARE_RECORD record{};
            record.length =
                static_cast<uint8_t>(std::min<std::size_t>(kMaxRecordData, length - offset));
            record.address = static_cast<uint16_t>(address + offset);
            record.type = kRecordTypeData;
            std::copy_n(bytes.begin() + 4 + static_cast<std::ptrdiff_t>(offset), record.length,
                        record.data);
            image.records.push_back(record);
        }
    }
    if (!ended) {
        return fail(problem, 0, "no end record");
    }
    if (image.records.empty()) {
        return fail(problem, 0, "no data records");
    }
    FIRMWARE_RECORD endRecord{};
    endRecord.type = kRecordTypeEnd;
    image.records.push_back(endRecord);
    return image;
}

std::optional<FirmwareImage> ReadFirmwareImageFile(const std::filesystem::path& path,
                                                   uint32_t loadEnd, ImageProblem& problem) {
    problem = {};
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
        problem.missing = true;
        return fail(problem, 0, "no such file");
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return fail(problem, 0, "cannot be opened");
    }
    // One byte more than allowed tells a file that is too large.
    std::string text(kMaxImageFileSize + 1, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (file.bad()) {
        return fail(problem, 0, "cannot be read");
    }
    text.resize(static_cast<std::size_t>(file.gcount()));
    return ParseFirmwareImage(text, loadEnd, problem);
}

} // namespace kavrin
