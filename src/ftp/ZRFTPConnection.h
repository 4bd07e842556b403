// The named FTP connection that FTP actions share: one client, a cached listing, a protocol log with
// passwords masked, progress forwarding and an upload throttle.
#pragma once

#include "ftp/ZRFTPConnectionSettings.h"
#include "host/DateTime.h"
#include "host/LocalFolder.h"
#include "host/ProjectObjects.h"
#include "host/TransferMeter.h"
#include "net/FTPClient.h"
#include "net/LogEventIntercept.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace zr {

// The progress lines' name for the direction a transfer's work events report.
inline quillate::TTransferDirection DirectionOf(net::TWorkMode mode) {
    return mode == net::TWorkMode::wmRead ? quillate::TTransferDirection::Download
                                          : quillate::TTransferDirection::Upload;
}

// The project-object category under which connect actions register their connections.
inline constexpr const char* FTPConnectionCategory = "FTPConnection";

// Warning: something the server sent that the connection left out (a listed name it must not use);
// actions log it whether or not they log the protocol.
enum TConnMessageType : int { Received = 0, Sent = 1, Status = 2, Warning = 3 };

using TFTPLoggingEvent = std::function<void(const std::string& text, TConnMessageType type)>;
using TFTPWorkEvent = std::function<void(net::TWorkMode mode, std::int64_t count)>;
using TFTPWorkBeginEvent = std::function<void(net::TWorkMode mode, std::int64_t countMax)>;
using TFTPWorkEndEvent = std::function<void(net::TWorkMode mode)>;
using TFTPStatusEvent = std::function<void(net::TConnectionStatus status, const std::string& text)>;
using TFTPListItems = std::vector<net::TFTPListItem>;

// A listed entry's date on the local wall clock, as the actions compare dates; 0 when the listing
// gives none.
inline quillate::TDateTime ListItemDate(const net::TFTPListItem& item) {
    return item.ModifiedDate ? quillate::TimePointToDateTime(*item.ModifiedDate) : 0.0;
}

// Downloads into the file at a path below a local folder: resume continues a file that is there from its
// size, overwrite replaces one, neither refuses it. No symbolic link is written through, and a download
// that fails or is stopped leaves the local side as it was (a resumed file keeps what it got).
// expectedSize: the size the server gave before (SIZE, a listing), -1 when unknown; a binary download that
// ends at another size fails, as the server closed the transfer short, unless the server's size is now
// the one that arrived (the file changed meanwhile).
void DownloadToLocalFolder(net::TFTPClient& client, const std::string& remote, quillate::TLocalFolder& folder,
                           const std::string& local, bool overwrite, bool resume,
                           std::int64_t expectedSize = -1);

class IFTPConnectionObject : public quillate::IProjectObject {
public:
    virtual void SetName(const std::string& name) = 0;

    // Takes effect at the next Connect (the transfer type at once when connected). Without certificate
    // checks (the host option) each connect with TLS delivers one warning.
    virtual void Configure(const TFTPConnectionSettings& settings) = 0;
    virtual TFTPConnectionSettings Settings() const = 0;

    // An empty event stops delivery.
    virtual void SetOnMessage(TFTPLoggingEvent event) = 0;
    virtual TFTPLoggingEvent GetOnMessage() const = 0;
    virtual void SetOnWork(TFTPWorkEvent event) = 0;
    virtual void SetOnWorkBegin(TFTPWorkBeginEvent event) = 0;
    virtual void SetOnWorkEnd(TFTPWorkEndEvent event) = 0;
    virtual void SetOnStatus(TFTPStatusEvent event) = 0;

