// ZRRegisterPages: called by the package after it loaded this library, when the designer is present.
#include "design/DesignContract.h"
#include "pages/ProtocolPages.h"

extern "C" __attribute__((visibility("default"))) void ZRRegisterPages() {
#define ZR_REGISTER_PAGES(NAME) zr::pages::Register##NAME##Pages();
    ZR_PACKAGE_PROTOCOLS(ZR_REGISTER_PAGES)
#undef ZR_REGISTER_PAGES
}
