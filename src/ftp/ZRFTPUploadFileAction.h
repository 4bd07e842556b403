// TFTPUploadFileAction: uploads one file, a mask of files or a file set over a named connection,
// recreating the local folder structure below the server's current directory.
#pragma once

#include "ftp/ZRFTPBaseAction.h"
#include "host/TimeoutMonitor.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace zr {

class TFTPUploadFileAction : public TFTPBaseAction, public quillate::IZRTimeoutTarget {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }

    std::string GetActionName() const override { return "FTP Upload"; }
    std::string GetFormattedDescription() const override;
    bool Validate(quillate::TValidationErrors& errors) override;
    bool GetTimedOut() const override { return FTimedOut; }

    // Called on the monitor's thread when the time limit runs out.
    void DoTimeout() override;

    std::int32_t GetThrottleSpeed() const { return FThrottleSpeed; }
    void SetThrottleSpeed(std::int32_t value);

    // "1 KB", "3 MB", "1024 bytes": whole units, rounded down.
    static std::string SizeInUnits(std::int64_t bytes);
    // Folders count 0.
    static std::int64_t GetTotalUploadSize(const TFTPItemList& items);

protected:
    bool DoFTPOperation(IFTPConnectionObject& connection) override;
    void FileUploaded(std::int64_t size) override;

private:
    friend struct TFTPUploadFileActionProperties;

    // What one run counts; DoTimeout reads the current file's two counters on the monitor's thread.
    // The meter counts the whole run.
    struct TUploadRun {
        quillate::TTransferMeter Meter;
        std::int64_t TotalSize = 0;
        // The files already sent whole.
        std::int64_t UploadedBytes = 0;
        std::atomic<std::int64_t> CurrentFileSize{0};
        std::atomic<std::int64_t> CurrentFileSent{0};
        int LastPercent = 0;
    };

    void OnFTPWorkBegin(TUploadRun& run, net::TWorkMode mode, std::int64_t expectedSize);
    void OnFTPWork(TUploadRun& run, net::TWorkMode mode, std::int64_t count);
    void OnFTPWorkEnd(TUploadRun& run, net::TWorkMode mode);
    // base: the server's folder when the action started, which the remote names are relative to.
    bool Upload(TUploadRun& run, IFTPConnectionObject& connection, const std::string& base);

    std::string FLocalDir;
    std::string FFileSpec;
    std::string FRemoteFile;
    bool FCheckFileSizes = false;
    bool FRecursive = false;
    bool FRetryIfUploadFails = false;
    bool FUpdateOnly = false;
    std::int32_t FServerClockSkew = 0;
    bool FAutoUpdateSkew = true;
    bool FForceNextClockSkewUpdate = true;
    bool FAllowGap = true;
    std::int32_t FGapLength = 5;
    bool FThrottleUpload = false;
    std::int32_t FThrottleSpeed = 128;
    bool FEnableTimeout = false;
    std::uint32_t FTimeoutLength = 10;
    bool FUseFileSpec = true;
    std::string FFileSetName;

    // The run under way, which DoFTPOperation owns; null between runs.
    std::atomic<TUploadRun*> FRun{nullptr};
    // Outlives the run: the runner asks for it once the run is over.
    std::atomic<bool> FTimedOut{false};
};

} // namespace zr
