#pragma once
// CProgressCtrlX: a progress-bar window drawn by CProgress. It answers the
// progress-bar messages itself (sendMessage), keeps the engine's style flags
// in its window style, and offers an automatic step timer (id 11), a
// scrolling gradient (timer 12) and a tool tip that shows the value.

#include "glimra/export.h"
#include "glimra/messages.h"
#include "glimra/progress.h"
#include "glimra/styles.h"
#include "glimra/timers.h"

#include <QWidget>

#include <string>

namespace glimra {

class GLIMRA_EXPORT CProgressCtrlX : public QWidget, public CProgress {
    Q_OBJECT

public:
    static constexpr UINT AutoStepTimer = 11;
    static constexpr UINT GradientScrollTimer = 12;

    explicit CProgressCtrlX(QWidget* parent = nullptr);
    ~CProgressCtrlX() override;

    LRESULT sendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

    // The window style; its low word holds the engine's style flags.
    DWORD GetStyle() const override { return windowStyle_; }
    void ModifyStyle(DWORD remove, DWORD add) override;
    void OnPosChanged(int pos) override;

    int SetPos(int pos);
    int OffsetPos(int delta);
    int SetStep(int step);
    int StepIt();
    DWORD SetRange(int lower, int upper);
    void SetBkColor(COLORREF color) { CProgress::SetBkColor(color); }
    void SetFont(CFont* font);
    CFont* GetFont() const { return CProgress::GetFont(); }

    void StartAutoStep(int periodMs);
    void StopAutoStep();
    void StartGradientScroll(int periodMs, int shift);
    void StopGradientScroll();

    // text: a format for one integer; mode PBS_PERCENT or PBS_POSITION.
    void SetTooltipFormat(const char* text, int mode);
    const std::string& GetTooltipFormat() const { return tooltipFormat_; }
    void HideTooltip() { SetTooltipFormat(nullptr, 0); }
    void UpdateTooltip(int pos);
    // The tool tip: whether it exists, is active, and the text it shows.
    bool tooltipExists() const { return tooltipExists_; }
    bool tooltipActive() const { return tooltipActive_; }
    const std::string& tooltipText() const { return tooltipText_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void OnTimer(UINT id);
    // What every message the control does not answer itself gets.
    virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);

private:
    void invalidate() { update(); }
    void showTooltip();

    Timers timers_;
    DWORD windowStyle_ = WS_CHILD | WS_VISIBLE | PBS_TEXT_CENTER;
    bool tooltipExists_ = false;
    bool tooltipActive_ = false;
    std::string tooltipText_;
    std::string tooltipFormat_;
    int tooltipMode_ = 0;
    int scrollShift_ = 0;
};

} // namespace glimra
