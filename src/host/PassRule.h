// The protocol logs' rule against passwords: a text that mentions "pass" is not shown. The logs differ
// in one point, kept as their readers know it: the FTP connection's log and the FTP script action's
// look for the letters in any case, the mail and news logs only as written in lower case.
#pragma once

#include <algorithm>
#include <string_view>

namespace quillate {

enum class TPassCase { AnyCase, LowerCaseOnly };

inline bool MentionsPass(std::string_view text, TPassCase rule) {
    constexpr std::string_view pass = "pass";
    if (rule == TPassCase::LowerCaseOnly)
        return text.find(pass) != std::string_view::npos;
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return std::search(text.begin(), text.end(), pass.begin(), pass.end(),
                       [&](char a, char b) { return lower(a) == b; }) != text.end();
}

} // namespace quillate
