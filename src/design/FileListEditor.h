// The host's editor of a list of file paths (attachments, ...): a dialog in which the user adds
// files through a file dialog, edits or removes lines, and accepts or cancels.
#pragma once

#include "host/Persistent.h"

#include <QDialog>
#include <QListWidget>
#include <QString>

namespace quillate {

class TFileListEditor : public QDialog {
    Q_OBJECT
public:
    TFileListEditor(QWidget* parent, const QString& title);

    void SetFiles(const TStringList& files);
    TStringList Files() const;
    // Appends paths as lines of their own (what the add button does with the chosen files).
    void AddFiles(const QStringList& paths);

private:
    QListWidget* FList;
};

// Opens the editor on `files`; true (and `files` replaced) when the user accepted.
bool EditFileList(QWidget* parent, const QString& title, TStringList& files);

} // namespace quillate
