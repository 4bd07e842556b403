#include "ftp/sync/ZRFTPDiffVisitors.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include <fmt/format.h>

#include "host/FileInfo.h"
#include "host/LocalFolder.h"
#include "net/NetErrors.h"

namespace zr {

using namespace quillate;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> SplitKeepingEmpty(std::string path) {
    if (!path.empty() && path.front() == '/')
        path.erase(0, 1);
    if (!path.empty() && path.back() == '/')
        path.pop_back();
    std::vector<std::string> segments;
    std::size_t start = 0;
    while (true) {
        std::size_t end = path.find('/', start);
        segments.push_back(path.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return segments;
        start = end + 1;
    }
}

TDateTime LocalFileDate(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return -1.0;
    return UnixToDateTime(info.st_mtime);
}

bool IsLocalFolder(const fs::path& path) {
    // A link to a folder is never descended into: it counts as a file here.
    std::error_code ec;
    return fs::is_directory(fs::symlink_status(path, ec));
}

} // namespace

const TEnumInfo& FTPMirrorOperationInfo() {
    static const TEnumInfo info{"TFTPMirrorOperation", {"moLocalToRemote", "moRemoteToLocal"}};
    return info;
}

std::string WithTrailingSlash(std::string path) {
    if (path.empty() || path.back() != '/')
        path += '/';
    return path;
}

TFTPRemoteLister::TFTPRemoteLister(IFTPConnectionObject& connection, TFTPWarningEvent warn)
    : FConnection(connection), FWarn(std::move(warn)) {}

const TFTPListItems* TFTPRemoteLister::FromInside(const TEnterEvent& enter) {
    if (!enter())
        return nullptr;
    return &FConnection.GetDirectoryListItems(true);
}

namespace {

std::string FolderArgument(const std::string& path) {
    return path.size() > 1 && path.back() == '/' ? path.substr(0, path.size() - 1) : path;
}

} // namespace

void TFTPRemoteLister::Announce(const TFTPWalkKey& key, const std::string& path) {
    // What a whole subtree's listing holds already is not listed again.
    if (ListsAhead() && !(FTree && FTree->contains(FolderArgument(path))))
        FPool->Announce(key, FolderArgument(path));
}

namespace {

// A folder listed on an extra connection without a word in the log: nothing when the listing warns (names
// refused as unsafe) or fails, so that the walk lists it again and reports it where it stands.
std::optional<TFTPListItems> ListQuietly(IFTPConnectionObject& connection, const std::string& folder) {
    const TFTPLoggingEvent forward = connection.GetOnMessage();
    bool warned = false;
    connection.SetOnMessage([&forward, &warned](const std::string& text, TConnMessageType type) {
        if (type == Warning)
            warned = true;
        else if (forward)
            forward(text, type);
    });
    struct TRestore {
        IFTPConnectionObject& Connection;
        const TFTPLoggingEvent& Forward;
        ~TRestore() { Connection.SetOnMessage(Forward); }
    } restore{connection, forward};
    try {
        if (const auto* items = connection.ListFolder(folder); items && !warned)
            return *items;
    } catch (const net::EServerRefused&) {
        // Refused: the walk lists it again and reports the refusal.
    } catch (const net::EProtocolError&) {
        // Past the listing limits: the walk lists it again and reports that.
    }
    return std::nullopt;
}

// The tree below path in one listing. The folders it may have cut short are listed on their own at once on
// an extra connection (alone), rather than one after another when the walk reaches them. Nothing when the
// server refuses such listings or gives one that cannot stand for listings per folder.
std::optional<TFTPTreeListing> ListWholeTree(IFTPConnectionObject& connection, const std::string& path,
                                             bool alone) {
    std::vector<std::string> lines;
    try {
        std::vector<std::string> listAlone;
        if (!connection.ListTree(path, lines))
            return std::nullopt;
        auto tree = SplitTreeListing(lines, path, std::time(nullptr), &listAlone);
        if (tree && alone)
            for (const auto& folder : listAlone)
                if (auto items = ListQuietly(connection, folder)) {
                    auto& entries = (*tree)[folder];
                    for (auto& item : *items)
                        entries.push_back(TFTPTreeEntry::Of(std::move(item)));
                }
        return tree;
    } catch (const net::EServerRefused&) {
        // Not offered: listed folder by folder.
    } catch (const net::EProtocolError&) {
        // Past the listing limits: folder by folder stays within them.
    }
    return std::nullopt;
}

std::string Below(const std::string& folder, const std::string& name) {
    return (folder == "/" ? folder : folder + "/") + name;
}

TFTPTreeListing Merged(std::vector<std::optional<TFTPTreeListing>>& listed) {
    TFTPTreeListing tree;
    for (auto& subtree : listed)
        if (subtree)
            tree.merge(*subtree);
    return tree;
}

} // namespace

void TFTPRemoteLister::ListTreesAhead(TFTPListingPool& pool, const std::string& root,
                                      std::function<bool(const std::string&, const std::string&)> wanted) {
    const std::string folder = FolderArgument(WithTrailingSlash(root));
    // Extra connections may start elsewhere than the main one: only a path from the top means one folder.
    if (!folder.starts_with('/'))
        return;
    pool.StartAhead(folder, [&pool, folder, wanted = std::move(wanted)] {
        std::optional<TFTPListItems> top;
        pool.ListTrees(1, nullptr, [&](IFTPConnectionObject& connection, std::size_t) {
            top = ListQuietly(connection, folder);
        });
        if (!top)
            return std::optional<TFTPTreeListing>();
        std::vector<std::string> subtrees;
        for (const auto& item : *top)
            if (item.ItemType == net::TFTPItemType::ditDirectory && item.FileName != "." &&
                item.FileName != ".." && wanted(folder, item.FileName))
                subtrees.push_back(Below(folder, item.FileName));
        std::vector<std::optional<TFTPTreeListing>> listed(subtrees.size());
        pool.ListTrees(subtrees.size(), nullptr, [&](IFTPConnectionObject& connection, std::size_t i) {
            listed[i] = ListWholeTree(connection, subtrees[i], true);
        });
        return std::optional<TFTPTreeListing>(Merged(listed));
    });
}

void TFTPRemoteLister::LoadTrees(const std::string& root, const std::vector<std::string>& subfolders) {
    if (!FByPath || FTree)
        return;
    const std::string folder = FolderArgument(root);
    // Listed ahead: what the server would not give whole, it would not give now either.
    if (auto ahead = FPool ? FPool->TakeAhead(folder) : std::nullopt) {
        if (!ahead->empty())
            FTree = std::move(*ahead);
        return;
    }
    if (subfolders.empty())
        return;
    std::vector<std::string> subtrees;
    for (const auto& name : subfolders)
        subtrees.push_back(Below(folder, name));
    std::vector<std::optional<TFTPTreeListing>> listed(subtrees.size());
    // Not on the main connection: the extra ones copy its message handler as they open, so it is never
    // swapped for a moment.
    auto listTree = [&](IFTPConnectionObject& connection, std::size_t i) {
        listed[i] = ListWholeTree(connection, subtrees[i], &connection != &FConnection);
    };
    if (FPool)
        FPool->ListTrees(subtrees.size(), &FConnection, listTree);
    else
        for (std::size_t i = 0; i < subtrees.size(); ++i)
            listTree(FConnection, i);
    TFTPTreeListing tree = Merged(listed);
    if (!tree.empty())
        FTree = std::move(tree);
}

const TFTPListItems* TFTPRemoteLister::List(const std::string& path, const TEnterEvent& enter,
                                            const TFTPWalkKey* key) {
    if (!FByPath)
        return FromInside(enter);
    if (FTree)
        if (auto found = FTree->find(FolderArgument(path)); found != FTree->end()) {
            FTaken.clear();
            FTaken.reserve(found->second.size());
            for (auto& entry : found->second)
                FTaken.push_back(std::move(entry).Item());
            // The walk passes each folder once; a folder asked for again is listed again.
            FTree->erase(found);
            return &FTaken;
        }
    if (key && FPool)
        if (auto taken = FPool->Take(*key)) {
            FTaken = std::move(*taken);
            return &FTaken;
        }
    const std::string folder = FolderArgument(path);
    try {
        if (const auto* items = FConnection.ListFolder(folder))
            return items;
        return FromInside(enter);
    } catch (const net::EServerRefused& e) {
        // A folder refused both ways is the folder's problem, not the server's: the walk reports it as it
        // always has.
        const auto* items = FromInside(enter);
        if (items) {
            FByPath = false;
            if (FPool)
                FPool->Cancel();
            FWarn(fmt::format("The server refuses listings by path [{}]: each folder is listed from inside it for "
                              "the rest of this run.",
                              e.Reason()));
        }
        return items;
    }
}

bool ChangeRemoteDirectory(IFTPConnectionObject& connection, const std::string& from, const std::string& to,
                           bool create, std::string& current) {
    if (!create) {
        try {
            connection.ChangeDir(to);
            current = to;
            return true;
        } catch (const std::exception& e) {
            if (!net::IsNameUnavailable(e))
                throw;
            current = connection.GetRemoteDir();
            return false;
        }
    }
    auto fromSegments = SplitKeepingEmpty(from);
    auto toSegments = SplitKeepingEmpty(to);
    std::size_t common = 0;
    while (common < fromSegments.size() && common < toSegments.size() && fromSegments[common] == toSegments[common])
        ++common;
    current.clear();
    for (std::size_t i = 0; i < common; ++i)
        if (!toSegments[i].empty())
            current += "/" + toSegments[i];
    // Up to the common folder in one step where the server names folders from "/": a change to its full path
    // needs no check that the server moved, where a step up at a time costs two commands a level. An empty
    // segment is the root itself ("/" splits into one): nothing to leave.
    const auto leaving = std::count_if(fromSegments.begin() + static_cast<std::ptrdiff_t>(common), fromSegments.end(),
                                       [](const std::string& segment) { return !segment.empty(); });
    if (leaving > 0 && from.starts_with('/'))
        connection.ChangeDir(current.empty() ? "/" : current);
    else
        for (auto i = leaving; i > 0; --i)
            connection.SafeChangeUpDir();
    for (std::size_t i = common; i < toSegments.size(); ++i) {
        if (toSegments[i].empty())
            continue;
        try {
            connection.CreateDir(toSegments[i]);
        } catch (const std::exception& e) {
            // Usually there already; the change below tells.
            if (!net::IsNameUnavailable(e) && dynamic_cast<const net::EServerRefused*>(&e) == nullptr)
                throw;
        }
        try {
            connection.ChangeDir(toSegments[i]);
        } catch (const std::exception& e) {
            if (net::IsNameUnavailable(e))
                return false;
            throw;
        }
        current += "/" + toSegments[i];
    }
    return true;
}

TFTPTreeVisitorDetermineDifferencesToTarget::TFTPTreeVisitorDetermineDifferencesToTarget(
    TFTPMirrorOptions options, std::int64_t serverTimeSkew, std::string targetRootDirectory)
    : FMirrorOptions(options), FServerTimeSkew(serverTimeSkew), FTargetRootDirectory(std::move(targetRootDirectory)) {
    while (!FTargetRootDirectory.empty() && FTargetRootDirectory.back() == '/')
        FTargetRootDirectory.pop_back();
}

std::string TFTPTreeVisitorDetermineDifferencesToTarget::TargetPath(const TFTPTreeNode& node) const {
    return FTargetRootDirectory + node.GenerateRelativePath(GetFolderSeparator());
}

void TFTPTreeVisitorDetermineDifferencesToTarget::MarkChanged(TFTPTreeNode& node) {
    if (node.HasChildren())
        node.UpdateDifferenceAndChildrens(tfaChanged);
    else
        node.UpdateDifference(tfaChanged);
}

void TFTPTreeVisitorDetermineDifferencesToTarget::SortByCollation(TStringList& names) const {
    std::stable_sort(names.begin(), names.end(),
                     [](const std::string& a, const std::string& b) { return CompareFTPNames(a, b) < 0; });
}

bool TFTPTreeVisitorDetermineDifferencesToTarget::CRCIsDifferent(std::int64_t source, std::int64_t target) const {
    if (source == -1 || target == -1)
        return false;
    return source != target;
}

bool TFTPTreeVisitorDetermineDifferencesToTarget::SizeIsDifferent(std::int64_t source, std::int64_t target) const {
    return source != target;
}

bool TFTPTreeVisitorDetermineDifferencesToTarget::DateIsDifferent(TDateTime source, TDateTime target) const {
    const double skew = static_cast<double>(FServerTimeSkew) / SecondsPerDay;
    if (ServerIsTarget())
        target -= skew;
    else
        source -= skew;
    // Less than a millisecond apart counts as the same time; an older source never wins.
    return source - target >= 1.0 / (SecondsPerDay * 1000.0);
}

void TFTPTreeVisitorDetermineDifferencesToTarget::CreateOrphanNodes(const std::string& path, const TStringList& names,
                                                                   TFTPTreeNode& node) {
    for (const auto& name : names)
        node.AddChild(CreateOrphanNode(path, name, node));
}

bool TFTPTreeVisitorDetermineDifferencesToTarget::Visit(TFTPTreeNode& node, bool& callChildren) {
    if (node.FDifference != tfaUnknown)
        return true;
    std::string path = TargetPath(node);
    const std::string& name = node.FName;
    if (node.FParent && LeftAlone(path, node)) {
        node.UpdateDifferenceAndChildrens(tfaUnchanged);
        callChildren = false;
        return true;
    }
    if (node.FIsFile) {
        if (!TargetFileExists(path, name, node)) {
            node.UpdateDifference(tfaChanged);
        } else {
            bool changed = false;
            if (FMirrorOptions.Contains(CheckOnCRC))
                changed = changed || CRCIsDifferent(node.FCRC, GetTargetFileCRC(path, name, node));
            if (FMirrorOptions.Contains(CheckOnSize))
                changed = changed || SizeIsDifferent(node.FSize, GetTargetSize(path, name, node));
            if (FMirrorOptions.Contains(CheckOnDate))
                changed = changed || DateIsDifferent(node.FDate, GetTargetDate(path, name, node));
            if (changed)
                node.UpdateDifference(tfaChanged);
        }
    } else if (node.FParent && !TargetFolderExists(path, name, node)) {
        node.UpdateDifferenceAndChildrens(tfaChanged);
        callChildren = false;
    } else {
        node.UpdateDifference(tfaUnchanged);
        if (ChangeToFolder(path, name, node)) {
            MergeFolder(node, path);
        } else {
            // A folder that is listed but cannot be entered: its contents are sent again.
            Warn("Cannot enter the target folder " + path + "; its contents are treated as changed.");
            for (auto& child : node.FChildren)
                MarkChanged(*child);
        }
    }
    if (node.FDifference == tfaUnknown)
        node.UpdateDifference(tfaUnchanged);
    return true;
}

void TFTPTreeVisitorDetermineDifferencesToTarget::MergeFolder(TFTPTreeNode& node, const std::string& path) {
    TStringList target;
    if (!GetTargetFolderContents(target, path, node)) {
        for (auto& child : node.FChildren)
            MarkChanged(*child);
        return;
    }
    const bool removeOrphans = FMirrorOptions.Contains(RemoveOrphans);
    const std::size_t childCount = node.FChildren.size();
    std::size_t i = 0, j = 0;
    bool orphanAdded = false;
    bool stopped = false;
    while (i < target.size() && j < childCount) {
        int order = CompareFTPNames(target[i], node.FChildren[j]->FName);
        if (order == 0) {
            ++i;
            ++j;
        } else if (order > 0) {
            MarkChanged(*node.FChildren[j]);
            ++j;
        } else {
            if (removeOrphans) {
                node.AddChild(CreateOrphanNode(path, target[i], node));
                orphanAdded = true;
            }
            ++i;
        }
        if (!CheckContinuation()) {
            stopped = true;
            break;
        }
    }
    if (!stopped) {
        if (removeOrphans && i < target.size()) {
            TStringList rest(target.begin() + static_cast<std::ptrdiff_t>(i), target.end());
            std::size_t before = node.FChildren.size();
            CreateOrphanNodes(path, rest, node);
            orphanAdded = orphanAdded || node.FChildren.size() > before;
        }
        for (; j < childCount; ++j)
            MarkChanged(*node.FChildren[j]);
    }
    if (orphanAdded)
        node.SortChildren();
}

// --- Local target ---

std::unique_ptr<TFTPTreeNode> TFTPTreeVisitorDetermineDifferencesToLocal::CreateOrphanNode(const std::string& path,
                                                                                           const std::string& name,
                                                                                           TFTPTreeNode&) {
    fs::path full = fs::path(path) / name;
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(full, ec)))
        throw std::runtime_error(fmt::format("Could not create record for orphan [{}]", full.string()));
    bool folder = IsLocalFolder(full);
    auto node = std::make_unique<TFTPTreeNode>(name, !folder);
    node->UpdateDifference(tfaOrphaned);
    if (!folder) {
        auto size = fs::file_size(full, ec);
        node->FSize = ec ? -1 : static_cast<std::int64_t>(size);
        node->FDate = LocalFileDate(full.string());
        return node;
    }
    for (const auto& entry : fs::directory_iterator(full))
        node->AddChild(CreateOrphanNode(full.string(), entry.path().filename().string(), *node));
    node->SortChildren();
    return node;
}

