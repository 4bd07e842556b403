// The named connection of the FTP actions over SFTP: the same operations on an SSH server, so that
// upload, download, the folder actions, wait for file, mirror and diff run over it as they are.
#pragma once

#include "ftp/ZRFTPConnection.h"
#include "net/SFTPClient.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>

namespace zr {

// SFTP has no current folder: this object keeps one and resolves relative paths against it. The
// settings' host, port, user and password apply; passive mode, the transfer type, HOST and TLS have no
// meaning over SSH and are left unused; a proxy fails the connect.
class TSFTPConnectObject : public IFTPConnectionObject,
                           public std::enable_shared_from_this<TSFTPConnectObject> {
public:
    explicit TSFTPConnectObject(const std::string& name);
    ~TSFTPConnectObject() override;

    std::string GetName() const override;
    std::string GetCategory() const override { return FTPConnectionCategory; }
    void SetName(const std::string& name) override;

    void Configure(const TFTPConnectionSettings& settings) override;
    TFTPConnectionSettings Settings() const override { return FSettings; }

    void SetOnMessage(TFTPLoggingEvent event) override;
    TFTPLoggingEvent GetOnMessage() const override;
    void SetOnWork(TFTPWorkEvent event) override { FOnWork = std::move(event); }
    void SetOnWorkBegin(TFTPWorkBeginEvent event) override { FOnWorkBegin = std::move(event); }
    void SetOnWorkEnd(TFTPWorkEndEvent event) override { FOnWorkEnd = std::move(event); }
    void SetOnStatus(TFTPStatusEvent event) override { FOnStatus = std::move(event); }

    std::shared_ptr<IFTPConnectionObject> NewWithSameSettings() const override;
    void Connect(int timeoutSeconds) override;
    void Disconnect() override;
    void SetStopToken(std::stop_token token) override;
    bool IsConnected() override;
    std::uint32_t TransientRefusals() const override { return 0; }
    void ChangeDir(const std::string& path) override;
    void ReturnToDir(const std::string& path) override;
    std::string GetRemoteDir() override;
    void ChangeUpDir() override;
    void SafeChangeUpDir() override;
    std::int64_t FileCRC(const std::string& path) override;
    bool OffersFileCRC() override { return false; }
    // Times come exact, in UTC.
    bool NeedsSkewProbe() const override { return false; }
    std::string ListDirectory(const std::string& path, bool details) override;
    const TFTPListItems& GetDirectoryListItems(bool refresh) override;
    const TFTPListItems* ListFolder(const std::string& path) override;
    bool ListTree(const std::string& path, std::vector<std::string>& lines) override;
    std::int64_t GetFileSize(const std::string& path) override;
    quillate::TDateTime GetFileDate(const std::string& path) override;
    void CreateDir(const std::string& path) override;
    void DeleteDir(const std::string& path, bool deleteContents) override;
    void DeleteFile(const std::string& path) override;
    void RenameFile(const std::string& oldName, const std::string& newName) override;
    void UploadFile(const std::string& local, const std::string& remote, int maxSpeed,
                    std::int64_t unused) override;
    void Resume(const std::string& local, const std::string& remote, std::int64_t startPosition,
                int maxSpeed) override;
    void DownloadFile(const std::string& remote, quillate::TLocalFolder& folder, const std::string& local,
                      bool overwrite, bool resume, std::int64_t expectedSize) override;
    void NOOP() override;
    void InitialiseFTP() override;
    std::string SendCMD(const std::string& command, const std::string& expected) override;
    bool SetFileDate(const std::string& path, quillate::TDateTime date, std::string& message) override;

private:
    // path against the current folder; empty is the current folder itself.
    std::string Resolve(const std::string& path) const;
    void DeleteTree(const std::string& dir, std::size_t depth);
    // Stat, a missing name failing as FTP's does.
    net::TSFTPAttributes StatOrUnavailable(const std::string& target);
    void Upload(const std::string& local, const std::string& remote, std::int64_t startPosition,
                int maxSpeed);
    // Sleeps as long as sending count bytes at the upload's speed limit takes beyond the time gone.
    void Throttle(std::int64_t count);
    void WarnRefusedNames();
    void Deliver(const std::string& line, TConnMessageType type);
    void Status(net::TConnectionStatus status, const std::string& text);
    [[noreturn]] void NotOverSFTP(const std::string& operation) const;

    mutable std::mutex FClientLock;
    std::stop_token FStopToken;
    std::unique_ptr<net::TSFTPClient> FClient;
    mutable std::mutex FNameLock;
    std::string FName;
    TFTPConnectionSettings FSettings;
    // Absolute; empty until connected.
    std::string FCurrentDir;
    bool FDirListingDirty = true;
    TFTPListItems FDirListing;
    TFTPListItems FFolderListing;
    int FMaxSpeed = 0;
    std::chrono::steady_clock::time_point FTransferStart;
    mutable std::mutex FMessageLock;
    TFTPLoggingEvent FOnMessage;
    TFTPWorkEvent FOnWork;
    TFTPWorkBeginEvent FOnWorkBegin;
    TFTPWorkEndEvent FOnWorkEnd;
    TFTPStatusEvent FOnStatus;
};

} // namespace zr
