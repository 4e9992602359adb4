#include "pa/lmedit.h"

#include "pa/forms.h"
#include "pa/sysutils.h"

#include <QApplication>
#include <QKeyEvent>

#include <utility>

namespace pa {

namespace {

// Qt's own "no limit".
constexpr int kUnlimitedLength = 32767;
constexpr char16_t kCarriageReturn = 13;

template <class T> T clampValue(T x, T lo, T hi) {
    if (hi < lo) {
        std::swap(lo, hi);
    }
    return x < lo ? lo : (x > hi ? hi : x);
}

bool parseText(const QString& text, std::int32_t& value) {
    return tryStrToInt(text.toStdString(), value);
}
bool parseText(const QString& text, long double& value) {
    return tryStrToFloat(text.toStdString(), value);
}
QString formatValue(std::int32_t value) {
    return QString::fromStdString(intToStr(value));
}
QString formatValue(long double value) {
    return QString::fromStdString(floatToStr(value));
}

// GetValue of both controls: the converted text, clamped and written back
// under CheckRange; the entry value when the text does not convert.
template <class T> T valueOf(TNumEdit& edit, T entryValue, T minValue, T maxValue) {
    T value{};
    if (!parseText(edit.text(), value)) {
        return entryValue;
    }
    if (edit.CheckRange()) {
        value = clampValue(value, minValue, maxValue);
        edit.setText(formatValue(value));
    }
    return value;
}

template <class T> void showValue(TNumEdit& edit, T value, T minValue, T maxValue) {
    if (edit.CheckRange()) {
        value = clampValue(value, minValue, maxValue);
    }
    edit.setText(formatValue(value));
}

// The value on entering: the converted text, else MinValue.
template <class T> T entryValueOf(const TNumEdit& edit, T minValue) {
    T value{};
    return parseText(edit.text(), value) ? value : minValue;
}

} // namespace

// ---- TNumEdit ----

TNumEdit::TNumEdit(QWidget* parent) : QLineEdit(QStringLiteral("0"), parent) {
    // Input methods would insert text past the key filter.
    setAttribute(Qt::WA_InputMethodEnabled, false);
}

void TNumEdit::SetMaxLength(int maxLength) {
    maxLength_ = maxLength;
    setMaxLength(maxLength > 0 ? maxLength : kUnlimitedLength);
}

bool TNumEdit::IsValidChar(char16_t key) const {
    if (key < 32) {
        return key != kCarriageReturn;
    }
    return key == u'+' || key == u'-' || (key >= u'0' && key <= u'9') ||
           key == static_cast<unsigned char>(decimalSeparator());
}

void TNumEdit::KeyPress(char16_t& key) {
    if (!IsValidChar(key)) {
        QApplication::beep();
        key = 0;
    }
}

void TNumEdit::keyPressEvent(QKeyEvent* event) {
    // Keys without text (arrows, Delete, ...) are no characters and pass.
    const QString text = event->text();
    for (const QChar c : text) {
        char16_t key = c.unicode();
        KeyPress(key);
        if (key == 0) {
            event->accept();
            return;
        }
    }
    QLineEdit::keyPressEvent(event);
}

void TNumEdit::CMEnter() {
    if (autoSelect_ && !(QApplication::mouseButtons() & Qt::LeftButton)) {
        selectAll();
    }
    saveEntryValue();
}

void TNumEdit::focusInEvent(QFocusEvent* event) {
    if (!autoSelect_ && event->reason() != Qt::PopupFocusReason) {
        // Qt selects all on keyboard focus by itself; AutoSelect decides here.
        QFocusEvent plain(event->type(), Qt::OtherFocusReason);
        QLineEdit::focusInEvent(&plain);
    } else {
        QLineEdit::focusInEvent(event);
    }
    CMEnter();
}

void TNumEdit::focusOutEvent(QFocusEvent* event) {
    QLineEdit::focusOutEvent(event);
    CMExit();
}

// ---- TIntEdit ----

TIntEdit::TIntEdit(QWidget* parent) : TNumEdit(parent) {}

std::int32_t TIntEdit::GetValue() {
    return valueOf(*this, entryValue_, minValue_, maxValue_);
}

void TIntEdit::SetValue(std::int32_t value) {
    showValue(*this, value, minValue_, maxValue_);
}

void TIntEdit::SetMinValue(std::int32_t value) {
    minValue_ = value;
    SetValue(GetValue());
}

void TIntEdit::SetMaxValue(std::int32_t value) {
    maxValue_ = value;
    SetValue(GetValue());
}

void TIntEdit::CMExit() {
    SetValue(GetValue());
}

void TIntEdit::saveEntryValue() {
    entryValue_ = entryValueOf(*this, minValue_);
}

// ---- TFloatEdit ----

TFloatEdit::TFloatEdit(QWidget* parent) : TNumEdit(parent) {}

bool TFloatEdit::IsValidChar(char16_t key) const {
    return TNumEdit::IsValidChar(key) || key == u'E' || key == u'e';
}

void TFloatEdit::KeyPress(char16_t& key) {
    if (key == kCarriageReturn) {
        key = 1;
    }
    TNumEdit::KeyPress(key);
}

long double TFloatEdit::GetValue() {
    return valueOf(*this, entryValue_, minValue_, maxValue_);
}

void TFloatEdit::SetValue(long double value) {
    showValue(*this, value, minValue_, maxValue_);
}

void TFloatEdit::SetMinValue(long double value) {
    minValue_ = value;
    SetValue(GetValue());
}

void TFloatEdit::SetMaxValue(long double value) {
    maxValue_ = value;
    SetValue(GetValue());
}

void TFloatEdit::CMExit() {
    SetValue(GetValue());
}

void TFloatEdit::saveEntryValue() {
    entryValue_ = entryValueOf(*this, minValue_);
}

void registerEditControls() {
    registerComponents("LibPa", {"TIntEdit", "TFloatEdit"});
}

} // namespace pa