bool TFTPTreeVisitorDetermineDifferencesToLocal::LeftAlone(const std::string& path, const TFTPTreeNode& node) {
    std::string entry = path.size() > 1 && path.back() == '/' ? path.substr(0, path.size() - 1) : path;
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(entry, ec)))
        return false;
    Warn(fmt::format("Left the local link [{}] alone: the server has a {} of that name", entry,
                     node.FIsFile ? "file" : "folder"));
    return true;
}

std::int64_t TFTPTreeVisitorDetermineDifferencesToLocal::GetTargetFileCRC(const std::string& path,
                                                                          const std::string&, TFTPTreeNode&) {
    try {
        return std::stoll(TFileInfo::GetFileCRC(path));
    } catch (const std::exception&) {
        return -1;
    }
}

std::int64_t TFTPTreeVisitorDetermineDifferencesToLocal::GetTargetSize(const std::string& path, const std::string&,
                                                                       TFTPTreeNode&) {
    std::error_code ec;
    auto size = fs::file_size(path, ec);
    return ec ? -1 : static_cast<std::int64_t>(size);
}

TDateTime TFTPTreeVisitorDetermineDifferencesToLocal::GetTargetDate(const std::string& path, const std::string&,
                                                                    TFTPTreeNode&) {
    return LocalFileDate(path);
}

