#include "ftp/script/ZRFTPScriptAction.h"

#include "ftp/ZRFTPConnectAction.h"
#include "ftp/ZRFTPOptions.h"
#include "ftp/ZRSFTPConnection.h"
#include "host/CryptoUtils.h"
#include "host/Options.h"
#include "host/PassRule.h"
#include "host/RegEx.h"
#include "host/Registration.h"
#include "host/Scripting.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fmt/format.h>
#include <stdexcept>

namespace zr {

using namespace quillate;
namespace fs = std::filesystem;

namespace {

// The listing variable holds comma text (Delphi's CommaText), which scripts split back into items:
// items that hold blanks, control characters, commas or quotes are quoted, with inner quotes doubled.
std::string CommaText(const std::vector<std::string>& items) {
    if (items.size() == 1 && items.front().empty())
        return "\"\"";
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0)
            text += ',';
        const std::string& item = items[i];
        bool quote = std::any_of(item.begin(), item.end(),
                                 [](unsigned char c) { return c <= ' ' || c == ',' || c == '"'; });
        if (!quote) {
            text += item;
            continue;
        }
        text += '"';
        for (char c : item) {
            if (c == '"')
                text += '"';
            text += c;
        }
        text += '"';
    }
    return text;
}

template <class T>
TMetaClass ItemMeta(const char* className, const char* storedType, const TMetaClass& parent,
                    TMetaClass::TDefineProperties define = nullptr) {
    return TMetaClass::Of<T>(className, storedType, &parent, define);
}

} // namespace

// --- Script items ---

const TMetaClass& TFTPScriptItem::ClassInfo() {
    static const TMetaClass meta = ItemMeta<TFTPScriptItem>(
        "TFTPScriptItem", "ftp.script.item", TSerializableObject::ClassInfo(), [](TPropertyTable& t) {
            TPropertyBuilder<TFTPScriptItem>(t)
                .Bool("IgnoreError", &TFTPScriptItem::FIgnoreError)
                .Help("A failing step is logged and the script goes on")
                .Bool("Enabled", &TFTPScriptItem::FEnabled)
                .Help("Disabled steps are skipped");
        });
    return meta;
}

std::shared_ptr<TFTPScriptItem> TFTPScriptItem::Clone() const {
    auto copy = std::dynamic_pointer_cast<TFTPScriptItem>(GetClass().Create());
    if (!copy)
        throw std::logic_error(fmt::format("{} cannot be cloned", ClassName()));
    // The property table is every class's own list of what it keeps, so nothing can be forgotten.
    for (const auto& property : Properties().Properties())
        property.Set(*copy, property.Get(*this));
    return copy;
}

const TMetaClass& TFTPScriptIntoVariable::ClassInfo() {
    static const TMetaClass meta = ItemMeta<TFTPScriptIntoVariable>(
        "TFTPScriptIntoVariable", "ftp.script.intovariable", TFTPScriptItem::ClassInfo(),
        [](TPropertyTable& t) {
            TPropertyBuilder<TFTPScriptIntoVariable>(t)
                .Variable("VariableName", &TFTPScriptIntoVariable::FVariableName)
                .Help("Variable that receives the result; it must be defined in the project");
        });
    return meta;
}

const TMetaClass& TFTPScriptGetCurrentDir::ClassInfo() {
    static const TMetaClass meta = ItemMeta<TFTPScriptGetCurrentDir>(
        "TFTPScriptGetCurrentDir", "ftp.script.getcurrentdir", TFTPScriptIntoVariable::ClassInfo());
    return meta;
}

const TMetaClass& TFTPScriptListDir::ClassInfo() {
    static const TMetaClass meta =
        ItemMeta<TFTPScriptListDir>("TFTPScriptListDir", "ftp.script.listdir",
                                    TFTPScriptIntoVariable::ClassInfo(), [](TPropertyTable& t) {
                                        TPropertyBuilder<TFTPScriptListDir>(t)
                                            .String("Spec", &TFTPScriptListDir::FSpec)
                                            .Help("Mask or path to list, used as written")
                                            .Bool("Details", &TFTPScriptListDir::FDetails)
                                            .Help("Long listing instead of names only");
                                    });
    return meta;
}

