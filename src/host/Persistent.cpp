#include "host/Persistent.h"

#include <stdexcept>

#include <fmt/format.h>
#include <fmt/ranges.h>

namespace quillate {

std::string LinesToText(const TStringList& lines) {
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0)
            text += '\n';
        text += lines[i];
    }
    return text;
}

TStringList TextToLines(std::string_view text) {
    TStringList lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            lines.emplace_back(text.substr(start));
            break;
        }
        lines.emplace_back(text.substr(start, end - start));
        start = end + (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1);
    }
    return lines;
}

int TEnumInfo::IndexOf(std::string_view value) const {
    for (std::size_t i = 0; i < Values.size(); ++i)
        if (Values[i] == value)
            return static_cast<int>(i);
    return -1;
}

std::string TPropertyInfo::RangeProblem(std::int64_t value) const {
    if (!Range || (value >= Range->first && value <= Range->second))
        return {};
    return fmt::format("{} is out of range ({} to {})", value, Range->first, Range->second);
}

std::string_view PropertyKindName(TPropertyKind kind) {
    switch (kind) {
    case TPropertyKind::String: return "string";
    case TPropertyKind::Boolean: return "Boolean";
    case TPropertyKind::Int32: return "integer";
    case TPropertyKind::UInt32: return "unsigned integer";
    case TPropertyKind::Int64: return "64-bit integer";
    case TPropertyKind::Double: return "number";
    case TPropertyKind::Enum: return "enumeration";
    case TPropertyKind::StringList: return "string list";
    case TPropertyKind::VariableName: return "variable name";
    }
    return "unknown";
}

namespace {

template <class Info> const Info* FindNamed(const std::vector<Info>& infos, std::string_view name) {
    for (const auto& p : infos)
        if (p.Name == name)
            return &p;
    return nullptr;
}

// A descendant may redeclare an inherited property (to change its accessors); it keeps its place.
template <class Info> void AddOrReplace(std::vector<Info>& infos, Info info) {
    for (auto& p : infos)
        if (p.Name == info.Name) {
            p = std::move(info);
            return;
        }
    infos.push_back(std::move(info));
}

} // namespace

const TPropertyInfo* TPropertyTable::Find(std::string_view name) const {
    return FindNamed(FProperties, name);
}

void TPropertyTable::Add(TPropertyInfo info) {
    if (FindObject(info.Name))
        throw std::logic_error(fmt::format("property {} is already an object property", info.Name));
    AddOrReplace(FProperties, std::move(info));
}

const TObjectPropertyInfo* TPropertyTable::FindObject(std::string_view name) const {
    return FindNamed(FObjects, name);
}

void TPropertyTable::AddObject(TObjectPropertyInfo info) {
    if (Find(info.Name))
        throw std::logic_error(fmt::format("property {} is already a plain property", info.Name));
    AddOrReplace(FObjects, std::move(info));
}

TMetaClass::TMetaClass(std::string className, std::string storedType, const TMetaClass* parent, TFactory factory,
                       TDefineProperties defineProperties, TStringList storedAliases)
    : FClassName(std::move(className)), FStoredType(std::move(storedType)),
      FStoredAliases(std::move(storedAliases)), FParent(parent), FFactory(std::move(factory)),
      FDefineProperties(defineProperties) {}

std::shared_ptr<TPersistent> TMetaClass::Create() const {
    if (!FFactory)
        throw std::logic_error(fmt::format("class {} cannot be created", FClassName));
    return FFactory();
}

bool TMetaClass::InheritsFrom(const TMetaClass& other) const {
    for (const TMetaClass* c = this; c; c = c->FParent)
        if (c == &other)
            return true;
    return false;
}

bool TMetaClass::InheritsFrom(std::string_view className) const {
    for (const TMetaClass* c = this; c; c = c->FParent)
        if (c->FClassName == className)
            return true;
    return false;
}

const TPropertyTable& TMetaClass::Properties() const {
    std::call_once(FPropertiesOnce, [this] {
        auto table = std::make_shared<TPropertyTable>();
        if (FParent)
            *table = FParent->Properties();
        if (FDefineProperties)
            FDefineProperties(*table);
        FProperties = std::move(table);
    });
    return *FProperties;
}

TPropertyValue TPersistent::GetPropertyValue(std::string_view name) const {
    const TPropertyInfo* info = Properties().Find(name);
    if (!info)
        throw std::invalid_argument(fmt::format("{} has no property \"{}\"", ClassName(), name));
    return info->Get(*this);
}

void TPersistent::SetPropertyValue(std::string_view name, const TPropertyValue& value) {
    const TPropertyInfo* info = Properties().Find(name);
    if (!info)
        throw std::invalid_argument(fmt::format("{} has no property \"{}\"", ClassName(), name));
    info->Set(*this, value);
}

std::string PropertyValueToText(const TPropertyInfo& info, const TPropertyValue& value) {
    return std::visit(
        [&info](const auto& v) -> std::string {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, bool>)
                return v ? "true" : "false";
            else if constexpr (std::is_same_v<V, std::int64_t>) {
                if (info.Kind == TPropertyKind::Enum && info.Enum && v >= 0 &&
                    v < static_cast<std::int64_t>(info.Enum->Values.size()))
                    return info.Enum->Values[static_cast<std::size_t>(v)];
                return std::to_string(v);
            } else if constexpr (std::is_same_v<V, double>)
                return fmt::format("{}", v);
            else if constexpr (std::is_same_v<V, std::string>)
                return v;
            else
                return fmt::format("{}", fmt::join(v, "\n"));
        },
        value);
}

} // namespace quillate
