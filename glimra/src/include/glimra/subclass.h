#pragma once
// Taking over a dialog's control: a class that subclasses a control of a
// dialog template (a static made by buildDialog) takes its place, id, text
// and static style, and the template's widget goes.

#include "glimra/types.h"

#include <optional>
#include <string>

class QWidget;

namespace glimra {

struct TakenControl {
    std::string text;
    DWORD style = 0; // SS_CENTER, SS_RIGHT, SS_CENTERIMAGE as the static was aligned
    RECT rect;       // in the parent's client coordinates
    QWidget* parent = nullptr;
    int id = 0;
    bool visible = true;
    bool enabled = true;
};

// Removes dialog's control id and tells what its replacement needs; none when
// the dialog has no such control.
std::optional<TakenControl> takeControl(QWidget* dialog, int id);

// Puts replacement where the taken control was, with its id.
void placeLike(QWidget* replacement, const TakenControl& taken);

} // namespace glimra
