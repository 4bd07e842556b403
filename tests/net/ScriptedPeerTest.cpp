// Exact command sequences and faults no real server produces, played by the scripted peer.
#include "support/FTPServerFixture.h"
#include "net/FTPClient.h"
#include "net/LogEventIntercept.h"
#include "net/NetErrors.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>

using namespace zr::net;
using namespace quillate::testing;
using Clock = std::chrono::steady_clock;

namespace {

std::string Quote(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
            continue;
        }
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

class TScript {
public:
    TScript& Send(const std::string& line) { return Add("send", Quote(line)); }
    TScript& Expect(const std::string& line) { return Add("expect", Quote(line)); }
    TScript& Reply(const std::string& command, const std::string& reply) { return Expect(command).Send(reply); }
    TScript& Raw(const std::string& text) { return Add("raw", Quote(text)); }
    TScript& Flood(std::size_t bytes) { return Add("flood", std::to_string(bytes)); }
    TScript& Lines(const std::string& line, int count) {
        FSteps.push_back("{\"lines\": " + Quote(line) + ", \"count\": " + std::to_string(count) + "}");
        return *this;
    }
    TScript& Pasv(const std::string& address) { return Add("pasv", Quote(address)); }
    TScript& Data(const std::string& text) { return Add("data", Quote(text)); }
    TScript& Hang() { return Add("hang", "true"); }
    TScript& Close() { return Add("close", "true"); }
    // Greeting, a FEAT without extras, USER, PASS and TYPE I.
    TScript& Login(const std::vector<std::string>& features = {}) {
        Send("220 scripted peer");
        Expect("FEAT").Send("211-Features:");
        for (const auto& f : features)
            Send(" " + f);
        Send("211 End");
        Reply("USER bob", "331 Password required");
        Reply("PASS pw", "230 Logged in");
        if (std::find(features.begin(), features.end(), "UTF8") != features.end())
            Reply("OPTS UTF8 ON", "200 OK");
        return Reply("TYPE I", "200 Type set");
    }
    std::string Json() const {
        std::string out = "[";
        for (std::size_t i = 0; i < FSteps.size(); ++i)
            out += (i ? ",\n" : "\n") + FSteps[i];
        return out + "\n]";
    }

private:
    TScript& Add(const std::string& key, const std::string& value) {
        FSteps.push_back("{\"" + key + "\": " + value + "}");
        return *this;
    }
    std::vector<std::string> FSteps;
};

class ScriptedPeerTest : public ::testing::Test {
protected:
    void Start(const TScript& script) {
        Peer = std::make_unique<TScriptedPeer>(script.Json());
        Client.Host = "127.0.0.1";
        Client.Port = Peer->Port();
        Client.Username = "bob";
        Client.Password = "pw";
        Client.ConnectTimeout = std::chrono::milliseconds(2000);
        Client.ReadTimeout = std::chrono::milliseconds(ReadTimeoutMs);
    }
    static constexpr int ReadTimeoutMs = 600;
    std::unique_ptr<TScriptedPeer> Peer;
    TFTPClient Client;
};

enum class TFault { fProtocol, fTimeout, fClosed, fReply };

struct THostileCase {
    const char* Name;
    std::function<void(TScript&)> Script;
    TFault Fault;
};

class HostileGreeting : public ScriptedPeerTest, public ::testing::WithParamInterface<THostileCase> {};

TEST_P(HostileGreeting, FailsWithATypedErrorWithinTheTimeout) {
    TScript script;
    GetParam().Script(script);
    Start(script);
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
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), ReadTimeoutMs / 1000.0 + 1.5);
    EXPECT_FALSE(Client.Connected());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, HostileGreeting,
    ::testing::Values(
        THostileCase{"unterminated_huge_line", [](TScript& s) { s.Flood(4 * 1024 * 1024).Hang(); },
                     TFault::fProtocol},
        THostileCase{"garbage_reply_code", [](TScript& s) { s.Send("HTTP/1.1 400 Bad Request").Hang(); },
                     TFault::fProtocol},
        THostileCase{"binary_junk", [](TScript& s) { s.Send("\x01\x02\x03\x7f").Hang(); }, TFault::fProtocol},
        THostileCase{"endless_multi_line", [](TScript& s) { s.Send("220-welcome").Lines(" more", 200000).Hang(); },
                     TFault::fProtocol},
        THostileCase{"unfinished_multi_line", [](TScript& s) { s.Send("220-welcome").Send(" more").Hang(); },
                     TFault::fTimeout},
        THostileCase{"silent", [](TScript& s) { s.Hang(); }, TFault::fTimeout},
        THostileCase{"half_a_line", [](TScript& s) { s.Raw("220 no line end").Hang(); }, TFault::fTimeout},
        THostileCase{"closes_at_once", [](TScript& s) { s.Close(); }, TFault::fClosed},
        THostileCase{"busy", [](TScript& s) { s.Send("421 Too many connections").Close(); }, TFault::fReply},
        THostileCase{"login_then_garbage",
                     [](TScript& s) {
                         s.Send("220 ok").Expect("FEAT").Send("211 none").Expect("USER bob").Send("33");
                     },
                     TFault::fProtocol}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(ScriptedPeerTest, ReadTimeoutDuringACommandDropsTheConnection) {
    Start(TScript().Login().Expect("NOOP").Hang());
    Client.Connect();
    auto start = Clock::now();
    EXPECT_THROW(Client.Noop(), EReadTimeout);
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GE(elapsed, ReadTimeoutMs / 1000.0 * 0.9);
    EXPECT_LT(elapsed, ReadTimeoutMs / 1000.0 + 1.0);
    EXPECT_FALSE(Client.Connected());
    EXPECT_THROW(Client.Noop(), ENotConnected);
}

TEST_F(ScriptedPeerTest, UnspecifiedPassiveAddressIsReplacedByThePeer) {
    Start(TScript()
              .Login()
              .Reply("EPSV", "500 EPSV not understood")
              .Expect("PASV")
              .Pasv("0,0,0,0")
              .Reply("NLST", "150 Here it comes")
              .Data("a.txt\r\nb c.txt\r\n")
              .Send("226 Done")
              .Expect("PASV")
              .Pasv("0,0,0,0")
              .Reply("NLST sub", "150 Here it comes")
              .Data("d\r\n")
              .Send("226 Done")
              .Reply("QUIT", "221 Bye"));
    Client.Connect();
    std::vector<std::string> names;
    Client.List(names, "", false);
    EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "b c.txt"}));
    Client.List(names, "sub", false);
    EXPECT_EQ(names, std::vector<std::string>{"d"});
    Client.Disconnect();
    // EPSV is not asked again once the server refused it.
    EXPECT_EQ(Peer->Transcript(), "FEAT\nUSER bob\nPASS pw\nTYPE I\nEPSV\nPASV\nNLST\nPASV\nNLST sub\nQUIT\n");
}

