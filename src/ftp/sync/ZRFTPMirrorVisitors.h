// The walks that act on a marked tree: uploading and deleting on the server, or downloading and
// deleting in the local folder. Both run children first in tail order, so a folder's own action
// comes after everything inside it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ftp/sync/ZRFTPDiffVisitors.h"
#include "ftp/sync/ZRFTPMirrorOptions.h"
#include "ftp/sync/ZRFTPTransferPool.h"
#include "host/Action.h"
#include "net/NetErrors.h"

namespace zr {

// "12 bytes", "3 KB", ... with whole-number division; the unit limit caps how large a unit may be used.
enum TFTPSizeUnits : int { Bytes = 0, Kilobytes = 1, Megabytes = 2, Gigabytes = 3 };
std::string SizeText(std::int64_t size, TFTPSizeUnits limit);

// The lines of work that runs beside the walk on extra connections, given out in the order the walk handed
// the work out, so that a run with extra connections logs what a run on one connection logs. The earliest
// work not yet done writes at once; the lines of later work wait for their turn.
class TFTPOrderedLog {
public:
    explicit TFTPOrderedLog(quillate::TZRAction& action) : FAction(action) {}
    // On the walk's thread: the place of the next piece of work.
    std::size_t Reserve();
    // From any thread: a line of the work at ticket.
    void Add(std::size_t ticket, const std::string& text, quillate::TStatusTag tag);
    // From any thread: the work at ticket has ended.
    void Done(std::size_t ticket);
    // Gives out all that waits, places never done (work dropped by a stop or a failure) left out.
    void Flush();

private:
    struct TPlace {
        std::vector<std::pair<std::string, quillate::TStatusTag>> Lines;
        bool Done = false;
    };
    // Moves the turn on past every place done, giving out what they hold.
    void Advance();

    quillate::TZRAction& FAction;
    std::mutex FLock;
    std::size_t FNext = 0;
    // The place whose turn it is: its lines go out as they come.
    std::size_t FTurn = 0;
    std::map<std::size_t, TPlace> FWaiting;
};

// Where the acting walks write their lines: the running action's log, and whether the per-file lines
// (transfers, deletions) are wanted there.
struct TFTPWalkLog {
    quillate::TZRAction& Action;
    bool LogFileTransfers = false;
    // With extra connections: the walk's own lines take their place among those of the work it handed out.
    TFTPOrderedLog* Order = nullptr;
    // Set for work on an extra connection: the place its lines take.
    std::optional<std::size_t> Ticket;

    void Send(const std::string& text, quillate::TStatusTag tag) const;
};

// Gives a transfer on an extra connection again after a refusal that a busy server takes back
// (net::IsTransientRefusal), waiting longer each time and logging in again where the server closed the
// connection. A refusal that persists (five tries, or ten seconds) is the transfer's failure.
class TFTPTransientRetry {
public:
    // refusals counts the tries given again; keepGoing false (a stop) ends the waits.
    TFTPTransientRetry(IFTPConnectionObject& connection, std::uint32_t& refusals, std::function<bool()> keepGoing);
    // After a failed try: true when the transfer is to be given again, the server then standing in directory
    // (current kept up to date).
    bool Again(const std::exception& failure, const std::string& directory, std::string& current);

private:
    IFTPConnectionObject& FConnection;
    std::uint32_t& FRefusals;
    std::function<bool()> FKeepGoing;
    int FTries = 0;
    // From the first refusal, not the transfer's start: a refusal a server gives only after a time-out
    // of its own (pyftpdlib's 421 to EPRT after 30 s) still gets its tries.
    std::optional<std::chrono::steady_clock::time_point> FFirstRefusal;
};

// Whether the uploads of one run go to a temporary name and are renamed into place, so that a killed run
// leaves no partial file under a final name. Shared by every connection of the run: the first refusal
// turns it off for all of them.
class TFTPTemporaryUploads {
public:
    bool On() const { return !FDirect.load(); }
    // Turns temporary names off for the rest of the run; true for the one caller that did it, who says so.
    bool TurnOff() { return !FDirect.exchange(true); }

private:
    std::atomic<bool> FDirect{false};
};

// One file's upload with the retry settings, on one connection: recovery reconnects that connection and
// judges by the size its server reports.
class TFTPUploader {
public:
    // currentRemoteDirectory is where the connection's server stands (with a trailing "/"), kept up to date.
    // Without temporaries every upload is written straight under its name. transient, on an extra
    // connection, gives a transfer again after a refusal a busy server takes back, without using up the
    // retries.
    TFTPUploader(IFTPConnectionObject& connection, std::string& currentRemoteDirectory,
                 const TFTPRetryOptions& retryOptions, TFTPWalkLog log, TFTPTemporaryUploads* temporaries = nullptr,
                 TFTPTransientRetry* transient = nullptr);

