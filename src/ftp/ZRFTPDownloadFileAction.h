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

    void OnFTPWorkBegin(net::TWorkMode mode, std::int64_t expected);
    void OnFTPWork(net::TWorkMode mode, std::int64_t count);
    void OnFTPWorkEnd(net::TWorkMode mode);

private:
    friend struct TFTPDownloadFileActionProperties;

    std::string FFileName;
    bool FAllowResume = false;
    bool FAllowOverwrite = false;
    std::string FDownloadDir;
    std::string FDownloadFileName;
    bool FUseFileName = false;
    bool FEnableTimeout = false;
    std::uint32_t FTimeoutLength = 10;

    // Run state. DoTimeout reads the meter's counts on the monitor's thread.
    quillate::TTransferMeter FMeter;
    std::atomic<bool> FTimedOut{false};
};

} // namespace zr
