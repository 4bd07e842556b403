#include "ftp/ZRFTPBaseAction.h"

#include <sys/stat.h>

#include <algorithm>
#include <functional>

#include <fmt/format.h>

#include "host/FileSet.h"
#include "host/ProjectObjects.h"
#include "host/RegEx.h"
#include "net/NetErrors.h"
#include "net/TextUtil.h"

namespace zr {

using namespace quillate;

struct TFTPBaseActionProperties {
    static void Define(TPropertyTable& table) {
        TPropertyBuilder<TFTPBaseAction>(table)
            .String("ConnectionName", &TFTPBaseAction::GetConnectionName, &TFTPBaseAction::SetConnectionName)
            .Help("Name of the connection opened by an FTP Connect action")
            .Bool("AutoReConnect", &TFTPBaseAction::FAutoReConnect)
            .Help("Reconnect a dropped connection before the step")
            .Bool("DetailedLogging", &TFTPBaseAction::FDetailedLogging)
            .Help("Copy the FTP commands and replies of the step into the log");
    }
};

TFTPBaseAction::TFTPBaseAction() { SetCanTerminate(true); }

const TMetaClass& TFTPBaseAction::ClassInfo() {
    static const TMetaClass meta = TMetaClass::Of<TFTPBaseAction>("TFTPBaseAction", "", &TZRAction::ClassInfo(),
                                                                  &TFTPBaseActionProperties::Define);
    return meta;
}

std::string TFTPBaseAction::GetFormattedDescription() const {
    return fmt::format("{} [ {} ]", TZRAction::GetFormattedDescription(), FConnectionName);
}

bool TFTPBaseAction::Execute() {
    FAbortReported = false;
    if (FConnectionName.empty()) {
        SendMessage("Connection name is not set", stError);
        return false;
    }
    auto connection =
        AcquireObjectAs<IFTPConnectionObject>(GetProjectObjectService(), FConnectionName, FTPConnectionCategory);
    if (!connection) {
        SendMessage("Connection object not found: " + FConnectionName, stError);
        return false;
    }
    // Released whatever happens below.
    struct TRelease {
        TFTPBaseAction& Self;
        std::shared_ptr<IProjectObject> Object;
        ~TRelease() {
            {
                std::lock_guard lock(Self.FLogLock);
                if (Self.FConnection)
                    Self.FConnection->SetOnMessage(nullptr);
                Self.FInOperation = false;
                Self.FConnection.reset();
            }
            GetProjectObjectService().ReleaseObject(Object);
        }
    } release{*this, connection};
    {
        std::lock_guard lock(FLogLock);
        FConnection = connection;
    }
    TConnectionStopScope stoppable(connection, GetStopToken());
    // Hooked before a reconnect, so that its warnings (an unverified certificate) reach the log.
    connection->SetOnMessage(
        [this](const std::string& text, TConnMessageType type) { OnFTPLogMessage(text, type); });
    {
        std::lock_guard lock(FLogLock);
        FInOperation = true;
    }

    if (!connection->IsConnected()) {
        if (!FAutoReConnect) {
            SendMessage("Not connected", stInformation);
            return false;
        }
        SendMessage("Not connected, attempting auto reconnect", stInformation);
        try {
            connection->Connect(0);
            if (connection->IsConnected())
                SendMessage("Connected OK.", stInformation);
        } catch (const std::exception& e) {
            SendMessage(std::string("Error reconnecting : ") + e.what(), stInformation);
            return false;
        }
    }
    return DoFTPOperation(*connection);
}

void TFTPBaseAction::TerminateAction() {
    SendFTPMessage("Aborting FTP operation...");
    TZRAction::TerminateAction();
}

bool TFTPBaseAction::CheckOperationAborted() {
    bool aborted = GetRunStopped();
    if (aborted && !FAbortReported) {
        FAbortReported = true;
        SendMessage("User aborted operation. Stopping...", stInformation);
    }
    return aborted;
}

void TFTPBaseAction::SendFTPMessage(const std::string& text) {
    std::lock_guard lock(FLogLock);
    if (FInOperation && Host())
        SendMessage(text, stInformation);
}

// Warnings are logged always, the protocol only with detailed logging.
void TFTPBaseAction::OnFTPLogMessage(const std::string& text, TConnMessageType type) {
    if (type == Warning) {
        std::lock_guard lock(FLogLock);
        if (FInOperation && Host())
            SendMessage(text, stWarning);
    } else if (FDetailedLogging) {
        SendFTPMessage(text);
    }
}

} // namespace zr

namespace zr {

using namespace quillate;
namespace fs = std::filesystem;

namespace {

std::vector<fs::directory_entry> SortedEntries(const fs::path& directory) {
    std::vector<fs::directory_entry> entries;
    for (const auto& entry : fs::directory_iterator(directory))
        entries.push_back(entry);
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.path().filename() < b.path().filename(); });
    return entries;
}

