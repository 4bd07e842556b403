#include "PropertyInspector.h"

#include "PropertyForm.h"
#include "host/Action.h"
#include "host/Registration.h"

#include <QComboBox>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>
#include <QSpinBox>
#include <QStyledItemDelegate>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cctype>
#include <limits>
#include <optional>

namespace quillate::designer {

namespace {

constexpr int RowRole = Qt::UserRole;
// A password is shown as the same mask whatever its length.
constexpr const char* Mask = "********";
// Longer values are cut in the value column; the editor still gets the whole text.
constexpr int MaxShown = 400;

QString ToQt(const std::string& text) {
    return QString::fromStdString(text);
}

bool SameName(const std::string& a, const std::string& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

bool Contains(const TStringList& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

// The action's "[Group]" and "Property=Alias" lines; entries before the first heading belong to no group.
struct TAliasGroup {
    QString Title;
    std::vector<std::pair<std::string, QString>> Entries;
};

std::vector<TAliasGroup> AliasGroups(const TZRAction& action) {
    TStringList lines;
    action.GetPropertyAlias(lines);
    std::vector<TAliasGroup> groups(1);
    for (const auto& line : lines) {
        if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
            groups.push_back({ToQt(line.substr(1, line.size() - 2)), {}});
            continue;
        }
        auto eq = line.find('=');
        std::string name = line.substr(0, eq);
        groups.back().Entries.emplace_back(name, ToQt(eq == std::string::npos ? name : line.substr(eq + 1)));
    }
    return groups;
}

// A stored child that an alias entry names: the object the action publishes under that name.
std::shared_ptr<TSerializableObject> NamedChild(TZRAction& action, const std::string& name) {
    const TObjectPropertyInfo* object = action.Properties().FindObject(name);
    return object ? std::dynamic_pointer_cast<TSerializableObject>(object->Get(action)) : nullptr;
}

enum class TEditStyle { None, Check, Choice, Number, Text, Variable, Password, Dialog, Lines };

} // namespace

struct TPropertyInspector::TRow {
    std::string Path;
    QString Label;
    // The object whose property the row edits: the action or one of its stored children.
    TPersistent* Object = nullptr;
    // Keeps a child alive while its rows are shown; for a heading row, the child it stands for.
    std::shared_ptr<TSerializableObject> Child;
    // nullptr for a row that only its editor reads and writes, and for a child's heading.
    const TPropertyInfo* Info = nullptr;
    std::unique_ptr<TPropertyEditor> Editor;
    TEditStyle Style = TEditStyle::None;
    QTreeWidgetItem* Item = nullptr;
};

class TInspectorDelegate : public QStyledItemDelegate {
public:
    explicit TInspectorDelegate(TPropertyInspector* inspector)
        : QStyledItemDelegate(inspector), FInspector(inspector) {}

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&,
                          const QModelIndex& index) const override {
        auto row = RowOf(index);
        return row ? FInspector->CreateEditor(*row, parent) : nullptr;
    }
    void setEditorData(QWidget* editor, const QModelIndex& index) const override {
        if (auto row = RowOf(index))
            FInspector->SetEditorData(*row, editor);
    }
    void setModelData(QWidget* editor, QAbstractItemModel*, const QModelIndex& index) const override {
        if (auto row = RowOf(index))
            FInspector->Commit(*row, editor);
    }

private:
    static std::optional<std::size_t> RowOf(const QModelIndex& index) {
        QVariant row = index.data(RowRole);
        if (index.column() != 1 || !row.isValid())
            return std::nullopt;
        return static_cast<std::size_t>(row.toULongLong());
    }

