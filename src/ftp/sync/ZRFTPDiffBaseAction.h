// TFTPDiffBaseAction: everything that describes one synchronisation of a local and a remote folder,
// and the pipeline that builds the source tree and marks each item against the target.
#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "ftp/ZRFTPBaseAction.h"
#include "ftp/sync/ZRFTPDiffVisitors.h"

namespace zr {

using TFTPTreeNodePtr = std::unique_ptr<TFTPTreeNode>;

// What a run settles before it builds its tree.
struct TFTPRunStart {
    TFTPMirrorOptions Options;
    std::string RemoteRoot;
    // Seconds the server's listings run ahead of our clock.
    std::int64_t Skew = 0;
    // Seconds a date given to the server's set-date command runs ahead of the date its listing then shows.
    std::int64_t SetDateSkew = 0;
};

class TFTPDiffBaseAction : public TFTPBaseAction {
public:
    TFTPDiffBaseAction();
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }
    std::string GetActionName() const override { return "FTP Diff"; }
    void StopSignalled() override;
    void TerminateAction() override;

protected:
    // Connections that list remote folders at once while the remote tree is walked over connection; 1 lists
    // on it alone.
    virtual int ListingConnections(const IFTPConnectionObject&) const { return 1; }
    // Whether the run goes on to transfer on extra connections, which then take over the listing ones.
    virtual bool ReusesListingConnections(const IFTPConnectionObject&) const { return false; }
    // Whether the walk up to the server, where it needs no exact dates, may read deep subtrees in one
    // listing each (whose dates have minutes at best, which a run that shows them must not print).
    virtual bool ListsWholeTrees() const { return false; }
    // The listing connections kept for the transfers; the caller's to close.
    TFTPSpareConnections TakeSpareConnections() { return std::move(FSpareConnections); }
    // True leaves an entry out of the trees: an extension not in the file specs, or the first exclusion
    // line that matches. path is the entry's folder below root; the remote builder gives folder names
    // with a trailing "/", which the "File Name" and "File Mask" lines see as such. Quiet: no "Excluded:"
    // line, for work beside the walk.
    bool ExcludeItem(const std::string& root, const std::string& path, const std::string& name, bool isFolder,
                     const quillate::TStringList& excludes, const quillate::TStringList& fileSpecs,
                     bool quiet = false);
    // False stops all work; given to every walk and tree builder.
    virtual bool CheckNOOPandOperationAborted() = 0;

    bool CreateFTPDifferencesTree(IFTPConnectionObject& connection, TFTPMirrorOptions options, std::int64_t skew,
                                  const std::string& localRoot, const std::string& remoteRoot, TFTPTreeNodePtr& tree);
    bool CreateLocalTree(const std::string& localRoot, const std::string& mask, bool recursive,
                         const quillate::TStringList& excludes, const quillate::TStringList& fileSpecs,
                         TFTPTreeNodePtr& tree);
    bool CreateRemoteTree(IFTPConnectionObject& connection, const std::string& remoteRoot, bool recursive,
                          const quillate::TStringList& excludes, const quillate::TStringList& fileSpecs,
                          TFTPTreeNodePtr& tree);
    // Starts listing the server's tree below remoteRoot on the listing connections while the local tree is
    // read, where the walk up to the server will take whole trees.
    void ListRemoteTreesAhead(TFTPMirrorOptions options, const std::string& localRoot,
                              const std::string& remoteRoot);
    bool DetermineDifferencesToRemoteTree(TFTPTreeNode& tree, TFTPMirrorOptions options, std::int64_t skew,
                                          IFTPConnectionObject& connection, const std::string& remoteRoot);
    bool DetermineDifferencesToLocalTree(TFTPTreeNode& tree, TFTPMirrorOptions options, std::int64_t skew,
                                         const std::string& localRoot);
    void FillExpandedExcludeList(quillate::TStringList& destination);
    // Expands FileSpec and ExcludeList into FFileSpecs and FExpandedExcludes; false when FileSpec cannot
    // be expanded. A "RegEx" line that does not compile throws, naming the line.
    bool PrepareFilters();
    void CRCSupportCheck(IFTPConnectionObject& connection);
    void GetServerSkew(IFTPConnectionObject& connection, std::int64_t& skew, std::int64_t& setDateSkew);
    std::int64_t GetRemoteFileCRC(IFTPConnectionObject& connection, const std::string& remotePath);
    // The options of a run from the settings, after the checksum probe.
    TFTPMirrorOptions BuildMirrorOptions(IFTPConnectionObject& connection);
    // Skew probe or its skip, with the log lines of a run.
    void MeasureSkew(IFTPConnectionObject& connection, std::int64_t& skew, std::int64_t& setDateSkew);
    // Filters, options, RemoteDir entered when one is given, and the skews; startDir is the server's
    // directory as the run found it. Empty when FileSpec or RemoteDir cannot be expanded.
    std::optional<TFTPRunStart> StartRun(IFTPConnectionObject& connection, const std::string& startDir);
    void PrintTree(TFTPTreeNode& tree, TFTPItemDiffs include, bool withStatus);
    // Expands LocalDir and checks the direction and the folder; the two texts are the run's own
    // messages ({} stands for the folder in the second). Empty when the run cannot start.
    std::optional<std::string> PrepareLocalDir(const std::string& invalidOperation, const std::string& missingFolder);
    void Warning(const std::string& text) { SendMessage(text, quillate::stWarning); }

