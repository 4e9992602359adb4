#pragma once
// spectrum.ini, the settings the program's dialogs remember between starts.
// An installed program's own folder is not writable, so the file lives in the
// user's configuration directory: VELDON_REVADUVO_DIR when set, else
// $XDG_CONFIG_HOME/revaduvo (when absolute), else $HOME/.config/revaduvo.

#include <filesystem>
#include <string>
#include <string_view>

namespace spectrum {

inline constexpr const char* kSettingsDirVariable = "VELDON_REVADUVO_DIR";

std::filesystem::path settingsPath();

// A missing file, section or key gives the default; so does a file that is
// refused (settings.cpp, ini_file.h), and the log says why.
int readSetting(std::string_view section, std::string_view key, int defaultValue);
std::string readSetting(std::string_view section, std::string_view key,
                        std::string_view defaultValue);
// Creates the directory and the file as needed; a failure is logged, the
// program goes on.
void writeSetting(std::string_view section, std::string_view key, int value);

} // namespace spectrum
