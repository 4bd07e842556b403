#include "pages/OtherPages.h"

#include "pages/icq/ICQFrame.h"
#include "pages/mail/AddressListFrame.h"
#include "pages/mail/EmailServerPages.h"
#include "pages/mail/MessagePages.h"
#include "pages/mail/NNTPFrame.h"
#include "pages/telnet/TelnetOptFrame.h"
#include "pages/web/HTTPGetFrame.h"

namespace zr::pages {

namespace {

template <class TPage> void RegisterPage(const char* className) {
    quillate::DesignClasses().RegisterPage(className, [](QWidget* owner) { return new TPage(owner); });
}

} // namespace

void RegisterOtherPages() {
    RegisterPage<TEmailOptionsFrame>("TEmailOptionsFrame");
    RegisterMessageClasses();
    RegisterAddressListClasses();
    RegisterPage<TNNTPFrame>("TNNTPFrame");
    RegisterPage<TInetHTTPGetFrame>("TInetHTTPGetFrame");
    RegisterPage<TZRTelnetOptFrame>("TZRTelnetOptFrame");
    RegisterPage<TICQFrame>("TICQFrame");
    quillate::DesignClasses().RegisterOptionPage(
        "TEmailGlobalOptionsFrame", [](QWidget* owner) { return new TEmailGlobalOptionsFrame(owner); });
}

} // namespace zr::pages
