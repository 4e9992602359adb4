#include "core/information_dialog.h"

#include "core/last_error.h"
#include "core/library_state.h"
#include "core/locks.h"
#include "hardware/actual_configuration.h"
#include "hardware/cooled_board.h"
#include "hardware/eeprom_image.h"
#include "hardware/light_source_module.h"

#include "dorvel/hardware_texts.h"
#include "platform/version_info.h"

#include <dlfcn.h>

#include <algorithm>
#include <clocale>
#include <cstdarg>
#include <filesystem>
#include <fstream>
#include <locale.h>
#include <mutex>
#include <utility>

namespace tarvik {
namespace {

constexpr char kNotAvailable[] = "NOT AVAILABLE";
constexpr size_t kItemTextLength = 60;
constexpr size_t kHardwareTextBuffer = 255;
constexpr int32_t kMaxChannels = 16; // entries of the HWConfigurationEx2Record
constexpr uint8_t kMuxKrd = 7;
constexpr uint8_t kMuxKrl = 9;

enum ItemKind : int32_t { kInterfaceItem = 0, kFrontEndItem = 2, kMuxItem = 4, kChannelItem = 8 };

// printf in the C locale, whatever locale a Qt client has set.
[[gnu::format(printf, 1, 2)]] std::string format(const char* pattern, ...) {
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t{});
    const locale_t previous = uselocale(cLocale);
    char buffer[256];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(buffer, sizeof buffer, pattern, args);
    va_end(args);
    uselocale(previous);
    return buffer;
}

// A hardware text as the dialog copies it into its 255-byte buffer.
std::string hardwareText(const char* text) {
    return text == nullptr ? std::string() : std::string(text).substr(0, kHardwareTextBuffer - 1);
}

// Cut to the item length, never inside a UTF-8 sequence.
std::string itemText(std::string text) {
    if (text.size() > kItemTextLength) {
        size_t end = kItemTextLength;
        while (end > 0 && (static_cast<uint8_t>(text[end]) & 0xC0u) == 0x80u) {
            --end;
        }
        text.resize(end);
    }
    return text;
}

uint16_t word(const uint8_t* image, size_t offset) {
    return imageU16(image, offset);
}

// Image 0 for a valid image, 2 for one that could not be read, else 7.
int itemImage(uint32_t flags, uint32_t bit, const uint8_t* image) {
    if ((flags & bit) != 0) {
        return info::kImageValid;
    }
    return word(image, 0) == kImageFailedMark ? info::kImageUnread : info::kImageConfigured;
}

unsigned boardGenerationOf(const DeviceSlot& slot) {
    const DeviceRequestBlock* block = slot.block();
    const unsigned generation = block == nullptr ? 0u : boardGeneration(*block);
    return generation == 0 ? 1u : generation;
}

// The first four lines of a front-end or multiplexer image.
void headerLines(const uint8_t* image, std::array<std::string, 8>& lines) {
    namespace f = image_field;
    const uint16_t assembly = word(image, f::kAssembly);
    lines[0] = format("Assembly: %u, Image Version: %u", assembly & 0x0FFFu, assembly >> 12u);
    lines[1] = format("Version: %.1f", word(image, f::kHardwareVersion) / 10.0);
    lines[2] = format("Serial Number: %u", word(image, f::kSerialNumber));
    lines[3] = format("PLD Version (E): %.2f", word(image, f::kLogicVersion) / 100.0);
}

std::string muxAssemblyText(uint32_t muxType, unsigned code) {
    static constexpr std::array<const char*, 4> kKrd{"1x3", "1x4", "1x6", "1x9"};
    static constexpr std::array<const char*, 6> kKrl{"eol 1x2",  "eol 1x4",  "eol 1x8",
                                                     "eol 1x12", "eol 1x16", "eol 2x2"};
    if (muxType == kMuxKrd && code >= 1 && code <= kKrd.size()) {
        return std::string("Assembly: ") + kKrd[code - 1];
    }
    if (muxType == kMuxKrl && code >= 1 && code <= kKrl.size()) {
        return std::string("Assembly: ") + kKrl[code - 1];
    }
    return "Assembly: ?";
}

std::mutex& presenterMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<InformationDialogPresenter>& installedPresenter() {
    static std::shared_ptr<InformationDialogPresenter> presenter;
    return presenter;
}

// The Qt presenter's entry, loaded once; null when the library is missing.
info::RunDialogFunction loadQtPresenter() {
    namespace fs = std::filesystem;
    const std::string self = platform::modulePath(reinterpret_cast<const void*>(&loadQtPresenter));
    std::vector<std::string> candidates;
    if (!self.empty()) {
        // Beside the module with the library's code; for a program that
        // carries that code itself, also in the lib directory beside its bin.
        const fs::path directory = fs::path(self).parent_path();
        candidates.push_back((directory / info::kUiLibraryName).string());
        candidates.push_back((directory.parent_path() / "lib" / info::kUiLibraryName).string());
    }
    candidates.emplace_back(info::kUiLibraryName);
    for (const std::string& file : candidates) {
        // Never closed: a library with Qt objects cannot be unloaded safely.
        if (void* library = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL)) {
            return reinterpret_cast<info::RunDialogFunction>(
                dlsym(library, info::kRunDialogSymbol));
        }
    }
    return nullptr;
}

