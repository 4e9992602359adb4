// The spectra scope and its scaling dialog.

#include "glimra/scope.h"

#include "glimra/dialog.h"
#include "glimra/library.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QResizeEvent>

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <iterator>
#include <string_view>

namespace glimra {

namespace {

// Control ids of the two templates.
constexpr int IDC_CHART_PLACE = 10008;
constexpr int IDC_SCALING = 10013;
constexpr int IDC_RESET_SCALING = 10014;
constexpr int IDC_SCALE_FRAME = 10010;
constexpr int IDC_AUTO_SCALE = 10011;
constexpr int IDC_X_MIN = 10012;
constexpr int IDC_X_MAX = 10013;
constexpr int IDC_Y_MIN = 10016;
constexpr int IDC_Y_MAX = 10017;

const DialogTemplate& scopeTemplate() {
    static const DialogTemplate t{
        "Spectra Scope",
        358,
        241,
        "MS Sans Serif",
        8,
        {
            {IDOK, ControlKind::DefPushButton, "OK", {300, 7, 350, 21}},
            {-1, ControlKind::EtchedLine, "", {300, 29, 350, 31}},
            {IDC_SCALING, ControlKind::PushButton, "Scaling ...", {300, 36, 350, 50}},
            {IDC_RESET_SCALING, ControlKind::PushButton, "Reset Scaling", {300, 54, 350, 68}},
            {IDC_CHART_PLACE, ControlKind::Frame, "", {0, 0, 292, 241}, CTL_HIDDEN},
        },
    };
    return t;
}

const DialogTemplate& scalingTemplate() {
    static const DialogTemplate t{
        "Scaling",
        289,
        89,
        "MS Sans Serif",
        8,
        {
            {IDOK, ControlKind::DefPushButton, "OK", {232, 7, 282, 21}},
            {IDCANCEL, ControlKind::PushButton, "Cancel", {232, 25, 282, 39}},
            {IDC_AUTO_SCALE, ControlKind::CheckBox, "&Auto scale", {10, 5, 100, 17}},
            {IDC_SCALE_FRAME, ControlKind::GroupBox, "", {7, 18, 222, 82}},
            {-1, ControlKind::GroupBox, "X Axis", {14, 26, 114, 76}},
            {-1, ControlKind::Static, "Min:", {21, 42, 41, 50}},
            {IDC_X_MIN, ControlKind::Edit, "", {44, 40, 107, 52}},
            {-1, ControlKind::Static, "Max:", {21, 58, 41, 66}},
            {IDC_X_MAX, ControlKind::Edit, "", {44, 56, 107, 68}},
            {-1, ControlKind::GroupBox, "Y Axis", {120, 26, 215, 76}},
            {-1, ControlKind::Static, "Min:", {127, 42, 147, 50}},
            {IDC_Y_MIN, ControlKind::Edit, "", {150, 40, 208, 52}},
            {-1, ControlKind::Static, "Max:", {127, 58, 147, 66}},
            {IDC_Y_MAX, ControlKind::Edit, "", {150, 56, 208, 68}},
        },
    };
    return t;
}

// The running extremes of auto scale, shared by every scope of the process.
struct RunningExtremes {
    double xMin = DBL_MAX;
    double xMax = -DBL_MAX;
    double yMin = DBL_MAX;
    double yMax = -DBL_MAX;

    bool seen() const { return xMin <= xMax && yMin <= yMax; }
};

RunningExtremes& runningExtremes() {
    static RunningExtremes extremes;
    return extremes;
}

// A double as the dialog shows it: 15 significant digits, C locale.
std::string formatDouble(double value) {
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
    return result.ec == std::errc() ? std::string(buffer, result.ptr) : std::string();
}

// The whole text as one finite number (blanks around it allowed), C locale.
bool parseDouble(std::string_view text, double* out) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    double value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || result.ec != std::errc() || result.ptr != text.data() + text.size() ||
        !std::isfinite(value)) {
        return false;
    }
    *out = value;
    return true;
}

} // namespace

// --- CScalingDialog ---

CScalingDialog::CScalingDialog(QWidget* parent) : QDialog(parent) {}

CScalingDialog::~CScalingDialog() = default;

void CScalingDialog::SetRange(double xMin, double xMax, double yMin, double yMax) {
    xMin_ = xMin;
    xMax_ = xMax;
    yMin_ = yMin;
    yMax_ = yMax;
}

void CScalingDialog::GetRange(double* xMin, double* xMax, double* yMin, double* yMax) const {
    if (xMin != nullptr) {
        *xMin = xMin_;
    }
    if (xMax != nullptr) {
        *xMax = xMax_;
    }
    if (yMin != nullptr) {
        *yMin = yMin_;
    }
    if (yMax != nullptr) {
        *yMax = yMax_;
    }
}

