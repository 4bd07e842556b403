// "FTP Mirror" where a case of tests/data/ftp cannot reach: dates across zones and clocks, keep-alives
// on a long walk, listings ahead.
#include "PackageTestSupport.h"
#include "support/FTPServerFixture.h"

#include <ctime>
#include <filesystem>
#include <map>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

using namespace quillate;
using namespace quillate::testing;
using ::testing::Contains;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

std::string MirrorJson(std::uint16_t port, const fs::path& local, const std::string& properties) {
    return R"({"actions":[)" + SiteConnectJson(port) + R"(,
          {"type":"action.ftp.mirror","ignoreFailure":true,"properties":{"ConnectionName":"Site","LocalDir":")" +
           local.string() + R"(","LogFiles":true,)" + properties + R"(}},
          {"type":"action.ftp.disconnect","properties":{"ConnectionName":"Site"}}]})";
}

int CountPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                          [&prefix](const auto& l) { return l.rfind(prefix, 0) == 0; }));
}

std::time_t ModTime(const fs::path& path) {
    struct stat info {};
    ::stat(path.c_str(), &info);
    return info.st_mtime;
}

// Our own offset from UTC now, in seconds (east positive).
long LocalUtcOffset() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    return local.tm_gmtoff;
}

struct TClockCase {
    const char* Name;
    // POSIX zones, so no zone database is needed: "QTZ-3" is three hours east of UTC.
    const char* Zone;
    long ZoneOffset;
    int ClockOffset;
};

class FTPMirrorDates : public ::testing::TestWithParam<TClockCase> {};

// Dates carried over by MirrorDateTime and compared by CheckFileDate survive a server whose listings
// show another zone than its set-date command takes, or whose clock really differs from ours: the
// server's copies hold the moment of the local files on its own clock, and the copies brought back
// hold it on ours, so a second run either way transfers nothing.
TEST_P(FTPMirrorDates, ASecondRunTransfersNothing) {
    const auto& c = GetParam();
    TFTPTestServer server(TFTPServerKind::skPyftpdlib);
    if (*c.Zone)
        server.SetServerTimeZone(c.Zone);
    server.SetServerClockOffset(c.ClockOffset);
    server.Start();
    TTempDir local("quillate-dates"), back("quillate-dates-back");
    const std::time_t past = std::time(nullptr) - 3 * 86400;
    for (const char* f : {"a.txt", "sub/b.txt"}) {
        WriteFileIn(local.Path() / f, f);
        const utimbuf times{past, past};
        ::utime((local.Path() / f).c_str(), &times);
    }
    const std::string options = R"("Recursive":true,"MirrorDateTime":true,"CheckFileDate":true)";
    const long listingSkew = c.ZoneOffset - LocalUtcOffset() + c.ClockOffset;
    for (const char* direction : {"moLocalToRemote", "moRemoteToLocal"}) {
        SCOPED_TRACE(direction);
        const bool up = std::string(direction) == "moLocalToRemote";
        const fs::path& target = up ? local.Path() : back.Path();
        const std::string props = options + R"(,"MirrorOperation":")" + direction + "\"";
        for (int round = 0; round < 2; ++round) {
            TPackageRun run;
            auto lines = run.Run(MirrorJson(server.Port(), target, props));
            ASSERT_THAT(lines, Contains("FTP Mirror succeeded")) << ::testing::PrintToString(lines);
            EXPECT_THAT(
                lines, Contains(HasSubstr("Server Time Skew : " + std::to_string(listingSkew) + " seconds")));
            EXPECT_EQ(CountPrefix(lines, up ? "Uploaded [" : "Downloaded ["), round == 0 ? 2 : 0)
                << "round " << round << ::testing::PrintToString(lines);
        }
    }
    for (const char* f : {"a.txt", "sub/b.txt"}) {
        EXPECT_NEAR(ModTime(server.Home() / f) - past, c.ClockOffset, 1) << f;
        EXPECT_NEAR(ModTime(back.Path() / f) - past, 0, 1) << f;
    }
    // The skew probes leave nothing behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(server.Home()), fs::directory_iterator()), 2);
}

INSTANTIATE_TEST_SUITE_P(Servers, FTPMirrorDates,
                         ::testing::Values(TClockCase{"ListingsEastOfUs", "QTZ-3", 3 * 3600L, 0},
                                           TClockCase{"ListingsWestOfUs", "QTZ+5", -5 * 3600L, 0},
                                           TClockCase{"ClockTwoHoursAhead", "", 0, 7200}),
                         [](const auto& info) { return std::string(info.param.Name); });

// 20 folders of 12 files below the root.
void PlantFolders(const fs::path& root) {
    for (int d = 0; d < 20; ++d)
        for (int f = 0; f < 12; ++f)
            WriteFileIn(root / ("d" + std::to_string(d)) / ("f" + std::to_string(f) + ".txt"),
                        "f" + std::to_string(f) + ".txt");
}

