#pragma once
// The link on a fake COM port with simulated serial electronics behind it, on
// a virtual clock; and what the open of the first serial slot does to the
// link (port opened and configured, protocol reset) and what an operation
// does before its first exchange (the slot's blocks selected, its address
// set).

#include "tarvik_test.h"

#include "core/library_state.h"
#include "serial/qre_link.h"
#include "sim/serial_electronics.h"
#include "sim/serial_unit_model.h"

#include "platform/clock.h"
#include "platform/serial_fake.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

namespace tarvik::testing {

class SerialLinkSim {
public:
    explicit SerialLinkSim(uint16_t portNumber = 2)
        : portNumber_(portNumber), name_("COM" + std::to_string(portNumber)) {
        line->setDevice(&electronics);
        EXPECT_EQ(platform::serial::attachFakeSerialLine(name_, line), 0);
    }
    ~SerialLinkSim() {
        CloseQrePortHandle();
        platform::serial::detachSerialPort(name_);
        line->setDevice(nullptr);
    }
    SerialLinkSim(const SerialLinkSim&) = delete;
    SerialLinkSim& operator=(const SerialLinkSim&) = delete;

    // The port opened and configured on the line, the protocol reset.
    bool openPort(uint8_t transmission = 0) {
        QreLinkModule* link = qreLink();
        link->port.portNumber = portNumber_;
        link->port.transmission = transmission;
        CloseQrePortHandle();
        ResetQreProtocolState();
        const bool opened = OpenQrePort() == 1 && ConfigureQrePort() == 1;
        ResetQreProtocol();
        return opened;
    }

    // Slot id with its blocks at their defaults and the firmware version,
    // selected, its address the destination; the wait of the address switch
    // is taken.
    void prepareSlot(int32_t id, uint16_t version = 316) {
        ASSERT_EQ(AllocQreSlotBuffers(id), 1);
        SelectQreSlotBuffers(id);
        ResetQreRecords();
        deviceSlot(id)->qre.setFirmwareVersion(version);
        deviceSlot(id)->qre.interfaceId = static_cast<uint32_t>(id);
        SetQreDestination(static_cast<uint8_t>(id));
        qreLink()->protocol.addressChanged = 0;
    }

    // A unit with the device model at the config's address.
    sim::SerialUnitModel& addModelUnit(sim::SerialUnitConfig config = {}) {
        auto model = std::make_shared<sim::SerialUnitModel>(config);
        sim::SerialUnit& unit = electronics.addUnit(config.address);
        model->install(unit);
        unit.setBehaviour(model);
        models.push_back(model);
        return *model;
    }
    // Commands of a code that the unit at an address received.
    size_t commandsTo(uint8_t address, uint8_t code) {
        const auto codes = electronics.unit(address)->commands();
        return static_cast<size_t>(std::count(codes.begin(), codes.end(), code));
    }

    // The frames the library wrote, one per write.
    std::vector<std::vector<uint8_t>> writes() const {
        std::vector<std::vector<uint8_t>> out;
        for (const auto& event : line->events()) {
            if (event.kind == platform::serial::FakeSerialEvent::Kind::Write) {
                out.push_back(event.bytes);
            }
        }
        return out;
    }

    platform::VirtualClock clock;
    platform::ScopedClock scope{clock};
    sim::SerialElectronics electronics;
    std::vector<std::shared_ptr<sim::SerialUnitModel>> models;
    std::shared_ptr<platform::serial::FakeSerialLine> line =
        std::make_shared<platform::serial::FakeSerialLine>();

private:
    uint16_t portNumber_;
    std::string name_;
};

// A library with serial slot 1 on the simulated line, its port open.
class SerialLinkTest : public TarvikTest {
protected:
    void SetUp() override {
        TarvikTest::SetUp();
        addSlot(1, kTypeSerial);
        ASSERT_TRUE(serial.openPort());
        serial.prepareSlot(1);
    }
    QreLinkModule& link() { return *qreLink(); }

    SerialLinkSim serial;
};

// Slots of serial electronics opened as the open export does (OpenQreDevice
// on the stored port, COM2 here), against units with the device model.
class QreSlotTest : public TarvikTest {
protected:
    sim::SerialUnitModel& addUnit(uint8_t address, uint16_t firmware = 316) {
        sim::SerialUnitConfig config;
        config.address = address;
        config.firmwareVersion = firmware;
        return serial.addModelUnit(config);
    }

    int32_t open(int32_t id) {
        if (deviceSlot(id) == nullptr) {
            EXPECT_EQ(CreateDeviceSlot(id), 0);
            deviceSlot(id)->boardType = kTypeSerial;
        }
        state().actualInterfaceId = id;
        state().serialComPort = 2;
        const int32_t result = OpenQreDevice(0);
        if (result == 0) {
            ++state().openInterfaces;
            state().interfaceTypeInUse = kTypeSerial;
            deviceSlot(id)->active = 1;
            deviceSlot(id)->initialised = 1;
        }
        return result;
    }

    sim::SerialUnit& unit(uint8_t address) { return *serial.electronics.unit(address); }
    DeviceSlot& slot(int32_t id) { return *deviceSlot(id); }

    SerialLinkSim serial;
};

} // namespace tarvik::testing
