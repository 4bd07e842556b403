// TFTPBaseAction: the frame every FTP action runs in. It finds the named connection, reconnects it
// when asked, routes its protocol log into the action's log while the step runs, and releases it.
#pragma once

#include <atomic>
#include <filesystem>
#include <optional>
#include <mutex>

#include "ftp/ZRFTPConnection.h"
#include "ftp/ZRFTPTree.h"
#include "host/Action.h"

namespace zr {

using TFTPItemList = std::vector<TFTPItem>;

class TFTPBaseAction : public quillate::TZRAction {
public:
    TFTPBaseAction();
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }

    bool Execute() override;
    std::string GetFormattedDescription() const override;
    void TerminateAction() override;

    std::string GetConnectionName() const { return FConnectionName; }
    void SetConnectionName(const std::string& value) { FConnectionName = value; }

protected:
    // The action's own step; true is success. Exceptions pass to the host.
    virtual bool DoFTPOperation(IFTPConnectionObject& connection) = 0;

    // True when the user stopped the action; the first call after the stop logs it once.
    bool CheckOperationAborted();
    // Information lines that are logged only while the step runs.
    void SendFTPMessage(const std::string& text);
    void OnFTPLogMessage(const std::string& text, TConnMessageType type);

    // Local entries no upload can send are skipped with a warning naming them: a name that no command
    // could carry (CR, LF or NUL) and a link that points nowhere.
    bool SkippedLocalEntry(const std::filesystem::directory_entry& entry, const std::string& folder);
    // The same for an entry already looked at: danglingLink is a link whose target is not there.
    bool SkippedLocalEntry(const std::string& name, bool danglingLink, const std::string& folder);
    // Gathering local files into items relative to a base folder.
    TFTPItemList GetFilesFromDirectoryAndFileSpec(const std::string& directory, const std::string& mask,
                                                  bool recursive);
    // Each line a path or a mask; the first match of each line is taken.
    TFTPItemList GetFilesFromStringList(const quillate::TStringList& lines, const std::string& baseDirectory);
    // Empty and logged when the file set does not exist.
    std::optional<TFTPItemList> GetFilesFromFileSet(const std::string& name);
    static TFTPItem GetFileFromSearchRecord(const std::filesystem::directory_entry& entry,
                                            const std::string& baseDirectory);

    // Uploading items into a remote tree rooted at the folder the server is in when the first item goes.
    // The folder carried between calls lets consecutive uploads into one folder skip every directory change.
    struct TRemotePosition {
        std::string RelativeDirectory;
    };
    void UploadFile(const TFTPItem& local, const TFTPItem& remote, IFTPConnectionObject& connection,
                    TRemotePosition& position);
    void UploadFileRenamed(const TFTPItem& local, const std::string& relativePath, IFTPConnectionObject& connection,
                           TRemotePosition& position);
    // The server must be in remoteBase; it is sent back there once every item is up.
    bool UploadFiles(const TFTPItemList& items, const std::string& remoteBase, IFTPConnectionObject& connection);
    // Moves the server from one folder below the base to another, creating missing folders; returns the
    // new relative folder with a leading "/".
    static std::string WalkToDirectory(IFTPConnectionObject& connection, const std::string& current,
                                       const std::string& target);
    // After each whole file UploadFile sent, for an action that counts them.
    virtual void FileUploaded(std::int64_t /*size*/) {}

private:
    friend struct TFTPBaseActionProperties;

    std::string FConnectionName;
    bool FAutoReConnect = false;
    bool FDetailedLogging = false;

    std::mutex FLogLock;
    bool FInOperation = false;
    IFTPConnectionObjectPtr FConnection;
    bool FAbortReported = false;
};

} // namespace zr
