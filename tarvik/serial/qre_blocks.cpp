#include "serial/qre_module.h"

#include "core/library_state.h"

#include <cstring>
#include <new>

namespace tarvik {
namespace {

constinit QreLinkModule* g_link = nullptr;

uint16_t readU16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

void writeU16(uint8_t* bytes, uint16_t value) {
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
}

void writeU32(uint8_t* bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void writeFloat(uint8_t* bytes, float value) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    writeU32(bytes, bits);
}

uint16_t currentFirmwareVersion() {
    const QreLinkModule* link = qreLink();
    if (link == nullptr || link->current.version == nullptr) {
        return 0;
    }
    return readU16(link->current.version + kQreFirmwareVersionOffset);
}

bool refuse() {
    PushQreError(qre::kErrFirmwareNotCorrect);
    return false;
}

// A port that fails under an exchange ends it at once (-320): repeats on a
// port that cannot carry them would only take their time.
bool endedByPort(QreLinkModule& link) {
    if (!link.portFailed) {
        return false;
    }
    QreProtocolState& p = link.protocol;
    PushQreError(qre::kErrComPortNotAvailable);
    p.awaited = 0;
    p.requestedState = kQreStateIdle;
    p.replyFlags = 0;
    ResetQreReceiver();
    return true;
}

// One exchange: the requested state, then receive polls and steps while a
// reply is awaited. The given-up flag.
int32_t runExchange(uint16_t state) {
    QreLinkModule* link = qreLink();
    if (link == nullptr) {
        return 0;
    }
    QreProtocolState& p = link->protocol;
    ClearQreGiveUp();
    link->portFailed = false;
    p.requestedState = state;
    RunQreProtocolStep();
    while (p.awaited != 0 && !endedByPort(*link)) {
        ReceiveQreFrame();
        if (!endedByPort(*link)) {
            RunQreProtocolStep();
        }
    }
    return p.givenUp;
}

// The slot served at the destination address no longer scans continuously.
void markContinuousStopped() {
    const QreLinkModule* link = qreLink();
    for (int32_t id = 1; link != nullptr && id <= kMaxInterfaceId; ++id) {
        DeviceSlot* slot = deviceSlot(id);
        if (slot != nullptr && slot->qre.blocks &&
            slot->qre.interfaceId == link->protocol.destination) {
            slot->qre.continuousRunning = false;
        }
    }
}

bool oneOf(uint8_t value, std::initializer_list<uint8_t> allowed) {
    for (const uint8_t a : allowed) {
        if (value == a) {
            return true;
        }
    }
    return false;
}

// The settings the firmware of version v cannot take (S settings block, P
// parameter block); the first rule that applies to v decides.
bool settingsRefused(uint16_t v, const uint8_t* s, const uint8_t* p) {
    const bool averagedContinuous = s[21] == 1 && s[23] > 1;
    const bool p4Basic = oneOf(p[4], {0, 1});
    const bool p5Basic = oneOf(p[5], {0, 1});
    const bool s4Basic = oneOf(s[4], {0, 2});
    const bool triggerOutsideMode = s[20] != 0 && s[21] != 1;
    const bool rule5 = averagedContinuous || !p4Basic || !p5Basic || s[20] != 0 || !s4Basic;
    const bool rule8 =
        averagedContinuous || !oneOf(p[4], {0, 1, 2, 3, 6}) || triggerOutsideMode || !s4Basic;
    if (v < 202) {
        return averagedContinuous || p[4] != 0 || p[5] != 0 || s[4] != 0 || s[6] != 0 ||
               s[7] != 0 || s[20] != 0;
    }
    if (v < 203) {
        return averagedContinuous || p[4] != 0 || !p5Basic || s[20] != 0 || s[4] != 0;
    }
    if (v < 204) {
        return averagedContinuous || !p4Basic || !p5Basic || s[20] != 0 || s[4] != 0;
    }
    if (v < 205 || v <= 303 || v == 325) {
        return rule5;
    }
    if (v < 305) {
        return averagedContinuous || !p4Basic || !p5Basic || triggerOutsideMode || !s4Basic;
    }
    if (v < 316) {
        return rule8;
    }
    if (v > 316) {
        return false;
    }
    const uint16_t sensorValue = readU16(p + 16);
    return rule8 || (sensorValue > 6 && sensorValue != 13);
}

} // namespace

QreLinkModule* qreLink() {
    return g_link;
}

uint16_t QreSlotRecord::firmwareVersion() const {
    return blocks ? readU16(blocks->version.data() + kQreFirmwareVersionOffset) : 0;
}

int16_t QreSlotRecord::statusWord() const {
    return blocks ? static_cast<int16_t>(readU16(blocks->version.data() + kQreLinkStatusOffset))
                  : 0;
}

int16_t QreSlotRecord::deviceStatusWord() const {
    return blocks ? static_cast<int16_t>(readU16(blocks->version.data() + kQreDeviceErrorOffset))
                  : 0;
}

void QreSlotRecord::setFirmwareVersion(uint16_t version) {
    if (blocks) {
        writeU16(blocks->version.data() + kQreFirmwareVersionOffset, version);
    }
}

void QreSlotRecord::setStatusWords(int16_t status, int16_t deviceStatus) {
    if (blocks) {
        writeU16(blocks->version.data() + kQreLinkStatusOffset, static_cast<uint16_t>(status));
        writeU16(blocks->version.data() + kQreDeviceErrorOffset,
                 static_cast<uint16_t>(deviceStatus));
    }
}

int32_t ExecuteQreCommand(uint8_t code) {
    if (!CheckQreCommandFirmware(code)) {
        return 0;
    }
    if (code == kQreCommand7 || code == qre::kGlobalReset) {
        // Sent is stopped: the command may have arrived even when its
        // acknowledgement did not.
        markContinuousStopped();
    }
    return runExchange(code);
}

int32_t ReadQreBlock(uint8_t type) {
    if (!CheckQreCommandFirmware(type)) {
        return 0;
    }
    if (QreLinkModule* link = qreLink()) {
        link->transfer.blockType = type;
    }
    return runExchange(kQreStateReadBlock);
}

int32_t WriteQreBlock(uint8_t type) {
    if (!CheckQreCommandFirmware(type)) {
        return 0;
    }
    if (QreLinkModule* link = qreLink()) {
        link->receive.sendBlockType = type;
    }
    return runExchange(kQreStateWriteBlock);
}

int32_t SendQreCommandN(uint8_t code) {
    return CheckQreFirmwareSettings() ? ExecuteQreCommand(code) : 0;
}

namespace {
bool blockGate(uint8_t type) {
    return type == qre::kTransferBlock || type == qre::kConfigurationBlock
               ? CheckQreBlockFirmware(type)
               : CheckQreFirmwareSettings();
}
} // namespace

int32_t WriteQreBlockN(uint8_t type) {
    return blockGate(type) ? WriteQreBlock(type) : 0;
}

int32_t ReadQreBlockN(uint8_t type) {
    return blockGate(type) ? ReadQreBlock(type) : 0;
}

bool CheckQreCommandFirmware(uint8_t code) {
    if (code == qre::kGlobalReset && currentFirmwareVersion() < kQreFirmwareGlobalReset) {
        return refuse();
    }
    return true;
}

bool CheckQreBlockFirmware(uint8_t type) {
    const uint16_t v = currentFirmwareVersion();
    if ((type == qre::kTransferBlock && v < kQreFirmwareTransferBlock) ||
        (type == qre::kConfigurationBlock && v < kQreFirmwareConfigurationBlock)) {
        return refuse();
    }
    return true;
}

bool CheckQreFirmwareSettings() {
    const QreLinkModule* link = qreLink();
    const uint16_t v = currentFirmwareVersion();
    // Firmware older than 2.01 can do nothing; the refusal is reported like
    // every other, so the caller's failure has a cause.
    if (v < 201 || link->current.settings == nullptr || link->current.parameter == nullptr) {
        return refuse();
    }
    return settingsRefused(v, link->current.settings, link->current.parameter) ? refuse() : true;
}

void SelectQreSlotBuffers(int32_t interfaceId) {
    QreLinkModule* link = qreLink();
    if (link == nullptr) {
        return;
    }
    const DeviceSlot* slot = deviceSlot(interfaceId);
    QreSlotBlocks* b = slot != nullptr ? slot->qre.blocks.get() : nullptr;
    QreCurrentBlocks& c = link->current;
    if (b == nullptr) {
        c = QreCurrentBlocks{};
        return;
    }
    c.settings = b->settings.data();
    c.version = b->version.data();
    c.parameter = b->parameter.data();
    c.list = b->list.data();
    for (std::size_t i = 0; i < 4; ++i) {
        c.spectrum[i] = b->spectrum[i].data();
        c.wide[i] = b->wide[i].data();
    }
}

int32_t AllocQreSlotBuffers(int32_t interfaceId) {
    DeviceSlot* slot = deviceSlot(interfaceId);
    if (slot == nullptr) {
        return 0;
    }
    if (!slot->qre.blocks) {
        slot->qre.blocks.reset(new (std::nothrow) QreSlotBlocks);
    }
    return slot->qre.blocks ? 1 : 0;
}

int32_t FreeQreSlotBuffers(int32_t interfaceId) {
    DeviceSlot* slot = deviceSlot(interfaceId);
    if (slot == nullptr || !slot->qre.blocks) {
        return 1;
    }
    // The link must not keep pointing into blocks that are gone.
    QreLinkModule* link = qreLink();
    if (link != nullptr && link->current.settings == slot->qre.blocks->settings.data()) {
        link->current = QreCurrentBlocks{};
    }
    slot->qre.blocks.reset();
    return 1;
}

int32_t ResetQreRecords() {
    QreLinkModule* link = qreLink();
    if (link == nullptr) {
        return 0;
    }
    QreCurrentBlocks& c = link->current;
    if (uint8_t* v = c.version) {
        std::memset(v, 0, 12);
        writeU16(v + kQreFirmwareVersionOffset, kQreDefaultFirmwareVersion);
        v[12] = 14;
        v[13] = 8;
        std::memset(v + 14, 0, 5);
        v[19] = 255;
        v[20] = 255;
        std::memset(v + 22, 0, 10);
    }
    if (uint8_t* p = c.parameter) {
        writeU16(p, 0);
        std::memset(p + 4, 0, 3);
        for (const std::size_t at : {std::size_t{16}, std::size_t{40}}) {
            writeU16(p + at, 0);
            writeU16(p + at + 2, 256);
            writeFloat(p + at + 4, 300.0f);
            writeFloat(p + at + 8, 3.0f);
            for (std::size_t k = 12; k <= 20; k += 4) {
                writeFloat(p + at + k, 0.0f);
            }
        }
    }
    if (uint8_t* s = c.settings) {
        std::memset(s, 0, 12);
        writeU32(s + 12, 737);
        writeU32(s + 16, 10000);
        static constexpr uint8_t kModes[] = {0, 1, 1, 0, 0, 1, 1, 21};
        std::memcpy(s + 20, kModes, sizeof kModes);
        s[28] = 0;
        s[30] = 0;
        s[31] = 0;
    }
    static constexpr uint8_t kTransferDefaults[] = {0, 0, 1, 0, 0, 1, 0, 0};
    std::memcpy(link->i2cTransfer.data(), kTransferDefaults, sizeof kTransferDefaults);
    std::memset(link->i2cTransfer.data() + 8, 0, 16);
    writeU16(link->configuration.data(), 255);
    writeU16(link->configuration.data() + 2, 255);
    if (uint8_t* l = c.list) {
        std::memset(l, 0, 6);
        for (std::size_t entry = 6; entry + 18 <= qre::kListBlockSize; entry += 18) {
            writeU16(l + entry, 0);
            writeU16(l + entry + 2, 0);
            writeU16(l + entry + 16, 0);
        }
    }
    for (uint8_t* record : c.spectrum) {
        if (record != nullptr) {
            std::memset(record, 0, qre::kSpectrumBlockSize);
            writeU16(record + 16, 256);
        }
    }
    for (uint8_t* record : c.wide) {
        if (record != nullptr) {
            std::memset(record, 0, 16);
            writeU16(record + 16, 256);
            std::memset(record + 20, 0, qre::kWideSpectrumBlockSize - 20);
        }
    }
    return 0;
}

int32_t AllocQreBuffers() {
    if (g_link == nullptr) {
        g_link = new (std::nothrow) QreLinkModule;
    }
    return g_link != nullptr ? 1 : 0;
}

int32_t FreeQreBuffers() {
    delete g_link;
    g_link = nullptr;
    return 1;
}

} // namespace tarvik
