#include "host/CryptoUtils.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <string>
#include <utility>
#include <vector>

namespace quillate {
namespace {

std::vector<unsigned char> Blob(const std::string& stored) {
    std::string b64 = stored.substr(5);
    std::vector<unsigned char> out(b64.size());
    int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(b64.data()),
                            static_cast<int>(b64.size()));
    out.resize(static_cast<std::size_t>(n) -
               static_cast<std::size_t>(std::count(b64.begin(), b64.end(), '=')));
    return out;
}

std::string Stored(const std::vector<unsigned char>& blob) {
    std::string out(4 * ((blob.size() + 2) / 3) + 1, '\0');
    out.resize(static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                                        blob.data(), static_cast<int>(blob.size()))));
    return "enc1:" + out;
}

TEST(CryptoUtils, RoundTripsAndHidesTheText) {
    const std::pair<std::string, std::string> cases[] = {{"p", ""},
                                                         {"secret text", "abc123def456g"},
                                                         {"p\xC3\xA4sswort \xE2\x9C\x93", "FTPPassword"},
                                                         {std::string("with\0nul", 8), "k"},
                                                         {std::string(5000, 'x'), "long"},
                                                         {"enc1:looks stored", "SMTPPass"}};
    for (const auto& [text, key] : cases) {
        std::string stored = EncryptString(text, key);
        std::string again = EncryptString(text, key);
        ASSERT_TRUE(stored.starts_with("enc1:")) << stored;
        EXPECT_NE(stored, again) << "the nonce must be fresh each time";
        EXPECT_EQ(Blob(stored).size(), 12 + text.size() + 16);
        EXPECT_EQ(DecryptString(stored, key), text);
        EXPECT_EQ(DecryptString(again, key), text);
        if (text.size() > 5) {
            EXPECT_EQ(stored.find(text), std::string::npos);
        }
    }
    EXPECT_EQ(EncryptString("", "key"), "");
    EXPECT_EQ(DecryptString("", "key"), "");
}

TEST(CryptoUtils, ValueStoredByAnEarlierBuildStillDecrypts) {
    // Projects keep these for years: the built-in secret and the key derivation must never change.
    EXPECT_EQ(DecryptString("enc1:59VKWvY3YwwxRpmYJARexaDx0BQDwhA0Vxcrhv+p8HxhY5c=", "abc123def456g"),
              "hunter2");
}

TEST(CryptoUtils, DamagedOrForeignValuesThrowNamingTheProperty) {
    const std::string good = EncryptString("a password of some length", "key");
    auto flipped = [&](std::size_t at) {
        auto blob = Blob(good);
        blob[at < blob.size() ? at : blob.size() - 1] ^= 1;
        return Stored(blob);
    };
    auto cut = [&](std::size_t size) {
        auto blob = Blob(good);
        blob.resize(size);
        return Stored(blob);
    };
    const std::string foreign = "damaged or was encrypted with another secret or key";
    const std::pair<std::string, std::string> cases[] = {
        {flipped(3), foreign},
        {flipped(12), foreign},
        {flipped(1000), foreign},
        {cut(Blob(good).size() - 4), foreign},
        {cut(20), "truncated"},
        {good.substr(0, good.size() - 1), "not valid base64"},
        {"enc1:", "not valid base64"},
        {"enc1:@" + good.substr(6), "not valid base64"},
        {"enc2:" + good.substr(5), "not in the encrypted form"},
        {"hunter2", "not in the encrypted form"},
    };
    for (const auto& [bad, reason] : cases) {
        try {
            DecryptString(bad, "key", "action.ftp.connect.Cookie");
            ADD_FAILURE() << "decrypted " << bad;
        } catch (const ECryptoError& e) {
            std::string message = e.what();
            EXPECT_TRUE(message.starts_with("action.ftp.connect.Cookie: ")) << message;
            EXPECT_NE(message.find(reason), std::string::npos) << message;
        }
    }
    EXPECT_THROW(DecryptString(good, "another key"), ECryptoError);
}

TEST(CryptoUtils, SecretFileReplacesTheBuiltInSecret) {
    const std::string file = ::testing::TempDir() + "quillate-secret";
    auto useSecret = [&](const std::string& contents) {
        std::ofstream(file, std::ios::binary) << contents;
        ::setenv("QUILLATE_SECRET_FILE", file.c_str(), 1);
    };
    const std::string builtIn = EncryptString("secret", "k");
    useSecret("0123456789abcdef0123456789abcdef");
    const std::string fromFile = EncryptString("secret", "k");
    EXPECT_EQ(DecryptString(fromFile, "k"), "secret");
    EXPECT_THROW(DecryptString(builtIn, "k"), ECryptoError);

    useSecret("fifteen bytes!!");
    try {
        EncryptString("secret", "k");
        ADD_FAILURE() << "a 15-byte secret was accepted";
    } catch (const ECryptoError& e) {
        EXPECT_NE(std::string(e.what()).find(file + "\" holds 15 bytes; at least 16"), std::string::npos)
            << e.what();
    }
    ::setenv("QUILLATE_SECRET_FILE", "/nonexistent/secret", 1);
    EXPECT_THROW(DecryptString(fromFile, "k"), ECryptoError);

    ::unsetenv("QUILLATE_SECRET_FILE");
    std::remove(file.c_str());
    EXPECT_THROW(DecryptString(fromFile, "k"), ECryptoError);
    EXPECT_EQ(DecryptString(builtIn, "k"), "secret");
}

} // namespace
} // namespace quillate
