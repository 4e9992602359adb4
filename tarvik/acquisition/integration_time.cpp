// Integration time and sensor work mode. A time arrives in milliseconds,
// the slot keeps microseconds and the board counts its prescaled clock; the
// limits that the conversion finds are what the limit export reports.

#include "acquisition/integration_time.h"

#include "acquisition/acquire_spectra.h"
#include "acquisition/measurement_parameters.h"
#include "core/device_command.h"
#include "core/export_frame.h"
#include "core/interface_check.h"
#include "core/library_state.h"
#include "core/locks.h"
#include "hardware/sensor_tables.h"
#include "serial/qre_link.h"
#include "tarvik.h"
#include "tarvik_request_block.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <mutex>

namespace tarvik {
namespace {

constexpr int32_t kInfoInvalidFlags = 841; // "INVALID FLAGS"

constexpr double kMicro = 1e6;
constexpr uint16_t kSensorType22 = 22;
constexpr int32_t kType22Minimum = 10;
constexpr int32_t kType22Maximum = 6500000;
constexpr int32_t kType8Step = 20000; // µs
constexpr uint32_t kLongTimePreCnts2 = 8000;
constexpr uint32_t kLongTimePreCnts3 = 64000;
constexpr uint8_t kLongTimeMode2 = 8;
constexpr uint8_t kLongTimeMode3 = 64;

// Double to 32-bit µs, truncated toward zero. Values out of range saturate
// so that a huge or infinite request is limited instead of undefined.
int32_t truncToInt(double value) {
    constexpr double kMax = std::numeric_limits<int32_t>::max();
    constexpr double kMin = std::numeric_limits<int32_t>::min();
    if (!(value < kMax)) {
        return std::numeric_limits<int32_t>::max();
    }
    if (!(value > kMin)) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(value);
}

int32_t saturate(int64_t value) {
    if (value > std::numeric_limits<int32_t>::max()) {
        return std::numeric_limits<int32_t>::max();
    }
    if (value < std::numeric_limits<int32_t>::min()) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(value);
}

void recordLimited(int32_t id) {
    recordError(id, KORAL_LEVEL_LIMITED_VALUE, code::kInvalidParameter, 0);
}

// Constants of a board type.
struct BoardClock {
    double clock = 0;         // Hz
    int32_t addedMinimum = 0; // µs
    int32_t minimumCounts = 0;
};

bool boardClock(uint32_t type, BoardClock& out) {
    switch (type) {
    case kTypeIsa:
        out = {4000000, 200, 0};
        return true;
    case kTypePci:
    case kTypeBoard5:
        out = {8000000, 0, 2};
        return true;
    case kTypeUsb:
        out = {8000000, 100, 0};
        return true;
    case kTypeUsb2:
        out = {8000000, 0, 0};
        return true;
    case kType111:
        out = {4000000, 0, 0};
        return true;
    default:
        return false;
    }
}

// The working values of one conversion.
struct Conversion {
    int32_t minimum = 0; // µs
    int32_t maximum = 0; // µs
    uint16_t offset = 0; // read-out offset, µs
    double rate = 0;     // counts per second (16 bits)
    bool direct = false; // counts are the microseconds themselves
};

// The minimum and the read-out offset of a file-described sensor; the
// description's own count rate and maximum. False with the record written.
bool describeFileSensor(const DeviceSlot& slot, int32_t id, Conversion& c) {
    if (slot.sensorFileLoaded == 0) {
        recordError(id, KORAL_LEVEL_NOT_DONE, code::kLoadingConfigurationFile, 0);
        return false;
    }
    const auto& a = slot.sensorCoefficients;
    // A description whose clock values would divide by zero or give no count
    // rate is refused like one that could not be loaded.
    const double rate = a[0] / a[1];
    if (!std::isfinite(rate) || rate < 1.0 || rate > 65535.0) {
        recordError(id, KORAL_LEVEL_NOT_DONE, code::kLoadingConfigurationFile, 0);
        return false;
    }
    c.rate = std::trunc(rate);
    double minimum = 0;
    double offset = 0;
    switch (slot.sensorTechnology) {
    case 1:
        minimum = a[4] * a[5] * a[7] / a[8] * kMicro;
        break;
    case 2:
        minimum = a[3] * a[1] / a[0] * kMicro;
        offset = (a[4] * a[5] + a[6]) * a[7] / a[8] * kMicro;
        break;
    case 3: {
        const double g = a[8] / a[7];
        const bool fast = g >= 1e6;
        const double x = fast ? 24 : 16;
        const double y = fast ? 12 : 3;
        minimum = (x * a[10] + 4 * a[4] * a[9] + 3 + y * a[9]) / g * kMicro;
        break;
    }
    default:
        return false;
    }
    const double maximum = 65000.0 * a[1] / a[0] * kMicro;
    if (!std::isfinite(minimum) || !std::isfinite(offset) || !std::isfinite(maximum) ||
        offset < 0 || offset > 65535.0) {
        recordError(id, KORAL_LEVEL_NOT_DONE, code::kLoadingConfigurationFile, 0);
        return false;
    }
    c.minimum = truncToInt(minimum);
    c.maximum = truncToInt(maximum);
    c.offset = static_cast<uint16_t>(offset);
    return true;
}

// The multiplexer factor of the minimum.
int32_t muxFactor(const DeviceSlot& slot, const DeviceRequestBlock& block) {
    if (block.MuxMode != 0 && block.MuxMode != 2) {
        return 1;
    }
    switch (slot.muxType) {
    case 1:
    case 3:
    case 5:
        return block.MuxChanNum;
    case 2:
    case 4:
        return block.MuxMode == 2 && block.MuxChanNum >= 2 ? 2 : 1;
    default:
        return 1;
    }
}

void storeLimits(DeviceSlot& slot, int32_t minimum, int32_t maximum) {
    std::lock_guard guard(rawDataLock());
    slot.timeLimit1 = minimum / 1000.0;
    slot.timeLimit2 = maximum / 1000.0;
}

// The slot's stored time of a kind.
void storeTime(DeviceSlot& slot, int32_t kind, int32_t timeUs) {
    if (kind == kIntegrationKindAcquisition) {
        slot.acquisitionIntegrationTime = static_cast<uint32_t>(timeUs);
    } else {
        slot.deletingIntegrationTime = static_cast<uint32_t>(timeUs);
    }
}

bool validKind(int32_t kind) {
    return kind == kIntegrationKindAcquisition || kind == kIntegrationKindDeleting;
}

} // namespace

int32_t ApplyIntegrationTime(double* timeMs, int32_t kind, int32_t send) {
    const int32_t id = actualInterfaceId();
    DeviceSlot* slot = actualSlot();
    if (timeMs == nullptr || slot == nullptr || slot->block() == nullptr || !validKind(kind)) {
        return -1;
    }
    if (slot->boardType == kTypeSerial) {
        return LimitIntegrationTime(timeMs, kind, send);
    }
    BoardClock board;
    if (!boardClock(slot->boardType, board)) {
        return -1;
    }
    DeviceRequestBlock& block = *slot->block();
    const double t = *timeMs;
    if (std::isnan(t)) {
        recordError(id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        return -1;
    }
    int32_t requested = truncToInt(t * 1000.0);
    const int32_t rounded = truncToInt(t * 1000.0 + 0.5);

    // A prescaler of 0, or one that leaves no count rate a 16-bit value can
    // hold, would divide by zero or wrap the rate: refused.
    const double rateValue = block.PreCnts == 0 ? 0.0 : std::trunc(board.clock / block.PreCnts);
    Conversion c;
    c.rate = rateValue;

    const SensorTypeRow* row = FindSensorType(slot->sensorType[0] & 0xFFFF);
    if (row == nullptr) {
        return -1;
    }
    const uint16_t sensorType = row->type();
    const double f = slot->clockRate;
    const double n = block.NumberPixel;
    // The table rows carry no per-sensor read-out cycle counts.
    constexpr double c1 = 0;
    constexpr double c2 = 0;
    int32_t result = 0;
    switch (row->technology()) {
    case 0:
        if (sensorType == kSensorType22) {
            uint32_t snapped = requested < 0 ? 0u : static_cast<uint32_t>(requested);
            uint32_t maximum = 0;
            uint32_t minimum = 0;
            c.direct = ClampIntegrationTime(&snapped, &maximum, &minimum);
            c.minimum = static_cast<int32_t>(minimum);
            c.maximum = static_cast<int32_t>(maximum);
            if (int64_t{kType22Minimum} - requested > 1 ||
                int64_t{requested} - kType22Maximum > 1) {
                recordLimited(id);
                result = kIntegrationLimited;
            }
            requested = static_cast<int32_t>(snapped);
            if (c.direct) {
                block.RequestFlags |= KORAL_RF_INTTIME;
            } else {
                block.RequestFlags &= ~KORAL_RF_INTTIME;
            }
        } else if (sensorType == kFileSensorType) {
            if (!describeFileSensor(*slot, id, c)) {
                return -1;
            }
        }
        break;
    case 1:
        if (f <= 0) {
            recordError(id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
            return -1;
        }
        c.minimum = truncToInt(n * c1 / f * kMicro);
        break;
    case 2: {
        if (f <= 0 || block.PreCnts == 0) {
            recordError(id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
            return -1;
        }
        c.minimum = truncToInt(block.PreCnts * 4.0 / board.clock * kMicro);
        const double pixels =
            (sensorType == 13 || sensorType == 15 || sensorType == 21) ? 256.0 : n;
        c.offset = static_cast<uint16_t>(std::min(65535.0, (c1 * pixels + c2) / f * kMicro));
        break;
    }
    case 3: {
        if (f <= 0) {
            recordError(id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
            return -1;
        }
        const bool slow = f < 1000000;
        const double a = slow ? 16 : 24;
        const double b = slow ? 3 : 12;
        // Rows and the fourth sensor word of channel 1 are the sensor's line
        // count and its extra clock cycles.
        const double pixels = slot->pixelCount[0];
        const double rows = slot->rows[0];
        const double extra = slot->fourthSensorWord[0];
        c.minimum = truncToInt((a * extra + 4 * pixels * rows + b * rows + 3) / f * kMicro);
        break;
    }
    default:
        recordError(id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, code::kInvalidSensorType);
        return -1;
    }
    if (c.rate < 1.0 || c.rate > 65535.0) {
        recordError(id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        return -1;
    }

    // Multiplexer factor, the board's added time, then the library minimum.
    int64_t minimum = int64_t{muxFactor(*slot, block)} * c.minimum + board.addedMinimum;
    const LibraryState* state = libraryState();
    if (state != nullptr && state->minimumIntegrationTime < minimum) {
        minimum = state->minimumIntegrationTime;
    }
    c.minimum = saturate(minimum);
    if (c.maximum == 0) {
        c.maximum = truncToInt(block.PreCnts * 65000.0 / board.clock * kMicro);
    }

    double period = 0;
    if (slot->boardType != kTypeUsb2) {
        period = std::trunc(kMicro / c.rate + 0.5);
        double low = c.minimum;
        double high = c.maximum;
        RoundIntegrationTime(low, period, 1);
        RoundIntegrationTime(high, period, 2);
        c.minimum = truncToInt(low);
        c.maximum = truncToInt(high);
    } else if (!c.direct) {
        requested = saturate((int64_t{requested} + kType8Step / 2) / kType8Step * kType8Step);
    }
    if (board.minimumCounts > 0 && period > 0) {
        c.minimum = std::max(c.minimum, truncToInt(board.minimumCounts * period));
    }

    uint16_t counts = 0;
    double writtenBack = 0;
    if (c.direct) {
        counts = static_cast<uint16_t>(requested);
        writtenBack = requested / 1000.0;
    } else {
        if (int64_t{c.minimum} - rounded > 1) {
            requested = c.minimum;
            if (slot->minimumClampReport != 0) {
                recordLimited(id);
                result = kIntegrationLimited;
            }
        }
        if (int64_t{rounded} - c.maximum > 1) {
            requested = c.maximum;
            recordLimited(id);
            result = kIntegrationLimited;
        }
        double countValue =
            std::trunc((c.offset + static_cast<double>(requested)) / kMicro * c.rate + 0.5);
        // A count beyond 16 bits would wrap to a short time on the board.
        if (countValue > 65535.0) {
            countValue = 65535.0;
            recordLimited(id);
            result = kIntegrationLimited;
        }
        if (countValue < 0) {
            countValue = 0;
        }
        counts = static_cast<uint16_t>(countValue);
        if (counts < board.minimumCounts) {
            counts = static_cast<uint16_t>(board.minimumCounts);
            if (slot->minimumClampReport != 0) {
                recordLimited(id);
                result = kIntegrationLimited;
            }
        }
        // Microseconds first: a time that is a whole number of them comes
        // back exact, not a rounding error away from what the board runs.
        writtenBack = (counts * kMicro / c.rate - c.offset) / 1000.0;
    }

    *timeMs = writtenBack;
    storeTime(*slot, kind, requested);
    if (kind == kIntegrationKindAcquisition) {
        block.AcqIntCnts = counts;
    } else {
        block.DelIntCnts = counts;
    }
    storeLimits(*slot, c.minimum, c.maximum);
    if (send == 0) {
        return result;
    }
    const int32_t sent = SendDeviceCommand(KORAL_CMD_INIT);
    return sent != 0 ? sent : result;
}

int32_t LimitIntegrationTime(double* timeMs, int32_t kind, int32_t send) {
    const int32_t id = actualInterfaceId();
    DeviceSlot* slot = actualSlot();
    if (timeMs == nullptr || slot == nullptr || slot->block() == nullptr ||
        slot->boardType != kTypeSerial || !validKind(kind)) {
        return -1;
    }
    const double t = *timeMs;
    if (std::isnan(t)) {
        recordError(id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        return -1;
    }
    const DeviceRequestBlock& block = *slot->block();
    const int32_t rounded = truncToInt(t * 1000.0 + 0.5);
    const LibraryState* state = libraryState();
    const int32_t libraryMinimum =
        state != nullptr ? state->minimumIntegrationTime : std::numeric_limits<int32_t>::max();
    int32_t minimum = 0;
    int32_t maximum = 0;
    switch (slot->sensorType[0] & 0xFFFF) {
    case 0:
    case 1:
    case 2:
    case 16: {
        maximum = truncToInt(kMicro / 4000000.0 * block.PreCnts * 65000.0);
        const double k = slot->frontEndType == 3 ? 0.00075 : 0.00175;
        const double base = block.NumberPixel * kMicro * k / 128.0;
        const bool multiChannel = slot->qre.muxModeIndex + 1 == 2;
        double value = base;
        switch (slot->muxType) {
        case 1:
        case 3:
        case 5:
            if (multiChannel) {
                value = base * (slot->qre.muxChannelIndex + 1.0);
            }
            break;
        case 2:
        case 4:
            if (multiChannel && slot->muxChannels > 1) {
                value = 2 * base;
            }
            break;
        default: // 8 has no minimum of its own: the base value, as for the others
            break;
        }
        minimum = std::min(truncToInt(value), libraryMinimum);
        break;
    }
    case 3:
    case 5:
    case 13:
    case 18:
    case 19:
    case 20:
        minimum = 100;
        maximum = 1500000;
        break;
    case 6:
        minimum = std::min(libraryMinimum, 8600);
        maximum = 6500000;
        break;
    default:
        recordError(id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, code::kInvalidSensorType);
        return -1;
    }
    int32_t result = 0;
    double writtenBack = t;
    if (int64_t{minimum} - rounded > 1) {
        writtenBack = minimum / 1000.0;
        recordLimited(id);
        result = kIntegrationLimited;
    } else if (int64_t{rounded} - maximum > 1) {
        writtenBack = maximum / 1000.0;
        recordLimited(id);
        result = kIntegrationLimited;
    }
    *timeMs = writtenBack;
    storeTime(*slot, kind, truncToInt(writtenBack * 1000.0));
    storeLimits(*slot, minimum, maximum);
    if (send == 0) {
        return result;
    }
    const int32_t sent = SendQreWorkModeParameters();
    return result == kIntegrationLimited ? result : sent;
}

namespace {

// The four setters report a limited value as a failure, after the adapted
// value went to the board and back to the caller.
template <class Body> int32_t runTimeSetter(const char* name, uint32_t interfaceId, Body&& body) {
    return runSlotExport(name, kCheckInitialised, interfaceId,
                         [&](DeviceSlot& slot, int32_t id) -> int32_t {
                             const int32_t result = body(slot, id);
                             if (result == -1 || result == kIntegrationLimited) {
                                 return failExport(name);
                             }
                             return 0;
                         });
}

bool isLongTimeType(uint32_t type) {
    return type == kTypePci || type == kTypeBoard5 || type == kTypeUsb;
}

// The two long-time forms: whole milliseconds with their own prescaler.
int32_t applyLongTime(DeviceSlot& slot, int32_t* timeMs, uint32_t preCnts, uint8_t mode) {
    DeviceRequestBlock& block = *slot.block();
    slot.minimumClampReport = 1;
    if (block.PreCnts != preCnts) {
        if (slot.longTimeMode == 0) {
            slot.savedPreCnts = block.PreCnts;
        }
        block.PreCnts = static_cast<uint16_t>(preCnts);
    }
    slot.longTimeMode = mode;
    double value = *timeMs;
    const int32_t result = ApplyIntegrationTime(&value, kIntegrationKindAcquisition, 1);
    *timeMs = truncToInt(value);
    return result;
}

constexpr const char* kSetTime2 = "KORAL_ParaSetIntegrationTime2";
constexpr const char* kSetTime3 = "KORAL_ParaSetIntegrationTime3";

} // namespace
} // namespace tarvik

using namespace tarvik;

extern "C" int32_t KORAL_ParaSetIntegrationTime(double* timeMs, uint32_t interfaceId) {
    return runTimeSetter("KORAL_ParaSetIntegrationTime", interfaceId,
                         [&](DeviceSlot& slot, int32_t id) -> int32_t {
                             if (timeMs == nullptr) {
                                 recordError(id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
                                 return -1;
                             }
                             slot.minimumClampReport = 1;
                             slot.longTimeMode = 0;
                             if (slot.savedPreCnts != 0) {
                                 slot.block()->PreCnts = slot.savedPreCnts;
                                 slot.savedPreCnts = 0;
                             }
                             return ApplyIntegrationTime(timeMs, kIntegrationKindAcquisition, 1);
                         });
}

extern "C" int32_t KORAL_ParaSetIntegrationTime2(int32_t* timeMs, uint32_t interfaceId) {
    return runTimeSetter(kSetTime2, interfaceId, [&](DeviceSlot& slot, int32_t id) -> int32_t {
        if (!isLongTimeType(slot.boardType)) {
            recordError(id, KORAL_LEVEL_IGNORED, code::kInvalidInterfaceType, 0);
            return -1;
        }
        if (timeMs == nullptr) {
            recordError(id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
            return -1;
        }
        return applyLongTime(slot, timeMs, kLongTimePreCnts2, kLongTimeMode2);
    });
}

extern "C" int32_t KORAL_ParaSetIntegrationTime3(int32_t* timeMs, uint32_t interfaceId) {
    return runTimeSetter(kSetTime3, interfaceId, [&](DeviceSlot& slot, int32_t id) -> int32_t {
        if (!isLongTimeType(slot.boardType)) {
            recordError(id, KORAL_LEVEL_IGNORED, code::kInvalidInterfaceType, 0);
            return -1;
        }
        const DeviceRequestBlock& block = *slot.block();
        if (slot.boardType == kTypeUsb && boardGeneration(block) < 2 &&
            (block.FirmwareVersion < 204 || block.DriverVersion < 2011)) {
            recordError(id, KORAL_LEVEL_IGNORED, code::kDriverNoSupport, code::kFirmwareObsolete);
            return -1;
        }
        if (timeMs == nullptr) {
            recordError(id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
            return -1;
        }
        return applyLongTime(slot, timeMs, kLongTimePreCnts3, kLongTimeMode3);
    });
}

extern "C" int32_t KORAL_ParaSetIntegrationTimeForDeleting(double* timeMs, uint32_t interfaceId) {
    constexpr const char* kName = "KORAL_ParaSetIntegrationTimeForDeleting";
    // Type-8 boards have no deleting time; refused before the lock.
    const LibraryState* state = libraryState();
    if (state != nullptr && state->interfaceTypeInUse == kTypeUsb2) {
        return runExport(kName, [&] {
            return failExport(kName, static_cast<int32_t>(interfaceId), KORAL_LEVEL_IGNORED,
                              code::kNotAvailable, code::kInvalidInterfaceType);
        });
    }
    return runTimeSetter(kName, interfaceId, [&](DeviceSlot& slot, int32_t id) -> int32_t {
        if (timeMs == nullptr) {
            recordError(id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
            return -1;
        }
        slot.minimumClampReport = 1;
        return ApplyIntegrationTime(timeMs, kIntegrationKindDeleting, 1);
    });
}

extern "C" int32_t KORAL_ParaGetIntegrationTimeLimits(double* minimumMs, double* maximumMs,
                                                      uint32_t interfaceId) {
    constexpr const char* kName = "KORAL_ParaGetIntegrationTimeLimits";
    return runExport(kName, [&]() -> int32_t {
        const auto id = static_cast<int32_t>(interfaceId);
        if (checkInterfaceForExport(kName, kCheckDeviceOpen, id) != 0) {
            return -1;
        }
        if (minimumMs == nullptr || maximumMs == nullptr) {
            return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        }
        std::lock_guard guard(deviceLock());
        DeviceSlot* slot = checkedSlot(id);
        if (slot == nullptr) {
            return failExport(kName);
        }
        {
            std::lock_guard rawGuard(rawDataLock());
            if (slot->timeLimit1 != 0.0 && slot->timeLimit2 != 0.0) {
                *minimumMs = slot->timeLimit1;
                *maximumMs = slot->timeLimit2;
                return 0;
            }
        }
        *minimumMs = -1.0;
        *maximumMs = -1.0;
        return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kNotAvailable, code::kInvalidUse);
    });
}

namespace tarvik {

int32_t CheckBoardWorkMode(const DeviceSlot& slot, int32_t id, int32_t mode, uint16_t& depth) {
    DeviceRequestBlock& block = *slot.block();
    const uint32_t type = slot.boardType;
    const uint16_t driver = block.DriverVersion;
    auto refuse = [&](int32_t code, int32_t recordId) {
        recordError(recordId, KORAL_LEVEL_IGNORED, code, code::kInvalidWorkMode);
        return -1;
    };
    switch (mode) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 8:
    case 9:
    case 12:
    case 13:
    case 0xFF01:
    case 0xFF02:
    case 0xFF04:
    case 0xFF24:
        depth = 0;
        return 0;
    case 0xFF26:
        if (type == kTypePci) {
            if (driver < 1225) {
                return refuse(code::kDriverNoSupport, id);
            }
            if (block.BurstBlocks == 0) {
                block.BurstBlocks = 1;
            }
        }
        depth = 0;
        return 0;
    case 6:
    case 7: {
        const uint16_t needed = type == kTypePci ? 1100 : type == kTypeBoard5 ? 1006 : 801;
        if (driver < needed) {
            return refuse(code::kDriverNoSupport, 0);
        }
        depth = mode == 6 ? 1 : 12;
        return 0;
    }
    case 0xFF03:
        if (type == kTypePci) {
            return refuse(code::kInvalidParameter, id);
        }
        if (driver < 1009) {
            return refuse(code::kDriverNoSupport, id);
        }
        depth = 0;
        return 0;
    case 0xFF20:
    case 0xFF21:
    case 0xFF25:
        if ((type == kTypePci && driver < 1117) || type == kTypeBoard5 ||
            (type == kTypeUsb && driver < 1009)) {
            return refuse(code::kDriverNoSupport, id);
        }
        depth = 12;
        return 0;
    case 0xFF22:
    case 0xFF23:
        if (type != kTypeUsb) {
            return refuse(code::kDriverNoSupport, 0);
        }
        depth = 1;
        return 0;
    default:
        return refuse(code::kInvalidParameter, id);
    }
}

namespace {

// The serial electronics: the mode's own parameter send.
int32_t sendSerialMode(DeviceSlot& slot, int32_t id, int32_t mode) {
    bool adapted = false;
    if (mode == 1 || mode == 2 || mode == 4 || mode == 5) {
        if (slot.qre.averageNumber > 1) {
            slot.qre.averageNumber = 1;
            slot.averageNumber = 1;
            adapted = true;
        }
    }
    slot.block()->WorkMode = static_cast<uint16_t>(mode);
    int32_t sent = 0;
    switch (mode) {
    case 1:
        sent = SendQreParametersWorkMode1();
        break;
    case 2:
        sent = SendQreParametersWorkMode2();
        break;
    case 3:
        // Serial firmware above 3.14 takes the newer record.
        sent = slot.qre.firmwareVersion() > 314 ? SendQreParametersWorkMode3New()
                                                : SendQreParametersWorkMode3();
        break;
    case 4:
        sent = SendQreParametersWorkMode4();
        break;
    case 5:
        sent = SendQreParametersWorkMode5();
        break;
    default:
        sent = SendQreParametersWorkMode3();
        break;
    }
    if (sent != 0) {
        return sent;
    }
    if (adapted) {
        recordError(id, KORAL_LEVEL_DEFAULT_VALUE, code::kInvalidParameter,
                    code::kAveragingAdapted);
        return -1;
    }
    return 0;
}

} // namespace
} // namespace tarvik

extern "C" int32_t KORAL_ParaSetSensorWorkMode(uint32_t flags, int32_t mode, uint32_t interfaceId) {
    constexpr const char* kName = "KORAL_ParaSetSensorWorkMode";
    const bool quiet = (flags & 0x1u) != 0;
    auto fail = [&]() { return quiet ? failExportQuietly(kName) : failExport(kName); };
    return runExport(kName, [&]() -> int32_t {
        const auto id = static_cast<int32_t>(interfaceId);
        if (CheckInterfaceState(kCheckDeviceOpen, id) != 0) {
            return fail();
        }
        std::lock_guard guard(deviceLock());
        DeviceSlot* slot = checkedSlot(id);
        if (slot == nullptr) {
            return fail();
        }
        DeviceRequestBlock& block = *slot->block();
        const bool generation2 = slot->boardType == kTypeUsb && boardGeneration(block) >= 2;
        if ((flags & 0x2u) != 0) {
            const bool allowed = generation2 && mode != 6 && mode != 7 && mode != 0xFF20 &&
                                 mode != 0xFF21 && mode != 0xFF25;
            if (!allowed) {
                recordError(id, KORAL_LEVEL_IGNORED, code::kDriverNoSupport, kInfoInvalidFlags);
                return fail();
            }
            block.RequestFlags &= ~KORAL_RF_GEN2_INIT;
        } else if (generation2) {
            block.RequestFlags |= KORAL_RF_GEN2_INIT;
        }
        uint16_t depth = 0;
        switch (slot->boardType) {
        case kTypeIsa:
        case kType111:
        case kTypeUsb2: {
            const int32_t first = slot->boardType == kTypeUsb2 ? 3 : 1;
            if (mode < first || mode > 5) {
                recordError(id, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                            code::kInvalidWorkMode);
                return fail();
            }
            break;
        }
        case kTypeSerial: {
            if (mode < 1 || mode > 6) {
                recordError(id, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                            code::kInvalidWorkMode);
                return fail();
            }
            const int32_t result = sendSerialMode(*slot, id, mode);
            return result == 0 ? 0 : (fail(), result);
        }
        case kTypePci:
        case kTypeBoard5:
        case kTypeUsb:
            if (CheckBoardWorkMode(*slot, id, mode, depth) != 0) {
                return fail();
            }
            break;
        default:
            recordError(id, KORAL_LEVEL_IGNORED, code::kInvalidInterfaceType, 0);
            return fail();
        }
        block.WorkMode = static_cast<uint16_t>(mode);
        block.RingCapacity = depth;
        const int32_t result = SendDeviceCommand(KORAL_CMD_INIT);
        if (result != 0) {
            fail();
        }
        return result;
    });
}
