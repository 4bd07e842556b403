// Stored options, and the encryption of the passwords they and projects hold.
#include "host/Options.h"

#include "CaseFiles.h"
#include "host/CryptoUtils.h"
#include "support/ServerProcess.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <iterator>
#include <thread>
#include <tuple>
#include <vector>

namespace quillate {
namespace {

namespace fs = std::filesystem;
using nlohmann::ordered_json;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

enum TTestMode { tmOne, tmTwo, tmThree };
const TEnumInfo TestModeInfo{"TTestMode", {"tmOne", "tmTwo", "tmThree"}};
std::atomic<int> TableLoads{0};

// Read and written through its property table by the base class.
class TTableOptions : public TZROptionsObject {
public:
    static const TMetaClass& ClassInfo() {
        static const TMetaClass info = TMetaClass::Of<TTableOptions>(
            "TTableOptions", "", &TZROptionsObject::ClassInfo(), [](TPropertyTable& table) {
                TPropertyBuilder<TTableOptions>(table)
                    .String("Server", &TTableOptions::Server)
                    .Int("Port", &TTableOptions::Port)
                    .Bool("Passive", &TTableOptions::Passive)
                    .String("Password", &TTableOptions::Password)
                    .Enum("Mode", TestModeInfo, &TTableOptions::Mode);
            });
        return info;
    }
    const TMetaClass& GetClass() const override { return ClassInfo(); }
    std::string Section() const override { return "Table"; }
    TStringList PasswordKeys() const override { return {"Password"}; }
    void LoadOptions(IZROptionsReader& reader) override {
        ++TableLoads;
        TZROptionsObject::LoadOptions(reader);
    }
    std::string Server;
    std::int32_t Port = 21;
    bool Passive = true;
    std::string Password;
    TTestMode Mode = tmOne;
};

// Keeps its password under a key text of its own instead of the key's name.
class TCustomKeyOptions : public TZROptionsObject {
public:
    static const TMetaClass& ClassInfo() {
        static const TMetaClass info =
            TMetaClass::Of<TCustomKeyOptions>("TCustomKeyOptions", "", &TZROptionsObject::ClassInfo());
        return info;
    }
    const TMetaClass& GetClass() const override { return ClassInfo(); }
    std::string Section() const override { return "Custom"; }
    TStringList PasswordKeys() const override { return {"Pass"}; }
    std::string PasswordEncryptionKey(const std::string&) const override { return "custom"; }
};

class OptionsTest : public ::testing::Test {
protected:
    void SetUp() override { Restart(); }
    void TearDown() override { OptionsService().Reset(); }
    // A new run of the host on the same store file.
    void Restart() {
        OptionsService().Reset(FStore);
        OptionsService().RegisterOptions(TTableOptions::ClassInfo(), "HINTERNET");
        OptionsService().RegisterOptions(TCustomKeyOptions::ClassInfo(), "ZREMAIL");
    }
    void Write(const std::string& text) const { std::ofstream(FStore) << text; }
    ordered_json Read() const { return ordered_json::parse(std::ifstream(FStore)); }
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(FFolder))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    template <class T> std::shared_ptr<T> Get() { return OptionsService().GetOptionsAs<T>(T::ClassInfo()); }
    testing::TTempDir FTemp{"quillate-options"};
    fs::path FFolder = FTemp.Path();
    fs::path FStore = FFolder / "options.json";
};

// Sharing a section between classes is shown with the internet options (tests/ftp).
TEST_F(OptionsTest, RoundTripKeepsValuesTypesOtherSectionsAndEncryptsPasswords) {
    Write(R"({"Other": {"Keep": [1, 2]}})");
    auto table = Get<TTableOptions>();
    OptionsService().SaveAll();
    EXPECT_EQ(testing::ReadTextFile(FStore), R"({"Other": {"Keep": [1, 2]}})") << "nothing was modified";

    std::tie(table->Server, table->Port, table->Passive, table->Password, table->Mode) =
        std::tuple("ftp.example.org", 2121, false, "s3cret", tmThree);
    table->SetModified(true);
    OptionsService().SaveAll();
    EXPECT_FALSE(table->GetModified());
    EXPECT_EQ(Read()["Table"].dump().find("s3cret"), std::string::npos);
    EXPECT_EQ(std::tie(Read()["Table"]["Port"], Read()["Table"]["Passive"]), std::tuple(2121, false));
    EXPECT_EQ(DecryptString(Read()["Table"]["Password"].get<std::string>(), "Password"), "s3cret");
    EXPECT_EQ(Read()["Other"]["Keep"], ordered_json({1, 2}));
    // A class may encrypt a password key under a key text of its own. How "options set" types its text
    // and "options show" hides passwords is a command-line case.
    OptionsService().Store().Set("Custom.Pass", "pw2");
    EXPECT_EQ(
        DecryptString(OptionsService().Store().Content()["Custom"]["Pass"].get<std::string>(), "custom"),
        "pw2");

    Restart();
    auto again = Get<TTableOptions>();
    EXPECT_EQ(std::tie(again->Server, again->Port, again->Passive, again->Password, again->Mode),
              std::tie(table->Server, table->Port, table->Passive, table->Password, table->Mode));

    // Numbers and Booleans written as text are read.
    Restart();
    Write(R"({"Table": {"Port": "2121", "Passive": "FALSE", "Server": 42}})");
    EXPECT_EQ(std::tie(Get<TTableOptions>()->Port, Get<TTableOptions>()->Passive), std::tuple(2121, false));
    EXPECT_EQ(Get<TTableOptions>()->Server, "42");
}

TEST_F(OptionsTest, OneSharedObjectPerClassLoadedOnce) {
    TableLoads = 0;
    std::vector<std::shared_ptr<TZROptionsObject>> seen(8);
    std::vector<std::thread> threads;
    for (auto& slot : seen)
        threads.emplace_back([&slot] { slot = OptionsService().GetOptions(TTableOptions::ClassInfo()); });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(std::count(seen.begin(), seen.end(), seen[0]), 8);
    EXPECT_EQ(TableLoads.load(), 1);

    std::ofstream(FFolder / "other.json") << R"({"Table": {"Server": "other"}})";
    OptionsService().Open(FFolder / "other.json");
    EXPECT_EQ(Get<TTableOptions>()->Server, "other") << "--options loads its own objects";
}

TEST_F(OptionsTest, BadStoresAreErrorsNamingFileAndPlace) {
    for (const testing::TCase& c : testing::ReadBlocks("options-errors.txt")) {
        Restart();
        Write(c.Sections.at("store"));
        EXPECT_THAT([this] { Get<TTableOptions>(); },
                    ThrowsMessage<std::runtime_error>(
                        ::testing::AllOf(HasSubstr(FStore.string()), HasSubstr(c.Sections.at("error")))))
            << c.Where;
    }
    // A failed load is retried once the store is repaired.
    OptionsService().Store().Set("Table.Password", "fixed");
    EXPECT_EQ(Get<TTableOptions>()->Password, "fixed");

    // Generated: nesting too deep to keep as data, and a device that never ends.
    Restart();
    Write(R"({"Table": {"Server": )" + std::string(100000, '[') + std::string(100000, ']') + "}}");
    EXPECT_THAT([this] { Get<TTableOptions>(); },
                ThrowsMessage<EOptionsError>(HasSubstr(": Table.Server[0][0]")));
    EXPECT_THAT([] { OptionsService().Open("/dev/zero"); },
                ThrowsMessage<EOptionsError>(HasSubstr("\"/dev/zero\": not a file")));
}

TEST_F(OptionsTest, SaveReplacesTheFileAtomicallyWithPrivateMode) {
    Write(R"({"Table": {"Server": "old"}})");
    auto table = Get<TTableOptions>();
    std::ifstream openBefore(FStore);
    table->Server = "new";
    table->SetModified(true);
    OptionsService().SaveAll();

    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(openBefore), {}), R"({"Table": {"Server": "old"}})")
        << "the old file must stay whole for its readers";
    EXPECT_EQ(Read()["Table"]["Server"], "new");
    EXPECT_EQ(fs::status(FStore).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(Entries(), std::vector<std::string>{"options.json"});

    // A folder in the file's place: the save fails naming it and leaves no temporary file.
    TOptionsStore blocked;
    blocked.Load(FFolder / "taken.json");
    fs::create_directory(FFolder / "taken.json");
    blocked.Set("S.K", "v");
    EXPECT_THROW(blocked.Save(), EOptionsError);
    EXPECT_EQ(Entries(), (std::vector<std::string>{"options.json", "taken.json"}));

    TOptionsStore nested;
    nested.Load(FFolder / "a" / "b" / "options.json");
    nested.Set("S.K", "v");
    nested.Save();
    EXPECT_TRUE(fs::is_regular_file(FFolder / "a" / "b" / "options.json"));
}

