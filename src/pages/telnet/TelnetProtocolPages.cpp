// The Telnet action's pages.
#include "pages/ProtocolPages.h"

#include "design/DesignContract.h"
#include "pages/telnet/TelnetOptFrame.h"
#include "pages/telnet/TelnetScriptPage.h"

namespace zr::pages {

void RegisterTelnetPages() {
    auto& classes = quillate::DesignClasses();
    classes.RegisterPage("TZRTelnetOptFrame", [](QWidget* owner) { return new TZRTelnetOptFrame(owner); });
    classes.RegisterPage("TZRTelnetScrptFrame", [](QWidget* owner) { return new TZRTelnetScrptFrame(owner); });
}

} // namespace zr::pages
