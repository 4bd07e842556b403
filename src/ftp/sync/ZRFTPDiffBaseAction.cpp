#include "ftp/sync/ZRFTPDiffBaseAction.h"

#include "ftp/ZRFTPTree.h"
#include "host/FileInfo.h"
#include "host/LocalFolder.h"
#include "host/RegEx.h"
#include "net/NetErrors.h"
#include "net/TextUtil.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fmt/format.h>
#include <sys/stat.h>

namespace zr {

using namespace quillate;
namespace fs = std::filesystem;

namespace {

// The pipe form the "File Mask" lines are matched in: every "/" and "\" a bar. A local folder's path
// drops the trailing "/" the regular-expression form gives it, while a remote folder, listed as
// "sub/", keeps it: masks see a local folder as "|sub" and a remote one as "|sub|".
std::string Piped(std::string path, bool dropTrailing) {
    if (dropTrailing && !path.empty() && path.back() == '/')
        path.pop_back();
    for (char& c : path)
        if (c == '/' || c == '\\')
            c = '|';
    return path;
}

std::int64_t RoundSeconds(double days) { return static_cast<std::int64_t>(std::nearbyint(days * SecondsPerDay)); }

TDateTime WholeSeconds(TDateTime t) { return std::floor(t * SecondsPerDay) / SecondsPerDay; }

constexpr int SkewProbeAttempts = 3;
// File systems stamp files from a coarse clock that can be a few milliseconds behind the one we read.
constexpr double StampLagSeconds = 0.05;

std::int64_t ElapsedMs(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
}

const net::TFTPListItem* FindEntry(const TFTPListItems& items, const std::string& name) {
    for (const auto& item : items)
        if (item.FileName == name)
            return &item;
    return nullptr;
}

} // namespace

TStringList SplitCommaText(const std::string& text) {
    TStringList items;
    std::string current;
    bool quoted = false, any = false;
    for (char c : text) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (!quoted && (c == ',' || c == ' ')) {
            if (any || !current.empty())
                items.push_back(current);
            current.clear();
            any = false;
        } else {
            current += c;
        }
    }
    if (any || !current.empty())
        items.push_back(current);
    return items;
}

struct TFTPDiffBaseActionProperties {
    using T = TFTPDiffBaseAction;
    static void Define(TPropertyTable& table) {
        TPropertyBuilder<T>(table)
            .Enum("MirrorOperation", FTPMirrorOperationInfo(), &T::FMirrorOperation)
            .Help("Direction of Mirror Operation")
            .String("LocalDir", &T::FLocalDir)
            .Help("Local Directory to Mirror")
            .Bool("SpecifyRemoteDir", &T::FSpecifyRemoteDir)
            .Help("Specify the FTP base directory rather than using FTP Connection current directory")
            .String("RemoteDir", &T::FRemoteDir)
            .Help("FTP base directory")
            .Bool("Recursive", &T::FRecursive)
            .Help("Perform Recursive Mirror")
            .Bool("IncludeEmptyDirs", &T::FIncludeEmptyDirs)
            .Help("Mirror Empty Directories")
            .Bool("MirrorDateTime", &T::FMirrorDateTime)
            .Bool("DeleteOrphans", &T::FDeleteOrphans)
            .Help("Delete items from destination that do not exist in source")
            .Bool("LogFiles", &T::FLogFiles)
            .Help("Log each file affected by mirror operation")
            .Bool("CheckFileCRC", &T::FCheckFileCRC)
            .Bool("CheckFileSize", &T::FCheckFileSize)
            .Help("Overwrite existing files based on size")
            .Bool("CheckFileDate", &T::FCheckFileDate)
            .Help("Overwrite existing files if source file is newer")
            .Bool("UseFileSpec", &T::FUseFileSpec)
            .Help("Only mirror files where the extension matches the extension specified")
            .String("FileSpec", &T::FFileSpec)
            .Help("Comma delimited list of file extensions to be mirrored. i.e .cs,.sln,.csproj")
            .StringList("ExcludeList", &T::FExcludeList)
            .Help("List of exclusions for mirror operation")
            .Bool("LogExcludedFiles", &T::FLogExcludedFiles)
            .Help("Log files that are excluded from mirror operation")
            .Bool("SkipSkewCheck", &T::FSkipSkewCheck)
            .Int("NOOPTimeoutMS", &T::FNOOPTimeoutMS)
            .Bool("NOOPLogged", &T::FNOOPLogged)
            .Bool("NOOPsEnabled", &T::FNOOPsEnabled)
            .Bool("LogSourceFiles", &T::FLogSourceFiles)
            .Bool("LogDifferences", &T::FLogDifferences);
    }
};