    // A new connection object with this one's settings, not connected, with no events attached.
    virtual std::shared_ptr<IFTPConnectionObject> NewWithSameSettings() const = 0;
    // Seconds; 0 leaves the client's default.
    virtual void Connect(int timeoutSeconds) = 0;
    virtual void Disconnect() = 0;
    // A stop through the token fails the running transfer or command on its own thread, and every
    // later one, until another token is set; connections made from this one take it along.
    virtual void SetStopToken(std::stop_token token) = 0;
    // Never raises.
    virtual bool IsConnected() = 0;
    // How many times a data connection was refused for the moment and asked for again, since the object
    // was made; a busy server shows this way that fewer connections would serve it better.
    virtual std::uint32_t TransientRefusals() const = 0;
    virtual void ChangeDir(const std::string& path) = 0;
    // ChangeDir, unless nothing sent since the last GetRemoteDir could have moved the server from path.
    virtual void ReturnToDir(const std::string& path) = 0;
    virtual std::string GetRemoteDir() = 0;
    virtual void ChangeUpDir() = 0;
    // Goes one level up and makes sure the server really moved.
    virtual void SafeChangeUpDir() = 0;
    virtual std::int64_t FileCRC(const std::string& path) = 0;
    // Whether FileCRC can be asked of this server (it listed XCRC among its features at the login).
    virtual bool OffersFileCRC() = 0;
    // Whether the server's dates need the skew probe before they are compared with ours: FTP listings
    // show the server's clock, often in a zone nobody states.
    virtual bool NeedsSkewProbe() const { return true; }
    // The listing's lines joined by CR LF.
    virtual std::string ListDirectory(const std::string& path, bool details) = 0;
    // The cached listing of the current directory; refreshed from the server only when stale. Entries
    // whose names must not be used are left out, each with a warning.
    virtual const TFTPListItems& GetDirectoryListItems(bool refresh) = 0;
    // The entries of the folder at path, listed without moving the server (MLSD path, or LIST path where
    // the server has no MLSD), unsafe names left out as above. Null when a LIST argument could not name
    // the folder exactly (wildcards, a leading "-"): the caller then lists from inside it. Valid until the
    // next call; the cached listing of the current directory is left as it was.
    virtual const TFTPListItems* ListFolder(const std::string& path) = 0;
    // The raw lines of a listing of the whole tree below path ("LIST -aR"); false, with nothing sent, when
    // path cannot be given to LIST exactly. Servers that do not offer it answer with an error or the
    // folder alone.
    virtual bool ListTree(const std::string& path, std::vector<std::string>& lines) = 0;
    virtual std::int64_t GetFileSize(const std::string& path) = 0;
    virtual quillate::TDateTime GetFileDate(const std::string& path) = 0;
    virtual void CreateDir(const std::string& path) = 0;
    // With deleteContents, files and links inside are deleted and folders emptied depth first; links are
    // never followed.
    virtual void DeleteDir(const std::string& path, bool deleteContents) = 0;
    virtual void DeleteFile(const std::string& path) = 0;
    virtual void RenameFile(const std::string& oldName, const std::string& newName) = 0;
    // maxSpeed in bytes per second, 0 or less for none; the last argument is not used.
    virtual void UploadFile(const std::string& local, const std::string& remote, int maxSpeed,
                            std::int64_t unused) = 0;
    // Continues the server's copy from startPosition.
    virtual void Resume(const std::string& local, const std::string& remote, std::int64_t startPosition,
                        int maxSpeed) = 0;
    // Into the file at a path below the folder; see DownloadToLocalFolder.
    virtual void DownloadFile(const std::string& remote, quillate::TLocalFolder& folder,
                              const std::string& local, bool overwrite, bool resume,
                              std::int64_t expectedSize = -1) = 0;
    virtual void NOOP() = 0;
    // Throws the old client away for a fresh one with the default settings.
    virtual void InitialiseFTP() = 0;
    // The reply code, CR LF, then every line of the reply each ended by CR LF.
    virtual std::string SendCMD(const std::string& command, const std::string& expected) = 0;
    virtual bool SetFileDate(const std::string& path, quillate::TDateTime date, std::string& message) = 0;
};

using IFTPConnectionObjectPtr = std::shared_ptr<IFTPConnectionObject>;

