// Reversible encryption of the passwords that projects and the options store keep.
#pragma once

#include "base/Base64.h"

#include <stdexcept>
#include <string>
#include <string_view>

namespace quillate {

// A stored password that cannot be decrypted, or a host secret that cannot be used.
class ECryptoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Stored form: "enc1:" + base64(nonce[12] || ciphertext || tag[16]), AES-256-GCM under
// HKDF-SHA256(host secret, info = key text). The host secret is built in, so projects move between
// machines, unless QUILLATE_SECRET_FILE names a file (at least 16 bytes, used byte for byte) holding
// another. An empty text and an empty stored value map to each other, so unset passwords stay empty.
class TCryptoUtils {
public:
    static constexpr std::string_view StoredPrefix = "enc1:";

    // A fresh random nonce each call: two encryptions of one text differ.
    static std::string EncryptString(std::string_view text, std::string_view key);
    // Throws ECryptoError for a damaged, truncated, foreign or wrongly prefixed value; `what` (for
    // example "TYPE.PROPERTY" of the value's owner) opens the message when given.
    static std::string DecryptString(std::string_view stored, std::string_view key,
                                     std::string_view what = {});
    // True when the value has the stored form's prefix (it may still be damaged).
    static bool IsStoredForm(std::string_view value);
};

// A new random GUID in its text form without braces, "8-4-4-4-12" upper-case hex digits
// (RFC 9562 version 4), for identifiers that must never repeat, such as a Message-ID.
std::string NewGuidText();

using base::Base64Encode;

inline std::string EncryptString(std::string_view text, std::string_view key) {
    return TCryptoUtils::EncryptString(text, key);
}

inline std::string DecryptString(std::string_view stored, std::string_view key, std::string_view what = {}) {
    return TCryptoUtils::DecryptString(stored, key, what);
}

} // namespace quillate
