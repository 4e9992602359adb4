#include "fmmain.h"

#include "pa/forms.h"
#include "pa/lmedit.h"
#include "pa/palog.h"
#include "pa/patype.h"
#include "pa/sysutils.h"
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
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSplitter>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <exception>

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
    resize(1000, 640);

    // Menus; entries whose features are not here yet stay without effect.
    QMenu* measure = menuBar()->addMenu("&Measure");
    addAction(measure, kCapture);
    addAction(measure, kRun);
    addAction(measure, kPreview);
    addAction(measure, kCaptureReference);
    addAction(measure, kDarkCurrent);
    QMenu* options = menuBar()->addMenu("&Options");
    addAction(options, kDeviceParameters);
    addAction(options, "Digital Input/Output");
    addAction(options, "Graph Paremeters");

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
    for (const char* caption : {"Clear", "Export", "Export All", "Export selected"}) {
        ppData_->addAction(caption)->setEnabled(false);
    }
    connect(ppData_, &QMenu::aboutToShow, this,
            [this, save] { save->setEnabled(!dataSet_.spectra.empty()); });
    data->setMenu(ppData_);
    if (QToolButton* b = toolButton(kData)) {
        b->setPopupMode(QToolButton::InstantPopup);
    }
    addToolAction(kStop);
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
    cbShowCursor_ = new QCheckBox("Show Corsor ", chartSide);
    IntegTimeEdit_ = new pa::TIntEdit(chartSide);
    IntegTimeEdit_->SetValue(30);
    IntegTimeEdit_->setMaximumWidth(80);
    auto* setTime = new QPushButton("Set", chartSide);
    setTime->setObjectName("SetITbtn");
    controls->addWidget(new QLabel("Integration Time [ms]", chartSide));
    controls->addWidget(IntegTimeEdit_);
    controls->addWidget(setTime);
    controls->addSpacing(12);
    controls->addWidget(cbLogarithmic_);
    controls->addWidget(cbAutoIntegration_);
    controls->addWidget(cbShowCursor_);
    controls->addStretch();
    chartLayout->addLayout(controls);
    view_ = new TSpectrumView(chartSide);
    view_->setObjectName("ChartSpec");
    chartLayout->addWidget(view_, 1);
    connect(setTime, &QPushButton::clicked, this, &TfmMain::SetITbtnClick);
    connect(cbLogarithmic_, &QCheckBox::clicked, this, &TfmMain::updateGraph);
    connect(cbShowCursor_, &QCheckBox::clicked, this,
            [this](bool on) { view_->setShowCursor(on); });

    auto* side = new QTabWidget(split);
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
    side->addTab(NotesEdit_, "Notes");
    split->addWidget(chartSide);
    split->addWidget(side);
    split->setStretchFactor(0, 1);
    split->setSizes({740, 240});
    auto* measuringLayout = new QVBoxLayout(measuring);
    measuringLayout->setContentsMargins(2, 2, 2, 2);
    measuringLayout->addWidget(split);
    pages_->addTab(measuring, "Measuring");
    // The legacy page and its digital lines are pages of their own.
    pages_->addTab(new QWidget(pages_), "Measurement");
    pages_->addTab(new QWidget(pages_), "Digital I/O");
    layoutSpectrumCheckBoxes();

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
    // The legacy page's connection is not built; it never reads "Opened".
    const bool open = pageMode_ == 1 && device_ && device_->isOpened();
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
    // The device's own parameters, sent with its next acquisition.
    device_->setSensorWorkMode(device_->workMode());
    device_->setIntegrationTime(device_->integrationTime());
    device_->setAverageNumber(device_->averageNumber());
    IntegTimeEdit_->SetValue(static_cast<std::int32_t>(device_->integrationTime()));
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
    view_->updateGraph(input);
    if (cbAutoIntegration_->isChecked() && device_) {
        const std::vector<double> copy = current_;
        if (const auto ms = autoIntegrationTime(copy, device_->integrationTime())) {
            IntegTimeEdit_->SetValue(*ms);
            SetITbtnClick();
        }
    }
    inUpdateGraph_ = false;
}