std::vector<std::string> SplitSegments(const std::string& path) {
    std::string trimmed = !path.empty() && path.front() == '/' ? path.substr(1) : path;
    std::vector<std::string> segments;
    std::size_t start = 0;
    while (true) {
        std::size_t end = trimmed.find('/', start);
        segments.push_back(trimmed.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return segments;
        start = end + 1;
    }
}

std::string WithTrailingSlash(const std::string& path) {
    return !path.empty() && path.back() == '/' ? path : path + "/";
}

// The folder of an item's relative pipe path, "/"-separated, without leading or trailing delimiter.
std::string TargetDirectory(const TFTPItem& remote) {
    std::string path = remote.RelativePathPiped;
    if (!path.empty() && path.front() == '|')
        path.erase(0, 1);
    std::size_t lastBar = path.rfind('|');
    path = lastBar == std::string::npos ? std::string() : path.substr(0, lastBar);
    std::replace(path.begin(), path.end(), '|', '/');
    return path;
}

} // namespace

bool TFTPBaseAction::SkippedLocalEntry(const fs::directory_entry& entry, const std::string& folder) {
    std::error_code ec;
    const bool dangling = entry.is_symlink(ec) && !fs::exists(fs::status(entry.path(), ec));
    return SkippedLocalEntry(entry.path().filename().string(), dangling, folder);
}

bool TFTPBaseAction::SkippedLocalEntry(const std::string& name, bool danglingLink, const std::string& folder) {
    if (net::HoldsLineBreakOrNul(name)) {
        SendMessage(fmt::format("Skipped a local entry with an unsafe name [{}] in [{}]", net::EscapedName(name), folder),
                    stWarning);
        return true;
    }
    if (danglingLink) {
        SendMessage("Skipped dangling link [" + folder + name + "]", stWarning);
        return true;
    }
    return false;
}

TFTPItem TFTPBaseAction::GetFileFromSearchRecord(const fs::directory_entry& entry, const std::string& baseDirectory) {
    TFTPItem item;
    std::error_code ec;
    // A link to a folder is a folder here, but the walk never descends into it.
    item.ItemType = entry.is_directory(ec) ? itLocalDir : itLocalFile;
    item.Name = entry.path().filename().string();
    item.FullPath = entry.path().string();
    item.SetRelativePath(entry.path().lexically_relative(fs::path(baseDirectory)).generic_string());
    item.CRC = -1;
    if (item.IsFile()) {
        auto size = entry.file_size(ec);
        item.Size = ec ? 0 : static_cast<std::int64_t>(size);
    }
    struct stat info {};
    if (::stat(item.FullPath.c_str(), &info) == 0)
        item.Date = UnixToDateTime(info.st_mtime);
    return item;
}

TFTPItemList TFTPBaseAction::GetFilesFromDirectoryAndFileSpec(const std::string& directory, const std::string& mask,
                                                              bool recursive) {
    TFTPItemList items;
    std::size_t count = 0;
    std::function<void(const fs::path&)> addMatching = [&](const fs::path& dir) {
        if (CheckOperationAborted())
            return;
        // One listing serves the folder's own matches and the subfolders to descend into.
        auto entries = SortedEntries(dir);
        std::erase_if(entries, [&](const fs::directory_entry& entry) {
            return SkippedLocalEntry(entry, WithTrailingSlash(dir.string()));
        });
        for (const auto& entry : entries) {
            std::string name = entry.path().filename().string();
            if (!MatchesMask(name, mask))
                continue;
            items.push_back(GetFileFromSearchRecord(entry, directory));
            if (++count % 100000 == 0)
                SendMessage("List Size: " + std::to_string(count), stInformation);
        }
        if (!recursive)
            return;
        for (const auto& entry : entries) {
            std::error_code ec;
            if (entry.is_directory(ec) && !entry.is_symlink(ec))
                addMatching(entry.path());
            if (CheckOperationAborted())
                return;
        }
    };
    try {
        addMatching(fs::path(directory));
    } catch (...) {
        SendMessage("List Size: " + std::to_string(count), stInformation);
        throw;
    }
    return items;
}

TFTPItemList TFTPBaseAction::GetFilesFromStringList(const TStringList& lines, const std::string& baseDirectory) {
    TFTPItemList items;
    for (const auto& raw : lines) {
        std::string line = raw;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        std::replace(line.begin(), line.end(), '\\', '/');
        fs::path path(line);
        fs::path dir = path.has_parent_path() ? path.parent_path() : fs::path(".");
        std::string mask = path.filename().string();
        std::error_code ec;
        if (!fs::is_directory(dir, ec))
            continue;
        for (const auto& entry : SortedEntries(dir)) {
            if (!MatchesMask(entry.path().filename().string(), mask) ||
                SkippedLocalEntry(entry, WithTrailingSlash(dir.string())))
                continue;
            TFTPItem item = GetFileFromSearchRecord(entry, baseDirectory);
            item.FullPath = WithTrailingSlash(dir.string()) + item.Name;
            items.push_back(std::move(item));
            break;
        }
    }
    return items;
}