// Shows the dialog with Qt when the process runs Qt widgets; false when it
// was not shown.
bool runQtPresenter(info::Model& model) {
    void* widgets = dlopen("libQt6Widgets.so.6", RTLD_LAZY | RTLD_NOLOAD);
    if (widgets == nullptr) {
        return false;
    }
    dlclose(widgets);
    static const info::RunDialogFunction run = loadQtPresenter();
    return run != nullptr && run(&model) == 1;
}

void describeItems(const std::vector<info::TreeItem>& items, int32_t selection, int depth,
                   std::string& out) {
    for (const info::TreeItem& item : items) {
        out += std::string(static_cast<size_t>(depth) * 2, ' ');
        const bool selected = item.parameter == selection;
        out += selected ? "> " : "  ";
        out += format("[%d] ", selected ? info::kImageSelected : item.image) + item.text + "\n";
        describeItems(item.children, selection, depth + 1, out);
    }
}

} // namespace

CMeinDialog::CMeinDialog() {
    sensor_.size = sizeof(SensorParamsEx2Record);
}

void CMeinDialog::OnInitDialog() {
    std::lock_guard guard(deviceLock());
    HWConfigurationEx2Record record{};
    record.size = sizeof(HWConfigurationEx2Record);
    const uint32_t box = errorBoxFlag();
    setErrorBoxFlag(0);
    for (int32_t id = 1; id <= kMaxInterfaceId; ++id) {
        if (deviceSlot(id) != nullptr) {
            addInterface(id, record);
        }
    }
    setErrorBoxFlag(box);
}

void CMeinDialog::addInterface(int32_t id, HWConfigurationEx2Record& record) {
    (void)KORAL_HWConfig_ParaGetHWConfigurationEx2(0, &record, static_cast<uint32_t>(id));
    const DeviceSlot* slot = deviceSlot(id);
    if (slot == nullptr) {
        return;
    }
    tree_.push_back(BuildInterfaceItem(id, record, *slot, [&](int32_t c) {
        const bool read = KORAL_HWConfig_GetSensorParamsEx2(0, &sensor_, c, id) == 0;
        return read ? sensor_.sensorType : record.channel[c - 1].sensorType;
    }));
    OnTreeSelChanged(id);
}

