#pragma once
// Stand-ins for the visual class library's application object: its message
// box and its component palette.

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace pa {

// Box styles and answers as the program passes and reads them.
constexpr int kMbOk = 0x0;
constexpr int kMbIconError = 0x10;
constexpr int kMbIconQuestion = 0x20;
constexpr int kMbIconWarning = 0x30;
constexpr int kMbIconInformation = 0x40;
constexpr int kIdOk = 1;

using TMessageBoxHandler =
    std::function<int(const std::string& text, const std::string& caption, int flags)>;

// Shows a box owned by the application, always on the GUI thread (a call from
// a worker is synchronised). The default shows a Qt message box when a
// QApplication exists, else writes to standard error.
int applicationMessageBox(const std::string& text, const std::string& caption, int flags);
// Replaces how boxes are shown (tests record them); an empty handler restores
// the default. Returns the previous handler.
TMessageBoxHandler setMessageBoxHandler(TMessageBoxHandler handler);

// The component palette: class names per page, in registration order.
void registerComponents(const std::string& page, std::initializer_list<const char*> classNames);
std::vector<std::string> paletteComponents(const std::string& page);

} // namespace pa