const TMetaClass& TFTPScriptRemoteDir::ClassInfo() {
    static const TMetaClass meta = ItemMeta<TFTPScriptRemoteDir>(
        "TFTPScriptRemoteDir", "ftp.script.getremotedir", TFTPScriptItem::ClassInfo(), [](TPropertyTable& t) {
            TPropertyBuilder<TFTPScriptRemoteDir>(t).String("RemoteDir", &TFTPScriptRemoteDir::FRemoteDir);
        });
    return meta;
}

const TMetaClass& TFTPScriptChangeDir::ClassInfo() {
    static const TMetaClass meta = ItemMeta<TFTPScriptChangeDir>(
        "TFTPScriptChangeDir", "ftp.script.changedir", TFTPScriptRemoteDir::ClassInfo());
    return meta;
}

const TMetaClass& TFTPScriptMakeDir::ClassInfo() {
    static const TMetaClass meta = ItemMeta<TFTPScriptMakeDir>("TFTPScriptMakeDir", "ftp.script.makedir",
                                                               TFTPScriptRemoteDir::ClassInfo());
    return meta;
}

const TMetaClass& TFTPScriptDeleteDir::ClassInfo() {
    static const TMetaClass meta = ItemMeta<TFTPScriptDeleteDir>(
        "TFTPScriptDeleteDir", "ftp.script.deletedir", TFTPScriptRemoteDir::ClassInfo());
    return meta;
}

const TMetaClass& TFTPScriptChangeDirUp::ClassInfo() {
    static const TMetaClass meta = ItemMeta<TFTPScriptChangeDirUp>(
        "TFTPScriptChangeDirUp", "ftp.script.changeup", TFTPScriptItem::ClassInfo());
    return meta;
}

const TMetaClass& TFTPScriptRemoteFile::ClassInfo() {
    static const TMetaClass meta = ItemMeta<TFTPScriptRemoteFile>(
        "TFTPScriptRemoteFile", "ftp.script.remotefile", TFTPScriptItem::ClassInfo(), [](TPropertyTable& t) {
            TPropertyBuilder<TFTPScriptRemoteFile>(t).String("RemoteFile",
                                                             &TFTPScriptRemoteFile::FRemoteFile);
        });
    return meta;
}

// "delte" is the identifier existing projects carry.
const TMetaClass& TFTPScriptDeleteFile::ClassInfo() {
    static const TMetaClass meta = ItemMeta<TFTPScriptDeleteFile>(
        "TFTPScriptDeleteFile", "ftp.script.deltefile", TFTPScriptRemoteFile::ClassInfo());
    return meta;
}

const TMetaClass& TFTPScriptFileSize::ClassInfo() {
    static const TMetaClass meta = ItemMeta<TFTPScriptFileSize>(
        "TFTPScriptFileSize", "ftp.script.filesize", TFTPScriptRemoteFile::ClassInfo(),
        [](TPropertyTable& t) {
            TPropertyBuilder<TFTPScriptFileSize>(t)
                .Variable("VariableName", &TFTPScriptFileSize::FVariableName)
                .Help("Variable that receives the size; it must be defined in the project");
        });
    return meta;
}

const TMetaClass& TFTPScriptRenameFile::ClassInfo() {
    static const TMetaClass meta = ItemMeta<TFTPScriptRenameFile>(
        "TFTPScriptRenameFile", "ftp.script.renamefile", TFTPScriptRemoteFile::ClassInfo(),
        [](TPropertyTable& t) {
            TPropertyBuilder<TFTPScriptRenameFile>(t).String("NewName", &TFTPScriptRenameFile::FNewName);
        });
    return meta;
}

const TMetaClass& TFTPScriptUploadFile::ClassInfo() {
    static const TMetaClass meta = ItemMeta<TFTPScriptUploadFile>(
        "TFTPScriptUploadFile", "ftp.script.uploadfile", TFTPScriptRemoteFile::ClassInfo(),
        [](TPropertyTable& t) {
            TPropertyBuilder<TFTPScriptUploadFile>(t)
                .String("LocalFile", &TFTPScriptUploadFile::FLocalFile)
                .Help("Local file, or a mask whose matches are uploaded under their own names")
                .Bool("CompareFileSize", &TFTPScriptUploadFile::FCompareFileSize)
                .Help("Fail the step when the server's size differs from the local file's");
        });
    return meta;
}

