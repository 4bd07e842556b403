// Moves values between a page's controls and an object's published properties, by property name,
// through the same property tables that project files and the command line use. A page declares
// each control once; reading and writing the whole page is then one call each.
#pragma once

#include <QAbstractButton>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSpinBox>

#include <functional>
#include <string>
#include <vector>

#include "host/Persistent.h"

namespace zr::pages {

class TPropertyBinder {
public:
    // A string, variable-name or number property shown as text.
    void Text(QLineEdit* edit, std::string property);
    // The editable text of a combo box (a connection or variable name).
    void ComboText(QComboBox* combo, std::string property);
    void Check(QAbstractButton* box, std::string property);
    // The check box shows the opposite of the Boolean property.
    void CheckInverted(QAbstractButton* box, std::string property);
    // An integer in a spin box. A stored value outside the box's range shows at the nearest end and
    // is written back unchanged unless the user moved the box, so opening and closing a page never
    // changes what the project holds.
    void Number(QSpinBox* spin, std::string property);
    // An enumeration, or an integer used as a choice: the item index is the value.
    void Choice(QComboBox* combo, std::string property);
    // Radio buttons for an enumeration or integer (button i means value i), or for a Boolean
    // (two buttons: the first means false, the second true).
    void Radio(std::vector<QAbstractButton*> buttons, std::string property);
    // A password shown in clear and kept in its encrypted property, under the key the property table
    // names. Every encryption of a text differs, so an untouched password is written back exactly as
    // it was stored; one that cannot be decrypted shows empty and is kept unless the user types another.
    void Password(QLineEdit* edit, std::string storedProperty);
    // A string list, one line per item.
    void Lines(QPlainTextEdit* memo, std::string property);
    // Anything else: a pair of functions the page writes itself.
    void Custom(std::function<void(const quillate::TPersistent&)> read,
                std::function<void(quillate::TPersistent&)> write);

    void Read(const quillate::TPersistent& object) const;
    void Write(quillate::TPersistent& object) const;

private:
    struct TBinding {
        std::function<void(const quillate::TPersistent&)> Read;
        std::function<void(quillate::TPersistent&)> Write;
    };
    std::vector<TBinding> FBindings;
};

} // namespace zr::pages
