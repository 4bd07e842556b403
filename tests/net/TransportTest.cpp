// The transport on its own: error texts, time-outs, Abort and TLS against openssl s_server; the HTTP
// client against tests/servers/httpd.py, route by route as tests/data/net/http.json says, and a stop
// from another thread. Its protocol log and masking are the HTTP action's cases (tests/data/web).
#include "NetTestData.h"
#include "net/HTTPClient.h"
#include "net/NetErrors.h"
#include "net/TCPConnection.h"
#include "support/HTTPServerFixture.h"
#include "support/LinePeer.h"

#include <chrono>
#include <fmt/format.h>
#include <future>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

using namespace zr::net;
using namespace quillate::testing;
using ::testing::ThrowsMessage;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

TEST(TCPConnection, RefusalTimeoutAndAbort) {
    TTCPConnection connection;
    const std::uint16_t closed = FindFreePort();
    EXPECT_THAT([&] { connection.Connect("127.0.0.1", closed, milliseconds(2000)); },
                ThrowsMessage<ESocketError>("Connecting to 127.0.0.1:" + std::to_string(closed) +
                                            ": Connection refused"));
    EXPECT_FALSE(connection.IsOpen());

    TLinePeer peer({TLineScript().Send("hello").Hang()});
    connection.Connect("127.0.0.1", peer.Port(), milliseconds(2000));
    EXPECT_EQ(connection.ReadLn(), "hello");
    EXPECT_THROW(connection.Connect("127.0.0.1", peer.Port(), milliseconds(2000)), EAlreadyConnected);

    connection.SetReadTimeout(milliseconds(300));
    auto start = Clock::now();
    EXPECT_THAT([&] { connection.ReadLn(); },
                ThrowsMessage<EReadTimeout>("Reading from 127.0.0.1:" + std::to_string(peer.Port()) +
                                            ": timed out after 300 ms"));
    EXPECT_GE(std::chrono::duration<double>(Clock::now() - start).count(), 0.28);

    // A read blocked on another thread ends at once; the abort stays in force for later calls until
    // it is cleared, and the socket stays open.
    connection.SetReadTimeout(milliseconds(10000));
    auto reader = std::async(std::launch::async, [&] {
        EXPECT_THROW(connection.ReadLn(), EOperationAborted);
        return Clock::now();
    });
    std::this_thread::sleep_for(milliseconds(200));
    start = Clock::now();
    connection.Abort();
    EXPECT_LT(std::chrono::duration<double>(reader.get() - start).count(), 1.0);
    EXPECT_THROW(connection.Write("x"), EOperationAborted);
    EXPECT_TRUE(connection.IsOpen());
    connection.ClearAbort();
    connection.Write("still usable\r\n");
    // A stop outlives the clearing of an abort, which every command does, until another token is set.
    std::stop_source stop;
    connection.SetStopToken(stop.get_token());
    stop.request_stop();
    connection.ClearAbort();
    EXPECT_THROW(connection.Write("x"), EOperationAborted);
    connection.SetStopToken({});
    connection.Write("usable again\r\n");
    connection.Disconnect();
    EXPECT_FALSE(connection.Connected());
}

// openssl s_server with the certificate of tests/data/net/tls, on the cases of tests/data/net/tls.json.
TEST(TLSConnection, VerifiesTheServerUnlessTold) {
    const std::string tls = std::string(QUILLATE_TEST_DATA_DIR) + "/net/tls/";
    TTempDir dir("quillate-tls");
    std::uint16_t port = FindFreePort();
    TServerProcess server;
    server.Start({.Argv = {"/usr/bin/openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port),
                           "-www", "-cert", "server.pem", "-key", "server.key"},
                  .WorkDir = tls,
                  .LogFile = dir.Path() / "s_server.log",
                  .Port = port});
    TScopedEnvironment certificates("SSL_CERT_FILE", nullptr);
    for (const auto& c : LoadCases("tls.json")) {
        SCOPED_TRACE(c["name"].get<std::string>());
        certificates.Set(c["testCA"] ? (tls + "ca.pem").c_str() : nullptr);
        auto fetch = [&] {
            TTCPConnection connection;
            connection.SetReadTimeout(milliseconds(5000));
            connection.Connect("127.0.0.1", port, milliseconds(2000));
            connection.StartTLS({.VerifyPeer = c["verify"], .ServerName = c["serverName"]});
            connection.Write("GET / HTTP/1.0\r\n\r\n");
            return connection.ReadLn();
        };
        if (const std::string failure = c["failure"]; !failure.empty())
            EXPECT_THAT(fetch, ThrowsMessage<ETLSError>(::testing::HasSubstr(failure)));
        else
            EXPECT_THAT(fetch(), ::testing::StartsWith("HTTP/1.0 200"));
    }
}

class HTTPServer : public ::testing::Test {
protected:
    static void SetUpTestSuite() { (Server = std::make_unique<THTTPTestServer>())->Start(); }
    static void TearDownTestSuite() { Server.reset(); }

