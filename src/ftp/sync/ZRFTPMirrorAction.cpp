#include "ftp/sync/ZRFTPMirrorAction.h"

#include "ftp/sync/ZRFTPMirrorVisitors.h"
#include "host/LocalFolder.h"
#include "host/TransferMeter.h"
#include "net/NetErrors.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <fmt/format.h>
#include <optional>

namespace zr {

using namespace quillate;
using Clock = std::chrono::steady_clock;

namespace {

// "05/12/2026 7:02:03 pm"
std::string NowForLog() {
    std::time_t t = std::time(nullptr);
    std::tm local{};
    localtime_r(&t, &local);
    int hour = local.tm_hour % 12 == 0 ? 12 : local.tm_hour % 12;
    return fmt::format("{:02d}/{:02d}/{:04d} {}:{:02d}:{:02d} {}", local.tm_mday, local.tm_mon + 1,
                       local.tm_year + 1900, hour, local.tm_min, local.tm_sec,
                       local.tm_hour < 12 ? "am" : "pm");
}

const char* StatusName(net::TConnectionStatus status) {
    switch (status) {
    case net::TConnectionStatus::csResolving:
        return "[resolving]";
    case net::TConnectionStatus::csConnecting:
        return "[connecting]";
    case net::TConnectionStatus::csConnected:
        return "[connected]";
    case net::TConnectionStatus::csDisconnecting:
        return "[disconnecting]";
    case net::TConnectionStatus::csDisconnected:
        return "[disconnected]";
    default:
        return "[update]";
    }
}

constexpr int MaxParallelTransfers = 8;
// What 0 (automatic) stands for: enough to hide the round trips of small files and of listings, few enough
// for the servers that limit connections per user (those it refuses are given up). Where the server makes
// the data connections (active mode), one: each is a connection in from outside, and servers handle many
// at once badly (pyftpdlib loses some of them, and with them the transfer, for a minute).
constexpr int AutomaticTransfers = 4;
constexpr int AutomaticListings = 4;

int AutomaticOr(int stored, int automatic, const IFTPConnectionObject& connection) {
    if (stored == 0)
        return connection.Settings().ServerMakesDataConnections() ? 1 : automatic;
    return std::clamp(stored, 1, MaxParallelTransfers);
}

} // namespace

// What one run keeps: made when DoFTPOperation starts and gone when it returns, so that every run starts
// from nothing.
struct TFTPMirrorAction::TMirrorRun {
    explicit TMirrorRun(IFTPConnectionObject& connection) : Connection(connection) {}

    IFTPConnectionObject& Connection;
    bool Stopped = false;
    // Why a keep-going check said stop, when it was not the user.
    std::string StopReason;
    std::int64_t KeepAliveAccumulator = 0;
    std::optional<Clock::time_point> LastKeepAliveTick;
    std::unique_ptr<TTimeoutMonitorThread> Monitor;

