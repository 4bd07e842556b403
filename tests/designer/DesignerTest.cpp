// The designer driven as a user drives it, offscreen: the property dialog of every registered action
// class, the property inspector, the variables, find and replace, the options dialog, tree edits,
// saving, a run against a real FTP server, and screenshots. The end-to-end test runs in a real window
// under Xvfb: a project built from nothing, run from the designer and from the command line.
#include <QAbstractSpinBox>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QDockWidget>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "DesignProject.h"
#include "DesignerHost.h"
#include "DesignerWindow.h"
#include "FindReplaceDialog.h"
#include "OptionsDialog.h"
#include "PropertyDialog.h"
#include "PropertyForm.h"
#include "PropertyInspector.h"
#include "RunPanel.h"
#include "VariablesPanel.h"
#include "host/CryptoUtils.h"
#include "host/Options.h"
#include "host/Registration.h"
#include "host/VariableUsage.h"
#include "host/Variables.h"
#include "support/FTPServerFixture.h"
#include "support/SMTPServerFixture.h"

namespace {

using namespace quillate;
using namespace quillate::designer;
using namespace quillate::testing;
using json = nlohmann::ordered_json;
namespace fs = std::filesystem;

void StartDesigner() {
    static int argc = 1;
    static char name[] = "designer_tests";
    static char* argv[] = {name, nullptr};
    // Never destroyed: at exit the libraries that made its widgets may already be gone.
    [[maybe_unused]] static auto* app = new QApplication(argc, argv);
    LoadDesignerPackages();
}

// A value of the property's kind other than its initial one.
TPropertyValue OtherValue(const TPropertyInfo& info, const TPropertyValue& initial) {
    if (!info.EncryptionKey.empty())
        return EncryptString("x1", info.EncryptionKey);
    switch (info.Kind) {
    case TPropertyKind::Boolean: return !std::get<bool>(initial);
    case TPropertyKind::Enum: {
        auto last = static_cast<std::int64_t>(info.Enum->Values.size()) - 1;
        return std::get<std::int64_t>(initial) == last ? std::int64_t{0} : last;
    }
    case TPropertyKind::StringList: return TStringList{"x1", "x2"};
    case TPropertyKind::Double: return std::get<double>(initial) == 1.5 ? 2.5 : 1.5;
    case TPropertyKind::Int32:
    case TPropertyKind::UInt32:
    case TPropertyKind::Int64: return std::int64_t{std::get<std::int64_t>(initial) == 7 ? 8 : 7};
    default: return std::string("x1");
    }
}

// A project of one action of the class whose every stored property differs from its initial value
// (where the class accepts the value), as the host writes it.
std::string ProjectOfChangedAction(const TMetaClass& cls) {
    TProject project;
    auto action = std::dynamic_pointer_cast<TZRAction>(cls.Create());
    for (const auto& info : action->Properties().Properties()) {
        if (!info.Stored)
            continue;
        try {
            info.Set(*action, OtherValue(info, info.Get(*action)));
        } catch (const std::exception&) {
            // The class refuses that value; the property keeps its initial one.
        }
    }
    project.Actions.push_back(action);
    return project.ToJson();
}

// Every leaf of an action's stored form by its path, arrays of plain values counting as one leaf.
void Flatten(const json& node, const std::string& path, std::map<std::string, json>& leaves) {
    if (node.is_object())
        for (const auto& item : node.items())
            Flatten(item.value(), path + "." + item.key(), leaves);
    else if (node.is_array() && !node.empty() && node.front().is_structured())
        for (std::size_t i = 0; i < node.size(); ++i)
            Flatten(node[i], path + "[" + std::to_string(i) + "]", leaves);
    else
        leaves[path] = node;
}

std::vector<std::string> ChangedPaths(const std::string& before, const std::string& after) {
    std::map<std::string, json> a, b;
    Flatten(json::parse(before), "", a);
    Flatten(json::parse(after), "", b);
    std::vector<std::string> changed;
    for (const auto& [path, value] : a)
        if (!b.count(path) || b[path] != value)
            changed.push_back(path);
    for (const auto& [path, value] : b)
        if (!a.count(path))
            changed.push_back(path);
    return changed;
}

bool IsPartOfAnotherControl(const QWidget* widget) {
    return qobject_cast<QAbstractSpinBox*>(widget->parent()) || qobject_cast<QComboBox*>(widget->parent());
}

// Changes the first enabled line edit, check box, spin box or combo box of the page; false when it
// has none.
bool ChangeFirstControl(QWidget* page) {
    for (QWidget* widget : page->findChildren<QWidget*>()) {
        if (!widget->isEnabled())
            continue;
        if (auto* edit = qobject_cast<QLineEdit*>(widget); edit && !edit->isReadOnly() && !IsPartOfAnotherControl(edit)) {
            edit->setText(edit->text() + "7");
            return true;
        }
        if (auto* check = qobject_cast<QCheckBox*>(widget)) {
            check->toggle();
            return true;
        }
        if (auto* spin = qobject_cast<QAbstractSpinBox*>(widget)) {
            QString before = spin->text();
            spin->stepBy(-1);
            if (spin->text() == before)
                spin->stepBy(1);
            return true;
        }
        if (auto* combo = qobject_cast<QComboBox*>(widget); combo && combo->count() > 1) {
            combo->setCurrentIndex((combo->currentIndex() + 1) % combo->count());
            return true;
        }
    }
    return false;
}

// Answers the next modal dialog once it shows; the call that opened it returns when `answer` closed it.
void WhenModal(std::function<void(QWidget*)> answer, int tries = 500) {
    QTimer::singleShot(tries == 500 ? 0 : 20, [answer = std::move(answer), tries]() mutable {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            // A real window takes input once the X server has shown it.
            EXPECT_TRUE(QTest::qWaitForWindowExposed(modal));
            answer(modal);
        }
        else if (tries > 0)
            WhenModal(std::move(answer), tries - 1);
        else
            ADD_FAILURE() << "no dialog opened";
    });
}

