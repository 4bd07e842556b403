// The script events an action declares and the Lua text its project gives each of them.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace quillate {

class TScriptEvents {
public:
    // Declares an event; declaring it again changes nothing.
    void AddScript(std::string_view name);
    bool IsDeclared(std::string_view name) const;
    // Declared events in declaration order.
    const std::vector<std::string>& Names() const { return FNames; }

    // False (and nothing stored) when the event is not declared, so that the caller can name the action.
    [[nodiscard]] bool SetSource(std::string_view name, std::string text);
    // The text of a declared event, or nullptr when there is none or the event is not declared.
    const std::string* GetScriptByName(std::string_view name) const;
    // True when the event has text other than white space.
    bool HasScript(std::string_view name) const;

private:
    std::vector<std::string> FNames;
    std::map<std::string, std::string, std::less<>> FSources;
};

} // namespace quillate
