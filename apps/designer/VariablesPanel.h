// The project's variables and where each is used: declared ones with their values, then the names
// the actions use without a declaration. Adds, removes and renames variables; a rename rewrites every
// reference in every action.
#pragma once

#include <QWidget>
#include <string>

class QLabel;
class QTreeWidget;
class QTreeWidgetItem;

namespace quillate {
class TProject;
class TZRAction;
} // namespace quillate

namespace quillate::designer {

class TVariablesPanel : public QWidget {
    Q_OBJECT
public:
    explicit TVariablesPanel(QWidget* parent = nullptr);

    // The project whose variables are shown; nullptr shows none.
    void SetProject(TProject* project);
    // Reads the variables and their uses again, keeping the selection.
    void Refresh();

    QTreeWidget* Tree() const { return FTree; }
    // The top-level row of a variable; nullptr when it is not listed.
    QTreeWidgetItem* ItemOf(const QString& name) const;
    // The variable of the selected row (or of the use selected under it); empty when none.
    QString SelectedVariable() const;
    void SelectVariable(const QString& name);
    // What the last add or rename did, or why it was refused.
    QString StatusText() const;

    // What the buttons do once their dialog was answered; false with the reason shown when refused.
    bool AddVariable(const QString& name, const QString& value);
    bool RenameVariable(const QString& oldName, const QString& newName);
    void RemoveVariable(const QString& name);

signals:
    // The project's variables or texts changed.
    void ProjectChanged();
    void ShowAction(const quillate::TZRAction* action);
    void FindReplaceRequested();

private:
    void AskAdd();
    void AskRename();
    void ValueEdited(QTreeWidgetItem* item, int column);
    void Report(const QString& text, bool error);

    TProject* FProject = nullptr;
    QTreeWidget* FTree;
    QLabel* FStatus;
    bool FReading = false;
};

} // namespace quillate::designer
