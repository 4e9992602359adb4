#pragma once
// Spectrum preparation: turns the raw scan values of the actual interface's
// request block into the arrays of the raw-data records mapped to the channels
// that were measured.
//
// The caller (the acquisition) holds the DeviceLock and has made the slot's
// ID the actual interface ID; PrepareSpectrumData takes the RawDataLock for
// its whole run. It never shows the error box: the calling export reports.

#include <cstdint>

namespace tarvik {

struct RawDataRecord;

inline constexpr int32_t kPrepareDarkCurrent = 0;
inline constexpr int32_t kPrepareSpectrum = 1;

// mode 1 spectra, 0 dark current; 0 done, -1 failed (the LastErrorRecord says
// why, except for a type-8 multiplexer outside multi-channel mode).
int32_t PrepareSpectrumData(int32_t mode);

// The slot passes the level-2 state check and its revision-pixel flag is set.
bool HasRevisionPixels(int32_t interfaceId);
// Level-2 check, channel 1 described by file (sensor type 128), index inside
// channel 1's pixel count and one of the five revision pixel indices.
bool IsRevisionPixel(int32_t interfaceId, int32_t pixelIndex);
// Replaces pixel p of the spectrum at offset off of channel c's record (0..7)
// by its nearest non-revision neighbours. False when nothing was repaired.
bool RepairRevisionPixel(int32_t interfaceId, int32_t channel, int32_t spectrumOffset,
                         int32_t pixelIndex);

// Steps of other parts that the preparation calls through replaceable hooks,
// so that each part installs its own and tests can observe them. A null hook
// is "off": no type-8 channel scaling, no linearization.
//   applyChannelScaling(id, channel 0..3, dark) scales the channel record's
//     spectrum (tracking its extremes) or dark current by the type-8 factor.
//   applyLinearization(record, arrayKind 1 spectrum / 0 dark current, n, k)
//     returns false after writing its code and info into the LastErrorRecord.
struct PrepareSpectrumHooks {
    bool (*applyChannelScaling)(int32_t interfaceId, int32_t channel, bool dark) = nullptr;
    bool (*applyLinearization)(RawDataRecord& record, int32_t arrayKind, int32_t n,
                               int32_t k) = nullptr;
};
// Installs the hooks; returns the previous ones.
PrepareSpectrumHooks setPrepareSpectrumHooks(const PrepareSpectrumHooks& hooks);
PrepareSpectrumHooks prepareSpectrumHooks();

} // namespace tarvik
