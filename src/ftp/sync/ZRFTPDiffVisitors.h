// The visitors that compare a source tree with its target (the local file system or the server) and
// mark every node changed, unchanged or orphaned, and the remote directory changes they rely on.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "ftp/ZRFTPConnection.h"
#include "ftp/ZRFTPTree.h"
#include "ftp/sync/ZRFTPListingPool.h"
#include "ftp/sync/ZRFTPTreeListing.h"
#include "host/Persistent.h"

namespace zr {

enum TFTPMirrorOperation : int { moLocalToRemote = 0, moRemoteToLocal = 1 };
const quillate::TEnumInfo& FTPMirrorOperationInfo();

enum TFTPMirrorOption : int {
    Recursive = 0,
    IncludeEmptyDirectory = 1,
    MirrorDateTime = 2,
    RemoveOrphans = 3,
    CheckOnCRC = 4,
    CheckOnSize = 5,
    CheckOnDate = 6
};

class TFTPMirrorOptions {
public:
    bool Contains(TFTPMirrorOption option) const { return (FBits >> option) & 1U; }
    TFTPMirrorOptions& Insert(TFTPMirrorOption option) {
        FBits = static_cast<std::uint8_t>(FBits | (1U << option));
        return *this;
    }

private:
    std::uint8_t FBits = 0;
};

// The path with one "/" at its end.
std::string WithTrailingSlash(std::string path);

// One remote folder's listing, kept on its node while the folder's subtree is visited.
class TFTPRemoteUserData : public TFTPTreeNodeUserData {
public:
    std::map<std::string, net::TFTPListItem> FTPRemoteDirLookup;
};

using TFTPWarningEvent = std::function<void(const std::string& text)>;

// Lists remote folders by their paths, so that a walk that changes nothing never moves the server. When
// the server refuses a listing by path of a folder it lets us enter and list from inside, every later
// folder of the run is listed from inside, and one warning says so.
class TFTPRemoteLister {
public:
    // Moves the server into the folder for a listing from inside; false when the server refuses.
    using TEnterEvent = std::function<bool()>;

    TFTPRemoteLister(IFTPConnectionObject& connection, TFTPWarningEvent warn);
    // The folder's entries, valid until the next listing; null when the folder cannot be entered. A folder
    // announced under key is taken from the extra connections when they could list it.
    const TFTPListItems* List(const std::string& path, const TEnterEvent& enter, const TFTPWalkKey* key = nullptr);
    bool ByPath() const { return FByPath; }
    // Extra connections that list announced folders ahead of the walk; null for none.
    void SetPool(TFTPListingPool* pool) { FPool = pool; }
    bool ListsAhead() const { return FPool && FByPath; }
    // Lists the tree below each of root's subfolders named in one command each ("LIST -aR"), on the extra
    // connections and this one at once, for the walk to take its folders from: only for a walk that needs
    // no exact dates, as such listings give minutes at best. A subtree the server does not list whole, or
    // not in a form to trust, is listed folder by folder as before.
    // What the pool listed ahead of the walk for root stands for these listings.
    void LoadTrees(const std::string& root, const std::vector<std::string>& subfolders);
    // Before the walk, on the pool's extra connections while the local tree is read: root's listing, then
    // the tree below each folder in it that wanted(root without its trailing "/", name) accepts, for
    // LoadTrees to take.
    static void ListTreesAhead(TFTPListingPool& pool, const std::string& root,
                               std::function<bool(const std::string&, const std::string&)> wanted);
    // The walk will list the folder at path under key, after every folder of a lower key.
    void Announce(const TFTPWalkKey& key, const std::string& path);

private:
    const TFTPListItems* FromInside(const TEnterEvent& enter);

    IFTPConnectionObject& FConnection;
    TFTPWarningEvent FWarn;
    bool FByPath = true;
    TFTPListingPool* FPool = nullptr;
    // A listing taken from the extra connections.
    TFTPListItems FTaken;
    std::optional<TFTPTreeListing> FTree;
};

// Moves the server's current directory from one folder to another, optionally creating what is missing.
// A folder the server says is unavailable gives false with current set to where the server is; other errors propagate.
bool ChangeRemoteDirectory(IFTPConnectionObject& connection, const std::string& from, const std::string& to,
                           bool create, std::string& current);

class TFTPTreeVisitorDetermineDifferencesToTarget : public TFTPTreeVisitor {
public:
    TFTPTreeVisitorDetermineDifferencesToTarget(TFTPMirrorOptions options, std::int64_t serverTimeSkew,
                                                std::string targetRootDirectory);

