#include "ftp/ZRFTPOptions.h"

#include "ftp/ZRFTPConnectAction.h"

namespace zr {

using namespace quillate;

const TMetaClass& TZRFTPOptions::ClassInfo() {
    static const TMetaClass info = TMetaClass::Of<TZRFTPOptions>(
        "TZRFTPOptions", "", &TZRInternetOptions::ClassInfo(), [](TPropertyTable& table) {
            using T = TZRFTPOptions;
            TPropertyBuilder<T>(table)
                .String("FTPServer", &T::GetFTPServer, &T::SetFTPServer)
                .Help("Server that FTP connections use when they take the global options")
                .String("FTPUser", &T::GetFTPUser, &T::SetFTPUser)
                .Help("User name for the global FTP server")
                .String("FTPPass", &T::GetFTPPassword, &T::SetFTPPassword)
                .Help("Password for the global FTP server; stored encrypted")
                .Int("FTPPort", &T::GetFTPPort, &T::SetFTPPort)
                .Port()
                .Help("Port of the global FTP server")
                .Enum("Security", FTPSecurityInfo(), &T::GetSecurity, &T::SetSecurity)
                .Help("FTP over TLS for the global FTP server: fsNone, fsExplicit (AUTH TLS) or fsImplicit")
                .Bool("SecureData", &T::GetSecureData, &T::SetSecureData)
                .Help("With TLS, protect the data connections too (PROT P)")
                .Enum("Protocol", FTPProtocolInfo(), &T::GetProtocol, &T::SetProtocol)
                .Help("cpSFTP: the global FTP server is an SSH server (port 22 where the port is left at 21)");
        });
    return info;
}

// The store decrypts "FTPPassword" (a declared password key), so it arrives here in clear text.
void TZRFTPOptions::LoadOptions(IZROptionsReader& reader) {
    FFTPPort = reader.ReadInteger(FTPPortKey, DefaultFTPPort);
    FFTPPass = reader.ReadString(FTPPasswordKey, "");
    FFTPServer = reader.ReadString(FTPServerKey, "");
    FFTPUser = reader.ReadString(FTPUserKey, "");
    // A name we do not know asks for TLS: falling back to plain FTP would send the password in clear.
    int security = FTPSecurityInfo().IndexOf(reader.ReadString(FTPSecurityKey, "fsNone"));
    FSecurity = security < 0 ? net::TFTPSecurity::fsExplicit : static_cast<net::TFTPSecurity>(security);
    FSecureData = reader.ReadBool(FTPSecureDataKey, true);
    // Stores from before SFTP have no protocol; a name we do not know is SSH, never plain FTP.
    int protocol = FTPProtocolInfo().IndexOf(reader.ReadString(FTPProtocolKey, "cpFTP"));
    FProtocol = protocol < 0 ? TFTPProtocol::cpSFTP : static_cast<TFTPProtocol>(protocol);
}

void TZRFTPOptions::SaveOwnOptions(IZROptionsWriter& writer) {
    writer.WriteInteger(FTPPortKey, FFTPPort);
    writer.WriteString(FTPPasswordKey, FFTPPass);
    writer.WriteString(FTPServerKey, FFTPServer);
    writer.WriteString(FTPUserKey, FFTPUser);
    writer.WriteString(FTPSecurityKey, FTPSecurityInfo().Values[static_cast<std::size_t>(FSecurity)]);
    writer.WriteBool(FTPSecureDataKey, FSecureData);
    writer.WriteString(FTPProtocolKey, FTPProtocolInfo().Values[static_cast<std::size_t>(FProtocol)]);
}

std::shared_ptr<TZRFTPOptions> FTPOptions() {
    return OptionsService().GetOptionsAs<TZRFTPOptions>(TZRFTPOptions::ClassInfo());
}

} // namespace zr
