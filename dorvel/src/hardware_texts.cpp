#include "dorvel/hardware_texts.h"

#include <cstdarg>
#include <cstdio>
#include <iterator>

namespace dorvel {
namespace {

constexpr size_t kBufferSize = kMaxHardwareTextLength + 1;
using TextBuffer = char[kBufferSize];

// Formats into the calling thread's buffer of one text function; snprintf
// cuts what would not fit, so no text reaches 255 characters.
[[gnu::format(printf, 2, 3)]] const char* format(TextBuffer& buffer, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buffer, kBufferSize, fmt, args);
    va_end(args);
    return buffer;
}

struct CodeText {
    int code;
    const char* text;
};

// The text of a code, or the unknown form with the code in the calling
// thread's buffer.
template <size_t N>
const char* textOf(const CodeText (&table)[N], int code, const char* unknown, TextBuffer& buffer) {
    for (const CodeText& e : table) {
        if (e.code == code) {
            return e.text;
        }
    }
    return format(buffer, "%s %d", unknown, code);
}

constexpr CodeText kInterfaces[] = {
    {1, "ISA board"},
    {3, "Serial electronics QRE"},
    {4, "PCI board"},
    {5, "Third board model"},
    // The information dialog appends "V" and the board generation.
    {6, "USB board "},
    {8, "USB board, second kind"},
};

constexpr CodeText kFrontEnds[] = {
    {0, "Front end type 0"},
    {1, "Front end type 1"},
    {2, "Front end type 2"},
    {3, "Front end type 3"},
    {4, "Front end type 4 (older form of type 0)"},
    {5, "Front end type 5 (older form of type 0)"},
    {6, "Front end type 6"},
    {7, "Front end type 7 with cooled detector board"},
    {8, "Front end type 8"},
    {9, "Front end type 9 with integration-time clock"},
    {10, "Front end type 10 with integration-time clock"},
    {11, "Front end type 11 with cooled detector board"},
};

constexpr CodeText kMultiplexers[] = {
    {0, "No multiplexer"},
    {1, "Multiplexer type 1, 4 channels"},
    {2, "Multiplexer type 2, 4 channels"},
    {3, "Multiplexer type 3, 4 channels"},
    {4, "Multiplexer type 4, 4 channels"},
    {5, "Multiplexer type 5, 8 channels"},
    {6, "Optical multiplexer MUX-7WEN, 2 channels"},
    {7, "Serial multiplexer MUX-KRD"},
    {8, "Multiplexer type 8 with variant code"},
    {9, "Serial multiplexer MUX-KRL"},
    {10, "No multiplexer (type 10)"},
};

// The sensor types the acquisition library knows, with their technology; 128
// is described by the sensor description file, 12 and 129 are older codes.
struct SensorText {
    int type;
    const char* label;       // short, for a channel
    const char* description; // with the technology
};

constexpr SensorText kSensors[] = {
    {0, "Sensor type 0", "Sensor type 0, technology 1"},
    {1, "Sensor type 1", "Sensor type 1, technology 1"},
    {2, "Sensor type 2", "Sensor type 2, technology 1"},
    {3, "Sensor type 3", "Sensor type 3, technology 2"},
    {4, "Sensor type 4", "Sensor type 4, technology 2"},
    {5, "Sensor type 5", "Sensor type 5, technology 2"},
    {6, "Sensor type 6", "Sensor type 6, technology 3"},
    {7, "Sensor type 7", "Sensor type 7, technology 3"},
    {8, "Sensor type 8", "Sensor type 8, technology 3"},
    {9, "Sensor type 9", "Sensor type 9, technology 3"},
    {10, "Sensor type 10", "Sensor type 10, technology 2"},
    {11, "Sensor type 11", "Sensor type 11, technology 1"},
    {12, "Sensor type 12", "Sensor type 12 (older code of type 11), technology 1"},
    {13, "Sensor type 13", "Sensor type 13, technology 2"},
    {14, "Sensor type 14", "Sensor type 14, technology 2"},
    {15, "Sensor type 15", "Sensor type 15, technology 2"},
    {16, "Sensor type 16", "Sensor type 16, technology 1"},
    {17, "Sensor type 17", "Sensor type 17, technology 3"},
    {18, "Sensor type 18", "Sensor type 18, technology 2"},
    {19, "Sensor type 19", "Sensor type 19, technology 2"},
    {20, "Sensor type 20", "Sensor type 20, technology 2"},
    {21, "Sensor type 21", "Sensor type 21, technology 2"},
    {22, "Sensor type 22", "Sensor type 22, technology 0"},
    {128, "File-described sensor", "Sensor type 128, described by the sensor description file"},
    {129, "Sensor type 129", "Sensor type 129 (older code of type 22), technology 0"},
};

const SensorText* findSensor(int type) {
    for (const SensorText& e : kSensors) {
        if (e.type == type) {
            return &e;
        }
    }
    return nullptr;
}

// Pixel counts of the sensor length codes.
constexpr int kSensorLengths[] = {128, 256, 512, 532, 738, 1024, 1044, 2048, 2080, 4256, 8352};

bool isLampModule(unsigned type) {
    return type == 0 || type == 2;
}

// Lamps of a lamp module by subtype (0..3).
constexpr const char* kLampSets[] = {"lamps 1 and 2", "lamp 2", "lamp 1", "no known lamp"};

constexpr const char* kModuleNames[] = {"Lamp module", "Flash module",
                                        "Lamp module with power-state memory", "Unknown module"};

} // namespace

