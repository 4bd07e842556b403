#include "VariablesPanel.h"

#include "host/Project.h"
#include "host/VariableUsage.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

namespace quillate::designer {

namespace {

constexpr int ActionRole = Qt::UserRole;
constexpr int NameRole = Qt::UserRole + 1;

QString ToQt(const std::string& text) {
    return QString::fromStdString(text);
}

} // namespace

TVariablesPanel::TVariablesPanel(QWidget* parent)
    : QWidget(parent), FTree(new QTreeWidget(this)), FStatus(new QLabel(this)) {
    FTree->setColumnCount(2);
    FTree->setHeaderLabels({tr("Variable / used in"), tr("Value / action")});
    FTree->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    FTree->setEditTriggers(QAbstractItemView::NoEditTriggers);
    connect(FTree, &QTreeWidget::itemChanged, this, &TVariablesPanel::ValueEdited);
    // A value is edited in place; a use leads to its action.
    connect(FTree, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
        if (auto* action = reinterpret_cast<const TZRAction*>(item->data(0, ActionRole).value<quintptr>()))
            emit ShowAction(action);
        else if (item->flags() & Qt::ItemIsEditable)
            FTree->editItem(item, 1);
    });

    auto* buttons = new QHBoxLayout;
    auto button = [this, buttons](const QString& text, auto slot) {
        auto* b = new QPushButton(text, this);
        connect(b, &QPushButton::clicked, this, slot);
        buttons->addWidget(b);
        return b;
    };
    button(tr("&Add..."), [this] { AskAdd(); });
    button(tr("Re&name..."), [this] { AskRename(); });
    button(tr("Remo&ve"), [this] { RemoveVariable(SelectedVariable()); });
    button(tr("&Find/Replace..."), [this] { emit FindReplaceRequested(); });
    buttons->addStretch();
    FStatus->setWordWrap(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(FTree);
    layout->addLayout(buttons);
    layout->addWidget(FStatus);
}

void TVariablesPanel::SetProject(TProject* project) {
    FProject = project;
    FStatus->clear();
    Refresh();
}

void TVariablesPanel::Refresh() {
    QString selected = SelectedVariable();
    FReading = true;
    FTree->clear();
    if (FProject) {
        TVariableReport report = FindVariableUses(*FProject);
        auto addVariable = [&](const std::string& name, const QString& value, bool declared) {
            auto* item = new QTreeWidgetItem(FTree, {ToQt(name), value});
            item->setData(0, NameRole, ToQt(name));
            item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable |
                           (declared ? Qt::ItemIsEditable : Qt::NoItemFlags));
            const auto& uses = report.Uses[name];
            if (uses.empty())
                item->setToolTip(0, tr("Declared but not used"));
            for (const auto& where : uses) {
                // The text's label, then the action as the tree shows it.
                auto* use = new QTreeWidgetItem(
                    item, {ToQt(where.Property), ToQt(where.Action->GetFormattedDescription())});
                use->setData(0, NameRole, ToQt(name));
                use->setData(0, ActionRole, QVariant::fromValue(reinterpret_cast<quintptr>(where.Action)));
            }
            if (!declared || uses.empty()) {
                QFont font = item->font(0);
                font.setItalic(true);
                item->setFont(0, font);
            }
        };
        for (const auto& [name, value] : FProject->Variables)
            addVariable(name, ToQt(value), true);
        // The names used without a declaration: set by an action as it runs, or not defined at all.
        for (const auto& [name, uses] : report.Uses) {
            if (std::any_of(FProject->Variables.begin(), FProject->Variables.end(),
                            [&](const auto& variable) { return variable.first == name; }))
                continue;
            bool undefined = std::any_of(report.Undefined.begin(), report.Undefined.end(),
                                         [&](const auto& finding) { return finding.first == name; });
            addVariable(name, undefined ? tr("(not defined)") : tr("(set by an action)"), false);
        }
    }
    FTree->expandAll();
    FReading = false;
    SelectVariable(selected);
}