// Connect(0) for the actions that reconnect without logging the protocol: the connection's warnings
// (an unverified certificate) still reach their log through warn.
void ReconnectWithWarnings(IFTPConnectionObject& connection,
                           const std::function<void(const std::string&)>& warn);

// Puts the connection an action works on under the stop of that action's run for one scope, so
// that a stop ends its work whenever it comes: before, during or between two commands. Later
// actions find it unstopped.
class TConnectionStopScope {
public:
    TConnectionStopScope(IFTPConnectionObjectPtr connection, std::stop_token token);
    ~TConnectionStopScope();
    TConnectionStopScope(const TConnectionStopScope&) = delete;
    TConnectionStopScope& operator=(const TConnectionStopScope&) = delete;

private:
    IFTPConnectionObjectPtr FConnection;
};

// The protocol log on the control connection, in the form FTP actions show it: the network
// library cuts the traffic into lines and masks secrets; on top of that FTP's own rule masks every
// sent line that mentions a password.
class TZRIdLogEvent : public net::TLogEventIntercept {
public:
    using TDataEvent = std::function<void(const std::string& text, const std::string& line)>;
    using TStatusText = std::function<void(const std::string& text)>;

    TZRIdLogEvent();

    // Any line containing "pass" in any letter case becomes "PASS xxx".
    static void ObfuscatePassword(std::string& line);

    void SetPeer(std::string peer) { FPeer = std::move(peer); }
    TDataEvent OnReceived;
    TDataEvent OnSent;
    TStatusText OnStatus;

private:
    void Deliver(net::TLogEventType type, std::string_view line);

    std::string FPeer;
};

// A warning through handler for each of the names a listing refused, and one for those past the list.
void WarnRefusedNamesTo(const TFTPLoggingEvent& handler, const std::vector<net::TRefusedName>& refused,
                        std::size_t count);

// What the connection objects of both protocols keep alike: the name, the settings, the events and the
// delivery of messages, the stop token and the client it is handed to. TSelf: the object itself, for
// NewWithSameSettings; TClient: its protocol's client.
template <class TSelf, class TClient>
class TConnectionObjectBase : public IFTPConnectionObject {
public:
    explicit TConnectionObjectBase(const std::string& name) : FName(name) {}

    std::string GetName() const override {
        std::lock_guard lock(FNameLock);
        return FName;
    }
    std::string GetCategory() const override { return FTPConnectionCategory; }
    void SetName(const std::string& name) override {
        std::lock_guard lock(FNameLock);
        FName = name;
    }

    void Configure(const TFTPConnectionSettings& settings) override { FSettings = settings; }
    TFTPConnectionSettings Settings() const override { return FSettings; }

    void SetOnMessage(TFTPLoggingEvent event) override {
        std::lock_guard lock(FMessageLock);
        FOnMessage = std::move(event);
    }
    TFTPLoggingEvent GetOnMessage() const override {
        std::lock_guard lock(FMessageLock);
        return FOnMessage;
    }
    void SetOnWork(TFTPWorkEvent event) override { FOnWork = std::move(event); }
    void SetOnWorkBegin(TFTPWorkBeginEvent event) override { FOnWorkBegin = std::move(event); }
    void SetOnWorkEnd(TFTPWorkEndEvent event) override { FOnWorkEnd = std::move(event); }
    void SetOnStatus(TFTPStatusEvent event) override { FOnStatus = std::move(event); }

