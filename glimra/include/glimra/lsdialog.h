#pragma once
// CLSDialog: the modal dialog in which a user configures a light-source
// module. Mode 0 asks whether the component is used and which of its parts
// are on (halogen lamp, deuterium lamp, shutter); mode 1 only whether its
// flash is enabled. The client fills values and permissions, shows it and
// reads the values back after OK; the dialog talks to no hardware.

#include "glimra/export.h"
#include "glimra/types.h"

#include <QDialog>

class QCheckBox;

namespace glimra {

class GLIMRA_EXPORT CLSDialog : public QDialog {
    Q_OBJECT

public:
    static constexpr UINT ComponentTemplate = 10002;
    static constexpr UINT FlashTemplate = 10055;
    static constexpr int UseId = 10011;
    static constexpr int LampsId = 10012;
    static constexpr int HalogenId = 10013;
    static constexpr int DeuteriumId = 10014;
    static constexpr int ShutterId = 10015;
    static constexpr int FlashId = 10021;

    explicit CLSDialog(QWidget* parent = nullptr);
    ~CLSDialog() override;

    BOOL SetMode(int mode);
    int mode() const { return mode_; }
    UINT templateId() const { return template_; }
    void SetLamps(int halogen, int deuterium, int shutter);
    void GetLamps(int* halogen, int* deuterium, int* shutter) const;
    void EnableLamps(BOOL halogen, BOOL deuterium, BOOL shutter);
    void SetUseComponent(int use) { useComponent_ = use; }
    int GetUseComponent() const { return useComponent_; }
    void HideUseCheck() { showUseCheck_ = FALSE; }
    void SetFlash(int flash) { flash_ = flash; }
    int GetFlash() const { return flash_; }
    void EnableFlash(BOOL enable) { flashMayChange_ = enable; }

    // Builds the template's controls and runs OnInitDialog; DoModal shows
    // the result, OnOK copies the checks back and closes.
    BOOL Create();
    int DoModal();
    virtual BOOL OnInitDialog();
    void OnUseComponent();
    void OnOK();

    void accept() override { OnOK(); }

private:
    // Into the controls (save FALSE) or back from them (save TRUE).
    void DoDataExchange(bool save);
    QCheckBox* check(int id) const;

    int halogen_ = 0;
    int deuterium_ = 0;
    int shutter_ = 0;
    int useComponent_ = 1;
    QCheckBox* useCheck_ = nullptr;
    int flash_ = 0;
    BOOL showUseCheck_ = TRUE;
    BOOL halogenMayChange_ = TRUE;
    BOOL deuteriumMayChange_ = TRUE;
    BOOL shutterMayChange_ = TRUE;
    // Not set by the original constructor; a flash check that may change
    // unless the client says otherwise.
    BOOL flashMayChange_ = TRUE;
    int mode_ = 0;
    UINT template_ = ComponentTemplate;
    bool created_ = false;
};

} // namespace glimra
