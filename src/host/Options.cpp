#include "host/Options.h"

#include "base/Text.h"
#include "host/CryptoUtils.h"
#include "host/UserFile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fmt/format.h>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillate {

using nlohmann::ordered_json;

namespace {

constexpr std::string_view PasswordMask = "********";

bool ParseInteger(const std::string& text, long long& out) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end && !text.empty();
}

bool ParseBool(std::string text, bool& out) {
    text = base::LowerCase(std::move(text));
    if (text == "true" || text == "1") {
        out = true;
        return true;
    }
    if (text == "false" || text == "0") {
        out = false;
        return true;
    }
    return false;
}

std::string ValueText(const ordered_json& value) {
    if (value.is_string())
        return value.get<std::string>();
    if (value.is_null())
        return {};
    return value.dump();
}

EOptionsError SystemError(const std::string& what) {
    return EOptionsError(fmt::format("{}: {}", what, std::strerror(errno)));
}

void WriteAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw SystemError("write failed");
        }
        done += static_cast<std::size_t>(n);
    }
}

std::string Where(const std::string& section, const std::string& key) {
    return section + "." + key;
}

std::filesystem::path HomeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir)
        return pw->pw_dir;
    throw EOptionsError("cannot find the home folder for the options store (HOME is not set)");
}

} // namespace

const TMetaClass& TZROptionsObject::ClassInfo() {
    static const TMetaClass info = TMetaClass::Of<TZROptionsObject>("TZROptionsObject", "", nullptr);
    return info;
}

void TZROptionsObject::LoadOptions(IZROptionsReader& reader) {
    for (const TPropertyInfo& p : Properties().Properties()) {
        if (!p.Stored)
            continue;
        switch (p.Kind) {
        case TPropertyKind::String:
        case TPropertyKind::VariableName:
            p.Set(*this, reader.ReadString(p.Name, std::get<std::string>(p.Get(*this))));
            break;
        case TPropertyKind::Boolean:
            p.Set(*this, reader.ReadBool(p.Name, std::get<bool>(p.Get(*this))));
            break;
        case TPropertyKind::Int32: {
            int value = reader.ReadInteger(p.Name, static_cast<int>(std::get<std::int64_t>(p.Get(*this))));
            if (std::string problem = p.RangeProblem(value); !problem.empty())
                throw EOptionsError(fmt::format("{}.{}: {}", Section(), p.Name, problem));
            p.Set(*this, static_cast<std::int64_t>(value));
            break;
        }
        case TPropertyKind::Enum: {
            int value = reader.ReadInteger(p.Name, static_cast<int>(std::get<std::int64_t>(p.Get(*this))));
            if (p.Enum && (value < 0 || static_cast<std::size_t>(value) >= p.Enum->Values.size()))
                throw EOptionsError(
                    fmt::format("{}.{}: {} is no value of {}", Section(), p.Name, value, p.Enum->Name));
            p.Set(*this, static_cast<std::int64_t>(value));
            break;
        }
        default:
            throw EOptionsError(fmt::format("{}.{}: a {} property needs its own LoadOptions", ClassName(),
                                            p.Name, PropertyKindName(p.Kind)));
        }
    }
}

void TZROptionsObject::SaveOptions(IZROptionsWriter& writer) {
    for (const TPropertyInfo& p : Properties().Properties()) {
        if (!p.Stored)
            continue;
        TPropertyValue value = p.Get(*this);
        switch (p.Kind) {
        case TPropertyKind::String:
        case TPropertyKind::VariableName:
            writer.WriteString(p.Name, std::get<std::string>(value));
            break;
        case TPropertyKind::Boolean:
            writer.WriteBool(p.Name, std::get<bool>(value));
            break;
        case TPropertyKind::Int32:
        case TPropertyKind::Enum:
            writer.WriteInteger(p.Name, static_cast<int>(std::get<std::int64_t>(value)));
            break;
        default:
            throw EOptionsError(fmt::format("{}.{}: a {} property needs its own SaveOptions", ClassName(),
                                            p.Name, PropertyKindName(p.Kind)));
        }
    }
}

int TOptionsSection::ReadInteger(const std::string& key, int defaultValue) const {
    ordered_json value = FStore.Get(FName, key);
    if (value.is_null())
        return defaultValue;
    long long number = 0;
    bool ok = false;
    if (value.is_number_integer()) {
        ok = !value.is_number_unsigned() || value.get<unsigned long long>() <= LLONG_MAX;
        number = ok ? value.get<long long>() : 0;
    } else if (value.is_string()) {
        ok = ParseInteger(value.get<std::string>(), number);
    }
    if (!ok || number < INT_MIN || number > INT_MAX)
        throw EOptionsError(
            fmt::format("{}: expected an integer, found {}", Where(FName, key), value.dump()));
    return static_cast<int>(number);
}

