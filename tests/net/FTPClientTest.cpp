// The FTP client against pyftpdlib and ProFTPD, started for each test; then exact command sequences and
// faults no real server produces, played by the line peer, which fails the test on any command not in
// its script (the scripts are tables in tests/data/net: line-peer, hostile-peers and logins).
#include "net/FTPClient.h"

#include "NetTestData.h"
#include "net/LogEventIntercept.h"
#include "net/NetErrors.h"
#include "net/TCPConnection.h"
#include "net/ThrottleIntercept.h"
#include "support/FTPServerFixture.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fmt/format.h>
#include <fstream>
#include <future>
#include <gmock/gmock.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <thread>
#include <utime.h>
#include <zlib.h>

using namespace zr::net;
using namespace quillate::testing;
using namespace std::chrono_literals;
using ::testing::_;
using ::testing::AllOf;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Pair;
using ::testing::Property;
using ::testing::Throws;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;
using std::chrono::system_clock;

namespace {

// Downloads into a local file from its current size on when resuming, else from the start.
void GetToFile(TFTPClient& client, const std::string& remote, const fs::path& local, bool resume = false) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(local.c_str(), resume ? "abe" : "wbe"),
                                               std::fclose);
    ASSERT_TRUE(file) << local;
    client.Get(remote, ::fileno(file.get()), resume ? static_cast<std::int64_t>(fs::file_size(local)) : -1,
               local.string());
}

// An EReplyError with this code whose text matches.
template <class TTextMatcher = decltype(::testing::_)>
auto ReplyError(int code, TTextMatcher text = ::testing::_) {
    return Throws<EReplyError>(AllOf(Property(&EReplyError::Code, code), Property(&EReplyError::what, text)));
}

struct TServerCase {
    TFTPServerKind Kind;
    std::string Address = "127.0.0.1";
    bool WithoutExtended = false; // EPSV and EPRT answered with 500
    TFTPServerTLS TLS = TFTPServerTLS::stNone;
    std::string TLSProtocol = {}; // forced by the server; empty: the newest both know
    bool ClearData = false;       // PROT C: only the control connection is protected
};

class FTPClientTest : public ::testing::TestWithParam<TServerCase> {
protected:
    void SetUp() override {
        Server = std::make_unique<TFTPTestServer>(GetParam().Kind);
        Server->SetAddress(GetParam().Address);
        if (GetParam().WithoutExtended)
            Server->SetWithoutExtendedDataCommands();
        Server->SetTLS(GetParam().TLS, GetParam().TLSProtocol);
        Server->Start();
        Client.Security = static_cast<TFTPSecurity>(GetParam().TLS);
        Client.SecureData = !GetParam().ClearData;
        AimAt(Client, Server->Port(), 10000ms);
        Client.Host = GetParam().Address;
        Client.Username = TFTPTestServer::User;
        Client.Password = TFTPTestServer::Password;
    }

    void TearDown() override {
        Client.Disconnect();
        if (HasFailure())
            std::cerr << "server output:\n" << Server->Output() << "\n";
    }

    fs::path Local(const std::string& name) const { return LocalDir.Path() / name; }
    fs::path Remote(const std::string& name) const { return Server->Home() / name; }

    // Uploads content as name, downloads it again, and checks both copies byte for byte.
    void RoundTrip(const std::string& name, const std::string& content) {
        WriteTextFile(Local(name), content);
        Client.Put(Local(name).string(), name);
        EXPECT_EQ(ReadTextFile(Remote(name)), content) << "upload of " << name;
        GetToFile(Client, name, Local(name + ".back"));
        EXPECT_EQ(ReadTextFile(Local(name + ".back")), content) << "download of " << name;
    }

    TScopedEnvironment Certificates{"SSL_CERT_FILE",
                                    (std::string(QUILLATE_TEST_DATA_DIR) + "/net/tls/ca.pem").c_str()};
    std::unique_ptr<TFTPTestServer> Server;
    TTempDir LocalDir{"quillate-local"};
    TFTPClient Client;
};

