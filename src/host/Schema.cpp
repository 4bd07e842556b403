#include "host/Schema.h"

#include <algorithm>
#include <limits>
#include <map>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "host/Action.h"
#include "host/Options.h"
#include "host/Project.h"
#include "host/Registration.h"
#include "host/Serialization.h"

namespace quillate {

using json = nlohmann::ordered_json;

namespace {

json PropertySchema(const TPropertyInfo& info) {
    json s;
    switch (info.Kind) {
    case TPropertyKind::String:
    case TPropertyKind::VariableName: s["type"] = "string"; break;
    case TPropertyKind::Boolean: s["type"] = "boolean"; break;
    case TPropertyKind::Int32:
        s["type"] = "integer";
        s["minimum"] = std::numeric_limits<std::int32_t>::min();
        s["maximum"] = std::numeric_limits<std::int32_t>::max();
        break;
    case TPropertyKind::UInt32:
        s["type"] = "integer";
        s["minimum"] = 0;
        s["maximum"] = std::numeric_limits<std::uint32_t>::max();
        break;
    case TPropertyKind::Int64: s["type"] = "integer"; break;
    case TPropertyKind::Double: s["type"] = "number"; break;
    case TPropertyKind::Enum: s["enum"] = info.Enum ? info.Enum->Values : TStringList{}; break;
    case TPropertyKind::StringList:
        s["type"] = "array";
        s["items"] = {{"type", "string"}};
        break;
    }
    if (info.Range) {
        s["minimum"] = info.Range->first;
        s["maximum"] = info.Range->second;
    }
    if (!info.Help.empty())
        s["description"] = info.Help;
    return s;
}

json PropertiesSchema(const TMetaClass& cls) {
    json props = json::object();
    for (const auto& info : cls.Properties().Properties())
        if (info.Stored)
            props[info.Name] = PropertySchema(info);
    return {{"type", "object"}, {"additionalProperties", false}, {"properties", std::move(props)}};
}

// The names a project may store the class under: the one written, then those also read.
TStringList StoredNames(const TMetaClass& cls) {
    TStringList names{cls.StoredType()};
    names.insert(names.end(), cls.StoredAliases().begin(), cls.StoredAliases().end());
    return names;
}

// if type == X then properties follow X's table
json TypedBranches(const std::vector<const TMetaClass*>& classes) {
    json branches = json::array();
    for (const TMetaClass* cls : classes) {
        // A class read under more than one name matches any of them.
        json type = cls->StoredAliases().empty() ? json{{"const", cls->StoredType()}}
                                                 : json{{"enum", StoredNames(*cls)}};
        branches.push_back({{"if", {{"properties", {{"type", std::move(type)}}}}},
                            {"then", {{"properties", {{"properties", PropertiesSchema(*cls)}}}}}});
    }
    return branches;
}

std::vector<const TMetaClass*> StorableActions() {
    std::vector<const TMetaClass*> classes;
    for (const auto& a : ActionService().Actions())
        if (!a.Class->StoredType().empty())
            classes.push_back(a.Class);
    for (const auto& [name, cls] : TSerializationRegistry::Registrations())
        if (cls->InheritsFrom(TZRAction::ClassInfo()) && !cls->StoredType().empty() &&
            std::find(classes.begin(), classes.end(), cls) == classes.end())
            classes.push_back(cls);
    return classes;
}

std::vector<const TMetaClass*> StorableChildren() {
    std::vector<const TMetaClass*> classes;
    for (const auto& [name, cls] : TSerializationRegistry::Registrations())
        if (!cls->InheritsFrom(TZRAction::ClassInfo()) && !cls->StoredType().empty() &&
            std::find(classes.begin(), classes.end(), cls) == classes.end())
            classes.push_back(cls);
    return classes;
}

TStringList StoredTypes(const std::vector<const TMetaClass*>& classes) {
    TStringList types;
    for (const TMetaClass* c : classes)
        for (auto& name : StoredNames(*c))
            types.push_back(std::move(name));
    return types;
}

} // namespace

json BuildProjectSchema() {
    auto actions = StorableActions();
    auto children = StorableChildren();
    json schema;
    schema["$schema"] = "https://json-schema.org/draft/2020-12/schema";
    schema["title"] = "Quillate project";
    schema["type"] = "object";
    schema["additionalProperties"] = false;
    schema["properties"] = {
        {"variables", {{"type", "object"}, {"additionalProperties", {{"type", "string"}}}}},
        {"fileSets", {{"type", "array"}, {"items", {{"$ref", "#/$defs/fileSet"}}}}},
        {"actions", {{"type", "array"}, {"items", {{"$ref", "#/$defs/action"}}}}}};

    json defs;
    defs["fileSet"] = {{"type", "object"},
                       {"additionalProperties", false},
                       {"required", {"name"}},
                       {"properties",
                        {{"name", {{"type", "string"}, {"minLength", 1}}},
                         {"baseDirectory", {{"type", "string"}}},
                         {"include", {{"type", "array"}, {"items", {{"type", "string"}}}}},
                         {"exclude", {{"type", "array"}, {"items", {{"type", "string"}}}}},
                         {"recursive", {{"type", "boolean"}}}}}};
    json child = {{"type", "object"},
                  {"additionalProperties", false},
                  {"required", {"type"}},
                  {"properties",
                   {{"type", {{"enum", StoredTypes(children)}}},
                    {"properties", {{"type", "object"}}},
                    {"children", {{"type", "array"}, {"items", {{"$ref", "#/$defs/child"}}}}}}}};
    if (!children.empty())
        child["allOf"] = TypedBranches(children);
    defs["child"] = std::move(child);
    json action = {{"type", "object"},
                   {"additionalProperties", false},
                   {"required", {"type"}},
                   {"properties",
                    {{"type", {{"enum", StoredTypes(actions)}}},
                     {"description", {{"type", "string"}}},
                     {"enabled", {{"type", "boolean"}}},
                     {"ignoreFailure", {{"type", "boolean"}}},
                     {"properties", {{"type", "object"}}},
                     {"children", {{"type", "array"}, {"items", {{"$ref", "#/$defs/child"}}}}},
                     {"actions", {{"type", "array"}, {"items", {{"$ref", "#/$defs/action"}}}}},
                     {"scripts", {{"type", "object"}, {"additionalProperties", {{"type", "string"}}}}}}}};
    if (!actions.empty())
        action["allOf"] = TypedBranches(actions);
    defs["action"] = std::move(action);
    schema["$defs"] = std::move(defs);
    return schema;
}

std::string DescribeActions() {
    std::map<std::string, std::vector<const TMetaClass*>> byCategory;
    std::vector<std::string> order;
    for (const auto& a : ActionService().Actions()) {
        if (!byCategory.count(a.Category))
            order.push_back(a.Category);
        byCategory[a.Category].push_back(a.Class);
    }
    std::string out;
    for (const auto& category : order) {
        out += category + "\n";
        for (const TMetaClass* cls : byCategory[category]) {
            auto instance = std::dynamic_pointer_cast<TZRAction>(cls->Create());
            std::string name = instance ? instance->GetActionName() : cls->ClassName();
            out += fmt::format("  {:<32} {}\n", cls->StoredType(), name);
        }
    }
    return out;
}

const TMetaClass* FindStoredClass(const std::string& storedType) {
    if (const TMetaClass* cls = ActionService().FindAction(storedType))
        return cls;
    return TSerializationRegistry::Find(storedType);
}

const TMetaClass* FindDescribableClass(const std::string& name) {
    if (const TMetaClass* cls = FindStoredClass(name))
        return cls;
    for (const auto& options : OptionsService().Options())
        if (options.Class->ClassName() == name)
            return options.Class;
    return nullptr;
}

std::string DescribeAll() {
    std::vector<const TMetaClass*> classes;
    auto add = [&classes](const TMetaClass* cls) {
        if (cls->CanCreate() && std::find(classes.begin(), classes.end(), cls) == classes.end())
            classes.push_back(cls);
    };
    for (const auto& action : ActionService().Actions())
        add(action.Class);
    for (const auto& [name, cls] : TSerializationRegistry::Registrations())
        add(cls);
    for (const auto& options : OptionsService().Options())
        add(options.Class);
    std::string out;
    for (const TMetaClass* cls : classes) {
        if (!out.empty())
            out += '\n';
        out += DescribeClass(*cls);
    }
    return out;
}

std::string DescribeClass(const TMetaClass& cls) {
    auto instance = cls.Create();
    auto action = std::dynamic_pointer_cast<TZRAction>(instance);
    TStringList hidden;
    std::map<std::string, std::string> help;
    if (action) {
        action->GetHiddenProperties(hidden);
        TStringList lines;
        action->GetPropertyHelp(lines);
        for (const auto& line : lines)
            if (auto eq = line.find('='); eq != std::string::npos)
                help[line.substr(0, eq)] = line.substr(eq + 1);
    }
    std::string out = action ? action->GetActionName() : cls.ClassName();
    out += cls.StoredType().empty() ? "\n" : fmt::format(" ({})\n", cls.StoredType());
    out += fmt::format("class {}\n", cls.ClassName());
    for (const auto& info : cls.Properties().Properties()) {
        std::string type(PropertyKindName(info.Kind));
        if (info.Kind == TPropertyKind::Enum && info.Enum)
            type = fmt::format("{} ({})", info.Enum->Name, fmt::join(info.Enum->Values, ", "));
        std::string initial = PropertyValueToJson(info, info.Get(*instance)).dump();
        std::string notes;
        if (info.Hidden || std::find(hidden.begin(), hidden.end(), info.Name) != hidden.end())
            notes += " [hidden]";
        if (!info.EncryptionKey.empty())
            notes += " [encrypted password]";
        if (!info.Stored)
            notes += " [not stored]";
        out += fmt::format("  {:<24} {:<20} initial {}{}\n", info.Name, type, initial, notes);
        std::string text = !info.Help.empty() ? info.Help : help.count(info.Name) ? help[info.Name] : "";
        if (!text.empty())
            out += fmt::format("  {:<24} {}\n", "", text);
    }
    return out;
}

} // namespace quillate
