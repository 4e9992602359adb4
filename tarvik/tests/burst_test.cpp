// Burst and buffered acquisition through the exports against the simulated
// request-block board: limits and written-back values, the spectra of a burst
// as the sensor produced them, the raw words, a buffered run whose scans held
// and lost add up to what the board took, and a board closed while it scans.

#include "sim_road_fixture.h"

#include "acquisition/burst.h"
#include "core/device_notify.h"

#include "platform/messages.h"

#include <cstdint>
#include <thread>
#include <tuple>

namespace tarvik::testing {
namespace {

constexpr const char* kRequestBlockBoard = "usb_board = 0\n";

class BurstTest : public SimRoadTest {};

TEST_F(BurstTest, BurstNumberRefusals) {
    open(kRequestBlockBoard);
    int32_t n = 40000;
    EXPECT_EQ(KORAL_ParaSetBurstNumber(&n, 1), -1);
    EXPECT_EQ(board->initState().parameters.numScans, 30000) << "the limited value is sent";
    n = 3;
    EXPECT_EQ(KORAL_ParaSetBurstNumber(nullptr, 1), -1);
    EXPECT_RECORD(5, 505, 0, 1, "KORAL_ParaSetBurstNumber");
    EXPECT_EQ(KORAL_ParaSetBurstNumberExt(&n, 2, 1), -1) << "a PCI board's export";
    EXPECT_RECORD(5, 506, 804, 1, "KORAL_ParaSetBurstNumberExt");
    ASSERT_EQ(KORAL_ParaSetSensorWorkMode(0, 7, 1), 0);
    EXPECT_EQ(KORAL_ParaSetBurstNumber(&n, 1), -1);
    EXPECT_RECORD(5, 310, 819, 1, "KORAL_ParaSetBurstNumber");
}

TEST_F(BurstTest, ExtendedBurstOfAPciBoardKeepsTheProductWithinTheLimit) {
    open(kRequestBlockBoard, 4);
    ASSERT_EQ(KORAL_ParaSetSensorWorkMode(0, 0xFF26, 1), 0);
    int32_t n = 20000;
    EXPECT_EQ(KORAL_ParaSetBurstNumberExt(&n, 2, 1), -1);
    EXPECT_EQ(n, 15000);
    EXPECT_EQ(board->initState().parameters.burstBlocks, 2);
    // Blocks that a 16-bit field would wrap, or none, change nothing.
    for (const int32_t blocks : {0, -1, 70000}) {
        n = 10;
        EXPECT_EQ(KORAL_ParaSetBurstNumberExt(&n, blocks, 1), -1) << blocks;
        EXPECT_RECORD(5, 505, 0, 1, "KORAL_ParaSetBurstNumberExt");
        EXPECT_EQ(n, 10);
        EXPECT_EQ(board->initState().parameters.burstBlocks, 2);
    }
    n = 7;
    EXPECT_EQ(KORAL_ParaSetBurstNumberExt(&n, 3, 1), 0);
    EXPECT_EQ(KORAL_GetSpectra(1), 0) << describe(record());
    uint32_t stored = 0;
    EXPECT_EQ(KORAL_GetStoredBurstNumber(&handle, &stored), 0);
    EXPECT_EQ(stored, 21u) << "every block's spectra";
}

TEST_F(BurstTest, EachSpectrumOfABurstFollowsTheSensor) {
    open(kRequestBlockBoard);
    setTime(10.0);
    int32_t n = 5;
    ASSERT_EQ(KORAL_ParaSetBurstNumber(&n, 1), 0);
    ASSERT_EQ(KORAL_GetSpectra(1), 0) << describe(record());
    uint32_t count = 0;
    ASSERT_EQ(KORAL_GetStoredBurstNumber(&handle, &count), 0);
    ASSERT_EQ(count, 5u);
    int32_t average = 0;
    EXPECT_EQ(KORAL_GetStoredAverageNumber(&handle, &average), 0);
    EXPECT_EQ(average, 1);
    for (int32_t k = 1; k <= 5; ++k) {
        const std::vector<double> spectrum = stored(k);
        for (const uint32_t i : {0u, 300u, 522u, 1043u}) {
            EXPECT_EQ(spectrum[i], sensorCounts(i, 10.0)) << "spectrum " << k << " pixel " << i;
        }
    }
    std::vector<double> out(1044, -1.0);
    for (const int32_t k : {0, 6}) {
        EXPECT_EQ(KORAL_GetStoredRawDataBurst(&handle, k, out.data()), -1);
        EXPECT_RECORD(5, 505, 831, 0, "KORAL_GetStoredRawDataBurst");
    }
    EXPECT_EQ(out[0], -1.0);
    EXPECT_EQ(KORAL_GetStoredRawDataBurst(&handle, 1, nullptr), -1);
    EXPECT_RECORD(5, 505, 0, 0, "KORAL_GetStoredRawDataBurst");
    uint32_t none = 0;
    EXPECT_EQ(KORAL_GetStoredBurstNumber(&none, &count), -1);
    EXPECT_EQ(count, 0u);
    EXPECT_RECORD(5, 505, 806, 0, "KORAL_GetStoredBurstNumber");
}

TEST_F(BurstTest, AStoredBurstIsReadNoFurtherThanItsSpectrumReaches) {
    open(kRequestBlockBoard);
    int32_t n = 3;
    ASSERT_EQ(KORAL_ParaSetBurstNumber(&n, 1), 0);
    ASSERT_EQ(KORAL_GetSpectra(1), 0);
    recordOf(handle).burstNumber = 4; // a count the array does not back
    std::vector<double> out(1044, -1.0);
    EXPECT_EQ(KORAL_GetStoredRawDataBurst(&handle, 4, out.data()), -1);
    EXPECT_RECORD(5, 505, 831, 0, "KORAL_GetStoredRawDataBurst");
    EXPECT_EQ(out[0], -1.0);
}

TEST_F(BurstTest, RawWordsOfABurstAndTheModeComesBack) {
    // Every pixel at 32767 counts: the unsigned front end's word 0xFFFF.
    open(std::string(kRequestBlockBoard) + "dark = 32767\nsignal = 0\n");
    int32_t average = 4;
    ASSERT_EQ(KORAL_ParaSetAverageNumber(&average, 1), 0);
    std::vector<uint16_t> words(3 * 1044 + 1, 0x1234);
    ASSERT_EQ(KORAL_GetSpectraBurst(3, words.data(), 1), 0) << describe(record());
    EXPECT_EQ(words[0], 0xFFFF);
    EXPECT_EQ(words[3 * 1044 - 1], 0xFFFF);
    EXPECT_EQ(words[3 * 1044], 0x1234) << "no word beyond the burst";
    std::vector<uint32_t> values(2 * 1044, 0);
    ASSERT_EQ(KORAL_GetSpectraBurstLong(2, values.data(), 1), 0);
    EXPECT_EQ(static_cast<int32_t>(values[2 * 1044 - 1]), -1);
    // The averaging the interface had is in force again.
    EXPECT_EQ(board->initState().parameters.acquisitionMode, 1);
    EXPECT_EQ(board->initState().parameters.numScans, 4);
    EXPECT_EQ(KORAL_GetSpectraBurst(3, nullptr, 1), -1);
    EXPECT_RECORD(5, 505, 0, 1, "KORAL_GetSpectraBurst");
    EXPECT_EQ(KORAL_GetSpectraBurst(3, words.data(), 0), -1);
    EXPECT_RECORD(5, 505, 818, 0, "KORAL_GetSpectraBurst");
}

// A refusal for the number sends nothing; one of the burst's INIT by the
// driver keeps its record. Either way the slot's averaging or burst comes back.
TEST_F(BurstTest, ABurstRefusedForItsNumberOrByTheDriverLeavesTheSlotAsItWas) {
    open(kRequestBlockBoard);
    std::vector<uint32_t> out(7 * 1044, 0);
    for (const bool before : {false, true}) {   // averaging 5, or a burst of 2
        for (const int32_t n : {0, 40000, 7}) { // 7: the driver refuses the burst's INIT
            const bool driver = n == 7;
            for (const bool wide : {false, true}) {
                SCOPED_TRACE(::testing::Message()
                             << "burst " << before << " n " << n << " long " << wide);
                int32_t setting = before ? 2 : 5;
                ASSERT_EQ(before ? KORAL_ParaSetBurstNumber(&setting, 1)
                                 : KORAL_ParaSetAverageNumber(&setting, 1),
                          0);
                const size_t inits = board->requestCount(IOCTL_BOARD_INIT);
                if (driver) {
                    board->injectStatus(IOCTL_BOARD_INIT, 153, 0, 1);
                }
                EXPECT_EQ(
                    wide ? KORAL_GetSpectraBurstLong(n, out.data(), 1)
                         : KORAL_GetSpectraBurst(n, reinterpret_cast<uint16_t*>(out.data()), 1),
                    -1);
                EXPECT_RECORD(driver ? 1 : 7, driver ? 153 : 505, 0, driver ? 0 : 1,
                              wide ? "KORAL_GetSpectraBurstLong" : "KORAL_GetSpectraBurst");
                if (!driver) {
                    EXPECT_EQ(board->requestCount(IOCTL_BOARD_INIT), inits) << "nothing sent";
                }
                ASSERT_EQ(KORAL_GetSpectra(1), 0) << describe(record());
                uint32_t burst = 0;
                int32_t average = 0;
                EXPECT_EQ(KORAL_GetStoredBurstNumber(&handle, &burst), 0);
                EXPECT_EQ(KORAL_GetStoredAverageNumber(&handle, &average), 0);
                EXPECT_EQ(burst, before ? 2u : 1u);
                EXPECT_EQ(average, before ? 1 : 5);
            }
        }
    }
}

// A burst cut by the board's removal: the board comes back with the
// interface's averaging, and a spectrum is one spectrum again.
TEST_F(BurstTest, ABurstCutByARemovalPutsTheAveragingBack) {
    open(kRequestBlockBoard);
    const uint32_t queue = platform::registerThreadQueue();
    uint32_t subscription = 0;
    ASSERT_EQ(KORAL_RegisterDeviceNotification(1, queue, &subscription, 1), 0);
    // The next notification; the limit only keeps a broken run from hanging.
    const auto nextNotification = [] {
        platform::Message m;
        while (platform::getMessage(m, 0, 60000) == platform::GetMessageResult::Message) {
            if (m.message == WM_DEVICE_NOTIFY) {
                return m.wParam;
            }
        }
        return platform::WParam{0};
    };
    int32_t average = 3;
    ASSERT_EQ(KORAL_ParaSetAverageNumber(&average, 1), 0);
    board->injectHang(IOCTL_BOARD_GET_SCANS);
    std::vector<uint16_t> words(10 * 1044);
    std::thread client([&] { EXPECT_EQ(KORAL_GetSpectraBurst(10, words.data(), 1), -1); });
    EXPECT_TRUE(board->waitForHeld(1));
    ASSERT_EQ(sim::BoardRegistry::instance().unplug("b"), 0); // cancels the scan
    client.join();
    EXPECT_RECORD(3, 303, 0, 1, "KORAL_GetSpectraBurst");
    EXPECT_EQ(nextNotification(), kNotifyRemoval);
    ASSERT_EQ(sim::BoardRegistry::instance().plugIn("b"), 0);
    EXPECT_EQ(nextNotification(), kNotifyArrival);
    // The board's re-initialisation got the averaging, not the burst.
    EXPECT_EQ(board->initState().parameters.acquisitionMode, 1);
    EXPECT_EQ(board->initState().parameters.numScans, 3);
    ASSERT_EQ(KORAL_GetSpectra(1), 0) << describe(record());
    uint32_t burst = 0;
    EXPECT_EQ(KORAL_GetStoredBurstNumber(&handle, &burst), 0);
    EXPECT_EQ(burst, 1u);
    EXPECT_EQ(KORAL_UnregisterDeviceNotification(subscription), 0);
    platform::unregisterThreadQueue();
}

// A board outlives the process that closes it: closed in a continuous mode,
// it opens again (its EEPROMs are read) and gives a right spectrum.
TEST_F(BurstTest, AClosedContinuousBoardOpensAgain) {
    for (const uint32_t type : {4u, 5u, 6u}) {
        for (const uint16_t mode : {6, 7, 0xFF20, 0xFF21}) {
            if (type == 5 && mode > 7) {
                continue; // modes the third board model does not have
            }
            SCOPED_TRACE(::testing::Message() << "type " << type << " mode " << mode);
            open(kRequestBlockBoard, type);
            ASSERT_EQ(KORAL_ParaSetSensorWorkMode(0, mode, 1), 0) << describe(record());
            ASSERT_EQ(KORAL_CloseOperationElectronics(1), 0);
            open(kRequestBlockBoard, type);
            setTime(10.0);
            ASSERT_EQ(KORAL_GetSpectra(1), 0) << describe(record());
            EXPECT_EQ(stored()[522], sensorCounts(522, 10.0));
            ASSERT_EQ(KORAL_CloseOperationElectronics(1), 0);
            ASSERT_TRUE(platform::shutdownDevices());
        }
    }
}

TEST_F(BurstTest, RefusalsOfTheBufferAndTimerExports) {
    open(kRequestBlockBoard);
    uint32_t held = 0;
    uint32_t lost = 0;
    EXPECT_EQ(KORAL_GetBufferedSpectra(&held, &lost, 0), -1);
    EXPECT_RECORD(5, 505, 818, 0, "KORAL_GetBufferedSpectra");
    EXPECT_EQ(KORAL_GetBufferedSpectra(&held, &lost, 1), -1) << "work mode 3";
    EXPECT_RECORD(5, 506, 805, 0, "KORAL_GetBufferedSpectra");
    EXPECT_EQ(KORAL_ParaSetSpecBuffer(12, 1), -1);
    EXPECT_RECORD(5, 506, 805, 0, "KORAL_ParaSetSpecBuffer");
    ASSERT_EQ(KORAL_ParaSetSensorWorkMode(0, 7, 1), 0);
    EXPECT_EQ(KORAL_ParaSetSpecBuffer(257, 1), -1);
    EXPECT_RECORD(5, 505, 0, 0, "KORAL_ParaSetSpecBuffer");
    EXPECT_EQ(KORAL_ParaSetSpecBuffer(256, 1), 0);
    EXPECT_EQ(board->initState().parameters.ringCapacity, 256);
    EXPECT_EQ(KORAL_ParaSetHardwareTimer(10, 20, 1), -1);
    EXPECT_RECORD(5, 506, 804, 1, "KORAL_ParaSetHardwareTimer");
    EXPECT_EQ(KORAL_GetStoredTimeStamp(1, 2, 3, 4, 5), -1);
    EXPECT_RECORD(5, 506, 819, 0, "KORAL_GetStoredTimeStamp");
}

TEST_F(BurstTest, HardwareTimerOfAPciBoardGoesToTheBoard) {
    open(kRequestBlockBoard, 4);
    EXPECT_EQ(KORAL_ParaSetHardwareTimer(70000, 5, 1), -1);
    EXPECT_RECORD(5, 505, 0, 0, "KORAL_ParaSetHardwareTimer");
    ASSERT_EQ(KORAL_ParaSetHardwareTimer(400, 1200, 1), 0);
    const sim::InitParameters sent = board->initState().parameters;
    EXPECT_EQ(sent.preCnts, 400);
    EXPECT_EQ(sent.acqIntCnts, 1200);
    EXPECT_EQ(sent.delIntCnts, 1200);
}

// The board streams 100 scans a second into a ring of 12 while the client
// reads now and then: what each read reports adds up to what the board took.
TEST_F(BurstTest, BufferedRunAccountsForEveryScanTheBoardTook) {
    platform::VirtualClock& clock = useVirtualClock();
    open(std::string(kRequestBlockBoard) + "frame_rate = 100\n");
    ASSERT_EQ(KORAL_ParaSetSensorWorkMode(0, 7, 1), 0);
    ASSERT_EQ(KORAL_ParaSetSpecBuffer(12, 1), 0);
    // Pauses between reads, in scans of the board; the first read waits.
    const int pauses[] = {0, 3, 30, 1, 0, 0, 250, 12};
    // held and lost as a board with a ring of 12 reports them
    const std::pair<uint32_t, uint32_t> reports[] = {{1, 0},  {3, 0},  {12, 20},  {12, 0},
                                                     {11, 0}, {10, 0}, {12, 247}, {12, 11}};
    uint64_t taken = 0;
    uint64_t reads = 0;
    uint64_t lost = 0;
    uint32_t lastHeld = 0;
    for (size_t r = 0; r < std::size(pauses); ++r) {
        clock.advance(std::chrono::milliseconds(10) * pauses[r]);
        taken += static_cast<uint64_t>(pauses[r]);
        uint32_t held = 0;
        uint32_t lostNow = 0;
        const int32_t result = KORAL_GetBufferedSpectra(&held, &lostNow, 1);
        EXPECT_EQ(result, lostNow == 0 ? 0 : -2) << r;
        if (lostNow != 0) {
            EXPECT_RECORD(51, 196, 0, 1, "KORAL_GetBufferedSpectra");
        }
        EXPECT_EQ(std::make_pair(held, lostNow), reports[r]) << "read " << r;
        ++reads;
        lost += lostNow;
        lastHeld = held;
    }
    // The first read waited one scan for the board.
    taken += 1;
    EXPECT_EQ(reads + lost + (lastHeld - 1), taken);
    EXPECT_EQ(stored()[522], sensorCounts(522, recordOf(handle).integrationTime));
}

} // namespace
} // namespace tarvik::testing
