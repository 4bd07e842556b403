// The mail clients: SMTP against aiosmtpd (a stop part-way, a big attachment), POP3 against Dovecot
// (pop3.json), and peers for what a real server does not show (the hostile-peers tables). Every TLS
// mode and login, and posts to real news servers, are the mail actions' cases (tests/data/mail).
#include "MimeParse.h"
#include "NetTestData.h"
#include "net/LogEventIntercept.h"
#include "net/MimeMessage.h"
#include "net/NNTPClient.h"
#include "net/NetErrors.h"
#include "net/POP3Client.h"
#include "net/SMTPClient.h"
#include "support/FTPServerFixture.h"
#include "support/POP3ServerFixture.h"
#include "support/SMTPServerFixture.h"

#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>

using namespace zr::net;
using namespace quillate::testing;
using namespace std::chrono_literals;

namespace {

TUseTLS TLSMode(const std::string& name) {
    return name == "implicit"   ? TUseTLS::utUseImplicitTLS
           : name == "explicit" ? TUseTLS::utUseExplicitTLS
           : name == "require"  ? TUseTLS::utUseRequireTLS
                                : TUseTLS::utNoTLSSupport;
}

// Lines that begin with dots, a lone "." that must not end the message, and a last line without
// its end; long enough to go out in several chunks.
std::string Body() {
    std::string body = "Subject: test\r\n\r\n.leading dot\n..two dots\r\n.\n";
    for (int i = 0; i < 20000; ++i)
        body += ".line " + std::to_string(i) + "\r\n";
    return body + "last line";
}

std::string OnTheWire(const std::string& body) {
    return ReplaceAll(ReplaceAll(body, "\r\n", "\n"), "\n", "\r\n") + "\r\n";
}

class SMTPServer : public ::testing::Test {
protected:
    static void SetUpTestSuite() { (Server = std::make_unique<TSMTPTestServer>())->Start(); }
    static void TearDownTestSuite() { Server.reset(); }
    SMTPServer() { AimAt(Client, Server->Port(), 20s, 20s); }
    static inline std::unique_ptr<TSMTPTestServer> Server;
    TSMTPClient Client;
};

// TLS modes, logins and refusals are the e-mail action's cases (tests/data/mail/send.json).
TEST_F(SMTPServer, AbortFromAnotherThreadEndsTheMessageUnsentAndTheNextArrivesIntact) {
    const std::string body = Body();
    std::size_t before = Server->Messages().size();
    std::istringstream source(body);
    Client.OnWork = [&](std::int64_t) { std::thread([&] { Client.Abort(); }).join(); };
    Client.Connect();
    EXPECT_THROW(Client.Send("a@example.org", {"b@example.org"}, source), EOperationAborted);
    EXPECT_FALSE(Client.Connected());

    std::vector<std::int64_t> progress;
    Client.OnWork = [&](std::int64_t sent) { progress.push_back(sent); };
    std::istringstream again(body);
    Client.Connect();
    Client.Send("a@example.org", {"b@example.org", "c@example.org"}, again);
    Client.Disconnect();
    auto messages = Server->Messages();
    ASSERT_EQ(messages.size(), before + 1);
    EXPECT_EQ(messages.back().From, "a@example.org");
    EXPECT_EQ(messages.back().To, (std::vector<std::string>{"b@example.org", "c@example.org"}));
    EXPECT_TRUE(messages.back().Content == OnTheWire(body)) << "the message arrived changed";
    ASSERT_GT(progress.size(), 1u);
    EXPECT_EQ(progress.back(), static_cast<std::int64_t>(body.size()));
}

// The peak resident size since the last reset, in KiB.
long PeakKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmHWM:"))
            return std::stol(line.substr(6));
    return -1;
}

TEST_F(SMTPServer, AComposedMessageStreamsItsAttachmentWithBoundedMemory) {
    const std::string file = RandomBytes(3 * 1024 * 1024 + 17, 3);
    TTempDir dir("quillate-mime");
    std::ofstream(dir.Path() / "big.bin", std::ios::binary) << file;
    TMimeMessage message;
    message.From = {"Sender", "from@example.org"};
    message.To = {{"Empfänger", "to@example.org"}};
    message.Body = "attached";
    message.Attachments = {{(dir.Path() / "big.bin").string(), "big.bin", "", ""}};
    std::vector<std::int64_t> progress;
    Client.OnWork = [&](std::int64_t sent) { progress.push_back(sent); };
    Client.Connect();
    std::ofstream("/proc/self/clear_refs") << "5";
    long before = PeakKiB();
    Client.Send(
        "from@example.org", {"to@example.org"}, [&](auto& write) { message.Write(write); }, file.size());
    long growth = PeakKiB() - before;
    Client.Disconnect();

    EXPECT_LT(growth, 2048) << "KiB; the base64 form alone is 4 MiB";
    ASSERT_FALSE(progress.empty());
    EXPECT_LT(progress.size(), static_cast<std::size_t>(progress.back() / 60000 + 2))
        << "one report per block";
    TParsedMessage parsed = ParseMessage(Server->Messages().back().Content);
    ASSERT_TRUE(parsed);
    GMimeObject* tree = g_mime_message_get_mime_part(parsed.get());
    ASSERT_EQ(Shape(tree),
              "multipart/mixed[text/plain;us-ascii,application/octet-stream attachment <big.bin> big.bin]");
    EXPECT_TRUE(Content(g_mime_multipart_get_part(GMIME_MULTIPART(tree), 1)) == file)
        << "the attachment arrived changed";
}

