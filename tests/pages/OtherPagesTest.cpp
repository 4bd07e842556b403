// The e-mail, news, HTTP, Telnet and ICQ pages, created by class name as the designer creates them,
// on real actions of a parsed project: captions and choices, unchanged and fresh round trips, the
// address grid, the property editors and the e-mail option page.
#include "design/DesignContract.h"
#include "design/FileListEditor.h"
#include "host/CryptoUtils.h"
#include "host/Project.h"
#include "mail/ZREmail.h"
#include "mail/ZREmailOptions.h"
#include "pages/mail/AddressListFrame.h"
#include "pages/mail/MessagePages.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

// Readable failure messages.
void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace {

using nlohmann::ordered_json;
using quillate::TZRAction;

// A table of tests/data/pages (JSON with comments; README.md there says the format).
ordered_json Table(const std::string& name) {
    return ordered_json::parse(std::ifstream(PAGES_DATA_DIR "/" + name), nullptr, true, true);
}

struct TActionPages {
    const char* Type;
    std::vector<const char*> Pages;
    const char* Password;
};

const std::vector<TActionPages> ActionPages{
    {"action.smtp.send",
     {"TEmailOptionsFrame", "TEmailWhoFrame", "TRecipientsFrame", "TBodyFrame", "TAttachmentsFrame",
      "TCopyToFrame", "TBlindCopyToFrame", "TReplyToFrame"},
     "EncryptedPassword"},
    {"action.nntp.post", {"TNNTPFrame", "TBodyFrame", "TAttachmentsFrame"}, "Token"},
    {"action.inet.http.get", {"TInetHTTPGetFrame"}, "Cookie"},
    {"telnet.client", {"TZRTelnetOptFrame"}, "EncryptedPassword"},
    {"action.icq.post", {"TICQFrame"}, "Cookie"},
};

const TActionPages& PagesOf(const TZRAction& action) {
    for (const auto& entry : ActionPages)
        if (action.GetClass().StoredType() == entry.Type)
            return entry;
    throw std::logic_error("no pages for " + action.ClassName());
}

// A project of tests/data/pages/other-projects.json with the passwords set.
quillate::TProject Load(const std::string& name) {
    auto project = quillate::TProject::Parse(Table("other-projects.json")[name].dump(), "pages.json");
    for (const auto& action : project.Actions) {
        const auto* info = action->Properties().Find(PagesOf(*action).Password);
        action->SetPropertyValue(info->Name,
                                 quillate::EncryptString("pw-" + action->ClassName(), info->EncryptionKey));
    }
    return project;
}

// The action as the project file stores it; with `clear`, passwords as clear text, since
// every encryption of one password differs.
ordered_json Stored(const std::shared_ptr<TZRAction>& action, bool clear) {
    quillate::TProject project;
    project.Actions.push_back(action);
    auto json = ordered_json::parse(project.ToJson())["actions"][0];
    if (clear && json.contains("properties"))
        for (auto& [name, value] : json["properties"].items())
            if (const auto* info = action->Properties().Find(name); info && !info->EncryptionKey.empty())
                value = quillate::DecryptString(value.get<std::string>(), info->EncryptionKey);
    return json;
}

// Every page of the action's dialog reads `from` and writes `to`, as pressing OK does.
void RunDialog(const TZRAction& from, TZRAction& to) {
    QWidget dialog;
    for (const char* name : PagesOf(from).Pages) {
        auto* page = quillate::DesignClasses().CreatePage(name, &dialog);
        ASSERT_NE(page, nullptr) << name;
        page->ReadActionData(from);
        page->WriteActionData(to);
    }
}

template <class T> T* Find(QWidget* page, const QString& text) {
    for (auto* widget : page->findChildren<T*>())
        if (widget->text() == text)
            return widget;
    ADD_FAILURE() << "no control " << text.toStdString();
    return nullptr;
}

// The visible texts of a page's controls in tab order: button texts, list entries, grid columns.
QStringList TabOrderTexts(QWidget* page) {
    QStringList texts;
    for (QWidget* w = page->nextInFocusChain(); w != page; w = w->nextInFocusChain()) {
        if (!page->isAncestorOf(w) || w->focusPolicy() == Qt::NoFocus)
            continue;
        if (auto* button = qobject_cast<QAbstractButton*>(w))
            texts << button->text();
        else if (auto* combo = qobject_cast<QComboBox*>(w))
            for (int i = 0; i < combo->count(); ++i)
                texts << combo->itemText(i);
        else if (auto* grid = qobject_cast<QTableWidget*>(w))
            for (int c = 0; c < grid->columnCount(); ++c)
                texts << grid->horizontalHeaderItem(c)->text();
    }
    return texts;
}

QStringList Strings(const ordered_json& texts) {
    QStringList list;
    for (const auto& text : texts)
        list << QString::fromStdString(text.get<std::string>());
    return list;
}

// Each page's caption, texts in tab order and some labels, as other-page-texts.json lists them.
TEST(OtherPagesTest, CaptionsAndTextsInTabOrder) {
    for (const auto& expected : Table("other-page-texts.json")) {
        const auto name = expected["page"].get<std::string>();
        SCOPED_TRACE(name);
        QWidget owner;
        QWidget* page = quillate::DesignClasses().CreatePage(name, &owner);
        QString caption = page ? static_cast<quillate::TPropertyPage*>(page)->PageName() : QString();
        if (!page) {
            auto* options = quillate::DesignClasses().CreateOptionPage(name, &owner);
            ASSERT_NE(options, nullptr);
            page = options;
            caption = options->GetPageName();
        }
        EXPECT_EQ(caption, QString::fromStdString(expected["caption"].get<std::string>()));
        EXPECT_EQ(TabOrderTexts(page), Strings(expected["texts"]));
        QStringList labels;
        for (auto* label : page->findChildren<QLabel*>())
            labels << label->text();
        for (const auto& text : Strings(expected.value("labels", ordered_json::array())))
            EXPECT_TRUE(labels.contains(text)) << text.toStdString();
    }
}

// Pressing OK on an unchanged dialog keeps every stored value, odd ones too; the dialog of one action
// writing into a fresh one copies every value.
TEST(OtherPagesTest, DialogKeepsEveryStoredValueAndCopiesItToAFreshAction) {
    for (const std::string name : {"everyField", "oddValues"}) {
        auto project = Load(name);
        for (const auto& action : project.Actions) {
            SCOPED_TRACE(action->ClassName());
            const auto before = Stored(action, false);
            if (name == "everyField") {
                auto copy = std::dynamic_pointer_cast<TZRAction>(action->GetClass().Create());
                RunDialog(*action, *copy);
                EXPECT_EQ(Stored(copy, true), Stored(action, true));
            }
            RunDialog(*action, *action);
            EXPECT_EQ(Stored(action, false), before);
        }
    }
}

TEST(OtherPagesTest, PagesFollowTheirSwitches) {
    QWidget owner;
    auto* http = quillate::DesignClasses().CreatePage("TInetHTTPGetFrame", &owner);
    auto* serverName = Find<QCheckBox>(http, "Use server filename");
    auto* label = Find<QLabel>(http, "Save to File");
    ASSERT_TRUE(serverName && label);
    serverName->setChecked(true);
    EXPECT_EQ(label->text(), "Save to Directory");
    serverName->setChecked(false);
    EXPECT_EQ(label->text(), "Save to File");
    auto project = Load("everyField");
    http->ReadActionData(*project.Actions[2]);
    EXPECT_EQ(label->text(), "Save to Directory");

    // Choosing several attachments at once adds one line each: the actions read a line as one path.
    auto* attach = static_cast<zr::pages::TAttachmentsFrame*>(
        quillate::DesignClasses().CreatePage("TAttachmentsFrame", &owner));
    attach->ReadActionData(*project.Actions[0]);
    attach->AddFiles({"/d/x.txt", "/d/y.txt"});
    attach->WriteActionData(*project.Actions[0]);
    EXPECT_EQ(std::get<quillate::TStringList>(project.Actions[0]->GetPropertyValue("AttachmentsObject")),
              (quillate::TStringList{"a.txt", "%Dir%/b.txt", "/d/x.txt", "/d/y.txt"}));
}

TEST(OtherPagesTest, AddressGridEditsTheActionsList) {
    auto project = Load("everyField");
    auto& action = dynamic_cast<zr::TEmailAction&>(*project.Actions[0]);
    QWidget owner;
    auto* frame = static_cast<zr::pages::TAddressListBaseFrame*>(
        quillate::DesignClasses().CreatePage("TRecipientsFrame", &owner));
    owner.show();
    frame->ReadActionData(action);
    auto* grid = frame->findChild<QTableWidget*>();
    ASSERT_EQ(grid->rowCount(), 2);
    EXPECT_EQ(grid->item(1, 2)->checkState(), Qt::Unchecked);

    Find<QPushButton>(frame, "Add")->click();
    ASSERT_EQ(grid->rowCount(), 3);
    EXPECT_NE(grid->indexWidget(grid->currentIndex()), nullptr);
    grid->item(2, 0)->setText("new@x.org");
    grid->item(2, 1)->setText("New One");
    grid->setCurrentCell(0, 1);
    Find<QPushButton>(frame, "Delete")->click();
    grid->setCurrentCell(0, 1);
    Find<QPushButton>(frame, "Edit Field")->click();
    EXPECT_NE(grid->indexWidget(grid->currentIndex()), nullptr);
    frame->WriteActionData(action);

    std::vector<std::tuple<std::string, std::string, bool>> entries;
    for (const auto& entry : action.Addresses().Recipients->Entries())
        entries.emplace_back(entry->GetAddress(), entry->GetName(), entry->GetEnabled());
    EXPECT_EQ(entries, (decltype(entries){{"r2@x.org", "", false}, {"new@x.org", "New One", true}}));
    EXPECT_EQ(action.Addresses().Recipients->GetListType(), "recipients");
    EXPECT_EQ(action.Addresses().CopyTo->GetCount(), 1u);

    // Export writes the address file format, which import reads back through the list itself.
    QTemporaryDir folder;
    const QString path = folder.filePath("list.txt");
    ASSERT_TRUE(frame->ExportFile(path));
    ASSERT_TRUE(frame->ImportFile(path));
    const auto rows = frame->Rows();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[3], (zr::pages::TAddressRow{"new@x.org", "New One", true}));
}

