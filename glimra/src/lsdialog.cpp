// The light-source dialog and its two templates.

#include "glimra/lsdialog.h"

#include "glimra/dialog.h"

#include <QCheckBox>
#include <QPushButton>

#include <initializer_list>

namespace glimra {

namespace {

// Both modes: OK and Cancel at the right, a prompt, and a group box (ending
// at groupBottom) that holds the mode's check boxes.
DialogTemplate lsTemplate(const char* caption, int height, const char* prompt, const char* group,
                          int groupBottom, std::initializer_list<DialogControl> boxes) {
    DialogTemplate t;
    t.caption = caption;
    t.width = 223;
    t.height = height;
    t.controls = {
        {1, ControlKind::DefPushButton, "OK", {166, 7, 216, 21}, 0},
        {2, ControlKind::PushButton, "Cancel", {166, 24, 216, 38}, 0},
        {-1, ControlKind::Static, prompt, {7, 7, 164, 20}, 0},
        {10010, ControlKind::GroupBox, group, {8, 22, 156, groupBottom}, 0},
    };
    t.controls.insert(t.controls.end(), boxes);
    return t;
}

DialogTemplate componentTemplate() {
    return lsTemplate(
        "LS Component", 87, "Please configure the LS component.", "", 83,
        {
            {CLSDialog::UseId, ControlKind::CheckBox, "&Use LS component", {15, 22, 92, 32}, 0},
            {CLSDialog::LampsId, ControlKind::GroupBox, "Lamps", {19, 36, 89, 76}, 0},
            {CLSDialog::HalogenId, ControlKind::CheckBox, "&Halogen", {29, 47, 72, 57}, 0},
            {CLSDialog::DeuteriumId, ControlKind::CheckBox, "&Deuterium", {29, 60, 77, 70}, 0},
            {CLSDialog::ShutterId, ControlKind::CheckBox, "&Shutter", {103, 52, 142, 62}, 0},
        });
}

DialogTemplate flashTemplate() {
    return lsTemplate(
        "LS Flash Component", 58, "Please configure the LS Flash component.", "LS Flash", 53,
        {
            {CLSDialog::FlashId, ControlKind::CheckBox, "Enable &Flash", {19, 36, 120, 46}, 0},
        });
}

void exchangeCheck(QCheckBox* box, int& value, bool save) {
    if (box == nullptr) {
        return;
    }
    if (save) {
        value = box->isChecked() ? 1 : 0;
    } else {
        box->setChecked(value != 0);
    }
}

} // namespace

CLSDialog::CLSDialog(QWidget* parent) : QDialog(parent) {
    SetMode(0);
}

CLSDialog::~CLSDialog() = default;

BOOL CLSDialog::SetMode(int mode) {
    mode_ = mode;
    if (mode == 0) {
        template_ = ComponentTemplate;
    } else if (mode == 1) {
        template_ = FlashTemplate;
    } else {
        return FALSE;
    }
    return TRUE;
}

void CLSDialog::SetLamps(int halogen, int deuterium, int shutter) {
    halogen_ = halogen;
    deuterium_ = deuterium;
    shutter_ = shutter;
}

void CLSDialog::GetLamps(int* halogen, int* deuterium, int* shutter) const {
    if (halogen != nullptr) {
        *halogen = halogen_;
    }
    if (deuterium != nullptr) {
        *deuterium = deuterium_;
    }
    if (shutter != nullptr) {
        *shutter = shutter_;
    }
}

void CLSDialog::EnableLamps(BOOL halogen, BOOL deuterium, BOOL shutter) {
    halogenMayChange_ = halogen;
    deuteriumMayChange_ = deuterium;
    shutterMayChange_ = shutter;
}

QCheckBox* CLSDialog::check(int id) const {
    return qobject_cast<QCheckBox*>(GetDlgItem(this, id));
}

BOOL CLSDialog::Create() {
    if (created_) {
        return TRUE;
    }
    created_ = true;
    buildDialog(this, template_ == FlashTemplate ? flashTemplate() : componentTemplate());
    if (auto* ok = qobject_cast<QPushButton*>(GetDlgItem(this, 1))) {
        connect(ok, &QPushButton::clicked, this, &CLSDialog::OnOK);
    }
    if (auto* cancel = qobject_cast<QPushButton*>(GetDlgItem(this, 2))) {
        connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    }
    if (QCheckBox* use = check(UseId)) {
        connect(use, &QCheckBox::clicked, this, &CLSDialog::OnUseComponent);
    }
    return OnInitDialog();
}

int CLSDialog::DoModal() {
    if (!Create()) {
        return -1;
    }
    return exec() == QDialog::Accepted ? 1 : 2;
}

void CLSDialog::DoDataExchange(bool save) {
    if (mode_ == 0) {
        exchangeCheck(check(HalogenId), halogen_, save);
        exchangeCheck(check(DeuteriumId), deuterium_, save);
        exchangeCheck(check(ShutterId), shutter_, save);
        exchangeCheck(check(UseId), useComponent_, save);
        useCheck_ = check(UseId);
    } else if (mode_ == 1) {
        exchangeCheck(check(FlashId), flash_, save);
    }
}

BOOL CLSDialog::OnInitDialog() {
    DoDataExchange(false);
    if (mode_ == 0) {
        if (!showUseCheck_) {
            if (QWidget* use = GetDlgItem(this, UseId)) {
                use->setEnabled(false);
                use->hide();
            }
        }
        // The data exchange has set the checks already.
        OnUseComponent();
    } else if (mode_ == 1) {
        if (QCheckBox* flash = check(FlashId)) {
            flash->setEnabled(flashMayChange_ != FALSE);
            flash->setChecked(flash_ != 0);
        }
    }
    return TRUE;
}

void CLSDialog::OnUseComponent() {
    if (useCheck_ == nullptr) {
        return;
    }
    const bool used = useCheck_->isChecked();
    if (QWidget* group = GetDlgItem(this, LampsId)) {
        group->setEnabled(used);
    }
    const struct {
        int id;
        BOOL mayChange;
    } parts[] = {{HalogenId, halogenMayChange_},
                 {DeuteriumId, deuteriumMayChange_},
                 {ShutterId, shutterMayChange_}};
    for (const auto& part : parts) {
        if (QWidget* box = GetDlgItem(this, part.id)) {
            box->setEnabled(used && part.mayChange);
        }
    }
}

void CLSDialog::OnOK() {
    DoDataExchange(true);
    QDialog::accept();
}

} // namespace glimra