info::TreeItem BuildInterfaceItem(int32_t id, const HWConfigurationEx2Record& record,
                                  const DeviceSlot& slot,
                                  const std::function<uint16_t(int32_t)>& channelSensorType) {
    const dorvel::CHardwareTexts texts;
    const uint32_t flags = slot.configurationWord;
    const uint8_t* images = slot.configuration.data();

    info::TreeItem interfaceItem;
    interfaceItem.text =
        format("%2d. ", id) +
        hardwareText(texts.GetInterfaceText(static_cast<int16_t>(record.interfaceType)));
    if (record.interfaceType == kTypeUsb) {
        interfaceItem.text += format("V%u", boardGenerationOf(slot));
    }
    interfaceItem.parameter = id;
    interfaceItem.image = itemImage(flags, kConfigInterfaceImage, images + kInterfaceImageArea);
    interfaceItem.checked = (flags & kConfigInterfaceImage) != 0;
    interfaceItem.expanded = true;

    info::TreeItem frontEnd;
    frontEnd.text = hardwareText(texts.GetFrontEndText(record.frontEndType));
    frontEnd.parameter = id + 0x20;
    frontEnd.image = itemImage(flags, kConfigFrontEndImage, images + kFrontEndImageArea);
    frontEnd.checked = (flags & kConfigFrontEndImage) != 0;
    frontEnd.expanded = true;

    const bool hasMux = record.muxType > 0;
    if (hasMux || word(images + kMuxImageArea, 0) == kImageFailedMark) {
        info::TreeItem mux;
        mux.text = record.muxType == kMuxKrl
                       ? std::string("MUX-KRL")
                       : hardwareText(texts.GetMultiplexerText(record.muxType));
        mux.parameter = id + 0x40;
        mux.image = itemImage(flags, kConfigMuxImage, images + kMuxImageArea);
        mux.checked = (flags & kConfigMuxImage) != 0;
        mux.expanded = hasMux;
        frontEnd.children.push_back(std::move(mux));
    }

    // Bit 5: the channels come from images; bits 8.. : channel like the first.
    constexpr uint32_t kChannelsFromImages = 0x20;
    const int32_t channels = std::clamp<int32_t>(record.channelCount, 0, kMaxChannels);
    for (int32_t c = 1; c <= channels; ++c) {
        const uint16_t type = channelSensorType(c);
        info::TreeItem channel;
        channel.text = (hasMux ? format("%2d. ", c) : std::string()) +
                       hardwareText(texts.GetSensorText(static_cast<int16_t>(type)));
        channel.parameter = id + 0x80 + c * 0x100;
        if ((flags & kChannelsFromImages) == 0) {
            channel.image = info::kImageConfigured;
        } else {
            const bool likeFirst = ((flags >> (8 + c - 1)) & 1u) != 0;
            channel.image = likeFirst ? info::kImageValid : info::kImageDiffers;
        }
        channel.checked = (flags & kChannelsFromImages) != 0;
        (hasMux ? frontEnd.children.front() : frontEnd).children.push_back(std::move(channel));
    }
    interfaceItem.children.push_back(std::move(frontEnd));

    const int32_t positions =
        std::min<int32_t>(slot.componentCount, static_cast<int32_t>(kComponentPositions) - 1);
    for (int32_t m = 1; m <= positions; ++m) {
        info::TreeItem module;
        module.text = format("%2d. ", m);
        if (const CLightSourceModule* lightSource = componentAt(slot, m)) {
            module.text += lightSource->GetModuleNameText();
        }
        module.parameter = id + 0x20 + m * 0x100;
        module.image = info::kImageValid;
        interfaceItem.children.push_back(std::move(module));
    }

    const auto cut = [](auto& self, info::TreeItem& item) -> void {
        item.text = itemText(std::move(item.text));
        for (info::TreeItem& child : item.children) {
            self(self, child);
        }
    };
    cut(cut, interfaceItem);
    return interfaceItem;
}

void CMeinDialog::OnTreeSelChanged(int32_t p) {
    std::lock_guard guard(deviceLock());
    selection_ = p;
    int32_t id = 0;
    if (p > 0) {
        id = p & 0x0F;
        const int32_t kind = (p >> 4) & 0x0F;
        const int32_t index = p >> 8;
        selectedChannel_ = std::max(index, 1);
        // The dialog reports nothing: every call of the handler has the box off.
        const ErrorBoxOff boxOff;
        const int32_t read = KORAL_HWConfig_GetSensorParamsEx2(0, &sensor_, selectedChannel_, id);
        lines_.fill(std::string());
        fields_.channel = format("%ld", static_cast<long>(selectedChannel_));
        if (read == 0) {
            fields_.sensorType =
                hardwareText(dorvel::GetSensorTypeText(static_cast<int16_t>(sensor_.sensorType)));
            const std::string length =
                hardwareText(dorvel::GetSensorLengthText(static_cast<int16_t>(sensor_.pixelCount)));
            fields_.sensorSize =
                sensor_.rows > 1
                    ? format("%ld x %s", static_cast<long>(sensor_.rows), length.c_str())
                    : length;
            const std::array<double, 5> c{sensor_.c0, sensor_.c1, sensor_.c2, sensor_.c3,
                                          sensor_.c4};
            for (size_t i = 0; i < c.size(); ++i) {
                fields_.coefficients[i] = format("%#.10G", c[i]);
            }
        } else {
            fields_.sensorType = fields_.sensorSize = kNotAvailable;
            fields_.coefficients.fill(kNotAvailable);
        }
        switch (kind) {
        case kInterfaceItem:
            interfaceLines(id);
            break;
        case kFrontEndItem:
            if (index != 0) {
                moduleLines(id, index);
            } else {
                frontEndLines(id);
            }
            break;
        case kMuxItem:
            muxLines(id);
            break;
        case kChannelItem:
            channelLines(id);
            break;
        default:
            break;
        }
        fields_.information.clear();
        std::copy_if(lines_.begin(), lines_.end(), std::back_inserter(fields_.information),
                     [](const std::string& line) { return !line.empty(); });
    }
    versionFields(id);
    libraryVersionField();
}

