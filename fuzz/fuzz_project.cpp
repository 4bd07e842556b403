// A project as `quillate validate` reads it, with the package registered: the text is loaded, every
// action validated and the project saved again. The first byte makes the size limit small, the
// second the depth limits (0xFF keeps the real ones). Only a load error may leave the loader.
#include "host/Project.h"
#include "package/ZRInternetReg.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool registered = (zr::RegisterPackage(false), true);
    (void)registered;
    if (size < 2)
        return 0;
    quillate::TProjectLimits limits;
    limits.File.MaxBytes = 16 + std::size_t{data[0]} * 64;
    if (data[1] != 0xFF) {
        limits.File.MaxJsonDepth = 1 + data[1] % 32;
        limits.MaxTreeDepth = 1 + data[1] / 32;
    }
    std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
    try {
        quillate::TProject project = quillate::TProject::Parse(text, "fuzz.json", limits);
        (void)project.Validate();
        (void)project.ToJson();
    } catch (const quillate::EProjectError&) {
    }
    return 0;
}
