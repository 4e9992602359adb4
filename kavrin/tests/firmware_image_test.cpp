// The image loader: Intel HEX text into FIRMWARE_RECORDs, every record checked
// before anything could be sent.

#include "firmware_image.h"

#include "kavrin_test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>

namespace {

using namespace kavrin;

// One record with a correct checksum.
std::string record(uint8_t type, uint16_t address, const std::vector<uint8_t>& data) {
    return sim::intelHexLine(type, address, data);
}

const std::string kEnd = ":00000001FF\n";

std::optional<FirmwareImage> parse(const std::string& text, ImageProblem& problem,
                                   uint32_t loadEnd = kLoadableEnd) {
    return ParseFirmwareImage(text, loadEnd, problem);
}

TEST(FirmwareImage, LongRecordsAreSplitIntoSixteenByteRecordsEndedByTheEndRecord) {
    std::vector<uint8_t> data(40);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i + 1);
    }
    ImageProblem problem;
    const auto image = parse(record(0, 0x1FF0, data) + kEnd, problem);
    ASSERT_TRUE(image) << problem.describe();
    ASSERT_EQ(image->records.size(), 4u);
    EXPECT_EQ(image->records[0].address, 0x1FF0);
    EXPECT_EQ(image->records[0].length, 16);
    EXPECT_EQ(image->records[1].address, 0x2000);
    EXPECT_EQ(image->records[1].data[0], 17);
    EXPECT_EQ(image->records[2].address, 0x2010);
    EXPECT_EQ(image->records[2].length, 8);
    EXPECT_EQ(image->records[2].data[7], 40);
    EXPECT_EQ(image->records[3].type, kRecordTypeEnd);
    EXPECT_EQ(image->records[3].length, 0);
}

TEST(FirmwareImage, LowerCaseDigitsCrLfAndBlankLinesAreAccepted) {
    std::string text = record(0, 0x0100, {0xAB, 0xCD});
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    text.insert(text.size() - 1, "\r");
    ImageProblem problem;
    const auto image = parse("\n" + text + "\r\n" + kEnd + "\n\n", problem);
    ASSERT_TRUE(image) << problem.describe();
    EXPECT_EQ(image->records[0].data[0], 0xAB);
}

struct BadImage {
    const char* what;
    std::string text;
    std::size_t line;
    const char* reason;
};

class FirmwareImageRefuses : public ::testing::TestWithParam<BadImage> {};

TEST_P(FirmwareImageRefuses, WithLineAndReason) {
    ImageProblem problem;
    EXPECT_FALSE(parse(GetParam().text, problem, kLoadableEnd));
    EXPECT_EQ(problem.line, GetParam().line);
    EXPECT_NE(problem.text.find(GetParam().reason), std::string::npos) << problem.describe();
    EXPECT_FALSE(problem.missing);
}

std::string withChecksum(std::string line, const char* checksum) {
    line.replace(line.size() - 3, 2, checksum);
    return line;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FirmwareImageRefuses,
    ::testing::Values(
        BadImage{"checksum", withChecksum(record(0, 0x100, {1, 2}), "00") + kEnd, 1, "checksum"},
        BadImage{"no colon", "0200000001020C\n" + kEnd, 1, "':'"},
        BadImage{"odd digits", ":0201000001020\n" + kEnd, 1, "odd"},
        BadImage{"not hex", ":02010000010G0A\n" + kEnd, 1, "hex digit"},
        BadImage{"length", ":0301000001020A\n" + kEnd, 1, "does not match"},
        BadImage{"short", ":0000\n" + kEnd, 1, "too short"},
        BadImage{"empty data record", record(0, 0x100, {}) + kEnd, 1, "without data"},
        BadImage{"segment address", record(2, 0, {0x10, 0x00}) + kEnd, 1, "type 02"},
        BadImage{"start address", record(5, 0, {0, 0, 0, 0}) + kEnd, 1, "type 05"},
        BadImage{"cpu control register", record(0, 0xE600, {0}) + kEnd, 1, "load range"},
        BadImage{"crosses into registers", record(0, 0xE1FF, {1, 2}) + kEnd, 1, "load range"},
        BadImage{"past 64 KiB", record(0, 0xFFFF, {1, 2}) + kEnd, 1, "load range"},
        BadImage{"end with data", record(0, 0x100, {1}) + record(1, 0, {1}), 2, "end record"},
        BadImage{"missing end", record(0, 0x100, {1}), 0, "no end record"},
        BadImage{"after end", record(0, 0x100, {1}) + kEnd + record(0, 0x200, {1}), 3,
                 "after the end"},
        BadImage{"only end", kEnd, 0, "no data records"},
        BadImage{"too long line", ":" + std::string(600, '0') + "\n" + kEnd, 1, "too long"}),
    [](const ::testing::TestParamInfo<BadImage>& info) {
        std::string name = info.param.what;
        for (char& c : name) {
            if (!std::isalnum(static_cast<unsigned char>(c))) {
                c = '_';
            }
        }
        return name;
    });

