#include "PropertyDialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QTabWidget>
#include <QVBoxLayout>

#include "PropertyForm.h"
#include "host/Action.h"
#include "host/Registration.h"

namespace quillate::designer {

namespace {

TStringList RegisteredPages(const TMetaClass& cls) {
    for (const auto& registration : ActionService().PropertyPages())
        if (registration.Class == &cls)
            return registration.Pages;
    return {};
}

} // namespace

TPropertyDialog::TPropertyDialog(TZRAction& action, const IDesignProject& project, QWidget* parent)
    : QDialog(parent), FAction(action), FTabs(new QTabWidget(this)), FHint(new QLabel(this)) {
    setWindowTitle(QString::fromStdString(action.GetActionName()));
    // A page class that no loaded library provides is left out; when none can be made, the action's
    // property table stands in for its pages.
    for (const auto& name : RegisteredPages(action.GetClass()))
        if (TPropertyPage* page = DesignClasses().CreatePage(name, FTabs))
            FPages.push_back(page);
    if (FPages.empty()) {
        TStringList hidden;
        action.GetHiddenProperties(hidden);
        FPages.push_back(new TGenericPropertyPage(tr("Properties"),
                                                  TPropertyForm::EditableProperties(action.Properties(), hidden), FTabs));
    }
    for (TPropertyPage* page : FPages) {
        page->DoInitPage(action, project);
        page->ReadActionData(action);
        FTabs->addTab(page, page->PageName());
    }
    FTabs->addTab(MakeHostSettings(), tr("Action"));

    FHint->setWordWrap(true);
    connect(FTabs, &QTabWidget::currentChanged, this, &TPropertyDialog::ShowHint);
    ShowHint();
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &TPropertyDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &TPropertyDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(FTabs);
    layout->addWidget(FHint);
    layout->addWidget(buttons);
    resize(560, 480);
}

QWidget* TPropertyDialog::MakeHostSettings() {
    auto* page = new QWidget(FTabs);
    auto* form = new QFormLayout(page);
    FDescription = new QLineEdit(QString::fromStdString(FAction.Description()), page);
    FEnabled = new QCheckBox(tr("Enabled"), page);
    FEnabled->setChecked(FAction.Enabled());
    FIgnoreFailure = new QCheckBox(tr("Ignore failure (the project goes on when this action fails)"), page);
    FIgnoreFailure->setChecked(FAction.IgnoreFailure());
    form->addRow(tr("Description"), FDescription);
    form->addRow(QString(), FEnabled);
    form->addRow(QString(), FIgnoreFailure);
    return page;
}

void TPropertyDialog::ShowHint() {
    auto* page = qobject_cast<TPropertyPage*>(FTabs->currentWidget());
    QString hint = page ? page->GetHint() : QString();
    FHint->setText(hint);
    FHint->setVisible(!hint.isEmpty());
}

bool TPropertyDialog::Apply() {
    for (TPropertyPage* page : FPages)
        if (!page->Validate()) {
            FTabs->setCurrentWidget(page);
            return false;
        }
    for (TPropertyPage* page : FPages)
        page->WriteActionData(FAction);
    FAction.SetDescription(FDescription->text().toStdString());
    FAction.SetEnabled(FEnabled->isChecked());
    FAction.SetIgnoreFailure(FIgnoreFailure->isChecked());
    return true;
}

void TPropertyDialog::accept() {
    if (Apply())
        QDialog::accept();
}

} // namespace quillate::designer
