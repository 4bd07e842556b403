#include "pages/common/FormPage.h"

#include "host/Action.h"

#include <stdexcept>

namespace zr::pages {

quillate::TSerializableObject& ChildOfClass(const quillate::TSerializableObject& owner,
                                            const std::string& className) {
    quillate::TSerializableList children;
    owner.GetChildren(children);
    for (const auto& child : children)
        if (child && child->GetClass().InheritsFrom(className))
            return *child;
    throw std::logic_error(owner.ClassName() + " has no child of class " + className);
}

TFormPage::TFormPage(QWidget* owner, QString caption)
    : TBoundPage(owner, std::move(caption)), FBuilder(Form(), &Binder()) {}

void TFormPage::BindToChild(const std::string& className) {
    FChildBinders.emplace_back(className, TPropertyBinder{});
    FBuilder.BindTo(&FChildBinders.back().second);
}

void TFormPage::ReadActionData(const quillate::TZRAction& action) {
    TBoundPage::ReadActionData(action);
    for (const auto& [className, binder] : FChildBinders)
        binder.Read(ChildOfClass(action, className));
}

void TFormPage::WriteActionData(quillate::TZRAction& action) {
    TBoundPage::WriteActionData(action);
    for (const auto& [className, binder] : FChildBinders)
        binder.Write(ChildOfClass(action, className));
}

} // namespace zr::pages
