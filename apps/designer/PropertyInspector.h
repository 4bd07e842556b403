// The property inspector: every property of the selected action that the user may see, grouped as
// the action groups them, edited in place (text, check box, spin box, a list of choices) or through
// the property editor registered for it. Edits go through the property table, as the pages' do.
#pragma once

#include "design/DesignContract.h"
#include "host/Serialization.h"

#include <QString>
#include <QWidget>
#include <memory>
#include <string>
#include <vector>

class QLabel;
class QTreeWidget;
class QTreeWidgetItem;

namespace quillate::designer {

class TPropertyInspector : public QWidget {
    Q_OBJECT
public:
    explicit TPropertyInspector(QWidget* parent = nullptr);
    ~TPropertyInspector() override;

    // Shows the action's properties (none for nullptr); the project's variable names are offered for
    // the properties that name a variable.
    void SetAction(TZRAction* action, const IDesignProject* project = nullptr);
    TZRAction* Action() const { return FAction; }
    // Reads every shown value again, after the action was changed elsewhere (its pages, a rename).
    void ReadValues();

    QTreeWidget* Tree() const { return FTree; }
    // The row of a property by its name; a child object's property as "From.Address". nullptr when
    // it is not shown.
    QTreeWidgetItem* ItemOf(const std::string& path) const;
    // Starts editing a row as a double-click on its value does: an inline editor, or the row's dialog.
    void EditRow(QTreeWidgetItem* item);
    // Why the last edit was refused; empty when it was taken.
    QString LastError() const;

signals:
    // A property of the action was changed through the inspector.
    void Changed(quillate::TZRAction* action);

private:
    friend class TInspectorDelegate;
    struct TRow;

    void Build();
    void AddRows(QTreeWidgetItem* parent, const std::vector<std::size_t>& rows);
    void ShowValue(TRow& row);
    QWidget* CreateEditor(std::size_t row, QWidget* parent);
    void SetEditorData(std::size_t row, QWidget* editor) const;
    void Commit(std::size_t row, QWidget* editor);
    void Apply(TRow& row, const TPropertyValue& value);
    void OpenDialog(std::size_t row);
    void CheckChanged(QTreeWidgetItem* item, int column);
    void Edited();

    TZRAction* FAction = nullptr;
    TStringList FVariableNames;
    std::vector<std::unique_ptr<TRow>> FRows;
    QLabel* FTitle;
    QTreeWidget* FTree;
    QLabel* FError;
    bool FReading = false;
};

} // namespace quillate::designer
