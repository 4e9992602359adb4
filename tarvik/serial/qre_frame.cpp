#include "serial/qre_module.h"

#include <algorithm>
#include <cstring>
#include <span>

namespace tarvik {
namespace {

constexpr int32_t kFrameCountdownPolls = 200;
constexpr int64_t kQuietMarginMs = 2;

// The reply flag of a reply code; 0 for codes that set none.
uint16_t replyFlag(uint8_t code) {
    switch (code) {
    case 1:
        return kQreReplyRepeat;
    case 2:
        return kQreReplyAcknowledge;
    case 3:
        return kQreReplyContinue;
    case 4:
        return 0x0008;
    case 5:
        return 0x0010;
    case 6:
        return 0x0020;
    case 13:
        return 0x8010;
    case 14:
        return 0x8020;
    case 15:
        return 0x8040;
    default:
        return 0;
    }
}

int32_t pushed(int32_t code) {
    PushQreError(code);
    return code;
}

// How long a line must stay silent to count as quiet: the rest of the
// longest frame would have arrived by then. (Not the port's read time-out:
// on a noisy line every bad frame would cost two of them.)
platform::Duration quietInterval(const QrePortSettings& port) {
    platform::serial::LineSettings line;
    line.baudRate = port.baudRate;
    line.dataBits = port.byteSize;
    line.parity = static_cast<platform::serial::Parity>(port.parity);
    line.stopBits = static_cast<platform::serial::StopBits>(port.stopBits);
    return platform::serial::characterTime(line) * static_cast<int64_t>(qre::kMaxFrameSize) +
           std::chrono::milliseconds(kQuietMarginMs);
}

// A frame that failed its checks: what follows it on the line is noise.
void discardFrame() {
    DrainQreInput();
    ResetQreReceiver();
    PurgeQreReceive();
}

void sendDataFrame(QreLinkModule& link, uint8_t indexByte, bool first, std::size_t piece) {
    const QreProtocolState& p = link.protocol;
    QreTransferRecord& t = link.transfer;
    const qre::DataFrame frame = qre::dataFrame(p.destination, p.ownAddress, t.blockType, indexByte,
                                                first, std::span<const uint8_t>(t.source, piece));
    std::copy(frame.begin(), frame.end(), link.frames.transmit.begin());
    t.source += piece;
    WriteQrePort(qre::kDataFrameSize);
}

} // namespace

int32_t SendQreCommandFrame(uint8_t code, uint8_t parameter) {
    QreLinkModule* link = qreLink();
    if (link == nullptr) {
        return 0;
    }
    const QreProtocolState& p = link->protocol;
    const qre::CommandFrame frame =
        qre::commandFrame(p.destination, p.ownAddress, code, parameter, p.sequence);
    link->frames.transmit.fill(0);
    std::copy(frame.begin(), frame.end(), link->frames.transmit.begin());
    WriteQrePort(qre::kCommandFrameSize);
    return 0;
}

int32_t SendQreFirstDataFrame() {
    QreLinkModule* link = qreLink();
    if (link == nullptr) {
        return 0;
    }
    QreTransferRecord& t = link->transfer;
    t.frameCounter = 0;
    t.blockType = link->receive.sendBlockType;
    t.target = link->frames.transmit.data() + qre::kPayloadOffset;
    QreBlockStorage block;
    LookupQreBlock(t.blockType, &block);
    if (block.size == 0 || block.size > qre::kMaxBlockSize) {
        return pushed(qre::kErrBlockToSend);
    }
    const uint16_t whole = block.size / qre::kPayloadSize;
    uint16_t remainder = static_cast<uint16_t>(block.size - whole * qre::kPayloadSize);
    t.frames = remainder != 0 ? whole + 1 : whole;
    if (remainder == 0) {
        remainder = qre::kPayloadSize;
    }
    t.lastFrameBytes = remainder;
    t.source = block.data;
    sendDataFrame(*link, static_cast<uint8_t>(t.frames - 1), true,
                  t.frames > 1 ? qre::kPayloadSize : remainder);
    return 0;
}

int32_t SendQreNextDataFrame() {
    QreLinkModule* link = qreLink();
    if (link == nullptr) {
        return 0;
    }
    QreTransferRecord& t = link->transfer;
    // A continue request after the last piece would read past the block.
    if (t.source == nullptr || t.frameCounter + 1 >= t.frames) {
        return pushed(qre::kErrFrameOrder);
    }
    ++t.frameCounter;
    const std::size_t piece =
        t.frameCounter + 1 == t.frames ? t.lastFrameBytes : std::size_t{qre::kPayloadSize};
    sendDataFrame(*link, static_cast<uint8_t>(t.frameCounter), false, piece);
    return 0;
}

void ReceiveQreFrame() {
    QreLinkModule* link = qreLink();
    if (link == nullptr) {
        return;
    }
    QreFrameBuffers& f = link->frames;
    QreReceiveRecord& r = link->receive;
    QreProtocolState& p = link->protocol;
    if (f.rawCount < 0 || f.rawCount + r.bytesToRead > static_cast<int>(qre::kMaxFrameSize)) {
        ResetQreReceiver();
        return;
    }
    const int32_t n = ReadQrePort(f.raw.data() + f.rawCount, QreReplyDeadline());
    if (n <= 0) {
        if (p.frameCountdown > 0 && --p.frameCountdown == 0) {
            PushQreError(qre::kErrFrameIncomplete);
            discardFrame();
        }
        return;
    }
    p.frameCountdown = kFrameCountdownPolls;
    f.rawCount = static_cast<int16_t>(f.rawCount + n);
    // A short read keeps what it brought; the next poll asks for the rest.
    r.bytesToRead = static_cast<uint16_t>(r.bytesToRead - std::min<int32_t>(n, r.bytesToRead));
    if (r.bytesToRead != 0) {
        return;
    }
    if (f.rawCount == static_cast<int16_t>(qre::kHeaderSize)) {
        std::copy_n(f.raw.begin(), qre::kHeaderSize, f.received.begin());
        bool good = CheckQreFrameHeader(f.received.data()) == 0;
        if (good && qre::frameLength(f.received[2]) > qre::kMaxFrameSize) {
            PushQreError(qre::kErrDataLength);
            good = false;
        }
        if (!good) {
            discardFrame();
            return;
        }
        ParseQreFrameHeader(f.received.data());
        return;
    }
    if (f.rawCount != static_cast<int16_t>(r.expectedLength)) {
        return;
    }
    const std::size_t length = r.expectedLength;
    std::copy_n(f.raw.begin(), length, f.received.begin());
    if (CheckQreChecksum(f.received.data(), length) != 0) {
        discardFrame();
        return;
    }
    ResetQreReceiver();
    PurgeQreReceive();
    // Only the unit being served answers; a frame from any other (or for
    // another station) is not this exchange's reply.
    if (r.destination != p.ownAddress || r.source != p.destination) {
        return;
    }
    if (r.kind == qre::kCommandKind) {
        if (!p.unnumbered[r.source] && p.lastReplySequence[r.source] == r.replySequence) {
            p.staleReply = true;
            p.staleFlags = replyFlag(r.replyCode);
            return;
        }
        if (const uint16_t flag = replyFlag(r.replyCode); flag != 0) {
            p.replyFlags = flag;
        }
    } else {
        p.replyFlags = static_cast<uint16_t>(r.kind | kQreReplyData);
    }
}

int32_t StoreQreDataFrame() {
    QreLinkModule* link = qreLink();
    if (link == nullptr) {
        return 0;
    }
    const uint8_t* f = link->frames.received.data();
    QreTransferRecord& t = link->transfer;
    t.repeatedFrame = false;
    if ((f[2] & 0x0F) * 4u != qre::kPayloadSize) {
        return pushed(qre::kErrDataLength);
    }
    const uint8_t type = f[2] >> 4;
    if (t.typeKnown == 0) {
        t.typeKnown = 1;
        t.blockType = type;
    } else if (type != t.blockType) {
        return pushed(qre::kErrDataType);
    }
    const bool first = (f[4] & qre::kFirstFrameFlag) != 0;
    if (t.frameCounter == 1 && first && f[3] == t.frames) {
        // The first piece again: the continue that answered it got lost.
        t.frameCounter = 0;
        t.repeatedFrame = true;
    } else if (t.frameCounter == 0) {
        if (!first) {
            return pushed(qre::kErrFirstFlag);
        }
        QreBlockStorage block;
        if (LookupQreBlock(type, &block) != 0) {
            return pushed(qre::kErrNoStorage);
        }
        if (f[3] + 1u > qre::framesOf(block.size)) {
            return pushed(qre::kErrFrameOrder);
        }
        t.frames = f[3];
        t.target = block.data;
    } else {
        if (first) {
            return pushed(qre::kErrFirstFlag);
        }
        const auto expected = static_cast<uint8_t>(t.frameCounter);
        const auto before = static_cast<uint8_t>(t.frameCounter - 1);
        if (f[3] != expected && f[3] != before) {
            return pushed(qre::kErrFrameOrder);
        }
        if (f[3] == before) {
            // A repeat of the piece before: stored again in its place.
            --t.frameCounter;
            t.repeatedFrame = true;
        }
        if (t.frameCounter > t.frames) {
            return pushed(qre::kErrFrameOrder);
        }
    }
    t.source = f + qre::kPayloadOffset;
    const std::size_t used = (f[4] & 0x7Fu) + 1;
    const std::size_t offset = std::size_t{qre::kPayloadSize} * t.frameCounter;
    if (used > qre::kPayloadSize || t.target == nullptr || offset + used > t.blockSize) {
        return pushed(qre::kErrPayloadUsed);
    }
    std::memcpy(t.target + offset, t.source, used);
    return 0;
}

int32_t CheckQreFrameHeader(const uint8_t* frame) {
    if (!qre::nibblesEqual(frame[0])) {
        return pushed(qre::kErrDestinationNibbles);
    }
    if (!qre::nibblesEqual(frame[1])) {
        return pushed(qre::kErrSourceNibbles);
    }
    return 0;
}

void ParseQreFrameHeader(const uint8_t* frame) {
    QreLinkModule* link = qreLink();
    if (link == nullptr) {
        return;
    }
    QreReceiveRecord& r = link->receive;
    r.destination = frame[0] & 0x0F;
    r.source = frame[1] & 0x0F;
    r.kind = frame[2] >> 4;
    const uint8_t nibble = frame[2] & 0x0F;
    r.payloadLength = static_cast<uint8_t>(nibble * 4);
    if (r.kind == qre::kCommandKind) {
        r.replyCode = frame[3] & 0x0F;
        r.replyParameter = frame[3] >> 4;
        r.replySequence = frame[4];
        r.expectedLength = qre::kCommandFrameSize;
        r.bytesToRead = qre::kCommandFrameSize - qre::kHeaderSize;
    } else {
        r.expectedLength = static_cast<uint16_t>(nibble * 4 + 8);
        r.bytesToRead = static_cast<uint16_t>(nibble * 4 + 3);
    }
}

void AppendQreChecksum(uint8_t* frame, std::size_t n) {
    qre::appendChecks(frame, n);
}

int32_t CheckQreChecksum(const uint8_t* frame, std::size_t length) {
    switch (qre::verifyChecks(frame, length)) {
    case qre::ChecksResult::BadXor:
        return pushed(qre::kErrXor);
    case qre::ChecksResult::BadSum:
        return pushed(qre::kErrSum);
    case qre::ChecksResult::Good:
        break;
    }
    return 0;
}

int32_t LookupQreBlock(uint8_t type, QreBlockStorage* out) {
    QreLinkModule* link = qreLink();
    uint8_t* data = nullptr;
    if (link != nullptr) {
        QreCurrentBlocks& c = link->current;
        switch (type) {
        case 1:
        case 2:
        case 3:
        case 4:
            data = c.spectrum[type - 1u];
            break;
        case qre::kListBlock:
            data = c.list;
            break;
        case qre::kParameterBlock:
            data = c.parameter;
            break;
        case 7:
        case 8:
            data = c.wide[type - 5u];
            break;
        case qre::kSettingsBlock:
            data = c.settings;
            break;
        case qre::kVersionBlock:
            data = c.version;
            break;
        case qre::kTransferBlock:
            data = link->i2cTransfer.data();
            break;
        case qre::kConfigurationBlock:
            data = link->configuration.data();
            break;
        default:
            break;
        }
    }
    const auto size = static_cast<uint16_t>(data != nullptr ? qre::blockSize(type) : 0);
    if (link != nullptr) {
        link->transfer.blockSize = size;
    }
    if (out != nullptr) {
        *out = QreBlockStorage{data, size};
    }
    return size == 0 ? -1 : 0;
}

void DrainQreInput() {
    QreLinkModule* link = qreLink();
    if (link == nullptr) {
        return;
    }
    PurgeQreReceive();
    platform::Clock& clock = platform::clock();
    const platform::TimePoint start = clock.now();
    const platform::TimePoint limit = start + std::chrono::milliseconds(kQreDrainLimitMs);
    const platform::Duration quiet = quietInterval(link->port);
    // Reads into its own buffer, whatever the receiver still expects: after
    // a whole header or frame it expects nothing, yet the line goes on.
    auto readSome = [&] {
        std::array<uint8_t, qre::kMaxFrameSize> scratch{};
        std::size_t got = 0;
        const platform::TimePoint until = std::min(limit, clock.now() + quiet);
        if (!link->portHandle || link->portHandle->read(scratch, got, until) != 0) {
            return false;
        }
        return got > 0;
    };
    // A line that never falls quiet ends the drain at its limit.
    for (bool quiet = false; !quiet && clock.now() < limit;) {
        while (readSome() && clock.now() < limit) {
        }
        if (const auto since = clock.now() - start; since < std::chrono::milliseconds(1)) {
            clock.sleepFor(std::chrono::milliseconds(1) - since);
        }
        quiet = !readSome();
    }
    PurgeQreReceive();
    // Whatever the receiver held is gone with the line's bytes: the next
    // frame starts at its header.
    ResetQreReceiver();
    link->transfer.typeKnown = 1;
}

void ResetQreReceiver() {
    QreLinkModule* link = qreLink();
    if (link == nullptr) {
        return;
    }
    link->frames.rawCount = 0;
    link->receive.expectedLength = qre::kMaxFrameSize;
    link->receive.bytesToRead = qre::kHeaderSize;
    link->protocol.frameCountdown = -1;
}

} // namespace tarvik
