// ZRRegister: the one entry point of the package, called by the host once after loading it; and the
// package's name and version for `quillate --version`.
#include "host/Registration.h"
#include "package/ZRInternetReg.h"

extern "C" __attribute__((visibility("default"))) void ZRRegister(quillate::IZRRegistrationHost* host) {
    zr::RegisterPackage(host && host->IsDesignerPresent());
}

extern "C" __attribute__((visibility("default"))) const quillate::TZRPackageInfo* ZRPackageInfo() {
    static const quillate::TZRPackageInfo info{"Quillate 5 Internet Package", QUILLATE_VERSION};
    return &info;
}
