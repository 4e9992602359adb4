// IOCTL_BOARD_INIT and IOCTL_BOARD_DEINIT: the INIT_PARAMETER_BLOCK, the
// decision whether the board must get it again, and the start of the
// continuous modes.

#include "acquisition.h"

#include "board_status.h"
#include "firmware.h"
#include "vendor_requests.h"

#include <algorithm>

namespace kavrin {

namespace {

constexpr uint16_t kModeDifferential = 0xFF03;
constexpr uint16_t kOpModeDefault = 3;
constexpr uint16_t kMuxModeSpectra = 2;
constexpr uint32_t kMaxScansAveraged = 100;
constexpr uint16_t kFifoLevelMinimum = 0x4000;
// Long time-outs stay time-outs: never the platform's "no time-out".
constexpr uint32_t kPiecesTimeoutCeiling = platform::kInfinite - 1;
// A frame the driver would have to hold twice, plus its parse buffer: beyond
// this the request is refused rather than trying to allocate it.
constexpr uint64_t kMaxFrameBytes = 256ull << 20;

uint32_t clampTimeout(uint64_t ms) {
    return static_cast<uint32_t>(std::min<uint64_t>(ms, kPiecesTimeoutCeiling));
}

} // namespace

bool IsContinuousMode(uint16_t mode) {
    return mode == 6 || mode == 7 || (mode >= 48 && mode <= 51) || mode == 0xFF20 || mode == 0xFF21;
}

bool IsExternalTriggerMode(uint16_t mode) {
    return mode == 4 || mode == 5 || (mode >= 8 && mode <= 13) || (mode >= 48 && mode <= 51) ||
           mode == 0xFF22 || mode == 0xFF23;
}

ModeTranslation TranslateMode(uint16_t mode, uint16_t acquisitionMode, int generation) {
    ModeTranslation t;
    const bool burst = acquisitionMode == 2;
    if ((mode >= 1 && mode <= 5) || mode == 12 || mode == 13) {
        t.opMode = mode;
    } else if (mode == 8 || mode == 9) {
        t.opMode = static_cast<uint16_t>(mode + 4);
    } else if (mode == 10 || mode == 11) {
        t.opMode = mode;
        t.refused = generation != 2;
    } else if (mode >= 48 && mode <= 51) {
        t.opMode = mode;
        t.refused = generation != 2 || burst;
    } else if (mode == 6 || mode == 7) {
        t.opMode = mode;
        t.refused = burst;
    } else if (mode == 0xFF20 || mode == 0xFF21) {
        t.opMode = static_cast<uint16_t>(mode - 0xFF20 + 6);
        t.refused = burst;
    } else if (mode == 0xFF22 || mode == 0xFF23) {
        t.opMode = static_cast<uint16_t>(mode - 0xFF22 + 8);
    } else if (mode == kModeDifferential) {
        t.opMode = kModeDifferential;
    } else {
        t.opMode = kOpModeDefault;
        t.notInTable = true;
    }
    if (t.refused) {
        t.opMode = kOpModeDefault;
    }
    return t;
}

uint32_t ScanReadTimeoutMs(uint32_t factor, uint16_t acqIntCnts, uint16_t preCnts, uint32_t pixels,
                           uint16_t mode, uint32_t toTimeExtTrig) {
    const uint64_t n = std::max<uint32_t>(pixels, 1);
    const uint64_t integration = static_cast<uint64_t>(acqIntCnts) * preCnts / 8000;
    uint64_t ms = factor * (integration * ((0x10000 / n) / 2 + 1) + n / 100 + 100) * 2;
    if (IsExternalTriggerMode(mode)) {
        ms += static_cast<uint64_t>(toTimeExtTrig) + 20;
    }
    return clampTimeout(ms);
}

PixelCounts RequestedPixelCounts(const RequestBlock& block) {
    PixelCounts counts;
    const uint16_t pixels = block.get<rb::PixelCount>();
    const uint16_t kept = block.get<rb::KeptPixelCount>();
    counts.pixels = pixels == 0xFFFF ? block.get<rb::PixelCount32>() : pixels;
    counts.kept = kept == 0xFFFF ? block.get<rb::KeptPixelCount32>() : kept;
    const uint8_t muxSpec = block.get<rb::MuxSpec>();
    if (block.get<rb::MuxMode>() == kMuxModeSpectra && muxSpec > 1) {
        counts.pixels *= muxSpec;
        counts.kept *= muxSpec;
    }
    return counts;
}

BuildResult BuildInitParameterBlock(RequestBlock& request, INIT_PARAMETER_BLOCK& block,
                                    uint32_t pixelCount) {
    using B = INIT_PARAMETER_BLOCK;
    BuildResult result;
    const uint16_t mode = request.get<rb::SensorWorkMode>();
    const int generation = request.get<rb::HardwareWord>() >> 12;
    const ModeTranslation translation =
        TranslateMode(mode, request.get<rb::AcquisitionMode>(), generation);
    result.notInTable = translation.notInTable;
    block.set16(B::Version, request.get<rb::DriverVersion>());
    block.set16(B::OpMode, translation.opMode);
    if (translation.refused) {
        request.set<rb::Status>(kBoardStatusModeNotAvailable);
        return result;
    }
    const bool differential = mode == kModeDifferential;
    block.set16(B::PreCnts, request.get<rb::PreCnts>());
    const uint16_t acq = request.get<rb::AcqIntCnts>();
    const uint16_t del = request.get<rb::DelIntCnts>();
    if (acq != 0 || del != 0) {
        const uint16_t acqWire = static_cast<uint16_t>(0x10000 - acq);
        const uint16_t delWire = static_cast<uint16_t>(0x10000 - del);
        result.intervalCountsChanged =
            acqWire != block.get16(B::AcqIntCnts) || delWire != block.get16(B::DelIntCnts);
        block.set16(B::AcqIntCnts, acqWire);
        block.set16(B::DelIntCnts, delWire);
    }
    const uint16_t scans = request.get<rb::NumScans>();
    block.set16(B::NumScans, differential ? static_cast<uint16_t>(scans * 2) : scans);
    block.set8(B::FlashHW, differential ? 1 : request.get<rb::FlashHW>());
    block.set8(B::FlashOpt, request.get<rb::FlashOpt>());
    block.set16(B::MuxMode, request.get<rb::MuxMode>());
    block.set16(B::MuxChanNum, request.get<rb::MuxChanNum>());
    block.set16(B::MuxSpec, request.get<rb::MuxSpec>());
    block.set8(B::InpSrcFlags, static_cast<uint8_t>((block.get8(B::InpSrcFlags) & 0xF0) |
                                                    (request.get<rb::InputSourceFlags>() & 0x0F)));
    uint32_t requestFlags = request.get<rb::RequestFlags>();
    uint8_t flags = 0;
    if (generation == 2) {
        uint32_t level = request.get<rb::ExtFifoFullLevel>();
        if (level != 0) {
            level = std::max<uint32_t>(level, kFifoLevelMinimum);
        }
        if (static_cast<uint64_t>(level) < 2ull * pixelCount + 4) {
            requestFlags &= ~KORAL_RF_GEN2_INIT;
        }
        flags = static_cast<uint8_t>(((requestFlags & KORAL_RF_GEN2_INIT) ? 0x1 : 0) |
                                     ((requestFlags & KORAL_RF_DRV_GEN2_INIT) ? 0x2 : 0));
    } else if (generation == 1) {
        flags = (requestFlags & KORAL_RF_DRV_GEN1_INIT) ? 0x4 : 0;
    }
    block.set8(B::Flags, flags);
    block.set16(B::Numberpixel, static_cast<uint16_t>(std::min<uint32_t>(pixelCount, 0xFFFF)));
    block.set32(B::TOTimeExtTrig, block.get32(B::TOTimeExtTrig)); // as last sent
    block.set8(B::FEEType, request.get<rb::FEEType>());
    block.set8(B::SensorType, request.get<rb::SensorType>());
    block.set16(B::ETDelay, request.get<rb::ETDelay>());
    result.ok = true;
    return result;
}

namespace {

void refreshFirmwareId(DEVICE_EXTENSION& device, RequestBlock& block) {
    if (ReadFirmwareId(device) != 0) {
        return;
    }
    device.updateIdentity([&](BoardIdentity& identity) {
        identity.stampedFirmwareVersion = identity.firmwareId.firmwareVersion;
        identity.currentImage = identity.firmwareId.runningImage & 0xFF;
    });
    const BoardIdentity identity = device.readIdentity();
    block.set<rb::FirmwareVersion>(identity.firmwareId.firmwareVersion);
    block.set<rb::FirmwareType>(identity.firmwareId.firmwareType);
    block.set<rb::HardwareWord>(static_cast<uint16_t>((block.get<rb::HardwareWord>() & 0xF000) |
                                                      (identity.firmwareId.hardwareWord & 0x0FFF)));
}

// The firmware type a request names, when it names one the driver knows.
uint16_t explicitFirmwareType(const RequestBlock& block) {
    const uint16_t type = block.get<rb::FirmwareType>();
    return type == kFirmwareType1 || type == kFirmwareType2 ? type : 0;
}

bool scanPipeUsable(const DEVICE_EXTENSION& device) {
    if (device.pipes.size() <= kScanPipeIndex) {
        return false;
    }
    const platform::usb::EndpointType type = device.pipes[kScanPipeIndex].type();
    return type == platform::usb::EndpointType::Bulk ||
           type == platform::usb::EndpointType::Interrupt;
}

} // namespace

void HandleInit(DEVICE_EXTENSION& device, RequestBlock& block) {
    Acquisition& acq = device.acquisition;
    if (device.firstInitialisation) {
        device.firstInitialisation = false;
        refreshFirmwareId(device, block);
    }
    const PixelCounts counts = RequestedPixelCounts(block);
    const uint16_t mode = block.get<rb::SensorWorkMode>();
    const uint16_t acquisitionMode = block.get<rb::AcquisitionMode>();
    const bool differential = mode == kModeDifferential;
    const uint16_t numScans = block.get<rb::NumScans>();
    FrameLayout layout;
    layout.numScans = numScans;
    layout.differential = differential;
    layout.pixelCount = static_cast<uint32_t>(std::min<uint64_t>(counts.pixels, 0xFFFFFFFF));
    layout.keptPixelCount = static_cast<uint32_t>(std::min<uint64_t>(counts.kept, 0xFFFFFFFF));
    // The time-out formula divides by the pixel count, and a frame must fit
    // in memory: such requests are invalid data.
    const uint64_t frameSize = (counts.pixels + 2) * 2 * layout.wireScans();
    if (counts.pixels == 0 || counts.pixels > 0xFFFFFFFF || counts.kept > counts.pixels ||
        frameSize > kMaxFrameBytes) {
        block.set<rb::Status>(kBoardStatusInvalidData);
        return;
    }
    if ((acquisitionMode == 0 && numScans > 1) ||
        (acquisitionMode == 1 && numScans > kMaxScansAveraged)) {
        block.set<rb::Status>(kBoardStatusInvalidData);
        return;
    }
    INIT_PARAMETER_BLOCK built = acq.lastSent;
    const BuildResult build = BuildInitParameterBlock(block, built, layout.pixelCount);
    if (!build.ok) {
        return;
    }
    const bool changed = !(built == acq.lastSent);
    acq.lastSent = built;
    int16_t capacity = static_cast<int16_t>(block.get<rb::RingCapacity>());
    if (capacity < 1 || mode == 6 || mode == 0xFF20) {
        capacity = 1;
    }
    const bool readerRuns = acq.running.load();
    const bool mustSend = changed || !acq.sentSinceStart ||
                          (block.get<rb::RequestFlags>() & KORAL_RF_FORCE_INIT) != 0 ||
                          (readerRuns && static_cast<uint32_t>(block.get<rb::RingCapacity>()) !=
                                             acq.settings.ringCapacity);
    if (mustSend && readerRuns) {
        StopContinuousAcquisition(device, false);
    }

    // The parser reads these for every frame.
    std::unique_lock settingsLock(acq.lock);
    AcquisitionSettings& s = acq.settings;
    s.requestFlags = block.get<rb::RequestFlags>();
    s.muxSpec = block.get<rb::MuxSpec>();
    s.sensorWorkMode = mode;
    s.acquisitionMode = acquisitionMode;
    s.ringCapacity = static_cast<uint32_t>(capacity);
    layout.saturationCheck = (s.requestFlags & KORAL_RF_WARN_CLASS1) != 0;
    layout.saturationPeriod = block.get<rb::SaturationPeriod>();
    layout.saturationStart = block.get<rb::SaturationStart>();
    layout.saturationEndMargin = block.get<rb::SaturationEndMargin>();
    s.layout = layout;
    s.frameSize = frameSize;
    s.initialised = true;
    settingsLock.unlock();

    if (!scanPipeUsable(device)) {
        // Reported, unlike a silent success: without it no scan can come.
        block.set<rb::Status>(kBoardStatusCommunication);
        return;
    }
    const uint64_t toTime =
        (static_cast<uint64_t>(block.get<rb::AcqIntCnts>()) * block.get<rb::PreCnts>() / 8000 +
         layout.keptPixelCount / 100) *
            2 +
        200;
    acq.lastSent.set32(INIT_PARAMETER_BLOCK::TOTime, clampTimeout(toTime));
    acq.lastSent.set32(INIT_PARAMETER_BLOCK::TOTimeExtTrig, block.get<rb::TOTimeExtTrig>());
    const auto timeout = [&](uint32_t factor) {
        return ScanReadTimeoutMs(factor, block.get<rb::AcqIntCnts>(), block.get<rb::PreCnts>(),
                                 layout.pixelCount, mode, block.get<rb::TOTimeExtTrig>());
    };
    {
        std::lock_guard lock(acq.lock);
        s.singleReadTimeoutMs = timeout(differential ? 2 : 1);
        s.scanExposureUs =
            static_cast<uint64_t>(block.get<rb::AcqIntCnts>()) * block.get<rb::PreCnts>() / 8;
    }

    if (!mustSend) {
        return;
    }
    const int type = GetFirmwareTypeForMode(mode, explicitFirmwareType(block));
    if (type == kFirmwareTypeNone || build.notInTable) {
        // A mode the firmware does not know: reported, never sent.
        block.set<rb::Status>(kBoardStatusModeNotAvailable);
        return;
    }
    if (LoadFirmware(device, type, false) != kLoadDone) {
        block.set<rb::Status>(kBoardStatusFirmwareMissing);
        return;
    }
    {
        std::lock_guard lock(acq.lock);
        s.scanReadTimeoutMs = timeout(1); // no reader runs now
    }
    const int sent =
        SendInit(device, acq.lastSent.bytes, build.intervalCountsChanged, layout.pixelCount);
    if (sent != 0) {
        ReportTransferFailure(device, block);
        return;
    }
    if (device.state.load() == DeviceState::SurpriseRemoved) {
        block.set<rb::Status>(kBoardStatusStopped);
        return;
    }
    uint16_t code = 0;
    // A full buffer (194) is no failure of this block, and no answer is left
    // to carry it: the scans it lost belong to a stream this block ended (its
    // reader was stopped before the block went, and no answer comes from that
    // stream's ring any more: it restarts below, pending codes and all) or to
    // single-mode frames answered already. A stream this block starts has
    // its losses read by its own parser.
    if (ReadDeviceError(device, code) == 0 && code != 0 && code != kBoardWarningBufferFull) {
        block.set<rb::Status>(code);
        return;
    }
    if (IsContinuousMode(mode)) {
        {
            std::lock_guard lock(acq.lock);
            acq.ring.resetIndexes();
        }
        if (!acq.running.load() && !StartContinuousAcquisition(device, block)) {
            return;
        }
    }
    acq.sentSinceStart = true;
}

void HandleDeinit(DEVICE_EXTENSION& device, RequestBlock& block) {
    StopContinuousAcquisition(device, false);
    if (SendDeinit(device) != 0) {
        ReportTransferFailure(device, block);
        return;
    }
    device.acquisition.sentSinceStart = false;
}

} // namespace kavrin