TEST_F(ScriptedPeerTest, UnreachablePassiveAddressFailsCleanly) {
    // 127.0.0.2 is loopback but nothing listens there: the connect is refused at once.
    Start(TScript().Login().Reply("EPSV", "502 No").Expect("PASV").Pasv("127,0,0,2").Hang());
    Client.Connect();
    try {
        Client.List();
        FAIL() << "listing through an unreachable data address succeeded";
    } catch (const ESocketError& e) {
        EXPECT_NE(std::string(e.what()).find("Connecting to 127.0.0.2:"), std::string::npos) << e.what();
    }
}

TEST_F(ScriptedPeerTest, HostAndUtf8AreSentWhenOfferedAndThePasswordIsOneChunk) {
    Start(TScript()
              .Send("220 scripted peer")
              .Expect("FEAT")
              .Send("211-Features:")
              .Send(" HOST")
              .Send(" UTF8")
              .Send("211 End")
              .Reply("HOST 127.0.0.1", "220 Host accepted")
              .Reply("USER bob", "331 Password required")
              .Reply("PASS pw", "230 Logged in")
              .Reply("OPTS UTF8 ON", "200 Always in UTF8 mode")
              .Reply("TYPE I", "200 Type set")
              .Reply("QUIT", "221 Bye"));
    std::vector<std::pair<TLogEventType, std::string>> log;
    auto intercept = std::make_shared<TLogEventIntercept>(
        [&](TLogEventType type, std::string_view text) { log.emplace_back(type, std::string(text)); });
    Client.ControlConnection().AddIntercept(intercept);
    Client.UseHOST = true;
    Client.Connect();
    Client.Disconnect();
    EXPECT_EQ(Peer->Transcript(), "FEAT\nHOST 127.0.0.1\nUSER bob\nPASS pw\nOPTS UTF8 ON\nTYPE I\nQUIT\n");
    std::vector<std::string> sent;
    bool sawStatus = false, sawReceived = false;
    for (const auto& [type, text] : log) {
        if (type == TLogEventType::Sent)
            sent.push_back(text);
        sawStatus = sawStatus || type == TLogEventType::Status;
        sawReceived = sawReceived || (type == TLogEventType::Received && text.find("211-Features") != std::string::npos);
    }
    EXPECT_NE(std::find(sent.begin(), sent.end(), "PASS pw\r\n"), sent.end());
    EXPECT_NE(std::find(sent.begin(), sent.end(), "USER bob\r\n"), sent.end());
    EXPECT_TRUE(sawStatus);
    EXPECT_TRUE(sawReceived);
}