void Press(QWidget* dialog, QDialogButtonBox::StandardButton which) {
    for (auto* box : dialog->findChildren<QDialogButtonBox*>())
        if (QPushButton* button = box->button(which)) {
            QTest::mouseClick(button, Qt::LeftButton);
            return;
        }
    ADD_FAILURE() << "no such button";
}

// The field a form shows beside `label` ("Host:"), or the button with that text.
template <class T = QWidget>
T* Field(QWidget* parent, const QString& label) {
    for (auto* text : parent->findChildren<QLabel*>())
        if (text->text() == label && text->buddy())
            return qobject_cast<T*>(text->buddy());
    for (auto* button : parent->findChildren<QAbstractButton*>())
        if (button->text() == label)
            return qobject_cast<T*>(button);
    ADD_FAILURE() << "no field " << label.toStdString();
    return nullptr;
}

// A check box takes a click on its box or its text, not on the rest of its row.
void ClickCheckBox(QWidget* box) { QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2)); }

// What a person does to replace a field's text: select all, type.
void TypeOver(QWidget* field, const QString& text) {
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(field, text);
}

// Types over the line edit (of that object name) of the next modal dialog and presses Enter.
void AnswerWithLine(const QString& text, const QString& editName = QString()) {
    WhenModal([=](QWidget* dialog) {
        auto* edit = dialog->findChild<QLineEdit*>(editName);
        ASSERT_NE(edit, nullptr) << dialog->metaObject()->className();
        TypeOver(edit, text);
        QTest::keyClick(edit, Qt::Key_Return);
    });
}

// Clicks reach only what is on screen (offscreen, in the tests that need no real window).
void Show(QWidget& window) {
    window.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
}

void DoubleClick(QTreeWidget* tree, QTreeWidgetItem* item, int column = 0) {
    tree->scrollToItem(item);
    QPoint point(tree->header()->sectionViewportPosition(column) + 4, tree->visualItemRect(item).center().y());
    // A view takes a double-click only on the item its first click pressed.
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, point);
    QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {}, point);
}

// Enter in an item view's editor: the view takes the value once the key was handled.
void PressEnter(QWidget* editor) {
    QTest::keyClick(editor, Qt::Key_Return);
    QCoreApplication::processEvents();
}

// The editor open in a view's cell, or nullptr.
QWidget* CellEditor(QAbstractItemView* view) {
    for (auto* child : view->viewport()->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
        if (child->isVisible())
            return child;
    return nullptr;
}

// Double-clicks an inspector row; its inline editor, or nullptr when the row toggles or opens a dialog.
QWidget* OpenRowEditor(TPropertyInspector& inspector, const std::string& path) {
    QTreeWidgetItem* item = inspector.ItemOf(path);
    if (!item) {
        ADD_FAILURE() << "no row " << path;
        return nullptr;
    }
    DoubleClick(inspector.Tree(), item);
    return CellEditor(inspector.Tree());
}

// Types over an inspector row's text (the editable line of a combo box) and presses Enter.
void TypeInRow(TPropertyInspector& inspector, const std::string& path, const QString& text) {
    QWidget* editor = OpenRowEditor(inspector, path);
    ASSERT_NE(editor, nullptr) << path;
    auto* combo = qobject_cast<QComboBox*>(editor);
    TypeOver(combo && combo->lineEdit() ? combo->lineEdit() : editor, text);
    PressEnter(editor);
}

// Picks a choice of an inspector row's drop-down.
void ChooseInRow(TPropertyInspector& inspector, const std::string& path, const QString& text) {
    auto* combo = qobject_cast<QComboBox*>(OpenRowEditor(inspector, path));
    ASSERT_NE(combo, nullptr) << path;
    ASSERT_GE(combo->findText(text), 0) << text.toStdString();
    while (combo->currentText() != text)
        QTest::keyClick(combo, combo->currentIndex() < combo->findText(text) ? Qt::Key_Down : Qt::Key_Up);
    PressEnter(combo);
}

class DesignerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { StartDesigner(); }
    void SetUp() override { OptionsService().Open(FTemp.Path() / "options.json"); }

    // Opens the file in a fresh window, lets `edit` work on the first action's property dialog, presses
    // OK and saves; returns what was saved.
    std::string EditAndSave(const fs::path& file, const std::function<void(TPropertyDialog&)>& edit) {
        TDesignerWindow window;
        EXPECT_TRUE(window.OpenProject(QString::fromStdString(file.string())));
        TDesignProject project(window.Project());
        TPropertyDialog dialog(*window.Project().Actions.at(0), project);
        edit(dialog);
        EXPECT_TRUE(dialog.Apply());
        fs::path saved = FTemp.Path() / "saved.json";
        EXPECT_TRUE(window.SaveProject(QString::fromStdString(saved.string())));
        return ReadTextFile(saved);
    }

    TTempDir FTemp{"designer"};
};

