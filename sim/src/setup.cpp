// The simulation set-up file: parsing with strict values, and reporting.

#include "sim/setup.h"

#include "sim/i2c_bus.h"
#include "sim/light_sources.h"

#include "platform/event_log.h"
#include "platform/ini_file.h"
#include "platform/last_error.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>

namespace sim {

namespace {

// More problems than this are summed up in one line: a garbage file must not
// flood standard error and the event log.
constexpr std::size_t kMaxProblems = 32;

// Bound of the light-source modules' switching delays.
constexpr unsigned long kMaxDelayMs = 600000;
// Bound of a board's times until it is pulled out and plugged in again.
constexpr unsigned long kMaxHotPlugMs = 3600000;

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// The next blank-separated word of rest, taken off it; empty at the end.
std::string_view takeWord(std::string_view& rest) {
    rest = trim(rest);
    std::size_t end = 0;
    while (end < rest.size() && !isBlank(rest[end])) {
        ++end;
    }
    const std::string_view word = rest.substr(0, end);
    rest.remove_prefix(end);
    return word;
}

// Control characters of outside text would garble a message line.
std::string printable(std::string_view text, std::size_t limit = 80) {
    std::string out;
    for (char c : text.substr(0, limit)) {
        const auto byte = static_cast<unsigned char>(c);
        out += byte < 0x20 || byte == 0x7F ? '?' : c;
    }
    if (text.size() > limit) {
        out += "...";
    }
    return out;
}

// The whole text must be the number: decimal, or hexadecimal after "0x".
std::optional<unsigned long> parseUnsigned(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty() || text.front() == '+' || text.front() == '-') {
        return std::nullopt;
    }
    unsigned long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<double> parseNumber(std::string_view text) {
    if (text.empty() || text.front() == '+') {
        return std::nullopt;
    }
    double value = 0.0;
    const auto [end, error] =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

class Parser {
public:
    Parser(const platform::IniFile& ini, Setup& setup) : ini_(ini), setup_(setup) {}

    void run() {
        reportUnusedLines();
        for (const std::string& section : ini_.sectionNames()) {
            if (const std::optional<std::string_view> serial = sectionName(section, "serial")) {
                parseSerialUnit(section, *serial);
                continue;
            }
            if (const std::optional<std::string_view> mux = sectionName(section, "serial_mux")) {
                skipped_ = "serial multiplexer";
                parseSerialMux(section, *mux);
                skipped_ = "board";
                continue;
            }
            const std::optional<std::string_view> name = boardName(section);
            if (!name) {
                add(SetupProblem::Kind::Ignored,
                    "[" + printable(section) + "] is not a simulated device; ignored",
                    ini_.lineOf(section));
                continue;
            }
            if (setup_.boards.size() >= kMaxSimulatedBoards) {
                add(SetupProblem::Kind::BoardSkipped,
                    "[" + printable(section) + "]: more than " +
                        std::to_string(kMaxSimulatedBoards) +
                        " simulated boards; the board is skipped");
                continue;
            }
            parseBoard(section, *name);
        }
        if (dropped_ > 0) {
            setup_.problems.push_back(
                {SetupProblem::Kind::Ignored,
                 setup_.source + ": " + std::to_string(dropped_) + " further problems not shown"});
        }
    }

private:
    // "board <name>": the word, blanks, the name.
    static std::optional<std::string_view> boardName(std::string_view section) {
        return sectionName(section, "board");
    }

    static std::optional<std::string_view> sectionName(std::string_view section,
                                                       std::string_view kWord) {
        if (section.size() < kWord.size() ||
            !equalsNoCase(section.substr(0, kWord.size()), kWord)) {
            return std::nullopt;
        }
        std::string_view rest = section.substr(kWord.size());
        if (!rest.empty() && !isBlank(rest.front())) {
            return std::nullopt; // "boards", "boardx": another word
        }
        return trim(rest);
    }

    // "file:line: message", or "file: message" without a line.
    void add(SetupProblem::Kind kind, std::string message,
             std::optional<std::size_t> line = std::nullopt) {
        if (setup_.problems.size() >= kMaxProblems) {
            ++dropped_;
            return;
        }
        const std::string where =
            line ? setup_.source + ":" + std::to_string(*line) : setup_.source;
        setup_.problems.push_back({kind, where + ": " + std::move(message)});
    }

    // The ini reader passes over these; a user who wrote them meant something.
    void reportUnusedLines() {
        for (const platform::IniFile::UnusedLine& line : ini_.unusedLines()) {
            using Why = platform::IniFile::UnusedLine::Why;
            std::string what;
            switch (line.why) {
            case Why::NotParsed:
                what = "is not \"key = value\" or a [section]; ignored";
                break;
            case Why::OutsideSection:
                what = "stands before any [section]; ignored";
                break;
            case Why::UnclosedSection:
                what = "is not a closed, named [section] header; it and its keys are ignored";
                break;
            }
            add(SetupProblem::Kind::Ignored, "\"" + printable(line.text) + "\" " + what,
                line.number);
        }
    }

    // On the line of the key when one is named, else of the section header.
    void skip(std::string_view section, std::string_view why, std::string_view key = {}) {
        add(SetupProblem::Kind::BoardSkipped,
            "[" + printable(section) + "]: " + std::string(why) + "; the " + skipped_ +
                " is skipped",
            ini_.lineOf(section, key));
    }

    static std::optional<std::string> nameProblem(std::string_view name,
                                                  std::string_view word = "board") {
        if (name.empty()) {
            return "a " + std::string(word) + " section needs a name (\"" + std::string(word) +
                   " <name>\")";
        }
        if (name.size() > kMaxBoardNameLength) {
            return "the board name is longer than " + std::to_string(kMaxBoardNameLength) +
                   " characters";
        }
        for (char c : name) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte < 0x20 || byte == 0x7F) {
                return std::string("the board name holds a control character");
            }
        }
        return std::nullopt;
    }

