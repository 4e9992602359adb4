// The sensor description file reader: the format's own rules and the values it
// refuses.

#include "../../platform/tests/temp_dir.h"

#include "hardware/sensor_description.h"

#include "platform/ini_file.h"

#include <gtest/gtest.h>

#include <array>
#include <clocale>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace tarvik::testing {
namespace {

// A version 2000 file that the reader accepts; tests change single lines.
constexpr const char* kValidFile = "[GENERAL]\n"
                                   "VERSION=2000\n"
                                   "SENSOR_TECH=3\n"
                                   "[SENSOR_PARAMETER]\n"
                                   "SENSOR_SIZE=1024\n"
                                   "SENSOR_ORIENTATION=0\n"
                                   "REVISION_PIXEL_2=17\n"
                                   "[INTEGRATIONTIME_PARAMETER]\n"
                                   "N=11\n"
                                   "PAR_A0=1.5e2\n"
                                   "PAR_A1=0.25\n"
                                   "PAR_A2=-3\n"
                                   "PAR_A3=0\n"
                                   "PAR_A4=0\n"
                                   "PAR_A5=0\n"
                                   "PAR_A6=0\n"
                                   "PAR_A7=0\n"
                                   "PAR_A8=0\n"
                                   "PAR_A9=4.9\n"
                                   "PAR_A10=64\n";

// Every output of the reader, preset to values that show whether it wrote.
struct Outputs {
    uint32_t pixels = 111;
    uint32_t rows = 222;
    uint32_t fourth = 333;
    uint16_t technology = 44;
    std::array<double, 12> coefficients{}; // one beyond the eleven, as a guard
    std::array<uint32_t, 6> revision{};    // one beyond the five, as a guard
    uint8_t reversed = 55;

    Outputs() {
        coefficients.fill(-7.0);
        revision.fill(99);
    }
    bool untouched() const { return Outputs().same(*this); }
    bool same(const Outputs& o) const {
        return pixels == o.pixels && rows == o.rows && fourth == o.fourth &&
               technology == o.technology && coefficients == o.coefficients &&
               revision == o.revision && reversed == o.reversed;
    }
};

class SensorDescriptionTest : public ::testing::Test {
protected:
    // The file with `line` in place of the line of `key` (appended, so in the
    // last section, when the key is not there).
    std::string withLine(const std::string& key, const std::string& line) const {
        std::string text = kValidFile;
        const size_t at = text.find("\n" + key + "=");
        if (at == std::string::npos) {
            return text + line + "\n";
        }
        const size_t end = text.find('\n', at + 1);
        return text.replace(at + 1, end - at - 1, line);
    }

    int32_t read(const std::string& text, int32_t capacity = 11, int32_t revisionCount = 5) {
        const std::string path = (dir.path() / "sensor.ini").string();
        std::ofstream(path, std::ios::binary) << text;
        return ReadSensorDescriptionFile(path.c_str(), &out.pixels, &out.rows, &out.fourth,
                                         &out.technology, capacity, out.coefficients.data(),
                                         revisionCount, out.revision.data(), &out.reversed);
    }

