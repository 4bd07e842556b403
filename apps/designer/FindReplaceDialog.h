// Find and replace across the texts of every action of the project: its descriptions, its stored
// text properties and those of their children, and what the actions' own hooks offer (the e-mail
// action's list entries). Stored passwords are never searched.
#pragma once

#include <QDialog>

class QCheckBox;
class QLabel;
class QLineEdit;
class QTreeWidget;

namespace quillate {
class TProject;
class TZRAction;
} // namespace quillate

namespace quillate::designer {

class TFindReplaceDialog : public QDialog {
    Q_OBJECT
public:
    TFindReplaceDialog(TProject& project, QWidget* parent = nullptr);

    QLineEdit* FindEdit() const { return FFind; }
    QLineEdit* ReplaceEdit() const { return FReplace; }
    QCheckBox* MatchCase() const { return FMatchCase; }
    // One row per text that holds what is sought: the action, the text's label and the text.
    QTreeWidget* Results() const { return FResults; }

    // What the buttons do: list the matches; replace them all, then list what is left.
    void FindAll();
    int ReplaceAll();

signals:
    void Replaced(int count);
    void ShowAction(const quillate::TZRAction* action);

private:
    TProject& FProject;
    QLineEdit* FFind;
    QLineEdit* FReplace;
    QCheckBox* FMatchCase;
    QTreeWidget* FResults;
    QLabel* FStatus;
};

} // namespace quillate::designer