TEST_F(DesignerTest, EveryActionDialogKeepsAnUntouchedProjectAndChangesOnePropertyPerPageEdit) {
    for (const auto& registration : ActionService().Actions()) {
        SCOPED_TRACE(registration.Class->StoredType());
        std::string original = ProjectOfChangedAction(*registration.Class);
        fs::path file = FTemp.Path() / "project.json";
        WriteTextFile(file, original);
        int tabs = 0;
        EXPECT_EQ(EditAndSave(file, [&](TPropertyDialog& dialog) { tabs = dialog.Tabs()->count(); }), original);
        for (int tab = 0; tab < tabs; ++tab) {
            bool changed = false;
            QString caption;
            std::string saved = EditAndSave(file, [&](TPropertyDialog& dialog) {
                caption = dialog.Tabs()->tabText(tab);
                changed = ChangeFirstControl(dialog.Tabs()->widget(tab));
            });
            SCOPED_TRACE(caption.toStdString());
            if (changed) {
                EXPECT_EQ(ChangedPaths(original, saved).size(), 1u) << saved;
            }
        }
    }
}

TEST_F(DesignerTest, ExampleProjectsAndEditedTreesSaveAsTheHostWritesThem) {
    for (const auto& entry : fs::directory_iterator(fs::path(SOURCE_DIR) / "examples")) {
        SCOPED_TRACE(entry.path().filename().string());
        EXPECT_EQ(EditAndSave(entry.path(), [](TPropertyDialog&) {}), ReadTextFile(entry.path()));
    }

    TDesignerWindow window;
    ASSERT_TRUE(window.OpenProject(SOURCE_DIR "/examples/demo.json"));
    TDesignProject demo(window.Project());
    EXPECT_EQ(demo.ProjectObjectNames("FTPConnection"), TStringList{"Demo"});
    EXPECT_EQ(demo.VariableNames(), (TStringList{"FTPHost", "FTPUser", "DemoLocal"}));
    window.NewProject();
    int paletteEntries = 0;
    for (QTreeWidgetItemIterator it(window.Palette(), QTreeWidgetItemIterator::NoChildren); *it; ++it)
        paletteEntries += !(*it)->icon(0).isNull() && !(*it)->text(0).isEmpty();
    EXPECT_EQ(paletteEntries, static_cast<int>(ActionService().Actions().size()));

    // Each step works on the selection the previous one left; the tree reads as types, children in
    // brackets.
    auto cls = [](const char* type) { return ActionService().FindAction(type); };
    auto shape = [&window] {
        std::function<std::string(const TActionList&)> describe = [&](const TActionList& list) {
            std::string text;
            for (const auto& a : list)
                text += " " + a->GetClass().StoredType().substr(11) +
                        (a->ChildActions().empty() ? "" : " [" + describe(a->ChildActions()) + " ]");
            return text;
        };
        return describe(window.Project().Actions);
    };
    const std::pair<std::function<void()>, std::string> steps[] = {
        {[&] { window.AddAction(*cls("action.ftp.connect")); }, " connect"},
        {[&] { window.AddAction(*cls("action.ftp.disconnect")); }, " connect disconnect"},
        {[&] { window.SelectAction(window.Project().Actions[0].get()); }, " connect disconnect"},
        {[&] { window.AddAction(*cls("action.ftp.noop")); }, " connect noop disconnect"},
        {[&] { window.AddAction(*cls("action.ftp.changeup"), true); }, " connect noop [ changeup ] disconnect"},
        {[&] { window.SelectAction(window.Project().Actions[1].get()); }, " connect noop [ changeup ] disconnect"},
        {[&] { window.MoveSelected(1); }, " connect disconnect noop [ changeup ]"},
        {[&] { window.MoveSelected(1); }, " connect disconnect noop [ changeup ]"},
        {[&] { window.MoveSelected(-1); }, " connect noop [ changeup ] disconnect"},
        {[&] { window.RemoveSelected(); }, " connect disconnect"},
    };
    for (const auto& [step, expected] : steps) {
        step();
        EXPECT_EQ(shape(), expected);
    }
    EXPECT_EQ(window.Tree()->topLevelItemCount(), 2);

    // Validate's messages are listed and the file is saved all the same.
    window.AddAction(*cls("action.smtp.send"));
    fs::path saved = FTemp.Path() / "edited.json";
    ASSERT_TRUE(window.SaveProject(QString::fromStdString(saved.string())));
    EXPECT_TRUE(window.Problems().join("\n").contains("actions[2] (Send Email [  ]): Host: Host has not been set"))
        << window.Problems().join("\n").toStdString();
    EXPECT_EQ(ReadTextFile(saved), window.Project().ToJson());
}