TFTPDiffBaseAction::TFTPDiffBaseAction() = default;

const TMetaClass& TFTPDiffBaseAction::ClassInfo() {
    static const TMetaClass meta = TMetaClass::Of<TFTPDiffBaseAction>(
        "TFTPDiffBaseAction", "", &TFTPBaseAction::ClassInfo(), &TFTPDiffBaseActionProperties::Define);
    return meta;
}

bool TFTPDiffBaseAction::ExcludeItem(const std::string& root, const std::string& path, const std::string& name,
                                     bool isFolder, const TStringList& excludes, const TStringList& fileSpecs,
                                     bool quiet) {
    if (FUseFileSpec) {
        std::string bare = name;
        while (!bare.empty() && bare.back() == '/')
            bare.pop_back();
        std::size_t dot = bare.rfind('.');
        std::string extension = dot == std::string::npos ? std::string() : bare.substr(dot);
        bool listed = std::any_of(fileSpecs.begin(), fileSpecs.end(),
                                  [&extension](const std::string& spec) { return net::EqualsNoCase(spec, extension); });
        if (!listed)
            return true;
    }
    if (excludes.empty())
        return false;
    // The entry's path below the root, "/"-separated with a leading "/"; a folder's ends with "/".
    std::string relative = path;
    if (relative.empty() || relative.back() != '/')
        relative += '/';
    relative += name;
    if (relative.size() >= root.size() && net::EqualsNoCase(std::string_view(relative).substr(0, root.size()), root))
        relative.erase(0, root.size());
    if (relative.empty() || relative.front() != '/')
        relative.insert(relative.begin(), '/');
    if (isFolder && relative.back() != '/')
        relative += '/';
    for (const auto& line : excludes) {
        auto eq = line.find('=');
        if (eq == std::string::npos || eq == 0 || eq + 1 == line.size())
            continue;
        const std::string type = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        bool excluded = false;
        if (type == "File Name")
            excluded = CompareFTPNames(value, name) == 0;
        else if (type == "File Mask")
            excluded = MatchesMask(Piped(relative, isFolder && !name.ends_with('/')), Piped(value, false));
        else if (type == "RegEx")
            excluded = RegEx::IsMatch(relative, value, true);
        if (excluded) {
            if (FLogExcludedFiles && !quiet)
                SendMessage("Excluded: " + name, stInformation);
            return true;
        }
    }
    return false;
}

bool TFTPDiffBaseAction::PrepareFilters() {
    FFileSpecs.clear();
    if (FUseFileSpec) {
        std::string spec;
        if (!TryExpandExpression("File Spec", FFileSpec, spec, true))
            return false;
        FFileSpecs = SplitCommaText(spec);
    }
    FillExpandedExcludeList(FExpandedExcludes);
    for (std::size_t i = 0; i < FExpandedExcludes.size(); ++i) {
        const std::string& line = FExpandedExcludes[i];
        if (line.rfind("RegEx=", 0) != 0)
            continue;
        try {
            RegEx::IsMatch("", line.substr(6), true);
        } catch (const ERegExError& e) {
            throw std::runtime_error(fmt::format("Exclusion line {} [{}]: {}", i + 1, FExcludeList[i], e.what()));
        }
    }
    return true;
}

