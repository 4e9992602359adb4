// Workers of several slots scanning at once, and a close that comes while an
// acquisition waits for its board.

#include "acquisition_fixture.h"

#include "core/lifecycle.h"

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

} // namespace
} // namespace tarvik::testing
