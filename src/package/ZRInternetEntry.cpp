// ZRRegister: the one entry point of the package, called by the host once after loading it.
#include "host/Registration.h"
#include "package/ZRInternetReg.h"

extern "C" __attribute__((visibility("default"))) void ZRRegister(quillate::IZRRegistrationHost* host) {
    zr::RegisterPackage(host && host->IsDesignerPresent());
}
