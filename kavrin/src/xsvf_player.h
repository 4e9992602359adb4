#pragma once
// The XSVF player of logic-device programming: it walks the board's JTAG
// TAP controller through a programming stream bit by bit over the loader
// firmware's JTAG request. Numbers in the stream and its bit vectors are
// big-endian; a vector's bits go out from its last byte, each byte from its
// least significant bit.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kavrin {

// TAP states, numbered as in the XSVF format.
inline constexpr uint8_t TAP_TEST_LOGIC_RESET = 0;
inline constexpr uint8_t TAP_RUN_TEST_IDLE = 1;
inline constexpr uint8_t TAP_SELECT_DR = 2;
inline constexpr uint8_t TAP_CAPTURE_DR = 3;
inline constexpr uint8_t TAP_SHIFT_DR = 4;
inline constexpr uint8_t TAP_EXIT1_DR = 5;
inline constexpr uint8_t TAP_PAUSE_DR = 6;
inline constexpr uint8_t TAP_EXIT2_DR = 7;
inline constexpr uint8_t TAP_UPDATE_DR = 8;
inline constexpr uint8_t TAP_SELECT_IR = 9;
inline constexpr uint8_t TAP_CAPTURE_IR = 10;
inline constexpr uint8_t TAP_SHIFT_IR = 11;
inline constexpr uint8_t TAP_EXIT1_IR = 12;
inline constexpr uint8_t TAP_PAUSE_IR = 13;
inline constexpr uint8_t TAP_EXIT2_IR = 14;
inline constexpr uint8_t TAP_UPDATE_IR = 15;

// XSVF commands.
inline constexpr uint8_t XCOMPLETE = 0;
inline constexpr uint8_t XTDOMASK = 1;
inline constexpr uint8_t XSIR = 2;
inline constexpr uint8_t XSDR = 3;
inline constexpr uint8_t XRUNTEST = 4;
inline constexpr uint8_t XREPEAT = 7;
inline constexpr uint8_t XSDRSIZE = 8;
inline constexpr uint8_t XSDRTDO = 9;
inline constexpr uint8_t XSETSDRMASKS = 10;
inline constexpr uint8_t XSDRINC = 11;
inline constexpr uint8_t XSDRB = 12;
inline constexpr uint8_t XSDRC = 13;
inline constexpr uint8_t XSDRE = 14;
inline constexpr uint8_t XSDRTDOB = 15;
inline constexpr uint8_t XSDRTDOC = 16;
inline constexpr uint8_t XSDRTDOE = 17;
inline constexpr uint8_t XSTATE = 18;
inline constexpr uint8_t XENDIR = 19;
inline constexpr uint8_t XENDDR = 20;
inline constexpr uint8_t XSIR2 = 21;
inline constexpr uint8_t XCOMMENT = 22;
inline constexpr uint8_t XWAIT = 23;

// Player results. 7 and 8 never leave the driver: a stream that ends
// before XCOMPLETE, and a JTAG request the board did not carry out.
enum XsvfError : uint8_t {
    XSVF_ERROR_NONE = 0,
    XSVF_ERROR_STOPPED = 1, // the board was removed
    XSVF_ERROR_TDO_MISMATCH = 2,
    XSVF_ERROR_MAX_RETRIES = 3,
    XSVF_ERROR_ILLEGAL_COMMAND = 4,
    XSVF_ERROR_ILLEGAL_STATE = 5,
    XSVF_ERROR_DATA_OVERFLOW = 6,
    XSVF_ERROR_STREAM_ENDS = 7,
    XSVF_ERROR_TRANSFER = 8,
};

// VR_JTAG sub-commands (wValue) and pins (wIndex of the set-pin requests).
inline constexpr uint16_t kJtagPinHigh = 1;
inline constexpr uint16_t kJtagPinLow = 2;
inline constexpr uint16_t kJtagClockTms = 3; // wIndex the TMS level
inline constexpr uint16_t kJtagReadTdo = 4;
inline constexpr uint16_t kJtagEndProgramming = 6; // wIndex 0 success, 1 failure
inline constexpr uint16_t kJtagPinTck = 0;
inline constexpr uint16_t kJtagPinTms = 1;
inline constexpr uint16_t kJtagPinTdi = 2;

inline constexpr std::size_t kXsvfMaxVectorBytes = 700;

// The board's side of the JTAG request.
class JtagPort {
public:
    virtual ~JtagPort() = default;
    // One VR_JTAG request; tdo non-null: the TDO read, one byte in. 0, or
    // the transfer's errno value.
    virtual int request(uint16_t subCommand, uint16_t index, uint8_t* tdo) = 0;
    // The board was surprise-removed.
    virtual bool removed() const = 0;
};

// A length-prefixed bit vector.
struct XsvfVector {
    uint16_t length = 0; // bytes
    std::array<uint8_t, kXsvfMaxVectorBytes> bytes{};

    std::span<uint8_t> used() { return {bytes.data(), length}; }
    std::span<const uint8_t> used() const { return {bytes.data(), length}; }
};

struct XSVF_PLAYER_STATE {
    std::span<const uint8_t> stream;
    std::size_t position = 0;
    uint8_t tapState = TAP_TEST_LOGIC_RESET;
    uint8_t endDr = TAP_RUN_TEST_IDLE;
    uint8_t endIr = TAP_RUN_TEST_IDLE;
    uint32_t runTestUs = 0;
    uint8_t repeat = 0;
    uint32_t drBits = 0;
    uint16_t drBytes = 0;
    uint8_t lastCommand = XCOMPLETE;
    bool done = false;
    XsvfError error = XSVF_ERROR_NONE;
    bool maskSet = false; // no XTDOMASK yet: every bit counts
    XsvfVector tdi;
    XsvfVector tdoExpected;
    XsvfVector tdoCaptured;
    XsvfVector tdoMask;
    XsvfVector addressMask;
    XsvfVector dataMask;
    XsvfVector nextData; // XSDRINC's data bytes of a step
};

// Walks a stream without a board: its framing, its commands, their operands
// and sizes up to XCOMPLETE. What it refuses the player would refuse too,
// after having played the commands before: a refused stream is never played.
XsvfError CheckXsvf(XSVF_PLAYER_STATE& state, std::span<const uint8_t> stream);

// Resets the TAP, plays the stream up to XCOMPLETE, the first error or the
// board's removal, and tells the loader the end of programming (success or
// failure). The state is the player's work space (its vectors are large).
XsvfError PlayXsvf(XSVF_PLAYER_STATE& state, JtagPort& port, std::span<const uint8_t> stream);

} // namespace kavrin
