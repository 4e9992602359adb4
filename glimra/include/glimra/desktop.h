#pragma once
// What the classes ask of the desktop: where the cursor is, whether a mouse
// button or key is held, which window has the keyboard focus, and opening a
// document or address with the desktop's handler. Qt answers by default;
// tests install a FakeDesktop and move the cursor and focus themselves.

#include "glimra/export.h"
#include "glimra/types.h"

#include "platform/current_instance.h"

#include <QPoint>
#include <QPointer>
#include <QWidget>

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace glimra {

// Virtual key codes the classes test.
inline constexpr int VK_LBUTTON = 0x01;
inline constexpr int VK_RBUTTON = 0x02;
inline constexpr int VK_RETURN = 0x0D;
inline constexpr int VK_ESCAPE = 0x1B;
inline constexpr int VK_LEFT = 0x25;
inline constexpr int VK_UP = 0x26;
inline constexpr int VK_RIGHT = 0x27;
inline constexpr int VK_DOWN = 0x28;

class GLIMRA_EXPORT DesktopSource {
public:
    virtual ~DesktopSource() = default;
    // In screen coordinates.
    virtual QPoint cursorPos() = 0;
    // Mouse buttons (VK_LBUTTON, VK_RBUTTON) and keys.
    virtual bool isKeyDown(int virtualKey) = 0;
    // The window with the keyboard focus, null when none has it.
    virtual QWidget* focusWindow() = 0;
    // Opens a document, program or address as the desktop does; false when
    // nothing could open it.
    virtual bool shellOpen(const std::string& target) = 0;
};

class GLIMRA_EXPORT QtDesktop final : public DesktopSource {
public:
    QPoint cursorPos() override;
    bool isKeyDown(int virtualKey) override;
    QWidget* focusWindow() override;
    bool shellOpen(const std::string& target) override;
};

// For tests: the cursor, the held keys and the focus are what the test sets;
// opened targets are only listed.
class GLIMRA_EXPORT FakeDesktop final : public DesktopSource {
public:
    QPoint cursor;
    std::set<int> down;
    QPointer<QWidget> focus;
    std::vector<std::string> opened;

    QPoint cursorPos() override { return cursor; }
    bool isKeyDown(int virtualKey) override { return down.count(virtualKey) != 0; }
    QWidget* focusWindow() override { return focus; }
    bool shellOpen(const std::string& target) override {
        opened.push_back(target);
        return true;
    }
};

// Installing null puts Qt's answers back; returns the source installed before.
GLIMRA_EXPORT std::shared_ptr<DesktopSource> setDesktopSource(std::shared_ptr<DesktopSource> source);
GLIMRA_EXPORT std::shared_ptr<DesktopSource> desktopSource();
using ScopedDesktop = platform::ScopedInstall<DesktopSource, &setDesktopSource>;

} // namespace glimra