void TFTPDiffBaseAction::FillExpandedExcludeList(TStringList& destination) {
    destination.clear();
    for (const auto& line : FExcludeList) {
        auto eq = line.find('=');
        std::string name = eq == std::string::npos ? line : line.substr(0, eq);
        std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
        try {
            value = ExpandExpression(value, false);
        } catch (const std::exception&) {
            // An exclusion that cannot be expanded is taken as written.
        }
        destination.push_back(name + "=" + value);
    }
}

void TFTPDiffBaseAction::CRCSupportCheck(IFTPConnectionObject& connection) {
    if (!connection.OffersFileCRC())
        FCRCSupported = false;
    if (FCheckFileCRC && !FCRCSupported)
        SendMessage("CRC is not supported by this FTP Server.", stWarning);
}

TFTPMirrorOptions TFTPDiffBaseAction::BuildMirrorOptions(IFTPConnectionObject& connection) {
    TFTPMirrorOptions options;
    if (FRecursive)
        options.Insert(Recursive);
    if (FIncludeEmptyDirs)
        options.Insert(IncludeEmptyDirectory);
    if (FMirrorDateTime)
        options.Insert(MirrorDateTime);
    if (FDeleteOrphans)
        options.Insert(RemoveOrphans);
    CRCSupportCheck(connection);
    if (FCheckFileCRC && FCRCSupported)
        options.Insert(CheckOnCRC);
    if (FCheckFileSize)
        options.Insert(CheckOnSize);
    if (FCheckFileDate && FMirrorDateTime)
        options.Insert(CheckOnDate);
    return options;
}

void TFTPDiffBaseAction::GetServerSkew(IFTPConnectionObject& connection, std::int64_t& skew, std::int64_t& setDateSkew) {
    fs::path local = TFileInfo::GetTemporaryFileName("zr");
    std::string name = local.filename().string();
    struct TRemoveLocal {
        fs::path Path;
        ~TRemoveLocal() {
            std::error_code ec;
            fs::remove(Path, ec);
        }
    } removeLocal{local};

    auto listFor = [&connection, &name]() {
        try {
            connection.ListDirectory(name, true);
        } catch (const net::EServerRefused&) {
            connection.ListDirectory("", true);
        }
        return FindEntry(connection.GetDirectoryListItems(false), name);
    };

    TDateTime t0 = Now();
    // Listings give whole seconds: the server's time of the upload, cut to its second, is compared
    // with ours cut the same way, so that a skew of whole seconds is measured exactly instead of
    // wobbling by one with the fraction of the second the upload happened in. That holds only when
    // the upload starts and ends within one of our seconds, so one across a second boundary is
    // repeated: a skew one too low dates every file the run uploads a second early, and the next
    // run would send them all again.
    TDateTime uploaded = 0;
    for (int attempt = 1; attempt <= SkewProbeAttempts; ++attempt) {
        TDateTime before = WholeSeconds(Now() - StampLagSeconds / SecondsPerDay);
        try {
            connection.UploadFile(local.string(), name, 0, -1);
        } catch (const net::EServerRefused& e) {
            // An account that may not write still mirrors down; its dates are only not corrected.
            if (attempt == 1) {
                SendMessage(std::string("Skew check could not store its probe file, so the skew time between local "
                                        "and remote is set to zero: ") +
                                e.what(),
                            stWarning);
                return;
            }
            // A server that will not store over the probe keeps the first measurement.
            break;
        }
        uploaded = WholeSeconds(Now());
        if (uploaded == before)
            break;
    }
    TDateTime remoteDate = t0;
    if (const auto* entry = listFor()) {
        remoteDate = ListItemDate(*entry);
        skew = RoundSeconds(remoteDate - uploaded);
    }
    std::string message;
    if (!connection.SetFileDate(name, remoteDate, message)) {
        SendMessage("Skew check failed to alter time on file on remote server.", stWarning);
        SendMessage("Skew time between local and remote is now set to zero.", stWarning);
        skew = 0;
        setDateSkew = 0;
        return;
    }
    if (const auto* entry = listFor())
        setDateSkew = RoundSeconds(remoteDate - ListItemDate(*entry));
    connection.DeleteFile(name);
}

