// The FTP pages, the HTTP proxy page, the Telnet script page and the host's wait page, driven
// against the real actions: captions and fields in tab order, values that survive a read and a
// write, the connection rules and the script grids.
#include "DesignProject.h"
#include "design/DesignContract.h"
#include "host/CryptoUtils.h"
#include "host/Options.h"
#include "host/Project.h"
#include "host/Registration.h"
#include "pages/ftp/FTPConnectionPages.h"
#include "pages/ftp/FTPMirrorPages.h"
#include "pages/ftp/FTPScriptPages.h"
#include "pages/telnet/TelnetScriptPage.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QSpinBox>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace quillate;
using namespace zr::pages;

// What the designer offers a page: the project's connections, variables and file sets.
using TProjectView = quillate::designer::TDesignProject;
using json = nlohmann::ordered_json;

// A table of tests/data/pages (JSON with comments; README.md there says the format).
const json& Table(const std::string& name) {
    static std::map<std::string, json> tables;
    if (!tables.count(name))
        tables[name] = json::parse(std::ifstream(PAGES_DATA_DIR "/" + name), nullptr, true, true);
    return tables[name];
}

// A project with the connections named, then the action of this type with these properties.
TProject ProjectWith(const std::vector<std::string>& connections, const std::string& type,
                     const json& properties = json::object(), const json& children = json::array()) {
    auto project = json::parse(R"({"variables":{"V":"1"},"fileSets":[{"name":"Docs","baseDirectory":"d",)"
                               R"("include":["*"],"exclude":[],"recursive":false}],"actions":[]})");
    for (const auto& name : connections)
        project["actions"].push_back(
            {{"type", "action.ftp.connect"}, {"properties", {{"FTPConnectionName", name}}}});
    project["actions"].push_back({{"type", type}, {"properties", properties}, {"children", children}});
    return TProject::Parse(project.dump(), "pages.json");
}

std::string JsonOf(const std::shared_ptr<TZRAction>& action) {
    TProject project;
    project.Actions.push_back(action);
    return project.ToJson();
}

std::unique_ptr<TPropertyPage> CreatePage(const std::string& className) {
    std::unique_ptr<TPropertyPage> page(DesignClasses().CreatePage(className, nullptr));
    EXPECT_TRUE(page) << className;
    return page;
}

// What the user meets pressing Tab through a widget: a button's text, a fixed list's items joined
// by "|", any other field's label, and a spin box's unit after it.
QStringList TabTexts(QWidget* page) {
    QStringList texts;
    for (QWidget* w = page->nextInFocusChain(); w != page; w = w->nextInFocusChain()) {
        if (!page->isAncestorOf(w) || !(w->focusPolicy() & Qt::TabFocus) ||
            qobject_cast<QAbstractSpinBox*>(w->parentWidget()) || qobject_cast<QComboBox*>(w->parentWidget()))
            continue;
        auto* combo = qobject_cast<QComboBox*>(w);
        if (auto* button = qobject_cast<QAbstractButton*>(w)) {
            texts << button->text();
        } else if (combo && !combo->isEditable()) {
            QStringList items;
            for (int i = 0; i < combo->count(); ++i)
                items << combo->itemText(i);
            texts << items.join("|");
        } else {
            texts << w->accessibleName();
            if (auto* spin = qobject_cast<QSpinBox*>(w); spin && !spin->suffix().isEmpty())
                texts << spin->suffix().trimmed();
        }
    }
    return texts;
}

