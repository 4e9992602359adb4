#pragma once
// Numeric edit controls: single-line edits that refuse keys which cannot be
// part of a number, can clamp their value to a range, and fall back to the
// value they had on entry when the text does not convert. Numbers use the
// framework's decimal separator (pa::decimalSeparator).

#include <QLineEdit>

#include <cstdint>

namespace pa {

// What both controls share: the key filter, the range switch, the length
// limit and the focus handling.
class TNumEdit : public QLineEdit {
    Q_OBJECT

public:
    explicit TNumEdit(QWidget* parent = nullptr);

    bool CheckRange() const { return checkRange_; }
    void SetCheckRange(bool checkRange) { checkRange_ = checkRange; }
    // 0: no limit.
    int MaxLength() const { return maxLength_; }
    void SetMaxLength(int maxLength);
    // Select all text on entering (unless the left mouse button is down).
    bool AutoSelect() const { return autoSelect_; }
    void SetAutoSelect(bool autoSelect) { autoSelect_ = autoSelect; }

    // Whether `key` may be typed.
    virtual bool IsValidChar(char16_t key) const;

protected:
    // Key filter: sets `key` to 0 (after the exclamation beep) when refused.
    virtual void KeyPress(char16_t& key);
    // Entering: select all, remember the value as the entry value.
    virtual void CMEnter();
    // Leaving: SetValue(GetValue()) re-formats and clamps the text.
    virtual void CMExit() = 0;

    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

    virtual void saveEntryValue() = 0;

private:
    bool checkRange_ = false;
    int maxLength_ = 0;
    bool autoSelect_ = true;
};

class TIntEdit : public TNumEdit {
    Q_OBJECT

public:
    explicit TIntEdit(QWidget* parent = nullptr);

    // The converted text, clamped (and written back) when CheckRange; the
    // entry value when the text does not convert.
    std::int32_t GetValue();
    void SetValue(std::int32_t value);
    std::int32_t MinValue() const { return minValue_; }
    void SetMinValue(std::int32_t value);
    std::int32_t MaxValue() const { return maxValue_; }
    void SetMaxValue(std::int32_t value);

protected:
    void CMExit() override;
    void saveEntryValue() override;

private:
    std::int32_t minValue_ = 0;
    std::int32_t maxValue_ = 0;
    std::int32_t entryValue_ = 0;
};

class TFloatEdit : public TNumEdit {
    Q_OBJECT

public:
    explicit TFloatEdit(QWidget* parent = nullptr);

    long double GetValue();
    // General format, 15 significant digits.
    void SetValue(long double value);
    long double MinValue() const { return minValue_; }
    void SetMinValue(long double value);
    long double MaxValue() const { return maxValue_; }
    void SetMaxValue(long double value);

    // Also takes the exponent letters.
    bool IsValidChar(char16_t key) const override;

protected:
    // Enter passes (as character 1) without a beep.
    void KeyPress(char16_t& key) override;
    void CMExit() override;
    void saveEntryValue() override;

private:
    long double minValue_ = 0;
    long double maxValue_ = 0;
    long double entryValue_ = 0;
};

// Puts TIntEdit and TFloatEdit on the palette page "LibPa".
void registerEditControls();

} // namespace pa
