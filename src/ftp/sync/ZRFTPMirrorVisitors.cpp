#include "ftp/sync/ZRFTPMirrorVisitors.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

#include <fmt/format.h>

#include "host/Action.h"
#include "host/LocalFolder.h"
#include "net/NetErrors.h"
#include "net/TextUtil.h"

namespace zr {

using namespace quillate;
namespace fs = std::filesystem;

namespace {

void CheckDecided(const TFTPTreeNode& node) {
    if (node.FDifference == tfaUnknown)
        throw std::runtime_error("Can not perform the action [Unknown]. All files require action before mirror performed.");
}

// The log of one piece of work on an extra connection, whose place ends when the work ends, however it ends.
struct TFTPHeldLines {
    TFTPHeldLines(const TFTPWalkLog& log, std::size_t ticket) : Log(log) { Log.Ticket = ticket; }
    ~TFTPHeldLines() { Log.Order->Done(*Log.Ticket); }
    TFTPHeldLines(const TFTPHeldLines&) = delete;
    TFTPHeldLines& operator=(const TFTPHeldLines&) = delete;

    TFTPWalkLog Log;
};

std::int64_t MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

std::string SizeText(std::int64_t size, TFTPSizeUnits limit) {
    if (size > 1073741824 && limit == Gigabytes)
        return fmt::format("{} GB", size / 1073741824);
    if (size > 1048576 && limit >= Megabytes)
        return fmt::format("{} MB", size / 1048576);
    if (size > 1024 && limit >= Kilobytes)
        return fmt::format("{} KB", size / 1024);
    return fmt::format("{} bytes", size);
}

// --- Lines in the walk's order ---

std::size_t TFTPOrderedLog::Reserve() {
    std::lock_guard lock(FLock);
    return FNext++;
}

void TFTPOrderedLog::Add(std::size_t ticket, const std::string& text, TStatusTag tag) {
    std::lock_guard lock(FLock);
    if (ticket <= FTurn)
        FAction.SendMessage(text, tag);
    else
        FWaiting[ticket].Lines.emplace_back(text, tag);
}

void TFTPOrderedLog::Done(std::size_t ticket) {
    std::lock_guard lock(FLock);
    if (ticket < FTurn)
        return;
    FWaiting[ticket].Done = true;
    Advance();
}

void TFTPOrderedLog::Advance() {
    for (auto place = FWaiting.find(FTurn); place != FWaiting.end(); place = FWaiting.find(FTurn)) {
        for (const auto& [text, tag] : place->second.Lines)
            FAction.SendMessage(text, tag);
        place->second.Lines.clear();
        if (!place->second.Done)
            return;
        FWaiting.erase(place);
        ++FTurn;
    }
}

void TFTPOrderedLog::Flush() {
    std::lock_guard lock(FLock);
    for (const auto& [ticket, place] : FWaiting)
        for (const auto& [text, tag] : place.Lines)
            FAction.SendMessage(text, tag);
    FWaiting.clear();
    FTurn = FNext;
}

void TFTPWalkLog::Send(const std::string& text, TStatusTag tag) const {
    if (!Order) {
        Action.SendMessage(text, tag);
    } else if (Ticket) {
        Order->Add(*Ticket, text, tag);
    } else {
        const std::size_t ticket = Order->Reserve();
        Order->Add(ticket, text, tag);
        Order->Done(ticket);
    }
}

// --- Refusals a busy server takes back ---

namespace {

constexpr int TransientTries = 5;
constexpr std::chrono::seconds TransientSpan{10};
constexpr std::chrono::milliseconds TransientFirstWait{250};

} // namespace

TFTPTransientRetry::TFTPTransientRetry(IFTPConnectionObject& connection, std::uint32_t& refusals,
                                       std::function<bool()> keepGoing)
    : FConnection(connection), FRefusals(refusals), FKeepGoing(std::move(keepGoing)) {}

bool TFTPTransientRetry::Again(const std::exception& failure, const std::string& directory, std::string& current) {
    if (!FFirstRefusal)
        FFirstRefusal = std::chrono::steady_clock::now();
    if (!net::IsTransientRefusal(failure) || ++FTries >= TransientTries ||
        std::chrono::steady_clock::now() - *FFirstRefusal > TransientSpan)
        return false;
    ++FRefusals;
    const auto until = std::chrono::steady_clock::now() + TransientFirstWait * (1 << (FTries - 1));
    while (std::chrono::steady_clock::now() < until) {
        if (!FKeepGoing())
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // A refused data connection leaves the session as it was. After a transfer that broke, the server may still
    // owe the reply to it, or have closed the connection (421): a new session, logged in quietly as the pool
    // did the first time, starts in step.
    if (net::IsTransientDataRefusal(failure) && FConnection.IsConnected())
        return true;
    try {
        current.clear();
        try {
            FConnection.Disconnect();
        } catch (const std::exception&) {
            // A session the server has closed needs no goodbye.
        }
        FConnection.Connect(0);
        if (!directory.empty()) {
            FConnection.ChangeDir(directory);
            current = directory;
        }
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// --- One upload ---

TFTPUploader::TFTPUploader(IFTPConnectionObject& connection, std::string& currentRemoteDirectory,
                           const TFTPRetryOptions& retryOptions, TFTPWalkLog log, TFTPTemporaryUploads* temporaries,
                           TFTPTransientRetry* transient)
    : FFTPConnection(connection), FCurrentRemoteDirectory(currentRemoteDirectory), FRetryOptions(retryOptions),
      FLog(log), FTemporaries(temporaries), FTransient(transient) {}

void TFTPUploader::Warn(const std::string& text) const { FLog.Send(text, stWarning); }
void TFTPUploader::Info(const std::string& text) const { FLog.Send(text, stInformation); }

// --- Upload walk ---

TFTPTreeVisitorActionRemoteDifferences::TFTPTreeVisitorActionRemoteDifferences(
    IFTPConnectionObject& connection, const std::string& localRootPath, const std::string& remoteRootPath,
    TFTPMirrorOptions options, const TFTPRetryOptions& retryOptions, std::int64_t serverSetFileDateSkew,
    TFTPWalkLog log, TFTPTransferPool* pool, TFTPTemporaryUploads* temporaries)
    : FMirrorOptions(options), FServerSetFileDateSkew(serverSetFileDateSkew), FLocalRootPath(localRootPath),
      FCurrentVisitorDirectory(WithTrailingSlash(remoteRootPath)),
      FCurrentRemoteDirectory(WithTrailingSlash(connection.GetRemoteDir())), FFTPConnection(connection),
      FRetryOptions(retryOptions), FLog(log), FPool(pool), FTemporaries(temporaries) {}

void TFTPTreeVisitorActionRemoteDifferences::Info(const std::string& text) const {
    FLog.Send(text, stInformation);
}

bool TFTPTreeVisitorActionRemoteDifferences::VisitEnter(TFTPTreeNode& node) {
    if (node.FIsFile)
        return true;
    if (node.FParent) {
        FCurrentVisitorDirectory += node.FName + "/";
        FLocalPathToFile += node.FName + "/";
    } else {
        FLocalPathToFile = WithTrailingSlash(FLocalRootPath);
    }
    return true;
}

bool TFTPTreeVisitorActionRemoteDifferences::VisitLeave(TFTPTreeNode& node) {
    if (node.FIsFile)
        return true;
    if (node.FParent) {
        FCurrentVisitorDirectory.erase(FCurrentVisitorDirectory.size() - node.FName.size() - 1);
        FLocalPathToFile.erase(FLocalPathToFile.size() - node.FName.size() - 1);
    }
    return true;
}

bool TFTPTreeVisitorActionRemoteDifferences::EnsureServerIn(const TFTPTreeNode& folder) {
    const std::string& directory = FCurrentVisitorDirectory;
    if (FCurrentRemoteDirectory == directory)
        return true;
    // A folder the server already has (and so every folder above it) is one absolute change away: no MKD on
    // the way, and no step at a time. A change the server refuses leaves it where it was.
    if (folder.FDifference != tfaChanged && directory.starts_with('/')) {
        try {
            FFTPConnection.ChangeDir(directory.size() > 1 ? directory.substr(0, directory.size() - 1) : directory);
            FCurrentRemoteDirectory = directory;
            return true;
        } catch (const std::exception& e) {
            if (!net::IsNameUnavailable(e))
                throw;
        }
    }
    std::string current;
    const bool reached = ChangeRemoteDirectory(FFTPConnection, FCurrentRemoteDirectory, directory, true, current);
    FCurrentRemoteDirectory = WithTrailingSlash(current);
    if (!reached)
        FFailureReason = "Cannot enter the remote folder [" + directory + "]";
    return reached;
}

bool TFTPTreeVisitorActionRemoteDifferences::UploadChanged(const TFTPTreeNode& node) {
    // The folder is made here, on the walk's connection, before any connection uploads into it. A file is
    // never sent into another folder than its own.
    if (!EnsureServerIn(*node.FParent))
        return false;
    const std::string local = FLocalPathToFile + node.FName;
    const std::string directory = FCurrentRemoteDirectory;
    const std::optional<TDateTime> date =
        FMirrorOptions.Contains(MirrorDateTime)
            ? std::optional<TDateTime>(node.FDate + static_cast<double>(FServerSetFileDateSkew) / SecondsPerDay)
            : std::nullopt;
    auto upload = [local, directory, name = node.FName, size = node.FSize, date, this](
                      IFTPConnectionObject& connection, std::string& current, const TFTPWalkLog& log,
                      TFTPTransientRetry* transient) -> std::string {
        if (current != directory) {
            connection.ChangeDir(directory);
            current = directory;
        }
        TFTPUploader uploader(connection, current, FRetryOptions, log, FTemporaries, transient);
        if (!uploader.UploadFile(local, name, size))
            return uploader.FailureReason();
        // The date goes to the final name: the temporary is gone by now.
        if (date) {
            std::string message;
            connection.SetFileDate(current + name, *date, message);
        }
        return {};
    };
    if (FPool && FPool->Ready()) {
        FPool->Submit([upload, log = FLog, ticket = FLog.Order->Reserve(), pool = FPool](TFTPTransferSlot& slot) {
            TFTPHeldLines held(log, ticket);
            TFTPTransientRetry transient(*slot.Connection, slot.Refusals, [pool] { return !pool->Closing(); });
            return upload(*slot.Connection, slot.RemoteDirectory, held.Log, &transient);
        });
        FFailureReason = FPool->Failure();
    } else {
        FFailureReason = upload(FFTPConnection, FCurrentRemoteDirectory, FLog, nullptr);
    }
    return FFailureReason.empty();
}

bool TFTPTreeVisitorActionRemoteDifferences::Visit(TFTPTreeNode& node, bool&) {
    CheckDecided(node);
    switch (node.FDifference) {
    case tfaOrphaned: {
        std::string path = node.FIsFile ? FCurrentVisitorDirectory + node.FName : FCurrentVisitorDirectory;
        if (node.FIsFile)
            FFTPConnection.DeleteFile(path);
        else
            FFTPConnection.DeleteDir(path, false);
        if (FLog.LogFileTransfers)
            Info(fmt::format("Deleted remote orphan [{}]", path));
        return true;
    }
    case tfaChanged:
        if (node.FIsFile)
            return UploadChanged(node);
        return !FMirrorOptions.Contains(IncludeEmptyDirectory) || EnsureServerIn(node);
    default:
        return true;
    }
}

bool TFTPUploader::UploadFile(const std::string& localPath, const std::string& remoteName, std::int64_t expectedSize) {
    FAnnounced = false;
    for (;;) {
        const bool viaTemporary = FTemporaries && FTemporaries->On();
        const std::string target = viaTemporary ? TemporaryName(remoteName) : remoteName;
        std::int64_t transferMs = 0;
        const TSent sent = Send(localPath, remoteName, target, expectedSize, transferMs);
        // Refused: temporaries are off now, and the file goes again under its name.
        if (sent == tsRefused)
            continue;
        if (sent == tsFailed) {
            if (viaTemporary)
                Forget(target);
            return false;
        }
        if (viaTemporary && !PutInPlace(target, remoteName))
            continue;
        if (FLog.LogFileTransfers)
            Info(fmt::format("Uploaded [{}] to [{}] in {} ms", localPath, "/" + remoteName, transferMs));
        return true;
    }
}

TFTPUploader::TSent TFTPUploader::Send(const std::string& localPath, const std::string& remoteName,
                                       const std::string& target, std::int64_t expectedSize, std::int64_t& transferMs) {
    int allowed = FRetryOptions.GetRetryTransferOnAllErrors() ? FRetryOptions.GetTransferMaxRetries() : 0;
    allowed = std::max(allowed, 1);
    int counter = 0;
    bool resume = false;
    std::int64_t position = 0;
    const std::string directory = FCurrentRemoteDirectory;
    std::string lastError;
    for (;;) {
        if (FLog.LogFileTransfers && (resume || !FAnnounced))
            Info(resume ? fmt::format("Resuming [{}] to [{}] at [{}].", localPath, remoteName, SizeText(position, Bytes))
                        : fmt::format("Uploading [{}] to [{}].", localPath, remoteName));
        FAnnounced = true;
        auto started = std::chrono::steady_clock::now();
        try {
            if (resume)
                FFTPConnection.Resume(localPath, target, position, 0);
            else
                FFTPConnection.UploadFile(localPath, target, 0, expectedSize);
            transferMs = MillisecondsSince(started);
            return tsWhole;
        } catch (const std::exception& e) {
            if (FTransient && FTransient->Again(e, directory, FCurrentRemoteDirectory))
                continue;
            transferMs = MillisecondsSince(started);
            // A server that forbids the hidden name (a filter on dot-files) answers the first STOR at once;
            // FTP's 4xx asks again later, an SFTP refusal is final.
            const auto* refused = dynamic_cast<const net::EServerRefused*>(&e);
            const auto* reply = dynamic_cast<const net::EReplyError*>(&e);
            if (refused && (!reply || reply->Code() >= 500) && counter == 0 && target != remoteName) {
                TurnTemporariesOff("uploads to a temporary name", *refused);
                return tsRefused;
            }
            lastError = e.what();
            Info(fmt::format("Uploading [{}] failed : [{}].", remoteName, lastError));
        }
        bool transferAgain = false;
        while (!transferAgain && counter < allowed) {
            ++counter;
            std::string retryText = fmt::format("Upload retry [{}] of [{}] for [{}]", counter, allowed, remoteName);
            Warn(retryText);
            if (FRetryOptions.GetEnableRetryDelay()) {
                int delay = FRetryOptions.GetRetryDelay();
                Warn(fmt::format("{} : Delaying for [{}] ms before attempting reconnect.", retryText, delay));
                int slice = std::max(delay / 100, 100);
                for (int waited = 0; waited < delay; waited += slice)
                    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(slice, delay - waited)));
            }
            if (!ReconnectForUpload(directory, remoteName, retryText)) {
                lastError = "the connection could not be reset into " + directory;
                continue;
            }
            bool canResume = false;
            std::int64_t size =
                RetryGetFileSize(directory + target, directory + remoteName, retryText, expectedSize, canResume);
            if (size == expectedSize) {
                Warn(fmt::format("{} : File [{}] has expected size [{}]. Upload complete.", retryText, remoteName,
                                 SizeText(size, Bytes)));
                return tsWhole;
            }
            if (size >= 0) {
                Warn(fmt::format("{} : File [{}] size [{}] does not match.", retryText, remoteName,
                                 SizeText(size, Bytes)));
                lastError = fmt::format("the server holds {} of {}", SizeText(size, Bytes), SizeText(expectedSize, Bytes));
            }
            // Without a size from the server there is nothing to resume from: the whole file goes again.
            resume = size >= 0 && canResume && FRetryOptions.GetResumeOnFailedTransfer();
            position = resume ? size : 0;
            transferAgain = counter < allowed;
        }
        if (!transferAgain) {
            FFailureReason = fmt::format("Upload of [{}] failed after {} recovery attempt(s): {}", remoteName, counter,
                                         lastError);
            return tsFailed;
        }
    }
}

bool TFTPUploader::PutInPlace(const std::string& temporary, const std::string& remoteName) {
    try {
        FFTPConnection.RenameFile(temporary, remoteName);
        return true;
    } catch (const net::EServerRefused&) {
        // Some servers rename only onto a free name.
    }
    try {
        FFTPConnection.DeleteFile(remoteName);
    } catch (const net::EServerRefused&) {
        // Nothing there, or not ours to delete: the second rename tells.
    }
    try {
        FFTPConnection.RenameFile(temporary, remoteName);
        return true;
    } catch (const net::EServerRefused& e) {
        Forget(temporary);
        TurnTemporariesOff("to rename an upload into place", e);
        return false;
    }
}

void TFTPUploader::Forget(const std::string& temporary) {
    try {
        FFTPConnection.DeleteFile(temporary);
    } catch (const std::exception&) {
        // A connection that is gone leaves it to the next run, which removes it.
    }
}

void TFTPUploader::TurnTemporariesOff(const std::string& what, const net::EServerRefused& refusal) {
    if (FTemporaries->TurnOff())
        Warn(fmt::format("The server refuses {} [{}]: files are uploaded straight under their names for the rest "
                         "of this run.",
                         what, refusal.Reason()));
}

bool TFTPUploader::ReconnectForUpload(const std::string& directory, const std::string&, const std::string& t) {
    Warn(t + " : Attempting to reset connection...");
    Warn(t + " : Disconnecting...");
    try {
        FFTPConnection.Disconnect();
    } catch (const std::exception& e) {
        Warn(fmt::format("{} : Disconnect errored with [{}]", t, e.what()));
    }
    Warn(t + " : Connecting...");
    try {
        FFTPConnection.Connect(1);
    } catch (const std::exception& e) {
        Warn(fmt::format("{} : Connect errored with [{}]", t, e.what()));
    }
    if (!FFTPConnection.IsConnected()) {
        Warn(t + " : Reconnection failed.");
        return false;
    }
    Warn(t + " : Connected.");
    Warn(fmt::format("{} : Changing directory to [{}]", t, directory));
    try {
        FFTPConnection.ChangeDir(directory);
    } catch (const std::exception& e) {
        Warn(fmt::format("{} : Changed directory errored with [{}]", t, e.what()));
    }
    std::string now;
    try {
        now = FFTPConnection.GetRemoteDir();
    } catch (...) {
        // Reported through the comparison below.
    }
    Warn(fmt::format("{} : Directory now [{}]", t, now));
    FCurrentRemoteDirectory = WithTrailingSlash(now);
    if (!net::EqualsNoCase(WithTrailingSlash(now), WithTrailingSlash(directory))) {
        Warn(t + " : Changed to upload directory failed.");
        return false;
    }
    return true;
}

std::int64_t TFTPUploader::RetryGetFileSize(const std::string& remotePath, const std::string& shownPath,
                                            const std::string& t, std::int64_t expectedSize, bool& canResume) {
    Warn(fmt::format("{} : Retrieving [{}] size. Expecting [{}].", t, shownPath, SizeText(expectedSize, Bytes)));
    canResume = true;
    std::int64_t size = -1;
    std::string error = "Unable to get size";
    try {
        size = FFTPConnection.GetFileSize(remotePath);
    } catch (const std::exception& e) {
        error = e.what();
    }
    if (size == -1) {
        Warn(fmt::format("{} : Size request errored with [{}]", t, error));
        Warn(t + " : Resumes are not possible for this retry");
        canResume = false;
    }
    return size;
}

// --- Download walk ---

TFTPTreeVisitorActionLocalDifferences::TFTPTreeVisitorActionLocalDifferences(IFTPConnectionObject& connection,
                                                                             TLocalFolder& localRoot,
                                                                             const std::string& remoteRootPath,
                                                                             TFTPMirrorOptions options,
                                                                             std::int64_t serverTimeSkew, TFTPWalkLog log,
                                                                             TFTPTransferPool* pool)
    : FMirrorOptions(options), FServerTimeSkew(serverTimeSkew), FPathToRemoteFile(WithTrailingSlash(remoteRootPath)),
      FFTPConnection(connection), FLocalRoot(localRoot), FLog(log), FPool(pool) {}

void TFTPTreeVisitorActionLocalDifferences::Info(const std::string& text) const {
    FLog.Send(text, stInformation);
}

bool TFTPTreeVisitorActionLocalDifferences::VisitEnter(TFTPTreeNode& node) {
    if (!node.FIsFile && node.FParent) {
        FPathToRemoteFile += node.FName + "/";
        FPathToLocalFile += node.FName + "/";
    }
    return true;
}

bool TFTPTreeVisitorActionLocalDifferences::VisitLeave(TFTPTreeNode& node) {
    if (!node.FIsFile && node.FParent) {
        FPathToRemoteFile.erase(FPathToRemoteFile.size() - node.FName.size() - 1);
        FPathToLocalFile.erase(FPathToLocalFile.size() - node.FName.size() - 1);
    }
    return true;
}

bool TFTPTreeVisitorActionLocalDifferences::Visit(TFTPTreeNode& node, bool&) {
    CheckDecided(node);
    try {
        Act(node);
    } catch (const ELocalLinkError& e) {
        // A link that turned up after the comparison: left alone like the ones it found.
        FLog.Send(fmt::format("Left the local link [{}] alone", e.Path()), stWarning);
    }
    return true;
}

void TFTPTreeVisitorActionLocalDifferences::Act(const TFTPTreeNode& node) {
    if (node.FDifference == tfaOrphaned) {
        std::string relative = node.FIsFile ? FPathToLocalFile + node.FName : FPathToLocalFile;
        if (node.FIsFile)
            FLocalRoot.Remove(relative);
        else
            FLocalRoot.RemoveTree(relative);
        if (FLog.LogFileTransfers)
            Info(fmt::format("Deleted local orphan [{}]", WithTrailingSlash(FLocalRoot.Root()) + relative));
        return;
    }
    if (node.FDifference != tfaChanged)
        return;
    if (!node.FIsFile) {
        if (FMirrorOptions.Contains(IncludeEmptyDirectory) && !FPathToLocalFile.empty())
            FLocalRoot.MakeFolders(FPathToLocalFile);
        return;
    }
    if (!FPathToLocalFile.empty())
        FLocalRoot.MakeFolders(FPathToLocalFile);
    std::string remote = FPathToRemoteFile + node.FName;
    std::string relative = FPathToLocalFile + node.FName;
    if (!FPool || !FPool->Ready()) {
        Download(FFTPConnection, remote, relative, node.FDate, node.FSize, FLog);
        return;
    }
    FPool->Submit([this, remote, relative, date = node.FDate, size = node.FSize,
                   ticket = FLog.Order->Reserve()](TFTPTransferSlot& slot) {
        TFTPHeldLines held(FLog, ticket);
        TFTPTransientRetry transient(*slot.Connection, slot.Refusals, [this] { return !FPool->Closing(); });
        for (;;) {
            try {
                Download(*slot.Connection, remote, relative, date, size, held.Log);
                return std::string();
            } catch (const ELocalLinkError& e) {
                held.Log.Send(fmt::format("Left the local link [{}] alone", e.Path()), stWarning);
                return std::string();
            } catch (const std::exception& e) {
                // Downloads name whole paths: where the server stands does not matter.
                if (!transient.Again(e, {}, slot.RemoteDirectory))
                    throw;
            }
        }
    });
    if (std::string failure = FPool->Failure(); !failure.empty())
        throw std::runtime_error(failure);
}

void TFTPTreeVisitorActionLocalDifferences::Download(IFTPConnectionObject& connection,
                                                     const std::string& remote, const std::string& relative,
                                                     TDateTime date, std::int64_t size,
                                                     const TFTPWalkLog& log) const {
    std::string local = FLocalRoot.PathOf(relative);
    if (log.LogFileTransfers)
        log.Send(fmt::format("Downloading [{}] to [{}]", remote, local), stInformation);
    auto started = std::chrono::steady_clock::now();
    connection.DownloadFile(remote, FLocalRoot, relative, true, false, size);
    if (log.LogFileTransfers)
        log.Send(fmt::format("Downloaded [{}] to [{}] in {} ms", remote, local, MillisecondsSince(started)),
                 stInformation);
    // The listing's date is on the server's clock; the local file gets the same moment on ours.
    if (FMirrorOptions.Contains(MirrorDateTime) && date > 0)
        FLocalRoot.SetModificationTime(
            relative, std::chrono::system_clock::from_time_t(static_cast<std::time_t>(
                          DateTimeToUnix(date - static_cast<double>(FServerTimeSkew) / SecondsPerDay))));
}

} // namespace zr
