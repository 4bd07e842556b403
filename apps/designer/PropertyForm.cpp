#include "PropertyForm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRegularExpressionValidator>
#include <QScrollArea>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>
#include <limits>

#include "host/Action.h"
#include "host/Options.h"

namespace quillate::designer {

namespace {

QString ToQt(const std::string& text) { return QString::fromStdString(text); }

// Numbers wider than a spin box holds are typed as text and checked when written.
bool IsTypedNumber(TPropertyKind kind) {
    return kind == TPropertyKind::UInt32 || kind == TPropertyKind::Int64 || kind == TPropertyKind::Double;
}

QWidget* MakeControl(const TPropertyInfo& info, QWidget* parent) {
    switch (info.Kind) {
    case TPropertyKind::Boolean:
        return new QCheckBox(parent);
    case TPropertyKind::Int32: {
        auto* spin = new QSpinBox(parent);
        spin->setRange(std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
        return spin;
    }
    case TPropertyKind::Enum: {
        auto* combo = new QComboBox(parent);
        if (info.Enum)
            for (const auto& value : info.Enum->Values)
                combo->addItem(ToQt(value));
        return combo;
    }
    case TPropertyKind::StringList:
        return new QPlainTextEdit(parent);
    default: {
        auto* edit = new QLineEdit(parent);
        if (IsPasswordName(info.Name))
            edit->setEchoMode(QLineEdit::Password);
        if (IsTypedNumber(info.Kind))
            edit->setValidator(new QRegularExpressionValidator(
                QRegularExpression(info.Kind == TPropertyKind::Double ? "[-+0-9.eE]*" : "-?[0-9]*"), edit));
        return edit;
    }
    }
}

} // namespace

bool IsPasswordName(const std::string& name) {
    QString lower = ToQt(name).toLower();
    return lower.endsWith("pass") || lower.endsWith("password");
}

TPropertyForm::TPropertyForm(std::vector<const TPropertyInfo*> properties, QWidget* parent) : QWidget(parent) {
    // Long tables (the mirror's) scroll instead of stretching the dialog.
    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* inner = new QWidget(scroll);
    auto* form = new QFormLayout(inner);
    for (const TPropertyInfo* info : properties) {
        QWidget* control = MakeControl(*info, inner);
        control->setObjectName(ToQt(info->Name));
        control->setToolTip(ToQt(info->Help));
        form->addRow(ToQt(info->Name), control);
        FFields.push_back({info, control, {}});
    }
    scroll->setWidget(inner);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(scroll);
}

std::vector<const TPropertyInfo*> TPropertyForm::EditableProperties(const TPropertyTable& table,
                                                                     const TStringList& hidden) {
    std::vector<const TPropertyInfo*> result;
    for (const auto& info : table.Properties())
        if (info.Stored && !info.Hidden && std::find(hidden.begin(), hidden.end(), info.Name) == hidden.end())
            result.push_back(&info);
    return result;
}

QString TPropertyForm::State(const TField& field) {
    if (auto* edit = qobject_cast<QLineEdit*>(field.Control))
        return edit->text();
    if (auto* check = qobject_cast<QCheckBox*>(field.Control))
        return check->isChecked() ? "1" : "0";
    if (auto* spin = qobject_cast<QSpinBox*>(field.Control))
        return QString::number(spin->value());
    if (auto* combo = qobject_cast<QComboBox*>(field.Control))
        return QString::number(combo->currentIndex());
    if (auto* memo = qobject_cast<QPlainTextEdit*>(field.Control))
        return memo->toPlainText();
    return {};
}

void TPropertyForm::Read(const TPersistent& object) {
    for (auto& field : FFields) {
        TPropertyValue value = field.Info->Get(object);
        switch (field.Info->Kind) {
        case TPropertyKind::Boolean:
            static_cast<QCheckBox*>(field.Control)->setChecked(std::get<bool>(value));
            break;
        case TPropertyKind::Int32:
            static_cast<QSpinBox*>(field.Control)->setValue(static_cast<int>(std::get<std::int64_t>(value)));
            break;
        case TPropertyKind::Enum: {
            // An unknown value shows as no choice; it is kept unless the user picks one.
            auto* combo = static_cast<QComboBox*>(field.Control);
            auto index = std::get<std::int64_t>(value);
            combo->setCurrentIndex(index >= 0 && index < combo->count() ? static_cast<int>(index) : -1);
            break;
        }
        case TPropertyKind::StringList:
            static_cast<QPlainTextEdit*>(field.Control)->setPlainText(ToQt(LinesToText(std::get<TStringList>(value))));
            break;
        case TPropertyKind::Double:
            static_cast<QLineEdit*>(field.Control)->setText(QString::number(std::get<double>(value), 'g', 17));
            break;
        case TPropertyKind::UInt32:
        case TPropertyKind::Int64:
            static_cast<QLineEdit*>(field.Control)->setText(QString::number(std::get<std::int64_t>(value)));
            break;
        default:
            static_cast<QLineEdit*>(field.Control)->setText(ToQt(std::get<std::string>(value)));
        }
        field.ReadState = State(field);
    }
}

TPropertyValue TPropertyForm::ValueOf(const TField& field, bool& ok) {
    ok = true;
    switch (field.Info->Kind) {
    case TPropertyKind::Boolean:
        return static_cast<QCheckBox*>(field.Control)->isChecked();
    case TPropertyKind::Int32:
        return static_cast<std::int64_t>(static_cast<QSpinBox*>(field.Control)->value());
    case TPropertyKind::Enum: {
        int index = static_cast<QComboBox*>(field.Control)->currentIndex();
        ok = index >= 0;
        return static_cast<std::int64_t>(index);
    }
    case TPropertyKind::StringList:
        return TextToLines(static_cast<QPlainTextEdit*>(field.Control)->toPlainText().toStdString());
    case TPropertyKind::Double:
        return static_cast<QLineEdit*>(field.Control)->text().toDouble(&ok);
    case TPropertyKind::UInt32: {
        qulonglong number = static_cast<QLineEdit*>(field.Control)->text().toULongLong(&ok);
        ok = ok && number <= std::numeric_limits<std::uint32_t>::max();
        return static_cast<std::int64_t>(number);
    }
    case TPropertyKind::Int64:
        return static_cast<std::int64_t>(static_cast<QLineEdit*>(field.Control)->text().toLongLong(&ok));
    default:
        return static_cast<QLineEdit*>(field.Control)->text().toStdString();
    }
}

void TPropertyForm::Write(TPersistent& object) const {
    for (const auto& field : FFields) {
        if (State(field) == field.ReadState)
            continue;
        bool ok = false;
        TPropertyValue value = ValueOf(field, ok);
        if (ok)
            field.Info->Set(object, value);
    }
}

TGenericPropertyPage::TGenericPropertyPage(QString caption, std::vector<const TPropertyInfo*> properties,
                                           QWidget* owner)
    : TPropertyPage(owner), FCaption(std::move(caption)), FForm(new TPropertyForm(std::move(properties), this)) {
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(FForm);
}

void TGenericPropertyPage::ReadActionData(const TZRAction& action) { FForm->Read(action); }
void TGenericPropertyPage::WriteActionData(TZRAction& action) { FForm->Write(action); }

TGenericOptionPage::TGenericOptionPage(const TMetaClass& cls, QWidget* owner)
    : TOptionPage(owner), FCaption(QString::fromStdString(cls.ClassName())),
      FForm(new TPropertyForm(TPropertyForm::EditableProperties(cls.Properties()), this)) {
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(FForm);
}

void TGenericOptionPage::ReadOptions(const TZROptionsObject& options) { FForm->Read(options); }
void TGenericOptionPage::WriteOptions(TZROptionsObject& options) { FForm->Write(options); }

} // namespace quillate::designer
