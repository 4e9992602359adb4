#include "xsvf_player.h"

#include "platform/clock.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>

namespace kavrin {

namespace {

// Long waits are cut into slices, so that a removal ends them.
constexpr platform::Duration kWaitSlice = std::chrono::milliseconds(100);
// More steps than any walk of the TAP diagram takes.
constexpr int kMaxTapSteps = 16;
constexpr int kResetPulses = 5;

bool isDrState(uint8_t state) {
    return state >= TAP_SELECT_DR && state <= TAP_UPDATE_DR;
}

// One step of the walk towards target: the TMS level and the state it leads to.
struct TapStep {
    bool tms;
    uint8_t next;
};

TapStep stepTowards(uint8_t state, uint8_t target) {
    const auto towards = [&](uint8_t wanted, uint8_t otherwise) {
        return target == wanted ? TapStep{false, wanted} : TapStep{true, otherwise};
    };
    switch (state) {
    case TAP_TEST_LOGIC_RESET:
        return {false, TAP_RUN_TEST_IDLE};
    case TAP_RUN_TEST_IDLE:
        return {true, TAP_SELECT_DR};
    case TAP_SELECT_DR:
        return isDrState(target) ? TapStep{false, TAP_CAPTURE_DR} : TapStep{true, TAP_SELECT_IR};
    case TAP_CAPTURE_DR:
        return towards(TAP_SHIFT_DR, TAP_EXIT1_DR);
    case TAP_EXIT2_DR:
        return towards(TAP_SHIFT_DR, TAP_UPDATE_DR);
    case TAP_SHIFT_DR:
        return {true, TAP_EXIT1_DR};
    case TAP_EXIT1_DR:
        return towards(TAP_PAUSE_DR, TAP_UPDATE_DR);
    case TAP_PAUSE_DR:
        return {true, TAP_EXIT2_DR};
    case TAP_SELECT_IR:
        return {false, TAP_CAPTURE_IR};
    case TAP_CAPTURE_IR:
        return towards(TAP_SHIFT_IR, TAP_EXIT1_IR);
    case TAP_EXIT2_IR:
        return towards(TAP_SHIFT_IR, TAP_UPDATE_IR);
    case TAP_SHIFT_IR:
        return {true, TAP_EXIT1_IR};
    case TAP_EXIT1_IR:
        return towards(TAP_PAUSE_IR, TAP_UPDATE_IR);
    case TAP_PAUSE_IR:
        return {true, TAP_EXIT2_IR};
    default: // Update-DR, Update-IR
        return towards(TAP_RUN_TEST_IDLE, TAP_SELECT_DR);
    }
}

bool bitOf(std::span<const uint8_t> vector, std::size_t i) {
    return (vector[vector.size() - 1 - i / 8] >> (i % 8) & 1) != 0;
}

void setBit(std::span<uint8_t> vector, std::size_t i, bool level) {
    uint8_t& byte = vector[vector.size() - 1 - i / 8];
    const auto bit = static_cast<uint8_t>(1u << (i % 8));
    byte = level ? static_cast<uint8_t>(byte | bit) : static_cast<uint8_t>(byte & ~bit);
}

// Byte k counted from the least significant end; 0 past the vector's start.
uint8_t fromEnd(std::span<const uint8_t> vector, std::size_t k) {
    return k < vector.size() ? vector[vector.size() - 1 - k] : 0;
}

class Player {
public:
    Player(XSVF_PLAYER_STATE& state, JtagPort* port) : s_(state), port_(port) {}

    XsvfError run(std::span<const uint8_t> stream) {
        s_ = XSVF_PLAYER_STATE{};
        s_.stream = stream;
        if (resetTap()) {
            while (!s_.done && s_.error == XSVF_ERROR_NONE) {
                if (playing() && port_->removed()) {
                    fail(XSVF_ERROR_STOPPED);
                    break;
                }
                uint8_t command = 0;
                if (!readByte(command)) {
                    break;
                }
                s_.lastCommand = command;
                execute(command);
            }
        }
        return s_.error;
    }

    // Tells the loader the end of programming; a success it did not take
    // is none.
    void finish() { send(kJtagEndProgramming, s_.error == XSVF_ERROR_NONE ? 0 : 1); }

private:
    bool playing() const { return port_ != nullptr; }

    bool fail(XsvfError error) {
        if (s_.error == XSVF_ERROR_NONE) {
            s_.error = error;
        }
        return false;
    }

    // --- the stream, never read past its end