// Each shown row is edited as a person edits it (a choice moved, a number stepped, a text typed, a
// check box toggled): the edit is taken, and the stored project changes where setting the new value
// through the property table changes it (a setter may change another property too).
TEST_F(DesignerTest, InspectorShowsWhatTheUserMaySeeAndEditsThroughThePropertyTable) {
    for (const auto& registration : ActionService().Actions()) {
        SCOPED_TRACE(registration.Class->StoredType());
        fs::path file = FTemp.Path() / "project.json";
        WriteTextFile(file, ProjectOfChangedAction(*registration.Class));
        TDesignerWindow window;
        ASSERT_TRUE(window.OpenProject(QString::fromStdString(file.string())));
        Show(window);
        TZRAction& action = *window.Project().Actions.at(0);
        window.SelectAction(&action);
        TPropertyInspector& inspector = *window.Inspector();
        QSignalSpy changed(&inspector, &TPropertyInspector::Changed);
        TStringList hidden, readOnly;
        action.GetHiddenProperties(hidden);
        action.GetReadOnlyProperties(readOnly);
        for (const auto& info : action.Properties().Properties()) {
            SCOPED_TRACE(info.Name);
            bool shown = !info.Hidden && !std::ranges::count(hidden, info.Name);
            EXPECT_EQ(inspector.ItemOf(info.Name) != nullptr, shown);
            // Lists and passwords are the e-mail test's.
            if (!shown || info.Kind == TPropertyKind::StringList || IsPasswordName(info.Name))
                continue;
            std::string before = window.Project().ToJson();
            changed.clear();
            QWidget* editor = OpenRowEditor(inspector, info.Name);
            auto* combo = qobject_cast<QComboBox*>(editor);
            if (combo && !combo->isEditable())
                QTest::keyClick(combo, combo->currentIndex() + 1 < combo->count() ? Qt::Key_Down : Qt::Key_Up);
            else if (auto* spin = qobject_cast<QSpinBox*>(editor))
                QTest::keyClick(spin, spin->value() < spin->maximum() ? Qt::Key_Up : Qt::Key_Down);
            else if (editor) {
                QWidget* line = combo ? combo->lineEdit() : editor;
                QTest::keyClick(line, Qt::Key_End);
                QTest::keyClicks(line, "7");
            }
            if (editor)
                PressEnter(editor);
            bool editable = !std::ranges::count(readOnly, info.Name);
            EXPECT_EQ(changed.count(), editable ? 1 : 0) << inspector.LastError().toStdString();
            TProject probe = TProject::Parse(before, "probe");
            std::string probeBefore = probe.ToJson();
            if (editable)
                info.Set(*probe.Actions[0], info.Get(action));
            EXPECT_EQ(ChangedPaths(before, window.Project().ToJson()), ChangedPaths(probeBefore, probe.ToJson()));
        }
    }
}

// Clicks the tab of that caption; its page.
QWidget* Tab(TPropertyDialog& pages, const QString& caption) {
    for (int tab = 0; tab < pages.Tabs()->count(); ++tab)
        if (pages.Tabs()->tabText(tab) == caption) {
            QTabBar* bar = pages.Tabs()->tabBar();
            QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(tab).center());
            return pages.Tabs()->widget(tab);
        }
    ADD_FAILURE() << "no tab " << caption.toStdString();
    return &pages;
}

// Double-clicking the window's selected action opens its pages; `fill` works on them, then OK.
void EditPages(TDesignerWindow& window, std::function<void(TPropertyDialog&)> fill) {
    WhenModal([fill = std::move(fill)](QWidget* modal) {
        fill(*qobject_cast<TPropertyDialog*>(modal));
        Press(modal, QDialogButtonBox::Ok);
    });
    DoubleClick(window.Tree(), window.Tree()->currentItem());
}

// Runs `answer` on the dialog an inspector row opens and waits until it was closed.
void AnswerRowDialog(TPropertyInspector& inspector, const std::string& path, std::function<void(QWidget*)> answer) {
    bool answered = false;
    WhenModal([&](QWidget* dialog) {
        answer(dialog);
        answered = true;
    });
    DoubleClick(inspector.Tree(), inspector.ItemOf(path));
    EXPECT_TRUE(QTest::qWaitFor([&] { return answered && !QApplication::activeModalWidget(); }, 60000)) << path;
}

TEST_F(DesignerTest, EmailActionInTheInspectorGroupsItsPropertiesAndOpensItsEditors) {
    TDesignerWindow window;
    ASSERT_TRUE(window.OpenProject(SOURCE_DIR "/examples/demo-email.json"));
    Show(window);
    TZRAction& action = *window.Project().Actions.at(0);
    window.SelectAction(&action);
    TPropertyInspector& inspector = *window.Inspector();
    QStringList groups;
    for (int i = 0; i < inspector.Tree()->topLevelItemCount(); ++i)
        groups << inspector.Tree()->topLevelItem(i)->text(0);
    EXPECT_EQ(groups, (QStringList{"Address", "Server", "Message", "Behaviour", "Other"}));
    const std::tuple<std::string, QString, QString, QString> rows[] = {
        // path, group, label, value
        {"Recipients", "Address", "Recipients", "(Address List)"},
        {"From.Address", "From", "Address", "demo@quillate.example"},
        {"UserId", "Server", "UserID", ""},
        {"PopBeforeSMTP", "Server", "POPBeforeSMTP", "False"},
        {"BodyObject", "Message", "Body", "(Memo)"},
        {"AttachmentsObject", "Message", "Attachments", "(List)"},
        {"HTMLMessage", "Message", "HTML Message", "False"},
        {"Mode", "Behaviour", "Mode", "Normal"},
        {"Priority", "Other", "Priority", "2"},
    };
    for (const auto& [path, group, label, value] : rows) {
        SCOPED_TRACE(path);
        QTreeWidgetItem* item = inspector.ItemOf(path);
        ASSERT_NE(item, nullptr);
        EXPECT_EQ((QStringList{item->parent() ? item->parent()->text(0) : "", item->text(0), item->text(1)}),
                  (QStringList{group, label, value}));
    }

    ChooseInRow(inspector, "Mode", "Individual");
    EXPECT_EQ(action.GetPropertyValue("Mode"), TPropertyValue(std::int64_t{1}));
    TypeInRow(inspector, "Password", "pa55word");
    EXPECT_EQ(inspector.ItemOf("Password")->text(1), "********");
    TypeInRow(inspector, "From.Address", "me@example.org");
    // Each complex row opens its own registered editor (what the editors do is the pages' tests').
    for (const auto& [path, dialogTitle] : {std::pair<std::string, QString>{"Recipients", "Email Address List"},
                                            {"BodyObject", "Message Body"},
                                            {"AttachmentsObject", "Attachments"}}) {
        QString title;
        AnswerRowDialog(inspector, path, [&](QWidget* dialog) {
            title = dialog->windowTitle();
            Press(dialog, QDialogButtonBox::Cancel);
        });
        EXPECT_EQ(title, dialogTitle);
    }

    // A list without an editor of its own is edited an item a line.
    AnswerRowDialog(inspector, "PlainBodyObject", [](QWidget* dialog) {
        auto* memo = dialog->findChild<QPlainTextEdit*>();
        TypeOver(memo, "plain");
        QTest::keyClick(memo, Qt::Key_Return);
        QTest::keyClicks(memo, "text");
        Press(dialog, QDialogButtonBox::Ok);
    });
    EXPECT_EQ(action.GetPropertyValue("PlainBodyObject"), TPropertyValue(TStringList{"plain", "text"}));

    // The pages and the inspector show each other's edits, and the tree follows both.
    EditPages(window, [](TPropertyDialog& pages) {
        TypeOver(Field(Tab(pages, "Message"), "Subject:"), "From the page");
    });
    EXPECT_EQ(inspector.ItemOf("Subject")->text(1), "From the page");
    TypeInRow(inspector, "Subject", "From the inspector");
    EXPECT_TRUE(window.Tree()->currentItem()->text(1).contains("From the inspector"));

    fs::path saved = FTemp.Path() / "mail.json";
    ASSERT_TRUE(window.SaveProject(QString::fromStdString(saved.string())));
    std::string content = ReadTextFile(saved);
    EXPECT_EQ(content.find("pa55word"), std::string::npos);
    json stored = json::parse(content)["actions"][0];
    const auto& info = *action.Properties().Find("EncryptedPassword");
    EXPECT_EQ(DecryptString(stored["properties"]["EncryptedPassword"].get<std::string>(), info.EncryptionKey), "pa55word");
    EXPECT_NE(stored["children"].dump().find("me@example.org"), std::string::npos);
}