void CScalingDialog::build() {
    buildDialog(this, scalingTemplate());
    autoScaleBox_ = qobject_cast<QCheckBox*>(GetDlgItem(this, IDC_AUTO_SCALE));
    connect(autoScaleBox_, &QCheckBox::clicked, this, [this] { OnAutoScale(); });
    connect(qobject_cast<QPushButton*>(GetDlgItem(this, IDOK)), &QPushButton::clicked, this,
            &CScalingDialog::accept);
    connect(qobject_cast<QPushButton*>(GetDlgItem(this, IDCANCEL)), &QPushButton::clicked, this,
            &CScalingDialog::reject);
}

int CScalingDialog::DoModal() {
    if (autoScaleBox_ == nullptr) {
        build();
    }
    OnInitDialog();
    return exec() == QDialog::Accepted ? IDOK : IDCANCEL;
}

BOOL CScalingDialog::OnInitDialog() {
    DoDataExchange(false);
    checkFrame_.Attach(this, IDC_SCALE_FRAME);
    OnAutoScale();
    return TRUE;
}

void CScalingDialog::OnAutoScale() {
    checkFrame_.EnableControls(autoScaleBox_ != nullptr && autoScaleBox_->isChecked() ? FALSE
                                                                                      : TRUE);
}

BOOL CScalingDialog::DoDataExchange(bool save) {
    if (autoScaleBox_ == nullptr) {
        return FALSE;
    }
    struct Field {
        int id;
        double* value;
    };
    const Field fields[] = {
        {IDC_X_MIN, &xMin_}, {IDC_X_MAX, &xMax_}, {IDC_Y_MIN, &yMin_}, {IDC_Y_MAX, &yMax_}};
    if (!save) {
        autoScaleBox_->setChecked(autoScale_ == 1);
        for (const Field& f : fields) {
            if (auto* edit = qobject_cast<QLineEdit*>(GetDlgItem(this, f.id))) {
                edit->setText(QString::fromStdString(formatDouble(*f.value)));
            }
        }
        return TRUE;
    }
    // Every field is checked before any is taken, so a refusal changes nothing.
    double values[std::size(fields)] = {};
    for (size_t i = 0; i < std::size(fields); ++i) {
        auto* edit = qobject_cast<QLineEdit*>(GetDlgItem(this, fields[i].id));
        if (edit == nullptr) {
            return FALSE;
        }
        if (!parseDouble(edit->text().toStdString(), &values[i])) {
            QMessageBox box(QMessageBox::Warning, QApplication::applicationDisplayName(),
                            QStringLiteral("Please enter a number."), QMessageBox::Ok, this);
            box.exec();
            edit->setFocus();
            edit->selectAll();
            return FALSE;
        }
    }
    autoScale_ = autoScaleBox_->isChecked() ? 1 : 0;
    for (size_t i = 0; i < std::size(fields); ++i) {
        *fields[i].value = values[i];
    }
    return TRUE;
}

void CScalingDialog::accept() {
    if (DoDataExchange(true)) {
        QDialog::accept();
    }
}

// --- CSpectraScope ---

CSpectraScope::CSpectraScope(QWidget* parent) : QDialog(parent) {
    // The smallest size the user can drag the dialog to.
    setMinimumSize(445, 319);
}

CSpectraScope::~CSpectraScope() = default;

BOOL CSpectraScope::Create() {
    if (created_) {
        return FALSE;
    }
    if (!built_) {
        buildDialog(this, scopeTemplate());
        connect(qobject_cast<QPushButton*>(GetDlgItem(this, IDOK)), &QPushButton::clicked, this,
                &CSpectraScope::accept);
        connect(qobject_cast<QPushButton*>(GetDlgItem(this, IDC_SCALING)), &QPushButton::clicked,
                this, [this] { OnScaling(); });
        connect(qobject_cast<QPushButton*>(GetDlgItem(this, IDC_RESET_SCALING)),
                &QPushButton::clicked, this, [this] { OnResetScaling(); });
        built_ = true;
    } else {
        const DialogBaseUnits units = dialogBaseUnits(font());
        const RECT client = MapDialogRect(
            RECT{0, 0, scopeTemplate().width, scopeTemplate().height}, units);
        resize(std::max(client.right, minimumWidth()), std::max(client.bottom, minimumHeight()));
    }
    created_ = true;
    OnInitDialog();
    show();
    OnSize(0, width(), height());
    open_ = true;
    return TRUE;
}

BOOL CSpectraScope::OnInitDialog() {
    if (QWidget* place = GetDlgItem(this, IDC_CHART_PLACE)) {
        placement_ = windowRectIn(place, this);
    }
    chart_.SetTitle("Spectra data");
    chart_.SetAxisNames("Pixel", "Counts");
    chart_.SetAxesMode(0);
    chart_.GetCurve(0)->color = 0;
    chart_.bkColor_ = 0xFFFFFF;
    chart_.Create(WS_CHILD | WS_VISIBLE, placement_, this, ChartId);
    showResetButton();
    return TRUE;
}

