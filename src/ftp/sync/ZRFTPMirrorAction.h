// "FTP Mirror": makes a remote folder tree equal to a local one, or the other way round, over a
// named connection, with exclusions, orphan deletion, upload retries, keep-alives and progress lines.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include "ftp/sync/ZRFTPDiffBaseAction.h"
#include "ftp/sync/ZRFTPMirrorOptions.h"
#include "ftp/sync/ZRFTPTransferPool.h"
#include "host/TimeoutMonitor.h"

namespace zr {

class TFTPMirrorAction : public TFTPDiffBaseAction, public quillate::IZRTimeoutTarget {
public:
    TFTPMirrorAction();
    ~TFTPMirrorAction() override;
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }

    std::string GetActionName() const override { return "FTP Mirror"; }
    std::string GetFormattedDescription() const override;
    int GetHelpTopicID() const override { return 11035; }
    bool Validate(quillate::TValidationErrors& errors) override;
    void GetPropertyAlias(quillate::TStringList& list) const override;
    void GetPropertyHelp(quillate::TStringList& list) const override;
    void GetChildren(quillate::TSerializableList& children) const override;
    void AddChildObject(std::shared_ptr<quillate::TSerializableObject> child) override;
    void StopSignalled() override;
    void TerminateAction() override;
    bool GetTimedOut() const override { return FTimedOut; }
    void DoTimeout() override;

protected:
    bool DoFTPOperation(IFTPConnectionObject& connection) override;
    bool CheckNOOPandOperationAborted() override;
    int ListingConnections(const IFTPConnectionObject& connection) const override;
    bool ReusesListingConnections(const IFTPConnectionObject& connection) const override;
    bool ListsWholeTrees() const override { return true; }

private:
    friend struct TFTPMirrorActionProperties;
    struct TMirrorRun;
    static std::int64_t CalculateBytesToTransfers(TFTPTreeNode& tree);
    bool Run(IFTPConnectionObject& connection, const std::string& localDir, bool& failed, bool& treeFailed,
             std::string& returnTo);
    // Removes what a killed run left half written in the folders the comparison read on the target side.
    void RemoveStaleTemporaries(IFTPConnectionObject& connection, const std::string& localDir);
    void CheckKeepAlive(IFTPConnectionObject& connection);
    // Connections that carry transfers at once, the main one among them when 1.
    int TransferConnections(const IFTPConnectionObject& connection) const;
    // Progress of the transfers on one connection; slot 0 is the main one.
    void AttachProgress(IFTPConnectionObject& connection, int slot);
    void LogProgress(TMirrorRun& run, net::TWorkMode mode, int slot, bool force);
    // The extra connections of a run with more than one transfer connection, the spare ones first; null
    // otherwise.
    std::unique_ptr<TFTPTransferPool> OpenPool(IFTPConnectionObject& connection, TFTPSpareConnections spare);
    void OnFTPStatus(net::TConnectionStatus status, const std::string& text);

    std::shared_ptr<TFTPRetryOptions> FRetryOptions;
    std::shared_ptr<TFTPLoggingOptions> FLoggingOptions;
    bool FEnableTimeout = false;
    std::uint32_t FTimeoutLength = 10;
    // 0: automatic.
    std::int32_t FParallelTransfers = 0;
    std::int32_t FParallelListings = 0;

    // The state of the run under way, which DoFTPOperation owns; null between runs.
    TMirrorRun* FRun = nullptr;
    // Outlives the run: the runner asks for it once the run is over.
    std::atomic<bool> FTimedOut{false};
    // Guards FPool against a stop from another thread.
    std::mutex FPoolLock;
    TFTPTransferPool* FPool = nullptr;
};

} // namespace zr
