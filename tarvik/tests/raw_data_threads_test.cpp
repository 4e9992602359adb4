// Raw-data records used from several threads at once: allocations and frees,
// a preparation filling mapped records, and slots closed under a free.

#include "raw_data_fixture.h"

#include "core/locks.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace tarvik::testing {
namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

class RawDataThreadsTest : public RawDataTest {
protected:
    void SetUp() override {
        RawDataTest::SetUp();
        KORAL_ErrorMessages(0); // refusals are expected; no boxes
    }
};

TEST_F(RawDataThreadsTest, ConcurrentAllocationsGetRecordsOfTheirOwn) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 500;
    std::atomic<int> failures{0};
    std::atomic<bool> done{false};
    uint32_t freed = 0;
    ASSERT_EQ(KORAL_AllocRawData(&freed), 0);
    const uint32_t stale = freed;
    ASSERT_EQ(KORAL_FreeRawData(&freed), 0);

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                uint32_t handle = 0;
                if (KORAL_AllocRawData(&handle) != 0) {
                    ++failures;
                    continue;
                }
                const int32_t tag = t * kRounds + round;
                {
                    Guard guard(rawDataLock());
                    findRawDataRecord(handle)->averageNumber = tag;
                }
                int32_t average = -1;
                double maximum = 0;
                if (KORAL_ParaSetDarkCurrentCorrectionMode(&handle, 0) != 0 ||
                    KORAL_GetStoredAverageNumber(&handle, &average) != 0 || average != tag ||
                    KORAL_GetStoredIntensity(&handle, nullptr, &maximum, nullptr, nullptr) != 0 ||
                    KORAL_FreeRawData(&handle) != 0 || handle != 0) {
                    ++failures;
                }
            }
        });
    }
    // The stale handle of the first record is refused throughout, even when
    // its table slot is reused.
    std::thread staleReader([&] {
        while (!done) {
            uint32_t copy = stale;
            int32_t darkState = 0;
            if (KORAL_GetStoredDarkModeSettings(&copy, &darkState) != -1 ||
                KORAL_FreeRawData(&copy) != -1 || copy != stale) {
                ++failures;
            }
        }
    });
    for (std::thread& thread : threads) {
        thread.join();
    }
    done = true;
    staleReader.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(rawDataRecordCount(), 0u);
}

TEST_F(RawDataThreadsTest, FreesMappingsPreparationAndClosesRunTogether) {
    constexpr int kRounds = 1000;
    constexpr int32_t kId = 2;
    constexpr int32_t kPixels = 16;
    addSlot(1, kTypeUsb); // keeps the library's slot walk busy
    std::atomic<int> failures{0};
    std::atomic<bool> done{false};

    // Opens and closes interface 2 again and again.
    std::thread opener([&] {
        for (int round = 0; round < kRounds; ++round) {
            std::lock_guard guard(deviceLock());
            if (CreateDeviceSlot(kId) != 0 || FreeDeviceSlot(kId) != 0) {
                ++failures;
            }
        }
    });
    // Allocates, maps to interface 2 while it exists, reads and frees.
    std::thread client([&] {
        for (int round = 0; round < kRounds; ++round) {
            uint32_t handle = 0;
            if (KORAL_AllocRawData(&handle) != 0) {
                ++failures;
                continue;
            }
            KORAL_ParaSetMapping(&handle, 1, kId); // 0, or 504 while closed
            std::vector<double> spectrum(kPixels);
            if (KORAL_GetStoredRawData(&handle, spectrum.data()) != 0 ||
                KORAL_FreeRawData(&handle) != 0) {
                ++failures;
            }
        }
    });
    // Acquires: resets the extremes and fills the mapped record of channel 1
    // as the spectrum preparation does.
    std::thread acquisition([&] {
        while (!done) {
            std::lock_guard device(deviceLock());
            ResetChannelIntensityLimits(kId);
            Guard raw(rawDataLock());
            DeviceSlot* slot = deviceSlot(kId);
            RawDataRecord* rec = slot != nullptr ? mappedRawDataRecord(*slot, 0) : nullptr;
            if (rec == nullptr) {
                continue;
            }
            if (!rec->spectrum.SetSize(kPixels) || !rec->pixelNumbers.SetSize(kPixels)) {
                ++failures;
                continue;
            }
            for (int32_t i = 0; i < kPixels; ++i) {
                *rec->spectrum.GetElementPtr(i) = i;
                *rec->pixelNumbers.GetElementPtr(i) = i + 1;
                trackIntensity(*rec, i, 32767.0, [] { return false; });
            }
            rec->pixelCount = kPixels;
            copyChannelDescription(*rec, *slot, 0);
        }
    });
    opener.join();
    client.join();
    done = true;
    acquisition.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(rawDataRecordCount(), 0u);
    EXPECT_EQ(deviceSlot(1)->mappedRecords, (std::array<RawDataRecord*, 8>{}));
}

} // namespace
} // namespace tarvik::testing
