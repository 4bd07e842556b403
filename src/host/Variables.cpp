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

namespace {
// One piece of a text: a reference, or the characters a piece of literal text stands for.
struct TPiece {
    bool Reference;
    bool Dollar;            // a reference written $(Name)
    std::size_t Begin, End; // the piece's span in the text
    std::string_view Value; // the name, or what the literal text stands for
};

// A reference is %Name% or $(Name) with a valid name; "%%" is a percent sign and "$$(" the two
// characters "$(". Anything else, such as "50% done", stays as written. Expand, References and
// RenameReferences all read a text through this one scanner, so they agree on what a reference is.
template <class F> void Scan(std::string_view text, F&& piece) {
    std::size_t i = 0;
    auto name = [&](std::size_t from, char close) -> std::size_t {
        std::size_t end = text.find(close, from);
        if (end == std::string_view::npos)
            return end;
        std::string_view candidate = text.substr(from, end - from);
        return !candidate.empty() && std::all_of(candidate.begin(), candidate.end(), IsNameChar)
                   ? end
                   : std::string_view::npos;
    };
    while (i < text.size()) {
        char c = text[i];
        if (c == '%') {
            if (i + 1 < text.size() && text[i + 1] == '%') {
                piece(TPiece{false, false, i, i + 2, text.substr(i, 1)});
                i += 2;
                continue;
            }
            if (std::size_t end = name(i + 1, '%'); end != std::string_view::npos) {
                piece(TPiece{true, false, i, end + 1, text.substr(i + 1, end - i - 1)});
                i = end + 1;
                continue;
            }
        } else if (text.substr(i, 3) == "$$(") {
            piece(TPiece{false, false, i, i + 3, text.substr(i + 1, 2)});
            i += 3;
            continue;
        } else if (c == '$' && i + 1 < text.size() && text[i + 1] == '(') {
            if (std::size_t end = name(i + 2, ')'); end != std::string_view::npos) {
                piece(TPiece{true, true, i, end + 1, text.substr(i + 2, end - i - 2)});
                i = end + 1;
                continue;
            }
        }
        piece(TPiece{false, false, i, i + 1, text.substr(i, 1)});
        ++i;
    }
}
} // namespace

// Values are inserted as they are, never expanded again.
std::string TVariables::Expand(const std::string& text) const {
    std::string out;
    out.reserve(text.size());
    Scan(text, [this, &out](const TPiece& piece) {
        if (!piece.Reference) {
            out += piece.Value;
            return;
        }
        std::string name(piece.Value);
        auto value = Get(name);
        if (!value)
            throw EExpansionError(fmt::format("variable \"{}\" is not defined", name));
        if (out.size() + value->size() > MaxExpansion)
            throw EExpansionError(fmt::format("the text would grow past {} MiB where it uses variable \"{}\"",
                                              MaxExpansion / (1024 * 1024), name));
        out += *value;
    });
    return out;
}

std::vector<std::string> TVariables::References(const std::string& text) {
    std::vector<std::string> names;
    Scan(text, [&names](const TPiece& piece) {
        if (piece.Reference)
            names.emplace_back(piece.Value);
    });
    return names;
}

int TVariables::RenameReferences(std::string& text, const std::string& oldName, const std::string& newName) {
    std::string out;
    int count = 0;
    std::size_t copied = 0;
    Scan(text, [&](const TPiece& piece) {
        if (!piece.Reference || piece.Value != oldName)
            return;
        out.append(text, copied, piece.Begin - copied);
        out += piece.Dollar ? fmt::format("$({})", newName) : fmt::format("%{}%", newName);
        copied = piece.End;
        ++count;
    });
    if (count > 0) {
        out.append(text, copied, std::string::npos);
        text = std::move(out);
    }
    return count;
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
