// The drivers of the I2C peripherals on arbitrary answers: a light-source
// module's identification, status and temperature bytes, and the cooled
// detector board's status nibbles. Every transfer takes one byte of the input
// that decides whether the bus acknowledges, and a read its bytes after it; an
// exhausted input fails every transfer. The waits run on a virtual clock, so a
// module that never reaches its state ends at its time limit.
#include "hardware/cooled_board.h"
#include "hardware/i2c_access.h"
#include "hardware/light_source_module.h"

#include "platform/clock.h"

#include "fuzz_check.h"

#include <cstdint>
#include <cstring>

using fuzz::check;

namespace {

const uint8_t* g_data = nullptr;
size_t g_left = 0;

bool take(uint8_t* out, size_t n) {
    if (g_left < n) {
        g_left = 0;
        return false;
    }
    if (out != nullptr) {
        std::memcpy(out, g_data, n);
    }
    g_data += n;
    g_left -= n;
    return true;
}

// The bus acknowledges unless the transfer's byte has its low nibble clear.
bool acknowledged() {
    uint8_t byte = 0;
    return take(&byte, 1) && (byte & 0x0F) != 0;
}

int32_t write1(int32_t, const uint8_t*, int32_t, uint32_t) {
    return acknowledged() ? 0 : -1;
}
int32_t read1(int32_t, uint8_t* buffer, int32_t count, uint32_t) {
    return acknowledged() && take(buffer, static_cast<size_t>(count)) ? 0 : -1;
}
int32_t writeN(int32_t, const uint8_t*, int32_t, int32_t, uint32_t) {
    return acknowledged() ? 0 : -1;
}
int32_t readN(int32_t, uint8_t* buffer, int32_t, int32_t count, uint32_t) {
    return acknowledged() && take(buffer, static_cast<size_t>(count)) ? 0 : -1;
}

uint8_t next() {
    uint8_t byte = 0;
    take(&byte, 1);
    return byte;
}

void module() {
    tarvik::CLightSourceModule m;
    m.SetInterfaceId(1);
    m.SetI2CAddress(0x40);
    const auto valid = [&](uint8_t result) {
        check(result <= tarvik::kLsNotRemote);         // a result outside the table
        check((m.GetControlByte1() & 0x1F) == 0x1F); // control outputs 0-4 not all 1
    };
    valid(m.ReadIdentification());
    check(m.GetModuleType() <= 3 || m.GetModuleType() == 255); // type beyond its two bits
    check(m.GetModuleSubtype() <= 3 || m.GetModuleSubtype() == 255);
    uint16_t status = 0;
    const uint8_t read = m.GetStatus(&status, 1);
    valid(read);
    if (read == tarvik::kLsDone) {
        check(m.IsLampModule() ? status <= 0xFF : status == 0 || status == 256);
    }
    uint8_t open = 2;
    if (m.GetShutterPosition(&open) == tarvik::kLsDone) {
        check(open <= 1); // position beyond its bit
    }
    const uint8_t mask = next();
    valid(m.PowerOn(mask, 200000));
    valid(m.PowerOff(static_cast<uint8_t>(mask >> 2), 5000));
    valid(m.OpenShutter(10000));
    valid(m.CloseShutter(1000));
    uint8_t degrees = 0;
    valid(m.ReadActualTemperature(&degrees));
    valid(m.SavePowerStatus());
    check(m.GetControlByte0() == 0xFF); // a save bit left behind
    uint16_t ms = 0;
    const uint8_t rate = m.ReadFlashRate(&ms);
    valid(rate);
    if (rate == tarvik::kLsDone) {
        check(ms >= 1 && ms <= 1000); // flash period outside the table
    }
    valid(m.SetFlashCounter(next()));
}

void cooledBoard() {
    tarvik::CZTKBoard board(1);
    const auto valid = [&] { check(board.GetLastResult() <= tarvik::kZtkCoolingError); };
    const bool opened = board.Open();
    valid();
    check(opened == board.IsInitialised()); // opened without being initialised
    uint8_t parameters[4] = {};
    take(parameters, sizeof parameters);
    const auto parA9 = static_cast<uint16_t>(parameters[0] % 4 == 0 ? 0 : parameters[1]);
    const auto parA10 = static_cast<uint16_t>(parameters[2] * 2u);
    const auto pixels = static_cast<uint16_t>(parameters[3] % 2 == 0 ? 1044 : parameters[3]);
    if (board.SetParameters(7, parA9, pixels, parA10) && board.ApplyConfiguration()) {
        check(parA9 != 0);                           // divided by a zero PAR_A9
        check(board.GetAppliedBinning() == parA9); // applied binning not the divisor
    }
    valid();
    board.SetCoolingEnable(next() % 2 == 0);
    valid();
    const uint16_t before = board.GetAppliedBinning();
    if (!board.ApplyBinningMode2()) {
        // A failed write leaves the binning as it was; a failing status after
        // the writes may follow a new one.
        check(board.GetAppliedBinning() == before || board.GetAppliedBinning() == parA10);
    }
    valid();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static platform::VirtualClock clock;
    static platform::ScopedClock scoped{clock};
    tarvik::PeripheralI2c& i2c = tarvik::peripheralI2c();
    i2c = {&write1, &read1, &writeN, &readN};
    g_data = data;
    g_left = size;
    if (next() % 2 == 0) {
        module();
    } else {
        cooledBoard();
    }
    return 0;
}
