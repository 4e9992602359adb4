#include "pa/extvalue.h"

#include "pa/forms.h"

#include <algorithm>

namespace pa {

TValue::~TValue() {
    for (TValueDriver* driver : drivers_) {
        driver->value_ = nullptr;
    }
    drivers_.clear();
}

void TValue::SetEnabled(bool enabled) {
    enabled_ = enabled;
    // By index: a handler may detach its driver from this list.
    for (std::size_t i = 0; i < drivers_.size(); ++i) {
        drivers_[i]->notifyEnable();
    }
}

void TValue::announceChange() {
    for (std::size_t i = 0; i < drivers_.size(); ++i) {
        TValueDriver* driver = drivers_[i];
        if (driver->OnChange) {
            driver->OnChange(this, driver);
        }
    }
    if (OnChange && enabled_) {
        OnChange(this);
    }
}

TValueDriver::~TValueDriver() {
    SetValue(nullptr);
}

void TValueDriver::SetValue(TValue* value) {
    if (value == value_) {
        return;
    }
    if (value_) {
        auto& list = value_->drivers_;
        list.erase(std::remove(list.begin(), list.end(), this), list.end());
    }
    value_ = value;
    if (value_) {
        value_->drivers_.push_back(this);
    }
}

void TValueDriver::SetEnabled(bool enabled) {
    enabled_ = enabled;
    if (value_) {
        notifyEnable();
    }
}

void TValueDriver::notifyEnable() {
    if (OnEnable && value_) {
        OnEnable(this, value_->Enabled() && enabled_);
    }
}

void registerValueComponents() {
    registerComponents("LibPa", {"TValueDriver", "TBoolValue", "TIntValue", "TFloatValue"});
}

} // namespace pa
