#pragma once
// CCheckFrame switches a group of dialog controls on and off together: those
// that lie wholly inside one frame control of the dialog (typically a group
// box under a check box). The dialog attaches the frame once its controls
// exist; the list is a snapshot until the next Attach.

#include "glimra/export.h"
#include "glimra/types.h"

#include <QPointer>
#include <QWidget>

#include <vector>

namespace glimra {

class GLIMRA_EXPORT CCheckFrame {
public:
    CCheckFrame();
    virtual ~CCheckFrame();
    CCheckFrame(const CCheckFrame&) = delete;
    CCheckFrame& operator=(const CCheckFrame&) = delete;

    // Collects the controls inside the dialog's control frameId; FALSE (and
    // the list as it was) when the dialog has no such control.
    BOOL Attach(QWidget* dialog, int frameId);
    virtual void EnableControls(BOOL enable);

    QWidget* frame() const { return frame_; }
    const RECT& frameRect() const { return frameRect_; }
    // The collected controls that still exist.
    std::vector<QWidget*> controls() const;

private:
    QPointer<QWidget> frame_;
    QPointer<QWidget> dialog_;
    RECT frameRect_;
    std::vector<QPointer<QWidget>> controls_;
};

} // namespace glimra
