// Exact command sequences and faults no real server produces, played by the line peer; every
// session fails the test when the client sends other commands than the script's. The scripts of the
// tables are data in tests/data/net (line-peer, hostile-peers and logins).
#include "NetTestData.h"
#include "net/FTPClient.h"
#include "net/LogEventIntercept.h"
#include "net/NetErrors.h"
#include "net/TCPConnection.h"
#include "support/FTPServerFixture.h"

#include <chrono>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <map>
#include <sstream>

using namespace zr::net;
using namespace quillate::testing;
using ::testing::_;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Pair;
using Clock = std::chrono::steady_clock;

namespace {

// A script as the data files write it: text steps, and arrays of bytes sent as they are.
TLineScript Script(const json& steps) {
    std::vector<std::string> texts;
    for (const auto& step : steps)
        texts.push_back(step.is_string() ? step.get<std::string>() : "raw " + Text(step));
    return ScriptFromSteps(texts);
}

class LinePeer : public ::testing::TestWithParam<json> {};

TEST_P(LinePeer, ReportsWhatTheClientSentAgainstTheScript) {
    const auto& c = GetParam();
    ::testing::TestPartResultArray failures;
    std::vector<std::string> blocks;
    {
        ::testing::ScopedFakeTestPartResultReporter reporter(
            ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
        TLinePeer peer({Script(c["script"])});
        TTCPConnection client;
        client.Connect("127.0.0.1", peer.Port(), std::chrono::milliseconds(5000));
        client.Write(c["clientSends"].get<std::string>());
        if (!c.value("keepsOpen", false))
            client.Disconnect();
        peer.Finish();
        blocks = peer.Blocks();
    }
    const std::string expected = c["failure"];
    ASSERT_EQ(failures.size(), expected.empty() ? 0 : 1);
    if (!expected.empty()) {
        EXPECT_THAT(failures.GetTestPartResult(0).message(), HasSubstr(expected));
    }
    EXPECT_EQ(blocks, c.value("blocks", std::vector<std::string>{}));
}

INSTANTIATE_TEST_SUITE_P(Data, LinePeer, ::testing::ValuesIn(LoadCases("line-peer.json")), CaseName);

class ScriptedPeerTest : public ::testing::Test {
protected:
    void Start(std::vector<TLineScript> sessions) {
        Peer = std::make_unique<TLinePeer>(std::move(sessions));
        Client.Host = "127.0.0.1";
        Client.Port = Peer->Port();
        Client.Username = TFTPTestServer::User;
        Client.Password = TFTPTestServer::Password;
        Client.ConnectTimeout = std::chrono::milliseconds(5000);
        Client.ReadTimeout = std::chrono::milliseconds(ReadTimeoutMs);
    }
    static constexpr int ReadTimeoutMs = 600;
    std::unique_ptr<TLinePeer> Peer; // outlives the client, so the client's goodbye is checked too
    TFTPClient Client;
};

class HostilePeer : public ScriptedPeerTest, public ::testing::WithParamInterface<json> {};

TEST_P(HostilePeer, FailsWithATypedErrorWithinTheTimeout) {
    Start({Script(GetParam()["script"])});
    auto start = Clock::now();
    std::string fault = FaultOf([&] {
        Client.Connect();
        Client.List();
    });
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_THAT(fault, ::testing::StartsWith(GetParam()["fault"].get<std::string>()));
    EXPECT_LT(seconds, ReadTimeoutMs / 1000.0 + 3.0);
    EXPECT_GE(seconds, fault.starts_with("timeout") ? ReadTimeoutMs / 1000.0 * 0.9 : 0.0);
    EXPECT_EQ(Client.Connected(), GetParam().value("stays", false));
}

INSTANTIATE_TEST_SUITE_P(Data, HostilePeer, ::testing::ValuesIn(LoadCases("hostile-peers.json")), CaseName);

// Whatever address a PASV reply names (none, or another host), the data connection goes to the control
// connection's peer, and a named address is warned of once.
TEST_F(ScriptedPeerTest, PassiveDataConnectionsGoToThePeerAndEPSVIsNotAskedAgain) {
    TLineScript script = FTPLogin().Reply("EPSV", "500 EPSV not understood");
    for (const char* announced : {"0,0,0,0", "127,0,0,2", "127,0,0,2"})
        script.Then(FTPPasv(announced))
            .Reply("NLST", "150 Here it comes")
            .Then(FTPSendData("a.txt\r\nb c.txt\r\n"))
            .Send("226 Done");
    Start({script.Reply("QUIT", "221 Bye")});
    // Where the data connections go shows in their status texts.
    std::vector<std::string> status, warnings;
    Client.OnDataChannelCreate = [&](TTCPConnection& data) {
        data.AddIntercept(std::make_shared<TLogEventIntercept>(
            [&](TLogEventType, std::string_view text) { status.emplace_back(text); }));
    };
    Client.OnWarning = [&](const std::string& text) { warnings.push_back(text); };
    Client.Connect();
    std::vector<std::string> names;
    for (int i = 0; i < 3; ++i) {
        Client.List(names, "", false);
        EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "b c.txt"}));
    }
    Client.Disconnect();
    EXPECT_EQ(std::ranges::count_if(status,
                                    [](const auto& s) { return s.starts_with("Connecting to 127.0.0.1:"); }),
              3);
    EXPECT_THAT(status, ::testing::Not(Contains(HasSubstr("127.0.0.2"))));
    EXPECT_EQ(warnings,
              std::vector<std::string>{"The server named another address [127.0.0.2] for data connections; "
                                       "they go to its own address [127.0.0.1]"});
}