    bool VisitEnter(TFTPTreeNode&) override { return true; }
    bool VisitLeave(TFTPTreeNode&) override { return true; }
    bool Visit(TFTPTreeNode& node, bool& callChildren) override;

    // The target's entry name in the folder at path, which folder stands for, as an orphan.
    virtual std::unique_ptr<TFTPTreeNode> CreateOrphanNode(const std::string& path, const std::string& name,
                                                           TFTPTreeNode& folder) = 0;
    virtual void CreateOrphanNodes(const std::string& path, const quillate::TStringList& names, TFTPTreeNode& node);
    virtual std::int64_t GetTargetFileCRC(const std::string& path, const std::string& name, TFTPTreeNode& node) = 0;
    virtual std::int64_t GetTargetSize(const std::string& path, const std::string& name, TFTPTreeNode& node) = 0;
    virtual quillate::TDateTime GetTargetDate(const std::string& path, const std::string& name,
                                              TFTPTreeNode& node) = 0;
    // The names in the target folder, sorted in the tree's collation; false when it cannot be read.
    virtual bool GetTargetFolderContents(quillate::TStringList& list, const std::string& path,
                                         TFTPTreeNode& node) = 0;
    virtual char GetFolderSeparator() const = 0;
    virtual bool TargetFolderExists(const std::string& path, const std::string& name, TFTPTreeNode& node) = 0;
    virtual bool TargetFileExists(const std::string& path, const std::string& name, TFTPTreeNode& node) = 0;
    virtual bool ChangeToFolder(const std::string& path, const std::string& name, TFTPTreeNode& node) = 0;
    // Which side's dates come from the server's listings and carry its skew.
    virtual bool ServerIsTarget() const { return true; }
    // True when the target's entry must be left alone (reported by the target), with all below it.
    virtual bool LeftAlone(const std::string&, const TFTPTreeNode&) { return false; }

    bool CRCIsDifferent(std::int64_t source, std::int64_t target) const;
    bool SizeIsDifferent(std::int64_t source, std::int64_t target) const;
    // True when the source is newer by a millisecond or more, the server's date moved onto our clock.
    bool DateIsDifferent(quillate::TDateTime source, quillate::TDateTime target) const;

    TFTPWarningEvent OnWarning;
    // Given the target path of each temporary a killed run left in a compared folder; temporaries take
    // no part in the comparison.
    std::function<void(const std::string& path)> OnTemporary;

protected:
    std::string TargetPath(const TFTPTreeNode& node) const;
    void FoundTemporary(const std::string& folder, const std::string& name) const {
        if (OnTemporary)
            OnTemporary(WithTrailingSlash(folder) + name);
    }
    void Warn(const std::string& text) const {
        if (OnWarning)
            OnWarning(text);
    }
    static void MarkChanged(TFTPTreeNode& node);
    void SortByCollation(quillate::TStringList& names) const;

    TFTPMirrorOptions FMirrorOptions;
    std::int64_t FServerTimeSkew;
    std::string FTargetRootDirectory;

private:
    void MergeFolder(TFTPTreeNode& node, const std::string& path);
};

class TFTPTreeVisitorDetermineDifferencesToLocal : public TFTPTreeVisitorDetermineDifferencesToTarget {
public:
    using TFTPTreeVisitorDetermineDifferencesToTarget::TFTPTreeVisitorDetermineDifferencesToTarget;

