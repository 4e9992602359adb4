// The multi-parameter record: the main acquisition parameters of one board
// checked field by field as the single setters check them, and sent to the
// board in one transfer.

#include "acquisition/burst.h"
#include "acquisition/integration_time.h"
#include "acquisition/measurement_parameters.h"
#include "acquisition/raw_data.h"
#include "core/device_command.h"
#include "core/export_frame.h"
#include "core/interface_check.h"
#include "core/last_error.h"
#include "core/library_state.h"
#include "core/locks.h"
#include "tarvik.h"
#include "tarvik_request_block.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <optional>

namespace tarvik {
namespace {

// The name the record has always carried.
constexpr const char* kName = "KORAL_KORAL_ParaSetMultParameter";

constexpr uint32_t kUnchanged = 0xFFFFFFFFu;
constexpr uint32_t kOptionNoGeneration2Init = 0x2;
constexpr int32_t kInfoInttimeAcqAdapted = 816; // "INTTIME FOR ACQ ADAPTED"
constexpr int32_t kInfoInttimeDelAdapted = 817; // "INTTIME FOR DEL ADAPTED"
constexpr int32_t kInfoInvalidFlags = 841;      // "INVALID FLAGS"
constexpr uint16_t kFlashOptionDriverVersion = 1203;
constexpr uint8_t kFlashOptionBit = 0x02;
constexpr uint16_t kAcquisitionBurst = 2;

// The client's record may lie at any address: its fields are copied.
template <class T> T field(const void* record, size_t offset) {
    T value{};
    std::memcpy(&value, static_cast<const uint8_t*>(record) + offset, sizeof value);
    return value;
}
template <class T> void writeBack(void* record, size_t offset, T value) {
    std::memcpy(static_cast<uint8_t*>(record) + offset, &value, sizeof value);
}

#define MPR_OFFSET(f) offsetof(MultiParameterRecord, f)

class MultiParameterCall {
public:
    MultiParameterCall(void* record, DeviceSlot& slot, int32_t id)
        : record_(record), slot_(slot), block_(*slot.block()), id_(id) {}

    // 0, or -1 with the record written (and shown where the call ends).
    int32_t run() {
        if (applyTime(MPR_OFFSET(acquisitionTimeMs), kIntegrationKindAcquisition,
                      kInfoInttimeAcqAdapted) != 0 ||
            applyTime(MPR_OFFSET(deletingTimeMs), kIntegrationKindDeleting,
                      kInfoInttimeDelAdapted) != 0) {
            return failExport(kName);
        }
        applyCount();
        if (applyWorkMode() != 0 || applyTriggerTimeout() != 0 || applyFlash() != 0) {
            return failExport(kName);
        }
        if (SendDeviceCommand(KORAL_CMD_INIT) != 0) {
            return failExport(kName);
        }
        if (adaptedInfo_) {
            return failExport(kName, id_, KORAL_LEVEL_LIMITED_VALUE, code::kInvalidParameter,
                              *adaptedInfo_);
        }
        return 0;
    }

private:
    // Only the first adaptation of a call is reported.
    void adapted(int32_t info) {
        if (!adaptedInfo_) {
            adaptedInfo_ = info;
        }
    }

