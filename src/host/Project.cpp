#include "host/Project.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <unordered_set>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "host/CryptoUtils.h"
#include "host/FileSet.h"
#include "host/Registration.h"

namespace quillate {

using json = nlohmann::ordered_json;

namespace {

const char* JsonTypeName(const json& j) {
    if (j.is_string())
        return "a string";
    if (j.is_boolean())
        return "a Boolean";
    if (j.is_number_integer())
        return "an integer";
    if (j.is_number())
        return "a number";
    if (j.is_array())
        return "an array";
    if (j.is_object())
        return "an object";
    return "null";
}

class TProjectReader {
public:
    TProjectReader(std::string fileName, std::size_t maxTreeDepth)
        : FFileName(std::move(fileName)), FMaxTreeDepth(maxTreeDepth) {}

    // A path deep in the tree keeps its beginning and its end, so the message stays readable.
    [[noreturn]] void Fail(const std::string& where, const std::string& message) const {
        constexpr std::size_t shownAtEachEnd = 80;
        std::string shown = where;
        if (where.size() > 2 * shownAtEachEnd + 3)
            shown = where.substr(0, shownAtEachEnd) + "..." + where.substr(where.size() - shownAtEachEnd);
        throw EProjectError(fmt::format("{}: {}: {}", FFileName, shown, message));
    }

    void CheckKeys(const json& object, const std::string& where, std::initializer_list<const char*> allowed) const {
        if (!object.is_object())
            Fail(where, fmt::format("expected an object, got {}", JsonTypeName(object)));
        for (const auto& item : object.items()) {
            bool known = false;
            for (const char* key : allowed)
                known = known || item.key() == key;
            if (!known)
                Fail(where, fmt::format("unknown key \"{}\"", item.key()));
        }
    }

    template <class T>
    T Member(const json& object, const char* key, const std::string& where, T fallback) const {
        auto it = object.find(key);
        if (it == object.end())
            return fallback;
        try {
            return it->template get<T>();
        } catch (const json::exception&) {
            Fail(where, fmt::format("\"{}\" has the wrong type ({})", key, JsonTypeName(*it)));
        }
    }

    void ReadProperties(TPersistent& object, const json& node, const std::string& where) const {
        auto it = node.find("properties");
        if (it == node.end())
            return;
        if (!it->is_object())
            Fail(where, "\"properties\" must be an object");
        const TPropertyTable& table = object.Properties();
        // Unknown names are rejected before any value is set.
        for (const auto& item : it->items())
            if (!table.Find(item.key()))
                Fail(where, fmt::format("{} has no property \"{}\"", object.ClassName(), item.key()));
        // Values are applied in declaration order, as the class expects them.
        for (const auto& info : table.Properties()) {
            auto value = it->find(info.Name);
            if (value == it->end())
                continue;
            TPropertyValue converted;
            try {
                converted = PropertyValueFromJson(info, *value);
            } catch (const std::invalid_argument& e) {
                Fail(where, fmt::format("property \"{}\": {}", info.Name, e.what()));
            }
            if (!info.EncryptionKey.empty())
                CheckStoredPassword(object, info, converted, where);
            try {
                info.Set(object, converted);
            } catch (const std::exception& e) {
                Fail(where, fmt::format("property \"{}\": {}", info.Name, e.what()));
            }
        }
    }

    // A stored password that cannot be decrypted is found now, before anything runs.
    void CheckStoredPassword(const TPersistent& object, const TPropertyInfo& info, const TPropertyValue& value,
                             const std::string& where) const {
        const auto* stored = std::get_if<std::string>(&value);
        if (!stored || stored->empty())
            return;
        try {
            DecryptString(*stored, info.EncryptionKey,
                          fmt::format("{}.{}", object.GetClass().StoredType(), info.Name));
        } catch (const ECryptoError& e) {
            Fail(where, fmt::format("property \"{}\": {}", info.Name, e.what()));
        }
    }

    // The tree is read by recursion, and so are its users (the runner, validation, saving): its depth
    // is bounded here, once, for all of them.
    void CheckDepth(std::size_t depth, const std::string& where) const {
        if (depth > FMaxTreeDepth)
            Fail(where, fmt::format("nested deeper than {} levels", FMaxTreeDepth));
    }

