// Class descriptors and published-property tables: what the project files, the command line, scripts
// and the designer know about an object.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace quillate {

class TMetaClass;
class TPersistent;
class TPropertyTable;

using TStringList = std::vector<std::string>;

// A string list's text view: the lines joined by LF. Splitting ends a line at CR LF, LF or CR; a
// line end at the very end of the text adds no empty line.
std::string LinesToText(const TStringList& lines);
TStringList TextToLines(std::string_view text);

// An enumerated type as stored in projects (by value name) and seen by scripts (by ordinal).
struct TEnumInfo {
    std::string Name;
    TStringList Values;

    // Ordinal of a value name, or -1.
    int IndexOf(std::string_view value) const;
};

enum class TPropertyKind { String, Boolean, Int32, UInt32, Int64, Double, Enum, StringList, VariableName };

std::string_view PropertyKindName(TPropertyKind kind);

// Integers of every width travel as int64_t, enumerations as their ordinal.
using TPropertyValue = std::variant<bool, std::int64_t, double, std::string, TStringList>;

struct TPropertyInfo {
    std::string Name;
    TPropertyKind Kind = TPropertyKind::String;
    const TEnumInfo* Enum = nullptr;
    std::string Help;
    bool Stored = true;
    bool Hidden = false;
    // Non-empty for a property that holds a password in its stored (encrypted) form under this key.
    std::string EncryptionKey;
    // Bounds an integer property's values keep beyond its type's (a port: 0 to 65535); none when unset.
    std::optional<std::pair<std::int64_t, std::int64_t>> Range;
    // Why a value lies outside Range ("70000 is out of range (0 to 65535)"); empty when it does not.
    std::string RangeProblem(std::int64_t value) const;
    std::function<TPropertyValue(const TPersistent&)> Get;
    std::function<void(TPersistent&, const TPropertyValue&)> Set;
};

// A published property that holds an object its owner keeps (an e-mail action's address lists).
// It is no plain value: the owner stores such objects as children, so property lists, the command
// line and the schema leave it out; scripts reach the live object through it.
struct TObjectPropertyInfo {
    std::string Name;
    // The object itself (nullptr for none), shared so that a script's hold cannot outlive it.
    std::function<std::shared_ptr<TPersistent>(TPersistent&)> Get;
};

class TPropertyTable {
public:
    const std::vector<TPropertyInfo>& Properties() const { return FProperties; }
    const TPropertyInfo* Find(std::string_view name) const;
    // A name is either a plain or an object property; adding one under the other's name throws
    // std::logic_error.
    void Add(TPropertyInfo info);
    TPropertyInfo& Last() { return FProperties.back(); }

    const std::vector<TObjectPropertyInfo>& ObjectProperties() const { return FObjects; }
    const TObjectPropertyInfo* FindObject(std::string_view name) const;
    void AddObject(TObjectPropertyInfo info);

private:
    std::vector<TPropertyInfo> FProperties;
    std::vector<TObjectPropertyInfo> FObjects;
};

// Describes one class: its name, its stored type identifier, its parent and how to create it.
class TMetaClass {
public:
    using TFactory = std::function<std::shared_ptr<TPersistent>()>;
    using TDefineProperties = void (*)(TPropertyTable&);

    TMetaClass(std::string className, std::string storedType, const TMetaClass* parent, TFactory factory,
               TDefineProperties defineProperties, TStringList storedAliases = {});

    template <class T>
    static TMetaClass Of(std::string className, std::string storedType, const TMetaClass* parent,
                         TDefineProperties defineProperties = nullptr, TStringList storedAliases = {}) {
        TFactory factory;
        if constexpr (!std::is_abstract_v<T> && std::is_default_constructible_v<T>)
            factory = [] { return std::static_pointer_cast<TPersistent>(std::make_shared<T>()); };
        return TMetaClass(std::move(className), std::move(storedType), parent, std::move(factory),
                          defineProperties, std::move(storedAliases));
    }

