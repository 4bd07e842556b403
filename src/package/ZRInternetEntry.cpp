// The package's exported entry points: ZRRegister, called by the host once after loading it; its name
// and version for `quillate --version`; and its resources (the palette images) by name.
#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include <fmt/format.h>

#include "host/Registration.h"
#include "package/ZRInternetReg.h"
#include "package/ZRPackageResources.h"

namespace {

constexpr const char* PagesLibraryName = "libZRInternetPages.so";
constexpr const char* RegisterPagesProcName = "ZRRegisterPages";

// The pages need Qt, so they live in a library of their own beside the package, which only a host
// with a designer makes us load.
void LoadPagesLibrary() {
    static const char marker = 0;
    Dl_info self{};
    if (!dladdr(&marker, &self) || !self.dli_fname)
        throw quillate::EPackageError("Cannot find the folder the internet package was loaded from");
    const std::string path = (std::filesystem::path(self.dli_fname).parent_path() / PagesLibraryName).string();
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        throw quillate::EPackageError(fmt::format("Cannot load the property pages {}: {}", path, dlerror()));
    auto registerPages = reinterpret_cast<void (*)()>(dlsym(handle, RegisterPagesProcName));
    if (!registerPages)
        throw quillate::EPackageError(
            fmt::format("The property pages {} do not export {}: {}", path, RegisterPagesProcName, dlerror()));
    registerPages();
}

} // namespace

extern "C" __attribute__((visibility("default"))) void ZRRegister(quillate::IZRRegistrationHost* host) {
    const bool designer = host && host->IsDesignerPresent();
    zr::RegisterPackage(designer);
    if (designer)
        LoadPagesLibrary();
}

extern "C" __attribute__((visibility("default"))) const quillate::TZRPackageInfo* ZRPackageInfo() {
    static const quillate::TZRPackageInfo info{"Quillate 5 Internet Package", QUILLATE_VERSION};
    return &info;
}

extern "C" __attribute__((visibility("default"))) const unsigned char* ZRPackageResource(const char* name,
                                                                                         std::size_t* size) {
    if (!name)
        return nullptr;
    const auto resources = zr::PackageResources();
    auto found = std::find_if(resources.begin(), resources.end(),
                              [name](const zr::TPackageResource& r) { return std::strcmp(r.Name, name) == 0; });
    if (found == resources.end())
        return nullptr;
    if (size)
        *size = found->Size;
    return found->Bytes;
}