    // Reads an unsigned key within [low, high] (a list of allowed values when
    // given). False, with the board skipped, on a bad value.
    template <class T>
    bool readUnsigned(std::string_view section, std::string_view key, T& out, unsigned long low,
                      unsigned long high, std::string_view allowed) {
        const std::optional<std::string> raw = ini_.value(section, key);
        if (!raw) {
            return true;
        }
        const std::optional<unsigned long> value = parseUnsigned(*raw);
        if (!value || *value < low || *value > high) {
            skip(section,
                 std::string(key) + " = \"" + printable(*raw) + "\" is not " + std::string(allowed),
                 key);
            return false;
        }
        out = static_cast<T>(*value);
        return true;
    }

    bool readInterfaceType(std::string_view section, BoardConfig& board) {
        const std::optional<std::string> raw = ini_.value(section, "interface_type");
        if (!raw) {
            return true;
        }
        const std::optional<unsigned long> value = parseUnsigned(*raw);
        if (!value || (*value != 1 && *value != 4 && *value != 5 && *value != 6 && *value != 8)) {
            skip(section, "interface_type = \"" + printable(*raw) + "\" is not 1, 4, 5, 6 or 8",
                 "interface_type");
            return false;
        }
        board.interfaceType = static_cast<int>(*value);
        return true;
    }

    bool readNumber(std::string_view section, std::string_view key, double& out, double low,
                    double high, std::string_view allowed) {
        const std::optional<std::string> raw = ini_.value(section, key);
        if (!raw) {
            return true;
        }
        const std::optional<double> value = parseNumber(*raw);
        if (!value || *value < low || *value > high) {
            skip(section,
                 std::string(key) + " = \"" + printable(*raw) + "\" is not " + std::string(allowed),
                 key);
            return false;
        }
        out = *value;
        return true;
    }

