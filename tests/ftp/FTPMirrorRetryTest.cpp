// The mirror's recovery from a broken upload and its skew probe, with the fault-injecting proxy of
// tests/servers in front of a real server.
#include "PackageTestSupport.h"
#include "support/FTPServerFixture.h"

#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <optional>
#include <regex>
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
        TServerOptions options;
        options.Port = FindFreePort();
        options.WorkDir = Dir.Path();
        options.LogFile = Dir.Path() / "proxy.log";
        options.Argv = {"/usr/bin/python3", (ServersDir() / "fault_proxy.py").string(),
                        std::to_string(options.Port), std::to_string(serverPort), std::to_string(cutAfter)};
        if (!mode.empty())
            options.Argv.push_back(mode);
        Process.Start(options);
        Port = options.Port;
    }

    TTempDir Dir{"quillate-proxy"};
    TServerProcess Process;
    std::uint16_t Port = 0;
};

struct TFaultCase {
    const char* Name;
    TFTPServerKind Server;
    const char* Mode;
    int Retries;                    // 0: retries off, which still leaves one recovery pass
    bool Whole;                     // the tree arrives whole and the mirror succeeds
    std::vector<std::string> Lines; // lines the recovery must have written (texts they contain)
    std::vector<std::string> Absent = {"Upload retry [2]"};
    bool TLS = false;
};

class FTPMirrorRetry : public ::testing::TestWithParam<TFaultCase> {};

// A file cut half way is resumed from the server's size, one whose STOR never reached the server (so the
// server reports no size) is sent again whole. With retries off the one recovery pass accepts a file that
// arrived whole although the server's confirmation was lost, and fails one that arrived in part.
TEST_P(FTPMirrorRetry, TheRecoveryJudgesByTheServerSize) {
    const auto& c = GetParam();
    auto ca = TrustTestCA();
    TFTPTestServer server(c.Server);
    std::optional<TFaultProxy> proxy;
    if (c.TLS) {
        server.SetTLS(TFTPServerTLS::stExplicit);
        server.SetUploadCut(1 << 20);
        server.Start();
    } else {
        server.Start();
        proxy.emplace(server.Port(), 1 << 20, c.Mode);
    }
    std::string connect =
        c.TLS ? SiteConnectJson(server.Port(), R"("Security":"fsExplicit")") : SiteConnectJson(proxy->Port);
    TTempDir local("quillate-retry");
    // Far more than loopback buffers hold, so the client sees a cut while still sending.
    const std::map<std::string, std::string> files = {{"a-big.bin", std::string(16 << 20, 'r')},
                                                      {"b.txt", "small"},
                                                      {"sub/c.bin", std::string(300000, 'c')}};
    for (const auto& [name, content] : files)
        WriteFileIn(local.Path() / name, content);
    std::string retry = R"("ResumeOnFailedTransfer":true)";
    if (c.Retries > 0)
        retry += R"(,"RetryTransferOnAllErrors":true,"TransferMaxRetries":)" + std::to_string(c.Retries);
    TPackageRun run;
    auto lines = run.Run(R"({"actions":[)" + connect + R"(,
          {"type":"action.ftp.mirror","properties":{"ConnectionName":"Site","LocalDir":")" +
                         local.Path().string() + R"(","Recursive":true,"SkipSkewCheck":true,"LogFiles":true,"ParallelTransfers":1},
           "children":[{"type":"ftp.retry.options","properties":{)" +
                         retry + R"(}},
                       {"type":"ftp.logging.options","properties":{"LogConnectionStatus":true}}]}]})");
    EXPECT_EQ(run.Outcome, c.Whole ? TRunOutcome::Succeeded : TRunOutcome::Failed)
        << ::testing::PrintToString(lines);
    for (const auto& line : c.Lines)
        EXPECT_THAT(lines, Contains(HasSubstr(line)));
    for (const auto& line : c.Absent)
        EXPECT_THAT(lines, Not(Contains(HasSubstr(line))));
    // The reconnect shows in the connection status log: "05/12/2026 9:41:07 pm [connected] : ...".
    static const std::regex status(R"(^\d\d/\d\d/\d{4} \d{1,2}:\d\d:\d\d (am|pm) \[connected\] : .*)");
    EXPECT_TRUE(
        std::any_of(lines.begin(), lines.end(), [](const auto& l) { return std::regex_match(l, status); }));
    if (c.Whole) {
        // Compared whole, never printed: a diff of 16 MiB strings would exhaust the machine.
        for (const auto& [name, content] : files)
            EXPECT_TRUE(ReadTextFile(server.Home() / name) == content) << name << " differs";
    } else {
        // What arrived went to a temporary name, removed when the upload was given up.
        for (const auto& entry : fs::recursive_directory_iterator(server.Home()))
            EXPECT_EQ(entry.path().filename().string().find("a-big.bin"), std::string::npos) << entry.path();
    }
}

