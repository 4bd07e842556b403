// Project variables and the expansion of %Name% / $(Name) references in action settings.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quillate {

class EExpansionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TVariables {
public:
    void Set(const std::string& name, const std::string& value);
    std::optional<std::string> Get(const std::string& name) const;
    bool IsDefined(const std::string& name) const;
    std::map<std::string, std::string> Snapshot() const;

    // Replaces every reference; throws EExpansionError naming the first undefined variable, or when the
    // result would pass MaxExpansion (a large variable used many times).
    std::string Expand(const std::string& text) const;
    static constexpr std::size_t MaxExpansion = 64 * 1024 * 1024;
    // The text that Expand turns back into `text`: every "%" doubled and every "$(" written "$$(".
    static std::string Literal(const std::string& text);

    // A valid variable name: letters, digits, '_', '.', '-', not empty.
    static bool IsValidName(const std::string& name);
    // The names a text refers to, read as Expand reads them, in order and with repeats.
    static std::vector<std::string> References(const std::string& text);
    // Rewrites each reference to oldName as one to newName in the form it was written (%..% or
    // $(..)), leaving everything else as it is; returns how many it rewrote.
    static int RenameReferences(std::string& text, const std::string& oldName, const std::string& newName);

private:
    mutable std::mutex FLock;
    std::map<std::string, std::string> FValues;
};

} // namespace quillate
