#include "DesignProject.h"

#include <algorithm>
#include <functional>

namespace quillate::designer {

TStringList TDesignProject::ProjectObjectNames(const std::string& category) const {
    TStringList names;
    std::function<void(const TActionList&)> walk = [&](const TActionList& actions) {
        for (const auto& action : actions) {
            std::vector<TProjectObjectName> provided;
            action->GetProvidedProjectObjects(provided);
            for (const auto& object : provided)
                if (object.Category == category && std::find(names.begin(), names.end(), object.Name) == names.end())
                    names.push_back(object.Name);
            walk(action->ChildActions());
        }
    };
    walk(FProject.Actions);
    return names;
}

TStringList TDesignProject::VariableNames() const {
    TStringList names;
    for (const auto& variable : FProject.Variables)
        names.push_back(variable.first);
    return names;
}

TStringList TDesignProject::FileSetNames() const {
    TStringList names;
    for (const auto& set : FProject.FileSets)
        names.push_back(set.Name);
    return names;
}

TActionPlace FindActionPlace(TProject& project, const TZRAction* action) {
    std::function<TActionPlace(TActionList&)> search = [&](TActionList& list) -> TActionPlace {
        for (std::size_t i = 0; i < list.size(); ++i) {
            if (list[i].get() == action)
                return {&list, i};
            if (TActionPlace found = search(list[i]->ChildActions()); found.List)
                return found;
        }
        return {};
    };
    return action ? search(project.Actions) : TActionPlace{};
}

} // namespace quillate::designer