const TMetaClass& TFTPScriptDownloadFile::ClassInfo() {
    static const TMetaClass meta = ItemMeta<TFTPScriptDownloadFile>(
        "TFTPScriptDownloadFile", "ftp.script.downloadfile", TFTPScriptUploadFile::ClassInfo());
    return meta;
}

// --- The action ---

struct TFTPActionProperties {
    using T = TFTPAction;
    static void Define(TPropertyTable& table) {
        TPropertyBuilder<T> builder(table);
        builder.String("Host", &T::FHost)
            .Int("Port", &T::FPort)
            .Port()
            .String("UserID", &T::FUserID)
            .Bool("Passive", &T::FPassive)
            .Bool("DetailedLogging", &T::FDetailedLogging)
            .Help("Copy the FTP commands sent into the log (passwords masked)")
            .String("Password", &T::GetPassword, &T::SetPassword)
            .NotStored()
            .Help("Kept in clear text only while the project is open; stored as EncryptedPassword")
            .String("EncryptedPassword", &T::GetEncryptedPassword, &T::SetEncryptedPassword)
            .Hidden()
            .Encrypted(T::PasswordKey)
            .Help("The password in its stored form (quillate encrypt --for "
                  "action.ftp.script.EncryptedPassword)")
            .Enum("TransferType", FTPTransferTypeInfo(), &T::FTransferType)
            .Bool("UseGlobalOptions", &T::FUseGlobalOptions)
            .Help("Take host, port, user, password, the protocol and the TLS settings from the global FTP options")
            .Bool("UseProxy", &T::FUseProxy)
            .String("ProxyUsername", &T::FProxyUsername)
            .String("ProxyCookie", &T::GetProxyCookie, &T::SetProxyCookie)
            .Hidden()
            .Encrypted(T::PasswordKey)
            .Help("The proxy password in its stored form")
            .String("ProxyServer", &T::FProxyServer)
            .Int("ProxyPort", &T::FProxyPort)
            .Port()
            .Enum("ProxyType", FTPProxyTypeInfo(), &T::FProxyType)
            .Enum("Security", FTPSecurityInfo(), &T::FSecurity)
            .Help(
                "FTP over TLS: fsExplicit asks for it with AUTH TLS, fsImplicit starts it at once (port 990)")
            .Bool("SecureData", &T::FSecureData)
            .Help("With TLS, protect the data connections too (PROT P); off sends files in clear (PROT C)");
        DefineSFTPProperties(builder, &T::FProtocol, &T::FHostKeyFingerprint, &T::FPrivateKeyFile,
                             &T::FPrivateKeyCookie, T::PasswordKey);
    }
};

TFTPAction::TFTPAction() {
    AddScript("OnConnect");
    AddScript("OnDisconnect");
    AddScript("OnChangeDir");
    AddScript("OnUploadCompleted");
    AddScript("OnDownloadCompleted");
    SetCanTerminate(true);
}

TFTPAction::~TFTPAction() = default;

const TMetaClass& TFTPAction::ClassInfo() {
    static const TMetaClass meta = TMetaClass::Of<TFTPAction>(
        "TFTPAction", "action.ftp.script", &TZRAction::ClassInfo(), &TFTPActionProperties::Define);
    return meta;
}

std::string TFTPAction::GetHost() const {
    return FUseGlobalOptions ? FTPOptions()->GetFTPServer() : FHost;
}

std::string TFTPAction::GetPassword() const {
    return FUseGlobalOptions ? FTPOptions()->GetFTPPassword() : FPassword;
}

