#include "pages/mail/MailFields.h"

#include "pages/FieldBindings.h"

namespace zr::pages {

QStringList MessageEncodings() {
    return {"Default",     "UTF-8",        "ISO-8859-1", "ISO-8859-2",  "ISO-8859-3",   "ISO-8859-6",
            "ISO-8859-7",  "ISO-8859-8-I", "ISO-8859-9", "ISO-8859-10", "ISO-8859-13",  "ISO-8859-15",
            "GB2312",      "GB18030",      "Big5",       "KOI8-R",      "Windows-1251", "Windows-1255",
            "ISO-2022-JP", "EUC-KR",       "TIS-620"};
}

QStringList TLSChoices() {
    return {"No TLS Support", "Use Implicit TLS", "Use Require TLS", "Use Explicit TLS"};
}

TSmtpFields::TSmtpFields(QFormLayout* form, TPropertyBinder& binder, const TSmtpPropertyNames& names)
    : FHost(new QLineEdit), FPort(NewSpin()), FUseEhlo(new QCheckBox("Use EHLO")),
      FAuthenticate(new QCheckBox("Authenticate")), FUser(new QLineEdit), FPassword(new QLineEdit),
      FUseSSL(new QCheckBox("Use SSL")), FUseTLS(NewChoiceCombo(TLSChoices())) {
    form->addRow("Host:", FHost);
    form->addRow("Port:", FPort);
    form->addRow(FUseEhlo);
    form->addRow(FAuthenticate);
    form->addRow("User:", FUser);
    form->addRow("Password:", FPassword);
    form->addRow(FUseSSL);
    form->addRow("TLS:", FUseTLS);

    binder.Text(FHost, names.Host);
    binder.Number(FPort, names.Port);
    // EHLO before authentication: an action that authenticates always greets with EHLO, and its
    // setters keep the two consistent only in this order.
    binder.Check(FUseEhlo, names.UseEhlo);
    binder.Check(FAuthenticate, names.Authenticate);
    binder.Text(FUser, names.User);
    if (names.PasswordEncrypted) {
        binder.Password(FPassword, names.Password);
    } else {
        FPassword->setEchoMode(QLineEdit::Password);
        binder.Text(FPassword, names.Password);
    }
    binder.Check(FUseSSL, names.UseSSL);
    binder.Choice(FUseTLS, names.UseTLS);
    QObject::connect(FAuthenticate, &QCheckBox::toggled, FUser, [this] { UpdateEnabled(); });
    UpdateEnabled();
}

void TSmtpFields::SetEnabled(bool enabled) {
    FEnabled = enabled;
    UpdateEnabled();
}

void TSmtpFields::UpdateEnabled() {
    for (QWidget* field :
         std::initializer_list<QWidget*>{FHost, FPort, FUseEhlo, FAuthenticate, FUseSSL, FUseTLS})
        field->setEnabled(FEnabled);
    FUser->setEnabled(FEnabled && FAuthenticate->isChecked());
    FPassword->setEnabled(FEnabled && FAuthenticate->isChecked());
}

} // namespace zr::pages
