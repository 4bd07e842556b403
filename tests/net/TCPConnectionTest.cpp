// The transport on its own: error texts, time-outs, Abort and TLS against openssl s_server.
#include "net/TCPConnection.h"

#include "net/NetErrors.h"
#include "support/LinePeer.h"

#include <chrono>
#include <cstdlib>
#include <future>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <optional>
#include <thread>

using namespace zr::net;
using namespace quillate::testing;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(TCPConnection, RefusedConnectionNamesHostAndPort) {
    std::uint16_t port = FindFreePort();
    TTCPConnection connection;
    try {
        connection.Connect("127.0.0.1", port, milliseconds(2000));
        FAIL() << "connected to a closed port";
    } catch (const ESocketError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Connecting to 127.0.0.1:" + std::to_string(port) + ": Connection refused");
        EXPECT_EQ(e.Code(), std::errc::connection_refused);
    }
    EXPECT_FALSE(connection.IsOpen());
}

TEST(TCPConnection, ReadTimeoutAndAbortOnASilentPeer) {
    TLinePeer peer({TLineScript().Send("hello").Hang()});
    TTCPConnection connection;
    connection.Connect("127.0.0.1", peer.Port(), milliseconds(2000));
    EXPECT_EQ(connection.ReadLn(), "hello");
    EXPECT_THROW(connection.Connect("127.0.0.1", peer.Port(), milliseconds(2000)), EAlreadyConnected);

    connection.SetReadTimeout(milliseconds(300));
    auto start = Clock::now();
    EXPECT_THAT([&] { connection.ReadLn(); },
                ThrowsMessage<EReadTimeout>("Reading from 127.0.0.1:" + std::to_string(peer.Port()) +
                                            ": timed out after 300 ms"));
    EXPECT_GE(SecondsSince(start), 0.28);

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
    connection.Disconnect();
    EXPECT_FALSE(connection.Connected());
}

// openssl s_server with a certificate of tests/data/net/tls, signed by a CA made for the tests.
TEST(TLSConnection, VerifiesTheServerUnlessTold) {
    const std::string tls = std::string(QUILLATE_TEST_DATA_DIR) + "/net/tls/";
    TTempDir dir("quillate-tls");
    std::uint16_t port = FindFreePort();
    TServerProcess server;
    TServerOptions options;
    options.Argv = {"/usr/bin/openssl",
                    "s_server",
                    "-accept",
                    "127.0.0.1:" + std::to_string(port),
                    "-cert",
                    tls + "server.pem",
                    "-key",
                    tls + "server.key",
                    "-www"};
    options.WorkDir = dir.Path();
    options.LogFile = dir.Path() / "s_server.log";
    options.Port = port;
    server.Start(options);
    std::optional<std::string> saved;
    if (const char* old = std::getenv("SSL_CERT_FILE"))
        saved = old;
    struct {
        const char* Name;
        bool TestCA; // SSL_CERT_FILE names the test CA
        const char* ServerName;
        bool Verify;
        const char* Failure; // in the ETLSError's text; empty: the handshake succeeds
    } cases[] = {
        {"by name", true, "localhost", true, ""},
        {"by the IP address in the certificate", true, "", true, ""},
        {"another name", true, "example.org", true, "TLS handshake with 127.0.0.1:"},
        {"unknown CA", false, "", true, "certificate"},
        {"unknown CA, verification off", false, "", false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        c.TestCA ? ::setenv("SSL_CERT_FILE", (tls + "ca.pem").c_str(), 1) : ::unsetenv("SSL_CERT_FILE");
        auto fetch = [&] {
            TTCPConnection connection;
            connection.SetReadTimeout(milliseconds(5000));
            connection.Connect("127.0.0.1", port, milliseconds(2000));
            connection.StartTLS({.VerifyPeer = c.Verify, .ServerName = c.ServerName});
            connection.Write("GET / HTTP/1.0\r\n\r\n");
            return connection.ReadLn();
        };
        if (*c.Failure)
            EXPECT_THAT(fetch, ThrowsMessage<ETLSError>(HasSubstr(c.Failure)));
        else
            EXPECT_THAT(fetch(), ::testing::StartsWith("HTTP/1.0 200"));
    }
    saved ? ::setenv("SSL_CERT_FILE", saved->c_str(), 1) : ::unsetenv("SSL_CERT_FILE");
}

} // namespace
