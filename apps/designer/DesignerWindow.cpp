#include "DesignerWindow.h"

#include <QAction>
#include <QDockWidget>
#include <QFileDialog>
#include <QHeaderView>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QTabWidget>
#include <QToolBar>
#include <QTreeWidget>

#include <functional>
#include <map>

#include <fmt/format.h>

#include "DesignProject.h"
#include "DesignerHost.h"
#include "FindReplaceDialog.h"
#include "OptionsDialog.h"
#include "PropertyDialog.h"
#include "PropertyInspector.h"
#include "RunPanel.h"
#include "VariablesPanel.h"
#include "host/Options.h"
#include "host/Registration.h"
#include "host/VariableUsage.h"

namespace quillate::designer {

namespace {

constexpr int PointerRole = Qt::UserRole;

QString ToQt(const std::string& text) { return QString::fromStdString(text); }

template <class T>
T* PointerOf(const QTreeWidgetItem* item) {
    return item ? reinterpret_cast<T*>(item->data(0, PointerRole).value<quintptr>()) : nullptr;
}

std::string ImageOf(const TMetaClass& cls) {
    for (const auto& registration : ActionService().Actions())
        if (registration.Class == &cls)
            return registration.Image;
    return {};
}

} // namespace

TDesignerWindow::TDesignerWindow(QString optionsFile, QWidget* parent)
    : QMainWindow(parent), FProject(std::make_unique<TProject>()), FOptionsFile(std::move(optionsFile)),
      FPalette(new QTreeWidget(this)), FTree(new QTreeWidget(this)), FProblems(new QListWidget(this)),
      FBottom(new QTabWidget(this)), FRun(new TRunPanel(this)), FInspector(new TPropertyInspector(this)),
      FVariables(new TVariablesPanel(this)) {
    if (!FOptionsFile.isEmpty())
        OptionsService().Open(FOptionsFile.toStdString());

    FPalette->setHeaderLabel(tr("Actions"));
    FPalette->setIconSize(QSize(16, 16));
    BuildPalette();
    connect(FPalette, &QTreeWidget::itemDoubleClicked, this, [this] { AddFromPalette(false); });

    FTree->setHeaderLabels({tr("Action"), tr("Description")});
    FTree->setIconSize(QSize(16, 16));
    FTree->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    connect(FTree, &QTreeWidget::itemDoubleClicked, this, [this] { EditSelected(); });
    connect(FTree, &QTreeWidget::currentItemChanged, this, [this] { ShowInInspector(); });
    connect(FInspector, &TPropertyInspector::Changed, this, [this] {
        TextsChanged();
        ProjectEdited();
    });
    // The panel shows its own change already; the rest of the window follows it.
    connect(FVariables, &TVariablesPanel::ProjectChanged, this, [this] {
        TextsChanged();
        ShowInInspector();
        SetModified(true);
        UpdateProblems();
    });
    connect(FVariables, &TVariablesPanel::ShowAction, this, [this](const TZRAction* action) { SelectAction(action); });
    connect(FVariables, &TVariablesPanel::FindReplaceRequested, this, [this] { FindReplace(); });
    FVariables->SetProject(FProject.get());
    // A problem leads to its action.
    connect(FProblems, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem* item) {
        SelectAction(reinterpret_cast<const TZRAction*>(item->data(PointerRole).value<quintptr>()));
    });

    FProblems->setIconSize(QSize(16, 16));
    FProblems->setWordWrap(true);
    FBottom->addTab(FRun, tr("Run"));
    FBottom->addTab(FProblems, tr("Problems"));
    auto* right = new QSplitter(Qt::Vertical, this);
    right->addWidget(FTree);
    right->addWidget(FBottom);
    right->setStretchFactor(0, 3);
    right->setStretchFactor(1, 2);
    auto* main = new QSplitter(Qt::Horizontal, this);
    main->addWidget(FPalette);
    main->addWidget(right);
    main->setStretchFactor(1, 1);
    main->setSizes({240, 660});
    setCentralWidget(main);
    auto dock = [this](QWidget* content, const QString& title, const QString& name) {
        auto* widget = new QDockWidget(title, this);
        widget->setObjectName(name);
        widget->setWidget(content);
        widget->setFeatures(QDockWidget::DockWidgetMovable | QDockWidget::DockWidgetFloatable);
        addDockWidget(Qt::RightDockWidgetArea, widget);
        return widget;
    };
    QDockWidget* properties = dock(FInspector, tr("Properties"), "properties");
    QDockWidget* variables = dock(FVariables, tr("Variables"), "variables");
    splitDockWidget(properties, variables, Qt::Vertical);
    resizeDocks({properties}, {460}, Qt::Horizontal);
    resizeDocks({properties, variables}, {3, 2}, Qt::Vertical);

