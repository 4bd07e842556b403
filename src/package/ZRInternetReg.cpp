// ZRRegister: tells the host which actions, option objects, stored classes and script names the
// package offers. Each unit adds its registrations here, in the order the host expects them.
#include "host/Registration.h"

namespace zr {

void RegisterPackage(bool designer) {
    // Units register here as they arrive: e-mail, e-mail options, HTTP, Telnet, the remaining actions,
    // the mirror's stored options, the mirror operations, the FTP script unit, FTP options, pages.
    (void)designer;
}

} // namespace zr

extern "C" __attribute__((visibility("default"))) void ZRRegister(quillate::IZRRegistrationHost* host) {
    zr::RegisterPackage(host && host->IsDesignerPresent());
}
