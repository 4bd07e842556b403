// The ICQ client and its sockets against the scripted OSCAR peer, reached directly and through Dante
// (SOCKS4, SOCKS5 with and without a user) and tinyproxy (CONNECT); failing connections and proxies; a
// disconnect during the redirect; where it listens. "Send ICQ Message" case by case from
// tests/data/icq/send.json (its head gives the format); no run may show a password in its log.
#include "icq/ICQClient.h"

#include "ActionCases.h"
#include "host/CryptoUtils.h"
#include "host/MainThread.h"
#include "icq/action/ZRICQAction.h"
#include "support/DanteFixture.h"
#include "support/HTTPServerFixture.h"
#include "support/LinePeer.h"
#include "support/OSCARPeerFixture.h"

#include <arpa/inet.h>
#include <atomic>
#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <optional>
#include <sys/socket.h>
#include <thread>

using namespace quillate;
using namespace quillate::testing;
using namespace zr::icq;
using json = TCase;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ::testing::Contains;

namespace {

void PostToMainThread(std::function<void()> event) {
    TMainThread::Instance().Queue(std::move(event));
}

// A scripted OSCAR peer, started, and a client aimed at it.
struct TPeerAndClient {
    explicit TPeerAndClient(const TOSCARPeer::TScript& script = {}) : Peer(script) {
        Peer.Start();
        Client.UIN = TOSCARPeer::UIN;
        Client.Password = script.Password;
        Client.ICQServer = "127.0.0.1";
        Client.ICQPort = Peer.Port();
    }
    TOSCARPeer Peer;
    TICQClient Client{PostToMainThread};
};

// Runs the main thread's events until done() or the time is up.
bool RunEventsUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 30s) {
    auto until = Clock::now() + limit;
    auto wake = TMainThread::Instance().SetTimer(20ms, [] {});
    TMainThread::Instance().RunUntil([&] { return done() || Clock::now() > until; });
    TMainThread::Instance().KillTimer(wake);
    return done();
}

class Proxies : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        (Open = std::make_unique<TDanteProxy>(false))->Start();
        (Strict = std::make_unique<TDanteProxy>(true))->Start();
        (HTTP = std::make_unique<THTTPTestServer>())->Start();
    }
    static void TearDownTestSuite() { Open.reset(), Strict.reset(), HTTP.reset(); }
    // A proxy on 127.0.0.1 at this port.
    static TProxySettings Via(TProxyType kind, std::uint16_t port, std::string user = "",
                              std::string password = "", bool resolve = false) {
        return {kind, "127.0.0.1", port, user, password, !user.empty(), resolve};
    }
    static inline std::unique_ptr<TDanteProxy> Open, Strict;
    static inline std::unique_ptr<THTTPTestServer> HTTP;
};

TEST_F(Proxies, SignOnAndMessageThroughEachKind) {
    const std::tuple<const char*, TProxySettings, const char*> routes[] = {
        {"direct", {}, "direct"},
        {"socks4", Via(ptSocks4, Open->Port()), "socks"},
        {"socks5", Via(ptSocks5, Open->Port()), "socks"},
        {"socks5 with user", Via(ptSocks5, Strict->Port(), TDanteProxy::User, TDanteProxy::Password),
         "socks"},
        {"https", Via(ptHTTPS, HTTP->ProxyPort(), THTTPTestServer::ProxyUser, THTTPTestServer::ProxyPassword),
         "https"},
    };
    for (const auto& [name, proxy, reach] : routes) {
        SCOPED_TRACE(name);
        TPeerAndClient session({.Reach = reach});
        auto& [peer, client] = session;
        client.Proxy = proxy;
        auto login = client.Login(); // ready once OnLogin or OnConnectionFailed has run
        ASSERT_TRUE(RunEventsUntil([&] { return login.Ready(); })) << client.LastError();
        ASSERT_TRUE(client.LoggedIn()) << client.LastError();
        client.SendMessage(1002, "via proxy");
        client.LogOff();
        ASSERT_TRUE(peer.WaitForEvent("goodbye", 10s));
        EXPECT_THAT(peer.Events(), Contains(R"({"event": "message", "to": "1002", "text": "via proxy"})"));
        EXPECT_THAT(peer.Events(), ::testing::Each(::testing::Not(::testing::HasSubstr("\"error\""))));
    }
}

