#include "forms.h"

#include "device.h"
#include "fmmain.h"
#include "settings.h"

#include "pa/forms.h"
#include "pa/lmedit.h"
#include "platform/clock.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QThread>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace spectrum {

TDigitalLineControls buildDigitalLineControls(QWidget* parent) {
    TDigitalLineControls c;
    c.sourceGroup = new QGroupBox("Input Source", parent);
    auto* sourceLayout = new QVBoxLayout(c.sourceGroup);
    c.sources = new QButtonGroup(c.sourceGroup);
    const char* names[] = {"DIN_FEE", "DIN_DSUB"};
    for (int i = 0; i < 2; ++i) {
        c.sourceButtons[i] = new QRadioButton(names[i], c.sourceGroup);
        c.sources->addButton(c.sourceButtons[i], i);
        sourceLayout->addWidget(c.sourceButtons[i]);
    }
    c.outputGroup = new QGroupBox("Digital Output", parent);
    auto* outputLayout = new QVBoxLayout(c.outputGroup);
    c.inputGroup = new QGroupBox("Digital Input", parent);
    auto* inputLayout = new QVBoxLayout(c.inputGroup);
    for (int k = 1; k <= 3; ++k) {
        c.outputs[k - 1] = new QCheckBox(QString("Digital Output %1").arg(k), c.outputGroup);
        outputLayout->addWidget(c.outputs[k - 1]);
        c.inputs[k - 1] = new QLabel(QString("Digital Input %1 = ").arg(k), c.inputGroup);
        inputLayout->addWidget(c.inputs[k - 1]);
    }
    c.read = new QPushButton("Read", c.inputGroup);
    inputLayout->addWidget(c.read);
    return c;
}

QString digitalInputText(int index, unsigned value) {
    return QString("Digital Input %1 = %2").arg(index).arg(value);
}

TForm::TForm(const char* name, const char* caption, QWidget* parent) : QDialog(parent) {
    setObjectName(name);
    setWindowTitle(caption);
}

void TForm::hideEvent(QHideEvent* event) {
    QDialog::hideEvent(event);
    emit hidden();
}

namespace {

constexpr const char* kHistory = "history";
// A synchronisation wait reads the input this often; the library call itself
// may take longer.
constexpr auto kSyncPoll = std::chrono::milliseconds(10);

const char* const kWorkModeNames[] = {"Default Sensor Work Mode",
                                      "Start New Scan With Cleaning",
                                      "Start New Scan Without Cleaning",
                                      "Sync To Cont Scan",
                                      "External Trigger Slope",
                                      "External Trigger Pulse",
                                      "Get Last Scan",
                                      "Get Buffered Scan",
                                      "External Trigger Slope With Cleaning",
                                      "External Trigger Slope Without Cleaning"};

// A stored index outside the list selects nothing.
void selectStored(QComboBox* box, int index) {
    box->setCurrentIndex(index >= 0 && index < box->count() ? index : -1);
}

bool isEnter(QEvent* event) {
    if (event->type() != QEvent::KeyPress) {
        return false;
    }
    const int key = static_cast<QKeyEvent*>(event)->key();
    return key == Qt::Key_Return || key == Qt::Key_Enter;
}

std::int32_t whole(double v) {
    return static_cast<std::int32_t>(std::clamp(std::trunc(v), -2147483648.0, 2147483647.0));
}

} // namespace

TfmParam::TfmParam(TfmMain* main) : TForm("fmParam", "Settings", main), main_(main) {
    group_ = new QGroupBox("Parameters", this);
    edTime_ = new pa::TIntEdit(group_);
    edTime_->setObjectName("edTime");
    edTime_->SetValue(30);
    edAverage_ = new pa::TIntEdit(group_);
    edAverage_->setObjectName("edAverage");
    edAverage_->SetValue(1);
    cbWorkMode_ = new QComboBox(group_);
    cbWorkMode_->setObjectName("cbWorkMode");
    for (const char* name : kWorkModeNames) {
        cbWorkMode_->addItem(name);
    }
    cbSynchro_ = new QComboBox(group_);
    cbSynchro_->setObjectName("cbSynchro");
    cbSynchro_->addItems({"None", "Control Synchronization"});
    btSet_ = new QPushButton("Set", group_);
    btSet_->setObjectName("btSetParam");
    auto* time = new QHBoxLayout();
    time->addWidget(edTime_);
    time->addWidget(new QLabel("ms", group_));
    auto* form = new QFormLayout(group_);
    auto* timeLabel = new QLabel("Integration &time:", group_);
    timeLabel->setBuddy(edTime_);
    form->addRow(timeLabel, time);
    form->addRow("Average &number:", edAverage_);
    form->addRow("Sensor Work Mode", cbWorkMode_);
    form->addRow("Synchronization Mode", cbSynchro_);
    form->addRow(QString(), btSet_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group_);
    connect(btSet_, &QPushButton::clicked, this, &TfmParam::btSetParamClick);
    FormCreate();
}

