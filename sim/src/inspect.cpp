// The C view of the simulated boards.

#include "sim/inspect.h"

#include "sim/board_registry.h"
#include "sim/light_sources.h"

#include "platform/clock.h"

#include <chrono>
#include <memory>
#include <mutex>

namespace {

struct VirtualTime {
    platform::VirtualClock clock{platform::now()};
    platform::ScopedClock installed{clock};
};
std::mutex g_virtualMutex;
std::unique_ptr<VirtualTime> g_virtual;

// f(bus) on the named board's I2C bus under its lock; false without the board.
template <class F> bool onBus(const char* boardName, F&& f) {
    const sim::BoardRegistry& registry = sim::BoardRegistry::instance();
    if (const auto usb = registry.findUsbBoard(boardName)) {
        return usb->withI2cBus(f);
    }
    if (const auto board = registry.find(boardName)) {
        return board->withI2cBus(f);
    }
    return false;
}

} // namespace

extern "C" int veldonSimDigitalLines(const char* boardName, VeldonSimDigitalLines* lines) {
    if (boardName == nullptr || lines == nullptr) {
        return -1;
    }
    const sim::BoardRegistry& registry = sim::BoardRegistry::instance();
    sim::DigitalLineState state;
    if (const auto usb = registry.findUsbBoard(boardName)) {
        state = usb->digitalLines();
    } else if (const auto board = registry.find(boardName)) {
        state = board->digitalLines();
    } else {
        return -1;
    }
    lines->outputs = state.outputs;
    lines->latchMode = state.latchMode;
    lines->outputCommands = state.outputCommands;
    return 0;
}

extern "C" int veldonSimLightSource(const char* boardName, uint32_t address,
                                    VeldonSimLightSource* module) {
    if (boardName == nullptr || module == nullptr || address > 0xFF) {
        return -1;
    }
    const auto at = static_cast<uint8_t>(address);
    const bool found = onBus(boardName, [&](sim::I2cBus& bus) {
        if (auto* lamp = bus.device<sim::LampModule>(at)) {
            const sim::I2cTemperatureSensor& sensor = lamp->sensor();
            *module = {lamp->status(), lamp->outputs(), 0, lamp->writes(), sensor.temperature(),
                       sensor.tOs(),   sensor.tHyst()};
            return true;
        }
        if (auto* flash = bus.device<sim::FlashModule>(at)) {
            *module = {flash->status(), 0, flash->flashCounter(), flash->counterWrites(), 0, 0, 0};
            return true;
        }
        return false;
    });
    return found ? 0 : -1;
}

extern "C" int veldonSimCooledBoard(const char* boardName, VeldonSimCooledBoard* cooled) {
    if (boardName == nullptr || cooled == nullptr) {
        return -1;
    }
    const bool found = onBus(boardName, [&](sim::I2cBus& bus) {
        const auto* board = bus.device<sim::CooledBoard>(sim::kCooledBoardAddress);
        if (board == nullptr) {
            return false;
        }
        for (int n = 0; n < 16; ++n) {
            cooled->registers[n] = board->reg(n);
        }
        cooled->coolingOn = board->coolingOn() ? 1 : 0;
        return true;
    });
    return found ? 0 : -1;
}

extern "C" void veldonSimVirtualClock(int on) {
    std::lock_guard lock(g_virtualMutex);
    if (on == 0) {
        g_virtual.reset();
    } else if (!g_virtual) {
        g_virtual = std::make_unique<VirtualTime>();
    }
}

extern "C" int64_t veldonSimClockMs(void) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(platform::now().time_since_epoch())
        .count();
}