TEST_F(DesignerTest, VariablesFindAndReplaceAndTheirProblems) {
    fs::path file = FTemp.Path() / "variables.json";
    WriteTextFile(file, R"j({"variables": {"Server": "127.0.0.1", "Spare": "x"}, "actions": [
        {"type": "action.ftp.connect", "properties": {"FTPConnectionName": "S", "FTPHost": "%Server%"}},
        {"type": "action.smtp.send", "properties": {"Host": "$(Server)", "Subject": "From %Server% to %Nowhere%"}}]})j");
    TDesignerWindow window;
    ASSERT_TRUE(window.OpenProject(QString::fromStdString(file.string())));
    TVariablesPanel& variables = *window.VariablesPanel();
    auto listed = [&](const QString& name) {
        QTreeWidgetItem* item = variables.ItemOf(name);
        return item ? QString("%1 %2").arg(item->text(1)).arg(item->childCount()) : QString("none");
    };
    EXPECT_EQ((QStringList{listed("Server"), listed("Spare"), listed("Nowhere")}),
              (QStringList{"127.0.0.1 3", "x 0", "(not defined) 1"}));
    QString problems = window.Problems().join("\n");
    EXPECT_TRUE(problems.contains(
        R"(actions[1] (Send Email [ From %Server% to %Nowhere% ]): Subject: warning: variable "Nowhere" is used but not defined)"))
        << problems.toStdString();
    EXPECT_TRUE(problems.contains(R"(variables: Spare: warning: variable "Spare" is declared but not used)"));

    for (const auto& [name, why] : {std::pair<QString, QString>{"Spare", "already declared"}, {"a b", "not a valid"}}) {
        EXPECT_FALSE(variables.RenameVariable("Server", name));
        EXPECT_TRUE(variables.StatusText().contains(why)) << variables.StatusText().toStdString();
    }

    int found = 0;
    WhenModal([&](QWidget* modal) {
        auto& dialog = *qobject_cast<TFindReplaceDialog*>(modal);
        TypeOver(dialog.FindEdit(), "Server");
        QTest::mouseClick(Field<QPushButton>(&dialog, "Find &All"), Qt::LeftButton);
        found = dialog.Results()->topLevelItemCount();
        ClickCheckBox(dialog.MatchCase());
        EXPECT_TRUE(dialog.MatchCase()->isChecked());
        TypeOver(dialog.ReplaceEdit(), "Host2");
        QTest::mouseClick(Field<QPushButton>(&dialog, "Replace A&ll"), Qt::LeftButton);
        EXPECT_EQ(dialog.Results()->topLevelItemCount(), 0);
        Press(&dialog, QDialogButtonBox::Close);
    });
    window.FindReplace();
    EXPECT_EQ(found, 3);
    EXPECT_EQ(listed("Host2"), "(not defined) 3");
    EXPECT_TRUE(window.Problems().join("\n").contains(R"(variable "Host2" is used but not defined)"));
    EXPECT_TRUE(window.windowTitle().contains("*"));
}

