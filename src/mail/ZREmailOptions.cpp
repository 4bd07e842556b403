#include "mail/ZREmailOptions.h"

namespace zr {

using namespace quillate;

const TEnumInfo& UseTLSInfo() {
    static const TEnumInfo info{"TIdUseTLS",
                                {"utNoTLSSupport", "utUseImplicitTLS", "utUseRequireTLS", "utUseExplicitTLS"}};
    return info;
}

namespace {

// The builder's enumeration properties write the field directly; this one goes through the setter so
// that a change made through the property table marks the options modified like every other one.
TPropertyInfo UseTLSProperty() {
    TPropertyInfo p;
    p.Name = "SMTPUseTLS";
    p.Kind = TPropertyKind::Enum;
    p.Enum = &UseTLSInfo();
    p.Help = "TLS policy: none, implicit, required STARTTLS or STARTTLS when offered";
    p.Get = [](const TPersistent& o) -> TPropertyValue {
        return static_cast<std::int64_t>(static_cast<const TZREmailOptions&>(o).GetSMTPUseTLS());
    };
    p.Set = [](TPersistent& o, const TPropertyValue& v) {
        static_cast<TZREmailOptions&>(o).SetSMTPUseTLS(static_cast<TIdUseTLS>(std::get<std::int64_t>(v)));
    };
    return p;
}

} // namespace

const TMetaClass& TZREmailOptions::ClassInfo() {
    static const TMetaClass info = TMetaClass::Of<TZREmailOptions>(
        "TZREmailOptions", "", &TZRInternetOptions::ClassInfo(), [](TPropertyTable& table) {
            using T = TZREmailOptions;
            TPropertyBuilder<T> builder(table);
            builder.String("SMTPHost", &T::GetSMTPHost, &T::SetSMTPHost)
                .Help("SMTP server that e-mail actions use when they take the global options")
                .Int("SMTPPort", &T::GetSMTPPort, &T::SetSMTPPort)
                .Port()
                .Help("Port of the SMTP server")
                .Bool("SMTPAuth", &T::GetSMTPAuth, &T::SetSMTPAuth)
                .Help("Log in to the SMTP server with SMTPUser and SMTPPass")
                .Bool("SMTPEHLO", &T::GetSMTPEHLO, &T::SetSMTPEHLO)
                .Help("Greet the server with EHLO instead of HELO")
                .String("SMTPUser", &T::GetSMTPUser, &T::SetSMTPUser)
                .Help("User name for SMTP authentication")
                .String("SMTPPass", &T::GetSMTPPass, &T::SetSMTPPass)
                .Help("Password for SMTP authentication; stored encrypted")
                .Bool("SMTPSSL", &T::GetSMTPSSL, &T::SetSMTPSSL)
                .Help("Connect to the SMTP server over SSL/TLS");
            table.Add(UseTLSProperty());
            builder.String("DefaultEncoding", &T::GetDefaultEncoding, &T::SetDefaultEncoding)
                .Help("Character set that new e-mail actions start with; empty for the default");
        });
    return info;
}

// Under the properties' own names and in this fixed order: the store keeps the keys in the order they
// are written, so the section reads the same after every save.
void TZREmailOptions::SaveOwnOptions(IZROptionsWriter& writer) {
    writer.WriteInteger("SMTPPort", FSMTPPort);
    writer.WriteBool("SMTPAuth", FSMTPAuth);
    writer.WriteBool("SMTPEHLO", FSMTPEHLO);
    writer.WriteString("SMTPPass", FSMTPPass);
    writer.WriteString("SMTPUser", FSMTPUser);
    writer.WriteString("SMTPHost", FSMTPHost);
    writer.WriteBool("SMTPSSL", FSMTPSSL);
    writer.WriteInteger("SMTPUseTLS", FSMTPUseTLS);
    writer.WriteString("DefaultEncoding", FDefaultEncoding);
}

std::shared_ptr<TZREmailOptions> EmailOptions() {
    return OptionsService().GetOptionsAs<TZREmailOptions>(TZREmailOptions::ClassInfo());
}

} // namespace zr