    auto* file = menuBar()->addMenu(tr("&File"));
    auto* tools = addToolBar(tr("Project"));
    tools->setToolButtonStyle(Qt::ToolButtonTextOnly);
    auto add = [this, tools](QMenu* menu, const QString& text, auto slot, QKeySequence key = {}) {
        QAction* action = menu->addAction(text, this, slot);
        action->setShortcut(key);
        tools->addAction(action);
        return action;
    };
    add(file, tr("&New"), [this] { NewProject(); }, QKeySequence::New);
    add(file, tr("&Open..."), [this] { OpenWithDialog(); }, QKeySequence::Open);
    add(file, tr("&Save"), [this] { SaveWithDialog(false); }, QKeySequence::Save);
    file->addAction(tr("Save &As..."), this, [this] { SaveWithDialog(true); });
    add(file, tr("O&ptions..."), [this] { EditOptions(); });
    file->addAction(tr("&Quit"), this, &QWidget::close);
    tools->addSeparator();
    auto* edit = menuBar()->addMenu(tr("&Action"));
    add(edit, tr("&Add"), [this] { AddFromPalette(false); });
    add(edit, tr("Add &Child"), [this] { AddFromPalette(true); });
    add(edit, tr("&Remove"), [this] { RemoveSelected(); });
    add(edit, tr("Move &Up"), [this] { MoveSelected(-1); });
    add(edit, tr("Move &Down"), [this] { MoveSelected(1); });
    add(edit, tr("&Properties..."), [this] { EditSelected(); });
    add(edit, tr("&Find and Replace..."), [this] { FindReplace(); }, QKeySequence(Qt::CTRL | Qt::Key_H));
    tools->addSeparator();
    auto* run = menuBar()->addMenu(tr("&Run"));
    add(run, tr("R&un"), [this] { RunProject(); }, QKeySequence(Qt::Key_F9));
    add(run, tr("&Stop"), [this] { FRun->Stop(); });
    connect(FRun, &TRunPanel::Started, FBottom, [this] { FBottom->setCurrentWidget(FRun); });

    resize(1280, 760);
    UpdateTitle();
}

TDesignerWindow::~TDesignerWindow() = default;

void TDesignerWindow::BuildPalette() {
    std::map<std::string, QTreeWidgetItem*> categories;
    for (const auto& registration : ActionService().Actions()) {
        QTreeWidgetItem*& category = categories[registration.Category];
        if (!category) {
            category = new QTreeWidgetItem(FPalette, {ToQt(registration.Category)});
            category->setFlags(Qt::ItemIsEnabled);
        }
        auto action = std::dynamic_pointer_cast<TZRAction>(registration.Class->Create());
        auto* item = new QTreeWidgetItem(category, {ToQt(action ? action->GetActionName() : registration.Class->ClassName())});
        item->setIcon(0, PaletteIcon(registration.Image));
        item->setData(0, PointerRole, QVariant::fromValue(reinterpret_cast<quintptr>(registration.Class)));
    }
    FPalette->expandAll();
}

void TDesignerWindow::BuildActions() {
    FTree->clear();
    AddTreeItems(nullptr, FProject->Actions);
    FTree->expandAll();
    // Clearing the tree leaves no current item without saying so; the inspector lets go of its action.
    ShowInInspector();
}

