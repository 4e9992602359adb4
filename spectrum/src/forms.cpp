#include "forms.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace spectrum {

TfmParam::TfmParam(QWidget* parent) : QDialog(parent) {
    setObjectName("fmParam");
    setWindowTitle("Settings");
}

TfmData::TfmData(QObject* parent) : QObject(parent) {
    setObjectName("fmData");
}

TfmRun::TfmRun(QWidget* parent) : QDialog(parent) {
    setObjectName("fmRun");
    setWindowTitle("Number of samples");
}

TfmGraphParam::TfmGraphParam(QWidget* parent) : QDialog(parent) {
    setObjectName("fmGraphParam");
    setWindowTitle("Param");
}

TfmDigital::TfmDigital(QWidget* parent) : QDialog(parent) {
    setObjectName("fmDigital");
    setWindowTitle("Digital Input/Output");
}

TFmInterval::TFmInterval(QWidget* parent) : QDialog(parent) {
    setObjectName("FmInterval");
    setWindowTitle("Set Interval");
    from_ = new QLineEdit(this);
    to_ = new QLineEdit(this);
    ok_ = new QPushButton("OK", this);
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(from_);
    layout->addWidget(new QLabel("To", this));
    layout->addWidget(to_);
    layout->addWidget(ok_);
    connect(ok_, &QPushButton::clicked, this, [this] {
        hide();
        emit finishedInterval();
    });
}

} // namespace spectrum