void CMeinDialog::interfaceLines(int32_t id) {
    namespace f = image_field;
    const DeviceSlot* slot = deviceSlot(id);
    if (slot == nullptr || (slot->configurationWord & kConfigInterfaceImage) == 0) {
        return;
    }
    const uint8_t* image = slot->configuration.data() + kInterfaceImageArea;
    const DeviceRequestBlock* block = slot->block();
    const uint16_t hardwareWord = block == nullptr ? 0 : block->HardwareWord;
    const uint16_t logic = block == nullptr ? 0 : block->FirmwareVersion;
    const uint16_t assembly = word(image, f::kAssembly);
    lines_[0] = format("Assembly: %u, Image Version: %u", assembly & 0x0FFFu, assembly >> 12u);
    lines_[1] = format("Version: %.1f, \u00B5C Firmware Version: %.2f",
                       word(image, f::kHardwareVersion) / 10.0, (hardwareWord & 0x0FFFu) / 100.0);
    lines_[2] = format("Serial Number: %u", word(image, f::kSerialNumber));
    lines_[3] = logic > 0 ? format("PLD Version: %.2f", logic / 100.0)
                          : format("PLD Version (E): %.2f", word(image, f::kLogicVersion) / 100.0);
    lines_[4] = format("FIFO Size: %u", word(image, f::kFifoSize));
    lines_[5] = format("Integrationtime base: %.2f MHz",
                       static_cast<double>(imageF32(image, f::kIntegrationBase)) / 1000000.0);
    double temperature = 0.0;
    if ((slot->boardType == kTypeBoard5 || slot->boardType == kTypeUsb2) &&
        KORAL_GetBoardTemperature(static_cast<uint32_t>(id), &temperature) == 0) {
        lines_[6] = format("Actual Board Temperature: %.1f \u00B0C", temperature);
    }
}

void CMeinDialog::frontEndLines(int32_t id) {
    namespace f = image_field;
    const DeviceSlot* slot = deviceSlot(id);
    if (slot == nullptr || (slot->configurationWord & kConfigFrontEndImage) == 0) {
        return;
    }
    const uint8_t* image = slot->configuration.data() + kFrontEndImageArea;
    headerLines(image, lines_);
    const uint16_t type = word(image, f::kType);
    if (type >= 9 && type <= 11) {
        const uint16_t clock = word(image, f::kClockValue);
        lines_[4] = clock < 1000 ? format("ZTK Master Clock: %d kHz", clock)
                                 : format("ZTK Master Clock: %.2f MHz", clock / 1000.0);
    }
}

void CMeinDialog::muxLines(int32_t id) {
    const DeviceSlot* slot = deviceSlot(id);
    if (slot == nullptr || (slot->configurationWord & kConfigMuxImage) == 0) {
        return;
    }
    const uint32_t muxType = slot->actualConfiguration.muxType;
    if (muxType != kMuxKrd && muxType != kMuxKrl) {
        headerLines(slot->configuration.data() + kMuxImageArea, lines_);
        return;
    }
    const uint8_t serial = slot->configuration[kInterfaceImageArea + image_field::kSerialMuxConfig];
    lines_[0] = format("Port: COM%u", serial & 0x0Fu);
    lines_[1] = muxAssemblyText(muxType, serial >> 4u);
    lines_[2] = muxType == kMuxKrd ? "Baudrate: 115200 baud" : "Baudrate: 57600 baud";
    lines_[3] = "No parity, 8 data bits, 1 stop bit, No handshake";
}

void CMeinDialog::moduleLines(int32_t id, int32_t position) {
    const DeviceSlot* slot = deviceSlot(id);
    CLightSourceModule* module = slot == nullptr ? nullptr : componentAt(*slot, position);
    if (module == nullptr) {
        return;
    }
    lines_[0] = "Type: " + module->GetModuleTypeText();
    const uint8_t type = module->GetModuleType();
    if (type == kLampModule || type == kLampModuleWithMemory) {
        lines_[1] = "Assembly: " + module->GetAssemblyText();
        const auto degrees = [&](size_t line, const char* pattern, auto read) {
            uint8_t value = 0;
            if ((module->*read)(&value) == kLsDone) {
                lines_[line] = format(pattern, static_cast<int>(static_cast<int8_t>(value)));
            }
        };
        degrees(2, "Temperature: %d \u00B0C", &CLightSourceModule::ReadActualTemperature);
        degrees(3, "T os: %d \u00B0C", &CLightSourceModule::ReadTos);
        degrees(4, "T hyst: %d \u00B0C", &CLightSourceModule::ReadThyst);
    } else if (type == kFlashModule) {
        lines_[1] = module->IsRemoteParameterized() != 0 ? "Parameterize: remote"
                                                         : "Parameterize: manually";
        uint16_t rate = 0;
        if (module->ReadFlashRate(&rate) == kLsDone) {
            lines_[2] = format("Flash rate: %u ms", rate);
        }
    }
}

