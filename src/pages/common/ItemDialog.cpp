#include "pages/common/ItemDialog.h"

#include <QDialogButtonBox>

namespace zr::pages {

TItemDialog::TItemDialog(QWidget* parent, const QString& title)
    : QDialog(parent), FForm(new QFormLayout(this)), FBuilder(FForm, &FBinder) {
    setWindowTitle(title);
}

void TItemDialog::Finish() {
    FBuilder.FinishTabOrder();
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    FForm->addRow(buttons);
}

bool TItemDialog::Edit(quillate::TSerializableObject& item) {
    Load(item);
    if (exec() != QDialog::Accepted)
        return false;
    Save(item);
    return true;
}

} // namespace zr::pages
