#pragma once
// Spectrum preparation tests: a slot whose request block the test fills as a
// board would, records mapped to its channels, and the preparation called as
// the acquisition calls it (DeviceLock held, the slot's ID actual).

#include "raw_data_fixture.h"

#include "acquisition/prepare_spectrum.h"
#include "core/device_command.h"
#include "core/last_error.h"
#include "core/locks.h"

#include <cstring>
#include <mutex>

namespace tarvik::testing {

class PrepareSpectrumTest : public RawDataTest {
protected:
    static constexpr int32_t kId = 1;

    void SetUp() override {
        RawDataTest::SetUp();
        slot = &addSlot(kId, kTypeUsb);
        slot->initialised = 1;
        slot->frontEndType = 3; // signed values
        setPixels(8);
        block().NumScans = 1;
        block().BurstBlocks = 1;
        block().MuxMode = 1;
        block().MuxChanNum = 1;
        saved = setPrepareSpectrumHooks({});
    }
    void TearDown() override {
        setPrepareSpectrumHooks(saved);
        RawDataTest::TearDown();
    }

    DeviceRequestBlock& block() const { return *slot->block(); }
    void setPixels(uint32_t n) const { slot->block()->NumberPixel2Long = n; }

    // A record mapped to the client's channel (1..8).
    RawDataRecord& mapped(int32_t channel) {
        uint32_t handle = alloc();
        EXPECT_EQ(KORAL_ParaSetMapping(&handle, channel, kId), 0);
        return recordOf(handle);
    }

    // ScanData[i] = 100 x value, as the board sums.
    void scan(size_t i, double value) const {
        block().ScanData[i] = static_cast<uint32_t>(static_cast<int32_t>(value * 100.0));
    }
    void scanRamp(size_t count, double start = 0.0) const {
        for (size_t i = 0; i < count; ++i) {
            scan(i, start + static_cast<double>(i));
        }
    }
    // A data area of the given number of 16-bit words.
    void dataArea(uint32_t words) const {
        std::lock_guard lock(deviceLock());
        ASSERT_EQ(ResizeRequestBlock(kId, words), 0);
    }
    void data32(size_t i, int32_t value) const { std::memcpy(slot->data() + i * 4, &value, 4); }
    void data16(size_t i, int16_t value) const { std::memcpy(slot->data() + i * 2, &value, 2); }

    int32_t prepare(int32_t mode) const {
        std::lock_guard lock(deviceLock());
        state().actualInterfaceId = kId;
        return PrepareSpectrumData(mode);
    }

    static std::vector<double> ramp(size_t count, double start, double step = 1.0) {
        std::vector<double> out;
        for (size_t i = 0; i < count; ++i) {
            out.push_back(start + step * static_cast<double>(i));
        }
        return out;
    }

    void expectFailure(int32_t level, int32_t code, int32_t info) const {
        const LastErrorRecord r = record();
        EXPECT_EQ(r.level, level);
        EXPECT_EQ(r.code, code);
        EXPECT_EQ(r.info, info);
        EXPECT_EQ(r.interfaceId, kId);
        EXPECT_TRUE(ui->boxes().empty());
    }

    DeviceSlot* slot = nullptr;
    PrepareSpectrumHooks saved;
};

} // namespace tarvik::testing
