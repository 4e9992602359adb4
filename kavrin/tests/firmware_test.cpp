// Firmware download and board generation against the simulated board,
// through the driver's own functions (no device layer): the order of the
// download around the CPU control register, when the loader goes first, what
// a failure leaves behind, and the start sequence.

#include "board_start.h"
#include "event_log.h"
#include "firmware.h"
#include "vendor_requests.h"

#include "kavrin_test_support.h"

#include "platform/clock.h"
#include "platform/event_log.h"

#include <gtest/gtest.h>

#include <future>

namespace {

using namespace kavrin;
using kavrintest::BoardHarness;
using kavrintest::count;
using kavrintest::eventIds;
using kavrintest::loadPhases;
using Phases = std::vector<std::string>;

const Phases kLoaderThenImage = {"hold", "hold", "A0", "run", "A3", "hold", "A0", "hold", "run"};

class FirmwareTest : public ::testing::Test {
protected:
    platform::VirtualClock clock;
    platform::ScopedClock useClock{clock};
    std::shared_ptr<platform::RecordingEventLog> events =
        std::make_shared<platform::RecordingEventLog>();
    platform::ScopedEventLogBackend useEvents{events};

    static void setGeneration(BoardHarness& harness, int generation) {
        harness.device.updateIdentity([&](BoardIdentity& identity) {
            identity.generation = static_cast<uint8_t>(generation);
        });
    }
    std::vector<uint32_t> messages(const BoardHarness& harness) const {
        return eventIds(*events, harness.context.name);
    }
};

TEST(FirmwareSelection, WorkModesNeedTheirFirmwareType) {
    EXPECT_EQ(GetFirmwareTypeForMode(4, 1), 1); // an explicit type wins
    const std::pair<uint16_t, int> modes[] = {
        {1, 1},      {3, 1},      {6, 1},      {7, 1},      {4, 2},      {5, 2},      {8, 2},
        {13, 2},     {14, 0},     {47, 0},     {48, 2},     {51, 2},     {52, 0},     {0, 0},
        {0xFF03, 1}, {0xFF20, 1}, {0xFF21, 1}, {0xFF22, 2}, {0xFF23, 2}, {0xFF24, 0}, {0xFF02, 0}};
    for (const auto& [mode, type] : modes) {
        EXPECT_EQ(GetFirmwareTypeForMode(mode, 0), type) << "mode " << mode;
    }
}

TEST(FirmwareSelection, ImagesByTypeAndGeneration) {
    EXPECT_EQ(SelectFirmwareImage(kFirmwareTypeLoader, 0), kImageLoader);
    EXPECT_EQ(SelectFirmwareImage(kFirmwareType1, 0), kImageNone); // unknown board: loader only
    EXPECT_EQ(SelectFirmwareImage(kFirmwareType1, 1), kImageGen1Type1);
    EXPECT_EQ(SelectFirmwareImage(kFirmwareType2, 1), kImageGen1Type2);
    EXPECT_EQ(SelectFirmwareImage(kFirmwareTypeLoader, 1), kImageLoader);
    EXPECT_EQ(SelectFirmwareImage(kFirmwareType1, 2), kImageGen2);
    EXPECT_EQ(SelectFirmwareImage(kFirmwareType2, 2), kImageGen2);
    EXPECT_EQ(SelectFirmwareImage(kFirmwareTypeLoader, 2), kImageLoader);
    EXPECT_EQ(SelectFirmwareImage(kFirmwareTypeNone, 1), kImageNone);
    EXPECT_EQ(SelectFirmwareImage(kFirmwareType1, 3), kImageNone);
}

TEST(FirmwareSelection, GenerationFromTheFirmwareTypeBeforeTheUsbIds) {
    BoardIdentity identity;
    identity.vendorId = kBoardUsbIds[0].vendorId;
    identity.productId = kBoardUsbIds[0].productIdGeneration1;
    EXPECT_EQ(DetectBoardGeneration(identity), 1);
    identity.startFirmwareType = 200;
    EXPECT_EQ(DetectBoardGeneration(identity), 2);
    identity.startFirmwareType = 103; // neither: the ids decide
    EXPECT_EQ(DetectBoardGeneration(identity), 1);
    identity = {};
    identity.startFirmwareType = 102;
    EXPECT_EQ(DetectBoardGeneration(identity), 1);
    identity = {};
    identity.vendorId = kBoardUsbIds[1].vendorId;
    identity.productId = kBoardUsbIds[1].productIdGeneration1 + 1;
    EXPECT_EQ(DetectBoardGeneration(identity), 2);
    identity.productId = kBoardUsbIds[1].productIdGeneration1 + 2;
    EXPECT_EQ(DetectBoardGeneration(identity), 0);
    identity.vendorId = kBlankChipVendorId;
    identity.productId = kBlankChipProductId;
    EXPECT_EQ(DetectBoardGeneration(identity), 0);
}

TEST_F(FirmwareTest, ExternalRecordsGoWhileTheLoaderRunsThenTheCpuIsHeldForTheInternalOnes) {
    sim::Fx2BoardConfig config;
    config.running = sim::fx2ShippedImage(kImageLoader);
    BoardHarness harness(config);
    ImageProblem problem;
    const auto image = ReadFirmwareImageFile(
        firmwareImagePath(harness.firmware.path(), kImageGen1Type1), kLoadableEnd, problem);
    ASSERT_TRUE(image);
    ASSERT_EQ(DownloadFirmwareImage(harness.device, *image), 0);

    const auto requests = harness.board->requests();
    bool held = false;
    std::size_t external = 0;
    std::size_t internal = 0;
    for (const sim::Fx2Board::Request& request : requests) {
        if (request.value == sim::kFx2CpuControl) {
            EXPECT_FALSE(held) << "the CPU is held once, between the passes";
            held = true;
        } else if (request.request == sim::kFx2RequestExternalLoad) {
            EXPECT_FALSE(held);
            EXPECT_GE(request.value, kExternalLoadStart);
            ++external;
        } else {
            ASSERT_EQ(request.request, sim::kFx2RequestInternalLoad);
            EXPECT_TRUE(request.cpuHeld);
            EXPECT_LT(request.value, kExternalLoadStart);
            ++internal;
        }
    }
    EXPECT_EQ(external, 0x200u / 16);
    EXPECT_EQ(internal + external + 1, image->records.size()); // + the end record
    for (const auto& [address, bytes] : sim::fx2ImageContents(*sim::fx2ShippedImage(2))) {
        EXPECT_EQ(harness.board->memory(address, bytes.size()), bytes) << address;
    }
}

TEST_F(FirmwareTest, ABareBoardGetsTheLoaderFirstThenItsImageAndReenumerates) {
    BoardHarness harness;
    setGeneration(harness, 1);
    EXPECT_EQ(LoadFirmware(harness.device, kFirmwareType1, false), kLoadDone);
    EXPECT_EQ(loadPhases(*harness.board), kLoaderThenImage);
    EXPECT_EQ(harness.board->runningImage(), kImageGen1Type1);
    EXPECT_EQ(harness.board->reenumerations(), 1u);
    const BoardIdentity identity = harness.device.readIdentity();
    EXPECT_EQ(identity.currentImage, kImageGen1Type1);
    EXPECT_EQ(identity.loadedFirmwareType, kFirmwareType1);
    EXPECT_TRUE(messages(harness).empty());

    // Asked again without force for the image it runs: nothing is sent.
    harness.follow();
    harness.board->clearRequests();
    EXPECT_EQ(LoadFirmware(harness.device, kFirmwareType1, false), kLoadDone);
    EXPECT_TRUE(harness.board->requests().empty());
}

TEST_F(FirmwareTest, ABoardRunningTheLoaderGetsItsImageWithoutASecondLoader) {
    sim::Fx2BoardConfig config;
    config.running = sim::fx2ShippedImage(kImageLoader);
    BoardHarness harness(config);
    setGeneration(harness, 1);
    harness.device.updateIdentity([](BoardIdentity& identity) { identity.currentImage = 1; });
    EXPECT_EQ(LoadFirmware(harness.device, kFirmwareType1, true), kLoadDone);
    EXPECT_EQ(loadPhases(*harness.board), (Phases{"A3", "hold", "A0", "hold", "run"}));
    EXPECT_EQ(harness.board->runningImage(), kImageGen1Type1);
}

TEST_F(FirmwareTest, AGenerationOneBoardSwitchingTypesReloadsTheLoaderThenImageThree) {
    BoardHarness harness;
    setGeneration(harness, 1);
    ASSERT_EQ(LoadFirmware(harness.device, kFirmwareType1, false), kLoadDone);
    harness.follow();
    harness.board->clearRequests();
    EXPECT_EQ(LoadFirmware(harness.device, kFirmwareType2, false), kLoadDone);
    EXPECT_EQ(loadPhases(*harness.board), kLoaderThenImage);
    EXPECT_EQ(harness.board->runningImage(), kImageGen1Type2);
    EXPECT_EQ(harness.device.readIdentity().currentImage, kImageGen1Type2);
    EXPECT_EQ(harness.board->reenumerations(), 1u); // its descriptors stayed the same
}

TEST_F(FirmwareTest, AGenerationTwoBoardSwitchesTypesWithoutADownload) {
    sim::Fx2BoardConfig config;
    config.generation = 2;
    config.running = sim::fx2ShippedImage(kImageGen2);
    BoardHarness harness(config);
    setGeneration(harness, 2);
    harness.device.updateIdentity([](BoardIdentity& identity) { identity.currentImage = 5; });
    EXPECT_EQ(LoadFirmware(harness.device, kFirmwareType1, false), kLoadDone);
    EXPECT_EQ(LoadFirmware(harness.device, kFirmwareType2, false), kLoadDone);
    EXPECT_TRUE(harness.board->requests().empty());
}

TEST_F(FirmwareTest, AFailingRecordLeavesTheBoardNotLoadedAndIsLoggedOncePerImage) {
    BoardHarness harness;
    setGeneration(harness, 1);
    harness.board->failLoadAt(0x2000); // the image's first external record
    EXPECT_EQ(LoadFirmware(harness.device, kFirmwareType1, false) & 0xFFFF, kLoadFailed);
    EXPECT_EQ(messages(harness), (std::vector<uint32_t>{KAVRIN_MSG_FIRMWARE_DOWNLOAD_ERROR}));
    EXPECT_NE(harness.board->runningImage(), kImageGen1Type1);
    const BoardIdentity identity = harness.device.readIdentity();
    EXPECT_EQ(identity.currentImage, kImageNone);
    EXPECT_EQ(identity.loadedFirmwareType, kFirmwareTypeNone);
    // The steps went on: the CPU was held and let go after the failure.
    EXPECT_EQ(loadPhases(*harness.board),
              (Phases{"hold", "hold", "A0", "run", "A3", "hold", "run"}));

    // Not counted as loaded: the next load without force sends it again.
    harness.board->clearFaults();
    harness.board->clearRequests();
    EXPECT_EQ(LoadFirmware(harness.device, kFirmwareType1, false), kLoadDone);
    EXPECT_EQ(loadPhases(*harness.board), kLoaderThenImage);
    EXPECT_EQ(harness.board->runningImage(), kImageGen1Type1);
}

TEST_F(FirmwareTest, AFailingLoaderFailsBothImages) {
    BoardHarness harness;
    setGeneration(harness, 1);
    harness.board->failLoadAt(0x0100); // the loader's code
    EXPECT_EQ(LoadFirmware(harness.device, kFirmwareType1, false), kLoadFailed);
    EXPECT_EQ(messages(harness), (std::vector<uint32_t>{KAVRIN_MSG_FIRMWARE_DOWNLOAD_ERROR,
                                                        KAVRIN_MSG_FIRMWARE_DOWNLOAD_ERROR}));
    EXPECT_EQ(harness.board->runningImage(), 0);
}

TEST_F(FirmwareTest, MissingImagesSendNothing) {
    BoardHarness harness;
    setGeneration(harness, 1);
    std::filesystem::remove(firmwareImagePath(harness.firmware.path(), kImageGen1Type2));
    EXPECT_EQ(LoadFirmware(harness.device, kFirmwareType2, true), kLoadNoImage);
    std::filesystem::remove(firmwareImagePath(harness.firmware.path(), kImageLoader));
    EXPECT_EQ(LoadFirmware(harness.device, kFirmwareType1, true), kLoadNoImage);
    setGeneration(harness, 0);
    EXPECT_EQ(LoadFirmware(harness.device, kFirmwareType1, true), kLoadNoImage); // no image at all
    EXPECT_TRUE(harness.board->requests().empty());
    EXPECT_TRUE(messages(harness).empty());
}

TEST_F(FirmwareTest, AnImageThatFailsItsChecksSendsNothingAndIsReportedWithItsReason) {
    BoardHarness harness;
    setGeneration(harness, 1);
    std::string text = sim::fx2ImageHex(*sim::fx2ShippedImage(2));
    text.insert(text.rfind(':'), ":01E600000118\n"); // a record for the CPU control register
    const auto path = harness.firmware.write("image2.hex", text);
    EXPECT_EQ(LoadFirmware(harness.device, kFirmwareType1, true), kLoadNoImage);
    EXPECT_TRUE(harness.board->requests().empty());
    const auto records = events->records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].entry.eventId, KAVRIN_MSG_FIRMWARE_DOWNLOAD_ERROR);
    ASSERT_EQ(records[0].entry.strings.size(), 2u);
    EXPECT_EQ(records[0].entry.strings[0], path.string());
    EXPECT_NE(records[0].entry.strings[1].find("load range"), std::string::npos);
    EXPECT_EQ(records[0].text.rfind("KX-VEL02: Error during firmware download", 0), 0u);
}

