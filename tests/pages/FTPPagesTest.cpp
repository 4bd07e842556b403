// The FTP pages, the HTTP proxy page, the Telnet script page and the host's wait page, driven
// against the real actions: captions and fields in tab order, values that survive a read and a
// write, the connection rules and the script grids.
#include "DesignProject.h"
#include "design/DesignContract.h"
#include "host/CryptoUtils.h"
#include "host/Options.h"
#include "host/Project.h"
#include "host/Registration.h"
#include "package/ZRInternetReg.h"
#include "pages/ftp/FTPConnectionPages.h"
#include "pages/ftp/FTPMirrorPages.h"
#include "pages/ftp/FTPScriptPages.h"
#include "pages/telnet/TelnetScriptPage.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QSpinBox>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

extern "C" void ZRRegisterPages();

namespace {

using namespace quillate;
using namespace zr::pages;

// What the designer offers a page: the project's connections, variables and file sets.
using TProjectView = quillate::designer::TDesignProject;

std::string Connect(const std::string& name) {
    return R"({"type":"action.ftp.connect","properties":{"FTPConnectionName":")" + name + R"("}})";
}

// A project with the connections named, then the action of this type with these properties.
TProject ProjectWith(const std::vector<std::string>& connections, const std::string& type,
                     const std::string& properties = "", const std::string& children = "[]") {
    std::string json =
        R"({"variables":{"V":"1"},"fileSets":[{"name":"Docs","baseDirectory":"d","include":["*"],)"
        R"("exclude":[],"recursive":false}],"actions":[)";
    for (const auto& name : connections)
        json += Connect(name) + ",";
    json +=
        R"({"type":")" + type + R"(","properties":{)" + properties + R"(},"children":)" + children + "}]}";
    return TProject::Parse(json, "pages.json");
}

std::shared_ptr<TZRAction> NewAction(const std::string& type) {
    return std::dynamic_pointer_cast<TZRAction>(ActionService().FindAction(type)->Create());
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

const QString C = "FTP connection:", AR = "Auto reconnect if disconnected.", DL = "Detailed FTP logging";
const QString TLS = "None|Explicit (AUTH TLS)|Implicit", ProtectData = "Protect data connections (PROT P)";
const QString Protocols = "FTP|SFTP (SSH)";
// The texts of the pages that the connect and the script actions each have in a class of their own.
const QStringList ServerTexts({"Host:", "Port:", "User:", "Password:", "Use global FTP options", Protocols,
                               TLS, ProtectData,
                               "Host key fingerprint:", "Private key file:", "Key passphrase:"});
const QStringList ProxyTexts({"Use proxy server", "None|UserSite|Site|Open|UserPass|Transparent",
                              "Server:", "Port:", "Username:", "Password:"});
const QStringList ScriptTexts = {"Script", "Add", "Edit", "Delete", "Move Up", "Move Down"};

struct TPageTexts {
    const char* Page;
    QString Caption;
    QStringList Texts;
};

const std::vector<TPageTexts> PageTexts = {
    {"TFTPConnectFrame",
     "FTP Connection",
     {"Connection name:", "Passive", "Binary transfer mode", "ASCII transfer mode", "Enable keep alives",
      "Use HOST command", DL}},
    {"TFTPServerFrame", "Server && Authentication", ServerTexts},
    {"TFTPOptionsFrame", "Server && Authentication", ServerTexts},
    {"TFTPNewProxyFrame", "FTP Proxy", ProxyTexts},
    {"TFTPProxyFrame", "FTP Proxy", ProxyTexts},
    {"THTTPProxyFrame", "HTTP Proxy", {"Use proxy server", "Server:", "Port:", "Username:", "Password:"}},
    {"TFTPMoreOptionsFrame", "Options", {"Passive", "Detailed logging", "Binary", "ASCII"}},
    {"TFTPScriptFrame", "Script", ScriptTexts},
    {"TZRTelnetScrptFrame", "Script", ScriptTexts},
    {"TFTPChangeDirFrame", "Change remote directory", {C, "Remote directory:", AR, DL}},
    {"TFTPChangeUpFrame", "Change up directory", {C, AR, DL}},
    {"TFTPCheckIfConnectedFrame", "If Connected", {C, "Fail action", "Reconnect and run child actions"}},
    {"TFTPCreateDirFrame",
     "Create directory",
     {C, "New directory name:", "Do not fail if directory already exists", AR, DL}},
    {"TFTPDeleteDirFrame",
     "Delete directory",
     {C, "Directory name:", "Recursively delete subdirectories and files", AR, DL}},
    {"TFTPDeleteFileFrame", "Delete file", {C, "Filename:", AR, DL}},
    {"TFTPDisconnectFrame", "FTP Disconnect", {C}},
    {"TFTPDownloadFileFrame",
     "Download file",
     {C, "Filename:", "Directory:", "...", "Use remote filename", "Specify filename",
      "Local filename:", "Allow resume", "Allow overwrite", AR, DL}},
    {"TFTPGetFileSizeFrame", "Get file size", {C, "Filename:", "Variable:", AR, DL}},
    {"TFTPGetRemoteDirFrame", "Get remote directory", {C, "Variable:", AR, DL}},
    {"TFTPListDirFrame",
     "List directory",
     {C, "File spec:", "Variable:", "Log listing to log", "Detailed listing", AR, DL}},
    {"TFTPNoopFrame", "No-op", {C, DL}},
    {"TFTPRenameFileFrame", "Rename file", {C, "Filename:", "New name:", AR, DL}},
    {"TFTPSendCMDFrame", "Send CMD Options", {C, "Command:", "Valid response code:", AR, DL}},
    {"TFTPUploadFileFrame",
     "Upload file",
     {C, "File spec", "FileSet", "File spec:", "Local directory:", "...", "Recursive",
      "File set:", "Remote filename:", "Check size of files uploaded", "Retry uploading a file if it fails",
      "Maximum upload speed:", "Maximum upload speed", "kilobytes/sec", AR, DL}},
    {"TFTPUploadUpdateFrame",
     "Update Options",
     {"Update only (upload only new files and files which have changed since the last update.)",
      "Server clock skew hours", "hours", "Server clock skew minutes", "minutes", "Ahead", "Behind",
      "Update automatically after each upload", "Reset clock skew value after  next upload",
      "Upload anyway if the file is less than", "Gap length in minutes",
      "minutes older than server version."}},
    {"TFTPWaitForFileFrame",
     "Wait For File",
     {C, "File:", "Wait for file to exist", "Wait for file to not exist", "Wait for file to change",
      "Wait for file to stop changing", "Fail if the file doesn't exist", AR}},
    {"TWaitOptionsFrame",
     "Wait Options",
     {"Check every (seconds):", "Wait at most (seconds, 0 = no limit):", "Fail if the wait times out"}},
    {"TFTPMirrorFrame",
     "FTP Mirror",
     {C, "Mirror local to remote", "Mirror remote to local", "Local directory:", "...",
      "Remote directory:", "Use current directory of FTP connection", "Recursive",
      "Delete items on server that do not exist locally", "Mirror empty directories", "Mirror date && time",
      AR}},
    {"TFTPMirrorOptFrame",
     "Overwrite Behaviour",
     {"Overwrite where CRC Hashes do not match", "Overwrite where file size is different",
      "Overwrite where source is newer", "Skip time skew check", "Keep connection alive with NO-OPs",
      "NO-OP interval", "milliseconds", "Parallel transfers:", "Parallel listings:"}},
    {"TFTPMirrorExcludeFrame",
     "Include/Exclude Files",
     {"Only mirror files with specific extension", "Extensions:", "Exclusions", "Add", "Delete"}},
    {"TFTPRetryOptFrame",
     "Retry Options",
     {"Max transfer retries: ", "Resume transfer on retry", "Retry transfer on all errors",
      "Enable retry delay", "Retry delay", "milliseconds"}},
    {"TFTPMirrorLoggingOptFrame",
     "Progress Logging",
     {"Enabled", "On Total Percentage|On File Percentage|On Time Elapsed",
      "Percentage interval:", "Milliseconds interval:", "Log FTP commands (Detailed Logging)",
      "Log file transfers", "Log files that are excluded", "Log source files found",
      "Log file differences found", "Log connection status changes", "Log NO-OPs"}},
};

TEST(FTPPages, CaptionsAndFieldsInTabOrder) {
    for (const auto& expected : PageTexts) {
        auto page = CreatePage(expected.Page);
        ASSERT_TRUE(page);
        EXPECT_EQ(page->PageName(), expected.Caption) << expected.Page;
        EXPECT_EQ(TabTexts(page.get()), expected.Texts) << expected.Page;
    }
    std::unique_ptr<TOptionPage> options(DesignClasses().CreateOptionPage("TFTPGlobalOptionsFrame", nullptr));
    ASSERT_TRUE(options);
    EXPECT_EQ(options->GetPageName(), "FTP Options");
    EXPECT_EQ(TabTexts(options.get()),
              (QStringList{"Host:", "Port:", "User:", "Password:", Protocols, TLS, ProtectData}));
}

// Every page of an action with every field it shows set to a value other than the initial one.
struct TRoundTrip {
    const char* Type;
    std::vector<std::string> Pages;
    std::string Properties;
    std::string Children = "[]";
    // Stored passwords, set in clear and encrypted under their property's key.
    std::vector<std::pair<std::string, std::string>> Passwords = {};
};

const std::string Site = R"("ConnectionName":"Site",)";
const std::string ReconnectLogging = R"("AutoReConnect":true,"DetailedLogging":true)";

const std::vector<TRoundTrip> RoundTrips = {
    {"action.ftp.connect",
     {"TFTPConnectFrame", "TFTPServerFrame", "TFTPNewProxyFrame"},
     R"("FTPConnectionName":"Site","Passive":true,"TransferType":"ftASCII","EnableKeepAlives":true,"UseHOST":false,
        "DetailedLogging":true,"FTPHost":"ftp.example.org","FTPPort":2121,"UserID":"bob","UseGlobalOpt":true,
        "Security":"fsExplicit","SecureData":false,"UseProxy":true,"ProxyType":"fpcmOpen","ProxyServer":"proxy",
        "ProxyPort":8021,"ProxyUsername":"pu","Protocol":"cpSFTP","HostKeyFingerprint":"SHA256:k","PrivateKeyFile":"/id")",
     "[]",
     {{"Cookie", "secret"}, {"ProxyCookie", "proxy pass"}, {"PrivateKeyCookie", "phrase"}}},
    {"action.ftp.script",
     {"TFTPOptionsFrame", "TFTPMoreOptionsFrame", "TFTPProxyFrame", "TFTPScriptFrame"},
     R"("Host":"h","Port":990,"UserID":"u","UseGlobalOptions":true,"Security":"fsImplicit","SecureData":false,
        "Passive":true,"DetailedLogging":true,"TransferType":"ftASCII","UseProxy":true,"ProxyType":"fpcmSite",
        "ProxyServer":"p","ProxyPort":21,"ProxyUsername":"pu","Protocol":"cpSFTP","HostKeyFingerprint":"SHA256:k",
        "PrivateKeyFile":"/id")",
     R"([{"type":"ftp.script.uploadfile","properties":{"RemoteFile":"r","LocalFile":"l","CompareFileSize":true,"Enabled":false}},
         {"type":"ftp.script.listdir","properties":{"Spec":"*.c","Details":true,"VariableName":"V","IgnoreError":true}}])",
     {{"EncryptedPassword", "pw"}, {"ProxyCookie", "ppw"}, {"PrivateKeyCookie", "kp"}}},
    {"action.ftp.changedir", {"TFTPChangeDirFrame"}, Site + R"("RemoteDir":"/pub",)" + ReconnectLogging},
    {"action.ftp.changeup", {"TFTPChangeUpFrame"}, Site + ReconnectLogging},
    {"action.ftp.connection.check", {"TFTPCheckIfConnectedFrame"}, Site + R"("FailIfNotConnected":true)"},
    {"action.ftp.dir.create",
     {"TFTPCreateDirFrame"},
     Site + R"("NewDirectory":"n","NoFailIfDirExists":true,)" + ReconnectLogging},
    {"action.ftp.dir.delete",
     {"TFTPDeleteDirFrame"},
     Site + R"("Directory":"d","Recursive":true,)" + ReconnectLogging},
    {"action.ftp.file.delete", {"TFTPDeleteFileFrame"}, Site + R"("FileName":"f",)" + ReconnectLogging},
    {"action.ftp.disconnect", {"TFTPDisconnectFrame"}, R"("ConnectionName":"Site")"},
    {"action.ftp.file.getsize",
     {"TFTPGetFileSizeFrame"},
     Site + R"("FileName":"f","ZRVariable":"V",)" + ReconnectLogging},
    {"action.ftp.remotdir.get", {"TFTPGetRemoteDirFrame"}, Site + R"("ZRVariable":"V",)" + ReconnectLogging},
    {"action.ftp.dir.list",
     {"TFTPListDirFrame"},
     Site + R"("FileSpec":"*.txt","ZRVariable":"V","ListToZRLog":true,"DetailedListing":true,)" +
         ReconnectLogging},
    {"action.ftp.noop", {"TFTPNoopFrame"}, Site + R"("DetailedLogging":true)"},
    {"action.ftp.file.rename",
     {"TFTPRenameFileFrame"},
     Site + R"("FileName":"a","NewName":"b",)" + ReconnectLogging},
    {"action.ftp.sendcmd",
     {"TFTPSendCMDFrame"},
     Site + R"("TheCMD":"SITE X","ResponseCode":"250",)" + ReconnectLogging},
    {"action.ftp.file.download",
     {"TFTPDownloadFileFrame"},
     Site + R"("FileName":"r.bin","DownloadDir":"/tmp/in","UseFileName":true,"DownloadFileName":"l.bin",
        "AllowResume":true,"AllowOverwrite":true,)" +
         ReconnectLogging},
    {"action.ftp.upload.file",
     {"TFTPUploadFileFrame", "TFTPUploadUpdateFrame"},
     Site +
         R"("UseFileSpec":false,"FileSpec":"*.txt","LocalDir":"/tmp/up","Recursive":true,"FileSetName":"Docs",
        "RemoteFile":"r.txt","CheckFileSizes":true,"RetryIfUploadFails":true,"ThrottleUpload":true,"ThrottleSpeed":64,
        "UpdateOnly":true,"ServerClockSkew":-2147483648,"AutoUpdateSkew":false,"ForceNextClockSkewUpdate":false,
        "AllowGap":false,"GapLength":12,)" +
         ReconnectLogging},
    {"action.ftp.waitforfile",
     {"TFTPWaitForFileFrame", "TWaitOptionsFrame"},
     Site +
         R"("FileName":"f","WaitType":"wfFileStoppedChanging","FailIfDoesntExist":true,"AutoReConnect":true,
        "PollFreq":7,"WaitTimeout":-3,"FailIfTimedOut":false)"},
    {"action.ftp.mirror",
     {"TFTPMirrorFrame", "TFTPMirrorOptFrame", "TFTPMirrorExcludeFrame", "TFTPRetryOptFrame",
      "TFTPMirrorLoggingOptFrame"},
     Site +
         R"("MirrorOperation":"moRemoteToLocal","LocalDir":"/tmp/m","SpecifyRemoteDir":true,"RemoteDir":"/r",
        "Recursive":true,"DeleteOrphans":true,"IncludeEmptyDirs":true,"MirrorDateTime":true,"AutoReConnect":true,
        "CheckFileCRC":true,"CheckFileSize":true,"CheckFileDate":true,"SkipSkewCheck":true,"NOOPsEnabled":false,
        "NOOPTimeoutMS":5000,"ParallelTransfers":3,"ParallelListings":5,"UseFileSpec":true,"FileSpec":".c,.h",
        "ExcludeList":["File Mask=*.o","RegEx=^/tmp/","Odd line","Later=kind"],"DetailedLogging":true,"LogFiles":true,
        "LogExcludedFiles":true,"LogSourceFiles":true,"LogDifferences":true,"NOOPLogged":true)",
     R"([{"type":"ftp.retry.options","properties":{"TransferMaxRetries":4,"ResumeOnFailedTransfer":true,
          "RetryTransferOnAllErrors":true,"EnableRetryDelay":true,"RetryDelay":1500}},
         {"type":"ftp.logging.options","properties":{"ProgressLoggingEnabled":true,"ProgressLoggingMode":"OnTimeElapsed",
          "ProgressPercInterval":3000000000,"ProgressMillisecondInterval":5000,"LogConnectionStatus":true}}])"},
    {"action.inet.http.get",
     {"THTTPProxyFrame"},
     R"("UseProxy":true,"ProxyServer":"proxy","ProxyPort":3128,"ProxyUsername":"pu")",
     "[]",
     {{"ProxyCookie", "pp"}}},
    {"telnet.client",
     {"TZRTelnetScrptFrame"},
     "",
     R"([{"type":"telnet.scriptitem","properties":{"SendText":"ls","WaitFor":"$ ","WaitTimeout":500,"FailIfTimedOut":true}},
         {"type":"telnet.scriptitem","properties":{"SendText":"exit","Enabled":false}}])"},
};

