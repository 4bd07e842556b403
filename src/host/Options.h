// Global option objects and the JSON store that keeps them between runs.
#pragma once

#include "host/Persistent.h"

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace quillate {

class EOptionsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads one section of the store. A missing key yields the default; a value of the wrong type is an
// EOptionsError naming the key (numbers and Booleans written as text are accepted).
class IZROptionsReader {
public:
    virtual int ReadInteger(const std::string& key, int defaultValue) const = 0;
    virtual std::string ReadString(const std::string& key, const std::string& defaultValue) const = 0;
    virtual bool ReadBool(const std::string& key, bool defaultValue) const = 0;

protected:
    ~IZROptionsReader() = default;
};

class IZROptionsWriter {
public:
    virtual void WriteInteger(const std::string& key, int value) = 0;
    virtual void WriteString(const std::string& key, const std::string& value) = 0;
    virtual void WriteBool(const std::string& key, bool value) = 0;

protected:
    ~IZROptionsWriter() = default;
};

// Base of the host's option objects. One object per class lives in the options service; the store
// hands it a reader and a writer for its section.
//
// Passwords: the keys named by PasswordKeys are encrypted by the store's writer and decrypted by its
// reader, so an option object reads and writes clear text only and never calls EncryptString itself.
class TZROptionsObject : public TPersistent {
public:
    static const TMetaClass& ClassInfo();

    // The store section this object reads and writes; several classes may share one.
    virtual std::string Section() const = 0;
    // By default the stored published properties are read and written under their own names: strings,
    // Booleans, 32-bit integers and enumerations (by ordinal). Other kinds need an override.
    virtual void LoadOptions(IZROptionsReader& reader);
    virtual void SaveOptions(IZROptionsWriter& writer);
    // Keys of the section whose values the store keeps encrypted.
    virtual TStringList PasswordKeys() const { return {}; }
    // Key text for EncryptString of a password key: the option key's own name,
    // so that every class sharing a section encrypts a key the same way.
    virtual std::string PasswordEncryptionKey(const std::string& key) const { return key; }

    bool GetModified() const { return FModified.load(); }
    void SetModified(bool value) { FModified = value; }

protected:
    // For setters: assigns and marks the object modified only when the value really changes.
    template <class V, class U> bool Change(V& field, U&& value) {
        if (field == value)
            return false;
        field = std::forward<U>(value);
        FModified = true;
        return true;
    }

private:
    std::atomic<bool> FModified{false};
};

class TOptionsStore;

// One section of a store, as reader and writer. Every call locks the store, so sections may be used
// from several threads.
class TOptionsSection final : public IZROptionsReader, public IZROptionsWriter {
public:
    TOptionsSection(TOptionsStore& store, std::string name) : FStore(store), FName(std::move(name)) {}

    const std::string& Name() const { return FName; }

    int ReadInteger(const std::string& key, int defaultValue) const override;
    std::string ReadString(const std::string& key, const std::string& defaultValue) const override;
    bool ReadBool(const std::string& key, bool defaultValue) const override;
    void WriteInteger(const std::string& key, int value) override;
    void WriteString(const std::string& key, const std::string& value) override;
    void WriteBool(const std::string& key, bool value) override;

private:
    TOptionsStore& FStore;
    std::string FName;
};

// The options file: one JSON object per section, kept in file order. Internally synchronised.
class TOptionsStore {
public:
    TOptionsStore() = default;
    TOptionsStore(const TOptionsStore&) = delete;
    TOptionsStore& operator=(const TOptionsStore&) = delete;

    // Replaces the content with the file's. A missing or empty file is an empty store; malformed JSON
    // is an EOptionsError naming the file and line. The path is kept for Save.
    void Load(const std::filesystem::path& path);
    // Writes a temporary file (mode 0600: it may hold encrypted passwords) beside the target and
    // renames it over the target, so a crash never leaves half a file.
    void Save() const;
    std::filesystem::path Path() const;
    // Forgets content, path and password keys.
    void Clear();

    // A key whose values are stored encrypted with EncryptString(value, encryptionKey). Declaring it
    // twice with another key text is an error: one stored value cannot serve two key texts.
    void DeclarePasswordKey(const std::string& section, const std::string& key,
                            const std::string& encryptionKey);

    TOptionsSection Section(const std::string& name) { return TOptionsSection(*this, name); }

    // "Section.Key=value" lines in file order; passwords show as "********" (an empty one as empty).
    std::string Show() const;
    // Sets "Section.Key" from text: password keys are encrypted; otherwise an existing integer or
    // Boolean entry keeps its type (text that does not fit is an error) and anything else is stored
    // as the given text. Option objects already handed out keep their values until reloaded.
    void Set(const std::string& sectionDotKey, const std::string& value);
    // A copy of the content, for display and tests.
    nlohmann::ordered_json Content() const;

private:
    friend class TOptionsSection;

    nlohmann::ordered_json Get(const std::string& section, const std::string& key) const;
    void Put(const std::string& section, const std::string& key, nlohmann::ordered_json value);
    // nullopt when the key is no password key; the key text itself may be empty.
    std::optional<std::string> EncryptionKeyOf(const std::string& section, const std::string& key) const;

    mutable std::mutex FLock;
    std::filesystem::path FPath;
    nlohmann::ordered_json FContent = nlohmann::ordered_json::object();
    std::map<std::string, std::map<std::string, std::string>> FPasswordKeys;
};

struct TOptionsRegistration {
    const TMetaClass* Class = nullptr;
    std::string Image;
};

struct TOptionPagesRegistration {
    const TMetaClass* Class = nullptr;
    TStringList Pages;
};

// $XDG_CONFIG_HOME/quillate/options.json, else ~/.config/quillate/options.json.
std::filesystem::path DefaultOptionsPath();

// The registered option classes, their shared objects and the store they load from.
class TOptionsService {
public:
    // An empty path means DefaultOptionsPath(). The store is read on first use.
    explicit TOptionsService(std::filesystem::path storePath = {});

    // Registering a class again only replaces its image. The class must create a TZROptionsObject;
    // its password keys become known to the store at once (so "options set" encrypts them).
    void RegisterOptions(const TMetaClass& cls, const std::string& image);
    void RegisterOptionPages(const TMetaClass& cls, const TStringList& pages);
    // In registration order.
    std::vector<TOptionsRegistration> Options() const;
    std::vector<TOptionPagesRegistration> OptionPages() const;
    bool IsRegistered(const TMetaClass& cls) const;

    // The one object of a registered class, created and loaded on the first call and shared by every
    // caller after it. A load that fails (for instance a damaged password) throws and is retried on
    // the next call.
    std::shared_ptr<TZROptionsObject> GetOptions(const TMetaClass& cls);
    template <class T> std::shared_ptr<T> GetOptionsAs(const TMetaClass& cls) {
        auto object = std::dynamic_pointer_cast<T>(GetOptions(cls));
        if (!object)
            ThrowWrongType(cls);
        return object;
    }
    // Writes every modified object back through its SaveOptions and saves the store when any was.
    // SaveOptions may ask this service for other option objects.
    void SaveAll();

    TOptionsStore& Store();
    // Switches to another store file (the --options of the command line) and reads it now; objects
    // already handed out are dropped from the service and reloaded from the new file when asked for.
    void Open(const std::filesystem::path& path);
    // Forgets registrations, objects and store; an empty path means DefaultOptionsPath().
    void Reset(const std::filesystem::path& storePath = {});

private:
    [[noreturn]] static void ThrowWrongType(const TMetaClass& cls);
    void EnsureLoaded();
    void DeclarePasswordKeys(const TZROptionsObject& object);

    // Recursive: SaveOptions and LoadOptions of one object may fetch another through this service.
    mutable std::recursive_mutex FLock;
    std::filesystem::path FStorePath;
    bool FLoaded = false;
    TOptionsStore FStore;
    std::vector<TOptionsRegistration> FOptions;
    std::vector<TOptionPagesRegistration> FPages;
    std::vector<std::pair<const TMetaClass*, std::shared_ptr<TZROptionsObject>>> FObjects;
};

// The process-wide service; tests point it at a temporary file with Reset(path).
TOptionsService& OptionsService();

// The host's own setting "Host.VerifyCertificates" (true unless turned off): whether TLS
// connections check the server's certificate.
bool VerifyCertificates();
// The one warning line of a TLS connection to peer ("host:port") made with that check turned off.
std::string UnverifiedCertificateWarning(const std::string& peer);

} // namespace quillate
