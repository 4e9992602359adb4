#pragma once
// The main window of Revaduvo: the device it opens by itself, the status and
// enables that follow the device, the chart in its display kinds, and the
// stored spectra as check boxes beside it (data-set entries, check boxes and
// chart series are three parallel lists kept in step).

#include "device.h"
#include "forms.h"
#include "legacypage.h"
#include "lights.h"
#include "mispecdataset.h"
#include "spectrumview.h"

#include <QCheckBox>
#include <QMainWindow>
#include <QPointer>
#include <QStringList>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class QAction;
class QFrame;
class QGroupBox;
class QLabel;
class QPushButton;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QScrollArea;
class QSlider;
class QTabWidget;
class QTimer;
class QToolBar;
class QToolButton;

namespace pa {
class TIntEdit;
class TThread;
class TThreadPa;
} // namespace pa

namespace spectrum {

class TSpectStartEvent;
class TSpectStartServer;

class TfmMain : public QMainWindow {
    Q_OBJECT

public:
    // Yes/No question; true for Yes.
    using TConfirm = std::function<bool(const QString& text, const QString& caption)>;
    // File name for Save (save = true) or Load; empty for Cancel.
    using TFileName = std::function<QString(bool save)>;
    // File name for a text export; empty for Cancel.
    using TExportFileName = std::function<QString()>;
    // The number of spectra of a run (0: endless); none for Cancel.
    using TRunCount = std::function<std::optional<int>()>;

    // words: the command line after the program name.
    explicit TfmMain(const QStringList& words, QWidget* parent = nullptr);
    // The same, with `device` in place of the one the words pick (page 1 only).
    TfmMain(const QStringList& words, std::unique_ptr<TDevice> device, QWidget* parent = nullptr);
    ~TfmMain() override;

    void setConfirmHandler(TConfirm confirm) { confirm_ = std::move(confirm); }
    void setFileNameHandler(TFileName fileName) { fileName_ = std::move(fileName); }
    void setExportFileNameHandler(TExportFileName name) { exportFileName_ = std::move(name); }
    void setRunCountHandler(TRunCount count) { runCount_ = std::move(count); }

    // The 500 ms tick: opens the device while it is not open.
    void TimerDevTimer();
    void showStatus();
    void updateControls();
    // Redraws the chart; with "Auto Integration" also adjusts the time.
    void updateGraph();
    // False while a run is active or when the user keeps spectra not yet
    // saved; stops whatever acquires.
    bool FormCloseQuery();

    void btGetSpectrumClick();
    void newSpectrum();
    bool GetNewSpectrum(const std::string& name);
    void addSpectrumCheckBox(const QString& name);
    void layoutSpectrumCheckBoxes();
    void spectrumContextPopup(QCheckBox* entry, const QPoint& globalPos);
    void delete1Click();
    void rename1Click();
    void RenameEditKeyPress(int key);
    void addtoequation11Click();
    void ShowPomrak1Click();
    void endIntervalDialog();
    void SpeedButton1Click(); // check all
    void SpeedButton2Click(); // uncheck all
    void SpeedButton3Click(); // Reverse check
    void SpeedButton4Click(); // Delete all
    void meSaveClick();
    void meLoadClick();
    void ToolButton3Click(); // Get Pomrak
    bool GetNewPomrak(const std::string& name, int count);
    void SetITbtnClick();
    // The device's integration time as the field shows it.
    std::int32_t integrationTimeShown() const;
    // After the parameter dialog's "Set": the time and average number shown
    // as in effect, the display back to scope, the run cleared; a new time
    // also invalidates dark current and reference.
    void parametersSet(std::int32_t ms, bool newTime, bool newAverage);
    // The chart's bottom axis to [min, max] and "Manual Scale" on.
    void setManualBottomRange(std::int32_t min, std::int32_t max);
    // The light channels.
    void lightsBoxClick(int index);
    void intensityTrackChange();
    void masterSwitchClick();
    TLightControl* lightControl(int channel) const { return lights_.at(channel - 1).get(); }
    QCheckBox* lightsBox(int index) const { return lightsBoxes_.at(index - 1); }
    QSlider* intensityTrack() const { return TrackBar7_; }
    QLabel* intensityLabel() const { return Label9_; }
    QCheckBox* masterSwitch() const { return cbMaster_; }
    const std::string& lightText() const { return lightText_; }
    // The "Options" menu's dialogs, shown while their entry is ticked.
    void meDeviceParametersClick();
    void meDigitalClick();
    void meGraphParamClick();
    void setDisplayKind(DisplayKind kind);

