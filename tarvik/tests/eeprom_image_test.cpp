// CEepromImage, the checksums and the layout upgrades, checked against the
// simulation's independent image builders.

#include "hardware/eeprom_image.h"
#include "sim/eeprom_images.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string_view>

namespace tarvik {
namespace {

namespace f = image_field;
using sim::EepromContents;

bool allFF(const EepromContents& image, size_t from, size_t to) {
    return std::all_of(image.begin() + static_cast<std::ptrdiff_t>(from),
                       image.begin() + static_cast<std::ptrdiff_t>(to),
                       [](uint8_t b) { return b == 0xFF; });
}

EepromContents frontEnd(uint16_t version, uint16_t sensorType) {
    sim::FrontEndImageSpec spec;
    spec.header.version = version;
    spec.header.assembly = 0x123;
    spec.sensor.sensorType = sensorType;
    spec.sensor.rows = 7;
    spec.sensor.fourthSensorWord = 9;
    spec.sensor.coefficients = {400.0f, 0.25f, 1e-5f, 2e-9f, 3e-13f};
    spec.clockValue = 4000;
    return sim::buildFrontEndImage(spec);
}

EepromContents mux(uint16_t code, uint16_t revision, uint16_t version = 2) {
    sim::MuxImageSpec spec;
    spec.header.type = code;
    spec.header.assembly = revision;
    spec.header.version = version;
    for (auto& channel : spec.channels) {
        channel.rows = 5;
        channel.fourthSensorWord = 6;
        channel.coefficients[4] = 1.5f;
    }
    return sim::buildMuxImage(spec);
}

TEST(Crc16Test, CheckValueOfTheModbusParameters) {
    constexpr std::string_view kText = "123456789";
    uint16_t crc = 0xFFFF;
    EXPECT_EQ(UpdateCrc16(reinterpret_cast<const uint8_t*>(kText.data()), kText.size(), crc),
              0x4B37);
    EXPECT_EQ(crc, 0x4B37);
}

TEST(Crc16Test, RunningValueCarriesAcrossPieces) {
    EepromContents bytes{};
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i * 37 + 11);
    }
    uint16_t crc = 0xFFFF;
    UpdateCrc16(bytes.data(), 100, crc);
    UpdateCrc16(bytes.data() + 100, 156, crc);
    EXPECT_EQ(crc, sim::crc16(bytes));
}

TEST(WordSumTest, WrapsAt16Bits) {
    const uint8_t words[] = {0xFF, 0xFF, 0x02, 0x00, 0x34, 0x12};
    EXPECT_EQ(WordSum16(words, 3), static_cast<uint16_t>(0xFFFF + 2 + 0x1234));
    EXPECT_EQ(WordSum16(words, 0), 0);
}

TEST(MuxChannelCountTest, FollowsAssemblyCodeAndRevision) {
    for (uint32_t code : {1u, 2u, 3u, 4u}) {
        EXPECT_EQ(GetMuxChannelCount(code, 0), 4);
    }
    EXPECT_EQ(GetMuxChannelCount(5, 0), 8);
    EXPECT_EQ(GetMuxChannelCount(6, 0), 2);
    EXPECT_EQ(GetMuxChannelCount(8, 0), 1);
    EXPECT_EQ(GetMuxChannelCount(8, 1), 2);
    EXPECT_EQ(GetMuxChannelCount(8, 2), 4);
    EXPECT_EQ(GetMuxChannelCount(8, 3), 0);
    for (uint32_t code : {0u, 7u, 9u, 255u}) {
        EXPECT_EQ(GetMuxChannelCount(code, 0), 0);
    }
}

// Every image the boards carry, in every version, is valid as read.
TEST(EepromImageTest, BuiltImagesOfEveryKindAndVersionAreValid) {
    struct Case {
        EepromContents image;
        uint8_t kind;
    };
    const Case cases[] = {
        {sim::buildInterfaceImage({}), kImageKindInterface},
        {frontEnd(0, 7), kImageKindFrontEnd},
        {frontEnd(1, 7), kImageKindFrontEnd},
        {frontEnd(2, 7), kImageKindFrontEnd},
        {mux(1, 0, 0), kImageKindMux},
        {mux(5, 0, 1), kImageKindMux},
        {mux(8, 2, 2), kImageKindMux},
        {sim::buildBootImage({}), kImageKindBoot},
    };
    for (const Case& c : cases) {
        EepromContents image = c.image;
        uint16_t result = 99;
        EXPECT_TRUE(IsValidEepromImage(image.data(), c.kind, &result))
            << "kind " << int(c.kind) << " version " << (imageU16(image.data(), 8) >> 12);
        EXPECT_EQ(result, kImageResultOk);
    }
}