TFTPStoredConnectionSettings TFTPAction::StoredSettings() const {
    TFTPStoredConnectionSettings stored;
    stored.FromGlobalOptions =
        FUseGlobalOptions ? TFTPGlobalSettings::LoginAndPort : TFTPGlobalSettings::None;
    stored.Host = FHost;
    stored.Port = FPort;
    stored.User = FUserID;
    stored.Password = FPassword;
    stored.Passive = FPassive;
    stored.TransferType = FTransferType;
    stored.Security = FSecurity;
    stored.SecureData = FSecureData;
    stored.UseProxy = FUseProxy;
    stored.ProxyType = FProxyType;
    stored.ProxyServer = FProxyServer;
    stored.ProxyPort = FProxyPort;
    stored.ProxyUser = FProxyUsername;
    stored.ProxyPassword = FProxyPassword;
    stored.Protocol = FProtocol;
    stored.HostKeyFingerprint = FHostKeyFingerprint;
    stored.PrivateKeyFile = FPrivateKeyFile;
    if (EffectiveProtocol(stored.FromGlobalOptions, FProtocol) == TFTPProtocol::cpSFTP)
        stored.PrivateKeyPassphrase = DecryptString(FPrivateKeyCookie, PasswordKey);
    return stored;
}

void TFTPAction::SetPassword(const std::string& clearText) {
    FPassword = clearText;
    FEncryptedPassword = EncryptString(clearText, PasswordKey);
}

// The stored text is kept as it came, so that a project saves back unchanged (every encryption of
// the same password differs).
void TFTPAction::SetEncryptedPassword(const std::string& stored) {
    FPassword = quillate::DecryptString(stored, PasswordKey, "action.ftp.script.EncryptedPassword");
    FEncryptedPassword = stored;
}

void TFTPAction::SetProxyPassword(const std::string& clearText) {
    FProxyPassword = clearText;
    FProxyCookie = EncryptString(clearText, PasswordKey);
}

void TFTPAction::SetProxyCookie(const std::string& stored) {
    FProxyPassword = quillate::DecryptString(stored, PasswordKey, "action.ftp.script.ProxyCookie");
    FProxyCookie = stored;
}

void TFTPAction::GetChildren(TSerializableList& children) const {
    TZRAction::GetChildren(children);
    children.insert(children.end(), FItems.begin(), FItems.end());
}

void TFTPAction::AddChildObject(std::shared_ptr<TSerializableObject> child) {
    TZRAction::AddChildObject(child);
    if (auto item = std::dynamic_pointer_cast<TFTPScriptItem>(child))
        FItems.push_back(std::move(item));
}

bool TFTPAction::Validate(TValidationErrors& errors) {
    bool valid = TZRAction::Validate(errors);
    if (GetHost().empty()) {
        errors.push_back({"Host", "Host has not been set"});
        valid = false;
    }
    if (FItems.empty()) {
        errors.push_back({"FTP Script", "No FTP actions have been specified"});
        valid = false;
    }
    return valid;
}

void TFTPAction::InitialiseScriptParams(const std::string& scriptName, TScriptParams& params) {
    TZRAction::InitialiseScriptParams(scriptName, params);
    params.Declare("Action", TScriptValue::Object(*this));
    if (scriptName == "OnChangeDir") {
        params.Declare("CurrentDir", "");
    } else if (scriptName == "OnUploadCompleted" || scriptName == "OnDownloadCompleted") {
        params.Declare("LocalFile", "");
        params.Declare("RemoteFile", "");
    }
}

void TFTPAction::RunScriptEvent(const std::string& name,
                                const std::vector<std::pair<std::string, std::string>>& values) {
    TScriptParams params;
    InitialiseScriptParams(name, params);
    for (const auto& [key, value] : values)
        params.Set(key, value);
    ExecuteScript(name, params);
}

void TFTPAction::LogMessage(const std::string& text, const std::string& data) {
    // The protocol log has masked the line already; this action also shows any line that mentions
    // "pass" as "pass xxx", so no part of a login reaches its log whatever the server calls it.
    SendMessage(text + " : " + (MentionsPass(data, TPassCase::AnyCase) ? std::string("pass xxx") : data),
                stInformation);
}