bool TFTPTreeVisitorDetermineDifferencesToLocal::GetTargetFolderContents(TStringList& list, const std::string& path,
                                                                         TFTPTreeNode&) {
    std::error_code ec;
    fs::directory_iterator it(path, ec);
    if (ec)
        return false;
    const bool recursive = FMirrorOptions.Contains(Recursive);
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        // Without recursion subfolders take no part in the comparison.
        const bool folder = IsLocalFolder(it->path());
        if (!recursive && folder)
            continue;
        std::string name = it->path().filename().string();
        if (!folder && IsTemporaryName(name)) {
            FoundTemporary(path, name);
            continue;
        }
        list.push_back(std::move(name));
    }
    SortByCollation(list);
    return true;
}

bool TFTPTreeVisitorDetermineDifferencesToLocal::TargetFolderExists(const std::string& path, const std::string&,
                                                                    TFTPTreeNode&) {
    return IsLocalFolder(path.size() > 1 && path.back() == '/' ? path.substr(0, path.size() - 1) : path);
}

bool TFTPTreeVisitorDetermineDifferencesToLocal::TargetFileExists(const std::string& path, const std::string&,
                                                                  TFTPTreeNode&) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec)) && !IsLocalFolder(path);
}

// --- Remote target ---

TFTPTreeVisitorDetermineDifferencesToRemote::TFTPTreeVisitorDetermineDifferencesToRemote(
    TFTPMirrorOptions options, std::int64_t serverTimeSkew, std::string targetRootDirectory,
    IFTPConnectionObject& connection)
    : TFTPTreeVisitorDetermineDifferencesToTarget(options, serverTimeSkew, targetRootDirectory),
      FCurrentRemoteDirectory(WithTrailingSlash(connection.GetRemoteDir())), FCurrentVisitorDirectory(WithTrailingSlash(targetRootDirectory)),
      FFTPConnection(connection), FLister(connection, [this](const std::string& text) { Warn(text); }) {}

