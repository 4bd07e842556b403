#include "design/FileListEditor.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

namespace quillate {

TFileListEditor::TFileListEditor(QWidget* parent, const QString& title)
    : QDialog(parent), FList(new QListWidget) {
    setWindowTitle(title);
    auto* add = new QPushButton("Add...");
    auto* remove = new QPushButton("Remove");
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    auto* side = new QVBoxLayout;
    side->addWidget(add);
    side->addWidget(remove);
    side->addStretch();
    auto* body = new QHBoxLayout;
    body->addWidget(FList);
    body->addLayout(side);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(body);
    layout->addWidget(buttons);

    connect(add, &QPushButton::clicked, this,
            [this] { AddFiles(QFileDialog::getOpenFileNames(this, windowTitle())); });
    connect(remove, &QPushButton::clicked, this, [this] { delete FList->currentItem(); });
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void TFileListEditor::SetFiles(const TStringList& files) {
    FList->clear();
    for (const auto& file : files)
        AddFiles({QString::fromStdString(file)});
}

TStringList TFileListEditor::Files() const {
    TStringList files;
    for (int i = 0; i < FList->count(); ++i)
        files.push_back(FList->item(i)->text().toStdString());
    return files;
}

void TFileListEditor::AddFiles(const QStringList& paths) {
    for (const auto& path : paths) {
        auto* item = new QListWidgetItem(path, FList);
        item->setFlags(item->flags() | Qt::ItemIsEditable);
    }
}

bool EditFileList(QWidget* parent, const QString& title, TStringList& files) {
    TFileListEditor editor(parent, title);
    editor.SetFiles(files);
    if (editor.exec() != QDialog::Accepted)
        return false;
    files = editor.Files();
    return true;
}

} // namespace quillate
