#include "forms.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace spectrum {

TForm::TForm(const char* name, const char* caption, QWidget* parent) : QDialog(parent) {
    setObjectName(name);
    setWindowTitle(caption);
}

TfmData::TfmData(QObject* parent) : QObject(parent) {
    setObjectName("fmData");
}

TFmInterval::TFmInterval(QWidget* parent) : TForm("FmInterval", "Set Interval", parent) {
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
