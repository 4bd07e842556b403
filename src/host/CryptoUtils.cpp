#include "host/CryptoUtils.h"

#include "host/UserFile.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fmt/format.h>
#include <memory>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>
#include <vector>

namespace quillate {

namespace {

constexpr std::size_t KeySize = 32;
constexpr std::size_t NonceSize = 12;
constexpr std::size_t TagSize = 16;
constexpr std::size_t MinSecretFileSize = 16;
// Key material, never a document: anything longer is the wrong file.
constexpr std::size_t MaxSecretFileSize = 1024 * 1024;

// The built-in host secret. It is no secret from anyone holding the program; it keeps passwords out
// of plain sight in projects that must open on any machine. A secret file is the stronger choice.
constexpr std::array<unsigned char, 32> BuiltInSecret = {
    0x5e, 0x21, 0x9c, 0x47, 0xd3, 0x0a, 0x86, 0xf1, 0x3b, 0xe8, 0x72, 0x15, 0xc9, 0x64, 0x2d, 0xa0,
    0x97, 0x4e, 0x1f, 0xb6, 0x08, 0xcd, 0x53, 0x7a, 0xe2, 0x39, 0x90, 0x6b, 0xf4, 0x11, 0xa8, 0x5c};

// Binds derived keys to this format; a later format gets another salt.
constexpr std::string_view HkdfSalt = "quillate password enc1";

struct TCipherCtxFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
struct TKdfFree {
    void operator()(EVP_KDF* kdf) const { EVP_KDF_free(kdf); }
};
struct TKdfCtxFree {
    void operator()(EVP_KDF_CTX* ctx) const { EVP_KDF_CTX_free(ctx); }
};
using TCipherCtx = std::unique_ptr<EVP_CIPHER_CTX, TCipherCtxFree>;

// Wipes key material when it goes out of scope.
template <std::size_t N> struct TSecretBytes {
    std::array<unsigned char, N> Bytes{};
    ~TSecretBytes() { OPENSSL_cleanse(Bytes.data(), Bytes.size()); }
};

std::string ErrorText(std::string_view what, std::string_view message) {
    if (what.empty())
        return std::string(message);
    return fmt::format("{}: {}", what, message);
}

std::vector<unsigned char> HostSecret() {
    const char* file = std::getenv("QUILLATE_SECRET_FILE");
    if (!file || !*file)
        return {BuiltInSecret.begin(), BuiltInSecret.end()};
    std::string text;
    try {
        text = TUserFile::Read(file, MaxSecretFileSize);
    } catch (const EUserFileError& e) {
        throw ECryptoError(fmt::format("QUILLATE_SECRET_FILE \"{}\" cannot be read: {}", file, e.what()));
    }
    std::vector<unsigned char> secret(text.begin(), text.end());
    OPENSSL_cleanse(text.data(), text.size());
    if (secret.size() < MinSecretFileSize)
        throw ECryptoError(fmt::format("QUILLATE_SECRET_FILE \"{}\" holds {} bytes; at least {} are needed",
                                       file, secret.size(), MinSecretFileSize));
    return secret;
}

void DeriveKey(std::string_view keyText, TSecretBytes<KeySize>& out) {
    std::vector<unsigned char> secret = HostSecret();
    std::unique_ptr<EVP_KDF, TKdfFree> kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
    std::unique_ptr<EVP_KDF_CTX, TKdfCtxFree> ctx(kdf ? EVP_KDF_CTX_new(kdf.get()) : nullptr);
    // OSSL_PARAM wants non-const pointers; the KDF only reads through them.
    char digest[] = "SHA256";
    char empty = 0;
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, secret.data(), secret.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<char*>(HkdfSalt.data()),
                                          HkdfSalt.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO,
                                          keyText.empty() ? &empty : const_cast<char*>(keyText.data()),
                                          keyText.size()),
        OSSL_PARAM_construct_end()};
    bool ok = ctx && EVP_KDF_derive(ctx.get(), out.Bytes.data(), out.Bytes.size(), params) == 1;
    OPENSSL_cleanse(secret.data(), secret.size());
    if (!ok)
        throw ECryptoError("password key derivation failed (OpenSSL HKDF)");
}

} // namespace

