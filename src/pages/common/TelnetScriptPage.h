// The Telnet action's script page and the dialog that edits one of its steps.
#pragma once

#include "design/DesignContract.h"
#include "pages/common/ItemDialog.h"
#include "pages/common/ScriptGrid.h"

namespace zr::pages {

class TTelnetScriptEditor : public TItemDialog {
    Q_OBJECT
public:
    explicit TTelnetScriptEditor(QWidget* parent);
};

class TZRTelnetScrptFrame : public quillate::TPropertyPage {
    Q_OBJECT
public:
    explicit TZRTelnetScrptFrame(QWidget* owner);

    QString PageName() const override { return "Script"; }
    void ReadActionData(const quillate::TZRAction& action) override;
    void WriteActionData(quillate::TZRAction& action) override;

    TScriptGrid* Grid() const { return FGrid; }

private:
    TScriptGrid* FGrid;
};

void RegisterTelnetScriptPage();

} // namespace zr::pages
