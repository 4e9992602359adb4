#include "sim/jtag_chain.h"

#include <algorithm>

namespace sim {

namespace {

constexpr std::size_t kTraceLimit = 65536;
constexpr unsigned kAddressShift = 16;
constexpr uint32_t kAddressMask = 0xF;
constexpr uint32_t kDataMask = 0xFFFF;
constexpr uint16_t kErased = 0xFFFF;

// Pins of the loader's set-pin requests.
constexpr uint16_t kPinTck = 0;
constexpr uint16_t kPinTms = 1;
constexpr uint16_t kPinTdi = 2;

uint64_t shiftIn(uint64_t stage, bool tdi, unsigned bits) {
    return (stage >> 1) | (static_cast<uint64_t>(tdi) << (bits - 1));
}

} // namespace

TapState nextTapState(TapState state, bool tms) {
    using S = TapState;
    switch (state) {
    case S::TestLogicReset:
        return tms ? S::TestLogicReset : S::RunTestIdle;
    case S::RunTestIdle:
    case S::UpdateDr:
    case S::UpdateIr:
        return tms ? S::SelectDr : S::RunTestIdle;
    case S::SelectDr:
        return tms ? S::SelectIr : S::CaptureDr;
    case S::CaptureDr:
    case S::ShiftDr:
        return tms ? S::Exit1Dr : S::ShiftDr;
    case S::Exit2Dr:
        return tms ? S::UpdateDr : S::ShiftDr;
    case S::Exit1Dr:
        return tms ? S::UpdateDr : S::PauseDr;
    case S::PauseDr:
        return tms ? S::Exit2Dr : S::PauseDr;
    case S::SelectIr:
        return tms ? S::TestLogicReset : S::CaptureIr;
    case S::CaptureIr:
    case S::ShiftIr:
        return tms ? S::Exit1Ir : S::ShiftIr;
    case S::Exit2Ir:
        return tms ? S::UpdateIr : S::ShiftIr;
    case S::Exit1Ir:
        return tms ? S::UpdateIr : S::PauseIr;
    case S::PauseIr:
        return tms ? S::Exit2Ir : S::PauseIr;
    }
    return S::TestLogicReset;
}

JtagChain::JtagChain(JtagChainConfig config) : config_(std::move(config)) {
    config_.words = std::min<std::size_t>(config_.words, kAddressMask + 1);
    if (config_.memory) {
        memory_ = *config_.memory;
        memory_.resize(config_.words, kErased);
    } else {
        // An earlier design, so that programming without an erase shows.
        memory_.resize(config_.words);
        for (std::size_t i = 0; i < memory_.size(); ++i) {
            memory_[i] = static_cast<uint16_t>(0x5A3C ^ (i * 0x1111));
        }
    }
    trace_.push_back({state_, platform::now()});
}

unsigned JtagChain::drBits() const {
    switch (instruction_) {
    case kJtagIdcode:
        return kJtagIdcodeBits;
    case kJtagErase:
    case kJtagProgram:
    case kJtagVerify:
        return kJtagIscBits;
    default:
        return 1; // BYPASS
    }
}

uint64_t JtagChain::captureDr() const {
    switch (instruction_) {
    case kJtagIdcode:
        return config_.idcode;
    case kJtagErase:
    case kJtagProgram:
        return pending_ ? kJtagStatusBusy : kJtagStatusReady;
    case kJtagVerify: {
        const uint16_t word = verifyAddress_ < memory_.size() ? memory_[verifyAddress_] : 0;
        return static_cast<uint64_t>(verifyAddress_) << kAddressShift | word;
    }
    default:
        return 0;
    }
}

void JtagChain::updateDr() {
    switch (instruction_) {
    case kJtagErase:
    case kJtagProgram:
        if (!pending_) {
            const bool erase = instruction_ == kJtagErase;
            pending_ = Operation{instruction_,
                                 static_cast<uint32_t>(dr_),
                                 erase ? config_.eraseTime : config_.programTime,
                                 {}};
        }
        break;
    case kJtagVerify:
        verifyAddress_ = static_cast<uint8_t>((dr_ >> kAddressShift) & kAddressMask);
        break;
    default:
        break;
    }
}

void JtagChain::advanceOperation(platform::TimePoint now) {
    if (!pending_) {
        return;
    }
    if (state_ == TapState::RunTestIdle) {
        pending_->done += now - idleSince_;
        idleSince_ = now;
    }
    if (pending_->done < pending_->needed) {
        return;
    }
    if (pending_->instruction == kJtagErase) {
        std::fill(memory_.begin(), memory_.end(), kErased);
    } else {
        const uint32_t address = (pending_->value >> kAddressShift) & kAddressMask;
        if (address < memory_.size()) {
            memory_[address] &= static_cast<uint16_t>(pending_->value & kDataMask);
        }
    }
    pending_.reset();
}

void JtagChain::enter(TapState state, platform::TimePoint now) {
    state_ = state;
    if (state == TapState::TestLogicReset) {
        instruction_ = kJtagIdcode;
        pending_.reset();
    } else if (state == TapState::RunTestIdle) {
        idleSince_ = now;
    }
    if (trace_.size() >= kTraceLimit) {
        trace_.erase(trace_.begin(), trace_.begin() + kTraceLimit / 2);
    }
    trace_.push_back({state, now});
}

void JtagChain::setTck(bool level) {
    if (level == tck_) {
        return;
    }
    tck_ = level;
    const platform::TimePoint now = platform::now();
    advanceOperation(now);
    if (level) {
        ++risingEdges_;
        switch (state_) {
        case TapState::CaptureDr:
            dr_ = captureDr();
            break;
        case TapState::ShiftDr:
            dr_ = shiftIn(dr_, tdi_, drBits());
            break;
        case TapState::CaptureIr:
            ir_ = kJtagIrCapture;
            break;
        case TapState::ShiftIr:
            ir_ = shiftIn(ir_, tdi_, kJtagIrBits);
            break;
        default:
            break;
        }
        enter(nextTapState(state_, tms_), now);
        return;
    }
    switch (state_) {
    case TapState::ShiftDr:
        tdo_ = (dr_ & 1) != 0;
        break;
    case TapState::ShiftIr:
        tdo_ = (ir_ & 1) != 0;
        break;
    case TapState::UpdateDr:
        updateDr();
        tdo_ = true;
        break;
    case TapState::UpdateIr:
        instruction_ = static_cast<uint8_t>(ir_);
        tdo_ = true;
        break;
    default:
        tdo_ = true; // not driven: the pull-up
        break;
    }
}

JtagAnswer serveJtagRequest(JtagChain& chain, uint16_t value, uint16_t index, bool in) {
    JtagAnswer answer;
    if (in != (value == 4)) {
        return answer;
    }
    switch (value) {
    case 1:
    case 2: {
        const bool high = value == 1;
        if (index == kPinTck) {
            chain.setTck(high);
        } else if (index == kPinTms) {
            chain.setTms(high);
        } else if (index == kPinTdi) {
            chain.setTdi(high);
        } else {
            return answer;
        }
        break;
    }
    case 3:
        if (index > 1) {
            return answer;
        }
        chain.setTms(index == 1);
        chain.setTck(false);
        chain.setTck(true);
        break;
    case 4:
        answer.tdo = chain.tdo() ? 1 : 0;
        break;
    case 6:
        if (index > 1) {
            return answer;
        }
        answer.finished = index == 0;
        break;
    default:
        return answer;
    }
    answer.ok = true;
    return answer;
}

} // namespace sim
