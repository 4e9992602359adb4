// Workers of several slots scanning at once, a close that comes while an
// acquisition waits for its board, and two clients each driving a simulated
// board of its own.

#include "acquisition_fixture.h"
#include "sim_road_fixture.h"

#include "core/lifecycle.h"

#include <array>
#include <string>
#include <thread>

namespace tarvik::testing {
namespace {

class AcquisitionThreadsTest : public AcquisitionTest {
protected:
    // A scan answer that stays with the driver until `hold` is set.
    BoardAnswer heldScan(uint32_t base) const {
        BoardAnswer answer = scanAnswer(base);
        answer.hold = hold;
        return answer;
    }
    // Until `count` requests reached the driver.
    void awaitRequests(size_t count) const {
        while (board.requests().size() < count) {
            std::this_thread::yield();
        }
    }

    std::shared_ptr<platform::Event> hold =
        std::make_shared<platform::Event>(platform::ResetMode::Manual);
};

TEST_F(AcquisitionThreadsTest, AllSelectedSlotsScanBeforeAnyIsAwaited) {
    openBoard(1, 0);
    openBoard(2, 1);
    openBoard(3, 2);
    board.script({heldScan(3), heldScan(3), heldScan(3)});
    int32_t result = 1;
    std::thread client([&result] { result = KORAL_GetSpectra(0); });
    // Three requests at the driver at once: every worker was started before
    // the first one finished.
    awaitRequests(3);
    hold->set();
    client.join();
    EXPECT_EQ(result, 0);
    for (int32_t id = 1; id <= 3; ++id) {
        EXPECT_EQ(spectrumOf(id), valuesOf(3)) << id;
    }
}

TEST_F(AcquisitionThreadsTest, ClientsOfDifferentSlotsTakeTurns) {
    openBoard(1, 0);
    openBoard(2, 1);
    std::vector<BoardAnswer> answers;
    for (int i = 0; i < 40; ++i) {
        answers.push_back(scanAnswer(9));
    }
    board.script(answers);
    std::array<int32_t, 2> failures{};
    std::vector<std::thread> clients;
    for (int32_t id = 1; id <= 2; ++id) {
        clients.emplace_back([id, &failures] {
            for (int i = 0; i < 20; ++i) {
                failures[static_cast<size_t>(id - 1)] +=
                    KORAL_GetSpectra(static_cast<uint32_t>(id)) != 0;
            }
        });
    }
    for (std::thread& client : clients) {
        client.join();
    }
    EXPECT_EQ(failures[0] + failures[1], 0);
    EXPECT_EQ(board.requests().size(), 40u);
    EXPECT_EQ(spectrumOf(2), valuesOf(9));
}

TEST_F(AcquisitionThreadsTest, CloseDuringAcquisitionWaitsAndStopsTheWorker) {
    openBoard(1, 0);
    board.script({heldScan(4)});
    int32_t acquired = 1;
    std::thread client([&acquired] { acquired = KORAL_GetSpectra(1); });
    awaitRequests(1);
    int32_t closed = 1;
    std::thread closer([&closed] { closed = KORAL_CloseOperationElectronics(1); });
    hold->set();
    client.join();
    closer.join();
    EXPECT_EQ(acquired, 0);
    EXPECT_EQ(closed, 0) << describe(record());
    EXPECT_FALSE(row(1).thread);
    EXPECT_EQ(row(1).state, kWorkerNone);
    EXPECT_EQ(deviceSlot(1), nullptr);
}

TEST_F(AcquisitionThreadsTest, UnloadStopsWorkersOfOpenSlots) {
    openBoard(1, 0);
    openBoard(2, 1, 1);
    EXPECT_EQ(KORAL_GetSpectra(2), 0);
    StopAllAcquisitionThreads();
    EXPECT_FALSE(row(1).thread);
    EXPECT_FALSE(row(2).thread);
}

// Each client sets a time of its own board, then takes a spectrum of it:
// whatever the other client does meanwhile, the spectrum is at that time and
// the setter answers with its own board's limits only. The parameter is the
// second board's pixel count: 256 gives it the first board's limits, 768 a
// minimum of 5.6 ms, above the first client's 5 ms.
class TwoClientsTest : public SimRoadTest, public ::testing::WithParamInterface<uint32_t> {
protected:
    static constexpr int kRounds = 10000;

    static std::vector<double> expected(const char* name, uint32_t pixels, double ms) {
        std::vector<double> counts(pixels);
        sim::BoardRegistry::instance().find(name)->withSensor([&](sim::SensorModel& sensor) {
            for (uint32_t i = 0; i < pixels; ++i) {
                counts[i] = sensor.counts(i, pixels, ms * 1000.0);
            }
        });
        return counts;
    }
};

TEST_P(TwoClientsTest, EachSpectrumIsAtItsOwnClientsTime) {
    const std::string keys = "usb_board = 0\nboard_id = 1\npixels = 256\n"
                             "[board c]\ninterface_type = 6\nusb_board = 0\nboard_id = 2\n"
                             "pixels = " +
                             std::to_string(GetParam()) + "\n";
    open(keys, 6, 1);
    const uint32_t firstHandle = handle;
    open(keys, 6, 2);
    const std::array<uint32_t, 2> handles{firstHandle, handle};
    const std::array<std::array<double, 2>, 2> times{{{5.0, 7.0}, {6.0, 8.0}}};
    std::array<std::array<std::vector<double>, 2>, 2> spectra;
    for (size_t k = 0; k < 2; ++k) {
        spectra[0][k] = expected("b", 256, times[0][k]);
        spectra[1][k] = expected("c", GetParam(), times[1][k]);
    }
    KORAL_ErrorMessages(0);

    std::array<int, 2> refused{};
    std::array<int, 2> wrong{}; // not taken, or not at the time just set
    std::vector<std::thread> clients;
    for (size_t n = 0; n < 2; ++n) {
        clients.emplace_back([&, n] {
            const auto id = static_cast<uint32_t>(n + 1);
            uint32_t record = handles[n];
            std::vector<double> spectrum(spectra[n][0].size());
            for (int round = 0; round < kRounds; ++round) {
                const size_t k = static_cast<size_t>(round % 2);
                double ms = times[n][k];
                if (KORAL_ParaSetIntegrationTime(&ms, id) != 0) {
                    ++refused[n];
                } else if (KORAL_GetSpectra(id) != 0 ||
                           KORAL_GetStoredRawData(&record, spectrum.data()) != 0 ||
                           spectrum != spectra[n][k]) {
                    ++wrong[n];
                }
            }
        });
    }
    for (std::thread& client : clients) {
        client.join();
    }
    for (size_t n = 0; n < 2; ++n) {
        EXPECT_EQ(refused[n], 0) << "client " << n + 1;
        EXPECT_EQ(wrong[n], 0) << "client " << n + 1 << " of " << kRounds;
    }
}

INSTANTIATE_TEST_SUITE_P(Boards, TwoClientsTest, ::testing::Values(256u, 768u),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                             return info.param == 256 ? "SameLimits" : "DifferentLimits";
                         });

} // namespace
} // namespace tarvik::testing
