// The e-mail, news, HTTP, Telnet and ICQ pages, created by class name as the designer creates them,
// on real actions of a parsed project: captions and choices, unchanged and fresh round trips, the
// address grid, the property editors and the e-mail option page.
#include "design/DesignContract.h"
#include "design/FileListEditor.h"
#include "host/CryptoUtils.h"
#include "host/Project.h"
#include "mail/ZREmail.h"
#include "mail/ZREmailOptions.h"
#include "package/ZRInternetReg.h"
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
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

extern "C" void ZRRegisterPages();

// Readable failure messages.
void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace {

using nlohmann::ordered_json;
using quillate::TZRAction;

// Every property a page shows holds a value other than its initial one; passwords are set by
// the test in their stored form.
constexpr const char* ProjectJson = R"({"actions":[
 {"type":"action.smtp.send","properties":{"Mode":1,"Host":"smtp.example","Port":2525,"UserId":"mailer",
  "Subject":"Report","RecipientsSource":"asFromFile","CopyToSource":"asFromVariable","BccSource":"asFromFile",
  "ReplyToSource":"asFromVariable","PathOfRecipientFile":"r.txt","PathOfCopyToFile":"c.txt",
  "PathOfBccFile":"b.txt","PathOfReplyToFile":"p.txt","RecipientVariable":"R","CopyToVariable":"C",
  "BccVariable":"B","ReplyToVariable":"P","AttachmentsObject":["a.txt","%Dir%/b.txt"],
  "BodyObject":["<p>Hi</p>",""],"PlainBodyObject":["Hi"],"HTMLMessage":true,"Authenticate":true,
  "UseEhlo":true,"UseGlobalOptions":true,"IgnoreMissingAttachments":true,"Encoding":"utf-8","Priority":4,
  "IgnoreIndivualFailures":true,"UseSSL":true,"UseTLS":"utUseExplicitTLS"},
  "children":[
   {"type":"email.address","properties":{"Name":"Ann","Address":"ann@x.org","AddressType":"from"}},
   {"type":"email.address","properties":{"Name":"Sam","Address":"sam@x.org","AddressType":"sender"}},
   {"type":"email.list","properties":{"ListType":"replyto"},"children":[{"type":"email.address","properties":{"Address":"re@x.org"}}]},
   {"type":"email.address","properties":{"Name":"Rita","Address":"rr@x.org","AddressType":"ReceiptRecipient"}},
   {"type":"email.list","properties":{"ListType":"recipients"},"children":[
     {"type":"email.address","properties":{"Name":"R One","Address":"r1@x.org"}},
     {"type":"email.address","properties":{"Address":"r2@x.org","Enabled":false}}]},
   {"type":"email.list","properties":{"ListType":"copyto"},"children":[{"type":"email.address","properties":{"Address":"cc@x.org"}}]},
   {"type":"email.list","properties":{"ListType":"blindcopyto"},"children":[{"type":"email.address","properties":{"Name":"B","Address":"bcc@x.org","Enabled":false}}]}]},
 {"type":"action.nntp.post","properties":{"Subject":"News","Body":["line 1","line 2"],"SenderName":"Ann",
  "EmailAddress":"ann@x.org","ReplyTo":"re@x.org","UserName":"poster","NewsServer":"news.example",
  "Groups":"a.b,c.d","Port":1119,"TimeOut":30,"Attachments":["n.txt"],"IgnoreMissingAttachments":true,
  "Login":true,"HTMLMessage":true,"Encoding":"ISO-8859-2"}},
 {"type":"action.inet.http.get","properties":{"URL":"http://h/x","Port":8080,"Username":"web",
  "DownloadTo":"dSaveToZRVariable","DownloadToFile":"/tmp/out","DownloadToVar":"Page","OverwriteFile":true,
  "AcceptRedirects":true,"UseServerFileName":true}},
 {"type":"telnet.client","properties":{"Host":"telnet.example","Port":2323,"UserName":"root"}},
 {"type":"action.icq.post","properties":{"ICQNumber":"12345","ToICQNumber":"111\r\n222","TheMessage":"Hello\nthere",
  "Server":"oscar.example","Port":5191,"SendSMS":true}}]})";

// Stored values no control offers (a priority past the list, an unknown encoding) and ports at their bounds.
constexpr const char* OddValuesJson = R"({"actions":[
 {"type":"action.smtp.send","properties":{"Priority":9,"Port":0,"Encoding":"x-custom"}},
 {"type":"telnet.client","properties":{"Port":65535}},
 {"type":"action.inet.http.get","properties":{"Port":0}}]})";

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

class OtherPagesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "pages_other_tests";
        static char* argv[] = {name, nullptr};
        static QApplication application(argc, argv);
        static const bool registered = [] {
            zr::RegisterPackage(false);
            ZRRegisterPages();
            return true;
        }();
        (void)registered;
    }

    static quillate::TProject Load(const char* json) {
        auto project = quillate::TProject::Parse(json, "pages.json");
        for (const auto& action : project.Actions) {
            const auto* info = action->Properties().Find(PagesOf(*action).Password);
            action->SetPropertyValue(
                info->Name, quillate::EncryptString("pw-" + action->ClassName(), info->EncryptionKey));
        }
        return project;
    }

    static std::shared_ptr<TZRAction> Fresh(const TZRAction& like) {
        return std::dynamic_pointer_cast<TZRAction>(like.GetClass().Create());
    }

    // The action as the project file stores it; with `clear`, passwords as clear text, since
    // every encryption of one password differs.
    static ordered_json Stored(const std::shared_ptr<TZRAction>& action, bool clear) {
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
    static void RunDialog(const TZRAction& from, TZRAction& to) {
        QWidget dialog;
        for (const char* name : PagesOf(from).Pages) {
            auto* page = quillate::DesignClasses().CreatePage(name, &dialog);
            ASSERT_NE(page, nullptr) << name;
            page->ReadActionData(from);
            page->WriteActionData(to);
        }
    }

    template <class T> static T* Find(QWidget* page, const QString& text) {
        for (auto* widget : page->findChildren<T*>())
            if (widget->text() == text)
                return widget;
        ADD_FAILURE() << "no control " << text.toStdString();
        return nullptr;
    }
};

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

const QStringList Encodings{
    "Default",      "UTF-8",      "ISO-8859-1",   "ISO-8859-2",   "ISO-8859-3",  "ISO-8859-6", "ISO-8859-7",
    "ISO-8859-8-I", "ISO-8859-9", "ISO-8859-10",  "ISO-8859-13",  "ISO-8859-15", "GB2312",     "GB18030",
    "Big5",         "KOI8-R",     "Windows-1251", "Windows-1255", "ISO-2022-JP", "EUC-KR",     "TIS-620"};
const QStringList TLS{"No TLS Support", "Use Implicit TLS", "Use Require TLS", "Use Explicit TLS"};
const QStringList AddressTexts{"Specify",    "Email",          "Name",      "Enabled",
                               "Import",     "Export",         "Add",       "Delete",
                               "Edit Field", "Load from file", "Browse...", "Load from variable"};

