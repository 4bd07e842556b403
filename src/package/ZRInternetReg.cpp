#include "package/ZRInternetReg.h"

#include "ftp/ZRFTPConnectAction.h"
#include "ftp/ZRFTPOptions.h"
#include "host/Registration.h"
#include "mail/ZREmailOptions.h"

namespace zr {

namespace {

constexpr const char* InternetCategory = "Internet";

// The single-step actions, in the order the palette lists them.
void RegisterRemainingActions() {
    auto& actions = quillate::ActionService();
    actions.RegisterAction(InternetCategory, TFTPConnectionAction::ClassInfo(), "FTPCONNECT");
    actions.RegisterAction(InternetCategory, TFTPCheckIfConnectedAction::ClassInfo(), "FTPIFCONNECTED");
    actions.RegisterAction(InternetCategory, TFTPDisconnectAction::ClassInfo(), "FTPDISCONNECT");
}

} // namespace

void RegisterPackage(bool designer) {
    (void)designer;
    RegisterEmailOptions();
    RegisterRemainingActions();
    RegisterFTPOptions();
}

} // namespace zr
