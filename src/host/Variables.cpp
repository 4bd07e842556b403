#include "host/Variables.h"

#include <algorithm>

#include <fmt/format.h>

namespace quillate {

namespace {
bool IsNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
           c == '-';
}
} // namespace

bool TVariables::IsValidName(const std::string& name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), IsNameChar);
}

void TVariables::Set(const std::string& name, const std::string& value) {
    std::lock_guard lock(FLock);
    FValues[name] = value;
}

std::optional<std::string> TVariables::Get(const std::string& name) const {
    std::lock_guard lock(FLock);
    auto it = FValues.find(name);
    if (it == FValues.end())
        return std::nullopt;
    return it->second;
}

bool TVariables::IsDefined(const std::string& name) const {
    std::lock_guard lock(FLock);
    return FValues.count(name) != 0;
}

std::map<std::string, std::string> TVariables::Snapshot() const {
    std::lock_guard lock(FLock);
    return FValues;
}

// A reference is %Name% or $(Name) with a valid name; "%%" is a percent sign and "$$(" the two
// characters "$(". Anything else, such as "50% done", stays as written. Values are inserted as they
// are, never expanded again.
std::string TVariables::Expand(const std::string& text) const {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    auto lookup = [this, &out](const std::string& name) {
        auto value = Get(name);
        if (!value)
            throw EExpansionError(fmt::format("variable \"{}\" is not defined", name));
        if (out.size() + value->size() > MaxExpansion)
            throw EExpansionError(fmt::format("the text would grow past {} MiB where it uses variable \"{}\"",
                                              MaxExpansion / (1024 * 1024), name));
        return std::move(*value);
    };
    while (i < text.size()) {
        char c = text[i];
        if (c == '%') {
            if (i + 1 < text.size() && text[i + 1] == '%') {
                out += '%';
                i += 2;
                continue;
            }
            std::size_t end = text.find('%', i + 1);
            if (end != std::string::npos) {
                std::string name = text.substr(i + 1, end - i - 1);
                if (IsValidName(name)) {
                    out += lookup(name);
                    i = end + 1;
                    continue;
                }
            }
        } else if (text.compare(i, 3, "$$(") == 0) {
            out += "$(";
            i += 3;
            continue;
        } else if (c == '$' && i + 1 < text.size() && text[i + 1] == '(') {
            std::size_t end = text.find(')', i + 2);
            if (end != std::string::npos) {
                std::string name = text.substr(i + 2, end - i - 2);
                if (IsValidName(name)) {
                    out += lookup(name);
                    i = end + 1;
                    continue;
                }
            }
        }
        out += c;
        ++i;
    }
    return out;
}

std::string TVariables::Literal(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 8);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' || text.compare(i, 2, "$(") == 0)
            out += text[i];
        out += text[i];
    }
    return out;
}

} // namespace quillate