TEST(OtherPagesTest, PropertyEditors) {
    auto project = Load("everyField");
    auto& action = dynamic_cast<zr::TEmailAction&>(*project.Actions[0]);
    auto mode = quillate::DesignClasses().CreateEditor("TEMailModeEditor");
    ASSERT_NE(mode, nullptr);
    EXPECT_EQ(mode->Values(), (QStringList{"Normal", "Individual"}));
    for (const auto& [text, value] : {std::pair{"Normal", 0}, {"Individual", 1}}) {
        mode->SetValue(action, "Mode", text);
        EXPECT_EQ(std::get<std::int64_t>(action.GetPropertyValue("Mode")), value);
        EXPECT_EQ(mode->GetValue(action, "Mode"), text);
    }

    // Each dialog editor is driven while it is open: its title, one change, OK; then the property is checked.
    const std::tuple<const char*, const char*, QString, std::function<void(QWidget*)>, std::function<void()>>
        cases[]{
            {"TCopyToEditor", "CopyTo", "Email Address List",
             [](QWidget* d) {
                 d->findChild<zr::pages::TAddressListBaseFrame*>()->SetRows({{"x@y.org", "X", true}});
             },
             [&] { EXPECT_EQ(action.Addresses().CopyTo->Item(0)->GetAddress(), "x@y.org"); }},
            {"TEmailBodyEditor", "BodyObject", "Message Body",
             [](QWidget* d) { d->findChild<QPlainTextEdit*>()->setPlainText("one\ntwo"); },
             [&] {
                 EXPECT_EQ(std::get<quillate::TStringList>(action.GetPropertyValue("BodyObject")),
                           (quillate::TStringList{"one", "two"}));
             }},
            {"TEmailAttachmentsEditor", "AttachmentsObject", "Attachments",
             [](QWidget* d) { static_cast<quillate::TFileListEditor*>(d)->AddFiles({"/z.pdf"}); },
             [&] {
                 EXPECT_EQ(std::get<quillate::TStringList>(action.GetPropertyValue("AttachmentsObject")),
                           (quillate::TStringList{"a.txt", "%Dir%/b.txt", "/z.pdf"}));
             }},
        };
    for (const auto& [name, property, expectedTitle, change, check] : cases) {
        SCOPED_TRACE(name);
        auto editor = quillate::DesignClasses().CreateEditor(name);
        ASSERT_NE(editor, nullptr);
        QString title;
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            title = dialog->windowTitle();
            change(dialog);
            dialog->accept();
        });
        EXPECT_TRUE(editor->Edit(nullptr, action, property));
        EXPECT_EQ(title, expectedTitle);
        check();
    }
}

