// What serial electronics send back over the line, as the link's receiver
// and transfer state machine take it: whatever arrives, one exchange ends
// (on a virtual clock), no piece lands outside the block being read, the
// receive buffer and the error list stay within their bounds.
//
// Input: byte 0 the exchange (a command, a block read or a block write),
// byte 1 the block type, then the line's answers: for every frame the link
// writes, the next chunk [delay, length, bytes...] arrives after delay & 0x7F
// ms; with bit 7 of delay set the chunk's frames get correct checks, so that
// the search gets past them into the state machine.
#include "serial/qre_module.h"

#include "platform/serial_fake.h"

#include "fuzz_check.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

using fuzz::check;
using namespace tarvik;

namespace {

class ScriptedDevice final : public platform::serial::FakeSerialDevice {
public:
    ScriptedDevice(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    void received(platform::serial::FakeSerialLine& line, std::span<const uint8_t>) override {
        if (pos_ + 2 > size_) {
            return;
        }
        const auto delay = std::chrono::milliseconds(data_[pos_] & 0x7F);
        const bool sealed = (data_[pos_] & 0x80) != 0;
        const size_t length = std::min<size_t>(data_[pos_ + 1], size_ - pos_ - 2);
        std::vector<uint8_t> chunk(data_ + pos_ + 2, data_ + pos_ + 2 + length);
        pos_ += 2 + length;
        for (size_t at = 0; sealed && at + qre::kHeaderSize <= chunk.size();) {
            const size_t frame = qre::frameLength(chunk[at + 2]);
            if (frame > qre::kMaxFrameSize || at + frame > chunk.size()) {
                break;
            }
            qre::appendChecks(chunk.data() + at, frame - qre::kChecksSize);
            at += frame;
        }
        line.send(chunk, delay);
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Every block of a slot in a heap block of its own size, so that the
// sanitizer sees a piece written past one.
struct Blocks {
    std::vector<std::unique_ptr<uint8_t[]>> owned;
    std::vector<std::pair<uint8_t, uint8_t*>> byType;

    uint8_t* make(uint8_t type) {
        const size_t size = qre::blockSize(type);
        owned.push_back(std::make_unique<uint8_t[]>(size));
        std::memset(owned.back().get(), 0, size);
        byType.emplace_back(type, owned.back().get());
        return owned.back().get();
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    platform::VirtualClock clock;
    platform::ScopedClock scope(clock);
    check(AllocQreBuffers() == 1);
    QreLinkModule& link = *qreLink();

    Blocks blocks;
    QreCurrentBlocks& current = link.current;
    current.settings = blocks.make(qre::kSettingsBlock);
    current.version = blocks.make(qre::kVersionBlock);
    current.parameter = blocks.make(qre::kParameterBlock);
    current.list = blocks.make(qre::kListBlock);
    for (uint8_t i = 0; i < 4; ++i) {
        current.spectrum[i] = blocks.make(static_cast<uint8_t>(1 + i));
    }
    current.wide[2] = blocks.make(7);
    current.wide[3] = blocks.make(8);
    ResetQreRecords();
    current.version[2] = 0x3C; // firmware 3.16: every gate passes
    current.version[3] = 0x01;
    std::vector<std::vector<uint8_t>> before;
    for (const auto& [type, block] : blocks.byType) {
        before.emplace_back(block, block + qre::blockSize(type));
    }

    auto line = std::make_shared<platform::serial::FakeSerialLine>();
    ScriptedDevice device(data + 2, size - 2);
    line->setDevice(&device);
    check(platform::serial::attachFakeSerialLine("COM1", line) == 0);
    link.port.portNumber = 1;
    ResetQreProtocolState();
    check(OpenQrePort() == 1 && ConfigureQrePort() == 1);
    ResetQreProtocol();
    SetQreDestination(1);

    const uint8_t type = data[1] & 0x0F;
    link.transfer.blockType = type;
    int32_t givenUp = 0;
    switch (data[0] % 3) {
    case 0:
        givenUp = SendQreCommand14();
        break;
    case 1:
        givenUp = ReadQreBlockN(type);
        break;
    default:
        givenUp = WriteQreBlockN(type);
        break;
    }
    check(givenUp == 0 || givenUp == 1);
    check(link.protocol.awaited == 0);
    check(link.frames.rawCount >= 0 && link.frames.rawCount <= 48);
    check(link.errors.count() >= 0 && link.errors.count() <= 1024);
    // Only the block the exchange is about may have changed.
    for (size_t i = 0; i < blocks.byType.size(); ++i) {
        const auto& [blockType, block] = blocks.byType[i];
        if (blockType != type) {
            check(std::equal(before[i].begin(), before[i].end(), block));
        }
    }

    CloseQrePortHandle();
    platform::serial::detachSerialPort("COM1");
    line->setDevice(nullptr);
    FreeQreBuffers();
    return 0;
}
