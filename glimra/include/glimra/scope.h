#pragma once
// CSpectraScope: a modeless dialog, "Spectra Scope", that shows spectra on a
// CChart titled "Spectra data" over "Pixel" and "Counts". A client creates it,
// sends it curves at every new spectrum and lets it scale the axes to the data
// seen so far (auto scale) or to a range typed into CScalingDialog
// ("Scaling").
//
// The running extremes of auto scale are held once per process: every scope
// widens the same four values, and a reset in any scope resets them for all.

#include "glimra/chart.h"
#include "glimra/checkframe.h"
#include "glimra/export.h"

#include <QDialog>

#include <string>

class QCheckBox;

namespace glimra {

class GLIMRA_EXPORT CScalingDialog : public QDialog {
    Q_OBJECT

public:
    static constexpr int IDD = 10011;

    explicit CScalingDialog(QWidget* parent = nullptr);
    ~CScalingDialog() override;

    void SetAutoScale(bool on) { autoScale_ = on ? 1 : 0; }
    bool IsAutoScale() const { return autoScale_ == 1; }
    void SetRange(double xMin, double xMax, double yMin, double yMax);
    void GetRange(double* xMin, double* xMax, double* yMin, double* yMax) const;

    // Shows the dialog until the user leaves it: IDOK or IDCANCEL.
    int DoModal();

    void accept() override;

protected:
    // save: from the controls into the fields, refusing a field that is not
    // a number (the user is told and the field gets the focus).
    virtual BOOL DoDataExchange(bool save);
    virtual BOOL OnInitDialog();
    void OnAutoScale();

private:
    void build();

    QCheckBox* autoScaleBox_ = nullptr;
    CCheckFrame checkFrame_;
    int autoScale_ = 0;
    double xMin_ = 0;
    double xMax_ = 0;
    double yMin_ = 0;
    double yMax_ = 0;
};

class GLIMRA_EXPORT CSpectraScope : public QDialog {
    Q_OBJECT

public:
    static constexpr int IDD = 10003;
    static constexpr int ChartId = 10009;

    // parent: the window the dialog is created on.
    explicit CSpectraScope(QWidget* parent = nullptr);
    ~CSpectraScope() override;

    // Creates and shows the dialog; the open flag follows success.
    BOOL Create();
    // Clears the open flag and destroys the window.
    BOOL Close();
    // True while the dialog stands, until Close or the user closes it.
    bool IsOpen() const { return open_; }

    void SetAutoScale(bool on) { autoScale_ = on; }
    bool GetAutoScale() const { return autoScale_; }
    // The chart's range; the kept range too when the chart takes it.
    bool SetRange(double xMin, double xMax, double yMin, double yMax);
    // The range last set through SetRange or the scaling dialog.
    void GetRange(double* xMin, double* xMax, double* yMin, double* yMax) const;
    bool SetCurveCount(int count);
    bool AllocCurves(int points);
    bool SetCurveColor(int curve, COLORREF color);
    void SetTitle(const std::string& title);
    void SetAxisNames(const std::string& x, const std::string& y);
    // Stores count points of x and y as the curve (with auto scale widening
    // the shared running extremes first) and repaints; FALSE when there is
    // no window to repaint.
    BOOL SetCurveData(int curve, int count, const double* x, const double* y);
    // The running extremes start again at the next SetCurveData.
    void ResetScaling() { reset_ = 1; }

    const CChart& chart() const { return chart_; }

    void accept() override;
    void reject() override;

protected:
    virtual BOOL OnInitDialog();
    void OnScaling();
    void OnResetScaling() { ResetScaling(); }
    void OnSize(UINT type, int cx, int cy);
    BOOL DestroyWindow();

    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    BOOL redrawWindow();
    void showResetButton();

    bool open_ = false;
    bool created_ = false;
    bool built_ = false;
    RECT placement_;
    bool autoScale_ = true;
    double xMin_ = 0;
    double xMax_ = 0;
    double yMin_ = 0;
    double yMax_ = 0;
    int reset_ = 0;
    CChart chart_;
};

} // namespace glimra
