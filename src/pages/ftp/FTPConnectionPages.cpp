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

void AddServerFields(TFormBuilder& f, const TServerProperties& names) {
    f.Edit("Host:", names.Host);
    f.Number("Port:", names.Port, 0, 65535);
    f.Edit("User:", names.User);
    if (names.StoredPassword)
        f.Password("Password:", names.Password);
    else
        f.ClearPassword("Password:", names.Password);
    if (*names.UseGlobal)
        f.Check("Use global FTP options", names.UseGlobal);
    f.Choice("FTP over TLS:", {"None", "Explicit (AUTH TLS)", "Implicit"}, "Security");
    f.Check("Protect data connections (PROT P)", "SecureData");
    f.FinishTabOrder();
}

// Binary is the enumeration's second value, but the page offers it first.
void AddTransferType(TFormBuilder& f, const QString& binary, const QString& ascii) {
    f.Radios({binary, ascii}, {1, 0}, "TransferType");
}

class TServerPage : public TFormPage {
public:
    TServerPage(QWidget* owner, const TServerProperties& names)
        : TFormPage(owner, "Server && Authentication") {
        AddServerFields(Fields(), names);
    }
};

class TFTPMoreOptionsFrame : public TFormPage {
public:
    explicit TFTPMoreOptionsFrame(QWidget* owner) : TFormPage(owner, "Options") {
        auto& f = Fields();
        f.Check("Passive", "Passive");
        f.Check("Detailed logging", "DetailedLogging");
        AddTransferType(f, "Binary", "ASCII");
        f.FinishTabOrder();
    }
};

} // namespace

TFTPConnectFrame::TFTPConnectFrame(QWidget* owner) : TFormPage(owner, "FTP Connection") {
    auto& f = Fields();
    FName = f.Edit("Connection name:", "FTPConnectionName");
    f.Check("Passive", "Passive");
    AddTransferType(f, "Binary transfer mode", "ASCII transfer mode");
    f.Check("Enable keep alives", "EnableKeepAlives");
    f.Check("Use HOST command", "UseHOST");
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
    AddServerFields(builder, GlobalServer);
}

void TFTPGlobalOptionsFrame::ReadOptions(const quillate::TZROptionsObject& options) {
    FBinder.Read(options);
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
