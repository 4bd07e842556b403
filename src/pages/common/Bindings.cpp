#include "pages/common/Bindings.h"

#include "host/CryptoUtils.h"

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <variant>

namespace zr::pages {

using quillate::TPersistent;

void BindNumber(TPropertyBinder& binder, QSpinBox* spin, std::string property) {
    auto stored = std::make_shared<std::int64_t>(0);
    binder.Custom(
        [spin, property, stored](const TPersistent& o) {
            const auto value = o.GetPropertyValue(property);
            *stored =
                std::holds_alternative<bool>(value) ? std::get<bool>(value) : std::get<std::int64_t>(value);
            spin->setValue(
                static_cast<int>(std::clamp<std::int64_t>(*stored, spin->minimum(), spin->maximum())));
        },
        [spin, property, stored](TPersistent& o) {
            const auto shown = std::clamp<std::int64_t>(*stored, spin->minimum(), spin->maximum());
            const std::int64_t value = spin->value() == shown ? *stored : spin->value();
            if (o.Properties().Find(property)->Kind == quillate::TPropertyKind::Boolean)
                o.SetPropertyValue(property, value != 0);
            else
                o.SetPropertyValue(property, value);
        });
}

void BindPassword(TPropertyBinder& binder, QLineEdit* edit, std::string storedProperty) {
    struct TState {
        std::string Stored;
        QString Shown;
    };
    auto state = std::make_shared<TState>();
    edit->setEchoMode(QLineEdit::Password);
    binder.Custom(
        [edit, storedProperty, state](const TPersistent& o) {
            const auto* info = o.Properties().Find(storedProperty);
            if (!info || info->EncryptionKey.empty())
                throw std::logic_error(o.ClassName() + "." + storedProperty + " is not a stored password");
            state->Stored = std::get<std::string>(o.GetPropertyValue(storedProperty));
            try {
                state->Shown =
                    QString::fromStdString(quillate::DecryptString(state->Stored, info->EncryptionKey));
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
            const auto& key = o.Properties().Find(storedProperty)->EncryptionKey;
            o.SetPropertyValue(storedProperty, quillate::EncryptString(edit->text().toStdString(), key));
        });
}

} // namespace zr::pages
