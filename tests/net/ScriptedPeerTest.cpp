// Exact command sequences and faults no real server produces, played by the line peer; every
// session fails the test when the client sends other commands than the script's.
#include "net/FTPClient.h"
#include "net/LogEventIntercept.h"
#include "net/NetErrors.h"
#include "net/TCPConnection.h"
#include "support/FTPServerFixture.h"

#include <gmock/gmock.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <sstream>

using namespace zr::net;
using namespace quillate::testing;
using Clock = std::chrono::steady_clock;

namespace {

// The peer's own contract, with a bare connection as the client: what it accepts and what it reports.
struct TPeerCase {
    const char* Name;
    TLineScript Script;
    const char* ClientSends;
    const char* Failure; // the one failure expected; empty: none
    bool KeepsOpen = false;
    std::vector<std::string> Blocks = {};
};

class LinePeer : public ::testing::TestWithParam<TPeerCase> {};

TEST_P(LinePeer, ReportsWhatTheClientSentAgainstTheScript) {
    ::testing::TestPartResultArray failures;
    std::vector<std::string> blocks;
    {
        ::testing::ScopedFakeTestPartResultReporter reporter(
            ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
        TLinePeer peer({GetParam().Script});
        TTCPConnection client;
        client.Connect("127.0.0.1", peer.Port(), std::chrono::milliseconds(5000));
        client.Write(GetParam().ClientSends);
        if (!GetParam().KeepsOpen)
            client.Disconnect();
        peer.Finish();
        blocks = peer.Blocks();
    }
    std::string expected = GetParam().Failure;
    ASSERT_EQ(failures.size(), expected.empty() ? 0 : 1);
    if (!expected.empty()) {
        EXPECT_THAT(failures.GetTestPartResult(0).message(), ::testing::HasSubstr(expected));
    }
    EXPECT_EQ(blocks, GetParam().Blocks);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LinePeer,
    ::testing::Values(
        TPeerCase{"wrong_command", TLineScript().Expect("NOOP"), "QUIT\r\n",
                  "session 1: expected \"NOOP\", received \"QUIT\""},
        TPeerCase{"missing_command", TLineScript().Expect("NOOP").Expect("QUIT"), "NOOP\r\n",
                  "expected \"QUIT\", but the client closed the connection"},
        TPeerCase{"extra_command", TLineScript().Expect("NOOP"), "NOOP\r\nQUIT\r\n",
                  "expected the end of the session, received \"QUIT\""},
        TPeerCase{"bare_line_feed", TLineScript().Expect("NOOP"), "NOOP\n",
                  "expected a line ended by CR LF, received \"NOOP?\""},
        TPeerCase{"pattern_mismatch", TLineScript().ExpectLike("EPRT |1|*|"), "EPRT |2|::1|5000|\r\n",
                  "expected a line like \"EPRT |1|*|\", received \"EPRT |2|::1|5000|\""},
        TPeerCase{"silent", TLineScript().Expect("NOOP"), "", "expected \"NOOP\", but the client sent nothing", true},
        TPeerCase{"pattern_and_block", TLineScript().ExpectLike("DATA*").ReadBlock(),
                  "DATA 1\r\nSubject: x\r\n\r\n..dot\r\n.\r\n", "", false, {"Subject: x\r\n\r\n.dot\r\n"}}),
    [](const auto& info) { return std::string(info.param.Name); });

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

enum class TFault { fProtocol, fTimeout, fClosed, fReply };

struct THostileCase {
    const char* Name;
    TLineScript Script;
    TFault Fault;
};

class HostileGreeting : public ScriptedPeerTest, public ::testing::WithParamInterface<THostileCase> {};

TEST_P(HostileGreeting, FailsWithATypedErrorWithinTheTimeout) {
    Start({GetParam().Script});
    auto start = Clock::now();
    try {
        Client.Connect();
        FAIL() << "connected to a hostile peer";
    } catch (const EProtocolError& e) {
        EXPECT_EQ(GetParam().Fault, TFault::fProtocol) << e.what();
    } catch (const EReadTimeout& e) {
        EXPECT_EQ(GetParam().Fault, TFault::fTimeout) << e.what();
    } catch (const EConnClosedGracefully& e) {
        EXPECT_EQ(GetParam().Fault, TFault::fClosed) << e.what();
    } catch (const EReplyError& e) {
        EXPECT_EQ(GetParam().Fault, TFault::fReply) << e.what();
        EXPECT_EQ(e.Code(), 421);
    }
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), ReadTimeoutMs / 1000.0 + 3.0);
    EXPECT_FALSE(Client.Connected());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, HostileGreeting,
    ::testing::Values(
        THostileCase{"unterminated_huge_line", TLineScript().Raw(std::string(4 << 20, 'A')).Hang(),
                     TFault::fProtocol},
        THostileCase{"garbage_reply_code", TLineScript().Send("HTTP/1.1 400 Bad Request").Hang(),
                     TFault::fProtocol},
        THostileCase{"binary_junk", TLineScript().Send("\x01\x02\x03\x7f").Hang(), TFault::fProtocol},
        THostileCase{"endless_multi_line", TLineScript().Send("220-welcome").Send(" more", 200000).Hang(),
                     TFault::fProtocol},
        THostileCase{"unfinished_multi_line", TLineScript().Send("220-welcome").Send(" more").Hang(),
                     TFault::fTimeout},
        THostileCase{"silent", TLineScript().Hang(), TFault::fTimeout},
        THostileCase{"half_a_line", TLineScript().Raw("220 no line end").Hang(), TFault::fTimeout},
        THostileCase{"closes_at_once", TLineScript().Close(), TFault::fClosed},
        THostileCase{"busy", TLineScript().Send("421 Too many connections").Close(), TFault::fReply},
        THostileCase{
            "login_then_garbage",
            TLineScript().Send("220 ok").Reply("FEAT", "211 none").Expect("USER tester").Send("33").Hang(),
            TFault::fProtocol}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(ScriptedPeerTest, ReadTimeoutDuringACommandDropsTheConnection) {
    Start({FTPLogin().Expect("NOOP").Hang()});
    Client.Connect();
    auto start = Clock::now();
    EXPECT_THROW(Client.Noop(), EReadTimeout);
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GE(elapsed, ReadTimeoutMs / 1000.0 * 0.9);
    EXPECT_LT(elapsed, ReadTimeoutMs / 1000.0 + 3.0);
    EXPECT_FALSE(Client.Connected());
    EXPECT_THROW(Client.Noop(), ENotConnected);
}

TEST_F(ScriptedPeerTest, UnspecifiedPassiveAddressIsReplacedByThePeerAndEPSVIsNotAskedAgain) {
    Start({FTPLogin()
               .Reply("EPSV", "500 EPSV not understood")
               .Then(FTPPasv("0,0,0,0"))
               .Reply("NLST", "150 Here it comes")
               .Then(FTPSendData("a.txt\r\nb c.txt\r\n"))
               .Send("226 Done")
               .Then(FTPPasv("0,0,0,0"))
               .Reply("NLST sub", "150 Here it comes")
               .Then(FTPSendData("d\r\n"))
               .Send("226 Done")
               .Reply("QUIT", "221 Bye")});
    Client.Connect();
    std::vector<std::string> names;
    Client.List(names, "", false);
    EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "b c.txt"}));
    Client.List(names, "sub", false);
    EXPECT_EQ(names, std::vector<std::string>{"d"});
    Client.Disconnect();
}

