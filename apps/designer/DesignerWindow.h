// The designer's main window: the action palette, the project's tree of actions, the property
// inspector of the selected action, the project's variables, the problems found in the project and
// the run log.
#pragma once

#include <QMainWindow>
#include <QStringList>

#include <memory>

#include "host/Project.h"

class QListWidget;
class QTabWidget;
class QTreeWidget;
class QTreeWidgetItem;

namespace quillate::designer {

class TPropertyInspector;
class TRunPanel;
class TVariablesPanel;

class TDesignerWindow : public QMainWindow {
    Q_OBJECT
public:
    // `optionsFile` is the store the options dialog edits and runs use; empty for the default one.
    explicit TDesignerWindow(QString optionsFile = {}, QWidget* parent = nullptr);
    ~TDesignerWindow() override;

    // False with the reason in `error` when the file cannot be loaded; the open project stays.
    bool OpenProject(const QString& path, QString* error = nullptr);
    // Lists the problems (saving goes on whatever they are), then writes the file. False with the
    // reason when it cannot be written.
    bool SaveProject(const QString& path, QString* error = nullptr);
    void NewProject();

    TProject& Project() { return *FProject; }
    const QString& FileName() const { return FFileName; }
    // The selected action, or nullptr.
    TZRAction* SelectedAction() const;
    void SelectAction(const TZRAction* action);
    // Adds an action of the class after the selected one (at the end when none is selected), or as the
    // last child action of the selected one; it becomes the selection.
    TZRAction* AddAction(const TMetaClass& cls, bool asChild = false);
    void RemoveSelected();
    void MoveSelected(int delta);
    // Re-reads the tree after an action changed.
    void Refresh();

    QTreeWidget* Palette() const { return FPalette; }
    QTreeWidget* Tree() const { return FTree; }
    QStringList Problems() const;
    // Every action's Validate messages, then the variables used but not defined and those declared
    // but not used, as warnings. Kept up to date as the project is edited.
    void UpdateProblems();
    QListWidget* ProblemsList() const { return FProblems; }
    // The run log and the problems, as tabs below the tree.
    QTabWidget* BottomTabs() const { return FBottom; }
    TRunPanel* RunPanel() const { return FRun; }
    TPropertyInspector* Inspector() const { return FInspector; }
    TVariablesPanel* VariablesPanel() const { return FVariables; }
    // Opens the find and replace dialog on the project.
    void FindReplace();
    // Saves the project to its file when it has one, then runs it; false when there is nothing to run.
    bool RunProject();

private:
    void BuildPalette();
    void BuildActions();
    void AddTreeItems(QTreeWidgetItem* parent, const std::vector<std::shared_ptr<TZRAction>>& actions);
    void EditSelected();
    void EditOptions();
    void OpenWithDialog();
    bool SaveWithDialog(bool askName);
    void AddFromPalette(bool asChild);
    void SetModified(bool modified);
    void UpdateTitle();
    // After any edit of the project: marked modified, its problems and variables read again.
    void ProjectEdited();
    // The tree's texts and the inspector read again after texts changed outside them.
    void TextsChanged();
    void ShowInInspector();

    std::unique_ptr<TProject> FProject;
    QString FFileName;
    QString FOptionsFile;
    bool FModified = false;
    QTreeWidget* FPalette;
    QTreeWidget* FTree;
    QListWidget* FProblems;
    QTabWidget* FBottom;
    TRunPanel* FRun;
    TPropertyInspector* FInspector;
    TVariablesPanel* FVariables;
};

} // namespace quillate::designer
