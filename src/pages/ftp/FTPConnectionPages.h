// The pages of the FTP connect action and of the FTP script action's connection settings, and the
// global FTP options page.
#pragma once

#include "pages/common/FormPage.h"

#include <QComboBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QSpinBox>
#include <memory>
#include <vector>

namespace zr::pages {

// A page with controls that mean nothing over SFTP: it shows them disabled while the protocol is SFTP,
// as the action it read stores it and as the server page of its dialog changes it.
class TSFTPAwarePage {
public:
    virtual ~TSFTPAwarePage() = default;
    virtual void ShowProtocol(bool sftp) = 0;
};

// Whether the action stores the SFTP protocol.
bool StoresSFTP(const quillate::TZRAction& action);

// The protocol choice of a server page: the controls each protocol leaves without meaning are
// disabled, the port follows FTP's 21 and SFTP's 22 where it is left at the other's, and the other
// pages of the dialog are told.
class TProtocolChoice {
public:
    TProtocolChoice(QComboBox* protocol, QSpinBox* port, std::vector<QWidget*> ftpOnly,
                    std::vector<QWidget*> sftpOnly);
    // After the page read its values: the controls as the stored protocol has them.
    void Apply() const;

private:
    void Changed() const;

    QComboBox* FProtocol;
    QSpinBox* FPort;
    std::vector<QWidget*> FFTPOnly;
    std::vector<QWidget*> FSFTPOnly;
};

// The connect action's first page. It refuses an empty connection name and a name another
// connection of the project already has; its message box can be turned off (tests read
// LastMessage instead).
class TFTPConnectFrame : public TFormPage, public TSFTPAwarePage {
    Q_OBJECT
public:
    explicit TFTPConnectFrame(QWidget* owner);

    void DoInitPage(quillate::TZRAction& action, const quillate::IDesignProject& project) override;
    void ReadActionData(const quillate::TZRAction& action) override;
    bool Validate() override;
    void ShowProtocol(bool sftp) override;

    QString LastMessage() const { return FLastMessage; }
    void SetShowMessages(bool show) { FShowMessages = show; }

private:
    bool Refuse(const QString& message);

    QLineEdit* FName;
    // Passive, the transfer types and HOST.
    std::vector<QWidget*> FFTPOnly;
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
    std::unique_ptr<TProtocolChoice> FProtocol;
};

void RegisterFTPConnectionPages();

} // namespace zr::pages
