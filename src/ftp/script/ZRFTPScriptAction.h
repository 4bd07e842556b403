// "FTP Client (DEPRECATED)": a self-contained FTP action with its own connection (FTP or SFTP) that
// connects, runs its list of script steps in order and disconnects, all within one run. Kept for older
// projects.
#pragma once

#include "ftp/ZRFTPConnection.h"
#include "host/Action.h"
#include "net/FTPClient.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zr {

// One step of the script. Steps are stored as the action's children, in list order.
class TFTPScriptItem : public quillate::TSerializableObject {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }

    // A new step of the same class, created with its initial values and then given every property
    // of this one.
    std::shared_ptr<TFTPScriptItem> Clone() const;

    bool FIgnoreError = false;
    bool FEnabled = true;
};

// A step whose result goes into a host variable.
class TFTPScriptIntoVariable : public TFTPScriptItem {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }
    std::string FVariableName;
};

class TFTPScriptGetCurrentDir : public TFTPScriptIntoVariable {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }
};

class TFTPScriptListDir : public TFTPScriptIntoVariable {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }
    std::string FSpec;
    bool FDetails = false;
};

// A step on one remote directory.
class TFTPScriptRemoteDir : public TFTPScriptItem {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }
    std::string FRemoteDir;
};

class TFTPScriptChangeDir : public TFTPScriptRemoteDir {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }
};

class TFTPScriptMakeDir : public TFTPScriptRemoteDir {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }
};

class TFTPScriptDeleteDir : public TFTPScriptRemoteDir {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }
};

class TFTPScriptChangeDirUp : public TFTPScriptItem {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }
};

// A step on one remote file.
class TFTPScriptRemoteFile : public TFTPScriptItem {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }
    std::string FRemoteFile;
};

class TFTPScriptDeleteFile : public TFTPScriptRemoteFile {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }
};

class TFTPScriptFileSize : public TFTPScriptRemoteFile {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }
    std::string FVariableName;
};

class TFTPScriptRenameFile : public TFTPScriptRemoteFile {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }
    std::string FNewName;
};

// A local name with '*' or '?' uploads every matching file under its own name instead.
class TFTPScriptUploadFile : public TFTPScriptRemoteFile {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }
    std::string FLocalFile;
    bool FCompareFileSize = false;
};

// Uses the remote and local file of its parent; the size comparison is for uploads only.
class TFTPScriptDownloadFile : public TFTPScriptUploadFile {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }
};

using TFTPScriptItemPtr = std::shared_ptr<TFTPScriptItem>;

class TFTPAction : public quillate::TZRAction {
public:
    // The key of both stored passwords, the same in every project.
    static constexpr const char* PasswordKey = "qzr4ftpscr1pt";

    TFTPAction();
    ~TFTPAction() override;
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }

    bool Execute() override;
    bool Validate(quillate::TValidationErrors& errors) override;
    std::string GetActionName() const override { return "FTP Client (DEPRECATED)"; }
    void InitialiseScriptParams(const std::string& scriptName, quillate::TScriptParams& params) override;
    void GetChildren(quillate::TSerializableList& children) const override;
    void AddChildObject(std::shared_ptr<quillate::TSerializableObject> child) override;
    void ClearChildren() override { FItems.clear(); }

    // The global FTP options' values when UseGlobalOptions is set.
    std::string GetHost() const;
    std::string GetPassword() const;
    void SetPassword(const std::string& clearText);
    std::string GetEncryptedPassword() const { return FEncryptedPassword; }
    void SetEncryptedPassword(const std::string& stored);
    std::string GetProxyPassword() const { return FProxyPassword; }
    void SetProxyPassword(const std::string& clearText);
    std::string GetProxyCookie() const { return FProxyCookie; }
    void SetProxyCookie(const std::string& stored);

private:
    friend struct TFTPActionProperties;

    TFTPStoredConnectionSettings StoredSettings() const;

    bool RunItems(IFTPConnectionObject& connection);
    void RunItem(IFTPConnectionObject& connection, const TFTPScriptItem& item);
    void UploadFile(IFTPConnectionObject& connection, const TFTPScriptUploadFile& item);
    void UploadOne(IFTPConnectionObject& connection, const std::string& local, const std::string& remote,
                   bool compareSize);
    // The connection's traffic: with detailed logging the commands sent; its warnings always.
    void ConnectionMessage(const std::string& text, TConnMessageType type);
    void ChangedDir(const std::string& dir);
    // Runs the event's script, when the project gives it one, with "Action" and the named values.
    void RunScriptEvent(const std::string& name,
                        const std::vector<std::pair<std::string, std::string>>& values = {});
    void LogMessage(const std::string& text, const std::string& data);
    void WorkBegin(net::TWorkMode mode, std::int64_t expected);
    void Work(net::TWorkMode mode, std::int64_t bytesSoFar);
    void WorkEnd(net::TWorkMode mode);

    std::string FHost;
    std::int32_t FPort = 21;
    std::string FUserID;
    bool FPassive = false;
    bool FDetailedLogging = false;
    std::string FPassword;
    std::string FEncryptedPassword;
    net::TFTPTransferType FTransferType = net::TFTPTransferType::ftBinary;
    bool FUseGlobalOptions = false;
    bool FUseProxy = false;
    std::string FProxyUsername;
    std::string FProxyPassword;
    std::string FProxyCookie;
    std::string FProxyServer;
    std::int32_t FProxyPort = 0;
    net::TFTPProxyType FProxyType = net::TFTPProxyType::fpcmNone;
    net::TFTPSecurity FSecurity = net::TFTPSecurity::fsNone;
    bool FSecureData = true;
    TFTPProtocol FProtocol = TFTPProtocol::cpFTP;
    std::string FHostKeyFingerprint;
    std::string FPrivateKeyFile;
    std::string FPrivateKeyCookie;

    std::vector<TFTPScriptItemPtr> FItems;

    std::string FCurrentDir = "/";
    quillate::TTransferMeter FMeter;
    int FPercent = 0;
};

} // namespace zr
