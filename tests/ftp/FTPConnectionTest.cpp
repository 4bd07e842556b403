#include "PackageTestSupport.h"
#include "ftp/ZRFTPObject.h"
#include "support/FTPServerFixture.h"

#include <filesystem>
#include <fmt/format.h>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

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
        Connection->SetOnMessage(
            [this](const std::string& text, TConnMessageType) { Lines.push_back(text); });
        Connection->Connect(10);
    }
    std::size_t SentLines() const {
        return static_cast<std::size_t>(std::count_if(
            Lines.begin(), Lines.end(), [](const std::string& l) { return l.rfind("Sent: ", 0) == 0; }));
    }
};

using FTPConnection = TFTPServerActionTest;

TEST_P(FTPConnection, DetailedLoggingShowsTheMaskedProtocolOnlyWhenAsked) {
    for (bool detailed : {true, false}) {
        TPackageRun run;
        auto lines =
            run.Run(R"({"actions":[)" +
                    SiteConnectJson(FServer->Port(), fmt::format("\"DetailedLogging\":{}", detailed)) + "]}");
        EXPECT_EQ(run.Outcome, TRunOutcome::Succeeded) << ::testing::PrintToString(lines);
        EXPECT_FALSE(run.AnyLineContains(TFTPTestServer::Password));
        std::string peer = fmt::format("127.0.0.1:{} : ", FServer->Port());
        auto protocol = std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
            return l.starts_with("Sent: ") || l.starts_with("Recv: ") || l.starts_with("Status: ");
        });
        EXPECT_EQ(protocol > 0, detailed);
        for (const auto& line :
             {"Sent: " + peer + "USER tester", "Sent: " + peer + "PASS xxx", "Recv: " + peer + "230"})
            EXPECT_EQ(
                std::any_of(lines.begin(), lines.end(), [&](const auto& l) { return l.starts_with(line); }),
                detailed)
                << line;
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

// pyftpdlib's MLSD shows a link as what it points to, ProFTPD's LIST hides dot-files: the folder must go
// on both, and what the links point to must stay.
TEST_P(FTPConnection, RecursiveDeleteRemovesLinksWithoutFollowingThem) {
    FServer->PutFile("keep.txt", "outside the tree");
    FServer->PutFile("kept/inside.txt", "in a linked folder");
    FServer->PutFile("tree/f1.txt", "1");
    FServer->PutFile("tree/.hidden", "dot-file");
    FServer->PutFile("tree/sub/f2.txt", "2");
    FServer->PutFile("tree/sub/deeper/f3.txt", "3");
    // Relative targets resolve alike inside the server's chroot and outside it.
    fs::create_symlink("../keep.txt", FServer->Home() / "tree/file-link");
    fs::create_symlink("../../kept", FServer->Home() / "tree/sub/folder-link");
    fs::create_symlink("gone.txt", FServer->Home() / "tree/dangling-link");
    TLiveConnection live(FServer->Port());

    live.Connection->DeleteDir("tree", true);
    // Files before their folder, a folder's subfolders before the folder itself.
    auto at = [&live](const std::string& line) {
        auto it = std::find(live.Lines.begin(), live.Lines.end(), line);
        EXPECT_NE(it, live.Lines.end()) << line << " missing from " << ::testing::PrintToString(live.Lines);
        return it - live.Lines.begin();
    };
    EXPECT_LT(at("Deleted file : f3.txt"), at("Deleted directory : deeper"));
    EXPECT_LT(at("Deleted directory : deeper"), at("Deleted directory : sub"));
    EXPECT_LT(at("Deleted file : f2.txt"), at("Deleted directory : sub"));
    EXPECT_LT(at("Deleted link : folder-link"), at("Deleted directory : sub"));
    EXPECT_LT(at("Deleted link : dangling-link"), at("Deleted directory : tree"));
    EXPECT_LT(at("Deleted directory : sub"), at("Deleted directory : tree"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(FServer->Home() / "tree")));
    EXPECT_EQ(ReadTextFile(FServer->Home() / "keep.txt"), "outside the tree");
    EXPECT_EQ(ReadTextFile(FServer->Home() / "kept/inside.txt"), "in a linked folder");
}