    int32_t applyTime(size_t offset, int32_t kind, int32_t adaptedInfo) {
        double ms = field<double>(record_, offset);
        if (!(ms >= 0.0)) {
            return 0; // negative: unchanged
        }
        slot_.minimumClampReport = 1;
        const LastErrorRecord before = lastErrorRecord();
        const int32_t result = ApplyIntegrationTime(&ms, kind, 0);
        writeBack(record_, offset, ms);
        if (result == kIntegrationLimited) {
            adapted(adaptedInfo);
            return 0;
        }
        if (result == 0) {
            return 0;
        }
        // A failed apply fails the call, also when it named no cause.
        const LastErrorRecord after = lastErrorRecord();
        if (after.level == before.level && after.code == before.code && after.info == before.info &&
            after.interfaceId == before.interfaceId) {
            recordError(id_, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        }
        return -1;
    }

    void applyCount() {
        int32_t count = field<int32_t>(record_, MPR_OFFSET(count));
        if (count < 0) {
            return;
        }
        const int32_t selector = field<int32_t>(record_, MPR_OFFSET(burstSelector));
        const bool burst =
            selector == 0 || selector == 1 ? selector == 1 : block_.AcquisitionMode == 2;
        const int32_t limit = burst ? kBurstNumberMaximum : kAverageNumberLimit;
        const int32_t original = count;
        count = std::clamp(count, 1, limit);
        if (burst) {
            // Blocks beyond what a burst may hold in all would let the data
            // area grow without bound: blocks and count are limited together.
            const int32_t asked = field<int32_t>(record_, MPR_OFFSET(burstBlocks));
            const int32_t blocks = std::clamp(asked, 1, kBurstNumberMaximum);
            if (asked > kBurstNumberMaximum) {
                writeBack(record_, MPR_OFFSET(burstBlocks), blocks);
                adapted(code::kAveragingAdapted);
            }
            count = std::min(count, kBurstNumberMaximum / blocks);
            slot_.burstNumber = static_cast<uint32_t>(count);
            slot_.averageNumber = 1;
            block_.AcquisitionMode = kAcquisitionBurst;
            block_.BurstBlocks = static_cast<uint16_t>(blocks);
        } else {
            slot_.averageNumber = static_cast<uint32_t>(count);
            block_.AcquisitionMode = count < 2 ? 0 : 1;
        }
        block_.NumScans = static_cast<uint16_t>(count);
        if (count != original) {
            writeBack(record_, MPR_OFFSET(count), count);
            adapted(code::kAveragingAdapted);
        }
    }

    int32_t applyWorkMode() {
        const uint32_t mode = field<uint32_t>(record_, MPR_OFFSET(workMode));
        if (mode == kUnchanged) {
            return 0;
        }
        const uint16_t mode16 = static_cast<uint16_t>(mode);
        const uint32_t options = field<uint32_t>(record_, MPR_OFFSET(options));
        const bool generation2 = slot_.boardType == kTypeUsb && boardGeneration(block_) >= 2;
        if (options != kUnchanged) {
            if ((options & kOptionNoGeneration2Init) != 0) {
                const bool allowed = generation2 && mode16 != 6 && mode16 != 7 &&
                                     mode16 != 0xFF20 && mode16 != 0xFF21 && mode16 != 0xFF25;
                if (!allowed) {
                    recordError(id_, KORAL_LEVEL_IGNORED, code::kDriverNoSupport,
                                kInfoInvalidFlags);
                    return -1;
                }
                block_.RequestFlags &= ~KORAL_RF_GEN2_INIT;
            } else if (generation2) {
                block_.RequestFlags |= KORAL_RF_GEN2_INIT;
            }
        }
        uint16_t depth = 0;
        switch (slot_.boardType) {
        case kTypeIsa:
            if (mode16 < 1 || mode16 > 5) {
                recordError(id_, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                            code::kInvalidWorkMode);
                return -1;
            }
            break;
        case kTypePci:
        case kTypeBoard5:
        case kTypeUsb:
            if (CheckBoardWorkMode(slot_, id_, mode16, depth) != 0) {
                return -1;
            }
            break;
        default:
            recordError(id_, KORAL_LEVEL_IGNORED, code::kInvalidInterfaceType, 0);
            return -1;
        }
        block_.WorkMode = mode16;
        block_.RingCapacity = depth;
        return 0;
    }

    int32_t applyTriggerTimeout() {
        const int32_t asked = field<int32_t>(record_, MPR_OFFSET(triggerTimeoutMs));
        if (asked < 0) {
            return 0;
        }
        const auto timeout =
            std::clamp<int32_t>(asked, kExtTriggerTimeoutMin, kExtTriggerTimeoutMax);
        if (timeout != asked) {
            writeBack(record_, MPR_OFFSET(triggerTimeoutMs), timeout);
            adapted(0);
        }
        block_.TOTimeExtTrig = static_cast<uint32_t>(timeout);
        return 0;
    }

    int32_t applyFlash() {
        const uint32_t flash = field<uint32_t>(record_, MPR_OFFSET(flash));
        if (flash == 0) {
            block_.FlashHW = 0;
            return 0;
        }
        if (flash == 1) {
            block_.FlashHW = 1;
        }
        const uint32_t option = field<uint32_t>(record_, MPR_OFFSET(flashOption));
        if (option == 0) {
            const uint32_t options = field<uint32_t>(record_, MPR_OFFSET(options));
            writeBack(record_, MPR_OFFSET(options), options & ~kOptionNoGeneration2Init);
        } else if (option == 1) {
            const bool supported =
                slot_.boardType == kTypeUsb ||
                (slot_.boardType == kTypePci && block_.DriverVersion >= kFlashOptionDriverVersion);
            if (!supported) {
                recordError(id_, KORAL_LEVEL_IGNORED, code::kDriverNoSupport,
                            code::kFirmwareObsolete);
                return -1;
            }
            block_.FlashOpt = static_cast<uint8_t>(block_.FlashOpt | kFlashOptionBit);
        }
        return 0;
    }

    void* record_;
    DeviceSlot& slot_;
    DeviceRequestBlock& block_;
    const int32_t id_;
    std::optional<int32_t> adaptedInfo_;
};

#undef MPR_OFFSET

} // namespace
} // namespace tarvik

using namespace tarvik;

extern "C" int32_t KORAL_ParaSetMultParameter(void* record, uint32_t interfaceId) {
    return runExport(kName, [&]() -> int32_t {
        const auto id = static_cast<int32_t>(interfaceId);
        if (checkInterfaceForExport(kName, kCheckInitialised, id) != 0) {
            return -1;
        }
        if (libraryState()->interfaceTypeInUse == kTypeSerial) {
            return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kNotAvailable,
                              code::kInvalidInterfaceType);
        }
        if (record == nullptr || field<uint32_t>(record, 0) != sizeof(MultiParameterRecord)) {
            return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                              kInfoInvalidIndex);
        }
        std::lock_guard guard(deviceLock());
        DeviceSlot* slot = checkedSlot(id);
        if (slot == nullptr) {
            return failExport(kName);
        }
        return MultiParameterCall(record, *slot, id).run();
    });
}