    static std::uint16_t PortOf(bool tls) { return tls ? Server->TLSPort() : Server->Port(); }
    static std::string Base(bool tls) {
        return fmt::format("{}://127.0.0.1:{}", tls ? "https" : "http", PortOf(tls));
    }

    static inline std::unique_ptr<THTTPTestServer> Server;
    THTTPClient Client;
    const std::string CA = std::string(QUILLATE_TEST_DATA_DIR) + "/net/tls/ca.pem";
};

class HTTPRoute : public HTTPServer, public ::testing::WithParamInterface<json> {};

TEST_P(HTTPRoute, AnswersAsTheTableSays) {
    const bool tls = GetParam().value("tls", false);
    const json c = json::parse(ReplaceAll(ReplaceAll(GetParam().dump(), "${base}", Base(tls)), "${port}",
                                          std::to_string(PortOf(tls))));
    auto fileNameOf = [](const std::string& disposition, const std::string& contentType) {
        std::string name = DispositionFileName(disposition);
        return name.empty() ? ContentTypeName(contentType) : name;
    };
    if (!c.contains("path") && !c.contains("url")) {
        EXPECT_EQ(fileNameOf(c.value("disposition", ""), c.value("contentType", "")), c["fileName"]);
        return;
    }
    TScopedEnvironment ca("SSL_CERT_FILE", c.value("ca", true) ? CA.c_str() : nullptr);
    Client.HandleRedirects = c.value("redirects", false);
    Client.VerifyPeer = c.value("verify", true);
    Client.ReadTimeout = std::chrono::milliseconds(c.value("readTimeout", 0));
    if (c.value("auth", false)) {
        Client.Username = THTTPTestServer::User;
        Client.Password = THTTPTestServer::Password;
    }
    if (c.contains("proxy")) {
        Client.ProxyHost = "127.0.0.1";
        Client.ProxyPort = Server->ProxyPort();
    }
    if (c.value("proxy", "") == "auth") {
        Client.ProxyUsername = THTTPTestServer::ProxyUser;
        Client.ProxyPassword = THTTPTestServer::ProxyPassword;
    }
    std::vector<std::string> seen;
    Client.OnRedirect = [&](std::string_view url, int number, int code) {
        seen.push_back(fmt::format("{} {} {}", number, code, url));
    };
    std::vector<std::int64_t> work;
    Client.OnWorkBegin = Client.OnWork = [&](std::int64_t bytes) { work.push_back(bytes); };
    Client.OnWorkEnd = [&] { work.push_back(-1); };
    std::string body;
    const std::string url =
        c.contains("url") ? c["url"].get<std::string>() : Base(tls) + c["path"].get<std::string>();
    std::string fault = FaultOf([&] {
        if (c.value("method", "GET") == "HEAD")
            Client.Head(url);
        else
            Client.Get(url, [&](std::string_view data) { body += data; });
    });
    EXPECT_THAT(fault, ::testing::StartsWith(c.value("fault", "none"))) << Server->Output();
    EXPECT_EQ(Client.ResponseCode(), c.value("code", 0));
    EXPECT_EQ(body, c.contains("body") ? Text(c["body"]) : "");
    EXPECT_EQ(fileNameOf(Client.ResponseHeader("Content-Disposition"), Client.ResponseHeader("Content-Type")),
              c.value("fileName", ""));
    if (!c.value("redirects", false) || c.contains("seen")) {
        EXPECT_EQ(json(seen), c.value("seen", json::array()));
    }
    if (c.contains("work")) {
        EXPECT_EQ(json(work), c["work"]) << "announced, each piece, ended (-1)";
    }
}

INSTANTIATE_TEST_SUITE_P(Data, HTTPRoute, ::testing::ValuesIn(LoadCases("http.json")), CaseName);

TEST_F(HTTPServer, AbortFromAnotherThreadEndsASilentBodyAtOnceAndAStopHoldsForItsToken) {
    std::atomic<std::chrono::steady_clock::time_point> aborted{};
    std::thread stopper;
    Client.OnWork = [&](std::int64_t) {
        stopper = std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            aborted = std::chrono::steady_clock::now();
            Client.Abort();
        });
    };
    std::string fault = FaultOf([&] { Client.Get(Base(false) + "/slow", [](std::string_view) {}); });
    auto took = std::chrono::steady_clock::now() - aborted.load();
    stopper.join();
    EXPECT_THAT(fault, ::testing::StartsWith("aborted: GET " + Base(false) + "/slow: operation aborted"));
    EXPECT_LT(took, std::chrono::seconds(1));

    Client.OnWork = nullptr;
    std::stop_source stop;
    Client.SetStopToken(stop.get_token());
    stop.request_stop();
    EXPECT_THROW(Client.Head(Base(false) + "/file.txt"), EOperationAborted);
    Client.SetStopToken({});
    Client.Head(Base(false) + "/file.txt");
    EXPECT_EQ(Client.ResponseCode(), 200);
}

} // namespace