    // An image version up to `latest`, or "none" for an EEPROM not fitted.
    bool readImageVersion(std::string_view section, std::string_view key, int& out, int latest) {
        const std::optional<std::string> raw = ini_.value(section, key);
        if (!raw) {
            return true;
        }
        if (equalsNoCase(trim(*raw), "none")) {
            out = kNoImage;
            return true;
        }
        const std::optional<unsigned long> value = parseUnsigned(*raw);
        if (!value || *value > static_cast<unsigned long>(latest)) {
            skip(section,
                 std::string(key) + " = \"" + printable(*raw) + "\" is not " +
                     (latest == 0 ? std::string("0") : "0.." + std::to_string(latest)) + " or none",
                 key);
            return false;
        }
        out = static_cast<int>(*value);
        return true;
    }

    bool readClockValue(std::string_view section, BoardConfig& board) {
        const std::optional<std::string> raw = ini_.value(section, "clock_value");
        if (!raw) {
            return true;
        }
        const std::optional<unsigned long> value = parseUnsigned(*raw);
        if (!value || (*value != 0 && *value != 100 && *value != 1000 && *value != 2000 &&
                       *value != 4000 && *value != 8000)) {
            skip(section,
                 "clock_value = \"" + printable(*raw) +
                     "\" is not 0, 100, 1000, 2000, 4000 or 8000",
                 "clock_value");
            return false;
        }
        board.clockValue = static_cast<uint16_t>(*value);
        return true;
    }

    bool readSerialMux(std::string_view section, BoardConfig& board) {
        const std::optional<std::string> raw = ini_.value(section, "serial_mux");
        if (!raw) {
            return true;
        }
        if (equalsNoCase(trim(*raw), "none")) {
            board.serialMux = 255;
            return true;
        }
        const std::optional<unsigned long> value = parseUnsigned(*raw);
        if (!value || (*value != 7 && *value != 9)) {
            skip(section, "serial_mux = \"" + printable(*raw) + "\" is not 7, 9 or none",
                 "serial_mux");
            return false;
        }
        board.serialMux = static_cast<uint8_t>(*value);
        return true;
    }

    // Blank-separated 8-bit I2C addresses, even, not those of the board's own
    // EEPROMs and temperature sensor nor of the light-source modules and the
    // cooled board.
    bool readI2cRecorders(std::string_view section, BoardConfig& board) {
        const std::optional<std::string> raw = ini_.value(section, "i2c_recorders");
        if (!raw) {
            return true;
        }
        std::string_view rest = *raw;
        if (trim(rest) == "none") {
            board.i2cRecorders.clear();
            return true;
        }
        const auto free = [](unsigned long a) {
            return a <= 0xFE && a % 2 == 0 && a != kBoardTemperatureSensor &&
                   (a < 0xA0 || a > 0xA4) && (a < 0x40 || a > 0x4A) && a != kCooledBoardAddress &&
                   a != kModuleSensorAddress;
        };
        std::vector<uint8_t> addresses;
        bool good = true;
        for (std::string_view word = takeWord(rest); good && !word.empty(); word = takeWord(rest)) {
            const std::optional<unsigned long> value = parseUnsigned(word);
            good = value && free(*value) && addresses.size() < kMaxI2cRecorders;
            if (good) {
                addresses.push_back(static_cast<uint8_t>(*value));
            }
        }
        if (!good || addresses.empty()) {
            skip(section,
                 "i2c_recorders = \"" + printable(*raw) +
                     "\" is not up to 16 even addresses (not 0x90, 0xA0..0xA4, 0x40..0x4A, 0x74, "
                     "0x9A) or none",
                 "i2c_recorders");
            return false;
        }
        board.i2cRecorders = std::move(addresses);
        return true;
    }

