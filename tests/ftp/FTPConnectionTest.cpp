#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "PackageTestSupport.h"
#include "support/FTPServerFixture.h"
#include "ftp/ZRFTPConnectAction.h"
#include "ftp/ZRFTPObject.h"

using namespace quillate;
using namespace quillate::testing;
using namespace zr;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

namespace {



// A connection object configured for a server, connected, with its protocol lines collected.
struct TLiveConnection {
    std::shared_ptr<TFTPConnectObject> Connection = std::make_shared<TFTPConnectObject>("Live");
    std::vector<std::string> Lines;

    explicit TLiveConnection(std::uint16_t port) {
        Connection->SetHost("127.0.0.1");
        Connection->SetPort(port);
        Connection->SetUsername(TFTPTestServer::User);
        Connection->SetPassword(TFTPTestServer::Password);
        Connection->SetPassive(true);
        Connection->SetOnMessage([this](const std::string& text, TConnMessageType) { Lines.push_back(text); });
        Connection->Connect(10);
    }
    std::size_t SentLines() const {
        return static_cast<std::size_t>(
            std::count_if(Lines.begin(), Lines.end(), [](const std::string& l) { return l.rfind("Sent: ", 0) == 0; }));
    }
};

class FTPConnection : public ::testing::TestWithParam<TFTPServerKind> {
protected:
    void SetUp() override {
        EnsurePackageRegistered();
        FServer = std::make_unique<TFTPTestServer>(GetParam());
        FServer->Start();
    }
    std::unique_ptr<TFTPTestServer> FServer;
};

TEST_P(FTPConnection, DetailedLoggingShowsTheMaskedProtocolOnlyWhenAsked) {
    for (bool detailed : {true, false}) {
        TPackageRun run;
        auto lines = run.Run(R"({"actions":[)" + SiteConnectJson(FServer->Port(), std::string("\"DetailedLogging\":") + (detailed ? "true" : "false")) +
                             R"(,{"type":"action.ftp.disconnect","properties":{"ConnectionName":"Site"}}]})");
        EXPECT_EQ(run.Outcome, TRunOutcome::Succeeded) << ::testing::PrintToString(lines);
        EXPECT_THAT(lines, Contains("Connection to host : 127.0.0.1"));
        EXPECT_FALSE(run.AnyLineContains(TFTPTestServer::Password));
        std::regex user(R"(^Sent: 127\.0\.0\.1:\d+ : USER tester$)"), pass(R"(^Sent: 127\.0\.0\.1:\d+ : PASS xxx$)");
        bool sawUser = false, sawPass = false, sawRecv = false, sawProtocol = false;
        for (const auto& l : lines) {
            sawUser = sawUser || std::regex_match(l, user);
            sawPass = sawPass || std::regex_match(l, pass);
            sawRecv = sawRecv || l.rfind("Recv: ", 0) == 0;
            sawProtocol = sawProtocol || l.rfind("Sent: ", 0) == 0 || l.rfind("Recv: ", 0) == 0 ||
                          l.rfind("Status: ", 0) == 0;
        }
        EXPECT_EQ(sawUser && sawPass && sawRecv, detailed);
        EXPECT_EQ(sawProtocol, detailed);
    }
}

TEST_P(FTPConnection, ASecondListingComesFromTheCache) {
    FServer->PutFile("a.txt", "a");
    FServer->MakeDir("sub");
    TLiveConnection live(FServer->Port());
    const auto& first = live.Connection->GetDirectoryListItems(true);
    ASSERT_EQ(first.size(), 2u);
    std::size_t sent = live.SentLines();
    auto again = live.Connection->GetDirectoryListItems(true);
    EXPECT_EQ(again, first);
    EXPECT_EQ(live.SentLines(), sent);
    live.Connection->ChangeDir("sub");
    EXPECT_TRUE(live.Connection->GetDirectoryListItems(true).empty());
    EXPECT_GT(live.SentLines(), sent + 1);
}

TEST_P(FTPConnection, RecursiveDeleteGoesDepthFirstAndLeavesLinksAlone) {
    FServer->PutFile("keep.txt", "outside the tree");
    FServer->PutFile("tree/f1.txt", "1");
    FServer->PutFile("tree/sub/f2.txt", "2");
    FServer->PutFile("tree/sub/deeper/f3.txt", "3");
    FServer->PutFile("tree/zlinked/f4.txt", "4");
    fs::create_symlink(FServer->Home() / "keep.txt", FServer->Home() / "tree/zlinked/link.txt");
    TLiveConnection live(FServer->Port());

    std::string error;
    try {
        live.Connection->DeleteDir("tree", true);
    } catch (const std::exception& e) {
        error = e.what();
    }
    std::vector<std::string> status;
    for (const auto& l : live.Lines)
        if (l.rfind("Deleted ", 0) == 0)
            status.push_back(l);
    auto at = [&status](const std::string& line) {
        auto it = std::find(status.begin(), status.end(), line);
        EXPECT_NE(it, status.end()) << line << " missing from " << ::testing::PrintToString(status);
        return it - status.begin();
    };
    // Files before their folder, a folder's subfolders before the folder itself.
    EXPECT_LT(at("Deleted file : f3.txt"), at("Deleted directory : deeper"));
    EXPECT_LT(at("Deleted directory : deeper"), at("Deleted directory : sub"));
    EXPECT_LT(at("Deleted file : f2.txt"), at("Deleted directory : sub"));
    at("Deleted file : f1.txt");
    at("Deleted file : f4.txt");
    EXPECT_FALSE(fs::exists(FServer->Home() / "tree/sub"));
    EXPECT_EQ(ReadTextFile(FServer->Home() / "keep.txt"), "outside the tree");
    if (GetParam() == TFTPServerKind::skProFTPD) {
        // ProFTPD lists the link as a link: it is skipped, so its folder cannot be removed.
        EXPECT_THAT(status, Not(Contains(HasSubstr("link.txt"))));
        EXPECT_TRUE(fs::is_symlink(FServer->Home() / "tree/zlinked/link.txt"));
        EXPECT_THAT(error, HasSubstr("zlinked"));
    } else {
        // pyftpdlib lists a link to a file as a file; deleting it removes the link, never its target.
        EXPECT_EQ(error, "");
        EXPECT_FALSE(fs::exists(FServer->Home() / "tree"));
    }
}

TEST_P(FTPConnection, CheckOfALiveConnectionSkipsItsChildActions) {
    TPackageRun run;
    auto lines = run.Run(R"({"actions":[)" + SiteConnectJson(FServer->Port()) + R"(,
        {"type":"action.ftp.connection.check","properties":{"ConnectionName":"Site"},
         "actions":[{"type":"action.ftp.disconnect","properties":{"ConnectionName":"Site"}}]},
        {"type":"action.ftp.connection.check","properties":{"ConnectionName":"Site","FailIfNotConnected":true}}]})");
    EXPECT_EQ(run.Outcome, TRunOutcome::Succeeded) << ::testing::PrintToString(lines);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "FTP Connection \"Site\" is connected."), 2);
    EXPECT_THAT(lines, Not(Contains("Disconnected")));
}

