#pragma once
// The intensity search: the longest integration time (or, with a remotely
// parameterised flash module, the largest flash count) at which the sensor
// does not overflow, found by successive approximation over powers of two with
// real acquisitions.

#include <cstdint>

namespace tarvik {

// The slot's first flash module as the search drives it, reached through
// these hooks: the light-source modules' own (light_source_module.h) unless
// a test puts others here before any export runs; a null hook is "no
// module", so the search runs in time mode.
//   remoteFlashRate(ID, &ms): the slot has flash modules, its first component
//     is present and remotely parameterised, and its flash rate was read.
//   getFlashCounter(ID) / setFlashCounter(ID, count): the module's counter
//     (CLightSourceModule::GetFlashCounter / SetFlashCounter), 0 on success.
//   lsSetFlashCounter(ID, position, count): KORAL_LS_SetFlashCounter, 0 or
//     -1 with the record written.
struct FlashModuleHooks {
    bool (*remoteFlashRate)(int32_t interfaceId, uint16_t* rateMs) = nullptr;
    uint8_t (*getFlashCounter)(int32_t interfaceId) = nullptr;
    int32_t (*setFlashCounter)(int32_t interfaceId, uint8_t count) = nullptr;
    int32_t (*lsSetFlashCounter)(int32_t interfaceId, int32_t position, int32_t count) = nullptr;
};
FlashModuleHooks& flashModuleHooks();
void resetFlashModuleHooks();

// Results of the search besides 0 and -1.
inline constexpr int32_t kSearchNoFirmware = -2;
inline constexpr int32_t kSearchNoOverflow = -3;
inline constexpr int32_t kSearchOverflowAtMinimum = -5;

} // namespace tarvik
