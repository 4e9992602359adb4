#pragma once
// The main window of Revaduvo: the device it opens by itself, the status and
// enables that follow the device, the chart in its display kinds, and the
// stored spectra as check boxes beside it (data-set entries, check boxes and
// chart series are three parallel lists kept in step).

#include "device.h"
#include "forms.h"
#include "mispecdataset.h"
#include "spectrumview.h"

#include <QCheckBox>
#include <QMainWindow>
#include <QPointer>
#include <QStringList>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QAction;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QScrollArea;
class QTabWidget;
class QTimer;
class QToolBar;
class QToolButton;

namespace pa {
class TIntEdit;
class TThreadPa;
} // namespace pa

namespace spectrum {

class TSpectStartServer;

class TfmMain : public QMainWindow {
    Q_OBJECT

public:
    // Yes/No question; true for Yes.
    using TConfirm = std::function<bool(const QString& text, const QString& caption)>;
    // File name for Save (save = true) or Load; empty for Cancel.
    using TFileName = std::function<QString(bool save)>;

    // words: the command line after the program name.
    explicit TfmMain(const QStringList& words, QWidget* parent = nullptr);
    // The same, with `device` in place of the one the words pick (page 1 only).
    TfmMain(const QStringList& words, std::unique_ptr<TDevice> device, QWidget* parent = nullptr);
    ~TfmMain() override;

    void setConfirmHandler(TConfirm confirm) { confirm_ = std::move(confirm); }
    void setFileNameHandler(TFileName fileName) { fileName_ = std::move(fileName); }

    // The 500 ms tick: opens the device while it is not open.
    void TimerDevTimer();
    void showStatus();
    void updateControls();
    // Redraws the chart; with "Auto Integration" also adjusts the time.
    void updateGraph();
    // False while a run is active; stops whatever acquires.
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
    void setDisplayKind(DisplayKind kind);

    int pageMode() const { return pageMode_; }
    TDevice* device() const { return device_.get(); }
    DisplayKind displayKind() const { return kind_; }
    int revaduvoCounter() const { return counter_; }
    bool captureActive() const { return captureActive_; }
    bool referenceTaken() const { return referenceTaken_; }
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

    int pageMode_ = 1;
    std::unique_ptr<TDevice> device_;
    std::vector<double> current_;
    std::vector<double> reference_;
    bool darkTaken_ = false;
    bool referenceTaken_ = false;
    bool runActive_ = false;
    bool previewActive_ = false;
    bool captureActive_ = false;
    DisplayKind kind_ = kScope;
    pa::TThreadPa* worker_ = nullptr;
    int counter_ = 0;
    std::string lightText_ = "none";
    bool inUpdateGraph_ = false;

    mi::TSpecDataSet dataSet_;
    std::vector<QCheckBox*> checkBoxes_;
    QPointer<QCheckBox> currentEntry_;

    TConfirm confirm_;
    TFileName fileName_;

    QTimer* devTimer_ = nullptr;
    TSpectStartServer* spectStart_ = nullptr;
    QTabWidget* pages_ = nullptr;
    QToolBar* toolBar_ = nullptr;
    QLabel* status_ = nullptr;
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

    TfmParam* fmParam_ = nullptr;
    TfmData* fmData_ = nullptr;
    TfmRun* fmRun_ = nullptr;
    TfmGraphParam* fmGraphParam_ = nullptr;
    TfmDigital* fmDigital_ = nullptr;
    TFmInterval* FmInterval_ = nullptr;
};

} // namespace spectrum