TEST(OtherPagesTest, OptionPageWritesWhatWasTyped) {
    QWidget owner;
    auto* page = quillate::DesignClasses().CreateOptionPage("TEmailGlobalOptionsFrame", &owner);
    ASSERT_NE(page, nullptr);
    zr::TZREmailOptions options;
    page->ReadOptions(options);
    const auto edits = page->findChildren<QLineEdit*>(Qt::FindDirectChildrenOnly);
    ASSERT_EQ(edits.size(), 3);
    edits[0]->setText("mail.example");
    page->findChild<QSpinBox*>()->setValue(587);
    for (const char* box : {"Authenticate", "Use EHLO", "Use SSL"})
        Find<QCheckBox>(page, box)->setChecked(true);
    edits[1]->setText("me");
    edits[2]->setText("p%w");
    const auto combos = page->findChildren<QComboBox*>(Qt::FindDirectChildrenOnly);
    ASSERT_EQ(combos.size(), 2);
    combos[0]->setCurrentIndex(3);
    combos[1]->setCurrentText("KOI8-R");
    page->WriteOptions(options);

    EXPECT_EQ(std::tuple(options.GetSMTPHost(), options.GetSMTPPort(), options.GetSMTPAuth(),
                         options.GetSMTPEHLO(), options.GetSMTPSSL(), options.GetSMTPUser(),
                         options.GetSMTPPass(), options.GetSMTPUseTLS(), options.GetDefaultEncoding()),
              std::tuple("mail.example", 587, true, true, true, "me", "p%w", zr::utUseExplicitTLS, "KOI8-R"));
}

} // namespace