    // Runs, preview and captures.
    void acRunExecute();
    void acPreviewExecute();
    void acCaptureExecute();
    void acCaptureReferenceExecute();
    void meDarkCurrentClick();
    void btStopClick();
    void clearRunData();
    void exportRunData();
    void ExportAll1Click();
    void Exportselected1Click();
    // What the text exports write besides the spectra.
    mi::TExportContext exportContext() const;

    // Arithmetic of stored spectra.
    void clearMathOperands();
    void enableMathButtons();
    void SwapClick();
    void plusClick();
    void minusClick();
    void kratClick();
    void delenoClick();
    void GroupBox4Click();

    // Chart scaling.
    void horizScaleBtnClick();
    void verticalScaleBtnClick();
    void hvScaleBtnClick();
    void TabSheet3Show();
    void btSetClick();
    void SpeedButton5Click(); // Unset
    // The points of a curve whose wavelength lies within the manual range.
    QList<QPointF> seriesInRange(const TCurve& series) const;

    int pageMode() const { return pageMode_; }
    TDevice* device() const { return device_.get(); }
    DisplayKind displayKind() const { return kind_; }
    int revaduvoCounter() const { return counter_; }
    bool captureActive() const { return captureActive_; }
    bool referenceTaken() const { return referenceTaken_; }
    bool darkTaken() const { return darkTaken_; }
    bool runActive() const { return runActive_; }
    bool previewActive() const { return previewActive_; }
    pa::TThreadPa* worker() const { return worker_; }
    TfmData* runData() const { return fmData_; }
    TfmParam* paramDialog() const { return fmParam_; }
    TfmRun* runDialog() const { return fmRun_; }
    TLegacyPage* legacyPage() const { return legacy_; }
    TfmGraphParam* graphParamDialog() const { return fmGraphParam_; }
    TfmDigital* digitalDialog() const { return fmDigital_; }
    QString speedText() const;
    QString countText() const;
    int firstOperand() const { return firstOperand_; }
    int secondOperand() const { return secondOperand_; }
    QLineEdit* math1() const { return math1_; }
    QLineEdit* math2() const { return math2_; }
    QGroupBox* mathGroup() const { return GroupBox4_; }
    QWidget* mathPages() const { return PageControl2_; }
    QPushButton* mathButton(const QString& caption) const;
    QLabel* manualScaleLabel() const { return lManualScale_; }
    pa::TIntEdit* manualMinEdit() const { return IntEdit1_; }
    pa::TIntEdit* manualMaxEdit() const { return IntEdit2_; }
    QPushButton* manualSetButton() const { return btSet_; }
    QToolButton* manualUnsetButton() const { return SpeedButton5_; }
    QTabWidget* chartPages() const { return PageControl1_; }
    std::optional<std::pair<double, double>> savedVerticalRange() const { return savedRange_; }
    const mi::TSpecDataSet& dataSet() const { return dataSet_; }
    const std::vector<double>& currentSpectrum() const { return current_; }
    const std::vector<double>& referenceSpectrum() const { return reference_; }
    int spectrumCount() const { return static_cast<int>(checkBoxes_.size()); }
    QCheckBox* spectrumCheckBox(int index) const { return checkBoxes_.at(index); }
    QCheckBox* currentEntry() const { return currentEntry_; }
    TSpectrumView* view() const { return view_; }
    QTimer* devTimer() const { return devTimer_; }
    TSpectStartServer* spectStartServer() const { return spectStart_; }
    QString statusText() const;
    QTabWidget* pages() const { return pages_; }
    QToolBar* toolBar() const { return toolBar_; }
    QMenu* popupMenu() const { return PopupMenu1_; }
    QMenu* dataMenu() const { return ppData_; }
    TFmInterval* intervalDialog() const { return FmInterval_; }
    QFrame* renamePanel() const { return RenamePanel_; }
    QLineEdit* renameEdit() const { return RenameEdit_; }
    QPlainTextEdit* notesEdit() const { return NotesEdit_; }
    pa::TIntEdit* integTimeEdit() const { return IntegTimeEdit_; }

