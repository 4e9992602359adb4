// The simulation set-up file: defaults, every key, bad values, the file.

#include "sim/setup.h"

#include "sim_test_support.h"

#include "platform/event_log.h"
#include "platform/ini_file.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using sim::BoardConfig;
using sim::parseSetup;

using sim::SetupProblem;

bool mentions(const sim::Setup& setup, SetupProblem::Kind kind, const std::string& text) {
    for (const SetupProblem& problem : setup.problems) {
        if (problem.kind == kind && problem.message.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

TEST(SetupParseTest, ASectionAloneGivesTheDefaultBoard) {
    const sim::Setup setup = parseSetup("[board demo]\n");
    ASSERT_EQ(setup.boards.size(), 1u);
    EXPECT_TRUE(setup.problems.empty());
    BoardConfig expected;
    expected.name = "demo";
    EXPECT_EQ(setup.boards[0], expected);
    // The defaults every user relies on.
    EXPECT_EQ(expected.interfaceType, 6);
    EXPECT_EQ(expected.boardId, 1);
    EXPECT_EQ(expected.driverVersion, 3114);
    EXPECT_EQ(expected.pixels, 1044);
    EXPECT_EQ(expected.sensorType, 7);
    EXPECT_EQ(expected.coefficients, (std::array<double, 5>{300, 0.5, 0, 0, 0}));
    EXPECT_EQ(expected.dark, 500);
    EXPECT_EQ(expected.signal, 2000.0);
    EXPECT_EQ(expected.hardwareWord >> 12, 1); // generation 1
    EXPECT_EQ(expected.unplugAfterMs, 0u);     // never pulled out
}

TEST(SetupParseTest, ReadsEveryKey) {
    const sim::Setup setup = parseSetup("[Board  Second One ]\n"
                                        "interface_type = 8\n"
                                        "BOARD_ID = 12\n"
                                        "driver_version = 1014 ; obsolete\n"
                                        "hardware_word = 0x2123\n"
                                        "firmware_version = 203\n"
                                        "firmware_type = 2\n"
                                        "pixels = 2048\n"
                                        "sensor_type = 14\n"
                                        "coefficients = 190.5  0.25\t-1e-5 2E-9 -3.5e-13\n"
                                        "dark = 0\n"
                                        "signal = 12.75\n"
                                        "digital_inputs = 5\n"
                                        "light_sources = 0x4A:LAMP3  0x40:flash"
                                        "\t0x42:flash_manual\n"
                                        "cooled_board = 1\n"
                                        "lamp_delay_ms = 600000\n"
                                        "shutter_delay_ms = 250\n"
                                        "unplug_after_ms = 3600000\n"
                                        "replug_after_ms = 0x10\n");
    ASSERT_EQ(setup.boards.size(), 1u) << (setup.problems.empty() ? "" : setup.problems[0].message);
    const BoardConfig& board = setup.boards[0];
    EXPECT_EQ(board.name, "Second One");
    EXPECT_EQ(board.interfaceType, 8);
    EXPECT_EQ(board.boardId, 12);
    EXPECT_EQ(board.driverVersion, 1014);
    EXPECT_EQ(board.hardwareWord, 0x2123);
    EXPECT_EQ(board.firmwareVersion, 203);
    EXPECT_EQ(board.firmwareType, 2);
    EXPECT_EQ(board.pixels, 2048);
    EXPECT_EQ(board.sensorType, 14);
    EXPECT_EQ(board.coefficients, (std::array<double, 5>{190.5, 0.25, -1e-5, 2e-9, -3.5e-13}));
    EXPECT_EQ(board.dark, 0);
    EXPECT_EQ(board.signal, 12.75);
    EXPECT_EQ(board.digitalInputs, 5);
    using Kind = sim::LightSourceSpec::Kind;
    EXPECT_EQ(board.lightSources, (std::vector<sim::LightSourceSpec>{
                                      {0x4A, Kind::Lamp, 3},
                                      {0x40, Kind::Flash, 0},
                                      {0x42, Kind::FlashManual, 0},
                                  }));
    EXPECT_TRUE(board.cooledBoard);
    EXPECT_EQ(board.lampDelayMs, 600000u);
    EXPECT_EQ(board.shutterDelayMs, 250u);
    EXPECT_EQ(board.unplugAfterMs, 3600000u);
    EXPECT_EQ(board.replugAfterMs, 16u);
}

TEST(SetupParseTest, BusyIsZeroOrOne) {
    const sim::Setup setup =
        parseSetup("[board a]\nbusy = 1\n[board b]\nbusy = 0\n[board c]\n[board d]\nbusy = 2\n");
    ASSERT_EQ(setup.boards.size(), 3u);
    EXPECT_TRUE(setup.boards[0].busy);
    EXPECT_FALSE(setup.boards[1].busy);
    EXPECT_FALSE(setup.boards[2].busy);
    ASSERT_EQ(setup.problems.size(), 1u);
    EXPECT_NE(setup.problems[0].message.find("busy"), std::string::npos);
    EXPECT_EQ(setup.problems[0].kind, sim::SetupProblem::Kind::BoardSkipped);
}

TEST(SetupParseTest, I2cRecordersAreEvenFreeAddresses) {
    struct Case {
        const char* value;
        std::vector<uint8_t> addresses; // empty with skipped: the board is skipped
        bool skipped;
    };
    const Case cases[] = {
        {"0x9C 0x9E 0x4E 0x1C", {0x9C, 0x9E, 0x4E, 0x1C}, false},
        {"  28\t0x4e ", {0x1C, 0x4E}, false},
        {"none", {}, false},
        {"0x9D", {}, true},   // the direction bit set
        {"0xA2", {}, true},   // the interface EEPROM's
        {"0x90", {}, true},   // the board's temperature sensor's
        {"0x100", {}, true},  // beyond 8 bits
        {"0x4E x", {}, true}, // a word that is no address
        {"", {}, true},       // present and empty
        {"2 4 6 8 10 12 14 16 18 20 22 24 26 28 30 32 34", {}, true}, // 17
    };
    for (const Case& c : cases) {
        const sim::Setup setup =
            parseSetup(std::string("[board a]\ni2c_recorders = ") + c.value + "\n");
        if (c.skipped) {
            EXPECT_TRUE(setup.boards.empty()) << c.value;
            EXPECT_TRUE(mentions(setup, SetupProblem::Kind::BoardSkipped, "i2c_recorders"))
                << c.value;
        } else {
            ASSERT_EQ(setup.boards.size(), 1u) << c.value;
            EXPECT_EQ(setup.boards[0].i2cRecorders, c.addresses) << c.value;
        }
    }
    EXPECT_TRUE(parseSetup("[board a]\n").boards.at(0).i2cRecorders.empty());
}

TEST(SetupParseTest, RefusedCommandsAreBoardCommandNamesOfRequestBlockBoards) {
    struct Case {
        const char* keys;
        std::vector<uint16_t> functions; // empty with skipped: the board is skipped
        bool skipped;
    };
    const Case cases[] = {
        {"interface_type = 8\nrefused_commands = deinit get_scans", {0x800, 0x802}, false},
        {"usb_board = 0\nrefused_commands = \tinit  init ", {0x801}, false},
        {"refused_commands = none", {}, false},
        {"interface_type = 4\nrefused_commands = deinit reset", {}, true}, // no such command
        {"interface_type = 4\nrefused_commands = DEINIT", {}, true},       // names are lower case
        {"interface_type = 4\nrefused_commands =", {}, true},              // present and empty
        {"refused_commands = deinit", {}, true}, // an FX2 board's commands are kavrin's
    };
    for (const Case& c : cases) {
        const sim::Setup setup = parseSetup(std::string("[board a]\n") + c.keys + "\n");
        if (c.skipped) {
            EXPECT_TRUE(setup.boards.empty()) << c.keys;
            EXPECT_TRUE(mentions(setup, SetupProblem::Kind::BoardSkipped, "refused_commands"))
                << c.keys;
        } else {
            ASSERT_EQ(setup.boards.size(), 1u) << c.keys;
            EXPECT_EQ(setup.boards[0].refusedCommands, c.functions) << c.keys;
        }
    }
}

TEST(SetupParseTest, KeepsFileOrderAndReadsEveryInterfaceType) {
    const sim::Setup setup = parseSetup("[board c]\ninterface_type = 1\n"
                                        "[board a]\ninterface_type = 4\n"
                                        "[board b]\ninterface_type = 5\n"
                                        "[board d]\n"
                                        "[board e]\ninterface_type = 8\n");
    ASSERT_EQ(setup.boards.size(), 5u);
    const char* names[] = {"c", "a", "b", "d", "e"};
    const int types[] = {1, 4, 5, 6, 8};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(setup.boards[i].name, names[i]);
        EXPECT_EQ(setup.boards[i].interfaceType, types[i]);
    }
}

TEST(SetupParseTest, LeftOutCoefficientsAreZero) {
    const sim::Setup setup = parseSetup("[board a]\ncoefficients = 400 0.75\n");
    ASSERT_EQ(setup.boards.size(), 1u);
    EXPECT_EQ(setup.boards[0].coefficients, (std::array<double, 5>{400, 0.75, 0, 0, 0}));
}

// Each bad value skips its own board, names the key and the value, and
// leaves the other boards as they were.
TEST(SetupParseTest, BadValueSkipsOnlyItsBoard) {
    struct Case {
        const char* line;
        const char* key;
    };
    const Case cases[] = {
        {"interface_type = 3", "interface_type"},  // serial electronics: no board
        {"interface_type = 7", "interface_type"},  // no such type
        {"interface_type = 6x", "interface_type"}, // trailing text
        {"interface_type =", "interface_type"},    // present but empty
        {"board_id = 0", "board_id"},
        {"board_id = 16", "board_id"},
        {"board_id = -1", "board_id"},
        {"board_id = +1", "board_id"},
        {"driver_version = 65536", "driver_version"},
        {"driver_version = 3114.5", "driver_version"},
        {"hardware_word = 0x10000", "hardware_word"},
        {"hardware_word = 0x", "hardware_word"},
        {"firmware_version = abc", "firmware_version"},
        {"firmware_type = 3", "firmware_type"},
        {"pixels = 0", "pixels"},
        {"pixels = 99999999999999999999", "pixels"},
        {"sensor_type = 65535", "sensor_type"},
        {"coefficients = 300 0.5 0 0 0 0", "coefficients"}, // six
        {"coefficients = 300 abc", "coefficients"},
        {"coefficients = 300,0.5", "coefficients"},
        {"coefficients = nan", "coefficients"},
        {"coefficients = 1e999", "coefficients"},
        {"dark = 70000", "dark"},
        {"dark = 1.5", "dark"},
        {"signal = -1", "signal"},
        {"signal = inf", "signal"},
        {"signal = 2e9", "signal"},
        {"digital_inputs = 8", "digital_inputs"},
        {"light_sources = 0x41:lamp0", "light_sources"}, // odd address
        {"light_sources = 0x4C:lamp0", "light_sources"}, // beyond the six
        {"light_sources = 0x40:lamp4", "light_sources"},
        {"light_sources = 0x40:lamp", "light_sources"},
        {"light_sources = 0x40", "light_sources"},
        {"light_sources = 0x40:flash 0x40:lamp0", "light_sources"}, // address twice
        {"light_sources = 0x40:flash,0x42:lamp0", "light_sources"},
        {"cooled_board = 2", "cooled_board"},
        {"lamp_delay_ms = 600001", "lamp_delay_ms"},
        {"shutter_delay_ms = -5", "shutter_delay_ms"},
        {"unplug_after_ms = 3600001", "unplug_after_ms"},
        {"replug_after_ms = 1.5", "replug_after_ms"},
    };
    for (const Case& c : cases) {
        const sim::Setup setup =
            parseSetup(std::string("[board good]\n[board bad]\n") + c.line + "\n[board after]\n",
                       "/tmp/x.ini");
        ASSERT_EQ(setup.boards.size(), 2u) << c.line;
        EXPECT_EQ(setup.boards[0].name, "good");
        EXPECT_EQ(setup.boards[1].name, "after");
        ASSERT_EQ(setup.problems.size(), 1u) << c.line;
        const std::string& message = setup.problems[0].message;
        EXPECT_EQ(setup.problems[0].kind, SetupProblem::Kind::BoardSkipped) << c.line;
        EXPECT_EQ(message.rfind("/tmp/x.ini:3: [board bad]: ", 0), 0u) << message;
        EXPECT_NE(message.find(c.key), std::string::npos) << message;
        EXPECT_NE(message.find("the board is skipped"), std::string::npos) << message;
    }
}

TEST(SetupParseTest, HexAndCommentsAreRead) {
    const sim::Setup setup = parseSetup("; demo set-up\n"
                                        "[board a] ; a board\n"
                                        "hardware_word = 0X2001 ; generation 2\n"
                                        "dark = 500 ; counts\n"
                                        "# another comment\n");
    ASSERT_EQ(setup.boards.size(), 1u);
    EXPECT_EQ(setup.boards[0].hardwareWord, 0x2001);
    EXPECT_EQ(setup.boards[0].dark, 500);
}

TEST(SetupParseTest, UnknownKeysAndSectionsAreIgnoredWithANote) {
    const sim::Setup setup = parseSetup("[boards]\nx = 1\n"
                                        "[serialport demo]\n"
                                        "[board a]\npixel = 2048\npixels = 512\n");
    ASSERT_EQ(setup.boards.size(), 1u);
    EXPECT_EQ(setup.boards[0].pixels, 512);
    EXPECT_TRUE(mentions(setup, SetupProblem::Kind::Ignored, "[boards] is not a simulated device"));
    EXPECT_TRUE(mentions(setup, SetupProblem::Kind::Ignored, "[serialport demo]"));
    EXPECT_TRUE(mentions(setup, SetupProblem::Kind::Ignored, "unknown key \"pixel\""));
    EXPECT_EQ(setup.problems.size(), 3u);
}

TEST(SetupParseTest, WhatTheReaderCannotUseIsNamedWithItsLine) {
    const sim::Setup setup = parseSetup("dark = 1\n"
                                        "[board a]\n"
                                        "pixels 512\n"
                                        "; a comment\n"
                                        "pixel = 2048\n"
                                        "[board b\n"
                                        "dark = 2\n",
                                        "/tmp/x.ini");
    ASSERT_EQ(setup.boards.size(), 1u);
    EXPECT_TRUE(
        mentions(setup, SetupProblem::Kind::Ignored, "/tmp/x.ini:1: \"dark = 1\" stands before"));
    EXPECT_TRUE(
        mentions(setup, SetupProblem::Kind::Ignored, "/tmp/x.ini:3: \"pixels 512\" is not"));
    EXPECT_TRUE(
        mentions(setup, SetupProblem::Kind::Ignored, "/tmp/x.ini:5: [board a]: unknown key"));
    EXPECT_TRUE(
        mentions(setup, SetupProblem::Kind::Ignored, "/tmp/x.ini:6: \"[board b\" is not a closed"));
    EXPECT_EQ(setup.problems.size(), 4u);
}

TEST(SetupParseTest, BadNamesAreSkipped) {
    const sim::Setup setup = parseSetup("[board]\n"
                                        "[board a]\n"
                                        "[board A]\n"  // the same section to the ini reader
                                        "[board  a]\n" // another section, the same board name
                                        "[board " +
                                        std::string(sim::kMaxBoardNameLength + 1, 'n') +
                                        "]\n"
                                        "[board tab\there]\n");
    ASSERT_EQ(setup.boards.size(), 1u);
    EXPECT_EQ(setup.boards[0].name, "a");
    EXPECT_TRUE(mentions(setup, SetupProblem::Kind::BoardSkipped, "needs a name"));
    EXPECT_TRUE(mentions(setup, SetupProblem::Kind::BoardSkipped, "declared already"));
    EXPECT_TRUE(mentions(setup, SetupProblem::Kind::BoardSkipped, "longer than 64"));
    EXPECT_TRUE(mentions(setup, SetupProblem::Kind::BoardSkipped, "control character"));
}

TEST(SetupParseTest, BoardsAndProblemsAreBounded) {
    std::string text;
    for (size_t i = 0; i < sim::kMaxSimulatedBoards + 3; ++i) {
        text += "[board b" + std::to_string(i) + "]\n";
    }
    for (int i = 0; i < 100; ++i) {
        text += "[other " + std::to_string(i) + "]\n";
    }
    const sim::Setup setup = parseSetup(text);
    EXPECT_EQ(setup.boards.size(), sim::kMaxSimulatedBoards);
    EXPECT_TRUE(mentions(setup, SetupProblem::Kind::BoardSkipped, "more than 64"));
    ASSERT_LE(setup.problems.size(), 33u);
    EXPECT_NE(setup.problems.back().message.find("further problems not shown"), std::string::npos);
}

TEST(SetupParseTest, OversizedTextGivesNoBoard) {
    std::string text = "[board a]\n";
    text.resize(platform::kMaxIniFileSize + 1, '\n');
    const sim::Setup setup = parseSetup(text);
    EXPECT_TRUE(setup.boards.empty());
    EXPECT_TRUE(mentions(setup, SetupProblem::Kind::Unreadable, "larger than"));
}

class SetupFileTest : public ::testing::Test {
protected:
    void TearDown() override { ::unsetenv(sim::kSimulationVariable); }
    simtest::TempDir dir;
};

TEST_F(SetupFileTest, ReadsTheFileNamedByTheVariable) {
    const auto file = dir.write("sim.ini", "[board demo]\r\nboard_id = 3\r\n");
    ::setenv(sim::kSimulationVariable, file.c_str(), 1);
    const sim::Setup setup = sim::loadSetupFromEnvironment();
    ASSERT_EQ(setup.boards.size(), 1u);
    EXPECT_EQ(setup.boards[0].boardId, 3);
    EXPECT_EQ(setup.source, file.string());
}

TEST_F(SetupFileTest, NoVariableMeansNoDeviceAndNoComplaint) {
    ::unsetenv(sim::kSimulationVariable);
    sim::Setup setup = sim::loadSetupFromEnvironment();
    EXPECT_TRUE(setup.boards.empty());
    EXPECT_TRUE(setup.problems.empty());
    ::setenv(sim::kSimulationVariable, "", 1);
    setup = sim::loadSetupFromEnvironment();
    EXPECT_TRUE(setup.boards.empty());
    EXPECT_TRUE(setup.problems.empty());
}

TEST_F(SetupFileTest, MissingFileIsReportedAndGivesNoDevice) {
    const auto missing = dir.path() / "missing.ini";
    ::setenv(sim::kSimulationVariable, missing.c_str(), 1);
    const sim::Setup setup = sim::loadSetupFromEnvironment();
    EXPECT_TRUE(setup.boards.empty());
    ASSERT_EQ(setup.problems.size(), 1u);
    EXPECT_EQ(setup.problems[0].kind, SetupProblem::Kind::Unreadable);
    EXPECT_NE(setup.problems[0].message.find(missing.string()), std::string::npos);
    EXPECT_NE(setup.problems[0].message.find("cannot be read"), std::string::npos);
}

TEST_F(SetupFileTest, ProblemsGoToTheEventLogAndStandardError) {
    auto events = std::make_shared<platform::RecordingEventLog>();
    platform::ScopedEventLogBackend scope(events);
    const sim::Setup setup = parseSetup("[board a]\nboard_id = 99\n[board b]\nfoo = 1\n", "x.ini");
    ::testing::internal::CaptureStderr();
    sim::reportSetupProblems(setup);
    const std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("x.ini:2: [board a]: board_id = \"99\" is not 1..15"), std::string::npos)
        << errors;
    EXPECT_NE(errors.find("unknown key \"foo\""), std::string::npos) << errors;

    const auto records = events->records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].entry.source, sim::kSimulationEventSource);
    EXPECT_EQ(records[0].entry.eventId, sim::kEventSetupBoardSkipped);
    EXPECT_EQ(records[0].entry.severity, platform::EventSeverity::Error);
    EXPECT_EQ(records[0].text, "Simulation set-up: " + setup.problems[0].message);
    EXPECT_EQ(records[1].entry.eventId, sim::kEventSetupIgnored);
    EXPECT_EQ(records[1].entry.severity, platform::EventSeverity::Warning);
}

} // namespace

