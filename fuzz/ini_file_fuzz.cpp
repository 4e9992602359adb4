// The ini reader and writer on arbitrary text: no crash, no unbounded memory,
// and the editing invariants hold for whatever the text holds.
#include "platform/ini_file.h"

#include "fuzz_check.h"

#include <algorithm>
#include <cstdint>
#include <string>

using fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    platform::IniFile ini(text);
    check(ini.text() == text || text.size() > platform::kMaxIniFileSize);

    char buffer[8];
    for (const std::string& section : ini.sectionNames()) {
        check(ini.hasSection(section));
        for (const std::string& key : ini.keyNames(section)) {
            auto value = ini.value(section, key);
            check(value.has_value());
            ini.getInt(section, key, 0);
            ini.getDouble(section, key, 0.0);
            check(ini.getString(section, key, "", buffer, sizeof buffer) < sizeof buffer);
        }
    }

    // A value taken from the input itself must read back after a write.
    std::string value = text.substr(0, std::min<size_t>(text.size(), 64));
    platform::IniFile edited(text);
    int rc = edited.setString("fuzz section", "fuzz key", value);
    if (rc == 0) {
        check(edited.getString("FUZZ SECTION", "Fuzz Key", "\x01") == value);
        check(platform::IniFile(edited.text()).getString("fuzz section", "fuzz key", "\x01") ==
              value);
        check(edited.removeKey("fuzz section", "fuzz key"));
        check(!edited.value("fuzz section", "fuzz key").has_value());
    }
    auto names = ini.sectionNames();
    if (!names.empty()) {
        platform::IniFile removed(text);
        check(removed.removeSection(names.front()));
        check(!removed.hasSection(names.front()));
    }
    return 0;
}
