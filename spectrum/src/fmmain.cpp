#include "fmmain.h"

#include "settings.h"

#include "pa/forms.h"
#include "pa/lmedit.h"
#include "pa/palog.h"
#include "pa/patype.h"
#include "pa/sysutils.h"
#include "platform/clock.h"
#include "platform/own_file.h"
#include "specdevice.h"
#include "spectstart.h"
#include "testdevice.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDateTime>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <QSplitter>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <limits>
#include <utility>

namespace spectrum {
namespace {

constexpr int kDeviceTimerMs = 500;
// The main-window arrays hold at least this many values; a device with more
// pixels gets arrays of its own size.
constexpr std::size_t kSpectrumArray = 4096;
constexpr int kPomrakCount = 5;
constexpr int kPomrakPenWidth = 3;
constexpr int kListTop = 40;
constexpr int kListStep = 19;
constexpr int kListLeft = 8;
constexpr int kListWidth = 165;

const char kGetSpectrum[] = "Get Revaduvo";
const char kGetPomrak[] = "Get Pomrak";
const char kData[] = "Data";
const char kStop[] = "Stop";
const char kSetup[] = "Setup";
const char kBtnScope[] = "Scope";
const char kBtnAbsorbance[] = "Absorbance";
const char kBtnTransmittance[] = "Transmittance";
const char kBtnIrradiance[] = "Irradiance";
const char kCapture[] = "&Capture Revaduvo";
const char kRun[] = "&Run";
const char kPreview[] = "Preview";
const char kCaptureReference[] = "Capture Reference";
const char kDarkCurrent[] = "Get Dark Current";
const char kDeviceParameters[] = "Device Parameters";
const char kDigital[] = "Digital Input/Output";
const char kGraphParameters[] = "Graph Paremeters";
constexpr int kMathOpenHeight = 105;
constexpr int kMathFoldedHeight = 15;
constexpr int kMathGap = 10;
constexpr int kMathWidth = 232;

// Marks an acquisition of the GUI thread: a synchronisation's wait pumps
// messages meanwhile, and none of them may send parameters to the device.
class TGuiAcquisition {
public:
    explicit TGuiAcquisition(bool& flag) : flag_(flag), was_(flag) { flag_ = true; }
    ~TGuiAcquisition() { flag_ = was_; }
    TGuiAcquisition(const TGuiAcquisition&) = delete;
    TGuiAcquisition& operator=(const TGuiAcquisition&) = delete;

private:
    bool& flag_;
    bool was_;
};

// The run and preview buffers hold the device's pixels and at least as many
// values as the main-window arrays.
std::size_t bufferSize(const TDevice& device) {
    return std::max(kSpectrumArray, static_cast<std::size_t>(std::max(device.pixelCount(), 0)));
}

// A time as the field's whole milliseconds: rounded, since the device's
// value may lie a rounding error below the number it took.
std::optional<std::int32_t> wholeMs(double ms) {
    const double whole = std::round(ms);
    if (std::isfinite(whole) && whole >= std::numeric_limits<std::int32_t>::min() &&
        whole <= std::numeric_limits<std::int32_t>::max()) {
        return static_cast<std::int32_t>(whole);
    }
    return std::nullopt;
}

// What a user reads when a file does not load: the file and what is wrong
// with it, never the bytes found in it.
QString loadErrorText(const QString& path) {
    const QString file = QFileInfo(path).fileName();
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(
        platform::openStream(path.toLocal8Bit().constData(), "rb"), &std::fclose);
    if (!in) {
        return QString("\"%1\" cannot be opened.").arg(file);
    }
    // Every spectrum file begins with its list's class name and a zero byte.
    static const char kTag[] = "TDataList";
    char tag[sizeof kTag] = {};
    if (std::fread(tag, 1, sizeof tag, in.get()) != sizeof tag ||
        std::memcmp(tag, kTag, sizeof tag) != 0) {
        return QString("\"%1\" is not a spectrum file.").arg(file);
    }
    return QString("\"%1\" is damaged or incomplete; nothing was loaded.").arg(file);
}

std::unique_ptr<TDevice> deviceFor(const QStringList& words) {
    if (words.size() > 1 && words.at(1) == "test") {
        return std::make_unique<TTestDevice>();
    }
    return std::make_unique<TSpecDevice>();
}

} // namespace

TfmMain::TfmMain(const QStringList& words, QWidget* parent) : TfmMain(words, nullptr, parent) {}

TfmMain::TfmMain(const QStringList& words, std::unique_ptr<TDevice> device, QWidget* parent)
    : QMainWindow(parent) {
    spectStartMessage();
    pa::setDecimalSeparator(',');
    pageMode_ = !words.isEmpty() && words.first() == "old" ? 0 : 1;
    counter_ = 0;
    buildWindow();
    devTimer_ = new QTimer(this);
    devTimer_->setInterval(kDeviceTimerMs);
    connect(devTimer_, &QTimer::timeout, this, &TfmMain::TimerDevTimer);
    if (pageMode_ == 0) {
        pages_->setTabVisible(0, false);
        pages_->setCurrentIndex(1);
        legacy_->start();
    } else {
        current_.assign(kSpectrumArray, 0.0);
        reference_.assign(kSpectrumArray, 0.0);
        pages_->setTabVisible(1, false);
        pages_->setTabVisible(2, false);
        device_ = device ? std::move(device) : deviceFor(words);
        if (auto* spec = dynamic_cast<TSpecDevice*>(device_.get())) {
            spec->setCaptionHandler([this](const std::string& text) {
                setWindowTitle(QString::fromLatin1(text.c_str()));
            });
        }
        devTimer_->start();
        darkTaken_ = referenceTaken_ = runActive_ = previewActive_ = captureActive_ = false;
        kind_ = kScope;
    }
    showStatus();
    updateControls();
    FormCreate();
    qApp->installEventFilter(this);
    spectStart_ = new TSpectStartServer(qApp, this);
    if (!spectStart_->listen(spectStartServerName())) {
        pa::logPrint("SpectStart: %s\n", spectStart_->errorString().toLocal8Bit().constData());
    }
    createForms();
}

TfmMain::~TfmMain() {
    qApp->removeEventFilter(this);
    FormDestroy();
}

void TfmMain::createForms() {
    fmParam_ = new TfmParam(this);
    fmData_ = new TfmData(this);
    fmRun_ = new TfmRun(this);
    fmGraphParam_ = new TfmGraphParam(this);
    fmDigital_ = new TfmDigital(this);
    // Hiding a dialog unticks its menu entry.
    const std::pair<TForm*, const char*> toggled[] = {
        {fmParam_, kDeviceParameters}, {fmDigital_, kDigital}, {fmGraphParam_, kGraphParameters}};
    for (const auto& [form, caption] : toggled) {
        QAction* entry = action(caption);
        connect(form, &TForm::hidden, this, [entry] { entry->setChecked(false); });
    }
    updateControls();
    FmInterval_ = new TFmInterval(this);
    connect(FmInterval_, &TFmInterval::finishedInterval, this, &TfmMain::endIntervalDialog);
}

QAction* TfmMain::addAction(QMenu* menu, const QString& caption) {
    QAction* action = menu->addAction(caption);
    actions_.push_back(action);
    return action;
}

QAction* TfmMain::addToolAction(const QString& caption) {
    QAction* action = toolBar_->addAction(caption);
    actions_.push_back(action);
    return action;
}

QAction* TfmMain::action(const QString& caption) const {
    for (QAction* a : actions_) {
        if (a->text() == caption) {
            return a;
        }
    }
    return nullptr;
}

QToolButton* TfmMain::toolButton(const QString& caption) const {
    QAction* a = action(caption);
    return a != nullptr ? qobject_cast<QToolButton*>(toolBar_->widgetForAction(a)) : nullptr;
}

void TfmMain::buildWindow() {
    setObjectName("fmMain");
    setWindowTitle("Revaduvo");
    resize(1061, 640);

    // Menus; entries whose features are not here yet stay without effect.
    QMenu* measure = menuBar()->addMenu("&Measure");
    connect(addAction(measure, kCapture), &QAction::triggered, this, &TfmMain::acCaptureExecute);
    connect(addAction(measure, kRun), &QAction::triggered, this, &TfmMain::acRunExecute);
    connect(addAction(measure, kPreview), &QAction::triggered, this, &TfmMain::acPreviewExecute);
    connect(addAction(measure, kCaptureReference), &QAction::triggered, this,
            &TfmMain::acCaptureReferenceExecute);
    connect(addAction(measure, kDarkCurrent), &QAction::triggered, this,
            &TfmMain::meDarkCurrentClick);
    QMenu* options = menuBar()->addMenu("&Options");
    const std::pair<const char*, void (TfmMain::*)()> dialogs[] = {
        {kDeviceParameters, &TfmMain::meDeviceParametersClick},
        {kDigital, &TfmMain::meDigitalClick},
        {kGraphParameters, &TfmMain::meGraphParamClick}};
    for (const auto& [caption, slot] : dialogs) {
        QAction* entry = addAction(options, caption);
        entry->setCheckable(true);
        connect(entry, &QAction::triggered, this, slot);
    }

    toolBar_ = addToolBar("Tools");
    toolBar_->setObjectName("ToolBar1");
    toolBar_->setMovable(false);
    toolBar_->setToolButtonStyle(Qt::ToolButtonTextOnly);
    connect(addToolAction(kGetSpectrum), &QAction::triggered, this, &TfmMain::btGetSpectrumClick);
    QAction* pomrak = addToolAction(kGetPomrak);
    pomrak->setVisible(false);
    connect(pomrak, &QAction::triggered, this, &TfmMain::ToolButton3Click);
    QAction* data = addToolAction(kData);
    ppData_ = new QMenu(this);
    ppData_->setObjectName("ppData");
    connect(ppData_->addAction("Load"), &QAction::triggered, this, &TfmMain::meLoadClick);
    QAction* save = ppData_->addAction("Save");
    connect(save, &QAction::triggered, this, &TfmMain::meSaveClick);
    QAction* clear = ppData_->addAction("Clear");
    connect(clear, &QAction::triggered, this, &TfmMain::clearRunData);
    QAction* exportRun = ppData_->addAction("Export");
    connect(exportRun, &QAction::triggered, this, &TfmMain::exportRunData);
    connect(ppData_->addAction("Export All"), &QAction::triggered, this, &TfmMain::ExportAll1Click);
    connect(ppData_->addAction("Export selected"), &QAction::triggered, this,
            &TfmMain::Exportselected1Click);
    connect(ppData_, &QMenu::aboutToShow, this, [this, save, clear, exportRun] {
        const bool run = fmData_ != nullptr && fmData_->count() > 0;
        clear->setEnabled(run);
        exportRun->setEnabled(run);
        save->setEnabled(!dataSet_.spectra.empty());
    });
    data->setMenu(ppData_);
    if (QToolButton* b = toolButton(kData)) {
        b->setPopupMode(QToolButton::InstantPopup);
    }
    connect(addToolAction(kStop), &QAction::triggered, this, &TfmMain::btStopClick);
    addToolAction(kSetup);
    toolBar_->addSeparator();
    auto* kinds = new QActionGroup(this);
    const std::pair<const char*, DisplayKind> kindButtons[] = {{kBtnScope, kScope},
                                                               {kBtnAbsorbance, kAbsorbance},
                                                               {kBtnTransmittance, kTransmittance},
                                                               {kBtnIrradiance, kIrradiance}};
    for (const auto& [caption, kind] : kindButtons) {
        QAction* a = addToolAction(caption);
        a->setCheckable(true);
        a->setChecked(kind == kScope);
        kinds->addAction(a);
        connect(a, &QAction::triggered, this, [this, kind = kind] { setDisplayKind(kind); });
    }

    status_ = new QLabel(this);
    status_->setMinimumWidth(120);
    statusBar()->addWidget(status_);
    speed_ = new QLabel(this);
    speed_->setMinimumWidth(140);
    statusBar()->addWidget(speed_);
    count_ = new QLabel(this);
    count_->setMinimumWidth(120);
    statusBar()->addWidget(count_);

    pages_ = new QTabWidget(this);
    setCentralWidget(pages_);

    // "Measuring": the chart with its controls, and the stored spectra.
    auto* measuring = new QWidget(pages_);
    auto* split = new QSplitter(measuring);
    auto* chartSide = new QWidget(split);
    auto* chartLayout = new QVBoxLayout(chartSide);
    chartLayout->setContentsMargins(0, 0, 0, 0);
    auto* controls = new QHBoxLayout();
    cbLogarithmic_ = new QCheckBox("Logarithmic", chartSide);
    cbAutoIntegration_ = new QCheckBox("Auto Integration", chartSide);
    IntegTimeEdit_ = new pa::TIntEdit(chartSide);
    IntegTimeEdit_->SetValue(30);
    IntegTimeEdit_->setMaximumWidth(80);
    SetITbtn_ = new QPushButton("Set", chartSide);
    SetITbtn_->setObjectName("SetITbtn");
    controls->addWidget(new QLabel("Integration Time [ms]", chartSide));
    controls->addWidget(IntegTimeEdit_);
    controls->addWidget(SetITbtn_);
    controls->addSpacing(12);
    controls->addWidget(cbLogarithmic_);
    controls->addWidget(cbAutoIntegration_);
    controls->addStretch();
    chartLayout->addLayout(controls);
    buildChartPages(chartSide);
    chartLayout->addWidget(PageControl1_);
    view_ = new TSpectrumView(chartSide);
    view_->setObjectName("ChartSpec");
    chartLayout->addWidget(view_, 1);
    buildScaleButtons();
    connect(SetITbtn_, &QPushButton::clicked, this, &TfmMain::SetITbtnClick);
    // What was taken before the box was ticked is not judged.
    connect(cbAutoIntegration_, &QCheckBox::toggled, this, [this](bool on) {
        if (on) {
            unjudged_.reset();
        }
    });
    connect(cbLogarithmic_, &QCheckBox::clicked, this, &TfmMain::updateGraph);
    connect(cbShowCursor_, &QCheckBox::clicked, this,
            [this](bool on) { view_->setShowCursor(on); });
    view_->setShowCursor(cbShowCursor_->isChecked());

    auto* side = new QTabWidget();
    side->setObjectName("PageControl2");
    auto* spectra = new QWidget(side);
    auto* spectraLayout = new QVBoxLayout(spectra);
    spectraLayout->setContentsMargins(2, 2, 2, 2);
    SpectrumScrollBox_ = new QScrollArea(spectra);
    SpectrumScrollBox_->setObjectName("SpectrumScrollBox");
    SpectrumScrollBox_->setWidgetResizable(false);
    spectrumList_ = new QWidget();
    cbImplicit_ = new QCheckBox("preview spectrum(implicit)", spectrumList_);
    cbImplicit_->setChecked(true);
    cbImplicit_->move(kListLeft, 8);
    cbImplicit_->adjustSize();
    connect(cbImplicit_, &QCheckBox::clicked, this, &TfmMain::updateGraph);
    auto* saved = new QLabel(" Saved ", spectrumList_);
    saved->move(kListLeft, 26);
    saved->adjustSize();
    auto* line = new QFrame(spectrumList_);
    line->setFrameShape(QFrame::HLine);
    line->setGeometry(kListLeft + saved->width(), 26 + saved->height() / 2,
                      kListWidth - saved->width(), 2);
    RenamePanel_ = new QFrame(spectrumList_);
    RenamePanel_->setObjectName("RenamePanel");
    RenamePanel_->setFrameShape(QFrame::Box);
    RenameEdit_ = new QLineEdit(RenamePanel_);
    RenameEdit_->setObjectName("RenameEdit");
    RenameEdit_->setGeometry(1, 1, kListWidth - 2, 19);
    RenamePanel_->setGeometry(kListLeft, kListTop, kListWidth, 21);
    RenamePanel_->hide();
    connect(RenameEdit_, &QLineEdit::returnPressed, this, [this] { RenameEditKeyPress(13); });
    SpectrumScrollBox_->setWidget(spectrumList_);
    spectraLayout->addWidget(SpectrumScrollBox_, 1);
    auto* buttons = new QHBoxLayout();
    const std::tuple<const char*, const char*, void (TfmMain::*)()> listButtons[] = {
        {"All", "check all", &TfmMain::SpeedButton1Click},
        {"None", "uncheck all", &TfmMain::SpeedButton2Click},
        {"Rev.", "Reverse check", &TfmMain::SpeedButton3Click},
        {"Del.", "Delete all", &TfmMain::SpeedButton4Click}};
    for (const auto& [text, hint, slot] : listButtons) {
        auto* b = new QToolButton(spectra);
        b->setText(text);
        b->setToolTip(hint);
        connect(b, &QToolButton::clicked, this, slot);
        buttons->addWidget(b);
    }
    spectraLayout->addLayout(buttons);
    side->addTab(spectra, "Spectrums");
    NotesEdit_ = new QPlainTextEdit("No Notes Yet", side);
    NotesEdit_->setObjectName("NotesEdit");
    // The notes are saved with the spectra.
    connect(NotesEdit_, &QPlainTextEdit::textChanged, this, [this] { unsaved_ = true; });
    side->addTab(NotesEdit_, "Notes");
    auto* sidePanel = new QWidget(split);
    buildMath(sidePanel, side);
    split->addWidget(chartSide);
    split->addWidget(sidePanel);
    split->setStretchFactor(0, 1);
    split->setSizes({800, 250});
    auto* measuringLayout = new QVBoxLayout(measuring);
    measuringLayout->setContentsMargins(2, 2, 2, 2);
    measuringLayout->addWidget(split);
    pages_->addTab(measuring, "Measuring");
    // The legacy page and its digital lines are pages of their own.
    legacy_ = new TLegacyPage(
        pages_, [this] { showStatus(); },
        [this](int count, std::uint32_t start) { showSpeedAndCount(count, start); });
    pages_->addTab(legacy_->measurementPage(), "Measurement");
    pages_->addTab(legacy_->digitalPage(), "Digital I/O");
    layoutSpectrumCheckBoxes();
    // The list's whole width, with room for its vertical scroll bar.
    SpectrumScrollBox_->setMinimumWidth(
        spectrumList_->width() + 2 * SpectrumScrollBox_->frameWidth() +
        SpectrumScrollBox_->verticalScrollBar()->sizeHint().width());

    PopupMenu1_ = new QMenu(this);
    PopupMenu1_->setObjectName("PopupMenu1");
    connect(PopupMenu1_->addAction("delete"), &QAction::triggered, this, &TfmMain::delete1Click);
    connect(PopupMenu1_->addAction("rename"), &QAction::triggered, this, &TfmMain::rename1Click);
    connect(PopupMenu1_->addAction("add to equation"), &QAction::triggered, this,
            &TfmMain::addtoequation11Click);
    showPomrak_ = PopupMenu1_->addAction("Show Pomrak");
    connect(showPomrak_, &QAction::triggered, this, &TfmMain::ShowPomrak1Click);
}

QString TfmMain::statusText() const {
    return status_->text();
}

void TfmMain::showStatus() {
    const bool open = pageMode_ == 1 ? device_ && device_->isOpened() : legacy_->connectionOpen();
    status_->setText(open ? "Opened" : "Not connected");
}

void TfmMain::updateControls() {
    const bool open = pageMode_ == 1 && device_ && device_->isOpened();
    const bool busy = runActive_ || previewActive_ || captureActive_;
    const bool ready = open && !busy;
    const auto enable = [this](const char* caption, bool on) {
        if (QAction* a = action(caption)) {
            a->setEnabled(on);
        }
    };
    for (const char* c : {kBtnScope, kBtnIrradiance, kSetup, kDeviceParameters}) {
        enable(c, open);
    }
    enable(kBtnAbsorbance, open && referenceTaken_);
    enable(kBtnTransmittance, open && referenceTaken_);
    for (const char* c : {kCapture, kRun, kPreview, kGetSpectrum, kDarkCurrent}) {
        enable(c, ready);
    }
    enable(kCaptureReference, open && !runActive_ && !captureActive_);
    enable(kStop, open && busy);
    enable(kData, !runActive_ && !captureActive_);
    // A new time re-allocates the device's record: never under a worker.
    SetITbtn_->setEnabled(!busy);
    if (fmParam_ != nullptr) {
        fmParam_->parameterGroup()->setEnabled(ready);
    }
    toolBar_->update();
}

void TfmMain::TimerDevTimer() {
    if (!device_ || device_->isOpened()) {
        return;
    }
    if (!device_->open()) {
        return;
    }
    // The arrays follow a device with more pixels than they hold.
    const std::size_t needed = static_cast<std::size_t>(std::max(device_->pixelCount(), 0)) + 1;
    if (current_.size() < needed) {
        current_.resize(needed, 0.0);
        reference_.resize(needed, 0.0);
    }
    // The dialogs' parameters and input source, sent with the next acquisition.
    fmParam_->btSetParamClick();
    fmDigital_->InputSourceClick();
    showStatus();
    updateControls();
    updateGraph();
}

void TfmMain::updateGraph() {
    if (inUpdateGraph_) {
        return;
    }
    inUpdateGraph_ = true;
    TSpectrumView::Input input;
    input.kind = kind_;
    input.pixelCount = device_ ? device_->pixelCount() : 0;
    input.wavelengths = device_ ? &device_->wavelengths() : nullptr;
    input.current = &current_;
    input.reference = &reference_;
    input.stored = &dataSet_;
    input.checked.reserve(checkBoxes_.size());
    for (QCheckBox* box : checkBoxes_) {
        input.checked.push_back(box->isChecked());
    }
    input.drawCurrent = cbImplicit_->isChecked();
    input.logarithmic = cbLogarithmic_->isChecked();
    // A range is applied only once one was kept.
    if (!lManualScale_->isHidden()) {
        input.manualScale = savedRange_;
    }
    view_->updateGraph(input);
    // While the worker acquires, the time is adjusted in its step, which
    // brings the next spectrum anyway.
    if (cbAutoIntegration_->isChecked() && device_ && unjudged_ && !deviceBusyElsewhere()) {
        const TUnjudged judged = std::move(*unjudged_);
        unjudged_.reset();
        if (const auto ms = autoIntegrationTime(judged.values, judged.ms)) {
            IntegTimeEdit_->SetValue(*ms);
            SetITbtnClick();
            // The new time took the reference and the kind with it: the
            // chart shows what is in effect now. Nothing is left to judge,
            // so this draws only.
            input.kind = kind_;
            view_->updateGraph(input);
        }
    }
    inUpdateGraph_ = false;
}

void TfmMain::spectrumTaken(const std::vector<double>& values) {
    unjudged_ = TUnjudged{values, device_->integrationTime()};
}

void TfmMain::setDisplayKind(DisplayKind kind) {
    kind_ = kind;
    const char* captions[] = {kBtnScope, kBtnAbsorbance, kBtnTransmittance, kBtnIrradiance};
    if (QAction* a = action(captions[kind])) {
        a->setChecked(true);
    }
    updateGraph();
}

bool TfmMain::deviceBusyElsewhere() const {
    return (runActive_ || previewActive_) && !inWorkerStep_;
}

void TfmMain::SetITbtnClick() {
    // The button is off while a worker runs; an automatic adjustment outside
    // the worker's step waits for the next step.
    if (deviceBusyElsewhere()) {
        return;
    }
    std::int32_t ms = IntegTimeEdit_->GetValue();
    if (device_) {
        // Another time starts a raw-data record without the dark current,
        // and a reference of the old time no longer fits; the time in effect
        // again keeps both.
        const bool newTime = ms != integrationTimeShown();
        device_->setIntegrationTime(newTime ? ms : device_->integrationTime());
        if (newTime) {
            dropReference(true);
        }
        ms = integrationTimeInEffect(ms);
        IntegTimeEdit_->SetValue(ms);
    }
    if (fmParam_ != nullptr) {
        fmParam_->edTime()->SetValue(ms);
    }
    // Called from a redraw's auto integration, that redraw draws again.
    setDisplayKind(kScope);
    updateControls();
    if (fmData_ != nullptr) {
        fmData_->clear();
    }
}

void TfmMain::dropReference(bool dark) {
    if (dark) {
        darkTaken_ = false;
    }
    referenceTaken_ = false;
    // No ratio to a reference that no longer fits; the caller redraws.
    if (kind_ == kAbsorbance || kind_ == kTransmittance) {
        kind_ = kScope;
        action(kBtnScope)->setChecked(true);
    }
}

std::int32_t TfmMain::integrationTimeInEffect(std::int32_t typed) {
    // Sent now, so that a number the device limits is shown as it is in
    // effect instead of as typed. Only sent: the raw-data record keeps the
    // dark current.
    if (device_->isOpened() && !guiAcquiring_ && !deviceBusyElsewhere()) {
        try {
            device_->setParameters();
        } catch (const std::exception&) {
            // The next acquisition sends the parameters again and logs it.
        }
    }
    return wholeMs(device_->integrationTime()).value_or(typed);
}

std::int32_t TfmMain::integrationTimeShown() const {
    const std::int32_t field = IntegTimeEdit_->GetValue();
    return device_ ? wholeMs(device_->integrationTime()).value_or(field) : field;
}

void TfmMain::parametersSet(std::int32_t ms, bool newTime, bool newAverage) {
    if (newTime) {
        dropReference(true);
    }
    // A new time or average number is sent at once, so that a number the
    // device limits shows as it is in effect; otherwise the parameters go
    // with the next acquisition.
    if (device_ && (newTime || newAverage)) {
        ms = integrationTimeInEffect(ms);
    }
    if (fmParam_ != nullptr) {
        fmParam_->edTime()->SetValue(ms);
        if (device_) {
            fmParam_->edAverage()->SetValue(device_->averageNumber());
        }
    }
    IntegTimeEdit_->SetValue(ms);
    setDisplayKind(kScope);
    updateControls();
    if (fmData_ != nullptr) {
        fmData_->clear();
    }
}

void TfmMain::placeDialog(QWidget* dialog, int rightOffset) {
    const QRect frame = frameGeometry();
    const int left = frame.left() + frame.width() - rightOffset - dialog->frameGeometry().width();
    const int top = frame.top() + frame.height() - height();
    dialog->move(left, top);
}

void TfmMain::meDeviceParametersClick() {
    if (!action(kDeviceParameters)->isChecked()) {
        fmParam_->hide();
        return;
    }
    fmParam_->setWindowFlag(Qt::WindowStaysOnTopHint);
    fmParam_->show();
    placeDialog(fmParam_, 0);
}

void TfmMain::meDigitalClick() {
    if (!action(kDigital)->isChecked()) {
        fmDigital_->hide();
        return;
    }
    fmDigital_->setWindowFlag(Qt::WindowStaysOnTopHint);
    fmDigital_->show();
}

void TfmMain::meGraphParamClick() {
    if (!action(kGraphParameters)->isChecked()) {
        fmGraphParam_->hide();
        return;
    }
    fmGraphParam_->prepare();
    fmGraphParam_->setWindowFlag(Qt::WindowStaysOnTopHint);
    fmGraphParam_->show();
    // Left of where the parameter dialog sits.
    placeDialog(fmGraphParam_, fmParam_->frameGeometry().width());
}

bool TfmMain::eventFilter(QObject* watched, QEvent* event) {
    if (watched == GroupBox4_ && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        GroupBox4Click();
        return true;
    }
    if (event->type() == spectStartMessage()) {
        // From the socket, the sender learns what became of its request.
        auto* request = dynamic_cast<TSpectStartEvent*>(event);
        if (QAction* get = action(kGetSpectrum); get != nullptr && get->isEnabled()) {
            const int before = spectrumCount();
            if (request != nullptr) {
                request->taking();
            }
            const auto restore =
                qScopeGuard([this, outer = std::exchange(spectStartRequest_, request)] {
                    spectStartRequest_ = outer;
                });
            get->trigger();
            if (request != nullptr) {
                request->outcome = spectrumCount() > before ? TSpectStartOutcome::Taken
                                                            : TSpectStartOutcome::Failed;
            }
        } else if (request != nullptr) {
            if (pageMode_ == 0) {
                request->outcome = TSpectStartOutcome::LegacyPage;
            } else if (!device_ || !device_->isOpened()) {
                request->outcome = TSpectStartOutcome::NotOpen;
            } else {
                request->outcome = TSpectStartOutcome::Busy;
            }
        }
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

bool TfmMain::FormCloseQuery() {
    // A capture on the GUI thread is still on the stack below this call: the
    // window closes once it has returned.
    if (captureActive_) {
        if (device_) {
            device_->stop();
        }
        closePending_ = true;
        return false;
    }
    // Asked before anything stops, so that No leaves runs going as well.
    if (!mayDropSpectra()) {
        return false;
    }
    if (device_) {
        device_->stop();
    }
    // Its on-terminate handler runs meanwhile and clears the flags.
    deleteWorker();
    return !runActive_;
}

void TfmMain::closeEvent(QCloseEvent* event) {
    if (FormCloseQuery()) {
        event->accept();
    } else {
        event->ignore();
    }
}

void TfmMain::FormDestroy() {
    destroying_ = true;
    devTimer_->stop();
    if (device_) {
        device_->stop();
    }
    deleteWorker();
    legacy_->shutdown();
    lights_.clear();
    // The dialogs write their settings while the log still takes failures.
    for (QObject* form : std::initializer_list<QObject*>{fmParam_, fmGraphParam_, fmDigital_}) {
        delete form;
    }
    fmParam_ = nullptr;
    fmGraphParam_ = nullptr;
    fmDigital_ = nullptr;
    device_.reset();
    pa::closeLogFile();
}

void TfmMain::beginCapture() {
    captureActive_ = true;
    updateControls();
}

void TfmMain::endCapture() {
    captureActive_ = false;
    device_->clearStop();
    updateControls();
    if (closePending_) {
        closePending_ = false;
        QTimer::singleShot(0, this, &QWidget::close);
    }
}

// --- stored spectra ----------------------------------------------------------

void TfmMain::btGetSpectrumClick() {
    newSpectrum();
}

void TfmMain::newSpectrum() {
    const std::string name = "Revaduvo" + std::to_string(counter_);
    if (GetNewSpectrum(name)) {
        ++counter_;
        view_->appendStoredSeries();
        addSpectrumCheckBox(QString::fromLatin1(name.c_str()));
        updateGraph();
    }
}

bool TfmMain::GetNewSpectrum(const std::string& name) {
    if (!device_ || !device_->isOpened()) {
        return false;
    }
    beginCapture();
    mi::Data data;
    data.values.assign(static_cast<std::size_t>(std::max(device_->pixelCount(), 0)) + 1, 0.0);
    data.name = name;
    pa::logPrint("GetNewSpectrum\n");
    bool ok = false;
    try {
        const TGuiAcquisition acquiring(guiAcquiring_);
        ok = device_->getRawData(data.values);
    } catch (const std::exception& e) {
        // The command that asked for the spectrum does not wait for the box.
        if (spectStartRequest_ != nullptr) {
            spectStartRequest_->answer(TSpectStartOutcome::Failed);
        }
        showError(QString::fromLatin1(e.what()));
    }
    if (ok) {
        data.date = QDateTime::currentDateTime().toString("dd.MM.yyyy hh:mm:ss").toStdString();
        spectrumTaken(data.values);
        dataSet_.spectra.push_back(data);
        unsaved_ = true;
    }
    endCapture();
    return ok;
}

void TfmMain::addSpectrumCheckBox(const QString& name) {
    auto* box = new QCheckBox(name, spectrumList_);
    box->setChecked(true);
    box->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(box, &QCheckBox::clicked, this, &TfmMain::updateGraph);
    connect(box, &QWidget::customContextMenuRequested, this,
            [this, box](const QPoint& pos) { spectrumContextPopup(box, box->mapToGlobal(pos)); });
    checkBoxes_.push_back(box);
    layoutSpectrumCheckBoxes();
    box->show();
}

void TfmMain::layoutSpectrumCheckBoxes() {
    for (std::size_t i = 0; i < checkBoxes_.size(); ++i) {
        QCheckBox* box = checkBoxes_[i];
        const int index = static_cast<int>(i);
        box->setGeometry(kListLeft, kListTop + kListStep * index, kListWidth, kListStep);
        box->setProperty("Tag", index);
        QPalette palette = box->palette();
        if (index < view_->storedSeriesCount()) {
            palette.setColor(QPalette::WindowText, view_->storedSeriesColour(index));
        }
        box->setPalette(palette);
    }
    spectrumList_->resize(
        std::max(kListLeft + kListWidth, cbImplicit_->x() + cbImplicit_->width()) + 4,
        kListTop + kListStep * (spectrumCount() + 1) + 4);
    RenamePanel_->raise();
}

void TfmMain::spectrumContextPopup(QCheckBox* entry, const QPoint& globalPos) {
    if (firstOperand_ != -1 && secondOperand_ != -1) {
        clearMathOperands();
    }
    currentEntry_ = entry;
    const int i = entry->property("Tag").toInt();
    showPomrak_->setVisible(i >= 0 && i < view_->storedSeriesCount() &&
                            view_->storedSeries(i)->pen().width() == kPomrakPenWidth);
    PopupMenu1_->popup(globalPos);
}

void TfmMain::removeSpectrumAt(int index) {
    if (index < 0 || index >= spectrumCount()) {
        return;
    }
    view_->removeStoredSeries(index);
    QCheckBox* box = checkBoxes_[static_cast<std::size_t>(index)];
    checkBoxes_.erase(checkBoxes_.begin() + index);
    if (static_cast<std::size_t>(index) < dataSet_.spectra.size()) {
        dataSet_.spectra.erase(dataSet_.spectra.begin() + index);
        unsaved_ = true;
    }
    delete box;
}

void TfmMain::removeAllSpectra() {
    while (spectrumCount() > 0) {
        removeSpectrumAt(0);
    }
    view_->clearStoredSeries();
    dataSet_.spectra.clear();
    currentEntry_ = nullptr;
}

void TfmMain::delete1Click() {
    if (currentEntry_ == nullptr ||
        !confirm("This action will errase this spectrum. Are you sure?")) {
        return;
    }
    removeSpectrumAt(currentEntry_->property("Tag").toInt());
    currentEntry_ = nullptr;
    // A chosen operand is a list position: it would name another entry now.
    clearMathOperands();
    layoutSpectrumCheckBoxes();
    updateGraph();
}

void TfmMain::rename1Click() {
    if (currentEntry_ == nullptr) {
        return;
    }
    RenamePanel_->move(kListLeft, currentEntry_->y());
    RenamePanel_->raise();
    RenameEdit_->setText(currentEntry_->text());
    RenamePanel_->show();
    RenameEdit_->setFocus();
}

void TfmMain::RenameEditKeyPress(int key) {
    if (key != 13) {
        return;
    }
    RenamePanel_->hide();
    // The entry may have gone while the panel was up: nothing to rename.
    if (currentEntry_ == nullptr) {
        return;
    }
    const int i = currentEntry_->property("Tag").toInt();
    currentEntry_->setText(RenameEdit_->text());
    if (i >= 0 && static_cast<std::size_t>(i) < dataSet_.spectra.size()) {
        dataSet_.spectra[static_cast<std::size_t>(i)].name = RenameEdit_->text().toStdString();
        unsaved_ = true;
    }
    currentEntry_ = nullptr;
}

void TfmMain::addtoequation11Click() {
    if (currentEntry_ == nullptr) {
        return;
    }
    const int position = currentEntry_->property("Tag").toInt();
    if (firstOperand_ == -1) {
        firstOperand_ = position;
        math1_->setText(currentEntry_->text());
    } else if (secondOperand_ == -1) {
        secondOperand_ = position;
        math2_->setText(currentEntry_->text());
        enableMathButtons();
    }
}

void TfmMain::ShowPomrak1Click() {
    FmInterval_->show();
    FmInterval_->raise();
    setEnabled(false);
    // The dialog is a child window: it stays usable while its owner is off.
    FmInterval_->setEnabled(true);
}

void TfmMain::endIntervalDialog() {
    setEnabled(true);
}

void TfmMain::SpeedButton1Click() {
    for (QCheckBox* box : checkBoxes_) {
        box->setChecked(true);
    }
    updateGraph();
}

void TfmMain::SpeedButton2Click() {
    for (QCheckBox* box : checkBoxes_) {
        box->setChecked(false);
    }
    updateGraph();
}

void TfmMain::SpeedButton3Click() {
    for (QCheckBox* box : checkBoxes_) {
        box->setChecked(!box->isChecked());
    }
    updateGraph();
}

void TfmMain::SpeedButton4Click() {
    if (!confirm("This action will errase all spectrums. Are you sure?")) {
        return;
    }
    removeAllSpectra();
    counter_ = 0;
    clearMathOperands();
    layoutSpectrumCheckBoxes();
    updateGraph();
}

void TfmMain::appendSpectrum(const QString& name, int penWidth) {
    view_->appendStoredSeries(penWidth);
    addSpectrumCheckBox(name);
}

void TfmMain::meSaveClick() {
    const QString path = askFileName(true);
    if (path.isEmpty() || !mayWrite(path) || !mayReplace(path)) {
        return;
    }
    dataSet_.notes = NotesEdit_->toPlainText().toStdString();
    try {
        dataSet_.saveTo(path.toLocal8Bit().toStdString());
        unsaved_ = false;
    } catch (const std::exception& e) {
        showError(QString::fromLatin1(e.what()));
    }
}

void TfmMain::meLoadClick() {
    const QString path = askFileName(false);
    if (path.isEmpty()) {
        return;
    }
    // Read the whole file first: a file that does not load leaves the list
    // as it was instead of empty.
    mi::TSpecDataSet loaded;
    try {
        loaded.loadFrom(path.toLocal8Bit().toStdString());
    } catch (const std::exception& e) {
        // The log keeps the details; the user learns what is wrong.
        pa::logPrint("Load: %s\n", e.what());
        showError(loadErrorText(path));
        return;
    }
    if (!mayDropSpectra()) {
        return;
    }
    removeAllSpectra();
    counter_ = 0;
    clearMathOperands();
    dataSet_.notes = std::move(loaded.notes);
    dataSet_.spectra = std::move(loaded.spectra);
    NotesEdit_->setPlainText(QString::fromStdString(dataSet_.notes));
    for (const mi::Data& entry : dataSet_.spectra) {
        appendSpectrum(QString::fromStdString(entry.name), 1);
    }
    unsaved_ = false;
    updateGraph();
}

void TfmMain::ToolButton3Click() {
    const std::string name = "Pomrak" + std::to_string(counter_);
    ++counter_;
    appendSpectrum(QString::fromLatin1(name.c_str()), kPomrakPenWidth);
    if (!GetNewPomrak(name, kPomrakCount)) {
        // Nothing was acquired: the series and check box go again, so the
        // three lists stay in step.
        removeSpectrumAt(spectrumCount() - 1);
        layoutSpectrumCheckBoxes();
        updateGraph();
    }
}

bool TfmMain::GetNewPomrak(const std::string& name, int count) {
    if (!device_ || !device_->isOpened()) {
        return false;
    }
    beginCapture();
    const std::size_t length = static_cast<std::size_t>(std::max(device_->pixelCount(), 0)) + 1;
    mi::Data data;
    data.name = name;
    for (int k = 0; k < count; ++k) {
        std::vector<double> values(length, 0.0);
        try {
            const TGuiAcquisition acquiring(guiAcquiring_);
            if (device_->getRawData(values)) {
                data.extra.push_back(std::move(values));
            }
        } catch (const std::exception& e) {
            showError(QString::fromLatin1(e.what()));
            break;
        }
    }
    // The mean of the spectra that were taken, however many.
    data.values.assign(length, 0.0);
    for (const std::vector<double>& part : data.extra) {
        for (std::size_t t = 0; t < length; ++t) {
            data.values[t] += part[t];
        }
    }
    const bool ok = !data.extra.empty();
    if (ok) {
        for (double& v : data.values) {
            v /= static_cast<double>(data.extra.size());
        }
        dataSet_.spectra.push_back(std::move(data));
        unsaved_ = true;
        updateGraph();
    }
    endCapture();
    return ok;
}

// --- seams -------------------------------------------------------------------

bool TfmMain::confirm(const QString& text) {
    if (confirm_) {
        return confirm_(text, "warning");
    }
    return QMessageBox::warning(nullptr, "warning", text, QMessageBox::Yes | QMessageBox::No) ==
           QMessageBox::Yes;
}

QString TfmMain::askFileName(bool save) {
    if (fileName_) {
        return fileName_(save);
    }
    QFileDialog dialog(this);
    if (save) {
        dialog.setObjectName("SaveSpecDlg");
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setNameFilter("spectrums (*.bspec)");
        dialog.setDefaultSuffix("bspec");
        // Save asks the program's own replace question.
        dialog.setOption(QFileDialog::DontConfirmOverwrite);
    } else {
        dialog.setObjectName("OpenSpecDlg");
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::ExistingFile);
        dialog.setNameFilter("Spectrums (*.bspec)");
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return {};
    }
    return dialog.selectedFiles().first();
}

void TfmMain::showError(const QString& text) {
    pa::applicationMessageBox(text.toLatin1().toStdString(), "Revaduvo", pa::kMbIconError);
}

// --- runs, preview and captures ----------------------------------------------

void TfmMain::deleteWorker() {
    // Deleting a worker terminates it and waits for it; its on-terminate
    // handler runs on this thread meanwhile.
    pa::TThreadPa* worker = worker_;
    worker_ = nullptr;
    delete worker;
}

void TfmMain::startWorker(void (TfmMain::*body)(pa::TThreadPa*),
                          void (TfmMain::*done)(std::uint64_t)) {
    const std::uint64_t serial = ++workerSerial_;
    worker_ =
        pa::startThread([this, body](pa::TThreadPa* thread) { (this->*body)(thread); },
                        [this, done, serial](pa::TThread*) { (this->*done)(serial); }, 0, false);
}

void TfmMain::forgetWorker(std::uint64_t serial) {
    // The handler runs inside the worker's own end: it is deleted afterwards,
    // unless another worker has taken its place meanwhile.
    QTimer::singleShot(0, this, [this, serial] {
        if (serial == workerSerial_) {
            deleteWorker();
        }
    });
}

void TfmMain::acRunExecute() {
    std::optional<int> count;
    if (runCount_) {
        count = runCount_();
    } else if (fmRun_->exec() == QDialog::Accepted) {
        count = fmRun_->edNumber()->GetValue();
    }
    if (!count || !device_) {
        return;
    }
    cbImplicit_->setChecked(true);
    runActive_ = true;
    // Below 0 the loop takes none: only 0 runs without end.
    runRemaining_ = *count;
    updateControls();
    fmData_->clear();
    deleteWorker();
    current_.resize(static_cast<std::size_t>(std::max(device_->pixelCount(), 0)), 0.0);
    startWorker(&TfmMain::measureLoop, &TfmMain::measureDone);
}

void TfmMain::measureLoop(pa::TThreadPa* thread) {
    runStart_ = platform::tickCount();
    const bool endless = runRemaining_ == 0;
    pa::logPrint("enter to measure loop\n");
    // The worker's own buffer: the chart draws the current spectrum on the
    // GUI thread, which takes each spectrum over in the synchronised step.
    std::vector<double> buffer(static_cast<std::size_t>(std::max(device_->pixelCount(), 0)), 0.0);
    try {
        bool ok = true;
        while (ok && !thread->terminated() && (runRemaining_ > 0 || endless)) {
            ok = device_->getRawData(buffer);
            if (ok) {
                const auto stamp = static_cast<std::int32_t>(platform::tickCount() - runStart_);
                --runRemaining_;
                pa::TThread::synchronize(thread, [&] { measureStep(buffer, stamp); });
            }
        }
    } catch (...) {
        pa::logPrint("error in thRead\n");
    }
    pa::logPrint("leave form measute loop\n");
}

void TfmMain::measureStep(const std::vector<double>& spectrum, std::int32_t stamp) {
    inWorkerStep_ = true;
    try {
        fmData_->add(spectrum, stamp);
        current_ = spectrum;
        spectrumTaken(current_);
        updateGraph();
        showSpeedAndCount(fmData_->count(), runStart_);
    } catch (...) {
        pa::logPrint("error in drawGraf\n");
    }
    inWorkerStep_ = false;
}

void TfmMain::showSpeedAndCount(int count, std::uint32_t start) {
    const std::uint32_t ms = platform::tickCount() - start;
    if (ms != 0) {
        const auto speed = static_cast<long long>(std::ceil(count * 1000.0 / ms));
        speed_->setText(QString(" Speed: %1 spc/s").arg(speed));
    }
    count_->setText(QString(" Count: %1").arg(count));
}

void TfmMain::workerDone(bool& active, std::uint64_t serial) {
    // Nothing while the window goes: it deletes the worker itself.
    if (destroying_) {
        return;
    }
    active = false;
    updateControls();
    device_->clearStop();
    forgetWorker(serial);
}

void TfmMain::measureDone(std::uint64_t serial) {
    workerDone(runActive_, serial);
}

void TfmMain::acPreviewExecute() {
    if (!device_) {
        return;
    }
    previewActive_ = true;
    updateControls();
    deleteWorker();
    previewCount_ = 0;
    previewStart_ = platform::tickCount();
    referenceWanted_ = false;
    startWorker(&TfmMain::previewLoop, &TfmMain::previewDone);
    cbImplicit_->setChecked(true);
}

void TfmMain::previewLoop(pa::TThreadPa* thread) {
    try {
        {
            // As large as the sensor, never smaller than the window's arrays.
            std::lock_guard lock(previewLock_);
            preview_.assign(bufferSize(*device_), 0.0);
        }
        bool ok = true;
        while (ok && !thread->terminated()) {
            if (referenceWanted_.exchange(false)) {
                bool taken = false;
                {
                    std::lock_guard lock(previewLock_);
                    previewReference_.assign(bufferSize(*device_), 0.0);
                    taken = device_->getRawData(previewReference_);
                }
                pa::TThread::synchronize(thread, [this, taken] { previewReferenceStep(taken); });
                if (thread->terminated()) {
                    break;
                }
            }
            {
                std::lock_guard lock(previewLock_);
                ok = device_->getRawData(preview_);
            }
            if (ok) {
                pa::TThread::synchronize(thread, [this] { previewStep(); });
            }
        }
    } catch (...) {
        // The preview ends; its on-terminate handler restores the controls.
    }
}

void TfmMain::previewStep() {
    inWorkerStep_ = true;
    try {
        {
            std::lock_guard lock(previewLock_);
            current_ = preview_;
        }
        spectrumTaken(current_);
        ++previewCount_;
        updateGraph();
        showSpeedAndCount(previewCount_, previewStart_);
    } catch (...) {
        pa::logPrint("error in drawGraf\n");
    }
    inWorkerStep_ = false;
}

void TfmMain::previewReferenceStep(bool taken) {
    if (!taken) {
        return; // the reference it had stays
    }
    std::vector<double> values;
    {
        std::lock_guard lock(previewLock_);
        values = previewReference_;
    }
    values.resize(std::max(values.size(), reference_.size()), 0.0);
    reference_ = std::move(values);
    fmData_->setReference(reference_);
    referenceTaken_ = true;
    updateControls();
}

void TfmMain::previewDone(std::uint64_t serial) {
    // A reference asked for and not taken goes with the preview.
    referenceWanted_ = false;
    workerDone(previewActive_, serial);
}

void TfmMain::btStopClick() {
    if (device_) {
        device_->stop();
    }
    if (worker_ != nullptr) {
        worker_->terminate();
    }
}

void TfmMain::acCaptureExecute() {
    if (!device_ || !device_->isOpened()) {
        return;
    }
    beginCapture();
    const int before = fmData_->count();
    std::vector<double> values(bufferSize(*device_), 0.0);
    bool ok = false;
    try {
        const TGuiAcquisition acquiring(guiAcquiring_);
        ok = device_->getRawData(values);
    } catch (const std::exception& e) {
        showError(QString::fromLatin1(e.what()));
    }
    if (ok) {
        values.resize(static_cast<std::size_t>(std::max(device_->pixelCount(), 0)));
        fmData_->add(values, before);
        current_ = std::move(values);
        spectrumTaken(current_);
        updateGraph();
        count_->setText(QString(" Count: %1").arg(fmData_->count()));
    }
    endCapture();
}

bool TfmMain::takeReference() {
    // Acquired aside: a failed capture keeps the reference it had.
    std::vector<double> values(std::max(reference_.size(), bufferSize(*device_)), 0.0);
    bool ok = false;
    try {
        const TGuiAcquisition acquiring(guiAcquiring_);
        ok = device_->getRawData(values);
    } catch (const std::exception& e) {
        showError(QString::fromLatin1(e.what()));
    }
    if (ok) {
        reference_ = std::move(values);
        fmData_->setReference(reference_);
        referenceTaken_ = true;
    }
    return ok;
}

void TfmMain::acCaptureReferenceExecute() {
    if (!device_ || !device_->isOpened()) {
        return;
    }
    if (previewActive_) {
        // Taken by the preview after its current acquisition; it redraws at
        // its next step. Stop drops it with the preview.
        referenceWanted_ = true;
        updateControls();
        return;
    }
    // A capture too: a synchronisation wait may hold it, and Stop ends that.
    beginCapture();
    const bool ok = takeReference();
    endCapture();
    if (ok) {
        current_ = reference_;
        spectrumTaken(current_);
        updateGraph();
    }
}

void TfmMain::meDarkCurrentClick() {
    if (!device_) {
        return;
    }
    bool ok = false;
    try {
        const TGuiAcquisition acquiring(guiAcquiring_);
        ok = device_->getDarkCurrent();
    } catch (const std::exception& e) {
        showError(QString::fromLatin1(e.what()));
        return;
    }
    if (ok) {
        // Every spectrum from now on is corrected; the reference was not.
        dropReference(false);
        darkTaken_ = true;
    }
    updateControls();
    updateGraph();
}

QString TfmMain::speedText() const {
    return speed_->text();
}

QString TfmMain::countText() const {
    return count_->text();
}

void TfmMain::clearRunData() {
    fmData_->clear();
    count_->setText(" Count: 0");
}

mi::TExportContext TfmMain::exportContext() const {
    mi::TExportContext context;
    context.date = QDateTime::currentDateTime().toString("dd.MM.yyyy hh:mm:ss").toStdString();
    context.notes = messageText(NotesEdit_->toPlainText());
    context.lightText = lightText_;
    context.intensityText = messageText(Label9_->text());
    // The number the run's spectra were averaged over, not one typed since.
    context.averageText = device_ ? std::to_string(device_->averageNumber())
                                  : messageText(fmParam_->edAverage()->text());
    if (device_) {
        context.integrationTime = device_->integrationTime();
        context.pixelCount = device_->pixelCount();
        context.coefficients = device_->coefficients();
        context.wavelengths = device_->wavelengths();
    }
    context.displayKind = kind_;
    context.reference = fmData_->reference();
    return context;
}

std::string TfmMain::messageText(const QString& text) const {
    return text.toStdString();
}

std::string TfmMain::askExportFile(const char* dialogName, const char* filter, const char* suffix) {
    QString path;
    if (exportFileName_) {
        path = exportFileName_();
    } else {
        QFileDialog dialog(this);
        dialog.setObjectName(dialogName);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setNameFilter(filter);
        dialog.setDefaultSuffix(suffix);
        // The replace question below is the program's own.
        dialog.setOption(QFileDialog::DontConfirmOverwrite);
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
            path = dialog.selectedFiles().first();
        }
    }
    if (path.isEmpty() || !mayWrite(path) || !mayReplace(path)) {
        return {};
    }
    return path.toLocal8Bit().toStdString();
}

bool TfmMain::mayWrite(const QString& path) {
    std::string why;
    // Failures of the system (a missing folder) are the writer's to report.
    if (platform::judgeFileToWrite(path.toLocal8Bit().constData(), why) == 0 || why.empty()) {
        return true;
    }
    showError(QString::fromLocal8Bit(why.c_str()) + ". Choose another name.");
    return false;
}

bool TfmMain::mayDropSpectra() {
    return !unsaved_ || dataSet_.spectra.empty() ||
           confirm("Spectra not saved will be lost. Are you sure?");
}

bool TfmMain::mayReplace(const QString& path) {
    std::error_code ec;
    if (!std::filesystem::exists(path.toLocal8Bit().toStdString(), ec)) {
        return true;
    }
    const QString question = QString("%1 already exists.\nDo you want to replace it?").arg(path);
    return confirm_
               ? confirm_(question, "warning")
               : QMessageBox::warning(this, "warning", question,
                                      QMessageBox::Ok | QMessageBox::Cancel) == QMessageBox::Ok;
}

void TfmMain::exportRunData() {
    try {
        fmData_->exportDialog(exportContext(), [this] {
            return askExportFile("dlgExport", "text file(*.txt)", "TXT");
        });
    } catch (const std::exception& e) {
        showError(QString::fromLatin1(e.what()));
    }
}

void TfmMain::ExportAll1Click() {
    const std::string path = askExportFile("SaveExportDlg", "Text file (*.txt)", "txt");
    if (path.empty()) {
        return;
    }
    try {
        dataSet_.exportAll(exportContext(), path);
    } catch (const std::exception& e) {
        showError(QString::fromLatin1(e.what()));
    }
}

void TfmMain::Exportselected1Click() {
    const std::string path = askExportFile("SaveExportDlg", "Text file (*.txt)", "txt");
    if (path.empty()) {
        return;
    }
    std::vector<bool> checked;
    for (QCheckBox* box : checkBoxes_) {
        checked.push_back(box->isChecked());
    }
    try {
        dataSet_.exportSelected(exportContext(), checked, path);
    } catch (const std::exception& e) {
        showError(QString::fromLatin1(e.what()));
    }
}

// --- arithmetic ---------------------------------------------------------------

void TfmMain::buildMath(QWidget* side, QWidget* pages) {
    PageControl2_ = pages;
    auto* layout = new QVBoxLayout(side);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(kMathGap);
    GroupBox4_ = new QGroupBox("Math", side);
    GroupBox4_->setObjectName("GroupBox4");
    GroupBox4_->setProperty("Tag", 1);
    GroupBox4_->setFixedHeight(kMathOpenHeight);
    GroupBox4_->installEventFilter(this);
    // Placed by hand, so that folding the group clips them.
    math1_ = new QLineEdit("math", GroupBox4_);
    math1_->setObjectName("math1");
    math1_->setReadOnly(true);
    math1_->setGeometry(8, 20, 90, 22);
    math2_ = new QLineEdit("math2", GroupBox4_);
    math2_->setObjectName("math2");
    math2_->setReadOnly(true);
    math2_->setGeometry(132, 20, 90, 22);
    Swap_ = new QToolButton(GroupBox4_);
    Swap_->setObjectName("Swap");
    Swap_->setText("<>");
    Swap_->setToolTip("Swap");
    Swap_->setGeometry(102, 20, 26, 22);
    connect(Swap_, &QToolButton::clicked, this, &TfmMain::SwapClick);
    const std::tuple<const char*, const char*, void (TfmMain::*)()> buttons[] = {
        {"plus", "+", &TfmMain::plusClick},
        {"minus", "-", &TfmMain::minusClick},
        {"krat", "*", &TfmMain::kratClick},
        {"deleno", "/", &TfmMain::delenoClick}};
    int x = 8;
    for (const auto& [name, caption, slot] : buttons) {
        auto* b = new QPushButton(caption, GroupBox4_);
        b->setObjectName(name);
        b->setGeometry(x, 56, 48, 26);
        connect(b, &QPushButton::clicked, this, slot);
        mathButtons_.push_back(b);
        x += 54;
    }
    // Wide enough for the operands and the four buttons placed above.
    GroupBox4_->setMinimumWidth(kMathWidth);
    layout->addWidget(GroupBox4_);
    layout->addWidget(pages, 1);
    clearMathOperands();
}

QPushButton* TfmMain::mathButton(const QString& caption) const {
    for (QPushButton* b : mathButtons_) {
        if (b->text() == caption) {
            return b;
        }
    }
    return nullptr;
}

void TfmMain::clearMathOperands() {
    firstOperand_ = -1;
    secondOperand_ = -1;
    for (QPushButton* b : mathButtons_) {
        b->setEnabled(false);
    }
    Swap_->setEnabled(false);
    math1_->setText("---");
    math2_->setText("---");
}

void TfmMain::enableMathButtons() {
    for (QPushButton* b : mathButtons_) {
        b->setEnabled(true);
    }
    Swap_->setEnabled(true);
}

void TfmMain::SwapClick() {
    const QString text = math1_->text();
    math1_->setText(math2_->text());
    math2_->setText(text);
    std::swap(firstOperand_, secondOperand_);
}

void TfmMain::mathOperation(const char* infix, bool numbered,
                            void (mi::TSpecDataSet::*operation)(const std::string&, int, int)) {
    if (firstOperand_ == -1 || secondOperand_ == -1) {
        return;
    }
    const std::string name = messageText(math1_->text()) + infix + messageText(math2_->text());
    if (numbered) {
        ++counter_;
    }
    try {
        (dataSet_.*operation)(name, firstOperand_, secondOperand_);
        unsaved_ = true;
        appendSpectrum(QString::fromStdString(name), 1);
        updateGraph();
    } catch (const std::exception& e) {
        showError(QString::fromLatin1(e.what()));
    }
    clearMathOperands();
}

void TfmMain::plusClick() {
    mathOperation("_plus_", false, &mi::TSpecDataSet::plus);
}

void TfmMain::minusClick() {
    mathOperation("_minus_", true, &mi::TSpecDataSet::minus);
}

void TfmMain::kratClick() {
    mathOperation("_mul_", true, &mi::TSpecDataSet::mul);
}

void TfmMain::delenoClick() {
    mathOperation("_div_", true, &mi::TSpecDataSet::div);
}

void TfmMain::GroupBox4Click() {
    if (GroupBox4_->property("Tag").toInt() == 1) {
        GroupBox4_->setFixedHeight(kMathFoldedHeight);
        GroupBox4_->setProperty("Tag", 0);
        GroupBox4_->setTitle("Click to open Math");
    } else {
        GroupBox4_->setFixedHeight(kMathOpenHeight);
        GroupBox4_->setProperty("Tag", 1);
        GroupBox4_->setTitle("Click to close Math");
    }
    // The page control below follows through the layout: its top moves to
    // the group's bottom plus the gap, its bottom stays.
    if (QLayout* layout = GroupBox4_->parentWidget()->layout()) {
        layout->activate();
    }
}

// --- chart scaling ------------------------------------------------------------

void TfmMain::buildChartPages(QWidget* parent) {
    PageControl1_ = new QTabWidget(parent);
    PageControl1_->setObjectName("PageControl1");
    PageControl1_->setMaximumHeight(100);
    QWidget* exLights = buildLightPages();
    TabSheet3_ = new QWidget(PageControl1_);
    TabSheet3_->setObjectName("TabSheet3");
    auto* manual = new QHBoxLayout(TabSheet3_);
    IntEdit1_ = new pa::TIntEdit(TabSheet3_);
    IntEdit1_->setObjectName("IntEdit1");
    IntEdit1_->SetCheckRange(true);
    IntEdit1_->setMaximumWidth(70);
    IntEdit2_ = new pa::TIntEdit(TabSheet3_);
    IntEdit2_->setObjectName("IntEdit2");
    IntEdit2_->SetCheckRange(true);
    IntEdit2_->setMaximumWidth(70);
    btSet_ = new QPushButton("Set", TabSheet3_);
    btSet_->setObjectName("btSet");
    SpeedButton5_ = new QToolButton(TabSheet3_);
    SpeedButton5_->setObjectName("SpeedButton5");
    SpeedButton5_->setText("Unset");
    SpeedButton5_->setEnabled(false);
    cbShowCursor_ = new QCheckBox("Show Corsor ", TabSheet3_);
    cbShowCursor_->setChecked(true);
    manual->addWidget(new QLabel("Min", TabSheet3_));
    manual->addWidget(IntEdit1_);
    manual->addWidget(new QLabel("Max", TabSheet3_));
    manual->addWidget(IntEdit2_);
    manual->addWidget(btSet_);
    manual->addWidget(SpeedButton5_);
    manual->addSpacing(12);
    manual->addWidget(cbShowCursor_);
    manual->addStretch();
    PageControl1_->addTab(TabSheet3_, "Manual Scale");
    PageControl1_->addTab(exLights, "ExLights");
    connect(btSet_, &QPushButton::clicked, this, &TfmMain::btSetClick);
    connect(SpeedButton5_, &QToolButton::clicked, this, &TfmMain::SpeedButton5Click);
    connect(PageControl1_, &QTabWidget::currentChanged, this, [this](int index) {
        if (PageControl1_->widget(index) == TabSheet3_) {
            TabSheet3Show();
        }
    });
}

QWidget* TfmMain::buildLightPages() {
    // "Lights": eight on/off channels and one common intensity.
    auto* lights = new QWidget(PageControl1_);
    auto* lightsLayout = new QHBoxLayout(lights);
    lightsLayout->setContentsMargins(4, 2, 4, 2);
    auto* onOff = new QGroupBox("Light ON/OFF", lights);
    auto* grid = new QGridLayout(onOff);
    grid->setContentsMargins(6, 2, 6, 2);
    grid->setVerticalSpacing(0);
    for (int n = 1; n <= 8; ++n) {
        auto* box = new QCheckBox(QString("Channel %1").arg(n), onOff);
        lightsBoxes_[n - 1] = box;
        grid->addWidget(box, (n - 1) / 4, (n - 1) % 4);
        connect(box, &QCheckBox::clicked, this, [this, n] { lightsBoxClick(n); });
    }
    lightsLayout->addWidget(onOff);
    TrackBar7_ = new QSlider(Qt::Vertical, lights);
    TrackBar7_->setObjectName("TrackBar7");
    TrackBar7_->setRange(0, kLightMax);
    TrackBar7_->setInvertedAppearance(true);
    TrackBar7_->setValue(kLightMax);
    TrackBar7_->setMinimumHeight(58);
    TrackBar7_->setToolTip("LED intensity");
    connect(TrackBar7_, &QSlider::valueChanged, this, &TfmMain::intensityTrackChange);
    lightsLayout->addWidget(TrackBar7_);
    lightsLayout->addWidget(new QLabel("LED intensity:", lights));
    Label9_ = new QLabel("0", lights);
    Label9_->setObjectName("Label9");
    Label9_->setMinimumWidth(36);
    lightsLayout->addWidget(Label9_);
    lightsLayout->addStretch();
    PageControl1_->addTab(lights, "Lights");

    // "ExLights": six LED channels with their own intensity, and the master
    // switch on digital output 1.
    auto* exLights = new QWidget(PageControl1_);
    auto* exLayout = new QGridLayout(exLights);
    exLayout->setContentsMargins(4, 2, 4, 2);
    exLayout->setVerticalSpacing(0);
    for (std::size_t c = 0; c < kLightChannels.size(); ++c) {
        const int row = static_cast<int>(c) / 3;
        const int column = static_cast<int>(c) % 3 * 4;
        ledBoxes_[c] = new QCheckBox(kLightChannels[c].caption, exLights);
        ledTracks_[c] = new QSlider(Qt::Horizontal, exLights);
        ledTracks_[c]->setMinimumWidth(80);
        ledPercents_[c] = new pa::TIntEdit(exLights);
        ledPercents_[c]->setObjectName(kLightChannels[c].percentEdit);
        ledPercents_[c]->setMaximumWidth(40);
        exLayout->addWidget(ledBoxes_[c], row, column);
        exLayout->addWidget(ledTracks_[c], row, column + 1);
        exLayout->addWidget(ledPercents_[c], row, column + 2);
        exLayout->addWidget(new QLabel("%", exLights), row, column + 3);
    }
    cbMaster_ = new QCheckBox("Switch ON/OFF", exLights);
    cbMaster_->setObjectName("cbMaster");
    exLayout->addWidget(cbMaster_, 0, 12, 2, 1);
    exLayout->setColumnStretch(13, 1);
    connect(cbMaster_, &QCheckBox::clicked, this, &TfmMain::masterSwitchClick);
    return exLights;
}

void TfmMain::FormCreate() {
    for (std::size_t c = 0; c < kLightChannels.size(); ++c) {
        lights_.push_back(std::make_unique<TLightControl>(
            ledBoxes_[c], ledTracks_[c], ledPercents_[c], kLightChannels[c].address,
            kLightChannels[c].command, device_.get()));
    }
    for (int n = 1; n <= 8; ++n) {
        const std::string caption =
            readSetting("Digital", "Channel" + std::to_string(n), std::string_view());
        if (caption.empty()) {
            lightsBoxes_[n - 1]->setEnabled(false);
        } else {
            lightsBoxes_[n - 1]->setText(QString::fromStdString(caption));
        }
    }
}

void TfmMain::lightsBoxClick(int index) {
    if (!device_) {
        return;
    }
    std::uint8_t mask = 0;
    for (int n = 0; n < 8; ++n) {
        if (lightsBoxes_[n]->isChecked()) {
            mask |= static_cast<std::uint8_t>(1U << n);
        }
    }
    const std::uint8_t bytes[] = {0x4E, mask};
    device_->writeI2C(0x4E, bytes, 2);
    lightText_ = lightsBoxes_.at(index - 1)->text().toStdString();
}

void TfmMain::intensityTrackChange() {
    if (!device_) {
        return;
    }
    const int value = kLightMax - std::clamp(TrackBar7_->value(), 0, kLightMax);
    Label9_->setText(QString::number(value));
    const std::uint8_t bytes[] = {static_cast<std::uint8_t>(value >> 6),
                                  static_cast<std::uint8_t>((value << 2) & 0xFF)};
    device_->writeI2C(0x1C, bytes, 2);
}

void TfmMain::masterSwitchClick() {
    // Through the device, so that the simulated device ignores it like every
    // other write, and the library device logs a failure instead of showing
    // the library's error box.
    if (device_) {
        device_->setDigitalOutput(1, cbMaster_->isChecked() ? 1 : 0);
    }
}

void TfmMain::buildScaleButtons() {
    lManualScale_ = new QLabel("Manual Scale", view_);
    lManualScale_->setObjectName("lManualScale");
    lManualScale_->setStyleSheet("color: red;");
    lManualScale_->move(60, 26);
    lManualScale_->adjustSize();
    lManualScale_->hide();
    const std::tuple<const char*, const char*, const char*, void (TfmMain::*)()> buttons[] = {
        {"horizScaleBtn", "<->", "Horizontal scale", &TfmMain::horizScaleBtnClick},
        {"verticalScaleBtn", "^v", "Vertical scale", &TfmMain::verticalScaleBtnClick},
        {"hvScaleBtn", "+", "Scale both", &TfmMain::hvScaleBtnClick}};
    int x = 4;
    for (const auto& [name, text, hint, slot] : buttons) {
        auto* b = new QToolButton(view_);
        b->setObjectName(name);
        b->setText(text);
        b->setToolTip(hint);
        b->setGeometry(x, 4, 32, 22);
        connect(b, &QToolButton::clicked, this, slot);
        x += 34;
    }
    // The chart keeps their strip free of its axis labels.
    view_->reserveTopLeft(x, 4 + 22);
}

void TfmMain::horizScaleBtnClick() {
    const std::vector<double>& table = device_ ? device_->wavelengths() : std::vector<double>{};
    if (!table.empty()) {
        view_->setBottomRange(std::trunc(table.front()), std::trunc(table.back()));
    }
    SpeedButton5Click();
}

QList<QPointF> TfmMain::seriesInRange(const TCurve& series) const {
    const double min = IntEdit1_->GetValue();
    const double max = IntEdit2_->GetValue();
    // By wavelength, not by index: a curve has no point for a pixel that
    // its display kind leaves out.
    QList<QPointF> points;
    for (const QPointF& p : series.points()) {
        if (p.x() >= min && p.x() <= max) {
            points.append(p);
        }
    }
    return points;
}

void TfmMain::verticalScaleBtnClick() {
    double min = std::numeric_limits<double>::infinity();
    double max = -std::numeric_limits<double>::infinity();
    const bool manual = !lManualScale_->isHidden();
    const auto take = [&](const TCurve& curve) {
        const QList<QPointF> points = manual ? seriesInRange(curve) : curve.points();
        for (const QPointF& p : points) {
            if (std::isfinite(p.y())) {
                min = std::min(min, p.y());
                max = std::max(max, p.y());
            }
        }
    };
    if (cbImplicit_->isChecked()) {
        take(*view_->currentSeries());
    }
    for (std::size_t i = 0; i < checkBoxes_.size(); ++i) {
        if (checkBoxes_[i]->isChecked() && static_cast<int>(i) < view_->storedSeriesCount()) {
            take(*view_->storedSeries(static_cast<int>(i)));
        }
    }
    // Nothing measured: the axis stays as it is.
    if (min > max) {
        return;
    }
    view_->setVerticalRange(min, max);
    savedRange_ = std::make_pair(min, max);
}

void TfmMain::hvScaleBtnClick() {
    horizScaleBtnClick();
    verticalScaleBtnClick();
}

void TfmMain::TabSheet3Show() {
    if (!device_ || device_->wavelengths().empty()) {
        return;
    }
    const std::vector<double>& table = device_->wavelengths();
    const auto whole = [](double v) {
        return static_cast<std::int32_t>(std::clamp(std::trunc(v), -2147483648.0, 2147483647.0));
    };
    for (pa::TIntEdit* edit : {IntEdit1_, IntEdit2_}) {
        edit->SetMinValue(whole(table.front()));
        edit->SetMaxValue(whole(table.back()));
    }
    const auto [low, high] = view_->bottomRange();
    IntEdit1_->SetValue(whole(low));
    IntEdit2_->SetValue(whole(high));
}

void TfmMain::btSetClick() {
    setManualBottomRange(IntEdit1_->GetValue(), IntEdit2_->GetValue());
}

void TfmMain::setManualBottomRange(std::int32_t min, std::int32_t max) {
    view_->setBottomRange(min, max);
    lManualScale_->show();
    SpeedButton5_->setEnabled(true);
    btSet_->setEnabled(false);
    savedRange_ = view_->verticalRange();
}

void TfmMain::SpeedButton5Click() {
    lManualScale_->hide();
    SpeedButton5_->setEnabled(false);
    btSet_->setEnabled(true);
    // The vertical axis scales by itself again.
    updateGraph();
}

} // namespace spectrum