void CMeinDialog::channelLines(int32_t id) {
    constexpr int32_t kCooledTechnology = 3;
    if (KORAL_HWConfig_GetSensorTechnology(static_cast<uint32_t>(id), sensor_.sensorType) !=
        kCooledTechnology) {
        return;
    }
    lines_[0] = format("Physical Sensor Rows: %d", sensor_.fourthSensorWord);
    const DeviceSlot* slot = deviceSlot(id);
    if (slot != nullptr && slot->ztkBoard && slot->ztkBoard->IsInitialised()) {
        const uint8_t version = slot->ztkBoard->GetFirmwareVersion();
        if (version > 0) {
            lines_[1] = format("PLD Version: %u.%u", version >> 4u, version & 0x0Fu);
        }
    }
}

void CMeinDialog::versionFields(int32_t id) {
    const DeviceSlot* slot = deviceSlot(id);
    if (slot == nullptr) {
        return;
    }
    if (slot->boardType == kTypeSerial) {
        const unsigned v = slot->qre.firmwareVersion();
        fields_.versionLabel = "Firmware version";
        fields_.versionValue = format("%u.%02u", v / 100, v % 100);
    } else {
        const DeviceRequestBlock* block = slot->block();
        const unsigned v = block == nullptr ? 0u : block->DriverVersion;
        fields_.versionLabel = "Driver version";
        fields_.versionValue = format("%u.%03u", v / 1000, v % 1000);
    }
}

void CMeinDialog::libraryVersionField() {
    const std::string path =
        platform::modulePath(reinterpret_cast<const void*>(&ShowInformationDialog));
    if (path.empty() || !std::ifstream(path).good()) {
        return; // the file cannot be read: the text stays
    }
    const auto version = platform::readVersionInfo(path);
    if (!version) {
        fields_.libraryVersion = "?";
        return;
    }
    const auto& v = version->productVersion;
    fields_.libraryVersion = format("%d.%d.%d.%d", v[0], v[1], v[2], v[3]);
}

std::string describeInformationDialog(const info::Model& model) {
    const info::Fields& f = model.fields();
    std::string out = std::string(info::kCaption) + "\n";
    describeItems(model.tree(), model.selection(), 0, out);
    out += "General Info:\n";
    for (const std::string& line : f.information) {
        out += "  " + line + "\n";
    }
    out += "Channel: " + f.channel + "\nSensor Type: " + f.sensorType +
           "\nSensor Size: " + f.sensorSize + "\n";
    for (size_t i = 0; i < f.coefficients.size(); ++i) {
        out += format("C%zu: ", i) + f.coefficients[i] + "\n";
    }
    out += f.versionLabel + ": " + f.versionValue + "\n";
    out += std::string(info::kLibraryVersionLabel) + " " + f.libraryVersion + "\n";
    return out;
}

void ConsoleDialogPresenter::run(info::Model& model) {
    const std::string text = describeInformationDialog(model);
    std::fputs(text.c_str(), out_);
    std::fflush(out_);
}

std::shared_ptr<InformationDialogPresenter>
setInformationDialogPresenter(std::shared_ptr<InformationDialogPresenter> presenter) {
    std::lock_guard lock(presenterMutex());
    return std::exchange(installedPresenter(), std::move(presenter));
}

int32_t ShowInformationDialog(uint32_t, uint8_t) {
    std::lock_guard guard(deviceLock());
    CMeinDialog dialog;
    dialog.OnInitDialog();
    std::shared_ptr<InformationDialogPresenter> presenter;
    {
        std::lock_guard lock(presenterMutex());
        presenter = installedPresenter();
    }
    if (presenter) {
        presenter->run(dialog);
    } else if (!runQtPresenter(dialog)) {
        ConsoleDialogPresenter().run(dialog);
    }
    return 0;
}

} // namespace tarvik
