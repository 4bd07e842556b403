// "FTP Client (DEPRECATED)" over SFTP: its steps through the same connection as the other FTP actions,
// logged in by a key with a passphrase, against OpenSSH's sshd.
#include "PackageTestSupport.h"
#include "ftp/script/ZRFTPScriptAction.h"
#include "host/CryptoUtils.h"
#include "support/SSHServerFixture.h"

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace quillate;
using namespace quillate::testing;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

namespace {

TEST(SFTPScriptAction, RunsItsStepsAndRefusesAMaskedListing) {
    TSSHTestServer server;
    server.Start();
    TTempDir local("quillate-sftp-script");
    const fs::path key = local.Path() / "key";
    const std::string passphrase = "keyphrase-s3cret";
    server.MakeKey(key, passphrase, true);
    WriteTextFile(local.Path() / "a.txt", std::string(70000, 'a'));

    auto encrypt = [](const std::string& text) { return EncryptString(text, zr::TFTPAction::PasswordKey); };
    std::string project = fmt::format(
        R"({{"actions":[{{"type":"action.ftp.script","properties":{{"Host":"127.0.0.1","Port":{},"UserID":"{}",)"
        R"("Protocol":"cpSFTP","HostKeyFingerprint":"{}","PrivateKeyFile":"{}","PrivateKeyCookie":"{}",)"
        R"("DetailedLogging":true}},"children":[)"
        R"({{"type":"ftp.script.makedir","properties":{{"RemoteDir":"work"}}}},)"
        R"({{"type":"ftp.script.changedir","properties":{{"RemoteDir":"work"}}}},)"
        R"({{"type":"ftp.script.uploadfile","properties":{{"LocalFile":"{}/a.txt","CompareFileSize":true}}}},)"
        R"({{"type":"ftp.script.listdir","properties":{{"IgnoreError":true,"Spec":"*.txt"}}}},)"
        R"({{"type":"ftp.script.downloadfile","properties":{{"RemoteFile":"a.txt","LocalFile":"{}/back.txt"}}}}]}}]}})",
        server.Port(), server.User(), server.HostKeyFingerprint(), key.string(), encrypt(passphrase),
        local.Path().string(), local.Path().string());

    TPackageRun run;
    auto lines = run.Run(project);
    EXPECT_EQ(run.Outcome, TRunOutcome::Succeeded) << ::testing::PrintToString(lines);
    EXPECT_THAT(lines, Contains("File Uploaded : 70000 bytes - size ok"));
    EXPECT_THAT(lines, Contains("Listing [*.txt]: masks and LIST options are not available over SFTP"));
    EXPECT_THAT(lines, Contains("File Downloaded : 70000 bytes"));
    EXPECT_EQ(lines.back(), "Disconnected!");
    EXPECT_TRUE(ReadTextFile(server.Home() / "work" / "a.txt") == ReadTextFile(local.Path() / "a.txt"));
    EXPECT_TRUE(ReadTextFile(local.Path() / "back.txt") == ReadTextFile(local.Path() / "a.txt"));
    // The detailed log shows the requests, never the passphrase.
    EXPECT_THAT(::testing::PrintToString(lines), HasSubstr(fmt::format("127.0.0.1:{} : ", server.Port())));
    EXPECT_FALSE(run.AnyLineContains(passphrase));
}

} // namespace
