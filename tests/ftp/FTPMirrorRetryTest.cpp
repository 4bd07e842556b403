// The mirror's recovery from a broken upload and its skew probe, with the fault-injecting proxy of
// tests/servers in front of a real server; the runs are rows of tests/data/ftp/mirror/retry.json.
#include "ActionCases.h"
#include "support/FTPServerFixture.h"

#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <optional>
#include <regex>
#include <stdexcept>
#include <thread>

using namespace quillate;
using namespace quillate::testing;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

namespace {

// With no mode the proxy cuts the first data connection after cutAfter bytes; the modes are described
// in fault_proxy.py. Over TLS the proxy cannot follow the commands: the server itself cuts instead.
struct TFaultProxy {
    TFaultProxy(std::uint16_t serverPort, std::size_t cutAfter, const std::string& mode) {
        std::vector<std::string> argv = {"/usr/bin/python3", (ServersDir() / "fault_proxy.py").string(),
                                         std::to_string(Port), std::to_string(serverPort),
                                         std::to_string(cutAfter)};
        if (!mode.empty())
            argv.push_back(mode);
        Process.Start(
            {.Argv = argv, .WorkDir = Dir.Path(), .LogFile = Dir.Path() / "proxy.log", .Port = Port});
    }

    TTempDir Dir{"quillate-proxy"};
    TServerProcess Process;
    std::uint16_t Port = FindFreePort();
};

// The server a row names as KindName writes it.
TFTPServerKind ServerNamed(const std::string& name) {
    for (auto kind : {TFTPServerKind::skPyftpdlib, TFTPServerKind::skProFTPD, TFTPServerKind::skPureFTPd,
                      TFTPServerKind::skVsftpd})
        if (KindName(kind) == name)
            return kind;
    throw std::invalid_argument("no server " + name);
}

class FTPMirrorRetry : public ::testing::TestWithParam<TCase> {};

// A file cut half way is resumed from the server's size, one whose STOR never reached the server (so the
// server reports no size) is sent again whole. With retries off the one recovery pass accepts a file that
// arrived whole although the server's confirmation was lost, and fails one that arrived in part.
TEST_P(FTPMirrorRetry, TheRecoveryJudgesByTheServerSize) {
    const TCase& c = GetParam();
    const bool tls = c.value("tls", false), whole = c.at("whole");
    auto ca = TrustTestCA();
    TFTPTestServer server(ServerNamed(c.at("server")));
    std::optional<TFaultProxy> proxy;
    if (tls) {
        server.SetTLS(TFTPServerTLS::stExplicit);
        server.SetUploadCut(1 << 20);
        server.Start();
    } else {
        server.Start();
        proxy.emplace(server.Port(), 1 << 20, c.at("proxy"));
    }
    std::string connect =
        tls ? SiteConnectJson(server.Port(), R"("Security":"fsExplicit")") : SiteConnectJson(proxy->Port);
    TTempDir local("quillate-retry");
    // Far more than loopback buffers hold, so the client sees a cut while still sending.
    const std::map<std::string, std::string> files = {{"a-big.bin", std::string(16 << 20, 'r')},
                                                      {"b.txt", "small"},
                                                      {"sub/c.bin", std::string(300000, 'c')}};
    for (const auto& [name, content] : files)
        WriteFileIn(local.Path() / name, content);
    std::string retry = R"("ResumeOnFailedTransfer":true)";
    if (const int retries = c.at("retries"); retries > 0)
        retry += R"(,"RetryTransferOnAllErrors":true,"TransferMaxRetries":)" + std::to_string(retries);
    TPackageRun run;
    auto lines = run.Run(R"({"actions":[)" + connect + R"(,
          {"type":"action.ftp.mirror","properties":{"ConnectionName":"Site","LocalDir":")" +
                         local.Path().string() + R"(","Recursive":true,"SkipSkewCheck":true,"LogFiles":true,"ParallelTransfers":1},
           "children":[{"type":"ftp.retry.options","properties":{)" +
                         retry + R"(}},
                       {"type":"ftp.logging.options","properties":{"LogConnectionStatus":true}}]}]})");
    EXPECT_EQ(run.Outcome, whole ? TRunOutcome::Succeeded : TRunOutcome::Failed)
        << ::testing::PrintToString(lines);
    for (std::string line : c.at("lines"))
        EXPECT_THAT(lines, Contains(HasSubstr(line)));
    for (std::string line : c.at("absent"))
        EXPECT_THAT(lines, Not(Contains(HasSubstr(line))));
    // The reconnect shows in the connection status log: "05/12/2026 9:41:07 pm [connected] : ...".
    static const std::regex status(R"(^\d\d/\d\d/\d{4} \d{1,2}:\d\d:\d\d (am|pm) \[connected\] : .*)");
    EXPECT_TRUE(
        std::any_of(lines.begin(), lines.end(), [](const auto& l) { return std::regex_match(l, status); }));
    if (whole) {
        // Compared whole, never printed: a diff of 16 MiB strings would exhaust the machine.
        for (const auto& [name, content] : files)
            EXPECT_TRUE(ReadTextFile(server.Home() / name) == content) << name << " differs";
    } else {
        // What arrived went to a temporary name, removed when the upload was given up.
        for (const auto& entry : fs::recursive_directory_iterator(server.Home()))
            EXPECT_EQ(entry.path().filename().string().find("a-big.bin"), std::string::npos) << entry.path();
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, FTPMirrorRetry,
                         ::testing::ValuesIn(LoadCases("ftp/mirror/retry.json")["faults"]), CaseName);

class FTPMirrorRoundTrip : public ::testing::TestWithParam<TCase> {};

// Up, down into another folder, then up again with nothing to do: the three trees are byte for byte the
// same, whatever carries the transfers, breaks them or limits the connections.
TEST_P(FTPMirrorRoundTrip, GivesIdenticalTrees) {
    const TCase& c = GetParam();
    const bool tls = c.value("tls", false);
    auto ca = TrustTestCA();
    TFTPTestServer server(ServerNamed(c.at("server")));
    server.SetMaxClientsPerUser(c.value("maxClients", 0));
    if (tls)
        server.SetTLS(TFTPServerTLS::stExplicit);
    server.Start();
    std::unique_ptr<TFaultProxy> proxy;
    if (c.contains("proxy"))
        proxy = std::make_unique<TFaultProxy>(server.Port(), 1 << 20, c["proxy"]);
    TTempDir local("quillate-trip");
    // Folders with five subfolders each: deep enough to be listed whole where the server can.
    for (int i = 0; i < 24; ++i)
        WriteFileIn(local.Path() / "up" / ("d" + std::to_string(i % 4)) / ("e" + std::to_string(i % 5)) /
                        ("f" + std::to_string(i) + ".txt"),
                    std::string(static_cast<std::size_t>(i) * 1000 + 1, static_cast<char>('a' + i)));
    WriteTextFile(local.Path() / "up" / "big.bin", std::string(6 << 20, 'b'));
    fs::create_directories(local.Path() / "back");
    std::vector<std::string> all;
    int uploads = 0;
    for (const char* run : {"up", "back", "up"}) {
        const bool up = std::string(run) == "up";
        TPackageRun package;
        std::string connect = SiteConnectJson(proxy ? proxy->Port : server.Port(),
                                              tls ? R"("Security":"fsExplicit")" : "", server.LoginUser());
        if (c.value("active", false))
            connect.replace(connect.find(R"("Passive":true)"), 14, R"("Passive":false)");
        auto lines = package.Run(
            R"({"actions":[)" + connect +
            R"(,
              {"type":"action.ftp.mirror","properties":{"ConnectionName":"Site","LocalDir":")" +
            (local.Path() / run).string() + R"(","SpecifyRemoteDir":true,"RemoteDir":")" +
            server.RemoteHome() + R"(","Recursive":true,"CheckFileSize":true,"SkipSkewCheck":true,)" +
            R"("LogFiles":true,"ParallelTransfers":)" + c.at("parallel").dump() + R"(,"ParallelListings":)" +
            c.at("listings").dump() + R"(,"MirrorOperation":")" +
            (up ? "moLocalToRemote" : "moRemoteToLocal") + R"("},
               "children":[{"type":"ftp.retry.options","properties":{"RetryTransferOnAllErrors":true,
                 "TransferMaxRetries":5,"ResumeOnFailedTransfer":true}}]},
              {"type":"action.ftp.disconnect","properties":{"ConnectionName":"Site"}}]})");
        ASSERT_EQ(package.Outcome, TRunOutcome::Succeeded) << run << ::testing::PrintToString(lines);
        uploads += static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                                  [](const auto& l) { return l.starts_with("Uploaded ["); }));
        all.insert(all.end(), lines.begin(), lines.end());
    }
    EXPECT_EQ(uploads, 25) << "the last run has nothing to do";
    if (const int logins = c.value("logins", 0); logins > 0) {
        EXPECT_EQ(std::ranges::count(server.LoggedCommands(static_cast<std::size_t>(logins)), "USER tester"),
                  logins);
    }
    for (const auto& [text, count] : c.at("counts").items())
        EXPECT_EQ(std::ranges::count_if(all, [&](const auto& l) { return l.find(text) != l.npos; }),
                  count.get<int>())
            << text << ::testing::PrintToString(all);
    for (std::string text : c.value("seen", TCase::array()))
        EXPECT_TRUE(std::ranges::any_of(all, [&](const auto& l) { return l.find(text) != l.npos; }))
            << text << ::testing::PrintToString(all);
    for (const auto& entry : fs::recursive_directory_iterator(local.Path() / "up")) {
        auto relative = entry.path().lexically_relative(local.Path() / "up");
        if (!entry.is_regular_file())
            continue;
        // Compared whole, never printed: a diff of megabytes would flood the log.
        const std::string original = ReadTextFile(entry.path());
        EXPECT_TRUE(ReadTextFile(server.Home() / relative) == original) << relative << " differs on the server";
        EXPECT_TRUE(ReadTextFile(local.Path() / "back" / relative) == original) << relative << " differs back";
    }
}

