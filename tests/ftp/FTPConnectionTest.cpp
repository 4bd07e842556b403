// The FTP connection object against real servers and the scripted peer: what it adds to the client.
#include "PackageTestSupport.h"
#include "ftp/ZRFTPConnection.h"

#include <fmt/format.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

using namespace quillate;
using namespace quillate::testing;
using namespace zr;

namespace {

// A connection object logged in to the server or peer on port, its messages collected in lines.
std::shared_ptr<TFTPConnectObject> Connected(std::uint16_t port, std::vector<std::string>* lines = nullptr) {
    auto connection = std::make_shared<TFTPConnectObject>("Live");
    TFTPConnectionSettings settings;
    settings.Host = "127.0.0.1";
    settings.Port = port;
    settings.User = TFTPTestServer::User;
    settings.Password = TFTPTestServer::Password;
    connection->Configure(settings);
    if (lines)
        connection->SetOnMessage(
            [lines](const std::string& text, TConnMessageType) { lines->push_back(text); });
    connection->Connect(10);
    return connection;
}

using FTPConnection = TFTPServerActionTest;

TEST_P(FTPConnection, ASecondListingComesFromTheCache) {
    FServer->PutFile("a.txt", "a");
    FServer->MakeDir("sub");
    std::vector<std::string> lines;
    auto connection = Connected(FServer->Port(), &lines);
    const auto& first = connection->GetDirectoryListItems(true);
    ASSERT_EQ(first.size(), 2u);
    std::size_t sent = lines.size();
    EXPECT_EQ(connection->GetDirectoryListItems(true), first);
    EXPECT_EQ(lines.size(), sent) << "nothing sent for the second listing";
    connection->ChangeDir("sub");
    EXPECT_TRUE(connection->GetDirectoryListItems(true).empty());
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
    WriteTextFile(local.Path() / "small.txt", std::string(30, 'x'));
    auto connection = Connected(server.Port());
    for (int maxSpeed : {10, 0}) {
        auto started = std::chrono::steady_clock::now();
        connection->UploadFile((local.Path() / "small.txt").string(), "small.txt", maxSpeed, -1);
        auto took = std::chrono::steady_clock::now() - started;
        EXPECT_EQ(took >= std::chrono::milliseconds(2500), maxSpeed > 0);
        EXPECT_LT(took, std::chrono::seconds(12));
        EXPECT_EQ(ReadTextFile(server.Home() / "small.txt"), std::string(30, 'x'));
    }
}

// A refused date is reported with its code and text; 1577934245 is 2020-01-02 03:04:05 UTC.
TEST(FTPConnectionScripted, ARefusedDateIsReportedWithItsCodeAndText) {
    TLinePeer peer(
        {FTPLogin().Reply("MDTM 20200102030405 b.txt", "500 Unknown command").Reply("QUIT", "221 bye")});
    auto connection = Connected(peer.Port());
    std::string message;
    EXPECT_FALSE(connection->SetFileDate("b.txt", UnixToDateTime(1577934245), message));
    EXPECT_EQ(message, "Error Code: 500  Message Returned: Unknown command");
    connection->Disconnect();
}

} // namespace