// Texts that come through OnConnectError start with "connect: ", the others through OnError.
TEST_F(Proxies, FailuresGiveTheirTexts) {
    // A scripted HTTPS proxy: no real proxy answers a CONNECT with 200 and another reason phrase.
    TLinePeer odd({TLineScript()
                       .Expect("CONNECT 127.0.0.1:9 HTTP/1.0")
                       .ExpectLike("User-Agent: *")
                       .Expect("")
                       .Send("HTTP/1.0 200 OK Fine")
                       .Send("")
                       .Hang()});
    TSocket closed = BoundSocket("127.0.0.1");
    const std::string local = "127.0.0.1";
    const std::tuple<std::string, std::uint16_t, TProxySettings, std::string> cases[] = {
        {"no-such-host.invalid", 5190, {}, "Could not resolve host"},
        {"bad\r\nhost", 5190, Via(ptHTTPS, HTTP->ProxyPort(), "", "", true), "Could not resolve host"},
        {local, closed.LocalPort(), {}, "connect: Could not connect"},
        {local, 9, Via(ptSocks5, Strict->Port()), "connect: Auth methods are not supported by SOCKS5 server"},
        {local, 9, Via(ptSocks4, Strict->Port()), "connect: SOCKS4 server cannot connect to remote server"},
        {local, 9, Via(ptSocks5, Strict->Port(), TDanteProxy::User, "wrong"),
         "connect: SOCKS5 server cannot authenticate"},
        {local, 9, Via(ptHTTPS, odd.Port()), "Http proxy returned invalid status: 200 ok fine"},
    };
    TICQIo io;
    for (const auto& [host, port, proxy, text] : cases) {
        SCOPED_TRACE(text);
        auto socket = TEventSocket::Create(io.Context(), PostToMainThread, proxy);
        std::string error, connectError;
        int connectsAndDisconnects = 0;
        socket->OnError = [&](TErrorType, const std::string& message) { error = message; };
        socket->OnConnectError = [&] { connectError = "connect: " + socket->LastErrMsg(); };
        socket->OnConnect = socket->OnDisconnect = [&] { ++connectsAndDisconnects; };
        socket->Connect(host, port);
        ASSERT_TRUE(RunEventsUntil([&] { return !error.empty() || !connectError.empty(); }));
        EXPECT_EQ(text.starts_with("connect: ") ? connectError : error, text);
        EXPECT_EQ(connectsAndDisconnects, 0);
        socket->Close();
    }
}

// The action's stop reaches the client on the action's thread while the login server holds the
// redirect: the login ends at once, its event still comes on the main thread, and nothing connects
// when the redirect comes.
TEST(Client, DisconnectWhileTheRedirectIsHeldEndsTheLoginForGood) {
    TPeerAndClient session({.Mode = "hold-redirect"});
    auto& [peer, client] = session;
    std::vector<std::thread::id> failedOn;
    client.OnConnectionFailed = [&] { failedOn.push_back(std::this_thread::get_id()); };
    auto login = client.Login();
    ASSERT_TRUE(peer.WaitForEvent("identified", 10s));
    auto stopped = Clock::now();
    std::size_t seen = peer.EventNames().size();
    std::optional<bool> loggedIn;
    std::atomic<bool> done = false;
    std::thread action([&] {
        client.Disconnect();
        loggedIn = login.Wait({}, 1s);
        done = true;
    });
    RunEventsUntil([&] { return done.load(); });
    action.join();
    EXPECT_LT(Clock::now() - stopped, 1s);
    EXPECT_EQ(loggedIn, false);
    ASSERT_TRUE(peer.WaitForEvent("redirect-sent", 5s));
    RunEventsUntil([] { return false; }, 300ms);
    EXPECT_EQ(failedOn, std::vector{std::this_thread::get_id()});
    // The peer's own line is all it saw afterwards: no connection to either server.
    auto names = peer.EventNames();
    EXPECT_EQ(std::vector(names.begin() + static_cast<std::ptrdiff_t>(seen), names.end()),
              std::vector<std::string>{"redirect-sent"});
}

// The IPv4 sockets this process listens on, as "address:port".
std::vector<std::string> ListeningSockets() {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        int fd = std::stoi(entry.path().filename().string()), listening = 0;
        sockaddr_in address{};
        socklen_t optionSize = sizeof listening, addressSize = sizeof address;
        if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &optionSize) == 0 && listening &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &addressSize) == 0 &&
            address.sin_family == AF_INET)
            found.push_back(std::string(inet_ntoa(address.sin_addr)) + ":" +
                            std::to_string(ntohs(address.sin_port)));
    }
    return found;
}

