#include "settings.h"

#include "pa/palog.h"
#include "platform/ini_file.h"

#include <cstdlib>
#include <cstring>
#include <system_error>

namespace spectrum {

std::filesystem::path settingsPath() {
    namespace fs = std::filesystem;
    fs::path dir;
    if (const char* own = std::getenv(kSettingsDirVariable); own != nullptr && *own != '\0') {
        dir = own;
    } else if (const char* xdg = std::getenv("XDG_CONFIG_HOME");
               xdg != nullptr && fs::path(xdg).is_absolute()) {
        dir = fs::path(xdg) / "revaduvo";
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        dir = fs::path(home) / ".config" / "revaduvo";
    } else {
        dir = ".";
    }
    return dir / "spectrum.ini";
}

int readSetting(std::string_view section, std::string_view key, int defaultValue) {
    return platform::getPrivateProfileInt(section, key, defaultValue, settingsPath());
}

std::string readSetting(std::string_view section, std::string_view key,
                        std::string_view defaultValue) {
    return platform::getPrivateProfileString(section, key, defaultValue, settingsPath());
}

void writeSetting(std::string_view section, std::string_view key, int value) {
    const std::filesystem::path path = settingsPath();
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    const int error =
        platform::writePrivateProfileString(section, key, std::to_string(value), path);
    if (error != 0) {
        pa::logPrint("%s: cannot write %.*s: %s\n", path.string().c_str(),
                     static_cast<int>(key.size()), key.data(), std::strerror(error));
    }
}

} // namespace spectrum
