#include "pages/BoundPage.h"

#include "host/Action.h"

namespace zr::pages {

TBoundPage::TBoundPage(QWidget* owner, QString caption)
    : quillate::TPropertyPage(owner), FCaption(std::move(caption)), FForm(new QFormLayout(this)) {}

void TBoundPage::ReadActionData(const quillate::TZRAction& action) { FBinder.Read(action); }

void TBoundPage::WriteActionData(quillate::TZRAction& action) { FBinder.Write(action); }

} // namespace zr::pages