TEST_P(FTPConnection, UploadsAreThrottledOnlyWhenAskedTo) {
    TTempDir local("quillate-throttle");
    WriteTextFile(local.Path() / "small.txt", "12345");
    TLiveConnection live(FServer->Port());
    live.Connection->UploadFile((local.Path() / "small.txt").string(), "free.txt", 0, -1);
    EXPECT_EQ(live.Connection->LastThrottleBitsPerSecond(), 0u);
    live.Connection->UploadFile((local.Path() / "small.txt").string(), "slow.txt", 10, -1);
    EXPECT_EQ(live.Connection->LastThrottleBitsPerSecond(), 80u);
    EXPECT_EQ(ReadTextFile(FServer->Home() / "slow.txt"), "12345");
    EXPECT_EQ(ReadTextFile(FServer->Home() / "free.txt"), "12345");
}

INSTANTIATE_TEST_SUITE_P(Servers, FTPConnection,
                         ::testing::Values(TFTPServerKind::skPyftpdlib, TFTPServerKind::skProFTPD),
                         [](const auto& info) { return KindName(info.param); });

TEST(FTPConnectionProFTPD, AnUndeletableFileStopsTheRecursiveDelete) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: the server must run as another account than the file's owner";
    TFTPTestServer server(TFTPServerKind::skProFTPD);
    server.Start();
    fs::create_directories(server.Home() / "locked");
    WriteTextFile(server.Home() / "locked/root-owned.txt", "x");
    // The folder stays root's, so the server's account cannot delete what is in it.
    TLiveConnection live(server.Port());
    try {
        live.Connection->DeleteDir("locked", true);
        FAIL() << "the delete went through";
    } catch (const std::exception& e) {
        EXPECT_THAT(e.what(), ::testing::StartsWith("Unable to delete file: "));
        EXPECT_THAT(e.what(), HasSubstr("Permission denied"));
    }
    EXPECT_TRUE(fs::exists(server.Home() / "locked/root-owned.txt"));
}

