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
    // Marks a variable whose value must never reach a log line (values taken from the environment).
    void SetSecret(const std::string& name, const std::string& value);
    std::optional<std::string> Get(const std::string& name) const;
    bool IsDefined(const std::string& name) const;
    std::map<std::string, std::string> Snapshot() const;

    // Replaces every reference; throws EExpansionError naming the first undefined variable.
    std::string Expand(const std::string& text) const;
    // Replaces every secret value in a text about to be logged.
    std::string MaskSecrets(const std::string& text) const;

    // A valid variable name: letters, digits, '_', '.', '-', not empty.
    static bool IsValidName(const std::string& name);

private:
    mutable std::mutex FLock;
    std::map<std::string, std::string> FValues;
    std::vector<std::string> FSecrets;
};

} // namespace quillate
