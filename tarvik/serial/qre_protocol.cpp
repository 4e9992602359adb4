#include "serial/qre_module.h"

#include <algorithm>
#include <chrono>

namespace tarvik {
namespace {

// Counts one more repeat of the exchange; at the limit the exchange is given
// up: -204, the line drained, nothing sent and nothing awaited. True while
// the exchange may go on.
bool countRepeat(QreProtocolState& p) {
    if (p.repeatCount < kQreRepeatLimit) {
        ++p.repeatCount;
        return true;
    }
    p.repeatCount = 0;
    PushQreError(qre::kErrComRepeatLimit);
    DrainQreInput();
    p.givenUp = 1;
    p.awaited = 0;
    p.requestedState = kQreStateIdle;
    return false;
}

// The reply is overdue: a frame begun and not finished by now is damaged (a
// corrupted header announced more than came), and the answer to the repeat
// request must find the receiver waiting for a header.
void dropPartialFrame(QreLinkModule& link) {
    if (link.frames.rawCount != 0) {
        PushQreError(qre::kErrFrameIncomplete);
    }
    ResetQreReceiver();
}

// Acts on reply flags that meet the awaited mask, in this order.
void takeReply(QreLinkModule& link) {
    QreProtocolState& p = link.protocol;
    if ((p.replyFlags & kQreReplyData) == 0) {
        p.lastReplySequence[p.destination & 0x0F] = link.receive.replySequence;
    }
    if (p.replyFlags == kQreReplyAcknowledge) {
        p.repeatCount = 0;
        ++p.sequence;
        p.awaited = 0;
        p.requestedState = kQreStateIdle;
        p.replyFlags = 0;
    }
    if (p.replyFlags == kQreReplyRepeat) {
        p.awaited = 0;
        p.requestedState = kQreStateRepeat;
        p.replyFlags = 0;
    }
    if (p.replyFlags == kQreReplyContinue) {
        p.repeatCount = 0;
        p.awaited = 0;
        p.requestedState = kQreStateNextPiece;
        p.replyFlags = 0;
    }
    if ((p.replyFlags & kQreReplyData) != 0) {
        p.awaited = 0;
        p.replyFlags = 0;
        if (StoreQreDataFrame() != 0) {
            // Ask the QRE to send it again; a QRE that never sends a good one
            // uses up the repeats.
            if (countRepeat(p)) {
                p.requestedState = qre::kRepeatRequest;
            }
            return;
        }
        QreTransferRecord& t = link.transfer;
        if (t.repeatedFrame) {
            // The piece before again. As the answer to our repeat request it
            // says our continue was lost, whose time-out counted already; as
            // the answer to a continue, the unit does not move on.
            if (!p.repeatAsked && !countRepeat(p)) {
                return;
            }
        } else {
            p.repeatCount = 0;
        }
        ++t.frameCounter;
        p.requestedState = t.frameCounter <= t.frames ? qre::kContinue : qre::kAcknowledge;
    }
    // Flags of replies 13 to 15 stay; the wait goes on until the time-out.
}

void sendCommand(QreProtocolState& p, uint16_t awaited, uint8_t code, uint8_t parameter = 0) {
    p.awaited = awaited;
    p.sendTime = GetQreClock();
    p.sendMoment = platform::now();
    p.requestedState = kQreStateIdle;
    SendQreCommandFrame(code, parameter);
}

void markSent(QreProtocolState& p, uint16_t awaited) {
    p.awaited = awaited;
    p.sendTime = GetQreClock();
    p.sendMoment = platform::now();
    p.requestedState = kQreStateIdle;
}

} // namespace

int32_t RunQreProtocolStep() {
    QreLinkModule* link = qreLink();
    if (link == nullptr) {
        return 0;
    }
    QreProtocolState& p = link->protocol;
    if (p.addressChanged == 1) {
        p.addressChanged = 0;
        QreSleep(kQreAddressSwitchWaitMs);
    }
    if (p.awaited != 0) {
        if (p.sendTime != -1 && GetQreElapsedMs(p.sendTime) >= p.replyTimeout) {
            PushQreError(qre::kErrReplyTimeout);
            p.awaited = 0;
            p.requestedState = kQreStateRepeat;
            p.replyFlags = 0;
            dropPartialFrame(*link);
        }
        if (p.staleReply && p.awaited != 0) {
            p.staleReply = false;
            if (p.repeatAsked) {
                // Our frame never reached the unit: it goes again.
                p.awaited = 0;
                p.requestedState = kQreStateResend;
            } else if (p.resent) {
                // The answer to our frame sent again: this unit does not
                // number its replies.
                p.unnumbered[p.destination & 0x0F] = true;
                p.replyFlags = p.staleFlags;
            }
        }
        if ((p.replyFlags & p.awaited) != 0) {
            takeReply(*link);
        } else {
            p.replyFlags = 0;
        }
    }
    if (p.requestedState == kQreStateIdle) {
        return 0;
    }
    if (p.awaited != 0) {
        PushQreError(qre::kErrBusy);
        return 0;
    }
    // A moment for the QRE to turn its line round before we talk.
    platform::sleepFor(platform::Duration::zero());
    const uint16_t state = p.requestedState;
    bool repeatRequest = state == qre::kRepeatRequest || state == kQreStateRepeat;
    switch (state) {
    case qre::kRepeatRequest:
    case qre::kAcknowledge:
    case 4:
    case 5:
    case 6:
    case 7:
    case 8:
    case qre::kGlobalReset:
    case qre::kStatusPoll:
        sendCommand(p, kQreAwaitAcknowledge, static_cast<uint8_t>(state));
        break;
    case qre::kContinue:
        sendCommand(p, kQreAwaitContinue, qre::kContinue);
        break;
    case kQreStateReadBlock:
        link->transfer.frameCounter = 0;
        sendCommand(p, kQreAwaitData, qre::kBlockRequest, link->transfer.blockType);
        break;
    case kQreStateWriteBlock:
        markSent(p, kQreAwaitContinue);
        link->transfer.frameCounter = 0;
        if (SendQreFirstDataFrame() != 0) {
            ResetQreProtocol();
        }
        break;
    case kQreStateRepeat:
        if (countRepeat(p)) {
            sendCommand(p, kQreAwaitAny, qre::kRepeatRequest);
        }
        break;
    case kQreStateNextPiece:
        markSent(p, kQreAwaitContinue);
        if (SendQreNextDataFrame() != 0) {
            // Nothing left to send: the continue was not for us to follow.
            p.awaited = 0;
            repeatRequest = true;
            if (countRepeat(p)) {
                sendCommand(p, kQreAwaitAny, qre::kRepeatRequest);
            }
        }
        break;
    case kQreStateResend:
        // Counted with the time-out that led to the repeat request.
        if (p.lastFrameSize != 0) {
            std::copy_n(p.lastFrame.begin(), p.lastFrameSize, link->frames.transmit.begin());
            markSent(p, p.lastFrameAwaited);
            WriteQrePort(p.lastFrameSize);
        }
        break;
    default:
        PushQreError(qre::kErrUnknownState);
        ResetQreProtocol();
        return 0;
    }
    p.repeatAsked = repeatRequest;
    p.resent = state == kQreStateResend;
    if (!repeatRequest && state != kQreStateResend && p.awaited != 0) {
        const auto& sent = link->frames.transmit;
        p.lastFrameSize = static_cast<uint8_t>(std::min(qre::frameLength(sent[2]), sent.size()));
        std::copy_n(sent.begin(), p.lastFrameSize, p.lastFrame.begin());
        p.lastFrameAwaited = p.awaited;
    }
    return 0;
}

int32_t ResetQreProtocol() {
    QreLinkModule* link = qreLink();
    if (link == nullptr) {
        return 0;
    }
    link->frames.transmit.fill(0);
    link->frames.raw.fill(0);
    QreProtocolState& p = link->protocol;
    p.ownAddress = qre::kLibraryAddress;
    p.sequence = 0;
    p.requestedState = kQreStateIdle;
    p.awaited = 0;
    p.replyFlags = 0;
    p.repeatCount = 0;
    p.sendTime = -1;
    p.lastReplySequence = QreProtocolState::unknownSequences();
    p.unnumbered = {};
    p.staleReply = false;
    p.repeatAsked = false;
    p.resent = false;
    p.lastFrameSize = 0;
    if (p.replyTimeout < 0) {
        p.replyTimeout = kQreDefaultReplyTimeoutMs;
    }
    ResetQreReceiver();
    link->transfer.typeKnown = 1;
    return 0;
}

void ResetQreProtocolState() {
    QreLinkModule* link = qreLink();
    if (link == nullptr) {
        return;
    }
    QreProtocolState& p = link->protocol;
    const int32_t timeout = p.replyTimeout;
    p = QreProtocolState{};
    p.sendTime = 0;
    p.frameCountdown = 0;
    p.replyTimeout = timeout;
}

int32_t SetQreDestination(uint8_t address) {
    if (QreLinkModule* link = qreLink(); link != nullptr && link->protocol.destination != address) {
        link->protocol.destination = address;
        link->protocol.addressChanged = 1;
    }
    return 1;
}

void SetQreReplyTimeout(int32_t milliseconds) {
    if (QreLinkModule* link = qreLink()) {
        link->protocol.replyTimeout = milliseconds;
    }
}

int32_t ClearQreGiveUp() {
    if (QreLinkModule* link = qreLink()) {
        link->protocol.givenUp = 0;
    }
    return 0;
}

platform::TimePoint QreReplyDeadline() {
    const QreLinkModule* link = qreLink();
    if (link == nullptr || link->protocol.awaited == 0 || link->protocol.sendTime == -1) {
        return platform::TimePoint::max();
    }
    const QreProtocolState& p = link->protocol;
    return p.sendMoment + std::chrono::milliseconds(std::max(p.replyTimeout, int32_t{0}));
}

} // namespace tarvik