// Each page's caption and what Tab reaches on it, as tests/data/pages/ftp-page-texts.json lists them.
TEST(FTPPages, CaptionsAndFieldsInTabOrder) {
    for (const auto& expected : Table("ftp-page-texts.json")) {
        const auto name = expected["page"].get<std::string>();
        std::unique_ptr<QWidget> page;
        QString caption;
        if (expected.value("option", false)) {
            auto* options = DesignClasses().CreateOptionPage(name, nullptr);
            page.reset(options);
            caption = options ? options->GetPageName() : "";
        } else if (auto property = CreatePage(name)) {
            caption = property->PageName();
            page = std::move(property);
        }
        ASSERT_TRUE(page) << name;
        EXPECT_EQ(caption, QString::fromStdString(expected["caption"].get<std::string>())) << name;
        QStringList texts;
        for (const auto& text : expected["texts"])
            texts << QString::fromStdString(text.get<std::string>());
        EXPECT_EQ(TabTexts(page.get()), texts) << name;
    }
}

// The row of tests/data/pages/ftp-round-trips.json for the type: every page of the action, with
// every field it shows set to a value other than the initial one.
const json& RoundTripOf(const std::string& type) {
    for (const auto& trip : Table("ftp-round-trips.json"))
        if (trip["type"] == type)
            return trip;
    throw std::logic_error("no round trip of " + type);
}

// Reading the pages from an action and writing them into a new one gives the same project: every
// field moves its property, and nothing a page cannot show is lost.
TEST(FTPPages, ReadThenWriteGivesTheSameValues) {
    for (const auto& trip : Table("ftp-round-trips.json")) {
        const auto type = trip["type"].get<std::string>();
        SCOPED_TRACE(type);
        std::vector<std::unique_ptr<TPropertyPage>> pages;
        std::string expected;
        {
            TProject source = ProjectWith(
                type == "action.ftp.connect" ? std::vector<std::string>{} : std::vector<std::string>{"Site"},
                type, trip.value("properties", json::object()), trip.value("children", json::array()));
            auto action = source.Actions.back();
            const auto passwords = trip.value("passwords", json::object());
            for (const auto& [property, clear] : passwords.items())
                action->SetPropertyValue(property,
                                         EncryptString(clear.get<std::string>(),
                                                       action->Properties().Find(property)->EncryptionKey));
            expected = JsonOf(action);
            TProjectView view(source);
            for (const auto& name : trip["pages"]) {
                pages.push_back(CreatePage(name.get<std::string>()));
                ASSERT_TRUE(pages.back());
                pages.back()->DoInitPage(*action, view);
                pages.back()->ReadActionData(*action);
            }
        }
        // The source and its connection are gone, so the copy may take the connection's name.
        auto copy = std::dynamic_pointer_cast<TZRAction>(ActionService().FindAction(type)->Create());
        for (const auto& page : pages)
            page->WriteActionData(*copy);
        EXPECT_EQ(JsonOf(copy), expected);
    }
}

TEST(FTPPages, GlobalOptionsReadThenWrite) {
    const TMetaClass* options = nullptr;
    for (const auto& registration : OptionsService().Options())
        if (registration.Class->ClassName() == "TZRFTPOptions")
            options = registration.Class;
    ASSERT_TRUE(options);
    auto source = std::dynamic_pointer_cast<TZROptionsObject>(options->Create());
    auto copy = std::dynamic_pointer_cast<TZROptionsObject>(options->Create());
    const std::vector<std::pair<std::string, TPropertyValue>> values = {
        {"FTPServer", std::string("global.example.org")},
        {"FTPPort", std::int64_t{2100}},
        {"FTPUser", std::string("g")},
        {"FTPPass", std::string("gp")},
        {"Security", std::int64_t{2}},
        {"SecureData", false},
        {"Protocol", std::int64_t{1}}};
    for (const auto& [name, value] : values)
        source->SetPropertyValue(name, value);
    std::unique_ptr<TOptionPage> page(DesignClasses().CreateOptionPage("TFTPGlobalOptionsFrame", nullptr));
    page->ReadOptions(*source);
    page->WriteOptions(*copy);
    for (const auto& [name, value] : values)
        EXPECT_EQ(copy->GetPropertyValue(name), value) << name;
}

const QString Protocols = "FTP|SFTP (SSH)", TLS = "None|Explicit (AUTH TLS)|Implicit";
const QString ProtectData = "Protect data connections (PROT P)";

