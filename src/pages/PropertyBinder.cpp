#include "pages/PropertyBinder.h"

#include "host/CryptoUtils.h"

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <variant>

namespace zr::pages {

namespace {

using quillate::TPersistent;
using quillate::TPropertyKind;
using quillate::TPropertyValue;

const quillate::TPropertyInfo& Require(const TPersistent& object, const std::string& property) {
    const auto* info = object.Properties().Find(property);
    if (!info)
        throw std::logic_error(object.ClassName() + " has no property " + property);
    return *info;
}

bool IsInteger(TPropertyKind kind) {
    return kind == TPropertyKind::Int32 || kind == TPropertyKind::UInt32 || kind == TPropertyKind::Int64 ||
           kind == TPropertyKind::Enum;
}

QString ValueAsText(const TPropertyValue& value) {
    if (const auto* text = std::get_if<std::string>(&value))
        return QString::fromStdString(*text);
    if (const auto* number = std::get_if<std::int64_t>(&value))
        return QString::number(*number);
    if (const auto* real = std::get_if<double>(&value))
        return QString::number(*real);
    return {};
}

// Text typed into a number's edit box that is not a number leaves the property as it was.
void SetFromText(TPersistent& object, const std::string& property, const QString& text) {
    const auto& info = Require(object, property);
    if (IsInteger(info.Kind)) {
        bool ok = false;
        const qlonglong number = text.trimmed().toLongLong(&ok);
        if (ok)
            object.SetPropertyValue(property, static_cast<std::int64_t>(number));
    } else if (info.Kind == TPropertyKind::Double) {
        bool ok = false;
        const double number = text.trimmed().toDouble(&ok);
        if (ok)
            object.SetPropertyValue(property, number);
    } else {
        object.SetPropertyValue(property, text.toStdString());
    }
}

std::int64_t IntegerOf(const TPersistent& object, const std::string& property) {
    const auto value = object.GetPropertyValue(property);
    if (const auto* flag = std::get_if<bool>(&value))
        return *flag ? 1 : 0;
    return std::get<std::int64_t>(value);
}

void SetInteger(TPersistent& object, const std::string& property, std::int64_t value) {
    if (Require(object, property).Kind == TPropertyKind::Boolean)
        object.SetPropertyValue(property, value != 0);
    else
        object.SetPropertyValue(property, value);
}

} // namespace

void TPropertyBinder::Text(QLineEdit* edit, std::string property) {
    FBindings.push_back({[edit, property](const TPersistent& o) { edit->setText(ValueAsText(o.GetPropertyValue(property))); },
                         [edit, property](TPersistent& o) { SetFromText(o, property, edit->text()); }});
}

void TPropertyBinder::ComboText(QComboBox* combo, std::string property) {
    FBindings.push_back(
        {[combo, property](const TPersistent& o) { combo->setCurrentText(ValueAsText(o.GetPropertyValue(property))); },
         [combo, property](TPersistent& o) { SetFromText(o, property, combo->currentText()); }});
}

void TPropertyBinder::Check(QAbstractButton* box, std::string property) {
    FBindings.push_back({[box, property](const TPersistent& o) { box->setChecked(std::get<bool>(o.GetPropertyValue(property))); },
                         [box, property](TPersistent& o) { o.SetPropertyValue(property, box->isChecked()); }});
}

void TPropertyBinder::CheckInverted(QAbstractButton* box, std::string property) {
    FBindings.push_back({[box, property](const TPersistent& o) { box->setChecked(!std::get<bool>(o.GetPropertyValue(property))); },
                         [box, property](TPersistent& o) { o.SetPropertyValue(property, !box->isChecked()); }});
}

void TPropertyBinder::Number(QSpinBox* spin, std::string property) {
    auto stored = std::make_shared<std::int64_t>(0);
    auto shown = [spin, stored] { return std::clamp<std::int64_t>(*stored, spin->minimum(), spin->maximum()); };
    FBindings.push_back({[spin, property, stored, shown](const TPersistent& o) {
                             *stored = IntegerOf(o, property);
                             spin->setValue(static_cast<int>(shown()));
                         },
                         [spin, property, stored, shown](TPersistent& o) {
                             SetInteger(o, property, spin->value() == shown() ? *stored : spin->value());
                         }});
}

void TPropertyBinder::Password(QLineEdit* edit, std::string storedProperty) {
    struct TState {
        std::string Stored;
        QString Shown;
    };
    auto state = std::make_shared<TState>();
    edit->setEchoMode(QLineEdit::Password);
    FBindings.push_back(
        {[edit, storedProperty, state](const TPersistent& o) {
             const auto& info = Require(o, storedProperty);
             if (info.EncryptionKey.empty())
                 throw std::logic_error(o.ClassName() + "." + storedProperty + " is not a stored password");
             state->Stored = std::get<std::string>(o.GetPropertyValue(storedProperty));
             try {
                 state->Shown = QString::fromStdString(quillate::DecryptString(state->Stored, info.EncryptionKey));
             } catch (const quillate::ECryptoError&) {
                 state->Shown.clear();
             }
             edit->setText(state->Shown);
         },
         [edit, storedProperty, state](TPersistent& o) {
             if (edit->text() == state->Shown) {
                 o.SetPropertyValue(storedProperty, state->Stored);
                 return;
             }
             const auto& key = Require(o, storedProperty).EncryptionKey;
             o.SetPropertyValue(storedProperty, quillate::EncryptString(edit->text().toStdString(), key));
         }});
}

void TPropertyBinder::Choice(QComboBox* combo, std::string property) {
    FBindings.push_back(
        {[combo, property](const TPersistent& o) { combo->setCurrentIndex(static_cast<int>(IntegerOf(o, property))); },
         [combo, property](TPersistent& o) {
             if (combo->currentIndex() >= 0)
                 SetInteger(o, property, combo->currentIndex());
         }});
}

void TPropertyBinder::Radio(std::vector<QAbstractButton*> buttons, std::string property) {
    FBindings.push_back({[buttons, property](const TPersistent& o) {
                             const auto index = IntegerOf(o, property);
                             if (index >= 0 && index < static_cast<std::int64_t>(buttons.size()))
                                 buttons[static_cast<std::size_t>(index)]->setChecked(true);
                         },
                         [buttons, property](TPersistent& o) {
                             for (std::size_t i = 0; i < buttons.size(); ++i)
                                 if (buttons[i]->isChecked())
                                     SetInteger(o, property, static_cast<std::int64_t>(i));
                         }});
}

void TPropertyBinder::Lines(QPlainTextEdit* memo, std::string property) {
    FBindings.push_back({[memo, property](const TPersistent& o) {
                             const auto lines = std::get<quillate::TStringList>(o.GetPropertyValue(property));
                             memo->setPlainText(QString::fromStdString(quillate::LinesToText(lines)));
                         },
                         [memo, property](TPersistent& o) {
                             o.SetPropertyValue(property, quillate::TextToLines(memo->toPlainText().toStdString()));
                         }});
}

void TPropertyBinder::Custom(std::function<void(const TPersistent&)> read, std::function<void(TPersistent&)> write) {
    FBindings.push_back({std::move(read), std::move(write)});
}

void TPropertyBinder::Read(const TPersistent& object) const {
    for (const auto& binding : FBindings)
        binding.Read(object);
}

void TPropertyBinder::Write(TPersistent& object) const {
    for (const auto& binding : FBindings)
        binding.Write(object);
}

} // namespace zr::pages