    platform::testing::TempDir dir{"tarvik_sensor"};
    Outputs out;
};

TEST_F(SensorDescriptionTest, Version2000FileFillsEveryOutput) {
    ASSERT_EQ(read(kValidFile), 0);
    EXPECT_EQ(out.pixels, 1024u);
    EXPECT_EQ(out.technology, 3);
    EXPECT_EQ(out.reversed, 0);
    EXPECT_EQ(out.rows, 4u); // truncated
    EXPECT_EQ(out.fourth, 64u);
    EXPECT_DOUBLE_EQ(out.coefficients[0], 150.0);
    EXPECT_DOUBLE_EQ(out.coefficients[1], 0.25);
    EXPECT_DOUBLE_EQ(out.coefficients[2], -3.0);
    EXPECT_DOUBLE_EQ(out.coefficients[9], 4.9);
    EXPECT_DOUBLE_EQ(out.coefficients[11], -7.0);
    // Only REVISION_PIXEL_2 is named; the others keep what they held.
    EXPECT_EQ(out.revision, (std::array<uint32_t, 6>{99, 17, 99, 99, 99, 99}));
}

TEST_F(SensorDescriptionTest, Version1000DefaultsRowsAndFourthWordToOne) {
    const std::string text = "[GENERAL]\nVERSION=1000\nSENSOR_TECH=3\n"
                             "[SENSOR_PARAMETER]\nSENSOR_SIZE=512\n"
                             "[INTEGRATIONTIME_PARAMETER]\nN=9\n"
                             "PAR_A0=1\nPAR_A1=2\nPAR_A2=3\nPAR_A3=4\nPAR_A4=5\n"
                             "PAR_A5=6\nPAR_A6=7\nPAR_A7=8\nPAR_A8=9\n";
    ASSERT_EQ(read(text), 0);
    EXPECT_EQ(out.technology, 2); // SENSOR_TECH is not read for version 1000
    EXPECT_DOUBLE_EQ(out.coefficients[9], 1.0);
    EXPECT_DOUBLE_EQ(out.coefficients[10], 1.0);
    EXPECT_EQ(out.rows, 1u);
    EXPECT_EQ(out.fourth, 1u);
    EXPECT_DOUBLE_EQ(out.coefficients[8], 9.0);
}

TEST_F(SensorDescriptionTest, ReversedFileMirrorsRevisionPixels) {
    std::string text = withLine("SENSOR_ORIENTATION", "SENSOR_ORIENTATION=1");
    text = text.replace(text.find("REVISION_PIXEL_2=17"), 19,
                        "REVISION_PIXEL_1=0\nREVISION_PIXEL_5=1023\nREVISION_PIXEL_3=65535");
    ASSERT_EQ(read(text), 0);
    EXPECT_EQ(out.reversed, 1);
    EXPECT_EQ(out.revision[0], 1023u);
    EXPECT_EQ(out.revision[4], 0u);
    EXPECT_EQ(out.revision[2], 99u); // 65535 names no pixel
}

TEST_F(SensorDescriptionTest, MissingOrUnversionedFileIsNotFound) {
    EXPECT_EQ(ReadSensorDescriptionFile("", &out.pixels, nullptr, nullptr, nullptr, 0, nullptr, 0,
                                        nullptr, nullptr),
              kInfoFileNotFound);
    EXPECT_EQ(ReadSensorDescriptionFile(nullptr, &out.pixels, nullptr, nullptr, nullptr, 0, nullptr,
                                        0, nullptr, nullptr),
              kInfoFileNotFound);
    const std::string missing = (dir.path() / "missing.ini").string();
    EXPECT_EQ(ReadSensorDescriptionFile(missing.c_str(), &out.pixels, nullptr, nullptr, nullptr, 0,
                                        nullptr, 0, nullptr, nullptr),
              kInfoFileNotFound);
    EXPECT_EQ(read(withLine("VERSION", "VERSION=0")), kInfoFileNotFound);
    EXPECT_EQ(read(withLine("VERSION", "VERSION=abc")), kInfoFileNotFound);
    EXPECT_TRUE(out.untouched());
}

TEST_F(SensorDescriptionTest, OtherVersionsAreRefused) {
    EXPECT_EQ(read(withLine("VERSION", "VERSION=3000")), kInfoFileVersion);
    EXPECT_EQ(read(withLine("VERSION", "VERSION=-1000")), kInfoFileVersion);
    EXPECT_TRUE(out.untouched());
}

TEST_F(SensorDescriptionTest, ArraysThatAreNotThere) {
    const std::string path = (dir.path() / "sensor.ini").string();
    std::ofstream(path, std::ios::binary) << kValidFile;
    EXPECT_EQ(ReadSensorDescriptionFile(path.c_str(), &out.pixels, nullptr, nullptr, nullptr, 1,
                                        nullptr, 0, nullptr, nullptr),
              kInfoInvalidFunctionUse);
    EXPECT_EQ(ReadSensorDescriptionFile(path.c_str(), &out.pixels, nullptr, nullptr, nullptr, 0,
                                        nullptr, 5, nullptr, nullptr),
              kInfoInvalidFunctionUse);
    EXPECT_EQ(out.pixels, 111u);
    // Nothing asked for, nothing written: the rows still come from PAR_A9.
    EXPECT_EQ(ReadSensorDescriptionFile(path.c_str(), nullptr, &out.rows, nullptr, nullptr, 0,
                                        nullptr, 0, nullptr, nullptr),
              0);
    EXPECT_EQ(out.rows, 4u);
}

TEST_F(SensorDescriptionTest, ShortArraysGetWhatFits) {
    ASSERT_EQ(read(kValidFile, 2, 1), 0);
    EXPECT_DOUBLE_EQ(out.coefficients[1], 0.25);
    EXPECT_DOUBLE_EQ(out.coefficients[2], -7.0);
    EXPECT_EQ(out.revision[1], 99u); // REVISION_PIXEL_2 has no room
    EXPECT_EQ(out.fourth, 64u);
}

TEST_F(SensorDescriptionTest, CoefficientCountMustFitTheVersion) {
    EXPECT_EQ(read(withLine("N", "N=10")), kInfoInvalidValue); // 2000 needs 11
    EXPECT_EQ(read(withLine("N", "N=12")), kInfoInvalidValue);
    std::string v1000 = withLine("VERSION", "VERSION=1000");
    EXPECT_EQ(read(v1000.replace(v1000.find("N=11"), 4, "N=8")), kInfoInvalidValue);
    EXPECT_TRUE(out.untouched());
}

TEST_F(SensorDescriptionTest, MissingOrErrCoefficientIsRefused) {
    EXPECT_EQ(read(withLine("PAR_A4", "PAR_A44=0")), kInfoInvalidValue);
    EXPECT_EQ(read(withLine("PAR_A4", "PAR_A4=ERR")), kInfoInvalidValue);
    EXPECT_TRUE(out.untouched());
}

// Values the library could not use: the file is refused and nothing written.
TEST_F(SensorDescriptionTest, UnusableValuesAreRefused) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"SENSOR_TECH", "SENSOR_TECH=16"},
        {"SENSOR_TECH", "SENSOR_TECH=-1"},
        {"SENSOR_SIZE", "SENSOR_SIZE=0"},
        {"SENSOR_SIZE", "SENSOR_SIZE=-1024"},
        {"SENSOR_SIZE", "SENSOR_SIZE=65536"},
        {"REVISION_PIXEL_2", "REVISION_PIXEL_2=1024"},
        {"REVISION_PIXEL_2", "REVISION_PIXEL_2=-1"},
        {"PAR_A3", "PAR_A3=abc"},
        {"PAR_A3", "PAR_A3=nan"},
        {"PAR_A3", "PAR_A3=1e999"},
        {"PAR_A3", "PAR_A3="},
        {"PAR_A9", "PAR_A9=0.5"},
        {"PAR_A9", "PAR_A9=-2"},
        {"PAR_A9", "PAR_A9=65536"},
        {"PAR_A10", "PAR_A10=1e12"},
        {"PAR_A10", "PAR_A10=0"},
    };
    for (const auto& [key, line] : cases) {
        EXPECT_EQ(read(withLine(key, line)), kInfoInvalidValue) << line;
        EXPECT_TRUE(out.untouched()) << line;
    }
    // The largest values that fit are taken.
    EXPECT_EQ(read(withLine("SENSOR_SIZE", "SENSOR_SIZE=65535")), 0);
    EXPECT_EQ(out.pixels, 65535u);
    EXPECT_EQ(read(withLine("PAR_A9", "PAR_A9=65535.9")), 0);
    EXPECT_EQ(out.rows, 65535u);
}

TEST_F(SensorDescriptionTest, NumbersAreReadInTheCLocale) {
    const char* previous = std::setlocale(LC_NUMERIC, nullptr);
    const std::string saved = previous != nullptr ? previous : "C";
    // A locale with a decimal comma, when the system has one.
    const bool comma = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
    const int32_t result = read(kValidFile);
    std::setlocale(LC_NUMERIC, saved.c_str());
    ASSERT_EQ(result, 0);
    EXPECT_DOUBLE_EQ(out.coefficients[1], 0.25) << (comma ? "comma locale" : "C locale only");
}

TEST_F(SensorDescriptionTest, ParsedFileReadsAsTheFile) {
    platform::IniFile file(kValidFile);
    uint32_t pixels = 0;
    SensorDescriptionOutputs outputs;
    outputs.pixelCount = &pixels;
    EXPECT_EQ(ReadSensorDescription(file, outputs), 0);
    EXPECT_EQ(pixels, 1024u);
    EXPECT_EQ(ReadSensorDescription(platform::IniFile(), outputs), kInfoFileNotFound);
}

} // namespace
} // namespace tarvik::testing