    const std::string& ClassName() const { return FClassName; }
    // The identifier written into projects; empty for classes that are never stored.
    const std::string& StoredType() const { return FStoredType; }
    // Further identifiers a project may name the class by when it is read; never written.
    const TStringList& StoredAliases() const { return FStoredAliases; }
    const TMetaClass* Parent() const { return FParent; }
    bool CanCreate() const { return static_cast<bool>(FFactory); }
    std::shared_ptr<TPersistent> Create() const;
    bool InheritsFrom(const TMetaClass& other) const;
    bool InheritsFrom(std::string_view className) const;
    // The parent's properties first, then this class's own, in declaration order.
    const TPropertyTable& Properties() const;

private:
    std::string FClassName;
    std::string FStoredType;
    TStringList FStoredAliases;
    const TMetaClass* FParent;
    TFactory FFactory;
    TDefineProperties FDefineProperties;
    mutable std::shared_ptr<const TPropertyTable> FProperties;
    mutable std::once_flag FPropertiesOnce;
};

class TPersistent {
public:
    virtual ~TPersistent() = default;
    virtual const TMetaClass& GetClass() const = 0;

    const std::string& ClassName() const { return GetClass().ClassName(); }
    const TPropertyTable& Properties() const { return GetClass().Properties(); }
    TPropertyValue GetPropertyValue(std::string_view name) const;
    void SetPropertyValue(std::string_view name, const TPropertyValue& value);
};

// Declares the published properties of T, one call per property, in declaration order.
template <class T>
class TPropertyBuilder {
public:
    explicit TPropertyBuilder(TPropertyTable& table) : FTable(table) {}

    TPropertyBuilder& String(std::string name, std::string T::*field) {
        return Field<std::string>(std::move(name), TPropertyKind::String, field);
    }
    TPropertyBuilder& String(std::string name, std::string (T::*getter)() const,
                             void (T::*setter)(const std::string&)) {
        return Accessors<std::string>(std::move(name), TPropertyKind::String, getter, setter);
    }
    TPropertyBuilder& Variable(std::string name, std::string T::*field) {
        return Field<std::string>(std::move(name), TPropertyKind::VariableName, field);
    }
    TPropertyBuilder& Bool(std::string name, bool T::*field) {
        return Field<bool>(std::move(name), TPropertyKind::Boolean, field);
    }
    TPropertyBuilder& Bool(std::string name, bool (T::*getter)() const, void (T::*setter)(bool)) {
        return Accessors<bool>(std::move(name), TPropertyKind::Boolean, getter, setter);
    }
    TPropertyBuilder& Int(std::string name, std::int32_t T::*field) {
        return Field<std::int32_t>(std::move(name), TPropertyKind::Int32, field);
    }
    TPropertyBuilder& Int(std::string name, std::int32_t (T::*getter)() const, void (T::*setter)(std::int32_t)) {
        return Accessors<std::int32_t>(std::move(name), TPropertyKind::Int32, getter, setter);
    }
    TPropertyBuilder& UInt(std::string name, std::uint32_t T::*field) {
        return Field<std::uint32_t>(std::move(name), TPropertyKind::UInt32, field);
    }
    TPropertyBuilder& UInt(std::string name, std::uint32_t (T::*getter)() const, void (T::*setter)(std::uint32_t)) {
        return Accessors<std::uint32_t>(std::move(name), TPropertyKind::UInt32, getter, setter);
    }
    TPropertyBuilder& Int64(std::string name, std::int64_t T::*field) {
        return Field<std::int64_t>(std::move(name), TPropertyKind::Int64, field);
    }
    TPropertyBuilder& Double(std::string name, double T::*field) {
        return Field<double>(std::move(name), TPropertyKind::Double, field);
    }
    TPropertyBuilder& StringList(std::string name, TStringList T::*field) {
        return Field<TStringList>(std::move(name), TPropertyKind::StringList, field);
    }
    template <class E>
    TPropertyBuilder& Enum(std::string name, const TEnumInfo& info, E T::*field) {
        TPropertyInfo p;
        p.Name = std::move(name);
        p.Kind = TPropertyKind::Enum;
        p.Enum = &info;
        p.Get = [field](const TPersistent& o) -> TPropertyValue {
            return static_cast<std::int64_t>(static_cast<const T&>(o).*field);
        };
        p.Set = [field](TPersistent& o, const TPropertyValue& v) {
            static_cast<T&>(o).*field = static_cast<E>(std::get<std::int64_t>(v));
        };
        FTable.Add(std::move(p));
        return *this;
    }

    template <class E>
    TPropertyBuilder& Enum(std::string name, const TEnumInfo& info, E (T::*getter)() const,
                           void (T::*setter)(E)) {
        Accessors<E>(std::move(name), TPropertyKind::Enum, getter, setter);
        FTable.Last().Enum = &info;
        return *this;
    }

