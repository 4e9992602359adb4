// What serial multiplexers answer and what serial electronics report in
// their status block, as the library takes it (on a virtual clock).
//
// Byte 0, bit 0 clear: a multiplexer (bit 1: MUX-KRL, else MUX-KRD) is
// opened and switched to the channels of bytes 1..3; every line the library
// writes is answered by the next chunk [length, bytes...] of the input. The
// results are 0, -1, -2 or a platform error; the channel changes only on 0
// and never beyond the channel count; the port nibble stays.
//
// Bit 0 set: one acquisition in work mode 1, 2, 3 or 6 (bits 1-2) from a
// unit whose status block, at every read, takes the next 24 input bytes
// (firmware kept). Its records hold patterns of their own type. A success
// has copied a record the library read in this acquisition, whole.
#include "core/library_attach.h"
#include "core/library_state.h"
#include "serial/qre_link.h"
#include "serial/qre_module.h"
#include "sim/serial_electronics.h"

#include "platform/clock.h"
#include "platform/serial_fake.h"

#include "fuzz_check.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <vector>

using fuzz::check;
using namespace tarvik;

namespace {

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::vector<uint8_t> take(size_t n) {
        n = std::min(n, size_ - pos_);
        std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return out;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

class ScriptedMux final : public platform::serial::FakeSerialDevice {
public:
    explicit ScriptedMux(Input& input) : input_(input) {}
    void received(platform::serial::FakeSerialLine& line, std::span<const uint8_t>) override {
        const std::vector<uint8_t> chunk = input_.take(input_.byte());
        if (!chunk.empty()) {
            line.send(chunk, std::chrono::milliseconds(1));
        }
    }

private:
    Input& input_;
};

void fuzzMux(Input& input, uint8_t head) {
    auto line = std::make_shared<platform::serial::FakeSerialLine>();
    ScriptedMux device(input);
    line->setDevice(&device);
    check(platform::serial::attachFakeSerialLine("COM3", line) == 0);
    check(CreateDeviceSlot(1) == 0);
    DeviceSlot& slot = *deviceSlot(1);
    slot.configuration[18] = (head & 2) != 0 ? 9 : 7;
    slot.configuration[19] = static_cast<uint8_t>((input.byte() & 0xF0) | 3);
    slot.serialMuxPortNumber = 3;
    slot.muxChannel = 1;
    const int32_t opened = OpenMuxPort(1);
    check(opened >= 0);
    check((slot.configuration[19] & 0x0F) == 3);
    for (int i = 0; opened == 0 && i < 3; ++i) {
        const uint8_t before = slot.muxChannel;
        const int32_t channel = static_cast<int8_t>(input.byte());
        const int32_t result = SelectMuxChannelSerial(channel, 1);
        check(result == 0 || result == -1 || result == -2 || result > 0);
        check(result == 0 || slot.muxChannel == before);
        check(slot.muxChannel == before || slot.muxChannel <= GetSerialMuxChannelCount(1));
    }
    CloseMuxPort(1);
    check(slot.serialMuxPort == kNoSerialPort);
    FreeDeviceSlot(1);
    platform::serial::detachSerialPort("COM3");
    line->setDevice(nullptr);
}

// A unit whose status block comes from the input and whose records hold
// value (type << 8 | pixel) in each 16-bit or 32-bit place.
class ScriptedStatus final : public sim::SerialUnitBehaviour {
public:
    explicit ScriptedStatus(Input& input) : input_(input) {}
    void beforeBlockRead(sim::SerialUnit& unit, uint8_t type) override {
        const std::span<uint8_t> block = unit.block(type);
        if (type == qre::kVersionBlock) {
            const std::vector<uint8_t> bytes = input_.take(block.size());
            std::copy(bytes.begin(), bytes.end(), block.begin());
            block[2] = 0x3C; // firmware 3.16
            block[3] = 0x01;
            std::fill(block.begin() + 4, block.begin() + 8, 0); // no error words
            return;
        }
        const bool wide = type == 7 || type == 8;
        if (type >= 1 && type <= 8 && type != 5 && type != 6) {
            const size_t at = wide ? 20 : 18;
            const size_t width = wide ? 4 : 2;
            for (size_t i = 0; at + width * (i + 1) <= block.size(); ++i) {
                const uint32_t value = static_cast<uint32_t>(type) << 8 | (i & 0xFF);
                for (size_t b = 0; b < width; ++b) {
                    block[at + width * i + b] = static_cast<uint8_t>(value >> (8 * b));
                }
            }
        }
    }

private:
    Input& input_;
};

void fuzzAcquisition(Input& input, uint8_t head) {
    static constexpr uint16_t kModes[] = {1, 2, 3, 6};
    sim::SerialElectronics electronics;
    sim::SerialUnit& unit = electronics.addUnit(1);
    unit.setBehaviour(std::make_shared<ScriptedStatus>(input));
    auto line = std::make_shared<platform::serial::FakeSerialLine>();
    line->setDevice(&electronics);
    check(platform::serial::attachFakeSerialLine("COM2", line) == 0);
    QreLinkModule& link = *qreLink();
    link.port.portNumber = 2;
    ResetQreProtocolState();
    SetQreReplyTimeout(30);
    check(OpenQrePort() == 1 && ConfigureQrePort() == 1);
    ResetQreProtocol();

    check(CreateDeviceSlot(1) == 0);
    DeviceSlot& slot = *deviceSlot(1);
    slot.boardType = kTypeSerial;
    slot.active = 1;
    slot.initialised = 1;
    slot.block()->WorkMode = kModes[(head >> 1) & 3];
    slot.block()->NumberPixel2 = 1044;
    slot.acquisitionIntegrationTime = 1000;
    slot.deletingIntegrationTime = 1000;
    slot.qre.interfaceId = 1;
    slot.qre.averageNumber = (head & 8) != 0 ? 4 : 0;
    check(AllocQreSlotBuffers(1) == 1);
    SelectQreSlotBuffers(1);
    ResetQreRecords();
    slot.qre.setFirmwareVersion(316);
    libraryState()->actualInterfaceId = 1;
    std::fill_n(slot.block()->ScanData, 1050, 0xDEADBEEFu);

    const int32_t result = AcquireQreSpectra(1);
    check(result == 0 || result == -1 || result == -2);
    check(libraryState()->actualInterfaceId == 1);
    if (result != -1) {
        const uint32_t* data = slot.block()->ScanData;
        const bool wide = slot.qre.averageNumber >= 2 && (kModes[(head >> 1) & 3] >= 3);
        const uint32_t type = (wide ? data[0] : data[0] / 100) >> 8;
        bool requested = false;
        for (const sim::SerialFrameRecord& f : unit.received()) {
            requested = requested ||
                        (f.isCommand() && f.code() == qre::kBlockRequest && f.parameter() == type);
        }
        check(requested);
        for (uint32_t i = 0; i < 1050; ++i) {
            const uint32_t value = type << 8 | (i & 0xFF);
            check(data[i] == (wide ? value : value * 100));
        }
    }
    FreeDeviceSlot(1);
    CloseQrePortHandle();
    platform::serial::detachSerialPort("COM2");
    line->setDevice(nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool attached = [] {
        // Nothing of this machine's configuration, no drivers.
        setenv("VELDON_MACHINE_CONFIG", "/nonexistent/veldon-fuzz", 1);
        setenv("VELDON_USER_CONFIG", "/nonexistent/veldon-fuzz", 1);
        setenv("VELDON_DRIVER_PATH", "", 1);
        return LibraryAttach() == 1;
    }();
    check(attached);
    if (size < 1) {
        return 0;
    }
    platform::VirtualClock clock;
    platform::ScopedClock scope(clock);
    Input input(data + 1, size - 1);
    if ((data[0] & 1) == 0) {
        fuzzMux(input, data[0]);
    } else {
        fuzzAcquisition(input, data[0]);
    }
    return 0;
}
