#include "host/VariableUsage.h"

#include "host/CryptoUtils.h"

#include <algorithm>
#include <fmt/format.h>
#include <optional>
#include <set>
#include <stdexcept>

namespace quillate {

namespace {

// Every action of the tree in project order (an action, then its child actions), without recursion:
// a project built in the designer has no depth limit of its own.
template <class F> void ForEachAction(const std::vector<std::shared_ptr<TZRAction>>& actions, F&& visit) {
    std::vector<std::pair<const std::vector<std::shared_ptr<TZRAction>>*, std::size_t>> stack{{&actions, 0}};
    while (!stack.empty()) {
        auto& [list, index] = stack.back();
        if (index == list->size()) {
            stack.pop_back();
            continue;
        }
        TZRAction* action = (*list)[index++].get();
        if (!action)
            continue;
        visit(*action);
        stack.emplace_back(&action->ChildActions(), 0);
    }
}

bool IsText(const TPropertyInfo& info) {
    return info.Kind == TPropertyKind::String || info.Kind == TPropertyKind::StringList ||
           info.Kind == TPropertyKind::VariableName;
}

// The texts of one object its property table reaches: stored text properties the user sees, and the
// stored passwords (secret). Hidden helpers such as an address's role tag are not the user's texts.
template <class F> void ForEachTableText(TPersistent& owner, const std::string& prefix, F&& visit) {
    for (const auto& info : owner.Properties().Properties()) {
        bool secret = !info.EncryptionKey.empty();
        if (!info.Stored || !info.Get || !IsText(info) || (info.Hidden && !secret))
            continue;
        visit(owner, info, prefix + info.Name, secret);
    }
}

// A stored child's label: the object property that publishes it ("From."), else its place
// ("children[1].").
std::string ChildPrefix(TZRAction& action, const TPersistent& child, std::size_t index) {
    for (const auto& object : action.Properties().ObjectProperties())
        if (object.Get(action).get() == &child)
            return object.Name + ".";
    return fmt::format("children[{}].", index);
}

// The action's own table texts, then those of each stored child. A child's own children are left
// to the action's hooks, which know what they mean.
template <class F> void ForEachActionTableText(TZRAction& action, F&& visit) {
    ForEachTableText(action, "", visit);
    TSerializableList children;
    action.GetChildren(children);
    for (std::size_t i = 0; i < children.size(); ++i)
        if (children[i])
            ForEachTableText(*children[i], ChildPrefix(action, *children[i], i), visit);
}

// A stored password in clear text, or nothing when it is empty or cannot be decrypted (a damaged
// value is the loader's and the run's to report, not a variable finding).
std::optional<std::string> ClearSecret(const TPersistent& owner, const TPropertyInfo& info) {
    std::string stored = std::get<std::string>(info.Get(owner));
    if (stored.empty())
        return std::nullopt;
    try {
        return TCryptoUtils::DecryptString(stored, info.EncryptionKey);
    } catch (const ECryptoError&) {
        return std::nullopt;
    }
}

// The lines of a property's value: one for a string, each line of a list.
TStringList ValueLines(const TPropertyValue& value) {
    if (const auto* list = std::get_if<TStringList>(&value))
        return *list;
    return {std::get<std::string>(value)};
}

char FoldCase(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::size_t FindText(const std::string& text, const std::string& needle, std::size_t from, bool matchCase) {
    if (matchCase)
        return text.find(needle, from);
    auto it = std::search(text.begin() + static_cast<std::ptrdiff_t>(from), text.end(), needle.begin(),
                          needle.end(), [](char a, char b) { return FoldCase(a) == FoldCase(b); });
    return it == text.end() ? std::string::npos : static_cast<std::size_t>(it - text.begin());
}

bool ContainsText(const std::string& text, const std::string& needle, bool matchCase) {
    return !needle.empty() && FindText(text, needle, 0, matchCase) != std::string::npos;
}

bool AnyLineContains(const TStringList& lines, const std::string& needle, bool matchCase) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return ContainsText(line, needle, matchCase); });
}

} // namespace

