// The open project as the pages see it, and the places of actions in its tree.
#pragma once

#include <memory>
#include <vector>

#include "design/DesignContract.h"
#include "host/Project.h"

namespace quillate::designer {

// Names the pages offer in their lists, taken from the project as it stands when a dialog opens.
class TDesignProject : public IDesignProject {
public:
    explicit TDesignProject(const TProject& project) : FProject(project) {}

    TStringList ProjectObjectNames(const std::string& category) const override;
    TStringList VariableNames() const override;
    TStringList FileSetNames() const override;

private:
    const TProject& FProject;
};

using TActionList = std::vector<std::shared_ptr<TZRAction>>;

// Where an action stands: the list that holds it (the project's or a parent's child actions) and its
// index there. List is nullptr when the action is not in the project.
struct TActionPlace {
    TActionList* List = nullptr;
    std::size_t Index = 0;
};

TActionPlace FindActionPlace(TProject& project, const TZRAction* action);

} // namespace quillate::designer
