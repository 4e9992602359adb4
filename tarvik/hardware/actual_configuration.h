#pragma once
// The actual configuration of an interface: its interface, front-end and
// multiplexer types and per channel the sensor type, pixel count, rows and
// fourth sensor word, worked out from the configuration EEPROM images (for the
// serial electronics: the serial link's configuration block), the sensor
// description file for sensors of type 128, and the values configured in the
// slot. The result is an ActualConfigurationRecord, the ConfigurationFlags kept
// in the slot (DeviceSlot::configurationWord) and the images left in the
// slot's ConfigurationImageBlock.
//
// For later parts of the library:
//   - the open of an interface calls
//     KORAL_GetActualConfiguration2(0, &slot.actualConfiguration, id) with the
//     DeviceLock held, which fills the record that mode 3 returns;
//   - the initialise and the hardware configuration set load a description
//     file into the slot with LoadSlotSensorDescription;
//   - the library's set-up installs the information dialog as the hook of
//     modes 1 and 2 (setConfigurationDialogHook).

#include "tarvik.h"

#include <cstdint>

namespace tarvik {

struct DeviceSlot;

// ConfigurationFlags.
inline constexpr uint32_t kConfigInterfaceImage = KORAL_CONFIG_INTERFACE_IMAGE; // bit 0
inline constexpr uint32_t kConfigFrontEndImage = KORAL_CONFIG_FRONTEND_IMAGE;   // bit 2
inline constexpr uint32_t kConfigMuxImage = KORAL_CONFIG_MUX_IMAGE;             // bit 3
// Bits 4, 5, 6, 16, 17: the channel entries come from EEPROM images.
inline constexpr uint32_t kConfigFromImages = 0x00030070u;
inline constexpr uint32_t kConfigError = KORAL_CONFIG_ERROR; // bit 31
// The slot's flags word before any read; for the serial electronics it asks
// for the images of the serial link's configuration block.
inline constexpr uint32_t kConfigNothingRead = 0x80000000u;

// Modes of KORAL_GetActualConfiguration2.
inline constexpr uint32_t kConfigModeRead = 0;
inline constexpr uint32_t kConfigModeDialog1 = 1;
inline constexpr uint32_t kConfigModeDialog2 = 2;
inline constexpr uint32_t kConfigModeCached = 3;

// Works out the configuration of the interface into the record, whose
// interfaceType holds the library's interface type in use on entry. Returns
// the ConfigurationFlags, with bit 31 when an error was recorded (level 4 or 5;
// the read never stops at a failure but falls back as it goes). Entries at and
// beyond the channel count are 0. The caller holds the DeviceLock and has
// checked that the slot exists.
uint32_t ReadHardwareConfiguration(int32_t interfaceId, ActualConfigurationRecord& record);

// Loads the interface's sensor description file (the name of the library
// parameters) into the slot: technology, coefficients, revision pixels and
// reversed flag, and sets the file-loaded and revision-pixel flags. Revision
// pixels that the file does not name are "none" (65535), never left over from
// an earlier file. The pixel count, rows and fourth sensor word go to the
// outputs. 0, or the reader's error info (the flags are then 0 and the
// caller records level 4, code 311 with it). The caller holds the DeviceLock.
int32_t LoadSlotSensorDescription(int32_t interfaceId, DeviceSlot& slot, uint32_t& pixelCount,
                                  uint32_t& rows, uint32_t& fourthSensorWord);

// Internal operation with its own name in the record. Mode 3 returns the
// record cached in the slot (0); every other mode reads afresh and returns the
// flags (negative when bit 31 is set, the record then reported); modes 1 and
// 2 then also run the dialog hook. -1 on a state failure.
int32_t KORAL_GetActualConfiguration2(uint32_t mode, ActualConfigurationRecord* record,
                                      uint32_t interfaceId);

// The information dialog that modes 1 and 2 show: called as
// ShowInformationDialog(0, 0) would be, modal, on the caller's thread while it
// holds the DeviceLock, with the last-error record saved around it; it returns
// when the dialog has closed (its result is not looked at). Without a hook
// modes 1 and 2 read as mode 0 does.
using ConfigurationDialogHook = int32_t (*)(uint32_t, uint8_t);
// Installs a hook (null: the one that does nothing); returns the previous one.
ConfigurationDialogHook setConfigurationDialogHook(ConfigurationDialogHook hook);

} // namespace tarvik
