// The mail clients against real servers: SMTP against aiosmtpd (tests/data/net/smtp.json) and against
// scripted peers for what a real server does not show (smtp-hostile-peers.json), POP3 against Dovecot
// (pop3.json), NNTP against jamnntpd and our recording server (nntp.json) and scripted peers
// (nntp-hostile-peers.json).
#include "MimeParse.h"
#include "NetTestData.h"
#include "net/LogEventIntercept.h"
#include "net/MimeMessage.h"
#include "net/NNTPClient.h"
#include "net/NetErrors.h"
#include "net/POP3Client.h"
#include "net/SMTPClient.h"
#include "support/FTPServerFixture.h"
#include "support/NNTPServerFixture.h"
#include "support/POP3ServerFixture.h"
#include "support/SMTPServerFixture.h"

#include <gmock/gmock.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>

using namespace zr::net;
using namespace quillate::testing;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

TUseTLS TLSMode(const std::string& name) {
    if (name == "implicit")
        return TUseTLS::utUseImplicitTLS;
    if (name == "explicit")
        return TUseTLS::utUseExplicitTLS;
    return name == "require" ? TUseTLS::utUseRequireTLS : TUseTLS::utNoTLSSupport;
}

// Lines that begin with dots, a lone "." that must not end the message, and a last line without
// its end; long enough to go out in several chunks.
std::string Body() {
    std::string body = "Subject: test\r\n\r\n.leading dot\n..two dots\r\n.\n";
    for (int i = 0; i < 20000; ++i)
        body += ".line " + std::to_string(i) + "\r\n";
    return body + "last line";
}

std::string OnTheWire(std::string body) {
    body = ReplaceAll(ReplaceAll(body, "\r\n", "\n"), "\n", "\r\n");
    return body + "\r\n";
}

class SMTPServer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Server = new TSMTPTestServer();
        Server->Start();
    }
    static void TearDownTestSuite() {
        delete Server;
        Server = nullptr;
    }
    // log: keep the protocol log in Log (every line of the message, so not for big ones).
    void Configure(std::uint16_t port, bool log = true) {
        Client.Host = "127.0.0.1";
        Client.Port = port;
        Client.Username = TSMTPTestServer::User;
        Client.Password = TSMTPTestServer::Password;
        Client.AuthType = TSMTPAuthType::satDefault;
        Client.ConnectTimeout = std::chrono::seconds(20);
        Client.ReadTimeout = std::chrono::seconds(20);
        if (log)
            Client.Connection().AddIntercept(std::make_shared<TLogEventIntercept>(
                [this](TLogEventType, std::string_view text) { Log += std::string(text) + "\n"; }));
    }
    static inline TSMTPTestServer* Server = nullptr;
    TScopedEnvironment Certificates{"SSL_CERT_FILE", (std::string(QUILLATE_TEST_DATA_DIR) + "/net/tls/ca.pem").c_str()};
    TSMTPClient Client;
    std::string Log;
};

class SMTPSession : public SMTPServer, public ::testing::WithParamInterface<json> {};