void TDesignerWindow::AddTreeItems(QTreeWidgetItem* parent, const std::vector<std::shared_ptr<TZRAction>>& actions) {
    for (const auto& action : actions) {
        QStringList columns{ToQt(action->GetActionName()), ToQt(action->GetFormattedDescription())};
        auto* item = parent ? new QTreeWidgetItem(parent, columns) : new QTreeWidgetItem(FTree, columns);
        item->setIcon(0, PaletteIcon(ImageOf(action->GetClass())));
        item->setData(0, PointerRole, QVariant::fromValue(reinterpret_cast<quintptr>(action.get())));
        if (!action->Enabled())
            item->setForeground(0, palette().color(QPalette::Disabled, QPalette::Text));
        AddTreeItems(item, action->ChildActions());
    }
}

void TDesignerWindow::TextsChanged() {
    for (QTreeWidgetItemIterator it(FTree); *it; ++it)
        if (const auto* action = PointerOf<TZRAction>(*it))
            (*it)->setText(1, ToQt(action->GetFormattedDescription()));
}

void TDesignerWindow::ShowInInspector() {
    TDesignProject project(*FProject);
    FInspector->SetAction(SelectedAction(), &project);
}

void TDesignerWindow::ProjectEdited() {
    SetModified(true);
    UpdateProblems();
    FVariables->Refresh();
}

void TDesignerWindow::Refresh() {
    TZRAction* selected = SelectedAction();
    BuildActions();
    SelectAction(selected);
}

TZRAction* TDesignerWindow::SelectedAction() const { return PointerOf<TZRAction>(FTree->currentItem()); }

void TDesignerWindow::SelectAction(const TZRAction* action) {
    for (QTreeWidgetItemIterator it(FTree); *it; ++it)
        if (PointerOf<TZRAction>(*it) == action) {
            FTree->setCurrentItem(*it);
            return;
        }
}

TZRAction* TDesignerWindow::AddAction(const TMetaClass& cls, bool asChild) {
    auto action = std::dynamic_pointer_cast<TZRAction>(cls.Create());
    if (!action)
        return nullptr;
    TZRAction* selected = SelectedAction();
    TActionPlace place = FindActionPlace(*FProject, selected);
    if (asChild && selected)
        selected->ChildActions().push_back(action);
    else if (place.List)
        place.List->insert(place.List->begin() + static_cast<std::ptrdiff_t>(place.Index) + 1, action);
    else
        FProject->Actions.push_back(action);
    BuildActions();
    SelectAction(action.get());
    ProjectEdited();
    return action.get();
}

void TDesignerWindow::RemoveSelected() {
    TActionPlace place = FindActionPlace(*FProject, SelectedAction());
    if (!place.List)
        return;
    place.List->erase(place.List->begin() + static_cast<std::ptrdiff_t>(place.Index));
    // The neighbour that moves into the removed place takes the selection.
    const TZRAction* next = place.List->empty() ? nullptr
                                                : (*place.List)[std::min(place.Index, place.List->size() - 1)].get();
    BuildActions();
    SelectAction(next);
    ProjectEdited();
}

void TDesignerWindow::MoveSelected(int delta) {
    TZRAction* selected = SelectedAction();
    TActionPlace place = FindActionPlace(*FProject, selected);
    auto target = static_cast<std::ptrdiff_t>(place.Index) + delta;
    if (!place.List || target < 0 || target >= static_cast<std::ptrdiff_t>(place.List->size()))
        return;
    std::swap((*place.List)[place.Index], (*place.List)[static_cast<std::size_t>(target)]);
    BuildActions();
    SelectAction(selected);
    ProjectEdited();
}

void TDesignerWindow::AddFromPalette(bool asChild) {
    if (const auto* cls = PointerOf<const TMetaClass>(FPalette->currentItem()))
        AddAction(*cls, asChild);
}

void TDesignerWindow::EditSelected() {
    TZRAction* action = SelectedAction();
    if (!action)
        return;
    TDesignProject project(*FProject);
    TPropertyDialog dialog(*action, project, this);
    if (dialog.exec() == QDialog::Accepted) {
        Refresh();
        ProjectEdited();
    }
}

void TDesignerWindow::EditOptions() {
    TOptionsDialog dialog(this);
    dialog.exec();
}

void TDesignerWindow::NewProject() {
    FInspector->SetAction(nullptr);
    FProject = std::make_unique<TProject>();
    FFileName.clear();
    FProblems->clear();
    FVariables->SetProject(FProject.get());
    BuildActions();
    SetModified(false);
}

