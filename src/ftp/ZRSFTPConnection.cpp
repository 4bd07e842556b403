#include "ftp/ZRSFTPConnection.h"

#include "ftp/ZRFTPTree.h"
#include "net/NetErrors.h"
#include "net/TextUtil.h"

#include <condition_variable>
#include <ctime>
#include <filesystem>
#include <fmt/format.h>
#include <mutex>
#include <stdexcept>
#include <sys/stat.h>

namespace zr {

namespace {

std::string Parent(const std::string& dir) {
    auto slash = dir.find_last_of('/');
    if (slash == std::string::npos || slash == 0)
        return "/";
    return dir.substr(0, slash);
}

std::string Join(const std::string& dir, const std::string& name) {
    return dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string TrimTrailingSlash(std::string dir) {
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return dir;
}

// One line of a long listing, as ls -l shows it in the UTC clock.
std::string DetailLine(const net::TFTPListItem& item) {
    char kind = item.ItemType == net::TFTPItemType::ditDirectory      ? 'd'
                : item.ItemType == net::TFTPItemType::ditSymbolicLink ? 'l'
                : item.ItemType == net::TFTPItemType::ditFile         ? '-'
                                                                      : '?';
    std::string date = "-";
    if (item.ModifiedDate) {
        std::time_t t = std::chrono::system_clock::to_time_t(*item.ModifiedDate);
        std::tm utc{};
        ::gmtime_r(&t, &utc);
        date = fmt::format("{:04}-{:02}-{:02} {:02}:{:02}", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                           utc.tm_hour, utc.tm_min);
    }
    std::string line =
        fmt::format("{}{} {:>12} {} {}", kind, item.Permissions.empty() ? "?????????" : item.Permissions,
                    item.Size >= 0 ? std::to_string(item.Size) : "-", date, item.FileName);
    if (item.ItemType == net::TFTPItemType::ditSymbolicLink && !item.LinkTarget.empty())
        line += " -> " + net::EscapedName(item.LinkTarget);
    return line;
}

} // namespace

TSFTPConnectObject::TSFTPConnectObject(const std::string& name) : TConnectionObjectBase(name) {
    InitialiseFTP();
}

TSFTPConnectObject::~TSFTPConnectObject() = default;

void TSFTPConnectObject::Status(net::TConnectionStatus status, const std::string& text) {
    Deliver("Status: " + text, TConnMessageType::Status);
    if (FOnStatus)
        FOnStatus(status, text);
}

void TSFTPConnectObject::NotOverSFTP(const std::string& operation) const {
    throw std::runtime_error(operation + " is not available over SFTP");
}

void TSFTPConnectObject::InitialiseFTP() {
    FSettings = {};
    FCurrentDir.clear();
    FDirListingDirty = true;
    auto client = std::make_unique<net::TSFTPClient>();
    client->OnRequest = [this](const std::string& text) {
        Deliver(fmt::format("Sent: {} : {}", FClient->PeerText(), text), Sent);
    };
    client->OnReply = [this](const std::string& text) {
        Deliver(fmt::format("Recv: {} : {}", FClient->PeerText(), text), Received);
    };
    client->OnWorkBegin = [this](net::TWorkMode mode, std::int64_t countMax) {
        FTransferStart = std::chrono::steady_clock::now();
        if (FOnWorkBegin)
            FOnWorkBegin(mode, countMax);
    };
    client->OnWork = [this](net::TWorkMode mode, std::int64_t count) {
        if (FOnWork)
            FOnWork(mode, count);
        if (mode == net::TWorkMode::wmWrite && FMaxSpeed > 0)
            Throttle(count);
    };
    client->OnWorkEnd = [this](net::TWorkMode mode) {
        if (FOnWorkEnd)
            FOnWorkEnd(mode);
    };
    ReplaceClient(std::move(client));
}

void TSFTPConnectObject::Connect(int timeoutSeconds) {
    FDirListingDirty = true;
    FCurrentDir.clear();
    net::TSFTPClient& c = *FClient;
    c.Host = FSettings.Host;
    c.Port = FSettings.Port;
    c.Username = FSettings.User;
    c.Password = FSettings.Password;
    c.HostKeyFingerprint = FSettings.SFTP.HostKeyFingerprint;
    c.PrivateKeyFile = FSettings.SFTP.PrivateKeyFile;
    c.Passphrase = FSettings.SFTP.Passphrase;
    c.KnownHostsFile = FSettings.SFTP.KnownHostsFile;
    c.ConnectTimeout = std::chrono::seconds(std::max(timeoutSeconds, 0));
    if (FSettings.Proxy.ProxyType != net::TFTPProxyType::fpcmNone)
        throw std::runtime_error(fmt::format(
            "Connecting to {}: an FTP proxy cannot carry SFTP; turn the proxy off", c.PeerText()));
    Status(net::TConnectionStatus::csConnecting, "Connecting to " + c.PeerText());
    c.Connect();
    // Where the server puts us: the start of every relative path.
    FCurrentDir = c.RealPath(".");
    Status(net::TConnectionStatus::csConnected,
           fmt::format("Connected to {} as {}, host key {}", c.PeerText(), net::Printable(c.Username),
                       c.ServerFingerprint()));
}

void TSFTPConnectObject::Disconnect() {
    bool was = FClient->Connected();
    FClient->Disconnect();
    if (was)
        Status(net::TConnectionStatus::csDisconnected, "Disconnected from " + FClient->PeerText());
}

bool TSFTPConnectObject::IsConnected() {
    return FClient->Connected();
}

std::string TSFTPConnectObject::Resolve(const std::string& path) const {
    if (path.empty())
        return FCurrentDir;
    if (path.front() == '/')
        return path;
    return Join(FCurrentDir, path);
}

void TSFTPConnectObject::ChangeDir(const std::string& path) {
    FDirListingDirty = true;
    std::string target = FClient->RealPath(Resolve(path));
    // The server's refusal, as FTP's CWD into a file is: callers that step around a name in the way
    // do so over both.
    if (FClient->Stat(target).ItemType != net::TFTPItemType::ditDirectory)
        throw net::ESFTPError(fmt::format("Changing to [{}] on {}: it is not a folder", net::EscapedName(target),
                                          FClient->PeerText()),
                              net::ESFTPError::NotADirectory);
    FCurrentDir = target;
}

void TSFTPConnectObject::ReturnToDir(const std::string& path) {
    if (!FCurrentDir.empty() && TrimTrailingSlash(path) == FCurrentDir)
        return;
    ChangeDir(path);
}

std::string TSFTPConnectObject::GetRemoteDir() {
    return FCurrentDir;
}

void TSFTPConnectObject::ChangeUpDir() {
    ChangeDir(Parent(FCurrentDir));
}

// The folder is ours, not the server's: going up cannot silently fail to move.
void TSFTPConnectObject::SafeChangeUpDir() {
    ChangeUpDir();
}

std::int64_t TSFTPConnectObject::FileCRC(const std::string&) {
    NotOverSFTP("XCRC");
}

std::string TSFTPConnectObject::SendCMD(const std::string& command, const std::string&) {
    NotOverSFTP(fmt::format("The FTP command {}", net::Printable(command.substr(0, command.find(' ')))));
}

// SSH has nothing like FTP's NOOP that the client offers: a stat of the current folder is one cheap
// round trip that keeps an idle session (and any NAT on the way) alive and shows that it still works.
void TSFTPConnectObject::NOOP() {
    FClient->Stat(FCurrentDir.empty() ? "." : FCurrentDir);
}

std::string TSFTPConnectObject::ListDirectory(const std::string& path, bool details) {
    std::string target = Resolve(path);
    std::vector<net::TFTPListItem> items;
    try {
        items = FClient->List(target);
    } catch (const net::ESFTPError&) {
        // A file is listed as itself, as FTP's LIST of a file name does; a missing name fails the stat.
        net::TSFTPAttributes a = FClient->LinkStat(target);
        if (a.ItemType == net::TFTPItemType::ditDirectory)
            throw;
        net::TFTPListItem item;
        item.FileName = path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1);
        item.ItemType = a.ItemType;
        item.Size = a.Size;
        item.ModifiedDate = a.ModifiedDate;
        items.push_back(item);
    }
    WarnRefusedNames();
    std::string text;
    for (const auto& item : items)
        text += (details ? DetailLine(item) : item.FileName) + "\r\n";
    return text;
}

const TFTPListItems& TSFTPConnectObject::GetDirectoryListItems(bool) {
    // Without a listing of its own to fall back on, a stale cache is always listed again.
    if (FDirListingDirty) {
        FDirListing = FClient->List(FCurrentDir);
        FDirListingDirty = false;
        WarnRefusedNames();
    }
    return FDirListing;
}

const TFTPListItems* TSFTPConnectObject::ListFolder(const std::string& path) {
    FFolderListing = FClient->List(Resolve(path));
    WarnRefusedNames();
    return &FFolderListing;
}

bool TSFTPConnectObject::ListTree(const std::string&, std::vector<std::string>&) {
    return false;
}

std::int64_t TSFTPConnectObject::GetFileSize(const std::string& path) {
    std::string target = Resolve(path);
    net::TSFTPAttributes a = FClient->Stat(target);
    if (a.ItemType == net::TFTPItemType::ditDirectory || a.Size < 0)
        throw std::runtime_error(fmt::format("Getting the size of [{}] on {}: {}", net::EscapedName(target),
                                             FClient->PeerText(),
                                             a.Size < 0 ? "the server gave none" : "it is a folder"));
    return a.Size;
}

quillate::TDateTime TSFTPConnectObject::GetFileDate(const std::string& path) {
    std::string target = Resolve(path);
    net::TSFTPAttributes a = FClient->Stat(target);
    if (!a.ModifiedDate)
        throw std::runtime_error(fmt::format("Getting the date of [{}] on {}: the server gave none",
                                             net::EscapedName(target), FClient->PeerText()));
    return quillate::TimePointToDateTime(*a.ModifiedDate);
}

bool TSFTPConnectObject::SetFileDate(const std::string& path, quillate::TDateTime date,
                                     std::string& message) {
    message.clear();
    try {
        FDirListingDirty = true;
        FClient->SetModTime(Resolve(path), quillate::DateTimeToTimePoint(date));
        return true;
    } catch (const std::exception& e) {
        message = e.what();
        return false;
    }
}

void TSFTPConnectObject::CreateDir(const std::string& path) {
    FDirListingDirty = true;
    std::string target = Resolve(path);
    try {
        FClient->MakeDir(target);
    } catch (const net::ESFTPError& e) {
        if (e.Status() != net::ESFTPError::Failure)
            throw;
        // Version 3 answers a taken name with a bare failure; a name that is there says which it was.
        try {
            FClient->LinkStat(target);
        } catch (const net::ESFTPError&) {
            throw e;
        }
        throw net::ESFTPError(e.what(), net::ESFTPError::FileAlreadyExists);
    }
}

void TSFTPConnectObject::DeleteDir(const std::string& path, bool deleteContents) {
    FDirListingDirty = true;
    std::string target = Resolve(path);
    if (!deleteContents) {
        FClient->RemoveDir(target);
        return;
    }
    // Looked at, not followed: a link given as the folder is not a folder whose contents may go.
    if (FClient->LinkStat(target).ItemType != net::TFTPItemType::ditDirectory)
        throw std::runtime_error(fmt::format("Deleting the folder [{}] on {}: it is not a folder",
                                             net::EscapedName(target), FClient->PeerText()));
    DeleteTree(target, 1);
}

void TSFTPConnectObject::DeleteTree(const std::string& dir, std::size_t depth) {
    CheckRemoteTreeBounds(dir, depth);
    // Listings do not follow links, so a link is deleted as itself and never entered.
    auto items = FClient->List(dir);
    WarnRefusedNames();
    for (const auto& item : items) {
        std::string entry = Join(dir, item.FileName);
        if (item.ItemType == net::TFTPItemType::ditDirectory) {
            DeleteTree(entry, depth + 1);
        } else if (item.ItemType == net::TFTPItemType::ditFile ||
                   item.ItemType == net::TFTPItemType::ditSymbolicLink) {
            const char* kind = item.ItemType == net::TFTPItemType::ditFile ? "file" : "link";
            try {
                FClient->Delete(entry);
            } catch (const std::exception& e) {
                throw std::runtime_error(fmt::format("Unable to delete {}: {}", kind, e.what()));
            }
            Deliver(fmt::format("Deleted {} : {}", kind, net::EscapedName(entry)), TConnMessageType::Status);
        }
        // Devices and other special entries are left alone; the folder's removal then says why.
    }
    FClient->RemoveDir(dir);
    Deliver("Deleted directory : " + net::EscapedName(dir), TConnMessageType::Status);
}

void TSFTPConnectObject::DeleteFile(const std::string& path) {
    FDirListingDirty = true;
    FClient->Delete(Resolve(path));
}

void TSFTPConnectObject::RenameFile(const std::string& oldName, const std::string& newName) {
    FDirListingDirty = true;
    std::string from = Resolve(oldName), to = Resolve(newName);
    try {
        FClient->Rename(from, to);
        return;
    } catch (const net::ESFTPError& e) {
        // Version 3 will not rename over a file; FTP servers do, and a finished transfer put in place
        // under its name depends on it. A folder in the way stays an error.
        if (e.Status() != net::ESFTPError::Failure)
            throw;
        net::TSFTPAttributes existing;
        try {
            existing = FClient->LinkStat(to);
        } catch (const net::ESFTPError&) {
            throw e;
        }
        if (existing.ItemType == net::TFTPItemType::ditDirectory)
            throw;
    }
    FClient->Delete(to);
    FClient->Rename(from, to);
}

void TSFTPConnectObject::Throttle(std::int64_t count) {
    auto due = FTransferStart + std::chrono::microseconds(count * 1'000'000 / FMaxSpeed);
    auto now = std::chrono::steady_clock::now();
    if (due <= now)
        return;
    std::stop_token stop = StopToken();
    std::mutex m;
    std::condition_variable_any wake;
    std::unique_lock lock(m);
    // A stop ends the wait; the client fails the transfer at its next step.
    wake.wait_for(lock, stop, due - now, [] { return false; });
}

void TSFTPConnectObject::Upload(const std::string& local, const std::string& remote,
                                std::int64_t startPosition, int maxSpeed) {
    FDirListingDirty = true;
    FMaxSpeed = maxSpeed;
    struct TReset {
        int& Speed;
        ~TReset() { Speed = 0; }
    } reset{FMaxSpeed};
    // No remote name stores the file under its own name, as over FTP.
    FClient->Put(local, Resolve(remote.empty() ? std::filesystem::path(local).filename().string() : remote),
                 startPosition);
}

void TSFTPConnectObject::DownloadFile(const std::string& remote, quillate::TLocalFolder& folder,
                                      const std::string& local, bool overwrite, bool resume,
                                      std::int64_t expectedSize) {
    std::string source = Resolve(remote);
    quillate::TLocalFileWriter file = folder.Write(local, resume      ? quillate::lwmAppend
                                                          : overwrite ? quillate::lwmReplace
                                                                      : quillate::lwmNew);
    FClient->Get(source, file.Descriptor(), file.Offset(), file.Path());
    struct stat written {};
    if (expectedSize >= 0 && ::fstat(file.Descriptor(), &written) == 0 && written.st_size != expectedSize &&
        // A file that changed on the server meanwhile has its new size now.
        FClient->Stat(source).Size != written.st_size)
        // Not committed: a new file is not kept under its name, a resumed one keeps what it had.
        throw std::runtime_error(fmt::format("Downloading [{}]: the server gave its size as {} bytes and the "
                                             "file ended at {}; the download is incomplete",
                                             net::EscapedName(source), expectedSize,
                                             static_cast<std::int64_t>(written.st_size)));
    file.Commit();
}

} // namespace zr