void TFTPAction::WorkBegin(net::TWorkMode mode, std::int64_t expected) {
    // A download already knows its size from the server; an upload learns it here.
    FMeter.Begin(expected);
    FPercent = 0;
    SendProgress(FMeter.SpeedText(DirectionOf(mode)), 0);
}

void TFTPAction::Work(net::TWorkMode mode, std::int64_t bytesSoFar) {
    FMeter.Update(bytesSoFar);
    if (FMeter.Expected() > 0)
        FPercent = FMeter.WholePercent();
    SendProgress(FMeter.TransferredText(DirectionOf(mode)), FPercent);
}

void TFTPAction::WorkEnd(net::TWorkMode mode) {
    SendProgress(FMeter.SpeedText(DirectionOf(mode)), FPercent);
    FMeter.Reset();
    FPercent = 0;
}

void TFTPAction::ChangedDir(const std::string& dir) {
    SendMessage("Current Directory is : " + dir, stInformation);
    RunScriptEvent("OnChangeDir", {{"CurrentDir", dir}});
}

void TFTPAction::ConnectionMessage(const std::string& text, TConnMessageType type) {
    if (type == Warning) {
        SendMessage(text, stWarning);
        return;
    }
    // The connection gives "Sent: peer : line"; this action logs its sent lines as "peer : line".
    constexpr std::string_view SentPrefix = "Sent: ";
    if (type != Sent || !FDetailedLogging || !text.starts_with(SentPrefix))
        return;
    std::size_t cut = text.find(" : ", SentPrefix.size());
    if (cut == std::string::npos)
        return;
    LogMessage(text.substr(SentPrefix.size(), cut - SentPrefix.size()), text.substr(cut + 3));
}

void TFTPAction::UploadOne(IFTPConnectionObject& connection, const std::string& local,
                           const std::string& remote, bool compareSize) {
    std::int64_t localSize = static_cast<std::int64_t>(fs::file_size(local));
    if (compareSize) {
        SendMessage("Checking FileSize", stInformation);
        std::int64_t serverSize = connection.GetFileSize(remote);
        if (serverSize != localSize)
            throw std::runtime_error(
                fmt::format("Uploaded File :{} file size({}) is not the same as local file({})", remote,
                            serverSize, localSize));
        SendMessage(fmt::format("File Uploaded : {} bytes - size ok", localSize), stSuccess);
    } else {
        SendMessage(fmt::format("File Uploaded : {} bytes", localSize), stSuccess);
    }
    RunScriptEvent("OnUploadCompleted", {{"LocalFile", local}, {"RemoteFile", remote}});
}

void TFTPAction::UploadFile(IFTPConnectionObject& connection, const TFTPScriptUploadFile& item) {
    std::string local = ExpandExpression(item.FLocalFile, false);
    std::string remote = ExpandExpression(item.FRemoteFile, false);
    if (local.find_first_of("*?") != std::string::npos) {
        // Masks take either delimiter; the folder part keeps its delimiter, as the log line shows it.
        std::size_t cut = local.find_last_of("/\\");
        std::string dir = cut == std::string::npos ? std::string() : local.substr(0, cut + 1);
        std::string mask = local.substr(dir.size());
        std::replace(dir.begin(), dir.end(), '\\', '/');
        std::vector<std::string> names;
        std::error_code error;
        for (fs::directory_iterator it(dir.empty() ? fs::path(".") : fs::path(dir), error), end;
             !error && it != end; it.increment(error)) {
            std::string name = it->path().filename().string();
            std::error_code typeError;
            if (it->is_regular_file(typeError) && MatchesMask(name, mask))
                names.push_back(std::move(name));
        }
        std::sort(names.begin(), names.end());
        for (const auto& name : names) {
            if (GetRunStopped())
                break;
            SendMessage("Uploading File : " + dir + name + " to : " + name, stInformation);
            connection.UploadFile(dir + name, name, 0, 0);
            UploadOne(connection, dir + name, name, item.FCompareFileSize);
        }
        return;
    }
    std::error_code error;
    if (!fs::is_regular_file(local, error))
        throw std::runtime_error("File " + local + " not found!");
    // Without a remote name the file is stored on the server under its local name.
    if (remote.empty())
        remote = fs::path(local).filename().string();
    SendMessage("Uploading File : " + local + " to : " + remote, stInformation);
    connection.UploadFile(local, remote, 0, 0);
    // Some servers report the new size only a moment after the transfer.
    Sleep(1000);
    UploadOne(connection, local, remote, item.FCompareFileSize);
}