std::string TOptionsSection::ReadString(const std::string& key, const std::string& defaultValue) const {
    ordered_json value = FStore.Get(FName, key);
    if (value.is_null())
        return defaultValue;
    std::optional<std::string> encryptionKey = FStore.EncryptionKeyOf(FName, key);
    if (value.is_object() || value.is_array() || (encryptionKey && !value.is_string()))
        throw EOptionsError(fmt::format("{}: expected a string, found {}", Where(FName, key), value.dump()));
    std::string text = ValueText(value);
    if (!encryptionKey)
        return text;
    return DecryptString(text, *encryptionKey, Where(FName, key));
}

bool TOptionsSection::ReadBool(const std::string& key, bool defaultValue) const {
    ordered_json value = FStore.Get(FName, key);
    if (value.is_null())
        return defaultValue;
    if (value.is_boolean())
        return value.get<bool>();
    bool result = false;
    if (value.is_number_integer() && (value == 0 || value == 1))
        return value == 1;
    if (value.is_string() && ParseBool(value.get<std::string>(), result))
        return result;
    throw EOptionsError(fmt::format("{}: expected a Boolean, found {}", Where(FName, key), value.dump()));
}

void TOptionsSection::WriteInteger(const std::string& key, int value) {
    FStore.Put(FName, key, value);
}

void TOptionsSection::WriteString(const std::string& key, const std::string& value) {
    std::optional<std::string> encryptionKey = FStore.EncryptionKeyOf(FName, key);
    FStore.Put(FName, key, encryptionKey ? EncryptString(value, *encryptionKey) : value);
}

void TOptionsSection::WriteBool(const std::string& key, bool value) {
    FStore.Put(FName, key, value);
}

void TOptionsStore::Load(const std::filesystem::path& path) {
    // A store that does not exist yet is empty.
    std::string text;
    try {
        text = TUserFile::Read(path, TUserFileLimits{}.MaxBytes);
    } catch (const EUserFileError& e) {
        if (!e.Missing())
            throw EOptionsError(fmt::format("cannot read options file \"{}\": {}", path.string(), e.what()));
    }

    ordered_json content = ordered_json::object();
    if (text.find_first_not_of(" \t\r\n") != std::string::npos) {
        try {
            content = TUserFile::ParseJson(text);
        } catch (const EJsonError& e) {
            throw EOptionsError(fmt::format("malformed options file \"{}\": {}", path.string(), e.what()));
        }
        if (!content.is_object())
            throw EOptionsError(fmt::format("options file \"{}\" must hold a JSON object", path.string()));
        for (const auto& [name, section] : content.items())
            if (!section.is_object())
                throw EOptionsError(fmt::format("options file \"{}\": section \"{}\" must be a JSON object",
                                                path.string(), name));
    }

    std::lock_guard lock(FLock);
    FPath = path;
    FContent = std::move(content);
}

