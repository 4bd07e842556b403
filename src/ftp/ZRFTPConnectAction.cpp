#include "ftp/ZRFTPConnectAction.h"

#include <fmt/format.h>

#include "ftp/ZRFTPOptions.h"
#include "ftp/ZRSFTPConnection.h"
#include "host/ProjectObjects.h"

namespace zr {

using namespace quillate;

const TEnumInfo& FTPTransferTypeInfo() {
    static const TEnumInfo info{"TIdFTPTransferType", {"ftASCII", "ftBinary"}};
    return info;
}

const TEnumInfo& FTPProxyTypeInfo() {
    static const TEnumInfo info{"TIdFtpProxyType",
                                {"fpcmNone", "fpcmUserSite", "fpcmSite", "fpcmOpen", "fpcmUserPass", "fpcmTransparent"}};
    return info;
}

const TEnumInfo& FTPSecurityInfo() {
    static const TEnumInfo info{"TFTPSecurity", {"fsNone", "fsExplicit", "fsImplicit"}};
    return info;
}

const TEnumInfo& FTPProtocolInfo() {
    static const TEnumInfo info{"TFTPProtocol", {"cpFTP", "cpSFTP"}};
    return info;
}

struct TFTPConnectionActionProperties {
    using T = TFTPConnectionAction;
    static void Define(TPropertyTable& table) {
        TPropertyBuilder<T> builder(table);
        builder.Bool("EnableKeepAlives", &T::FEnableKeepAlives)
            .Help("Keep the control connection alive through NAT routers during long transfers")
            .String("FTPConnectionName", &T::GetConnectionName, &T::SetConnectionName)
            .Help("Name under which later FTP actions find this connection")
            .Int("ConnectTimeoutInSec", &T::FConnectTimeoutInSec)
            .Help("Seconds to wait for the connection; 0 uses the client's default")
            .Bool("UseGlobalOpt", &T::FUseGlobalOpt)
            .Help("Take host, user, password, the protocol and the TLS settings from the global FTP options")
            .String("FTPHost", &T::FFTPHost)
            .Int("FTPPort", &T::FFTPPort)
            .Port()
            .String("UserID", &T::FUserID)
            .StoredPassword("Cookie", &T::FCookie, T::PasswordKey)
            .Help("The password in its stored form (quillate encrypt --for action.ftp.connect.Cookie)")
            .Bool("Passive", &T::FPassive)
            .Bool("DetailedLogging", &T::FDetailedLogging)
            .Help("Copy the FTP commands and replies of the connect into the log (passwords masked)")
            .Enum("TransferType", FTPTransferTypeInfo(), &T::FTransferType)
            .Bool("UseProxy", &T::FUseProxy)
            .String("ProxyUsername", &T::FProxyUsername)
            .StoredPassword("ProxyCookie", &T::FProxyCookie, T::PasswordKey)
            .Help("The proxy password in its stored form")
            .String("ProxyServer", &T::FProxyServer)
            .Int("ProxyPort", &T::FProxyPort)
            .Port()
            .Enum("ProxyType", FTPProxyTypeInfo(), &T::FProxyType)
            .Bool("UseHOST", &T::FUseHOST)
            .Help("Send the HOST command when the server offers it")
            .Enum("Security", FTPSecurityInfo(), &T::FSecurity)
            .Help(
                "FTP over TLS: fsExplicit asks for it with AUTH TLS, fsImplicit starts it at once (port 990)")
            .Bool("SecureData", &T::FSecureData)
            .Help("With TLS, protect the data connections too (PROT P); off sends files in clear (PROT C)");
        DefineSFTPProperties(builder, &T::FProtocol, &T::FHostKeyFingerprint, &T::FPrivateKeyFile,
                             &T::FPrivateKeyCookie, T::PasswordKey);
    }
};

TFTPConnectionAction::TFTPConnectionAction() : FConnection(std::make_shared<TFTPConnectObject>("")) {
    SetCanTerminate(true);
}

TFTPConnectionAction::~TFTPConnectionAction() {
    if (FConnection && FRegistered) {
        try {
            GetProjectObjectService().UnregisterObject(FConnection);
        } catch (...) {
            // Nothing useful can be done about a registry that fails while the project closes.
        }
    }
}

const TMetaClass& TFTPConnectionAction::ClassInfo() {
    static const TMetaClass meta = TMetaClass::Of<TFTPConnectionAction>(
        "TFTPConnectionAction", "action.ftp.connect", &TZRAction::ClassInfo(), &TFTPConnectionActionProperties::Define);
    return meta;
}

std::string TFTPConnectionAction::GetFormattedDescription() const {
    return fmt::format("{} [ {} ]", TZRAction::GetFormattedDescription(), FConnectionName);
}

void TFTPConnectionAction::SetConnectionName(const std::string& value) {
    if (value.empty())
        return;
    std::string name = value;
    auto& registry = GetProjectObjectService();
    while (name != FConnectionName && registry.ObjectExists(name, FTPConnectionCategory))
        name = "Copy of " + name;
    FConnectionName = name;
    FConnection->SetName(name);
}

void TFTPConnectionAction::MatchConnectionToProtocol() {
    const bool sftp = Protocol() == TFTPProtocol::cpSFTP;
    if (sftp == (dynamic_cast<TSFTPConnectObject*>(FConnection.get()) != nullptr))
        return;
    IFTPConnectionObjectPtr replacement;
    if (sftp)
        replacement = std::make_shared<TSFTPConnectObject>(FConnectionName);
    else
        replacement = std::make_shared<TFTPConnectObject>(FConnectionName);
    try {
        FConnection->Disconnect();
    } catch (...) {
        // The connection is thrown away; how it said goodbye does not matter.
    }
    if (FRegistered) {
        GetProjectObjectService().UnregisterObject(FConnection);
        GetProjectObjectService().RegisterObject(replacement);
    }
    FConnection = std::move(replacement);
}

TFTPProtocol TFTPConnectionAction::Protocol() const {
    return EffectiveProtocol(FUseGlobalOpt ? TFTPGlobalSettings::Login : TFTPGlobalSettings::None, FProtocol);
}

void TFTPConnectionAction::Loaded() {
    TZRAction::Loaded();
    MatchConnectionToProtocol();
    GetProjectObjectService().RegisterObject(FConnection);
    FRegistered = true;
}

bool TFTPConnectionAction::Validate(TValidationErrors& errors) {
    auto object = GetProjectObjectService().AcquireObject(FConnectionName, FTPConnectionCategory);
    if (object)
        GetProjectObjectService().ReleaseObject(object);
    if (object && object != FConnection) {
        errors.push_back({"FTP Connection Name", "Duplicate FTP connections named " + FConnectionName + "."});
        return false;
    }
    return true;
}

TFTPStoredConnectionSettings TFTPConnectionAction::StoredSettings() const {
    TFTPStoredConnectionSettings stored;
    // The action's own port, also with the global options: they only give host, login and TLS.
    stored.FromGlobalOptions = FUseGlobalOpt ? TFTPGlobalSettings::Login : TFTPGlobalSettings::None;
    stored.Host = FFTPHost;
    stored.Port = FFTPPort;
    stored.User = FUserID;
    if (!FUseGlobalOpt)
        stored.Password = DecryptString(FCookie, PasswordKey);
    stored.Passive = FPassive;
    stored.TransferType = FTransferType;
    stored.UseHOST = FUseHOST;
    stored.EnableKeepAlives = FEnableKeepAlives;
    stored.Security = FSecurity;
    stored.SecureData = FSecureData;
    stored.UseProxy = FUseProxy;
    stored.ProxyType = FProxyType;
    stored.ProxyServer = FProxyServer;
    stored.ProxyPort = FProxyPort;
    stored.ProxyUser = FProxyUsername;
    if (FUseProxy)
        stored.ProxyPassword = DecryptString(FProxyCookie, PasswordKey);
    stored.Protocol = FProtocol;
    stored.HostKeyFingerprint = FHostKeyFingerprint;
    stored.PrivateKeyFile = FPrivateKeyFile;
    if (Protocol() == TFTPProtocol::cpSFTP)
        stored.PrivateKeyPassphrase = DecryptString(FPrivateKeyCookie, PasswordKey);
    return stored;
}

// Warnings are logged always, the protocol only with detailed logging.
void TFTPConnectionAction::OnFTPLogMessage(const std::string& text, TConnMessageType type) {
    if (type == Warning)
        SendMessage(text, stWarning);
    else if (FDetailedLogging)
        SendMessage(text, stInformation);
}

bool TFTPConnectionAction::Execute() {
    MatchConnectionToProtocol();
    TConnectionStopScope stoppable(FConnection, GetStopToken());
    try {
        FConnection->Disconnect();
    } catch (...) {
        // A connection that is already down is what we want here.
    }
    // A fresh client, so that nothing of an earlier run (its settings, what it learnt of the server)
    // outlives it; without one the run would go on with the old client.
    if (!Step("Unable to initialise the FTP client", [&] { FConnection->InitialiseFTP(); }))
        return false;
    std::optional<TFTPConnectionSettings> settings = ExpandConnectionSettings(*this, StoredSettings());
    if (!settings)
        return false;
    FConnection->Configure(*settings);
    FConnection->SetOnMessage(
        [this](const std::string& text, TConnMessageType type) { OnFTPLogMessage(text, type); });
    struct TUnhook {
        IFTPConnectionObject& Connection;
        ~TUnhook() { Connection.SetOnMessage(nullptr); }
    } unhook{*FConnection};

    SendMessage("Connection to host : " + settings->Host, stInformation);
    return Step("Error Connecting to : " + settings->Host,
                [&] { FConnection->Connect(FConnectTimeoutInSec); });
}

const TMetaClass& TFTPDisconnectAction::ClassInfo() {
    static const TMetaClass meta = TMetaClass::Of<TFTPDisconnectAction>("TFTPDisconnectAction", "action.ftp.disconnect",
                                                                        &TFTPBaseAction::ClassInfo());
    return meta;
}

bool TFTPDisconnectAction::DoFTPOperation(IFTPConnectionObject& connection) {
    try {
        connection.Disconnect();
        SendMessage("Disconnected", stInformation);
    } catch (...) {
        // Closing a connection that fails on the way out still leaves it closed.
    }
    return true;
}

struct TFTPCheckIfConnectedActionProperties {
    using T = TFTPCheckIfConnectedAction;
    static void Define(TPropertyTable& table) {
        TPropertyBuilder<T>(table)
            .Bool("FailIfNotConnected", &T::FFailIfNotConnected)
            .Help("Fail instead of reconnecting when the connection is down")
            .String("ConnectionName", &T::FConnectionName);
    }
};

const TMetaClass& TFTPCheckIfConnectedAction::ClassInfo() {
    static const TMetaClass meta = TMetaClass::Of<TFTPCheckIfConnectedAction>(
        "TFTPCheckIfConnectedAction", "action.ftp.connection.check", &TZRAction::ClassInfo(),
        &TFTPCheckIfConnectedActionProperties::Define);
    return meta;
}

bool TFTPCheckIfConnectedAction::Execute() {
    if (FConnectionName.empty()) {
        SendMessage("Connection name is not set", stError);
        return false;
    }
    auto& registry = GetProjectObjectService();
    auto object = registry.AcquireObject(FConnectionName, FTPConnectionCategory);
    struct TRelease {
        std::shared_ptr<IProjectObject> Object;
        ~TRelease() {
            if (Object)
                GetProjectObjectService().ReleaseObject(Object);
        }
    } release{object};
    auto connection = std::dynamic_pointer_cast<IFTPConnectionObject>(object);
    if (!connection) {
        SendMessage("Connection object not found: " + FConnectionName, stError);
        return false;
    }
    TConnectionStopScope stoppable(connection, GetStopToken());

    FNotConnected = !connection->IsConnected();
    if (!FNotConnected) {
        // The client may not have noticed that the server dropped the connection: ask the server.
        try {
            connection->GetRemoteDir();
            FNotConnected = !connection->IsConnected();
        } catch (...) {
            // No answer is the answer: the connection is down, and the lines below say so.
            FNotConnected = true;
        }
    }
    std::string quoted = "FTP Connection \"" + FConnectionName + "\"";
    if (FNotConnected)
        SendMessage(quoted + " is not connected.", stInformation);
    else
        SendMessage(quoted + " is connected.", stSuccess);

    if (FNotConnected && FFailIfNotConnected) {
        SendMessage("Failing because not connected.", stError);
        return false;
    }
    if (!FNotConnected) {
        SetActionStatus(9);
        return true;
    }
    SendMessage("Reconnecting...", stInformation);
    return Step("Error reconnecting to : " + connection->Settings().Host, [&] {
        ReconnectWithWarnings(*connection, [this](const std::string& text) { SendMessage(text, stWarning); });
        if (connection->IsConnected()) {
            SendMessage("Reconnected.", stSuccess);
            return true;
        }
        SendMessage("Unable to reconnect.", stError);
        return false;
    });
}

void TFTPCheckIfConnectedAction::GetNextActionSource(int state, int& next) {
    if (state == 0 && !FNotConnected)
        next = nasSkipChildActions;
}

} // namespace zr
