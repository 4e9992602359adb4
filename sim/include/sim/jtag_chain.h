#pragma once
// The JTAG chain of the simulated USB board: one programmable logic device
// whose pins the board's loader firmware drives (VR_JTAG).
//
// The device follows IEEE 1149.1. Its TAP controller moves on the rising
// edge of TCK by TMS; on that edge a Capture state loads the selected
// register and a Shift state shifts it one bit towards TDO, TDI entering at
// the far end. On the falling edge TDO takes the register's next bit in a
// Shift state (elsewhere TDO floats and reads 1) and an Update state makes
// the shifted value take effect. Test-Logic-Reset selects IDCODE.
//
// Instruction register: 8 bits, captures kJtagIrCapture. Instructions:
//   BYPASS (0xFF, and every unknown code)  1-bit register, captures 0
//   IDCODE (0x01)                           32 bits, captures the id code
//   ERASE, PROGRAM, VERIFY                 the 20-bit ISC register: bits 0-15
//                                          data, bits 16-19 address
// Under ERASE and PROGRAM the ISC register captures the status (bit 0 ready,
// bit 1 busy); Update-DR starts the operation when the device is ready:
// ERASE sets every word to 0xFFFF, PROGRAM clears the word's bits that are 0
// in the data (flash cells: only an erase sets them again). An operation
// needs the TAP to stay in Run-Test/Idle for its minimum time on the platform
// clock, summed over its stays there; until then the device is busy and
// ignores Update-DR. Under VERIFY Update-DR takes the address and
// Capture-DR loads it with the word stored there. Test-Logic-Reset abandons
// an unfinished operation.
//
// Not thread-safe: its owner serialises the calls.

#include "platform/clock.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace sim {

// TAP states, numbered as in the XSVF format.
enum class TapState : uint8_t {
    TestLogicReset = 0,
    RunTestIdle = 1,
    SelectDr = 2,
    CaptureDr = 3,
    ShiftDr = 4,
    Exit1Dr = 5,
    PauseDr = 6,
    Exit2Dr = 7,
    UpdateDr = 8,
    SelectIr = 9,
    CaptureIr = 10,
    ShiftIr = 11,
    Exit1Ir = 12,
    PauseIr = 13,
    Exit2Ir = 14,
    UpdateIr = 15,
};

// The IEEE 1149.1 state diagram: where one TCK rising edge leads.
TapState nextTapState(TapState state, bool tms);

inline constexpr unsigned kJtagIrBits = 8;
inline constexpr uint8_t kJtagIrCapture = 0x51;
inline constexpr uint8_t kJtagBypass = 0xFF;
inline constexpr uint8_t kJtagIdcode = 0x01;
inline constexpr uint8_t kJtagErase = 0xED;
inline constexpr uint8_t kJtagProgram = 0xEA;
inline constexpr uint8_t kJtagVerify = 0xEE;
inline constexpr unsigned kJtagIdcodeBits = 32;
inline constexpr unsigned kJtagIscBits = 20;
inline constexpr uint32_t kJtagStatusReady = 0x1;
inline constexpr uint32_t kJtagStatusBusy = 0x2;

struct JtagChainConfig {
    uint32_t idcode = 0x0A5C3093;
    std::size_t words = 16; // at most 16: four address bits
    // What the device held before: an earlier design.
    std::optional<std::vector<uint16_t>> memory;
    platform::Duration eraseTime = std::chrono::milliseconds(100);
    platform::Duration programTime = std::chrono::milliseconds(1);
};

class JtagChain {
public:
    // One state the TAP entered, and when.
    struct Step {
        TapState state;
        platform::TimePoint at;
    };

    explicit JtagChain(JtagChainConfig config = {});

    void setTck(bool level);
    void setTms(bool level) { tms_ = level; }
    void setTdi(bool level) { tdi_ = level; }
    bool tdo() const { return tdo_; }

    TapState state() const { return state_; }
    uint8_t instruction() const { return instruction_; }
    bool busy() const { return pending_.has_value(); }
    const std::vector<uint16_t>& memory() const { return memory_; }
    // The states entered since the last clearTrace (the most recent 65,536).
    const std::vector<Step>& trace() const { return trace_; }
    void clearTrace() { trace_.clear(); }
    std::size_t risingEdges() const { return risingEdges_; }

private:
    struct Operation {
        uint8_t instruction = 0;
        uint32_t value = 0;
        platform::Duration needed{};
        platform::Duration done{};
    };
    unsigned drBits() const;
    uint64_t captureDr() const;
    void updateDr();
    // Counts the time of the stay in Run-Test/Idle up to now towards the
    // pending operation and finishes it once that is enough.
    void advanceOperation(platform::TimePoint now);
    void enter(TapState state, platform::TimePoint now);

    JtagChainConfig config_;
    std::vector<uint16_t> memory_;
    TapState state_ = TapState::TestLogicReset;
    bool tck_ = false;
    bool tms_ = true;
    bool tdi_ = true;
    bool tdo_ = true;
    uint8_t instruction_ = kJtagIdcode;
    uint64_t ir_ = 0; // the instruction shift register
    uint64_t dr_ = 0; // the selected data register's shift stage
    uint8_t verifyAddress_ = 0;
    std::optional<Operation> pending_;
    platform::TimePoint idleSince_{};
    std::vector<Step> trace_;
    std::size_t risingEdges_ = 0;
};

// The loader firmware's VR_JTAG (value = sub-command, index = pin or level):
// 1/2 drive pin index (0 TCK, 1 TMS, 2 TDI) high/low, 3 sets TMS to index
// and gives one clock (TCK low, then high), 4 reads TDO (one byte in, 0 or
// 1), 6 ends programming (index 0 success, 1 failure). Anything else, and a
// direction that does not fit, is refused (false).
struct JtagAnswer {
    bool ok = false;
    std::optional<uint8_t> tdo;   // the read's byte
    std::optional<bool> finished; // end of programming: true for success
};
JtagAnswer serveJtagRequest(JtagChain& chain, uint16_t value, uint16_t index, bool in);

} // namespace sim
