#pragma once
// Display texts of the hardware: interfaces, front ends, multiplexers, sensors,
// sensor lengths and light-source modules.
//
// Every text is NUL-terminated and shorter than 255 characters. Fixed texts are
// static; a text that carries the code (the "unknown" forms, lengths) lives in
// a buffer of the calling thread that the next call of the same function on
// that thread overwrites. So a text stays valid until the caller has copied it,
// and any thread may call at any time.

#include "dorvel/api.h"

#include <cstdint>

namespace dorvel {

class DORVEL_API CHardwareTexts {
public:
    CHardwareTexts();
    ~CHardwareTexts();

    // Interface (board) type: 1, 3, 4, 5, 6, 8. The text of 6 ends in a blank,
    // since the information dialog appends "V" and the board generation.
    const char* GetInterfaceText(int16_t code) const;
    // Front-end type: 0..11.
    const char* GetFrontEndText(int16_t code) const;
    // Multiplexer type: 0..10.
    const char* GetMultiplexerText(int16_t code) const;
    // Short sensor label of a channel, by sensor type.
    const char* GetSensorText(int16_t code) const;
};

// Sensor type with its technology: the types 0..22, 128 (described by the
// sensor description file) and the older codes 12 and 129.
DORVEL_API const char* GetSensorTypeText(int16_t sensorType);
// Sensor length by pixel count ("1044 pixels").
DORVEL_API const char* GetSensorLengthText(int16_t pixelCount);

// Light-source modules: module type 0 lamp module, 1 flash module, 2 lamp
// module that can save its power state, 3 unknown; subtype and info as the
// module's identification byte gives them.
DORVEL_API const char* GetLightSourceNameText(uint16_t type);
DORVEL_API const char* GetLightSourceTypeText(uint16_t type, uint16_t subtype);
DORVEL_API const char* GetLightSourceAssemblyText(uint16_t type, uint16_t subtype, uint16_t info);

// Longest text any of these returns, without its NUL.
inline constexpr int kMaxHardwareTextLength = 254;

} // namespace dorvel