// The field a user knows by its text: a button's text, a fixed list's items joined by "|", or a label.
QWidget* FieldNamed(QWidget* page, const QString& text) {
    for (auto* w : page->findChildren<QWidget*>()) {
        auto* button = qobject_cast<QAbstractButton*>(w);
        auto* combo = qobject_cast<QComboBox*>(w);
        QStringList items;
        for (int i = 0; combo && i < combo->count(); ++i)
            items << combo->itemText(i);
        if ((button && button->text() == text) || items.join("|") == text ||
            (!button && !combo && w->accessibleName() == text))
            return w;
    }
    ADD_FAILURE() << "no field " << text.toStdString();
    return page;
}

// The protocol chosen on the server page disables what SFTP has no use for on every page of the
// dialog, and moves the port between the protocols' usual ones; an action read with SFTP shows it so.
TEST(FTPPages, SFTPDisablesWhatItHasNoUseFor) {
    TProject project =
        ProjectWith({}, "action.ftp.connect", {{"FTPConnectionName", "Site"}, {"UseProxy", true}});
    TProjectView view(project);
    QWidget dialog;
    std::vector<std::unique_ptr<TPropertyPage>> pages;
    for (const char* name : {"TFTPConnectFrame", "TFTPServerFrame", "TFTPNewProxyFrame"}) {
        pages.emplace_back(DesignClasses().CreatePage(name, &dialog));
        pages.back()->DoInitPage(*project.Actions.back(), view);
        pages.back()->ReadActionData(*project.Actions.back());
    }
    auto* protocol = qobject_cast<QComboBox*>(FieldNamed(pages[1].get(), Protocols));
    auto* port = qobject_cast<QSpinBox*>(FieldNamed(pages[1].get(), "Port:"));
    ASSERT_TRUE(protocol && port);
    const std::vector<std::pair<TPropertyPage*, QString>> ftpOnly = {
        {pages[0].get(), "Passive"},          {pages[0].get(), "ASCII transfer mode"},
        {pages[0].get(), "Use HOST command"}, {pages[1].get(), TLS},
        {pages[1].get(), ProtectData},        {pages[2].get(), "Use proxy server"},
        {pages[2].get(), "Server:"}};
    auto expectFor = [&](bool sftp, int shownPort) {
        for (const auto& [page, text] : ftpOnly)
            EXPECT_EQ(FieldNamed(page, text)->isEnabled(), !sftp) << text.toStdString();
        EXPECT_EQ(FieldNamed(pages[1].get(), "Host key fingerprint:")->isEnabled(), sftp);
        EXPECT_EQ(FieldNamed(pages[1].get(), "Key passphrase:")->isEnabled(), sftp);
        EXPECT_EQ(port->value(), shownPort);
    };
    expectFor(false, 21);
    for (int chosen : {1, 0}) {
        protocol->setCurrentIndex(chosen);
        emit protocol->activated(chosen);
        expectFor(chosen == 1, chosen == 1 ? 22 : 21);
    }

    // A script action read with SFTP shows it on its own pages too, the port at 22 where left at 21.
    TProject stored = ProjectWith({}, "action.ftp.script", {{"Protocol", "cpSFTP"}, {"Port", 21}});
    auto server = CreatePage("TFTPOptionsFrame");
    auto options = CreatePage("TFTPMoreOptionsFrame");
    server->ReadActionData(*stored.Actions.back());
    options->ReadActionData(*stored.Actions.back());
    EXPECT_EQ(qobject_cast<QSpinBox*>(FieldNamed(server.get(), "Port:"))->value(), 22);
    EXPECT_FALSE(FieldNamed(server.get(), TLS)->isEnabled());
    EXPECT_FALSE(FieldNamed(options.get(), "Passive")->isEnabled());
}

