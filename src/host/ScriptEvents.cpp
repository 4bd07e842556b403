#include "host/ScriptEvents.h"

#include <algorithm>

namespace quillate {

void TScriptEvents::AddScript(std::string_view name) {
    if (!IsDeclared(name))
        FNames.emplace_back(name);
}

bool TScriptEvents::IsDeclared(std::string_view name) const {
    return std::find(FNames.begin(), FNames.end(), name) != FNames.end();
}

bool TScriptEvents::SetSource(std::string_view name, std::string text) {
    if (!IsDeclared(name))
        return false;
    if (auto it = FSources.find(name); it != FSources.end())
        it->second = std::move(text);
    else
        FSources.emplace(std::string(name), std::move(text));
    return true;
}

const std::string* TScriptEvents::GetScriptByName(std::string_view name) const {
    auto it = FSources.find(name);
    return it == FSources.end() ? nullptr : &it->second;
}

bool TScriptEvents::HasScript(std::string_view name) const {
    const std::string* text = GetScriptByName(name);
    return text && text->find_first_not_of(" \t\r\n") != std::string::npos;
}

} // namespace quillate
