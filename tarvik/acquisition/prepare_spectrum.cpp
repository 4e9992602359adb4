#include "acquisition/prepare_spectrum.h"

#include "acquisition/acquisition_helpers.h"

#include "acquisition/linearization.h"
#include "acquisition/raw_data.h"
#include "core/interface_check.h"
#include "core/last_error.h"
#include "core/library_state.h"
#include "core/locks.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

namespace tarvik {
namespace {

constexpr int32_t kCodeNotAbleToRealloc = 205;  // "NOT ABLE TO REALLOC MEMORY"
constexpr int32_t kCodeNoMemoryAllocated = 501; // "NO MEMORY ALLOCATED"
constexpr int32_t kCodeInvalidParameter = 505;  // "INVALID PARAMETER VALUE"
constexpr uint32_t kSensorTypeFromFile = 128;
constexpr uint16_t kMuxModeMulti = 2;
constexpr uint16_t kAcquisitionBurst = 2;
constexpr uint32_t kFlagDataArea = 0x4;

bool applyRecordLinearization(RawDataRecord& record, int32_t arrayKind, int32_t n, int32_t k) {
    return ApplyLinearization(&record, arrayKind, n, k) == 0;
}

std::mutex hooksGuard;
PrepareSpectrumHooks hooks{ApplyChannelScaling, applyRecordLinearization};

bool hasUnsignedRange(const DeviceSlot& slot) {
    const uint32_t t = slot.frontEndType;
    return t == 2 || t == 7 || t == 9 || t == 11;
}

bool isSwitchedMux(uint32_t muxType) {
    return muxType == 6 || muxType == 7 || muxType == 9;
}

bool isMirrored(const DeviceSlot& slot, int32_t c) {
    const uint32_t t = slot.sensorType[static_cast<size_t>(c)];
    return t == 1 || t == 14 || t == 15 || slot.sensorReversed != 0;
}

// IsRevisionPixel without the state check, for a slot already checked.
bool isRevisionPixelOf(const DeviceSlot& slot, int64_t index) {
    if (slot.sensorType[0] != kSensorTypeFromFile || index < 0 ||
        index >= static_cast<int64_t>(slot.pixelCount[0])) {
        return false;
    }
    return std::any_of(slot.revisionPixels.begin(), slot.revisionPixels.end(),
                       [index](uint32_t p) { return p == index; });
}

struct Layout {
    int32_t first = 0;
    int32_t end = 0;
    int32_t step = 0;
    bool endsOnly = false;
    bool offsetIsIndex = false; // channel offset c; else 0, or 1 past channel 0 (ends only)
    int32_t offset(int32_t c) const {
        if (offsetIsIndex) {
            return c;
        }
        return endsOnly && c > 0 ? 1 : 0;
    }
    bool filled(int32_t c) const { return !endsOnly || c == 0 || c == end - 1; }
};

// False for the refused combination (type 8 outside multi-channel mode).
bool channelLayout(const DeviceSlot& slot, uint16_t muxMode, int32_t n, Layout& out) {
    const uint32_t t = slot.muxType;
    n = std::clamp(n, 1, kChannelCount);
    if (isSwitchedMux(t)) {
        const int32_t m = std::clamp<int32_t>(slot.muxChannel, 1, kChannelCount);
        out = Layout{m - 1, m, 0, false, false};
        return true;
    }
    if (muxMode != kMuxModeMulti) {
        if (t == 8) {
            return false;
        }
        out = Layout{n - 1, n, 0, false, false};
        return true;
    }
    if (t == 2 || t == 4) {
        out = n == 1 ? Layout{0, 1, 0, false, false} : Layout{0, n, 1, true, false};
    } else if (t == 8) {
        out = Layout{0, n - 1, 0, false, false};
    } else {
        out = Layout{0, n, n - 1, false, true};
    }
    return true;
}

// Where the raw values of this preparation come from, and how many fit there.
class RawSource {
public:
    RawSource(const DeviceSlot& slot, int32_t mode) : slot_(slot) {
        const DeviceRequestBlock* b = slot.block();
        burst_ = mode == kPrepareSpectrum && b->AcquisitionMode == kAcquisitionBurst;
        dataArea_ = (b->RequestFlags & kFlagDataArea) != 0;
        const size_t blockSize = slot.requestBlock.size();
        dataBytes_ = blockSize > KORAL_REQUEST_BLOCK_DATA_OFFSET
                         ? blockSize - KORAL_REQUEST_BLOCK_DATA_OFFSET
                         : 0;
    }
    bool fromDataArea() const { return burst_ || dataArea_; }
    // Values the source holds.
    int64_t capacity() const {
        if (burst_) {
            return static_cast<int64_t>(dataBytes_ / sizeof(int16_t));
        }
        if (dataArea_) {
            return static_cast<int64_t>(dataBytes_ / sizeof(int32_t));
        }
        return KORAL_SCAN_DATA_PIXELS;
    }
    // out[i] = value at start + i * stride plus shift, for i < n; every index
    // was checked. One tight loop per source.
    void read(int64_t start, int64_t stride, int64_t n, double shift, double* out) const {
        const uint8_t* bytes = burst_ || dataArea_
                                   ? slot_.data()
                                   : reinterpret_cast<const uint8_t*>(slot_.block()->ScanData);
        if (burst_) {
            readAs<sizeof(int16_t)>(bytes, start, stride, n, out, [shift](const uint8_t* p) {
                int16_t v = 0;
                std::memcpy(&v, p, sizeof v);
                return v + shift;
            });
        } else {
            readAs<sizeof(int32_t)>(bytes, start, stride, n, out, [shift](const uint8_t* p) {
                int32_t v = 0;
                std::memcpy(&v, p, sizeof v);
                return v / 100.0 + shift;
            });
        }
    }

private:
    // Values of Size bytes each; the loop without a stride is the common one.
    template <size_t Size, class Value>
    static void readAs(const uint8_t* bytes, int64_t start, int64_t stride, int64_t n, double* out,
                       Value value) {
        const uint8_t* in = bytes + start * static_cast<int64_t>(Size);
        if (stride == 1) {
            for (int64_t i = 0; i < n; ++i) {
                out[i] = value(in + i * static_cast<int64_t>(Size));
            }
        } else {
            for (int64_t i = 0; i < n; ++i) {
                out[i] = value(in + i * stride * static_cast<int64_t>(Size));
            }
        }
    }