constexpr auto Py = TFTPServerKind::skPyftpdlib, Pro = TFTPServerKind::skProFTPD;
const std::string BigFailed = "Uploading [a-big.bin] failed : [", Resumed = "to [a-big.bin] at [",
                  Retry1Of5 = "Upload retry [1] of [5] for [a-big.bin] : ",
                  Retry1Of1 = "Upload retry [1] of [1] for [a-big.bin] : ",
                  Reset = "Attempting to reset connection...";

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Faults, FTPMirrorRetry,
    ::testing::Values(
        TFaultCase{"DataCutHalfWay", Py, "", 5, true, {BigFailed, Retry1Of5 + "Connected.", Resumed}},
        TFaultCase{"DataCutHalfWayOverTLS", Py, "", 5, true, {BigFailed, Retry1Of5 + "Connected.", Resumed},
                   {"Upload retry [2]"}, true},
        TFaultCase{"ControlDroppedAtStor", Pro, "drop-at-stor", 5, true,
                   {BigFailed, Retry1Of5 + "Connected.",
                    Retry1Of5 + "Resumes are not possible for this retry"}},
        TFaultCase{"ReplyLostWithoutRetries", Pro, "lose-reply", 0, true,
                   {Retry1Of1 + Reset,
                    Retry1Of1 + "File [a-big.bin] has expected size [16777216 bytes]. Upload complete."}},
        TFaultCase{"DataCutWithoutRetries", Pro, "", 0, false,
                   {Retry1Of1 + Reset,
                    "FTP Mirror failed. Upload of [a-big.bin] failed after 1 recovery attempt(s): the server "
                    "holds "},
                   {"Upload retry [2]", "Resuming ["}}),
    [](const auto& info) { return std::string(info.param.Name); });
// clang-format on

struct TRoundTripCase {
    const char* Name;
    TFTPServerKind Server;
    const char* Mode;  // the proxy's mode; null: no proxy
    int Parallel;
    int MaxClients;    // ProFTPD's limit of logins per user; 0: none
    std::vector<std::pair<std::string, int>> Counts; // how many lines of all runs hold each text
    bool TLS = false; // explicit TLS: the extra connections must carry it too
    int Listings = 1; // ParallelListings
    int Logins = 0;   // the sessions of the three runs on ProFTPD; 0: not counted
    std::vector<std::string> Seen = {}; // texts some line of the runs must hold
    bool Active = false; // data connections made by the server
};

void PrintTo(const TRoundTripCase& c, std::ostream* out) { *out << c.Name; }

class FTPMirrorRoundTrip : public ::testing::TestWithParam<TRoundTripCase> {};