    // Uploads into the directory the server stands in; true when the server ends up with the whole file.
    bool UploadFile(const std::string& localPath, const std::string& remoteName, std::int64_t expectedSize);
    // Why the upload was given up; empty while it was not.
    const std::string& FailureReason() const { return FFailureReason; }

private:
    enum TSent { tsWhole, tsFailed, tsRefused };
    // The upload and its recovery into target (the final name or a temporary); the log names remoteName.
    // tsRefused: the server answered the first STOR of a temporary with a permanent refusal.
    TSent Send(const std::string& localPath, const std::string& remoteName, const std::string& target,
               std::int64_t expectedSize, std::int64_t& transferMs);
    // Renames the whole temporary over the final name; false, with the temporary gone, when the server
    // will not.
    bool PutInPlace(const std::string& temporary, const std::string& remoteName);
    void Forget(const std::string& temporary);
    void TurnTemporariesOff(const std::string& what, const net::EServerRefused& refusal);
    bool ReconnectForUpload(const std::string& directory, const std::string& remoteName, const std::string& retryText);
    std::int64_t RetryGetFileSize(const std::string& remotePath, const std::string& shownPath,
                                  const std::string& retryText, std::int64_t expectedSize, bool& canResume);
    void Warn(const std::string& text) const;
    void Info(const std::string& text) const;

    IFTPConnectionObject& FFTPConnection;
    std::string& FCurrentRemoteDirectory;
    const TFTPRetryOptions& FRetryOptions;
    TFTPWalkLog FLog;
    TFTPTemporaryUploads* FTemporaries;
    TFTPTransientRetry* FTransient;
    // The "Uploading" line is written once per file, also when a refusal sends it again under its name.
    bool FAnnounced = false;
    std::string FFailureReason;
};

class TFTPTreeVisitorActionRemoteDifferences : public TFTPTreeVisitor {
public:
    // With a pool of extra connections the uploads go there; the walk, folder creation and deletions
    // stay on this connection.
    TFTPTreeVisitorActionRemoteDifferences(IFTPConnectionObject& connection, const std::string& localRootPath,
                                           const std::string& remoteRootPath, TFTPMirrorOptions options,
                                           const TFTPRetryOptions& retryOptions, std::int64_t serverSetFileDateSkew,
                                           TFTPWalkLog log, TFTPTransferPool* pool = nullptr,
                                           TFTPTemporaryUploads* temporaries = nullptr);

    bool VisitEnter(TFTPTreeNode& node) override;
    bool VisitLeave(TFTPTreeNode& node) override;
    bool Visit(TFTPTreeNode& node, bool& callChildren) override;

    // Why the walk ended early; empty while it has not.
    const std::string& FailureReason() const { return FFailureReason; }

private:
    // Moves the server into the walk's current folder, making the folders on the way that the comparison
    // did not find there; false when it cannot get there.
    bool EnsureServerIn(const TFTPTreeNode& folder);
    void Info(const std::string& text) const;
    bool UploadChanged(const TFTPTreeNode& node);

    TFTPMirrorOptions FMirrorOptions;
    std::int64_t FServerSetFileDateSkew;
    std::string FLocalRootPath;
    std::string FLocalPathToFile;
    std::string FCurrentVisitorDirectory;
    std::string FCurrentRemoteDirectory;
    IFTPConnectionObject& FFTPConnection;
    const TFTPRetryOptions& FRetryOptions;
    TFTPWalkLog FLog;
    TFTPTransferPool* FPool;
    TFTPTemporaryUploads* FTemporaries;
    std::string FFailureReason;
};

class TFTPTreeVisitorActionLocalDifferences : public TFTPTreeVisitor {
public:
    // Every local write goes through the folder, so none follows a link below it.
    TFTPTreeVisitorActionLocalDifferences(IFTPConnectionObject& connection, quillate::TLocalFolder& localRoot,
                                          const std::string& remoteRootPath, TFTPMirrorOptions options,
                                          std::int64_t serverTimeSkew, TFTPWalkLog log,
                                          TFTPTransferPool* pool = nullptr);

    bool VisitEnter(TFTPTreeNode& node) override;
    bool VisitLeave(TFTPTreeNode& node) override;
    bool Visit(TFTPTreeNode& node, bool& callChildren) override;

private:
    void Info(const std::string& text) const;
    void Act(const TFTPTreeNode& node);
    // The download itself, on whichever connection carries it.
    void Download(IFTPConnectionObject& connection, const std::string& remote, const std::string& relative,
                  quillate::TDateTime date, std::int64_t size, const TFTPWalkLog& log) const;

    TFTPMirrorOptions FMirrorOptions;
    std::int64_t FServerTimeSkew;
    std::string FPathToRemoteFile;
    // Below the local root, "/"-separated, with a trailing "/" unless empty.
    std::string FPathToLocalFile;
    IFTPConnectionObject& FFTPConnection;
    quillate::TLocalFolder& FLocalRoot;
    TFTPWalkLog FLog;
    TFTPTransferPool* FPool;
};

} // namespace zr