TEST_P(FTPClientTest, LoginFailureCarriesTheServerCodeButNotThePassword) {
    Client.Password = "wrong";
    auto refused = ReplyError(530, AllOf(HasSubstr("127.0.0.1:" + std::to_string(Server->Port())),
                                         ::testing::Not(HasSubstr("wrong"))));
    EXPECT_THAT([&] { Client.Connect(); }, refused);
    EXPECT_FALSE(Client.Connected());
}

// Transfers run on every server set-up: IPv4, IPv6 (EPSV, EPRT with protocol 2), and PASV / PORT
// after a server that knows no extended commands answers EPSV and EPRT with 500.
class FTPClientTransfers : public FTPClientTest {};

TEST_P(FTPClientTransfers, AreByteIdenticalBothWaysInBothModes) {
    Client.Connect();
    for (bool passive : {true, false}) {
        SCOPED_TRACE(passive ? "passive" : "active");
        Client.Passive = passive;
        std::string prefix = passive ? "p-" : "a-";
        RoundTrip(prefix + "big.bin", RandomBytes(3 * 1024 * 1024 + 17, 1));
        RoundTrip(prefix + "small.txt", "hello\r\nworld\n");
        RoundTrip(prefix + "empty", "");
        RoundTrip(prefix + "name with blanks.bin", RandomBytes(70000, 2));
        std::istringstream in(ReadTextFile(Remote(prefix + "big.bin")));
        Client.Put(in, prefix + "from-stream.bin");
        std::ostringstream out;
        Client.Get(prefix + "from-stream.bin", out);
        EXPECT_EQ(out.str(), in.str());
        std::vector<std::string> names;
        Client.List(names, "", false);
        EXPECT_THAT(names, ::testing::Contains(prefix + "from-stream.bin"));
    }
}

TEST_P(FTPClientTest, DownloadsAndUploadsResumeFromAnOffset) {
    Client.Connect();
    std::int64_t lastCount = -1;
    Client.OnWork = [&](TWorkMode, std::int64_t count) { lastCount = count; };
    std::string whole = RandomBytes(600000, 4);
    Server->PutFile("whole.bin", whole);
    WriteTextFile(Local("part.bin"), whole.substr(0, 250000));
    GetToFile(Client, "whole.bin", Local("part.bin"), true);
    EXPECT_EQ(ReadTextFile(Local("part.bin")), whole);
    EXPECT_EQ(lastCount, 350000) << "only the missing part travels";

    Server->PutFile("upload.bin", whole.substr(0, 100000));
    Client.Put(Local("part.bin").string(), "upload.bin", false, 100000);
    EXPECT_EQ(lastCount, 500000);
    EXPECT_EQ(ReadTextFile(Remote("upload.bin")), whole);
    Server->PutFile("append.bin", "head-");
    std::istringstream tail("tail");
    Client.Put(tail, "append.bin", true);
    EXPECT_EQ(ReadTextFile(Remote("append.bin")), "head-tail");
}

TEST_P(FTPClientTest, SizeDatesAndChecksums) {
    std::string content = RandomBytes(123457, 4);
    Server->PutFile("f.bin", content);
    Client.SetTransferType(TFTPTransferType::ftASCII);
    Client.Connect();
    EXPECT_EQ(Client.Size("f.bin"), 123457) << "SIZE must work in ASCII mode too";
    EXPECT_EQ(Client.Size("missing.bin"), -1);
    auto crc = crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(content.data()),
                     static_cast<uInt>(content.size()));
    EXPECT_EQ(Client.CRC("f.bin"), static_cast<std::int64_t>(crc));
    EXPECT_THROW(Client.CRC("missing.bin"), EReplyError);

    std::time_t when = 1591012800; // 2020-06-01 12:00:00 UTC
    Client.SetModTime("f.bin", system_clock::from_time_t(when) + 700ms);
    auto stored = std::chrono::file_clock::to_sys(fs::last_write_time(Remote("f.bin")));
    EXPECT_EQ(std::chrono::floor<std::chrono::seconds>(stored), system_clock::from_time_t(when));
    EXPECT_EQ(Client.FileDate("f.bin"), system_clock::from_time_t(when));
    EXPECT_THAT([&] { Client.FileDate("missing.bin"); }, ReplyError(550));
    // ASCII stays the transfer type after SIZE borrowed binary mode: the server's CR LF become LF.
    std::ostringstream out;
    Server->PutFile("lines.txt", "a\nb\n");
    Client.Get("lines.txt", out);
    EXPECT_EQ(out.str(), "a\nb\n");
}

