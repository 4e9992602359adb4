// The information dialog's model without a GUI: the tree of an interface, the
// texts of a selection, and the dialog run by the configuration read.

#include "support/tarvik_test.h"

#include "core/information_dialog.h"
#include "core/library_state.h"
#include "hardware/actual_configuration.h"
#include "hardware/eeprom_image.h"

#include "dorvel/hardware_texts.h"
#include "platform/clock.h"
#include "platform/device.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace tarvik::testing {
namespace {

using info::TreeItem;

std::string interfaceText(int16_t type) {
    return dorvel::CHardwareTexts().GetInterfaceText(type);
}
std::string muxText(int16_t type) {
    return dorvel::CHardwareTexts().GetMultiplexerText(type);
}
std::string sensorText(int16_t type) {
    return dorvel::CHardwareTexts().GetSensorText(type);
}

struct TreeCase {
    const char* name;
    int32_t id;
    uint16_t interfaceType;
    uint16_t hardwareWord;
    int16_t muxType;
    int16_t channelCount;
    uint32_t flags;
    uint16_t interfaceFirstWord;
    uint16_t muxFirstWord;
    // Expected.
    std::string interfaceText;
    int interfaceImage;
    std::string muxItemText; // empty: no multiplexer item
    std::vector<std::string> channelTexts;
    std::vector<int> channelImages;
};

// Channel c carries sensor type c + 2.
uint16_t sensorOfChannel(int32_t c) {
    return static_cast<uint16_t>(c + 2);
}

TEST(InformationDialogTree, ItemsTextsAndImages) {
    const std::string s3 = sensorText(3);
    const std::string s4 = sensorText(4);
    const TreeCase cases[] = {
        {"one-digit ID, generation 0 as 1",
         1,
         6,
         0x0064,
         0,
         1,
         0x5,
         0,
         0,
         " 1. " + interfaceText(6) + "V1",
         0,
         "",
         {s3},
         {7}},
        {"two-digit ID, generation 2",
         10,
         6,
         0x2064,
         0,
         1,
         0x5,
         0,
         0,
         "10. " + interfaceText(6) + "V2",
         0,
         "",
         {s3},
         {7}},
        {"no generation but for USB boards",
         1,
         4,
         0x2064,
         0,
         0,
         0,
         0,
         0,
         " 1. " + interfaceText(4),
         7,
         "",
         {},
         {}},
        {"interface image not readable",
         1,
         4,
         0,
         0,
         0,
         0,
         kImageFailedMark,
         0,
         " 1. " + interfaceText(4),
         2,
         "",
         {},
         {}},
        {"multiplexer image not readable, type 0",
         1,
         4,
         0,
         0,
         2,
         0,
         0,
         kImageFailedMark,
         " 1. " + interfaceText(4),
         7,
         muxText(0),
         {s3, s4},
         {7, 7}},
        {"serial multiplexer MUX-KRL numbers its channels",
         1,
         4,
         0,
         9,
         2,
         0,
         0,
         0,
         " 1. " + interfaceText(4),
         7,
         "MUX-KRL",
         {" 1. " + s3, " 2. " + s4},
         {7, 7}},
        {"channel unlike the first",
         1,
         4,
         0,
         2,
         2,
         0x20 | 0x100,
         0,
         0,
         " 1. " + interfaceText(4),
         7,
         muxText(2),
         {" 1. " + s3, " 2. " + s4},
         {0, 4}},
        {"negative channel count",
         1,
         4,
         0,
         2,
         -3,
         0,
         0,
         0,
         " 1. " + interfaceText(4),
         7,
         muxText(2),
         {},
         {}},
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

        const TreeItem item = BuildInterfaceItem(c.id, record, slot, sensorOfChannel);
        EXPECT_EQ(item.text, c.interfaceText);
        EXPECT_EQ(item.parameter, c.id);
        EXPECT_EQ(item.image, c.interfaceImage);
        EXPECT_EQ(item.checked, (c.flags & 1) != 0);
        ASSERT_EQ(item.children.size(), 1u);
        const TreeItem& frontEnd = item.children[0];
        EXPECT_EQ(frontEnd.parameter, c.id + 0x20);
        const TreeItem* channelParent = &frontEnd;
        if (!c.muxItemText.empty()) {
            ASSERT_FALSE(frontEnd.children.empty());
            const TreeItem& mux = frontEnd.children[0];
            EXPECT_EQ(mux.text, c.muxItemText);
            EXPECT_EQ(mux.parameter, c.id + 0x40);
            EXPECT_EQ(mux.expanded, c.muxType > 0);
            if (c.muxType > 0) {
                channelParent = &mux;
            }
        }
        std::vector<std::string> texts;
        std::vector<int> images;
        for (const TreeItem& child : channelParent->children) {
            if ((child.parameter & 0xF0) == 0x80) {
                texts.push_back(child.text);
                images.push_back(child.image);
                EXPECT_EQ(child.parameter,
                          c.id + 0x80 + static_cast<int32_t>(texts.size()) * 0x100);
            }
        }
        EXPECT_EQ(texts, c.channelTexts);
        EXPECT_EQ(images, c.channelImages);
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

class InformationDialogTest : public TarvikTest {
protected:
    // A slot whose images and request block the selection handler reads.
    DeviceSlot& slot(uint32_t type = kTypeUsb) {
        DeviceSlot& s = addSlot(1, type);
        return s;
    }
    static uint8_t* image(DeviceSlot& s, size_t area) { return s.configuration.data() + area; }

    static void headerWords(uint8_t* image) {
        namespace f = image_field;
        setImageU16(image, f::kAssembly, 0x3005);
        setImageU16(image, f::kHardwareVersion, 12);
        setImageU16(image, f::kSerialNumber, 4711);
        setImageU16(image, f::kLogicVersion, 205);
    }

    std::vector<std::string> select(int32_t parameter) {
        CMeinDialog dialog;
        dialog.OnTreeSelChanged(parameter);
        return dialog.fields().information;
    }
};

struct LinesCase {
    const char* name;
    int32_t parameter;
    std::function<void(DeviceSlot&)> prepare;
    std::vector<std::string> lines;
};

TEST_F(InformationDialogTest, InformationLinesOfEachItemKind) {
    namespace f = image_field;
    const std::vector<std::string> header{"Assembly: 5, Image Version: 3", "Version: 1.2",
                                          "Serial Number: 4711", "PLD Version (E): 2.05"};
    const auto interfaceImage = [](DeviceSlot& s, uint16_t logicVersion) {
        s.configurationWord = kConfigInterfaceImage;
        uint8_t* i = image(s, kInterfaceImageArea);
        headerWords(i);
        setImageU16(i, f::kFifoSize, 2048);
        setImageF32(i, f::kIntegrationBase, 24000000.0f);
        s.block()->HardwareWord = 0x1064;
        s.block()->FirmwareVersion = logicVersion;
    };
    const auto frontEnd = [](uint16_t type, uint16_t clock) {
        return [=](DeviceSlot& s) {
            s.configurationWord = kConfigFrontEndImage;
            headerWords(image(s, kFrontEndImageArea));
            setImageU16(image(s, kFrontEndImageArea), f::kType, type);
            setImageU16(image(s, kFrontEndImageArea), f::kClockValue, clock);
        };
    };
    const auto serialMux = [](uint32_t type, uint8_t config) {
        return [=](DeviceSlot& s) {
            s.configurationWord = kConfigMuxImage;
            s.actualConfiguration.muxType = type;
            s.configuration[kInterfaceImageArea + f::kSerialMuxConfig] = config;
        };
    };
    const std::string pld = "PLD Version (E): 2.05";
    const LinesCase cases[] = {
        {"interface, logic version from the image",
         1,
         [&](DeviceSlot& s) { interfaceImage(s, 0); },
         {"Assembly: 5, Image Version: 3", "Version: 1.2, \u00B5C Firmware Version: 1.00",
          "Serial Number: 4711", pld, "FIFO Size: 2048", "Integrationtime base: 24.00 MHz"}},
        {"interface, logic version from the board",
         1,
         [&](DeviceSlot& s) { interfaceImage(s, 204); },
         {"Assembly: 5, Image Version: 3", "Version: 1.2, \u00B5C Firmware Version: 1.00",
          "Serial Number: 4711", "PLD Version: 2.04", "FIFO Size: 2048",
          "Integrationtime base: 24.00 MHz"}},
        {"interface without a valid image",
         1,
         [](DeviceSlot& s) { headerWords(image(s, kInterfaceImageArea)); },
         {}},
        {"front end without a clock", 0x21, frontEnd(7, 2000), header},
        {"front end, clock in kHz",
         0x21,
         frontEnd(11, 999),
         {header[0], header[1], header[2], header[3], "ZTK Master Clock: 999 kHz"}},
        {"front end, clock in MHz",
         0x21,
         frontEnd(9, 1000),
         {header[0], header[1], header[2], header[3], "ZTK Master Clock: 1.00 MHz"}},
        {"front end without a valid image",
         0x21,
         [](DeviceSlot& s) { headerWords(image(s, kFrontEndImageArea)); },
         {}},
        {"MUX-KRD",
         0x41,
         serialMux(7, 0x23),
         {"Port: COM3", "Assembly: 1x4", "Baudrate: 115200 baud",
          "No parity, 8 data bits, 1 stop bit, No handshake"}},
        {"MUX-KRD, unknown assembly",
         0x41,
         serialMux(7, 0x51),
         {"Port: COM1", "Assembly: ?", "Baudrate: 115200 baud",
          "No parity, 8 data bits, 1 stop bit, No handshake"}},
        {"MUX-KRL",
         0x41,
         serialMux(9, 0x6F),
         {"Port: COM15", "Assembly: eol 2x2", "Baudrate: 57600 baud",
          "No parity, 8 data bits, 1 stop bit, No handshake"}},
        {"multiplexer with an image", 0x41,
         [](DeviceSlot& s) {
             s.configurationWord = kConfigMuxImage;
             s.actualConfiguration.muxType = 2;
             headerWords(image(s, kMuxImageArea));
         },
         header},
        {"module position without a module", 0x321, [](DeviceSlot&) {}, {}},
    };
    for (const LinesCase& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceSlot& s = slot();
        c.prepare(s);
        EXPECT_EQ(select(c.parameter), c.lines);
        ASSERT_EQ(FreeDeviceSlot(1), 0);
        --state().openInterfaces;
    }
}

TEST_F(InformationDialogTest, FailedSensorReadAndVersions) {
    DeviceSlot& s = slot();
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
    EXPECT_EQ(f.versionLabel, "Driver version");
    EXPECT_EQ(f.versionValue, "1.015");
    // The test program carries no version record.
    EXPECT_EQ(f.libraryVersion, "?");

    s.boardType = kTypeSerial;
    s.qre.blocks = std::make_unique<QreSlotBlocks>();
    s.qre.setFirmwareVersion(314);
    dialog.OnTreeSelChanged(1);
    EXPECT_EQ(f.channel, "1");
    EXPECT_EQ(f.versionLabel, "Firmware version");
    EXPECT_EQ(f.versionValue, "3.14");
}

// Simulated boards through the request-block driver: board 1 with two
// channels behind a multiplexer and a lamp module, board 2 without one.
class InformationDialogBoardTest : public TarvikTest {
protected:
    void SetUp() override {
        const std::string setup = (roots.user.path() / "sim.ini").string();
        std::ofstream(setup) << "[board mux]\nusb_board = 0\nboard_id = 1\nmux_image = 2\n"
                                "mux_assembly = 6\nlight_sources = 0x40:lamp0\n"
                                "[board plain]\nusb_board = 0\nboard_id = 2\n"
                                "driver_version = 1015\n";
        ::setenv("VELDON_DRIVER_PATH", VELDON_SIM_DRIVER, 1);
        ::setenv("VELDON_SIMULATION", setup.c_str(), 1);
        TarvikTest::SetUp();
        for (uint32_t id = 1; id <= 2; ++id) {
            ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(0, KORAL_INTERFACE_USB, id), 0);
            ASSERT_EQ(KORAL_InitializeOperationElectronics(0, id), 0);
        }
        // Both channels of the multiplexer in use.
        ASSERT_EQ(KORAL_ParaSetMUXMode(2, 2, 1), 0);
    }
    void TearDown() override {
        setInformationDialogPresenter(nullptr);
        for (uint32_t id = 1; id <= 2; ++id) {
            KORAL_CloseOperationElectronics(id);
        }
        TarvikTest::TearDown();
        EXPECT_TRUE(platform::shutdownDevices());
        ::unsetenv("VELDON_DRIVER_PATH");
        ::unsetenv("VELDON_SIMULATION");
    }
};

TEST_F(InformationDialogBoardTest, TreeAndSensorFieldsOfTheBoards) {
    // The module's sensor reads wait on the clock.
    platform::VirtualClock clock;
    const platform::ScopedClock scoped(clock);
    CMeinDialog dialog;
    dialog.OnInitDialog();
    const auto& tree = dialog.tree();
    ASSERT_EQ(tree.size(), 2u);
    EXPECT_EQ(dialog.selection(), 2); // the last interface
    const TreeItem& first = tree[0];
    EXPECT_EQ(first.text, " 1. " + interfaceText(6) + "V1");
    ASSERT_GE(first.children.size(), 2u);
    const TreeItem& mux = first.children[0].children.at(0);
    EXPECT_EQ(mux.parameter, 0x41);
    ASSERT_EQ(mux.children.size(), 2u);
    EXPECT_EQ(mux.children[1].text, " 2. " + sensorText(7));
    EXPECT_EQ(mux.children[1].image, info::kImageValid);
    EXPECT_EQ(first.children.back().parameter, 1 + 0x20 + 0x100);
    EXPECT_EQ(first.children.back().text, " 1. Lamp module");
    // Board 2: its channel under the front end, without a number.
    ASSERT_EQ(tree[1].children.at(0).children.size(), 1u);
    EXPECT_EQ(tree[1].children[0].children[0].text, sensorText(7));
    EXPECT_EQ(dialog.fields().versionValue, "1.015");

    dialog.select(1 + 0x80 + 2 * 0x100);
    const info::Fields& f = dialog.fields();
    EXPECT_EQ(f.channel, "2");
    EXPECT_EQ(f.sensorType, dorvel::GetSensorTypeText(7));
    EXPECT_EQ(f.sensorSize, dorvel::GetSensorLengthText(1044));
    EXPECT_EQ(f.coefficients[0], "300.0000000");
    EXPECT_EQ(f.coefficients[1], "0.5000000000");
    EXPECT_EQ(f.coefficients[4], "0.000000000");
    // Sensor type 7 is of technology 3.
    ASSERT_FALSE(f.information.empty());
    EXPECT_EQ(f.information[0], "Physical Sensor Rows: 1");

    dialog.select(1 + 0x20 + 0x100);
    ASSERT_EQ(f.information.size(), 5u);
    EXPECT_EQ(f.information[0].rfind("Type: ", 0), 0u);
    EXPECT_EQ(f.information[2].rfind("Temperature: ", 0), 0u);
    EXPECT_EQ(f.information[3], "T os: 80 \u00B0C");
}

class RecordingPresenter : public InformationDialogPresenter {
public:
    void run(info::Model& model) override {
        ++runs;
        text = describeInformationDialog(model);
        recordError(9, 9, 9, 9); // the dialog's failures stay inside
    }
    int runs = 0;
    std::string text;
};

TEST_F(InformationDialogBoardTest, ConfigurationReadShowsTheDialogInModesOneAndTwo) {
    auto presenter = std::make_shared<RecordingPresenter>();
    setInformationDialogPresenter(presenter);
    uint32_t values[7];
    for (uint32_t mode : {0u, 1u, 2u, 3u}) {
        EXPECT_GE(KORAL_GetActualConfiguration(mode, values, 1), 0);
    }
    EXPECT_EQ(presenter->runs, 2);
    EXPECT_NE(record().level, 9);
    EXPECT_NE(presenter->text.find("Hardware Configuration\n"), std::string::npos);
    EXPECT_NE(presenter->text.find("> [3]  2. "), std::string::npos) << presenter->text;
}

} // namespace
} // namespace tarvik::testing