    bool readBytes(std::span<uint8_t> out) {
        if (s_.stream.size() - s_.position < out.size()) {
            return fail(XSVF_ERROR_STREAM_ENDS);
        }
        std::copy_n(s_.stream.begin() + static_cast<std::ptrdiff_t>(s_.position), out.size(),
                    out.begin());
        s_.position += out.size();
        return true;
    }
    bool readByte(uint8_t& value) { return readBytes({&value, 1}); }
    template <class T> bool readNumber(std::size_t bytes, T& value) {
        uint8_t raw[4] = {};
        if (!readBytes({raw, bytes})) {
            return false;
        }
        uint32_t number = 0;
        for (std::size_t i = 0; i < bytes; ++i) {
            number = number << 8 | raw[i];
        }
        value = static_cast<T>(number);
        return true;
    }
    bool readVector(XsvfVector& vector, std::size_t bytes) {
        if (bytes > kXsvfMaxVectorBytes) {
            return fail(XSVF_ERROR_DATA_OVERFLOW);
        }
        vector.length = static_cast<uint16_t>(bytes);
        return readBytes(vector.used());
    }
    bool skipComment() {
        const auto rest = s_.stream.subspan(s_.position);
        const auto end = std::find(rest.begin(), rest.end(), uint8_t{0});
        if (end == rest.end()) {
            s_.position = s_.stream.size();
            return fail(XSVF_ERROR_STREAM_ENDS);
        }
        s_.position += static_cast<std::size_t>(end - rest.begin()) + 1;
        return true;
    }

    // --- the pins

    bool send(uint16_t subCommand, uint16_t index, uint8_t* tdo = nullptr) {
        if (!playing()) {
            return true;
        }
        if (port_->removed()) {
            return fail(XSVF_ERROR_STOPPED);
        }
        const int status = port_->request(subCommand, index, tdo);
        if (status != 0) {
            // A request the board did not carry out is never taken as done.
            return fail(status == ENODEV || port_->removed() ? XSVF_ERROR_STOPPED
                                                             : XSVF_ERROR_TRANSFER);
        }
        return true;
    }
    bool setPin(uint16_t pin, bool high) { return send(high ? kJtagPinHigh : kJtagPinLow, pin); }
    bool clock(bool tms) { return send(kJtagClockTms, tms ? 1 : 0); }

    bool resetTap() {
        if (!clock(true)) {
            return false;
        }
        for (int i = 0; i < kResetPulses; ++i) {
            if (!setPin(kJtagPinTck, false) || !setPin(kJtagPinTck, true)) {
                return false;
            }
        }
        s_.tapState = TAP_TEST_LOGIC_RESET;
        return true;
    }

    bool moveTapState(uint8_t target) {
        if (target > TAP_UPDATE_IR) {
            return fail(XSVF_ERROR_ILLEGAL_STATE);
        }
        if (target == TAP_TEST_LOGIC_RESET) {
            return resetTap();
        }
        if ((target == TAP_EXIT2_DR && s_.tapState != TAP_PAUSE_DR) ||
            (target == TAP_EXIT2_IR && s_.tapState != TAP_PAUSE_IR)) {
            return fail(XSVF_ERROR_ILLEGAL_STATE);
        }
        if (s_.tapState == target && (target == TAP_PAUSE_DR || target == TAP_PAUSE_IR)) {
            // Round once through Exit2 and back.
            if (!clock(true)) {
                return false;
            }
            s_.tapState = static_cast<uint8_t>(target + 1);
        }
        for (int steps = 0; s_.tapState != target; ++steps) {
            if (steps == kMaxTapSteps) {
                return fail(XSVF_ERROR_ILLEGAL_STATE);
            }
            const TapStep step = stepTowards(s_.tapState, target);
            if (!clock(step.tms)) {
                return false;
            }
            s_.tapState = step.next;
        }
        return true;
    }

    bool wait(uint32_t microseconds) {
        if (!playing()) {
            return true;
        }
        platform::Duration rest = std::chrono::microseconds(microseconds);
        while (rest > platform::Duration::zero()) {
            if (port_->removed()) {
                return fail(XSVF_ERROR_STOPPED);
            }
            const platform::Duration slice = std::min(rest, kWaitSlice);
            if (!platform::sleepFor(slice)) {
                return fail(XSVF_ERROR_STOPPED);
            }
            rest -= slice;
        }
        return true;
    }

    bool waitInRunTestIdle(uint32_t microseconds) {
        return moveTapState(TAP_RUN_TEST_IDLE) && wait(microseconds);
    }

    // --- shifting

