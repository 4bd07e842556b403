// The FTP client against real servers: pyftpdlib and ProFTPD, each started for the test.
#include "support/FTPServerFixture.h"
#include "host/DateTime.h"
#include "net/FTPClient.h"
#include "net/NetErrors.h"
#include "net/ThrottleIntercept.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <future>
#include <random>
#include <sstream>
#include <thread>
#include <tuple>

using namespace zr::net;
using namespace quillate::testing;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::system_clock;

namespace {

std::string RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string data(size, '\0');
    for (auto& c : data)
        c = static_cast<char>(rng() & 0xff);
    return data;
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

void Configure(TFTPClient& client, const TFTPTestServer& server, const std::string& host = "127.0.0.1") {
    client.Host = host;
    client.Port = server.Port();
    client.Username = TFTPTestServer::User;
    client.Password = TFTPTestServer::Password;
    client.ConnectTimeout = std::chrono::milliseconds(5000);
    client.ReadTimeout = std::chrono::milliseconds(10000);
}

// Uploads content as name, downloads it again, and checks both copies byte for byte.
void RoundTrip(TFTPClient& client, const TFTPTestServer& server, const fs::path& localDir, const std::string& name,
               const std::string& content) {
    WriteTextFile(localDir / name, content);
    client.Put((localDir / name).string(), name);
    EXPECT_EQ(ReadTextFile(server.Home() / name), content) << "upload of " << name;
    client.Get(name, (localDir / (name + ".back")).string(), true);
    EXPECT_EQ(ReadTextFile(localDir / (name + ".back")), content) << "download of " << name;
}

bool Lists(TFTPClient& client, const std::string& name) {
    client.List();
    const auto& items = client.DirectoryListing();
    return std::any_of(items.begin(), items.end(), [&](const auto& i) { return i.FileName == name; });
}

class FTPClientTest : public ::testing::TestWithParam<TFTPServerKind> {
protected:
    void SetUp() override {
        Server = std::make_unique<TFTPTestServer>(GetParam());
        Server->Start();
        Configure(Client, *Server);
    }

    void TearDown() override {
        Client.Disconnect();
        if (HasFailure())
            std::cerr << "server output:\n" << Server->Output() << "\n";
    }

    fs::path Local(const std::string& name) const { return LocalDir.Path() / name; }
    fs::path Remote(const std::string& name) const { return Server->Home() / name; }

