#include "firmware.h"

#include "event_log.h"
#include "vendor_requests.h"

#include <string>

namespace kavrin {

int GetFirmwareTypeForMode(uint16_t sensorWorkMode, uint16_t explicitType) {
    if (explicitType != 0) {
        return explicitType;
    }
    switch (sensorWorkMode) {
    case 1:
    case 2:
    case 3:
    case 6:
    case 7:
    case 0xFF03:
    case 0xFF20:
    case 0xFF21:
        return kFirmwareType1;
    case 4:
    case 5:
    case 0xFF22:
    case 0xFF23:
        return kFirmwareType2;
    default:
        if ((sensorWorkMode >= 8 && sensorWorkMode <= 13) ||
            (sensorWorkMode >= 48 && sensorWorkMode <= 51)) {
            return kFirmwareType2;
        }
        return kFirmwareTypeNone;
    }
}

int SelectFirmwareImage(int type, int generation) {
    if (type == kFirmwareTypeLoader) {
        return generation >= 0 && generation <= 2 ? kImageLoader : kImageNone;
    }
    if (generation == 1) {
        return type == kFirmwareType1 ? kImageGen1Type1
                                      : (type == kFirmwareType2 ? kImageGen1Type2 : kImageNone);
    }
    if (generation == 2 && (type == kFirmwareType1 || type == kFirmwareType2)) {
        return kImageGen2;
    }
    return kImageNone;
}

int DetectBoardGeneration(const BoardIdentity& identity) {
    if (identity.startFirmwareType == kFirmwareIdTypeGeneration2) {
        return 2;
    }
    if (identity.startFirmwareType >= kFirmwareIdTypeGeneration1First &&
        identity.startFirmwareType <= kFirmwareIdTypeGeneration1Last) {
        return 1;
    }
    for (const BoardUsbId& ids : kBoardUsbIds) {
        if (identity.vendorId != ids.vendorId) {
            continue;
        }
        if (identity.productId == ids.productIdGeneration1) {
            return 1;
        }
        if (identity.productId == ids.productIdGeneration1 + 1) {
            return 2;
        }
    }
    return 0;
}

std::filesystem::path firmwareImagePath(const std::filesystem::path& directory, int image) {
    return directory / ("image" + std::to_string(image) + ".hex");
}

std::optional<FirmwareImage> LoadImageFile(DEVICE_EXTENSION& device, int image) {
    const std::filesystem::path path = firmwareImagePath(device.driver->firmwareDirectory, image);
    ImageProblem problem;
    std::optional<FirmwareImage> loaded =
        ReadFirmwareImageFile(path, image == kImageLoader ? kLoaderLoadEnd : kLoadableEnd, problem);
    if (!loaded && !problem.missing) {
        WriteEventLogEntry(device.driver->name, KAVRIN_MSG_FIRMWARE_DOWNLOAD_ERROR,
                           {path.string(), problem.describe()});
    }
    return loaded;
}

int DownloadFirmwareImage(DEVICE_EXTENSION& device, const FirmwareImage& image) {
    // The walk ends at the first record that is not data, and at the end of
    // the table in any case.
    auto forEachData = [&](auto&& send) {
        for (const FIRMWARE_RECORD& record : image.records) {
            if (record.type != kRecordTypeData) {
                break;
            }
            if (const int status = send(record); status != 0) {
                return status;
            }
        }
        return 0;
    };
    int status = forEachData([&](const FIRMWARE_RECORD& record) {
        return record.address >= kExternalLoadStart
                   ? ExternalLoad(device, record.address, recordData(record))
                   : 0;
    });
    if (status != 0) {
        return status;
    }
    if (status = SetCpuReset(device, true); status != 0) {
        return status;
    }
    return forEachData([&](const FIRMWARE_RECORD& record) {
        return record.address < kExternalLoadStart
                   ? InternalLoad(device, record.address, recordData(record))
                   : 0;
    });
}

namespace {

void reportDownloadFailure(DEVICE_EXTENSION& device) {
    WriteEventLogEntry(device.driver->name, KAVRIN_MSG_FIRMWARE_DOWNLOAD_ERROR);
}

// The firmware id read at start: the running image becomes the current one.
void readFirmwareIdAtStart(DEVICE_EXTENSION& device) {
    if (ReadFirmwareId(device) != 0) {
        return;
    }
    device.updateIdentity([](BoardIdentity& identity) {
        identity.currentImage = identity.firmwareId.runningImage & 0xFF;
        identity.stampedFirmwareVersion = identity.firmwareId.firmwareVersion;
        identity.startFirmwareType = identity.firmwareId.firmwareType;
    });
}

int detectGeneration(DEVICE_EXTENSION& device) {
    int generation = 0;
    device.updateIdentity([&](BoardIdentity& identity) {
        generation = DetectBoardGeneration(identity);
        identity.generation = static_cast<uint8_t>(generation);
    });
    return generation;
}

// The start loads operating firmware for a board without id, or one that
// runs no operating image (nothing, the loader, the old loader slot).
bool needsOperatingFirmware(const BoardIdentity& identity) {
    const uint16_t running = identity.firmwareId.runningImage;
    return identity.boardId == 0 || running == kImageNone || running == kImageLoader ||
           running == kImageOldLoader;
}

} // namespace

uint32_t LoadFirmware(DEVICE_EXTENSION& device, int type, bool force) {
    const BoardIdentity identity = device.readIdentity();
    const int image = SelectFirmwareImage(type, identity.generation);
    if (image == kImageNone) {
        return kLoadNoImage;
    }
    const std::optional<FirmwareImage> firmware = LoadImageFile(device, image);
    if (!firmware) {
        return kLoadNoImage;
    }
    const int current = identity.currentImage;
    if (image == current && !force) {
        return kLoadDone;
    }
    const bool loaderFirst = current != kImageLoader && current != kImageOldLoader &&
                             (type == kFirmwareType1 || type == kFirmwareType2);
    std::optional<FirmwareImage> loader;
    if (loaderFirst) {
        // Both images are checked before anything is sent.
        loader = LoadImageFile(device, kImageLoader);
        if (!loader) {
            return kLoadNoImage;
        }
    }
    // A failed download is reported and the steps go on: the CPU is let go
    // in any case.
    bool failed = false;
    if (loaderFirst) {
        const bool held = SetCpuReset(device, true) == 0;
        const bool downloaded = held && DownloadFirmwareImage(device, *loader) == 0;
        const bool running = SetCpuReset(device, false) == 0;
        if (!downloaded || !running) {
            reportDownloadFailure(device);
            failed = true;
        }
    }
    const bool downloaded = DownloadFirmwareImage(device, *firmware) == 0;
    const bool restarted = SetCpuReset(device, true) == 0 && SetCpuReset(device, false) == 0;
    if (!downloaded || !restarted) {
        reportDownloadFailure(device);
        failed = true;
    }
    device.updateIdentity([&](BoardIdentity& id) {
        // A failed download is not a loaded image: the next load sends it again.
        id.loadedFirmwareType = failed ? kFirmwareTypeNone : static_cast<uint16_t>(type);
        id.currentImage = failed ? kImageNone : static_cast<uint16_t>(image);
    });
    return failed ? kLoadFailed : kLoadDone;
}

bool StartFirmware(DEVICE_EXTENSION& device) {
    if (device.readIdentity().vendorId == kBlankChipVendorId &&
        (LoadFirmware(device, kFirmwareTypeLoader, true) & 0xFFFF) != 0) {
        return false;
    }
    int generation = detectGeneration(device);
    const BoardIdentity before = device.readIdentity();
    if (generation != 1 || before.boardId != 0) {
        readFirmwareIdAtStart(device);
    }
    generation = detectGeneration(device);
    bool failed = false;
    auto loadIfNeeded = [&] {
        if (needsOperatingFirmware(device.readIdentity())) {
            const int type = generation != 0 ? kFirmwareType1 : kFirmwareTypeLoader;
            if ((LoadFirmware(device, type, true) & 0xFFFF) != 0) {
                failed = true;
            }
        }
    };
    loadIfNeeded();
    if (generation == 0) {
        device.updateIdentity([](BoardIdentity& identity) { identity.restricted = true; });
        readFirmwareIdAtStart(device);
        generation = detectGeneration(device);
        loadIfNeeded();
    }
    return !failed;
}

} // namespace kavrin