TEST_F(OptionsTest, RegistrationRules) {
    OptionsService().RegisterOptions(TTableOptions::ClassInfo(), "OTHER");
    auto options = OptionsService().Options();
    ASSERT_EQ(options.size(), 2u) << "registering again replaces the image in its place";
    EXPECT_EQ(std::tie(options[0].Class, options[0].Image), std::tuple(&TTableOptions::ClassInfo(), "OTHER"));
    EXPECT_THROW(OptionsService().GetOptionsAs<TCustomKeyOptions>(TTableOptions::ClassInfo()), EOptionsError);
    EXPECT_THROW(OptionsService().RegisterOptions(TZROptionsObject::ClassInfo(), ""), std::exception);
    OptionsService().Reset(FStore);
    EXPECT_THROW(OptionsService().GetOptions(TTableOptions::ClassInfo()), EOptionsError) << "not registered";
    TOptionsStore store;
    store.DeclarePasswordKey("S", "P", "one");
    EXPECT_THROW(store.DeclarePasswordKey("S", "P", "two"), EOptionsError);

    testing::TScopedEnvironment xdg("XDG_CONFIG_HOME", "/xdg");
    EXPECT_EQ(DefaultOptionsPath(), "/xdg/quillate/options.json");
    xdg.Set("relative"); // the XDG rules ignore a relative one
    EXPECT_EQ(DefaultOptionsPath(), fs::path(std::getenv("HOME")) / ".config/quillate/options.json");
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
        EXPECT_THAT([&] { DecryptString(bad, "key", "action.ftp.connect.Cookie"); },
                    ThrowsMessage<ECryptoError>(::testing::AllOf(
                        ::testing::StartsWith("action.ftp.connect.Cookie: "), HasSubstr(reason))))
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
