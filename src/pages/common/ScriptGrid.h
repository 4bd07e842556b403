// The grid of a script action's steps, with buttons to add a step of each kind, edit, delete and
// move steps. The grid works on copies: the action's children change only when the page writes.
#pragma once

#include "design/DesignContract.h"
#include "host/Serialization.h"

#include <QPushButton>
#include <QTableWidget>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

namespace zr::pages {

class TScriptGrid : public QWidget {
    Q_OBJECT
public:
    struct TKind {
        QString Caption;
        std::string StoredType;
    };
    // The texts of a step's cells, before its "Enabled" cell.
    using TCells = std::function<QStringList(const quillate::TSerializableObject& item)>;
    // Edits a step in place; false when the user cancelled.
    using TEditor = std::function<bool(QWidget* parent, quillate::TSerializableObject& item)>;

    // columns: the headers before "Enabled"; itemClass: the class every step derives from.
    TScriptGrid(QWidget* parent, const QStringList& columns, std::vector<TKind> kinds, std::string itemClass,
                TCells cells, TEditor editor);

    void Read(const quillate::TSerializableObject& owner);
    void Write(quillate::TSerializableObject& owner) const;

    // The operations behind the buttons. Add and Edit open the editor; a step is added or changed
    // only when it accepts.
    bool AddItem(std::size_t kind);
    bool EditItem(int row);
    void DeleteItem(int row);
    // Moves the step one row up (delta -1) or down (+1); the moved step stays selected.
    void MoveItem(int row, int delta);

    const quillate::TSerializableList& Items() const { return FItems; }
    QTableWidget* Table() const { return FTable; }
    // Tests hand in an editor that fills the real dialog without running it.
    void SetEditor(TEditor editor) { FEditor = std::move(editor); }

private:
    void Refresh();
    int SelectedRow() const;

    std::vector<TKind> FKinds;
    std::string FItemClass;
    TCells FCells;
    TEditor FEditor;
    quillate::TSerializableList FItems;
    QTableWidget* FTable;
};

// The "Script" page of a script action: its grid of steps, read from and written to the action.
class TScriptPage : public quillate::TPropertyPage {
    Q_OBJECT
public:
    TScriptPage(QWidget* owner, const QStringList& columns, std::vector<TScriptGrid::TKind> kinds,
                std::string itemClass, TScriptGrid::TCells cells, TScriptGrid::TEditor editor);

    QString PageName() const override { return "Script"; }
    void ReadActionData(const quillate::TZRAction& action) override;
    void WriteActionData(quillate::TZRAction& action) override;

    TScriptGrid* Grid() const { return FGrid; }

private:
    TScriptGrid* FGrid;
};

// A copy of the object: a new object of its class given every property of this one.
std::shared_ptr<quillate::TSerializableObject> CopyObject(const quillate::TSerializableObject& object);

// "Yes" or "No", as script grids show a step's switch.
QString YesNo(bool value);

} // namespace zr::pages
