#pragma once
// The link's module-wide records, one set for all QRE slots (allocated at
// library load by AllocQreBuffers, freed at unload by FreeQreBuffers).

#include "serial/qre_blocks.h"
#include "serial/qre_frame.h"
#include "serial/qre_port.h"
#include "serial/qre_protocol.h"

#include "platform/serial_port.h"

#include <array>
#include <memory>

namespace tarvik {

struct QreLinkModule {
    QrePortSettings port;
    std::unique_ptr<platform::serial::SerialPort> portHandle; // null: closed
    bool kernelDirection = false; // the driver switches RTS around each frame itself
    bool portFailed = false;      // a read or write failed in the exchange under way
    QreErrorList errors;
    QreProtocolState protocol;
    QreTransferRecord transfer;
    QreReceiveRecord receive;
    QreFrameBuffers frames;
    QreCurrentBlocks current;
    std::array<uint8_t, qre::kTransferBlockSize> i2cTransfer{};        // type 11
    std::array<uint8_t, qre::kConfigurationBlockSize> configuration{}; // type 12
    // Triggered runs of all slots: the triggers are armed (pulse, slope).
    bool armedPulse = false;
    bool armedSlope = false;
};

// Null before AllocQreBuffers and after FreeQreBuffers.
QreLinkModule* qreLink();

} // namespace tarvik