    // Controls by their caption, for the enable table and for tests.
    QAction* action(const QString& caption) const;
    // The tool bar's button of an action, or null.
    QToolButton* toolButton(const QString& caption) const;
    QCheckBox* implicitCheckBox() const { return cbImplicit_; }
    QCheckBox* logarithmicCheckBox() const { return cbLogarithmic_; }
    QCheckBox* autoIntegrationCheckBox() const { return cbAutoIntegration_; }
    QCheckBox* showCursorCheckBox() const { return cbShowCursor_; }

protected:
    // The application's message hook: "SpectStart".
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void buildWindow();
    void createForms();
    void FormDestroy();
    QAction* addAction(QMenu* menu, const QString& caption);
    QAction* addToolAction(const QString& caption);
    void removeSpectrumAt(int index);
    void removeAllSpectra();
    void appendSpectrum(const QString& name, int penWidth);
    void showError(const QString& text);
    QString askFileName(bool save);
    bool confirm(const QString& text);
    // The export file: the save dialog, then the replace question for a
    // file that exists; empty when either was cancelled.
    std::string askExportFile(const char* dialogName, const char* filter, const char* suffix);
    // True unless the file exists and the user does not want it replaced.
    bool mayReplace(const QString& path);
    // False, the reason shown, for a name the user may not write (what
    // another user put there, a pipe, a device), before anything is asked.
    bool mayWrite(const QString& path);
    // True unless spectra taken or changed since the last Save or Load would
    // be lost and the user does not want that.
    bool mayDropSpectra();
    // UTF-8, as the data set and the exports keep texts.
    std::string messageText(const QString& text) const;
    void deleteWorker();
    // A capture on the GUI thread begins and ends (controls, stop flag, a
    // close asked for meanwhile).
    void beginCapture();
    void endCapture();
    void placeDialog(QWidget* dialog, int rightOffset);
    void startWorker(void (TfmMain::*body)(pa::TThreadPa*), void (TfmMain::*done)(std::uint64_t));
    // Schedules the deletion of the worker of that serial, which has ended.
    void forgetWorker(std::uint64_t serial);
    void measureLoop(pa::TThreadPa* thread);
    void measureStep(const std::vector<double>& spectrum, std::int32_t stamp);
    void showSpeedAndCount(int count, std::uint32_t start);
    // A worker's on-terminate: its flag cleared, the controls restored.
    void workerDone(bool& active, std::uint64_t serial);
    void measureDone(std::uint64_t serial);
    void previewLoop(pa::TThreadPa* thread);
    void previewStep();
    void previewDone(std::uint64_t serial);
    // The reference the preview worker took (GUI thread).
    void previewReferenceStep(bool taken);
    // False when the reference could not be taken.
    bool takeReference();
    void mathOperation(const char* infix, bool numbered,
                       void (mi::TSpecDataSet::*operation)(const std::string&, int, int));
    void buildMath(QWidget* side, QWidget* pages);
    void buildChartPages(QWidget* parent);
    // Adds "Lights"; returns "ExLights", which follows "Manual Scale".
    QWidget* buildLightPages();
    // The six LED channels on the device, and the "Lights" captions.
    void FormCreate();
    void buildScaleButtons();
    // True while the worker may be inside the device; its synchronised step
    // is the exception (the worker waits meanwhile).
    bool deviceBusyElsewhere() const;
    // A reference holds for the time and dark current it was taken with: a
    // new time (dark too) or a new dark current drops it until another is
    // taken.
    void dropReference(bool dark);
    // Sends the device's parameters where it is free (its raw-data record
    // kept) and gives the integration time it took (typed when it cannot
    // tell).
    std::int32_t integrationTimeInEffect(std::int32_t typed);
    // A new spectrum, taken at the device's present time, for "Auto
    // Integration" to judge at the next redraw.
    void spectrumTaken(const std::vector<double>& values);

