// The ICQ client and its sockets against real peers: the scripted OSCAR peer reached directly and
// through Dante (SOCKS4, SOCKS5 with and without a user) and tinyproxy (CONNECT); the error texts
// of failing connections and proxies; the port search of the listening server.
#include "host/MainThread.h"
#include "icq/ICQClient.h"
#include "support/DanteFixture.h"
#include "support/HTTPServerFixture.h"
#include "support/OSCARPeerFixture.h"

#include <atomic>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>

using namespace quillate;
using namespace quillate::testing;
using namespace zr::icq;

namespace {

void PostToMainThread(std::function<void()> event) { TMainThread::Instance().Queue(std::move(event)); }

// Runs the main thread's events until done() or the time is up.
bool RunEventsUntil(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(30)) {
    auto until = std::chrono::steady_clock::now() + limit;
    auto wake = TMainThread::Instance().SetTimer(std::chrono::milliseconds(20), [] {});
    TMainThread::Instance().RunUntil([&] { return done() || std::chrono::steady_clock::now() > until; });
    TMainThread::Instance().KillTimer(wake);
    return done();
}

class Proxies : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Open = new TDanteProxy(false);
        Open->Start();
        Strict = new TDanteProxy(true);
        Strict->Start();
        HTTP = new THTTPTestServer();
        HTTP->Start();
    }
    static void TearDownTestSuite() {
        delete Open;
        delete Strict;
        delete HTTP;
    }
    static inline TDanteProxy* Open = nullptr;
    static inline TDanteProxy* Strict = nullptr;
    static inline THTTPTestServer* HTTP = nullptr;
};

TEST_F(Proxies, SignOnAndMessageThroughEachKind) {
    struct TRoute {
        const char* Name;
        TProxyType Kind;
        std::uint16_t Port;
        bool Auth;
        std::string User, Password;
        const char* Reach;
    };
    const TRoute routes[] = {
        {"direct", ptNone, 0, false, "", "", "direct"},
        {"socks4", ptSocks4, Open->Port(), false, "", "", "socks"},
        {"socks5", ptSocks5, Open->Port(), false, "", "", "socks"},
        {"socks5 with user", ptSocks5, Strict->Port(), true, TDanteProxy::User, TDanteProxy::Password, "socks"},
        {"https", ptHTTPS, HTTP->ProxyPort(), true, THTTPTestServer::ProxyUser, THTTPTestServer::ProxyPassword, "https"},
    };
    for (const auto& route : routes) {
        SCOPED_TRACE(route.Name);
        TOSCARPeer::TScript script;
        script.Reach = route.Reach;
        TOSCARPeer peer(script);
        peer.Start();
        TICQClient client(PostToMainThread);
        client.UIN = TOSCARPeer::UIN;
        client.Password = script.Password;
        client.ICQServer = "127.0.0.1";
        client.ICQPort = peer.Port();
        client.Proxy = {route.Kind, "127.0.0.1", route.Port, route.User, route.Password, route.Auth, false};
        std::atomic<int> logins = 0, failures = 0;
        client.OnLogin = [&] { ++logins; };
        client.OnConnectionFailed = [&] { ++failures; };
        client.Login();
        ASSERT_TRUE(RunEventsUntil([&] { return logins > 0 || failures > 0; })) << client.LastError();
        ASSERT_TRUE(client.LoggedIn()) << client.LastError();
        client.SendMessage(1002, "via proxy");
        client.LogOff();
        ASSERT_TRUE(peer.WaitForEvent("goodbye", std::chrono::seconds(10)));
        auto events = peer.Events();
        EXPECT_NE(std::find(events.begin(), events.end(), R"({"event": "message", "to": "1002", "text": "via proxy"})"),
                  events.end());
        for (const auto& event : events)
            EXPECT_EQ(event.find("\"error\""), std::string::npos) << event;
    }
}

// A scripted HTTPS proxy: no real proxy answers a CONNECT with 200 and another reason phrase.
std::uint16_t OddProxy(std::thread& thread) {
    TSocket listener = BoundSocket("127.0.0.1");
    ::listen(listener.Fd(), 1);
    std::uint16_t port = listener.LocalPort();
    thread = std::thread([listener = std::move(listener)] {
        TSocket peer(::accept(listener.Fd(), nullptr, nullptr));
        char request[1024];
        (void)::recv(peer.Fd(), request, sizeof request, 0);
        const char reply[] = "HTTP/1.0 200 OK Fine\r\n\r\n";
        (void)::send(peer.Fd(), reply, sizeof reply - 1, MSG_NOSIGNAL);
        (void)::recv(peer.Fd(), request, sizeof request, 0);
    });
    return port;
}

TEST_F(Proxies, FailuresGiveTheirTexts) {
    std::thread odd;
    std::uint16_t oddPort = OddProxy(odd);
    TSocket closed = BoundSocket("127.0.0.1");
    struct TCase {
        const char* Host;
        std::uint16_t Port;
        TProxySettings Proxy;
        const char* Text;
        bool AsConnectError;
    };
    const TCase cases[] = {
        {"no-such-host.invalid", 5190, {}, "Could not resolve host", false},
        {"bad\r\nhost", 5190, {ptHTTPS, "127.0.0.1", HTTP->ProxyPort(), "", "", false, true}, "Could not resolve host", false},
        {"127.0.0.1", closed.LocalPort(), {}, "Could not connect", true},
        {"127.0.0.1", 9, {ptSocks5, "127.0.0.1", Strict->Port(), "", "", false, false}, "Auth methods are not supported by SOCKS5 server", true},
        {"127.0.0.1", 9, {ptSocks4, "127.0.0.1", Strict->Port(), "", "", false, false}, "SOCKS4 server cannot connect to remote server", true},
        {"127.0.0.1", 9, {ptSocks5, "127.0.0.1", Strict->Port(), TDanteProxy::User, "wrong", true},
         "SOCKS5 server cannot authenticate", true},
        {"127.0.0.1", 9, {ptHTTPS, "127.0.0.1", oddPort, "", "", false, false}, "Http proxy returned invalid status: 200 ok fine", false},
    };
    TICQIo io;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        auto socket = TEventSocket::Create(io.Context(), PostToMainThread, c.Proxy);
        std::string error, connectError;
        int connects = 0, disconnects = 0;
        socket->OnError = [&](TErrorType, const std::string& text) { error = text; };
        socket->OnConnectError = [&] { connectError = socket->LastErrMsg(); };
        socket->OnConnect = [&] { ++connects; };
        socket->OnDisconnect = [&] { ++disconnects; };
        socket->Connect(c.Host, c.Port);
        ASSERT_TRUE(RunEventsUntil([&] { return !error.empty() || !connectError.empty(); }));
        EXPECT_EQ(c.AsConnectError ? connectError : error, c.Text);
        EXPECT_EQ(connects + disconnects, 0);
        socket->Close();
    }
    odd.join();
}

TEST(FindBindPort, FirstFreePortOrNone) {
    TSocket taken = BoundSocket("0.0.0.0");
    std::uint16_t port = taken.LocalPort();
    EXPECT_EQ(FindBindPort(port, port), 0);
    std::uint16_t next = FindBindPort(port, static_cast<std::uint16_t>(port + 50));
    EXPECT_GT(next, port);
}

} // namespace
