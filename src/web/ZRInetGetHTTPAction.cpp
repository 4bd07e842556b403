#include "web/ZRInetGetHTTPAction.h"

#include "host/FileInfo.h"
#include "host/LocalFolder.h"
#include "host/Options.h"
#include "net/NetErrors.h"
#include "net/TCPConnection.h"
#include "net/TextUtil.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fmt/format.h>
#include <optional>
#include <system_error>
#include <unicode/unistr.h>
#include <unistd.h>

namespace zr {

using namespace quillate;
namespace fs = std::filesystem;

namespace {

constexpr const char* PasswordKey = "qzr4h77pg37";
constexpr const char* ProxyPasswordKey = "qzr4h77ppr0xy";
// Far beyond any run: what "no time-out" means to the client.
constexpr std::chrono::milliseconds NoTimeLimit = std::chrono::hours(24 * 365 * 10);

const TEnumInfo& DownloadToInfo() {
    static const TEnumInfo info{"TDownloadTo", {"dCheckExists", "dSaveToFile", "dSaveToZRVariable"}};
    return info;
}

bool IsExistingFolder(const std::string& path) {
    std::error_code ec;
    return fs::is_directory(path, ec);
}

// A file name from the server as it may be used below the chosen folder: its last path segment,
// empty when that is empty, "." or "..", or holds a control character.
std::string SafeFileName(const std::string& name) {
    std::string leaf = name.substr(name.find_last_of("/\\") + 1);
    bool control = std::any_of(leaf.begin(), leaf.end(), [](char c) {
        auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7f;
    });
    return (control || leaf == "." || leaf == "..") ? std::string() : leaf;
}

// The body as text: in the charset the response names, else UTF-8, bytes that are no character
// replaced.
std::string BodyText(const std::string& body, const std::string& contentType) {
    std::string charset = net::HeaderParameter(contentType, "charset");
    icu::UnicodeString text;
    if (!charset.empty() && !net::EqualsNoCase(charset, "utf-8") && !net::EqualsNoCase(charset, "utf8"))
        text = icu::UnicodeString(body.data(), static_cast<std::int32_t>(body.size()), charset.c_str());
    if (charset.empty() || text.isBogus() || net::EqualsNoCase(charset, "utf-8") ||
        net::EqualsNoCase(charset, "utf8"))
        text = icu::UnicodeString::fromUTF8(body);
    std::string result;
    return text.toUTF8String(result);
}

} // namespace

// Where the body goes while it arrives: nowhere, a variable's text, or a file that takes its
// name only once the whole response came.
class TZRInetHTTPGetAction::TBodyWriter {
public:
    explicit TBodyWriter(TDownloadTo destination) : FDestination(destination) {}

    // Opens the file beside the target; a failure is a saving failure.
    void OpenFile(const std::string& path, bool overwrite) {
        FPath = path;
        fs::path target(path);
        try {
            FFolder.emplace(target.parent_path().string());
            FFile.emplace(FFolder->Write(target.filename().string(), overwrite ? lwmReplace : lwmNew));
        } catch (const std::exception& e) {
            SaveFailed(e.what());
        }
    }

    void Write(std::string_view data) {
        if (FDestination == dSaveToZRVariable) {
            if (FBody.size() + data.size() > MaxVariableBytes)
                throw std::length_error(fmt::format(
                    "The body is larger than {} MiB, the most a variable may hold", MaxVariableBytes >> 20));
            FBody.append(data);
        } else if (FFile) {
            WriteFile(data);
        }
    }

    void CommitFile() {
        try {
            FFile->Commit();
        } catch (const std::exception& e) {
            SaveFailed(e.what());
        }
    }

    const std::string& Body() const { return FBody; }
    const std::string& Path() const { return FPath; }
    bool Failed() const { return !FSaveError.empty(); }
    // "There was an error saving the file [...]. The reported error was [...]"
    std::string FailureText() const {
        return fmt::format("There was an error saving the file [{}]. The reported error was [{}]", FPath,
                           FSaveError);
    }

private:
    void WriteFile(std::string_view data) {
        while (!data.empty()) {
            ssize_t written = ::write(FFile->Descriptor(), data.data(), data.size());
            if (written < 0 && errno == EINTR)
                continue;
            if (written < 0)
                SaveFailed(std::system_category().message(errno));
            data.remove_prefix(static_cast<std::size_t>(written));
        }
    }

    [[noreturn]] void SaveFailed(const std::string& reason) {
        FSaveError = reason;
        throw std::runtime_error(FailureText());
    }