    // Guards the progress bookkeeping below, which the threads of the extra connections update too.
    std::mutex ProgressLock;
    // What each connection has in flight: the file's size and the bytes sent or received so far.
    struct TInFlight {
        std::int64_t Size = 0;
        std::int64_t Count = 0;
    };
    std::vector<TInFlight> InFlight = std::vector<TInFlight>(1);
    // Times the whole run, or the current file when progress is logged per file.
    TTransferMeter Meter;
    std::int64_t TotalBytes = 0;
    std::int64_t CompletedBytes = 0;
    int LastLoggedPercentage = 0;
    Clock::time_point LastLogTick;
    net::TWorkMode Direction = net::TWorkMode::wmWrite;
};

struct TFTPMirrorActionProperties {
    static void Define(TPropertyTable& table) {
        TPropertyBuilder<TFTPMirrorAction>(table)
            .Bool("EnableTimeout", &TFTPMirrorAction::FEnableTimeout)
            .Help("Stop the mirror when it runs longer than TimeoutLength minutes")
            .UInt("TimeoutLength", &TFTPMirrorAction::FTimeoutLength)
            .Int("ParallelTransfers", &TFTPMirrorAction::FParallelTransfers)
            .Help("Files transferred at once, each on a connection of its own (0 automatic, 1 to 8)")
            .Int("ParallelListings", &TFTPMirrorAction::FParallelListings)
            .Help("Remote folders listed at once, each on a connection of its own (0 automatic, 1 to 8)");
    }
};

TFTPMirrorAction::TFTPMirrorAction()
    : FRetryOptions(std::make_shared<TFTPRetryOptions>()),
      FLoggingOptions(std::make_shared<TFTPLoggingOptions>()) {}

TFTPMirrorAction::~TFTPMirrorAction() = default;

const TMetaClass& TFTPMirrorAction::ClassInfo() {
    static const TMetaClass meta = TMetaClass::Of<TFTPMirrorAction>("TFTPMirrorAction", "action.ftp.mirror",
                                                                    &TFTPDiffBaseAction::ClassInfo(),
                                                                    &TFTPMirrorActionProperties::Define);
    return meta;
}

std::string TFTPMirrorAction::GetFormattedDescription() const {
    return fmt::format("FTP Mirror [{}] [{}]", GetConnectionName(),
                       FMirrorOperation == moRemoteToLocal ? "Remote To Local" : "Local To Remote");
}

bool TFTPMirrorAction::Validate(TValidationErrors& errors) {
    std::size_t before = errors.size();
    if (GetConnectionName().empty())
        errors.push_back({"FTP Connection", "No FTP connection specified."});
    if (FLocalDir.empty())
        errors.push_back({"Local Directory", "No local directory specified."});
    if (FSpecifyRemoteDir && FRemoteDir.empty())
        errors.push_back({"Remote Directory", "No remote directory specified."});
    if (FUseFileSpec && FFileSpec.empty())
        errors.push_back({"Include Items", "Must provide at least one file extension to include."});
    if (FParallelTransfers < 0 || FParallelTransfers > MaxParallelTransfers)
        errors.push_back({"Parallel Transfers", "Parallel transfers must be between 0 (automatic) and 8."});
    if (FParallelListings < 0 || FParallelListings > MaxParallelTransfers)
        errors.push_back({"Parallel Listings", "Parallel listings must be between 0 (automatic) and 8."});
    return errors.size() == before;
}

void TFTPMirrorAction::GetPropertyAlias(TStringList& list) const {
    for (const char* line : {"MirrorOperation=Mirror Operation",
                             "LocalDir=Local Directory",
                             "SpecifyRemoteDir=Specify Remote Directory",
                             "RemoteDir=Remote Directory",
                             "Recursive=Recursive",
                             "IncludeEmptyDirs=Include Empty Directories",
                             "MirrorDateTime=Mirror Date Time",
                             "DeleteOrphans=Delete Orphans",
                             "LogFiles=Log Files",
                             "SkipSkewCheck=Skip Server Skew Check",
                             "[Overwrite Behaviour]",
                             "CheckFileCRC=Check File CRC",
                             "CheckFileSize=Check File Size",
                             "CopyAnySizeDiff=Copy If Any Size Difference",
                             "CheckFileDate=Check File Date",
                             "[Include/Exclude Files]",
                             "UseFileSpec=Use File Spec",
                             "FileSpec=File Spec",
                             "ExcludeList=Exclude List",
                             "LogExcludedFiles=Log Excluded Files"})
        list.push_back(line);
}

void TFTPMirrorAction::GetPropertyHelp(TStringList& list) const {
    for (const char* line :
         {"MirrorOperation=Direction of Mirror Operation", "LocalDir=Local Directory to Mirror",
          "SpecifyRemoteDir=Specify the FTP base directory rather than using FTP Connection current "
          "directory",
          "RemoteDir=FTP base directory", "Recursive=Perform Recursive Mirror",
          "IncludeEmptyDirs=Mirror Empty Directories",
          "DeleteOrphans=Delete items from destination that do not exist in source",
          "LogFiles=Log each file affected by mirror operation",
          "CheckFileSize=Overwrite existing files based on size",
          "CheckFileDate=Overwrite existing files if source file is newer",
          "UseFileSpec=Only mirror files where the extension matches the extension specified",
          "FileSpec=Comma delimited list of file extensions to be mirrored. i.e .cs,.sln,.csproj",
          "ExcludeList=List of exclusions for mirror operation",
          "LogExcludedFiles=Log files that are excluded from mirror operation"})
        list.push_back(line);
}

void TFTPMirrorAction::GetChildren(TSerializableList& children) const {
    TFTPDiffBaseAction::GetChildren(children);
    children.push_back(FRetryOptions);
    children.push_back(FLoggingOptions);
}

void TFTPMirrorAction::AddChildObject(std::shared_ptr<TSerializableObject> child) {
    TFTPDiffBaseAction::AddChildObject(child);
    if (auto retry = std::dynamic_pointer_cast<TFTPRetryOptions>(child))
        FRetryOptions = retry;
    else if (auto logging = std::dynamic_pointer_cast<TFTPLoggingOptions>(child))
        FLoggingOptions = logging;
}

void TFTPMirrorAction::StopSignalled() {
    TFTPDiffBaseAction::StopSignalled();
    SendMessage(std::string("FTP Operation will stop after current ") +
                    (FMirrorOperation == moRemoteToLocal ? "download" : "upload") + " completes.",
                stError);
    std::lock_guard lock(FPoolLock);
    if (FPool)
        FPool->Cancel();
}

// The pool's connections come from the action's own and stop with it; the queue goes too.
void TFTPMirrorAction::TerminateAction() {
    TFTPDiffBaseAction::TerminateAction();
    std::lock_guard lock(FPoolLock);
    if (FPool)
        FPool->Cancel();
}

void TFTPMirrorAction::DoTimeout() {
    FTimedOut = true;
    SendFTPMessage(fmt::format("FTP Sync Timed Out after {} minutes.", FTimeoutLength));
    TerminateAction();
}

std::int64_t TFTPMirrorAction::CalculateBytesToTransfers(TFTPTreeNode& tree) {
    std::int64_t total = 0;
    tree.Accept(
        [&total](TFTPTreeNode& node) {
            if (node.FIsFile && node.FDifference == tfaChanged && node.FSize > 0)
                total += node.FSize;
            return true;
        },
        trmHeadRecursion, tvdVisitChildren);
    return total;
}

void TFTPMirrorAction::CheckKeepAlive(IFTPConnectionObject& connection) {
    if (!FNOOPsEnabled)
        return;
    TMirrorRun& run = *FRun;
    auto now = Clock::now();
    if (run.LastKeepAliveTick)
        run.KeepAliveAccumulator +=
            std::chrono::duration_cast<std::chrono::milliseconds>(now - *run.LastKeepAliveTick).count();
    run.LastKeepAliveTick = now;
    if (run.KeepAliveAccumulator > FNOOPTimeoutMS) {
        connection.NOOP();
        if (FNOOPLogged)
            SendMessage("Keep Alive Timeout: Sending NOOP", stInformation);
        run.KeepAliveAccumulator = 0;
    }
}

bool TFTPMirrorAction::CheckNOOPandOperationAborted() {
    // Outside a run only the user's stop counts.
    if (!FRun)
        return !CheckOperationAborted();
    TMirrorRun& run = *FRun;
    if (run.Stopped)
        return false;
    try {
        CheckKeepAlive(run.Connection);
    } catch (const std::exception& e) {
        run.StopReason = fmt::format("Keep Alive Failed with message : [{}]", e.what());
        SendMessage(run.StopReason, stInformation);
        run.Stopped = true;
        return false;
    }
    if (CheckOperationAborted()) {
        run.Stopped = true;
        return false;
    }
    return true;
}

void TFTPMirrorAction::LogProgress(TMirrorRun& run, net::TWorkMode mode, int slot, bool force) {
    auto now = Clock::now();
    const TFTPLoggingOptions& logging = *FLoggingOptions;
    bool perFile =
        logging.GetProgressLoggingEnabled() && logging.GetProgressLoggingMode() == OnFilePercentage;
    std::int64_t inFlight = 0;
    for (const auto& file : run.InFlight)
        inFlight += file.Count;
    const TMirrorRun::TInFlight& file = run.InFlight[static_cast<std::size_t>(slot)];
    std::int64_t total = perFile ? file.Size : run.TotalBytes;
    std::int64_t done = perFile ? file.Count : run.CompletedBytes + inFlight;
    run.Meter.Update(done);
    auto speed = static_cast<std::int64_t>(std::nearbyint(run.Meter.BytesPerSecond()));
    int percentage =
        total > 0 ? static_cast<int>(std::nearbyint(static_cast<double>(done) / total * 100.0)) : 0;
    std::string text =
        fmt::format("{} {} : {} speed : {}/s {}/{} ({}%) Transfered{}", "Prog:", NowForLog(),
                    DirectionName(DirectionOf(mode)), SizeText(speed, Gigabytes),
                    SizeText(done, Gigabytes), SizeText(total, Gigabytes), percentage, "");
    SendProgress(text, percentage);
    if (!logging.GetProgressLoggingEnabled())
        return;
    bool due = false;
    if (logging.GetProgressLoggingMode() == OnTimeElapsed)
        due = run.LastLogTick + std::chrono::milliseconds(logging.GetProgressMillisecondInterval()) < now;
    else
        due = run.LastLoggedPercentage + static_cast<int>(logging.GetProgressPercInterval()) < percentage;
    if (force || due) {
        SendFTPMessage(text);
        run.LastLogTick = now;
        run.LastLoggedPercentage = percentage;
    }
}

// The handlers hold the run itself: the extra connections' threads call them, and never after the run.
void TFTPMirrorAction::AttachProgress(IFTPConnectionObject& connection, int slot) {
    const auto at = static_cast<std::size_t>(slot);
    TMirrorRun& run = *FRun;
    connection.SetOnWorkBegin([this, &run, at](net::TWorkMode mode, std::int64_t size) {
        if (mode != run.Direction)
            return;
        std::lock_guard lock(run.ProgressLock);
        run.LastLoggedPercentage = 0;
        run.InFlight[at] = {size, 0};
        if (FLoggingOptions->GetProgressLoggingEnabled() &&
            FLoggingOptions->GetProgressLoggingMode() == OnFilePercentage)
            run.Meter.Begin();
        run.Meter.LineDueNow();
    });
    connection.SetOnWork([this, &run, at](net::TWorkMode mode, std::int64_t count) {
        if (mode != run.Direction)
            return;
        std::lock_guard lock(run.ProgressLock);
        run.InFlight[at].Count = count;
        if (run.Meter.Due(std::chrono::seconds(1)))
            LogProgress(run, mode, static_cast<int>(at), false);
    });
    connection.SetOnWorkEnd([this, &run, at](net::TWorkMode mode) {
        if (mode != run.Direction)
            return;
        std::lock_guard lock(run.ProgressLock);
        TMirrorRun::TInFlight& file = run.InFlight[at];
        file.Count = file.Size;
        LogProgress(run, mode, static_cast<int>(at), FLoggingOptions->GetProgressLoggingEnabled());
        run.CompletedBytes += file.Size;
        file.Count = 0;
    });
}

int TFTPMirrorAction::ListingConnections(const IFTPConnectionObject& connection) const {
    return AutomaticOr(FParallelListings, AutomaticListings, connection);
}

int TFTPMirrorAction::TransferConnections(const IFTPConnectionObject& connection) const {
    return AutomaticOr(FParallelTransfers, AutomaticTransfers, connection);
}

bool TFTPMirrorAction::ReusesListingConnections(const IFTPConnectionObject& connection) const {
    return TransferConnections(connection) > 1;
}

std::unique_ptr<TFTPTransferPool> TFTPMirrorAction::OpenPool(IFTPConnectionObject& connection,
                                                             TFTPSpareConnections spare) {
    const int extra = TransferConnections(connection);
    if (extra <= 1)
        return nullptr;
    auto pool = std::make_unique<TFTPTransferPool>(
        connection, extra, [this](TFTPTransferSlot& slot) { AttachProgress(*slot.Connection, slot.Index); },
        [this](const std::string& text) { Warning(text); },
        [this, &connection] {
            try {
                CheckKeepAlive(connection);
            } catch (const std::exception&) {
                // The transfers decide the outcome; a main connection that has gone fails the next step.
            }
        });
    pool->Adopt(std::move(spare));
    std::lock_guard lock(FPoolLock);
    FPool = pool.get();
    // A stop that came while the connections were opened.
    if (GetRunStopped())
        FPool->Cancel();
    return pool;
}

void TFTPMirrorAction::OnFTPStatus(net::TConnectionStatus status, const std::string& text) {
    SendMessage(fmt::format("{} {} : {}", NowForLog(), StatusName(status), text), stInformation);
}

void TFTPMirrorAction::RemoveStaleTemporaries(IFTPConnectionObject& connection, const std::string& localDir) {
    if (FStaleTemporaries.empty())
        return;
    std::optional<TLocalFolder> localRoot;
    if (FMirrorOperation == moRemoteToLocal)
        localRoot.emplace(localDir);
    const std::string localPrefix = WithTrailingSlash(localDir);
    for (const std::string& path : FStaleTemporaries) {
        try {
            if (localRoot)
                localRoot->Remove(path.substr(localPrefix.size()));
            else
                connection.DeleteFile(path);
            SendMessage(fmt::format("Removed the stale temporary [{}]", path), stInformation);
        } catch (const net::EServerRefused& e) {
            Warning(fmt::format("Could not remove the stale temporary [{}]: {}", path, e.Reason()));
        } catch (const ELocalFolderError& e) {
            Warning(fmt::format("Could not remove the stale temporary [{}]: {}", path, e.what()));
        }
    }
    FStaleTemporaries.clear();
}

bool TFTPMirrorAction::Run(IFTPConnectionObject& connection, const std::string& localDir, bool& failed,
                           bool& treeFailed, std::string& returnTo) {
    returnTo = connection.GetRemoteDir();
    auto start = StartRun(connection, returnTo);
    if (!start) {
        treeFailed = true;
        return false;
    }
    const TFTPMirrorOptions options = start->Options;
    const std::string& remoteRoot = start->RemoteRoot;
    const std::int64_t skew = start->Skew;
    // A date given to the server shows in its listing moved by the set-date skew, and the next run
    // moves what the listing shows back by the listing skew: both together make it read as the node's.
    const std::int64_t setDateOffset = start->Skew + start->SetDateSkew;
    TFTPWalkLog walkLog{*this, FLogFiles, nullptr, std::nullopt};
    TFTPOrderedLog ordered(*this);

    TFTPTreeNodePtr tree;
    const bool evaluated = CreateFTPDifferencesTree(connection, options, skew, localDir, remoteRoot, tree);
    // Logged in already: the transfers take them over instead of logging in again. Closed when the run ends.
    TFTPSpareConnections spare = TakeSpareConnections();
    if (!evaluated) {
        failed = true;
        treeFailed = true;
        return false;
    }
    RemoveStaleTemporaries(connection, localDir);
    auto started = Clock::now();
    TMirrorRun& run = *FRun;
    run.InFlight.assign(static_cast<std::size_t>(MaxParallelTransfers) + 1, {});
    AttachProgress(connection, 0);
    run.Meter.Begin();
    run.TotalBytes = CalculateBytesToTransfers(*tree);
    run.LastLogTick = Clock::now();
    run.LastLoggedPercentage = 0;
    bool walked = false;
    std::string reason;
    run.Direction = FMirrorOperation == moLocalToRemote ? net::TWorkMode::wmWrite : net::TWorkMode::wmRead;
    SendMessage(FMirrorOperation == moLocalToRemote ? "Uploading Files..." : "Downloading Files...",
                stInformation);
    std::unique_ptr<TFTPTransferPool> pool = OpenPool(connection, std::move(spare));
    if (pool)
        walkLog.Order = &ordered;
    // The walk's jobs refer to its visitor: every one has ended before the visitor goes.
    auto finishPool = [&] {
        if (!pool)
            return;
        if (!walked)
            pool->Cancel();
        std::string failure = pool->Finish();
        ordered.Flush();
        if (walked && !failure.empty()) {
            walked = false;
            reason = failure;
        }
        std::lock_guard lock(FPoolLock);
        FPool = nullptr;
    };
    auto walk = [&](TFTPTreeVisitor& visitor) {
        visitor.SetOnCheckContinuation([this] { return CheckNOOPandOperationAborted(); });
        try {
            walked = tree->Accept(visitor, trmTailRecursion, tvdVisitChildren);
        } catch (...) {
            finishPool();
            throw;
        }
    };
    if (FMirrorOperation == moLocalToRemote) {
        TFTPTemporaryUploads temporaries;
        TFTPTreeVisitorActionRemoteDifferences visitor(connection, localDir, remoteRoot, options,
                                                       *FRetryOptions, setDateOffset, walkLog, pool.get(),
                                                       &temporaries);
        walk(visitor);
        reason = visitor.FailureReason();
        finishPool();
    } else {
        TLocalFolder localRoot(localDir);
        TFTPTreeVisitorActionLocalDifferences visitor(connection, localRoot, remoteRoot, options, skew,
                                                      walkLog, pool.get());
        walk(visitor);
        finishPool();
    }
    if (!walked) {
        failed = true;
        if (reason.empty())
            reason = run.StopReason.empty() ? "The walk over the tree ended early." : run.StopReason;
        if (!GetRunStopped())
            SendMessage("FTP Mirror failed. " + reason, stError);
    }
    if (!GetRunStopped())
        SendMessage(
            fmt::format(
                "Mirror completed in [{}] ms",
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count()),
            stInformation);
    return walked;
}

bool TFTPMirrorAction::DoFTPOperation(IFTPConnectionObject& connection) {
    TMirrorRun run(connection);
    FRun = &run;
    // The connection's handlers refer to the run: they go before it does, however the run ends.
    struct TEndRun {
        TMirrorRun*& Run;
        IFTPConnectionObject& Connection;
        ~TEndRun() {
            Connection.SetOnWork(nullptr);
            Connection.SetOnWorkBegin(nullptr);
            Connection.SetOnWorkEnd(nullptr);
            Connection.SetOnStatus(nullptr);
            Run = nullptr;
        }
    } endRun{FRun, connection};
    FTimedOut = false;

    auto prepared = PrepareLocalDir("Invalid Mirror Operation", "Local Directory {} does not exist.");
    if (!prepared)
        return false;
    const std::string& localDir = *prepared;
    if (FEnableTimeout)
        run.Monitor = std::make_unique<TTimeoutMonitorThread>(*this, std::chrono::minutes(FTimeoutLength));
    if (FLoggingOptions->GetLogConnectionStatus())
        connection.SetOnStatus(
            [this](net::TConnectionStatus status, const std::string& text) { OnFTPStatus(status, text); });

    bool failed = false, treeFailed = false, caught = false;
    std::string returnTo;
    try {
        Run(connection, localDir, failed, treeFailed, returnTo);
    } catch (const net::EReplyError& e) {
        caught = true;
        if (!GetRunStopped()) {
            SendMessage(fmt::format("FTP Mirror failed with reply error [{}] and response code [{}].",
                                    e.ReplyText(), e.Code()),
                        stError);
            SendMessage(
                "Reply errors are typically caused by the server responding to a request incorrectly.",
                stError);
        }
    } catch (const net::ESocketError& e) {
        caught = true;
        if (!GetRunStopped()) {
            SendMessage(fmt::format("FTP Mirror failed with socket error [{}].", e.what()), stError);
            SendMessage(
                "Socket errors are typically caused by the server disconnecting, or a firewall interrupting "
                "the connection.",
                stError);
        }
    } catch (const net::EReadTimeout&) {
        caught = true;
        if (!GetRunStopped())
            SendMessage(
                "A read timeout has occurred on the command channel.\r\nRead timeouts can occur due to long "
                "periods of the command channel not being active, e.g. when uploading a large file.\r\nThere "
                "are two ways to stop this from occuring. \r\n1. Activate the NOOPs for the ftp connection "
                "with "
                "an appropriate timing.\r\n2. Check firewall and ftp server settings. They should allow "
                "command "
                "channels to be dormant for the required period of time.",
                stError);
    } catch (const std::exception& e) {
        caught = true;
        if (!GetRunStopped())
            SendMessage(std::string("FTP Mirror failed. ") + e.what(), stError);
    }
    failed = failed || caught;

    bool result = false;
    if (GetRunStopped()) {
        SendMessage("FTP Mirror aborted", stError);
    } else if (!failed && !treeFailed) {
        SendMessage("FTP Mirror succeeded", stSuccess);
        result = true;
    }
    if (!treeFailed && !caught && !GetRunStopped() && !returnTo.empty()) {
        try {
            connection.ReturnToDir(returnTo);
        } catch (...) {
            // Where the server is left matters less than the outcome already reported.
        }
    }
    if (run.Monitor) {
        if (!run.Monitor->Finished()) {
            run.Monitor->Stop();
            Sleep(500);
        }
        run.Monitor.reset();
    }
    return result;
}

} // namespace zr