    int pageMode_ = 1;
    std::unique_ptr<TDevice> device_;
    std::vector<double> current_;
    std::vector<double> reference_;
    bool darkTaken_ = false;
    bool referenceTaken_ = false;
    bool runActive_ = false;
    bool previewActive_ = false;
    bool captureActive_ = false;
    bool inWorkerStep_ = false;
    // The GUI thread is inside the device (an acquisition or dark current).
    bool guiAcquiring_ = false;
    bool destroying_ = false;
    // Closing was asked for during a capture on the GUI thread: the window
    // closes when the capture has ended.
    bool closePending_ = false;
    // The stored spectra or their notes changed since the last Save or Load.
    bool unsaved_ = false;
    DisplayKind kind_ = kScope;
    pa::TThreadPa* worker_ = nullptr;
    std::uint64_t workerSerial_ = 0;
    // Guards the preview buffers: the preview worker acquires into them.
    std::mutex previewLock_;
    std::vector<double> preview_;
    // "Capture Reference" during a preview: the preview worker takes it
    // between two of its acquisitions, so that the GUI thread never waits
    // on an acquisition (nor on a synchronisation's wait for its input).
    std::atomic<bool> referenceWanted_{false};
    std::vector<double> previewReference_;
    // Written before the worker starts and then read by it alone.
    std::int32_t runRemaining_ = 0;
    std::uint32_t runStart_ = 0;
    // The preview's own count and start, shown while it runs.
    int previewCount_ = 0;
    std::uint32_t previewStart_ = 0;
    int firstOperand_ = -1;
    int secondOperand_ = -1;
    std::optional<std::pair<double, double>> savedRange_;
    int counter_ = 0;
    std::string lightText_ = "none";
    bool inUpdateGraph_ = false;
    // The newest spectrum "Auto Integration" has not judged yet and the time
    // it was taken at: each spectrum scales its own time, once, so that a
    // redraw of the same spectrum (or one of a stored spectrum that does not
    // go into the current array) changes nothing.
    struct TUnjudged {
        std::vector<double> values;
        double ms = 0;
    };
    std::optional<TUnjudged> unjudged_;

    mi::TSpecDataSet dataSet_;
    std::vector<QCheckBox*> checkBoxes_;
    QPointer<QCheckBox> currentEntry_;

    TConfirm confirm_;
    TFileName fileName_;
    TExportFileName exportFileName_;
    TRunCount runCount_;

    QTimer* devTimer_ = nullptr;
    TSpectStartServer* spectStart_ = nullptr;
    // The "SpectStart" whose acquisition runs now, if any.
    TSpectStartEvent* spectStartRequest_ = nullptr;
    QTabWidget* pages_ = nullptr;
    QToolBar* toolBar_ = nullptr;
    QLabel* status_ = nullptr;
    QLabel* speed_ = nullptr;
    QLabel* count_ = nullptr;
    QPushButton* SetITbtn_ = nullptr;
    QLabel* Label9_ = nullptr;
    std::array<QCheckBox*, 6> ledBoxes_{};
    std::array<QSlider*, 6> ledTracks_{};
    std::array<pa::TIntEdit*, 6> ledPercents_{};
    std::vector<std::unique_ptr<TLightControl>> lights_;
    std::array<QCheckBox*, 8> lightsBoxes_{};
    QSlider* TrackBar7_ = nullptr;
    QCheckBox* cbMaster_ = nullptr;
    QLineEdit* math1_ = nullptr;
    QLineEdit* math2_ = nullptr;
    QGroupBox* GroupBox4_ = nullptr;
    QWidget* PageControl2_ = nullptr;
    std::vector<QPushButton*> mathButtons_;
    QToolButton* Swap_ = nullptr;
    QTabWidget* PageControl1_ = nullptr;
    QWidget* TabSheet3_ = nullptr;
    QLabel* lManualScale_ = nullptr;
    pa::TIntEdit* IntEdit1_ = nullptr;
    pa::TIntEdit* IntEdit2_ = nullptr;
    QPushButton* btSet_ = nullptr;
    QToolButton* SpeedButton5_ = nullptr;
    TSpectrumView* view_ = nullptr;
    QScrollArea* SpectrumScrollBox_ = nullptr;
    QWidget* spectrumList_ = nullptr;
    QCheckBox* cbImplicit_ = nullptr;
    QCheckBox* cbLogarithmic_ = nullptr;
    QCheckBox* cbAutoIntegration_ = nullptr;
    QCheckBox* cbShowCursor_ = nullptr;
    pa::TIntEdit* IntegTimeEdit_ = nullptr;
    QMenu* PopupMenu1_ = nullptr;
    QAction* showPomrak_ = nullptr;
    QMenu* ppData_ = nullptr;
    QFrame* RenamePanel_ = nullptr;
    QLineEdit* RenameEdit_ = nullptr;
    QPlainTextEdit* NotesEdit_ = nullptr;
    std::vector<QAction*> actions_;

    TLegacyPage* legacy_ = nullptr;
    TfmParam* fmParam_ = nullptr;
    TfmData* fmData_ = nullptr;
    TfmRun* fmRun_ = nullptr;
    TfmGraphParam* fmGraphParam_ = nullptr;
    TfmDigital* fmDigital_ = nullptr;
    TFmInterval* FmInterval_ = nullptr;
};

} // namespace spectrum
