#include "forms.h"

#include "pa/lmedit.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace spectrum {

TForm::TForm(const char* name, const char* caption, QWidget* parent) : QDialog(parent) {
    setObjectName(name);
    setWindowTitle(caption);
}

TfmParam::TfmParam(QWidget* parent) : TForm("fmParam", "Settings", parent) {
    edTime_ = new pa::TIntEdit(this);
    edTime_->setObjectName("edTime");
    edTime_->SetValue(30);
    edAverage_ = new pa::TIntEdit(this);
    edAverage_->setObjectName("edAverage");
    edAverage_->SetValue(1);
    auto* layout = new QFormLayout(this);
    layout->addRow("Integration &time:", edTime_);
    layout->addRow("Average &number:", edAverage_);
}

TfmData::TfmData(QObject* parent) : QObject(parent) {
    setObjectName("fmData");
}

void TfmData::clear() {
    spectra_.clear();
    stamps_.clear();
}

void TfmData::add(const std::vector<double>& spectrum, std::int32_t stamp) {
    stamps_.push_back(stamp);
    spectra_.push_back(spectrum);
}

void TfmData::exportDialog(const mi::TExportContext& context,
                           const std::function<std::string()>& chooseFile) const {
    const std::string path = chooseFile();
    if (!path.empty()) {
        exportRun(context, path);
    }
}

void TfmData::exportRun(const mi::TExportContext& context, const std::string& path) const {
    std::vector<mi::TExportColumn> columns;
    for (std::size_t k = 0; k < spectra_.size(); ++k) {
        columns.push_back(
            {std::to_string(stamps_[k]), "Revaduvo " + std::to_string(k + 1), &spectra_[k]});
    }
    mi::writeExportFile(path, mi::exportText(context, columns));
}

TfmRun::TfmRun(QWidget* parent) : TForm("fmRun", "Number of samples", parent) {
    edNumber_ = new pa::TIntEdit(this);
    edNumber_->setObjectName("edNumber");
    edNumber_->setToolTip("0..Infinite");
    edNumber_->SetValue(0);
    auto* ok = new QPushButton("Ok", this);
    ok->setDefault(true);
    auto* cancel = new QPushButton("Cancel", this);
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(edNumber_);
    layout->addWidget(ok);
    layout->addWidget(cancel);
    // Escape anywhere cancels (the dialog's own key handling).
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    edNumber_->installEventFilter(this);
}

bool TfmRun::eventFilter(QObject* watched, QEvent* event) {
    if (watched == edNumber_ && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            accept();
            return true;
        }
    }
    return TForm::eventFilter(watched, event);
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
