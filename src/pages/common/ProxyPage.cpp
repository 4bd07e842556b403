#include "pages/common/ProxyPage.h"

#include <limits>

namespace zr::pages {

TProxyPage::TProxyPage(QWidget* owner, QString caption, bool withType)
    : TFormPage(owner, std::move(caption)) {
    auto& f = Fields();
    f.Check("Use proxy server", "UseProxy");
    if (withType)
        f.Choice("Proxy type:", {"None", "UserSite", "Site", "Open", "UserPass", "Transparent"}, "ProxyType");
    f.Edit("Server:", "ProxyServer");
    f.Number("Port:", "ProxyPort", 0, 65535);
    f.Edit("Username:", "ProxyUsername");
    f.Password("Password:", "ProxyCookie");
    f.FinishTabOrder();
}

quillate::TDesignClassRegistry::TPageFactory ProxyPageFactory(const char* caption, bool withType) {
    return [caption, withType](QWidget* owner) { return new TProxyPage(owner, caption, withType); };
}

} // namespace zr::pages