    const DeviceSlot& slot_;
    bool burst_ = false;
    bool dataArea_ = false;
    size_t dataBytes_ = 0;
};

int32_t failWith(int32_t id, int32_t level, int32_t code, int32_t info) {
    recordError(id, level, code, info);
    return -1;
}

// The linearization wrote its code and info; the preparation makes it its own.
int32_t failLinearization(int32_t id) {
    const LastErrorRecord written = lastErrorRecord();
    return failWith(id, 4, written.code, written.info);
}

// The revision pixels of a spectrum of n pixels, looked up once per preparation.
struct RevisionPixels {
    std::vector<uint8_t> mask;  // by pixel index
    std::vector<int32_t> order; // ascending
};

RevisionPixels revisionPixelsOf(const DeviceSlot& slot, int64_t n) {
    RevisionPixels out;
    out.mask.assign(static_cast<size_t>(std::max<int64_t>(n, 0)), 0);
    for (const uint32_t p : slot.revisionPixels) {
        if (p < out.mask.size() && isRevisionPixelOf(slot, p)) {
            out.mask[p] = 1;
        }
    }
    for (size_t i = 0; i < out.mask.size(); ++i) {
        if (out.mask[i] != 0) {
            out.order.push_back(static_cast<int32_t>(i));
        }
    }
    return out;
}

struct Context {
    DeviceSlot& slot;
    int32_t id;
    int32_t mode;
    int64_t n;
    int32_t count;
    Layout layout;
    RawSource source;
    bool type8;
    bool unsignedRange;
    bool type8Source; // board type 8 reads ScanData by channel block
    PrepareSpectrumHooks hooks;
    RevisionPixels revision;
};

int64_t rawIndex(const Context& x, int64_t base, int32_t c, int64_t i, bool spectrum) {
    if (x.type8Source) {
        return spectrum ? (c + 1) * x.n + i : i;
    }
    return base + x.layout.offset(c) + i + i * x.layout.step;
}

int64_t blockBase(const Context& x, int32_t k) {
    const uint16_t muxMode = x.slot.block()->MuxMode;
    const int64_t perBlock =
        muxMode == kMuxModeMulti && !isSwitchedMux(x.slot.muxType) ? x.layout.end * x.n : x.n;
    return (k - 1) * perBlock;
}

// Every value this preparation reads lies inside its source: a block whose
// pixel count or layout asks for more than the board delivered is refused
// before any record changes.
bool sourceCovers(const Context& x) {
    if (x.n == 0) {
        return true;
    }
    const int32_t lastK = x.mode == kPrepareSpectrum ? x.count : 1;
    int64_t highest = -1;
    for (int32_t c = x.layout.first; c < x.layout.end; ++c) {
        if (!x.layout.filled(c)) {
            continue;
        }
        const int64_t base = x.mode == kPrepareSpectrum ? blockBase(x, lastK) : 0;
        highest = std::max(highest, rawIndex(x, base, c, x.n - 1, x.mode == kPrepareSpectrum));
    }
    return highest < x.source.capacity();
}

double& element(dorvel::SpectrumArray& a, int64_t i) {
    return *a.GetElementPtr(static_cast<int32_t>(i));
}

// The values of an array from index off on (its storage is one run of
// doubles); the caller has sized the array to hold every index it uses.
double* valuesFrom(dorvel::SpectrumArray& a, int64_t off) {
    return a.GetElementPtr(static_cast<int32_t>(off));
}

void reverse(dorvel::SpectrumArray& a, int64_t off, int64_t n) {
    if (n > 1) {
        double* v = valuesFrom(a, off);
        std::reverse(v, v + n);
    }
}

// 1..n; n fits a SpectrumArray, so the numbers fit 32 bits (and the loop
// converts several at once).
void fillPixelNumbers(double* pixels, int64_t n) {
    for (int32_t i = 0; i < static_cast<int32_t>(n); ++i) {
        pixels[i] = static_cast<double>(i + 1);
    }
}

// The record's running extremes over the values just read, as if taken one
// by one with trackIntensity: a revision pixel never becomes one.
void trackExtremes(const Context& x, RawDataRecord& r, const double* values, bool revisionPixels) {
    double high = r.maximum;
    double low = r.minimum;
    const std::vector<uint8_t>& skip = x.revision.mask;
    if (!revisionPixels || skip.empty()) {
        // Four running pairs: one would wait for each comparison before the next.
        constexpr int64_t kLanes = 4;
        std::array<double, kLanes> highs;
        std::array<double, kLanes> lows;
        highs.fill(high);
        lows.fill(low);
        int64_t i = 0;
        for (; i + kLanes <= x.n; i += kLanes) {
            for (int64_t k = 0; k < kLanes; ++k) {
                highs[k] = std::max(highs[k], values[i + k]);
                lows[k] = std::min(lows[k], values[i + k]);
            }
        }
        for (; i < x.n; ++i) {
            high = std::max(high, values[i]);
            low = std::min(low, values[i]);
        }
        high = std::max(high, *std::max_element(highs.begin(), highs.end()));
        low = std::min(low, *std::min_element(lows.begin(), lows.end()));
    } else {
        for (int64_t i = 0; i < x.n; ++i) {
            if (i < static_cast<int64_t>(skip.size()) && skip[static_cast<size_t>(i)] != 0) {
                continue;
            }
            high = std::max(high, values[i]);
            low = std::min(low, values[i]);
        }
    }
    const double fullScale = x.unsignedRange ? 65535.0 : 32767.0;
    if (high > r.maximum) {
        r.maximum = high;
        r.maximumPercent = 100.0 * high / fullScale;
    }
    if (low < r.minimum) {
        r.minimum = low;
        r.minimumPercent = -100.0 * low / fullScale;
    }
}

int32_t prepareRecordSpectrum(Context& x, RawDataRecord& r, int32_t c, int32_t k, int64_t base,
                              bool revisionPixels) {
    const int64_t off = (k - 1) * x.n;
    const int64_t total = x.n * x.count;
    if (!r.spectrum.SetSize(static_cast<int32_t>(total)) ||
        !r.pixelNumbers.SetSize(static_cast<int32_t>(total))) {
        return failWith(x.id, 4, kCodeNotAbleToRealloc, 0);
    }
    copyChannelDescription(r, x.slot, c);
    const bool track = !x.type8 || x.unsignedRange;
    double* spectrum = r.spectrum.GetElementPtr(static_cast<int32_t>(off));
    double* pixels = r.pixelNumbers.GetElementPtr(static_cast<int32_t>(off));
    const int64_t start = rawIndex(x, base, c, 0, true);
    x.source.read(start, rawIndex(x, base, c, 1, true) - start, x.n,
                  x.unsignedRange ? 32768.0 : 0.0, spectrum);
    if (track) {
        trackExtremes(x, r, spectrum, revisionPixels);
    }
    fillPixelNumbers(pixels, x.n);
    if (x.type8 && !x.unsignedRange && x.hooks.applyChannelScaling != nullptr) {
        x.hooks.applyChannelScaling(x.id, c, false);
    }
    if (isMirrored(x.slot, c)) {
        reverse(r.spectrum, off, x.n);
    }
    if ((r.linearizationFlags & 1u) != 0 && x.hooks.applyLinearization != nullptr &&
        !x.hooks.applyLinearization(r, 1, static_cast<int32_t>(x.n), k)) {
        return failLinearization(x.id);
    }
    const bool rangeOn = x.slot.darkPixelRangeOn != 0;
    if ((r.DarkCurrentCorrectionMode == 1 || rangeOn) &&
        (r.darkCurrent.GetSize() >= x.n || rangeOn)) {
        r.darkState = 1;
        r.darkCurrent.SetSize(static_cast<int32_t>(x.n));
        r.savedDarkCurrent.SetSize(static_cast<int32_t>(x.n));
        if (r.darkCurrent.GetSize() < x.n) {
            // Not resizable: nothing to subtract from or to store into.
        } else if (!rangeOn && x.n > 0) {
            double* spectrum = valuesFrom(r.spectrum, off);
            const double* dark = valuesFrom(r.darkCurrent, 0);
            for (int64_t i = 0; i < x.n; ++i) {
                spectrum[i] -= dark[i];
            }
        } else if (rangeOn) {
            // The range is limited to the spectrum: pixels beyond it don't exist.
            const int64_t firstDark = x.slot.firstDarkPixel;
            const int64_t lastDark = std::min<int64_t>(x.slot.lastDarkPixel, x.n - 1);
            if (firstDark <= lastDark) {
                double sum = 0.0;
                for (int64_t j = firstDark; j <= lastDark; ++j) {
                    sum += element(r.spectrum, off + j);
                }
                const double mean = sum / static_cast<double>(lastDark - firstDark + 1);
                for (int64_t i = 0; i < x.n; ++i) {
                    element(r.darkCurrent, i) = mean;
                    if (r.DarkCurrentCorrectionMode == 1) {
                        element(r.spectrum, off + i) -= mean;
                    }
                }
            }
        }
    }
    if (revisionPixels) {
        for (const int32_t i : x.revision.order) {
            RepairRevisionPixel(x.id, c, static_cast<int32_t>(off), i);
        }
    }
    return 0;
}

int32_t prepareRecordDark(Context& x, RawDataRecord& r, int32_t c) {
    const auto n32 = static_cast<int32_t>(x.n);
    if (!r.darkCurrent.SetSize(n32) || !r.savedDarkCurrent.SetSize(n32) ||
        !r.pixelNumbers.SetSize(n32)) {
        return failWith(x.id, 4, kCodeNotAbleToRealloc, 0);
    }
    if (x.n > 0) {
        double* dark = valuesFrom(r.darkCurrent, 0);
        double* pixels = valuesFrom(r.pixelNumbers, 0);
        std::copy_n(dark, x.n, valuesFrom(r.savedDarkCurrent, 0));
        const int64_t start = rawIndex(x, 0, c, 0, false);
        x.source.read(start, rawIndex(x, 0, c, 1, false) - start, x.n,
                      x.unsignedRange ? 32768.0 : 0.0, dark);
        fillPixelNumbers(pixels, x.n);
    }
    copyChannelDescription(r, x.slot, c);
    if (x.type8 && !x.unsignedRange && x.hooks.applyChannelScaling != nullptr) {
        x.hooks.applyChannelScaling(x.id, c, true);
    }
    if (isMirrored(x.slot, c)) {
        reverse(r.darkCurrent, 0, x.n);
    }
    if ((r.linearizationFlags & 1u) != 0 && x.hooks.applyLinearization != nullptr &&
        !x.hooks.applyLinearization(r, 0, n32, 1)) {
        return failLinearization(x.id);
    }
    r.darkState = 0;
    return 0;
}

void stampTail(const Context& x, RawDataRecord& r) {
    const DeviceRequestBlock* b = x.slot.block();
    r.pixelCount = static_cast<int32_t>(x.n);
    if (x.mode == kPrepareSpectrum) {
        r.burstNumber = x.count;
    }
    r.integrationTime = x.slot.acquisitionIntegrationTime / 1000.0;
    if (x.slot.boardType == kTypeSerial) {
        r.averageNumber = static_cast<int32_t>(x.slot.qre.averageNumber);
    } else if (b->AcquisitionMode == kAcquisitionBurst) {
        r.averageNumber = 1;
    } else {
        r.averageNumber = b->NumScans;
    }
}

} // namespace

PrepareSpectrumHooks setPrepareSpectrumHooks(const PrepareSpectrumHooks& next) {
    std::lock_guard guard(hooksGuard);
    return std::exchange(hooks, next);
}

PrepareSpectrumHooks prepareSpectrumHooks() {
    std::lock_guard guard(hooksGuard);
    return hooks;
}

int32_t PrepareSpectrumData(int32_t mode) {
    std::lock_guard rawDataGuard(rawDataLock());
    const int32_t id = actualInterfaceId();
    DeviceSlot* slot = actualSlot();
    if (slot == nullptr || slot->block() == nullptr) {
        return failWith(id, 4, kCodeNoMemoryAllocated, 0);
    }
    const DeviceRequestBlock* b = slot->block();
    Layout layout;
    if (!channelLayout(*slot, b->MuxMode, b->MuxChanNum, layout)) {
        return -1;
    }
    const bool burst = mode == kPrepareSpectrum && b->AcquisitionMode == kAcquisitionBurst;
    const int64_t count64 = burst ? int64_t{b->NumScans} * b->BurstBlocks : 1;
    const int64_t n = b->NumberPixel2Long;
    const bool type8 = slot->boardType == kTypeUsb2;
    const bool unsignedRange = hasUnsignedRange(*slot);
    const RawSource source(*slot, mode);
    Context x{*slot,
              id,
              mode,
              n,
              static_cast<int32_t>(std::max<int64_t>(count64, 0)),
              layout,
              source,
              type8,
              unsignedRange,
              type8 && !unsignedRange && !source.fromDataArea(),
              prepareSpectrumHooks(),
              {}};
    if (mode != kPrepareSpectrum && mode != kPrepareDarkCurrent) {
        // Reported after the record test of the first channel, as the loop would.
        if (layout.first < layout.end && mappedRawDataRecord(*slot, layout.first) == nullptr) {
            return failWith(id, 4, kCodeNoMemoryAllocated, 0);
        }
        if (layout.first < layout.end) {
            return failWith(id, 5, kCodeInvalidParameter, 0);
        }
        return 0;
    }
    if (n * count64 > dorvel::SpectrumArray::kMaxSize) {
        return failWith(id, 4, kCodeNotAbleToRealloc, 0);
    }
    if (!sourceCovers(x)) {
        return failWith(id, 5, kCodeInvalidParameter, kInfoInvalidIndex);
    }
    const bool revisionPixels = mode == kPrepareSpectrum && HasRevisionPixels(id);
    if (revisionPixels) {
        x.revision = revisionPixelsOf(*slot, n);
    }
    for (int32_t k = 1; k <= x.count; ++k) {
        const int64_t base = blockBase(x, k);
        for (int32_t c = layout.first; c < layout.end; ++c) {
            RawDataRecord* r = mappedRawDataRecord(*slot, c);
            if (r == nullptr) {
                return failWith(id, 4, kCodeNoMemoryAllocated, 0);
            }
            if (!layout.filled(c)) {
                continue;
            }
            const int32_t rc = mode == kPrepareSpectrum
                                   ? prepareRecordSpectrum(x, *r, c, k, base, revisionPixels)
                                   : (k == 1 ? prepareRecordDark(x, *r, c) : 0);
            if (rc != 0) {
                return rc;
            }
            stampTail(x, *r);
        }
    }
    return 0;
}

bool HasRevisionPixels(int32_t interfaceId) {
    if (CheckInterfaceState(kCheckDeviceOpen, interfaceId) != 0) {
        return false;
    }
    const DeviceSlot* slot = deviceSlot(interfaceId);
    return slot != nullptr && slot->revisionPixelFlag != 0;
}

bool IsRevisionPixel(int32_t interfaceId, int32_t pixelIndex) {
    if (CheckInterfaceState(kCheckDeviceOpen, interfaceId) != 0) {
        return false;
    }
    const DeviceSlot* slot = deviceSlot(interfaceId);
    return slot != nullptr && isRevisionPixelOf(*slot, pixelIndex);
}

bool RepairRevisionPixel(int32_t interfaceId, int32_t channel, int32_t spectrumOffset,
                         int32_t pixelIndex) {
    if (CheckInterfaceState(kCheckDeviceOpen, interfaceId) != 0 || channel < 0 ||
        channel >= kChannelCount) {
        return false;
    }
    std::lock_guard rawDataGuard(rawDataLock());
    const DeviceSlot* slot = deviceSlot(interfaceId);
    RawDataRecord* r = slot == nullptr ? nullptr : mappedRawDataRecord(*slot, channel);
    if (r == nullptr) {
        return false;
    }
    const int64_t last = static_cast<int64_t>(slot->pixelCount[static_cast<size_t>(channel)]) - 1;
    const int64_t off = spectrumOffset;
    const int64_t p = pixelIndex;
    if (off < 0 || p < 0 || p > last) {
        return false;
    }
    // Every read stays inside the spectrum, also when the channel table
    // claims more pixels than the record holds.
    const int64_t size = r->spectrum.GetSize();
    auto inside = [&](int64_t j) { return off + j >= 0 && off + j < size; };
    auto value = [&](int64_t j) { return element(r->spectrum, off + j); };
    double repaired = 0.0;
    if (p == 0) {
        int64_t j = 1;
        while (isRevisionPixelOf(*slot, j) && j < last - 1) {
            ++j;
        }
        if (!inside(j)) {
            return false;
        }
        repaired = value(j);
    } else if (p == last) {
        int64_t j = p - 1;
        while (isRevisionPixelOf(*slot, j) && j > 0) {
            --j;
        }
        if (!inside(j)) {
            return false;
        }
        repaired = value(j);
    } else {
        int64_t j = p - 1;
        while (isRevisionPixelOf(*slot, j) && j > 0) {
            --j;
        }
        if (!inside(j)) {
            return false;
        }
        const double left = value(j);
        j = p + 1;
        while (isRevisionPixelOf(*slot, j) && j < last - 1) {
            ++j;
        }
        if (j != last && !inside(j)) {
            return false;
        }
        const double right = j == last ? left : value(j);
        repaired = (left + right) / 2.0;
    }
    if (!inside(p)) {
        return false;
    }
    element(r->spectrum, off + p) = repaired;
    return true;
}

} // namespace tarvik