TEST(EepromImageTest, FrontEndVersion0IsUpgradedToVersion2WithLength42AndCrc) {
    EepromContents image = frontEnd(0, 7);
    CEepromImage view;
    ASSERT_TRUE(view.Attach(image.data(), kImageKindFrontEnd));
    ASSERT_TRUE(view.Verify());
    ASSERT_TRUE(view.UpgradeLayout(false));
    EXPECT_TRUE(view.IsUpgraded());
    const ImageSensorEntry sensor = view.frontEndImage().sensor();
    EXPECT_EQ(sensor.coefficients[4], 0.0f);
    EXPECT_EQ(view.frontEndImage().clockValue(), 0);
    EXPECT_EQ(sensor.fourthSensorWord, 64);
    EXPECT_EQ(sensor.rows, 7); // a 64-row sensor keeps its rows
    EXPECT_TRUE(allFF(image, 46, 80));
    EXPECT_EQ(view.header().imageVersion(), 0); // in memory only

    ASSERT_TRUE(view.UpgradeLayout(true));
    EXPECT_EQ(view.header().imageVersion(), 2);
    EXPECT_EQ(view.header().assemblyNumber(), 0x123);
    EXPECT_EQ(view.header().length(), 42);
    EXPECT_EQ(view.header().checksum(), sim::crc16({image.data() + 4, 42}));
    EXPECT_TRUE(IsValidEepromImage(image.data(), kImageKindFrontEnd));
}

TEST(EepromImageTest, FrontEndVersion1OfALineSensorGetsOneRow) {
    EepromContents image = frontEnd(1, 3);
    CEepromImage view;
    ASSERT_TRUE(view.Attach(image.data(), kImageKindFrontEnd) && view.Verify());
    ASSERT_TRUE(view.UpgradeLayout(false));
    const ImageSensorEntry sensor = view.frontEndImage().sensor();
    EXPECT_EQ(sensor.rows, 1);
    EXPECT_EQ(sensor.fourthSensorWord, 1);
    EXPECT_EQ(sensor.coefficients[4], 3e-13f); // version 1 carries c4
    EXPECT_EQ(view.frontEndImage().clockValue(), 0);
}

TEST(EepromImageTest, FrontEndVersion2IsLeftAsItIs) {
    EepromContents image = frontEnd(2, 3);
    const EepromContents before = image;
    CEepromImage view;
    ASSERT_TRUE(view.Attach(image.data(), kImageKindFrontEnd) && view.UpgradeLayout(true));
    EXPECT_EQ(image, before);
    EXPECT_EQ(view.frontEndImage().clockValue(), 4000);
}

TEST(EepromImageTest, FrontEndVersion3IsNotSupported) {
    EepromContents image = frontEnd(2, 7);
    setImageU16(image.data(), f::kAssembly, 0x3000);
    sim::sealImage(image);
    CEepromImage view;
    ASSERT_TRUE(view.Attach(image.data(), kImageKindFrontEnd));
    EXPECT_TRUE(view.Verify());
    EXPECT_FALSE(view.UpgradeLayout(false));
    EXPECT_EQ(view.GetResult(), kImageResultVersion);
    EXPECT_TRUE(view.IsError());
    EXPECT_FALSE(view.IsUpgraded());
}

TEST(EepromImageTest, InterfaceImageVersion0UsesTheWordSumOverTenWords) {
    EepromContents image = sim::buildInterfaceImage({});
    EXPECT_EQ(imageU16(image.data(), f::kChecksum), WordSum16(image.data() + 4, 10));
    CEepromImage view;
    ASSERT_TRUE(view.Attach(image.data(), kImageKindInterface) && view.Verify());
    EXPECT_EQ(view.GetChecksum(), WordSum16(image.data() + 4, 10));
    // Bytes beyond the checked ones do not count.
    image[30] = 0x55;
    EXPECT_TRUE(view.Verify());
    image[23] ^= 1;
    EXPECT_FALSE(view.Verify());
    EXPECT_EQ(view.GetResult(), kImageResultChecksum);
}

TEST(EepromImageTest, InterfaceImageVersion1FailsTheUpgrade) {
    sim::InterfaceImageSpec spec;
    spec.header.version = 1;
    EepromContents image = sim::buildInterfaceImage(spec);
    CEepromImage view;
    ASSERT_TRUE(view.Attach(image.data(), kImageKindInterface));
    EXPECT_TRUE(view.Verify()); // version 1 carries a CRC
    EXPECT_EQ(view.GetChecksum(), sim::crc16({image.data() + 4, 20}));
    EXPECT_FALSE(view.UpgradeLayout(false));
    EXPECT_EQ(view.GetResult(), kImageResultVersion);
}

