// The FTP actions' pages and the FTP options page.
#include "pages/ProtocolPages.h"

#include "design/DesignContract.h"
#include "pages/common/ProxyPage.h"
#include "pages/ftp/FTPConnectionPages.h"
#include "pages/ftp/FTPMirrorPages.h"
#include "pages/ftp/FTPOperationPages.h"
#include "pages/ftp/FTPScriptPages.h"

namespace zr::pages {

void RegisterFTPPages() {
    RegisterFTPConnectionPages();
    for (const char* name : {"TFTPNewProxyFrame", "TFTPProxyFrame"})
        quillate::DesignClasses().RegisterPage(name, ProxyPageFactory("FTP Proxy", true));
    RegisterFTPOperationPages();
    RegisterFTPMirrorPages();
    RegisterFTPScriptPages();
}

} // namespace zr::pages