TfmParam::~TfmParam() {
    FormDestroy();
}

void TfmParam::FormCreate() {
    selectStored(cbWorkMode_, readSetting(kHistory, "SensorMode", 0));
    selectStored(cbSynchro_, readSetting(kHistory, "SynchroMode", 0));
}

void TfmParam::FormDestroy() {
    writeSetting(kHistory, "SensorMode", cbWorkMode_->currentIndex());
    writeSetting(kHistory, "SynchroMode", cbSynchro_->currentIndex());
}

void TfmParam::btSetParamClick() {
    TDevice* device = main_->device();
    if (device == nullptr) {
        return;
    }
    if (cbSynchro_->currentIndex() == 1) {
        device->setSynchronisation(&TfmParam::controlSynchronization);
    } else {
        device->setSynchronisation({});
    }
    const std::int32_t ms = edTime_->GetValue();
    // The number shown again is no new time: the device keeps its record.
    const bool newTime = ms != main_->integrationTimeShown();
    const bool newAverage = edAverage_->GetValue() != device->averageNumber();
    if (cbWorkMode_->currentIndex() < 0) {
        cbWorkMode_->setCurrentIndex(0);
    }
    device->setSensorWorkMode(kWorkModes[cbWorkMode_->currentIndex()]);
    device->setIntegrationTime(newTime ? ms : device->integrationTime());
    device->setAverageNumber(edAverage_->GetValue());
    main_->parametersSet(ms, newTime, newAverage);
}

int TfmParam::controlSynchronization(TDevice& device) {
    // On the GUI thread the window keeps working meanwhile, so that "Stop"
    // (and closing) can end the wait.
    const bool gui = QThread::currentThread() == QCoreApplication::instance()->thread();
    while (device.getDigitalInput(1) == 0 && !device.stopRequested()) {
        if (gui) {
            QCoreApplication::processEvents();
        }
        platform::clock().sleepFor(kSyncPoll);
    }
    if (device.stopRequested()) {
        return 0;
    }
    return device.getDigitalInput(1) == 1 ? 1 : 0;
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
    if (watched == edNumber_ && isEnter(event)) {
        accept();
        return true;
    }
    return TForm::eventFilter(watched, event);
}

TfmGraphParam::TfmGraphParam(TfmMain* main) : TForm("fmGraphParam", "Param", main), main_(main) {
    auto* group = new QGroupBox("Graph Parameters", this);
    btFull_ = new QToolButton(group);
    btFull_->setObjectName("SpeedButton1");
    btFull_->setText("<->");
    btFull_->setToolTip("Full range");
    edMin_ = new pa::TIntEdit(group);
    edMin_->setObjectName("edMin");
    edMin_->SetCheckRange(true);
    edMax_ = new pa::TIntEdit(group);
    edMax_->setObjectName("edMax");
    edMax_->SetCheckRange(true);
    btSet_ = new QPushButton("Set", group);
    btSet_->setObjectName("btSet");
    cbShowCursor_ = new QCheckBox("Show Corsor ", group);
    cbShowCursor_->setChecked(true);
    auto* grid = new QGridLayout(group);
    grid->addWidget(btFull_, 0, 0);
    grid->addWidget(new QLabel("Wave Length", group), 0, 1, 1, 3);
    grid->addWidget(new QLabel("Min", group), 1, 0);
    grid->addWidget(edMin_, 1, 1);
    grid->addWidget(new QLabel("Max", group), 1, 2);
    grid->addWidget(edMax_, 1, 3);
    grid->addWidget(btSet_, 2, 3);
    grid->addWidget(cbShowCursor_, 2, 0, 1, 3);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    connect(btSet_, &QPushButton::clicked, this, &TfmGraphParam::SetClick);
    connect(btFull_, &QToolButton::clicked, this, &TfmGraphParam::FullRangeClick);
    connect(cbShowCursor_, &QCheckBox::clicked, this, [this](bool on) {
        main_->showCursorCheckBox()->setChecked(on);
        main_->view()->setShowCursor(on);
    });
    edMin_->installEventFilter(this);
    edMax_->installEventFilter(this);
}