    std::shared_ptr<TSerializableObject> ReadChild(const json& node, const std::string& where,
                                                   std::size_t depth) const {
        CheckDepth(depth, where);
        CheckKeys(node, where, {"type", "properties", "children"});
        std::string type = Member<std::string>(node, "type", where, "");
        if (type.empty())
            Fail(where, "missing \"type\"");
        const TMetaClass* cls = TSerializationRegistry::Find(type);
        if (!cls || !cls->CanCreate())
            Fail(where, fmt::format("unknown type \"{}\"", type));
        auto child = std::dynamic_pointer_cast<TSerializableObject>(cls->Create());
        if (!child)
            Fail(where, fmt::format("type \"{}\" cannot be stored as a child", type));
        ReadProperties(*child, node, fmt::format("{} ({})", where, type));
        ReadChildren(*child, node, where, depth);
        child->Loaded();
        return child;
    }

    void ReadChildren(TSerializableObject& owner, const json& node, const std::string& where,
                      std::size_t depth) const {
        auto it = node.find("children");
        if (it == node.end())
            return;
        if (!it->is_array())
            Fail(where, "\"children\" must be an array");
        for (std::size_t i = 0; i < it->size(); ++i)
            owner.AddChildObject(ReadChild((*it)[i], fmt::format("{}.children[{}]", where, i), depth + 1));
    }

    std::shared_ptr<TZRAction> ReadAction(const json& node, const std::string& where, std::size_t depth) const {
        CheckDepth(depth, where);
        CheckKeys(node, where,
                  {"type", "description", "enabled", "ignoreFailure", "properties", "children", "actions", "scripts"});
        std::string type = Member<std::string>(node, "type", where, "");
        if (type.empty())
            Fail(where, "missing \"type\"");
        const TMetaClass* cls = ActionService().FindAction(type);
        if (!cls) {
            // Classes the package keeps out of the palette can still be stored in a project.
            const TMetaClass* stored = TSerializationRegistry::Find(type);
            if (stored && stored->InheritsFrom(TZRAction::ClassInfo()))
                cls = stored;
        }
        if (!cls || !cls->CanCreate())
            Fail(where, fmt::format("unknown action type \"{}\"", type));
        auto action = std::dynamic_pointer_cast<TZRAction>(cls->Create());
        if (!action)
            Fail(where, fmt::format("type \"{}\" is not an action", type));
        std::string labelled = fmt::format("{} ({})", where, type);
        action->SetDescription(Member<std::string>(node, "description", labelled, ""));
        action->SetEnabled(Member<bool>(node, "enabled", labelled, true));
        action->SetIgnoreFailure(Member<bool>(node, "ignoreFailure", labelled, false));
        ReadProperties(*action, node, labelled);
        ReadChildren(*action, node, where, depth);
        if (auto scripts = node.find("scripts"); scripts != node.end()) {
            if (!scripts->is_object())
                Fail(labelled, "\"scripts\" must be an object");
            for (const auto& item : scripts->items()) {
                if (!item.value().is_string())
                    Fail(labelled, fmt::format("script \"{}\" must be a string", item.key()));
                try {
                    action->SetScriptSource(item.key(), item.value().get<std::string>());
                } catch (const std::invalid_argument& e) {
                    Fail(labelled, e.what());
                }
            }
        }
        if (auto children = node.find("actions"); children != node.end()) {
            if (!children->is_array())
                Fail(labelled, "\"actions\" must be an array");
            for (std::size_t i = 0; i < children->size(); ++i)
                action->ChildActions().push_back(
                    ReadAction((*children)[i], fmt::format("{}.actions[{}]", where, i), depth + 1));
        }
        action->Loaded();
        return action;
    }

