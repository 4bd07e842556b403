// The base of most pages: a caption, a form of labelled controls and a binder that moves every
// control's value to and from its property.
#pragma once

#include <QFormLayout>

#include "design/DesignContract.h"
#include "pages/PropertyBinder.h"

namespace zr::pages {

class TBoundPage : public quillate::TPropertyPage {
    Q_OBJECT
public:
    TBoundPage(QWidget* owner, QString caption);

    QString PageName() const override { return FCaption; }
    void ReadActionData(const quillate::TZRAction& action) override;
    void WriteActionData(quillate::TZRAction& action) override;

protected:
    TPropertyBinder& Binder() { return FBinder; }
    // The page's layout: one row per field, in tab order.
    QFormLayout* Form() { return FForm; }

private:
    QString FCaption;
    TPropertyBinder FBinder;
    QFormLayout* FForm;
};

} // namespace zr::pages
