// TZRInternetOptions: base of the global FTP and e-mail options, which share the store section "Internet".
#pragma once

#include "host/Options.h"

#include <string>

namespace zr {

// The FTP and e-mail options live side by side in one section, so saving either of them writes the
// values of both: the section always holds the complete, current set.
class TZRInternetOptions : public quillate::TZROptionsObject {
public:
    static const quillate::TMetaClass& ClassInfo();

    std::string Section() const override { return "Internet"; }
    void SaveOptions(quillate::IZROptionsWriter& writer) override;
    // Both passwords of the section, whichever class declares them: the store then encrypts every
    // password this class writes even when only one of the two classes is registered.
    quillate::TStringList PasswordKeys() const override { return {FTPPasswordKey, SMTPPassKey}; }

    static constexpr const char* FTPPortKey = "FTPPort";
    static constexpr const char* FTPPasswordKey = "FTPPassword";
    static constexpr const char* FTPServerKey = "FTPServer";
    static constexpr const char* FTPUserKey = "FTPUser";
    static constexpr const char* SMTPPortKey = "SMTPPort";
    static constexpr const char* SMTPAuthKey = "SMTPAuth";
    static constexpr const char* SMTPEHLOKey = "SMTPEHLO";
    static constexpr const char* SMTPPassKey = "SMTPPass";
    static constexpr const char* SMTPUserKey = "SMTPUser";
    static constexpr const char* SMTPHostKey = "SMTPHost";
    static constexpr const char* SMTPSSLKey = "SMTPSSL";
    static constexpr const char* SMTPUseTLSKey = "SMTPUseTLS";
    static constexpr const char* DefaultEncodingKey = "DefaultEncoding";

protected:
    TZRInternetOptions() = default;
};

} // namespace zr