    TPropertyInspector* FInspector;
};

TPropertyInspector::TPropertyInspector(QWidget* parent)
    : QWidget(parent), FTitle(new QLabel(this)), FTree(new QTreeWidget(this)), FError(new QLabel(this)) {
    FTree->setColumnCount(2);
    FTree->setHeaderLabels({tr("Property"), tr("Value")});
    FTree->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    FTree->setAlternatingRowColors(true);
    FTree->setItemDelegate(new TInspectorDelegate(this));
    // A double-click anywhere on a row edits its value; F2 does the same.
    FTree->setEditTriggers(QAbstractItemView::EditKeyPressed);
    connect(FTree, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) { EditRow(item); });
    connect(FTree, &QTreeWidget::itemChanged, this, &TPropertyInspector::CheckChanged);
    FError->setWordWrap(true);
    FError->setStyleSheet("color: #b00020");
    FError->hide();
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(FTitle);
    layout->addWidget(FTree);
    layout->addWidget(FError);
    Build();
}

TPropertyInspector::~TPropertyInspector() = default;

void TPropertyInspector::SetAction(TZRAction* action, const IDesignProject* project) {
    FAction = action;
    FVariableNames = project ? project->VariableNames() : TStringList{};
    Build();
}

void TPropertyInspector::Build() {
    FReading = true;
    FTree->clear();
    FRows.clear();
    FError->clear();
    FError->hide();
    FReading = false;
    if (!FAction) {
        FTitle->setText(tr("No action selected"));
        return;
    }
    FTitle->setText(QString("%1 (%2)").arg(ToQt(FAction->GetActionName()), ToQt(FAction->ClassName())));

    TStringList hidden, readOnly;
    FAction->GetHiddenProperties(hidden);
    FAction->GetReadOnlyProperties(readOnly);
    // The shown properties in table order; the non-stored ones left are the clear views of stored
    // passwords.
    for (const auto& info : FAction->Properties().Properties()) {
        if (info.Hidden || Contains(hidden, info.Name))
            continue;
        auto row = std::make_unique<TRow>();
        row->Path = info.Name;
        row->Label = ToQt(info.Name);
        row->Object = FAction;
        row->Info = &info;
        FRows.push_back(std::move(row));
    }
    // Registered editors take over their property's row; one for a property outside the table (a
    // list kept as a child) gets a row of its own.
    for (const auto& registration : ActionService().PropertyEditors()) {
        if (!FAction->GetClass().InheritsFrom(*registration.Class))
            continue;
        auto editor = DesignClasses().CreateEditor(registration.Editor);
        if (!editor)
            continue;
        auto found = std::find_if(FRows.begin(), FRows.end(),
                                  [&](const auto& row) { return row->Path == registration.PropertyName; });
        if (found == FRows.end()) {
            auto row = std::make_unique<TRow>();
            row->Path = registration.PropertyName;
            row->Label = ToQt(registration.PropertyName);
            row->Object = FAction;
            found = FRows.insert(FRows.end(), std::move(row));
        }
        (*found)->Editor = std::move(editor);
    }
    for (auto& row : FRows) {
        if (row->Editor)
            row->Style = row->Editor->Values().isEmpty() ? TEditStyle::Dialog : TEditStyle::Choice;
        else if (Contains(readOnly, row->Path))
            row->Style = TEditStyle::None;
        else
            switch (row->Info->Kind) {
            case TPropertyKind::Boolean:
                row->Style = TEditStyle::Check;
                break;
            case TPropertyKind::Int32:
                row->Style = TEditStyle::Number;
                break;
            case TPropertyKind::Enum:
                row->Style = TEditStyle::Choice;
                break;
            case TPropertyKind::StringList:
                row->Style = TEditStyle::Lines;
                break;
            case TPropertyKind::VariableName:
                row->Style = TEditStyle::Variable;
                break;
            case TPropertyKind::String:
                row->Style = IsPasswordName(row->Path) ? TEditStyle::Password : TEditStyle::Text;
                break;
            default:
                row->Style = TEditStyle::Text;
            }
    }

    std::vector<bool> placed(FRows.size());
    std::vector<std::pair<QString, std::vector<std::size_t>>> groups;
    for (const auto& group : AliasGroups(*FAction)) {
        std::vector<std::size_t> members;
        for (const auto& [name, label] : group.Entries) {
            auto found =
                std::find_if(FRows.begin(), FRows.begin() + static_cast<std::ptrdiff_t>(placed.size()),
                             [&](const auto& row) { return SameName(row->Path, name); });
            if (found != FRows.begin() + static_cast<std::ptrdiff_t>(placed.size())) {
                auto index = static_cast<std::size_t>(found - FRows.begin());
                if (!placed[index]) {
                    placed[index] = true;
                    (*found)->Label = label;
                    members.push_back(index);
                }
                continue;
            }
            // An entry that names a stored child: a heading, and the child's own properties below it.
            auto child = NamedChild(*FAction, name);
            if (!child)
                continue;
            auto heading = std::make_unique<TRow>();
            heading->Path = name;
            heading->Label = label;
            heading->Child = child;
            members.push_back(FRows.size());
            FRows.push_back(std::move(heading));
            for (const auto& info : child->Properties().Properties()) {
                if (info.Hidden || !info.Stored)
                    continue;
                auto row = std::make_unique<TRow>();
                row->Path = name + "." + info.Name;
                row->Label = ToQt(info.Name);
                row->Object = child.get();
                row->Child = child;
                row->Info = &info;
                row->Style = info.Kind == TPropertyKind::Boolean ? TEditStyle::Check : TEditStyle::Text;
                FRows.push_back(std::move(row));
            }
        }
        groups.emplace_back(group.Title, std::move(members));
    }
    std::vector<std::size_t> rest;
    for (std::size_t i = 0; i < placed.size(); ++i)
        if (!placed[i])
            rest.push_back(i);
    if (groups.size() > 1)
        groups.emplace_back(tr("Other"), std::move(rest));
    else
        groups.front().second = std::move(rest);

    FReading = true;
    for (const auto& [title, members] : groups) {
        if (title.isEmpty()) {
            AddRows(nullptr, members);
            continue;
        }
        if (members.empty())
            continue;
        auto* heading = new QTreeWidgetItem(FTree, {title});
        heading->setFirstColumnSpanned(true);
        heading->setFlags(Qt::ItemIsEnabled);
        QFont bold = heading->font(0);
        bold.setBold(true);
        heading->setFont(0, bold);
        AddRows(heading, members);
    }
    FReading = false;
    FTree->expandAll();
    ReadValues();
}

