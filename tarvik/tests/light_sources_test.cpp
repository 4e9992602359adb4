// Light-source modules: the component scan and the KORAL_LS_ exports on the
// simulated modules of a request-block board, their waits on a virtual clock.

#include "i2c_sim_fixture.h"

#include "acquisition/acquire_spectra.h"
#include "core/locks.h"
#include "hardware/i2c_access.h"
#include "hardware/light_source_module.h"
#include "sim/light_sources.h"
#include "tarvik.h"

#include "platform/clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>

namespace tarvik::testing {
namespace {

using std::chrono::milliseconds;

// A device whose identification byte says "unknown module".
class UnknownModule : public sim::I2cDevice {
public:
    bool receive(std::optional<uint8_t>, std::span<uint8_t> out) override {
        std::fill(out.begin(), out.end(), uint8_t{0x03});
        return true;
    }
};

class LightSourceTest : public I2cSimTest {
protected:
    // A type-6 request-block board with the modules and further keys, its
    // modules scanned into slot 1 and the first `present` positions marked.
    DeviceSlot& openModules(const std::string& modules, const std::string& keys = "",
                            int present = 0) {
        DeviceSlot& slot = openSimBoard("light_sources = " + modules + "\n" + keys);
        EXPECT_GE(KORAL_ScanI2CComponents(1, 0), present);
        for (int32_t p = 1; p <= present; ++p) {
            uint32_t kind = 0;
            EXPECT_EQ(KORAL_LS_Initialize(1, p, 0, &kind), 0) << p;
        }
        return slot;
    }
    template <class T> T& module(uint8_t address) {
        T* found = board->withI2cBus([&](sim::I2cBus& bus) { return bus.device<T>(address); });
        EXPECT_NE(found, nullptr);
        return *found;
    }
    sim::LampModule& lamp(uint8_t address = 0x40) { return module<sim::LampModule>(address); }
    sim::FlashModule& flash(uint8_t address) { return module<sim::FlashModule>(address); }
    milliseconds elapsedSince(platform::TimePoint start) const {
        return std::chrono::duration_cast<milliseconds>(platform::now() - start);
    }