void TOptionsStore::Save() const {
    std::filesystem::path target;
    std::string text;
    {
        std::lock_guard lock(FLock);
        if (FPath.empty())
            throw EOptionsError("the options store has no file to save to");
        target = FPath;
        text = FContent.dump(4) + "\n";
    }
    // A store kept behind a link (dotfile managers do that) is updated where it really lives.
    std::error_code ec;
    if (std::filesystem::is_symlink(target, ec))
        target = std::filesystem::weakly_canonical(target);

    std::filesystem::path folder = target.parent_path().empty() ? "." : target.parent_path();
    std::filesystem::create_directories(folder, ec);
    if (ec)
        throw EOptionsError(fmt::format("cannot create the folder \"{}\" for the options file: {}",
                                        folder.string(), ec.message()));

    std::string temp = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        throw EOptionsError(fmt::format("cannot save options file \"{}\": cannot create a temporary file: {}",
                                        target.string(), std::strerror(errno)));
    try {
        if (::fchmod(fd, S_IRUSR | S_IWUSR) != 0)
            throw SystemError("fchmod failed");
        WriteAll(fd, text);
        if (::fsync(fd) != 0)
            throw SystemError("fsync failed");
        if (::close(fd) != 0) {
            fd = -1;
            throw SystemError("close failed");
        }
        fd = -1;
        if (::rename(temp.c_str(), target.c_str()) != 0)
            throw SystemError("rename failed");
    } catch (const std::exception& e) {
        if (fd >= 0)
            ::close(fd);
        ::unlink(temp.c_str());
        throw EOptionsError(fmt::format("cannot save options file \"{}\": {}", target.string(), e.what()));
    }
    // The rename is durable only once the folder is; failing here loses nothing already written.
    if (int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

std::filesystem::path TOptionsStore::Path() const {
    std::lock_guard lock(FLock);
    return FPath;
}

void TOptionsStore::Clear() {
    std::lock_guard lock(FLock);
    FPath.clear();
    FContent = ordered_json::object();
    FPasswordKeys.clear();
}

void TOptionsStore::DeclarePasswordKey(const std::string& section, const std::string& key,
                                       const std::string& encryptionKey) {
    std::lock_guard lock(FLock);
    auto [it, added] = FPasswordKeys[section].emplace(key, encryptionKey);
    if (!added && it->second != encryptionKey)
        throw EOptionsError(
            fmt::format("password key {}.{} is declared with two different key texts", section, key));
}

std::optional<std::string> TOptionsStore::EncryptionKeyOf(const std::string& section,
                                                          const std::string& key) const {
    std::lock_guard lock(FLock);
    auto s = FPasswordKeys.find(section);
    if (s == FPasswordKeys.end())
        return std::nullopt;
    auto k = s->second.find(key);
    if (k == s->second.end())
        return std::nullopt;
    return k->second;
}

ordered_json TOptionsStore::Get(const std::string& section, const std::string& key) const {
    std::lock_guard lock(FLock);
    auto s = FContent.find(section);
    if (s == FContent.end())
        return nullptr;
    auto k = s->find(key);
    return k == s->end() ? ordered_json() : *k;
}

void TOptionsStore::Put(const std::string& section, const std::string& key, ordered_json value) {
    std::lock_guard lock(FLock);
    FContent[section][key] = std::move(value);
}

std::string TOptionsStore::Show() const {
    std::lock_guard lock(FLock);
    std::string text;
    for (const auto& [section, keys] : FContent.items()) {
        auto passwords = FPasswordKeys.find(section);
        for (const auto& [key, value] : keys.items()) {
            bool secret = (passwords != FPasswordKeys.end() && passwords->second.contains(key)) ||
                          (value.is_string() && TCryptoUtils::IsStoredForm(value.get<std::string>()));
            std::string shown = ValueText(value);
            if (secret && !shown.empty())
                shown = PasswordMask;
            text += fmt::format("{}.{}={}\n", section, key, shown);
        }
    }
    return text;
}

void TOptionsStore::Set(const std::string& sectionDotKey, const std::string& value) {
    auto dot = sectionDotKey.find('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == sectionDotKey.size())
        throw EOptionsError(fmt::format("expected Section.Key, found \"{}\"", sectionDotKey));
    std::string section = sectionDotKey.substr(0, dot);
    std::string key = sectionDotKey.substr(dot + 1);

    if (std::optional<std::string> encryptionKey = EncryptionKeyOf(section, key)) {
        Put(section, key, EncryptString(value, *encryptionKey));
        return;
    }
    ordered_json existing = Get(section, key);
    if (existing.is_number_integer()) {
        long long number = 0;
        if (!ParseInteger(value, number))
            throw EOptionsError(
                fmt::format("{}.{} holds an integer; \"{}\" is not one", section, key, value));
        Put(section, key, number);
    } else if (existing.is_boolean()) {
        bool flag = false;
        if (!ParseBool(value, flag))
            throw EOptionsError(fmt::format("{}.{} holds a Boolean; \"{}\" is not one (true, false, 1 or 0)",
                                            section, key, value));
        Put(section, key, flag);
    } else {
        Put(section, key, value);
    }
}

ordered_json TOptionsStore::Content() const {
    std::lock_guard lock(FLock);
    return FContent;
}

std::filesystem::path DefaultOptionsPath() {
    // The XDG rules ignore a relative XDG_CONFIG_HOME.
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::filesystem::path folder =
        (config && *config && config[0] == '/') ? std::filesystem::path(config) : HomeFolder() / ".config";
    return folder / "quillate" / "options.json";
}

TOptionsService::TOptionsService(std::filesystem::path storePath) : FStorePath(std::move(storePath)) {}

void TOptionsService::RegisterOptions(const TMetaClass& cls, const std::string& image) {
    std::shared_ptr<TPersistent> created = cls.Create();
    auto prototype = std::dynamic_pointer_cast<TZROptionsObject>(created);
    if (!prototype)
        throw EOptionsError(fmt::format("{} is not an options class", cls.ClassName()));
    std::lock_guard lock(FLock);
    DeclarePasswordKeys(*prototype);
    for (auto& r : FOptions)
        if (r.Class == &cls) {
            r.Image = image;
            return;
        }
    FOptions.push_back({&cls, image});
}

void TOptionsService::RegisterOptionPages(const TMetaClass& cls, const TStringList& pages) {
    std::lock_guard lock(FLock);
    FPages.push_back({&cls, pages});
}

std::vector<TOptionsRegistration> TOptionsService::Options() const {
    std::lock_guard lock(FLock);
    return FOptions;
}

std::vector<TOptionPagesRegistration> TOptionsService::OptionPages() const {
    std::lock_guard lock(FLock);
    return FPages;
}

bool TOptionsService::IsRegistered(const TMetaClass& cls) const {
    std::lock_guard lock(FLock);
    return std::any_of(FOptions.begin(), FOptions.end(), [&](const auto& r) { return r.Class == &cls; });
}

void TOptionsService::DeclarePasswordKeys(const TZROptionsObject& object) {
    std::string section = object.Section();
    for (const std::string& key : object.PasswordKeys())
        FStore.DeclarePasswordKey(section, key, object.PasswordEncryptionKey(key));
}

void TOptionsService::EnsureLoaded() {
    if (FLoaded)
        return;
    if (FStorePath.empty())
        FStorePath = DefaultOptionsPath();
    FStore.Load(FStorePath);
    FLoaded = true;
}

std::shared_ptr<TZROptionsObject> TOptionsService::GetOptions(const TMetaClass& cls) {
    std::lock_guard lock(FLock);
    for (const auto& [c, object] : FObjects)
        if (c == &cls)
            return object;
    if (!IsRegistered(cls))
        throw EOptionsError(fmt::format("options class {} is not registered", cls.ClassName()));
    EnsureLoaded();

    auto object = std::dynamic_pointer_cast<TZROptionsObject>(cls.Create());
    if (!object)
        throw EOptionsError(fmt::format("{} is not an options class", cls.ClassName()));
    TOptionsSection section = FStore.Section(object->Section());
    // Readers name the key; the file is named here, keeping the exception's type.
    try {
        object->LoadOptions(section);
    } catch (const ECryptoError& e) {
        throw ECryptoError(fmt::format("options file \"{}\": {}", FStorePath.string(), e.what()));
    } catch (const std::exception& e) {
        throw EOptionsError(fmt::format("options file \"{}\": {}", FStorePath.string(), e.what()));
    }
    object->SetModified(false);
    // A re-entrant LoadOptions may already have created it; the first one stays the shared one.
    for (const auto& [c, existing] : FObjects)
        if (c == &cls)
            return existing;
    FObjects.emplace_back(&cls, object);
    return object;
}

void TOptionsService::ThrowWrongType(const TMetaClass& cls) {
    throw EOptionsError(
        fmt::format("the options object of {} does not have the requested type", cls.ClassName()));
}

void TOptionsService::SaveAll() {
    std::lock_guard lock(FLock);
    EnsureLoaded();
    // Copies: a SaveOptions that fetches another option object may add to both lists.
    const auto registrations = FOptions;
    const auto objects = FObjects;
    std::vector<std::shared_ptr<TZROptionsObject>> saved;
    for (const auto& registration : registrations)
        for (const auto& [c, object] : objects)
            if (c == registration.Class && object->GetModified()) {
                TOptionsSection section = FStore.Section(object->Section());
                object->SaveOptions(section);
                saved.push_back(object);
            }
    if (saved.empty())
        return;
    FStore.Save();
    for (const auto& object : saved)
        object->SetModified(false);
}

TOptionsStore& TOptionsService::Store() {
    std::lock_guard lock(FLock);
    EnsureLoaded();
    return FStore;
}

void TOptionsService::Open(const std::filesystem::path& path) {
    std::lock_guard lock(FLock);
    FStore.Load(path);
    FStorePath = path;
    FLoaded = true;
    FObjects.clear();
}

void TOptionsService::Reset(const std::filesystem::path& storePath) {
    std::lock_guard lock(FLock);
    FStore.Clear();
    FStorePath = storePath;
    FLoaded = false;
    FOptions.clear();
    FPages.clear();
    FObjects.clear();
}

TOptionsService& OptionsService() {
    static TOptionsService service;
    return service;
}

bool VerifyCertificates() {
    return OptionsService().Store().Section("Host").ReadBool("VerifyCertificates", true);
}

std::string UnverifiedCertificateWarning(const std::string& peer) {
    return fmt::format("Warning: the certificate of {} is not verified (turned off in the host options)",
                       peer);
}

} // namespace quillate
