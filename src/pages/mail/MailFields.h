// What the e-mail pages and the e-mail option page share: the lists they offer and the SMTP server
// fields, which the action's server page and the global option page show alike.
#pragma once

#include "pages/PropertyBinder.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QSpinBox>
#include <QStringList>
#include <string>

namespace zr::pages {

// Message character sets; the stored text is the entry's name (any other text is kept).
QStringList MessageEncodings();
// TLS policies in the order of their stored values.
QStringList TLSChoices();

// The names of the properties the SMTP fields move, which differ between the action and the
// global options.
struct TSmtpPropertyNames {
    std::string Host, Port, UseEhlo, Authenticate, User, Password, UseSSL, UseTLS;
    // True when Password holds the encrypted stored form (an action); the option objects hold
    // clear text, which their store encrypts.
    bool PasswordEncrypted = false;
};

// Host, port, "Use EHLO", "Authenticate" with user and password, "Use SSL" and the TLS list, in
// that tab order. User and password are enabled only while "Authenticate" is ticked.
class TSmtpFields {
public:
    TSmtpFields(QFormLayout* form, TPropertyBinder& binder, const TSmtpPropertyNames& names);
    void SetEnabled(bool enabled);

private:
    void UpdateEnabled();

    QLineEdit* FHost;
    QSpinBox* FPort;
    QCheckBox* FUseEhlo;
    QCheckBox* FAuthenticate;
    QLineEdit* FUser;
    QLineEdit* FPassword;
    QCheckBox* FUseSSL;
    QComboBox* FUseTLS;
    bool FEnabled = true;
};

} // namespace zr::pages