CHardwareTexts::CHardwareTexts() = default;
CHardwareTexts::~CHardwareTexts() = default;

const char* CHardwareTexts::GetInterfaceText(int16_t code) const {
    thread_local TextBuffer buffer;
    return textOf(kInterfaces, code, "Unknown interface type", buffer);
}

const char* CHardwareTexts::GetFrontEndText(int16_t code) const {
    thread_local TextBuffer buffer;
    return textOf(kFrontEnds, code, "Unknown front end type", buffer);
}

const char* CHardwareTexts::GetMultiplexerText(int16_t code) const {
    thread_local TextBuffer buffer;
    return textOf(kMultiplexers, code, "Unknown multiplexer type", buffer);
}

const char* CHardwareTexts::GetSensorText(int16_t code) const {
    if (const SensorText* s = findSensor(code)) {
        return s->label;
    }
    thread_local TextBuffer buffer;
    return format(buffer, "Unknown sensor type %d", code);
}

const char* GetSensorTypeText(int16_t sensorType) {
    if (const SensorText* s = findSensor(sensorType)) {
        return s->description;
    }
    thread_local TextBuffer buffer;
    return format(buffer, "Unknown sensor type %d", sensorType);
}

const char* GetSensorLengthText(int16_t pixelCount) {
    thread_local TextBuffer buffer;
    if (pixelCount <= 0) {
        return format(buffer, "Unknown sensor length %d", pixelCount);
    }
    for (const int pixels : kSensorLengths) {
        if (pixels == pixelCount) {
            return format(buffer, "%d pixels", pixelCount);
        }
    }
    return format(buffer, "%d pixels (non-standard length)", pixelCount);
}

const char* GetLightSourceNameText(uint16_t type) {
    if (type < std::size(kModuleNames)) {
        return kModuleNames[type];
    }
    thread_local TextBuffer buffer;
    return format(buffer, "Unknown light-source module type %u", type);
}

const char* GetLightSourceTypeText(uint16_t type, uint16_t subtype) {
    thread_local TextBuffer buffer;
    if (subtype < std::size(kLampSets)) {
        if (isLampModule(type)) {
            return format(buffer, "%s, %s", kModuleNames[type], kLampSets[subtype]);
        }
        if (type == 1) {
            return format(buffer, "Flash module, subtype %u", subtype);
        }
        if (type == 3) {
            return kModuleNames[3];
        }
    }
    return format(buffer, "Unknown light-source type %u, subtype %u", type, subtype);
}

const char* GetLightSourceAssemblyText(uint16_t type, uint16_t subtype, uint16_t info) {
    thread_local TextBuffer buffer;
    if (subtype < std::size(kLampSets)) {
        if (isLampModule(type) && info <= 3) {
            return format(buffer, "Assembly variant %u with %s", info, kLampSets[subtype]);
        }
        if (type == 1 || type == 3) {
            return "No assembly information";
        }
    }
    return format(buffer, "Unknown assembly (type %u, subtype %u, info %u)", type, subtype, info);
}

} // namespace dorvel
