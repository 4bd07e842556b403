// TZREmailOptions: the SMTP server and default message character set shared by every e-mail action.
#pragma once

#include "options/ZRInternetOptions.h"

#include <cstdint>
#include <memory>
#include <string>

namespace zr {

// TLS policy of an SMTP session, kept by ordinal in options and scripts: none, TLS from the first
// byte, STARTTLS that must succeed, STARTTLS when the server offers it.
enum TIdUseTLS : std::int32_t { utNoTLSSupport, utUseImplicitTLS, utUseRequireTLS, utUseExplicitTLS };

const quillate::TEnumInfo& UseTLSInfo();

class TZREmailOptions : public TZRInternetOptions {
public:
    static const quillate::TMetaClass& ClassInfo();
    const quillate::TMetaClass& GetClass() const override { return ClassInfo(); }

    // LoadOptions is the inherited one: every published property is stored under its own name.
    quillate::TStringList PasswordKeys() const override { return {"SMTPPass"}; }

    bool GetSMTPAuth() const { return FSMTPAuth; }
    bool GetSMTPEHLO() const { return FSMTPEHLO; }
    std::string GetSMTPHost() const { return FSMTPHost; }
    // Clear text in memory; the store keeps it encrypted.
    std::string GetSMTPPass() const { return FSMTPPass; }
    std::int32_t GetSMTPPort() const { return FSMTPPort; }
    std::string GetSMTPUser() const { return FSMTPUser; }
    bool GetSMTPSSL() const { return FSMTPSSL; }
    TIdUseTLS GetSMTPUseTLS() const { return FSMTPUseTLS; }
    std::string GetDefaultEncoding() const { return FDefaultEncoding; }

    // Each marks the options modified only when the value changes.
    void SetSMTPAuth(bool value) { Change(FSMTPAuth, value); }
    void SetSMTPEHLO(bool value) { Change(FSMTPEHLO, value); }
    void SetSMTPHost(const std::string& value) { Change(FSMTPHost, value); }
    void SetSMTPPass(const std::string& value) { Change(FSMTPPass, value); }
    void SetSMTPPort(std::int32_t value) { Change(FSMTPPort, value); }
    void SetSMTPUser(const std::string& value) { Change(FSMTPUser, value); }
    void SetSMTPSSL(bool value) { Change(FSMTPSSL, value); }
    void SetSMTPUseTLS(TIdUseTLS value) { Change(FSMTPUseTLS, value); }
    void SetDefaultEncoding(const std::string& value) { Change(FDefaultEncoding, value); }

    static constexpr std::int32_t DefaultSMTPPort = 25;

protected:
    void SaveOwnOptions(quillate::IZROptionsWriter& writer) override;

private:
    std::string FSMTPHost;
    std::int32_t FSMTPPort = DefaultSMTPPort;
    bool FSMTPAuth = false;
    bool FSMTPEHLO = false;
    std::string FSMTPUser;
    std::string FSMTPPass;
    bool FSMTPSSL = false;
    TIdUseTLS FSMTPUseTLS = utNoTLSSupport;
    std::string FDefaultEncoding;
};

// The host's one e-mail options object; the class must have been registered.
std::shared_ptr<TZREmailOptions> EmailOptions();

// Registers TZREmailOptions with the host's options service under the image "ZREMAIL".

} // namespace zr
