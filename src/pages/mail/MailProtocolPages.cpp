// The e-mail and news actions' pages, the e-mail options page and the e-mail action's editors.
#include "pages/ProtocolPages.h"

#include "design/DesignContract.h"
#include "pages/mail/AddressListFrame.h"
#include "pages/mail/EmailServerPages.h"
#include "pages/mail/MessagePages.h"
#include "pages/mail/NNTPFrame.h"

namespace zr::pages {

void RegisterEmailPages() {
    auto& classes = quillate::DesignClasses();
    classes.RegisterPage("TEmailOptionsFrame", [](QWidget* owner) { return new TEmailOptionsFrame(owner); });
    RegisterMessageClasses();
    RegisterAddressListClasses();
    classes.RegisterOptionPage("TEmailGlobalOptionsFrame",
                               [](QWidget* owner) { return new TEmailGlobalOptionsFrame(owner); });
}

// The body and attachment pages it shares with the e-mail action are registered with those.
void RegisterNewsPages() {
    quillate::DesignClasses().RegisterPage("TNNTPFrame", [](QWidget* owner) { return new TNNTPFrame(owner); });
}

} // namespace zr::pages
