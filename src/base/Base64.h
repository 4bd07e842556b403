// Standard base64 (RFC 4648 section 4, with padding) on OpenSSL's encoder, for every layer: the host's
// stored passwords, SMTP authentication and the ICQ proxy logins. Header-only so that the layers that
// may not link one another share it; each of them links OpenSSL's crypto library.
#pragma once

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

} // namespace quillate::base
