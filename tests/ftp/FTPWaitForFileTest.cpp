#include "PackageTestSupport.h"

#include <filesystem>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <thread>

using namespace quillate;
using namespace quillate::testing;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;
namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;

namespace {

// A wait polling every second; with `ignoreFailure` the run goes on after it.
std::string Wait(const std::string& description, const std::string& properties, bool ignoreFailure = true) {
    return R"(,{"type":"action.ftp.waitforfile","description":")" + description + R"(","ignoreFailure":)" +
           (ignoreFailure ? "true" : "false") + R"(,"properties":{"PollFreq":1,)" + properties + "}}";
}

std::string WaitOnSite(const std::string& type, const std::string& file, const std::string& more = "") {
    return Wait("wait",
                R"("ConnectionName":"Site","WaitType":")" + type + R"(","FileName":")" + file + "\"" + more,
                false);
}

Clock::time_point RunEnd(const TPackageRun& run) {
    return run.Log.Entries().back().Time;
}

using FTPWaitForFile = TFTPServerActionTest;

TEST_P(FTPWaitForFile, EachConditionEndsTheWaitOnceTheFileGetsThere) {
    struct TCase {
        const char* Type;
        const char* Initial; // nullptr: no file at the start
        const char* Goal;
        int DelayMs;
        const char* Change; // nullptr: delete the file
        const char* ConditionLine;
    } cases[] = {
        {"wfFileExists", nullptr, "exist.", 3000, "arrived", nullptr},
        {"wfFileDoesntExist", "here", "not exist.", 1500, nullptr, nullptr},
        {"wfFileChanged", "v1", "change.", 1500, "version 2", "File has changed."},
        {"wfFileChanged", nullptr, "change.", 1500, "created", "File has changed."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Type) + (c.Initial ? " from a file" : " from nothing"));
        fs::remove(FServer->Home() / "watched.txt");
        if (c.Initial)
            FServer->PutFile("watched.txt", c.Initial);
        const std::string waiting = std::string("Waiting for file watched.txt to ") + c.Goal;
        Clock::time_point changedAt{};
        TPackageRun run;
        run.Run(Project(WaitOnSite(c.Type, "watched.txt", R"(,"WaitTimeout":30)")), [&](TRunner&, TProject&) {
            if (!run.WaitForLine(waiting, std::chrono::seconds(10)))
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(c.DelayMs));
            changedAt = Clock::now();
            if (c.Change)
                FServer->PutFile("watched.txt", c.Change);
            else
                fs::remove(FServer->Home() / "watched.txt");
        });
        EXPECT_EQ(run.Outcome, TRunOutcome::Succeeded);
        EXPECT_EQ(run.Outstanding, 0);
        EXPECT_GE(RunEnd(run), changedAt);
        if (c.ConditionLine) {
            EXPECT_THAT(run.Lines(), Contains(c.ConditionLine));
        }
        auto progress = run.ProgressLines();
        ASSERT_FALSE(progress.empty());
        EXPECT_EQ(progress.front().Text, waiting);
        EXPECT_EQ(progress.front().Percent, 0);
    }
}

TEST_P(FTPWaitForFile, AGrowingFileHasStoppedOnlyAfterTwoEqualPolls) {
    FServer->PutFile("growing.log", "start\n");
    Clock::time_point grownAt{};
    TPackageRun run;
    run.Run(
        Project(WaitOnSite("wfFileStoppedChanging", "growing.log", R"(,"WaitTimeout":30)")),
        [&](TRunner&, TProject&) {
            if (!run.WaitForLine("Waiting for file growing.log to stop changing.", std::chrono::seconds(10)))
                return;
            // Growing faster than the polls come: no two polls can agree until this ends.
            for (int i = 0; i < 15; ++i) {
                std::ofstream(FServer->Home() / "growing.log", std::ios::app) << "line " << i << "\n";
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
            grownAt = Clock::now();
        });
    EXPECT_EQ(run.Outcome, TRunOutcome::Succeeded);
    auto stopped = run.TimeOf("File has stopped changing.");
    ASSERT_TRUE(stopped.has_value());
    EXPECT_GE(*stopped, grownAt);
    EXPECT_EQ(run.Outstanding, 0);
}

INSTANTIATE_TEST_SUITE_P(Servers, FTPWaitForFile, AllFTPServers, ServerName);

TEST(FTPWaitForFileSetUp, FailuresTheTimeOutAndTheReconnect) {
    TFTPTestServer server(TFTPServerKind::skPyftpdlib);
    server.Start();
    server.PutFile("here.txt", "present");
    TPackageRun run;
    run.Run(
        R"({"variables":{"Conn":"Site"},"actions":[)" + SiteConnectJson(server.Port()) +
        Wait("no-name", R"("FileName":"here.txt")") +
        Wait("unknown", R"("ConnectionName":"Nowhere","FileName":"here.txt")") +
        Wait(
            "strict",
            R"("ConnectionName":"Site","WaitType":"wfFileChanged","FileName":"gone.txt","FailIfDoesntExist":true)") +
        Wait("never", R"("ConnectionName":"Site","FileName":"never.txt","WaitTimeout":2)") +
        R"(,{"type":"action.ftp.disconnect","properties":{"ConnectionName":"Site"}})" +
        Wait("down", R"("ConnectionName":"Site","FileName":"here.txt")") +
        Wait("reconnect", R"("ConnectionName":"%Conn%","FileName":"here.txt","AutoReConnect":true)") + "]}");
    const char* ignored = "Failure ignored, the run goes on";
    EXPECT_THAT(run.LinesOf("no-name"), ElementsAre("Error : No FTP connection specified.", ignored));
    EXPECT_THAT(run.LinesOf("unknown"), ElementsAre("Connection object not found: Nowhere", ignored));
    // SIZE reports a missing file as -1, MDTM refuses it with 550: a reply error when it must exist.
    auto strict = run.LinesOf("strict");
    ASSERT_EQ(strict.size(), 3u);
    EXPECT_THAT(strict[1], StartsWith("FTP Error : "));
    EXPECT_THAT(run.LinesOf("never"), Contains("Wait timed out after 2 seconds."));
    EXPECT_THAT(run.LinesOf("down"), ElementsAre("Connection Site is not connected.", ignored));
    EXPECT_THAT(run.LinesOf("reconnect"),
                ElementsAre("Not Connected, attempting to reconnect.", "Connected OK.",
                            "Waiting for file here.txt to exist."));
    EXPECT_EQ(run.Outstanding, 0);
}

TEST(FTPWaitForFileScripted, ASizeTheServerCannotGiveIsAMissingFileWhenItMustExist) {
    // No real server gives a date for a file it has no size for.
    TLinePeer peer({FTPLogin()
                        .Reply("SIZE watched.txt", "550 no size")
                        .Reply("MDTM watched.txt", "213 20240101120000")});
    TPackageRun run;
    run.Run(
        R"({"actions":[)" + SiteConnectJson(peer.Port()) +
        R"(,{"type":"action.ftp.waitforfile","properties":{"ConnectionName":"Site","WaitType":"wfFileChanged",
              "FileName":"watched.txt","FailIfDoesntExist":true}}]})");
    EXPECT_EQ(run.Outcome, TRunOutcome::Failed);
    EXPECT_THAT(run.Lines(),
                ElementsAre("Connection to host : 127.0.0.1", "Waiting for file watched.txt to change.",
                            "File not found : watched.txt"));
    EXPECT_EQ(run.Outstanding, 0);
}

} // namespace