// A walk of some hundreds of nodes with a short keep-alive interval sends NOOPs between nodes, as
// the server's command log shows, and logs each when asked; with keep-alives off it sends none.
TEST(FTPMirrorKeepAlive, ALongWalkSendsNOOPsOnlyWhenEnabled) {
    for (bool enabled : {true, false}) {
        SCOPED_TRACE(enabled ? "enabled" : "disabled");
        TFTPTestServer server(TFTPServerKind::skProFTPD);
        server.Start();
        TTempDir local("quillate-noop");
        PlantFolders(local.Path());
        TPackageRun run;
        auto lines = run.Run(MirrorJson(
            server.Port(), local.Path(),
            R"("Recursive":true,"SkipSkewCheck":true,"NOOPTimeoutMS":10,"NOOPLogged":true,"NOOPsEnabled":)" +
                std::string(enabled ? "true" : "false")));
        EXPECT_THAT(lines, Contains("FTP Mirror succeeded")) << ::testing::PrintToString(lines);
        auto commands = server.LoggedCommands();
        auto noops = std::count(commands.begin(), commands.end(), "NOOP");
        EXPECT_EQ(noops, CountPrefix(lines, "Keep Alive Timeout: Sending NOOP"));
        EXPECT_EQ(noops > 0, enabled);
    }
}

// A mirror with nothing to do lists each folder by its path and never moves the server: no CWD, and
// at most two commands a folder (the data connection and the listing) beside the logins. The clock
// skew probe is left out: it repeats its upload when a second turns during it, so its count depends
// on the machine's load.
// With four connections listing ahead the log is line for line the same as with the main one alone.
TEST(FTPMirrorListings, ANoChangeRunSendsNoCWD) {
    std::map<int, std::vector<std::string>> logs;
    for (int listings : {1, 4}) {
        TFTPTestServer server(TFTPServerKind::skProFTPD);
        server.Start();
        TTempDir local("quillate-nochange");
        PlantFolders(local.Path() / "up");
        fs::create_directories(local.Path() / "down");
        const std::size_t extra = listings > 1 ? static_cast<std::size_t>(listings) : 0;
        for (const char* direction : {"moLocalToRemote", "moRemoteToLocal"})
            for (int round = 0; round < 2; ++round) {
                SCOPED_TRACE(std::to_string(listings) + " " + direction + " round " + std::to_string(round));
                const bool up = std::string(direction) == "moLocalToRemote";
                // Counted from the log rather than from the runs: a first copy opens transfer connections too.
                auto logged = server.LoggedCommands(0);
                auto before = logged.size();
                auto quitsBefore = static_cast<std::size_t>(CountPrefix(logged, "QUIT"));
                TPackageRun run;
                auto lines = run.Run(MirrorJson(server.Port(), local.Path() / (up ? "up" : "down"),
                                                R"("Recursive":true,"CheckFileSize":true,"DeleteOrphans":true,"SkipSkewCheck":true,)"
                                                R"("ParallelListings":)" + std::to_string(listings) +
                                                    R"(,"MirrorOperation":")" + direction + "\""));
                ASSERT_THAT(lines, Contains("FTP Mirror succeeded")) << ::testing::PrintToString(lines);
                // Compared without times and the temporary folder's name.
                for (auto line : lines)
                    if (line.find(" ms") == line.npos && line.find("milliseconds") == line.npos) {
                        if (auto at = line.find(local.Path().string()); at != line.npos)
                            line.erase(at, local.Path().string().size());
                        logs[listings].push_back(line);
                    }
                // The listing connections log in as every run starts, the first into an empty server too; the
                // wait is for this run's own QUITs.
                auto commands = server.LoggedCommands(quitsBefore + 1 + extra);
                commands.erase(commands.begin(), commands.begin() + static_cast<std::ptrdiff_t>(before));
                if (round == 0)
                    continue;
                EXPECT_EQ(CountPrefix(lines, up ? "Uploaded [" : "Downloaded ["), 0);
                EXPECT_EQ(CountPrefix(commands, "CWD"), 0) << ::testing::PrintToString(commands);
                // 21 folders; the logins, FEAT, TYPE and PWD come to less than 25 more, and to less than 10
                // for each extra connection.
                EXPECT_LE(commands.size(), 2u * 21 + 25 + 10 * extra) << ::testing::PrintToString(commands);
                EXPECT_EQ(CountPrefix(commands, "QUIT"), 1 + static_cast<int>(extra)) << ::testing::PrintToString(commands);
            }
    }
    EXPECT_EQ(logs[4], logs[1]);
}

// Listings ahead are handed to the walk by folder, not by when they come: the first folder's listing is long
// and comes last, and a walk given another folder's listing in its place would send its files again.
TEST(FTPMirrorListings, EachFolderGetsItsOwnListingWhateverTheOrderTheyCome) {
    TFTPTestServer server(TFTPServerKind::skProFTPD);
    server.Start();
    TTempDir local("quillate-order");
    std::vector<fs::path> files;
    for (int i = 0; i < 300; ++i)
        files.push_back(fs::path("big") / ("f" + std::to_string(i)));
    for (int i = 1; i <= 7; ++i)
        files.push_back(fs::path("s" + std::to_string(i)) / ("only" + std::to_string(i)));
    for (const auto& file : files)
        for (const fs::path& root : {local.Path(), server.Home()})
            WriteFileIn(root / file, file.filename().string());
    TPackageRun run;
    auto lines = run.Run(MirrorJson(server.Port(), local.Path(),
                                    R"("Recursive":true,"CheckFileSize":true,"SkipSkewCheck":true,"ParallelListings":4)"));
    ASSERT_THAT(lines, Contains("FTP Mirror succeeded")) << ::testing::PrintToString(lines);
    EXPECT_EQ(CountPrefix(lines, "Uploaded ["), 0);
}

} // namespace
