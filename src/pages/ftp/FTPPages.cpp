#include "pages/ftp/FTPPages.h"

#include "pages/common/ProxyPage.h"
#include "pages/common/TelnetScriptPage.h"
#include "pages/ftp/FTPConnectionPages.h"
#include "pages/ftp/FTPMirrorPages.h"
#include "pages/ftp/FTPOperationPages.h"
#include "pages/ftp/FTPScriptPages.h"

namespace zr::pages {

void RegisterFTPPages() {
    RegisterFTPConnectionPages();
    RegisterProxyPages();
    RegisterFTPOperationPages();
    RegisterFTPMirrorPages();
    RegisterFTPScriptPages();
    RegisterTelnetScriptPage();
}

} // namespace zr::pages
