#pragma once
// The transfer state machine of the link: one exchange at a time between the
// library (address 0) and one QRE. An exchange sends a command, reads a data
// block or writes one; the machine sends the frame of the requested state,
// waits for the matching reply, answers data frames, repeats after a bad or
// missing reply (10 times at most) and advances the sequence byte at every
// acknowledgement.
//
// Every way an exchange can go on without progress counts against the
// repeat limit: a data frame that cannot be stored, a repeated data frame
// that answers a continue and a continue request after the last piece of a
// sent block, as well as time-outs and repeat requests; a frame sent again
// or a repeated piece in answer to our repeat request counted with the
// time-out before it. So an exchange always ends, and one lost frame costs
// one repeat.

#include "tarvik_serial_frame.h"

#include "platform/clock.h"

#include <array>
#include <cstdint>

namespace tarvik {

// Reply flags the receiver sets.
inline constexpr uint16_t kQreReplyRepeat = 0x0001;
inline constexpr uint16_t kQreReplyAcknowledge = 0x0002;
inline constexpr uint16_t kQreReplyContinue = 0x0004;
inline constexpr uint16_t kQreReplyData = 0x4000; // OR the block type

// Masks of replies that end a wait.
inline constexpr uint16_t kQreAwaitAcknowledge = 0x8003;
inline constexpr uint16_t kQreAwaitContinue = 0x8007;
inline constexpr uint16_t kQreAwaitData = 0xC003;
inline constexpr uint16_t kQreAwaitAny = 0xC007;

// Requested states besides the command codes 1..8, 13, 14.
inline constexpr uint16_t kQreStateIdle = 0;
inline constexpr uint16_t kQreStateReadBlock = 15;
inline constexpr uint16_t kQreStateWriteBlock = 16;
inline constexpr uint16_t kQreStateRepeat = 65;
inline constexpr uint16_t kQreStateResend = 66; // our last frame again
inline constexpr uint16_t kQreStateNextPiece = 67;

inline constexpr uint16_t kQreRepeatLimit = 10;
inline constexpr int32_t kQreDefaultReplyTimeoutMs = 300;
inline constexpr uint32_t kQreAddressSwitchWaitMs = 50;

struct QreProtocolState {
    uint8_t ownAddress = 0;
    uint8_t destination = 8;
    uint8_t addressChanged = 0; // the next step waits 50 ms first
    uint8_t sequence = 0;       // raised at every acknowledgement
    uint16_t requestedState = 0;
    uint16_t awaited = 0; // reply mask; 0 nothing awaited
    uint16_t replyFlags = 0;
    uint16_t repeatCount = 0;
    uint16_t givenUp = 0;
    int32_t sendTime = -1; // GetQreClock at the last send; -1 none
    int32_t frameCountdown = -1;
    int32_t replyTimeout = kQreDefaultReplyTimeoutMs;
    // The moment of the last send, so that a receive poll waits no longer
    // than the reply may take.
    platform::TimePoint sendMoment{};
    // A unit numbers its replies (byte 4). A reply that carries the number
    // of the one taken last from that unit is that reply again: answering
    // our repeat request, it says our frame never arrived, so the frame is
    // sent again; otherwise it is a late duplicate and no answer.
    // A unit whose answer to a frame sent again repeats the number does not
    // number its replies: it is not checked from then on.
    std::array<int16_t, 16> lastReplySequence = unknownSequences();
    std::array<bool, 16> unnumbered{};
    bool staleReply = false;
    uint16_t staleFlags = 0;
    bool repeatAsked = false; // the last frame sent was a repeat request
    bool resent = false;      // the last frame sent was our frame again
    std::array<uint8_t, qre::kMaxFrameSize> lastFrame{};
    uint8_t lastFrameSize = 0;
    uint16_t lastFrameAwaited = 0;

    static constexpr std::array<int16_t, 16> unknownSequences() {
        std::array<int16_t, 16> none{};
        none.fill(-1);
        return none;
    }
};

int32_t RunQreProtocolStep(); // 0
// Clears the frames and the exchange; destination, address-changed and
// given-up flags stay.
int32_t ResetQreProtocol(); // 0
// First set-up when a QRE slot is opened: destination 8.
void ResetQreProtocolState();
int32_t SetQreDestination(uint8_t address); // 1
void SetQreReplyTimeout(int32_t milliseconds);
int32_t ClearQreGiveUp(); // 0
// When an awaited reply is due at the latest (max when nothing is awaited).
platform::TimePoint QreReplyDeadline();

} // namespace tarvik
