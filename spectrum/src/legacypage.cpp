#include "legacypage.h"

#include "forms.h"
#include "tarvikbinding.h"

#include "pa/forms.h"
#include "pa/lmedit.h"
#include "pa/palog.h"
#include "pa/patype.h"
#include "pa/sysutils.h"
#include "platform/clock.h"
#include "platform/own_file.h"

#include <QButtonGroup>
#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineSeries>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <QValueAxis>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include <unistd.h>

namespace spectrum {
namespace {

constexpr std::uint32_t kInterfaceId = 1;
constexpr std::uint32_t kUsbBoard = 6;
// The watch tries again after 199 waits of 10 ms.
constexpr int kWatchWaits = 199;
constexpr auto kWatchWait = std::chrono::milliseconds(10);
constexpr std::uint32_t kTriggerTimeoutMs = 500;
constexpr std::int32_t kContinuousBufferDepth = 255;
// What the library copies out of a record: as long as the longest spectrum
// it can hold, whatever the sensor says.
constexpr std::size_t kTransferValues = 65536;

const char kGet[] = "Get";
const char kStop[] = "Stop";
const char kGetDarkCurrent[] = "Get Dark Current";
const char kSelectFile[] = "Select File";
const char kGetParam[] = "Get Param";

// The default file: the user's home directory, where the program may write.
QString defaultFileName() {
    return QDir(QDir::homePath()).filePath("testspec.txt");
}

// One line of the continuous file: milliseconds, then every value with two
// decimals, each field ending in a tab, and a bare line feed. Numbers in the
// C locale whatever the user's.
std::string continuousLine(std::uint32_t ms, const double* values, std::size_t count) {
    std::string line = std::to_string(static_cast<std::int32_t>(ms)) + "\t";
    char number[64];
    for (std::size_t i = 0; i < count; ++i) {
        const auto [end, error] =
            std::to_chars(number, number + sizeof number, values[i], std::chars_format::fixed, 2);
        line.append(number, error == std::errc() ? end : number);
        line += '\t';
    }
    line += '\n';
    return line;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

} // namespace

TLegacyPage::TLegacyPage(QWidget* parent, TStatus showStatus, TSpeedAndCount speedAndCount)
    : QObject(parent), showStatus_(std::move(showStatus)),
      speedAndCount_(std::move(speedAndCount)) {
    measurement_ = new QWidget(parent);
    measurement_->setObjectName("TabSheetMeasurement");
    digital_ = new QWidget(parent);
    digital_->setObjectName("TabSheetDigital");
    buildMeasurement(measurement_);
    buildDigital(digital_);
}

TLegacyPage::~TLegacyPage() {
    shutdown();
}

QPushButton* TLegacyPage::button(const QString& caption) const {
    for (QPushButton* b : buttons_) {
        if (b->text() == caption) {
            return b;
        }
    }
    return nullptr;
}

pa::TFloatEdit* TLegacyPage::coefficientEdit(char name) const {
    return name == 'A' ? edA_ : name == 'B' ? edB_ : edC_;
}

void TLegacyPage::buildMeasurement(QWidget* page) {
    const auto addButton = [this](const char* caption, QWidget* parent) {
        auto* b = new QPushButton(caption, parent);
        buttons_.push_back(b);
        return b;
    };
    auto* side = new QWidget(page);
    auto* sideLayout = new QVBoxLayout(side);
    sideLayout->setContentsMargins(0, 0, 0, 0);

    auto* parameters = new QGroupBox("Parameters", side);
    auto* parameterLayout = new QGridLayout(parameters);
    edTime_ = new pa::TIntEdit(parameters);
    edTime_->setObjectName("edTimeOld");
    edTime_->SetValue(30);
    edAverage_ = new pa::TIntEdit(parameters);
    edAverage_->setObjectName("edAverageOld");
    edAverage_->SetValue(1);
    auto* timeLabel = new QLabel("Integration &time:", parameters);
    timeLabel->setBuddy(edTime_);
    auto* averageLabel = new QLabel("Average &number:", parameters);
    averageLabel->setBuddy(edAverage_);
    parameterLayout->addWidget(timeLabel, 0, 0);
    parameterLayout->addWidget(edTime_, 0, 1);
    parameterLayout->addWidget(new QLabel("ms", parameters), 0, 2);
    parameterLayout->addWidget(averageLabel, 1, 0);
    parameterLayout->addWidget(edAverage_, 1, 1);
    sideLayout->addWidget(parameters);

    auto* mode = new QGroupBox("Mode", side);
    auto* modeLayout = new QVBoxLayout(mode);
    rbSingle_ = new QRadioButton("&Single", mode);
    rbSingle_->setChecked(true);
    rbContinuous_ = new QRadioButton("&Continously", mode);
    cbUseDark_ = new QCheckBox("Use Dark Curent", mode);
    cbUseGraph_ = new QCheckBox("Use graf in continously", mode);
    for (QWidget* w :
         std::initializer_list<QWidget*>{rbSingle_, rbContinuous_, cbUseDark_, cbUseGraph_}) {
        modeLayout->addWidget(w);
    }
    sideLayout->addWidget(mode);

    auto* sensorMode = new QGroupBox("Sensor Mode", side);
    sensorMode_ = sensorMode;
    auto* sensorLayout = new QVBoxLayout(sensorMode);
    rbBuffered_ = new QRadioButton("Buffered", sensorMode);
    rbBuffered_->setChecked(true);
    rbTriggerPulse_ = new QRadioButton("External Trigger Pulse", sensorMode);
    sensorLayout->addWidget(rbBuffered_);
    sensorLayout->addWidget(rbTriggerPulse_);
    sideLayout->addWidget(sensorMode);

    auto* actions = new QGridLayout();
    QPushButton* get = addButton(kGet, side);
    QPushButton* stop = addButton(kStop, side);
    QPushButton* dark = addButton(kGetDarkCurrent, side);
    QPushButton* select = addButton(kSelectFile, side);
    actions->addWidget(get, 0, 0);
    actions->addWidget(stop, 0, 1);
    actions->addWidget(dark, 1, 0, 1, 2);
    actions->addWidget(select, 2, 0, 1, 2);
    sideLayout->addLayout(actions);
    fileLabel_ = new QLabel("None", side);
    fileLabel_->setObjectName("lbFile");
    fileLabel_->setWordWrap(true);
    sideLayout->addWidget(fileLabel_);
    sideLayout->addStretch();

    auto* chartSide = new QWidget(page);
    auto* chartLayout = new QVBoxLayout(chartSide);
    chartLayout->setContentsMargins(0, 0, 0, 0);
    chart_ = new QChart();
    chart_->legend()->hide();
    series_ = new QLineSeries(chart_);
    chart_->addSeries(series_);
    for (const auto& [alignment, title] :
         {std::pair{Qt::AlignBottom, "Wave Length"}, std::pair{Qt::AlignLeft, "Counts"}}) {
        auto* axis = new QValueAxis(chart_);
        axis->setTitleText(title);
        axis->setRange(0, 1);
        chart_->addAxis(axis, alignment);
        series_->attachAxis(axis);
    }
    auto* view = new QChartView(chart_, chartSide);
    view->setObjectName("ChartOld");
    view->setRenderHint(QPainter::Antialiasing);
    chartLayout->addWidget(view, 1);
    auto* formula = new QHBoxLayout();
    formula->addWidget(new QLabel("Ax^2 + Bx + C", chartSide));
    const std::pair<const char*, pa::TFloatEdit**> edits[] = {
        {"A", &edA_}, {"B", &edB_}, {"C", &edC_}};
    for (const auto& [name, edit] : edits) {
        formula->addWidget(new QLabel(QString("%1 =").arg(name), chartSide));
        *edit = new pa::TFloatEdit(chartSide);
        (*edit)->setObjectName(QString("ed%1").arg(name));
        formula->addWidget(*edit, 1);
    }
    edA_->SetValue(3.410619911E-6L);
    edB_->SetValue(0.7947480083L);
    edC_->SetValue(177.0639954L);
    formula->addWidget(addButton(kGetParam, chartSide));
    chartLayout->addLayout(formula);

    auto* layout = new QHBoxLayout(page);
    layout->addWidget(side);
    layout->addWidget(chartSide, 1);

    connect(get, &QPushButton::clicked, this, &TLegacyPage::GetClick);
    connect(stop, &QPushButton::clicked, this, &TLegacyPage::StopClick);
    connect(dark, &QPushButton::clicked, this, &TLegacyPage::DarkCurrentClick);
    connect(cbUseDark_, &QCheckBox::clicked, this, &TLegacyPage::DarkCurrentClick);
    connect(select, &QPushButton::clicked, this, &TLegacyPage::SelectFileClick);
    connect(button(kGetParam), &QPushButton::clicked, this, &TLegacyPage::GetParamClick);
}

void TLegacyPage::buildDigital(QWidget* page) {
    const TDigitalLineControls lines = buildDigitalLineControls(page);
    sources_ = lines.sourceButtons;
    outputs_ = lines.outputs;
    inputs_ = lines.inputs;
    buttons_.push_back(lines.read);
    for (int k = 1; k <= 3; ++k) {
        connect(outputs_[k - 1], &QCheckBox::clicked, this, [this, k] { OutputClick(k); });
    }
    connect(lines.read, &QPushButton::clicked, this, &TLegacyPage::ReadClick);
    connect(lines.sources, &QButtonGroup::idClicked, this, &TLegacyPage::InputSourceClick);

    auto* flash = new QGroupBox("Hardware Flash ON/OFF", page);
    auto* flashLayout = new QVBoxLayout(flash);
    cbFlash_ = new QCheckBox("Active", flash);
    flashLayout->addWidget(cbFlash_);
    connect(cbFlash_, &QCheckBox::clicked, this, &TLegacyPage::FlashClick);
    auto* flash2 = new QGroupBox("Hardware Flash Mode 2", page);
    auto* flash2Layout = new QVBoxLayout(flash2);
    cbFlash2Active_ = new QCheckBox("Active", flash2);
    cbFlash2Mode_ = new QCheckBox("Mode", flash2);
    flash2Layout->addWidget(cbFlash2Active_);
    flash2Layout->addWidget(cbFlash2Mode_);
    connect(cbFlash2Active_, &QCheckBox::clicked, this, &TLegacyPage::Flash2Click);
    connect(cbFlash2Mode_, &QCheckBox::clicked, this, &TLegacyPage::Flash2Click);

    auto* layout = new QGridLayout(page);
    layout->addWidget(lines.outputGroup, 0, 0, Qt::AlignTop);
    layout->addWidget(lines.inputGroup, 0, 1, Qt::AlignTop);
    layout->addWidget(lines.sourceGroup, 0, 2, Qt::AlignTop);
    layout->addWidget(flash, 1, 0, Qt::AlignTop);
    layout->addWidget(flash2, 1, 1, Qt::AlignTop);
    layout->setRowStretch(2, 1);
    layout->setColumnStretch(3, 1);
}

void TLegacyPage::start() {
    connectionOpen_ = false;
    showStatus_();
    updateLegacyControls();
    fileName_ = defaultFileName();
    fileLabel_->setText(fileName_);
    watch_ = pa::startThread([this](pa::TThreadPa* thread) { deviceWatch(thread); }, {}, 0, false);
}

void TLegacyPage::shutdown() {
    delete continuous_;
    continuous_ = nullptr;
    delete watch_;
    watch_ = nullptr;
    if (connectionOpen_.exchange(false)) {
        KORAL_CloseOperationElectronics(kInterfaceId);
    }
}

void TLegacyPage::deviceWatch(pa::TThreadPa* thread) {
    while (!thread->terminated()) {
        if (!connectionOpen_.load()) {
            connectionOpen_ = KORAL_OpenOperationElectronicsDevice(0, kUsbBoard, kInterfaceId) == 0;
            if (connectionOpen_.load()) {
                try {
                    pa::TThread::synchronize(thread, [this] { deviceOpened(); });
                } catch (const std::exception&) {
                    // Raised and logged by the step; the watch goes on.
                }
            }
        }
        for (int i = 0; i < kWatchWaits && !thread->terminated(); ++i) {
            platform::clock().sleepFor(kWatchWait);
        }
    }
}

void TLegacyPage::deviceOpened() {
    showStatus_();
    updateLegacyControls();
    if (connectionOpen_.load()) {
        connectionOpen_ = KORAL_InitializeOperationElectronics(0, kInterfaceId) == 0;
        if (connectionOpen_.load()) {
            try {
                GetParamClick();
            } catch (const std::exception&) {
                // Logged; the connection stands without the sensor's formula.
            }
        }
        pa::logPrint(KORAL_SetInterfaceActive(kInterfaceId) != 0 ? "SetIntrface(USB1) .. Failed"
                                                                 : "SetIntrface(USB1) .. Ok");
        std::uint32_t timeout = kTriggerTimeoutMs;
        if (KORAL_ParaSetExtTriggTimeout(&timeout, kInterfaceId) != 0) {
            LastErrorRecord record{};
            KORAL_GetErrorCode(&record);
            pa::logPrint("Set ext trigg timeout failed\n");
            pa::logPrint("level:%d\n", record.level);
            pa::logPrint("code:%d\n", record.code);
        }
    }
    if (!connectionOpen_.load()) {
        KORAL_CloseOperationElectronics(kInterfaceId);
    }
    showStatus_();
    updateLegacyControls();
}

void TLegacyPage::updateLegacyControls() {
    const bool open = connectionOpen_.load();
    for (QWidget* w : std::initializer_list<QWidget*>{edTime_, edAverage_, rbSingle_, rbContinuous_,
                                                      cbUseDark_, sensorMode_}) {
        w->setEnabled(open);
    }
    for (const char* caption : {kGet, kGetDarkCurrent, kGetParam}) {
        button(caption)->setEnabled(open);
    }
    button(kStop)->setEnabled(false);
}

void TLegacyPage::GetParamClick() {
    double c[4] = {};
    if (KORAL_HWConfig_GetSensorParams(&sensorType_, &pixelCount_, &c[0], &c[1], &c[2], &c[3], 1,
                                       kInterfaceId) != 0) {
        pa::raiseError("KORAL_HWConfig_GetSensorsParam execution failed");
    }
    edA_->SetValue(c[2]);
    edB_->SetValue(c[1]);
    edC_->SetValue(c[0]);
}

std::size_t TLegacyPage::pixels() const {
    return std::min<std::size_t>(pixelCount_, kTransferValues);
}

void TLegacyPage::setUpRawData() {
    if (KORAL_AllocRawData(&handle_) != 0) {
        pa::raiseError("allocRawData execution failed");
    }
    if (KORAL_ParaSetMapping(&handle_, 1, kInterfaceId) != 0) {
        pa::raiseError("paraSetMapping execution failed");
    }
    double time = edTime_->GetValue();
    if (KORAL_ParaSetIntegrationTime(&time, kInterfaceId) != 0) {
        pa::raiseError("Can not set integration time");
    }
    std::int32_t average = edAverage_->GetValue();
    if (KORAL_ParaSetAverageNumber(&average, kInterfaceId) != 0) {
        pa::raiseError("Can not set average number");
    }
}

void TLegacyPage::takeDarkCurrent() {
    if (cbUseDark_->isChecked() && KORAL_GetDarkCurrent(kInterfaceId) != 0) {
        pa::raiseError("getDarkCurrent execution failed");
    }
}

void TLegacyPage::DarkCurrentClick() {
    if (handle_ != 0) {
        KORAL_FreeRawData(&handle_);
        handle_ = 0;
    }
    setUpRawData();
    takeDarkCurrent();
}

void TLegacyPage::draw(const std::vector<double>& values) {
    const long double a = edA_->GetValue();
    const long double b = edB_->GetValue();
    const long double c = edC_->GetValue();
    QList<QPointF> points;
    points.reserve(static_cast<qsizetype>(values.size()));
    double minY = 0;
    double maxY = 1;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const auto x = static_cast<long double>(i);
        points.append({static_cast<float>(a * x * x + b * x + c), values[i]});
        minY = std::min(minY, values[i]);
        maxY = std::max(maxY, values[i]);
    }
    series_->replace(points);
    const QList<QAbstractAxis*> axes = chart_->axes();
    if (!points.isEmpty() && axes.size() == 2) {
        const double x0 = points.front().x();
        const double x1 = points.back().x();
        axes[0]->setRange(std::min(x0, x1),
                          std::max(x0, x1) > std::min(x0, x1) ? std::max(x0, x1) : x0 + 1);
        axes[1]->setRange(minY, maxY);
    }
    spectrum_ = values;
}

void TLegacyPage::GetClick() {
    if (handle_ == 0) {
        setUpRawData();
    }
    const bool buffered = rbBuffered_->isChecked();
    if (rbContinuous_->isChecked()) {
        if (KORAL_ParaSetSensorWorkMode(1, buffered ? 7 : 5, kInterfaceId) != 0) {
            pa::raiseError("paraSetSensorWorkMode execution failed");
        }
        if (buffered &&
            callExport(KORAL_ParaSetSpecBuffer, kContinuousBufferDepth, kInterfaceId) != 0) {
            pa::raiseError("paraSetSpecBuffer execution failed");
        }
    }
    if (rbSingle_->isChecked()) {
        std::vector<double> buffer(kTransferValues, 0.0);
        if (!buffered) {
            if (KORAL_ParaSetSensorWorkMode(1, 4, kInterfaceId) != 0) {
                pa::raiseError("paraSetSensorWorkMode execution failed");
            }
            KORAL_IOSetDigOutput1(0, kInterfaceId);
        }
        // The first spectrum only clears the sensor.
        KORAL_GetSpectra(kInterfaceId);
        KORAL_GetStoredRawData(&handle_, buffer.data());
        if (KORAL_GetSpectra(kInterfaceId) != 0) {
            pa::raiseError("getSpectra executin failed");
        }
        if (KORAL_GetStoredRawData(&handle_, buffer.data()) != 0) {
            pa::raiseError("getStoredData execution failed");
        }
        buffer.resize(pixels());
        draw(buffer);
    }
    if (!rbContinuous_->isChecked() || fileName_.isEmpty() || running_) {
        return;
    }
    // One that ended by itself is still to be joined.
    delete continuous_;
    continuous_ = nullptr;
    running_ = true;
    for (QWidget* w : std::initializer_list<QWidget*>{edTime_, edAverage_, rbSingle_, rbContinuous_,
                                                      cbUseDark_, sensorMode_}) {
        w->setEnabled(false);
    }
    button(kGet)->setEnabled(false);
    button(kGetDarkCurrent)->setEnabled(false);
    button(kStop)->setEnabled(true);
    const QString path = fileName_;
    // "Get Param" stays enabled: the worker keeps the pixel count it started with.
    const std::size_t n = pixels();
    continuous_ =
        pa::startThread([this, buffered, path,
                         n](pa::TThreadPa* thread) { continuousLoop(thread, buffered, path, n); },
                        [this](pa::TThread*) { continuousDone(); }, 0, false);
}

void TLegacyPage::continuousLoop(pa::TThreadPa* thread, bool buffered, const QString& path,
                                 std::size_t n) {
    // Judged as every file the user names: nothing another user put at the
    // name receives the spectra, and nothing waits on a pipe.
    std::string why;
    const int fd = platform::openFileToWrite(path.toLocal8Bit().constData(), why);
    std::unique_ptr<std::FILE, FileCloser> file(fd >= 0 ? ::fdopen(fd, "wb") : nullptr);
    if (!file) {
        const std::string reason = platform::failureText(errno, why);
        if (fd >= 0) {
            ::close(fd);
        }
        pa::logPrint("cannot create %s: %s\n", path.toLocal8Bit().constData(), reason.c_str());
        failure_ =
            QString("Cannot create the file %1 (%2).").arg(path, QString::fromStdString(reason));
        return;
    }
    runStart_ = platform::tickCount();
    // The worker's own buffer; the GUI thread gets a copy in each step.
    std::vector<double> buffer(kTransferValues, 0.0);
    int count = 0;
    int error = 0;
    try {
        while (!thread->terminated()) {
            if (buffered) {
                std::uint32_t held = 0;
                std::uint32_t lost = 0;
                // -2 is a warning (scans were lost): the spectrum is there.
                if (callExport(KORAL_GetBufferedSpectra, &held, &lost, kInterfaceId) == -1) {
                    pa::raiseError("getBufferedSpectra executin failed");
                }
            } else {
                KORAL_IOSetDigOutput1(0, kInterfaceId);
                if (KORAL_IOSetDigOutput1(1, kInterfaceId) != 0 ||
                    KORAL_IOSetDigOutput1(0, kInterfaceId) != 0) {
                    pa::raiseError("IOSetDigOutput1 executin failed");
                }
                if (KORAL_GetSpectra(kInterfaceId) != 0) {
                    pa::raiseError("getSpectra executin failed");
                }
            }
            if (KORAL_GetStoredRawData(&handle_, buffer.data()) != 0) {
                pa::raiseError("getStoredData execution failed");
            }
            const std::uint32_t ms = platform::tickCount() - runStart_;
            std::vector<double> values(buffer.begin(), buffer.begin() + static_cast<long>(n));
            ++count;
            pa::TThread::synchronize(thread,
                                     [this, &values, count] { continuousStep(values, count); });
            const std::string line = continuousLine(ms, values.data(), values.size());
            if (std::fwrite(line.data(), 1, line.size(), file.get()) != line.size()) {
                error = errno != 0 ? errno : EIO;
                break;
            }
        }
    } catch (const std::exception&) {
        // Raised and logged: the acquisition ends.
    }
    if (std::fclose(file.release()) != 0 && error == 0) {
        error = errno != 0 ? errno : EIO;
    }
    if (error != 0) {
        pa::logPrint("cannot write %s: %s\n", path.toLocal8Bit().constData(), std::strerror(error));
        failure_ = QString("Cannot write the file %1 (%2).")
                       .arg(path, QString::fromLocal8Bit(std::strerror(error)));
    }
}

void TLegacyPage::continuousStep(const std::vector<double>& values, int count) {
    if (cbUseGraph_->isChecked()) {
        draw(values);
    }
    if (speedAndCount_) {
        speedAndCount_(count, runStart_);
    }
}

void TLegacyPage::continuousDone() {
    running_ = false;
    updateLegacyControls();
    // Told as every save tells it, once the worker has ended (also by Stop).
    if (!failure_.isEmpty()) {
        const QString text = std::exchange(failure_, QString());
        pa::applicationMessageBox(text.toStdString(), "Revaduvo", pa::kMbIconError);
    }
}

void TLegacyPage::StopClick() {
    delete continuous_;
    continuous_ = nullptr;
    updateLegacyControls();
}

void TLegacyPage::SelectFileClick() {
    QString name;
    if (saveFileName_) {
        name = saveFileName_(fileName_);
    } else {
        QFileDialog dialog(measurement_, "Save", fileName_,
                           "Text Files (*.TXT *.txt);;Any File (*)");
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setDefaultSuffix("txt");
        dialog.selectFile(fileName_);
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
            name = dialog.selectedFiles().first();
        }
    }
    if (!name.isEmpty()) {
        fileName_ = name;
        fileLabel_->setText(name);
    }
}

