// The FTP actions over SFTP, as a project drives them: FTP Connect with the SFTP protocol, then the
// mirror both ways, against OpenSSH's sshd.
#include "PackageTestSupport.h"
#include "ftp/ZRFTPConnectAction.h"
#include "host/CryptoUtils.h"
#include "support/SSHServerFixture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace quillate;
using namespace quillate::testing;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

std::string ConnectJson(const TSSHTestServer& server, const std::string& extra) {
    return R"({"type":"action.ftp.connect","properties":{"FTPConnectionName":"Site","FTPHost":"127.0.0.1","FTPPort":)" +
           std::to_string(server.Port()) + R"(,"UserID":")" + server.User() + R"(","Cookie":")" +
           EncryptString(TSSHTestServer::Password, zr::TFTPConnectionAction::PasswordKey) +
           R"(","Protocol":"cpSFTP")" + extra + "}}";
}

std::string MirrorJson(const fs::path& local, const fs::path& remote, bool up) {
    return R"({"type":"action.ftp.mirror","properties":{"ConnectionName":"Site","LocalDir":")" + local.string() +
           R"(","SpecifyRemoteDir":true,"RemoteDir":")" + remote.string() +
           R"(","Recursive":true,"CheckFileSize":true,"LogFiles":true,"MirrorOperation":")" +
           (up ? "moLocalToRemote" : "moRemoteToLocal") + R"("}})";
}

class SFTPActions : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Server = new TSSHTestServer();
        Server->Start();
    }
    static void TearDownTestSuite() {
        delete Server;
        Server = nullptr;
    }
    static TSSHTestServer* Server;
};

TSSHTestServer* SFTPActions::Server = nullptr;

// A key nobody vouched for stops the connect before any login, and says what to add; the fingerprint
// then lets it through.
TEST_F(SFTPActions, AnUnknownHostKeyIsRefusedWithItsFingerprint) {
    TTempDir home("quillate-sftp-home");
    TScopedEnvironment noKnownHosts("HOME", home.Path().c_str());
    TPackageRun refused;
    auto lines = refused.Run(R"({"actions":[)" + ConnectJson(*Server, "") + "]}");
    EXPECT_EQ(refused.Outcome, TRunOutcome::Failed);
    EXPECT_THAT(::testing::PrintToString(lines), HasSubstr(Server->HostKeyFingerprint()));

    TPackageRun accepted;
    accepted.Run(R"({"actions":[)" +
                 ConnectJson(*Server, R"(,"HostKeyFingerprint":")" + Server->HostKeyFingerprint() + "\"") + "]}");
    EXPECT_EQ(accepted.Outcome, TRunOutcome::Succeeded) << ::testing::PrintToString(accepted.Lines());
}

// Up, down into another folder, and up again with nothing to do, on extra sessions as over FTP: the
// trees are the same byte for byte.
TEST_F(SFTPActions, MirrorGivesIdenticalTrees) {
    TTempDir local("quillate-sftp-trip");
    for (int i = 0; i < 12; ++i) {
        fs::path file = local.Path() / "up" / ("d" + std::to_string(i % 3)) / ("f" + std::to_string(i) + ".txt");
        fs::create_directories(file.parent_path());
        WriteTextFile(file, std::string(static_cast<std::size_t>(i) * 5000 + 1, static_cast<char>('a' + i)));
    }
    fs::create_directories(local.Path() / "back");
    const fs::path remote = Server->Home() / "trip";
    fs::create_directories(remote);
    Server->GiveToUser(remote);
    const std::string connect =
        ConnectJson(*Server, R"(,"HostKeyFingerprint":")" + Server->HostKeyFingerprint() + "\"");
    int uploads = 0;
    for (const char* run : {"up", "back", "up"}) {
        const bool up = std::string(run) == "up";
        TPackageRun package;
        auto lines = package.Run(R"({"actions":[)" + connect + "," + MirrorJson(local.Path() / run, remote, up) + "]}");
        ASSERT_EQ(package.Outcome, TRunOutcome::Succeeded) << run << ::testing::PrintToString(lines);
        uploads += static_cast<int>(
            std::count_if(lines.begin(), lines.end(), [](const auto& l) { return l.starts_with("Uploaded ["); }));
    }
    EXPECT_EQ(uploads, 12) << "the last run has nothing to do";
    for (const auto& entry : fs::recursive_directory_iterator(local.Path() / "up")) {
        if (!entry.is_regular_file())
            continue;
        auto relative = entry.path().lexically_relative(local.Path() / "up");
        EXPECT_TRUE(ReadTextFile(remote / relative) == ReadTextFile(entry.path())) << relative;
        EXPECT_TRUE(ReadTextFile(local.Path() / "back" / relative) == ReadTextFile(entry.path())) << relative;
    }
}

} // namespace
