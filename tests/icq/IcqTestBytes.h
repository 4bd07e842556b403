// Bytes written as hex pairs in the tests ("2A 01 00 00"); blanks are ignored.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

inline std::string Hex(std::string_view pairs) {
    std::string bytes;
    std::string digits;
    for (char c : pairs) {
        if (c == ' ' || c == '\n')
            continue;
        digits += c;
        if (digits.size() == 2) {
            bytes += static_cast<char>(std::stoi(digits, nullptr, 16));
            digits.clear();
        }
    }
    if (!digits.empty())
        throw std::invalid_argument("odd number of hex digits");
    return bytes;
}
