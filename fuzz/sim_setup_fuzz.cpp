// The simulation set-up parser on arbitrary text: no crash, bounded results,
// only boards within the documented ranges, and every board it accepts reads
// back the same when written out as a set-up file of its own.
#include "sim/setup.h"

#include "fuzz_check.h"

#include <cstdint>
#include <cstdio>
#include <string>

using fuzz::check;

namespace {

bool sameNameNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

std::string number(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

std::string written(const sim::BoardConfig& board) {
    std::string text = "[board " + board.name + "]\n";
    text += "interface_type = " + std::to_string(board.interfaceType) + "\n";
    text += "board_id = " + std::to_string(board.boardId) + "\n";
    text += "driver_version = " + std::to_string(board.driverVersion) + "\n";
    text += "hardware_word = " + std::to_string(board.hardwareWord) + "\n";
    text += "firmware_version = " + std::to_string(board.firmwareVersion) + "\n";
    text += "firmware_type = " + std::to_string(board.firmwareType) + "\n";
    text += "pixels = " + std::to_string(board.pixels) + "\n";
    text += "sensor_type = " + std::to_string(board.sensorType) + "\n";
    text += "coefficients =";
    for (double c : board.coefficients) {
        text += " " + number(c);
    }
    text += "\ndark = " + std::to_string(board.dark) + "\n";
    text += "signal = " + number(board.signal) + "\n";
    const auto image = [](int version) {
        return version == sim::kNoImage ? std::string("none") : std::to_string(version);
    };
    text += "interface_image = " + image(board.interfaceImage) + "\n";
    text += "frontend_image = " + image(board.frontEndImage) + "\n";
    text += "mux_image = " + image(board.muxImage) + "\n";
    text += "boot_image = " + image(board.bootImage) + "\n";
    text += "frontend_type = " + std::to_string(board.frontEndType) + "\n";
    text += "clock_value = " + std::to_string(board.clockValue) + "\n";
    text += "mux_assembly = " + std::to_string(board.muxAssembly) + "\n";
    text += "mux_revision = " + std::to_string(board.muxRevision) + "\n";
    text += "serial_mux = " +
            (board.serialMux == 255 ? std::string("none") : std::to_string(board.serialMux)) + "\n";
    text += "serial_mux_config = " + std::to_string(board.serialMuxConfig) + "\n";
    text += std::string("busy = ") + (board.busy ? "1" : "0") + "\n";
    text += std::string("usb_board = ") + (board.usbBoard ? "1" : "0") + "\n";
    text += "frame_rate = " + number(board.frameRate) + "\n";
    text += std::string("wall_time = ") + (board.wallTime ? "1" : "0") + "\n";
    text += "digital_inputs = " + std::to_string(board.digitalInputs) + "\n";
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const sim::Setup setup = sim::parseSetup(text, "fuzz");

    check(setup.boards.size() <= sim::kMaxSimulatedBoards);
    check(setup.problems.size() <= 33);
    for (const sim::SetupProblem& problem : setup.problems) {
        check(problem.message.rfind("fuzz:", 0) == 0);
        for (char c : problem.message) {
            check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
        }
    }
    for (size_t i = 0; i < setup.boards.size(); ++i) {
        const sim::BoardConfig& board = setup.boards[i];
        check(!board.name.empty() && board.name.size() <= sim::kMaxBoardNameLength);
        const int type = board.interfaceType;
        check(type == 1 || type == 4 || type == 5 || type == 6 || type == 8);
        check(board.boardId >= 1 && board.boardId <= 15);
        check(board.firmwareType <= 2);
        check(board.pixels >= 1 && board.sensorType <= 0xFFFE);
        check(board.signal >= 0 && board.signal <= 1e9);
        check(board.digitalInputs <= 7);
        for (size_t j = 0; j < i; ++j) {
            check(!sameNameNoCase(board.name, setup.boards[j].name));
        }

        const sim::Setup again = sim::parseSetup(written(board), "again");
        check(again.problems.empty());
        check(again.boards.size() == 1 && again.boards[0] == board);
    }
    check(setup.serialUnits.size() <= sim::kMaxSimulatedBoards);
    for (size_t i = 0; i < setup.serialUnits.size(); ++i) {
        const sim::SerialUnitConfig& unit = setup.serialUnits[i];
        check(!unit.name.empty() && unit.name.size() <= sim::kMaxBoardNameLength);
        check(unit.comPort >= 1 && unit.address >= 1 && unit.address <= 15);
        check(unit.pixels >= 1 && unit.pixels <= 1050 && unit.sensorType <= 0xFFFE);
        check(unit.signal >= 0 && unit.signal <= 1e9);
        for (size_t j = 0; j < i; ++j) {
            const sim::SerialUnitConfig& other = setup.serialUnits[j];
            check(!sameNameNoCase(unit.name, other.name));
            check(unit.comPort != other.comPort || unit.address != other.address);
        }
    }
    return 0;
}