// Off (as it starts), nothing listens and the status names no address or port; on, one socket
// listens on the address the client connects from, on the port the status names, until log-off.
TEST(Client, ListensForDirectConnectionsOnlyWhenAskedAndWhereItConnectsFrom) {
    for (bool direct : {false, true}) {
        SCOPED_TRACE(direct ? "on" : "off");
        TPeerAndClient session;
        auto& [peer, client] = session;
        if (direct)
            client.DirectConnections = true;
        auto login = client.Login();
        ASSERT_TRUE(RunEventsUntil([&] { return login.Ready(); }));
        ASSERT_TRUE(*login.Wait({})) << client.LastError();
        std::uint16_t port = client.ListeningPort();
        std::string where = "127.0.0.1:" + std::to_string(port);
        EXPECT_EQ(ListeningSockets(), direct ? std::vector{where} : std::vector<std::string>{});
        ASSERT_TRUE(peer.WaitForEvent("signed-on", 10s));
        std::string status = R"({"event": "status", "ip": ")" +
                             std::string(direct ? "127.0.0.1" : "0.0.0.0") + R"(", "port": )" +
                             std::to_string(port) + "}";
        EXPECT_THAT(peer.Events(), Contains(status));
        EXPECT_EQ(port != 0, direct);
        client.LogOff();
        EXPECT_EQ(ListeningSockets(), std::vector<std::string>{});
    }
}

class ICQSend : public ::testing::TestWithParam<json> {};

TEST_P(ICQSend, DoesWhatTheCaseExpects) {
    json c = GetParam();
    const json peerScript = c.value("peer", json::object());
    TOSCARPeer::TScript script;
    script.Mode = peerScript.value("mode", script.Mode);
    script.SMS = peerScript.value("sms", script.SMS);
    script.Split = peerScript.value("split", false);
    script.Password = peerScript.value("password", script.Password);
    TOSCARPeer peer(script);
    peer.Start();

    json properties = {
        {"ICQNumber", std::to_string(TOSCARPeer::UIN)}, {"Server", "127.0.0.1"}, {"Port", peer.Port()}};
    properties.update(json::parse(R"({"ToICQNumber": "1002", "TheMessage": "Hello", "LoginTimeout": 20})"));
    properties.update(c.value("properties", json::object()));
    std::string password = properties.value("password", script.Password);
    properties.erase("password");
    properties["Cookie"] = EncryptString(password, zr::TICQAction::PasswordKey);
    if (properties["Port"] == "${refused}")
        properties["Port"] = BoundSocket("127.0.0.1").LocalPort(); // bound, never listening
    json action = {{"type", "action.icq.post"}, {"properties", properties}};

    TPackageRun::TDuring during;
    Clock::time_point stopped;
    bool terminate = c.contains("terminateAtEvent");
    if (terminate || c.contains("stopAtEvent"))
        during = [&](TRunner& runner, TProject& project) {
            ASSERT_TRUE(peer.WaitForEvent(c[terminate ? "terminateAtEvent" : "stopAtEvent"], 30s));
            stopped = Clock::now();
            if (terminate)
                project.Actions.front()->TerminateAction();
            else
                StopFromMainThread(runner);
        };
    auto started = Clock::now();
    TRunOutcome outcome;
    std::string log = RunCase(c, action, outcome, during);
    // Each way to fail is noticed as it happens: well before the 20 s login time-out ends the wait.
    EXPECT_LT(Clock::now() - started, 10s) << log;
    if (stopped != Clock::time_point()) {
        EXPECT_LT(Clock::now() - stopped, 1s) << log;
    }
    EXPECT_EQ(OutcomeName(outcome), c["outcome"]) << log;
    ExpectCaseLog(c, log, {script.Password.c_str(), password.c_str()});

    // The peer records what it reads on its own thread, which may be just after the run has ended (the
    // goodbye, or a sign-on the action gave up right after): give it a moment for each event the case names.
    for (const auto& name : c.value("events", json::array()))
        peer.WaitForEvent(name.get<std::string>(), 10s);
    const auto events = peer.EventNames();
    std::string shown = json(peer.Events()).dump(1);
    auto at = events.begin();
    for (const auto& name : c.value("events", json::array())) {
        at = std::find(at, events.end(), name.get<std::string>());
        ASSERT_NE(at, events.end()) << name << " not in order in " << shown;
        ++at;
    }
    for (const auto& name : c.value("noEvents", json::array()))
        EXPECT_EQ(std::count(events.begin(), events.end(), name.get<std::string>()), 0)
            << name << " in " << shown;
    EXPECT_EQ(std::count(events.begin(), events.end(), "error"), 0) << shown;
    // A recorded event holds every field the case names, with the case's value.
    for (const auto& wanted : c.value("recorded", json::array())) {
        auto holds = [&](const std::string& line) {
            json event = json::parse(line), merged = event;
            merged.update(wanted);
            return merged == event;
        };
        EXPECT_TRUE(std::ranges::any_of(peer.Events(), holds)) << wanted.dump() << " not in " << shown;
    }
}

INSTANTIATE_TEST_SUITE_P(Data, ICQSend, ::testing::ValuesIn(LoadCases("icq/send.json")), CaseName);

} // namespace
