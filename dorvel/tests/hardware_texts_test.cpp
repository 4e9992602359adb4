#include "dorvel/hardware_texts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace dorvel {
namespace {

bool isUnknown(const char* text) {
    return std::strncmp(text, "Unknown", 7) == 0;
}

TEST(HardwareTexts, InterfaceTypes) {
    const CHardwareTexts texts;
    EXPECT_STREQ(texts.GetInterfaceText(1), "ISA board");
    EXPECT_STREQ(texts.GetInterfaceText(3), "Serial electronics QRE");
    EXPECT_STREQ(texts.GetInterfaceText(4), "PCI board");
    EXPECT_STREQ(texts.GetInterfaceText(6), "USB board ");
    EXPECT_EQ(std::string(texts.GetInterfaceText(6)) + "V" + "2", "USB board V2");
    for (const int16_t code : {5, 8}) {
        EXPECT_FALSE(isUnknown(texts.GetInterfaceText(code))) << code;
    }
    EXPECT_STREQ(texts.GetInterfaceText(0), "Unknown interface type 0");
    EXPECT_STREQ(texts.GetInterfaceText(111), "Unknown interface type 111");
    EXPECT_STREQ(texts.GetInterfaceText(-1), "Unknown interface type -1");
}

TEST(HardwareTexts, FrontEndsAndMultiplexers) {
    const CHardwareTexts texts;
    for (int16_t code = 0; code <= 11; ++code) {
        EXPECT_FALSE(isUnknown(texts.GetFrontEndText(code))) << code;
    }
    EXPECT_STREQ(texts.GetFrontEndText(11), "Front end type 11 with cooled detector board");
    EXPECT_STREQ(texts.GetFrontEndText(12), "Unknown front end type 12");
    for (int16_t code = 0; code <= 10; ++code) {
        EXPECT_FALSE(isUnknown(texts.GetMultiplexerText(code))) << code;
    }
    EXPECT_STREQ(texts.GetMultiplexerText(0), "No multiplexer");
    EXPECT_STREQ(texts.GetMultiplexerText(7), "Serial multiplexer MUX-KRD");
    EXPECT_STREQ(texts.GetMultiplexerText(11), "Unknown multiplexer type 11");
    EXPECT_STREQ(texts.GetMultiplexerText(-32768), "Unknown multiplexer type -32768");
}

TEST(HardwareTexts, EverySensorTypeOfTheTablesHasATextAndOthersTheUnknownForm) {
    const CHardwareTexts texts;
    std::vector<int16_t> known;
    for (int16_t t = 0; t <= 22; ++t) {
        known.push_back(t);
    }
    known.push_back(128);
    known.push_back(129);
    for (const int16_t t : known) {
        EXPECT_FALSE(isUnknown(texts.GetSensorText(t))) << t;
        EXPECT_FALSE(isUnknown(GetSensorTypeText(t))) << t;
    }
    EXPECT_STREQ(texts.GetSensorText(7), "Sensor type 7");
    EXPECT_STREQ(GetSensorTypeText(7), "Sensor type 7, technology 3");
    EXPECT_STREQ(GetSensorTypeText(22), "Sensor type 22, technology 0");
    EXPECT_STREQ(GetSensorTypeText(12), "Sensor type 12 (older code of type 11), technology 1");
    EXPECT_STREQ(texts.GetSensorText(128), "File-described sensor");
    for (const int16_t t : {23, 127, 130, -1}) {
        EXPECT_EQ(texts.GetSensorText(t), "Unknown sensor type " + std::to_string(t));
        EXPECT_EQ(GetSensorTypeText(t), "Unknown sensor type " + std::to_string(t));
    }
}

TEST(HardwareTexts, SensorLengths) {
    for (const int16_t pixels : {128, 256, 512, 532, 738, 1024, 1044, 2048, 2080, 4256, 8352}) {
        EXPECT_EQ(GetSensorLengthText(pixels), std::to_string(pixels) + " pixels");
    }
    EXPECT_STREQ(GetSensorLengthText(3000), "3000 pixels (non-standard length)");
    EXPECT_STREQ(GetSensorLengthText(0), "Unknown sensor length 0");
    EXPECT_STREQ(GetSensorLengthText(-5), "Unknown sensor length -5");
}

TEST(HardwareTexts, LightSourceModules) {
    EXPECT_STREQ(GetLightSourceNameText(0), "Lamp module");
    EXPECT_STREQ(GetLightSourceNameText(1), "Flash module");
    EXPECT_FALSE(isUnknown(GetLightSourceNameText(2)));
    EXPECT_STREQ(GetLightSourceNameText(3), "Unknown module");
    EXPECT_STREQ(GetLightSourceNameText(255), "Unknown light-source module type 255");

    EXPECT_STREQ(GetLightSourceTypeText(0, 0), "Lamp module, lamps 1 and 2");
    EXPECT_STREQ(GetLightSourceTypeText(0, 1), "Lamp module, lamp 2");
    EXPECT_STREQ(GetLightSourceTypeText(2, 2), "Lamp module with power-state memory, lamp 1");
    EXPECT_STREQ(GetLightSourceTypeText(1, 0), "Flash module, subtype 0");
    EXPECT_STREQ(GetLightSourceTypeText(0, 4), "Unknown light-source type 0, subtype 4");
    EXPECT_STREQ(GetLightSourceTypeText(255, 255), "Unknown light-source type 255, subtype 255");

    EXPECT_STREQ(GetLightSourceAssemblyText(0, 0, 2), "Assembly variant 2 with lamps 1 and 2");
    EXPECT_STREQ(GetLightSourceAssemblyText(2, 3, 0), "Assembly variant 0 with no known lamp");
    EXPECT_STREQ(GetLightSourceAssemblyText(1, 0, 0), "No assembly information");
    EXPECT_STREQ(GetLightSourceAssemblyText(0, 0, 4),
                 "Unknown assembly (type 0, subtype 0, info 4)");
    EXPECT_STREQ(GetLightSourceAssemblyText(65535, 65535, 65535),
                 "Unknown assembly (type 65535, subtype 65535, info 65535)");
}

TEST(HardwareTexts, EveryCodeGivesATextShorterThan255Characters) {
    const CHardwareTexts texts;
    size_t longest = 0;
    for (int c = INT16_MIN; c <= INT16_MAX; ++c) {
        const auto code = static_cast<int16_t>(c);
        for (const char* t : {texts.GetInterfaceText(code), texts.GetFrontEndText(code),
                              texts.GetMultiplexerText(code), texts.GetSensorText(code),
                              GetSensorTypeText(code), GetSensorLengthText(code)}) {
            ASSERT_NE(t, nullptr);
            longest = std::max(longest, std::strlen(t));
        }
    }
    for (unsigned t = 0; t <= 65535; t += 257) {
        for (unsigned s = 0; s <= 65535; s += 4369) {
            const auto u = static_cast<uint16_t>(t);
            const auto v = static_cast<uint16_t>(s);
            longest = std::max({longest, std::strlen(GetLightSourceNameText(u)),
                                std::strlen(GetLightSourceTypeText(u, v)),
                                std::strlen(GetLightSourceAssemblyText(u, v, 65535))});
        }
    }
    EXPECT_LT(longest, 255u);
    EXPECT_GT(longest, 0u);
}

// Texts that carry their code live per thread: threads asking at the same time
// each read their own answer.
TEST(HardwareTexts, ThreadsGetTheirOwnTexts) {
    constexpr int kThreads = 8;
    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (int n = 0; n < kThreads; ++n) {
        threads.emplace_back([n, &mismatches] {
            const CHardwareTexts texts;
            const auto pixels = static_cast<int16_t>(3000 + n);
            const auto type = static_cast<int16_t>(200 + n);
            const std::string wantLength = std::to_string(pixels) + " pixels (non-standard length)";
            const std::string wantType = "Unknown sensor type " + std::to_string(type);
            for (int i = 0; i < 2000; ++i) {
                const char* length = GetSensorLengthText(pixels);
                const char* label = texts.GetSensorText(type);
                if (wantLength != length || wantType != label ||
                    std::string(GetSensorTypeText(7)) != "Sensor type 7, technology 3") {
                    ++mismatches[n];
                }
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(mismatches, std::vector<int>(kThreads, 0));
}

} // namespace
} // namespace dorvel