TEST_F(ScriptedPeerTest, UnreachablePassiveAddressFailsCleanly) {
    // 127.0.0.2 is loopback but the peer listens on 127.0.0.1 only: the connect is refused at once.
    Start({FTPLogin().Reply("EPSV", "502 No").Then(FTPPasv("127,0,0,2")).Hang()});
    Client.Connect();
    try {
        Client.List();
        FAIL() << "listing through an unreachable data address succeeded";
    } catch (const ESocketError& e) {
        EXPECT_NE(std::string(e.what()).find("Connecting to 127.0.0.2:"), std::string::npos) << e.what();
    }
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

TEST_F(ScriptedPeerTest, HostAndUtf8AreSentWhenOfferedAndThePasswordIsMaskedInTheLog) {
    Start({FTPLogin({.Features = {"HOST", "UTF8"}, .Host = "127.0.0.1"}).Reply("QUIT", "221 Bye")});
    std::vector<std::pair<TLogEventType, std::string>> log;
    auto intercept = std::make_shared<TLogEventIntercept>(
        [&](TLogEventType type, std::string_view text) { log.emplace_back(type, std::string(text)); });
    Client.ControlConnection().AddIntercept(intercept);
    Client.UseHOST = true;
    Client.Connect();
    Client.Disconnect();
    auto logged = [&log](TLogEventType type, const std::string& text) {
        return std::any_of(log.begin(), log.end(), [&](const auto& e) {
            return e.first == type && e.second.find(text) != std::string::npos;
        });
    };
    EXPECT_TRUE(logged(TLogEventType::Sent, "PASS ***"));
    EXPECT_FALSE(logged(TLogEventType::Sent, "secret"));
    EXPECT_TRUE(logged(TLogEventType::Received, "211-Features"));
    EXPECT_TRUE(logged(TLogEventType::Status, ""));
}

struct TProxyCase {
    const char* Name;
    TFTPProxyType Type;
    std::vector<std::string> Login; // commands to the proxy, each answered by its kind (USER, PASS, other)
};

class ProxyLogin : public ScriptedPeerTest, public ::testing::WithParamInterface<TProxyCase> {};

TEST_P(ProxyLogin, SendsTheProxysCommandSequence) {
    TLineScript script;
    script.Send("220 proxy ready");
    for (const auto& command : GetParam().Login)
        script.Reply(command, command.starts_with("USER ")   ? "331 Password"
                              : command.starts_with("PASS ") ? "230 OK"
                                                             : "220 Connected");
    Start({script.Expect("FEAT")
               .Send("211-Features:")
               .Send(" SIZE")
               .Send("211 End")
               .Reply("TYPE I", "200 OK")
               .Reply("QUIT", "221 Bye")});
    // The peer plays the proxy; the server behind it is never resolved by the client.
    Client.Host = "ftp.example.org";
    Client.Port = 21;
    Client.ProxySettings = {GetParam().Type, "127.0.0.1", Peer->Port(), "fwuser", "fwpass"};
    Client.Connect();
    EXPECT_TRUE(Client.IsExtSupported("SIZE"));
    Client.Disconnect();
}

INSTANTIATE_TEST_SUITE_P(
    Types, ProxyLogin,
    ::testing::Values(
        TProxyCase{"user_site", TFTPProxyType::fpcmUserSite, {"USER tester@ftp.example.org", "PASS secret"}},
        TProxyCase{"site",
                   TFTPProxyType::fpcmSite,
                   {"USER fwuser", "PASS fwpass", "SITE ftp.example.org", "USER tester", "PASS secret"}},
        TProxyCase{"open",
                   TFTPProxyType::fpcmOpen,
                   {"USER fwuser", "PASS fwpass", "OPEN ftp.example.org", "USER tester", "PASS secret"}},
        TProxyCase{"user_pass",
                   TFTPProxyType::fpcmUserPass,
                   {"USER tester@fwuser@ftp.example.org", "PASS secret@fwpass"}},
        TProxyCase{"transparent",
                   TFTPProxyType::fpcmTransparent,
                   {"USER fwuser", "PASS fwpass", "USER tester", "PASS secret"}}),
    [](const auto& info) { return std::string(info.param.Name); });

} // namespace