    // An object T keeps (and stores as a child), for scripts: get(T&) gives it as a std::shared_ptr<C>.
    template <class C, class G>
    TPropertyBuilder& Object(std::string name, G get) {
        TObjectPropertyInfo p;
        p.Name = std::move(name);
        p.Get = [get](TPersistent& o) -> std::shared_ptr<TPersistent> {
            return std::shared_ptr<C>(get(static_cast<T&>(o)));
        };
        FTable.AddObject(std::move(p));
        return *this;
    }

    // Modifiers that apply to the plain property declared last.
    TPropertyBuilder& Help(std::string text) {
        FTable.Last().Help = std::move(text);
        return *this;
    }
    TPropertyBuilder& Hidden() {
        FTable.Last().Hidden = true;
        return *this;
    }
    TPropertyBuilder& NotStored() {
        FTable.Last().Stored = false;
        return *this;
    }
    TPropertyBuilder& Encrypted(std::string key) {
        FTable.Last().EncryptionKey = std::move(key);
        return *this;
    }
    TPropertyBuilder& Range(std::int64_t low, std::int64_t high) {
        FTable.Last().Range = std::pair{low, high};
        return *this;
    }
    // A TCP port; 0 stands for "the usual one" where a property allows that.
    TPropertyBuilder& Port() { return Range(0, 65535); }

    // A password as the project stores it: the host's encrypted form under key, hidden from lists.
    TPropertyBuilder& StoredPassword(std::string name, std::string T::*stored, std::string key) {
        return String(std::move(name), stored).Hidden().Encrypted(std::move(key));
    }
    // The same password in clear text for pages and scripts, never stored itself: read and written
    // through the stored property (T's EncryptString and DecryptString, which name it in an error).
    TPropertyBuilder& ClearPassword(std::string name, std::string T::*stored, std::string key) {
        TPropertyInfo p;
        p.Name = std::move(name);
        p.Stored = false;
        p.Get = [stored, key](const TPersistent& o) -> TPropertyValue {
            const T& self = static_cast<const T&>(o);
            return self.DecryptString(self.*stored, key);
        };
        p.Set = [stored, key](TPersistent& o, const TPropertyValue& v) {
            T& self = static_cast<T&>(o);
            self.*stored = self.EncryptString(std::get<std::string>(v), key);
        };
        FTable.Add(std::move(p));
        return *this;
    }

private:
    template <class V>
    static TPropertyValue ToValue(const V& v) {
        if constexpr (std::is_same_v<V, bool> || std::is_same_v<V, double> || std::is_same_v<V, std::string> ||
                      std::is_same_v<V, TStringList>)
            return v;
        else
            return static_cast<std::int64_t>(v);
    }
    template <class V>
    static V FromValue(const TPropertyValue& v) {
        if constexpr (std::is_same_v<V, bool> || std::is_same_v<V, double> || std::is_same_v<V, std::string> ||
                      std::is_same_v<V, TStringList>)
            return std::get<V>(v);
        else
            return static_cast<V>(std::get<std::int64_t>(v));
    }

    template <class V>
    TPropertyBuilder& Field(std::string name, TPropertyKind kind, V T::*field) {
        TPropertyInfo p;
        p.Name = std::move(name);
        p.Kind = kind;
        p.Get = [field](const TPersistent& o) { return ToValue(static_cast<const T&>(o).*field); };
        p.Set = [field](TPersistent& o, const TPropertyValue& v) { static_cast<T&>(o).*field = FromValue<V>(v); };
        FTable.Add(std::move(p));
        return *this;
    }
    template <class V, class G, class S>
    TPropertyBuilder& Accessors(std::string name, TPropertyKind kind, G getter, S setter) {
        TPropertyInfo p;
        p.Name = std::move(name);
        p.Kind = kind;
        p.Get = [getter](const TPersistent& o) { return ToValue((static_cast<const T&>(o).*getter)()); };
        p.Set = [setter](TPersistent& o, const TPropertyValue& v) { (static_cast<T&>(o).*setter)(FromValue<V>(v)); };
        FTable.Add(std::move(p));
        return *this;
    }

    TPropertyTable& FTable;
};

// A property value as text, the way the command line and the log show it.
std::string PropertyValueToText(const TPropertyInfo& info, const TPropertyValue& value);

} // namespace quillate
