// Bindings that the plain property binder does not offer: numbers that must survive a control's
// range, and passwords kept in their encrypted property.
#pragma once

#include "pages/PropertyBinder.h"

#include <QLineEdit>
#include <QSpinBox>
#include <string>

namespace zr::pages {

// An integer property in a spin box. A stored value outside the box's range shows at the nearest
// end and is written back unchanged unless the user moved the box, so opening and closing a page
// never changes what the project holds.
void BindNumber(TPropertyBinder& binder, QSpinBox* spin, std::string property);

// A password shown in clear and kept in its encrypted property, under the key the property table
// names. Every encryption of a text differs, so an untouched password is written back exactly as
// it was stored; one that cannot be decrypted shows empty and is kept unless the user types another.
void BindPassword(TPropertyBinder& binder, QLineEdit* edit, std::string storedProperty);

} // namespace zr::pages