TEST(FTPPages, ConnectionNameValidation) {
    const QString taken =
        "Please specify a different connection name \r\nbecause that name is already being used";
    // What is typed, whether the page takes it, the message and the name then shown.
    const std::tuple<QString, bool, QString, QString> cases[] = {
        {"   ", false, "Please specify a connection name.", ""},
        {"other", false, taken, "other"},
        {" SITE ", true, "", "SITE"},
        {"  New site ", true, "", "New site"},
    };
    TProject project = ProjectWith({"Other"}, "action.ftp.connect", {{"FTPConnectionName", "Site"}});
    TProjectView view(project);
    for (const auto& [typed, valid, message, shown] : cases) {
        SCOPED_TRACE(typed.toStdString());
        TFTPConnectFrame page(nullptr);
        page.SetShowMessages(false);
        page.DoInitPage(*project.Actions.back(), view);
        page.ReadActionData(*project.Actions.back());
        auto* name = page.findChild<QLineEdit*>();
        name->setText(typed);
        const bool accepted = page.Validate(); // before the message and name it sets
        EXPECT_EQ(std::tuple(accepted, page.LastMessage(), name->text()), std::tuple(valid, message, shown));
    }
}

// Every page that names a connection, opened on a new action, shows the project's only connection;
// with two connections it leaves the choice to the user.
TEST(FTPPages, TheOnlyConnectionIsPreselected) {
    for (const auto& trip : Table("ftp-round-trips.json"))
        for (const auto& name : trip["pages"].get<std::vector<std::string>>())
            for (const std::vector<std::string>& connections :
                 {std::vector<std::string>{"Site"}, {"Site", "Other"}}) {
                TProject project = ProjectWith(connections, trip["type"].get<std::string>());
                TProjectView view(project);
                auto page = CreatePage(name);
                page->DoInitPage(*project.Actions.back(), view);
                page->ReadActionData(*project.Actions.back());
                auto* combo = page->findChild<QComboBox*>("cbConnection");
                if (!combo)
                    continue;
                EXPECT_EQ(combo->currentText(), connections.size() == 1 ? "Site" : "") << name;
                EXPECT_EQ(combo->count(), static_cast<int>(connections.size())) << name;
            }
}

TEST(FTPPages, MirrorDeleteCaptionFollowsTheDirection) {
    TFTPMirrorFrame page(nullptr);
    auto radios = page.findChildren<QRadioButton*>();
    ASSERT_EQ(radios.size(), 2);
    radios[1]->setChecked(true);
    EXPECT_EQ(page.DeleteCheck()->text(), "Delete local items that do not exist on server");
    radios[0]->setChecked(true);
    EXPECT_EQ(page.DeleteCheck()->text(), "Delete items on server that do not exist locally");
    TProject project = ProjectWith({"Site"}, "action.ftp.mirror", {{"MirrorOperation", "moRemoteToLocal"}});
    page.ReadActionData(*project.Actions.back());
    EXPECT_EQ(page.DeleteCheck()->text(), "Delete local items that do not exist on server");
}

// Fills the dialog's fields by label (edits) or text (check boxes), the way a user would.
void Fill(QWidget& dialog, const std::vector<std::pair<QString, QString>>& fields) {
    for (const auto& [name, value] : fields) {
        bool found = false;
        for (auto* edit : dialog.findChildren<QLineEdit*>())
            if (edit->accessibleName() == name && (found = true))
                edit->setText(value);
        for (auto* box : dialog.findChildren<QCheckBox*>())
            if (box->text() == name && (found = true))
                box->setChecked(value == "Yes");
        for (auto* spin : dialog.findChildren<QSpinBox*>())
            if (spin->accessibleName() == name && (found = true))
                spin->setValue(value.toInt());
        EXPECT_TRUE(found) << name.toStdString();
    }
}