bool TDesignerWindow::OpenProject(const QString& path, QString* error) {
    try {
        auto project = std::make_unique<TProject>(TProject::LoadFromFile(path.toStdString()));
        FInspector->SetAction(nullptr);
        FProject = std::move(project);
    } catch (const std::exception& e) {
        if (error)
            *error = QString::fromStdString(e.what());
        return false;
    }
    FFileName = path;
    FVariables->SetProject(FProject.get());
    BuildActions();
    UpdateProblems();
    SetModified(false);
    return true;
}

bool TDesignerWindow::SaveProject(const QString& path, QString* error) {
    UpdateProblems();
    try {
        FProject->SaveToFile(path.toStdString());
    } catch (const std::exception& e) {
        if (error)
            *error = QString::fromStdString(e.what());
        return false;
    }
    FFileName = path;
    SetModified(false);
    statusBar()->showMessage(FProblems->count() ? tr("Saved; %1 problem(s) found, see Problems").arg(FProblems->count())
                                                : tr("Saved"));
    return true;
}

void TDesignerWindow::UpdateProblems() {
    std::map<std::string, const TZRAction*> actions;
    for (const auto& [where, action] : FProject->ActionPlaces())
        actions[where] = action;
    auto add = [this](QStyle::StandardPixmap icon, const std::string& text, const TZRAction* action) {
        auto* item = new QListWidgetItem(style()->standardIcon(icon), ToQt(text), FProblems);
        item->setData(PointerRole, QVariant::fromValue(reinterpret_cast<quintptr>(action)));
    };
    FProblems->clear();
    for (const auto& problem : FProject->Validate())
        add(QStyle::SP_MessageBoxCritical,
            fmt::format("{} ({}): {}: {}", problem.Where, problem.Action, problem.Error.Property, problem.Error.Message),
            actions[problem.Where]);
    for (const auto& warning : VariableWarnings(*FProject))
        add(QStyle::SP_MessageBoxWarning, warning.Text, warning.Action);
}

void TDesignerWindow::FindReplace() {
    TFindReplaceDialog dialog(*FProject, this);
    connect(&dialog, &TFindReplaceDialog::ShowAction, this, [this](const TZRAction* action) { SelectAction(action); });
    connect(&dialog, &TFindReplaceDialog::Replaced, this, [this] {
        TextsChanged();
        ShowInInspector();
        ProjectEdited();
    });
    dialog.exec();
}

QStringList TDesignerWindow::Problems() const {
    QStringList lines;
    for (int i = 0; i < FProblems->count(); ++i)
        lines << FProblems->item(i)->text();
    return lines;
}

bool TDesignerWindow::RunProject() {
    if (FRun->IsRunning())
        return false;
    if ((FModified || FFileName.isEmpty()) && !SaveWithDialog(false))
        return false;
    FRun->Start(FFileName, FOptionsFile);
    return true;
}

void TDesignerWindow::OpenWithDialog() {
    QString path = QFileDialog::getOpenFileName(this, tr("Open Project"), {}, tr("Projects (*.json);;All Files (*)"));
    QString error;
    if (!path.isEmpty() && !OpenProject(path, &error))
        QMessageBox::warning(this, tr("Open Project"), error);
}

bool TDesignerWindow::SaveWithDialog(bool askName) {
    QString path = FFileName;
    if (askName || path.isEmpty())
        path = QFileDialog::getSaveFileName(this, tr("Save Project"), path, tr("Projects (*.json);;All Files (*)"));
    if (path.isEmpty())
        return false;
    QString error;
    if (!SaveProject(path, &error)) {
        QMessageBox::warning(this, tr("Save Project"), error);
        return false;
    }
    return true;
}

void TDesignerWindow::SetModified(bool modified) {
    FModified = modified;
    UpdateTitle();
}

void TDesignerWindow::UpdateTitle() {
    QString name = FFileName.isEmpty() ? tr("untitled") : FFileName;
    setWindowTitle(tr("%1%2 - Quillate Designer").arg(name, FModified ? "*" : ""));
}

} // namespace quillate::designer
