// The FTP script action's script page and the dialog that edits one step; its connection pages
// are the shared server, options and proxy pages.
#pragma once

#include "pages/common/ItemDialog.h"
#include "pages/common/ScriptGrid.h"

namespace zr::pages {

// Edits one step: the fields its class has, among remote file, local file, directory, new name,
// file spec, variable and its switches.
class TFTPItemEditForm : public TItemDialog {
    Q_OBJECT
public:
    TFTPItemEditForm(QWidget* parent, const quillate::TSerializableObject& item);
};

class TFTPScriptFrame : public TScriptPage {
    Q_OBJECT
public:
    explicit TFTPScriptFrame(QWidget* owner);
};

// The kind a step is shown as ("Upload File"), and its description ("From : a : To : b").
QString FTPStepKind(const quillate::TSerializableObject& item);
QString FTPStepDescription(const quillate::TSerializableObject& item);

void RegisterFTPScriptPages();

} // namespace zr::pages
