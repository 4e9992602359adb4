#pragma once
// Components that hold one value and tell listeners when it changes, and the
// driver that follows a value.

#include <cstdint>
#include <functional>
#include <vector>

namespace pa {

class TValueDriver;

class TValue {
public:
    using TChangeEvent = std::function<void(TValue* sender)>;
    using TValidEvent = std::function<bool(TValue* sender)>;

    TValue() = default;
    TValue(const TValue&) = delete;
    TValue& operator=(const TValue&) = delete;
    // Detaches every driver that follows it.
    virtual ~TValue();

    TChangeEvent OnChange;
    // Answers true to accept the value just stored; false puts the previous one
    // back.
    TValidEvent OnValid;

    bool Enabled() const { return enabled_; }
    // Tells every driver (value enabled AND driver enabled).
    void SetEnabled(bool enabled);

    const std::vector<TValueDriver*>& drivers() const { return drivers_; }

protected:
    // Stores `value` unless it equals the current one; OnValid may refuse it.
    // Either way a stored value is announced to the drivers, then to OnChange
    // while enabled.
    template <class T> void assign(T& field, T value) {
        if (value == field) {
            return;
        }
        const T previous = field;
        field = value;
        if (OnValid && !OnValid(this)) {
            field = previous;
        }
        announceChange();
    }

private:
    friend class TValueDriver;
    void announceChange();

    bool enabled_ = false;
    std::vector<TValueDriver*> drivers_;
};

class TBoolValue : public TValue {
public:
    bool Value() const { return value_; }
    void SetValue(bool value) { assign(value_, value); }

private:
    bool value_ = false;
};

// Min and Max are stored only; setting Value does not clamp to them.
class TIntValue : public TValue {
public:
    std::int32_t Value() const { return value_; }
    void SetValue(std::int32_t value) { assign(value_, value); }
    std::int32_t Min() const { return min_; }
    void SetMin(std::int32_t min) { min_ = min; }
    std::int32_t Max() const { return max_; }
    void SetMax(std::int32_t max) { max_ = max; }

private:
    std::int32_t value_ = 0;
    std::int32_t min_ = 0;
    std::int32_t max_ = 0;
};

class TFloatValue : public TValue {
public:
    float Value() const { return value_; }
    void SetValue(float value) { assign(value_, value); }
    float Min() const { return min_; }
    void SetMin(float min) { min_ = min; }
    float Max() const { return max_; }
    void SetMax(float max) { max_ = max; }

private:
    float value_ = 0;
    float min_ = 0;
    float max_ = 0;
};

class TValueDriver {
public:
    using TDriverChangeEvent = std::function<void(TValue* value, TValueDriver* driver)>;
    using TEnableEvent = std::function<void(TValueDriver* driver, bool enabled)>;

    TValueDriver() = default;
    TValueDriver(const TValueDriver&) = delete;
    TValueDriver& operator=(const TValueDriver&) = delete;
    // Leaves the list of the value it follows.
    virtual ~TValueDriver();

    TDriverChangeEvent OnChange;
    TEnableEvent OnEnable;

    // The value it follows; null for none.
    TValue* Value() const { return value_; }
    // Follows `value` (null for none), leaving the list of the previous one;
    // appended to the end of the new value's list.
    void SetValue(TValue* value);

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);

private:
    friend class TValue;
    void notifyEnable();

    TValue* value_ = nullptr;
    bool enabled_ = false;
};

// Puts TValueDriver, TBoolValue, TIntValue and TFloatValue on the palette
// page "LibPa".
void registerValueComponents();

} // namespace pa