const TFTPListItems* TFTPTreeVisitorDetermineDifferencesToRemote::ListFolder(const std::string& directory,
                                                                             const TFTPWalkKey* key) {
    return FLister.List(directory, [this, &directory] { return MoveServerTo(directory); }, key);
}

void TFTPTreeVisitorDetermineDifferencesToRemote::AnnounceSubfolders(TFTPTreeNode& folder,
                                                                     const std::string& directory) {
    if (!FLister.ListsAhead())
        return;
    auto* cache = FolderCache(&folder);
    auto own = FKeys.find(&folder);
    const TFTPWalkKey base = own == FKeys.end() ? TFTPWalkKey() : own->second;
    for (std::size_t i = 0; i < folder.FChildren.size(); ++i) {
        const TFTPTreeNode& child = *folder.FChildren[i];
        if (child.FIsFile)
            continue;
        // Only what the server has as a folder is entered: the rest is sent whole.
        auto entry = cache->FTPRemoteDirLookup.find(child.FName);
        if (entry == cache->FTPRemoteDirLookup.end() || entry->second.ItemType != net::TFTPItemType::ditDirectory)
            continue;
        TFTPWalkKey key = base;
        key.push_back(static_cast<std::uint32_t>(i));
        FLister.Announce(key, directory + child.FName + "/");
        FKeys[&child] = std::move(key);
    }
}