    // Blank-separated names of board commands, or none; only a request-block
    // board refuses them (an FX2 board's commands are kavrin's).
    bool readRefusedCommands(std::string_view section, BoardConfig& board) {
        struct Command {
            std::string_view name;
            uint16_t function;
        };
        static constexpr Command kCommands[] = {{"deinit", 0x800},
                                                {"init", 0x801},
                                                {"get_scans", 0x802},
                                                {"set_digital_output", 0x803},
                                                {"get_digital_input", 0x804},
                                                {"i2c_operation", 0x808},
                                                {"set_input_latch_mode", 0x809},
                                                {"open", 0x810},
                                                {"get_temperatures", 0x811},
                                                {"i2c_check_device", 0x8F9},
                                                {"boot_eeprom", 0x8FA},
                                                {"get_usb_version", 0x8FC}};
        const std::optional<std::string> raw = ini_.value(section, "refused_commands");
        if (!raw) {
            return true;
        }
        std::string_view rest = *raw;
        if (equalsNoCase(trim(rest), "none")) {
            board.refusedCommands.clear();
            return true;
        }
        std::vector<uint16_t> functions;
        bool good = true;
        for (std::string_view word = takeWord(rest); good && !word.empty(); word = takeWord(rest)) {
            const auto* found = std::find_if(std::begin(kCommands), std::end(kCommands),
                                             [&](const Command& c) { return c.name == word; });
            good = found != std::end(kCommands);
            if (good &&
                std::find(functions.begin(), functions.end(), found->function) == functions.end()) {
                functions.push_back(found->function);
            }
        }
        if (!good || functions.empty()) {
            skip(section,
                 "refused_commands = \"" + printable(*raw) +
                     "\" is not board command names (deinit, init, get_scans, "
                     "set_digital_output, get_digital_input, i2c_operation, set_input_latch_mode, "
                     "open, get_temperatures, i2c_check_device, boot_eeprom, get_usb_version) or "
                     "none",
                 "refused_commands");
            return false;
        }
        if (board.interfaceType == 6 && board.usbBoard) {
            skip(section, "refused_commands needs the request-block board (usb_board = 0)",
                 "refused_commands");
            return false;
        }
        board.refusedCommands = std::move(functions);
        return true;
    }

    // One to five numbers c0..c4 separated by blanks; the ones left out are 0.
    bool readCoefficients(std::string_view section, std::array<double, 5>& coefficients) {
        const std::optional<std::string> raw = ini_.value(section, "coefficients");
        if (!raw) {
            return true;
        }
        std::array<double, 5> values{};
        std::size_t count = 0;
        std::string_view rest = *raw;
        bool good = true;
        while (good) {
            const std::string_view word = takeWord(rest);
            if (word.empty()) {
                break;
            }
            const std::optional<double> value = parseNumber(word);
            if (!value || count == values.size()) {
                good = false;
                break;
            }
            values[count++] = *value;
        }
        if (!good || count == 0) {
            skip(section,
                 "coefficients = \"" + printable(*raw) +
                     "\" is not one to five numbers c0 c1 c2 c3 c4",
                 "coefficients");
            return false;
        }
        coefficients = values;
        return true;
    }

    // "address:kind" words, e.g. "0x40:lamp1 0x44:flash"; empty: none.
    bool readLightSources(std::string_view section, BoardConfig& board) {
        const std::optional<std::string> raw = ini_.value(section, "light_sources");
        if (!raw) {
            return true;
        }
        std::vector<LightSourceSpec> modules;
        std::string_view rest = *raw;
        for (std::string_view word = takeWord(rest); !word.empty(); word = takeWord(rest)) {
            const std::optional<LightSourceSpec> module = lightSource(word);
            const bool taken = module && std::any_of(modules.begin(), modules.end(),
                                                     [&](const LightSourceSpec& other) {
                                                         return other.address == module->address;
                                                     });
            if (!module || taken) {
                skip(section,
                     "light_sources = \"" + printable(*raw) + "\": \"" + printable(word) +
                         "\" is not address:kind with a free address 0x40, 0x42, .. 0x4A and a "
                         "kind lamp0..lamp3, flash or flash_manual",
                     "light_sources");
                return false;
            }
            modules.push_back(*module);
        }
        board.lightSources = std::move(modules);
        return true;
    }

