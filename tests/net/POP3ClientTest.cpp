// The POP3 client's login and STAT against Dovecot, on the cases of tests/data/net/pop3.json.
#include "NetTestData.h"
#include "net/LogEventIntercept.h"
#include "net/NetErrors.h"
#include "net/POP3Client.h"
#include "support/POP3ServerFixture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace zr::net;
using namespace quillate::testing;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

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
    client.UseTLS = c["tls"] == "implicit" ? TUseTLS::utUseImplicitTLS
                    : c["tls"] == "explicit" ? TUseTLS::utUseExplicitTLS
                    : c["tls"] == "require"  ? TUseTLS::utUseRequireTLS
                                             : TUseTLS::utNoTLSSupport;
    client.Username = TPOP3TestServer::User;
    client.Password = c.value("password", std::string(TPOP3TestServer::Password));
    client.ConnectTimeout = client.ReadTimeout = std::chrono::seconds(20);
    std::string log;
    client.Connection().AddIntercept(std::make_shared<TLogEventIntercept>(
        [&](TLogEventType, std::string_view text) { log += std::string(text) + "\n"; }));

    std::string fault = "none";
    TMailboxStatus status;
    try {
        client.Connect();
        status = client.Stat();
    } catch (const EReplyError& e) {
        fault = std::string("reply: ") + e.what();
    } catch (const ENetError& e) {
        fault = std::string("other: ") + e.what();
    }
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

} // namespace
