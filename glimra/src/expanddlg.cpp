// The dialog with a short and a full form.

#include "glimra/expanddlg.h"

#include <QAbstractButton>
#include <QGuiApplication>
#include <QScreen>

namespace glimra {

CExpandingDialog::CExpandingDialog(DialogTemplate dialogTemplate, QWidget* parent, int markerId,
                                   int buttonId, const char* collapsedText,
                                   const char* expandedText, BOOL canCollapse)
    : QDialog(parent), template_(std::move(dialogTemplate)),
      collapsedText_(collapsedText != nullptr ? collapsedText : ""),
      expandedText_(expandedText != nullptr ? expandedText : ""), markerId_(markerId),
      buttonId_(buttonId), canCollapse_(canCollapse) {}

CExpandingDialog::~CExpandingDialog() = default;

BOOL CExpandingDialog::Create() {
    if (created_) {
        return TRUE;
    }
    created_ = true;
    buildDialog(this, template_);
    for (QWidget* child : childWindows(this)) {
        auto* button = qobject_cast<QAbstractButton*>(child);
        if (button == nullptr) {
            continue;
        }
        const int id = GetDlgCtrlID(button);
        connect(button, &QAbstractButton::clicked, this,
                [this, id] { OnCommand(MAKELONG(id, 0), 0); });
    }
    return OnInitDialog();
}

int CExpandingDialog::DoModal() {
    if (!Create()) {
        return -1;
    }
    return exec() == QDialog::Accepted ? 1 : 2;
}

BOOL CExpandingDialog::OnInitDialog() {
    ApplyExpandState(FALSE);
    return TRUE;
}

BOOL CExpandingDialog::OnDialogExpanding(BOOL) {
    return TRUE;
}

void CExpandingDialog::OnDialogExpanded(BOOL) {}

BOOL CExpandingDialog::OnCommand(WPARAM wParam, LPARAM) {
    const auto command = static_cast<DWORD>(wParam);
    if (LOWORD(command) == static_cast<WORD>(buttonId_) && HIWORD(command) == 0) {
        Toggle();
        return TRUE;
    }
    // The usual buttons.
    if (LOWORD(command) == 1) {
        accept();
        return TRUE;
    }
    if (LOWORD(command) == 2) {
        reject();
        return TRUE;
    }
    return FALSE;
}

BOOL CExpandingDialog::Expand(BOOL expand) {
    const BOOL wanted = expand ? TRUE : FALSE;
    if (wanted == expanded_) {
        return TRUE;
    }
    if (!OnDialogExpanding(expanded_)) {
        return FALSE;
    }
    ApplyExpandState(wanted);
    if (QWidget* button = GetDlgItem(this, buttonId_)) {
        // The next tab stop after the button.
        for (QWidget* w = button->nextInFocusChain(); w != nullptr && w != button;
             w = w->nextInFocusChain()) {
            if (w->window() == this && w != this && w->isEnabled() && w->isVisibleTo(this) &&
                (w->focusPolicy() & Qt::TabFocus) != 0) {
                w->setFocus(Qt::TabFocusReason);
                break;
            }
        }
    }
    OnDialogExpanded(expanded_);
    return expanded_ == wanted;
}

void CExpandingDialog::resizeWindow(int windowWidth, int windowHeight) {
    // Window sizes include the frame; Qt sizes the client area.
    const QSize frame = frameGeometry().size() - geometry().size();
    resize(windowWidth - frame.width(), windowHeight - frame.height());
}

void CExpandingDialog::ApplyExpandState(BOOL expand) {
    const BOOL wanted = expand ? TRUE : FALSE;
    if (wanted == expanded_) {
        return;
    }
    auto* button = qobject_cast<QAbstractButton*>(GetDlgItem(this, buttonId_));
    QWidget* marker = GetDlgItem(this, markerId_);
    if (button == nullptr || marker == nullptr) {
        return;
    }
    const QRect markerRect = toQRect(windowRectIn(marker, this));
    for (QObject* object : children()) {
        auto* child = qobject_cast<QWidget*>(object);
        if (child == nullptr || child->isWindow()) {
            continue;
        }
        if (!child->geometry().intersects(markerRect)) {
            child->setEnabled(wanted != FALSE);
        }
    }
    if (wanted) {
        resizeWindow(fullSize_->cx, fullSize_->cy);
        // Kept on the screen.
        if (const QScreen* screen = this->screen()) {
            const QRect desk = screen->availableGeometry();
            QRect frame = frameGeometry();
            frame.moveRight(std::min(frame.right(), desk.right()));
            frame.moveBottom(std::min(frame.bottom(), desk.bottom()));
            frame.moveLeft(std::max(frame.left(), desk.left()));
            frame.moveTop(std::max(frame.top(), desk.top()));
            move(frame.topLeft());
        }
        if (canCollapse_) {
            button->setText(QString::fromLocal8Bit(expandedText_.c_str()));
        } else {
            button->setEnabled(false);
        }
        expanded_ = TRUE;
        return;
    }
    const QRect window = frameGeometry();
    if (!fullSize_) {
        fullSize_ = SIZE{window.width(), window.height()};
        marker->hide();
    }
    const QRect client = geometry();
    const int rightFrame = window.right() - client.right();
    const int bottomFrame = window.bottom() - client.bottom();
    const QPoint markerEnd = mapToGlobal(QPoint(markerRect.right() + 1, markerRect.bottom() + 1));
    resizeWindow(markerEnd.x() - window.left() + rightFrame,
                 markerEnd.y() - window.top() + bottomFrame);
    button->setText(QString::fromLocal8Bit(collapsedText_.c_str()));
    expanded_ = FALSE;
}

} // namespace glimra
