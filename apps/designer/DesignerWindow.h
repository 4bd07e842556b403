// The designer's main window: the action palette, the project's tree of actions, the problems found
// before saving and the run log.
#pragma once

#include <QMainWindow>
#include <QStringList>

#include <memory>

#include "host/Project.h"

class QListWidget;
class QTreeWidget;
class QTreeWidgetItem;

namespace quillate::designer {

class TRunPanel;

class TDesignerWindow : public QMainWindow {
    Q_OBJECT
public:
    // `optionsFile` is the store the options dialog edits and runs use; empty for the default one.
    explicit TDesignerWindow(QString optionsFile = {}, QWidget* parent = nullptr);
    ~TDesignerWindow() override;

    // False with the reason in `error` when the file cannot be loaded; the open project stays.
    bool OpenProject(const QString& path, QString* error = nullptr);
    // Runs every action's Validate (its messages go to the problems list; saving goes on), then
    // writes the file. False with the reason when it cannot be written.
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
    TRunPanel* RunPanel() const { return FRun; }
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

    std::unique_ptr<TProject> FProject;
    QString FFileName;
    QString FOptionsFile;
    bool FModified = false;
    QTreeWidget* FPalette;
    QTreeWidget* FTree;
    QListWidget* FProblems;
    TRunPanel* FRun;
};

} // namespace quillate::designer