    void ReadFileSets(TProject& project, const json& root) const {
        auto it = root.find("fileSets");
        if (it == root.end())
            return;
        if (!it->is_array())
            Fail("fileSets", "must be an array");
        std::unordered_set<std::string> names;
        for (std::size_t i = 0; i < it->size(); ++i) {
            const json& node = (*it)[i];
            std::string where = fmt::format("fileSets[{}]", i);
            CheckKeys(node, where, {"name", "baseDirectory", "include", "exclude", "recursive"});
            TFileSetDefinition set;
            set.Name = Member<std::string>(node, "name", where, "");
            if (set.Name.empty())
                Fail(where, "missing \"name\"");
            set.BaseDirectory = Member<std::string>(node, "baseDirectory", where, "");
            set.Include = Member<TStringList>(node, "include", where, {});
            set.Exclude = Member<TStringList>(node, "exclude", where, {});
            set.Recursive = Member<bool>(node, "recursive", where, false);
            if (!names.insert(set.Name).second)
                Fail(where, fmt::format("a file set named \"{}\" already exists", set.Name));
            project.FileSets.push_back(std::move(set));
        }
    }

private:
    std::string FFileName;
    std::size_t FMaxTreeDepth;
};

json WriteProperties(const TPersistent& object) {
    json props = json::object();
    auto initial = object.GetClass().Create();
    for (const auto& info : object.Properties().Properties()) {
        if (!info.Stored)
            continue;
        TPropertyValue value = info.Get(object);
        if (initial && info.Get(*initial) == value)
            continue;
        props[info.Name] = PropertyValueToJson(info, value);
    }
    return props;
}

json WriteChild(const TSerializableObject& child);

void WriteChildren(const TSerializableObject& owner, json& node) {
    TSerializableList children;
    owner.GetChildren(children);
    if (children.empty())
        return;
    json list = json::array();
    for (const auto& c : children)
        if (c)
            list.push_back(WriteChild(*c));
    node["children"] = std::move(list);
}

json WriteChild(const TSerializableObject& child) {
    json node;
    node["type"] = child.GetClass().StoredType();
    json props = WriteProperties(child);
    if (!props.empty())
        node["properties"] = std::move(props);
    WriteChildren(child, node);
    return node;
}

json WriteAction(const TZRAction& action) {
    json node;
    node["type"] = action.GetClass().StoredType();
    if (!action.Description().empty())
        node["description"] = action.Description();
    if (!action.Enabled())
        node["enabled"] = false;
    if (action.IgnoreFailure())
        node["ignoreFailure"] = true;
    json props = WriteProperties(action);
    if (!props.empty())
        node["properties"] = std::move(props);
    WriteChildren(action, node);
    if (!action.ChildActions().empty()) {
        json list = json::array();
        for (const auto& child : action.ChildActions())
            list.push_back(WriteAction(*child));
        node["actions"] = std::move(list);
    }
    json scripts = json::object();
    for (const auto& name : action.ScriptNames())
        if (const std::string* source = action.GetScriptByName(name))
            scripts[name] = *source;
    if (!scripts.empty())
        node["scripts"] = std::move(scripts);
    return node;
}

} // namespace

json PropertyValueToJson(const TPropertyInfo& info, const TPropertyValue& value) {
    if (info.Kind == TPropertyKind::Enum)
        return PropertyValueToText(info, value);
    return std::visit([](const auto& v) { return json(v); }, value);
}

TPropertyValue PropertyValueFromJson(const TPropertyInfo& info, const json& j) {
    auto expected = [&j](const char* what) {
        return std::invalid_argument(fmt::format("expects {}, got {}", what, JsonTypeName(j)));
    };
    auto integer = [&](std::int64_t lo, std::int64_t hi, const char* what) -> TPropertyValue {
        if (!j.is_number_integer())
            throw expected(what);
        if (j.is_number_unsigned() && j.get<std::uint64_t>() > static_cast<std::uint64_t>(hi))
            throw std::invalid_argument(fmt::format("{} is out of range", j.dump()));
        std::int64_t v = j.get<std::int64_t>();
        if (v < lo || v > hi)
            throw std::invalid_argument(fmt::format("{} is out of range", v));
        if (std::string problem = info.RangeProblem(v); !problem.empty())
            throw std::invalid_argument(problem);
        return v;
    };
    switch (info.Kind) {
    case TPropertyKind::String:
    case TPropertyKind::VariableName:
        if (!j.is_string())
            throw expected("a string");
        return j.get<std::string>();
    case TPropertyKind::Boolean:
        if (!j.is_boolean())
            throw expected("a Boolean");
        return j.get<bool>();
    case TPropertyKind::Int32:
        return integer(std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max(),
                       "an integer");
    case TPropertyKind::UInt32:
        return integer(0, std::numeric_limits<std::uint32_t>::max(), "an unsigned integer");
    case TPropertyKind::Int64:
        return integer(std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max(),
                       "an integer");
    case TPropertyKind::Double:
        if (!j.is_number())
            throw expected("a number");
        return j.get<double>();
    case TPropertyKind::Enum: {
        if (!j.is_string())
            throw expected("a value name");
        int index = info.Enum ? info.Enum->IndexOf(j.get<std::string>()) : -1;
        if (index < 0)
            throw std::invalid_argument(fmt::format("\"{}\" is not one of {}", j.get<std::string>(),
                                                    info.Enum ? fmt::format("{}", fmt::join(info.Enum->Values, ", "))
                                                              : std::string("its values")));
        return static_cast<std::int64_t>(index);
    }
    case TPropertyKind::StringList: {
        if (!j.is_array())
            throw expected("an array of strings");
        TStringList list;
        for (const auto& item : j) {
            if (!item.is_string())
                throw expected("an array of strings");
            list.push_back(item.get<std::string>());
        }
        return list;
    }
    }
    throw expected("a value");
}

TProject TProject::Parse(const std::string& text, const std::string& fileName, const TProjectLimits& limits) {
    json root;
    try {
        root = TUserFile::ParseJson(text, limits.File);
    } catch (const EJsonError& e) {
        throw EProjectError(fmt::format("{}: {}", fileName, e.what()));
    }
    TProjectReader reader(fileName, limits.MaxTreeDepth);
    reader.CheckKeys(root, "top level", {"variables", "fileSets", "actions"});
    TProject project;
    project.FFileName = fileName;
    if (auto vars = root.find("variables"); vars != root.end()) {
        if (!vars->is_object())
            reader.Fail("variables", "must be an object");
        for (const auto& item : vars->items()) {
            if (!TVariables::IsValidName(item.key()))
                reader.Fail("variables", fmt::format("\"{}\" is not a valid variable name", item.key()));
            if (!item.value().is_string())
                reader.Fail("variables", fmt::format("the value of \"{}\" must be a string", item.key()));
            project.Variables.emplace_back(item.key(), item.value().get<std::string>());
        }
    }
    reader.ReadFileSets(project, root);
    project.RegisterFileSets();
    if (auto actions = root.find("actions"); actions != root.end()) {
        if (!actions->is_array())
            reader.Fail("actions", "must be an array");
        for (std::size_t i = 0; i < actions->size(); ++i)
            project.Actions.push_back(reader.ReadAction((*actions)[i], fmt::format("actions[{}]", i), 1));
    }
    return project;
}

TProject::~TProject() {
    for (const auto& set : FFileSetObjects)
        GetProjectObjectService().UnregisterObject(set);
}

void TProject::RegisterFileSets() {
    std::string directory = std::filesystem::path(FFileName).parent_path().string();
    for (const auto& definition : FileSets) {
        auto set = std::make_shared<TFileSet>(definition, directory);
        GetProjectObjectService().RegisterObject(set);
        FFileSetObjects.push_back(std::move(set));
    }
}

TProject TProject::LoadFromFile(const std::string& path, const TProjectLimits& limits) {
    std::string text;
    try {
        text = TUserFile::Read(path, limits.File.MaxBytes);
    } catch (const EUserFileError& e) {
        throw EProjectError(fmt::format("{}: {}", path, e.what()));
    }
    return Parse(text, path, limits);
}

std::vector<std::pair<std::string, TZRAction*>> TProject::ActionPlaces() const {
    std::vector<std::pair<std::string, TZRAction*>> places;
    std::function<void(const std::vector<std::shared_ptr<TZRAction>>&, const std::string&)> walk =
        [&](const std::vector<std::shared_ptr<TZRAction>>& actions, const std::string& prefix) {
            for (std::size_t i = 0; i < actions.size(); ++i) {
                places.emplace_back(fmt::format("{}[{}]", prefix, i), actions[i].get());
                walk(actions[i]->ChildActions(), places.back().first + ".actions");
            }
        };
    walk(Actions, "actions");
    return places;
}

std::vector<TProjectProblem> TProject::Validate() const {
    std::vector<TProjectProblem> problems;
    for (const auto& [where, action] : ActionPlaces()) {
        TValidationErrors errors;
        action->Validate(errors);
        for (auto& e : errors)
            problems.push_back({where, action->GetFormattedDescription(), std::move(e)});
    }
    return problems;
}

std::string TProject::ToJson() const {
    json root = json::object();
    if (!Variables.empty()) {
        json vars = json::object();
        for (const auto& [name, value] : Variables)
            vars[name] = value;
        root["variables"] = std::move(vars);
    }
    if (!FileSets.empty()) {
        json sets = json::array();
        for (const auto& s : FileSets) {
            json node;
            node["name"] = s.Name;
            node["baseDirectory"] = s.BaseDirectory;
            node["include"] = s.Include;
            node["exclude"] = s.Exclude;
            node["recursive"] = s.Recursive;
            sets.push_back(std::move(node));
        }
        root["fileSets"] = std::move(sets);
    }
    json actions = json::array();
    for (const auto& a : Actions)
        actions.push_back(WriteAction(*a));
    root["actions"] = std::move(actions);
    return root.dump(2) + "\n";
}

void TProject::SaveToFile(const std::string& path) const {
    std::string text = ToJson();
    std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out)
            throw EProjectError(fmt::format("{}: cannot write the project file", path));
        out << text;
        if (!out.flush())
            throw EProjectError(fmt::format("{}: cannot write the project file", path));
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0)
        throw EProjectError(fmt::format("{}: cannot replace the project file", path));
}

} // namespace quillate
