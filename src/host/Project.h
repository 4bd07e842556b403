// A project: its variables, file sets and tree of actions, read from and written to JSON.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/Action.h"
#include "host/UserFile.h"

namespace quillate {

// A project that cannot be loaded; the message names the file and the place in it.
class EProjectError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct TFileSetDefinition {
    std::string Name;
    std::string BaseDirectory;
    TStringList Include;
    TStringList Exclude;
    bool Recursive = false;
};

class TFileSet;

struct TProjectLimits {
    TUserFileLimits File;
    // Actions within actions and children within children, counted together.
    std::size_t MaxTreeDepth = 256;
};

// A problem an action's Validate reports: where the action stands ("actions[0].actions[1]"), its
// description and what it found.
struct TProjectProblem {
    std::string Where;
    std::string Action;
    TValidationError Error;
};

class TProject {
public:
    TProject() = default;
    TProject(TProject&&) = default;
    TProject& operator=(TProject&&) = delete;
    // Unregisters the project's file sets.
    ~TProject();

    // Reads a project; the file name only labels error messages.
    static TProject Parse(const std::string& text, const std::string& fileName, const TProjectLimits& limits = {});
    // Only a regular file within the size limit is read.
    static TProject LoadFromFile(const std::string& path, const TProjectLimits& limits = {});

    // Every action's Validate, in tree order.
    std::vector<TProjectProblem> Validate() const;
    // Every action with its place in the tree ("actions[0].actions[1]"), in tree order.
    std::vector<std::pair<std::string, TZRAction*>> ActionPlaces() const;

    std::string ToJson() const;
    void SaveToFile(const std::string& path) const;

    const std::string& FileName() const { return FFileName; }
    // Variables in file order.
    std::vector<std::pair<std::string, std::string>> Variables;
    std::vector<TFileSetDefinition> FileSets;
    std::vector<std::shared_ptr<TZRAction>> Actions;

private:
    void RegisterFileSets();

    std::string FFileName;
    std::vector<std::shared_ptr<TFileSet>> FFileSetObjects;
};

// Property values as JSON, by the property's kind (enumerations by value name).
nlohmann::ordered_json PropertyValueToJson(const TPropertyInfo& info, const TPropertyValue& value);
// Throws std::invalid_argument describing what was expected when the JSON does not fit the kind.
TPropertyValue PropertyValueFromJson(const TPropertyInfo& info, const nlohmann::ordered_json& json);

} // namespace quillate