void TPropertyInspector::AddRows(QTreeWidgetItem* parent, const std::vector<std::size_t>& rows) {
    for (std::size_t index : rows) {
        TRow& row = *FRows[index];
        row.Item =
            parent ? new QTreeWidgetItem(parent, {row.Label}) : new QTreeWidgetItem(FTree, {row.Label});
        row.Item->setData(1, RowRole, QVariant::fromValue(static_cast<qulonglong>(index)));
        row.Item->setToolTip(
            0, ToQt(row.Info && !row.Info->Help.empty() ? row.Path + ": " + row.Info->Help : row.Path));
        Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
        if (row.Style == TEditStyle::Check)
            flags |= Qt::ItemIsUserCheckable;
        else if (row.Style != TEditStyle::None)
            flags |= Qt::ItemIsEditable;
        row.Item->setFlags(flags);
        // A child's heading: its own properties follow, one row each.
        if (row.Child && !row.Info)
            for (std::size_t sub = index + 1; sub < FRows.size() && FRows[sub]->Child == row.Child; ++sub)
                AddRows(row.Item, {sub});
    }
}

void TPropertyInspector::ReadValues() {
    FReading = true;
    for (auto& row : FRows)
        if (row->Item)
            ShowValue(*row);
    FReading = false;
}

void TPropertyInspector::ShowValue(TRow& row) {
    QString text;
    try {
        if (row.Editor)
            text = row.Editor->GetValue(*FAction, row.Path);
        else if (!row.Info)
            text = QString("(%1)").arg(ToQt(row.Child->ClassName()));
        else {
            TPropertyValue value = row.Info->Get(*row.Object);
            if (row.Style == TEditStyle::Check)
                row.Item->setCheckState(1, std::get<bool>(value) ? Qt::Checked : Qt::Unchecked);
            if (row.Style == TEditStyle::Password)
                text = std::get<std::string>(value).empty() ? QString() : Mask;
            else if (row.Info->Kind == TPropertyKind::Boolean)
                text = std::get<bool>(value) ? "True" : "False";
            else if (row.Info->Kind == TPropertyKind::StringList)
                text = ToQt(LinesToText(std::get<TStringList>(value))).replace('\n', " | ");
            else
                text = ToQt(PropertyValueToText(*row.Info, value));
        }
    } catch (const std::exception& e) {
        // A password that no longer decrypts, a getter that refuses: the row says so and stays editable.
        text = tr("(unreadable: %1)").arg(ToQt(e.what()));
    }
    if (text.size() > MaxShown)
        text = text.left(MaxShown) + QChar(0x2026);
    row.Item->setText(1, text);
}

