#pragma once
// CStepCheckList: the steps of a procedure as a vertical list, one small
// state image and one label (CNewLabel) per step. The client marks the
// current step (arrow, bold text), finished steps (check mark), steps with an
// error (red exclamation mark) or other steps (grey dot), and can grey out
// single steps. The steps come from SetSteps or from the window text, names
// joined by "|" (or, in a dialog template's numeric form, the string
// resource that holds them).

#include "glimra/export.h"
#include "glimra/label.h"

#include <QLabel>
#include <QWidget>

#include <array>
#include <memory>
#include <string>
#include <vector>

namespace glimra {

class GLIMRA_EXPORT CStepCheckList : public QWidget {
    Q_OBJECT

public:
    static constexpr UINT FirstStateBitmap = 10100;
    static constexpr int Blank = 0;
    static constexpr int Current = 1;
    static constexpr int Other = 2;
    static constexpr int Done = 3;
    static constexpr int Error = 4;

    explicit CStepCheckList(QWidget* parent = nullptr);
    ~CStepCheckList() override;

    // Refused once the items are built, for count <= 0 or no text.
    BOOL SetSteps(int count, UINT stringId);
    BOOL SetSteps(int count, const std::string& text);
    // Makes the window with the window text (the steps, or the numeric form
    // naming them) and builds the items.
    BOOL Create(const std::string& windowText, DWORD style, const RECT& rect, QWidget* parent,
                UINT id);
    // Takes the place and text of a dialog's static control id and builds the
    // items from its text.
    BOOL SubclassDlgItem(int id, QWidget* dialog);
    void SetStepState(int step, int state);
    void ResetStates();
    void EnableStep(int step, BOOL enable);
    BOOL IsBuilt() const { return built_; }
    void FreeItems();
    // The window goes with its items; the object stays.
    void DestroyWindow();

    int stepCount() const { return count_; }
    int itemsMade() const { return made_; }
    const std::string& stepText() const { return stepText_; }
    // The image index and label of a step, while its items exist.
    int stepImage(int step) const;
    CNewLabel* stepLabel(int step) const;
    QLabel* stepImageControl(int step) const;

protected:
    virtual void PreSubclassWindow();
    void paintEvent(QPaintEvent* event) override;

private:
    bool readSteps();
    bool buildItems();
    bool hasItem(int step) const;

    BYTE built_ = FALSE;
    int count_ = 0;
    int made_ = 0;
    std::vector<std::unique_ptr<QLabel>> images_;
    std::vector<std::unique_ptr<CNewLabel>> texts_;
    std::vector<int> imageIndex_;
    std::array<QImage, 5> stateImages_;
    std::string stepText_;
    std::string delimiter_ = "|";
    std::string windowText_;
    RECT rect_;
};

} // namespace glimra
