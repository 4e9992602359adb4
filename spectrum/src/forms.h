#pragma once
// The secondary forms the program creates at start, after the main window:
// the parameter, run, graph-parameter, digital-lines and interval dialogs and
// the run's data module. The dialogs act through the main window and its device.

#include "mitextexport.h"

#include <QDialog>
#include <QObject>
#include <QString>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QToolButton;

namespace pa {
class TIntEdit;
} // namespace pa

namespace spectrum {

class TDevice;
class TfmMain;

// The digital lines' groups, as the digital dialog and the legacy page show
// them: "Input Source" (nothing selected), "Digital Output" with three boxes,
// "Digital Input" with three labels and "Read". The caller connects them.
struct TDigitalLineControls {
    QGroupBox* sourceGroup = nullptr;
    QButtonGroup* sources = nullptr; // ids 0 "DIN_FEE", 1 "DIN_DSUB"
    std::array<QRadioButton*, 2> sourceButtons{};
    QGroupBox* outputGroup = nullptr;
    std::array<QCheckBox*, 3> outputs{};
    QGroupBox* inputGroup = nullptr;
    std::array<QLabel*, 3> inputs{};
    QPushButton* read = nullptr;
};
TDigitalLineControls buildDigitalLineControls(QWidget* parent);
// "Digital Input k = value".
QString digitalInputText(int index, unsigned value);

// A dialog of the main window with its name and caption.
class TForm : public QDialog {
    Q_OBJECT

public:
    TForm(const char* name, const char* caption, QWidget* parent);

signals:
    // The dialog was hidden (closed); its menu entry is unticked.
    void hidden();

protected:
    void hideEvent(QHideEvent* event) override;
};

// "Settings": the acquisition parameters of the default page (work mode,
// synchronisation, integration time, average number). "Set" hands them to the
// main window's device; the two list choices are remembered in spectrum.ini.
class TfmParam : public TForm {
    Q_OBJECT

public:
    // The library's work-mode code of each entry of "Sensor Work Mode".
    static constexpr int kWorkModes[10] = {3, 1, 2, 3, 4, 5, 6, 7, 8, 9};

    explicit TfmParam(TfmMain* main);
    // Writes the list choices back (FormDestroy).
    ~TfmParam() override;

    // "Set".
    void btSetParamClick();
    // Holds an acquisition until digital input 1 is set; 0 drops it (the
    // device was asked to stop). Runs on whichever thread acquires.
    static int controlSynchronization(TDevice& device);

    pa::TIntEdit* edTime() const { return edTime_; }
    pa::TIntEdit* edAverage() const { return edAverage_; }
    QComboBox* workModeBox() const { return cbWorkMode_; }
    QComboBox* synchroBox() const { return cbSynchro_; }
    QPushButton* setButton() const { return btSet_; }
    QGroupBox* parameterGroup() const { return group_; }

private:
    void FormCreate();
    void FormDestroy();

    TfmMain* main_;
    QGroupBox* group_ = nullptr;
    pa::TIntEdit* edTime_ = nullptr;
    pa::TIntEdit* edAverage_ = nullptr;
    QComboBox* cbWorkMode_ = nullptr;
    QComboBox* cbSynchro_ = nullptr;
    QPushButton* btSet_ = nullptr;
};

// The data module of the current run: its spectra with their time stamps and
// the reference spectrum. No window. Used on the GUI thread only: the run
// worker hands its spectra over in its synchronised step.
class TfmData : public QObject {
    Q_OBJECT

public:
    explicit TfmData(QObject* parent = nullptr);

    // Empties the run; the reference stays.
    void clear();
    void add(const std::vector<double>& spectrum, std::int32_t stamp);
    int count() const { return static_cast<int>(spectra_.size()); }
    void setReference(const std::vector<double>& values) { reference_ = values; }
    const std::vector<double>& reference() const { return reference_; }
    const std::vector<std::vector<double>>& spectra() const { return spectra_; }
    const std::vector<std::int32_t>& stamps() const { return stamps_; }