    bool shift(uint32_t bits, const XsvfVector& tdi, XsvfVector* captured, bool exitOnLast) {
        if (bits > 8u * tdi.length) {
            return fail(XSVF_ERROR_DATA_OVERFLOW);
        }
        if (captured != nullptr) {
            captured->length = tdi.length;
            std::fill_n(captured->bytes.begin(), captured->length, uint8_t{0});
        }
        if (!playing()) {
            return true;
        }
        for (uint32_t i = 0; i < bits; ++i) {
            if (i + 1 == bits && exitOnLast && !setPin(kJtagPinTms, true)) {
                return false;
            }
            if (!setPin(kJtagPinTdi, bitOf(tdi.used(), i)) || !setPin(kJtagPinTck, false)) {
                return false;
            }
            if (captured != nullptr) {
                uint8_t tdo = 0;
                if (!send(kJtagReadTdo, 0, &tdo)) {
                    return false;
                }
                setBit(captured->used(), i, (tdo & 1) != 0);
            }
            if (!setPin(kJtagPinTck, true)) {
                return false;
            }
        }
        return true;
    }

    // (captured AND mask) against (expected AND mask) over the expected
    // vector's bytes; no mask compares every bit.
    static bool matches(const XsvfVector& captured, const XsvfVector& expected,
                        const XsvfVector* mask) {
        for (std::size_t k = 0; k < expected.length; ++k) {
            const uint8_t m = mask != nullptr ? fromEnd(mask->used(), k) : 0xFF;
            if (((fromEnd(captured.used(), k) ^ fromEnd(expected.used(), k)) & m) != 0) {
                return false;
            }
        }
        return true;
    }

    bool shiftAndCompare(uint8_t start, uint32_t bits, const XsvfVector& tdi,
                         const XsvfVector* expected, const XsvfVector* mask, uint8_t end,
                         uint32_t runTest, uint8_t maxRepeat) {
        if (bits == 0) {
            return runTest == 0 || waitInRunTestIdle(runTest);
        }
        const bool exiting = start != end;
        for (unsigned attempt = 0;; ++attempt) {
            if (!moveTapState(start)) {
                return false;
            }
            if (!shift(bits, tdi, expected != nullptr ? &s_.tdoCaptured : nullptr, exiting)) {
                return false;
            }
            if (exiting) {
                s_.tapState = start == TAP_SHIFT_DR ? TAP_EXIT1_DR : TAP_EXIT1_IR;
            }
            const bool mismatch =
                playing() && expected != nullptr && !matches(s_.tdoCaptured, *expected, mask);
            const bool retry = mismatch && runTest != 0 && attempt < maxRepeat;
            const bool moved = retry ? moveTapState(TAP_PAUSE_DR) && moveTapState(TAP_SHIFT_DR)
                                     : moveTapState(end);
            if (!moved || (runTest != 0 && !waitInRunTestIdle(runTest))) {
                return false;
            }
            if (!mismatch) {
                return true;
            }
            if (!retry) {
                return fail(attempt > 0 ? XSVF_ERROR_MAX_RETRIES : XSVF_ERROR_TDO_MISMATCH);
            }
        }
    }

    const XsvfVector* storedMask() const { return s_.maskSet ? &s_.tdoMask : nullptr; }

    bool shiftDr(const XsvfVector* expected, const XsvfVector* mask, uint8_t end,
                 bool withRunTest) {
        return shiftAndCompare(TAP_SHIFT_DR, s_.drBits, s_.tdi, expected, mask, end,
                               withRunTest ? s_.runTestUs : 0, withRunTest ? s_.repeat : 0);
    }

    bool shiftIr(uint32_t bits) {
        return readVector(s_.tdi, (static_cast<std::size_t>(bits) + 7) / 8) &&
               shiftAndCompare(TAP_SHIFT_IR, bits, s_.tdi, nullptr, nullptr, s_.endIr, s_.runTestUs,
                               0);
    }

    // XSDRINC: the first shift, then per step the address mask added to TDI
    // and the step's data bits put where the data mask has ones.
    bool shiftIncrementing() {
        uint8_t steps = 0;
        if (!readVector(s_.tdi, s_.drBytes) ||
            !shiftDr(&s_.tdoExpected, storedMask(), s_.endDr, true) || !readByte(steps)) {
            return false;
        }
        std::size_t dataBits = 0;
        for (uint8_t byte : s_.dataMask.used()) {
            dataBits += static_cast<std::size_t>(std::popcount(byte));
        }
        for (unsigned step = 0; step < steps; ++step) {
            if (!readVector(s_.nextData, (dataBits + 7) / 8)) {
                return false;
            }
            const std::span<uint8_t> tdi = s_.tdi.used();
            unsigned carry = 0;
            for (std::size_t k = 0; k < tdi.size(); ++k) {
                const unsigned sum = fromEnd(tdi, k) + fromEnd(s_.addressMask.used(), k) + carry;
                tdi[tdi.size() - 1 - k] = static_cast<uint8_t>(sum);
                carry = sum >> 8;
            }
            const std::span<const uint8_t> mask = s_.dataMask.used();
            std::size_t next = 0;
            for (std::size_t i = 0; i < 8 * mask.size() && i < 8 * tdi.size(); ++i) {
                if (bitOf(mask, i)) {
                    setBit(tdi, i, bitOf(s_.nextData.used(), next++));
                }
            }
            if (!shiftDr(&s_.tdoExpected, storedMask(), s_.endDr, true)) {
                return false;
            }
        }
        return true;
    }