TEST(FirmwareImage, TheLoaderMustFitWhereTheChipPlacesIt) {
    ImageProblem problem;
    const std::string text = record(0, 0x1B30, std::vector<uint8_t>(16, 1)) + kEnd;
    EXPECT_TRUE(parse(text, problem, kLoaderLoadEnd));
    const std::string over = record(0, 0x1B31, std::vector<uint8_t>(16, 1)) + kEnd;
    EXPECT_FALSE(parse(over, problem, kLoaderLoadEnd));
    EXPECT_TRUE(parse(over, problem, kLoadableEnd));
}

TEST(FirmwareImage, SizeBoundsHoldBeforeParsing) {
    ImageProblem problem;
    EXPECT_FALSE(parse(std::string(kMaxImageFileSize + 1, '\n'), problem));
    EXPECT_NE(problem.text.find("larger"), std::string::npos);

    // Many one-byte records, each within range, overflow the record bound.
    std::string many;
    for (std::size_t i = 0; i <= kMaxImageRecords; ++i) {
        many += record(0, static_cast<uint16_t>(i % 0xE000), {1});
    }
    EXPECT_FALSE(parse(many + kEnd, problem));
    EXPECT_NE(problem.text.find("records"), std::string::npos);
}

TEST(FirmwareImage, FilesMissingTooLargeOrGood) {
    kavrintest::TempDir dir;
    ImageProblem problem;
    EXPECT_FALSE(ReadFirmwareImageFile(dir.path() / "image2.hex", kLoadableEnd, problem));
    EXPECT_TRUE(problem.missing);

    const auto big = dir.write("big.hex", std::string(kMaxImageFileSize + 10, '\n'));
    EXPECT_FALSE(ReadFirmwareImageFile(big, kLoadableEnd, problem));
    EXPECT_FALSE(problem.missing);

    EXPECT_FALSE(ReadFirmwareImageFile(dir.path(), kLoadableEnd, problem)); // a directory

    const auto good = dir.write("good.hex", record(0, 0x100, {7}) + kEnd);
    const auto image = ReadFirmwareImageFile(good, kLoadableEnd, problem);
    ASSERT_TRUE(image) << problem.describe();
    EXPECT_EQ(image->records.front().data[0], 7);
}

// The images shipped in the source tree are those the simulated board knows,
// and each passes the loader's checks for its slot.
TEST(FirmwareImage, ShippedImagesLoadAndAreTheSimulatedBoardsOwn) {
    for (int index : {1, 2, 3, 5}) {
        const std::filesystem::path path = std::filesystem::path(KAVRIN_FIRMWARE_SOURCE_DIR) /
                                           ("image" + std::to_string(index) + ".hex");
        ImageProblem problem;
        const auto image =
            ReadFirmwareImageFile(path, index == 1 ? kLoaderLoadEnd : kLoadableEnd, problem);
        ASSERT_TRUE(image) << path << ": " << problem.describe();
        std::ifstream file(path);
        const std::string text((std::istreambuf_iterator<char>(file)), {});
        EXPECT_EQ(text, sim::fx2ImageHex(*sim::fx2ShippedImage(index))) << path;
    }
}

} // namespace