TEST_P(SMTPSession, SendsTheMessageIntactOrFailsAsExpected) {
    const auto& c = GetParam();
    const std::string port = c["port"];
    Configure(port == "tls" ? Server->TLSPort() : port == "bare" ? Server->BarePort() : Server->Port());
    Client.UseTLS = TLSMode(c["tls"]);
    Client.UseSSL = c.value("useSSL", false);
    Client.TLSOptions.VerifyPeer = c.value("verify", true);
    Client.Password = c.value("password", Client.Password);
    if (!c.value("testCA", true))
        Certificates.Set(nullptr);
    const std::string from = c.value("from", "sender@example.org");
    const std::string to = c.value("to", "rcpt@example.org");
    const std::string body = Body();
    std::istringstream source(body);
    std::vector<std::int64_t> progress;
    Client.OnWork = [&](std::int64_t sent) { progress.push_back(sent); };
    std::size_t before = Server->Messages().size();

    std::string fault = FaultOf([&] {
        Client.Connect();
        Client.Authenticate();
        Client.Send(from, {to, "second@example.org"}, source);
    });
    bool tlsActive = Client.TLSActive();
    auto maxSize = Client.MaxMessageSize();
    bool eightBit = Client.HasExtension("8bitmime");
    Client.Disconnect();

    EXPECT_THAT(Log, Not(HasSubstr(TSMTPTestServer::Password)));
    EXPECT_THAT(Log, Not(HasSubstr("czNjcmV0"))) << "the password in base64, as AUTH LOGIN sends it";
    auto messages = Server->Messages();
    if (c.contains("fault")) {
        EXPECT_THAT(fault, StartsWith(c["fault"].get<std::string>()));
        EXPECT_EQ(messages.size(), before);
        return;
    }
    ASSERT_EQ(fault, "none") << Log;
    EXPECT_EQ(tlsActive, c["tlsActive"].get<bool>());
    EXPECT_EQ(maxSize, 32 * 1024 * 1024) << "aiosmtpd's default limit";
    EXPECT_TRUE(eightBit);
    EXPECT_THAT(Log, HasSubstr("AUTH " + c["auth"].get<std::string>()));
    ASSERT_EQ(messages.size(), before + 1);
    EXPECT_EQ(messages.back().From, from);
    EXPECT_EQ(messages.back().To, (std::vector<std::string>{to, "second@example.org"}));
    EXPECT_TRUE(messages.back().Content == OnTheWire(body)) << "the message arrived changed";
    ASSERT_GT(progress.size(), 1u);
    EXPECT_EQ(progress.back(), static_cast<std::int64_t>(body.size()));
}

INSTANTIATE_TEST_SUITE_P(Data, SMTPSession, ::testing::ValuesIn(LoadCases("smtp.json")), CaseName);

TEST_F(SMTPServer, AbortFromAnotherThreadEndsTheMessageUnsentAndTheNextConnectionWorks) {
    Configure(Server->Port());
    std::size_t before = Server->Messages().size();
    std::istringstream source(Body());
    Client.OnWork = [&](std::int64_t) { std::thread([&] { Client.Abort(); }).join(); };
    Client.Connect();
    EXPECT_THROW(Client.Send("a@example.org", {"b@example.org"}, source), EOperationAborted);
    EXPECT_FALSE(Client.Connected());

    Client.OnWork = nullptr;
    std::istringstream again("Subject: again\r\n\r\nhi\r\n");
    Client.Connect();
    Client.Send("a@example.org", {"b@example.org"}, again);
    Client.Disconnect();
    auto messages = Server->Messages();
    ASSERT_EQ(messages.size(), before + 1);
    EXPECT_EQ(messages.back().Content, "Subject: again\r\n\r\nhi\r\n");
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
    std::string file(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < file.size(); ++i)
        file[i] = static_cast<char>((i * 31 + i / 4099) % 256);
    TTempDir dir("quillate-mime");
    std::ofstream(dir.Path() / "big.bin", std::ios::binary) << file;
    TMimeMessage message;
    message.From = {"Sender", "from@example.org"};
    message.To = {{"Empfänger", "to@example.org"}};
    message.Body = "attached";
    message.Attachments = {{(dir.Path() / "big.bin").string(), "big.bin", "", ""}};
    Configure(Server->Port(), false);
    std::vector<std::int64_t> progress;
    Client.OnWork = [&](std::int64_t sent) { progress.push_back(sent); };
    Client.Connect();
    std::ofstream("/proc/self/clear_refs") << "5";
    long before = PeakKiB();
    Client.Send("from@example.org", {"to@example.org"}, [&](auto& write) { message.Write(write); }, file.size());
    long growth = PeakKiB() - before;
    Client.Disconnect();

    EXPECT_LT(growth, 2048) << "KiB; the base64 form alone is 4 MiB";
    ASSERT_FALSE(progress.empty());
    EXPECT_LT(progress.size(), static_cast<std::size_t>(progress.back() / 60000 + 2)) << "one report per block";
    TParsedMessage parsed = ParseMessage(Server->Messages().back().Content);
    ASSERT_TRUE(parsed);
    GMimeObject* tree = g_mime_message_get_mime_part(parsed.get());
    ASSERT_EQ(Shape(tree), "multipart/mixed[text/plain;us-ascii,application/octet-stream attachment <big.bin> big.bin]");
    EXPECT_TRUE(Content(g_mime_multipart_get_part(GMIME_MULTIPART(tree), 1)) == file) << "the attachment arrived changed";
}