bool TFTPTreeVisitorDetermineDifferencesToRemote::MoveServerTo(const std::string& directory) {
    if (FCurrentRemoteDirectory == directory)
        return true;
    std::string current;
    bool moved = ChangeRemoteDirectory(FFTPConnection, FCurrentRemoteDirectory, directory, false, current);
    FCurrentRemoteDirectory = WithTrailingSlash(current);
    return moved;
}

void TFTPTreeVisitorDetermineDifferencesToRemote::LoadListing(TFTPTreeNode& folder, const TFTPListItems& items) {
    auto cache = std::make_unique<TFTPRemoteUserData>();
    for (const auto& item : items)
        cache->FTPRemoteDirLookup.emplace(item.FileName, item);
    folder.FUserData = std::move(cache);
}

TFTPRemoteUserData* TFTPTreeVisitorDetermineDifferencesToRemote::FolderCache(TFTPTreeNode* folder) const {
    return folder ? dynamic_cast<TFTPRemoteUserData*>(folder->FUserData.get()) : nullptr;
}

const net::TFTPListItem* TFTPTreeVisitorDetermineDifferencesToRemote::CachedEntry(TFTPTreeNode& node) const {
    if (!node.FParent)
        throw std::logic_error("File's parent is not set.");
    auto* cache = FolderCache(node.FParent);
    if (!cache)
        throw std::logic_error("Folders User Data is not set.");
    auto it = cache->FTPRemoteDirLookup.find(node.FName);
    return it == cache->FTPRemoteDirLookup.end() ? nullptr : &it->second;
}

