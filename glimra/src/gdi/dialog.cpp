// Control ids, descendants, dialog units and dialog templates.

#include "glimra/dialog.h"

#include "glimra/fontmetrics.h"
#include "glimra/gdi.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QWidget>

namespace glimra {

namespace {
constexpr const char* kIdProperty = "glimraControlId";

void collect(const QWidget* parent, std::vector<QWidget*>& out) {
    for (QObject* child : parent->children()) {
        auto* widget = qobject_cast<QWidget*>(child);
        if (widget == nullptr || widget->isWindow()) {
            continue;
        }
        out.push_back(widget);
        collect(widget, out);
    }
}
} // namespace

void setDlgCtrlID(QWidget* control, int id) {
    if (control != nullptr) {
        control->setProperty(kIdProperty, id);
    }
}

int GetDlgCtrlID(const QWidget* control) {
    if (control == nullptr) {
        return 0;
    }
    const QVariant id = control->property(kIdProperty);
    return id.isValid() ? id.toInt() : 0;
}

QWidget* GetDlgItem(const QWidget* dialog, int id) {
    if (dialog == nullptr) {
        return nullptr;
    }
    for (QWidget* child : childWindows(dialog)) {
        if (child->property(kIdProperty).isValid() && GetDlgCtrlID(child) == id) {
            return child;
        }
    }
    return nullptr;
}

std::vector<QWidget*> childWindows(const QWidget* parent) {
    std::vector<QWidget*> out;
    if (parent != nullptr) {
        collect(parent, out);
    }
    return out;
}

RECT windowRectIn(const QWidget* window, const QWidget* ancestor) {
    if (window == nullptr) {
        return {};
    }
    QPoint origin(0, 0);
    if (ancestor != nullptr && ancestor != window && ancestor->isAncestorOf(window)) {
        origin = window->mapTo(ancestor, QPoint(0, 0));
    } else if (ancestor != window) {
        origin = window->pos();
    }
    return toRect(QRect(origin, window->size()));
}

DialogBaseUnits dialogBaseUnits(const QFont& font) {
    static const std::string letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    FontMetricsSource& metrics = *fontMetricsSource();
    const SIZE extent = metrics.extent(font, letters);
    return {(extent.cx / 26 + 1) / 2, extent.cy};
}

DWORD GetDialogBaseUnits() {
    const CFont* system = static_cast<CFont*>(GetStockObject(SYSTEM_FONT));
    const DialogBaseUnits units = dialogBaseUnits(system->toQFont());
    return MAKELONG(units.x, units.y);
}

RECT MapDialogRect(const RECT& du, DialogBaseUnits units) {
    return {MulDiv(du.left, units.x, 4), MulDiv(du.top, units.y, 8), MulDiv(du.right, units.x, 4),
            MulDiv(du.bottom, units.y, 8)};
}

QFont dialogFont(const char* face, int points) {
    CFont font;
    font.CreatePointFont(points * 10, face);
    return font.toQFont();
}

void buildDialog(QWidget* dialog, const DialogTemplate& t) {
    if (dialog == nullptr) {
        return;
    }
    const QFont font = dialogFont(t.face.c_str(), t.points);
    dialog->setFont(font);
    dialog->setWindowTitle(QString::fromStdString(t.caption));
    const DialogBaseUnits units = dialogBaseUnits(font);
    const RECT client = MapDialogRect(RECT{0, 0, t.width, t.height}, units);
    dialog->resize(client.right, client.bottom);
    for (const DialogControl& c : t.controls) {
        const QString text = QString::fromStdString(c.text);
        QWidget* w = nullptr;
        switch (c.kind) {
        case ControlKind::PushButton:
        case ControlKind::DefPushButton: {
            auto* b = new QPushButton(text, dialog);
            b->setDefault(c.kind == ControlKind::DefPushButton);
            b->setAutoDefault(false);
            w = b;
            break;
        }
        case ControlKind::CheckBox:
            w = new QCheckBox(text, dialog);
            break;
        case ControlKind::RadioButton:
            w = new QRadioButton(text, dialog);
            break;
        case ControlKind::Edit: {
            auto* e = new QLineEdit(text, dialog);
            if ((c.flags & CTL_PASSWORD) != 0) {
                e->setEchoMode(QLineEdit::Password);
            }
            e->setReadOnly((c.flags & CTL_READONLY) != 0);
            w = e;
            break;
        }
        case ControlKind::Static: {
            auto* l = new QLabel(text, dialog);
            Qt::Alignment align = Qt::AlignLeft;
            if ((c.flags & CTL_CENTER) != 0) {
                align = Qt::AlignHCenter;
            } else if ((c.flags & CTL_RIGHT) != 0) {
                align = Qt::AlignRight;
            }
            l->setAlignment(align |
                            ((c.flags & CTL_VCENTER) != 0 ? Qt::AlignVCenter : Qt::AlignTop));
            w = l;
            break;
        }
        case ControlKind::Icon: {
            auto* l = new QLabel(dialog);
            l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            w = l;
            break;
        }
        case ControlKind::GroupBox:
            w = new QGroupBox(text, dialog);
            break;
        case ControlKind::Frame: {
            auto* f = new QFrame(dialog);
            f->setFrameShape(QFrame::Box);
            w = f;
            break;
        }
        case ControlKind::EtchedLine: {
            auto* f = new QFrame(dialog);
            f->setFrameShape(QFrame::HLine);
            f->setFrameShadow(QFrame::Sunken);
            w = f;
            break;
        }
        case ControlKind::ComboBox:
            w = new QComboBox(dialog);
            break;
        case ControlKind::ListBox:
            w = new QListWidget(dialog);
            break;
        case ControlKind::ProgressBar:
            w = new QProgressBar(dialog);
            break;
        }
        setDlgCtrlID(w, c.id);
        w->setGeometry(toQRect(MapDialogRect(c.rect, units)));
        w->setEnabled((c.flags & CTL_DISABLED) == 0);
        w->setVisible((c.flags & CTL_HIDDEN) == 0);
    }
}

} // namespace glimra
