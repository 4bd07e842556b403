// The registration services a package calls from ZRRegister, and loading packages with dlopen.
#pragma once

#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "host/Persistent.h"

namespace quillate {

// Handed to a package's ZRRegister; the package asks whether the designer is present.
class IZRRegistrationHost {
public:
    virtual ~IZRRegistrationHost() = default;
    virtual bool IsDesignerPresent() const = 0;
};

struct TActionRegistration {
    std::string Category;
    const TMetaClass* Class = nullptr;
    std::string Image;
};

struct TPropertyPagesRegistration {
    const TMetaClass* Class = nullptr;
    TStringList Pages;
};

struct TPropertyEditorRegistration {
    std::string PropertyType;
    const TMetaClass* Class = nullptr;
    std::string PropertyName;
    std::string Editor;
};

class TActionService {
public:
    void RegisterAction(const std::string& category, const TMetaClass& cls, const std::string& image);
    void RegisterPropertyPages(const TMetaClass& cls, const TStringList& pages);
    void RegisterPropertyEditor(const std::string& propertyType, const TMetaClass& cls,
                                const std::string& propertyName, const std::string& editor);

    std::vector<TActionRegistration> Actions() const;
    std::vector<TPropertyPagesRegistration> PropertyPages() const;
    std::vector<TPropertyEditorRegistration> PropertyEditors() const;
    // The registered action class with this stored type identifier, or nullptr.
    const TMetaClass* FindAction(const std::string& storedType) const;
    void Clear();

private:
    mutable std::mutex FLock;
    std::vector<TActionRegistration> FActions;
    std::vector<TPropertyPagesRegistration> FPages;
    std::vector<TPropertyEditorRegistration> FEditors;
};

TActionService& ActionService();

// The entry point every package exports, and the optional one that names the package.
extern "C" {
using TZRRegisterProc = void (*)(IZRRegistrationHost* host);
struct TZRPackageInfo {
    const char* Description;
    const char* Version;
};
using TZRPackageInfoProc = const TZRPackageInfo* (*)();
// A resource compiled into the package (a palette image, ...): its bytes and size, or nullptr.
using TZRPackageResourceProc = const unsigned char* (*)(const char* name, std::size_t* size);
}
inline constexpr const char* RegisterProcName = "ZRRegister";
inline constexpr const char* PackageInfoProcName = "ZRPackageInfo";
inline constexpr const char* PackageResourceProcName = "ZRPackageResource";

struct TLoadedPackage {
    std::string Path;
    // Empty when the package does not describe itself.
    std::string Description;
    std::string Version;
    // nullptr when the package has no resources.
    TZRPackageResourceProc Resource = nullptr;
};

class EPackageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Loads a package and calls its ZRRegister; the library stays loaded for the life of the process.
void LoadPackage(const std::string& path, IZRRegistrationHost& host);
// The package beside the running program (libZRInternetActions.so), then every library named in
// QUILLATE_EXTRA_PACKAGES (a colon-separated list of paths).
void LoadStandardPackages(IZRRegistrationHost& host);
// The folder of the running program, where its packages and companion programs live.
std::filesystem::path ExecutableDirectory();
// Every package loaded so far, in loading order.
std::vector<TLoadedPackage> LoadedPackages();
// The bytes of the named resource of the first loaded package that has it; empty when none has.
std::string_view FindPackageResource(const std::string& name);

} // namespace quillate
