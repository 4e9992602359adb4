#pragma once
// The information dialog "Hardware Configuration": CMeinDialog works out the
// tree of every open interface and the texts of the selected item through the
// library's own exports; a presenter shows it. ShowInformationDialog runs it
// modally on the caller's thread, which holds the DeviceLock (the dialog's
// calls take the recursive locks again).
//
// Presenters: one installed by setInformationDialogPresenter (tests); else,
// when the process has loaded Qt Widgets, the Qt presenter of
// libtarvik_ui.so (beside the library, else in ../lib, else found by the
// loader), which shows the dialog when a widget application runs on the
// calling thread; else the console presenter, which writes the dialog to
// standard error as the library's message boxes do.

#include "core/information_dialog_model.h"
#include "tarvik.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tarvik {

struct DeviceSlot;

class CMeinDialog : public info::Model {
public:
    CMeinDialog();

    // Builds the tree of the interfaces 1..15 whose slots exist, selecting
    // each interface item in turn; the error box stays off meanwhile.
    void OnInitDialog();
    // The selection handler for the item with parameter p.
    void OnTreeSelChanged(int32_t p);

    const std::vector<info::TreeItem>& tree() const override { return tree_; }
    const info::Fields& fields() const override { return fields_; }
    int32_t selection() const override { return selection_; }
    void select(int32_t parameter) override { OnTreeSelChanged(parameter); }

    int32_t selectedChannel() const { return selectedChannel_; }

private:
    void addInterface(int32_t id, HWConfigurationEx2Record& record);
    void interfaceLines(int32_t id);
    void frontEndLines(int32_t id);
    void muxLines(int32_t id);
    void moduleLines(int32_t id, int32_t position);
    void channelLines(int32_t id);
    void versionFields(int32_t id);
    void libraryVersionField();

    std::vector<info::TreeItem> tree_;
    info::Fields fields_;
    std::array<std::string, 8> lines_;
    int32_t selection_ = 0;
    int32_t selectedChannel_ = 1;
    SensorParamsEx2Record sensor_{};
};

// The tree of one interface from its hardware configuration record and its
// slot; channelSensorType(c) gives the sensor type of channel c. A channel
// count beyond the record's 16 entries is capped.
info::TreeItem BuildInterfaceItem(int32_t id, const HWConfigurationEx2Record& record,
                                  const DeviceSlot& slot,
                                  const std::function<uint16_t(int32_t)>& channelSensorType);

class InformationDialogPresenter {
public:
    virtual ~InformationDialogPresenter() = default;
    // Shows the dialog and returns when the user has closed it.
    virtual void run(info::Model& model) = 0;
};

// Writes the dialog as it opens: the tree, then the texts of the selection.
class ConsoleDialogPresenter : public InformationDialogPresenter {
public:
    explicit ConsoleDialogPresenter(std::FILE* out = stderr) : out_(out) {}
    void run(info::Model& model) override;

private:
    std::FILE* out_;
};

// Installs the presenter for every later dialog (null: the choice above);
// returns the one installed before.
std::shared_ptr<InformationDialogPresenter>
setInformationDialogPresenter(std::shared_ptr<InformationDialogPresenter> presenter);

// The dialog as text, as the console presenter writes it.
std::string describeInformationDialog(const info::Model& model);

// Creates the dialog, runs it modally and deletes it; 0. Neither argument
// changes what the dialog shows. The caller holds the DeviceLock.
int32_t ShowInformationDialog(uint32_t parent, uint8_t flag);

} // namespace tarvik
