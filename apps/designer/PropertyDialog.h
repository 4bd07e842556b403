// The property dialog of one action: a tab per registered page (or one generic form), then the
// settings the host keeps with every action.
#pragma once

#include <QDialog>

#include <vector>

#include "design/DesignContract.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QTabWidget;

namespace quillate::designer {

class TPropertyDialog : public QDialog {
    Q_OBJECT
public:
    TPropertyDialog(TZRAction& action, const IDesignProject& project, QWidget* parent = nullptr);

    QTabWidget* Tabs() const { return FTabs; }
    // The action's pages in tab order; the host settings tab follows them.
    const std::vector<TPropertyPage*>& Pages() const { return FPages; }
    // What OK does: every page validates and, when all pass, every page writes its values back, then
    // the host settings. False when a page refused (it has shown why).
    bool Apply();

    void accept() override;

private:
    QWidget* MakeHostSettings();
    void ShowHint();

    TZRAction& FAction;
    QTabWidget* FTabs;
    QLabel* FHint;
    std::vector<TPropertyPage*> FPages;
    QLineEdit* FDescription = nullptr;
    QCheckBox* FEnabled = nullptr;
    QCheckBox* FIgnoreFailure = nullptr;
};

} // namespace quillate::designer
