#pragma once
// The secondary forms the program creates at start, after the main window.
// Each is the window its caption names; what it does beyond that arrives
// with the features that use it, so none of them acts on the device yet.

#include "mitextexport.h"

#include <QDialog>
#include <QObject>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QLineEdit;
class QPushButton;

namespace pa {
class TIntEdit;
} // namespace pa

namespace spectrum {

// A dialog of the main window with its name and caption.
class TForm : public QDialog {
    Q_OBJECT

public:
    TForm(const char* name, const char* caption, QWidget* parent);
};

// "Settings": the acquisition parameters (work mode, synchronisation,
// integration time, average number). So far only the two edits that the main
// window's integration-time "Set" and the text exports use.
class TfmParam : public TForm {
    Q_OBJECT

public:
    explicit TfmParam(QWidget* parent = nullptr);

    pa::TIntEdit* edTime() const { return edTime_; }
    pa::TIntEdit* edAverage() const { return edAverage_; }

private:
    pa::TIntEdit* edTime_ = nullptr;
    pa::TIntEdit* edAverage_ = nullptr;
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

// "Param": the wavelength range of the chart and the cursor switch.
class TfmGraphParam : public TForm {
    Q_OBJECT

public:
    explicit TfmGraphParam(QWidget* parent = nullptr) : TForm("fmGraphParam", "Param", parent) {}
};

// "Digital Input/Output": input source, digital outputs and inputs.
class TfmDigital : public TForm {
    Q_OBJECT

public:
    explicit TfmDigital(QWidget* parent = nullptr)
        : TForm("fmDigital", "Digital Input/Output", parent) {}
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
    // "OK" was pressed; the dialog is closed.
    void finishedInterval();

private:
    QLineEdit* from_ = nullptr;
    QLineEdit* to_ = nullptr;
    QPushButton* ok_ = nullptr;
};

} // namespace spectrum
