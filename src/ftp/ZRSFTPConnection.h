// The named connection of the FTP actions over SFTP: the same operations on an SSH server, so that
// upload, download, the folder actions, wait for file, mirror and diff run over it as they are.
#pragma once

#include "ftp/ZRFTPConnection.h"
#include "net/SFTPClient.h"

#include <chrono>
#include <memory>
#include <string>

namespace zr {

// SFTP has no current folder: this object keeps one and resolves relative paths against it. The
// settings' host, port, user and password apply; passive mode, the transfer type, HOST and TLS have no
// meaning over SSH and are left unused; a proxy fails the connect.
class TSFTPConnectObject : public TConnectionObjectBase<TSFTPConnectObject, net::TSFTPClient> {
public:
    explicit TSFTPConnectObject(const std::string& name);
    ~TSFTPConnectObject() override;

    void Connect(int timeoutSeconds) override;
    void Disconnect() override;
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
    void Upload(const std::string& local, const std::string& remote, std::int64_t startPosition,
                int maxSpeed) override;
    // Sleeps as long as sending count bytes at the upload's speed limit takes beyond the time gone.
    void Throttle(std::int64_t count);
    void Status(net::TConnectionStatus status, const std::string& text);
    [[noreturn]] void NotOverSFTP(const std::string& operation) const;

    // Absolute; empty until connected.
    std::string FCurrentDir;
    bool FDirListingDirty = true;
    TFTPListItems FDirListing;
    TFTPListItems FFolderListing;
    int FMaxSpeed = 0;
    std::chrono::steady_clock::time_point FTransferStart;
};

} // namespace zr