    static std::optional<LightSourceSpec> lightSource(std::string_view word) {
        const std::size_t colon = word.find(':');
        if (colon == std::string_view::npos) {
            return std::nullopt;
        }
        const std::optional<unsigned long> address = parseUnsigned(word.substr(0, colon));
        if (!address || *address < 0x40 || *address > 0x4A || *address % 2 != 0) {
            return std::nullopt;
        }
        LightSourceSpec module;
        module.address = static_cast<uint8_t>(*address);
        const std::string_view kind = word.substr(colon + 1);
        if (equalsNoCase(kind, "flash")) {
            module.kind = LightSourceSpec::Kind::Flash;
        } else if (equalsNoCase(kind, "flash_manual")) {
            module.kind = LightSourceSpec::Kind::FlashManual;
        } else if (kind.size() == 5 && equalsNoCase(kind.substr(0, 4), "lamp") && kind[4] >= '0' &&
                   kind[4] <= '3') {
            module.kind = LightSourceSpec::Kind::Lamp;
            module.subtype = static_cast<uint8_t>(kind[4] - '0');
        } else {
            return std::nullopt;
        }
        return module;
    }

    void parseBoard(std::string_view section, std::string_view name) {
        if (const std::optional<std::string> problem = nameProblem(name)) {
            skip(section, *problem);
            return;
        }
        for (const BoardConfig& other : setup_.boards) {
            if (equalsNoCase(other.name, name)) {
                skip(section, "a board named \"" + printable(name) + "\" is declared already");
                return;
            }
        }
        static constexpr std::string_view kKeys[] = {
            "interface_type", "board_id",         "driver_version",
            "hardware_word",  "firmware_version", "firmware_type",
            "pixels",         "sensor_type",      "coefficients",
            "dark",           "signal",           "interface_image",
            "frontend_image", "mux_image",        "boot_image",
            "frontend_type",  "clock_value",      "mux_assembly",
            "mux_revision",   "serial_mux",       "serial_mux_config",
            "busy",           "usb_board",        "frame_rate",
            "wall_time",      "digital_inputs",   "light_sources",
            "cooled_board",   "lamp_delay_ms",    "shutter_delay_ms",
            "i2c_recorders",  "unplug_after_ms",  "replug_after_ms",
            "refused_commands", "instant_bus"};
        reportUnknownKeys(section, kKeys);

        BoardConfig board;
        board.name = std::string(name);
        if (!readInterfaceType(section, board)) {
            return;
        }
        applyInterfaceTypeDefaults(board);
        const bool good =
            readUnsigned(section, "board_id", board.boardId, 1, 15, "1..15") &&
            readUnsigned(section, "driver_version", board.driverVersion, 0, 0xFFFF, "0..65535") &&
            readUnsigned(section, "hardware_word", board.hardwareWord, 0, 0xFFFF, "0..65535") &&
            readUnsigned(section, "firmware_version", board.firmwareVersion, 0, 0xFFFF,
                         "0..65535") &&
            readUnsigned(section, "firmware_type", board.firmwareType, 0, 2, "0, 1 or 2") &&
            readUnsigned(section, "pixels", board.pixels, 1, 0xFFFF, "1..65535") &&
            readUnsigned(section, "sensor_type", board.sensorType, 0, 0xFFFE, "0..65534") &&
            readCoefficients(section, board.coefficients) &&
            readUnsigned(section, "dark", board.dark, 0, 0xFFFF, "0..65535 counts") &&
            readNumber(section, "signal", board.signal, 0.0, 1e9,
                       "a number of counts per ms from 0 to 1e9") &&
            readImageVersion(section, "interface_image", board.interfaceImage, 0) &&
            readImageVersion(section, "frontend_image", board.frontEndImage, 2) &&
            readImageVersion(section, "mux_image", board.muxImage, 2) &&
            readImageVersion(section, "boot_image", board.bootImage, 0) &&
            readUnsigned(section, "frontend_type", board.frontEndType, 0, 0xFFFF, "0..65535") &&
            readClockValue(section, board) &&
            readUnsigned(section, "mux_assembly", board.muxAssembly, 0, 15, "0..15") &&
            readUnsigned(section, "mux_revision", board.muxRevision, 0, 0x0FFF, "0..4095") &&
            readSerialMux(section, board) &&
            readUnsigned(section, "serial_mux_config", board.serialMuxConfig, 0, 0xFF, "0..255") &&
            readUnsigned(section, "busy", board.busy, 0, 1, "0 or 1") &&
            readUnsigned(section, "usb_board", board.usbBoard, 0, 1, "0 or 1") &&
            readNumber(section, "frame_rate", board.frameRate, 0.1, 100000.0,
                       "a number of frames per second from 0.1 to 100000") &&
            readUnsigned(section, "wall_time", board.wallTime, 0, 1, "0 or 1") &&
            readUnsigned(section, "instant_bus", board.instantBus, 0, 1, "0 or 1") &&
            readUnsigned(section, "digital_inputs", board.digitalInputs, 0, 7,
                         "0..7 (bit 0 = input 1)") &&
            readLightSources(section, board) &&
            readUnsigned(section, "cooled_board", board.cooledBoard, 0, 1, "0 or 1") &&
            readUnsigned(section, "lamp_delay_ms", board.lampDelayMs, 0, kMaxDelayMs,
                         "0..600000 ms") &&
            readUnsigned(section, "shutter_delay_ms", board.shutterDelayMs, 0, kMaxDelayMs,
                         "0..600000 ms") &&
            readI2cRecorders(section, board) &&
            readUnsigned(section, "unplug_after_ms", board.unplugAfterMs, 0, kMaxHotPlugMs,
                         "0..3600000 ms") &&
            readUnsigned(section, "replug_after_ms", board.replugAfterMs, 0, kMaxHotPlugMs,
                         "0..3600000 ms") &&
            readRefusedCommands(section, board);
        if (good) {
            setup_.boards.push_back(std::move(board));
        }
    }

