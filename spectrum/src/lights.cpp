#include "lights.h"

#include "device.h"

#include "pa/lmedit.h"

#include <QCheckBox>
#include <QEvent>
#include <QKeyEvent>
#include <QSlider>

#include <algorithm>
#include <cmath>

namespace spectrum {

std::array<std::uint8_t, 3> lightChannelBytes(std::uint8_t command, int value) {
    const int v = std::clamp(value, 0, kLightMax);
    return {command, static_cast<std::uint8_t>(v >> 2), static_cast<std::uint8_t>((v << 6) & 0xFF)};
}

TLightControl::TLightControl(QCheckBox* box, QSlider* track, pa::TIntEdit* percent,
                             std::uint8_t address, std::uint8_t command, TDevice* device)
    : box_(box), track_(track), percent_(percent), address_(address), command_(command),
      device_(device) {
    track_->setRange(0, kLightMax);
    track_->setValue(0);
    percent_->SetMinValue(0);
    percent_->SetMaxValue(100);
    // Percentages beyond 100 would ask for more than the 10 bits hold.
    percent_->SetCheckRange(true);
    percent_->SetValue(0);
    box_->setChecked(false);
    connect(track_, &QSlider::valueChanged, this, &TLightControl::write);
    connect(box_, &QCheckBox::clicked, this, &TLightControl::write);
    percent_->installEventFilter(this);
}

void TLightControl::write() {
    const int p = track_->value();
    percent_->SetValue(static_cast<std::int32_t>(std::trunc(p * 100.0 / kLightMax + 0.5)));
    const int v = box_->isChecked() ? p : 0;
    if (device_ != nullptr) {
        const auto bytes = lightChannelBytes(command_, v);
        device_->writeI2C(address_, bytes.data(), static_cast<int>(bytes.size()));
    }
}

void TLightControl::percentEntered() {
    const std::int32_t percent = percent_->GetValue();
    track_->setValue(
        static_cast<int>(std::trunc(percent * static_cast<double>(kLightMax) / 100.0)));
}

bool TLightControl::eventFilter(QObject* watched, QEvent* event) {
    if (watched == percent_) {
        if (event->type() == QEvent::FocusOut) {
            percentEntered();
        } else if (event->type() == QEvent::KeyPress) {
            const int key = static_cast<QKeyEvent*>(event)->key();
            if (key == Qt::Key_Return || key == Qt::Key_Enter) {
                percentEntered();
                return true;
            }
        }
    }
    return QObject::eventFilter(watched, event);
}

} // namespace spectrum
