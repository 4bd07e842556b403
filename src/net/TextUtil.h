// Small text helpers shared by the parsers and the sessions.
#pragma once

#include "base/Text.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zr::net {

inline bool IsAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}

using quillate::base::AsciiLower;
using quillate::base::ContainsNoCase;
using quillate::base::EqualsNoCase;

inline std::string_view TrimView(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// A peer's or a caller's text as an error message may show it: printable ASCII only, cut short.
inline std::string Printable(std::string_view text) {
    constexpr std::size_t shown = 60;
    std::string out;
    for (char c : text.substr(0, shown)) {
        auto u = static_cast<unsigned char>(c);
        out += (u >= 0x20 && u < 0x7f) ? c : '?';
    }
    if (text.size() > shown)
        out += "...";
    return out;
}

// True when the text holds CR, LF or NUL, which no command line may carry.
inline bool HoldsLineBreakOrNul(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// A name as a warning shows it: control bytes, DEL and the backslash written as C escapes ("\r",
// "\x1b"), other bytes (UTF-8 included) as they are, cut short after 200 bytes.
inline std::string EscapedName(std::string_view name) {
    constexpr std::size_t shown = 200;
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    for (char c : name.substr(0, shown)) {
        auto u = static_cast<unsigned char>(c);
        switch (c) {
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\\':
            out += "\\\\";
            break;
        default:
            if (u < 0x20 || u == 0x7f) {
                out += "\\x";
                out += hex[u >> 4];
                out += hex[u & 0xf];
            } else {
                out += c;
            }
        }
    }
    if (name.size() > shown)
        out += "...";
    return out;
}

// Whole-string unsigned decimal; nullopt when empty, not all digits or above max.
inline std::optional<std::uint64_t> ParseUnsigned(std::string_view s, std::uint64_t max = UINT64_MAX) {
    if (s.empty())
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : s) {
        if (!IsAsciiDigit(c))
            return std::nullopt;
        auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (max - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

// Non-negative size that fits a signed 64-bit count.
inline std::optional<std::int64_t> ParseSize(std::string_view s) {
    auto v = ParseUnsigned(s, static_cast<std::uint64_t>(INT64_MAX));
    if (!v)
        return std::nullopt;
    return static_cast<std::int64_t>(*v);
}

} // namespace zr::net