INSTANTIATE_TEST_SUITE_P(Transfers, FTPMirrorRoundTrip,
                         ::testing::ValuesIn(LoadCases("ftp/mirror/retry.json")["roundTrips"]), CaseName);

// A user's stop cuts every transfer of the extra connections, not only the main connection's: the run
// ends within a second (five allowed for a loaded machine) where the transfers would need a minute.
TEST(FTPMirrorParallelStop, EndsEveryTransferAtOnce) {
    TFTPTestServer server(TFTPServerKind::skProFTPD);
    server.SetReadLimit(256 * 1024);
    server.Start();
    TTempDir local("quillate-stop");
    for (int i = 0; i < 4; ++i)
        WriteTextFile(local.Path() / ("f" + std::to_string(i) + ".bin"), std::string(4 << 20, 'x'));
    TPackageRun run;
    std::chrono::steady_clock::time_point stopped;
    run.Run(R"({"actions":[)" + SiteConnectJson(server.Port()) + R"(,
              {"type":"action.ftp.mirror","properties":{"ConnectionName":"Site","LocalDir":")" +
                local.Path().string() + R"(","SkipSkewCheck":true,"LogFiles":true,"ParallelTransfers":4}}]})",
            [&run, &stopped](TRunner& runner, TProject&) {
                auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
                while (!run.AnyLineContains("Uploading [") && std::chrono::steady_clock::now() < until)
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
                stopped = std::chrono::steady_clock::now();
                StopFromMainThread(runner);
            });
    EXPECT_EQ(run.Outcome, TRunOutcome::Stopped);
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(5));
    EXPECT_FALSE(run.AnyLineContains("Uploaded ["));
}

