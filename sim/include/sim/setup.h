#pragma once
// The simulation set-up file: an ini file named by VELDON_SIMULATION that says
// which simulated devices exist. Without the variable, or without the file,
// none exists. One section per device:
//
//   [board <name>]     a simulated board (keys and defaults: BoardConfig)
//   [serial <name>]    simulated serial electronics on a COM port
//                      (keys and defaults: SerialUnitConfig)
//   [serial_mux <name>] a simulated serial multiplexer on a COM port
//                      (keys and defaults: SerialMuxConfig)
//
// Every key has a default that gives a consistent board with one channel.
// Integers are decimal or "0x" hexadecimal, numbers are read in the C locale,
// and a value must be the number and nothing else ("6x" is refused).
//
// A bad value skips its whole board (a board that is not what was written
// must not appear); an unknown key or section is ignored. Both are reported
// with the file, the section and the key: parsing only collects the texts,
// reportSetupProblems writes them to standard error and the event log.

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

inline constexpr const char* kSimulationVariable = "VELDON_SIMULATION";

// Bounds of the outside input.
inline constexpr std::size_t kMaxSimulatedBoards = 64;
inline constexpr std::size_t kMaxBoardNameLength = 64;
inline constexpr std::size_t kMaxI2cRecorders = 16;

// An image key's value "none": the EEPROM is not fitted.
inline constexpr int kNoImage = -1;

// One light-source module of light_sources: its 8-bit I2C address and kind.
struct LightSourceSpec {
    enum class Kind {
        Lamp,        // lamp0..lamp3: a lamp module of that subtype
        Flash,       // flash: a flash module under remote control
        FlashManual, // flash_manual: a flash module set by hand
    };
    uint8_t address = 0x40;
    Kind kind = Kind::Lamp;
    uint8_t subtype = 0; // lamp modules: 0..3

    bool operator==(const LightSourceSpec&) const = default;
};

// One "[board <name>]" section. The defaults are those of interface type 6;
// applyInterfaceTypeDefaults gives those of another type.
struct BoardConfig {
    std::string name;
    int interfaceType = 6;          // interface_type: 1, 4, 5, 6 or 8
    uint8_t boardId = 1;            // board_id: 1..15
    uint16_t driverVersion = 3114;  // driver_version: 0..65535
    uint16_t hardwareWord = 0x1064; // hardware_word: generation 1, version 100
    uint16_t firmwareVersion = 204; // firmware_version: logic version in hundredths
    uint16_t firmwareType = 1;      // firmware_type: 0, 1 or 2
    uint16_t pixels = 1044;         // pixels: 1..65535, channel 1
    uint16_t sensorType = 7;        // sensor_type: 0..65534, channel 1
    std::array<double, 5> coefficients{300.0, 0.5, 0.0, 0.0, 0.0}; // c0..c4
    uint16_t dark = 500;                                           // dark: counts of every pixel
    double signal = 2000.0; // signal: counts per ms at the brightest pixel

    // Configuration EEPROMs on the board's I2C bus, each the image version it
    // holds or kNoImage when the EEPROM is not fitted. Their sensor values are
    // pixels, sensor_type and coefficients (every multiplexer channel alike).
    int interfaceImage = 0;         // interface_image: 0 or none (0xA2)
    int frontEndImage = 2;          // frontend_image: 0, 1, 2 or none (0xA0)
    int muxImage = kNoImage;        // mux_image: 0, 1, 2 or none (0xA4)
    int bootImage = 0;              // boot_image: 0 or none (types 6 and 8)
    uint16_t frontEndType = 7;      // frontend_type: 0..65535
    uint16_t clockValue = 0;        // clock_value: 0, 100, 1000, 2000, 4000 or 8000
    uint16_t muxAssembly = 1;       // mux_assembly: the multiplexer's assembly code 0..15
    uint16_t muxRevision = 0;       // mux_revision: its assembly revision 0..4095
    uint8_t serialMux = 255;        // serial_mux: 7, 9 or none (255)
    uint8_t serialMuxConfig = 0xFF; // serial_mux_config: bits 0-3 COM port, 4-7 assembly
    // busy: 0 or 1. Another program holds the board open: every open of its
    // device is refused with EBUSY (the board is listed all the same).
    bool busy = false;
    // usb_board: 0 or 1, interface type 6 only. 1: an FX2 board on the
    // simulated USB bus, served by the USB board driver kavrin (the driver
    // beside the simulation's is loaded for it; the firmware reports its
    // image's version); 0: the request-block model, whose request log and
    // injections tests use.
    bool usbBoard = true;
    // frame_rate: scans per second the board takes in the continuous modes,
    // 0.1..100000; an FX2 board sends the scans of a burst at this pace too.
    double frameRate = 100.0;
    // wall_time: 0 or 1. 1: an FX2 board's single-mode scan arrives after its
    // integration time times the scans summed, in the platform clock's time,
    // as a real board's does; 0: at once.
    bool wallTime = false;
    // instant_bus: 0 or 1. 0: an FX2 board's scans cross the bus at the
    // USB 2.0 high-speed bulk rate through the board's small buffer; 1: at
    // once, the buffer without bound.
    bool instantBus = false;
    // digital_inputs: the levels of the three digital inputs, bit 0 = input
    // 1, 1 = high; 0..7.
    uint8_t digitalInputs = 0;
    // light_sources: modules on the board's I2C bus, "address:kind" separated
    // by blanks (addresses 0x40, 0x42, .. 0x4A, each once; kinds lamp0..lamp3,
    // flash, flash_manual); empty by default.
    std::vector<LightSourceSpec> lightSources{};
    // cooled_board: 0 or 1. 1: a cooled detector board at I2C 0x74 with
    // cooling available.
    bool cooledBoard = false;
    // lamp_delay_ms, shutter_delay_ms: 0..600000. How long a module's lamp
    // takes to follow its output and its shutter to reach its position, on
    // the platform clock; 0: at once.
    uint32_t lampDelayMs = 0;
    uint32_t shutterDelayMs = 0;
    // i2c_recorders: I2C addresses (8-bit form) at which a device keeps every
    // write it gets, as the light-source modules' DACs and switches would take
    // them (i2c_bus.h I2cRecorder); none by default.
    std::vector<uint8_t> i2cRecorders{};
    // unplug_after_ms: 0..3600000. The board is pulled out that many ms after
    // its first open, on the platform clock; 0: never. replug_after_ms:
    // 0..3600000, it is plugged in again that many ms after; 0: never.
    uint32_t unplugAfterMs = 0;
    uint32_t replugAfterMs = 0;
    // refused_commands: board commands (their function codes, 0x800..0x8FF)
    // that a request-block board refuses with status 156, doing nothing; the
    // names are those of the commands without IOCTL_BOARD_, in lower case
    // (deinit, init, get_scans, ...). None by default.
    std::vector<uint16_t> refusedCommands{};

