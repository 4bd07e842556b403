// Letter case and blanks the way every layer treats them: ASCII only, whatever the process locale,
// so that a command, a header name or a stored value compares the same on every machine.
#pragma once

#include <string>
#include <string_view>

namespace quillate::base {

inline char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline char AsciiUpper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

inline std::string LowerCase(std::string text) {
    for (char& c : text)
        c = AsciiLower(c);
    return text;
}

inline std::string UpperCase(std::string text) {
    for (char& c : text)
        c = AsciiUpper(c);
    return text;
}

inline bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i]))
            return false;
    return true;
}

inline bool ContainsNoCase(std::string_view text, std::string_view part) {
    for (std::size_t at = 0; at + part.size() <= text.size(); ++at)
        if (EqualsNoCase(text.substr(at, part.size()), part))
            return true;
    return false;
}

// A typed value without the blanks and control characters around it (a stray space or line end).
inline std::string_view TrimBlanks(std::string_view text) {
    auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7F; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

} // namespace quillate::base