void TFTPDiffBaseAction::MeasureSkew(IFTPConnectionObject& connection, std::int64_t& skew, std::int64_t& setDateSkew) {
    skew = 0;
    setDateSkew = 0;
    if (FSkipSkewCheck || !connection.NeedsSkewProbe()) {
        SendMessage("Skipped Calculation of Server Time Skew", stInformation);
        return;
    }
    SendMessage("Calculating Server Time Skew...", stInformation);
    GetServerSkew(connection, skew, setDateSkew);
    SendMessage(fmt::format("Server Time Skew : {} seconds", skew), stInformation);
    if (FMirrorDateTime)
        SendMessage(fmt::format("Server Set File Date & Time Skew : {} seconds", setDateSkew), stInformation);
}

std::optional<TFTPRunStart> TFTPDiffBaseAction::StartRun(IFTPConnectionObject& connection,
                                                         const std::string& startDir) {
    if (!PrepareFilters())
        return std::nullopt;
    TFTPRunStart start;
    start.Options = BuildMirrorOptions(connection);
    // FEAT leaves the directory alone: without RemoteDir the root is where the run began.
    start.RemoteRoot = startDir;
    if (FSpecifyRemoteDir) {
        std::string remoteDir;
        if (!TryExpandExpression("Remote Directory", FRemoteDir, remoteDir, true))
            return std::nullopt;
        connection.ChangeDir(remoteDir);
        start.RemoteRoot = connection.GetRemoteDir();
    }
    OpenListingPool(connection);
    try {
        MeasureSkew(connection, start.Skew, start.SetDateSkew);
    } catch (...) {
        CloseListingPool();
        throw;
    }
    return start;
}

std::int64_t TFTPDiffBaseAction::GetRemoteFileCRC(IFTPConnectionObject& connection, const std::string& remotePath) {
    if (!FCheckFileCRC || !FCRCSupported)
        return -1;
    return connection.FileCRC(remotePath);
}

bool TFTPDiffBaseAction::BuildLocalFolder(TFTPTreeNode& node, const std::string& root, const std::string& folderPath,
                                          bool recursive, const TStringList& excludes, const TStringList& fileSpecs) {
    if (!CheckNOOPandOperationAborted())
        return false;
    // Each entry is looked at through the folder's own descriptor: one lookup of its name, not of the
    // whole path, and a large tree is read once, not three times.
    const TLocalFolderListing folder(folderPath);
    for (const std::string& name : folder.Names()) {
        // Its kind, size and date: a link's are its target's.
        struct stat info {};
        bool known = folder.Stat(name, false, info);
        const bool isLink = known && S_ISLNK(info.st_mode);
        if (isLink)
            known = folder.Stat(name, true, info);
        if (SkippedLocalEntry(name, isLink && !known, folderPath))
            continue;
        const bool isFolder = known && S_ISDIR(info.st_mode);
        // What a killed run left half written is never a source.
        if (!isFolder && IsTemporaryName(name))
            continue;
        if (ExcludeItem(root, folderPath, name, isFolder, excludes, fileSpecs))
            continue;
        if (isFolder) {
            // Subfolders take part only in recursive runs, and a link to a folder is never followed.
            if (!recursive)
                continue;
            if (isLink) {
                Warning("Skipped linked folder [" + folderPath + name + "]");
                continue;
            }
            TFTPTreeNode* child = node.AddChild(name, false);
            if (!BuildLocalFolder(*child, root, folderPath + name + "/", recursive, excludes, fileSpecs))
                return false;
            continue;
        }
        TFTPTreeNode* leaf = node.AddChild(name, true);
        leaf->FSize = known && S_ISREG(info.st_mode) ? static_cast<std::int64_t>(info.st_size) : 0;
        if (known)
            leaf->FDate = UnixToDateTime(info.st_mtime);
        if (FCheckFileCRC)
            leaf->FCRC = std::stoll(TFileInfo::GetFileCRC(folderPath + name));
    }
    node.SortChildren();
    return true;
}

