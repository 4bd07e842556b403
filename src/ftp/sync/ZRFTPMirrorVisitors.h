// The walks that act on a marked tree: uploading and deleting on the server, or downloading and
// deleting in the local folder. Both run children first in tail order, so a folder's own action
// comes after everything inside it.
#pragma once

#include <string>

#include "ftp/sync/ZRFTPDiffVisitors.h"
#include "ftp/sync/ZRFTPMirrorOptions.h"

namespace zr {

// "12 bytes", "3 KB", ... with whole-number division; the unit limit caps how large a unit may be used.
enum TFTPSizeUnits : int { Bytes = 0, Kilobytes = 1, Megabtyes = 2, Gigabytes = 3 };
std::string SizeText(std::int64_t size, TFTPSizeUnits limit);

// Where the acting walks write their lines: the running action's log, and whether the per-file lines
// (transfers, deletions) are wanted there.
struct TFTPWalkLog {
    quillate::TZRAction& Action;
    bool LogFileTransfers = false;
};

class TFTPTreeVisitorActionRemoteDifferences : public TFTPTreeVisitor {
public:
    TFTPTreeVisitorActionRemoteDifferences(IFTPConnectionObject& connection, const std::string& localRootPath,
                                           const std::string& remoteRootPath, TFTPMirrorOptions options,
                                           const TFTPRetryOptions& retryOptions, std::int64_t serverSetFileDateSkew,
                                           TFTPWalkLog log);

    bool VisitEnter(TFTPTreeNode& node) override;
    bool VisitLeave(TFTPTreeNode& node) override;
    bool Visit(TFTPTreeNode& node, bool& callChildren) override;

    // Uploads with the retry settings; true when the server ends up with the whole file.
    bool UploadFile(const std::string& localPath, const std::string& remoteName, std::int64_t expectedSize);
    // Why the walk ended early; empty while it has not.
    const std::string& FailureReason() const { return FFailureReason; }

private:
    bool ReconnectForUpload(const std::string& directory, const std::string& remoteName, const std::string& retryText);
    std::int64_t RetryGetFileSize(const std::string& remotePath, const std::string& retryText,
                                  std::int64_t expectedSize, bool& canResume);
    void EnsureServerIn(const std::string& directory);
    void Warn(const std::string& text) const;
    void Info(const std::string& text) const;

    TFTPMirrorOptions FMirrorOptions;
    std::int64_t FServerSetFileDateSkew;
    std::string FLocalRootPath;
    std::string FLocalPathToFile;
    std::string FCurrentVisitorDirectory;
    std::string FCurrentRemoteDirectory;
    IFTPConnectionObject& FFTPConnection;
    const TFTPRetryOptions& FRetryOptions;
    TFTPWalkLog FLog;
    std::string FFailureReason;
};

class TFTPTreeVisitorActionLocalDifferences : public TFTPTreeVisitor {
public:
    // Every local write goes through the folder, so none follows a link below it.
    TFTPTreeVisitorActionLocalDifferences(IFTPConnectionObject& connection, quillate::TLocalFolder& localRoot,
                                          const std::string& remoteRootPath, TFTPMirrorOptions options,
                                          std::int64_t serverTimeSkew, TFTPWalkLog log);

    bool VisitEnter(TFTPTreeNode& node) override;
    bool VisitLeave(TFTPTreeNode& node) override;
    bool Visit(TFTPTreeNode& node, bool& callChildren) override;

private:
    void Info(const std::string& text) const;
    void Act(const TFTPTreeNode& node);

    TFTPMirrorOptions FMirrorOptions;
    std::int64_t FServerTimeSkew;
    std::string FPathToRemoteFile;
    // Below the local root, "/"-separated, with a trailing "/" unless empty.
    std::string FPathToLocalFile;
    IFTPConnectionObject& FFTPConnection;
    quillate::TLocalFolder& FLocalRoot;
    TFTPWalkLog FLog;
};

} // namespace zr