    TDownloadTo FDestination;
    std::string FBody;
    std::string FPath;
    std::string FSaveError;
    std::optional<TLocalFolder> FFolder;
    std::optional<TLocalFileWriter> FFile;
};

struct THTTPGetActionProperties {
    using T = TZRInetHTTPGetAction;
    static void Define(TPropertyTable& table) {
        TPropertyBuilder<T>(table)
            .StoredPassword("Cookie", &T::FCookie, PasswordKey)
            .Help("The password in its stored form (quillate encrypt --for action.inet.http.get.Cookie)")
            .ClearPassword("Password", &T::FCookie, PasswordKey)
            .String("URL", &T::FURL)
            .Help("The address to fetch, beginning with http:// or https://")
            .Int("Port", &T::FPort)
            .Port()
            .Help("The port put into the address; 80 with https:// means 443, 443 with http:// means 80")
            .String("Username", &T::FUsername)
            .Help("User for basic authentication, sent only together with a password")
            .Enum("DownloadTo", DownloadToInfo(), &T::FDownloadTo)
            .String("DownloadToFile", &T::FDownloadToFile)
            .Help("The target file, or the target folder with UseServerFileName")
            .Variable("DownloadToVar", &T::FDownloadToVar)
            .Bool("OverwriteFile", &T::FOverwriteFile)
            .Bool("AcceptRedirects", &T::FAcceptRedirects)
            .Bool("UseProxy", &T::FUseProxy)
            .String("ProxyUsername", &T::FProxyUsername)
            .StoredPassword("ProxyCookie", &T::FProxyCookie, ProxyPasswordKey)
            .Help("The proxy password in its stored form (quillate encrypt --for "
                  "action.inet.http.get.ProxyCookie)")
            .ClearPassword("ProxyPassword", &T::FProxyCookie, ProxyPasswordKey)
            .String("ProxyServer", &T::FProxyServer)
            .Int("ProxyPort", &T::FProxyPort)
            .Port()
            .Int("ResponseCode", &T::FResponseCode)
            .NotStored()
            .Hidden()
            .Help("The HTTP status of the last run")
            .UInt("TimeoutLength", &T::FTimeoutLength)
            .Help("Minutes the whole request may take when EnableTimeout")
            .Bool("EnableTimeout", &T::FEnableTimeout)
            .Bool("UseServerFileName", &T::FUseServerFileName)
            .Help("Name the saved file as the server does; DownloadToFile names the folder")
            .Bool("VerboseLogging", &T::FVerboseLogging)
            .Help("Log the request and response headers and the connection's progress (credentials masked)");
    }
};

TZRInetHTTPGetAction::TZRInetHTTPGetAction() {
    FClient.OnRedirect = [this](std::string_view url, int number, int) {
        SendLogMessage(fmt::format("Redirection {} : {}", number, net::ShownURL(std::string(url))),
                       stInformation);
    };
    FClient.OnWorkBegin = [this](std::int64_t expected) {
        FMeter.Reset();
        FMeter.Begin(expected);
        SendProgress(FMeter.SpeedText(TTransferDirection::Download), 0);
    };
    FClient.OnWork = [this](std::int64_t bytes) { ReportProgress(bytes); };
    FClient.OnWorkEnd = [this] { SendProgress("", 0); };
    SetCanTerminate(true);
}

TZRInetHTTPGetAction::~TZRInetHTTPGetAction() {
    std::lock_guard lock(FMonitorLock);
    if (FMonitor)
        FMonitor->Stop();
}

const TMetaClass& TZRInetHTTPGetAction::ClassInfo() {
    static const TMetaClass meta =
        TMetaClass::Of<TZRInetHTTPGetAction>("TZRInetHTTPGetAction", "action.inet.http.get",
                                             &TZRAction::ClassInfo(), &THTTPGetActionProperties::Define);
    return meta;
}

std::string TZRInetHTTPGetAction::GetFormattedDescription() const {
    return fmt::format("{} [ {} ]", TZRAction::GetFormattedDescription(), FURL);
}

void TZRInetHTTPGetAction::GetReadOnlyProperties(TStringList& list) const {
    TZRAction::GetReadOnlyProperties(list);
    list.push_back("ResponseCode");
}

bool TZRInetHTTPGetAction::Validate(TValidationErrors& errors) {
    std::size_t before = errors.size();
    TZRAction::Validate(errors);
    if (FURL.empty())
        errors.push_back({"URL", "The URL to retrieve has not been set"});
    if (FDownloadTo == dSaveToFile && FDownloadToFile.empty())
        errors.push_back({"Save to File", "The Save To filename has not been set"});
    if (FUseProxy && FProxyServer.empty())
        errors.push_back({"Proxy Server", "The proxy server has not been set"});
    return errors.size() == before;
}

void TZRInetHTTPGetAction::DoTimeout() {
    FTimedOut = true;
    SendMessage("Action Timed Out", stError);
    TerminateAction();
}

// The address and the credentials, as the run uses them; false after a logged failure.
bool TZRInetHTTPGetAction::ExpandSettings(TRequest& request) {
    std::string url;
    if (!TryExpandExpression("URL", FURL, url, true)) {
        SendMessage("Error expanding URL", stError);
        return false;
    }
    if (!url.starts_with("http://") && !url.starts_with("https://")) {
        SendMessage("Error - URL doesn't start with http:// or https://", stError);
        return false;
    }
    if (!StepInline("Error encoding URL : ", [&] { request.URL = net::EncodeURL(url); }))
        return false;
    SendMessage("URL : " + net::ShownURL(request.URL), stInformation);

    std::string password;
    if (!StepInline("Password: ", [&] { password = DecryptString(FCookie, PasswordKey); }))
        return false;
    // A user without a password, or a password without a user, sends no credentials at all.
    if (!FUsername.empty() && !password.empty()) {
        if (!TryExpandExpression("Username", FUsername, request.User, false)) {
            SendMessage("Error expanding Username", stError);
            return false;
        }
        if (!TryExpandPassword("Password", password, request.Password)) {
            SendMessage("Error expanding Password", stError);
            return false;
        }
    }
    return true;
}

// The file or variable the body goes to, checked before any request; false after a logged failure.
bool TZRInetHTTPGetAction::CheckTarget(TRequest& request) {
    if (FDownloadTo == dSaveToFile) {
        if (!TryExpandExpression("DownloadTo", FDownloadToFile, request.Target, false)) {
            SendMessage("Error expanding Download Filename", stError);
            return false;
        }
        if (!FOverwriteFile && TFileInfo::IsExistingFile(request.Target)) {
            SendMessage("Error - file already exists: " + request.Target, stError);
            return false;
        }
        if (FUseServerFileName && !request.Target.empty() && !IsExistingFolder(request.Target)) {
            SendMessage("Error - [" + request.Target + "] is not a valid directory", stError);
            return false;
        }
        if (!FUseServerFileName && fs::path(request.Target).filename().empty()) {
            SendMessage("Error - [" + request.Target + "] names no file", stError);
            return false;
        }
    } else if (FDownloadTo == dSaveToZRVariable) {
        if (!TryExpandExpression("DownloadTo", FDownloadToVar, request.Variable, false)) {
            SendMessage("Error expanding Download to Var", stError);
            return false;
        }
        if (!IsVariableDefined(request.Variable)) {
            SendMessage("Variable : " + request.Variable + " - is not defined!", stError);
            return false;
        }
    }
    return true;
}

bool TZRInetHTTPGetAction::ApplyProxy() {
    FClient.ProxyHost.clear();
    FClient.ProxyUsername.clear();
    FClient.ProxyPassword.clear();
    if (!FUseProxy)
        return true;
    std::string password, server;
    if (!StepInline("Proxy: ", [&] {
            FClient.ProxyPort = net::TCPPort(FProxyPort);
            password = DecryptString(FProxyCookie, ProxyPasswordKey);
        }))
        return false;
    if (!TryExpandPassword("Proxy Password", password, FClient.ProxyPassword) ||
        !TryExpandExpression("Proxy Username", FProxyUsername, FClient.ProxyUsername, false) ||
        !TryExpandExpression("Proxy Server", FProxyServer, server, true))
        return false;
    FClient.ProxyHost = server;
    SendMessage("Using Proxy Server : " + server, stInformation);
    return true;
}

std::chrono::minutes TZRInetHTTPGetAction::TimeoutLimit() const {
    return TimeoutMinutes(FTimeoutLength);
}

void TZRInetHTTPGetAction::ApplyTimeouts() {
    std::chrono::milliseconds limit = FEnableTimeout ? TimeoutLimit() : NoTimeLimit;
    FClient.ConnectTimeout = limit;
    FClient.ReadTimeout = limit;
}

// Sends HEAD and takes the name the server gives the file: Content-Disposition, then the name of
// Content-Type, then the address's last segment. False after a logged failure; a failing request
// throws.
bool TZRInetHTTPGetAction::ResolveServerFileName(const std::string& url, std::string& name) {
    SendLogMessage("Sending HEAD request to determine filename...", stInformation);
    FClient.Head(url);
    name = SafeFileName(net::DispositionFileName(FClient.ResponseHeader("Content-Disposition")));
    SendLogMessage("Content-Disposition, filename : " + name, stInformation);
    if (name.empty()) {
        name = SafeFileName(net::ContentTypeName(FClient.ResponseHeader("Content-Type")));
        SendLogMessage("Content-Type, name : " + name, stInformation);
    }
    if (name.empty()) {
        name = SafeFileName(net::URLDocument(url));
        SendLogMessage("Url Document : " + name, stInformation);
    }
    SendLogMessage("Server FileName resolved to : " + name, stInformation);
    if (name.empty()) {
        SendLogMessage("Unable to determine server set file name.", stError);
        return false;
    }
    return true;
}

bool TZRInetHTTPGetAction::Fetch(TRequest& request) {
    TBodyWriter body(FDownloadTo);
    bool retrieved = false;
    try {
        std::string path = request.Target;
        bool named = true;
        if (FDownloadTo == dSaveToFile && FUseServerFileName) {
            std::string name;
            named = ResolveServerFileName(request.URL, name);
            path = (fs::path(request.Target) / name).string();
            if (named && !FOverwriteFile && TFileInfo::IsExistingFile(path)) {
                SendMessage("Error - file already exists: " + path, stError);
                named = false;
            }
        }
        if (named && FDownloadTo == dSaveToFile)
            body.OpenFile(path, FOverwriteFile);
        if (named) {
            FClient.Get(request.URL, [&body](std::string_view data) { body.Write(data); });
            retrieved = true;
        }
    } catch (const std::exception& e) {
        FResponseCode = FClient.ResponseCode();
        if (body.Failed()) {
            SendMessage(body.FailureText(), stError);
            return false;
        }
        SendMessage(std::string("Error retrieving url : ") + e.what(), stError);
        if (FResponseCode >= 400)
            SendMessage(fmt::format("Response Code : {}", FResponseCode), stError);
        return false;
    }
    FResponseCode = FClient.ResponseCode();
    if (!retrieved)
        return false;
    if (FResponseCode >= 400) {
        SendMessage(fmt::format("Error retrieving url: {}", FResponseCode), stError);
        return false;
    }
    SendMessage(fmt::format("URL Retrieved: {}", FResponseCode), stSuccess);
    if (FDownloadTo == dSaveToFile) {
        body.CommitFile();
        if (body.Failed()) {
            SendMessage(body.FailureText(), stError);
            return false;
        }
    } else if (FDownloadTo == dSaveToZRVariable) {
        SetVariable(request.Variable, BodyText(body.Body(), FClient.ResponseHeader("Content-Type")));
    }
    return true;
}

// A progress line at most four times a second: the speed, and the share when the size is known.
void TZRInetHTTPGetAction::ReportProgress(std::int64_t bytes) {
    FMeter.Update(bytes);
    if (!FMeter.Due(std::chrono::milliseconds(250)))
        return;
    if (FMeter.Expected() > 0)
        SendProgress(FMeter.TransferredText(TTransferDirection::Download), FMeter.WholePercent());
    else
        SendProgress(fmt::format("{} : {}/? KBytes Transferred",
                                 FMeter.SpeedText(TTransferDirection::Download), bytes / 1024),
                     0);
}

void TZRInetHTTPGetAction::LogClientEvent(net::TLogEventType type, std::string_view text) {
    if (text.empty())
        return;
    const char* prefix = type == net::TLogEventType::Sent       ? "Sent: "
                         : type == net::TLogEventType::Received ? "Received: "
                                                                : "";
    SendLogMessage(prefix + std::string(text), stInformation);
}

bool TZRInetHTTPGetAction::Execute() {
    FTimedOut = false;
    FResponseCode = 0;
    FClient.SetStopToken(GetStopToken());
    TRequest request;
    if (!ExpandSettings(request) || !CheckTarget(request))
        return false;

    const bool https = request.URL.starts_with("https://");
    FClient.VerifyPeer = VerifyCertificates();
    if (https && !FClient.VerifyPeer)
        SendMessage("Warning: the server's certificate is not verified (turned off in the host options)",
                    stWarning);
    FClient.OnLog = nullptr;
    if (FVerboseLogging)
        FClient.OnLog = [this](net::TLogEventType type, std::string_view text) {
            LogClientEvent(type, text);
        };
    if (!ApplyProxy())
        return false;
    ApplyTimeouts();

    // The port setting wins over one written in the address; the usual port of the other scheme is
    // taken to mean this scheme's.
    std::int32_t port = FPort;
    if (https && port == 80)
        port = 443;
    else if (!https && port == 443)
        port = 80;
    if (!StepInline("Error encoding URL : ",
                    [&] { request.URL = net::URLWithPort(request.URL, net::TCPPort(port)); }))
        return false;
    FClient.Username = request.User;
    FClient.Password = request.Password;
    FClient.HandleRedirects = FAcceptRedirects;

    if (FEnableTimeout) {
        std::lock_guard lock(FMonitorLock);
        FMonitor = std::make_unique<TTimeoutMonitorThread>(*this, TimeoutLimit());
    }
    struct TStopMonitor {
        TZRInetHTTPGetAction& Action;
        ~TStopMonitor() {
            std::lock_guard lock(Action.FMonitorLock);
            if (Action.FMonitor && !Action.FMonitor->Finished())
                Action.FMonitor->Stop();
            Action.FMonitor.reset();
        }
    } stopMonitor{*this};
    return Fetch(request);
}

} // namespace zr