// A connection object logged in to a line peer.
std::shared_ptr<TFTPConnectObject> ConnectedTo(const TLinePeer& peer) {
    auto connection = std::make_shared<TFTPConnectObject>("Scripted");
    connection->SetHost("127.0.0.1");
    connection->SetPort(peer.Port());
    connection->SetUsername(TFTPTestServer::User);
    connection->SetPassword(TFTPTestServer::Password);
    connection->Connect(5);
    return connection;
}

TEST(FTPConnectionScripted, SafeChangeUpDirChecksThatTheServerMovedAndReusesTheLastAnswer) {
    TLinePeer peer({FTPLogin()
                        .Reply("PWD", "257 \"/a/b\" is current")
                        .Reply("CDUP", "200 ok")
                        .Reply("PWD", "257 \"/a/b/\" is current") // did not move: once more
                        .Reply("CDUP", "200 ok")
                        .Reply("PWD", "257 \"/a\" is current")
                        .Reply("CDUP", "200 ok")
                        .Reply("PWD", "257 \"/\" is current")
                        .Reply("CWD x", "250 ok") // the server may have moved: asked again
                        .Reply("PWD", "257 \"/x\" is current")
                        .Reply("CDUP", "200 ok")
                        .Reply("PWD", "257 \"/\" is current")
                        .Reply("QUIT", "221 bye")});
    auto connection = ConnectedTo(peer);
    EXPECT_EQ(connection->GetRemoteDir(), "/a/b");
    connection->SafeChangeUpDir();
    connection->SafeChangeUpDir();
    connection->ChangeDir("x");
    connection->SafeChangeUpDir();
    connection->Disconnect();
}

TEST(FTPConnectionScripted, SetFileDateReportsARefusalWithItsCodeAndText) {
    TLinePeer peer(
        {FTPLogin().Reply("MDTM 20200102030405 b.txt", "500 Unknown command").Reply("QUIT", "221 bye")});
    auto connection = ConnectedTo(peer);
    std::string message;
    // 1577934245 is 2020-01-02 03:04:05 UTC, the time the client sends.
    EXPECT_FALSE(connection->SetFileDate("b.txt", UnixToDateTime(1577934245), message));
    EXPECT_EQ(message, "Error Code: 500  Message Returned: Unknown command");
    connection->Disconnect();
}

TEST(FTPConnectionScripted, CheckReconnectsASilentlyDroppedConnectionAndRunsItsChildren) {
    EnsurePackageRegistered();
    // The first session's next command finds the connection gone, without a reply.
    TLinePeer peer({FTPLogin().Expect("PWD").Close(), FTPLogin().Reply("QUIT", "221 bye")});
    TPackageRun run;
    auto lines = run.Run(R"({"actions":[)" + SiteConnectJson(peer.Port()) + R"(,
        {"type":"action.ftp.connection.check","properties":{"ConnectionName":"Site"},
         "actions":[{"type":"action.ftp.disconnect","properties":{"ConnectionName":"Site"}}]}]})");
    EXPECT_EQ(run.Outcome, TRunOutcome::Succeeded) << ::testing::PrintToString(lines);
    EXPECT_THAT(lines, Contains("FTP Connection \"Site\" is not connected."));
    EXPECT_THAT(lines, Contains("Reconnecting..."));
    EXPECT_THAT(lines, Contains("Reconnected."));
    EXPECT_THAT(lines, Contains("Disconnected"));
}

} // namespace