TEST_F(FirmwareTest, ARecordTheBoardDoesNotAnswerTimesOutOnTheClock) {
    BoardHarness harness;
    setGeneration(harness, 1);
    harness.board->silenceRequest(sim::kFx2RequestExternalLoad);
    auto load = std::async(std::launch::async,
                           [&] { return LoadFirmware(harness.device, kFirmwareType1, false); });
    // The silent record is the one transfer in flight once the board saw it.
    ASSERT_TRUE(harness.board->waitForRequest([](const sim::Fx2Board::Request& request) {
        return request.outcome == sim::Fx2Board::Request::Outcome::Silent;
    }));
    ASSERT_TRUE(clock.waitForPendingWaits(1));
    clock.advance(std::chrono::milliseconds(kLoadRecordTimeoutMs - 1));
    EXPECT_EQ(load.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    EXPECT_EQ(clock.pendingWaits(), 1u);
    clock.advance(std::chrono::milliseconds(1));
    EXPECT_EQ(load.get(), kLoadFailed);
    EXPECT_EQ(messages(harness), (std::vector<uint32_t>{KAVRIN_MSG_FIRMWARE_DOWNLOAD_ERROR}));
}

TEST_F(FirmwareTest, ABoardThatLeavesDuringTheDownloadFailsItAtOnce) {
    BoardHarness harness;
    setGeneration(harness, 1);
    harness.board->unplugOnRequest(sim::kFx2RequestExternalLoad);
    EXPECT_EQ(LoadFirmware(harness.device, kFirmwareType1, false), kLoadFailed);
    EXPECT_EQ(SetCpuReset(harness.device, true), ENODEV);
    harness.port.reset();
}

// --- the start sequence

TEST_F(FirmwareTest, StartOfABlankChipLoadsOnlyTheLoaderAndRestrictsTheBoard) {
    sim::Fx2BoardConfig config;
    config.bootEeprom = false;
    BoardHarness harness(config);
    EXPECT_TRUE(StartFirmware(harness.device));
    const Phases phases = loadPhases(*harness.board);
    EXPECT_EQ(phases.front(), "hold"); // the loader before anything else
    EXPECT_EQ(count(phases, "A3"), 0u);
    EXPECT_EQ(count(phases, "run"), 3u); // at entry, then as an unknown board twice
    EXPECT_EQ(harness.board->runningImage(), kImageLoader);
    const BoardIdentity identity = harness.device.readIdentity();
    EXPECT_TRUE(identity.restricted);
    EXPECT_EQ(identity.generation, 0);
    EXPECT_EQ(identity.currentImage, kImageLoader);
}

TEST_F(FirmwareTest, StartDetectsTheGenerationAndLoadsItsImage) {
    for (int generation : {1, 2}) {
        sim::Fx2BoardConfig config;
        config.generation = generation;
        config.eepromRelease = 3;
        BoardHarness harness(config);
        EXPECT_TRUE(StartFirmware(harness.device));
        const int image = generation == 1 ? kImageGen1Type1 : kImageGen2;
        EXPECT_EQ(harness.board->runningImage(), image);
        const BoardIdentity identity = harness.device.readIdentity();
        EXPECT_EQ(identity.generation, generation);
        EXPECT_FALSE(identity.restricted);
        Phases expected = {"fwid"};
        expected.insert(expected.end(), kLoaderThenImage.begin(), kLoaderThenImage.end());
        EXPECT_EQ(loadPhases(*harness.board), expected) << "generation " << generation;
    }
}

TEST_F(FirmwareTest, StartOfABoardRunningItsFirmwareLoadsNothing) {
    sim::Fx2BoardConfig config;
    config.generation = 2;
    config.switchId = 4;
    config.running = sim::fx2ShippedImage(kImageGen2);
    BoardHarness harness(config);
    EXPECT_TRUE(StartFirmware(harness.device));
    EXPECT_EQ(loadPhases(*harness.board), (Phases{"fwid"}));
    const BoardIdentity identity = harness.device.readIdentity();
    EXPECT_EQ(identity.currentImage, kImageGen2);
    EXPECT_EQ(identity.stampedFirmwareVersion, 310);
    EXPECT_EQ(identity.firmwareId.hardwareWord, 0x064);
    EXPECT_EQ(identity.generation, 2);
}

TEST_F(FirmwareTest, StartOfABoardRunningTheLoaderLoadsItsImageWithoutASecondLoader) {
    sim::Fx2BoardConfig config;
    config.eepromRelease = 2;
    config.running = sim::fx2ShippedImage(kImageLoader);
    BoardHarness harness(config);
    EXPECT_TRUE(StartFirmware(harness.device));
    EXPECT_EQ(loadPhases(*harness.board), (Phases{"fwid", "A3", "hold", "A0", "hold", "run"}));
    EXPECT_EQ(harness.board->runningImage(), kImageGen1Type1);
}

TEST_F(FirmwareTest, StartFailsWhenTheDownloadFails) {
    sim::Fx2BoardConfig config;
    config.eepromRelease = 2;
    BoardHarness harness(config);
    harness.board->failLoadAt(0x2100);
    EXPECT_FALSE(StartFirmware(harness.device));
    EXPECT_EQ(messages(harness), (std::vector<uint32_t>{KAVRIN_MSG_FIRMWARE_DOWNLOAD_ERROR}));
}

TEST_F(FirmwareTest, TheRestrictedModeStringRestrictsABoardOfKnownGeneration) {
    sim::Fx2BoardConfig config;
    config.restricted = true;
    config.switchId = 6;
    config.running = sim::fx2ShippedImage(kImageGen1Type1);
    BoardHarness harness(config);
    harness.context.boardIds.slots[0].taken = true;
    EXPECT_EQ(StartBoard(harness.device), platform::kStatusSuccess);
    const BoardIdentity identity = harness.device.readIdentity();
    EXPECT_TRUE(identity.restricted);
    EXPECT_EQ(identity.generation, 1);
    EXPECT_EQ(identity.boardId, 6);
    EXPECT_EQ(harness.context.boardIds.slots[0].boardId, 6);
    EXPECT_EQ(harness.device.pipes.size(), 3u);
}

} // namespace
