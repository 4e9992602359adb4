#include "dorvel/ordinals.h"

#include "dorvel/hardware_texts.h"
#include "dorvel/interval_timer.h"
#include "dorvel/linearization.h"
#include "dorvel/sensor_catalogue.h"
#include "dorvel/spectrum_array.h"
#include "dorvel/user_database.h"

#include <gtest/gtest.h>

#include <cstring>
#include <cxxabi.h>
#include <dlfcn.h>
#include <map>
#include <memory>
#include <set>
#include <string>

namespace dorvel {
namespace {

TEST(Ordinals, NamesAndOrdinalsAreUnique) {
    std::set<std::string_view> names;
    std::set<uint16_t> ordinals;
    for (const OrdinalEntry& e : kOrdinals) {
        EXPECT_TRUE(names.insert(e.name).second) << e.name;
        EXPECT_TRUE(ordinals.insert(e.ordinal).second) << e.ordinal;
    }
}

TEST(Ordinals, LookUpBothWays) {
    static_assert(FindOrdinal("SpectrumArray::GetElementPtr") == 127);
    EXPECT_EQ(FindOrdinal("CLinearizationBase::GetLastResult"), 599);
    EXPECT_EQ(FindOrdinal("GetLightSourceAssemblyText"), 624);
    EXPECT_EQ(FindOrdinal("SpectrumArray::Append"), -1);
    EXPECT_EQ(FindOrdinal(""), -1);
    EXPECT_EQ(FindOrdinalName(386), "SpectrumArray::RemoveAll");
    EXPECT_EQ(FindOrdinalName(1), "");
}

// The code address of a non-virtual member function: the first word of the
// member pointer in the Itanium C++ ABI.
template <class M> const void* codeAddress(M member) {
    static_assert(sizeof(M) == 2 * sizeof(void*));
    const void* address = nullptr;
    std::memcpy(&address, &member, sizeof address);
    return address;
}

std::string demangledSymbolAt(const void* address, std::string& file) {
    Dl_info info{};
    if (::dladdr(address, &info) == 0 || info.dli_sname == nullptr) {
        return {};
    }
    file = info.dli_fname != nullptr ? info.dli_fname : "";
    int status = 0;
    const std::unique_ptr<char, decltype(&std::free)> name(
        abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status), &std::free);
    return status == 0 ? std::string(name.get()) : std::string(info.dli_sname);
}

// Constructors and destructors have no address to take; their complete-object
// symbols are looked up by their mangled names.
std::string mangledStructor(std::string_view name) {
    const size_t sep = name.find("::");
    const std::string_view cls = name.substr(0, sep);
    const bool destructor = name.substr(sep + 2).starts_with('~');
    return "_ZN6dorvel" + std::to_string(cls.size()) + std::string(cls) +
           (destructor ? "D1Ev" : "C1Ev");
}

TEST(Ordinals, EveryEntryNamesAnOperationTheLibraryExports) {
    using Elem = double* (SpectrumArray::*)(int32_t);
    const std::map<std::string_view, const void*> functions = {
        {"SpectrumArray::GetSize", codeAddress(&SpectrumArray::GetSize)},
        {"SpectrumArray::GetElementPtr",
         codeAddress(static_cast<Elem>(&SpectrumArray::GetElementPtr))},
        {"SpectrumArray::SetSize", codeAddress(&SpectrumArray::SetSize)},
        {"SpectrumArray::RemoveAll", codeAddress(&SpectrumArray::RemoveAll)},
        {"CLinearizationBase::LoadForSensor", codeAddress(&CLinearizationBase::LoadForSensor)},
        {"CLinearizationBase::LoadFile", codeAddress(&CLinearizationBase::LoadFile)},
        {"CLinearizationBase::GetPixelCount", codeAddress(&CLinearizationBase::GetPixelCount)},
        {"CLinearizationBase::Linearize", codeAddress(&CLinearizationBase::Linearize)},
        {"CLinearizationBase::GetLastResult", codeAddress(&CLinearizationBase::GetLastResult)},
        {"CLinearizationBase::Unload", codeAddress(&CLinearizationBase::Unload)},
        {"CIntervalTimer::Start", codeAddress(&CIntervalTimer::Start)},
        {"CIntervalTimer::HasElapsed", codeAddress(&CIntervalTimer::HasElapsed)},
        {"CHardwareTexts::GetInterfaceText", codeAddress(&CHardwareTexts::GetInterfaceText)},
        {"CHardwareTexts::GetFrontEndText", codeAddress(&CHardwareTexts::GetFrontEndText)},
        {"CHardwareTexts::GetMultiplexerText", codeAddress(&CHardwareTexts::GetMultiplexerText)},
        {"CHardwareTexts::GetSensorText", codeAddress(&CHardwareTexts::GetSensorText)},
        {"GetSensorTypeText", reinterpret_cast<const void*>(&GetSensorTypeText)},
        {"GetSensorLengthText", reinterpret_cast<const void*>(&GetSensorLengthText)},
        {"GetLightSourceNameText", reinterpret_cast<const void*>(&GetLightSourceNameText)},
        {"GetLightSourceTypeText", reinterpret_cast<const void*>(&GetLightSourceTypeText)},
        {"GetLightSourceAssemblyText", reinterpret_cast<const void*>(&GetLightSourceAssemblyText)},
        {"UserDatabase::OpenUserFile", codeAddress(&UserDatabase::OpenUserFile)},
        {"UserDatabase::CheckLogin", codeAddress(&UserDatabase::CheckLogin)},
        {"UserDatabase::ChangePassword", codeAddress(&UserDatabase::ChangePassword)},
        {"GetSensorTypeCode", reinterpret_cast<const void*>(&GetSensorTypeCode)},
        {"GetSensorTypeGroup", reinterpret_cast<const void*>(&GetSensorTypeGroup)},
        {"GetSensorTypeName", reinterpret_cast<const void*>(&GetSensorTypeName)},
        {"GetSensorTypeCount", reinterpret_cast<const void*>(&GetSensorTypeCount)},
    };
    for (const OrdinalEntry& e : kOrdinals) {
        SCOPED_TRACE(std::string(e.name));
        const auto it = functions.find(e.name);
        if (it == functions.end()) {
            const std::string symbol = mangledStructor(e.name);
            EXPECT_NE(::dlsym(RTLD_DEFAULT, symbol.c_str()), nullptr) << symbol;
            continue;
        }
        std::string file;
        const std::string symbol = demangledSymbolAt(it->second, file);
        EXPECT_TRUE(symbol.starts_with("dorvel::" + std::string(e.name) + "(")) << symbol;
        EXPECT_NE(file.find("libdorvel"), std::string::npos) << file;
    }
}

} // namespace
} // namespace dorvel