std::vector<std::string> TFTPTreeVisitorDetermineDifferencesToRemote::DeepSubfolders(TFTPTreeNode& rootNode) const {
    // Below this many folders a subtree costs fewer round trips listed folder by folder: its last section
    // is listed again anyway, as a server's limits may have cut it short.
    constexpr std::size_t FoldersWorthATree = 4;
    auto* cache = FolderCache(&rootNode);
    std::vector<std::string> deep;
    for (const auto& child : rootNode.FChildren) {
        if (child->FIsFile)
            continue;
        auto entry = cache->FTPRemoteDirLookup.find(child->FName);
        if (entry == cache->FTPRemoteDirLookup.end() || entry->second.ItemType != net::TFTPItemType::ditDirectory)
            continue;
        std::size_t folders = 0;
        child->Accept(
            [&folders](TFTPTreeNode& node) {
                folders += node.FIsFile ? 0 : 1;
                return folders < FoldersWorthATree;
            },
            trmHeadRecursion, tvdVisitChildren);
        if (folders >= FoldersWorthATree)
            deep.push_back(child->FName);
    }
    return deep;
}

bool TFTPTreeVisitorDetermineDifferencesToRemote::Init(TFTPTreeNode& rootNode) {
    if (!MoveServerTo(FCurrentVisitorDirectory))
        return false;
    LoadListing(rootNode, FFTPConnection.GetDirectoryListItems(true));
    if (FWholeTrees)
        FLister.LoadTrees(FCurrentVisitorDirectory, DeepSubfolders(rootNode));
    AnnounceSubfolders(rootNode, FCurrentVisitorDirectory);
    return true;
}

