#include "ftp/ZRFTPConnectionSettings.h"

#include "ftp/ZRFTPOptions.h"
#include "host/Action.h"

#include <chrono>

namespace zr {

namespace {

bool TakePort(quillate::TZRAction& action, const TFTPExpansionStyle& style, const std::string& label,
              std::int32_t value, std::uint16_t& port) {
    if (style.CheckPorts)
        return action.TryPort(label, value, port);
    port = static_cast<std::uint16_t>(value);
    return true;
}

} // namespace

void TFTPConnectionSettings::ApplyTo(net::TFTPClient& client) const {
    client.Host = Host;
    client.Port = Port;
    client.Username = User;
    client.Password = Password;
    client.Passive = Passive;
    client.UseHOST = UseHOST;
    client.NATKeepAlive = {EnableKeepAlives, std::chrono::seconds(60), std::chrono::seconds(60)};
    client.Security = Security;
    client.SecureData = SecureData;
    client.ProxySettings = Proxy;
    client.SetTransferType(TransferType);
}

TFTPProtocol EffectiveProtocol(TFTPGlobalSettings fromGlobalOptions, TFTPProtocol own) {
    return fromGlobalOptions == TFTPGlobalSettings::None ? own : FTPOptions()->GetProtocol();
}

std::optional<TFTPConnectionSettings> ExpandConnectionSettings(quillate::TZRAction& action,
                                                               const TFTPStoredConnectionSettings& stored,
                                                               const TFTPExpansionStyle& style) {
    TFTPStoredConnectionSettings from = stored;
    if (stored.FromGlobalOptions != TFTPGlobalSettings::None) {
        auto options = FTPOptions();
        from.Host = options->GetFTPServer();
        from.User = options->GetFTPUser();
        from.Password = options->GetFTPPassword();
        from.Security = options->GetSecurity();
        from.SecureData = options->GetSecureData();
        from.Protocol = options->GetProtocol();
        if (stored.FromGlobalOptions == TFTPGlobalSettings::LoginAndPort)
            from.Port = options->GetFTPPort();
    }

    TFTPConnectionSettings settings;
    settings.Protocol = from.Protocol;
    if (from.Protocol == TFTPProtocol::cpSFTP && from.Port == 21)
        from.Port = 22;
    if (!action.TryExpandExpression(style.Host.Text, from.Host, settings.Host, true, style.Host.OwnLine) ||
        !action.TryExpandExpression(style.User.Text, from.User, settings.User, false, style.User.OwnLine) ||
        !action.TryExpandPassword("Password", from.Password, settings.Password) ||
        !TakePort(action, style, "Port", from.Port, settings.Port) ||
        (from.UseProxy && !TakePort(action, style, "Proxy Port", from.ProxyPort, settings.Proxy.Port)))
        return std::nullopt;
    settings.Passive = from.Passive;
    settings.TransferType = from.TransferType;
    settings.UseHOST = from.UseHOST;
    settings.EnableKeepAlives = from.EnableKeepAlives;
    settings.Security = from.Security;
    settings.SecureData = from.SecureData;
    if (from.UseProxy) {
        settings.Proxy.ProxyType = from.ProxyType;
        if (!action.TryExpandPassword("Proxy Password", from.ProxyPassword, settings.Proxy.Password) ||
            !action.TryExpandExpression("Proxy Username", from.ProxyUser, settings.Proxy.UserName, false) ||
            !action.TryExpandExpression("Proxy Server", from.ProxyServer, settings.Proxy.Host, true))
            return std::nullopt;
    }
    if (from.Protocol == TFTPProtocol::cpSFTP &&
        (!action.TryExpandExpression("Host Key Fingerprint", from.HostKeyFingerprint, settings.SFTP.HostKeyFingerprint,
                                     false) ||
         !action.TryExpandExpression("Private Key File", from.PrivateKeyFile, settings.SFTP.PrivateKeyFile, false) ||
         !action.TryExpandPassword("Private Key Passphrase", from.PrivateKeyPassphrase, settings.SFTP.Passphrase)))
        return std::nullopt;
    return settings;
}

} // namespace zr