    platform::VirtualClock clock;
    platform::ScopedClock scopedClock{clock};
};

TEST_F(LightSourceTest, ScanListsModulesInAddressOrderAndKeepsToTheTable) {
    DeviceSlot& slot = openSimBoard("light_sources = 0x40:lamp0 0x44:flash\n");
    board->withI2cBus(
        [](sim::I2cBus& bus) { bus.attach(0x42, std::make_unique<UnknownModule>()); });
    // The unknown module answers but gets no position.
    EXPECT_EQ(KORAL_ScanI2CComponents(1, 0), 3);
    EXPECT_EQ(slot.componentCount, 2);
    EXPECT_EQ(slot.lampModuleCount, 1);
    EXPECT_EQ(slot.flashModuleCount, 1);
    ASSERT_NE(componentAt(slot, 1), nullptr);
    EXPECT_TRUE(componentAt(slot, 1)->IsLampModule());
    EXPECT_EQ(componentAt(slot, 2)->GetModuleType(), kFlashModule);
    // The identification set the alarm to 80 and 75 degrees and wrote the
    // remote flash module's counter.
    EXPECT_EQ(lamp().sensor().tOs(), 160);
    EXPECT_EQ(lamp().sensor().tHyst(), 150);
    EXPECT_EQ(flash(0x44).counterWrites(), 1u);

    // Scans append; the table's six positions are never written past.
    EXPECT_EQ(KORAL_ScanI2CComponents(1, 0), 3);
    EXPECT_EQ(slot.componentCount, 4);
    EXPECT_EQ(slot.lampModuleCount, 2);
    EXPECT_EQ(KORAL_ScanI2CComponents(1, 0), 3);
    EXPECT_EQ(KORAL_ScanI2CComponents(1, 0), 3);
    EXPECT_EQ(slot.componentCount, 6);
    EXPECT_EQ(slot.lampModuleCount, 3);

    EXPECT_EQ(KORAL_DeleteI2CComponents(1, 0), 0);
    EXPECT_EQ(slot.componentCount, 0);
    for (const auto& component : slot.components) {
        EXPECT_EQ(component, nullptr);
    }
    EXPECT_EQ(slot.lampModuleCount, 3); // the counts stay
}

TEST_F(LightSourceTest, ScanServesPlugInAndUsbBoardsOnly) {
    openSimBoard("light_sources = 0x40:lamp0\n", 8);
    EXPECT_EQ(KORAL_ScanI2CComponents(1, 0), -1);
    EXPECT_RECORD(5, 804, 0, 1, "KORAL_ScanI2CComponents");
    // ID 0 would reach the scratch slot.
    EXPECT_EQ(KORAL_ScanI2CComponents(0, 0), -1);
    EXPECT_RECORD(5, 504, 808, 0, "KORAL_ScanI2CComponents");
    EXPECT_EQ(KORAL_DeleteI2CComponents(0, 0), -1);
    EXPECT_RECORD(5, 504, 808, 0, "KORAL_DeleteI2CComponents");
    uint32_t status = 0;
    EXPECT_EQ(KORAL_LS_GetStatus(0, 1, &status), -1);
    EXPECT_RECORD(5, 504, 808, 0, "KORAL_LS_GetStatus");
}

TEST_F(LightSourceTest, PositionsPresenceAndOutputs) {
    DeviceSlot& slot = openModules("0x40:lamp0");
    uint32_t kind = 9;
    uint32_t status = 0;
    EXPECT_EQ(KORAL_LS_GetStatus(1, 1, &status), -1);
    EXPECT_RECORD(5, 507, 0, 1, "KORAL_LS_GetStatus");
    for (int32_t position : {0, 7, -1}) {
        kind = 9;
        EXPECT_EQ(KORAL_LS_Initialize(1, position, 0, &kind), -1);
        EXPECT_RECORD(5, 504, 831, 1, "KORAL_LS_OpenDevice");
        EXPECT_EQ(kind, 0u);
    }
    EXPECT_EQ(KORAL_LS_Initialize(1, 1, 0, nullptr), -1);
    EXPECT_RECORD(5, 505, 0, 1, "KORAL_LS_OpenDevice");
    EXPECT_EQ(KORAL_LS_Initialize(1, 1, 0, &kind), 0);
    EXPECT_EQ(kind, 3u); // lamps 1 and 2
    EXPECT_EQ(slot.componentFlags[1], 1);

    int32_t degrees = 0;
    EXPECT_EQ(KORAL_LS_GetStatus(1, 1, nullptr), -1);
    EXPECT_RECORD(5, 505, 0, 0, "KORAL_LS_GetStatus");
    EXPECT_EQ(KORAL_LS_GetShutterPosition(1, 1, nullptr), -1);
    EXPECT_RECORD(5, 505, 0, 0, "KORAL_LS_GetShutterPosition");
    EXPECT_EQ(KORAL_LS_GetActualTemperature(1, 1, nullptr), -1);
    EXPECT_RECORD(5, 505, 0, 0, "KORAL_LS_GetActualTemperature");
    EXPECT_EQ(KORAL_LS_GetModuleInfo(1, 1, nullptr, nullptr, nullptr), -1);
    EXPECT_RECORD(5, 505, 808, 1, "KORAL_LS_GetModuleInfo");
    EXPECT_EQ(KORAL_LS_GetActualTemperature(1, 1, &degrees), 0);
    EXPECT_EQ(degrees, 31);

    // A deleted module keeps its presence byte, yet no export reaches it.
    EXPECT_EQ(KORAL_DeleteI2CComponents(1, 0), 0);
    EXPECT_EQ(slot.componentFlags[1], 1);
    EXPECT_EQ(KORAL_LS_GetStatus(1, 1, &status), -1);
    EXPECT_RECORD(5, 507, 0, 1, "KORAL_LS_GetStatus");
    EXPECT_EQ(KORAL_LS_PowerON(1, 1, 0, 0), -1);
    EXPECT_RECORD(5, 507, 0, 1, "KORAL_LS_PowerON");
    EXPECT_FALSE(SlotHasLightSourceModule(1, 0));
}

TEST_F(LightSourceTest, LampMasksBySubtype) {
    openModules("0x40:lamp0 0x42:lamp1 0x44:lamp2 0x46:lamp3", "", 4);
    struct Row {
        int32_t position;
        uint8_t address;
        uint8_t mask;
        bool accepted;
        bool lamp1;
        bool lamp2;
    };
    const Row rows[] = {
        {1, 0x40, 0, true, true, true},    {1, 0x40, 1, true, true, false},
        {1, 0x40, 2, true, false, true},   {2, 0x42, 0, true, false, true},
        {2, 0x42, 1, false, false, false}, {3, 0x44, 0, true, true, false},
        {3, 0x44, 2, false, false, false}, {4, 0x46, 1, false, false, false},
        {4, 0x46, 0, true, true, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << "position " << row.position << " mask " << +row.mask);
        const unsigned writes = lamp(row.address).writes();
        if (!row.accepted) {
            EXPECT_EQ(KORAL_LS_PowerON(1, row.position, row.mask, 0), -1);
            EXPECT_RECORD(5, 505, 819, 1, "KORAL_LS_PowerON");
            EXPECT_EQ(lamp(row.address).writes(), writes); // nothing sent
            continue;
        }
        EXPECT_EQ(KORAL_LS_PowerON(1, row.position, row.mask, 0), 0) << describe(record());
        EXPECT_EQ(lamp(row.address).lampOn(1), row.lamp1);
        EXPECT_EQ(lamp(row.address).lampOn(2), row.lamp2);
        uint32_t status = 0;
        EXPECT_EQ(KORAL_LS_GetStatus(1, row.position, &status), 0);
        EXPECT_EQ(status & 3u, (row.lamp1 ? 0u : 2u) | (row.lamp2 ? 0u : 1u));
        EXPECT_EQ(KORAL_LS_PowerOFF(1, row.position, 0, 0), 0);
    }
    // Subtype 3 knows no lamps to switch off: its lamps stay as they are.
    EXPECT_TRUE(lamp(0x46).lampOn(1));
}

TEST_F(LightSourceTest, LampsAreAwaitedOnTheClock) {
    openModules("0x40:lamp2", "lamp_delay_ms = 1000\n", 1);
    platform::TimePoint start = platform::now();
    EXPECT_EQ(KORAL_LS_PowerON(1, 1, 0, 5000), 0);
    EXPECT_EQ(elapsedSince(start), milliseconds(1600)); // two polls of 800 ms
    start = platform::now();
    EXPECT_EQ(KORAL_LS_PowerOFF(1, 1, 0, 5000), 0);
    EXPECT_EQ(elapsedSince(start), milliseconds(1000)); // two polls of 500 ms

    // Time-out 0 switches and returns at once.
    start = platform::now();
    EXPECT_EQ(KORAL_LS_PowerON(1, 1, 1, 0), 0);
    EXPECT_EQ(elapsedSince(start), milliseconds(0));
    EXPECT_EQ(lamp().outputs() & 0x40, 0);
}

TEST_F(LightSourceTest, WaitsEndAtTheirLimitsAndAtTheAbortBit) {
    openModules("0x40:lamp0", "lamp_delay_ms = 600000\nshutter_delay_ms = 500\n", 1);
    platform::TimePoint start = platform::now();
    EXPECT_EQ(KORAL_LS_PowerON(1, 1, 3, 200000), -1);
    EXPECT_RECORD(4, 401, 0, 1, "KORAL_LS_PowerON");
    const milliseconds waited = elapsedSince(start);
    EXPECT_GE(waited, milliseconds(120000));
    EXPECT_LT(waited, milliseconds(2000 + 120000 + 800));
    EXPECT_EQ(lamp().outputs() & 0xC0, 0);

    start = platform::now();
    EXPECT_EQ(KORAL_LS_CloseShutter(1, 1, 0), 0);
    EXPECT_EQ(KORAL_LS_OpenShutter(1, 1, 100), -1);
    EXPECT_RECORD(4, 401, 0, 1, "KORAL_LS_OpenShutter");
    EXPECT_EQ(elapsedSince(start), milliseconds(200));
    // The output reads open already: only the position is awaited.
    EXPECT_EQ(KORAL_LS_OpenShutter(1, 1, 5000), 0);
    EXPECT_EQ(elapsedSince(start), milliseconds(600));
    uint32_t open = 0;
    EXPECT_EQ(KORAL_LS_GetShutterPosition(1, 1, &open), 0);
    EXPECT_EQ(open, 1u);

    lamp().setAbort(true);
    EXPECT_EQ(KORAL_LS_PowerOFF(1, 1, 3, 1000), -1);
    EXPECT_RECORD(4, 508, 0, 1, "KORAL_LS_PowerOFF");
}

TEST_F(LightSourceTest, TemperatureAndAlarm) {
    openModules("0x40:lamp0", "", 1);
    lamp().sensor().setTemperature(-10);
    int32_t degrees = 0;
    EXPECT_EQ(KORAL_LS_GetActualTemperature(1, 1, &degrees), 0);
    EXPECT_EQ(degrees, -5); // 0xFB
    EXPECT_FALSE(lamp().sensorConnected());

    struct Row {
        int32_t tOs, difference, expectTos, expectThyst;
    };
    for (const Row& row : {Row{-1, -1, 80, 75}, Row{3, 10, 3, 1}, Row{120, 0, 80, 80},
                           Row{60, 10, 60, 50}, Row{20, 100, 20, 1}}) {
        SCOPED_TRACE(::testing::Message() << row.tOs << " " << row.difference);
        EXPECT_EQ(KORAL_LS_SetTemperatureAlarm(1, 1, row.tOs, row.difference), 0);
        EXPECT_EQ(lamp().sensor().tOs(), 2 * row.expectTos);
        EXPECT_EQ(lamp().sensor().tHyst(), 2 * row.expectThyst);
    }

    // A sensor that does not answer: the control bytes are back all the same.
    board->withI2cBus([](sim::I2cBus& bus) { bus.failReads(sim::kModuleSensorAddress, 2); });
    EXPECT_EQ(KORAL_LS_GetActualTemperature(1, 1, &degrees), -1);
    EXPECT_RECORD(4, 308, 0, 1, "KORAL_LS_GetActualTemperature");
    EXPECT_FALSE(lamp().sensorConnected());
    EXPECT_EQ(boxCount(), 1u);
}

TEST_F(LightSourceTest, FlashModules) {
    openModules("0x40:flash 0x42:flash_manual 0x44:lamp0", "", 3);
    uint32_t value = 0;
    for (const auto& [statusByte, ms] :
         {std::pair{255, 1u}, {7, 249u}, {6, 250u}, {0, 1000u}, {245, 11u}}) {
        flash(0x40).setRateCode(static_cast<uint8_t>(255 - statusByte));
        EXPECT_EQ(KORAL_LS_ReadFlashRate(1, 1, &value), 0);
        EXPECT_EQ(value, ms) << statusByte;
    }
    EXPECT_EQ(KORAL_LS_SetFlashCounter(1, 1, 14), 0);
    EXPECT_EQ(flash(0x40).flashCounter(), 14u);
    EXPECT_EQ(componentAt(*deviceSlot(1), 1)->GetFlashCounter(), 14);
    for (int32_t count : {0, 255}) {
        EXPECT_EQ(KORAL_LS_SetFlashCounter(1, 1, count), -1);
        EXPECT_RECORD(5, 505, 0, 0, "KORAL_LS_SetFlashCounter");
    }
    EXPECT_EQ(KORAL_LS_SetFlashCounter(1, 2, 5), -1);
    EXPECT_RECORD(5, 506, 832, 0, "KORAL_LS_SetFlashCounter");
    EXPECT_EQ(KORAL_LS_SetFlashCounter(1, 3, 5), -1);
    EXPECT_RECORD(5, 506, 0, 0, "KORAL_LS_SetFlashCounter");

    for (const auto& [position, remote] : {std::pair{1, 1u}, {2, 0u}}) {
        EXPECT_EQ(KORAL_LS_GetStatus(1, position, &value), 0);
        EXPECT_EQ(value, remote * 256);
        EXPECT_EQ(KORAL_LS_GetRemoteStatus(1, position, &value), 0);
        EXPECT_EQ(value, remote);
    }
    uint8_t type = 0, subtype = 0, info = 0;
    EXPECT_EQ(KORAL_LS_GetModuleInfo(1, 2, &type, &subtype, &info), 0);
    EXPECT_EQ(type, 1);
    EXPECT_EQ(subtype, 0);
    EXPECT_EQ(info, 255); // decoded for lamp modules only
    EXPECT_EQ(KORAL_LS_CloseShutter(1, 1, 0), -1);
    EXPECT_RECORD(5, 506, 0, 0, "KORAL_LS_CloseShutter");
    EXPECT_EQ(KORAL_LS_GetRemoteStatus(1, 3, &value), -1);
    EXPECT_RECORD(5, 506, 0, 0, "KORAL_LS_GetRemoteStatus");
}

TEST_F(LightSourceTest, PowerStateIsSavedByModulesThatKeepIt) {
    openSimBoard("light_sources = 0x40:lamp0\n");
    auto line = std::make_shared<sim::ModuleSensorLine>();
    board->withI2cBus([&](sim::I2cBus& bus) {
        bus.attach(0x42, std::make_unique<sim::LampModule>(
                             sim::LampModule::Options{.type = 2, .subtype = 2}, line));
    });
    EXPECT_EQ(KORAL_ScanI2CComponents(1, 0), 2);
    uint32_t kind = 0;
    EXPECT_EQ(KORAL_LS_Initialize(1, 1, 0, &kind), 0);
    EXPECT_EQ(KORAL_LS_Initialize(1, 2, 0, &kind), 0);
    EXPECT_EQ(kind, 1u); // lamp 1
    EXPECT_EQ(KORAL_LS_SavePowerStatus(1, 1), -1);
    EXPECT_RECORD(5, 508, 0, 0, "KORAL_LS_SavePowerStatus");
    EXPECT_EQ(KORAL_LS_SavePowerStatus(1, 2), 0);
    EXPECT_EQ(lamp(0x42).powerStateSaves(), 1u);
}

TEST_F(LightSourceTest, AcquisitionSwitchesThePresentLampShutters) {
    openModules("0x40:lamp0", "", 0);
    // Not marked present: the shutter is the digital output's.
    EXPECT_EQ(SetAcquisitionShutter(1, 0, 1), 0);
    EXPECT_FALSE(lamp().shutterOpen());
    uint32_t kind = 0;
    EXPECT_EQ(KORAL_LS_Initialize(1, 1, 0, &kind), 0);
    EXPECT_TRUE(SlotHasLightSourceModule(0, 0));
    EXPECT_FALSE(SlotHasLightSourceModule(0, 1));
    EXPECT_EQ(SetAcquisitionShutter(1, 0, 1), 0);
    EXPECT_TRUE(lamp().shutterOpen());
    EXPECT_EQ(SetAcquisitionShutter(1, 0, 0), 0);
    EXPECT_FALSE(lamp().shutterOpen());

    board->withI2cBus([](sim::I2cBus& bus) { bus.remove(0x40); });
    EXPECT_EQ(SetAcquisitionShutter(1, 0, 1), -1);
    EXPECT_RECORD(4, 403, 1, 1, "KORAL_LS_OpenShutter");
    EXPECT_EQ(boxCount(), 0u);
}

// The module over a bus that fails every write after the first n.
struct FailingWrites {
    static inline int allowed = 0;
    static int32_t write1(int32_t, const uint8_t*, int32_t, uint32_t) {
        return allowed-- > 0 ? 0 : -1;
    }
    // A module of type 2 whose lamps are on.
    static int32_t read1(int32_t, uint8_t* buffer, int32_t count, uint32_t) {
        std::fill(buffer, buffer + count, uint8_t{0});
        buffer[0] = kLampModuleWithMemory;
        return 0;
    }
};

TEST(LightSourceModuleTest, AFailedPowerStateSaveLeavesNoSaveBitBehind) {
    platform::VirtualClock clock;
    platform::ScopedClock scopedClock{clock};
    PeripheralI2c& i2c = peripheralI2c();
    i2c.write1 = &FailingWrites::write1;
    i2c.read1 = &FailingWrites::read1;
    CLightSourceModule module;
    module.SetInterfaceId(1);
    module.SetI2CAddress(0x40);
    FailingWrites::allowed = 1000;
    module.ReadIdentification(); // its sensor is not reached: the library is not set up
    ASSERT_EQ(module.GetModuleType(), kLampModuleWithMemory);
    FailingWrites::allowed = 0;
    EXPECT_EQ(module.SavePowerStatus(), kLsWriteFailed);
    EXPECT_EQ(module.GetControlByte0(), 0xFF);
    resetPeripheralI2c();
}

} // namespace
} // namespace tarvik::testing
