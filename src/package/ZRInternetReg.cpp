#include "package/ZRInternetReg.h"

namespace zr {

void RegisterPackage(bool designer) {
    // Units register here as they arrive: e-mail, e-mail options, HTTP, Telnet, the remaining actions,
    // the mirror's stored options, the mirror operations, the FTP script unit, FTP options, pages.
    (void)designer;
}

} // namespace zr