QTreeWidgetItem* TPropertyInspector::ItemOf(const std::string& path) const {
    for (const auto& row : FRows)
        if (row->Path == path)
            return row->Item;
    return nullptr;
}

QString TPropertyInspector::LastError() const {
    return FError->text();
}

void TPropertyInspector::EditRow(QTreeWidgetItem* item) {
    if (!item || !item->data(1, RowRole).isValid())
        return;
    if (item->flags() & Qt::ItemIsUserCheckable)
        item->setCheckState(1, item->checkState(1) == Qt::Checked ? Qt::Unchecked : Qt::Checked);
    else if (item->flags() & Qt::ItemIsEditable)
        FTree->editItem(item, 1);
}

QWidget* TPropertyInspector::CreateEditor(std::size_t index, QWidget* parent) {
    TRow& row = *FRows.at(index);
    switch (row.Style) {
    case TEditStyle::Dialog:
    case TEditStyle::Lines: {
        // The dialog opens once the view has finished starting the edit.
        QMetaObject::invokeMethod(
            this,
            [this, action = FAction, path = row.Path] {
                for (std::size_t i = 0; i < FRows.size() && FAction == action; ++i)
                    if (FRows[i]->Path == path)
                        OpenDialog(i);
            },
            Qt::QueuedConnection);
        return nullptr;
    }
    case TEditStyle::Choice: {
        auto* combo = new QComboBox(parent);
        if (row.Editor)
            combo->addItems(row.Editor->Values());
        else if (row.Info->Enum)
            for (const auto& value : row.Info->Enum->Values)
                combo->addItem(ToQt(value));
        return combo;
    }
    case TEditStyle::Variable: {
        auto* combo = new QComboBox(parent);
        combo->setEditable(true);
        for (const auto& name : FVariableNames)
            combo->addItem(ToQt(name));
        return combo;
    }
    case TEditStyle::Number: {
        auto* spin = new QSpinBox(parent);
        auto [low, high] = row.Info->Range.value_or(std::pair<std::int64_t, std::int64_t>{
            std::numeric_limits<int>::min(), std::numeric_limits<int>::max()});
        spin->setRange(static_cast<int>(low), static_cast<int>(high));
        return spin;
    }
    case TEditStyle::Text:
    case TEditStyle::Password: {
        auto* edit = new QLineEdit(parent);
        if (row.Style == TEditStyle::Password)
            edit->setEchoMode(QLineEdit::Password);
        TPropertyKind kind = row.Info->Kind;
        if (kind == TPropertyKind::UInt32 || kind == TPropertyKind::Int64 || kind == TPropertyKind::Double)
            edit->setValidator(new QRegularExpressionValidator(
                QRegularExpression(kind == TPropertyKind::Double ? "[-+0-9.eE]*" : "-?[0-9]*"), edit));
        return edit;
    }
    case TEditStyle::Check:
    case TEditStyle::None:
        return nullptr;
    }
    return nullptr;
}

