// The actions that manage a named FTP connection: "FTP Connect" owns and opens it, "FTP Disconnect"
// closes it, "FTP Check If Connected" tests it and reconnects it for the actions below it.
#pragma once

#include "ftp/ZRFTPBaseAction.h"
#include "ftp/ZRFTPConnection.h"
#include "host/Action.h"

namespace zr {

const quillate::TEnumInfo& FTPTransferTypeInfo();
const quillate::TEnumInfo& FTPProxyTypeInfo();
const quillate::TEnumInfo& FTPSecurityInfo();
const quillate::TEnumInfo& FTPProtocolInfo();

// The SFTP properties FTP Connect and the script action both store, under one set of names and helps;
// the passphrase is kept encrypted under the action's password key like its password.
template <class T>
void DefineSFTPProperties(quillate::TPropertyBuilder<T>& builder, TFTPProtocol T::*protocol,
                          std::string T::*hostKeyFingerprint, std::string T::*privateKeyFile,
                          std::string T::*privateKeyCookie, const char* passwordKey) {
    builder.Enum("Protocol", FTPProtocolInfo(), protocol)
        .Help("cpSFTP: the same actions over SSH (port 22 where the port is left at 21)")
        .String("HostKeyFingerprint", hostKeyFingerprint)
        .Help("SFTP: the server's key as OpenSSH shows it (SHA256:...); empty: ~/.ssh/known_hosts must know it")
        .String("PrivateKeyFile", privateKeyFile)
        .Help("SFTP: a private key to log in with, tried before the password")
        .StoredPassword("PrivateKeyCookie", privateKeyCookie, passwordKey)
        .Help("SFTP: the private key's passphrase in its stored form");
}

class TFTPConnectionAction : public quillate::TZRAction {
public:
    // The key of both stored passwords, the same in every project.
    static constexpr const char* PasswordKey = "qzr4ftpc0nn3c";

    TFTPConnectionAction();
    ~TFTPConnectionAction() override;
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }

    bool Execute() override;
    bool Validate(quillate::TValidationErrors& errors) override;
    std::string GetActionName() const override { return "FTP Connect"; }
    std::string GetFormattedDescription() const override;
    void Loaded() override;
    void GetProvidedProjectObjects(std::vector<quillate::TProjectObjectName>& objects) const override {
        objects.push_back({FConnectionName, FTPConnectionCategory});
    }

    std::string GetConnectionName() const { return FConnectionName; }
    // An empty name is ignored; a name in use by another connection gets "Copy of " in front.
    void SetConnectionName(const std::string& value);

private:
    friend struct TFTPConnectionActionProperties;
    void OnFTPLogMessage(const std::string& text, TConnMessageType type);
    // The settings as stored, the passwords decrypted where the run uses them.
    TFTPStoredConnectionSettings StoredSettings() const;
    // The registered connection speaks the stored protocol: one of the other kind is replaced under the
    // same name.
    void MatchConnectionToProtocol();
    // The stored protocol, or the global options' one where the action takes them.
    TFTPProtocol Protocol() const;

    bool FEnableKeepAlives = false;
    std::string FConnectionName;
    std::int32_t FConnectTimeoutInSec = 0;
    bool FUseGlobalOpt = false;
    std::string FFTPHost;
    std::int32_t FFTPPort = 21;
    std::string FUserID;
    std::string FCookie;
    bool FPassive = false;
    bool FDetailedLogging = false;
    net::TFTPTransferType FTransferType = net::TFTPTransferType::ftBinary;
    bool FUseProxy = false;
    std::string FProxyUsername;
    std::string FProxyCookie;
    std::string FProxyServer;
    std::int32_t FProxyPort = 0;
    net::TFTPProxyType FProxyType = net::TFTPProxyType::fpcmNone;
    bool FUseHOST = true;
    net::TFTPSecurity FSecurity = net::TFTPSecurity::fsNone;
    bool FSecureData = true;
    TFTPProtocol FProtocol = TFTPProtocol::cpFTP;
    std::string FHostKeyFingerprint;
    std::string FPrivateKeyFile;
    std::string FPrivateKeyCookie;

    IFTPConnectionObjectPtr FConnection;
    bool FRegistered = false;
};

class TFTPDisconnectAction : public TFTPBaseAction {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }
    std::string GetActionName() const override { return "FTP Disconnect"; }

protected:
    bool DoFTPOperation(IFTPConnectionObject& connection) override;
};

class TFTPCheckIfConnectedAction : public quillate::TZRAction {
public:
    TFTPCheckIfConnectedAction() { SetCanTerminate(true); }
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }
    bool Execute() override;
    std::string GetActionName() const override { return "FTP Check If Connected"; }
    int GetActionType() const override { return quillate::atCondition; }
    void GetNextActionSource(int state, int& next) override;
    // The outcome of the last check: true when the connection was found down.
    bool TestResult() const { return FNotConnected; }

private:
    friend struct TFTPCheckIfConnectedActionProperties;
    bool FFailIfNotConnected = false;
    std::string FConnectionName;
    bool FNotConnected = false;
};

} // namespace zr
