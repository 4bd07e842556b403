// Standard base64 (RFC 4648 section 4, with padding) on OpenSSL's coder, for every layer: the host's
// stored passwords, SMTP authentication, the ICQ proxy logins and SSH host keys. Header-only so that the
// layers that may not link one another share it; each of them links OpenSSL's crypto library.
#pragma once

#include <climits>
#include <cstddef>
#include <openssl/evp.h>
#include <string>
#include <string_view>

namespace quillate::base {

inline std::string Base64Encode(std::string_view bytes) {
    // OpenSSL counts in int; whole groups of three bytes keep the padding to the last piece.
    constexpr std::size_t piece = std::size_t{3} << 20;
    std::string out;
    out.reserve(4 * ((bytes.size() + 2) / 3));
    while (true) {
        std::string_view part = bytes.substr(0, piece);
        std::size_t at = out.size();
        out.resize(at + 4 * ((part.size() + 2) / 3) + 1);
        int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data() + at),
                                reinterpret_cast<const unsigned char*>(part.data()),
                                static_cast<int>(part.size()));
        out.resize(at + static_cast<std::size_t>(n));
        bytes.remove_prefix(part.size());
        if (bytes.empty())
            return out;
    }
}

// Strict: false for anything but whole groups of the alphabet with their padding. EVP_DecodeBlock alone
// skips blanks and cannot tell padding from data.
inline bool Base64Decode(std::string_view text, std::string& out) {
    if (text.empty() || text.size() % 4 != 0 || text.size() > INT_MAX)
        return false;
    std::size_t padding = 0;
    if (text.back() == '=')
        padding = text[text.size() - 2] == '=' ? 2 : 1;
    for (char c : text.substr(0, text.size() - padding))
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
              c == '/'))
            return false;
    out.assign(text.size() / 4 * 3, '\0');
    int n =
        EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                        reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0 || static_cast<std::size_t>(n) != out.size())
        return false;
    out.resize(out.size() - padding);
    return true;
}

} // namespace quillate::base