void TPropertyInspector::SetEditorData(std::size_t index, QWidget* editor) const {
    const TRow& row = *FRows.at(index);
    TPropertyValue value;
    try {
        if (row.Info)
            value = row.Info->Get(*row.Object);
    } catch (const std::exception&) {
        return;
    }
    if (auto* combo = qobject_cast<QComboBox*>(editor)) {
        if (row.Style == TEditStyle::Variable)
            combo->setCurrentText(ToQt(std::get<std::string>(value)));
        else
            combo->setCurrentIndex(combo->findText(row.Item->text(1)));
    } else if (auto* spin = qobject_cast<QSpinBox*>(editor))
        spin->setValue(static_cast<int>(std::get<std::int64_t>(value)));
    else if (auto* edit = qobject_cast<QLineEdit*>(editor))
        edit->setText(row.Info->Kind == TPropertyKind::String || row.Info->Kind == TPropertyKind::VariableName
                          ? ToQt(std::get<std::string>(value))
                          : ToQt(PropertyValueToText(*row.Info, value)));
}

void TPropertyInspector::Commit(std::size_t index, QWidget* editor) {
    TRow& row = *FRows.at(index);
    if (auto* combo = qobject_cast<QComboBox*>(editor)) {
        if (row.Style == TEditStyle::Variable)
            Apply(row, combo->currentText().toStdString());
        else if (row.Editor) {
            if (combo->currentText() != row.Item->text(1)) {
                row.Editor->SetValue(*FAction, row.Path, combo->currentText());
                Edited();
            }
        } else if (combo->currentIndex() >= 0)
            Apply(row, static_cast<std::int64_t>(combo->currentIndex()));
        return;
    }
    if (auto* spin = qobject_cast<QSpinBox*>(editor)) {
        Apply(row, static_cast<std::int64_t>(spin->value()));
        return;
    }
    auto* edit = qobject_cast<QLineEdit*>(editor);
    if (!edit)
        return;
    QString text = edit->text();
    bool ok = true;
    TPropertyValue value;
    switch (row.Info->Kind) {
    case TPropertyKind::UInt32: {
        qulonglong number = text.toULongLong(&ok);
        ok = ok && number <= std::numeric_limits<std::uint32_t>::max();
        value = static_cast<std::int64_t>(number);
        break;
    }
    case TPropertyKind::Int64:
        value = static_cast<std::int64_t>(text.toLongLong(&ok));
        break;
    case TPropertyKind::Double:
        value = text.toDouble(&ok);
        break;
    default:
        value = text.toStdString();
    }
    if (!ok) {
        FError->setText(tr("%1: \"%2\" is not a number of this kind").arg(row.Label, text));
        FError->show();
        return;
    }
    Apply(row, value);
}

void TPropertyInspector::Apply(TRow& row, const TPropertyValue& value) {
    FError->clear();
    FError->hide();
    try {
        if (row.Info->Get(*row.Object) == value)
            return;
    } catch (const std::exception&) {
        // An unreadable value (a password that no longer decrypts) is replaced by what was typed.
    }
    try {
        if (const auto* number = std::get_if<std::int64_t>(&value); number && row.Info->Range)
            if (std::string problem = row.Info->RangeProblem(*number); !problem.empty())
                throw std::invalid_argument(problem);
        row.Info->Set(*row.Object, value);
    } catch (const std::exception& e) {
        FError->setText(QString("%1: %2").arg(row.Label, ToQt(e.what())));
        FError->show();
        ReadValues();
        return;
    }
    Edited();
}

void TPropertyInspector::OpenDialog(std::size_t index) {
    TRow& row = *FRows.at(index);
    if (row.Editor) {
        if (row.Editor->Edit(this, *FAction, row.Path))
            Edited();
        return;
    }
    bool ok = false;
    QString text = QInputDialog::getMultiLineText(
        this, row.Label, tr("One item a line:"),
        ToQt(LinesToText(std::get<TStringList>(row.Info->Get(*row.Object)))), &ok);
    if (ok)
        Apply(row, TextToLines(text.toStdString()));
}

void TPropertyInspector::CheckChanged(QTreeWidgetItem* item, int column) {
    QVariant index = item->data(1, RowRole);
    if (FReading || column != 1 || !index.isValid())
        return;
    TRow& row = *FRows.at(static_cast<std::size_t>(index.toULongLong()));
    if (row.Style == TEditStyle::Check)
        Apply(row, item->checkState(1) == Qt::Checked);
}

void TPropertyInspector::Edited() {
    ReadValues();
    emit Changed(FAction);
}

} // namespace quillate::designer
