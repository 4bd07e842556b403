// The ICQ action's page.
#include "pages/ProtocolPages.h"

#include "design/DesignContract.h"
#include "pages/icq/ICQFrame.h"

namespace zr::pages {

void RegisterICQPages() {
    quillate::DesignClasses().RegisterPage("TICQFrame", [](QWidget* owner) { return new TICQFrame(owner); });
}

} // namespace zr::pages