TEST_F(DesignerTest, OptionsDialogStoresWhatWasTypedWithPasswordsEncrypted) {
    fs::path store = FTemp.Path() / "options.json";
    std::vector<std::pair<QString, bool>> typed; // each text, and whether its field is a password's
    {
        TOptionsDialog dialog;
        for (QWidget* widget : dialog.Tabs()->findChildren<QWidget*>()) {
            // A field a switch disables (the user of an unticked "Authenticate") is typed into all the same.
            if (IsPartOfAnotherControl(widget))
                continue;
            QString text = QString("v%1x").arg(typed.size() + 1);
            if (auto* edit = qobject_cast<QLineEdit*>(widget); edit && !edit->isReadOnly()) {
                edit->setText(text);
                typed.push_back({text, edit->echoMode() == QLineEdit::Password});
            } else if (auto* spin = qobject_cast<QSpinBox*>(widget)) {
                spin->setValue(static_cast<int>(typed.size()) + 100);
                typed.push_back({spin->text(), false});
            }
        }
        dialog.Apply();
    }
    std::string content = ReadTextFile(store);
    json internet = json::parse(content).at("Internet");
    fs::path shown = FTemp.Path() / "shown.txt";
    ASSERT_EQ(RunProcess({TRunPanel::QuillateProgram().toStdString(), "options", "--options", store.string(), "show"},
                         {}, shown),
              0);
    std::string show = ReadTextFile(shown);
    int passwords = 0;
    for (const auto& [typedText, password] : typed) {
        std::string text = typedText.toStdString();
        SCOPED_TRACE(text);
        if (!password) {
            EXPECT_NE(show.find("=" + text + "\n"), std::string::npos) << show;
            continue;
        }
        ++passwords;
        EXPECT_EQ(content.find(text), std::string::npos);
        bool decrypted = false;
        for (const auto& item : internet.items())
            if (item.value().is_string() && item.value().get<std::string>().rfind("enc1:", 0) == 0)
                decrypted = decrypted || DecryptString(item.value().get<std::string>(), item.key()) == text;
        EXPECT_TRUE(decrypted);
    }
    EXPECT_GE(passwords, 2) << "the FTP and e-mail passwords";
}

// Runs the file with `quillate run`, which must succeed and log what the designer logged in more than
// `moreThan` lines; times and transfer speeds differ from run to run, everything else must match.
void ExpectTheCommandLineLogsTheSame(const QStringList& designerLog, const fs::path& file,
                                     const fs::path& options, int moreThan) {
    fs::path log = options.parent_path() / "cli.log";
    EXPECT_EQ(RunProcess({TRunPanel::QuillateProgram().toStdString(), "run", file.string(), "--options",
                          options.string()},
                         {}, log),
              0);
    QStringList cli = QString::fromStdString(ReadTextFile(log)).split('\n', Qt::SkipEmptyParts);
    auto withoutNumbers = [](QStringList lines) {
        return lines.replaceInStrings(QRegularExpression("[0-9]+"), "#").join("\n").toStdString();
    };
    EXPECT_EQ(withoutNumbers(designerLog), withoutNumbers(cli));
    EXPECT_GT(cli.size(), moreThan);
}

TEST(DesignerRun, LiveLogShowsTheLinesOfTheCommandLineAndItsProgress) {
    StartDesigner();
    TTempDir temp("designer-run");
    TFTPTestServer server(TFTPServerKind::skPyftpdlib);
    server.PutFile("big.bin", std::string(3 << 20, 'q'));
    server.Start();
    const auto& connect = *ActionService().FindAction("action.ftp.connect");
    std::string key = connect.Properties().Find("Cookie")->EncryptionKey;
    json project = {{"actions", json::array({
        {{"type", "action.ftp.connect"},
         {"properties", {{"FTPConnectionName", "S"}, {"FTPHost", "127.0.0.1"}, {"FTPPort", server.Port()},
                         {"UserID", server.User}, {"Cookie", EncryptString(TVariables::Literal(server.Password), key)}}}},
        {{"type", "action.ftp.dir.list"}, {"properties", {{"ConnectionName", "S"}, {"ListToZRLog", true}}}},
        {{"type", "action.ftp.file.download"},
         {"properties", {{"ConnectionName", "S"}, {"FileName", "big.bin"}, {"DownloadDir", temp.Path().string()}, {"DownloadFileName", "copy.bin"},
                         {"AllowOverwrite", true}}}},
        {{"type", "action.ftp.disconnect"}, {"properties", {{"ConnectionName", "S"}}}}})}};
    fs::path file = temp.Path() / "run.json";
    WriteTextFile(file, project.dump(2));
    fs::path options = temp.Path() / "options.json";

    TDesignerWindow window(QString::fromStdString(options.string()));
    ASSERT_TRUE(window.OpenProject(QString::fromStdString(file.string())));
    int highest = 0;
    QObject::connect(window.RunPanel()->ProgressBar(), &QProgressBar::valueChanged,
                     [&highest](int value) { highest = std::max(highest, value); });
    QSignalSpy finished(window.RunPanel(), &TRunPanel::Finished);
    ASSERT_TRUE(window.RunProject());
    ASSERT_TRUE(finished.wait(180000));
    EXPECT_EQ(finished.at(0).at(0).toInt(), 0) << window.RunPanel()->Lines().join("\n").toStdString();
    EXPECT_EQ(highest, 100);

    ExpectTheCommandLineLogsTheSame(window.RunPanel()->Lines(), file, options, 5);

    // Stop reaches a run that would wait for ever as Ctrl+C does.
    project["actions"][1] = {{"type", "action.ftp.waitforfile"},
                             {"properties", {{"ConnectionName", "S"}, {"FileName", "never.txt"}, {"PollFreq", 1}}}};
    WriteTextFile(file, project.dump(2));
    ASSERT_TRUE(window.OpenProject(QString::fromStdString(file.string())));
    ASSERT_TRUE(window.RunProject());
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return window.RunPanel()->Lines().join("\n").contains("FTP Wait For File"); }, 120000));
    window.RunPanel()->Stop();
    ASSERT_TRUE(finished.wait(120000));
    EXPECT_EQ(finished.at(1).at(0).toInt(), 130) << window.RunPanel()->Lines().join("\n").toStdString();
}

