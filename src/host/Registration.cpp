#include "host/Registration.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>

#include <fmt/format.h>

namespace quillate {

void TActionService::RegisterAction(const std::string& category, const TMetaClass& cls, const std::string& image) {
    std::lock_guard lock(FLock);
    FActions.push_back({category, &cls, image});
}

void TActionService::RegisterPropertyPages(const TMetaClass& cls, const TStringList& pages) {
    std::lock_guard lock(FLock);
    FPages.push_back({&cls, pages});
}

void TActionService::RegisterPropertyEditor(const std::string& propertyType, const TMetaClass& cls,
                                            const std::string& propertyName, const std::string& editor) {
    std::lock_guard lock(FLock);
    FEditors.push_back({propertyType, &cls, propertyName, editor});
}

std::vector<TActionRegistration> TActionService::Actions() const {
    std::lock_guard lock(FLock);
    return FActions;
}

std::vector<TPropertyPagesRegistration> TActionService::PropertyPages() const {
    std::lock_guard lock(FLock);
    return FPages;
}

std::vector<TPropertyEditorRegistration> TActionService::PropertyEditors() const {
    std::lock_guard lock(FLock);
    return FEditors;
}

const TMetaClass* TActionService::FindAction(const std::string& storedType) const {
    std::lock_guard lock(FLock);
    for (const auto& a : FActions)
        if (a.Class->StoredType() == storedType)
            return a.Class;
    return nullptr;
}

void TActionService::Clear() {
    std::lock_guard lock(FLock);
    FActions.clear();
    FPages.clear();
    FEditors.clear();
}

TActionService& ActionService() {
    static TActionService service;
    return service;
}

namespace {

std::mutex& PackagesLock() {
    static std::mutex lock;
    return lock;
}

std::vector<TLoadedPackage>& Packages() {
    static std::vector<TLoadedPackage> packages;
    return packages;
}

} // namespace

void LoadPackage(const std::string& path, IZRRegistrationHost& host) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        throw EPackageError(fmt::format("Cannot load package {}: {}", path, dlerror()));
    auto proc = reinterpret_cast<TZRRegisterProc>(dlsym(handle, RegisterProcName));
    if (!proc)
        throw EPackageError(fmt::format("Package {} does not export {}", path, RegisterProcName));
    TLoadedPackage loaded{path, {}, {}, reinterpret_cast<TZRPackageResourceProc>(dlsym(handle, PackageResourceProcName))};
    if (auto info = reinterpret_cast<TZRPackageInfoProc>(dlsym(handle, PackageInfoProcName))) {
        const TZRPackageInfo* described = info();
        loaded.Description = described && described->Description ? described->Description : "";
        loaded.Version = described && described->Version ? described->Version : "";
    }
    proc(&host);
    std::lock_guard lock(PackagesLock());
    Packages().push_back(std::move(loaded));
}

std::filesystem::path ExecutableDirectory() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::current_path() : exe.parent_path();
}

void LoadStandardPackages(IZRRegistrationHost& host) {
    LoadPackage((ExecutableDirectory() / "libZRInternetActions.so").string(), host);
    const char* extra = std::getenv("QUILLATE_EXTRA_PACKAGES");
    std::string list = extra ? extra : "";
    std::size_t start = 0;
    while (start < list.size()) {
        std::size_t end = std::min(list.find(':', start), list.size());
        if (end > start)
            LoadPackage(list.substr(start, end - start), host);
        start = end + 1;
    }
}

std::vector<TLoadedPackage> LoadedPackages() {
    std::lock_guard lock(PackagesLock());
    return Packages();
}

std::string_view FindPackageResource(const std::string& name) {
    std::lock_guard lock(PackagesLock());
    for (const auto& package : Packages()) {
        std::size_t size = 0;
        if (const unsigned char* bytes = package.Resource ? package.Resource(name.c_str(), &size) : nullptr)
            return {reinterpret_cast<const char*>(bytes), size};
    }
    return {};
}

} // namespace quillate