int ReplaceInText(std::string& text, const std::string& needle, const std::string& replacement,
                  bool matchCase) {
    if (needle.empty())
        return 0;
    std::string out;
    int count = 0;
    std::size_t copied = 0;
    for (std::size_t at = FindText(text, needle, 0, matchCase); at != std::string::npos;
         at = FindText(text, needle, copied, matchCase)) {
        out.append(text, copied, at - copied);
        out += replacement;
        copied = at + needle.size();
        ++count;
    }
    if (count > 0) {
        out.append(text, copied, std::string::npos);
        text = std::move(out);
    }
    return count;
}

TVariableReport FindVariableUses(const TProject& project) {
    TVariableReport report;
    std::set<std::string> declared, setByActions;
    for (const auto& [name, value] : project.Variables) {
        declared.insert(name);
        report.Uses[name];
    }
    std::vector<std::pair<std::string, TTextLocation>> references;
    auto use = [&](const std::string& name, const TZRAction& action, const std::string& label) {
        auto& where = report.Uses[name];
        bool known = std::any_of(where.begin(), where.end(), [&](const TTextLocation& l) {
            return l.Action == &action && l.Property == label;
        });
        if (!known) {
            where.push_back({&action, label});
            references.emplace_back(name, where.back());
        }
    };
    auto useIn = [&](const std::string& text, const TZRAction& action, const std::string& label) {
        for (const auto& name : TVariables::References(text))
            use(name, action, label);
    };

    ForEachAction(project.Actions, [&](TZRAction& action) {
        ForEachActionTableText(action, [&](const TPersistent& owner, const TPropertyInfo& info,
                                           const std::string& label, bool secret) {
            if (secret) {
                if (auto clear = ClearSecret(owner, info))
                    useIn(*clear, action, label);
                return;
            }
            TPropertyValue value = info.Get(owner);
            if (info.Kind == TPropertyKind::VariableName) {
                const auto& name = std::get<std::string>(value);
                if (TVariables::IsValidName(name)) {
                    setByActions.insert(name);
                    use(name, action, label);
                    return;
                }
            }
            for (const auto& line : ValueLines(value))
                useIn(line, action, label);
        });
        action.DoInternalSearch(
            [&](const std::string& label, const std::string& text) { useIn(text, action, label); });
    });

    // An action that answers only through SearchForUnusedVariables names no text: its use is recorded
    // without a property.
    TStringList unused;
    for (const auto& [name, value] : project.Variables)
        if (report.Uses[name].empty())
            unused.push_back(name);
    ForEachAction(project.Actions, [&](TZRAction& action) {
        if (unused.empty())
            return;
        TStringList left = unused;
        action.SearchForUnusedVariables(left);
        for (const auto& name : unused)
            if (std::find(left.begin(), left.end(), name) == left.end())
                use(name, action, "");
        unused = std::move(left);
    });
    report.Unused = std::move(unused);

    for (auto& [name, where] : references)
        if (!declared.count(name) && !setByActions.count(name))
            report.Undefined.emplace_back(name, std::move(where));
    return report;
}

int RenameVariable(TProject& project, const std::string& oldName, const std::string& newName) {
    for (const auto* name : {&oldName, &newName})
        if (!TVariables::IsValidName(*name))
            throw std::invalid_argument(fmt::format(
                "\"{}\" is not a valid variable name: use letters, digits, '_', '.' and '-'", *name));
    if (oldName == newName)
        return 0;
    for (const auto& [name, value] : project.Variables)
        if (name == newName)
            throw std::invalid_argument(fmt::format("a variable named \"{}\" is already declared", newName));

    for (auto& [name, value] : project.Variables)
        if (name == oldName)
            name = newName;
    int count = 0;
    ForEachAction(project.Actions, [&](TZRAction& action) {
        ForEachActionTableText(
            action, [&](TPersistent& owner, const TPropertyInfo& info, const std::string&, bool secret) {
                if (secret) {
                    auto clear = ClearSecret(owner, info);
                    if (!clear)
                        return;
                    if (int changed = TVariables::RenameReferences(*clear, oldName, newName); changed > 0) {
                        info.Set(owner, TCryptoUtils::EncryptString(*clear, info.EncryptionKey));
                        count += changed;
                    }
                    return;
                }
                TPropertyValue value = info.Get(owner);
                if (info.Kind == TPropertyKind::VariableName && std::get<std::string>(value) == oldName) {
                    info.Set(owner, newName);
                    ++count;
                    return;
                }
                int changed = 0;
                if (auto* list = std::get_if<TStringList>(&value)) {
                    for (auto& line : *list)
                        changed += TVariables::RenameReferences(line, oldName, newName);
                } else {
                    changed = TVariables::RenameReferences(std::get<std::string>(value), oldName, newName);
                }
                if (changed > 0)
                    info.Set(owner, value);
                count += changed;
            });
        count += action.RenameVariableReference(oldName, newName);
    });
    return count;
}

