#pragma once
// Logic-device programming (IOCTL_BOARD_PROGRAM_CPLD): the loader firmware
// drives the board's JTAG pins, and the driver plays the XSVF stream of the
// request's data area over them. Service tools send it; the library does not.

#include "device_extension.h"
#include "request_block.h"
#include "xsvf_player.h"

#include "platform/driver.h"

#include <cstdint>

namespace kavrin {

// The least a request must carry: DataLength words, and bytes in all.
inline constexpr uint32_t kCpldMinDataWords = 5000;
inline constexpr std::size_t kCpldMinInputBytes = 38600;
// The loader's time to come up before the first JTAG request.
inline constexpr uint32_t kLoaderSettleMs = 1000;

// The loader's JTAG request (VR_JTAG) as the player's port.
class BoardJtagPort final : public JtagPort {
public:
    explicit BoardJtagPort(DEVICE_EXTENSION& device) : device_(device) {}
    int request(uint16_t subCommand, uint16_t index, uint8_t* tdo) override;
    bool removed() const override;

private:
    DEVICE_EXTENSION& device_;
};

// Status 171 for a request too small to carry a stream, else ProgramCpld.
platform::DriverStatus HandleProgramCpld(DEVICE_EXTENSION& device, RequestBlock& block);
// Plays the stream of the data area (at most DataLength words, at most what
// the request carries): Status 0 after XCOMPLETE, 172 when the stream is
// refused or the play fails, 1 or 141 when the loader could not be loaded,
// 171 without memory for the player. The board then runs the loader: the
// next INIT sends its block and the operating firmware again.
void ProgramCpld(DEVICE_EXTENSION& device, RequestBlock& block);

} // namespace kavrin