    // "Export": chooseFile gives the file (empty: cancelled), then the run is
    // written. Raises when the file cannot be written.
    void exportDialog(const mi::TExportContext& context,
                      const std::function<std::string()>& chooseFile) const;
    void exportRun(const mi::TExportContext& context, const std::string& path) const;

private:
    std::vector<std::vector<double>> spectra_;
    std::vector<std::int32_t> stamps_;
    std::vector<double> reference_;
};

// "Number of samples": the length of a run (0: endless).
class TfmRun : public TForm {
    Q_OBJECT

public:
    explicit TfmRun(QWidget* parent = nullptr);

    pa::TIntEdit* edNumber() const { return edNumber_; }

protected:
    // The number edit refuses Enter as a character: it closes with OK here.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    pa::TIntEdit* edNumber_ = nullptr;
};

// "Param": the wavelength range of the chart's bottom axis and the cursor
// switch.
class TfmGraphParam : public TForm {
    Q_OBJECT

public:
    explicit TfmGraphParam(TfmMain* main);

    // Before showing: the ranges from the device's wavelength table, the
    // edits from the chart's axis.
    void prepare();
    // "Set" (also Enter in either edit). A minimum above the maximum is
    // refused with a message and the dialog stays.
    void SetClick();
    // The full range, then "Set"; nothing without a wavelength table.
    void FullRangeClick();

    pa::TIntEdit* edMin() const { return edMin_; }
    pa::TIntEdit* edMax() const { return edMax_; }
    QPushButton* setButton() const { return btSet_; }
    QToolButton* fullRangeButton() const { return btFull_; }
    QCheckBox* showCursorBox() const { return cbShowCursor_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // False without a wavelength table.
    bool takeRanges();

    TfmMain* main_;
    pa::TIntEdit* edMin_ = nullptr;
    pa::TIntEdit* edMax_ = nullptr;
    QPushButton* btSet_ = nullptr;
    QToolButton* btFull_ = nullptr;
    QCheckBox* cbShowCursor_ = nullptr;
};

// "Digital Input/Output": the acquisition input source, digital outputs 1 to
// 3 and inputs 1 to 3 of the main window's device. The input source is
// remembered in spectrum.ini.
class TfmDigital : public TForm {
    Q_OBJECT

public:
    explicit TfmDigital(TfmMain* main);
    ~TfmDigital() override;

    // "Input Source" clicked, or re-applied when the device opens.
    void InputSourceClick();
    void OutputClick(int index);
    // "Read".
    void ReadClick();

    // 0 "DIN_FEE", 1 "DIN_DSUB", -1 none.
    int inputSource() const;
    QRadioButton* sourceButton(int index) const { return sources_.at(index); }
    QCheckBox* outputBox(int index) const { return outputs_.at(index - 1); }
    QLabel* inputLabel(int index) const { return inputs_.at(index - 1); }
    QPushButton* readButton() const { return btRead_; }

private:
    TfmMain* main_;
    std::array<QRadioButton*, 2> sources_{};
    std::array<QCheckBox*, 3> outputs_{};
    std::array<QLabel*, 3> inputs_{};
    QPushButton* btRead_ = nullptr;
};

// "Set Interval": two edits with "To" between them and "OK". Shown over the
// main window, which stays disabled until "OK"; the texts are not used.
class TFmInterval : public TForm {
    Q_OBJECT

public:
    explicit TFmInterval(QWidget* parent = nullptr);

    QLineEdit* fromEdit() const { return from_; }
    QLineEdit* toEdit() const { return to_; }
    QPushButton* okButton() const { return ok_; }

signals:
    // The dialog was closed, by "OK" or otherwise.
    void finishedInterval();

private:
    QLineEdit* from_ = nullptr;
    QLineEdit* to_ = nullptr;
    QPushButton* ok_ = nullptr;
};

} // namespace spectrum
