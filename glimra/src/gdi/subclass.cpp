// Replacing a dialog's control by a class of the library.

#include "glimra/subclass.h"

#include "glimra/dialog.h"
#include "glimra/styles.h"

#include <QAbstractButton>
#include <QGroupBox>
#include <QLabel>
#include <QWidget>

namespace glimra {

std::optional<TakenControl> takeControl(QWidget* dialog, int id) {
    QWidget* control = GetDlgItem(dialog, id);
    if (control == nullptr) {
        return std::nullopt;
    }
    TakenControl taken;
    taken.parent = control->parentWidget();
    taken.id = id;
    taken.rect = toRect(control->geometry());
    taken.visible = !control->isHidden();
    taken.enabled = control->isEnabled();
    if (auto* label = qobject_cast<QLabel*>(control)) {
        taken.text = label->text().toStdString();
        const Qt::Alignment align = label->alignment();
        if ((align & Qt::AlignHCenter) != 0) {
            taken.style |= SS_CENTER;
        } else if ((align & Qt::AlignRight) != 0) {
            taken.style |= SS_RIGHT;
        }
        if ((align & Qt::AlignVCenter) != 0) {
            taken.style |= SS_CENTERIMAGE;
        }
    } else if (auto* button = qobject_cast<QAbstractButton*>(control)) {
        taken.text = button->text().toStdString();
    } else if (auto* group = qobject_cast<QGroupBox*>(control)) {
        taken.text = group->title().toStdString();
    }
    delete control;
    return taken;
}

void placeLike(QWidget* replacement, const TakenControl& taken) {
    if (replacement == nullptr) {
        return;
    }
    replacement->setParent(taken.parent);
    replacement->setGeometry(toQRect(taken.rect));
    setDlgCtrlID(replacement, taken.id);
    replacement->setEnabled(taken.enabled);
    replacement->setVisible(taken.visible);
}

} // namespace glimra
