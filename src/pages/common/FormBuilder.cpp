#include "pages/common/FormBuilder.h"


#include <QButtonGroup>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QPushButton>
#include <limits>

namespace zr::pages {

TFormBuilder::TFormBuilder(QFormLayout* form, TPropertyBinder* binder) : FForm(form), FBinder(binder) {}

QCheckBox* TFormBuilder::NewCheck(const QString& text, std::string property) {
    auto* box = Track(new QCheckBox(text, Owner()));
    FBinder->Check(box, std::move(property));
    return box;
}

QCheckBox* TFormBuilder::Check(const QString& text, std::string property) {
    auto* box = NewCheck(text, std::move(property));
    Row(box);
    return box;
}

QCheckBox* TFormBuilder::CheckInverted(const QString& text, std::string property) {
    auto* box = Track(new QCheckBox(text, Owner()));
    FBinder->CheckInverted(box, std::move(property));
    Row(box);
    return box;
}

QLineEdit* TFormBuilder::Edit(const QString& label, std::string property) {
    auto* edit = Track(new QLineEdit(Owner()));
    FBinder->Text(edit, std::move(property));
    Row(label, edit);
    return edit;
}

QLineEdit* TFormBuilder::Password(const QString& label, std::string storedProperty) {
    auto* edit = Track(new QLineEdit(Owner()));
    FBinder->Password(edit, std::move(storedProperty));
    Row(label, edit);
    return edit;
}

QLineEdit* TFormBuilder::ClearPassword(const QString& label, std::string property) {
    auto* edit = Edit(label, std::move(property));
    edit->setEchoMode(QLineEdit::Password);
    return edit;
}

QSpinBox* TFormBuilder::NewNumber(const QString& name, std::string property, int minimum, int maximum) {
    auto* spin = Track(new QSpinBox(Owner()));
    spin->setRange(minimum, maximum);
    spin->setAccessibleName(name);
    FBinder->Number(spin, std::move(property));
    return spin;
}

QSpinBox* TFormBuilder::Number(const QString& label, std::string property, int minimum, int maximum) {
    auto* spin = NewNumber(label, std::move(property), minimum, maximum);
    Row(label, spin);
    return spin;
}

QComboBox* TFormBuilder::Choice(const QString& label, const QStringList& items, std::string property) {
    auto* combo = Track(new QComboBox(Owner()));
    combo->addItems(items);
    FBinder->Choice(combo, std::move(property));
    Row(label, combo);
    return combo;
}

QComboBox* TFormBuilder::NameCombo(const QString& label, std::string property) {
    auto* combo = Track(new QComboBox(Owner()));
    combo->setEditable(true);
    combo->setInsertPolicy(QComboBox::NoInsert);
    FBinder->ComboText(combo, std::move(property));
    Row(label, combo);
    return combo;
}

QLineEdit* TFormBuilder::Folder(const QString& label, std::string property, const QString& dialogTitle) {
    auto* edit = Track(new QLineEdit(Owner()));
    FBinder->Text(edit, std::move(property));
    auto* browse = Track(new QPushButton("...", Owner()));
    browse->setAccessibleDescription(dialogTitle);
    QObject::connect(browse, &QPushButton::clicked, edit, [edit, dialogTitle] {
        const QString folder = QFileDialog::getExistingDirectory(edit, dialogTitle, edit->text());
        if (!folder.isEmpty())
            edit->setText(folder);
    });
    edit->setAccessibleName(label);
    Row(label, Line({edit, browse}));
    return edit;
}

std::vector<QRadioButton*> TFormBuilder::NewRadios(const QStringList& texts, const std::vector<int>& values,
                                                   std::string property) {
    auto* group = new QButtonGroup(Owner());
    std::vector<QRadioButton*> shown;
    std::vector<QAbstractButton*> byValue(static_cast<std::size_t>(texts.size()), nullptr);
    for (qsizetype i = 0; i < texts.size(); ++i) {
        auto* radio = Track(new QRadioButton(texts[i], Owner()));
        group->addButton(radio);
        shown.push_back(radio);
        byValue.at(static_cast<std::size_t>(values.at(static_cast<std::size_t>(i)))) = radio;
    }
    FBinder->Radio(byValue, std::move(property));
    return shown;
}

std::vector<QRadioButton*> TFormBuilder::Radios(const QStringList& texts, const std::vector<int>& values,
                                                std::string property) {
    auto shown = NewRadios(texts, values, std::move(property));
    for (auto* radio : shown)
        Row(radio);
    return shown;
}

QLabel* TFormBuilder::NewText(const QString& text) {
    return new QLabel(text, Owner());
}

QWidget* TFormBuilder::Line(const std::vector<QWidget*>& widgets) {
    auto* line = new QWidget(Owner());
    auto* layout = new QHBoxLayout(line);
    layout->setContentsMargins(0, 0, 0, 0);
    for (auto* widget : widgets)
        layout->addWidget(widget);
    layout->addStretch();
    return line;
}

void TFormBuilder::Row(const QString& label, QWidget* field) {
    if (field->accessibleName().isEmpty())
        field->setAccessibleName(label);
    FForm->addRow(label, field);
}

QSpinBox* TFormBuilder::CheckedNumber(const QString& checkText, std::string checkProperty,
                                      const QString& numberName, std::string numberProperty, int minimum,
                                      int maximum, const QString& suffix) {
    QCheckBox* check = NewCheck(checkText, std::move(checkProperty));
    QSpinBox* number = NewNumber(numberName, std::move(numberProperty), minimum, maximum);
    number->setSuffix(suffix);
    Row(Line({check, number}));
    return number;
}

void TFormBuilder::Row(QWidget* field) {
    FForm->addRow(field);
}

void TFormBuilder::FinishTabOrder() {
    for (std::size_t i = 1; i < FOrder.size(); ++i)
        QWidget::setTabOrder(FOrder[i - 1], FOrder[i]);
}

} // namespace zr::pages
