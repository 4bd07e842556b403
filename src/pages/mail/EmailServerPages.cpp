#include "pages/mail/EmailServerPages.h"

#include "host/Options.h"
#include "pages/FieldBindings.h"

namespace zr::pages {

TEmailOptionsFrame::TEmailOptionsFrame(QWidget* owner)
    : TBoundPage(owner, "SMTP"), FUseGlobal(new QCheckBox("Use global SMTP options")) {
    Form()->addRow(FUseGlobal);
    Binder().Check(FUseGlobal, "UseGlobalOptions");
    FFields =
        std::make_unique<TSmtpFields>(Form(), Binder(),
                                      TSmtpPropertyNames{"Host", "Port", "UseEhlo", "Authenticate", "UserId",
                                                         "EncryptedPassword", "UseSSL", "UseTLS", true});
    connect(FUseGlobal, &QCheckBox::toggled, this, [this](bool global) { FFields->SetEnabled(!global); });
}

TEmailGlobalOptionsFrame::TEmailGlobalOptionsFrame(QWidget* owner) : quillate::TOptionPage(owner) {
    auto* form = new QFormLayout(this);
    FFields = std::make_unique<TSmtpFields>(form, FBinder,
                                            TSmtpPropertyNames{"SMTPHost", "SMTPPort", "SMTPEHLO", "SMTPAuth",
                                                               "SMTPUser", "SMTPPass", "SMTPSSL",
                                                               "SMTPUseTLS", false});
    auto* encoding = NewEditableCombo(MessageEncodings());
    form->addRow("Default message encoding:", encoding);
    FBinder.ComboText(encoding, "DefaultEncoding");
}

void TEmailGlobalOptionsFrame::ReadOptions(const quillate::TZROptionsObject& options) {
    FBinder.Read(options);
}

void TEmailGlobalOptionsFrame::WriteOptions(quillate::TZROptionsObject& options) {
    FBinder.Write(options);
}

} // namespace zr::pages
