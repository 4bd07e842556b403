#include "pages/ftp/FTPConnectionPages.h"

#include "host/Action.h"
#include "host/Options.h"

#include <QMessageBox>

namespace zr::pages {

namespace {

// Where one action keeps its server settings; the connect and the script action name them apart.
struct TServerProperties {
    const char* Host;
    const char* Port;
    const char* User;
    const char* Password;
    // Empty for the global options themselves.
    const char* UseGlobal;
    // True where the password is kept encrypted (actions), false where it is held in clear (options).
    bool StoredPassword;
};

constexpr TServerProperties ConnectServer{"FTPHost", "FTPPort", "UserID", "Cookie", "UseGlobalOpt", true};
constexpr TServerProperties ScriptServer{"Host", "Port", "UserID", "EncryptedPassword", "UseGlobalOptions",
                                         true};
constexpr TServerProperties GlobalServer{"FTPServer", "FTPPort", "FTPUser", "FTPPass", "", false};

// Actions also store what SFTP logs in with; the global options give the protocol alone.
std::unique_ptr<TProtocolChoice> AddServerFields(TFormBuilder& f, const TServerProperties& names) {
    f.Edit("Host:", names.Host);
    QSpinBox* port = f.Number("Port:", names.Port, 0, 65535);
    f.Edit("User:", names.User);
    if (names.StoredPassword)
        f.Password("Password:", names.Password);
    else
        f.ClearPassword("Password:", names.Password);
    if (*names.UseGlobal)
        f.Check("Use global FTP options", names.UseGlobal);
    QComboBox* protocol = f.Choice("Protocol:", {"FTP", "SFTP (SSH)"}, "Protocol");
    std::vector<QWidget*> ftpOnly{f.Choice("FTP over TLS:", {"None", "Explicit (AUTH TLS)", "Implicit"}, "Security"),
                                  f.Check("Protect data connections (PROT P)", "SecureData")};
    std::vector<QWidget*> sftpOnly;
    if (*names.UseGlobal)
        sftpOnly = {f.Edit("Host key fingerprint:", "HostKeyFingerprint"),
                    f.Edit("Private key file:", "PrivateKeyFile"), f.Password("Key passphrase:", "PrivateKeyCookie")};
    f.FinishTabOrder();
    return std::make_unique<TProtocolChoice>(protocol, port, std::move(ftpOnly), std::move(sftpOnly));
}

// Binary is the enumeration's second value, but the page offers it first.
std::vector<QRadioButton*> AddTransferType(TFormBuilder& f, const QString& binary, const QString& ascii) {
    return f.Radios({binary, ascii}, {1, 0}, "TransferType");
}

class TServerPage : public TFormPage {
public:
    TServerPage(QWidget* owner, const TServerProperties& names)
        : TFormPage(owner, "Server && Authentication"), FProtocol(AddServerFields(Fields(), names)) {}

    void ReadActionData(const quillate::TZRAction& action) override {
        TFormPage::ReadActionData(action);
        FProtocol->Apply();
    }

private:
    std::unique_ptr<TProtocolChoice> FProtocol;
};

class TFTPMoreOptionsFrame : public TFormPage, public TSFTPAwarePage {
public:
    explicit TFTPMoreOptionsFrame(QWidget* owner) : TFormPage(owner, "Options") {
        auto& f = Fields();
        FFTPOnly.push_back(f.Check("Passive", "Passive"));
        f.Check("Detailed logging", "DetailedLogging");
        for (auto* radio : AddTransferType(f, "Binary", "ASCII"))
            FFTPOnly.push_back(radio);
        f.FinishTabOrder();
    }

