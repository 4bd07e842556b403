// The pages of the FTP connect action and of the FTP script action's connection settings, and the
// global FTP options page.
#pragma once

#include "pages/common/FormPage.h"

#include <QFormLayout>
#include <QLineEdit>

namespace zr::pages {

// The connect action's first page. It refuses an empty connection name and a name another
// connection of the project already has; its message box can be turned off (tests read
// LastMessage instead).
class TFTPConnectFrame : public TFormPage {
    Q_OBJECT
public:
    explicit TFTPConnectFrame(QWidget* owner);

    void DoInitPage(quillate::TZRAction& action, const quillate::IDesignProject& project) override;
    void ReadActionData(const quillate::TZRAction& action) override;
    bool Validate() override;

    QString LastMessage() const { return FLastMessage; }
    void SetShowMessages(bool show) { FShowMessages = show; }

private:
    bool Refuse(const QString& message);

    QLineEdit* FName;
    QString FOriginalName;
    QStringList FConnectionNames;
    QString FLastMessage;
    bool FShowMessages = true;
};

// The global FTP options: the server every FTP action may take instead of its own.
class TFTPGlobalOptionsFrame : public quillate::TOptionPage {
    Q_OBJECT
public:
    explicit TFTPGlobalOptionsFrame(QWidget* owner);

    QString GetPageName() const override { return "FTP Options"; }
    void ReadOptions(const quillate::TZROptionsObject& options) override;
    void WriteOptions(quillate::TZROptionsObject& options) override;

private:
    TPropertyBinder FBinder;
};

void RegisterFTPConnectionPages();

} // namespace zr::pages
