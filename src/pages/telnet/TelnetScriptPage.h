// The Telnet action's script page and the dialog that edits one of its steps.
#pragma once

#include "pages/common/ItemDialog.h"
#include "pages/common/ScriptGrid.h"

namespace zr::pages {

class TTelnetScriptEditor : public TItemDialog {
    Q_OBJECT
public:
    explicit TTelnetScriptEditor(QWidget* parent);
};

class TZRTelnetScrptFrame : public TScriptPage {
    Q_OBJECT
public:
    explicit TZRTelnetScrptFrame(QWidget* owner);
};


} // namespace zr::pages
