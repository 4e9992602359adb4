// The C view of the simulated boards.

#include "sim/inspect.h"

#include "sim/board_registry.h"

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