// A person builds a project from nothing in a real window: variables in the variables panel, actions
// from the palette, settings in the pages and the inspector; renames a variable that three actions
// use, saves, runs it from the designer, and the command line's run of the saved file logs the same.
TEST(DesignerEndToEnd, AProjectBuiltFromNothingRunsInTheDesignerAsOnTheCommandLine) {
    StartDesigner();
    ASSERT_EQ(QGuiApplication::platformName(), "xcb") << "runs under Xvfb (ctest starts it)";
    TTempDir temp("designer-e2e");
    TFTPTestServer ftp(TFTPServerKind::skPyftpdlib);
    ftp.PutFile("site/index.html", "<p>hello</p>\n");
    ftp.PutFile("site/docs/notes.txt", "notes\n");
    ftp.Start();
    TSMTPTestServer smtp;
    smtp.Start();
    fs::path local = temp.Path() / "local";
    fs::path mirrored = local / "127.0.0.1";
    fs::create_directories(mirrored);
    fs::path options = temp.Path() / "options.json";
    fs::path saved = temp.Path() / "nightly.json";

    TDesignerWindow window(QString::fromStdString(options.string()));
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    TVariablesPanel& variables = *window.VariablesPanel();
    TPropertyInspector& inspector = *window.Inspector();

    // Add... asks for the name, then the value is typed in place.
    for (const auto& [name, value] : {std::pair<QString, QString>{"Server", "127.0.0.1"},
                                      {"Local", QString::fromStdString(local.string())}}) {
        AnswerWithLine(name);
        QTest::mouseClick(Field<QPushButton>(&variables, "&Add..."), Qt::LeftButton);
        QWidget* editor = CellEditor(variables.Tree());
        ASSERT_NE(qobject_cast<QLineEdit*>(editor), nullptr);
        QTest::keyClicks(editor, value);
        PressEnter(editor);
    }
    EXPECT_EQ(window.Project().Variables,
              (std::vector<std::pair<std::string, std::string>>{{"Server", "127.0.0.1"}, {"Local", local.string()}}));

    auto addFromPalette = [&](const QString& name) {
        auto found = window.Palette()->findItems(name, Qt::MatchExactly | Qt::MatchRecursive);
        ASSERT_EQ(found.size(), 1) << name.toStdString();
        DoubleClick(window.Palette(), found[0]);
    };
    addFromPalette("FTP Connect");
    EditPages(window, [&](TPropertyDialog& pages) {
        QWidget* connection = Tab(pages, "FTP Connection");
        TypeOver(Field(connection, "Connection name:"), "Site");
        ClickCheckBox(Field(connection, "Passive"));
        QWidget* server = Tab(pages, "Server && Authentication");
        TypeOver(Field(server, "Host:"), "%Server%");
        TypeOver(Field(server, "Port:"), QString::number(ftp.Port()));
        TypeOver(Field(server, "User:"), ftp.User);
        TypeOver(Field(server, "Password:"), ftp.Password);
    });
    EXPECT_EQ(window.SelectedAction()->GetPropertyValue("Passive"), TPropertyValue(true));

    addFromPalette("FTP Mirror");
    TypeInRow(inspector, "ConnectionName", "Site");
    ChooseInRow(inspector, "MirrorOperation", "moRemoteToLocal");
    TypeInRow(inspector, "LocalDir", "%Local%/%Server%");
    for (const char* check : {"SpecifyRemoteDir", "Recursive"})
        EXPECT_EQ(OpenRowEditor(inspector, check), nullptr) << "a check box toggles";
    TypeInRow(inspector, "RemoteDir", "/site");

    addFromPalette("Send Email");
    EditPages(window, [&](TPropertyDialog& pages) {
        QWidget* server = Tab(pages, "SMTP");
        TypeOver(Field(server, "Host:"), "$(Server)");
        TypeOver(Field(server, "Port:"), QString::number(smtp.Port()));
    });
    TypeInRow(inspector, "Subject", "Mirror of %Server% done");
    TypeInRow(inspector, "From.Address", "designer@example.org");
    AnswerRowDialog(inspector, "Recipients", [](QWidget* dialog) {
        auto* grid = dialog->findChild<QTableWidget*>();
        QTest::mouseClick(Field<QPushButton>(dialog, "Add"), Qt::LeftButton);
        QTest::keyClicks(CellEditor(grid), "ops@example.org");
        PressEnter(CellEditor(grid));
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->visualItemRect(grid->item(0, 1)).center());
        QTest::mouseClick(Field<QPushButton>(dialog, "Edit Field"), Qt::LeftButton);
        QTest::keyClicks(CellEditor(grid), "Ops at %Server%");
        PressEnter(CellEditor(grid));
        Press(dialog, QDialogButtonBox::Ok);
    });
    AnswerRowDialog(inspector, "BodyObject", [](QWidget* dialog) {
        QTest::keyClicks(dialog->findChild<QPlainTextEdit*>(), "The mirror from %Server% is done.");
        Press(dialog, QDialogButtonBox::Ok);
    });

    std::set<const TZRAction*> users;
    const TVariableReport report = FindVariableUses(window.Project());
    for (const auto& where : report.Uses.at("Server"))
        users.insert(where.Action);
    EXPECT_EQ(users.size(), 3u);
    variables.SelectVariable("Server");
    AnswerWithLine("FTPServer");
    QTest::mouseClick(Field<QPushButton>(&variables, "Re&name..."), Qt::LeftButton);
    EXPECT_EQ(FindVariableUses(window.Project()).Uses.count("Server"), 0u);
    EXPECT_EQ(variables.ItemOf("FTPServer")->childCount(), 6) << variables.StatusText().toStdString();
    EXPECT_EQ(inspector.ItemOf("Subject")->text(1), "Mirror of %FTPServer% done");
    EXPECT_EQ(window.Problems().filter("warning").join("\n").toStdString(), "");

    // Keys reach the window's shortcuts once it is active again after the dialogs (no window manager
    // gives it back).
    auto activate = [&window] {
        window.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&window));
    };
    activate();
    AnswerWithLine(QString::fromStdString(saved.string()), "fileNameEdit");
    QTest::keyClick(&window, Qt::Key_S, Qt::ControlModifier);
    ASSERT_EQ(window.FileName().toStdString(), saved.string());
    std::string content = ReadTextFile(saved);
    for (const char* gone : {"%Server%", "$(Server)", TFTPTestServer::Password})
        EXPECT_EQ(content.find(gone), std::string::npos) << gone;

    QSignalSpy finished(window.RunPanel(), &TRunPanel::Finished);
    activate();
    QTest::keyClick(&window, Qt::Key_F9);
    ASSERT_TRUE(finished.wait(180000));
    QStringList designerLog = window.RunPanel()->Lines();
    ASSERT_EQ(finished.at(0).at(0).toInt(), 0) << designerLog.join("\n").toStdString();
    EXPECT_EQ(ReadTextFile(mirrored / "docs" / "notes.txt"), "notes\n");
    ASSERT_EQ(smtp.Messages().size(), 1u);
    for (const char* part : {"Subject: Mirror of 127.0.0.1 done", "Ops at 127.0.0.1", "The mirror from 127.0.0.1 is done."})
        EXPECT_NE(smtp.Messages()[0].Content.find(part), std::string::npos) << part;

    // The command line starts from the same state: nothing mirrored yet.
    fs::remove_all(mirrored);
    fs::create_directories(mirrored);
    ExpectTheCommandLineLogsTheSame(designerLog, saved, options, 8);
    EXPECT_EQ(smtp.Messages().size(), 2u);
}