void CSpectraScope::showResetButton() {
    if (QWidget* button = GetDlgItem(this, IDC_RESET_SCALING)) {
        button->setVisible(autoScale_);
    }
}

BOOL CSpectraScope::Close() {
    open_ = false;
    return DestroyWindow();
}

BOOL CSpectraScope::DestroyWindow() {
    if (!created_) {
        return FALSE;
    }
    chart_.DestroyWindow();
    hide();
    created_ = false;
    return TRUE;
}

// The user closed the dialog (its close box, OK or Escape): the window goes,
// and the scope no longer says it is open.
void CSpectraScope::closeEvent(QCloseEvent* event) {
    open_ = false;
    DestroyWindow();
    event->accept();
}

void CSpectraScope::accept() {
    open_ = false;
    DestroyWindow();
    QDialog::accept();
}

void CSpectraScope::reject() {
    open_ = false;
    DestroyWindow();
    QDialog::reject();
}

bool CSpectraScope::SetRange(double xMin, double xMax, double yMin, double yMax) {
    if (!chart_.SetRange(xMin, xMax, yMin, yMax)) {
        return false;
    }
    xMin_ = xMin;
    xMax_ = xMax;
    yMin_ = yMin;
    yMax_ = yMax;
    return true;
}

void CSpectraScope::GetRange(double* xMin, double* xMax, double* yMin, double* yMax) const {
    if (xMin != nullptr) {
        *xMin = xMin_;
    }
    if (xMax != nullptr) {
        *xMax = xMax_;
    }
    if (yMin != nullptr) {
        *yMin = yMin_;
    }
    if (yMax != nullptr) {
        *yMax = yMax_;
    }
}

bool CSpectraScope::SetCurveCount(int count) {
    return chart_.SetCurveCount(count) != FALSE;
}

bool CSpectraScope::AllocCurves(int points) {
    return chart_.AllocCurves(points) != FALSE;
}

bool CSpectraScope::SetCurveColor(int curve, COLORREF color) {
    CChartCurve* c = chart_.GetCurve(curve);
    if (c == nullptr) {
        return false;
    }
    c->color = color;
    return true;
}

void CSpectraScope::SetTitle(const std::string& title) {
    chart_.SetTitle(title);
    chart_.Redraw(FALSE);
}

void CSpectraScope::SetAxisNames(const std::string& x, const std::string& y) {
    chart_.SetAxisNames(x, y);
    chart_.Redraw(FALSE);
}

BOOL CSpectraScope::SetCurveData(int curve, int count, const double* x, const double* y) {
    RunningExtremes& running = runningExtremes();
    if (reset_ != 0) {
        running = RunningExtremes{};
        reset_ = 0;
    }
    // No points (or no arrays) store nothing and leave the range alone.
    const int n = x != nullptr && y != nullptr ? std::max(count, 0) : 0;
    if (autoScale_) {
        for (int i = 0; i < n; ++i) {
            running.xMin = std::min(running.xMin, x[i]);
            running.xMax = std::max(running.xMax, x[i]);
            running.yMin = std::min(running.yMin, y[i]);
            running.yMax = std::max(running.yMax, y[i]);
        }
        if (running.seen()) {
            chart_.SetRange(running.xMin, running.xMax, running.yMin, running.yMax);
        }
    }
    for (int i = 0; i < n; ++i) {
        chart_.SetPoint(x[i], y[i], i, curve);
    }
    chart_.Redraw(FALSE);
    return redrawWindow();
}

BOOL CSpectraScope::redrawWindow() {
    if (!created_) {
        return FALSE;
    }
    repaint();
    return TRUE;
}

void CSpectraScope::OnScaling() {
    CScalingDialog dialog(nullptr);
    dialog.SetAutoScale(autoScale_);
    dialog.SetRange(xMin_, xMax_, yMin_, yMax_);
    if (dialog.DoModal() != IDOK) {
        return;
    }
    autoScale_ = dialog.IsAutoScale();
    if (!autoScale_) {
        double xMin = 0;
        double xMax = 0;
        double yMin = 0;
        double yMax = 0;
        dialog.GetRange(&xMin, &xMax, &yMin, &yMax);
        SetRange(xMin, xMax, yMin, yMax);
    }
    showResetButton();
    chart_.Redraw(FALSE);
    redrawWindow();
}

void CSpectraScope::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    if (created_) {
        OnSize(0, event->size().width(), event->size().height());
    }
}

void CSpectraScope::OnSize(UINT, int cx, int cy) {
    setUpdatesEnabled(false);
    for (QObject* object : children()) {
        auto* child = qobject_cast<QWidget*>(object);
        if (child == nullptr || child->isWindow()) {
            continue;
        }
        if (child == &chart_) {
            if (chart_.isCreated()) {
                chart_.setGeometry(0, 0, std::max(0, cx - 100), cy);
            }
            continue;
        }
        child->move(cx - child->width() - 10, child->y());
    }
    setUpdatesEnabled(true);
    update();
}

} // namespace glimra