// Up, down into another folder, then up again with nothing to do: the three trees are byte for byte the
// same, whatever carries the transfers, breaks them or limits the connections.
TEST_P(FTPMirrorRoundTrip, GivesIdenticalTrees) {
    const auto& c = GetParam();
    auto ca = TrustTestCA();
    TFTPTestServer server(c.Server);
    server.SetMaxClientsPerUser(c.MaxClients);
    if (c.TLS)
        server.SetTLS(TFTPServerTLS::stExplicit);
    server.Start();
    std::unique_ptr<TFaultProxy> proxy;
    if (c.Mode)
        proxy = std::make_unique<TFaultProxy>(server.Port(), 1 << 20, c.Mode);
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
                                              c.TLS ? R"("Security":"fsExplicit")" : "", server.LoginUser());
        if (c.Active)
            connect.replace(connect.find(R"("Passive":true)"), 14, R"("Passive":false)");
        auto lines = package.Run(
            R"({"actions":[)" + connect +
            R"(,
              {"type":"action.ftp.mirror","properties":{"ConnectionName":"Site","LocalDir":")" +
            (local.Path() / run).string() + R"(","SpecifyRemoteDir":true,"RemoteDir":")" +
            server.RemoteHome() + R"(","Recursive":true,"CheckFileSize":true,"SkipSkewCheck":true,)" +
            R"("LogFiles":true,"ParallelTransfers":)" + std::to_string(c.Parallel) +
            R"(,"ParallelListings":)" + std::to_string(c.Listings) + R"(,"MirrorOperation":")" +
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
    if (c.Logins > 0) {
        EXPECT_EQ(std::ranges::count(server.LoggedCommands(static_cast<std::size_t>(c.Logins)), "USER tester"),
                  c.Logins);
    }
    for (const auto& [text, count] : c.Counts)
        EXPECT_EQ(std::count_if(all.begin(), all.end(), [&](const auto& l) { return l.find(text) != l.npos; }), count)
            << text << ::testing::PrintToString(all);
    for (const auto& text : c.Seen)
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

const std::string Refused = "extra connections [";
const std::string NoPathLists = "The server refuses listings by path";

const auto Vsftpd = TFTPServerKind::skVsftpd, PureFTPd = TFTPServerKind::skPureFTPd;

// Name, server, proxy mode, ParallelTransfers, logins allowed, counts; then TLS, ParallelListings, logins
// counted, texts seen, active mode where a row needs them.
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Transfers, FTPMirrorRoundTrip,
    ::testing::Values(
        TRoundTripCase{"FourOnProFTPD", Pro, nullptr, 4, 0, {{Refused, 0}, {NoPathLists, 0}}},
        TRoundTripCase{"FourOnPyftpdlib", Py, nullptr, 4, 0, {{Refused, 0}}},
        // The transfers take over the listing connections: each run logs in five times, not nine.
        TRoundTripCase{"FourOverTLSOnProFTPD", Pro, nullptr, 4, 0, {{Refused, 0}}, true, 4, 15},
        TRoundTripCase{"FourListingsOnProFTPD", Pro, nullptr, 1, 0, {{Refused, 0}, {NoPathLists, 0}},
                       false, 4},
        // A cut data connection is given again on a new session, without using up a retry.
        TRoundTripCase{"DefaultsWithACutUpload", Py, "", 0, 0, {{"Upload retry [", 0}}},
        // The defaults (0, automatic) where the server allows two logins; how many runs meet a refusal
        // depends on how soon the server counts the last run's sessions gone.
        TRoundTripCase{"DefaultsWhereTheServerAllowsTwoLogins", Pro, nullptr, 0, 2, {{"Upload retry [", 0}}},
        TRoundTripCase{"DefaultsOnPyftpdlib", Py, nullptr, 0, 0, {{Refused, 0}}, false, 0},
        TRoundTripCase{"DefaultsOnPureFTPd", PureFTPd, nullptr, 0, 0, {{Refused, 0}}, false, 0},
        TRoundTripCase{"DefaultsOnVsftpd", Vsftpd, nullptr, 0, 0,
                       {{Refused, 0}, {"refuses uploads to a temporary name", 0}}, false, 0},
        // Six data connections refused for the moment (425), as by a server out of passive ports: each is
        // asked for again, and the transfers go on over fewer connections.
        TRoundTripCase{"DefaultsWhereDataConnectionsAreRefused", Pro, "busy", 0, 0, {{"Upload retry [", 0}},
                       false, 0, 0,
                       {"The server keeps refusing data connections for the moment; "
                        "the transfers go on over"}},
        // The defaults as they are, the server making the data connections: one at a time.
        TRoundTripCase{"DefaultsInActiveModeOnPyftpdlib", Py, nullptr, 0, 0,
                       {{Refused, 0}, {"Upload retry [", 0}}, false, 0, 0, {}, true},
        // Two sessions whose server connects for data and then never answers are given up after seconds
        // (not the minute a reply may take), and their transfers go again on new ones.
        TRoundTripCase{"FourWhereTheServerLosesActiveConnections", Pro, "lost-active", 4, 0,
                       {{"Upload retry [", 0}}, false, 1, 0, {}, true},
        // Three of four, or all four while the last run's login is still being closed; the last run
        // transfers nothing and opens none.
        TRoundTripCase{"FourWhereTheServerAllowsTwoLogins", Pro, nullptr, 4, 2, {{"The server refused ", 2}}},
        // The listing connections log in as each run starts; the first run, into an empty folder, lists
        // nothing on them and so has nothing to say of them.
        TRoundTripCase{"FourListingsWhereTheServerAllowsTwoLogins", Pro, nullptr, 1, 2,
                       {{"The server refused ", 2}, {"the listings go on over", 2}}, false, 4},
        // Listed from inside each folder: the mirror down and the last mirror up list subfolders.
        TRoundTripCase{"ServerWithoutListingsByPath", Pro, "no-path-lists", 1, 0, {{NoPathLists, 2}}}),
    [](const auto& info) { return std::string(info.param.Name); });
// clang-format on

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
