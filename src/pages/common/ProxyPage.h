// The proxy page that the FTP connection, the FTP script and the HTTP get action share: the proxy
// switch, its type where the action has one, server, port, user name and password.
#pragma once

#include "pages/common/FormPage.h"

namespace zr::pages {

class TProxyPage : public TFormPage {
    Q_OBJECT
public:
    // withType: the action has a ProxyType property (the FTP proxy login kinds).
    TProxyPage(QWidget* owner, QString caption, bool withType);
};

// Makes the page for the designer's registry.
quillate::TDesignClassRegistry::TPageFactory ProxyPageFactory(const char* caption, bool withType);

} // namespace zr::pages
