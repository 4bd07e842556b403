// TZRFTPOptions: the default server, user, password and port that FTP connect actions may use.
#pragma once

#include "ftp/ZRFTPConnectionSettings.h"
#include "net/FTPClient.h"
#include "options/ZRInternetOptions.h"

#include <cstdint>
#include <memory>
#include <string>

namespace zr {

class TZRFTPOptions : public TZRInternetOptions {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }

    void LoadOptions(quillate::IZROptionsReader& reader) override;
    quillate::TStringList PasswordKeys() const override { return {FTPPasswordKey}; }

    std::string GetFTPServer() const { return FFTPServer; }
    std::string GetFTPUser() const { return FFTPUser; }
    // Clear text in memory; the store keeps it encrypted.
    std::string GetFTPPassword() const { return FFTPPass; }
    std::int32_t GetFTPPort() const { return FFTPPort; }
    net::TFTPSecurity GetSecurity() const { return FSecurity; }
    bool GetSecureData() const { return FSecureData; }
    TFTPProtocol GetProtocol() const { return FProtocol; }

    // Each marks the options modified only when the value changes.
    void SetFTPServer(const std::string& value) { Change(FFTPServer, value); }
    void SetFTPUser(const std::string& value) { Change(FFTPUser, value); }
    void SetFTPPassword(const std::string& value) { Change(FFTPPass, value); }
    void SetFTPPort(std::int32_t value) { Change(FFTPPort, value); }
    void SetSecurity(net::TFTPSecurity value) { Change(FSecurity, value); }
    void SetSecureData(bool value) { Change(FSecureData, value); }
    void SetProtocol(TFTPProtocol value) { Change(FProtocol, value); }

    static constexpr std::int32_t DefaultFTPPort = 21;
    // The password is stored under another name than its property.
    static constexpr const char* FTPPortKey = "FTPPort";
    static constexpr const char* FTPPasswordKey = "FTPPassword";
    static constexpr const char* FTPServerKey = "FTPServer";
    static constexpr const char* FTPUserKey = "FTPUser";
    static constexpr const char* FTPSecurityKey = "FTPSecurity";
    static constexpr const char* FTPSecureDataKey = "FTPSecureData";
    static constexpr const char* FTPProtocolKey = "FTPProtocol";

protected:
    void SaveOwnOptions(quillate::IZROptionsWriter& writer) override;

private:
    std::string FFTPServer;
    std::string FFTPUser;
    std::string FFTPPass;
    std::int32_t FFTPPort = DefaultFTPPort;
    net::TFTPSecurity FSecurity = net::TFTPSecurity::fsNone;
    bool FSecureData = true;
    TFTPProtocol FProtocol = TFTPProtocol::cpFTP;
};

// The host's one FTP options object; the class must have been registered.
std::shared_ptr<TZRFTPOptions> FTPOptions();

// Registers TZRFTPOptions with the host's options service under the image "HINTERNET".

} // namespace zr
