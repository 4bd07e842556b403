#include "pages/common/ScriptGrid.h"

#include "host/Action.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QMenu>
#include <QVBoxLayout>
#include <stdexcept>

namespace zr::pages {

using quillate::TSerializableObject;

std::shared_ptr<TSerializableObject> CopyObject(const TSerializableObject& object) {
    auto copy = std::dynamic_pointer_cast<TSerializableObject>(object.GetClass().Create());
    if (!copy)
        throw std::logic_error(object.ClassName() + " cannot be copied");
    for (const auto& property : object.Properties().Properties())
        if (property.Stored)
            copy->SetPropertyValue(property.Name, object.GetPropertyValue(property.Name));
    return copy;
}

QString YesNo(bool value) {
    return value ? "Yes" : "No";
}

TScriptGrid::TScriptGrid(QWidget* parent, const QStringList& columns, std::vector<TKind> kinds,
                         std::string itemClass, TCells cells, TEditor editor)
    : QWidget(parent), FKinds(std::move(kinds)), FItemClass(std::move(itemClass)), FCells(std::move(cells)),
      FEditor(std::move(editor)), FTable(new QTableWidget(this)) {
    FTable->setColumnCount(static_cast<int>(columns.size()) + 1);
    FTable->setHorizontalHeaderLabels(QStringList(columns) << "Enabled");
    FTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    FTable->setSelectionMode(QAbstractItemView::SingleSelection);
    FTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    FTable->horizontalHeader()->setStretchLastSection(true);
    FTable->setAccessibleName("Script");

    auto* add = new QPushButton("Add", this);
    if (FKinds.size() > 1) {
        auto* menu = new QMenu(add);
        for (std::size_t i = 0; i < FKinds.size(); ++i)
            menu->addAction(FKinds[i].Caption, this, [this, i] { AddItem(i); });
        add->setMenu(menu);
    } else {
        connect(add, &QPushButton::clicked, this, [this] { AddItem(0); });
    }
    auto* edit = new QPushButton("Edit", this);
    auto* remove = new QPushButton("Delete", this);
    auto* up = new QPushButton("Move Up", this);
    auto* down = new QPushButton("Move Down", this);
    connect(edit, &QPushButton::clicked, this, [this] { EditItem(SelectedRow()); });
    connect(FTable, &QTableWidget::cellDoubleClicked, this, [this](int row, int) { EditItem(row); });
    connect(remove, &QPushButton::clicked, this, [this] { DeleteItem(SelectedRow()); });
    connect(up, &QPushButton::clicked, this, [this] { MoveItem(SelectedRow(), -1); });
    connect(down, &QPushButton::clicked, this, [this] { MoveItem(SelectedRow(), +1); });

    auto* buttons = new QVBoxLayout;
    for (auto* button : {add, edit, remove, up, down})
        buttons->addWidget(button);
    buttons->addStretch();
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(FTable, 1);
    layout->addLayout(buttons);
}

void TScriptGrid::Read(const TSerializableObject& owner) {
    quillate::TSerializableList children;
    owner.GetChildren(children);
    FItems.clear();
    for (const auto& child : children)
        if (child && child->GetClass().InheritsFrom(FItemClass))
            FItems.push_back(CopyObject(*child));
    Refresh();
}

void TScriptGrid::Write(TSerializableObject& owner) const {
    owner.ClearChildren();
    for (const auto& item : FItems)
        owner.AddChildObject(CopyObject(*item));
}

bool TScriptGrid::AddItem(std::size_t kind) {
    const auto* meta = quillate::TSerializationRegistry::Find(FKinds.at(kind).StoredType);
    auto item = meta ? std::dynamic_pointer_cast<TSerializableObject>(meta->Create()) : nullptr;
    if (!item)
        throw std::logic_error("no stored class " + FKinds.at(kind).StoredType);
    if (!FEditor(this, *item))
        return false;
    FItems.push_back(std::move(item));
    Refresh();
    FTable->selectRow(FTable->rowCount() - 1);
    return true;
}

bool TScriptGrid::EditItem(int row) {
    if (row < 0 || row >= static_cast<int>(FItems.size()))
        return false;
    auto copy = CopyObject(*FItems[static_cast<std::size_t>(row)]);
    if (!FEditor(this, *copy))
        return false;
    FItems[static_cast<std::size_t>(row)] = std::move(copy);
    Refresh();
    FTable->selectRow(row);
    return true;
}

void TScriptGrid::DeleteItem(int row) {
    if (row < 0 || row >= static_cast<int>(FItems.size()))
        return;
    FItems.erase(FItems.begin() + row);
    Refresh();
    if (!FItems.empty())
        FTable->selectRow(std::min(row, static_cast<int>(FItems.size()) - 1));
}

void TScriptGrid::MoveItem(int row, int delta) {
    const int target = row + delta;
    if (row < 0 || target < 0 || row >= static_cast<int>(FItems.size()) ||
        target >= static_cast<int>(FItems.size()))
        return;
    std::swap(FItems[static_cast<std::size_t>(row)], FItems[static_cast<std::size_t>(target)]);
    Refresh();
    FTable->selectRow(target);
}

void TScriptGrid::Refresh() {
    FTable->setRowCount(static_cast<int>(FItems.size()));
    for (int row = 0; row < FTable->rowCount(); ++row) {
        const auto& item = *FItems[static_cast<std::size_t>(row)];
        QStringList texts = FCells(item);
        texts << YesNo(std::get<bool>(item.GetPropertyValue("Enabled")));
        for (int column = 0; column < texts.size(); ++column)
            FTable->setItem(row, column, new QTableWidgetItem(texts[column]));
    }
}

int TScriptGrid::SelectedRow() const {
    const auto rows = FTable->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

TScriptPage::TScriptPage(QWidget* owner, const QStringList& columns, std::vector<TScriptGrid::TKind> kinds,
                         std::string itemClass, TScriptGrid::TCells cells, TScriptGrid::TEditor editor)
    : TPropertyPage(owner),
      FGrid(new TScriptGrid(this, columns, std::move(kinds), std::move(itemClass), std::move(cells),
                            std::move(editor))) {
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(FGrid);
}

void TScriptPage::ReadActionData(const quillate::TZRAction& action) { FGrid->Read(action); }

void TScriptPage::WriteActionData(quillate::TZRAction& action) { FGrid->Write(action); }

} // namespace zr::pages