// Plays the case's script to a client of the given kind, which connects and sends through session,
// and checks the fault it ends with and whether it is still connected.
template <class TClient, class F> void PlayHostilePeer(const json& c, F&& session) {
    std::vector<std::string> steps;
    for (const auto& step : c["script"])
        steps.push_back(step.is_string() ? step.get<std::string>() : "raw " + Text(step));
    TLinePeer peer({ScriptFromSteps(steps)});
    TClient client;
    client.Host = "127.0.0.1";
    client.Port = peer.Port();
    client.ConnectTimeout = std::chrono::seconds(5);
    client.ReadTimeout = std::chrono::seconds(5);
    std::string fault = FaultOf([&] { session(client); });
    const json expected = c["fault"].is_array() ? c["fault"] : json::array({c["fault"]});
    EXPECT_TRUE(std::any_of(expected.begin(), expected.end(), [&](const json& start) {
        return fault.starts_with(ReplaceAll(start.get<std::string>(), "${port}", std::to_string(peer.Port())));
    })) << fault;
    EXPECT_EQ(client.Connected(), c.value("stays", false));
    client.Disconnect();
}

class SMTPHostilePeer : public ::testing::TestWithParam<json> {};

TEST_P(SMTPHostilePeer, EndsWithTheExpectedFault) {
    PlayHostilePeer<TSMTPClient>(GetParam(), [](TSMTPClient& client) {
        std::istringstream source("Hi\r\n");
        client.Connect();
        client.Send("a@example.org", {"b@example.org"}, source);
    });
}

INSTANTIATE_TEST_SUITE_P(Data, SMTPHostilePeer, ::testing::ValuesIn(LoadCases("smtp-hostile-peers.json")), CaseName);

class POP3Login : public ::testing::TestWithParam<json> {
protected:
    static void SetUpTestSuite() {
        Server = new TPOP3TestServer();
        Server->Start();
    }
    static void TearDownTestSuite() {
        delete Server;
        Server = nullptr;
    }
    static inline TPOP3TestServer* Server = nullptr;
};

TEST_P(POP3Login, LogsInAndCountsTheMailboxOrFailsAsExpected) {
    const auto& c = GetParam();
    TScopedEnvironment certificates("SSL_CERT_FILE", (std::string(QUILLATE_TEST_DATA_DIR) + "/net/tls/ca.pem").c_str());
    TPOP3Client client;
    client.Host = "127.0.0.1";
    client.Port = c["port"] == "tls" ? Server->TLSPort() : Server->Port();
    client.UseTLS = TLSMode(c["tls"]);
    client.Username = TPOP3TestServer::User;
    client.Password = c.value("password", std::string(TPOP3TestServer::Password));
    client.ConnectTimeout = client.ReadTimeout = std::chrono::seconds(20);
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

    EXPECT_THAT(log, Not(HasSubstr(TPOP3TestServer::Password)));
    if (c.contains("fault")) {
        EXPECT_THAT(fault, StartsWith(c["fault"].get<std::string>()));
        return;
    }
    ASSERT_EQ(fault, "none") << Server->Output();
    EXPECT_EQ(tlsActive, c["tlsActive"].get<bool>());
    EXPECT_EQ(status.Count, 1);
    EXPECT_EQ(status.Size, static_cast<std::int64_t>(std::string(TPOP3TestServer::Message).size()));
}

INSTANTIATE_TEST_SUITE_P(Data, POP3Login, ::testing::ValuesIn(LoadCases("pop3.json")), CaseName);

class NNTPHostilePeer : public ::testing::TestWithParam<json> {};

