// The ICQ client and its sockets against real peers: the scripted OSCAR peer reached directly and
// through Dante (SOCKS4, SOCKS5 with and without a user) and tinyproxy (CONNECT); the error texts
// of failing connections and proxies; a disconnect during the redirect; where it listens.
#include "icq/ICQClient.h"

#include "host/MainThread.h"
#include "support/DanteFixture.h"
#include "support/HTTPServerFixture.h"
#include "support/OSCARPeerFixture.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <optional>
#include <set>
#include <sstream>
#include <sys/socket.h>
#include <thread>

using namespace quillate;
using namespace quillate::testing;
using namespace zr::icq;

namespace {

void PostToMainThread(std::function<void()> event) { TMainThread::Instance().Queue(std::move(event)); }

void AimAt(TICQClient& client, const TOSCARPeer& peer, const TOSCARPeer::TScript& script) {
    client.UIN = TOSCARPeer::UIN;
    client.Password = script.Password;
    client.ICQServer = "127.0.0.1";
    client.ICQPort = peer.Port();
}

// Runs the main thread's events until done() or the time is up.
bool RunEventsUntil(const std::function<bool()>& done,
                    std::chrono::milliseconds limit = std::chrono::seconds(30)) {
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
        AimAt(client, peer, script);
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

// The action's stop reaches the client on the action's thread while the login server holds the
// redirect: the login ends at once, its event still comes on the main thread, and nothing connects
// when the redirect comes.
TEST(Client, DisconnectWhileTheRedirectIsHeldEndsTheLoginForGood) {
    TOSCARPeer::TScript script;
    script.Mode = "hold-redirect";
    TOSCARPeer peer(script);
    peer.Start();
    TICQClient client(PostToMainThread);
    AimAt(client, peer, script);
    std::vector<std::thread::id> failedOn;
    client.OnConnectionFailed = [&] { failedOn.push_back(std::this_thread::get_id()); };
    auto login = client.Login();
    ASSERT_TRUE(peer.WaitForEvent("identified", std::chrono::seconds(10)));
    auto stopped = std::chrono::steady_clock::now();
    std::size_t seen = peer.EventNames().size();
    std::optional<bool> loggedIn;
    std::atomic<bool> done = false;
    std::thread action([&] {
        client.Disconnect();
        loggedIn = login.Wait({}, std::chrono::seconds(1));
        done = true;
    });
    RunEventsUntil([&] { return done.load(); });
    action.join();
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(1));
    EXPECT_EQ(loggedIn, false);
    ASSERT_TRUE(peer.WaitForEvent("redirect-sent", std::chrono::seconds(5)));
    RunEventsUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_EQ(failedOn, std::vector{std::this_thread::get_id()});
    // The peer's own line is all it saw afterwards: no connection to either server.
    auto names = peer.EventNames();
    EXPECT_EQ(std::vector(names.begin() + static_cast<std::ptrdiff_t>(seen), names.end()),
              std::vector<std::string>{"redirect-sent"});
}

// The IPv4 sockets this process listens on, as "address:port".
std::vector<std::string> ListeningSockets() {
    std::set<std::string> ours;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        std::string target = std::filesystem::read_symlink(fd.path(), error).string();
        if (target.starts_with("socket:["))
            ours.insert(target.substr(8, target.size() - 9));
    }
    std::vector<std::string> found;
    std::ifstream table("/proc/self/net/tcp");
    std::string line, local, state, skip, inode;
    std::getline(table, line); // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        // sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode
        fields >> skip >> local >> skip >> state >> skip >> skip >> skip >> skip >> skip >> inode;
        if (state != "0A" || !ours.contains(inode))
            continue;
        in_addr address{static_cast<in_addr_t>(std::stoul(local.substr(0, 8), nullptr, 16))};
        found.push_back(std::string(inet_ntoa(address)) + ":" +
                        std::to_string(std::stoul(local.substr(9), nullptr, 16)));
    }
    return found;
}

// Off (as it starts), nothing listens and the status names no address or port; on, one socket
// listens on the address the client connects from, on the port the status names, until log-off.
TEST(Client, ListensForDirectConnectionsOnlyWhenAskedAndWhereItConnectsFrom) {
    for (bool direct : {false, true}) {
        SCOPED_TRACE(direct ? "on" : "off");
        TOSCARPeer peer;
        peer.Start();
        TICQClient client(PostToMainThread);
        AimAt(client, peer, {});
        if (direct)
            client.DirectConnections = true;
        auto login = client.Login();
        ASSERT_TRUE(RunEventsUntil([&] { return login.Ready(); }));
        ASSERT_TRUE(*login.Wait({})) << client.LastError();
        std::uint16_t port = client.ListeningPort();
        std::string where = "127.0.0.1:" + std::to_string(port);
        EXPECT_EQ(ListeningSockets(), direct ? std::vector{where} : std::vector<std::string>{});
        ASSERT_TRUE(peer.WaitForEvent("signed-on", std::chrono::seconds(10)));
        std::string status = R"({"event": "status", "ip": ")" +
                             std::string(direct ? "127.0.0.1" : "0.0.0.0") + R"(", "port": )" +
                             std::to_string(port) + "}";
        auto events = peer.Events();
        EXPECT_NE(std::find(events.begin(), events.end(), status), events.end()) << status;
        EXPECT_EQ(port != 0, direct);
        client.LogOff();
        EXPECT_EQ(ListeningSockets(), std::vector<std::string>{});
    }
}

} // namespace