    std::unique_ptr<TFTPTestServer> Server;
    TTempDir LocalDir{"quillate-local"};
    TFTPClient Client;
};

TEST_P(FTPClientTest, LoginFailureCarriesTheServerCodeButNotThePassword) {
    Client.Password = "wrong";
    try {
        Client.Connect();
        FAIL() << "login with a wrong password succeeded";
    } catch (const EReplyError& e) {
        EXPECT_EQ(e.Code(), 530);
        EXPECT_NE(std::string(e.what()).find("127.0.0.1:" + std::to_string(Server->Port())), std::string::npos)
            << e.what();
        EXPECT_EQ(std::string(e.what()).find("wrong"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(Client.Connected());
}

TEST_P(FTPClientTest, TransfersBothWaysInBothModesAreByteIdentical) {
    Client.Connect();
    for (bool passive : {true, false}) {
        SCOPED_TRACE(passive ? "passive" : "active");
        Client.Passive = passive;
        std::string prefix = passive ? "p-" : "a-";
        RoundTrip(Client, *Server, LocalDir.Path(), prefix + "big.bin", RandomBytes(3 * 1024 * 1024 + 17, 1));
        RoundTrip(Client, *Server, LocalDir.Path(), prefix + "small.txt", "hello\r\nworld\n");
        RoundTrip(Client, *Server, LocalDir.Path(), prefix + "empty", "");
        RoundTrip(Client, *Server, LocalDir.Path(), prefix + "name with blanks.bin", RandomBytes(70000, 2));
        std::istringstream in(ReadTextFile(Remote(prefix + "big.bin")));
        Client.Put(in, prefix + "from-stream.bin");
        std::ostringstream out;
        Client.Get(prefix + "from-stream.bin", out);
        EXPECT_EQ(out.str(), in.str());
    }
}

TEST_P(FTPClientTest, DownloadsReplaceOrResumeLocalFilesOnlyWhenAllowed) {
    Server->PutFile("remote.txt", "new content");
    WriteTextFile(Local("keep.txt"), "old");
    Client.Connect();
    EXPECT_THROW(Client.Get("remote.txt", Local("keep.txt").string(), false, false), EFileError);
    // A refused download leaves the local file alone even when it may be replaced.
    EXPECT_THROW(Client.Get("missing.txt", Local("keep.txt").string(), true, false), EReplyError);
    EXPECT_EQ(ReadTextFile(Local("keep.txt")), "old");
    Client.Get("remote.txt", Local("keep.txt").string(), true, false);
    EXPECT_EQ(ReadTextFile(Local("keep.txt")), "new content");

    std::int64_t lastCount = -1;
    Client.OnWork = [&](TWorkMode, std::int64_t count) { lastCount = count; };
    std::string whole = RandomBytes(600000, 4);
    Server->PutFile("whole.bin", whole);
    WriteTextFile(Local("part.bin"), whole.substr(0, 250000));
    Client.Get("whole.bin", Local("part.bin").string(), false, true);
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
    auto crc = static_cast<std::int64_t>(
        crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(content.data()), static_cast<uInt>(content.size())));
    EXPECT_EQ(Client.CRC("f.bin"), crc);
    EXPECT_THROW(Client.CRC("missing.bin"), EReplyError);

    std::time_t when = 1591012800; // 2020-06-01 12:00:00 UTC
    Client.SetModTime("f.bin", system_clock::from_time_t(when) + std::chrono::milliseconds(700));
    struct stat st {};
    ASSERT_EQ(::stat(Remote("f.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, when);
    EXPECT_EQ(Client.FileDate("f.bin"), system_clock::from_time_t(when));
    try {
        Client.FileDate("missing.bin");
        FAIL() << "MDTM of a missing file succeeded";
    } catch (const EReplyError& e) {
        EXPECT_EQ(e.Code(), 550);
    }
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
    try {
        Client.ChangeDir("no-such-dir");
        FAIL() << "CWD into a missing folder succeeded";
    } catch (const EReplyError& e) {
        EXPECT_EQ(e.Code(), 550);
        EXPECT_NE(std::string(e.what()).find("CWD no-such-dir"), std::string::npos) << e.what();
    }
    Client.Rename("old name.txt", dir + "/new name.txt");
    EXPECT_EQ(ReadTextFile(Remote(dir + "/new name.txt")), "x");
    // A line break or NUL in an argument would smuggle in a second command: nothing is sent.
    for (char c : {'\r', '\n', '\0'})
        EXPECT_THROW(Client.ChangeDir(std::string("x") + c + "DELE " + dir + "/new name.txt"), EUnsafeCommand);
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
    Server->PutFile("sub/inner.txt", "i");
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
        auto items = Client.DirectoryListing();
        std::sort(items.begin(), items.end(), [](auto& a, auto& b) { return a.FileName < b.FileName; });
        ASSERT_EQ(items.size(), 3u);
        const std::tuple<std::string, TFTPItemType, std::int64_t> expected[] = {
            {"a.txt", TFTPItemType::ditFile, 10}, {"b c.bin", TFTPItemType::ditFile, 2000}, {"sub", TFTPItemType::ditDirectory, -2}};
        for (std::size_t i = 0; i < items.size(); ++i) {
            const auto& [name, type, size] = expected[i];
            EXPECT_EQ(items[i].FileName, name);
            EXPECT_EQ(items[i].ItemType, type);
            EXPECT_TRUE(size < 0 || items[i].Size == size) << name << " " << items[i].Size;
            ASSERT_TRUE(items[i].ModifiedDate.has_value()) << name;
            if (mlsd) {
                EXPECT_EQ(items[i].ModifiedDate, system_clock::from_time_t(when)) << name;
            } else { // ls shows a date this old with its day only, on the server's clock
                EXPECT_EQ(std::floor(quillate::TimePointToDateTime(*items[i].ModifiedDate)),
                          std::floor(quillate::UnixToDateTime(when)))
                    << name;
            }
        }
    }
    std::vector<std::string> names;
    Client.List(names, "sub", false);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_NE(names[0].find("inner.txt"), std::string::npos);
    Client.List("sub");
    ASSERT_EQ(Client.DirectoryListing().size(), 1u);
    EXPECT_EQ(Client.DirectoryListing()[0].FileName, "inner.txt");
}

TEST_P(FTPClientTest, SendCmdChecksTheReplyCodeAndFeaturesAreKnown) {
    Client.UseHOST = true;
    Client.Connect();
    EXPECT_EQ(Client.SendCmd("NOOP", {250, 200}), 200);
    try {
        Client.SendCmd("NOOP", {250, 500});
        FAIL() << "a non-matching reply was accepted";
    } catch (const EReplyError& e) {
        EXPECT_EQ(e.Code(), 200);
        EXPECT_NE(std::string(e.what()).find("NOOP on 127.0.0.1:"), std::string::npos) << e.what();
    }
    EXPECT_GE(Client.SendCmd("BOGUSCMD"), 500) << "no expected codes: any reply is accepted";
    EXPECT_EQ(Client.SendCmd("FEAT", {211}), 211);
    EXPECT_GT(Client.LastReply().Lines.size(), 3u);
    for (const char* feature : {"HOST", "XCRC", "mfmt"})
        EXPECT_TRUE(Client.IsExtSupported(feature)) << feature;
    EXPECT_FALSE(Client.IsExtSupported("BOGUS"));
    EXPECT_THROW(Client.Connect(), EAlreadyConnected);
}

TEST_P(FTPClientTest, WorkEventsReportTheTotals) {
    const std::string content = RandomBytes(300 * 1024 + 5, 5);
    WriteTextFile(Local("w.bin"), content);
    auto size = static_cast<std::int64_t>(content.size());
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
    for (bool throttled : {false, true}) { // with and without a pacing intercept on the channel
        Client.OnDataChannelCreate = [throttled](TTCPConnection& data) {
            if (throttled)
                data.AddIntercept(std::make_shared<TThrottleIntercept>(1'000'000'000));
        };
        last = 0;
        Client.Put(Local("w.bin").string(), "w.bin");
    }
    last = 0;
    Client.Get("w.bin", Local("w.back").string(), true);
    Client.List();
    // ProFTPD names the size in its 150 reply, pyftpdlib does not; listings are not file work.
    std::string announced = GetParam() == TFTPServerKind::skProFTPD ? std::to_string(size) : "0";
    std::string done = fmt::format("end {}", size);
    EXPECT_EQ(events, (std::vector<std::string>{fmt::format("begin write {}", size), done,
                                                fmt::format("begin write {}", size), done, "begin read " + announced,
                                                done}));
}

TEST_P(FTPClientTest, ThrottleHoldsHundredKiBPerSecondWithinFifteenPercent) {
    // Three seconds' worth at 100 KiB/s, each way; the rate is the whole transfer's, set-up included.
    const std::uint64_t bytesPerSecond = 100 * 1024;
    const std::size_t size = 3 * bytesPerSecond;
    WriteTextFile(Local("t.bin"), RandomBytes(size, 6));
    Client.Connect();
    Client.OnDataChannelCreate = [&](TTCPConnection& data) {
        data.AddIntercept(std::make_shared<TThrottleIntercept>(bytesPerSecond * 8));
    };
    auto rate = [&](auto transfer) {
        auto start = Clock::now();
        transfer();
        return static_cast<double>(size) / Seconds(Clock::now() - start);
    };
    EXPECT_NEAR(rate([&] { Client.Put(Local("t.bin").string(), "t.bin"); }) / bytesPerSecond, 1.0, 0.15);
    EXPECT_NEAR(rate([&] { Client.Get("t.bin", Local("t.back").string()); }) / bytesPerSecond, 1.0, 0.15);
    EXPECT_EQ(ReadTextFile(Local("t.back")), ReadTextFile(Local("t.bin")));
}

TEST_P(FTPClientTest, AbortEndsA200MiBTransferWithinOneSecondAndKeepsTheSession) {
    const std::uintmax_t size = 200ull * 1024 * 1024;
    // Sparse files: nothing to write up front, and the transfer still runs at full speed.
    { std::ofstream(Local("big.bin")); }
    fs::resize_file(Local("big.bin"), size);
    { std::ofstream(Remote("big.bin")); }
    fs::resize_file(Remote("big.bin"), size);
    Client.Connect();
    for (bool upload : {true, false}) {
        SCOPED_TRACE(upload ? "upload" : "download");
        std::atomic<std::int64_t> moved{0};
        Client.OnWork = [&](TWorkMode, std::int64_t n) { moved.store(n); };
        std::promise<Clock::time_point> failedAt;
        std::string what;
        std::thread worker([&] {
            try {
                if (upload)
                    Client.Put(Local("big.bin").string(), "big-up.bin");
                else
                    Client.Get("big.bin", Local("big.back").string(), true);
                what = "completed";
            } catch (const EOperationAborted&) {
                what = "aborted";
            } catch (const std::exception& e) {
                what = std::string("other: ") + e.what();
            }
            failedAt.set_value(Clock::now());
        });
        // Abort once the transfer is surely under way and far from its end.
        auto waitUntil = Clock::now() + std::chrono::seconds(20);
        while (moved.load() < 4 * 1024 * 1024 && Clock::now() < waitUntil)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        auto abortAt = Clock::now();
        Client.Abort();
        auto done = failedAt.get_future().get();
        worker.join();
        Client.OnWork = nullptr;
        EXPECT_EQ(what, "aborted") << "after " << moved.load() << " bytes";
        EXPECT_LT(Seconds(done - abortAt), 1.0);
        if (upload) {
            // The next command first reads the reply the transfer still owes, then gets its own.
            EXPECT_EQ(Client.Size("big.bin"), static_cast<std::int64_t>(size));
        } else {
            // The goodbye reads it too, and still ends promptly.
            auto closeStart = Clock::now();
            Client.Disconnect();
            EXPECT_LT(Seconds(Clock::now() - closeStart), 5.0);
        }
    }
    Client.Connect();
    Client.Noop();
}

TEST_P(FTPClientTest, DisconnectToleratesADeadServer) {
    Client.Connect();
    Server->Stop();
    auto deadline = Clock::now() + std::chrono::seconds(3);
    while (Client.Connected() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(Client.Connected()) << "a closed control connection is seen without a command";
    auto start = Clock::now();
    Client.Disconnect();
    EXPECT_LT(Seconds(Clock::now() - start), 4.0);
    EXPECT_THROW(Client.Noop(), ENotConnected);
}

// A real FTP proxy between client and server: the login names the server in the user name.
TEST_P(FTPClientTest, LogsInAndTransfersThroughAUserAtHostProxy) {
    TFTPMagicUserProxy proxy;
    Client.ProxySettings.ProxyType = TFTPProxyType::fpcmUserSite;
    Client.ProxySettings.Host = "127.0.0.1";
    Client.ProxySettings.Port = proxy.Port();
    Client.Connect();
    RoundTrip(Client, *Server, LocalDir.Path(), "via-proxy.bin", RandomBytes(256 * 1024 + 1, 10));
    EXPECT_TRUE(Lists(Client, "via-proxy.bin"));
    // A wrong password is the server's refusal, passed on by the proxy.
    Client.Disconnect();
    Client.Password = "wrong";
    EXPECT_THROW(Client.Connect(), EReplyError);
}

INSTANTIATE_TEST_SUITE_P(Servers, FTPClientTest,
                         ::testing::Values(TFTPServerKind::skPyftpdlib, TFTPServerKind::skProFTPD),
                         [](const auto& info) { return KindName(info.param); });

// Data connections over IPv6 (EPSV, EPRT with protocol 2), and PASV / PORT after a server that
// knows no extended commands answers EPSV and EPRT with 500.
struct TAddressCase {
    TFTPServerKind Kind;
    std::string Address;
    bool WithoutExtended;
};

class FTPClientAddressTest : public ::testing::TestWithParam<TAddressCase> {};

TEST_P(FTPClientAddressTest, TransfersAndListsInBothModes) {
    const auto& param = GetParam();
    TFTPTestServer server(param.Kind);
    server.SetAddress(param.Address);
    if (param.WithoutExtended)
        server.SetWithoutExtendedDataCommands();
    server.Start();
    TTempDir local("quillate-local");
    TFTPClient client;
    Configure(client, server, param.Address);
    client.Connect();
    for (bool passive : {true, false}) {
        SCOPED_TRACE(passive ? "passive" : "active");
        client.Passive = passive;
        std::string name = passive ? "passive.bin" : "active.bin";
        RoundTrip(client, server, local.Path(), name, RandomBytes(512 * 1024 + 3, 9));
        EXPECT_TRUE(Lists(client, name));
    }
    client.Disconnect();
    if (HasFailure())
        std::cerr << "server output:\n" << server.Output() << "\n";
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, FTPClientAddressTest,
    ::testing::Values(TAddressCase{TFTPServerKind::skPyftpdlib, "::1", false},
                      TAddressCase{TFTPServerKind::skProFTPD, "::1", false},
                      TAddressCase{TFTPServerKind::skPyftpdlib, "127.0.0.1", true}),
    [](const auto& info) {
        return KindName(info.param.Kind) + (info.param.WithoutExtended ? "_PasvAndPortOnly" : "_IPv6");
    });

} // namespace