TEST(Screenshots, EveryPageAndTheMainWindow) {
    StartDesigner();
    TTempDir temp("designer-shots");
    OptionsService().Open(temp.Path() / "options.json");
    QDir().mkpath(SCREENSHOT_DIR);
    // Saves the widget's picture under the name, "_" for what a file name should not hold.
    auto grab = [](QWidget* widget, const std::string& name) {
        QString file = QString::fromStdString(name).replace(QRegularExpression("[^A-Za-z0-9.-]"), "_");
        QString path = QString("%1/%2.png").arg(SCREENSHOT_DIR, file);
        EXPECT_TRUE(widget->grab().save(path)) << path.toStdString();
    };
    auto save = [&grab](QWidget& widget, const std::string& name) {
        widget.show();
        QApplication::processEvents();
        grab(&widget, name);
        widget.hide();
    };

    TDesignerWindow window;
    ASSERT_TRUE(window.OpenProject(SOURCE_DIR "/examples/demo.json"));
    window.SelectAction(window.Project().Actions.at(0).get());
    save(window, "main-window");

    // The inspector on an e-mail action, the variables of a project that uses them, and the problems
    // of a mistyped variable and a spare one.
    TDesignerWindow mail;
    ASSERT_TRUE(mail.OpenProject(SOURCE_DIR "/examples/demo-email.json"));
    mail.resize(1400, 1000);
    Show(mail);
    mail.VariablesPanel()->AddVariable("ReportDate", "2024-05-31");
    mail.SelectAction(mail.Project().Actions.at(0).get());
    TypeInRow(*mail.Inspector(), "Subject", "Quillate demo: the report of %ReportDay%");
    mail.BottomTabs()->setCurrentWidget(mail.ProblemsList());
    QApplication::processEvents();
    grab(mail.findChild<QDockWidget*>("properties"), "inspector-email");
    grab(mail.findChild<QDockWidget*>("variables"), "variables");
    grab(mail.BottomTabs(), "problems");
    grab(&mail, "main-window-email");
    mail.hide();

    // A page is shown once, on the first action that has it (pages built from one class are told
    // apart by their captions), the host settings once, and the generic form of every action that
    // has no pages.
    std::set<std::string> shown;
    for (const auto& registration : ActionService().Actions()) {
        auto action = std::dynamic_pointer_cast<TZRAction>(registration.Class->Create());
        TDesignProject project(window.Project());
        TPropertyDialog dialog(*action, project);
        for (int tab = 0; tab < dialog.Tabs()->count(); ++tab) {
            std::string pageClass = std::string(dialog.Tabs()->widget(tab)->metaObject()->className()) + "/" +
                                    dialog.Tabs()->tabText(tab).toStdString();
            if (pageClass.find("Generic") != std::string::npos)
                pageClass += registration.Class->StoredType();
            if (!shown.insert(pageClass).second)
                continue;
            dialog.Tabs()->setCurrentIndex(tab);
            save(dialog, registration.Class->StoredType() + "-" + std::to_string(tab) + "-" +
                             dialog.Tabs()->tabText(tab).toStdString());
        }
    }
    TOptionsDialog options;
    for (int tab = 0; tab < options.Tabs()->count(); ++tab) {
        options.Tabs()->setCurrentIndex(tab);
        save(options, "options-" + std::to_string(tab) + "-" + options.Tabs()->tabText(tab).toStdString());
    }
}

} // namespace
