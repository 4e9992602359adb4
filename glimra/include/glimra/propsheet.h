#pragma once
// Property sheets: pages under a tab control (or, as a wizard, one after the
// other) above a row of buttons; and the sheet that writes an engraved logo
// text into the free strip of its button row.

#include "glimra/export.h"
#include "glimra/gdi.h"
#include "glimra/library.h"
#include "glimra/tabctrl.h"

#include <QDialog>
#include <QPointer>

#include <string>
#include <vector>

namespace glimra {

inline constexpr UINT PSM_GETTABCONTROL = WM_USER + 116;
inline constexpr DWORD PSH_WIZARD = 0x00000020;
inline constexpr DWORD PSH_WIZARD97 = 0x01000000;

inline constexpr int ID_APPLY_NOW = 0x3021;
inline constexpr int ID_WIZBACK = 0x3023;
inline constexpr int ID_WIZNEXT = 0x3024;

struct PROPSHEETHEADER {
    DWORD dwFlags = 0;
};

// One page of a sheet. A page that must not be left answers PSN_KILLACTIVE
// with nonzero (OnKillActive returning FALSE).
class GLIMRA_EXPORT CPropertyPage : public QWidget, public NotifyTarget {
    Q_OBJECT

public:
    explicit CPropertyPage(const char* caption, QWidget* parent = nullptr);
    const std::string& caption() const { return caption_; }
    virtual BOOL OnKillActive() { return TRUE; }
    LRESULT OnNotify(const NMHDR& header) override;

private:
    std::string caption_;
};

class GLIMRA_EXPORT CPropertySheet : public QDialog, public NotifyTarget {
    Q_OBJECT

public:
    CPropertySheet(UINT captionId, QWidget* parent = nullptr, UINT selectPage = 0);
    CPropertySheet(const char* caption, QWidget* parent = nullptr, UINT selectPage = 0);
    ~CPropertySheet() override;

    // Pages stay the client's; the sheet shows them while its window exists.
    void AddPage(CPropertyPage* page);
    int GetPageCount() const { return static_cast<int>(pages_.size()); }
    CPropertyPage* GetPage(int index) const;
    CPropertyPage* GetActivePage() const { return GetPage(active_); }
    int GetActiveIndex() const { return active_; }
    BOOL SetActivePage(int index);
    void SetWizardMode() { m_psh.dwFlags |= PSH_WIZARD; }
    CTabCtrl* GetTabControl() const { return tab_; }
    // PSM_GETTABCONTROL answers the tab control.
    LRESULT sendMessage(UINT message, WPARAM wParam, LPARAM lParam);

    // Makes the window: tab control, pages and buttons; then OnInitDialog.
    BOOL Create();
    int DoModal();
    virtual BOOL OnInitDialog();
    LRESULT OnNotify(const NMHDR& header) override;

    PROPSHEETHEADER m_psh;

private:
    void showPage(int index);

    std::string caption_;
    // A page the client deletes first drops out.
    std::vector<QPointer<CPropertyPage>> pages_;
    int active_ = 0;
    CTabCtrl* tab_ = nullptr;
    bool created_ = false;
};

class GLIMRA_EXPORT CPropertySheetWithLogo : public CPropertySheet {
    Q_OBJECT

public:
    using CPropertySheet::CPropertySheet;
    ~CPropertySheetWithLogo() override;

    void SetLogoText(const std::string& text);
    void SetLogoFont(const std::string& face, int height, int weight, BYTE italic, BYTE underline);
    const std::string& logoText() const { return logoText_; }
    const CFont& logoFont() const { return logoFont_; }
    BOOL OnInitDialog() override;

    // Draws the logo into dc (in the sheet's client coordinates).
    void DrawLogo(CDC* dc);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    CFont logoFont_;
    std::string logoText_;
};

} // namespace glimra
