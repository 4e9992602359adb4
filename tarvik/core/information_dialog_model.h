#pragma once
// What the information dialog shows, without any GUI: the tree of the open
// interfaces and the texts beside it. The library fills it (CMeinDialog); a
// presenter shows it and hands the user's selection back. The Qt presenter
// lives in its own library (libtarvik_ui.so) and reaches the model through
// this header's virtual functions only, since libtarvik.so exports nothing
// but its KORAL_ functions.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace tarvik::info {

// Images of the tree items (the image list's indices 0..7).
inline constexpr int kImageValid = 0;      // described by a valid EEPROM image
inline constexpr int kImageUnread = 2;     // the EEPROM image could not be read
inline constexpr int kImageSelected = 3;   // any item while it is selected
inline constexpr int kImageDiffers = 4;    // a channel unlike the first channel
inline constexpr int kImageConfigured = 7; // configured values, no image
inline constexpr int kImageCount = 8;

struct TreeItem {
    std::string text; // at most 60 characters
    int32_t parameter = 0;
    int image = kImageConfigured;
    bool checked = false;
    bool expanded = false;
    std::vector<TreeItem> children;
};

// The dialog's texts, in the order of its controls.
struct Fields {
    std::string sensorType;
    std::string sensorSize;
    std::string channel;
    std::array<std::string, 5> coefficients; // c0..c4
    std::string versionValue;
    std::string versionLabel = "Driver version";
    std::string libraryVersion;
    std::vector<std::string> information; // the list box, top to bottom
};

// Fixed texts of the dialog.
inline constexpr char kCaption[] = "Hardware Configuration";
inline constexpr char kLibraryVersionLabel[] = "TARVIK library version:";

class Model {
public:
    virtual ~Model() = default;
    virtual const std::vector<TreeItem>& tree() const = 0;
    virtual const Fields& fields() const = 0;
    // The parameter of the item selected last (0 before any).
    virtual int32_t selection() const = 0;
    // The user selected the item with this parameter.
    virtual void select(int32_t parameter) = 0;
};

// The Qt presenter's entry point in libtarvik_ui.so: shows the dialog
// modally and returns 1 when it was shown, 0 when the process runs no Qt
// widget application on this thread.
// By its soname, which an installation without development files has too.
inline constexpr char kUiLibraryName[] = "libtarvik_ui.so.1";
inline constexpr char kRunDialogSymbol[] = "tarvik_ui_run_information_dialog";
using RunDialogFunction = int (*)(Model*);

} // namespace tarvik::info
