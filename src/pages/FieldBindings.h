// Bindings the plain property binder does not cover: memos over a text or a string list, fields that only some actions have, and the number
// boxes and lists the pages share.
#pragma once

#include "host/Persistent.h"
#include "pages/PropertyBinder.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSpinBox>
#include <QStringList>
#include <climits>
#include <string>
#include <vector>

namespace zr::pages {

// A memo over the first of `candidates` the object has, a string or a string list. A memo left as
// it was read writes back the value it was read from, so line ends and a trailing empty line
// survive an unchanged page. With none of the candidates, `row` is hidden and nothing is written.
void BindMemo(TPropertyBinder& binder, QPlainTextEdit* memo, std::vector<std::string> candidates,
              std::vector<QWidget*> row = {});

// `inner`'s bindings only for objects that have `property`; for others `row` is hidden.
void BindIfPresent(TPropertyBinder& binder, const std::string& property, TPropertyBinder inner,
                   std::vector<QWidget*> row);

// A spin box over [minimum, maximum]: the range must hold every value the property can store.
QSpinBox* NewSpin(int minimum = INT_MIN, int maximum = INT_MAX);
inline QSpinBox* NewPortSpin() {
    return NewSpin(0, 65535);
}

// An editable list: the choices are offered, any other stored text (an expression) is kept.
QComboBox* NewEditableCombo(const QStringList& choices);
// A fixed list whose item index is the stored value.
QComboBox* NewChoiceCombo(const QStringList& choices);
// Replaces a list's entries and keeps the text it shows.
void Refill(QComboBox* combo, const quillate::TStringList& entries);

} // namespace zr::pages