TEST(EepromImageTest, InterfaceUpgradeKeepsOnlyTheSerialMultiplexerTypes) {
    for (uint8_t type : {uint8_t{7}, uint8_t{9}, uint8_t{3}, uint8_t{0}}) {
        sim::InterfaceImageSpec spec;
        spec.serialMuxType = type;
        spec.serialMuxConfig = 0x21;
        EepromContents image = sim::buildInterfaceImage(spec);
        image[50] = 0; // reserved
        CEepromImage view;
        ASSERT_TRUE(view.Attach(image.data(), kImageKindInterface) && view.UpgradeLayout(true));
        const bool serial = type == 7 || type == 9;
        EXPECT_EQ(view.interfaceImage().serialMuxType(), serial ? type : 255);
        EXPECT_EQ(view.interfaceImage().serialMuxConfig(), serial ? 0x21 : 0xFF);
        EXPECT_TRUE(allFF(image, 24, 80));
        EXPECT_EQ(view.header().length(), 20);
        EXPECT_TRUE(view.Verify());
    }
}

TEST(EepromImageTest, MuxAssembly8Revision1HasTwoChannels) {
    EepromContents image = mux(8, 1, 0);
    CEepromImage view;
    ASSERT_TRUE(view.Attach(image.data(), kImageKindMux) && view.Verify());
    ASSERT_TRUE(view.UpgradeLayout(true));
    for (size_t i = 0; i < 2; ++i) {
        const ImageSensorEntry channel = view.muxImage().channel(i);
        EXPECT_EQ(channel.sensorType, 7);
        EXPECT_EQ(channel.rows, 1);
        EXPECT_EQ(channel.fourthSensorWord, 1);
        EXPECT_EQ(channel.coefficients[4], 0.0f); // version 0 had none
    }
    EXPECT_TRUE(allFF(image, 16 + 24 * 2, 208));
    EXPECT_TRUE(allFF(image, 208 + 4 * 2, 256));
    EXPECT_EQ(view.header().length(), 236);
    EXPECT_EQ(view.header().imageVersion(), 2);
    EXPECT_EQ(view.header().assemblyNumber(), 1);
    EXPECT_EQ(view.header().checksum(), sim::crc16({image.data() + 4, 236}));
}

TEST(EepromImageTest, MuxVersion1KeepsItsC4) {
    EepromContents image = mux(6, 0, 1);
    CEepromImage view;
    ASSERT_TRUE(view.Attach(image.data(), kImageKindMux) && view.Verify());
    ASSERT_TRUE(view.UpgradeLayout(false));
    EXPECT_EQ(view.muxImage().channel(1).coefficients[4], 1.5f);
    EXPECT_EQ(view.muxImage().channel(2).sensorType, kChannelNotFitted);
    EXPECT_EQ(view.muxImage().channel(8).sensorType, kChannelNotFitted); // no such channel
}

TEST(EepromImageTest, MuxAssemblyCodesAndRevisionsThatAreRefused) {
    struct Case {
        uint16_t code;
        uint16_t revision;
        uint16_t result;
    };
    for (const Case& c : {Case{8, 3, kImageResultMuxRevision}, Case{7, 0, kImageResultMuxCode},
                          Case{0, 0, kImageResultMuxCode}, Case{9, 0, kImageResultMuxCode}}) {
        EepromContents image = mux(c.code, c.revision);
        const EepromContents before = image;
        CEepromImage view;
        ASSERT_TRUE(view.Attach(image.data(), kImageKindMux) && view.Verify());
        EXPECT_FALSE(view.UpgradeLayout(true));
        EXPECT_EQ(view.GetResult(), c.result) << c.code << "/" << c.revision;
        EXPECT_EQ(image, before) << "a refused image is not changed";
    }
}

TEST(EepromImageTest, Length253FailsBeforeAnyChecksum) {
    EepromContents image = frontEnd(2, 7);
    setImageU16(image.data(), f::kLength, 253);
    CEepromImage view;
    ASSERT_TRUE(view.Attach(image.data(), kImageKindFrontEnd));
    EXPECT_FALSE(view.Verify());
    EXPECT_EQ(view.GetResult(), kImageResultLength);
    EXPECT_EQ(view.GetChecksum(), 0);
    // The largest length reads exactly to the end of the image.
    setImageU16(image.data(), f::kLength, 252);
    EXPECT_TRUE(view.ComputeChecksum(false));
    EXPECT_EQ(view.GetChecksum(), sim::crc16({image.data() + 4, 252}));
    // Storing needs a length.
    setImageU16(image.data(), f::kLength, 0);
    EXPECT_TRUE(view.ComputeChecksum(false));
    EXPECT_FALSE(view.ComputeChecksum(true));
    EXPECT_EQ(view.GetResult(), kImageResultLength);
}