bool TFTPDiffBaseAction::CreateLocalTree(const std::string& localRoot, const std::string&, bool recursive,
                                         const TStringList& excludes, const TStringList& fileSpecs,
                                         TFTPTreeNodePtr& tree) {
    auto root = std::make_unique<TFTPTreeNode>(localRoot, false);
    if (!BuildLocalFolder(*root, localRoot, localRoot + "/", recursive, excludes, fileSpecs))
        return false;
    tree = std::move(root);
    return true;
}

bool TFTPDiffBaseAction::BuildRemoteFolder(IFTPConnectionObject& connection, TFTPRemoteLister& lister,
                                           TFTPTreeNode& node, const TFTPWalkKey& key,
                                           const std::string& root, const std::string& folderPath,
                                           bool recursive, const TStringList& excludes,
                                           const TStringList& fileSpecs,
                                           std::vector<std::string>& identities) {
    if (!CheckNOOPandOperationAborted())
        return false;
    CheckRemoteTreeBounds(folderPath, key.size());
    if (FLogFiles)
        SendMessage("Listing Files in [" + folderPath + "]", stInformation);
    // The server starts in the root; a folder below it that cannot be entered fails the run as it always has.
    const TFTPListItems* items =
        node.FParent ? lister.List(
                           folderPath,
                           [&connection, &folderPath] {
                               connection.ChangeDir(folderPath);
                               return true;
                           },
                           &key)
                     : &connection.GetDirectoryListItems(true);
    // The listing is read where the connection keeps it, not copied: subfolders are listed only after the
    // loop, as listing one replaces it.
    std::vector<TFTPTreeNode*> subfolders;
    std::vector<std::string> subfolderIdentities;
    for (const auto& item : *items) {
        const std::string& name = item.FileName;
        bool isFolder = item.ItemType == net::TFTPItemType::ditDirectory;
        if (!isFolder && IsTemporaryName(name))
            continue;
        if (ExcludeItem(root, folderPath, isFolder ? name + "/" : name, isFolder, excludes, fileSpecs))
            continue;
        if (isFolder) {
            if (!recursive)
                continue;
            if (!item.Unique.empty() && std::ranges::count(identities, item.Unique) > 0)
                throw EFTPEndlessTree(
                    "The remote folder [" + folderPath + name + "] is one of the folders above it (the " +
                    "server gives both the identity [" + item.Unique + "]): a looping link");
            subfolders.push_back(node.AddChild(name, false));
            subfolderIdentities.push_back(item.Unique);
        } else if (item.ItemType == net::TFTPItemType::ditFile) {
            TFTPTreeNode* leaf = node.AddChild(name, true);
            leaf->FCRC = GetRemoteFileCRC(connection, leaf->GenerateFullPath('/'));
            leaf->FSize = item.Size;
            leaf->FDate = ListItemDate(item);
        }
    }
    std::vector<TFTPWalkKey> keys(subfolders.size(), key);
    for (std::size_t i = 0; i < subfolders.size(); ++i) {
        keys[i].push_back(static_cast<std::uint32_t>(i));
        lister.Announce(keys[i], folderPath + subfolders[i]->FName + "/");
    }
    for (std::size_t i = 0; i < subfolders.size(); ++i) {
        identities.push_back(std::move(subfolderIdentities[i]));
        if (!BuildRemoteFolder(connection, lister, *subfolders[i], keys[i], root,
                               folderPath + subfolders[i]->FName + "/", recursive, excludes, fileSpecs,
                               identities))
            return false;
        identities.pop_back();
    }
    node.SortChildren();
    return true;
}

bool TFTPDiffBaseAction::CreateRemoteTree(IFTPConnectionObject& connection, const std::string& remoteRoot,
                                          bool recursive, const TStringList& excludes, const TStringList& fileSpecs,
                                          TFTPTreeNodePtr& tree) {
    std::string rootName = remoteRoot;
    while (!rootName.empty() && rootName.back() == '/')
        rootName.pop_back();
    auto root = std::make_unique<TFTPTreeNode>(rootName, false);
    TFTPRemoteLister lister(connection, [this](const std::string& text) { Warning(text); });
    lister.SetPool(FListingPool.get());
    std::vector<std::string> identities;
    const bool built = BuildRemoteFolder(connection, lister, *root, {}, remoteRoot, rootName + "/", recursive,
                                         excludes, fileSpecs, identities);
    if (!built)
        return false;
    tree = std::move(root);
    return true;
}

