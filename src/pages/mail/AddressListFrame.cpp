#include "pages/mail/AddressListFrame.h"

#include "host/Action.h"
#include "pages/FieldBindings.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

namespace zr::pages {

namespace {

constexpr const char* AddressFileFilter = "Text Files (*.txt);;All Files (*.*)";
enum TColumn { colEmail, colName, colEnabled };

QPushButton* AddButton(QHBoxLayout* row, const QString& text) {
    auto* button = new QPushButton(text);
    row->addWidget(button);
    return button;
}

class TAddressListPropertyEditor : public quillate::TPropertyEditor {
public:
    explicit TAddressListPropertyEditor(const TAddressRole& role) : FRole(role) {}
    QString GetValue(const quillate::TZRAction&, const std::string&) const override { return "(Address List)"; }

    bool Edit(QWidget* parent, quillate::TZRAction& action, const std::string&) override {
        TAddressListEditor dialog(parent, FRole);
        dialog.Frame()->ReadActionData(action);
        if (dialog.exec() != QDialog::Accepted)
            return false;
        dialog.Frame()->WriteActionData(action);
        return true;
    }

private:
    const TAddressRole& FRole;
};

} // namespace

const std::vector<TAddressRole>& AddressRoles() {
    static const std::vector<TAddressRole> roles{
        {"TRecipientsFrame", "TRecipientsEditor", "Recipients", "recipients", "RecipientsSource",
         "PathOfRecipientFile", "RecipientVariable"},
        {"TCopyToFrame", "TCopyToEditor", "Copy To", "copyto", "CopyToSource", "PathOfCopyToFile",
         "CopyToVariable"},
        {"TBlindCopyToFrame", "TBlindCopyToEditor", "BCC", "blindcopyto", "BccSource", "PathOfBccFile",
         "BccVariable"},
        {"TReplyToFrame", "TReplyToEditor", "Reply To", "replyto", "ReplyToSource", "PathOfReplyToFile",
         "ReplyToVariable"},
    };
    return roles;
}

TAddressListBaseFrame::TAddressListBaseFrame(QWidget* owner, const TAddressRole& role)
    : TBoundPage(owner, role.Caption), FRole(role), FSpecify(new QRadioButton("Specify")),
      FFromFile(new QRadioButton("Load from file")), FFromVariable(new QRadioButton("Load from variable")),
      FGrid(new QTableWidget(0, 3)), FFile(new QLineEdit), FVariable(NewEditableCombo({})) {
    FGrid->setHorizontalHeaderLabels({"Email", "Name", "Enabled"});
    FGrid->horizontalHeader()->setStretchLastSection(true);
    FGrid->setSelectionBehavior(QAbstractItemView::SelectItems);
    FGrid->setSelectionMode(QAbstractItemView::SingleSelection);

    auto* buttons = new QHBoxLayout;
    auto* import = AddButton(buttons, "Import");
    auto* exportButton = AddButton(buttons, "Export");
    auto* add = AddButton(buttons, "Add");
    auto* remove = AddButton(buttons, "Delete");
    auto* edit = AddButton(buttons, "Edit Field");
    buttons->addStretch();

    auto* fileRow = new QHBoxLayout;
    fileRow->addWidget(FFile);
    auto* browse = AddButton(fileRow, "Browse...");

    Form()->addRow(FSpecify);
    Form()->addRow(FGrid);
    Form()->addRow(buttons);
    Form()->addRow(FFromFile);
    Form()->addRow("File:", fileRow);
    Form()->addRow(FFromVariable);
    Form()->addRow("Variable:", FVariable);
    Form()->addRow(new QLabel("Variable must contain comma delimited list of email addresses."));

    Binder().Radio({FSpecify, FFromFile, FFromVariable}, role.SourceProperty);
    Binder().Custom(
        [this](const quillate::TPersistent& o) {
            SetRows(ReadAddressList(dynamic_cast<const quillate::TSerializableObject&>(o), FRole.ListType));
        },
        [this](quillate::TPersistent& o) {
            WriteAddressList(dynamic_cast<quillate::TSerializableObject&>(o), FRole.ListType, Rows());
        });
    Binder().Text(FFile, role.FileProperty);
    Binder().ComboText(FVariable, role.VariableProperty);

    connect(import, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getOpenFileName(this, "Import", {}, AddressFileFilter);
        if (!path.isEmpty())
            ImportFile(path);
    });
    connect(exportButton, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getSaveFileName(this, "Export", {}, AddressFileFilter);
        if (!path.isEmpty())
            ExportFile(path);
    });
    connect(add, &QPushButton::clicked, this, &TAddressListBaseFrame::AddRow);
    connect(remove, &QPushButton::clicked, this, &TAddressListBaseFrame::DeleteRow);
    connect(edit, &QPushButton::clicked, this, &TAddressListBaseFrame::EditField);
    connect(browse, &QPushButton::clicked, this, &TAddressListBaseFrame::Browse);
}

