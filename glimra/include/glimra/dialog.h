#pragma once
// Dialogs and their controls: control ids on child widgets, the descendants
// of a window with their rectangles, dialog units, and dialog templates that
// build a dialog's controls where its template places them.

#include "glimra/export.h"
#include "glimra/types.h"

#include <QFont>

#include <string>
#include <vector>

class QWidget;

namespace glimra {

// The control id of a child window, 0 when it has none.
GLIMRA_EXPORT void setDlgCtrlID(QWidget* control, int id);
GLIMRA_EXPORT int GetDlgCtrlID(const QWidget* control);
// The first descendant of dialog with the id, null when none.
GLIMRA_EXPORT QWidget* GetDlgItem(const QWidget* dialog, int id);
// Every descendant window of parent, parents before their children and
// siblings in creation order; windows of their own (pop-ups, dialogs) are
// not children.
GLIMRA_EXPORT std::vector<QWidget*> childWindows(const QWidget* parent);
// The rectangle a window covers, in the client coordinates of one of its
// ancestors (or in its own when ancestor is itself).
GLIMRA_EXPORT RECT windowRectIn(const QWidget* window, const QWidget* ancestor);

// Dialog base units of a font: the average width of the Latin letters and
// the height of a line, in pixels (through the font-metrics source).
struct DialogBaseUnits {
    int x = 0;
    int y = 0;
};
GLIMRA_EXPORT DialogBaseUnits dialogBaseUnits(const QFont& font);
// The base units of the system's dialog font, low word horizontal.
GLIMRA_EXPORT DWORD GetDialogBaseUnits();
// Dialog units to pixels: x and width by x/4, y and height by y/8.
GLIMRA_EXPORT RECT MapDialogRect(const RECT& dialogUnits, DialogBaseUnits units);
// A template's font ("MS Sans Serif" 8 and the like) at the screen's resolution.
GLIMRA_EXPORT QFont dialogFont(const char* face, int points);

// One control of a dialog template.
enum class ControlKind {
    PushButton,
    DefPushButton,
    CheckBox,
    RadioButton,
    Edit,
    Static, // text; alignment from the flags
    GroupBox,
    Frame,      // a rectangle without text (placeholders, frames)
    EtchedLine, // a horizontal separator
    ComboBox,   // drop-down list
    ListBox,
    ProgressBar,
    Icon, // a static that shows an icon
};

inline constexpr UINT CTL_HIDDEN = 0x1;
inline constexpr UINT CTL_DISABLED = 0x2;
inline constexpr UINT CTL_CENTER = 0x4;    // static text centred
inline constexpr UINT CTL_RIGHT = 0x8;     // static text right aligned
inline constexpr UINT CTL_PASSWORD = 0x10; // edit
inline constexpr UINT CTL_READONLY = 0x20; // edit
inline constexpr UINT CTL_VCENTER = 0x40;  // static text centred vertically

struct DialogControl {
    int id = -1;
    ControlKind kind = ControlKind::Static;
    std::string text;
    RECT rect; // left, top, right, bottom in dialog units
    UINT flags = 0;
};

struct DialogTemplate {
    std::string caption;
    int width = 0; // dialog units, client area
    int height = 0;
    std::string face = "MS Sans Serif";
    int points = 8;
    std::vector<DialogControl> controls;
};

// Gives the dialog the template's font, caption and client size and creates
// its controls at their places, each with its id. The controls are plain Qt
// widgets (QPushButton, QCheckBox, QLineEdit, QLabel, QGroupBox, QFrame,
// QComboBox, QListWidget, QProgressBar); a class looks them up by id.
GLIMRA_EXPORT void buildDialog(QWidget* dialog, const DialogTemplate& dialogTemplate);

} // namespace glimra
