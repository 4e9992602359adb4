#pragma once
// Acquisition tests: USB board slots on the linked-in board driver, each with
// its worker running, records mapped to their first channel, and the hooks of
// the later parts recorded.

#include "board_test_driver.h"
#include "raw_data_fixture.h"

#include "acquisition/acquire_spectra.h"
#include "acquisition/acquisition_worker.h"
#include "core/locks.h"

#include <mutex>
#include <tuple>
#include <vector>

namespace tarvik::testing {

// What the engine asked of the digital lines (line, value, ID).
inline std::vector<std::tuple<int32_t, int32_t, int32_t>> g_digOutputs;
inline int32_t g_digOutputResult = 0;

inline int32_t recordDigOutput(int32_t line, int32_t value, int32_t id) {
    g_digOutputs.emplace_back(line, value, id);
    return g_digOutputResult;
}

class AcquisitionTest : public RawDataTest {
protected:
    static constexpr uint32_t kPixels = 8;

    void SetUp() override {
        RawDataTest::SetUp();
        ASSERT_TRUE(board.ready());
        g_digOutputs.clear();
        g_digOutputResult = 0;
        acquisitionHooks().setDigOutput = &recordDigOutput;
    }
    void TearDown() override {
        resetAcquisitionHooks();
        RawDataTest::TearDown();
    }

    // Board `device` in slot id: open, initialised, active, its worker
    // waiting, a record mapped to channel 1.
    DeviceSlot& openBoard(int32_t id, size_t device, uint8_t demo = 0) {
        const platform::DeviceHandle handle = board.open(device);
        EXPECT_NE(handle, platform::kInvalidDeviceHandle);
        DeviceSlot& slot = addSlot(id, kTypeUsb, handle);
        slot.initialised = 1;
        slot.frontEndType = 3;
        slot.block()->NumberPixel2Long = kPixels;
        slot.block()->BurstBlocks = 1;
        slot.block()->MuxChanNum = 1;
        {
            std::lock_guard guard(deviceLock());
            EXPECT_TRUE(StartAcquisitionThread(id, kTypeUsb, demo));
        }
        uint32_t handleOfRecord = alloc();
        EXPECT_EQ(KORAL_ParaSetMapping(&handleOfRecord, 1, static_cast<uint32_t>(id)), 0);
        records[static_cast<size_t>(id)] = handleOfRecord;
        return slot;
    }

    std::vector<double> spectrumOf(int32_t id) {
        std::vector<double> out(kPixels, -1.0);
        EXPECT_EQ(KORAL_GetStoredRawData(&records[static_cast<size_t>(id)], out.data()), 0);
        return out;
    }

    // Scan values 100 x (base + i).
    static std::vector<uint32_t> scanOf(uint32_t base) {
        std::vector<uint32_t> values;
        for (uint32_t i = 0; i < kPixels; ++i) {
            values.push_back(100 * (base + i));
        }
        return values;
    }
    static std::vector<double> valuesOf(uint32_t base) {
        std::vector<double> values;
        for (uint32_t i = 0; i < kPixels; ++i) {
            values.push_back(static_cast<double>(base + i));
        }
        return values;
    }

    static BoardAnswer scanAnswer(uint32_t base, uint16_t warning = 0) {
        BoardAnswer answer;
        answer.scan = scanOf(base);
        answer.warning = warning;
        return answer;
    }
    static BoardAnswer statusAnswer(uint16_t status, uint16_t info) {
        BoardAnswer answer;
        answer.status = status;
        answer.statusInfo = info;
        return answer;
    }
    static BoardAnswer failedAnswer(platform::DriverStatus requestStatus) {
        BoardAnswer answer;
        answer.requestStatus = requestStatus;
        return answer;
    }

    AcquisitionThreadRow& row(int32_t id) const {
        return state().acquisitionThreads.rows[static_cast<size_t>(id)];
    }

    BoardTestDriver board{3};
    std::array<uint32_t, kSlotCount> records{};
};

} // namespace tarvik::testing