std::vector<TTextMatch> SearchTexts(const TProject& project, const std::string& needle, bool matchCase) {
    std::vector<TTextMatch> matches;
    if (needle.empty())
        return matches;
    ForEachAction(project.Actions, [&](TZRAction& action) {
        if (ContainsText(action.Description(), needle, matchCase))
            matches.push_back({{&action, "description"}, action.Description()});
        ForEachActionTableText(action, [&](const TPersistent& owner, const TPropertyInfo& info,
                                           const std::string& label, bool secret) {
            if (secret)
                return;
            TPropertyValue value = info.Get(owner);
            TStringList lines = ValueLines(value);
            if (AnyLineContains(lines, needle, matchCase))
                matches.push_back({{&action, label}, LinesToText(lines)});
        });
        action.DoInternalSearch([&](const std::string& label, const std::string& text) {
            if (ContainsText(text, needle, matchCase))
                matches.push_back({{&action, label}, text});
        });
    });
    return matches;
}

int ReplaceTexts(TProject& project, const std::string& needle, const std::string& replacement,
                 bool matchCase) {
    // Every text replaced here is one line; a list's lines are replaced one by one.
    if (replacement.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        throw std::invalid_argument("the replacement must not hold a line break or a NUL character");
    if (needle.empty())
        return 0;
    auto replace = [&](std::string& text) { return ReplaceInText(text, needle, replacement, matchCase); };
    int count = 0;
    ForEachAction(project.Actions, [&](TZRAction& action) {
        std::string description = action.Description();
        if (int changed = replace(description); changed > 0) {
            action.SetDescription(description);
            count += changed;
        }
        ForEachActionTableText(
            action, [&](TPersistent& owner, const TPropertyInfo& info, const std::string&, bool secret) {
                if (secret)
                    return;
                TPropertyValue value = info.Get(owner);
                int changed = 0;
                if (auto* list = std::get_if<TStringList>(&value)) {
                    for (auto& line : *list)
                        changed += replace(line);
                } else {
                    changed = replace(std::get<std::string>(value));
                }
                if (changed > 0)
                    info.Set(owner, value);
                count += changed;
            });
        std::vector<std::string> labels;
        action.DoInternalSearch([&](const std::string& label, const std::string& text) {
            if (ContainsText(text, needle, matchCase) &&
                std::find(labels.begin(), labels.end(), label) == labels.end())
                labels.push_back(label);
        });
        for (const auto& label : labels)
            count += action.DoInternalReplace(label, replace);
    });
    return count;
}

std::vector<TVariableWarning> VariableWarnings(const TProject& project, const std::vector<std::string>& given) {
    std::map<const TZRAction*, std::string> places;
    for (const auto& [where, action] : project.ActionPlaces())
        places[action] = where;
    TVariableReport report = FindVariableUses(project);
    std::vector<TVariableWarning> warnings;
    for (const auto& [name, where] : report.Undefined)
        if (std::find(given.begin(), given.end(), name) == given.end())
            warnings.push_back({where.Action, fmt::format("{} ({}): {}: warning: variable \"{}\" is used but not defined",
                                                          places[where.Action], where.Action->GetFormattedDescription(),
                                                          where.Property, name)});
    for (const auto& name : report.Unused)
        warnings.push_back({nullptr, fmt::format("variables: {}: warning: variable \"{}\" is declared but not used", name, name)});
    return warnings;
}

} // namespace quillate
