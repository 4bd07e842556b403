// The SMTP server page of the e-mail action and the global e-mail option page.
#pragma once

#include "pages/BoundPage.h"
#include "pages/mail/MailFields.h"

#include <QCheckBox>
#include <QComboBox>
#include <memory>

namespace zr::pages {

// "SMTP": the action's own server, or the global options' while "Use global SMTP options" is ticked.
class TEmailOptionsFrame : public TBoundPage {
    Q_OBJECT
public:
    explicit TEmailOptionsFrame(QWidget* owner);

private:
    QCheckBox* FUseGlobal;
    std::unique_ptr<TSmtpFields> FFields;
};

// "Email Options": the SMTP server and the character set new messages start with.
class TEmailGlobalOptionsFrame : public quillate::TOptionPage {
    Q_OBJECT
public:
    explicit TEmailGlobalOptionsFrame(QWidget* owner);

    QString GetPageName() const override { return "Email Options"; }
    void ReadOptions(const quillate::TZROptionsObject& options) override;
    void WriteOptions(quillate::TZROptionsObject& options) override;

private:
    TPropertyBinder FBinder;
    std::unique_ptr<TSmtpFields> FFields;
};

} // namespace zr::pages