void TfmMain::setDisplayKind(DisplayKind kind) {
    kind_ = kind;
    const char* captions[] = {kBtnScope, kBtnAbsorbance, kBtnTransmittance, kBtnIrradiance};
    if (QAction* a = action(captions[kind])) {
        a->setChecked(true);
    }
    updateGraph();
}

void TfmMain::SetITbtnClick() {
    const std::int32_t ms = IntegTimeEdit_->GetValue();
    if (device_) {
        device_->setIntegrationTime(ms);
    }
    // Called from a redraw's auto integration, the redraw this asks for is
    // skipped: it would scale the same spectrum again, without end.
    setDisplayKind(kScope);
    updateControls();
}

bool TfmMain::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == spectStartMessage()) {
        if (QAction* get = action(kGetSpectrum); get != nullptr && get->isEnabled()) {
            get->trigger();
        }
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

bool TfmMain::FormCloseQuery() {
    if (device_) {
        device_->stop();
    }
    // Deleting a worker terminates it and waits for it.
    delete worker_;
    worker_ = nullptr;
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
    devTimer_->stop();
    // Deleting a worker terminates it and waits for it.
    delete worker_;
    worker_ = nullptr;
    device_.reset();
    pa::closeLogFile();
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
    captureActive_ = true;
    updateControls();
    mi::Data data;
    data.values.assign(static_cast<std::size_t>(std::max(device_->pixelCount(), 0)) + 1, 0.0);
    data.name = name;
    pa::logPrint("GetNewSpectrum\n");
    bool ok = false;
    try {
        ok = device_->getRawData(data.values);
    } catch (const std::exception& e) {
        showError(QString::fromLatin1(e.what()));
    }
    if (ok) {
        data.date = QDateTime::currentDateTime().toString("dd.MM.yyyy hh:mm:ss").toStdString();
        dataSet_.spectra.push_back(data);
    }
    captureActive_ = false;
    device_->clearStop();
    updateControls();
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
        dataSet_.spectra[static_cast<std::size_t>(i)].name =
            RenameEdit_->text().toLatin1().toStdString();
    }
    currentEntry_ = nullptr;
}

// Revaduvo arithmetic has no operands to take yet.
void TfmMain::addtoequation11Click() {}

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
    layoutSpectrumCheckBoxes();
    updateGraph();
}

void TfmMain::appendSpectrum(const QString& name, int penWidth) {
    view_->appendStoredSeries(penWidth);
    addSpectrumCheckBox(name);
}

void TfmMain::meSaveClick() {
    const QString path = askFileName(true);
    if (path.isEmpty()) {
        return;
    }
    dataSet_.notes = NotesEdit_->toPlainText().toLatin1().toStdString();
    try {
        dataSet_.saveTo(path.toLocal8Bit().toStdString());
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
        showError(QString::fromLatin1(e.what()));
        return;
    }
    removeAllSpectra();
    counter_ = 0;
    dataSet_.notes = std::move(loaded.notes);
    dataSet_.spectra = std::move(loaded.spectra);
    NotesEdit_->setPlainText(QString::fromLatin1(dataSet_.notes.c_str()));
    for (const mi::Data& entry : dataSet_.spectra) {
        appendSpectrum(QString::fromLatin1(entry.name.c_str()), 1);
    }
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
    captureActive_ = true;
    updateControls();
    const std::size_t length = static_cast<std::size_t>(std::max(device_->pixelCount(), 0)) + 1;
    mi::Data data;
    data.name = name;
    for (int k = 0; k < count; ++k) {
        std::vector<double> values(length, 0.0);
        try {
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
        updateGraph();
    }
    captureActive_ = false;
    device_->clearStop();
    updateControls();
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

} // namespace spectrum