bool TfmGraphParam::takeRanges() {
    const TDevice* device = main_->device();
    if (device == nullptr || device->wavelengths().empty()) {
        return false;
    }
    const std::int32_t first = whole(device->wavelengths().front());
    const std::int32_t last = whole(device->wavelengths().back());
    for (pa::TIntEdit* edit : {edMin_, edMax_}) {
        edit->SetMinValue(std::min(first, last));
        edit->SetMaxValue(std::max(first, last));
    }
    return true;
}

void TfmGraphParam::prepare() {
    takeRanges();
    const auto [low, high] = main_->view()->bottomRange();
    edMin_->SetValue(std::clamp(whole(low), edMin_->MinValue(), edMin_->MaxValue()));
    edMax_->SetValue(std::clamp(whole(high), edMax_->MinValue(), edMax_->MaxValue()));
}

void TfmGraphParam::SetClick() {
    const std::int32_t min = edMin_->GetValue();
    const std::int32_t max = edMax_->GetValue();
    if (min > max) {
        pa::applicationMessageBox("Min must not be above Max.", "Param", pa::kMbIconError);
        edMin_->setFocus();
        return;
    }
    main_->setManualBottomRange(min, max);
    close();
}

void TfmGraphParam::FullRangeClick() {
    if (!takeRanges()) {
        return;
    }
    edMin_->SetValue(edMin_->MinValue());
    edMax_->SetValue(edMax_->MaxValue());
    SetClick();
}

bool TfmGraphParam::eventFilter(QObject* watched, QEvent* event) {
    if ((watched == edMin_ || watched == edMax_) && isEnter(event)) {
        SetClick();
        return true;
    }
    return TForm::eventFilter(watched, event);
}

TfmDigital::TfmDigital(TfmMain* main)
    : TForm("fmDigital", "Digital Input/Output", main), main_(main) {
    const TDigitalLineControls lines = buildDigitalLineControls(this);
    sources_ = lines.sourceButtons;
    outputs_ = lines.outputs;
    inputs_ = lines.inputs;
    btRead_ = lines.read;
    sources_[0]->setChecked(true);
    for (int k = 1; k <= 3; ++k) {
        connect(outputs_[k - 1], &QCheckBox::clicked, this, [this, k] { OutputClick(k); });
    }
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(lines.sourceGroup, 0, Qt::AlignTop);
    layout->addWidget(lines.outputGroup, 0, Qt::AlignTop);
    layout->addWidget(lines.inputGroup, 0, Qt::AlignTop);
    connect(lines.sources, &QButtonGroup::idClicked, this, &TfmDigital::InputSourceClick);
    connect(btRead_, &QPushButton::clicked, this, &TfmDigital::ReadClick);
    // FormCreate.
    const int stored = readSetting(kHistory, "InputSource", 0);
    if (stored == 0 || stored == 1) {
        sources_[stored]->setChecked(true);
    }
}

TfmDigital::~TfmDigital() {
    writeSetting(kHistory, "InputSource", inputSource());
}

int TfmDigital::inputSource() const {
    for (int i = 0; i < 2; ++i) {
        if (sources_[i]->isChecked()) {
            return i;
        }
    }
    return -1;
}

void TfmDigital::InputSourceClick() {
    TDevice* device = main_->device();
    const int source = inputSource();
    if (device != nullptr && source >= 0) {
        device->setInputSource(source);
    }
}

void TfmDigital::OutputClick(int index) {
    if (TDevice* device = main_->device()) {
        device->setDigitalOutput(index, outputs_.at(index - 1)->isChecked() ? 1 : 0);
    }
}

void TfmDigital::ReadClick() {
    TDevice* device = main_->device();
    if (device == nullptr) {
        return;
    }
    for (int k = 1; k <= 3; ++k) {
        inputs_[k - 1]->setText(
            digitalInputText(k, static_cast<unsigned>(device->getDigitalInput(k))));
    }
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
    connect(ok_, &QPushButton::clicked, this, &TFmInterval::hide);
    // However it closes (OK, Escape, the title bar), its owner comes back.
    connect(this, &TForm::hidden, this, &TFmInterval::finishedInterval);
}

} // namespace spectrum
