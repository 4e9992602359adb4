#pragma once
// CStatusDlg: a modeless waiting window for a long operation: a message
// line, optionally an icon, a second line or a progress bar in its place,
// and optionally a Cancel button. The client works on in its own loop,
// updates the dialog between steps and asks IsCancelled; the dialog never
// ends the operation. While shown it can disable an owner window.

#include "glimra/export.h"
#include "glimra/types.h"

#include <QDialog>
#include <QImage>
#include <QPointer>

#include <string>

class QAbstractButton;
class QLabel;

namespace glimra {

class CProgressCtrlX;

class GLIMRA_EXPORT CStatusDlg : public QDialog {
    Q_OBJECT

public:
    static constexpr int IconId = 10100;
    static constexpr int Text1Id = 10101;
    static constexpr int Text2Id = 10102;
    static constexpr int ProgressId = 10103;
    static constexpr int CancelId = 2;
    // The template of layout n.
    static const UINT Templates[5];

    // parent is not used: Create takes the parent.
    explicit CStatusDlg(QWidget* parent = nullptr);
    ~CStatusDlg() override;

    BOOL Create(int layout, UINT iconId = 0, QWidget* parent = nullptr);
    BOOL ShowStatus(int layout, UINT iconId = 0, BOOL update = TRUE, QWidget* owner = nullptr,
                    BOOL disableOwner = FALSE);
    BOOL Close();
    // Whether the dialog's window exists (between Create and Close).
    bool exists() const { return created_; }
    int layout() const { return layout_; }
    QWidget* disabledOwner() const { return owner_; }

    void SetText1(const char* text);
    void SetText1(const std::string& text) { SetText1(text.c_str()); }
    void SetText1(UINT stringId);
    void SetText2(const char* text);
    void SetText2(const std::string& text) { SetText2(text.c_str()); }
    void SetText2(UINT stringId);
    void SetCancelText(const char* text);
    void SetCancelText(const std::string& text) { SetCancelText(text.c_str()); }
    void SetCancelText(UINT stringId);
    // The previous icon (an opaque nonzero value), 0 when there was none or
    // the id names no icon.
    LRESULT SetIcon(const QImage& icon);
    LRESULT SetIcon(UINT iconId);

    void SetProgressRange(int lower, int upper);
    void GetProgressRange(int& lower, int& upper);
    int SetProgressPos(int pos);
    int OffsetProgressPos(int delta);
    int SetProgressStep(int step);
    int StepProgress();
    int GetProgressPos();
    BOOL ShowProgress(BOOL show, BOOL update = TRUE);
    BOOL ShowCancel(BOOL show, BOOL update = TRUE);
    BOOL EnableCancel(BOOL enable);
    BOOL IsCancelled() const { return cancelled_ != 0; }

    virtual BOOL OnInitDialog();
    // The user's Cancel (button or Escape): only noted.
    virtual void OnCancel();

    QLabel* iconControl() const { return icon_; }
    QLabel* text1() const { return text1_; }
    QLabel* text2() const { return text2_; }
    CProgressCtrlX* progress() const { return progress_; }
    QAbstractButton* cancelButton() const { return cancel_; }

    void reject() override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void DoDataExchange();
    void destroyWindow();
    LRESULT progressMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

    QLabel* icon_ = nullptr;
    QLabel* text1_ = nullptr;
    QLabel* text2_ = nullptr;
    CProgressCtrlX* progress_ = nullptr;
    QAbstractButton* cancel_ = nullptr;
    QImage shownIcon_;
    int layout_ = 0;
    BYTE progressShown_ = 0;
    BYTE cancelUsable_ = 0;
    BYTE cancelled_ = 0;
    QPointer<QWidget> owner_;
    bool created_ = false;
};

} // namespace glimra