    bool operator==(const BoardConfig&) const = default;
};

// The defaults that depend on the interface type, so that every type's
// default board is a supported one-channel configuration: type 8 carries a
// multiplexer EEPROM of assembly code 8 (one channel), front end 8 and sensor
// type 22 with 738 pixels; the others front end 7 and sensor type 7.
void applyInterfaceTypeDefaults(BoardConfig& config);

// One "[serial <name>]" section: a serial electronics unit answering at an
// RS485 address on a COM port of the process. Units on one port share its
// line; two at one address are refused.
struct SerialUnitConfig {
    std::string name;
    uint8_t comPort = 1;            // com_port: 1..255
    uint8_t address = 1;            // address: RS485 address 1..15
    uint16_t firmwareVersion = 316; // firmware_version: version word of block 10 (316 = 3.16)
    uint16_t pixels = 1044;         // pixels: 1..1050, channel 1
    uint16_t sensorType = 6;        // sensor_type: 0..65534, channel 1
    uint16_t frontEndType = 6;      // frontend_type: 0..65535
    std::array<double, 5> coefficients{300.0, 0.5, 0.0, 0.0, 0.0}; // c0..c4
    uint16_t dark = 500;                                           // dark: counts of every pixel
    double signal = 1000.0;    // signal: counts per ms at the brightest pixel
    uint8_t digitalInputs = 0; // digital_inputs: levels as a bit mask, 0..255
    // line_errors: 0..0.5, the share of the bytes on the unit's line that
    // arrive corrupted, either way (the line takes the largest of its units').
    double lineErrors = 0.0;

    bool operator==(const SerialUnitConfig&) const = default;
};

// One "[serial_mux <name>]" section: a serial multiplexer on a COM port of
// its own (no serial unit and no other multiplexer on it).
enum class SerialMuxKind { Krd, Krl };
struct SerialMuxConfig {
    std::string name;
    uint8_t comPort = 2;                     // com_port: 1..255
    SerialMuxKind kind = SerialMuxKind::Krd; // kind: krd or krl
    // channels: krd 3, 4, 6 or 8; krl 2, 4, 8, 12 or 16.
    uint8_t channels = 8;

    bool operator==(const SerialMuxConfig&) const = default;
};

struct SetupProblem {
    enum class Kind {
        Unreadable,   // the file named cannot be read: no device exists
        BoardSkipped, // a bad value or name: that board does not exist
        Ignored,      // an unknown key or section: the rest stands
    };
    Kind kind;
    std::string message; // names the file, section, key and what was wrong
};

struct Setup {
    std::string source;              // where it was read from, for messages
    std::vector<BoardConfig> boards; // in file order
    std::vector<SerialUnitConfig> serialUnits;
    std::vector<SerialMuxConfig> serialMuxes;
    std::vector<SetupProblem> problems;
};

// Parses the text of a set-up file (bounded: a text beyond the ini reader's
// file limit reads as empty, with a problem).
Setup parseSetup(std::string_view text, std::string_view source = "simulation set-up");

// Reads the file; a file that cannot be read gives no board and an
// Unreadable problem.
Setup loadSetupFile(const std::filesystem::path& path);

// The file named by VELDON_SIMULATION; unset or empty gives an empty set-up
// without problems.
Setup loadSetupFromEnvironment();

// Writes every problem to standard error and to the event log (source
// kSimulationEventSource).
void reportSetupProblems(const Setup& setup);

inline constexpr const char* kSimulationEventSource = "VeldonSimulation";
inline constexpr uint32_t kEventSetupUnreadable = 0xC0030001;   // %1 message
inline constexpr uint32_t kEventSetupBoardSkipped = 0xC0030002; // %1 message
inline constexpr uint32_t kEventSetupIgnored = 0x80030003;      // %1 message

} // namespace sim