// Plays the case's script to a client of the given kind, which connects and sends through session,
// and checks the fault it ends with and whether it is still connected.
template <class TClient, class F> void PlayHostilePeer(const json& c, F&& session) {
    TLinePeer peer({Script(c["script"])});
    TClient client;
    AimAt(client, peer.Port(), 5s);
    std::string fault = FaultOf([&] { session(client); });
    const json expected = c["fault"].is_array() ? c["fault"] : json::array({c["fault"]});
    EXPECT_TRUE(std::any_of(expected.begin(), expected.end(), [&](const json& start) {
        return fault.starts_with(
            ReplaceAll(start.get<std::string>(), "${port}", std::to_string(peer.Port())));
    })) << fault;
    EXPECT_EQ(client.Connected(), c.value("stays", false));
    client.Disconnect();
}

class SMTPHostilePeer : public ::testing::TestWithParam<json> {};

TEST_P(SMTPHostilePeer, EndsWithTheExpectedFault) {
    const auto& c = GetParam();
    PlayHostilePeer<TSMTPClient>(c, [&](TSMTPClient& client) {
        std::istringstream source("Hi\r\n");
        client.Connect();
        client.Send(c.value("from", "a@example.org"), {c.value("to", "b@example.org")}, source);
    });
}

INSTANTIATE_TEST_SUITE_P(Data, SMTPHostilePeer, ::testing::ValuesIn(LoadCases("smtp-hostile-peers.json")),
                         CaseName);

class POP3Login : public ::testing::TestWithParam<json> {
protected:
    static void SetUpTestSuite() { (Server = std::make_unique<TPOP3TestServer>())->Start(); }
    static void TearDownTestSuite() { Server.reset(); }
    static inline std::unique_ptr<TPOP3TestServer> Server;
};

TEST_P(POP3Login, LogsInAndCountsTheMailboxOrFailsAsExpected) {
    const auto& c = GetParam();
    TScopedEnvironment certificates("SSL_CERT_FILE",
                                    (std::string(QUILLATE_TEST_DATA_DIR) + "/net/tls/ca.pem").c_str());
    TPOP3Client client;
    AimAt(client, c["port"] == "tls" ? Server->TLSPort() : Server->Port(), 20s, 20s);
    client.UseTLS = TLSMode(c["tls"]);
    client.Username = TPOP3TestServer::User;
    client.Password = c.value("password", std::string(TPOP3TestServer::Password));
    std::string log;
    client.Connection().AddIntercept(std::make_shared<TLogEventIntercept>(
        [&](TLogEventType, std::string_view text) { log += std::string(text) + "\n"; }));

    TMailboxStatus status;
    std::string fault = FaultOf([&] {
        client.Connect();
        status = client.Stat();
    });
    bool tlsActive = client.TLSActive();
    client.Disconnect();

    EXPECT_THAT(log, ::testing::Not(::testing::HasSubstr(TPOP3TestServer::Password)));
    if (c.contains("fault")) {
        EXPECT_THAT(fault, ::testing::StartsWith(c["fault"].get<std::string>()));
        return;
    }
    ASSERT_EQ(fault, "none") << Server->Output();
    EXPECT_EQ(tlsActive, c["tlsActive"].get<bool>());
    EXPECT_EQ(status.Count, 1);
    EXPECT_EQ(status.Size, static_cast<std::int64_t>(std::string(TPOP3TestServer::Message).size()));
}

INSTANTIATE_TEST_SUITE_P(Data, POP3Login, ::testing::ValuesIn(LoadCases("pop3.json")), CaseName);

// A capability list that never ends is cut off at the block bound, and its log at the received-lines bound,
// instead of reading (and logging) for ever.
TEST(POP3HostilePeer, AnEndlessCapabilityListIsCutOffAndItsLogBounded) {
    const json endless =
        json::array({json::array({" X-CAPABILITY-0123456789abcdef0123456789abcdef\r\n", 200000})});
    TLinePeer peer(
        {ScriptFromSteps({"< +OK hi", "> CAPA", "< +OK list follows", "raw " + Text(endless), "hang"})});
    TPOP3Client client;
    AimAt(client, peer.Port(), 5s);
    client.UseTLS = TUseTLS::utUseExplicitTLS;
    std::vector<std::string> logged;
    client.Connection().AddIntercept(std::make_shared<TLogEventIntercept>(
        [&](TLogEventType, std::string_view text) { logged.emplace_back(text); }));
    EXPECT_THAT(FaultOf([&] { client.Connect(); }), ::testing::StartsWith("protocol"));
    EXPECT_LE(logged.size(), TLogEventIntercept::DefaultMaxReceivedLines + 10);
    EXPECT_THAT(logged, ::testing::Contains(::testing::EndsWith("more received lines not shown")));
}

class NNTPHostilePeer : public ::testing::TestWithParam<json> {};

TEST_P(NNTPHostilePeer, EndsWithTheExpectedFault) {
    const auto& c = GetParam();
    std::vector<std::int64_t> work;
    PlayHostilePeer<TNNTPClient>(c, [&](TNNTPClient& client) {
        client.Username = c.value("user", "");
        client.Password = "pw";
        client.UseTLS = TLSMode(c.value("tls", "none"));
        client.OnWorkBegin = client.OnWork = [&](std::int64_t bytes) { work.push_back(bytes); };
        client.OnWorkEnd = [&] { work.push_back(-1); };
        client.Connect();
        client.Post([](auto& write) { write("Hi\r\n"); }, 4);
    });
    if (c["fault"] == "none") {
        EXPECT_EQ(work, (std::vector<std::int64_t>{4, 4, -1})) << "announced, sent, ended";
    }
}

INSTANTIATE_TEST_SUITE_P(Data, NNTPHostilePeer, ::testing::ValuesIn(LoadCases("nntp-hostile-peers.json")),
                         CaseName);

} // namespace