bool TFTPTreeVisitorDetermineDifferencesToRemote::VisitEnter(TFTPTreeNode& node) {
    if (!node.FIsFile && node.FParent)
        FCurrentVisitorDirectory += node.FName + "/";
    return true;
}

bool TFTPTreeVisitorDetermineDifferencesToRemote::VisitLeave(TFTPTreeNode& node) {
    if (node.FIsFile)
        return true;
    if (node.FParent) {
        std::size_t cut = FCurrentVisitorDirectory.size() - node.FName.size() - 1;
        FCurrentVisitorDirectory.erase(cut);
        // Listings by path leave the server where it is; listings from inside bring it back up.
        if (node.FDifference == tfaUnchanged && !FLister.ByPath())
            MoveServerTo(FCurrentVisitorDirectory);
    }
    node.FUserData.reset();
    return true;
}

bool TFTPTreeVisitorDetermineDifferencesToRemote::ChangeToFolder(const std::string&, const std::string&,
                                                                 TFTPTreeNode& node) {
    // The root's listing was read when the walk began.
    if (FolderCache(&node))
        return true;
    auto key = FKeys.find(&node);
    const auto* items = ListFolder(FCurrentVisitorDirectory, key == FKeys.end() ? nullptr : &key->second);
    if (!items)
        return false;
    LoadListing(node, *items);
    AnnounceSubfolders(node, FCurrentVisitorDirectory);
    if (key != FKeys.end())
        FKeys.erase(key);
    return true;
}

bool TFTPTreeVisitorDetermineDifferencesToRemote::TargetFolderExists(const std::string&, const std::string&,
                                                                     TFTPTreeNode& node) {
    if (!node.FParent)
        return true;
    const auto* entry = CachedEntry(node);
    return entry && entry->ItemType == net::TFTPItemType::ditDirectory;
}

bool TFTPTreeVisitorDetermineDifferencesToRemote::TargetFileExists(const std::string&, const std::string&,
                                                                   TFTPTreeNode& node) {
    const auto* entry = CachedEntry(node);
    return entry && entry->ItemType != net::TFTPItemType::ditDirectory;
}

std::int64_t TFTPTreeVisitorDetermineDifferencesToRemote::GetTargetSize(const std::string&, const std::string&,
                                                                        TFTPTreeNode& node) {
    const auto* entry = CachedEntry(node);
    return entry ? entry->Size : -1;
}

TDateTime TFTPTreeVisitorDetermineDifferencesToRemote::GetTargetDate(const std::string&, const std::string&,
                                                                     TFTPTreeNode& node) {
    const auto* entry = CachedEntry(node);
    return entry ? ListItemDate(*entry) : -1.0;
}

