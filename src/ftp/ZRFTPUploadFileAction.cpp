#include "ftp/ZRFTPUploadFileAction.h"

#include "base/Text.h"

#include <algorithm>
#include <cmath>
#include <fmt/format.h>

namespace zr {

using namespace quillate;

struct TFTPUploadFileActionProperties {
    using T = TFTPUploadFileAction;
    static void Define(TPropertyTable& table) {
        TPropertyBuilder<T>(table)
            .String("LocalDir", &T::FLocalDir)
            .Help("Local folder the files are taken from")
            .String("FileSpec", &T::FFileSpec)
            .Help("File name or mask; may start with a sub-folder")
            .String("RemoteFile", &T::FRemoteFile)
            .Help("Remote name (may contain folders) when exactly one file is uploaded")
            .Bool("CheckFileSizes", &T::FCheckFileSizes)
            .Bool("Recursive", &T::FRecursive)
            .Help("Include the files of sub-folders")
            .Bool("RetryIfUploadFails", &T::FRetryIfUploadFails)
            .Bool("UpdateOnly", &T::FUpdateOnly)
            .Int("ServerClockSkew", &T::FServerClockSkew)
            .Bool("AutoUpdateSkew", &T::FAutoUpdateSkew)
            .Bool("ForceNextClockSkewUpdate", &T::FForceNextClockSkewUpdate)
            .Bool("AllowGap", &T::FAllowGap)
            .Int("GapLength", &T::FGapLength)
            .Bool("ThrottleUpload", &T::FThrottleUpload)
            .Int("ThrottleSpeed", &T::GetThrottleSpeed, &T::SetThrottleSpeed)
            .Bool("EnableTimeout", &T::FEnableTimeout)
            .Help("Abort the upload when it runs longer than TimeoutLength")
            .UInt("TimeoutLength", &T::FTimeoutLength)
            .Help("Time limit in minutes")
            .Bool("UseFileSpec", &T::FUseFileSpec)
            .Help("True: LocalDir and FileSpec; false: the file set FileSetName")
            .String("FileSetName", &T::FFileSetName)
            .Help("Name of the project's file set to upload");
    }
};

const TMetaClass& TFTPUploadFileAction::ClassInfo() {
    static const TMetaClass meta = TMetaClass::Of<TFTPUploadFileAction>(
        "TFTPUploadFileAction", "action.ftp.upload.file", &TFTPBaseAction::ClassInfo(),
        &TFTPUploadFileActionProperties::Define);
    return meta;
}

void TFTPUploadFileAction::SetThrottleSpeed(std::int32_t value) {
    FThrottleSpeed = std::max<std::int32_t>(value, 4);
}

std::string TFTPUploadFileAction::GetFormattedDescription() const {
    return fmt::format("{} [ {} ]", TFTPBaseAction::GetFormattedDescription(),
                       FUseFileSpec ? FFileSpec : FFileSetName);
}

bool TFTPUploadFileAction::Validate(TValidationErrors& errors) {
    bool ok = TFTPBaseAction::Validate(errors);
    if (!FUseFileSpec && FFileSetName.empty()) {
        errors.push_back({"File Set", "A File Set must be specified"});
        ok = false;
    }
    return ok;
}

std::string TFTPUploadFileAction::SizeInUnits(std::int64_t bytes) {
    if (bytes > 1073741824)
        return fmt::format("{} GB", bytes / 1073741824);
    if (bytes > 1048576)
        return fmt::format("{} MB", bytes / 1048576);
    if (bytes > 1024)
        return fmt::format("{} KB", bytes / 1024);
    return fmt::format("{} bytes", bytes);
}

std::int64_t TFTPUploadFileAction::GetTotalUploadSize(const TFTPItemList& items) {
    std::int64_t total = 0;
    for (const auto& item : items)
        if (item.IsFile())
            total += item.Size;
    return total;
}

bool TFTPUploadFileAction::DoFTPOperation(IFTPConnectionObject& connection) {
    TUploadRun run;
    run.Meter.Begin();
    run.Meter.LineDueNow();
    FTimedOut = false;
    FRun = &run;
    struct TEndRun {
        std::atomic<TUploadRun*>& Run;
        ~TEndRun() { Run = nullptr; }
    } endRun{FRun};
    std::string startDir = connection.GetRemoteDir();

    connection.SetOnWorkBegin(
        [this, &run](net::TWorkMode mode, std::int64_t size) { OnFTPWorkBegin(run, mode, size); });
    connection.SetOnWork(
        [this, &run](net::TWorkMode mode, std::int64_t count) { OnFTPWork(run, mode, count); });
    connection.SetOnWorkEnd([this, &run](net::TWorkMode mode) { OnFTPWorkEnd(run, mode); });
    std::unique_ptr<TTimeoutMonitorThread> monitor;
    if (FEnableTimeout)
        monitor = std::make_unique<TTimeoutMonitorThread>(*this, std::chrono::minutes(FTimeoutLength));

    bool result = false;
    try {
        result = Upload(run, connection, startDir);
    } catch (const std::exception& e) {
        LogFailure("Upload failed.", e);
    } catch (...) {
        SendMessage("Upload failed.", stError);
        SendMessage("Unknown error", stError);
    }

    // After a stop the server is left where the upload stopped.
    if (!GetRunStopped()) {
        try {
            connection.ChangeDir(startDir);
        } catch (...) {
            // Where the server is left matters less than the upload's outcome, decided above.
        }
    }
    connection.SetOnWorkBegin(nullptr);
    connection.SetOnWork(nullptr);
    connection.SetOnWorkEnd(nullptr);
    // Stop joins the monitor's thread, so no DoTimeout can still be running after this.
    if (monitor)
        monitor->Stop();
    return result;
}

bool TFTPUploadFileAction::Upload(TUploadRun& run, IFTPConnectionObject& connection,
                                  const std::string& base) {
    std::string remoteName, directory, mask;
    if (!TryExpandExpression("Remote filename", FRemoteFile, remoteName, false))
        return false;
    // A stray blank or line end typed around the name goes.
    remoteName = std::string(base::TrimBlanks(remoteName));
    if (!TryExpandExpression("Local upload directory", FLocalDir, directory, FUseFileSpec))
        return false;
    if (directory.empty() || directory.back() != '/')
        directory += '/';
    if (!TryExpandExpression("Filespec", FFileSpec, mask, FUseFileSpec))
        return false;
    // A mask with a sub-path ("sub\*.txt") moves that sub-path into the directory.
    std::replace(mask.begin(), mask.end(), '\\', '/');
    std::string combined = directory + mask;
    directory = combined.substr(0, combined.rfind('/') + 1);
    mask = mask.substr(mask.rfind('/') == std::string::npos ? 0 : mask.rfind('/') + 1);

    TFTPItemList items;
    if (FUseFileSpec) {
        items = GetFilesFromDirectoryAndFileSpec(directory, mask, FRecursive);
    } else {
        auto fromSet = GetFilesFromFileSet(FFileSetName);
        if (!fromSet)
            return false;
        items = std::move(*fromSet);
    }
    if (items.empty())
        throw std::runtime_error("File " + mask + " not found!");
    std::stable_sort(items.begin(), items.end(),
                     [](const TFTPItem& a, const TFTPItem& b) { return CompareRelativePaths(a, b) < 0; });

    run.TotalSize = GetTotalUploadSize(items);
    SendMessage("Total upload size will be " + SizeInUnits(run.TotalSize), stInformation);

    if (items.size() == 1) {
        TRemotePosition position;
        UploadFileRenamed(items.front(), remoteName, connection, position);
    } else {
        if (!remoteName.empty())
            SendMessage("Remote filename ignored since multiple files will be uploaded", stInformation);
        UploadFiles(items, base, connection);
    }
    return true;
}

void TFTPUploadFileAction::FileUploaded(std::int64_t size) {
    // Only on the action's own thread, inside the run.
    if (TUploadRun* run = FRun.load())
        run->UploadedBytes += size;
}

void TFTPUploadFileAction::OnFTPWorkBegin(TUploadRun& run, net::TWorkMode mode, std::int64_t expectedSize) {
    FTimedOut = false;
    run.CurrentFileSent = 0;
    run.CurrentFileSize = expectedSize > 0 ? expectedSize : 0;
    if (run.UploadedBytes == 0)
        SendProgress(run.Meter.SpeedText(DirectionOf(mode)), 0);
}

void TFTPUploadFileAction::OnFTPWork(TUploadRun& run, net::TWorkMode mode, std::int64_t count) {
    TTransferMeter& meter = run.Meter;
    if (!meter.Due(std::chrono::seconds(1)))
        return;
    std::int64_t total = std::max<std::int64_t>(run.TotalSize, run.CurrentFileSize);
    meter.SetExpected(total);
    meter.Update(count + run.UploadedBytes);
    run.CurrentFileSent = count;
    if (total > 0)
        run.LastPercent = meter.Percent();
    auto speed = static_cast<std::int64_t>(std::nearbyint(meter.BytesPerSecond()));
    SendProgress(fmt::format("{} speed : {}/s,  {}/{} Transferred", DirectionName(DirectionOf(mode)),
                             SizeInUnits(speed), SizeInUnits(meter.Bytes()), SizeInUnits(total)),
                 run.LastPercent);
}

void TFTPUploadFileAction::OnFTPWorkEnd(TUploadRun& run, net::TWorkMode mode) {
    if (run.TotalSize == 0)
        SendProgress(run.Meter.SpeedText(DirectionOf(mode)), 0);
    run.CurrentFileSize = 0;
}

void TFTPUploadFileAction::DoTimeout() {
    FTimedOut = true;
    SendFTPMessage(fmt::format("FTP Upload Timed Out after {} minutes.", FTimeoutLength));
    // The monitor is stopped before the run ends, so a run it times out is still there.
    if (const TUploadRun* run = FRun.load())
        SendFTPMessage(
            fmt::format("{} / {} bytes sent.", run->CurrentFileSent.load(), run->CurrentFileSize.load()));
    TerminateAction();
}

} // namespace zr
