// The transport on its own: error texts, time-outs, Abort and TLS against openssl s_server.
#include "support/LinePeer.h"
#include "net/NetErrors.h"
#include "net/TCPConnection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <optional>
#include <thread>

using namespace zr::net;
using namespace quillate::testing;
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
        EXPECT_EQ(std::string(e.what()), "Connecting to 127.0.0.1:" + std::to_string(port) + ": Connection refused");
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
    try {
        connection.ReadLn();
        FAIL() << "read from a silent peer returned";
    } catch (const EReadTimeout& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Reading from 127.0.0.1:" + std::to_string(peer.Port()) + ": timed out after 300 ms");
    }
    EXPECT_GE(SecondsSince(start), 0.28);

    connection.SetReadTimeout(milliseconds(10000));
    std::promise<double> abortedAfter;
    std::thread reader([&] {
        try {
            connection.ReadLn();
            abortedAfter.set_value(-1);
        } catch (const EOperationAborted&) {
            abortedAfter.set_value(SecondsSince(start));
        } catch (...) {
            abortedAfter.set_value(-2);
        }
    });
    std::this_thread::sleep_for(milliseconds(200));
    start = Clock::now();
    connection.Abort();
    double after = abortedAfter.get_future().get();
    reader.join();
    EXPECT_GE(after, 0.0);
    EXPECT_LT(after, 0.2);
    // The abort stays in force for later calls until it is cleared; the socket stays open.
    EXPECT_THROW(connection.Write("x"), EOperationAborted);
    EXPECT_TRUE(connection.IsOpen());
    connection.ClearAbort();
    connection.Write("still usable\r\n");
    connection.Disconnect();
    EXPECT_FALSE(connection.Connected());
}

// openssl s_server with a certificate from a CA made for the test.
class TLSServer : public ::testing::Test {
protected:
    void SetUp() override {
        auto dir = Dir.Path();
        auto run = [&](std::vector<std::string> argv) {
            ASSERT_EQ(RunProcess(argv, dir, dir / "openssl.log"), 0) << ReadTextFile(dir / "openssl.log");
        };
        const std::string openssl = "/usr/bin/openssl";
        WriteTextFile(dir / "ext.cnf", "subjectAltName=DNS:localhost,IP:127.0.0.1\n");
        run({openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-keyout", "ca.key", "-out", "ca.pem", "-days", "2", "-subj", "/CN=Quillate Test CA"});
        run({openssl, "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
             "server.key", "-out", "server.csr", "-subj", "/CN=localhost"});
        run({openssl, "x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
             "-out", "server.pem", "-days", "2", "-extfile", "ext.cnf"});
        Port = FindFreePort();
        TServerOptions options;
        options.Argv = {openssl, "s_server", "-accept", "127.0.0.1:" + std::to_string(Port), "-cert", "server.pem",
                        "-key", "server.key", "-www"};
        options.WorkDir = dir;
        options.LogFile = dir / "s_server.log";
        options.Port = Port;
        Server.Start(options);
        const char* old = std::getenv("SSL_CERT_FILE");
        SavedCertFile = old ? std::optional<std::string>(old) : std::nullopt;
    }
    void TearDown() override {
        if (SavedCertFile)
            ::setenv("SSL_CERT_FILE", SavedCertFile->c_str(), 1);
        else
            ::unsetenv("SSL_CERT_FILE");
    }

    std::string FetchStatusLine(const TTLSOptions& options) {
        TTCPConnection connection;
        connection.SetReadTimeout(milliseconds(5000));
        connection.Connect("127.0.0.1", Port, milliseconds(2000));
        connection.StartTLS(options);
        connection.Write("GET / HTTP/1.0\r\n\r\n");
        return connection.ReadLn();
    }

    TTempDir Dir{"quillate-tls"};
    TServerProcess Server;
    std::uint16_t Port = 0;
    std::optional<std::string> SavedCertFile;
};

TEST_F(TLSServer, VerifiesAgainstATestCAGivenBySSLCertFile) {
    ::setenv("SSL_CERT_FILE", (Dir.Path() / "ca.pem").c_str(), 1);
    TTLSOptions byName;
    byName.ServerName = "localhost";
    EXPECT_EQ(FetchStatusLine(byName).rfind("HTTP/1.0 200", 0), 0u);
    EXPECT_EQ(FetchStatusLine(TTLSOptions{}).rfind("HTTP/1.0 200", 0), 0u) << "IP address in the certificate";
    TTLSOptions wrongName;
    wrongName.ServerName = "example.org";
    try {
        FetchStatusLine(wrongName);
        FAIL() << "a certificate for another name was accepted";
    } catch (const ETLSError& e) {
        EXPECT_NE(std::string(e.what()).find("TLS handshake with 127.0.0.1:"), std::string::npos) << e.what();
    }
}

TEST_F(TLSServer, RefusesAnUnknownCAUnlessVerificationIsOff) {
    ::unsetenv("SSL_CERT_FILE");
    try {
        FetchStatusLine(TTLSOptions{});
        FAIL() << "a certificate from an unknown CA was accepted";
    } catch (const ETLSError& e) {
        EXPECT_NE(std::string(e.what()).find("certificate"), std::string::npos) << e.what();
    }
    TTLSOptions unverified;
    unverified.VerifyPeer = false;
    EXPECT_EQ(FetchStatusLine(unverified).rfind("HTTP/1.0 200", 0), 0u);
}

} // namespace
