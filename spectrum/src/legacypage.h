#pragma once
// The legacy measurement page ("old" on the command line): the pages
// "Measurement" and "Digital I/O", which drive the acquisition library
// directly for interface 1. A device-watch worker opens the connection, single
// spectra are drawn over a quadratic wavelength formula, and a continuous
// worker writes every spectrum as a line of a text file.
//
// The workers touch no control: what they need is read on the GUI thread
// before they start, and they hand their spectra over in synchronised steps.

#include <QObject>
#include <QString>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

class QButtonGroup;
class QChart;
class QCheckBox;
class QLabel;
class QLineSeries;
class QPushButton;
class QRadioButton;
class QWidget;

namespace pa {
class TFloatEdit;
class TIntEdit;
class TThreadPa;
} // namespace pa

namespace spectrum {

class TLegacyPage : public QObject {
    Q_OBJECT

public:
    // The file for "Select File" (current: the name shown); empty for Cancel.
    using TSaveFileName = std::function<QString(const QString& current)>;
    // Status panels: the connection changed; count and speed of a continuous run.
    using TStatus = std::function<void()>;
    using TSpeedAndCount = std::function<void(int count, std::uint32_t start)>;

    TLegacyPage(QWidget* parent, TStatus showStatus, TSpeedAndCount speedAndCount);
    // Shutdown: both workers deleted, an open connection closed.
    ~TLegacyPage() override;

    QWidget* measurementPage() const { return measurement_; }
    QWidget* digitalPage() const { return digital_; }

    // Connection closed, controls updated, the device watch started.
    void start();
    void shutdown();
    bool connectionOpen() const { return connectionOpen_.load(); }

    void setSaveFileHandler(TSaveFileName handler) { saveFileName_ = std::move(handler); }

    // Handlers; errors raise (pa::raiseError), as the page's buttons report them.
    void deviceOpened();
    void updateLegacyControls();
    void GetParamClick();
    void GetClick();
    void StopClick();
    void DarkCurrentClick();
    void SelectFileClick();
    void OutputClick(int index);
    void ReadClick();
    void InputSourceClick(int index);
    void FlashClick();
    void Flash2Click();

    // Controls, for the main window and tests.
    pa::TIntEdit* timeEdit() const { return edTime_; }
    pa::TIntEdit* averageEdit() const { return edAverage_; }
    QRadioButton* singleButton() const { return rbSingle_; }
    QRadioButton* continuousButton() const { return rbContinuous_; }
    QCheckBox* useDarkBox() const { return cbUseDark_; }
    QCheckBox* useGraphBox() const { return cbUseGraph_; }
    QRadioButton* bufferedButton() const { return rbBuffered_; }
    QRadioButton* triggerPulseButton() const { return rbTriggerPulse_; }
    QPushButton* button(const QString& caption) const;
    QLabel* fileLabel() const { return fileLabel_; }
    pa::TFloatEdit* coefficientEdit(char name) const;
    QCheckBox* outputBox(int index) const { return outputs_.at(index - 1); }
    QLabel* inputLabel(int index) const { return inputs_.at(index - 1); }
    QRadioButton* sourceButton(int index) const { return sources_.at(index); }
    QCheckBox* flashBox() const { return cbFlash_; }
    QCheckBox* flash2ActiveBox() const { return cbFlash2Active_; }
    QCheckBox* flash2ModeBox() const { return cbFlash2Mode_; }
    QLineSeries* series() const { return series_; }
    QString fileName() const { return fileName_; }
    int pixelCount() const { return pixelCount_; }
    std::uint32_t rawDataHandle() const { return handle_; }
    bool continuousRunning() const { return running_; }
    // The spectrum drawn last (single, or continuous with the graph on).
    const std::vector<double>& spectrum() const { return spectrum_; }

private:
    void buildMeasurement(QWidget* parent);
    void buildDigital(QWidget* parent);
    void deviceWatch(pa::TThreadPa* thread);
    // n: the values of each spectrum.
    void continuousLoop(pa::TThreadPa* thread, bool buffered, const QString& path, std::size_t n);
    void continuousStep(const std::vector<double>& values, int count);
    void continuousDone();
    void setUpRawData();
    void takeDarkCurrent();
    void draw(const std::vector<double>& values);
    // The values of a spectrum of this sensor, at most its pixel count.
    std::size_t pixels() const;

    QWidget* measurement_ = nullptr;
    QWidget* digital_ = nullptr;
    TStatus showStatus_;
    TSpeedAndCount speedAndCount_;
    TSaveFileName saveFileName_;

    // Written by the watch worker and the GUI thread.
    std::atomic<bool> connectionOpen_{false};
    // The library's raw-data record; the continuous worker uses it while the
    // controls that change it are disabled.
    std::uint32_t handle_ = 0;
    std::uint32_t sensorType_ = 0;
    std::uint32_t pixelCount_ = 0;
    std::uint32_t runStart_ = 0;
    std::vector<double> spectrum_;
    QString fileName_;
    pa::TThreadPa* watch_ = nullptr;
    pa::TThreadPa* continuous_ = nullptr;
    // From the start of a continuous acquisition to its end step.
    bool running_ = false;
    // Why the continuous file could not be made or written: set by its
    // worker, shown when the worker has ended.
    QString failure_;

    pa::TIntEdit* edTime_ = nullptr;
    pa::TIntEdit* edAverage_ = nullptr;
    QRadioButton* rbSingle_ = nullptr;
    QRadioButton* rbContinuous_ = nullptr;
    QCheckBox* cbUseDark_ = nullptr;
    QCheckBox* cbUseGraph_ = nullptr;
    QWidget* sensorMode_ = nullptr;
    QRadioButton* rbBuffered_ = nullptr;
    QRadioButton* rbTriggerPulse_ = nullptr;
    std::vector<QPushButton*> buttons_;
    QLabel* fileLabel_ = nullptr;
    pa::TFloatEdit* edA_ = nullptr;
    pa::TFloatEdit* edB_ = nullptr;
    pa::TFloatEdit* edC_ = nullptr;
    QChart* chart_ = nullptr;
    QLineSeries* series_ = nullptr;
    std::array<QCheckBox*, 3> outputs_{};
    std::array<QLabel*, 3> inputs_{};
    std::array<QRadioButton*, 2> sources_{};
    QCheckBox* cbFlash_ = nullptr;
    QCheckBox* cbFlash2Active_ = nullptr;
    QCheckBox* cbFlash2Mode_ = nullptr;
};

} // namespace spectrum
