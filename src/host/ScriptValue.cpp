#include "host/ScriptValue.h"

#include "host/Persistent.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <fmt/format.h>
#include <stdexcept>
#include <utility>

namespace quillate {

namespace {

std::invalid_argument NoReading(const TScriptValue& value, std::string_view wanted) {
    return std::invalid_argument(fmt::format("expected {}, got {}", wanted, value.TypeName()));
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view Trimmed(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return s;
}

template <class N> bool ParseAll(std::string_view text, N& out) {
    text = Trimmed(text);
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

// A double converts only when it is whole and inside the int64 range (2^63 itself is not).
bool WholeNumber(double d, std::int64_t& out) {
    if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0) || std::floor(d) != d)
        return false;
    out = static_cast<std::int64_t>(d);
    return true;
}

} // namespace

std::string_view ScriptValueTypeName(TScriptValueType type) {
    switch (type) {
    case TScriptValueType::Nil:
        return "nil";
    case TScriptValueType::Boolean:
        return "Boolean";
    case TScriptValueType::Integer:
        return "integer";
    case TScriptValueType::Number:
        return "number";
    case TScriptValueType::String:
        return "string";
    case TScriptValueType::Object:
        return "object";
    case TScriptValueType::Array:
        return "array";
    }
    return "unknown";
}

TScriptValue TScriptValue::Object(TPersistent& object) {
    // Aliasing constructor with no owner: the pointer travels like a shared one but owns nothing.
    return Object(std::shared_ptr<TPersistent>(std::shared_ptr<TPersistent>(), &object));
}

TScriptValue TScriptValue::Object(std::shared_ptr<TPersistent> object) {
    TScriptValue v;
    if (object)
        v.FValue = std::move(object);
    return v;
}

TScriptValue TScriptValue::Array(TArray items) {
    TScriptValue v;
    v.FValue = std::move(items);
    return v;
}

bool TScriptValue::AsBoolean() const {
    switch (Type()) {
    case TScriptValueType::Nil:
        return false;
    case TScriptValueType::Boolean:
        return std::get<bool>(FValue);
    case TScriptValueType::Integer:
        return std::get<std::int64_t>(FValue) != 0;
    case TScriptValueType::Number:
        return std::get<double>(FValue) != 0;
    case TScriptValueType::String: {
        std::string_view s = Trimmed(std::get<std::string>(FValue));
        if (EqualsNoCase(s, "true"))
            return true;
        if (EqualsNoCase(s, "false"))
            return false;
        double d = 0;
        if (ParseAll(s, d))
            return d != 0;
        throw std::invalid_argument(fmt::format("\"{}\" is not a Boolean", s));
    }
    default:
        throw NoReading(*this, "a Boolean");
    }
}

std::int64_t TScriptValue::AsInteger() const {
    std::int64_t i = 0;
    switch (Type()) {
    case TScriptValueType::Integer:
        return std::get<std::int64_t>(FValue);
    case TScriptValueType::Number:
        if (WholeNumber(std::get<double>(FValue), i))
            return i;
        throw std::invalid_argument(fmt::format("{} is not a whole number", AsString()));
    case TScriptValueType::String: {
        const std::string& s = std::get<std::string>(FValue);
        double d = 0;
        if (ParseAll(s, i) || (ParseAll(s, d) && WholeNumber(d, i)))
            return i;
        throw std::invalid_argument(fmt::format("\"{}\" is not a whole number", s));
    }
    default:
        throw NoReading(*this, "an integer");
    }
}

double TScriptValue::AsNumber() const {
    switch (Type()) {
    case TScriptValueType::Integer:
        return static_cast<double>(std::get<std::int64_t>(FValue));
    case TScriptValueType::Number:
        return std::get<double>(FValue);
    case TScriptValueType::String: {
        double d = 0;
        if (ParseAll(std::get<std::string>(FValue), d))
            return d;
        throw std::invalid_argument(fmt::format("\"{}\" is not a number", std::get<std::string>(FValue)));
    }
    default:
        throw NoReading(*this, "a number");
    }
}

std::string TScriptValue::AsString() const {
    switch (Type()) {
    case TScriptValueType::Nil:
        return {};
    case TScriptValueType::Boolean:
        return std::get<bool>(FValue) ? "true" : "false";
    case TScriptValueType::Integer:
        return std::to_string(std::get<std::int64_t>(FValue));
    case TScriptValueType::Number: {
        // The way Lua prints floats: 14 significant digits, and "1.0" rather than "1".
        std::string s = fmt::format("{:.14g}", std::get<double>(FValue));
        if (s.find_first_not_of("-0123456789") == std::string::npos)
            s += ".0";
        return s;
    }
    case TScriptValueType::String:
        return std::get<std::string>(FValue);
    default:
        throw NoReading(*this, "a string");
    }
}

TPersistent* TScriptValue::AsObject() const {
    return AsObjectPtr().get();
}

std::shared_ptr<TPersistent> TScriptValue::AsObjectPtr() const {
    if (IsNil())
        return nullptr;
    if (Type() != TScriptValueType::Object)
        throw NoReading(*this, "an object");
    return std::get<std::shared_ptr<TPersistent>>(FValue);
}

const TScriptValue::TArray& TScriptValue::AsArray() const {
    if (Type() != TScriptValueType::Array)
        throw NoReading(*this, "an array");
    return std::get<TArray>(FValue);
}

bool operator==(const TScriptValue& a, const TScriptValue& b) {
    return a.FValue == b.FValue;
}

void TScriptParams::Declare(std::string_view name, TScriptValue initial) {
    if (!Find(name))
        FItems.push_back({std::string(name), std::move(initial)});
}

void TScriptParams::Set(std::string_view name, TScriptValue value) {
    if (TScriptValue* existing = FindMutable(name))
        *existing = std::move(value);
    else
        FItems.push_back({std::string(name), std::move(value)});
}

const TScriptValue& TScriptParams::Get(std::string_view name) const {
    if (const TScriptValue* value = Find(name))
        return *value;
    throw std::out_of_range(fmt::format("script parameter \"{}\" is not declared", name));
}

const TScriptValue* TScriptParams::Find(std::string_view name) const {
    for (const auto& p : FItems)
        if (p.Name == name)
            return &p.Value;
    return nullptr;
}

TScriptValue* TScriptParams::FindMutable(std::string_view name) {
    return const_cast<TScriptValue*>(std::as_const(*this).Find(name));
}

std::vector<std::string> TScriptParams::Names() const {
    std::vector<std::string> names;
    names.reserve(FItems.size());
    for (const auto& p : FItems)
        names.push_back(p.Name);
    return names;
}

} // namespace quillate
