#include "pages/mail/MessagePages.h"

#include "design/FileListEditor.h"
#include "host/Action.h"
#include "pages/FieldBindings.h"
#include "pages/mail/AddressObjects.h"
#include "pages/mail/MailFields.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <variant>

namespace zr::pages {

namespace {

using quillate::TPersistent;
using quillate::TSerializableObject;

QStringList ModeChoices() {
    return {"Normal", "Individual"};
}

std::vector<QWidget*> RowOf(QFormLayout* form, QWidget* field) {
    return {form->labelForField(field), field};
}

// "Mode" in the property inspector: its two values by name.
class TEMailModeEditor : public quillate::TPropertyEditor {
public:
    QStringList Values() const override { return ModeChoices(); }
    QString GetValue(const quillate::TZRAction& action, const std::string& property) const override {
        const auto value = std::get<std::int64_t>(action.GetPropertyValue(property));
        return value >= 0 && value < ModeChoices().size() ? ModeChoices()[static_cast<int>(value)]
                                                          : QString::number(value);
    }
    void SetValue(quillate::TZRAction& action, const std::string& property, const QString& value) override {
        if (const auto index = ModeChoices().indexOf(value); index >= 0)
            action.SetPropertyValue(property, static_cast<std::int64_t>(index));
    }
};

class TEmailBodyEditor : public quillate::TPropertyEditor {
public:
    QString GetValue(const quillate::TZRAction&, const std::string&) const override { return "(Memo)"; }
    bool Edit(QWidget* parent, quillate::TZRAction& action, const std::string& property) override {
        TBodyEditor dialog(parent);
        TPropertyBinder binder;
        BindMemo(binder, dialog.Memo(), {property});
        binder.Read(action);
        if (dialog.exec() != QDialog::Accepted)
            return false;
        binder.Write(action);
        return true;
    }
};

class TEmailAttachmentsEditor : public quillate::TPropertyEditor {
public:
    QString GetValue(const quillate::TZRAction&, const std::string&) const override { return "(List)"; }
    bool Edit(QWidget* parent, quillate::TZRAction& action, const std::string& property) override {
        auto files = std::get<quillate::TStringList>(action.GetPropertyValue(property));
        if (!quillate::EditFileList(parent, "Attachments", files))
            return false;
        action.SetPropertyValue(property, files);
        return true;
    }
};

} // namespace

TEmailWhoFrame::TEmailWhoFrame(QWidget* owner) : TBoundPage(owner, "Sender") {
    auto* mode = NewChoiceCombo(ModeChoices());
    auto* ignore = new QCheckBox("Ignore individual failures");
    Form()->addRow("Mode:", mode);
    Form()->addRow(ignore);
    Binder().Choice(mode, "Mode");
    Binder().Check(ignore, "IgnoreIndivualFailures");
    for (const auto& [label, role] :
         {std::pair{"From", "from"}, {"Sender", "sender"}, {"Receipt recipient", "ReceiptRecipient"}}) {
        AddAddressRow(QString(label) + " address:", role, "Address");
        AddAddressRow(QString(label) + " name:", role, "Name");
    }
}

void TEmailWhoFrame::AddAddressRow(const QString& label, const std::string& role, const char* property) {
    auto* edit = new QLineEdit;
    Form()->addRow(label, edit);
    Binder().Custom(
        [edit, role, property](const TPersistent& o) {
            const auto address = FindAddress(dynamic_cast<const TSerializableObject&>(o), role);
            edit->setText(
                address ? QString::fromStdString(std::get<std::string>(address->GetPropertyValue(property)))
                        : QString());
        },
        [edit, role, property](TPersistent& o) {
            AddressOf(dynamic_cast<TSerializableObject&>(o), role)
                ->SetPropertyValue(property, edit->text().toStdString());
        });
}

TBodyFrame::TBodyFrame(QWidget* owner) : TBoundPage(owner, "Message") {
    auto* subject = new QLineEdit;
    auto* html = new QCheckBox("Message is HTML formatted");
    auto* body = new QPlainTextEdit;
    auto* plainBody = new QPlainTextEdit;
    auto* encoding = NewEditableCombo(MessageEncodings());
    auto* priority = NewChoiceCombo({"Highest", "High", "Normal", "Low", "Lowest"});
    Form()->addRow("Subject:", subject);
    Form()->addRow(html);
    Form()->addRow("Body:", body);
    Form()->addRow("Plain text body:", plainBody);
    Form()->addRow("Encoding:", encoding);
    Form()->addRow("Priority:", priority);

    Binder().Text(subject, "Subject");
    Binder().Check(html, "HTMLMessage");
    BindMemo(Binder(), body, {"BodyObject", "Body"}, RowOf(Form(), body));
    BindMemo(Binder(), plainBody, {"PlainBodyObject"}, RowOf(Form(), plainBody));
    Binder().ComboText(encoding, "Encoding");
    TPropertyBinder priorityBinder;
    priorityBinder.Choice(priority, "Priority");
    BindIfPresent(Binder(), "Priority", priorityBinder, RowOf(Form(), priority));
}

TAttachmentsFrame::TAttachmentsFrame(QWidget* owner)
    : TBoundPage(owner, "Attach"), FFiles(new QPlainTextEdit) {
    auto* browse = new QPushButton("Browse...");
    auto* ignore = new QCheckBox("Ignore missing attachments");
    Form()->addRow("Files:", FFiles);
    Form()->addRow(browse);
    Form()->addRow(ignore);
    BindMemo(Binder(), FFiles, {"AttachmentsObject", "Attachments"});
    Binder().Check(ignore, "IgnoreMissingAttachments");
    connect(browse, &QPushButton::clicked, this,
            [this] { AddFiles(QFileDialog::getOpenFileNames(this, "Select Attachments")); });
}

// One file a line: the actions read each line as one path, so a comma-joined line would name no file.
void TAttachmentsFrame::AddFiles(const QStringList& files) {
    for (const QString& file : files)
        FFiles->appendPlainText(file);
}

TBodyEditor::TBodyEditor(QWidget* parent) : QDialog(parent), FMemo(new QPlainTextEdit) {
    setWindowTitle("Message Body");
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(FMemo);
    layout->addWidget(buttons);
}

void RegisterMessageClasses() {
    auto& classes = quillate::DesignClasses();
    classes.RegisterPage("TEmailWhoFrame", [](QWidget* owner) { return new TEmailWhoFrame(owner); });
    classes.RegisterPage("TBodyFrame", [](QWidget* owner) { return new TBodyFrame(owner); });
    classes.RegisterPage("TAttachmentsFrame", [](QWidget* owner) { return new TAttachmentsFrame(owner); });
    classes.RegisterEditor("TEMailModeEditor", [] { return std::make_unique<TEMailModeEditor>(); });
    classes.RegisterEditor("TEmailBodyEditor", [] { return std::make_unique<TEmailBodyEditor>(); });
    classes.RegisterEditor("TEmailAttachmentsEditor",
                           [] { return std::make_unique<TEmailAttachmentsEditor>(); });
}

} // namespace zr::pages
