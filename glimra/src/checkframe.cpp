// Switching the controls inside a frame together.

#include "glimra/checkframe.h"

#include "glimra/dialog.h"
#include "glimra/library.h"

namespace glimra {

CCheckFrame::CCheckFrame() = default;
CCheckFrame::~CCheckFrame() = default;

BOOL CCheckFrame::Attach(QWidget* dialog, int frameId) {
    dialog_ = dialog;
    QWidget* frame = GetDlgItem(dialog, frameId);
    if (frame == nullptr) {
        return FALSE;
    }
    frame_ = frame;
    frameRect_ = windowRectIn(frame, dialog);
    controls_.clear();
    for (QWidget* child : childWindows(dialog)) {
        if (child == frame) {
            continue;
        }
        const RECT r = windowRectIn(child, dialog);
        if (IsRectInRect(&r, &frameRect_)) {
            controls_.emplace_back(child);
        }
    }
    return TRUE;
}

void CCheckFrame::EnableControls(BOOL enable) {
    // A control destroyed since Attach is passed over.
    for (const QPointer<QWidget>& control : controls_) {
        if (control) {
            control->setEnabled(enable != FALSE);
        }
    }
}

std::vector<QWidget*> CCheckFrame::controls() const {
    std::vector<QWidget*> out;
    for (const QPointer<QWidget>& control : controls_) {
        if (control) {
            out.push_back(control);
        }
    }
    return out;
}

} // namespace glimra
