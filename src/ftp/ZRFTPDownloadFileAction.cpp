#include "ftp/ZRFTPDownloadFileAction.h"

#include <algorithm>
#include <filesystem>
#include <fmt/format.h>
#include <memory>

namespace zr {

using namespace quillate;
namespace fs = std::filesystem;

struct TFTPDownloadFileActionProperties {
    using T = TFTPDownloadFileAction;
    static void Define(TPropertyTable& table) {
        TPropertyBuilder<T>(table)
            .String("FileName", &T::FFileName)
            .Help("Remote file name or path")
            .Bool("AllowResume", &T::FAllowResume)
            .Help("Continue a partial local copy from its size")
            .Bool("AllowOverwrite", &T::FAllowOverwrite)
            .Help("Replace an existing local file")
            .String("DownloadDir", &T::FDownloadDir)
            .Help("Local folder that receives the file")
            .String("DownloadFileName", &T::FDownloadFileName)
            .Help("Local file name when UseFileName is off")
            .Bool("UseFileName", &T::FUseFileName)
            .Help("Name the local file after the remote file")
            .Bool("EnableTimeout", &T::FEnableTimeout)
            .Help("Abort the download when it takes longer than TimeoutLength")
            .UInt("TimeoutLength", &T::FTimeoutLength)
            .Help("Time limit in minutes");
    }
};

const TMetaClass& TFTPDownloadFileAction::ClassInfo() {
    static const TMetaClass meta = TMetaClass::Of<TFTPDownloadFileAction>(
        "TFTPDownloadFileAction", "action.ftp.file.download", &TFTPBaseAction::ClassInfo(),
        &TFTPDownloadFileActionProperties::Define);
    return meta;
}

std::string TFTPDownloadFileAction::GetFormattedDescription() const {
    return fmt::format("{} [ {} ]", TFTPBaseAction::GetFormattedDescription(), FFileName);
}

bool TFTPDownloadFileAction::DoFTPOperation(IFTPConnectionObject& connection) {
    FTimedOut = false;
    TDownloadRun run;
    FRun = &run;
    struct TEndRun {
        std::atomic<TDownloadRun*>& Run;
        ~TEndRun() { Run = nullptr; }
    } endRun{FRun};
    if (GetRunStopped())
        return false;
    try {
        std::string remote, dir, localName;
        if (!TryExpandExpression("Remote filename", FFileName, remote, true) ||
            !TryExpandExpression("Download directory", FDownloadDir, dir, true))
            return false;
        // Only the remote file's own name is taken, so a remote path never reaches above the folder.
        if (FUseFileName)
            localName = remote.substr(remote.rfind('/') + 1);
        else if (!TryExpandExpression("Local filename", FDownloadFileName, localName, true))
            return false;

        const std::int64_t serverSize = connection.GetFileSize(remote);
        run.Meter.SetExpected(serverSize);
        bool resume = FAllowResume;
        bool overwrite = FAllowOverwrite;
        TLocalFolder folder(dir);
        const std::string localPath = folder.PathOf(localName);

        std::error_code ec;
        if (resume && overwrite && fs::is_regular_file(fs::symlink_status(localPath, ec))) {
            // Sizes stay 64-bit on both sides: files past 4 GiB must compare correctly.
            auto localSize = static_cast<std::int64_t>(fs::file_size(localPath));
            if (serverSize <= localSize) {
                SendMessage("(Both resume & overwrite are enabled. Intact local file will be overwritten.)",
                            stInformation);
                resume = false;
            } else {
                SendMessage("(Both resume & overwrite are enabled. Incomplete local file will be resumed.)",
                            stInformation);
                overwrite = false;
            }
        }

        std::unique_ptr<TTimeoutMonitorThread> monitor;
        // Declared after the monitor and the run's end so that it runs first: the handlers go, then the
        // monitor is stopped (Stop waits for a DoTimeout already running), all before a failure is logged
        // below.
        struct TCleanup {
            IFTPConnectionObject& Connection;
            std::unique_ptr<TTimeoutMonitorThread>& Monitor;
            ~TCleanup() {
                Connection.SetOnWork(nullptr);
                Connection.SetOnWorkBegin(nullptr);
                Connection.SetOnWorkEnd(nullptr);
                if (Monitor && !Monitor->Finished())
                    Monitor->Stop();
                Monitor.reset();
            }
        } cleanup{connection, monitor};

        connection.SetOnWorkBegin([this, &run](net::TWorkMode mode, std::int64_t expected) {
            OnFTPWorkBegin(run, mode, expected);
        });
        connection.SetOnWork(
            [this, &run](net::TWorkMode mode, std::int64_t count) { OnFTPWork(run, mode, count); });
        connection.SetOnWorkEnd([this, &run](net::TWorkMode mode) { OnFTPWorkEnd(run, mode); });
        if (FEnableTimeout) {
            monitor = std::make_unique<TTimeoutMonitorThread>(*this, TimeoutMinutes(FTimeoutLength));
        }

        connection.DownloadFile(remote, folder, localName, overwrite, resume, serverSize);
        if (GetRunStopped())
            return false;
        SendMessage(fmt::format("File Downloaded : {} bytes", run.Meter.Bytes()), stSuccess);
        return true;
    } catch (const std::exception& e) {
        LogFailure("File Download failed.", e);
        return false;
    }
}

void TFTPDownloadFileAction::OnFTPWorkBegin(TDownloadRun& run, net::TWorkMode mode, std::int64_t expected) {
    run.Meter.Begin(expected);
    SendProgress(run.Meter.SpeedText(DirectionOf(mode)), 0);
}

void TFTPDownloadFileAction::OnFTPWork(TDownloadRun& run, net::TWorkMode mode, std::int64_t count) {
    TTransferMeter& meter = run.Meter;
    meter.Update(count);
    // One line a second at most, except the one that completes the file, so that the last line shows
    // the whole count.
    bool complete = meter.Expected() > 0 && count >= meter.Expected();
    if (!meter.Due(std::chrono::seconds(1)) && !complete)
        return;
    SendProgress(meter.TransferredText(DirectionOf(mode)), meter.Percent());
}

void TFTPDownloadFileAction::OnFTPWorkEnd(TDownloadRun& run, net::TWorkMode mode) {
    SendProgress(run.Meter.SpeedText(DirectionOf(mode)), 0);
    run.Meter.End();
}

void TFTPDownloadFileAction::DoTimeout() {
    FTimedOut = true;
    SendFTPMessage(fmt::format("FTP Download Timed Out after {} minutes.", FTimeoutLength));
    // The monitor is stopped before the run ends, so a run it times out is still there.
    if (const TDownloadRun* run = FRun.load())
        SendFTPMessage(fmt::format("{} / {} bytes downloaded.", run->Meter.Bytes(), run->Meter.Expected()));
    TerminateAction();
}

} // namespace zr
