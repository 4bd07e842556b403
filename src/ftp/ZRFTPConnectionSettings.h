// The settings an FTP connection is opened with, and the one way an action's stored settings become
// them: FTP Connect and the script action store the same settings and expand them alike.
#pragma once

#include "net/FTPClient.h"

#include <cstdint>
#include <optional>
#include <string>

namespace quillate {
class TZRAction;
}

namespace zr {

// The protocol a named connection speaks; the FTP actions work alike over both.
enum class TFTPProtocol { cpFTP, cpSFTP };

// What SFTP needs beyond host, port and login; an empty field takes the client's default.
struct TSFTPSettings {
    // "SHA256:..." the server's key must have; empty: the key must be in KnownHostsFile.
    std::string HostKeyFingerprint;
    // Tried before the password when set.
    std::string PrivateKeyFile;
    std::string Passphrase;
    // Empty: ~/.ssh/known_hosts.
    std::string KnownHostsFile;
};

// What a connection is opened with, every variable expanded; the defaults are those of a new client.
struct TFTPConnectionSettings {
    TFTPProtocol Protocol = TFTPProtocol::cpFTP;
    std::string Host;
    std::uint16_t Port = 21;
    std::string User;
    std::string Password;
    bool Passive = true;
    net::TFTPTransferType TransferType = net::TFTPTransferType::ftBinary;
    // HOST before the login when the server offers it.
    bool UseHOST = false;
    // TCP keep-alive on the control connection: 60 s idle, then every 60 s.
    bool EnableKeepAlives = false;
    net::TFTPSecurity Security = net::TFTPSecurity::fsNone;
    // With TLS, the data connections are protected too (PROT P).
    bool SecureData = true;
    // fpcmNone: straight to the server.
    net::TFTPProxySettings Proxy;
    // With cpSFTP.
    TSFTPSettings SFTP;

    // From the client's next Connect on (the transfer type at once when it is connected).
    void ApplyTo(net::TFTPClient& client) const;
    // Active FTP: the server connects to us for every transfer and listing.
    bool ServerMakesDataConnections() const { return Protocol == TFTPProtocol::cpFTP && !Passive; }
};

// Which settings the global FTP options give when an action takes them.
enum class TFTPGlobalSettings {
    None,
    // Host, user, password, protocol and TLS; FTP Connect keeps its own port.
    Login,
    // Host, port, user, password, protocol and TLS (the script action).
    LoginAndPort,
};

// The protocol an action connects with: the global options' where it takes them, else its own.
TFTPProtocol EffectiveProtocol(TFTPGlobalSettings fromGlobalOptions, TFTPProtocol own);

// The settings as an action stores them: host, user names and proxy server may hold variables, the
// passwords are in clear text and may hold variables too.
struct TFTPStoredConnectionSettings {
    TFTPGlobalSettings FromGlobalOptions = TFTPGlobalSettings::None;
    TFTPProtocol Protocol = TFTPProtocol::cpFTP;
    std::string Host;
    std::int32_t Port = 21;
    std::string User;
    std::string Password;
    bool Passive = false;
    net::TFTPTransferType TransferType = net::TFTPTransferType::ftBinary;
    bool UseHOST = false;
    bool EnableKeepAlives = false;
    net::TFTPSecurity Security = net::TFTPSecurity::fsNone;
    bool SecureData = true;
    bool UseProxy = false;
    net::TFTPProxyType ProxyType = net::TFTPProxyType::fpcmNone;
    std::string ProxyServer;
    std::int32_t ProxyPort = 0;
    std::string ProxyUser;
    std::string ProxyPassword;
    // With cpSFTP.
    std::string HostKeyFingerprint;
    std::string PrivateKeyFile;
    std::string PrivateKeyPassphrase;
};

// The name a setting that does not expand goes by in the log: "Text: reason" on one line, or, with
// OwnLine, Text as a failure line of its own followed by the reason.
struct TFTPSettingLabel {
    std::string Text;
    bool OwnLine = false;
};

// How an action reports the settings it cannot use, where the actions differ; the passwords and the
// proxy settings are always "Password", "Proxy Password", "Proxy Username" and "Proxy Server".
struct TFTPExpansionStyle {
    TFTPSettingLabel Host{"Hostname"};
    TFTPSettingLabel User{"Username"};
    // A port outside 1 to 65535 fails as "Port" or "Proxy Port"; without the check it is taken as it is.
    bool CheckPorts = true;
};

// The stored settings expanded in the order host, user, password, ports, proxy password, proxy user,
// proxy server, then the SFTP settings, with the global FTP options where the action takes them. SFTP
// stands on port 22 where the action leaves FTP's 21. The first failure is logged
// through the action and gives nothing; the passwords join the run's secrets.
std::optional<TFTPConnectionSettings> ExpandConnectionSettings(quillate::TZRAction& action,
                                                               const TFTPStoredConnectionSettings& stored,
                                                               const TFTPExpansionStyle& style = {});

} // namespace zr