void TAddressListBaseFrame::DoInitPage(quillate::TZRAction&, const quillate::IDesignProject& project) {
    Refill(FVariable, project.VariableNames());
}

std::vector<TAddressRow> TAddressListBaseFrame::Rows() const {
    std::vector<TAddressRow> rows;
    for (int r = 0; r < FGrid->rowCount(); ++r) {
        auto text = [&](int column) {
            return FGrid->item(r, column) ? FGrid->item(r, column)->text() : QString();
        };
        const auto* enabled = FGrid->item(r, colEnabled);
        rows.push_back({text(colEmail), text(colName), enabled && enabled->checkState() == Qt::Checked});
    }
    return rows;
}

void TAddressListBaseFrame::SetRows(const std::vector<TAddressRow>& rows) {
    FGrid->setRowCount(0);
    for (const auto& row : rows)
        AppendRow(row);
}

void TAddressListBaseFrame::AppendRow(const TAddressRow& row) {
    const int r = FGrid->rowCount();
    FGrid->insertRow(r);
    FGrid->setItem(r, colEmail, new QTableWidgetItem(row.Address));
    FGrid->setItem(r, colName, new QTableWidgetItem(row.Name));
    auto* enabled = new QTableWidgetItem;
    enabled->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    enabled->setCheckState(row.Enabled ? Qt::Checked : Qt::Unchecked);
    FGrid->setItem(r, colEnabled, enabled);
}

void TAddressListBaseFrame::AddRow() {
    AppendRow({});
    FGrid->setCurrentCell(FGrid->rowCount() - 1, colEmail);
    EditField();
}

void TAddressListBaseFrame::DeleteRow() {
    if (FGrid->currentRow() >= 0)
        FGrid->removeRow(FGrid->currentRow());
}

void TAddressListBaseFrame::EditField() {
    if (auto* item = FGrid->currentItem(); item && item->column() != colEnabled)
        FGrid->editItem(item);
}

bool TAddressListBaseFrame::ImportFile(const QString& path) {
    try {
        for (const auto& row : LoadAddressFile(path.toStdString()))
            AppendRow(row);
        return true;
    } catch (const std::exception& e) {
        QMessageBox::warning(this, "Import", QString::fromStdString(e.what()));
        return false;
    }
}

bool TAddressListBaseFrame::ExportFile(const QString& path) {
    QFile file(path);
    const QByteArray text = QByteArray::fromStdString(AddressFileText(Rows()));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size() &&
        file.flush())
        return true;
    QMessageBox::warning(this, "Export", path + ": " + file.errorString());
    return false;
}

void TAddressListBaseFrame::Browse() {
    const QString path = QFileDialog::getOpenFileName(this, "Select File", FFile->text(), AddressFileFilter);
    if (!path.isEmpty())
        FFile->setText(path);
}

TAddressListEditor::TAddressListEditor(QWidget* parent, const TAddressRole& role)
    : QDialog(parent), FFrame(new TAddressListBaseFrame(this, role)) {
    setWindowTitle("Email Address List");
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(FFrame);
    layout->addWidget(buttons);
}

void RegisterAddressListClasses() {
    for (const auto& role : AddressRoles()) {
        quillate::DesignClasses().RegisterPage(
            role.PageClass, [&role](QWidget* owner) { return new TAddressListBaseFrame(owner, role); });
        quillate::DesignClasses().RegisterEditor(
            role.EditorClass, [&role] { return std::make_unique<TAddressListPropertyEditor>(role); });
    }
}

} // namespace zr::pages