TEST_F(OtherPagesTest, CaptionsAndTextsInTabOrder) {
    struct TCase {
        const char* Class;
        QString Caption;
        QStringList Texts;
        QStringList Labels;
    };
    const std::vector<TCase> cases{
        {"TEmailOptionsFrame",
         "SMTP",
         QStringList{"Use global SMTP options", "Use EHLO", "Authenticate", "Use SSL"} + TLS,
         {}},
        {"TEmailWhoFrame", "Sender", {"Normal", "Individual", "Ignore individual failures"}, {}},
        {"TRecipientsFrame",
         "Recipients",
         AddressTexts,
         {"Variable must contain comma delimited list of email addresses."}},
        {"TCopyToFrame", "Copy To", AddressTexts, {}},
        {"TBlindCopyToFrame", "BCC", AddressTexts, {}},
        {"TReplyToFrame", "Reply To", AddressTexts, {}},
        {"TBodyFrame",
         "Message",
         QStringList{"Message is HTML formatted"} + Encodings +
             QStringList{"Highest", "High", "Normal", "Low", "Lowest"},
         {}},
        {"TAttachmentsFrame", "Attach", {"Browse...", "Ignore missing attachments"}, {}},
        {"TNNTPFrame", "NNTP", {"Login"}, {"Separate multiple newsgroups with comma"}},
        {"TInetHTTPGetFrame",
         "HTTP Get File",
         {"Save to file", "Use server filename", "Overwrite existing file", "Save to variable",
          "Just check that file exists", "Accept && process redirects (3xx responses)"},
         {"Save to File", "If the variable does not exist, it will be created"}},
        {"TZRTelnetOptFrame", "Options", {}, {"Host:", "Port:", "User name:", "Password:"}},
        {"TICQFrame", "Send ICQ Message", {"To ICQs :", "Send SMSs to :"}, {}},
        {"TEmailGlobalOptionsFrame",
         "Email Options",
         QStringList{"Use EHLO", "Authenticate", "Use SSL"} + TLS + Encodings,
         {"Default message encoding:"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Class);
        QWidget owner;
        QWidget* page = quillate::DesignClasses().CreatePage(c.Class, &owner);
        QString caption = page ? static_cast<quillate::TPropertyPage*>(page)->PageName() : QString();
        if (!page) {
            auto* options = quillate::DesignClasses().CreateOptionPage(c.Class, &owner);
            ASSERT_NE(options, nullptr);
            page = options;
            caption = options->GetPageName();
        }
        EXPECT_EQ(caption, c.Caption);
        EXPECT_EQ(TabOrderTexts(page), c.Texts);
        QStringList labels;
        for (auto* label : page->findChildren<QLabel*>())
            labels << label->text();
        for (const auto& text : c.Labels)
            EXPECT_TRUE(labels.contains(text)) << text.toStdString();
    }
}

// Pressing OK on an unchanged dialog keeps every stored value, odd ones too; the dialog of one action
// writing into a fresh one copies every value.
TEST_F(OtherPagesTest, DialogKeepsEveryStoredValueAndCopiesItToAFreshAction) {
    for (const char* json : {ProjectJson, OddValuesJson}) {
        auto project = Load(json);
        for (const auto& action : project.Actions) {
            SCOPED_TRACE(action->ClassName());
            const auto before = Stored(action, false);
            if (json == ProjectJson) {
                auto copy = Fresh(*action);
                RunDialog(*action, *copy);
                EXPECT_EQ(Stored(copy, true), Stored(action, true));
            }
            RunDialog(*action, *action);
            EXPECT_EQ(Stored(action, false), before);
        }
    }
}

TEST_F(OtherPagesTest, PagesFollowTheirSwitches) {
    QWidget owner;
    auto* http = quillate::DesignClasses().CreatePage("TInetHTTPGetFrame", &owner);
    auto* serverName = Find<QCheckBox>(http, "Use server filename");
    auto* label = Find<QLabel>(http, "Save to File");
    ASSERT_TRUE(serverName && label);
    serverName->setChecked(true);
    EXPECT_EQ(label->text(), "Save to Directory");
    serverName->setChecked(false);
    EXPECT_EQ(label->text(), "Save to File");
    auto project = Load(ProjectJson);
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

TEST_F(OtherPagesTest, AddressGridEditsTheActionsList) {
    auto project = Load(ProjectJson);
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

TEST_F(OtherPagesTest, PropertyEditors) {
    auto project = Load(ProjectJson);
    auto& action = dynamic_cast<zr::TEmailAction&>(*project.Actions[0]);
    auto mode = quillate::DesignClasses().CreateEditor("TEMailModeEditor");
    ASSERT_NE(mode, nullptr);
    EXPECT_EQ(mode->Values(), (QStringList{"Normal", "Individual"}));
    for (const auto& [text, value] : {std::pair{"Normal", 0}, {"Individual", 1}}) {
        mode->SetValue(action, "Mode", text);
        EXPECT_EQ(std::get<std::int64_t>(action.GetPropertyValue("Mode")), value);
        EXPECT_EQ(mode->GetValue(action, "Mode"), text);
    }

    // Each dialog editor is driven while it is open: its title, one change, OK.
    struct TCase {
        const char* Editor;
        const char* Property;
        QString Title;
        std::function<void(QWidget*)> Change;
        std::function<void()> Check;
    };
    const std::vector<TCase> cases{
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
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Editor);
        auto editor = quillate::DesignClasses().CreateEditor(c.Editor);
        ASSERT_NE(editor, nullptr);
        QString title;
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            title = dialog->windowTitle();
            c.Change(dialog);
            dialog->accept();
        });
        EXPECT_TRUE(editor->Edit(nullptr, action, c.Property));
        EXPECT_EQ(title, c.Title);
        c.Check();
    }
}

TEST_F(OtherPagesTest, OptionPageWritesWhatWasTyped) {
    QWidget owner;
    auto* page = quillate::DesignClasses().CreateOptionPage("TEmailGlobalOptionsFrame", &owner);
    ASSERT_NE(page, nullptr);
    zr::TZREmailOptions options;
    page->ReadOptions(options);
    const auto edits = page->findChildren<QLineEdit*>(Qt::FindDirectChildrenOnly);
    ASSERT_EQ(edits.size(), 3);
    edits[0]->setText("mail.example");
    page->findChild<QSpinBox*>()->setValue(587);
    Find<QCheckBox>(page, "Authenticate")->setChecked(true);
    Find<QCheckBox>(page, "Use EHLO")->setChecked(true);
    edits[1]->setText("me");
    edits[2]->setText("p%w");
    Find<QCheckBox>(page, "Use SSL")->setChecked(true);
    const auto combos = page->findChildren<QComboBox*>(Qt::FindDirectChildrenOnly);
    ASSERT_EQ(combos.size(), 2);
    combos[0]->setCurrentIndex(3);
    combos[1]->setCurrentText("KOI8-R");
    page->WriteOptions(options);

    EXPECT_EQ(options.GetSMTPHost(), "mail.example");
    EXPECT_EQ(options.GetSMTPPort(), 587);
    EXPECT_TRUE(options.GetSMTPAuth() && options.GetSMTPEHLO() && options.GetSMTPSSL());
    EXPECT_EQ(options.GetSMTPUser(), "me");
    EXPECT_EQ(options.GetSMTPPass(), "p%w");
    EXPECT_EQ(options.GetSMTPUseTLS(), zr::utUseExplicitTLS);
    EXPECT_EQ(options.GetDefaultEncoding(), "KOI8-R");
}

} // namespace
