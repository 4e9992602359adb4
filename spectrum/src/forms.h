#pragma once
// The secondary forms the program creates at start, after the main window.
// Each is the window its caption names; what it does beyond that arrives
// with the features that use it, so none of them acts on the device yet.

#include <QDialog>
#include <QObject>

class QLineEdit;
class QPushButton;

namespace spectrum {

// A dialog of the main window with its name and caption.
class TForm : public QDialog {
    Q_OBJECT

public:
    TForm(const char* name, const char* caption, QWidget* parent);
};

// "Settings": the acquisition parameters (work mode, synchronisation,
// integration time, average number).
class TfmParam : public TForm {
    Q_OBJECT

public:
    explicit TfmParam(QWidget* parent = nullptr) : TForm("fmParam", "Settings", parent) {}
};

// The data module of the current run: its spectra with their time stamps and
// the reference spectrum. No window.
class TfmData : public QObject {
    Q_OBJECT

public:
    explicit TfmData(QObject* parent = nullptr);
};

// "Number of samples": the length of a run.
class TfmRun : public TForm {
    Q_OBJECT

public:
    explicit TfmRun(QWidget* parent = nullptr) : TForm("fmRun", "Number of samples", parent) {}
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