    void reportUnknownKeys(std::string_view section, std::span<const std::string_view> keys) {
        for (const std::string& key : ini_.keyNames(section)) {
            bool known = false;
            for (std::string_view candidate : keys) {
                known = known || equalsNoCase(candidate, key);
            }
            if (!known) {
                add(SetupProblem::Kind::Ignored,
                    "[" + printable(section) + "]: unknown key \"" + printable(key) + "\"; ignored",
                    ini_.lineOf(section, key));
            }
        }
    }

    void parseSerialUnit(std::string_view section, std::string_view name) {
        skipped_ = "serial unit";
        parseSerialKeys(section, name);
        skipped_ = "board";
    }

    void parseSerialKeys(std::string_view section, std::string_view name) {
        if (const std::optional<std::string> problem = nameProblem(name, "serial")) {
            skip(section, *problem);
            return;
        }
        if (setup_.serialUnits.size() >= kMaxSimulatedBoards) {
            skip(section, "more than " + std::to_string(kMaxSimulatedBoards) +
                              " simulated serial electronics");
            return;
        }
        static constexpr std::string_view kKeys[] = {
            "com_port",    "address",        "firmware_version", "pixels",
            "sensor_type", "frontend_type",  "coefficients",     "dark",
            "signal",      "digital_inputs", "line_errors"};
        reportUnknownKeys(section, kKeys);
        SerialUnitConfig unit;
        unit.name = std::string(name);
        const bool good =
            readUnsigned(section, "com_port", unit.comPort, 1, 255, "1..255") &&
            readUnsigned(section, "address", unit.address, 1, 15, "1..15") &&
            readUnsigned(section, "firmware_version", unit.firmwareVersion, 0, 0xFFFF,
                         "0..65535") &&
            readUnsigned(section, "pixels", unit.pixels, 1, 1050, "1..1050") &&
            readUnsigned(section, "sensor_type", unit.sensorType, 0, 0xFFFE, "0..65534") &&
            readUnsigned(section, "frontend_type", unit.frontEndType, 0, 0xFFFF, "0..65535") &&
            readCoefficients(section, unit.coefficients) &&
            readUnsigned(section, "dark", unit.dark, 0, 0xFFFF, "0..65535 counts") &&
            readNumber(section, "signal", unit.signal, 0.0, 1e9,
                       "a number of counts per ms from 0 to 1e9") &&
            readUnsigned(section, "digital_inputs", unit.digitalInputs, 0, 0xFF,
                         "0..255 (bit 0 = input 1)") &&
            readNumber(section, "line_errors", unit.lineErrors, 0.0, 0.5,
                       "a share of corrupted bytes from 0 to 0.5");
        if (!good) {
            return;
        }
        for (const SerialUnitConfig& other : setup_.serialUnits) {
            if (equalsNoCase(other.name, name)) {
                skip(section,
                     "a serial unit named \"" + printable(name) + "\" is declared already");
                return;
            }
            if (other.comPort == unit.comPort && other.address == unit.address) {
                skip(section, "COM" + std::to_string(unit.comPort) + " has a unit at address " +
                                  std::to_string(unit.address) + " already");
                return;
            }
        }
        for (const SerialMuxConfig& mux : setup_.serialMuxes) {
            if (mux.comPort == unit.comPort) {
                skip(section,
                     "COM" + std::to_string(unit.comPort) + " serves a serial multiplexer");
                return;
            }
        }
        setup_.serialUnits.push_back(std::move(unit));
    }