    std::shared_ptr<IFTPConnectionObject> NewWithSameSettings() const override {
        auto copy = std::make_shared<TSelf>(GetName());
        copy->Configure(FSettings);
        copy->SetStopToken(StopToken());
        return copy;
    }
    void SetStopToken(std::stop_token token) override {
        std::lock_guard lock(FClientLock);
        FStopToken = std::move(token);
        if (FClient)
            FClient->SetStopToken(FStopToken);
    }
    void UploadFile(const std::string& local, const std::string& remote, int maxSpeed, std::int64_t) override {
        Upload(local, remote, -1, maxSpeed);
    }
    void Resume(const std::string& local, const std::string& remote, std::int64_t startPosition,
                int maxSpeed) override {
        Upload(local, remote, startPosition, maxSpeed);
    }

protected:
    // startPosition: where the server's copy is continued from; -1 sends the whole file.
    virtual void Upload(const std::string& local, const std::string& remote, std::int64_t startPosition,
                        int maxSpeed) = 0;
    // The handler is taken under the lock and called outside it, so it may set another.
    void Deliver(const std::string& line, TConnMessageType type) const {
        if (TFTPLoggingEvent handler = GetOnMessage())
            handler(line, type);
    }
    // One warning for each name the client's last listing refused.
    void WarnRefusedNames() const {
        if (TFTPLoggingEvent handler = GetOnMessage())
            WarnRefusedNamesTo(handler, FClient->RefusedNames(), FClient->RefusedNameCount());
    }
    std::stop_token StopToken() const {
        std::lock_guard lock(FClientLock);
        return FStopToken;
    }
    // The client in use gives way to this one, which takes the stop token along; the old one is torn
    // down outside the lock.
    void ReplaceClient(std::unique_ptr<TClient> client) {
        std::unique_ptr<TClient> old;
        std::lock_guard lock(FClientLock);
        old = std::move(FClient);
        FClient = std::move(client);
        FClient->SetStopToken(FStopToken);
    }

    // Replaced only under FClientLock (a stop token may be set from another thread).
    std::unique_ptr<TClient> FClient;
    TFTPConnectionSettings FSettings;
    TFTPWorkEvent FOnWork;
    TFTPWorkBeginEvent FOnWorkBegin;
    TFTPWorkEndEvent FOnWorkEnd;
    TFTPStatusEvent FOnStatus;

private:
    mutable std::mutex FClientLock;
    std::stop_token FStopToken;
    mutable std::mutex FNameLock;
    std::string FName;
    mutable std::mutex FMessageLock;
    TFTPLoggingEvent FOnMessage;
};

class TFTPConnectObject : public TConnectionObjectBase<TFTPConnectObject, net::TFTPClient> {
public:
    explicit TFTPConnectObject(const std::string& name);
    ~TFTPConnectObject() override;

    void Configure(const TFTPConnectionSettings& settings) override;

    void Connect(int timeoutSeconds) override;
    void Disconnect() override;
    bool IsConnected() override;
    std::uint32_t TransientRefusals() const override { return FTransientRefusals.load(); }
    void ChangeDir(const std::string& path) override;
    void ReturnToDir(const std::string& path) override;
    std::string GetRemoteDir() override;
    void ChangeUpDir() override;
    void SafeChangeUpDir() override;
    std::int64_t FileCRC(const std::string& path) override;
    bool OffersFileCRC() override;
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
    // depth: how far below the folder the delete was asked for dir lies (1 for that folder itself).
    void DeleteDirContents(const std::string& dir, std::size_t depth = 1);
    // The current folder's entries for a recursive delete, links typed as links.
    std::vector<std::pair<std::string, net::TFTPItemType>> ListForDelete();
    void LogStatusWithData(const std::string& text, const std::string& data);
    void OnDataChannelCreate(net::TTCPConnection& dataChannel);
    void Upload(const std::string& local, const std::string& remote, std::int64_t startPosition,
                int maxSpeed) override;

    int FMaxTransferSpeed = 0;
    std::atomic<std::uint32_t> FTransientRefusals{0};
    std::shared_ptr<TZRIdLogEvent> FLog;
    bool FDirListingDirty = true;
    TFTPListItems FDirListing;
    TFTPListItems FFolderListing;
    // The server's answer to the last PWD; dropped before any command that may move the server.
    std::optional<std::string> FKnownRemoteDir;
};

} // namespace zr