namespace {

TEST(SetupParseTest, SerialUnitsTakeTheirKeysAndDefaults) {
    const sim::Setup setup = parseSetup("[serial demo]\n"
                                        "[Serial second]\n"
                                        "com_port = 3\n"
                                        "address = 15\n"
                                        "firmware_version = 305\n"
                                        "pixels = 256\n"
                                        "sensor_type = 1\n"
                                        "frontend_type = 3\n"
                                        "coefficients = 200 1\n"
                                        "dark = 10\n"
                                        "signal = 0.5\n"
                                        "digital_inputs = 0x81\n");
    ASSERT_EQ(setup.serialUnits.size(), 2u) << setup.problems.size();
    EXPECT_TRUE(setup.boards.empty());
    sim::SerialUnitConfig defaults;
    defaults.name = "demo";
    EXPECT_EQ(setup.serialUnits[0], defaults);
    // The defaults users and outside checks rely on.
    EXPECT_EQ(defaults.comPort, 1);
    EXPECT_EQ(defaults.address, 1);
    EXPECT_EQ(defaults.firmwareVersion, 316);
    EXPECT_EQ(defaults.pixels, 1044);
    EXPECT_EQ(defaults.sensorType, 6);
    EXPECT_EQ(defaults.frontEndType, 6);
    EXPECT_EQ(defaults.signal, 1000.0);
    const sim::SerialUnitConfig& unit = setup.serialUnits[1];
    EXPECT_EQ(unit.name, "second");
    EXPECT_EQ(unit.comPort, 3);
    EXPECT_EQ(unit.address, 15);
    EXPECT_EQ(unit.firmwareVersion, 305);
    EXPECT_EQ(unit.pixels, 256);
    EXPECT_EQ(unit.sensorType, 1);
    EXPECT_EQ(unit.frontEndType, 3);
    EXPECT_EQ(unit.coefficients, (std::array<double, 5>{200, 1, 0, 0, 0}));
    EXPECT_EQ(unit.dark, 10);
    EXPECT_EQ(unit.signal, 0.5);
    EXPECT_EQ(unit.digitalInputs, 0x81);
}

TEST(SetupParseTest, BadSerialValuesSkipOnlyTheirUnit) {
    const struct {
        const char* lines;
        size_t units; // left
    } cases[] = {
        {"com_port = 0", 1},
        {"com_port = 256", 1},
        {"address = 0", 1},
        {"address = 16", 1},
        {"pixels = 1051", 1},
        {"pixels = 0", 1},
        {"firmware_version = x", 1},
        {"digital_inputs = 256", 1},
        {"signal = -2", 1},
        {"coefficients = a", 1},
        {"line_errors = 0.6", 1},
        // A second unit at the same port and address.
        {"address = 1\n[serial same]\naddress = 1", 2},
    };
    for (const auto& c : cases) {
        const sim::Setup setup =
            parseSetup(std::string("[serial good]\naddress = 2\n[serial bad]\n") + c.lines + "\n");
        ASSERT_EQ(setup.serialUnits.size(), c.units) << c.lines;
        EXPECT_EQ(setup.serialUnits[0].name, "good");
        ASSERT_EQ(setup.problems.size(), 1u) << c.lines;
        EXPECT_EQ(setup.problems[0].kind, SetupProblem::Kind::BoardSkipped);
        EXPECT_NE(setup.problems[0].message.find("the serial unit is skipped"), std::string::npos)
            << setup.problems[0].message;
    }
}

TEST(SetupParseTest, SerialMultiplexersTakeTheirKeysOnPortsOfTheirOwn) {
    const sim::Setup ok = parseSetup("[serial_mux demo]\n"
                                     "[Serial_Mux ring]\ncom_port = 7\nkind = KRL\nchannels = 12\n"
                                     "[serial unit]\nline_errors = 0.01\n");
    ASSERT_EQ(ok.serialMuxes.size(), 2u) << ok.problems.size();
    sim::SerialMuxConfig defaults;
    defaults.name = "demo";
    EXPECT_EQ(ok.serialMuxes[0], defaults);
    EXPECT_EQ(defaults.comPort, 2);
    EXPECT_EQ(defaults.kind, sim::SerialMuxKind::Krd);
    EXPECT_EQ(defaults.channels, 8);
    EXPECT_EQ(ok.serialMuxes[1].kind, sim::SerialMuxKind::Krl);
    EXPECT_EQ(ok.serialMuxes[1].channels, 12);
    EXPECT_EQ(ok.serialUnits.at(0).lineErrors, 0.01);

    const struct {
        const char* lines;
        const char* said;
    } cases[] = {
        {"kind = krx", "is not krd or krl"},
        {"channels = 5", "is not 3, 4, 6 or 8 (krd)"},
        {"kind = krl\nchannels = 6", "is not 2, 4, 8, 12 or 16 (krl)"},
        {"com_port = 0", "is not 1..255"},
        {"com_port = 1", "serves serial units"},          // the unit's port
        {"com_port = 2", "has the name or COM2 already"}, // the other multiplexer's
    };
    for (const auto& c : cases) {
        const sim::Setup setup = parseSetup(std::string("[serial unit]\n[serial_mux good]\n"
                                                        "[serial_mux bad]\n") +
                                            c.lines + "\n");
        ASSERT_EQ(setup.serialMuxes.size(), 1u) << c.lines;
        ASSERT_EQ(setup.problems.size(), 1u) << c.lines;
        EXPECT_NE(setup.problems[0].message.find(c.said), std::string::npos)
            << setup.problems[0].message;
        EXPECT_NE(setup.problems[0].message.find("the serial multiplexer is skipped"),
                  std::string::npos);
    }
}

} // namespace