QStringList Rows(const TScriptGrid& grid) {
    QStringList rows;
    for (int row = 0; row < grid.Table()->rowCount(); ++row) {
        QStringList cells;
        for (int column = 0; column < grid.Table()->columnCount(); ++column)
            cells << grid.Table()->item(row, column)->text();
        rows << cells.join(" | ");
    }
    return rows;
}

TEST(FTPPages, FTPScriptGridEditsTheActionsSteps) {
    TProject project =
        ProjectWith({}, "action.ftp.script", json::object(), RoundTripOf("action.ftp.script")["children"]);
    auto& action = *project.Actions.back();
    TFTPScriptFrame page(nullptr);
    page.ReadActionData(action);
    auto& grid = *page.Grid();
    EXPECT_EQ(Rows(grid), (QStringList{"Upload File | From : l : To : r | No",
                                       "List Directory | File : *.c Into Variable : V | Yes"}));

    std::vector<std::pair<QString, QString>> typed;
    grid.SetEditor([&typed](QWidget* parent, TSerializableObject& item) {
        TFTPItemEditForm form(parent, item);
        form.Load(item);
        Fill(form, typed);
        form.Save(item);
        return true;
    });
    typed = {{"Remote file :", "old.txt"}, {"New name :", "new.txt"}, {"Enabled", "No"}};
    ASSERT_TRUE(grid.AddItem(9));
    typed = {{"Remote file :", "up.txt"}, {"Local file :", "/tmp/up.txt"}, {"Enabled", "Yes"}};
    ASSERT_TRUE(grid.EditItem(0));
    grid.DeleteItem(1);
    grid.MoveItem(1, -1);
    EXPECT_EQ(Rows(grid), (QStringList{"Rename File | From : old.txt : To : new.txt | No",
                                       "Upload File | From : /tmp/up.txt : To : up.txt | Yes"}));
    // Nothing reaches the action before the page writes.
    EXPECT_EQ(JsonOf(project.Actions.back()).find("new.txt"), std::string::npos);
    page.WriteActionData(action);
    TSerializableList steps;
    action.GetChildren(steps);
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_EQ(steps[0]->GetClass().StoredType(), "ftp.script.renamefile");
    EXPECT_EQ(steps[0]->GetPropertyValue("NewName"), TPropertyValue(std::string("new.txt")));
    EXPECT_EQ(steps[1]->GetPropertyValue("LocalFile"), TPropertyValue(std::string("/tmp/up.txt")));
    EXPECT_EQ(steps[1]->GetPropertyValue("CompareFileSize"), TPropertyValue(true));
}

TEST(FTPPages, TelnetScriptGridUsesTheSameGrid) {
    TProject project =
        ProjectWith({}, "telnet.client", json::object(), RoundTripOf("telnet.client")["children"]);
    TZRTelnetScrptFrame page(nullptr);
    page.ReadActionData(*project.Actions.back());
    auto& grid = *page.Grid();
    grid.SetEditor([](QWidget* parent, TSerializableObject& item) {
        TTelnetScriptEditor editor(parent);
        EXPECT_EQ(editor.windowTitle(), "Telnet Script Item");
        editor.Load(item);
        Fill(editor, {{"Script text :", "whoami"},
                      {"Wait for :", "# "},
                      {"Wait timeout :", "750"},
                      {"Fail if timeout occurs", "Yes"}});
        editor.Save(item);
        return true;
    });
    ASSERT_TRUE(grid.AddItem(0));
    grid.MoveItem(2, -1);
    grid.DeleteItem(2);
    EXPECT_EQ(Rows(grid), (QStringList{"ls | $  | 500 | Yes", "whoami | #  | 750 | Yes"}));
    page.WriteActionData(*project.Actions.back());
    TSerializableList steps;
    project.Actions.back()->GetChildren(steps);
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_EQ(steps[1]->GetPropertyValue("SendText"), TPropertyValue(std::string("whoami")));
    EXPECT_EQ(steps[1]->GetPropertyValue("FailIfTimedOut"), TPropertyValue(true));
}

} // namespace
