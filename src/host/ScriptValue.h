// Values that cross between C++ and scripts, and the named parameters of one script run.
#pragma once

#include <concepts>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quillate {

class TPersistent;

enum class TScriptValueType { Nil, Boolean, Integer, Number, String, Object, Array };

std::string_view ScriptValueTypeName(TScriptValueType type);

class TScriptValue {
public:
    using TArray = std::vector<TScriptValue>;
    // Alternatives in the order of TScriptValueType.
    using TVariant = std::variant<std::monostate, bool, std::int64_t, double, std::string,
                                  std::shared_ptr<TPersistent>, TArray>;

    TScriptValue() = default;
    TScriptValue(std::nullptr_t) {}
    TScriptValue(bool value) : FValue(value) {}
    template <std::integral I>
    requires(!std::same_as<I, bool>) TScriptValue(I value) : FValue(static_cast<std::int64_t>(value)) {}
    TScriptValue(double value) : FValue(value) {}
    TScriptValue(const char* value) : FValue(std::string(value)) {}
    TScriptValue(std::string_view value) : FValue(std::string(value)) {}
    TScriptValue(std::string value) : FValue(std::move(value)) {}

    // An object the caller keeps alive for the whole run.
    static TScriptValue Object(TPersistent& object);
    // An object the script value shares ownership of (one a method creates, for example).
    static TScriptValue Object(std::shared_ptr<TPersistent> object);
    static TScriptValue Array(TArray items);

    TScriptValueType Type() const { return static_cast<TScriptValueType>(FValue.index()); }
    std::string_view TypeName() const { return ScriptValueTypeName(Type()); }
    bool IsNil() const { return Type() == TScriptValueType::Nil; }

    // Conversions a method or a property applies to what a script passed; each throws
    // std::invalid_argument naming both types when the value has no such reading.
    // nil is false, numbers are true unless zero, strings "true"/"false" in any case or a number.
    bool AsBoolean() const;
    // Numbers must be whole; strings must hold a whole decimal number.
    std::int64_t AsInteger() const;
    double AsNumber() const;
    // Numbers and Booleans as a script prints them; nil is the empty string.
    std::string AsString() const;
    // The object, or nullptr for nil.
    TPersistent* AsObject() const;
    std::shared_ptr<TPersistent> AsObjectPtr() const;
    const TArray& AsArray() const;
    // Direct access for code that must not throw.
    const TVariant& Variant() const noexcept { return FValue; }

    friend bool operator==(const TScriptValue& a, const TScriptValue& b);

private:
    TVariant FValue;
};

struct TScriptParam {
    std::string Name;
    TScriptValue Value;
};

// The named parameters of a script run, in declaration order (the order the script editor lists them).
// A script sees each as a global variable; after the run the globals' values are read back into them.
class TScriptParams {
public:
    // Adds the parameter with its initial value; an existing one keeps its place and its value.
    void Declare(std::string_view name, TScriptValue initial = {});
    // Assigns the value, declaring the parameter first when needed.
    void Set(std::string_view name, TScriptValue value);
    // Throws std::out_of_range for a parameter that was never declared.
    const TScriptValue& Get(std::string_view name) const;
    const TScriptValue* Find(std::string_view name) const;
    bool Contains(std::string_view name) const { return Find(name) != nullptr; }

    const std::vector<TScriptParam>& Items() const { return FItems; }
    std::vector<TScriptParam>& Items() { return FItems; }
    std::vector<std::string> Names() const;
    std::size_t Count() const { return FItems.size(); }
    void Clear() { FItems.clear(); }

private:
    TScriptValue* FindMutable(std::string_view name);

    std::vector<TScriptParam> FItems;
};

} // namespace quillate