std::int64_t TFTPTreeVisitorDetermineDifferencesToRemote::GetTargetFileCRC(const std::string& path,
                                                                           const std::string&, TFTPTreeNode&) {
    return FFTPConnection.FileCRC(path);
}

bool TFTPTreeVisitorDetermineDifferencesToRemote::GetTargetFolderContents(TStringList& list, const std::string& path,
                                                                          TFTPTreeNode& node) {
    auto* cache = FolderCache(&node);
    if (!cache)
        return false;
    const bool recursive = FMirrorOptions.Contains(Recursive);
    for (const auto& [name, item] : cache->FTPRemoteDirLookup) {
        // Without recursion subfolders take no part in the comparison.
        if (!recursive && item.ItemType == net::TFTPItemType::ditDirectory)
            continue;
        if (item.ItemType == net::TFTPItemType::ditFile && IsTemporaryName(name)) {
            FoundTemporary(path, name);
            continue;
        }
        list.push_back(name);
    }
    SortByCollation(list);
    return true;
}

void TFTPTreeVisitorDetermineDifferencesToRemote::FillOrphanFolder(TFTPTreeNode& folder, const std::string& directory,
                                                                  bool sorted) {
    const auto* items = ListFolder(directory);
    if (!items)
        throw std::runtime_error("File/Folder not found [" + directory + "]");
    std::vector<std::pair<TFTPTreeNode*, std::string>> subfolders;
    for (const auto& item : *items) {
        bool isFolder = item.ItemType == net::TFTPItemType::ditDirectory;
        TFTPTreeNode* child = folder.AddChild(item.FileName, !isFolder);
        child->UpdateDifference(tfaOrphaned);
        child->FSize = item.Size;
        child->FDate = ListItemDate(item);
        if (isFolder)
            subfolders.emplace_back(child, directory + item.FileName + "/");
    }
    for (auto& [child, path] : subfolders)
        FillOrphanFolder(*child, path, sorted);
    if (sorted)
        folder.SortChildren();
}

std::unique_ptr<TFTPTreeNode> TFTPTreeVisitorDetermineDifferencesToRemote::OrphanFromListing(
    const std::string& path, const std::string& name, TFTPTreeNode& folder) const {
    const net::TFTPListItem* item = nullptr;
    if (const auto* cache = FolderCache(&folder))
        if (auto found = cache->FTPRemoteDirLookup.find(name); found != cache->FTPRemoteDirLookup.end())
            item = &found->second;
    if (!item)
        throw std::runtime_error("File/Folder not found [" + path + "]");
    auto node = std::make_unique<TFTPTreeNode>(name, item->ItemType != net::TFTPItemType::ditDirectory);
    node->UpdateDifference(tfaOrphaned);
    node->FSize = item->Size;
    node->FDate = ListItemDate(*item);
    return node;
}

std::unique_ptr<TFTPTreeNode> TFTPTreeVisitorDetermineDifferencesToRemote::CreateOrphanNode(const std::string& path,
                                                                                            const std::string& name,
                                                                                            TFTPTreeNode& folder) {
    auto node = OrphanFromListing(path, name, folder);
    if (!node->FIsFile)
        FillOrphanFolder(*node, WithTrailingSlash(path) + name + "/", true);
    return node;
}

void TFTPTreeVisitorDetermineDifferencesToRemote::CreateOrphanNodes(const std::string& path, const TStringList& names,
                                                                   TFTPTreeNode& node) {
    // Folders are filled after all are added: filling one lists on the connection.
    std::vector<std::pair<TFTPTreeNode*, std::string>> subfolders;
    for (const auto& name : names) {
        TFTPTreeNode* child = node.AddChild(OrphanFromListing(path, name, node));
        if (!child->FIsFile)
            subfolders.emplace_back(child, WithTrailingSlash(path) + name + "/");
    }
    for (auto& [child, folderPath] : subfolders)
        FillOrphanFolder(*child, folderPath, false);
}

} // namespace zr
