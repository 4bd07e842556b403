// Builds a form of labelled fields row by row, binding each field to its property as it goes. The
// fields' tab order is the order they were added; a field without a text of its own carries its
// label as its accessible name.
#pragma once

#include "pages/PropertyBinder.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QSpinBox>
#include <string>
#include <vector>

namespace zr::pages {

class TFormBuilder {
public:
    TFormBuilder(QFormLayout* form, TPropertyBinder* binder);

    // The fields added from now on bind to this binder (a child object's, say).
    void BindTo(TPropertyBinder* binder) { FBinder = binder; }
    QWidget* Owner() const { return FForm->parentWidget(); }

    QCheckBox* Check(const QString& text, std::string property);
    // The box shows the opposite of the Boolean property.
    QCheckBox* CheckInverted(const QString& text, std::string property);
    QLineEdit* Edit(const QString& label, std::string property);
    // A password kept in its encrypted property.
    QLineEdit* Password(const QString& label, std::string storedProperty);
    // A password the object keeps in clear (option objects, whose store encrypts it).
    QLineEdit* ClearPassword(const QString& label, std::string property);
    QSpinBox* Number(const QString& label, std::string property, int minimum, int maximum);
    // A fixed list: the item index is the value.
    QComboBox* Choice(const QString& label, const QStringList& items, std::string property);
    // An editable name (a connection, variable or file set) with a list the page fills.
    QComboBox* NameCombo(const QString& label, std::string property);
    // A folder edit with a browse button whose dialog has this title.
    QLineEdit* Folder(const QString& label, std::string property, const QString& dialogTitle);
    // One radio button per text; values[i] is the property value of texts[i] (a Boolean's false is 0).
    std::vector<QRadioButton*> Radios(const QStringList& texts, const std::vector<int>& values,
                                      std::string property);

    // Unbound pieces for rows the helpers above do not cover.
    // Radio buttons as Radios makes them, each in no row yet.
    std::vector<QRadioButton*> NewRadios(const QStringList& texts, const std::vector<int>& values,
                                         std::string property);
    QCheckBox* NewCheck(const QString& text, std::string property);
    QSpinBox* NewNumber(const QString& name, std::string property, int minimum, int maximum);
    QLabel* NewText(const QString& text);
    // A check box with the number it switches on beside it, in a row of their own.
    QSpinBox* CheckedNumber(const QString& checkText, std::string checkProperty, const QString& numberName,
                            std::string numberProperty, int minimum, int maximum, const QString& suffix);
    // A row of widgets side by side (created by the New... helpers or by the caller).
    QWidget* Line(const std::vector<QWidget*>& widgets);
    void Row(const QString& label, QWidget* field);
    void Row(QWidget* field);

    // Gives the widgets the tab order in which they were added; call once the form is complete.
    void FinishTabOrder();
    // Puts a widget the caller made next in the tab order.
    template <class W> W* Track(W* widget) {
        FOrder.push_back(widget);
        return widget;
    }

private:
    QFormLayout* FForm;
    TPropertyBinder* FBinder;
    std::vector<QWidget*> FOrder;
};

} // namespace zr::pages
