#include "OptionsDialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QMessageBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include "PropertyForm.h"
#include "host/Options.h"

namespace quillate::designer {

namespace {

TStringList RegisteredOptionPages(const TMetaClass& cls) {
    for (const auto& registration : OptionsService().OptionPages())
        if (registration.Class == &cls)
            return registration.Pages;
    return {};
}

} // namespace

TOptionsDialog::TOptionsDialog(QWidget* parent) : QDialog(parent), FTabs(new QTabWidget(this)) {
    setWindowTitle(tr("Options"));
    for (const auto& registration : OptionsService().Options()) {
        std::shared_ptr<TZROptionsObject> options;
        try {
            options = OptionsService().GetOptions(*registration.Class);
        } catch (const std::exception& e) {
            // A damaged store entry (a password that does not decrypt) keeps that object's pages out.
            FTabs->addTab(new QLabel(QString::fromStdString(e.what()), FTabs),
                          QString::fromStdString(registration.Class->ClassName()));
            continue;
        }
        std::vector<TOptionPage*> pages;
        for (const auto& name : RegisteredOptionPages(*registration.Class))
            if (TOptionPage* page = DesignClasses().CreateOptionPage(name, FTabs))
                pages.push_back(page);
        if (pages.empty())
            pages.push_back(new TGenericOptionPage(*registration.Class, FTabs));
        for (TOptionPage* page : pages) {
            page->ReadOptions(*options);
            FTabs->addTab(page, page->GetPageName());
            FPages.push_back({page, options});
        }
    }
    connect(FTabs, &QTabWidget::currentChanged, this, [this](int) {
        if (auto* page = qobject_cast<TOptionPage*>(FTabs->currentWidget()))
            page->OnPageActivate();
    });
    if (auto* first = qobject_cast<TOptionPage*>(FTabs->currentWidget()))
        first->OnPageActivate();
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &TOptionsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &TOptionsDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(FTabs);
    layout->addWidget(buttons);
    resize(520, 420);
}

void TOptionsDialog::Apply() {
    for (const auto& entry : FPages)
        entry.Page->WriteOptions(*entry.Options);
    OptionsService().SaveAll();
}

void TOptionsDialog::accept() {
    try {
        Apply();
    } catch (const std::exception& e) {
        QMessageBox::warning(this, windowTitle(), QString::fromStdString(e.what()));
        return;
    }
    QDialog::accept();
}

} // namespace quillate::designer
