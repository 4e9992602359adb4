#pragma once
// The ordinals under which callers of the original library bound its
// operations. ELF binds by name, so they are data here: callers that keep an
// ordinal (tables, tests of the export set) look it up.

#include <cstdint>
#include <string_view>

namespace dorvel {

struct OrdinalEntry {
    std::string_view name; // qualified below namespace dorvel
    uint16_t ordinal;
};

inline constexpr OrdinalEntry kOrdinals[] = {
    {"SpectrumArray::SpectrumArray", 81},
    {"SpectrumArray::~SpectrumArray", 102},
    {"SpectrumArray::GetSize", 216},
    {"SpectrumArray::GetElementPtr", 127},
    {"SpectrumArray::SetSize", 145},
    {"SpectrumArray::RemoveAll", 386},
    {"CLinearizationBase::CLinearizationBase", 591},
    {"CLinearizationBase::~CLinearizationBase", 592},
    {"CLinearizationBase::LoadForSensor", 607},
    {"CLinearizationBase::LoadFile", 608},
    {"CLinearizationBase::GetPixelCount", 602},
    {"CLinearizationBase::Linearize", 604},
    {"CLinearizationBase::GetLastResult", 599},
    {"CLinearizationBase::Unload", 614},
    {"CIntervalTimer::CIntervalTimer", 76},
    {"CIntervalTimer::Start", 358},
    {"CIntervalTimer::HasElapsed", 284},
    {"CHardwareTexts::CHardwareTexts", 70},
    {"CHardwareTexts::~CHardwareTexts", 95},
    {"CHardwareTexts::GetInterfaceText", 228},
    {"CHardwareTexts::GetFrontEndText", 222},
    {"CHardwareTexts::GetMultiplexerText", 235},
    {"CHardwareTexts::GetSensorText", 252},
    {"GetSensorTypeText", 251},
    {"GetSensorLengthText", 247},
    {"GetLightSourceNameText", 625},
    {"GetLightSourceTypeText", 626},
    {"GetLightSourceAssemblyText", 624},
    {"UserDatabase::UserDatabase", 617},
    {"UserDatabase::~UserDatabase", 618},
    {"UserDatabase::OpenUserFile", 623},
    {"UserDatabase::CheckLogin", 622},
    {"UserDatabase::ChangePassword", 621},
    {"GetSensorTypeCode", 762},
    {"GetSensorTypeGroup", 763},
    {"GetSensorTypeName", 764},
    {"GetSensorTypeCount", 767},
};

// Ordinal of an operation, -1 when the name has none.
constexpr int32_t FindOrdinal(std::string_view name) {
    for (const OrdinalEntry& e : kOrdinals) {
        if (e.name == name) {
            return e.ordinal;
        }
    }
    return -1;
}

// Name of an ordinal, empty when no operation has it.
constexpr std::string_view FindOrdinalName(uint16_t ordinal) {
    for (const OrdinalEntry& e : kOrdinals) {
        if (e.ordinal == ordinal) {
            return e.name;
        }
    }
    return {};
}

} // namespace dorvel