bool TCryptoUtils::IsStoredForm(std::string_view value) {
    return value.starts_with(StoredPrefix);
}

std::string TCryptoUtils::EncryptString(std::string_view text, std::string_view key) {
    if (text.empty())
        return {};
    if (text.size() > INT_MAX / 2)
        throw ECryptoError("text too long to encrypt");
    TSecretBytes<KeySize> derived;
    DeriveKey(key, derived);

    std::vector<unsigned char> blob(NonceSize + text.size() + TagSize);
    unsigned char* nonce = blob.data();
    unsigned char* cipher = nonce + NonceSize;
    unsigned char* tag = cipher + text.size();
    if (RAND_bytes(nonce, static_cast<int>(NonceSize)) != 1)
        throw ECryptoError("no random bytes for the password nonce (OpenSSL RAND_bytes)");

    TCipherCtx ctx(EVP_CIPHER_CTX_new());
    int len = 0;
    int finalLen = 0;
    bool ok = ctx &&
              EVP_EncryptInit_ex2(ctx.get(), EVP_aes_256_gcm(), derived.Bytes.data(), nonce, nullptr) == 1 &&
              EVP_EncryptUpdate(ctx.get(), cipher, &len, reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size())) == 1 &&
              EVP_EncryptFinal_ex(ctx.get(), cipher + len, &finalLen) == 1 &&
              static_cast<std::size_t>(len + finalLen) == text.size() &&
              EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(TagSize), tag) == 1;
    if (!ok)
        throw ECryptoError("password encryption failed (OpenSSL AES-256-GCM)");
    return std::string(StoredPrefix) +
           Base64Encode(std::string_view(reinterpret_cast<const char*>(blob.data()), blob.size()));
}

std::string TCryptoUtils::DecryptString(std::string_view stored, std::string_view key,
                                        std::string_view what) {
    if (stored.empty())
        return {};
    if (!IsStoredForm(stored))
        throw ECryptoError(
            ErrorText(what, "stored password is not in the encrypted form (it must start with \"enc1:\")"));
    std::string blob;
    if (!base::Base64Decode(stored.substr(StoredPrefix.size()), blob))
        throw ECryptoError(ErrorText(what, "stored password is damaged (not valid base64)"));
    if (blob.size() < NonceSize + TagSize)
        throw ECryptoError(ErrorText(what, "stored password is truncated"));

    TSecretBytes<KeySize> derived;
    DeriveKey(key, derived);
    auto* bytes = reinterpret_cast<unsigned char*>(blob.data());
    const unsigned char* nonce = bytes;
    const unsigned char* cipher = nonce + NonceSize;
    std::size_t cipherSize = blob.size() - NonceSize - TagSize;
    unsigned char* tag = bytes + NonceSize + cipherSize;

    std::string text(cipherSize, '\0');
    TCipherCtx ctx(EVP_CIPHER_CTX_new());
    int len = 0;
    int finalLen = 0;
    auto* plain = reinterpret_cast<unsigned char*>(text.data());
    bool ready =
        ctx && EVP_DecryptInit_ex2(ctx.get(), EVP_aes_256_gcm(), derived.Bytes.data(), nonce, nullptr) == 1 &&
        EVP_DecryptUpdate(ctx.get(), plain, &len, cipher, static_cast<int>(cipherSize)) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(TagSize), tag) == 1;
    if (!ready)
        throw ECryptoError(ErrorText(what, "password decryption failed (OpenSSL AES-256-GCM)"));
    // The tag check in the final step is what tells a damaged or foreign value from a good one.
    if (EVP_DecryptFinal_ex(ctx.get(), plain + len, &finalLen) != 1) {
        OPENSSL_cleanse(text.data(), text.size());
        throw ECryptoError(ErrorText(what, "stored password cannot be decrypted: it is damaged or was "
                                           "encrypted with another secret or key"));
    }
    text.resize(static_cast<std::size_t>(len + finalLen));
    return text;
}

std::string NewGuidText() {
    std::array<unsigned char, 16> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1)
        throw ECryptoError("No random bytes for a new GUID");
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40); // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80); // RFC variant
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text += '-';
        text += fmt::format("{:02X}", bytes[i]);
    }
    return text;
}

} // namespace quillate