    void ReadActionData(const quillate::TZRAction& action) override {
        TFormPage::ReadActionData(action);
        ShowProtocol(StoresSFTP(action));
    }
    void ShowProtocol(bool sftp) override {
        for (auto* widget : FFTPOnly)
            widget->setEnabled(!sftp);
    }

private:
    std::vector<QWidget*> FFTPOnly;
};

} // namespace

bool StoresSFTP(const quillate::TZRAction& action) {
    const auto* property = action.Properties().Find("Protocol");
    return property && property->Get(action) == quillate::TPropertyValue(std::int64_t{1});
}

TProtocolChoice::TProtocolChoice(QComboBox* protocol, QSpinBox* port, std::vector<QWidget*> ftpOnly,
                                 std::vector<QWidget*> sftpOnly)
    : FProtocol(protocol), FPort(port), FFTPOnly(std::move(ftpOnly)), FSFTPOnly(std::move(sftpOnly)) {
    QObject::connect(protocol, &QComboBox::currentIndexChanged, protocol, [this] { Apply(); });
    // Back to FTP by the user's hand only: a project's FTP server on port 22 is read as it is.
    QObject::connect(protocol, &QComboBox::activated, protocol, [this](int index) {
        if (index == 0 && FPort->value() == 22)
            FPort->setValue(21);
    });
}

void TProtocolChoice::Apply() const {
    const bool sftp = FProtocol->currentIndex() == 1;
    for (auto* widget : FFTPOnly)
        widget->setEnabled(!sftp);
    for (auto* widget : FSFTPOnly)
        widget->setEnabled(sftp);
    // The run takes 22 for SFTP where the port is left at 21; the page shows what it will use.
    if (sftp && FPort->value() == 21)
        FPort->setValue(22);
    for (auto* widget : FProtocol->window()->findChildren<QWidget*>())
        if (auto* page = dynamic_cast<TSFTPAwarePage*>(widget))
            page->ShowProtocol(sftp);
}

TFTPConnectFrame::TFTPConnectFrame(QWidget* owner) : TFormPage(owner, "FTP Connection") {
    auto& f = Fields();
    FName = f.Edit("Connection name:", "FTPConnectionName");
    FFTPOnly.push_back(f.Check("Passive", "Passive"));
    for (auto* radio : AddTransferType(f, "Binary transfer mode", "ASCII transfer mode"))
        FFTPOnly.push_back(radio);
    f.Check("Enable keep alives", "EnableKeepAlives");
    FFTPOnly.push_back(f.Check("Use HOST command", "UseHOST"));
    f.Check("Detailed FTP logging", "DetailedLogging");
    f.FinishTabOrder();
}

void TFTPConnectFrame::DoInitPage(quillate::TZRAction&, const quillate::IDesignProject& project) {
    FConnectionNames.clear();
    for (const auto& name : project.ProjectObjectNames("FTPConnection"))
        FConnectionNames << QString::fromStdString(name);
}

void TFTPConnectFrame::ReadActionData(const quillate::TZRAction& action) {
    TFormPage::ReadActionData(action);
    FOriginalName = FName->text();
    ShowProtocol(StoresSFTP(action));
}

void TFTPConnectFrame::ShowProtocol(bool sftp) {
    for (auto* widget : FFTPOnly)
        widget->setEnabled(!sftp);
}

bool TFTPConnectFrame::Validate() {
    const QString name = FName->text().trimmed();
    FName->setText(name);
    if (name.isEmpty())
        return Refuse("Please specify a connection name.");
    if (name.compare(FOriginalName, Qt::CaseInsensitive) != 0 &&
        FConnectionNames.contains(name, Qt::CaseInsensitive))
        return Refuse(
            "Please specify a different connection name \r\nbecause that name is already being used");
    FLastMessage.clear();
    return true;
}

bool TFTPConnectFrame::Refuse(const QString& message) {
    FLastMessage = message;
    if (FShowMessages)
        QMessageBox::warning(this, PageName(), message);
    return false;
}

TFTPGlobalOptionsFrame::TFTPGlobalOptionsFrame(QWidget* owner) : TOptionPage(owner) {
    TFormBuilder builder(new QFormLayout(this), &FBinder);
    FProtocol = AddServerFields(builder, GlobalServer);
}

void TFTPGlobalOptionsFrame::ReadOptions(const quillate::TZROptionsObject& options) {
    FBinder.Read(options);
    FProtocol->Apply();
}

void TFTPGlobalOptionsFrame::WriteOptions(quillate::TZROptionsObject& options) {
    FBinder.Write(options);
}

void RegisterFTPConnectionPages() {
    auto& classes = quillate::DesignClasses();
    classes.RegisterPage("TFTPConnectFrame", [](QWidget* o) { return new TFTPConnectFrame(o); });
    classes.RegisterPage("TFTPServerFrame", [](QWidget* o) { return new TServerPage(o, ConnectServer); });
    classes.RegisterPage("TFTPOptionsFrame", [](QWidget* o) { return new TServerPage(o, ScriptServer); });
    classes.RegisterPage("TFTPMoreOptionsFrame", [](QWidget* o) { return new TFTPMoreOptionsFrame(o); });
    classes.RegisterOptionPage("TFTPGlobalOptionsFrame",
                               [](QWidget* o) { return new TFTPGlobalOptionsFrame(o); });
}

} // namespace zr::pages