TEST_P(FTPClientTest, DirectoryOperations) {
    Server->PutFile("old name.txt", "x");
    Client.Connect();
    EXPECT_EQ(Client.RetrieveCurrentDir(), "/");
    const std::string dir = "dir \"quoted\"";
    Client.MakeDir(dir);
    Client.ChangeDir(dir);
    EXPECT_EQ(Client.RetrieveCurrentDir(), "/" + dir);
    Client.ChangeDirUp();
    EXPECT_EQ(Client.RetrieveCurrentDir(), "/");
    EXPECT_THAT([&] { Client.ChangeDir("no-such-dir"); }, ReplyError(550, HasSubstr("CWD no-such-dir")));
    Client.Rename("old name.txt", dir + "/new name.txt");
    EXPECT_EQ(ReadTextFile(Remote(dir + "/new name.txt")), "x");
    // A line break or NUL in an argument would smuggle in a second command: nothing is sent.
    for (char c : {'\r', '\n', '\0'})
        EXPECT_THROW(Client.ChangeDir(std::string("x") + c + "DELE " + dir + "/new name.txt"),
                     EUnsafeCommand);
    EXPECT_THROW(Client.RemoveDir(dir), EReplyError) << "a folder with a file in it";
    Client.Delete(dir + "/new name.txt");
    Client.RemoveDir(dir);
    EXPECT_FALSE(fs::exists(Remote(dir)));
    EXPECT_THROW(Client.Delete("missing.txt"), EReplyError);
}

TEST_P(FTPClientTest, ListingsMatchWhatWasCreated) {
    std::time_t when = 1591012800; // 2020-06-01 12:00:00 UTC
    Server->PutFile("a.txt", std::string(10, 'a'));
    Server->PutFile("b c.bin", std::string(2000, 'b'));
    Server->MakeDir("sub");
    for (const char* name : {"a.txt", "b c.bin", "sub"}) {
        utimbuf times{when, when};
        ASSERT_EQ(::utime(Remote(name).c_str(), &times), 0);
    }
    Client.Connect();
    ASSERT_TRUE(Client.IsExtSupported("MLST"));
    for (bool mlsd : {true, false}) {
        SCOPED_TRACE(mlsd ? "MLSD" : "LIST");
        Client.UseMLSD = mlsd;
        Client.List();
        // Folder sizes differ between servers; ls shows a date this old without the time.
        std::vector<std::string> shown;
        for (const auto& item : Client.DirectoryListing())
            shown.push_back(
                fmt::format("{} {} {}", item.FileName,
                            item.ItemType == TFTPItemType::ditDirectory ? "dir" : std::to_string(item.Size),
                            item.ModifiedDate ? Stamp(*item.ModifiedDate, mlsd) : "none"));
        std::string date = mlsd ? "2020-06-01 12:00:00Z" : "2020-06-01 00:00:00";
        EXPECT_THAT(shown, ::testing::UnorderedElementsAre("a.txt 10 " + date, "b c.bin 2000 " + date,
                                                           "sub dir " + date));
    }
}

TEST_P(FTPClientTest, SendCmdChecksTheReplyCodeAndFeaturesAreKnown) {
    Client.UseHOST = true;
    Client.Connect();
    EXPECT_EQ(Client.SendCmd("NOOP", {250, 200}), 200);
    auto refused = [&] { Client.SendCmd("NOOP", {250, 500}); };
    EXPECT_THAT(refused, ReplyError(200, HasSubstr("NOOP on 127.0.0.1:")));
    EXPECT_GE(Client.SendCmd("BOGUSCMD"), 500) << "no expected codes: any reply is accepted";
    for (const char* security : {"AUTH TLS", "prot P", "CCC"})
        EXPECT_THROW(Client.SendCmd(security), EUnsafeCommand) << security;
    EXPECT_EQ(Client.SendCmd("FEAT", {211}), 211);
    EXPECT_GT(Client.LastReply().Lines.size(), 3u);
    for (const char* feature : {"HOST", "XCRC", "mfmt"})
        EXPECT_TRUE(Client.IsExtSupported(feature)) << feature;
    EXPECT_FALSE(Client.IsExtSupported("BOGUS"));
    EXPECT_THROW(Client.Connect(), EAlreadyConnected);
}

