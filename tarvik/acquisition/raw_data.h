#pragma once
// Raw-data records: the client's per-channel store of spectra, pixel numbers,
// dark current and their bookkeeping, reached through 32-bit handles.
//
// A client allocates a record (KORAL_AllocRawData), keeps its handle in a u32
// variable and maps the record to channels of interfaces (KORAL_ParaSetMapping).
// Each acquisition fills the records mapped to the channels it measured; the
// stored-value exports copy the values out. The handle is a value of a handle
// table: 0, unknown and stale handles (of a freed record) find no record.
//
// Locking: every record field and array, and the slots' mappedRecords, are
// read and written under the RawDataLock. A slot's mappedRecords and channel
// tables are also only touched while the DeviceLock keeps the slot alive (the
// exports here take DeviceLock, then RawDataLock; the acquisition holds the
// DeviceLock throughout). The lookups below do not lock: their callers hold
// the RawDataLock for as long as they use the record.
//
// What spectrum preparation needs (the caller holds the DeviceLock and the
// RawDataLock; the slot is the actual interface's):
//   mappedRawDataRecord(slot, c)       the record of channel c (0..7) or null
//   copyChannelDescription(rec, slot, c) sensor type, pixel count, rows and
//                                      fourth sensor word of channel c
//   rec.spectrum / pixelNumbers / darkCurrent / savedDarkCurrent
//                                      dorvel::SpectrumArray: SetSize(n) keeps
//                                      what fits, GetElementPtr(i) reads and
//                                      writes element i in place
//   rec.pixelCount, burstNumber, integrationTime (ms), averageNumber,
//   darkState                          the tail of a preparation
//   trackIntensity(rec, value, F, excluded)
//                                      the running extremes and percents
//   stampRecordTime(rec, time)         the time stamp of an acquisition
//   ResetChannelIntensityLimits(id)    at the first pass of an acquisition
// Linearization uses rec.linearization (null only if it could not be made,
// which the allocation refuses here), rec.linearizationFlags, rec.sensorType
// and rec.channelPixelCount. Exports that take a client's handle variable find
// their record with findRawDataRecord and report a miss with
// failNoRawDataRecord.

#include "dorvel/linearization.h"
#include "dorvel/spectrum_array.h"

#include <array>
#include <cstdint>
#include <memory>

namespace tarvik {

struct DeviceSlot;

inline constexpr int32_t kChannelCount = 8;
inline constexpr int32_t kInfoInvalidChannelIdentity = 806; // "INVALID CHANNEL IDENTITY"
inline constexpr int32_t kInfoInvalidIndex = 831;           // "INVALID INDEX"

// The extremes of a new record and after a reset.
inline constexpr double kResetMaximum = -100000.0;
inline constexpr double kResetMinimum = 100000.0;
inline constexpr double kResetMaximumPercent = -100.0;
inline constexpr double kResetMinimumPercent = 100.0;

// Local time of the acquisition that filled a record, in the order the
// stored-time export hands it out. Year 0: never stamped.
struct RecordTime {
    uint16_t second = 0;
    uint16_t minute = 0;
    uint16_t hour = 0;
    uint16_t day = 0;
    uint16_t month = 0;
    uint16_t year = 0;
};

// The record's linearization; the base does the work and this class adds no
// data, so that a record destroys it through its own virtual destructor.
class CLinearization final : public dorvel::CLinearizationBase {
public:
    ~CLinearization() override = default;
};

struct RawDataRecord {
    // The record's handle. Its address may stand in for a client's handle
    // variable wherever the variable is only read.
    uint32_t self = 0;
    RecordTime time;
    double integrationTime = 0.0; // ms
    int32_t averageNumber = 0;
    int32_t burstNumber = 0; // spectra one after another in the spectrum array
    int32_t pixelCount = 0;  // N, values per stored spectrum
    // 1: the last spectrum was dark-corrected (or corrected by its first
    // pixels); 0: a dark current was stored last, or nothing yet.
    int32_t darkState = 0;
    int32_t DarkCurrentCorrectionMode = 1; // 1: correct new spectra with the dark current
    dorvel::SpectrumArray pixelNumbers;
    dorvel::SpectrumArray darkCurrent;
    dorvel::SpectrumArray savedDarkCurrent;
    dorvel::SpectrumArray spectrum; // N x burst number values
    // The mapped channel's description; -1 until the record is mapped.
    int32_t sensorType = -1;
    int32_t channelPixelCount = -1;
    int32_t rows = -1;
    int32_t fourthSensorWord = -1;
    uint32_t linearizationFlags = 0; // bit 0 loaded, bit 1 from a named file
    std::unique_ptr<CLinearization> linearization;
    double maximum = kResetMaximum;
    double minimum = kResetMinimum;
    double maximumPercent = kResetMaximumPercent; // of positive full scale
    double minimumPercent = kResetMinimumPercent; // of negative full scale
};

// The record of a handle; null for 0, an unknown or a stale handle. The
// caller holds the RawDataLock for as long as it uses the record.
RawDataRecord* findRawDataRecord(uint32_t handle);
// The same for a client's handle variable (also null for a null pointer).
RawDataRecord* findRawDataRecord(const uint32_t* handleVariable);
// An export found no record behind its handle variable: 5/505/806 with the
// interface ID, the export's name and the box; -1. Called after leaving the
// RawDataLock where the caller can (the box is modal).
int32_t failNoRawDataRecord(const char* exportName, int32_t interfaceId = 0);

// Channel index 0..7 of the slot; null when none is mapped there or the index
// is out of range.
RawDataRecord* mappedRawDataRecord(const DeviceSlot& slot, int32_t channelIndex);
// Copies the slot's four channel tables at the index into the record.
void copyChannelDescription(RawDataRecord& record, const DeviceSlot& slot, int32_t channelIndex);

void resetIntensityLimits(RawDataRecord& record);
// Resets the extremes of every record mapped to the slot of the ID; true
// (also without a slot). Takes the RawDataLock.
bool ResetChannelIntensityLimits(int32_t interfaceId);

// A value of a spectrum that became a new maximum or minimum (strict
// comparisons) sets it with its percent of fullScale (65535.0 for unsigned
// front ends, 32767.0 otherwise). excluded() is asked only for a value that
// would be a new extreme: a true answer (a revision pixel) keeps the extremes.
template <class Excluded>
void trackIntensity(RawDataRecord& record, double value, double fullScale, Excluded&& excluded) {
    if (value > record.maximum && !excluded()) {
        record.maximum = value;
        record.maximumPercent = 100.0 * value / fullScale;
    }
    if (value < record.minimum && !excluded()) {
        record.minimum = value;
        record.minimumPercent = -100.0 * value / fullScale;
    }
}

void stampRecordTime(RawDataRecord& record, const RecordTime& time);
// The local time now.
RecordTime localRecordTime();

// Unmaps and frees every record (at unload, and between white-box tests);
// their handles become stale. Takes the DeviceLock and the RawDataLock.
void ReleaseAllRawData();
// Number of live records.
size_t rawDataRecordCount();

// Test seam: the next KORAL_AllocRawData fails at this step as if memory
// were short (kNoFault: none).
enum class RawDataAllocFault { kNoFault, kRecord, kLinearization };
void injectRawDataAllocFault(RawDataAllocFault fault);

} // namespace tarvik
