#include "ftp/ZRFTPConnection.h"

#include "base/Text.h"
#include "ftp/ZRFTPTree.h"
#include "host/Options.h"
#include "host/PassRule.h"
#include "net/NetErrors.h"
#include "net/TextUtil.h"
#include "net/ThrottleIntercept.h"

#include <algorithm>
#include <cctype>
#include <fmt/format.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unordered_map>

namespace zr {

namespace {

std::string TrimOneTrailing(std::string dir) {
    if (!dir.empty() && dir.back() == '/')
        dir.pop_back();
    if (!dir.empty() && dir.back() == '\\')
        dir.pop_back();
    return dir;
}

// "200" or "200,250": the reply codes a raw command may get; empty accepts any reply.
std::vector<int> ExpectedCodes(const std::string& expected) {
    std::vector<int> codes;
    std::size_t start = 0;
    while (start < expected.size()) {
        std::size_t end = expected.find_first_of(", ", start);
        std::string part = expected.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!part.empty()) {
            try {
                codes.push_back(std::stoi(part));
            } catch (const std::exception&) {
                throw std::invalid_argument(fmt::format("Expected reply \"{}\" is not a reply code", part));
            }
        }
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return codes;
}

// LIST takes its argument as a file pattern and, on many servers, a leading "-" as options.
bool ListArgumentIsExact(const std::string& path) {
    return path.find_first_of("*?[]{}~") == std::string::npos && !path.starts_with('-') &&
           path.find("/-") == std::string::npos;
}

// Raw commands that leave the server where it is; anything else may have moved it.
bool KeepsDirectory(const std::string& command) {
    std::string verb = quillate::base::UpperCase(command.substr(0, command.find(' ')));
    for (const char* known : {"FEAT", "NOOP", "SYST", "STAT", "SIZE", "MDTM", "HELP", "XCRC"})
        if (verb == known)
            return true;
    return false;
}

} // namespace

void ReconnectWithWarnings(IFTPConnectionObject& connection,
                           const std::function<void(const std::string&)>& warn) {
    TFTPLoggingEvent previous = connection.GetOnMessage();
    connection.SetOnMessage([&](const std::string& text, TConnMessageType type) {
        if (type == Warning)
            warn(text);
    });
    struct TRestore {
        IFTPConnectionObject& Connection;
        TFTPLoggingEvent Previous;
        ~TRestore() { Connection.SetOnMessage(std::move(Previous)); }
    } restore{connection, std::move(previous)};
    connection.Connect(0);
}

void WarnRefusedNamesTo(const TFTPLoggingEvent& handler, const std::vector<net::TRefusedName>& refused,
                        std::size_t count) {
    for (const auto& name : refused)
        handler(fmt::format("Skipped a remote entry with an unsafe name [{}]: {}", net::EscapedName(name.Name),
                            name.Reason),
                Warning);
    if (std::size_t more = count - refused.size())
        handler(fmt::format("Skipped {} more remote entries with unsafe names", more), Warning);
}

TZRIdLogEvent::TZRIdLogEvent() {
    SetOnLog([this](net::TLogEventType type, std::string_view line) { Deliver(type, line); });
}

void TZRIdLogEvent::ObfuscatePassword(std::string& line) {
    if (quillate::MentionsPass(line, quillate::TPassCase::AnyCase))
        line = "PASS xxx";
}

void TZRIdLogEvent::Deliver(net::TLogEventType type, std::string_view line) {
    std::string text(line);
    switch (type) {
    case net::TLogEventType::Received:
        if (OnReceived)
            OnReceived(FPeer, text);
        break;
    case net::TLogEventType::Sent:
        ObfuscatePassword(text);
        if (OnSent)
            OnSent(FPeer, text);
        break;
    case net::TLogEventType::Status:
        if (OnStatus)
            OnStatus(text);
        break;
    }
}

TFTPConnectObject::TFTPConnectObject(const std::string& name) : TConnectionObjectBase(name) {
    InitialiseFTP();
    FLog = std::make_shared<TZRIdLogEvent>();
    FLog->OnReceived = [this](const std::string& text, const std::string& line) {
        Deliver(fmt::format("Recv: {} : {}", text, line), Received);
    };
    FLog->OnSent = [this](const std::string& text, const std::string& line) {
        Deliver(fmt::format("Sent: {} : {}", text, line), Sent);
    };
    FLog->OnStatus = [this](const std::string& text) { Deliver("Status: " + text, Status); };
}

TFTPConnectObject::~TFTPConnectObject() = default;

void TFTPConnectObject::Configure(const TFTPConnectionSettings& settings) {
    TConnectionObjectBase::Configure(settings);
    FSettings.ApplyTo(*FClient);
}

void TFTPConnectObject::LogStatusWithData(const std::string& text, const std::string& data) {
    Deliver(text + " : " + data, Status);
}

void TFTPConnectObject::InitialiseFTP() {
    FSettings = {};
    FDirListingDirty = true;
    FKnownRemoteDir.reset();
    auto client = std::make_unique<net::TFTPClient>();
    client->OnWork = [this](net::TWorkMode mode, std::int64_t count) {
        if (FOnWork)
            FOnWork(mode, count);
    };
    client->OnWorkBegin = [this](net::TWorkMode mode, std::int64_t countMax) {
        if (FOnWorkBegin)
            FOnWorkBegin(mode, countMax);
    };
    client->OnWorkEnd = [this](net::TWorkMode mode) {
        if (FOnWorkEnd)
            FOnWorkEnd(mode);
    };
    client->OnWarning = [this](const std::string& text) { Deliver(text, Warning); };
    client->OnTransientRefusal = [this](const std::string& refusal) {
        ++FTransientRefusals;
        Deliver("Data connection refused for the moment, asking again : " + refusal, Status);
    };
    ReplaceClient(std::move(client));
}

void TFTPConnectObject::Connect(int timeoutSeconds) {
    FDirListingDirty = true;
    FKnownRemoteDir.reset();
    auto& control = FClient->ControlConnection();
    control.RemoveIntercept(FLog);
    control.AddIntercept(FLog);
    FLog->SetPeer(fmt::format("{}:{}", FClient->Host, FClient->Port));
    FClient->ConnectTimeout = std::chrono::milliseconds(static_cast<std::int64_t>(timeoutSeconds) * 1000);
    FClient->OnStatus = [this](net::TConnectionStatus status, std::string_view text) {
        if (FOnStatus)
            FOnStatus(status, std::string(text));
    };
    FClient->TLSOptions.VerifyPeer = quillate::VerifyCertificates();
    if (FClient->Security != net::TFTPSecurity::fsNone && !FClient->TLSOptions.VerifyPeer)
        Deliver(quillate::UnverifiedCertificateWarning(fmt::format("{}:{}", FClient->Host, FClient->Port)),
                Warning);
    FClient->Connect();
}

void TFTPConnectObject::Disconnect() {
    FKnownRemoteDir.reset();
    FClient->Disconnect();
}

bool TFTPConnectObject::IsConnected() {
    try {
        return FClient->Connected();
    } catch (...) {
        return false;
    }
}

void TFTPConnectObject::ChangeDir(const std::string& path) {
    FDirListingDirty = true;
    FKnownRemoteDir.reset();
    FClient->ChangeDir(path);
}

void TFTPConnectObject::ReturnToDir(const std::string& path) {
    if (FKnownRemoteDir && TrimOneTrailing(*FKnownRemoteDir) == TrimOneTrailing(path))
        return;
    ChangeDir(path);
}

std::string TFTPConnectObject::GetRemoteDir() {
    FKnownRemoteDir.reset();
    std::string dir = FClient->RetrieveCurrentDir();
    FKnownRemoteDir = dir;
    return dir;
}

void TFTPConnectObject::ChangeUpDir() {
    FDirListingDirty = true;
    FKnownRemoteDir.reset();
    FClient->ChangeDirUp();
}

void TFTPConnectObject::SafeChangeUpDir() {
    // The server's last answer still holds when nothing was sent since that could have moved it: a walk
    // back up a tree then asks once per level instead of twice.
    std::string before = TrimOneTrailing(FKnownRemoteDir ? *FKnownRemoteDir : GetRemoteDir());
    ChangeUpDir();
    std::string after = TrimOneTrailing(GetRemoteDir());
    if (!after.empty() && net::EqualsNoCase(after, before)) {
        ChangeUpDir();
        GetRemoteDir();
    }
}

std::int64_t TFTPConnectObject::FileCRC(const std::string& path) {
    return FClient->CRC(path);
}

bool TFTPConnectObject::OffersFileCRC() {
    return FClient->IsExtSupported("XCRC");
}

std::string TFTPConnectObject::ListDirectory(const std::string& path, bool details) {
    std::vector<std::string> lines;
    FClient->List(lines, path, details);
    std::string text;
    for (const auto& line : lines)
        text += line + "\r\n";
    return text;
}

const TFTPListItems& TFTPConnectObject::GetDirectoryListItems(bool refresh) {
    if (FDirListingDirty) {
        if (refresh)
            FClient->List();
        // Taken, not copied: a large listing is held once.
        FDirListing = FClient->TakeDirectoryListing();
        FDirListingDirty = false;
        WarnRefusedNames();
    }
    return FDirListing;
}

const TFTPListItems* TFTPConnectObject::ListFolder(const std::string& path) {
    if (!FClient->ListsByMLSD() && !ListArgumentIsExact(path))
        return nullptr;
    FClient->List(path);
    FFolderListing = FClient->TakeDirectoryListing();
    WarnRefusedNames();
    return &FFolderListing;
}

bool TFTPConnectObject::ListTree(const std::string& path, std::vector<std::string>& lines) {
    if (!ListArgumentIsExact(path))
        return false;
    FClient->ListTree(path, lines);
    return true;
}

std::int64_t TFTPConnectObject::GetFileSize(const std::string& path) {
    return FClient->Size(path);
}

quillate::TDateTime TFTPConnectObject::GetFileDate(const std::string& path) {
    return quillate::TimePointToDateTime(FClient->FileDate(path));
}

void TFTPConnectObject::CreateDir(const std::string& path) {
    FDirListingDirty = true;
    FClient->MakeDir(path);
}

void TFTPConnectObject::DeleteDir(const std::string& path, bool deleteContents) {
    FDirListingDirty = true;
    // Deleting the contents walks the server through the folder.
    FKnownRemoteDir.reset();
    if (deleteContents)
        DeleteDirContents(path);
    else
        FClient->RemoveDir(path);
}

std::vector<std::pair<std::string, net::TFTPItemType>> TFTPConnectObject::ListForDelete() {
    FClient->List();
    WarnRefusedNames();
    std::vector<std::pair<std::string, net::TFTPItemType>> entries;
    for (const auto& item : FClient->DirectoryListing())
        entries.emplace_back(item.FileName, item.ItemType);
    if (!FClient->ListsByMLSD())
        return entries;
    // MLSD names every entry, dot-files included, but pyftpdlib types a link there as what it points
    // to; LIST shows a link as a link, but ProFTPD leaves dot-files out of it. So the names come from
    // MLSD, and LIST says which of them are links.
    std::unordered_map<std::string, std::size_t> byName;
    for (std::size_t i = 0; i < entries.size(); ++i)
        byName.emplace(entries[i].first, i);
    struct TRestore {
        net::TFTPClient& Client;
        ~TRestore() { Client.UseMLSD = true; }
    } restore{*FClient};
    FClient->UseMLSD = false;
    FClient->List();
    for (const auto& item : FClient->DirectoryListing()) {
        if (item.ItemType != net::TFTPItemType::ditSymbolicLink)
            continue;
        // MLSD leaves out a link whose target is gone (pyftpdlib and ProFTPD alike).
        if (auto known = byName.find(item.FileName); known != byName.end())
            entries[known->second].second = item.ItemType;
        else
            entries.emplace_back(item.FileName, item.ItemType);
    }
    return entries;
}

void TFTPConnectObject::DeleteDirContents(const std::string& dir, std::size_t depth) {
    CheckRemoteTreeBounds(dir, depth);
    FDirListingDirty = true;
    try {
        FClient->RemoveDir(dir);
        LogStatusWithData("Deleted directory", dir);
        return;
    } catch (const std::exception&) {
        // Not empty (or not removable yet): delete what is inside first.
    }
    FClient->ChangeDir(dir);
    LogStatusWithData("Directory not empty, will delete sub directories and files", dir);
    LogStatusWithData("Changed into directory", dir);
    // A snapshot, because the recursion lists again.
    for (const auto& [name, type] : ListForDelete()) {
        if (type == net::TFTPItemType::ditDirectory) {
            if (name != "." && name != "..")
                DeleteDirContents(name, depth + 1);
            continue;
        }
        // DELE removes a link itself, never what it points to; a link is never entered. Devices and other
        // special entries are left alone.
        if (type != net::TFTPItemType::ditFile && type != net::TFTPItemType::ditSymbolicLink)
            continue;
        const std::string kind = type == net::TFTPItemType::ditFile ? "file" : "link";
        try {
            FClient->Delete(name);
        } catch (const std::exception& e) {
            throw std::runtime_error("Unable to delete " + kind + ": " + e.what());
        }
        LogStatusWithData("Deleted " + kind, name);
    }
    FClient->ChangeDirUp();
    FClient->RemoveDir(dir);
    LogStatusWithData("Deleted directory", dir);
}

void TFTPConnectObject::DeleteFile(const std::string& path) {
    FDirListingDirty = true;
    FClient->Delete(path);
}

void TFTPConnectObject::RenameFile(const std::string& oldName, const std::string& newName) {
    FClient->Rename(oldName, newName);
}

void TFTPConnectObject::OnDataChannelCreate(net::TTCPConnection& dataChannel) {
    auto bitsPerSecond = static_cast<std::uint64_t>(FMaxTransferSpeed) * 8;
    dataChannel.AddIntercept(std::make_shared<net::TThrottleIntercept>(bitsPerSecond));
}

void TFTPConnectObject::Upload(const std::string& local, const std::string& remote,
                               std::int64_t startPosition, int maxSpeed) {
    FDirListingDirty = true;
    FMaxTransferSpeed = maxSpeed;
    if (maxSpeed > 0)
        FClient->OnDataChannelCreate = [this](net::TTCPConnection& data) { OnDataChannelCreate(data); };
    struct TUnhook {
        net::TFTPClient& Client;
        ~TUnhook() { Client.OnDataChannelCreate = nullptr; }
    } unhook{*FClient};
    FClient->Put(local, remote, false, startPosition);
}

void DownloadToLocalFolder(net::TFTPClient& client, const std::string& remote, quillate::TLocalFolder& folder,
                           const std::string& local, bool overwrite, bool resume, std::int64_t expectedSize) {
    quillate::TLocalFileWriter file = folder.Write(local, resume      ? quillate::lwmAppend
                                                          : overwrite ? quillate::lwmReplace
                                                                      : quillate::lwmNew);
    client.Get(remote, file.Descriptor(), file.Offset(), file.Path());
    struct stat written {};
    if (expectedSize >= 0 && client.TransferType() == net::TFTPTransferType::ftBinary &&
        ::fstat(file.Descriptor(), &written) == 0 && written.st_size != expectedSize &&
        // A file that changed on the server meanwhile has its new size now.
        client.Size(remote) != written.st_size)
        // Not committed: a new file is not kept under its name, a resumed one keeps what it had.
        throw std::runtime_error(fmt::format("Downloading [{}]: the server gave its size as {} bytes and the "
                                             "file ended at {}; the download is incomplete",
                                             net::EscapedName(remote), expectedSize,
                                             static_cast<std::int64_t>(written.st_size)));
    file.Commit();
}

void TFTPConnectObject::DownloadFile(const std::string& remote, quillate::TLocalFolder& folder,
                                     const std::string& local, bool overwrite, bool resume,
                                     std::int64_t expectedSize) {
    DownloadToLocalFolder(*FClient, remote, folder, local, overwrite, resume, expectedSize);
}

void TFTPConnectObject::NOOP() {
    FClient->Noop();
}

std::string TFTPConnectObject::SendCMD(const std::string& command, const std::string& expected) {
    FDirListingDirty = true;
    if (!KeepsDirectory(command))
        FKnownRemoteDir.reset();
    int code = FClient->SendCmd(command, ExpectedCodes(expected));
    std::string result = std::to_string(code) + "\r\n";
    for (const auto& line : FClient->LastReply().Lines)
        result += line + "\r\n";
    return result;
}

bool TFTPConnectObject::SetFileDate(const std::string& path, quillate::TDateTime date, std::string& message) {
    message.clear();
    try {
        FClient->SetModTime(path, quillate::DateTimeToTimePoint(date));
        FDirListingDirty = true;
        return true;
    } catch (const net::EReplyError& e) {
        message = fmt::format("Error Code: {}  Message Returned: {}", e.Code(), e.ReplyText());
        return false;
    } catch (const std::exception& e) {
        message = e.what();
        return false;
    }
}

TConnectionStopScope::TConnectionStopScope(IFTPConnectionObjectPtr connection, std::stop_token token)
    : FConnection(std::move(connection)) {
    if (FConnection)
        FConnection->SetStopToken(std::move(token));
}

TConnectionStopScope::~TConnectionStopScope() {
    if (FConnection)
        FConnection->SetStopToken({});
}

} // namespace zr
