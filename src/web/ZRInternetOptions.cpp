#include "web/ZRInternetOptions.h"

#include "ftp/ZRFTPOptions.h"
#include "mail/ZREmailOptions.h"

namespace zr {

using namespace quillate;

namespace {

// The object being saved speaks for itself, even when it is not the service's shared one; the other
// class's values come from the service. An unregistered class has no values to write, so its keys
// stay as they are in the store. `keep` holds the fetched object for the caller.
template <class T> const T* ValuesOf(const TZRInternetOptions& self, std::shared_ptr<T>& keep) {
    if (auto own = dynamic_cast<const T*>(&self))
        return own;
    if (!OptionsService().IsRegistered(T::ClassInfo()))
        return nullptr;
    keep = OptionsService().GetOptionsAs<T>(T::ClassInfo());
    return keep.get();
}

} // namespace

const TMetaClass& TZRInternetOptions::ClassInfo() {
    static const TMetaClass info =
        TMetaClass::Of<TZRInternetOptions>("TZRInternetOptions", "", &TZROptionsObject::ClassInfo());
    return info;
}

void TZRInternetOptions::SaveOptions(IZROptionsWriter& writer) {
    // Both are fetched before anything is written: fetching may load an object from this section.
    std::shared_ptr<TZRFTPOptions> ftpHeld;
    std::shared_ptr<TZREmailOptions> emailHeld;
    const TZRFTPOptions* ftp = ValuesOf(*this, ftpHeld);
    const TZREmailOptions* email = ValuesOf(*this, emailHeld);

    // Passwords go out in clear text: the store encrypts the keys named by PasswordKeys.
    if (ftp) {
        writer.WriteInteger(FTPPortKey, ftp->GetFTPPort());
        writer.WriteString(FTPPasswordKey, ftp->GetFTPPassword());
        writer.WriteString(FTPServerKey, ftp->GetFTPServer());
        writer.WriteString(FTPUserKey, ftp->GetFTPUser());
    }
    if (email) {
        writer.WriteInteger(SMTPPortKey, email->GetSMTPPort());
        writer.WriteBool(SMTPAuthKey, email->GetSMTPAuth());
        writer.WriteBool(SMTPEHLOKey, email->GetSMTPEHLO());
        writer.WriteString(SMTPPassKey, email->GetSMTPPass());
        writer.WriteString(SMTPUserKey, email->GetSMTPUser());
        writer.WriteString(SMTPHostKey, email->GetSMTPHost());
        writer.WriteBool(SMTPSSLKey, email->GetSMTPSSL());
        writer.WriteInteger(SMTPUseTLSKey, email->GetSMTPUseTLS());
        writer.WriteString(DefaultEncodingKey, email->GetDefaultEncoding());
    }
}

} // namespace zr