struct TProxyCase {
    const char* Name;
    TFTPProxyType Type;
    std::vector<std::pair<std::string, std::string>> Login; // command, reply
};

class ProxyLogin : public ScriptedPeerTest, public ::testing::WithParamInterface<TProxyCase> {};

TEST_P(ProxyLogin, SendsTheProxysCommandSequence) {
    TScript script;
    script.Send("220 proxy ready");
    std::string expected;
    for (const auto& [command, reply] : GetParam().Login) {
        script.Reply(command, reply);
        expected += command + "\n";
    }
    script.Expect("FEAT").Send("211-Features:").Send(" SIZE").Send("211 End").Reply("TYPE I", "200 OK");
    script.Reply("QUIT", "221 Bye");
    Start(script);
    // The peer plays the proxy; the server behind it is never resolved by the client.
    Client.Host = "ftp.example.org";
    Client.Port = 21;
    Client.ProxySettings.ProxyType = GetParam().Type;
    Client.ProxySettings.Host = "127.0.0.1";
    Client.ProxySettings.Port = Peer->Port();
    Client.ProxySettings.UserName = "fwuser";
    Client.ProxySettings.Password = "fwpass";
    Client.Connect();
    EXPECT_TRUE(Client.IsExtSupported("SIZE"));
    Client.Disconnect();
    EXPECT_EQ(Peer->Transcript(), expected + "FEAT\nTYPE I\nQUIT\n");
}

INSTANTIATE_TEST_SUITE_P(
    Types, ProxyLogin,
    ::testing::Values(
        TProxyCase{"user_site", TFTPProxyType::fpcmUserSite,
                   {{"USER bob@ftp.example.org", "331 Password"}, {"PASS pw", "230 OK"}}},
        TProxyCase{"site", TFTPProxyType::fpcmSite,
                   {{"USER fwuser", "331 Password"},
                    {"PASS fwpass", "230 Proxy login OK"},
                    {"SITE ftp.example.org", "220 Connected"},
                    {"USER bob", "331 Password"},
                    {"PASS pw", "230 OK"}}},
        TProxyCase{"open", TFTPProxyType::fpcmOpen,
                   {{"USER fwuser", "331 Password"},
                    {"PASS fwpass", "230 Proxy login OK"},
                    {"OPEN ftp.example.org", "220 Connected"},
                    {"USER bob", "331 Password"},
                    {"PASS pw", "230 OK"}}},
        TProxyCase{"user_pass", TFTPProxyType::fpcmUserPass,
                   {{"USER bob@fwuser@ftp.example.org", "331 Password"}, {"PASS pw@fwpass", "230 OK"}}},
        TProxyCase{"transparent", TFTPProxyType::fpcmTransparent,
                   {{"USER fwuser", "331 Password"},
                    {"PASS fwpass", "230 Proxy login OK"},
                    {"USER bob", "331 Password"},
                    {"PASS pw", "230 OK"}}}),
    [](const auto& info) { return std::string(info.param.Name); });

} // namespace
