#pragma once
// Firmware download and board generation. The board's microcontroller holds
// no operating firmware of its own: the driver loads the loader image, then
// the operating image of the board generation and firmware type. The images
// are data files of the firmware directory, "image<N>.hex" by image index
// (firmware_image.h); a slot without a file is empty.

#include "device_extension.h"
#include "firmware_image.h"

#include <cstdint>
#include <filesystem>
#include <optional>

namespace kavrin {

// Firmware types: the kind of operating firmware a mode needs; 3 the loader.
inline constexpr int kFirmwareTypeNone = 0;
inline constexpr int kFirmwareType1 = 1;
inline constexpr int kFirmwareType2 = 2;
inline constexpr int kFirmwareTypeLoader = 3;

// FIRMWARE_IMAGE_TABLE: image indexes 0..8; 0, 4 and 6..8 are empty slots.
inline constexpr int kImageSlots = 9;
inline constexpr int kImageNone = 0;
inline constexpr int kImageLoader = 1;
inline constexpr int kImageGen1Type1 = 2;
inline constexpr int kImageGen1Type2 = 3;
inline constexpr int kImageOldLoader = 4;
inline constexpr int kImageGen2 = 5;

// Records at or above this address go by the loader's external load request.
inline constexpr uint16_t kExternalLoadStart = 0x1B40;

// USB ids. A blank chip enumerates with the chip maker's vendor id; the
// boards with the maker's: for each vendor id one product id of generation 1
// and the next higher one of generation 2.
inline constexpr uint16_t kBlankChipVendorId = 0x04B4;
inline constexpr uint16_t kBlankChipProductId = 0x8613;
struct BoardUsbId {
    uint16_t vendorId;
    uint16_t productIdGeneration1;
};
inline constexpr BoardUsbId kBoardUsbIds[] = {{0x7D30, 0x0210}, {0x7D31, 0x0210}};

// Firmware types that a board's firmware id reports for its generation.
inline constexpr uint16_t kFirmwareIdTypeGeneration2 = 200;
inline constexpr uint16_t kFirmwareIdTypeGeneration1First = 100;
inline constexpr uint16_t kFirmwareIdTypeGeneration1Last = 102;

// LoadFirmware results (low 16 bits).
inline constexpr uint32_t kLoadDone = 0;
inline constexpr uint32_t kLoadNoImage = 1;
inline constexpr uint32_t kLoadFailed = 141;

// The firmware type a request needs: a nonzero explicit type wins, else the
// sensor work mode decides; kFirmwareTypeNone for a mode without one.
int GetFirmwareTypeForMode(uint16_t sensorWorkMode, uint16_t explicitType);
// The image of a type on a generation; kImageNone when there is none.
int SelectFirmwareImage(int type, int generation);
// By the firmware type recorded at start, else by the USB ids; 0 unknown.
int DetectBoardGeneration(const BoardIdentity& identity);

std::filesystem::path firmwareImagePath(const std::filesystem::path& directory, int image);
// An image of the device's firmware directory, checked whole. A missing file
// is an empty slot; a file that fails its checks is written to the event log
// (KAVRIN_MSG_FIRMWARE_DOWNLOAD_ERROR with the path and the reason).
std::optional<FirmwareImage> LoadImageFile(DEVICE_EXTENSION& device, int image);

// Sends an image: records above 0x1B3F by VR_EXTERNAL_LOAD (the loader must
// run), then the CPU held, then the others by VR_INTERNAL_LOAD. The first
// failure ends it with its status.
int DownloadFirmwareImage(DEVICE_EXTENSION& device, const FirmwareImage& image);
// Loads the image of a firmware type unless it is loaded already (force:
// always), with the loader first where the board does not run it. Every
// failed download is written to the event log; a failed load leaves the board
// counted as running no known image.
uint32_t LoadFirmware(DEVICE_EXTENSION& device, int type, bool force);
// The start sequence: loader for a blank chip, generation, firmware id,
// operating firmware, restricted mode. False when a load failed.
bool StartFirmware(DEVICE_EXTENSION& device);

} // namespace kavrin