TEST(EepromImageTest, UnknownKindsAreRefused) {
    EepromContents image = frontEnd(2, 7);
    CEepromImage view;
    ASSERT_TRUE(view.Attach(image.data(), 5));
    EXPECT_FALSE(view.ComputeChecksum(false));
    EXPECT_EQ(view.GetResult(), kImageResultKind);
    EXPECT_FALSE(view.UpgradeLayout(false));
    EXPECT_EQ(view.GetResult(), kImageResultKind);
    // An erased EEPROM has no kind word the method could follow.
    image.fill(0xFF);
    setImageU16(image.data(), f::kLength, 20);
    ASSERT_TRUE(view.Attach(image.data(), kImageKindInterface));
    EXPECT_FALSE(view.Verify());
    EXPECT_EQ(view.GetResult(), kImageResultKind);
}

// Found by the fuzz target: the layout is upgraded before the checksum,
// which follows the image's own kind word.
TEST(EepromImageTest, UpgradeWhoseKindWordHasNoChecksumMethod) {
    EepromContents image = frontEnd(0, 7);
    setImageU16(image.data(), f::kKind, 0xFF02);
    CEepromImage view;
    ASSERT_TRUE(view.Attach(image.data(), kImageKindFrontEnd));
    EXPECT_FALSE(view.UpgradeLayout(true));
    EXPECT_EQ(view.GetResult(), kImageResultKind);
    EXPECT_TRUE(view.IsUpgraded());
    EXPECT_EQ(view.header().imageVersion(), 2);
    EXPECT_FALSE(IsValidEepromImage(image.data(), kImageKindFrontEnd));
}

TEST(EepromImageTest, WithoutImage) {
    CEepromImage view;
    EXPECT_FALSE(view.Attach(nullptr, kImageKindFrontEnd));
    EXPECT_EQ(view.GetResult(), kImageResultNoImage);
    EXPECT_FALSE(view.Verify());
    EXPECT_FALSE(view.UpgradeLayout(false));
    EXPECT_FALSE(view.Clear());
    EXPECT_EQ(view.GetImage(), nullptr);
    EXPECT_EQ(view.GetResult(), kImageResultNoImage);
    EXPECT_FALSE(IsValidEepromImage(nullptr, kImageKindMux));
}

TEST(EepromImageTest, AttachKeepsTheKindWhenGivenNone) {
    EepromContents image = frontEnd(2, 7);
    CEepromImage view;
    ASSERT_TRUE(view.Attach(image.data(), kImageKindFrontEnd));
    ASSERT_TRUE(view.UpgradeLayout(false));
    ASSERT_TRUE(view.Attach(image.data(), 0));
    EXPECT_EQ(view.GetKind(), kImageKindFrontEnd);
    EXPECT_FALSE(view.IsUpgraded());
    EXPECT_EQ(view.GetHeader(), image.data());
    EXPECT_TRUE(view.Clear());
    EXPECT_TRUE(allFF(image, 0, 256));
}

TEST(BootImageTest, VerifiesAndUpgradesWithItsCrc) {
    EepromContents image = sim::buildBootImage({});
    image[40] = 0x12;
    image[100] = 0;
    sim::sealBootImage(image);
    CEepromImage view;
    ASSERT_TRUE(view.Attach(image.data(), kImageKindBoot));
    ASSERT_TRUE(view.Verify());
    EXPECT_EQ(view.GetChecksum(), sim::crc16({image.data() + 20, 28}));
    ASSERT_TRUE(view.UpgradeLayout(true));
    EXPECT_EQ(image[40], 0x12); // checked data stays
    EXPECT_EQ(image[100], 0xFF);
    EXPECT_EQ(view.bootImage().length(), 28);
    EXPECT_TRUE(view.Verify());
}

TEST(BootImageTest, LengthAndVersionLimits) {
    EepromContents image = sim::buildBootImage({});
    setImageU16(image.data(), f::kBootLength, 237);
    CEepromImage view;
    ASSERT_TRUE(view.Attach(image.data(), kImageKindBoot));
    EXPECT_FALSE(view.Verify());
    EXPECT_EQ(view.GetResult(), kImageResultLength);
    EXPECT_FALSE(view.ComputeChecksum(true));

    sim::BootImageSpec spec;
    spec.version = 1;
    image = sim::buildBootImage(spec);
    ASSERT_TRUE(view.Attach(image.data(), kImageKindBoot) && view.Verify());
    EXPECT_FALSE(view.UpgradeLayout(false));
    EXPECT_EQ(view.GetResult(), kImageResultVersion);

    image = sim::buildBootImage({});
    image[25] ^= 0x80;
    ASSERT_TRUE(view.Attach(image.data(), kImageKindBoot));
    EXPECT_FALSE(view.Verify());
    EXPECT_EQ(view.GetResult(), kImageResultChecksum);
}

} // namespace
} // namespace tarvik