TEST_F(ScriptedPeerTest, ActiveDataConnectionsFromAnotherAddressAreRefused) {
    // The peer connects from 127.0.0.2 first; the client must close that one and take ours.
    Start({FTPLogin()
               .Then(FTPEprt("127.0.0.2"))
               .Reply("STOR up.bin", "150 Send it")
               .Then(FTPReceiveData())
               .Send("226 Stored")
               .Reply("QUIT", "221 Bye")});
    Client.Passive = false;
    Client.Connect();
    std::istringstream source("uploaded bytes");
    Client.Put(source, "up.bin");
    Client.Disconnect();
    Peer->Finish();
    EXPECT_EQ(Peer->Blocks(), std::vector<std::string>{"uploaded bytes"});
}

class Login : public ScriptedPeerTest, public ::testing::WithParamInterface<json> {};

TEST_P(Login, SendsTheExactCommandsAndLogsNoPassword) {
    using enum TFTPProxyType;
    static const std::map<std::string, TFTPProxyType> proxies{{"fpcmUserSite", fpcmUserSite},
                                                              {"fpcmSite", fpcmSite},
                                                              {"fpcmOpen", fpcmOpen},
                                                              {"fpcmUserPass", fpcmUserPass},
                                                              {"fpcmTransparent", fpcmTransparent}};
    Start({Script(GetParam()["script"])});
    std::vector<std::pair<TLogEventType, std::string>> log;
    Client.ControlConnection().AddIntercept(std::make_shared<TLogEventIntercept>(
        [&](TLogEventType type, std::string_view text) { log.emplace_back(type, std::string(text)); }));
    if (GetParam().contains("proxy")) {
        // The server behind the proxy is never resolved by the client.
        Client.Host = "ftp.example.org";
        Client.Port = 21;
        Client.ProxySettings = {proxies.at(GetParam()["proxy"]), "127.0.0.1", Peer->Port(), "fwuser",
                                "fwpass"};
    }
    Client.UseHOST = GetParam().value("useHost", false);
    Client.Connect();
    EXPECT_TRUE(Client.IsExtSupported("SIZE"));
    Client.Disconnect();
    EXPECT_THAT(log, Contains(Pair(TLogEventType::Sent, "PASS ***")));
    EXPECT_THAT(log, Contains(Pair(TLogEventType::Received, "211-Features:")));
    EXPECT_THAT(log, Contains(Pair(TLogEventType::Status, _)));
    for (const char* password : {"secret", "fwpass"})
        EXPECT_THAT(log, ::testing::Not(Contains(Pair(_, HasSubstr(password)))));
}

INSTANTIATE_TEST_SUITE_P(Data, Login, ::testing::ValuesIn(LoadCases("logins.json")), CaseName);

} // namespace
