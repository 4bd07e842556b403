#include "pages/FieldBindings.h"

#include <QWidget>
#include <stdexcept>
#include <variant>

namespace zr::pages {

namespace {

using quillate::TPersistent;
using quillate::TPropertyInfo;
using quillate::TPropertyKind;

const TPropertyInfo* FirstPresent(const TPersistent& object, const std::vector<std::string>& candidates) {
    for (const auto& name : candidates)
        if (const auto* info = object.Properties().Find(name))
            return info;
    return nullptr;
}

QString ValueAsMemoText(const TPersistent& object, const TPropertyInfo& info) {
    const auto value = object.GetPropertyValue(info.Name);
    if (const auto* lines = std::get_if<quillate::TStringList>(&value))
        return QString::fromStdString(quillate::LinesToText(*lines));
    return QString::fromStdString(std::get<std::string>(value));
}

void SetVisible(const std::vector<QWidget*>& row, bool visible) {
    for (QWidget* widget : row)
        widget->setVisible(visible);
}

} // namespace

void BindMemo(TPropertyBinder& binder, QPlainTextEdit* memo, std::vector<std::string> candidates,
              std::vector<QWidget*> row) {
    row.push_back(memo);
    // What was read and what the memo showed right after, to recognise an untouched memo.
    struct TReadState {
        quillate::TPropertyValue Value;
        QString Shown;
        bool Valid = false;
    };
    auto state = std::make_shared<TReadState>();
    binder.Custom(
        [memo, candidates, row, state](const TPersistent& o) {
            const auto* info = FirstPresent(o, candidates);
            SetVisible(row, info != nullptr);
            state->Valid = info != nullptr;
            if (!info)
                return;
            memo->setPlainText(ValueAsMemoText(o, *info));
            state->Value = o.GetPropertyValue(info->Name);
            state->Shown = memo->toPlainText();
        },
        [memo, candidates, state](TPersistent& o) {
            const auto* info = FirstPresent(o, candidates);
            if (!info)
                return;
            const QString text = memo->toPlainText();
            if (state->Valid && text == state->Shown) {
                o.SetPropertyValue(info->Name, state->Value);
            } else if (info->Kind == TPropertyKind::StringList) {
                o.SetPropertyValue(info->Name, quillate::TextToLines(text.toStdString()));
            } else {
                o.SetPropertyValue(info->Name, text.toStdString());
            }
        });
}

void BindIfPresent(TPropertyBinder& binder, const std::string& property, TPropertyBinder inner,
                   std::vector<QWidget*> row) {
    binder.Custom(
        [property, inner, row](const TPersistent& o) {
            const bool present = o.Properties().Find(property) != nullptr;
            SetVisible(row, present);
            if (present)
                inner.Read(o);
        },
        [property, inner](TPersistent& o) {
            if (o.Properties().Find(property))
                inner.Write(o);
        });
}

QSpinBox* NewSpin(int minimum, int maximum) {
    auto* spin = new QSpinBox;
    spin->setRange(minimum, maximum);
    return spin;
}

QComboBox* NewEditableCombo(const QStringList& choices) {
    auto* combo = new QComboBox;
    combo->setEditable(true);
    combo->setInsertPolicy(QComboBox::NoInsert);
    combo->addItems(choices);
    return combo;
}

QComboBox* NewChoiceCombo(const QStringList& choices) {
    auto* combo = new QComboBox;
    combo->addItems(choices);
    return combo;
}

void Refill(QComboBox* combo, const quillate::TStringList& entries) {
    const QString shown = combo->currentText();
    combo->clear();
    for (const auto& entry : entries)
        combo->addItem(QString::fromStdString(entry));
    combo->setCurrentText(shown);
}

} // namespace zr::pages
