// ZRRegisterPages: called by the package after it loaded this library, when the designer is present.
#include "design/DesignContract.h"
#include "pages/OtherPages.h"
#include "pages/ftp/FTPPages.h"

extern "C" __attribute__((visibility("default"))) void ZRRegisterPages() {
    zr::pages::RegisterFTPPages();
    zr::pages::RegisterOtherPages();
}