void TFTPDiffBaseAction::ListRemoteTreesAhead(TFTPMirrorOptions options, const std::string& localRoot,
                                              const std::string& remoteRoot) {
    if (!FListingPool || !ListsWholeTrees() ||
        !TFTPTreeVisitorDetermineDifferencesToRemote::ListsWholeTrees(options))
        return;
    // Only what the walk will read: a folder the local tree leaves out (its name judged as the local walk's
    // is) is not listed, nor one only the server has unless orphans are removed.
    const bool orphansToo = options.Contains(RemoveOrphans);
    auto wanted = [this, orphansToo, localRoot](const std::string& root, const std::string& name) {
        if (ExcludeItem(root, root + "/", name, true, FExpandedExcludes, FFileSpecs, true))
            return false;
        std::error_code ec;
        return orphansToo || fs::is_directory(fs::symlink_status(localRoot + "/" + name, ec));
    };
    TFTPRemoteLister::ListTreesAhead(*FListingPool, remoteRoot, std::move(wanted));
}

bool TFTPDiffBaseAction::DetermineDifferencesToRemoteTree(TFTPTreeNode& tree, TFTPMirrorOptions options,
                                                          std::int64_t skew, IFTPConnectionObject& connection,
                                                          const std::string& remoteRoot) {
    TFTPTreeVisitorDetermineDifferencesToRemote visitor(options, skew, remoteRoot, connection);
    visitor.SetOnCheckContinuation([this] { return CheckNOOPandOperationAborted(); });
    visitor.OnWarning = [this](const std::string& text) { Warning(text); };
    visitor.OnTemporary = [this](const std::string& path) { FStaleTemporaries.push_back(path); };
    visitor.SetListingPool(FListingPool.get());
    if (ListsWholeTrees())
        visitor.AllowWholeTreeListing();
    return tree.Accept(visitor, trmHeadRecursion, tvdVisitChildren);
}

void TFTPDiffBaseAction::OpenListingPool(IFTPConnectionObject& connection) {
    CloseListingPool();
    FSpareConnections = {};
    if (ListingConnections(connection) <= 1 || !FRecursive)
        return;
    auto pool = std::make_unique<TFTPListingPool>(
        connection, ListingConnections(connection), [this](const std::string& text) { Warning(text); },
        [this] { return CheckNOOPandOperationAborted(); });
    pool->OpenAhead();
    std::lock_guard lock(FListingPoolLock);
    FListingPool = std::move(pool);
    // A stop that came before the pool was there.
    if (GetRunStopped())
        FListingPool->Cancel();
}

void TFTPDiffBaseAction::CloseListingPool(bool keepConnections) {
    std::unique_ptr<TFTPListingPool> pool;
    {
        std::lock_guard lock(FListingPoolLock);
        pool = std::move(FListingPool);
    }
    if (pool && keepConnections)
        FSpareConnections = pool->Release();
}

void TFTPDiffBaseAction::StopSignalled() {
    TFTPBaseAction::StopSignalled();
    std::lock_guard lock(FListingPoolLock);
    if (FListingPool)
        FListingPool->Cancel();
}

void TFTPDiffBaseAction::TerminateAction() {
    TFTPBaseAction::TerminateAction();
    std::lock_guard lock(FListingPoolLock);
    if (FListingPool)
        FListingPool->Cancel();
}

bool TFTPDiffBaseAction::DetermineDifferencesToLocalTree(TFTPTreeNode& tree, TFTPMirrorOptions options,
                                                         std::int64_t skew, const std::string& localRoot) {
    TFTPTreeVisitorDetermineDifferencesToLocal visitor(options, skew, localRoot);
    visitor.SetOnCheckContinuation([this] { return CheckNOOPandOperationAborted(); });
    visitor.OnWarning = [this](const std::string& text) { Warning(text); };
    visitor.OnTemporary = [this](const std::string& path) { FStaleTemporaries.push_back(path); };
    return tree.Accept(visitor, trmHeadRecursion, tvdVisitChildren);
}

