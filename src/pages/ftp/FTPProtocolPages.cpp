// The FTP actions' pages and the FTP options page.
#include "pages/ProtocolPages.h"

#include "design/DesignContract.h"
#include "pages/common/ProxyPage.h"
#include "pages/ftp/FTPConnectionPages.h"
#include "pages/ftp/FTPMirrorPages.h"
#include "pages/ftp/FTPOperationPages.h"
#include "pages/ftp/FTPScriptPages.h"

namespace zr::pages {

namespace {

// An FTP proxy cannot carry SSH: the page is disabled while the protocol is SFTP.
class TFTPProxyPage : public TProxyPage, public TSFTPAwarePage {
public:
    explicit TFTPProxyPage(QWidget* owner) : TProxyPage(owner, "FTP Proxy", true) {}

    void ReadActionData(const quillate::TZRAction& action) override {
        TProxyPage::ReadActionData(action);
        ShowProtocol(StoresSFTP(action));
    }
    void ShowProtocol(bool sftp) override {
        for (auto* widget : findChildren<QWidget*>())
            widget->setEnabled(!sftp);
    }
};

} // namespace

void RegisterFTPPages() {
    RegisterFTPConnectionPages();
    for (const char* name : {"TFTPNewProxyFrame", "TFTPProxyFrame"})
        quillate::DesignClasses().RegisterPage(name, [](QWidget* owner) { return new TFTPProxyPage(owner); });
    RegisterFTPOperationPages();
    RegisterFTPMirrorPages();
    RegisterFTPScriptPages();
}

} // namespace zr::pages