// Work events report the totals with and without a throttle on the data channel. The throttle holds
// 100 KiB/s within 15 % each way; the rate is the whole transfer's, set-up included.
TEST_P(FTPClientTest, WorkEventsReportTheTotalsAndTheThrottleHoldsItsRate) {
    const std::uint64_t bytesPerSecond = 100 * 1024;
    const std::string content = RandomBytes(3 * bytesPerSecond + 5, 5);
    WriteTextFile(Local("w.bin"), content);
    Client.Connect();
    std::vector<std::string> events;
    Client.OnWorkBegin = [&](TWorkMode m, std::int64_t n) {
        events.push_back(fmt::format("begin {} {}", m == TWorkMode::wmRead ? "read" : "write", n));
    };
    std::int64_t last = 0;
    Client.OnWork = [&](TWorkMode, std::int64_t n) {
        EXPECT_GT(n, last);
        last = n;
    };
    Client.OnWorkEnd = [&](TWorkMode) { events.push_back(fmt::format("end {}", last)); };
    auto rate = [&](bool throttled, auto transfer) {
        Client.OnDataChannelCreate = [&](TTCPConnection& data) {
            if (throttled)
                data.AddIntercept(std::make_shared<TThrottleIntercept>(bytesPerSecond * 8));
        };
        last = 0;
        auto start = Clock::now();
        transfer();
        return static_cast<double>(content.size()) / Seconds(Clock::now() - start).count() / bytesPerSecond;
    };
    rate(false, [&] { Client.Put(Local("w.bin").string(), "w.bin"); });
    EXPECT_NEAR(rate(true, [&] { Client.Put(Local("w.bin").string(), "w.bin"); }), 1.0, 0.15);
    EXPECT_NEAR(rate(true, [&] { GetToFile(Client, "w.bin", Local("w.back")); }), 1.0, 0.15);
    EXPECT_EQ(ReadTextFile(Local("w.back")), content);
    Client.List();
    // ProFTPD names the size in its 150 reply, pyftpdlib does not; listings are not file work.
    std::string size = std::to_string(content.size());
    std::string announced = GetParam().Kind == TFTPServerKind::skProFTPD ? size : "0";
    EXPECT_THAT(events, ::testing::ElementsAre("begin write " + size, "end " + size, "begin write " + size,
                                               "end " + size, "begin read " + announced, "end " + size));
}

// Over TLS the session cannot be kept (servers strike a session whose data connection ended without
// its close): the control connection is closed, so that the next action reconnects.
TEST_P(FTPClientTest, AbortEndsA200MiBTransferWithinOneSecondAndKeepsThePlainSession) {
    const std::uintmax_t size = 200ull * 1024 * 1024;
    // Sparse files: nothing to write up front, and the transfer still runs at full speed.
    for (const auto& path : {Local("big.bin"), Remote("big.bin")}) {
        std::ofstream{path};
        fs::resize_file(path, size);
    }
    Client.Connect();
    for (bool upload : {true, false}) {
        SCOPED_TRACE(upload ? "upload" : "download");
        std::atomic<std::int64_t> moved{0};
        Client.OnWork = [&](TWorkMode, std::int64_t n) { moved.store(n); };
        auto failedAt = std::async(std::launch::async, [&] {
            EXPECT_THROW(upload ? Client.Put(Local("big.bin").string(), "big-up.bin")
                                : GetToFile(Client, "big.bin", Local("big.back")),
                         EOperationAborted)
                << "after " << moved.load() << " bytes";
            return Clock::now();
        });
        // Abort once the transfer is surely under way and far from its end.
        auto waitUntil = Clock::now() + 20s;
        while (moved.load() < 4 * 1024 * 1024 && Clock::now() < waitUntil)
            std::this_thread::sleep_for(200us);
        auto abortAt = Clock::now();
        Client.Abort();
        EXPECT_LT(Seconds(failedAt.get() - abortAt).count(), 1.0);
        Client.OnWork = nullptr;
        if (GetParam().TLS != TFTPServerTLS::stNone) {
            EXPECT_FALSE(Client.Connected());
            if (upload)
                Client.Connect();
        } else if (upload) {
            // The next command first reads the reply the transfer still owes, then gets its own.
            EXPECT_EQ(Client.Size("big.bin"), static_cast<std::int64_t>(size));
        } else {
            // The goodbye reads it too, and still ends promptly.
            auto closeStart = Clock::now();
            Client.Disconnect();
            EXPECT_LT(Seconds(Clock::now() - closeStart).count(), 5.0);
        }
    }
    Client.Connect();
    Client.Noop();
}