    void parseSerialMux(std::string_view section, std::string_view name) {
        if (const std::optional<std::string> problem = nameProblem(name, "serial_mux")) {
            skip(section, *problem);
            return;
        }
        if (setup_.serialMuxes.size() >= kMaxSimulatedBoards) {
            skip(section, "more than " + std::to_string(kMaxSimulatedBoards) +
                              " simulated serial multiplexers");
            return;
        }
        static constexpr std::string_view kKeys[] = {"com_port", "kind", "channels"};
        reportUnknownKeys(section, kKeys);
        SerialMuxConfig mux;
        mux.name = std::string(name);
        if (const std::optional<std::string> kind = ini_.value(section, "kind")) {
            if (equalsNoCase(trim(*kind), "krd")) {
                mux.kind = SerialMuxKind::Krd;
            } else if (equalsNoCase(trim(*kind), "krl")) {
                mux.kind = SerialMuxKind::Krl;
            } else {
                skip(section, "kind = \"" + printable(*kind) + "\" is not krd or krl", "kind");
                return;
            }
        }
        if (!readUnsigned(section, "com_port", mux.comPort, 1, 255, "1..255") ||
            !readUnsigned(section, "channels", mux.channels, 1, 16, "a channel count")) {
            return;
        }
        static constexpr int kKrd[] = {3, 4, 6, 8};
        static constexpr int kKrl[] = {2, 4, 8, 12, 16};
        const std::span<const int> counts = mux.kind == SerialMuxKind::Krd
                                                ? std::span<const int>(kKrd)
                                                : std::span<const int>(kKrl);
        if (std::find(counts.begin(), counts.end(), mux.channels) == counts.end()) {
            skip(section,
                 "channels = " + std::to_string(mux.channels) +
                     (mux.kind == SerialMuxKind::Krd ? " is not 3, 4, 6 or 8 (krd)"
                                                     : " is not 2, 4, 8, 12 or 16 (krl)"),
                 "channels");
            return;
        }
        for (const SerialMuxConfig& other : setup_.serialMuxes) {
            if (equalsNoCase(other.name, name) || other.comPort == mux.comPort) {
                skip(section, "another serial multiplexer has the name or COM" +
                                  std::to_string(mux.comPort) + " already");
                return;
            }
        }
        for (const SerialUnitConfig& unit : setup_.serialUnits) {
            if (unit.comPort == mux.comPort) {
                skip(section, "COM" + std::to_string(mux.comPort) + " serves serial units");
                return;
            }
        }
        setup_.serialMuxes.push_back(std::move(mux));
    }