void TFTPDiffBaseAction::PrintTree(TFTPTreeNode& tree, TFTPItemDiffs include, bool withStatus) {
    TFTPTreeVisitorPrintToLog printer(*this);
    printer.SetNodeTypesToInclude(include);
    printer.SetIncludeChangeStatus(withStatus);
    printer.SetOnCheckContinuation([this] { return CheckNOOPandOperationAborted(); });
    tree.Accept(printer, trmHeadRecursion, tvdVisitChildren);
}

std::optional<std::string> TFTPDiffBaseAction::PrepareLocalDir(const std::string& invalidOperation,
                                                               const std::string& missingFolder) {
    std::string localDir;
    if (!TryExpandExpression("Local Directory", FLocalDir, localDir, true))
        return std::nullopt;
    if (FMirrorOperation != moLocalToRemote && FMirrorOperation != moRemoteToLocal) {
        SendMessage(invalidOperation, stError);
        return std::nullopt;
    }
    while (localDir.size() > 1 && localDir.back() == '/')
        localDir.pop_back();
    if (!fs::is_directory(localDir)) {
        SendMessage(fmt::format(fmt::runtime(missingFolder), localDir), stError);
        return std::nullopt;
    }
    return localDir;
}

bool TFTPDiffBaseAction::CreateFTPDifferencesTree(IFTPConnectionObject& connection, TFTPMirrorOptions options,
                                                  std::int64_t skew, const std::string& localRoot,
                                                  const std::string& remoteRoot, TFTPTreeNodePtr& tree) {
    // The listing connections StartRun opened end with the remote walk, however it ends; a run that transfers
    // on extra connections keeps them for its transfers.
    struct TCloseListings {
        TFTPDiffBaseAction& Action;
        ~TCloseListings() { Action.CloseListingPool(); }
    } closeListings{*this};
    tree.reset();
    FStaleTemporaries.clear();
    auto started = std::chrono::steady_clock::now();
    bool built = false;
    if (FMirrorOperation == moLocalToRemote) {
        ListRemoteTreesAhead(options, localRoot, remoteRoot);
        SendMessage("Generating Local File List...", stInformation);
        built = CreateLocalTree(localRoot, "*", FRecursive, FExpandedExcludes, FFileSpecs, tree);
    } else if (FMirrorOperation == moRemoteToLocal) {
        SendMessage("Generating Remote File List...", stInformation);
        built = CreateRemoteTree(connection, remoteRoot, FRecursive, FExpandedExcludes, FFileSpecs, tree);
        CloseListingPool(ReusesListingConnections(connection));
    } else {
        throw std::runtime_error("Unknown mirror operation passed.");
    }
    if (!built) {
        SendMessage("Generating File List Failed.", stError);
        tree.reset();
        return false;
    }
    if (FLogSourceFiles)
        PrintTree(*tree, {tfaUnknown}, false);
    SendMessage(fmt::format("Generated File Lists in [{} milliseconds]", ElapsedMs(started)), stInformation);

    started = std::chrono::steady_clock::now();
    bool evaluated = false;
    if (FMirrorOperation == moLocalToRemote) {
        SendMessage("Evaluating Remote Differences...", stInformation);
        evaluated = DetermineDifferencesToRemoteTree(*tree, options, skew, connection, remoteRoot);
        CloseListingPool(ReusesListingConnections(connection));
    } else {
        SendMessage("Evaluating Local Differences...", stInformation);
        evaluated = DetermineDifferencesToLocalTree(*tree, options, skew, localRoot);
    }
    if (!evaluated) {
        SendMessage("Evaluating Differences Failed", stError);
        tree.reset();
        return false;
    }
    SendMessage(fmt::format("Evaluating Differences in [{} milliseconds]", ElapsedMs(started)), stInformation);
    if (FLogDifferences)
        PrintTree(*tree, {tfaOrphaned, tfaChanged}, true);
    return true;
}

} // namespace zr
