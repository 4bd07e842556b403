#include "host/CryptoUtils.h"
#include "support/ServerProcess.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>
#include <utility>

namespace quillate {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using ::testing::ThrowsMessage;

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
        // A 12-byte nonce, the ciphertext and a 16-byte tag, in base64.
        EXPECT_EQ(stored.size(), 5 + 4 * ((12 + text.size() + 16 + 2) / 3));
        EXPECT_EQ(DecryptString(stored, key), text);
        EXPECT_EQ(DecryptString(again, key), text);
        if (text.size() > 5) {
            EXPECT_EQ(stored.find(text), std::string::npos);
        }
    }
    EXPECT_EQ(EncryptString("", "key"), "");
    EXPECT_EQ(DecryptString("", "key"), "");
    // Projects keep these for years: the built-in secret and the key derivation must never change.
    EXPECT_EQ(DecryptString("enc1:59VKWvY3YwwxRpmYJARexaDx0BQDwhA0Vxcrhv+p8HxhY5c=", "abc123def456g"),
              "hunter2");
}

TEST(CryptoUtils, DamagedOrForeignValuesThrowNamingTheProperty) {
    // "enc1:" and 72 base64 characters for 53 bytes: nonce 0-11, ciphertext 12-36, tag 37-52.
    const std::string good = EncryptString("a password of some length", "key");
    auto flipped = [&](std::size_t at) {
        std::string damaged = good;
        damaged[at] = damaged[at] == 'A' ? 'B' : 'A';
        return damaged;
    };
    const std::string foreign = "damaged or was encrypted with another secret or key";
    const std::pair<std::string, std::string> cases[] = {
        {flipped(5 + 4), foreign},
        {flipped(5 + 16), foreign},
        {flipped(good.size() - 4), foreign},
        {good.substr(0, good.size() - 8), foreign},
        {good.substr(0, 5 + 24), "truncated"},
        {good.substr(0, good.size() - 1), "not valid base64"},
        {"enc1:", "not valid base64"},
        {"enc1:@" + good.substr(6), "not valid base64"},
        {"enc2:" + good.substr(5), "not in the encrypted form"},
        {"hunter2", "not in the encrypted form"},
    };
    for (const auto& [bad, reason] : cases)
        EXPECT_THAT(
            [&] { DecryptString(bad, "key", "action.ftp.connect.Cookie"); },
            ThrowsMessage<ECryptoError>(AllOf(StartsWith("action.ftp.connect.Cookie: "), HasSubstr(reason))))
            << bad;
    EXPECT_THROW(DecryptString(good, "another key"), ECryptoError);
}

TEST(CryptoUtils, SecretFileReplacesTheBuiltInSecret) {
    const std::string file = ::testing::TempDir() + "quillate-secret";
    testing::TScopedEnvironment secretFile("QUILLATE_SECRET_FILE", nullptr);
    auto useSecret = [&](const std::string& contents) {
        std::ofstream(file, std::ios::binary) << contents;
        secretFile.Set(file.c_str());
    };
    const std::string builtIn = EncryptString("secret", "k");
    useSecret("0123456789abcdef0123456789abcdef");
    const std::string fromFile = EncryptString("secret", "k");
    EXPECT_EQ(DecryptString(fromFile, "k"), "secret");
    EXPECT_THROW(DecryptString(builtIn, "k"), ECryptoError);

    useSecret("fifteen bytes!!");
    EXPECT_THAT([] { EncryptString("secret", "k"); },
                ThrowsMessage<ECryptoError>(HasSubstr(file + "\" holds 15 bytes; at least 16")));
    secretFile.Set("/dev/zero"); // endless: refused unread
    EXPECT_THAT([] { EncryptString("secret", "k"); },
                ThrowsMessage<ECryptoError>(HasSubstr("\"/dev/zero\" cannot be read: not a file")));
    secretFile.Set("/nonexistent/secret");
    EXPECT_THROW(DecryptString(fromFile, "k"), ECryptoError);

    secretFile.Set(nullptr);
    std::remove(file.c_str());
    EXPECT_EQ(DecryptString(builtIn, "k"), "secret");
}

} // namespace
} // namespace quillate