// Reading the pages from an action and writing them into a new one gives the same project: every
// field moves its property, and nothing a page cannot show is lost.
TEST(FTPPages, ReadThenWriteGivesTheSameValues) {
    for (const auto& trip : RoundTrips) {
        SCOPED_TRACE(trip.Type);
        const bool isConnect = std::string(trip.Type) == "action.ftp.connect";
        std::vector<std::unique_ptr<TPropertyPage>> pages;
        std::string expected;
        {
            TProject source =
                ProjectWith(isConnect ? std::vector<std::string>{} : std::vector<std::string>{"Site"},
                            trip.Type, trip.Properties, trip.Children);
            auto action = source.Actions.back();
            for (const auto& [property, clear] : trip.Passwords)
                action->SetPropertyValue(
                    property, EncryptString(clear, action->Properties().Find(property)->EncryptionKey));
            expected = JsonOf(action);
            TProjectView view(source);
            for (const auto& name : trip.Pages) {
                pages.push_back(CreatePage(name));
                ASSERT_TRUE(pages.back());
                pages.back()->DoInitPage(*action, view);
                pages.back()->ReadActionData(*action);
            }
        }
        // The source and its connection are gone, so the copy may take the connection's name.
        auto copy = NewAction(trip.Type);
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
    TProject project = ProjectWith({}, "action.ftp.connect", R"("FTPConnectionName":"Site","UseProxy":true)");
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
    TProject stored = ProjectWith({}, "action.ftp.script", R"("Protocol":"cpSFTP","Port":21)");
    auto server = CreatePage("TFTPOptionsFrame");
    auto options = CreatePage("TFTPMoreOptionsFrame");
    server->ReadActionData(*stored.Actions.back());
    options->ReadActionData(*stored.Actions.back());
    EXPECT_EQ(qobject_cast<QSpinBox*>(FieldNamed(server.get(), "Port:"))->value(), 22);
    EXPECT_FALSE(FieldNamed(server.get(), TLS)->isEnabled());
    EXPECT_FALSE(FieldNamed(options.get(), "Passive")->isEnabled());
}

TEST(FTPPages, ConnectionNameValidation) {
    struct TCase {
        QString Typed;
        bool Valid;
        QString Message;
        QString Shown;
    };
    const QString taken =
        "Please specify a different connection name \r\nbecause that name is already being used";
    const std::vector<TCase> cases = {
        {"   ", false, "Please specify a connection name.", ""},
        {"other", false, taken, "other"},
        {" SITE ", true, "", "SITE"},
        {"  New site ", true, "", "New site"},
    };
    TProject project = ProjectWith({"Other"}, "action.ftp.connect", R"("FTPConnectionName":"Site")");
    TProjectView view(project);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Typed.toStdString());
        TFTPConnectFrame page(nullptr);
        page.SetShowMessages(false);
        page.DoInitPage(*project.Actions.back(), view);
        page.ReadActionData(*project.Actions.back());
        auto* name = page.findChild<QLineEdit*>();
        name->setText(c.Typed);
        EXPECT_EQ(page.Validate(), c.Valid);
        EXPECT_EQ(page.LastMessage(), c.Message);
        EXPECT_EQ(name->text(), c.Shown);
    }
}

// Every page that names a connection, opened on a new action, shows the project's only connection;
// with two connections it leaves the choice to the user.
TEST(FTPPages, TheOnlyConnectionIsPreselected) {
    for (const auto& trip : RoundTrips)
        for (const auto& name : trip.Pages)
            for (const std::vector<std::string>& connections :
                 {std::vector<std::string>{"Site"}, {"Site", "Other"}}) {
                TProject project = ProjectWith(connections, trip.Type);
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
    TProject project = ProjectWith({"Site"}, "action.ftp.mirror", R"("MirrorOperation":"moRemoteToLocal")");
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
    TProject project = ProjectWith({}, "action.ftp.script", "", RoundTrips[1].Children);
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
    TProject project = ProjectWith({}, "telnet.client", "", RoundTrips.back().Children);
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

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the tests (ctest's discovery, without the test environment) needs no display.
    if (::testing::GTEST_FLAG(list_tests))
        return RUN_ALL_TESTS();
    QApplication app(argc, argv);
    zr::RegisterPackage(false);
    ZRRegisterPages();
    return RUN_ALL_TESTS();
}
