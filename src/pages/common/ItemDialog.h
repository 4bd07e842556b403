// A dialog that edits one stored object (a script step) through a form of bound fields. Load and
// Save move the values without running the dialog, so the same form serves the user and tests.
#pragma once

#include "host/Serialization.h"
#include "pages/PropertyBinder.h"
#include "pages/common/FormBuilder.h"

#include <QDialog>
#include <QFormLayout>

namespace zr::pages {

class TItemDialog : public QDialog {
    Q_OBJECT
public:
    TItemDialog(QWidget* parent, const QString& title);

    void Load(const quillate::TSerializableObject& item) { FBinder.Read(item); }
    void Save(quillate::TSerializableObject& item) const { FBinder.Write(item); }
    // Loads the item, runs the dialog and saves it when the user accepts.
    bool Edit(quillate::TSerializableObject& item);

protected:
    TFormBuilder& Fields() { return FBuilder; }
    // Adds the OK and Cancel buttons and the tab order; call at the end of the subclass's constructor.
    void Finish();

private:
    TPropertyBinder FBinder;
    QFormLayout* FForm;
    TFormBuilder FBuilder;
};

} // namespace zr::pages