QTreeWidgetItem* TVariablesPanel::ItemOf(const QString& name) const {
    for (int i = 0; i < FTree->topLevelItemCount(); ++i)
        if (FTree->topLevelItem(i)->data(0, NameRole).toString() == name)
            return FTree->topLevelItem(i);
    return nullptr;
}

QString TVariablesPanel::SelectedVariable() const {
    auto* item = FTree->currentItem();
    return item ? item->data(0, NameRole).toString() : QString();
}

void TVariablesPanel::SelectVariable(const QString& name) {
    if (auto* item = ItemOf(name))
        FTree->setCurrentItem(item);
}

bool TVariablesPanel::AddVariable(const QString& name, const QString& value) {
    if (!FProject)
        return false;
    std::string text = name.toStdString();
    if (!TVariables::IsValidName(text)) {
        Report(tr("\"%1\" is not a valid variable name: use letters, digits, '_', '.' and '-'").arg(name),
               true);
        return false;
    }
    if (std::any_of(FProject->Variables.begin(), FProject->Variables.end(),
                    [&](const auto& variable) { return variable.first == text; })) {
        Report(tr("A variable named \"%1\" is already declared").arg(name), true);
        return false;
    }
    FProject->Variables.emplace_back(text, value.toStdString());
    Report({}, false);
    Refresh();
    SelectVariable(name);
    emit ProjectChanged();
    return true;
}

bool TVariablesPanel::RenameVariable(const QString& oldName, const QString& newName) {
    if (!FProject || oldName.isEmpty())
        return false;
    int count = 0;
    try {
        count = quillate::RenameVariable(*FProject, oldName.toStdString(), newName.toStdString());
    } catch (const std::exception& e) {
        Report(ToQt(e.what()), true);
        return false;
    }
    Report(tr("Renamed \"%1\" to \"%2\": %n reference(s) changed", nullptr, count).arg(oldName, newName),
           false);
    Refresh();
    SelectVariable(newName);
    emit ProjectChanged();
    return true;
}

void TVariablesPanel::RemoveVariable(const QString& name) {
    if (!FProject)
        return;
    auto& variables = FProject->Variables;
    auto found = std::find_if(variables.begin(), variables.end(),
                              [&](const auto& variable) { return variable.first == name.toStdString(); });
    if (found == variables.end())
        return;
    variables.erase(found);
    Refresh();
    emit ProjectChanged();
}

void TVariablesPanel::AskAdd() {
    bool ok = false;
    QString name = QInputDialog::getText(this, tr("Add Variable"), tr("Name:"), QLineEdit::Normal, {}, &ok);
    if (ok && AddVariable(name.trimmed(), {}))
        FTree->editItem(ItemOf(name.trimmed()), 1);
}

void TVariablesPanel::AskRename() {
    QString old = SelectedVariable();
    if (old.isEmpty())
        return;
    bool ok = false;
    QString name = QInputDialog::getText(this, tr("Rename Variable"), tr("New name for \"%1\":").arg(old),
                                         QLineEdit::Normal, old, &ok);
    if (ok)
        RenameVariable(old, name.trimmed());
}

void TVariablesPanel::ValueEdited(QTreeWidgetItem* item, int column) {
    if (FReading || !FProject || column != 1 || item->parent())
        return;
    std::string name = item->data(0, NameRole).toString().toStdString();
    for (auto& [variable, value] : FProject->Variables)
        if (variable == name && value != item->text(1).toStdString()) {
            value = item->text(1).toStdString();
            emit ProjectChanged();
        }
}

QString TVariablesPanel::StatusText() const {
    return FStatus->text();
}

void TVariablesPanel::Report(const QString& text, bool error) {
    FStatus->setStyleSheet(error ? "color: #b00020" : QString());
    FStatus->setText(text);
}

} // namespace quillate::designer
