#include "settings.h"

#include "pa/palog.h"
#include "platform/ini_file.h"
#include "platform/safe_folder.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>

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

namespace {

// Why the settings file at path was refused, naming what to mend, or the
// system's text.
std::string refusal(const std::filesystem::path& path, int error) {
    if (error != ELOOP && error != EPERM) {
        return std::strerror(error);
    }
    platform::SafeFolder place;
    place.open(path.c_str(), true);
    if (!place.why().empty()) {
        return place.why();
    }
    return error == ELOOP ? "a link where others may write"
                          : "another user's file stands there, in " + place.path() +
                                ", which others may write; use a folder of your own";
}

// A read that gave the defaults for a refused file (not a missing one) says
// why.
template <typename Read> auto readLogged(std::string_view key, Read read) {
    const std::filesystem::path path = settingsPath();
    errno = 0;
    auto value = read(path);
    if (const int error = errno; error != 0 && error != ENOENT) {
        pa::logOrTell("%s: cannot read %.*s: %s\n", path.string().c_str(),
                      static_cast<int>(key.size()), key.data(), refusal(path, error).c_str());
    }
    return value;
}

// create_directories(), but each folder made only where the folders above it
// are the user's or root's and no one else may change them, and the user's
// alone whatever the umask.
void makeFolders(const std::filesystem::path& dir) {
    std::filesystem::path walked;
    for (const std::filesystem::path& name : dir) {
        walked /= name;
        platform::SafeFolder place;
        if (place.open(walked.c_str(), true) != 0 || !place.chainSafe()) {
            return;
        }
        if (!place.name().empty()) {
            ::mkdirat(place.fd(), place.name().c_str(), 0700);
        }
    }
}

} // namespace

int readSetting(std::string_view section, std::string_view key, int defaultValue) {
    return readLogged(key, [&](const std::filesystem::path& path) {
        return platform::getPrivateProfileInt(section, key, defaultValue, path);
    });
}

std::string readSetting(std::string_view section, std::string_view key,
                        std::string_view defaultValue) {
    return readLogged(key, [&](const std::filesystem::path& path) {
        return platform::getPrivateProfileString(section, key, defaultValue, path);
    });
}

void writeSetting(std::string_view section, std::string_view key, int value) {
    const std::filesystem::path path = settingsPath();
    makeFolders(path.parent_path());
    const int error =
        platform::writePrivateProfileString(section, key, std::to_string(value), path);
    if (error != 0) {
        pa::logOrTell("%s: cannot write %.*s: %s\n", path.string().c_str(),
                      static_cast<int>(key.size()), key.data(), refusal(path, error).c_str());
    }
}

} // namespace spectrum
