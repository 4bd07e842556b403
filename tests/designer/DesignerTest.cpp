// The designer driven as a user drives it, offscreen: the property dialog of every registered action
// class, the options dialog, tree edits, saving, a run against a real FTP server, and screenshots.
#include <QAbstractSpinBox>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QProgressBar>
#include <QRegularExpression>
#include <QSpinBox>
#include <QSignalSpy>
#include <QTest>
#include <QTabWidget>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "DesignProject.h"
#include "DesignerHost.h"
#include "DesignerWindow.h"
#include "OptionsDialog.h"
#include "PropertyDialog.h"
#include "RunPanel.h"
#include "host/CryptoUtils.h"
#include "host/Options.h"
#include "host/Registration.h"
#include "host/Variables.h"
#include "support/FTPServerFixture.h"

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
    static auto* app = new QApplication(argc, argv);
    (void)app;
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
    bool container = node.is_object() || (node.is_array() && !node.empty() && node.front().is_structured());
    if (!container) {
        leaves[path] = node;
        return;
    }
    if (node.is_object())
        for (const auto& item : node.items())
            Flatten(item.value(), path + "." + item.key(), leaves);
    else
        for (std::size_t i = 0; i < node.size(); ++i)
            Flatten(node[i], path + "[" + std::to_string(i) + "]", leaves);
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
    struct TStep {
        std::function<void()> Do;
        std::string Shape;
    };
    const TStep steps[] = {
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
    for (const auto& step : steps) {
        step.Do();
        EXPECT_EQ(shape(), step.Shape);
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

TEST_F(DesignerTest, OptionsDialogStoresWhatWasTypedWithPasswordsEncrypted) {
    fs::path store = FTemp.Path() / "options.json";
    struct TTyped {
        QString Text;
        bool Password;
    };
    std::vector<TTyped> typed;
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
    for (const auto& entry : typed) {
        std::string text = entry.Text.toStdString();
        SCOPED_TRACE(text);
        if (!entry.Password) {
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

    fs::path cliLog = temp.Path() / "cli.log";
    RunProcess({TRunPanel::QuillateProgram().toStdString(), "run", file.string(), "--options", options.string()}, {},
               cliLog);
    // Times and transfer speeds differ from run to run; everything else must match.
    auto withoutNumbers = [](QStringList lines) {
        return lines.replaceInStrings(QRegularExpression("[0-9]+"), "#").join("\n").toStdString();
    };
    QStringList cli = QString::fromStdString(ReadTextFile(cliLog)).split('\n', Qt::SkipEmptyParts);
    EXPECT_EQ(withoutNumbers(window.RunPanel()->Lines()), withoutNumbers(cli));
    EXPECT_GT(cli.size(), 5);

    // Stop reaches a run that would wait for ever as Ctrl+C does.
    project["actions"][1] = {{"type", "action.ftp.waitforfile"},
                             {"properties", {{"ConnectionName", "S"}, {"FileName", "never.txt"}, {"PollFreq", 1}}}};
    WriteTextFile(file, project.dump(2));
    ASSERT_TRUE(window.OpenProject(QString::fromStdString(file.string())));
    ASSERT_TRUE(window.RunProject());
    for (int waited = 0; waited < 120000 && !window.RunPanel()->Lines().join("\n").contains("FTP Wait For File");
         waited += 50)
        QTest::qWait(50);
    window.RunPanel()->Stop();
    ASSERT_TRUE(finished.wait(120000));
    EXPECT_EQ(finished.at(1).at(0).toInt(), 130) << window.RunPanel()->Lines().join("\n").toStdString();
}

TEST(Screenshots, EveryPageAndTheMainWindow) {
    StartDesigner();
    TTempDir temp("designer-shots");
    OptionsService().Open(temp.Path() / "options.json");
    QDir().mkpath(SCREENSHOT_DIR);
    auto save = [](QWidget& widget, const std::string& name) {
        widget.show();
        QApplication::processEvents();
        QString path = QString("%1/%2.png").arg(SCREENSHOT_DIR, QString::fromStdString(name));
        EXPECT_TRUE(widget.grab().save(path)) << path.toStdString();
        widget.hide();
    };
    auto fileName = [](std::string text) {
        for (char& c : text)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-')
                c = '_';
        return text;
    };

    TDesignerWindow window;
    ASSERT_TRUE(window.OpenProject(SOURCE_DIR "/examples/demo.json"));
    save(window, "main-window");

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
            save(dialog, fileName(registration.Class->StoredType() + "-" + std::to_string(tab) + "-" +
                                  dialog.Tabs()->tabText(tab).toStdString()));
        }
    }
    TOptionsDialog options;
    for (int tab = 0; tab < options.Tabs()->count(); ++tab) {
        options.Tabs()->setCurrentIndex(tab);
        save(options, fileName("options-" + std::to_string(tab) + "-" + options.Tabs()->tabText(tab).toStdString()));
    }
}

} // namespace