void TFTPAction::RunItem(IFTPConnectionObject& connection, const TFTPScriptItem& item) {
    auto expand = [this](const std::string& text) { return ExpandExpression(text, false); };
    // A download step is an upload step too: it must be recognised first.
    if (const auto* step = dynamic_cast<const TFTPScriptGetCurrentDir*>(&item)) {
        SendMessage("Retrieving Current Directory into Variable : " + step->FVariableName, stInformation);
        FCurrentDir = connection.GetRemoteDir();
        if (IsVariableDefined(step->FVariableName))
            SetVariable(step->FVariableName, FCurrentDir);
        ChangedDir(FCurrentDir);
    } else if (const auto* step = dynamic_cast<const TFTPScriptChangeDir*>(&item)) {
        std::string dir = expand(step->FRemoteDir);
        SendMessage("Changing Directory to : " + dir, stInformation);
        connection.ChangeDir(dir);
        FCurrentDir = dir;
        ChangedDir(dir);
    } else if (dynamic_cast<const TFTPScriptChangeDirUp*>(&item)) {
        SendMessage("Changing Directory Up", stInformation);
        connection.ChangeUpDir();
        FCurrentDir = connection.GetRemoteDir();
        ChangedDir(FCurrentDir);
    } else if (const auto* step = dynamic_cast<const TFTPScriptListDir*>(&item)) {
        SendMessage("Listing Directory : " + FCurrentDir + " /" + step->FSpec, stInformation);
        // FTP servers take LIST's argument as a mask or as ls options; SFTP lists a folder and no more.
        if (connection.Settings().Protocol == TFTPProtocol::cpSFTP &&
            (step->FSpec.find_first_of("*?[") != std::string::npos || step->FSpec.starts_with('-')))
            throw std::runtime_error("Listing [" + step->FSpec +
                                     "]: masks and LIST options are not available over SFTP");
        std::string text = connection.ListDirectory(step->FSpec, step->FDetails);
        std::vector<std::string> lines;
        for (std::size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
            lines.push_back(text.substr(start, end - start));
        if (IsVariableDefined(step->FVariableName))
            SetVariable(step->FVariableName, CommaText(lines));
    } else if (const auto* step = dynamic_cast<const TFTPScriptMakeDir*>(&item)) {
        std::string dir = expand(step->FRemoteDir);
        SendMessage("Creating Directory : " + dir, stInformation);
        connection.CreateDir(dir);
        SendMessage("Directory Created!", stSuccess);
    } else if (const auto* step = dynamic_cast<const TFTPScriptDeleteDir*>(&item)) {
        std::string dir = expand(step->FRemoteDir);
        SendMessage("Delete Directory : " + dir, stInformation);
        connection.DeleteDir(dir, false);
        SendMessage("Directory Deleted!", stSuccess);
    } else if (const auto* step = dynamic_cast<const TFTPScriptFileSize*>(&item)) {
        std::string file = expand(step->FRemoteFile);
        SendMessage("Getting File Size for :" + file, stInformation);
        std::string size = std::to_string(connection.GetFileSize(file));
        if (IsVariableDefined(step->FVariableName)) {
            SetVariable(step->FVariableName, size);
            SendMessage("Variable : " + step->FVariableName + " set to : " + size, stInformation);
        }
        SendMessage("File Size is : " + size, stInformation);
    } else if (const auto* step = dynamic_cast<const TFTPScriptDeleteFile*>(&item)) {
        std::string file = expand(step->FRemoteFile);
        SendMessage("Delete File : " + file, stInformation);
        connection.DeleteFile(file);
        SendMessage("File(s) Deleted", stSuccess);
    } else if (const auto* step = dynamic_cast<const TFTPScriptRenameFile*>(&item)) {
        std::string from = expand(step->FRemoteFile);
        std::string to = expand(step->FNewName);
        SendMessage("Renaming File : " + from + " to : " + to, stInformation);
        connection.RenameFile(from, to);
        SendMessage("File Renamed!", stSuccess);
    } else if (const auto* step = dynamic_cast<const TFTPScriptDownloadFile*>(&item)) {
        std::string remote = expand(step->FRemoteFile);
        std::string local = expand(step->FLocalFile);
        SendMessage("Downloading File : " + remote + " to : " + local, stInformation);
        std::int64_t expected = connection.GetFileSize(remote);
        FMeter.SetExpected(expected);
        // The folder the step names is the one written in: the file's own name is never followed as a link.
        fs::path localPath(local);
        TLocalFolder folder(localPath.parent_path().string());
        connection.DownloadFile(remote, folder, localPath.filename().string(), true, false, expected);
        SendMessage(fmt::format("File Downloaded : {} bytes", expected), stSuccess);
        RunScriptEvent("OnDownloadCompleted", {{"LocalFile", local}, {"RemoteFile", remote}});
    } else if (const auto* step = dynamic_cast<const TFTPScriptUploadFile*>(&item)) {
        UploadFile(connection, *step);
    }
}

bool TFTPAction::RunItems(IFTPConnectionObject& connection) {
    for (std::size_t i = 0;; ++i) {
        // Checked once more after the last step, so that a stop during it never reads as success.
        if (GetRunStopped()) {
            SendMessage("User Aborted Action!", stError);
            return false;
        }
        if (i == FItems.size())
            return true;
        const TFTPScriptItem& item = *FItems[i];
        if (!item.FEnabled)
            continue;
        // A step's failure, its expansions' too, is the reason alone.
        if (!StepInline("", [&] { RunItem(connection, item); }) && !item.FIgnoreError)
            return false;
    }
}

bool TFTPAction::Execute() {
    FCurrentDir = "/";
    FMeter.Reset();
    // Host and user keep the action's own two lines (the failure, then its cause) when they fail; the
    // ports are taken as they are.
    std::optional<TFTPConnectionSettings> settings =
        ExpandConnectionSettings(*this, StoredSettings(),
                                 {.Host = {"Error Expanding variables in Host", true},
                                  .User = {"Error Expanding UserID", true},
                                  .CheckPorts = false});
    if (!settings)
        return false;
    const std::string& host = settings->Host;

    // A connection made for this run only, of the protocol the settings name: every step speaks
    // through the one interface that both protocols implement.
    IFTPConnectionObjectPtr made;
    if (settings->Protocol == TFTPProtocol::cpSFTP)
        made = std::make_shared<TSFTPConnectObject>(GetActionName());
    else
        made = std::make_shared<TFTPConnectObject>(GetActionName());
    IFTPConnectionObject& connection = *made;
    connection.Configure(*settings);
    connection.SetOnMessage([this](const std::string& text, TConnMessageType type) { ConnectionMessage(text, type); });
    connection.SetOnWorkBegin([this](net::TWorkMode mode, std::int64_t expected) { WorkBegin(mode, expected); });
    connection.SetOnWork([this](net::TWorkMode mode, std::int64_t bytes) { Work(mode, bytes); });
    connection.SetOnWorkEnd([this](net::TWorkMode mode) { WorkEnd(mode); });
    // A stop that came before the connection existed holds for it too.
    connection.SetStopToken(GetStopToken());

    SendMessage("Connection to host : " + host, stInformation);
    if (!Step("Error Connecting to : " + host, [&] { connection.Connect(0); }))
        return false;

    bool result = StepInline("", [&] {
        RunScriptEvent("OnConnect");
        SendMessage("Connected!", stInformation);
        return RunItems(connection);
    });
    // Once connected, the connection is closed whatever happened above.
    bool closed = StepInline("", [&] {
        SendMessage("Disconnecting from Host....", stInformation);
        try {
            connection.Disconnect();
        } catch (...) {
            // A connection that fails on the way out is closed all the same.
        }
        RunScriptEvent("OnDisconnect");
        SendMessage("Disconnected!", stSuccess);
    });
    return result && closed;
}

} // namespace zr