void TLegacyPage::OutputClick(int index) {
    using Output = std::int32_t (*)(std::int32_t, std::uint32_t);
    static const Output outputs[] = {&KORAL_IOSetDigOutput1, &KORAL_IOSetDigOutput2,
                                     &KORAL_IOSetDigOutput3};
    outputs[index - 1](outputs_.at(index - 1)->isChecked() ? 1 : 0, kInterfaceId);
}

void TLegacyPage::ReadClick() {
    using Input = std::int32_t (*)(std::uint32_t*, std::uint32_t);
    static const Input inputs[] = {&KORAL_IOGetDigInput1, &KORAL_IOGetDigInput2,
                                   &KORAL_IOGetDigInput3};
    for (int k = 1; k <= 3; ++k) {
        std::uint32_t value = 0;
        inputs[k - 1](&value, kInterfaceId);
        inputs_[k - 1]->setText(digitalInputText(k, value));
    }
}

void TLegacyPage::InputSourceClick(int index) {
    if (index == 0 || index == 1) {
        KORAL_ParaSetInputSource(index, kInterfaceId);
    }
}

void TLegacyPage::FlashClick() {
    if (KORAL_ParaSetHardwareFlashMode(cbFlash_->isChecked() ? 1 : 0, kInterfaceId) != 0) {
        pa::raiseError("ParaSetHardwareFlashMode execution failed");
    }
}

void TLegacyPage::Flash2Click() {
    if (KORAL_ParaSetHardwareFlashMode2(cbFlash2Active_->isChecked() ? 1 : 0,
                                        cbFlash2Mode_->isChecked() ? 1 : 0, kInterfaceId) != 0) {
        pa::raiseError("ParaSetHardwareFlashMode2 execution failed");
    }
}

} // namespace spectrum
