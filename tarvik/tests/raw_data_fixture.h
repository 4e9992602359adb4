#pragma once
// Raw-data record tests: the library as at load, and every record freed again
// before the library goes (records outlive a detach, as they outlive an open).

#include "support/tarvik_test.h"

#include "acquisition/raw_data.h"
#include "tarvik.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace tarvik::testing {

class RawDataTest : public TarvikTest {
protected:
    void TearDown() override {
        injectRawDataAllocFault(RawDataAllocFault::kNoFault);
        ReleaseAllRawData();
        TarvikTest::TearDown();
    }

    uint32_t alloc() {
        uint32_t handle = 0;
        EXPECT_EQ(KORAL_AllocRawData(&handle), 0);
        EXPECT_NE(handle, 0u);
        return handle;
    }

    static RawDataRecord& recordOf(uint32_t handle) {
        RawDataRecord* record = findRawDataRecord(handle);
        EXPECT_NE(record, nullptr) << handle;
        return *record;
    }

    static void setArray(dorvel::SpectrumArray& array, const std::vector<double>& values) {
        ASSERT_TRUE(array.SetSize(static_cast<int32_t>(values.size())));
        for (size_t i = 0; i < values.size(); ++i) {
            *array.GetElementPtr(static_cast<int32_t>(i)) = values[i];
        }
    }

    static std::vector<double> arrayOf(const dorvel::SpectrumArray& array) {
        std::vector<double> out;
        for (int32_t i = 0; i < array.GetSize(); ++i) {
            out.push_back(*array.GetElementPtr(i));
        }
        return out;
    }

    // A slot that passes the check of initialised interfaces.
    DeviceSlot& addInitialisedSlot(int32_t id) {
        DeviceSlot& slot = addSlot(id, kTypeUsb);
        slot.initialised = 1;
        return slot;
    }
};

} // namespace tarvik::testing
