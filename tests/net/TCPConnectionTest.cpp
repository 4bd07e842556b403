// The transport on its own: error texts, time-outs, Abort and TLS against openssl s_server.
#include "net/TCPConnection.h"

#include "NetTestData.h"
#include "net/NetErrors.h"
#include "support/LinePeer.h"

#include <chrono>
#include <future>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <thread>

using namespace zr::net;
using namespace quillate::testing;
using ::testing::HasSubstr;
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
    TServerOptions options;
    options.Argv = {"/usr/bin/openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port), "-www"};
    options.Argv.insert(options.Argv.end(), {"-cert", "server.pem", "-key", "server.key"});
    options.WorkDir = tls;
    options.LogFile = dir.Path() / "s_server.log";
    options.Port = port;
    server.Start(options);
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
            EXPECT_THAT(fetch, ThrowsMessage<ETLSError>(HasSubstr(failure)));
        else
            EXPECT_THAT(fetch(), ::testing::StartsWith("HTTP/1.0 200"));
    }
}

} // namespace