TEST_P(FTPClientTest, DisconnectToleratesADeadServer) {
    Client.Connect();
    Server->Stop();
    auto deadline = Clock::now() + 3s;
    while (Client.Connected() && Clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(Client.Connected()) << "a closed control connection is seen without a command";
    auto start = Clock::now();
    Client.Disconnect();
    EXPECT_LT(Seconds(Clock::now() - start).count(), 4.0);
    EXPECT_THROW(Client.Noop(), ENotConnected);
}

// A real FTP proxy between client and server: the login names the server in the user name. The
// proxy speaks plain FTP only, so it runs against the plain servers.
class FTPClientProxyTest : public FTPClientTest {};

TEST_P(FTPClientProxyTest, LogsInAndTransfersThroughAUserAtHostProxy) {
    TFTPMagicUserProxy proxy;
    Client.ProxySettings.ProxyType = TFTPProxyType::fpcmUserSite;
    Client.ProxySettings.Host = "127.0.0.1";
    Client.ProxySettings.Port = proxy.Port();
    Client.Connect();
    RoundTrip("via-proxy.bin", RandomBytes(256 * 1024 + 1, 10));
    std::vector<std::string> names;
    Client.List(names, "", false);
    EXPECT_THAT(names, ::testing::Contains("via-proxy.bin"));
    // A wrong password is the server's refusal, passed on by the proxy.
    Client.Disconnect();
    Client.Password = "wrong";
    EXPECT_THROW(Client.Connect(), EReplyError);
}

std::string ServerCaseName(const ::testing::TestParamInfo<TServerCase>& info) {
    const auto& c = info.param;
    static const char* const tls[] = {"", "_Explicit", "_Implicit"};
    std::string variant = c.WithoutExtended ? "_PasvAndPortOnly" : c.Address == "::1" ? "_IPv6" : "";
    std::string protocol = c.TLSProtocol.empty() ? "" : "_TLSv1_" + std::string(1, c.TLSProtocol.back());
    return KindName(c.Kind) + variant + tls[static_cast<int>(c.TLS)] + protocol +
           (c.ClearData ? "_ClearData" : "");
}

void PrintTo(const TServerCase& c, std::ostream* out) {
    *out << ServerCaseName({c, 0});
}

constexpr auto Pyftpdlib = TFTPServerKind::skPyftpdlib, ProFTPD = TFTPServerKind::skProFTPD;

// A server that speaks TLS, forced to one protocol version when it is named.
TServerCase TLS(TFTPServerKind kind, TFTPServerTLS tls, std::string protocol = {}, bool clearData = false) {
    return {.Kind = kind, .TLS = tls, .TLSProtocol = protocol, .ClearData = clearData};
}

INSTANTIATE_TEST_SUITE_P(Servers, FTPClientTest,
                         ::testing::Values(TServerCase{Pyftpdlib}, TServerCase{ProFTPD},
                                           TLS(ProFTPD, TFTPServerTLS::stExplicit)),
                         ServerCaseName);

INSTANTIATE_TEST_SUITE_P(Servers, FTPClientProxyTest,
                         ::testing::Values(TServerCase{Pyftpdlib}, TServerCase{ProFTPD}), ServerCaseName);

// ProFTPD refuses data connections that do not resume the control connection's TLS session.
INSTANTIATE_TEST_SUITE_P(Servers, FTPClientTransfers,
                         ::testing::Values(TServerCase{Pyftpdlib}, TServerCase{ProFTPD},
                                           TServerCase{Pyftpdlib, "::1"}, TServerCase{ProFTPD, "::1"},
                                           TServerCase{Pyftpdlib, "127.0.0.1", true},
                                           TLS(ProFTPD, TFTPServerTLS::stExplicit, "TLSv1.2"),
                                           TLS(ProFTPD, TFTPServerTLS::stExplicit, "TLSv1.3"),
                                           TLS(ProFTPD, TFTPServerTLS::stImplicit, "TLSv1.2"),
                                           TLS(ProFTPD, TFTPServerTLS::stImplicit, "TLSv1.3"),
                                           TLS(Pyftpdlib, TFTPServerTLS::stExplicit, "TLSv1.2"),
                                           TLS(Pyftpdlib, TFTPServerTLS::stExplicit, "TLSv1.3", true)),
                         ServerCaseName);

class LinePeer : public ::testing::TestWithParam<json> {};

TEST_P(LinePeer, ReportsWhatTheClientSentAgainstTheScript) {
    const auto& c = GetParam();
    ::testing::TestPartResultArray failures;
    std::vector<std::string> blocks;
    {
        ::testing::ScopedFakeTestPartResultReporter reporter(
            ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
        TLinePeer peer({Script(c["script"])});
        TTCPConnection client;
        client.Connect("127.0.0.1", peer.Port(), 5000ms);
        client.Write(c["clientSends"].get<std::string>());
        if (!c.value("keepsOpen", false))
            client.Disconnect();
        peer.Finish();
        blocks = peer.Blocks();
    }
    const std::string expected = c["failure"];
    ASSERT_EQ(failures.size(), expected.empty() ? 0 : 1);
    if (!expected.empty()) {
        EXPECT_THAT(failures.GetTestPartResult(0).message(), HasSubstr(expected));
    }
    EXPECT_EQ(blocks, c.value("blocks", std::vector<std::string>{}));
}

INSTANTIATE_TEST_SUITE_P(Data, LinePeer, ::testing::ValuesIn(LoadCases("line-peer.json")), CaseName);

class ScriptedPeerTest : public ::testing::Test {
protected:
    void Start(std::vector<TLineScript> sessions) {
        Peer = std::make_unique<TLinePeer>(std::move(sessions));
        AimAt(Client, Peer->Port(), std::chrono::milliseconds(ReadTimeoutMs));
        Client.Username = TFTPTestServer::User;
        Client.Password = TFTPTestServer::Password;
    }
    static constexpr int ReadTimeoutMs = 600;
    std::unique_ptr<TLinePeer> Peer; // outlives the client, so the client's goodbye is checked too
    TFTPClient Client;
};

class HostilePeer : public ScriptedPeerTest, public ::testing::WithParamInterface<json> {};

TEST_P(HostilePeer, FailsWithATypedErrorWithinTheTimeout) {
    Start({Script(GetParam()["script"])});
    auto start = Clock::now();
    std::string fault = FaultOf([&] {
        Client.Connect();
        Client.List();
    });
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_THAT(fault, ::testing::StartsWith(GetParam()["fault"].get<std::string>()));
    EXPECT_LT(seconds, ReadTimeoutMs / 1000.0 + 3.0);
    EXPECT_GE(seconds, fault.starts_with("timeout") ? ReadTimeoutMs / 1000.0 * 0.9 : 0.0);
    EXPECT_EQ(Client.Connected(), GetParam().value("stays", false));
}

INSTANTIATE_TEST_SUITE_P(Data, HostilePeer, ::testing::ValuesIn(LoadCases("hostile-peers.json")), CaseName);

// Whatever address a PASV reply names (none, or another host), the data connection goes to the control
// connection's peer, and a named address is warned of once.
TEST_F(ScriptedPeerTest, PassiveDataConnectionsGoToThePeerAndEPSVIsNotAskedAgain) {
    TLineScript script = FTPLogin().Reply("EPSV", "500 EPSV not understood");
    for (const char* announced : {"0,0,0,0", "127,0,0,2", "127,0,0,2"})
        script.Then(FTPPasv(announced))
            .Reply("NLST", "150 Here it comes")
            .Then(FTPSendData("a.txt\r\nb c.txt\r\n"))
            .Send("226 Done");
    Start({script.Reply("QUIT", "221 Bye")});
    // Where the data connections go shows in their status texts.
    std::vector<std::string> status, warnings;
    Client.OnDataChannelCreate = [&](TTCPConnection& data) {
        data.AddIntercept(std::make_shared<TLogEventIntercept>(
            [&](TLogEventType, std::string_view text) { status.emplace_back(text); }));
    };
    Client.OnWarning = [&](const std::string& text) { warnings.push_back(text); };
    Client.Connect();
    std::vector<std::string> names;
    for (int i = 0; i < 3; ++i) {
        Client.List(names, "", false);
        EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "b c.txt"}));
    }
    Client.Disconnect();
    EXPECT_EQ(std::ranges::count_if(status,
                                    [](const auto& s) { return s.starts_with("Connecting to 127.0.0.1:"); }),
              3);
    EXPECT_THAT(status, ::testing::Not(Contains(HasSubstr("127.0.0.2"))));
    EXPECT_EQ(warnings,
              std::vector<std::string>{"The server named another address [127.0.0.2] for data connections; "
                                       "they go to its own address [127.0.0.1]"});
}