// The skew probe compares whole seconds, which holds only when its upload starts and ends within
// one of our seconds; an upload that spans a change of second is repeated, three tries at most.
TEST(FTPSkewProbe, RepeatsAnUploadThatSpansAChangeOfSecond) {
    TFTPTestServer server(TFTPServerKind::skProFTPD);
    server.Start();
    TFaultProxy proxy(server.Port(), 0, "slow-reply");
    TTempDir local("quillate-skew");
    WriteTextFile(local.Path() / "a.txt", "a");
    TPackageRun run;
    auto lines = run.Run(R"({"actions":[)" + SiteConnectJson(proxy.Port) + R"(,
          {"type":"action.ftp.diff","ignoreFailure":true,"properties":{"ConnectionName":"Site","LocalDir":")" +
                         local.Path().string() + R"("}},
          {"type":"action.ftp.disconnect","properties":{"ConnectionName":"Site"}}]})");
    EXPECT_THAT(lines, Contains(HasSubstr("Server Time Skew : ")));
    EXPECT_THAT(lines, Contains("Total Differences [1]")) << ::testing::PrintToString(lines);
    std::vector<std::string> probeStores, probeDeletes;
    for (const auto& command : server.LoggedCommands()) {
        if (command.starts_with("STOR zr"))
            probeStores.push_back(command);
        if (command.starts_with("DELE zr"))
            probeDeletes.push_back(command);
    }
    ASSERT_EQ(probeStores.size(), 3u) << ::testing::PrintToString(server.LoggedCommands());
    EXPECT_EQ(probeStores[0], probeStores[2]) << "the same probe file each time";
    EXPECT_EQ(probeDeletes.size(), 1u);
    EXPECT_FALSE(fs::exists(server.Home() / probeStores[0].substr(5)));
}

} // namespace
