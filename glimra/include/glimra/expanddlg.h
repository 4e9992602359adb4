#pragma once
// CExpandingDialog: a dialog that opens in a short form and grows to its full
// size at the press of an expand button. A marker control of the template
// marks the short form: the dialog is cut at the marker's lower-right corner
// and every control that does not overlap the marker is disabled, so the
// keyboard cannot reach hidden controls. Derived dialogs may veto or follow a
// change through OnDialogExpanding and OnDialogExpanded.

#include "glimra/dialog.h"
#include "glimra/export.h"

#include <QDialog>

#include <optional>
#include <string>

namespace glimra {

class GLIMRA_EXPORT CExpandingDialog : public QDialog {
    Q_OBJECT

public:
    CExpandingDialog(DialogTemplate dialogTemplate, QWidget* parent, int markerId, int buttonId,
                     const char* collapsedText, const char* expandedText, BOOL canCollapse);
    ~CExpandingDialog() override;

    // Builds the template's controls, then OnInitDialog.
    BOOL Create();
    int DoModal();
    virtual BOOL OnInitDialog();

    BOOL Expand(BOOL expand);
    BOOL Toggle() { return Expand(!expanded_); }
    BOOL IsExpanded() const { return expanded_; }
    // A command of a control: LOWORD the id, HIWORD the notification code.
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
    // Resizes and enables without asking the hooks.
    void ApplyExpandState(BOOL expand);

    // Window width and height at full size, kept at the first collapse.
    std::optional<SIZE> fullSize() const { return fullSize_; }

protected:
    // FALSE vetoes leaving the current state (TRUE while expanded).
    virtual BOOL OnDialogExpanding(BOOL expanded);
    virtual void OnDialogExpanded(BOOL expanded);

private:
    void resizeWindow(int windowWidth, int windowHeight);

    DialogTemplate template_;
    std::string collapsedText_;
    std::string expandedText_;
    int markerId_;
    int buttonId_;
    BOOL canCollapse_;
    std::optional<SIZE> fullSize_;
    BOOL expanded_ = TRUE;
    bool created_ = false;
};

} // namespace glimra