std::optional<TFTPItemList> TFTPBaseAction::GetFilesFromFileSet(const std::string& name) {
    auto fileSet = AcquireObjectAs<IZRFileSet>(GetProjectObjectService(), name, FileSetCategory);
    if (!fileSet) {
        SendMessage("Could not find File Set: " + name, stError);
        return std::nullopt;
    }
    struct TRelease {
        std::shared_ptr<IProjectObject> Object;
        ~TRelease() { GetProjectObjectService().ReleaseObject(Object); }
    } release{std::dynamic_pointer_cast<IProjectObject>(fileSet)};
    TStringList lines;
    std::string list = fileSet->GetFileList();
    std::size_t start = 0;
    while (start < list.size()) {
        std::size_t end = list.find("\r\n", start);
        lines.push_back(list.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            break;
        start = end + 2;
    }
    std::string base = fileSet->GetBaseDirectory();
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    return GetFilesFromStringList(lines, base);
}

std::string TFTPBaseAction::WalkToDirectory(IFTPConnectionObject& connection, const std::string& current,
                                            const std::string& target) {
    auto from = SplitSegments(current);
    auto to = SplitSegments(target);
    std::size_t common = 0;
    while (common < from.size() && common < to.size() && from[common] == to[common])
        ++common;
    for (std::size_t i = common; i < from.size(); ++i)
        if (!from[i].empty())
            connection.ChangeUpDir();
    std::string result;
    for (std::size_t i = 0; i < common; ++i)
        if (!to[i].empty())
            result += "/" + to[i];
    for (std::size_t i = common; i < to.size(); ++i) {
        if (to[i].empty())
            continue;
        try {
            connection.CreateDir(to[i]);
        } catch (const std::exception& e) {
            // Already there.
            if (!net::IsNameUnavailable(e))
                throw;
        }
        connection.ChangeDir(to[i]);
        result += "/" + to[i];
    }
    return result.empty() ? "/" : result;
}

void TFTPBaseAction::UploadFile(const TFTPItem& local, const TFTPItem& remote, IFTPConnectionObject& connection,
                                TRemotePosition& position) {
    if (local.ItemType == itRemoteFile || local.ItemType == itRemoteDir)
        throw std::runtime_error("Invalid Operation: Cannot upload a remote file.");
    std::string target = TargetDirectory(remote);
    if (remote.IsDir()) {
        std::string dir = remote.RelativePathPiped;
        if (!dir.empty() && dir.front() == '|')
            dir.erase(0, 1);
        while (!dir.empty() && dir.back() == '|')
            dir.pop_back();
        std::replace(dir.begin(), dir.end(), '|', '/');
        target = dir;
    }
    if (position.RelativeDirectory != target) {
        std::string moved = WalkToDirectory(connection, position.RelativeDirectory, target);
        if (!moved.empty() && moved.front() == '/')
            moved.erase(0, 1);
        position.RelativeDirectory = remote.IsDir() ? target : moved;
    }
    if (remote.IsFile()) {
        connection.UploadFile(local.FullPath, remote.Name, 0, -1);
        FileUploaded(local.Size);
    }
}

void TFTPBaseAction::UploadFileRenamed(const TFTPItem& local, const std::string& relativePath,
                                       IFTPConnectionObject& connection, TRemotePosition& position) {
    if (local.ItemType == itRemoteFile)
        throw std::runtime_error("Invalid remote file passed as local");
    if (local.ItemType == itRemoteDir)
        throw std::runtime_error("Invalid remote dir passed as local");
    std::string relative = relativePath;
    std::replace(relative.begin(), relative.end(), '\\', '/');
    TFTPItem remote = local;
    remote.ItemType = local.ItemType == itLocalDir ? itRemoteDir : itRemoteFile;
    std::string trimmed = relative;
    while (!trimmed.empty() && trimmed.back() == '/')
        trimmed.pop_back();
    remote.Name = trimmed.substr(trimmed.rfind('/') == std::string::npos ? 0 : trimmed.rfind('/') + 1);
    remote.SetRelativePath(trimmed);
    UploadFile(local, remote, connection, position);
}

bool TFTPBaseAction::UploadFiles(const TFTPItemList& items, const std::string& remoteBase,
                                 IFTPConnectionObject& connection) {
    SendMessage("Uploading files...", stInformation);
    TRemotePosition position;
    std::size_t count = 0;
    for (const auto& item : items) {
        if (CheckOperationAborted())
            return false;
        // Each item keeps its own relative path on the server.
        UploadFile(item, item, connection, position);
        ++count;
    }
    connection.ChangeDir(remoteBase);
    if (!GetRunStopped())
        SendMessage("Successfully uploaded " + std::to_string(count) + " items.", stInformation);
    return true;
}

} // namespace zr
