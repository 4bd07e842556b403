// The HTTP client against the test server (tests/servers/httpd.py): each route as the table
// tests/data/net/http.json says, and a stop from another thread. The protocol log and its masking are
// the HTTP action's cases (tests/data/web/get.json).
#include "net/HTTPClient.h"

#include "NetTestData.h"
#include "support/HTTPServerFixture.h"

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

using namespace zr::net;
using namespace quillate::testing;
using ::testing::StartsWith;

namespace {

class HTTPServer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Server = std::make_unique<THTTPTestServer>();
        Server->Start();
    }
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
    const json& c = GetParam();
    auto fileNameOf = [](const std::string& disposition, const std::string& contentType) {
        std::string name = DispositionFileName(disposition);
        return name.empty() ? ContentTypeName(contentType) : name;
    };
    if (!c.contains("path") && !c.contains("url")) {
        EXPECT_EQ(fileNameOf(c.value("disposition", ""), c.value("contentType", "")), c["fileName"]);
        return;
    }
    const bool tls = c.value("tls", false);
    TScopedEnvironment ca("SSL_CERT_FILE", c.value("ca", true) ? CA.c_str() : nullptr);
    auto expand = [&](const std::string& text) {
        return ReplaceAll(ReplaceAll(text, "${base}", Base(tls)), "${port}", std::to_string(PortOf(tls)));
    };
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
    EXPECT_THAT(fault, StartsWith(expand(c.value("fault", "none")))) << Server->Output();
    EXPECT_EQ(Client.ResponseCode(), c.value("code", 0));
    EXPECT_EQ(body, c.contains("body") ? Text(c["body"]) : "");
    EXPECT_EQ(fileNameOf(Client.ResponseHeader("Content-Disposition"), Client.ResponseHeader("Content-Type")),
              c.value("fileName", ""));
    std::vector<std::string> expectedSeen;
    for (const auto& line : c.value("seen", json::array()))
        expectedSeen.push_back(expand(line.get<std::string>()));
    if (!c.value("redirects", false) || c.contains("seen")) {
        EXPECT_EQ(seen, expectedSeen);
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
    EXPECT_THAT(fault, StartsWith("aborted: GET " + Base(false) + "/slow: operation aborted"));
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