TEST_P(NNTPHostilePeer, EndsWithTheExpectedFault) {
    const auto& c = GetParam();
    PlayHostilePeer<TNNTPClient>(c, [&](TNNTPClient& client) {
        client.Username = c.value("user", "");
        client.Password = "pw";
        client.UseTLS = TLSMode(c.value("tls", "none"));
        client.Connect();
        client.Post([](auto& write) { write("Hi\r\n"); });
    });
}

INSTANTIATE_TEST_SUITE_P(Data, NNTPHostilePeer, ::testing::ValuesIn(LoadCases("nntp-hostile-peers.json")), CaseName);

class NNTPPost : public ::testing::TestWithParam<json> {
protected:
    static void SetUpTestSuite() {
        Jam = new TNNTPTestServer();
        Jam->Start();
        Recording = new TRecordingNNTPServer();
        Recording->Start();
    }
    static void TearDownTestSuite() {
        delete Jam;
        delete Recording;
        Jam = nullptr;
        Recording = nullptr;
    }
    static inline TNNTPTestServer* Jam = nullptr;
    static inline TRecordingNNTPServer* Recording = nullptr;
};

TEST_P(NNTPPost, PostsTheArticleIntactOrFailsAsExpected) {
    const auto& c = GetParam();
    const bool jam = c["server"] == "jamnntpd";
    TNNTPClient client;
    client.Host = "127.0.0.1";
    client.Port = jam ? Jam->Port() : Recording->Port();
    client.Username = c.value("user", std::string(TNNTPTestServer::User));
    client.Password = c.value("password", std::string(TNNTPTestServer::Password));
    client.ConnectTimeout = TMailClient::NoTimeLimit;
    client.ReadTimeout = std::chrono::seconds(20);
    std::string log;
    client.Connection().AddIntercept(std::make_shared<TLogEventIntercept>(
        [&](TLogEventType, std::string_view text) { log += std::string(text) + "\n"; }));
    const std::string article = "From: Poster <poster@example.org>\r\nNewsgroups: " + c["groups"].get<std::string>() +
                                "\r\nSubject: " + c["name"].get<std::string>() + "\r\n\r\n" + c["body"].get<std::string>();
    std::int64_t announced = 0, sent = 0;
    bool ended = false;
    client.OnWorkBegin = [&](std::int64_t size) { announced = size; };
    client.OnWork = [&](std::int64_t bytes) { sent = bytes; };
    client.OnWorkEnd = [&] { ended = true; };
    const std::size_t before = jam ? Jam->Articles(TNNTPTestServer::Group).size() : Recording->Articles().size();

    std::string fault = FaultOf([&] {
        client.Connect();
        client.Post([&](auto& write) { write(article); }, static_cast<std::int64_t>(article.size()));
    });
    const bool connected = client.Connected();
    client.Disconnect();

    EXPECT_THAT(log, Not(HasSubstr(TNNTPTestServer::Password)));
    EXPECT_EQ(connected, c.value("stays", true));
    const std::size_t after = jam ? Jam->Articles(TNNTPTestServer::Group).size() : Recording->Articles().size();
    if (c.contains("fault")) {
        EXPECT_THAT(fault, StartsWith(ReplaceAll(c["fault"], "${port}", std::to_string(client.Port))));
        EXPECT_EQ(after, before);
        return;
    }
    ASSERT_EQ(fault, "none") << (jam ? Jam->Output() : Recording->Output());
    EXPECT_TRUE(announced == static_cast<std::int64_t>(article.size()) && sent == announced && ended);
    ASSERT_EQ(after, before + 1);
    if (!jam) {
        EXPECT_EQ(Recording->Articles().back(), OnTheWire(article));
        return;
    }
    const TJamArticle stored = Jam->Articles(TNNTPTestServer::Group).back();
    EXPECT_EQ(stored.Subject, c["name"].get<std::string>());
    EXPECT_EQ(stored.Sender, "Poster");
    EXPECT_EQ(stored.Text, c["stored"].get<std::string>());
}

INSTANTIATE_TEST_SUITE_P(Data, NNTPPost, ::testing::ValuesIn(LoadCases("nntp.json")), CaseName);

} // namespace