    bool endState(uint8_t& endState, uint8_t pause) {
        uint8_t value = 0;
        if (!readByte(value)) {
            return false;
        }
        if (value > 1) {
            return fail(XSVF_ERROR_ILLEGAL_STATE);
        }
        endState = value == 0 ? TAP_RUN_TEST_IDLE : pause;
        return true;
    }

    bool execute(uint8_t command) {
        switch (command) {
        case XCOMPLETE:
            s_.done = true;
            return true;
        case XTDOMASK:
            s_.maskSet = true;
            return readVector(s_.tdoMask, s_.drBytes);
        case XSIR: {
            uint32_t bits = 0;
            return readNumber(1, bits) && shiftIr(bits);
        }
        case XSIR2: {
            uint32_t bits = 0;
            return readNumber(2, bits) && shiftIr(bits);
        }
        case XSDR:
            return readVector(s_.tdi, s_.drBytes) &&
                   shiftDr(&s_.tdoExpected, storedMask(), s_.endDr, true);
        case XRUNTEST:
            return readNumber(4, s_.runTestUs);
        case XREPEAT:
            return readNumber(1, s_.repeat);
        case XSDRSIZE: {
            uint32_t bits = 0;
            if (!readNumber(4, bits)) {
                return false;
            }
            const uint64_t bytes = (static_cast<uint64_t>(bits) + 7) / 8;
            if (bytes > kXsvfMaxVectorBytes) {
                return fail(XSVF_ERROR_DATA_OVERFLOW);
            }
            s_.drBits = bits;
            s_.drBytes = static_cast<uint16_t>(bytes);
            return true;
        }
        case XSDRTDO:
            return readVector(s_.tdi, s_.drBytes) && readVector(s_.tdoExpected, s_.drBytes) &&
                   shiftDr(&s_.tdoExpected, storedMask(), s_.endDr, true);
        case XSETSDRMASKS:
            return readVector(s_.addressMask, s_.drBytes) && readVector(s_.dataMask, s_.drBytes);
        case XSDRINC:
            return shiftIncrementing();
        case XSDRB:
        case XSDRC:
        case XSDRE:
            return readVector(s_.tdi, s_.drBytes) &&
                   shiftDr(nullptr, nullptr, command == XSDRE ? s_.endDr : TAP_SHIFT_DR, false);
        case XSDRTDOB:
        case XSDRTDOC:
        case XSDRTDOE:
            // These carry their whole expected value: every bit counts.
            return readVector(s_.tdi, s_.drBytes) && readVector(s_.tdoExpected, s_.drBytes) &&
                   shiftDr(&s_.tdoExpected, nullptr, command == XSDRTDOE ? s_.endDr : TAP_SHIFT_DR,
                           false);
        case XSTATE: {
            uint8_t state = 0;
            return readByte(state) && moveTapState(state);
        }
        case XENDIR:
            return endState(s_.endIr, TAP_PAUSE_IR);
        case XENDDR:
            return endState(s_.endDr, TAP_PAUSE_DR);
        case XCOMMENT:
            return skipComment();
        case XWAIT: {
            uint8_t waitState = 0;
            uint8_t endState = 0;
            uint32_t microseconds = 0;
            if (!readByte(waitState) || !readByte(endState) || !readNumber(4, microseconds)) {
                return false;
            }
            return (s_.tapState == waitState || moveTapState(waitState)) && wait(microseconds) &&
                   (s_.tapState == endState || moveTapState(endState));
        }
        default:
            return fail(XSVF_ERROR_ILLEGAL_COMMAND);
        }
    }

    XSVF_PLAYER_STATE& s_;
    JtagPort* port_;
};

} // namespace

XsvfError CheckXsvf(XSVF_PLAYER_STATE& state, std::span<const uint8_t> stream) {
    return Player(state, nullptr).run(stream);
}

XsvfError PlayXsvf(XSVF_PLAYER_STATE& state, JtagPort& port, std::span<const uint8_t> stream) {
    Player player(state, &port);
    player.run(stream);
    player.finish();
    return state.error;
}

} // namespace kavrin
