// "FTP Download file": fetches one remote file into a local folder over a named connection, resuming or
// replacing a local copy, with a speed/percentage progress line and an optional time limit.
#pragma once

#include "ftp/ZRFTPBaseAction.h"
#include "host/TimeoutMonitor.h"

#include <atomic>
#include <chrono>
#include <cstdint>

namespace zr {

class TFTPDownloadFileAction : public TFTPBaseAction, public quillate::IZRTimeoutTarget {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }

    std::string GetActionName() const override { return "FTP Download file"; }
    std::string GetFormattedDescription() const override;
    bool GetTimedOut() const override { return FTimedOut; }

    // Called by the time-limit monitor on its own thread: logs, then aborts the transfer.
    void DoTimeout() override;

protected:
    bool DoFTPOperation(IFTPConnectionObject& connection) override;

private:
    friend struct TFTPDownloadFileActionProperties;

    // What one run counts; DoTimeout reads it on the monitor's thread.
    struct TDownloadRun {
        quillate::TTransferMeter Meter;
    };

    void OnFTPWorkBegin(TDownloadRun& run, net::TWorkMode mode, std::int64_t expected);
    void OnFTPWork(TDownloadRun& run, net::TWorkMode mode, std::int64_t count);
    void OnFTPWorkEnd(TDownloadRun& run, net::TWorkMode mode);

    std::string FFileName;
    bool FAllowResume = false;
    bool FAllowOverwrite = false;
    std::string FDownloadDir;
    std::string FDownloadFileName;
    bool FUseFileName = false;
    bool FEnableTimeout = false;
    std::uint32_t FTimeoutLength = 10;

    // The run under way, which DoFTPOperation owns; null between runs.
    std::atomic<TDownloadRun*> FRun{nullptr};
    // Outlives the run: the runner asks for it once the run is over.
    std::atomic<bool> FTimedOut{false};
};

} // namespace zr
