// libtarvik.so exports exactly KORAL_ functions of the ordinal table, and all
// of those that are built.

#include "core/ordinals.h"

#include "platform/version_info.h"

#include <gtest/gtest.h>

#include <elf.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace tarvik {
namespace {

// The exports built so far; each further export is added here with its code.
const char* const kBuiltExports[] = {
    "KORAL_GlobalReset_QRE",
    "KORAL_ParaGet_QRE",
    "KORAL_ParaSet_QRE",
    "KORAL_ParaSet_QRE_InttimeFactor",
    "KORAL_ParaSet_QRE_RS485StopPeriod",
    "KORAL_ParaSet_QRE_TimeoutPC",
    "KORAL_SetDisplaylevel_QRE",
    "KORAL_HWConfig_ChangeSensorParamsEx2",
    "KORAL_HWConfig_ChangeSensorParams2",
    "KORAL_HWConfig_ChangeSensorParams2X",
    "KORAL_HWConfig_ChangeSensorParams",
    "KORAL_HWConfig_ChangeSensorParamsEx",
    "KORAL_HWConfig_ChangeSensorParamsX",
    "KORAL_HWConfig_GetSensorParamsEx2",
    "KORAL_HWConfig_GetSensorParams2",
    "KORAL_HWConfig_GetSensorParams",
    "KORAL_HWConfig_GetSensorParamsEx",
    "KORAL_HWConfig_ChangeSensorParamsTemp",
    "KORAL_ParaGetIntensityLimits",
    "KORAL_ParaGetAverageNumberLimit",
    "KORAL_ParaGetBurstNumberLimit",
    "KORAL_ParaSetAverageNumber",
    "KORAL_ParaSetHardwareFlashMode",
    "KORAL_ParaSetHardwareFlashMode2",
    "KORAL_ParaGetHardwareFlashMode",
    "KORAL_ParaSetExtTriggTimeout",
    "KORAL_ParaSetShutterPolarity",
    "KORAL_ParaSetACQModeNOInterrupt",
    "KORAL_ParaSetInputSource",
    // integration time and work mode
    "KORAL_ParaSetIntegrationTime",
    "KORAL_ParaSetIntegrationTime2",
    "KORAL_ParaSetIntegrationTime3",
    "KORAL_ParaSetIntegrationTimeForDeleting",
    "KORAL_ParaGetIntegrationTimeLimits",
    "KORAL_ParaSetSensorWorkMode",
    // multiplexer and hardware configuration
    "KORAL_ParaSetMUXMode",
    "KORAL_ParaSetMUXActiveChannel",
    "KORAL_HWConfig_ParaSetHWConfigurationEx2",
    "KORAL_HWConfig_ParaGetHWConfigurationEx2",
    "KORAL_ParaSetHWConfigurationEx",
    "KORAL_ParaSetHWConfiguration",
    "KORAL_ParaSetFEE_SensorType",
    "KORAL_InitLibrary",
    "KORAL_UnInitLibrary",
    "KORAL_GetActualInterfaceID",
    "KORAL_ErrorMessages",
    "KORAL_GetErrorCode",
    "KORAL_GetErrorString",
    "KORAL_WarningMessages",
    "KORAL_WarningMessagesEx",
    // light-source modules and the cooled detector board
    "KORAL_ScanI2CComponents",
    "KORAL_DeleteI2CComponents",
    "KORAL_LS_Initialize",
    "KORAL_LS_OpenShutter",
    "KORAL_LS_CloseShutter",
    "KORAL_LS_PowerON",
    "KORAL_LS_PowerOFF",
    "KORAL_LS_GetShutterPosition",
    "KORAL_LS_GetStatus",
    "KORAL_LS_GetActualTemperature",
    "KORAL_LS_SetTemperatureAlarm",
    "KORAL_LS_SavePowerStatus",
    "KORAL_LS_GetModuleInfo",
    "KORAL_LS_ReadFlashRate",
    "KORAL_LS_SetFlashCounter",
    "KORAL_LS_GetRemoteStatus",
    "KORAL_ParaSetZTKBinningMode",
    "KORAL_ParaSetZTKCoolingEnable",
    // interface life cycle
    "KORAL_OpenOperationElectronicsDevice",
    "KORAL_OpenOperationElectronicsDeviceEx",
    "KORAL_InitializeOperationElectronics",
    "KORAL_DeInitializeOperationElectronics",
    "KORAL_CloseOperationElectronics",
    "KORAL_CloseOperationElectronicsWithoutDeInit",
    "KORAL_SetInterfaceActive",
    "KORAL_SetInterfaceInActive",
    // sensor tables and the actual configuration
    "KORAL_HWConfig_IsConfigSupported",
    "KORAL_HWConfig_IsSensorLengthSupported",
    "KORAL_HWConfig_GetSensorTechnology",
    "KORAL_HWConfig_GetSupportedSensorLengths",
    "KORAL_HWConfig_GetMUXParams",
    "KORAL_HWConfig_ChangeMUXParams",
    "KORAL_GetActualConfiguration",
    "KORAL_GetActualConfigurationEx",
    // raw I2C and the EEPROM images
    "KORAL_I2C_Write_1_X",
    "KORAL_I2C_Read_1_X",
    "KORAL_I2C_Write_N_X",
    "KORAL_I2C_Read_N_X",
    "KORAL_I2C_Programming_X",
    "KORAL_I2C_Write_1",
    "KORAL_I2C_Read_1",
    "KORAL_I2C_Write_N",
    "KORAL_I2C_Read_N",
    "KORAL_I2C_Programming",
    "KORAL_I2C_Read_EEPROM_CustData",
    "KORAL_I2C_Write_EEPROM_CustData",
    "KORAL_I2C_Read_EP856",
    "KORAL_I2C_Write_EP856",
    "KORAL_I2C_Read_EP945",
    "KORAL_I2C_Write_EP945",
    "KORAL_I2C_Read_EP237",
    "KORAL_I2C_Write_EP237",
    "KORAL_I2C_Read_EP345",
    "KORAL_I2C_Write_EP345",
    "KORAL_I2C_Read_EP547",
    "KORAL_I2C_Write_EP547",
    "KORAL_I2C_Read_EPF016",
    "KORAL_I2C_Write_EPF016",
    "KORAL_I2C_Read_EEPROM_X",
    "KORAL_I2C_Write_EEPROM_X",
    "KORAL_I2C_Read_Boot_EEPROM",
    "KORAL_I2C_Write_Boot_EEPROM",
    // raw-data records and stored values
    "KORAL_AllocRawData",
    "KORAL_FreeRawData",
    "KORAL_ParaSetMapping",
    "KORAL_ParaSetDarkCurrentCorrectionMode",
    "KORAL_GetStoredRawData",
    "KORAL_GetSpectra",
    "KORAL_GetDarkCurrent",
    "KORAL_GetDarkCurrentWithShutter",
    "KORAL_GetStoredPixelnumber",
    "KORAL_GetStoredDarkcurrentData",
    "KORAL_GetStoredDarkModeSettings",
    "KORAL_GetStoredAverageNumber",
    "KORAL_GetStoredIntegrationtime",
    "KORAL_GetStoredTime",
    "KORAL_GetStoredIntensity",
    "KORAL_DeleteDarkcurrentData",
    "KORAL_SaveDarkcurrentData",
    "KORAL_RestoreDarkcurrentData",
    "KORAL_DarkCurrentCorrWithFirstPixel",
    "KORAL_ParaSetDarkCurrCorrModeOverFirstPixel",
    // feature queries, digital lines and temperatures
    "KORAL_ParaSetFlashPolarity",
    "KORAL_ParaSetTriggerDelay",
    "KORAL_ParaGetMUXSettings",
    "KORAL_GetSerialNumber",
    "KORAL_IsDigOutputAvailable",
    "KORAL_IsDigInputAvailable",
    "KORAL_ParaSetShutterControlMode",
    "KORAL_ParaGetPLDVersion",
    "KORAL_ParaSet_CallBack_Acq_Status",
    "KORAL_SetShutterPosition",
    "KORAL_GetSpectraEx",
    "KORAL_IOGetDigInputs",
    "KORAL_IOSetDigOutputs",
    "KORAL_IOSetFEESEL0",
    "KORAL_IOSetFEESEL1",
    "KORAL_IOSetZEILRES",
    "KORAL_IOSetDigOutput1",
    "KORAL_IOSetDigOutput2",
    "KORAL_IOSetDigOutput3",
    "KORAL_IOGetDigInput1",
    "KORAL_IOGetDigInput2",
    "KORAL_IOGetDigInput3",
    "KORAL_ParaSetInputLatchMode",
    "KORAL_GetBoardTemperature",
    "KORAL_I2C_GetAllTemperatures",
    "KORAL_I2C_GetTemperature",
    // burst and buffered acquisition, multi-parameter record, linearization,
    // intensity search
    "KORAL_ParaSetBurstNumber",
    "KORAL_ParaSetBurstNumberExt",
    "KORAL_GetSpectraBurst",
    "KORAL_GetSpectraBurstLong",
    "KORAL_GetStoredBurstNumber",
    "KORAL_GetStoredRawDataBurst",
    "KORAL_ParaSetSpecBuffer",
    "KORAL_GetBufferedSpectra",
    "KORAL_ParaSetHardwareTimer",
    "KORAL_GetStoredTimeStamp",
    "KORAL_ParaSetMultParameter",
    "KORAL_Linearization",
    "KORAL_LinearizationChannel",
    "KORAL_LinearizationChannelEx",
    "KORAL_DetermineMaxIntensity",
    "KORAL_GetMaxInttime4ADC",
};

template <class T> bool readAt(const std::vector<char>& file, size_t offset, T& out) {
    if (offset > file.size() || file.size() - offset < sizeof(T)) {
        return false;
    }
    std::memcpy(&out, file.data() + offset, sizeof(T));
    return true;
}

// Defined global and weak symbols of the dynamic symbol table.
std::set<std::string> exportedSymbols(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> file((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
    std::set<std::string> names;
    Elf64_Ehdr header;
    if (!readAt(file, 0, header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64) {
        ADD_FAILURE() << path << " is no ELF64 file";
        return names;
    }
    for (size_t i = 0; i < header.e_shnum; ++i) {
        Elf64_Shdr section;
        if (!readAt(file, header.e_shoff + i * header.e_shentsize, section) ||
            section.sh_type != SHT_DYNSYM || section.sh_entsize == 0) {
            continue;
        }
        Elf64_Shdr strings;
        if (!readAt(file, header.e_shoff + section.sh_link * header.e_shentsize, strings)) {
            continue;
        }
        for (size_t s = 0; s < section.sh_size / section.sh_entsize; ++s) {
            Elf64_Sym symbol;
            if (!readAt(file, section.sh_offset + s * section.sh_entsize, symbol) ||
                symbol.st_shndx == SHN_UNDEF || symbol.st_name >= strings.sh_size) {
                continue;
            }
            const unsigned binding = ELF64_ST_BIND(symbol.st_info);
            if (binding != STB_GLOBAL && binding != STB_WEAK && binding != STB_GNU_UNIQUE) {
                continue;
            }
            const char* name = file.data() + strings.sh_offset + symbol.st_name;
            names.insert(std::string(name, strnlen(name, strings.sh_size - symbol.st_name)));
        }
    }
    return names;
}

TEST(ExportSetTest, OnlyKoralFunctionsOfTheOrdinalTableAreExported) {
    const std::set<std::string> exported = exportedSymbols(TARVIK_LIBRARY_FILE);
    ASSERT_FALSE(exported.empty());
    std::set<std::string> table;
    for (const ExportOrdinal& entry : exportOrdinals()) {
        table.insert(entry.name);
    }
    for (const std::string& name : exported) {
        EXPECT_TRUE(table.count(name) == 1) << name << " is exported but not in the table";
    }
    for (const char* name : kBuiltExports) {
        EXPECT_TRUE(exported.count(name) == 1) << name << " is not exported";
    }
}

TEST(ExportSetTest, OrdinalTableHoldsEveryExportOnce) {
    const auto exports = exportOrdinals();
    EXPECT_EQ(exports.size(), 176u);
    std::set<std::string> names;
    std::set<uint16_t> ordinals;
    for (const ExportOrdinal& entry : exports) {
        EXPECT_TRUE(names.insert(entry.name).second) << entry.name;
        EXPECT_EQ(std::strncmp(entry.name, "KORAL_", 6), 0) << entry.name;
        if (entry.ordinal != 0) {
            EXPECT_TRUE(ordinals.insert(entry.ordinal).second) << entry.ordinal;
        }
    }
    const auto find = [&](const char* name) {
        return std::find_if(exports.begin(), exports.end(),
                            [&](const ExportOrdinal& e) { return std::strcmp(e.name, name) == 0; })
            ->ordinal;
    };
    EXPECT_EQ(find("KORAL_ErrorMessages"), 5);
    EXPECT_EQ(find("KORAL_GetErrorCode"), 27);
    EXPECT_EQ(find("KORAL_GetErrorString"), 81);
    EXPECT_EQ(find("KORAL_GetActualInterfaceID"), 88);
    EXPECT_EQ(find("KORAL_WarningMessages"), 93);
    EXPECT_EQ(find("KORAL_WarningMessagesEx"), 118);
    EXPECT_EQ(find("KORAL_InitLibrary"), 171);
    EXPECT_EQ(find("KORAL_UnInitLibrary"), 172);
}

TEST(ExportSetTest, LibraryCarriesItsVersionRecord) {
    const auto info = platform::readVersionInfo(TARVIK_LIBRARY_FILE);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->value("ProductName"), "VELDON");
    EXPECT_EQ(info->value("OriginalFilename"), "libtarvik.so");
}

} // namespace
} // namespace tarvik