TEST_P(FTPConnection, CheckOfALiveConnectionSkipsItsChildActions) {
    TPackageRun run;
    auto lines = run.Run(Project(R"(,
        {"type":"action.ftp.connection.check","properties":{"ConnectionName":"Site"},
         "actions":[{"type":"action.ftp.disconnect","properties":{"ConnectionName":"Site"}}]},
        {"type":"action.ftp.connection.check","properties":{"ConnectionName":"Site","FailIfNotConnected":true}})"));
    EXPECT_EQ(run.Outcome, TRunOutcome::Succeeded) << ::testing::PrintToString(lines);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "FTP Connection \"Site\" is connected."), 2);
    EXPECT_THAT(lines, Not(Contains("Disconnected")));
}

INSTANTIATE_TEST_SUITE_P(Servers, FTPConnection, AllFTPServers, ServerName);

// The "tr:tm->when" field of /proc/net/tcp (hexadecimal) for the client's end of the established
// connection to serverPort: the kernel's view of the socket rather than our settings.
std::string ClientSocketTimer(std::uint16_t serverPort) {
    std::ifstream table("/proc/net/tcp");
    const std::string remote = fmt::format("0100007F:{:04X}", serverPort);
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string slot, local, peer, state, queues, timer;
        fields >> slot >> local >> peer >> state >> queues >> timer;
        if (peer == remote && state == "01")
            return timer;
    }
    return "no connection";
}

TEST(FTPConnectKeepAlive, TheSwitchReachesTheControlConnectionOnTheFirstConnect) {
    TFTPTestServer server(TFTPServerKind::skPyftpdlib);
    server.Start();
    EnsurePackageRegistered();
    for (bool enabled : {true, false}) {
        // The project, and with it the connection, stays open while the socket is looked at.
        TProject project = TProject::Parse(
            R"({"actions":[)" +
                SiteConnectJson(server.Port(), fmt::format("\"EnableKeepAlives\":{}", enabled)) + "]}",
            "keepalive.json");
        TPackageRun run;
        run.Run(project);
        ASSERT_EQ(run.Outcome, TRunOutcome::Succeeded);
        std::string timer = ClientSocketTimer(server.Port());
        if (!enabled) {
            EXPECT_EQ(timer.substr(0, 3), "00:") << "no timer runs on an idle connection";
            continue;
        }
        // Timer 2 is the keep-alive timer, due after the 60 s idle time (the kernel's default is two hours),
        // in 1/100 s; the slack covers a slow machine.
        ASSERT_EQ(timer.substr(0, 3), "02:") << timer;
        EXPECT_GT(std::stol(timer.substr(3), nullptr, 16), 3000) << timer;
        EXPECT_LE(std::stol(timer.substr(3), nullptr, 16), 6000) << timer;
    }
}

// 30 bytes at 10 bytes (80 bits) a second take three seconds; the same upload unthrottled afterwards goes
// at once. The bounds leave room for a loaded machine.
TEST(FTPConnectionThrottle, OnlyAThrottledUploadIsPaced) {
    TFTPTestServer server(TFTPServerKind::skPyftpdlib);
    server.Start();
    TTempDir local("quillate-throttle");
    const std::string content(30, 'x');
    WriteTextFile(local.Path() / "small.txt", content);
    TLiveConnection live(server.Port());
    for (auto [maxSpeed, remote] : {std::pair{10, "slow.txt"}, std::pair{0, "free.txt"}}) {
        auto started = std::chrono::steady_clock::now();
        live.Connection->UploadFile((local.Path() / "small.txt").string(), remote, maxSpeed, -1);
        auto took = std::chrono::steady_clock::now() - started;
        if (maxSpeed > 0) {
            EXPECT_GE(took, std::chrono::milliseconds(2500));
            EXPECT_LT(took, std::chrono::seconds(12));
        } else {
            EXPECT_LT(took, std::chrono::milliseconds(2500));
        }
        EXPECT_EQ(ReadTextFile(server.Home() / remote), content);
    }
}

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