TEST_F(ScriptedPeerTest, ActiveDataConnectionsFromAnotherAddressAreRefused) {
    // The peer connects from 127.0.0.2 first; the client must close that one and take ours.
    Start({FTPLogin()
               .Then(FTPEprt("127.0.0.2"))
               .Reply("STOR up.bin", "150 Send it")
               .Then(FTPReceiveData())
               .Send("226 Stored")
               .Reply("QUIT", "221 Bye")});
    Client.Passive = false;
    Client.Connect();
    std::istringstream source("uploaded bytes");
    Client.Put(source, "up.bin");
    Client.Disconnect();
    Peer->Finish();
    EXPECT_EQ(Peer->Blocks(), std::vector<std::string>{"uploaded bytes"});
}

class Login : public ScriptedPeerTest, public ::testing::WithParamInterface<json> {};

TEST_P(Login, SendsTheExactCommandsAndLogsNoPassword) {
    using enum TFTPProxyType;
    static const std::map<std::string, TFTPProxyType> proxies{{"fpcmUserSite", fpcmUserSite},
                                                              {"fpcmSite", fpcmSite},
                                                              {"fpcmOpen", fpcmOpen},
                                                              {"fpcmUserPass", fpcmUserPass},
                                                              {"fpcmTransparent", fpcmTransparent}};
    Start({Script(GetParam()["script"])});
    std::vector<std::pair<TLogEventType, std::string>> log;
    Client.ControlConnection().AddIntercept(std::make_shared<TLogEventIntercept>(
        [&](TLogEventType type, std::string_view text) { log.emplace_back(type, std::string(text)); }));
    if (GetParam().contains("proxy")) {
        // The server behind the proxy is never resolved by the client.
        Client.Host = "ftp.example.org";
        Client.Port = 21;
        Client.ProxySettings = {proxies.at(GetParam()["proxy"]), "127.0.0.1", Peer->Port(), "fwuser",
                                "fwpass"};
    }
    Client.UseHOST = GetParam().value("useHost", false);
    Client.Connect();
    EXPECT_TRUE(Client.IsExtSupported("SIZE"));
    Client.Disconnect();
    EXPECT_THAT(log, Contains(Pair(TLogEventType::Sent, "PASS ***")));
    EXPECT_THAT(log, Contains(Pair(TLogEventType::Received, "211-Features:")));
    EXPECT_THAT(log, Contains(Pair(TLogEventType::Status, _)));
    for (const char* password : {"secret", "fwpass"})
        EXPECT_THAT(log, ::testing::Not(Contains(Pair(_, HasSubstr(password)))));
}

INSTANTIATE_TEST_SUITE_P(Data, Login, ::testing::ValuesIn(LoadCases("logins.json")), CaseName);

} // namespace