    const platform::IniFile& ini_;
    Setup& setup_;
    std::string skipped_ = "board"; // what a bad value skips
    std::size_t dropped_ = 0;
};

} // namespace

void applyInterfaceTypeDefaults(BoardConfig& config) {
    const BoardConfig defaults;
    const bool type8 = config.interfaceType == 8;
    config.sensorType = type8 ? 22 : defaults.sensorType;
    config.pixels = type8 ? 738 : defaults.pixels;
    config.frontEndType = type8 ? 8 : defaults.frontEndType;
    config.muxImage = type8 ? 2 : defaults.muxImage;
    config.muxAssembly = type8 ? 8 : defaults.muxAssembly;
    config.muxRevision = 0;
}

Setup parseSetup(std::string_view text, std::string_view source) {
    Setup setup;
    setup.source = std::string(source);
    if (text.size() > platform::kMaxIniFileSize) {
        setup.problems.push_back(
            {SetupProblem::Kind::Unreadable, setup.source + ": larger than " +
                                                 std::to_string(platform::kMaxIniFileSize) +
                                                 " bytes; no simulated device"});
        return setup;
    }
    const platform::IniFile ini{std::string(text)};
    Parser(ini, setup).run();
    return setup;
}

Setup loadSetupFile(const std::filesystem::path& path) {
    Setup setup;
    setup.source = path.string();
    platform::IniFile ini;
    if (const int rc = ini.load(path); rc != 0) {
        const std::string reason = platform::lastErrorText(static_cast<uint32_t>(rc))
                                       .value_or("error " + std::to_string(rc));
        setup.problems.push_back(
            {SetupProblem::Kind::Unreadable,
             setup.source + ": cannot be read (" + reason + "); no simulated device"});
        return setup;
    }
    Parser(ini, setup).run();
    return setup;
}

Setup loadSetupFromEnvironment() {
    const char* path = std::getenv(kSimulationVariable);
    if (path == nullptr || *path == '\0') {
        return {};
    }
    return loadSetupFile(path);
}

void reportSetupProblems(const Setup& setup) {
    if (setup.problems.empty()) {
        return;
    }
    platform::registerEventSource(kSimulationEventSource,
                                  {{kEventSetupUnreadable, "Simulation set-up: %1"},
                                   {kEventSetupBoardSkipped, "Simulation set-up: %1"},
                                   {kEventSetupIgnored, "Simulation set-up: %1"}});
    for (const SetupProblem& problem : setup.problems) {
        std::fprintf(stderr, "simulation set-up: %s\n", problem.message.c_str());
        platform::EventLogEntry entry;
        entry.source = kSimulationEventSource;
        switch (problem.kind) {
        case SetupProblem::Kind::Unreadable:
            entry.eventId = kEventSetupUnreadable;
            break;
        case SetupProblem::Kind::BoardSkipped:
            entry.eventId = kEventSetupBoardSkipped;
            break;
        case SetupProblem::Kind::Ignored:
            entry.eventId = kEventSetupIgnored;
            break;
        }
        entry.severity = platform::eventSeverityOf(entry.eventId);
        entry.strings = {problem.message};
        platform::writeEventLog(entry);
    }
}

} // namespace sim
