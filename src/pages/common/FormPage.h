// A property page built with a form builder, whose fields may also bind to one of the action's
// stored child objects (a mirror's retry options, say).
#pragma once

#include "host/Serialization.h"
#include "pages/BoundPage.h"
#include "pages/common/FormBuilder.h"

#include <list>
#include <string>
#include <utility>

namespace zr::pages {

class TFormPage : public TBoundPage {
    Q_OBJECT
public:
    TFormPage(QWidget* owner, QString caption);

    void ReadActionData(const quillate::TZRAction& action) override;
    void WriteActionData(quillate::TZRAction& action) override;

protected:
    TFormBuilder& Fields() { return FBuilder; }
    // The fields added from now on move the properties of the action's child of this class.
    void BindToChild(const std::string& className);
    void BindToAction() { FBuilder.BindTo(&Binder()); }

private:
    TFormBuilder FBuilder;
    std::list<std::pair<std::string, TPropertyBinder>> FChildBinders;
};

// The stored child of this class (or of a class derived from it); throws std::logic_error when the
// object has none, which means a page was registered for the wrong action.
quillate::TSerializableObject& ChildOfClass(const quillate::TSerializableObject& owner,
                                            const std::string& className);

} // namespace zr::pages