    std::unique_ptr<TFTPTreeNode> CreateOrphanNode(const std::string& path, const std::string& name,
                                                   TFTPTreeNode& folder) override;
    std::int64_t GetTargetFileCRC(const std::string& path, const std::string& name, TFTPTreeNode& node) override;
    std::int64_t GetTargetSize(const std::string& path, const std::string& name, TFTPTreeNode& node) override;
    quillate::TDateTime GetTargetDate(const std::string& path, const std::string& name, TFTPTreeNode& node) override;
    bool GetTargetFolderContents(quillate::TStringList& list, const std::string& path, TFTPTreeNode& node) override;
    char GetFolderSeparator() const override { return '/'; }
    bool TargetFolderExists(const std::string& path, const std::string& name, TFTPTreeNode& node) override;
    bool TargetFileExists(const std::string& path, const std::string& name, TFTPTreeNode& node) override;
    bool ChangeToFolder(const std::string&, const std::string&, TFTPTreeNode&) override { return true; }
    bool ServerIsTarget() const override { return false; }
    // A local link where the server has a file or folder: no write goes through it.
    bool LeftAlone(const std::string& path, const TFTPTreeNode& node) override;
};

class TFTPTreeVisitorDetermineDifferencesToRemote : public TFTPTreeVisitorDetermineDifferencesToTarget {
public:
    TFTPTreeVisitorDetermineDifferencesToRemote(TFTPMirrorOptions options, std::int64_t serverTimeSkew,
                                                std::string targetRootDirectory, IFTPConnectionObject& connection);

    bool Init(TFTPTreeNode& rootNode) override;
    bool VisitEnter(TFTPTreeNode& node) override;
    bool VisitLeave(TFTPTreeNode& node) override;

    std::unique_ptr<TFTPTreeNode> CreateOrphanNode(const std::string& path, const std::string& name,
                                                   TFTPTreeNode& folder) override;
    void CreateOrphanNodes(const std::string& path, const quillate::TStringList& names, TFTPTreeNode& node) override;
    std::int64_t GetTargetFileCRC(const std::string& path, const std::string& name, TFTPTreeNode& node) override;
    std::int64_t GetTargetSize(const std::string& path, const std::string& name, TFTPTreeNode& node) override;
    quillate::TDateTime GetTargetDate(const std::string& path, const std::string& name, TFTPTreeNode& node) override;
    bool GetTargetFolderContents(quillate::TStringList& list, const std::string& path, TFTPTreeNode& node) override;
    char GetFolderSeparator() const override { return '/'; }
    bool TargetFolderExists(const std::string& path, const std::string& name, TFTPTreeNode& node) override;
    bool TargetFileExists(const std::string& path, const std::string& name, TFTPTreeNode& node) override;
    bool ChangeToFolder(const std::string& path, const std::string& name, TFTPTreeNode& node) override;
    void SetListingPool(TFTPListingPool* pool) { FLister.SetPool(pool); }
    // A recursive walk that compares no dates reads deep subtrees of the server in one listing each.
    void AllowWholeTreeListing() { FWholeTrees = ListsWholeTrees(FMirrorOptions); }
    static bool ListsWholeTrees(TFTPMirrorOptions options) {
        return options.Contains(Recursive) && !options.Contains(CheckOnDate);
    }

private:
    // The root's subfolders, here and on the server, deep enough to be listed whole.
    std::vector<std::string> DeepSubfolders(TFTPTreeNode& rootNode) const;
    // Announces the subfolders the folder's listing shows on the server, each under its place in the walk.
    void AnnounceSubfolders(TFTPTreeNode& folder, const std::string& directory);
    void LoadListing(TFTPTreeNode& folder, const TFTPListItems& items);
    TFTPRemoteUserData* FolderCache(TFTPTreeNode* folder) const;
    const net::TFTPListItem* CachedEntry(TFTPTreeNode& node) const;
    // Makes the server's current directory the given one; false when the server refuses.
    bool MoveServerTo(const std::string& directory);
    void FillOrphanFolder(TFTPTreeNode& folder, const std::string& directory, bool sorted);
    // The orphan as the listing of its folder, read for the comparison, shows it: the server is not asked
    // again. Its contents are not filled in.
    std::unique_ptr<TFTPTreeNode> OrphanFromListing(const std::string& path, const std::string& name,
                                                    TFTPTreeNode& folder) const;

    // A listing of the folder at directory, by path or from inside it.
    const TFTPListItems* ListFolder(const std::string& directory, const TFTPWalkKey* key = nullptr);

    std::string FCurrentRemoteDirectory;
    std::string FCurrentVisitorDirectory;
    IFTPConnectionObject& FFTPConnection;
    TFTPRemoteLister FLister;
    // The walk keys of announced folders not yet listed.
    std::map<const TFTPTreeNode*, TFTPWalkKey> FKeys;
    bool FWholeTrees = false;
};

} // namespace zr