    TFTPMirrorOperation FMirrorOperation = moLocalToRemote;
    std::string FLocalDir;
    bool FSpecifyRemoteDir = false;
    std::string FRemoteDir;
    bool FRecursive = false;
    bool FIncludeEmptyDirs = false;
    bool FMirrorDateTime = false;
    bool FDeleteOrphans = false;
    bool FLogFiles = false;
    bool FCheckFileCRC = false;
    bool FCheckFileSize = false;
    bool FCheckFileDate = false;
    bool FUseFileSpec = false;
    std::string FFileSpec;
    quillate::TStringList FExcludeList;
    bool FLogExcludedFiles = false;
    bool FSkipSkewCheck = false;
    std::int32_t FNOOPTimeoutMS = 2000;
    bool FNOOPLogged = false;
    bool FNOOPsEnabled = true;
    bool FLogSourceFiles = false;
    bool FLogDifferences = false;

    // The temporaries of a killed run found in the compared target folders (full target paths), filled by
    // CreateFTPDifferencesTree; the mirror removes them, the diff leaves them.
    std::vector<std::string> FStaleTemporaries;

    // Filled by PrepareFilters from FileSpec and ExcludeList.
    quillate::TStringList FFileSpecs;
    quillate::TStringList FExpandedExcludes;

private:
    friend struct TFTPDiffBaseActionProperties;
    bool BuildLocalFolder(TFTPTreeNode& node, const std::string& root, const std::string& folderPath, bool recursive,
                          const quillate::TStringList& excludes, const quillate::TStringList& fileSpecs);
    // identities: the servers' identities (MLSD unique) of the folders from the root down to this one, empty
    // where none was given; a subfolder that repeats one is a loop.
    bool BuildRemoteFolder(IFTPConnectionObject& connection, TFTPRemoteLister& lister, TFTPTreeNode& node,
                           const TFTPWalkKey& key, const std::string& root, const std::string& folderPath,
                           bool recursive, const quillate::TStringList& excludes,
                           const quillate::TStringList& fileSpecs, std::vector<std::string>& identities);
    // The extra connections of the run's remote walk, reachable by a stop from another thread while they
    // live; none when the walk lists on the main connection alone. Opened when the run starts, so that they
    // log in while the skew is measured and the local tree is read; closed when the tree is evaluated, before
    // any transfer, or kept logged in for the transfers.
    void OpenListingPool(IFTPConnectionObject& connection);
    void CloseListingPool(bool keepConnections = false);

    bool FCRCSupported = true;
    std::mutex FListingPoolLock;
    std::unique_ptr<TFTPListingPool> FListingPool;
    TFTPSpareConnections FSpareConnections;
};

// Comma text: commas and blanks separate entries, double quotes group them.
quillate::TStringList SplitCommaText(const std::string& text);

} // namespace zr
