// The HTTP action's pages.
#include "pages/ProtocolPages.h"

#include "design/DesignContract.h"
#include "pages/common/ProxyPage.h"
#include "pages/web/HTTPGetFrame.h"

namespace zr::pages {

void RegisterWebPages() {
    auto& classes = quillate::DesignClasses();
    classes.RegisterPage("TInetHTTPGetFrame", [](QWidget* owner) { return new TInetHTTPGetFrame(owner); });
    classes.RegisterPage("THTTPProxyFrame", ProxyPageFactory("HTTP Proxy", false));
}

} // namespace zr::pages
