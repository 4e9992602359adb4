// The information dialog's model without a GUI: the tree of an interface, the
// texts of a selection, and the dialog run by the configuration read.

#include "information_dialog_fixture.h"

#include "core/information_dialog.h"
#include "core/library_state.h"
#include "hardware/eeprom_image.h"

#include "platform/clock.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvik::testing {
namespace {

using info::TreeItem;

// One line per item: indent, [image], "*" when checked, text, "#" parameter.
std::string render(const TreeItem& item, int depth = 0) {
    std::string out = std::string(static_cast<size_t>(depth) * 2, ' ') + "[" +
                      std::to_string(item.image) + "]" + (item.checked ? "*" : "") + item.text +
                      " #" + std::to_string(item.parameter) + (item.expanded ? "+" : "") + "\n";
    for (const TreeItem& child : item.children) {
        out += render(child, depth + 1);
    }
    return out;
}

struct TreeCase {
    const char* name;
    int32_t id;
    uint16_t interfaceType, hardwareWord;
    int16_t muxType, channelCount;
    uint32_t flags;
    uint16_t interfaceFirstWord, muxFirstWord;
    const char* tree;
};

TEST(InformationDialogTree, ItemsTextsAndImages) {
    const TreeCase cases[] = {
        {"one-digit ID; generation 0 shows as 1", 1, 6, 0x0064, 0, 1, 0x5, 0, 0,
         "[0]* 1. USB board V1 #1+\n"
         "  [0]*Front end type 3 #33+\n"
         "    [7]Sensor type 3 #385\n"},
        {"two-digit ID, generation 2", 10, 6, 0x2064, 0, 0, 0, 0, 0,
         "[7]10. USB board V2 #10+\n"
         "  [7]Front end type 3 #42+\n"},
        {"interface image not readable", 1, 4, 0, 0, 0, 0, kImageFailedMark, 0,
         "[2] 1. PCI board #1+\n"
         "  [7]Front end type 3 #33+\n"},
        {"multiplexer image not readable: an item for type 0", 1, 4, 0, 0, 2, 0x8, 0,
         kImageFailedMark,
         "[7] 1. PCI board #1+\n"
         "  [7]Front end type 3 #33+\n"
         "    [0]*No multiplexer #65\n"
         "    [7]Sensor type 3 #385\n"
         "    [7]Sensor type 4 #641\n"},
        {"MUX-KRL numbers its channels", 1, 4, 0, 9, 2, 0, 0, 0,
         "[7] 1. PCI board #1+\n"
         "  [7]Front end type 3 #33+\n"
         "    [7]MUX-KRL #65+\n"
         "      [7] 1. Sensor type 3 #385\n"
         "      [7] 2. Sensor type 4 #641\n"},
        {"a channel unlike the first", 2, 4, 0, 2, 2, 0x20 | 0x100, 0, kImageFailedMark,
         "[7] 2. PCI board #2+\n"
         "  [7]Front end type 3 #34+\n"
         "    [2]Multiplexer type 2, 4 channels #66+\n"
         "      [0]* 1. Sensor type 3 #386\n"
         "      [4]* 2. Sensor type 4 #642\n"},
        {"negative channel count", 1, 4, 0, 0, -3, 0, 0, 0,
         "[7] 1. PCI board #1+\n"
         "  [7]Front end type 3 #33+\n"},
    };
    for (const TreeCase& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceSlot slot;
        ASSERT_TRUE(slot.requestBlock.allocate());
        slot.block()->HardwareWord = c.hardwareWord;
        slot.configurationWord = c.flags;
        setImageU16(slot.configuration.data() + kInterfaceImageArea, 0, c.interfaceFirstWord);
        setImageU16(slot.configuration.data() + kMuxImageArea, 0, c.muxFirstWord);
        HWConfigurationEx2Record record{};
        record.interfaceType = c.interfaceType;
        record.frontEndType = 3;
        record.muxType = c.muxType;
        record.channelCount = c.channelCount;
        // Channel c carries sensor type c + 2.
        const auto sensor = [](int32_t channel) { return static_cast<uint16_t>(channel + 2); };
        EXPECT_EQ(render(BuildInterfaceItem(c.id, record, slot, sensor)), c.tree);
    }
}

TEST(InformationDialogTree, ChannelCountIsCappedAtTheRecordsEntries) {
    DeviceSlot slot;
    ASSERT_TRUE(slot.requestBlock.allocate());
    HWConfigurationEx2Record record{};
    record.interfaceType = 4;
    record.channelCount = 40;
    int32_t highest = 0;
    const TreeItem item = BuildInterfaceItem(3, record, slot, [&](int32_t c) {
        highest = std::max(highest, c);
        return uint16_t{1};
    });
    EXPECT_EQ(highest, 16);
    EXPECT_EQ(item.children.at(0).children.size(), 16u);
}

struct LinesCase {
    const char* name;
    int32_t parameter;
    uint32_t flags;
    uint16_t frontEndType, clock, logicVersion;
    uint32_t muxType;
    uint8_t serialMux;
    const char* lines; // joined by "|"
};

class InformationDialogTest : public TarvikTest {};

TEST_F(InformationDialogTest, InformationLinesOfEachItemKind) {
#define HEADER                                                                                     \
    "Assembly: 5, Image Version: 3|Version: 1.2|Serial Number: 4711|PLD Version (E): 2.05"
#define KRD_TAIL "Baudrate: 115200 baud|No parity, 8 data bits, 1 stop bit, No handshake"
    const LinesCase cases[] = {
        {"interface, logic version from the image", 1, 0x1, 0, 0, 0, 0, 0,
         "Assembly: 5, Image Version: 3|Version: 1.2, \u00B5C Firmware Version: 1.00|"
         "Serial Number: 4711|PLD Version (E): 2.05|FIFO Size: 2048|"
         "Integrationtime base: 24.00 MHz"},
        {"interface, logic version from the board", 1, 0x1, 0, 0, 204, 0, 0,
         "Assembly: 5, Image Version: 3|Version: 1.2, \u00B5C Firmware Version: 1.00|"
         "Serial Number: 4711|PLD Version: 2.04|FIFO Size: 2048|Integrationtime base: 24.00 MHz"},
        {"interface without a valid image", 1, 0x4 | 0x8, 0, 0, 0, 0, 0, ""},
        {"front end without a clock", 0x21, 0x4, 7, 2000, 0, 0, 0, HEADER},
        {"front end, clock in kHz", 0x21, 0x4, 11, 999, 0, 0, 0,
         HEADER "|ZTK Master Clock: 999 kHz"},
        {"front end, clock in MHz", 0x21, 0x4, 9, 1000, 0, 0, 0,
         HEADER "|ZTK Master Clock: 1.00 MHz"},
        {"front end without a valid image", 0x21, 0x1, 11, 999, 0, 0, 0, ""},
        {"MUX-KRD", 0x41, 0x8, 0, 0, 0, 7, 0x23, "Port: COM3|Assembly: 1x4|" KRD_TAIL},
        {"MUX-KRD, unknown assembly", 0x41, 0x8, 0, 0, 0, 7, 0x51,
         "Port: COM1|Assembly: ?|" KRD_TAIL},
        {"MUX-KRL", 0x41, 0x8, 0, 0, 0, 9, 0x6F,
         "Port: COM15|Assembly: eol 2x2|Baudrate: 57600 baud|"
         "No parity, 8 data bits, 1 stop bit, No handshake"},
        {"multiplexer with an image", 0x41, 0x8, 0, 0, 0, 2, 0, HEADER},
        {"module position without a module", 0x321, 0xF, 0, 0, 0, 0, 0, ""},
    };
#undef HEADER
#undef KRD_TAIL
    namespace f = image_field;
    for (const LinesCase& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceSlot& s = addSlot(1, kTypeUsb);
        s.configurationWord = c.flags;
        for (size_t area : {kInterfaceImageArea, kFrontEndImageArea, kMuxImageArea}) {
            uint8_t* image = s.configuration.data() + area;
            setImageU16(image, f::kAssembly, 0x3005);
            setImageU16(image, f::kHardwareVersion, 12);
            setImageU16(image, f::kSerialNumber, 4711);
            setImageU16(image, f::kLogicVersion, 205);
        }
        setImageU16(s.configuration.data(), f::kFifoSize, 2048);
        setImageF32(s.configuration.data(), f::kIntegrationBase, 24000000.0f);
        s.configuration[f::kSerialMuxConfig] = c.serialMux;
        setImageU16(s.configuration.data() + kFrontEndImageArea, f::kType, c.frontEndType);
        setImageU16(s.configuration.data() + kFrontEndImageArea, f::kClockValue, c.clock);
        s.actualConfiguration.muxType = c.muxType;
        s.block()->HardwareWord = 0x1064;
        s.block()->FirmwareVersion = c.logicVersion;

        CMeinDialog dialog;
        dialog.OnTreeSelChanged(c.parameter);
        std::string lines;
        for (const std::string& line : dialog.fields().information) {
            lines += (lines.empty() ? "" : "|") + line;
        }
        EXPECT_EQ(lines, c.lines);
        ASSERT_EQ(FreeDeviceSlot(1), 0);
        --state().openInterfaces;
    }
}

TEST_F(InformationDialogTest, FailedSensorReadAndVersions) {
    DeviceSlot& s = addSlot(1, kTypeUsb);
    s.block()->DriverVersion = 1015;
    CMeinDialog dialog;
    dialog.OnTreeSelChanged(1 + 0x20 + 3 * 0x100); // module 3: channel 3
    const info::Fields& f = dialog.fields();
    EXPECT_EQ(f.channel, "3");
    EXPECT_EQ(dialog.selectedChannel(), 3);
    EXPECT_EQ(f.sensorType, "NOT AVAILABLE");
    EXPECT_EQ(f.sensorSize, "NOT AVAILABLE");
    for (const std::string& c : f.coefficients) {
        EXPECT_EQ(c, "NOT AVAILABLE");
    }
    EXPECT_EQ(f.versionLabel + " " + f.versionValue, "Driver version 1.015");
    EXPECT_EQ(f.libraryVersion, "?"); // the test program carries no version record

    s.boardType = kTypeSerial;
    s.qre.blocks = std::make_unique<QreSlotBlocks>();
    s.qre.setFirmwareVersion(314);
    dialog.OnTreeSelChanged(1);
    EXPECT_EQ(f.channel, "1");
    EXPECT_EQ(f.versionLabel + " " + f.versionValue, "Firmware version 3.14");
}

// The module's sensor reads wait on the clock. The library's threads wait on
// it too, so it comes before the boards open and goes after they closed.
class InformationDialogBoardsOnAVirtualClock : public InformationDialogBoards {
protected:
    platform::VirtualClock clock;
    const platform::ScopedClock scoped{clock};
};

TEST_F(InformationDialogBoardsOnAVirtualClock, TreeAndTextsOfTheBoards) {
    CMeinDialog dialog;
    dialog.OnInitDialog();
    ASSERT_EQ(dialog.tree().size(), 2u);
    EXPECT_EQ(render(dialog.tree()[0]), "[0]* 1. USB board V1 #1+\n"
                                        "  [0]*Front end type 7 with cooled detector board #33+\n"
                                        "    [0]*Optical multiplexer MUX-7WEN, 2 channels #65+\n"
                                        "      [0]* 1. Sensor type 7 #385\n"
                                        "      [0]* 2. Sensor type 7 #641\n"
                                        "  [0] 1. Lamp module #289\n"
                                        "  [0] 2. Flash module #545\n");
    EXPECT_EQ(render(dialog.tree()[1]), "[0]* 2. USB board V1 #2+\n"
                                        "  [0]*Front end type 11 with cooled detector board #34+\n"
                                        "    [0]*Sensor type 7 #386\n");
    EXPECT_EQ(dialog.selection(), 2); // the handler ran for the last interface
    EXPECT_EQ(dialog.fields().versionValue, "1.015");

    dialog.select(1 + 0x80 + 2 * 0x100);
    const info::Fields& f = dialog.fields();
    EXPECT_EQ(f.channel, "2");
    EXPECT_EQ(f.sensorType, "Sensor type 7, technology 3");
    EXPECT_EQ(f.sensorSize, "1044 pixels");
    EXPECT_EQ(f.coefficients[0], "300.0000000");
    EXPECT_EQ(f.coefficients[1], "0.5000000000");
    EXPECT_EQ(f.coefficients[4], "0.000000000");
    EXPECT_EQ(f.information, std::vector<std::string>{"Physical Sensor Rows: 1"});

    dialog.select(1 + 0x20 + 0x100);
    ASSERT_EQ(f.information.size(), 5u);
    EXPECT_EQ(f.information[0].rfind("Type: Lamp module", 0), 0u);
    EXPECT_EQ(f.information[3], "T os: 80 \u00B0C");

    dialog.select(2 + 0x80 + 0x100);
    EXPECT_EQ(f.information,
              (std::vector<std::string>{"Physical Sensor Rows: 64", "PLD Version: 1.2"}));
}

} // namespace
} // namespace tarvik::testing
